// KyKernelSync: the locks of the library that are kernel objects, and so can be shared by
// the processes of one machine: the counting semaphore KySemaphore, the event KyEvent,
// the slot-counting KySharedLock with its guard KySharedLockHelper, the MDLock / MDEvent /
// MDMutex trio that remembers (and, when the registry asks for it, traces) who holds
// them, and CNamedMutex, which reports every step through a CError record.
//
// Ownership: every object owns its kernel handle and closes it when it ends; the handle
// getHandle() returns stays the object's. A named object lives while any process holds a
// handle to it. A CNamedMutex owns the CError it allocates itself, never one its caller
// gives it. A KySharedLock keeps its caller's name pointer, which must outlive it.
//
// Threads: KySemaphore, KyEvent, KySharedLock and the MD objects may be shared between
// threads (an MD object's record of the last acquirer is that of the last one to set
// it). A CNamedMutex counts its acquisitions per object and may be used from several
// threads, but has one error record: its text is the last call's, from whichever thread.
// Guards belong to the thread that made them.
//
// Failures: KySemaphore and KyEvent throw KyException (error -1) when misused or when the
// system refuses them an object, a change or a wait; KySharedLock reports nothing (its
// constructor throws as its semaphore's does); the MD trio answers with booleans;
// CNamedMutex never throws and fills its error record.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

class CError;

// A counting semaphore. Not recursive: each wait takes one count, from whichever thread.
class KySemaphore {
public:
    // The maximum count when the caller names none.
    static constexpr int kDefaultMaximum = 0xFFFFFF;

    // Unnamed, with `initial` counts (0 by default) and the default maximum.
    KySemaphore();
    explicit KySemaphore(int initial);
    // A null or empty name makes an unnamed semaphore. A named one that exists already is
    // opened as it is: its counts are not changed.
    KySemaphore(int initial, int maximum, const char* name);
    ~KySemaphore();
    KySemaphore(const KySemaphore&) = delete;
    KySemaphore& operator=(const KySemaphore&) = delete;

    // Adds `n` (at least 1) counts; throws when that would pass the maximum (nothing is
    // added then).
    void release(int n);
    void wait();
    // True when a count was taken within `milliseconds` (0xFFFFFFFF: no limit).
    bool wait(unsigned long milliseconds);
    void* getHandle() const { return m_handle; }

private:
    void* m_handle = nullptr;
};

// An event, created not signalled. A manual-reset event stays signalled until reset; an
// auto-reset one lets one waiter through per set. Give it a name to share it with other
// processes; a named event that exists already keeps its own kind and state.
class KyEvent {
public:
    explicit KyEvent(bool manualReset, const char* name = nullptr);
    ~KyEvent();
    KyEvent(const KyEvent&) = delete;
    KyEvent& operator=(const KyEvent&) = delete;

    void set();
    void reset();
    void wait();
    // True when signalled within `milliseconds` (0xFFFFFFFF: no limit).
    bool wait(unsigned long milliseconds);
    void* getHandle() const { return m_handle; }

private:
    void* m_handle = nullptr;
};

// A lock with `slots` shared holders at most, or one exclusive holder that takes every
// slot. The slots are a semaphore; named, it is found by other processes, which then
// share the slots. Not recursive. An exclusive acquirer that waits goes first: shared
// acquirers arriving after it wait for it (and give up when their time runs out).
class KySharedLock {
public:
    KySharedLock(int slots, const char* name);
    ~KySharedLock();
    KySharedLock(const KySharedLock&) = delete;
    KySharedLock& operator=(const KySharedLock&) = delete;

    // Takes one slot within `milliseconds` (0xFFFFFFFF: no limit), counting the time
    // spent behind other acquirers; false when the time ran out.
    bool getSharedLock(unsigned long milliseconds);
    // Takes every slot, waiting without limit. False only when the wait itself failed.
    bool getExclusiveLock();
    // Gives back what the caller holds: every slot after getExclusiveLock(), else one.
    // A release with nothing to give back changes nothing.
    void release();

    // This process's view of the free slots: -1 while this process holds the lock
    // exclusively. A diagnostic.
    int getFreeSlots() const { return m_freeSlots.load(); }
    // The semaphore's name as the caller gave it (null: unnamed).
    const char* getName() const { return m_name; }

private:
    using Clock = std::chrono::steady_clock;

    // One acquirer at a time, so that an exclusive one collecting slots is not overtaken.
    // Entered with a deadline, so that a shared acquirer's time-out also bounds its wait
    // behind the others. False when the deadline passed first.
    bool enterAcquirers(bool unlimited, Clock::time_point deadline);
    void leaveAcquirers();

    const int m_slots;
    const char* const m_name;
    std::atomic<int> m_freeSlots;
    std::mutex m_acquirersMutex;
    std::condition_variable m_acquirersFree;
    bool m_acquirerInside = false;
    KySemaphore m_semaphore;
};

// Holds a KySharedLock, exclusively or shared (waiting without limit), for its lifetime.
class KySharedLockHelper {
public:
    // A null lock makes an empty guard.
    KySharedLockHelper(KySharedLock* lock, bool exclusive);
    ~KySharedLockHelper();
    KySharedLockHelper(const KySharedLockHelper&) = delete;
    KySharedLockHelper& operator=(const KySharedLockHelper&) = delete;

    // Releases at once and forgets the lock.
    void forceUnlock();
    // Releases the held lock, then takes `lock`.
    void reset(KySharedLock* lock, bool exclusive);

private:
    void take(KySharedLock* lock, bool exclusive);

    // Null when nothing is held (also after a failed acquisition).
    KySharedLock* m_lock = nullptr;
};

// What MDLock, MDEvent and MDMutex share: the handle, who acquired the object last and
// when, and its name. A name given with prefixWithFocus is put after the process's
// installation focus, so that instances stay apart; a process without a focus, or a
// prefixed name of 1,024 characters or more, is ended at once (KYPI_Focus::
// doCrashThisProcess). An unprefixed name is kept to its first 1,023 characters. A named
// object is open to the processes of every local account, as the product's processes run
// as different ones.
//
// Lock tracing: when the local machine's "Software\Kelbrin Systems\Sarvex" key has a
// non-zero DWORD "LogLocks" at the first construction of any of them in the process,
// each set() of a named object writes a value named after the object to the volatile
// subkey "Locks" ("pid:tid:executable:time"), and each unset() deletes it.
class MDNamedObject {
public:
    MDNamedObject(const MDNamedObject&) = delete;
    MDNamedObject& operator=(const MDNamedObject&) = delete;

    // Seconds since 1970 of the last acquisition; 0 when released.
    long getLastTimeAcquired() const { return m_timeAcquired.load(); }
    // The thread that acquired it last; 0 when released.
    unsigned long getLastThreadId() const { return m_threadId.load(); }
    void* getHandle() const { return m_handle.load(); }
    // The object's full name ("" for an unnamed object).
    const char* getName() const { return m_name; }

    // Reads "LogLocks" again and opens the "Locks" key anew: for tools and tests that
    // point the process at another registry store.
    static void reloadLockTracing();

protected:
    static constexpr std::size_t kNameSize = 1024;

    MDNamedObject();
    MDNamedObject(const char* name, bool prefixWithFocus);
    ~MDNamedObject();

    // Notes the calling thread and the time, and traces.
    void recordAcquired();
    // Clears them and deletes the trace.
    void recordReleased();
    // Takes the other's name, record and a duplicate of its handle.
    void copyFrom(const MDNamedObject& other);
    // The name to create the object under; null for an unnamed object.
    const char* objectName() const { return m_name[0] != '\0' ? m_name : nullptr; }

    std::atomic<void*> m_handle{nullptr};
    std::atomic<unsigned long> m_threadId{0};
    std::atomic<long> m_timeAcquired{0};
    char m_name[kNameSize] = {};
};

// A binary semaphore (initial and maximum count 1): a lock that any thread or process
// may release. Not recursive. Copies share the object (through a duplicate handle).
class MDLock : public MDNamedObject {
public:
    MDLock();
    MDLock(const char* name, bool prefixWithFocus);
    MDLock(const MDLock& other);
    MDLock& operator=(const MDLock& other);
    ~MDLock();

    // Takes the lock within `milliseconds` (0xFFFFFFFF: no limit). False on a time-out
    // or when the lock could not be waited on (no object).
    bool set(unsigned long milliseconds);
    // Waits up to `totalMilliseconds` in steps of `stepMilliseconds`. Between steps a named
    // lock opens its object again, so that a lock whose holder died with it, and whose
    // every other handle is gone, is made afresh and can be taken. It does so only while
    // no other call of this object waits on the lock or holds it (through this object or a
    // copy): its handle may be the process's only one, and the old object would go while
    // held. `name` is accepted for callers of the older interface and not used: the lock
    // always waits on its own object.
    bool set(unsigned long totalMilliseconds, unsigned long stepMilliseconds, const char* name);
    void unset();
    // Another party holds the lock (polls without waiting). True also when the poll could
    // not be made (no object), with the reason in the last error.
    bool isSet();

private:
    enum class Wait { Acquired, TimedOut, Failed };
    // A call's use of the handle: the handle to wait on or release, counted among the
    // users until the use ends (`acquired`: it became a hold).
    void* beginUse();
    void endUse(bool acquired);
    Wait waitOn(void* handle, unsigned long milliseconds);
    // Ends the caller's use of `seen` and, when nothing else of this object uses or holds
    // it, makes the semaphore afresh.
    void endUseAndRenew(void* seen);
    static void* makeSemaphore(const char* name);
    void create();

    // Guards the handle's replacement against the calls that use it, and the counts.
    mutable std::mutex m_useMutex;
    // Calls between beginUse() and endUse().
    int m_users = 0;
    // Acquisitions through this object (or the object it was copied from) not yet unset.
    int m_holds = 0;
};

// A manual-reset event that is signalled while nobody holds it: set() resets it (at once,
// without waiting), unset() signals it, so that others can wait on getHandle() for it
// to be free.
class MDEvent : public MDNamedObject {
public:
    MDEvent();
    MDEvent(const char* name, bool prefixWithFocus);
    ~MDEvent();

    // The `milliseconds` are not used: the event is taken at once. False when it could not
    // be reset.
    bool set(unsigned long milliseconds);
    void unset();
    // The event is held (not signalled), or could not be looked at (last error).
    bool isSet();

private:
    void create();
};

// A mutex, recursive for its owning thread. When its owner (thread or process) ended
// without releasing it, the next set() takes it over and wasAbandoned() tells so.
class MDMutex : public MDNamedObject {
public:
    MDMutex();
    MDMutex(const char* name, bool prefixWithFocus);
    ~MDMutex();

    // Takes the mutex within `milliseconds` (0xFFFFFFFF: no limit), also from an owner that
    // died. False on a time-out or when the mutex could not be waited on.
    bool set(unsigned long milliseconds);
    void unset();
    // Another thread or process holds the mutex (polls without waiting), or it could not be
    // looked at (last error). A mutex whose owner died is free; the abandonment is left for
    // the next set() to report.
    bool isSet();
    // The last successful set() took the mutex over from an owner that had died.
    bool wasAbandoned() const { return m_abandoned.load(); }

private:
    void create();

    std::atomic<bool> m_abandoned{false};
};

// A named mutex that counts this object's acquisitions and reports each step in a CError
// record (code and text) instead of throwing.
class CNamedMutex {
public:
    // Creates the mutex, or opens it when it exists. `error` may be null: the object then
    // keeps a record of its own. With `openToAll` any local user's process may open it.
    CNamedMutex(const char* name, CError* error, bool openToAll);
    // Releases what this object still holds, then closes the mutex.
    ~CNamedMutex();
    CNamedMutex(const CNamedMutex&) = delete;
    CNamedMutex& operator=(const CNamedMutex&) = delete;

    // Takes the mutex within `milliseconds` (negative: no limit) and returns this object's
    // acquisition count, or -1 on failure. A mutex whose owner died is taken over; unless
    // `acceptAbandoned`, it is then released again at once and -1 returned (code -3).
    int lock(int milliseconds, bool acceptAbandoned);
    // Releases one acquisition made by the calling thread; the count left, or -1.
    int unlock();
    unsigned long getLockCount() const { return m_lockCount.load(); }

    // The error record's code (0 without a record) and text (null without one). The text
    // stays valid until the next call on this object.
    long getErrorCode();
    const char* getErrorText();
    void setError(long code, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // The calling thread's last system error, with the formatted text before it.
    void setSystemError(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    void* m_hMutex = nullptr;
    std::atomic<unsigned long> m_lockCount{0};
    std::atomic<unsigned long> m_lockerId{0};
    bool m_ownsError = false;
    CError* m_error = nullptr;
    // Keeps the record whole when threads share this object.
    std::mutex m_errorMutex;
};
