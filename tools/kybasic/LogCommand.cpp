// kybasic log: writes one line into a debug log of the current instance, through the
// same path as the product's processes (log NAME LEVEL TEXT); shows and sets a log's
// temporary level override (log level NAME [LEVEL [MINUTES]]); runs the expiry of such
// overrides once (log revise).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "kylib/diagnostics/EvDebug.h"
#include "kylib/diagnostics/EvDebugLogSettingManager.h"
#include "kylib/platforminfo/KYPlatformInfo.h"
#include "os/LastError.h"
#include "os/registry/Registry.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "tools/kybasic/Commands.h"

namespace kybasic {

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// A week: the longest an override may be asked to last, as long as the housekeeping
// would give one that was set without an end.
constexpr unsigned long kMaxMinutes = 10080;
constexpr unsigned long kMaxLevel = 0x7FFFFFFF;
constexpr const char* kSection = "EventManager";
constexpr int kReviseLogLevel = 10;
// The tests' clock: seconds since 1970 that `log level` and `log revise` take as now, so
// that a test can run the housekeeping after an override's end without waiting for it.
constexpr const char* kTestClockVariable = "KYBASIC_TEST_NOW";

std::int64_t g_testNow = 0;
std::int64_t testClock() {
    return g_testNow;
}

// A decimal number without sign or blanks, at most `max`.
bool parseNumber(const char* text, unsigned long max, unsigned long* out) {
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || n > max)
        return false;
    *out = static_cast<unsigned long>(n);
    return true;
}

void useTestClock() {
    unsigned long now = 0;
    const char* text = std::getenv(kTestClockVariable);
    if (text != nullptr && parseNumber(text, 0xFFFFFFFFul, &now)) {
        g_testNow = static_cast<std::int64_t>(now);
        EvDebugLogSettingManager::SetClockForTesting(testClock);
    }
}

std::string timeText(std::uint32_t seconds) {
    const std::time_t t = seconds;
    std::tm local{};
    char text[64] = "";
    if (localtime_r(&t, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local) == 0)
        return std::to_string(seconds);
    return std::string(text) + " (" + std::to_string(seconds) + ")";
}

int levelUsage(const char* why, const char* what) {
    std::fprintf(stderr, "kybasic log level: %s%s%s\n", why, what ? what : "", what ? "'" : "");
    std::fprintf(stderr,
                 "usage: kybasic log level NAME [LEVEL [MINUTES]]\n"
                 "  NAME alone shows the log's level and any override;\n"
                 "  LEVEL sets an override (0 removes it), MINUTES (1-10080) its end\n");
    return kExitUsage;
}

enum class Read { kAbsent, kPresent, kFailed };

Read readNumber(KYPlatformInfo& store, const std::string& field, unsigned long* out) {
    if (store.getNumber(kSection, field.c_str(), out))
        return Read::kPresent;
    return store.lastFoundNothing() ? Read::kAbsent : Read::kFailed;
}

int storeFailure(const std::string& name, const char* doing, KYPlatformInfo& store, DWORD code) {
    std::string reason = store.getLastErrorMsg();
    if (reason.empty())
        reason = kyos::win32MessageText(code != 0 ? code : kyos::lastError());
    std::fprintf(stderr, "kybasic log level: cannot %s the level of '%s' in the store: %s\n", doing,
                 name.c_str(), reason.c_str());
    return kExitFailed;
}

int showLevel(const std::string& name, const KYLogFileInfo& row) {
    KYPlatformInfo store(0, 0);
    const std::string setting = name + "_DEBUGLEVEL";
    unsigned long level = 0, until = 0;
    const Read s = readNumber(store, setting, &level);
    if (s == Read::kFailed)
        return storeFailure(name, "read", store, 0);
    const Read e = readNumber(store, setting + "_UNTIL", &until);
    if (e == Read::kFailed)
        return storeFailure(name, "read", store, 0);
    const bool overridden = s == Read::kPresent && level != 0;
    std::printf("log:             %s\n", name.c_str());
    std::printf("effective level: %lu\n", overridden ? level : row.defaultLevel);
    std::printf("default level:   %u\n", row.defaultLevel);
    if (!overridden) {
        std::printf("override:        none\n");
    } else if (e == Read::kAbsent) {
        std::printf("override:        %lu, no end yet (the next revise gives it 7 days)\n", level);
    } else if (until < EvDebugLogSettingManager::Now()) {
        std::printf("override:        %lu, ended %s (removed at the next revise)\n", level,
                    timeText(static_cast<std::uint32_t>(until)).c_str());
    } else {
        std::printf("override:        %lu, until %s\n", level,
                    timeText(static_cast<std::uint32_t>(until)).c_str());
    }
    return 0;
}

// The setting and its end change together: the housekeeping, which checks them in one
// transaction too, sees the old pair or the new one.
int setLevel(const std::string& name, unsigned long level, unsigned long minutes) {
    KYPlatformInfo store(0, 0);
    const std::string setting = name + "_DEBUGLEVEL";
    const std::string expiry = setting + "_UNTIL";
    const std::uint32_t until = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        std::uint64_t{EvDebugLogSettingManager::Now()} + minutes * 60, 0xFFFFFFFFu));
    auto removed = [&store](const std::string& field) {
        return store.deleteField(kSection, field.c_str()) || store.lastFoundNothing();
    };
    kyos::reg::Transaction transaction;
    if (transaction.status() != ERROR_SUCCESS)
        return storeFailure(name, "change", store, transaction.status());
    bool ok;
    if (level == 0) {
        ok = removed(setting) && removed(expiry);
    } else {
        // Without MINUTES an older end is dropped too: the housekeeping then gives the new
        // override its full lifetime instead of removing it at once.
        ok = store.setNumber(kSection, setting.c_str(), level) &&
             (minutes != 0 ? store.setNumber(kSection, expiry.c_str(), until) != 0
                           : removed(expiry));
    }
    if (!ok)
        return storeFailure(name, "change", store, 0);
    const DWORD committed = transaction.commit();
    if (committed != ERROR_SUCCESS)
        return storeFailure(name, "change", store, committed);
    if (level == 0)
        std::printf("%s: override removed\n", name.c_str());
    else if (minutes == 0)
        std::printf("%s: level %lu, until 7 days after the next revise\n", name.c_str(), level);
    else
        std::printf("%s: level %lu until %s\n", name.c_str(), level, timeText(until).c_str());
    return 0;
}

int runLevel(int argc, char** argv) {
    if (argc < 1 || argc > 3)
        return levelUsage("wrong number of arguments", nullptr);
    const std::string name = argv[0];
    // A module name is also a file name: no folder separators, blanks or control
    // characters, whatever the client part holds.
    const bool plain = name.find_first_of("/\\") == std::string::npos &&
                       std::none_of(name.begin(), name.end(),
                                    [](char c) { return static_cast<unsigned char>(c) <= ' '; });
    const KYLogFileInfo* row = plain ? EvDebugLogSettingManager::FindModuleRow(name) : nullptr;
    if (row == nullptr)
        return levelUsage("not a known log name: '", name.c_str());
    useTestClock();
    if (argc == 1)
        return showLevel(name, *row);
    unsigned long level = 0, minutes = 0;
    if (!parseNumber(argv[1], kMaxLevel, &level))
        return levelUsage("LEVEL must be a number from 0 up, not '", argv[1]);
    if (argc == 3) {
        if (!parseNumber(argv[2], kMaxMinutes, &minutes) || minutes == 0)
            return levelUsage("MINUTES must be a number from 1 to 10080, not '", argv[2]);
        if (level == 0)
            return levelUsage("LEVEL 0 removes the override and takes no MINUTES", nullptr);
    }
    return setLevel(name, level, minutes);
}

int runRevise(int argc, char**) {
    if (argc != 0) {
        std::fprintf(stderr, "usage: kybasic log revise\n");
        return kExitUsage;
    }
    useTestClock();
    // The housekeeping reports through the default log: this tool's own, when it opens.
    EvDebug log;
    const bool logged = log.initialize(EvDebug::getLogId("kybasic"), 0, true, "");
    // Asked for by hand: what it changed and why is worth keeping (levels 7 and 10).
    if (logged && log.getDebugLevel() < kReviseLogLevel)
        log.setDebugLevel(kReviseLogLevel);
    ReviseDebugLogSetting_OnTimer();
    std::printf("Log settings of %s revised", KYPI_Focus::getFocus());
    if (logged)
        std::printf("; details in %s", log.getLogFilePath().c_str());
    std::printf("\n");
    if (logged)
        log.finalize();
    return 0;
}

}  // namespace

int runLog(int argc, char** argv) {
    if (argc >= 1 && std::strcmp(argv[0], "level") == 0)
        return runLevel(argc - 1, argv + 1);
    if (argc >= 1 && std::strcmp(argv[0], "revise") == 0)
        return runRevise(argc - 1, argv + 1);
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: kybasic log NAME LEVEL TEXT\n"
                     "       kybasic log level NAME [LEVEL [MINUTES]]\n"
                     "       kybasic log revise\n");
        return 1;
    }
    const char* name = argv[0];
    char* end = nullptr;
    errno = 0;
    long level = std::strtol(argv[1], &end, 10);
    if (errno != 0 || end == argv[1] || *end != '\0' || level < -1 || level > 0x7FFFFFFF) {
        std::fprintf(stderr, "kybasic log: LEVEL must be a number from -1 up, not '%s'\n", argv[1]);
        return 1;
    }
    if (EvDebug::FindLogFileInfo(name) == nullptr) {
        std::fprintf(stderr, "kybasic log: '%s' is not a known log name\n", name);
        return 1;
    }
    EvDebug log;
    if (!log.initialize(EvDebug::getLogId(name), 0, true, "")) {
        DWORD code = kyos::lastError();
        std::string folder = log.getTempLogFilePath();
        std::fprintf(stderr, "kybasic log: cannot open the log '%s' in '%s': %s\n", name,
                     folder.empty() ? "(no usable folder)" : folder.c_str(),
                     kyos::win32MessageText(code).c_str());
        return 1;
    }
    if (log.getDebugLevel() < level) {
        std::fprintf(
            stderr,
            "kybasic log: level %ld is above the log's level %d: the line was not written\n", level,
            log.getDebugLevel());
        return 1;
    }
    log.DebugLvl("kybasic::log", static_cast<int>(level), "%s", argv[2]);
    log.finalize();
    return 0;
}

}  // namespace kybasic
