#include "kylib/concurrency/KyThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "os/Handle.h"
#include "os/LastError.h"
#include "os/Win32.h"

namespace {

constexpr std::chrono::seconds kDeadline(20);
constexpr unsigned int kJoinMs = 20000;

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = kDeadline) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

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

// What a started thread saw and did.
struct Started {
    Gate go;  // the thread waits for it when `waitForGo`
    bool waitForGo = false;
    unsigned int result = 0;
    std::atomic<int> runs{0};
    std::atomic<unsigned int> seenId{0};
    std::atomic<bool> done{false};
};

unsigned int runThread(void* arg) {
    Started& run = *static_cast<Started*>(arg);
    ++run.runs;
    run.seenId = KyThread::getCurrentThreadID();
    if (run.waitForGo)
        run.go.wait();
    const unsigned int result = run.result;
    run.done = true;  // from here on the test may end and `run` be gone
    return result;
}

TEST(KyThread, RunsTheFunctionAndJoinReportsItsExitCode) {
    Started run;
    run.result = 7;
    KyThread thread;
    EXPECT_EQ(thread.getThreadID(), 0u);
    void* handle = thread.createThread(&runThread, &run);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(thread.threadInProgress());
    EXPECT_NE(thread.getThreadID(), 0u);
    EXPECT_NE(thread.getThreadID(), KyThread::getCurrentThreadID());

    ASSERT_TRUE(thread.joinThread(kJoinMs));
    EXPECT_EQ(run.seenId, thread.getThreadID());
    EXPECT_TRUE(thread.threadInProgress());  // a timed join keeps the handle
    unsigned long exitCode = 0;
    EXPECT_NE(thread.GetThreadExitCode(exitCode), 0);
    EXPECT_EQ(exitCode, 7u);

    EXPECT_TRUE(thread.joinThread());
    EXPECT_FALSE(thread.threadInProgress());
    EXPECT_EQ(thread.GetThreadExitCode(exitCode), 0);
    EXPECT_FALSE(thread.joinThread());
    EXPECT_FALSE(thread.joinThread(0));
}

TEST(KyThread, ACreateOnAHeldHandleStartsNothing) {
    Started first, second;
    first.waitForGo = true;
    KyThread thread;
    ASSERT_NE(thread.createThread(&runThread, &first), nullptr);
    EXPECT_EQ(thread.createThread(&runThread, &second), nullptr);
    first.go.open();
    ASSERT_TRUE(thread.joinThread());
    EXPECT_EQ(first.runs, 1);
    EXPECT_EQ(second.runs, 0);

    // Emptied, it starts again.
    ASSERT_NE(thread.createThread(&runThread, &second), nullptr);
    EXPECT_TRUE(thread.joinThread());
    EXPECT_EQ(second.runs, 1);
}

// Keeps the process's handle table full for its scope.
class FullHandleTable {
public:
    FullHandleTable() {
        kyos::detail::limitHandleTableForTesting(true);
        for (;;) {
            HANDLE handle = kyos::makeHandle(std::make_unique<kyos::HandleObject>());
            if (handle == INVALID_HANDLE_VALUE)
                break;
            m_taken.push_back(handle);
        }
    }
    ~FullHandleTable() {
        kyos::detail::limitHandleTableForTesting(false);
        for (HANDLE handle : m_taken)
            kyos::closeHandle(handle);
    }
    FullHandleTable(const FullHandleTable&) = delete;
    FullHandleTable& operator=(const FullHandleTable&) = delete;

private:
    std::vector<HANDLE> m_taken;
};

TEST(KyThread, ACreateWithoutARoomForItsHandleFailsAndStartsNothing) {
    Started run;
    KyThread thread;
    void* handle = nullptr;
    DWORD error = 0;
    {
        FullHandleTable full;
        kyos::setLastError(0);
        handle = thread.createThread(&runThread, &run);
        error = kyos::lastError();
    }
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_FALSE(thread.threadInProgress());
    EXPECT_EQ(thread.getThreadID(), 0u);

    // Nothing was started: a thread started now is the only one to run.
    run.waitForGo = false;
    ASSERT_NE(thread.createThread(&runThread, &run), nullptr);
    EXPECT_TRUE(thread.joinThread());
    EXPECT_EQ(run.runs, 1);
}

TEST(KyThread, ATimedJoinOfARunningThreadFailsAndKeepsTheHandle) {
    Started run;
    run.waitForGo = true;
    run.result = 3;
    KyThread thread;
    ASSERT_NE(thread.createThread(&runThread, &run), nullptr);
    EXPECT_FALSE(thread.joinThread(0));
    EXPECT_FALSE(thread.joinThread(10));
    EXPECT_TRUE(thread.threadInProgress());
    unsigned long exitCode = 0;
    EXPECT_NE(thread.GetThreadExitCode(exitCode), 0);
    EXPECT_EQ(exitCode, KY_THREAD_STILL_ACTIVE);

    run.go.open();
    EXPECT_TRUE(thread.joinThread());
    EXPECT_FALSE(thread.threadInProgress());
}

TEST(KyThread, EndThreadDetachesAndTheThreadRunsOn) {
    Started run;
    run.waitForGo = true;
    {
        KyThread thread;
        ASSERT_NE(thread.createThread(&runThread, &run), nullptr);
        EXPECT_TRUE(thread.endThread());
        EXPECT_FALSE(thread.threadInProgress());
        EXPECT_TRUE(thread.endThread());
        EXPECT_FALSE(thread.joinThread());
    }
    run.go.open();
    EXPECT_TRUE(eventually([&] { return run.done.load(); }));
}

TEST(KyThread, AHandleMovesBetweenObjects) {
    Started run;
    KyThread first;
    void* handle = first.createThread(&runThread, &run);
    ASSERT_NE(handle, nullptr);
    KyThread second(std::move(first));
    EXPECT_FALSE(first.threadInProgress());
    EXPECT_TRUE(second.joinThread());

    KyThread adopted;
    adopted.handleThread(nullptr);
    EXPECT_FALSE(adopted.threadInProgress());
}

struct SelfJoin {
    KyThread thread;
    Gate started;
    std::atomic<int> joined{-1};
};

unsigned int joinSelf(void* arg) {
    SelfJoin& self = *static_cast<SelfJoin*>(arg);
    self.started.wait();  // until createThread has stored the handle
    self.joined = self.thread.joinThread() ? 1 : 0;
    return 0;
}

TEST(KyThread, AThreadCannotJoinItself) {
    SelfJoin self;
    ASSERT_NE(self.thread.createThread(&joinSelf, &self), nullptr);
    self.started.open();
    ASSERT_TRUE(eventually([&] { return self.joined != -1; }));
    EXPECT_EQ(self.joined, 0);
    EXPECT_FALSE(self.thread.threadInProgress());
}

TEST(KyThread, SuspendAndTerminateFailClearlyAndTheThreadRunsOn) {
    Started run;
    run.waitForGo = true;
    run.result = 11;
    KyThread thread;
    ASSERT_NE(thread.createThread(&runThread, &run), nullptr);

    kyos::setLastError(0);
    EXPECT_FALSE(thread.suspendThread());
    EXPECT_EQ(kyos::lastError(), ERROR_NOT_SUPPORTED);
    kyos::setLastError(0);
    EXPECT_FALSE(thread.terminateThread());
    EXPECT_EQ(kyos::lastError(), ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(thread.threadInProgress());
    EXPECT_TRUE(thread.resumeThread());

    run.go.open();
    ASSERT_TRUE(thread.joinThread(kJoinMs));
    unsigned long exitCode = 0;
    thread.GetThreadExitCode(exitCode);
    EXPECT_EQ(exitCode, 11u);
}

TEST(KyThread, OperationsOnAnEmptyObjectFail) {
    const std::vector<std::pair<const char*, std::function<bool(KyThread&)>>> cases = {
        {"join", [](KyThread& t) { return t.joinThread(); }},
        {"timed join", [](KyThread& t) { return t.joinThread(10); }},
        {"suspend", [](KyThread& t) { return t.suspendThread(); }},
        {"resume", [](KyThread& t) { return t.resumeThread(); }},
        {"terminate", [](KyThread& t) { return t.terminateThread(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        KyThread thread;
        kyos::setLastError(0);
        EXPECT_FALSE(c.second(thread));
        EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
    }
    KyThread thread;
    EXPECT_EQ(thread.createThread(nullptr, nullptr), nullptr);
    EXPECT_FALSE(thread.threadInProgress());
    thread.exitThread();
}

// ---------------------------------------------------------------------------------------
// Thread-exit callbacks

// Set by the threads these tests start: the callbacks act only in them, so that a thread
// of another test that ends late cannot disturb the counts.
thread_local bool t_fixtureThread = false;

unsigned int fixtureThread(void*) {
    t_fixtureThread = true;
    return 0;
}

// Registers callbacks for one test and removes them all at its end (the list is
// process-wide).
class ExitCallbacks : public ::testing::Test {
protected:
    void add(KyThread::ExitCallback function, void* arg) {
        KyThread::addAtExitCB(function, arg);
        m_added.emplace_back(function, arg);
    }
    void TearDown() override {
        for (const auto& pair : m_added)
            KyThread::delAtExitCB(pair.first, pair.second);
    }
    // Starts a thread, waits for its end, returns its id.
    static unsigned int runOneThread() {
        KyThread thread;
        EXPECT_NE(thread.createThread(&fixtureThread, nullptr), nullptr);
        unsigned int id = thread.getThreadID();
        EXPECT_TRUE(thread.joinThread());
        return id;
    }

    std::vector<std::pair<KyThread::ExitCallback, void*>> m_added;
};

struct CallCount {
    std::atomic<int> calls{0};
    std::atomic<unsigned int> lastThread{0};
};

void countCall(void* arg) {
    if (!t_fixtureThread)
        return;
    auto& count = *static_cast<CallCount*>(arg);
    count.lastThread = KyThread::getCurrentThreadID();
    ++count.calls;
}

TEST_F(ExitCallbacks, APairRunsOncePerThreadEndInTheEndingThreadUntilRemoved) {
    CallCount count, other;
    add(&countCall, &count);
    add(&countCall, &count);  // the same pair again: still once
    add(&countCall, &other);  // another argument: another pair
    KyThread::addAtExitCB(nullptr, &count);

    unsigned int id = runOneThread();
    EXPECT_EQ(count.calls, 1);
    EXPECT_EQ(other.calls, 1);
    EXPECT_EQ(count.lastThread, id);

    KyThread::delAtExitCB(&countCall, &count);
    runOneThread();
    EXPECT_EQ(count.calls, 1);
    EXPECT_EQ(other.calls, 2);

    // Threads not started by a KyThread do not run the list.
    std::thread([] { t_fixtureThread = true; }).join();
    EXPECT_EQ(other.calls, 2);
}

CallCount g_selfRemoving;
CallCount g_adding;
CallCount g_added;

void removeSelf(void* arg) {
    if (!t_fixtureThread)
        return;
    countCall(arg);
    KyThread::delAtExitCB(&removeSelf, arg);
}

void addAnother(void* arg) {
    if (!t_fixtureThread)
        return;
    countCall(arg);
    KyThread::addAtExitCB(&countCall, &g_added);
}

TEST_F(ExitCallbacks, ACallbackMayRemoveItselfOrAddAnotherFromTheNextThreadEndOn) {
    for (CallCount* count : {&g_selfRemoving, &g_adding, &g_added})
        count->calls = 0;
    add(&removeSelf, &g_selfRemoving);
    add(&addAnother, &g_adding);
    m_added.emplace_back(&countCall, &g_added);

    runOneThread();
    EXPECT_EQ(g_selfRemoving.calls, 1);
    EXPECT_EQ(g_adding.calls, 1);
    EXPECT_EQ(g_added.calls, 0);  // added during this end: not in its list

    runOneThread();
    EXPECT_EQ(g_selfRemoving.calls, 1);
    EXPECT_EQ(g_adding.calls, 2);
    EXPECT_EQ(g_added.calls, 1);
}

// A callback that blocks in the one thread that asked for it.
struct SlowCall {
    Gate entered;
    Gate release;
    std::atomic<bool> finished{false};
};
thread_local bool t_beSlow = false;

void slowCall(void* arg) {
    auto& slow = *static_cast<SlowCall*>(arg);
    if (!t_beSlow)
        return;
    slow.entered.open();
    slow.release.wait();
    slow.finished = true;
}

unsigned int slowThread(void*) {
    t_fixtureThread = true;
    t_beSlow = true;
    return 0;
}

TEST_F(ExitCallbacks, ASlowCallbackHoldsUpOnlyItsOwnThread) {
    SlowCall slow;
    CallCount count;
    add(&slowCall, &slow);
    add(&countCall, &count);

    KyThread blocked;
    ASSERT_NE(blocked.createThread(&slowThread, nullptr), nullptr);
    slow.entered.wait();

    // This one ends, callbacks and all, while the other is still inside one.
    KyThread fast;
    ASSERT_NE(fast.createThread(&fixtureThread, nullptr), nullptr);
    EXPECT_TRUE(fast.joinThread(kJoinMs));
    EXPECT_EQ(count.calls, 1);
    EXPECT_FALSE(slow.finished);

    slow.release.open();
    EXPECT_TRUE(blocked.joinThread());
    EXPECT_TRUE(fast.joinThread());
    EXPECT_EQ(count.calls, 2);
}

TEST_F(ExitCallbacks, RemovingACallbackWaitsForItsRunningCalls) {
    SlowCall slow;
    add(&slowCall, &slow);
    KyThread blocked;
    ASSERT_NE(blocked.createThread(&slowThread, nullptr), nullptr);
    slow.entered.wait();

    std::atomic<bool> removed{false};
    std::atomic<bool> callFinishedFirst{false};
    std::thread remover([&] {
        KyThread::delAtExitCB(&slowCall, &slow);
        callFinishedFirst = slow.finished.load();
        removed = true;
    });
    // A remover that did not wait would be back at once; give it a moment to show that.
    EXPECT_FALSE(eventually([&] { return removed.load(); }, std::chrono::milliseconds(200)));
    slow.release.open();
    remover.join();
    EXPECT_TRUE(callFinishedFirst);
    EXPECT_TRUE(blocked.joinThread());
}

// ---------------------------------------------------------------------------------------
// KYThread

static_assert(!std::is_copy_constructible_v<KYThread> && !std::is_copy_assignable_v<KYThread>,
              "copies of a KYThread would close one handle twice");

unsigned int returnFive(void* arg) {
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
    return 5;
}

TEST(KYThread, TheExitCodeIsZeroWhateverTheFunctionReturns) {
    std::atomic<int> runs{0};
    KYThread thread;
    EXPECT_EQ(thread.getThreadObject(), nullptr);
    ASSERT_TRUE(thread.createThread(&returnFive, 64 * 1024, &runs));
    EXPECT_FALSE(thread.createThread(&returnFive, &runs));  // one in progress
    EXPECT_TRUE(thread.threadInProgress());
    EXPECT_NE(thread.getThreadID(), 0u);
    EXPECT_EQ(thread.getStackSize(), 0u);

    bool succeeded = false;
    ASSERT_TRUE(thread.joinThread(kJoinMs, &succeeded));
    EXPECT_TRUE(succeeded);
    unsigned long exitCode = 99;
    ASSERT_NE(thread.getThreadObject(), nullptr);
    thread.getThreadObject()->GetThreadExitCode(exitCode);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(thread.joinThread(kJoinMs, nullptr));
}

TEST(KYThread, ADetachedThreadRunsOnAndTheObjectStartsAgain) {
    Started run;
    run.waitForGo = true;
    std::atomic<int> runs{0};
    KYThread thread;
    ASSERT_TRUE(thread.createDetachedThread(&runThread, &run));
    EXPECT_TRUE(thread.detachThread());
    EXPECT_FALSE(thread.threadInProgress());
    EXPECT_FALSE(thread.joinThread(0, nullptr));

    ASSERT_TRUE(thread.createDetachedThread(&returnFive, 0, &runs));
    EXPECT_TRUE(thread.joinThread(kJoinMs, nullptr));
    EXPECT_EQ(runs, 1);
    run.go.open();
    EXPECT_TRUE(eventually([&] { return run.done.load(); }));
}

TEST(KYThread, OperationsWithoutAThreadFail) {
    KYThread thread;
    bool succeeded = true;
    EXPECT_FALSE(thread.detachThread());
    EXPECT_FALSE(thread.joinThread(0, &succeeded));
    EXPECT_FALSE(thread.suspendThread());
    EXPECT_FALSE(thread.resumeThread());
    EXPECT_FALSE(thread.terminateThread());
    EXPECT_FALSE(thread.threadInProgress());
    EXPECT_EQ(thread.getThreadID(), 0u);
    EXPECT_FALSE(thread.createThread(nullptr, nullptr));
    EXPECT_EQ(KYThread::getCurrentThreadID(), KyThread::getCurrentThreadID());
}

TEST(KYThread, GetLastErrorGivesTheTextOfTheCallingThreadsCode) {
    struct Case {
        DWORD code;
        std::string expected;
    } cases[] = {
        {0, ""},
        {ERROR_ACCESS_DENIED, kyos::win32MessageText(ERROR_ACCESS_DENIED)},
        {54321, "ERROR:54321"},
    };
    KYThread thread;
    for (const Case& c : cases) {
        kyos::setLastError(c.code);
        EXPECT_EQ(thread.getLastError(), c.expected) << c.code;
    }
    EXPECT_NE(kyos::win32MessageText(ERROR_ACCESS_DENIED).rfind("Unknown", 0), 0u);
}

}  // namespace
