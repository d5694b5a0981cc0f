#include "kylib/crypto/KycBlockCipher.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "kylib/crypto/SecureString.h"
#include "kylib/diagnostics/KyException.h"

namespace {

constexpr int kMaxBlockSize = 256;

// A block-sized scratch buffer that holds plaintext or keystream on its way through:
// wiped whatever way the function is left.
class ScratchBlock {
public:
    ScratchBlock() { std::memset(m_bytes, 0, sizeof m_bytes); }
    ~ScratchBlock() { ky::secureWipe(m_bytes, sizeof m_bytes); }
    ScratchBlock(const ScratchBlock&) = delete;
    ScratchBlock& operator=(const ScratchBlock&) = delete;
    unsigned char* get() { return m_bytes; }

private:
    unsigned char m_bytes[kMaxBlockSize];
};

void xorInto(unsigned char* dst, const unsigned char* src, int n) {
    for (int i = 0; i < n; ++i)
        dst[i] ^= src[i];
}

// In place (in == out) is supported; a partial overlap would feed already transformed
// bytes back in, so it is refused rather than silently corrupting the data.
void checkOverlap(const char* func, const char* action, const void* in, int inLen, const void* out,
                  int outLen) {
    if (in == out)
        return;
    auto* a = static_cast<const unsigned char*>(in);
    auto* b = static_cast<const unsigned char*>(out);
    std::less<const unsigned char*> less;
    if (less(a, b + outLen) && less(b, a + inLen))
        KY_THROW(func,
                 std::string("Cannot ") + action + " data: Input and output buffers overlap.");
}

void checkLength(const char* func, const char* action, int len) {
    if (len < 0)
        KY_THROW(func, std::string("Cannot ") + action + " data: Negative data length.");
}

}  // namespace

KycBlockCipher::KycBlockCipher() = default;
KycBlockCipher::~KycBlockCipher() = default;

void KycBlockCipher::setKey(const KycBucket& key) {
    setKey(key.getData(), key.getSize());
}

void KycBlockCipher::setBlockSize(int n) {
    char message[96];
    if (n < 1 || n > kMaxBlockSize) {
        std::snprintf(message, sizeof message, "Invalid block size %d specified.", n);
        KY_THROW("KycBlockCipher::setBlockSize", message);
    }
    if ((n & (n - 1)) != 0) {
        std::snprintf(message, sizeof message,
                      "Invalid block size %d specified: must be a power of 2.", n);
        KY_THROW("KycBlockCipher::setBlockSize", message);
    }
    int shift = 0;
    while ((1 << shift) < n)
        ++shift;
    blockSize = n;
    blockShift = shift;
    if (iv.getSize() > 0 && iv.getSize() < n)
        iv.resize(n);
}

void KycBlockCipher::setIV(const void* data, int length) {
    if (blockSize == 0)
        KY_THROW("KycBlockCipher::setIV", "Cannot set IV: Block size is not known yet.");
    if (length < 0)
        KY_THROW("KycBlockCipher::setIV", "Cannot set IV: Negative IV length.");
    if (data == nullptr && length > 0)
        KY_THROW("KycBlockCipher::setIV", "Cannot set IV: NULL IV pointer.");
    KycBucket fresh(data, length < blockSize ? length : blockSize);
    fresh.resize(blockSize);
    iv = fresh;
    ofb.state = iv;
    ofb.remaining = 0;
}

void KycBlockCipher::setIV(const KycBucket& bytes) {
    setIV(bytes.getData(), bytes.getSize());
}

// ---- Runs of whole blocks ---------------------------------------------------------------

void KycBlockCipher::encBlocks(const unsigned char* in, unsigned char* out, int len) {
    ScratchBlock block;
    for (int i = 0; i < len; i += blockSize) {
        if (in == out) {
            // A block cipher's single-block call need not support in place.
            std::memcpy(block.get(), in + i, static_cast<std::size_t>(blockSize));
            encBlock(block.get(), out + i);
        } else {
            encBlock(in + i, out + i);
        }
    }
}

void KycBlockCipher::decBlocks(const unsigned char* in, unsigned char* out, int len) {
    ScratchBlock block;
    for (int i = 0; i < len; i += blockSize) {
        if (in == out) {
            std::memcpy(block.get(), in + i, static_cast<std::size_t>(blockSize));
            decBlock(block.get(), out + i);
        } else {
            decBlock(in + i, out + i);
        }
    }
}

void KycBlockCipher::encCBCBlocks(const unsigned char* in, unsigned char* out, int len,
                                  unsigned char* chain) {
    ScratchBlock block;
    const auto b = static_cast<std::size_t>(blockSize);
    for (int i = 0; i < len; i += blockSize) {
        std::memcpy(block.get(), in + i, b);
        xorInto(block.get(), chain, blockSize);
        encBlock(block.get(), out + i);
        std::memcpy(chain, out + i, b);
    }
}

void KycBlockCipher::decCBCBlocks(const unsigned char* in, unsigned char* out, int len,
                                  unsigned char* chain) {
    ScratchBlock cipherText, plain;
    const auto b = static_cast<std::size_t>(blockSize);
    for (int i = 0; i < len; i += blockSize) {
        // Kept aside: in place, the output overwrites the block the next one chains from.
        std::memcpy(cipherText.get(), in + i, b);
        decBlock(cipherText.get(), plain.get());
        xorInto(plain.get(), chain, blockSize);
        std::memcpy(out + i, plain.get(), b);
        std::memcpy(chain, cipherText.get(), b);
    }
}

// ---- ECB ------------------------------------------------------------------------------------

int KycBlockCipher::encECB(const void* in, void* out, int len) {
    static const char kFunc[] = "KycBlockCipher::encECB";
    if (!keySet)
        KY_THROW(kFunc, "Cannot encrypt data: The key must be preset.");
    if (blockSize == 0)
        KY_THROW(kFunc, "Cannot encrypt data: Block size has not been set yet.");
    checkLength(kFunc, "encrypt", len);
    if (in == nullptr || len == 0)
        return 0;
    if (out == nullptr)
        KY_THROW(kFunc, "Cannot encrypt data: NULL output buffer pointer.");

    const int rest = len & (blockSize - 1);
    const int whole = len - rest;
    if (rest != 0 && whole > INT32_MAX - blockSize)
        KY_THROW(kFunc, "Cannot encrypt data: Data length is too large.");
    const int total = rest != 0 ? whole + blockSize : whole;
    checkOverlap(kFunc, "encrypt", in, len, out, total);

    auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    if (whole > 0)
        encBlocks(src, dst, whole);
    if (rest != 0) {
        ScratchBlock last;
        std::memcpy(last.get(), src + whole, static_cast<std::size_t>(rest));
        encBlock(last.get(), dst + whole);
    }
    return total;
}

int KycBlockCipher::decECB(const void* in, void* out, int len) {
    static const char kFunc[] = "KycBlockCipher::decECB";
    if (!keySet)
        KY_THROW(kFunc, "Cannot decrypt data: The key must be preset.");
    if (blockSize == 0)
        KY_THROW(kFunc, "Cannot decrypt data: Block size has not been set yet.");
    checkLength(kFunc, "decrypt", len);
    if (in == nullptr || len == 0)
        return 0;
    if (out == nullptr)
        KY_THROW(kFunc, "Cannot decrypt data: NULL output buffer pointer.");
    if ((len & (blockSize - 1)) != 0) {
        char message[96];
        std::snprintf(message, sizeof message,
                      "Cannot decrypt data: Encrypted data must be provided in %d-byte blocks.",
                      blockSize);
        KY_THROW(kFunc, message);
    }
    checkOverlap(kFunc, "decrypt", in, len, out, len);
    decBlocks(static_cast<const unsigned char*>(in), static_cast<unsigned char*>(out), len);
    return len;
}

KycBucket KycBlockCipher::encECB(const KycBucket& in) {
    const int len = in.getSize();
    const int rest = len & (blockSize > 0 ? blockSize - 1 : 0);
    KycBucket out(rest != 0 ? len - rest + blockSize : len);
    out.resize(encECB(in.getData(), out.getData(), len));
    return out;
}

KycBucket KycBlockCipher::decECB(const KycBucket& in) {
    KycBucket out(in.getSize());
    out.resize(decECB(in.getData(), out.getData(), in.getSize()));
    return out;
}

// ---- CBC ------------------------------------------------------------------------------------

int KycBlockCipher::encCBC(const void* in, void* out, int len) {
    static const char kFunc[] = "KycBlockCipher::encCBC";
    if (!keySet)
        KY_THROW(kFunc, "Cannot enccrypt data: The key must be preset.");
    if (blockSize == 0)
        KY_THROW(kFunc, "Cannot encrypt data: Block size has not been set yet.");
    if (iv.getSize() == 0)
        KY_THROW(kFunc, "Cannot encrypt data: IV must be preset.");
    checkLength(kFunc, "encrypt", len);
    if (in == nullptr || len == 0)
        return 0;
    if (out == nullptr)
        KY_THROW(kFunc, "Cannot encrypt data: NULL output buffer pointer.");

    const int b = blockSize;
    const auto bz = static_cast<std::size_t>(b);
    auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    const int rest = len & (b - 1);

    if (len < b) {
        // Too short to steal from: one whole block, the IV bytes standing in for the
        // missing input. The reader uses the first len bytes of its decryption.
        checkOverlap(kFunc, "encrypt", in, len, out, b);
        ScratchBlock block;
        std::memcpy(block.get(), iv.getData(), bz);
        xorInto(block.get(), src, len);
        encBlock(block.get(), dst);
        return b;
    }
    checkOverlap(kFunc, "encrypt", in, len, out, len);
    if (rest == 0) {
        // The IV follows the chain, so that consecutive calls continue one chain.
        encCBCBlocks(src, dst, len, iv.getData());
        return len;
    }

    // Ciphertext stealing; the IV is left as it was.
    const int lastFull = len - rest - b;  // offset of the last whole block
    ScratchBlock chain, x, y;
    std::memcpy(chain.get(), iv.getData(), bz);
    if (lastFull > 0)
        encCBCBlocks(src, dst, lastFull, chain.get());
    // X = E(Pn xor Cn-1)
    std::memcpy(y.get(), src + lastFull, bz);
    xorInto(y.get(), chain.get(), b);
    encBlock(y.get(), x.get());
    // Y = E((tail xor X[0..r)) || X[r..b)); the tail is read before out is written, so
    // that in place works.
    std::memcpy(y.get(), x.get(), bz);
    xorInto(y.get(), src + lastFull + b, rest);
    encBlock(y.get(), dst + lastFull);
    std::memcpy(dst + lastFull + b, x.get(), static_cast<std::size_t>(rest));
    return len;
}

int KycBlockCipher::decCBC(const void* in, void* out, int len) {
    static const char kFunc[] = "KycBlockCipher::decCBC";
    if (!keySet)
        KY_THROW(kFunc, "Cannot decrypt data: The key must be preset.");
    if (blockSize == 0)
        KY_THROW(kFunc, "Cannot decrypt data: Block size has not been set yet.");
    if (iv.getSize() == 0)
        KY_THROW(kFunc, "Cannot decrypt data: IV must be preset.");
    checkLength(kFunc, "decrypt", len);
    if (in == nullptr || len == 0)
        return 0;
    if (len < blockSize)
        KY_THROW(kFunc,
                 "Cannot decrypt data: Encrypted data length is smaller than the block size.");
    if (out == nullptr)
        KY_THROW(kFunc, "Cannot decrypt data: NULL output buffer pointer.");
    checkOverlap(kFunc, "decrypt", in, len, out, len);

    const int b = blockSize;
    const auto bz = static_cast<std::size_t>(b);
    auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    const int rest = len & (b - 1);
    if (rest == 0) {
        decCBCBlocks(src, dst, len, iv.getData());
        return len;
    }

    const int lastFull = len - rest - b;
    ScratchBlock chain, y, tail, z;
    std::memcpy(chain.get(), iv.getData(), bz);
    // Both stolen pieces are read before anything of out is written (in place).
    std::memcpy(y.get(), src + lastFull, bz);
    std::memcpy(tail.get(), src + lastFull + b, static_cast<std::size_t>(rest));
    if (lastFull > 0)
        decCBCBlocks(src, dst, lastFull, chain.get());
    // D(Y) = (tail plaintext xor X[0..r)) || X[r..b), and X[0..r) is the stored tail.
    decBlock(y.get(), z.get());
    // X = stored tail || D(Y)[r..b); Pn = D(X) xor Cn-1.
    unsigned char* x = y.get();
    std::memcpy(x, tail.get(), static_cast<std::size_t>(rest));
    std::memcpy(x + rest, z.get() + rest, bz - static_cast<std::size_t>(rest));
    xorInto(z.get(), tail.get(), rest);
    std::memcpy(dst + lastFull + b, z.get(), static_cast<std::size_t>(rest));
    decBlock(x, z.get());
    xorInto(z.get(), chain.get(), b);
    std::memcpy(dst + lastFull, z.get(), bz);
    return len;
}

KycBucket KycBlockCipher::encCBC(const KycBucket& in) {
    const int len = in.getSize();
    KycBucket out(len > 0 && len < blockSize ? blockSize : len);
    out.resize(encCBC(in.getData(), out.getData(), len));
    return out;
}

KycBucket KycBlockCipher::decCBC(const KycBucket& in) {
    KycBucket out(in.getSize());
    out.resize(decCBC(in.getData(), out.getData(), in.getSize()));
    return out;
}

// ---- OFB ------------------------------------------------------------------------------------

void KycBlockCipher::encOFB(void* data, int len) {
    encOFB(data, len, &ofb);
}

void KycBlockCipher::encOFB(void* data, int len, OFBCtx* ctx) {
    static const char kFunc[] = "KycBlockCipher::encOFB";
    if (!keySet)
        KY_THROW(kFunc, "Cannot process data: The key must be preset.");
    if (blockSize == 0)
        KY_THROW(kFunc, "Cannot process data: Block size has not been set yet.");
    if (ctx == nullptr)
        KY_THROW(kFunc, "Invalid pointer to OFB Context provided");
    if (ctx->state.getSize() == 0)
        KY_THROW(kFunc, "Empty IV provided");
    checkLength(kFunc, "process", len);
    if (data == nullptr || len == 0)
        return;
    if (ctx->state.getSize() != blockSize)
        ctx->state.resize(blockSize);
    // A caller's context with a count outside the block would index past the keystream.
    if (ctx->remaining < 0 || ctx->remaining > blockSize)
        KY_THROW(kFunc, "Invalid OFB Context provided: keystream position out of range.");

    auto* p = static_cast<unsigned char*>(data);
    unsigned char* state = ctx->state.getData();
    ScratchBlock next;
    const auto bz = static_cast<std::size_t>(blockSize);
    for (int i = 0; i < len;) {
        if (ctx->remaining == 0) {
            encBlock(state, next.get());
            std::memcpy(state, next.get(), bz);
            ctx->remaining = blockSize;
        }
        int take = ctx->remaining < len - i ? ctx->remaining : len - i;
        xorInto(p + i, state + (blockSize - ctx->remaining), take);
        ctx->remaining -= take;
        i += take;
    }
}
