#include "kylib/crypto/KycCipher.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/Kycl.h"
#include "kylib/diagnostics/KyException.h"
#include "tests/kylib/crypto/CryptoTestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes hex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes pattern(int len, unsigned seed = 1) {
    Bytes out(static_cast<std::size_t>(len));
    for (int i = 0; i < len; ++i)
        out[i] = static_cast<unsigned char>((i * 131 + seed * 17 + (i >> 3)) & 0xFF);
    return out;
}

using kytest::thrownMessage;

template <class F>
std::string thrownTag(F&& f) {
    try {
        f();
    } catch (const KyException& e) {
        return e.getFuncName();
    }
    return "(nothing thrown)";
}

// ---- What the type system promises ---------------------------------------------------------

template <class T, class = void>
struct HasPublicEncBlock : std::false_type {};
template <class T>
struct HasPublicEncBlock<T, std::void_t<decltype(std::declval<T&>().encBlock(nullptr, nullptr))>>
    : std::true_type {};

static_assert(!std::is_copy_constructible_v<KycAES> && !std::is_copy_assignable_v<KycAES>);
static_assert(!std::is_copy_constructible_v<KycBlowfish>);
static_assert(HasPublicEncBlock<KycAES>::value && HasPublicEncBlock<KycBlowfish>::value &&
              HasPublicEncBlock<KycDES>::value && HasPublicEncBlock<Kyc3DES>::value &&
              HasPublicEncBlock<KycGOST>::value);
static_assert(!HasPublicEncBlock<KycTwofish>::value && !HasPublicEncBlock<KycSerpent>::value);

// ---- The seven classes ---------------------------------------------------------------------

struct CipherKind {
    const char* name;       // in messages
    const char* className;  // in tags
    std::function<std::unique_ptr<KycBlockCipher>()> make;
    int blockSize;
    int cipherType;
    int goodKeyLen;
    int badKeyLen;
};

void PrintTo(const CipherKind& k, std::ostream* os) {
    *os << k.name;
}

template <class T>
std::unique_ptr<KycBlockCipher> makeOf() {
    return std::make_unique<T>();
}

const CipherKind kKinds[] = {
    {"Blowfish", "KycBlowfish", makeOf<KycBlowfish>, 8, 2, 16, 57},
    {"AES", "KycAES", makeOf<KycAES>, 16, 3, 16, 15},
    {"Serpent", "KycSerpent", makeOf<KycSerpent>, 16, 4, 32, 15},
    {"Twofish", "KycTwofish", makeOf<KycTwofish>, 16, 5, 16, 15},
    {"3DES", "Kyc3DES", makeOf<Kyc3DES>, 8, 6, 24, 9},
    {"DES", "KycDES", makeOf<KycDES>, 8, 7, 8, 7},
    {"GOST", "KycGOST", makeOf<KycGOST>, 8, 8, 32, 16},
};

class CipherKindTest : public ::testing::TestWithParam<CipherKind> {};

INSTANTIATE_TEST_SUITE_P(AllCiphers, CipherKindTest, ::testing::ValuesIn(kKinds),
                         [](const auto& info) {
                             std::string n = info.param.name;
                             return n == "3DES" ? std::string("TripleDES") : n;
                         });

TEST_P(CipherKindTest, ReportsItsBlockSizeAndTypeAndStartsWithoutKey) {
    const CipherKind& kind = GetParam();
    auto cipher = kind.make();
    EXPECT_EQ(cipher->getBlockSize(), kind.blockSize);
    EXPECT_EQ(cipher->getCipherType(), kind.cipherType);
    EXPECT_FALSE(cipher->isKeySet());
}

TEST_P(CipherKindTest, RoundTripsInEveryMode) {
    const CipherKind& kind = GetParam();
    auto enc = kind.make();
    auto dec = kind.make();
    const Bytes key = pattern(kind.goodKeyLen, 7);
    const Bytes iv = pattern(kind.blockSize, 9);
    enc->setKey(key.data(), static_cast<int>(key.size()));
    dec->setKey(KycBucket(key));
    ASSERT_TRUE(enc->isKeySet());
    const int b = kind.blockSize;
    for (int len : {1, b - 1, b, b + 1, 3 * b, 3 * b + 5, 1000}) {
        SCOPED_TRACE("length " + std::to_string(len));
        const Bytes plain = pattern(len, static_cast<unsigned>(len));

        Bytes ecb(static_cast<std::size_t>(len + b));
        const int ecbLen = enc->encECB(plain.data(), ecb.data(), len);
        EXPECT_EQ(ecbLen, (len + b - 1) / b * b);
        Bytes back(static_cast<std::size_t>(ecbLen));
        ASSERT_EQ(dec->decECB(ecb.data(), back.data(), ecbLen), ecbLen);
        EXPECT_TRUE(std::equal(plain.begin(), plain.end(), back.begin()));
        EXPECT_NE(Bytes(ecb.begin(), ecb.begin() + b), Bytes(back.begin(), back.begin() + b));

        if (len >= b) {
            enc->setIV(iv.data(), b);
            dec->setIV(iv.data(), b);
            Bytes cbc(static_cast<std::size_t>(len));
            ASSERT_EQ(enc->encCBC(plain.data(), cbc.data(), len), len);
            Bytes cbcBack(static_cast<std::size_t>(len));
            ASSERT_EQ(dec->decCBC(cbc.data(), cbcBack.data(), len), len);
            EXPECT_EQ(cbcBack, plain);
        }

        enc->setIV(iv.data(), b);
        dec->setIV(iv.data(), b);
        Bytes ofb = plain;
        enc->encOFB(ofb.data(), len);
        EXPECT_NE(ofb, plain);
        dec->encOFB(ofb.data(), len);
        EXPECT_EQ(ofb, plain);
    }
}

TEST_P(CipherKindTest, RefusedKeyCarriesTheModuleReason) {
    const CipherKind& kind = GetParam();
    auto cipher = kind.make();
    const Bytes key = pattern(kind.badKeyLen);
    const std::string prefix = std::string("Failed to set ") + kind.name + " key: ";
    const std::string message =
        thrownMessage([&] { cipher->setKey(key.data(), static_cast<int>(key.size())); });
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    EXPECT_GT(message.size(), prefix.size()) << "the module's reason is missing";
    EXPECT_EQ(thrownTag([&] { cipher->setKey(key.data(), static_cast<int>(key.size())); }),
              std::string(kind.className) + "::setKey");
    EXPECT_FALSE(cipher->isKeySet());
}

TEST_P(CipherKindTest, NullOrNegativeKeyIsRefusedBeforeTheModule) {
    auto cipher = GetParam().make();
    const std::string prefix = std::string("Failed to set ") + GetParam().name + " key: ";
    EXPECT_EQ(thrownMessage([&] { cipher->setKey(nullptr, 16); }).rfind(prefix, 0), 0u);
    const Bytes key = pattern(GetParam().goodKeyLen);
    EXPECT_EQ(thrownMessage([&] { cipher->setKey(key.data(), -1); }).rfind(prefix, 0), 0u);
    EXPECT_FALSE(cipher->isKeySet());
}

// Whole-block runs go to the module's one-call entries (or, when the module lacks the
// optional ECB one, block by block); either way the bytes are those of single blocks.
TEST_P(CipherKindTest, LongWholeBlockRunsMatchBlockByBlock) {
    const CipherKind& kind = GetParam();
    auto cipher = kind.make();
    const Bytes key = pattern(kind.goodKeyLen, 3);
    cipher->setKey(key.data(), static_cast<int>(key.size()));
    const int b = kind.blockSize;
    const int len = 256 * b;
    const Bytes plain = pattern(len, 5);
    const Bytes iv = pattern(b, 11);

    Bytes ecbExpected(static_cast<std::size_t>(len)), cbcExpected(static_cast<std::size_t>(len));
    Bytes chain = iv, block(static_cast<std::size_t>(b));
    for (int off = 0; off < len; off += b) {
        cipher->encBlock(plain.data() + off, ecbExpected.data() + off);
        for (int i = 0; i < b; ++i)
            block[i] = plain[off + i] ^ chain[i];
        cipher->encBlock(block.data(), cbcExpected.data() + off);
        std::memcpy(chain.data(), cbcExpected.data() + off, b);
    }

    Bytes ecb(static_cast<std::size_t>(len));
    ASSERT_EQ(cipher->encECB(plain.data(), ecb.data(), len), len);
    EXPECT_EQ(ecb, ecbExpected);
    Bytes back(static_cast<std::size_t>(len));
    cipher->decECB(ecb.data(), back.data(), len);
    EXPECT_EQ(back, plain);

    cipher->setIV(iv.data(), b);
    Bytes cbc(static_cast<std::size_t>(len));
    ASSERT_EQ(cipher->encCBC(plain.data(), cbc.data(), len), len);
    EXPECT_EQ(cbc, cbcExpected);
    EXPECT_EQ(Bytes(cipher->getIV().getData(), cipher->getIV().getData() + b), chain);
    cipher->setIV(iv.data(), b);
    cipher->decCBC(cbc.data(), back.data(), len);
    EXPECT_EQ(back, plain);
}

// Without the module's optional whole-run ECB entries the bytes are the same, block by
// block.
TEST(KycAESTest, FallsBackToSingleBlocksWithoutTheRunEntries) {
    KycAES aes;  // loads the module, so that the entries below are resolved
    const Bytes key = hex("000102030405060708090a0b0c0d0e0f");
    aes.setKey(key.data(), 16);
    const Bytes plain = pattern(64 * 16, 21);
    Bytes withRuns(plain.size()), withoutRuns(plain.size()), back(plain.size());
    aes.encECB(plain.data(), withRuns.data(), static_cast<int>(plain.size()));

    struct Restore {
        decltype(Kycl::aes_ecb_encrypt_blocks) enc = Kycl::aes_ecb_encrypt_blocks;
        decltype(Kycl::aes_ecb_decrypt_blocks) dec = Kycl::aes_ecb_decrypt_blocks;
        ~Restore() {
            Kycl::aes_ecb_encrypt_blocks = enc;
            Kycl::aes_ecb_decrypt_blocks = dec;
        }
    } restore;
    Kycl::aes_ecb_encrypt_blocks = nullptr;
    Kycl::aes_ecb_decrypt_blocks = nullptr;
    aes.encECB(plain.data(), withoutRuns.data(), static_cast<int>(plain.size()));
    EXPECT_EQ(withoutRuns, withRuns);
    aes.decECB(withRuns.data(), back.data(), static_cast<int>(plain.size()));
    EXPECT_EQ(back, plain);
}

// ---- Published vectors ----------------------------------------------------------------------

struct KnownVector {
    const char* label;
    std::function<std::unique_ptr<KycBlockCipher>()> make;
    const char* key;
    const char* plain;
    const char* cipher;
};

const KnownVector kVectors[] = {
    {"AES128", makeOf<KycAES>, "000102030405060708090a0b0c0d0e0f",
     "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"AES192", makeOf<KycAES>, "000102030405060708090a0b0c0d0e0f1011121314151617",
     "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"AES256", makeOf<KycAES>, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    {"DES", makeOf<KycDES>, "133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
    {"TripleDESOneKeyIsDES", makeOf<Kyc3DES>, "133457799bbcdff1133457799bbcdff1133457799bbcdff1",
     "0123456789abcdef", "85e813540f0ab405"},
    {"TripleDES", makeOf<Kyc3DES>, "0123456789abcdef23456789abcdef01456789abcdef0123",
     "54686520717566636b2062726f776e20666f78206a756d70",
     "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900"},
    {"BlowfishZero", makeOf<KycBlowfish>, "0000000000000000", "0000000000000000",
     "4ef997456198dd78"},
    {"BlowfishOnes", makeOf<KycBlowfish>, "ffffffffffffffff", "ffffffffffffffff",
     "51866fd5b85ecb8a"},
    {"Blowfish", makeOf<KycBlowfish>, "0123456789abcdef", "1111111111111111", "61f9c3802281b096"},
    {"Twofish128Zero", makeOf<KycTwofish>, "00000000000000000000000000000000",
     "00000000000000000000000000000000", "9f589f5cf6122c32b6bfec2f2ae8c35a"},
};

void PrintTo(const KnownVector& v, std::ostream* os) {
    *os << v.label;
}

class KnownVectorTest : public ::testing::TestWithParam<KnownVector> {};

INSTANTIATE_TEST_SUITE_P(Published, KnownVectorTest, ::testing::ValuesIn(kVectors),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_P(KnownVectorTest, EncryptsAndDecryptsThePublishedBlocks) {
    const KnownVector& v = GetParam();
    auto cipher = v.make();
    const Bytes key = hex(v.key), plain = hex(v.plain), expected = hex(v.cipher);
    cipher->setKey(key.data(), static_cast<int>(key.size()));
    const int len = static_cast<int>(plain.size());

    Bytes out(plain.size());
    ASSERT_EQ(cipher->encECB(plain.data(), out.data(), len), len);
    EXPECT_EQ(out, expected);
    // One block straight through the cipher's own block operation.
    Bytes block(static_cast<std::size_t>(cipher->getBlockSize()));
    cipher->encBlock(plain.data(), block.data());
    EXPECT_TRUE(std::equal(block.begin(), block.end(), expected.begin()));
    cipher->decBlock(expected.data(), block.data());
    EXPECT_TRUE(std::equal(block.begin(), block.end(), plain.begin()));

    Bytes back(plain.size());
    ASSERT_EQ(cipher->decECB(expected.data(), back.data(), len), len);
    EXPECT_EQ(back, plain);
}

// ---- A fresh cipher, and the cipher table ----------------------------------------------------

TEST(KycAESTest, RefusesToEncryptUntilKeyed) {
    KycAES aes;
    EXPECT_FALSE(aes.isKeySet());
    EXPECT_EQ(aes.getBlockSize(), 16);
    unsigned char in[16] = {}, out[16];
    EXPECT_EQ(thrownMessage([&] { aes.encECB(in, out, 16); }),
              "Cannot encrypt data: The key must be preset.");
    const Bytes key = hex("000102030405060708090a0b0c0d0e0f");
    aes.setKey(key.data(), 16);
    EXPECT_TRUE(aes.isKeySet());
    EXPECT_EQ(aes.encECB(in, out, 16), 16);
}

TEST(KycAESTest, AFailedRekeyKeepsTheObjectUsable) {
    KycAES aes;
    const Bytes key = hex("000102030405060708090a0b0c0d0e0f");
    aes.setKey(key.data(), 16);
    EXPECT_THROW(aes.setKey(key.data(), 5), KyException);
    // A later good key works whatever the module did with the refused one.
    aes.setKey(key.data(), 16);
    const Bytes plain = hex("00112233445566778899aabbccddeeff");
    Bytes out(16);
    aes.encECB(plain.data(), out.data(), 16);
    EXPECT_EQ(out, hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
}

TEST(KycCreateCipherTest, BuildsTheClassOfEachNumber) {
    struct Case {
        int type;
        int blockSize;  // 0: no cipher
        std::function<bool(KycBlockCipher*)> isExpectedClass;
    };
    const Case cases[] = {
        {0, 0, nullptr},
        {1, 8, [](KycBlockCipher* c) { return dynamic_cast<KycBlowfish*>(c) != nullptr; }},
        {2, 8, [](KycBlockCipher* c) { return dynamic_cast<KycBlowfish*>(c) != nullptr; }},
        {3, 16, [](KycBlockCipher* c) { return dynamic_cast<KycAES*>(c) != nullptr; }},
        {4, 16, [](KycBlockCipher* c) { return dynamic_cast<KycSerpent*>(c) != nullptr; }},
        {5, 16, [](KycBlockCipher* c) { return dynamic_cast<KycTwofish*>(c) != nullptr; }},
        {6, 8, [](KycBlockCipher* c) { return dynamic_cast<Kyc3DES*>(c) != nullptr; }},
        {7, 0, nullptr},
        {8, 8, [](KycBlockCipher* c) { return dynamic_cast<KycGOST*>(c) != nullptr; }},
        {9, 0, nullptr},
        {-1, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type));
        std::unique_ptr<KycBlockCipher> cipher(Kyc::createCipher(static_cast<Kyc::CIPHER>(c.type)));
        if (c.blockSize == 0) {
            EXPECT_EQ(cipher, nullptr);
            continue;
        }
        ASSERT_NE(cipher, nullptr);
        EXPECT_TRUE(c.isExpectedClass(cipher.get()));
        EXPECT_EQ(cipher->getCipherType(), c.type);
        EXPECT_EQ(cipher->getBlockSize(), c.blockSize);
    }
}

// ---- KycDES::isKeyWeak ------------------------------------------------------------------------

TEST(KycDESTest, RecognisesWeakAndSemiWeakKeys) {
    struct Case {
        const char* key;
        bool weak;
    };
    const Case cases[] = {
        {"0101010101010101", true},  {"fefefefefefefefe", true},  {"1f1f1f1f0e0e0e0e", true},
        {"e0e0e0e0f1f1f1f1", true},  {"0000000000000000", true},  // parity bits ignored
        {"01fe01fe01fe01fe", true},  {"fe01fe01fe01fe01", true},  {"1fe01fe00ef10ef1", true},
        {"e01fe01ff10ef10e", true},  {"01e001e001f101f1", true},  {"e001e001f101f101", true},
        {"1ffe1ffe0efe0efe", true},  {"fe1ffe1ffe0efe0e", true},  {"011f011f010e010e", true},
        {"1f011f010e010e01", true},  {"e0fee0fef1fef1fe", true},  {"fee0fee0fef1fef1", true},
        {"133457799bbcdff1", false}, {"0123456789abcdef", false}, {"0101010101010102", false},
    };
    KycDES des;
    for (const Case& c : cases) {
        const Bytes key = hex(c.key);
        EXPECT_EQ(des.isKeyWeak(key.data(), 8), c.weak) << c.key;
        EXPECT_EQ(des.isKeyWeak(KycBucket(key)), c.weak) << c.key;
    }
    EXPECT_THROW(des.isKeyWeak(nullptr, 8), KyException);
}

// ---- KycBlowfish: the module's whole-buffer CBC ------------------------------------------

class BlowfishCBC61Test : public ::testing::Test {
protected:
    void SetUp() override {
        const Bytes key = hex("0123456789abcdeffedcba9876543210");
        bf.setKey(key.data(), static_cast<int>(key.size()));
        bf.setIV(iv.data(), 8);
    }

    KycBlowfish bf;
    const Bytes iv = hex("fedcba9876543210");
};

TEST_F(BlowfishCBC61Test, PadsAPartialBlockAndAdvancesTheChain) {
    const Bytes plain = pattern(13);
    Bytes out(16);
    ASSERT_EQ(bf.encCBC61(plain.data(), out.data(), 13), 16);
    // The chain now ends in the last ciphertext block.
    EXPECT_EQ(Bytes(bf.getIV().getData(), bf.getIV().getData() + 8),
              Bytes(out.begin() + 8, out.end()));

    // Whole blocks are plain CBC: the same bytes as the mode over the zero-padded input.
    Bytes padded = plain;
    padded.resize(16, 0);
    bf.setIV(iv.data(), 8);
    Bytes viaMode(16);
    bf.encCBC(padded.data(), viaMode.data(), 16);
    EXPECT_EQ(out, viaMode);

    bf.setIV(iv.data(), 8);
    Bytes back(16);
    ASSERT_EQ(bf.decCBC61(out.data(), back.data(), 16), 16);
    EXPECT_EQ(back, padded);
}

TEST_F(BlowfishCBC61Test, ConsecutiveCallsContinueOneChain) {
    const Bytes plain = pattern(24);
    Bytes once(24), twice(24);
    bf.encCBC61(plain.data(), once.data(), 24);
    bf.setIV(iv.data(), 8);
    bf.encCBC61(plain.data(), twice.data(), 8);
    bf.encCBC61(plain.data() + 8, twice.data() + 8, 16);
    EXPECT_EQ(once, twice);
}

TEST_F(BlowfishCBC61Test, BucketFormsReturnTheWrittenBytes) {
    const KycBucket sealed = bf.encCBC61(KycBucket(pattern(13).data(), 13));
    EXPECT_EQ(sealed.getSize(), 16);
    bf.setIV(iv.data(), 8);
    const KycBucket opened = bf.decCBC61(sealed);
    ASSERT_EQ(opened.getSize(), 16);
    Bytes expected = pattern(13);
    expected.resize(16, 0);
    EXPECT_EQ(Bytes(opened.getData(), opened.getData() + 16), expected);
}

TEST_F(BlowfishCBC61Test, ChecksComeInOrder) {
    unsigned char buf[16] = {};
    EXPECT_EQ(thrownMessage([&] { bf.decCBC61(buf, buf, 13); }),
              "Cannot decrypt data: Encrypted data must be provided in 8-byte blocks.");
    EXPECT_EQ(thrownMessage([&] { bf.encCBC61(buf, nullptr, 8); }),
              "Cannot encrypt data: NULL output buffer pointer.");
    EXPECT_EQ(thrownMessage([&] { bf.decCBC61(buf, nullptr, 8); }),
              "Cannot decrypt data: NULL output buffer pointer.");
    EXPECT_EQ(thrownTag([&] { bf.decCBC61(buf, nullptr, 8); }), "KycBlowfish::decCBC61");
    // Nothing to do is not an error, even without an output buffer.
    EXPECT_EQ(bf.encCBC61(nullptr, nullptr, 8), 0);
    EXPECT_EQ(bf.decCBC61(buf, nullptr, 0), 0);

    KycBlowfish noIV;
    const Bytes key = hex("0123456789abcdef");
    noIV.setKey(key.data(), 8);
    EXPECT_EQ(thrownMessage([&] { noIV.encCBC61(buf, buf, 8); }),
              "Cannot encrypt data: They IV must be preset.");
    EXPECT_EQ(thrownMessage([&] { noIV.decCBC61(buf, buf, 13); }),
              "Cannot decrypt data: They IV must be preset.");

    KycBlowfish noKey;
    EXPECT_EQ(thrownMessage([&] { noKey.encCBC61(nullptr, nullptr, 0); }),
              "Cannot encrypt data: They key must be preset.");
    EXPECT_EQ(thrownMessage([&] { noKey.decCBC61(buf, buf, 13); }),
              "Cannot decrypt data: They key must be preset.");
    EXPECT_EQ(thrownTag([&] { noKey.encCBC61(buf, buf, 8); }), "KycBlowfish::encCBC61");
}

TEST_F(BlowfishCBC61Test, NegativeLengthIsRefused) {
    unsigned char buf[8] = {};
    EXPECT_THROW(bf.encCBC61(buf, buf, -8), KyException);
    EXPECT_THROW(bf.decCBC61(buf, buf, -8), KyException);
}

// ---- CBC with ciphertext stealing against an independent implementation ---------------------

// AES-128-CBC-CTS in the CS2 layout, straight from OpenSSL: an implementation of the
// stealing layout written by other hands.
Bytes openSslCs2Encrypt(const Bytes& key, const Bytes& iv, const Bytes& plain) {
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CBC-CTS", nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    char mode[] = "CS2";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_CIPHER_PARAM_CTS_MODE, mode, 0),
                           OSSL_PARAM_construct_end()};
    Bytes out(plain.size());
    int outLen = 0;
    const bool good = cipher != nullptr && ctx != nullptr &&
                      EVP_CipherInit_ex2(ctx, cipher, key.data(), iv.data(), 1, params) == 1 &&
                      EVP_CipherUpdate(ctx, out.data(), &outLen, plain.data(),
                                       static_cast<int>(plain.size())) == 1;
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    if (!good)
        return {};
    out.resize(static_cast<std::size_t>(outLen));
    return out;
}

TEST(KycAESStealingTest, MatchesAnIndependentCS2Implementation) {
    const Bytes key = hex("2b7e151628aed2a6abf7158809cf4f3c");
    const Bytes iv = hex("000102030405060708090a0b0c0d0e0f");
    KycAES aes;
    aes.setKey(key.data(), 16);
    for (int len = 17; len <= 64; ++len) {
        SCOPED_TRACE("length " + std::to_string(len));
        const Bytes plain = pattern(len, static_cast<unsigned>(len));
        const Bytes expected = openSslCs2Encrypt(key, iv, plain);
        ASSERT_EQ(expected.size(), plain.size());

        aes.setIV(iv.data(), 16);
        Bytes out(plain.size());
        ASSERT_EQ(aes.encCBC(plain.data(), out.data(), len), len);
        EXPECT_EQ(out, expected);

        aes.setIV(iv.data(), 16);
        Bytes back(plain.size());
        ASSERT_EQ(aes.decCBC(expected.data(), back.data(), len), len);
        EXPECT_EQ(back, plain);
    }
}

}  // namespace
