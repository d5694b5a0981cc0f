#include "os/sync/SyncState.h"

#include <linux/futex.h>

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <mutex>

#include "os/sync/Futex.h"
#include "os/sync/MutexCache.h"
#include "os/sync/WaitSlots.h"

namespace kyos::sync_internal {
namespace {

int initRobustMutex(pthread_mutex_t* mutex, int type) {
    pthread_mutexattr_t attributes;
    int rc = pthread_mutexattr_init(&attributes);
    if (rc != 0)
        return rc;
    rc = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    if (rc == 0)
        rc = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    if (rc == 0)
        rc = pthread_mutexattr_settype(&attributes, type);
    if (rc == 0)
        rc = pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return rc;
}

int initCommon(SyncState* state, ObjectKind kind) {
    state->kind = kind;
    return initRobustMutex(&state->guard, PTHREAD_MUTEX_NORMAL);
}

}  // namespace

int initMutexState(SyncState* state) {
    int rc = initCommon(state, ObjectKind::Mutex);
    return rc != 0 ? rc : initRobustMutex(&state->token, PTHREAD_MUTEX_RECURSIVE);
}

int initEventState(SyncState* state, bool manualReset, bool signaled) {
    state->manualReset = manualReset ? 1 : 0;
    state->signaled = signaled ? 1 : 0;
    return initCommon(state, ObjectKind::Event);
}

int initSemaphoreState(SyncState* state, std::int32_t initial, std::int32_t maximum) {
    state->count = initial;
    state->maximum = maximum;
    return initCommon(state, ObjectKind::Semaphore);
}

int initSectionState(SyncState* state) {
    return initCommon(state, ObjectKind::Section);
}

bool lockGuard(SyncState* state) {
    int rc = pthread_mutex_lock(&state->guard);
    // The dead holder was inside one of the few-line updates of this file; the state it
    // left is used as it stands.
    if (rc == EOWNERDEAD)
        rc = pthread_mutex_consistent(&state->guard);
    return rc == 0;
}

void unlockGuard(SyncState* state) {
    pthread_mutex_unlock(&state->guard);
}

GuardLock::GuardLock(SyncState* state) : state_(lockGuard(state) ? state : nullptr) {}

GuardLock::~GuardLock() {
    unlock();
}

void GuardLock::unlock() {
    if (state_ != nullptr)
        unlockGuard(state_);
    state_ = nullptr;
}

void PendingWakes::announce(SyncState* state) {
    state->sequence.fetch_add(1, std::memory_order_release);
    std::uint32_t count = state->sequenceSleepers;
    if (count > 0) {
        sequence_ = &state->sequence;
        sequenceCount_ =
            count > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
    }
    collectSlots(state);
}

void PendingWakes::collectSlots(SyncState* state) {
    if (slotWaitersIn(state->waiters.load(std::memory_order_relaxed)) == 0)
        return;
    std::uint64_t collected = 0;
    for (std::uint32_t word = 0; word < kWaitSlotCount / 64; ++word) {
        std::uint64_t bits = state->slotBits[word];
        while (bits != 0) {
            int bit = __builtin_ctzll(bits);
            bits &= bits - 1;
            slots_.push_back(word * 64 + static_cast<std::uint32_t>(bit));
            ++collected;
        }
        state->slotBits[word] = 0;
    }
    state->waiters.fetch_sub(collected * kSlotWaiter, std::memory_order_relaxed);
}

void PendingWakes::send() {
    if (sequence_ != nullptr)
        futexWake(sequence_, sequenceCount_);
    sequence_ = nullptr;
    if (!slots_.empty()) {
        WaitSlotTable* table = WaitSlotTable::instance();
        if (table != nullptr) {
            for (std::uint32_t slot : slots_)
                table->wake(slot);
        }
        slots_.clear();
    }
}

void registerSlot(SyncState* state, std::uint32_t slot) {
    std::uint64_t mask = std::uint64_t{1} << (slot % 64);
    std::uint64_t& word = state->slotBits[slot / 64];
    std::uint64_t added = (word & mask) == 0 ? kSlotWaiter : 0;
    word |= mask;
    // Always a read-modify-write, even when the bit was set already: it orders this
    // waiter's next look at a mutex token against a releaser's look at the count (see
    // wakeAfterTokenRelease()).
    state->waiters.fetch_add(added, std::memory_order_acq_rel);
}

void unregisterSlot(SyncState* state, std::uint32_t slot) {
    std::uint64_t mask = std::uint64_t{1} << (slot % 64);
    std::uint64_t& word = state->slotBits[slot / 64];
    if ((word & mask) != 0) {
        word &= ~mask;
        state->waiters.fetch_sub(kSlotWaiter, std::memory_order_relaxed);
    }
}

namespace {

// Raised in a forked child, whose only thread has a new id but keeps its parent thread's
// thread-local copy of the old one.
std::atomic<std::uint32_t> g_forkGeneration{0};

void afterForkInChild() {
    g_forkGeneration.fetch_add(1, std::memory_order_relaxed);
}

const int g_forkHandlerRegistered = pthread_atfork(nullptr, nullptr, &afterForkInChild);

struct CachedId {
    std::uint32_t generation = UINT32_MAX;
    std::uint32_t id = 0;
};

// Asked on every release of a mutex: initial-exec, so that reading it is one load relative
// to the thread pointer rather than a call into the dynamic linker.
__attribute__((tls_model("initial-exec"))) thread_local CachedId t_callerId;

}  // namespace

std::uint32_t callerThreadId() {
    std::uint32_t generation = g_forkGeneration.load(std::memory_order_relaxed);
    if (t_callerId.generation != generation) {
        t_callerId.id = static_cast<std::uint32_t>(::gettid());
        t_callerId.generation = generation;
    }
    return t_callerId.id;
}

namespace {

// The one place that knows where glibc keeps a mutex's futex word: in __lock, in the
// kernel's robust futex layout. That is what the kernel writes when an owner dies and
// wakes, so waiting on it is what lets a waiter learn of the death. glibc does not promise
// it: lockWordLayoutHolds() checks it at run time, and the tests check it more fully.
int* lockWord(pthread_mutex_t* mutex) {
    return &mutex->__data.__lock;
}

// Probes a robust mutex of this process: its word names the locking thread while held and
// reads 0 when free, as the kernel's layout has it.
bool probeLockWordLayout() {
    pthread_mutex_t probe;
    if (initRobustMutex(&probe, PTHREAD_MUTEX_RECURSIVE) != 0)
        return false;
    const int* word = lockWord(&probe);
    bool holds = __atomic_load_n(word, __ATOMIC_SEQ_CST) == 0;
    if (pthread_mutex_lock(&probe) == 0) {
        const auto held = static_cast<std::uint32_t>(__atomic_load_n(word, __ATOMIC_SEQ_CST));
        holds = holds && (held & FUTEX_TID_MASK) == static_cast<std::uint32_t>(::gettid()) &&
                (held & FUTEX_OWNER_DIED) == 0;
        pthread_mutex_unlock(&probe);
        holds = holds && __atomic_load_n(word, __ATOMIC_SEQ_CST) == 0;
    } else {
        holds = false;
    }
    pthread_mutex_destroy(&probe);
    return holds;
}

}  // namespace

bool lockWordLayoutHolds() {
    static const bool holds = probeLockWordLayout();
    return holds;
}

int* tokenWord(SyncState* state) {
    return lockWord(&state->token);
}

std::uint32_t loadTokenWord(SyncState* state) {
    return static_cast<std::uint32_t>(__atomic_load_n(tokenWord(state), __ATOMIC_SEQ_CST));
}

std::uint32_t prepareTokenSleep(SyncState* state) {
    int* word = tokenWord(state);
    int seen = __atomic_load_n(word, __ATOMIC_SEQ_CST);
    for (;;) {
        if (!tokenHeldByLiveOwner(static_cast<std::uint32_t>(seen)))
            return 0;
        if ((static_cast<std::uint32_t>(seen) & FUTEX_WAITERS) != 0)
            return static_cast<std::uint32_t>(seen);
        int marked = static_cast<int>(static_cast<std::uint32_t>(seen) | FUTEX_WAITERS);
        if (__atomic_compare_exchange_n(word, &seen, marked, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST))
            return static_cast<std::uint32_t>(marked);
    }
}

void wakeAfterTokenRelease(SyncState* state) {
    // Waiters count themselves with a read-modify-write before they look at the token, and
    // this reads the counts with a read-modify-write after the unlock: the two land in one
    // order on the counter, so either this sees a waiter counted, or the waiter's count
    // came later, synchronised with this, and its look sees the token unlocked. (Fences
    // would do the same, but the thread sanitizer does not model them.)
    std::uint64_t waiters = state->waiters.fetch_add(0, std::memory_order_acq_rel);
    if (tokenSleepersIn(waiters) != 0)
        futexWake(tokenWord(state), INT_MAX);
    if (slotWaitersIn(waiters) != 0) {
        PendingWakes wakes;
        {
            GuardLock guard(state);
            if (guard.locked())
                wakes.collectSlots(state);
        }
        wakes.send();
    }
}

bool tokenOwnedInThisProcess(SyncState* state) {
    std::uint32_t word = loadTokenWord(state);
    if (!tokenHeldByLiveOwner(word))
        return false;
    // Thread ids are unique on the machine; only this process's own show up here. An
    // owner that has ended is gone from /proc only after the kernel marked its robust
    // mutexes, so "gone" also means "no longer written to".
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%u", tokenOwnerThread(word));
    return ::access(path, F_OK) == 0;
}

bool mutexMemoryInUse(SyncState* state) {
    return tokenOwnedInThisProcess(state) || mutexCachedByAnyThread(state);
}

namespace {

struct Lingering {
    SyncState* state;
    std::function<void()> release;
};

// Never destroyed, and reachable, so that leak checkers see kept memory as kept.
std::mutex& lingeringMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::vector<Lingering>& lingering() {
    static std::vector<Lingering>* entries = new std::vector<Lingering>;
    return *entries;
}

// How many entries there are, so that the common case (none) takes no lock.
std::atomic<std::size_t> g_lingeringCount{0};

}  // namespace

void lingerWhileOwned(SyncState* state, std::function<void()> release) {
    {
        std::lock_guard<std::mutex> lock(lingeringMutex());
        lingering().push_back(Lingering{state, std::move(release)});
        g_lingeringCount.store(lingering().size());
    }
    releaseUnownedLingering();
}

void releaseUnownedLingering() {
    if (g_lingeringCount.load() == 0)
        return;
    std::vector<std::function<void()>> releases;
    {
        std::lock_guard<std::mutex> lock(lingeringMutex());
        std::vector<Lingering>& entries = lingering();
        for (auto it = entries.begin(); it != entries.end();) {
            if (mutexMemoryInUse(it->state)) {
                ++it;
                continue;
            }
            releases.push_back(std::move(it->release));
            it = entries.erase(it);
        }
        g_lingeringCount.store(entries.size());
    }
    for (std::function<void()>& release : releases)
        release();
}

}  // namespace kyos::sync_internal
