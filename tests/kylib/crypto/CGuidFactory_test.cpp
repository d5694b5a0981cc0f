#include "kylib/crypto/CGuidFactory.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "kylib/diagnostics/KyException.h"
#include "tests/kylib/crypto/CryptoTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using kytest::thrownMessage;

std::string guidOf(const std::string& text) {
    std::string out;
    GetGUID(text.data(), static_cast<int>(text.size()), &out);
    return out;
}

bool isUpperHex(const std::string& s) {
    return s.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// ---- The unsalted identifiers ---------------------------------------------------------------

TEST(GetGUIDTest, IsTheLowercaseMD5OfTheBytes) {
    struct Case {
        std::string text;
        const char* digest;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {std::string("a\0b", 3), "70350f6027bce3713f6b76473084309b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.digest);
        EXPECT_EQ(guidOf(c.text), c.digest);
    }
}

TEST(GetGUIDTest, RefusesANullOutputOrData) {
    std::string out;
    EXPECT_NE(thrownMessage([] { GetGUID("abc", 3, nullptr); }), "(nothing thrown)");
    EXPECT_NE(thrownMessage([&] { GetGUID(nullptr, 3, &out); }), "(nothing thrown)");
    EXPECT_NE(thrownMessage([&] { GetGUID("abc", -1, &out); }), "(nothing thrown)");
    EXPECT_NE(thrownMessage([] { GetObjectGuid(nullptr, '\\', nullptr); }), "(nothing thrown)");
}

TEST(GetObjectGuidTest, NormalisesTheNameBeforeHashing) {
    struct Case {
        const char* name;
        char separator;
        bool fixLocale;
        const char* hashed;
    };
    const Case cases[] = {
        {"Server\\Agent", '\\', false, "Server\\Agent"},
        {"Server\\Agent\\\\", '\\', false, "Server\\Agent"},
        {"Server\\Agent/", '\\', false, "Server\\Agent/"},
        {"vol/data//", '/', false, "vol/data"},
        {"\\\\", '\\', false, ""},
        {"", '\\', false, ""},
        {"Server\\Agent\\", '\\', true, "SERVER\\AGENT"},
        {"mixed-Case_9\xc3\xa9", '|', true, "MIXED-CASE_9\xc3\xa9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        if (c.fixLocale)
            GetObjectGuidFixLocale(c.name, c.separator, &out);
        else
            GetObjectGuid(c.name, c.separator, &out);
        EXPECT_EQ(out, guidOf(c.hashed));
    }
}

TEST(GetVersionGuidTest, HashesTheFormattedVersion) {
    std::string out;
    GetVersionGuid("Sarvex", "Agent", 11, 0, 42, 7, &out);
    EXPECT_EQ(out, guidOf("Sarvex_Agent_11_0_42_7"));
    GetVersionGuid(nullptr, "Agent", -1, INT64_MIN, 3, UINT64_MAX, &out);
    EXPECT_EQ(out, guidOf("_Agent_-1_-9223372036854775808_3_18446744073709551615"));
    GetVersionGuid2(-5, INT64_MAX, &out);
    EXPECT_EQ(out, guidOf("-5_9223372036854775807"));
}

// ---- The factory ----------------------------------------------------------------------------

// SHA-256("abc"), each byte written low nibble first.
constexpr const char* kAbcLowNibbleFirst =
    "AB8761FBF810FCAE141404EDD5EA22320B30163A6971A7C94B01FF162F0051DA";
constexpr const char* kEmptyLowNibbleFirst =
    "3E0B4C2489CFC141A9BF4F8C99F69B4272EA144E46B939C44A5999B187258B55";

TEST(CGuidFactoryTest, UnsaltedIsTheDigestLowNibbleFirst) {
    CGuidFactory f;
    EXPECT_EQ(f.get_guid_nosalt("abc"), kAbcLowNibbleFirst);
    EXPECT_EQ(f.get_guid_nosalt(""), kEmptyLowNibbleFirst);
    // A salted call in between leaves nothing behind in the hasher.
    f.get_guid("name", 1, 2, "text");
    EXPECT_EQ(f.get_guid_nosalt("abc"), kAbcLowNibbleFirst);
}

TEST(CGuidFactoryTest, SaltedIdentifiersAreStablePerFactoryAndTellArgumentsApart) {
    CGuidFactory f;
    const std::string base = f.get_guid("name", 1, 2, "text");
    EXPECT_EQ(base.size(), 64u);
    EXPECT_TRUE(isUpperHex(base)) << base;
    EXPECT_EQ(f.get_guid("name", 1, 2, "text"), base);

    struct Case {
        const char* name;
        std::function<std::string(CGuidFactory&)> guid;
    };
    const Case others[] = {
        {"name", [](CGuidFactory& g) { return g.get_guid("Name", 1, 2, "text"); }},
        {"number", [](CGuidFactory& g) { return g.get_guid("name", 2, 2, "text"); }},
        {"value", [](CGuidFactory& g) { return g.get_guid("name", 1, 3, "text"); }},
        {"text", [](CGuidFactory& g) { return g.get_guid("name", 1, 2, "Text"); }},
        {"boundary between name and text",
         [](CGuidFactory& g) { return g.get_guid("nam", 1, 2, "etext"); }},
        {"number form", [](CGuidFactory& g) { return g.get_guid(1, 1, 2, "text"); }},
        {"unsalted", [](CGuidFactory& g) { return g.get_guid_nosalt("name"); }},
    };
    std::set<std::string> seen = {base};
    for (const Case& c : others) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(seen.insert(c.guid(f)).second);
    }
    // The number form is stable too.
    EXPECT_EQ(f.get_guid(-7, 1, 2, "t"), f.get_guid(-7, 1, 2, "t"));
}

TEST(CGuidFactoryTest, EachFactoryHasItsOwnSalt) {
    CGuidFactory a;
    CGuidFactory b;
    EXPECT_NE(a.get_guid("name", 1, 2, "text"), b.get_guid("name", 1, 2, "text"));
}

// Copies keep the salt but own their hasher: each destructor releases only its own
// context, which the sanitizer builds check.
TEST(CGuidFactoryTest, CopiesKeepTheSaltAndOwnTheirHasher) {
    auto original = std::make_unique<CGuidFactory>();
    const std::string guid = original->get_guid("name", 1, 2, "text");

    CGuidFactory copied(*original);
    CGuidFactory assigned;
    const std::string before = assigned.get_guid("name", 1, 2, "text");
    assigned = *original;
    CGuidFactory& alias = assigned;
    assigned = alias;
    original.reset();

    EXPECT_EQ(copied.get_guid("name", 1, 2, "text"), guid);
    EXPECT_EQ(assigned.get_guid("name", 1, 2, "text"), guid);
    EXPECT_NE(before, guid);

    // A copy made before any salt draws its own on first use.
    CGuidFactory fresh;
    CGuidFactory freshCopy(fresh);
    EXPECT_NE(fresh.get_guid("name", 1, 2, "text"), freshCopy.get_guid("name", 1, 2, "text"));
}

// A generator that fails must fail get_guid, not hash an unset salt. The module is
// process-wide, so the scenario runs in a child process bound to the stand-in module.
class CGuidFactorySaltTest : public kytest::StoreTest {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        kytest::StoreTest::SetUp();
    }
};

TEST_F(CGuidFactorySaltTest, AFailedSaltFailsTheIdentifier) {
    EXPECT_EXIT(
        {
            ::setenv("KY_KYCL_PATH", KY_TEST_FAKE_KYCL, 1);
            ::setenv("FAKE_KYCL_FRAND_FAIL", "no entropy", 1);
            std::string got = "(nothing thrown)";
            try {
                CGuidFactory f;
                f.get_guid("name", 1, 2, "text");
            } catch (const KyException& e) {
                got = e.getMessage();
            }
            std::fprintf(stderr, "%s\n", got.c_str());
            std::error_code ignored;
            std::filesystem::remove_all(dir_.path(), ignored);
            std::exit(got == "Cannot make an identifier: failed to generate the salt." ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
