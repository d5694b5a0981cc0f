#include "kylib/crypto/KycScrambler.h"

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycBuiltinKeys.h"
#include "kylib/crypto/KycCipher.h"
#include "kylib/crypto/SecureString.h"
#include "kylib/diagnostics/KyException.h"

namespace {

constexpr int kBlock = 8;
constexpr int kHeaderSize = 8;
constexpr int kTrailerSize = 8;
constexpr int kRandomFillerSize = 3;
constexpr unsigned char kMethod = 0;
constexpr uint32_t kCrcStart = 0xFFFFFFFFu;

constexpr const char* kScrambleTag = "KycScrambler::scramble";
constexpr const char* kDescrambleTag = "KycScrambler::descramble";

std::unique_ptr<KycBlowfish> makeCipher() {
    auto cipher = std::make_unique<KycBlowfish>();
    cipher->setKey(ky::builtin::scrambleKey(), ky::builtin::scrambleKeySize());
    return cipher;
}

// Only the first 7 IV bytes are stored; the eighth is derived so that a reader rebuilds
// the same IV from the header alone.
void completeIV(unsigned char* iv) {
    iv[7] = static_cast<unsigned char>(iv[0] ^ iv[2] ^ iv[4] ^ iv[6]);
}

bool overlap(const void* a, int aLen, const void* b, int bLen) {
    const auto* pa = static_cast<const unsigned char*>(a);
    const auto* pb = static_cast<const unsigned char*>(b);
    std::less<const unsigned char*> before;
    return before(pa, pb + bLen) && before(pb, pa + aLen);
}

// Wipes a stack buffer however its scope is left.
class WipeOnExit {
public:
    WipeOnExit(void* data, std::size_t size) : data(data), size(size) {}
    ~WipeOnExit() { ky::secureWipe(data, size); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    void* data;
    std::size_t size;
};

}  // namespace

KycScrambler::KycScrambler() : cipher(makeCipher()) {}

KycScrambler::KycScrambler(const KycScrambler& other)
    : headerPending(other.headerPending), crc(other.crc), iv(other.iv), cipher(makeCipher()) {
    // The chain position is the cipher's IV: without it the copy would encrypt the next
    // block of the message differently from the original.
    if (other.cipher != nullptr && other.cipher->getIV().getSize() > 0)
        cipher->setIV(other.cipher->getIV());
}

KycScrambler::KycScrambler(KycScrambler&& other) noexcept
    : headerPending(other.headerPending),
      crc(other.crc),
      iv(other.iv),
      cipher(std::move(other.cipher)) {
    other.reset();
}

KycScrambler& KycScrambler::operator=(const KycScrambler& other) {
    if (this != &other) {
        KycScrambler copy(other);  // may throw: leave *this untouched until it has worked
        *this = std::move(copy);
    }
    return *this;
}

KycScrambler& KycScrambler::operator=(KycScrambler&& other) noexcept {
    if (this != &other) {
        headerPending = other.headerPending;
        crc = other.crc;
        iv = other.iv;
        cipher = std::move(other.cipher);
        other.reset();
    }
    return *this;
}

KycScrambler::~KycScrambler() = default;

void KycScrambler::reset() {
    headerPending = true;
    crc = 0;
    iv = KycBucket();
}

KycBlowfish& KycScrambler::blowfish() {
    if (cipher == nullptr)
        cipher = makeCipher();
    return *cipher;
}

int KycScrambler::scramble(const void* in, int len, void* out, int outLen, bool last) {
    // An empty last piece still has to close a message that earlier calls began, or the
    // reader would never see its trailer.
    const bool closesMessage = last && !headerPending;
    if (len == 0 && !closesMessage)
        return 0;
    if (len < 0)
        KY_THROW(kScrambleTag,
                 "Cannot scramble data: negative data length " + std::to_string(len) + ".");
    if (in == nullptr && len > 0)
        KY_THROW(kScrambleTag, "Cannot scramble data: NULL data passed as input.");
    if (len > INT_MAX - kOverhead)
        KY_THROW(kScrambleTag, "Cannot scramble data: data too long.");
    if (out == nullptr || outLen < len + kOverhead)
        KY_THROW(kScrambleTag,
                 "Cannot scramble data: Destination buffer should be at least 24 bytes longer "
                 "than the source one.");
    if (len > 0 && overlap(in, len, out, outLen))
        KY_THROW(kScrambleTag, "Cannot scramble data: input and output buffers overlap.");
    // The reader learns the valid bytes of the last block only; a short block in the
    // middle would shift everything after it.
    if (!last && len % kBlock != 0)
        KY_THROW(kScrambleTag,
                 "Cannot scramble data: every call but the last must pass a multiple of 8 "
                 "bytes; got " +
                     std::to_string(len) + ".");

    auto* dst = static_cast<unsigned char*>(out);
    KycBlowfish& bf = blowfish();
    try {
        int written = 0;
        if (headerPending) {
            unsigned char fresh[kBlock];
            WipeOnExit wipeFresh(fresh, sizeof fresh);
            Kyc::getRand(fresh, kBlock);
            completeIV(fresh);
            bf.setIV(fresh, kBlock);
            iv = KycBucket(fresh, kBlock);
            dst[0] = kMethod;
            std::memcpy(dst + 1, fresh, kHeaderSize - 1);
            crc = kCrcStart;
            headerPending = false;
            written = kHeaderSize;
        }
        if (len > 0) {
            written += bf.encCBC61(in, dst + written, len);
            Kyc::crc32(in, len, &crc);
        }
        if (last) {
            unsigned char trailer[kTrailerSize];
            WipeOnExit wipeTrailer(trailer, sizeof trailer);
            trailer[0] = static_cast<unsigned char>(crc >> 24);
            trailer[1] = static_cast<unsigned char>(crc >> 16);
            trailer[2] = static_cast<unsigned char>(crc >> 8);
            trailer[3] = static_cast<unsigned char>(crc);
            // ((len - 1) mod 8) + 1 on the whole length: reducing it mod 256 first gives
            // 0 for a multiple of 256 bytes, and the reader then drops the last block.
            // An empty closing piece leaves the previous, whole block as the last one.
            trailer[4] = static_cast<unsigned char>(len > 0 ? (len - 1) % kBlock + 1 : kBlock);
            Kyc::getRand(trailer + 5, kRandomFillerSize);
            bf.encECB(trailer, dst + written, kTrailerSize);
            written += kTrailerSize;
            reset();
        }
        return written;
    } catch (...) {
        // Half a message is of no use to anyone; the next call starts afresh.
        reset();
        throw;
    }
}

KycBucket KycScrambler::scramble(const KycBucket& data) {
    const int len = data.getSize();
    KycBucket out(len <= INT_MAX - kOverhead ? len + kOverhead : 0);
    out.resize(scramble(data.getData(), len, out.getData(), out.getSize(), true));
    return out;
}

int KycScrambler::descramble(const void* in, int len, void* out, int outLen, bool last) {
    if (len == 0)
        return 0;
    if (len < 0)
        KY_THROW(kDescrambleTag,
                 "Cannot descramble data: negative data length " + std::to_string(len) + ".");
    if (in == nullptr)
        KY_THROW(kDescrambleTag, "Cannot descramble data: NULL data passed as input.");
    if (out == nullptr || outLen < len)
        KY_THROW(kDescrambleTag,
                 "Cannot descramble data: Destination buffer should be as big as the source one.");
    if (overlap(in, len, out, outLen))
        KY_THROW(kDescrambleTag, "Cannot descramble data: input and output buffers overlap.");

    const int headerSize = headerPending ? kHeaderSize : 0;
    const int trailerSize = last ? kTrailerSize : 0;
    const int body = len - headerSize - trailerSize;
    // A message carries at least one data block; only a closing piece may be a bare trailer.
    if (body < 0 || (headerPending && body == 0))
        KY_THROW(kDescrambleTag, "Cannot descramble data: It's too short.");
    const auto* src = static_cast<const unsigned char*>(in);
    if (headerPending && src[0] != kMethod)
        KY_THROW(kDescrambleTag, "Scrambled data is corrupt: unrecognized scrambling method.");
    if (body % kBlock != 0) {
        if (last) {
            reset();
            KY_THROW(kDescrambleTag,
                     "Scrambled data is corrupt: length is not a whole number of blocks.");
        }
        KY_THROW(kDescrambleTag,
                 "Cannot descramble data: every call but the last must pass whole 8-byte "
                 "blocks; got " +
                     std::to_string(len) + " bytes.");
    }

    auto* dst = static_cast<unsigned char*>(out);
    KycBlowfish& bf = blowfish();
    try {
        if (headerPending) {
            unsigned char rebuilt[kBlock];
            WipeOnExit wipeRebuilt(rebuilt, sizeof rebuilt);
            std::memcpy(rebuilt, src + 1, kHeaderSize - 1);
            completeIV(rebuilt);
            bf.setIV(rebuilt, kBlock);
            iv = KycBucket(rebuilt, kBlock);
            crc = kCrcStart;
            headerPending = false;
        }
        if (body > 0)
            bf.decCBC61(src + headerSize, dst, body);
        if (!last) {
            Kyc::crc32(dst, body, &crc);
            return body;
        }

        unsigned char trailer[kTrailerSize];
        WipeOnExit wipeTrailer(trailer, sizeof trailer);
        bf.decECB(src + headerSize + body, trailer, kTrailerSize);
        const uint32_t stored = static_cast<uint32_t>(trailer[0]) << 24 |
                                static_cast<uint32_t>(trailer[1]) << 16 |
                                static_cast<uint32_t>(trailer[2]) << 8 | trailer[3];
        const int count = trailer[4];
        // A count of 0 is never written, and a bare closing trailer always follows a
        // whole block: anything else would make the data length negative or reach past
        // what was decrypted.
        if (count < 1 || count > kBlock || (body == 0 && count != kBlock))
            KY_THROW(kDescrambleTag,
                     "Scrambled data is corrupt: Invalid last block valid byte counter.");
        const int dataLen = body == 0 ? 0 : body - kBlock + count;
        Kyc::crc32(dst, dataLen, &crc);
        if (crc != stored)
            KY_THROW(kDescrambleTag, "Scrambled data is corrupt: CRC32 mismatch.");
        ky::secureWipe(dst + dataLen, static_cast<std::size_t>(body - dataLen));
        reset();
        return dataLen;
    } catch (...) {
        // Plaintext of a message that failed its checks is not handed out.
        ky::secureWipe(dst, static_cast<std::size_t>(body));
        reset();
        throw;
    }
}

KycBucket KycScrambler::descramble(const KycBucket& data) {
    KycBucket out(data.getSize());
    out.resize(descramble(data.getData(), data.getSize(), out.getData(), out.getSize(), true));
    return out;
}

// ---- Kyc: one message, one fresh scrambler ----------------------------------------------

KycBucket Kyc::scrambleToBin(const void* data, int len) {
    KycScrambler scrambler;
    KycBucket out(
        len >= 0 && len <= INT_MAX - KycScrambler::kOverhead ? len + KycScrambler::kOverhead : 0);
    out.resize(scrambler.scramble(data, len, out.getData(), out.getSize(), true));
    return out;
}

KycBucket Kyc::scrambleToBin(const KycBucket& data) {
    return scrambleToBin(data.getData(), data.getSize());
}

std::string Kyc::scrambleToHex(const void* data, int len) {
    return bin2hex(scrambleToBin(data, len));
}

std::string Kyc::scrambleToHex(const KycBucket& data) {
    return bin2hex(scrambleToBin(data));
}

KycBucket Kyc::descrambleFromBin(const void* data, int len) {
    KycScrambler scrambler;
    KycBucket out(len > 0 ? len : 0);
    out.resize(scrambler.descramble(data, len, out.getData(), out.getSize(), true));
    return out;
}

KycBucket Kyc::descrambleFromBin(const KycBucket& data) {
    return descrambleFromBin(data.getData(), data.getSize());
}

KycBucket Kyc::descrambleFromHex(const char* hex) {
    return descrambleFromBin(hex2bin(hex));
}
