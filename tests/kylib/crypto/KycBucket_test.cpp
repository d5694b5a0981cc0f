#include "kylib/crypto/KycBucket.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "kylib/crypto/SecureString.h"
#include "kylib/diagnostics/KyException.h"
#include "tests/support/TempDir.h"

namespace {

KycBucket pattern(int n, int seed = 1) {
    KycBucket b(n);
    for (int i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(i * 7 + seed);
    return b;
}

template <class F>
std::string thrownMessage(F&& f) {
    try {
        f();
    } catch (const KyException& e) {
        return std::string(e.getFuncName()) + ": " + e.getMessage();
    }
    return "<nothing thrown>";
}

TEST(KycBucket, SizesAcrossTheInlineLimitKeepBytesAndZeroGrowth) {
    struct Case {
        int first;
        int second;
    } cases[] = {{0, 10}, {10, 128}, {128, 129}, {100, 300}, {300, 50}, {50, 300}, {129, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + " -> " + std::to_string(c.second));
        KycBucket b = pattern(c.first);
        b.resize(c.second);
        ASSERT_EQ(b.getSize(), c.second);
        KycBucket expected = pattern(c.first);
        for (int i = 0; i < c.second; ++i)
            EXPECT_EQ(b[i], i < c.first ? expected[i] : 0) << i;
    }
}

TEST(KycBucket, ShrinkThenGrowExposesZerosNotOldBytes) {
    for (int size : {64, 200}) {
        KycBucket b = pattern(size, 9);
        b.resize(3);
        b.resize(size);
        for (int i = 3; i < size; ++i)
            ASSERT_EQ(b[i], 0) << "size " << size << " index " << i;
    }
}

TEST(KycBucket, ConstructorsAndConversion) {
    const unsigned char raw[] = {1, 2, 3, 4, 5};
    KycBucket fromRaw(raw, 5);
    KycBucket fromVector(std::vector<unsigned char>(raw, raw + 5));
    EXPECT_EQ(fromRaw, fromVector);
    EXPECT_EQ(std::vector<unsigned char>(fromRaw), std::vector<unsigned char>(raw, raw + 5));
    EXPECT_EQ(KycBucket(nullptr, 0).getSize(), 0);
    EXPECT_EQ(KycBucket(7), KycBucket(std::vector<unsigned char>(7, 0)));
}

TEST(KycBucket, CopyOnWriteLeavesTheCopyUnchanged) {
    for (int size : {20, 200, 1000}) {
        SCOPED_TRACE(size);
        KycBucket original = pattern(size);
        KycBucket copy = original;
        KycBucket assigned;
        assigned = original;
        original[size - 1] = 0xEE;
        original.getData()[0] = 0xDD;
        EXPECT_EQ(copy, pattern(size));
        EXPECT_EQ(assigned, pattern(size));
        EXPECT_NE(original, copy);
        // The copies still share and must stay independent of each other too.
        copy.append("x", 1);
        EXPECT_EQ(assigned, pattern(size));
    }
}

TEST(KycBucket, ConstAccessDoesNotDetach) {
    KycBucket a = pattern(200);
    KycBucket b = a;
    const KycBucket& ca = a;
    const KycBucket& cb = b;
    EXPECT_EQ(ca.getData(), cb.getData());
    EXPECT_EQ(ca[5], cb[5]);
    EXPECT_EQ(ca.getData(), cb.getData());
}

TEST(KycBucket, Equality) {
    struct Case {
        KycBucket a;
        KycBucket b;
        bool equal;
    } cases[] = {
        {KycBucket(), KycBucket(), true},       {KycBucket(), KycBucket(0), true},
        {pattern(5), pattern(5), true},         {pattern(5), pattern(6), false},
        {pattern(5), pattern(5, 2), false},     {pattern(300), pattern(300), true},
        {pattern(300), pattern(300, 2), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.getSize() << " vs " << c.b.getSize();
        EXPECT_EQ(c.a != c.b, !c.equal);
    }
}

TEST(KycBucket, AppendIncludingItself) {
    KycBucket b = pattern(100);
    b.append(pattern(100));
    ASSERT_EQ(b.getSize(), 200);
    KycBucket expected = pattern(100);
    expected.append(pattern(100));
    EXPECT_EQ(b, expected);

    // Appending its own bytes while the append moves them to a larger block.
    KycBucket self = pattern(120);
    self.append(self);
    EXPECT_EQ(self.getSize(), 240);
    for (int i = 0; i < 240; ++i)
        ASSERT_EQ(self[i], pattern(120)[i % 120]) << i;
    KycBucket raw = pattern(100);
    raw.append(raw.getData() + 10, 90);
    EXPECT_EQ(raw.getSize(), 190);
    EXPECT_EQ(raw[100], pattern(100)[10]);
    EXPECT_EQ(raw[189], pattern(100)[99]);
}

TEST(KycBucket, ErrorsThrowInsteadOfTouchingMemory) {
    KycBucket b = pattern(4);
    struct Case {
        const char* name;
        std::function<void()> call;
        const char* expected;
    } cases[] = {
        {"negative resize", [&] { b.resize(-1); },
         "KycBucket::resize: Negative size passed as input."},
        {"negative size", [] { KycBucket(-5); },
         "KycBucket::resize: Negative size passed as input."},
        {"index past end", [&] { (void)b[4]; }, "KycBucket::operator[]: Index is out of bounds."},
        {"negative index", [&] { b[-1] = 1; }, "KycBucket::operator[]: Index is out of bounds."},
        {"const index", [&] { (void)static_cast<const KycBucket&>(b)[7]; },
         "KycBucket::operator[]: Index is out of bounds."},
        {"null data", [] { KycBucket(nullptr, 3); },
         "KycBucket::KycBucket: Null data pointer passed with a positive size."},
        {"negative data size", [] { KycBucket("abc", -3); },
         "KycBucket::KycBucket: Negative size passed as input."},
        {"null append", [&] { b.append(nullptr, 2); },
         "KycBucket::append: Null data pointer passed with a positive size."},
        {"negative append", [&] { b.append("x", -1); },
         "KycBucket::append: Negative size passed as input."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(thrownMessage(c.call), c.expected) << c.name;
    EXPECT_EQ(b, pattern(4));
}

// Copies of one shared storage made and dropped on many threads at once: the count must
// never free the block while a copy still reads it (ASan/TSan see it if it does).
TEST(KycBucket, SharedStorageSurvivesConcurrentCopiesAndWrites) {
    const KycBucket shared = pattern(500);
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const KycBucket copy = shared;
                KycBucket second(copy);
                if (copy[i % 500] != shared[i % 500])
                    ++mismatches;
                if (i % 3 == t % 3) {
                    second[0] = static_cast<unsigned char>(t);
                    if (second[1] != shared[1] || copy[0] != shared[0])
                        ++mismatches;
                }
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(shared, pattern(500));
}

class KycBucketFiles : public ::testing::Test {
protected:
    kytest::TempDir dir_;
};

TEST_F(KycBucketFiles, BinaryRoundTripsAndIsPrivate) {
    for (int size : {0, 1, 128, 129, 5000}) {
        SCOPED_TRACE(size);
        const std::string path = dir_.file("key" + std::to_string(size) + ".bin");
        KycBucket b = pattern(size);
        b.saveBin(path.c_str());
        KycBucket back(3);
        back.loadBin(path.c_str());
        EXPECT_EQ(back, b);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST_F(KycBucketFiles, SaveReplacesAnOldFileWholeAndLeavesNoTemporary) {
    const std::string path = dir_.file("key.bin");
    kytest::writeFile(path, std::string(1000, 'o'));
    pattern(10).saveBin(path.c_str());
    EXPECT_EQ(kytest::readFile(path).size(), 10u);
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST_F(KycBucketFiles, HexRoundTripAndFileText) {
    const std::string path = dir_.file("key.hex");
    KycBucket b(std::vector<unsigned char>{0x0A, 0x1B, 0xFF, 0x00});
    b.saveHex(path.c_str());
    EXPECT_EQ(kytest::readFile(path), "0a1bff00");
    kytest::writeFile(path, "0A1b\n");
    KycBucket back;
    back.loadHex(path.c_str());
    EXPECT_EQ(back, KycBucket(std::vector<unsigned char>{0x0A, 0x1B}));
}

TEST_F(KycBucketFiles, Failures) {
    KycBucket b = pattern(5);
    const std::string missing = dir_.file("missing.bin");
    EXPECT_THROW(b.loadBin(missing.c_str()), KyException);
    EXPECT_EQ(b, pattern(5)) << "a failed load leaves the bucket as it was";
    EXPECT_THROW(b.saveBin(dir_.file("no/such/folder/key.bin").c_str()), KyException);
    const std::string bad = dir_.file("bad.hex");
    struct Case {
        std::string text;
    } cases[] = {{"abc"},
                 {"zz"},
                 {std::string("0a\0"
                              "1b",
                              5)}};
    for (const Case& c : cases) {
        kytest::writeFile(bad, c.text);
        EXPECT_THROW(b.loadHex(bad.c_str()), KyException) << c.text;
    }
    EXPECT_THROW(b.loadBin(nullptr), KyException);
}

TEST(SecureWipe, ClearsEveryByte) {
    unsigned char bytes[33];
    std::memset(bytes, 0xA5, sizeof bytes);
    ky::secureWipe(bytes, sizeof bytes);
    for (unsigned char c : bytes)
        ASSERT_EQ(c, 0);
    ky::secureWipe(nullptr, 0);
}

// ---- Secure strings ---------------------------------------------------------------------------

// What a secure string leaves in its own storage once destroyed, after `fill` used it.
template <class S, class Fill>
std::string leftBehind(unsigned char (&storage)[sizeof(S)], Fill fill) {
    std::memset(storage, 0, sizeof storage);
    S* s = new (storage) S;
    fill(*s);
    s->~S();
    return std::string(reinterpret_cast<const char*>(storage), sizeof storage);
}

template <class CharT>
class SecureStringStorage : public ::testing::Test {};
using SecureCharTypes = ::testing::Types<char, wchar_t>;
TYPED_TEST_SUITE(SecureStringStorage, SecureCharTypes);

// A secret that starts short and grows out of the small-string buffer leaves its first
// characters in that buffer, inside the object: destruction must leave the object's bytes
// as an empty string leaves them.
TYPED_TEST(SecureStringStorage, DestructionLeavesNoCharacterInTheObject) {
    using S = secure_basic_string<TypeParam>;
    using Fill = std::function<void(S&)>;
    alignas(S) unsigned char storage[sizeof(S)];
    // As long as the small buffer allows, so that every byte of it holds the secret.
    S start;
    for (std::size_t i = 0; i < S().capacity(); ++i)
        start.push_back(static_cast<TypeParam>('A' + i));
    const std::string empty = leftBehind<S>(storage, Fill([](S&) {}));
    struct Case {
        const char* name;
        Fill fill;
    } cases[] = {
        {"short", [&](S& s) { s = start; }},
        {"grown by push_back",
         [&](S& s) {
             s = start;
             for (int i = 0; i < 40; ++i)
                 s.push_back(static_cast<TypeParam>('x'));
         }},
        {"grown by +=",
         [&](S& s) {
             s = start;
             s += S(40, static_cast<TypeParam>('y'));
         }},
        {"grown, then cleared",
         [&](S& s) {
             s = start;
             s += S(40, static_cast<TypeParam>('y'));
             s.clear();
         }},
    };
    for (const Case& c : cases)
        EXPECT_EQ(empty, leftBehind<S>(storage, c.fill)) << c.name;
}

}  // namespace
