// The registry store's calls, the per-call path: handles, opening and creating keys, and
// reading, writing and listing values. Reads of keys and values go through the process's
// read cache (ValueCache.h) when the calling thread is in no transaction; writes touch
// the buckets they change, which their commit announces to every process's cache.
#include <sqlite3.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "os/LastError.h"
#include "os/registry/RegistryInternal.h"
#include "os/registry/RegistryNames.h"

namespace kyos::reg {
namespace detail {

namespace {

REGSAM normaliseAccess(REGSAM access) {
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED))
        access |= KEY_ALL_ACCESS;
    if (access & GENERIC_READ)
        access |= KEY_READ;
    if (access & GENERIC_WRITE)
        access |= KEY_WRITE;
    if (access & GENERIC_EXECUTE)
        access |= KEY_EXECUTE;
    return access & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
}

const std::string& currentUserPath() {
    static const std::string path = "s-1-22-1-" + std::to_string(geteuid());
    return path;
}

std::string_view foldName(Connection& c, std::string_view name) {
    c.scratch.clear();
    appendFolded(c.scratch, name);
    return c.scratch;
}

bool isPredefined(HKEY key, int& root, std::string_view& prefix);

}  // namespace

// Folded path below the root of `base` + the parts of `sub`; false when a part is too
// long.
bool joinPath(std::string_view base, std::string_view sub, std::string& out,
              std::vector<std::string_view>* partsOut) {
    out.assign(base);
    if (partsOut == nullptr)
        return appendFoldedPath(out, sub);
    if (!splitKeyPath(sub, *partsOut))
        return false;
    for (std::string_view p : *partsOut) {
        if (!out.empty())
            out += '\\';
        appendFolded(out, p);
    }
    return true;
}

// The folded name of a value in the connection's scratch text.

namespace {

// What a key lookup found, and the counter it may be filed under.
struct Found {
    std::int64_t id = 0;  // 0: no such key
    bool isVolatile = false;
    std::uint32_t bucket = 0;
    std::uint64_t counter = 1;
};

// The key at a folded path, through the cache when `cache` is given.
DWORD lookupFolded(Connection& c, ValueCache* cache, int root, std::string_view path,
                   Found& found) {
    if (cache != nullptr) {
        ValueCache::keyOf(c.cacheKey, root, path);
        if (const CacheEntry* e = cache->find(c.cacheKey)) {
            found = Found{e->row, e->isVolatile, e->bucket, e->counter};
            return found.id == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
        }
        found.bucket = ChangeCounters::keyBucket(root, path);
        found.counter = cache->counters().read(found.bucket);  // before the store is read
    }
    int rc;
    {
        SqlScope sql(c);
        sqlite3_stmt* s = c.stmt(kLookupKey);
        if (s == nullptr)
            return ERROR_OUTOFMEMORY;
        Reset reset(s);
        sqlite3_bind_int(s, 1, root);
        bindText(s, 2, path);
        rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) {
            found.id = sqlite3_column_int64(s, 0);
            found.isVolatile = sqlite3_column_int(s, 1) != 0;
        }
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return fromSqlite(rc);
    if (cache != nullptr) {
        auto entry = std::make_unique<CacheEntry>();
        entry->key = c.cacheKey;
        entry->bucket = found.bucket;
        entry->counter = found.counter;
        entry->row = found.id;
        entry->isVolatile = found.isVolatile;
        cache->store(std::move(entry));
    }
    return rc == SQLITE_ROW ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

}  // namespace

DWORD lookup(Connection& c, int root, std::string_view path, int64_t& id, bool& isVolatile) {
    Found found;
    DWORD rc = lookupFolded(c, c.readCache(), root, path, found);
    id = found.id;
    isVolatile = found.isVolatile;
    return rc;
}

namespace {

// The key `subKey` below `base` as the caller spells it. The cache remembers the spelling
// too, so that a warm open or read of a key does not fold its path again; the folded path
// comes with it, into `foldedPath` when asked for.
DWORD findKey(Connection& c, const Ref& base, std::string_view subKey, Found& found,
              std::string* foldedPath) {
    ValueCache* cache = c.readCache();
    if (cache != nullptr) {
        ValueCache::spellingOf(c.spelling, base.root, base.path, subKey);
        if (const CacheEntry* e = cache->find(c.spelling)) {
            found = Found{e->row, e->isVolatile, e->bucket, e->counter};
            if (foldedPath != nullptr)
                foldedPath->assign(e->bytes);
            return found.id == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
        }
    }
    if (!joinPath(base.path, subKey, c.path))
        return ERROR_INVALID_PARAMETER;
    if (foldedPath != nullptr)
        *foldedPath = c.path;
    DWORD rc = lookupFolded(c, cache, base.root, c.path, found);
    if (cache != nullptr && (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND)) {
        auto entry = std::make_unique<CacheEntry>();
        entry->key = c.spelling;
        entry->bucket = found.bucket;
        entry->counter = found.counter;
        entry->row = found.id;
        entry->isVolatile = found.isVolatile;
        entry->bytes = c.path;
        cache->store(std::move(entry));
    }
    return rc;
}

}  // namespace

namespace {

bool isPredefined(HKEY key, int& root, std::string_view& prefix) {
    // Empty, but with a place: a view of nothing would hand null to memcpy and to SQLite
    // (which binds null text as NULL).
    constexpr std::string_view kRootPrefix("", 0);
    if (key == HKEY_LOCAL_MACHINE) {
        root = kRootLocalMachine;
        prefix = kRootPrefix;
    } else if (key == HKEY_USERS) {
        root = kRootUsers;
        prefix = kRootPrefix;
    } else if (key == HKEY_CURRENT_USER) {
        root = kRootUsers;
        prefix = currentUserPath();
    } else if (key == HKEY_CLASSES_ROOT) {
        root = kRootLocalMachine;
        prefix = "software\\classes";
    } else {
        return false;
    }
    return true;
}

}  // namespace

DWORD resolve(Connection& c, HKEY key, Ref& ref) {
    int root;
    std::string_view prefix;
    if (isPredefined(key, root, prefix)) {
        ref.root = root;
        ref.path = prefix;
        ref.access = KEY_ALL_ACCESS;
        if (prefix.empty()) {
            ref.id = root == kRootLocalMachine ? kLocalMachineRow : kUsersRow;
        } else {
            bool v;
            DWORD rc = lookup(c, root, prefix, ref.id, v);
            if (rc == ERROR_FILE_NOT_FOUND)
                ref.id = 0;
            else if (rc != ERROR_SUCCESS)
                return rc;
        }
        return ERROR_SUCCESS;
    }
    if (key == nullptr || key->magic != kHandleMagic ||
        key->storeGeneration != c.storeGeneration()) {
        return ERROR_INVALID_HANDLE;
    }
    ref.root = key->root;
    ref.id = key->id;
    ref.path = key->path;
    ref.access = key->access;
    ref.isVolatile = key->isVolatile;
    ref.handle = key;
    return ERROR_SUCCESS;
}

DWORD Call::start(HKEY key) {
    DWORD rc = connection(c);
    return rc == ERROR_SUCCESS ? resolve(*c, key, ref) : rc;
}

// The row of a key that must exist: ERROR_KEY_DELETED when an open handle's key is gone.
DWORD keyGone(Connection& c, const Ref& ref) {
    if (ref.id == 0)
        return ERROR_FILE_NOT_FOUND;
    SqlScope sql(c);
    sqlite3_stmt* s = c.stmt(kKeyExists);
    if (s == nullptr)
        return ERROR_OUTOFMEMORY;
    Reset reset(s);
    sqlite3_bind_int64(s, 1, ref.id);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW)
        return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? (ref.handle ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND)
                             : fromSqlite(rc);
}

namespace {

HKEY newHandle(Connection& c, int root, int64_t id, std::string path, REGSAM access,
               bool isVolatile) {
    auto* h = new KeyHandle;
    h->magic = kHandleMagic;
    h->root = root;
    h->id = id;
    h->path = std::move(path);
    h->access = access;
    h->isVolatile = isVolatile;
    h->storeGeneration = c.storeGeneration();
    return h;
}

// Creates every missing key along `parts` below `base` (which exists, row baseId),
}  // namespace

// Creates every missing key along `parts` below `base` (which exists, row baseId),
// inside the caller's write transaction. Sets `created` when the last key is new.
DWORD createPath(Connection& c, int root, int64_t baseId, bool baseVolatile, std::string_view base,
                 const std::vector<std::string_view>& parts, bool makeVolatile, int64_t& id,
                 bool& isVolatile, bool& created) {
    std::string path(base);
    id = baseId;
    isVolatile = baseVolatile;
    created = false;
    for (std::string_view part : parts) {
        if (!path.empty())
            path += '\\';
        size_t start = path.size();
        appendFolded(path, part);
        int64_t childId;
        bool childVolatile;
        DWORD rc = lookup(c, root, path, childId, childVolatile);
        if (rc == ERROR_SUCCESS) {
            id = childId;
            isVolatile = childVolatile;
            created = false;
            continue;
        }
        if (rc != ERROR_FILE_NOT_FOUND)
            return rc;
        if (isVolatile && !makeVolatile)
            return ERROR_CHILD_MUST_BE_VOLATILE;
        sqlite3_stmt* s = c.stmt(kInsertKey);
        if (s == nullptr)
            return ERROR_OUTOFMEMORY;
        Reset reset(s);
        sqlite3_bind_int(s, 1, root);
        bindText(s, 2, path);
        if (id != 0)
            sqlite3_bind_int64(s, 3, id);
        else
            sqlite3_bind_null(s, 3);
        bindText(s, 4, part);
        bindText(s, 5, std::string_view(path).substr(start));
        sqlite3_bind_int(s, 6, makeVolatile ? 1 : 0);
        int step = sqlite3_step(s);
        if (step != SQLITE_DONE)
            return fromSqlite(step);
        id = sqlite3_last_insert_rowid(c.db());
        isVolatile = makeVolatile;
        created = true;
        c.touch(ChangeCounters::keyBucket(root, path));  // it was cached as absent, maybe
    }
    return ERROR_SUCCESS;
}

// Makes sure the key a predefined alias names (HKEY_CURRENT_USER's hive, ...) exists.
DWORD materialise(Connection& c, Ref& ref) {
    if (ref.id != 0)
        return ERROR_SUCCESS;
    std::vector<std::string_view> parts;
    std::string display(ref.path);
    if (!splitKeyPath(display, parts))
        return ERROR_INVALID_PARAMETER;
    int64_t base = ref.root == kRootLocalMachine ? kLocalMachineRow : kUsersRow;
    bool v, created;
    return createPath(c, ref.root, base, false, "", parts, false, ref.id, v, created);
}

}  // namespace detail

using namespace detail;

// =========================================================================================
// Public calls.

DWORD openKey(HKEY parent, std::string_view subKey, DWORD options, REGSAM access, HKEY* result) {
    if (result == nullptr || (options & ~REG_OPTION_VOLATILE) != 0)
        return done(ERROR_INVALID_PARAMETER);
    *result = nullptr;
    Call call;
    DWORD rc = call.start(parent);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    Connection& c = *call.c;
    Found found;
    std::string path;
    rc = findKey(c, call.ref, subKey, found, &path);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    *result = newHandle(c, call.ref.root, found.id, std::move(path), normaliseAccess(access),
                        found.isVolatile);
    return done(ERROR_SUCCESS);
}

DWORD createKey(HKEY parent, std::string_view subKey, DWORD options, REGSAM access, HKEY* result,
                DWORD* disposition) {
    if (result == nullptr || (options & ~REG_OPTION_VOLATILE) != 0)
        return done(ERROR_INVALID_PARAMETER);
    *result = nullptr;
    Call call;
    DWORD rc = call.start(parent);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    Connection& c = *call.c;
    std::vector<std::string_view> parts;
    std::string path;
    if (!joinPath(call.ref.path, subKey, path, &parts))
        return done(ERROR_INVALID_PARAMETER);
    int64_t id = 0;
    bool isVolatile = false;
    // Most calls find the key already there: no write transaction for them.
    rc = lookup(c, call.ref.root, path, id, isVolatile);
    bool created = false;
    if (rc == ERROR_FILE_NOT_FOUND) {
        if (!(call.ref.access & KEY_CREATE_SUB_KEY))
            return done(ERROR_ACCESS_DENIED);
        WriteScope txn(c);
        if ((rc = txn.status()) != ERROR_SUCCESS)
            return done(rc);
        rc = materialise(c, call.ref);
        if (rc == ERROR_SUCCESS && call.ref.handle && keyGone(c, call.ref) != ERROR_SUCCESS)
            rc = ERROR_KEY_DELETED;
        if (rc == ERROR_SUCCESS) {
            rc = createPath(c, call.ref.root, call.ref.id, call.ref.isVolatile, call.ref.path,
                            parts, (options & REG_OPTION_VOLATILE) != 0, id, isVolatile, created);
        }
        if (rc == ERROR_SUCCESS)
            rc = txn.commit();
    }
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = newHandle(c, call.ref.root, id, path, normaliseAccess(access), isVolatile);
    return done(ERROR_SUCCESS);
}

DWORD closeKey(HKEY key) {
    int root;
    std::string_view prefix;
    if (isPredefined(key, root, prefix))
        return done(ERROR_SUCCESS);
    if (key == nullptr || key->magic != kHandleMagic)
        return done(ERROR_INVALID_HANDLE);
    key->magic = 0;
    delete key;
    return done(ERROR_SUCCESS);
}

namespace {

// Hands a value out as RegQueryValueEx does: the type, the size (needed, or written), the
// bytes when they fit.
DWORD giveValue(DWORD valueType, const void* bytes, DWORD length, DWORD* type, void* data,
                DWORD* size) {
    if (type)
        *type = valueType;
    if (size == nullptr)
        return ERROR_SUCCESS;
    DWORD room = *size;
    *size = length;
    if (data == nullptr)
        return ERROR_SUCCESS;
    if (room < length)
        return ERROR_MORE_DATA;
    if (length == sizeof(DWORD))
        std::memcpy(data, bytes, sizeof(DWORD));  // the common case, copied in place
    else if (length != 0)
        std::memcpy(data, bytes, length);
    return ERROR_SUCCESS;
}

// A reading to file besides the value itself: the key as its caller spelled it, found under
// its own bucket and counter (getValue).
struct Reading {
    const std::string* key;
    const Found* keyFound;
};

// Files a reading of a value (its answer, under both its key's and its value's counters).
void storeReading(ValueCache& cache, const Reading& reading, std::uint32_t valueBucket,
                  std::uint64_t valueCounter, bool found, DWORD valueType, const void* bytes,
                  DWORD length) {
    auto entry = std::make_unique<CacheEntry>();
    entry->key = *reading.key;
    entry->bucket = reading.keyFound->bucket;
    entry->counter = reading.keyFound->counter;
    entry->twoBuckets = true;
    entry->bucket2 = valueBucket;
    entry->counter2 = valueCounter;
    entry->row = reading.keyFound->id;
    entry->found = found;
    entry->type = valueType;
    if (length != 0)
        entry->bytes.assign(static_cast<const char*>(bytes), length);
    cache.store(std::move(entry));
}

// A value of the key at row `row`, from the cache when it holds it, else from the store
// (and then into the cache, with `reading` too when given). ERROR_KEY_DELETED when the
// row is gone.
DWORD readValue(Connection& c, std::int64_t row, std::string_view name, DWORD* type, void* data,
                DWORD* size, const Reading* reading = nullptr) {
    std::string_view fold = foldName(c, name);
    ValueCache* cache = c.readCache();
    std::uint32_t bucket = 0;
    std::uint64_t counter = 1;
    if (cache != nullptr) {
        ValueCache::valueOf(c.cacheKey, row, fold);
        if (const CacheEntry* e = cache->find(c.cacheKey)) {
            if (reading != nullptr) {
                storeReading(*cache, *reading, e->bucket, e->counter, e->found, e->type,
                             e->bytes.data(), static_cast<DWORD>(e->bytes.size()));
            }
            if (!e->found)
                return ERROR_FILE_NOT_FOUND;
            return giveValue(e->type, e->bytes.data(), static_cast<DWORD>(e->bytes.size()), type,
                             data, size);
        }
        bucket = ChangeCounters::valueBucket(row);
        counter = cache->counters().read(bucket);  // before the store is read
    }
    // Read inside SQLite; the answer is handed out and copied for the cache there, and
    // filed after (the cache's locks are never taken inside SQLite).
    std::unique_ptr<CacheEntry> entry;
    DWORD rc;
    {
        SqlScope sql(c);
        sqlite3_stmt* s = c.stmt(kQueryValue);
        if (s == nullptr)
            return ERROR_OUTOFMEMORY;
        Reset reset(s);
        sqlite3_bind_int64(s, 1, row);
        bindText(s, 2, fold);
        int step = sqlite3_step(s);
        if (step == SQLITE_DONE)
            return ERROR_KEY_DELETED;
        if (step != SQLITE_ROW)
            return fromSqlite(step);
        const bool found = sqlite3_column_type(s, 0) != SQLITE_NULL;
        const DWORD valueType = found ? static_cast<DWORD>(sqlite3_column_int64(s, 0)) : 0;
        const void* bytes = found ? sqlite3_column_blob(s, 1) : nullptr;
        const auto length = found ? static_cast<DWORD>(sqlite3_column_bytes(s, 1)) : 0;
        if (cache != nullptr && length <= ValueCache::kMaxCachedValueBytes) {
            entry = std::make_unique<CacheEntry>();
            entry->key = c.cacheKey;
            entry->bucket = bucket;
            entry->counter = counter;
            entry->found = found;
            entry->type = valueType;
            if (length != 0)
                entry->bytes.assign(static_cast<const char*>(bytes), length);
        }
        rc = found ? giveValue(valueType, bytes, length, type, data, size) : ERROR_FILE_NOT_FOUND;
    }
    if (entry != nullptr) {
        if (reading != nullptr) {
            storeReading(*cache, *reading, bucket, counter, entry->found, entry->type,
                         entry->bytes.data(), static_cast<DWORD>(entry->bytes.size()));
        }
        cache->store(std::move(entry));
    }
    return rc;
}

// Runs one value write (set or delete) of the key at `row` as a transaction of its own,
// or inside the thread's, touching the value's bucket so that its commit announces it.
template <typename Write>
DWORD writeValue(Connection& c, std::int64_t row, Write write) {
    WriteScope txn(c);
    DWORD rc = txn.status();
    if (rc != ERROR_SUCCESS)
        return rc;
    c.touch(ChangeCounters::valueBucket(row));
    rc = write();
    return rc == ERROR_SUCCESS ? txn.commit() : rc;
}

}  // namespace

DWORD queryValue(HKEY key, std::string_view name, DWORD* type, void* data, DWORD* size) {
    if (data != nullptr && size == nullptr)
        return done(ERROR_INVALID_PARAMETER);
    Call call;
    DWORD rc = call.start(key);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (!(call.ref.access & KEY_QUERY_VALUE))
        return done(ERROR_ACCESS_DENIED);
    if (call.ref.id == 0)
        return done(ERROR_FILE_NOT_FOUND);
    return done(readValue(*call.c, call.ref.id, name, type, data, size));
}

DWORD getValue(HKEY key, std::string_view subKey, std::string_view name, DWORD* type, void* data,
               DWORD* size, bool* keyExists) {
    bool ignored;
    bool& exists = keyExists != nullptr ? *keyExists : ignored;
    exists = false;
    if (data != nullptr && size == nullptr)
        return done(ERROR_INVALID_PARAMETER);
    Call call;
    DWORD rc = call.start(key);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    Connection& c = *call.c;
    if (subKey.empty()) {
        if (!(call.ref.access & KEY_QUERY_VALUE))
            return done(ERROR_ACCESS_DENIED);
        if (call.ref.id == 0)
            return done(ERROR_FILE_NOT_FOUND);
        rc = readValue(c, call.ref.id, name, type, data, size);
        exists = rc != ERROR_KEY_DELETED;
        return done(rc);
    }
    // Warm, the whole reading is one entry: the key as spelled and the value as named.
    ValueCache* cache = c.readCache();
    if (cache != nullptr) {
        ValueCache::readingOf(c.reading, call.ref.root, call.ref.path, subKey, name);
        if (const CacheEntry* e = cache->find(c.reading)) {
            exists = e->row != 0;
            if (!e->found)
                return done(ERROR_FILE_NOT_FOUND);
            return done(giveValue(e->type, e->bytes.data(), static_cast<DWORD>(e->bytes.size()),
                                  type, data, size));
        }
    }
    Found found;
    rc = findKey(c, call.ref, subKey, found, nullptr);
    if (rc == ERROR_FILE_NOT_FOUND && cache != nullptr) {
        // No such key: that too is a reading, valid until the key's bucket changes.
        auto entry = std::make_unique<CacheEntry>();
        entry->key = c.reading;
        entry->bucket = found.bucket;
        entry->counter = found.counter;
        cache->store(std::move(entry));
    }
    if (rc != ERROR_SUCCESS)
        return done(rc);
    const Reading reading{&c.reading, &found};
    rc = readValue(c, found.id, name, type, data, size, cache != nullptr ? &reading : nullptr);
    // The key was found a moment ago: gone since, it is not there, as when opening it.
    if (rc == ERROR_KEY_DELETED)
        return done(ERROR_FILE_NOT_FOUND);
    exists = true;
    return done(rc);
}

DWORD setValue(HKEY key, std::string_view name, DWORD type, const void* data, DWORD size) {
    if (data == nullptr && size != 0)
        return done(ERROR_INVALID_PARAMETER);
    if (name.size() > kMaxValueNameLength)
        return done(ERROR_INVALID_PARAMETER);
    Call call;
    DWORD rc = call.start(key);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (!(call.ref.access & KEY_SET_VALUE))
        return done(ERROR_ACCESS_DENIED);
    Connection& c = *call.c;
    if (call.ref.id == 0) {  // a predefined alias whose key is not there yet
        WriteScope txn(c);
        if ((rc = txn.status()) != ERROR_SUCCESS ||
            (rc = materialise(c, call.ref)) != ERROR_SUCCESS ||
            (rc = txn.commit()) != ERROR_SUCCESS) {
            return done(rc);
        }
    }
    // SQLite takes sizes as int: a size of 2 GiB or more would turn negative, and a
    // refused bind would leave the previous call's data bound in its place.
    if (size > static_cast<DWORD>(sqlite3_limit(c.db(), SQLITE_LIMIT_LENGTH, -1)))
        return done(ERROR_INVALID_PARAMETER);
    rc = writeValue(c, call.ref.id, [&]() -> DWORD {
        sqlite3_stmt* s = c.stmt(kSetValue);
        if (s == nullptr)
            return ERROR_OUTOFMEMORY;
        Reset reset(s);
        std::string fold = folded(name);
        sqlite3_bind_int64(s, 1, call.ref.id);
        bindText(s, 2, fold);
        bindText(s, 3, name);
        sqlite3_bind_int64(s, 4, type);
        int bound = size == 0
                        ? sqlite3_bind_zeroblob(s, 5, 0)
                        : sqlite3_bind_blob(s, 5, data, static_cast<int>(size), SQLITE_STATIC);
        if (bound != SQLITE_OK)
            return fromSqlite(bound);
        int step = sqlite3_step(s);
        if (step != SQLITE_DONE)
            return fromSqlite(step);
        return sqlite3_changes(c.db()) == 0 ? ERROR_KEY_DELETED : ERROR_SUCCESS;
    });
    return done(rc);
}

DWORD deleteValue(HKEY key, std::string_view name) {
    Call call;
    DWORD rc = call.start(key);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (!(call.ref.access & KEY_SET_VALUE))
        return done(ERROR_ACCESS_DENIED);
    Connection& c = *call.c;
    if (call.ref.id == 0)
        return done(ERROR_FILE_NOT_FOUND);
    rc = writeValue(c, call.ref.id, [&]() -> DWORD {
        sqlite3_stmt* s = c.stmt(kDeleteValue);
        if (s == nullptr)
            return ERROR_OUTOFMEMORY;
        std::string fold = folded(name);
        {
            Reset reset(s);
            sqlite3_bind_int64(s, 1, call.ref.id);
            bindText(s, 2, fold);
            int step = sqlite3_step(s);
            if (step != SQLITE_DONE)
                return fromSqlite(step);
        }
        if (sqlite3_changes(c.db()) != 0)
            return ERROR_SUCCESS;
        DWORD gone = keyGone(c, call.ref);
        return gone == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : gone;
    });
    return done(rc);
}

namespace {

// Steps an enumeration statement to the index-th row, continuing from the handle's cursor
// when the index follows it.
template <typename OnRow>
DWORD enumerate(Call& call, DWORD index, Sql first, Sql after, Sql at,
                int64_t KeyHandle::*lastIndex, std::string KeyHandle::*lastFold, OnRow onRow) {
    Connection& c = *call.c;
    SqlScope sql(c);
    if (call.ref.id == 0)
        return ERROR_FILE_NOT_FOUND;
    KeyHandle* h = call.ref.handle;
    std::unique_lock<std::mutex> lock;
    if (h)
        lock = std::unique_lock<std::mutex>(h->cursorMutex);
    sqlite3_stmt* s;
    std::string fold;
    if (index == 0) {
        s = c.stmt(first);
    } else if (h && h->*lastIndex + 1 == static_cast<int64_t>(index)) {
        s = c.stmt(after);
        fold = h->*lastFold;
        if (s)
            bindText(s, 2, fold);
    } else {
        s = c.stmt(at);
        if (s)
            sqlite3_bind_int64(s, 2, index);
    }
    if (s == nullptr)
        return ERROR_OUTOFMEMORY;
    Reset reset(s);
    sqlite3_bind_int64(s, 1, call.ref.id);
    int step = sqlite3_step(s);
    if (step == SQLITE_DONE) {
        if (h)
            h->*lastIndex = -1;
        DWORD rc = keyGone(c, call.ref);
        return rc == ERROR_SUCCESS ? ERROR_NO_MORE_ITEMS : rc;
    }
    if (step != SQLITE_ROW)
        return fromSqlite(step);
    if (h) {
        h->*lastIndex = index;
        h->*lastFold = std::string(columnText(s, 1));
    }
    return onRow(s);
}

}  // namespace

DWORD enumKey(HKEY key, DWORD index, std::string* name) {
    if (name == nullptr)
        return done(ERROR_INVALID_PARAMETER);
    Call call;
    DWORD rc = call.start(key);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (!(call.ref.access & KEY_ENUMERATE_SUB_KEYS))
        return done(ERROR_ACCESS_DENIED);
    rc = enumerate(call, index, kEnumKeyFirst, kEnumKeyAfter, kEnumKeyAt, &KeyHandle::lastKeyIndex,
                   &KeyHandle::lastKeyFold, [&](sqlite3_stmt* s) {
                       name->assign(columnText(s, 0));
                       return ERROR_SUCCESS;
                   });
    return done(rc);
}

DWORD enumValue(HKEY key, DWORD index, std::string* name, DWORD* type, void* data, DWORD* size) {
    if (name == nullptr || (data != nullptr && size == nullptr))
        return done(ERROR_INVALID_PARAMETER);
    Call call;
    DWORD rc = call.start(key);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (!(call.ref.access & KEY_QUERY_VALUE))
        return done(ERROR_ACCESS_DENIED);
    rc = enumerate(call, index, kEnumValueFirst, kEnumValueAfter, kEnumValueAt,
                   &KeyHandle::lastValueIndex, &KeyHandle::lastValueFold, [&](sqlite3_stmt* s) {
                       name->assign(columnText(s, 0));
                       return giveValue(static_cast<DWORD>(sqlite3_column_int64(s, 2)),
                                        sqlite3_column_blob(s, 3),
                                        static_cast<DWORD>(sqlite3_column_bytes(s, 3)), type, data,
                                        size);
                   });
    return done(rc);
}

DWORD queryInfoKey(HKEY key, KeyInfo* info) {
    if (info == nullptr)
        return done(ERROR_INVALID_PARAMETER);
    Call call;
    DWORD rc = call.start(key);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (!(call.ref.access & KEY_QUERY_VALUE))
        return done(ERROR_ACCESS_DENIED);
    Connection& c = *call.c;
    if (call.ref.id == 0)
        return done(ERROR_FILE_NOT_FOUND);
    SqlScope sql(c);
    // Both counts in one read transaction, so they describe the same moment.
    const bool own = sqlite3_get_autocommit(c.db()) != 0;
    if (own && c.exec("BEGIN") != SQLITE_OK)
        return done(ERROR_BUSY);
    struct EndRead {
        Connection& c;
        bool own;
        ~EndRead() {
            if (own)
                c.exec("COMMIT");
        }
    } endRead{c, own};
    rc = keyGone(c, call.ref);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    *info = KeyInfo{};
    sqlite3_stmt* s = c.stmt(kInfoKeys);
    if (s == nullptr)
        return done(ERROR_OUTOFMEMORY);
    {
        Reset reset(s);
        sqlite3_bind_int64(s, 1, call.ref.id);
        int step = sqlite3_step(s);
        if (step != SQLITE_ROW)
            return done(fromSqlite(step));
        info->subKeys = static_cast<DWORD>(sqlite3_column_int64(s, 0));
        info->maxSubKeyLen = static_cast<DWORD>(sqlite3_column_int64(s, 1));
    }
    s = c.stmt(kInfoValues);
    if (s == nullptr)
        return done(ERROR_OUTOFMEMORY);
    Reset reset(s);
    sqlite3_bind_int64(s, 1, call.ref.id);
    int step = sqlite3_step(s);
    if (step != SQLITE_ROW)
        return done(fromSqlite(step));
    info->values = static_cast<DWORD>(sqlite3_column_int64(s, 0));
    info->maxValueNameLen = static_cast<DWORD>(sqlite3_column_int64(s, 1));
    info->maxValueLen = static_cast<DWORD>(sqlite3_column_int64(s, 2));
    return done(ERROR_SUCCESS);
}

DWORD keyPath(HKEY key, std::string* path) {
    if (path == nullptr)
        return done(ERROR_INVALID_PARAMETER);
    Call call;
    DWORD rc = call.start(key);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    Connection& c = *call.c;
    if (call.ref.id == 0)
        return done(ERROR_FILE_NOT_FOUND);
    std::vector<std::string> parts;
    int64_t id = call.ref.id;
    SqlScope sql(c);
    sqlite3_stmt* s = c.stmt(kKeyRow);
    if (s == nullptr)
        return done(ERROR_OUTOFMEMORY);
    while (true) {
        Reset reset(s);
        sqlite3_bind_int64(s, 1, id);
        int step = sqlite3_step(s);
        if (step == SQLITE_DONE)
            return done(call.ref.handle ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND);
        if (step != SQLITE_ROW)
            return done(fromSqlite(step));
        if (sqlite3_column_type(s, 0) == SQLITE_NULL)
            break;  // the root itself
        parts.emplace_back(columnText(s, 1));
        id = sqlite3_column_int64(s, 0);
    }
    path->clear();
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        if (!path->empty())
            *path += '\\';
        *path += *it;
    }
    return done(ERROR_SUCCESS);
}

}  // namespace kyos::reg
