#include "os/Handle.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#include "os/LastError.h"

namespace kyos {

static_assert(sizeof(std::uintptr_t) == 8,
              "a HANDLE carries a 24-bit slot and a 32-bit generation; a 32-bit build needs a "
              "narrower layout");

namespace detail {

// Every word of a slot changes only through its atomic state, or while the slot is free
// and owned by the one thread that took it off the free list.
//
// state: generation (bits 32-63) | kOpen | number of users (bits 0-30). A lookup adds a
// user only while kOpen is set and the generation is the handle's; closeHandle clears
// kOpen; whoever leaves the state at "not open, no users" releases the object and
// frees the slot under the next generation.
//
// A slot fills a cache line, so that threads busy on neighbouring handles do not slow
// each other down.
struct alignas(64) HandleSlot {
    std::atomic<std::uint64_t> state{0};
    HandleObject* object = nullptr;
    std::atomic<std::uint32_t> nextFree{0};  // index + 1 of the next free slot, 0: none
    std::uint32_t index = 0;
};

}  // namespace detail

namespace {

using detail::HandleSlot;

constexpr std::uint64_t kUserMask = (std::uint64_t{1} << 31) - 1;
constexpr std::uint64_t kOpen = std::uint64_t{1} << 31;
constexpr int kGenerationShift = 32;

// HANDLE value: kTag (bits 56-63) | slot index (bits 32-55) | generation (bits 0-31).
// A fixed top byte keeps every value clear of null, -1, small integers and the
// predefined registry keys, and makes it a non-canonical, unreadable address on x86-64.
constexpr std::uintptr_t kTag = 0x4B;
constexpr int kTagShift = 56;
constexpr int kIndexShift = 32;
constexpr std::uint32_t kIndexMask = (std::uint32_t{1} << 24) - 1;

// The slots live in chunks that never move or go away, so a slot found by its index stays
// valid whatever other threads do. Chunk c holds kFirstChunkSlots << c slots: a process
// with a few handles takes a few kilobytes, one with millions finds room too.
constexpr int kFirstChunkShift = 6;
constexpr std::uint32_t kFirstChunkSlots = std::uint32_t{1} << kFirstChunkShift;
constexpr int kChunkCount = 18;
constexpr std::uint32_t kSlotCount = kFirstChunkSlots * ((std::uint32_t{1} << kChunkCount) - 1);
static_assert(kSlotCount - 1 <= kIndexMask, "every slot index must fit a HANDLE");

// A slot's first generation, spread by its index, so that neighbouring slots do not share
// generations: a value with a damaged index bit is then very unlikely to name another
// live handle.
constexpr std::uint32_t kGenerationSpread = 0x9E3779B9;

std::uint32_t generationOf(std::uint64_t state) {
    return static_cast<std::uint32_t>(state >> kGenerationShift);
}

std::uint64_t openState(std::uint32_t generation) {
    return (std::uint64_t{generation} << kGenerationShift) | kOpen;
}

// The state is open under `generation`: the handle of that generation is live.
bool isOpenAs(std::uint64_t state, std::uint32_t generation) {
    return (state & kOpen) != 0 && generationOf(state) == generation;
}

HANDLE handleValue(std::uint32_t index, std::uint32_t generation) {
    return reinterpret_cast<HANDLE>(
        (kTag << kTagShift) | (static_cast<std::uintptr_t>(index) << kIndexShift) | generation);
}

class HandleTable {
public:
    constexpr HandleTable() noexcept = default;

    // The slot a HANDLE value names and the generation it claims; null for any value
    // that cannot be a handle of this table. Reads nothing through the value itself.
    HandleSlot* find(HANDLE handle, std::uint32_t* generation) const noexcept {
        std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
        if ((value >> kTagShift) != kTag)
            return nullptr;
        std::uint32_t index = static_cast<std::uint32_t>(value >> kIndexShift) & kIndexMask;
        if (index >= kSlotCount)
            return nullptr;
        *generation = static_cast<std::uint32_t>(value);
        int chunk;
        std::uint32_t offset;
        locate(index, &chunk, &offset);
        HandleSlot* slots = chunks_[chunk].load(std::memory_order_acquire);
        return slots == nullptr ? nullptr : &slots[offset];
    }

    // A free slot, taken by the caller alone; null when the table is full.
    HandleSlot* take() {
        std::uint64_t head = freeHead_.load(std::memory_order_acquire);
        while (static_cast<std::uint32_t>(head) != 0) {
            HandleSlot* slot = existing(static_cast<std::uint32_t>(head) - 1);
            // The slot may be taken and freed again meanwhile, making `nextFree` stale;
            // the head's count, bumped by every change, then fails the exchange.
            std::uint64_t next = bumped(head) | slot->nextFree.load(std::memory_order_relaxed);
            if (freeHead_.compare_exchange_weak(head, next, std::memory_order_acquire,
                                                std::memory_order_acquire))
                return slot;
        }
        // Counted up only when a slot is handed out, so that a limit lowered for a test
        // and raised again leaves no index unused.
        std::uint64_t fresh = nextFresh_.load(std::memory_order_relaxed);
        do {
            if (fresh >= freshLimit_.load(std::memory_order_relaxed))
                return nullptr;
        } while (!nextFresh_.compare_exchange_weak(fresh, fresh + 1, std::memory_order_relaxed));
        std::uint32_t index = static_cast<std::uint32_t>(fresh);
        int chunk;
        std::uint32_t offset;
        locate(index, &chunk, &offset);
        return &chunkAt(chunk)[offset];
    }

    void limitFreshSlots(std::uint32_t slots) noexcept {
        freshLimit_.store(slots < kSlotCount ? slots : kSlotCount, std::memory_order_relaxed);
    }
    std::uint32_t freshSlotsHandedOut() const noexcept {
        return static_cast<std::uint32_t>(nextFresh_.load(std::memory_order_relaxed));
    }

    void giveBack(HandleSlot* slot) noexcept {
        std::uint64_t head = freeHead_.load(std::memory_order_relaxed);
        std::uint64_t next;
        do {
            slot->nextFree.store(static_cast<std::uint32_t>(head), std::memory_order_relaxed);
            next = bumped(head) | (slot->index + 1);
        } while (!freeHead_.compare_exchange_weak(head, next, std::memory_order_release,
                                                  std::memory_order_relaxed));
    }

private:
    // Chunk c starts at index kFirstChunkSlots * (2^c - 1), so index + kFirstChunkSlots
    // has its highest bit at kFirstChunkShift + c.
    static void locate(std::uint32_t index, int* chunk, std::uint32_t* offset) noexcept {
        std::uint32_t shifted = index + kFirstChunkSlots;
        int highest = 31 - __builtin_clz(shifted);
        *chunk = highest - kFirstChunkShift;
        *offset = shifted - (std::uint32_t{1} << highest);
    }

    // The free list's head: a count of its changes (bits 32-63) | index + 1 of the first
    // free slot (0: empty).
    static std::uint64_t bumped(std::uint64_t head) noexcept { return ((head >> 32) + 1) << 32; }

    // A slot that has been handed out before, so its chunk exists.
    HandleSlot* existing(std::uint32_t index) const noexcept {
        int chunk;
        std::uint32_t offset;
        locate(index, &chunk, &offset);
        return &chunks_[chunk].load(std::memory_order_acquire)[offset];
    }

    HandleSlot* chunkAt(int chunk) {
        HandleSlot* slots = chunks_[chunk].load(std::memory_order_acquire);
        if (slots != nullptr)
            return slots;
        std::uint32_t size = kFirstChunkSlots << chunk;
        std::uint32_t first = kFirstChunkSlots * ((std::uint32_t{1} << chunk) - 1);
        HandleSlot* made = new HandleSlot[size];
        for (std::uint32_t i = 0; i < size; ++i) {
            made[i].index = first + i;
            std::uint32_t generation = (first + i) * kGenerationSpread;
            made[i].state.store(std::uint64_t{generation} << kGenerationShift,
                                std::memory_order_relaxed);
        }
        // Two threads may make the same chunk at once; the one that loses frees its own.
        if (chunks_[chunk].compare_exchange_strong(slots, made, std::memory_order_acq_rel,
                                                   std::memory_order_acquire))
            return made;
        delete[] made;
        return slots;
    }

    std::atomic<HandleSlot*> chunks_[kChunkCount] = {};
    std::atomic<std::uint64_t> freeHead_{0};
    std::atomic<std::uint64_t> nextFresh_{0};
    std::atomic<std::uint32_t> freshLimit_{kSlotCount};
};

// Constant-initialised and never destroyed: handles made or closed by other objects'
// static constructors and destructors still find it.
HandleTable g_table;

// Runs close() on the object of a slot that is closed and has no users left, frees the
// object, and frees the slot under the next generation.
DWORD releaseObject(HandleSlot* slot) noexcept {
    HandleObject* object = slot->object;
    slot->object = nullptr;
    DWORD result = object->close();
    delete object;
    std::uint32_t generation = generationOf(slot->state.load(std::memory_order_relaxed)) + 1;
    slot->state.store(std::uint64_t{generation} << kGenerationShift, std::memory_order_relaxed);
    g_table.giveBack(slot);
    return result;
}

}  // namespace

HandleObject::~HandleObject() = default;

namespace detail {

void limitHandleTableForTesting(bool full) noexcept {
    g_table.limitFreshSlots(full ? g_table.freshSlotsHandedOut() : kSlotCount);
}

void setInvalidHandle() noexcept {
    setLastError(ERROR_INVALID_HANDLE);
}

HandleObject* acquireHandle(HANDLE handle, HandleSlot** slot) noexcept {
    std::uint32_t generation = 0;
    HandleSlot* found = g_table.find(handle, &generation);
    if (found != nullptr) {
        // Guessing "open, no users" saves a load in the common case; a wrong guess
        // returns the state as it is.
        std::uint64_t state = openState(generation);
        do {
            if (found->state.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                                   std::memory_order_relaxed)) {
                *slot = found;
                return found->object;
            }
        } while (isOpenAs(state, generation) && (state & kUserMask) != kUserMask);
    }
    setInvalidHandle();
    return nullptr;
}

void releaseHandle(HandleSlot* slot) noexcept {
    std::uint64_t before = slot->state.fetch_sub(1, std::memory_order_acq_rel);
    if ((before & (kOpen | kUserMask)) == 1)
        releaseObject(slot);
}

}  // namespace detail

HANDLE makeHandle(std::unique_ptr<HandleObject> object) {
    if (!object) {
        setLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HandleSlot* slot = g_table.take();
    if (slot == nullptr) {
        setLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    slot->object = object.release();
    std::uint32_t generation = generationOf(slot->state.load(std::memory_order_relaxed));
    slot->state.store(openState(generation), std::memory_order_release);
    return handleValue(slot->index, generation);
}

BOOL closeHandle(HANDLE handle) noexcept {
    std::uint32_t generation = 0;
    HandleSlot* slot = g_table.find(handle, &generation);
    if (slot == nullptr) {
        detail::setInvalidHandle();
        return FALSE;
    }
    std::uint64_t state = openState(generation);
    while (!slot->state.compare_exchange_weak(state, state & ~kOpen, std::memory_order_acq_rel,
                                              std::memory_order_relaxed)) {
        if (!isOpenAs(state, generation)) {
            detail::setInvalidHandle();
            return FALSE;
        }
    }
    // Users still inside a call keep the object; the last of them releases it.
    if ((state & kUserMask) != 0)
        return TRUE;
    DWORD result = releaseObject(slot);
    if (result != ERROR_SUCCESS) {
        setLastError(result);
        return FALSE;
    }
    return TRUE;
}

bool isHandleOpen(HANDLE handle) noexcept {
    std::uint32_t generation = 0;
    const HandleSlot* slot = g_table.find(handle, &generation);
    return slot != nullptr && isOpenAs(slot->state.load(std::memory_order_acquire), generation);
}

}  // namespace kyos
