#include "os/sync/ProcessStamp.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kyos::sync_internal {
namespace {

// Position of the start time in /proc/<pid>/stat counted from the state field, which
// follows the command name's closing parenthesis (fields 3 and 22 of proc(5)).
constexpr int kStartTimeFieldAfterState = 19;

enum class StatResult { Read, Missing, Unreadable };

// Reads the state letter and start time of a process from /proc/<pid>/stat.
StatResult readStat(std::int32_t pid, char* state, std::uint64_t* startTicks) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ESRCH ? StatResult::Missing : StatResult::Unreadable;
    char buffer[1024];
    ssize_t length;
    do {
        length = ::read(fd, buffer, sizeof buffer - 1);
    } while (length < 0 && errno == EINTR);
    ::close(fd);
    if (length <= 0)
        return length < 0 && errno == ESRCH ? StatResult::Missing : StatResult::Unreadable;
    buffer[length] = '\0';
    // The command name may hold spaces and parentheses; the last ')' ends it.
    char* cursor = std::strrchr(buffer, ')');
    if (cursor == nullptr || cursor[1] != ' ')
        return StatResult::Unreadable;
    cursor += 2;
    *state = *cursor;
    for (int field = 0; field < kStartTimeFieldAfterState; ++field) {
        cursor = std::strchr(cursor, ' ');
        if (cursor == nullptr)
            return StatResult::Unreadable;
        ++cursor;
    }
    *startTicks = std::strtoull(cursor, nullptr, 10);
    return StatResult::Read;
}

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
    if (readStat(self.pid, &state, &start) == StatResult::Read)
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
    switch (readStat(process.pid, &state, &start)) {
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
