/* The crypto module's C interface: every entry point the library resolves from
 * libkycl.so at run time, in the order it resolves them.
 *
 * Conventions. A context-creating entry (kycl_X_init) takes a status pointer (may be
 * null), an error text buffer and its size, and returns an opaque context, or null with
 * the reason in the buffer. Every operation on a context returns 0 on success; on
 * failure kycl_get_last_error(ctx) gives the reason and kycl_get_last_errno(ctx) a
 * number (KYCL_ERR_*). A context is used by one thread at a time; different contexts may
 * be used on different threads at once. Texts returned by the module stay valid until
 * the next call on the same context (kycl_get_status's and kycl_get_version's for the
 * life of the module). The module owns nothing of the caller's: it copies keys in and
 * wipes its own copies when a context is destroyed or re-keyed.
 *
 * This header is C, with no dependency on anything of the library, so that the module
 * and the library agree on it alone.
 */
#ifndef KYCL_KYCL_H
#define KYCL_KYCL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KYCL_API __attribute__((visibility("default")))
#else
#define KYCL_API
#endif

typedef struct kycl_ctx kycl_ctx;

/* kycl_get_status() */
typedef enum KYCL_STATE {
    KYCL_STATE_LOADED = 0,
    KYCL_STATE_FIPS = 1,
    KYCL_STATE_POST_RUNNING = 2,
    KYCL_STATE_ERROR = 3
} KYCL_STATE;

/* kycl_get_last_errno() */
enum {
    KYCL_ERR_NONE = 0,
    KYCL_ERR_ARGUMENT = 1,    /* a null pointer, a bad length */
    KYCL_ERR_KEY = 2,         /* a key of a length or kind the algorithm does not take */
    KYCL_ERR_STATE = 3,       /* no key set yet, an operation out of order */
    KYCL_ERR_BUFFER = 4,      /* the output buffer is too small; its size was written back */
    KYCL_ERR_CRYPTO = 5,      /* the algorithm failed (bad padding, verification, ...) */
    KYCL_ERR_MEMORY = 6,
    KYCL_ERR_UNSUPPORTED = 7
};

/* ---- Module ------------------------------------------------------------------------- */
KYCL_API int kycl_init(const char* modulePath, char* errorText, int errorTextSize);
KYCL_API void kycl_destroy(void);
KYCL_API const char* kycl_get_last_error(kycl_ctx* ctx);
KYCL_API int kycl_get_last_errno(kycl_ctx* ctx);
KYCL_API KYCL_STATE kycl_get_status(void);
/* A text describing the module and its backends; major and minor version out. */
KYCL_API const char* kycl_get_version(int* major, int* minor);
KYCL_API void kycl_free_mem(void* memory);
KYCL_API void kycl_cleanup_thread_ctx(void);

/* ---- Block ciphers: X = blowfish, twofish, serpent, aes, des, 3des, gost ------------ */
/* ecb_* transform one block; cbc_* transform len bytes (a multiple of the block size)
 * and leave the last ciphertext block in iv. */
#define KYCL_DECLARE_CIPHER(X)                                                               \
    KYCL_API kycl_ctx* kycl_##X##_init(int* status, char* errorText, int errorTextSize);    \
    KYCL_API void kycl_##X##_destroy(kycl_ctx* ctx);                                        \
    KYCL_API int kycl_##X##_set_key(kycl_ctx* ctx, const void* key, int keyLen);            \
    KYCL_API int kycl_##X##_ecb_encrypt(kycl_ctx* ctx, const void* in, void* out);          \
    KYCL_API int kycl_##X##_ecb_decrypt(kycl_ctx* ctx, const void* in, void* out);          \
    KYCL_API int kycl_##X##_cbc_encrypt(kycl_ctx* ctx, const void* in, int len, void* out, \
                                        void* iv);                                         \
    KYCL_API int kycl_##X##_cbc_decrypt(kycl_ctx* ctx, const void* in, int len, void* out, \
                                        void* iv);

/* Optional: ECB over len bytes (a multiple of the block size) in one call, the same bytes
 * as block by block. The library falls back to one block per call when they are absent. */
#define KYCL_DECLARE_CIPHER_BLOCKS(X)                                                           \
    KYCL_API int kycl_##X##_ecb_encrypt_blocks(kycl_ctx* ctx, const void* in, int len, void* out); \
    KYCL_API int kycl_##X##_ecb_decrypt_blocks(kycl_ctx* ctx, const void* in, int len, void* out);

KYCL_DECLARE_CIPHER(blowfish)
KYCL_DECLARE_CIPHER(twofish)
KYCL_DECLARE_CIPHER(serpent)
KYCL_DECLARE_CIPHER(aes)
KYCL_DECLARE_CIPHER(des)
/* Non-zero for the DES weak and semi-weak keys (parity bits ignored). */
KYCL_API int kycl_des_is_key_weak(kycl_ctx* ctx, const void* key, int keyLen);
KYCL_DECLARE_CIPHER(3des)
KYCL_DECLARE_CIPHER(gost)

KYCL_DECLARE_CIPHER_BLOCKS(blowfish)
KYCL_DECLARE_CIPHER_BLOCKS(twofish)
KYCL_DECLARE_CIPHER_BLOCKS(serpent)
KYCL_DECLARE_CIPHER_BLOCKS(aes)
KYCL_DECLARE_CIPHER_BLOCKS(des)
KYCL_DECLARE_CIPHER_BLOCKS(3des)
KYCL_DECLARE_CIPHER_BLOCKS(gost)

/* ---- Hashes: H = md5, sha1, sha256, sha512 --------------------------------------------- */
/* final/hmac_final write the whole digest to out; the context is then ready again for a
 * new message (the same key for HMAC). */
#define KYCL_DECLARE_HASH(H)                                                            \
    KYCL_API kycl_ctx* kycl_##H##_init(int* status, char* errorText, int errorTextSize); \
    KYCL_API void kycl_##H##_destroy(kycl_ctx* ctx);                                     \
    KYCL_API int kycl_##H##_update(kycl_ctx* ctx, const void* data, int len);            \
    KYCL_API int kycl_##H##_final(kycl_ctx* ctx, void* out);                             \
    KYCL_API int kycl_##H##_reset(kycl_ctx* ctx);                                        \
    KYCL_API int kycl_##H##_hmac_init(kycl_ctx* ctx, const void* key, int keyLen);       \
    KYCL_API int kycl_##H##_hmac_update(kycl_ctx* ctx, const void* data, int len);       \
    KYCL_API int kycl_##H##_hmac_final(kycl_ctx* ctx, void* out);

KYCL_DECLARE_HASH(md5)
KYCL_DECLARE_HASH(sha1)
KYCL_DECLARE_HASH(sha256)
KYCL_DECLARE_HASH(sha512)

/* ---- RSA ----------------------------------------------------------------------------- */
/* Keys travel as DER (PKCS#1 RSAPrivateKey / SubjectPublicKeyInfo) in the _der entries,
 * and in the module's own encoding (PEM text without a pass phrase) in the plain ones.
 * get_* take the buffer size in *len and write the key size back; a buffer too small
 * fails with KYCL_ERR_BUFFER and *len set to the size needed. */
KYCL_API kycl_ctx* kycl_rsa_init(int* status, char* errorText, int errorTextSize);
KYCL_API void kycl_rsa_destroy(kycl_ctx* ctx);
KYCL_API int kycl_rsa_set_pri_key(kycl_ctx* ctx, const void* key, int keyLen);
KYCL_API int kycl_rsa_set_pri_key_pem(kycl_ctx* ctx, const char* pem, const char* passPhrase);
KYCL_API int kycl_rsa_set_pri_key_der(kycl_ctx* ctx, const void* key, int keyLen);
KYCL_API int kycl_rsa_set_pub_key(kycl_ctx* ctx, const void* key, int keyLen);
KYCL_API int kycl_rsa_set_pub_key_pem(kycl_ctx* ctx, const char* pem);
KYCL_API int kycl_rsa_set_pub_key_der(kycl_ctx* ctx, const void* key, int keyLen);
KYCL_API int kycl_rsa_gen_key_pair(kycl_ctx* ctx, int bits);
KYCL_API int kycl_rsa_get_pri_key(kycl_ctx* ctx, void* out, int* len);
KYCL_API int kycl_rsa_get_pri_key_der(kycl_ctx* ctx, void* out, int* len);
KYCL_API int kycl_rsa_get_pub_key(kycl_ctx* ctx, void* out, int* len);
KYCL_API int kycl_rsa_get_pub_key_der(kycl_ctx* ctx, void* out, int* len);
/* The modulus size in bytes, in *size. */
KYCL_API int kycl_rsa_get_mod_size(kycl_ctx* ctx, int* size);
/* Non-zero: PKCS #1 v1.5 padding (the default); zero: none (raw RSA, whole blocks). */
KYCL_API int kycl_rsa_enable_padding(kycl_ctx* ctx, int enable);
/* One block: in of at most modulus-11 bytes (modulus without padding); *outLen in:
 * room, out: bytes written. Encrypt uses the public key, decrypt the private one. */
KYCL_API int kycl_rsa_encrypt(kycl_ctx* ctx, const void* in, int len, void* out, int* outLen);
KYCL_API int kycl_rsa_decrypt(kycl_ctx* ctx, const void* in, int len, void* out, int* outLen);
/* SHA-256 with PKCS #1 v1.5 signature padding; sigLen must be at least the modulus size
 * for sign. verify returns 0 for a good signature. */
KYCL_API int kycl_rsa_sign(kycl_ctx* ctx, const void* data, int len, void* sig, int sigLen);
KYCL_API int kycl_rsa_verify(kycl_ctx* ctx, const void* data, int len, const void* sig,
                             int sigLen);

/* ---- Generators ------------------------------------------------------------------------ */
/* The Twister is MT19937 seeded as the reference init_by_array does (seed bytes taken as
 * little-endian 32-bit words, a trailing partial word zero-padded; an empty seed is
 * refused); get writes successive 32-bit outputs in memory order, each little-endian, a
 * trailing partial word taking the low bytes of the next output. Unseeded, it runs from
 * the reference's default seed 5489. */
KYCL_API kycl_ctx* kycl_twister_init(int* status, char* errorText, int errorTextSize);
KYCL_API void kycl_twister_destroy(kycl_ctx* ctx);
KYCL_API int kycl_twister_seed(kycl_ctx* ctx, const void* data, int len);
KYCL_API int kycl_twister_get(kycl_ctx* ctx, void* out, int len);

/* The FIPS generator (a CTR-DRBG over AES-256). reseed adds the caller's bytes as
 * additional input to a reseed from the system's entropy: it never makes the output
 * predictable. */
KYCL_API kycl_ctx* kycl_frand_init(int* status, char* errorText, int errorTextSize);
KYCL_API void kycl_frand_destroy(kycl_ctx* ctx);
KYCL_API int kycl_frand_reseed(kycl_ctx* ctx, const void* data, int len);
KYCL_API int kycl_frand_get(kycl_ctx* ctx, void* out, int len);

/* ---- Scrambler (resolved, not called by the library) ------------------------------- */
KYCL_API int kycl_scramble(const void* in, int inLen, void* out, int* outLen, int flag,
                           kycl_ctx* ctx);
KYCL_API int kycl_descramble(const void* in, int inLen, void* out, int* outLen, int flag,
                             kycl_ctx* ctx);

/* ---- Optional: non-zero when the algorithm is FIPS-approved --------------------------- */
KYCL_API int kycl_3des_is_fips_approved(void);
KYCL_API int kycl_aes_is_fips_approved(void);
KYCL_API int kycl_blowfish_is_fips_approved(void);
KYCL_API int kycl_des_is_fips_approved(void);
KYCL_API int kycl_gost_is_fips_approved(void);
KYCL_API int kycl_rsa_sign_is_fips_approved(void);
KYCL_API int kycl_rsa_encdec_is_fips_approved(void);
KYCL_API int kycl_serpent_is_fips_approved(void);
KYCL_API int kycl_twofish_is_fips_approved(void);
KYCL_API int kycl_sha1_is_fips_approved(void);
KYCL_API int kycl_sha256_is_fips_approved(void);
KYCL_API int kycl_sha512_is_fips_approved(void);
KYCL_API int kycl_md5_is_fips_approved(void);

#undef KYCL_DECLARE_CIPHER
#undef KYCL_DECLARE_CIPHER_BLOCKS
#undef KYCL_DECLARE_HASH

#ifdef __cplusplus
}
#endif

#endif /* KYCL_KYCL_H */
