#include "kylib/concurrency/KyKernelSync.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <future>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <type_traits>

#include "kylib/diagnostics/CError.h"
#include "kylib/diagnostics/EvDebug.h"
#include "kylib/diagnostics/KyException.h"
#include "os/Handle.h"
#include "os/LastError.h"
#include "os/System.h"
#include "os/registry/Registry.h"
#include "os/sync/Sync.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "tests/os/sync/SyncTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

// Long enough never to be reached by a correct program on a loaded machine; a failure
// shows as a failed expectation instead of a hung test.
constexpr std::chrono::seconds kDeadline(20);
constexpr unsigned long kDeadlineMs = 20000;

constexpr const char* kFocus = "KernelSyncFocus";
constexpr const char* kProductKey = "Software\\Kelbrin Systems\\Sarvex";
constexpr const char* kLocksKey = "Software\\Kelbrin Systems\\Sarvex\\Locks";

bool eventually(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A kernel object name no other test, process or run uses.
std::string uniqueName(const std::string& tag) {
    static std::atomic<int> counter{0};
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "kks-" + std::to_string(::getpid()) + "-" +
                       std::to_string(counter.fetch_add(1)) + "-" + test->test_suite_name() + "." +
                       test->name() + "-" + tag;
    for (char& c : name) {
        if (c == '/')
            c = '_';
    }
    return name;
}

pid_t currentThread() {
    return static_cast<pid_t>(kyos::threadId());
}

// The thread (of any process) sleeps in a futex wait: it is blocked, not about to block.
bool blockedInFutex(pid_t thread) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/syscall", static_cast<int>(thread));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return false;
    long number = -1;
    const int fields = std::fscanf(file, "%ld", &number);
    std::fclose(file);
    if (fields != 1)
        return false;
#ifdef SYS_futex_waitv
    if (number == SYS_futex_waitv)
        return true;
#endif
    return number == SYS_futex;
}

// Runs `act` on another thread once `sleeper` is blocked; joined at the end of the scope.
class WhenAsleep {
public:
    WhenAsleep(pid_t sleeper, std::function<void()> act)
        : m_thread([sleeper, act] {
              if (eventually([sleeper] { return blockedInFutex(sleeper); }))
                  act();
          }) {}
    ~WhenAsleep() { m_thread.join(); }

private:
    std::thread m_thread;
};

using kytest::Child;

class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle) : m_handle(handle) {}
    ~ScopedHandle() {
        if (m_handle != nullptr)
            kyos::closeHandle(m_handle);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};

// Runs `body`, which must throw a KyException, and checks what it carries.
void expectKyException(const std::function<void()>& body, const std::string& func,
                       const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "no exception; expected " << func << ": " << message;
    } catch (const KyException& e) {
        EXPECT_EQ(e.getFuncName(), func);
        EXPECT_EQ(e.getMessage(), message);
        EXPECT_EQ(e.getErrno(), -1);
    }
}

bool namedObjectExists(const std::string& name) {
    return ::access(kyos::namedObjectPath(name.c_str()).c_str(), F_OK) == 0;
}

// ---------------------------------------------------------------------------------------
// KySemaphore and KyEvent

TEST(KySemaphore, RefusesBadCountsWithItsMessages) {
    const std::string invalid = kyos::win32MessageText(ERROR_INVALID_PARAMETER);
    struct Case {
        int initial;
        int maximum;
        std::string message;
    } cases[] = {
        {-1, 5, "Init value may not be negative."},
        {0, -1, "Max value may not be negative."},
        {3, 2, invalid},
        {0, 0, invalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.initial) + "/" + std::to_string(c.maximum));
        expectKyException([&] { KySemaphore s(c.initial, c.maximum, nullptr); }, "KySemaphore",
                          c.message);
    }
    expectKyException([] { KySemaphore s(-1); }, "KySemaphore", "Init value may not be negative.");
}

TEST(KySemaphore, RefusesToPassItsMaximumAndKeepsItsCount) {
    const std::string tooMany = kyos::win32MessageText(ERROR_TOO_MANY_POSTS);
    KySemaphore bounded(1, 2, nullptr);
    bounded.release(1);
    expectKyException([&] { bounded.release(1); }, "KySemaphore::release", tooMany);
    expectKyException([&] { bounded.release(0); }, "KySemaphore::release",
                      "Increment must be positive.");
    EXPECT_TRUE(bounded.wait(0));
    EXPECT_TRUE(bounded.wait(0));
    EXPECT_FALSE(bounded.wait(0));

    KySemaphore unbounded;
    unbounded.release(KySemaphore::kDefaultMaximum);
    expectKyException([&] { unbounded.release(1); }, "KySemaphore::release", tooMany);
}

TEST(KySemaphore, NamedSemaphoreKeepsItsMaximumAcrossProcesses) {
    const std::string name = uniqueName("sem");
    KySemaphore mine(0, 1, name.c_str());
    Child child([&] {
        KySemaphore theirs(0, 1, name.c_str());
        theirs.release(1);
        try {
            theirs.release(1);
        } catch (const KyException&) {
            return 0;
        }
        return 1;
    });
    EXPECT_EQ(child.wait(), 0);
    EXPECT_TRUE(mine.wait(0));
    EXPECT_FALSE(mine.wait(0));
}

TEST(KernelObjects, ANameHeldByAnotherKindOfObjectIsRefusedWithTheSystemText) {
    const std::string name = uniqueName("section");
    ScopedHandle section(kyos::createFileMapping(PAGE_READWRITE, 4096, name.c_str()));
    ASSERT_NE(section.get(), nullptr);
    const std::string text = kyos::win32MessageText(ERROR_INVALID_HANDLE);
    expectKyException([&] { KySemaphore s(0, 1, name.c_str()); }, "KySemaphore", text);
    expectKyException([&] { KyEvent e(true, name.c_str()); }, "KyEvent", text);
}

TEST(KyEvent, ManualResetStaysSignalledAutoResetLetsOneWaiterThrough) {
    for (bool manual : {true, false}) {
        SCOPED_TRACE(manual ? "manual" : "auto");
        KyEvent event(manual);
        EXPECT_FALSE(event.wait(0));
        event.set();
        EXPECT_TRUE(event.wait(0));
        EXPECT_EQ(event.wait(0), manual);
        event.set();
        event.reset();
        EXPECT_FALSE(event.wait(0));
    }
}

TEST(KyEvent, NamedEventSetInOneProcessWakesAWaiterInAnother) {
    const std::string name = uniqueName("event");
    KyEvent mine(false, name.c_str());
    Child child([&] {
        KyEvent theirs(false, name.c_str());
        Child::sendToParent('r');
        return theirs.wait(kDeadlineMs) ? 0 : 1;
    });
    ASSERT_EQ(child.receive(), 'r');
    ASSERT_TRUE(eventually([&] { return blockedInFutex(child.pid()); }));
    mine.set();
    EXPECT_EQ(child.wait(), 0);
    EXPECT_FALSE(mine.wait(0));  // auto-reset: the waiter took the signal
}

// A wait that cannot be made (here: on a handle closed under the object) throws rather
// than return as if the count or signal were taken, or the time had run out.
TEST(KernelObjects, AWaitThatFailsThrowsWithTheSystemText) {
    const std::string text = kyos::win32MessageText(ERROR_INVALID_HANDLE);
    KySemaphore semaphore(1);
    KyEvent event(true);
    event.set();
    ASSERT_TRUE(kyos::closeHandle(semaphore.getHandle()));
    ASSERT_TRUE(kyos::closeHandle(event.getHandle()));
    expectKyException([&] { semaphore.wait(); }, "KySemaphore::wait", text);
    expectKyException([&] { semaphore.wait(0); }, "KySemaphore::wait", text);
    expectKyException([&] { event.wait(); }, "KyEvent::wait", text);
    expectKyException([&] { event.wait(kDeadlineMs); }, "KyEvent::wait", text);
}

// ---------------------------------------------------------------------------------------
// KySharedLock

// A thread that takes a lock exclusively, and can be seen asleep while it waits.
class ExclusiveAcquirer {
public:
    explicit ExclusiveAcquirer(KySharedLock& lock)
        : m_thread([this, &lock] {
              m_tid.store(currentThread());
              m_got.store(lock.getExclusiveLock());
              m_done.store(true);
          }) {}
    ~ExclusiveAcquirer() { join(); }

    bool waiting() const {
        const pid_t tid = m_tid.load();
        return tid != 0 && !m_done.load() && blockedInFutex(tid);
    }
    bool got() const { return m_got.load(); }
    void join() {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::atomic<pid_t> m_tid{0};
    std::atomic<bool> m_got{false};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

TEST(KySharedLock, ExclusiveHolderWaitsForEverySlotAndItsReleaseRestoresThem) {
    KySharedLock lock(3, nullptr);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(lock.getSharedLock(0));
    EXPECT_FALSE(lock.getSharedLock(0));
    EXPECT_EQ(lock.getFreeSlots(), 0);

    ExclusiveAcquirer exclusive(lock);
    EXPECT_TRUE(eventually([&] { return exclusive.waiting(); }));
    lock.release();
    lock.release();
    EXPECT_FALSE(exclusive.got());
    lock.release();
    exclusive.join();
    EXPECT_TRUE(exclusive.got());
    EXPECT_EQ(lock.getFreeSlots(), -1);
    EXPECT_FALSE(lock.getSharedLock(0));

    lock.release();
    EXPECT_EQ(lock.getFreeSlots(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(lock.getSharedLock(0));
}

TEST(KySharedLock, SharedAcquirerKeepsItsTimeOutWhileAnExclusiveOneWaits) {
    KySharedLock lock(1, nullptr);
    ASSERT_TRUE(lock.getSharedLock(0));
    ExclusiveAcquirer exclusive(lock);
    EXPECT_TRUE(eventually([&] { return exclusive.waiting(); }));

    for (unsigned long ms : {0UL, 20UL, 200UL}) {
        SCOPED_TRACE(ms);
        auto attempt =
            std::async(std::launch::async, [&lock, ms] { return lock.getSharedLock(ms); });
        if (attempt.wait_for(kDeadline) != std::future_status::ready) {
            ADD_FAILURE() << "the shared acquirer waited past its time-out";
            lock.release();  // lets the exclusive acquirer, then the attempt, finish
            break;
        }
        EXPECT_FALSE(attempt.get());
    }
    lock.release();
    exclusive.join();
    EXPECT_TRUE(exclusive.got());
    EXPECT_EQ(lock.getFreeSlots(), -1);
    lock.release();
}

TEST(KySharedLock, SharedAcquirerGetsASlotFreedWhileItWaits) {
    KySharedLock lock(1, nullptr);
    ASSERT_TRUE(lock.getSharedLock(0));
    std::atomic<pid_t> tid{0};
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        tid.store(currentThread());
        got.store(lock.getSharedLock(kDeadlineMs));
    });
    EXPECT_TRUE(eventually([&] { return tid.load() != 0 && blockedInFutex(tid.load()); }));
    lock.release();
    waiter.join();
    EXPECT_TRUE(got.load());
    EXPECT_EQ(lock.getFreeSlots(), 0);
    lock.release();
}

TEST(KySharedLock, ReleaseWithNothingHeldChangesNothing) {
    KySharedLock lock(2, nullptr);
    lock.release();
    EXPECT_EQ(lock.getFreeSlots(), 2);
    ASSERT_TRUE(lock.getExclusiveLock());
    EXPECT_EQ(lock.getFreeSlots(), -1);
    EXPECT_FALSE(lock.getSharedLock(0));
    lock.release();
    EXPECT_EQ(lock.getFreeSlots(), 2);
    EXPECT_TRUE(lock.getSharedLock(0));
    EXPECT_TRUE(lock.getSharedLock(0));
    EXPECT_FALSE(lock.getSharedLock(0));
}

TEST(KySharedLockHelper, HoldsReleasesAndSwitchesKinds) {
    KySharedLock lock(2, nullptr);
    {
        KySharedLockHelper helper(&lock, true);
        EXPECT_EQ(lock.getFreeSlots(), -1);
        helper.reset(&lock, false);
        EXPECT_EQ(lock.getFreeSlots(), 1);
        helper.forceUnlock();
        EXPECT_EQ(lock.getFreeSlots(), 2);
        helper.forceUnlock();  // holds nothing now
        EXPECT_EQ(lock.getFreeSlots(), 2);
        helper.reset(&lock, false);
        EXPECT_EQ(lock.getFreeSlots(), 1);
        KySharedLockHelper empty(nullptr, true);
    }
    EXPECT_EQ(lock.getFreeSlots(), 2);
}

TEST(KySharedLock, NamedLockSharesItsSlotsWithAnotherProcess) {
    const std::string name = uniqueName("shared");
    KySharedLock mine(2, name.c_str());
    Child child([&] {
        KySharedLock theirs(2, name.c_str());
        if (!theirs.getExclusiveLock())
            return 1;
        Child::sendToParent('x');
        Child::receiveFromParent();
        theirs.release();
        return 0;
    });
    ASSERT_EQ(child.receive(), 'x');
    EXPECT_FALSE(mine.getSharedLock(0));
    child.send('g');
    EXPECT_TRUE(mine.getSharedLock(kDeadlineMs));
    EXPECT_EQ(child.wait(), 0);
    mine.release();
}

// ---------------------------------------------------------------------------------------
// MDLock, MDEvent, MDMutex

// A private registry store (the first MD object of a process reads the lock-tracing
// switch from it) and a known focus.
class MDTest : public kytest::StoreTest {
protected:
    void SetUp() override {
        kytest::StoreTest::SetUp();
        KYPI_Focus::setFocus(kFocus);
    }
    void TearDown() override {
        KYPI_Focus::reload();
        kytest::StoreTest::TearDown();
    }
    static std::string focused(const std::string& name) { return std::string(kFocus) + name; }
};

// What a test asks of each of the three kinds.
template <class T>
struct MDKind;
template <>
struct MDKind<MDLock> {
    static constexpr bool excludes = true;
    static HANDLE open(const std::string& name) {
        return kyos::openSemaphore(SYNCHRONIZE, name.c_str());
    }
};
template <>
struct MDKind<MDEvent> {
    static constexpr bool excludes = false;  // set() never waits
    static HANDLE open(const std::string& name) {
        return kyos::openEvent(SYNCHRONIZE, name.c_str());
    }
};
template <>
struct MDKind<MDMutex> {
    static constexpr bool excludes = true;
    static HANDLE open(const std::string& name) {
        return kyos::openMutex(SYNCHRONIZE, name.c_str());
    }
};

template <class T>
class MDKinds : public MDTest {};
using MDTypes = ::testing::Types<MDLock, MDEvent, MDMutex>;
TYPED_TEST_SUITE(MDKinds, MDTypes);

TYPED_TEST(MDKinds, NameCarriesTheFocusOnlyWhenAsked) {
    const std::string base = uniqueName("named");
    struct Case {
        const char* what;
        const char* name;
        bool prefix;
        std::string expected;
    } cases[] = {
        {"prefixed", base.c_str(), true, this->focused(base)},
        {"as given", base.c_str(), false, base},
        {"null", nullptr, true, ""},
        {"empty", "", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TypeParam object(c.name, c.prefix);
        EXPECT_EQ(object.getName(), c.expected);
        EXPECT_NE(object.getHandle(), nullptr);
        if (!c.expected.empty()) {
            ScopedHandle same(MDKind<TypeParam>::open(c.expected));
            EXPECT_NE(same.get(), nullptr);
        }
    }
}

TYPED_TEST(MDKinds, AnotherHolderShowsAsSetAndTheHolderIsRecorded) {
    const std::string name = uniqueName("held");
    TypeParam mine(name.c_str(), true);
    EXPECT_FALSE(mine.isSet());

    TypeParam theirs(name.c_str(), true);
    std::atomic<unsigned long> holderId{0};
    std::promise<void> holding;
    std::promise<void> letGo;
    std::thread holder([&] {
        holderId.store(kyos::threadId());
        const bool set = theirs.set(0);
        holding.set_value();
        letGo.get_future().wait();
        if (set)
            theirs.unset();
    });
    holding.get_future().wait();
    EXPECT_EQ(theirs.getLastThreadId(), holderId.load());
    EXPECT_NE(theirs.getLastTimeAcquired(), 0);
    EXPECT_TRUE(mine.isSet());
    EXPECT_TRUE(mine.isSet());  // polling takes nothing
    if (MDKind<TypeParam>::excludes) {
        EXPECT_FALSE(mine.set(0));
    }
    letGo.set_value();
    holder.join();
    EXPECT_EQ(theirs.getLastThreadId(), 0u);
    EXPECT_EQ(theirs.getLastTimeAcquired(), 0);
    EXPECT_FALSE(mine.isSet());

    const long before = static_cast<long>(kyos::unixTime());
    ASSERT_TRUE(mine.set(0));
    EXPECT_EQ(mine.getLastThreadId(), kyos::threadId());
    EXPECT_GE(mine.getLastTimeAcquired(), before);
    EXPECT_LE(mine.getLastTimeAcquired(), static_cast<long>(kyos::unixTime()));
    mine.unset();
}

// The product's processes run as different accounts and share these objects.
TYPED_TEST(MDKinds, AProcessOfAnotherAccountSharesTheObject) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    constexpr uid_t kNobody = 65534;
    const std::string name = uniqueName("shared");
    TypeParam mine(name.c_str(), true);
    ASSERT_NE(mine.getHandle(), nullptr);
    struct stat st;
    ASSERT_EQ(::stat(kyos::namedObjectPath(this->focused(name).c_str()).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);

    Child child([&] {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            return 1;
        TypeParam theirs(name.c_str(), true);
        if (theirs.getHandle() == nullptr)
            return 2;
        if (!theirs.set(0))
            return 3;
        Child::sendToParent('h');
        Child::receiveFromParent();
        theirs.unset();
        return 0;
    });
    EXPECT_EQ(child.receive(), 'h');
    EXPECT_TRUE(mine.isSet());
    child.send('u');
    EXPECT_EQ(child.wait(), 0);
    EXPECT_FALSE(mine.isSet());
}

TYPED_TEST(MDKinds, SetReportsFailureWhenTheObjectCouldNotBeMade) {
    const std::string name = uniqueName("taken");
    ScopedHandle section(
        kyos::createFileMapping(PAGE_READWRITE, 4096, this->focused(name).c_str()));
    ASSERT_NE(section.get(), nullptr);
    TypeParam object(name.c_str(), true);
    EXPECT_EQ(object.getHandle(), nullptr);
    EXPECT_FALSE(object.set(0));
    EXPECT_FALSE(object.set(INFINITE));
    EXPECT_EQ(object.getLastTimeAcquired(), 0);
    // Nobody could look, so it is not reported free.
    kyos::setLastError(0);
    EXPECT_TRUE(object.isSet());
    EXPECT_EQ(kyos::lastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    object.unset();
}

TEST_F(MDTest, PrefixedNameOf1024CharactersEndsTheProcess) {
    const std::string focus = KYPI_Focus::getFocus();
    std::string fits = uniqueName("long");
    fits.resize(1023 - focus.size(), 'n');
    MDEvent longest(fits.c_str(), true);
    EXPECT_EQ(std::strlen(longest.getName()), 1023u);
    EXPECT_NE(longest.getHandle(), nullptr);

    std::string tooLong = fits + "n";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(MDEvent(tooLong.c_str(), true), "ending the process");
}

TEST_F(MDTest, UnprefixedNameIsKeptTo1023Characters) {
    std::string name = uniqueName("cut");
    name.resize(1100, 'n');
    MDLock lock(name.c_str(), false);
    EXPECT_EQ(lock.getName(), name.substr(0, 1023));
    EXPECT_NE(lock.getHandle(), nullptr);
}

TEST_F(MDTest, MDEventUnsetInOneProcessWakesAWaiterInAnother) {
    const std::string name = uniqueName("event");
    MDEvent mine(name.c_str(), true);
    ASSERT_TRUE(mine.set(0));
    Child child([&] {
        MDEvent theirs(name.c_str(), true);
        if (!theirs.isSet())
            return 2;
        Child::sendToParent('r');
        if (kyos::waitForSingleObject(theirs.getHandle(), kDeadlineMs) != WAIT_OBJECT_0)
            return 1;
        return theirs.isSet() ? 3 : 0;
    });
    ASSERT_EQ(child.receive(), 'r');
    ASSERT_TRUE(eventually([&] { return blockedInFutex(child.pid()); }));
    mine.unset();
    EXPECT_EQ(child.wait(), 0);
}

// A child process takes the MD object `name` and is killed while it holds it.
template <class Object>
void holdInAChildThatDies(const std::string& name) {
    Child holder([&] {
        Object theirs(name.c_str(), true);
        if (!theirs.set(0))
            return 1;
        Child::sendToParent('h');
        Child::receiveFromParent();
        return 0;
    });
    ASSERT_EQ(holder.receive(), 'h');
    holder.kill(SIGKILL);
    holder.wait();
}

TEST_F(MDTest, MDMutexWhoseOwnerDiedIsTakenOverAndReportedAbandoned) {
    const std::string name = uniqueName("mutex");
    MDMutex mine(name.c_str(), true);
    Child child([&] {
        MDMutex theirs(name.c_str(), true);
        if (!theirs.set(0))
            return 1;
        Child::sendToParent('h');
        Child::receiveFromParent();
        return 0;
    });
    ASSERT_EQ(child.receive(), 'h');
    EXPECT_TRUE(mine.isSet());
    EXPECT_FALSE(mine.set(0));
    child.kill(SIGKILL);
    child.wait();

    ASSERT_TRUE(mine.set(kDeadlineMs));
    EXPECT_TRUE(mine.wasAbandoned());
    mine.unset();
    ASSERT_TRUE(mine.set(0));
    EXPECT_FALSE(mine.wasAbandoned());
    mine.unset();
}

// Polling a mutex whose owner died takes it over for a moment; the next real taker, in
// this process or another, must still learn of the abandonment.
TEST_F(MDTest, PollingAnAbandonedMDMutexLeavesTheAbandonmentToTheNextTaker) {
    for (bool nextInAnotherProcess : {false, true}) {
        SCOPED_TRACE(nextInAnotherProcess ? "next taker in another process" : "next taker here");
        const std::string name = uniqueName("mutex");
        MDMutex mine(name.c_str(), true);
        ASSERT_NO_FATAL_FAILURE(holdInAChildThatDies<MDMutex>(name));

        EXPECT_FALSE(mine.isSet());
        EXPECT_FALSE(mine.isSet());
        if (nextInAnotherProcess) {
            Child next([&] {
                MDMutex theirs(name.c_str(), true);
                if (!theirs.set(0))
                    return 1;
                const bool abandoned = theirs.wasAbandoned();
                theirs.unset();
                return abandoned ? 0 : 2;
            });
            EXPECT_EQ(next.wait(), 0);
        } else {
            ASSERT_TRUE(mine.set(0));
            EXPECT_TRUE(mine.wasAbandoned());
            mine.unset();
        }
        // Told once: the taker after that finds a mutex like any other.
        ASSERT_TRUE(mine.set(0));
        EXPECT_FALSE(mine.wasAbandoned());
        mine.unset();
    }
}

TEST_F(MDTest, SteppedSetWaitsOnTheLocksOwnObject) {
    const std::string name = uniqueName("stepped");
    MDLock holder(name.c_str(), true);
    MDLock waiter(name.c_str(), true);
    ASSERT_TRUE(holder.set(0));

    EXPECT_FALSE(waiter.set(30, 10, name.c_str()));
    EXPECT_FALSE(namedObjectExists(name));
    EXPECT_TRUE(waiter.isSet());

    holder.unset();
    ASSERT_TRUE(waiter.set(30, 10, name.c_str()));
    EXPECT_TRUE(holder.isSet());  // one object, seen through both handles
    waiter.unset();
}

// Between steps a lock makes its object afresh only when nothing of it can be held: never
// while a thread holds it through this very object, whose handle may be the process's
// only one.
TEST_F(MDTest, SteppedSetNeverLetsASecondHolderIn) {
    const std::string name = uniqueName("shared");
    MDLock lock(name.c_str(), true);
    ASSERT_TRUE(lock.set(0));
    bool secondGotIn = true;
    std::thread([&] { secondGotIn = lock.set(100, 10, name.c_str()); }).join();
    EXPECT_FALSE(secondGotIn);

    // A stepped waiter gets the lock once its holder lets go; the release lets exactly one
    // party in, so another process finds it held.
    std::promise<void> holding;
    std::promise<void> letGo;
    std::thread waiter([&] {
        if (lock.set(kDeadlineMs, 10, name.c_str())) {
            holding.set_value();
            letGo.get_future().wait();
            lock.unset();
        }
    });
    lock.unset();
    ASSERT_EQ(holding.get_future().wait_for(kDeadline), std::future_status::ready);
    Child other([&] {
        MDLock theirs(name.c_str(), true);
        return theirs.set(0) ? 1 : 0;
    });
    EXPECT_EQ(other.wait(), 0);
    letGo.set_value();
    waiter.join();
    Child after([&] {
        MDLock theirs(name.c_str(), true);
        return theirs.set(0) ? 0 : 1;
    });
    EXPECT_EQ(after.wait(), 0);
}

// Two threads of this process, on one object, and a second process, all stepping: never
// two holders at once.
TEST_F(MDTest, SteppedSettersOfTwoThreadsAndAnotherProcessExcludeEachOther) {
    const std::string name = uniqueName("contended");
    // Holders now and the most ever seen, in memory the child shares.
    void* shared = ::mmap(nullptr, sizeof(std::atomic<int>) * 2, PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto* holders = new (shared) std::atomic<int>[2] {};
    auto hold = [holders] {
        const int now = holders[0].fetch_add(1) + 1;
        int most = holders[1].load();
        while (now > most && !holders[1].compare_exchange_weak(most, now)) {
        }
        // Held past a step, so that the others' steps run out while it is held.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        holders[0].fetch_sub(1);
    };
    constexpr int kRounds = 100;
    MDLock lock(name.c_str(), true);
    Child other([&] {
        for (int i = 0; i < kRounds; ++i) {
            // Made and let go each round, so that at times this process holds no handle.
            MDLock theirs(name.c_str(), true);
            if (!theirs.set(kDeadlineMs, 1, name.c_str()))
                return 1;
            hold();
            theirs.unset();
        }
        return 0;
    });
    auto mine = [&] {
        for (int i = 0; i < kRounds; ++i) {
            if (!lock.set(kDeadlineMs, 1, name.c_str())) {
                ADD_FAILURE() << "no turn";
                return;
            }
            hold();
            lock.unset();
        }
    };
    std::thread first(mine);
    std::thread second(mine);
    first.join();
    second.join();
    EXPECT_EQ(other.wait(), 0);
    EXPECT_EQ(holders[1].load(), 1);
    ::munmap(shared, sizeof(std::atomic<int>) * 2);
}

TEST_F(MDTest, SteppedSetReportsFailureWithoutAnObject) {
    const std::string name = uniqueName("taken");
    ScopedHandle section(kyos::createFileMapping(PAGE_READWRITE, 4096, focused(name).c_str()));
    ASSERT_NE(section.get(), nullptr);
    MDLock lock(name.c_str(), true);
    EXPECT_FALSE(lock.set(kDeadlineMs, 10, name.c_str()));
}

TEST_F(MDTest, SteppedSetTakesALockWhoseHolderDiedWithIt) {
    const std::string name = uniqueName("orphan");
    MDLock mine(name.c_str(), true);
    ASSERT_NO_FATAL_FAILURE(holdInAChildThatDies<MDLock>(name));
    EXPECT_FALSE(mine.set(0));  // a semaphore is not abandoned: the count stays taken
    EXPECT_TRUE(mine.set(kDeadlineMs, 10, name.c_str()));
    mine.unset();
}

TEST_F(MDTest, CopiesShareTheObjectAndAnUnnamedOneIsNeverMadeAfresh) {
    MDLock original;
    MDLock copy(original);
    EXPECT_NE(copy.getHandle(), original.getHandle());
    ASSERT_TRUE(original.set(0));
    EXPECT_FALSE(original.set(0));  // not recursive
    EXPECT_TRUE(copy.isSet());
    EXPECT_FALSE(copy.set(30, 10, nullptr));

    MDLock assigned;
    assigned = original;
    EXPECT_TRUE(assigned.isSet());
    EXPECT_EQ(assigned.getLastThreadId(), original.getLastThreadId());
    EXPECT_EQ(assigned.getLastTimeAcquired(), original.getLastTimeAcquired());
    MDLock& alias = assigned;
    assigned = alias;
    EXPECT_TRUE(assigned.isSet());
    original.unset();
    EXPECT_FALSE(assigned.isSet());

    const std::string name = uniqueName("copied");
    MDLock named(name.c_str(), true);
    assigned = named;
    EXPECT_STREQ(assigned.getName(), named.getName());
    ASSERT_TRUE(named.set(0));
    EXPECT_TRUE(assigned.isSet());
    named.unset();
}

// ---------------------------------------------------------------------------------------
// Lock tracing

class LockTraceTest : public MDTest {
protected:
    void SetUp() override {
        MDTest::SetUp();
        HKEY product = nullptr;
        ASSERT_EQ(kyos::reg::createKey(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS, &product,
                                       nullptr),
                  ERROR_SUCCESS);
        kyos::reg::closeKey(product);
    }
    void TearDown() override {
        // Tracing off again for whatever runs next in this process.
        setLogLocks(nullptr);
        MDNamedObject::reloadLockTracing();
        MDTest::TearDown();
    }

    // Null deletes the value.
    static void setLogLocks(const DWORD* value) {
        HKEY product = nullptr;
        ASSERT_EQ(kyos::reg::openKey(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS, &product),
                  ERROR_SUCCESS);
        if (value != nullptr)
            EXPECT_EQ(kyos::reg::setValue(product, "LogLocks", REG_DWORD, value, sizeof *value),
                      ERROR_SUCCESS);
        else
            kyos::reg::deleteValue(product, "LogLocks");
        kyos::reg::closeKey(product);
    }
    static void traceOn() {
        const DWORD on = 1;
        setLogLocks(&on);
        MDNamedObject::reloadLockTracing();
    }
    // The trace value of an object; the code of the query.
    static DWORD readTrace(const std::string& name, DWORD* type, std::string* data) {
        HKEY locks = nullptr;
        DWORD rc = kyos::reg::openKey(HKEY_LOCAL_MACHINE, kLocksKey, 0, KEY_READ, &locks);
        if (rc != ERROR_SUCCESS)
            return rc;
        DWORD size = 0;
        rc = kyos::reg::queryValue(locks, name, type, nullptr, &size);
        if (rc == ERROR_SUCCESS) {
            std::string bytes(size, '\0');
            rc = kyos::reg::queryValue(locks, name, type, bytes.data(), &size);
            *data = bytes.substr(0, bytes.find('\0'));
        }
        kyos::reg::closeKey(locks);
        return rc;
    }
    static std::string ctimeText(long when) {
        std::time_t time = when;
        char text[26] = {};
        ctime_r(&time, text);
        return std::string(text, 24);
    }
};

template <class T>
class LockTraceKinds : public LockTraceTest {};
TYPED_TEST_SUITE(LockTraceKinds, MDTypes);

TYPED_TEST(LockTraceKinds, SetWritesWhoHoldsTheObjectAndUnsetDeletesIt) {
    this->traceOn();
    const std::string name = uniqueName("traced");
    TypeParam object(name.c_str(), true);
    ASSERT_TRUE(object.set(0));

    DWORD type = 0;
    std::string data;
    ASSERT_EQ(this->readTrace(object.getName(), &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    const std::string expected = std::to_string(::getpid()) + ":" +
                                 std::to_string(kyos::threadId()) + ":" + kyos::processPath() +
                                 ":" + this->ctimeText(object.getLastTimeAcquired());
    EXPECT_EQ(data, expected);
    EXPECT_TRUE(std::regex_match(
        data,
        std::regex(R"(\d+:\d+:/.+:[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4})")))
        << data;

    object.unset();
    EXPECT_EQ(this->readTrace(object.getName(), &type, &data), ERROR_FILE_NOT_FOUND);
}

TEST_F(LockTraceTest, TracesOnlyWhenLogLocksIsNonZeroIntoAVolatileKey) {
    struct Case {
        const char* what;
        bool present;
        DWORD value;
        bool traced;
    } cases[] = {
        {"absent", false, 0, false},
        {"zero", true, 0, false},
        {"one", true, 1, true},
        {"any other", true, 7, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kyos::reg::deleteTree(HKEY_LOCAL_MACHINE, kLocksKey);
        setLogLocks(c.present ? &c.value : nullptr);
        MDNamedObject::reloadLockTracing();

        const std::string name = uniqueName(c.what);
        MDLock lock(name.c_str(), true);
        ASSERT_TRUE(lock.set(0));
        DWORD type = 0;
        std::string data;
        EXPECT_EQ(readTrace(lock.getName(), &type, &data) == ERROR_SUCCESS, c.traced);
        lock.unset();
        if (c.traced) {
            HKEY stable = nullptr;
            EXPECT_EQ(
                kyos::reg::createKey(HKEY_LOCAL_MACHINE, std::string(kLocksKey) + "\\Stable",
                                     REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, &stable, nullptr),
                ERROR_CHILD_MUST_BE_VOLATILE);
        }
    }
}

TEST_F(LockTraceTest, UnnamedObjectsAreNotTraced) {
    traceOn();
    MDLock lock;
    ASSERT_TRUE(lock.set(0));
    HKEY locks = nullptr;
    ASSERT_EQ(kyos::reg::openKey(HKEY_LOCAL_MACHINE, kLocksKey, 0, KEY_READ, &locks),
              ERROR_SUCCESS);
    kyos::reg::KeyInfo info;
    EXPECT_EQ(kyos::reg::queryInfoKey(locks, &info), ERROR_SUCCESS);
    EXPECT_EQ(info.values, 0u);
    kyos::reg::closeKey(locks);
    lock.unset();
}

// ---------------------------------------------------------------------------------------
// CNamedMutex

TEST(CNamedMutex, ReportsWhetherItCreatedOrOpenedTheMutex) {
    const std::string name = uniqueName("mutex");
    CError first;
    CError second;
    {
        CNamedMutex creator(name.c_str(), &first, false);
        EXPECT_EQ(first.getCode(), 0);
        EXPECT_STREQ(first.getText(), "CNamedMutex(): Mutex was created. lockCount = 0");
        CNamedMutex opener(name.c_str(), &second, true);
        EXPECT_EQ(second.getCode(), 0);
        EXPECT_STREQ(second.getText(), "CNamedMutex(): Mutex was opened. lockCount = 0");
        CNamedMutex ownRecord(name.c_str(), nullptr, false);
        EXPECT_EQ(ownRecord.getErrorCode(), 0);
        EXPECT_STREQ(ownRecord.getErrorText(), "CNamedMutex(): Mutex was opened. lockCount = 0");
    }
    EXPECT_STREQ(first.getText(), "~CNamedMutex(): Handle to Named Mutex was closed successfully.");
    EXPECT_STREQ(second.getText(),
                 "~CNamedMutex(): Handle to Named Mutex was closed successfully.");
}

TEST(CNamedMutex, WithoutAMutexEveryCallFailsWithItsText) {
    const std::string name = uniqueName("bad\\name");
    CError error;
    CNamedMutex mutex(name.c_str(), &error, false);
    EXPECT_EQ(error.getCode(), static_cast<long>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(std::string(error.getText()),
              "CNamedMutex(): Mutex handle was not created or opened (SYSTEM: " +
                  kyos::win32MessageText(ERROR_PATH_NOT_FOUND) + ")");
    EXPECT_EQ(mutex.lock(0, true), -1);
    EXPECT_EQ(error.getCode(), -1);
    EXPECT_STREQ(error.getText(), "lock(): Internal CNamedMutex error: m_hMutex = NULL");
    EXPECT_EQ(mutex.unlock(), -1);
    EXPECT_EQ(error.getCode(), -1);
    EXPECT_STREQ(error.getText(), "unlock(): Internal CNamedMutex error: m_hMutex = NULL");
}

TEST(CNamedMutex, CountsItsOwnAcquisitions) {
    const std::string name = uniqueName("mutex");
    CNamedMutex mutex(name.c_str(), nullptr, false);
    EXPECT_EQ(mutex.lock(-1, false), 1);
    EXPECT_STREQ(mutex.getErrorText(), "lock(): mutex acquired successfully.");
    EXPECT_EQ(mutex.lock(0, false), 2);
    EXPECT_EQ(mutex.getLockCount(), 2u);
    EXPECT_EQ(mutex.unlock(), 1);
    EXPECT_EQ(mutex.getErrorCode(), 0);
    EXPECT_STREQ(mutex.getErrorText(), "unlock(): mutex released successfully.");
    EXPECT_EQ(mutex.unlock(), 0);

    EXPECT_EQ(mutex.unlock(), -1);
    EXPECT_EQ(mutex.getErrorCode(), -2);
    EXPECT_EQ(std::string(mutex.getErrorText()),
              "unlock(): Unlocking mutex which was not locked or acquired by this thread "
              "(lockCount=0; lockerId=0; our Current-TID=" +
                  std::to_string(kyos::threadId()));
}

TEST(CNamedMutex, DestructionReleasesWhatTheObjectStillHolds) {
    const std::string name = uniqueName("mutex");
    // Keeps the mutex alive past the object, so that its state can be looked at.
    ScopedHandle keep(kyos::createMutex(FALSE, name.c_str()));
    ASSERT_NE(keep.get(), nullptr);
    {
        CNamedMutex mutex(name.c_str(), nullptr, false);
        ASSERT_EQ(mutex.lock(0, false), 1);
        ASSERT_EQ(mutex.lock(0, false), 2);
    }
    int result = 0;
    long code = 1;
    std::thread([&] {
        CNamedMutex other(name.c_str(), nullptr, false);
        result = other.lock(0, false);
        code = other.getErrorCode();
        other.unlock();
    }).join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(code, 0);
}

TEST(CNamedMutex, TimesOutOrWaitsWithoutLimitForAHolderInAnotherProcess) {
    const std::string name = uniqueName("mutex");
    CNamedMutex mine(name.c_str(), nullptr, false);
    Child child([&] {
        CNamedMutex theirs(name.c_str(), nullptr, false);
        if (theirs.lock(0, false) != 1)
            return 1;
        Child::sendToParent('h');
        Child::receiveFromParent();
        return theirs.unlock() == 0 ? 0 : 2;
    });
    ASSERT_EQ(child.receive(), 'h');
    for (int ms : {0, 25}) {
        EXPECT_EQ(mine.lock(ms, false), -1);
        EXPECT_EQ(mine.getErrorCode(), -2);
        EXPECT_EQ(std::string(mine.getErrorText()),
                  "lock(): Timeout(" + std::to_string(ms) + ") expired");
    }
    {
        WhenAsleep letGo(currentThread(), [&] { child.send('u'); });
        EXPECT_EQ(mine.lock(-1, false), 1);
    }
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(mine.unlock(), 0);
}

struct AbandonCase {
    bool accept;
    int result;
    long code;
    const char* text;
    unsigned long count;
    bool othersMayTakeIt;
};

void PrintTo(const AbandonCase& c, std::ostream* out) {
    *out << (c.accept ? "accepted" : "refused");
}

class CNamedMutexAbandoned : public ::testing::TestWithParam<AbandonCase> {};

TEST_P(CNamedMutexAbandoned, AHolderThatDiedLeavesTheMutexAbandoned) {
    const AbandonCase c = GetParam();
    const std::string name = uniqueName("mutex");
    CNamedMutex mine(name.c_str(), nullptr, false);
    {
        Child holder([&] {
            CNamedMutex theirs(name.c_str(), nullptr, false);
            if (theirs.lock(0, false) != 1)
                return 1;
            Child::sendToParent('h');
            Child::receiveFromParent();
            return 0;
        });
        ASSERT_EQ(holder.receive(), 'h');
        holder.kill(SIGKILL);
        holder.wait();
    }
    EXPECT_EQ(mine.lock(static_cast<int>(kDeadlineMs), c.accept), c.result);
    EXPECT_EQ(mine.getErrorCode(), c.code);
    EXPECT_STREQ(mine.getErrorText(), c.text);
    EXPECT_EQ(mine.getLockCount(), c.count);

    Child next([&] {
        CNamedMutex theirs(name.c_str(), nullptr, false);
        const int result = theirs.lock(0, false);
        if (result == 1 && theirs.getErrorCode() == 0)
            return 0;
        return result == -1 && theirs.getErrorCode() == -2 ? 3 : 1;
    });
    EXPECT_EQ(next.wait(), c.othersMayTakeIt ? 0 : 3);
    if (c.count != 0) {
        EXPECT_EQ(mine.unlock(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AcceptedOrNot, CNamedMutexAbandoned,
    ::testing::Values(AbandonCase{true, 1, 0, "lock(): mutex acquired successfully.", 1, false},
                      AbandonCase{false, -1, -3, "lock(): Acquired mutex is ABANDONED", 0, true}),
    [](const ::testing::TestParamInfo<AbandonCase>& info) {
        return info.param.accept ? "Accepted" : "Refused";
    });

// The debug log of the process, in a private folder.
class CNamedMutexLog : public kytest::StoreTest {
protected:
    void SetUp() override {
        kytest::StoreTest::SetUp();
        KYPI_Focus::setFocus("Instance001");
        m_logDir = dir_.file("logs");
        HKEY section = nullptr;
        ASSERT_EQ(
            kyos::reg::createKey(HKEY_LOCAL_MACHINE,
                                 "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\EventManager", 0,
                                 KEY_ALL_ACCESS, &section, nullptr),
            ERROR_SUCCESS);
        ASSERT_EQ(kyos::reg::setValue(section, "dEVLOGDIR", REG_EXPAND_SZ, m_logDir.c_str(),
                                      static_cast<DWORD>(m_logDir.size() + 1)),
                  ERROR_SUCCESS);
        kyos::reg::closeKey(section);
        ASSERT_TRUE(EvDebug().initialize(EvDebug::getLogId("kytest"), 0, true, ""));
    }
    void TearDown() override {
        EvDebug::CleanupFileHandleList();
        KYPI_Focus::reload();
        kytest::StoreTest::TearDown();
    }
    std::string logText() const { return kytest::readFile(m_logDir + "/kytest.log"); }

    std::string m_logDir;
};

TEST_F(CNamedMutexLog, UnlockByAThreadThatDidNotLockFailsAndIsLogged) {
    const std::string name = uniqueName("mutex");
    CNamedMutex mutex(name.c_str(), nullptr, false);
    ASSERT_EQ(mutex.lock(0, false), 1);
    const unsigned long locker = kyos::threadId();
    unsigned long other = 0;
    int result = 0;
    std::thread([&] {
        other = kyos::threadId();
        result = mutex.unlock();
    }).join();

    EXPECT_EQ(result, -1);
    EXPECT_EQ(mutex.getErrorCode(), -2);
    const std::string numbers = "(lockCount=1; lockerId=" + std::to_string(locker) +
                                "; our Current-TID=" + std::to_string(other);
    EXPECT_EQ(
        std::string(mutex.getErrorText()),
        "unlock(): Unlocking mutex which was not locked or acquired by this thread " + numbers);
    EXPECT_NE(logText().find("Unlocking mutex which was not locked or acquired by this thread "
                             "(lockCount=1; lockerId=" +
                             std::to_string(locker) + "; Current-TID=" + std::to_string(other)),
              std::string::npos)
        << logText();
    EXPECT_EQ(mutex.getLockCount(), 1u);
    EXPECT_EQ(mutex.unlock(), 0);
}

}  // namespace
