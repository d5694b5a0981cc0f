// The writer's internals, shared by its source files: CHbLogger.cpp (the public class, the
// process-wide list of writers and the fork handlers), CHbLoggerLine.cpp (composing and
// writing a line), CHbLoggerBuffer.cpp (buffered mode's batching and its flusher thread)
// and CHbLoggerFile.cpp (opening, the lock file and its shared state, rollover). Not part
// of the library's interface: nothing outside those files includes it.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "siblings/HbUtils/CHbLogger.h"

// The writer reaches the file system directly: what it needs (an O_APPEND descriptor that
// threads write with one system call each, an advisory lock, a mapping shared between
// processes, hard links and renames) has no counterpart in os/File.h, whose handles add a
// table lookup to every call. A Windows build replaces the few calls in the "file system"
// sections of these files.

// Nothing here is part of the library's interface: kept out of its exported symbols.
#pragma GCC visibility push(hidden)
namespace hblog {

constexpr std::uint64_t kBytesPerMegabyte = 1024 * 1024;
constexpr std::uint64_t kDefaultLogFileSizeMegabytes = 5;
// Enough history to see the last few rollovers of a chatty log; the debug log sets its
// own count per log.
constexpr std::uint32_t kDefaultMaxVersions = 5;
constexpr int kDefaultLevel = 1;

// One line at most, fields included: room for dumps of a few kilobytes in one buffer per
// thread. Longer messages are cut, and the line says so.
constexpr std::size_t kLineCapacity = 16 * 1024;

// The lock file's mapping: one page, holding SharedState.
constexpr std::size_t kSharedMappingBytes = 4096;

struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    friend bool operator==(const FileId& a, const FileId& b) {
        return a.device == b.device && a.inode == b.inode;
    }
    friend bool operator!=(const FileId& a, const FileId& b) { return !(a == b); }
};

// The rollover generation and the size of the current file share one 64-bit word (see
// SharedState::counter). 44 bits of size hold 16 TiB; the generation wraps after a
// million rollovers, far more than can happen between a writer's reading and using it.
constexpr int kSizeBits = 44;
constexpr std::uint64_t kSizeMask = (std::uint64_t{1} << kSizeBits) - 1;
constexpr std::uint64_t kGenerationMask = (std::uint64_t{1} << (64 - kSizeBits)) - 1;

constexpr std::uint64_t GenerationOf(std::uint64_t counter) {
    return counter >> kSizeBits;
}
constexpr std::uint64_t SizeOf(std::uint64_t counter) {
    return counter & kSizeMask;
}

// What the writers of one log file share across processes, in a mapping of the lock file
// (or in process memory when there is no lock file). The line path only reads the
// generation and adds to the size; everything else changes under the advisory lock.
struct SharedState {
    std::atomic<std::uint32_t> magic;
    std::atomic<std::uint32_t> layout;
    // The file that the log path named when the state was last brought up to date.
    std::atomic<std::uint64_t> device;
    std::atomic<std::uint64_t> inode;
    // Wall-clock seconds of the lock file's last time refresh.
    std::atomic<std::int64_t> touchedAt;
    // The generation (high bits), moved on whenever the path starts naming another file,
    // and the bytes appended to that file, header included (low bits). One word, so that
    // a rollover resets the size and moves the generation on in a single store: were they
    // apart, a roller paused between the two would let other writers go on appending to
    // the old file while counting their lines toward the new one.
    alignas(64) std::atomic<std::uint64_t> counter;

    std::uint64_t Generation() const {
        return GenerationOf(counter.load(std::memory_order_acquire));
    }
    std::uint64_t Size() const { return SizeOf(counter.load(std::memory_order_relaxed)); }
    // Adds a line's bytes; returns the size now counted.
    std::uint64_t Add(std::uint64_t bytes) {
        return SizeOf(counter.fetch_add(bytes, std::memory_order_relaxed) + bytes);
    }
    // Starts the next generation with `size` bytes. Only under the advisory lock, so that
    // there is one advancer at a time; additions racing with it belong to the old file.
    std::uint64_t Advance(std::uint64_t size) {
        std::uint64_t next = (Generation() + 1) & kGenerationMask;
        counter.store(next << kSizeBits | std::min(size, kSizeMask), std::memory_order_release);
        return next;
    }
};
static_assert(sizeof(SharedState) <= kSharedMappingBytes, "shared state must fit its page");
static_assert(std::atomic<std::uint64_t>::is_always_lock_free,
              "shared counters must be lock-free to work across processes");

extern std::atomic<bool> g_showLogLevel;
// Bumped in the child after fork(): per-thread and per-writer caches compare it.
extern std::atomic<unsigned> g_forkGeneration;
extern std::atomic<long> g_processId;

// What a line is written with when its writer keeps the file open: the descriptor, the
// generation it was opened under and the shared state its bytes are counted in, published
// together (see CHbLogger::State::lineTarget).
struct LineTarget {
    int fd = -1;
    std::uint64_t generation = 0;
    SharedState* shared = nullptr;
};

// A thread's mark of the writer whose published LineTarget it is using right now
// (CHbLoggerLine.cpp).
struct LineHazard;
// In the child of a fork(): no other thread is there to be writing.
void ResetLineHazardsAfterFork();

std::int64_t SteadyMilliseconds();
long CurrentProcessId();
long CurrentThreadId();

// --- file system (CHbLoggerFile.cpp) -----------------------------------------------------
int OpenForAppend(const std::string& path);
void CloseFd(int fd);
// Appends every byte of the vector. Lines from other writers never land inside one
// write(2) of an O_APPEND file; a short write (a full disk, a signal) is finished rather
// than lost, at the price of that one line no longer being atomic. Inline: every line
// passes here.
inline bool WriteAll(int fd, iovec* iov, int count) {
    while (count > 0) {
        // A formatted line is one buffer: write(2) spares the kernel importing a vector.
        ssize_t written =
            count == 1 ? ::write(fd, iov->iov_base, iov->iov_len) : ::writev(fd, iov, count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        std::size_t done = static_cast<std::size_t>(written);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            if (written == 0)
                return false;
            iov->iov_base = static_cast<char*>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return true;
}

// One spelling per folder, so that equal lock names mean one file: the absolute path with
// "." parts, ".." parts and doubled slashes worked out. Purely by the text: a name must
// not change when the folder comes into existence between two calls.
std::string CanonicalDirectory(const std::string& directory);
std::string FolderOf(const std::string& directory);
// Whether the log file can be appended to: the file itself when it exists (never through
// a link), else its folder (created when missing). Creating a file just to delete it
// again could swallow a line another process appends in between; asking about the
// folder is enough.
bool CanOpen(const std::string& path, const std::string& directory, int* error);

}  // namespace hblog
#pragma GCC visibility pop

// --- the writer's state ---------------------------------------------------------------------
//
// Locks, always taken in this order: flushMutex, bufferMutex, coldMutex, fileLock. The line
// path of a writer that keeps its file open takes none (see lineTarget); the other line
// paths take fileLock shared around their write(2) and their addition to the shared size
// only; opening, rollover and closing take coldMutex, and fileLock exclusively for the
// moment they swap the descriptor or the mapping. A process-wide registry of writers
// serves the exit flush, the flusher thread and the fork handlers.
//
// Hidden, as the helpers its fields are made of.
struct __attribute__((visibility("hidden"))) CHbLogger::State {
    State() = default;

    // Settings, read on the line path.
    std::atomic<int> level{hblog::kDefaultLevel};
    std::atomic<std::uint64_t> limitBytes{hblog::kDefaultLogFileSizeMegabytes *
                                          hblog::kBytesPerMegabyte};
    std::atomic<std::uint64_t> sizeMegabytes{hblog::kDefaultLogFileSizeMegabytes};
    std::atomic<std::uint64_t> defaultSizeMegabytes{hblog::kDefaultLogFileSizeMegabytes};
    std::atomic<std::uint32_t> maxVersions{hblog::kDefaultMaxVersions};
    std::atomic<std::uint32_t> defaultMaxVersions{hblog::kDefaultMaxVersions};
    std::atomic<std::uint64_t> retainSeconds{0};
    std::atomic<int> loggingMode{eLoggingModeDefault};
    std::atomic<int> accessMethod{kAccessKeepOpen};
    std::atomic<bool> retryOnOpenFail{false};
    std::atomic<bool> shutdown{false};
    std::atomic<SyslogCallback> syslogCallback{nullptr};
    std::atomic<MonotonicClock> clock{&hblog::SteadyMilliseconds};
    std::atomic<std::uint64_t> droppedLines{0};
    std::atomic<bool> ready{false};  // Initialize succeeded in naming a file

    // Failures and periodic checks, timed with `clock`.
    std::atomic<bool> openFailed{false};
    std::atomic<int> lastOpenError{0};
    std::atomic<std::int64_t> lastOpenAttemptMs{0};
    std::atomic<bool> rolloverFailed{false};
    std::atomic<std::int64_t> lastRolloverFailureMs{0};
    std::atomic<std::int64_t> lastIdentityCheckMs{0};
    std::atomic<bool> lockAttached{false};
    std::atomic<std::int64_t> lastLockAttemptMs{INT64_MIN / 2};

    // Names: written by Initialize with every lock held.
    bool writeHeader = false;
    std::string directory;
    std::string appName;
    std::string path;
    std::string lockName;

    // Header identity (coldMutex).
    std::string hostName, hostName2, clientName, zsHostName, zsClientName, osInfo, addresses,
        version, instance, processName;
    long processId = 0;
    std::string productType, processor;
    std::uint32_t processors = 0;

    std::mutex flushMutex;
    std::mutex bufferMutex;
    std::mutex coldMutex;
    std::shared_mutex fileLock;

    // The open file (keep-open), and the shared state it is counted in: changed with
    // coldMutex and fileLock (exclusive) held, so either lock suffices to read them. A
    // descriptor or mapping replaced or released is closed or unmapped once the lines that
    // may be using it are done: those of the locks' holders at once, those of the lock-free
    // path below after the wait for their hazards.
    int fd = -1;
    std::uint64_t fdGeneration = 0;
    hblog::FileId fdId;
    hblog::SharedState* shared = &localShared;

    // The same three for the line path of a writer that keeps its file open, which takes
    // no lock: a thread marks the writer with its hazard, reads the published target and
    // writes with it. Whoever changes fd, fdGeneration or shared publishes a new target
    // (null without a descriptor) and waits until no thread holds a hazard on the writer
    // before it closes or unmaps what the old one named. Two targets, used in turn: the one
    // not published is free once that wait is over (coldMutex).
    std::atomic<const hblog::LineTarget*> lineTarget{nullptr};
    hblog::LineTarget lineTargets[2];
    int nextLineTarget = 0;

    // The lock file (coldMutex).
    int lockFd = -1;
    hblog::FileId lockId;
    void* mapping = nullptr;
    hblog::SharedState localShared{};

    // Buffered mode. Lines gather in `buffer` (bufferMutex); a flush swaps it with `spare`
    // and writes `spare` with bufferMutex released, so that threads adding lines never wait
    // for the disk. flushMutex orders the flushes: batches reach the file in the order they
    // were taken. `oldestBufferedMs` is 0 while the buffer is empty.
    std::unique_ptr<char[]> buffer;
    std::unique_ptr<char[]> spare;  // flushMutex
    std::size_t bufferUsed = 0;
    std::size_t bufferLines = 0;
    std::atomic<std::int64_t> oldestBufferedMs{0};

    // Flushes of the flusher thread in progress on this writer (Registry::mutex).
    int pins = 0;

    std::atomic<unsigned> forkGeneration{hblog::g_forkGeneration.load()};

    std::int64_t Now() const { return clock.load(std::memory_order_relaxed)(); }

    // --- process-wide registry ---------------------------------------------------------
    struct Registry {
        std::mutex mutex;
        std::condition_variable unpinned;
        std::vector<State*> writers;
        std::atomic<bool> flusherRunning{false};
    };
    static Registry& Writers();
    static void InstallProcessHooks();
    static void FlushAllAtExit();
    static void PrepareFork();
    static void ParentAfterFork();
    static void ChildAfterFork();
    static void StartFlusher();
    static void FlusherMain();

    // --- line path ---------------------------------------------------------------------
    void LogFormatted(int level, long value, const char* tag, unsigned long line,
                      std::int64_t jobId, const char* prefix, const char* format, va_list args);
    void WriteLine(char* data, std::size_t length, hblog::LineHazard* hazard);
    void PublishLineTargetLocked();
    void Emit(iovec* iov, int count, std::size_t total, std::size_t lines);
    void WriteNow(iovec* iov, int count, std::size_t total, std::size_t lines);
    void WriteKeepOpen(iovec* iov, int count, std::size_t total, std::size_t lines);
    void WriteReopening(iovec* iov, int count, std::size_t total, std::size_t lines);
    bool WriteCounted(int lineFd, iovec* iov, int count, std::size_t total, std::size_t lines,
                      std::uint64_t* sizeNow);
    void AppendBuffered(iovec* iov, int count, std::size_t total, std::size_t lines);
    void FlushBuffer(iovec* after = nullptr, int afterCount = 0, std::size_t afterTotal = 0,
                     std::size_t afterLines = 0);
    std::size_t TakeBatchLocked(std::size_t* lines);
    void FlushAndShutDown();
    void FlushIfAged();
    void StartFlusherOnce();
    void AfterWrite(std::uint64_t generation, std::uint64_t sizeNow, bool keepOpen);
    void Drop(std::size_t lines) { droppedLines.fetch_add(lines, std::memory_order_relaxed); }
    bool MayTryOpen();
    void NoteOpenFailure(int error);
    void CatchUpAfterFork();

    // --- cold paths (coldMutex held) ---------------------------------------------------
    bool EnsureOpenLocked();
    bool OpenCurrentLocked(int* fdOut, std::uint64_t* generationOut, hblog::FileId* idOut);
    int CreateFileLocked(bool* created);
    void AttachLockLocked(bool force);
    void SwapFdLocked(int newFd, std::uint64_t generation, hblog::FileId id);
    void RollOver(std::uint64_t generation);
    bool ShiftBackupsLocked();
    void CheckIdentity();
    std::string HeaderLocked() const;
    bool Durable() const {
        return loggingMode.load(std::memory_order_relaxed) == eLoggingModeDurable;
    }
    void CloseAllLocked();
};
