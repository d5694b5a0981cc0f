#include "siblings/HbUtils/CHbLogger.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempDir.h"

namespace {

// The writer's clock in these tests: moved by hand, so that retries and the age of
// buffered lines need no waiting.
std::atomic<std::int64_t> g_now{1'000'000};
std::int64_t FakeNow() {
    return g_now.load();
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::uint64_t SizeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start) + "<no line break>");
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The header lines ("# ...") of a file, and its records without them.
std::vector<std::string> HeaderLines(const std::string& path) {
    std::vector<std::string> header;
    for (const std::string& line : SplitLines(kytest::readFile(path)))
        if (line.rfind("# ", 0) == 0)
            header.push_back(line);
    return header;
}

std::vector<std::string> Records(const std::string& path) {
    std::vector<std::string> records;
    for (const std::string& line : SplitLines(kytest::readFile(path)))
        if (line.rfind("# ", 0) != 0)
            records.push_back(line);
    return records;
}

struct ParsedLine {
    long pid = 0;
    long tid = 0;
    std::string level, job, source, text;
};

// pid tid date time level job source text
bool Parse(const std::string& line, ParsedLine* parsed) {
    static const std::regex layout(
        R"(^(\d+) (\d+) \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (\S+) (\S+) (\S+) (.*)$)");
    std::smatch m;
    if (!std::regex_match(line, m, layout))
        return false;
    parsed->pid = std::stol(m[1]);
    parsed->tid = std::stol(m[2]);
    parsed->level = m[3];
    parsed->job = m[4];
    parsed->source = m[5];
    parsed->text = m[6];
    return true;
}

std::vector<std::string> Texts(const std::string& path) {
    std::vector<std::string> texts;
    for (const std::string& record : Records(path)) {
        ParsedLine parsed;
        texts.push_back(Parse(record, &parsed) ? parsed.text : "<unparsable> " + record);
    }
    return texts;
}

class CHbLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = 1'000'000;
        CHbLogger::SetShowLogLevel(false);
    }
    void TearDown() override { CHbLogger::SetShowLogLevel(false); }

    std::unique_ptr<CHbLogger> Open(const std::string& name = "app", bool header = false,
                                    int level = 100) {
        auto writer = std::make_unique<CHbLogger>();
        writer->SetMonotonicClock(&FakeNow);
        EXPECT_TRUE(writer->Initialize(dir_.path(), name, level, header, false));
        return writer;
    }
    std::string LogPath(const std::string& name = "app", int version = 0) const {
        std::string path = dir_.file(name + ".log");
        return version == 0 ? path : path + "." + std::to_string(version);
    }

    kytest::TempDir dir_;
};

// --- line layout ---------------------------------------------------------------------------

struct LayoutCase {
    bool showLevel;
    int level;
    long value;
    const char* tag;
    unsigned long line;
    std::int64_t jobId;
    const char* prefix;
    const char* levelField;
    const char* jobField;
    const char* sourceField;
    const char* text;
};

void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << "level " << c.level << (c.showLevel ? " shown" : "") << ", source " << c.sourceField;
}

class CHbLoggerLayoutTest : public CHbLoggerTest,
                            public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(CHbLoggerLayoutTest, FieldsAreInTheirPlaces) {
    const LayoutCase& c = GetParam();
    CHbLogger::SetShowLogLevel(c.showLevel);
    auto writer = Open();
    writer->LogMessage(c.level, c.value, c.tag, c.line, c.jobId, c.prefix, "copied %d of %s", 7,
                       "files");
    std::vector<std::string> records = Records(LogPath());
    ASSERT_EQ(records.size(), 1u);
    ParsedLine parsed;
    ASSERT_TRUE(Parse(records[0], &parsed)) << records[0];
    EXPECT_EQ(parsed.pid, static_cast<long>(::getpid()));
    EXPECT_EQ(parsed.tid, static_cast<long>(::gettid()));
    EXPECT_EQ(parsed.level, c.levelField);
    EXPECT_EQ(parsed.job, c.jobField);
    EXPECT_EQ(parsed.source, c.sourceField);
    EXPECT_EQ(parsed.text, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CHbLoggerLayoutTest,
    ::testing::Values(
        LayoutCase{false, 2, 0, "Mover::run", 0, 0, nullptr, "-", "-", "Mover::run",
                   "copied 7 of files"},
        LayoutCase{true, 3, 0, "Mover::run", 120, 42, nullptr, "3", "42", "Mover::run:120",
                   "copied 7 of files"},
        // Negative job ids mean "no job"; blanks in a tag would split the field.
        LayoutCase{true, -1, 5, "my tag", 0, -123456, "[job 9]", "-1", "-", "my_tag#5",
                   "[job 9] copied 7 of files"},
        LayoutCase{false, 0, 0, nullptr, 0, 0, "", "-", "-", "-", "copied 7 of files"},
        LayoutCase{false, 0, -3, "", 12, 0, nullptr, "-", "-", "-:12#-3", "copied 7 of files"}));

// A tag is one field of at most 256 bytes, copied and turned in one pass: blanks, control
// characters and DEL become '_', other bytes stay, and a cut falls between characters.
TEST_F(CHbLoggerTest, ATagBecomesOneFieldOfWholeCharacters) {
    std::string euros;
    for (int i = 0; i < 100; ++i)
        euros += "\xE2\x82\xAC";  // 300 bytes of three-byte characters
    struct {
        std::string tag;
        std::string field;
    } cases[] = {
        {"Mover::run", "Mover::run"},
        {"a b\tc\001d\177e\037", "a_b_c_d_e_"},
        {"caf\xC3\xA9::m\xC3\xA4h", "caf\xC3\xA9::m\xC3\xA4h"},
        {std::string(300, 't'), std::string(256, 't')},
        {euros, euros.substr(0, 255)},
    };
    auto writer = Open();
    for (const auto& c : cases)
        writer->LogMessage(0, 0, c.tag.c_str(), 0, 0, nullptr, "text");
    std::vector<std::string> records = Records(LogPath());
    ASSERT_EQ(records.size(), std::size(cases));
    for (std::size_t i = 0; i < records.size(); ++i) {
        ParsedLine parsed;
        ASSERT_TRUE(Parse(records[i], &parsed)) << records[i];
        EXPECT_EQ(parsed.source, cases[i].field) << i;
        EXPECT_EQ(parsed.text, "text") << i;
    }
}

TEST_F(CHbLoggerTest, LineBreaksInAMessageBecomeContinuationLines) {
    auto writer = Open();
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "first\nsecond\r\nthird\n");
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "next");
    std::vector<std::string> records = Records(LogPath());
    ASSERT_EQ(records.size(), 4u);
    ParsedLine parsed;
    ASSERT_TRUE(Parse(records[0], &parsed));
    EXPECT_EQ(parsed.text, "first");
    EXPECT_EQ(records[1], "\tsecond\r");
    EXPECT_EQ(records[2], "\tthird");
    ASSERT_TRUE(Parse(records[3], &parsed));
    EXPECT_EQ(parsed.text, "next");
}

TEST_F(CHbLoggerTest, RawTextIsWrittenAsItIsWithOneLineBreak) {
    auto writer = Open("app", false, -5);
    writer->LogMessage("raw line");
    writer->LogMessage("ends with its own break\n");
    std::string big(40000, 'r');
    writer->LogMessage(big.c_str());
    EXPECT_EQ(kytest::readFile(LogPath()), "raw line\nends with its own break\n" + big + "\n");
}

// --- the message -----------------------------------------------------------------------------

// The writer formats the common conversions itself and hands any other format to
// vsnprintf; either way a message reads as printf would have made it, and one that printf
// refuses says so.
template <class... Args>
std::string Printf(const char* format, Args... args) {
    int length = std::snprintf(nullptr, 0, format, args...);
    if (length < 0)
        return "<message could not be formatted>";
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(&text[0], text.size(), format, args...);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

// Logs one message and returns what printf makes of it.
template <class... Args>
std::string LogAndPrint(CHbLogger& writer, const char* format, Args... args) {
    writer.LogMessage(0, 0, "T", 0, 0, nullptr, format, args...);
    return Printf(format, args...);
}

int g_pointee = 0;
// Null, out of the compiler's sight: printf of a null %s is glibc's "(null)", not a fault.
const char* volatile g_nullText = nullptr;

struct FormatCase {
    const char* what;
    std::string (*logAndPrint)(CHbLogger& writer);
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.what;
}

class CHbLoggerFormatTest : public CHbLoggerTest,
                            public ::testing::WithParamInterface<FormatCase> {};

TEST_P(CHbLoggerFormatTest, MessagesReadAsPrintfMakesThem) {
    auto writer = Open();
    std::string expected = GetParam().logAndPrint(*writer);
    EXPECT_EQ(Texts(LogPath()), std::vector<std::string>{expected});
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CHbLoggerFormatTest,
    ::testing::Values(
        FormatCase{"text alone",
                   [](CHbLogger& w) { return LogAndPrint(w, "no conversions at all", 0); }},
        FormatCase{"strings",
                   [](CHbLogger& w) { return LogAndPrint(w, "[%s] said %s.<%s>", "M", "hi", ""); }},
        FormatCase{"a null string",
                   [](CHbLogger& w) { return LogAndPrint(w, "%s|%s", g_nullText, "x"); }},
        FormatCase{
            "ints",
            [](CHbLogger& w) { return LogAndPrint(w, "%d %i %d %d", 0, -1, INT_MIN, INT_MAX); }},
        FormatCase{"unsigned and hex",
                   [](CHbLogger& w) {
                       return LogAndPrint(w, "%u %x %X %x", UINT_MAX, 0xdeadbeefu, 0xdeadbeefu, 0u);
                   }},
        FormatCase{"longs",
                   [](CHbLogger& w) {
                       return LogAndPrint(w, "%ld %lu %lx %li", LONG_MIN, ULONG_MAX, ULONG_MAX,
                                          LONG_MAX);
                   }},
        FormatCase{"long longs",
                   [](CHbLogger& w) {
                       return LogAndPrint(w, "%lld %llu %llX", LLONG_MIN, ULLONG_MAX,
                                          0xABCDEF0123456789ull);
                   }},
        FormatCase{"sizes",
                   [](CHbLogger& w) {
                       return LogAndPrint(w, "%zu %zd %zx", SIZE_MAX, static_cast<ssize_t>(-5),
                                          std::size_t{255});
                   }},
        FormatCase{"characters and percent signs",
                   [](CHbLogger& w) { return LogAndPrint(w, "%c%c%c 100%%", 'o', 'k', '!'); }},
        FormatCase{"a nul character", [](CHbLogger& w) { return LogAndPrint(w, "a%cb", '\0'); }},
        FormatCase{"flags, widths and precisions",
                   [](CHbLogger& w) {
                       return LogAndPrint(w, "[%5d|%-6s|%.3s|%08x|%+d|% d|%#x|%*d]", 42, "ab",
                                          "abcdef", 255u, 7, 7, 255u, 4, 9);
                   }},
        FormatCase{"other conversions and sizes",
                   [](CHbLogger& w) {
                       return LogAndPrint(w, "%f %e %g %p %hhd %hu %jd", 1.5, 2.5e10, 0.1,
                                          static_cast<void*>(&g_pointee), 300, 70000,
                                          static_cast<intmax_t>(-9));
                   }},
        FormatCase{"wide text",
                   [](CHbLogger& w) {
                       return LogAndPrint(w, "%ls and %lc", L"wide", static_cast<wint_t>(L'x'));
                   }},
        FormatCase{"positional arguments",
                   [](CHbLogger& w) { return LogAndPrint(w, "%2$s %1$s", "world", "hello"); }},
        FormatCase{
            "common conversions before another one",
            [](CHbLogger& w) { return LogAndPrint(w, "%s %d %5.1f %s", "mixed", 3, 2.25, "end"); }},
        FormatCase{"a percent sign at the end",
                   [](CHbLogger& w) { return LogAndPrint(w, "100%", 0); }}));

// The cut notice counts the bytes the whole message would have had, conversions after the
// cut included, whoever formatted it.
TEST_F(CHbLoggerTest, ACutMessageSaysHowLongItWouldHaveBeen) {
    auto writer = Open();
    std::string huge(30000, 'x');
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "%s|%d|%s", huge.c_str(), 12345, "tail");
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "%s|%5d|%s", huge.c_str(), 12345, "tail");
    std::vector<std::string> texts = Texts(LogPath());
    ASSERT_EQ(texts.size(), 2u);
    std::regex cut(R"(^x+ \[message cut: \d+ of 30011 bytes shown\]$)");
    for (const std::string& text : texts)
        EXPECT_TRUE(std::regex_match(text, cut)) << text.substr(text.size() - 60);
}

// --- what a thread keeps between its lines -------------------------------------------------

// The start of a line (process, thread, date and time) is kept per thread and rebuilt once a
// second: it must still name the thread that writes, the process that thread is in after a
// fork(), and the second the line is written in.
TEST_F(CHbLoggerTest, EachLineNamesItsOwnThreadAndProcess) {
    auto writer = Open();
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "main");
    long otherTid = 0;
    std::thread([&] {
        otherTid = static_cast<long>(::gettid());
        writer->LogMessage(0, 0, "T", 0, 0, nullptr, "other");
    }).join();
    std::fflush(nullptr);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writer->LogMessage(0, 0, "T", 0, 0, nullptr, "child");
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "main again");

    const long pid = static_cast<long>(::getpid());
    const long tid = static_cast<long>(::gettid());
    std::map<std::string, std::pair<long, long>> expected = {{"main", {pid, tid}},
                                                             {"other", {pid, otherTid}},
                                                             {"child", {child, child}},
                                                             {"main again", {pid, tid}}};
    std::vector<std::string> records = Records(LogPath());
    ASSERT_EQ(records.size(), expected.size());
    for (const std::string& record : records) {
        ParsedLine parsed;
        ASSERT_TRUE(Parse(record, &parsed)) << record;
        ASSERT_EQ(expected.count(parsed.text), 1u) << record;
        EXPECT_EQ(std::make_pair(parsed.pid, parsed.tid), expected[parsed.text]) << record;
    }
}

std::string LocalSecondNow() {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

TEST_F(CHbLoggerTest, ALineCarriesTheSecondItIsWrittenIn) {
    auto writer = Open();
    std::vector<std::pair<std::string, std::string>> bounds;
    for (int i = 0; i < 2; ++i) {
        if (i == 1) {
            // The second line in the next second: it cannot take the first one's time.
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            while (LocalSecondNow() == bounds[0].second &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::string before = LocalSecondNow();
        writer->LogMessage(0, 0, "T", 0, 0, nullptr, "line %d", i);
        bounds.emplace_back(before, LocalSecondNow());
    }
    ASSERT_NE(bounds[0].second, bounds[1].first) << "the clock did not move on";
    std::vector<std::string> records = Records(LogPath());
    ASSERT_EQ(records.size(), 2u);
    std::regex stamp(R"(^\d+ \d+ (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d{3} .*$)");
    for (std::size_t i = 0; i < records.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(records[i], m, stamp)) << records[i];
        EXPECT_LE(bounds[i].first, m[1].str()) << records[i];
        EXPECT_LE(m[1].str(), bounds[i].second) << records[i];
    }
}

// A line logged while its thread ends (from a thread-local destructor) is written like any
// other, though what the thread kept for its lines is gone by then.
CHbLogger* g_lateWriter = nullptr;

struct LogsWhenDestroyed {
    ~LogsWhenDestroyed() { g_lateWriter->LogMessage(0, 0, "T", 0, 0, nullptr, "from %s", "late"); }
};

TEST_F(CHbLoggerTest, ALineLoggedAsItsThreadEndsIsWritten) {
    auto writer = Open();
    g_lateWriter = writer.get();
    std::thread([] {
        // Made before the thread's first line, so destroyed after what that line set up.
        thread_local LogsWhenDestroyed late;
        (void)late;
        g_lateWriter->LogMessage(0, 0, "T", 0, 0, nullptr, "first");
    }).join();
    EXPECT_EQ(Texts(LogPath()), (std::vector<std::string>{"first", "from late"}));
    EXPECT_EQ(writer->GetDroppedLineCount(), 0u);
}

// --- filtering -------------------------------------------------------------------------------

TEST_F(CHbLoggerTest, WritesLinesUpToItsOwnLevel) {
    auto writer = Open("app", false, 3);
    for (int level : {-1, 0, 3, 4, 10})
        writer->LogMessage(level, 0, "T", 0, 0, nullptr, "level %d", level);
    writer->SetDebugLevel(10);
    writer->LogMessage(10, 0, "T", 0, 0, nullptr, "level %d", 10);
    EXPECT_EQ(Texts(LogPath()),
              (std::vector<std::string>{"level -1", "level 0", "level 3", "level 10"}));
}

// --- the header ------------------------------------------------------------------------------

TEST_F(CHbLoggerTest, HeaderIsWrittenOnceByWhoeverCreatesTheFile) {
    auto writer = Open("app", true);
    writer->SetPlatformInformation("host1", "host1", "client1", "server1", "serverclient1",
                                   "Linux 6.1 x86_64", "192.0.2.7", "11.0.0", "Instance001", "kyd",
                                   4711);
    writer->SetProcessorInformation("2", "x86_64", 8);
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "one");

    std::vector<std::string> header = HeaderLines(LogPath());
    ASSERT_FALSE(header.empty());
    EXPECT_EQ(header.front(), "# Log file: " + LogPath());
    std::string text = kytest::readFile(LogPath());
    EXPECT_EQ(text.rfind("# Log file: ", 0), 0u) << "the header opens the file";
    for (const char* expected :
         {"# Host: host1\n", "# Client: client1\n", "# Central server: server1 (serverclient1)\n",
          "# Operating system: Linux 6.1 x86_64\n", "# Addresses: 192.0.2.7\n",
          "# Product version: 11.0.0\n", "# Instance: Instance001\n",
          "# Processor: x86_64, 8 processor(s), product type 2\n",
          "# Line layout: pid tid date time level job source text\n"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
    }
    EXPECT_NE(text.find(" by kyd (process 4711, thread "), std::string::npos);

    // A second writer on the existing file, and the first one reopening it, add none.
    auto second = Open("app", true);
    second->LogMessage(0, 0, "T", 0, 0, nullptr, "two");
    writer->CloseLogFile(true);
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "three");
    EXPECT_EQ(HeaderLines(LogPath()), header);
    EXPECT_EQ(Texts(LogPath()), (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(CHbLoggerTest, NoHeaderWhenNotAskedFor) {
    auto writer = Open("app", false);
    writer->SetPlatformInformation("h", "h", "c", "", "", "os", "", "", "", "p", 1);
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "one");
    EXPECT_TRUE(HeaderLines(LogPath()).empty());
    EXPECT_EQ(Records(LogPath()).size(), 1u);
}

// --- rollover --------------------------------------------------------------------------------

// Writes numbered lines of about 100 bytes.
void WriteNumbered(CHbLogger& writer, int from, int count) {
    for (int i = from; i < from + count; ++i)
        writer.LogMessage(0, 0, "Roll", 0, 0, nullptr, "seq %06d %s", i,
                          std::string(50, 'x').c_str());
}

int SequenceOf(const std::string& text) {
    int seq = -1;
    std::sscanf(text.c_str(), "seq %d", &seq);
    return seq;
}

struct RolloverCase {
    std::uint32_t versions;
};

void PrintTo(const RolloverCase& c, std::ostream* os) {
    *os << c.versions << " backups";
}

class CHbLoggerRolloverTest : public CHbLoggerTest,
                              public ::testing::WithParamInterface<RolloverCase> {};

TEST_P(CHbLoggerRolloverTest, KeepsTheNewestNumberedBackups) {
    constexpr std::uint64_t kLimit = 4096;
    constexpr int kLines = 300;  // about seven files' worth
    const std::uint32_t versions = GetParam().versions;
    auto writer = Open("app", true);
    writer->SetLogFileSizeBytes(kLimit);
    writer->SetMaxVersions(versions);
    WriteNumbered(*writer, 0, kLines);

    for (std::uint32_t v = 1; v <= versions; ++v)
        EXPECT_TRUE(Exists(LogPath("app", static_cast<int>(v)))) << v;
    EXPECT_FALSE(Exists(LogPath("app", static_cast<int>(versions + 1))));

    // Oldest kept file first: one unbroken run of lines that ends with the last one.
    std::vector<int> sequence;
    for (int v = static_cast<int>(versions); v >= 0; --v) {
        std::string path = LogPath("app", v);
        EXPECT_EQ(HeaderLines(path).size(), HeaderLines(LogPath()).size()) << path;
        if (v > 0) {
            EXPECT_GE(SizeOf(path), kLimit) << path;
            EXPECT_LT(SizeOf(path), kLimit + 200) << path;
        }
        for (const std::string& text : Texts(path))
            sequence.push_back(SequenceOf(text));
    }
    ASSERT_FALSE(sequence.empty());
    EXPECT_EQ(sequence.back(), kLines - 1);
    EXPECT_GT(sequence.front(), 0) << "the oldest lines were removed with their file";
    for (std::size_t i = 1; i < sequence.size(); ++i)
        ASSERT_EQ(sequence[i], sequence[i - 1] + 1) << "at " << i;
}

INSTANTIATE_TEST_SUITE_P(Counts, CHbLoggerRolloverTest,
                         ::testing::Values(RolloverCase{0}, RolloverCase{1}, RolloverCase{3}));

TEST_F(CHbLoggerTest, ASmallerBackupCountRemovesTheFilesBeyondIt) {
    auto writer = Open();
    writer->SetLogFileSizeBytes(2048);
    writer->SetMaxVersions(4);
    WriteNumbered(*writer, 0, 150);
    ASSERT_TRUE(Exists(LogPath("app", 4)));
    writer->SetMaxVersions(2);
    WriteNumbered(*writer, 150, 30);
    EXPECT_TRUE(Exists(LogPath("app", 2)));
    EXPECT_FALSE(Exists(LogPath("app", 3)));
    EXPECT_FALSE(Exists(LogPath("app", 4)));
}

TEST_F(CHbLoggerTest, LimitIsGivenInMegabytesWithFiveByDefault) {
    CHbLogger writer;
    EXPECT_EQ(writer.GetLogFileSize(), 5u);
    writer.SetLogFileSize(12);
    EXPECT_EQ(writer.GetLogFileSize(), 12u);
    writer.SetLogFileSize(0);
    EXPECT_EQ(writer.GetLogFileSize(), 5u);
}

// --- access methods and modes ---------------------------------------------------------------

struct AccessCase {
    int method;
    std::vector<std::string> inMovedFile;
    std::vector<std::string> inNewFile;
};

void PrintTo(const AccessCase& c, std::ostream* os) {
    *os << "access method " << c.method;
}

class CHbLoggerAccessTest : public CHbLoggerTest,
                            public ::testing::WithParamInterface<AccessCase> {};

// The file is moved away from outside after the first line. Reopening per line follows
// the name at once; keeping the file open follows it at the check of the path that comes
// once a second, after the line that finds the second passed.
TEST_P(CHbLoggerAccessTest, FollowsTheNameAccordingToTheMethod) {
    auto writer = Open();
    writer->SetAccessMethod(GetParam().method);
    EXPECT_EQ(writer->GetAccessMethod(), GetParam().method);
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "first");
    std::string moved = dir_.file("moved.log");
    ASSERT_EQ(std::rename(LogPath().c_str(), moved.c_str()), 0);
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "second");
    g_now += 1000;
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "third");
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "fourth");
    EXPECT_EQ(Texts(moved), GetParam().inMovedFile);
    EXPECT_EQ(Texts(LogPath()), GetParam().inNewFile);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, CHbLoggerAccessTest,
    ::testing::Values(
        AccessCase{CHbLogger::kAccessReopenPerLine, {"first"}, {"second", "third", "fourth"}},
        AccessCase{CHbLogger::kAccessKeepOpen, {"first", "second", "third"}, {"fourth"}}));

TEST_F(CHbLoggerTest, AnyOtherAccessMethodKeepsTheFileOpen) {
    CHbLogger writer;
    EXPECT_EQ(writer.GetAccessMethod(), CHbLogger::kAccessKeepOpen);
    writer.SetAccessMethod(CHbLogger::kAccessReopenPerLine);
    writer.SetAccessMethod(7);
    EXPECT_EQ(writer.GetAccessMethod(), CHbLogger::kAccessKeepOpen);
}

TEST_F(CHbLoggerTest, ReopeningPerLineRollsOverToo) {
    auto writer = Open("app", true);
    writer->SetAccessMethod(CHbLogger::kAccessReopenPerLine);
    writer->SetLogFileSizeBytes(2048);
    writer->SetMaxVersions(20);
    WriteNumbered(*writer, 0, 100);
    std::vector<int> sequence;
    for (int v = 20; v >= 0; --v) {
        if (!Exists(LogPath("app", v)))
            continue;
        EXPECT_FALSE(HeaderLines(LogPath("app", v)).empty()) << v;
        for (const std::string& text : Texts(LogPath("app", v)))
            sequence.push_back(SequenceOf(text));
    }
    EXPECT_TRUE(Exists(LogPath("app", 3)));
    ASSERT_EQ(sequence.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(sequence[i], i);
}

struct ImmediateCase {
    CHbLogger::modeOfLogging mode;
    int method;
};

void PrintTo(const ImmediateCase& c, std::ostream* os) {
    *os << "mode " << c.mode << ", access method " << c.method;
}

class CHbLoggerImmediateTest : public CHbLoggerTest,
                               public ::testing::WithParamInterface<ImmediateCase> {};

TEST_P(CHbLoggerImmediateTest, EveryLineIsInTheFileWhenTheCallReturns) {
    auto writer = Open();
    writer->SetLoggingMode(GetParam().mode);
    writer->SetAccessMethod(GetParam().method);
    EXPECT_EQ(writer->GetLoggingMode(), GetParam().mode);
    for (int i = 0; i < 3; ++i) {
        writer->LogMessage(0, 0, "T", 0, 0, nullptr, "line %d", i);
        EXPECT_EQ(Texts(LogPath()).size(), static_cast<std::size_t>(i + 1));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, CHbLoggerImmediateTest,
    ::testing::Values(
        ImmediateCase{CHbLogger::eLoggingModeDefault, CHbLogger::kAccessKeepOpen},
        ImmediateCase{CHbLogger::eLoggingModeDurable, CHbLogger::kAccessKeepOpen},
        ImmediateCase{CHbLogger::eLoggingModeDefault, CHbLogger::kAccessReopenPerLine},
        ImmediateCase{CHbLogger::eLoggingModeDurable, CHbLogger::kAccessReopenPerLine}));

// --- buffered mode ---------------------------------------------------------------------------

enum class FlushTrigger { kClose, kShutdown, kAge, kSize, kLeavingTheMode };

void PrintTo(FlushTrigger trigger, std::ostream* os) {
    static const char* const kNames[] = {"close", "shutdown", "age", "size", "leaving the mode"};
    *os << kNames[static_cast<int>(trigger)];
}

class CHbLoggerBufferedTest : public CHbLoggerTest,
                              public ::testing::WithParamInterface<FlushTrigger> {};

TEST_P(CHbLoggerBufferedTest, GathersWholeLinesUntilAFlush) {
    auto writer = Open();
    writer->SetLoggingMode(CHbLogger::eLoggingModeBuffered);
    for (int i = 0; i < 5; ++i)
        writer->LogMessage(0, 0, "T", 0, 0, nullptr, "buffered %d", i);
    g_now += 999;
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "buffered 5");
    EXPECT_TRUE(Texts(LogPath()).empty());

    std::size_t expected = 6;
    switch (GetParam()) {
        case FlushTrigger::kClose:
            writer->CloseLogFile(true);
            break;
        case FlushTrigger::kShutdown:
            writer->Shutdown();
            EXPECT_TRUE(writer->IsShutdown());
            writer->LogMessage(0, 0, "T", 0, 0, nullptr, "after shutdown");
            writer->LogMessage("raw after shutdown");
            EXPECT_EQ(writer->GetDroppedLineCount(), 2u);
            break;
        case FlushTrigger::kAge:
            g_now += 1;  // the oldest line is now a second old
            writer->LogMessage(0, 0, "T", 0, 0, nullptr, "buffered 6");
            expected = 7;
            break;
        case FlushTrigger::kSize: {
            std::string filler(1000, 'f');
            std::size_t written = 0;
            while (Texts(LogPath()).empty()) {
                writer->LogMessage(0, 0, "T", 0, 0, nullptr, "%s", filler.c_str());
                written += 1;
                ASSERT_LT(written, 80u) << "no flush after 64 KiB";
            }
            EXPECT_GE(written, 60u);
            expected += written;
            break;
        }
        case FlushTrigger::kLeavingTheMode:
            writer->SetLoggingMode(CHbLogger::eLoggingModeDefault);
            break;
    }
    std::vector<std::string> texts = Texts(LogPath());
    ASSERT_EQ(texts.size(), expected);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(texts[i], "buffered " + std::to_string(i));
}

INSTANTIATE_TEST_SUITE_P(Triggers, CHbLoggerBufferedTest,
                         ::testing::Values(FlushTrigger::kClose, FlushTrigger::kShutdown,
                                           FlushTrigger::kAge, FlushTrigger::kSize,
                                           FlushTrigger::kLeavingTheMode));

TEST_F(CHbLoggerTest, BufferedLinesAreWrittenAtProcessExit) {
    std::fflush(nullptr);  // the child must not write the parent's stdio buffers again
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto* writer = new CHbLogger;  // left alive: the exit flush finds it
        writer->Initialize(dir_.path(), "app", 100, false, false);
        writer->SetLoggingMode(CHbLogger::eLoggingModeBuffered);
        writer->LogMessage(0, 0, "T", 0, 0, nullptr, "said before exit");
        std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Texts(LogPath()), std::vector<std::string>{"said before exit"});
}

// A child of fork() inherits the parent's buffered lines; only the parent may write them.
TEST_F(CHbLoggerTest, AForkedChildDoesNotWriteItsParentsBufferedLines) {
    auto writer = Open();
    writer->SetLoggingMode(CHbLogger::eLoggingModeBuffered);
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "from the parent");
    std::fflush(nullptr);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writer->LogMessage(0, 0, "T", 0, 0, nullptr, "from the child");
        writer->CloseLogFile(true);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    writer->CloseLogFile(true);
    EXPECT_EQ(Texts(LogPath()), (std::vector<std::string>{"from the child", "from the parent"}));
}

// --- a file that cannot be opened ------------------------------------------------------------

class CHbLoggerUnopenableTest : public CHbLoggerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CHbLoggerUnopenableTest, DropsLinesAndRetriesOnlyWhenAskedTo) {
    const bool retry = GetParam();
    // Tests run as root, which may write anywhere: a folder below a regular file is what
    // nobody can create.
    std::string blocker = dir_.file("blocker");
    kytest::writeFile(blocker, "not a folder");
    std::string folder = blocker + "/logs";
    CHbLogger writer;
    writer.SetMonotonicClock(&FakeNow);
    writer.SetRetryOnLogOpenFail(retry);
    EXPECT_FALSE(writer.Initialize(folder, "app", 100, true, false));
    EXPECT_FALSE(writer.CanUserWriteToLog());
    EXPECT_NO_THROW(writer.LogMessage(0, 0, "T", 0, 0, nullptr, "lost %d", 1));
    EXPECT_NO_THROW(writer.LogMessage("lost raw"));
    EXPECT_EQ(writer.GetDroppedLineCount(), 2u);

    // The folder becomes usable; within the second nothing is tried.
    ASSERT_EQ(std::remove(blocker.c_str()), 0);
    g_now += 500;
    writer.LogMessage(0, 0, "T", 0, 0, nullptr, "lost %d", 2);
    EXPECT_FALSE(Exists(folder + "/app.log"));
    g_now += 500;
    writer.LogMessage(0, 0, "T", 0, 0, nullptr, "kept");
    if (retry) {
        EXPECT_EQ(Texts(folder + "/app.log"), std::vector<std::string>{"kept"});
        EXPECT_EQ(writer.GetDroppedLineCount(), 3u);
        EXPECT_TRUE(writer.CanUserWriteToLog());
    } else {
        EXPECT_FALSE(Exists(folder + "/app.log"));
        EXPECT_EQ(writer.GetDroppedLineCount(), 4u);
    }
}

INSTANTIATE_TEST_SUITE_P(Retry, CHbLoggerUnopenableTest, ::testing::Bool());

TEST_F(CHbLoggerTest, LinesBeforeInitializeAreDropped) {
    CHbLogger writer;
    writer.LogMessage(0, 0, "T", 0, 0, nullptr, "nowhere to go");
    EXPECT_EQ(writer.GetDroppedLineCount(), 1u);
    EXPECT_FALSE(writer.CanUserWriteToLog());
    EXPECT_FALSE(writer.Initialize(dir_.path(), "", 1, false, false));
}

TEST_F(CHbLoggerTest, CanUserWriteToLogCreatesNoFile) {
    auto writer = Open();
    EXPECT_TRUE(writer->CanUserWriteToLog());
    EXPECT_FALSE(Exists(LogPath()));
}

// --- what a writer holds ---------------------------------------------------------------------

// Lines of /proc/self/maps that map a file below `folder`.
int MappingsBelow(const std::string& folder) {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);)
        count += line.find(folder + "/") != std::string::npos ? 1 : 0;
    return count;
}

// A process that opens and closes a log per job must end where it started: a closed
// writer keeps neither a descriptor nor a mapping of its log's files.
TEST_F(CHbLoggerTest, AClosedWriterKeepsNoDescriptorOrMapping) {
    constexpr int kJobs = 50;
    const int before = kytest::openDescriptorCount();
    std::vector<std::unique_ptr<CHbLogger>> writers;
    for (int job = 0; job < kJobs; ++job) {
        writers.push_back(Open("job" + std::to_string(job), true));
        writers.back()->LogMessage(0, 0, "T", 0, 0, nullptr, "job %d", job);
        EXPECT_GT(MappingsBelow(dir_.path()), 0);
        writers.back()->CloseLogFile(true);
    }
    EXPECT_EQ(kytest::openDescriptorCount(), before);
    EXPECT_EQ(MappingsBelow(dir_.path()), 0);

    // A closed writer attaches again at its next line, rollover included.
    CHbLogger& first = *writers.front();
    first.SetLogFileSizeBytes(1);
    first.LogMessage(0, 0, "T", 0, 0, nullptr, "job 0 again");
    EXPECT_EQ(Texts(LogPath("job0", 1)), (std::vector<std::string>{"job 0", "job 0 again"}));
    EXPECT_TRUE(Texts(LogPath("job0")).empty());
    EXPECT_FALSE(HeaderLines(LogPath("job0")).empty()) << "the rollover made a new file";
    EXPECT_EQ(first.GetDroppedLineCount(), 0u);
    first.CloseLogFile(false);
    EXPECT_EQ(kytest::openDescriptorCount(), before);
    writers.clear();
    EXPECT_EQ(kytest::openDescriptorCount(), before);
}

// The log folder may be writable by others: links planted under the names the writer
// uses must never make it write to, grow or truncate what they point at.
struct PlantedLinkCase {
    const char* what;
    std::vector<std::string> (*names)();  // the links' names in the log folder
    bool linesKept;                       // whether the log still gets its lines
};

void PrintTo(const PlantedLinkCase& c, std::ostream* os) {
    *os << "a link named like the " << c.what;
}

class CHbLoggerPlantedLinkTest : public CHbLoggerTest,
                                 public ::testing::WithParamInterface<PlantedLinkCase> {};

TEST_P(CHbLoggerPlantedLinkTest, LeavesTheTargetUntouched) {
    const std::string folder = dir_.file("logs");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::string target = dir_.file("precious");
    const std::string precious = "precious bytes\n";
    kytest::writeFile(target, precious);
    std::vector<std::string> links;
    for (const std::string& name : GetParam().names()) {
        links.push_back(folder + "/" + name);
        ASSERT_EQ(::symlink(target.c_str(), links.back().c_str()), 0);
    }

    CHbLogger writer;
    writer.SetMonotonicClock(&FakeNow);
    EXPECT_EQ(writer.Initialize(folder, "app", 100, true, false), GetParam().linesKept);
    writer.SetLogFileSizeBytes(200);  // each line rolls the file: the files are made anew
    writer.SetMaxVersions(2);
    for (int i = 0; i < 10; ++i)
        writer.LogMessage(0, 0, "T", 0, 0, nullptr, "line %d of a log that rolls over", i);
    writer.CloseLogFile(true);

    EXPECT_EQ(kytest::readFile(target), precious);
    for (const std::string& link : links) {
        struct stat st;
        ASSERT_EQ(::lstat(link.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << link << " was replaced";
    }
    if (GetParam().linesKept) {
        EXPECT_EQ(writer.GetDroppedLineCount(), 0u);
        EXPECT_EQ(Texts(folder + "/app.log.2"),
                  std::vector<std::string>{"line 8 of a log that rolls over"});
        EXPECT_EQ(Texts(folder + "/app.log.1"),
                  std::vector<std::string>{"line 9 of a log that rolls over"});
        EXPECT_EQ(HeaderLines(folder + "/app.log").front(), "# Log file: " + folder + "/app.log");
    } else {
        EXPECT_EQ(writer.GetDroppedLineCount(), 10u);
        EXPECT_EQ(writer.GetLastOpenError(), ELOOP);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, CHbLoggerPlantedLinkTest,
    ::testing::Values(
        PlantedLinkCase{"log", [] { return std::vector<std::string>{"app.log"}; }, false},
        PlantedLinkCase{"lock file", [] { return std::vector<std::string>{".app.lock"}; }, true},
        // The first names a header's temporary file of this process would take.
        PlantedLinkCase{"header's temporary file",
                        [] {
                            std::string stem = ".app." + std::to_string(::getpid());
                            return std::vector<std::string>{stem + ".new", stem + ".0.new"};
                        },
                        true}));

// --- durable mode ------------------------------------------------------------------------------

// A pipe takes lines but cannot be synced: the line is there, yet not durable, and must
// not be counted as safely written.
TEST_F(CHbLoggerTest, ADurableLineThatCannotBeSyncedCountsAsDropped) {
    ASSERT_EQ(::mkfifo(LogPath().c_str(), 0600), 0);
    int reader = ::open(LogPath().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    auto writer = Open();
    writer->SetLoggingMode(CHbLogger::eLoggingModeDurable);
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "not synced");
    EXPECT_EQ(writer->GetDroppedLineCount(), 1u);
    writer->SetLoggingMode(CHbLogger::eLoggingModeDefault);
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "written");
    EXPECT_EQ(writer->GetDroppedLineCount(), 1u);
    char text[4096];
    ssize_t got = ::read(reader, text, sizeof text);
    ASSERT_GT(got, 0);
    std::string seen(text, static_cast<std::size_t>(got));
    EXPECT_NE(seen.find("not synced"), std::string::npos);
    EXPECT_NE(seen.find("written"), std::string::npos);
    writer.reset();
    ::close(reader);
}

// Folder syncs the writer asks for, seen by standing in for fsync(2): this binary's own
// definition comes before the C library's for every caller in the process.
std::atomic<int> g_folderSyncs{0};

}  // namespace

extern "C" int fsync(int fd) {
    using Fsync = int (*)(int);
    static const auto next = reinterpret_cast<Fsync>(::dlsym(RTLD_NEXT, "fsync"));
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        ++g_folderSyncs;
    return next(fd);
}

namespace {

// In durable mode a new file's name (and a rollover's renames) reach the disk with it.
TEST_F(CHbLoggerTest, DurableModeSyncsTheFolderAfterMakingAFile) {
    for (bool durable : {false, true}) {
        SCOPED_TRACE(durable ? "durable" : "default");
        const std::string name = durable ? "durable" : "plain";
        auto writer = Open(name, true);
        writer->SetLoggingMode(durable ? CHbLogger::eLoggingModeDurable
                                       : CHbLogger::eLoggingModeDefault);
        writer->SetLogFileSizeBytes(300);
        const int before = g_folderSyncs;
        writer->LogMessage(0, 0, "T", 0, 0, nullptr, "the first line makes the file");
        const int afterCreate = g_folderSyncs;
        for (int i = 0; i < 5; ++i)
            writer->LogMessage(0, 0, "T", 0, 0, nullptr, "line %d fills the file to roll it", i);
        ASSERT_TRUE(Exists(LogPath(name, 1)));
        if (durable) {
            EXPECT_GT(afterCreate, before);
            EXPECT_GT(g_folderSyncs.load(), afterCreate) << "rollovers made files too";
        } else {
            EXPECT_EQ(g_folderSyncs.load(), before);
        }
    }
}

// --- buffered mode and time ----------------------------------------------------------------

// Nothing more is logged: the flusher, not a next line, writes the aged line.
TEST_F(CHbLoggerTest, AQuietProcessStillGetsItsBufferedLinesWritten) {
    auto writer = Open();
    writer->SetLoggingMode(CHbLogger::eLoggingModeBuffered);
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "the last word");
    EXPECT_TRUE(Texts(LogPath()).empty());
    g_now += 1000;  // a second old by the writer's clock
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Texts(LogPath()).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Texts(LogPath()), std::vector<std::string>{"the last word"});
}

char ThreadState(long tid) {
    std::string stat = kytest::readFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

// While one thread's flush is stuck in write(2) (a pipe nobody reads), other threads keep
// adding lines to the buffer without waiting for it.
TEST_F(CHbLoggerTest, AddingABufferedLineNeverWaitsForTheDisk) {
    ASSERT_EQ(::mkfifo(LogPath().c_str(), 0600), 0);
    int reader = ::open(LogPath().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    int filler = ::open(LogPath().c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(filler, 0);
    std::string block(4096, 'f');
    while (::write(filler, block.data(), block.size()) > 0) {
    }
    ::close(filler);  // the pipe stays full while the reader is open

    auto writer = Open();
    writer->SetLoggingMode(CHbLogger::eLoggingModeBuffered);
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "stuck in the flush");
    std::atomic<long> flusherTid{0};
    std::thread flusher([&] {
        flusherTid = static_cast<long>(::gettid());
        writer->CloseLogFile(true);
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((flusherTid == 0 || ThreadState(flusherTid) != 'S') &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(ThreadState(flusherTid), 'S') << "the flush never blocked";

    std::atomic<bool> added{false};
    std::thread adder([&] {
        writer->LogMessage(0, 0, "T", 0, 0, nullptr, "added meanwhile");
        added = true;
    });
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!added && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(added) << "a line waited for another thread's write";

    // Drain the pipe until the writer is gone, then check both lines came through.
    std::string drained;
    std::atomic<bool> finished{false};
    std::thread drainer([&] {
        char text[65536];
        for (;;) {
            ssize_t got = ::read(reader, text, sizeof text);
            if (got > 0)
                drained.append(text, static_cast<std::size_t>(got));
            else if (finished)
                return;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    flusher.join();
    adder.join();
    writer.reset();  // writes "added meanwhile"
    finished = true;
    drainer.join();
    ::close(reader);
    EXPECT_NE(drained.find("stuck in the flush"), std::string::npos);
    EXPECT_NE(drained.find("added meanwhile"), std::string::npos);
}

// --- long messages ---------------------------------------------------------------------------

TEST_F(CHbLoggerTest, ALongMessageIsCutAndSaysSo) {
    auto writer = Open();
    std::string huge(100000, 'x');
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "%s", huge.c_str());
    writer->LogMessage(0, 0, "T", 0, 0, "prefix", "%s", huge.c_str());
    writer->LogMessage(0, 0, "T", 0, 0, nullptr, "after");
    std::vector<std::string> records = Records(LogPath());
    ASSERT_EQ(records.size(), 3u);
    std::regex cut(R"(^x+ \[message cut: (\d+) of 100000 bytes shown\]$)");
    for (int i = 0; i < 2; ++i) {
        ParsedLine parsed;
        ASSERT_TRUE(Parse(records[i], &parsed));
        std::string text = i == 0 ? parsed.text : parsed.text.substr(std::strlen("prefix "));
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, cut)) << text.substr(text.size() - 80);
        EXPECT_EQ(std::stoul(m[1]), text.find(' '));
        EXPECT_GT(records[i].size(), 8000u);
        EXPECT_LT(records[i].size(), 16u * 1024);
    }
    ParsedLine parsed;
    ASSERT_TRUE(Parse(records[2], &parsed));
    EXPECT_EQ(parsed.text, "after");
}

TEST_F(CHbLoggerTest, ACutNeverSplitsACharacter) {
    auto writer = Open();
    // Three-byte characters after one, two and three ASCII bytes: the cut falls at every
    // offset within a character.
    for (int shift = 1; shift <= 3; ++shift) {
        std::string text(static_cast<std::size_t>(shift), 'a');
        for (int i = 0; i < 10000; ++i)
            text += "\xE2\x82\xAC";  // the euro sign
        writer->LogMessage(0, 0, "T", 0, 0, nullptr, "%s", text.c_str());
    }
    for (const std::string& text : Texts(LogPath())) {
        std::size_t cut = text.find(" [message cut:");
        ASSERT_NE(cut, std::string::npos);
        std::size_t euros = cut - text.find('\xE2');
        EXPECT_EQ(euros % 3, 0u) << "a character was split";
    }
}

// --- the lock name ---------------------------------------------------------------------------

TEST_F(CHbLoggerTest, LockNameIsOneHiddenFileBesideTheLogPerLog) {
    std::string expected;
    CHbLogger::GetLockName("app", dir_.path(), expected);
    for (const std::string& spelling : {dir_.path() + "/", dir_.path() + "\\", dir_.path() + "/./",
                                        dir_.path() + "//", dir_.path() + "/sub/.."}) {
        std::string name;
        CHbLogger::GetLockName("app", spelling, name);
        EXPECT_EQ(name, expected) << spelling;
    }
    EXPECT_EQ(expected.rfind(dir_.path() + "/.", 0), 0u) << expected;
    EXPECT_EQ(expected.find(".log"), std::string::npos) << "pruning would take it for a log";
    std::string other;
    CHbLogger::GetLockName("app2", dir_.path(), other);
    EXPECT_NE(other, expected);

    auto writer = Open();
    EXPECT_EQ(writer->GetLockName(), expected);
    EXPECT_EQ(writer->GetAppName(), "app");
    EXPECT_EQ(writer->GetLogFilePath(), LogPath());
}

// --- the system log --------------------------------------------------------------------------

std::vector<std::string> g_syslogTexts;
void RecordSyslog(const char* text) {
    g_syslogTexts.push_back(text);
}

TEST_F(CHbLoggerTest, SyslogTextsGoToTheInstalledCallback) {
    g_syslogTexts.clear();
    CHbLogger writer;
    writer.LogMessageSyslog("nobody listens");
    writer.SetSyslogCallback(&RecordSyslog);
    writer.LogMessageSyslog("kyd:This log file is not found");
    EXPECT_EQ(g_syslogTexts, std::vector<std::string>{"kyd:This log file is not found"});
    EXPECT_NO_THROW(CHbLogger::SyslogToSystemLog("a test of the system log"));
}

// --- under load ------------------------------------------------------------------------------

// Every "W<writer> S<sequence> <payload>" line of all files of a log, checked whole.
struct LoadCheck {
    std::map<int, std::vector<int>> sequences;  // per writer, oldest file first
    std::vector<std::string> bad;
};

std::string Payload(int writer, int seq) {
    return std::string(60, static_cast<char>('a' + (writer * 7 + seq) % 26));
}

// A rolled file holds about one limit's worth: lines that writers still had on their way
// when it rolled make it a little longer, and count toward its successor, which then rolls
// a little early. Much more means a writer stayed on an old file; much less, a second
// rollover of one full file.
constexpr std::uint64_t kRolledSlack = 16 * 1024;

LoadCheck CheckLoad(const std::string& base, int maxVersions, std::uint64_t limit) {
    LoadCheck check;
    std::regex shape(R"(^W(\d+) S(\d+) ([a-z]+)$)");
    for (int v = maxVersions; v >= 0; --v) {
        std::string path = v == 0 ? base : base + "." + std::to_string(v);
        if (!Exists(path))
            continue;
        std::string text = kytest::readFile(path);
        if (text.rfind("# Log file: ", 0) != 0 || HeaderLines(path).size() != 3)
            check.bad.push_back(path + ": not exactly one header, at the start");
        if (v > 0 && (text.size() + kRolledSlack < limit || text.size() > limit + kRolledSlack))
            check.bad.push_back(path + ": rolled at " + std::to_string(text.size()) + " bytes");
        for (const std::string& record : Records(path)) {
            ParsedLine parsed;
            std::smatch m;
            if (!Parse(record, &parsed) || !std::regex_match(parsed.text, m, shape)) {
                check.bad.push_back(path + ": " + record.substr(0, 200));
                continue;
            }
            int writer = std::stoi(m[1]);
            int seq = std::stoi(m[2]);
            if (m[3] != Payload(writer, seq))
                check.bad.push_back(path + ": torn " + record.substr(0, 200));
            check.sequences[writer].push_back(seq);
        }
    }
    return check;
}

// Each writer's lines appear exactly once, in the order it wrote them, across the files
// from the oldest to the current one.
void ExpectEveryLineOnceInOrder(const LoadCheck& check, int writers, int lines) {
    for (const std::string& bad : check.bad)
        ADD_FAILURE() << bad;
    ASSERT_EQ(check.sequences.size(), static_cast<std::size_t>(writers));
    for (const auto& [writer, seqs] : check.sequences) {
        ASSERT_EQ(seqs.size(), static_cast<std::size_t>(lines)) << "writer " << writer;
        for (int i = 0; i < lines; ++i)
            ASSERT_EQ(seqs[i], i) << "writer " << writer;
    }
}

void Hammer(CHbLogger& writer, int id, int lines) {
    for (int seq = 0; seq < lines; ++seq)
        writer.LogMessage(0, 0, "Load", 0, 0, nullptr, "W%d S%d %s", id, seq,
                          Payload(id, seq).c_str());
}

TEST_F(CHbLoggerTest, ThreadsShareOneWriterThroughRollovers) {
    constexpr int kThreads = 4;
    constexpr int kLines = 5000;
    constexpr int kVersions = 200;
    constexpr std::uint64_t kLimit = 64 * 1024;
    auto writer = Open("threads", true);
    writer->SetLogFileSizeBytes(kLimit);
    writer->SetMaxVersions(kVersions);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&writer, t] { Hammer(*writer, t, kLines); });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_TRUE(Exists(LogPath("threads", 20)));
    EXPECT_EQ(writer->GetDroppedLineCount(), 0u);
    ExpectEveryLineOnceInOrder(CheckLoad(LogPath("threads"), kVersions, kLimit), kThreads, kLines);
}

// What a thread is blocked in right now: the number of the system call it waits in, or -1
// while it runs.
long BlockedSyscallOf(long tid) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return file >> number ? number : -1;
}

// Lines are written without a lock: closing the file must still wait for a line on its way,
// or the descriptor it lets go of, reused by then for another file, would take the line
// there. A FIFO under the log's name holds a line back once it is full, with its thread
// inside write(2).
TEST_F(CHbLoggerTest, ClosingWaitsForALineOnItsWay) {
    ASSERT_EQ(::mkfifo(LogPath().c_str(), 0600), 0);
    int reader = ::open(LogPath().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    auto writer = Open();
    std::atomic<long> writingTid{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    std::thread lines([&] {
        writingTid = static_cast<long>(::gettid());
        for (int i = 0; !stop; ++i)
            writer->LogMessage(0, 0, "T", 0, 0, nullptr, "line %d", i);
        finished = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((writingTid == 0 || BlockedSyscallOf(writingTid) != SYS_write) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(BlockedSyscallOf(writingTid), SYS_write) << "the line was never held back";

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        writer->CloseLogFile(false);
        closed = true;
    });
    // Closing returns in microseconds when it does not wait; give it ample time to.
    auto grace = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (!closed && std::chrono::steady_clock::now() < grace)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(closed) << "closed while a line was being written";

    stop = true;
    char sink[65536];
    while (!finished || !closed)
        if (::read(reader, sink, sizeof sink) <= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lines.join();
    closer.join();
    writer->CloseLogFile(false);
    ::close(reader);
    EXPECT_EQ(writer->GetDroppedLineCount(), 0u);
}

TEST_F(CHbLoggerTest, ProcessesShareOneLogThroughRollovers) {
    constexpr int kProcesses = 4;
    constexpr int kLines = 20000;
    constexpr int kVersions = 100;  // 80,000 lines of ~110 bytes roll about 35 times
    constexpr std::uint64_t kLimit = 256 * 1024;
    std::fflush(nullptr);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int code = 0;
            {
                CHbLogger writer;
                if (!writer.Initialize(dir_.path(), "shared", 100, true, false))
                    code = 2;
                writer.SetLogFileSizeBytes(kLimit);
                writer.SetMaxVersions(kVersions);
                Hammer(writer, p, kLines);
                if (writer.GetDroppedLineCount() != 0)
                    code = 3;
            }
            ::_exit(code);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_TRUE(Exists(LogPath("shared", 20)));
    EXPECT_FALSE(Exists(LogPath("shared", kVersions))) << "more rollovers than expected";
    ExpectEveryLineOnceInOrder(CheckLoad(LogPath("shared"), kVersions, kLimit), kProcesses, kLines);
}

}  // namespace
