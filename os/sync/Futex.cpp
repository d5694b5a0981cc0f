#include "os/sync/Futex.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace kyos::sync_internal {
namespace {

constexpr long kNanosecondsPerSecond = 1000000000L;
constexpr long kNanosecondsPerMillisecond = 1000000L;

// The syscall number is the same on every architecture; older headers lack the macro.
#ifdef SYS_futex_waitv
constexpr long kFutexWaitvSyscall = SYS_futex_waitv;
#else
constexpr long kFutexWaitvSyscall = 449;
#endif

constexpr unsigned kMaxWatches = 128;

enum class WaitvState { Unknown, Available, Missing, Disabled };
std::atomic<WaitvState> g_waitvState{WaitvState::Unknown};

timespec now() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

timespec addMilliseconds(timespec ts, DWORD milliseconds) {
    ts.tv_sec += milliseconds / 1000;
    ts.tv_nsec += static_cast<long>(milliseconds % 1000) * kNanosecondsPerMillisecond;
    if (ts.tv_nsec >= kNanosecondsPerSecond) {
        ts.tv_sec += 1;
        ts.tv_nsec -= kNanosecondsPerSecond;
    }
    return ts;
}

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

int futexWaitRaw(const void* word, std::uint32_t expected, const Deadline& deadline) {
    // FUTEX_WAIT_BITSET takes an absolute time on CLOCK_MONOTONIC, so retries after EINTR
    // do not stretch the wait.
    long rc = ::syscall(SYS_futex, word, FUTEX_WAIT_BITSET, expected, deadline.absolute(), nullptr,
                        FUTEX_BITSET_MATCH_ANY);
    return rc == 0 ? 0 : errno;
}

}  // namespace

Deadline::Deadline(DWORD milliseconds) {
    if (milliseconds == INFINITE)
        return;
    infinite_ = false;
    at_ = addMilliseconds(now(), milliseconds);
}

bool Deadline::expired() const {
    return !infinite_ && !before(now(), at_);
}

Deadline Deadline::capped(DWORD milliseconds) const {
    Deadline cap(milliseconds);
    if (infinite_ || before(cap.at_, at_))
        return cap;
    return *this;
}

int futexWait(const std::atomic<std::uint32_t>* word, std::uint32_t expected,
              const Deadline& deadline) {
    return futexWaitRaw(word, expected, deadline);
}

int futexWait(const int* word, int expected, const Deadline& deadline) {
    return futexWaitRaw(word, static_cast<std::uint32_t>(expected), deadline);
}

void futexWake(const void* word, int count) {
    ::syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0);
}

int futexWaitMany(const FutexWatch* watches, unsigned count, const Deadline& deadline, int* error) {
    if (count == 0 || count > kMaxWatches) {
        *error = EINVAL;
        return -1;
    }
    struct futex_waitv vector[kMaxWatches] = {};
    for (unsigned i = 0; i < count; ++i) {
        vector[i].val = watches[i].expected;
        vector[i].uaddr = reinterpret_cast<std::uintptr_t>(watches[i].word);
        vector[i].flags = FUTEX_32;
    }
    long rc = ::syscall(kFutexWaitvSyscall, vector, count, 0, deadline.absolute(), CLOCK_MONOTONIC);
    if (rc >= 0)
        return static_cast<int>(rc);
    *error = errno;
    if (*error == ENOSYS)
        g_waitvState.store(WaitvState::Missing);
    return -1;
}

bool futexWaitManySupported() {
    WaitvState state = g_waitvState.load();
    if (state == WaitvState::Unknown) {
        // A call with no words asks the kernel whether it knows the call at all.
        long rc = ::syscall(kFutexWaitvSyscall, nullptr, 0, 0, nullptr, CLOCK_MONOTONIC);
        state = rc < 0 && errno == ENOSYS ? WaitvState::Missing : WaitvState::Available;
        WaitvState expected = WaitvState::Unknown;
        g_waitvState.compare_exchange_strong(expected, state);
        state = g_waitvState.load();
    }
    return state == WaitvState::Available;
}

void setFutexWaitManyEnabled(bool enabled) {
    g_waitvState.store(enabled ? WaitvState::Unknown : WaitvState::Disabled);
}

}  // namespace kyos::sync_internal
