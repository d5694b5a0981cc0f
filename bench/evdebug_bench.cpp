// The debug log's message path: a message below the log level (the common case in a
// busy process), and a written line, beside spdlog doing the same.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <stdlib.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "bench/AllocationCounter.h"

#include "kylib/diagnostics/EvDebug.h"
#include "os/registry/Registry.h"
#include "siblings/KyFocus/KYPI_Focus.h"

namespace {

// A private store and log folder, set up once for the whole run.
struct LogSetup {
    std::string dir;
    EvDebug log;
    // A log of its own that a thread pushes as its thread-level instance.
    EvDebugFileInstance threadLevel;
    std::shared_ptr<spdlog::logger> peer;
    LogSetup() {
        char tmpl[] = "/tmp/kybench-log-XXXXXX";
        dir = mkdtemp(tmpl);
        kyos::reg::setStorePath(dir + "/registry.db");
        KYPI_Focus::setFocus("Instance001");
        HKEY key = nullptr;
        kyos::reg::createKey(HKEY_LOCAL_MACHINE,
                             "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\EventManager", 0,
                             KEY_ALL_ACCESS, &key, nullptr);
        std::string logs = dir + "/logs";
        kyos::reg::setValue(key, "dEVLOGDIR", REG_EXPAND_SZ, logs.c_str(),
                            static_cast<DWORD>(logs.size() + 1));
        DWORD megabytes = 64;  // rolls over now and then, as a real log does
        kyos::reg::setValue(key, "kybench_MAXLOGFILESIZE", REG_DWORD, &megabytes, sizeof megabytes);
        kyos::reg::closeKey(key);
        log.initialize(EvDebug::getLogId("kybench"), 0, true, "");
        EvDebug(&threadLevel).initialize(EvDebug::getLogId("kybench"), 0, true, "thread");
        peer = spdlog::basic_logger_mt("peer", dir + "/logs/spdlog.log", true);
        peer->set_level(spdlog::level::info);
    }
    ~LogSetup() {
        spdlog::drop_all();
        std::string cmd = "rm -rf '" + dir + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
};

LogSetup& setup() {
    static LogSetup s;
    return s;
}

void BM_EvDebug_BelowLevel(benchmark::State& state) {
    EvDebug& log = setup().log;
    log.setDebugLevel(1);
    long before = allocationCount();
    int i = 0;
    for (auto _ : state)
        log.DebugLvl("Bench::belowLevel", 5, "value %d of %s", i++, "something");
    state.counters["allocs/msg"] = benchmark::Counter(
        static_cast<double>(allocationCount() - before) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_EvDebug_BelowLevel);

// The same message through a handle that follows the thread, while a thread-level
// instance is pushed: the handle then looks at its thread's stack.
void belowLevelThroughTheThread(benchmark::State& state) {
    EvDebug& log = setup().log;
    long before = allocationCount();
    int i = 0;
    for (auto _ : state)
        log.DebugLvl("Bench::belowLevel", 5, "value %d of %s", i++, "something");
    state.counters["allocs/msg"] = benchmark::Counter(
        static_cast<double>(allocationCount() - before) / static_cast<double>(state.iterations()));
}

// Pushed on the logging thread: its messages go to (and are filtered by) that instance.
void BM_EvDebug_BelowLevel_ThreadLevelHere(benchmark::State& state) {
    LogSetup& s = setup();
    s.log.setDebugLevel(1);
    ThLvlEvDebugFileInstance guard(&s.threadLevel);
    belowLevelThroughTheThread(state);
}
BENCHMARK(BM_EvDebug_BelowLevel_ThreadLevelHere);

// Pushed on another thread: the logging thread finds no stack of its own and uses the
// default instance.
void BM_EvDebug_BelowLevel_ThreadLevelElsewhere(benchmark::State& state) {
    LogSetup& s = setup();
    s.log.setDebugLevel(1);
    std::mutex m;
    std::condition_variable cv;
    bool pushed = false, done = false;
    std::thread other([&] {
        ThLvlEvDebugFileInstance guard(&s.threadLevel);
        std::unique_lock<std::mutex> lock(m);
        pushed = true;
        cv.notify_all();
        cv.wait(lock, [&] { return done; });
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return pushed; });
    }
    belowLevelThroughTheThread(state);
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_all();
    other.join();
}
BENCHMARK(BM_EvDebug_BelowLevel_ThreadLevelElsewhere);

void BM_Spdlog_BelowLevel(benchmark::State& state) {
    auto& peer = setup().peer;
    int i = 0;
    for (auto _ : state)
        peer->debug("value {} of {}", i++, "something");
}
BENCHMARK(BM_Spdlog_BelowLevel);

// A written line of about 100 characters.
void BM_EvDebug_WrittenLine(benchmark::State& state) {
    EvDebug log = setup().log;
    int i = 0;
    for (auto _ : state) {
        log.DebugLvl("Bench::written", 1,
                     "value %d of %s: the quick brown fox jumps over the lazy dog.", i++,
                     "something");
    }
}
BENCHMARK(BM_EvDebug_WrittenLine)->Threads(1)->Threads(2)->UseRealTime();

void BM_Spdlog_WrittenLine(benchmark::State& state) {
    auto& peer = setup().peer;
    int i = 0;
    for (auto _ : state) {
        peer->info("value {} of {}: the quick brown fox jumps over the lazy dog.", i++,
                   "something");
    }
}
BENCHMARK(BM_Spdlog_WrittenLine)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
