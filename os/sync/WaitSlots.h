// The machine's table of wait slots: one futex word per wait on several objects in
// progress, in a shared memory object that every process maps. Internal to os/sync.
//
// A thread that waits on several objects takes a free slot, sets the slot's bit in each
// object and sleeps on the slot's word; whoever signals one of the objects raises the
// word and wakes it. The table is never removed: like the kernel's own tables it belongs
// to the machine, and it is 64 KiB. It is open to every user (mode 0666), since the
// objects waited on may be; a slot whose owner died is taken back when the table runs
// short.
//
// Threads: every function may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/Win32.h"
#include "os/sync/SyncState.h"

namespace kyos::sync_internal {

struct WaitSlot {
    std::atomic<std::uint32_t> word;
    std::atomic<std::int32_t> ownerPid;
    // Written after ownerPid is taken and cleared before it is given back, so that a
    // reader who sees a start time sees the owner's.
    std::atomic<std::uint64_t> ownerStart;
};

class WaitSlotTable {
public:
    // The table, mapped on first use; null with the last error set when it cannot be.
    static WaitSlotTable* instance();

    // A free slot for the calling thread, or kWaitSlotCount (last error
    // ERROR_NO_SYSTEM_RESOURCES) when every slot is in use.
    std::uint32_t acquire();
    void release(std::uint32_t slot);

    std::atomic<std::uint32_t>& word(std::uint32_t slot) { return slots_[slot].word; }
    void wake(std::uint32_t slot);

private:
    explicit WaitSlotTable(WaitSlot* slots) : slots_(slots) {}
    std::uint32_t tryAcquire(std::int32_t pid, std::uint64_t start);
    void reclaimAbandoned();

    WaitSlot* slots_;
};

}  // namespace kyos::sync_internal
