// Mutexes, events, semaphores, sections and waits within one process.
#include "os/sync/Sync.h"

#include <gtest/gtest.h>
#include <linux/futex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "os/Handle.h"
#include "os/LastError.h"
#include "os/sync/KernelObject.h"
#include "os/sync/SyncState.h"
#include "tests/os/sync/SyncTestSupport.h"

using kytest::eventually;
using kytest::objectName;
using kytest::ScopedHandle;

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// A thread that runs `body` and reports when it has finished; joined at the end.
class Worker {
public:
    template <class F>
    explicit Worker(F body)
        : thread_([this, body] {
              tid_.store(kytest::currentThreadId());
              body();
              done_.store(true);
          }) {}
    ~Worker() { join(); }
    void join() {
        if (thread_.joinable())
            thread_.join();
    }
    bool done() const { return done_.load(); }
    // The thread sleeps in a wait (or has finished).
    bool asleep() const {
        pid_t tid = tid_.load();
        return done() || (tid != 0 && kytest::blockedInFutex(tid));
    }

private:
    std::atomic<pid_t> tid_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

DWORD waitOn(HANDLE handle, DWORD milliseconds = 0) {
    return kyos::waitForSingleObject(handle, milliseconds);
}

// ---- Mutexes --------------------------------------------------------------------------

class MutexTest : public ::testing::TestWithParam<bool> {
protected:
    // Named or unnamed, as the parameter says.
    HANDLE create(BOOL initialOwner) {
        std::string name = GetParam() ? objectName("mutex") : std::string();
        return kyos::createMutex(initialOwner, name.c_str());
    }
};

TEST_P(MutexTest, IsRecursiveForItsOwnerAndRefusesOtherThreads) {
    ScopedHandle mutex(create(TRUE));
    ASSERT_TRUE(mutex);
    EXPECT_EQ(waitOn(mutex.get()), WAIT_OBJECT_0);  // second level

    Worker other([&] {
        EXPECT_EQ(waitOn(mutex.get()), WAIT_TIMEOUT);
        kyos::setLastError(0);
        EXPECT_FALSE(kyos::releaseMutex(mutex.get()));
        EXPECT_EQ(kyos::lastError(), ERROR_NOT_OWNER);
    });
    other.join();

    EXPECT_TRUE(kyos::releaseMutex(mutex.get()));
    Worker stillOwned([&] { EXPECT_EQ(waitOn(mutex.get()), WAIT_TIMEOUT); });
    stillOwned.join();
    EXPECT_TRUE(kyos::releaseMutex(mutex.get()));
    EXPECT_FALSE(kyos::releaseMutex(mutex.get()));
    EXPECT_EQ(kyos::lastError(), ERROR_NOT_OWNER);

    Worker taker([&] {
        EXPECT_EQ(waitOn(mutex.get()), WAIT_OBJECT_0);
        EXPECT_TRUE(kyos::releaseMutex(mutex.get()));
    });
}

TEST_P(MutexTest, ThreadEndingAsOwnerAbandonsItToASleepingWaiter) {
    ScopedHandle mutex(create(FALSE));
    ASSERT_TRUE(mutex);
    std::atomic<bool> owned{false}, mayEnd{false};
    Worker owner([&] {
        ASSERT_EQ(waitOn(mutex.get()), WAIT_OBJECT_0);
        ASSERT_EQ(waitOn(mutex.get()), WAIT_OBJECT_0);  // ends two levels deep
        owned.store(true);
        eventually([&] { return mayEnd.load(); });
    });
    ASSERT_TRUE(eventually([&] { return owned.load(); }));

    std::atomic<DWORD> result{WAIT_FAILED};
    Worker waiter([&] {
        result.store(waitOn(mutex.get(), 20000));
        if (result.load() == WAIT_ABANDONED) {
            EXPECT_TRUE(kyos::releaseMutex(mutex.get()));  // it owns it, one level deep
            EXPECT_FALSE(kyos::releaseMutex(mutex.get()));
        }
    });
    ASSERT_TRUE(eventually([&] { return waiter.asleep(); }));
    mayEnd.store(true);
    owner.join();
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_ABANDONED);
    EXPECT_EQ(waitOn(mutex.get()), WAIT_OBJECT_0);  // abandoned once, then normal again
    EXPECT_TRUE(kyos::releaseMutex(mutex.get()));
}

TEST_P(MutexTest, ReleasedAsAbandonedItIsAbandonedToTheNextTaker) {
    ScopedHandle mutex(create(FALSE));
    ASSERT_TRUE(mutex);
    Worker owner([&] { ASSERT_EQ(waitOn(mutex.get()), WAIT_OBJECT_0); });
    owner.join();

    ASSERT_EQ(waitOn(mutex.get()), WAIT_ABANDONED);
    EXPECT_TRUE(kyos::releaseMutexAsAbandoned(mutex.get()));
    kyos::setLastError(0);
    EXPECT_FALSE(kyos::releaseMutexAsAbandoned(mutex.get()));
    EXPECT_EQ(kyos::lastError(), ERROR_NOT_OWNER);

    // Held twice, the mutex stays with its owner, and the owner's own next level is no
    // abandonment.
    Worker next([&] {
        EXPECT_EQ(waitOn(mutex.get()), WAIT_ABANDONED);
        EXPECT_EQ(waitOn(mutex.get()), WAIT_OBJECT_0);
        EXPECT_TRUE(kyos::releaseMutexAsAbandoned(mutex.get()));
        EXPECT_EQ(waitOn(mutex.get()), WAIT_OBJECT_0);
        EXPECT_TRUE(kyos::releaseMutex(mutex.get()));
        EXPECT_TRUE(kyos::releaseMutex(mutex.get()));
    });
    next.join();
    EXPECT_EQ(waitOn(mutex.get()), WAIT_OBJECT_0);
    EXPECT_TRUE(kyos::releaseMutex(mutex.get()));
}

TEST_P(MutexTest, WaiterSleepsUntilRelease) {
    ScopedHandle mutex(create(TRUE));
    ASSERT_TRUE(mutex);
    std::atomic<DWORD> result{WAIT_FAILED};
    Worker waiter([&] {
        result.store(waitOn(mutex.get(), 20000));
        kyos::releaseMutex(mutex.get());
    });
    ASSERT_TRUE(eventually([&] { return waiter.asleep(); }));
    EXPECT_FALSE(waiter.done());
    EXPECT_TRUE(kyos::releaseMutex(mutex.get()));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
}

// Closing the last handle of a mutex one still owns must not free what the thread's
// robust list (and the kernel, when the thread ends) will still touch. The name goes with
// the last handle, as on Windows.
TEST_P(MutexTest, OwnerMayCloseItsLastHandle) {
    std::string name = objectName("mutex");
    Worker owner([&] {
        HANDLE mutex = kyos::createMutex(TRUE, GetParam() ? name.c_str() : nullptr);
        ASSERT_NE(mutex, nullptr);
        EXPECT_TRUE(kyos::closeHandle(mutex));
        // Locking and releasing another robust mutex walks this thread's robust list.
        ScopedHandle another(kyos::createMutex(TRUE, nullptr));
        EXPECT_TRUE(kyos::releaseMutex(another.get()));
    });
    owner.join();
    EXPECT_EQ(kyos::openMutex(SYNCHRONIZE, name.c_str()), nullptr);
    EXPECT_EQ(kyos::lastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(exists(kyos::namedObjectPath(name.c_str())));
}

// After a first wait, a thread's waits and releases through the same handle go by its
// record of that handle rather than the handle table. The record stands for the handle and
// nothing more: it is no claim to own the mutex, and once the handle is closed (by any
// thread) it leads nowhere, while the mutex lives on through another handle.
TEST_P(MutexTest, AHandleWaitedOnBeforeAnswersAsTheHandleWould) {
    ScopedHandle mutex(create(FALSE));
    ASSERT_TRUE(mutex);
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(kyos::duplicateHandle(mutex.get(), &duplicate, 0, DUPLICATE_SAME_ACCESS));
    ScopedHandle other(duplicate);

    ASSERT_EQ(waitOn(mutex.get()), WAIT_OBJECT_0);
    EXPECT_TRUE(kyos::releaseMutex(other.get()));
    std::atomic<bool> taken{false}, mayRelease{false};
    Worker taker([&] {
        ASSERT_EQ(waitOn(other.get()), WAIT_OBJECT_0);
        taken.store(true);
        eventually([&] { return mayRelease.load(); });
        EXPECT_TRUE(kyos::releaseMutex(other.get()));
    });
    ASSERT_TRUE(eventually([&] { return taken.load(); }));
    kyos::setLastError(0);
    EXPECT_FALSE(kyos::releaseMutex(mutex.get()));
    EXPECT_EQ(kyos::lastError(), ERROR_NOT_OWNER);
    EXPECT_EQ(waitOn(mutex.get()), WAIT_TIMEOUT);
    mayRelease.store(true);
    taker.join();

    // Closed by another thread, which leaves this thread's record in place.
    ASSERT_EQ(waitOn(mutex.get()), WAIT_OBJECT_0);
    HANDLE closed = mutex.release();
    Worker closer([&] { EXPECT_TRUE(kyos::closeHandle(closed)); });
    closer.join();
    kyos::setLastError(0);
    EXPECT_EQ(waitOn(closed), WAIT_FAILED);
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
    kyos::setLastError(0);
    EXPECT_FALSE(kyos::releaseMutex(closed));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
    // Still owned, one level deep, through the handle that is left.
    Worker stillOwned([&] { EXPECT_EQ(waitOn(other.get()), WAIT_TIMEOUT); });
    stillOwned.join();
    EXPECT_TRUE(kyos::releaseMutex(other.get()));
    EXPECT_FALSE(kyos::releaseMutex(other.get()));
}

INSTANTIATE_TEST_SUITE_P(NamedAndUnnamed, MutexTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Named" : "Unnamed";
                         });

// Mutexes wait on the futex word inside glibc's robust mutex, which glibc does not
// promise to keep where os/sync reads it (SyncState.cpp, lockWord()). On a C library where
// it is not the kernel's robust futex word, this fails: mutexes would then neither
// exclude reliably nor learn of their owners' deaths.
TEST(Mutex, TokenWordIsTheKernelsRobustFutexWord) {
    namespace internal = kyos::sync_internal;
    const char* kLayout =
        "the C library's robust mutex no longer keeps the kernel's futex "
        "word where os/sync reads it";
    ASSERT_TRUE(internal::lockWordLayoutHolds()) << kLayout;
    ScopedHandle mutex(kyos::createMutex(FALSE, nullptr));
    ASSERT_TRUE(mutex);
    internal::SyncState* state = internal::lookupSyncHandle(mutex.get())->object()->state();
    EXPECT_EQ(internal::loadTokenWord(state), 0u) << kLayout;

    std::atomic<std::uint32_t> ownerThread{0};
    std::atomic<std::uint32_t> heldWord{0};
    std::atomic<bool> mayEnd{false};
    Worker owner([&] {
        ASSERT_EQ(waitOn(mutex.get()), WAIT_OBJECT_0);
        ownerThread.store(static_cast<std::uint32_t>(kytest::currentThreadId()));
        heldWord.store(internal::loadTokenWord(state));
        eventually([&] { return mayEnd.load(); });
    });
    ASSERT_TRUE(eventually([&] { return heldWord.load() != 0; }));
    EXPECT_EQ(heldWord.load() & FUTEX_TID_MASK, ownerThread.load()) << kLayout;

    // A sleeper marks the word as waited on, so that the owner's end wakes it.
    std::atomic<DWORD> result{WAIT_FAILED};
    std::atomic<std::uint32_t> takenWord{0};
    std::atomic<std::uint32_t> waiterThread{0};
    Worker waiter([&] {
        waiterThread.store(static_cast<std::uint32_t>(kytest::currentThreadId()));
        result.store(waitOn(mutex.get(), 20000));
        takenWord.store(internal::loadTokenWord(state));
        kyos::releaseMutex(mutex.get());
    });
    ASSERT_TRUE(eventually([&] { return waiter.asleep(); }));
    EXPECT_NE(internal::loadTokenWord(state) & FUTEX_WAITERS, 0u) << kLayout;
    mayEnd.store(true);
    owner.join();
    waiter.join();
    // The kernel marked the dead owner's word, and the waiter took it over.
    EXPECT_EQ(result.load(), WAIT_ABANDONED) << kLayout;
    EXPECT_EQ(takenWord.load() & FUTEX_TID_MASK, waiterThread.load()) << kLayout;
    EXPECT_EQ(takenWord.load() & FUTEX_OWNER_DIED, 0u) << kLayout;
    EXPECT_EQ(internal::loadTokenWord(state), 0u) << kLayout;
}

TEST(Mutex, ExclusionHoldsUnderContention) {
    std::string name = objectName("counter");
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            // Each thread opens the mutex by name, some recursively.
            ScopedHandle mutex(kyos::createMutex(FALSE, name.c_str()));
            for (int i = 0; i < kRounds; ++i) {
                ASSERT_EQ(waitOn(mutex.get(), INFINITE), WAIT_OBJECT_0);
                if (i % 3 == 0) {
                    ASSERT_EQ(waitOn(mutex.get(), INFINITE), WAIT_OBJECT_0);
                }
                ++counter;
                if (i % 3 == 0)
                    kyos::releaseMutex(mutex.get());
                ASSERT_TRUE(kyos::releaseMutex(mutex.get()));
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(counter, kThreads * kRounds);
}

// ---- Events ---------------------------------------------------------------------------

TEST(Event, InitialStateAndResetKind) {
    struct Case {
        BOOL manual, initial;
        DWORD first, second;
    };
    const Case cases[] = {
        {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const Case& c : cases) {
        for (bool named : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "manual " << c.manual << " initial " << c.initial
                                              << " named " << named);
            std::string name = named ? objectName("event") : std::string();
            ScopedHandle event(kyos::createEvent(c.manual, c.initial, name.c_str()));
            ASSERT_TRUE(event);
            EXPECT_EQ(waitOn(event.get()), c.first);
            EXPECT_EQ(waitOn(event.get()), c.second);
            EXPECT_TRUE(kyos::resetEvent(event.get()));
            EXPECT_EQ(waitOn(event.get()), WAIT_TIMEOUT);
        }
    }
}

// Waiters on one event, all asleep before the test goes on.
class EventWaiters {
public:
    EventWaiters(HANDLE event, int count) {
        for (int i = 0; i < count; ++i) {
            workers_.emplace_back(new Worker([this, event] {
                if (waitOn(event, 20000) == WAIT_OBJECT_0)
                    released_.fetch_add(1);
            }));
        }
    }
    bool allAsleep() const {
        for (const auto& worker : workers_) {
            if (!worker->asleep())
                return false;
        }
        return true;
    }
    // Waits until `expected` have been let through and all others sleep again (a waiter let
    // through wrongly never sleeps again); returns how many were let through.
    int settle(int expected) {
        eventually([&] { return released_.load() >= expected && allAsleep(); });
        return released_.load();
    }

private:
    std::atomic<int> released_{0};
    std::vector<std::unique_ptr<Worker>> workers_;
};

TEST(Event, ManualSetReleasesEveryWaiterAndStaysSet) {
    ScopedHandle event(kyos::createEvent(TRUE, FALSE, objectName("event").c_str()));
    EventWaiters waiters(event.get(), 3);
    ASSERT_TRUE(eventually([&] { return waiters.allAsleep(); }));
    ASSERT_TRUE(kyos::setEvent(event.get()));
    EXPECT_EQ(waiters.settle(3), 3);
    EXPECT_EQ(waitOn(event.get()), WAIT_OBJECT_0);
}

TEST(Event, AutoResetSetReleasesExactlyOneWaiter) {
    ScopedHandle event(kyos::createEvent(FALSE, FALSE, objectName("event").c_str()));
    EventWaiters waiters(event.get(), 3);
    ASSERT_TRUE(eventually([&] { return waiters.allAsleep(); }));
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(kyos::setEvent(event.get()));
        EXPECT_EQ(waiters.settle(round), round);
        EXPECT_EQ(waitOn(event.get()), WAIT_TIMEOUT);  // consumed by the one let through
    }
}

TEST(Event, PulseReleasesThePresentWaitersAndLeavesItReset) {
    struct Case {
        BOOL manual;
        int released;
    };
    for (const Case& c : {Case{TRUE, 3}, Case{FALSE, 1}}) {
        SCOPED_TRACE(c.manual ? "manual" : "auto");
        ScopedHandle event(kyos::createEvent(c.manual, FALSE, objectName("event").c_str()));
        ASSERT_TRUE(kyos::pulseEvent(event.get()));  // nobody waits: nothing to keep
        EventWaiters waiters(event.get(), 3);
        ASSERT_TRUE(eventually([&] { return waiters.allAsleep(); }));
        ASSERT_TRUE(kyos::pulseEvent(event.get()));
        EXPECT_EQ(waiters.settle(c.released), c.released);
        EXPECT_EQ(waitOn(event.get()), WAIT_TIMEOUT);
        ASSERT_TRUE(kyos::setEvent(event.get()));  // lets the rest go
        if (!c.manual) {
            EXPECT_EQ(waiters.settle(2), 2);
            ASSERT_TRUE(kyos::setEvent(event.get()));
        }
        EXPECT_EQ(waiters.settle(3), 3);
    }
}

TEST(Event, PulseReachesAWaitOnSeveralObjects) {
    ScopedHandle pulsed(kyos::createEvent(FALSE, FALSE, nullptr));
    ScopedHandle other(kyos::createEvent(FALSE, FALSE, objectName("other").c_str()));
    HANDLE both[] = {other.get(), pulsed.get()};
    std::atomic<DWORD> result{WAIT_FAILED};
    Worker waiter([&] { result.store(kyos::waitForMultipleObjects(2, both, FALSE, 20000)); });
    ASSERT_TRUE(eventually([&] { return waiter.asleep(); }));
    ASSERT_TRUE(kyos::pulseEvent(pulsed.get()));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(waitOn(pulsed.get()), WAIT_TIMEOUT);
}

// ---- Semaphores -----------------------------------------------------------------------

TEST(Semaphore, RefusesToPassItsMaximum) {
    ScopedHandle semaphore(kyos::createSemaphore(1, 2, objectName("sem").c_str()));
    ASSERT_TRUE(semaphore);
    LONG previous = -1;
    ASSERT_TRUE(kyos::releaseSemaphore(semaphore.get(), 1, &previous));
    EXPECT_EQ(previous, 1);
    for (LONG count : {1, 2, 0x7FFFFFFF}) {
        previous = -1;
        EXPECT_FALSE(kyos::releaseSemaphore(semaphore.get(), count, &previous)) << count;
        EXPECT_EQ(kyos::lastError(), ERROR_TOO_MANY_POSTS);
        EXPECT_EQ(previous, -1);
    }
    EXPECT_FALSE(kyos::releaseSemaphore(semaphore.get(), 0, nullptr));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_PARAMETER);
    // Still exactly 2.
    EXPECT_EQ(waitOn(semaphore.get()), WAIT_OBJECT_0);
    EXPECT_EQ(waitOn(semaphore.get()), WAIT_OBJECT_0);
    EXPECT_EQ(waitOn(semaphore.get()), WAIT_TIMEOUT);
}

TEST(Semaphore, CreateChecksItsCounts) {
    struct Case {
        LONG initial, maximum;
    };
    for (const Case& c : {Case{0, 0}, Case{-1, 5}, Case{6, 5}, Case{0, -1}}) {
        kyos::setLastError(0);
        EXPECT_EQ(kyos::createSemaphore(c.initial, c.maximum, objectName("sem").c_str()), nullptr)
            << c.initial << "/" << c.maximum;
        EXPECT_EQ(kyos::lastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST(Semaphore, ReleaseOfNLetsNWaitersThrough) {
    ScopedHandle semaphore(kyos::createSemaphore(0, 10, nullptr));
    EventWaiters waiters(semaphore.get(), 4);
    ASSERT_TRUE(eventually([&] { return waiters.allAsleep(); }));
    ASSERT_TRUE(kyos::releaseSemaphore(semaphore.get(), 3, nullptr));
    EXPECT_EQ(waiters.settle(3), 3);
    ASSERT_TRUE(kyos::releaseSemaphore(semaphore.get(), 1, nullptr));
    EXPECT_EQ(waiters.settle(4), 4);
}

// ---- Waits on several objects ---------------------------------------------------------

TEST(WaitAny, TakesTheLowestSignalledIndexOnly) {
    ScopedHandle unset(kyos::createEvent(FALSE, FALSE, nullptr));
    ScopedHandle first(kyos::createEvent(FALSE, TRUE, objectName("first").c_str()));
    ScopedHandle second(kyos::createSemaphore(1, 1, nullptr));
    HANDLE handles[] = {unset.get(), first.get(), second.get()};
    EXPECT_EQ(kyos::waitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(waitOn(first.get()), WAIT_TIMEOUT);    // taken
    EXPECT_EQ(waitOn(second.get()), WAIT_OBJECT_0);  // left alone
    EXPECT_EQ(kyos::waitForMultipleObjects(3, handles, FALSE, 0), WAIT_TIMEOUT);
}

TEST(WaitAny, SleepsUntilOneIsSignalled) {
    ScopedHandle a(kyos::createEvent(FALSE, FALSE, objectName("a").c_str()));
    ScopedHandle b(kyos::createSemaphore(0, 1, nullptr));
    ScopedHandle c(kyos::createMutex(TRUE, nullptr));  // held by this thread
    HANDLE handles[] = {a.get(), b.get(), c.get()};
    std::atomic<DWORD> result{WAIT_FAILED};
    Worker waiter([&] { result.store(kyos::waitForMultipleObjects(3, handles, FALSE, 20000)); });
    ASSERT_TRUE(eventually([&] { return waiter.asleep(); }));
    EXPECT_FALSE(waiter.done());
    ASSERT_TRUE(kyos::releaseSemaphore(b.get(), 1, nullptr));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(kyos::releaseMutex(c.get()));
}

// Objects for one wait for all: an auto-reset event, a semaphore of count 1 and a mutex,
// each either available or not.
class WaitAllTest : public ::testing::Test {
protected:
    void SetUp() override {
        event_.reset(kyos::createEvent(FALSE, TRUE, objectName("event").c_str()));
        semaphore_.reset(kyos::createSemaphore(1, 5, nullptr));
        mutex_.reset(kyos::createMutex(FALSE, objectName("mutex").c_str()));
        handles_[0] = event_.get();
        handles_[1] = semaphore_.get();
        handles_[2] = mutex_.get();
    }

    DWORD waitAll(DWORD milliseconds) {
        return kyos::waitForMultipleObjects(3, handles_, TRUE, milliseconds);
    }

    // None of the three was taken by a failed wait.
    void expectAllUntaken() {
        EXPECT_EQ(waitOn(event_.get()), WAIT_OBJECT_0);
        kyos::setEvent(event_.get());
        LONG previous = -1;
        EXPECT_TRUE(kyos::releaseSemaphore(semaphore_.get(), 1, &previous));
        EXPECT_EQ(previous, 1);
        waitOn(semaphore_.get());
        Worker other([&] {
            EXPECT_EQ(waitOn(mutex_.get()), WAIT_OBJECT_0);
            kyos::releaseMutex(mutex_.get());
        });
    }

    ScopedHandle event_, semaphore_, mutex_;
    HANDLE handles_[3] = {};
};

TEST_F(WaitAllTest, TakesAllAtOnce) {
    EXPECT_EQ(waitAll(0), WAIT_OBJECT_0);
    EXPECT_EQ(waitOn(event_.get()), WAIT_TIMEOUT);
    EXPECT_EQ(waitOn(semaphore_.get()), WAIT_TIMEOUT);
    Worker other([&] { EXPECT_EQ(waitOn(mutex_.get()), WAIT_TIMEOUT); });
    other.join();
    EXPECT_TRUE(kyos::releaseMutex(mutex_.get()));
}

TEST_F(WaitAllTest, TakesNoneWhenOneIsMissing) {
    // What keeps the wait from completing: the event reset, the semaphore at 0, the mutex
    // held by another thread.
    for (int missing = 0; missing < 3; ++missing) {
        SCOPED_TRACE(missing);
        std::atomic<bool> held{false}, mayRelease{false};
        std::unique_ptr<Worker> holder;
        if (missing == 0)
            kyos::resetEvent(event_.get());
        if (missing == 1)
            waitOn(semaphore_.get());
        if (missing == 2) {
            holder.reset(new Worker([&] {
                waitOn(mutex_.get());
                held.store(true);
                eventually([&] { return mayRelease.load(); });
                kyos::releaseMutex(mutex_.get());
            }));
            ASSERT_TRUE(eventually([&] { return held.load(); }));
        }
        for (DWORD timeout : {0u, 30u})
            EXPECT_EQ(waitAll(timeout), WAIT_TIMEOUT);
        if (missing == 0)
            kyos::setEvent(event_.get());
        if (missing == 1)
            kyos::releaseSemaphore(semaphore_.get(), 1, nullptr);
        mayRelease.store(true);
        holder.reset();
        expectAllUntaken();
    }
}

TEST_F(WaitAllTest, CompletesWhenTheLastOneArrives) {
    ASSERT_TRUE(kyos::resetEvent(event_.get()));
    std::atomic<DWORD> result{WAIT_FAILED};
    Worker waiter([&] {
        result.store(waitAll(20000));
        kyos::releaseMutex(mutex_.get());
    });
    ASSERT_TRUE(eventually([&] { return waiter.asleep(); }));
    EXPECT_FALSE(waiter.done());
    ASSERT_TRUE(kyos::setEvent(event_.get()));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_EQ(waitOn(semaphore_.get()), WAIT_TIMEOUT);
}

// A wait that times out leaves the abandonment for the wait that takes the mutex.
TEST_F(WaitAllTest, AbandonedMutexIsReportedByTheWaitThatTakesIt) {
    Worker([&] { waitOn(mutex_.get()); }).join();  // ends as owner
    ASSERT_TRUE(kyos::resetEvent(event_.get()));
    EXPECT_EQ(waitAll(0), WAIT_TIMEOUT);
    ASSERT_TRUE(kyos::setEvent(event_.get()));
    EXPECT_EQ(waitAll(0), WAIT_ABANDONED_0 + 2);
    EXPECT_TRUE(kyos::releaseMutex(mutex_.get()));
    EXPECT_EQ(waitOn(mutex_.get()), WAIT_OBJECT_0);
    EXPECT_TRUE(kyos::releaseMutex(mutex_.get()));
}

TEST_F(WaitAllTest, OwnMutexCountsAsAvailable) {
    ASSERT_EQ(waitOn(mutex_.get()), WAIT_OBJECT_0);
    EXPECT_EQ(waitAll(0), WAIT_OBJECT_0);
    EXPECT_TRUE(kyos::releaseMutex(mutex_.get()));
    EXPECT_TRUE(kyos::releaseMutex(mutex_.get()));
    EXPECT_FALSE(kyos::releaseMutex(mutex_.get()));
}

TEST(Wait, RefusesBadArguments) {
    ScopedHandle event(kyos::createEvent(TRUE, TRUE, nullptr));
    ScopedHandle section(kyos::createFileMapping(PAGE_READWRITE, 4096, nullptr));
    HANDLE closed = kyos::createEvent(TRUE, TRUE, nullptr);
    kyos::closeHandle(closed);
    HANDLE twice[] = {event.get(), event.get()};
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE& handle : many)
        handle = event.get();
    HANDLE withSection[] = {event.get(), section.get()};
    HANDLE withClosed[] = {event.get(), closed};
    struct Case {
        const char* what;
        DWORD count;
        const HANDLE* handles;
        BOOL all;
        DWORD error;
    };
    const Case cases[] = {
        {"no handles", 0, twice, FALSE, ERROR_INVALID_PARAMETER},
        {"null array", 1, nullptr, FALSE, ERROR_INVALID_PARAMETER},
        {"65 handles", MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, ERROR_INVALID_PARAMETER},
        {"one object twice, all", 2, twice, TRUE, ERROR_INVALID_PARAMETER},
        {"a section", 2, withSection, FALSE, ERROR_INVALID_HANDLE},
        {"a closed handle", 2, withClosed, TRUE, ERROR_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        kyos::setLastError(0);
        EXPECT_EQ(kyos::waitForMultipleObjects(c.count, c.handles, c.all, 0), WAIT_FAILED)
            << c.what;
        EXPECT_EQ(kyos::lastError(), c.error) << c.what;
    }
    EXPECT_EQ(kyos::waitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);  // any: fine
    EXPECT_EQ(kyos::waitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(waitOn(closed), WAIT_FAILED);
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
}

TEST(Wait, TimesOutAfterItsTime) {
    constexpr DWORD kMilliseconds = 60;
    ScopedHandle event(kyos::createEvent(FALSE, FALSE, nullptr));
    ScopedHandle semaphore(kyos::createSemaphore(0, 1, objectName("sem").c_str()));
    ScopedHandle mutex(kyos::createMutex(FALSE, nullptr));
    std::atomic<bool> held{false}, mayRelease{false};
    Worker holder([&] {
        waitOn(mutex.get());
        held.store(true);
        eventually([&] { return mayRelease.load(); });
        kyos::releaseMutex(mutex.get());
    });
    ASSERT_TRUE(eventually([&] { return held.load(); }));
    HANDLE all[] = {event.get(), semaphore.get(), mutex.get()};
    struct Case {
        const char* what;
        std::function<DWORD()> wait;
    };
    const Case cases[] = {
        {"event", [&] { return waitOn(event.get(), kMilliseconds); }},
        {"semaphore", [&] { return waitOn(semaphore.get(), kMilliseconds); }},
        {"mutex", [&] { return waitOn(mutex.get(), kMilliseconds); }},
        {"any", [&] { return kyos::waitForMultipleObjects(3, all, FALSE, kMilliseconds); }},
        {"all", [&] { return kyos::waitForMultipleObjects(3, all, TRUE, kMilliseconds); }},
    };
    for (const Case& c : cases) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.wait(), WAIT_TIMEOUT) << c.what;
        EXPECT_EQ(kyos::lastError(), WAIT_TIMEOUT) << c.what;
        EXPECT_GE(std::chrono::steady_clock::now() - start,
                  std::chrono::milliseconds(kMilliseconds))
            << c.what;
    }
    mayRelease.store(true);
}

// ---- Names ----------------------------------------------------------------------------

// Creates an object of one kind under `name` (Default security).
using Creator = HANDLE (*)(const char* name);

HANDLE createMutexNamed(const char* name) {
    return kyos::createMutex(FALSE, name);
}
HANDLE createEventNamed(const char* name) {
    return kyos::createEvent(TRUE, FALSE, name);
}
HANDLE createSemaphoreNamed(const char* name) {
    return kyos::createSemaphore(0, 1, name);
}
HANDLE createSectionNamed(const char* name) {
    return kyos::createFileMapping(PAGE_READWRITE, 4096, name);
}

struct Kind {
    const char* name;
    Creator create;
    HANDLE (*open)(DWORD access, const char* name);
};

const Kind kKinds[] = {
    {"mutex", createMutexNamed, kyos::openMutex},
    {"event", createEventNamed, kyos::openEvent},
    {"semaphore", createSemaphoreNamed, kyos::openSemaphore},
    {"section", createSectionNamed, kyos::openFileMapping},
};

TEST(Names, CreateOfAnExistingNameOpensItWithAlreadyExists) {
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        std::string name = objectName(kind.name);
        kyos::setLastError(ERROR_ACCESS_DENIED);
        ScopedHandle first(kind.create(name.c_str()));
        ASSERT_TRUE(first);
        EXPECT_EQ(kyos::lastError(), ERROR_SUCCESS);
        ScopedHandle second(kind.create(name.c_str()));
        ASSERT_TRUE(second);
        EXPECT_EQ(kyos::lastError(), ERROR_ALREADY_EXISTS);
        EXPECT_NE(first.get(), second.get());
    }
}

TEST(Names, AnotherKindUnderTheNameIsRefused) {
    for (const Kind& holder : kKinds) {
        std::string name = objectName(holder.name);
        ScopedHandle held(holder.create(name.c_str()));
        ASSERT_TRUE(held);
        for (const Kind& other : kKinds) {
            if (&other == &holder)
                continue;
            SCOPED_TRACE(std::string(holder.name) + " then " + other.name);
            kyos::setLastError(0);
            EXPECT_EQ(other.create(name.c_str()), nullptr);
            EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
            EXPECT_EQ(other.open(GENERIC_ALL, name.c_str()), nullptr);
            EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
        }
    }
}

TEST(Names, ObjectIsGoneWhenItsLastHandleCloses) {
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        std::string name = objectName(kind.name);
        std::string path = kyos::namedObjectPath(name.c_str());
        ScopedHandle created(kind.create(name.c_str()));
        ScopedHandle opened(kind.open(GENERIC_ALL, name.c_str()));
        ASSERT_TRUE(opened);
        created.reset();
        EXPECT_TRUE(exists(path));  // still held
        opened.reset();
        EXPECT_FALSE(exists(path));
        kyos::setLastError(0);
        EXPECT_EQ(kind.open(GENERIC_ALL, name.c_str()), nullptr);
        EXPECT_EQ(kyos::lastError(), ERROR_FILE_NOT_FOUND);
        ScopedHandle again(kind.create(name.c_str()));
        EXPECT_EQ(kyos::lastError(), ERROR_SUCCESS);  // a new object
    }
}

TEST(Names, NamespacePrefixesNameTheSameObject) {
    std::string base = objectName("prefixed");
    ScopedHandle global(kyos::createEvent(TRUE, FALSE, ("Global\\" + base).c_str()));
    ASSERT_TRUE(global);
    ScopedHandle local(kyos::openEvent(EVENT_ALL_ACCESS, ("Local\\" + base).c_str()));
    ScopedHandle bare(kyos::openEvent(EVENT_ALL_ACCESS, base.c_str()));
    ASSERT_TRUE(local);
    ASSERT_TRUE(bare);
    ASSERT_TRUE(kyos::setEvent(local.get()));
    EXPECT_EQ(waitOn(global.get()), WAIT_OBJECT_0);
    EXPECT_EQ(waitOn(bare.get()), WAIT_OBJECT_0);
    EXPECT_EQ(kyos::namedObjectPath(("Global\\" + base).c_str()),
              kyos::namedObjectPath(base.c_str()));
}

TEST(Names, LengthAndCharacters) {
    std::string longest = objectName("");
    longest += std::string(1023 - longest.size(), 'x');
    ASSERT_EQ(longest.size(), 1023u);
    const std::string odd = objectName("with/slash, spaces: ünïcode * and ../dots");
    for (const std::string& name : {longest, "Global\\" + longest, odd}) {
        ScopedHandle created(kyos::createSemaphore(0, 3, name.c_str()));
        ASSERT_TRUE(created) << name.size();
        ScopedHandle opened(kyos::openSemaphore(SEMAPHORE_ALL_ACCESS, name.c_str()));
        ASSERT_TRUE(opened);
        ASSERT_TRUE(kyos::releaseSemaphore(opened.get(), 1, nullptr));
        EXPECT_EQ(waitOn(created.get()), WAIT_OBJECT_0);
    }
    // A name that differs in its last character is another object.
    std::string sibling = longest;
    sibling.back() = 'y';
    EXPECT_EQ(kyos::openSemaphore(SEMAPHORE_ALL_ACCESS, sibling.c_str()), nullptr);
    EXPECT_EQ(kyos::lastError(), ERROR_FILE_NOT_FOUND);

    struct Case {
        std::string name;
        DWORD error;
    };
    const Case bad[] = {
        {longest + "x", ERROR_FILENAME_EXCED_RANGE},
        {"Global\\", ERROR_INVALID_NAME},
        {"Local\\", ERROR_INVALID_NAME},
        {objectName("dir\\object"), ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : bad) {
        kyos::setLastError(0);
        EXPECT_EQ(kyos::createEvent(TRUE, FALSE, c.name.c_str()), nullptr) << c.name;
        EXPECT_EQ(kyos::lastError(), c.error) << c.name;
    }
    EXPECT_EQ(kyos::openEvent(EVENT_ALL_ACCESS, ""), nullptr);
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_PARAMETER);
}

// Two names whose storage collides (made here by linking one object's file under the
// other's storage name) must not open each other's object.
TEST(Names, StorageCollisionIsRefused) {
    std::string owner = objectName("owner");
    std::string intruder = objectName("intruder");
    ScopedHandle held(kyos::createMutex(FALSE, owner.c_str()));
    ASSERT_TRUE(held);
    std::string intruderPath = kyos::namedObjectPath(intruder.c_str());
    ASSERT_EQ(::link(kyos::namedObjectPath(owner.c_str()).c_str(), intruderPath.c_str()), 0);
    kyos::setLastError(0);
    EXPECT_EQ(kyos::openMutex(SYNCHRONIZE, intruder.c_str()), nullptr);
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(kyos::createMutex(FALSE, intruder.c_str()), nullptr);
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
    ::unlink(intruderPath.c_str());
}

TEST(Names, ModeFollowsTheSecurityWhateverTheUmask) {
    struct Case {
        kyos::ObjectSecurity security;
        mode_t mode;
    };
    mode_t saved = ::umask(077);
    for (const Case& c :
         {Case{kyos::ObjectSecurity::Default, 0600}, Case{kyos::ObjectSecurity::Everyone, 0666}}) {
        for (const char* kind : {"mutex", "section"}) {
            std::string name = objectName(kind);
            ScopedHandle object(
                std::string(kind) == "mutex"
                    ? kyos::createMutex(FALSE, name.c_str(), c.security)
                    : kyos::createFileMapping(PAGE_READWRITE, 100, name.c_str(), c.security));
            ASSERT_TRUE(object);
            struct stat st;
            ASSERT_EQ(::stat(kyos::namedObjectPath(name.c_str()).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, c.mode) << kind;
        }
    }
    ::umask(saved);
}

// ---- Access and duplicates ------------------------------------------------------------

TEST(Access, HandleRightsLimitWhatItMayDo) {
    std::string eventName = objectName("event");
    std::string semaphoreName = objectName("sem");
    ScopedHandle event(kyos::createEvent(TRUE, TRUE, eventName.c_str()));
    ScopedHandle semaphore(kyos::createSemaphore(1, 5, semaphoreName.c_str()));
    ScopedHandle waitOnly(kyos::openEvent(SYNCHRONIZE, eventName.c_str()));
    ScopedHandle setOnly(kyos::openEvent(EVENT_MODIFY_STATE, eventName.c_str()));
    ScopedHandle releaseOnly(kyos::openSemaphore(SEMAPHORE_MODIFY_STATE, semaphoreName.c_str()));
    ScopedHandle generic(kyos::openSemaphore(GENERIC_ALL, semaphoreName.c_str()));

    EXPECT_EQ(waitOn(waitOnly.get()), WAIT_OBJECT_0);
    EXPECT_FALSE(kyos::setEvent(waitOnly.get()));
    EXPECT_EQ(kyos::lastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(kyos::resetEvent(setOnly.get()));
    EXPECT_EQ(waitOn(setOnly.get()), WAIT_FAILED);
    EXPECT_EQ(kyos::lastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(kyos::releaseSemaphore(releaseOnly.get(), 1, nullptr));
    EXPECT_EQ(waitOn(releaseOnly.get()), WAIT_FAILED);
    EXPECT_EQ(waitOn(generic.get()), WAIT_OBJECT_0);
    // A handle of another kind is the wrong handle.
    EXPECT_FALSE(kyos::setEvent(semaphore.get()));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(kyos::releaseMutex(event.get()));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
}

TEST(Access, DuplicateIsAnIndependentHandle) {
    HANDLE original = kyos::createEvent(FALSE, FALSE, objectName("event").c_str());
    HANDLE same = nullptr, waitOnly = nullptr, moved = nullptr;
    ASSERT_TRUE(kyos::duplicateHandle(original, &same, 0, DUPLICATE_SAME_ACCESS));
    ASSERT_TRUE(kyos::duplicateHandle(original, &waitOnly, SYNCHRONIZE, 0));
    ASSERT_TRUE(
        kyos::duplicateHandle(original, &moved, 0, DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    EXPECT_FALSE(kyos::closeHandle(original));  // closed by the last duplicate
    EXPECT_TRUE(kyos::setEvent(same));
    EXPECT_EQ(waitOn(moved), WAIT_OBJECT_0);
    EXPECT_FALSE(kyos::setEvent(waitOnly));
    EXPECT_EQ(kyos::lastError(), ERROR_ACCESS_DENIED);
    for (HANDLE handle : {same, waitOnly, moved})
        EXPECT_TRUE(kyos::closeHandle(handle));
}

// ---- Sections -------------------------------------------------------------------------

TEST(Section, ViewsShareTheBytesAndCheckTheirBounds) {
    const long page = ::sysconf(_SC_PAGESIZE);
    const ULONGLONG size = 3 * page;
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named" : "unnamed");
        std::string name = named ? objectName("section") : std::string();
        ScopedHandle section(kyos::createFileMapping(PAGE_READWRITE, size, name.c_str()));
        ASSERT_TRUE(section);
        auto* whole = static_cast<char*>(kyos::mapViewOfFile(section.get(), FILE_MAP_WRITE, 0, 0));
        auto* second =
            static_cast<char*>(kyos::mapViewOfFile(section.get(), FILE_MAP_READ, page, page));
        ASSERT_NE(whole, nullptr);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(whole[size - 1], 0);  // zero-filled
        std::strcpy(whole + page, "shared");
        EXPECT_STREQ(second, "shared");
        auto* copy = static_cast<char*>(kyos::mapViewOfFile(section.get(), FILE_MAP_COPY, 0, 0));
        ASSERT_NE(copy, nullptr);
        copy[page] = 'S';  // private to this view
        EXPECT_STREQ(second, "shared");

        struct Case {
            ULONGLONG offset;
            std::size_t bytes;
            DWORD error;
        };
        const Case bad[] = {
            {1, 0, ERROR_MAPPED_ALIGNMENT},
            {0, static_cast<std::size_t>(size) + 1, ERROR_ACCESS_DENIED},
            {size, 0, ERROR_ACCESS_DENIED},
            {static_cast<ULONGLONG>(page), static_cast<std::size_t>(size), ERROR_ACCESS_DENIED},
        };
        for (const Case& c : bad) {
            EXPECT_EQ(kyos::mapViewOfFile(section.get(), FILE_MAP_READ, c.offset, c.bytes),
                      nullptr);
            EXPECT_EQ(kyos::lastError(), c.error) << c.offset << "+" << c.bytes;
        }
        for (char* view : {whole, second, copy})
            EXPECT_TRUE(kyos::unmapViewOfFile(view));
        EXPECT_FALSE(kyos::unmapViewOfFile(whole));
        EXPECT_EQ(kyos::lastError(), ERROR_INVALID_ADDRESS);
    }
}

TEST(Section, ExistingSectionKeepsItsSizeAndBytes) {
    std::string name = objectName("section");
    ScopedHandle first(kyos::createFileMapping(PAGE_READWRITE, 100, name.c_str()));
    auto* bytes = static_cast<char*>(kyos::mapViewOfFile(first.get(), FILE_MAP_ALL_ACCESS, 0, 0));
    ASSERT_NE(bytes, nullptr);
    std::strcpy(bytes, "kept");
    ScopedHandle second(kyos::createFileMapping(PAGE_READWRITE, 1 << 20, name.c_str()));
    EXPECT_EQ(kyos::lastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(kyos::mapViewOfFile(second.get(), FILE_MAP_READ, 0, 101), nullptr);
    auto* again = static_cast<char*>(kyos::mapViewOfFile(second.get(), FILE_MAP_READ, 0, 100));
    ASSERT_NE(again, nullptr);
    EXPECT_STREQ(again, "kept");
    kyos::unmapViewOfFile(again);
    kyos::unmapViewOfFile(bytes);
}

TEST(Section, ReadOnlyAccessGivesNoWritableView) {
    std::string name = objectName("section");
    ScopedHandle section(kyos::createFileMapping(PAGE_READWRITE, 4096, name.c_str()));
    ScopedHandle reader(kyos::openFileMapping(FILE_MAP_READ, name.c_str()));
    ScopedHandle readOnly(kyos::createFileMapping(PAGE_READONLY, 4096, nullptr));
    for (HANDLE handle : {reader.get(), readOnly.get()}) {
        EXPECT_EQ(kyos::mapViewOfFile(handle, FILE_MAP_WRITE, 0, 0), nullptr);
        EXPECT_EQ(kyos::lastError(), ERROR_ACCESS_DENIED);
        void* view = kyos::mapViewOfFile(handle, FILE_MAP_READ, 0, 0);
        EXPECT_NE(view, nullptr);
        kyos::unmapViewOfFile(view);
    }
    EXPECT_EQ(kyos::createFileMapping(PAGE_READWRITE, 0, objectName("empty").c_str()), nullptr);
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_PARAMETER);
}

TEST(Section, ViewKeepsItsSectionAfterTheHandleCloses) {
    std::string name = objectName("section");
    HANDLE section = kyos::createFileMapping(PAGE_READWRITE, 64, name.c_str());
    auto* view = static_cast<char*>(kyos::mapViewOfFile(section, FILE_MAP_WRITE, 0, 0));
    ASSERT_NE(view, nullptr);
    std::strcpy(view, "alive");
    kyos::closeHandle(section);
    ScopedHandle reopened(kyos::openFileMapping(FILE_MAP_READ, name.c_str()));
    ASSERT_TRUE(reopened);
    auto* again = static_cast<char*>(kyos::mapViewOfFile(reopened.get(), FILE_MAP_READ, 0, 0));
    EXPECT_STREQ(again, "alive");
    kyos::unmapViewOfFile(again);
    reopened.reset();
    EXPECT_TRUE(kyos::unmapViewOfFile(view));
    EXPECT_EQ(kyos::openFileMapping(FILE_MAP_READ, name.c_str()), nullptr);
    EXPECT_EQ(kyos::lastError(), ERROR_FILE_NOT_FOUND);
}

// ---- Threads --------------------------------------------------------------------------

// Opening, waiting on, signalling and closing the same names from many threads at once;
// every count released is taken exactly once or is still there at the end.
TEST(Threads, ConcurrentOpenWaitAndClose) {
    std::string eventName = objectName("event");
    std::string semaphoreName = objectName("sem");
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    constexpr LONG kReleases = kThreads * kRounds;
    ScopedHandle semaphore(kyos::createSemaphore(0, kReleases, semaphoreName.c_str()));
    ScopedHandle event(kyos::createEvent(FALSE, FALSE, eventName.c_str()));
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                ScopedHandle mine(kyos::openSemaphore(SEMAPHORE_ALL_ACCESS, semaphoreName.c_str()));
                ScopedHandle signal(kyos::createEvent(FALSE, FALSE, eventName.c_str()));
                ASSERT_TRUE(mine && signal);
                ASSERT_TRUE(kyos::releaseSemaphore(mine.get(), 1, nullptr));
                HANDLE both[] = {signal.get(), mine.get()};
                DWORD result = kyos::waitForMultipleObjects(2, both, FALSE, INFINITE);
                ASSERT_TRUE(result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1) << result;
                if (result == WAIT_OBJECT_0 + 1)
                    taken.fetch_add(1);
                kyos::setEvent(signal.get());
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    int left = 0;
    while (waitOn(semaphore.get()) == WAIT_OBJECT_0)
        ++left;
    EXPECT_EQ(taken.load() + left, kReleases);
}

}  // namespace
