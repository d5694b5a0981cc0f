#pragma once

// KycBlockCipher: the modes the library builds over a cipher's single-block operations
// (ECB with zero padding, CBC with ciphertext stealing, OFB as a stream). The seven
// concrete ciphers derive from it (KycCipher.h).
//
// Every mode works in place (in == out); input and output that overlap otherwise are
// refused with a KyException, as is a negative length. A null input or a length of 0
// does nothing and returns 0. Scratch blocks holding plaintext or keystream are wiped.
// A cipher object is used by one thread at a time.

#include "kylib/crypto/KycBucket.h"

class KycBlockCipher {
public:
    struct OFBCtx {
        KycBucket state;    // the current keystream block
        int remaining = 0;  // unused keystream bytes at the end of `state`
    };

    virtual ~KycBlockCipher();
    virtual void setKey(const void* key, int length) = 0;
    virtual void setKey(const KycBucket& key);
    virtual void encBlock(const void* in, void* out) = 0;
    virtual void decBlock(const void* in, void* out) = 0;

    KycBlockCipher(const KycBlockCipher&) = delete;
    KycBlockCipher& operator=(const KycBlockCipher&) = delete;

    int getCipherType() const { return cipherType; }
    void overrideCipherType(int type) { cipherType = type; }
    int getBlockSize() const { return blockSize; }
    bool isKeySet() const { return keySet; }

    // The IV, truncated or zero-extended to the block size; resets the OFB state.
    void setIV(const void* iv, int length);
    void setIV(const KycBucket& iv);
    const KycBucket& getIV() const { return iv; }

    // ECB: encryption zero-pads a partial last block and returns len rounded up to the
    // block size (out must hold that); decryption takes whole blocks and returns len.
    int encECB(const void* in, void* out, int len);
    int decECB(const void* in, void* out, int len);
    KycBucket encECB(const KycBucket& in);
    KycBucket decECB(const KycBucket& in);

    // CBC with ciphertext stealing for a partial last block; input shorter than one
    // block encrypts to one whole block. Whole-block calls continue one chain.
    int encCBC(const void* in, void* out, int len);
    int decCBC(const void* in, void* out, int len);
    KycBucket encCBC(const KycBucket& in);
    KycBucket decCBC(const KycBucket& in);

    // OFB in place; encryption and decryption are the same call.
    void encOFB(void* data, int len);
    void encOFB(void* data, int len, OFBCtx* ctx);

protected:
    KycBlockCipher();

    // n must be 1..256 and a power of two.
    void setBlockSize(int n);
    void markKeySet() { keySet = true; }

    // Runs of whole blocks. The defaults go block by block through encBlock/decBlock;
    // a cipher whose module does whole runs in one call overrides them. The CBC forms
    // chain from `chain` (blockSize bytes) and leave the last ciphertext block in it.
    // `len` is a positive multiple of the block size; in == out must work.
    virtual void encBlocks(const unsigned char* in, unsigned char* out, int len);
    virtual void decBlocks(const unsigned char* in, unsigned char* out, int len);
    virtual void encCBCBlocks(const unsigned char* in, unsigned char* out, int len,
                              unsigned char* chain);
    virtual void decCBCBlocks(const unsigned char* in, unsigned char* out, int len,
                              unsigned char* chain);

private:
    int blockSize = 0;
    int blockShift = 0;

protected:
    int cipherType = 0;

private:
    bool keySet = false;
    KycBucket iv;
    OFBCtx ofb;
};
