// Taking and releasing a named mutex nobody else wants: os/sync's kernel mutex beside
// Boost.Interprocess's named mutexes, the portable choice a user would make instead.
// Ours is recursive and reports abandonment, so boost's recursive mutex is the closer
// match; both are shown. After the first wait a thread's waits and releases on the same
// handle go by its cache of that handle, as they do in a program that locks the same
// mutex again and again.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <boost/interprocess/sync/named_mutex.hpp>
#include <boost/interprocess/sync/named_recursive_mutex.hpp>
#include <string>

#include "os/Handle.h"
#include "os/sync/Sync.h"

namespace {

std::string benchName(const char* what) {
    return std::string("kybench-") + what + "-" + std::to_string(::getpid());
}

void BM_Sync_NamedMutex_LockUnlock(benchmark::State& state) {
    std::string name = benchName("mutex");
    HANDLE mutex = kyos::createMutex(FALSE, name.c_str());
    if (mutex == nullptr) {
        state.SkipWithError("createMutex failed");
        return;
    }
    for (auto _ : state) {
        kyos::waitForSingleObject(mutex, INFINITE);
        kyos::releaseMutex(mutex);
    }
    kyos::closeHandle(mutex);
}
BENCHMARK(BM_Sync_NamedMutex_LockUnlock);

template <class Mutex>
void boostLockUnlock(benchmark::State& state, const char* what) {
    using namespace boost::interprocess;
    std::string name = benchName(what);
    Mutex::remove(name.c_str());
    {
        Mutex mutex(open_or_create, name.c_str());
        for (auto _ : state) {
            mutex.lock();
            mutex.unlock();
        }
    }
    Mutex::remove(name.c_str());
}

void BM_Boost_NamedMutex_LockUnlock(benchmark::State& state) {
    boostLockUnlock<boost::interprocess::named_mutex>(state, "boost-mutex");
}
BENCHMARK(BM_Boost_NamedMutex_LockUnlock);

void BM_Boost_NamedRecursiveMutex_LockUnlock(benchmark::State& state) {
    boostLockUnlock<boost::interprocess::named_recursive_mutex>(state, "boost-recursive");
}
BENCHMARK(BM_Boost_NamedRecursiveMutex_LockUnlock);

// A mutex the thread already holds, taken and released once more: the recursive path,
// beside boost's recursive mutex held the same way.
void BM_Sync_NamedMutex_RecursiveLockUnlock(benchmark::State& state) {
    std::string name = benchName("mutex-recursive");
    HANDLE mutex = kyos::createMutex(TRUE, name.c_str());
    if (mutex == nullptr) {
        state.SkipWithError("createMutex failed");
        return;
    }
    for (auto _ : state) {
        kyos::waitForSingleObject(mutex, INFINITE);
        kyos::releaseMutex(mutex);
    }
    kyos::releaseMutex(mutex);
    kyos::closeHandle(mutex);
}
BENCHMARK(BM_Sync_NamedMutex_RecursiveLockUnlock);

void BM_Boost_NamedRecursiveMutex_RecursiveLockUnlock(benchmark::State& state) {
    using boost::interprocess::named_recursive_mutex;
    std::string name = benchName("boost-recursive-held");
    named_recursive_mutex::remove(name.c_str());
    {
        named_recursive_mutex mutex(boost::interprocess::open_or_create, name.c_str());
        mutex.lock();
        for (auto _ : state) {
            mutex.lock();
            mutex.unlock();
        }
        mutex.unlock();
    }
    named_recursive_mutex::remove(name.c_str());
}
BENCHMARK(BM_Boost_NamedRecursiveMutex_RecursiveLockUnlock);

// The same mutex taken through a wait on two objects (the other an unset event), the
// path a daemon watcher with a quit event takes.
void BM_Sync_NamedMutex_WaitAnyOfTwo(benchmark::State& state) {
    std::string name = benchName("mutex-any");
    HANDLE handles[] = {kyos::createMutex(FALSE, name.c_str()),
                        kyos::createEvent(TRUE, FALSE, nullptr)};
    for (auto _ : state) {
        kyos::waitForMultipleObjects(2, handles, FALSE, INFINITE);
        kyos::releaseMutex(handles[0]);
    }
    kyos::closeHandle(handles[0]);
    kyos::closeHandle(handles[1]);
}
BENCHMARK(BM_Sync_NamedMutex_WaitAnyOfTwo);

}  // namespace
