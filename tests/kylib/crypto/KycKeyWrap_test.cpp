#include "kylib/crypto/KycKeyWrap.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycCipher.h"
#include "kylib/diagnostics/KyException.h"
#include "tests/kylib/crypto/CryptoTestSupport.h"

namespace {

KycBucket hex(const char* text) {
    return Kyc::hex2bin(text);
}

KycBucket pattern(int len, int seed = 1) {
    KycBucket out(len);
    for (int i = 0; i < len; ++i)
        out[i] = static_cast<unsigned char>(i * 37 + seed * 11);
    return out;
}

using kytest::thrownMessage;

std::unique_ptr<KycBlockCipher> keyedAES(const KycBucket& key) {
    auto aes = std::make_unique<KycAES>();
    aes->setKey(key);
    return aes;
}

std::unique_ptr<KycBlockCipher> keyedBlowfish(const KycBucket& key) {
    auto bf = std::make_unique<KycBlowfish>();
    bf->setKey(key);
    return bf;
}

const char* const kKek128 = "000102030405060708090A0B0C0D0E0F";
const char* const kKek192 = "000102030405060708090A0B0C0D0E0F1011121314151617";
const char* const kKek256 = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";

// RFC 3394, section 4: the unpadded rounds are exactly the standard's AES key wrap.
struct RfcVector {
    const char* kek;
    const char* data;
    const char* wrapped;
};

const RfcVector kRfcVectors[] = {
    {kKek128, "00112233445566778899AABBCCDDEEFF",
     "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5"},
    {kKek192, "00112233445566778899AABBCCDDEEFF",
     "96778B25AE6CA435F92B5B97C050AED2468AB8A17AD84E5D"},
    {kKek256, "00112233445566778899AABBCCDDEEFF",
     "64E8C3F9CE0F5BA263E9777905818A2A93C8191E7D6E8AE7"},
    {kKek192, "00112233445566778899AABBCCDDEEFF0001020304050607",
     "031D33264E15D33268F24EC260743EDCE1C6C7DDEE725A936BA814915C6762D2"},
    {kKek256, "00112233445566778899AABBCCDDEEFF0001020304050607",
     "A8F9BC1612C68B3FF6E6F4FBE30E71E4769C8B80A32CB8958CD5D17D6B254DA1"},
    {kKek256, "00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F",
     "28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21"},
};

TEST(KycKeyWrap, RoundsMatchTheStandardVectors) {
    for (const RfcVector& v : kRfcVectors) {
        SCOPED_TRACE(v.wrapped);
        auto aes = keyedAES(hex(v.kek));
        KycKeyWrap wrapper(aes.get());
        EXPECT_EQ(wrapper.wrapBlocks(hex(v.data)), hex(v.wrapped));
        EXPECT_EQ(wrapper.unWrapBlocks(hex(v.wrapped)), hex(v.data));
    }
}

// The padded form is the standard rounds over the key plus p bytes of value p.
TEST(KycKeyWrap, WrapPadsWithItsLengthThenRunsTheRounds) {
    auto aes = keyedAES(hex(kKek128));
    KycKeyWrap wrapper(aes.get());
    for (int len : {0, 1, 7, 8, 15, 16, 20, 31}) {
        SCOPED_TRACE(len);
        const KycBucket key = pattern(len);
        const int p = (len / 8 + 1) * 8 - len;
        KycBucket padded(key);
        for (int i = 0; i < p; ++i)
            padded.append(std::vector<unsigned char>{static_cast<unsigned char>(p)});
        EXPECT_EQ(wrapper.wrap(key), wrapper.wrapBlocks(padded));
    }
}

struct SizeCase {
    bool aes;  // else Blowfish: an 8-byte block, 4-byte half-blocks
    int keyLen;
    int wrappedLen;
};

const SizeCase kSizes[] = {
    {true, 0, 16}, {true, 1, 16}, {true, 8, 24},  {true, 16, 32},  {true, 20, 32},  {true, 40, 56},
    {false, 0, 8}, {false, 3, 8}, {false, 4, 12}, {false, 16, 24}, {false, 21, 28},
};

TEST(KycKeyWrap, WrapsEveryLengthAndUnwrapsItBack) {
    for (const SizeCase& c : kSizes) {
        SCOPED_TRACE(std::string(c.aes ? "AES " : "Blowfish ") + std::to_string(c.keyLen));
        auto cipher = c.aes ? keyedAES(pattern(16, 3)) : keyedBlowfish(pattern(16, 3));
        KycKeyWrap wrapper(cipher.get());
        const KycBucket key = pattern(c.keyLen, 5);
        const KycBucket wrapped = wrapper.wrap(key);
        EXPECT_EQ(wrapped.getSize(), c.wrappedLen);
        EXPECT_EQ(wrapper.unWrap(wrapped), key);
    }
}

TEST(KycKeyWrap, AnotherKeyOrAnAlteredByteIsRefused) {
    auto right = keyedAES(pattern(16, 1));
    auto wrong = keyedAES(pattern(16, 2));
    KycKeyWrap wrapper(right.get());
    const KycBucket wrapped = wrapper.wrap(pattern(16));

    KycKeyWrap other(wrong.get());
    EXPECT_EQ(thrownMessage([&] { other.unWrap(wrapped); }), "Incorrect wrapping key");
    for (int index : {0, 8, 31}) {
        KycBucket altered(wrapped);
        altered[index] ^= 0x01;
        EXPECT_EQ(thrownMessage([&] { wrapper.unWrap(altered); }), "Incorrect wrapping key")
            << index;
    }
}

TEST(KycKeyWrap, MalformedLengthsAreRefused) {
    const std::string divisible =
        "Invalid wrapped data length: must be divisible by cipher's half-block size.";
    const std::string tooShort = "Invalid wrapped data length: shorter than two half-blocks.";
    struct Case {
        KycBucket input;
        std::string message;
    };
    KycBucket checkOnly(8);
    for (int i = 0; i < 8; ++i)
        checkOnly[i] = 0xA6;  // exactly the initial value, nothing wrapped after it
    const Case cases[] = {
        {KycBucket(), tooShort},
        {checkOnly, tooShort},
        {KycBucket(3), divisible},
        {KycBucket(17), divisible},
    };
    auto aes = keyedAES(pattern(16));
    KycKeyWrap wrapper(aes.get());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input.getSize());
        EXPECT_EQ(thrownMessage([&] { wrapper.unWrap(c.input); }), c.message);
        EXPECT_EQ(thrownMessage([&] { wrapper.unWrapBlocks(c.input); }), c.message);
    }
}

// Data that passes the initial-value check but ends in something that is not padding.
TEST(KycKeyWrap, BadPaddingIsRefused) {
    auto aes = keyedAES(pattern(16));
    KycKeyWrap wrapper(aes.get());
    const char* const tails[] = {
        "0102030405060700",  // p = 0
        "0102030405060709",  // p > half-block
        "0102030405060303",  // p = 3, but only two bytes of 3
        "1111111111111111",  // p = 17
    };
    for (const char* tail : tails) {
        SCOPED_TRACE(tail);
        KycBucket padded = pattern(8);
        padded.append(hex(tail));
        EXPECT_EQ(thrownMessage([&] { wrapper.unWrap(wrapper.wrapBlocks(padded)); }),
                  "Failed to unwrap key data: padding check failed.");
    }
}

TEST(KycKeyWrap, NeedsAKeyedCipher) {
    EXPECT_EQ(thrownMessage([] { KycKeyWrap wrapper(nullptr); }),
              "NULL block cipher passed as input.");
    KycAES unkeyed;
    KycKeyWrap wrapper(&unkeyed);
    const std::string message = "Block cipher should have been preset with encryption key.";
    EXPECT_EQ(thrownMessage([&] { wrapper.wrap(pattern(16)); }), message);
    EXPECT_EQ(thrownMessage([&] { wrapper.unWrap(pattern(24)); }), message);
}

}  // namespace
