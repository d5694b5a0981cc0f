#include "kylib/concurrency/KyThread.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>
#include <vector>

#include "kylib/diagnostics/EvDebug.h"
#include "os/Handle.h"
#include "os/LastError.h"
#include "os/System.h"
#include "os/Win32.h"

namespace {

// winerror.h's ERROR_POSSIBLE_DEADLOCK: what a thread joining itself gets.
constexpr DWORD kErrorPossibleDeadlock = 1131;

// What a started thread and the holders of its handle share. Threads run detached: a
// handle closed early must not leave a thread to be joined, so the end of a thread is
// told through `finished` instead of pthread_join.
struct ThreadState {
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    unsigned int id = 0;
    bool finished = false;
    unsigned int exitCode = 0;
};

// The kernel object behind a KyThread's handle.
class ThreadObject : public kyos::HandleObject {
public:
    explicit ThreadObject(std::shared_ptr<ThreadState> state) : state(std::move(state)) {}
    const std::shared_ptr<ThreadState> state;
};

std::shared_ptr<ThreadState> stateOf(void* handle) {
    kyos::HandleRef<ThreadObject> object = kyos::lookupHandleRef<ThreadObject>(handle);
    return object ? object->state : nullptr;
}

// Waits for the end of the thread; false when `milliseconds` ran out first.
bool waitForEnd(ThreadState& state, unsigned long milliseconds) {
    std::unique_lock<std::mutex> lock(state.mutex);
    auto ended = [&state] { return state.finished; };
    if (milliseconds >= INFINITE) {
        state.changed.wait(lock, ended);
        return true;
    }
    return state.changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ended);
}

// ---- Thread-exit callbacks.

struct ExitCallbackEntry {
    KyThread::ExitCallback function;
    void* arg;
    bool removed = false;
    int running = 0;  // threads inside the call now
};

struct ExitCallbackList {
    std::mutex mutex;
    std::condition_variable idle;
    std::vector<std::shared_ptr<ExitCallbackEntry>> entries;
};

// Created on first use and never destroyed: threads may still end while the process
// runs its static destructors.
ExitCallbackList& exitCallbacks() {
    static ExitCallbackList* list = new ExitCallbackList;
    return *list;
}

thread_local bool t_inExitCallback = false;

// Runs the list as it is now, without holding its lock during a call: a slow callback
// holds up only its own thread, and a callback may change the list.
void runExitCallbacks() {
    ExitCallbackList& list = exitCallbacks();
    std::vector<std::shared_ptr<ExitCallbackEntry>> snapshot;
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        snapshot = list.entries;
    }
    t_inExitCallback = true;
    for (const std::shared_ptr<ExitCallbackEntry>& entry : snapshot) {
        {
            std::lock_guard<std::mutex> lock(list.mutex);
            if (entry->removed)
                continue;  // removed since the snapshot: its owner may be gone
            ++entry->running;
        }
        entry->function(entry->arg);
        std::lock_guard<std::mutex> lock(list.mutex);
        if (--entry->running == 0 && entry->removed)
            list.idle.notify_all();
    }
    t_inExitCallback = false;
}

// ---- The started thread.

struct StartBlock {
    KyThread::ThreadFunction function;
    void* arg;
    std::shared_ptr<ThreadState> state;
};

void* threadMain(void* raw) {
    std::unique_ptr<StartBlock> block(static_cast<StartBlock*>(raw));
    const std::shared_ptr<ThreadState> state = block->state;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->id = KyThread::getCurrentThreadID();
        state->started = true;
    }
    state->changed.notify_all();

    const unsigned int exitCode = block->function(block->arg);
    runExitCallbacks();
    block.reset();

    std::lock_guard<std::mutex> lock(state->mutex);
    state->exitCode = exitCode;
    state->finished = true;
    state->changed.notify_all();
    return nullptr;
}

// KYThread's start: the thread's exit code is 0 whatever the function returns.
struct InnerStartBlock {
    KyThread::ThreadFunction function;
    void* arg;
};

unsigned int innerStart(void* raw) {
    InnerStartBlock block = *static_cast<InnerStartBlock*>(raw);
    delete static_cast<InnerStartBlock*>(raw);
    block.function(block.arg);
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// KyThread

KyThread::KyThread(void* handle) : m_handle(handle), m_id(0) {}

KyThread::~KyThread() {
    closeHandle();
}

KyThread::KyThread(KyThread&& other) noexcept : m_handle(other.m_handle), m_id(other.m_id) {
    other.m_handle = nullptr;
    other.m_id = 0;
}

KyThread& KyThread::operator=(KyThread&& other) noexcept {
    if (this != &other) {
        closeHandle();
        m_handle = other.m_handle;
        m_id = other.m_id;
        other.m_handle = nullptr;
        other.m_id = 0;
    }
    return *this;
}

void KyThread::closeHandle() {
    if (m_handle)
        kyos::closeHandle(m_handle);
    m_handle = nullptr;
}

void* KyThread::createThread(ThreadFunction function, void* arg) {
    if (m_handle)
        return nullptr;
    if (!function) {
        kyos::setLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }

    std::shared_ptr<ThreadState> state;
    std::unique_ptr<StartBlock> block;
    HANDLE handle = nullptr;
    try {
        state = std::make_shared<ThreadState>();
        block.reset(new StartBlock{function, arg, state});
        handle = kyos::makeHandle(std::make_unique<ThreadObject>(state));
    } catch (const std::bad_alloc&) {
        kyos::setLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // A full handle table: no thread may start that nobody could join or detach.
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;

    pthread_attr_t attributes;
    int rc = pthread_attr_init(&attributes);
    if (rc == 0) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        rc = pthread_create(&thread, &attributes, &threadMain, block.get());
        pthread_attr_destroy(&attributes);
    }
    if (rc != 0) {
        kyos::closeHandle(handle);
        kyos::setLastErrorFromErrno(rc);
        return nullptr;
    }
    block.release();  // the thread frees it

    // The id is known once the thread runs; callers expect it when this returns.
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->changed.wait(lock, [&state] { return state->started; });
        m_id = state->id;
    }
    m_handle = handle;
    return handle;
}

void KyThread::handleThread(void* handle) {
    m_handle = handle;
}

unsigned int KyThread::getCurrentThreadID() {
    return static_cast<unsigned int>(kyos::threadId());
}

bool KyThread::joinThread() {
    if (!m_handle) {
        kyos::setLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    bool ended = false;
    if (std::shared_ptr<ThreadState> state = stateOf(m_handle)) {
        unsigned int id;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            id = state->id;
        }
        // Waiting for oneself would never end.
        if (id == getCurrentThreadID()) {
            EvDebug().Error("KyThread::joinThread", "Thread %u cannot join itself", id);
            kyos::setLastError(kErrorPossibleDeadlock);
        } else {
            ended = waitForEnd(*state, INFINITE);
        }
    }
    closeHandle();
    return ended;
}

bool KyThread::joinThread(unsigned int milliseconds) {
    if (!m_handle) {
        kyos::setLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    std::shared_ptr<ThreadState> state = stateOf(m_handle);
    if (!state)
        return false;
    if (!waitForEnd(*state, milliseconds)) {
        kyos::setLastError(WAIT_TIMEOUT);
        return false;
    }
    return true;
}

bool KyThread::endThread() {
    closeHandle();
    return true;
}

void KyThread::exitThread() {}

bool KyThread::suspendThread() {
    if (!m_handle) {
        kyos::setLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    EvDebug().Error("KyThread::suspendThread",
                    "Suspending another thread is not supported on this platform; thread %u "
                    "keeps running",
                    m_id);
    kyos::setLastError(ERROR_NOT_SUPPORTED);
    return false;
}

bool KyThread::resumeThread() {
    if (!m_handle) {
        kyos::setLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

bool KyThread::terminateThread() {
    if (!m_handle) {
        kyos::setLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    EvDebug().Error("KyThread::terminateThread",
                    "Terminating another thread is not supported on this platform; thread %u "
                    "keeps running",
                    m_id);
    kyos::setLastError(ERROR_NOT_SUPPORTED);
    return false;
}

int KyThread::GetThreadExitCode(unsigned long& exitCode) {
    if (!m_handle) {
        kyos::setLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::shared_ptr<ThreadState> state = stateOf(m_handle);
    if (!state)
        return 0;
    std::lock_guard<std::mutex> lock(state->mutex);
    exitCode = state->finished ? state->exitCode : KY_THREAD_STILL_ACTIVE;
    return 1;
}

void KyThread::addAtExitCB(ExitCallback function, void* arg) {
    if (!function)
        return;
    ExitCallbackList& list = exitCallbacks();
    std::lock_guard<std::mutex> lock(list.mutex);
    for (const std::shared_ptr<ExitCallbackEntry>& entry : list.entries) {
        if (entry->function == function && entry->arg == arg)
            return;
    }
    auto entry = std::make_shared<ExitCallbackEntry>();
    entry->function = function;
    entry->arg = arg;
    list.entries.push_back(std::move(entry));
}

void KyThread::delAtExitCB(ExitCallback function, void* arg) {
    ExitCallbackList& list = exitCallbacks();
    std::unique_lock<std::mutex> lock(list.mutex);
    auto found = std::find_if(list.entries.begin(), list.entries.end(),
                              [&](const std::shared_ptr<ExitCallbackEntry>& entry) {
                                  return entry->function == function && entry->arg == arg;
                              });
    if (found == list.entries.end())
        return;
    std::shared_ptr<ExitCallbackEntry> entry = *found;
    entry->removed = true;
    list.entries.erase(found);
    // Callers free what the callback uses once this returns, so let running calls end.
    if (!t_inExitCallback)
        list.idle.wait(lock, [&entry] { return entry->running == 0; });
}

// ---------------------------------------------------------------------------------------
// KYThread

KYThread::KYThread() = default;
KYThread::~KYThread() = default;

bool KYThread::createThread(ThreadFunction function, void* arg) {
    if (threadInProgress())
        return false;
    if (!function) {
        kyos::setLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!m_thread)
        m_thread.reset(new (std::nothrow) KyThread());
    auto* block = new (std::nothrow) InnerStartBlock{function, arg};
    if (!m_thread || !block) {
        delete block;
        kyos::setLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (!m_thread->createThread(&innerStart, block)) {
        delete block;
        return false;
    }
    return true;
}

bool KYThread::createThread(ThreadFunction function, int, void* arg) {
    return createThread(function, arg);
}

bool KYThread::createDetachedThread(ThreadFunction function, void* arg) {
    return createThread(function, arg);
}

bool KYThread::createDetachedThread(ThreadFunction function, int, void* arg) {
    return createThread(function, arg);
}

bool KYThread::detachThread() {
    return m_thread ? m_thread->endThread() : false;
}

bool KYThread::joinThread(unsigned int milliseconds, bool* succeeded) {
    if (!m_thread || !m_thread->joinThread(milliseconds))
        return false;
    if (succeeded) {
        unsigned long exitCode = 1;
        *succeeded = m_thread->GetThreadExitCode(exitCode) != 0 && exitCode == 0;
    }
    return true;
}

bool KYThread::suspendThread() {
    return m_thread ? m_thread->suspendThread() : false;
}

bool KYThread::resumeThread() {
    return m_thread ? m_thread->resumeThread() : false;
}

bool KYThread::terminateThread() {
    return m_thread ? m_thread->terminateThread() : false;
}

bool KYThread::threadInProgress() const {
    return m_thread && m_thread->threadInProgress();
}

unsigned int KYThread::getThreadID() const {
    return m_thread ? m_thread->getThreadID() : 0;
}

unsigned int KYThread::getCurrentThreadID() {
    return KyThread::getCurrentThreadID();
}

std::string KYThread::getLastError() {
    const DWORD code = kyos::lastError();
    if (code == 0)
        return "";
    std::string text = kyos::win32MessageText(code);
    char unknown[48];
    std::snprintf(unknown, sizeof unknown, "Unknown error %lu", static_cast<unsigned long>(code));
    if (text == unknown) {
        std::snprintf(unknown, sizeof unknown, "ERROR:%d", static_cast<int>(code));
        return unknown;
    }
    return text;
}
