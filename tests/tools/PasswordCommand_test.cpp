// The password verb in process: the password comes from a stream that is not a terminal,
// as it does when a script pipes it in.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "kylib/crypto/KYPassword.h"
#include "kylib/platforminfo/KYPlatformInfo.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "tests/support/TempDir.h"
#include "tools/kybasic/Commands.h"

namespace kybasic {
namespace {

struct Result {
    int code;
    std::string out;
    std::string err;
};

Result password(const std::vector<std::string>& args, const std::string& input) {
    std::istringstream in(input);
    std::ostringstream out, err;
    const int code = runPassword(args, in, out, err);
    return {code, out.str(), err.str()};
}

// The first word of the output, without its line end.
std::string firstWord(const std::string& text) {
    return text.substr(0, text.find_first_of(" \n"));
}

// Letters that never occur in hexadecimal output, so that finding it means a leak.
constexpr const char* kSecret = "Sunny-Walrus!";

class PasswordCommandTest : public kytest::StoreTest {
protected:
    void SetUp() override {
        kytest::StoreTest::SetUp();
        ::setenv("KY_MACHINE_KEY", dir_.file("machine.key").c_str(), 1);
        KYPI_Focus::setFocus("Instance001");
        KYPI_Focus::setProductName("Sarvex");
        KYPI_Focus::setProductType(KELBRIN_PRODUCT_TYPE_DEFAULT);
    }
    void TearDown() override {
        KYPI_Focus::reload();
        ::unsetenv("KY_MACHINE_KEY");
        kytest::StoreTest::TearDown();
    }
};

TEST_F(PasswordCommandTest, ProtectedTextChecksAgainstTheSamePasswordOnly) {
    const Result made = password({"protect"}, std::string(kSecret) + "\n");
    ASSERT_EQ(made.code, 0) << made.err;
    const std::string text = firstWord(made.out);
    EXPECT_EQ(made.out, text + "\n");
    EXPECT_TRUE(KYPassword::isV8Password(text.c_str())) << text;
    EXPECT_EQ((made.out + made.err).find(kSecret), std::string::npos);

    struct Case {
        const char* name;
        std::string input;
        int code;
        const char* said;
    };
    const Case cases[] = {
        {"same", std::string(kSecret) + "\n", 0, "the password matches\n"},
        {"same, CRLF line", std::string(kSecret) + "\r\n", 0, "the password matches\n"},
        {"same, no line end", kSecret, 0, "the password matches\n"},
        {"other", "Sunny-Walrus?\n", 1, "the password does not match\n"},
        {"prefix", "Sunny\n", 1, "the password does not match\n"},
        {"empty", "\n", 1, "the password does not match\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Result r = password({"check", text}, c.input);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_EQ(r.out, c.said);
    }
}

TEST_F(PasswordCommandTest, CheckReadsOlderProtectedForms) {
    KYPassword p;
    ASSERT_EQ(p.encrypt("older"), 1);
    EXPECT_EQ(password({"check", p.getProtectedText()}, "older\n").code, 0);
    EXPECT_EQ(password({"check", p.getProtectedText()}, "newer\n").code, 1);
}

TEST_F(PasswordCommandTest, HashVerifiesTheSamePasswordOnly) {
    const Result made = password({"hash"}, std::string(kSecret) + "\n");
    ASSERT_EQ(made.code, 0) << made.err;
    std::istringstream words(made.out);
    std::string hash, salt, rest;
    words >> hash >> salt;
    EXPECT_FALSE(words >> rest);
    ASSERT_EQ(hash.size(), 65u) << made.out;
    EXPECT_EQ(hash[0], '7');
    EXPECT_EQ(salt.size(), 64u);
    EXPECT_EQ(made.out.find(kSecret), std::string::npos);

    EXPECT_EQ(password({"verify", hash, salt}, std::string(kSecret) + "\n").out,
              "the password matches\n");
    EXPECT_EQ(password({"verify", hash, salt}, std::string(kSecret) + "\n").code, 0);
    EXPECT_EQ(password({"verify", hash, salt}, "Sunny-Walrus\n").code, 1);
    // The same password with another salt is another hash.
    EXPECT_EQ(password({"verify", hash, std::string(64, '0')}, std::string(kSecret) + "\n").code,
              1);
    // Two hashes of one password differ by their salts.
    EXPECT_NE(password({"hash"}, std::string(kSecret) + "\n").out, made.out);
}

TEST_F(PasswordCommandTest, RefusesPasswordsOnTheCommandLineAndOtherMisuse) {
    struct Case {
        std::vector<std::string> args;
        const char* input;
        int code;
        const char* err;
    };
    const Case cases[] = {
        {{}, "", 2, "a verb is needed"},
        {{"protect", kSecret}, "", 2, "a password is never one"},
        {{"hash", kSecret}, "", 2, "a password is never one"},
        {{"check"}, "x\n", 2, "wrong number of arguments"},
        {{"check", "3abc", kSecret}, "", 2, "wrong number of arguments"},
        {{"verify", "7abc"}, "x\n", 2, "wrong number of arguments"},
        {{"upgrade", "now"}, "", 2, "wrong number of arguments"},
        {{"reveal"}, "", 2, "unknown verb 'reveal'"},
        {{"protect"}, "", 1, "no password was given"},
        {{"protect"}, "\n", 1, "an empty password is refused"},
        {{"hash"}, "\r\n", 1, "an empty password is refused"},
        {{"check", "3abc"}, "", 1, "no password was given"},
        {{"check", "9abcdef"}, "x\n", 1, "the protected text cannot be read (error 0x140000AE)"},
        {{"check", "3" + std::string(32, '0')}, "x\n", 1, "the protected text cannot be read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0] + " / " + c.err);
        const Result r = password(c.args, c.input);
        EXPECT_EQ(r.code, c.code);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        if (c.code == 2) {
            EXPECT_NE(r.err.find("usage: kybasic password"), std::string::npos);
        }
    }
}

TEST_F(PasswordCommandTest, UpgradeRewritesTheInstancePasswordsAndReports) {
    KYPlatformInfo pi;
    KYPassword old;
    ASSERT_EQ(old.encrypt("session"), 1);
    ASSERT_EQ(pi.setPassword("Session", "pCntInfo", &old), 1);
    ASSERT_TRUE(pi.setString("Database", "pACCESS", ""));

    const Result r = password({"upgrade"}, "");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("instance Instance001: 1 rewritten, 0 already current"), std::string::npos)
        << r.out;
    std::string stored;
    ASSERT_TRUE(pi.getString("Session", "pCntInfo", &stored));
    EXPECT_TRUE(KYPassword::isV8Password(stored.c_str())) << stored;

    // An unreadable stored password makes the run fail, and says so.
    ASSERT_TRUE(pi.setString("Database", "pACCESS", "3" + std::string(32, '0')));
    const Result failed = password({"upgrade"}, "");
    EXPECT_EQ(failed.code, 1);
    EXPECT_NE(failed.out.find("0 rewritten, 1 already current"), std::string::npos) << failed.out;
    EXPECT_NE(failed.out.find("1 failed"), std::string::npos) << failed.out;
    EXPECT_NE(failed.err.find("could not be upgraded"), std::string::npos) << failed.err;
}

}  // namespace
}  // namespace kybasic
