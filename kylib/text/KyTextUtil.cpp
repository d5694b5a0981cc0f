#include "kylib/text/KyTextUtil.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <queue>
#include <random>
#include <vector>

#include "kylib/diagnostics/EvDebug.h"
#include "kylib/diagnostics/KYTDebuggable.h"
#include "os/File.h"
#include "os/Handle.h"
#include "os/LastError.h"
#include "os/LocaleDate.h"

namespace {

// Every time text is exactly this long; callers lay them out in columns.
constexpr size_t kTimeTextLength = 20;
constexpr char kBlankTime[] = "                    ";
static_assert(sizeof(kBlankTime) == kTimeTextLength + 1, "20 blanks");

constexpr __int64 kMaxDurationHours = 999999;
// "999999:59:59" and its terminator: what callers' buffers were sized for.
constexpr size_t kDurationTextSize = 13;

// ---- KyTime -------------------------------------------------------------------------

char* timeText(__int64 t, char* buf, unsigned long locale, bool useShortDate) {
    if (buf == nullptr) {
        EvDebug().Error("::KyTime", "Invalid buffer passed in");
        return nullptr;
    }
    buf[0] = '\0';
    if (t <= 0) {
        EvDebug().Error("::KyTime", "Invalid time (%lld) passed in", static_cast<long long>(t));
        std::memcpy(buf, kBlankTime, sizeof(kBlankTime));
        return buf;
    }
    std::tm local{};
    time_t when = static_cast<time_t>(t);
    if (static_cast<__int64>(when) != t || ::localtime_r(&when, &local) == nullptr) {
        EvDebug().Error("::KyTime", "Failed to convert (%lld) to localtime",
                        static_cast<long long>(t));
        std::memcpy(buf, kBlankTime, sizeof(kBlankTime));
        return buf;
    }
    // Formatted aside first: a year past 9999 or a long locale date must not run past the
    // caller's 21 bytes.
    char text[128];
    int length;
    if (locale == 0) {
        length = std::snprintf(text, sizeof(text), "%04d/%02d/%02d %02d:%02d:%02d ",
                               local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                               local.tm_min, local.tm_sec);
    } else {
        std::string date;
        std::string clock;
        if (!useShortDate) {
            int order = kyos::localeDateOrder(locale);
            if (order < 0) {
                std::printf("\nerr [%d] from GetLocaleInfo", ERROR_INVALID_PARAMETER);
            } else {
                std::printf("\ndateFormat = [%d]", order);
            }
        }
        if (!kyos::formatLocaleDateTime(locale, local, useShortDate, &date, &clock)) {
            EvDebug().Error("::KyTime", "Cannot format (%lld) for locale %lu",
                            static_cast<long long>(t), locale);
            std::memcpy(buf, kBlankTime, sizeof(kBlankTime));
            return buf;
        }
        length = std::snprintf(text, sizeof(text), "%s %8s ", date.c_str(), clock.c_str());
    }
    if (length < 0 || static_cast<size_t>(length) > kTimeTextLength) {
        std::memcpy(buf, kBlankTime, sizeof(kBlankTime));
        return buf;
    }
    std::memcpy(buf, text, static_cast<size_t>(length) + 1);
    return buf;
}

// ---- Versions -----------------------------------------------------------------------

// Decimal, or hexadecimal after "0x": a leading 0 is a zero-padded decimal in these
// texts ("11.24.08"), never octal. Values clamp to the int range.
bool readNumber(const char* text, const char** end, int* value) {
    const char* p = text;
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        base = 16;
    char* stop = nullptr;
    long long number = std::strtoll(p, &stop, base);
    if (stop == p)
        return false;
    if (number > INT_MAX)
        number = INT_MAX;
    if (number < INT_MIN)
        number = INT_MIN;
    *value = static_cast<int>(number);
    if (end != nullptr)
        *end = stop;
    return true;
}

// The same reading over exactly [begin, end), for the dot-separated forms; these texts
// are parsed on hot paths, so without copies or locale-aware calls.
bool readWholeNumber(const char* begin, const char* end, int* value) {
    const char* p = begin;
    bool negative = p < end && *p == '-';
    if (negative)
        ++p;
    int base = 10;
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (p == end || *p == '-')
        return false;
    unsigned long long magnitude = 0;
    auto result = std::from_chars(p, end, magnitude, base);
    if (result.ptr != end)
        return false;
    constexpr unsigned long long kLimit = static_cast<unsigned long long>(INT_MAX);
    if (result.ec == std::errc::result_out_of_range || magnitude > kLimit + 1)
        magnitude = kLimit + 1;
    if (negative) {
        *value = magnitude > kLimit ? INT_MIN : -static_cast<int>(magnitude);
    } else {
        *value = magnitude > kLimit ? INT_MAX : static_cast<int>(magnitude);
    }
    return true;
}

bool readServicePackForm(const std::string& text, KyStdVersion& v) {
    size_t sp = text.find("SP");
    if (sp == std::string::npos)
        return false;
    std::string before = text.substr(0, sp);
    std::string after = text.substr(sp + 2);
    int major = -1;
    size_t lead = before.find_first_not_of(" \t");
    if (lead != std::string::npos && !readNumber(before.c_str() + lead, nullptr, &major))
        major = -1;
    if (!after.empty() && std::isalpha(static_cast<unsigned char>(after.back()))) {
        char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(after.back())));
        v.hotFix = letter - 'a' + 1;
        after.pop_back();
    }
    int servicePack = -1;
    size_t spLead = after.find_first_not_of(" \t");
    if (spLead != std::string::npos && readNumber(after.c_str() + spLead, nullptr, &servicePack))
        v.servicePack = servicePack;
    v.majorVersion = major;
    v.form = 6;
    return true;
}

SP_VERSION_COMPARE comparePairs(int a, int b) {
    auto pairOf = [](int value) {
        return value < 1000 ? std::make_pair(value, 0) : std::make_pair(value / 100, value % 100);
    };
    auto first = pairOf(a);
    auto second = pairOf(b);
    if (first == second)
        return SP_VERSION_EQUAL;
    return first > second ? SP_VERSION_NEWER : SP_VERSION_OLDER;
}

// ---- Mangled host names -------------------------------------------------------------

constexpr char kFieldSeparator = '*';
constexpr int kMangledFields = 5;

int readMangledNumber(const std::string& field) {
    char* end = nullptr;
    long long number = std::strtoll(field.c_str(), &end, 10);
    if (number > INT_MAX)
        return INT_MAX;
    if (number < INT_MIN)
        return INT_MIN;
    return static_cast<int>(number);
}

// ---- Sort and replace ---------------------------------------------------------------

// Lines held in memory before a sorted run goes to the work directory: large enough that
// the files this is used for (lists of a few hundred thousand names) sort in one pass.
constexpr size_t kDefaultSortMemoryCap = 64u * 1024 * 1024;
constexpr int kUniqueNameAttempts = 100;
constexpr size_t kWriteChunk = 1u << 20;

std::atomic<size_t> g_sortMemoryCap{kDefaultSortMemoryCap};
std::atomic<int> g_sortFailStep{0};
std::atomic<void (*)(const char*)> g_sortBeforeRename{nullptr};

constexpr int kSortTraceMask = 1;

enum SortStep { kStepCreateTemporary = 1, kStepWriteTemporary = 2, kStepRename = 3 };

bool failHere(int step) {
    return g_sortFailStep.load(std::memory_order_relaxed) == step;
}

std::string uniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937 random(std::random_device{}());
    char suffix[32];
    std::snprintf(suffix, sizeof(suffix), ".%08x%04x", static_cast<unsigned>(random()),
                  counter.fetch_add(1) & 0xFFFF);
    return suffix;
}

// A new file only this call made (O_EXCL: nothing planted under the name is followed).
bool createUniqueFile(const std::string& base, std::string* path, HANDLE* handle) {
    for (int attempt = 0; attempt < kUniqueNameAttempts; ++attempt) {
        std::string candidate = base + uniqueSuffix() + ".tmp";
        HANDLE file = kyos::createFile(candidate, GENERIC_WRITE, 0, CREATE_NEW);
        if (file != INVALID_HANDLE_VALUE) {
            *path = candidate;
            *handle = file;
            return true;
        }
        if (kyos::lastError() != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
}

bool createUniqueDirectory(const std::string& base, std::string* path) {
    for (int attempt = 0; attempt < kUniqueNameAttempts; ++attempt) {
        std::string candidate = base + uniqueSuffix() + ".tmp";
        if (kyos::createDirectory(candidate)) {
            *path = candidate;
            return true;
        }
        if (kyos::lastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

// A trace object only when there is something to say: the first one of the process opens
// the trace file.
void sortTrace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void sortTrace(const char* fmt, ...) {
    char text[3 * PATH_MAX];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    KYTDebuggable trace;
    trace.setDebugPrefix("SORTANDREPLACE");
    trace.debug(kSortTraceMask, "%s\n", text);
}

class HandleCloser {
public:
    explicit HandleCloser(HANDLE handle) : m_handle(handle) {}
    ~HandleCloser() { close(); }
    HandleCloser(const HandleCloser&) = delete;
    HandleCloser& operator=(const HandleCloser&) = delete;
    bool close() {
        if (m_handle == INVALID_HANDLE_VALUE)
            return true;
        HANDLE handle = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        return kyos::closeHandle(handle) != FALSE;
    }
    HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};

class BufferedWriter {
public:
    explicit BufferedWriter(HANDLE file) : m_file(file) { m_buffer.reserve(kWriteChunk); }
    bool line(const std::string& text) {
        m_buffer += text;
        m_buffer += '\n';
        return m_buffer.size() < kWriteChunk || flush();
    }
    bool flush() {
        if (m_buffer.empty())
            return true;
        bool ok = kyos::writeFile(m_file, m_buffer.data(), static_cast<DWORD>(m_buffer.size()),
                                  nullptr) != FALSE;
        m_buffer.clear();
        return ok;
    }

private:
    HANDLE m_file;
    std::string m_buffer;
};

// The line feed ends a line and is not part of it; a carriage return before it is, so
// CRLF files sort as byte-order tools sort them. std::string compares bytes unsigned.
class LineSorter {
public:
    LineSorter(std::string workBase) : m_workBase(std::move(workBase)) {}
    ~LineSorter() { removeWork(); }
    LineSorter(const LineSorter&) = delete;
    LineSorter& operator=(const LineSorter&) = delete;

    bool read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return false;
        size_t cap = g_sortMemoryCap.load(std::memory_order_relaxed);
        size_t held = 0;
        std::string line;
        while (std::getline(in, line)) {
            held += line.size() + sizeof(std::string);
            m_lines.push_back(std::move(line));
            line.clear();
            if (held > cap) {
                if (!spill())
                    return false;
                held = 0;
            }
        }
        if (in.bad())
            return false;
        std::sort(m_lines.begin(), m_lines.end());
        return true;
    }

    bool write(HANDLE out) {
        BufferedWriter writer(out);
        if (m_runs.empty()) {
            for (const std::string& line : m_lines)
                if (!writer.line(line))
                    return false;
            return writer.flush();
        }
        return merge(writer);
    }

    const std::string& workDirectory() const { return m_workDir; }

private:
    bool spill() {
        if (m_workDir.empty() && !createUniqueDirectory(m_workBase, &m_workDir))
            return false;
        std::sort(m_lines.begin(), m_lines.end());
        std::string run = m_workDir + "/run" + std::to_string(m_runs.size());
        std::ofstream out(run, std::ios::binary | std::ios::trunc);
        m_runs.push_back(run);
        for (const std::string& line : m_lines)
            out << line << '\n';
        out.flush();
        m_lines.clear();
        m_lines.shrink_to_fit();
        return static_cast<bool>(out);
    }

    bool merge(BufferedWriter& writer) {
        struct Source {
            std::unique_ptr<std::ifstream> in;
            std::string line;
        };
        std::vector<Source> sources;
        for (const std::string& run : m_runs) {
            Source source{std::make_unique<std::ifstream>(run, std::ios::binary), {}};
            if (!*source.in)
                return false;
            sources.push_back(std::move(source));
        }
        size_t memory = sources.size();
        auto later = [&](size_t a, size_t b) {
            const std::string& left = a == memory ? m_lines[m_next] : sources[a].line;
            const std::string& right = b == memory ? m_lines[m_next] : sources[b].line;
            return left > right;
        };
        std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heads(later);
        for (size_t i = 0; i < sources.size(); ++i)
            if (std::getline(*sources[i].in, sources[i].line))
                heads.push(i);
        if (m_next < m_lines.size())
            heads.push(memory);
        while (!heads.empty()) {
            size_t top = heads.top();
            heads.pop();
            if (top == memory) {
                if (!writer.line(m_lines[m_next]))
                    return false;
                if (++m_next < m_lines.size())
                    heads.push(memory);
            } else {
                if (!writer.line(sources[top].line))
                    return false;
                if (std::getline(*sources[top].in, sources[top].line))
                    heads.push(top);
                else if (sources[top].in->bad())
                    return false;
            }
        }
        return writer.flush();
    }

    void removeWork() {
        for (const std::string& run : m_runs)
            kyos::deleteFile(run);
        if (!m_workDir.empty() && !kyos::removeDirectory(m_workDir)) {
            sortTrace("ignoring ky_rmdir failure for '%s'", m_workDir.c_str());
        }
    }

    std::string m_workBase;
    std::string m_workDir;
    std::vector<std::string> m_runs;
    std::vector<std::string> m_lines;
    size_t m_next = 0;
};

}  // namespace

char* trim(char* s) {
    if (s == nullptr)
        return nullptr;
    size_t length = std::strlen(s);
    // Unsigned: read as signed, the bytes of "é" would count as blanks.
    while (length > 0 && static_cast<unsigned char>(s[length - 1]) <= 0x20)
        --length;
    s[length] = '\0';
    return s;
}

int Strcasecmp(const char* a, const char* b) {
    if (a == nullptr || b == nullptr)
        return -1;
    if (*a == '\0')
        return *b == '\0' ? 0 : 1;
    if (*b == '\0')
        return -1;
    auto fold = [](char c) {
        unsigned char u = static_cast<unsigned char>(c);
        return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - 'a' + 'A') : u;
    };
    for (size_t i = 0;; ++i) {
        if (a[i] == '\0' && b[i] == '\0')
            return 0;
        if (a[i] == '\0')
            return -1;
        if (b[i] == '\0')
            return 1;
        unsigned char x = fold(a[i]);
        unsigned char y = fold(b[i]);
        if (x < y)
            return -1;
        if (x > y)
            return 1;
    }
}

char* KyTime(long t, char* buf, unsigned long locale, bool useShortDate) {
    return timeText(static_cast<__int64>(t), buf, locale, useShortDate);
}

char* KyTimeBig(__int64 t, char* buf, unsigned long locale, bool useShortDate) {
    return timeText(t, buf, locale, useShortDate);
}

char* KyDuration(__int64 seconds, char* buf) {
    if (buf == nullptr)
        return nullptr;
    // A negative once printed as a 20-digit unsigned number past the caller's buffer.
    if (seconds < 0)
        seconds = 0;
    unsigned long long hours = static_cast<unsigned long long>(seconds / 3600);
    unsigned long long minutes = static_cast<unsigned long long>(seconds % 3600 / 60);
    unsigned long long secs = static_cast<unsigned long long>(seconds % 60);
    if (hours > static_cast<unsigned long long>(kMaxDurationHours)) {
        hours = kMaxDurationHours;
        minutes = 59;
        secs = 59;
    }
    std::snprintf(buf, kDurationTextSize, "%6llu:%02llu:%02llu", hours, minutes, secs);
    return buf;
}

std::string FormatTime(double seconds) {
    static const char* const kUnits[] = {"s", "ms", "us", "ns"};
    constexpr size_t kUnitCount = sizeof(kUnits) / sizeof(kUnits[0]);
    double value = seconds;
    size_t unit = 0;
    if (value != 0.0 && !std::isnan(value)) {
        while (std::fabs(value) < 1.0 && unit + 1 < kUnitCount) {
            value *= 1000.0;
            ++unit;
        }
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%.2f %s", value, kUnits[unit]);
    return text;
}

std::string FormatBytes(ULONGLONG bytes) {
    static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB", "PB"};
    constexpr size_t kUnitCount = sizeof(kUnits) / sizeof(kUnits[0]);
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < kUnitCount) {
        value /= 1024.0;
        ++unit;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%.2f %s", value, kUnits[unit]);
    return text;
}

bool GetAllInfoFromVersionStr(const std::string& text, KyStdVersion& version) {
    std::memset(&version, 0xFF, sizeof(version));
    if (text.find("SP") != std::string::npos)
        return readServicePackForm(text, version);
    constexpr size_t kMostParts = 4;
    int numbers[kMostParts];
    size_t count = 0;
    const char* p = text.data();
    const char* end = p + text.size();
    for (;;) {
        const char* dot = static_cast<const char*>(std::memchr(p, '.', end - p));
        const char* partEnd = dot != nullptr ? dot : end;
        if (count == kMostParts || !readWholeNumber(p, partEnd, &numbers[count]))
            return false;
        ++count;
        if (dot == nullptr)
            break;
        p = dot + 1;
    }
    switch (count) {
        case 1:
            version.servicePack = numbers[0];
            version.form = 2;
            return true;
        case 3:
            version.majorVersion = numbers[0];
            version.servicePack = numbers[1];
            version.update = numbers[2];
            version.form = 5;
            return true;
        case 4:
            version.majorVersion = numbers[0];
            version.update = numbers[3];
            if (numbers[2] < 2001) {
                version.servicePack = numbers[2] / 10;
                version.form = 3;
            } else {
                version.servicePack = numbers[2];
                version.form = 4;
            }
            return true;
        default:
            return false;
    }
}

int GetInfoFromVersionStr(const std::string& text, VersionFields field) {
    KyStdVersion version;
    GetAllInfoFromVersionStr(text, version);
    switch (field) {
        case VERSION_MAJOR:
            return version.majorVersion;
        case VERSION_SERVICE_PACK:
            return version.servicePack;
        case VERSION_HOTFIX:
            return version.hotFix;
        case VERSION_UPDATE:
            return version.update;
    }
    return -1;
}

std::string FormatKyStdVersionString(const KyStdVersion& version) {
    if (version.majorVersion < 1 || version.servicePack < 0 || version.update < 0)
        return std::string();
    return std::to_string(version.majorVersion) + "." + std::to_string(version.servicePack) + "." +
           std::to_string(version.update);
}

SP_VERSION_COMPARE CompareSPVersion(const std::string& a, const std::string& b) {
    int first = GetInfoFromVersionStr(a, VERSION_SERVICE_PACK);
    int second = GetInfoFromVersionStr(b, VERSION_SERVICE_PACK);
    if (first < 0 || second < 0)
        return SP_VERSION_INVALID;
    return comparePairs(first, second);
}

SP_VERSION_COMPARE CompareSPVersion(const std::string& a, int b) {
    int first = GetInfoFromVersionStr(a, VERSION_SERVICE_PACK);
    if (first < 0)
        return SP_VERSION_INVALID;
    return comparePairs(first, b);
}

SP_VERSION_COMPARE CompareSPVersion(int a, int b) {
    return comparePairs(a, b);
}

std::string MangleHostName(const char* host, const char* client, int first, int second,
                           const char* extra) {
    const char* hostText = host != nullptr ? host : "";
    const char* clientText = client != nullptr ? client : "";
    if (std::strchr(hostText, kFieldSeparator) != nullptr ||
        std::strchr(clientText, kFieldSeparator) != nullptr) {
        EvDebug().Error("::MangleHostName", "Host [%s] or client [%s] holds '*': not mangled",
                        hostText, clientText);
        return std::string();
    }
    bool hasExtra = extra != nullptr && extra[0] != '\0';
    std::string mangled = hostText;
    if (clientText[0] != '\0' || first != 0 || second != 0 || hasExtra)
        mangled.append(1, kFieldSeparator).append(clientText);
    if (first != 0 || second != 0 || hasExtra)
        mangled.append(1, kFieldSeparator).append(std::to_string(first));
    if (second != 0 || hasExtra)
        mangled.append(1, kFieldSeparator).append(std::to_string(second));
    if (hasExtra)
        mangled.append(1, kFieldSeparator).append(extra);
    return mangled;
}

std::string MangleHostName(const char* host, const char* client, int first, int second) {
    return MangleHostName(host, client, first, second, nullptr);
}

void DemangleHostName(const char* mangled, std::string* host, std::string* client, int* first,
                      int* second, std::string* extra) {
    std::string fields[kMangledFields];
    if (mangled != nullptr) {
        const char* p = mangled;
        for (int i = 0; i < kMangledFields - 1; ++i) {
            const char* star = std::strchr(p, kFieldSeparator);
            if (star == nullptr) {
                fields[i] = p;
                p = nullptr;
                break;
            }
            fields[i].assign(p, static_cast<size_t>(star - p));
            p = star + 1;
        }
        // The extra text is the last field: whatever follows, "*" included.
        if (p != nullptr)
            fields[kMangledFields - 1] = p;
    }
    if (host != nullptr)
        *host = fields[0];
    if (client != nullptr)
        *client = fields[1];
    if (first != nullptr)
        *first = readMangledNumber(fields[2]);
    if (second != nullptr)
        *second = readMangledNumber(fields[3]);
    if (extra != nullptr)
        *extra = fields[4];
}

void DemangleHostName(const char* mangled, std::string& host, std::string& client, int& first,
                      int& second, std::string& extra) {
    DemangleHostName(mangled, &host, &client, &first, &second, &extra);
}

void DemangleHostName(const char* mangled, std::string& host, std::string& client, int& first,
                      int& second) {
    DemangleHostName(mangled, &host, &client, &first, &second, nullptr);
}

std::string GetHostNameFromMangledHostName(const char* mangled) {
    std::string host;
    DemangleHostName(mangled, &host, nullptr, nullptr, nullptr, nullptr);
    return host;
}

std::string GetClientNameFromMangledHostName(const char* mangled) {
    std::string client;
    DemangleHostName(mangled, nullptr, &client, nullptr, nullptr, nullptr);
    return client;
}

int kySortAndReplace(const char* file, bool, bool, bool) {
    if (file == nullptr || file[0] == '\0') {
        sortTrace("sort init failed for file '%s' tmpFile '%s' workdir '%s'", "", "", "");
        return -1;
    }
    const std::string path = file;
    const std::string workBase = path + "_folder";
    std::string temporary;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (failHere(kStepCreateTemporary) || !createUniqueFile(path, &temporary, &handle)) {
        sortTrace("sort init failed for file '%s' tmpFile '%s' workdir '%s'", file,
                  temporary.c_str(), workBase.c_str());
        return -1;
    }
    HandleCloser out(handle);
    // Before any data: the sorted lines are no more readable to others than the file's.
    if (!kyos::copyFileMode(path, out.get())) {
        sortTrace("sort init failed for file '%s' tmpFile '%s' workdir '%s'", file,
                  temporary.c_str(), workBase.c_str());
        out.close();
        kyos::deleteFile(temporary);
        return -1;
    }
    bool sorted;
    std::string workDir;
    {
        LineSorter sorter(workBase);
        sorted = sorter.read(path) && !failHere(kStepWriteTemporary) && sorter.write(out.get()) &&
                 kyos::flushFile(out.get()) != FALSE;
        workDir = sorter.workDirectory();
    }
    sorted = out.close() && sorted;
    if (!sorted) {
        sortTrace("sort failed for file '%s' tmpFile '%s' workdir '%s'", file, temporary.c_str(),
                  workDir.c_str());
        kyos::deleteFile(temporary);
        return -1;
    }
    // One rename over the file: removing it first left a moment with no file at all, and
    // a crash there lost it.
    if (auto hook = g_sortBeforeRename.load())
        hook(temporary.c_str());
    if (failHere(kStepRename) || !kyos::renameOver(temporary, path)) {
        sortTrace("rename failed for file '%s' tmpFile '%s' workdir '%s'", file, temporary.c_str(),
                  workDir.c_str());
        kyos::deleteFile(temporary);
        return -1;
    }
    return 0;
}

void kySortSetMemoryCapForTesting(std::size_t bytes) {
    g_sortMemoryCap.store(bytes == 0 ? kDefaultSortMemoryCap : bytes);
}

void kySortSetFailStepForTesting(int step) {
    g_sortFailStep.store(step);
}

void kySortSetBeforeRenameHookForTesting(void (*hook)(const char* temporary)) {
    g_sortBeforeRename.store(hook);
}
