#pragma once

// KycScrambler: hides data at rest under the key built into the library. It is not
// protection against anyone who holds the library; it keeps keys and pass phrases out of
// plain sight in files and registry values, and detects damage. It is method 0 of key
// wrapping and the record format of RSA key files and exported pass phrases.
//
// A message is written as
//   byte 0       method, 0
//   bytes 1..7   IV bytes 0..6 (IV byte 7 is IV0 ^ IV2 ^ IV4 ^ IV6 and is not stored)
//   8k bytes     the data, Blowfish-CBC under the built-in key, the last block zero-padded
//   8 bytes      trailer, Blowfish-ECB: CRC-32 register of the data (from 0xFFFFFFFF, not
//                inverted, most significant byte first), count of valid bytes in the
//                last data block (1..8), 3 random bytes
// so n bytes scrambled in one call take 16 + n rounded up to 8 bytes, at most n + 23.
//
// A message may be scrambled in several calls: every call but the last passes a multiple
// of 8 bytes, and only the first writes the header. The chain, the CRC and the pending
// header live in the object, so one object handles one message at a time; reset()
// abandons a message half written or half read. Descrambling takes the pieces of a
// message in any split that keeps whole 8-byte blocks per call and leaves the last data
// block in the same piece as the trailer (its valid-byte count is only known there);
// corrupt or truncated input throws, and the object is then ready for a new message.
//
// Copies are deep: a copy has its own cipher context with the same key and the same
// position in the message, so both continue it identically. A moved-from scrambler is
// ready for a new message. One thread at a time per object. Failures throw KyException.

#include <cstdint>
#include <memory>

#include "kylib/crypto/KycBucket.h"

class KycBlowfish;

class KycScrambler {
public:
    // Every output buffer must be this much longer than the input it receives.
    static constexpr int kOverhead = 24;

    KycScrambler();
    KycScrambler(const KycScrambler& other);
    KycScrambler(KycScrambler&& other) noexcept;
    KycScrambler& operator=(const KycScrambler& other);
    KycScrambler& operator=(KycScrambler&& other) noexcept;
    ~KycScrambler();

    // Scrambles one piece of a message; returns the bytes written to `out` (the header on
    // the first call, the encrypted data, the trailer when `last`). outLen must be at least
    // len + kOverhead. len 0 writes nothing, except that it ends a message already begun
    // when `last` is set.
    int scramble(const void* in, int len, void* out, int outLen, bool last);
    // One whole message in one call.
    KycBucket scramble(const KycBucket& data);

    // Descrambles one piece of a message; returns the data bytes written to `out`, whose
    // size must be at least len. On a corrupt message nothing of the data is left in `out`.
    int descramble(const void* in, int len, void* out, int outLen, bool last);
    // One whole message in one call.
    KycBucket descramble(const KycBucket& data);

    // Forgets any message in progress; the next call starts a new one.
    void reset();

private:
    KycBlowfish& blowfish();
    void finishMessage();

    bool headerPending = true;
    uint32_t crc = 0;
    KycBucket iv;
    std::unique_ptr<KycBlowfish> cipher;  // null only in a moved-from object
};
