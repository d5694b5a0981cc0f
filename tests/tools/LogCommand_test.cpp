// kybasic log, run as the built tool against a private store and log folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/registry/Registry.h"
#include "tests/support/TempDir.h"
#include "tests/tools/ToolRun.h"

namespace {

constexpr const char* kEventManager =
    "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\EventManager";

class LogCommandTest : public kytest::StoreTest {
protected:
    void SetUp() override {
        kytest::StoreTest::SetUp();
        if (kytest::toolFolder() == nullptr)
            GTEST_SKIP() << "KY_TEST_BIN_DIR is not set";
        logDir_ = dir_.file("logs");
        setLogFolder(logDir_);
    }

    void setLogFolder(const std::string& folder) {
        HKEY key = nullptr;
        ASSERT_EQ(kyos::reg::createKey(HKEY_LOCAL_MACHINE, kEventManager, 0, KEY_ALL_ACCESS, &key,
                                       nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(kyos::reg::setValue(key, "dEVLOGDIR", REG_EXPAND_SZ, folder.c_str(),
                                      static_cast<DWORD>(folder.size() + 1)),
                  ERROR_SUCCESS);
        kyos::reg::closeKey(key);
    }

    kytest::ToolResult log(const std::vector<std::string>& args) {
        std::vector<std::string> all{"log"};
        all.insert(all.end(), args.begin(), args.end());
        return kytest::runTool(dir_, all,
                               {{{"KY_REGISTRY", store_},
                                 {"KY_INSTANCE", "Instance001"},
                                 {"KY_CLIENT_NAME", "client1"}},
                                "",
                                false});
    }
    std::string logText() { return kytest::readFile(logDir_ + "/kytest.log"); }

    std::string logDir_;
};

struct LogCase {
    std::vector<std::string> args;
    int code;
    const char* errorText;  // in standard error; null: none
    bool written;
};

TEST_F(LogCommandTest, WritesOneLineOrSaysWhyNot) {
    const LogCase cases[] = {
        {{"kytest", "1", "maintenance starts"}, 0, nullptr, true},
        {{"kytest", "-1", "an error line"}, 0, nullptr, true},
        {{"kytest", "5", "too detailed"}, 1, "is above the log's level 1", false},
        {{"nosuchlog", "1", "x"}, 1, "'nosuchlog' is not a known log name", false},
        {{"kytest", "high", "x"}, 1, "LEVEL must be a number", false},
        {{"kytest", "1"}, 1, "usage: kybasic log NAME LEVEL TEXT", false},
    };
    for (const LogCase& c : cases) {
        kytest::ToolResult r = log(c.args);
        const std::string text = c.args.size() == 3 ? c.args[2] : "";
        EXPECT_EQ(r.code, c.code) << c.args[0] << " " << c.args[1] << ": " << r.err;
        if (c.errorText == nullptr) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(c.errorText), std::string::npos) << r.err;
        }
        EXPECT_EQ(r.out, "");
        if (!text.empty()) {
            EXPECT_EQ(logText().find(" " + text + "\n") != std::string::npos, c.written) << text;
        }
    }
}

TEST_F(LogCommandTest, ALogThatCannotBeWrittenFails) {
    // Tests run as root, which may write anywhere: a folder below a regular file is what
    // nobody can create.
    const std::string blocker = dir_.file("blocker");
    kytest::writeFile(blocker, "not a folder");
    setLogFolder(blocker + "/logs");
    kytest::ToolResult r = log({"kytest", "1", "lost"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("kybasic log: cannot open the log 'kytest' in '" + blocker + "/logs'"),
              std::string::npos)
        << r.err;
}

}  // namespace
