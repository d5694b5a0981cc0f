#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycCipher.h"
#include "tools/kybasic/Commands.h"

namespace kybasic {
namespace {

struct Result {
    int code;
    std::string out;
    std::string err;
};

Result crypt(const std::vector<std::string>& args, const std::string& input) {
    std::istringstream in(input);
    std::ostringstream out, err;
    const int code = runCrypt(args, in, out, err);
    return {code, out.str(), err.str()};
}

std::string bytesOfHex(const char* hex) {
    const KycBucket b = Kyc::hex2bin(hex);
    return std::string(reinterpret_cast<const char*>(b.getData()), b.getSize());
}

std::string pattern(std::size_t len) {
    std::string s(len, '\0');
    for (std::size_t i = 0; i < len; ++i)
        s[i] = static_cast<char>((i * 29 + i / 256) & 0xFF);
    return s;
}

constexpr char kAesKey[] = "000102030405060708090a0b0c0d0e0f";
constexpr char kAesIV[] = "0f0e0d0c0b0a09080706050403020100";
constexpr char kBlowfishKey[] = "0123456789abcdeffedcba9876543210";
constexpr char kBlowfishIV[] = "fedcba9876543210";

TEST(CryptCommandTest, EncryptsThePublishedAesBlock) {
    const std::string plain = bytesOfHex("00112233445566778899aabbccddeeff");
    const Result r = crypt({"enc", "AES", "ecb", kAesKey}, plain);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Kyc::bin2hex(r.out.data(), static_cast<int>(r.out.size())),
              "69c4e0d86a7b0430d8cdb78070b4c55a");
    const Result back = crypt({"dec", "aes", "ECB", kAesKey}, r.out);
    EXPECT_EQ(back.code, 0) << back.err;
    EXPECT_EQ(back.out, plain);
}

TEST(CryptCommandTest, RoundTripsInEachModeAndMatchesTheLibrary) {
    struct Case {
        const char* cipher;
        const char* mode;
        const char* key;
        const char* iv;  // null for ecb
        std::size_t len;
    };
    const Case cases[] = {
        {"aes", "cbc", kAesKey, kAesIV, 16},
        {"aes", "cbc", kAesKey, kAesIV, 17},
        {"aes", "cbc", kAesKey, kAesIV, 1000},
        {"blowfish", "cbc", kBlowfishKey, kBlowfishIV, 13},
        {"aes", "ofb", kAesKey, kAesIV, 1},
        {"aes", "ofb", kAesKey, kAesIV, 200000},
        {"Blowfish", "ofb", kBlowfishKey, kBlowfishIV, 70000},
        {"aes", "ecb", kAesKey, nullptr, 48},
        {"des", "ecb", "133457799bbcdff1", nullptr, 64},
        {"3des", "cbc", "0123456789abcdef23456789abcdef01456789abcdef0123", kBlowfishIV, 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.cipher) + " " + c.mode + " " + std::to_string(c.len));
        const std::string plain = pattern(c.len);
        std::vector<std::string> args = {"enc", c.cipher, c.mode, c.key};
        if (c.iv != nullptr)
            args.push_back(c.iv);
        const Result sealed = crypt(args, plain);
        ASSERT_EQ(sealed.code, 0) << sealed.err;
        EXPECT_EQ(sealed.out.size(), plain.size());
        EXPECT_NE(sealed.out, plain);
        args[0] = "dec";
        const Result opened = crypt(args, sealed.out);
        ASSERT_EQ(opened.code, 0) << opened.err;
        EXPECT_EQ(opened.out, plain);
    }

    // The tool's bytes are the library's: OFB streamed in pieces equals one library call.
    const std::string plain = pattern(150000);
    KycAES aes;
    aes.setKey(Kyc::hex2bin(kAesKey));
    aes.setIV(Kyc::hex2bin(kAesIV));
    std::string expected = plain;
    aes.encOFB(expected.data(), static_cast<int>(expected.size()));
    EXPECT_EQ(crypt({"enc", "aes", "ofb", kAesKey, kAesIV}, plain).out, expected);
}

// What the help text promises for input shorter than one block.
TEST(CryptCommandTest, ShortInputPadsToOneBlock) {
    const Result ecb = crypt({"enc", "aes", "ecb", kAesKey}, "abc");
    EXPECT_EQ(ecb.out.size(), 16u);
    EXPECT_EQ(crypt({"dec", "aes", "ecb", kAesKey}, ecb.out).out,
              std::string("abc") + std::string(13, '\0'));
    const Result cbc = crypt({"enc", "aes", "cbc", kAesKey, kAesIV}, "abc");
    EXPECT_EQ(cbc.out.size(), 16u);
    EXPECT_EQ(crypt({"dec", "aes", "cbc", kAesKey, kAesIV}, cbc.out).out.substr(0, 3), "abc");
    EXPECT_EQ(crypt({"enc", "aes", "cbc", kAesKey, kAesIV}, "").out, "");
}

TEST(CryptCommandTest, UsageErrorsExitWith2AndNeverShowTheKey) {
    const std::string key = "00112233445566778899aabbccddeeff";
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"enc", "aes", "ecb"},
        {"enc", "aes", "ecb", key, kAesIV, "extra"},
        {"seal", "aes", "ecb", key},
        {"enc", "rot13", "ecb", key},
        {"enc", "aes", "ctr", key},
        {"enc", "aes", "ecb", key, kAesIV},
        {"enc", "aes", "cbc", key},
        {"enc", "aes", "ofb", key},
        {"enc", "aes", "ecb", "00112233445566778899aabbccddeefg"},
        {"enc", "aes", "ecb", "00112233445566778899aabbccddeef"},
        {"enc", "aes", "ecb", ""},
        {"enc", "aes", "cbc", key, "zz"},
        {"enc", "aes", "cbc", key, "0001020304050607"},
    };
    for (const auto& args : cases) {
        const Result r = crypt(args, "data");
        EXPECT_EQ(r.code, 2) << testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
        EXPECT_EQ(r.err.find("00112233445566778899aabbccddee"), std::string::npos) << r.err;
    }
}

TEST(CryptCommandTest, CipherFailuresExitWith1AndTheReason) {
    struct Case {
        std::vector<std::string> args;
        std::string input;
        const char* reason;
    };
    const Case cases[] = {
        {{"enc", "aes", "ecb", "0011223344"}, "data", "Failed to set AES key: "},
        {{"dec", "aes", "ecb", kAesKey}, "twenty bytes of data", "Cannot decrypt data: "},
        {{"dec", "aes", "cbc", kAesKey, kAesIV}, "short", "Cannot decrypt data: "},
    };
    for (const Case& c : cases) {
        const Result r = crypt(c.args, c.input);
        EXPECT_EQ(r.code, 1) << testing::PrintToString(c.args);
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("0011223344"), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace kybasic
