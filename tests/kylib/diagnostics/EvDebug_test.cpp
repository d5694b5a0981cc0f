#include "kylib/diagnostics/EvDebug.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "os/System.h"
#include "os/registry/Registry.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "tests/support/TempDir.h"

namespace {

constexpr const char* kInstance = "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001";

// Each test runs in a process of its own (CTest runs cases one per process), so the
// process-wide log state starts fresh: a private store, a private log folder.
class EvDebugTest : public kytest::StoreTest {
protected:
    void SetUp() override {
        kytest::StoreTest::SetUp();
        KYPI_Focus::setFocus("Instance001");
        KYPI_Focus::setFocusPseudoClientName(nullptr);
        KYPI_Focus::setFocusClientName("client1");
        logDir_ = dir_.file("logs");
        setText("EventManager", "dEVLOGDIR", logDir_, REG_EXPAND_SZ);
    }
    void TearDown() override {
        // CTest runs each case in a fresh process; when the binary runs them all in one,
        // the next case must open its own log again.
        EvDebug::CleanupFileHandleList();
        EvDebug::SetRefreshInterval(0);
        KYPI_Focus::reload();
        kytest::StoreTest::TearDown();
    }

    void setNumber(const std::string& section, const std::string& name, DWORD v) {
        HKEY k = nullptr;
        ASSERT_EQ(kyos::reg::createKey(HKEY_LOCAL_MACHINE, std::string(kInstance) + "\\" + section,
                                       0, KEY_ALL_ACCESS, &k, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(kyos::reg::setValue(k, name, REG_DWORD, &v, sizeof v), ERROR_SUCCESS);
        kyos::reg::closeKey(k);
    }
    void setText(const std::string& section, const std::string& name, const std::string& v,
                 DWORD type = REG_SZ) {
        HKEY k = nullptr;
        ASSERT_EQ(kyos::reg::createKey(HKEY_LOCAL_MACHINE, std::string(kInstance) + "\\" + section,
                                       0, KEY_ALL_ACCESS, &k, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(kyos::reg::setValue(k, name, type, v.c_str(), static_cast<DWORD>(v.size() + 1)),
                  ERROR_SUCCESS);
        kyos::reg::closeKey(k);
    }
    std::string fileText(const std::string& file) {
        return kytest::readFile(logDir_ + "/" + file + ".log");
    }
    bool logExists(const std::string& file) {
        return access((logDir_ + "/" + file + ".log").c_str(), F_OK) == 0;
    }
    static unsigned testLog() { return EvDebug::getLogId("kytest"); }

    std::string logDir_;
};

TEST_F(EvDebugTest, LogIdsComeFromTheUpperCasedNameCrc) {
    EXPECT_EQ(EvDebug::getLogId(nullptr), 0x7FFFFFFFu);
    const char upper[] = "KYD";
    unsigned expected =
        static_cast<unsigned>(crc32(0, reinterpret_cast<const Bytef*>(upper), 3)) & 0x7FFFFFFF;
    EXPECT_EQ(EvDebug::getLogId("kyd"), expected);
    EXPECT_EQ(EvDebug::getLogId("KYD"), expected);
    const KYLogFileInfo* row = EvDebug::FindLogFileInfo(expected);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->name, "kyd");
    std::string name;
    EXPECT_FALSE(EvDebug::GetLogName(expected, "x", name).IsError());
    EXPECT_EQ(name, "kyd-x");
    CHbError err = EvDebug::GetLogName(12345, "", name);
    EXPECT_TRUE(err.Is(774));
}

TEST_F(EvDebugTest, LevelFiltering) {
    EvDebug log;
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    ASSERT_TRUE(log.IsInitialized());
    struct Case {
        int instanceLevel;
        int messageLevel;
        bool written;
    } cases[] = {
        {0, 0, true}, {3, 0, true}, {0, -1, true}, {4, 5, false}, {5, 5, true}, {0, 1, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        log.setDebugLevel(c.instanceLevel);
        std::string text = "message-" + std::to_string(n++) + "-end";
        log.DebugLvl("Test::level", c.messageLevel, "%s", text.c_str());
        EXPECT_EQ(log.getDebugLevel(), c.instanceLevel);
        EXPECT_EQ(fileText("kytest").find(text) != std::string::npos, c.written)
            << "level " << c.instanceLevel << " message " << c.messageLevel;
    }
    log.setDebugLevel(0);
    log.Error("Test::error", "an error %d", 7);
    EXPECT_NE(fileText("kytest").find("an error 7"), std::string::npos);
}

TEST_F(EvDebugTest, TraceTexts) {
    EvDebug log;
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    log.traceIn("Fn", 0);
    log.traceIn("Fn", 12);
    log.traceOut("Fn", 0);
    std::string text = fileText("kytest");
    EXPECT_NE(text.find("Entering [Fn]"), std::string::npos);
    EXPECT_NE(text.find("Entering [Fn] Line [12]"), std::string::npos);
    EXPECT_NE(text.find("Exiting [Fn]"), std::string::npos);
}

TEST_F(EvDebugTest, HandlesOfOneLogShareAWriterSuffixGetsItsOwn) {
    EvDebugFileInstance a, b, c;
    EvDebug la(&a), lb(&b), lc(&c);
    ASSERT_TRUE(la.initialize(testLog(), 0, true, ""));
    ASSERT_TRUE(lb.initialize(testLog(), 0, true, ""));
    ASSERT_TRUE(lc.initialize(testLog(), 0, true, "extra"));
    EXPECT_EQ(la.GetWriter(), lb.GetWriter());
    EXPECT_NE(la.GetWriter(), lc.GetWriter());
    la.Debug("T", "from a");
    lb.Debug("T", "from b");
    lc.Debug("T", "from c");
    EXPECT_NE(fileText("kytest").find("from a"), std::string::npos);
    EXPECT_NE(fileText("kytest").find("from b"), std::string::npos);
    EXPECT_EQ(fileText("kytest").find("from c"), std::string::npos);
    EXPECT_NE(fileText("kytest-extra").find("from c"), std::string::npos);
    EXPECT_EQ(lc.getModuleName(), "kytest-extra");
}

TEST_F(EvDebugTest, JobLogsWithAppendJob) {
    setNumber("EventManager", "kytest_AppendJob", 1);
    struct Case {
        __int64 job;
        const char* file;
    } cases[] = {{42, "kytest_Job42"}, {43, "kytest_Job43"}, {0, "kytest"}, {-5, "kytest"}};
    for (const Case& c : cases) {
        EvDebugFileInstance inst;
        EvDebug log(&inst);
        ASSERT_TRUE(log.initialize(testLog(), c.job, true, ""));
        log.Debug("T", "job line %lld", static_cast<long long>(c.job));
        EXPECT_NE(fileText(c.file).find("job line " + std::to_string(c.job)), std::string::npos)
            << c.file;
        log.CloseLogFile(true);
    }
    // Each job kept to its own file: a second job id did not share the first one's writer.
    EXPECT_EQ(fileText("kytest_Job42").find("job line 43"), std::string::npos);
}

TEST_F(EvDebugTest, ClientPrefixOfFileNames) {
    struct Case {
        DWORD mode;
        const char* pseudo;
        const char* file;
    } cases[] = {
        {1, "pc1", "cl_pc1_kytest"},
        {2, nullptr, "cl_client1_kytest"},
        {1, nullptr, "kytest"},
        {0, "pc1", "kytest"},
    };
    int n = 0;
    for (const Case& c : cases) {
        setNumber("EventManager", "PrefixLogFileNameWithClientName", c.mode);
        KYPI_Focus::setFocusPseudoClientName(c.pseudo);
        EvDebugFileInstance inst;
        EvDebug log(&inst);
        ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
        std::string text = "prefix case " + std::to_string(n++);
        log.Debug("T", "%s", text.c_str());
        EXPECT_NE(fileText(c.file).find(text), std::string::npos) << c.file;
    }
}

TEST_F(EvDebugTest, UnknownLogIdFails) {
    EvDebug log;
    EXPECT_FALSE(log.initialize(0x1234, 0, true, ""));
    EXPECT_FALSE(log.IsInitialized());
    log.Debug("T", "dropped");  // not ready: dropped, no crash
}

TEST_F(EvDebugTest, RefreshAfterIntervalReadsTheLevel) {
    setNumber("EventManager", "kytest_DEBUG_REFRESH_TIME", 1);
    EvDebug log;
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    EXPECT_EQ(log.getDebugLevel(), 1);
    setNumber("EventManager", "kytest_DEBUGLEVEL", 5);
    // Poll with a deadline: the next message after the interval re-reads the level.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (log.getDebugLevel() != 5 && std::chrono::steady_clock::now() < deadline) {
        log.Debug("T", "tick");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(log.getDebugLevel(), 5);
    EXPECT_NE(fileText("kytest").find("Changing Debug level from 1 to 5"), std::string::npos);
}

TEST_F(EvDebugTest, SizeAndBackupsComeFromTheRegistry) {
    setNumber("EventManager", "kytest_MAXLOGFILESIZE", 7);
    setNumber("EventManager", "kytest_MAXLOGFILEBACKUPS", 4);
    EvDebug log;
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    EXPECT_EQ(log.getLogFileSize(), 7u);
    EXPECT_EQ(log.getMaxVersion(), 4u);
    EXPECT_EQ(log.getDefaultLogFileSize(), 5u);
    EXPECT_EQ(log.getDefaultMaxVersion(), 2u);
}

TEST_F(EvDebugTest, LoggingSwitches) {
    setNumber("EventManager", "kytest_TurnOffLogging", 1);
    EvDebugFileInstance inst;  // the module stays silenced for the life of the process
    EvDebug log(&inst);
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    log.Debug("T", "silenced line");
    EXPECT_EQ(fileText("kytest").find("silenced line"), std::string::npos);
    EXPECT_NE(
        fileText("kytest").find("Disable module logging switch is enabled. Hence not logging"),
        std::string::npos);
}

TEST_F(EvDebugTest, CleanedUpWriterLeavesInstancesNotReady) {
    EvDebug log;
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    EvDebugFileInstance other;
    EvDebug shared(&other);
    ASSERT_TRUE(shared.initialize(testLog(), 0, true, ""));
    EvDebug::CleanupDefaultFileHandle();
    EXPECT_FALSE(log.IsInitialized());
    EXPECT_FALSE(shared.IsInitialized());
    log.Debug("T", "after cleanup");  // dropped, never touches freed memory
    shared.Debug("T", "after cleanup");
    EXPECT_EQ(fileText("kytest").find("after cleanup"), std::string::npos);
    // The log can be opened again.
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    log.Debug("T", "reopened");
    EXPECT_NE(fileText("kytest").find("reopened"), std::string::npos);
    EvDebug::CleanupFileHandleList();
    EXPECT_FALSE(log.IsInitialized());
    log.finalize();  // skips cleared slots
}

TEST_F(EvDebugTest, AffinityIgnoresProcessorsTheMachineLacks) {
    // Processor 0 plus numbers no machine here has: only processor 0 may take effect.
    setText("Session", "All_AffinityMask", "0, 99, 64, 63, -1, x");
    // The affinity is applied once per process, by its first log: CTest runs each case in
    // a fresh process, as this one needs.
    if (*EvDebug::getProcessName() != '\0')
        GTEST_SKIP() << "a log was opened earlier in this process";
    pid_t pid = fork();
    if (pid == 0) {
        EvDebug log;
        std::uint64_t after = 0, system = 0;
        bool ok = log.initialize(testLog(), 0, true, "") &&
                  kyos::getProcessAffinity(&after, &system) &&
                  after == (kyos::processorCount() > 63 ? 0x8000000000000001ull : 1ull);
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(EvDebugTest, PrintStringFormattedStaysInItsBuffer) {
    EvDebug log;
    MsgEventFormatted event{};
    std::memcpy(event.timeText, "12/09 23:59:59.123", 18);
    std::string message(500, 'x');
    event.message = message.c_str();
    char out[64];
    std::memset(out, '#', sizeof out);
    char guard[16];
    std::memset(guard, '#', sizeof guard);
    log.printStringFormatted(&event, out, 40);
    EXPECT_EQ(std::strlen(out), 39u);
    EXPECT_EQ(out[41], '#');
    std::string full(256, '\0');
    log.printStringFormatted(&event, full.data(), full.size());
    std::string prefix = std::to_string(kyos::processId()) + " ";
    EXPECT_EQ(full.compare(0, prefix.size(), prefix), 0);
    EXPECT_NE(full.find("12/09 23:59:59.123  xxx"), std::string::npos);
}

TEST_F(EvDebugTest, IdentityAfterInitialize) {
    EvDebug log;
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    EXPECT_EQ(EvDebug::getProcessId(), kyos::processId());
    EXPECT_STREQ(EvDebug::getProcessName(), kyos::processName().c_str());
    EXPECT_STREQ(EvDebug::getClientName(), "client1");
    EXPECT_NE(std::string(EvDebug::getHostName()), "");
}

TEST_F(EvDebugTest, ProcessesShareOneLog) {
    EvDebug log;
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    constexpr int kChildren = 3, kLines = 500;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < kLines; ++i)
                log.Debug("T", "child %d line %d end", c, i);
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
    }
    std::string text = fileText("kytest");
    for (int c = 0; c < kChildren; ++c) {
        for (int i : {0, kLines / 2, kLines - 1}) {
            EXPECT_NE(
                text.find("child " + std::to_string(c) + " line " + std::to_string(i) + " end"),
                std::string::npos);
        }
    }
}

}  // namespace
