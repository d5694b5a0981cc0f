#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/kycl/KyclTestSupport.h"

namespace {

using namespace kycl_test;

const int kBits = 2048;
const int kModBytes = kBits / 8;

class Rsa {
public:
    Rsa() {
        char error[1024] = {};
        ctx_ = kycl_rsa_init(nullptr, error, sizeof(error));
        EXPECT_NE(ctx_, nullptr) << error;
    }
    ~Rsa() { kycl_rsa_destroy(ctx_); }
    Rsa(const Rsa&) = delete;
    Rsa& operator=(const Rsa&) = delete;

    kycl_ctx* get() const { return ctx_; }
    const char* error() const { return kycl_get_last_error(ctx_); }

    // Asks for the size first, as a caller with too small a buffer would.
    Bytes exportKey(int (*getter)(kycl_ctx*, void*, int*)) {
        int len = 0;
        EXPECT_EQ(getter(ctx_, nullptr, &len), KYCL_ERR_BUFFER);
        Bytes out(static_cast<size_t>(len > 0 ? len : 0));
        EXPECT_EQ(getter(ctx_, out.data(), &len), 0) << error();
        out.resize(size_t(len));
        return out;
    }
    Bytes encrypt(const Bytes& in) {
        Bytes out(kModBytes);
        int len = int(out.size());
        EXPECT_EQ(kycl_rsa_encrypt(ctx_, in.data(), int(in.size()), out.data(), &len), 0)
            << error();
        out.resize(size_t(len));
        return out;
    }
    Bytes decrypt(const Bytes& in) {
        Bytes out(kModBytes);
        int len = int(out.size());
        EXPECT_EQ(kycl_rsa_decrypt(ctx_, in.data(), int(in.size()), out.data(), &len), 0)
            << error();
        out.resize(size_t(len));
        return out;
    }
    Bytes sign(const Bytes& data) {
        Bytes sig(kModBytes);
        EXPECT_EQ(kycl_rsa_sign(ctx_, data.data(), int(data.size()), sig.data(), int(sig.size())),
                  0)
            << error();
        return sig;
    }
    int verify(const Bytes& data, const Bytes& sig) {
        return kycl_rsa_verify(ctx_, data.data(), int(data.size()), sig.data(), int(sig.size()));
    }

private:
    kycl_ctx* ctx_ = nullptr;
};

// One key pair per process: generation is the slow part, and every test only reads it.
class RsaTest : public KyclTest {
protected:
    static void SetUpTestSuite() {
        char error[1024] = {};
        ASSERT_EQ(kycl_init(nullptr, error, sizeof(error)), 0) << error;
        Rsa gen;
        ASSERT_EQ(kycl_rsa_gen_key_pair(gen.get(), kBits), 0) << gen.error();
        privateDer_ = new Bytes(gen.exportKey(kycl_rsa_get_pri_key_der));
        publicDer_ = new Bytes(gen.exportKey(kycl_rsa_get_pub_key_der));
    }
    static void TearDownTestSuite() {
        delete privateDer_;
        delete publicDer_;
    }

    static void loadPrivate(Rsa& rsa) {
        ASSERT_EQ(
            kycl_rsa_set_pri_key_der(rsa.get(), privateDer_->data(), int(privateDer_->size())), 0)
            << rsa.error();
    }
    static void loadPublic(Rsa& rsa) {
        ASSERT_EQ(kycl_rsa_set_pub_key_der(rsa.get(), publicDer_->data(), int(publicDer_->size())),
                  0)
            << rsa.error();
    }

    static Bytes* privateDer_;
    static Bytes* publicDer_;
};

Bytes* RsaTest::privateDer_ = nullptr;
Bytes* RsaTest::publicDer_ = nullptr;

struct Encoding {
    const char* name;
    int (*get)(kycl_ctx*, void*, int*);
    int (*set)(kycl_ctx*, const void*, int);
    bool isPrivate;
    const char* startsWith;  // hex of the first bytes
};

void PrintTo(const Encoding& e, std::ostream* os) {
    *os << e.name;
}

// DER: PKCS#1 RSAPrivateKey (SEQUENCE, INTEGER version 0) and SubjectPublicKeyInfo (SEQUENCE,
// SEQUENCE with the rsaEncryption OID); plain: the same structures as PEM text.
const Encoding kEncodings[] = {
    {"private DER", kycl_rsa_get_pri_key_der, kycl_rsa_set_pri_key_der, true, "3082"},
    {"public DER", kycl_rsa_get_pub_key_der, kycl_rsa_set_pub_key_der, false, "3082"},
    {"private PEM", kycl_rsa_get_pri_key, kycl_rsa_set_pri_key, true,
     "2d2d2d2d2d424547494e20525341205052495641544520"},  // -----BEGIN RSA PRIVATE
    {"public PEM", kycl_rsa_get_pub_key, kycl_rsa_set_pub_key, false,
     "2d2d2d2d2d424547494e205055424c4943204b4559"},  // -----BEGIN PUBLIC KEY
};

class RsaEncoding : public RsaTest, public ::testing::WithParamInterface<Encoding> {};

TEST_P(RsaEncoding, RoundTripsAndTheImportedKeyWorks) {
    const Encoding& e = GetParam();
    Rsa source;
    loadPrivate(source);
    const Bytes exported = source.exportKey(e.get);
    ASSERT_GE(exported.size(), strlen(e.startsWith) / 2);
    EXPECT_EQ(toHex(exported.data(), strlen(e.startsWith) / 2), e.startsWith);

    Rsa imported;
    ASSERT_EQ(e.set(imported.get(), exported.data(), int(exported.size())), 0) << imported.error();
    EXPECT_EQ(imported.exportKey(e.get), exported);
    int size = 0;
    ASSERT_EQ(kycl_rsa_get_mod_size(imported.get(), &size), 0);
    EXPECT_EQ(size, kModBytes);

    // The imported half works with the other half of the pair.
    const Bytes message = bytesOf("sealed data key");
    if (e.isPrivate) {
        EXPECT_EQ(imported.decrypt(source.encrypt(message)), message);
        EXPECT_EQ(source.verify(message, imported.sign(message)), 0);
    } else {
        EXPECT_EQ(source.decrypt(imported.encrypt(message)), message);
        EXPECT_EQ(imported.verify(message, source.sign(message)), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Encodings, RsaEncoding, ::testing::ValuesIn(kEncodings));

TEST_F(RsaTest, PemWithATerminatingNulIsAccepted) {
    Rsa source;
    loadPrivate(source);
    Bytes pem = source.exportKey(kycl_rsa_get_pri_key);
    pem.push_back('\0');
    Rsa imported;
    EXPECT_EQ(kycl_rsa_set_pri_key(imported.get(), pem.data(), int(pem.size())), 0)
        << imported.error();
    EXPECT_EQ(kycl_rsa_set_pri_key_pem(imported.get(), reinterpret_cast<const char*>(pem.data()),
                                       nullptr),
              0)
        << imported.error();
}

// An encrypted PEM of the suite's key, written by OpenSSL directly.
std::string encryptedPem(const Bytes& der, const char* passPhrase) {
    const unsigned char* p = der.data();
    EVP_PKEY* key = d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, long(der.size()));
    EXPECT_NE(key, nullptr);
    BIO* bio = BIO_new(BIO_s_mem());
    EXPECT_EQ(PEM_write_bio_PKCS8PrivateKey(bio, key, EVP_aes_256_cbc(), nullptr, 0, nullptr,
                                            const_cast<char*>(passPhrase)),
              1);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string pem(data, size_t(n));
    BIO_free(bio);
    EVP_PKEY_free(key);
    return pem;
}

TEST_F(RsaTest, EncryptedPemNeedsTheRightPassPhraseAndNeverPrompts) {
    const std::string pem = encryptedPem(*privateDer_, "correct horse");
    struct Case {
        const char* passPhrase;
        int expected;
    };
    const Case cases[] = {{"correct horse", 0},
                          {"wrong horse", KYCL_ERR_KEY},
                          {nullptr, KYCL_ERR_KEY},
                          {"", KYCL_ERR_KEY}};
    for (const Case& c : cases) {
        Rsa rsa;
        EXPECT_EQ(kycl_rsa_set_pri_key_pem(rsa.get(), pem.c_str(), c.passPhrase), c.expected)
            << (c.passPhrase ? c.passPhrase : "(null)") << ": " << rsa.error();
    }
    Rsa rsa;
    ASSERT_EQ(kycl_rsa_set_pri_key_pem(rsa.get(), pem.c_str(), "correct horse"), 0);
    EXPECT_EQ(rsa.exportKey(kycl_rsa_get_pri_key_der), *privateDer_);
}

TEST_F(RsaTest, PaddedEncryptionTakesUpToModulusLessElevenBytes) {
    Rsa rsa;
    loadPrivate(rsa);
    const Bytes longest(kModBytes - 11, 0x5a);
    const Bytes first = rsa.encrypt(longest);
    EXPECT_EQ(first.size(), size_t(kModBytes));
    EXPECT_NE(rsa.encrypt(longest), first) << "PKCS #1 v1.5 padding is random";
    EXPECT_EQ(rsa.decrypt(first), longest);

    const Bytes tooLong(kModBytes - 10, 0x5a);
    Bytes out(kModBytes);
    int len = int(out.size());
    EXPECT_EQ(kycl_rsa_encrypt(rsa.get(), tooLong.data(), int(tooLong.size()), out.data(), &len),
              KYCL_ERR_ARGUMENT);
}

TEST_F(RsaTest, ShortOutputBuffersReportTheSizeNeeded) {
    Rsa rsa;
    loadPrivate(rsa);
    const Bytes message = bytesOf("twenty-byte message!");
    Bytes out(kModBytes, 0xEE);

    int len = kModBytes - 1;
    EXPECT_EQ(kycl_rsa_encrypt(rsa.get(), message.data(), int(message.size()), out.data(), &len),
              KYCL_ERR_BUFFER);
    EXPECT_EQ(len, kModBytes);
    EXPECT_EQ(out, Bytes(kModBytes, 0xEE));

    const Bytes sealed = rsa.encrypt(message);
    len = int(message.size()) - 1;
    EXPECT_EQ(kycl_rsa_decrypt(rsa.get(), sealed.data(), int(sealed.size()), out.data(), &len),
              KYCL_ERR_BUFFER);
    EXPECT_EQ(len, int(message.size()));
    EXPECT_EQ(out, Bytes(kModBytes, 0xEE)) << "nothing written on failure";

    Bytes sig(kModBytes - 1);
    EXPECT_EQ(
        kycl_rsa_sign(rsa.get(), message.data(), int(message.size()), sig.data(), int(sig.size())),
        KYCL_ERR_BUFFER);

    // A private DER of a 2048-bit key does not fit the 1024 bytes a caller starts with.
    for (auto getter : {kycl_rsa_get_pri_key_der, kycl_rsa_get_pri_key, kycl_rsa_get_pub_key_der,
                        kycl_rsa_get_pub_key}) {
        Bytes buffer(1024);
        int size = 10;
        EXPECT_EQ(getter(rsa.get(), buffer.data(), &size), KYCL_ERR_BUFFER);
        EXPECT_GT(size, 10);
        ASSERT_LE(size_t(size), buffer.size() * 2);
        buffer.resize(size_t(size));
        EXPECT_EQ(getter(rsa.get(), buffer.data(), &size), 0) << rsa.error();
    }
}

TEST_F(RsaTest, RawModeIsTheBareModularPower) {
    Rsa rsa;
    loadPrivate(rsa);
    ASSERT_EQ(kycl_rsa_enable_padding(rsa.get(), 0), 0);
    Bytes block(kModBytes);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<unsigned char>(i * 13 + 1);
    }
    block[0] = 0x00;  // below the modulus
    const Bytes sealed = rsa.encrypt(block);
    EXPECT_EQ(rsa.encrypt(block), sealed) << "no padding, no randomness";
    EXPECT_EQ(rsa.decrypt(sealed), block);

    // A short block is a smaller number: it comes back with leading zeros.
    const Bytes shortBlock = bytesOf("abc");
    Bytes expected(kModBytes - 3, 0);
    expected.insert(expected.end(), shortBlock.begin(), shortBlock.end());
    EXPECT_EQ(rsa.decrypt(rsa.encrypt(shortBlock)), expected);
}

TEST_F(RsaTest, SignatureIsSha256Pkcs1v15) {
    Rsa rsa;
    loadPrivate(rsa);
    const Bytes message = bytesOf("the data to sign");
    const Bytes sig = rsa.sign(message);
    EXPECT_EQ(rsa.sign(message), sig) << "PKCS #1 v1.5 signatures are deterministic";

    // Opening the signature with the public key shows the encoded message:
    // 00 01 FF..FF 00, the SHA-256 DigestInfo prefix, the digest.
    Rsa opener;
    loadPublic(opener);
    ASSERT_EQ(kycl_rsa_enable_padding(opener.get(), 0), 0);
    const Bytes encoded = opener.encrypt(sig);
    kycl_ctx* sha = kycl_sha256_init(nullptr, nullptr, 0);
    Bytes digest(32);
    ASSERT_EQ(kycl_sha256_update(sha, message.data(), int(message.size())), 0);
    ASSERT_EQ(kycl_sha256_final(sha, digest.data()), 0);
    kycl_sha256_destroy(sha);
    const std::string tail = "003031300d060960864801650304020105000420" + toHex(digest);
    const std::string text = toHex(encoded);
    EXPECT_EQ(text.substr(0, 4), "0001");
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(text.find_first_not_of('f', 4), text.size() - tail.size());
}

TEST_F(RsaTest, VerifyRefusesAnythingAltered) {
    Rsa signer;
    loadPrivate(signer);
    Rsa verifier;
    loadPublic(verifier);
    const Bytes message = bytesOf("the data to sign");
    const Bytes sig = signer.sign(message);
    ASSERT_EQ(verifier.verify(message, sig), 0) << verifier.error();

    Bytes otherMessage = message;
    otherMessage.back() ^= 1;
    Bytes otherSig = sig;
    otherSig[100] ^= 0x80;
    const Bytes shortSig(sig.begin(), sig.end() - 1);
    EXPECT_EQ(verifier.verify(otherMessage, sig), KYCL_ERR_CRYPTO);
    EXPECT_EQ(verifier.verify(message, otherSig), KYCL_ERR_CRYPTO);
    EXPECT_EQ(verifier.verify(message, shortSig), KYCL_ERR_CRYPTO);
    EXPECT_STRNE(verifier.error(), "");

    Rsa stranger;
    ASSERT_EQ(kycl_rsa_gen_key_pair(stranger.get(), 1024), 0) << stranger.error();
    EXPECT_EQ(stranger.verify(message, sig), KYCL_ERR_CRYPTO);
}

TEST_F(RsaTest, APublicKeyAloneCannotDoPrivateWork) {
    Rsa rsa;
    loadPublic(rsa);
    const Bytes sealed = rsa.encrypt(bytesOf("x"));
    Bytes out(kModBytes);
    int len = int(out.size());
    EXPECT_EQ(kycl_rsa_decrypt(rsa.get(), sealed.data(), int(sealed.size()), out.data(), &len),
              KYCL_ERR_STATE);
    EXPECT_EQ(kycl_rsa_sign(rsa.get(), "x", 1, out.data(), int(out.size())), KYCL_ERR_STATE);
    len = int(out.size());
    EXPECT_EQ(kycl_rsa_get_pri_key_der(rsa.get(), out.data(), &len), KYCL_ERR_STATE);
    // Nor does a public key pass for a private one.
    EXPECT_EQ(kycl_rsa_set_pri_key_der(rsa.get(), publicDer_->data(), int(publicDer_->size())),
              KYCL_ERR_KEY);
}

TEST_F(RsaTest, MisuseFailsWithTheRightCode) {
    Rsa empty;
    Rsa keyed;
    loadPrivate(keyed);
    Bytes out(kModBytes);
    int len = int(out.size());
    int size = 0;
    const Bytes junk = bytesOf("not a key at all");
    struct Case {
        const char* what;
        int rc;
        int expected;
    };
    const Case cases[] = {
        {"mod size without a key", kycl_rsa_get_mod_size(empty.get(), &size), KYCL_ERR_STATE},
        {"encrypt without a key", kycl_rsa_encrypt(empty.get(), "x", 1, out.data(), &len),
         KYCL_ERR_STATE},
        {"verify without a key", kycl_rsa_verify(empty.get(), "x", 1, out.data(), 256),
         KYCL_ERR_STATE},
        {"export without a key", kycl_rsa_get_pub_key(empty.get(), out.data(), &len),
         KYCL_ERR_STATE},
        {"512-bit key", kycl_rsa_gen_key_pair(empty.get(), 512), KYCL_ERR_ARGUMENT},
        {"junk DER", kycl_rsa_set_pri_key_der(empty.get(), junk.data(), int(junk.size())),
         KYCL_ERR_KEY},
        {"junk PEM", kycl_rsa_set_pub_key_pem(empty.get(), "-----BEGIN PUBLIC KEY-----\n"),
         KYCL_ERR_KEY},
        {"null PEM", kycl_rsa_set_pri_key_pem(empty.get(), nullptr, nullptr), KYCL_ERR_ARGUMENT},
        {"null key", kycl_rsa_set_pub_key_der(empty.get(), nullptr, 100), KYCL_ERR_ARGUMENT},
        {"null size", kycl_rsa_get_mod_size(keyed.get(), nullptr), KYCL_ERR_ARGUMENT},
        {"null out length", kycl_rsa_encrypt(keyed.get(), "x", 1, out.data(), nullptr),
         KYCL_ERR_ARGUMENT},
        {"empty input", kycl_rsa_encrypt(keyed.get(), "x", 0, out.data(), &len), KYCL_ERR_ARGUMENT},
        {"decrypt not one block", kycl_rsa_decrypt(keyed.get(), out.data(), 100, out.data(), &len),
         KYCL_ERR_ARGUMENT},
        {"export null length", kycl_rsa_get_pub_key(keyed.get(), out.data(), nullptr),
         KYCL_ERR_ARGUMENT},
        {"null handle", kycl_rsa_get_mod_size(nullptr, &size), KYCL_ERR_ARGUMENT},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.rc, c.expected) << c.what;
    }
    // A failed key change leaves no key: nothing goes on under the key being replaced.
    ASSERT_EQ(kycl_rsa_set_pri_key_der(keyed.get(), junk.data(), int(junk.size())), KYCL_ERR_KEY);
    len = int(out.size());
    EXPECT_EQ(kycl_rsa_encrypt(keyed.get(), "x", 1, out.data(), &len), KYCL_ERR_STATE);
}

}  // namespace
