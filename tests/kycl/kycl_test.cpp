// The module as a whole: start-up, shutdown, status, version, error texts, and contexts
// used from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/kycl/KyclTestSupport.h"

namespace {

using namespace kycl_test;

TEST_F(KyclTest, VersionNamesTheModuleItsBackendsAndTheGostSboxSet) {
    int major = -1, minor = -1;
    const char* text = kycl_get_version(&major, &minor);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 0);
    const std::string version = text;
    for (const char* part : {"OpenSSL", "libgcrypt", "CryptoPro-A", "1.2.643.2.2.31.1"}) {
        EXPECT_NE(version.find(part), std::string::npos) << part << " missing from " << version;
    }
    EXPECT_EQ(kycl_get_version(nullptr, nullptr), text) << "the text lives as long as the module";
    EXPECT_EQ(kycl_get_status(), KYCL_STATE_LOADED);
}

struct FipsCase {
    const char* algorithm;
    int (*query)();
    bool approved;
};

const FipsCase kFips[] = {
    {"3DES", kycl_3des_is_fips_approved, true},
    {"AES", kycl_aes_is_fips_approved, true},
    {"Blowfish", kycl_blowfish_is_fips_approved, false},
    {"DES", kycl_des_is_fips_approved, false},
    {"GOST", kycl_gost_is_fips_approved, false},
    {"RSA sign", kycl_rsa_sign_is_fips_approved, true},
    {"RSA enc/dec", kycl_rsa_encdec_is_fips_approved, true},
    {"Serpent", kycl_serpent_is_fips_approved, false},
    {"Twofish", kycl_twofish_is_fips_approved, false},
    {"SHA1", kycl_sha1_is_fips_approved, true},
    {"SHA256", kycl_sha256_is_fips_approved, true},
    {"SHA512", kycl_sha512_is_fips_approved, true},
    {"MD5", kycl_md5_is_fips_approved, false},
};

TEST_F(KyclTest, FipsQueriesNameTheApprovedAlgorithms) {
    for (const FipsCase& c : kFips) {
        EXPECT_EQ(c.query() != 0, c.approved) << c.algorithm;
    }
}

TEST_F(KyclTest, ScramblerEntriesReportUnsupported) {
    unsigned char in[8] = {}, out[32] = {};
    int outLen = sizeof(out);
    EXPECT_EQ(kycl_scramble(in, 8, out, &outLen, 0, nullptr), KYCL_ERR_UNSUPPORTED);
    EXPECT_EQ(kycl_get_last_errno(nullptr), KYCL_ERR_UNSUPPORTED);
    EXPECT_STRNE(kycl_get_last_error(nullptr), "");
    kycl_ctx* ctx = kycl_sha1_init(nullptr, nullptr, 0);
    EXPECT_EQ(kycl_descramble(in, 8, out, &outLen, 0, ctx), KYCL_ERR_UNSUPPORTED);
    EXPECT_EQ(kycl_get_last_errno(ctx), KYCL_ERR_UNSUPPORTED);
    kycl_sha1_destroy(ctx);
}

// Every context-creating entry, with its destroy.
struct Creator {
    const char* name;
    kycl_ctx* (*init)(int*, char*, int);
    void (*destroy)(kycl_ctx*);
};

const Creator kCreators[] = {
    {"blowfish", kycl_blowfish_init, kycl_blowfish_destroy},
    {"twofish", kycl_twofish_init, kycl_twofish_destroy},
    {"serpent", kycl_serpent_init, kycl_serpent_destroy},
    {"aes", kycl_aes_init, kycl_aes_destroy},
    {"des", kycl_des_init, kycl_des_destroy},
    {"3des", kycl_3des_init, kycl_3des_destroy},
    {"gost", kycl_gost_init, kycl_gost_destroy},
    {"md5", kycl_md5_init, kycl_md5_destroy},
    {"sha1", kycl_sha1_init, kycl_sha1_destroy},
    {"sha256", kycl_sha256_init, kycl_sha256_destroy},
    {"sha512", kycl_sha512_init, kycl_sha512_destroy},
    {"rsa", kycl_rsa_init, kycl_rsa_destroy},
    {"twister", kycl_twister_init, kycl_twister_destroy},
    {"frand", kycl_frand_init, kycl_frand_destroy},
};

// After kycl_destroy the module refuses new contexts; the loader calls kycl_init again
// before it hands the module out anew.
class Destroyed : public KyclTest {
protected:
    void TearDown() override {
        char error[1024] = {};
        EXPECT_EQ(kycl_init(nullptr, error, sizeof(error)), 0) << error;
    }
};

TEST_F(Destroyed, LiveContextsKeepWorking) {
    // The library destroys the module at exit while static objects and other threads may
    // still hold contexts.
    CipherCtx aes(cipher("aes"));
    ASSERT_EQ(aes.setKey(hex("000102030405060708090a0b0c0d0e0f")), 0);
    kycl_ctx* sha = kycl_sha256_init(nullptr, nullptr, 0);
    kycl_ctx* frand = kycl_frand_init(nullptr, nullptr, 0);
    kycl_ctx* rsa = kycl_rsa_init(nullptr, nullptr, 0);
    ASSERT_TRUE(sha && frand && rsa);

    kycl_destroy();

    EXPECT_EQ(toHex(aes.ecb(hex("00112233445566778899aabbccddeeff"), true)),
              "69c4e0d86a7b0430d8cdb78070b4c55a");
    EXPECT_EQ(aes.setKey(hex("000102030405060708090a0b0c0d0e0f1011121314151617")), 0);
    Bytes digest(32);
    EXPECT_EQ(kycl_sha256_update(sha, "abc", 3), 0);
    EXPECT_EQ(kycl_sha256_final(sha, digest.data()), 0);
    EXPECT_EQ(toHex(digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(kycl_sha256_hmac_init(sha, "key", 3), 0);
    Bytes random(64);
    EXPECT_EQ(kycl_frand_get(frand, random.data(), int(random.size())), 0);
    EXPECT_EQ(kycl_rsa_gen_key_pair(rsa, 1024), 0) << kycl_get_last_error(rsa);

    kycl_sha256_destroy(sha);
    kycl_frand_destroy(frand);
    kycl_rsa_destroy(rsa);
}

TEST_F(Destroyed, NewContextsAreRefusedUntilInitAgain) {
    kycl_destroy();
    for (const Creator& c : kCreators) {
        char error[1024] = "untouched";
        int status = 0;
        EXPECT_EQ(c.init(&status, error, sizeof(error)), nullptr) << c.name;
        EXPECT_EQ(status, KYCL_ERR_STATE) << c.name;
        EXPECT_NE(std::string(error).find("not initialised"), std::string::npos) << error;
    }
    kycl_destroy();  // twice is harmless

    char error[1024] = {};
    ASSERT_EQ(kycl_init(nullptr, error, sizeof(error)), 0) << error;
    for (const Creator& c : kCreators) {
        int status = -1;
        kycl_ctx* ctx = c.init(&status, error, sizeof(error));
        EXPECT_NE(ctx, nullptr) << c.name << ": " << error;
        EXPECT_EQ(status, 0) << c.name;
        c.destroy(ctx);
        c.destroy(nullptr);
    }
}

TEST_F(Destroyed, TheErrorTextIsCutToTheCallersBuffer) {
    kycl_destroy();
    char small[8];
    std::memset(small, 'x', sizeof(small));
    EXPECT_EQ(kycl_aes_init(nullptr, small, sizeof(small)), nullptr);
    EXPECT_EQ(std::strlen(small), sizeof(small) - 1);
    EXPECT_EQ(kycl_aes_init(nullptr, nullptr, 0), nullptr);
    char one[1] = {'x'};
    EXPECT_EQ(kycl_aes_init(nullptr, one, 1), nullptr);
    EXPECT_EQ(one[0], '\0');
    EXPECT_NE(std::string(kycl_get_last_error(nullptr)).find("not initialised"), std::string::npos);
}

TEST_F(KyclTest, TheModuleErrorIsPerThreadAndCleanupReleasesIt) {
    EXPECT_EQ(kycl_aes_set_key(nullptr, "k", 1), KYCL_ERR_ARGUMENT);
    const std::string mine = kycl_get_last_error(nullptr);
    ASSERT_FALSE(mine.empty());

    std::string seenElsewhere = "unset";
    std::thread([&] {
        seenElsewhere = kycl_get_last_error(nullptr);
        kycl_cleanup_thread_ctx();  // on a thread that never failed
        kycl_cleanup_thread_ctx();
    }).join();
    EXPECT_EQ(seenElsewhere, "");
    EXPECT_EQ(kycl_get_last_error(nullptr), mine);

    kycl_cleanup_thread_ctx();
    EXPECT_STREQ(kycl_get_last_error(nullptr), "");
    EXPECT_EQ(kycl_get_last_errno(nullptr), KYCL_ERR_NONE);
    kycl_cleanup_thread_ctx();
}

TEST_F(KyclTest, ContextsOnManyThreadsAtOnceGiveTheSingleThreadedAnswers) {
    const Bytes key = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const Bytes plain(4096, 0x5c);
    Bytes iv0(16, 0x01);

    // The answers, computed here on one thread.
    std::string expected[3];
    {
        const char* names[] = {"aes", "serpent", "gost"};
        for (int i = 0; i < 3; ++i) {
            CipherCtx ctx(cipher(names[i]));
            EXPECT_EQ(ctx.setKey(key), 0);
            Bytes iv(size_t(cipher(names[i]).blockSize), 0x01);
            expected[i] = toHex(ctx.cbc(plain, iv, true));
        }
    }
    kycl_ctx* sha = kycl_sha512_init(nullptr, nullptr, 0);
    Bytes digest(64);
    kycl_sha512_update(sha, plain.data(), int(plain.size()));
    kycl_sha512_final(sha, digest.data());
    kycl_sha512_destroy(sha);
    const std::string expectedDigest = toHex(digest);

    const int kThreads = 4;
    const int kRounds = 30;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const char* names[] = {"aes", "serpent", "gost"};
            for (int round = 0; round < kRounds; ++round) {
                // Re-arming the module while others work must be harmless.
                if (t == 0) {
                    char error[256];
                    kycl_init(nullptr, error, sizeof(error));
                    kycl_get_version(nullptr, nullptr);
                    kycl_get_status();
                }
                int which = (t + round) % 3;
                CipherCtx ctx(cipher(names[which]));
                ctx.setKey(key);
                Bytes iv(size_t(cipher(names[which]).blockSize), 0x01);
                if (toHex(ctx.cbc(plain, iv, true)) != expected[which]) {
                    ++mismatches;
                }
                kycl_ctx* h = kycl_sha512_init(nullptr, nullptr, 0);
                Bytes d(64);
                kycl_sha512_update(h, plain.data(), int(plain.size()));
                kycl_sha512_final(h, d.data());
                if (toHex(d) != expectedDigest) {
                    ++mismatches;
                }
                kycl_sha512_destroy(h);
                kycl_ctx* r = kycl_frand_init(nullptr, nullptr, 0);
                Bytes random(48);
                if (r == nullptr || kycl_frand_get(r, random.data(), 48) != 0) {
                    ++mismatches;
                }
                kycl_frand_destroy(r);
                kycl_ctx* tw = kycl_twister_init(nullptr, nullptr, 0);
                kycl_twister_seed(tw, &round, sizeof(round));
                kycl_twister_get(tw, random.data(), 48);
                kycl_twister_destroy(tw);
                kycl_aes_set_key(nullptr, nullptr, 0);  // a per-thread error text
            }
            kycl_cleanup_thread_ctx();
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
