// kybasic demo, run as the built tool: an installation found in the store, a fresh one
// laid down by an ordinary user, and a log that cannot be opened.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/TempDir.h"
#include "tests/tools/ToolRun.h"

namespace {

class DemoCommandTest : public kytest::ToolStoreTest {
protected:
    kytest::ToolResult demo(const std::string& store, bool asNobody = false,
                            const std::string& home = "") {
        kytest::ToolOptions options = instanceOptions(store);
        options.asNobody = asNobody;
        if (!home.empty())
            options.environment.push_back({"HOME", home});
        return kytest::runTool(dir_, {"demo"}, options);
    }
};

TEST_F(DemoCommandTest, FindsTheInstanceAndLogsItsRoad) {
    const std::string logs = dir_.file("logs");
    setInstanceText("", "sProductVersion", "11.36.0");
    setInstanceText("EventManager", "dEVLOGDIR", logs, REG_EXPAND_SZ);
    kytest::ToolResult r = demo(store_);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Instance Instance001 of Sarvex: found\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sProductVersion          11.36.0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Debug log: " + logs + "/kybasic.log\n"), std::string::npos) << r.out;
    std::string text = kytest::readFile(logs + "/kybasic.log");
    EXPECT_NE(text.find("Instance Instance001 found"), std::string::npos) << text;
    EXPECT_NE(text.find("Debug log opened as [kybasic] at level 1"), std::string::npos);
}

// An ordinary user's fresh install: the instance goes below the home folder, the second
// run finds it.
TEST_F(DemoCommandTest, LaysDownAFreshInstallForAnOrdinaryUser) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run the tool as another user";
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    const std::string home = dir_.file("home");
    ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
    ASSERT_EQ(chown(home.c_str(), kytest::kNobody, kytest::kNobody), 0);
    const std::string store = home + "/registry.db";
    kytest::ToolResult r = demo(store, true, home);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Instance Instance001 of Sarvex: created as a fresh install\n"),
              std::string::npos)
        << r.out;
    const std::string log = home + "/.local/share/kelbrin/Log_Files/kybasic.log";
    EXPECT_NE(r.out.find("Debug log: " + log + "\n"), std::string::npos) << r.out;
    EXPECT_NE(kytest::readFile(log).find("Instance Instance001 created as a fresh install"),
              std::string::npos);
    r = demo(store, true, home);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Instance Instance001 of Sarvex: found\n"), std::string::npos) << r.out;
}

TEST_F(DemoCommandTest, ALogThatCannotBeOpenedFails) {
    const std::string blocker = dir_.file("blocker");
    kytest::writeFile(blocker, "not a folder");
    setInstanceText("", "sProductVersion", "11.36.0");
    setInstanceText("EventManager", "dEVLOGDIR", blocker + "/logs", REG_EXPAND_SZ);
    kytest::ToolResult r = demo(store_);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("kybasic demo: cannot open the debug log"), std::string::npos) << r.err;
}

}  // namespace
