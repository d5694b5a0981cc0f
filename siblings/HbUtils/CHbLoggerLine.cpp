// Composing a line (fields, message, continuation lines, the cut notice) in a per-thread
// buffer, and writing it: one write(2) on the descriptor the writer keeps open, or on one
// opened for the line, counted in the shared size that rollover watches.
#include <errno.h>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <shared_mutex>

#include "siblings/HbUtils/CHbLoggerState.h"

using namespace hblog;

namespace {

// Kept free at the end of a line buffer for the cut notice and the line break.
constexpr std::size_t kLineTailReserve = 96;
// The line buffer on the stack, for a line logged while the thread's own buffer is busy
// (from inside another line) or when that buffer could not be allocated.
constexpr std::size_t kFallbackLineCapacity = 1024;
// Tags and prefixes are names, not payload; bounding them keeps room for the message.
constexpr std::size_t kMaxTagBytes = 256;
constexpr std::size_t kMaxPrefixBytes = 1024;

// How often a writer that keeps its file open checks that the path still names that file
// (someone may have moved or deleted it outside the rollover protocol).
constexpr std::int64_t kIdentityCheckIntervalMs = 1000;
// Reopens a line may cause before it is written to whatever file the writer holds.
constexpr int kReopenAttempts = 2;
// A lock file that cannot be created (a folder we may append in but not create in) is
// tried again at most this often by writers that reopen per line.
constexpr std::int64_t kLockRetryIntervalMs = 1000;

struct ThreadIdentity {
    long tid = 0;
    unsigned forkGeneration = ~0u;
};
thread_local ThreadIdentity t_identity;

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

bool SyncData(int fd) {
    int rc;
    do {
        rc = ::fdatasync(fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

}  // namespace

namespace hblog {

std::atomic<bool> g_showLogLevel{false};

long CurrentProcessId() {
    long pid = g_processId.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<long>(::getpid());
        g_processId.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

long CurrentThreadId() {
    unsigned generation = g_forkGeneration.load(std::memory_order_relaxed);
    if (t_identity.forkGeneration != generation) {
        t_identity.tid = static_cast<long>(::gettid());
        t_identity.forkGeneration = generation;
    }
    return t_identity.tid;
}

}  // namespace hblog

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

// --- CHbLogger: lines -------------------------------------------------------------------

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
