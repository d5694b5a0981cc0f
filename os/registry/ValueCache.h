// The registry store's read cache, shared by the threads of a process, and the change
// counters that keep the caches of every process of the machine coherent with the store.
// Internal to os/registry.
//
// Coherence. The counters live in a small file mapped by every process beside the store
// ("<store>-kycache"): one 64-bit counter per bucket, a key's path and a key's row each
// hashing to one bucket. A writer marks the buckets its transaction touches (the counter
// turns odd) just before it commits, and moves them on again (even) after the commit,
// holding the file's robust mutex from one to the other. A reader reads the counter
// before it reads the store, and files what it read under that counter when it was even;
// an entry is used only while its bucket's counter is the one it was filed under. So a
// read that starts after a write call has returned, in whatever process, never sees an
// entry made before that write, and none is trusted while a change is being committed. A writer
// that dies between marking and moving on leaves its buckets odd: uncached until the next change to
// them.
//
// Memory is bounded (an LRU bound per shard); negative answers are cached too. A thread
// keeps a small front cache of the shared entries it used last, validated the same way,
// so that a warm read takes no lock at all.
//
// Threads: every member may be called from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "os/Win32.h"

namespace kyos::reg::detail {

// The per-bucket counters of a store ("<store>-kycache").
class ChangeCounters {
public:
    // Buckets, a power of two: enough that a key written constantly (a lock's trace, a
    // job's record) shares its bucket with few others, small enough to map in 512 KiB.
    static constexpr std::uint32_t kBuckets = 1u << 16;

    explicit ChangeCounters(const std::string& storeFile);
    ~ChangeCounters();
    ChangeCounters(const ChangeCounters&) = delete;
    ChangeCounters& operator=(const ChangeCounters&) = delete;

    // Mapped: entries validated by these counters may be trusted.
    bool mapped() const { return shared_ != nullptr; }
    // Whether this process's writes can be announced: the file is mapped for writing, or
    // it does not exist and cannot be made (then no process can be caching).
    bool canAnnounce() const { return writable_ || absent_; }

    // The counter of a bucket now (odd: a change is being committed).
    std::uint64_t read(std::uint32_t bucket) const {
        return shared_ == nullptr ? 1 : counter(bucket).load(std::memory_order_acquire);
    }

    // Brackets the commit of a transaction that changed the buckets (sorted, unique):
    // marks them odd under the file's mutex, and moves them to the next even value after.
    // `all` stands for every bucket. False when the change cannot be announced.
    bool begin(const std::vector<std::uint32_t>& buckets, bool all);
    void end(const std::vector<std::uint32_t>& buckets, bool all);

    static std::uint32_t keyBucket(int root, std::string_view foldedPath);
    static std::uint32_t valueBucket(std::int64_t row);

private:
    struct Shared;
    std::atomic<std::uint64_t>& counter(std::uint32_t bucket) const;
    void map(const std::string& file);
    static bool prepare(int fd);

    Shared* shared_ = nullptr;
    bool writable_ = false;
    bool absent_ = false;
};

// One cached answer: where a key lives (or that it does not exist), or a value of a key
// (or that it has no such value). Immutable once made.
struct CacheEntry {
    // 'K' root path, 'S' root base spelling, 'V' row fold, or 'G' root base spelling name
    // (keyOf, spellingOf, valueOf, readingOf).
    std::string key;
    std::size_t hash = 0;
    std::uint32_t bucket = 0;
    std::uint64_t counter = 0;
    // A reading of a value through a key's spelling depends on both: the key's bucket
    // above, and the value's here.
    bool twoBuckets = false;
    std::uint32_t bucket2 = 0;
    std::uint64_t counter2 = 0;
    std::size_t charge = 0;  // the memory it takes, counted against the bound
    // A key: its row (0 when there is no such key) and whether it is volatile.
    std::int64_t row = 0;
    bool isVolatile = false;
    // A value: whether it exists, its type and its bytes (a key's spelling: its folded
    // path).
    bool found = false;
    DWORD type = 0;
    std::string bytes;
};
using EntryRef = std::shared_ptr<const CacheEntry>;

class ValueCache {
public:
    // The bound a new cache takes (see setCacheLimit in Registry.h).
    static constexpr std::size_t kDefaultLimitBytes = 16u << 20;
    // Values larger than this are not cached: they are rare, and would crowd out many
    // small ones.
    static constexpr std::size_t kMaxCachedValueBytes = 64u << 10;

    explicit ValueCache(const ChangeCounters& counters);
    ~ValueCache();
    ValueCache(const ValueCache&) = delete;
    ValueCache& operator=(const ValueCache&) = delete;

    // Whether the process caches at all (KY_REGISTRY_CACHE=0 turns it off).
    static bool enabled();
    static void setLimit(std::size_t bytes);
    static std::size_t limit();

    // Cache keys, built into `out` (reused by the caller to spare an allocation).
    static void keyOf(std::string& out, int root, std::string_view foldedPath);
    static void valueOf(std::string& out, std::int64_t row, std::string_view foldedName);
    // A key as a caller spelled it: below the folded `base` path, `subKey` as given.
    static void spellingOf(std::string& out, int root, std::string_view base,
                           std::string_view subKey);
    // A value as a caller spelled its key and its name.
    static void readingOf(std::string& out, int root, std::string_view base,
                          std::string_view subKey, std::string_view name);

    // The entry for `key` when one is cached and still valid; null otherwise. It stays
    // valid until this thread's next find. (Handing out a counted reference would make
    // every warm read of an entry shared by threads write its count.)
    const CacheEntry* find(const std::string& key) const;
    // Files an entry read under its `counter` (read before the store was), unless that was
    // odd: a change was being committed.
    void store(std::unique_ptr<CacheEntry> entry);

    std::size_t memoryUsed() const { return used_.load(std::memory_order_relaxed); }
    // Taken around fork(), so that no shard is locked in the child.
    void lockAll();
    void unlockAll();
    const ChangeCounters& counters() const { return counters_; }

private:
    static constexpr std::size_t kShards = 16;
    struct Shard;
    Shard& shardOf(std::size_t hash) const;
    bool valid(const CacheEntry& e) const {
        return counters_.read(e.bucket) == e.counter &&
               (!e.twoBuckets || counters_.read(e.bucket2) == e.counter2);
    }

    const ChangeCounters& counters_;
    const std::uint64_t id_;  // tells a thread's front cache which cache it holds entries of
    std::unique_ptr<Shard[]> shards_;
    mutable std::atomic<std::size_t> used_{0};
};

}  // namespace kyos::reg::detail
