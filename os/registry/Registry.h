// The machine's configuration store, in the shape of the Win32 registry calls.
//
// One SQLite database per machine (WAL mode) holds the roots HKEY_LOCAL_MACHINE and
// HKEY_USERS; HKEY_CURRENT_USER is the caller's hive below HKEY_USERS ("S-1-22-1-<uid>")
// and HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes. Key and value names
// ignore letter case and keep it; "/" separates path parts as "\" does, and empty parts
// are ignored. Data is kept as the narrow (...A) calls return it: UTF-8 strings with their
// terminating NUL, multi-strings ending in a double NUL, DWORDs and QWORDs little-endian.
//
// Every call returns a Win32 code and also leaves it as the thread's last error
// (kyos::lastError()): 0 success, 2 key or value not found, 5 access denied, 234 more
// data, 259 no more items, 1018 the key of an open handle was deleted, 170 the store
// stayed busy past the retry bound.
//
// Access: a handle allows what its REGSAM grants, else ERROR_ACCESS_DENIED:
// KEY_QUERY_VALUE reads values and KEY_SET_VALUE changes them, KEY_ENUMERATE_SUB_KEYS
// lists subkeys, KEY_CREATE_SUB_KEY creates them, and KEY_CREATE_SUB_KEY or DELETE
// deletes or moves keys below the handle (deleteTree of everything below it also takes
// KEY_SET_VALUE, for the key's values; copyTree reads its source with KEY_READ's
// rights). The predefined roots allow everything.
//
// Threads: every call may be made from any thread. Each thread uses its own connection,
// opened on its first call and kept until the thread ends (reopened after fork()), so no
// call but the first opens the database file. An HKEY may be shared between threads; it
// is owned by whoever opened it and released with closeKey().
//
// Atomicity: each call is one transaction; tree operations (deleteTree, copyTree,
// renameKey) never leave half a tree behind, even when the process is killed. A
// Transaction groups several calls of one thread into one; a ReadTransaction gives
// several reads one moment of the store.
//
// Caching: the threads of a process share a cache of where keys live and of values (and
// of their absence), bounded in memory (setCacheLimit). It is coherent across the
// processes of the machine: once a write call has returned in any process, every read
// that starts afterwards, in any process, returns what it wrote. A thread inside a
// Transaction or ReadTransaction reads the store itself. KY_REGISTRY_CACHE=0 in the
// environment turns the process's cache off (its writes are still announced to the
// others). What the cache cannot see is the store file changed by another program while
// processes run.
#pragma once

#include <cstddef>

#include <cstdint>
#include <string>
#include <string_view>

#include "os/Win32.h"

namespace kyos::reg {

// Where the store lives: $KY_REGISTRY when set, else /var/lib/kelbrin/registry.db for
// root, else $XDG_DATA_HOME/kelbrin/registry.db (~/.local/share when unset).
std::string defaultStorePath();

// Points every thread of the process at another store file (tests, tools); an empty
// path returns to defaultStorePath(). Handles opened before the switch become invalid.
void setStorePath(const std::string& path);
std::string storePath();

// The bound of the process's read cache in bytes (16 MiB unless set; 0 turns it off),
// and what it holds now.
void setCacheLimit(std::size_t bytes);
std::size_t cacheMemoryUsed();

// For tests: called by a writer at each step of announcing its commit to the caches (0:
// its buckets are marked, the commit is not made yet; 1: committed, the buckets are not
// moved on yet), so that a test can stop or kill it there. Null: none.
void setAnnounceHookForTesting(void (*hook)(int step));

// RegOpenKeyEx: opens an existing key. `options` is 0; the 32/64-bit view bits of
// `access` are accepted and ignored.
DWORD openKey(HKEY parent, std::string_view subKey, DWORD options, REGSAM access, HKEY* result);

// RegCreateKeyEx: opens the key, creating it and any missing parents. `options` is
// REG_OPTION_NON_VOLATILE or REG_OPTION_VOLATILE (gone after the next boot; a stable
// key cannot be created below a volatile one). `disposition` may be null.
DWORD createKey(HKEY parent, std::string_view subKey, DWORD options, REGSAM access, HKEY* result,
                DWORD* disposition);

// RegCloseKey. Closing a predefined root is a no-op.
DWORD closeKey(HKEY key);

// RegQueryValueEx. `type` and `data` may be null. With data null, `*size` receives the
// size needed; with a buffer too small for the value, ERROR_MORE_DATA and `*size`
// receives the size needed. An empty name is the key's default value.
DWORD queryValue(HKEY key, std::string_view name, DWORD* type, void* data, DWORD* size);

// RegGetValue: the value `name` of the key `subKey` below `key` (empty: `key` itself),
// as queryValue gives it, without opening a handle. A missing key and a missing value are
// both ERROR_FILE_NOT_FOUND; `keyExists` (may be null) tells them apart.
DWORD getValue(HKEY key, std::string_view subKey, std::string_view name, DWORD* type, void* data,
               DWORD* size, bool* keyExists = nullptr);

// RegSetValueEx: stores the bytes as given. Data larger than the store holds (SQLite's
// length limit, 1,000,000,000 bytes unless built otherwise) is ERROR_INVALID_PARAMETER.
DWORD setValue(HKEY key, std::string_view name, DWORD type, const void* data, DWORD size);

// RegDeleteValue.
DWORD deleteValue(HKEY key, std::string_view name);

// RegEnumKeyEx / RegEnumValue: the index-th subkey or value, in a stable order (names
// compared without case). Walking the indexes 0, 1, 2, ... costs one step each, however
// large the key. ERROR_NO_MORE_ITEMS past the last. For values, `type`, `data` and
// `size` work as in queryValue; the name is filled even when the data does not fit.
DWORD enumKey(HKEY key, DWORD index, std::string* name);
DWORD enumValue(HKEY key, DWORD index, std::string* name, DWORD* type, void* data, DWORD* size);

// RegQueryInfoKey, the counts and longest lengths (in bytes of UTF-8).
struct KeyInfo {
    DWORD subKeys = 0;
    DWORD maxSubKeyLen = 0;
    DWORD values = 0;
    DWORD maxValueNameLen = 0;
    DWORD maxValueLen = 0;
};
DWORD queryInfoKey(HKEY key, KeyInfo* info);

// The full path of an open key below its root, in the letter case of its parts as they
// were created (for HKEY_CURRENT_USER keys, below HKEY_USERS).
DWORD keyPath(HKEY key, std::string* path);

// RegDeleteKey: deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some)
// and its values.
DWORD deleteKey(HKEY parent, std::string_view subKey);

// RegDeleteTree: deletes the subkey and everything below it; with an empty subKey,
// everything below `key` but not the key itself.
DWORD deleteTree(HKEY key, std::string_view subKey);

enum class CopyMode {
    kMerge,           // RegCopyTree: the destination may exist; values are overwritten.
    kNewDestination,  // ERROR_ALREADY_EXISTS when the destination exists.
};

// Copies the tree at source\sourceSubKey (values and subkeys) to dest\destSubKey,
// creating the destination. Copying a key into its own subtree is refused with
// ERROR_INVALID_PARAMETER.
DWORD copyTree(HKEY source, std::string_view sourceSubKey, HKEY dest, std::string_view destSubKey,
               CopyMode mode);

// Moves the tree at key\from to key\to (any depth below the same root; missing parents
// of `to` are created). ERROR_ALREADY_EXISTS when `to` exists, unless it is the same key
// (a change of letter case only); ERROR_INVALID_PARAMETER when `to` lies below `from`.
DWORD renameKey(HKEY key, std::string_view from, std::string_view to);

// Groups the calls of the current thread into one store transaction: they all take
// effect at commit(), or none of them do (destruction without commit rolls back).
// Transactions nest; an inner one is a savepoint of the outer. Other threads and
// processes wait for the store while one is open, so keep them short.
class Transaction {
public:
    Transaction();
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // The result of starting the transaction; when not 0, every call fails.
    DWORD status() const { return status_; }
    DWORD commit();

private:
    DWORD status_;
    void* connection_ = nullptr;  // the thread's store connection it runs on
};

// A consistent view of the store for the reads of the current thread: until it ends, they
// all see the store as it was when it began, while other threads and processes go on
// writing without waiting for it (it takes no write lock). Calls of this thread that
// would write fail with ERROR_ACCESS_DENIED meanwhile, and so does a Transaction begun
// inside it. Views nest; inside a Transaction a view is that transaction's own.
class ReadTransaction {
public:
    ReadTransaction();
    ~ReadTransaction();
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;

    // The result of starting the view; when not 0, reads go on without one.
    DWORD status() const { return status_; }

private:
    DWORD status_;
    void* connection_ = nullptr;  // set when this view began the thread's read transaction
};

}  // namespace kyos::reg
