#include "kylib/crypto/KycRSA.h"

#include <gtest/gtest.h>

#include <string>

#include "kylib/crypto/Kyc.h"
#include "kylib/diagnostics/KyException.h"
#include "tests/kylib/crypto/CryptoTestSupport.h"

namespace {

constexpr int kBits = 2048;
constexpr int kModulus = kBits / 8;

KycBucket pattern(int len, int seed = 1) {
    KycBucket out(len);
    for (int i = 0; i < len; ++i)
        out[i] = static_cast<unsigned char>(i * 29 + seed * 13);
    return out;
}

using kytest::thrownMessage;

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Key generation is slow under the sanitizers: one pair for the whole binary, in both
// encodings.
struct KeyPair {
    KycBucket pubDer, priDer, pub, pri;
};

const KeyPair& keys() {
    static const KeyPair pair = [] {
        KeyPair p;
        KycRSA rsa;
        rsa.genKeyPair(kBits);
        p.pubDer = rsa.getPubKey(true);
        p.priDer = rsa.getPriKey(true);
        p.pub = rsa.getPubKey(false);
        p.pri = rsa.getPriKey(false);
        return p;
    }();
    return pair;
}

class KycRSATest : public ::testing::Test {
protected:
    void SetUp() override {
        pub.setPubKey(keys().pubDer, true);
        pri.setPriKey(keys().priDer, true);
    }
    KycRSA pub;
    KycRSA pri;
};

TEST_F(KycRSATest, EncryptionBufferIsWholeBlocksOfPayload) {
    struct Case {
        bool padding;
        int len;
        int size;
    };
    const Case cases[] = {
        {true, 0, 0},    {true, 1, 256},    {true, 245, 256},  {true, 246, 512},  {true, 500, 768},
        {false, 1, 256}, {false, 256, 256}, {false, 257, 512}, {false, 768, 768},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.padding) + "/" + std::to_string(c.len));
        pub.enablePadding(c.padding);
        EXPECT_EQ(pub.getEncBufSize(c.len), c.size);
    }
    EXPECT_EQ(pub.getModSize(), kModulus);
}

TEST_F(KycRSATest, EncryptsInPiecesAndDecryptsBack) {
    for (int len : {1, 245, 246, 500}) {
        SCOPED_TRACE(len);
        const KycBucket plain = pattern(len);
        const KycBucket sealed = pub.encrypt(plain);
        EXPECT_EQ(sealed.getSize(), pub.getEncBufSize(len));
        EXPECT_EQ(pri.decrypt(sealed), plain);
    }
}

TEST_F(KycRSATest, RawBlocksWithoutPadding) {
    pub.enablePadding(false);
    pri.enablePadding(false);
    EXPECT_FALSE(pub.isPaddingEnabled());
    KycBucket plain = pattern(2 * kModulus);
    plain[0] = 0;  // each block a number below the modulus
    plain[kModulus] = 0;
    const KycBucket sealed = pub.encrypt(plain);
    EXPECT_EQ(sealed.getSize(), 2 * kModulus);
    EXPECT_EQ(pri.decrypt(sealed), plain);
}

TEST_F(KycRSATest, CiphertextMustBeWholeBlocks) {
    EXPECT_EQ(thrownMessage([&] { pri.decrypt(pattern(300)); }),
              "Cannot decrypt RSA ciphertext: data length is not multiple of the modulus.");
}

TEST_F(KycRSATest, AnotherKeyCannotDecrypt) {
    KycRSA stranger;
    stranger.genKeyPair(1024);
    KycRSA strangerPub;
    strangerPub.setPubKey(stranger.getPubKey(true), true);
    // A 1024-bit block is not a whole number of 2048-bit blocks.
    EXPECT_EQ(thrownMessage([&] { pri.decrypt(strangerPub.encrypt(pattern(32))); }),
              "Cannot decrypt RSA ciphertext: data length is not multiple of the modulus.");
    // Two 1024-bit blocks by length, but neither decrypts to a padded block.
    EXPECT_TRUE(startsWith(thrownMessage([&] { stranger.decrypt(pub.encrypt(pattern(32))); }),
                           "Failed to decrypt one data block with RSA: "));
}

TEST_F(KycRSATest, SignsAndVerifies) {
    const KycBucket data = pattern(1000);
    const KycBucket sig = pri.sign(data);
    EXPECT_EQ(sig.getSize(), kModulus);
    EXPECT_TRUE(pub.verify(data, sig));

    KycBucket altered(data);
    altered[500] ^= 0x80;
    EXPECT_FALSE(pub.verify(altered, sig));
    KycBucket badSig(sig);
    badSig[0] ^= 0x01;
    EXPECT_FALSE(pub.verify(data, badSig));
    EXPECT_FALSE(pub.verify(data, KycBucket()));

    // A public key alone cannot sign; the module's own reason is the message.
    EXPECT_NE(thrownMessage([&] { pub.sign(data); }), "(nothing thrown)");
}

// Keys read back from either encoding work in a fresh object, which is how they travel.
TEST_F(KycRSATest, KeysTravelInEitherEncoding) {
    for (bool der : {true, false}) {
        SCOPED_TRACE(der);
        KycRSA sender, receiver;
        sender.setPubKey(der ? keys().pubDer : keys().pub, der);
        receiver.setPriKey(der ? keys().priDer : keys().pri, der);
        EXPECT_EQ(sender.getPubKey(der), der ? keys().pubDer : keys().pub);
        EXPECT_EQ(receiver.getPriKey(der), der ? keys().priDer : keys().pri);
        EXPECT_EQ(receiver.decrypt(sender.encrypt(pattern(64))), pattern(64));
    }
    // The DER and the module's encodings are different bytes of the same key.
    EXPECT_NE(keys().pubDer, keys().pub);
}

TEST_F(KycRSATest, PemTextIsAccepted) {
    const std::string pubPem(reinterpret_cast<const char*>(keys().pub.getData()),
                             static_cast<std::size_t>(keys().pub.getSize()));
    const std::string priPem(reinterpret_cast<const char*>(keys().pri.getData()),
                             static_cast<std::size_t>(keys().pri.getSize()));
    KycRSA sender, receiver;
    sender.setPubKeyPEM(pubPem.c_str());
    receiver.setPriKeyPEM(priPem.c_str(), nullptr);
    EXPECT_EQ(receiver.decrypt(sender.encrypt(pattern(10))), pattern(10));
}

TEST(KycRSA, StaticGenerationGivesAMatchingPair) {
    KycBucket pub, pri;
    KycRSA::genKeyPair(1024, pub, pri, true);
    KycRSA sender, receiver;
    sender.setPubKey(pub, true);
    receiver.setPriKey(pri, true);
    EXPECT_EQ(sender.getModSize(), 128);
    EXPECT_EQ(receiver.decrypt(sender.encrypt(pattern(200))), pattern(200));
}

TEST(KycRSA, FailuresCarryTheirMessages) {
    const KycBucket junk = pattern(100);
    struct Case {
        const char* prefix;
        void (*call)(KycRSA&, const KycBucket&);
    };
    const Case cases[] = {
        {"Failed to set RSA private key: ",
         [](KycRSA& r, const KycBucket& k) { r.setPriKey(k, true); }},
        {"Failed to set RSA public key: ",
         [](KycRSA& r, const KycBucket& k) { r.setPubKey(k, true); }},
        {"Failed to set RSA private key: ",
         [](KycRSA& r, const KycBucket& k) { r.setPriKey(k, false); }},
        {"Failed to set RSA public key: ",
         [](KycRSA& r, const KycBucket&) { r.setPubKeyPEM("x"); }},
        {"Failed to retrieve modulus size from RSA cipher: ",
         [](KycRSA& r, const KycBucket&) { r.getModSize(); }},
        {"Failed to retrieve RSA private key from RSA cipher: ",
         [](KycRSA& r, const KycBucket&) { r.getPriKey(true); }},
        {"Failed to retrieve RSA public key from RSA cipher: ",
         [](KycRSA& r, const KycBucket&) { r.getPubKey(false); }},
        {"Failed to generate RSA key pair: ",
         [](KycRSA& r, const KycBucket&) { r.genKeyPair(-1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.prefix);
        KycRSA rsa;  // no key
        const std::string message = thrownMessage([&] { c.call(rsa, junk); });
        EXPECT_TRUE(startsWith(message, c.prefix)) << message;
        EXPECT_GT(message.size(), std::string(c.prefix).size()) << "the module's reason is missing";
    }
}

}  // namespace
