#include "kylib/crypto/KycChecksum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kylib/crypto/Kyc.h"

namespace {

constexpr unsigned int kCrc32Poly = 0xEDB88320u;
constexpr unsigned int kCrc32cPoly = 0x82F63B78u;

// One bit at a time, straight from the definition of the reflected register: the model
// every faster form is held to.
unsigned int bitwiseCrc(unsigned int poly, unsigned int crc, const unsigned char* p,
                        std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? (crc >> 1) ^ poly : crc >> 1;
    }
    return crc;
}

std::vector<unsigned char> randomBytes(std::size_t n, unsigned int seed) {
    std::mt19937 gen(seed);
    std::vector<unsigned char> bytes(n);
    for (auto& b : bytes)
        b = static_cast<unsigned char>(gen());
    return bytes;
}

// A copy of `bytes` placed `offset` bytes into an allocation that ends exactly where the
// data ends, so that a form reading past its last byte is caught by AddressSanitizer.
class ExactBuffer {
public:
    ExactBuffer(const unsigned char* bytes, std::size_t len, std::size_t offset)
        : m_storage(new unsigned char[offset + len]), m_offset(offset) {
        std::copy(bytes, bytes + len, m_storage.get() + offset);
    }
    const unsigned char* data() const { return m_storage.get() + m_offset; }

private:
    std::unique_ptr<unsigned char[]> m_storage;
    std::size_t m_offset;
};

// The public entry points, all with one shape.
using Update = void (*)(const void*, unsigned int, unsigned int*);

void kycCrc32(const void* data, unsigned int len, unsigned int* crc) {
    Kyc::crc32(data, static_cast<int>(len), crc);
}

struct EntryPoint {
    const char* name;
    Update update;
    unsigned int poly;
};

const EntryPoint kEntryPoints[] = {
    {"Kyc::crc32", kycCrc32, kCrc32Poly},
    {"ky_crc32", ky_crc32, kCrc32Poly},
    {"ky_crc32c", ky_crc32c, kCrc32cPoly},
};

// ---- Check values ------------------------------------------------------------------------

struct CheckCase {
    const char* name;
    Update update;
    std::string data;
    unsigned int start;
    unsigned int leaves;  // the register, not inverted
};

std::string bytesOf(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

std::string ascending32() {
    std::string s;
    for (int i = 0; i < 32; ++i)
        s.push_back(static_cast<char>(i));
    return s;
}

TEST(KycChecksum, PublishedCheckValuesFromAllOnes) {
    // Each register is the bitwise inverse of the published CRC of the data.
    const CheckCase cases[] = {
        {"Kyc::crc32 123456789", kycCrc32, "123456789", 0xFFFFFFFFu, 0x340BC6D9u},
        {"ky_crc32 123456789", ky_crc32, "123456789", 0xFFFFFFFFu, 0x340BC6D9u},
        {"ky_crc32c 123456789", ky_crc32c, "123456789", 0xFFFFFFFFu, 0x1CF96D7Cu},
        {"ky_crc32 quick fox", ky_crc32, "The quick brown fox jumps over the lazy dog", 0xFFFFFFFFu,
         ~0x414FA339u},
        {"ky_crc32 32 zeros", ky_crc32, std::string(32, '\0'), 0xFFFFFFFFu, ~0x190A55ADu},
        {"ky_crc32c 32 zeros", ky_crc32c, std::string(32, '\0'), 0xFFFFFFFFu, ~0x8A9136AAu},
        {"ky_crc32c 32 x FF", ky_crc32c, std::string(32, '\xFF'), 0xFFFFFFFFu, ~0x62A8AB43u},
        {"ky_crc32c 0..31", ky_crc32c, ascending32(), 0xFFFFFFFFu, ~0x46DD794Eu},
        // From zero the register of a single zero byte stays zero: nothing is pre-set.
        {"ky_crc32 zero byte from zero", ky_crc32, bytesOf({0}), 0u, 0u},
        {"ky_crc32c zero byte from zero", ky_crc32c, bytesOf({0}), 0u, 0u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned int crc = c.start;
        c.update(c.data.data(), static_cast<unsigned int>(c.data.size()), &crc);
        EXPECT_EQ(crc, c.leaves);
    }
}

TEST(KycChecksum, NothingToReadLeavesTheRegister) {
    const char data[] = "123456789";
    struct Case {
        const char* name;
        std::function<void(unsigned int*)> call;
    };
    const Case cases[] = {
        {"Kyc::crc32 len 0", [&](unsigned int* c) { Kyc::crc32(data, 0, c); }},
        {"Kyc::crc32 len -1", [&](unsigned int* c) { Kyc::crc32(data, -1, c); }},
        {"Kyc::crc32 len INT_MIN", [&](unsigned int* c) { Kyc::crc32(data, INT_MIN, c); }},
        {"ky_crc32 len 0", [&](unsigned int* c) { ky_crc32(data, 0, c); }},
        {"ky_crc32c len 0", [&](unsigned int* c) { ky_crc32c(data, 0, c); }},
        // A null buffer with a length is a caller's mistake, ignored rather than followed.
        {"Kyc::crc32 null data", [](unsigned int* c) { Kyc::crc32(nullptr, 9, c); }},
        {"ky_crc32 null data", [](unsigned int* c) { ky_crc32(nullptr, 9, c); }},
        {"ky_crc32c null data", [](unsigned int* c) { ky_crc32c(nullptr, 9, c); }},
        {"ky_crc32 null data huge len", [](unsigned int* c) { ky_crc32(nullptr, UINT_MAX, c); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned int crc = 0x12345678u;
        c.call(&crc);
        EXPECT_EQ(crc, 0x12345678u);
    }
}

TEST(KycChecksum, NullRegisterIsIgnored) {
    ky_crc32("abc", 3, nullptr);
    ky_crc32c("abc", 3, nullptr);
    Kyc::crc32("abc", 3, nullptr);
}

// ---- Every form against the bitwise model --------------------------------------------------

using Form = unsigned int (*)(unsigned int, const unsigned char*, std::size_t);

unsigned int viaKyCrc32(unsigned int crc, const unsigned char* p, std::size_t len) {
    ky_crc32(p, static_cast<unsigned int>(len), &crc);
    return crc;
}

unsigned int viaKyCrc32c(unsigned int crc, const unsigned char* p, std::size_t len) {
    ky_crc32c(p, static_cast<unsigned int>(len), &crc);
    return crc;
}

bool always() {
    return true;
}

struct FormCase {
    const char* name;
    Form form;
    unsigned int poly;
    bool (*available)();
};

void PrintTo(const FormCase& c, std::ostream* os) {
    *os << c.name;
}

class ChecksumForm : public ::testing::TestWithParam<FormCase> {
protected:
    void SetUp() override {
        if (!GetParam().available())
            GTEST_SKIP() << "the processor lacks " << GetParam().name;
    }

    // The form on a copy of bytes[0, len) placed at `offset`, from `start`, checked
    // against the model.
    void expectModel(const std::vector<unsigned char>& bytes, std::size_t len, std::size_t offset,
                     unsigned int start) {
        const ExactBuffer buffer(bytes.data(), len, offset);
        const unsigned int expected = bitwiseCrc(GetParam().poly, start, bytes.data(), len);
        ASSERT_EQ(GetParam().form(start, buffer.data(), len), expected)
            << "length " << len << ", offset " << offset;
    }
};

TEST_P(ChecksumForm, MatchesTheBitwiseModelAtEveryLengthAndAlignment) {
    const auto bytes = randomBytes(1100, 7);
    std::mt19937 gen(11);
    for (std::size_t len = 0; len <= bytes.size(); ++len)
        for (std::size_t offset = 0; offset < 16; ++offset)
            ASSERT_NO_FATAL_FAILURE(expectModel(bytes, len, offset, gen()));
}

TEST_P(ChecksumForm, MatchesTheBitwiseModelOnLongBuffers) {
    // Lengths on either side of the widest block the accelerated forms take at once,
    // and ones that leave every kind of tail behind a run of blocks.
    const std::size_t lengths[] = {3 * 8192 - 1,        3 * 8192,       3 * 8192 + 1,
                                   6 * 8192 + 768 + 15, 64 * 1024 + 63, 100003};
    const auto bytes = randomBytes(100003, 13);
    std::mt19937 gen(17);
    for (std::size_t len : lengths)
        for (std::size_t offset : {0, 1, 8, 15})
            ASSERT_NO_FATAL_FAILURE(expectModel(bytes, len, offset, gen()));
}

TEST_P(ChecksumForm, WrapsAroundOnAllOnesData) {
    // Every byte 0xFF from every start the register can sensibly hold.
    const std::vector<unsigned char> bytes(5000, 0xFF);
    for (unsigned int start : {0u, 0xFFFFFFFFu, 0x80000000u, 1u})
        for (std::size_t len : {1, 63, 64, 767, 768, 5000})
            ASSERT_NO_FATAL_FAILURE(expectModel(bytes, len, 3, start));
}

INSTANTIATE_TEST_SUITE_P(
    KycChecksum, ChecksumForm,
    ::testing::Values(
        FormCase{"crc32Table", ky::checksum::crc32Table, kCrc32Poly, always},
        FormCase{"crc32Clmul", ky::checksum::crc32Clmul, kCrc32Poly, ky::checksum::hasClmul},
        FormCase{"ky_crc32", viaKyCrc32, kCrc32Poly, always},
        FormCase{"crc32cTable", ky::checksum::crc32cTable, kCrc32cPoly, always},
        FormCase{"crc32cSse42", ky::checksum::crc32cSse42, kCrc32cPoly, ky::checksum::hasSse42},
        FormCase{"ky_crc32c", viaKyCrc32c, kCrc32cPoly, always}),
    [](const ::testing::TestParamInfo<FormCase>& info) { return std::string(info.param.name); });

// ---- Running values -------------------------------------------------------------------------

TEST(KycChecksum, PiecewiseUpdatesEqualOneCall) {
    const auto bytes = randomBytes(3000, 19);
    std::mt19937 gen(23);
    for (const auto& entry : kEntryPoints) {
        SCOPED_TRACE(entry.name);
        unsigned int whole = 0xFFFFFFFFu;
        entry.update(bytes.data(), static_cast<unsigned int>(bytes.size()), &whole);
        ASSERT_EQ(whole, bitwiseCrc(entry.poly, 0xFFFFFFFFu, bytes.data(), bytes.size()));

        // Two pieces, split at every point.
        for (std::size_t split = 0; split <= bytes.size(); ++split) {
            unsigned int crc = 0xFFFFFFFFu;
            entry.update(bytes.data(), static_cast<unsigned int>(split), &crc);
            entry.update(bytes.data() + split, static_cast<unsigned int>(bytes.size() - split),
                         &crc);
            ASSERT_EQ(crc, whole) << "split at " << split;
        }
        // Many pieces of random sizes, empty ones among them.
        for (int round = 0; round < 50; ++round) {
            unsigned int crc = 0xFFFFFFFFu;
            std::size_t at = 0;
            while (at < bytes.size()) {
                const std::size_t piece = std::min<std::size_t>(gen() % 400, bytes.size() - at);
                entry.update(bytes.data() + at, static_cast<unsigned int>(piece), &crc);
                at += piece;
            }
            ASSERT_EQ(crc, whole) << "round " << round;
        }
    }
}

TEST(KycChecksum, FirstCallsFromSeveralThreadsAgree) {
    // Each test runs in a process of its own, so these are the calls that pick the form.
    const auto bytes = randomBytes(4096, 29);
    const unsigned int expect32 = bitwiseCrc(kCrc32Poly, 0xFFFFFFFFu, bytes.data(), bytes.size());
    const unsigned int expect32c = bitwiseCrc(kCrc32cPoly, 0xFFFFFFFFu, bytes.data(), bytes.size());
    constexpr int kThreads = 4;
    std::vector<unsigned int> got32(kThreads), got32c(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            unsigned int crc = 0xFFFFFFFFu;
            ky_crc32(bytes.data(), static_cast<unsigned int>(bytes.size()), &crc);
            got32[t] = crc;
            crc = 0xFFFFFFFFu;
            ky_crc32c(bytes.data(), static_cast<unsigned int>(bytes.size()), &crc);
            got32c[t] = crc;
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(got32[t], expect32) << "thread " << t;
        EXPECT_EQ(got32c[t], expect32c) << "thread " << t;
    }
}

// ---- Rolling checksum ---------------------------------------------------------------------

TEST(KycRsync, KnownSums) {
    struct Case {
        const char* name;
        std::vector<unsigned char> bytes;
        unsigned int sum;
    };
    const Case cases[] = {
        {"1 2 3", {1, 2, 3}, 0x000A0006u},
        {"2 3 4", {2, 3, 4}, 0x00100009u},
        {"one FF", {0xFF}, 0x00FF00FFu},
        // a = 256 * 255 = 0xFF00 still fits; b = 255 * (1 + ... + 256) = 0x7FFF80 does not.
        {"256 x FF", std::vector<unsigned char>(256, 0xFF), 0xFF80FF00u},
        // a = 258 * 255 = 0x100FE and b = 255 * (1 + ... + 258) = 0x82007D both wrap.
        {"258 x FF", std::vector<unsigned char>(258, 0xFF), 0x007D00FEu},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Kyc::rsync(c.bytes.data(), static_cast<int>(c.bytes.size())), c.sum);
    }
}

TEST(KycRsync, NothingToReadReturnsTheSum) {
    const unsigned char data[] = {1, 2, 3};
    struct Case {
        const char* name;
        const void* data;
        int len;
    };
    const Case cases[] = {
        {"len 0", data, 0},
        {"len -1", data, -1},
        {"len INT_MIN", data, INT_MIN},
        {"null data", nullptr, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Kyc::rsyncUpdate(0xDEADBEEFu, c.data, c.len), 0xDEADBEEFu);
        EXPECT_EQ(Kyc::rsync(c.data, c.len), 0u);
    }
}

TEST(KycRsync, UpdatesCarryOnFromTheGivenSum) {
    const auto bytes = randomBytes(700, 31);
    const unsigned int whole = Kyc::rsync(bytes.data(), static_cast<int>(bytes.size()));
    for (std::size_t split = 0; split <= bytes.size(); ++split) {
        const unsigned int head = Kyc::rsync(bytes.data(), static_cast<int>(split));
        ASSERT_EQ(
            Kyc::rsyncUpdate(head, bytes.data() + split, static_cast<int>(bytes.size() - split)),
            whole)
            << "split at " << split;
    }
}

TEST(KycRsync, RollingThreeByteWindow) {
    const unsigned char bytes[] = {1, 2, 3, 4};
    const unsigned int rolled = Kyc::rsyncRoll(Kyc::rsync(bytes, 3), 3, 1, 4);
    EXPECT_EQ(rolled, 0x00100009u);
    EXPECT_EQ(rolled, Kyc::rsync(bytes + 1, 3));
}

enum class Fill { Random, MostlyFF };

struct RollCase {
    const char* name;
    int window;
    int steps;
    Fill fill;
};

void PrintTo(const RollCase& c, std::ostream* os) {
    *os << c.name;
}

class RollingWindow : public ::testing::TestWithParam<RollCase> {
protected:
    std::vector<unsigned char> bytes() const {
        const auto& c = GetParam();
        auto data = randomBytes(static_cast<std::size_t>(c.window) + c.steps, 37);
        if (c.fill == Fill::MostlyFF) {
            // Three bytes in four are 0xFF, so both halves wrap many times and the bytes
            // leaving and entering the window still differ.
            for (std::size_t i = 0; i < data.size(); ++i)
                if (i % 4 != 0)
                    data[i] = 0xFF;
        }
        return data;
    }
};

TEST_P(RollingWindow, RollEqualsRecomputingTheWindow) {
    const auto& c = GetParam();
    const auto data = bytes();
    unsigned int sum = Kyc::rsync(data.data(), c.window);
    for (int i = 0; i < c.steps; ++i) {
        sum = Kyc::rsyncRoll(sum, c.window, data[i], data[i + c.window]);
        ASSERT_EQ(sum, Kyc::rsync(data.data() + i + 1, c.window)) << "step " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(KycRsync, RollingWindow,
                         ::testing::Values(RollCase{"OneByte", 1, 500, Fill::Random},
                                           RollCase{"ThreeBytes", 3, 500, Fill::Random},
                                           RollCase{"Block700", 700, 500, Fill::Random},
                                           RollCase{"FF4096", 4096, 300, Fill::MostlyFF},
                                           RollCase{"Random70000", 70000, 40, Fill::Random},
                                           RollCase{"FF70000", 70000, 40, Fill::MostlyFF},
                                           // window * 0xFF no longer fits in an int.
                                           RollCase{"FFPast8MiB", 9000000, 3, Fill::MostlyFF}),
                         [](const ::testing::TestParamInfo<RollCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
