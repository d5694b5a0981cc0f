#include "os/sync/MutexCache.h"

#include <pthread.h>

#include <atomic>

#include "os/Handle.h"

namespace kyos::sync_internal {
namespace {

// A thread rarely holds more than a few mutexes in turn; one past these costs its waits
// and releases a use of the handle each, nothing more.
constexpr int kRecordsPerThread = 8;

struct Record {
    // Read and written by the block's thread only.
    HANDLE handle = nullptr;
    // Read by any thread that is about to free a mutex's memory.
    std::atomic<SyncState*> state{nullptr};
};

// One thread's records. Blocks are never freed, so that any thread may walk them at any
// time; a thread that ends gives its block back for the next thread to take.
struct alignas(64) RecordBlock {
    std::atomic<bool> taken{false};
    // Set before the block is published and never changed.
    RecordBlock* next = nullptr;
    // Where the next record goes when every one is taken by an open handle.
    unsigned nextVictim = 0;
    Record records[kRecordsPerThread];
};

std::atomic<RecordBlock*> g_blocks{nullptr};

// Asked on every wait and release: initial-exec, so that reading it is one load relative
// to the thread pointer.
__attribute__((tls_model("initial-exec"))) thread_local RecordBlock* t_block = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local bool t_blockGivenBack = false;

void dropRecord(Record* record) {
    record->handle = nullptr;
    // Release: whoever sees the record gone and frees the memory does so after every
    // access this thread made through it.
    record->state.store(nullptr, std::memory_order_release);
}

void clearBlock(RecordBlock* block) {
    for (Record& record : block->records)
        dropRecord(&record);
}

// Gives the thread's block back when the thread ends. Destructors of other thread-local
// objects may still wait on mutexes afterwards: they find no block and take no records.
struct BlockReturn {
    ~BlockReturn() {
        if (RecordBlock* block = t_block) {
            t_block = nullptr;
            clearBlock(block);
            block->taken.store(false, std::memory_order_release);
            // The memory of mutexes closed meanwhile may have been kept for these records.
            releaseUnownedLingering();
        }
        t_blockGivenBack = true;
    }
};

RecordBlock* takeBlock() {
    for (RecordBlock* block = g_blocks.load(std::memory_order_acquire); block != nullptr;
         block = block->next) {
        bool expected = false;
        if (!block->taken.load(std::memory_order_relaxed) &&
            block->taken.compare_exchange_strong(expected, true, std::memory_order_acquire,
                                                 std::memory_order_relaxed))
            return block;
    }
    auto* block = new RecordBlock;
    block->taken.store(true, std::memory_order_relaxed);
    RecordBlock* head = g_blocks.load(std::memory_order_relaxed);
    do {
        block->next = head;
    } while (!g_blocks.compare_exchange_weak(head, block, std::memory_order_acq_rel,
                                             std::memory_order_relaxed));
    return block;
}

RecordBlock* ownBlock() {
    if (t_block != nullptr || t_blockGivenBack)
        return t_block;
    RecordBlock* block = takeBlock();
    static thread_local BlockReturn giveBack;
    t_block = block;
    return block;
}

// The child's only thread has no records, and no other thread of the parent is there to
// hold a block.
void afterForkInChild() {
    for (RecordBlock* block = g_blocks.load(std::memory_order_acquire); block != nullptr;
         block = block->next) {
        clearBlock(block);
        block->taken.store(block == t_block, std::memory_order_release);
    }
}

const int g_forkHandlerRegistered = pthread_atfork(nullptr, nullptr, &afterForkInChild);

}  // namespace

SyncState* cachedMutex(HANDLE handle) {
    RecordBlock* block = t_block;
    if (block == nullptr || handle == nullptr)
        return nullptr;
    for (Record& record : block->records) {
        if (record.handle != handle)
            continue;
        if (isHandleOpen(handle))
            return record.state.load(std::memory_order_relaxed);
        dropRecord(&record);
        // The memory may have been kept for this record alone.
        releaseUnownedLingering();
        return nullptr;
    }
    return nullptr;
}

void cacheMutex(HANDLE handle, SyncState* state) {
    RecordBlock* block = ownBlock();
    if (block == nullptr || handle == nullptr)
        return;
    Record* chosen = nullptr;
    for (Record& record : block->records) {
        if (record.handle == handle) {
            chosen = &record;
            break;
        }
        // An empty record, or one of a closed handle (which only keeps memory nobody needs).
        if (chosen == nullptr && (record.handle == nullptr || !isHandleOpen(record.handle)))
            chosen = &record;
    }
    if (chosen == nullptr)
        chosen = &block->records[block->nextVictim++ % kRecordsPerThread];
    SyncState* replaced = chosen->state.load(std::memory_order_relaxed);
    chosen->handle = handle;
    chosen->state.store(state, std::memory_order_release);
    if (replaced != nullptr && replaced != state)
        releaseUnownedLingering();
}

void forgetCachedMutex(const SyncState* state) {
    RecordBlock* block = t_block;
    if (block == nullptr)
        return;
    for (Record& record : block->records) {
        if (record.state.load(std::memory_order_relaxed) == state)
            dropRecord(&record);
    }
}

bool mutexCachedByAnyThread(const SyncState* state) {
    for (RecordBlock* block = g_blocks.load(std::memory_order_acquire); block != nullptr;
         block = block->next) {
        for (const Record& record : block->records) {
            if (record.state.load(std::memory_order_acquire) == state)
                return true;
        }
    }
    return false;
}

}  // namespace kyos::sync_internal
