#include "kylib/crypto/KycHash.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "kylib/crypto/Kyc.h"
#include "kylib/diagnostics/KyException.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string hexOf(const unsigned char* data, int len) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < len; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

std::string hexOf(const KycBucket& b) {
    return hexOf(b.getData(), b.getSize());
}

Bytes bytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes repeated(unsigned char value, int count) {
    return Bytes(static_cast<std::size_t>(count), value);
}

static_assert(!std::is_copy_constructible_v<KycSHA256> && !std::is_copy_assignable_v<KycSHA256>);

struct Algorithm {
    const char* name;
    int digestSize;
    std::function<std::unique_ptr<KycHash>()> make;
    std::function<KycBucket(const void*, int)> oneCall;
    std::function<KycBucket(const KycBucket&)> oneCallBucket;
    const char* empty;
    const char* abc;
};

void PrintTo(const Algorithm& a, std::ostream* os) {
    *os << a.name;
}

template <class T>
std::unique_ptr<KycHash> makeOf() {
    return std::make_unique<T>();
}

const Algorithm kAlgorithms[] = {
    {"MD5", 16, makeOf<KycMD5>, [](const void* d, int n) { return Kyc::md5(d, n); },
     [](const KycBucket& b) { return Kyc::md5(b); }, "d41d8cd98f00b204e9800998ecf8427e",
     "900150983cd24fb0d6963f7d28e17f72"},
    {"SHA1", 20, makeOf<KycSHA1>, [](const void* d, int n) { return Kyc::sha1(d, n); },
     [](const KycBucket& b) { return Kyc::sha1(b); }, "da39a3ee5e6b4b0d3255bfef95601890afd80709",
     "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"SHA256", 32, makeOf<KycSHA256>, [](const void* d, int n) { return Kyc::sha256(d, n); },
     [](const KycBucket& b) { return Kyc::sha256(b); },
     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"SHA512", 64, makeOf<KycSHA512>, [](const void* d, int n) { return Kyc::sha512(d, n); },
     [](const KycBucket& b) { return Kyc::sha512(b); },
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
     "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
     "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
};

class HashTest : public ::testing::TestWithParam<Algorithm> {};

INSTANTIATE_TEST_SUITE_P(Digests, HashTest, ::testing::ValuesIn(kAlgorithms),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(HashTest, PublishedDigestsOfEmptyAndAbc) {
    const Algorithm& a = GetParam();
    EXPECT_EQ(hexOf(a.oneCall("", 0)), a.empty);
    EXPECT_EQ(hexOf(a.oneCall(nullptr, 0)), a.empty);
    EXPECT_EQ(hexOf(a.oneCall("abc", 3)), a.abc);
    EXPECT_EQ(hexOf(a.oneCallBucket(KycBucket("abc", 3))), a.abc);
    EXPECT_EQ(hexOf(a.oneCallBucket(KycBucket())), a.empty);

    auto hash = a.make();
    EXPECT_EQ(hash->getDigestSize(), a.digestSize);
    hash->addData(KycBucket("abc", 3));
    EXPECT_EQ(hexOf(hash->finish()), a.abc);
}

TEST_P(HashTest, DataSplitOverCallsGivesTheSameDigest) {
    std::string text(1000, '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>(i * 7);
    auto hash = GetParam().make();
    for (std::size_t off = 0; off < text.size(); off += 77)
        hash->addData(text.data() + off,
                      static_cast<int>(std::min<std::size_t>(77, text.size() - off)));
    EXPECT_EQ(hash->finish(), GetParam().oneCall(text.data(), static_cast<int>(text.size())));
}

TEST_P(HashTest, ResetStartsANewMessage) {
    auto hash = GetParam().make();
    hash->addData("some earlier message", 20);
    hash->reset();
    hash->addData("abc", 3);
    EXPECT_EQ(hexOf(hash->finish()), GetParam().abc);
    hash->reset();
    hash->addData("abc", 3);
    EXPECT_EQ(hexOf(hash->finish()), GetParam().abc);
}

TEST_P(HashTest, ShortBufferThrowsAndWritesNothing) {
    const Algorithm& a = GetParam();
    auto hash = a.make();
    hash->addData("abc", 3);
    Bytes buf(static_cast<std::size_t>(a.digestSize), 0x5A);
    try {
        hash->finish(buf.data(), a.digestSize - 1);
        FAIL() << "a short buffer was accepted";
    } catch (const KyException& e) {
        EXPECT_EQ(std::string(e.getMessage()), std::string("Buffer for ") + a.name +
                                                   " digest must be at least " +
                                                   std::to_string(a.digestSize) + "-byte long.");
        EXPECT_EQ(std::string(e.getFuncName()), std::string("Kyc") + a.name + "::finish");
    }
    EXPECT_EQ(buf, Bytes(buf.size(), 0x5A));
    // The message is still there for a buffer of the right size.
    hash->finish(buf.data(), a.digestSize);
    EXPECT_EQ(hexOf(buf.data(), a.digestSize), a.abc);
}

TEST_P(HashTest, BadDataArgumentsAreRefused) {
    auto hash = GetParam().make();
    const std::string prefix =
        std::string("Failed to feed more data to ") + GetParam().name + " hasher: ";
    for (int len : {-1, 5}) {
        try {
            hash->addData(len < 0 ? "abc" : nullptr, len);
            ADD_FAILURE() << "length " << len << " was accepted";
        } catch (const KyException& e) {
            EXPECT_EQ(std::string(e.getMessage()).rfind(prefix, 0), 0u) << e.getMessage();
        }
    }
}

// ---- HMAC -------------------------------------------------------------------------------------

struct HmacCase {
    const char* label;
    Bytes key;
    Bytes data;
    const char* sha1;    // RFC 2202, null where it has no such case
    const char* sha256;  // RFC 4231
};

std::vector<HmacCase> hmacCases() {
    const Bytes key25 = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13,
                         14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25};
    return {
        {"Case1", repeated(0x0b, 20), bytesOf("Hi There"),
         "b617318655057264e28bc0b6fb378c8ef146be00",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Case2", bytesOf("Jefe"), bytesOf("what do ya want for nothing?"),
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"Case3", repeated(0xaa, 20), repeated(0xdd, 50),
         "125d7342b9ac11cd91a39af48aa17b4f63f175d3",
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"Case4", key25, repeated(0xcd, 50), "4c9007f4026250c6bc8414f9bf50c86c2d7235da",
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {"Sha1Case5", repeated(0x0c, 20), bytesOf("Test With Truncation"),
         "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04", nullptr},
        {"Sha1Case6", repeated(0xaa, 80),
         bytesOf("Test Using Larger Than Block-Size Key - Hash Key First"),
         "aa4ae5e15272d00e95705637ce8a3b55ed402112", nullptr},
        {"Sha1Case7", repeated(0xaa, 80),
         bytesOf("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91", nullptr},
        {"Sha256Case6", repeated(0xaa, 131),
         bytesOf("Test Using Larger Than Block-Size Key - Hash Key First"), nullptr,
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"Sha256Case7", repeated(0xaa, 131),
         bytesOf("This is a test using a larger than block-size key and a larger than block-size "
                 "data. The key needs to be hashed before being used by the HMAC algorithm."),
         nullptr, "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
}

TEST(HmacTest, PublishedCases) {
    for (const HmacCase& c : hmacCases()) {
        SCOPED_TRACE(c.label);
        if (c.sha1 != nullptr) {
            KycSHA1 sha1;
            sha1.setKey(KycBucket(c.key));
            sha1.addData(c.data.data(), static_cast<int>(c.data.size()));
            EXPECT_EQ(hexOf(sha1.finish()), c.sha1);
        }
        if (c.sha256 != nullptr) {
            KycSHA256 sha256;
            sha256.setKey(c.key.data(), static_cast<int>(c.key.size()));
            sha256.addData(KycBucket(c.data));
            EXPECT_EQ(hexOf(sha256.finish()), c.sha256);
        }
    }
}

TEST(HmacTest, ResetKeepsTheKeyAndAnEmptyKeyGoesBackToThePlainDigest) {
    KycSHA1 sha1;
    sha1.setKey(bytesOf("Jefe").data(), 4);
    sha1.addData("some other message", 18);
    sha1.reset();
    const Bytes data = bytesOf("what do ya want for nothing?");
    sha1.addData(data.data(), static_cast<int>(data.size()));
    EXPECT_EQ(hexOf(sha1.finish()), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");

    sha1.setKey(KycBucket());
    sha1.addData("abc", 3);
    EXPECT_EQ(hexOf(sha1.finish()), "a9993e364706816aba3e25717850c26c9cd0d89d");

    sha1.setKey(nullptr, 0);
    sha1.addData("abc", 3);
    EXPECT_EQ(hexOf(sha1.finish()), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_THROW(sha1.setKey(nullptr, 4), KyException);
}

}  // namespace
