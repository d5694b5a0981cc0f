#include "kylib/platforminfo/KYPlatformInfo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kylib/diagnostics/EvDebug.h"
#include "os/registry/Registry.h"
#include "siblings/HbUtils/FXString.h"
#include "siblings/HbUtils/LogWriter.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "tests/support/TempDir.h"

using ::testing::HasSubstr;

namespace {

constexpr const char* kRoot = "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001";

// Reads and writes the store directly, so that what a test sets up or checks does not
// depend on the class under test.
struct Raw {
    static void set(const std::string& path, const std::string& name, DWORD type, const void* data,
                    DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(kyos::reg::createKey(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key, nullptr),
                  ERROR_SUCCESS)
            << path;
        ASSERT_EQ(kyos::reg::setValue(key, name, type, data, size), ERROR_SUCCESS);
        kyos::reg::closeKey(key);
    }
    static void dword(const std::string& path, const std::string& name, DWORD value) {
        set(path, name, REG_DWORD, &value, sizeof value);
    }
    static void string(const std::string& path, const std::string& name, const std::string& v) {
        set(path, name, REG_SZ, v.c_str(), static_cast<DWORD>(v.size() + 1));
    }
    static void key(const std::string& path) {
        HKEY key = nullptr;
        ASSERT_EQ(kyos::reg::createKey(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key, nullptr),
                  ERROR_SUCCESS);
        kyos::reg::closeKey(key);
    }
    static bool exists(const std::string& path) {
        HKEY key = nullptr;
        if (kyos::reg::openKey(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        kyos::reg::closeKey(key);
        return true;
    }
    // The value's type and bytes; type REG_NONE when it cannot be read.
    static std::pair<DWORD, std::string> get(const std::string& path, const std::string& name) {
        HKEY key = nullptr;
        if (kyos::reg::openKey(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return {REG_NONE, ""};
        char buf[8192];
        DWORD type = REG_NONE, size = sizeof buf;
        DWORD rc = kyos::reg::queryValue(key, name, &type, buf, &size);
        kyos::reg::closeKey(key);
        if (rc != ERROR_SUCCESS)
            return {REG_NONE, ""};
        return {type, std::string(buf, size)};
    }
    // Subkey names in the letter case they are stored with.
    static std::vector<std::string> subKeys(const std::string& path) {
        std::vector<std::string> names;
        HKEY key = nullptr;
        if (kyos::reg::openKey(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return names;
        std::string name;
        for (DWORD i = 0; kyos::reg::enumKey(key, i, &name) == ERROR_SUCCESS; ++i)
            names.push_back(name);
        kyos::reg::closeKey(key);
        return names;
    }
};

std::string inRoot(const std::string& rest) {
    return std::string(kRoot) + "\\" + rest;
}

// What the store printed while `action` ran. A store made with the print flag and
// without the log flag prints exactly the lines it would send to the debug log.
std::string printedBy(const std::function<void()>& action) {
    ::testing::internal::CaptureStdout();
    action();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

class RecordingWriter : public CLogWriterInterface {
public:
    int GetLevel() const override { return 100; }
    void LogMessageV(int, const char* function, int, std::uint32_t, std::uint32_t, std::uint32_t,
                     const char* format, va_list args) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(std::string(function) + ": " + FXString::FormatV(format, args));
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// Each test has its own store file and a known focus; both are put back afterwards.
class PlatformInfoTest : public kytest::StoreTest {
protected:
    void SetUp() override {
        kytest::StoreTest::SetUp();
        KYPI_Focus::setFocus("Instance001");
        KYPI_Focus::setProductName("Sarvex");
        KYPI_Focus::setProductType(KELBRIN_PRODUCT_TYPE_DEFAULT);
        KYPI_Focus::setRemoteTesselFocus("");
        KYPlatformInfo::m_iCloudLaptopClient = -1;
        KYPlatformInfo::m_bScheduleLoaded = false;
    }
    void TearDown() override {
        KYPI_Focus::reload();
        KYPlatformInfo::m_iCloudLaptopClient = -1;
        KYPlatformInfo::m_bScheduleLoaded = false;
        SetLogWriter(nullptr);
        kytest::StoreTest::TearDown();
    }

    // Prints its failures instead of logging them.
    KYPlatformInfo printing() { return KYPlatformInfo(1, 0); }
};

// ---- Key expansion -----------------------------------------------------------------------

struct ExpandCase {
    const char* name;
    const char* key;
    KELBRIN_PRODUCT_TYPE productType;
    const char* remoteDomain;
    const char* expected;
};

class ExpandKeyNameTest : public PlatformInfoTest,
                          public ::testing::WithParamInterface<ExpandCase> {};

TEST_P(ExpandKeyNameTest, Expands) {
    const ExpandCase& c = GetParam();
    KYPI_Focus::setProductType(c.productType);
    KYPI_Focus::setRemoteTesselFocus(c.remoteDomain);
    KYPlatformInfo pi;
    EXPECT_EQ(pi.expandKeyName(c.key), c.expected) << c.key;
    EXPECT_EQ(pi.getRegError(), 0);
}

constexpr KELBRIN_PRODUCT_TYPE kDefault = KELBRIN_PRODUCT_TYPE_DEFAULT;
constexpr KELBRIN_PRODUCT_TYPE kNoInstance = KELBRIN_PRODUCT_TYPE_NO_INSTANCE;

INSTANTIATE_TEST_SUITE_P(
    Keys, ExpandKeyNameTest,
    ::testing::Values(
        ExpandCase{"Section", "~Base", kDefault, "",
                   "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\Base"},
        ExpandCase{"SlashesInSection", "~Machines/PC1", kDefault, "",
                   "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\Machines\\PC1"},
        ExpandCase{"DoubledBackSlashes", "~\\\\Base\\\\\\Sub", kDefault, "",
                   "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\Base\\Sub"},
        ExpandCase{"DoubledSlashes", "~//Base//Sub", kDefault, "",
                   "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\Base\\Sub"},
        ExpandCase{"InstanceRoot", "~", kDefault, "",
                   "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\"},
        // Absolute keys: only the slashes change.
        ExpandCase{"AbsoluteWithSlashes", "SOFTWARE/Kelbrin Systems/Sarvex", kDefault, "",
                   "SOFTWARE\\Kelbrin Systems\\Sarvex"},
        ExpandCase{"AbsoluteKeptAsIs", "SOFTWARE\\\\Other", kDefault, "", "SOFTWARE\\\\Other"},
        // Product type 3: no instance level.
        ExpandCase{"NoInstanceLevel", "~Base", kNoInstance, "",
                   "SOFTWARE\\Kelbrin Systems\\Sarvex\\Base"},
        ExpandCase{"NoInstanceLevelIgnoresDomain", "~Zentra", kNoInstance, "DomA",
                   "SOFTWARE\\Kelbrin Systems\\Sarvex\\Zentra"},
        ExpandCase{"NoInstanceLevelAbsolute", "Abs/Key", kNoInstance, "", "Abs\\Key"},
        // A remote domain redirects the central-server sections themselves, nothing else.
        ExpandCase{"RemoteZentra", "~Zentra", kDefault, "DomA",
                   "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\RemoteZentras\\DomA\\Zentra"},
        ExpandCase{"RemoteCache", "~__cache", kDefault, "DomA",
                   "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\RemoteZentras\\DomA\\__cache"},
        ExpandCase{"RemoteZentraTrailingSeparator", "~ZENTRA\\", kDefault, "DomA",
                   "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\RemoteZentras\\DomA\\ZENTRA\\"},
        ExpandCase{"RemoteZentraSubkeyNotRedirected", "~Zentra\\Sub", kDefault, "DomA",
                   "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\Zentra\\Sub"},
        ExpandCase{"RemoteOtherSectionNotRedirected", "~Base", kDefault, "DomA",
                   "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\Base"}),
    [](const ::testing::TestParamInfo<ExpandCase>& info) { return std::string(info.param.name); });

TEST_F(PlatformInfoTest, SectionFormsAddressTheSameKey) {
    KYPlatformInfo pi;
    ASSERT_TRUE(pi.setNumber("~Base", "nValue", 5));
    unsigned long n = 0;
    ASSERT_TRUE(pi.getNumber("Base", "nValue", &n));
    EXPECT_EQ(n, 5u);

    ASSERT_TRUE(pi.setString("Machines/PC1", "sHOSTNAME", "pc1.example"));
    std::string host;
    ASSERT_TRUE(pi.getString("Machines\\PC1", "sHOSTNAME", &host));
    EXPECT_EQ(host, "pc1.example");

    // Null and empty sections are the instance root.
    ASSERT_TRUE(pi.setString(nullptr, "sProductVersion", "11.36.0"));
    EXPECT_EQ(Raw::get(kRoot, "sProductVersion").second, std::string("11.36.0", 8));
    std::string version;
    ASSERT_TRUE(pi.getString("", "sProductVersion", &version));
    EXPECT_EQ(version, "11.36.0");
}

TEST_F(PlatformInfoTest, TheFocusIsOneKeyName) {
    KYPlatformInfo pi;
    for (const char* focus : {"", "..\\Other", "Instance001\\Base", "a/b"}) {
        EXPECT_EQ(pi.setFocus(focus), 0) << focus;
        EXPECT_STREQ(pi.getFocus(), "Instance001") << focus;
    }
    EXPECT_EQ(pi.setFocus(nullptr), 0);
    EXPECT_EQ(pi.setFocus("Instance002"), 1);
    EXPECT_STREQ(pi.getFocus(), "Instance002");
}

// Key names are bytes to the store; one that is not UTF-8 must reach it unchanged by
// every operation, or what one writes another cannot find.
TEST_F(PlatformInfoTest, KeyNamesThatAreNotUtf8ReachTheStoreAsTheyAre) {
    const std::string section = "caf\xE9";
    const std::string child = section + "\\sub\xFF";
    KYPlatformInfo pi;
    ASSERT_TRUE(pi.setString(section.c_str(), "sText", "latin-1"));
    ASSERT_TRUE(pi.setNumber(child.c_str(), "nNumber", 7));
    EXPECT_EQ(Raw::get(inRoot(section), "sText").second, std::string("latin-1", 8));

    std::string text;
    EXPECT_TRUE(pi.getString(section.c_str(), "sText", &text)) << pi.getRegError();
    EXPECT_EQ(text, "latin-1");
    char buf[16];
    EXPECT_TRUE(pi.getString(section.c_str(), "sText", buf, static_cast<int>(sizeof buf)));
    unsigned long number = 0;
    EXPECT_TRUE(pi.getNumber(child.c_str(), "nNumber", &number)) << pi.getRegError();
    EXPECT_EQ(number, 7u);
    unsigned long type = 0;
    int size = sizeof buf;
    EXPECT_TRUE(pi.getRegValue(("~" + section).c_str(), u"sText", &type, buf, size));
    std::map<std::string, std::string> values;
    EXPECT_TRUE(pi.getRegValues(("~" + section).c_str(), &values));
    EXPECT_EQ(values, (std::map<std::string, std::string>{{"sText", "latin-1"}}));
    std::list<std::string> subKeys;
    EXPECT_TRUE(pi.getSubKeys(section.c_str(), &subKeys));
    EXPECT_EQ(subKeys, std::list<std::string>{"sub\xFF"});

    ASSERT_TRUE(pi.renameRegKey("~" + child, "~" + section + "\\moved\xFE"));
    EXPECT_TRUE(pi.getNumber((section + "\\moved\xFE").c_str(), "nNumber", &number));
    EXPECT_TRUE(pi.deleteField(section.c_str(), "sText"));
    EXPECT_TRUE(pi.deleteSection(section.c_str()));
    EXPECT_FALSE(Raw::exists(inRoot(section)));
}

TEST_F(PlatformInfoTest, StoreWithoutFocusEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KYPlatformInfo pi{std::string()};
            unsigned long n;
            pi.getNumber("Base", "nPLATTYPE", &n);
        },
        "KYPI_Focus::setFocus\\(\\) is not set");
}

// ---- Status values -----------------------------------------------------------------------

struct StatusCase {
    const char* name;
    std::function<bool(KYPlatformInfo&)> read;
    int status;
    unsigned long code;
};

TEST_F(PlatformInfoTest, MissingAndTooSmallAreReportedWithoutLogLines) {
    Raw::string(inRoot("Base"), "sText", "abcdef");
    Raw::set(inRoot("Base"), "mList", REG_MULTI_SZ, "one\0two\0", 9);
    const std::vector<StatusCase> cases = {
        {"missing key",
         [](KYPlatformInfo& pi) {
             unsigned long n;
             return pi.getNumber("NoSuchSection", "nValue", &n) != 0;
         },
         -2, ERROR_FILE_NOT_FOUND},
        {"missing value",
         [](KYPlatformInfo& pi) {
             std::string s;
             return pi.getString("Base", "sMissing", &s) != 0;
         },
         -3, ERROR_FILE_NOT_FOUND},
        {"string buffer too small",
         [](KYPlatformInfo& pi) {
             char buf[4];
             return pi.getString("Base", "sText", buf, static_cast<int>(sizeof buf)) != 0;
         },
         -4, ERROR_MORE_DATA},
        {"multi-string buffer too small",
         [](KYPlatformInfo& pi) {
             char buf[5];
             int len = sizeof buf;
             return pi.getMultiString("Base", "mList", buf, &len) != 0;
         },
         -4, ERROR_MORE_DATA},
        {"delete missing field",
         [](KYPlatformInfo& pi) { return pi.deleteField("Base", "sMissing") != 0; }, -3,
         ERROR_FILE_NOT_FOUND},
        {"delete missing key", [](KYPlatformInfo& pi) { return pi.delRegKey("~NoSuchSection"); },
         -2, ERROR_FILE_NOT_FOUND},
    };
    for (const StatusCase& c : cases) {
        KYPlatformInfo pi = printing();
        bool ok = true;
        EXPECT_EQ(printedBy([&] { ok = c.read(pi); }), "") << c.name;
        EXPECT_FALSE(ok) << c.name;
        EXPECT_EQ(pi.getRegError(), c.status) << c.name;
        EXPECT_EQ(pi.getLastError(), c.code) << c.name;
        EXPECT_EQ(pi.getLastErrorMsg(), "") << c.name;
    }
}

TEST_F(PlatformInfoTest, TooSmallReportsTheSizeNeeded) {
    Raw::string(inRoot("Base"), "sText", "abcdef");
    KYPlatformInfo pi;
    char buf[4];
    unsigned long type = 0;
    int size = sizeof buf;
    EXPECT_FALSE(pi.getRegValue("~Base", "sText", &type, buf, size));
    EXPECT_EQ(pi.getRegError(), -4);
    EXPECT_EQ(size, 7);
    EXPECT_EQ(type, REG_SZ);
}

TEST_F(PlatformInfoTest, WrongValueTypeIsLoggedFailure) {
    Raw::dword(inRoot("Base"), "nNumber", 7);
    Raw::string(inRoot("Base"), "sShort", "ab");
    Raw::string(inRoot("Base"), "sLong", "a text longer than a DWORD");
    Raw::string(inRoot("Base"), "sText", "text");
    struct Case {
        const char* name;
        std::function<bool(KYPlatformInfo&)> read;
        std::string tag;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"number as string",
         [](KYPlatformInfo& pi) {
             std::string s;
             return pi.getString("Base", "nNumber", &s) != 0;
         },
         "KYPlatformInfo::getRegStringImpl", "Field nNumber in key ~Base is not a string."},
        {"number into a buffer",
         [](KYPlatformInfo& pi) {
             char buf[64];
             return pi.getString("Base", "nNumber", buf, static_cast<int>(sizeof buf)) != 0;
         },
         "KYPlatformInfo::getRegStringImpl", "Field nNumber in key ~Base is not a string."},
        {"short string as number",
         [](KYPlatformInfo& pi) {
             unsigned long n;
             return pi.getNumber("Base", "sShort", &n) != 0;
         },
         "KYPlatformInfo::getRegInt", "Field sShort in key ~Base is not a DWORD."},
        // Longer than the 4-byte buffer: still the wrong type, not a buffer too small.
        {"long string as number",
         [](KYPlatformInfo& pi) {
             int n;
             return pi.getNumber("Base", "sLong", &n) != 0;
         },
         "KYPlatformInfo::getRegInt", "Field sLong in key ~Base is not a DWORD."},
        {"string as multi-string",
         [](KYPlatformInfo& pi) {
             char buf[64];
             int len = sizeof buf;
             return pi.getMultiString("Base", "sText", buf, &len) != 0;
         },
         "KYPlatformInfo::getMultiString",
         "Field sText in key ~Base is not a REG_MULTI_SZ string."},
    };
    for (const Case& c : cases) {
        KYPlatformInfo pi = printing();
        bool ok = true;
        EXPECT_EQ(printedBy([&] { ok = c.read(pi); }), c.tag + "(): " + c.message + "\n") << c.name;
        EXPECT_FALSE(ok) << c.name;
        EXPECT_EQ(pi.getRegError(), -1) << c.name;
        EXPECT_EQ(pi.getLastErrorMsg(), c.message) << c.name;
    }
}

TEST_F(PlatformInfoTest, InvalidArgumentsAreRefusedAndLogged) {
    struct Case {
        const char* name;
        std::function<bool(KYPlatformInfo&)> call;
        const char* printed;
    };
    const std::vector<Case> cases = {
        {"null key",
         [](KYPlatformInfo& pi) {
             char buf[8];
             unsigned long type;
             int size = sizeof buf;
             return pi.getRegValue(nullptr, "sX", &type, buf, size);
         },
         "KYPlatformInfo::getRegValue(): Invalid arguments.\n"},
        {"string reader without output",
         [](KYPlatformInfo& pi) { return pi.getRegStringFromAbsPath("~Base", "sX", nullptr); },
         "KYPlatformInfo::getRegStringImpl(): Invalid arguments passed.\n"},
        {"DWORD without size",
         [](KYPlatformInfo& pi) {
             DWORD v = 1;
             return pi.setRegValue("~Base", "nX", REG_DWORD, &v, 0);
         },
         "KYPlatformInfo::setRegValue(): ZERO value length passed as input\n"},
        {"empty field", [](KYPlatformInfo& pi) { return pi.setString("Base", "", "v") != 0; },
         "KYPlatformInfo::setRegValue(): Invalid arguments.\n"},
    };
    for (const Case& c : cases) {
        KYPlatformInfo pi = printing();
        bool ok = true;
        EXPECT_EQ(printedBy([&] { ok = c.call(pi); }), c.printed) << c.name;
        EXPECT_FALSE(ok) << c.name;
        EXPECT_EQ(pi.getRegError(), -1) << c.name;
    }
    EXPECT_FALSE(Raw::exists(inRoot("Base")));
}

TEST_F(PlatformInfoTest, PrintedLineKeepsTheMessagesOwnLineFeed) {
    KYPlatformInfo pi = printing();
    EXPECT_EQ(printedBy([&] { pi.logError("Tag::fn", "ends with a line feed\n"); }),
              "Tag::fn(): ends with a line feed\n");
    EXPECT_EQ(printedBy([&] { pi.logError("Tag::fn", ""); }), "");
    EXPECT_EQ(pi.getLastErrorMsg(), "ends with a line feed\n");
}

TEST_F(PlatformInfoTest, FailedWriteShowsNumbersAndBytesNotText) {
    // A value name longer than the store allows makes the write itself fail.
    const std::string field(20000, 'f');
    KYPlatformInfo pi = printing();
    DWORD number = 42;
    std::string out = printedBy([&] {
        EXPECT_FALSE(pi.setRegValue("~Base", field.c_str(), REG_DWORD, &number, sizeof number));
    });
    EXPECT_THAT(out, HasSubstr("] to 42 under registry key [~Base]: "));
    const unsigned char bytes[] = {0x01, 0xab, 0x00, 0xff};
    out = printedBy([&] {
        EXPECT_FALSE(pi.setRegValue("~Base", field.c_str(), REG_BINARY, bytes, sizeof bytes));
    });
    EXPECT_THAT(out, HasSubstr("] to 0x01ab00ff under registry key [~Base]: "));
    EXPECT_EQ(pi.getRegError(), -1);
}

// The lines of a file that contain `text`.
std::vector<std::string> linesWith(const std::string& file, const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& line : FXString::Split(kytest::readFile(file), "\n")) {
        if (line.find(text) != std::string::npos)
            found.push_back(line);
    }
    return found;
}

TEST_F(PlatformInfoTest, FailuresGoToTheDebugLogAtErrorLevel) {
    const std::string logDir = dir_.file("logs");
    Raw::set(inRoot("EventManager"), "dEVLOGDIR", REG_EXPAND_SZ, logDir.c_str(),
             static_cast<DWORD>(logDir.size() + 1));
    Raw::dword(inRoot("Base"), "nPLATTYPE", 64);
    Raw::string(inRoot("Base"), "sText", "text");
    const unsigned logId = EvDebug::getLogId("kytest");
    EvDebug processLog;  // the process's default log
    ASSERT_TRUE(processLog.initialize(logId, 0, true, ""));
    EvDebugFileInstance ownInstance;
    EvDebug ownLog(&ownInstance);
    ASSERT_TRUE(ownLog.initialize(&ownInstance, logId, 0, true, "pinfo"));
    // Error lines are written even at the lowest level.
    processLog.setDebugLevel(0);
    ownLog.setDebugLevel(0);

    KYPlatformInfo().getKYPlatformType();
    unsigned long n;
    KYPlatformInfo(&ownLog).getNumber("Base", "sText", &n);
    KYPlatformInfo(0, 0).getNumber("Base", "sText", &n);

    const std::string processFile = processLog.getLogFilePath();
    const std::string ownFile = ownLog.getLogFilePath();
    ASSERT_NE(processFile, ownFile);
    EXPECT_EQ(linesWith(processFile, " getKYPlatformType Invalid platform type.").size(), 1u);
    EXPECT_EQ(
        linesWith(ownFile, " KYPlatformInfo::getRegInt Field sText in key ~Base is not a DWORD.")
            .size(),
        1u);
    EXPECT_TRUE(linesWith(processFile, "is not a DWORD").empty());
}

// ---- Strings, numbers and lists ----------------------------------------------------------

TEST_F(PlatformInfoTest, LongStringIsReadInFull) {
    KYPlatformInfo pi;
    for (size_t length : {2047u, 2048u, 3000u, 20000u}) {
        std::string text(length, 'x');
        text.back() = 'y';
        ASSERT_TRUE(pi.setString("Base", "sLong", text));
        std::string read;
        ASSERT_TRUE(pi.getString("Base", "sLong", &read)) << length;
        EXPECT_EQ(read, text) << length;
        EXPECT_EQ(pi.getRegError(), 0);
    }
}

TEST_F(PlatformInfoTest, BufferReadsAreAlwaysTerminated) {
    // Stored without its terminator, as an imported or foreign value can be.
    Raw::set(inRoot("Base"), "sBare", REG_SZ, "abcd", 4);
    KYPlatformInfo pi;
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    int len = sizeof buf;
    ASSERT_TRUE(pi.getString("Base", "sBare", buf, &len));
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(len, 5);

    char exact[4];
    EXPECT_FALSE(pi.getString("Base", "sBare", exact, static_cast<int>(sizeof exact)));
    EXPECT_EQ(pi.getRegError(), -4);

    // A multi-string stored without its final NULs comes back with them.
    Raw::set(inRoot("Base"), "mBare", REG_MULTI_SZ, "a\0b", 3);
    char list[8];
    std::memset(list, '#', sizeof list);
    len = sizeof list;
    ASSERT_TRUE(pi.getMultiString("Base", "mBare", list, &len));
    EXPECT_EQ(std::string(list, len), std::string("a\0b\0\0", 5));
}

TEST_F(PlatformInfoTest, SignedNumbersReadAsThirtyTwoBitValues) {
    KYPlatformInfo pi;
    ASSERT_TRUE(pi.setNumber("Base", "nNegative", static_cast<unsigned long>(-1)));
    EXPECT_EQ(Raw::get(inRoot("Base"), "nNegative").second, std::string(4, '\xff'));
    long asLong = 0;
    int asInt = 0;
    unsigned long asUnsigned = 0;
    ASSERT_TRUE(pi.getNumber("Base", "nNegative", &asLong));
    ASSERT_TRUE(pi.getNumber("Base", "nNegative", &asInt));
    ASSERT_TRUE(pi.getNumber("Base", "nNegative", &asUnsigned));
    EXPECT_EQ(asLong, -1);
    EXPECT_EQ(asInt, -1);
    EXPECT_EQ(asUnsigned, 0xFFFFFFFFul);

    ASSERT_TRUE(pi.setBoolean("Base", "bFlag", true));
    Raw::dword(inRoot("Base"), "bOther", 7);
    bool flag = false, other = false;
    ASSERT_TRUE(pi.getBoolean("Base", "bFlag", &flag));
    ASSERT_TRUE(pi.getBoolean("Base", "bOther", &other));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(other);
}

TEST_F(PlatformInfoTest, LongLongRoundTripsItsLargestValue) {
    KYPlatformInfo pi;
    ASSERT_TRUE(pi.setLongLong("Base", "nBig", ULLONG_MAX));
    auto stored = Raw::get(inRoot("Base"), "nBig");
    EXPECT_EQ(stored.first, REG_SZ);
    EXPECT_EQ(stored.second, std::string("18446744073709551615", 21));
    unsigned long long value = 0;
    ASSERT_TRUE(pi.getLongLong("Base", "nBig", &value));
    EXPECT_EQ(value, ULLONG_MAX);

    // Texts of other writers: white space around the digits, and negative numbers, which
    // read as the signed conversion gives them.
    const std::vector<std::pair<const char*, unsigned long long>> texts = {
        {"42", 42},
        {"  7", 7},
        {"7 \n", 7},
        {"-1", ULLONG_MAX},
        {"-2", ULLONG_MAX - 1},
        {"-9223372036854775808", 1ull << 63},
        {"0", 0}};
    for (const auto& [text, expected] : texts) {
        Raw::string(inRoot("Base"), "nText", text);
        ASSERT_TRUE(pi.getLongLong("Base", "nText", &value)) << text;
        EXPECT_EQ(value, expected) << text;
    }
}

// A text that is no number, or a number out of range, is a value of the wrong kind: read
// as 0 or as the largest value it would pass for one.
TEST_F(PlatformInfoTest, LongLongRefusesTextThatIsNotANumber) {
    for (const char* text : {"", " ", "abc", "12abc", "1 2", "0x10", "-", "18446744073709551616",
                             "99999999999999999999999", "-9223372036854775809"}) {
        Raw::string(inRoot("Base"), "nText", text);
        KYPlatformInfo pi = printing();
        unsigned long long value = 5;
        int ok = 1;
        EXPECT_EQ(printedBy([&] { ok = pi.getLongLong("Base", "nText", &value); }),
                  "KYPlatformInfo::getLongLong(): Field nText in key ~Base is not a number.\n")
            << text;
        EXPECT_EQ(ok, 0) << text;
        EXPECT_EQ(pi.getRegError(), -1) << text;
        EXPECT_EQ(pi.getLastError(), ERROR_INVALID_DATA) << text;
        EXPECT_EQ(value, 5u) << text;
    }
}

TEST_F(PlatformInfoTest, GetValueWithDefaultWritesItOnce) {
    KYPlatformInfo pi;
    std::string value;
    ASSERT_TRUE(pi.getValue("Base", "sMode", value, "automatic"));
    EXPECT_EQ(value, "automatic");
    EXPECT_EQ(Raw::get(inRoot("Base"), "sMode").second, std::string("automatic", 10));

    Raw::string(inRoot("Base"), "sMode", "manual");
    ASSERT_TRUE(pi.getValue("Base", "sMode", value, "automatic"));
    EXPECT_EQ(value, "manual");

    // A value that is there but unreadable as text is not overwritten by the default.
    Raw::dword(inRoot("Base"), "nMode", 3);
    EXPECT_FALSE(pi.getValue("Base", "nMode", value, "automatic"));
    EXPECT_EQ(Raw::get(inRoot("Base"), "nMode").first, REG_DWORD);
}

TEST_F(PlatformInfoTest, MultiStringIsStoredWhole) {
    KYPlatformInfo pi;
    const char list[] = "a\0bb\0ccc\0";  // and the literal's own NUL
    ASSERT_TRUE(pi.setMultiString("Base", "mList", list, 0));
    auto stored = Raw::get(inRoot("Base"), "mList");
    EXPECT_EQ(stored.first, REG_MULTI_SZ);
    EXPECT_EQ(stored.second, std::string(list, sizeof list));

    char buf[64];
    int len = sizeof buf;
    ASSERT_TRUE(pi.getMultiString("Base", "mList", buf, &len));
    std::set<std::string> texts;
    ASSERT_TRUE(KYPlatformInfo::FromMultiSZStringToSet(buf, len, texts));
    EXPECT_EQ(texts, (std::set<std::string>{"a", "bb", "ccc"}));
}

TEST(MultiStringConversion, ToSetStopsAtTheTerminatorAndAtLen) {
    struct Case {
        std::string bytes;
        int len;
        std::set<std::string> expected;
    };
    const std::vector<Case> cases = {
        {std::string("a\0b\0\0", 5), 5, {"a", "b"}},
        {std::string("a\0\0b\0\0", 6), 6, {"a"}},  // nothing after the empty text
        {std::string("a\0b", 3), 3, {"a", "b"}},   // no terminators at all
        {std::string("abcdef", 6), 3, {"abc"}},    // never past len
        {std::string("\0\0", 2), 2, {}},
        {std::string(), 0, {}},
    };
    for (const Case& c : cases) {
        // An exact-size heap copy, so that a read past `len` is a read past the buffer.
        std::vector<char> buf(c.bytes.begin(), c.bytes.begin() + c.len);
        std::set<std::string> out;
        EXPECT_TRUE(KYPlatformInfo::FromMultiSZStringToSet(buf.data(), c.len, out));
        EXPECT_EQ(out, c.expected) << c.len;
    }
}

TEST(MultiStringConversion, FromSetFailsWhenTheTextsDoNotFit) {
    const std::set<std::string> texts{"a", "bb"};
    const std::string expected("a\0bb\0\0", 6);
    for (int room : {5, 6, 7}) {
        char buf[16];
        std::memset(buf, '#', sizeof buf);
        int len = room;
        const int ok = KYPlatformInfo::FromSetToMultiSZString(texts, buf, len);
        if (room < 6) {
            EXPECT_FALSE(ok) << room;
            EXPECT_EQ(len, 6);
            EXPECT_EQ(std::string(buf, sizeof buf), std::string(16, '#')) << room;
        } else {
            EXPECT_TRUE(ok) << room;
            EXPECT_EQ(len, 6);
            EXPECT_EQ(std::string(buf, 6), expected);
            EXPECT_EQ(std::string(buf + 6, room - 6), std::string(room - 6, '\0'));  // filled
            EXPECT_EQ(buf[room], '#');  // and not a byte further
        }
    }
    // An empty text would end the list early: it is left out.
    char buf[8];
    int len = sizeof buf;
    ASSERT_TRUE(KYPlatformInfo::FromSetToMultiSZString({"", "x"}, buf, len));
    EXPECT_EQ(std::string(buf, len), std::string("x\0\0", 3));
    len = sizeof buf;
    ASSERT_TRUE(KYPlatformInfo::FromSetToMultiSZString({}, buf, len));
    EXPECT_EQ(len, 1);
}

TEST_F(PlatformInfoTest, StringListSplitsBySeparatorsInTurn) {
    Raw::string(inRoot("Base"), "sList", "a, b;c d:e|f");
    Raw::string(inRoot("Base"), "sQuoted", "\"x,y\",z");
    KYPlatformInfo pi;
    std::vector<std::string> parts;
    ASSERT_TRUE(pi.getStringList("Base", "sList", parts));
    EXPECT_EQ(parts, (std::vector<std::string>{"a", "b", "c", "d", "e", "f"}));
    std::vector<std::string> comma{","};
    ASSERT_TRUE(pi.getStringList("Base", "sQuoted", parts, &comma));
    EXPECT_EQ(parts, (std::vector<std::string>{"\"x,y\"", "z"}));
    EXPECT_FALSE(pi.getStringList("Base", "sMissing", parts));
    EXPECT_TRUE(parts.empty());
}

TEST_F(PlatformInfoTest, RegValuesShowsTextsAndNumbers) {
    const std::string key = inRoot("Base");
    Raw::string(key, "sText", "hello");
    Raw::dword(key, "nNumber", 4000000000u);
    const ULONGLONG big = 1ull << 40;
    Raw::set(key, "qBig", REG_QWORD, &big, sizeof big);
    Raw::set(key, "mList", REG_MULTI_SZ, "first\0second\0", 14);
    Raw::set(key, "bBlob", REG_BINARY, "\x01\x02", 2);
    KYPlatformInfo pi;
    std::map<std::string, std::string> values{{"stale", "entry"}};
    ASSERT_TRUE(pi.getRegValues("~Base", &values));
    EXPECT_EQ(values, (std::map<std::string, std::string>{{"mList", "first"},
                                                          {"nNumber", "4000000000"},
                                                          {"qBig", "1099511627776"},
                                                          {"sText", "hello"}}));
}

// ---- Copy, rename, delete ----------------------------------------------------------------

class TreeTest : public PlatformInfoTest {
protected:
    void SetUp() override {
        PlatformInfoTest::SetUp();
        Raw::string(inRoot("A"), "sValue", "in A");
        Raw::dword(inRoot("A\\Child"), "nDepth", 1);
        Raw::dword(inRoot("A\\Child\\Grandchild"), "nDepth", 2);
        Raw::string(inRoot("B"), "sOwn", "in B");
    }
    // The tree below a key, as "path=value" lines, for before/after comparisons.
    static std::vector<std::string> tree(const std::string& path) {
        std::vector<std::string> lines;
        KYPlatformInfo pi;
        std::map<std::string, std::string> values;
        if (pi.getRegValues(path.c_str(), &values)) {
            for (const auto& [name, value] : values)
                lines.push_back(name + "=" + value);
        }
        for (const std::string& sub : Raw::subKeys(path)) {
            for (const std::string& line : tree(path + "\\" + sub))
                lines.push_back(sub + "\\" + line);
            lines.push_back(sub + "\\");
        }
        return lines;
    }
};

TEST_F(TreeTest, CopyMakesANewTree) {
    const auto source = tree(inRoot("A"));
    KYPlatformInfo pi;
    ASSERT_TRUE(pi.copyRegKey("~A", "~New\\Place"));
    EXPECT_EQ(tree(inRoot("New\\Place")), source);
    EXPECT_EQ(tree(inRoot("A")), source);
    ASSERT_TRUE(pi.copyRegKey("A", "Child", "Other", "Copy"));
    EXPECT_EQ(tree(inRoot("Other\\Copy")), tree(inRoot("A\\Child")));
}

TEST_F(TreeTest, CopyRefusalsChangeNothing) {
    struct Case {
        const char* from;
        const char* to;
        const char* printed;
    };
    const std::vector<Case> cases = {
        {"~A", "~B",
         "KYPlatformInfo::copyRegKey(): Failed to create key [~B]: Key already exists!\n"},
        {"~A", "~a",
         "KYPlatformInfo::copyRegKey(): Failed to create key [~a]: Key already exists!\n"},
        {"~A", "~A\\Child\\Copy",
         "KYPlatformInfo::copyRegKey(): Failed to copy key [~A] into its own subkey "
         "[~A\\Child\\Copy]\n"},
        {"~Missing", "~C",
         "KYPlatformInfo::copyRegKey(): Failed to open key [~Missing]: The system cannot find "
         "the file specified.\n"},
    };
    const auto before = tree(kRoot);
    for (const Case& c : cases) {
        KYPlatformInfo pi = printing();
        bool ok = true;
        EXPECT_EQ(printedBy([&] { ok = pi.copyRegKey(c.from, c.to); }), c.printed);
        EXPECT_FALSE(ok) << c.to;
        EXPECT_EQ(pi.getRegError(), -1) << c.to;
        EXPECT_EQ(tree(kRoot), before) << c.to;
    }
}

TEST_F(TreeTest, CaseOnlyRenameKeepsTheTreeUnderTheNewSpelling) {
    const auto source = tree(inRoot("A"));
    KYPlatformInfo pi;
    ASSERT_TRUE(pi.renameRegKey("~A", "~a"));
    EXPECT_EQ(Raw::subKeys(kRoot), (std::vector<std::string>{"a", "B"}));
    EXPECT_EQ(tree(inRoot("a")), source);
}

TEST_F(TreeTest, RenameMovesTheTree) {
    const auto source = tree(inRoot("A"));
    KYPlatformInfo pi;
    ASSERT_TRUE(pi.renameRegKey(std::string("~A"), std::string("~Far/Away")));
    EXPECT_FALSE(Raw::exists(inRoot("A")));
    EXPECT_EQ(tree(inRoot("Far\\Away")), source);
    EXPECT_TRUE(pi.renameRegKey("~B", "~B"));
    EXPECT_EQ(tree(inRoot("B")), (std::vector<std::string>{"sOwn=in B"}));
}

TEST_F(TreeTest, RenameRefusalsChangeNothing) {
    struct Case {
        const char* from;
        const char* to;
        const char* printed;
    };
    const std::vector<Case> cases = {
        {"~A", "~B",
         "KYPlatformInfo::renameRegKey(): Failed to copy key ~A to ~B: Key already "
         "exists!\n"},
        {"~A", "~A\\Child\\Moved",
         "KYPlatformInfo::renameRegKey(): Failed to copy key ~A to ~A\\Child\\Moved: the new "
         "name lies below the old one.\n"},
        {"~a", "~A/child/x",
         "KYPlatformInfo::renameRegKey(): Failed to copy key ~a to ~A/child/x: the new name "
         "lies below the old one.\n"},
    };
    const auto before = tree(kRoot);
    for (const Case& c : cases) {
        KYPlatformInfo pi = printing();
        bool ok = true;
        EXPECT_EQ(printedBy([&] { ok = pi.renameRegKey(c.from, c.to); }), c.printed);
        EXPECT_FALSE(ok) << c.to;
        EXPECT_EQ(pi.getRegError(), -1) << c.to;
        EXPECT_EQ(tree(kRoot), before) << c.to;
    }
}

TEST_F(TreeTest, DeleteSectionNeverTakesTheInstanceRoot) {
    for (const char* section : {static_cast<const char*>(nullptr), "", "~", "~\\", "/"}) {
        KYPlatformInfo pi = printing();
        EXPECT_EQ(printedBy([&] { EXPECT_FALSE(pi.deleteSection(section)); }),
                  "KYPlatformInfo::deleteSection(): Invalid arguments.\n");
    }
    EXPECT_TRUE(Raw::exists(inRoot("A\\Child\\Grandchild")));

    KYPlatformInfo pi;
    ASSERT_TRUE(pi.deleteSection("A"));
    EXPECT_FALSE(Raw::exists(inRoot("A")));
    EXPECT_TRUE(Raw::exists(inRoot("B")));
    // The instance itself goes only when asked for by key.
    ASSERT_TRUE(pi.delRegKey("~"));
    EXPECT_FALSE(Raw::exists(kRoot));
    EXPECT_TRUE(Raw::exists("SOFTWARE\\Kelbrin Systems\\Sarvex"));
}

// ---- Derived queries ---------------------------------------------------------------------

TEST_F(PlatformInfoTest, PlatformTypeIsCheckedAndCompleted) {
    struct Case {
        long stored;  // -1: missing
        unsigned long expected;
        const char* printed;
    };
    const std::vector<Case> cases = {
        {-1, 0, ""},
        {1, 9, ""},
        {4, 4, ""},
        {0x1bf, 0x1bf, ""},
        {64, 0, "getKYPlatformType(): Invalid platform type.\n"},
        {0x205, 0, "getKYPlatformType(): Invalid platform type.\n"},
    };
    for (const Case& c : cases) {
        if (c.stored >= 0)
            Raw::dword(inRoot("Base"), "nPLATTYPE", static_cast<DWORD>(c.stored));
        KYPlatformInfo pi = printing();
        unsigned long type = 1234;
        EXPECT_EQ(printedBy([&] { type = pi.getKYPlatformType(); }), c.printed) << c.stored;
        EXPECT_EQ(type, c.expected) << c.stored;
    }
}

TEST_F(PlatformInfoTest, AppDebugLevelNameHasNoWhiteSpace) {
    Raw::dword(inRoot("EventManager"), "My_App_DEBUGLEVEL", 5);
    Raw::dword(inRoot("EventManager"), "Quiet_DEBUGLEVEL", 0);
    KYPlatformInfo pi;
    EXPECT_EQ(pi.getAppDebugLevel("My App"), 5);
    EXPECT_EQ(pi.getAppDebugLevel("My\tApp"), 5);
    EXPECT_EQ(pi.getAppDebugLevel("My_App"), 5);
    EXPECT_EQ(pi.getAppDebugLevel("Quiet"), -1);
    EXPECT_EQ(pi.getAppDebugLevel("Absent"), -1);
}

TEST_F(PlatformInfoTest, CentralServerNamesFollowRoleAndDomain) {
    Raw::string(inRoot("Zentra"), "sZSHOSTNAME", "zs.local");
    Raw::string(inRoot("RemoteZentras\\DomB\\Zentra"), "sZSHOSTNAME", "zs.domb");
    Raw::string(inRoot("RemoteZentras\\DomB\\MediaAgent"), "sZSHOSTNAME", "ma-view.domb");
    char buf[256];
    struct Case {
        DWORD platformType;
        std::function<int(KYPlatformInfo&)> call;
        const char* expected;  // null: fails
        const char* printed;
    };
    const std::vector<Case> cases = {
        {2, [&](KYPlatformInfo& pi) { return pi.getMediaAgentZSHostName(buf, 256); }, "zs.local",
         ""},  // falls back to the Zentra section
        {2, [&](KYPlatformInfo& pi) { return pi.getMediaAgentZSHostName(buf, 256, "DomB"); },
         "ma-view.domb", ""},
        {1, [&](KYPlatformInfo& pi) { return pi.findZentraHostName(buf, 256, "DomB"); }, "zs.domb",
         ""},
        {4, [&](KYPlatformInfo& pi) { return pi.getZentraHostName(buf, 256); }, nullptr,
         "KYPlatformInfo::getIdentifiedSystemName(): Invalid platform type.\n"},
        {1, [&](KYPlatformInfo& pi) { return pi.getZentraHostName(buf, 255); }, nullptr,
         "KYPlatformInfo::getIdentifiedSystemName(): Invalid buffer passed as input.\n"},
        {16, [&](KYPlatformInfo& pi) { return pi.findZentraHostName(buf, 256); }, nullptr,
         "KYPlatformInfo::findZentraHostName(): Invalid platform type.\n"},
    };
    for (const Case& c : cases) {
        Raw::dword(inRoot("Base"), "nPLATTYPE", c.platformType);
        KYPlatformInfo pi = printing();
        int ok = -1;
        std::memset(buf, 0, sizeof buf);
        EXPECT_EQ(printedBy([&] { ok = c.call(pi); }), c.printed);
        EXPECT_EQ(ok != 0, c.expected != nullptr);
        if (c.expected) {
            EXPECT_STREQ(buf, c.expected);
        }
    }
    // With the process focused on DomB, the plain central-server section is DomB's.
    Raw::dword(inRoot("Base"), "nPLATTYPE", 1);
    KYPI_Focus::setRemoteTesselFocus("DomB");
    KYPlatformInfo pi;
    ASSERT_TRUE(pi.getZentraHostName(buf, sizeof buf));
    EXPECT_STREQ(buf, "zs.domb");
}

TEST_F(PlatformInfoTest, ClusterGroupClientsAreActiveOnTheirNode) {
    Raw::string(kRoot, "sPhysicalNodeName", "node1");
    Raw::string(inRoot("Machines\\NODE1"), "sHOSTNAME", "node1.local");
    Raw::string(inRoot("Machines\\group-here"), "sPhysicalNodeName", "Node1");
    Raw::string(inRoot("Machines\\group-away"), "sPhysicalNodeName", "node2");
    KYPlatformInfo pi;
    EXPECT_EQ(pi.isClusterGroupClient("NODE1"), 0);
    EXPECT_EQ(pi.isClusterGroupClient("group-here"), 1);
    std::list<std::string> active;
    ASSERT_TRUE(pi.getActiveClientList(active));
    EXPECT_EQ(active, (std::list<std::string>{"group-here", "NODE1"}));

    std::string client, mangled;
    ASSERT_TRUE(pi.getClientNameFromHostName("NODE1.LOCAL", client));
    EXPECT_EQ(client, "NODE1");
    ASSERT_TRUE(pi.getClientHostNameMangled("NODE1", mangled));
    EXPECT_EQ(mangled, "node1.local*NODE1");
    char small[5];
    EXPECT_FALSE(pi.getClientHostName("NODE1", small, static_cast<int>(sizeof small)));
    EXPECT_EQ(pi.getLastErrorMsg(), "Too small buffer passed as input.");
}

// A client name is one key below "Machines": a separator would make it reach another
// client's key or below it, and an empty one the list itself.
TEST_F(PlatformInfoTest, ClientNamesAreOneKeyName) {
    // Before every call: a client "a" with a key below it that a path could reach.
    auto build = [] {
        kyos::reg::deleteTree(HKEY_LOCAL_MACHINE, inRoot("Machines"));
        Raw::string(inRoot("Machines\\a"), "sHOSTNAME", "a.local");
        Raw::string(inRoot("Machines\\a\\b"), "sHOSTNAME", "nested.local");
        Raw::string(inRoot("Machines\\a\\b"), "sGUID", "nested-guid");
        Raw::string(inRoot("Machines\\a\\b"), "sPhysicalNodeName", "node1");
        Raw::string(kRoot, "sPhysicalNodeName", "node1");
    };
    struct Call {
        const char* name;
        std::function<int(KYPlatformInfo&, const char*)> call;
        const char* printed;  // before the message, which is "Invalid arguments."
    };
    const std::vector<Call> calls = {
        {"getClientHostName",
         [](KYPlatformInfo& pi, const char* client) {
             std::string host;
             return pi.getClientHostName(client, host);
         },
         "KYPlatformInfo::getClientHostName(): Invalid arguments.\n"},
        {"getClientHostName into a buffer",
         [](KYPlatformInfo& pi, const char* client) {
             char buf[64];
             return pi.getClientHostName(client, buf, static_cast<int>(sizeof buf));
         },
         "KYPlatformInfo::getClientHostName(): Invalid arguments.\n"},
        {"getClientHostNameMangled",
         [](KYPlatformInfo& pi, const char* client) {
             std::string mangled;
             return pi.getClientHostNameMangled(client, mangled);
         },
         "KYPlatformInfo::getClientHostName(): Invalid arguments.\n"},
        {"setClientHostName",
         [](KYPlatformInfo& pi, const char* client) {
             return pi.setClientHostName(client, "new.local");
         },
         "KYPlatformInfo::setRegValue(): Invalid arguments.\n"},
        {"getClientGUID",
         [](KYPlatformInfo& pi, const char* client) {
             std::string guid;
             return pi.getClientGUID(client, guid);
         },
         "KYPlatformInfo::getRegStringImpl(): Invalid arguments passed.\n"},
        {"renameClientName from",
         [](KYPlatformInfo& pi, const char* client) { return pi.renameClientName(client, "c"); },
         "KYPlatformInfo::renameRegKey(): Invalid arguments.\n"},
        {"renameClientName to",
         [](KYPlatformInfo& pi, const char* client) { return pi.renameClientName("a", client); },
         "KYPlatformInfo::renameRegKey(): Invalid arguments.\n"},
        {"isClusterGroupClientActive",
         [](KYPlatformInfo& pi, const char* client) {
             return pi.isClusterGroupClientActive(client);
         },
         ""},
    };
    for (const Call& c : calls) {
        for (const char* client : {"", "a\\b", "a/b", "\\a", "a/"}) {
            build();
            KYPlatformInfo pi = printing();
            int result = -1;
            EXPECT_EQ(printedBy([&] { result = c.call(pi, client); }), c.printed)
                << c.name << " " << client;
            EXPECT_EQ(result, 0) << c.name << " " << client;
            EXPECT_EQ(Raw::subKeys(inRoot("Machines")), std::vector<std::string>{"a"})
                << c.name << " " << client;
            EXPECT_EQ(Raw::subKeys(inRoot("Machines\\a")), std::vector<std::string>{"b"})
                << c.name << " " << client;
            EXPECT_EQ(Raw::get(inRoot("Machines\\a\\b"), "sHOSTNAME").second,
                      std::string("nested.local", 13))
                << c.name << " " << client;
        }
    }
    // The names themselves still work.
    KYPlatformInfo pi;
    std::string host;
    ASSERT_TRUE(pi.getClientHostName("a", host));
    EXPECT_EQ(host, "a.local");
}

TEST_F(PlatformInfoTest, LaptopModeIsCachedAndAnnounced) {
    auto recorder = boost::make_shared<RecordingWriter>();
    SetLogWriter(recorder);
    KYPlatformInfo pi;
    Raw::dword(inRoot("MediaAgent"), "LaptopBackupMode", 3);
    EXPECT_EQ(pi.getLaptopBackupMode(), KYPI_LAPTOP_BACKUP_NONE);
    EXPECT_FALSE(KYPlatformInfo::m_bScheduleLoaded);

    Raw::dword(inRoot("MediaAgent"), "LaptopBackupMode", 1);
    EXPECT_TRUE(pi.IsClassicLaptopJobAllowed());
    EXPECT_FALSE(pi.IsCloudLaptopClient());
    Raw::dword(inRoot("MediaAgent"), "LaptopBackupSuspend", 1);
    EXPECT_FALSE(pi.IsClassicLaptopJobAllowed());

    ASSERT_TRUE(pi.setLaptopBackupMode(KYPI_LAPTOP_BACKUP_CLOUD));
    EXPECT_FALSE(KYPlatformInfo::m_bScheduleLoaded);
    EXPECT_TRUE(pi.IsCloudLaptopClient());  // the cache follows the change
    EXPECT_FALSE(pi.IsCloudLaptopJobAllowed());

    EXPECT_EQ(recorder->lines(),
              (std::vector<std::string>{
                  "KYPlatformInfo::getLaptopBackupMode: LaptopBackupMode MODE is 1. Set "
                  "m_bScheduleLoaded to true",
                  "KYPlatformInfo::setLaptopBackupMode: SET LaptopBackupMode MODE TO 2",
                  "KYPlatformInfo::setLaptopBackupMode: LaptopBackupMode MODE is 2. Set "
                  "m_bScheduleLoaded to false",
                  "KYPlatformInfo::getLaptopBackupMode: LaptopBackupMode MODE is 2. Set "
                  "m_bScheduleLoaded to true"}));
}

TEST_F(PlatformInfoTest, InstalledPackagesAreTheInstalledNumberedKeys) {
    Raw::string(inRoot("InstalledPackages\\51"), "sInstallState", "Installed");
    Raw::string(inRoot("InstalledPackages\\25"), "sInstallState", "Installed");
    Raw::string(inRoot("InstalledPackages\\54"), "sInstallState", "Removed");
    Raw::string(inRoot("InstalledPackages\\Notes"), "sInstallState", "Installed");
    Raw::dword(inRoot("Base"), "nPLATTYPE", 4);
    KYPlatformInfo pi;
    std::vector<int> packages;
    ASSERT_TRUE(pi.GetListOfInstalledPackages(packages));
    EXPECT_EQ(packages, (std::vector<int>{25, 51}));
    EXPECT_TRUE(pi.IsFullMAInstalled());
    EXPECT_FALSE(pi.IsCoreMAInstalled());
    EXPECT_TRUE(pi.IsAppMgrLiteNode());
}

// ---- The instance of a host --------------------------------------------------------------

class InstanceOfHostTest : public PlatformInfoTest {
protected:
    void SetUp() override {
        PlatformInfoTest::SetUp();
        const std::string product = "SOFTWARE\\Kelbrin Systems\\Sarvex\\";
        Raw::string(product + "Instance001\\Machines\\pc1", "sHOSTNAME", "HostA");
        Raw::string(product + "Instance001\\Zentra", "sZSHOSTNAME", "zs1");
        Raw::string(product + "Instance002\\Machines\\pc2", "sHOSTNAME", "hostB");
        Raw::string(product + "Instance002\\Machines\\pc3", "sHOSTNAME", "hostC");
        Raw::string(product + "Instance002\\Zentra", "sZSHOSTNAME", "zs2");
        // Not instances: the prefix is compared with its letter case.
        Raw::string(product + "instance009\\Machines\\pc9", "sHOSTNAME", "hostD");
        Raw::string(product + "Settings\\Machines\\pc9", "sHOSTNAME", "hostD");
    }
};

TEST_F(InstanceOfHostTest, FindsTheOneInstance) {
    using Finder = std::function<int(KYPlatformInfo&, char*, int)>;
    struct Case {
        const char* name;
        Finder find;
        int len;
        const char* expected;  // the instance, or the failure message
    };
    const std::vector<Case> cases = {
        {"by host",
         [](KYPlatformInfo& pi, char* b, int l) {
             return pi.GetInstanceNameFromHostName("hosta", b, l);
         },
         64, "Instance001"},
        {"by host from the fixed product",
         [](KYPlatformInfo& pi, char* b, int l) {
             return pi.GetInstanceNameFromHostNameForSarvex("HOSTC", b, l);
         },
         64, "Instance002"},
        {"by client and central server",
         [](KYPlatformInfo& pi, char* b, int l) {
             return pi.GetInstanceNameFromClinetAndZSHostNameForSarvex("PC2", "ZS2", b, l);
         },
         64, "Instance002"},
        {"none",
         [](KYPlatformInfo& pi, char* b, int l) {
             return pi.GetInstanceNameFromHostName("hostD", b, l);
         },
         64, "Instance match not found."},
        {"client of another central server",
         [](KYPlatformInfo& pi, char* b, int l) {
             return pi.GetInstanceNameFromClinetAndZSHostNameForSarvex("pc2", "zs1", b, l);
         },
         64, "Instance match not found."},
        {"small buffer",
         [](KYPlatformInfo& pi, char* b, int l) {
             return pi.GetInstanceNameFromHostName("hostB", b, l);
         },
         11, "Instance buffer size insufficient."},
        {"no host",
         [](KYPlatformInfo& pi, char* b, int l) {
             return pi.GetInstanceNameFromHostName("", b, l);
         },
         64, "Invalid argument."},
    };
    for (const Case& c : cases) {
        KYPlatformInfo pi(0, 0);
        char instance[64] = "untouched";
        const int ok = c.find(pi, instance, c.len);
        if (std::strncmp(c.expected, "Instance0", 9) == 0) {
            EXPECT_EQ(ok, 1) << c.name;
            EXPECT_STREQ(instance, c.expected) << c.name;
            EXPECT_EQ(pi.getRegError(), 0) << c.name;
        } else {
            EXPECT_EQ(ok, 0) << c.name;
            EXPECT_EQ(pi.getLastErrorMsg(), c.expected) << c.name;
            EXPECT_STREQ(instance, "untouched") << c.name;
        }
    }
}

TEST_F(InstanceOfHostTest, HostInTwoInstancesIsAmbiguous) {
    Raw::string("SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance003\\Machines\\other", "sHOSTNAME",
                "HOSTA");
    KYPlatformInfo pi(0, 0);
    char instance[64];
    EXPECT_EQ(pi.GetInstanceNameFromHostName("hostA", instance, sizeof instance), 0);
    EXPECT_EQ(pi.getLastErrorMsg(), "More than one instance contain the same host name.");
    EXPECT_EQ(pi.GetInstanceNameFromHostNameForSarvex("hostA", instance, sizeof instance), 0);
    EXPECT_EQ(pi.getLastErrorMsg(), "More than one instance contain the same host name.");
}

TEST_F(InstanceOfHostTest, InstanceListComesFromTheProductRoot) {
    KYPlatformInfo pi;
    std::vector<std::string> instances;
    ASSERT_TRUE(pi.GetAllInInstances(instances));
    EXPECT_EQ(instances, (std::vector<std::string>{"Instance001", "Instance002"}));

    KYPI_Focus::setProductName("Elsewhere");
    KYPlatformInfo other;
    EXPECT_FALSE(other.GetAllInInstances(instances));
    EXPECT_EQ(other.getRegError(), -2);
}

}  // namespace
