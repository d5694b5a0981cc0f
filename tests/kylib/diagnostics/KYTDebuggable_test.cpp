#include "kylib/diagnostics/KYTDebuggable.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kylib/diagnostics/EvDebug.h"
#include "os/registry/Registry.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "tests/support/TempDir.h"

namespace {

constexpr const char* kInstance = "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001";

// A private store whose log folder is a folder of the test's own; the trace mask and
// events flag put back afterwards.
class KYTDebuggableTest : public kytest::StoreTest {
protected:
    void SetUp() override {
        kytest::StoreTest::SetUp();
        KYPI_Focus::setFocus("Instance001");
        logDir_ = dir_.file("logs");
        ASSERT_EQ(mkdir(logDir_.c_str(), 0755), 0);
        HKEY k = nullptr;
        ASSERT_EQ(
            kyos::reg::createKey(HKEY_LOCAL_MACHINE, std::string(kInstance) + "\\EventManager", 0,
                                 KEY_ALL_ACCESS, &k, nullptr),
            ERROR_SUCCESS);
        ASSERT_EQ(kyos::reg::setValue(k, "dEVLOGDIR", REG_EXPAND_SZ, logDir_.c_str(),
                                      static_cast<DWORD>(logDir_.size() + 1)),
                  ERROR_SUCCESS);
        kyos::reg::closeKey(k);
        KYTDebuggable::debugMask = 0;
        KYTDebuggable::logEvents(1);
    }
    void TearDown() override {
        KYTDebuggable::debugMask = 0;
        KYTDebuggable::logEvents(1);
        EvDebug::CleanupFileHandleList();
        KYPI_Focus::reload();
        kytest::StoreTest::TearDown();
    }
    void plantMarker(const std::string& dir) { kytest::writeFile(dir + "/CXIndexLogging", ""); }
    std::string traceText() { return kytest::readFile(logDir_ + "/log.out"); }
    bool exists(const std::string& path) {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }

    std::string logDir_;
};

TEST_F(KYTDebuggableTest, IsDebugOnFollowsTheMask) {
    KYTDebuggable obj;
    struct Case {
        unsigned long debugMask;
        unsigned long mask;
        bool on;
    } cases[] = {{0, 4, false}, {0, ~0ul, false}, {4, 4, true}, {4, 2, false}, {6, 2, true}};
    for (const Case& c : cases) {
        KYTDebuggable::debugMask = c.debugMask;
        EXPECT_EQ(obj.isDebugOn(c.mask), c.on) << c.debugMask << " & " << c.mask;
    }
}

TEST_F(KYTDebuggableTest, WritesMaskedLinesToTheTraceFileInTheLogFolder) {
    plantMarker(logDir_);
    KYTDebuggable::debugMask = 4;
    {
        KYTDebuggable obj;
        obj.debug(4, "default prefix %d\n", 1);
        obj.setDebugPrefix("Walker");
        obj.debug(4, "shown %s\n", "line");
        obj.debug(2, "hidden line\n");
        EXPECT_EQ(KYTDebuggable::getTraceFilePath(), logDir_ + "/log.out");
        struct stat st;
        ASSERT_EQ(stat((logDir_ + "/log.out").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    EXPECT_EQ(KYTDebuggable::getUsageCount(), 0);
    EXPECT_EQ(KYTDebuggable::getTraceFilePath(), "");
    EXPECT_EQ(traceText(), "\nHello from pid " + std::to_string(getpid()) +
                               "\nNoPrefix: default prefix 1\nWalker: shown line\n");
    EXPECT_EQ(KYTDebuggable::debugPid.load(), static_cast<long>(getpid()));
}

// The trace file follows the debug log: an open log's folder, else the one the store
// names.
TEST_F(KYTDebuggableTest, TheTraceFileLivesBesideAnOpenLog) {
    const std::string other = dir_.file("other");
    EvDebug log;
    ASSERT_TRUE(log.initialize(EvDebug::getLogId("kytest"), 0, other.c_str(), true, ""));
    plantMarker(other);
    KYTDebuggable::debugMask = 1;
    {
        KYTDebuggable obj;
        obj.debug(1, "beside the log\n");
    }
    EXPECT_NE(kytest::readFile(other + "/log.out").find("NoPrefix: beside the log\n"),
              std::string::npos);
    EXPECT_FALSE(exists(logDir_ + "/log.out"));
}

// Without the marker (while events are flagged) there is no file: lines go nowhere but
// to standard output when the object asks for it.
TEST_F(KYTDebuggableTest, WithoutAFileNothingIsWrittenButStdout) {
    struct Case {
        int events;
        bool marker;
        bool file;
    } cases[] = {{1, false, false}, {1, true, true}, {0, false, true}};
    KYTDebuggable::debugMask = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE("events " + std::to_string(c.events) + " marker " + std::to_string(c.marker));
        ::unlink((logDir_ + "/log.out").c_str());
        ::unlink((logDir_ + "/CXIndexLogging").c_str());
        if (c.marker)
            plantMarker(logDir_);
        KYTDebuggable::logEvents(c.events);
        EXPECT_EQ(KYTDebuggable::getLogEventsFlag(), c.events);
        testing::internal::CaptureStdout();
        {
            KYTDebuggable obj;
            obj.useStdout(1);
            obj.debug(1, "to stdout\n");
            obj.useStdout(0);
            obj.debug(1, "file only\n");
        }
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, "NoPrefix: to stdout\n");
        EXPECT_EQ(exists(logDir_ + "/log.out"), c.file);
        if (c.file) {
            EXPECT_NE(traceText().find("NoPrefix: to stdout\nNoPrefix: file only\n"),
                      std::string::npos);
        }
    }
}

// The log folder may be writable by others: a link planted under the trace file's name
// is not followed; the process's own name is tried, and when that is a link too, there
// is no file at all.
TEST_F(KYTDebuggableTest, APlantedLinkIsNotFollowed) {
    plantMarker(logDir_);
    const std::string target = dir_.file("precious");
    kytest::writeFile(target, "precious bytes");
    const std::string withPid = logDir_ + "/log" + std::to_string(getpid()) + ".out";
    ASSERT_EQ(symlink(target.c_str(), (logDir_ + "/log.out").c_str()), 0);
    KYTDebuggable::debugMask = 1;
    {
        KYTDebuggable obj;
        obj.debug(1, "traced\n");
        EXPECT_EQ(KYTDebuggable::getTraceFilePath(), withPid);
    }
    EXPECT_NE(kytest::readFile(withPid).find("NoPrefix: traced\n"), std::string::npos);

    ASSERT_EQ(unlink(withPid.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), withPid.c_str()), 0);
    testing::internal::CaptureStdout();
    {
        KYTDebuggable obj;
        obj.debug(1, "nowhere\n");
        EXPECT_EQ(KYTDebuggable::getTraceFilePath(), "");
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Cannot open " + withPid + " file, errno "), 0u) << out;
    EXPECT_EQ(kytest::readFile(target), "precious bytes");
}

// Copies are users too: the file stays open while any object is left.
TEST_F(KYTDebuggableTest, CopiesCountAsUsers) {
    plantMarker(logDir_);
    KYTDebuggable::debugMask = 1;
    auto original = std::make_unique<KYTDebuggable>();
    original->setDebugPrefix("Orig");
    KYTDebuggable copy(*original);
    EXPECT_EQ(KYTDebuggable::getUsageCount(), 2);
    KYTDebuggable assigned;
    assigned = copy;
    EXPECT_EQ(KYTDebuggable::getUsageCount(), 3);
    original.reset();
    copy.debug(1, "after the original\n");
    assigned.debug(1, "assigned\n");
    EXPECT_NE(traceText().find("Orig: after the original\nOrig: assigned\n"), std::string::npos);
    EXPECT_EQ(traceText().find("Hello from pid", 5), std::string::npos) << "opened once";
}

// Objects made, copied, used and destroyed on eight threads at once: the file is opened
// once per time the count leaves 0, never closed under a writer, and every line arrives
// whole.
TEST_F(KYTDebuggableTest, EightThreads) {
    plantMarker(logDir_);
    KYTDebuggable::debugMask = 1;
    constexpr int kThreads = 8, kRounds = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kRounds; ++i) {
                KYTDebuggable obj;
                obj.setDebugPrefix(("T" + std::to_string(t)).c_str());
                KYTDebuggable copy(obj);
                copy.debug(1, "line %d end\n", i);
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(KYTDebuggable::getUsageCount(), 0);
    std::set<std::string> seen;
    std::istringstream lines(traceText());
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line.rfind("Hello from pid ", 0) == 0)
            continue;
        ASSERT_EQ(line.find(" end"), line.size() - 4) << line;
        seen.insert(line);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kRounds));
}

}  // namespace
