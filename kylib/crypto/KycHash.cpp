#include "kylib/crypto/KycHash.h"

#include <string>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/Kycl.h"
#include "kylib/diagnostics/KyException.h"

namespace kyc_detail {

// One digest's entry points, as the addresses of the binding's pointers (filled by
// Kycl::init, after these tables are built).
struct HashEntries {
    const char* name;  // in messages: "SHA256"
    int digestSize;
    int threadSlot;       // its place among a thread's kept one-call contexts
    const char* ctorTag;  // "KycSHA256"
    const char* resetTag;
    const char* addDataTag;
    const char* finishTag;
    decltype(Kycl::sha256_init)* init;
    decltype(Kycl::sha256_destroy)* destroy;
    decltype(Kycl::sha256_update)* update;
    decltype(Kycl::sha256_final)* final;
    decltype(Kycl::sha256_reset)* reset;
    decltype(Kycl::sha256_hmac_init)* hmacInit;
    decltype(Kycl::sha256_hmac_update)* hmacUpdate;
    decltype(Kycl::sha256_hmac_final)* hmacFinal;
};

}  // namespace kyc_detail

namespace {

using kyc_detail::HashEntries;

constexpr int kModuleErrorTextSize = 1024;

#define KYC_HASH_ENTRIES(CLASS, NAME, SIZE, SLOT, H)                                              \
    HashEntries {                                                                                 \
        NAME, SIZE, SLOT, #CLASS, #CLASS "::reset", #CLASS "::addData", #CLASS "::finish",        \
            &Kycl::H##_init, &Kycl::H##_destroy, &Kycl::H##_update, &Kycl::H##_final,             \
            &Kycl::H##_reset, &Kycl::H##_hmac_init, &Kycl::H##_hmac_update, &Kycl::H##_hmac_final \
    }

constexpr HashEntries kMD5 = KYC_HASH_ENTRIES(KycMD5, "MD5", 16, 0, md5);
constexpr HashEntries kSHA1 = KYC_HASH_ENTRIES(KycSHA1, "SHA1", 20, 1, sha1);
constexpr HashEntries kSHA256 = KYC_HASH_ENTRIES(KycSHA256, "SHA256", 32, 2, sha256);
constexpr HashEntries kSHA512 = KYC_HASH_ENTRIES(KycSHA512, "SHA512", 64, 3, sha512);

#undef KYC_HASH_ENTRIES

// By threadSlot.
constexpr const HashEntries* kAllDigests[] = {&kMD5, &kSHA1, &kSHA256, &kSHA512};
constexpr int kDigestCount = sizeof kAllDigests / sizeof kAllDigests[0];

[[noreturn]] void fail(const char* tag, const std::string& message) {
    KY_THROW(tag, message);
}

// ---- The module calls, shared by the hasher objects and the one-call digests ----------------
// Messages are built only once a call has failed: a digest of a short record costs little
// more than the string would.

std::string moduleError(kycl_ctx* handle) {
    const char* reason = Kycl::get_last_error != nullptr ? Kycl::get_last_error(handle) : nullptr;
    return reason != nullptr ? reason : "unknown error";
}

kycl_ctx* createContext(const HashEntries& e) {
    char errorText[kModuleErrorTextSize] = {};
    kycl_ctx* handle = (*e.init)(nullptr, errorText, kModuleErrorTextSize);
    if (handle == nullptr) {
        errorText[kModuleErrorTextSize - 1] = '\0';
        fail(e.ctorTag, std::string("Failed to instantiate ") + e.name + " hasher: " + errorText);
    }
    return handle;
}

void resetContext(const HashEntries& e, kycl_ctx* handle, const KycBucket& key) {
    if (key.getSize() > 0) {
        if ((*e.hmacInit)(handle, key.getData(), key.getSize()) != 0)
            fail(e.resetTag,
                 std::string("Failed to init HMAC-") + e.name + " hasher: " + moduleError(handle));
    } else if ((*e.reset)(handle) != 0) {
        fail(e.resetTag,
             std::string("Failed to reset ") + e.name + " hasher: " + moduleError(handle));
    }
}

void feedContext(const HashEntries& e, kycl_ctx* handle, bool keyed, const void* data, int len) {
    const bool validArguments = len >= 0 && (data != nullptr || len == 0);
    if (validArguments && (keyed ? *e.hmacUpdate : *e.update)(handle, data, len) == 0)
        return;
    const std::string prefix = std::string("Failed to feed more data to ") + e.name + " hasher: ";
    if (len < 0)
        fail(e.addDataTag, prefix + "negative data length " + std::to_string(len) + ".");
    if (!validArguments)
        fail(e.addDataTag, prefix + "NULL data pointer.");
    fail(e.addDataTag, prefix + moduleError(handle));
}

void finishContext(const HashEntries& e, kycl_ctx* handle, bool keyed, void* out, int size) {
    if (size < e.digestSize)
        fail(e.finishTag, std::string("Buffer for ") + e.name + " digest must be at least " +
                              std::to_string(e.digestSize) + "-byte long.");
    if (out == nullptr)
        fail(e.finishTag, std::string("Buffer for ") + e.name + " digest is a NULL pointer.");
    if (keyed) {
        if ((*e.hmacFinal)(handle, out) != 0)
            fail(e.finishTag,
                 std::string("Failed to produce HMAC-") + e.name + ": " + moduleError(handle));
    } else if ((*e.final)(handle, out) != 0) {
        fail(e.finishTag,
             std::string("Failed to produce ") + e.name + " hash: " + moduleError(handle));
    }
}

}  // namespace

// ---- KycHash --------------------------------------------------------------------------------

KycHash::KycHash(int size) : digestSize(size) {}

KycHash::~KycHash() = default;

void KycHash::setKey(const KycBucket& newKey) {
    key = newKey;
    reset();
}

void KycHash::setKey(const void* data, int len) {
    if (len < 0 || (data == nullptr && len > 0))
        KY_THROW("KycHash::setKey", "Cannot set key: invalid key pointer or length.");
    key = KycBucket(data, len);
    reset();
}

void KycHash::addData(const KycBucket& data) {
    addData(data.getData(), data.getSize());
}

KycBucket KycHash::finish() {
    KycBucket digest(digestSize);
    _finish(digest.getData(), digest.getSize());
    return digest;
}

void KycHash::finish(void* out, int size) {
    _finish(out, size);
}

// ---- KycModuleHash --------------------------------------------------------------------------

KycModuleHash::KycModuleHash(const HashEntries& e) : KycHash(e.digestSize), entries(e) {
    Kycl::init();
    handle = createContext(entries);
}

KycModuleHash::~KycModuleHash() {
    // A hasher that outlives the binding (a static object at exit) has nothing to call.
    if (handle != nullptr && *entries.destroy != nullptr)
        (*entries.destroy)(handle);
}

void KycModuleHash::reset() {
    resetContext(entries, handle, getKey());
}

void KycModuleHash::addData(const void* data, int len) {
    feedContext(entries, handle, getKey().getSize() > 0, data, len);
}

void KycModuleHash::_finish(void* out, int size) {
    finishContext(entries, handle, getKey().getSize() > 0, out, size);
}

KycMD5::KycMD5() : KycModuleHash(kMD5) {}
KycSHA1::KycSHA1() : KycModuleHash(kSHA1) {}
KycSHA256::KycSHA256() : KycModuleHash(kSHA256) {}
KycSHA512::KycSHA512() : KycModuleHash(kSHA512) {}

// ---- One-call digests -----------------------------------------------------------------------
// Making a module context costs more than digesting a short record, so each thread keeps
// one context per algorithm for the one-call digests and resets it for the next message.

namespace {

// The calling thread's kept contexts. Trivially destructible on purpose: it stays usable to
// the thread's very end, after the reaper below has run (a static destructor that hashes
// while the process exits, say), and then holds nothing.
struct ThreadDigests {
    kycl_ctx* handle[kDigestCount];
    unsigned long generation[kDigestCount];  // the module instance each handle belongs to
    bool retired;                            // the thread is ending: nothing more is kept
};
thread_local ThreadDigests t_digests{};

// Hands a context back to the module. The module stays bound once a context exists, and
// takes back its contexts also after Kycl::destroy, as it does from hasher objects that
// outlive the binding.
void discard(const HashEntries& e, kycl_ctx* handle) noexcept {
    if (handle != nullptr && *e.destroy != nullptr)
        (*e.destroy)(handle);
}

// Releases the thread's kept contexts as the thread ends: the thread-local destructor of a
// thread that kept one. Library threads release them earlier, in Kycl's thread-exit
// callback; this catches every other thread, the main one included.
struct ThreadDigestsReaper {
    bool armed = false;
    ~ThreadDigestsReaper() {
        kyc_detail::releaseThreadDigests();
        t_digests.retired = true;
    }
};
thread_local ThreadDigestsReaper t_reaper;

// One message's context: the thread's kept one, reset, else a new one. Given back to the
// thread by keep(); dropped otherwise, as callers drop a hasher whose call failed.
class LeasedContext {
public:
    explicit LeasedContext(const HashEntries& e) : entries(e) {
        Kycl::init();
        generation = Kycl::getGeneration();
        ThreadDigests& t = t_digests;
        kycl_ctx* kept = t.handle[e.threadSlot];
        if (kept != nullptr) {
            // Taken out while in use, so that nothing else on this thread finds it.
            t.handle[e.threadSlot] = nullptr;
            // One made by a module instance destroyed since may have ended with it: it is
            // never used again, only handed back.
            if (t.generation[e.threadSlot] == generation && (*e.reset)(kept) == 0) {
                handle = kept;
                return;
            }
            discard(e, kept);
        }
        handle = createContext(e);
    }

    ~LeasedContext() { discard(entries, handle); }

    LeasedContext(const LeasedContext&) = delete;
    LeasedContext& operator=(const LeasedContext&) = delete;

    kycl_ctx* get() const { return handle; }

    void keep() noexcept {
        ThreadDigests& t = t_digests;
        if (t.retired || t.handle[entries.threadSlot] != nullptr)
            return;
        // First use of the reaper on this thread registers its destructor.
        t_reaper.armed = true;
        t.handle[entries.threadSlot] = handle;
        t.generation[entries.threadSlot] = generation;
        handle = nullptr;
    }

private:
    const HashEntries& entries;
    kycl_ctx* handle = nullptr;
    unsigned long generation = 0;
};

KycBucket digestOf(const HashEntries& e, const void* data, int len) {
    LeasedContext context(e);
    feedContext(e, context.get(), false, data, len);
    KycBucket digest(e.digestSize);
    finishContext(e, context.get(), false, digest.getData(), e.digestSize);
    context.keep();
    return digest;
}

}  // namespace

void kyc_detail::releaseThreadDigests() noexcept {
    ThreadDigests& t = t_digests;
    for (int slot = 0; slot < kDigestCount; ++slot) {
        kycl_ctx* handle = t.handle[slot];
        t.handle[slot] = nullptr;
        discard(*kAllDigests[slot], handle);
    }
}

KycBucket Kyc::md5(const void* data, int len) {
    return digestOf(kMD5, data, len);
}
KycBucket Kyc::md5(const KycBucket& data) {
    return md5(data.getData(), data.getSize());
}
KycBucket Kyc::sha1(const void* data, int len) {
    return digestOf(kSHA1, data, len);
}
KycBucket Kyc::sha1(const KycBucket& data) {
    return sha1(data.getData(), data.getSize());
}
KycBucket Kyc::sha256(const void* data, int len) {
    return digestOf(kSHA256, data, len);
}
KycBucket Kyc::sha256(const KycBucket& data) {
    return sha256(data.getData(), data.getSize());
}
KycBucket Kyc::sha512(const void* data, int len) {
    return digestOf(kSHA512, data, len);
}
KycBucket Kyc::sha512(const KycBucket& data) {
    return sha512(data.getData(), data.getSize());
}
