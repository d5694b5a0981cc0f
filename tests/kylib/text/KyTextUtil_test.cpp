#include "kylib/text/KyTextUtil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kylib/diagnostics/EvDebug.h"
#include "kylib/diagnostics/KYTDebuggable.h"
#include "os/registry/Registry.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "tests/support/TempDir.h"

namespace {

// Every case gets a private store: the helpers log through the debug log, which reads
// its settings from there.
class TextTest : public kytest::StoreTest {};

std::string runCommand(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0)
        out.append(chunk, n);
    ::pclose(pipe);
    return out;
}

std::set<std::string> entriesOf(const std::string& dir) {
    std::set<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.insert(name);
    }
    ::closedir(d);
    return names;
}

// Sets TZ for one scope and puts back what was there.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        const char* old = std::getenv("TZ");
        m_had = old != nullptr;
        if (m_had)
            m_old = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (m_had)
            ::setenv("TZ", m_old.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    bool m_had;
    std::string m_old;
};

// ---- trim -------------------------------------------------------------------------

TEST_F(TextTest, TrimRemovesTrailingBlanksAndControlsOnly) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"ab \t\n", "ab"},
        {"  ab", "  ab"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},  // bytes from 0x80 are text, not blanks
        {"caf\xc3\xa9 \r\n", "caf\xc3\xa9"},
        {"ab\x7f", "ab\x7f"},
        {"a\x01\x1f\x20", "a"},
        {" \t\n", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        std::vector<char> buf(c.in, c.in + std::strlen(c.in) + 1);
        EXPECT_EQ(trim(buf.data()), buf.data());
        EXPECT_STREQ(buf.data(), c.out) << "in [" << c.in << "]";
    }
    EXPECT_EQ(trim(nullptr), nullptr);
}

// ---- Strcasecmp ---------------------------------------------------------------------

TEST_F(TextTest, StrcasecmpEdgeCases) {
    struct Case {
        const char* a;
        const char* b;
        int result;
    };
    const Case cases[] = {
        {"abc", "ABC", 0},  {"a", "ab", -1},    {"ab", "a", 1},         {"", "x", 1},
        {"x", "", -1},      {"", "", 0},        {"abd", "ABC", 1},      {"ABC", "abd", -1},
        {nullptr, "a", -1}, {"a", nullptr, -1}, {nullptr, nullptr, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Strcasecmp(c.a, c.b), c.result)
            << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)");
}

TEST_F(TextTest, StrcasecmpHasTheSignOfTheCLibraryOnLetters) {
    std::mt19937 random(12345);
    const char letters[] = "abcxyzABCXYZ";
    auto word = [&] {
        std::string w(1 + random() % 4, 'a');
        for (char& ch : w)
            ch = letters[random() % (sizeof(letters) - 1)];
        return w;
    };
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    for (int i = 0; i < 2000; ++i) {
        std::string a = word();
        std::string b = word();
        EXPECT_EQ(Strcasecmp(a.c_str(), b.c_str()), sign(::strcasecmp(a.c_str(), b.c_str())))
            << a << " vs " << b;
    }
}

// ---- KyDuration, FormatTime, FormatBytes ----------------------------------------------

TEST_F(TextTest, KyDurationFitsItsFieldsForAnyValue) {
    struct Case {
        __int64 seconds;
        const char* text;
    };
    const Case cases[] = {
        {3725, "     1:02:05"},
        {0, "     0:00:00"},
        {59, "     0:00:59"},
        {-1, "     0:00:00"},  // used to print the 20-digit unsigned value
        {LLONG_MIN, "     0:00:00"},
        {999999LL * 3600 + 3599, "999999:59:59"},
        {LLONG_MAX, "999999:59:59"},
    };
    for (const Case& c : cases) {
        char buf[64];
        std::memset(buf, 'G', sizeof(buf));
        EXPECT_EQ(KyDuration(c.seconds, buf), buf);
        EXPECT_STREQ(buf, c.text) << c.seconds;
        for (size_t i = std::strlen(buf) + 1; i < sizeof(buf); ++i)
            ASSERT_EQ(buf[i], 'G') << "byte " << i << " for " << c.seconds;
    }
    EXPECT_EQ(KyDuration(10, nullptr), nullptr);
}

TEST_F(TextTest, FormatTimePicksTheUnitOnTheMagnitude) {
    struct Case {
        double seconds;
        const char* text;
    };
    const Case cases[] = {
        {0.0015, "1.50 ms"}, {2.5, "2.50 s"},       {0.5, "500.00 ms"},      {1e-6, "1.00 us"},
        {2.5e-9, "2.50 ns"}, {1e-12, "0.00 ns"},    {0.0, "0.00 s"},         {-0.0015, "-1.50 ms"},
        {-2.0, "-2.00 s"},   {1234.5, "1234.50 s"}, {std::nan(""), "nan s"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatTime(c.seconds), c.text) << c.seconds;
}

TEST_F(TextTest, FormatBytesStepsBy1024) {
    struct Case {
        ULONGLONG bytes;
        const char* text;
    };
    const Case cases[] = {
        {0, "0.00 B"},
        {1023, "1023.00 B"},
        {1024, "1.00 KB"},
        {1536, "1.50 KB"},
        {1024ULL * 1024 * 1024 * 5 / 2, "2.50 GB"},
        {1ULL << 50, "1.00 PB"},
        {ULLONG_MAX, "16384.00 PB"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatBytes(c.bytes), c.text) << c.bytes;
}

// ---- Versions -----------------------------------------------------------------------

TEST_F(TextTest, VersionFormsAreRecognised) {
    struct Case {
        const char* text;
        bool ok;
        int major, servicePack, hotFix, update, form;
    };
    const Case cases[] = {
        {"36", true, -1, 36, -1, -1, 2},
        {"0x10", true, -1, 16, -1, -1, 2},
        {"4294967296", true, -1, INT_MAX, -1, -1, 2},  // clamped, not wrapped to 0
        {"11.24.08", true, 11, 24, -1, 8, 5},          // zero-padded decimal, not octal
        {"11.09.010", true, 11, 9, -1, 10, 5},
        {"0x0B.24.8", true, 11, 24, -1, 8, 5},
        {"11.0.80.3", true, 11, 8, -1, 3, 3},
        {"11.0.2000.3", true, 11, 200, -1, 3, 3},
        {"11.0.2001.3", true, 11, 2001, -1, 3, 4},
        {"11SP2b", true, 11, 2, 2, -1, 6},
        {"11 SP16a", true, 11, 16, 1, -1, 6},
        {"10SP5B", true, 10, 5, 2, -1, 6},
        {"11SP16+", true, 11, 16, -1, -1, 6},
        {"", false, -1, -1, -1, -1, -1},
        {"abc", false, -1, -1, -1, -1, -1},
        {"1.2", false, -1, -1, -1, -1, -1},
        {"1.2.3.4.5", false, -1, -1, -1, -1, -1},
        {"11.x.3", false, -1, -1, -1, -1, -1},
        {"11..3", false, -1, -1, -1, -1, -1},
    };
    for (const Case& c : cases) {
        KyStdVersion v;
        EXPECT_EQ(GetAllInfoFromVersionStr(c.text, v), c.ok) << c.text;
        EXPECT_EQ(v.majorVersion, c.major) << c.text;
        EXPECT_EQ(v.servicePack, c.servicePack) << c.text;
        EXPECT_EQ(v.hotFix, c.hotFix) << c.text;
        EXPECT_EQ(v.update, c.update) << c.text;
        EXPECT_EQ(v.form, c.form) << c.text;
        EXPECT_EQ(v.minorVersion, -1) << c.text;
        EXPECT_EQ(GetInfoFromVersionStr(c.text, VERSION_MAJOR), c.major) << c.text;
        EXPECT_EQ(GetInfoFromVersionStr(c.text, VERSION_SERVICE_PACK), c.servicePack) << c.text;
        EXPECT_EQ(GetInfoFromVersionStr(c.text, VERSION_HOTFIX), c.hotFix) << c.text;
        EXPECT_EQ(GetInfoFromVersionStr(c.text, VERSION_UPDATE), c.update) << c.text;
        EXPECT_EQ(GetInfoFromVersionStr(c.text, static_cast<VersionFields>(1)), -1) << c.text;
    }
}

TEST_F(TextTest, FormatKyStdVersionStringNeedsMajorServicePackAndUpdate) {
    KyStdVersion v;
    ASSERT_TRUE(GetAllInfoFromVersionStr("11.24.08", v));
    EXPECT_EQ(FormatKyStdVersionString(v), "11.24.8");
    v.update = 0;
    EXPECT_EQ(FormatKyStdVersionString(v), "11.24.0");
    v.majorVersion = 0;
    EXPECT_EQ(FormatKyStdVersionString(v), "");
    ASSERT_TRUE(GetAllInfoFromVersionStr("36", v));
    EXPECT_EQ(FormatKyStdVersionString(v), "");
}

TEST_F(TextTest, CompareSPVersion) {
    struct Case {
        int a, b;
        SP_VERSION_COMPARE result;
    };
    const Case cases[] = {
        {3612, 36, SP_VERSION_NEWER}, {36, 36, SP_VERSION_EQUAL},   {3600, 36, SP_VERSION_EQUAL},
        {36, 3612, SP_VERSION_OLDER}, {3512, 36, SP_VERSION_OLDER}, {999, 1000, SP_VERSION_NEWER},
        {0, 0, SP_VERSION_EQUAL},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CompareSPVersion(c.a, c.b), c.result) << c.a << " vs " << c.b;
    EXPECT_EQ(CompareSPVersion(std::string("11.24.08"), std::string("11.23.9")), SP_VERSION_NEWER);
    EXPECT_EQ(CompareSPVersion(std::string("11.24.08"), std::string("24")), SP_VERSION_EQUAL);
    EXPECT_EQ(CompareSPVersion(std::string("abc"), std::string("24")), SP_VERSION_INVALID);
    EXPECT_EQ(CompareSPVersion(std::string("24"), std::string("")), SP_VERSION_INVALID);
    EXPECT_EQ(CompareSPVersion(std::string("11SP36"), 3612), SP_VERSION_OLDER);
    EXPECT_EQ(CompareSPVersion(std::string("nothing"), 36), SP_VERSION_INVALID);
}

// ---- Mangled host names -------------------------------------------------------------

TEST_F(TextTest, MangleLeavesOutTrailingEmptyFieldsAndRoundTrips) {
    struct Case {
        const char* host;
        const char* client;
        int first, second;
        const char* extra;
        const char* mangled;
    };
    const Case cases[] = {
        {"hostA", "clientB", 0, 0, nullptr, "hostA*clientB"},
        {"hostA", "clientB", 8400, 0, nullptr, "hostA*clientB*8400"},
        {"hostA", "clientB", 8400, 1, nullptr, "hostA*clientB*8400*1"},
        {"hostA", "", 0, 0, nullptr, "hostA"},
        {"hostA", "", 0, 5, nullptr, "hostA**0*5"},
        {"hostA", "c", -3, 0, "", "hostA*c*-3"},
        {"hostA", "c", 0, 0, "x", "hostA*c*0*0*x"},
        {"hostA", "c", 1, 2, "x*y**", "hostA*c*1*2*x*y**"},  // the extra keeps its "*"
        {"", "c", INT_MIN, INT_MAX, nullptr, "*c*-2147483648*2147483647"},
    };
    for (const Case& c : cases) {
        std::string mangled = MangleHostName(c.host, c.client, c.first, c.second, c.extra);
        EXPECT_EQ(mangled, c.mangled);
        std::string host, client, extra;
        int first = 7, second = 7;
        DemangleHostName(mangled.c_str(), host, client, first, second, extra);
        EXPECT_EQ(host, c.host) << mangled;
        EXPECT_EQ(client, c.client) << mangled;
        EXPECT_EQ(first, c.first) << mangled;
        EXPECT_EQ(second, c.second) << mangled;
        EXPECT_EQ(extra, c.extra ? c.extra : "") << mangled;
        EXPECT_EQ(GetHostNameFromMangledHostName(mangled.c_str()), c.host);
        EXPECT_EQ(GetClientNameFromMangledHostName(mangled.c_str()), c.client);
    }
    EXPECT_EQ(MangleHostName(nullptr, nullptr, 0, 0), "");
    EXPECT_EQ(MangleHostName(nullptr, "c", 0, 0), "*c");
}

TEST_F(TextTest, MangleRefusesAStarInHostOrClient) {
    EXPECT_EQ(MangleHostName("ho*st", "c", 1, 2, "x"), "");
    EXPECT_EQ(MangleHostName("host", "cl*ient", 1, 2), "");
}

TEST_F(TextTest, DemangleReadsWhatIsThere) {
    std::string host = "old", client = "old", extra = "old";
    int first = 7, second = 7;
    DemangleHostName(nullptr, host, client, first, second, extra);
    EXPECT_EQ(host, "");
    EXPECT_EQ(client, "");
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(extra, "");

    DemangleHostName("h*c*99999999999*-99999999999*e", host, client, first, second, extra);
    EXPECT_EQ(first, INT_MAX);
    EXPECT_EQ(second, INT_MIN);
    DemangleHostName("h*c*abc*12xyz", host, client, first, second);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 12);

    // Null outputs are skipped, the others still filled.
    int onlySecond = 0;
    DemangleHostName("h*c*1*2*e", nullptr, nullptr, nullptr, &onlySecond, nullptr);
    EXPECT_EQ(onlySecond, 2);
    EXPECT_EQ(GetHostNameFromMangledHostName(nullptr), "");
}

// ---- KyTime -------------------------------------------------------------------------

TEST_F(TextTest, KyTimeLocaleZeroMatchesLocalTimeUnderTwoZones) {
    const char* zones[] = {"UTC0", "XST-5:30"};
    const long times[] = {1, 86399, 1704459845, 2147483647};
    for (const char* zone : zones) {
        ScopedTimeZone tz(zone);
        for (long t : times) {
            char buf[21];
            ASSERT_EQ(KyTime(t, buf, 0, false), buf);
            std::string expected = runCommand(std::string("TZ=") + zone + " date -d @" +
                                              std::to_string(t) + " '+%Y/%m/%d %H:%M:%S '");
            ASSERT_FALSE(expected.empty());
            expected.pop_back();  // date's line feed
            EXPECT_EQ(buf, expected) << zone << " " << t;
            char big[21];
            EXPECT_STREQ(KyTimeBig(t, big, 0, true), buf);
        }
    }
}

TEST_F(TextTest, KyTimeGivesBlanksForWhatCannotBeShown) {
    ScopedTimeZone tz("UTC0");
    const __int64 times[] = {0, -5, 253402300800LL /* 10000-01-01 */, 1LL << 62};
    for (__int64 t : times) {
        char buf[64];
        std::memset(buf, 'G', sizeof(buf));
        EXPECT_EQ(KyTimeBig(t, buf, 0, false), buf);
        EXPECT_STREQ(buf, "                    ") << t;
        for (size_t i = 21; i < sizeof(buf); ++i)
            ASSERT_EQ(buf[i], 'G') << "byte " << i << " for " << t;
    }
    char buf[21];
    EXPECT_STREQ(KyTimeBig(253402300799LL, buf, 0, false), "9999/12/31 23:59:59 ");
    EXPECT_EQ(KyTime(100, nullptr, 0, false), nullptr);
}

TEST_F(TextTest, KyTimeInWindowsLocales) {
    ScopedTimeZone tz("UTC0");
    const long t = 1704459845;  // 2024-01-05 13:04:05 UTC
    struct Case {
        unsigned long lcid;
        bool useShortDate;
        const char* text;
    };
    const Case cases[] = {
        {1033, true, "1/5/2024 13:04:05 "},
        {1033, false, "01/05/2024 13:04:05 "},
        {1031, true, "05.01.2024 13:04:05 "},
        {1031, false, "05/01/2024 13:04:05 "},
        {1041, true, "2024/01/05 13:04:05 "},
        {1041, false, "2024/01/05 13:04:05 "},
        // Korean's short date is longer than 10 characters: its date order is used.
        {1042, true, "2024/01/05 13:04:05 "},
        {1042, false, "2024/01/05 13:04:05 "},
        {0xFFFF, true, "                    "},
    };
    for (const Case& c : cases) {
        char buf[64];
        std::memset(buf, 'G', sizeof(buf));
        EXPECT_EQ(KyTime(t, buf, c.lcid, c.useShortDate), buf);
        EXPECT_STREQ(buf, c.text) << c.lcid << (c.useShortDate ? " short" : " order");
        for (size_t i = 21; i < sizeof(buf); ++i)
            ASSERT_EQ(buf[i], 'G') << "byte " << i << " for " << c.lcid;
    }
}

// ---- kySortAndReplace ---------------------------------------------------------------

class SortTest : public TextTest {
protected:
    void TearDown() override {
        kySortSetMemoryCapForTesting(0);
        kySortSetFailStepForTesting(0);
        kySortSetBeforeRenameHookForTesting(nullptr);
        TextTest::TearDown();
    }

    std::string sortedByTool(const std::string& path) {
        return runCommand("LC_ALL=C sort '" + path + "'");
    }
};

std::string messyText() {
    std::string text =
        "pear\r\nApple\nbanana\r\n\n\xc3\xa9"
        "clair\n\x01"
        "ctl\npear\nzeta\r\n"
        "apple\n \nBanana\napple\r\nlast without newline";
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
        std::string line(random() % 12, 'a');
        for (char& c : line)
            c = static_cast<char>(0x20 + random() % 0x60);
        text = line + "\n" + text;
    }
    return text;
}

TEST_F(SortTest, SortsLikeTheByteOrderToolInMemoryAndInRuns) {
    const size_t caps[] = {0, 64, 1};
    kytest::TempDir dir;
    for (size_t cap : caps) {
        kySortSetMemoryCapForTesting(cap);
        std::string path = dir.file("list" + std::to_string(cap) + ".txt");
        kytest::writeFile(path, messyText());
        ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
        std::string expected = sortedByTool(path);
        ASSERT_FALSE(expected.empty());

        ASSERT_EQ(kySortAndReplace(path.c_str(), false, false, false), 0) << cap;
        EXPECT_EQ(kytest::readFile(path), expected) << "cap " << cap;
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
    }
    // Temporaries, runs and work directories are all gone.
    EXPECT_EQ(entriesOf(dir.path()),
              (std::set<std::string>{"list0.txt", "list1.txt", "list64.txt"}));
}

// The temporary holds the file's lines before the rename: a private file's lines must not
// sit in a temporary that others may open (they keep the descriptor after a late chmod).
std::atomic<unsigned> g_temporaryMode{0};
void recordTemporaryMode(const char* temporary) {
    struct stat st;
    g_temporaryMode.store(::stat(temporary, &st) == 0 ? (st.st_mode & 07777) : 01);
}

TEST_F(SortTest, TheTemporaryIsNoMoreOpenThanTheFile) {
    mode_t oldMask = ::umask(022);
    std::string path = dir_.file("private");
    kytest::writeFile(path, "b\na\n");
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    kySortSetBeforeRenameHookForTesting(recordTemporaryMode);
    EXPECT_EQ(kySortAndReplace(path.c_str(), false, false, false), 0);
    ::umask(oldMask);
    EXPECT_EQ(g_temporaryMode.load(), 0600u);
    EXPECT_EQ(kytest::readFile(path), "a\nb\n");
}

TEST_F(SortTest, EmptyFileStaysEmpty) {
    std::string path = dir_.file("empty");
    kytest::writeFile(path, "");
    EXPECT_EQ(kySortAndReplace(path.c_str(), true, true, true), 0);
    EXPECT_EQ(kytest::readFile(path), "");
}

TEST_F(SortTest, AFailedStepLeavesTheFileAsItWas) {
    const std::string original = messyText();
    for (int step = 1; step <= 3; ++step) {
        for (size_t cap : {size_t{0}, size_t{64}}) {
            kySortSetMemoryCapForTesting(cap);
            kySortSetFailStepForTesting(step);
            kytest::TempDir dir;
            std::string path = dir.file("list");
            kytest::writeFile(path, original);
            EXPECT_EQ(kySortAndReplace(path.c_str(), false, false, false), -1) << step;
            EXPECT_EQ(kytest::readFile(path), original) << "step " << step;
            EXPECT_EQ(entriesOf(dir.path()), std::set<std::string>{"list"}) << "step " << step;
        }
    }
}

TEST_F(SortTest, MissingFileFailsAndLeavesNothing) {
    std::string path = dir_.file("sub/none");
    EXPECT_EQ(kySortAndReplace(path.c_str(), false, false, false), -1);
    EXPECT_EQ(kySortAndReplace(nullptr, false, false, false), -1);
    kytest::TempDir dir;
    EXPECT_EQ(kySortAndReplace(dir.file("absent").c_str(), false, false, false), -1);
    EXPECT_TRUE(entriesOf(dir.path()).empty());
}

// Failures reach the trace file of the debug log's folder, with the paths quoted.
class SortTraceTest : public SortTest {
protected:
    void SetUp() override {
        SortTest::SetUp();
        KYPI_Focus::setFocus("Instance001");
        logDir_ = dir_.file("logs");
        ASSERT_EQ(::mkdir(logDir_.c_str(), 0755), 0);
        HKEY k = nullptr;
        ASSERT_EQ(
            kyos::reg::createKey(HKEY_LOCAL_MACHINE,
                                 "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\EventManager", 0,
                                 KEY_ALL_ACCESS, &k, nullptr),
            ERROR_SUCCESS);
        ASSERT_EQ(kyos::reg::setValue(k, "dEVLOGDIR", REG_EXPAND_SZ, logDir_.c_str(),
                                      static_cast<DWORD>(logDir_.size() + 1)),
                  ERROR_SUCCESS);
        kyos::reg::closeKey(k);
        kytest::writeFile(logDir_ + "/CXIndexLogging", "");
        KYTDebuggable::debugMask = ~0ul;
    }
    void TearDown() override {
        KYTDebuggable::debugMask = 0;
        EvDebug::CleanupFileHandleList();
        KYPI_Focus::reload();
        SortTest::TearDown();
    }
    std::string logDir_;
};

TEST_F(SortTraceTest, FailuresAreTracedWithTheirPaths) {
    kytest::TempDir dir;
    std::string path = dir.file("list");
    kytest::writeFile(path, "b\na\n");
    kySortSetFailStepForTesting(3);
    EXPECT_EQ(kySortAndReplace(path.c_str(), false, false, false), -1);
    kySortSetFailStepForTesting(0);
    EXPECT_EQ(kySortAndReplace(dir.file("absent").c_str(), false, false, false), -1);

    std::string trace = kytest::readFile(logDir_ + "/log.out");
    std::string renamed =
        "SORTANDREPLACE: rename failed for file '" + path + "' tmpFile '" + path + ".";
    size_t at = trace.find(renamed);
    ASSERT_NE(at, std::string::npos) << trace;
    std::string line = trace.substr(at, trace.find('\n', at) - at);
    const std::string tail = ".tmp' workdir ''";
    ASSERT_GT(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
    EXPECT_NE(trace.find("SORTANDREPLACE: sort init failed for file '" + dir.file("absent") +
                         "' tmpFile '" + dir.file("absent") + "."),
              std::string::npos)
        << trace;
}

// Replacing a link would put a plain file in its place; the link and its target stay.
TEST_F(SortTest, ALinkIsRefused) {
    kytest::TempDir dir;
    kytest::writeFile(dir.file("target"), "b\na\n");
    ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
    EXPECT_EQ(kySortAndReplace(dir.file("link").c_str(), false, false, false), -1);
    EXPECT_EQ(kytest::readFile(dir.file("target")), "b\na\n");
    EXPECT_EQ(entriesOf(dir.path()), (std::set<std::string>{"link", "target"}));
    struct stat st;
    ASSERT_EQ(::lstat(dir.file("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(SortTest, AReaderNeverFindsTheFileMissing) {
    std::string path = dir_.file("watched");
    kytest::writeFile(path, messyText());
    std::atomic<bool> done{false};
    std::atomic<int> missing{0};
    std::atomic<int> opens{0};
    std::thread reader([&] {
        while (!done.load()) {
            FILE* f = std::fopen(path.c_str(), "rb");
            if (f == nullptr) {
                missing.fetch_add(1);
            } else {
                std::fclose(f);
            }
            opens.fetch_add(1);
        }
    });
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(kySortAndReplace(path.c_str(), false, false, false), 0);
    done.store(true);
    reader.join();
    EXPECT_EQ(missing.load(), 0) << "of " << opens.load() << " opens";
}

TEST_F(SortTest, TwoSortsOfOneFileAtOnceBothSucceed) {
    kySortSetMemoryCapForTesting(64);  // both use work directories too
    std::string path = dir_.file("shared");
    kytest::writeFile(path, messyText());
    std::string expected = sortedByTool(path);
    std::atomic<int> failures{0};
    auto sortMany = [&] {
        for (int i = 0; i < 20; ++i)
            if (kySortAndReplace(path.c_str(), false, false, false) != 0)
                failures.fetch_add(1);
    };
    std::thread a(sortMany);
    std::thread b(sortMany);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(kytest::readFile(path), expected);
    std::set<std::string> names = entriesOf(dir_.path());
    for (const std::string& name : names)
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

}  // namespace
