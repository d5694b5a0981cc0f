#include "kylib/crypto/KycTwister.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "kylib/diagnostics/KyException.h"
#include "tests/kylib/crypto/CryptoTestSupport.h"

namespace {

static_assert(!std::is_copy_constructible_v<KycTwister> && !std::is_copy_assignable_v<KycTwister>);

using kytest::thrownMessage;

std::vector<unsigned int> wordsOf(const KycBucket& bytes) {
    std::vector<unsigned int> words(static_cast<std::size_t>(bytes.getSize()) / 4);
    std::memcpy(words.data(), bytes.getData(), words.size() * 4);
    return words;
}

// The reference generator's published outputs for init_by_array({0x123, 0x234, 0x345,
// 0x456}), the words given as little-endian seed bytes.
const unsigned char kReferenceSeed[] = {0x23, 0x01, 0, 0, 0x34, 0x02, 0, 0,
                                        0x45, 0x03, 0, 0, 0x56, 0x04, 0, 0};
const std::vector<unsigned int> kReferenceOutputs = {1067595299u, 955945823u, 477289528u,
                                                     4107218783u, 4228976476u};

TEST(KycTwisterTest, SeededSequenceIsTheReferenceOne) {
    KycTwister twister;
    twister.seed(kReferenceSeed, sizeof kReferenceSeed);
    EXPECT_EQ(wordsOf(twister.get(20)), kReferenceOutputs);
}

TEST(KycTwisterTest, GetIntTakesTheNextFourBytesInMemoryOrder) {
    KycTwister twister;
    twister.seed(kReferenceSeed, sizeof kReferenceSeed);
    for (unsigned int expected : kReferenceOutputs)
        EXPECT_EQ(twister.getInt(), expected);
}

TEST(KycTwisterTest, UnseededRunsFromTheDefaultSeed) {
    KycTwister twister;
    EXPECT_EQ(twister.getInt(), 3499211612u);  // the reference's first output for 5489
}

TEST(KycTwisterTest, ReseedingRestartsTheSequenceAndOtherSeedsDiffer) {
    const unsigned char seed[] = "reproducible";
    KycTwister a;
    KycTwister b;
    a.seed(seed, sizeof seed);
    const KycBucket first = a.get(64);
    a.seed(seed, sizeof seed);
    EXPECT_EQ(a.get(64), first);
    b.seed(seed, sizeof seed - 2);
    EXPECT_NE(b.get(64), first);
}

TEST(KycTwisterTest, BadArgumentsAreRefused) {
    KycTwister twister;
    const unsigned char seed[4] = {1, 2, 3, 4};
    EXPECT_EQ(
        thrownMessage([&] { twister.seed(nullptr, 4); }).rfind("Failed to seed Twister PRNG: ", 0),
        0u);
    EXPECT_EQ(
        thrownMessage([&] { twister.seed(seed, 0); }).rfind("Failed to seed Twister PRNG: ", 0),
        0u);
    EXPECT_EQ(thrownMessage([&] {
                  twister.get(-1);
              }).rfind("Failed to get pseudo-random sequence from Twister PRNG: ", 0),
              0u);
    EXPECT_EQ(twister.get(0).getSize(), 0);
}

}  // namespace
