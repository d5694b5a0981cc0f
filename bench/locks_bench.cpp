// The in-process locks beside what the standard library offers instead: an uncontended
// critical section beside std::recursive_mutex, read holds taken by two threads at once
// beside std::shared_mutex, and a monitor's signal-to-wake round trip between two
// threads beside the same ping-pong on std::condition_variable.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "kylib/concurrency/KySync.h"

namespace {

// glibc leaves the atomic instructions out of its mutexes for as long as a process has
// never started a second thread. Every process of the product runs threads, so both
// sides are measured in a process that has started one.
void becomeMultiThreaded() {
    static const bool started = [] {
        std::thread([] {}).join();
        return true;
    }();
    benchmark::DoNotOptimize(started);
}

void BM_KyCriticalSection_EnterLeave(benchmark::State& state) {
    becomeMultiThreaded();
    KyCriticalSection section;
    for (auto _ : state) {
        section.enter(true);
        benchmark::ClobberMemory();
        section.leave();
    }
}
BENCHMARK(BM_KyCriticalSection_EnterLeave);

void BM_StdRecursiveMutex_LockUnlock(benchmark::State& state) {
    becomeMultiThreaded();
    std::recursive_mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        benchmark::ClobberMemory();
        mutex.unlock();
    }
}
BENCHMARK(BM_StdRecursiveMutex_LockUnlock);

// One lock shared by the benchmark's threads.
KyRW g_rw;
std::shared_mutex g_sharedMutex;

void BM_KyRW_ReadLockUnlock(benchmark::State& state) {
    for (auto _ : state) {
        g_rw.readLock();
        benchmark::ClobberMemory();
        g_rw.readUnlock();
    }
}
BENCHMARK(BM_KyRW_ReadLockUnlock)->Threads(2)->UseRealTime();

void BM_StdSharedMutex_ReadLockUnlock(benchmark::State& state) {
    for (auto _ : state) {
        g_sharedMutex.lock_shared();
        benchmark::ClobberMemory();
        g_sharedMutex.unlock_shared();
    }
}
BENCHMARK(BM_StdSharedMutex_ReadLockUnlock)->Threads(2)->UseRealTime();

// One iteration: hand the turn to a partner thread and wait until it hands it back.
void BM_KyMonitor_PingPong(benchmark::State& state) {
    KyMonitor monitor;
    int turn = 0;  // 1: the partner's turn; guarded by the monitor
    bool stop = false;
    std::thread partner([&] {
        KyMonitorLock lock(&monitor);
        for (;;) {
            while (turn != 1 && !stop)
                monitor.wait();
            if (stop)
                return;
            turn = 0;
            monitor.signal();
        }
    });
    for (auto _ : state) {
        KyMonitorLock lock(&monitor);
        turn = 1;
        monitor.signal();
        while (turn != 0)
            monitor.wait();
    }
    {
        KyMonitorLock lock(&monitor);
        stop = true;
        monitor.signal();
    }
    partner.join();
}
BENCHMARK(BM_KyMonitor_PingPong)->UseRealTime();

void BM_StdConditionVariable_PingPong(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable changed;
    int turn = 0;
    bool stop = false;
    std::thread partner([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            while (turn != 1 && !stop)
                changed.wait(lock);
            if (stop)
                return;
            turn = 0;
            changed.notify_one();
        }
    });
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(mutex);
        turn = 1;
        changed.notify_one();
        while (turn != 0)
            changed.wait(lock);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        changed.notify_one();
    }
    partner.join();
}
BENCHMARK(BM_StdConditionVariable_PingPong)->UseRealTime();

}  // namespace
