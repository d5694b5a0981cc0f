#include "os/sync/ProcessStamp.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "os/ProcStat.h"

namespace kyos::sync_internal {
namespace {

using proc_internal::readProcessStat;
using proc_internal::StatResult;

bool pidExists(std::int32_t pid) {
    return ::kill(pid, 0) == 0 || errno != ESRCH;
}

}  // namespace

namespace {

// The calling process's stamp, read once; a forked child reads its own again.
std::atomic<bool> g_selfKnown{false};
std::atomic<std::int32_t> g_selfPid{0};
std::atomic<std::uint64_t> g_selfStart{0};

void forgetSelfInChild() {
    g_selfKnown.store(false);
}

const int g_forkHandlerRegistered = pthread_atfork(nullptr, nullptr, &forgetSelfInChild);

}  // namespace

ProcessStamp currentProcess() {
    ProcessStamp self;
    if (g_selfKnown.load(std::memory_order_acquire)) {
        self.pid = g_selfPid.load(std::memory_order_relaxed);
        self.startTicks = g_selfStart.load(std::memory_order_relaxed);
        return self;
    }
    self.pid = static_cast<std::int32_t>(::getpid());
    char state = 0;
    std::uint64_t start = 0;
    if (readProcessStat(self.pid, &state, &start) == StatResult::Read)
        self.startTicks = start;
    // Threads that race here store the same values.
    g_selfPid.store(self.pid, std::memory_order_relaxed);
    g_selfStart.store(self.startTicks, std::memory_order_relaxed);
    g_selfKnown.store(true, std::memory_order_release);
    return self;
}

bool processEnded(const ProcessStamp& process) {
    if (process.pid <= 0)
        return true;
    if (!pidExists(process.pid))
        return true;
    char state = 0;
    std::uint64_t start = 0;
    switch (readProcessStat(process.pid, &state, &start)) {
        case StatResult::Read:
            // A zombie has closed everything; only its parent's wait() is missing.
            if (state == 'Z' || state == 'X')
                return true;
            return process.startTicks != 0 && start != process.startTicks;
        case StatResult::Missing:
            // Gone since kill(), or hidden from us by /proc's hidepid option.
            return !pidExists(process.pid);
        case StatResult::Unreadable:
            break;
    }
    return false;
}

}  // namespace kyos::sync_internal
