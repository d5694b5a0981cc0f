#include "os/System.h"

#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "os/LastError.h"
#include "os/ProcStat.h"

namespace kyos {
namespace {

// The first 64 processors: the Win32 affinity mask has one bit each.
constexpr unsigned kMaskBits = 64;

std::string readProcLine(const char* file, const char* key) {
    FILE* f = std::fopen(file, "re");
    if (f == nullptr)
        return "";
    char line[512];
    std::string value;
    size_t keyLen = std::strlen(key);
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, key, keyLen) != 0)
            continue;
        const char* p = std::strchr(line, ':');
        if (p == nullptr)
            continue;
        ++p;
        while (*p == ' ' || *p == '\t')
            ++p;
        value = p;
        while (!value.empty() && (value.back() == '\n' || value.back() == ' '))
            value.pop_back();
        break;
    }
    std::fclose(f);
    return value;
}

// Seconds from 1601-01-01 to 1970-01-01, and 100-ns units per second.
constexpr std::uint64_t kSecondsFrom1601To1970 = 11644473600ull;
constexpr std::uint64_t kFileTimeUnitsPerSecond = 10000000ull;

// The "btime" line of /proc/stat: the boot time in seconds since 1970. The lines before
// it ("intr" above all) may be longer than the buffer, so only the start of a real line
// is compared.
bool readBootTime(std::uint64_t* seconds) {
    FILE* f = std::fopen("/proc/stat", "re");
    if (f == nullptr) {
        setLastErrorFromErrno(errno);
        return false;
    }
    char chunk[512];
    bool atLineStart = true;
    bool found = false;
    while (!found && std::fgets(chunk, sizeof chunk, f) != nullptr) {
        bool lineStart = atLineStart;
        std::size_t length = std::strlen(chunk);
        atLineStart = length > 0 && chunk[length - 1] == '\n';
        if (!lineStart || std::strncmp(chunk, "btime ", 6) != 0)
            continue;
        char* end = nullptr;
        errno = 0;
        unsigned long long value = std::strtoull(chunk + 6, &end, 10);
        found = errno == 0 && end != chunk + 6 && value > 0;
        *seconds = value;
    }
    std::fclose(f);
    if (!found)
        setLastError(ERROR_INVALID_DATA);
    return found;
}

std::uint64_t maskOf(const cpu_set_t& set) {
    std::uint64_t mask = 0;
    for (unsigned cpu = 0; cpu < kMaskBits && cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set))
            mask |= std::uint64_t{1} << cpu;
    }
    return mask;
}

}  // namespace

long processId() {
    return static_cast<long>(getpid());
}

std::uint64_t threadId() {
    return static_cast<std::uint64_t>(syscall(SYS_gettid));
}

std::string processPath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "";
    return std::string(buf, static_cast<size_t>(n));
}

std::string processName() {
    std::string path = processPath();
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty())
        name = program_invocation_short_name;
    return name.substr(0, 255);
}

unsigned processorCount() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1u;
}

BOOL getProcessAffinity(std::uint64_t* processMask, std::uint64_t* systemMask) {
    if (processMask == nullptr || systemMask == nullptr) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        setLastErrorFromErrno(errno);
        return FALSE;
    }
    *processMask = maskOf(set);
    unsigned count = processorCount();
    *systemMask = count >= kMaskBits ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    setLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL setProcessAffinity(std::uint64_t mask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (unsigned cpu = 0; cpu < kMaskBits; ++cpu) {
        if (mask & (std::uint64_t{1} << cpu))
            CPU_SET(cpu, &set);
    }
    if (CPU_COUNT(&set) == 0) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Linux binds threads, not processes: set every thread there is now; threads made
    // later inherit the mask of the thread that makes them.
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        if (sched_setaffinity(0, sizeof set, &set) != 0) {
            setLastErrorFromErrno(errno);
            return FALSE;
        }
        setLastError(ERROR_SUCCESS);
        return TRUE;
    }
    int failure = 0;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        pid_t tid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
        if (sched_setaffinity(tid, sizeof set, &set) != 0 && errno != ESRCH)
            failure = errno;
    }
    closedir(tasks);
    if (failure != 0) {
        setLastErrorFromErrno(failure);
        return FALSE;
    }
    setLastError(ERROR_SUCCESS);
    return TRUE;
}

std::string osDescription() {
    utsname u;
    if (uname(&u) != 0)
        return "Linux";
    return std::string(u.sysname) + " " + u.release + " " + u.machine;
}

std::string processorDescription() {
    return readProcLine("/proc/cpuinfo", "model name");
}

bool isDebuggerAttached() {
    std::string tracer = readProcLine("/proc/self/status", "TracerPid");
    return !tracer.empty() && tracer != "0";
}

void breakIntoDebugger() {
    if (isDebuggerAttached())
        raise(SIGTRAP);
}

std::int64_t unixTime() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

bool processStartTime(std::int32_t pid, std::uint64_t& fileTime100ns) {
    char state = 0;
    std::uint64_t ticks = 0;
    switch (proc_internal::readProcessStat(pid, &state, &ticks)) {
        case proc_internal::StatResult::Read:
            break;
        case proc_internal::StatResult::Missing:
            setLastError(ERROR_INVALID_PARAMETER);
            return false;
        case proc_internal::StatResult::Unreadable:
            setLastError(ERROR_ACCESS_DENIED);
            return false;
    }
    long ticksPerSecond = sysconf(_SC_CLK_TCK);
    std::uint64_t bootSeconds = 0;
    if (ticksPerSecond <= 0 || !readBootTime(&bootSeconds))
        return false;
    const std::uint64_t hz = static_cast<std::uint64_t>(ticksPerSecond);
    // Whole seconds and the rest apart, so that no product overflows.
    fileTime100ns = (kSecondsFrom1601To1970 + bootSeconds + ticks / hz) * kFileTimeUnitsPerSecond +
                    (ticks % hz) * kFileTimeUnitsPerSecond / hz;
    setLastError(ERROR_SUCCESS);
    return true;
}

}  // namespace kyos
