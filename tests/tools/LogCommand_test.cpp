// kybasic log, run as the built tool against a private store and log folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TempDir.h"
#include "tests/tools/ToolRun.h"

namespace {

class LogCommandTest : public kytest::ToolStoreTest {
protected:
    void SetUp() override {
        kytest::ToolStoreTest::SetUp();
        logDir_ = dir_.file("logs");
        setInstanceText("EventManager", "dEVLOGDIR", logDir_, REG_EXPAND_SZ);
    }

    kytest::ToolResult log(const std::vector<std::string>& args) {
        std::vector<std::string> all{"log"};
        all.insert(all.end(), args.begin(), args.end());
        return kytest::runTool(dir_, all, instanceOptions(store_));
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
    setInstanceText("EventManager", "dEVLOGDIR", blocker + "/logs", REG_EXPAND_SZ);
    kytest::ToolResult r = log({"kytest", "1", "lost"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("kybasic log: cannot open the log 'kytest' in '" + blocker + "/logs'"),
              std::string::npos)
        << r.err;
}

}  // namespace
