#include "kylib/concurrency/KySync.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kylib/diagnostics/KyException.h"

namespace {

// Long enough never to be reached by a correct program on a loaded machine; a failure
// shows as a failed expectation instead of a hung test.
constexpr std::chrono::seconds kDeadline(20);

// Polls `done` until it holds or the deadline passes.
bool eventually(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// One-shot gate: threads wait until it opens.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

// Runs `body` on another thread and waits for it.
void onOtherThread(const std::function<void()>& body) {
    std::thread(body).join();
}

// A thread that holds a lock until told to let go, so that the test thread can act on a
// lock another thread owns.
class Holder {
public:
    Holder(std::function<void()> take, std::function<void()> give) {
        m_thread = std::thread([this, take, give] {
            take();
            m_holding.open();
            m_release.wait();
            give();
        });
        m_holding.wait();
    }
    ~Holder() {
        release();
        m_thread.join();
    }
    void release() { m_release.open(); }

private:
    Gate m_holding;
    Gate m_release;
    std::thread m_thread;
};

// ---------------------------------------------------------------------------------------
// KyCriticalSection

TEST(KyCriticalSection, IsRecursiveAndExcludesOtherThreadsUntilFullyLeft) {
    KyCriticalSection section;
    auto otherGets = [&section] {
        bool got = false;
        onOtherThread([&] {
            got = section.enter(false);
            EXPECT_EQ(section.locked(), got);
            if (got)
                section.leave();
        });
        return got;
    };

    EXPECT_FALSE(section.locked());
    ASSERT_TRUE(section.enter(true));
    ASSERT_TRUE(section.enter(true));
    ASSERT_TRUE(section.enter(false));
    EXPECT_TRUE(section.locked());
    EXPECT_FALSE(otherGets());

    section.leave();
    section.leave();
    EXPECT_TRUE(section.locked());
    EXPECT_FALSE(otherGets());

    section.leave();
    EXPECT_FALSE(section.locked());
    EXPECT_TRUE(otherGets());
}

TEST(KyCriticalSection, LeaveByAThreadThatDoesNotOwnItChangesNothing) {
    KyCriticalSection section;
    KyCriticalSectionLock hold(&section);
    onOtherThread([&] {
        section.leave();
        EXPECT_FALSE(section.enter(false));
    });
    EXPECT_TRUE(section.locked());
}

TEST(KyCriticalSection, TryLockFromAnotherThreadFailsWhileHeldAndLeavesOnlyWhatItGot) {
    KyCriticalSection section;
    {
        Holder holder([&] { section.enter(true); }, [&] { section.leave(); });
        KyCriticalSectionTryLock attempt(&section);
        EXPECT_FALSE(attempt.locked());
        EXPECT_FALSE(section.locked());
    }
    {
        KyCriticalSectionTryLock attempt(&section);
        EXPECT_TRUE(attempt.locked());
        EXPECT_TRUE(section.locked());
        KyCriticalSectionTryLock again(&section);  // recursive for the owner
        EXPECT_TRUE(again.locked());
    }
    EXPECT_FALSE(section.locked());
    onOtherThread([&] {
        KyCriticalSectionTryLock attempt(&section);
        EXPECT_TRUE(attempt.locked());
    });
}

TEST(KyCriticalSection, TryLockResetLeavesTheOldSectionOnlyIfItWasAcquired) {
    KyCriticalSection a, b;
    Holder holder([&] { b.enter(true); }, [&] { b.leave(); });

    KyCriticalSectionTryLock attempt(&a);
    ASSERT_TRUE(attempt.locked());
    attempt.reset(&b);  // leaves a, fails on b
    EXPECT_FALSE(attempt.locked());
    EXPECT_FALSE(a.locked());
    attempt.resetCriticalSection(&a);
    EXPECT_TRUE(attempt.locked());
    attempt.reset(nullptr);
    EXPECT_FALSE(attempt.locked());
    EXPECT_FALSE(a.locked());
}

TEST(KyCriticalSection, GuardResetMovesTheHoldAndANullGuardHoldsNothing) {
    KyCriticalSection a, b;
    KyCriticalSectionLock guard(&a);
    EXPECT_TRUE(guard.locked());
    guard.reset(&b);
    EXPECT_FALSE(a.locked());
    EXPECT_TRUE(b.locked());
    guard.resetCriticalSection(nullptr);
    EXPECT_FALSE(guard.locked());
    EXPECT_FALSE(b.locked());

    KyCriticalSectionLock empty(nullptr);
    EXPECT_FALSE(empty.locked());
}

TEST(KyCriticalSection, GuardsCountersUnderContention) {
    KyCriticalSection section;
    KYCritSect older;
    long plain = 0;
    long viaOlder = 0;
    constexpr int kRounds = 20000;
    auto work = [&] {
        for (int i = 0; i < kRounds; ++i) {
            {
                KyCriticalSectionLock hold(&section);
                KyCriticalSectionLock nested(&section);
                ++plain;
            }
            EXPECT_EQ(older.lock(), 0);
            ++viaOlder;
            EXPECT_EQ(older.unlock(), 0);
        }
    };
    // More threads than processors: holders get preempted, so waiters go to sleep too.
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back(work);
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(plain, long{kThreads} * kRounds);
    EXPECT_EQ(viaOlder, long{kThreads} * kRounds);
}

// A process that has never started a second thread takes and leaves sections without
// atomic instructions. Run in a fresh process (no thread started yet): a hold taken then
// must still keep out, and hand over to, a thread started while it is held.
TEST(KyCriticalSectionDeathTest, AHoldTakenBeforeTheFirstThreadStillExcludesIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            alarm(60);  // a lost wake-up ends the child instead of hanging it
            KyCriticalSection section;
            section.enter(true);
            section.leave();
            section.enter(true);
            std::atomic<bool> started{false};
            std::atomic<bool> got{false};
            std::thread other([&] {
                started = true;
                section.enter(true);
                got = true;
                section.leave();
            });
            while (!started)
                std::this_thread::yield();
            const bool excluded = !got;
            section.leave();
            other.join();
            std::exit(excluded && got ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------------------
// KyMonitor

TEST(KyMonitor, WaitReleasesEveryLevelAndTakesThemAllBack) {
    KyMonitor monitor;
    bool flag = false;  // guarded by the monitor
    monitor.enter();
    monitor.enter();
    monitor.enter();
    std::thread other([&] {
        KyMonitorLock lock(&monitor);  // only possible while the owner waits
        flag = true;
        monitor.signal();
    });
    while (!flag)
        monitor.wait();
    other.join();

    EXPECT_NO_THROW(monitor.leave());
    EXPECT_NO_THROW(monitor.leave());
    EXPECT_NO_THROW(monitor.leave());
    EXPECT_THROW(monitor.leave(), KyException);
}

TEST(KyMonitor, TimedWaitTellsWokenFromTimedOut) {
    struct Case {
        unsigned long milliseconds;
        bool signalled;
    } cases[] = {
        {0, false},   {20, false}, {60000, true}, {0xFFFFFFFFul, true},  // no limit
        {~0ul, true},  // longer than any limit: no limit, no overflow
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.milliseconds);
        KyMonitor monitor;
        KyMonitorLock lock(&monitor);
        if (!c.signalled) {
            EXPECT_FALSE(monitor.wait(c.milliseconds));
            continue;
        }
        bool signalled = false;  // guarded by the monitor
        std::thread other([&] {
            KyMonitorLock inner(&monitor);
            signalled = true;
            monitor.signal();
        });
        bool woken = false;
        while (!signalled)
            woken = monitor.wait(c.milliseconds);
        EXPECT_TRUE(woken);
        other.join();
    }
}

TEST(KyMonitor, MisuseByANonOwnerThrowsWithItsMessage) {
    struct Case {
        const char* function;
        const char* message;
        std::function<void(KyMonitor&)> act;
    };
    const std::vector<Case> cases = {
        {"KyMonitor::leave", "Cannot release the lock that I do not own.",
         [](KyMonitor& m) { m.leave(); }},
        {"KyMonitor::wait", "Must acquire the monitor before calling wait().",
         [](KyMonitor& m) { m.wait(); }},
        {"KyMonitor::wait", "Must acquire the monitor before calling wait().",
         [](KyMonitor& m) { m.wait(10); }},
        {"KyMonitor::signal", "Must acquire the lock before signalling.",
         [](KyMonitor& m) { m.signal(); }},
        {"KyMonitor::broadcast", "Must acquire the lock before signalling.",
         [](KyMonitor& m) { m.broadcast(); }},
    };
    for (bool ownedByOther : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.function) + (ownedByOther ? ", owned by another" : ""));
            KyMonitor monitor;
            std::unique_ptr<Holder> holder;
            if (ownedByOther)
                holder.reset(new Holder([&] { monitor.enter(); }, [&] { monitor.leave(); }));
            try {
                c.act(monitor);
                ADD_FAILURE() << "no exception";
            } catch (const KyException& e) {
                EXPECT_STREQ(e.getFuncName(), c.function);
                EXPECT_STREQ(e.getMessage(), c.message);
                EXPECT_EQ(e.getErrno(), -1);
            }
        }
    }
}

// Three threads wait on one monitor for tickets or for a go flag.
class MonitorWaiters : public ::testing::Test {
protected:
    static constexpr int kWaiters = 3;

    void startWaiters(bool untilGo) {
        for (int i = 0; i < kWaiters; ++i) {
            m_threads.emplace_back([this, untilGo] {
                KyMonitorLock lock(&m_monitor);
                if (untilGo) {
                    while (!m_go)
                        m_monitor.wait();
                } else {
                    while (m_tickets == 0)
                        m_monitor.wait();
                    --m_tickets;
                }
                ++m_passed;
            });
        }
        ASSERT_TRUE(eventually([this] { return m_monitor.waitingThreads() == kWaiters; }));
    }
    void TearDown() override {
        {
            KyMonitorLock lock(&m_monitor);
            m_go = true;
            m_tickets = kWaiters;
            m_monitor.broadcast();
        }
        for (std::thread& t : m_threads)
            t.join();
    }

    KyMonitor m_monitor;
    bool m_go = false;
    int m_tickets = 0;
    std::atomic<int> m_passed{0};
    std::vector<std::thread> m_threads;
};

TEST_F(MonitorWaiters, SignalWakesOneWaiterAtATime) {
    startWaiters(false);
    for (int released = 1; released <= kWaiters; ++released) {
        {
            KyMonitorLock lock(&m_monitor);
            ++m_tickets;
            m_monitor.signal();
        }
        EXPECT_TRUE(eventually([&] { return m_passed == released; })) << released;
    }
}

TEST_F(MonitorWaiters, BroadcastWakesEveryWaiter) {
    startWaiters(true);
    {
        KyMonitorLock lock(&m_monitor);
        m_go = true;
        m_monitor.broadcast();
    }
    EXPECT_TRUE(eventually([&] { return m_passed == kWaiters; }));
}

TEST(KyMonitor, GuardResetMovesTheHold) {
    KyMonitor a, b;
    KyMonitorLock guard(&a);
    EXPECT_TRUE(guard.locked());
    guard.resetMonitor(&b);
    EXPECT_THROW(a.leave(), KyException);  // a is free again
    EXPECT_NO_THROW(b.signal());           // b is ours
    guard.reset(nullptr);
    EXPECT_FALSE(guard.locked());
    EXPECT_THROW(b.signal(), KyException);
}

// ---------------------------------------------------------------------------------------
// KySplitRW / KyRW

// Threads that take a hold on the fixture's lock and keep it until released.
class RWTest : public ::testing::Test {
protected:
    struct Party {
        std::atomic<bool> got{false};
        Gate release;
        std::thread thread;
    };

    Party& start(bool write, std::function<void()> onEntry = nullptr) {
        m_parties.emplace_back(new Party);
        Party& party = *m_parties.back();
        party.thread = std::thread([this, &party, write, onEntry] {
            KyRWLock hold(&m_rw, write);
            if (onEntry)
                onEntry();
            party.got = true;
            party.release.wait();
        });
        return party;
    }
    bool waiting(int threads) {
        return eventually([&] { return m_rw.waitingThreads() == threads; });
    }
    void TearDown() override {
        for (auto& party : m_parties)
            party->release.open();
        for (auto& party : m_parties)
            party->thread.join();
        EXPECT_FALSE(m_rw.isLocked());
    }

    KyRW m_rw;
    std::vector<std::unique_ptr<Party>> m_parties;
    // Written by parties when they get in; members, so that a party that gets in late
    // (a broken lock) still writes to live memory.
    std::atomic<int> m_writersIn{0};
    std::atomic<int> m_writersBeforeReader{-1};
};

TEST_F(RWTest, ReadersShare) {
    Party& first = start(false);
    Party& second = start(false);
    EXPECT_TRUE(eventually([&] { return first.got && second.got; }));
    EXPECT_EQ(m_rw.getReadCnt(), 2);
    EXPECT_EQ(m_rw.getWriteCnt(), 0);
}

TEST_F(RWTest, AWriterExcludesReadersAndWriters) {
    m_rw.writeLock();
    Party& reader = start(false);
    Party& writer = start(true);
    ASSERT_TRUE(waiting(2));
    EXPECT_FALSE(reader.got);
    EXPECT_FALSE(writer.got);
    m_rw.writeUnlock();
    EXPECT_TRUE(eventually([&] { return reader.got || writer.got; }));
    EXPECT_FALSE(reader.got && writer.got);
}

TEST_F(RWTest, AReaderJoinsPresentReadersWhileAWriterWaits) {
    m_rw.readLock();
    Party& writer = start(true);
    ASSERT_TRUE(waiting(1));
    Party& reader = start(false);
    EXPECT_TRUE(eventually([&] { return reader.got.load(); }));
    EXPECT_EQ(m_rw.getReadCnt(), 2);
    EXPECT_FALSE(writer.got);
    reader.release.open();
    m_rw.readUnlock();
    EXPECT_TRUE(eventually([&] { return writer.got.load(); }));
}

TEST_F(RWTest, AnIdleLockGoesToTheWaitingWriterBeforeANewReader) {
    m_rw.readLock();
    Party& writer = start(true, [this] { ++m_writersIn; });
    writer.release.open();  // the writer lets go as soon as it gets in
    ASSERT_TRUE(waiting(1));
    {
        // Holding the monitor keeps the woken writer out while the lock turns idle, so
        // that the test thread arrives as a new reader with the writer still waiting.
        KyMonitorLock freeze(&m_rw);
        m_rw.readUnlock();
        m_rw.readLock();  // waits (letting the monitor go) until the writer has been
        EXPECT_EQ(m_writersIn, 1);
    }
    m_rw.readUnlock();
}

TEST_F(RWTest, EveryWriterWaitingBeforeAReaderGoesFirst) {
    // With two writers waiting, the first to get in must not clear the waiting mark for
    // the second: a reader arriving in between would overtake it.
    m_rw.writeLock();
    Party& w1 = start(true, [this] { ++m_writersIn; });
    Party& w2 = start(true, [this] { ++m_writersIn; });
    ASSERT_TRUE(waiting(2));
    Party& reader = start(false, [this] { m_writersBeforeReader = m_writersIn.load(); });
    ASSERT_TRUE(waiting(3));
    w1.release.open();
    w2.release.open();
    m_rw.writeUnlock();
    EXPECT_TRUE(eventually([&] { return reader.got.load(); }));
    EXPECT_EQ(m_writersBeforeReader, 2);
}

TEST_F(RWTest, AWriterLocksRecursivelyAndTakesReadHoldsOnItsOwnLock) {
    m_rw.writeLock();
    m_rw.writeLock();
    m_rw.readLock();
    EXPECT_EQ(m_rw.getWriteCnt(), 2);
    EXPECT_EQ(m_rw.getReadCnt(), 1);
    Party& reader = start(false);
    ASSERT_TRUE(waiting(1));
    m_rw.readUnlock();
    m_rw.writeUnlock();
    EXPECT_EQ(m_rw.getWriteCnt(), 1);
    EXPECT_FALSE(reader.got);
    m_rw.writeUnlock();
    EXPECT_TRUE(eventually([&] { return reader.got.load(); }));
}

TEST_F(RWTest, OnlyAWaitingWriterLeavesTheLockUnlocked) {
    m_rw.readLock();
    start(true);
    ASSERT_TRUE(waiting(1));
    // Holding the monitor keeps the woken writer out, so the state is caught with no
    // holds and the writer still waiting.
    KyMonitorLock freeze(&m_rw);
    m_rw.readUnlock();
    EXPECT_FALSE(m_rw.isLocked());
    EXPECT_EQ(m_rw.getReadCnt(), 0);
    EXPECT_EQ(m_rw.getWriteCnt(), 0);
}

TEST_F(RWTest, DowngradeLeavesOneReadHoldAndTheGuardReleasesIt) {
    Party* writer = nullptr;
    {
        KyWriteLock hold(&m_rw);
        EXPECT_EQ(m_rw.getWriteCnt(), 1);
        hold.downgrade();
        EXPECT_EQ(m_rw.getWriteCnt(), 0);
        EXPECT_EQ(m_rw.getReadCnt(), 1);

        Party& reader = start(false);
        EXPECT_TRUE(eventually([&] { return reader.got.load(); }));
        reader.release.open();
        EXPECT_TRUE(eventually([&] { return m_rw.getReadCnt() == 1; }));
        writer = &start(true);
        ASSERT_TRUE(waiting(1));
    }
    EXPECT_TRUE(eventually([&] { return writer->got.load(); }));
}

TEST_F(RWTest, WriteGuardResetReleasesTheDowngradedReadHold) {
    KyRW other;
    KyWriteLock hold(&m_rw);
    hold.downgrade();
    hold.reset(&other);
    EXPECT_FALSE(m_rw.isLocked());
    EXPECT_EQ(other.getWriteCnt(), 1);
    hold.reset(nullptr);
    EXPECT_FALSE(other.isLocked());
}

TEST(KySplitRW, OneMonitorGuardsSeveralStates) {
    KyMonitor monitor;
    KySplitRW a, b, c;
    {
        KyRWLock writeA(&a, &monitor, true);
        KyReadLock readB(&b, &monitor);
        KyWriteLock writeC(&c, &monitor);
        EXPECT_EQ(a.getWriteCnt(), 1);
        EXPECT_EQ(b.getReadCnt(), 1);
        EXPECT_EQ(b.getWriteCnt(), 0);
        EXPECT_EQ(c.getWriteCnt(), 1);
    }
    EXPECT_FALSE(a.isLocked());
    EXPECT_FALSE(b.isLocked());
    EXPECT_FALSE(c.isLocked());
}

TEST(KySplitRW, RWGuardResetSwitchesKindAndLock) {
    KyRW first, second;
    KyRWLock guard(&first, true);
    EXPECT_EQ(first.getWriteCnt(), 1);
    guard.reset(&second, false);
    EXPECT_FALSE(first.isLocked());
    EXPECT_EQ(second.getReadCnt(), 1);
    KyReadLock reader(&first);
    reader.reset(&second);
    EXPECT_FALSE(first.isLocked());
    EXPECT_EQ(second.getReadCnt(), 2);
    KyRWLock empty(nullptr, true);
}

TEST(KySplitRW, ACopyKeepsTheHoldsButNotAWaitingWriter) {
    KyMonitor monitor;
    KySplitRW rw;
    rw.readLock(&monitor);
    std::thread writer([&] {
        rw.writeLock(&monitor);
        rw.writeUnlock(&monitor);
    });
    ASSERT_TRUE(eventually([&] { return monitor.waitingThreads() == 1; }));
    KySplitRW copy;
    {
        KyMonitorLock lock(&monitor);
        copy = rw;
    }
    KySplitRW constructed(copy);
    EXPECT_EQ(copy.getReadCnt(), 1);
    EXPECT_EQ(constructed.getReadCnt(), 1);
    rw.readUnlock(&monitor);
    writer.join();

    // Nobody waits to write the copy, so once idle it lets a reader in at once.
    KyMonitor copyMonitor;
    copy.readUnlock(&copyMonitor);
    std::atomic<bool> got{false};
    std::thread reader([&] {
        copy.readLock(&copyMonitor);
        got = true;
    });
    EXPECT_TRUE(eventually([&] { return got.load(); }));
    if (!got) {  // let the stuck reader go: readers present let readers join
        copy.readLock(nullptr);
        KyMonitorLock lock(&copyMonitor);
        copyMonitor.broadcast();
    }
    reader.join();
}

TEST(KySplitRW, ReadHoldsOnOneLockDoNotStopWritingAnother) {
    KyRW a, b;
    a.readLock();
    b.writeLock();
    EXPECT_EQ(b.getWriteCnt(), 1);
    b.writeUnlock();
    a.readUnlock();
    a.writeLock();  // no read hold left on a
    a.writeUnlock();
}

// Unlocks do not ask who calls them: a read hold may be handed to another thread to
// release, and the thread that took it may then write.
TEST(KySplitRW, AReadHoldReleasedByAnotherThreadLetsItsTakerWrite) {
    for (bool releasedWhileWaiting : {false, true}) {
        SCOPED_TRACE(releasedWhileWaiting ? "released while the taker waits to write"
                                          : "released before the taker asks to write");
        KyRW rw;
        rw.readLock();
        std::thread releaser;
        if (releasedWhileWaiting) {
            releaser = std::thread([&] {
                if (eventually([&] { return rw.waitingThreads() == 1; }))
                    rw.readUnlock();
            });
        } else {
            onOtherThread([&] { rw.readUnlock(); });
        }
        rw.writeLock();
        EXPECT_EQ(rw.getWriteCnt(), 1);
        EXPECT_EQ(rw.getReadCnt(), 0);
        rw.writeUnlock();
        if (releaser.joinable())
            releaser.join();
    }
}

// One reader/writer state under test: a KyRW, or a KySplitRW with a monitor of its own.
struct RWUnderTest {
    KyMonitor* monitor;
    std::function<void()> readLock, readUnlock, writeLock, writeUnlock, downgrade;
};

RWUnderTest rwUnderTest(KyRW& rw) {
    return {&rw,
            [&rw] { rw.readLock(); },
            [&rw] { rw.readUnlock(); },
            [&rw] { rw.writeLock(); },
            [&rw] { rw.writeUnlock(); },
            [&rw] { rw.downgrade(); }};
}

RWUnderTest rwUnderTest(KySplitRW& rw, KyMonitor& monitor) {
    KyMonitor* m = &monitor;
    return {m,
            [&rw, m] { rw.readLock(m); },
            [&rw, m] { rw.readUnlock(m); },
            [&rw, m] { rw.writeLock(m); },
            [&rw, m] { rw.writeUnlock(m); },
            [&rw, m] { rw.downgrade(m); }};
}

// Waits for `done`; should it not come, reports the stranded thread and wakes the
// monitor's waiters until it does, so that the test ends. Yields rather than sleeps
// between looks: the rounds that call it are many and each ends within microseconds.
bool expectFinishes(KyMonitor& monitor, const std::function<bool()>& done, const char* what) {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::yield();
    if (done())
        return true;
    ADD_FAILURE() << what;
    while (!done()) {
        KyMonitorLock lock(&monitor);
        monitor.broadcast();
    }
    return false;
}

// Readers that find no write hold and no writer waiting take their hold without the
// monitor. However the lock turned idle, a waiting writer's mark must send a new reader
// to wait behind it. The test thread holds the monitor, so that the woken writer cannot
// get in before the test thread asks to read.
TEST(KySplitRW, AReaderArrivingAtAnIdleLockWaitsBehindTheWaitingWriter) {
    struct Case {
        const char* lastHold;
        std::function<void(RWUnderTest&)> take;
        std::function<void(RWUnderTest&)> give;
    };
    const Case cases[] = {
        {"a read hold", [](RWUnderTest& rw) { rw.readLock(); },
         [](RWUnderTest& rw) { rw.readUnlock(); }},
        {"a write hold", [](RWUnderTest& rw) { rw.writeLock(); },
         [](RWUnderTest& rw) { rw.writeUnlock(); }},
        {"a downgraded write hold",
         [](RWUnderTest& rw) {
             rw.writeLock();
             rw.downgrade();
         },
         [](RWUnderTest& rw) { rw.readUnlock(); }},
    };
    for (bool split : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.lastHold) + (split ? ", split state" : ", KyRW"));
            KyRW rw;
            KySplitRW splitState;
            KyMonitor splitMonitor;
            RWUnderTest lock = split ? rwUnderTest(splitState, splitMonitor) : rwUnderTest(rw);
            std::atomic<int> writersIn{0};
            c.take(lock);
            std::thread writer([&] {
                lock.writeLock();
                ++writersIn;
                lock.writeUnlock();
            });
            ASSERT_TRUE(eventually([&] { return lock.monitor->waitingThreads() == 1; }));
            {
                KyMonitorLock freeze(lock.monitor);
                c.give(lock);
                lock.readLock();  // waits, letting the monitor go, until the writer has been
                EXPECT_EQ(writersIn, 1);
            }
            lock.readUnlock();
            writer.join();
        }
    }
}

// A writer that asks just as the last reader leaves marks the state as waited on while
// the reader, on its own path, may be looking for that mark. Whichever comes first, the
// writer must not sleep through the release: nothing else would wake it.
TEST(KySplitRW, AWriterAskingAsTheLastReaderLeavesIsNotLeftAsleep) {
    constexpr int kRounds = 1000;
    constexpr int kStop = -1;
    KyRW rw;
    std::atomic<int> round{0};
    std::atomic<int> asked{0};
    std::atomic<int> written{0};
    std::thread writer([&] {
        for (int r = 1;; ++r) {
            int now;
            while ((now = round.load()) != r && now != kStop)
                std::this_thread::yield();
            if (now == kStop)
                return;
            asked = r;
            rw.writeLock();
            rw.writeUnlock();
            written = r;
        }
    });
    for (int r = 1; r <= kRounds; ++r) {
        rw.readLock();
        round = r;
        // Released the moment the writer sets off, so that the two meet inside writeLock.
        while (asked.load() != r) {
        }
        rw.readUnlock();
        if (!expectFinishes(
                rw, [&] { return written.load() == r; }, "the writer slept through the release"))
            break;
    }
    round = kStop;
    writer.join();
    EXPECT_FALSE(rw.isLocked());
}

// ---------------------------------------------------------------------------------------
// KyComplexLock

TEST(KyComplexLock, TryLocksFollowTheHeldState) {
    enum Held { kNone, kRead, kWrite };
    struct Case {
        Held held;
        bool readGranted;
        bool writeGranted;
    } cases[] = {
        {kNone, true, true},
        {kRead, true, false},
        {kWrite, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.held);
        for (bool tryWrite : {false, true}) {
            KyComplexLock lock;
            if (c.held == kRead)
                lock.rdlock();
            if (c.held == kWrite)
                lock.rwlock();
            bool granted = false;
            onOtherThread([&] { granted = tryWrite ? lock.try_rwlock() : lock.try_rdlock(); });
            EXPECT_EQ(granted, tryWrite ? c.writeGranted : c.readGranted) << tryWrite;
        }
    }
}

TEST(KyComplexLock, AWriterWaitsForEveryReader) {
    KyComplexLock lock;
    lock.rdlock();
    lock.rdlock();
    std::atomic<bool> written{false};
    std::thread writer([&] {
        lock.rwlock();
        written = true;
        lock.unlock();
    });
    lock.unlock();
    EXPECT_FALSE(lock.try_rwlock());  // one reader still in
    lock.unlock();
    EXPECT_TRUE(eventually([&] { return written.load(); }));
    writer.join();
    EXPECT_TRUE(lock.try_rwlock());
    lock.unlock();
}

TEST(KyComplexLock, AnUnlockTooManyDoesNotWedgeTheLock) {
    KyComplexLock lock;
    lock.unlock();
    lock.rdlock();
    lock.unlock();
    lock.unlock();
    EXPECT_TRUE(lock.try_rwlock());
    lock.unlock();
    EXPECT_TRUE(lock.try_rdlock());
    lock.unlock();
}

TEST(KyComplexLock, ACopyIsANewUnlockedLock) {
    KyComplexLock original;
    original.rwlock();
    KyComplexLock copy(original);
    EXPECT_TRUE(copy.try_rwlock());
    KyComplexLock assigned;
    assigned = original;
    EXPECT_TRUE(assigned.try_rdlock());
    original.unlock();
    copy.unlock();
    assigned.unlock();
}

// ---------------------------------------------------------------------------------------
// KySafeFlags

TEST(KySafeFlags, OperatorsChangeTheValueAndReturnTheObject) {
    struct Case {
        const char* name;
        int start;
        std::function<KySafeFlags&(KySafeFlags&)> op;
        int expected;
    };
    const std::vector<Case> cases = {
        {"=", 1, [](KySafeFlags& f) -> KySafeFlags& { return f = 9; }, 9},
        {"++x", 7, [](KySafeFlags& f) -> KySafeFlags& { return ++f; }, 8},
        {"x++", 7, [](KySafeFlags& f) -> KySafeFlags& { return f++; }, 8},
        {"--x", 7, [](KySafeFlags& f) -> KySafeFlags& { return --f; }, 6},
        {"x--", 7, [](KySafeFlags& f) -> KySafeFlags& { return f--; }, 6},
        {"+=", 7, [](KySafeFlags& f) -> KySafeFlags& { return f += 5; }, 12},
        {"-=", 7, [](KySafeFlags& f) -> KySafeFlags& { return f -= 9; }, -2},
        {"&=", 0b1110, [](KySafeFlags& f) -> KySafeFlags& { return f &= 0b0111; }, 0b0110},
        {"|=", 0b1000, [](KySafeFlags& f) -> KySafeFlags& { return f |= 0b0011; }, 0b1011},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KySafeFlags flags(c.start);
        KySafeFlags& result = c.op(flags);
        EXPECT_EQ(&result, &flags);
        EXPECT_EQ(static_cast<int>(flags), c.expected);
    }
}

TEST(KySafeFlags, CopiesTakeTheValue) {
    KySafeFlags source(42);
    KySafeFlags copy(source);
    EXPECT_EQ(static_cast<int>(copy), 42);
    KySafeFlags assigned;
    assigned = source;
    EXPECT_EQ(static_cast<int>(assigned), 42);
    assigned = assigned;
    EXPECT_EQ(static_cast<int>(assigned), 42);
    const KySafeFlags constant(5);
    KySafeFlags fromConstant(constant);
    EXPECT_EQ(static_cast<int>(fromConstant), 5);
}

TEST(KySafeFlags, AThreadWaitsForAValueThroughTheMonitor) {
    KySafeFlags flags;
    std::atomic<bool> seen{false};
    std::thread waiter([&] {
        KyMonitorLock lock(&flags);
        while (flags != 3)
            flags.wait();
        seen = true;
    });
    ASSERT_TRUE(eventually([&] { return flags.waitingThreads() == 1; }));
    ++flags;
    KySafeFlagsInc busy(&flags, 2);  // the increment broadcasts too
    EXPECT_TRUE(eventually([&] { return seen.load(); }));
    waiter.join();
}

TEST(KySafeFlags, IncAddsForItsLifetime) {
    KySafeFlags a(5), b(10);
    {
        KySafeFlagsInc inc(&a, 2);
        EXPECT_EQ(static_cast<int>(a), 7);
        inc.reset(&b, 3);
        EXPECT_EQ(static_cast<int>(a), 5);
        EXPECT_EQ(static_cast<int>(b), 13);
    }
    EXPECT_EQ(static_cast<int>(b), 10);

    KyMonitor monitor;
    int counter = 1;
    {
        KySafeFlagsInc inc(&counter, &monitor, 4);
        EXPECT_EQ(counter, 5);
        KySafeFlagsInc unguarded(&counter, nullptr, 100);  // no monitor: nothing at all
        EXPECT_EQ(counter, 5);
        KySafeFlagsInc none(static_cast<KySafeFlags*>(nullptr), 1);
    }
    EXPECT_EQ(counter, 1);
}

TEST(KySafeFlags, ControllerPutsTheValueBackAtTheEndOfItsScope) {
    struct Case {
        int stored;
        int changedTo;
    } cases[] = {{0, 5}, {0, 0}, {-3, 8}};
    for (const Case& c : cases) {
        KySafeFlags flags(c.stored);
        {
            KySafeFlagsController controller(&flags, c.stored);
            flags = c.changedTo;
            EXPECT_EQ(static_cast<int>(flags), c.changedTo);
        }
        EXPECT_EQ(static_cast<int>(flags), c.stored) << c.changedTo;
    }
    KySafeFlagsController none(nullptr, 1);
}

// ---------------------------------------------------------------------------------------
// Atomics

TEST(KyAtomicU64, OperatorsReturnOldOrNewValue) {
    struct Case {
        const char* name;
        std::int64_t start;
        std::function<std::int64_t(KyAtomicU64_t&)> op;
        std::int64_t result;
        std::int64_t after;
    };
    const KyAtomicU64_t five(5);
    const std::vector<Case> cases = {
        {"x++", 7, [](KyAtomicU64_t& a) { return a++; }, 7, 8},
        {"++x", 7, [](KyAtomicU64_t& a) { return ++a; }, 8, 8},
        {"x--", 7, [](KyAtomicU64_t& a) { return a--; }, 7, 6},
        {"--x", 7, [](KyAtomicU64_t& a) { return --a; }, 6, 6},
        {"+= n", 7, [](KyAtomicU64_t& a) { return a += std::int64_t{1} << 40; },
         7 + (std::int64_t{1} << 40), 7 + (std::int64_t{1} << 40)},
        {"-= n", 7, [](KyAtomicU64_t& a) { return a -= 10; }, -3, -3},
        {"+= other", 7, [&](KyAtomicU64_t& a) { return a += five; }, 12, 12},
        {"-= other", 7, [&](KyAtomicU64_t& a) { return a -= five; }, 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KyAtomicU64_t value(c.start);
        EXPECT_EQ(c.op(value), c.result);
        EXPECT_EQ(value.value(), c.after);
    }
    KyAtomicU64_t copy(five);
    KyAtomicU64_t zero;
    EXPECT_EQ(copy.value(), 5);
    EXPECT_EQ(zero.value(), 0);
    zero = copy;
    EXPECT_EQ(zero.value(), 5);
}

TEST(KyAtomicU64, ConcurrentIncrementsAllCount) {
    KyAtomicU64_t counter;
    constexpr int kRounds = 100000;
    auto work = [&] {
        for (int i = 0; i < kRounds; ++i)
            counter++;
    };
    std::thread first(work), second(work);
    first.join();
    second.join();
    EXPECT_EQ(counter.value(), 2 * kRounds);
}

TEST(KyAtomicBitwiseOpts, BitOperationsTakeBitNumbersModulo32) {
    struct Case {
        const char* name;
        unsigned start;
        std::function<unsigned(KyAtomicBitwiseOpts_t&)> op;
        unsigned result;
        unsigned bitAfter;  // the word masked by the bit concerned, afterwards
        unsigned bit;
    };
    const std::vector<Case> cases = {
        {"test_and_set 5 on 0", 0, [](KyAtomicBitwiseOpts_t& w) { return w.test_and_set_bit(5); },
         0, 32, 5},
        {"test_and_set 5 when set", 32,
         [](KyAtomicBitwiseOpts_t& w) { return w.test_and_set_bit(5); }, 32, 32, 5},
        {"test_and_set 37 is bit 5", 0,
         [](KyAtomicBitwiseOpts_t& w) { return w.test_and_set_bit(37); }, 0, 32, 5},
        {"test_and_clear 31", 0x80000001u,
         [](KyAtomicBitwiseOpts_t& w) { return w.test_and_clear_bit(31); }, 0x80000000u, 0, 31},
        {"test_and_clear 32 is bit 0", 1,
         [](KyAtomicBitwiseOpts_t& w) { return w.test_and_clear_bit(32); }, 1, 0, 0},
        {"test_bit 63 is bit 31", 0x80000000u,
         [](KyAtomicBitwiseOpts_t& w) { return w.test_bit(63); }, 0x80000000u, 0x80000000u, 31},
        {"set_bit 4", 0,
         [](KyAtomicBitwiseOpts_t& w) {
             w.set_bit(4);
             return 0u;
         },
         0, 16, 4},
        {"clear_bit 36 is bit 4", 0xFFu,
         [](KyAtomicBitwiseOpts_t& w) {
             w.clear_bit(36);
             return 0u;
         },
         0, 0, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KyAtomicBitwiseOpts_t word(c.start);
        EXPECT_EQ(c.op(word), c.result);
        EXPECT_EQ(word.test_bit(c.bit), c.bitAfter);
    }
    KyAtomicBitwiseOpts_t word(0xF0u);
    KyAtomicBitwiseOpts_t copy(word);
    word.clear_bit(7);
    EXPECT_EQ(copy.test_bit(7), 0x80u);
    copy = word;
    EXPECT_EQ(copy.test_bit(7), 0u);
    EXPECT_EQ(copy.test_bit(6), 0x40u);
}

TEST(KyAtomicBitwiseOpts, ConcurrentSetsOfDifferentBitsAllLand) {
    KyAtomicBitwiseOpts_t word;
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) {
        threads.emplace_back([&word, t] {
            for (unsigned bit = t; bit < 32; bit += 4) {
                EXPECT_EQ(word.test_and_set_bit(bit), 0u);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (unsigned bit = 0; bit < 32; ++bit)
        EXPECT_NE(word.test_bit(bit), 0u) << bit;
}

}  // namespace
