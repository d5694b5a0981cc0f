#include "kylib/diagnostics/EvDebugLogSettingManager.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "os/System.h"
#include "os/registry/Registry.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "tests/support/TempDir.h"

namespace {

constexpr const char* kInstance = "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001";
constexpr const char* kImageOptions =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options";
constexpr const char* kSessionManager = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
// 2026-03-01 12:00:00 UTC: a fixed now, far from the DWORD's limits.
constexpr std::int64_t kNow = 1772366400;

std::atomic<std::int64_t> g_now{kNow};
std::int64_t testClock() {
    return g_now.load();
}

// The delete hook's behaviour for the current test.
std::atomic<bool> g_failSettingDelete{false};
std::atomic<bool> g_failImageKeyDelete{false};
std::atomic<bool> g_renewOnDelete{false};
std::thread g_renewal;

bool deleteHook(const char* key, const char* field) {
    const std::string f = field;
    if (g_failSettingDelete && f == "KYTEST_DEBUGLEVEL")
        return false;
    if (g_failImageKeyDelete && f.empty() &&
        std::string(key).find("Image File") != std::string::npos)
        return false;
    if (g_renewOnDelete.exchange(false) && f == "KYTEST_DEBUGLEVEL") {
        // An administrator renews the override while the housekeeping is about to delete
        // it: the renewal is given the time it needs unless the store makes it wait.
        std::promise<void> done;
        std::future<void> finished = done.get_future();
        g_renewal = std::thread([p = std::move(done)]() mutable {
            kyos::reg::Transaction t;
            HKEY k = nullptr;
            kyos::reg::createKey(HKEY_LOCAL_MACHINE, std::string(kInstance) + "\\EventManager", 0,
                                 KEY_ALL_ACCESS, &k, nullptr);
            DWORD level = 7, until = static_cast<DWORD>(kNow + 3600);
            kyos::reg::setValue(k, "kytest_DEBUGLEVEL", REG_DWORD, &level, sizeof level);
            kyos::reg::setValue(k, "kytest_DEBUGLEVEL_UNTIL", REG_DWORD, &until, sizeof until);
            kyos::reg::closeKey(k);
            t.commit();
            p.set_value();
        });
        finished.wait_for(std::chrono::milliseconds(500));
    }
    return true;
}

// Each case runs in a process of its own under CTest; the process-wide hooks and the
// watch's state are reset all the same, for a binary run whole.
class LogSettingManagerTest : public kytest::StoreTest {
protected:
    void SetUp() override {
        kytest::StoreTest::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
        KYPI_Focus::setFocus("Instance001");
        logDir_ = dir_.file("logs");
        ASSERT_EQ(mkdir(logDir_.c_str(), 0700), 0);
        setText("~EventManager", "dEVLOGDIR", logDir_, REG_EXPAND_SZ);
        g_now = kNow;
        EvDebugLogSettingManager::SetClockForTesting(testClock);
        EvDebugLogSettingManager::SetDeleteHookForTesting(deleteHook);
        EvDebugLogSettingManager::ResetGlobalFlagWatchForTesting();
        g_failSettingDelete = false;
        g_failImageKeyDelete = false;
        g_renewOnDelete = false;
    }
    void TearDown() override {
        EvDebugLogSettingManager::SetClockForTesting(nullptr);
        EvDebugLogSettingManager::SetDeleteHookForTesting(nullptr);
        EvDebug::CleanupFileHandleList();
        KYPI_Focus::reload();
        kytest::StoreTest::TearDown();
    }

    // Keys: "~Section" below the instance, else absolute.
    static std::string path(const std::string& key) {
        return key[0] == '~' ? std::string(kInstance) + "\\" + key.substr(1) : key;
    }
    void setNumber(const std::string& key, const std::string& name, DWORD v) {
        HKEY k = nullptr;
        ASSERT_EQ(
            kyos::reg::createKey(HKEY_LOCAL_MACHINE, path(key), 0, KEY_ALL_ACCESS, &k, nullptr),
            ERROR_SUCCESS);
        ASSERT_EQ(kyos::reg::setValue(k, name, REG_DWORD, &v, sizeof v), ERROR_SUCCESS);
        kyos::reg::closeKey(k);
    }
    void setText(const std::string& key, const std::string& name, const std::string& v,
                 DWORD type = REG_SZ) {
        HKEY k = nullptr;
        ASSERT_EQ(
            kyos::reg::createKey(HKEY_LOCAL_MACHINE, path(key), 0, KEY_ALL_ACCESS, &k, nullptr),
            ERROR_SUCCESS);
        ASSERT_EQ(kyos::reg::setValue(k, name, type, v.c_str(), static_cast<DWORD>(v.size() + 1)),
                  ERROR_SUCCESS);
        kyos::reg::closeKey(k);
    }
    void createKey(const std::string& key) {
        HKEY k = nullptr;
        ASSERT_EQ(
            kyos::reg::createKey(HKEY_LOCAL_MACHINE, path(key), 0, KEY_ALL_ACCESS, &k, nullptr),
            ERROR_SUCCESS);
        kyos::reg::closeKey(k);
    }
    std::optional<DWORD> number(const std::string& key, const std::string& name) {
        DWORD v = 0, size = sizeof v, type = 0;
        if (kyos::reg::getValue(HKEY_LOCAL_MACHINE, path(key), name, &type, &v, &size) !=
                ERROR_SUCCESS ||
            type != REG_DWORD)
            return std::nullopt;
        return v;
    }
    std::optional<std::string> text(const std::string& key, const std::string& name) {
        char buf[256] = "";
        DWORD size = sizeof buf, type = 0;
        if (kyos::reg::getValue(HKEY_LOCAL_MACHINE, path(key), name, &type, buf, &size) !=
                ERROR_SUCCESS ||
            type != REG_SZ)
            return std::nullopt;
        return std::string(buf);
    }
    bool exists(const std::string& key, const std::string& name) {
        DWORD size = 0;
        return kyos::reg::getValue(HKEY_LOCAL_MACHINE, path(key), name, nullptr, nullptr, &size) ==
               ERROR_SUCCESS;
    }
    bool keyExists(const std::string& key) {
        HKEY k = nullptr;
        if (kyos::reg::openKey(HKEY_LOCAL_MACHINE, path(key), 0, KEY_READ, &k) != ERROR_SUCCESS)
            return false;
        kyos::reg::closeKey(k);
        return true;
    }
    void deleteKey(const std::string& key) { kyos::reg::deleteTree(HKEY_LOCAL_MACHINE, path(key)); }

    // A home folder with the product's executables, and image keys naming them.
    std::string makeHome() {
        const std::string home = dir_.file("home");
        EXPECT_EQ(mkdir(home.c_str(), 0755), 0);
        auto make = [&](const char* name, mode_t mode) {
            kytest::writeFile(home + "/" + name, "#!/bin/sh\n");
            EXPECT_EQ(chmod((home + "/" + name).c_str(), mode), 0);
        };
        make("kyd", 0755);
        make("KyBackup", 0700);
        make("notes.txt", 0644);
        EXPECT_EQ(symlink((home + "/kyd").c_str(), (home + "/linked").c_str()), 0);
        setText("~Base", "dBASEHOME", home, REG_EXPAND_SZ);
        return home;
    }
    std::string image(const std::string& name) { return std::string(kImageOptions) + "\\" + name; }
    std::string report() { return kytest::readFile(logDir_ + "/GlobalFlagInfo.log"); }

    std::string logDir_;
};

std::string localDaysLater(std::int64_t now, int days) {
    // TZ is UTC in these tests: calendar days are whole days.
    return std::to_string(now + std::int64_t{days} * 86400);
}

// =========================================================================================
// Override expiry.

TEST_F(LogSettingManagerTest, OverridesGetAnExpiryAndExpire) {
    enum class After { kAbsent, kUnchanged, kNewLifetime };
    struct Case {
        const char* what;
        bool setting;
        std::optional<std::int64_t> expiry;  // relative to now
        bool expiryIsText;
        bool settingStays;
        After expiryAfter;
    } cases[] = {
        {"new override", true, std::nullopt, false, true, After::kNewLifetime},
        {"expired", true, -1, false, false, After::kAbsent},
        {"expires now, not before", true, 0, false, true, After::kUnchanged},
        {"in force", true, 100, false, true, After::kUnchanged},
        {"leftover expiry, past", false, -1, false, false, After::kAbsent},
        {"leftover expiry, future", false, 100, false, false, After::kAbsent},
        {"expiry of the wrong type", true, 0, true, true, After::kNewLifetime},
        {"nothing", false, std::nullopt, false, false, After::kAbsent},
    };
    // The four overrides that expire, and how long each may stay.
    const struct {
        const char* settingSuffix;
        const char* expirySuffix;
        std::uint32_t lifetimeSeconds;
    } pairs[] = {
        {"_DEBUGLEVEL", "_DEBUGLEVEL_UNTIL", 604800},
        {"_MAXLOGFILESIZE", "_MAXLOGFILESIZE_UNTIL", 604800},
        {"_MAXLOGFILEBACKUPS", "_MAXLOGFILEBACKUPS_UNTIL", 604800},
        {"_DEBUGWAITTIME", "_DEBUGWAITTIME_UNTIL", 86400},
    };
    auto moduleOf = [](size_t c, size_t p) {
        return "mod" + std::to_string(c) + "x" + std::to_string(p);
    };
    for (size_t c = 0; c < std::size(cases); ++c) {
        for (size_t p = 0; p < std::size(pairs); ++p) {
            const std::string m = moduleOf(c, p);
            if (cases[c].setting)
                setNumber("~EventManager", m + pairs[p].settingSuffix, 5);
            if (cases[c].expiryIsText)
                setText("~EventManager", m + pairs[p].expirySuffix, "soon");
            else if (cases[c].expiry)
                setNumber("~EventManager", m + pairs[p].expirySuffix,
                          static_cast<DWORD>(kNow + *cases[c].expiry));
        }
    }
    EXPECT_EQ(ReviseDebugLogSetting_OnTimer(), 0u);
    for (size_t c = 0; c < std::size(cases); ++c) {
        for (size_t p = 0; p < std::size(pairs); ++p) {
            const Case& k = cases[c];
            const std::string m = moduleOf(c, p);
            SCOPED_TRACE(std::string(k.what) + " / " + pairs[p].settingSuffix);
            EXPECT_EQ(exists("~EventManager", m + pairs[p].settingSuffix), k.settingStays);
            const auto until = number("~EventManager", m + pairs[p].expirySuffix);
            switch (k.expiryAfter) {
                case After::kAbsent:
                    EXPECT_FALSE(exists("~EventManager", m + pairs[p].expirySuffix));
                    break;
                case After::kUnchanged:
                    EXPECT_EQ(until, static_cast<DWORD>(kNow + *k.expiry));
                    break;
                case After::kNewLifetime:
                    EXPECT_EQ(until, static_cast<DWORD>(kNow + pairs[p].lifetimeSeconds));
                    break;
            }
        }
    }
}

TEST_F(LogSettingManagerTest, AnOverrideRenewedMeanwhileSurvives) {
    setNumber("~EventManager", "kytest_DEBUGLEVEL", 5);
    setNumber("~EventManager", "kytest_DEBUGLEVEL_UNTIL", static_cast<DWORD>(kNow - 10));
    g_renewOnDelete = true;
    ReviseDebugLogSetting_OnTimer();
    ASSERT_TRUE(g_renewal.joinable());
    g_renewal.join();
    EXPECT_EQ(number("~EventManager", "kytest_DEBUGLEVEL"), 7u);
    EXPECT_EQ(number("~EventManager", "kytest_DEBUGLEVEL_UNTIL"), static_cast<DWORD>(kNow + 3600));
}

TEST_F(LogSettingManagerTest, ASettingThatCannotBeDeletedKeepsItsExpiry) {
    setNumber("~EventManager", "kytest_DEBUGLEVEL", 5);
    setNumber("~EventManager", "kytest_DEBUGLEVEL_UNTIL", static_cast<DWORD>(kNow - 10));
    g_failSettingDelete = true;
    ReviseDebugLogSetting_OnTimer();
    EXPECT_EQ(number("~EventManager", "kytest_DEBUGLEVEL"), 5u);
    EXPECT_EQ(number("~EventManager", "kytest_DEBUGLEVEL_UNTIL"), static_cast<DWORD>(kNow - 10));
    // Once the store lets it go, the next run expires it (no new lifetime was granted).
    g_failSettingDelete = false;
    ReviseDebugLogSetting_OnTimer();
    EXPECT_FALSE(exists("~EventManager", "kytest_DEBUGLEVEL"));
    EXPECT_FALSE(exists("~EventManager", "kytest_DEBUGLEVEL_UNTIL"));
}

TEST_F(LogSettingManagerTest, ModuleNamesFindTheirKnownLog) {
    struct Case {
        const char* module;
        const char* row;  // null: none
    } cases[] = {
        {"kyd", "kyd"},
        {"KYD", "kyd"},
        {"CL_PC1_KYD", "kyd"},
        {"cl_my_pc_kyd", "kyd"},
        {"kyd-2", "kyd"},
        {"cl_my-pc_kyd-2", "kyd"},
        {"Cl_Host_KyBasic", "kybasic"},
        {"cl__kyd", nullptr},  // no client
        {"cl_kyd", nullptr},
        {"xkyd", nullptr},
        {"cl_pc1_nosuch", nullptr},
        {"nosuch", nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        const KYLogFileInfo* row = EvDebugLogSettingManager::FindModuleRow(c.module);
        if (c.row == nullptr) {
            EXPECT_EQ(row, nullptr) << c.module;
        } else if (row == nullptr) {
            ADD_FAILURE() << c.module << " found no row";
        } else {
            EXPECT_STREQ(row->name, c.row) << c.module;
        }
    }
}

TEST_F(LogSettingManagerTest, BackupSettingsEqualToTheDefaultAreDeleted) {
    // The row default of "kyd" is 5 backups.
    struct Case {
        const char* value;
        DWORD number;
        bool stays;
    } cases[] = {
        {"kyd_MAXLOGFILEBACKUPS", 5, false},
        {"kyd_DEFAULTLOGFILEBACKUPS", 6, true},
        {"CL_PC1_KYD_MAXLOGFILEBACKUPS", 5, false},
        {"CL_PC1_KYD_DEFAULTLOGFILEBACKUPS", 5, false},
        {"cl_my_pc_kyd_MAXLOGFILEBACKUPS", 5, false},
        {"cl_my_pc_kyd_DEFAULTLOGFILEBACKUPS", 4, true},
        {"kyd-2_MAXLOGFILEBACKUPS", 5, false},
        {"kyd-2_DEFAULTLOGFILEBACKUPS", 5, false},
        {"cl_pc2_kyd-3_MAXLOGFILEBACKUPS", 9, true},
        {"nosuch_MAXLOGFILEBACKUPS", 5, true},  // no row to compare with
    };
    for (const Case& c : cases)
        setNumber("~EventManager", c.value, c.number);
    ReviseDebugLogSetting_OnTimer();
    for (const Case& c : cases) {
        EXPECT_EQ(exists("~EventManager", c.value), c.stays) << c.value;
        if (c.stays) {
            EXPECT_EQ(number("~EventManager", c.value), c.number) << c.value;
        }
    }
}

TEST_F(LogSettingManagerTest, FirewallDebugTextIsSwitchedOffWhenItExpires) {
    enum class After { kAbsent, kUnchanged, kNewLifetime };
    struct Case {
        const char* text;  // null: absent
        std::optional<std::int64_t> expiry;
        const char* textAfter;
        After expiryAfter;
    } cases[] = {
        {"3", -1, "*3*", After::kAbsent},
        {"3", 100, "3", After::kUnchanged},
        {"3", std::nullopt, "3", After::kNewLifetime},
        {"*3*", -1, "*3*", After::kAbsent},
        {"*3*", 100, "*3*", After::kAbsent},
        {"*3*", std::nullopt, "*3*", After::kAbsent},
        {nullptr, -1, nullptr, After::kAbsent},
        {nullptr, std::nullopt, nullptr, After::kAbsent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text ? c.text : "(absent)") + " " +
                     (c.expiry ? std::to_string(*c.expiry) : "no expiry"));
        deleteKey("~Firewall");
        createKey("~Firewall");
        if (c.text)
            setText("~Firewall", "nDEBUG", c.text);
        if (c.expiry)
            setNumber("~Firewall", "nDEBUG_UNTIL", static_cast<DWORD>(kNow + *c.expiry));
        ReviseDebugLogSetting_OnTimer();
        EXPECT_EQ(text("~Firewall", "nDEBUG"),
                  c.textAfter ? std::optional<std::string>(c.textAfter) : std::nullopt);
        const auto until = number("~Firewall", "nDEBUG_UNTIL");
        switch (c.expiryAfter) {
            case After::kAbsent:
                EXPECT_FALSE(exists("~Firewall", "nDEBUG_UNTIL"));
                break;
            case After::kUnchanged:
                EXPECT_EQ(until, static_cast<DWORD>(kNow + *c.expiry));
                break;
            case After::kNewLifetime:
                EXPECT_EQ(until, static_cast<DWORD>(kNow + 604800));
                break;
        }
    }
}

// =========================================================================================
// The global-flag watch.

TEST_F(LogSettingManagerTest, WatchFirstRunRecordsTheProductsImages) {
    struct Case {
        std::optional<DWORD> expireDays;
        int days;
    } cases[] = {{std::nullopt, 7}, {0, 7}, {3, 3}};
    makeHome();
    setNumber(image("kyd"), "GlobalFlag", 0x02000000);
    setText(image("kyd"), "PageHeapFlags", "0x3");
    setText(image("KYBACKUP"), "GlobalFlag", "0x100");
    for (const char* other : {"notes.txt", "linked", "other"})
        setNumber(image(other), "GlobalFlag", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.days);
        deleteKey("~Runtime");
        EvDebugLogSettingManager::ResetGlobalFlagWatchForTesting();
        if (c.expireDays)
            setNumber("~Kyd", "GflagExpireDays", *c.expireDays);
        EXPECT_EQ(CheckGlobalFlags_OnTimer(), 0u);
        for (const char* img : {"kyd", "kybackup"}) {
            const auto timeout = number("~Runtime\\gflags", std::string(img) + "_Timeout");
            ASSERT_TRUE(timeout.has_value()) << img;
            EXPECT_EQ(std::to_string(*timeout), localDaysLater(kNow, c.days)) << img;
            EXPECT_EQ(number("~Runtime\\gflags", std::string(img) + "_Detected"),
                      static_cast<DWORD>(kNow));
        }
        for (const char* img : {"notes.txt", "linked", "other"})
            EXPECT_FALSE(exists("~Runtime\\gflags", std::string(img) + "_Timeout")) << img;
    }
    const std::string r = report();
    EXPECT_NE(r.find("Current Registry Settings for kyd executable are: \n"
                     "GlobalFlag - 0x02000000 (DWORD)\n"
                     "PageHeapFlags - 0x3\n"),
              std::string::npos)
        << r;
    EXPECT_NE(r.find("Current Registry Settings for KYBACKUP executable are: \n"
                     "GlobalFlag - 0x100\n"),
              std::string::npos)
        << r;
    EXPECT_EQ(r.find("other"), std::string::npos) << r;
    EXPECT_EQ(r.find("notes.txt"), std::string::npos) << r;
    EXPECT_NE(r.find("System wide gflags are not set. \n"), std::string::npos) << r;
}

TEST_F(LogSettingManagerTest, WatchClearsExpiredImageFlags) {
    makeHome();
    setNumber(image("kyd"), "GlobalFlag", 0x02000000);
    setNumber(image("kybackup"), "GlobalFlag", 0x100);
    setNumber("~Runtime\\gflags", "kyd_Timeout", static_cast<DWORD>(kNow - 1));
    setNumber("~Runtime\\gflags", "kyd_Detected", static_cast<DWORD>(kNow - 7 * 86400));
    setNumber("~Runtime\\gflags", "kybackup_Timeout", static_cast<DWORD>(kNow + 1));
    setNumber("~Runtime\\gflags", "kybackup_Detected", static_cast<DWORD>(kNow - 86400));

    // An image key that cannot be deleted keeps its bookkeeping, to be tried again.
    g_failImageKeyDelete = true;
    CheckGlobalFlags_OnTimer();
    EXPECT_TRUE(keyExists(image("kyd")));
    EXPECT_EQ(number("~Runtime\\gflags", "kyd_Timeout"), static_cast<DWORD>(kNow - 1));

    g_failImageKeyDelete = false;
    EvDebugLogSettingManager::ResetGlobalFlagWatchForTesting();
    CheckGlobalFlags_OnTimer();
    EXPECT_FALSE(keyExists(image("kyd")));
    EXPECT_FALSE(exists("~Runtime\\gflags", "kyd_Timeout"));
    EXPECT_FALSE(exists("~Runtime\\gflags", "kyd_Detected"));
    EXPECT_TRUE(keyExists(image("kybackup")));
    EXPECT_EQ(number("~Runtime\\gflags", "kybackup_Timeout"), static_cast<DWORD>(kNow + 1));
    const std::string r = report();
    EXPECT_EQ(r.find("for kyd executable"), std::string::npos) << r;
    EXPECT_NE(r.find("for kybackup executable"), std::string::npos) << r;
}

TEST_F(LogSettingManagerTest, WatchDisabledDoesNothing) {
    makeHome();
    setNumber(image("kyd"), "GlobalFlag", 0x02000000);
    setNumber("~Kyd", "disablegflagcheck", 1);
    CheckGlobalFlags_OnTimer();
    EXPECT_FALSE(keyExists("~Runtime\\gflags"));
    EXPECT_NE(access((logDir_ + "/GlobalFlagInfo.log").c_str(), F_OK), 0);
}

TEST_F(LogSettingManagerTest, WatchLooksOncePerDay) {
    setNumber(image("kyd"), "GlobalFlag", 0x02000000);
    // Without a home folder the run gives up and does not count as a check.
    CheckGlobalFlags_OnTimer();
    EXPECT_FALSE(exists("~Runtime\\gflags", "kyd_Timeout"));
    makeHome();
    CheckGlobalFlags_OnTimer();
    EXPECT_EQ(number("~Runtime\\gflags", "kyd_Timeout"), static_cast<DWORD>(kNow + 7 * 86400));

    setNumber(image("kybackup"), "GlobalFlag", 0x100);
    for (std::int64_t later : {std::int64_t{23 * 3600}, std::int64_t{86400}}) {
        g_now = kNow + later;
        CheckGlobalFlags_OnTimer();
        EXPECT_FALSE(exists("~Runtime\\gflags", "kybackup_Timeout")) << later;
    }
    g_now = kNow + 86401;
    CheckGlobalFlags_OnTimer();
    EXPECT_EQ(number("~Runtime\\gflags", "kybackup_Timeout"),
              static_cast<DWORD>(kNow + 86401 + 7 * 86400));
}

TEST_F(LogSettingManagerTest, WatchRunOnManyThreadsAtOnce) {
    makeHome();
    setNumber(image("kyd"), "GlobalFlag", 0x02000000);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([] { CheckGlobalFlags_OnTimer(nullptr); });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(number("~Runtime\\gflags", "kyd_Timeout"), static_cast<DWORD>(kNow + 7 * 86400));
    EXPECT_NE(report().find("for kyd executable"), std::string::npos);
}

TEST_F(LogSettingManagerTest, ReportShowsTheSystemWideFlags) {
    struct Case {
        std::optional<DWORD> flags;
        const char* text;
    } cases[] = {
        {std::nullopt, "No images with gflags found\nSystem wide gflags are not set. \n"},
        {0, "No images with gflags found\nSystem wide gflags are not set. \n"},
        {0x400, "No images with gflags found\nEnable pool tagging is set.\n"},
        {0x2000,
         "No images with gflags found\nSystem Registry gflags. Flag:GlobalFlag Value:0x2000\n"
         "Current Boot Registry Settings are: \nGlobalFlag - 0x00002000 (DWORD)\n"},
    };
    makeHome();
    for (const Case& c : cases) {
        if (c.flags)
            setNumber(kSessionManager, "GlobalFlag", *c.flags);
        EvDebugLogSettingManager::ResetGlobalFlagWatchForTesting();
        CheckGlobalFlags_OnTimer();
        EXPECT_EQ(report(), c.text);
    }
}

TEST_F(LogSettingManagerTest, TwoProcessesWritingTheReportLeaveOneWholeReport) {
    makeHome();
    // A report of some size, so that the writers overlap.
    for (int i = 0; i < 300; ++i)
        setText(image("kyd"), "Setting" + std::to_string(i), std::string(40, 'a' + i % 26));
    CheckGlobalFlags_OnTimer();
    const std::string whole = report();
    ASSERT_GT(whole.size(), 10000u);

    std::vector<pid_t> children;
    for (int c = 0; c < 2; ++c) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            EvDebugLogSettingManager manager;
            for (int i = 0; i < 300; ++i)
                manager.WriteFlagReport({"kyd"});
            _exit(0);
        }
        children.push_back(pid);
    }
    // A reader meanwhile sees the old whole report or the new one, never a part.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int partial = 0;
    for (;;) {
        siginfo_t info{};
        const bool ended = waitid(P_PID, static_cast<id_t>(children[0]), &info,
                                  WEXITED | WNOHANG | WNOWAIT) != 0 ||
                           info.si_pid != 0;
        if (ended || std::chrono::steady_clock::now() >= deadline)
            break;
        const std::string seen = report();
        if (seen != whole)
            ++partial;
    }
    EXPECT_EQ(partial, 0);
    for (pid_t pid : children) {
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (done == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "a writer did not finish in time";
            continue;
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(report(), whole);
    DIR* dir = opendir(logDir_.c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        EXPECT_TRUE(name == "." || name == ".." || name == "GlobalFlagInfo.log") << name;
    }
    closedir(dir);
}

// =========================================================================================
// The flag print of an opening log.

TEST_F(LogSettingManagerTest, OpeningALogPrintsTheExecutablesImageFlags) {
    const std::string exe = kyos::processName();
    setNumber(image(exe), "GlobalFlag", 0x02000000);
    setText(image(exe), "Debugger", "none");
    EvDebug log;
    ASSERT_TRUE(log.initialize(EvDebug::getLogId("kytest"), 0, true, ""));
    log.finalize();
    const std::string text = kytest::readFile(logDir_ + "/kytest.log");
    EXPECT_NE(text.find("Image:" + exe + ". Flag:GlobalFlag Value:0x02000000"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Image:" + exe + ". Flag:Debugger Value:none"), std::string::npos) << text;
}

TEST_F(LogSettingManagerTest, OpeningALogSaysWhenNoImageFlagsAreSet) {
    setNumber("~EventManager", "kytest_DEBUGLEVEL", 3);
    EvDebug log;
    ASSERT_TRUE(log.initialize(EvDebug::getLogId("kytest"), 0, true, ""));
    log.finalize();
    const std::string text = kytest::readFile(logDir_ + "/kytest.log");
    EXPECT_NE(
        text.find("Gflags are not set for the image " + kyos::processName() + ". Return code:[2]"),
        std::string::npos)
        << text;
}

}  // namespace
