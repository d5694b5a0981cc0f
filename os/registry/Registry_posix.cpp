// The registry store over SQLite: schema, per-thread connections, the key-location cache
// and the Win32-shaped calls.
//
// Layout. `keys` holds one row per key: its root (0 HKEY_LOCAL_MACHINE, 1 HKEY_USERS),
// its full path below the root in folded (case-insensitive) form, its parent's row, its
// name as created, and whether it is volatile. `vals` holds the values, keyed by
// (key row, folded name). The full-path index makes opening a key one lookup whatever
// its depth; the (parent, folded name) index serves enumeration in a stable order.
//
// The key-location cache. A read of one value is one SQLite statement, and the cost of a
// statement here is mostly the begin and end of its read transaction. Opening the key
// first would double it, so each connection remembers where keys live (path -> row).
// Only deleting or moving keys can make such an entry wrong, and every such change
// bumps a counter shared by all processes (the "kyseq" file beside the store): odd while
// a change is under way, and moved on again once it is committed. An entry is used only
// when the counter is even and unchanged since the entry was made. A writer that dies
// mid-change leaves the counter odd, which merely turns the caches off until the next
// change, whose robust mutex recovery repairs the counter. Rows are never reused
// (AUTOINCREMENT), so a stale handle can never reach another key.
#include "os/registry/Registry.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "os/LastError.h"
#include "os/registry/RegistryNames.h"

namespace kyos::reg {

// Outside the anonymous namespace: it completes the type that HKEY points to.
struct KeyHandle;

namespace {

// How long a caller waits for a store that another thread or process is writing before
// the call fails with ERROR_BUSY. Long enough to outlast any tree operation or
// checkpoint, short enough that a wedged store is reported rather than hanging a daemon.
constexpr int64_t kBusyTimeoutNs = 20'000'000'000;

// Entries a connection's key-location cache holds before it starts over. Installations
// have a few thousand keys; the bound only stops a key-walking tool from growing it
// without limit.
constexpr size_t kKeyCacheLimit = 8192;

constexpr int kSchemaVersion = 1;
constexpr int kRootLocalMachine = 0;
constexpr int kRootUsers = 1;
constexpr int64_t kLocalMachineRow = 1;
constexpr int64_t kUsersRow = 2;

constexpr uint32_t kHandleMagic = 0x4b59524b;  // "KYRK"
constexpr uint32_t kSeqMagic = 0x4b595351;     // "KYSQ"
constexpr uint32_t kSeqVersion = 1;

DWORD done(DWORD code) {
    setLastError(code);
    return code;
}

int64_t monotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

DWORD fromSqlite(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return ERROR_SUCCESS;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_BUSY;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_NOMEM:
            return ERROR_OUTOFMEMORY;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return ERROR_REGISTRY_CORRUPT;
        case SQLITE_CANTOPEN:
            return ERROR_CANTOPEN;
        case SQLITE_TOOBIG:
            return ERROR_INVALID_PARAMETER;
        default:
            return ERROR_REGISTRY_IO_FAILED;
    }
}

std::string readBootId() {
    char buf[64] = {};
    int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t n = read(fd, buf, sizeof buf - 1);
        close(fd);
        if (n > 0) {
            std::string id(buf, static_cast<size_t>(n));
            while (!id.empty() && (id.back() == '\n' || id.back() == ' '))
                id.pop_back();
            if (!id.empty())
                return id;
        }
    }
    // Without /proc, the boot time stands in for the boot id.
    timespec now, up;
    clock_gettime(CLOCK_REALTIME, &now);
    clock_gettime(CLOCK_BOOTTIME, &up);
    return "boot-" + std::to_string((now.tv_sec - up.tv_sec) / 10);
}

const std::string& bootId() {
    static const std::string id = readBootId();
    return id;
}

mode_t storeFileMode();

// ---------------------------------------------------------------------------------------
// The shared change counter ("<store>-kyseq").

struct SeqShared {
    uint32_t magic;
    uint32_t version;
    char bootId[64];
    pthread_mutex_t mutex;  // held from the first key deletion or move of a transaction
                            // until after its commit
    std::atomic<uint64_t> generation;
};

class SeqArea {
public:
    explicit SeqArea(const std::string& storeFile) { map(storeFile + "-kyseq"); }
    ~SeqArea() {
        if (shared_ != nullptr)
            munmap(shared_, sizeof(SeqShared));
    }
    SeqArea(const SeqArea&) = delete;
    SeqArea& operator=(const SeqArea&) = delete;

    // The counter as readers see it; odd (or absent area) means "do not trust caches".
    uint64_t generation() const {
        return shared_ ? shared_->generation.load(std::memory_order_acquire) : 1;
    }

    // Brackets a committed or rolled-back change of key locations.
    bool beginChange() {
        if (shared_ == nullptr || !writable_)
            return true;
        int rc = pthread_mutex_lock(&shared_->mutex);
        if (rc == EOWNERDEAD) {
            // The last changer died inside its change: whatever it left, move the counter
            // past every entry made meanwhile.
            shared_->generation.fetch_add(2, std::memory_order_acq_rel);
            pthread_mutex_consistent(&shared_->mutex);
        } else if (rc != 0) {
            return false;
        }
        uint64_t g = shared_->generation.load(std::memory_order_relaxed);
        shared_->generation.store((g + 1) | 1, std::memory_order_release);  // odd: changing
        return true;
    }
    void endChange() {
        if (shared_ == nullptr || !writable_)
            return;
        uint64_t g = shared_->generation.load(std::memory_order_relaxed);
        shared_->generation.store((g | 1) + 1, std::memory_order_release);
        pthread_mutex_unlock(&shared_->mutex);
    }

private:
    void map(const std::string& file) {
        struct stat st;
        mode_t mode = storeFileMode();
        int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
        writable_ = fd >= 0;
        if (fd < 0)
            fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        // The creator's flock serialises initialisation; a file left from another boot
        // (whose mutex may still look held by a thread that no longer exists) is
        // initialised again.
        if (writable_) {
            fchmod(fd, mode);
            if (flock(fd, LOCK_EX) != 0 || !prepare(fd)) {
                close(fd);
                return;
            }
        } else if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(SeqShared))) {
            close(fd);
            return;
        }
        void* p = mmap(nullptr, sizeof(SeqShared), writable_ ? PROT_READ | PROT_WRITE : PROT_READ,
                       MAP_SHARED, fd, 0);
        if (writable_)
            flock(fd, LOCK_UN);
        close(fd);
        if (p == MAP_FAILED)
            return;
        shared_ = static_cast<SeqShared*>(p);
        if (shared_->magic != kSeqMagic || shared_->version != kSeqVersion) {
            munmap(p, sizeof(SeqShared));
            shared_ = nullptr;
        }
    }

    static bool prepare(int fd) {
        if (ftruncate(fd, sizeof(SeqShared)) != 0) {
            struct stat st;
            if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(SeqShared)))
                return false;
        }
        void* p = mmap(nullptr, sizeof(SeqShared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED)
            return false;
        auto* s = static_cast<SeqShared*>(p);
        const std::string& boot = bootId();
        bool current = __atomic_load_n(&s->magic, __ATOMIC_ACQUIRE) == kSeqMagic &&
                       s->version == kSeqVersion &&
                       std::strncmp(s->bootId, boot.c_str(), sizeof s->bootId) == 0;
        if (!current) {
            s->magic = 0;
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
            new (&s->generation) std::atomic<uint64_t>(static_cast<uint64_t>(now.tv_sec) << 20);
            s->version = kSeqVersion;
            __atomic_store_n(&s->magic, kSeqMagic, __ATOMIC_RELEASE);  // published last
        }
        munmap(p, sizeof(SeqShared));
        return true;
    }

    SeqShared* shared_ = nullptr;
    bool writable_ = false;
};

// ---------------------------------------------------------------------------------------
// The store in use by the process.

// Creates the folders above the store file; permissions follow the store's owner.
const std::string& withParentDirs(const std::string& file) {
    mode_t mode = geteuid() == 0 ? 0755 : 0770;
    for (size_t i = 1; i < file.size(); ++i) {
        if (file[i] != '/')
            continue;
        std::string dir = file.substr(0, i);
        if (mkdir(dir.c_str(), mode) != 0 && errno != EEXIST)
            break;
    }
    return file;
}

// The store files are private to their owner: 0600 for root's, 0660 (the owner's group
// may share an unprivileged store) otherwise.
mode_t storeFileMode() {
    return geteuid() == 0 ? 0600 : 0660;
}

struct Store {
    explicit Store(std::string p) : path(std::move(p)), seq(withParentDirs(path)) {}
    const std::string path;
    SeqArea seq;
    std::once_flag volatilePurge;
};

std::mutex g_storeMutex;
std::shared_ptr<Store> g_store;              // guarded by g_storeMutex
std::string g_storeOverride;                 // guarded by g_storeMutex
std::atomic<uint64_t> g_storeGeneration{1};  // moves on with every setStorePath
std::atomic<uint64_t> g_forkGeneration{0};   // moves on in every child after fork

std::string homeDataDir() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && *xdg == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share";
}

std::shared_ptr<Store> currentStore() {
    std::lock_guard<std::mutex> lock(g_storeMutex);
    if (!g_store)
        g_store =
            std::make_shared<Store>(g_storeOverride.empty() ? defaultStorePath() : g_storeOverride);
    return g_store;
}

// ---------------------------------------------------------------------------------------
// Statements and connections.

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
    kSqlCount,
};

// "Subtree of P" is P itself and every path between "P\" and "P]" (']' follows '\'),
// so a range scan of the path index finds it; "children of P" leaves P out.
constexpr const char* kSqlText[kSqlCount] = {
    "SELECT id, volatile FROM keys WHERE root=?1 AND path=?2",
    "SELECT v.type, v.data FROM keys k LEFT JOIN vals v ON v.key=k.id AND v.fold=?2 WHERE k.id=?1",
    "INSERT INTO vals(key, fold, name, type, data) SELECT ?1, ?2, ?3, ?4, ?5 "
    "WHERE EXISTS(SELECT 1 FROM keys WHERE id=?1) "
    "ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data",
    "DELETE FROM vals WHERE key=?1 AND fold=?2",
    "SELECT 1 FROM keys WHERE id=?1",
    "INSERT INTO keys(root, path, parent, name, fold, volatile) VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
    "SELECT name, fold FROM keys WHERE parent=?1 ORDER BY fold LIMIT 1",
    "SELECT name, fold FROM keys WHERE parent=?1 AND fold>?2 ORDER BY fold LIMIT 1",
    "SELECT name, fold FROM keys WHERE parent=?1 ORDER BY fold LIMIT 1 OFFSET ?2",
    "SELECT name, fold, type, data FROM vals WHERE key=?1 ORDER BY fold LIMIT 1",
    "SELECT name, fold, type, data FROM vals WHERE key=?1 AND fold>?2 ORDER BY fold LIMIT 1",
    "SELECT name, fold, type, data FROM vals WHERE key=?1 ORDER BY fold LIMIT 1 OFFSET ?2",
    "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0) FROM keys WHERE parent=?1",
    "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0), coalesce(max(length(data)), 0) "
    "FROM vals WHERE key=?1",
    "SELECT parent, name, root, path FROM keys WHERE id=?1",
    "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1",
    "DELETE FROM keys WHERE id=?1",
    "DELETE FROM vals WHERE key=?1",
    "SELECT id, path, name, volatile FROM keys WHERE root=?1 AND (path=?2 OR (path>?3 AND "
    "(?4 IS NULL OR path<?4))) ORDER BY path",
    "DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE root=?1 AND (path=?2 OR (path>?3 AND "
    "path<?4)))",
    "DELETE FROM keys WHERE root=?1 AND (path=?2 OR (path>?3 AND path<?4))",
    "DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE root=?1 AND path>?3 AND (?4 IS NULL "
    "OR "
    "path<?4) AND path<>?2)",
    "DELETE FROM keys WHERE root=?1 AND path>?3 AND (?4 IS NULL OR path<?4) AND path<>?2",
    "INSERT INTO vals(key, fold, name, type, data) SELECT ?1, fold, name, type, data FROM vals "
    "WHERE key=?2 ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data",
    "UPDATE keys SET path=?5 || CAST(substr(CAST(path AS BLOB), ?6) AS TEXT) "
    "WHERE root=?1 AND path>?3 AND path<?4",
    "UPDATE keys SET path=?2, parent=?3, name=?4, fold=?5 WHERE id=?1",
};

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " root INTEGER NOT NULL,"
    " path TEXT NOT NULL,"
    " parent INTEGER,"
    " name TEXT NOT NULL,"
    " fold TEXT NOT NULL,"
    " volatile INTEGER NOT NULL DEFAULT 0);"
    "CREATE UNIQUE INDEX IF NOT EXISTS keys_by_path ON keys(root, path);"
    "CREATE UNIQUE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, fold);"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL,"
    " fold TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key, fold)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value TEXT) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO keys(id, root, path, parent, name, fold) VALUES"
    " (1, 0, '', NULL, 'HKEY_LOCAL_MACHINE', ''), (2, 1, '', NULL, 'HKEY_USERS', '');"
    "PRAGMA user_version=1;";

struct CacheEntry {
    int64_t id;
    bool isVolatile;
    uint64_t generation;
};

class Connection {
public:
    Connection(std::shared_ptr<Store> store, uint64_t storeGeneration, uint64_t forkGeneration)
        : store_(std::move(store)),
          storeGeneration_(storeGeneration),
          forkGeneration_(forkGeneration) {}
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    DWORD open();
    void close() {
        for (sqlite3_stmt*& s : stmts_) {
            sqlite3_finalize(s);
            s = nullptr;
        }
        if (db_ != nullptr)
            sqlite3_close_v2(db_);
        db_ = nullptr;
    }

    sqlite3* db() const { return db_; }
    Store& store() const { return *store_; }
    uint64_t storeGeneration() const { return storeGeneration_; }
    uint64_t forkGeneration() const { return forkGeneration_; }

    // A prepared statement, reset and ready to bind; nullptr only when out of memory.
    sqlite3_stmt* stmt(Sql which) {
        sqlite3_stmt*& s = stmts_[which];
        if (s == nullptr)
            sqlite3_prepare_v3(db_, kSqlText[which], -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
        return s;
    }

    // Runs one statement that returns no rows (schema, pragmas, transaction control).
    int exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

    // Key-location cache (see the file comment).
    const CacheEntry* cached(const std::string& key, uint64_t generation) const {
        if (generation & 1)
            return nullptr;
        auto it = cache_.find(key);
        return it != cache_.end() && it->second.generation == generation ? &it->second : nullptr;
    }
    void remember(const std::string& key, int64_t id, bool isVolatile, uint64_t generation) {
        // A read view may be older than the counter: what it finds would be filed under
        // a generation that has already seen the key deleted or moved.
        if ((generation & 1) || readDepth > 0)
            return;
        if (cache_.size() >= kKeyCacheLimit)
            cache_.clear();
        cache_[key] = CacheEntry{id, isVolatile, generation};
    }
    void forgetAll() { cache_.clear(); }

    // Transactions: depth 0 is none; 1 is BEGIN IMMEDIATE; deeper ones are savepoints.
    int depth = 0;
    // Open read views (ReadTransaction) outside any write transaction.
    int readDepth = 0;
    bool changingLocations = false;  // holds the shared counter's mutex until the outer end
    std::string scratch;             // reused for building cache keys on the hot path

    // The wait for a busy store ends at this time (set on the first retry).
    int64_t busyDeadline = 0;

private:
    std::shared_ptr<Store> store_;
    uint64_t storeGeneration_;
    uint64_t forkGeneration_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmts_[kSqlCount] = {};
    std::unordered_map<std::string, CacheEntry> cache_;
};

// Waits for a busy store with short yields first (most waits are another thread's single
// statement), then with sleeps that grow to 10 ms, until the deadline.
int busyHandler(void* arg, int attempt) {
    auto* c = static_cast<Connection*>(arg);
    int64_t now = monotonicNs();
    if (attempt == 0)
        c->busyDeadline = now + kBusyTimeoutNs;
    if (now >= c->busyDeadline)
        return 0;
    if (attempt < 16) {
        sched_yield();
    } else {
        int64_t ns = std::min<int64_t>(50'000LL << std::min(attempt - 16, 8), 10'000'000);
        timespec ts{0, static_cast<long>(ns)};
        nanosleep(&ts, nullptr);
    }
    return 1;
}

// Opens the store file, creating it (mode 0600 for root, 0660 otherwise) and its schema.
DWORD Connection::open() {
    const std::string& path = store_->path;
    mode_t mode = storeFileMode();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
        fchmod(fd, mode);  // whatever the umask
        ::close(fd);
    }
    int rc =
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        // A store another account owns may still be readable.
        rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                             nullptr);
        if (rc != SQLITE_OK) {
            DWORD code = access(path.c_str(), F_OK) == 0 ? ERROR_ACCESS_DENIED : fromSqlite(rc);
            close();
            return code;
        }
    }
    sqlite3_extended_result_codes(db_, 0);
    sqlite3_busy_handler(db_, busyHandler, this);
    // WAL with synchronous=NORMAL: a commit survives the process being killed at any
    // point; only a power cut can lose the last commits, and never tears a tree.
    exec("PRAGMA synchronous=NORMAL");
    exec("PRAGMA journal_size_limit=4194304");
    int persist = 1;  // keep the WAL file: a closing process must not unlink it under another
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);

    int version = 0;
    sqlite3_stmt* s = nullptr;
    rc = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &s, nullptr);
    if (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW)
        version = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    if (rc != SQLITE_ROW) {
        DWORD code = fromSqlite(rc);
        close();
        return code;
    }
    if (version > kSchemaVersion) {
        close();
        return ERROR_REGISTRY_CORRUPT;  // written by a newer build; do not guess at it
    }
    if (version < kSchemaVersion) {
        rc = exec("PRAGMA journal_mode=WAL");
        if (rc == SQLITE_OK)
            rc = exec("BEGIN IMMEDIATE");
        if (rc == SQLITE_OK) {
            rc = exec(kSchema);
            if (rc == SQLITE_OK) {
                std::string boot =
                    "INSERT OR IGNORE INTO meta VALUES('boot_id', '" + bootId() + "')";
                rc = exec(boot.c_str());
            }
            rc = rc == SQLITE_OK ? exec("COMMIT") : (exec("ROLLBACK"), rc);
        }
        if (rc != SQLITE_OK) {
            DWORD code = fromSqlite(rc);
            close();
            return code;
        }
    }
    return ERROR_SUCCESS;
}

// Every connection of the process, so that a child after fork() can close the ones it
// inherited (their threads do not exist there). Leaked on purpose: threads may still be
// using registry calls while static objects are destroyed at exit.
struct ConnectionList {
    std::mutex mutex;
    std::vector<Connection*> all;
};
ConnectionList& connections() {
    static auto* list = new ConnectionList;
    return *list;
}

void forkPrepare() {
    connections().mutex.lock();
}
void forkParent() {
    connections().mutex.unlock();
}
void forkChild() {
    connections().mutex.unlock();
    g_forkGeneration.fetch_add(1, std::memory_order_relaxed);
}

// Closes, in a child process, every connection inherited from the parent. SQLite must
// not carry a connection across fork(); closing them here (on the child's first call,
// not inside the fork handler) returns their locks and files cleanly.
void closeInherited(uint64_t forkGeneration) {
    ConnectionList& list = connections();
    std::vector<Connection*> inherited;
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        auto keep = std::partition(list.all.begin(), list.all.end(), [&](Connection* c) {
            return c->forkGeneration() == forkGeneration;
        });
        inherited.assign(keep, list.all.end());
        list.all.erase(keep, list.all.end());
    }
    for (Connection* c : inherited)
        delete c;
}

// The calling thread's connection, owned by the process list.
struct ThreadSlot {
    Connection* conn = nullptr;
    ~ThreadSlot() { release(); }
    void release() {
        if (conn == nullptr)
            return;
        ConnectionList& list = connections();
        {
            std::lock_guard<std::mutex> lock(list.mutex);
            auto it = std::find(list.all.begin(), list.all.end(), conn);
            if (it == list.all.end()) {
                conn = nullptr;  // already closed as an inherited connection
                return;
            }
            list.all.erase(it);
        }
        delete conn;
        conn = nullptr;
    }
};
thread_local ThreadSlot t_slot;

void purgeVolatileKeys(Connection& c);

// The calling thread's connection to the current store, opened on first use.
DWORD connection(Connection*& out) {
    static std::once_flag atfork;
    std::call_once(atfork, [] { pthread_atfork(forkPrepare, forkParent, forkChild); });
    uint64_t storeGen = g_storeGeneration.load(std::memory_order_acquire);
    uint64_t forkGen = g_forkGeneration.load(std::memory_order_relaxed);
    Connection* c = t_slot.conn;
    if (c != nullptr && c->forkGeneration() == forkGen && c->storeGeneration() == storeGen &&
        c->db()) {
        out = c;
        return ERROR_SUCCESS;
    }
    if (c != nullptr && c->forkGeneration() != forkGen)
        closeInherited(forkGen);
    t_slot.release();
    auto fresh = std::make_unique<Connection>(currentStore(), storeGen, forkGen);
    DWORD rc = fresh->open();
    if (rc != ERROR_SUCCESS)
        return rc;
    c = fresh.release();
    {
        ConnectionList& list = connections();
        std::lock_guard<std::mutex> lock(list.mutex);
        list.all.push_back(c);
    }
    t_slot.conn = c;
    std::call_once(c->store().volatilePurge, purgeVolatileKeys, std::ref(*c));
    out = c;
    return ERROR_SUCCESS;
}

// Binding helpers. Texts are bound without copying; they outlive the statement's step.
void bindText(sqlite3_stmt* s, int i, std::string_view v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
}
std::string_view columnText(sqlite3_stmt* s, int i) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    return p ? std::string_view(p, static_cast<size_t>(sqlite3_column_bytes(s, i)))
             : std::string_view();
}

// Resets a statement when the scope ends, whatever path leaves it.
class Reset {
public:
    explicit Reset(sqlite3_stmt* s) : s_(s) {}
    ~Reset() {
        if (s_)
            sqlite3_reset(s_);
    }
    Reset(const Reset&) = delete;
    Reset& operator=(const Reset&) = delete;

private:
    sqlite3_stmt* s_;
};

// Write transactions nest: the outermost is BEGIN IMMEDIATE (it waits for the write
// lock up front, so it can never fail later for want of it), inner ones are savepoints.
DWORD beginWrite(Connection& c) {
    if (c.readDepth > 0)
        return ERROR_ACCESS_DENIED;  // a read view is open on this thread
    int rc = c.exec(c.depth == 0 ? "BEGIN IMMEDIATE" : "SAVEPOINT ky");
    if (rc == SQLITE_OK)
        ++c.depth;
    return fromSqlite(rc);
}

DWORD endWrite(Connection& c, bool commit) {
    --c.depth;
    int rc;
    if (c.depth > 0) {
        rc = commit ? c.exec("RELEASE ky") : (c.exec("ROLLBACK TO ky"), c.exec("RELEASE ky"));
    } else {
        rc = commit ? c.exec("COMMIT") : c.exec("ROLLBACK");
        if (rc != SQLITE_OK)
            c.exec("ROLLBACK");
    }
    if (!commit || rc != SQLITE_OK)
        c.forgetAll();  // keys created in it are gone
    if (c.depth == 0 && c.changingLocations) {
        c.changingLocations = false;
        c.store().seq.endChange();
    }
    return commit ? fromSqlite(rc) : ERROR_SUCCESS;
}

// A read view: a deferred transaction whose snapshot is taken at once by a first read.
// WAL lets writers go on beside it. query_only turns the single-statement writes of the
// calls (setValue, deleteValue) into SQLITE_READONLY, ERROR_ACCESS_DENIED, for as long as
// it is open, so that none of them becomes part of it.
DWORD beginRead(Connection& c) {
    if (c.readDepth == 0) {
        int rc = c.exec("BEGIN");
        if (rc == SQLITE_OK)
            rc = c.exec("SELECT 1 FROM keys WHERE id=1");
        if (rc == SQLITE_OK)
            rc = c.exec("PRAGMA query_only=1");
        if (rc != SQLITE_OK) {
            c.exec("ROLLBACK");
            return fromSqlite(rc);
        }
    }
    ++c.readDepth;
    return ERROR_SUCCESS;
}

void endRead(Connection& c) {
    if (--c.readDepth > 0)
        return;
    c.exec("PRAGMA query_only=0");
    if (c.exec("COMMIT") != SQLITE_OK)
        c.exec("ROLLBACK");
}

// One write transaction of a call, or a savepoint inside the thread's open transaction.
class WriteScope {
public:
    explicit WriteScope(Connection& c) : c_(c), status_(beginWrite(c)) {}
    ~WriteScope() {
        if (status_ == ERROR_SUCCESS && !finished_)
            endWrite(c_, false);
    }
    WriteScope(const WriteScope&) = delete;
    WriteScope& operator=(const WriteScope&) = delete;

    DWORD status() const { return status_; }

    // Called before deleting or moving keys: announces the change to other processes'
    // caches. Held until the outermost transaction ends.
    DWORD changeLocations() {
        if (c_.changingLocations)
            return ERROR_SUCCESS;
        if (!c_.store().seq.beginChange())
            return ERROR_BUSY;
        c_.changingLocations = true;
        return ERROR_SUCCESS;
    }

    DWORD commit() {
        finished_ = true;
        return endWrite(c_, true);
    }

private:
    Connection& c_;
    DWORD status_;
    bool finished_ = false;
};

// Deletes the volatile keys of an earlier boot, once per process and store.
void purgeVolatileKeys(Connection& c) {
    sqlite3_stmt* s = nullptr;
    std::string stored;
    if (sqlite3_prepare_v2(c.db(), "SELECT value FROM meta WHERE name='boot_id'", -1, &s,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
        stored = std::string(columnText(s, 0));
    }
    sqlite3_finalize(s);
    if (stored == bootId() || sqlite3_db_readonly(c.db(), "main") == 1)
        return;
    WriteScope txn(c);
    if (txn.status() != ERROR_SUCCESS || txn.changeLocations() != ERROR_SUCCESS)
        return;
    std::string sql =
        "DELETE FROM vals WHERE key IN (SELECT k.id FROM keys k JOIN keys v ON v.volatile=1 AND "
        "k.root=v.root AND (k.path=v.path OR (k.path>v.path||'\\' AND k.path<v.path||']')));"
        "DELETE FROM keys WHERE id IN (SELECT k.id FROM keys k JOIN keys v ON v.volatile=1 AND "
        "k.root=v.root AND (k.path=v.path OR (k.path>v.path||'\\' AND k.path<v.path||']')));"
        "INSERT OR REPLACE INTO meta VALUES('boot_id', '" +
        bootId() + "');";
    if (c.exec(sql.c_str()) == SQLITE_OK)
        txn.commit();
}

// ---------------------------------------------------------------------------------------
// Handles.

// Removing or moving keys below a handle is a change of its tree, as creating them is:
// the handle needs KEY_CREATE_SUB_KEY (part of KEY_WRITE) or DELETE for it.
constexpr REGSAM kTreeAccess = KEY_CREATE_SUB_KEY | DELETE;
// Reading a whole tree (to copy it) reads its values and walks its subkeys.
constexpr REGSAM kTreeReadAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;

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

}  // namespace

struct KeyHandle {
    uint32_t magic = kHandleMagic;
    int root = kRootLocalMachine;
    int64_t id = 0;
    std::string path;  // folded, below the root
    REGSAM access = 0;
    bool isVolatile = false;
    uint64_t storeGeneration = 0;

    // Enumeration cursors: the last index served and its folded name, so that the next
    // index continues from there instead of counting from the start.
    std::mutex cursorMutex;
    int64_t lastKeyIndex = -1;
    std::string lastKeyFold;
    int64_t lastValueIndex = -1;
    std::string lastValueFold;
};

namespace {

// What a handle (predefined or opened) stands for.
struct Ref {
    int root = kRootLocalMachine;
    int64_t id = 0;         // 0 when the key of a predefined alias does not exist yet
    std::string_view path;  // folded
    REGSAM access = KEY_ALL_ACCESS;
    bool isVolatile = false;
    KeyHandle* handle = nullptr;
};

const std::string& currentUserPath() {
    static const std::string path = "s-1-22-1-" + std::to_string(geteuid());
    return path;
}

// Folded path below the root of `base` + the parts of `sub`; false when a part is too
// long.
bool joinPath(std::string_view base, std::string_view sub, std::string& out,
              std::vector<std::string_view>* partsOut = nullptr) {
    thread_local std::vector<std::string_view> parts;
    if (!splitKeyPath(sub, parts))
        return false;
    out.assign(base);
    for (std::string_view p : parts) {
        if (!out.empty())
            out += '\\';
        appendFolded(out, p);
    }
    if (partsOut)
        *partsOut = parts;
    return true;
}

void cacheKey(std::string& out, int root, std::string_view path) {
    out.clear();
    out += static_cast<char>('0' + root);
    out += path;
}

// Finds the row of a key by folded path (through the cache).
DWORD lookup(Connection& c, int root, std::string_view path, int64_t& id, bool& isVolatile) {
    uint64_t generation = c.store().seq.generation();
    cacheKey(c.scratch, root, path);
    if (const CacheEntry* e = c.cached(c.scratch, generation)) {
        id = e->id;
        isVolatile = e->isVolatile;
        return ERROR_SUCCESS;
    }
    sqlite3_stmt* s = c.stmt(kLookupKey);
    if (s == nullptr)
        return ERROR_OUTOFMEMORY;
    Reset reset(s);
    sqlite3_bind_int(s, 1, root);
    bindText(s, 2, path);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE)
        return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW)
        return fromSqlite(rc);
    id = sqlite3_column_int64(s, 0);
    isVolatile = sqlite3_column_int(s, 1) != 0;
    // Inside a write transaction the row may not be committed yet; a rollback clears
    // the cache (WriteScope::finish).
    c.remember(c.scratch, id, isVolatile, generation);
    return ERROR_SUCCESS;
}

bool isPredefined(HKEY key, int& root, const std::string*& prefix) {
    static const std::string empty;
    static const std::string classes = "software\\classes";
    if (key == HKEY_LOCAL_MACHINE) {
        root = kRootLocalMachine;
        prefix = &empty;
    } else if (key == HKEY_USERS) {
        root = kRootUsers;
        prefix = &empty;
    } else if (key == HKEY_CURRENT_USER) {
        root = kRootUsers;
        prefix = &currentUserPath();
    } else if (key == HKEY_CLASSES_ROOT) {
        root = kRootLocalMachine;
        prefix = &classes;
    } else {
        return false;
    }
    return true;
}

DWORD resolve(Connection& c, HKEY key, Ref& ref) {
    int root;
    const std::string* prefix;
    if (isPredefined(key, root, prefix)) {
        ref.root = root;
        ref.path = *prefix;
        ref.access = KEY_ALL_ACCESS;
        if (prefix->empty()) {
            ref.id = root == kRootLocalMachine ? kLocalMachineRow : kUsersRow;
        } else {
            bool v;
            DWORD rc = lookup(c, root, *prefix, ref.id, v);
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

// The connection and what `key` stands for, or the error that prevents the call.
struct Call {
    Connection* c = nullptr;
    Ref ref;
    DWORD start(HKEY key) {
        DWORD rc = connection(c);
        return rc == ERROR_SUCCESS ? resolve(*c, key, ref) : rc;
    }
};

// The row of a key that must exist: ERROR_KEY_DELETED when an open handle's key is gone.
DWORD keyGone(Connection& c, const Ref& ref) {
    if (ref.id == 0)
        return ERROR_FILE_NOT_FOUND;
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

HKEY newHandle(Connection& c, int root, int64_t id, const std::string& path, REGSAM access,
               bool isVolatile) {
    auto* h = new KeyHandle;
    h->root = root;
    h->id = id;
    h->path = path;
    h->access = access;
    h->isVolatile = isVolatile;
    h->storeGeneration = c.storeGeneration();
    return h;
}

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

// Bounds of the subtree of `path` for the range statements: ?2 path, ?3 "path\", ?4
// "path]" (NULL for a root's subtree, which has no upper bound).
struct Range {
    std::string lower, upper;
    bool unbounded;
    explicit Range(std::string_view path)
        : lower(std::string(path) + (path.empty() ? "" : "\\")),
          upper(std::string(path) + "]"),
          unbounded(path.empty()) {}
    void bind(sqlite3_stmt* s, int root, std::string_view path) const {
        sqlite3_bind_int(s, 1, root);
        bindText(s, 2, path);
        bindText(s, 3, lower);
        if (unbounded)
            sqlite3_bind_null(s, 4);
        else
            bindText(s, 4, upper);
    }
};

bool within(std::string_view path, std::string_view ancestor) {
    if (ancestor.empty())
        return true;
    return path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
           path[ancestor.size()] == '\\';
}

DWORD stepAll(sqlite3_stmt* s) {
    Reset reset(s);
    int rc = sqlite3_step(s);
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? ERROR_SUCCESS : fromSqlite(rc);
}

// Deletes a key's subtree (or only what lies below it), inside a write transaction.
DWORD deleteSubtree(Connection& c, int root, std::string_view path, bool includeSelf) {
    Range range(path);
    if (includeSelf && range.unbounded)
        return ERROR_ACCESS_DENIED;  // a root stays
    Sql vals = includeSelf ? kDeleteSubtreeValues : kDeleteChildrenValues;
    Sql keys = includeSelf ? kDeleteSubtreeKeys : kDeleteChildrenKeys;
    for (Sql which : {vals, keys}) {
        sqlite3_stmt* s = c.stmt(which);
        if (s == nullptr)
            return ERROR_OUTOFMEMORY;
        range.bind(s, root, path);
        DWORD rc = stepAll(s);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    return ERROR_SUCCESS;
}

struct Row {
    int64_t id;
    std::string path;
    std::string name;
    bool isVolatile;
};

DWORD subtreeRows(Connection& c, int root, std::string_view path, std::vector<Row>& rows) {
    sqlite3_stmt* s = c.stmt(kSubtreeRows);
    if (s == nullptr)
        return ERROR_OUTOFMEMORY;
    Reset reset(s);
    Range range(path);
    range.bind(s, root, path);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        rows.push_back(Row{sqlite3_column_int64(s, 0), std::string(columnText(s, 1)),
                           std::string(columnText(s, 2)), sqlite3_column_int(s, 3) != 0});
    }
    return rc == SQLITE_DONE ? ERROR_SUCCESS : fromSqlite(rc);
}

// The folded parent path of a folded path ("" for a top-level key).
std::string_view parentOf(std::string_view path) {
    size_t slash = path.rfind('\\');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

}  // namespace

// =========================================================================================
// Public calls.

std::string defaultStorePath() {
    const char* env = std::getenv("KY_REGISTRY");
    if (env != nullptr && *env != '\0')
        return env;
    if (geteuid() == 0)
        return "/var/lib/kelbrin/registry.db";
    return homeDataDir() + "/kelbrin/registry.db";
}

void setStorePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_storeMutex);
    g_storeOverride = path;
    g_store.reset();
    g_storeGeneration.fetch_add(1, std::memory_order_acq_rel);
}

std::string storePath() {
    return currentStore()->path;
}

DWORD openKey(HKEY parent, std::string_view subKey, DWORD options, REGSAM access, HKEY* result) {
    if (result == nullptr || (options & ~REG_OPTION_VOLATILE) != 0)
        return done(ERROR_INVALID_PARAMETER);
    *result = nullptr;
    Call call;
    DWORD rc = call.start(parent);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    Connection& c = *call.c;
    thread_local std::string path;
    if (!joinPath(call.ref.path, subKey, path))
        return done(ERROR_INVALID_PARAMETER);
    int64_t id;
    bool isVolatile;
    rc = lookup(c, call.ref.root, path, id, isVolatile);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    *result = newHandle(c, call.ref.root, id, path, normaliseAccess(access), isVolatile);
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
    const std::string* prefix;
    if (isPredefined(key, root, prefix))
        return done(ERROR_SUCCESS);
    if (key == nullptr || key->magic != kHandleMagic)
        return done(ERROR_INVALID_HANDLE);
    key->magic = 0;
    delete key;
    return done(ERROR_SUCCESS);
}

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
    Connection& c = *call.c;
    sqlite3_stmt* s = c.stmt(kQueryValue);
    if (s == nullptr)
        return done(ERROR_OUTOFMEMORY);
    Reset reset(s);
    c.scratch.clear();
    appendFolded(c.scratch, name);
    sqlite3_bind_int64(s, 1, call.ref.id);
    bindText(s, 2, c.scratch);
    int step = sqlite3_step(s);
    if (step == SQLITE_DONE)
        return done(ERROR_KEY_DELETED);
    if (step != SQLITE_ROW)
        return done(fromSqlite(step));
    if (sqlite3_column_type(s, 0) == SQLITE_NULL)
        return done(ERROR_FILE_NOT_FOUND);
    if (type)
        *type = static_cast<DWORD>(sqlite3_column_int64(s, 0));
    const void* bytes = sqlite3_column_blob(s, 1);
    auto length = static_cast<DWORD>(sqlite3_column_bytes(s, 1));
    if (size == nullptr)
        return done(ERROR_SUCCESS);
    DWORD room = *size;
    *size = length;
    if (data == nullptr)
        return done(ERROR_SUCCESS);
    if (room < length)
        return done(ERROR_MORE_DATA);
    if (length)
        std::memcpy(data, bytes, length);
    return done(ERROR_SUCCESS);
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
    sqlite3_stmt* s = c.stmt(kSetValue);
    if (s == nullptr)
        return done(ERROR_OUTOFMEMORY);
    Reset reset(s);
    std::string fold = folded(name);
    sqlite3_bind_int64(s, 1, call.ref.id);
    bindText(s, 2, fold);
    bindText(s, 3, name);
    sqlite3_bind_int64(s, 4, type);
    int bound = size == 0 ? sqlite3_bind_zeroblob(s, 5, 0)
                          : sqlite3_bind_blob(s, 5, data, static_cast<int>(size), SQLITE_STATIC);
    if (bound != SQLITE_OK)
        return done(fromSqlite(bound));
    int step = sqlite3_step(s);
    if (step != SQLITE_DONE)
        return done(fromSqlite(step));
    if (sqlite3_changes(c.db()) == 0)
        return done(ERROR_KEY_DELETED);
    return done(ERROR_SUCCESS);
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
    sqlite3_stmt* s = c.stmt(kDeleteValue);
    if (s == nullptr)
        return done(ERROR_OUTOFMEMORY);
    std::string fold = folded(name);
    {
        Reset reset(s);
        sqlite3_bind_int64(s, 1, call.ref.id);
        bindText(s, 2, fold);
        int step = sqlite3_step(s);
        if (step != SQLITE_DONE)
            return done(fromSqlite(step));
    }
    if (sqlite3_changes(c.db()) != 0)
        return done(ERROR_SUCCESS);
    rc = keyGone(c, call.ref);
    return done(rc == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : rc);
}

namespace {

// Steps an enumeration statement to the index-th row, continuing from the handle's cursor
// when the index follows it.
template <typename OnRow>
DWORD enumerate(Call& call, DWORD index, Sql first, Sql after, Sql at,
                int64_t KeyHandle::*lastIndex, std::string KeyHandle::*lastFold, OnRow onRow) {
    Connection& c = *call.c;
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
                       if (type)
                           *type = static_cast<DWORD>(sqlite3_column_int64(s, 2));
                       const void* bytes = sqlite3_column_blob(s, 3);
                       auto length = static_cast<DWORD>(sqlite3_column_bytes(s, 3));
                       if (size == nullptr)
                           return ERROR_SUCCESS;
                       DWORD room = *size;
                       *size = length;
                       if (data == nullptr)
                           return ERROR_SUCCESS;
                       if (room < length)
                           return ERROR_MORE_DATA;
                       if (length)
                           std::memcpy(data, bytes, length);
                       return ERROR_SUCCESS;
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

DWORD deleteKey(HKEY parent, std::string_view subKey) {
    Call call;
    DWORD rc = call.start(parent);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (!(call.ref.access & kTreeAccess))
        return done(ERROR_ACCESS_DENIED);
    Connection& c = *call.c;
    std::string path;
    if (!joinPath(call.ref.path, subKey, path))
        return done(ERROR_INVALID_PARAMETER);
    if (path.empty())
        return done(ERROR_ACCESS_DENIED);  // a root
    WriteScope txn(c);
    if ((rc = txn.status()) != ERROR_SUCCESS)
        return done(rc);
    int64_t id;
    bool isVolatile;
    rc = lookup(c, call.ref.root, path, id, isVolatile);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    sqlite3_stmt* s = c.stmt(kHasSubKeys);
    if (s == nullptr)
        return done(ERROR_OUTOFMEMORY);
    {
        Reset reset(s);
        sqlite3_bind_int64(s, 1, id);
        int step = sqlite3_step(s);
        if (step == SQLITE_ROW)
            return done(ERROR_ACCESS_DENIED);  // as Windows: subkeys first
        if (step != SQLITE_DONE)
            return done(fromSqlite(step));
    }
    if ((rc = txn.changeLocations()) != ERROR_SUCCESS)
        return done(rc);
    for (Sql which : {kDeleteKeyValues, kDeleteKeyRow}) {
        s = c.stmt(which);
        if (s == nullptr)
            return done(ERROR_OUTOFMEMORY);
        sqlite3_bind_int64(s, 1, id);
        if ((rc = stepAll(s)) != ERROR_SUCCESS)
            return done(rc);
    }
    return done(txn.commit());
}

DWORD deleteTree(HKEY key, std::string_view subKey) {
    Call call;
    DWORD rc = call.start(key);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    Connection& c = *call.c;
    std::string path;
    if (!joinPath(call.ref.path, subKey, path))
        return done(ERROR_INVALID_PARAMETER);
    bool childrenOnly = path == call.ref.path;
    // Below the key itself its values go too.
    if (!(call.ref.access & kTreeAccess) || (childrenOnly && !(call.ref.access & KEY_SET_VALUE)))
        return done(ERROR_ACCESS_DENIED);
    WriteScope txn(c);
    if ((rc = txn.status()) != ERROR_SUCCESS)
        return done(rc);
    int64_t id;
    bool isVolatile;
    rc = lookup(c, call.ref.root, path, id, isVolatile);
    if (rc != ERROR_SUCCESS)
        return done(call.ref.handle && childrenOnly ? keyGone(c, call.ref) : rc);
    if ((rc = txn.changeLocations()) != ERROR_SUCCESS)
        return done(rc);
    if ((rc = deleteSubtree(c, call.ref.root, path, !childrenOnly)) != ERROR_SUCCESS)
        return done(rc);
    if (childrenOnly) {  // the key itself stays, without its values
        sqlite3_stmt* s = c.stmt(kDeleteKeyValues);
        if (s == nullptr)
            return done(ERROR_OUTOFMEMORY);
        sqlite3_bind_int64(s, 1, id);
        if ((rc = stepAll(s)) != ERROR_SUCCESS)
            return done(rc);
    }
    return done(txn.commit());
}

DWORD copyTree(HKEY source, std::string_view sourceSubKey, HKEY dest, std::string_view destSubKey,
               CopyMode mode) {
    Call from;
    DWORD rc = from.start(source);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    Connection& c = *from.c;
    Ref to;
    if ((rc = resolve(c, dest, to)) != ERROR_SUCCESS)
        return done(rc);
    if ((from.ref.access & kTreeReadAccess) != kTreeReadAccess ||
        !(to.access & KEY_CREATE_SUB_KEY)) {
        return done(ERROR_ACCESS_DENIED);
    }
    std::string fromPath, toPath;
    std::vector<std::string_view> toParts;
    if (!joinPath(from.ref.path, sourceSubKey, fromPath) ||
        !joinPath(to.path, destSubKey, toPath, &toParts)) {
        return done(ERROR_INVALID_PARAMETER);
    }
    if (from.ref.root == to.root && (toPath == fromPath || within(toPath, fromPath))) {
        // Onto itself or into its own subtree: the copy would feed on itself.
        return done(toPath == fromPath && mode == CopyMode::kNewDestination
                        ? ERROR_ALREADY_EXISTS
                        : ERROR_INVALID_PARAMETER);
    }
    WriteScope txn(c);
    if ((rc = txn.status()) != ERROR_SUCCESS)
        return done(rc);
    std::vector<Row> rows;
    if ((rc = subtreeRows(c, from.ref.root, fromPath, rows)) != ERROR_SUCCESS)
        return done(rc);
    if (rows.empty())
        return done(ERROR_FILE_NOT_FOUND);
    if ((rc = materialise(c, to)) != ERROR_SUCCESS)
        return done(rc);
    int64_t destId;
    bool destVolatile, created;
    rc = createPath(c, to.root, to.id, to.isVolatile, to.path, toParts, rows.front().isVolatile,
                    destId, destVolatile, created);
    if (rc == ERROR_CHILD_MUST_BE_VOLATILE)
        return done(rc);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (!created && mode == CopyMode::kNewDestination)
        return done(ERROR_ALREADY_EXISTS);

    // Rows come parents first (a path sorts before its extensions), so each new key's
    // parent is already in the map.
    std::unordered_map<int64_t, int64_t> newId;
    std::unordered_map<int64_t, bool> newVolatile;
    newId[rows.front().id] = destId;
    newVolatile[rows.front().id] = destVolatile;
    std::unordered_map<std::string, int64_t> byPath;  // source path -> source row
    for (const Row& r : rows)
        byPath[r.path] = r.id;
    sqlite3_stmt* copy = c.stmt(kCopyValues);
    if (copy == nullptr)
        return done(ERROR_OUTOFMEMORY);
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        if (i > 0) {
            int64_t parentId = newId.at(byPath.at(std::string(parentOf(r.path))));
            bool parentVolatile = newVolatile.at(byPath.at(std::string(parentOf(r.path))));
            std::string_view rel =
                std::string_view(r.path).substr(fromPath.empty() ? 0 : fromPath.size() + 1);
            std::string target =
                toPath.empty() ? std::string(rel) : toPath + "\\" + std::string(rel);
            std::vector<std::string_view> one{r.name};
            int64_t id;
            bool v, made;
            rc = createPath(c, to.root, parentId, parentVolatile, parentOf(target), one,
                            r.isVolatile || parentVolatile, id, v, made);
            if (rc != ERROR_SUCCESS)
                return done(rc);
            newId[r.id] = id;
            newVolatile[r.id] = v;
        }
        sqlite3_bind_int64(copy, 1, newId[r.id]);
        sqlite3_bind_int64(copy, 2, r.id);
        if ((rc = stepAll(copy)) != ERROR_SUCCESS)
            return done(rc);
    }
    return done(txn.commit());
}

DWORD renameKey(HKEY key, std::string_view from, std::string_view to) {
    Call call;
    DWORD rc = call.start(key);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (!(call.ref.access & kTreeAccess))
        return done(ERROR_ACCESS_DENIED);
    Connection& c = *call.c;
    std::string fromPath, toPath;
    std::vector<std::string_view> toParts;
    if (!joinPath(call.ref.path, from, fromPath) ||
        !joinPath(call.ref.path, to, toPath, &toParts)) {
        return done(ERROR_INVALID_PARAMETER);
    }
    if (fromPath.empty() || toPath.empty() || fromPath == call.ref.path || toParts.empty()) {
        return done(ERROR_ACCESS_DENIED);  // a root, or the handle's own key
    }
    if (within(toPath, fromPath))
        return done(ERROR_INVALID_PARAMETER);
    const int root = call.ref.root;
    WriteScope txn(c);
    if ((rc = txn.status()) != ERROR_SUCCESS)
        return done(rc);
    int64_t id;
    bool isVolatile;
    if ((rc = lookup(c, root, fromPath, id, isVolatile)) != ERROR_SUCCESS)
        return done(rc);
    if (toPath != fromPath) {
        int64_t other;
        bool v;
        rc = lookup(c, root, toPath, other, v);
        if (rc == ERROR_SUCCESS)
            return done(ERROR_ALREADY_EXISTS);
        if (rc != ERROR_FILE_NOT_FOUND)
            return done(rc);
    }
    if ((rc = txn.changeLocations()) != ERROR_SUCCESS)
        return done(rc);
    // The new parent, created when missing.
    std::vector<std::string_view> parentParts(toParts.begin(), toParts.end() - 1);
    if ((rc = materialise(c, call.ref)) != ERROR_SUCCESS)
        return done(rc);
    int64_t parentId;
    bool parentVolatile, created;
    rc = createPath(c, root, call.ref.id, call.ref.isVolatile, call.ref.path, parentParts,
                    isVolatile, parentId, parentVolatile, created);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (parentVolatile && !isVolatile)
        return done(ERROR_CHILD_MUST_BE_VOLATILE);
    if (toPath != fromPath) {
        Range range(fromPath);
        sqlite3_stmt* s = c.stmt(kMoveSubtree);
        if (s == nullptr)
            return done(ERROR_OUTOFMEMORY);
        range.bind(s, root, fromPath);
        bindText(s, 5, toPath);
        sqlite3_bind_int64(s, 6, static_cast<int64_t>(fromPath.size()) + 1);
        if ((rc = stepAll(s)) != ERROR_SUCCESS)
            return done(rc);
    }
    sqlite3_stmt* s = c.stmt(kMoveTop);
    if (s == nullptr)
        return done(ERROR_OUTOFMEMORY);
    std::string_view name = toParts.back();
    std::string fold = folded(name);
    sqlite3_bind_int64(s, 1, id);
    bindText(s, 2, toPath);
    sqlite3_bind_int64(s, 3, parentId);
    bindText(s, 4, name);
    bindText(s, 5, fold);
    if ((rc = stepAll(s)) != ERROR_SUCCESS)
        return done(rc);
    return done(txn.commit());
}

Transaction::Transaction() {
    Connection* c;
    status_ = connection(c);
    if (status_ == ERROR_SUCCESS)
        status_ = beginWrite(*c);
    if (status_ == ERROR_SUCCESS)
        connection_ = c;
    setLastError(status_);
}

namespace {
// The transaction's connection, unless the thread has since moved to another store (or
// to a new connection after fork), in which case the transaction is already gone.
Connection* transactionConnection(void* c) {
    return c != nullptr && t_slot.conn == c && t_slot.conn->depth > 0 ? t_slot.conn : nullptr;
}
}  // namespace

Transaction::~Transaction() {
    if (Connection* c = transactionConnection(connection_))
        endWrite(*c, false);
}

DWORD Transaction::commit() {
    Connection* c = transactionConnection(connection_);
    connection_ = nullptr;
    if (c == nullptr)
        return done(status_ != ERROR_SUCCESS ? status_ : ERROR_INVALID_STATE);
    return done(endWrite(*c, true));
}

ReadTransaction::ReadTransaction() {
    Connection* c;
    status_ = connection(c);
    // Inside a write transaction the reads already see one moment: its own.
    if (status_ == ERROR_SUCCESS && c->depth == 0) {
        status_ = beginRead(*c);
        if (status_ == ERROR_SUCCESS)
            connection_ = c;
    }
    setLastError(status_);
}

ReadTransaction::~ReadTransaction() {
    // As for Transaction: a thread that moved to another store or connection has lost
    // the view already.
    if (connection_ != nullptr && t_slot.conn == connection_ && t_slot.conn->readDepth > 0)
        endRead(*t_slot.conn);
}

}  // namespace kyos::reg
