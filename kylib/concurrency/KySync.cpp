#include "kylib/concurrency/KySync.h"

#include <chrono>
#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#define KY_HAVE_SINGLE_THREADED 1
#endif

#include "kylib/diagnostics/KyException.h"
#include "os/Win32.h"

namespace {

// Who holds a lock is asked on every enter, so the question must be cheap: the address
// of a thread-local byte is one thread-pointer-relative load (initial-exec: no call into
// the dynamic linker), distinct for every live thread and never 0. A gettid system call
// would cost more than the lock itself.
__attribute__((tls_model("initial-exec"))) thread_local char t_threadToken;

inline std::uintptr_t currentThread() {
    return reinterpret_cast<std::uintptr_t>(&t_threadToken);
}

// While a process has never started a second thread nobody can race for a lock, and the
// atomic instructions (the bulk of an uncontended enter and leave) can be left out, as
// glibc's own mutexes and libstdc++'s shared_ptr do. The C library clears the flag before
// a second thread exists, and never sets it again.
inline bool singleThreadedProcess() {
#ifdef KY_HAVE_SINGLE_THREADED
    return __libc_single_threaded != 0;
#else
    return false;
#endif
}

// How often a thread that finds a critical section taken looks again before it sleeps.
constexpr int kSpinTries = 100;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// ---- KySplitRW state word.
constexpr std::uint32_t kReadMask = 0x001FFFFF;
constexpr std::uint32_t kWriteShift = 21;
constexpr std::uint32_t kWriteOne = std::uint32_t{1} << kWriteShift;
constexpr std::uint32_t kWriteMask = 0x3FFu << kWriteShift;
constexpr std::uint32_t kWriterWaiting = 0x80000000u;

inline std::uint32_t readCount(std::uint32_t state) {
    return state & kReadMask;
}
inline std::uint32_t writeCount(std::uint32_t state) {
    return (state & kWriteMask) >> kWriteShift;
}

// Enters a monitor that may be null (then nothing is locked).
class KY_SCOPED_CAPABILITY OptionalMonitorLock {
public:
    explicit OptionalMonitorLock(KyMonitor* monitor) KY_ACQUIRE(monitor) : m_monitor(monitor) {
        if (m_monitor)
            m_monitor->enter();
    }
    ~OptionalMonitorLock() KY_RELEASE() {
        if (m_monitor)
            m_monitor->leave();
    }
    OptionalMonitorLock(const OptionalMonitorLock&) = delete;
    OptionalMonitorLock& operator=(const OptionalMonitorLock&) = delete;

private:
    KyMonitor* m_monitor;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// KyCriticalSection

KyCriticalSection::KyCriticalSection() = default;
KyCriticalSection::~KyCriticalSection() = default;

bool KyCriticalSection::enter(bool wait) KY_NO_THREAD_SAFETY_ANALYSIS {
    const std::uintptr_t self = currentThread();
    if (m_owner.load(std::memory_order_relaxed) == self) {
        ++m_depth;
        return true;
    }
    int expected = 0;
    if (singleThreadedProcess() && m_lock.load(std::memory_order_relaxed) == 0) {
        m_lock.store(1, std::memory_order_relaxed);
    } else if (!m_lock.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                               std::memory_order_relaxed) &&
               !enterContended(wait)) {
        return false;
    }
    m_owner.store(self, std::memory_order_relaxed);
    m_depth = 1;
    return true;
}

bool KyCriticalSection::enterContended(bool wait) {
    if (!wait)
        return false;
    // Sections are held briefly: a holder on another processor usually lets go sooner
    // than a sleep and a wake-up would take.
    for (int i = 0; i < kSpinTries; ++i) {
        cpuRelax();
        int expected = 0;
        if (m_lock.load(std::memory_order_relaxed) == 0 &&
            m_lock.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                         std::memory_order_relaxed))
            return true;
    }
    // Marking the word 2 under the sleep mutex, then sleeping, leaves no gap for a
    // wake-up to fall into: the leaving thread takes the same mutex to wake a sleeper.
    // A thread that gets the section here leaves the mark set (others may sleep still),
    // which costs at most one needless wake-up.
    std::unique_lock<std::mutex> sleep(m_sleepMutex);
    while (m_lock.exchange(2, std::memory_order_acquire) != 0)
        m_sleepers.wait(sleep);
    return true;
}

void KyCriticalSection::wakeWaiter() {
    std::lock_guard<std::mutex> sleep(m_sleepMutex);
    m_sleepers.notify_one();
}

void KyCriticalSection::leave() KY_NO_THREAD_SAFETY_ANALYSIS {
    // Releasing a hold another thread owns would break its exclusion: ignored.
    if (m_owner.load(std::memory_order_relaxed) != currentThread())
        return;
    if (--m_depth != 0)
        return;
    m_owner.store(0, std::memory_order_relaxed);
    int previous;
    if (singleThreadedProcess()) {
        previous = m_lock.load(std::memory_order_relaxed);
        m_lock.store(0, std::memory_order_relaxed);
    } else {
        previous = m_lock.exchange(0, std::memory_order_release);
    }
    if (previous == 2)
        wakeWaiter();
}

bool KyCriticalSection::locked() const {
    return m_owner.load(std::memory_order_relaxed) == currentThread();
}

// ---- Guards.

KyCriticalSectionLock::KyCriticalSectionLock(KyCriticalSection* section) : m_section(section) {
    if (m_section)
        m_section->enter(true);
}

KyCriticalSectionLock::~KyCriticalSectionLock() {
    if (m_section)
        m_section->leave();
}

void KyCriticalSectionLock::reset(KyCriticalSection* section) {
    if (m_section)
        m_section->leave();
    m_section = section;
    if (m_section)
        m_section->enter(true);
}

void KyCriticalSectionLock::resetCriticalSection(KyCriticalSection* section) {
    reset(section);
}

KyCriticalSectionTryLock::KyCriticalSectionTryLock(KyCriticalSection* section)
    : m_section(section), m_locked(section != nullptr && section->enter(false)) {}

KyCriticalSectionTryLock::~KyCriticalSectionTryLock() {
    if (m_locked)
        m_section->leave();
}

void KyCriticalSectionTryLock::reset(KyCriticalSection* section) {
    if (m_locked)
        m_section->leave();
    m_section = section;
    m_locked = section != nullptr && section->enter(false);
}

void KyCriticalSectionTryLock::resetCriticalSection(KyCriticalSection* section) {
    reset(section);
}

KYCritSect::KYCritSect() = default;
KYCritSect::~KYCritSect() = default;

int KYCritSect::lock() KY_NO_THREAD_SAFETY_ANALYSIS {
    m_section.enter(true);
    return 0;
}

int KYCritSect::unlock() KY_NO_THREAD_SAFETY_ANALYSIS {
    m_section.leave();
    return 0;
}

// ---------------------------------------------------------------------------------------
// KyMonitor

KyMonitor::KyMonitor() = default;
KyMonitor::~KyMonitor() = default;

bool KyMonitor::ownedByCaller() const {
    return m_owner.load(std::memory_order_relaxed) == currentThread();
}

void KyMonitor::requireOwner(const char* func, const char* message) const {
    if (!ownedByCaller())
        KY_THROW(func, message);
}

// The monitor keeps its own recursion over a std::mutex rather than a KyCriticalSection,
// so that waiting is one sleep on a std::condition_variable with that mutex.
void KyMonitor::enter() KY_NO_THREAD_SAFETY_ANALYSIS {
    const std::uintptr_t self = currentThread();
    if (m_owner.load(std::memory_order_relaxed) == self) {
        ++m_depth;
        return;
    }
    m_mutex.lock();
    m_owner.store(self, std::memory_order_relaxed);
    m_depth = 1;
}

void KyMonitor::leave() KY_NO_THREAD_SAFETY_ANALYSIS {
    requireOwner("KyMonitor::leave", "Cannot release the lock that I do not own.");
    if (--m_depth != 0)
        return;
    m_owner.store(0, std::memory_order_relaxed);
    m_mutex.unlock();
}

void KyMonitor::wait() {
    wait(INFINITE);
}

bool KyMonitor::wait(unsigned long milliseconds) KY_NO_THREAD_SAFETY_ANALYSIS {
    requireOwner("KyMonitor::wait", "Must acquire the monitor before calling wait().");
    const std::uintptr_t self = m_owner.load(std::memory_order_relaxed);
    const unsigned depth = m_depth;
    m_depth = 0;
    m_owner.store(0, std::memory_order_relaxed);

    bool woken = true;
    std::unique_lock<std::mutex> lock(m_mutex, std::adopt_lock);
    m_waiting.fetch_add(1, std::memory_order_release);
    // INFINITE and anything longer wait without limit (and never overflow a deadline).
    if (milliseconds >= INFINITE) {
        m_cond.wait(lock);
    } else {
        woken = m_cond.wait_for(lock, std::chrono::milliseconds(milliseconds)) ==
                std::cv_status::no_timeout;
    }
    m_waiting.fetch_sub(1, std::memory_order_release);
    lock.release();

    m_owner.store(self, std::memory_order_relaxed);
    m_depth = depth;
    return woken;
}

void KyMonitor::signal() {
    requireOwner("KyMonitor::signal", "Must acquire the lock before signalling.");
    m_cond.notify_one();
}

void KyMonitor::broadcast() {
    requireOwner("KyMonitor::broadcast", "Must acquire the lock before signalling.");
    m_cond.notify_all();
}

KyMonitorLock::KyMonitorLock(KyMonitor* monitor) : m_monitor(monitor) {
    if (m_monitor)
        m_monitor->enter();
}

KyMonitorLock::~KyMonitorLock() {
    if (m_monitor)
        m_monitor->leave();
}

void KyMonitorLock::reset(KyMonitor* monitor) {
    if (m_monitor)
        m_monitor->leave();
    m_monitor = monitor;
    if (m_monitor)
        m_monitor->enter();
}

void KyMonitorLock::resetMonitor(KyMonitor* monitor) {
    reset(monitor);
}

// ---------------------------------------------------------------------------------------
// KySplitRW

KySplitRW::~KySplitRW() = default;

KySplitRW::KySplitRW(const KySplitRW& other)
    : m_state(other.m_state.load() & ~kWriterWaiting), m_writer(other.m_writer.load()) {}

// The waiting mark stays with the writers that wait on this object.
KySplitRW& KySplitRW::operator=(const KySplitRW& other) {
    if (this != &other) {
        m_state.store((other.m_state.load() & ~kWriterWaiting) | (m_state.load() & kWriterWaiting));
        m_writer.store(other.m_writer.load());
    }
    return *this;
}

void KySplitRW::readLock(KyMonitor* monitor) {
    if (monitor) {
        // With no write hold and no writer waiting a reader may always enter: it does so
        // with one compare-and-swap, leaving the monitor alone. Readers are the common
        // case, and entering the monitor would make them queue on its mutex.
        std::uint32_t state = m_state.load(std::memory_order_relaxed);
        while ((state & (kWriteMask | kWriterWaiting)) == 0) {
            if (m_state.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed))
                return;
        }
    }
    readLockWaiting(monitor);
}

void KySplitRW::readLockWaiting(KyMonitor* monitor) {
    OptionalMonitorLock lock(monitor);
    const std::uintptr_t self = currentThread();
    std::uint32_t state = m_state.load(std::memory_order_relaxed);
    for (;;) {
        const bool writeHeld = writeCount(state) != 0;
        // A writer may read its own lock; a reader joins present readers even while a
        // writer waits; without a monitor nothing is waited for.
        const bool mayEnter =
            (writeHeld && m_writer.load(std::memory_order_relaxed) == self) ||
            (!writeHeld && (readCount(state) != 0 || (state & kWriterWaiting) == 0)) || !monitor;
        if (mayEnter) {
            // Readers leaving on their own path may change the count meanwhile.
            if (m_state.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed))
                return;
            continue;
        }
        monitor->wait();
        state = m_state.load(std::memory_order_relaxed);
    }
}

void KySplitRW::readUnlock(KyMonitor* monitor) {
    std::uint32_t state = m_state.load(std::memory_order_relaxed);
    do {
        if (readCount(state) == 0)
            return;
    } while (!m_state.compare_exchange_weak(state, state - 1, std::memory_order_release,
                                            std::memory_order_relaxed));
    // Only a waiting writer can be waiting for a read hold to go, and it marks the state
    // under the monitor before it sleeps: if this release came before the mark, the writer
    // sees the count already lowered; if after, it finds the mark here, and the broadcast
    // has to wait for the monitor until the writer sleeps.
    if (monitor && (state & kWriterWaiting) != 0) {
        KyMonitorLock lock(monitor);
        monitor->broadcast();
    }
}

void KySplitRW::writeLock(KyMonitor* monitor) {
    OptionalMonitorLock lock(monitor);
    const std::uintptr_t self = currentThread();
    bool waited = false;
    std::uint32_t state = m_state.load(std::memory_order_relaxed);
    for (;;) {
        const bool recursive =
            writeCount(state) != 0 && m_writer.load(std::memory_order_relaxed) == self;
        // A thread that asks to write while it holds a read hold is not stopped: the hold
        // may be released by another thread, which the unlocks allow.
        if (recursive || (state & (kReadMask | kWriteMask)) == 0 || !monitor) {
            std::uint32_t taken = state + kWriteOne;
            if (waited && m_waitingWriters == 1)
                taken &= ~kWriterWaiting;
            // Against readers arriving or leaving on their own path at the same moment.
            if (m_state.compare_exchange_weak(state, taken, std::memory_order_acquire,
                                              std::memory_order_relaxed))
                break;
            continue;
        }
        if (!waited) {
            waited = true;
            ++m_waitingWriters;
            // Readers that left before the mark went on did not see it, and wake nobody:
            // look at the count again before sleeping.
            state = m_state.fetch_or(kWriterWaiting, std::memory_order_relaxed) | kWriterWaiting;
            continue;
        }
        monitor->wait();
        state = m_state.load(std::memory_order_relaxed);
    }
    if (waited)
        --m_waitingWriters;
    m_writer.store(self, std::memory_order_relaxed);
}

// Write holds change under the monitor only, so the count read here stays; read holds
// may come and go meanwhile, which the subtraction leaves as they are.
void KySplitRW::writeUnlock(KyMonitor* monitor) {
    OptionalMonitorLock lock(monitor);
    const std::uint32_t state = m_state.load(std::memory_order_relaxed);
    if (writeCount(state) != 0) {
        if (writeCount(state) == 1)
            m_writer.store(0, std::memory_order_relaxed);
        m_state.fetch_sub(kWriteOne, std::memory_order_release);
    }
    if (monitor)
        monitor->broadcast();
}

void KySplitRW::downgrade(KyMonitor* monitor) {
    OptionalMonitorLock lock(monitor);
    const std::uint32_t state = m_state.load(std::memory_order_relaxed);
    if (writeCount(state) != 0) {
        if (writeCount(state) == 1)
            m_writer.store(0, std::memory_order_relaxed);
        // One write hold less and one read hold more, in one step.
        m_state.fetch_sub(kWriteOne - 1, std::memory_order_acq_rel);
    }
    if (monitor)
        monitor->broadcast();
}

int KySplitRW::getReadCnt() const {
    return static_cast<int>(readCount(m_state.load(std::memory_order_relaxed)));
}

int KySplitRW::getWriteCnt() const {
    return static_cast<int>(writeCount(m_state.load(std::memory_order_relaxed)));
}

bool KySplitRW::isLocked() const {
    return (m_state.load(std::memory_order_relaxed) & (kReadMask | kWriteMask)) != 0;
}

// ---- KyRW and the guards.

KyRW::KyRW() = default;
KyRW::~KyRW() = default;

void KyRW::readLock() KY_NO_THREAD_SAFETY_ANALYSIS {
    m_rw.readLock(this);
}
void KyRW::readUnlock() KY_NO_THREAD_SAFETY_ANALYSIS {
    m_rw.readUnlock(this);
}
void KyRW::writeLock() KY_NO_THREAD_SAFETY_ANALYSIS {
    m_rw.writeLock(this);
}
void KyRW::writeUnlock() KY_NO_THREAD_SAFETY_ANALYSIS {
    m_rw.writeUnlock(this);
}
void KyRW::downgrade() {
    m_rw.downgrade(this);
}

KyRWLock::KyRWLock(KyRW* rw, bool write)
    : m_rw(rw ? &rw->m_rw : nullptr), m_monitor(rw), m_write(write) {
    acquire();
}

KyRWLock::KyRWLock(KySplitRW* rw, KyMonitor* monitor, bool write)
    : m_rw(rw), m_monitor(monitor), m_write(write) {
    acquire();
}

KyRWLock::~KyRWLock() {
    release();
}

void KyRWLock::acquire() {
    if (!m_rw)
        return;
    if (m_write)
        m_rw->writeLock(m_monitor);
    else
        m_rw->readLock(m_monitor);
}

void KyRWLock::release() {
    if (!m_rw)
        return;
    if (m_write)
        m_rw->writeUnlock(m_monitor);
    else
        m_rw->readUnlock(m_monitor);
}

void KyRWLock::reset(KyRW* rw, bool write) {
    release();
    m_rw = rw ? &rw->m_rw : nullptr;
    m_monitor = rw;
    m_write = write;
    acquire();
}

KyReadLock::KyReadLock(KyRW* rw) : m_rw(rw ? &rw->m_rw : nullptr), m_monitor(rw) {
    if (m_rw)
        m_rw->readLock(m_monitor);
}

KyReadLock::KyReadLock(KySplitRW* rw, KyMonitor* monitor) : m_rw(rw), m_monitor(monitor) {
    if (m_rw)
        m_rw->readLock(m_monitor);
}

KyReadLock::~KyReadLock() {
    if (m_rw)
        m_rw->readUnlock(m_monitor);
}

void KyReadLock::reset(KyRW* rw) {
    if (m_rw)
        m_rw->readUnlock(m_monitor);
    m_rw = rw ? &rw->m_rw : nullptr;
    m_monitor = rw;
    if (m_rw)
        m_rw->readLock(m_monitor);
}

KyWriteLock::KyWriteLock(KyRW* rw)
    : m_rw(rw ? &rw->m_rw : nullptr), m_monitor(rw), m_downgraded(false) {
    if (m_rw)
        m_rw->writeLock(m_monitor);
}

KyWriteLock::KyWriteLock(KySplitRW* rw, KyMonitor* monitor)
    : m_rw(rw), m_monitor(monitor), m_downgraded(false) {
    if (m_rw)
        m_rw->writeLock(m_monitor);
}

KyWriteLock::~KyWriteLock() {
    release();
}

void KyWriteLock::release() {
    if (!m_rw)
        return;
    if (m_downgraded)
        m_rw->readUnlock(m_monitor);
    else
        m_rw->writeUnlock(m_monitor);
}

void KyWriteLock::downgrade() {
    if (!m_rw || m_downgraded)
        return;
    m_rw->downgrade(m_monitor);
    m_downgraded = true;
}

void KyWriteLock::reset(KyRW* rw) {
    release();
    m_downgraded = false;
    m_rw = rw ? &rw->m_rw : nullptr;
    m_monitor = rw;
    if (m_rw)
        m_rw->writeLock(m_monitor);
}

// ---------------------------------------------------------------------------------------
// KyComplexLock

KyComplexLock::KyComplexLock() = default;
KyComplexLock::KyComplexLock(const KyComplexLock&) : KyComplexLock() {}
KyComplexLock::~KyComplexLock() = default;

KyComplexLock& KyComplexLock::operator=(const KyComplexLock&) {
    return *this;
}

void KyComplexLock::rdlock() {
    KyMonitorLock lock(&m_monitor);
    while (m_state & kWriteLocked)
        m_monitor.wait();
    m_state |= kReadLocked;
    ++m_holders;
}

void KyComplexLock::rwlock() {
    KyMonitorLock lock(&m_monitor);
    while (m_state & (kReadLocked | kWriteLocked))
        m_monitor.wait();
    m_state |= kWriteLocked;
    ++m_holders;
}

bool KyComplexLock::try_rdlock() {
    KyMonitorLock lock(&m_monitor);
    if (m_state & kWriteLocked)
        return false;
    m_state |= kReadLocked;
    ++m_holders;
    return true;
}

bool KyComplexLock::try_rwlock() {
    KyMonitorLock lock(&m_monitor);
    if (m_state & (kReadLocked | kWriteLocked))
        return false;
    m_state |= kWriteLocked;
    ++m_holders;
    return true;
}

void KyComplexLock::unlock() {
    KyMonitorLock lock(&m_monitor);
    // An unlock too many would take the count below 0 and wedge the lock.
    if (m_holders.value() == 0)
        return;
    if (--m_holders != 0)
        return;
    if (m_state & kWriteLocked)
        m_state &= ~kWriteLocked;
    else
        m_state &= ~kReadLocked;
    m_monitor.broadcast();
}

// ---------------------------------------------------------------------------------------
// KySafeFlags

KySafeFlags::KySafeFlags() : m_value(0) {}
KySafeFlags::KySafeFlags(int value) : m_value(value) {}

KySafeFlags::KySafeFlags(const KySafeFlags& other) : KyMonitor(), m_value(0) {
    KyMonitorLock lock(const_cast<KySafeFlags*>(&other));
    m_value.store(other.m_value.load());
}

KySafeFlags::~KySafeFlags() = default;

template <class Change>
KySafeFlags& KySafeFlags::change(Change how) {
    KyMonitorLock lock(this);
    m_value.store(how(m_value.load()));
    broadcast();
    return *this;
}

KySafeFlags& KySafeFlags::operator=(int value) {
    return change([value](int) { return value; });
}

KySafeFlags& KySafeFlags::operator=(const KySafeFlags& other) {
    if (this == &other)
        return *this;
    int value;
    {
        // One monitor at a time: holding both could deadlock against a copy the other way.
        KyMonitorLock lock(const_cast<KySafeFlags*>(&other));
        value = other.m_value.load();
    }
    return *this = value;
}

KySafeFlags& KySafeFlags::operator++() {
    return change([](int v) { return v + 1; });
}
KySafeFlags& KySafeFlags::operator++(int) {
    return ++*this;
}
KySafeFlags& KySafeFlags::operator--() {
    return change([](int v) { return v - 1; });
}
KySafeFlags& KySafeFlags::operator--(int) {
    return --*this;
}
KySafeFlags& KySafeFlags::operator+=(int delta) {
    return change([delta](int v) { return v + delta; });
}
KySafeFlags& KySafeFlags::operator-=(int delta) {
    return change([delta](int v) { return v - delta; });
}
KySafeFlags& KySafeFlags::operator&=(int bits) {
    return change([bits](int v) { return v & bits; });
}
KySafeFlags& KySafeFlags::operator|=(int bits) {
    return change([bits](int v) { return v | bits; });
}

KySafeFlagsInc::KySafeFlagsInc(KySafeFlags* flags, int delta)
    : m_flags(flags), m_counter(nullptr), m_monitor(flags), m_delta(delta) {
    add(+1);
}

KySafeFlagsInc::KySafeFlagsInc(int* counter, KyMonitor* monitor, int delta)
    : m_flags(nullptr), m_counter(counter), m_monitor(monitor), m_delta(delta) {
    add(+1);
}

KySafeFlagsInc::~KySafeFlagsInc() {
    add(-1);
}

void KySafeFlagsInc::reset(KySafeFlags* flags, int delta) {
    add(-1);
    m_flags = flags;
    m_counter = nullptr;
    m_monitor = flags;
    m_delta = delta;
    add(+1);
}

void KySafeFlagsInc::add(int sign) {
    if (!m_monitor)
        return;
    if (m_flags) {
        *m_flags += sign * m_delta;
        return;
    }
    KyMonitorLock lock(m_monitor);
    if (m_counter)
        *m_counter += sign * m_delta;
    m_monitor->broadcast();
}

KySafeFlagsController::KySafeFlagsController(KySafeFlags* flags, int value)
    : m_flags(flags), m_value(value) {}

KySafeFlagsController::~KySafeFlagsController() {
    if (!m_flags)
        return;
    // Test and assignment under one hold, so that no change slips in between.
    KyMonitorLock lock(m_flags);
    if (m_flags->m_value.load() != m_value)
        *m_flags = m_value;
}
