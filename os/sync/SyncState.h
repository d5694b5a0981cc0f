// The state of one mutex, event or semaphore, as it lies in memory that several
// processes (named objects) or one process (unnamed objects) map. Internal to os/sync.
//
// Locking: `guard`, a robust process-shared mutex, guards the plain fields for a few
// instructions at a time; a process that dies holding it only hands the next locker
// EOWNERDEAD, which GuardLock repairs. Waiting is done on futex words, never on a
// process-shared condition variable: a waiter killed inside pthread_cond_wait() leaves
// that variable's waiter accounting behind, which can hold up its later signals for
// good, whereas a futex keeps no state for a sleeper that is gone.
//
// A mutex is a second robust mutex, `token`, held by the owning thread for as long as it
// owns the kernel mutex (recursive, as Windows mutexes are). Its owner's death, thread or
// process, is then recorded by the kernel itself (robust futex list): the next taker gets
// EOWNERDEAD, which is WAIT_ABANDONED. The token's lock word follows the kernel's robust
// futex layout (owner thread id | FUTEX_WAITERS | FUTEX_OWNER_DIED); waiters sleep on it
// with the same protocol glibc uses, so that they are woken on the owner's death too.
//
// Waits on several objects use the machine's wait-slot table (WaitSlots.h): each object
// keeps a bit per slot, and whoever signals the object wakes every slot whose bit is set
// and clears the bit (a waiter sets it again on each pass).
#pragma once

#include <linux/futex.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

namespace kyos::sync_internal {

enum class ObjectKind : std::uint32_t { Mutex = 1, Event = 2, Semaphore = 3, Section = 4 };

// Waits on several objects that may run at once on the machine: each holds one slot.
// Every object keeps a bit per slot, so this bounds the objects' size too.
constexpr std::uint32_t kWaitSlotCount = 4096;

struct SyncState {
    pthread_mutex_t guard;
    ObjectKind kind;

    // Mutex. `abandonedPending` is written only by a thread holding the token: a wait for
    // all that took an abandoned token and had to give it back, or a call of
    // releaseMutexAsAbandoned(), records the abandonment here for the next taker.
    pthread_mutex_t token;
    std::atomic<std::uint32_t> abandonedPending;

    // Event. A pulse raises `pulseGeneration`; a waiter that went to sleep under an older
    // generation was present at the pulse. An auto-reset pulse lets `pulseGrants` of them
    // through.
    std::uint32_t manualReset;
    std::uint32_t signaled;
    std::uint32_t pulseGeneration;
    std::uint32_t pulseGrants;

    // Semaphore.
    std::int32_t count;
    std::int32_t maximum;

    // Single-object waiters of events and semaphores sleep on `sequence`, which every
    // change that may let one through raises.
    std::atomic<std::uint32_t> sequence;
    std::uint32_t sequenceSleepers;
    // Two counts in one word, so that a mutex's release reads both with one
    // read-modify-write: threads asleep on the token (kTokenSleeper each, changed by the
    // sleepers themselves) and set slot bits (kSlotWaiter each, changed under the guard).
    std::atomic<std::uint64_t> waiters;
    std::uint64_t slotBits[kWaitSlotCount / 64];
};

constexpr std::uint64_t kTokenSleeper = 1;
constexpr std::uint64_t kSlotWaiter = std::uint64_t{1} << 32;

inline std::uint32_t tokenSleepersIn(std::uint64_t waiters) {
    return static_cast<std::uint32_t>(waiters);
}
inline std::uint32_t slotWaitersIn(std::uint64_t waiters) {
    return static_cast<std::uint32_t>(waiters >> 32);
}

// Initialises a state in zeroed memory. Returns an errno value.
int initMutexState(SyncState* state);
int initEventState(SyncState* state, bool manualReset, bool signaled);
int initSemaphoreState(SyncState* state, std::int32_t initial, std::int32_t maximum);
// Sections have no state to wait on, only the guard (for the holder table).
int initSectionState(SyncState* state);

// Takes a state's guard, repairing it after a holder's death; false only when it cannot be
// taken (a corrupted object).
bool lockGuard(SyncState* state);
void unlockGuard(SyncState* state);

// Holds a state's guard for its scope.
class GuardLock {
public:
    explicit GuardLock(SyncState* state);
    ~GuardLock();
    GuardLock(const GuardLock&) = delete;
    GuardLock& operator=(const GuardLock&) = delete;

    // False only when the guard could not be taken (a corrupted object).
    bool locked() const { return state_ != nullptr; }
    void unlock();

private:
    SyncState* state_;
};

// Wake-ups gathered under a guard and sent after it is released, so that the woken do not
// run straight into the guard.
class PendingWakes {
public:
    PendingWakes() = default;
    PendingWakes(const PendingWakes&) = delete;
    PendingWakes& operator=(const PendingWakes&) = delete;

    // Under the guard: raises the state's sequence, wakes every one of its sleepers and
    // every registered slot (clearing the slot bits). Every sleeper, not just as many as
    // may get through: a woken waiter can be killed before it takes what it was woken
    // for, and nothing would then wake the others to it. Those that find nothing sleep
    // again.
    void announce(SyncState* state);
    // Under the guard: only the registered slots.
    void collectSlots(SyncState* state);
    // After the guard is released.
    void send();

private:
    std::atomic<std::uint32_t>* sequence_ = nullptr;
    int sequenceCount_ = 0;
    std::vector<std::uint32_t> slots_;
};

// Under the guard: the bit of a wait slot.
void registerSlot(SyncState* state, std::uint32_t slot);
void unregisterSlot(SyncState* state, std::uint32_t slot);

// The calling thread's kernel id, as the token's lock word names its owner.
std::uint32_t callerThreadId();

// The token's lock word (see the header comment). Taken from glibc's mutex, whose layout
// is not a public interface.
int* tokenWord(SyncState* state);
// Whether glibc's mutexes keep their lock word where tokenWord() looks, as checked once
// per process; mutexes cannot be made or opened when not.
bool lockWordLayoutHolds();
std::uint32_t loadTokenWord(SyncState* state);
// The word names a live owner: some thread holds the token and has not died.
inline bool tokenHeldByLiveOwner(std::uint32_t word) {
    return (word & FUTEX_TID_MASK) != 0 && (word & FUTEX_OWNER_DIED) == 0;
}
inline std::uint32_t tokenOwnerThread(std::uint32_t word) {
    return word & FUTEX_TID_MASK;
}

// Marks the token as having a sleeper (FUTEX_WAITERS), so that its release and its owner's
// death wake the word. Returns the value to sleep on, or 0 when the token is no longer
// held by a live owner (then do not sleep: try it again).
std::uint32_t prepareTokenSleep(SyncState* state);

// After the token was unlocked: wakes its sleepers and the registered slots.
void wakeAfterTokenRelease(SyncState* state);

// A thread of this process owns the mutex: then glibc (on the thread's next robust lock
// or unlock) and the kernel (when the thread ends) still write to its memory.
bool tokenOwnedInThisProcess(SyncState* state);

// A thread of this process owns the mutex, or records it in its cache of mutexes waited on
// (MutexCache.h) and may follow the record into its memory at any moment.
bool mutexMemoryInUse(SyncState* state);

// Keeps the memory of a mutex whose last handle closed while it was in use (see
// mutexMemoryInUse()), and calls `release` once it no longer is (checked whenever objects
// are created or closed, and when a thread drops a cache record).
void lingerWhileOwned(SyncState* state, std::function<void()> release);
void releaseUnownedLingering();

}  // namespace kyos::sync_internal
