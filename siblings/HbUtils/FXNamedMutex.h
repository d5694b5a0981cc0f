// FXNamedMutex: a mutex that every process of the machine finds by its name, for
// read-modify-write sequences on shared state (numbered lists in the store and the like)
// that several processes run at once.
//
// The object remembers a name and creates nothing until lock(). lock() creates or opens
// the machine's mutex of that name, open to every local account (a mutex that the root
// daemon made must be usable by the product's processes of other users), and waits for
// it. The object holds its handle only while it holds the mutex: unlock() and a failed
// lock() close it, so the mutex exists only while some process holds or waits for it.
// A holder that died (or whose thread ended) without unlocking leaves the mutex
// abandoned; the next lock() takes it over and counts that as taken: the state it
// guarded may be half-updated, which callers of such short sequences accept.
//
// Ownership belongs to the calling thread, as with every named mutex here: lock(),
// unlock() and the destructor of one object belong on one thread, and an object is not
// shared between threads. Two objects of one name on one thread both lock (the mutex is
// recursive for its owner); on different threads or processes they exclude each other.
// The test-only setters may be called from any thread.
//
// FXNamedMutexLock is the scope guard over lock() and unlock().
#pragma once

#include <string>

#include "os/Win32.h"

class FXNamedMutex {
public:
    // Remembers the name (null counts as empty); creates nothing yet.
    explicit FXNamedMutex(const char* name);
    // Releases the mutex when this object holds it, then closes the handle.
    ~FXNamedMutex();
    FXNamedMutex(const FXNamedMutex&) = delete;
    FXNamedMutex& operator=(const FXNamedMutex&) = delete;

    // Creates or opens the mutex and waits up to `timeoutMs` (INFINITE: no limit) for it.
    // True when this object holds it now, also when a dead holder abandoned it, and when
    // this object held it already (then nothing changes: one unlock() releases it). False
    // when it was not taken, with the thread's last error set: WAIT_TIMEOUT after the
    // time-out, ERROR_INVALID_NAME for an empty name (an unnamed mutex would exclude
    // nobody), otherwise the error of the create or wait call.
    bool lock(DWORD timeoutMs);
    // Releases the mutex and closes the handle when this object holds it; nothing else.
    void unlock();
    bool isLocked() const;
    // The name as given to the constructor, without the test prefix.
    const std::string& name() const;

    // For tests: `prefix` (null or empty: none) is put before the name of every mutex that
    // a lock() creates or opens from now on, so that tests and parallel test runs keep to
    // names of their own. Process-wide.
    static void setNamePrefixForTesting(const char* prefix);
    // For tests: every lock() waits at most `ms` (0: no cap), whatever it was given.
    // Process-wide.
    static void setTimeoutCapForTesting(DWORD ms);

private:
    std::string m_name;
    HANDLE m_handle = nullptr;  // open only while this object holds the mutex
};

// Takes the mutex for a scope: the constructor calls lock(), the destructor unlock() when
// the constructor took it. A mutex that the object held already stays held: the guard
// owns it for its scope but leaves it to whoever locked it first.
class FXNamedMutexLock {
public:
    FXNamedMutexLock(FXNamedMutex& mutex, DWORD timeoutMs);
    ~FXNamedMutexLock();
    FXNamedMutexLock(const FXNamedMutexLock&) = delete;
    FXNamedMutexLock& operator=(const FXNamedMutexLock&) = delete;

    // True when the mutex is held for the guard's scope.
    bool owns() const;

private:
    FXNamedMutex& m_mutex;
    bool m_owns;
    bool m_unlockAtEnd;
};
