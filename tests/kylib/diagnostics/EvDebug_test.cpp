#include "kylib/diagnostics/EvDebug.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "kylib/platforminfo/KYPlatformInfo.h"
#include "os/LastError.h"
#include "os/System.h"
#include "os/registry/Registry.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "siblings/RoDorovev/RoDorovev.h"
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
        EvDebug::SetClock(nullptr);
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
    void deleteValue(const std::string& section, const std::string& name) {
        HKEY k = nullptr;
        ASSERT_EQ(kyos::reg::openKey(HKEY_LOCAL_MACHINE, std::string(kInstance) + "\\" + section, 0,
                                     KEY_ALL_ACCESS, &k),
                  ERROR_SUCCESS);
        ASSERT_EQ(kyos::reg::deleteValue(k, name), ERROR_SUCCESS);
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
    const std::size_t writers = EvDebug::WriterCount();
    EvDebug log;
    EXPECT_FALSE(log.initialize(0x1234, 0, true, ""));
    EXPECT_EQ(kyos::lastError(), 774u);
    EXPECT_FALSE(log.IsInitialized());
    EXPECT_EQ(log.GetWriter(), nullptr);
    log.Debug("T", "dropped");  // not ready: dropped, no crash
    EXPECT_EQ(EvDebug::WriterCount(), writers);
    EXPECT_EQ(access(logDir_.c_str(), F_OK), -1) << "nothing was written anywhere";
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
    setNumber("EventManager", "kytest-quiet_TurnOffLogging", 1);
    // The module stays silenced for the life of the process: one of its own, so that the
    // cases run after it in this process still write.
    EvDebugFileInstance inst;
    EvDebug log(&inst);
    ASSERT_TRUE(log.initialize(testLog(), 0, true, "quiet"));
    log.Debug("T", "silenced line");
    EXPECT_EQ(fileText("kytest-quiet").find("silenced line"), std::string::npos);
    EXPECT_NE(fileText("kytest-quiet")
                  .find("Disable module logging switch is enabled. Hence not logging"),
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
    // The output and the bytes right after it, in one block: a write past the size given
    // lands in the guard.
    struct {
        char out[40];
        char guard[24];
    } block;
    std::memset(&block, '#', sizeof block);
    log.printStringFormatted(&event, block.out, sizeof block.out);
    EXPECT_EQ(std::strlen(block.out), sizeof block.out - 1);
    EXPECT_EQ(std::string(block.guard, sizeof block.guard), std::string(sizeof block.guard, '#'));

    std::string full(600, '\0');
    log.printStringFormatted(&event, full.data(), full.size());
    std::ostringstream expected;
    expected << kyos::processId() << " ";
    char tid[32];
    std::snprintf(tid, sizeof tid, "%4lx", static_cast<unsigned long>(kyos::threadId()));
    expected << tid << " 12/09 23:59:59.123  " << message;
    EXPECT_EQ(std::string(full.c_str()), expected.str());
    EXPECT_EQ(log.printStringFormatted(nullptr, block.out, sizeof block.out), block.out);
    EXPECT_STREQ(block.out, "");
}

// Stands in for the system's resolver: counts the lookups and answers from a table, so
// that the identity's addresses are known and a slow lookup can be staged.
struct FakeResolver {
    static inline std::atomic<int> calls{0};
    static inline std::mutex mutex;
    static inline std::condition_variable released;
    static inline bool blocking = false;
    static inline bool entered = false;

    static bool Resolve(const std::string& host, std::vector<std::string>& addresses) {
        ++calls;
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        released.notify_all();
        released.wait(lock, [] { return !blocking; });
        if (host == "host1.example") {
            addresses = {"192.0.2.7", "2001:db8::7"};
            return true;
        }
        return false;
    }
};

class EvDebugIdentityTest : public EvDebugTest {
protected:
    void SetUp() override {
        EvDebugTest::SetUp();
        FakeResolver::calls = 0;
        RoDorovev::SetResolver(&FakeResolver::Resolve);
    }
    void TearDown() override {
        RoDorovev::SetResolver(nullptr);
        EvDebugTest::TearDown();
    }
};

TEST_F(EvDebugIdentityTest, IdentityComesFromTheInstanceOnce) {
    if (*EvDebug::getProcessName() != '\0')
        GTEST_SKIP() << "a log was opened earlier in this process";
    setText("", "sProductVersion", "11.120.3");
    setText("", "sPhysicalNodeName", "client1");
    setText("Machines/client1", "sHOSTNAME", "host1.example");
    setText("Zentra", "sZSHOSTNAME", "server1");
    setText("Zentra", "sZSCLIENTNAME", "serverclient1");
    setText("Base", "sVERSION", "11.0");
    EvDebugFileInstance a, b, c;
    EvDebug la(&a), lb(&b), lc(&c);
    ASSERT_TRUE(la.initialize(testLog(), 0, true, ""));
    ASSERT_TRUE(lb.initialize(testLog(), 0, true, "second"));
    ASSERT_TRUE(lc.initialize(testLog(), 0, true, "third"));
    EXPECT_EQ(FakeResolver::calls, 1) << "the host is resolved once per process";

    EXPECT_EQ(EvDebug::getProcessId(), kyos::processId());
    EXPECT_STREQ(EvDebug::getProcessName(), kyos::processName().c_str());
    EXPECT_STREQ(EvDebug::getClientName(), "client1");
    EXPECT_STREQ(EvDebug::getHostName(), "host1.example");
    EXPECT_STREQ(EvDebug::getIPString(), "192.0.2.7");
    std::vector<std::string> macs = RoDorovev::GetMacAddressList();
    EXPECT_STREQ(EvDebug::getMACAddress(), macs.empty() ? "" : macs.front().c_str());
    EXPECT_EQ(EvDebug::getServicePackVersion(), 12);
    la.Debug("T", "a line");
    lc.Debug("T", "a line");
    for (const char* file : {"kytest", "kytest-third"}) {
        std::string text = fileText(file);
        EXPECT_NE(text.find("# Host: host1.example\n"), std::string::npos) << file;
        EXPECT_NE(text.find("# Client: client1\n"), std::string::npos) << file;
        EXPECT_NE(text.find("# Central server: server1 (serverclient1)\n"), std::string::npos);
        EXPECT_NE(text.find("# Addresses: 192.0.2.7 2001:db8::7\n"), std::string::npos) << file;
        EXPECT_NE(text.find("# Product version: 11.120.3\n"), std::string::npos) << file;
    }
}

// The first log of a process waits for its host to be resolved; nothing else waits with
// it: closing and cleaning up other logs go on.
TEST_F(EvDebugIdentityTest, ASlowResolverHoldsUpNoOtherLog) {
    if (*EvDebug::getProcessName() != '\0')
        GTEST_SKIP() << "a log was opened earlier in this process";
    {
        std::lock_guard<std::mutex> lock(FakeResolver::mutex);
        FakeResolver::blocking = true;
        FakeResolver::entered = false;
    }
    std::atomic<bool> opened{false};
    std::thread first([&] {
        EvDebug log;
        opened = log.initialize(testLog(), 0, true, "");
    });
    {
        std::unique_lock<std::mutex> lock(FakeResolver::mutex);
        ASSERT_TRUE(FakeResolver::released.wait_for(lock, std::chrono::seconds(10),
                                                    [] { return FakeResolver::entered; }));
    }
    std::atomic<bool> done{false};
    std::thread other([&] {
        EvDebug log;
        log.CloseLogFile(true);
        log.finalize();
        EvDebug::CleanupDefaultFileHandle();
        EvDebug::WriterCount();
        done = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(done) << "the process lock was held across the lookup";
    {
        std::lock_guard<std::mutex> lock(FakeResolver::mutex);
        FakeResolver::blocking = false;
    }
    FakeResolver::released.notify_all();
    first.join();
    other.join();
    EXPECT_TRUE(opened);
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
    // Every child's every line, once, whole, in the order the child wrote them.
    std::vector<std::vector<int>> seen(kChildren);
    std::regex shape(R"(^\d+ \d+ \S+ \S+ - - T child (\d+) line (\d+) end$)");
    std::istringstream lines(fileText("kytest"));
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (line.find(" child ") == std::string::npos)
            continue;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        seen[std::stoi(m[1])].push_back(std::stoi(m[2]));
    }
    for (int c = 0; c < kChildren; ++c) {
        ASSERT_EQ(seen[c].size(), static_cast<std::size_t>(kLines)) << "child " << c;
        for (int i = 0; i < kLines; ++i)
            ASSERT_EQ(seen[c][i], i) << "child " << c;
    }
}

// A process that runs one job after another, each with its own log, ends where it
// started: no descriptor and no writer is left of a job whose log was closed.
TEST_F(EvDebugTest, JobLogsLeaveNothingBehind) {
    setNumber("EventManager", "kytest_AppendJob", 1);
    EvDebug log;
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    log.Debug("T", "the process log is open");
    const int descriptors = kytest::openDescriptorCount();
    const std::size_t writers = EvDebug::WriterCount();
    constexpr int kJobs = 200;
    for (int job = 1; job <= kJobs; ++job) {
        EvDebugFileInstance inst;
        EvDebug jobLog(&inst);
        ASSERT_TRUE(jobLog.initialize(testLog(), job, true, ""));
        jobLog.Debug("T", "job %d runs", job);
        jobLog.CloseLogFile(true);
    }
    EXPECT_EQ(kytest::openDescriptorCount(), descriptors);
    EXPECT_EQ(EvDebug::WriterCount(), writers);
    EXPECT_NE(fileText("kytest_Job200").find("job 200 runs"), std::string::npos);

    // Instances kept while their logs are closed hold no descriptor either.
    std::vector<std::unique_ptr<EvDebugFileInstance>> kept;
    for (int job = 1; job <= 20; ++job) {
        kept.push_back(std::make_unique<EvDebugFileInstance>());
        EvDebug jobLog(kept.back().get());
        ASSERT_TRUE(jobLog.initialize(testLog(), job, true, ""));
        jobLog.Debug("T", "job %d again", job);
        jobLog.CloseLogFile(true);
    }
    EXPECT_EQ(kytest::openDescriptorCount(), descriptors);
    EXPECT_EQ(EvDebug::WriterCount(), writers + 20);
    kept.clear();
    EXPECT_EQ(EvDebug::WriterCount(), writers);
}

// A log that cannot be opened is reported, not passed off as open; asked to retry first,
// the log opens and its lines arrive once the folder can be used.
class EvDebugUnopenableTest : public EvDebugTest, public ::testing::WithParamInterface<bool> {};

TEST_P(EvDebugUnopenableTest, InitializeSaysSo) {
    const bool retry = GetParam();
    // Tests run as root: a folder below a regular file is what nobody can create.
    const std::string blocker = dir_.file("blocker");
    kytest::writeFile(blocker, "not a folder");
    logDir_ = blocker + "/logs";
    setText("EventManager", "dEVLOGDIR", logDir_, REG_EXPAND_SZ);
    const std::size_t writers = EvDebug::WriterCount();
    EvDebug log;
    log.SetRetryOnLogOpenFail(retry);
    EXPECT_EQ(log.initialize(testLog(), 0, true, ""), retry);
    EXPECT_EQ(log.IsInitialized(), retry);
    if (!retry) {
        EXPECT_NE(kyos::lastError(), 0u);
        EXPECT_EQ(EvDebug::WriterCount(), writers);
        return;
    }
    ASSERT_EQ(std::remove(blocker.c_str()), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!logExists("kytest") && std::chrono::steady_clock::now() < deadline) {
        log.Debug("T", "once the folder is there");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(fileText("kytest").find("once the folder is there"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Retry, EvDebugUnopenableTest, ::testing::Bool());

// Two writers of one name in two folders: the clean-up retires the one the default
// instance holds, not the first of that name in the list.
TEST_F(EvDebugTest, CleanupRetiresTheDefaultInstancesOwnWriter) {
    const std::string otherDir = dir_.file("other");
    EvDebugFileInstance other;
    EvDebug otherLog(&other);
    ASSERT_TRUE(otherLog.initialize(testLog(), 0, otherDir.c_str(), true, ""));
    EvDebug log;
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    ASSERT_NE(log.GetWriter(), otherLog.GetWriter());
    EvDebug::CleanupDefaultFileHandle();
    EXPECT_FALSE(log.IsInitialized());
    EXPECT_TRUE(otherLog.IsInitialized());
    otherLog.Debug("T", "still written");
    EXPECT_NE(kytest::readFile(otherDir + "/kytest.log").find("still written"), std::string::npos);
}

// The installation's logging modes: 1 writes each line at once, 2 buffers; "kyd" is
// never buffered, and its 2 means written at once, not synced line by line.
struct ModeCase {
    const char* log;
    DWORD mode;
    CHbLogger::modeOfLogging expected;
};

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << c.log << " with mode " << c.mode;
}

class EvDebugModeTest : public EvDebugTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(EvDebugModeTest, RegistryModeMapsOntoTheWriters) {
    const ModeCase& c = GetParam();
    setNumber("EventManager", std::string(c.log) + "_LoggingMode", c.mode);
    EvDebug log;
    ASSERT_TRUE(log.initialize(EvDebug::getLogId(c.log), 0, true, ""));
    EXPECT_EQ(log.GetLoggingMode(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Modes, EvDebugModeTest,
                         ::testing::Values(ModeCase{"kytest", 0, CHbLogger::eLoggingModeDefault},
                                           ModeCase{"kytest", 1, CHbLogger::eLoggingModeDefault},
                                           ModeCase{"kytest", 2, CHbLogger::eLoggingModeBuffered},
                                           ModeCase{"kytest", 3, CHbLogger::eLoggingModeDefault},
                                           ModeCase{"kyd", 2, CHbLogger::eLoggingModeDefault}));

// The resume file lives in the product's temporary folder, which others may write: a link
// planted under its name keeps its target, and the wait still ends when it goes.
TEST_F(EvDebugTest, AResumeFileLinkLeavesItsTargetAlone) {
    const std::string temp = dir_.file("temp");
    ASSERT_EQ(mkdir(temp.c_str(), 0755), 0);
    setText("Base", "dSARVEXTEMPDIR", temp, REG_EXPAND_SZ);
    setNumber("EventManager", "kytest_DEBUGWAITTIME", 0);
    const std::string target = dir_.file("precious");
    kytest::writeFile(target, "precious bytes");
    const std::string resume = temp + "/kytest.resume";
    ASSERT_EQ(symlink(target.c_str(), resume.c_str()), 0);
    EvDebug log;
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    std::atomic<bool> resumed{false};
    std::thread waiter([&] {
        log.debugWaitOnFile(nullptr);
        resumed = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (fileText("kytest").find("please remove it to continue") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(resumed);
    ASSERT_EQ(unlink(resume.c_str()), 0);
    waiter.join();
    EXPECT_TRUE(resumed);
    EXPECT_EQ(kytest::readFile(target), "precious bytes");
}

// With no log folder set, a user that cannot write the machine's log folder gets one of
// its own, private; one that somebody else made, or a link, is refused.
TEST_F(EvDebugTest, TheFallbackLogFolderIsTheUsersOwn) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to act as another user";
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    struct Case {
        const char* what;
        const char* planted;  // made by root before the user looks: a folder or a link
        bool link;
        bool refused;
    } cases[] = {
        {"a fresh user", nullptr, false, false},
        {"a folder root made", "kelbrin", false, true},
        {"a link to root's folder", "kelbrin", true, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string state = dir_.file("state" + std::to_string(n++));
        ASSERT_EQ(mkdir(state.c_str(), 0755), 0);
        ASSERT_EQ(chown(state.c_str(), 65534, 65534), 0);
        if (c.planted != nullptr) {
            const std::string planted = state + "/" + c.planted;
            if (c.link) {
                const std::string real = dir_.file("real" + std::to_string(n));
                ASSERT_EQ(mkdir(real.c_str(), 0777), 0);
                ASSERT_EQ(symlink(real.c_str(), planted.c_str()), 0);
            } else {
                ASSERT_EQ(mkdir(planted.c_str(), 0777), 0);
            }
        }
        std::fflush(nullptr);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            KYPI_Focus::setFocus("NoSuchInstance");  // no log folder in the store
            setenv("XDG_STATE_HOME", state.c_str(), 1);
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(10);
            std::string dir = EvDebug().getTempLogFilePath();
            if (c.refused)
                _exit(dir.empty() ? 0 : 11);
            struct stat st;
            bool ok = dir == state + "/kelbrin/LogFiles" && lstat(dir.c_str(), &st) == 0 &&
                      S_ISDIR(st.st_mode) && (st.st_mode & 0777) == 0700 && st.st_uid == 65534;
            _exit(ok ? 0 : 12);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << c.what << ": status " << status;
    }
}

// ---- Thread-level instances.

// The refresh's clock, moved by hand: no test waits out the refresh interval.
std::atomic<std::int64_t> g_now{1'000'000};
std::int64_t fakeNow() {
    return g_now.load();
}

// A default log and two more of the same name with suffixes, each at a level of its own:
// a line shows which instance took it, and at which level it was filtered.
class EvDebugThreadLevelTest : public EvDebugTest {
protected:
    void SetUp() override {
        EvDebugTest::SetUp();
        setNumber("EventManager", "kytest-outer_DEBUGLEVEL", 2);
        setNumber("EventManager", "kytest-inner_DEBUGLEVEL", 3);
        g_now = 1'000'000;
        EvDebug::SetClock(&fakeNow);
        ASSERT_TRUE(log_.initialize(testLog(), 0, true, ""));
        ASSERT_TRUE(EvDebug(&outer_).initialize(testLog(), 0, true, "outer"));
        ASSERT_TRUE(EvDebug(&inner_).initialize(testLog(), 0, true, "inner"));
    }

    // Which of the three files hold `text`, as "default", "outer", "inner" joined by ",".
    std::string whereIs(const std::string& text) {
        std::string found;
        for (const char* file : {"kytest", "kytest-outer", "kytest-inner"}) {
            if (fileText(file).find(text) == std::string::npos)
                continue;
            const std::string name = std::strcmp(file, "kytest") == 0 ? "default" : file + 7;
            found += (found.empty() ? "" : ",") + name;
        }
        return found;
    }
    // Sends a line at each level 1 to 4 through `log` and checks that those up to
    // `level` went to `where` alone and the others nowhere.
    void expectRouted(EvDebug& log, const std::string& stage, const std::string& where, int level) {
        for (int l = 1; l <= 4; ++l) {
            const std::string text = stage + " at " + std::to_string(l) + " end";
            log.DebugLvl("T", l, "%s", text.c_str());
            EXPECT_EQ(whereIs(text), l <= level ? where : "") << text;
        }
    }

    EvDebug log_;  // follows the thread
    EvDebugFileInstance outer_, inner_;
};

TEST_F(EvDebugThreadLevelTest, NestedGuardsWriteToInnerThenOuterThenDefault) {
    EvDebug bound(&outer_);  // bound to an instance: guards never move it
    {
        ThLvlEvDebugFileInstance outerGuard(&outer_);
        {
            ThLvlEvDebugFileInstance innerGuard(&inner_);
            EXPECT_EQ(EvDebug::ThLvlInst_PeekTOS(), &inner_);
            expectRouted(log_, "both pushed", "inner", 3);
            bound.DebugLvl("T", 1, "bound while both pushed");
        }
        EXPECT_EQ(EvDebug::ThLvlInst_PeekTOS(), &outer_);
        expectRouted(log_, "outer pushed", "outer", 2);
    }
    EXPECT_EQ(EvDebug::ThLvlInst_PeekTOS(), nullptr);
    expectRouted(log_, "none pushed", "default", 1);
    EXPECT_EQ(whereIs("bound while both pushed"), "outer");
}

TEST_F(EvDebugThreadLevelTest, ANullGuardInsideARealOnePopsNothing) {
    ThLvlEvDebugFileInstance outerGuard(&outer_);
    {
        ThLvlEvDebugFileInstance nothing(nullptr);
        expectRouted(log_, "inside the null guard", "outer", 2);
    }
    EXPECT_EQ(EvDebug::ThLvlInst_PeekTOS(), &outer_);
    expectRouted(log_, "after the null guard", "outer", 2);
}

TEST_F(EvDebugThreadLevelTest, GuardsEndingOutOfOrderRemoveTheirOwnEntry) {
    auto outerGuard = std::make_unique<ThLvlEvDebugFileInstance>(&outer_);
    auto innerGuard = std::make_unique<ThLvlEvDebugFileInstance>(&inner_);
    outerGuard.reset();
    EXPECT_EQ(EvDebug::ThLvlInst_PeekTOS(), &inner_);
    expectRouted(log_, "outer ended first", "inner", 3);
    innerGuard.reset();
    expectRouted(log_, "both ended", "default", 1);
}

TEST_F(EvDebugThreadLevelTest, AnotherThreadIsUnaffected) {
    ThLvlEvDebugFileInstance guard(&inner_);
    // One handle shared by both threads, as a class's member handle is.
    std::thread other([this] {
        EXPECT_EQ(EvDebug::ThLvlInst_PeekTOS(), nullptr);
        for (int i = 0; i < 200; ++i)
            log_.DebugLvl("T", 1, "other thread %d end", i);
    });
    for (int i = 0; i < 200; ++i)
        log_.DebugLvl("T", 1, "pushing thread %d end", i);
    other.join();
    EXPECT_EQ(whereIs("other thread 199 end"), "default");
    EXPECT_EQ(whereIs("pushing thread 199 end"), "inner");
}

// A guard handed to another thread (as a streaming layer may hold it) ends there: it
// leaves exactly its own entry, of the stack it pushed on, whether its thread still runs
// or has ended, and never the ending thread's own.
TEST_F(EvDebugThreadLevelTest, AGuardEndsOnAnotherThreadOrAfterItsThread) {
    for (bool threadEnds : {false, true}) {
        SCOPED_TRACE(threadEnds ? "after its thread ended" : "while its thread runs");
        ThLvlEvDebugFileInstance own(&outer_);
        std::mutex m;
        std::condition_variable cv;
        std::unique_ptr<ThLvlEvDebugFileInstance> handedOver;
        bool ended = false;
        std::string seenAfter;
        std::thread pusher([&] {
            auto guard = std::make_unique<ThLvlEvDebugFileInstance>(&inner_);
            EvDebug log;
            log.DebugLvl("T", 1, "pusher before %d end", threadEnds);
            std::unique_lock<std::mutex> lock(m);
            handedOver = std::move(guard);
            cv.notify_all();
            if (threadEnds)
                return;
            cv.wait(lock, [&] { return ended; });
            lock.unlock();
            log.DebugLvl("T", 1, "pusher after %d end", threadEnds);
            seenAfter = EvDebug::ThLvlInst_PeekTOS() == nullptr ? "none" : "some";
        });
        {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return handedOver != nullptr; });
        }
        if (threadEnds)
            pusher.join();
        {
            std::lock_guard<std::mutex> lock(m);
            handedOver.reset();
            ended = true;
        }
        cv.notify_all();
        if (!threadEnds)
            pusher.join();
        EXPECT_EQ(EvDebug::ThLvlInst_PeekTOS(), &outer_);
        expectRouted(log_, std::string("ending thread ") + (threadEnds ? "late" : "early"), "outer",
                     2);
        const std::string before = "pusher before " + std::to_string(threadEnds) + " end";
        EXPECT_EQ(whereIs(before), "inner");
        if (!threadEnds) {
            EXPECT_EQ(seenAfter, "none");
            EXPECT_EQ(whereIs("pusher after 0 end"), "default");
        }
    }
}

// Opening a log while the thread has an instance pushed sets up the log being opened,
// not the pushed one: its switch (read at open only) and its level.
TEST_F(EvDebugTest, OpeningUnderAGuardSetsUpTheLogOpened) {
    setNumber("EventManager", "kytest-quiet_DEBUGLEVEL", 4);
    setNumber("EventManager", "kytest-quiet_TurnOffLogging", 1);
    EvDebugFileInstance pushed;
    EvDebug pushedLog(&pushed);
    ASSERT_TRUE(pushedLog.initialize(testLog(), 0, true, "pushed"));
    EvDebug log;
    {
        ThLvlEvDebugFileInstance guard(&pushed);
        ASSERT_TRUE(log.initialize(testLog(), 0, true, "quiet"));
        EXPECT_EQ(log.getDebugLevel(), 1) << "the pushed instance keeps its own level";
    }
    EXPECT_EQ(log.getDebugLevel(), 4);
    log.Error("T", "the opened log is silenced");
    pushedLog.Error("T", "the pushed log is not");
    EXPECT_EQ(fileText("kytest-quiet").find("the opened log is silenced"), std::string::npos);
    EXPECT_NE(fileText("kytest-pushed").find("the pushed log is not"), std::string::npos);
}

// ---- Settings re-read while the process runs.

TEST_F(EvDebugThreadLevelTest, ALevelChangeTakesEffectAfterTheRefreshInterval) {
    ASSERT_EQ(EvDebug::GetRefreshInterval(), 30);
    struct Case {
        const char* what;
        bool pushed;
        const char* value;
        const char* file;
        int rowLevel;
        int ownLevel;
    } cases[] = {
        {"the default instance", false, "kytest_DEBUGLEVEL", "kytest", 1, 1},
        {"a thread-level instance", true, "kytest-inner_DEBUGLEVEL", "kytest-inner", 1, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<ThLvlEvDebugFileInstance> guard;
        if (c.pushed)
            guard = std::make_unique<ThLvlEvDebugFileInstance>(&inner_);
        log_.Debug("T", "settle");
        const std::int64_t opened = g_now;
        setNumber("EventManager", c.value, 5);
        g_now = opened + 30;
        log_.Debug("T", "at the interval");
        EXPECT_EQ(log_.getDebugLevel(), c.ownLevel) << "not before the interval has passed";
        g_now = opened + 31;
        log_.Debug("T", "past the interval");
        EXPECT_EQ(log_.getDebugLevel(), 5);
        const std::string changed =
            "Changing Debug level from " + std::to_string(c.ownLevel) + " to 5";
        EXPECT_NE(fileText(c.file).find(changed), std::string::npos);

        deleteValue("EventManager", c.value);
        g_now = opened + 62;
        log_.Debug("T", "after the value went");
        EXPECT_EQ(log_.getDebugLevel(), c.rowLevel) << "back to the row's default";
        EXPECT_NE(
            fileText(c.file).find("Changing Debug level from 5 to " + std::to_string(c.rowLevel)),
            std::string::npos);
        g_now = g_now + 100;
    }
}

TEST_F(EvDebugTest, SizeAndBackupChangesAreLogged) {
    g_now = 1'000'000;
    EvDebug::SetClock(&fakeNow);
    setNumber("EventManager", "kytest_DEBUGLEVEL", 7);  // the changes are logged at 7
    EvDebug log;
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    setNumber("EventManager", "kytest_MAXLOGFILESIZE", 7);
    setNumber("EventManager", "kytest_MAXLOGFILEBACKUPS", 4);
    g_now += 31;
    log.Debug("T", "tick");
    EXPECT_EQ(log.getLogFileSize(), 7u);
    EXPECT_EQ(log.getMaxVersion(), 4u);
    deleteValue("EventManager", "kytest_MAXLOGFILESIZE");
    deleteValue("EventManager", "kytest_MAXLOGFILEBACKUPS");
    g_now += 31;
    log.Debug("T", "tick");
    EXPECT_EQ(log.getLogFileSize(), 5u);
    EXPECT_EQ(log.getMaxVersion(), 2u);
    const std::string text = fileText("kytest");
    for (const char* line :
         {"Changing log file size from 5 MB to 7 MB", "Changing log file count from 2 to 4 ",
          "Changing log file size from 7 MB to 5 MB", "Changing log file count from 4 to 2 "}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
}

TEST_F(EvDebugTest, TurningOffAllLogsSilencesEveryInstanceUntilCleared) {
    setNumber("EventManager", "ALL_TurnOffLogging", 1);
    EvDebug log;
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    const std::string otherDir = dir_.file("other");
    EvDebugFileInstance other;
    EvDebug otherLog(&other);
    ASSERT_TRUE(otherLog.initialize(testLog(), 0, otherDir.c_str(), true, ""));
    log.Error("T", "dropped from the default");
    otherLog.Error("T", "dropped from the other");
    EXPECT_NE(fileText("kytest").find("Disable all logging switch is enabled. Hence not logging"),
              std::string::npos);
    EXPECT_EQ(fileText("kytest").find("dropped"), std::string::npos);
    EXPECT_EQ(kytest::readFile(otherDir + "/kytest.log").find("dropped"), std::string::npos);

    deleteValue("EventManager", "ALL_TurnOffLogging");
    EvDebugFileInstance third;
    ASSERT_TRUE(EvDebug(&third).initialize(testLog(), 0, true, "third"));
    log.Debug("T", "written again");
    EXPECT_NE(fileText("kytest").find("written again"), std::string::npos);
}

// A module once silenced stays silenced in writers opened for it later, even once its
// switch is gone from the store.
TEST_F(EvDebugTest, ALaterWriterOfASilencedModuleIsSilencedToo) {
    setNumber("EventManager", "kytest-quiet_TurnOffLogging", 1);
    setNumber("EventManager", "kytest-quiet_AppendJob", 1);
    EvDebugFileInstance first;
    EvDebug firstLog(&first);
    ASSERT_TRUE(firstLog.initialize(testLog(), 0, true, "quiet"));
    deleteValue("EventManager", "kytest-quiet_TurnOffLogging");
    const std::string otherDir = dir_.file("other");
    struct Case {
        const char* what;
        const char* dir;
        __int64 job;
        std::string file;
    } cases[] = {
        {"another folder", otherDir.c_str(), 0, otherDir + "/kytest-quiet.log"},
        {"a job's own file", nullptr, 7, logDir_ + "/kytest-quiet_Job7.log"},
    };
    for (const Case& c : cases) {
        EvDebugFileInstance inst;
        EvDebug later(&inst);
        ASSERT_TRUE(later.initialize(testLog(), c.job, c.dir, true, "quiet")) << c.what;
        ASSERT_EQ(later.getModuleName(), "kytest-quiet");
        later.Error("T", "from the later writer");
        EXPECT_EQ(kytest::readFile(c.file).find("from the later writer"), std::string::npos)
            << c.what;
    }
    EvDebugFileInstance suffixed;
    EvDebug other(&suffixed);
    ASSERT_TRUE(other.initialize(testLog(), 0, true, "else"));
    other.Error("T", "another module writes");
    EXPECT_NE(fileText("kytest-else").find("another module writes"), std::string::npos);
}

TEST_F(EvDebugTest, DefaultRetention) {
    EvDebugFileInstance notOpened;
    EvDebug closed(&notOpened);
    unsigned days = 99;
    EXPECT_FALSE(closed.getDefaultRetainLogsTill(days));
    EXPECT_FALSE(closed.setDefaultRetainLogsTill(5));
    EXPECT_EQ(days, 99u);

    EvDebug log;
    ASSERT_TRUE(log.initialize(testLog(), 0, true, ""));
    log.setDebugLevel(10);
    EXPECT_FALSE(log.getDefaultRetainLogsTill(days));
    ASSERT_TRUE(log.setDefaultRetainLogsTill(5));
    ASSERT_TRUE(log.getDefaultRetainLogsTill(days));
    EXPECT_EQ(days, 5u);
    KYPlatformInfo store;
    unsigned long stored = 0;
    EXPECT_TRUE(store.getNumber("EventManager", "kytest_RetainLogsInDays_Default", &stored));
    EXPECT_EQ(stored, 5u);

    ASSERT_TRUE(log.setDefaultRetainLogsTill(0));
    EXPECT_FALSE(store.getNumber("EventManager", "kytest_RetainLogsInDays_Default", &stored));
    days = 99;
    EXPECT_FALSE(log.getDefaultRetainLogsTill(days));
    EXPECT_EQ(days, 99u);
    EXPECT_TRUE(log.resetDefaultRetainLogsTill()) << "nothing left to delete is no failure";

    const std::string text = fileText("kytest");
    for (const char* line : {"Failed to get [EventManager\\kytest_RetainLogsInDays_Default]",
                             "Set [EventManager\\kytest_RetainLogsInDays_Default] to 5",
                             "Get [EventManager\\kytest_RetainLogsInDays_Default] to 5",
                             "Deleted [EventManager\\kytest_RetainLogsInDays_Default]"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
}

TEST_F(EvDebugTest, AnotherApplicationsLevel) {
    setNumber("EventManager", "My_App_DEBUGLEVEL", 6);
    setNumber("EventManager", "zero_DEBUGLEVEL", 0);
    struct Case {
        const char* app;
        int level;
    } cases[] = {{"My App", 6}, {"My_App", 6}, {"zero", -1}, {"absent", -1}, {nullptr, -1}};
    for (const Case& c : cases)
        EXPECT_EQ(EvDebug::getAppDebugLevel(c.app), c.level) << (c.app ? c.app : "null");
}

}  // namespace
