// The public class: settings, opening and closing, and the process-wide list of writers
// that serves the exit flush and the fork handlers. Lines are composed and written in
// CHbLoggerLine.cpp, batched in CHbLoggerBuffer.cpp; the file and its cross-process state
// are CHbLoggerFile.cpp's.
#include "siblings/HbUtils/CHbLogger.h"

#include <pthread.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>

#include "siblings/HbUtils/CHbLoggerState.h"

using namespace hblog;

namespace hblog {

std::atomic<unsigned> g_forkGeneration{0};
std::atomic<long> g_processId{0};

// Read at every line that keeps its file open (for the check that the path still names
// it), so the coarse monotonic clock: it moves a few milliseconds at a time, which the
// intervals of a second or so it times do not notice, at a quarter of the precise one's
// cost.
std::int64_t SteadyMilliseconds() {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace hblog

// --- the process-wide list of writers, exit and fork ---------------------------------------

CHbLogger::State::Registry& CHbLogger::State::Writers() {
    // Never destroyed: writers may log while the process exits.
    static Registry* registry = new Registry;
    return *registry;
}

void CHbLogger::State::InstallProcessHooks() {
    static std::once_flag once;
    std::call_once(once, [] {
        ::pthread_atfork(&State::PrepareFork, &State::ParentAfterFork, &State::ChildAfterFork);
        std::atexit(&State::FlushAllAtExit);
    });
}

void CHbLogger::State::FlushAllAtExit() {
    Registry& registry = Writers();
    std::lock_guard<std::mutex> guard(registry.mutex);
    for (State* state : registry.writers)
        state->FlushBuffer();
}

// A child of fork() has one thread: every lock a writer holds must be free in it, so the
// forking thread takes the writers' mutexes first. The read-write lock is not taken: only
// threads holding coldMutex change what it guards, so with coldMutex held at the fork the
// most another thread can hold is a read lock for a write(2) in flight, and the child
// starts with a fresh one.
void CHbLogger::State::PrepareFork() {
    Registry& registry = Writers();
    registry.mutex.lock();
    for (State* state : registry.writers) {
        state->flushMutex.lock();
        state->bufferMutex.lock();
        state->coldMutex.lock();
    }
}

void CHbLogger::State::ParentAfterFork() {
    Registry& registry = Writers();
    for (auto it = registry.writers.rbegin(); it != registry.writers.rend(); ++it) {
        (*it)->coldMutex.unlock();
        (*it)->bufferMutex.unlock();
        (*it)->flushMutex.unlock();
    }
    registry.mutex.unlock();
}

void CHbLogger::State::ChildAfterFork() {
    g_processId.store(static_cast<long>(::getpid()), std::memory_order_relaxed);
    g_forkGeneration.fetch_add(1, std::memory_order_relaxed);
    ResetLineHazardsAfterFork();
    Registry& registry = Writers();
    for (State* state : registry.writers) {
        // A read lock held by a thread of the parent would never be released here (and
        // glibc could not unlock it from this thread anyway, its id being new); glibc's
        // destroy frees nothing.
        state->fileLock.~shared_mutex();
        new (&state->fileLock) std::shared_mutex;
    }
    // The flusher did not follow the fork, and none is started in its place: a child of a
    // process with threads should not start threads of its own (it is usually on its way
    // to exec). Its aged buffered lines go at its next line, its close and its exit.
    registry.flusherRunning.store(true, std::memory_order_relaxed);
    ParentAfterFork();
}

// The child inherited its parent's buffered lines (the parent writes them) and its lock
// file description, whose advisory lock would not exclude the parent.
void CHbLogger::State::CatchUpAfterFork() {
    std::lock_guard<std::mutex> buffered(bufferMutex);
    std::lock_guard<std::mutex> cold(coldMutex);
    unsigned generation = g_forkGeneration.load(std::memory_order_relaxed);
    if (forkGeneration.load(std::memory_order_relaxed) == generation)
        return;
    bufferUsed = 0;
    bufferLines = 0;
    oldestBufferedMs.store(0, std::memory_order_relaxed);
    if (lockFd >= 0) {
        CloseFd(lockFd);
        lockFd = -1;
        lockAttached.store(false, std::memory_order_relaxed);
    }
    forkGeneration.store(generation, std::memory_order_relaxed);
}

// --- CHbLogger -------------------------------------------------------------------------------

CHbLogger::CHbLogger() : m_state(new State) {
    State::InstallProcessHooks();
    State::Registry& registry = State::Writers();
    std::lock_guard<std::mutex> guard(registry.mutex);
    registry.writers.push_back(m_state.get());
}

CHbLogger::~CHbLogger() {
    {
        State::Registry& registry = State::Writers();
        std::unique_lock<std::mutex> guard(registry.mutex);
        auto& writers = registry.writers;
        writers.erase(std::remove(writers.begin(), writers.end(), m_state.get()), writers.end());
        // The flusher may be writing this writer's lines just now.
        registry.unpinned.wait(guard, [this] { return m_state->pins == 0; });
    }
    Shutdown();
    State& st = *m_state;
    std::lock_guard<std::mutex> cold(st.coldMutex);
    st.CloseAllLocked();
}

bool CHbLogger::Initialize(const std::string& directory, const std::string& fileName, int level,
                           bool flag, bool /*reserved*/) {
    State& st = *m_state;
    try {
        st.FlushBuffer();  // lines gathered for a previous file go there
        std::lock_guard<std::mutex> order(st.flushMutex);
        std::lock_guard<std::mutex> buffered(st.bufferMutex);
        std::lock_guard<std::mutex> cold(st.coldMutex);
        st.CloseAllLocked();
        std::string dir = CanonicalDirectory(directory);
        std::string lockName;
        GetLockName(fileName, directory, lockName);
        {
            std::unique_lock<std::shared_mutex> file(st.fileLock);
            st.localShared.device.store(0);
            st.localShared.inode.store(0);
            st.localShared.counter.store(0);
            st.directory = dir;
            st.appName = fileName;
            st.path = FolderOf(dir) + "/" + fileName + ".log";
            st.lockName = lockName;
            st.writeHeader = flag;
        }
        st.level.store(level, std::memory_order_relaxed);
        st.shutdown.store(false, std::memory_order_relaxed);
        st.rolloverFailed.store(false, std::memory_order_relaxed);
        if (fileName.empty()) {
            st.ready.store(false, std::memory_order_release);
            return false;
        }
        st.ready.store(true, std::memory_order_release);
        // The file itself is opened at the first line, once the header's identity is known;
        // whether it can be is known now.
        int error = 0;
        if (!CanOpen(st.path, st.directory, &error)) {
            st.NoteOpenFailure(error);
            return false;
        }
        st.openFailed.store(false, std::memory_order_release);
        st.lastOpenError.store(0, std::memory_order_relaxed);
        return true;
    } catch (...) {
        return false;
    }
}

void CHbLogger::GetLockName(const std::string& fileName, const std::string& directory,
                            std::string& lockName) {
    // Hidden, beside the log, and without ".log" in its name: the pruning of rolled
    // "name.log*" files never takes it for a version.
    lockName = FolderOf(CanonicalDirectory(directory)) + "/." + fileName + ".lock";
}

const std::string& CHbLogger::GetLockName() const {
    return m_state->lockName;
}
const std::string& CHbLogger::GetAppName() const {
    return m_state->appName;
}
const std::string& CHbLogger::GetLogFilePath() const {
    return m_state->path;
}

void CHbLogger::SetDebugLevel(int level) {
    m_state->level.store(level, std::memory_order_relaxed);
}
int CHbLogger::GetDebugLevel() const {
    return m_state->level.load(std::memory_order_relaxed);
}

void CHbLogger::SetLogFileSize(std::uint64_t megabytes) {
    if (megabytes == 0)
        megabytes = kDefaultLogFileSizeMegabytes;
    m_state->sizeMegabytes.store(megabytes, std::memory_order_relaxed);
    m_state->limitBytes.store(megabytes * kBytesPerMegabyte, std::memory_order_relaxed);
}
std::uint64_t CHbLogger::GetLogFileSize() const {
    return m_state->sizeMegabytes.load(std::memory_order_relaxed);
}
void CHbLogger::SetDefaultLogFileSize(std::uint64_t megabytes) {
    m_state->defaultSizeMegabytes.store(megabytes, std::memory_order_relaxed);
}
std::uint64_t CHbLogger::GetDefaultLogFileSize() const {
    return m_state->defaultSizeMegabytes.load(std::memory_order_relaxed);
}
void CHbLogger::SetLogFileSizeBytes(std::uint64_t bytes) {
    if (bytes == 0)
        bytes = kDefaultLogFileSizeMegabytes * kBytesPerMegabyte;
    m_state->limitBytes.store(bytes, std::memory_order_relaxed);
    m_state->sizeMegabytes.store((bytes + kBytesPerMegabyte - 1) / kBytesPerMegabyte,
                                 std::memory_order_relaxed);
}

void CHbLogger::SetMaxVersions(std::uint32_t versions) {
    m_state->maxVersions.store(versions, std::memory_order_relaxed);
}
std::uint32_t CHbLogger::GetMaxVersions() const {
    return m_state->maxVersions.load(std::memory_order_relaxed);
}
void CHbLogger::SetDefaultMaxVersions(std::uint32_t versions) {
    m_state->defaultMaxVersions.store(versions, std::memory_order_relaxed);
}
std::uint32_t CHbLogger::GetDefaultMaxVersions() const {
    return m_state->defaultMaxVersions.load(std::memory_order_relaxed);
}
void CHbLogger::SetRetainLogsTill(std::uint64_t seconds) {
    m_state->retainSeconds.store(seconds, std::memory_order_relaxed);
}
std::uint64_t CHbLogger::GetRetainLogsTill() const {
    return m_state->retainSeconds.load(std::memory_order_relaxed);
}

void CHbLogger::SetPlatformInformation(const std::string& hostName, const std::string& hostName2,
                                       const std::string& clientName, const std::string& zsHostName,
                                       const std::string& zsClientName, const std::string& osInfo,
                                       const std::string& addresses, const std::string& version,
                                       const std::string& instance, const std::string& processName,
                                       long processId) {
    State& st = *m_state;
    std::lock_guard<std::mutex> cold(st.coldMutex);
    st.hostName = hostName;
    st.hostName2 = hostName2;
    st.clientName = clientName;
    st.zsHostName = zsHostName;
    st.zsClientName = zsClientName;
    st.osInfo = osInfo;
    st.addresses = addresses;
    st.version = version;
    st.instance = instance;
    st.processName = processName;
    st.processId = processId;
}

void CHbLogger::SetProcessorInformation(const std::string& productType,
                                        const std::string& processor, std::uint32_t processors) {
    State& st = *m_state;
    std::lock_guard<std::mutex> cold(st.coldMutex);
    st.productType = productType;
    st.processor = processor;
    st.processors = processors;
}

void CHbLogger::LogMessageSyslog(const char* text) {
    SyslogCallback callback = m_state->syslogCallback.load(std::memory_order_acquire);
    if (callback != nullptr && text != nullptr)
        callback(text);
}

void CHbLogger::SetSyslogCallback(SyslogCallback callback) {
    m_state->syslogCallback.store(callback, std::memory_order_release);
}

void CHbLogger::SyslogToSystemLog(const char* text) {
    if (text == nullptr)
        return;
    static std::once_flag once;
    // openlog keeps the pointer: glibc's short program name lives as long as the process.
    std::call_once(once, [] { ::openlog(program_invocation_short_name, LOG_PID, LOG_USER); });
    ::syslog(LOG_USER | LOG_INFO, "%s", text);
}

void CHbLogger::CloseLogFile(bool final) {
    State& st = *m_state;
    try {
        if (final)
            st.FlushBuffer();
        std::lock_guard<std::mutex> cold(st.coldMutex);
        // The lock file and its mapping go too: a process opening and closing many logs
        // (one per job) must not keep a descriptor and a page for each.
        st.CloseAllLocked();
        // Closing is also how a caller asks for a fresh start after a failed open.
        st.openFailed.store(false, std::memory_order_release);
    } catch (...) {
    }
}

void CHbLogger::Shutdown() {
    State& st = *m_state;
    try {
        st.FlushAndShutDown();
        std::lock_guard<std::mutex> cold(st.coldMutex);
        st.CloseAllLocked();
    } catch (...) {
        st.shutdown.store(true, std::memory_order_relaxed);
    }
}

bool CHbLogger::IsShutdown() const {
    return m_state->shutdown.load(std::memory_order_relaxed);
}

void CHbLogger::SetLoggingMode(modeOfLogging mode) {
    State& st = *m_state;
    int previous = st.loggingMode.exchange(mode, std::memory_order_relaxed);
    if (previous == eLoggingModeBuffered && mode != eLoggingModeBuffered) {
        try {
            st.FlushBuffer();
        } catch (...) {
        }
    }
}

CHbLogger::modeOfLogging CHbLogger::GetLoggingMode() const {
    return static_cast<modeOfLogging>(m_state->loggingMode.load(std::memory_order_relaxed));
}

void CHbLogger::SetRetryOnLogOpenFail(bool retry) {
    m_state->retryOnOpenFail.store(retry, std::memory_order_relaxed);
}

bool CHbLogger::CanUserWriteToLog() {
    State& st = *m_state;
    try {
        std::string path, dir;
        {
            std::lock_guard<std::mutex> cold(st.coldMutex);
            if (!st.ready.load(std::memory_order_relaxed))
                return false;
            path = st.path;
            dir = st.directory;
        }
        int error = 0;
        return CanOpen(path, dir, &error);
    } catch (...) {
        return false;
    }
}

int CHbLogger::GetLastOpenError() const {
    return m_state->lastOpenError.load(std::memory_order_relaxed);
}

int CHbLogger::GetAccessMethod() const {
    return m_state->accessMethod.load(std::memory_order_relaxed);
}

void CHbLogger::SetAccessMethod(int method) {
    State& st = *m_state;
    int value = method == kAccessReopenPerLine ? kAccessReopenPerLine : kAccessKeepOpen;
    if (st.accessMethod.exchange(value, std::memory_order_relaxed) == value)
        return;
    try {
        std::lock_guard<std::mutex> cold(st.coldMutex);
        st.SwapFdLocked(-1, 0, FileId{});
    } catch (...) {
    }
}

void CHbLogger::SetShowLogLevel(bool show) {
    g_showLogLevel.store(show, std::memory_order_relaxed);
}

void CHbLogger::SetMonotonicClock(MonotonicClock clock) {
    m_state->clock.store(clock != nullptr ? clock : &SteadyMilliseconds, std::memory_order_relaxed);
}

std::uint64_t CHbLogger::GetDroppedLineCount() const {
    return m_state->droppedLines.load(std::memory_order_relaxed);
}
