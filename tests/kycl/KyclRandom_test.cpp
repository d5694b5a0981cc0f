#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "tests/kycl/KyclTestSupport.h"

namespace {

using namespace kycl_test;

class Twister : public KyclTest {
protected:
    void SetUp() override {
        KyclTest::SetUp();
        ctx_ = kycl_twister_init(nullptr, nullptr, 0);
        ASSERT_NE(ctx_, nullptr);
    }
    void TearDown() override { kycl_twister_destroy(ctx_); }

    void seed(const Bytes& b) { ASSERT_EQ(kycl_twister_seed(ctx_, b.data(), int(b.size())), 0); }
    Bytes get(int n) {
        Bytes out(static_cast<size_t>(n));
        EXPECT_EQ(kycl_twister_get(ctx_, out.data(), n), 0);
        return out;
    }
    std::vector<uint32_t> words(int n) {
        const Bytes b = get(4 * n);
        std::vector<uint32_t> w(static_cast<size_t>(n));
        for (size_t i = 0; i < w.size(); ++i) {
            w[i] = uint32_t(b[4 * i]) | uint32_t(b[4 * i + 1]) << 8 | uint32_t(b[4 * i + 2]) << 16 |
                   uint32_t(b[4 * i + 3]) << 24;
        }
        return w;
    }

    kycl_ctx* ctx_ = nullptr;
};

// The seed of the reference code's own test program, as little-endian words.
const Bytes kReferenceSeed = hex("23010000 34020000 45030000 56040000");

TEST_F(Twister, ArraySeedGivesTheReferenceOutputs) {
    seed(kReferenceSeed);
    const std::vector<uint32_t> expected = {1067595299u, 955945823u, 477289528u, 4107218783u,
                                            4228976476u};
    EXPECT_EQ(words(5), expected);
}

TEST_F(Twister, UnseededRunsAsTheReferenceDefaultSeed) {
    // 5489 is the reference's default seed and the standard library's; comparing well past
    // the 624-word state also covers the regeneration of the state.
    std::mt19937 reference;
    const std::vector<uint32_t> got = words(2000);
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], reference()) << "output " << i;
    }
}

TEST_F(Twister, BytesAreLittleEndianWordsAndAPartialWordTakesTheLowBytes) {
    seed(kReferenceSeed);
    // 1067595299 = 0x3fa23623; 955945823 = 0x38fa935f; 477289528 = 0x1c72dc38.
    EXPECT_EQ(toHex(get(7)), "2336a23f5f93fa");
    EXPECT_EQ(toHex(get(4)), "38dc721c") << "a new call starts at the next output";
}

TEST_F(Twister, ATrailingPartialSeedWordIsZeroPadded) {
    seed(hex("2301000034"));
    const std::vector<uint32_t> partial = words(4);
    seed(hex("2301000034000000"));
    EXPECT_EQ(words(4), partial);
    seed(hex("23010000"));
    EXPECT_NE(words(4), partial);
}

TEST_F(Twister, SeedingAgainRestartsTheSequence) {
    seed(kReferenceSeed);
    const Bytes first = get(100);
    get(5000);
    seed(kReferenceSeed);
    EXPECT_EQ(get(100), first);
}

TEST_F(Twister, BadArgumentsAreRefused) {
    Bytes out(4);
    EXPECT_EQ(kycl_twister_seed(ctx_, nullptr, 4), KYCL_ERR_ARGUMENT);
    EXPECT_EQ(kycl_twister_seed(ctx_, out.data(), 0), KYCL_ERR_ARGUMENT);
    EXPECT_EQ(kycl_twister_get(ctx_, nullptr, 4), KYCL_ERR_ARGUMENT);
    EXPECT_EQ(kycl_twister_get(ctx_, out.data(), -1), KYCL_ERR_ARGUMENT);
    EXPECT_EQ(kycl_twister_get(ctx_, nullptr, 0), 0);
    EXPECT_EQ(kycl_twister_get(nullptr, out.data(), 4), KYCL_ERR_ARGUMENT);
}

// ---- FIPS generator ------------------------------------------------------------------------

class Frand : public KyclTest {
protected:
    static kycl_ctx* make() {
        char error[1024] = {};
        int status = -1;
        kycl_ctx* ctx = kycl_frand_init(&status, error, sizeof(error));
        EXPECT_NE(ctx, nullptr) << error;
        EXPECT_EQ(status, 0);
        return ctx;
    }
    static Bytes get(kycl_ctx* ctx, int n) {
        Bytes out(static_cast<size_t>(n));
        EXPECT_EQ(kycl_frand_get(ctx, out.data(), n), 0) << kycl_get_last_error(ctx);
        return out;
    }
};

TEST_F(Frand, TwoGeneratorsAndTwoCallsNeverRepeat) {
    kycl_ctx* a = make();
    kycl_ctx* b = make();
    const Bytes a1 = get(a, 32), a2 = get(a, 32), b1 = get(b, 32);
    EXPECT_NE(a1, a2);
    EXPECT_NE(a1, b1);
    EXPECT_NE(a1, Bytes(32, 0));
    kycl_frand_destroy(a);
    kycl_frand_destroy(b);
}

TEST_F(Frand, TheSameReseedDataDoesNotMakeTwoGeneratorsAgree) {
    // The caller's bytes are additional input beside fresh entropy, never the seed itself.
    kycl_ctx* a = make();
    kycl_ctx* b = make();
    const Bytes data = bytesOf("a seed an attacker knows");
    ASSERT_EQ(kycl_frand_reseed(a, data.data(), int(data.size())), 0) << kycl_get_last_error(a);
    ASSERT_EQ(kycl_frand_reseed(b, data.data(), int(data.size())), 0) << kycl_get_last_error(b);
    EXPECT_NE(get(a, 32), get(b, 32));
    EXPECT_EQ(kycl_frand_reseed(a, nullptr, 0), 0) << "a reseed without data is a plain reseed";
    kycl_frand_destroy(a);
    kycl_frand_destroy(b);
}

TEST_F(Frand, RequestsBeyondOneGenerateCallAreFilled) {
    kycl_ctx* ctx = make();
    const int n = 200000;  // several times the backend's largest single request
    const Bytes out = get(ctx, n);
    // Every 64 KiB stretch is filled: no stretch of 4 KiB zeros anywhere.
    for (size_t start = 0; start + 4096 <= out.size(); start += 4096) {
        EXPECT_NE(Bytes(out.begin() + long(start), out.begin() + long(start + 4096)),
                  Bytes(4096, 0))
            << "at " << start;
    }
    kycl_frand_destroy(ctx);
}

TEST_F(Frand, BadArgumentsAreRefused) {
    kycl_ctx* ctx = make();
    Bytes out(8);
    EXPECT_EQ(kycl_frand_get(ctx, nullptr, 8), KYCL_ERR_ARGUMENT);
    EXPECT_EQ(kycl_frand_get(ctx, out.data(), -8), KYCL_ERR_ARGUMENT);
    EXPECT_EQ(kycl_frand_reseed(ctx, nullptr, 8), KYCL_ERR_ARGUMENT);
    EXPECT_EQ(kycl_frand_get(nullptr, out.data(), 8), KYCL_ERR_ARGUMENT);
    kycl_ctx* twister = kycl_twister_init(nullptr, nullptr, 0);
    EXPECT_EQ(kycl_frand_get(twister, out.data(), 8), KYCL_ERR_ARGUMENT);
    kycl_twister_destroy(twister);
    kycl_frand_destroy(ctx);
}

}  // namespace
