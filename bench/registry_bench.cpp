// Reading one DWORD as the platform store does (open key, query value, close key), warm,
// with the store's read cache and without it, beside the fastest raw SQLite read of the
// same row, an LMDB point read in a read transaction (the fastest durable store several
// processes can share) and an in-memory map lookup; and the cost of a committed write.
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

#include "os/registry/Registry.h"

namespace {

constexpr const char* kBase = "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\Base";
constexpr std::size_t kDefaultCacheLimit = 16u << 20;

// A store shaped like an installation: 40 sections of 40 values each.
struct BenchStore {
    std::string dir, path;
    BenchStore() {
        char tmpl[] = "/tmp/kybench-XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/registry.db";
        kyos::reg::setStorePath(path);
        kyos::reg::Transaction txn;
        for (int s = 0; s < 40; ++s) {
            std::string section =
                s == 0
                    ? std::string(kBase)
                    : "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\Section" + std::to_string(s);
            HKEY key = nullptr;
            kyos::reg::createKey(HKEY_LOCAL_MACHINE, section, 0, KEY_ALL_ACCESS, &key, nullptr);
            for (DWORD v = 0; v < 40; ++v) {
                std::string name = v == 7 ? "nPLATTYPE" : "nValue" + std::to_string(v);
                kyos::reg::setValue(key, name, REG_DWORD, &v, sizeof v);
            }
            kyos::reg::closeKey(key);
        }
        txn.commit();
    }
    ~BenchStore() {
        kyos::reg::setStorePath("");
        std::string cmd = "rm -rf '" + dir + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
};

// Other benchmarks point the process at stores of their own: each of ours points it back.
BenchStore& store() {
    static BenchStore s;
    if (kyos::reg::storePath() != s.path)
        kyos::reg::setStorePath(s.path);
    return s;
}

// The cache on (as by default) or off for one benchmark.
class CacheSetting {
public:
    explicit CacheSetting(bool on) { kyos::reg::setCacheLimit(on ? kDefaultCacheLimit : 0); }
    ~CacheSetting() { kyos::reg::setCacheLimit(kDefaultCacheLimit); }
};

void openQueryClose(benchmark::State& state) {
    DWORD value = 0;
    for (auto _ : state) {
        HKEY key = nullptr;
        kyos::reg::openKey(HKEY_LOCAL_MACHINE, kBase, 0, KEY_READ, &key);
        DWORD type = 0, size = sizeof value;
        kyos::reg::queryValue(key, "nPLATTYPE", &type, &value, &size);
        kyos::reg::closeKey(key);
        benchmark::DoNotOptimize(value);
    }
    if (value != 7)
        state.SkipWithError("wrong value read");
}

void BM_Registry_OpenQueryClose(benchmark::State& state) {
    store();
    openQueryClose(state);
}
BENCHMARK(BM_Registry_OpenQueryClose)->Threads(1)->Threads(2)->UseRealTime();

void BM_Registry_OpenQueryClose_NoCache(benchmark::State& state) {
    store();
    CacheSetting off(false);
    openQueryClose(state);
}
BENCHMARK(BM_Registry_OpenQueryClose_NoCache);

// The same value without a handle (RegGetValue).
void BM_Registry_GetValue(benchmark::State& state) {
    store();
    DWORD value = 0;
    for (auto _ : state) {
        DWORD type = 0, size = sizeof value;
        kyos::reg::getValue(HKEY_LOCAL_MACHINE, kBase, "nPLATTYPE", &type, &value, &size);
        benchmark::DoNotOptimize(value);
    }
    if (value != 7)
        state.SkipWithError("wrong value read");
}
BENCHMARK(BM_Registry_GetValue)->Threads(1)->Threads(2)->UseRealTime();

// A committed write of one DWORD, with the cache on and off (both announce the change:
// other processes may be caching).
void setDword(benchmark::State& state) {
    HKEY key = nullptr;
    kyos::reg::openKey(HKEY_LOCAL_MACHINE, kBase, 0, KEY_ALL_ACCESS, &key);
    DWORD value = 0;
    for (auto _ : state) {
        ++value;
        if (kyos::reg::setValue(key, "nWritten", REG_DWORD, &value, sizeof value) != 0) {
            state.SkipWithError("write failed");
            break;
        }
    }
    kyos::reg::closeKey(key);
}

void BM_Registry_SetDword(benchmark::State& state) {
    store();
    setDword(state);
}
BENCHMARK(BM_Registry_SetDword);

void BM_Registry_SetDword_NoCache(benchmark::State& state) {
    store();
    CacheSetting off(false);
    setDword(state);
}
BENCHMARK(BM_Registry_SetDword_NoCache);

// The store's file opened with SQLite itself, as the store opens it, and the row of the
// key the benchmarks read.
sqlite3* openRawStore(sqlite3_int64* keyId) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(store().path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                    nullptr);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    sqlite3_stmt* find = nullptr;
    sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE root=0 AND path=?1", -1, &find, nullptr);
    std::string path = "software\\kelbrin systems\\sarvex\\instance001\\base";
    sqlite3_bind_text(find, 1, path.c_str(), -1, SQLITE_STATIC);
    sqlite3_step(find);
    *keyId = sqlite3_column_int64(find, 0);
    sqlite3_finalize(find);
    return db;
}

// What the same write costs as one SQLite statement committed on its own, without
// announcing it: the store's write before it had a cache.
void BM_Sqlite_UpsertAutocommit(benchmark::State& state) {
    sqlite3_int64 keyId = 0;
    sqlite3* db = openRawStore(&keyId);
    sqlite3_stmt* write = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO vals(key, fold, name, type, data) VALUES(?1, 'nraw', 'nRaw', "
                       "4, ?2) ON CONFLICT(key, fold) DO UPDATE SET data=excluded.data",
                       -1, &write, nullptr);
    DWORD value = 0;
    for (auto _ : state) {
        ++value;
        sqlite3_bind_int64(write, 1, keyId);
        sqlite3_bind_blob(write, 2, &value, sizeof value, SQLITE_STATIC);
        if (sqlite3_step(write) != SQLITE_DONE) {
            state.SkipWithError("write failed");
            break;
        }
        sqlite3_reset(write);
    }
    sqlite3_finalize(write);
    sqlite3_close(db);
}
BENCHMARK(BM_Sqlite_UpsertAutocommit);

// The peer: one prepared statement reading the value's row by its primary key, the
// least work SQLite can do to answer the same question.
void BM_Sqlite_PreparedPointRead(benchmark::State& state) {
    sqlite3_int64 keyId = 0;
    sqlite3* db = openRawStore(&keyId);
    sqlite3_stmt* read = nullptr;
    sqlite3_prepare_v2(db, "SELECT type, data FROM vals WHERE key=?1 AND fold=?2", -1, &read,
                       nullptr);
    DWORD value = 0;
    for (auto _ : state) {
        sqlite3_bind_int64(read, 1, keyId);
        sqlite3_bind_text(read, 2, "nplattype", 9, SQLITE_STATIC);
        if (sqlite3_step(read) == SQLITE_ROW) {
            std::memcpy(&value, sqlite3_column_blob(read, 1), sizeof value);
        }
        sqlite3_reset(read);
        benchmark::DoNotOptimize(value);
    }
    sqlite3_finalize(read);
    sqlite3_close(db);
    if (value != 7)
        state.SkipWithError("wrong value read");
}
BENCHMARK(BM_Sqlite_PreparedPointRead);

// The same 1,600 values in an LMDB environment, keyed by their folded paths.
struct LmdbStore {
    std::string dir;
    MDB_env* env = nullptr;
    MDB_dbi dbi = 0;
    LmdbStore() {
        char tmpl[] = "/tmp/kybench-lmdb-XXXXXX";
        dir = mkdtemp(tmpl);
        mdb_env_create(&env);
        mdb_env_set_mapsize(env, 64u << 20);
        mdb_env_open(env, dir.c_str(), 0, 0600);
        MDB_txn* txn = nullptr;
        mdb_txn_begin(env, nullptr, 0, &txn);
        mdb_dbi_open(txn, nullptr, 0, &dbi);
        for (int s = 0; s < 40; ++s) {
            for (DWORD v = 0; v < 40; ++v) {
                std::string key = s == 0 && v == 7
                                      ? "software\\kelbrin systems\\sarvex\\instance001\\base\\"
                                        "nplattype"
                                      : "software\\kelbrin systems\\sarvex\\instance001\\section" +
                                            std::to_string(s) + "\\nvalue" + std::to_string(v);
                MDB_val k{key.size(), key.data()};
                MDB_val d{sizeof v, &v};
                mdb_put(txn, dbi, &k, &d, 0);
            }
        }
        mdb_txn_commit(txn);
    }
    ~LmdbStore() {
        mdb_env_close(env);
        std::string cmd = "rm -rf '" + dir + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
};

LmdbStore& lmdb() {
    static LmdbStore s;
    return s;
}

// A point read as a user of LMDB writes it: a read transaction for the read.
void BM_Lmdb_PointRead(benchmark::State& state) {
    LmdbStore& db = lmdb();
    std::string key = "software\\kelbrin systems\\sarvex\\instance001\\base\\nplattype";
    MDB_val k{key.size(), key.data()};
    DWORD value = 0;
    for (auto _ : state) {
        MDB_txn* txn = nullptr;
        mdb_txn_begin(db.env, nullptr, MDB_RDONLY, &txn);
        MDB_val d;
        if (mdb_get(txn, db.dbi, &k, &d) == 0)
            std::memcpy(&value, d.mv_data, sizeof value);
        mdb_txn_abort(txn);
        benchmark::DoNotOptimize(value);
    }
    if (value != 7)
        state.SkipWithError("wrong value read");
}
BENCHMARK(BM_Lmdb_PointRead);

// The same with the read transaction kept and renewed for each read: LMDB's cheapest.
void BM_Lmdb_PointReadRenewed(benchmark::State& state) {
    LmdbStore& db = lmdb();
    std::string key = "software\\kelbrin systems\\sarvex\\instance001\\base\\nplattype";
    MDB_val k{key.size(), key.data()};
    MDB_txn* txn = nullptr;
    mdb_txn_begin(db.env, nullptr, MDB_RDONLY, &txn);
    mdb_txn_reset(txn);
    DWORD value = 0;
    for (auto _ : state) {
        mdb_txn_renew(txn);
        MDB_val d;
        if (mdb_get(txn, db.dbi, &k, &d) == 0)
            std::memcpy(&value, d.mv_data, sizeof value);
        mdb_txn_reset(txn);
        benchmark::DoNotOptimize(value);
    }
    mdb_txn_abort(txn);
    if (value != 7)
        state.SkipWithError("wrong value read");
}
BENCHMARK(BM_Lmdb_PointReadRenewed);

void BM_UnorderedMap_Lookup(benchmark::State& state) {
    std::unordered_map<std::string, DWORD> map;
    for (int s = 0; s < 40; ++s) {
        for (DWORD v = 0; v < 40; ++v) {
            map["software\\kelbrin systems\\sarvex\\instance001\\section" + std::to_string(s) +
                "\\nvalue" + std::to_string(v)] = v;
        }
    }
    map["software\\kelbrin systems\\sarvex\\instance001\\base\\nplattype"] = 7;
    const std::string key = "software\\kelbrin systems\\sarvex\\instance001\\base\\nplattype";
    DWORD value = 0;
    for (auto _ : state) {
        auto it = map.find(key);
        value = it->second;
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_UnorderedMap_Lookup);

}  // namespace
