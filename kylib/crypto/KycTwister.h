#pragma once

// KycTwister: the crypto module's Mersenne-Twister generator, for pseudo-random
// sequences that must be reproducible from a seed (test data, stable shuffles). It is
// not a source of secrets: use Kyc::getRand for keys, IVs and salts.
//
// The object owns one module context and releases it on destruction; it is not copied.
// One thread at a time. Every failure throws KyException with the module's reason.

#include "kycl/kycl.h"
#include "kylib/crypto/KycBucket.h"

class KycTwister {
public:
    // Loads the module on first use. Unseeded, the generator runs from its default seed.
    KycTwister();
    ~KycTwister();

    KycTwister(const KycTwister&) = delete;
    KycTwister& operator=(const KycTwister&) = delete;

    // Restarts the sequence from `data` (len > 0 bytes).
    void seed(const unsigned char* data, int len);
    // The next n bytes of the sequence (n >= 0).
    KycBucket get(int n);
    // The next 4 bytes of the sequence, taken in memory order as a native unsigned int.
    unsigned int getInt();

private:
    kycl_ctx* handle = nullptr;
    // The binding's generation when the context was made: a context of a module instance
    // destroyed since belongs to the module, not to us.
    unsigned long generation = 0;
};
