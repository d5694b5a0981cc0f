#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/kycl/KyclTestSupport.h"

namespace {

using namespace kycl_test;

// ---- Known answers -----------------------------------------------------------------------

struct KnownAnswer {
    const char* cipher;
    const char* key;
    const char* plain;
    const char* encrypted;
    const char* source;
};

void PrintTo(const KnownAnswer& v, std::ostream* os) {
    *os << v.cipher << " key " << v.key << " (" << v.source << ")";
}

// Published vectors where they exist. Rows marked "frozen" were computed once by this
// module and guard against a change of backend, S-box set or byte order; the published
// rows beside them show that the backend's conventions are the standard ones.
const KnownAnswer kKnownAnswers[] = {
    {"aes", "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a", "FIPS-197 C.1"},
    {"aes", "000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
     "dda97ca4864cdfe06eaf70a0ec0d7191", "FIPS-197 C.2"},
    {"aes", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089", "FIPS-197 C.3"},
    {"aes", "2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
     "3925841d02dc09fbdc118597196a0b32", "FIPS-197 B"},
    {"des", "133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405", "DES worked example"},
    {"des", "0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815", "DES 'Now is t'"},
    {"3des", "0123456789abcdef23456789abcdef01456789abcdef0123", "5468652071756663",
     "a826fd8ce53b855f", "SP 800-67 example"},
    {"blowfish", "0000000000000000", "0000000000000000", "4ef997456198dd78", "Blowfish set"},
    {"blowfish", "ffffffffffffffff", "ffffffffffffffff", "51866fd5b85ecb8a", "Blowfish set"},
    {"blowfish", "3000000000000000", "1000000000000001", "7d856f9a613063f2", "Blowfish set"},
    {"blowfish", "fedcba9876543210", "0123456789abcdef", "0aceab0fc6a0a28d", "Blowfish set"},
    {"blowfish", "f0e1d2c3", "fedcba9876543210", "be1e639408640f05", "Blowfish key length 4"},
    {"blowfish", "f0e1d2c3b4a5968778695a4b3c2d1e0f0011223344556677", "fedcba9876543210",
     "05044b62fa52d080", "Blowfish key length 24"},
    {"twofish", "00000000000000000000000000000000", "00000000000000000000000000000000",
     "9f589f5cf6122c32b6bfec2f2ae8c35a", "Twofish 128-bit zero key"},
    {"twofish", "0000000000000000000000000000000000000000000000000000000000000000",
     "00000000000000000000000000000000", "57ff739d4dc92c1bd7fc01700cc8216f",
     "Twofish 256-bit zero key"},
    {"twofish", "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "df8451d26e0504bc19b0a93b049e3203", "frozen"},
    {"twofish", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "b7b5fb57ec446a11cbb7e6292342537b", "frozen"},
    {"serpent", "80000000000000000000000000000000", "00000000000000000000000000000000",
     "264e5481eff42a4606abda06c0bfda3d", "NESSIE set 1 vector 0"},
    {"serpent", "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "563e2cf8740a27c164804560391e9b27", "frozen"},
    {"serpent", "000102030405060708090a0b0c0d0e0f1011121314151617",
     "00112233445566778899aabbccddeeff", "6ab816c82de53b93005008afa2246a02", "frozen"},
    {"serpent", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "2868b7a2d28ecd5e4fdefac3c4330074", "frozen"},
    {"gost", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "0011223344556677",
     "76d54d820ed4e06f", "frozen, CryptoPro-A S-box"},
    {"gost", "0000000000000000000000000000000000000000000000000000000000000000", "0000000000000000",
     "974e67fed9c17d6b", "frozen, CryptoPro-A S-box"},
};

class CipherKnownAnswer : public KyclTest, public ::testing::WithParamInterface<KnownAnswer> {};

TEST_P(CipherKnownAnswer, EncryptsAndDecryptsOneBlock) {
    const KnownAnswer& v = GetParam();
    const CipherApi& api = cipher(v.cipher);
    CipherCtx ctx(api);
    ASSERT_EQ(ctx.setKey(hex(v.key)), 0) << kycl_get_last_error(ctx.get());
    EXPECT_EQ(toHex(ctx.ecb(hex(v.plain), true)), v.encrypted) << v.source;
    EXPECT_EQ(toHex(ctx.ecb(hex(v.encrypted), false)), v.plain) << v.source;
}

INSTANTIATE_TEST_SUITE_P(Vectors, CipherKnownAnswer, ::testing::ValuesIn(kKnownAnswers));

// ---- Modes, for every cipher -------------------------------------------------------------

Bytes pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<unsigned char>(seed + i * 7 + (i >> 3));
    }
    return b;
}

class EveryCipher : public KyclTest, public ::testing::WithParamInterface<CipherApi> {
protected:
    void SetUp() override {
        KyclTest::SetUp();
        ctx_.reset(new CipherCtx(GetParam()));
        ASSERT_EQ(ctx_->setKey(pattern(size_t(GetParam().keyLen), 0x40)), 0);
    }
    const CipherApi& api() const { return GetParam(); }
    size_t block() const { return size_t(GetParam().blockSize); }
    kycl_ctx* h() const { return ctx_->get(); }

    std::unique_ptr<CipherCtx> ctx_;
};

TEST_P(EveryCipher, CbcIsChainedEcbAndLeavesTheLastCipherBlockInIv) {
    const Bytes plain = pattern(5 * block(), 3);
    const Bytes iv0 = pattern(block(), 0x90);

    Bytes expected(plain.size());
    Bytes chain = iv0;
    for (size_t i = 0; i < plain.size(); i += block()) {
        Bytes x(block());
        for (size_t j = 0; j < block(); ++j) {
            x[j] = plain[i + j] ^ chain[j];
        }
        ASSERT_EQ(api().ecbEncrypt(h(), x.data(), &expected[i]), 0);
        chain.assign(expected.begin() + long(i), expected.begin() + long(i + block()));
    }

    Bytes iv = iv0;
    const Bytes encrypted = ctx_->cbc(plain, iv, true);
    EXPECT_EQ(toHex(encrypted), toHex(expected));
    EXPECT_EQ(toHex(iv), toHex(chain));

    iv = iv0;
    EXPECT_EQ(toHex(ctx_->cbc(encrypted, iv, false)), toHex(plain));
    EXPECT_EQ(toHex(iv), toHex(chain)) << "decryption must advance the IV the same way";
}

TEST_P(EveryCipher, CbcSplitAcrossCallsContinuesTheChain) {
    const Bytes plain = pattern(6 * block(), 11);
    Bytes ivWhole = pattern(block(), 1);
    Bytes ivSplit = ivWhole;
    const Bytes whole = ctx_->cbc(plain, ivWhole, true);

    Bytes first(plain.begin(), plain.begin() + long(2 * block()));
    Bytes rest(plain.begin() + long(2 * block()), plain.end());
    Bytes split = ctx_->cbc(first, ivSplit, true);
    Bytes tail = ctx_->cbc(rest, ivSplit, true);
    split.insert(split.end(), tail.begin(), tail.end());
    EXPECT_EQ(toHex(split), toHex(whole));
    EXPECT_EQ(toHex(ivSplit), toHex(ivWhole));
}

TEST_P(EveryCipher, BlocksCallsEqualOneBlockAtATime) {
    const Bytes plain = pattern(9 * block(), 5);
    const Bytes oneByOne = ctx_->ecb(plain, true);
    Bytes blocks(plain.size());
    ASSERT_EQ(api().ecbEncryptBlocks(h(), plain.data(), int(plain.size()), blocks.data()), 0);
    EXPECT_EQ(toHex(blocks), toHex(oneByOne));

    Bytes back(plain.size());
    ASSERT_EQ(api().ecbDecryptBlocks(h(), blocks.data(), int(blocks.size()), back.data()), 0);
    EXPECT_EQ(toHex(back), toHex(plain));
}

TEST_P(EveryCipher, InPlaceGivesTheSameBytes) {
    const Bytes plain = pattern(4 * block(), 21);
    const Bytes iv0 = pattern(block(), 0x33);
    Bytes iv = iv0;
    const Bytes encrypted = ctx_->cbc(plain, iv, true);

    Bytes buffer = encrypted;
    Bytes ivInPlace = iv0;
    ASSERT_EQ(
        api().cbcDecrypt(h(), buffer.data(), int(buffer.size()), buffer.data(), ivInPlace.data()),
        0);
    EXPECT_EQ(toHex(buffer), toHex(plain));
    EXPECT_EQ(toHex(ivInPlace), toHex(iv)) << "the next IV must be the ciphertext, not the output";

    buffer = plain;
    ASSERT_EQ(api().ecbEncryptBlocks(h(), buffer.data(), int(buffer.size()), buffer.data()), 0);
    EXPECT_EQ(toHex(buffer), toHex(ctx_->ecb(plain, true)));
    ASSERT_EQ(api().ecbEncrypt(h(), buffer.data(), buffer.data()), 0);
}

TEST_P(EveryCipher, EmptyInputSucceedsAndLeavesIvAlone) {
    Bytes iv = pattern(block(), 9);
    const Bytes before = iv;
    EXPECT_EQ(api().cbcEncrypt(h(), nullptr, 0, nullptr, iv.data()), 0);
    EXPECT_EQ(api().ecbEncryptBlocks(h(), nullptr, 0, nullptr), 0);
    EXPECT_EQ(iv, before);
}

TEST_P(EveryCipher, RekeyingChangesTheOutputAndDecryptsUnderTheNewKey) {
    const Bytes plain = pattern(block(), 1);
    const Bytes first = ctx_->ecb(plain, true);
    ASSERT_EQ(ctx_->setKey(pattern(size_t(api().keyLen), 0x41)), 0);
    const Bytes second = ctx_->ecb(plain, true);
    EXPECT_NE(toHex(first), toHex(second));
    EXPECT_EQ(toHex(ctx_->ecb(second, false)), toHex(plain));
}

TEST_P(EveryCipher, BadArgumentsFailWithoutTouchingBuffers) {
    Bytes in = pattern(2 * block(), 0);
    Bytes out(2 * block(), 0xAA);
    Bytes iv(block(), 0x55);
    const Bytes outBefore = out;
    const Bytes ivBefore = iv;
    struct Case {
        const char* what;
        int rc;
    };
    const int odd = int(block()) + 1;
    const Case cases[] = {
        {"ecb null in", api().ecbEncrypt(h(), nullptr, out.data())},
        {"ecb null out", api().ecbDecrypt(h(), in.data(), nullptr)},
        {"cbc odd length", api().cbcEncrypt(h(), in.data(), odd, out.data(), iv.data())},
        {"cbc negative length",
         api().cbcDecrypt(h(), in.data(), -int(block()), out.data(), iv.data())},
        {"cbc null iv", api().cbcEncrypt(h(), in.data(), int(block()), out.data(), nullptr)},
        {"cbc null out", api().cbcDecrypt(h(), in.data(), int(block()), nullptr, iv.data())},
        {"blocks odd length", api().ecbEncryptBlocks(h(), in.data(), odd, out.data())},
        {"blocks null in", api().ecbDecryptBlocks(h(), nullptr, int(block()), out.data())},
        {"overlapping buffers", api().ecbEncryptBlocks(h(), in.data(), int(block()), &in[1])},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.rc, KYCL_ERR_ARGUMENT) << c.what;
    }
    EXPECT_EQ(out, outBefore);
    EXPECT_EQ(iv, ivBefore);
    EXPECT_EQ(kycl_get_last_errno(h()), KYCL_ERR_ARGUMENT);
    EXPECT_STRNE(kycl_get_last_error(h()), "");
}

TEST_P(EveryCipher, NothingWorksBeforeAKeyIsSet) {
    CipherCtx fresh(api());
    Bytes in(block()), out(block()), iv(block());
    EXPECT_EQ(api().ecbEncrypt(fresh.get(), in.data(), out.data()), KYCL_ERR_STATE);
    EXPECT_EQ(api().ecbDecrypt(fresh.get(), in.data(), out.data()), KYCL_ERR_STATE);
    EXPECT_EQ(api().cbcEncrypt(fresh.get(), in.data(), int(block()), out.data(), iv.data()),
              KYCL_ERR_STATE);
    EXPECT_EQ(api().ecbDecryptBlocks(fresh.get(), in.data(), int(block()), out.data()),
              KYCL_ERR_STATE);
    EXPECT_EQ(kycl_get_last_errno(fresh.get()), KYCL_ERR_STATE);
}

TEST_P(EveryCipher, AFailedRekeyLeavesNoKey) {
    // A caller that misses the failure must not go on under the key it meant to replace.
    Bytes in(block()), out(block());
    ASSERT_EQ(api().ecbEncrypt(h(), in.data(), out.data()), 0);
    EXPECT_EQ(api().setKey(h(), in.data(), 3), KYCL_ERR_KEY);
    EXPECT_EQ(api().ecbEncrypt(h(), in.data(), out.data()), KYCL_ERR_STATE);
    EXPECT_EQ(api().setKey(h(), nullptr, api().keyLen), KYCL_ERR_ARGUMENT);
}

TEST_P(EveryCipher, AHandleOfAnotherKindIsRefused) {
    const CipherApi& other = std::string(api().name) == "aes" ? cipher("des") : cipher("aes");
    CipherCtx foreign(other);
    Bytes key = pattern(size_t(api().keyLen), 1);
    Bytes in(16), out(16);
    EXPECT_EQ(api().setKey(foreign.get(), key.data(), int(key.size())), KYCL_ERR_ARGUMENT);
    EXPECT_EQ(api().ecbEncrypt(foreign.get(), in.data(), out.data()), KYCL_ERR_ARGUMENT);
    EXPECT_EQ(api().ecbEncrypt(nullptr, in.data(), out.data()), KYCL_ERR_ARGUMENT);
    EXPECT_EQ(kycl_get_last_errno(nullptr), KYCL_ERR_ARGUMENT);
    api().destroy(nullptr);
    api().destroy(foreign.get());  // ignored: not this cipher's handle
    EXPECT_EQ(other.ecbEncrypt(foreign.get(), in.data(), out.data()), KYCL_ERR_STATE);
}

INSTANTIATE_TEST_SUITE_P(Ciphers, EveryCipher, ::testing::ValuesIn(allCiphers()),
                         [](const ::testing::TestParamInfo<CipherApi>& info) {
                             return std::string("c") + info.param.name;
                         });

// ---- Key lengths -------------------------------------------------------------------------

struct KeyLength {
    const char* cipher;
    int length;
    bool accepted;
};

void PrintTo(const KeyLength& k, std::ostream* os) {
    *os << k.cipher << " " << k.length << "-byte key";
}

const KeyLength kKeyLengths[] = {
    {"aes", 16, true},      {"aes", 24, true},       {"aes", 32, true},      {"aes", 0, false},
    {"aes", 15, false},     {"aes", 20, false},      {"aes", 33, false},     {"des", 8, true},
    {"des", 7, false},      {"des", 16, false},      {"3des", 16, true},     {"3des", 24, true},
    {"3des", 8, false},     {"3des", 32, false},     {"blowfish", 4, true},  {"blowfish", 56, true},
    {"blowfish", 3, false}, {"blowfish", 57, false}, {"twofish", 16, true},  {"twofish", 32, true},
    {"twofish", 24, false}, {"twofish", 8, false},   {"serpent", 16, true},  {"serpent", 24, true},
    {"serpent", 32, true},  {"serpent", 8, false},   {"serpent", 40, false}, {"gost", 32, true},
    {"gost", 16, false},    {"gost", 64, false},
};

class CipherKeyLength : public KyclTest, public ::testing::WithParamInterface<KeyLength> {};

TEST_P(CipherKeyLength, IsAcceptedOrRefusedWithAKeyError) {
    const KeyLength& k = GetParam();
    const CipherApi& api = cipher(k.cipher);
    CipherCtx ctx(api);
    const Bytes key = pattern(size_t(k.length) + 1, 7);  // never a null pointer, even for length 0
    EXPECT_EQ(api.setKey(ctx.get(), key.data(), k.length), k.accepted ? 0 : KYCL_ERR_KEY)
        << k.cipher << " " << k.length << ": " << kycl_get_last_error(ctx.get());
}

INSTANTIATE_TEST_SUITE_P(Lengths, CipherKeyLength, ::testing::ValuesIn(kKeyLengths));

// ---- Behaviour of single ciphers ---------------------------------------------------------

class TripleDes : public KyclTest {};

TEST_F(TripleDes, TwoKeyFormIsK1K2K1AndOneRepeatedKeyIsDes) {
    const Bytes k1 = hex("0123456789abcdef"), k2 = hex("23456789abcdef01");
    const Bytes plain = hex("5468652071756663");
    Bytes twoKey = k1;
    twoKey.insert(twoKey.end(), k2.begin(), k2.end());
    Bytes threeKey = twoKey;
    threeKey.insert(threeKey.end(), k1.begin(), k1.end());
    Bytes repeated = k1;
    repeated.insert(repeated.end(), k1.begin(), k1.end());
    repeated.insert(repeated.end(), k1.begin(), k1.end());

    CipherCtx tdes(cipher("3des")), des(cipher("des"));
    ASSERT_EQ(tdes.setKey(threeKey), 0);
    const std::string expected = toHex(tdes.ecb(plain, true));
    ASSERT_EQ(tdes.setKey(twoKey), 0);
    EXPECT_EQ(toHex(tdes.ecb(plain, true)), expected);

    ASSERT_EQ(tdes.setKey(repeated), 0);
    ASSERT_EQ(des.setKey(k1), 0);
    EXPECT_EQ(toHex(tdes.ecb(plain, true)), toHex(des.ecb(plain, true)));
}

TEST_F(KyclTest, GostEcbHasNoKeyMeshing) {
    // Key meshing would change the key after each kilobyte: every block of one long ECB
    // call must still come out as the single block does.
    CipherCtx ctx(cipher("gost"));
    ASSERT_EQ(ctx.setKey(hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f")),
              0);
    Bytes plain;
    for (int i = 0; i < 300; ++i) {
        Bytes b = hex("0011223344556677");
        plain.insert(plain.end(), b.begin(), b.end());
    }
    Bytes out(plain.size());
    ASSERT_EQ(kycl_gost_ecb_encrypt_blocks(ctx.get(), plain.data(), int(plain.size()), out.data()),
              0);
    for (size_t i = 0; i < out.size(); i += 8) {
        ASSERT_EQ(toHex(&out[i], 8), "76d54d820ed4e06f") << "block at " << i;
    }
}

struct WeakKeyCase {
    const char* key;
    bool weak;
};

void PrintTo(const WeakKeyCase& k, std::ostream* os) {
    *os << k.key;
}

const WeakKeyCase kWeakKeys[] = {
    {"0101010101010101", true},
    {"fefefefefefefefe", true},
    {"e0e0e0e0f1f1f1f1", true},
    {"1f1f1f1f0e0e0e0e", true},
    {"011f011f010e010e", true},
    {"1f011f010e010e01", true},
    {"01e001e001f101f1", true},
    {"e001e001f101f101", true},
    {"01fe01fe01fe01fe", true},
    {"fe01fe01fe01fe01", true},
    {"1fe01fe00ef10ef1", true},
    {"e01fe01ff10ef10e", true},
    {"1ffe1ffe0efe0efe", true},
    {"fe1ffe1ffe0efe0e", true},
    {"e0fee0fef1fef1fe", true},
    {"fee0fee0fef1fef1", true},
    // Parity bits do not count: these are the first weak keys with parity cleared or set.
    {"0000000000000000", true},
    {"ffffffffffffffff", true},
    {"e1e1e1e1f0f0f0f0", true},
    {"133457799bbcdff1", false},
    {"0123456789abcdef", false},
    {"0101010101010103", false},
};

class DesWeakKey : public KyclTest, public ::testing::WithParamInterface<WeakKeyCase> {};

TEST_P(DesWeakKey, IsRecognised) {
    CipherCtx ctx(cipher("des"));
    const Bytes key = hex(GetParam().key);
    EXPECT_EQ(kycl_des_is_key_weak(ctx.get(), key.data(), int(key.size())) != 0, GetParam().weak)
        << GetParam().key;
}

INSTANTIATE_TEST_SUITE_P(Keys, DesWeakKey, ::testing::ValuesIn(kWeakKeys));

TEST_F(KyclTest, DesWeakKeyCheckRefusesWhatIsNotADesKey) {
    CipherCtx ctx(cipher("des"));
    const Bytes key = hex("0101010101010101");
    EXPECT_EQ(kycl_des_is_key_weak(ctx.get(), key.data(), 7), 0);
    EXPECT_EQ(kycl_get_last_errno(ctx.get()), KYCL_ERR_ARGUMENT);
    EXPECT_EQ(kycl_des_is_key_weak(ctx.get(), nullptr, 8), 0);
    EXPECT_NE(kycl_des_is_key_weak(nullptr, key.data(), 8), 0);
}

}  // namespace
