// Housekeeping of the debug log's settings: administrators' temporary overrides in
// "EventManager" (and the firewall's debug text) expire after a fixed time, and the watch
// over image flags kept in the store clears them after some days and writes the report
// "GlobalFlagInfo.log" into the log directory.
//
// The two routines are timer routines of periodic task tables, exported by these plain
// names; each run builds its own manager, store and log handle, so any thread of any
// process may run them at any time. They always return 0 (a non-zero result would make
// the task manager disable the task); every failure is logged and the run goes on. The
// watch's next-check time is one process-wide atomic. Times in the store are DWORD
// seconds since 1970.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kylib/diagnostics/EvDebug.h"
#include "kylib/platforminfo/KYPlatformInfo.h"

struct KyPeriodicTaskStatus;

// The argument is not used and may be null.
extern "C" unsigned int ReviseDebugLogSetting_OnTimer(KyPeriodicTaskStatus* status);
extern "C" unsigned int CheckGlobalFlags_OnTimer(KyPeriodicTaskStatus* status);

// The no-argument forms, for tests and kybasic. A task table calls its routines through
// the one-argument pointer type, and calling a no-argument function through that type is
// undefined: these forward null to the exported ones instead of being exported themselves.
unsigned int ReviseDebugLogSetting_OnTimer();
unsigned int CheckGlobalFlags_OnTimer();

// One override that expires: the setting, its expiry value and how long it may stay.
struct EvDebugExpiryPair {
    const char* settingSuffix;
    const char* expirySuffix;
    std::uint32_t lifetimeSeconds;
};

// Not copyable: one run's objects. Used by one thread at a time.
class EvDebugLogSettingManager {
public:
    static constexpr EvDebugExpiryPair kExpiryPairs[] = {
        {"_DEBUGLEVEL", "_DEBUGLEVEL_UNTIL", 604800},
        {"_MAXLOGFILESIZE", "_MAXLOGFILESIZE_UNTIL", 604800},
        {"_MAXLOGFILEBACKUPS", "_MAXLOGFILEBACKUPS_UNTIL", 604800},
        {"_DEBUGWAITTIME", "_DEBUGWAITTIME_UNTIL", 86400},
    };
    static constexpr std::uint32_t kFirewallLifetimeSeconds = 604800;
    static constexpr std::uint32_t kDefaultGflagExpireDays = 7;

    EvDebugLogSettingManager();
    virtual ~EvDebugLogSettingManager();
    EvDebugLogSettingManager(const EvDebugLogSettingManager&) = delete;
    EvDebugLogSettingManager& operator=(const EvDebugLogSettingManager&) = delete;

    // One run of the override expiry and of the global-flag watch.
    void ReviseDebugLogSettings();
    void CheckGlobalFlags();
    // The report of the watch, for the images given (their keys below the image options):
    // "GlobalFlagInfo.log" in the log directory, replaced whole.
    void WriteFlagReport(const std::vector<std::string>& images);

    // The flag print of a log being opened: the values of the image's key of image
    // options, one line each through `log` (tag "EvDebug::PrintGflags").
    static void PrintImageFlags(EvDebug& log, const std::string& image);

    // The known-log row a module name of the store stands for: letter case is ignored,
    // everything from the first "-" is left out, and a leading "cl_<client>_" is taken
    // off by matching the longest known-log name that ends the text (client names may
    // hold "_"). Null when there is none; the lookup is logged through `log` when given.
    static const KYLogFileInfo* FindModuleRow(const std::string& module, EvDebug* log = nullptr);

    // Now, in seconds since 1970 as the store's DWORD times hold it.
    static std::uint32_t Now();

    // ---- For tests. A clock (null: the system's). A hook called before each delete the
    // housekeeping asks of the store, with the section or key and the value name: false
    // makes that delete fail as a store failure would (null: none). Forgetting the watch's
    // process-wide state, as a new process starts.
    static void SetClockForTesting(std::int64_t (*clock)());
    static void SetDeleteHookForTesting(bool (*hook)(const char* key, const char* field));
    static void ResetGlobalFlagWatchForTesting();

private:
    void reviseModule(const std::string& module, const EvDebugExpiryPair& pair, std::uint32_t now);
    void cleanVersionSettings(const std::string& module);
    void reviseFirewall(std::uint32_t now);
    bool deleteValue(const char* key, const std::string& field);

    KYPlatformInfo m_store;
    EvDebug m_log;
};
