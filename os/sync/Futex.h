// Futex calls and wait deadlines. Internal to os/sync.
//
// Every futex word of os/sync may live in memory shared between processes, so none of
// these calls use the private-futex flag: the kernel then keys a word by the memory it
// is in, and a wake in one process reaches a waiter in another.
//
// Threads: the functions keep no state but the process-wide choice of
// futexWaitManySupported().
#pragma once

#include <linux/futex.h>
#include <time.h>

#include <atomic>
#include <cstdint>

#include "os/Win32.h"

namespace kyos::sync_internal {

// A point on the monotonic clock, or none (INFINITE).
class Deadline {
public:
    explicit Deadline(DWORD milliseconds);

    bool infinite() const { return infinite_; }
    bool expired() const;
    // For the futex calls: the absolute time, or null for no limit.
    const timespec* absolute() const { return infinite_ ? nullptr : &at_; }
    // This deadline, or `milliseconds` from now when that comes first.
    Deadline capped(DWORD milliseconds) const;

private:
    Deadline() = default;
    bool infinite_ = true;
    timespec at_{};
};

// FUTEX_WAIT until `deadline`: 0 when woken, else the errno (EAGAIN: the word did not
// hold `expected`; ETIMEDOUT; EINTR).
int futexWait(const std::atomic<std::uint32_t>* word, std::uint32_t expected,
              const Deadline& deadline);
int futexWait(const int* word, int expected, const Deadline& deadline);

// FUTEX_WAKE: wakes up to `count` waiters of the word.
void futexWake(const void* word, int count);

// One word of a wait on several.
struct FutexWatch {
    const void* word;
    std::uint32_t expected;
};

// futex_waitv: sleeps until one of the words is woken. Returns the index of the word that
// woke it, or -1 with `*error` set (EAGAIN: a word did not hold its expected value;
// ETIMEDOUT; EINTR). At most 128 words.
int futexWaitMany(const FutexWatch* watches, unsigned count, const Deadline& deadline, int* error);

// Whether the kernel has futex_waitv (Linux 5.16 and later). Tests may switch it off to
// run the fallback that older kernels take.
bool futexWaitManySupported();
void setFutexWaitManyEnabled(bool enabled);

}  // namespace kyos::sync_internal
