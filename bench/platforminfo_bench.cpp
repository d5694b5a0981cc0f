// Reading one DWORD through the platform store as callers do (a new store object per
// call, section name in the instance notation), beside the raw store calls that read the
// same value (open key, query value, close key) with the full path already spelled out;
// and one value read through a component class made per call, as its callers do.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "kylib/platforminfo/KYPI_Components.h"
#include "kylib/platforminfo/KYPI_PlatformBase.h"
#include "kylib/platforminfo/KYPlatformInfo.h"
#include "os/registry/Registry.h"
#include "siblings/KyFocus/KYPI_Focus.h"

namespace {

constexpr const char* kBase = "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\Base";
constexpr DWORD kPlatformType = 4;

// A store shaped like an installation: 40 sections of 40 values each.
struct PlatformStore {
    std::string dir, path;
    PlatformStore() {
        char tmpl[] = "/tmp/kybench-pinfo-XXXXXX";
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
                DWORD data = v == 7 ? kPlatformType : v;
                kyos::reg::setValue(key, name, REG_DWORD, &data, sizeof data);
            }
            kyos::reg::closeKey(key);
        }
        txn.commit();
    }
    ~PlatformStore() {
        kyos::reg::setStorePath("");
        std::string cmd = "rm -rf '" + dir + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
};

// Other benchmarks in the binary point the process at stores of their own: each of ours
// points it back at this one, and at the instance it was laid out for.
void useStore() {
    static PlatformStore store;
    if (kyos::reg::storePath() != store.path)
        kyos::reg::setStorePath(store.path);
    KYPI_Focus::setFocus("Instance001");
    KYPI_Focus::setProductName("Sarvex");
    KYPI_Focus::setProductType(KELBRIN_PRODUCT_TYPE_DEFAULT);
    KYPI_Focus::setRemoteTesselFocus("");
}

void BM_PlatformInfo_GetNumber_NewStorePerCall(benchmark::State& state) {
    useStore();
    unsigned long value = 0;
    for (auto _ : state) {
        KYPlatformInfo().getNumber("Base", "nPLATTYPE", &value);
        benchmark::DoNotOptimize(value);
    }
    if (value != kPlatformType)
        state.SkipWithError("wrong value read");
}
BENCHMARK(BM_PlatformInfo_GetNumber_NewStorePerCall)->Threads(1)->Threads(2)->UseRealTime();

// The same read with the store's read cache off: every read is an SQLite statement.
void BM_PlatformInfo_GetNumber_NewStorePerCall_NoCache(benchmark::State& state) {
    useStore();
    kyos::reg::setCacheLimit(0);
    unsigned long value = 0;
    for (auto _ : state) {
        KYPlatformInfo().getNumber("Base", "nPLATTYPE", &value);
        benchmark::DoNotOptimize(value);
    }
    kyos::reg::setCacheLimit(16u << 20);
    if (value != kPlatformType)
        state.SkipWithError("wrong value read");
}
BENCHMARK(BM_PlatformInfo_GetNumber_NewStorePerCall_NoCache);

void BM_PlatformInfo_GetNumber_OneStore(benchmark::State& state) {
    useStore();
    KYPlatformInfo store;
    unsigned long value = 0;
    for (auto _ : state) {
        store.getNumber("Base", "nPLATTYPE", &value);
        benchmark::DoNotOptimize(value);
    }
    if (value != kPlatformType)
        state.SkipWithError("wrong value read");
}
BENCHMARK(BM_PlatformInfo_GetNumber_OneStore);

// The peer: the least a caller can do with the store's own calls.
void BM_PlatformInfo_RawOpenQueryClose(benchmark::State& state) {
    useStore();
    DWORD value = 0;
    for (auto _ : state) {
        HKEY key = nullptr;
        kyos::reg::openKey(HKEY_LOCAL_MACHINE, kBase, 0, KEY_READ, &key);
        DWORD type = 0, size = sizeof value;
        kyos::reg::queryValue(key, "nPLATTYPE", &type, &value, &size);
        kyos::reg::closeKey(key);
        benchmark::DoNotOptimize(value);
    }
    if (value != kPlatformType)
        state.SkipWithError("wrong value read");
}
BENCHMARK(BM_PlatformInfo_RawOpenQueryClose);

// ---- Component classes: a value read as callers do it, a new component object per call.

constexpr DWORD kKydPort = 8600;
constexpr DWORD kJobManagerInterval = 120;

// The component values the benchmarks read, beside the store's own.
void useComponentStore() {
    useStore();
    static const bool written = [] {
        KYPlatformInfo store;
        store.setNumber("Session", "nKYDPORT", kKydPort);
        store.setNumber("FileSystemAgent", "UpdateJobManagerIntervalInSeconds",
                        kJobManagerInterval);
        return true;
    }();
    (void)written;
}

void BM_Component_Session_NewObjectPerCall(benchmark::State& state) {
    useComponentStore();
    unsigned long value = 0;
    for (auto _ : state) {
        value = KYPI_Session().getKYDPort();
        benchmark::DoNotOptimize(value);
    }
    if (value != kKydPort)
        state.SkipWithError("wrong value read");
}
BENCHMARK(BM_Component_Session_NewObjectPerCall)->Threads(1)->Threads(2)->UseRealTime();

void BM_Component_FileSystemAgent_NewObjectPerCall(benchmark::State& state) {
    useComponentStore();
    unsigned long value = 0;
    for (auto _ : state) {
        value = KYPI_FileSystemAgent().getUpdateJobManagerIntervalInSeconds();
        benchmark::DoNotOptimize(value);
    }
    if (value != kJobManagerInterval)
        state.SkipWithError("wrong value read");
}
BENCHMARK(BM_Component_FileSystemAgent_NewObjectPerCall)->Threads(1)->Threads(2)->UseRealTime();

// The same value through a new store per call: what the component adds is the difference.
void BM_PlatformInfo_GetNumber_NewStorePerCall_FileSystemAgentValue(benchmark::State& state) {
    useComponentStore();
    unsigned long value = 0;
    for (auto _ : state) {
        KYPlatformInfo().getNumber("FileSystemAgent", "UpdateJobManagerIntervalInSeconds", &value);
        benchmark::DoNotOptimize(value);
    }
    if (value != kJobManagerInterval)
        state.SkipWithError("wrong value read");
}
BENCHMARK(BM_PlatformInfo_GetNumber_NewStorePerCall_FileSystemAgentValue);

// A cached value of an object that is kept: no store access at all.
void BM_Component_Session_CachedGetter(benchmark::State& state) {
    useComponentStore();
    KYPI_Session session;
    unsigned long value = session.getKYDPort();
    for (auto _ : state) {
        value = session.getKYDPort();
        benchmark::DoNotOptimize(value);
    }
    if (value != kKydPort)
        state.SkipWithError("wrong value read");
}
BENCHMARK(BM_Component_Session_CachedGetter);

}  // namespace
