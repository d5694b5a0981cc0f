#pragma once

// KycKeyWrap: key wrapping over any block cipher. The six-round wrap of RFC 3394, with
// the half-block h = block size / 2 as its unit (with AES, h = 8 and the initial value is
// RFC 3394's), and with padding so that keys of any length wrap: the key is followed by
// p bytes of value p (1 <= p <= h) up to a whole number of half-blocks. A wrapped key is
// one half-block longer than the padded key; unwrapping checks both the initial value
// (a wrong wrapping key) and the padding.
//
// The cipher belongs to the caller, must be keyed before use, and must outlive this
// object. An object is used by one thread at a time.

#include "kylib/crypto/KycBucket.h"

class KycBlockCipher;

class KycKeyWrap {
public:
    // Throws KyException for a null cipher.
    explicit KycKeyWrap(KycBlockCipher* cipher);
    KycKeyWrap(const KycKeyWrap&) = delete;
    KycKeyWrap& operator=(const KycKeyWrap&) = delete;

    KycBucket wrap(const KycBucket& key);
    // Throws KyException for a malformed input, a wrong wrapping key or bad padding.
    KycBucket unWrap(const KycBucket& wrapped);

    // The unpadded rounds alone, for data that is already whole half-blocks (at least
    // one; at least two to unwrap). These are RFC 3394's wrap and unwrap with AES.
    KycBucket wrapBlocks(const KycBucket& data);
    KycBucket unWrapBlocks(const KycBucket& wrapped);

private:
    int halfBlock(const char* tag) const;
    KycBucket wrapBlocks(const KycBucket& data, const char* tag);
    KycBucket unWrapBlocks(const KycBucket& wrapped, const char* tag);

    KycBlockCipher* cipher;
};
