#include "kylib/crypto/KycKeyWrap.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "kylib/crypto/KycBlockCipher.h"
#include "kylib/crypto/SecureString.h"
#include "kylib/diagnostics/KyException.h"

namespace {

constexpr char kWrapTag[] = "KycKeyWrap::wrap";
constexpr char kUnWrapTag[] = "KycKeyWrap::unWrap";
constexpr unsigned char kInitialValueByte = 0xA6;
constexpr int kRounds = 6;
constexpr int kMaxBlock = 256;  // the largest block a KycBlockCipher can have

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

// A ^= t, t big-endian and aligned to A's last byte; a counter wider than A keeps its
// low bytes (only half-blocks under 8 bytes with very long keys get there).
void xorCounter(unsigned char* a, int h, uint64_t t) {
    for (int k = 0; k < h && k < 8; ++k)
        a[h - 1 - k] ^= static_cast<unsigned char>(t >> (8 * k));
}

}  // namespace

KycKeyWrap::KycKeyWrap(KycBlockCipher* c) : cipher(c) {
    if (cipher == nullptr)
        KY_THROW("KycKeyWrap", "NULL block cipher passed as input.");
}

int KycKeyWrap::halfBlock(const char* tag) const {
    if (!cipher->isKeySet())
        KY_THROW(tag, "Block cipher should have been preset with encryption key.");
    const int b = cipher->getBlockSize();
    if (b < 2 || b > kMaxBlock)
        KY_THROW(tag, "Cannot wrap keys with a block size of " + std::to_string(b) + " bytes.");
    return b / 2;
}

KycBucket KycKeyWrap::wrapBlocks(const KycBucket& data) {
    return wrapBlocks(data, kWrapTag);
}

KycBucket KycKeyWrap::unWrapBlocks(const KycBucket& wrapped) {
    return unWrapBlocks(wrapped, kUnWrapTag);
}

KycBucket KycKeyWrap::wrapBlocks(const KycBucket& data, const char* tag) {
    const int h = halfBlock(tag);
    const int len = data.getSize();
    if (len == 0 || len % h != 0)
        KY_THROW(tag,
                 "Invalid key data length: must be a positive multiple of the cipher's "
                 "half-block size.");
    if (len > INT_MAX - h)
        KY_THROW(tag, "Invalid key data length: too long.");
    const int blocks = len / h;

    KycBucket out(len + h);
    unsigned char* a = out.getData();
    unsigned char* r = a + h;
    std::memset(a, kInitialValueByte, static_cast<std::size_t>(h));
    std::memcpy(r, data.getData(), static_cast<std::size_t>(len));

    unsigned char block[kMaxBlock];
    ScopedWipe wipe(block, sizeof block);
    uint64_t t = 1;
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < blocks; ++i, ++t) {
            unsigned char* ri = r + static_cast<std::size_t>(i) * h;
            std::memcpy(block, a, static_cast<std::size_t>(h));
            std::memcpy(block + h, ri, static_cast<std::size_t>(h));
            cipher->encBlock(block, block);
            std::memcpy(a, block, static_cast<std::size_t>(h));
            xorCounter(a, h, t);
            std::memcpy(ri, block + h, static_cast<std::size_t>(h));
        }
    }
    return out;
}

KycBucket KycKeyWrap::unWrapBlocks(const KycBucket& wrapped, const char* tag) {
    const int h = halfBlock(tag);
    const int len = wrapped.getSize();
    if (len % h != 0)
        KY_THROW(tag,
                 "Invalid wrapped data length: must be divisible by cipher's half-block size.");
    // The check value and at least one half-block of data: anything shorter has nothing
    // wrapped in it, and a bare run of check bytes would otherwise pass.
    if (len < 2 * h)
        KY_THROW(tag, "Invalid wrapped data length: shorter than two half-blocks.");
    const int blocks = len / h - 1;

    unsigned char a[kMaxBlock / 2];
    unsigned char block[kMaxBlock];
    ScopedWipe wipeA(a, sizeof a), wipeBlock(block, sizeof block);
    std::memcpy(a, wrapped.getData(), static_cast<std::size_t>(h));
    KycBucket r(wrapped.getData() + h, len - h);
    unsigned char* rd = r.getData();

    uint64_t t = static_cast<uint64_t>(kRounds) * static_cast<uint64_t>(blocks);
    for (int round = 0; round < kRounds; ++round) {
        for (int i = blocks - 1; i >= 0; --i, --t) {
            unsigned char* ri = rd + static_cast<std::size_t>(i) * h;
            xorCounter(a, h, t);
            std::memcpy(block, a, static_cast<std::size_t>(h));
            std::memcpy(block + h, ri, static_cast<std::size_t>(h));
            cipher->decBlock(block, block);
            std::memcpy(a, block, static_cast<std::size_t>(h));
            std::memcpy(ri, block + h, static_cast<std::size_t>(h));
        }
    }

    // Compared in full, whatever the first differing byte: the time taken says nothing.
    unsigned char diff = 0;
    for (int k = 0; k < h; ++k)
        diff |= static_cast<unsigned char>(a[k] ^ kInitialValueByte);
    if (diff != 0)
        KY_THROW(tag, "Incorrect wrapping key");
    return r;
}

KycBucket KycKeyWrap::wrap(const KycBucket& key) {
    const int h = halfBlock(kWrapTag);
    const int len = key.getSize();
    if (len > INT_MAX - 3 * h)
        KY_THROW(kWrapTag, "Invalid key data length: too long.");
    const int p = (len / h + 1) * h - len;
    KycBucket padded(key);
    padded.resize(len + p);
    std::memset(padded.getData() + len, p, static_cast<std::size_t>(p));
    return wrapBlocks(padded, kWrapTag);
}

KycBucket KycKeyWrap::unWrap(const KycBucket& wrapped) {
    const int h = halfBlock(kUnWrapTag);
    KycBucket padded = unWrapBlocks(wrapped, kUnWrapTag);
    // unWrapBlocks returns at least one half-block, so the last h bytes exist.
    const int len = padded.getSize();
    const unsigned char* d = padded.getData();
    const int p = d[len - 1];
    unsigned int bad = static_cast<unsigned int>(p < 1) | static_cast<unsigned int>(p > h);
    for (int k = 1; k <= h; ++k) {
        // Every one of the last h bytes is looked at; only the last p must equal p.
        const unsigned int inPad = static_cast<unsigned int>(k <= p);
        bad |= inPad & static_cast<unsigned int>(d[len - k] != p);
    }
    if (bad != 0)
        KY_THROW(kUnWrapTag, "Failed to unwrap key data: padding check failed.");
    padded.resize(len - p);
    return padded;
}
