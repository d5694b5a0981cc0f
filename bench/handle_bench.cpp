// Looking up a live handle and letting it go: the toll every call on a file, mutex or
// event pays before it does its work. On one thread, and on two at once (both on the
// same handle, and each on its own), through the HandleRef that os/ itself uses and
// through the std::shared_ptr of lookupHandleAs(). Beside it, the table a user would
// write instead: a map from handle to std::shared_ptr behind a std::shared_mutex.
#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unordered_map>

#include "os/Handle.h"

namespace {

// glibc's and libstdc++'s atomics take a cheaper path until a process starts a second
// thread; every process of the product runs threads, so all sides are measured after one.
void becomeMultiThreaded() {
    static const bool started = [] {
        std::thread([] {}).join();
        return true;
    }();
    benchmark::DoNotOptimize(started);
}

class BenchObject final : public kyos::HandleObject {
public:
    int value = 1;
};

// The handle that all threads of a run share, opened by the first thread before the
// threads start timing and closed by it after they all stop.
HANDLE g_shared = nullptr;

void openShared(const benchmark::State& state) {
    becomeMultiThreaded();
    if (state.thread_index() == 0)
        g_shared = kyos::makeHandle(std::make_unique<BenchObject>());
}

void closeShared(const benchmark::State& state) {
    if (state.thread_index() == 0)
        kyos::closeHandle(g_shared);
}

void BM_Handle_LookupRef(benchmark::State& state) {
    openShared(state);
    for (auto _ : state) {
        kyos::HandleRef<BenchObject> object = kyos::lookupHandleRef<BenchObject>(g_shared);
        benchmark::DoNotOptimize(object->value);
    }
    closeShared(state);
}
BENCHMARK(BM_Handle_LookupRef)->Threads(1)->Threads(2)->UseRealTime();

void BM_Handle_LookupRefOwnHandle(benchmark::State& state) {
    becomeMultiThreaded();
    HANDLE handle = kyos::makeHandle(std::make_unique<BenchObject>());
    for (auto _ : state) {
        kyos::HandleRef<BenchObject> object = kyos::lookupHandleRef<BenchObject>(handle);
        benchmark::DoNotOptimize(object->value);
    }
    kyos::closeHandle(handle);
}
BENCHMARK(BM_Handle_LookupRefOwnHandle)->Threads(2)->UseRealTime();

void BM_Handle_LookupShared(benchmark::State& state) {
    openShared(state);
    for (auto _ : state) {
        std::shared_ptr<BenchObject> object = kyos::lookupHandleAs<BenchObject>(g_shared);
        benchmark::DoNotOptimize(object->value);
    }
    closeShared(state);
}
BENCHMARK(BM_Handle_LookupShared)->Threads(1)->Threads(2)->UseRealTime();

void BM_Handle_LookupSharedOwnHandle(benchmark::State& state) {
    becomeMultiThreaded();
    HANDLE handle = kyos::makeHandle(std::make_unique<BenchObject>());
    for (auto _ : state) {
        std::shared_ptr<BenchObject> object = kyos::lookupHandleAs<BenchObject>(handle);
        benchmark::DoNotOptimize(object->value);
    }
    kyos::closeHandle(handle);
}
BENCHMARK(BM_Handle_LookupSharedOwnHandle)->Threads(2)->UseRealTime();

// Opening and closing, for the cost a short-lived file or event pays on top.
void BM_Handle_MakeClose(benchmark::State& state) {
    becomeMultiThreaded();
    for (auto _ : state)
        kyos::closeHandle(kyos::makeHandle(std::make_unique<BenchObject>()));
}
BENCHMARK(BM_Handle_MakeClose);

// The peer: one reader/writer lock over a map of shared owners.
class MapTable {
public:
    void* insert(std::shared_ptr<BenchObject> object) {
        void* key = object.get();
        std::unique_lock<std::shared_mutex> lock(mutex_);
        live_.emplace(key, std::move(object));
        return key;
    }
    std::shared_ptr<BenchObject> find(void* key) const {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        auto it = live_.find(key);
        return it == live_.end() ? nullptr : it->second;
    }
    void erase(void* key) {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        live_.erase(key);
    }

private:
    mutable std::shared_mutex mutex_;
    std::unordered_map<void*, std::shared_ptr<BenchObject>> live_;
};

MapTable g_mapTable;
void* g_mapShared = nullptr;

void BM_SharedMutexMap_HandleLookup(benchmark::State& state) {
    becomeMultiThreaded();
    if (state.thread_index() == 0)
        g_mapShared = g_mapTable.insert(std::make_shared<BenchObject>());
    for (auto _ : state) {
        std::shared_ptr<BenchObject> object = g_mapTable.find(g_mapShared);
        benchmark::DoNotOptimize(object->value);
    }
    if (state.thread_index() == 0)
        g_mapTable.erase(g_mapShared);
}
BENCHMARK(BM_SharedMutexMap_HandleLookup)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
