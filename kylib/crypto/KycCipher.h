#pragma once

// The seven block ciphers: each a thin class over one algorithm context of the crypto
// module, which it owns and destroys. The modes (ECB, CBC with ciphertext stealing, OFB)
// come from KycBlockCipher; whole runs of blocks go to the module in one call.
//
// Constructing a cipher loads the module on first use (Kycl::init) and throws
// KyException when the module cannot give a context. The key lengths accepted are the
// module's: a refused key throws with the module's reason. A cipher object is used by one
// thread at a time; distinct objects are independent. Ciphers are not copied.

#include "kycl/kycl.h"
#include "kylib/crypto/KycBlockCipher.h"
#include "kylib/crypto/KycBucket.h"

namespace kyc_detail {
struct CipherEntries;
}  // namespace kyc_detail

// What the seven classes share: the module context and the entry points of one algorithm.
// Not used on its own; its constructor is protected.
class KycModuleCipher : public KycBlockCipher {
public:
    ~KycModuleCipher() override;

    void setKey(const void* key, int length) override;
    using KycBlockCipher::setKey;
    void encBlock(const void* in, void* out) override;
    void decBlock(const void* in, void* out) override;

protected:
    KycModuleCipher(const kyc_detail::CipherEntries& entries, int cipherType);

    void encBlocks(const unsigned char* in, unsigned char* out, int len) override;
    void decBlocks(const unsigned char* in, unsigned char* out, int len) override;
    void encCBCBlocks(const unsigned char* in, unsigned char* out, int len,
                      unsigned char* chain) override;
    void decCBCBlocks(const unsigned char* in, unsigned char* out, int len,
                      unsigned char* chain) override;

    kycl_ctx* getHandle() const { return handle; }
    // The module's reason for the last failure on this context (never null).
    const char* moduleError() const;

    const kyc_detail::CipherEntries& entries;

private:
    kycl_ctx* handle = nullptr;
};

class KycBlowfish : public KycModuleCipher {
public:
    KycBlowfish();

    // CBC over the whole buffer as the module does it, without ciphertext stealing: a
    // partial last block is zero-padded, so encryption returns len rounded up to 8 (out
    // must hold that) and decryption takes whole blocks. The object's IV is the chain and
    // is advanced to the last ciphertext block.
    int encCBC61(const void* in, void* out, int len);
    int decCBC61(const void* in, void* out, int len);
    KycBucket encCBC61(const KycBucket& in);
    KycBucket decCBC61(const KycBucket& in);
};

class KycAES : public KycModuleCipher {
public:
    KycAES();
};

class KycSerpent : public KycModuleCipher {
public:
    KycSerpent();

protected:
    void encBlock(const void* in, void* out) override;
    void decBlock(const void* in, void* out) override;
};

class KycTwofish : public KycModuleCipher {
public:
    KycTwofish();

protected:
    void encBlock(const void* in, void* out) override;
    void decBlock(const void* in, void* out) override;
};

class Kyc3DES : public KycModuleCipher {
public:
    Kyc3DES();
};

class KycDES : public KycModuleCipher {
public:
    KycDES();

    // True for the weak and semi-weak DES keys (parity bits ignored).
    bool isKeyWeak(const void* key, int length);
    bool isKeyWeak(const KycBucket& key);
};

class KycGOST : public KycModuleCipher {
public:
    KycGOST();
};
