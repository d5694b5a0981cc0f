#include "siblings/HbUtils/CHbLogger.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "siblings/HbUtils/FXFile.h"

// The writer reaches the file system directly: what it needs (an O_APPEND descriptor that
// threads write with one system call each, an advisory lock, a mapping shared between
// processes, hard links and renames) has no counterpart in os/File.h, whose handles add a
// table lookup to every call. A Windows build replaces the few calls marked "file system"
// below.

namespace {

constexpr std::uint64_t kBytesPerMegabyte = 1024 * 1024;
constexpr std::uint64_t kDefaultLogFileSizeMegabytes = 5;
// Enough history to see the last few rollovers of a chatty log; the debug log sets its
// own count per log.
constexpr std::uint32_t kDefaultMaxVersions = 5;
constexpr int kDefaultLevel = 1;

// One line at most, fields included: room for dumps of a few kilobytes in one buffer per
// thread. Longer messages are cut, and the line says so.
constexpr std::size_t kLineCapacity = 16 * 1024;
// Kept free at the end of a line buffer for the cut notice and the line break.
constexpr std::size_t kLineTailReserve = 96;
// The line buffer on the stack, for a line logged while the thread's own buffer is busy
// (from inside another line) or when that buffer could not be allocated.
constexpr std::size_t kFallbackLineCapacity = 1024;
// Tags and prefixes are names, not payload; bounding them keeps room for the message.
constexpr std::size_t kMaxTagBytes = 256;
constexpr std::size_t kMaxPrefixBytes = 1024;

// Buffered mode writes its lines when this much has gathered, or once the oldest has
// waited this long: at the next line, or from the flusher thread when the process is
// quiet. The flusher looks this often, so a quiet line waits at most the sum.
constexpr std::size_t kBufferedFlushBytes = 64 * 1024;
constexpr std::size_t kBufferCapacity = kBufferedFlushBytes + kLineCapacity;
constexpr std::int64_t kBufferedMaxAgeMs = 1000;
constexpr auto kFlusherTick = std::chrono::milliseconds(200);

// A file that could not be opened is tried again at most this often (with retry on); a
// rollover that failed (a rename refused) likewise, so that a stuck file does not take the
// cross-process lock at every line.
constexpr std::int64_t kOpenRetryIntervalMs = 1000;
constexpr std::int64_t kRolloverRetryIntervalMs = 1000;
// How often a writer that keeps its file open checks that the path still names that file
// (someone may have moved or deleted it outside the rollover protocol).
constexpr std::int64_t kIdentityCheckIntervalMs = 1000;
// The log cleanup deletes stray files in the log folder that have not been written for a
// week; refreshing the lock file's time hourly keeps it from being taken for one.
constexpr std::int64_t kLockTouchIntervalSeconds = 3600;
// Opening races with rollovers of other processes; each retry means the file was rolled
// in between, so a handful is plenty.
constexpr int kOpenAttempts = 4;
// Reopens a line may cause before it is written to whatever file the writer holds.
constexpr int kReopenAttempts = 2;
// A lock file that cannot be created (a folder we may append in but not create in) is
// tried again at most this often by writers that reopen per line.
constexpr std::int64_t kLockRetryIntervalMs = 1000;
// Numbered files beyond the backup count are removed at rollover (the count may have
// shrunk); the walk stops at the first gap, or here.
constexpr std::uint32_t kMaxStrayBackups = 1000;

// Log and lock files are shared by the product's processes, which may run as different
// users; permissions follow the process umask, as for any file a program creates.
constexpr mode_t kNewFileMode = 0666;
// Every file of a log is opened without following a link at its name: a log folder may be
// writable by others, and a planted link must not make the writer append to, grow or
// truncate the file it points at.
constexpr int kNoFollow = O_NOFOLLOW | O_CLOEXEC;
// Names tried for the hidden file a new log's header is written into, should another
// file hold the first.
constexpr int kTempNameAttempts = 8;

// The lock file's mapping: one page, holding SharedState.
constexpr std::size_t kSharedMappingBytes = 4096;
constexpr std::uint32_t kSharedMagic = 0x4B594C47;  // "KYLG"
constexpr std::uint32_t kSharedLayout = 2;

constexpr char kLineLayout[] = "pid tid date time level job source text";

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

std::atomic<bool> g_showLogLevel{false};
// Bumped in the child after fork(): per-thread and per-writer caches compare it.
std::atomic<unsigned> g_forkGeneration{0};
std::atomic<long> g_processId{0};

std::int64_t SteadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

long CurrentProcessId() {
    long pid = g_processId.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<long>(::getpid());
        g_processId.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

struct ThreadIdentity {
    long tid = 0;
    unsigned forkGeneration = ~0u;
};
thread_local ThreadIdentity t_identity;

long CurrentThreadId() {
    unsigned generation = g_forkGeneration.load(std::memory_order_relaxed);
    if (t_identity.forkGeneration != generation) {
        t_identity.tid = static_cast<long>(::gettid());
        t_identity.forkGeneration = generation;
    }
    return t_identity.tid;
}

// "YYYY-MM-DD hh:mm:ss" of the current second, converted once per second per thread:
// localtime_r takes a process-wide lock, the line path should not.
struct ThreadClock {
    std::time_t second = -1;
    char text[24] = {};
};
thread_local ThreadClock t_clock;

constexpr std::size_t kDateTimeLength = 19;  // "YYYY-MM-DD hh:mm:ss"

// Writes "YYYY-MM-DD hh:mm:ss.mmm" (local time) and returns its length.
std::size_t FormatNow(char* out) {
    auto now = std::chrono::system_clock::now();
    auto sinceEpoch = now.time_since_epoch();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
    std::time_t second = static_cast<std::time_t>(seconds.count());
    if (second != t_clock.second) {
        std::tm local{};
        if (::localtime_r(&second, &local) == nullptr ||
            std::strftime(t_clock.text, sizeof t_clock.text, "%Y-%m-%d %H:%M:%S", &local) !=
                kDateTimeLength) {
            std::memcpy(t_clock.text, "0000-00-00 00:00:00", kDateTimeLength);
        }
        t_clock.second = second;
    }
    std::memcpy(out, t_clock.text, kDateTimeLength);
    out[kDateTimeLength] = '.';
    out[kDateTimeLength + 1] = static_cast<char>('0' + millis / 100);
    out[kDateTimeLength + 2] = static_cast<char>('0' + millis / 10 % 10);
    out[kDateTimeLength + 3] = static_cast<char>('0' + millis % 10);
    return kDateTimeLength + 4;
}

// The thread's line buffer, allocated once per thread.
struct ThreadLineBuffer {
    std::unique_ptr<char[]> data;
    bool busy = false;
};
thread_local ThreadLineBuffer t_lineBuffer;

class LineBufferLease {
public:
    LineBufferLease() {
        if (!t_lineBuffer.busy) {
            if (!t_lineBuffer.data)
                t_lineBuffer.data.reset(new (std::nothrow) char[kLineCapacity]);
            if (t_lineBuffer.data) {
                t_lineBuffer.busy = true;
                m_owned = true;
                m_data = t_lineBuffer.data.get();
                m_capacity = kLineCapacity;
            }
        }
    }
    ~LineBufferLease() {
        if (m_owned)
            t_lineBuffer.busy = false;
    }
    LineBufferLease(const LineBufferLease&) = delete;
    LineBufferLease& operator=(const LineBufferLease&) = delete;

    char* data() { return m_data; }
    std::size_t capacity() const { return m_capacity; }

private:
    char m_fallback[kFallbackLineCapacity];
    char* m_data = m_fallback;
    std::size_t m_capacity = kFallbackLineCapacity;
    bool m_owned = false;
};

// Length of the UTF-8 sequence a lead byte starts (1 for anything else, so that broken
// text is never cut further than needed).
std::size_t Utf8SequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8)
        return 4;
    if (lead >= 0xE0)
        return lead < 0xF0 ? 3 : 1;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

// The longest prefix of text[0, length) that ends on a character boundary.
std::size_t Utf8SafeLength(const char* text, std::size_t length) {
    std::size_t start = length;
    // A sequence is at most four bytes: look back over up to three continuation bytes.
    for (std::size_t back = 0; back < 4 && start > 0; ++back) {
        --start;
        unsigned char byte = static_cast<unsigned char>(text[start]);
        if ((byte & 0xC0) != 0x80) {
            if (start + Utf8SequenceLength(byte) > length)
                return start;
            return length;
        }
    }
    return length;
}

// Builds one line in a caller's buffer: fields, message, cut notice, line break.
class LineComposer {
public:
    LineComposer(char* data, std::size_t capacity)
        : m_begin(data),
          m_pos(data),
          m_end(data + capacity - kLineTailReserve),
          m_hardEnd(data + capacity) {}

    void Char(char c) {
        if (m_pos < m_end)
            *m_pos++ = c;
    }
    void Text(const char* text, std::size_t maxBytes) {
        std::size_t length = ::strnlen(text, maxBytes);
        length = std::min(length, static_cast<std::size_t>(m_end - m_pos));
        length = Utf8SafeLength(text, length);
        std::memcpy(m_pos, text, length);
        m_pos += length;
    }
    // A tag becomes one field: blanks and control characters turn into '_'.
    void Token(const char* text, std::size_t maxBytes) {
        char* start = m_pos;
        Text(text, maxBytes);
        for (char* p = start; p < m_pos; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c <= ' ' || c == 0x7F)
                *p = '_';
        }
    }
    template <class Integer>
    void Number(Integer value) {
        auto result = std::to_chars(m_pos, m_end, value);
        if (result.ec == std::errc())
            m_pos = result.ptr;
    }
    void DateTime() {
        if (m_end - m_pos >= static_cast<std::ptrdiff_t>(kDateTimeLength + 4))
            m_pos += FormatNow(m_pos);
    }

    // The printf-formatted message. Trailing line breaks go; a line break inside becomes
    // a continuation line that starts with a tab, so that every record still begins with
    // its fields. A message that does not fit is cut on a character boundary.
    void Message(const char* format, va_list args) {
        if (format == nullptr)
            format = "";
        std::size_t room = static_cast<std::size_t>(m_end - m_pos);
        if (room == 0)
            return;
        int needed = std::vsnprintf(m_pos, room, format, args);
        if (needed < 0) {
            Text("<message could not be formatted>", room);
            return;
        }
        std::size_t total = static_cast<std::size_t>(needed);
        std::size_t shown = std::min(total, room - 1);
        if (shown < total)
            shown = Utf8SafeLength(m_pos, shown);
        char* start = m_pos;
        m_pos += shown;
        if (shown == total)
            while (m_pos > start && (m_pos[-1] == '\n' || m_pos[-1] == '\r'))
                --m_pos;
        MarkContinuations(start);
        if (shown < total) {
            // The tail reserve holds this notice whatever the message did.
            int noted = std::snprintf(m_pos, static_cast<std::size_t>(m_hardEnd - m_pos) - 1,
                                      " [message cut: %zu of %zu bytes shown]", shown, total);
            if (noted > 0)
                m_pos += std::min<std::size_t>(static_cast<std::size_t>(noted),
                                               static_cast<std::size_t>(m_hardEnd - m_pos) - 2);
        }
    }

    // Ends the line; returns its length.
    std::size_t Finish() {
        *m_pos++ = '\n';
        return static_cast<std::size_t>(m_pos - m_begin);
    }

private:
    void MarkContinuations(char* start) {
        // Most messages have no line break: find that out with one vectorised scan.
        char* first =
            static_cast<char*>(std::memchr(start, '\n', static_cast<std::size_t>(m_pos - start)));
        if (first == nullptr)
            return;
        std::size_t breaks = static_cast<std::size_t>(std::count(first, m_pos, '\n'));
        if (static_cast<std::size_t>(m_end - m_pos) < breaks) {
            // No room to indent: keep the record on one line instead.
            std::replace(start, m_pos, '\n', ' ');
            return;
        }
        // Spread from the end so that every byte moves once.
        char* from = m_pos;
        char* to = m_pos + breaks;
        m_pos = to;
        while (from > start) {
            char c = *--from;
            if (c == '\n')
                *--to = '\t';
            *--to = c;
        }
    }

    char* m_begin;
    char* m_pos;
    char* m_end;
    char* m_hardEnd;
};

// --- file system ------------------------------------------------------------------------

int OpenForAppend(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | kNoFollow);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int CreateForAppend(const std::string& path, int extraFlags) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | kNoFollow | extraFlags,
                    kNewFileMode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void CloseFd(int fd) {
    if (fd >= 0)
        ::close(fd);  // Linux frees the descriptor even when close reports EINTR
}

bool IdOfFd(int fd, FileId* id, std::uint64_t* size = nullptr) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    *id = FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    if (size != nullptr)
        *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

// The file a name stands for, the name itself when it is a link (which the writer never
// opens through).
bool IdOfPath(const std::string& path, FileId* id) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    *id = FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    return true;
}

// Appends every byte of the vector. Lines from other writers never land inside one
// write(2) of an O_APPEND file; a short write (a full disk, a signal) is finished rather
// than lost, at the price of that one line no longer being atomic.
bool WriteAll(int fd, iovec* iov, int count) {
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

bool SyncData(int fd) {
    int rc;
    do {
        rc = ::fdatasync(fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// After a file is created or renamed in it, a folder must reach the disk too, or a power
// cut can lose the new name (and every line written under it).
void SyncFolder(const std::string& directory) {
    int fd;
    do {
        fd =
            ::open(directory.empty() ? "/" : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return;
    while (::fsync(fd) != 0 && errno == EINTR) {
    }
    ::close(fd);
}

// Holds the advisory lock of a lock file for a scope; no lock file, no lock.
class AdvisoryLock {
public:
    explicit AdvisoryLock(int fd) : m_fd(fd) {
        if (m_fd < 0)
            return;
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                m_fd = -1;
                return;
            }
        }
    }
    ~AdvisoryLock() {
        if (m_fd >= 0)
            ::flock(m_fd, LOCK_UN);
    }
    AdvisoryLock(const AdvisoryLock&) = delete;
    AdvisoryLock& operator=(const AdvisoryLock&) = delete;

private:
    int m_fd;
};

std::string TrimSeparators(std::string directory) {
    // The debug log hands its folder over with a trailing back-slash, the Windows way.
    while (directory.size() > 1 && (directory.back() == '/' || directory.back() == '\\'))
        directory.pop_back();
    return directory;
}

// One spelling per folder, so that equal lock names mean one file: the absolute path with
// "." parts, ".." parts and doubled slashes worked out. Purely by the text: a name must
// not change when the folder comes into existence between two calls.
std::string CanonicalDirectory(const std::string& directory) {
    std::string dir = TrimSeparators(directory.empty() ? std::string(".") : directory);
    if (dir[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) != nullptr)
            dir = std::string(cwd) + "/" + dir;
    }
    std::string clean;
    std::size_t pos = 0;
    while (pos < dir.size()) {
        std::size_t next = dir.find('/', pos);
        if (next == std::string::npos)
            next = dir.size();
        std::string part = dir.substr(pos, next - pos);
        if (part == "..") {
            std::size_t slash = clean.find_last_of('/');
            clean.erase(slash == std::string::npos ? 0 : slash);
        } else if (!part.empty() && part != ".") {
            clean += "/" + part;
        }
        pos = next + 1;
    }
    return clean.empty() ? std::string("/") : clean;
}

std::string FolderOf(const std::string& directory) {
    return directory == "/" ? std::string() : directory;
}

std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

// Whether the log file can be appended to: the file itself when it exists (never through
// a link), else its folder (created when missing). Creating a file just to delete it
// again could swallow a line another process appends in between; asking about the
// folder is enough.
bool CanOpen(const std::string& path, const std::string& directory, int* error) {
    int probe = OpenForAppend(path);
    if (probe >= 0) {
        CloseFd(probe);
        return true;
    }
    *error = errno;
    if (*error != ENOENT)
        return false;
    if (FXFile::CreateFoldersIteratively(directory).IsError()) {
        *error = errno != 0 ? errno : ENOENT;
        return false;
    }
    if (::faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        *error = errno;
        return false;
    }
    *error = 0;
    return true;
}

}  // namespace

// --- the writer's state ---------------------------------------------------------------------
//
// Locks, always taken in this order: flushMutex, bufferMutex, coldMutex, fileLock. The line
// path takes fileLock shared around its write(2) and its addition to the shared size only;
// opening, rollover and closing take coldMutex, and fileLock exclusively for the moment they
// swap the descriptor or the mapping. A process-wide registry of writers serves the exit
// flush, the flusher thread and the fork handlers.
struct CHbLogger::State {
    State() = default;

    // Settings, read on the line path.
    std::atomic<int> level{kDefaultLevel};
    std::atomic<std::uint64_t> limitBytes{kDefaultLogFileSizeMegabytes * kBytesPerMegabyte};
    std::atomic<std::uint64_t> sizeMegabytes{kDefaultLogFileSizeMegabytes};
    std::atomic<std::uint64_t> defaultSizeMegabytes{kDefaultLogFileSizeMegabytes};
    std::atomic<std::uint32_t> maxVersions{kDefaultMaxVersions};
    std::atomic<std::uint32_t> defaultMaxVersions{kDefaultMaxVersions};
    std::atomic<std::uint64_t> retainSeconds{0};
    std::atomic<int> loggingMode{eLoggingModeDefault};
    std::atomic<int> accessMethod{kAccessKeepOpen};
    std::atomic<bool> retryOnOpenFail{false};
    std::atomic<bool> shutdown{false};
    std::atomic<SyslogCallback> syslogCallback{nullptr};
    std::atomic<MonotonicClock> clock{&SteadyMilliseconds};
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
    // mapping replaced or released is unmapped at once: every use of `shared` happens under
    // one of the two locks.
    int fd = -1;
    std::uint64_t fdGeneration = 0;
    FileId fdId;
    SharedState* shared = &localShared;

    // The lock file (coldMutex).
    int lockFd = -1;
    FileId lockId;
    void* mapping = nullptr;
    SharedState localShared{};

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

    std::atomic<unsigned> forkGeneration{g_forkGeneration.load()};

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
    bool OpenCurrentLocked(int* fdOut, std::uint64_t* generationOut, FileId* idOut);
    int CreateFileLocked(bool* created);
    void AttachLockLocked(bool force);
    void SwapFdLocked(int newFd, std::uint64_t generation, FileId id);
    void RollOver(std::uint64_t generation);
    bool ShiftBackupsLocked();
    void CheckIdentity();
    std::string HeaderLocked() const;
    bool Durable() const {
        return loggingMode.load(std::memory_order_relaxed) == eLoggingModeDurable;
    }
    void CloseAllLocked();
};

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

// Buffered lines of a quiet process are written within about a second of the oldest one,
// by one thread for the whole process, started with the first buffered line. It flushes
// with no process-wide lock held: a writer it is flushing is pinned, and its destructor
// waits for the pin to go.
void CHbLogger::State::StartFlusher() {
    Registry& registry = Writers();
    if (registry.flusherRunning.exchange(true))
        return;
    try {
        std::thread(&State::FlusherMain).detach();
    } catch (...) {
        // No thread: aged lines still go at the next line, the close and the exit.
        registry.flusherRunning.store(false);
    }
}

void CHbLogger::State::FlusherMain() {
    Registry& registry = Writers();
    std::vector<State*> due;
    for (;;) {
        std::this_thread::sleep_for(kFlusherTick);
        due.clear();
        {
            std::lock_guard<std::mutex> guard(registry.mutex);
            for (State* state : registry.writers) {
                std::int64_t oldest = state->oldestBufferedMs.load(std::memory_order_relaxed);
                if (oldest != 0 && state->Now() - oldest >= kBufferedMaxAgeMs) {
                    ++state->pins;
                    due.push_back(state);
                }
            }
        }
        for (State* state : due)
            state->FlushIfAged();
        if (!due.empty()) {
            std::lock_guard<std::mutex> guard(registry.mutex);
            for (State* state : due)
                --state->pins;
            registry.unpinned.notify_all();
        }
    }
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

bool CHbLogger::State::MayTryOpen() {
    if (!openFailed.load(std::memory_order_acquire))
        return true;
    if (!retryOnOpenFail.load(std::memory_order_relaxed))
        return false;
    std::int64_t now = Now();
    std::int64_t last = lastOpenAttemptMs.load(std::memory_order_relaxed);
    if (now - last < kOpenRetryIntervalMs)
        return false;
    // One thread makes the attempt; the others keep dropping until it is done.
    return lastOpenAttemptMs.compare_exchange_strong(last, now, std::memory_order_relaxed);
}

void CHbLogger::State::NoteOpenFailure(int error) {
    lastOpenError.store(error != 0 ? error : EIO, std::memory_order_relaxed);
    lastOpenAttemptMs.store(Now(), std::memory_order_relaxed);
    openFailed.store(true, std::memory_order_release);
}

void CHbLogger::State::Emit(iovec* iov, int count, std::size_t total, std::size_t lines) {
    if (forkGeneration.load(std::memory_order_relaxed) !=
        g_forkGeneration.load(std::memory_order_relaxed))
        CatchUpAfterFork();
    if (!ready.load(std::memory_order_acquire)) {
        Drop(lines);
        return;
    }
    if (loggingMode.load(std::memory_order_relaxed) == eLoggingModeBuffered) {
        AppendBuffered(iov, count, total, lines);
        return;
    }
    WriteNow(iov, count, total, lines);
}

void CHbLogger::State::WriteNow(iovec* iov, int count, std::size_t total, std::size_t lines) {
    if (accessMethod.load(std::memory_order_relaxed) == kAccessReopenPerLine)
        WriteReopening(iov, count, total, lines);
    else
        WriteKeepOpen(iov, count, total, lines);
}

// Writes the line and counts it in the shared size, with fileLock held shared by the
// caller, so that the mapping cannot go away in between. A line that could not be made
// durable when asked to is counted as dropped, though its bytes may be in the file.
bool CHbLogger::State::WriteCounted(int lineFd, iovec* iov, int count, std::size_t total,
                                    std::size_t lines, std::uint64_t* sizeNow) {
    if (!WriteAll(lineFd, iov, count)) {
        Drop(lines);
        return false;
    }
    // A line written to a file that another process has just rolled counts toward the new
    // file: the new file then rolls a little early, which costs nothing.
    *sizeNow = shared->Add(total);
    if (Durable() && !SyncData(lineFd))
        Drop(lines);
    return true;
}

void CHbLogger::State::WriteKeepOpen(iovec* iov, int count, std::size_t total, std::size_t lines) {
    for (int attempt = 0;; ++attempt) {
        // After two reopens in a row (files rolling faster than we open them) the line
        // goes to the descriptor we have: an older file is still a file that keeps it.
        bool lastAttempt = attempt >= kReopenAttempts;
        bool wrote = false;
        bool counted = false;
        std::uint64_t generation = 0;
        std::uint64_t sizeNow = 0;
        {
            std::shared_lock<std::shared_mutex> file(fileLock);
            if (fd >= 0 && (lastAttempt || fdGeneration == shared->Generation())) {
                wrote = true;
                counted = WriteCounted(fd, iov, count, total, lines, &sizeNow);
                generation = fdGeneration;
            }
        }
        if (wrote) {
            if (counted)
                AfterWrite(generation, sizeNow, true);
            return;
        }
        if (lastAttempt || !MayTryOpen()) {
            Drop(lines);
            return;
        }
        std::lock_guard<std::mutex> cold(coldMutex);
        if (!EnsureOpenLocked()) {
            Drop(lines);
            return;
        }
    }
}

void CHbLogger::State::WriteReopening(iovec* iov, int count, std::size_t total, std::size_t lines) {
    if (!MayTryOpen()) {
        Drop(lines);
        return;
    }
    if (!lockAttached.load(std::memory_order_acquire)) {
        std::int64_t now = Now();
        std::int64_t last = lastLockAttemptMs.load(std::memory_order_relaxed);
        if (now - last >= kLockRetryIntervalMs &&
            lastLockAttemptMs.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
            std::lock_guard<std::mutex> cold(coldMutex);
            AttachLockLocked(false);
        }
    }
    std::uint64_t generation = 0;
    std::uint64_t sizeNow = 0;
    bool counted = false;
    int openError = 0;
    bool opened = false;
    {
        std::shared_lock<std::shared_mutex> file(fileLock);
        // Read before opening: a rollover in between only costs a spare rollover check.
        generation = shared->Generation();
        int lineFd = OpenForAppend(path);
        openError = errno;
        if (lineFd >= 0) {
            opened = true;
            openFailed.store(false, std::memory_order_relaxed);
            counted = WriteCounted(lineFd, iov, count, total, lines, &sizeNow);
            CloseFd(lineFd);
        }
    }
    if (opened) {
        // Outside fileLock: a rollover takes the locks before it in their order.
        if (counted)
            AfterWrite(generation, sizeNow, false);
        return;
    }
    if (openError != ENOENT) {
        NoteOpenFailure(openError);
        Drop(lines);
        return;
    }
    // Missing: create it (with its header) the way every writer does.
    {
        std::lock_guard<std::mutex> cold(coldMutex);
        int lineFd = -1;
        FileId id;
        if (!OpenCurrentLocked(&lineFd, &generation, &id)) {
            NoteOpenFailure(errno);
            Drop(lines);
            return;
        }
        openFailed.store(false, std::memory_order_relaxed);
        std::shared_lock<std::shared_mutex> file(fileLock);
        counted = WriteCounted(lineFd, iov, count, total, lines, &sizeNow);
        CloseFd(lineFd);
    }
    if (counted)
        AfterWrite(generation, sizeNow, false);
}

void CHbLogger::State::AfterWrite(std::uint64_t generation, std::uint64_t sizeNow, bool keepOpen) {
    if (sizeNow >= limitBytes.load(std::memory_order_relaxed))
        RollOver(generation);
    if (!keepOpen)
        return;
    std::int64_t now = Now();
    std::int64_t last = lastIdentityCheckMs.load(std::memory_order_relaxed);
    if (now - last >= kIdentityCheckIntervalMs &&
        lastIdentityCheckMs.compare_exchange_strong(last, now, std::memory_order_relaxed))
        CheckIdentity();
}

void CHbLogger::State::AppendBuffered(iovec* iov, int count, std::size_t total, std::size_t lines) {
    bool due = false;
    {
        std::lock_guard<std::mutex> guard(bufferMutex);
        if (shutdown.load(std::memory_order_relaxed)) {
            Drop(lines);
            return;
        }
        if (!buffer)
            buffer.reset(new (std::nothrow) char[kBufferCapacity]);
        if (buffer && bufferUsed + total <= kBufferCapacity) {
            std::int64_t now = Now();
            std::int64_t oldest = oldestBufferedMs.load(std::memory_order_relaxed);
            if (bufferUsed == 0) {
                oldest = now != 0 ? now : 1;  // 0 stands for an empty buffer
                oldestBufferedMs.store(oldest, std::memory_order_relaxed);
            }
            for (int i = 0; i < count; ++i) {
                std::memcpy(buffer.get() + bufferUsed, iov[i].iov_base, iov[i].iov_len);
                bufferUsed += iov[i].iov_len;
            }
            bufferLines += lines;
            due = bufferUsed >= kBufferedFlushBytes || now - oldest >= kBufferedMaxAgeMs;
            if (!due) {
                StartFlusherOnce();
                return;
            }
            iov = nullptr;  // in the buffer now
        }
    }
    // Due, or no room for the line: what is gathered goes first, then the line itself
    // when it did not fit, in one flush so that nothing overtakes it.
    FlushBuffer(iov, iov != nullptr ? count : 0, total, lines);
}

void CHbLogger::State::StartFlusherOnce() {
    if (!Writers().flusherRunning.load(std::memory_order_relaxed))
        StartFlusher();
}

// Takes the gathered lines out of `buffer` into `spare` (flushMutex and bufferMutex
// held); returns their bytes, 0 when there are none.
std::size_t CHbLogger::State::TakeBatchLocked(std::size_t* lines) {
    if (bufferUsed == 0)
        return 0;
    if (!spare)
        spare.reset(new (std::nothrow) char[kBufferCapacity]);
    std::size_t used = 0;
    if (spare) {
        std::swap(buffer, spare);
        used = bufferUsed;
        *lines = bufferLines;
    } else {
        // No memory for a second buffer: write this one with the buffer locked, as late
        // lines had better wait than be lost.
        iovec iov{buffer.get(), bufferUsed};
        WriteNow(&iov, 1, bufferUsed, bufferLines);
    }
    bufferUsed = 0;
    bufferLines = 0;
    oldestBufferedMs.store(0, std::memory_order_relaxed);
    return used;
}

void CHbLogger::State::FlushBuffer(iovec* after, int afterCount, std::size_t afterTotal,
                                   std::size_t afterLines) {
    std::lock_guard<std::mutex> order(flushMutex);
    std::size_t lines = 0;
    std::size_t used;
    {
        std::lock_guard<std::mutex> guard(bufferMutex);
        used = TakeBatchLocked(&lines);
    }
    if (used != 0) {
        iovec iov{spare.get(), used};
        WriteNow(&iov, 1, used, lines);
    }
    if (after != nullptr)
        WriteNow(after, afterCount, afterTotal, afterLines);
}

// Writes what is gathered, then refuses further lines; a line added while the last batch
// was being written is written too.
void CHbLogger::State::FlushAndShutDown() {
    std::lock_guard<std::mutex> order(flushMutex);
    for (;;) {
        std::size_t lines = 0;
        std::size_t used;
        {
            std::lock_guard<std::mutex> guard(bufferMutex);
            used = TakeBatchLocked(&lines);
            if (used == 0 && bufferUsed == 0) {
                shutdown.store(true, std::memory_order_relaxed);
                return;
            }
        }
        if (used != 0) {
            iovec iov{spare.get(), used};
            WriteNow(&iov, 1, used, lines);
        }
    }
}

void CHbLogger::State::FlushIfAged() {
    std::int64_t oldest = oldestBufferedMs.load(std::memory_order_relaxed);
    if (oldest != 0 && Now() - oldest >= kBufferedMaxAgeMs)
        FlushBuffer();
}

bool CHbLogger::State::EnsureOpenLocked() {
    if (shutdown.load(std::memory_order_relaxed) || !ready.load(std::memory_order_relaxed))
        return false;
    if (fd >= 0 && fdGeneration == shared->Generation())
        return true;  // another thread reopened meanwhile
    int newFd = -1;
    std::uint64_t generation = 0;
    FileId id;
    if (!OpenCurrentLocked(&newFd, &generation, &id)) {
        NoteOpenFailure(errno);
        return false;
    }
    openFailed.store(false, std::memory_order_release);
    SwapFdLocked(newFd, generation, id);
    return true;
}

// Opens the file the path names now and brings the shared state up to date with it.
bool CHbLogger::State::OpenCurrentLocked(int* fdOut, std::uint64_t* generationOut, FileId* idOut) {
    AttachLockLocked(false);
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        // Read before opening, so that a rollover between the two shows as a newer
        // generation at the next line rather than going unseen.
        std::uint64_t generation = shared->Generation();
        int newFd = OpenForAppend(path);
        if (newFd < 0 && errno == ENOENT) {
            FXFile::CreateFoldersIteratively(directory);
            if (!lockAttached.load(std::memory_order_relaxed))
                AttachLockLocked(false);
            AdvisoryLock lock(lockFd);
            bool created = false;
            newFd = CreateFileLocked(&created);
            if (newFd < 0)
                return false;
            FileId id;
            std::uint64_t size = 0;
            if (!IdOfFd(newFd, &id, &size)) {
                CloseFd(newFd);
                return false;
            }
            if (created || id != FileId{shared->device.load(), shared->inode.load()}) {
                shared->device.store(id.device);
                shared->inode.store(id.inode);
                shared->Advance(size);
            }
            *fdOut = newFd;
            *generationOut = shared->Generation();
            *idOut = id;
            return true;
        }
        if (newFd < 0)
            return false;
        FileId id;
        if (!IdOfFd(newFd, &id)) {
            CloseFd(newFd);
            return false;
        }
        if (id == FileId{shared->device.load(), shared->inode.load()}) {
            *fdOut = newFd;
            *generationOut = generation;
            *idOut = id;
            return true;
        }
        // The shared state describes another file: it is stale (a lock file older than
        // the log, a file replaced from outside) or the file was rolled just now. Sort it
        // out under the lock.
        AdvisoryLock lock(lockFd);
        FileId named;
        if (!IdOfPath(path, &named) || named != id) {
            CloseFd(newFd);  // rolled between open and lock: take the new one
            continue;
        }
        if (id != FileId{shared->device.load(), shared->inode.load()}) {
            std::uint64_t size = 0;
            IdOfFd(newFd, &id, &size);
            shared->device.store(id.device);
            shared->inode.store(id.inode);
            shared->Advance(size);
        }
        *fdOut = newFd;
        *generationOut = shared->Generation();
        *idOut = id;
        return true;
    }
    return false;
}

// Creates the log file with its header in place before any other writer can append: the
// header goes into a hidden file that is then linked to the log's name. Called with the
// advisory lock held. `created` tells whether this call made the file. In durable mode the
// folder is synced after the new name appears.
int CHbLogger::State::CreateFileLocked(bool* created) {
    *created = false;
    int newFd = OpenForAppend(path);
    if (newFd >= 0 || errno != ENOENT)
        return newFd;  // created by another writer while we waited for the lock
    if (!writeHeader) {
        newFd = CreateForAppend(path, O_EXCL);
        if (newFd >= 0) {
            *created = true;
            if (Durable())
                SyncFolder(directory);
            return newFd;
        }
        return errno == EEXIST ? OpenForAppend(path) : -1;
    }
    // The temporary is made new (O_EXCL): whatever stands under its name already, a
    // stale file or a planted link, is passed over for the next name.
    static std::atomic<unsigned> s_tempCounter{0};
    std::string temp;
    const std::string stem =
        FolderOf(directory) + "/." + appName + "." + std::to_string(CurrentProcessId());
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        temp = attempt == 0 ? stem + ".new"
                            : stem + "." + std::to_string(s_tempCounter.fetch_add(1)) + ".new";
        newFd = CreateForAppend(temp, O_EXCL);
        if (newFd >= 0 || errno != EEXIST)
            break;
    }
    if (newFd < 0)
        return -1;
    std::string header = HeaderLocked();
    iovec iov{header.data(), header.size()};
    if (!WriteAll(newFd, &iov, 1)) {
        int error = errno;
        CloseFd(newFd);
        ::unlink(temp.c_str());
        errno = error;
        return -1;
    }
    if (::link(temp.c_str(), path.c_str()) == 0) {
        ::unlink(temp.c_str());
        *created = true;
        if (Durable())
            SyncFolder(directory);
        return newFd;
    }
    int linkError = errno;
    if (linkError == EEXIST) {
        CloseFd(newFd);
        ::unlink(temp.c_str());
        return OpenForAppend(path);
    }
    // A file system without hard links: rename, under the lock, is the next best thing.
    if (::rename(temp.c_str(), path.c_str()) == 0) {
        *created = true;
        if (Durable())
            SyncFolder(directory);
        return newFd;
    }
    int error = errno;
    CloseFd(newFd);
    ::unlink(temp.c_str());
    errno = error;
    return -1;
}

// Opens the lock file and maps its shared state. Without a lock file (a folder the process
// may append to but not create in, say) the writer still works, with its state kept in
// process memory: rollover is then serialised within the process only.
void CHbLogger::State::AttachLockLocked(bool force) {
    if (lockFd >= 0 && !force)
        return;
    int newFd;
    do {
        newFd = ::open(lockName.c_str(), O_RDWR | O_CREAT | kNoFollow, kNewFileMode);
    } while (newFd < 0 && errno == EINTR);
    if (newFd < 0)
        return;
    struct stat lockStat;
    if (::fstat(newFd, &lockStat) != 0 || !S_ISREG(lockStat.st_mode)) {
        CloseFd(newFd);  // not a file we can map: work without the lock file
        return;
    }
    FileId id{static_cast<std::uint64_t>(lockStat.st_dev),
              static_cast<std::uint64_t>(lockStat.st_ino)};
    if (mapping != nullptr && id == lockId) {
        // Same lock file as mapped (after fork): only a descriptor of our own was missing.
        CloseFd(lockFd);
        lockFd = newFd;
        lockAttached.store(true, std::memory_order_release);
        return;
    }
    void* newMapping = MAP_FAILED;
    {
        AdvisoryLock lock(newFd);
        struct stat st;
        if (::fstat(newFd, &st) == 0 &&
            (static_cast<std::size_t>(st.st_size) >= kSharedMappingBytes ||
             ::ftruncate(newFd, static_cast<off_t>(kSharedMappingBytes)) == 0)) {
            newMapping =
                ::mmap(nullptr, kSharedMappingBytes, PROT_READ | PROT_WRITE, MAP_SHARED, newFd, 0);
        }
        if (newMapping != MAP_FAILED) {
            // The page starts as zeros, which is a valid state; only a foreign layout is
            // reset.
            auto* state = static_cast<SharedState*>(newMapping);
            if (state->magic.load() != kSharedMagic || state->layout.load() != kSharedLayout) {
                state->device.store(0);
                state->inode.store(0);
                state->counter.store(0);
                state->touchedAt.store(0);
                state->layout.store(kSharedLayout);
                state->magic.store(kSharedMagic);
            }
            ::futimens(newFd, nullptr);
            state->touchedAt.store(static_cast<std::int64_t>(std::time(nullptr)));
        }
    }
    if (newMapping == MAP_FAILED) {
        CloseFd(newFd);
        return;
    }
    int oldFd = -1;
    void* oldMapping = nullptr;
    {
        std::unique_lock<std::shared_mutex> file(fileLock);
        oldMapping = mapping;
        mapping = newMapping;
        shared = static_cast<SharedState*>(newMapping);
        // The descriptor's generation belonged to the old state: reopen at the next line.
        oldFd = fd;
        fd = -1;
    }
    if (oldMapping != nullptr)
        ::munmap(oldMapping, kSharedMappingBytes);
    CloseFd(oldFd);
    CloseFd(lockFd);
    lockFd = newFd;
    lockId = id;
    lockAttached.store(true, std::memory_order_release);
}

void CHbLogger::State::SwapFdLocked(int newFd, std::uint64_t generation, FileId id) {
    int oldFd;
    {
        std::unique_lock<std::shared_mutex> file(fileLock);
        oldFd = fd;
        fd = newFd;
        fdGeneration = generation;
        fdId = id;
    }
    CloseFd(oldFd);
}

// Rolls the file over once it has reached its limit: name.log.(N-1) -> name.log.N, ...,
// name.log -> name.log.1, then a new name.log with its header. `generation` is the one the
// caller's line was written under: if the shared generation moved on, another thread or
// process has rolled already and nothing is done here (the keep-open path reopens at its
// next line). Processes holding the old file keep appending to it, now name.log.1, until
// they notice: their lines land there, whole.
void CHbLogger::State::RollOver(std::uint64_t generation) {
    if (rolloverFailed.load(std::memory_order_relaxed) &&
        Now() - lastRolloverFailureMs.load(std::memory_order_relaxed) < kRolloverRetryIntervalMs)
        return;
    std::lock_guard<std::mutex> cold(coldMutex);
    if (shared->Generation() != generation)
        return;
    if (lockFd < 0 && mapping != nullptr)
        AttachLockLocked(false);  // a child of fork() takes a lock description of its own
    if (shared->Generation() != generation)
        return;
    AdvisoryLock lock(lockFd);
    SharedState* state = shared;
    if (state->Generation() != generation ||
        state->Size() < limitBytes.load(std::memory_order_relaxed))
        return;
    FileId named;
    bool exists = IdOfPath(path, &named);
    if (exists && named != FileId{state->device.load(), state->inode.load()}) {
        // The path names a file we have no count for (replaced from outside): start
        // counting it instead of rolling it unseen.
        int newFd = OpenForAppend(path);
        std::uint64_t size = 0;
        if (newFd >= 0 && IdOfFd(newFd, &named, &size)) {
            state->device.store(named.device);
            state->inode.store(named.inode);
        }
        CloseFd(newFd);
        state->Advance(size);
        return;
    }
    if (exists && !ShiftBackupsLocked()) {
        rolloverFailed.store(true, std::memory_order_relaxed);
        lastRolloverFailureMs.store(Now(), std::memory_order_relaxed);
        return;
    }
    rolloverFailed.store(false, std::memory_order_relaxed);
    bool created = false;
    int newFd = CreateFileLocked(&created);
    FileId id;
    std::uint64_t size = 0;
    if (newFd >= 0 && IdOfFd(newFd, &id, &size)) {
        state->device.store(id.device);
        state->inode.store(id.inode);
    } else {
        // Could not create the new file: every writer reopens (and creates) it itself.
        CloseFd(newFd);
        newFd = -1;
        size = 0;
        state->device.store(0);
        state->inode.store(0);
    }
    std::uint64_t next = state->Advance(size);
    ::futimens(lockFd, nullptr);
    state->touchedAt.store(static_cast<std::int64_t>(std::time(nullptr)));
    if (newFd < 0)
        return;
    if (accessMethod.load(std::memory_order_relaxed) == kAccessKeepOpen)
        SwapFdLocked(newFd, next, id);
    else
        CloseFd(newFd);
}

bool CHbLogger::State::ShiftBackupsLocked() {
    std::uint32_t versions = maxVersions.load(std::memory_order_relaxed);
    if (versions == 0)
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    // Files numbered beyond the count (left by a larger count earlier) go first.
    for (std::uint32_t stray = versions + 1; stray <= versions + kMaxStrayBackups; ++stray) {
        std::string name = path + "." + std::to_string(stray);
        if (::unlink(name.c_str()) != 0 && errno == ENOENT)
            break;
    }
    // Renaming over the next number removes the oldest kept version on the way.
    for (std::uint32_t version = versions - 1; version >= 1; --version) {
        std::string from = path + "." + std::to_string(version);
        std::string to = path + "." + std::to_string(version + 1);
        ::rename(from.c_str(), to.c_str());  // a gap (ENOENT) is fine
    }
    std::string first = path + ".1";
    return ::rename(path.c_str(), first.c_str()) == 0 || errno == ENOENT;
}

// Once a second, for writers that keep their file open: does the path still name our
// file, and the lock name our lock file? Someone may have moved or deleted either outside
// the rollover protocol. Also keeps the lock file's time fresh.
void CHbLogger::State::CheckIdentity() {
    std::unique_lock<std::mutex> cold(coldMutex, std::try_to_lock);
    if (!cold.owns_lock() || fd < 0 || shutdown.load(std::memory_order_relaxed))
        return;
    FileId lockNamed;
    if (lockFd >= 0 && (!IdOfPath(lockName, &lockNamed) || lockNamed != lockId)) {
        AttachLockLocked(true);  // also drops the descriptor: the next line reopens
        return;
    }
    FileId named;
    if (!IdOfPath(path, &named) || named != fdId) {
        int newFd = -1;
        std::uint64_t generation = 0;
        FileId id;
        if (OpenCurrentLocked(&newFd, &generation, &id))
            SwapFdLocked(newFd, generation, id);
        return;
    }
    std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    std::int64_t touched = shared->touchedAt.load(std::memory_order_relaxed);
    if (lockFd >= 0 && now - touched >= kLockTouchIntervalSeconds &&
        shared->touchedAt.compare_exchange_strong(touched, now, std::memory_order_relaxed))
        ::futimens(lockFd, nullptr);
}

std::string CHbLogger::State::HeaderLocked() const {
    auto now = std::chrono::system_clock::now();
    std::time_t second = std::chrono::system_clock::to_time_t(now);
    long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm local{};
    char when[64] = "unknown time";
    if (::localtime_r(&second, &local) != nullptr) {
        char date[32];
        char zone[16];
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
        std::strftime(zone, sizeof zone, "%z", &local);
        std::snprintf(when, sizeof when, "%s.%03ld %s", date, millis, zone);
    }
    std::string name =
        processName.empty() ? std::string(program_invocation_short_name) : processName;
    long pid = processId != 0 ? processId : CurrentProcessId();

    std::string header;
    auto field = [&header](const char* key, const std::string& value) {
        if (!value.empty())
            header += std::string("# ") + key + ": " + OneLine(value) + "\n";
    };
    field("Log file", path);
    field("Created", std::string(when) + " by " + name + " (process " + std::to_string(pid) +
                         ", thread " + std::to_string(CurrentThreadId()) + ")");
    std::string host = hostName;
    if (!hostName2.empty() && hostName2 != hostName)
        host += host.empty() ? hostName2 : " (" + hostName2 + ")";
    field("Host", host);
    field("Client", clientName);
    std::string server = zsHostName;
    if (!zsClientName.empty())
        server += server.empty() ? zsClientName : " (" + zsClientName + ")";
    field("Central server", server);
    field("Operating system", osInfo);
    field("Addresses", addresses);
    field("Product version", version);
    field("Instance", instance);
    if (!processor.empty() || processors != 0 || !productType.empty()) {
        std::string cpu = processor;
        if (processors != 0)
            cpu += (cpu.empty() ? "" : ", ") + std::to_string(processors) + " processor(s)";
        if (!productType.empty())
            cpu += (cpu.empty() ? "" : ", ") + std::string("product type ") + productType;
        field("Processor", cpu);
    }
    field("Line layout", kLineLayout);
    return header;
}

// Lets go of everything the writer holds of its log: the file, the lock file and its
// mapping. A later line attaches again.
void CHbLogger::State::CloseAllLocked() {
    int oldFd;
    void* oldMapping;
    {
        std::unique_lock<std::shared_mutex> file(fileLock);
        oldFd = fd;
        fd = -1;
        fdGeneration = 0;
        fdId = FileId{};
        oldMapping = mapping;
        mapping = nullptr;
        shared = &localShared;
    }
    CloseFd(oldFd);
    if (oldMapping != nullptr)
        ::munmap(oldMapping, kSharedMappingBytes);
    CloseFd(lockFd);
    lockFd = -1;
    lockId = FileId{};
    lockAttached.store(false, std::memory_order_release);
    lastLockAttemptMs.store(INT64_MIN / 2, std::memory_order_relaxed);
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

void CHbLogger::LogMessageV(int level, long value, const char* tag, unsigned long line,
                            std::int64_t jobId, const char* prefix, const char* format,
                            va_list args) {
    State& st = *m_state;
    if (level > st.level.load(std::memory_order_relaxed))
        return;
    if (st.shutdown.load(std::memory_order_relaxed)) {
        st.Drop(1);
        return;
    }
    try {
        LineBufferLease lease;
        LineComposer composer(lease.data(), lease.capacity());
        composer.Number(CurrentProcessId());
        composer.Char(' ');
        composer.Number(CurrentThreadId());
        composer.Char(' ');
        composer.DateTime();
        composer.Char(' ');
        if (g_showLogLevel.load(std::memory_order_relaxed))
            composer.Number(level);
        else
            composer.Char('-');
        composer.Char(' ');
        // Callers mark "no job" with 0 or a negative number.
        if (jobId > 0)
            composer.Number(jobId);
        else
            composer.Char('-');
        composer.Char(' ');
        bool hasTag = tag != nullptr && tag[0] != '\0';
        if (hasTag)
            composer.Token(tag, kMaxTagBytes);
        if (line != 0) {
            if (!hasTag)
                composer.Char('-');
            composer.Char(':');
            composer.Number(line);
        }
        if (value != 0) {
            if (!hasTag && line == 0)
                composer.Char('-');
            composer.Char('#');
            composer.Number(value);
        }
        if (!hasTag && line == 0 && value == 0)
            composer.Char('-');
        composer.Char(' ');
        if (prefix != nullptr && prefix[0] != '\0') {
            composer.Text(prefix, kMaxPrefixBytes);
            composer.Char(' ');
        }
        composer.Message(format, args);
        std::size_t length = composer.Finish();
        iovec iov{lease.data(), length};
        st.Emit(&iov, 1, length, 1);
    } catch (...) {
        st.Drop(1);
    }
}

void CHbLogger::LogMessage(int level, long value, const char* tag, unsigned long line,
                           std::int64_t jobId, const char* prefix, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogMessageV(level, value, tag, line, jobId, prefix, format, args);
    va_end(args);
}

void CHbLogger::LogMessage(const char* text) {
    State& st = *m_state;
    if (text == nullptr)
        return;
    if (st.shutdown.load(std::memory_order_relaxed)) {
        st.Drop(1);
        return;
    }
    try {
        std::size_t length = std::strlen(text);
        static char lineBreak[] = "\n";
        iovec iov[2] = {{const_cast<char*>(text), length}, {lineBreak, 1}};
        int count = length > 0 && text[length - 1] == '\n' ? 1 : 2;
        st.Emit(iov, count, length + (count == 2 ? 1 : 0), 1);
    } catch (...) {
        st.Drop(1);
    }
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
