#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "kylib/crypto/Kyc.h"
#include "tests/support/TempDir.h"
#include "tools/kybasic/Commands.h"

namespace kybasic {
namespace {

struct Result {
    int code;
    std::string out;
    std::string err;
};

Result hash(const std::vector<std::string>& args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    const int code = runHash(args, in, out, err);
    return {code, out.str(), err.str()};
}

TEST(HashCommandTest, PrintsTheStandardValuesOfStandardInput) {
    struct Case {
        const char* algorithm;
        const char* input;
        const char* digest;
    };
    const Case cases[] = {
        {"md5", "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"sha1", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"sha256", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"SHA256", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"sha512", "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"crc32", "123456789", "cbf43926"},
        {"crc32c", "123456789", "e3069283"},
        {"crc32", "", "00000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.algorithm);
        const Result r = hash({c.algorithm}, c.input);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, std::string(c.digest) + "  -\n");
        EXPECT_EQ(hash({c.algorithm, "-"}, c.input).out, r.out);
    }
}

// A file bigger than the pieces it is read in, with every byte value, names itself.
TEST(HashCommandTest, HashesAFileReadInPieces) {
    kytest::TempDir dir;
    std::string content;
    for (int i = 0; i < 300000; ++i)
        content += static_cast<char>((i * 7 + i / 251) & 0xFF);
    const std::string path = dir.file("data.bin");
    kytest::writeFile(path, content);
    const Result r = hash({"sha256", path});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, Kyc::bin2hex(Kyc::sha256(content.data(), static_cast<int>(content.size()))) +
                         "  " + path + "\n");
}

TEST(HashCommandTest, UsageAndFileErrors) {
    kytest::TempDir dir;
    struct Case {
        std::vector<std::string> args;
        int code;
    };
    const Case cases[] = {
        {{}, 2},
        {{"sha3"}, 2},
        {{"sha256", "a", "b"}, 2},
        {{"sha256", dir.file("missing")}, 1},
        {{"sha256", dir.path()}, 1},
    };
    for (const Case& c : cases) {
        const Result r = hash(c.args);
        EXPECT_EQ(r.code, c.code) << testing::PrintToString(c.args);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
    EXPECT_EQ(hash({"--help"}).code, 0);
}

// The verb as administrators run it: the built tool, bytes on its standard input.
TEST(HashCommandTest, RunsThroughTheTool) {
    const char* binDir = std::getenv("KY_TEST_BIN_DIR");
    if (binDir == nullptr)
        GTEST_SKIP() << "KY_TEST_BIN_DIR is not set";
    kytest::TempDir dir;
    kytest::writeFile(dir.file("in"), std::string("a\0b\r\nc", 6));
    const std::string command = std::string(binDir) + "/kybasic hash md5 < " + dir.file("in") +
                                " > " + dir.file("out") + " 2> " + dir.file("err");
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << kytest::readFile(dir.file("err"));
    EXPECT_EQ(kytest::readFile(dir.file("out")), Kyc::bin2hex(Kyc::md5("a\0b\r\nc", 6)) + "  -\n");
}

}  // namespace
}  // namespace kybasic
