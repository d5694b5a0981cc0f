#pragma once

// KycRSA: an RSA key (pair) held by the crypto module, with block-wise encryption,
// decryption and SHA-256 signatures. Keys travel as KycBuckets, DER or the module's own
// encoding as the caller chooses; this class never looks inside them.
//
// Encryption cuts its input into pieces of one block's payload (modulus - 11 bytes with
// PKCS #1 v1.5 padding, the modulus without) and concatenates the blocks; decryption
// takes whole modulus-sized blocks. Failures throw KyException with the module's reason
// appended. An object owns its module context and is used by one thread at a time.

#include "kylib/crypto/KycBucket.h"

struct kycl_ctx;

class KycRSA {
public:
    KycRSA();
    ~KycRSA();
    KycRSA(const KycRSA&) = delete;
    KycRSA& operator=(const KycRSA&) = delete;

    void enablePadding(bool enable);
    bool isPaddingEnabled() const { return padding; }
    // Modulus size in bytes; needs a key.
    int getModSize() const;

    void genKeyPair(int bits);
    // A fresh key pair, returned as public and private key buckets.
    static void genKeyPair(int bits, KycBucket& pub, KycBucket& pri, bool der);

    KycBucket getPriKey(bool der) const;
    KycBucket getPubKey(bool der) const;
    void setPriKey(const void* key, int len, bool der);
    void setPriKey(const KycBucket& key, bool der);
    void setPubKey(const void* key, int len, bool der);
    void setPubKey(const KycBucket& key, bool der);
    void setPriKeyPEM(const char* pem, const char* passPhrase);
    void setPubKeyPEM(const char* pem);

    // Ciphertext size for len plaintext bytes (whole blocks).
    int getEncBufSize(int len) const;
    // out must hold getEncBufSize(len) bytes; returns the bytes written.
    int encrypt(const void* in, void* out, int len);
    KycBucket encrypt(const KycBucket& in);
    // len must be a multiple of the modulus; out must hold len bytes. Returns the bytes
    // written.
    int decrypt(const void* in, void* out, int len);
    KycBucket decrypt(const KycBucket& in);

    // sig must hold the modulus size; returns the signature's length.
    int sign(const void* data, int len, void* sig, int sigLen);
    KycBucket sign(const void* data, int len);
    KycBucket sign(const KycBucket& data);
    bool verify(const void* data, int len, const void* sig, int sigLen);
    bool verify(const KycBucket& data, const KycBucket& sig);

private:
    // The module's reason for the last failure on this context (never null).
    const char* moduleError() const;

    bool padding = true;
    kycl_ctx* handle = nullptr;
};
