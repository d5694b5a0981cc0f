// The registry store's own parts, shared by its files and by nothing outside os/registry:
// the store and its per-thread connections (RegistryStore.cpp), the read cache and the
// change counters (ValueCache.cpp), the per-call path (Registry_posix.cpp) and the tree
// operations (RegistryTree.cpp).
//
// Layout. `keys` holds one row per key: its root (0 HKEY_LOCAL_MACHINE, 1 HKEY_USERS),
// its full path below the root in folded (case-insensitive) form, its parent's row, its
// name as created, and whether it is volatile. `vals` holds the values, keyed by
// (key row, folded name). The full-path index makes opening a key one lookup whatever
// its depth; the (parent, folded name) index serves enumeration in a stable order. Rows
// are never reused (AUTOINCREMENT), so a stale handle, or a cached answer about a row,
// can never reach another key.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "os/Win32.h"
#include "os/registry/Registry.h"
#include "os/registry/ValueCache.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kyos::reg {

// Outside the detail namespace: it completes the type that HKEY points to.
struct KeyHandle {
    std::uint32_t magic;
    int root;
    std::int64_t id;
    std::string path;  // folded, below the root
    REGSAM access;
    bool isVolatile;
    std::uint64_t storeGeneration;

    // Enumeration cursors: the last index served and its folded name, so that the next
    // index continues from there instead of counting from the start.
    std::mutex cursorMutex;
    std::int64_t lastKeyIndex = -1;
    std::string lastKeyFold;
    std::int64_t lastValueIndex = -1;
    std::string lastValueFold;
};

namespace detail {

constexpr int kRootLocalMachine = 0;
constexpr int kRootUsers = 1;
constexpr std::int64_t kLocalMachineRow = 1;
constexpr std::int64_t kUsersRow = 2;
constexpr std::uint32_t kHandleMagic = 0x4b59524b;  // "KYRK"

// Removing or moving keys below a handle is a change of its tree, as creating them is:
// the handle needs KEY_CREATE_SUB_KEY (part of KEY_WRITE) or DELETE for it.
constexpr REGSAM kTreeAccess = KEY_CREATE_SUB_KEY | DELETE;
// Reading a whole tree (to copy it) reads its values and walks its subkeys.
constexpr REGSAM kTreeReadAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;

// Sets the thread's last error and returns the code.
DWORD done(DWORD code);
// The Win32 code of an SQLite result.
DWORD fromSqlite(int rc);
const std::string& bootId();
// 0600 for root's store files, 0660 (the owner's group may share a store) otherwise.
mode_t storeFileMode();

// One store file in use by the process, with its change counters and read cache.
struct Store {
    explicit Store(std::string path);
    const std::string path;
    ChangeCounters counters;
    ValueCache cache;
    std::once_flag volatilePurge;
};

enum Sql {
    kLookupKey,
    kQueryValue,
    kSetValue,
    kDeleteValue,
    kKeyExists,
    kInsertKey,
    kEnumKeyFirst,
    kEnumKeyAfter,
    kEnumKeyAt,
    kEnumValueFirst,
    kEnumValueAfter,
    kEnumValueAt,
    kInfoKeys,
    kInfoValues,
    kKeyRow,
    kHasSubKeys,
    kDeleteKeyRow,
    kDeleteKeyValues,
    kSubtreeRows,
    kDeleteSubtreeValues,
    kDeleteSubtreeKeys,
    kDeleteChildrenValues,
    kDeleteChildrenKeys,
    kCopyValues,
    kMoveSubtree,
    kMoveTop,
    kBeginImmediate,
    kCommit,
    kRollback,
    kSqlCount,
};

// A thread's connection to a store: its SQLite handle and prepared statements, its
// transaction state, and what the transaction it is in has changed.
class Connection {
public:
    Connection(std::shared_ptr<Store> store, std::uint64_t storeGeneration,
               std::uint64_t forkGeneration);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    DWORD open();
    void close();

    sqlite3* db() const { return db_; }
    Store& store() const { return *store_; }
    std::uint64_t storeGeneration() const { return storeGeneration_; }
    std::uint64_t forkGeneration() const { return forkGeneration_; }

    // A prepared statement, reset and ready to bind; nullptr only when out of memory.
    sqlite3_stmt* stmt(Sql which);
    // Runs one statement that returns no rows (schema, pragmas, transaction control).
    int exec(const char* sql);
    // Steps a prepared statement that returns no rows; the SQLite result.
    int run(Sql which);

    // The cache this thread's reads may use now: none inside a transaction or read view
    // (they must see their own moment of the store), or when caching is off.
    ValueCache* readCache() {
        return depth == 0 && readDepth == 0 && cacheOn_ && ValueCache::limit() != 0 ? &store_->cache
                                                                                    : nullptr;
    }
    // Records a bucket the current write changes; announced when it commits.
    void touch(std::uint32_t bucket) { touched.push_back(bucket); }

    // Transactions: depth 0 is none; 1 is BEGIN IMMEDIATE; deeper ones are savepoints.
    int depth = 0;
    // Open read views (ReadTransaction) outside any write transaction.
    int readDepth = 0;
    // The buckets the open write transaction changed (or all of them).
    std::vector<std::uint32_t> touched;
    bool touchedAll = false;
    std::string path;      // reused for folded key paths on the hot path
    std::string scratch;   // reused for folding names on the hot path
    std::string cacheKey;  // reused for building cache keys on the hot path
    std::string spelling;  // reused for the cache key of a path as a caller spelled it
    std::string reading;   // reused for the cache key of a value read through a spelling

    // The wait for a busy store ends at this time (set on the first retry).
    std::int64_t busyDeadline = 0;

    // Whether the thread is inside SQLite on this connection now (SqlScope), for a fork
    // to wait on; and how deep.
    std::atomic<bool> inside{false};
    int insideDepth = 0;

private:
    std::shared_ptr<Store> store_;
    std::uint64_t storeGeneration_;
    std::uint64_t forkGeneration_;
    bool cacheOn_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmts_[kSqlCount] = {};
};

// The calling thread's connection to the current store, opened on first use.
DWORD connection(Connection*& out);
// The calling thread's connection when it is `c` and still in a transaction (or read
// view): a thread that moved to another store or connection has lost it already.
Connection* threadConnection(void* c);

// Marks the thread inside SQLite on `c` for its scope. A thread that forks waits until no
// other thread is (a child must not inherit SQLite's locks held), and a thread entering
// while one forks waits for the fork. Nests. Every use of SQLite on a connection is inside
// one; the cache's own locks are never taken inside one.
class SqlScope {
public:
    explicit SqlScope(Connection& c);
    ~SqlScope();
    SqlScope(const SqlScope&) = delete;
    SqlScope& operator=(const SqlScope&) = delete;

private:
    Connection& c_;
};

// Binding helpers. Texts are bound without copying; they outlive the statement's step.
void bindText(sqlite3_stmt* s, int i, std::string_view v);
std::string_view columnText(sqlite3_stmt* s, int i);

// Resets a statement when the scope ends, whatever path leaves it.
class Reset {
public:
    explicit Reset(sqlite3_stmt* s) : s_(s) {}
    ~Reset();
    Reset(const Reset&) = delete;
    Reset& operator=(const Reset&) = delete;

private:
    sqlite3_stmt* s_;
};

// Write transactions nest: the outermost is BEGIN IMMEDIATE (it waits for the write lock
// up front, so it can never fail later for want of it), inner ones are savepoints. The
// outermost commit announces the buckets the transaction touched to every process's cache.
DWORD beginWrite(Connection& c);
DWORD endWrite(Connection& c, bool commit);
DWORD beginRead(Connection& c);
void endRead(Connection& c);

// One write transaction of a call, or a savepoint inside the thread's open transaction.
class WriteScope {
public:
    explicit WriteScope(Connection& c) : sql_(c), c_(c), status_(beginWrite(c)) {}
    ~WriteScope() {
        if (status_ == ERROR_SUCCESS && !finished_)
            endWrite(c_, false);
    }
    WriteScope(const WriteScope&) = delete;
    WriteScope& operator=(const WriteScope&) = delete;

    DWORD status() const { return status_; }
    DWORD commit() {
        finished_ = true;
        return endWrite(c_, true);
    }

private:
    SqlScope sql_;  // first made, last gone: the whole transaction is inside SQLite
    Connection& c_;
    DWORD status_;
    bool finished_ = false;
};

// What a handle (predefined or opened) stands for.
struct Ref {
    int root = kRootLocalMachine;
    std::int64_t id = 0;    // 0 when the key of a predefined alias does not exist yet
    std::string_view path;  // folded
    REGSAM access = KEY_ALL_ACCESS;
    bool isVolatile = false;
    KeyHandle* handle = nullptr;
};

// The connection and what `key` stands for, or the error that prevents the call.
struct Call {
    Connection* c = nullptr;
    Ref ref;
    DWORD start(HKEY key);
};

// Folded path below the root of `base` + the parts of `sub`; false when a part is too
// long.
bool joinPath(std::string_view base, std::string_view sub, std::string& out,
              std::vector<std::string_view>* partsOut = nullptr);
// Finds the row of a key by folded path (through the cache when the thread may use it).
DWORD lookup(Connection& c, int root, std::string_view path, std::int64_t& id, bool& isVolatile);
DWORD resolve(Connection& c, HKEY key, Ref& ref);
// The row of a key that must exist: ERROR_KEY_DELETED when an open handle's key is gone.
DWORD keyGone(Connection& c, const Ref& ref);
// Creates every missing key along `parts` below `base` (which exists, row baseId), inside
// the caller's write transaction. Sets `created` when the last key is new.
DWORD createPath(Connection& c, int root, std::int64_t baseId, bool baseVolatile,
                 std::string_view base, const std::vector<std::string_view>& parts,
                 bool makeVolatile, std::int64_t& id, bool& isVolatile, bool& created);
// Makes sure the key a predefined alias names (HKEY_CURRENT_USER's hive, ...) exists.
DWORD materialise(Connection& c, Ref& ref);
// Steps a statement that returns no rows (or one), and resets it.
DWORD stepAll(sqlite3_stmt* s);

}  // namespace detail
}  // namespace kyos::reg
