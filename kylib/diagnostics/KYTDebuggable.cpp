// The older trace hook: one process-wide trace file in the debug log's folder.
#include "kylib/diagnostics/KYTDebuggable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <memory>
#include <mutex>

#include "kylib/diagnostics/EvDebug.h"
#include "siblings/HbUtils/FXString.h"

namespace {

constexpr const char* kTraceFileName = "log.out";
constexpr const char* kTraceMarkerName = "CXIndexLogging";
// The trace may carry whatever the objects print: readable by the owner alone.
constexpr mode_t kTraceFileMode = 0600;

// The debug log's folder: the open log's own, else the one a log would be opened in.
std::string traceFolder() {
    EvDebug log;
    std::string file = log.getLogFilePath();
    std::string::size_type slash = file.rfind('/');
    std::string dir = slash != std::string::npos ? file.substr(0, slash) : log.getTempLogFilePath();
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir;
}

// Appends to `path`, never through a link planted under its name (the folder may be
// writable by others), and never into a child process.
std::FILE* openTraceFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                    kTraceFileMode);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "a");
    if (f == nullptr)
        ::close(fd);
    return f;
}

// Guards the count and the file. A line being written holds its own reference to the
// file, so the last object's close never cuts it off.
struct TraceState {
    std::mutex lock;
    int usageCount = 0;
    std::shared_ptr<std::FILE> debugLog;
    std::string path;
};

TraceState& trace() {
    static TraceState* state = new TraceState;
    return *state;
}

}  // namespace

std::atomic<unsigned long> KYTDebuggable::debugMask{0};
std::atomic<long> KYTDebuggable::debugPid{0};
std::atomic<bool> KYTDebuggable::symlinkTableFlag{false};
std::atomic<int> KYTDebuggable::logEventsFlag{1};

KYTDebuggable::KYTDebuggable() {
    addUser();
}

KYTDebuggable::KYTDebuggable(const KYTDebuggable& other)
    : m_debugPrefix(other.m_debugPrefix), m_useStdout(other.m_useStdout) {
    addUser();
}

// Both objects exist before and after: the count stays.
KYTDebuggable& KYTDebuggable::operator=(const KYTDebuggable& other) {
    m_debugPrefix = other.m_debugPrefix;
    m_useStdout = other.m_useStdout;
    return *this;
}

KYTDebuggable::~KYTDebuggable() {
    dropUser();
}

// The first user opens the file, under the lock, so that two first users never open it
// twice. The folder is looked up outside the lock: that may read the store.
void KYTDebuggable::addUser() {
    TraceState& t = trace();
    {
        std::lock_guard<std::mutex> lock(t.lock);
        if (t.usageCount > 0) {
            ++t.usageCount;
            return;
        }
    }
    const std::string folder = traceFolder();
    std::lock_guard<std::mutex> lock(t.lock);
    if (t.usageCount++ > 0)
        return;  // another object came meanwhile and has opened it
    if (folder.empty())
        return;
    struct stat st;
    if (logEventsFlag.load() != 0 && ::lstat((folder + kTraceMarkerName).c_str(), &st) != 0)
        return;
    const long pid = static_cast<long>(::getpid());
    std::string path = folder + kTraceFileName;
    std::FILE* f = openTraceFile(path);
    if (f == nullptr) {
        path = folder + FXString::Format("log%ld.out", pid);
        f = openTraceFile(path);
    }
    if (f == nullptr) {
        std::printf("Cannot open %s file, errno %d\n", path.c_str(), errno);
        std::fflush(stdout);
        return;
    }
    debugPid = pid;
    std::fprintf(f, "\nHello from pid %ld\n", pid);
    std::fflush(f);
    t.debugLog.reset(f, [](std::FILE* file) { std::fclose(file); });
    t.path = path;
}

void KYTDebuggable::dropUser() {
    TraceState& t = trace();
    std::shared_ptr<std::FILE> closing;
    {
        std::lock_guard<std::mutex> lock(t.lock);
        if (--t.usageCount > 0)
            return;
        t.usageCount = 0;
        closing = std::move(t.debugLog);
        t.path.clear();
    }
    // Closed here, outside the lock, unless a line is still being written to it.
}

void KYTDebuggable::debug(int mask, const char* fmt, ...) {
    if (!isDebugOn(static_cast<unsigned long>(mask)) || fmt == nullptr)
        return;
    std::shared_ptr<std::FILE> file;
    {
        TraceState& t = trace();
        std::lock_guard<std::mutex> lock(t.lock);
        file = t.debugLog;
    }
    if (!file && !m_useStdout)
        return;
    va_list args;
    va_start(args, fmt);
    const std::string line = m_debugPrefix + ": " + FXString::FormatV(fmt, args);
    va_end(args);
    if (m_useStdout) {
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }
    if (file) {
        std::fputs(line.c_str(), file.get());
        std::fflush(file.get());
    }
}

bool KYTDebuggable::isDebugOn(unsigned long mask) const {
    return (mask & debugMask.load(std::memory_order_relaxed)) != 0;
}

void KYTDebuggable::setDebugPrefix(const char* prefix) {
    m_debugPrefix = prefix != nullptr ? prefix : "NoPrefix";
}

void KYTDebuggable::useStdout(int on) {
    m_useStdout = on != 0;
}

void KYTDebuggable::logEvents(int on) {
    logEventsFlag = on;
}

int KYTDebuggable::getLogEventsFlag() {
    return logEventsFlag.load();
}

int KYTDebuggable::getRegistryNumber(const char*, const char*, unsigned long*) {
    return 0;
}
int KYTDebuggable::getRegistryString(const char*, const char*, char*, int) {
    return 0;
}
int KYTDebuggable::appToString(int, char*, int) {
    return 0;
}
void KYTDebuggable::appEvent(int, const char*) {}
void KYTDebuggable::dateEvent(const char*) {}
void KYTDebuggable::setJobId(long long) {}
void KYTDebuggable::setProgramName(const char*) {}

int KYTDebuggable::getUsageCount() {
    TraceState& t = trace();
    std::lock_guard<std::mutex> lock(t.lock);
    return t.usageCount;
}

std::string KYTDebuggable::getTraceFilePath() {
    TraceState& t = trace();
    std::lock_guard<std::mutex> lock(t.lock);
    return t.path;
}
