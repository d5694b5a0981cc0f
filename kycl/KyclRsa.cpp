// RSA on OpenSSL: key import and export (DER: PKCS#1 RSAPrivateKey and
// SubjectPublicKeyInfo; plain: the same structures as PEM text), key generation, one-block
// encryption with PKCS#1 v1.5 or no padding, and SHA-256 PKCS#1 v1.5 signatures.
#include "kycl/KyclInternal.h"

#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <cstring>
#include <vector>

using namespace kycl_impl;

namespace {

// Below 1024 bits RSA is broken outright; above the backend's own limit generation only
// burns time before failing.
const int kMinKeyBits = 1024;
const int kMaxKeyBits = 16384;
const int kPkcs1Overhead = 11;

struct RsaCtx : kycl_ctx {
    RsaCtx() : kycl_ctx(Kind::Rsa) {}
    ~RsaCtx() override { EVP_PKEY_free(key); }  // the backend wipes the private numbers

    void setKey(EVP_PKEY* k, bool priv) {
        EVP_PKEY_free(key);
        key = k;
        hasPrivate = priv;
    }

    EVP_PKEY* key = nullptr;
    bool hasPrivate = false;
    bool padding = true;
};

RsaCtx* rsaOf(kycl_ctx* handle) {
    return contextOf<RsaCtx>(handle, kycl_ctx::Kind::Rsa);
}

// Never prompts: an encrypted key without a pass phrase simply fails to decode.
int noPassphrase(char*, size_t, size_t*, const OSSL_PARAM[], void*) {
    return 0;
}

bool hasPrivateParts(const EVP_PKEY* key) {
    BIGNUM* d = nullptr;
    bool has = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_D, &d) == 1 && d != nullptr;
    BN_clear_free(d);
    ERR_clear_error();  // a public key's missing exponent is an answer, not an error
    return has;
}

// Decodes an RSA key; input is "DER" or "PEM". Returns null with the failure recorded.
EVP_PKEY* decodeKey(RsaCtx* ctx, const void* data, size_t len, const char* input, bool priv,
                    const char* passPhrase) {
    EVP_PKEY* key = nullptr;
    int selection = priv ? OSSL_KEYMGMT_SELECT_KEYPAIR : OSSL_KEYMGMT_SELECT_PUBLIC_KEY;
    OSSL_DECODER_CTX* dctx = OSSL_DECODER_CTX_new_for_pkey(&key, input, nullptr, "RSA", selection,
                                                           fetchedBackends().libCtx, nullptr);
    if (dctx == nullptr) {
        failOpenSsl(ctx, KYCL_ERR_MEMORY, "Cannot create an RSA key decoder");
        return nullptr;
    }
    if (passPhrase != nullptr) {
        OSSL_DECODER_CTX_set_passphrase(dctx, reinterpret_cast<const unsigned char*>(passPhrase),
                                        std::strlen(passPhrase));
    } else {
        OSSL_DECODER_CTX_set_passphrase_cb(dctx, noPassphrase, nullptr);
    }
    const auto* p = static_cast<const unsigned char*>(data);
    size_t left = len;
    bool ok = OSSL_DECODER_from_data(dctx, &p, &left) == 1 && key != nullptr;
    OSSL_DECODER_CTX_free(dctx);
    if (!ok) {
        EVP_PKEY_free(key);
        failOpenSsl(ctx, KYCL_ERR_KEY,
                    std::string("Not an RSA ") + (priv ? "private" : "public") + " key in " +
                        input + (passPhrase != nullptr ? " (or a wrong pass phrase)" : ""));
        return nullptr;
    }
    ERR_clear_error();  // decoders that were tried and did not match leave their errors
    if (priv && !hasPrivateParts(key)) {
        EVP_PKEY_free(key);
        fail(ctx, KYCL_ERR_KEY, "The key holds no private part.");
        return nullptr;
    }
    return key;
}

int setKeyFrom(kycl_ctx* handle, const void* data, int len, const char* input, bool priv,
               const char* passPhrase) {
    RsaCtx* ctx = rsaOf(handle);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    // As with the block ciphers, a failed key change leaves no key rather than the old one.
    ctx->setKey(nullptr, false);
    if (data == nullptr || len <= 0) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null or empty RSA key.");
    }
    size_t size = static_cast<size_t>(len);
    if (std::strcmp(input, "PEM") == 0) {
        // PEM text may arrive with its C string terminator counted in the length.
        const auto* text = static_cast<const char*>(data);
        while (size > 0 && text[size - 1] == '\0') {
            --size;
        }
    }
    EVP_PKEY* key = decodeKey(ctx, data, size, input, priv, passPhrase);
    if (key == nullptr) {
        return ctx->lastErrno;
    }
    ctx->setKey(key, priv);
    return succeed(ctx);
}

// Encodes the context's key; output is "DER" or "PEM".
int getKey(kycl_ctx* handle, void* out, int* len, const char* output, bool priv) {
    RsaCtx* ctx = rsaOf(handle);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    if (len == nullptr || *len < 0 || (out == nullptr && *len > 0)) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null or negative output buffer size.");
    }
    if (ctx->key == nullptr || (priv && !ctx->hasPrivate)) {
        return fail(ctx, KYCL_ERR_STATE,
                    priv ? "No RSA private key has been set." : "No RSA key has been set.");
    }
    int selection = priv ? OSSL_KEYMGMT_SELECT_KEYPAIR : OSSL_KEYMGMT_SELECT_PUBLIC_KEY;
    const char* structure = priv ? "type-specific" : "SubjectPublicKeyInfo";
    OSSL_ENCODER_CTX* ectx =
        OSSL_ENCODER_CTX_new_for_pkey(ctx->key, selection, output, structure, nullptr);
    if (ectx == nullptr || OSSL_ENCODER_CTX_get_num_encoders(ectx) == 0) {
        OSSL_ENCODER_CTX_free(ectx);
        return failOpenSsl(ctx, KYCL_ERR_CRYPTO, "No RSA key encoder");
    }
    unsigned char* data = nullptr;
    size_t size = 0;
    bool ok = OSSL_ENCODER_to_data(ectx, &data, &size) == 1;
    OSSL_ENCODER_CTX_free(ectx);
    if (!ok) {
        return failOpenSsl(ctx, KYCL_ERR_CRYPTO, "Cannot encode the RSA key");
    }
    int rc;
    if (size > static_cast<size_t>(*len)) {
        *len = static_cast<int>(size);
        rc = fail(ctx, KYCL_ERR_BUFFER,
                  "The key needs a buffer of " + std::to_string(size) + " bytes.");
    } else {
        std::memcpy(out, data, size);
        *len = static_cast<int>(size);
        rc = succeed(ctx);
    }
    OPENSSL_clear_free(data, size);
    return rc;
}

EVP_PKEY_CTX* operationCtx(RsaCtx* ctx) {
    return EVP_PKEY_CTX_new_from_pkey(fetchedBackends().libCtx, ctx->key, nullptr);
}

// Shared checks of encrypt and decrypt; returns the context, or null with *rc set.
RsaCtx* checkedCrypt(kycl_ctx* handle, const void* in, int len, void* out, int* outLen,
                     bool needPrivate, int* rc) {
    RsaCtx* ctx = rsaOf(handle);
    if (ctx == nullptr) {
        *rc = KYCL_ERR_ARGUMENT;
        return nullptr;
    }
    if (in == nullptr || len <= 0 || outLen == nullptr || *outLen < 0 ||
        (out == nullptr && *outLen > 0)) {
        *rc = fail(ctx, KYCL_ERR_ARGUMENT, "Null or empty input, or a bad output buffer.");
        return nullptr;
    }
    if (ctx->key == nullptr || (needPrivate && !ctx->hasPrivate)) {
        *rc = fail(ctx, KYCL_ERR_STATE,
                   needPrivate ? "No RSA private key has been set." : "No RSA key has been set.");
        return nullptr;
    }
    return ctx;
}

}  // namespace

extern "C" {

KYCL_API kycl_ctx* kycl_rsa_init(int* status, char* errorText, int errorTextSize) {
    if (beginContext(status, errorText, errorTextSize, "RSA") == nullptr) {
        return nullptr;
    }
    auto* ctx = new (std::nothrow) RsaCtx;
    if (ctx == nullptr) {
        return contextFailed(status, errorText, errorTextSize, KYCL_ERR_MEMORY,
                             "Cannot create RSA context: out of memory.");
    }
    return contextCreated(status, ctx);
}

KYCL_API void kycl_rsa_destroy(kycl_ctx* ctx) {
    if (ctx != nullptr && ctx->kind == kycl_ctx::Kind::Rsa) {
        delete static_cast<RsaCtx*>(ctx);
    }
}

KYCL_API int kycl_rsa_set_pri_key(kycl_ctx* ctx, const void* key, int keyLen) {
    return setKeyFrom(ctx, key, keyLen, "PEM", true, nullptr);
}

KYCL_API int kycl_rsa_set_pri_key_pem(kycl_ctx* ctx, const char* pem, const char* passPhrase) {
    int len = pem != nullptr ? static_cast<int>(std::strlen(pem)) : 0;
    return setKeyFrom(ctx, pem, len, "PEM", true, passPhrase);
}

KYCL_API int kycl_rsa_set_pri_key_der(kycl_ctx* ctx, const void* key, int keyLen) {
    return setKeyFrom(ctx, key, keyLen, "DER", true, nullptr);
}

KYCL_API int kycl_rsa_set_pub_key(kycl_ctx* ctx, const void* key, int keyLen) {
    return setKeyFrom(ctx, key, keyLen, "PEM", false, nullptr);
}

KYCL_API int kycl_rsa_set_pub_key_pem(kycl_ctx* ctx, const char* pem) {
    int len = pem != nullptr ? static_cast<int>(std::strlen(pem)) : 0;
    return setKeyFrom(ctx, pem, len, "PEM", false, nullptr);
}

KYCL_API int kycl_rsa_set_pub_key_der(kycl_ctx* ctx, const void* key, int keyLen) {
    return setKeyFrom(ctx, key, keyLen, "DER", false, nullptr);
}

KYCL_API int kycl_rsa_gen_key_pair(kycl_ctx* handle, int bits) {
    RsaCtx* ctx = rsaOf(handle);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    ctx->setKey(nullptr, false);
    if (bits < kMinKeyBits || bits > kMaxKeyBits) {
        return fail(ctx, KYCL_ERR_ARGUMENT,
                    "RSA key size " + std::to_string(bits) + " bits is outside " +
                        std::to_string(kMinKeyBits) + ".." + std::to_string(kMaxKeyBits) + ".");
    }
    EVP_PKEY_CTX* gen = EVP_PKEY_CTX_new_from_name(fetchedBackends().libCtx, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    unsigned int e = 65537;
    size_t nbits = static_cast<size_t>(bits);
    OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t(OSSL_PKEY_PARAM_RSA_BITS, &nbits),
                           OSSL_PARAM_construct_uint(OSSL_PKEY_PARAM_RSA_E, &e),
                           OSSL_PARAM_construct_end()};
    bool ok = gen != nullptr && EVP_PKEY_keygen_init(gen) == 1 &&
              EVP_PKEY_CTX_set_params(gen, params) == 1 && EVP_PKEY_generate(gen, &key) == 1;
    EVP_PKEY_CTX_free(gen);
    if (!ok) {
        EVP_PKEY_free(key);
        return failOpenSsl(ctx, KYCL_ERR_CRYPTO, "RSA key generation failed");
    }
    ctx->setKey(key, true);
    return succeed(ctx);
}

KYCL_API int kycl_rsa_get_pri_key(kycl_ctx* ctx, void* out, int* len) {
    return getKey(ctx, out, len, "PEM", true);
}

KYCL_API int kycl_rsa_get_pri_key_der(kycl_ctx* ctx, void* out, int* len) {
    return getKey(ctx, out, len, "DER", true);
}

KYCL_API int kycl_rsa_get_pub_key(kycl_ctx* ctx, void* out, int* len) {
    return getKey(ctx, out, len, "PEM", false);
}

KYCL_API int kycl_rsa_get_pub_key_der(kycl_ctx* ctx, void* out, int* len) {
    return getKey(ctx, out, len, "DER", false);
}

KYCL_API int kycl_rsa_get_mod_size(kycl_ctx* handle, int* size) {
    RsaCtx* ctx = rsaOf(handle);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    if (size == nullptr) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null size pointer.");
    }
    if (ctx->key == nullptr) {
        return fail(ctx, KYCL_ERR_STATE, "No RSA key has been set.");
    }
    *size = EVP_PKEY_get_size(ctx->key);
    return succeed(ctx);
}

KYCL_API int kycl_rsa_enable_padding(kycl_ctx* handle, int enable) {
    RsaCtx* ctx = rsaOf(handle);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    ctx->padding = enable != 0;
    return succeed(ctx);
}

KYCL_API int kycl_rsa_encrypt(kycl_ctx* handle, const void* in, int len, void* out, int* outLen) {
    int rc = KYCL_ERR_NONE;
    RsaCtx* ctx = checkedCrypt(handle, in, len, out, outLen, false, &rc);
    if (ctx == nullptr) {
        return rc;
    }
    const int m = EVP_PKEY_get_size(ctx->key);
    const int room = ctx->padding ? m - kPkcs1Overhead : m;
    if (len > room) {
        return fail(ctx, KYCL_ERR_ARGUMENT,
                    "RSA input of " + std::to_string(len) + " bytes is over the " +
                        std::to_string(room) + " one block takes.");
    }
    if (*outLen < m) {
        *outLen = m;
        return fail(ctx, KYCL_ERR_BUFFER,
                    "The RSA output needs a buffer of " + std::to_string(m) + " bytes.");
    }
    // Without padding the input is a big-endian number; a short one gets leading zeros.
    std::vector<unsigned char> block;
    const auto* src = static_cast<const unsigned char*>(in);
    size_t srcLen = static_cast<size_t>(len);
    if (!ctx->padding && len < m) {
        block.assign(static_cast<size_t>(m), 0);
        std::memcpy(block.data() + (m - len), in, srcLen);
        src = block.data();
        srcLen = block.size();
    }
    EVP_PKEY_CTX* op = operationCtx(ctx);
    size_t written = static_cast<size_t>(*outLen);
    bool ok =
        op != nullptr && EVP_PKEY_encrypt_init(op) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(op, ctx->padding ? RSA_PKCS1_PADDING : RSA_NO_PADDING) == 1 &&
        EVP_PKEY_encrypt(op, static_cast<unsigned char*>(out), &written, src, srcLen) == 1;
    EVP_PKEY_CTX_free(op);
    wipe(block.data(), block.size());
    if (!ok) {
        return failOpenSsl(ctx, KYCL_ERR_CRYPTO, "RSA encryption failed");
    }
    *outLen = static_cast<int>(written);
    return succeed(ctx);
}

KYCL_API int kycl_rsa_decrypt(kycl_ctx* handle, const void* in, int len, void* out, int* outLen) {
    int rc = KYCL_ERR_NONE;
    RsaCtx* ctx = checkedCrypt(handle, in, len, out, outLen, true, &rc);
    if (ctx == nullptr) {
        return rc;
    }
    const int m = EVP_PKEY_get_size(ctx->key);
    if (len != m) {
        return fail(ctx, KYCL_ERR_ARGUMENT,
                    "RSA ciphertext of " + std::to_string(len) + " bytes; one block is " +
                        std::to_string(m) + ".");
    }
    // Decrypt into our own block first: only then is the plaintext's size known, and a
    // caller's short buffer must never be written past.
    std::vector<unsigned char> plain(static_cast<size_t>(m));
    size_t written = plain.size();
    EVP_PKEY_CTX* op = operationCtx(ctx);
    bool ok =
        op != nullptr && EVP_PKEY_decrypt_init(op) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(op, ctx->padding ? RSA_PKCS1_PADDING : RSA_NO_PADDING) == 1 &&
        EVP_PKEY_decrypt(op, plain.data(), &written, static_cast<const unsigned char*>(in),
                         static_cast<size_t>(len)) == 1;
    EVP_PKEY_CTX_free(op);
    if (!ok) {
        wipe(plain.data(), plain.size());
        return failOpenSsl(ctx, KYCL_ERR_CRYPTO, "RSA decryption failed");
    }
    if (written > static_cast<size_t>(*outLen)) {
        wipe(plain.data(), plain.size());
        *outLen = static_cast<int>(written);
        return fail(ctx, KYCL_ERR_BUFFER,
                    "The RSA plaintext needs a buffer of " + std::to_string(written) + " bytes.");
    }
    if (written > 0) {
        std::memcpy(out, plain.data(), written);
    }
    wipe(plain.data(), plain.size());
    *outLen = static_cast<int>(written);
    return succeed(ctx);
}

KYCL_API int kycl_rsa_sign(kycl_ctx* handle, const void* data, int len, void* sig, int sigLen) {
    RsaCtx* ctx = rsaOf(handle);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    if (len < 0 || (data == nullptr && len > 0) || sig == nullptr) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null data or signature buffer.");
    }
    if (ctx->key == nullptr || !ctx->hasPrivate) {
        return fail(ctx, KYCL_ERR_STATE, "No RSA private key has been set.");
    }
    const int m = EVP_PKEY_get_size(ctx->key);
    if (sigLen < m) {
        return fail(ctx, KYCL_ERR_BUFFER,
                    "The signature needs a buffer of " + std::to_string(m) + " bytes.");
    }
    static const unsigned char kNoData[1] = {0};
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    size_t written = static_cast<size_t>(sigLen);
    EVP_PKEY_CTX* pctx = nullptr;
    bool ok = md != nullptr &&
              EVP_DigestSignInit_ex(md, &pctx, "SHA256", fetchedBackends().libCtx, nullptr,
                                    ctx->key, nullptr) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_DigestSign(md, static_cast<unsigned char*>(sig), &written,
                             len > 0 ? static_cast<const unsigned char*>(data) : kNoData,
                             static_cast<size_t>(len)) == 1;
    EVP_MD_CTX_free(md);
    if (!ok) {
        return failOpenSsl(ctx, KYCL_ERR_CRYPTO, "RSA signing failed");
    }
    return succeed(ctx);
}

KYCL_API int kycl_rsa_verify(kycl_ctx* handle, const void* data, int len, const void* sig,
                             int sigLen) {
    RsaCtx* ctx = rsaOf(handle);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    if (len < 0 || (data == nullptr && len > 0) || sig == nullptr || sigLen <= 0) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null data or signature.");
    }
    if (ctx->key == nullptr) {
        return fail(ctx, KYCL_ERR_STATE, "No RSA key has been set.");
    }
    static const unsigned char kNoData[1] = {0};
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    bool ready = md != nullptr &&
                 EVP_DigestVerifyInit_ex(md, &pctx, "SHA256", fetchedBackends().libCtx, nullptr,
                                         ctx->key, nullptr) == 1 &&
                 EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1;
    int verdict =
        ready ? EVP_DigestVerify(md, static_cast<const unsigned char*>(sig),
                                 static_cast<size_t>(sigLen),
                                 len > 0 ? static_cast<const unsigned char*>(data) : kNoData,
                                 static_cast<size_t>(len))
              : -1;
    EVP_MD_CTX_free(md);
    if (verdict != 1) {
        return failOpenSsl(ctx, KYCL_ERR_CRYPTO, "RSA signature does not verify");
    }
    return succeed(ctx);
}

}  // extern "C"
