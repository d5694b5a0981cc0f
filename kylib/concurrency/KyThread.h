// KyThread: a thread handle and id, starting a thread on a plain function, and the
// process-wide thread-exit callbacks run at the end of every thread started here (the
// crypto binding frees its per-thread state through one). KYThread: the older owning,
// polymorphic wrapper around a KyThread.
//
// A KyThread owns the handle it holds (a kyos handle, see os/Handle.h) and closes it when
// destroyed; closing never waits for the thread, which runs on detached. A KYThread owns
// its KyThread. One owner thread uses each thread object; the exit-callback list may be
// changed from any thread at any time.
//
// Nothing throws: failures return null, false or 0, with the reason in the calling
// thread's last error (kyos::lastError()). Suspending, resuming and killing another
// thread have no safe equivalent on this platform: suspend and terminate fail (with
// ERROR_NOT_SUPPORTED and a line in the debug log) rather than pretend.
#pragma once

#include <memory>
#include <string>

// The exit code a thread reports while it still runs (Windows' STILL_ACTIVE).
constexpr unsigned long KY_THREAD_STILL_ACTIVE = 259;

class KyThread {
public:
    using ThreadFunction = unsigned int (*)(void*);
    using ExitCallback = void (*)(void*);

    // Holds `handle` (none by default); the id is 0.
    explicit KyThread(void* handle = nullptr);
    // Closes the held handle; does not wait for the thread.
    ~KyThread();
    KyThread(const KyThread&) = delete;
    KyThread& operator=(const KyThread&) = delete;
    KyThread(KyThread&& other) noexcept;
    KyThread& operator=(KyThread&& other) noexcept;

    // Starts `function(arg)` on a new thread (default stack, running at once) and
    // returns its handle, which this object then holds. Null when a handle is held
    // already (nothing is started) or the start fails. The thread's exit code is the
    // function's result.
    void* createThread(ThreadFunction function, void* arg);
    // Replaces the held handle; the old one is not closed.
    void handleThread(void* handle);
    // A handle is held (whether the thread still runs is not asked).
    bool threadInProgress() const { return m_handle != nullptr; }
    unsigned int getThreadID() const { return m_id; }
    static unsigned int getCurrentThreadID();

    // Waits without limit; true when the thread ended. Closes and forgets the handle in
    // every case. A thread cannot join itself: false.
    bool joinThread();
    // Waits up to `milliseconds` (0xFFFFFFFF: no limit); true when the thread ended.
    // Keeps the handle. False without one.
    bool joinThread(unsigned int milliseconds);
    // Detaches: closes and forgets the handle, if any; always true.
    bool endThread();
    // Does nothing.
    void exitThread();
    // Not supported here: false, ERROR_NOT_SUPPORTED and a debug-log line. False with
    // ERROR_INVALID_HANDLE without a handle.
    bool suspendThread();
    // Nothing can be suspended, so nothing needs resuming: true with a handle, false
    // without one.
    bool resumeThread();
    // Not supported here (killing a thread midway leaves its locks held and its memory
    // torn): false, ERROR_NOT_SUPPORTED and a debug-log line; the handle stays held.
    bool terminateThread();
    // The thread's exit code, or KY_THREAD_STILL_ACTIVE while it runs. Non-zero on
    // success; 0 without a handle.
    int GetThreadExitCode(unsigned long& exitCode);

    // Adds (function, arg) to the thread-exit list unless that pair is there already; a
    // null function is ignored. The list runs, in order, on every thread started by a
    // KyThread after its function returns. Each ending thread runs the list as it was
    // when the thread ended: a callback may add or remove callbacks, which counts from
    // the next thread end on.
    static void addAtExitCB(ExitCallback function, void* arg);
    // Removes the pair. Once it returns no thread starts the callback again, and calls
    // already running in other threads have finished, except when called from inside a
    // thread-exit callback (that would let two exiting threads wait for each other).
    // Must not be called while holding a lock the callback takes.
    static void delAtExitCB(ExitCallback function, void* arg);

private:
    void closeHandle();

    void* m_handle;
    unsigned int m_id;
};

class KYThread {
public:
    using ThreadFunction = KyThread::ThreadFunction;

    KYThread();
    // Destroys the owned KyThread (closing its handle, not waiting for the thread).
    virtual ~KYThread();
    // One owner per thread object: copies would close the same handle twice.
    KYThread(const KYThread&) = delete;
    KYThread& operator=(const KYThread&) = delete;

    // False when a thread is in progress; otherwise starts `function(arg)` and returns
    // whether it started. The thread's exit code is 0 whatever the function returns.
    // The int (a stack size once) is not used.
    bool createThread(ThreadFunction function, void* arg);
    bool createThread(ThreadFunction function, int unused, void* arg);
    // The same; the caller detaches with detachThread().
    bool createDetachedThread(ThreadFunction function, void* arg);
    bool createDetachedThread(ThreadFunction function, int unused, void* arg);
    bool detachThread();
    // False without a thread or when the wait did not end in time; otherwise true, and
    // `*succeeded` (when given) tells whether the exit code is 0.
    bool joinThread(unsigned int milliseconds, bool* succeeded);
    bool suspendThread();
    bool resumeThread();
    bool terminateThread();
    bool threadInProgress() const;
    unsigned int getThreadID() const;
    static unsigned int getCurrentThreadID();
    unsigned int getStackSize() const { return 0; }
    // The owned KyThread (null before the first start); owned by this object.
    KyThread* getThreadObject() { return m_thread.get(); }
    // The system text of the calling thread's last error; "" when it is 0; "ERROR:%d"
    // when the code has no text.
    std::string getLastError();

private:
    std::unique_ptr<KyThread> m_thread;
};
