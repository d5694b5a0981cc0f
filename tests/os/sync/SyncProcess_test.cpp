// Kernel objects shared between processes: forked children hold, signal and die.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <thread>

#include "os/Handle.h"
#include "os/LastError.h"
#include "os/sync/Futex.h"
#include "os/sync/NamedSegment.h"
#include "os/sync/Sync.h"
#include "tests/os/sync/SyncTestSupport.h"

using kytest::Child;
using kytest::eventually;
using kytest::objectName;
using kytest::ScopedHandle;

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Runs `act` on another thread once the calling thread sleeps in a wait; joined at the end.
class WhenAsleep {
public:
    template <class F>
    explicit WhenAsleep(F act)
        : sleeper_(kytest::currentThreadId()), thread_([this, act] {
              if (eventually([this] { return kytest::blockedInFutex(sleeper_); }))
                  act();
          }) {}
    ~WhenAsleep() { thread_.join(); }

private:
    pid_t sleeper_;
    std::thread thread_;
};

// ---- Abandonment ----------------------------------------------------------------------

enum class Death { Killed, Exited };
enum class Waiting { Single, AnyOfTwo, AnyOfTwoWithoutWaitv, AfterTheDeath };

struct AbandonCase {
    Death death;
    Waiting waiting;
};

class AbandonTest : public ::testing::TestWithParam<AbandonCase> {
protected:
    void TearDown() override { kyos::sync_internal::setFutexWaitManyEnabled(true); }
};

TEST_P(AbandonTest, ChildDyingAsOwnerHandsTheMutexOverAbandoned) {
    const AbandonCase param = GetParam();
    std::string name = objectName("mutex");
    ScopedHandle mutex(kyos::createMutex(FALSE, name.c_str()));
    ScopedHandle quit(kyos::createEvent(TRUE, FALSE, nullptr));
    ASSERT_TRUE(mutex && quit);
    Child child([&] {
        HANDLE own = kyos::openMutex(SYNCHRONIZE, name.c_str());
        if (own == nullptr || kyos::waitForSingleObject(own, 0) != WAIT_OBJECT_0)
            return 1;
        Child::sendToParent('h');
        Child::receiveFromParent();  // then ends still owning it
        return 0;
    });
    ASSERT_EQ(child.receive(), 'h');
    auto die = [&] {
        if (param.death == Death::Killed)
            child.kill(SIGKILL);
        else
            child.send('x');
    };
    if (param.waiting == Waiting::AnyOfTwoWithoutWaitv)
        kyos::sync_internal::setFutexWaitManyEnabled(false);

    DWORD result;
    DWORD expected = WAIT_ABANDONED;
    if (param.waiting == Waiting::AfterTheDeath) {
        die();
        child.wait();
        result = kyos::waitForSingleObject(mutex.get(), 0);
    } else if (param.waiting == Waiting::Single) {
        WhenAsleep dieThen(die);
        result = kyos::waitForSingleObject(mutex.get(), 20000);
    } else {
        HANDLE both[] = {quit.get(), mutex.get()};
        expected = WAIT_ABANDONED_0 + 1;
        WhenAsleep dieThen(die);
        result = kyos::waitForMultipleObjects(2, both, FALSE, 20000);
    }
    EXPECT_EQ(result, expected);
    EXPECT_EQ(child.wait(), param.death == Death::Killed ? 128 + SIGKILL : 0);
    // This thread owns it now, once; then it is an ordinary mutex again.
    EXPECT_TRUE(kyos::releaseMutex(mutex.get()));
    EXPECT_FALSE(kyos::releaseMutex(mutex.get()));
    EXPECT_EQ(kyos::waitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(kyos::releaseMutex(mutex.get()));
}

std::string abandonCaseName(const ::testing::TestParamInfo<AbandonCase>& info) {
    static const char* const kDeaths[] = {"Killed", "Exited"};
    static const char* const kWaits[] = {"Single", "AnyOfTwo", "AnyOfTwoWithoutWaitv",
                                         "AfterTheDeath"};
    return std::string(kDeaths[static_cast<int>(info.param.death)]) +
           kWaits[static_cast<int>(info.param.waiting)];
}

INSTANTIATE_TEST_SUITE_P(DeathsAndWaits, AbandonTest,
                         ::testing::Values(AbandonCase{Death::Killed, Waiting::Single},
                                           AbandonCase{Death::Exited, Waiting::Single},
                                           AbandonCase{Death::Killed, Waiting::AnyOfTwo},
                                           AbandonCase{Death::Exited, Waiting::AnyOfTwo},
                                           AbandonCase{Death::Killed,
                                                       Waiting::AnyOfTwoWithoutWaitv},
                                           AbandonCase{Death::Killed, Waiting::AfterTheDeath},
                                           AbandonCase{Death::Exited, Waiting::AfterTheDeath}),
                         abandonCaseName);

// ---- Signalling across processes ------------------------------------------------------

TEST(AcrossProcesses, SetWakesAWaiterInAnotherProcess) {
    std::string name = objectName("event");
    ScopedHandle event(kyos::createEvent(FALSE, FALSE, name.c_str()));
    Child child([&] {
        HANDLE own = kyos::openEvent(SYNCHRONIZE, name.c_str());
        return own != nullptr && kyos::waitForSingleObject(own, 20000) == WAIT_OBJECT_0 ? 0 : 1;
    });
    ASSERT_TRUE(eventually([&] { return kytest::blockedInFutex(child.pid()); }));
    ASSERT_TRUE(kyos::setEvent(event.get()));
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(kyos::waitForSingleObject(event.get(), 0), WAIT_TIMEOUT);  // the child took it
}

// The first CPU the calling thread may run on.
int firstAllowedCpu() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return 0;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed))
            return cpu;
    }
    return 0;
}

bool pinToCpu(pid_t thread, int cpu) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return ::sched_setaffinity(thread, sizeof one, &one) == 0;
}

// A waiter woken to take a count or a signal may die before it takes it; the waiters that
// sleep beside it must then not sleep on while what it left lies there.
TEST(AcrossProcesses, AWokenWaiterThatDiesLeavesTheSignalToTheOthers) {
    struct Case {
        const char* what;
        std::function<HANDLE(const std::string&)> create;
        std::function<BOOL(HANDLE)> signal;
    } cases[] = {
        {"semaphore",
         [](const std::string& name) { return kyos::createSemaphore(0, 1, name.c_str()); },
         [](HANDLE handle) { return kyos::releaseSemaphore(handle, 1, nullptr); }},
        {"auto-reset event",
         [](const std::string& name) { return kyos::createEvent(FALSE, FALSE, name.c_str()); },
         [](HANDLE handle) { return kyos::setEvent(handle); }},
    };
    // Kept from running by the kill, a woken waiter almost always dies without its take;
    // when it ran first all the same (the signaller was held up), the round is tried again.
    constexpr int kAttempts = 5;
    const int cpu = firstAllowedCpu();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool diedWoken = false;
        for (int attempt = 0; attempt < kAttempts && !diedWoken; ++attempt) {
            std::string name = objectName("waited");
            ScopedHandle object(c.create(name));
            ASSERT_TRUE(object);
            // The first to sleep, so the first a single wake-up reaches.
            Child first([&] {
                HANDLE own = c.create(name);
                if (own == nullptr || kyos::waitForSingleObject(own, INFINITE) != WAIT_OBJECT_0)
                    return 1;
                Child::sendToParent('t');
                return 0;
            });
            ASSERT_TRUE(eventually([&] { return kytest::blockedInFutex(first.pid()); }));
            // Once woken it runs only when the CPU has nothing else to do, so the kill below,
            // made from that CPU, comes before it can take anything.
            sched_param idle{};
            ASSERT_TRUE(pinToCpu(first.pid(), cpu));
            ASSERT_EQ(::sched_setscheduler(first.pid(), SCHED_IDLE, &idle), 0);

            std::atomic<pid_t> secondThread{0};
            std::atomic<DWORD> secondResult{WAIT_FAILED};
            std::atomic<bool> secondDone{false};
            std::thread second([&] {
                secondThread.store(kytest::currentThreadId());
                secondResult.store(kyos::waitForSingleObject(object.get(), 6000));
                secondDone.store(true);
            });
            ASSERT_TRUE(eventually([&] {
                return secondThread.load() != 0 && kytest::blockedInFutex(secondThread.load());
            }));
            std::thread signaller([&] {
                if (!pinToCpu(0, cpu)) {
                    ADD_FAILURE() << "cannot run on CPU " << cpu;
                    return;
                }
                EXPECT_TRUE(c.signal(object.get()));
                first.kill(SIGKILL);
            });
            signaller.join();
            first.wait();
            if (first.receive(std::chrono::milliseconds(0)) != 't') {
                // At once, not when the second waiter's own time runs out.
                if (eventually([&] { return secondDone.load(); }, std::chrono::seconds(3))) {
                    second.join();
                    EXPECT_EQ(secondResult.load(), WAIT_OBJECT_0);
                    diedWoken = true;
                    continue;
                }
                // Still asleep: the signal lies unused beside it, or the first took it and
                // died before it could tell.
                if (kyos::waitForSingleObject(object.get(), 0) == WAIT_OBJECT_0) {
                    ADD_FAILURE() << "what the dead waiter was woken for lay unused while "
                                     "another waiter slept";
                    diedWoken = true;
                }
            }
            // The first took the signal (not the case under test), or the round failed: one
            // more for the second, and the next round.
            c.signal(object.get());
            second.join();
        }
        EXPECT_TRUE(diedWoken) << "the woken waiter ran before every kill";
    }
}

// The parent waits on several objects; the child signals them one after the other.
TEST(AcrossProcesses, WaitsOnSeveralObjectsWakeOnAnotherProcessesSignals) {
    for (BOOL all : {FALSE, TRUE}) {
        SCOPED_TRACE(all ? "all" : "any");
        std::string eventName = objectName("event");
        std::string semaphoreName = objectName("sem");
        ScopedHandle local(kyos::createEvent(FALSE, FALSE, nullptr));
        ScopedHandle event(kyos::createEvent(TRUE, FALSE, eventName.c_str()));
        ScopedHandle semaphore(kyos::createSemaphore(0, 1, semaphoreName.c_str()));
        Child child([&] {
            HANDLE own = kyos::openEvent(EVENT_MODIFY_STATE, eventName.c_str());
            HANDLE count = kyos::openSemaphore(SEMAPHORE_MODIFY_STATE, semaphoreName.c_str());
            if (Child::receiveFromParent() != 'e' || !kyos::setEvent(own))
                return 1;
            Child::sendToParent('e');
            if (Child::receiveFromParent() != 's' || !kyos::releaseSemaphore(count, 1, nullptr))
                return 2;
            return 0;
        });
        std::atomic<bool> done{false};
        pid_t waiter = kytest::currentThreadId();
        std::thread driver([&] {
            eventually([&] { return kytest::blockedInFutex(waiter); });
            child.send('e');
            EXPECT_EQ(child.receive(), 'e');
            if (all) {
                // The event alone does not end a wait for all: the waiter sleeps on.
                EXPECT_TRUE(eventually([&] { return kytest::blockedInFutex(waiter); }));
                EXPECT_FALSE(done.load());
                child.send('s');
            }
        });
        HANDLE handles[] = {local.get(), semaphore.get(), event.get()};
        DWORD result =
            kyos::waitForMultipleObjects(all ? 2 : 3, all ? handles + 1 : handles, all, 20000);
        done.store(true);
        driver.join();
        EXPECT_EQ(result, all ? WAIT_OBJECT_0 : WAIT_OBJECT_0 + 2);
        if (!all)
            child.send('s');
        EXPECT_EQ(child.wait(), 0);
    }
}

TEST(AcrossProcesses, MutexExcludesAcrossProcesses) {
    constexpr int kRounds = 2000;
    std::string mutexName = objectName("mutex");
    std::string sectionName = objectName("counter");
    ScopedHandle mutex(kyos::createMutex(FALSE, mutexName.c_str()));
    ScopedHandle section(
        kyos::createFileMapping(PAGE_READWRITE, sizeof(long), sectionName.c_str()));
    auto* counter =
        static_cast<volatile long*>(kyos::mapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0));
    ASSERT_NE(counter, nullptr);
    auto count = [&](HANDLE lock, volatile long* shared) {
        for (int i = 0; i < kRounds; ++i) {
            if (kyos::waitForSingleObject(lock, INFINITE) != WAIT_OBJECT_0)
                return false;
            long seen = *shared;
            *shared = seen + 1;
            kyos::releaseMutex(lock);
        }
        return true;
    };
    Child child([&] {
        HANDLE lock = kyos::openMutex(SYNCHRONIZE, mutexName.c_str());
        HANDLE view = kyos::openFileMapping(FILE_MAP_WRITE, sectionName.c_str());
        auto* shared = static_cast<volatile long*>(kyos::mapViewOfFile(view, FILE_MAP_WRITE, 0, 0));
        if (lock == nullptr || shared == nullptr)
            return 1;
        Child::sendToParent('r');
        return count(lock, shared) ? 0 : 2;
    });
    ASSERT_EQ(child.receive(), 'r');
    EXPECT_TRUE(count(mutex.get(), counter));
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(*counter, 2 * kRounds);
    kyos::unmapViewOfFile(const_cast<long*>(counter));
}

// ---- Lifetime across processes --------------------------------------------------------

TEST(AcrossProcesses, ObjectEndsWithItsLastHolderEvenAKilledOne) {
    for (Death death : {Death::Killed, Death::Exited}) {
        for (bool parentHoldsOn : {false, true}) {
            SCOPED_TRACE(::testing::Message() << (death == Death::Killed ? "killed" : "exited")
                                              << (parentHoldsOn ? ", parent holds on" : ""));
            std::string name = objectName("mutex");
            std::string path = kyos::namedObjectPath(name.c_str());
            Child child([&] {
                // Never closed: the child ends holding it.
                if (kyos::createMutex(TRUE, name.c_str()) == nullptr)
                    return 1;
                Child::sendToParent('c');
                Child::receiveFromParent();
                return 0;
            });
            ASSERT_EQ(child.receive(), 'c');
            ScopedHandle opened(kyos::openMutex(SYNCHRONIZE, name.c_str()));
            ASSERT_TRUE(opened);
            if (!parentHoldsOn)
                opened.reset();
            if (death == Death::Killed)
                child.kill(SIGKILL);
            else
                child.send('x');
            child.wait();
            if (parentHoldsOn) {
                {
                    ScopedHandle again(kyos::openMutex(SYNCHRONIZE, name.c_str()));
                    EXPECT_TRUE(again);
                    EXPECT_EQ(kyos::waitForSingleObject(again.get(), 0), WAIT_ABANDONED);
                    kyos::releaseMutex(again.get());
                }
                EXPECT_TRUE(exists(path));
                opened.reset();
                EXPECT_FALSE(exists(path));
            }
            kyos::setLastError(0);
            EXPECT_EQ(kyos::openMutex(SYNCHRONIZE, name.c_str()), nullptr);
            EXPECT_EQ(kyos::lastError(), ERROR_FILE_NOT_FOUND);
            EXPECT_FALSE(exists(path));
            ScopedHandle fresh(kyos::createMutex(FALSE, name.c_str()));
            EXPECT_EQ(kyos::lastError(), ERROR_SUCCESS);  // new, not the dead one's
            EXPECT_EQ(kyos::waitForSingleObject(fresh.get(), 0), WAIT_OBJECT_0);
            kyos::releaseMutex(fresh.get());
        }
    }
}

// A thread that has waited on a mutex before waits again without a use of the handle.
// Should another thread close the process's last handle while it sleeps, the mutex's
// memory must stay until the wait ends: the owner, another process, lets go later and the
// sleeper takes the mutex. The closed handle is refused afterwards, and the name goes with
// the last holder as always.
TEST(AcrossProcesses, AWaitOutlivesTheCloseOfTheLastHandleInItsProcess) {
    std::string name = objectName("mutex");
    std::string path = kyos::namedObjectPath(name.c_str());
    HANDLE mutex = kyos::createMutex(FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    Child child([&] {
        HANDLE own = kyos::openMutex(SYNCHRONIZE, name.c_str());
        if (own == nullptr || Child::receiveFromParent() != 't' ||
            kyos::waitForSingleObject(own, INFINITE) != WAIT_OBJECT_0)
            return 1;
        Child::sendToParent('o');
        if (Child::receiveFromParent() != 'r' || !kyos::releaseMutex(own))
            return 2;
        Child::receiveFromParent();
        return kyos::closeHandle(own) ? 0 : 3;
    });

    std::atomic<bool> waitedOnce{false};
    std::atomic<bool> childOwns{false};
    std::atomic<pid_t> sleeper{0};
    std::atomic<DWORD> result{WAIT_FAILED};
    std::atomic<DWORD> releaseError{0};
    std::thread waiter([&] {
        EXPECT_EQ(kyos::waitForSingleObject(mutex, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(kyos::releaseMutex(mutex));
        waitedOnce.store(true);
        if (!eventually([&] { return childOwns.load(); }))
            return;
        sleeper.store(kytest::currentThreadId());
        result.store(kyos::waitForSingleObject(mutex, 20000));
        kyos::setLastError(0);
        if (!kyos::releaseMutex(mutex))
            releaseError.store(kyos::lastError());
        // Ends owning it: the mutex is abandoned to whoever comes next.
    });
    ASSERT_TRUE(eventually([&] { return waitedOnce.load(); }));
    child.send('t');
    ASSERT_EQ(child.receive(), 'o');
    childOwns.store(true);
    ASSERT_TRUE(eventually([&] {
        pid_t thread = sleeper.load();
        return thread != 0 && kytest::blockedInFutex(thread);
    }));
    EXPECT_TRUE(kyos::closeHandle(mutex));
    child.send('r');
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_EQ(releaseError.load(), ERROR_INVALID_HANDLE);
    child.send('x');
    EXPECT_EQ(child.wait(), 0);
    EXPECT_FALSE(exists(path));
}

// A forked child opens the objects of its parent for itself, and holds them after the
// parent has let go.
TEST(AcrossProcesses, ForkedChildHoldsWhatItOpens) {
    std::string name = objectName("event");
    ScopedHandle event(kyos::createEvent(TRUE, FALSE, name.c_str()));
    Child child([&] {
        HANDLE own = kyos::openEvent(EVENT_ALL_ACCESS, name.c_str());
        if (own == nullptr)
            return 1;
        Child::sendToParent('o');
        if (Child::receiveFromParent() != 's' || !kyos::setEvent(own))
            return 2;
        kyos::closeHandle(own);
        return 0;
    });
    ASSERT_EQ(child.receive(), 'o');
    event.reset();
    ScopedHandle reopened(kyos::openEvent(SYNCHRONIZE, name.c_str()));
    ASSERT_TRUE(reopened) << kyos::lastError();
    child.send('s');
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(kyos::waitForSingleObject(reopened.get(), 0), WAIT_OBJECT_0);
}

TEST(AcrossProcesses, OtherUsersOpenOnlyWhatIsOpenToEveryone) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    constexpr uid_t kNobody = 65534;
    std::string ownerOnly = objectName("private");
    std::string everyone = objectName("public");
    ScopedHandle privateMutex(kyos::createMutex(FALSE, ownerOnly.c_str()));
    ScopedHandle publicMutex(
        kyos::createMutex(FALSE, everyone.c_str(), kyos::ObjectSecurity::Everyone));
    Child child([&] {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            return 1;
        if (kyos::openMutex(SYNCHRONIZE, ownerOnly.c_str()) != nullptr ||
            kyos::lastError() != ERROR_ACCESS_DENIED)
            return 2;
        if (kyos::createMutex(FALSE, ownerOnly.c_str()) != nullptr ||
            kyos::lastError() != ERROR_ACCESS_DENIED)
            return 3;
        HANDLE shared = kyos::openMutex(SYNCHRONIZE, everyone.c_str());
        if (shared == nullptr || kyos::waitForSingleObject(shared, 0) != WAIT_OBJECT_0)
            return 4;
        kyos::releaseMutex(shared);
        return 0;
    });
    EXPECT_EQ(child.wait(), 0);
}

// ---- Damaged and planted objects ------------------------------------------------------

namespace damage {

using kyos::sync_internal::ObjectKind;
using kyos::sync_internal::SegmentHeader;

// The stored header of a named object, mapped for a test to damage and mend.
class StoredHeader {
public:
    explicit StoredHeader(const std::string& name) {
        int fd = ::open(kyos::namedObjectPath(name.c_str()).c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return;
        void* memory =
            ::mmap(nullptr, sizeof(SegmentHeader), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (memory == MAP_FAILED)
            return;
        header_ = static_cast<SegmentHeader*>(memory);
        std::memcpy(saved_, static_cast<const void*>(header_), sizeof saved_);
    }
    ~StoredHeader() {
        if (header_ != nullptr) {
            std::memcpy(static_cast<void*>(header_), saved_, sizeof saved_);
            ::munmap(header_, sizeof(SegmentHeader));
        }
    }
    StoredHeader(const StoredHeader&) = delete;
    StoredHeader& operator=(const StoredHeader&) = delete;

    SegmentHeader* operator->() const { return header_; }
    explicit operator bool() const { return header_ != nullptr; }

private:
    SegmentHeader* header_ = nullptr;
    unsigned char saved_[sizeof(SegmentHeader)];
};

constexpr ULONGLONG kSectionBytes = 8192;

HANDLE create(ObjectKind kind, const std::string& name) {
    switch (kind) {
        case ObjectKind::Mutex:
            return kyos::createMutex(FALSE, name.c_str());
        case ObjectKind::Event:
            return kyos::createEvent(TRUE, FALSE, name.c_str());
        case ObjectKind::Semaphore:
            return kyos::createSemaphore(1, 4, name.c_str());
        case ObjectKind::Section:
            return kyos::createFileMapping(PAGE_READWRITE, kSectionBytes, name.c_str());
    }
    return nullptr;
}

HANDLE open(ObjectKind kind, const std::string& name) {
    switch (kind) {
        case ObjectKind::Mutex:
            return kyos::openMutex(SYNCHRONIZE, name.c_str());
        case ObjectKind::Event:
            return kyos::openEvent(EVENT_ALL_ACCESS, name.c_str());
        case ObjectKind::Semaphore:
            return kyos::openSemaphore(SEMAPHORE_ALL_ACCESS, name.c_str());
        case ObjectKind::Section:
            return kyos::openFileMapping(FILE_MAP_ALL_ACCESS, name.c_str());
    }
    return nullptr;
}

// In a process that does not have the object open yet: both ways of opening the name
// must fail cleanly. An object taken anyway is used, to show what the damage does.
int openDamaged(ObjectKind kind, const std::string& name) {
    for (bool creating : {false, true}) {
        kyos::setLastError(0);
        HANDLE handle = creating ? create(kind, name) : open(kind, name);
        if (handle == nullptr) {
            if (kyos::lastError() != ERROR_INVALID_HANDLE)
                return 10 + (creating ? 1 : 0);
            continue;
        }
        if (kind == ObjectKind::Section) {
            auto* bytes =
                static_cast<volatile char*>(kyos::mapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0));
            if (bytes != nullptr)
                bytes[kSectionBytes - 1] = 1;
        } else if (kind == ObjectKind::Semaphore) {
            kyos::releaseSemaphore(handle, 1, nullptr);
        }
        kyos::waitForSingleObject(handle, 0);
        return 20 + (creating ? 1 : 0);
    }
    return 0;
}

struct Case {
    const char* what;
    ObjectKind kind;
    std::function<void(SegmentHeader*)> damage;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.what;
}

class DamagedTest : public ::testing::TestWithParam<Case> {};

TEST_P(DamagedTest, OpeningItFailsCleanly) {
    const Case& c = GetParam();
    std::string name = objectName("damaged");
    ScopedHandle mine(create(c.kind, name));
    ASSERT_TRUE(mine);
    {
        StoredHeader header(name);
        ASSERT_TRUE(header);
        c.damage(header.operator->());
        Child child([&] { return openDamaged(c.kind, name); });
        EXPECT_EQ(child.wait(), 0);
    }
    // Mended, it opens again: the refusal was the damage's, not the name's.
    Child child([&] {
        HANDLE handle = open(c.kind, name);
        return handle != nullptr ? 0 : 1;
    });
    EXPECT_EQ(child.wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, DamagedTest,
    ::testing::Values(Case{"HolderCountFarPastTheTable", ObjectKind::Mutex,
                           [](SegmentHeader* h) { h->holderEnd = 0x7fffffff; }},
                      Case{"HolderCountOnePastTheTable", ObjectKind::Event,
                           [](SegmentHeader* h) {
                               h->holderEnd = kyos::sync_internal::kMaxHolders + 1;
                           }},
                      Case{"NameLengthPastTheName", ObjectKind::Mutex,
                           [](SegmentHeader* h) { h->nameLength = 0xFFFFFFFF; }},
                      Case{"StateOfAnotherKind", ObjectKind::Event,
                           [](SegmentHeader* h) { h->state.kind = ObjectKind::Mutex; }},
                      Case{"UnknownKind", ObjectKind::Semaphore,
                           [](SegmentHeader* h) { h->kind = static_cast<ObjectKind>(77); }},
                      Case{"CountAboveTheMaximum", ObjectKind::Semaphore,
                           [](SegmentHeader* h) { h->state.count = h->state.maximum + 5; }},
                      Case{"NegativeMaximum", ObjectKind::Semaphore,
                           [](SegmentHeader* h) { h->state.maximum = INT32_MIN; }},
                      Case{"DataPastTheFilesEnd", ObjectKind::Section,
                           [](SegmentHeader* h) { h->dataSize += std::uint64_t{1} << 30; }},
                      Case{"DataOffsetPastTheFilesEnd", ObjectKind::Section,
                           [](SegmentHeader* h) { h->dataOffset += std::uint64_t{1} << 30; }},
                      Case{"DataOffsetOffItsPage", ObjectKind::Section,
                           [](SegmentHeader* h) { h->dataOffset += 8; }},
                      Case{"UnknownProtection", ObjectKind::Section,
                           [](SegmentHeader* h) { h->protect = 0x40; }}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.what); });

// The process that let go of a damaged object is not hurt by what it finds there either.
TEST(Damaged, ClosingADamagedObjectIsSafe) {
    std::string name = objectName("damaged");
    Child child([&] {
        HANDLE handle = kyos::createMutex(FALSE, name.c_str());
        if (handle == nullptr)
            return 1;
        {
            StoredHeader header(name);
            if (!header)
                return 2;
            header->holderEnd = 0x7fffffff;
            kyos::closeHandle(handle);
        }
        return 0;
    });
    EXPECT_EQ(child.wait(), 0);
}

// Planted names: what lies under an object's storage name is taken only when it is a
// plain file of ours, never followed elsewhere.
TEST(Damaged, PlantedLinksAndSpecialFilesAreRefused) {
    std::string target = objectName("target");
    ScopedHandle real(kyos::createMutex(FALSE, target.c_str()));
    ASSERT_TRUE(real);
    struct Planted {
        const char* what;
        std::function<int(const std::string&)> plant;
    } cases[] = {
        {"symbolic link to an object",
         [&](const std::string& path) {
             return ::symlink(kyos::namedObjectPath(target.c_str()).c_str(), path.c_str());
         }},
        {"fifo", [](const std::string& path) { return ::mkfifo(path.c_str(), 0666); }},
    };
    for (const Planted& c : cases) {
        SCOPED_TRACE(c.what);
        std::string name = objectName("planted");
        std::string path = kyos::namedObjectPath(name.c_str());
        ASSERT_EQ(c.plant(path), 0);
        kyos::setLastError(0);
        EXPECT_EQ(kyos::openMutex(SYNCHRONIZE, name.c_str()), nullptr);
        EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
        kyos::setLastError(0);
        EXPECT_EQ(kyos::createMutex(FALSE, name.c_str()), nullptr);
        EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
        ::unlink(path.c_str());
    }
}

}  // namespace damage

}  // namespace
