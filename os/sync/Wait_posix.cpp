// The waits of os/sync/Sync.h: on one object, on any of several, on all of several.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <memory>
#include <vector>

#include "os/LastError.h"
#include "os/sync/Futex.h"
#include "os/sync/KernelObject.h"
#include "os/sync/MutexCache.h"
#include "os/sync/Sync.h"
#include "os/sync/WaitSlots.h"

namespace kyos {
namespace {

using namespace sync_internal;

// On a kernel without futex_waitv, how often a wait on several objects looks again at a
// mutex whose owner may die meanwhile (futex_waitv would wake it at the death).
constexpr DWORD kOwnerDeathPollMilliseconds = 50;

DWORD timedOut() {
    setLastError(WAIT_TIMEOUT);
    return WAIT_TIMEOUT;
}

DWORD failed(DWORD code) {
    setLastError(code);
    return WAIT_FAILED;
}

DWORD failedLock(int rc) {
    return failed(rc == ENOTRECOVERABLE ? ERROR_INVALID_HANDLE : win32FromErrno(rc));
}

// ---- Mutexes --------------------------------------------------------------------------

bool tookToken(int rc) {
    return rc == 0 || rc == EOWNERDEAD;
}

// After the token was taken with result `rc`: repairs it and tells whether the caller
// took over an abandoned mutex.
bool finishTake(SyncState* state, int rc) {
    bool abandoned = rc == EOWNERDEAD;
    if (abandoned)
        pthread_mutex_consistent(&state->token);
    if (state->abandonedPending.load(std::memory_order_relaxed) != 0 &&
        state->abandonedPending.exchange(0) != 0)
        abandoned = true;
    return abandoned;
}

// Gives back a token a wait for all took but cannot use. An abandonment it took over
// stays recorded for the next taker.
void giveBack(SyncState* state, int rc) {
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(&state->token);
        state->abandonedPending.store(1);
    }
    pthread_mutex_unlock(&state->token);
}

// A free token, a dead owner's token, or one the calling thread holds (recursion).
bool tokenAvailableToCaller(SyncState* state) {
    std::uint32_t word = loadTokenWord(state);
    return !tokenHeldByLiveOwner(word) || tokenOwnerThread(word) == callerThreadId();
}

void sleepOnToken(SyncState* state, const Deadline& deadline) {
    // Counted before looking, so that a releaser either sees the count or this sees the
    // token free (wakeAfterTokenRelease() holds the other half).
    state->waiters.fetch_add(kTokenSleeper, std::memory_order_acq_rel);
    std::uint32_t expected = prepareTokenSleep(state);
    if (expected != 0)
        futexWait(tokenWord(state), static_cast<int>(expected), deadline);
    state->waiters.fetch_sub(kTokenSleeper, std::memory_order_relaxed);
}

DWORD waitMutex(SyncState* state, const Deadline& deadline) {
    for (;;) {
        int rc = pthread_mutex_trylock(&state->token);
        if (tookToken(rc))
            return finishTake(state, rc) ? WAIT_ABANDONED : WAIT_OBJECT_0;
        if (rc != EBUSY)
            return failedLock(rc);
        if (deadline.expired())
            return timedOut();
        sleepOnToken(state, deadline);
    }
}

// ---- Events and semaphores ------------------------------------------------------------

// What a waiter knew of its event when it last went to sleep: a pulse since then lets
// it through.
struct PulseTicket {
    bool present = false;
    std::uint32_t generation = 0;
};

// Under the guard.
bool signalled(const SyncState* state, const PulseTicket& ticket) {
    if (state->kind == ObjectKind::Semaphore)
        return state->count > 0;
    if (state->signaled != 0)
        return true;
    return ticket.present && state->pulseGeneration != ticket.generation &&
           (state->manualReset != 0 || state->pulseGrants > 0);
}

// Under the guard, after signalled() said yes.
void consume(SyncState* state) {
    if (state->kind == ObjectKind::Semaphore) {
        --state->count;
    } else if (state->manualReset == 0) {
        if (state->signaled != 0)
            state->signaled = 0;
        else
            --state->pulseGrants;
    }
}

DWORD waitSignal(SyncState* state, const Deadline& deadline) {
    PulseTicket ticket;
    bool counted = false;
    for (;;) {
        std::uint32_t seen;
        {
            GuardLock guard(state);
            if (!guard.locked())
                return failed(ERROR_INVALID_HANDLE);
            if (counted) {
                --state->sequenceSleepers;
                counted = false;
            }
            if (signalled(state, ticket)) {
                consume(state);
                return WAIT_OBJECT_0;
            }
            if (deadline.expired())
                return timedOut();
            ticket = PulseTicket{true, state->pulseGeneration};
            ++state->sequenceSleepers;
            counted = true;
            seen = state->sequence.load(std::memory_order_relaxed);
        }
        futexWait(&state->sequence, seen, deadline);
    }
}

// The same, with the deadline set only when the mutex is not there to take: an
// uncontended take then reads no clock.
DWORD waitMutex(SyncState* state, DWORD milliseconds) {
    int rc = pthread_mutex_trylock(&state->token);
    if (tookToken(rc))
        return finishTake(state, rc) ? WAIT_ABANDONED : WAIT_OBJECT_0;
    if (rc != EBUSY)
        return failedLock(rc);
    return waitMutex(state, Deadline(milliseconds));
}

DWORD waitOne(SyncState* state, const Deadline& deadline) {
    return state->kind == ObjectKind::Mutex ? waitMutex(state, deadline)
                                            : waitSignal(state, deadline);
}

// ---- Several objects ------------------------------------------------------------------

struct Entry {
    KernelObject* object;
    SyncState* state;
    PulseTicket ticket;
    int tokenResult = EBUSY;  // wait for all: what trying the token gave
};

// The slot of one wait on several objects: its bits are cleared from every object and
// the slot given back, however the wait ends.
class SlotLease {
public:
    SlotLease(WaitSlotTable* table, std::uint32_t slot, const std::vector<Entry>& entries)
        : table_(table), slot_(slot), entries_(entries) {}
    ~SlotLease() {
        for (const Entry& entry : entries_) {
            GuardLock guard(entry.state);
            if (guard.locked())
                unregisterSlot(entry.state, slot_);
        }
        table_->release(slot_);
    }
    SlotLease(const SlotLease&) = delete;
    SlotLease& operator=(const SlotLease&) = delete;

private:
    WaitSlotTable* table_;
    std::uint32_t slot_;
    const std::vector<Entry>& entries_;
};

// A token's wake-up that came to this wait. The kernel wakes one sleeper of a token when
// its owner dies, and glibc one when it is released; if that one was this wait and it
// does not end up with the token, the wake-up is passed on to the token's other sleepers.
class TokenWakeDebt {
public:
    void owe(SyncState* token) { token_ = token; }
    // Passes the wake-up on unless a live thread (this one, say) holds the token: its
    // release wakes the sleepers then.
    void settle() {
        if (token_ != nullptr && !tokenHeldByLiveOwner(loadTokenWord(token_)))
            futexWake(tokenWord(token_), INT_MAX);
        token_ = nullptr;
    }

private:
    SyncState* token_ = nullptr;
};

// The words a wait on several objects sleeps on: its slot's first, then the tokens of
// mutexes that live owners hold.
class SleepSet {
public:
    SleepSet(WaitSlotTable* table, std::uint32_t slot, std::uint32_t seen) {
        watches_[0] = FutexWatch{&table->word(slot), seen};
        slotWord_ = &table->word(slot);
        seen_ = seen;
    }

    // Adds the token of `entry`; false when the token is not held by a live owner any
    // more (then look again instead of sleeping).
    bool addToken(std::size_t entry, SyncState* state) {
        std::uint32_t expected = prepareTokenSleep(state);
        if (expected == 0)
            return false;
        watches_[count_] = FutexWatch{tokenWord(state), expected};
        entries_[count_] = entry;
        ++count_;
        return true;
    }

    // Sleeps; returns the index of the entry whose token woke it, or -1.
    int sleep(const Deadline& deadline) {
        if (count_ > 1 && futexWaitManySupported()) {
            int error = 0;
            int woken = futexWaitMany(watches_, count_, deadline, &error);
            return woken > 0 ? static_cast<int>(entries_[woken]) : -1;
        }
        // Without futex_waitv only the slot can be slept on; a held token's owner may die
        // unannounced, so look again now and then.
        futexWait(slotWord_, seen_,
                  count_ > 1 ? deadline.capped(kOwnerDeathPollMilliseconds) : deadline);
        return -1;
    }

private:
    FutexWatch watches_[1 + MAXIMUM_WAIT_OBJECTS];
    std::size_t entries_[1 + MAXIMUM_WAIT_OBJECTS] = {};
    unsigned count_ = 1;
    const std::atomic<std::uint32_t>* slotWord_;
    std::uint32_t seen_;
};

DWORD waitForAny(std::vector<Entry>& entries, WaitSlotTable* table, std::uint32_t slot,
                 const Deadline& deadline) {
    TokenWakeDebt debt;
    for (;;) {
        SleepSet sleepSet(table, slot, table->word(slot).load(std::memory_order_acquire));
        bool lookAgain = false;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            SyncState* state = entries[i].state;
            GuardLock guard(state);
            if (!guard.locked()) {
                debt.settle();
                return failed(ERROR_INVALID_HANDLE);
            }
            // Registered before looking: whoever changes the object after the look
            // finds the bit (for a mutex, see wakeAfterTokenRelease()).
            registerSlot(state, slot);
            if (state->kind == ObjectKind::Mutex) {
                guard.unlock();
                int rc = pthread_mutex_trylock(&state->token);
                if (tookToken(rc)) {
                    bool abandoned = finishTake(state, rc);
                    debt.settle();
                    return (abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + static_cast<DWORD>(i);
                }
                if (rc != EBUSY) {
                    debt.settle();
                    return failedLock(rc);
                }
                if (!sleepSet.addToken(i, state))
                    lookAgain = true;
            } else {
                if (signalled(state, entries[i].ticket)) {
                    consume(state);
                    guard.unlock();
                    debt.settle();
                    return WAIT_OBJECT_0 + static_cast<DWORD>(i);
                }
                entries[i].ticket = PulseTicket{true, state->pulseGeneration};
            }
        }
        debt.settle();
        if (lookAgain)
            continue;
        if (deadline.expired())
            return timedOut();
        int woken = sleepSet.sleep(deadline);
        if (woken >= 0)
            debt.owe(entries[static_cast<std::size_t>(woken)].state);
    }
}

// Holds the guards of all entries, taken in the machine-wide order.
class GuardSet {
public:
    GuardSet(const std::vector<Entry>& entries, const std::vector<std::size_t>& order) {
        for (std::size_t i : order) {
            if (!lockGuard(entries[i].state)) {
                ok_ = false;
                break;
            }
            held_.push_back(entries[i].state);
        }
    }
    ~GuardSet() { unlockAll(); }
    GuardSet(const GuardSet&) = delete;
    GuardSet& operator=(const GuardSet&) = delete;

    bool ok() const { return ok_; }
    void unlockAll() {
        for (auto it = held_.rbegin(); it != held_.rend(); ++it)
            unlockGuard(*it);
        held_.clear();
    }

private:
    bool ok_ = true;
    std::vector<SyncState*> held_;
};

std::vector<std::size_t> lockOrder(const std::vector<Entry>& entries) {
    std::vector<std::size_t> order(entries.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&entries](std::size_t a, std::size_t b) {
        const KernelObject* x = entries[a].object;
        const KernelObject* y = entries[b].object;
        if (x->named() != y->named())
            return !x->named();
        if (!x->named())
            return std::less<const KernelObject*>()(x, y);
        if (x->keyHigh() != y->keyHigh())
            return x->keyHigh() < y->keyHigh();
        return x->keyLow() < y->keyLow();
    });
    return order;
}

DWORD waitForAll(std::vector<Entry>& entries, WaitSlotTable* table, std::uint32_t slot,
                 const Deadline& deadline) {
    std::vector<std::size_t> order = lockOrder(entries);
    TokenWakeDebt debt;
    for (;;) {
        SleepSet sleepSet(table, slot, table->word(slot).load(std::memory_order_acquire));
        GuardSet guards(entries, order);
        if (!guards.ok()) {
            guards.unlockAll();
            debt.settle();
            return failed(ERROR_INVALID_HANDLE);
        }
        for (Entry& entry : entries)
            registerSlot(entry.state, slot);

        // Look first and take only when everything is there: taking and giving back
        // would wake the other waits for all of these objects, and they us, without end.
        bool allThere = true;
        for (Entry& entry : entries) {
            bool there = entry.state->kind == ObjectKind::Mutex
                             ? tokenAvailableToCaller(entry.state)
                             : signalled(entry.state, entry.ticket);
            allThere = allThere && there;
        }
        bool lookAgain = false;
        std::vector<SyncState*> givenBack;
        if (allThere) {
            // The guards keep every other wait for all out; only a single-object wait on
            // a mutex can still take one first.
            for (Entry& entry : entries) {
                if (entry.state->kind == ObjectKind::Mutex) {
                    entry.tokenResult = pthread_mutex_trylock(&entry.state->token);
                    lookAgain = lookAgain || !tookToken(entry.tokenResult);
                }
            }
            if (!lookAgain) {
                DWORD result = WAIT_OBJECT_0;
                for (std::size_t i = 0; i < entries.size(); ++i) {
                    SyncState* state = entries[i].state;
                    if (state->kind != ObjectKind::Mutex)
                        consume(state);
                    else if (finishTake(state, entries[i].tokenResult) && result == WAIT_OBJECT_0)
                        result = WAIT_ABANDONED_0 + static_cast<DWORD>(i);
                }
                guards.unlockAll();
                debt.settle();
                return result;
            }
            for (Entry& entry : entries) {
                if (entry.state->kind == ObjectKind::Mutex && tookToken(entry.tokenResult)) {
                    giveBack(entry.state, entry.tokenResult);
                    givenBack.push_back(entry.state);
                }
                entry.tokenResult = EBUSY;
            }
        }
        for (std::size_t i = 0; i < entries.size(); ++i) {
            SyncState* state = entries[i].state;
            if (state->kind != ObjectKind::Mutex)
                entries[i].ticket = PulseTicket{true, state->pulseGeneration};
            else if (!tokenAvailableToCaller(state) && !sleepSet.addToken(i, state))
                lookAgain = true;
        }
        guards.unlockAll();
        for (SyncState* state : givenBack)
            wakeAfterTokenRelease(state);
        debt.settle();
        if (lookAgain)
            continue;
        if (deadline.expired())
            return timedOut();
        int woken = sleepSet.sleep(deadline);
        if (woken >= 0)
            debt.owe(entries[static_cast<std::size_t>(woken)].state);
    }
}

}  // namespace

DWORD waitForSingleObject(HANDLE object, DWORD milliseconds) {
    // A mutex this thread has waited on through this handle before: its memory stays while
    // the record does, so the handle needs no use (see MutexCache.h).
    if (SyncState* mutex = cachedMutex(object))
        return waitMutex(mutex, milliseconds);
    HandleRef<SyncHandle> found = lookupWaitable(object);
    if (!found)
        return WAIT_FAILED;
    KernelObject* kernelObject = found->object().get();
    if (kernelObject->kind() == ObjectKind::Mutex) {
        cacheMutex(object, kernelObject->state());
        return waitMutex(kernelObject->state(), milliseconds);
    }
    return waitOne(kernelObject->state(), Deadline(milliseconds));
}

DWORD waitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (handles == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS)
        return failed(ERROR_INVALID_PARAMETER);
    Deadline deadline(milliseconds);
    // Kept for the whole wait, so that closing a handle meanwhile frees nothing under it.
    std::vector<HandleRef<SyncHandle>> found;
    std::vector<KernelObject*> objects;
    found.reserve(count);
    objects.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        found.push_back(lookupWaitable(handles[i]));
        if (!found.back())
            return WAIT_FAILED;
        objects.push_back(found.back()->object().get());
    }
    if (waitAll) {
        for (DWORD i = 0; i < count; ++i) {
            for (DWORD j = i + 1; j < count; ++j) {
                if (objects[i] == objects[j])
                    return failed(ERROR_INVALID_PARAMETER);
            }
        }
    }
    if (count == 1)
        return waitOne(objects[0]->state(), deadline);

    WaitSlotTable* table = WaitSlotTable::instance();
    if (table == nullptr)
        return WAIT_FAILED;
    std::uint32_t slot = table->acquire();
    if (slot == kWaitSlotCount)
        return WAIT_FAILED;
    std::vector<Entry> entries;
    entries.reserve(count);
    for (KernelObject* object : objects)
        entries.push_back(Entry{object, object->state(), PulseTicket{}});
    SlotLease lease(table, slot, entries);
    return waitAll ? waitForAll(entries, table, slot, deadline)
                   : waitForAny(entries, table, slot, deadline);
}

}  // namespace kyos
