// Composing a line (fields, message, continuation lines, the cut notice) in a per-thread
// buffer, and writing it: one write(2) on the descriptor the writer keeps open, or on one
// opened for the line, counted in the shared size that rollover watches.
//
// This is the writer's hot path: a busy process writes thousands of lines a second, each
// one costing a system call already, so the rest is kept to a small fraction of that. What
// a line starts with (process, thread, date and time to the second) is kept per thread and
// rebuilt once a second; the fields are bounded, so they go into the buffer unchecked; the
// message is formatted straight into the buffer, the common printf conversions here and
// any other format by vsnprintf; and a writer that keeps its file open goes from the
// composed line to write(2) without the general dispatch.
#include <errno.h>
#include <pthread.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>

#include "siblings/HbUtils/CHbLoggerState.h"

using namespace hblog;

namespace {

// Kept free at the end of a line buffer for the cut notice and the line break.
constexpr std::size_t kLineTailReserve = 96;
// The line buffer on the stack, for a line logged while the thread's own buffer is busy
// (from inside another line), when that buffer could not be allocated, or while the
// thread is ending.
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

constexpr std::size_t kDateTimeLength = 19;   // "YYYY-MM-DD hh:mm:ss"
constexpr std::size_t kMaxNumberLength = 20;  // a 64-bit number, sign included
// "pid tid YYYY-MM-DD hh:mm:ss": two numbers, two blanks, the date and time, and
// strftime's terminator. A whole number of vector registers, so that the copy into each
// line is one of fixed size.
constexpr std::size_t kStampCapacity = 64;
static_assert(2 * (kMaxNumberLength + 1) + kDateTimeLength + 1 <= kStampCapacity,
              "the stamp must fit");
// The fields before the prefix: the stamp copied whole, milliseconds, level, job, tag,
// line and value with their separators. Bounded, and all of it fits the smallest buffer
// short of its tail reserve, so that they are written without checks.
constexpr std::size_t kMaxFieldsLength = kStampCapacity + 4 + 1 + 11 + 1 + kMaxNumberLength + 1 +
                                         kMaxTagBytes + 2 * (kMaxNumberLength + 2) + 2;
static_assert(kMaxFieldsLength <= kFallbackLineCapacity - kLineTailReserve,
              "the fields must fit any line buffer");

// What a thread keeps between its lines: its line buffer, its kernel thread id, and the
// start of each line it writes within one second. localtime_r takes a process-wide lock,
// and the numbers cost more to format than to copy; none of it changes but with the
// second or in the child of a fork(). Trivially destructible, so that reaching it costs
// no check for its first use: the buffer and the hazard are given back by ThreadLineOwner.
struct ThreadLineState {
    char* buffer = nullptr;
    LineHazard* hazard = nullptr;
    bool busy = false;
    bool ending = false;  // the thread is running its exit handlers: no new buffer
    long tid = 0;
    unsigned tidForkGeneration = ~0u;
    unsigned stampForkGeneration = ~0u;
    std::time_t stampSecond = -1;
    std::size_t stampLength = 0;
    char stamp[kStampCapacity] = {};
};
thread_local ThreadLineState t_line;

// Gives the thread's line buffer and hazard back when the thread ends; touched once per
// thread, when the first of them is taken. A line logged later still (from another
// thread-local destructor) is built on the stack and written the general way.
struct ThreadLineOwner {
    bool armed = false;
    ~ThreadLineOwner();
};
thread_local ThreadLineOwner t_lineOwner;

long ThreadIdOf(ThreadLineState& thread, unsigned forkGeneration) {
    if (thread.tidForkGeneration != forkGeneration) {
        thread.tid = static_cast<long>(::gettid());
        thread.tidForkGeneration = forkGeneration;
    }
    return thread.tid;
}

// Rebuilds "pid tid YYYY-MM-DD hh:mm:ss" (local time) for `second`.
__attribute__((noinline)) void RefreshStamp(ThreadLineState& thread, std::time_t second,
                                            unsigned forkGeneration) {
    char* out = thread.stamp;
    char* end = thread.stamp + kStampCapacity;
    out = std::to_chars(out, end, CurrentProcessId()).ptr;
    *out++ = ' ';
    out = std::to_chars(out, end, ThreadIdOf(thread, forkGeneration)).ptr;
    *out++ = ' ';
    std::tm local{};
    if (::localtime_r(&second, &local) == nullptr ||
        std::strftime(out, static_cast<std::size_t>(end - out), "%Y-%m-%d %H:%M:%S", &local) !=
            kDateTimeLength) {
        std::memcpy(out, "0000-00-00 00:00:00", kDateTimeLength);
    }
    out += kDateTimeLength;
    thread.stampLength = static_cast<std::size_t>(out - thread.stamp);
    thread.stampSecond = second;
    thread.stampForkGeneration = forkGeneration;
}

// Writes "pid tid YYYY-MM-DD hh:mm:ss.mmm"; `out` has room for kStampCapacity + 4 bytes.
char* WriteStamp(ThreadLineState& thread, char* out) {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::time_t second = now.tv_sec;
    unsigned millis = static_cast<unsigned>(now.tv_nsec / 1000000);
    unsigned forkGeneration = g_forkGeneration.load(std::memory_order_relaxed);
    if (second != thread.stampSecond || forkGeneration != thread.stampForkGeneration)
        RefreshStamp(thread, second, forkGeneration);
    std::memcpy(out, thread.stamp, kStampCapacity);
    out += thread.stampLength;
    out[0] = '.';
    out[1] = static_cast<char>('0' + millis / 100);
    out[2] = static_cast<char>('0' + millis / 10 % 10);
    out[3] = static_cast<char>('0' + millis % 10);
    return out + 4;
}

// The thread's line buffer, allocated at its first line.
class LineBufferLease {
public:
    explicit LineBufferLease(ThreadLineState& thread) : m_thread(thread) {
        if (thread.busy)
            return;
        if (thread.buffer == nullptr && !thread.ending) {
            thread.buffer = new (std::nothrow) char[kLineCapacity];
            t_lineOwner.armed = true;
        }
        if (thread.buffer != nullptr) {
            thread.busy = true;
            m_owned = true;
            m_data = thread.buffer;
            m_capacity = kLineCapacity;
        }
    }
    ~LineBufferLease() {
        if (m_owned)
            m_thread.busy = false;
    }
    LineBufferLease(const LineBufferLease&) = delete;
    LineBufferLease& operator=(const LineBufferLease&) = delete;

    char* data() { return m_data; }
    std::size_t capacity() const { return m_capacity; }

private:
    ThreadLineState& m_thread;
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

template <class Integer>
char* WriteNumber(char* out, Integer value) {
    return std::to_chars(out, out + kMaxNumberLength, value).ptr;
}

// A tag becomes one field: blanks and control characters turn into '_'. Copied and turned
// in one pass the compiler vectorises; the turned bytes are ASCII, so the cut at a
// character boundary falls where it would in the tag as given.
char* WriteToken(char* out, const char* text, std::size_t maxBytes) {
    std::size_t length = ::strnlen(text, maxBytes);
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        out[i] = c <= ' ' || c == 0x7F ? '_' : static_cast<char>(c);
    }
    return out + Utf8SafeLength(out, length);
}

// "pid tid date time level job source ", up to the prefix.
char* WriteFields(ThreadLineState& thread, char* out, int level, long value, const char* tag,
                  unsigned long line, std::int64_t jobId) {
    char* p = WriteStamp(thread, out);
    *p++ = ' ';
    if (g_showLogLevel.load(std::memory_order_relaxed))
        p = WriteNumber(p, level);
    else
        *p++ = '-';
    *p++ = ' ';
    // Callers mark "no job" with 0 or a negative number.
    if (jobId > 0)
        p = WriteNumber(p, jobId);
    else
        *p++ = '-';
    *p++ = ' ';
    bool hasTag = tag != nullptr && tag[0] != '\0';
    if (hasTag)
        p = WriteToken(p, tag, kMaxTagBytes);
    if (line != 0) {
        if (!hasTag)
            *p++ = '-';
        *p++ = ':';
        p = WriteNumber(p, line);
    }
    if (value != 0) {
        if (!hasTag && line == 0)
            *p++ = '-';
        *p++ = '#';
        p = WriteNumber(p, value);
    }
    if (!hasTag && line == 0 && value == 0)
        *p++ = '-';
    *p++ = ' ';
    return p;
}

// Formats into out[0, room - 1) what vsnprintf would, terminator included, and returns
// the length of the whole text as it does (-1 past an int), for the formats most lines
// use: plain text, %s, %c, %%, and %d, %i, %u, %x, %X with no size, l, ll or z, none with
// flags, width or precision. Returns kNotSimple at the first other conversion, having
// taken arguments off `args`: the caller formats the message again from a copy of them.
// `lineBreak` is set when the text may hold a line break: looking for one while the bytes
// are at hand spares the caller a pass over the message.
constexpr int kNotSimple = -2;

int FormatSimple(char* out, std::size_t room, const char* format, va_list args, bool* lineBreak) {
    char* pos = out;
    char* const limit = out + room - 1;
    std::size_t total = 0;
    auto put = [&](const char* text, std::size_t length) {
        if (length == 0)
            return;  // the text around a format's conversions is often none
        std::size_t fits = std::min(length, static_cast<std::size_t>(limit - pos));
        std::memcpy(pos, text, fits);
        pos += fits;
        total += length;
    };
    auto number = [&](auto value, int base, bool upper) {
        char digits[24];
        char* end = std::to_chars(digits, digits + sizeof digits, value, base).ptr;
        if (upper)
            for (char* d = digits; d < end; ++d)
                if (*d >= 'a')
                    *d = static_cast<char>(*d - 'a' + 'A');
        put(digits, static_cast<std::size_t>(end - digits));
    };
    enum Size { kInt, kLong, kLongLong, kSize };
    for (;;) {
        // Formats often start or end with a conversion: no text there to look through.
        const char* percent = *format == '%' || *format == '\0' ? format : ::strchrnul(format, '%');
        std::size_t literal = static_cast<std::size_t>(percent - format);
        if (literal != 0 && std::memchr(format, '\n', literal) != nullptr)
            *lineBreak = true;
        put(format, literal);
        if (*percent == '\0')
            break;
        const char* cursor = percent + 1;
        Size size = kInt;
        if (*cursor == 'l') {
            ++cursor;
            size = kLong;
            if (*cursor == 'l') {
                ++cursor;
                size = kLongLong;
            }
        } else if (*cursor == 'z') {
            ++cursor;
            size = kSize;
        }
        char conversion = *cursor;
        switch (conversion) {
            case 's': {
                if (size != kInt)
                    return kNotSimple;  // %ls: wide text
                const char* text = va_arg(args, const char*);
                if (text == nullptr)
                    text = "(null)";
                // As fast as strlen, and it tells about line breaks on the way.
                const char* end = ::strchrnul(text, '\n');
                if (*end != '\0') {
                    *lineBreak = true;
                    end += std::strlen(end);
                }
                put(text, static_cast<std::size_t>(end - text));
                break;
            }
            case 'c': {
                if (size != kInt)
                    return kNotSimple;  // %lc: a wide character
                char c = static_cast<char>(va_arg(args, int));
                if (c == '\n')
                    *lineBreak = true;
                put(&c, 1);
                break;
            }
            case '%':
                if (size != kInt)
                    return kNotSimple;
                put(cursor, 1);
                break;
            case 'd':
            case 'i':
                switch (size) {
                    case kInt:
                        number(va_arg(args, int), 10, false);
                        break;
                    case kLong:
                        number(va_arg(args, long), 10, false);
                        break;
                    case kLongLong:
                        number(va_arg(args, long long), 10, false);
                        break;
                    case kSize:
                        number(va_arg(args, ssize_t), 10, false);
                        break;
                }
                break;
            case 'u':
            case 'x':
            case 'X': {
                int base = conversion == 'u' ? 10 : 16;
                bool upper = conversion == 'X';
                switch (size) {
                    case kInt:
                        number(va_arg(args, unsigned), base, upper);
                        break;
                    case kLong:
                        number(va_arg(args, unsigned long), base, upper);
                        break;
                    case kLongLong:
                        number(va_arg(args, unsigned long long), base, upper);
                        break;
                    case kSize:
                        number(va_arg(args, std::size_t), base, upper);
                        break;
                }
                break;
            }
            default:
                return kNotSimple;
        }
        format = cursor + 1;
    }
    *pos = '\0';
    return total > static_cast<std::size_t>(INT_MAX) ? -1 : static_cast<int>(total);
}

// Builds the rest of a line after its fields: prefix, message, cut notice, line break.
class LineComposer {
public:
    LineComposer(char* begin, char* pos, std::size_t capacity)
        : m_begin(begin),
          m_pos(pos),
          m_end(begin + capacity - kLineTailReserve),
          m_hardEnd(begin + capacity) {}

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

    // The printf-formatted message. Trailing line breaks go; a line break inside becomes
    // a continuation line that starts with a tab, so that every record still begins with
    // its fields. A message that does not fit is cut on a character boundary.
    void Message(const char* format, va_list args) {
        if (format == nullptr)
            format = "";
        std::size_t room = static_cast<std::size_t>(m_end - m_pos);
        if (room == 0)
            return;
        va_list simpleArgs;
        va_copy(simpleArgs, args);
        bool lineBreak = false;
        int needed = FormatSimple(m_pos, room, format, simpleArgs, &lineBreak);
        va_end(simpleArgs);
        if (needed == kNotSimple) {
            needed = std::vsnprintf(m_pos, room, format, args);
            lineBreak = true;  // not known: look
        }
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
        if (lineBreak)
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

// A thread's mark of the writer whose published LineTarget it is using for a line: while
// it stands, the publisher of a newer target keeps the old target's descriptor and mapping.
// One per thread that writes lines, on a cache line of its own: threads writing at once
// must not take turns at one. Never freed; a thread that ends leaves its hazard to the
// next.
struct alignas(64) LineHazard {
    std::atomic<const void*> writer{nullptr};  // the State being written, or null
    std::atomic<bool> taken{false};
    LineHazard* next = nullptr;  // set before it is listed, never changed after
};

}  // namespace hblog

namespace {

// Every hazard ever made, newest first; only ever added to.
std::atomic<LineHazard*> g_lineHazards{nullptr};

// A free hazard, or a new one; null when none can be had (the thread then writes the general
// way).
LineHazard* TakeLineHazard() {
    for (LineHazard* hazard = g_lineHazards.load(std::memory_order_acquire); hazard != nullptr;
         hazard = hazard->next) {
        bool taken = false;
        if (!hazard->taken.load(std::memory_order_relaxed) &&
            hazard->taken.compare_exchange_strong(taken, true, std::memory_order_acquire))
            return hazard;
    }
    auto* hazard = new (std::nothrow) LineHazard;
    if (hazard == nullptr)
        return nullptr;
    hazard->taken.store(true, std::memory_order_relaxed);
    LineHazard* head = g_lineHazards.load(std::memory_order_relaxed);
    do {
        hazard->next = head;
    } while (!g_lineHazards.compare_exchange_weak(head, hazard, std::memory_order_release,
                                                  std::memory_order_relaxed));
    return hazard;
}

LineHazard* HazardOf(ThreadLineState& thread) {
    if (thread.hazard == nullptr && !thread.ending) {
        thread.hazard = TakeLineHazard();
        t_lineOwner.armed = true;
    }
    return thread.hazard;
}

// Returns once no thread holds a hazard on `writer`. Such a thread is inside one write(2):
// a moment, unless the disk stalls.
void WaitForLineHazards(const void* writer) {
    constexpr int kSpinsBeforeSleeping = 64;
    for (LineHazard* hazard = g_lineHazards.load(std::memory_order_acquire); hazard != nullptr;
         hazard = hazard->next) {
        for (int spins = 0; hazard->writer.load(std::memory_order_seq_cst) == writer; ++spins) {
            if (spins < kSpinsBeforeSleeping)
                std::this_thread::yield();
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

}  // namespace

ThreadLineOwner::~ThreadLineOwner() {
    delete[] t_line.buffer;
    t_line.buffer = nullptr;
    if (t_line.hazard != nullptr) {
        t_line.hazard->writer.store(nullptr, std::memory_order_relaxed);
        t_line.hazard->taken.store(false, std::memory_order_release);
        t_line.hazard = nullptr;
    }
    t_line.ending = true;
}

namespace hblog {

void ResetLineHazardsAfterFork() {
    for (LineHazard* hazard = g_lineHazards.load(std::memory_order_acquire); hazard != nullptr;
         hazard = hazard->next) {
        hazard->writer.store(nullptr, std::memory_order_relaxed);
        if (hazard != t_line.hazard)
            hazard->taken.store(false, std::memory_order_relaxed);
    }
}

long CurrentProcessId() {
    long pid = g_processId.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<long>(::getpid());
        g_processId.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

long CurrentThreadId() {
    return ThreadIdOf(t_line, g_forkGeneration.load(std::memory_order_relaxed));
}

}  // namespace hblog

// The common case, a writer that keeps its file open and writes each line at once, goes
// from the composed line to write(2) in one step and with no lock: the thread's hazard on
// the writer keeps the descriptor and the mapping of the target it reads until it is done.
// Anything else (buffered or durable mode, reopening per line, no file yet or one rolled
// by another process, a child of fork(), a thread without a hazard) takes Emit's way.
void CHbLogger::State::WriteLine(char* data, std::size_t length, LineHazard* hazard) {
    iovec iov{data, length};
    if (hazard != nullptr &&
        forkGeneration.load(std::memory_order_relaxed) ==
            g_forkGeneration.load(std::memory_order_relaxed) &&
        ready.load(std::memory_order_acquire) &&
        loggingMode.load(std::memory_order_relaxed) == eLoggingModeDefault &&
        accessMethod.load(std::memory_order_relaxed) != kAccessReopenPerLine) {
        // Sequentially consistent, as the publishing side: either the publisher sees the
        // hazard and waits, or this thread sees what was published.
        hazard->writer.store(this, std::memory_order_seq_cst);
        const LineTarget* target = lineTarget.load(std::memory_order_seq_cst);
        if (target != nullptr && target->generation == target->shared->Generation()) {
            // One write(2) for a whole line, as a rule; WriteAll finishes a short one.
            ssize_t once = ::write(target->fd, data, length);
            bool written = static_cast<std::size_t>(once) == length;
            if (!written) {
                if (once > 0) {
                    iov.iov_base = data + once;
                    iov.iov_len = length - static_cast<std::size_t>(once);
                }
                written = WriteAll(target->fd, &iov, 1);
            }
            // A line written to a file that another process has just rolled counts toward
            // the new file: the new file then rolls a little early, which costs nothing.
            std::uint64_t sizeNow = written ? target->shared->Add(length) : 0;
            std::uint64_t generation = target->generation;
            hazard->writer.store(nullptr, std::memory_order_release);
            if (!written) {
                Drop(1);
                return;
            }
            AfterWrite(generation, sizeNow, true);
            return;
        }
        hazard->writer.store(nullptr, std::memory_order_release);
    }
    Emit(&iov, 1, length, 1);
}

// Called whenever fd, fdGeneration or shared changed, before what they named before is
// closed or unmapped.
void CHbLogger::State::PublishLineTargetLocked() {
    const LineTarget* next = nullptr;
    if (fd >= 0) {
        LineTarget& target = lineTargets[nextLineTarget];
        nextLineTarget ^= 1;
        target.fd = fd;
        target.generation = fdGeneration;
        target.shared = shared;
        next = &target;
    }
    lineTarget.store(next, std::memory_order_seq_cst);
    WaitForLineHazards(this);
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

// --- CHbLogger: lines -------------------------------------------------------------------

// Both formatted entry points come here directly: a call between exported functions of a
// shared library goes through its procedure linkage table.
void CHbLogger::State::LogFormatted(int level, long value, const char* tag, unsigned long line,
                                    std::int64_t jobId, const char* prefix, const char* format,
                                    va_list args) {
    if (level > this->level.load(std::memory_order_relaxed))
        return;
    if (shutdown.load(std::memory_order_relaxed)) {
        Drop(1);
        return;
    }
    try {
        // In a shared library each naming of a thread_local is a call into the dynamic
        // loader; with the pointer's origin hidden, the compiler keeps it in a register.
        ThreadLineState* threadState = &t_line;
        asm("" : "+r"(threadState));
        LineBufferLease lease(*threadState);
        char* fieldsEnd = WriteFields(*threadState, lease.data(), level, value, tag, line, jobId);
        LineComposer composer(lease.data(), fieldsEnd, lease.capacity());
        if (prefix != nullptr && prefix[0] != '\0') {
            composer.Text(prefix, kMaxPrefixBytes);
            composer.Char(' ');
        }
        composer.Message(format, args);
        WriteLine(lease.data(), composer.Finish(), HazardOf(*threadState));
    } catch (...) {
        Drop(1);
    }
}

void CHbLogger::LogMessageV(int level, long value, const char* tag, unsigned long line,
                            std::int64_t jobId, const char* prefix, const char* format,
                            va_list args) {
    m_state->LogFormatted(level, value, tag, line, jobId, prefix, format, args);
}

void CHbLogger::LogMessage(int level, long value, const char* tag, unsigned long line,
                           std::int64_t jobId, const char* prefix, const char* format, ...) {
    va_list args;
    va_start(args, format);
    m_state->LogFormatted(level, value, tag, line, jobId, prefix, format, args);
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
