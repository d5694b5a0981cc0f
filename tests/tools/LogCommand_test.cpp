// kybasic log, run as the built tool against a private store and log folder.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
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

    // The tool run with its clock at `now` (seconds since 1970).
    kytest::ToolResult logAt(std::int64_t now, const std::vector<std::string>& args) {
        std::vector<std::string> all{"log"};
        all.insert(all.end(), args.begin(), args.end());
        kytest::ToolOptions options = instanceOptions(store_);
        options.environment.emplace_back("KYBASIC_TEST_NOW", std::to_string(now));
        return kytest::runTool(dir_, all, options);
    }
    static std::string eventManager() {
        return "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\EventManager";
    }
    std::optional<DWORD> number(const std::string& name) {
        DWORD v = 0, size = sizeof v, type = 0;
        if (kyos::reg::getValue(HKEY_LOCAL_MACHINE, eventManager(), name, &type, &v, &size) !=
                ERROR_SUCCESS ||
            type != REG_DWORD)
            return std::nullopt;
        return v;
    }
    void setNumber(const std::string& name, DWORD v) {
        HKEY key = nullptr;
        ASSERT_EQ(kyos::reg::createKey(HKEY_LOCAL_MACHINE, eventManager(), 0, KEY_ALL_ACCESS, &key,
                                       nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(kyos::reg::setValue(key, name, REG_DWORD, &v, sizeof v), ERROR_SUCCESS);
        kyos::reg::closeKey(key);
    }

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

// 2026-03-01 12:00:00 UTC.
constexpr std::int64_t kNow = 1772366400;

TEST_F(LogCommandTest, ALevelWithMinutesEndsAtTheRevisionAfterThem) {
    kytest::ToolResult r = logAt(kNow, {"level", "kyd", "5", "1"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("kyd: level 5 until "), std::string::npos) << r.out;
    EXPECT_EQ(number("kyd_DEBUGLEVEL"), 5u);
    EXPECT_EQ(number("kyd_DEBUGLEVEL_UNTIL"), static_cast<DWORD>(kNow + 60));

    // At its end it is still in force; a second later the revision removes both.
    r = logAt(kNow + 60, {"revise"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(number("kyd_DEBUGLEVEL"), 5u);
    r = logAt(kNow + 61, {"revise"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Log settings of Instance001 revised"), std::string::npos) << r.out;
    EXPECT_EQ(number("kyd_DEBUGLEVEL"), std::nullopt);
    EXPECT_EQ(number("kyd_DEBUGLEVEL_UNTIL"), std::nullopt);
    // What it did is in the tool's own log.
    EXPECT_NE(
        kytest::readFile(logDir_ + "/kybasic.log").find("Expire [EventManager\\KYD_DEBUGLEVEL]"),
        std::string::npos);
}

TEST_F(LogCommandTest, ANameAloneShowsTheLevels) {
    struct Case {
        std::optional<DWORD> level, until;
        const char* expected;
    } cases[] = {
        {std::nullopt, std::nullopt,
         "log:             kyd\neffective level: 1\ndefault level:   1\noverride:        none\n"},
        {0, std::nullopt,
         "log:             kyd\neffective level: 1\ndefault level:   1\noverride:        none\n"},
        {5, static_cast<DWORD>(kNow + 60),
         "log:             kyd\neffective level: 5\ndefault level:   1\noverride:        5, until "
         "2026-03-01 12:01:00 +0000 (1772366460)\n"},
        {5, static_cast<DWORD>(kNow - 1),
         "log:             kyd\neffective level: 5\ndefault level:   1\noverride:        5, ended "
         "2026-03-01 11:59:59 +0000 (1772366399) (removed at the next revise)\n"},
        {7, std::nullopt,
         "log:             kyd\neffective level: 7\ndefault level:   1\noverride:        7, no end "
         "yet (the next revise gives it 7 days)\n"},
    };
    for (const Case& c : cases) {
        kyos::reg::deleteTree(HKEY_LOCAL_MACHINE, eventManager());
        if (c.level)
            setNumber("kyd_DEBUGLEVEL", *c.level);
        if (c.until)
            setNumber("kyd_DEBUGLEVEL_UNTIL", *c.until);
        kytest::ToolOptions options = instanceOptions(store_);
        options.environment.emplace_back("KYBASIC_TEST_NOW", std::to_string(kNow));
        options.environment.emplace_back("TZ", "UTC");
        kytest::ToolResult r = kytest::runTool(dir_, {"log", "level", "kyd"}, options);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, c.expected);
    }
}

TEST_F(LogCommandTest, LevelZeroRemovesTheOverrideAndALevelAloneDropsAnOldEnd) {
    setNumber("cl_my_pc_kyd_DEBUGLEVEL", 5);
    setNumber("cl_my_pc_kyd_DEBUGLEVEL_UNTIL", static_cast<DWORD>(kNow - 100));
    kytest::ToolResult r = logAt(kNow, {"level", "cl_my_pc_kyd", "6"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(number("cl_my_pc_kyd_DEBUGLEVEL"), 6u);
    EXPECT_EQ(number("cl_my_pc_kyd_DEBUGLEVEL_UNTIL"), std::nullopt);

    r = logAt(kNow, {"level", "cl_my_pc_kyd", "6", "10080"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(number("cl_my_pc_kyd_DEBUGLEVEL_UNTIL"), static_cast<DWORD>(kNow + 604800));
    r = logAt(kNow, {"level", "cl_my_pc_kyd", "0"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(number("cl_my_pc_kyd_DEBUGLEVEL"), std::nullopt);
    EXPECT_EQ(number("cl_my_pc_kyd_DEBUGLEVEL_UNTIL"), std::nullopt);
}

TEST_F(LogCommandTest, BadLevelArgumentsAreRefusedAndChangeNothing) {
    struct Case {
        std::vector<std::string> args;
        const char* errorText;
    } cases[] = {
        {{"level", "nosuch", "5"}, "not a known log name: 'nosuch'"},
        {{"level", "cl__kyd", "5"}, "not a known log name"},
        {{"level", "cl_a/b_kyd", "5"}, "not a known log name"},
        {{"level", "kyd", "5", "0"}, "MINUTES must be a number from 1 to 10080, not '0'"},
        {{"level", "kyd", "5", "10081"}, "MINUTES must be a number from 1 to 10080, not '10081'"},
        {{"level", "kyd", "5", "-3"}, "MINUTES must be"},
        {{"level", "kyd", "high"}, "LEVEL must be a number from 0 up, not 'high'"},
        {{"level", "kyd", "-1"}, "LEVEL must be"},
        {{"level", "kyd", "0", "5"}, "LEVEL 0 removes the override and takes no MINUTES"},
        {{"level"}, "usage: kybasic log level NAME [LEVEL [MINUTES]]"},
        {{"level", "kyd", "1", "2", "3"}, "usage: kybasic log level NAME [LEVEL [MINUTES]]"},
        {{"revise", "now"}, "usage: kybasic log revise"},
    };
    for (const Case& c : cases) {
        kytest::ToolResult r = logAt(kNow, c.args);
        EXPECT_EQ(r.code, 2) << c.args[1];
        EXPECT_NE(r.err.find(c.errorText), std::string::npos) << r.err;
    }
    HKEY key = nullptr;
    EXPECT_EQ(kyos::reg::openKey(HKEY_LOCAL_MACHINE, eventManager(), 0, KEY_READ, &key),
              ERROR_SUCCESS);
    kyos::reg::KeyInfo info;
    EXPECT_EQ(kyos::reg::queryInfoKey(key, &info), ERROR_SUCCESS);
    EXPECT_EQ(info.values, 1u);  // dEVLOGDIR alone
    kyos::reg::closeKey(key);
}

TEST_F(LogCommandTest, AStoreThatCannotBeReachedFailsTheLevelCommand) {
    const std::string blocker = dir_.file("blocker");
    kytest::writeFile(blocker, "not a folder");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"log", "level", "kyd"},
          std::vector<std::string>{"log", "level", "kyd", "5", "1"}}) {
        kytest::ToolOptions options = instanceOptions(blocker + "/registry.db");
        kytest::ToolResult r = kytest::runTool(dir_, args, options);
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_NE(r.err.find("kybasic log level: cannot "), std::string::npos) << r.err;
    }
}

}  // namespace
