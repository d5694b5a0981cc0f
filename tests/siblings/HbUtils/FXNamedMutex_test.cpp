#include "siblings/HbUtils/FXNamedMutex.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "os/Handle.h"
#include "os/LastError.h"
#include "os/sync/Sync.h"
#include "tests/os/sync/SyncTestSupport.h"
#include "tests/support/TempDir.h"

using kytest::Child;

namespace {

constexpr char kName[] = "KYPITestRegLock";
// Long enough for a child to start; far below a test's budget.
constexpr DWORD kChildWaitMs = 1500;

// Every test works under a prefix of its own, so that ctest -j runs them side by side.
class FXNamedMutexTest : public ::testing::Test {
protected:
    void SetUp() override {
        prefix_ = kytest::objectName("");
        FXNamedMutex::setNamePrefixForTesting(prefix_.c_str());
    }
    void TearDown() override {
        FXNamedMutex::setNamePrefixForTesting(nullptr);
        FXNamedMutex::setTimeoutCapForTesting(0);
    }
    std::string fullName() const { return prefix_ + kName; }

    // A child that takes the mutex, says 'h', and holds it until told to go (or killed).
    static int holdUntilTold() {
        FXNamedMutex mutex(kName);
        if (!mutex.lock(kChildWaitMs))
            return 1;
        Child::sendToParent('h');
        Child::receiveFromParent();
        return 0;
    }

    std::string prefix_;
};

TEST_F(FXNamedMutexTest, LocksUnderThePrefixedNameAndReportsTheNameAsGiven) {
    FXNamedMutex mutex(kName);
    EXPECT_EQ(mutex.name(), kName);
    EXPECT_FALSE(mutex.isLocked());
    ASSERT_TRUE(mutex.lock(0));
    EXPECT_TRUE(mutex.isLocked());
    kytest::ScopedHandle prefixed(kyos::openMutex(SYNCHRONIZE, fullName().c_str()));
    EXPECT_TRUE(prefixed);
    kytest::ScopedHandle bare(kyos::openMutex(SYNCHRONIZE, kName));
    EXPECT_FALSE(bare);
    // Locking again while held changes nothing; one unlock gives it up.
    EXPECT_TRUE(mutex.lock(0));
    mutex.unlock();
    EXPECT_FALSE(mutex.isLocked());
    mutex.unlock();  // not held: nothing to do
    Child other([] {
        FXNamedMutex own(kName);
        return own.lock(0) ? 0 : 1;
    });
    EXPECT_EQ(other.wait(), 0);
}

TEST_F(FXNamedMutexTest, AnEmptyNameIsRefusedRatherThanLockingNothing) {
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        FXNamedMutex mutex(name);
        kyos::setLastError(ERROR_SUCCESS);
        EXPECT_FALSE(mutex.lock(0));
        EXPECT_EQ(kyos::lastError(), ERROR_INVALID_NAME);
        EXPECT_FALSE(mutex.isLocked());
    }
}

TEST_F(FXNamedMutexTest, AHolderInAnotherProcessMakesLockTimeOut) {
    struct Case {
        DWORD given;
        DWORD cap;
    } cases[] = {
        {150, 0},      // the caller's time-out
        {60000, 150},  // the test cap shortens a long one
    };
    Child holder(&holdUntilTold);
    ASSERT_EQ(holder.receive(), 'h');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        FXNamedMutex::setTimeoutCapForTesting(c.cap);
        FXNamedMutex mutex(kName);
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(mutex.lock(c.given));
        EXPECT_EQ(kyos::lastError(), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_FALSE(mutex.isLocked());
        FXNamedMutexLock guard(mutex, c.given);
        EXPECT_FALSE(guard.owns());
    }
    holder.send('x');
    EXPECT_EQ(holder.wait(), 0);
    // Once the holder has gone it can be had at once.
    FXNamedMutex mutex(kName);
    EXPECT_TRUE(mutex.lock(0));
}

TEST_F(FXNamedMutexTest, AHolderThatDiesHoldingItLeavesItToTheNextLock) {
    struct Case {
        const char* how;
        bool killed;
    } cases[] = {{"killed", true}, {"exited", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        // The parent keeps the mutex alive, so the dead holder's ownership is still on it.
        FXNamedMutex watcher(kName);
        kytest::ScopedHandle keep(kyos::createMutex(FALSE, fullName().c_str()));
        ASSERT_TRUE(keep);
        Child holder([] {
            FXNamedMutex mutex(kName);
            if (!mutex.lock(kChildWaitMs))
                return 1;
            Child::sendToParent('h');
            Child::receiveFromParent();
            ::_exit(0);  // without unlocking
        });
        ASSERT_EQ(holder.receive(), 'h');
        EXPECT_FALSE(watcher.lock(0));
        if (c.killed)
            holder.kill(SIGKILL);
        else
            holder.send('x');
        holder.wait();
        EXPECT_TRUE(watcher.lock(kChildWaitMs));
        EXPECT_TRUE(watcher.isLocked());
        watcher.unlock();
        // Taken over once, then an ordinary mutex again.
        EXPECT_EQ(kyos::waitForSingleObject(keep.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
        EXPECT_TRUE(kyos::releaseMutex(keep.get()));
    }
}

TEST_F(FXNamedMutexTest, ChildrenIncrementingACounterFileUnderItLoseNothing) {
    constexpr int kChildren = 4;
    constexpr int kIncrements = 100;
    kytest::TempDir dir;
    const std::string counter = dir.file("counter");
    kytest::writeFile(counter, "0");
    auto increment = [&counter] {
        Child::receiveFromParent();  // all start together
        for (int i = 0; i < kIncrements; ++i) {
            FXNamedMutex mutex(kName);
            FXNamedMutexLock guard(mutex, kChildWaitMs);
            if (!guard.owns())
                return 1;
            long value = std::strtol(kytest::readFile(counter).c_str(), nullptr, 10);
            // Widens the window between the read and the write that the mutex must close.
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            kytest::writeFile(counter, std::to_string(value + 1));
        }
        return 0;
    };
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < kChildren; ++i)
        children.push_back(std::make_unique<Child>(increment));
    for (auto& child : children)
        child->send('g');
    for (auto& child : children)
        EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(kytest::readFile(counter), std::to_string(kChildren * kIncrements));
}

TEST_F(FXNamedMutexTest, ThreadsOfOneProcessExcludeEachOther) {
    FXNamedMutex mine(kName);
    ASSERT_TRUE(mine.lock(0));
    // The owning thread itself gets it again through another object.
    FXNamedMutex sameThread(kName);
    EXPECT_TRUE(sameThread.lock(0));
    sameThread.unlock();
    bool otherTook = true;
    DWORD otherError = 0;
    std::thread other([&] {
        FXNamedMutex theirs(kName);
        otherTook = theirs.lock(50);
        otherError = kyos::lastError();
    });
    other.join();
    EXPECT_FALSE(otherTook);
    EXPECT_EQ(otherError, static_cast<DWORD>(WAIT_TIMEOUT));
    mine.unlock();
}

TEST_F(FXNamedMutexTest, AGuardLeavesAMutexLockedBeforeItToItsOwner) {
    FXNamedMutex mutex(kName);
    {
        FXNamedMutexLock guard(mutex, 0);
        EXPECT_TRUE(guard.owns());
        EXPECT_TRUE(mutex.isLocked());
    }
    EXPECT_FALSE(mutex.isLocked());
    ASSERT_TRUE(mutex.lock(0));
    {
        FXNamedMutexLock inner(mutex, 0);
        EXPECT_TRUE(inner.owns());
    }
    EXPECT_TRUE(mutex.isLocked());
    mutex.unlock();
}

// A mutex that the root daemon made must be usable by the product's processes of other
// accounts; made with default security it would be closed to them.
TEST_F(FXNamedMutexTest, AnotherAccountTakesAMutexRootMade) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to change to another account";
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr)
        GTEST_SKIP() << "no account \"nobody\"";
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    FXNamedMutex mutex(kName);
    ASSERT_TRUE(mutex.lock(0));
    Child child([uid, gid] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            return 2;
        FXNamedMutex own(kName);
        // Opened but held by root: a time-out, not a refusal.
        if (own.lock(20) || kyos::lastError() != WAIT_TIMEOUT)
            return 3;
        Child::sendToParent('w');
        return own.lock(kChildWaitMs) ? 0 : 4;
    });
    ASSERT_EQ(child.receive(), 'w');
    ASSERT_TRUE(kytest::eventually([&] { return kytest::blockedInFutex(child.pid()); },
                                   std::chrono::milliseconds(kChildWaitMs)));
    mutex.unlock();
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(FXNamedMutexTest, CyclesOfLockUnlockAndDestroyLeaveNoDescriptorOpen) {
    constexpr int kCycles = 50;
    // Warm up whatever the process opens once.
    {
        FXNamedMutex mutex(kName);
        ASSERT_TRUE(mutex.lock(0));
    }
    const int before = kytest::openDescriptorCount();
    for (int i = 0; i < kCycles; ++i) {
        FXNamedMutex unlocked(kName);
        ASSERT_TRUE(unlocked.lock(0));
        unlocked.unlock();
        FXNamedMutex destroyedHolding(kName);
        ASSERT_TRUE(destroyedHolding.lock(0));
    }
    EXPECT_EQ(kytest::openDescriptorCount(), before);
    {
        Child holder(&holdUntilTold);
        ASSERT_EQ(holder.receive(), 'h');
        const int withHolder = kytest::openDescriptorCount();  // the child's pipes
        for (int i = 0; i < kCycles; ++i) {
            FXNamedMutex timedOut(kName);
            ASSERT_FALSE(timedOut.lock(0));
        }
        EXPECT_EQ(kytest::openDescriptorCount(), withHolder);
        holder.send('x');
        EXPECT_EQ(holder.wait(), 0);
    }
    EXPECT_EQ(kytest::openDescriptorCount(), before);
    // No handle was left open either: the mutex went with its last one.
    struct stat st;
    EXPECT_NE(::lstat(kyos::namedObjectPath(fullName().c_str()).c_str(), &st), 0);
}

}  // namespace
