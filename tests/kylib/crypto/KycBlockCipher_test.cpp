#include "kylib/crypto/KycBlockCipher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kylib/diagnostics/KyException.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A keyed permutation of one block, for testing the modes apart from the crypto module:
// two rounds of a byte substitution, a running xor and a rotation, so that every output
// byte depends on every input byte and a mode that feeds the wrong bytes shows.
class ToyCipher : public KycBlockCipher {
public:
    explicit ToyCipher(int blockSize) {
        if (blockSize > 0)
            setBlockSize(blockSize);
        cipherType = 99;
        for (int v = 0; v < 256; ++v) {
            m_sbox[v] = static_cast<unsigned char>(v * 167 + 13);
            m_inverse[m_sbox[v]] = static_cast<unsigned char>(v);
        }
    }
    using KycBlockCipher::setBlockSize;
    using KycBlockCipher::setKey;

    void setKey(const void* key, int length) override {
        if (length <= 0)
            KY_THROW("ToyCipher::setKey", "empty key");
        m_key.assign(static_cast<const unsigned char*>(key),
                     static_cast<const unsigned char*>(key) + length);
        markKeySet();
    }
    void encBlock(const void* in, void* out) override {
        const int b = getBlockSize();
        Bytes x(static_cast<const unsigned char*>(in), static_cast<const unsigned char*>(in) + b);
        for (int round = 0; round < 2; ++round) {
            for (int i = 0; i < b; ++i)
                x[i] = m_sbox[x[i] ^ keyByte(i, round)];
            for (int i = 1; i < b; ++i)
                x[i] ^= x[i - 1];
            std::rotate(x.begin(), x.begin() + 1, x.end());
        }
        std::memcpy(out, x.data(), static_cast<size_t>(b));
        ++encBlockCalls;
    }
    void decBlock(const void* in, void* out) override {
        const int b = getBlockSize();
        Bytes x(static_cast<const unsigned char*>(in), static_cast<const unsigned char*>(in) + b);
        for (int round = 1; round >= 0; --round) {
            std::rotate(x.rbegin(), x.rbegin() + 1, x.rend());
            for (int i = b - 1; i >= 1; --i)
                x[i] ^= x[i - 1];
            for (int i = 0; i < b; ++i)
                x[i] = static_cast<unsigned char>(m_inverse[x[i]] ^ keyByte(i, round));
        }
        std::memcpy(out, x.data(), static_cast<size_t>(b));
    }

    // What reached the whole-run entry points, one length per call.
    std::vector<int> encRuns, decRuns, encCBCRuns, decCBCRuns;
    int encBlockCalls = 0;

protected:
    void encBlocks(const unsigned char* in, unsigned char* out, int len) override {
        encRuns.push_back(len);
        KycBlockCipher::encBlocks(in, out, len);
    }
    void decBlocks(const unsigned char* in, unsigned char* out, int len) override {
        decRuns.push_back(len);
        KycBlockCipher::decBlocks(in, out, len);
    }
    void encCBCBlocks(const unsigned char* in, unsigned char* out, int len,
                      unsigned char* chain) override {
        encCBCRuns.push_back(len);
        KycBlockCipher::encCBCBlocks(in, out, len, chain);
    }
    void decCBCBlocks(const unsigned char* in, unsigned char* out, int len,
                      unsigned char* chain) override {
        decCBCRuns.push_back(len);
        KycBlockCipher::decCBCBlocks(in, out, len, chain);
    }

private:
    unsigned char keyByte(int i, int round) const {
        return static_cast<unsigned char>(m_key[(i + round * 3) % m_key.size()] + round);
    }
    Bytes m_key;
    unsigned char m_sbox[256];
    unsigned char m_inverse[256];
};

Bytes data(int n, int seed = 3) {
    Bytes b(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(i * 31 + seed);
    return b;
}

Bytes ivBytes(int n) {
    return data(n, 101);
}

// A cipher ready for every mode: key and IV set.
void prepare(ToyCipher& c) {
    const unsigned char key[] = "toy key 0123456";
    c.setKey(key, 16);
    Bytes iv = ivBytes(c.getBlockSize());
    c.setIV(iv.data(), static_cast<int>(iv.size()));
}

Bytes block(ToyCipher& c, Bytes in) {
    Bytes out(in.size());
    c.encBlock(in.data(), out.data());
    return out;
}

Bytes xorOf(Bytes a, const Bytes& b) {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        a[i] ^= b[i];
    return a;
}

// CBC with ciphertext stealing, written straight from its definition: C1..Cn-1, then
// Y = E((tail xor X) || rest of X) in full, then the first r bytes of X = E(Pn xor Cn-1).
Bytes referenceCBC(ToyCipher& c, const Bytes& iv, const Bytes& p) {
    const int b = c.getBlockSize();
    const int len = static_cast<int>(p.size());
    const int r = len % b;
    const int full = len / b;
    Bytes out, chain = iv;
    const int chained = r == 0 ? full : full - 1;
    for (int i = 0; i < chained; ++i) {
        Bytes pi(p.begin() + i * b, p.begin() + (i + 1) * b);
        chain = block(c, xorOf(pi, chain));
        out.insert(out.end(), chain.begin(), chain.end());
    }
    if (r == 0)
        return out;
    Bytes pn(p.begin() + (full - 1) * b, p.begin() + full * b);
    Bytes x = block(c, xorOf(pn, chain));
    Bytes tail(p.begin() + full * b, p.end());
    Bytes yIn = x;
    for (int i = 0; i < r; ++i)
        yIn[i] ^= tail[i];
    Bytes y = block(c, yIn);
    out.insert(out.end(), y.begin(), y.end());
    out.insert(out.end(), x.begin(), x.begin() + r);
    return out;
}

template <class F>
std::string thrownMessage(F&& f) {
    try {
        f();
    } catch (const KyException& e) {
        return std::string(e.getFuncName()) + ": " + e.getMessage();
    }
    return "<nothing thrown>";
}

// ---- Checks, in the order they are made -------------------------------------------------

enum Ready { kNothing, kKeyOnly, kKeyAndBlockSize, kAll };

struct CheckCase {
    const char* name;
    Ready ready;
    std::function<void(ToyCipher&)> call;
    const char* expected;
};

class KycBlockCipherChecks : public ::testing::TestWithParam<CheckCase> {};

TEST_P(KycBlockCipherChecks, ThrowTheFirstFailingCheck) {
    const CheckCase& c = GetParam();
    ToyCipher cipher(c.ready == kNothing || c.ready == kKeyOnly ? 0 : 8);
    const unsigned char key[] = "k";
    if (c.ready != kNothing)
        cipher.setKey(key, 1);
    if (c.ready == kAll)
        cipher.setIV("12345678", 8);
    EXPECT_EQ(thrownMessage([&] { c.call(cipher); }), c.expected);
}

unsigned char g_in[64];
unsigned char g_out[64];

const CheckCase kCheckCases[] = {
    {"encECB key", kNothing, [](ToyCipher& c) { c.encECB(g_in, g_out, 8); },
     "KycBlockCipher::encECB: Cannot encrypt data: The key must be preset."},
    {"encECB block size", kKeyOnly, [](ToyCipher& c) { c.encECB(g_in, g_out, 8); },
     "KycBlockCipher::encECB: Cannot encrypt data: Block size has not been set yet."},
    {"encECB output", kKeyAndBlockSize, [](ToyCipher& c) { c.encECB(g_in, nullptr, 8); },
     "KycBlockCipher::encECB: Cannot encrypt data: NULL output buffer pointer."},
    {"decECB key", kNothing, [](ToyCipher& c) { c.decECB(g_in, g_out, 8); },
     "KycBlockCipher::decECB: Cannot decrypt data: The key must be preset."},
    {"decECB block size", kKeyOnly, [](ToyCipher& c) { c.decECB(g_in, g_out, 8); },
     "KycBlockCipher::decECB: Cannot decrypt data: Block size has not been set yet."},
    {"decECB output before length", kKeyAndBlockSize,
     [](ToyCipher& c) { c.decECB(g_in, nullptr, 5); },
     "KycBlockCipher::decECB: Cannot decrypt data: NULL output buffer pointer."},
    {"decECB partial block", kKeyAndBlockSize, [](ToyCipher& c) { c.decECB(g_in, g_out, 20); },
     "KycBlockCipher::decECB: Cannot decrypt data: Encrypted data must be provided in 8-byte "
     "blocks."},
    {"encCBC key", kNothing, [](ToyCipher& c) { c.encCBC(g_in, g_out, 8); },
     "KycBlockCipher::encCBC: Cannot enccrypt data: The key must be preset."},
    {"encCBC block size", kKeyOnly, [](ToyCipher& c) { c.encCBC(g_in, g_out, 8); },
     "KycBlockCipher::encCBC: Cannot encrypt data: Block size has not been set yet."},
    {"encCBC IV", kKeyAndBlockSize, [](ToyCipher& c) { c.encCBC(g_in, g_out, 8); },
     "KycBlockCipher::encCBC: Cannot encrypt data: IV must be preset."},
    {"encCBC output", kAll, [](ToyCipher& c) { c.encCBC(g_in, nullptr, 8); },
     "KycBlockCipher::encCBC: Cannot encrypt data: NULL output buffer pointer."},
    {"decCBC key", kNothing, [](ToyCipher& c) { c.decCBC(g_in, g_out, 8); },
     "KycBlockCipher::decCBC: Cannot decrypt data: The key must be preset."},
    {"decCBC block size", kKeyOnly, [](ToyCipher& c) { c.decCBC(g_in, g_out, 8); },
     "KycBlockCipher::decCBC: Cannot decrypt data: Block size has not been set yet."},
    {"decCBC IV", kKeyAndBlockSize, [](ToyCipher& c) { c.decCBC(g_in, g_out, 8); },
     "KycBlockCipher::decCBC: Cannot decrypt data: IV must be preset."},
    {"decCBC short before output", kAll, [](ToyCipher& c) { c.decCBC(g_in, nullptr, 3); },
     "KycBlockCipher::decCBC: Cannot decrypt data: Encrypted data length is smaller than the "
     "block size."},
    {"decCBC output", kAll, [](ToyCipher& c) { c.decCBC(g_in, nullptr, 8); },
     "KycBlockCipher::decCBC: Cannot decrypt data: NULL output buffer pointer."},
    {"encOFB key", kNothing, [](ToyCipher& c) { c.encOFB(g_out, 8); },
     "KycBlockCipher::encOFB: Cannot process data: The key must be preset."},
    {"encOFB block size", kKeyOnly, [](ToyCipher& c) { c.encOFB(g_out, 8); },
     "KycBlockCipher::encOFB: Cannot process data: Block size has not been set yet."},
    {"encOFB context", kAll, [](ToyCipher& c) { c.encOFB(g_out, 8, nullptr); },
     "KycBlockCipher::encOFB: Invalid pointer to OFB Context provided"},
    {"encOFB empty state", kKeyAndBlockSize, [](ToyCipher& c) { c.encOFB(g_out, 8); },
     "KycBlockCipher::encOFB: Empty IV provided"},
    {"encOFB position", kAll,
     [](ToyCipher& c) {
         KycBlockCipher::OFBCtx ctx{KycBucket("12345678", 8), 9};
         c.encOFB(g_out, 8, &ctx);
     },
     "KycBlockCipher::encOFB: Invalid OFB Context provided: keystream position out of range."},
    {"setIV block size", kKeyOnly, [](ToyCipher& c) { c.setIV("1234", 4); },
     "KycBlockCipher::setIV: Cannot set IV: Block size is not known yet."},
    {"setBlockSize 24", kKeyOnly, [](ToyCipher& c) { c.setBlockSize(24); },
     "KycBlockCipher::setBlockSize: Invalid block size 24 specified: must be a power of 2."},
    {"setBlockSize 512", kKeyOnly, [](ToyCipher& c) { c.setBlockSize(512); },
     "KycBlockCipher::setBlockSize: Invalid block size 512 specified."},
    {"setBlockSize 0", kKeyOnly, [](ToyCipher& c) { c.setBlockSize(0); },
     "KycBlockCipher::setBlockSize: Invalid block size 0 specified."},
    {"setBlockSize -8", kKeyOnly, [](ToyCipher& c) { c.setBlockSize(-8); },
     "KycBlockCipher::setBlockSize: Invalid block size -8 specified."},
    // A negative length is refused before anything is read or written.
    {"encECB negative", kAll, [](ToyCipher& c) { c.encECB(g_in, g_out, -8); },
     "KycBlockCipher::encECB: Cannot encrypt data: Negative data length."},
    {"decECB negative", kAll, [](ToyCipher& c) { c.decECB(g_in, g_out, -8); },
     "KycBlockCipher::decECB: Cannot decrypt data: Negative data length."},
    {"encCBC negative", kAll, [](ToyCipher& c) { c.encCBC(g_in, g_out, -1); },
     "KycBlockCipher::encCBC: Cannot encrypt data: Negative data length."},
    {"decCBC negative", kAll, [](ToyCipher& c) { c.decCBC(g_in, g_out, -16); },
     "KycBlockCipher::decCBC: Cannot decrypt data: Negative data length."},
    {"encOFB negative", kAll, [](ToyCipher& c) { c.encOFB(g_out, -1); },
     "KycBlockCipher::encOFB: Cannot process data: Negative data length."},
    // In place works; a partial overlap would read bytes already overwritten.
    {"encCBC overlap", kAll, [](ToyCipher& c) { c.encCBC(g_in, g_in + 4, 16); },
     "KycBlockCipher::encCBC: Cannot encrypt data: Input and output buffers overlap."},
    {"decECB overlap", kAll, [](ToyCipher& c) { c.decECB(g_in + 8, g_in, 16); },
     "KycBlockCipher::decECB: Cannot decrypt data: Input and output buffers overlap."},
};

INSTANTIATE_TEST_SUITE_P(Cases, KycBlockCipherChecks, ::testing::ValuesIn(kCheckCases),
                         [](const ::testing::TestParamInfo<CheckCase>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 if (!isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name;
                         });

TEST(KycBlockCipher, EmptyOrNullInputReturnsZeroWithoutTouchingOutput) {
    ToyCipher c(8);
    prepare(c);
    KycBlockCipher::OFBCtx ctx{KycBucket("12345678", 8), 0};
    EXPECT_EQ(c.encECB(nullptr, nullptr, 8), 0);
    EXPECT_EQ(c.encECB(g_in, nullptr, 0), 0);
    EXPECT_EQ(c.decECB(nullptr, nullptr, 5), 0);
    EXPECT_EQ(c.encCBC(nullptr, nullptr, 3), 0);
    EXPECT_EQ(c.decCBC(g_in, nullptr, 0), 0);
    c.encOFB(nullptr, 8);
    c.encOFB(nullptr, 8, &ctx);
    EXPECT_EQ(ctx.remaining, 0);
    EXPECT_EQ(c.encBlockCalls, 0);
}

TEST(KycBlockCipher, BlockSizesOneAndTwoFiftySixAreAccepted) {
    ToyCipher c(1);
    EXPECT_EQ(c.getBlockSize(), 1);
    prepare(c);
    Bytes p = data(5), out(5), back(5);
    EXPECT_EQ(c.encCBC(p.data(), out.data(), 5), 5);
    c.setIV(ivBytes(1).data(), 1);
    EXPECT_EQ(c.decCBC(out.data(), back.data(), 5), 5);
    EXPECT_EQ(back, p);
    c.setBlockSize(256);
    EXPECT_EQ(c.getBlockSize(), 256);
}

TEST(KycBlockCipher, IvIsFittedToTheBlock) {
    ToyCipher c(8);
    c.setIV("0123456789AB", 12);
    EXPECT_EQ(c.getIV(), KycBucket("01234567", 8));
    c.setIV("xy", 2);
    EXPECT_EQ(c.getIV(), KycBucket("xy\0\0\0\0\0\0", 8));
    // A block size set later widens a shorter IV with zeros.
    c.setIV("abcdefgh", 8);
    c.setBlockSize(16);
    EXPECT_EQ(c.getIV(), KycBucket("abcdefgh\0\0\0\0\0\0\0\0", 16));
}

// ---- ECB ------------------------------------------------------------------------------------

TEST(KycBlockCipher, EcbPadsThePartialBlockWithZeros) {
    ToyCipher c(16);
    prepare(c);
    Bytes p = data(20), out(32);
    EXPECT_EQ(c.encECB(p.data(), out.data(), 20), 32);
    Bytes last(p.begin() + 16, p.end());
    last.resize(16, 0);
    EXPECT_EQ(Bytes(out.begin() + 16, out.end()), block(c, last));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 16), block(c, Bytes(p.begin(), p.begin() + 16)));
    Bytes back(32);
    EXPECT_EQ(c.decECB(out.data(), back.data(), 32), 32);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 20), p);
    EXPECT_EQ(thrownMessage([&] { c.decECB(out.data(), back.data(), 20); }),
              "KycBlockCipher::decECB: Cannot decrypt data: Encrypted data must be provided in "
              "16-byte blocks.");

    KycBucket sealed = c.encECB(KycBucket(p.data(), 20));
    EXPECT_EQ(sealed, KycBucket(out.data(), 32));
    EXPECT_EQ(c.decECB(sealed).getSize(), 32);
}

// ---- CBC ------------------------------------------------------------------------------------

struct CbcCase {
    int blockSize;
    int len;
};

class KycBlockCipherCbc : public ::testing::TestWithParam<CbcCase> {};

TEST_P(KycBlockCipherCbc, MatchesTheDefinitionAndRoundTrips) {
    const CbcCase& k = GetParam();
    ToyCipher c(k.blockSize);
    prepare(c);
    const Bytes iv = ivBytes(k.blockSize);
    const Bytes p = data(k.len);
    Bytes out(static_cast<size_t>(k.len));
    ASSERT_EQ(c.encCBC(p.data(), out.data(), k.len), k.len);
    EXPECT_EQ(out, referenceCBC(c, iv, p));
    const bool stolen = k.len % k.blockSize != 0;
    if (stolen)
        EXPECT_EQ(c.getIV(), KycBucket(iv.data(), k.blockSize)) << "stealing keeps the IV";
    else
        EXPECT_EQ(c.getIV(), KycBucket(out.data() + k.len - k.blockSize, k.blockSize));

    c.setIV(iv.data(), k.blockSize);
    Bytes back(static_cast<size_t>(k.len));
    ASSERT_EQ(c.decCBC(out.data(), back.data(), k.len), k.len);
    EXPECT_EQ(back, p);

    // In place gives the same bytes both ways.
    c.setIV(iv.data(), k.blockSize);
    Bytes inPlace = p;
    c.encCBC(inPlace.data(), inPlace.data(), k.len);
    EXPECT_EQ(inPlace, out);
    c.setIV(iv.data(), k.blockSize);
    c.decCBC(inPlace.data(), inPlace.data(), k.len);
    EXPECT_EQ(inPlace, p);
}

std::vector<CbcCase> cbcCases() {
    std::vector<CbcCase> cases;
    for (int b : {8, 16})
        for (int len = b; len <= 5 * b; ++len)
            cases.push_back({b, len});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Lengths, KycBlockCipherCbc, ::testing::ValuesIn(cbcCases()),
                         [](const ::testing::TestParamInfo<CbcCase>& info) {
                             return "b" + std::to_string(info.param.blockSize) + "_len" +
                                    std::to_string(info.param.len);
                         });

TEST(KycBlockCipher, CbcThirteenBytesStealsAndKeepsTheIv) {
    ToyCipher c(8);
    prepare(c);
    Bytes p = data(13), out(13), back(13);
    EXPECT_EQ(c.encCBC(p.data(), out.data(), 13), 13);
    EXPECT_EQ(c.getIV(), KycBucket(ivBytes(8).data(), 8));
    EXPECT_EQ(c.decCBC(out.data(), back.data(), 13), 13);
    EXPECT_EQ(back, p);
    EXPECT_EQ(c.getIV(), KycBucket(ivBytes(8).data(), 8));
}

TEST(KycBlockCipher, CbcWholeBlocksAdvanceTheIvAndContinueTheChain) {
    ToyCipher c(8);
    prepare(c);
    Bytes p = data(32), once(32), split(32);
    EXPECT_EQ(c.encCBC(p.data(), once.data(), 16), 16);
    EXPECT_EQ(c.getIV(), KycBucket(once.data() + 8, 8)) << "the IV is the second block";
    c.encCBC(p.data() + 16, once.data() + 16, 16);
    c.setIV(ivBytes(8).data(), 8);
    c.encCBC(p.data(), split.data(), 32);
    EXPECT_EQ(once, split);
}

TEST(KycBlockCipher, CbcShortInputBecomesOneBlock) {
    ToyCipher c(8);
    prepare(c);
    Bytes p = data(3), out(8), back(8);
    EXPECT_EQ(c.encCBC(p.data(), out.data(), 3), 8);
    EXPECT_EQ(c.getIV(), KycBucket(ivBytes(8).data(), 8));
    EXPECT_EQ(c.decCBC(out.data(), back.data(), 8), 8);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 3), p);
    EXPECT_EQ(c.encCBC(KycBucket(p.data(), 3)).getSize(), 8);
    EXPECT_EQ(thrownMessage([&] { c.decCBC(out.data(), back.data(), 3); }),
              "KycBlockCipher::decCBC: Cannot decrypt data: Encrypted data length is smaller "
              "than the block size.");
}

TEST(KycBlockCipher, BucketFormsCarryExactlyTheBytesWritten) {
    ToyCipher c(16);
    prepare(c);
    KycBucket p(data(45).data(), 45);
    KycBucket sealed = c.encCBC(p);
    EXPECT_EQ(sealed.getSize(), 45);
    c.setIV(ivBytes(16).data(), 16);
    EXPECT_EQ(c.decCBC(sealed), p);
    EXPECT_EQ(c.encCBC(KycBucket()).getSize(), 0);
}

// Whole-block runs reach the cipher in one call, so that a module doing a run at once is
// asked once rather than block by block.
TEST(KycBlockCipher, WholeBlockRunsGoInOneCall) {
    struct Case {
        const char* name;
        int len;
        std::function<void(ToyCipher&, const Bytes&, Bytes&)> call;
        std::vector<int> ToyCipher::*runs;
        std::vector<int> expected;
    } cases[] = {
        {"encECB whole",
         64,
         [](ToyCipher& c, const Bytes& p, Bytes& o) { c.encECB(p.data(), o.data(), 64); },
         &ToyCipher::encRuns,
         {64}},
        {"encECB partial",
         70,
         [](ToyCipher& c, const Bytes& p, Bytes& o) { c.encECB(p.data(), o.data(), 70); },
         &ToyCipher::encRuns,
         {64}},
        {"decECB",
         64,
         [](ToyCipher& c, const Bytes& p, Bytes& o) { c.decECB(p.data(), o.data(), 64); },
         &ToyCipher::decRuns,
         {64}},
        {"encCBC whole",
         64,
         [](ToyCipher& c, const Bytes& p, Bytes& o) { c.encCBC(p.data(), o.data(), 64); },
         &ToyCipher::encCBCRuns,
         {64}},
        {"encCBC stolen",
         70,
         [](ToyCipher& c, const Bytes& p, Bytes& o) { c.encCBC(p.data(), o.data(), 70); },
         &ToyCipher::encCBCRuns,
         {48}},
        {"decCBC whole",
         64,
         [](ToyCipher& c, const Bytes& p, Bytes& o) { c.decCBC(p.data(), o.data(), 64); },
         &ToyCipher::decCBCRuns,
         {64}},
        {"decCBC stolen",
         70,
         [](ToyCipher& c, const Bytes& p, Bytes& o) { c.decCBC(p.data(), o.data(), 70); },
         &ToyCipher::decCBCRuns,
         {48}},
    };
    for (const Case& k : cases) {
        ToyCipher c(16);
        prepare(c);
        Bytes p = data(k.len), out(80);
        k.call(c, p, out);
        EXPECT_EQ(c.*k.runs, k.expected) << k.name;
    }
}

// ---- OFB ------------------------------------------------------------------------------------

TEST(KycBlockCipher, OfbIsItsOwnInverseAndSplitsFreely) {
    for (int b : {8, 16}) {
        SCOPED_TRACE(b);
        ToyCipher c(b);
        prepare(c);
        const Bytes p = data(50);
        Bytes once = p;
        c.encOFB(once.data(), 50);
        EXPECT_NE(once, p);
        // The first keystream block is E(IV).
        EXPECT_EQ(Bytes(once.begin(), once.begin() + b),
                  xorOf(Bytes(p.begin(), p.begin() + b), block(c, ivBytes(b))));

        c.setIV(ivBytes(b).data(), b);
        Bytes split = p;
        int pieces[] = {1, 0, 7, b, 3, 50 - 11 - b};
        int at = 0;
        for (int n : pieces) {
            c.encOFB(split.data() + at, n);
            at += n;
        }
        EXPECT_EQ(split, once);

        c.setIV(ivBytes(b).data(), b);
        c.encOFB(once.data(), 50);
        EXPECT_EQ(once, p);
    }
}

TEST(KycBlockCipher, OfbCallerContextIsSeparateAndFitted) {
    ToyCipher c(8);
    prepare(c);
    const Bytes p = data(20);
    Bytes own = p;
    c.encOFB(own.data(), 20);
    // A caller's context with a longer state is cut to the block; the object's own state
    // does not move.
    KycBlockCipher::OFBCtx ctx{KycBucket(ivBytes(12).data(), 12), 0};
    Bytes theirs = p;
    c.encOFB(theirs.data(), 20, &ctx);
    EXPECT_EQ(ctx.state.getSize(), 8);
    EXPECT_EQ(theirs, own);
    EXPECT_EQ(ctx.remaining, 4);
}

}  // namespace
