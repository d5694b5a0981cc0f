// MD5, SHA-1, SHA-256 and SHA-512, plain and as HMAC, on OpenSSL.
//
// One context carries two independent computations: the plain digest and, once
// hmac_init has given it a key, the HMAC. Each restarts by itself after its final, the
// HMAC under the same key, so a caller hashes message after message without re-creating.
// A reset of a digest that has taken nothing since it (re)started is free: callers reset
// before every message, and the backend's restart frees and remakes its state.
#include "kycl/KyclInternal.h"

#include <openssl/core_names.h>
#include <openssl/params.h>

using namespace kycl_impl;

namespace {

struct HashInfo {
    kycl_ctx::Kind kind;
    const char* name;
    EVP_MD* Backends::*md;
};

const HashInfo kMd5{kycl_ctx::Kind::Md5, "MD5", &Backends::md5};
const HashInfo kSha1{kycl_ctx::Kind::Sha1, "SHA-1", &Backends::sha1};
const HashInfo kSha256{kycl_ctx::Kind::Sha256, "SHA-256", &Backends::sha256};
const HashInfo kSha512{kycl_ctx::Kind::Sha512, "SHA-512", &Backends::sha512};

struct HashCtx : kycl_ctx {
    HashCtx(const HashInfo& i, const EVP_MD* m) : kycl_ctx(i.kind), info(i), md(m) {}
    ~HashCtx() override {
        EVP_MD_CTX_free(digest);
        EVP_MAC_CTX_free(mac);  // wipes the HMAC key
    }

    const HashInfo& info;
    const EVP_MD* md;
    EVP_MD_CTX* digest = nullptr;
    EVP_MAC_CTX* mac = nullptr;
    bool macKeyed = false;
    // The digest is as freshly started: nothing fed since, so a reset has nothing to drop.
    bool pristine = false;
};

kycl_ctx* createHash(const HashInfo& info, int* status, char* errorText, int errorTextSize) {
    const Backends* b = beginContext(status, errorText, errorTextSize, info.name);
    if (b == nullptr) {
        return nullptr;
    }
    auto* ctx = new (std::nothrow) HashCtx(info, b->*info.md);
    if (ctx == nullptr) {
        return contextFailed(
            status, errorText, errorTextSize, KYCL_ERR_MEMORY,
            std::string("Cannot create ") + info.name + " context: out of memory.");
    }
    ctx->digest = EVP_MD_CTX_new();
    if (ctx->digest == nullptr || EVP_DigestInit_ex2(ctx->digest, ctx->md, nullptr) != 1) {
        delete ctx;
        return contextFailed(status, errorText, errorTextSize, KYCL_ERR_CRYPTO,
                             std::string("Cannot start ") + info.name + ".");
    }
    ctx->pristine = true;
    return contextCreated(status, ctx);
}

void destroyHash(const HashInfo& info, kycl_ctx* handle) {
    if (handle != nullptr && handle->kind == info.kind) {
        delete static_cast<HashCtx*>(handle);
    }
}

bool badData(const void* data, int len) {
    return len < 0 || (len > 0 && data == nullptr);
}

int update(const HashInfo& info, kycl_ctx* handle, const void* data, int len) {
    auto* ctx = contextOf<HashCtx>(handle, info.kind);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    if (badData(data, len)) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null data or negative length.");
    }
    if (len > 0) {
        // Cleared first: a failed update leaves the state unknown, which only a restart fixes.
        ctx->pristine = false;
        if (EVP_DigestUpdate(ctx->digest, data, static_cast<size_t>(len)) != 1) {
            return failOpenSsl(ctx, KYCL_ERR_CRYPTO, std::string(info.name) + " update failed");
        }
    }
    return succeed(ctx);
}

int restart(HashCtx* ctx) {
    ctx->pristine = false;
    if (EVP_DigestInit_ex2(ctx->digest, ctx->md, nullptr) != 1) {
        return failOpenSsl(ctx, KYCL_ERR_CRYPTO, std::string(ctx->info.name) + " restart failed");
    }
    ctx->pristine = true;
    return KYCL_ERR_NONE;
}

int final(const HashInfo& info, kycl_ctx* handle, void* out) {
    auto* ctx = contextOf<HashCtx>(handle, info.kind);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    if (out == nullptr) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null output buffer.");
    }
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(ctx->digest, static_cast<unsigned char*>(out), &n) != 1) {
        failOpenSsl(ctx, KYCL_ERR_CRYPTO, std::string(info.name) + " final failed");
        restart(ctx);
        return KYCL_ERR_CRYPTO;
    }
    int rc = restart(ctx);
    return rc == KYCL_ERR_NONE ? succeed(ctx) : rc;
}

int reset(const HashInfo& info, kycl_ctx* handle) {
    auto* ctx = contextOf<HashCtx>(handle, info.kind);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    if (ctx->pristine) {
        return succeed(ctx);
    }
    int rc = restart(ctx);
    return rc == KYCL_ERR_NONE ? succeed(ctx) : rc;
}

int hmacInit(const HashInfo& info, kycl_ctx* handle, const void* key, int keyLen) {
    auto* ctx = contextOf<HashCtx>(handle, info.kind);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    ctx->macKeyed = false;
    if (badData(key, keyLen)) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null HMAC key or negative length.");
    }
    if (ctx->mac == nullptr) {
        ctx->mac = EVP_MAC_CTX_new(fetchedBackends().hmac);
        if (ctx->mac == nullptr) {
            return failOpenSsl(ctx, KYCL_ERR_MEMORY, "Cannot create the HMAC context");
        }
    }
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST,
                                         const_cast<char*>(EVP_MD_get0_name(ctx->md)), 0),
        OSSL_PARAM_construct_end()};
    // A null key means "keep the previous key" to the backend; an empty key is a key.
    static const unsigned char kEmptyKey[1] = {0};
    const auto* keyBytes = keyLen > 0 ? static_cast<const unsigned char*>(key) : kEmptyKey;
    if (EVP_MAC_init(ctx->mac, keyBytes, static_cast<size_t>(keyLen), params) != 1) {
        return failOpenSsl(ctx, KYCL_ERR_CRYPTO, std::string("HMAC-") + info.name + " init failed");
    }
    ctx->macKeyed = true;
    return succeed(ctx);
}

HashCtx* keyedMac(const HashInfo& info, kycl_ctx* handle, int* rc) {
    auto* ctx = contextOf<HashCtx>(handle, info.kind);
    if (ctx == nullptr) {
        *rc = KYCL_ERR_ARGUMENT;
        return nullptr;
    }
    if (!ctx->macKeyed) {
        *rc = fail(ctx, KYCL_ERR_STATE, "No HMAC key has been set.");
        return nullptr;
    }
    return ctx;
}

int hmacUpdate(const HashInfo& info, kycl_ctx* handle, const void* data, int len) {
    int rc = KYCL_ERR_NONE;
    HashCtx* ctx = keyedMac(info, handle, &rc);
    if (ctx == nullptr) {
        return rc;
    }
    if (badData(data, len)) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null data or negative length.");
    }
    if (len > 0 && EVP_MAC_update(ctx->mac, static_cast<const unsigned char*>(data),
                                  static_cast<size_t>(len)) != 1) {
        return failOpenSsl(ctx, KYCL_ERR_CRYPTO,
                           std::string("HMAC-") + info.name + " update failed");
    }
    return succeed(ctx);
}

int hmacFinal(const HashInfo& info, kycl_ctx* handle, void* out) {
    int rc = KYCL_ERR_NONE;
    HashCtx* ctx = keyedMac(info, handle, &rc);
    if (ctx == nullptr) {
        return rc;
    }
    if (out == nullptr) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null output buffer.");
    }
    size_t n = 0;
    size_t size = static_cast<size_t>(EVP_MD_get_size(ctx->md));
    bool ok = EVP_MAC_final(ctx->mac, static_cast<unsigned char*>(out), &n, size) == 1;
    // Restart under the same key whatever happened, ready for the next message.
    bool restarted = EVP_MAC_init(ctx->mac, nullptr, 0, nullptr) == 1;
    if (!ok || !restarted) {
        if (!restarted) {
            ctx->macKeyed = false;
        }
        return failOpenSsl(ctx, KYCL_ERR_CRYPTO,
                           std::string("HMAC-") + info.name + " final failed");
    }
    return succeed(ctx);
}

}  // namespace

#define KYCL_DEFINE_HASH(H, INFO)                                                         \
    KYCL_API kycl_ctx* kycl_##H##_init(int* status, char* errorText, int errorTextSize) { \
        return createHash(INFO, status, errorText, errorTextSize);                        \
    }                                                                                     \
    KYCL_API void kycl_##H##_destroy(kycl_ctx* ctx) {                                     \
        destroyHash(INFO, ctx);                                                           \
    }                                                                                     \
    KYCL_API int kycl_##H##_update(kycl_ctx* ctx, const void* data, int len) {            \
        return update(INFO, ctx, data, len);                                              \
    }                                                                                     \
    KYCL_API int kycl_##H##_final(kycl_ctx* ctx, void* out) {                             \
        return final(INFO, ctx, out);                                                     \
    }                                                                                     \
    KYCL_API int kycl_##H##_reset(kycl_ctx* ctx) {                                        \
        return reset(INFO, ctx);                                                          \
    }                                                                                     \
    KYCL_API int kycl_##H##_hmac_init(kycl_ctx* ctx, const void* key, int keyLen) {       \
        return hmacInit(INFO, ctx, key, keyLen);                                          \
    }                                                                                     \
    KYCL_API int kycl_##H##_hmac_update(kycl_ctx* ctx, const void* data, int len) {       \
        return hmacUpdate(INFO, ctx, data, len);                                          \
    }                                                                                     \
    KYCL_API int kycl_##H##_hmac_final(kycl_ctx* ctx, void* out) {                        \
        return hmacFinal(INFO, ctx, out);                                                 \
    }

extern "C" {

KYCL_DEFINE_HASH(md5, kMd5)
KYCL_DEFINE_HASH(sha1, kSha1)
KYCL_DEFINE_HASH(sha256, kSha256)
KYCL_DEFINE_HASH(sha512, kSha512)

}  // extern "C"
