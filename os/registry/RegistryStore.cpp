// The registry store over SQLite: the store file and its schema, the per-thread
// connections (reopened after fork()), transactions, and the volatile keys of an earlier
// boot. See RegistryInternal.h for the layout and ValueCache.h for the read cache.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "os/LastError.h"
#include "os/registry/RegistryInternal.h"

namespace kyos::reg {
namespace detail {

namespace {

// How long a caller waits for a store that another thread or process is writing before
// the call fails with ERROR_BUSY. Long enough to outlast any tree operation or
// checkpoint, short enough that a wedged store is reported rather than hanging a daemon.
constexpr int64_t kBusyTimeoutNs = 20'000'000'000;

constexpr int kSchemaVersion = 1;

int64_t monotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
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
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
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

}  // namespace

const std::string& bootId() {
    static const std::string id = readBootId();
    return id;
}

mode_t storeFileMode() {
    return geteuid() == 0 ? 0600 : 0660;
}

DWORD done(DWORD code) {
    setLastError(code);
    return code;
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

Store::Store(std::string p) : path(std::move(p)), counters(withParentDirs(path)), cache(counters) {}

// ---------------------------------------------------------------------------------------
// Connections.

Connection::Connection(std::shared_ptr<Store> store, uint64_t storeGeneration,
                       uint64_t forkGeneration)
    : store_(std::move(store)),
      storeGeneration_(storeGeneration),
      forkGeneration_(forkGeneration),
      cacheOn_(ValueCache::enabled() && store_->counters.mapped()) {}

Connection::~Connection() {
    close();
}

void Connection::close() {
    for (sqlite3_stmt*& s : stmts_) {
        sqlite3_finalize(s);
        s = nullptr;
    }
    if (db_ != nullptr)
        sqlite3_close_v2(db_);
    db_ = nullptr;
}

sqlite3_stmt* Connection::stmt(Sql which) {
    sqlite3_stmt*& s = stmts_[which];
    if (s == nullptr)
        sqlite3_prepare_v3(db_, kSqlText[which], -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    return s;
}

int Connection::exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

int Connection::run(Sql which) {
    sqlite3_stmt* s = stmt(which);
    if (s == nullptr)
        return SQLITE_NOMEM;
    int rc = sqlite3_step(s);
    sqlite3_reset(s);
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
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

namespace {

struct ConnectionList {
    std::mutex mutex;
    std::vector<Connection*> all;
};
ConnectionList& connections() {
    static auto* list = new ConnectionList;
    return *list;
}

// Set while a thread forks: threads about to run SQLite wait, and the fork waits for those
// already in it (see SqlScope).
std::atomic<bool> g_forking{false};

// A child of fork() has one thread: the locks of the connection list and of the current
// store's cache must be free in it, and so must SQLite's own (its allocator's, its file
// and shared-memory locks), which a parent thread inside SQLite holds. So the fork waits
// until no thread is inside SQLite, and keeps new ones out until it is done. Threads
// reading what the cache holds go on meanwhile.
void forkPrepare() {
    g_forking.store(true, std::memory_order_seq_cst);
    ConnectionList& list = connections();
    list.mutex.lock();
    for (Connection* c : list.all) {
        while (c->inside.load(std::memory_order_seq_cst))
            sched_yield();
    }
    g_storeMutex.lock();
    if (g_store)
        g_store->cache.lockAll();
}
void forkParent() {
    if (g_store)
        g_store->cache.unlockAll();
    g_storeMutex.unlock();
    connections().mutex.unlock();
    g_forking.store(false, std::memory_order_release);
}
void forkChild() {
    forkParent();
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

// Closes a connection of this process (still listed, so that a fork waits for it) and
// forgets it.
void dropConnection(Connection* conn) {
    ConnectionList& list = connections();
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        if (std::find(list.all.begin(), list.all.end(), conn) == list.all.end())
            return;  // already closed as an inherited connection
    }
    {
        SqlScope sql(*conn);
        conn->close();
    }
    {
        std::lock_guard<std::mutex> lock(list.mutex);
        list.all.erase(std::remove(list.all.begin(), list.all.end(), conn), list.all.end());
    }
    delete conn;
}

// The calling thread's connection, for the fast path: a plain pointer, in the static TLS
// block (the library is loaded with the program), so that finding it takes no call into
// the dynamic linker and no check of an initialisation guard.
__attribute__((tls_model("initial-exec"))) thread_local Connection* t_conn = nullptr;

// Owns t_conn's connection (through the process list) and closes it when the thread ends.
struct ThreadSlot {
    ~ThreadSlot() { release(); }
    void arm() {}  // first use constructs it, which registers its destructor
    void release() {
        Connection* conn = t_conn;
        if (conn == nullptr)
            return;
        t_conn = nullptr;
        dropConnection(conn);
    }
};
thread_local ThreadSlot t_slot;

}  // namespace

void purgeVolatileKeys(Connection& c);

// The calling thread's connection to the current store, opened on first use.
DWORD connection(Connection*& out) {
    // Checked before call_once, which costs more than a load on every call.
    static std::atomic<bool> atforkDone{false};
    if (!atforkDone.load(std::memory_order_acquire)) {
        static std::once_flag atfork;
        std::call_once(atfork, [] { pthread_atfork(forkPrepare, forkParent, forkChild); });
        atforkDone.store(true, std::memory_order_release);
    }
    uint64_t storeGen = g_storeGeneration.load(std::memory_order_acquire);
    uint64_t forkGen = g_forkGeneration.load(std::memory_order_relaxed);
    Connection* c = t_conn;
    if (c != nullptr && c->forkGeneration() == forkGen && c->storeGeneration() == storeGen &&
        c->db()) {
        out = c;
        return ERROR_SUCCESS;
    }
    if (c != nullptr && c->forkGeneration() != forkGen)
        closeInherited(forkGen);
    t_slot.release();
    static std::once_flag sqliteConfig;
    std::call_once(sqliteConfig, [] {
        // Before SQLite starts: its allocation statistics would take a process-wide lock
        // on every allocation. (When the program started SQLite already, this is refused,
        // and nothing else changes.)
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    });
    c = new Connection(currentStore(), storeGen, forkGen);
    {
        ConnectionList& list = connections();
        std::lock_guard<std::mutex> lock(list.mutex);
        list.all.push_back(c);  // listed first: a fork waits for the opening
    }
    DWORD rc;
    {
        SqlScope sql(*c);
        rc = c->open();
    }
    if (rc != ERROR_SUCCESS) {
        dropConnection(c);
        return rc;
    }
    t_slot.arm();
    t_conn = c;
    std::call_once(c->store().volatilePurge, purgeVolatileKeys, std::ref(*c));
    out = c;
    return ERROR_SUCCESS;
}

SqlScope::SqlScope(Connection& c) : c_(c) {
    if (c_.insideDepth++ > 0)
        return;
    for (;;) {
        c_.inside.store(true, std::memory_order_seq_cst);
        if (!g_forking.load(std::memory_order_seq_cst))
            return;
        c_.inside.store(false, std::memory_order_seq_cst);
        while (g_forking.load(std::memory_order_acquire))
            sched_yield();
    }
}

SqlScope::~SqlScope() {
    if (--c_.insideDepth == 0)
        c_.inside.store(false, std::memory_order_release);
}

Connection* threadConnection(void* c) {
    return c != nullptr && t_conn == c ? t_conn : nullptr;
}

void bindText(sqlite3_stmt* s, int i, std::string_view v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
}

std::string_view columnText(sqlite3_stmt* s, int i) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    return p ? std::string_view(p, static_cast<size_t>(sqlite3_column_bytes(s, i)))
             : std::string_view();
}

Reset::~Reset() {
    if (s_)
        sqlite3_reset(s_);
}

DWORD stepAll(sqlite3_stmt* s) {
    Reset reset(s);
    int rc = sqlite3_step(s);
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? ERROR_SUCCESS : fromSqlite(rc);
}

// ---------------------------------------------------------------------------------------
// Transactions.

DWORD beginWrite(Connection& c) {
    if (c.readDepth > 0)
        return ERROR_ACCESS_DENIED;  // a read view is open on this thread
    int rc = c.depth == 0 ? c.run(kBeginImmediate) : c.exec("SAVEPOINT ky");
    if (rc == SQLITE_OK)
        ++c.depth;
    return fromSqlite(rc);
}

namespace {

// Commits the outermost transaction, announcing what it changed: its buckets are marked
// before the commit and moved on after it, so that no process's cache serves an entry
// from before the change once the commit is done. A change that cannot be announced is
// not committed.
std::atomic<void (*)(int)> g_announceHook{nullptr};

void announceStep(int step) {
    if (auto hook = g_announceHook.load(std::memory_order_acquire))
        hook(step);
}

int commitAnnounced(Connection& c) {
    if (c.touched.empty() && !c.touchedAll)
        return c.run(kCommit);
    std::sort(c.touched.begin(), c.touched.end());
    c.touched.erase(std::unique(c.touched.begin(), c.touched.end()), c.touched.end());
    ChangeCounters& counters = c.store().counters;
    if (!counters.begin(c.touched, c.touchedAll))
        return SQLITE_PERM;
    announceStep(0);
    int rc = c.run(kCommit);
    announceStep(1);
    counters.end(c.touched, c.touchedAll);
    return rc;
}

}  // namespace

DWORD endWrite(Connection& c, bool commit) {
    --c.depth;
    int rc;
    if (c.depth > 0) {
        rc = commit ? c.exec("RELEASE ky") : (c.exec("ROLLBACK TO ky"), c.exec("RELEASE ky"));
        return commit ? fromSqlite(rc) : ERROR_SUCCESS;
    }
    rc = commit ? commitAnnounced(c) : c.run(kRollback);
    if (rc != SQLITE_OK)
        c.run(kRollback);
    c.touched.clear();
    c.touchedAll = false;
    return commit ? fromSqlite(rc) : ERROR_SUCCESS;
}

// A read view: a deferred transaction whose snapshot is taken at once by a first read.
// WAL lets writers go on beside it. query_only turns the single-statement writes of the
// calls into SQLITE_READONLY, ERROR_ACCESS_DENIED, for as long as it is open, so that none
// of them becomes part of it.
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

// Deletes the volatile keys of an earlier boot, once per process and store.
void purgeVolatileKeys(Connection& c) {
    SqlScope inside(c);
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
    if (txn.status() != ERROR_SUCCESS)
        return;
    std::string sql =
        "DELETE FROM vals WHERE key IN (SELECT k.id FROM keys k JOIN keys v ON v.volatile=1 AND "
        "k.root=v.root AND (k.path=v.path OR (k.path>v.path||'\\' AND k.path<v.path||']')));"
        "DELETE FROM keys WHERE id IN (SELECT k.id FROM keys k JOIN keys v ON v.volatile=1 AND "
        "k.root=v.root AND (k.path=v.path OR (k.path>v.path||'\\' AND k.path<v.path||']')));"
        "INSERT OR REPLACE INTO meta VALUES('boot_id', '" +
        bootId() + "');";
    // Once per boot: every process's cache starts over rather than learn which keys went.
    c.touchedAll = true;
    if (c.exec(sql.c_str()) == SQLITE_OK)
        txn.commit();
}

}  // namespace detail

using namespace detail;

// =========================================================================================
// Public calls about the store itself.

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

void setCacheLimit(std::size_t bytes) {
    ValueCache::setLimit(bytes);
}

std::size_t cacheMemoryUsed() {
    return currentStore()->cache.memoryUsed();
}

void setAnnounceHookForTesting(void (*hook)(int step)) {
    g_announceHook.store(hook, std::memory_order_release);
}

Transaction::Transaction() {
    Connection* c;
    status_ = connection(c);
    if (status_ == ERROR_SUCCESS) {
        SqlScope sql(*c);
        status_ = beginWrite(*c);
    }
    if (status_ == ERROR_SUCCESS)
        connection_ = c;
    setLastError(status_);
}

namespace {
// The transaction's connection, unless the thread has since moved to another store (or
// to a new connection after fork), in which case the transaction is already gone.
Connection* transactionConnection(void* c) {
    Connection* conn = threadConnection(c);
    return conn != nullptr && conn->depth > 0 ? conn : nullptr;
}
}  // namespace

Transaction::~Transaction() {
    if (Connection* c = transactionConnection(connection_)) {
        SqlScope sql(*c);
        endWrite(*c, false);
    }
}

DWORD Transaction::commit() {
    Connection* c = transactionConnection(connection_);
    connection_ = nullptr;
    if (c == nullptr)
        return done(status_ != ERROR_SUCCESS ? status_ : ERROR_INVALID_STATE);
    SqlScope sql(*c);
    return done(endWrite(*c, true));
}

ReadTransaction::ReadTransaction() {
    Connection* c;
    status_ = connection(c);
    // Inside a write transaction the reads already see one moment: its own.
    if (status_ == ERROR_SUCCESS && c->depth == 0) {
        SqlScope sql(*c);
        status_ = beginRead(*c);
        if (status_ == ERROR_SUCCESS)
            connection_ = c;
    }
    setLastError(status_);
}

ReadTransaction::~ReadTransaction() {
    // As for Transaction: a thread that moved to another store or connection has lost
    // the view already.
    Connection* c = threadConnection(connection_);
    if (c != nullptr && c->readDepth > 0) {
        SqlScope sql(*c);
        endRead(*c);
    }
}

}  // namespace kyos::reg
