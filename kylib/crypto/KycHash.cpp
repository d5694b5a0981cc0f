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

#define KYC_HASH_ENTRIES(CLASS, NAME, SIZE, H)                                                    \
    HashEntries {                                                                                 \
        NAME, SIZE, #CLASS, #CLASS "::reset", #CLASS "::addData", #CLASS "::finish",              \
            &Kycl::H##_init, &Kycl::H##_destroy, &Kycl::H##_update, &Kycl::H##_final,             \
            &Kycl::H##_reset, &Kycl::H##_hmac_init, &Kycl::H##_hmac_update, &Kycl::H##_hmac_final \
    }

constexpr HashEntries kMD5 = KYC_HASH_ENTRIES(KycMD5, "MD5", 16, md5);
constexpr HashEntries kSHA1 = KYC_HASH_ENTRIES(KycSHA1, "SHA1", 20, sha1);
constexpr HashEntries kSHA256 = KYC_HASH_ENTRIES(KycSHA256, "SHA256", 32, sha256);
constexpr HashEntries kSHA512 = KYC_HASH_ENTRIES(KycSHA512, "SHA512", 64, sha512);

#undef KYC_HASH_ENTRIES

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

namespace {

template <class Hasher>
KycBucket digestOf(const void* data, int len) {
    Hasher hasher;
    hasher.addData(data, len);
    return hasher.finish();
}

}  // namespace

KycBucket Kyc::md5(const void* data, int len) {
    return digestOf<KycMD5>(data, len);
}
KycBucket Kyc::md5(const KycBucket& data) {
    return md5(data.getData(), data.getSize());
}
KycBucket Kyc::sha1(const void* data, int len) {
    return digestOf<KycSHA1>(data, len);
}
KycBucket Kyc::sha1(const KycBucket& data) {
    return sha1(data.getData(), data.getSize());
}
KycBucket Kyc::sha256(const void* data, int len) {
    return digestOf<KycSHA256>(data, len);
}
KycBucket Kyc::sha256(const KycBucket& data) {
    return sha256(data.getData(), data.getSize());
}
KycBucket Kyc::sha512(const void* data, int len) {
    return digestOf<KycSHA512>(data, len);
}
KycBucket Kyc::sha512(const KycBucket& data) {
    return sha512(data.getData(), data.getSize());
}
