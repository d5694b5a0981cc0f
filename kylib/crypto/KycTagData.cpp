// The two record formats that carry a CRC-32 check value with enciphered data.
//
// The CRC32 record (always Blowfish, 8-byte blocks):
//   layout A (data not a whole number of blocks, or shorter than 16 bytes): the CBC blocks
//   of the data, the last one completed by the first k = min(pad, 4) check bytes and
//   filler; the remaining 4 - k check bytes ride in the first bytes of the IV, whose byte
//   7 carries len mod 8 in its low 3 bits; then the IV enciphered in ECB.
//   layout B (whole blocks, at least 16 bytes): the CBC blocks of the data, a trailer
//   block (the 4 check bytes and IV bytes 0..3) continuing the chain, then ECB(IV).
// The tag-data format (any cipher) keeps the data's length; the 4 enciphered check bytes
// and the 8-byte IV travel beside it.
//
// The check value is the CRC-32 register started at 0xFFFFFFFF and not inverted, stored
// most significant byte first.
#include <climits>
#include <cstring>
#include <string>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycBlockCipher.h"
#include "kylib/crypto/KycCipher.h"
#include "kylib/crypto/SecureString.h"
#include "kylib/diagnostics/KyException.h"

namespace {

constexpr int kRecordBlock = 8;  // Blowfish's block, the CRC32 record's unit
constexpr int kIVSize = 8;
constexpr int kCheckSize = 4;
// The largest block a KycBlockCipher can have; the tag-data tail is at most two blocks.
constexpr int kMaxBlock = 256;

constexpr char kEncryptRecordTag[] = "Kyc::encryptDataWithCRC32";
constexpr char kDecryptRecordTag[] = "Kyc::decryptDataWithCRC32";
constexpr char kEncryptTagDataTag[] = "Kyc::encryptTagData";
constexpr char kDecryptTagDataTag[] = "Kyc::decryptTagData";
constexpr char kWrongKeyText[] = "Failed to decrypt data: wrong decryption key.";

void checkValue(const void* data, int len, unsigned char out[kCheckSize]) {
    unsigned int crc = 0xFFFFFFFFu;
    Kyc::crc32(data, len, &crc);
    out[0] = static_cast<unsigned char>(crc >> 24);
    out[1] = static_cast<unsigned char>(crc >> 16);
    out[2] = static_cast<unsigned char>(crc >> 8);
    out[3] = static_cast<unsigned char>(crc);
}

// Wipes a stack buffer however the function leaves.
class ScopedWipe {
public:
    ScopedWipe(void* data, std::size_t size) : data_(data), size_(size) {}
    ~ScopedWipe() { ky::secureWipe(data_, size_); }
    ScopedWipe(const ScopedWipe&) = delete;
    ScopedWipe& operator=(const ScopedWipe&) = delete;

private:
    void* data_;
    std::size_t size_;
};

bool sameCheck(const unsigned char* a, const unsigned char* b) {
    unsigned char diff = 0;
    for (int i = 0; i < kCheckSize; ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

// ---- The CRC32 record -------------------------------------------------------------------------

int Kyc::encryptTagData(const void* in, void* out, int len, KycBlowfish& cipher) {
    if (in == nullptr || len == 0)
        return 0;
    if (out == nullptr)
        KY_THROW(kEncryptRecordTag, "Cannot encrypt data: Output buffer is a NULL pointer.");
    // The record is up to 16 bytes longer than the data; its length must stay an int.
    if (len < 0 || len > INT_MAX - 2 * kRecordBlock)
        KY_THROW(kEncryptRecordTag,
                 "Cannot encrypt data: invalid data length " + std::to_string(len) + ".");

    const auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    const int r = len % kRecordBlock;
    const int pad = r != 0 ? kRecordBlock - r : 0;
    const int k = pad < kCheckSize ? pad : kCheckSize;

    unsigned char crc[kCheckSize];
    unsigned char iv[kIVSize];
    unsigned char block[kRecordBlock] = {};
    ScopedWipe wipeCrc(crc, sizeof crc), wipeIV(iv, sizeof iv), wipeBlock(block, sizeof block);
    checkValue(src, len, crc);
    Kyc::getRand(iv, kIVSize);

    int written = 0;
    if (pad != 0 || len < 2 * kRecordBlock) {
        std::memcpy(iv, crc + k, kCheckSize - k);
        iv[7] = static_cast<unsigned char>((iv[7] & ~7) | r);
        cipher.setIV(iv, kIVSize);
        const int full = len - r;
        written = cipher.encCBC61(src, dst, full);
        if (r != 0) {
            // The filler after the check bytes is left zero; the reader ignores it.
            std::memcpy(block, src + full, r);
            std::memcpy(block + r, crc, k);
            written += cipher.encCBC61(block, dst + written, kRecordBlock);
        }
    } else {
        iv[7] = static_cast<unsigned char>(iv[7] & ~7);
        cipher.setIV(iv, kIVSize);
        written = cipher.encCBC61(src, dst, len);
        std::memcpy(block, crc, kCheckSize);
        std::memcpy(block + kCheckSize, iv, kIVSize - kCheckSize);
        written += cipher.encCBC61(block, dst + written, kRecordBlock);
    }
    return written + cipher.encECB(iv, dst + written, kIVSize);
}

int Kyc::decryptTagData(const void* in, void* out, int len, KycBlowfish& cipher) {
    if (in == nullptr || len == 0)
        return 0;
    if (out == nullptr)
        KY_THROW(kDecryptRecordTag, "Cannot decrypt data: Output buffer is a NULL pointer.");
    if (len % kRecordBlock != 0)
        KY_THROW(kDecryptRecordTag, "Cannot decrypt data: length is not a multiple of 8.");
    if (len < 2 * kRecordBlock)
        KY_THROW(kDecryptRecordTag,
                 "Cannot decrypt data: too short (must be at least 16 bytes long).");

    const auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    const int body = len - kIVSize;  // the bytes the caller's buffer receives

    unsigned char iv[kIVSize];
    unsigned char stored[kCheckSize];
    unsigned char computed[kCheckSize];
    ScopedWipe wipeIV(iv, sizeof iv), wipeStored(stored, sizeof stored),
        wipeComputed(computed, sizeof computed);
    cipher.decECB(src + body, iv, kIVSize);
    const int r = iv[7] & 7;
    const int pad = r != 0 ? kRecordBlock - r : 0;
    const int k = pad < kCheckSize ? pad : kCheckSize;
    cipher.setIV(iv, kIVSize);
    cipher.decCBC61(src, dst, body);

    // body >= 8 > pad, so n >= 1 and every index below stays inside the body.
    const int n = body - pad;
    int dataLen = 0;
    if (pad == 0 && n >= 3 * kRecordBlock) {
        dataLen = n - kRecordBlock;
        std::memcpy(stored, dst + dataLen, kCheckSize);
    } else {
        dataLen = n;
        std::memcpy(stored, dst + n, k);
        std::memcpy(stored + k, iv, kCheckSize - k);
    }
    checkValue(dst, dataLen, computed);
    if (!sameCheck(stored, computed)) {
        // Whatever a wrong key produced is not handed back.
        ky::secureWipe(dst, body);
        KYC_THROW_WRONG_KEY(kDecryptRecordTag, kWrongKeyText);
    }
    return dataLen;
}

// ---- The tag-data format ----------------------------------------------------------------------

namespace {

void checkTagDataArgs(const char* tag, const char* verb, const void* in, const void* out,
                      const void* crc, const void* iv, const KycBlockCipher* cipher, int len) {
    const std::string prefix = std::string("Can't ") + verb + " data: ";
    if (in == nullptr)
        KY_THROW(tag, prefix + "source pointer is NULL");
    if (out == nullptr)
        KY_THROW(tag, prefix + "destination pointer is NULL");
    if (crc == nullptr)
        KY_THROW(tag, prefix + "CRC32 pointer is NULL");
    if (iv == nullptr)
        KY_THROW(tag, prefix + "IV pointer is NULL");
    if (cipher == nullptr)
        KY_THROW(tag, prefix + "cipher is NULL");
    if (len < 0 || len > INT_MAX - kCheckSize)
        KY_THROW(tag, prefix + "invalid data length " + std::to_string(len));
    // The tail holds the 4 check bytes within two blocks: smaller blocks cannot carry it.
    const int b = cipher->getBlockSize();
    if (b < kCheckSize || b > kMaxBlock)
        KY_THROW(tag, prefix + "unsupported cipher block size " + std::to_string(b));
}

}  // namespace

int Kyc::encryptTagData(const void* in, void* out, int len, void* crcOut, void* ivOut,
                        KycBlockCipher* cipher) {
    checkTagDataArgs(kEncryptTagDataTag, "encrypt", in, out, crcOut, ivOut, cipher, len);
    const auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    auto* crcDst = static_cast<unsigned char*>(crcOut);
    const int b = cipher->getBlockSize();

    unsigned char iv[kIVSize];
    unsigned char crc[kCheckSize];
    unsigned char work[2 * kMaxBlock];  // the last one or two blocks of data + CRC
    unsigned char sealed[2 * kMaxBlock];
    ScopedWipe wipeIV(iv, sizeof iv), wipeCrc(crc, sizeof crc), wipeWork(work, sizeof work),
        wipeSealed(sealed, sizeof sealed);
    Kyc::getRand(iv, kIVSize);
    cipher->setIV(iv, kIVSize);
    checkValue(src, len, crc);

    const int total = len + kCheckSize;
    if (total < b) {
        // Too short for CBC: xor with one keystream block, E(IV).
        cipher->encECB(cipher->getIV().getData(), work, b);
        for (int i = 0; i < len; ++i)
            dst[i] = static_cast<unsigned char>(src[i] ^ work[i]);
        for (int i = 0; i < kCheckSize; ++i)
            crcDst[i] = static_cast<unsigned char>(crc[i] ^ work[len + i]);
    } else {
        // Whole blocks of data go straight to the output; the rest of data + CRC (one
        // block, or b + 1 to 2b bytes, stealing ciphertext when not whole) through `work`.
        const int q = total == b ? 0 : (len + 3) / b - 1;
        const int head = q * b;
        if (head > 0)
            cipher->encCBC(src, dst, head);
        const int restData = len - head;
        std::memcpy(work, src + head, restData);
        std::memcpy(work + restData, crc, kCheckSize);
        cipher->encCBC(work, sealed, restData + kCheckSize);
        std::memcpy(dst + head, sealed, restData);
        std::memcpy(crcDst, sealed + restData, kCheckSize);
    }
    // Written last, so that a failure above leaves the caller's IV untouched.
    std::memcpy(ivOut, iv, kIVSize);
    return len;
}

int Kyc::decryptTagData(const void* in, void* out, int len, const void* crcIn, const void* ivIn,
                        KycBlockCipher* cipher) {
    checkTagDataArgs(kDecryptTagDataTag, "decrypt", in, out, crcIn, ivIn, cipher, len);
    const auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    const auto* crcSrc = static_cast<const unsigned char*>(crcIn);
    const int b = cipher->getBlockSize();

    unsigned char stored[kCheckSize];
    unsigned char computed[kCheckSize];
    unsigned char work[2 * kMaxBlock];
    unsigned char opened[2 * kMaxBlock];
    ScopedWipe wipeStored(stored, sizeof stored), wipeComputed(computed, sizeof computed),
        wipeWork(work, sizeof work), wipeOpened(opened, sizeof opened);
    cipher->setIV(ivIn, kIVSize);

    const int total = len + kCheckSize;
    if (total < b) {
        cipher->encECB(cipher->getIV().getData(), work, b);
        for (int i = 0; i < len; ++i)
            dst[i] = static_cast<unsigned char>(src[i] ^ work[i]);
        for (int i = 0; i < kCheckSize; ++i)
            stored[i] = static_cast<unsigned char>(crcSrc[i] ^ work[len + i]);
    } else {
        const int q = total == b ? 0 : (len + 3) / b - 1;
        const int head = q * b;
        const int restData = len - head;
        // Copied before the head is written, so that in == out works.
        std::memcpy(work, src + head, restData);
        std::memcpy(work + restData, crcSrc, kCheckSize);
        if (head > 0)
            cipher->decCBC(src, dst, head);
        cipher->decCBC(work, opened, restData + kCheckSize);
        std::memcpy(dst + head, opened, restData);
        std::memcpy(stored, opened + restData, kCheckSize);
    }
    checkValue(dst, len, computed);
    if (!sameCheck(stored, computed)) {
        ky::secureWipe(dst, len);
        KYC_THROW_WRONG_KEY(kDecryptTagDataTag, kWrongKeyText);
    }
    return len;
}
