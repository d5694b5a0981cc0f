// The block ciphers: AES, DES, triple DES and Blowfish on OpenSSL; Serpent, Twofish and
// GOST 28147-89 on libgcrypt.
//
// A keyed context holds ready backend contexts for ECB and for CBC in both directions, so
// that an operation never repeats the key schedule. The backends keep the only copy of
// the key material and wipe it when the contexts are freed (re-key or destroy).
#include "kycl/KyclInternal.h"

#include <gcrypt.h>

#include <cstring>

using namespace kycl_impl;

namespace {

enum class Backend { OpenSsl, Gcrypt };

struct CipherInfo {
    kycl_ctx::Kind kind;
    const char* name;
    int blockSize;
    Backend backend;
};

const CipherInfo kBlowfish{kycl_ctx::Kind::Blowfish, "Blowfish", 8, Backend::OpenSsl};
const CipherInfo kTwofish{kycl_ctx::Kind::Twofish, "Twofish", 16, Backend::Gcrypt};
const CipherInfo kSerpent{kycl_ctx::Kind::Serpent, "Serpent", 16, Backend::Gcrypt};
const CipherInfo kAes{kycl_ctx::Kind::Aes, "AES", 16, Backend::OpenSsl};
const CipherInfo kDes{kycl_ctx::Kind::Des, "DES", 8, Backend::OpenSsl};
const CipherInfo kTripleDes{kycl_ctx::Kind::TripleDes, "3DES", 8, Backend::OpenSsl};
const CipherInfo kGost{kycl_ctx::Kind::Gost, "GOST", 8, Backend::Gcrypt};

const int kMaxBlockSize = 16;

struct CipherCtx : kycl_ctx {
    explicit CipherCtx(const CipherInfo& i) : kycl_ctx(i.kind), info(i) {}
    ~CipherCtx() override { release(); }

    // Frees the backend contexts; the backends wipe the key schedules as they go.
    void release() {
        EVP_CIPHER_CTX_free(ecbEnc);
        EVP_CIPHER_CTX_free(ecbDec);
        EVP_CIPHER_CTX_free(cbcEnc);
        EVP_CIPHER_CTX_free(cbcDec);
        ecbEnc = ecbDec = cbcEnc = cbcDec = nullptr;
        if (gcryEcb != nullptr) {
            gcry_cipher_close(gcryEcb);
        }
        if (gcryCbc != nullptr) {
            gcry_cipher_close(gcryCbc);
        }
        gcryEcb = gcryCbc = nullptr;
        keyed = false;
    }

    const CipherInfo& info;
    bool keyed = false;
    EVP_CIPHER_CTX* ecbEnc = nullptr;
    EVP_CIPHER_CTX* ecbDec = nullptr;
    EVP_CIPHER_CTX* cbcEnc = nullptr;
    EVP_CIPHER_CTX* cbcDec = nullptr;
    gcry_cipher_hd_t gcryEcb = nullptr;
    gcry_cipher_hd_t gcryCbc = nullptr;
};

kycl_ctx* createCipher(const CipherInfo& info, int* status, char* errorText, int errorTextSize) {
    if (beginContext(status, errorText, errorTextSize, info.name) == nullptr) {
        return nullptr;
    }
    auto* ctx = new (std::nothrow) CipherCtx(info);
    if (ctx == nullptr) {
        return contextFailed(
            status, errorText, errorTextSize, KYCL_ERR_MEMORY,
            std::string("Cannot create ") + info.name + " context: out of memory.");
    }
    return contextCreated(status, ctx);
}

void destroyCipher(const CipherInfo& info, kycl_ctx* handle) {
    if (handle != nullptr && handle->kind == info.kind) {
        delete static_cast<CipherCtx*>(handle);
    }
}

// Which OpenSSL algorithms serve a key of this length, or false when the length is not
// one the cipher takes.
bool pickOpenSslCiphers(const CipherInfo& info, int keyLen, const EVP_CIPHER** ecb,
                        const EVP_CIPHER** cbc) {
    const Backends& b = fetchedBackends();
    switch (info.kind) {
        case kycl_ctx::Kind::Aes:
            if (keyLen != 16 && keyLen != 24 && keyLen != 32) {
                return false;
            }
            *ecb = b.aesEcb[(keyLen - 16) / 8];
            *cbc = b.aesCbc[(keyLen - 16) / 8];
            return true;
        case kycl_ctx::Kind::Des:
            *ecb = b.desEcb;
            *cbc = b.desCbc;
            return keyLen == 8;
        case kycl_ctx::Kind::TripleDes:
            *ecb = b.tdesEcb;
            *cbc = b.tdesCbc;
            return keyLen == 16 || keyLen == 24;
        case kycl_ctx::Kind::Blowfish:
            *ecb = b.bfEcb;
            *cbc = b.bfCbc;
            return keyLen >= 4 && keyLen <= 56;
        default:
            return false;
    }
}

const char* keyLengthsText(const CipherInfo& info) {
    switch (info.kind) {
        case kycl_ctx::Kind::Aes:
        case kycl_ctx::Kind::Serpent:
            return "16, 24 or 32 bytes";
        case kycl_ctx::Kind::Twofish:
            return "16 or 32 bytes";
        case kycl_ctx::Kind::Des:
            return "8 bytes";
        case kycl_ctx::Kind::TripleDes:
            return "24 bytes (three keys) or 16 bytes (two keys)";
        case kycl_ctx::Kind::Blowfish:
            return "4 to 56 bytes";
        case kycl_ctx::Kind::Gost:
            return "32 bytes";
        default:
            return "?";
    }
}

EVP_CIPHER_CTX* newOpenSslCtx(const EVP_CIPHER* cipher, const unsigned char* key, int keyLen,
                              int enc) {
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    if (c == nullptr) {
        return nullptr;
    }
    // Blowfish's key length is variable: it must be on the context before the key is.
    bool ok = EVP_CipherInit_ex2(c, cipher, nullptr, nullptr, enc, nullptr) == 1 &&
              EVP_CIPHER_CTX_set_key_length(c, keyLen) == 1 &&
              EVP_CipherInit_ex2(c, nullptr, key, nullptr, enc, nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(c, 0) == 1;
    if (!ok) {
        EVP_CIPHER_CTX_free(c);
        return nullptr;
    }
    return c;
}

int setOpenSslKey(CipherCtx* ctx, const unsigned char* key, int keyLen) {
    const EVP_CIPHER* ecb = nullptr;
    const EVP_CIPHER* cbc = nullptr;
    pickOpenSslCiphers(ctx->info, keyLen, &ecb, &cbc);
    // A two-key triple-DES key K1 K2 runs as the three-key K1 K2 K1.
    unsigned char expanded[24];
    if (ctx->info.kind == kycl_ctx::Kind::TripleDes && keyLen == 16) {
        std::memcpy(expanded, key, 16);
        std::memcpy(expanded + 16, key, 8);
        key = expanded;
        keyLen = 24;
    }
    ctx->ecbEnc = newOpenSslCtx(ecb, key, keyLen, 1);
    ctx->ecbDec = newOpenSslCtx(ecb, key, keyLen, 0);
    ctx->cbcEnc = newOpenSslCtx(cbc, key, keyLen, 1);
    ctx->cbcDec = newOpenSslCtx(cbc, key, keyLen, 0);
    wipe(expanded, sizeof(expanded));
    if (ctx->ecbEnc == nullptr || ctx->ecbDec == nullptr || ctx->cbcEnc == nullptr ||
        ctx->cbcDec == nullptr) {
        ctx->release();
        return failOpenSsl(ctx, KYCL_ERR_CRYPTO,
                           std::string("Cannot set the ") + ctx->info.name + " key");
    }
    return KYCL_ERR_NONE;
}

int gcryptAlgorithm(const CipherInfo& info, int keyLen) {
    switch (info.kind) {
        case kycl_ctx::Kind::Serpent:
            return keyLen == 16   ? GCRY_CIPHER_SERPENT128
                   : keyLen == 24 ? GCRY_CIPHER_SERPENT192
                   : keyLen == 32 ? GCRY_CIPHER_SERPENT256
                                  : 0;
        case kycl_ctx::Kind::Twofish:
            // libgcrypt's Twofish has no 192-bit key schedule.
            return keyLen == 16 ? GCRY_CIPHER_TWOFISH128 : keyLen == 32 ? GCRY_CIPHER_TWOFISH : 0;
        case kycl_ctx::Kind::Gost:
            return keyLen == 32 ? GCRY_CIPHER_GOST28147 : 0;
        default:
            return 0;
    }
}

gcry_error_t openGcrypt(gcry_cipher_hd_t* h, const CipherInfo& info, int algo, int mode,
                        const unsigned char* key, int keyLen) {
    gcry_error_t e = gcry_cipher_open(h, algo, mode, 0);
    if (e != 0) {
        *h = nullptr;
        return e;
    }
    // The S-box set goes in before the key, so that it is part of the keyed state.
    if (info.kind == kycl_ctx::Kind::Gost) {
        e = gcry_cipher_set_sbox(*h, kGostSboxOid);
    }
    if (e == 0) {
        e = gcry_cipher_setkey(*h, key, keyLen);
    }
    return e;
}

int setGcryptKey(CipherCtx* ctx, const unsigned char* key, int keyLen) {
    int algo = gcryptAlgorithm(ctx->info, keyLen);
    gcry_error_t e = openGcrypt(&ctx->gcryEcb, ctx->info, algo, GCRY_CIPHER_MODE_ECB, key, keyLen);
    if (e == 0) {
        e = openGcrypt(&ctx->gcryCbc, ctx->info, algo, GCRY_CIPHER_MODE_CBC, key, keyLen);
    }
    if (e != 0) {
        ctx->release();
        return fail(ctx, gcry_err_code(e) == GPG_ERR_WEAK_KEY ? KYCL_ERR_KEY : KYCL_ERR_CRYPTO,
                    std::string("Cannot set the ") + ctx->info.name + " key: " + gcry_strerror(e));
    }
    return KYCL_ERR_NONE;
}

int setKey(const CipherInfo& info, kycl_ctx* handle, const void* key, int keyLen) {
    auto* ctx = contextOf<CipherCtx>(handle, info.kind);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    // A failed re-key leaves no key at all rather than the previous one, so that a caller
    // that misses the failure cannot go on encrypting under a key it meant to replace.
    ctx->release();
    if (key == nullptr) {
        return fail(ctx, KYCL_ERR_ARGUMENT, std::string("Null ") + info.name + " key.");
    }
    bool lengthOk;
    if (info.backend == Backend::OpenSsl) {
        const EVP_CIPHER* ecb;
        const EVP_CIPHER* cbc;
        lengthOk = pickOpenSslCiphers(info, keyLen, &ecb, &cbc);
    } else {
        lengthOk = gcryptAlgorithm(info, keyLen) != 0;
    }
    if (!lengthOk) {
        return fail(ctx, KYCL_ERR_KEY,
                    std::string("Invalid ") + info.name + " key length " + std::to_string(keyLen) +
                        ": must be " + keyLengthsText(info) + ".");
    }
    const auto* bytes = static_cast<const unsigned char*>(key);
    int rc = info.backend == Backend::OpenSsl ? setOpenSslKey(ctx, bytes, keyLen)
                                              : setGcryptKey(ctx, bytes, keyLen);
    if (rc != KYCL_ERR_NONE) {
        return rc;
    }
    ctx->keyed = true;
    return succeed(ctx);
}

bool partiallyOverlap(const void* a, const void* b, int len) {
    auto pa = reinterpret_cast<uintptr_t>(a);
    auto pb = reinterpret_cast<uintptr_t>(b);
    if (pa == pb) {
        return false;
    }
    return pa < pb ? pb - pa < static_cast<uintptr_t>(len) : pa - pb < static_cast<uintptr_t>(len);
}

// The checks every ECB and CBC operation shares; returns the context or null with the
// failure recorded (and *rc set).
CipherCtx* checkedCipher(const CipherInfo& info, kycl_ctx* handle, const void* in, int len,
                         void* out, int* rc) {
    auto* ctx = contextOf<CipherCtx>(handle, info.kind);
    if (ctx == nullptr) {
        *rc = KYCL_ERR_ARGUMENT;
        return nullptr;
    }
    if (!ctx->keyed) {
        *rc = fail(ctx, KYCL_ERR_STATE, std::string("No ") + info.name + " key has been set.");
        return nullptr;
    }
    if (len < 0 || len % info.blockSize != 0) {
        *rc = fail(ctx, KYCL_ERR_ARGUMENT,
                   "Data length " + std::to_string(len) + " is not a multiple of the " +
                       std::to_string(info.blockSize) + "-byte block.");
        return nullptr;
    }
    if (len > 0 && (in == nullptr || out == nullptr)) {
        *rc = fail(ctx, KYCL_ERR_ARGUMENT, "Null input or output buffer.");
        return nullptr;
    }
    if (partiallyOverlap(in, out, len)) {
        *rc = fail(ctx, KYCL_ERR_ARGUMENT,
                   "Input and output overlap: they must be the same buffer or apart.");
        return nullptr;
    }
    return ctx;
}

int runOpenSsl(CipherCtx* ctx, EVP_CIPHER_CTX* c, const void* in, int len, void* out) {
    int outLen = 0;
    if (EVP_CipherUpdate(c, static_cast<unsigned char*>(out), &outLen,
                         static_cast<const unsigned char*>(in), len) != 1 ||
        outLen != len) {
        return failOpenSsl(ctx, KYCL_ERR_CRYPTO, std::string(ctx->info.name) + " failed");
    }
    return KYCL_ERR_NONE;
}

int runGcrypt(CipherCtx* ctx, gcry_cipher_hd_t h, bool encrypt, const void* in, int len,
              void* out) {
    // libgcrypt documents in-place work as a null input, not as equal pointers.
    const void* src = in == out ? nullptr : in;
    size_t srcLen = in == out ? 0 : static_cast<size_t>(len);
    gcry_error_t e = encrypt ? gcry_cipher_encrypt(h, out, len, src, srcLen)
                             : gcry_cipher_decrypt(h, out, len, src, srcLen);
    if (e != 0) {
        return fail(ctx, KYCL_ERR_CRYPTO,
                    std::string(ctx->info.name) + " failed: " + gcry_strerror(e));
    }
    return KYCL_ERR_NONE;
}

int ecb(const CipherInfo& info, kycl_ctx* handle, const void* in, int len, void* out,
        bool encrypt) {
    int rc = KYCL_ERR_NONE;
    CipherCtx* ctx = checkedCipher(info, handle, in, len, out, &rc);
    if (ctx == nullptr) {
        return rc;
    }
    if (len == 0) {
        return succeed(ctx);
    }
    rc = info.backend == Backend::OpenSsl
             ? runOpenSsl(ctx, encrypt ? ctx->ecbEnc : ctx->ecbDec, in, len, out)
             : runGcrypt(ctx, ctx->gcryEcb, encrypt, in, len, out);
    return rc == KYCL_ERR_NONE ? succeed(ctx) : rc;
}

int ecbOneBlock(const CipherInfo& info, kycl_ctx* handle, const void* in, void* out, bool encrypt) {
    return ecb(info, handle, in, info.blockSize, out, encrypt);
}

int cbc(const CipherInfo& info, kycl_ctx* handle, const void* in, int len, void* out, void* iv,
        bool encrypt) {
    int rc = KYCL_ERR_NONE;
    CipherCtx* ctx = checkedCipher(info, handle, in, len, out, &rc);
    if (ctx == nullptr) {
        return rc;
    }
    if (iv == nullptr) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null IV.");
    }
    if (len == 0) {
        return succeed(ctx);
    }
    const int bs = info.blockSize;
    // Decrypting in place overwrites the last ciphertext block, which is the next IV.
    unsigned char nextIv[kMaxBlockSize];
    const auto* lastBlock = static_cast<const unsigned char*>(encrypt ? out : in) + len - bs;
    if (!encrypt) {
        std::memcpy(nextIv, lastBlock, bs);
    }
    if (info.backend == Backend::OpenSsl) {
        EVP_CIPHER_CTX* c = encrypt ? ctx->cbcEnc : ctx->cbcDec;
        if (EVP_CipherInit_ex2(c, nullptr, nullptr, static_cast<const unsigned char*>(iv), -1,
                               nullptr) != 1) {
            rc = failOpenSsl(ctx, KYCL_ERR_CRYPTO, std::string(info.name) + " IV not taken");
        } else {
            rc = runOpenSsl(ctx, c, in, len, out);
        }
    } else {
        gcry_error_t e = gcry_cipher_setiv(ctx->gcryCbc, iv, bs);
        rc = e != 0 ? fail(ctx, KYCL_ERR_CRYPTO,
                           std::string(info.name) + " IV not taken: " + gcry_strerror(e))
                    : runGcrypt(ctx, ctx->gcryCbc, encrypt, in, len, out);
    }
    if (rc != KYCL_ERR_NONE) {
        wipe(nextIv, sizeof(nextIv));
        return rc;
    }
    std::memcpy(iv, encrypt ? lastBlock : nextIv, bs);
    wipe(nextIv, sizeof(nextIv));
    return succeed(ctx);
}

// The semi-weak keys come in pairs: each one's encryption is undone by the other's.
const unsigned char kWeakDesKeys[16][8] = {
    {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01},  // weak
    {0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE},
    {0xE0, 0xE0, 0xE0, 0xE0, 0xF1, 0xF1, 0xF1, 0xF1},
    {0x1F, 0x1F, 0x1F, 0x1F, 0x0E, 0x0E, 0x0E, 0x0E},
    {0x01, 0x1F, 0x01, 0x1F, 0x01, 0x0E, 0x01, 0x0E},  // semi-weak pairs
    {0x1F, 0x01, 0x1F, 0x01, 0x0E, 0x01, 0x0E, 0x01},
    {0x01, 0xE0, 0x01, 0xE0, 0x01, 0xF1, 0x01, 0xF1},
    {0xE0, 0x01, 0xE0, 0x01, 0xF1, 0x01, 0xF1, 0x01},
    {0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE},
    {0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01},
    {0x1F, 0xE0, 0x1F, 0xE0, 0x0E, 0xF1, 0x0E, 0xF1},
    {0xE0, 0x1F, 0xE0, 0x1F, 0xF1, 0x0E, 0xF1, 0x0E},
    {0x1F, 0xFE, 0x1F, 0xFE, 0x0E, 0xFE, 0x0E, 0xFE},
    {0xFE, 0x1F, 0xFE, 0x1F, 0xFE, 0x0E, 0xFE, 0x0E},
    {0xE0, 0xFE, 0xE0, 0xFE, 0xF1, 0xFE, 0xF1, 0xFE},
    {0xFE, 0xE0, 0xFE, 0xE0, 0xFE, 0xF1, 0xFE, 0xF1},
};

bool isWeakDesKey(const unsigned char* key) {
    for (const auto& weak : kWeakDesKeys) {
        bool same = true;
        for (int i = 0; i < 8 && same; ++i) {
            // The low bit of each byte is parity, not key.
            same = (key[i] & 0xFE) == (weak[i] & 0xFE);
        }
        if (same) {
            return true;
        }
    }
    return false;
}

}  // namespace

#define KYCL_DEFINE_CIPHER(X, INFO)                                                        \
    KYCL_API kycl_ctx* kycl_##X##_init(int* status, char* errorText, int errorTextSize) {  \
        return createCipher(INFO, status, errorText, errorTextSize);                       \
    }                                                                                      \
    KYCL_API void kycl_##X##_destroy(kycl_ctx* ctx) {                                      \
        destroyCipher(INFO, ctx);                                                          \
    }                                                                                      \
    KYCL_API int kycl_##X##_set_key(kycl_ctx* ctx, const void* key, int keyLen) {          \
        return setKey(INFO, ctx, key, keyLen);                                             \
    }                                                                                      \
    KYCL_API int kycl_##X##_ecb_encrypt(kycl_ctx* ctx, const void* in, void* out) {        \
        return ecbOneBlock(INFO, ctx, in, out, true);                                      \
    }                                                                                      \
    KYCL_API int kycl_##X##_ecb_decrypt(kycl_ctx* ctx, const void* in, void* out) {        \
        return ecbOneBlock(INFO, ctx, in, out, false);                                     \
    }                                                                                      \
    KYCL_API int kycl_##X##_cbc_encrypt(kycl_ctx* ctx, const void* in, int len, void* out, \
                                        void* iv) {                                        \
        return cbc(INFO, ctx, in, len, out, iv, true);                                     \
    }                                                                                      \
    KYCL_API int kycl_##X##_cbc_decrypt(kycl_ctx* ctx, const void* in, int len, void* out, \
                                        void* iv) {                                        \
        return cbc(INFO, ctx, in, len, out, iv, false);                                    \
    }                                                                                      \
    KYCL_API int kycl_##X##_ecb_encrypt_blocks(kycl_ctx* ctx, const void* in, int len,     \
                                               void* out) {                                \
        return ecb(INFO, ctx, in, len, out, true);                                         \
    }                                                                                      \
    KYCL_API int kycl_##X##_ecb_decrypt_blocks(kycl_ctx* ctx, const void* in, int len,     \
                                               void* out) {                                \
        return ecb(INFO, ctx, in, len, out, false);                                        \
    }

extern "C" {

KYCL_DEFINE_CIPHER(blowfish, kBlowfish)
KYCL_DEFINE_CIPHER(twofish, kTwofish)
KYCL_DEFINE_CIPHER(serpent, kSerpent)
KYCL_DEFINE_CIPHER(aes, kAes)
KYCL_DEFINE_CIPHER(des, kDes)
KYCL_DEFINE_CIPHER(3des, kTripleDes)
KYCL_DEFINE_CIPHER(gost, kGost)

KYCL_API int kycl_des_is_key_weak(kycl_ctx* ctx, const void* key, int keyLen) {
    // Usable without a context too: the answer depends on the key alone.
    if (key == nullptr || keyLen != 8) {
        if (ctx != nullptr && ctx->kind == kycl_ctx::Kind::Des) {
            fail(ctx, KYCL_ERR_ARGUMENT, "A DES key is 8 bytes.");
        }
        return 0;
    }
    return isWeakDesKey(static_cast<const unsigned char*>(key)) ? 1 : 0;
}

}  // extern "C"
