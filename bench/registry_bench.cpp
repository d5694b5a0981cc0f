// Reading one DWORD as the platform store does (open key, query value, close key),
// beside the fastest raw SQLite read of the same row and an in-memory map lookup.
#include <benchmark/benchmark.h>
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

BenchStore& store() {
    static BenchStore s;
    return s;
}

void BM_Registry_OpenQueryClose(benchmark::State& state) {
    store();
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
BENCHMARK(BM_Registry_OpenQueryClose);

// The peer: one prepared statement reading the value's row by its primary key, the
// least work SQLite can do to answer the same question.
void BM_Sqlite_PreparedPointRead(benchmark::State& state) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(store().path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                    nullptr);
    sqlite3_stmt* find = nullptr;
    sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE root=0 AND path=?1", -1, &find, nullptr);
    std::string path = "software\\kelbrin systems\\sarvex\\instance001\\base";
    sqlite3_bind_text(find, 1, path.c_str(), -1, SQLITE_STATIC);
    sqlite3_step(find);
    sqlite3_int64 keyId = sqlite3_column_int64(find, 0);
    sqlite3_finalize(find);
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
