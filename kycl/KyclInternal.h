// Private to the crypto module: the shape every context shares, the backends fetched
// once by kycl_init, and the helpers the entry points use to report failures.
//
// Threads: a context is used by one thread at a time. The backends are written once,
// under the module mutex, before they are published through an atomic pointer, and are
// never changed or freed afterwards, so any thread may read them without a lock.
#ifndef KYCL_KYCLINTERNAL_H
#define KYCL_KYCLINTERNAL_H

#include "kycl/kycl.h"

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct kycl_ctx {
    // Tells an entry point whether the handle it got was made for it, so that a handle of
    // one kind passed to another kind's entry fails instead of corrupting memory.
    enum class Kind : uint32_t {
        Blowfish = 0x6b790001,
        Twofish,
        Serpent,
        Aes,
        Des,
        TripleDes,
        Gost,
        Md5,
        Sha1,
        Sha256,
        Sha512,
        Rsa,
        Twister,
        Frand
    };

    explicit kycl_ctx(Kind k) : kind(k) {}
    virtual ~kycl_ctx();
    kycl_ctx(const kycl_ctx&) = delete;
    kycl_ctx& operator=(const kycl_ctx&) = delete;

    Kind kind;
    int lastErrno = KYCL_ERR_NONE;
    std::string lastError;
};

namespace kycl_impl {

// Everything kycl_init fetches from the backends. Lives until the process ends: contexts
// that outlive kycl_destroy (static objects, other threads at exit) keep using it.
struct Backends {
    OSSL_LIB_CTX* libCtx = nullptr;
    EVP_CIPHER* aesEcb[3] = {};  // 128, 192, 256-bit keys
    EVP_CIPHER* aesCbc[3] = {};
    EVP_CIPHER* desEcb = nullptr;
    EVP_CIPHER* desCbc = nullptr;
    EVP_CIPHER* tdesEcb = nullptr;
    EVP_CIPHER* tdesCbc = nullptr;
    EVP_CIPHER* bfEcb = nullptr;
    EVP_CIPHER* bfCbc = nullptr;
    EVP_MD* md5 = nullptr;
    EVP_MD* sha1 = nullptr;
    EVP_MD* sha256 = nullptr;
    EVP_MD* sha512 = nullptr;
    EVP_MAC* hmac = nullptr;
    EVP_RAND* ctrDrbg = nullptr;
};

// The backends when the module is initialised (kycl_init succeeded and kycl_destroy has
// not run since), else null.
const Backends* activeBackends();

// The backends once they were ever fetched, whatever the module's state: what live
// contexts keep using after kycl_destroy.
const Backends& fetchedBackends();

// The GOST 28147-89 substitution boxes every GOST context uses, as the backend names
// them, and the name reported in the version text.
extern const char* const kGostSboxOid;
extern const char* const kGostSboxName;

// Records a failure on ctx (or, when ctx is null, in the calling thread's module error)
// and returns code, so that entry points can `return fail(ctx, KYCL_ERR_..., "...")`.
int fail(kycl_ctx* ctx, int code, const std::string& text);
// Same, with the backend's pending error queue appended to the text and then cleared.
int failOpenSsl(kycl_ctx* ctx, int code, const std::string& text);
// Records success on ctx.
int succeed(kycl_ctx* ctx);

// The shared part of every kycl_X_init: checks that the module is initialised, reports
// a failure through the caller's status and text buffer. Returns the backends or null.
const Backends* beginContext(int* status, char* errorText, int errorTextSize, const char* what);
// Reports a context-creation failure after beginContext succeeded; returns null.
kycl_ctx* contextFailed(int* status, char* errorText, int errorTextSize, int code,
                        const std::string& text);
// Reports success of a context creation; returns ctx.
kycl_ctx* contextCreated(int* status, kycl_ctx* ctx);

// The calling thread's module error (what kycl_get_last_error(null) returns).
void setThreadError(int code, const std::string& text);

// Casts a handle to its concrete context type when its kind matches, else records an
// argument error (on the handle, or on the calling thread when it is null) and returns
// null.
template <typename T>
T* contextOf(kycl_ctx* ctx, kycl_ctx::Kind kind) {
    if (ctx == nullptr) {
        setThreadError(KYCL_ERR_ARGUMENT, "Null context handle.");
        return nullptr;
    }
    if (ctx->kind != kind) {
        fail(ctx, KYCL_ERR_ARGUMENT, "Context handle of the wrong kind.");
        return nullptr;
    }
    return static_cast<T*>(ctx);
}

// Overwrites memory the compiler may not optimise the writes away from.
void wipe(void* p, size_t n);

}  // namespace kycl_impl

#endif  // KYCL_KYCLINTERNAL_H
