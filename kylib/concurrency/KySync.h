// KySync: the in-process locks of the library: the recursive critical section, the
// monitor (a recursive lock with a condition to wait on), the reader/writer lock built on
// a monitor, the simple complex lock, the monitored integer KySafeFlags and two small
// atomics. Every shared table of the library is guarded by one of them.
//
// All of them are private to one process; the named kernel objects shared between
// processes live in KyKernelSync.h. A lock owns nothing but itself; the scope guards own
// nothing either, they only hold the lock they were given (which must outlive them) and
// release it when they end. Lock objects are meant to be shared between threads; a guard
// belongs to the thread that made it.
//
// Misuse of a monitor (leaving, waiting or signalling without owning it) throws
// KyException with error code -1. KyCriticalSection, KySplitRW and the atomics report
// nothing. A scope guard whose release throws ends the process (destructors are noexcept).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "kylib/concurrency/KyThreadAnnotations.h"

// A recursive in-process lock. The owning thread may enter it again any number of times
// and must leave it as often.
class KY_CAPABILITY("mutex") KyCriticalSection {
public:
    KyCriticalSection();
    ~KyCriticalSection();
    KyCriticalSection(const KyCriticalSection&) = delete;
    KyCriticalSection& operator=(const KyCriticalSection&) = delete;

    // With `wait` true blocks until the section is the caller's and returns true; with
    // `wait` false tries once and returns whether the caller got it.
    bool enter(bool wait);
    // Leaves one level. A thread that does not own the section leaves nothing.
    void leave();
    // The calling thread owns the section.
    bool locked() const;

private:
    bool enterContended(bool wait);
    void wakeWaiter();

    // The lock word: 0 free, 1 held, 2 held and a thread may sleep waiting for it. An
    // uncontended enter and leave are one atomic operation each, with no call into the
    // C library: this section guards the library's hottest tables.
    std::atomic<int> m_lock{0};
    // Read without the lock by threads asking "is it me?"; a thread only ever finds its
    // own token here if it stored it itself, so relaxed order is enough.
    std::atomic<std::uintptr_t> m_owner{0};
    // Touched by the owner only.
    unsigned m_depth = 0;
    // Where threads that found the section taken sleep.
    std::mutex m_sleepMutex;
    std::condition_variable m_sleepers;
};

// Holds a critical section (entered with waiting) for its lifetime.
class KY_SCOPED_CAPABILITY KyCriticalSectionLock {
public:
    // A null section makes an empty guard.
    explicit KyCriticalSectionLock(KyCriticalSection* section) KY_ACQUIRE(section);
    ~KyCriticalSectionLock() KY_RELEASE();
    KyCriticalSectionLock(const KyCriticalSectionLock&) = delete;
    KyCriticalSectionLock& operator=(const KyCriticalSectionLock&) = delete;

    // Leaves the held section, then holds and enters `section`.
    void reset(KyCriticalSection* section) KY_NO_THREAD_SAFETY_ANALYSIS;
    void resetCriticalSection(KyCriticalSection* section) KY_NO_THREAD_SAFETY_ANALYSIS;
    // A section is held.
    bool locked() const { return m_section != nullptr; }

private:
    KyCriticalSection* m_section;
};

// Tries a critical section once; leaves it at the end only if it got it.
class KyCriticalSectionTryLock {
public:
    explicit KyCriticalSectionTryLock(KyCriticalSection* section);
    ~KyCriticalSectionTryLock();
    KyCriticalSectionTryLock(const KyCriticalSectionTryLock&) = delete;
    KyCriticalSectionTryLock& operator=(const KyCriticalSectionTryLock&) = delete;

    // Leaves the held section if it was acquired, then tries `section` once.
    void reset(KyCriticalSection* section);
    void resetCriticalSection(KyCriticalSection* section);
    // The attempt succeeded.
    bool locked() const { return m_locked; }

private:
    KyCriticalSection* m_section;
    bool m_locked;
};

// The older critical-section class: lock() and unlock() always return 0.
class KY_CAPABILITY("mutex") KYCritSect {
public:
    KYCritSect();
    virtual ~KYCritSect();
    KYCritSect(const KYCritSect&) = delete;
    KYCritSect& operator=(const KYCritSect&) = delete;

    int lock() KY_ACQUIRE();
    int unlock() KY_RELEASE();

private:
    KyCriticalSection m_section;
};

// A recursive lock with one condition to wait on. Everything in the library that waits
// for a state change waits on a KyMonitor, in a loop that re-tests its condition: a
// wait may also end without a signal.
//
// This platform has condition variables, so every monitor waits on one; there is no
// waiter-list mode.
class KY_CAPABILITY("monitor") KyMonitor {
public:
    KyMonitor();
    virtual ~KyMonitor();
    KyMonitor(const KyMonitor&) = delete;
    KyMonitor& operator=(const KyMonitor&) = delete;

    void enter() KY_ACQUIRE();
    // Throws when the caller does not own the monitor.
    void leave() KY_RELEASE();
    // Releases the monitor fully, whatever the recursion depth, waits, and takes it back
    // at the same depth. The caller must own the monitor, else it throws.
    void wait() KY_REQUIRES(this);
    // As wait(), for at most `milliseconds` (0xFFFFFFFF: no limit). False only when the
    // time ran out.
    bool wait(unsigned long milliseconds) KY_REQUIRES(this);
    // Wake one waiter, or all of them. The caller must own the monitor, else it throws.
    void signal() KY_REQUIRES(this);
    void broadcast() KY_REQUIRES(this);

    // How many threads are waiting on the monitor now: a diagnostic, and what tests
    // poll to know that a thread has gone to sleep.
    int waitingThreads() const { return m_waiting.load(std::memory_order_acquire); }

private:
    bool ownedByCaller() const;
    void requireOwner(const char* func, const char* message) const;

    // A lock's state is not part of the value it guards: mutable, so that the value of a
    // const object (a KySafeFlags being copied) can still be read under its lock.
    mutable std::condition_variable m_cond;
    mutable std::mutex m_mutex;
    // As in KyCriticalSection: relaxed "is it me?" reads, depth touched by the owner.
    mutable std::atomic<std::uintptr_t> m_owner{0};
    mutable unsigned m_depth = 0;
    mutable std::atomic<int> m_waiting{0};
};

// Holds a monitor (entered) for its lifetime.
class KY_SCOPED_CAPABILITY KyMonitorLock {
public:
    // A null monitor makes an empty guard.
    explicit KyMonitorLock(KyMonitor* monitor) KY_ACQUIRE(monitor);
    ~KyMonitorLock() KY_RELEASE();
    KyMonitorLock(const KyMonitorLock&) = delete;
    KyMonitorLock& operator=(const KyMonitorLock&) = delete;

    // Leaves the held monitor, then holds and enters `monitor`.
    void reset(KyMonitor* monitor) KY_NO_THREAD_SAFETY_ANALYSIS;
    void resetMonitor(KyMonitor* monitor) KY_NO_THREAD_SAFETY_ANALYSIS;
    bool locked() const { return m_monitor != nullptr; }

private:
    KyMonitor* m_monitor;
};

// Reader/writer state without a lock of its own: the monitor passed to each operation
// guards it, so one monitor can guard several of them. Readers share; a writer excludes
// everyone else but may lock again and take read holds on its own lock. Once a writer
// waits, new readers wait too, unless readers are in already (they join them); an idle
// lock goes to a waiting writer before a newly arriving reader.
//
// Upgrading is not supported: a thread that asks for the write lock waits for every read
// hold to go, its own included, so it waits for ever unless another thread releases that
// hold (which is allowed, since holds are not tied to the thread that took them).
//
// With a null monitor the operations do the bookkeeping only, neither locking nor
// waiting: for callers that guard the state by other means. Neither unlock checks which
// thread calls it.
//
// Readers that find no write hold and no writer waiting, and every read release, leave
// the monitor alone: holding the monitor keeps writers out of their bookkeeping but not
// such readers, and a read release wakes the monitor's waiters only when a writer waits.
class KySplitRW {
public:
    KySplitRW() = default;
    ~KySplitRW();
    // Copy the hold counts and the writer. The waiting bit does not come along: it
    // belongs to the writers waiting on the source (set on a copy, with no writer to
    // clear it, it would shut readers out of the copy for good).
    KySplitRW(const KySplitRW& other);
    KySplitRW& operator=(const KySplitRW& other);

    void readLock(KyMonitor* monitor);
    void readUnlock(KyMonitor* monitor);
    void writeLock(KyMonitor* monitor);
    void writeUnlock(KyMonitor* monitor);
    // Turns one write hold into a read hold in one step.
    void downgrade(KyMonitor* monitor);

    int getReadCnt() const;
    int getWriteCnt() const;
    // Any read or write hold (a waiting writer alone does not count).
    bool isLocked() const;

private:
    void readLockWaiting(KyMonitor* monitor);

    // Bits 0-20: read holds; bits 21-30: write holds of the writer; bit 31: a writer
    // waits. Write holds and the waiting bit change under the monitor only; a read hold
    // taken while there is no write hold and no waiting writer, and every read release,
    // change it with one compare-and-swap without the monitor.
    std::atomic<std::uint32_t> m_state{0};
    // The writing thread's token, 0 when there is no write hold.
    std::atomic<std::uintptr_t> m_writer{0};
    // Writers waiting now (under the monitor). Bit 31 is set while this is not 0, so
    // that the first of several waiting writers to get in does not clear it for the
    // others.
    std::uint32_t m_waitingWriters = 0;
};

// A monitor with one reader/writer state, which the monitor itself guards.
class KY_CAPABILITY("rwlock") KyRW : public KyMonitor {
public:
    KyRW();
    ~KyRW() override;

    void readLock() KY_ACQUIRE_SHARED();
    void readUnlock() KY_RELEASE_SHARED();
    void writeLock() KY_ACQUIRE();
    void writeUnlock() KY_RELEASE();
    void downgrade() KY_NO_THREAD_SAFETY_ANALYSIS;

    int getReadCnt() const { return m_rw.getReadCnt(); }
    int getWriteCnt() const { return m_rw.getWriteCnt(); }
    bool isLocked() const { return m_rw.isLocked(); }

private:
    friend class KyRWLock;
    friend class KyReadLock;
    friend class KyWriteLock;

    KySplitRW m_rw;
};

// Holds a read or a write hold for its lifetime.
class KyRWLock {
public:
    // A null lock makes an empty guard.
    KyRWLock(KyRW* rw, bool write);
    KyRWLock(KySplitRW* rw, KyMonitor* monitor, bool write);
    ~KyRWLock();
    KyRWLock(const KyRWLock&) = delete;
    KyRWLock& operator=(const KyRWLock&) = delete;

    // Releases the held kind, then takes the requested kind on `rw`.
    void reset(KyRW* rw, bool write);

private:
    void acquire();
    void release();

    KySplitRW* m_rw;
    KyMonitor* m_monitor;
    bool m_write;
};

// Holds a read hold for its lifetime.
class KY_SCOPED_CAPABILITY KyReadLock {
public:
    explicit KyReadLock(KyRW* rw) KY_ACQUIRE_SHARED(rw);
    KyReadLock(KySplitRW* rw, KyMonitor* monitor);
    ~KyReadLock() KY_RELEASE();
    KyReadLock(const KyReadLock&) = delete;
    KyReadLock& operator=(const KyReadLock&) = delete;

    void reset(KyRW* rw) KY_NO_THREAD_SAFETY_ANALYSIS;

private:
    KySplitRW* m_rw;
    KyMonitor* m_monitor;
};

// Holds a write hold for its lifetime, or the read hold it was downgraded to.
class KY_SCOPED_CAPABILITY KyWriteLock {
public:
    explicit KyWriteLock(KyRW* rw) KY_ACQUIRE(rw);
    KyWriteLock(KySplitRW* rw, KyMonitor* monitor);
    ~KyWriteLock() KY_RELEASE();
    KyWriteLock(const KyWriteLock&) = delete;
    KyWriteLock& operator=(const KyWriteLock&) = delete;

    // Turns the write hold into a read hold; the guard then releases a read hold.
    void downgrade() KY_NO_THREAD_SAFETY_ANALYSIS;
    // Releases the held kind, forgets the downgrade and takes a write hold on `rw`.
    void reset(KyRW* rw) KY_NO_THREAD_SAFETY_ANALYSIS;

private:
    void release();

    KySplitRW* m_rw;
    KyMonitor* m_monitor;
    bool m_downgraded;
};

// A 64-bit signed counter whose every operation is atomic. Prefix forms return the new
// value, postfix forms the old one.
class KyAtomicU64_t {
public:
    KyAtomicU64_t() : m_value(0) {}
    KyAtomicU64_t(std::int64_t value) : m_value(value) {}
    KyAtomicU64_t(const KyAtomicU64_t& other) : m_value(other.value()) {}
    KyAtomicU64_t& operator=(const KyAtomicU64_t& other) {
        m_value.store(other.value());
        return *this;
    }

    std::int64_t operator++() { return m_value.fetch_add(1) + 1; }
    std::int64_t operator++(int) { return m_value.fetch_add(1); }
    std::int64_t operator--() { return m_value.fetch_sub(1) - 1; }
    std::int64_t operator--(int) { return m_value.fetch_sub(1); }
    // Return the new value.
    std::int64_t operator+=(const KyAtomicU64_t& other) { return *this += other.value(); }
    std::int64_t operator+=(std::int64_t delta) { return m_value.fetch_add(delta) + delta; }
    std::int64_t operator-=(const KyAtomicU64_t& other) { return *this -= other.value(); }
    std::int64_t operator-=(std::int64_t delta) { return m_value.fetch_sub(delta) - delta; }

    std::int64_t value() const { return m_value.load(); }

private:
    std::atomic<std::int64_t> m_value;
};

// A 32-bit word of flags with atomic bit operations. Bit numbers are taken modulo 32.
// The test forms return the word masked by the bit: non-zero when the bit was set
// before the operation.
class KyAtomicBitwiseOpts_t {
public:
    KyAtomicBitwiseOpts_t() : m_word(0) {}
    KyAtomicBitwiseOpts_t(unsigned word) : m_word(word) {}
    KyAtomicBitwiseOpts_t(const KyAtomicBitwiseOpts_t& other) : m_word(other.m_word.load()) {}
    KyAtomicBitwiseOpts_t& operator=(const KyAtomicBitwiseOpts_t& other) {
        m_word.store(other.m_word.load());
        return *this;
    }
    ~KyAtomicBitwiseOpts_t() { m_word.store(0, std::memory_order_relaxed); }

    void set_bit(unsigned bit) { m_word.fetch_or(mask(bit)); }
    void clear_bit(unsigned bit) { m_word.fetch_and(~mask(bit)); }
    unsigned test_bit(unsigned bit) const { return m_word.load() & mask(bit); }
    unsigned test_and_set_bit(unsigned bit) { return m_word.fetch_or(mask(bit)) & mask(bit); }
    unsigned test_and_clear_bit(unsigned bit) { return m_word.fetch_and(~mask(bit)) & mask(bit); }

private:
    static constexpr unsigned kBits = 32;
    static std::uint32_t mask(unsigned bit) { return std::uint32_t{1} << (bit % kBits); }

    std::atomic<std::uint32_t> m_word;
};

// A lock with one reader state and one writer state: readers share, a writer excludes
// everyone. Waiting writers do not hold back new readers, and the write lock is not
// recursive. Copying yields a new, unlocked lock.
class KyComplexLock {
public:
    KyComplexLock();
    KyComplexLock(const KyComplexLock& other);
    // Keeps this lock as it is: a lock's state is not copied.
    KyComplexLock& operator=(const KyComplexLock& other);
    ~KyComplexLock();

    void rdlock();
    // The write lock.
    void rwlock();
    bool try_rdlock();
    bool try_rwlock();
    // Releases one hold; a lock that is not held is left alone.
    void unlock();

private:
    static constexpr unsigned kReadLocked = 1;
    static constexpr unsigned kWriteLocked = 2;

    unsigned m_state KY_GUARDED_BY(m_monitor) = 0;
    KyMonitor m_monitor;
    KyAtomicU64_t m_holders;
};

// An integer under a monitor: every change is made under the object's monitor and
// broadcast, so a thread can wait for a value with the inherited monitor operations:
//
//     KyMonitorLock lock(&flags);
//     while (flags != kDone)
//         flags.wait();
//
// Reading the value needs no lock.
class KySafeFlags : public KyMonitor {
public:
    KySafeFlags();
    KySafeFlags(int value);
    // Reads the value under the source's monitor.
    KySafeFlags(const KySafeFlags& other);
    ~KySafeFlags() override;

    // Every operator returns the object itself, the postfix forms too: callers read the
    // value after the change.
    KySafeFlags& operator=(int value);
    KySafeFlags& operator=(const KySafeFlags& other);
    KySafeFlags& operator++();
    KySafeFlags& operator++(int);
    KySafeFlags& operator--();
    KySafeFlags& operator--(int);
    KySafeFlags& operator+=(int delta);
    KySafeFlags& operator-=(int delta);
    KySafeFlags& operator&=(int bits);
    KySafeFlags& operator|=(int bits);

    operator int() const { return m_value.load(); }

private:
    friend class KySafeFlagsController;

    template <class Change>
    KySafeFlags& change(Change how);

    std::atomic<int> m_value;
};

// Adds `delta` to a counter for its lifetime: added (and broadcast) when made, taken
// away again (and broadcast) when destroyed or reset.
class KySafeFlagsInc {
public:
    // Counts on the flags' value under the flags' monitor; null does nothing.
    KySafeFlagsInc(KySafeFlags* flags, int delta);
    // Counts on `*counter` under `monitor`; a null monitor does nothing at all.
    KySafeFlagsInc(int* counter, KyMonitor* monitor, int delta);
    ~KySafeFlagsInc();
    KySafeFlagsInc(const KySafeFlagsInc&) = delete;
    KySafeFlagsInc& operator=(const KySafeFlagsInc&) = delete;

    // Takes the delta away from the old counter and adds the new one to `flags`.
    void reset(KySafeFlags* flags, int delta);

private:
    void add(int sign);

    KySafeFlags* m_flags;
    int* m_counter;
    KyMonitor* m_monitor;
    int m_delta;
};

// Puts flags back to a value at the end of a scope, if they differ from it then.
class KySafeFlagsController {
public:
    KySafeFlagsController(KySafeFlags* flags, int value);
    ~KySafeFlagsController();
    KySafeFlagsController(const KySafeFlagsController&) = delete;
    KySafeFlagsController& operator=(const KySafeFlagsController&) = delete;

private:
    KySafeFlags* m_flags;
    int m_value;
};
#include "kylib/concurrency/KyKernelSync.h"
