#include "os/registry/ValueCache.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "os/registry/RegistryInternal.h"

namespace kyos::reg::detail {

namespace {

constexpr std::uint32_t kCountersMagic = 0x4b595643;  // "KYVC"
constexpr std::uint32_t kCountersVersion = 1;
constexpr std::uint32_t kBucketMask = ChangeCounters::kBuckets - 1;

// 64-bit FNV-1a: cheap for the short texts of key paths, and stable across processes,
// which a bucket number must be.
constexpr std::uint64_t kFnvOffset = 1469598103934665603ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

std::uint64_t fnv1a(std::uint64_t h, const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        h ^= p[i];
        h *= kFnvPrime;
    }
    return h;
}

// Spreads the bits of a row number (rows are consecutive) over the buckets.
std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return x;
}

std::atomic<std::size_t> g_limit{ValueCache::kDefaultLimitBytes};
std::atomic<std::uint64_t> g_nextCacheId{1};

// A thread's most recent entries, by a few bits of their hash: a warm read finds its
// entry here and validates it with one load of its bucket's counter, taking no lock.
// Only small entries come here, so that what the front caches keep alive beyond the
// bound stays small.
constexpr std::size_t kFrontSlots = 256;
constexpr std::size_t kMaxFrontEntryBytes = 512;

struct FrontCache {
    std::uint64_t cacheId = 0;
    std::array<EntryRef, kFrontSlots> slots;
    EntryRef held;  // the large entry last found
};
// As the connection's slot: a plain pointer in the static TLS block for the fast path,
// and an owner that frees the front cache when the thread ends.
__attribute__((tls_model("initial-exec"))) thread_local FrontCache* t_front = nullptr;
thread_local std::unique_ptr<FrontCache> t_frontOwner;

FrontCache& frontCache() {
    if (t_front == nullptr) {
        t_frontOwner = std::make_unique<FrontCache>();
        t_front = t_frontOwner.get();
    }
    return *t_front;
}

// The process's own hash of cache keys (bucket numbers, which other processes compute
// too, use FNV-1a above): sixteen bytes a step in two independent lanes, as keys are paths
// of some sixty bytes and each lane's multiply waits for the one before.
std::size_t hashOf(std::string_view key) {
    constexpr std::uint64_t kMultiplier1 = 0x9e3779b97f4a7c15ull;
    constexpr std::uint64_t kMultiplier2 = 0xc2b2ae3d27d4eb4full;
    std::uint64_t h1 = key.size() * kMultiplier1;
    std::uint64_t h2 = ~key.size() * kMultiplier2;
    const char* p = key.data();
    std::size_t n = key.size();
    for (; n >= 16; p += 16, n -= 16) {
        std::uint64_t w1, w2;
        std::memcpy(&w1, p, 8);
        std::memcpy(&w2, p + 8, 8);
        h1 = (h1 ^ w1) * kMultiplier1;
        h2 = (h2 ^ w2) * kMultiplier2;
        h1 ^= h1 >> 29;
        h2 ^= h2 >> 31;
    }
    std::uint64_t tail1 = 0, tail2 = 0;
    std::memcpy(&tail1, p, n < 8 ? n : 8);
    if (n > 8)
        std::memcpy(&tail2, p + 8, n - 8);
    h1 = (h1 ^ tail1) * kMultiplier1;
    h2 = (h2 ^ tail2) * kMultiplier2;
    std::uint64_t h = (h1 ^ (h2 >> 32) ^ (h2 << 32)) * kMultiplier1;
    return static_cast<std::size_t>(h ^ (h >> 32));
}

}  // namespace

// --- the counters --------------------------------------------------------------------------

struct ChangeCounters::Shared {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t buckets;
    std::uint32_t reserved;
    char bootId[64];
    pthread_mutex_t mutex;  // held by a writer from marking its buckets until moving them on
    alignas(64) std::atomic<std::uint64_t> counters[kBuckets];
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free,
              "shared counters must be lock-free to work across processes");

ChangeCounters::ChangeCounters(const std::string& storeFile) {
    map(storeFile + "-kycache");
}

ChangeCounters::~ChangeCounters() {
    if (shared_ != nullptr)
        munmap(shared_, sizeof(Shared));
}

std::atomic<std::uint64_t>& ChangeCounters::counter(std::uint32_t bucket) const {
    return shared_->counters[bucket & kBucketMask];
}

std::uint32_t ChangeCounters::keyBucket(int root, std::string_view foldedPath) {
    unsigned char r = static_cast<unsigned char>(root);
    std::uint64_t h = fnv1a(kFnvOffset, &r, 1);
    return static_cast<std::uint32_t>(fnv1a(h, foldedPath.data(), foldedPath.size()) & kBucketMask);
}

std::uint32_t ChangeCounters::valueBucket(std::int64_t row) {
    return static_cast<std::uint32_t>(mix(static_cast<std::uint64_t>(row)) & kBucketMask);
}

void ChangeCounters::map(const std::string& file) {
    const mode_t mode = storeFileMode();
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
    writable_ = fd >= 0;
    if (fd < 0) {
        const int createError = errno;
        fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            // Nobody can be caching against a file that is not there (and that this
            // process may not make): its writes need no announcing.
            absent_ = errno == ENOENT && (createError == EACCES || createError == EROFS);
            return;
        }
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        writable_ = false;
        return;
    }
    // The creator's flock serialises initialisation; a file left from another boot (whose
    // mutex may still look held by a thread that no longer exists) is initialised again.
    if (writable_) {
        fchmod(fd, mode);
        if (flock(fd, LOCK_EX) != 0 || !prepare(fd)) {
            close(fd);
            writable_ = false;
            return;
        }
    } else if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(Shared))) {
        close(fd);
        return;
    }
    void* p = mmap(nullptr, sizeof(Shared), writable_ ? PROT_READ | PROT_WRITE : PROT_READ,
                   MAP_SHARED, fd, 0);
    if (writable_)
        flock(fd, LOCK_UN);
    close(fd);
    if (p == MAP_FAILED) {
        writable_ = false;
        return;
    }
    auto* s = static_cast<Shared*>(p);
    // Any process that may write the store may write this file: its layout is checked
    // before any of it is used.
    if (__atomic_load_n(&s->magic, __ATOMIC_ACQUIRE) != kCountersMagic ||
        s->version != kCountersVersion || s->buckets != kBuckets) {
        munmap(p, sizeof(Shared));
        writable_ = false;
        return;
    }
    shared_ = s;
}

bool ChangeCounters::prepare(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    if (st.st_size < static_cast<off_t>(sizeof(Shared)) &&
        ftruncate(fd, static_cast<off_t>(sizeof(Shared))) != 0)
        return false;
    void* p = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
        return false;
    auto* s = static_cast<Shared*>(p);
    const std::string& boot = bootId();
    bool current = __atomic_load_n(&s->magic, __ATOMIC_ACQUIRE) == kCountersMagic &&
                   s->version == kCountersVersion && s->buckets == kBuckets &&
                   std::strncmp(s->bootId, boot.c_str(), sizeof s->bootId) == 0;
    if (!current) {
        __atomic_store_n(&s->magic, 0u, __ATOMIC_RELEASE);
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(&s->mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        std::snprintf(s->bootId, sizeof s->bootId, "%s", boot.c_str());
        // Start far from any counter a process of the previous boot could remember.
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        const std::uint64_t start = static_cast<std::uint64_t>(now.tv_sec) << 20;
        for (std::uint32_t b = 0; b < kBuckets; ++b)
            new (&s->counters[b]) std::atomic<std::uint64_t>(start);
        s->buckets = kBuckets;
        s->version = kCountersVersion;
        __atomic_store_n(&s->magic, kCountersMagic, __ATOMIC_RELEASE);  // published last
    }
    munmap(p, sizeof(Shared));
    return true;
}

bool ChangeCounters::begin(const std::vector<std::uint32_t>& buckets, bool all) {
    if (shared_ == nullptr || !writable_)
        return canAnnounce();
    int rc = pthread_mutex_lock(&shared_->mutex);
    if (rc == EOWNERDEAD) {
        // The last writer died between marking and moving on: its buckets stay odd (and
        // uncached) until they next change; the mutex itself is sound again.
        pthread_mutex_consistent(&shared_->mutex);
    } else if (rc != 0) {
        return false;
    }
    auto mark = [](std::atomic<std::uint64_t>& c) {
        c.store((c.load(std::memory_order_relaxed) + 1) | 1, std::memory_order_seq_cst);
    };
    if (all) {
        for (std::uint32_t b = 0; b < kBuckets; ++b)
            mark(shared_->counters[b]);
    } else {
        for (std::uint32_t b : buckets)
            mark(counter(b));
    }
    return true;
}

void ChangeCounters::end(const std::vector<std::uint32_t>& buckets, bool all) {
    if (shared_ == nullptr || !writable_)
        return;
    auto moveOn = [](std::atomic<std::uint64_t>& c) {
        c.store((c.load(std::memory_order_relaxed) | 1) + 1, std::memory_order_seq_cst);
    };
    if (all) {
        for (std::uint32_t b = 0; b < kBuckets; ++b)
            moveOn(shared_->counters[b]);
    } else {
        for (std::uint32_t b : buckets)
            moveOn(counter(b));
    }
    pthread_mutex_unlock(&shared_->mutex);
}

// --- the cache -----------------------------------------------------------------------------

namespace {

// The map's key: a view of the entry's own key with its hash, so that a lookup hashes once.
struct MapKey {
    std::string_view text;
    std::size_t hash;
    bool operator==(const MapKey& other) const { return text == other.text; }
};
struct MapKeyHash {
    std::size_t operator()(const MapKey& k) const { return k.hash; }
};

// What an entry costs: the entry, its texts and the map and list nodes that hold it.
constexpr std::size_t kNodeOverhead = 96;

}  // namespace

struct ValueCache::Shard {
    struct Node {
        EntryRef entry;
        std::list<const CacheEntry*>::iterator recent;
    };
    std::mutex mutex;
    std::unordered_map<MapKey, Node, MapKeyHash> map;
    std::list<const CacheEntry*> recent;  // most recently used first
    std::size_t bytes = 0;

    void eraseLocked(decltype(map)::iterator it, std::atomic<std::size_t>& used) {
        bytes -= it->second.entry->charge;
        used.fetch_sub(it->second.entry->charge, std::memory_order_relaxed);
        recent.erase(it->second.recent);
        map.erase(it);
    }
};

ValueCache::ValueCache(const ChangeCounters& counters)
    : counters_(counters),
      id_(g_nextCacheId.fetch_add(1, std::memory_order_relaxed)),
      shards_(new Shard[kShards]) {}

ValueCache::~ValueCache() = default;

bool ValueCache::enabled() {
    static const bool on = [] {
        const char* v = std::getenv("KY_REGISTRY_CACHE");
        return !(v != nullptr && std::strcmp(v, "0") == 0);
    }();
    return on;
}

void ValueCache::setLimit(std::size_t bytes) {
    g_limit.store(bytes, std::memory_order_relaxed);
}

std::size_t ValueCache::limit() {
    return g_limit.load(std::memory_order_relaxed);
}

namespace {

// Lays a cache key out in `out` in one go: a tag, a few fixed bytes, then texts.
char* layOut(std::string& out, char tag, std::size_t size) {
    out.resize(size);
    out[0] = tag;
    return out.data() + 1;
}

}  // namespace

void ValueCache::keyOf(std::string& out, int root, std::string_view foldedPath) {
    char* p = layOut(out, 'K', 2 + foldedPath.size());
    *p++ = static_cast<char>('0' + root);
    std::memcpy(p, foldedPath.data(), foldedPath.size());
}

void ValueCache::valueOf(std::string& out, std::int64_t row, std::string_view foldedName) {
    char* p = layOut(out, 'V', 1 + sizeof row + foldedName.size());
    std::memcpy(p, &row, sizeof row);
    std::memcpy(p + sizeof row, foldedName.data(), foldedName.size());
}

void ValueCache::spellingOf(std::string& out, int root, std::string_view base,
                            std::string_view subKey) {
    // The base's length first, so that no base and spelling run together into another's.
    const auto length = static_cast<std::uint32_t>(base.size());
    char* p = layOut(out, 'S', 2 + sizeof length + base.size() + subKey.size());
    *p++ = static_cast<char>('0' + root);
    std::memcpy(p, &length, sizeof length);
    p += sizeof length;
    if (!base.empty())
        std::memcpy(p, base.data(), base.size());
    if (!subKey.empty())
        std::memcpy(p + base.size(), subKey.data(), subKey.size());
}

void ValueCache::readingOf(std::string& out, int root, std::string_view base,
                           std::string_view subKey, std::string_view name) {
    // Lengths first, so that no base, spelling and name run together into another's.
    const auto baseLength = static_cast<std::uint32_t>(base.size());
    const auto subKeyLength = static_cast<std::uint32_t>(subKey.size());
    char* p =
        layOut(out, 'G', 2 + 2 * sizeof baseLength + base.size() + subKey.size() + name.size());
    *p++ = static_cast<char>('0' + root);
    std::memcpy(p, &baseLength, sizeof baseLength);
    p += sizeof baseLength;
    std::memcpy(p, &subKeyLength, sizeof subKeyLength);
    p += sizeof subKeyLength;
    if (!base.empty())  // a root's: most readings name their key from the root
        std::memcpy(p, base.data(), base.size());
    p += base.size();
    std::memcpy(p, subKey.data(), subKey.size());
    std::memcpy(p + subKey.size(), name.data(), name.size());
}

void ValueCache::lockAll() {
    for (std::size_t i = 0; i < kShards; ++i)
        shards_[i].mutex.lock();
}

void ValueCache::unlockAll() {
    for (std::size_t i = kShards; i-- > 0;)
        shards_[i].mutex.unlock();
}

ValueCache::Shard& ValueCache::shardOf(std::size_t hash) const {
    return shards_[(hash >> 8) % kShards];
}

const CacheEntry* ValueCache::find(const std::string& key) const {
    const std::size_t hash = hashOf(key);
    FrontCache& front = frontCache();
    if (front.cacheId != id_) {
        front.slots.fill(nullptr);
        front.held.reset();
        front.cacheId = id_;
    }
    EntryRef& slot = front.slots[hash % kFrontSlots];
    if (slot && slot->hash == hash && slot->key == key && valid(*slot))
        return slot.get();

    Shard& shard = shardOf(hash);
    EntryRef found;
    {
        std::lock_guard<std::mutex> lock(shard.mutex);
        auto it = shard.map.find(MapKey{key, hash});
        if (it == shard.map.end())
            return nullptr;
        if (!valid(*it->second.entry)) {
            shard.eraseLocked(it, used_);  // outdated for good: counters only move on
            return nullptr;
        }
        shard.recent.splice(shard.recent.begin(), shard.recent, it->second.recent);
        found = it->second.entry;
    }
    // Kept alive by the thread until its next find: in the front slot when small, else
    // in the slot for the one large entry in use.
    if (found->charge <= kMaxFrontEntryBytes) {
        slot = std::move(found);
        return slot.get();
    }
    front.held = std::move(found);
    return front.held.get();
}

void ValueCache::store(std::unique_ptr<CacheEntry> entry) {
    const std::size_t bound = limit();
    entry->hash = hashOf(entry->key);
    entry->charge =
        sizeof(CacheEntry) + kNodeOverhead + entry->key.capacity() + entry->bytes.capacity();
    if (entry->charge > bound / kShards)
        return;
    // Read while a change was being committed: it may be either side of it, and is not
    // to be trusted even while the counter stays. (An entry read under an even counter
    // is right as long as that counter holds: a change to its bucket moves the counter
    // before it commits, and the counter was read before the store.)
    if ((entry->counter & 1) != 0 || (entry->twoBuckets && (entry->counter2 & 1) != 0))
        return;
    EntryRef ref(entry.release());
    Shard& shard = shardOf(ref->hash);
    std::lock_guard<std::mutex> lock(shard.mutex);
    auto it = shard.map.find(MapKey{ref->key, ref->hash});
    if (it != shard.map.end())
        shard.eraseLocked(it, used_);
    shard.recent.push_front(ref.get());
    shard.map.emplace(MapKey{ref->key, ref->hash}, Shard::Node{ref, shard.recent.begin()});
    shard.bytes += ref->charge;
    used_.fetch_add(ref->charge, std::memory_order_relaxed);
    while (shard.bytes > bound / kShards && !shard.recent.empty()) {
        const CacheEntry* oldest = shard.recent.back();
        shard.eraseLocked(shard.map.find(MapKey{oldest->key, oldest->hash}), used_);
    }
}

}  // namespace kyos::reg::detail
