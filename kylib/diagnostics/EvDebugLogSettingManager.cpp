// The housekeeping of the debug log's settings: override expiry, the global-flag watch
// and its report, and the flag print of an opening log.
#include "kylib/diagnostics/EvDebugLogSettingManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <set>
#include <vector>

#include "os/Handle.h"
#include "os/LastError.h"
#include "os/System.h"
#include "os/registry/Registry.h"
#include "siblings/HbUtils/FXPath.h"
#include "siblings/HbUtils/FXString.h"

namespace {

constexpr const char* kEventManager = "EventManager";
constexpr const char* kEventManagerKey = "~EventManager";
constexpr const char* kFirewall = "Firewall";
constexpr const char* kFirewallKey = "~Firewall";
constexpr const char* kFirewallField = "nDEBUG";
constexpr const char* kFirewallExpiry = "nDEBUG_UNTIL";
constexpr const char* kImageOptionsKey =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options";
constexpr const char* kSessionManagerKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const char* kGflagsKey = "~Runtime\\gflags";
constexpr const char* kReportName = "GlobalFlagInfo.log";
constexpr unsigned long kPoolTagging = 0x400;
// More days than any administrator means: beyond it the calendar arithmetic of the C
// library gives no reliable date.
constexpr unsigned long kMaxGflagExpireDays = 36500;

std::atomic<std::int64_t (*)()> g_clock{nullptr};
std::atomic<bool (*)(const char*, const char*)> g_deleteHook{nullptr};

// The watch's process state: when it may look again, and whether its key was made.
std::atomic<std::int64_t> g_nextGflagCheck{0};
std::atomic<bool> g_gflagsKeyCreated{false};

enum class Presence {
    kAbsent,
    kPresent,
    kInvalid,  // there, but not of the kind the housekeeping keeps there
    kUnknown,  // the store failed to say
};

Presence presenceAfterFailure(const KYPlatformInfo& store) {
    return store.lastFoundNothing() ? Presence::kAbsent : Presence::kUnknown;
}

// Whether a value exists, of any type.
Presence valuePresence(KYPlatformInfo& store, const char* key, const std::string& field) {
    char probe[1];
    unsigned long type = REG_NONE;
    int size = sizeof probe;
    if (store.getRegValue(key, field.c_str(), &type, probe, size) || store.getRegError() == -4)
        return Presence::kPresent;
    return presenceAfterFailure(store);
}

// A stored time: a DWORD. A value of another type is no time at all.
Presence readTime(KYPlatformInfo& store, const char* key, const std::string& field,
                  std::uint32_t* out) {
    unsigned long type = REG_NONE;
    DWORD number = 0;
    int size = sizeof number;
    if (store.getRegValue(key, field.c_str(), &type, &number, size)) {
        if (type != REG_DWORD || size != static_cast<int>(sizeof number))
            return Presence::kInvalid;
        *out = number;
        return Presence::kPresent;
    }
    if (store.getRegError() == -4)
        return Presence::kInvalid;
    return presenceAfterFailure(store);
}

std::uint32_t clampToDword(std::int64_t seconds) {
    if (seconds < 0)
        return 0;
    return seconds > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<std::uint32_t>(seconds);
}

// `days` calendar days after `now` in local time (a day across a change of summer time
// is not 86,400 seconds).
std::uint32_t addLocalDays(std::uint32_t now, unsigned long days) {
    const std::time_t t = now;
    std::tm local{};
    if (localtime_r(&t, &local) != nullptr) {
        local.tm_mday += static_cast<int>(days);
        local.tm_isdst = -1;
        const std::time_t later = std::mktime(&local);
        if (later != static_cast<std::time_t>(-1))
            return clampToDword(later);
    }
    return clampToDword(static_cast<std::int64_t>(now) + static_cast<std::int64_t>(days) * 86400);
}

std::string localTimeText(std::uint32_t seconds) {
    const std::time_t t = seconds;
    std::tm local{};
    char text[128] = "";
    if (localtime_r(&t, &local) == nullptr || std::strftime(text, sizeof text, "%c", &local) == 0)
        return std::to_string(seconds);
    return text;
}

std::string errnoText(int code) {
    return kyos::win32MessageText(static_cast<DWORD>(code)) + " (" + std::strerror(code) + ")";
}

// The product's executables in the home folder, lower-cased: regular files (not links)
// with an execute bit.
bool listExecutables(const std::string& home, std::set<std::string>* out, int* error) {
    DIR* dir = opendir(home.c_str());
    if (dir == nullptr) {
        *error = errno;
        return false;
    }
    const int fd = dirfd(dir);
    errno = 0;
    while (dirent* entry = readdir(dir)) {
        struct stat st {};
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0) {
            out->insert(FXString::ToLower(entry->d_name));
        }
        errno = 0;
    }
    *error = errno;
    closedir(dir);
    return *error == 0;
}

// One value of an image's option key, as the report and the print show it.
struct ImageValue {
    std::string name;
    std::string text;
    bool isNumber = false;
    long long number = 0;
};

// The values of the key below HKEY_LOCAL_MACHINE; the store's code when it cannot be read.
DWORD readImageValues(const std::string& key, std::vector<ImageValue>* out) {
    HKEY handle = nullptr;
    DWORD rc = kyos::reg::openKey(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::vector<char> data(256);
    for (DWORD index = 0;; ++index) {
        std::string name;
        DWORD type = REG_NONE;
        auto size = static_cast<DWORD>(data.size());
        rc = kyos::reg::enumValue(handle, index, &name, &type, data.data(), &size);
        if (rc == ERROR_MORE_DATA) {
            data.resize(size);
            rc = kyos::reg::enumValue(handle, index, &name, &type, data.data(), &size);
        }
        if (rc != ERROR_SUCCESS)
            break;
        ImageValue v;
        v.name = name;
        if (type == REG_DWORD && size == sizeof(DWORD)) {
            DWORD n;
            std::memcpy(&n, data.data(), sizeof n);
            v.isNumber = true;
            v.number = n;
            v.text = FXString::Format("0x%08x", static_cast<unsigned>(n));
        } else if (type == REG_QWORD && size == sizeof(std::uint64_t)) {
            std::uint64_t n;
            std::memcpy(&n, data.data(), sizeof n);
            v.isNumber = true;
            v.number = static_cast<long long>(n);
            v.text = FXString::Format("0x%llx", static_cast<unsigned long long>(n));
        } else if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
            v.text.assign(data.data(), strnlen(data.data(), size));
            // A flag word kept as text ("0x02000000") is still a number.
            char* end = nullptr;
            v.number = std::strtoll(v.text.c_str(), &end, 0);
            if (end == v.text.c_str())
                v.number = 0;
        } else {
            continue;
        }
        out->push_back(std::move(v));
    }
    kyos::reg::closeKey(handle);
    return rc == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : rc;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

// =========================================================================================
// Entry points.

extern "C" unsigned int ReviseDebugLogSetting_OnTimer(KyPeriodicTaskStatus*) {
    EvDebugLogSettingManager manager;
    manager.ReviseDebugLogSettings();
    return 0;
}

extern "C" unsigned int CheckGlobalFlags_OnTimer(KyPeriodicTaskStatus*) {
    EvDebugLogSettingManager manager;
    manager.CheckGlobalFlags();
    return 0;
}

unsigned int ReviseDebugLogSetting_OnTimer() {
    return ReviseDebugLogSetting_OnTimer(static_cast<KyPeriodicTaskStatus*>(nullptr));
}

unsigned int CheckGlobalFlags_OnTimer() {
    return CheckGlobalFlags_OnTimer(static_cast<KyPeriodicTaskStatus*>(nullptr));
}

void EvDebug::PrintGflags() {
    EvDebugLogSettingManager::PrintImageFlags(*this, getProcessName());
}

// =========================================================================================
// The manager.

EvDebugLogSettingManager::EvDebugLogSettingManager() = default;
EvDebugLogSettingManager::~EvDebugLogSettingManager() = default;

std::uint32_t EvDebugLogSettingManager::Now() {
    std::int64_t (*clock)() = g_clock.load(std::memory_order_acquire);
    return clampToDword(clock != nullptr ? clock() : kyos::unixTime());
}

void EvDebugLogSettingManager::SetClockForTesting(std::int64_t (*clock)()) {
    g_clock.store(clock, std::memory_order_release);
}

void EvDebugLogSettingManager::SetDeleteHookForTesting(bool (*hook)(const char*, const char*)) {
    g_deleteHook.store(hook, std::memory_order_release);
}

void EvDebugLogSettingManager::ResetGlobalFlagWatchForTesting() {
    g_nextGflagCheck.store(0);
    g_gflagsKeyCreated.store(false);
}

// A value already gone counts as deleted: what the caller wanted is true.
bool EvDebugLogSettingManager::deleteValue(const char* key, const std::string& field) {
    if (auto hook = g_deleteHook.load(std::memory_order_acquire)) {
        if (!hook(key, field.c_str()))
            return false;
    }
    if (field.empty())
        return m_store.delRegKey(key) || m_store.getRegError() == -2;
    return m_store.delRegField(key, field.c_str()) || m_store.lastFoundNothing();
}

const KYLogFileInfo* EvDebugLogSettingManager::FindModuleRow(const std::string& module,
                                                             EvDebug* log) {
    const std::string name = FXString::ToLower(module);
    auto withoutSuffix = [](const std::string& text) { return text.substr(0, text.find('-')); };
    std::string lookup = withoutSuffix(name);
    const KYLogFileInfo* row = EvDebug::FindLogFileInfo(lookup.c_str());
    if (row == nullptr && name.compare(0, 3, "cl_") == 0) {
        // "cl_<client>_<log>[-<suffix>]": the client part may hold "_" and "-" (host names
        // do), so the log is found from the right, the longest known name winning.
        const std::string rest = name.substr(3);
        for (std::size_t pos = rest.find('_', 1); pos != std::string::npos && row == nullptr;
             pos = rest.find('_', pos + 1)) {
            lookup = withoutSuffix(rest.substr(pos + 1));
            if (!lookup.empty())
                row = EvDebug::FindLogFileInfo(lookup.c_str());
        }
    }
    if (log != nullptr) {
        if (row != nullptr) {
            log->DebugLvl("EvDebugLogSettingManager::FindModuleRow", 10,
                          "[%s - %s] - %u, %s, %u, %u, %u, %u", module.c_str(), lookup.c_str(),
                          row->id, row->name, row->reserved, row->defaultLevel, row->defaultSize,
                          row->defaultBackups);
        } else {
            log->DebugLvl("EvDebugLogSettingManager::FindModuleRow", 10,
                          "[%s - %s] can not find default settings!", module.c_str(),
                          lookup.c_str());
        }
    }
    return row;
}

// =========================================================================================
// Override expiry.

void EvDebugLogSettingManager::ReviseDebugLogSettings() {
    static constexpr const char* kTag = "EvDebugLogSettingManager::ReviseDebugLogSettings";
    const std::uint32_t now = Now();
    std::map<std::string, std::string> values;
    if (!m_store.getRegValues(kEventManagerKey, &values) && m_store.getRegError() != -2) {
        m_log.Error(kTag, "Failed to read the values of [%s]: %s", kEventManager,
                    m_store.getLastErrorMsg().c_str());
    }
    std::set<std::string> reviseModules, versionModules;
    for (const auto& entry : values) {
        m_log.DebugLvl(kTag, 12, "Found %s", entry.first.c_str());
        const std::string name = FXString::ToUpper(entry.first);
        const std::size_t backups =
            std::min(name.find("_MAXLOGFILEBACKUPS"), name.find("_DEFAULTLOGFILEBACKUPS"));
        if (backups != std::string::npos) {
            const std::string module = name.substr(0, backups);
            if (module.empty())
                m_log.DebugLvl(kTag, 10, "Got empty module name!");
            else if (versionModules.insert(module).second)
                m_log.DebugLvl(kTag, 10, "Add to log version module set - [%s]", module.c_str());
        }
        for (const EvDebugExpiryPair& pair : kExpiryPairs) {
            const std::size_t at = name.find(pair.settingSuffix);
            if (at == std::string::npos)
                continue;
            const std::string module = name.substr(0, at);
            if (module.empty())
                m_log.DebugLvl(kTag, 10, "Got empty module name!");
            else if (reviseModules.insert(module).second)
                m_log.DebugLvl(kTag, 10, "Add to revise module set - [%s]", module.c_str());
            break;
        }
    }
    for (const std::string& module : reviseModules) {
        for (const EvDebugExpiryPair& pair : kExpiryPairs)
            reviseModule(module, pair, now);
    }
    for (const std::string& module : versionModules)
        cleanVersionSettings(module);
    reviseFirewall(now);
}

// The check and the change of one pair are one store transaction: an administrator who
// renews the override meanwhile either comes first (and is seen) or after (and stays).
// The log lines are written once the transaction has ended, never while it holds the
// store.
void EvDebugLogSettingManager::reviseModule(const std::string& module,
                                            const EvDebugExpiryPair& pair, std::uint32_t now) {
    static constexpr const char* kTag = "EvDebugLogSettingManager::reviseModule";
    const std::string setting = module + pair.settingSuffix;
    const std::string expiry = module + pair.expirySuffix;
    m_log.DebugLvl(kTag, 10, "Processing - %s : %s : %d secs", module.c_str(), pair.settingSuffix,
                   static_cast<int>(pair.lifetimeSeconds));

    enum class Outcome {
        kNone,
        kExpired,          // both deleted
        kExpiredLeftover,  // the setting deleted, its expiry not (deleted next run)
        kSettingKept,      // the setting could not be deleted: its expiry stays too
        kExpiryAdded,
        kExpiryNotAdded,
        kLeftoverDeleted,
        kLeftoverKept,
    } outcome = Outcome::kNone;
    std::uint32_t until = 0;
    const std::uint32_t newUntil = clampToDword(std::int64_t{now} + pair.lifetimeSeconds);
    {
        kyos::reg::Transaction transaction;
        if (transaction.status() != ERROR_SUCCESS) {
            m_log.Error(kTag, "Failed to process [%s\\%s]: %s", kEventManager, setting.c_str(),
                        kyos::win32MessageText(transaction.status()).c_str());
            return;
        }
        const Presence s = valuePresence(m_store, kEventManagerKey, setting);
        const Presence e = readTime(m_store, kEventManagerKey, expiry, &until);
        if (s == Presence::kUnknown || e == Presence::kUnknown)
            return;  // the store failed (logged): change nothing
        if (s == Presence::kPresent) {
            if (e == Presence::kPresent && until < now) {
                if (!deleteValue(kEventManagerKey, setting))
                    outcome = Outcome::kSettingKept;
                else if (!deleteValue(kEventManagerKey, expiry))
                    outcome = Outcome::kExpiredLeftover;
                else
                    outcome = Outcome::kExpired;
            } else if (e != Presence::kPresent) {
                outcome = m_store.setNumber(kEventManager, expiry.c_str(), newUntil)
                              ? Outcome::kExpiryAdded
                              : Outcome::kExpiryNotAdded;
            }
        } else if (e != Presence::kAbsent) {
            outcome = deleteValue(kEventManagerKey, expiry) ? Outcome::kLeftoverDeleted
                                                            : Outcome::kLeftoverKept;
        }
        // A setting that stays keeps its expiry: deleting that would grant it a new
        // lifetime at the next run. Not committing undoes nothing else.
        if (outcome != Outcome::kNone && outcome != Outcome::kSettingKept &&
            transaction.commit() != ERROR_SUCCESS) {
            switch (outcome) {
                case Outcome::kExpired:
                case Outcome::kExpiredLeftover:
                    outcome = Outcome::kSettingKept;
                    break;
                case Outcome::kExpiryAdded:
                    outcome = Outcome::kExpiryNotAdded;
                    break;
                case Outcome::kLeftoverDeleted:
                    outcome = Outcome::kLeftoverKept;
                    break;
                default:
                    break;
            }
        }
    }

    const char* section = kEventManager;
    switch (outcome) {
        case Outcome::kNone:
            break;
        case Outcome::kExpired:
        case Outcome::kExpiredLeftover:
        case Outcome::kSettingKept:
            m_log.DebugLvl(kTag, 7, "Expire [%s\\%s] ... expiration_time:0x%x < current_time:0x%x",
                           section, setting.c_str(), until, now);
            if (outcome == Outcome::kSettingKept)
                m_log.DebugLvl(kTag, 7, "Failed to delete [%s\\%s]", section, setting.c_str());
            if (outcome == Outcome::kExpiredLeftover)
                m_log.DebugLvl(kTag, 7, "Failed to delete [%s\\%s]", section, expiry.c_str());
            break;
        case Outcome::kExpiryAdded:
            m_log.DebugLvl(kTag, 10, "Add expiration time [%s\\%s] - 0x%x", section, expiry.c_str(),
                           newUntil);
            break;
        case Outcome::kExpiryNotAdded:
            m_log.DebugLvl(kTag, 7, "Failed to add expiration time [%s\\%s] - 0x%x", section,
                           expiry.c_str(), newUntil);
            break;
        case Outcome::kLeftoverDeleted:
            m_log.DebugLvl(kTag, 7, "Deleted [%s\\%s]", section, expiry.c_str());
            break;
        case Outcome::kLeftoverKept:
            m_log.DebugLvl(kTag, 7, "Failed to delete [%s\\%s]", section, expiry.c_str());
            break;
    }
}

void EvDebugLogSettingManager::cleanVersionSettings(const std::string& module) {
    static constexpr const char* kTag = "EvDebugLogSettingManager::cleanVersionSettings";
    const KYLogFileInfo* row = FindModuleRow(module, &m_log);
    if (row == nullptr) {
        m_log.Error(kTag, "Unable to get module [%s] default values!", module.c_str());
        return;
    }
    m_log.DebugLvl(kTag, 10, "[%s] MaxLogFileBackups is (%u)", module.c_str(), row->defaultBackups);
    struct Field {
        const char* suffix;
        bool spaced;  // the two fields' texts differ by a blank
    };
    static constexpr Field kFields[] = {
        {"_MAXLOGFILEBACKUPS", true},
        {"_DEFAULTLOGFILEBACKUPS", false},
    };
    for (const Field& f : kFields) {
        const std::string field = module + f.suffix;
        std::uint32_t value = 0;
        Presence p = Presence::kUnknown;
        bool deleted = false;
        {
            kyos::reg::Transaction transaction;
            if (transaction.status() != ERROR_SUCCESS)
                continue;
            p = readTime(m_store, kEventManagerKey, field, &value);
            if (p == Presence::kPresent && value == row->defaultBackups) {
                deleted =
                    deleteValue(kEventManagerKey, field) && transaction.commit() == ERROR_SUCCESS;
            }
        }
        if (p == Presence::kAbsent) {
            m_log.DebugLvl(kTag, 15, "[%s/%s] does not exist.", kEventManager, field.c_str());
        } else if (p != Presence::kPresent) {
            // Not a number: nothing the cleanup knows about; left as it is.
        } else if (value != row->defaultBackups) {
            m_log.DebugLvl(kTag, 10, "[%s/%s] [%u]", kEventManager, field.c_str(), value);
        } else if (deleted) {
            if (f.spaced)
                m_log.DebugLvl(kTag, 7, "[%s/%s] [%u] was successfully deleted.", kEventManager,
                               field.c_str(), value);
            else
                m_log.DebugLvl(kTag, 7, "[%s/%s][%u] was successfully deleted.", kEventManager,
                               field.c_str(), value);
        } else {
            m_log.DebugLvl(kTag, 7, "Failed to delete [%s/%s] [%u]", kEventManager, field.c_str(),
                           value);
        }
    }
}

void EvDebugLogSettingManager::reviseFirewall(std::uint32_t now) {
    static constexpr const char* kTag = "EvDebugLogSettingManager::reviseFirewall";
    enum class Outcome {
        kNone,
        kSwitchedOff,
        kNotSwitchedOff,
        kExpiryDeleted,
        kExpiryKept,
        kExpiryAdded,
        kExpiryNotAdded
    } outcome = Outcome::kNone;
    std::string text;
    Presence setting = Presence::kUnknown;
    std::uint32_t until = 0;
    const std::uint32_t newUntil = clampToDword(std::int64_t{now} + kFirewallLifetimeSeconds);
    std::string switchedOff;
    {
        kyos::reg::Transaction transaction;
        if (transaction.status() != ERROR_SUCCESS) {
            m_log.Error(kTag, "Failed to process [%s\\%s]: %s", kFirewall, kFirewallField,
                        kyos::win32MessageText(transaction.status()).c_str());
            return;
        }
        if (m_store.getString(kFirewall, kFirewallField, &text))
            setting = Presence::kPresent;
        else
            setting = presenceAfterFailure(m_store);
        const Presence e = readTime(m_store, kFirewallKey, kFirewallExpiry, &until);
        if (setting == Presence::kUnknown || e == Presence::kUnknown)
            return;  // logged by the store (a text of another type is left alone)
        const bool hasExpiry = e != Presence::kAbsent;
        if (setting == Presence::kAbsent || text.compare(0, 1, "*") == 0) {
            if (hasExpiry) {
                outcome = deleteValue(kFirewallKey, kFirewallExpiry) ? Outcome::kExpiryDeleted
                                                                     : Outcome::kExpiryKept;
            }
        } else if (e == Presence::kPresent && until < now) {
            switchedOff = "*" + text + "*";
            if (!m_store.setString(kFirewall, kFirewallField, switchedOff))
                outcome = Outcome::kNotSwitchedOff;  // its expiry stays, for the next run
            else if (!deleteValue(kFirewallKey, kFirewallExpiry))
                outcome = Outcome::kNotSwitchedOff;
            else
                outcome = Outcome::kSwitchedOff;
        } else if (e != Presence::kPresent) {
            outcome = m_store.setNumber(kFirewall, kFirewallExpiry, newUntil)
                          ? Outcome::kExpiryAdded
                          : Outcome::kExpiryNotAdded;
        }
        if ((outcome == Outcome::kSwitchedOff || outcome == Outcome::kExpiryDeleted ||
             outcome == Outcome::kExpiryAdded) &&
            transaction.commit() != ERROR_SUCCESS) {
            outcome = outcome == Outcome::kSwitchedOff   ? Outcome::kNotSwitchedOff
                      : outcome == Outcome::kExpiryAdded ? Outcome::kExpiryNotAdded
                                                         : Outcome::kExpiryKept;
        }
    }
    if (setting == Presence::kAbsent)
        m_log.DebugLvl(kTag, 10, "[%s\\%s] doesn't exist", kFirewall, kFirewallField);
    else
        m_log.DebugLvl(kTag, 10, "Found [%s\\%s]:[%s]", kFirewall, kFirewallField, text.c_str());
    switch (outcome) {
        case Outcome::kNone:
            break;
        case Outcome::kSwitchedOff:
            m_log.DebugLvl(kTag, 7, "Set [%s\\%s] to [%s]", kFirewall, kFirewallField,
                           switchedOff.c_str());
            break;
        case Outcome::kNotSwitchedOff:
            m_log.DebugLvl(kTag, 7, "Failed to set [%s\\%s] to [%s]", kFirewall, kFirewallField,
                           switchedOff.c_str());
            break;
        case Outcome::kExpiryDeleted:
            m_log.DebugLvl(kTag, 7, "Deleted [%s\\%s]", kFirewall, kFirewallExpiry);
            break;
        case Outcome::kExpiryKept:
            m_log.DebugLvl(kTag, 7, "Failed to delete [%s\\%s]", kFirewall, kFirewallExpiry);
            break;
        case Outcome::kExpiryAdded:
            m_log.DebugLvl(kTag, 10, "Add expiration time [%s\\%s] - 0x%x", kFirewall,
                           kFirewallExpiry, newUntil);
            break;
        case Outcome::kExpiryNotAdded:
            m_log.DebugLvl(kTag, 7, "Failed to add expiration time [%s\\%s] - 0x%x", kFirewall,
                           kFirewallExpiry, newUntil);
            break;
    }
}

// =========================================================================================
// The global-flag watch. Image flags have no counterpart on this platform: the watch
// keeps the store's keys of the same names, and the home folder's executables stand for
// the product's images.

void EvDebugLogSettingManager::CheckGlobalFlags() {
    static constexpr const char* kTag = "EvDebugLogSettingManager::CheckGlobalFlags";
    unsigned long disabled = 0;
    if (m_store.getNumber("Kyd", "disablegflagcheck", &disabled) && disabled != 0) {
        m_log.DebugLvl(kTag, 3,
                       "Gflag check is disabled. Remove KYD/GflagExpireDays from registry to "
                       "enable");
        return;
    }
    const std::uint32_t now = Now();
    std::int64_t next = g_nextGflagCheck.load();
    if (now <= next) {
        m_log.DebugLvl(kTag, 3, "Skipping image level gflag presence check. Will check after: %s",
                       localTimeText(clampToDword(next)).c_str());
        return;
    }
    m_log.DebugLvl(kTag, 3, "Checking for image level gflags at registry");
    std::string home;
    if (!m_store.getDirectory("Base", "dBASEHOME", &home) || home.empty()) {
        m_log.Error(kTag, "Failed to get the base path.");
        return;
    }
    // One run per interval in the process, however many threads the task pool lends.
    if (!g_nextGflagCheck.compare_exchange_strong(next, addLocalDays(now, 1))) {
        m_log.DebugLvl(kTag, 3, "Skipping image level gflag presence check. Will check after: %s",
                       localTimeText(clampToDword(next)).c_str());
        return;
    }

    std::set<std::string> executables;
    int listError = 0;
    if (!listExecutables(home, &executables, &listError)) {
        m_log.Error(kTag, "Failed to identify binaries in the base path. Error:%s",
                    errnoText(listError).c_str());
    }
    std::list<std::string> images;
    if (!m_store.getRegSubKeysFromAbsPath(kImageOptionsKey, &images) &&
        m_store.getRegError() != -2) {
        m_log.Error(kTag, "Error occurred while checking images for gflags under %s. Error:%s",
                    kImageOptionsKey, m_store.getLastErrorMsg().c_str());
    } else if (images.empty()) {
        m_log.DebugLvl(kTag, 3, "No images with gflags enabled are found under %s. ",
                       kImageOptionsKey);
    }

    unsigned long days = 0;
    if (!m_store.getNumber("Kyd", "GflagExpireDays", &days) || days == 0)
        days = kDefaultGflagExpireDays;
    days = std::min(days, kMaxGflagExpireDays);

    std::vector<std::string> watched;
    for (const std::string& image : images) {
        const std::string lower = FXString::ToLower(image);
        m_log.DebugLvl(kTag, 3, "Checking if image %s is present under base directory.",
                       lower.c_str());
        if (executables.count(lower) == 0)
            continue;
        m_log.DebugLvl(kTag, 3, "Image %s is present under base directory.", lower.c_str());
        if (!g_gflagsKeyCreated.load()) {
            if (m_store.createRegKey(kGflagsKey))
                g_gflagsKeyCreated.store(true);
            else
                m_log.Error(kTag, "Error occurred while creating %s.", kGflagsKey);
        }
        const std::string timeoutName = lower + "_Timeout";
        const std::string detectedName = lower + "_Detected";
        std::uint32_t timeout = 0;
        const Presence t = readTime(m_store, kGflagsKey, timeoutName, &timeout);
        if (t == Presence::kUnknown) {
            watched.push_back(image);
            continue;
        }
        if (t != Presence::kPresent) {
            const std::uint32_t expiry = addLocalDays(now, days);
            m_log.DebugLvl(kTag, 3, "Image:%s. Will expire on: %s", lower.c_str(),
                           localTimeText(expiry).c_str());
            bool written;
            {
                kyos::reg::Transaction transaction;
                written = transaction.status() == ERROR_SUCCESS &&
                          m_store.setRegInt(kGflagsKey, timeoutName.c_str(), expiry) &&
                          m_store.setRegInt(kGflagsKey, detectedName.c_str(), now) &&
                          transaction.commit() == ERROR_SUCCESS;
            }
            if (!written) {
                m_log.Error(kTag, "Error occurred while setting gflag time out value for image %s.",
                            lower.c_str());
            }
            watched.push_back(image);
            continue;
        }
        if (timeout >= now) {
            watched.push_back(image);
            continue;
        }
        m_log.DebugLvl(kTag, 3,
                       "Timed out for Image %s. Expiry time:%s. Hence deleting the gflag from "
                       "registry.",
                       lower.c_str(), localTimeText(timeout).c_str());
        const std::string imageKey = std::string(kImageOptionsKey) + "\\" + image;
        if (!deleteValue(imageKey.c_str(), "")) {
            // Its bookkeeping stays, so that the next run tries again.
            m_log.Error(kTag, "Error occurred while clearing gflags for image %s. Error:%s",
                        lower.c_str(), m_store.getLastErrorMsg().c_str());
            watched.push_back(image);
            continue;
        }
        bool deleted;
        {
            kyos::reg::Transaction transaction;
            deleted =
                transaction.status() == ERROR_SUCCESS && deleteValue(kGflagsKey, timeoutName) &&
                deleteValue(kGflagsKey, detectedName) && transaction.commit() == ERROR_SUCCESS;
        }
        if (!deleted) {
            m_log.Error(kTag, "Error occurred while deleting time out entry for image %s.",
                        lower.c_str());
        }
    }
    WriteFlagReport(watched);
}

// Written whole to a new file beside the report and renamed over it, so that a reader,
// or another process writing the report at the same time, never sees half of one.
void EvDebugLogSettingManager::WriteFlagReport(const std::vector<std::string>& images) {
    static constexpr const char* kTag = "EvDebugLogSettingManager::WriteFlagReport";
    std::string imageText;
    for (const std::string& image : images) {
        std::vector<ImageValue> values;
        readImageValues(std::string(kImageOptionsKey) + "\\" + image, &values);
        imageText += "Current Registry Settings for " + image + " executable are: \n";
        for (const ImageValue& v : values) {
            imageText += v.name + " - " + v.text + (v.isNumber ? " (DWORD)" : "") + "\n";
            if (strcasecmp(v.name.c_str(), "GlobalFlag") == 0) {
                m_log.DebugLvl(kTag, 3, "Image:%s. Flag:%s Value:0x%lld", image.c_str(),
                               v.name.c_str(), v.number);
            } else {
                m_log.DebugLvl(kTag, 3, "Image:%s. Setting:%s", image.c_str(), v.name.c_str());
            }
        }
    }
    if (images.empty()) {
        imageText = "No images with gflags found\n";
        m_log.DebugLvl(kTag, 3, "No images with gflags found");
    }

    unsigned long systemFlags = 0;
    if (!m_store.getRegInt(kSessionManagerKey, "GlobalFlag", &systemFlags))
        systemFlags = 0;
    std::string systemText;
    if (systemFlags == 0) {
        systemText = "System wide gflags are not set. \n";
    } else if (systemFlags == kPoolTagging) {
        systemText = "Enable pool tagging is set.\n";
    } else {
        systemText =
            FXString::Format("System Registry gflags. Flag:GlobalFlag Value:0x%x\n",
                             static_cast<unsigned>(systemFlags)) +
            "Current Boot Registry Settings are: \n" +
            FXString::Format("GlobalFlag - 0x%08x (DWORD)\n", static_cast<unsigned>(systemFlags));
    }
    m_log.DebugLvl(kTag, 3, "%s", systemText.substr(0, systemText.find('\n')).c_str());

    const std::string dir = m_log.getTempLogFilePath();
    if (dir.empty()) {
        m_log.Error(kTag, "Unable to fetch the log file path.");
        return;
    }
    const std::string path = FXPath::Append(dir, kReportName);
    std::string temp = path + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);  // O_EXCL, 0600: a name of its own
    if (fd < 0) {
        m_log.Error(kTag, "Opening file: [%s] is failed. Error:[%s]", temp.c_str(),
                    errnoText(errno).c_str());
        return;
    }
    bool ok = true;
    if (!writeAll(fd, imageText)) {
        ok = false;
        m_log.Error(kTag, "Writing image flags failed. Error:[%s]", errnoText(errno).c_str());
    } else if (!writeAll(fd, systemText) || fsync(fd) != 0) {
        ok = false;
        m_log.Error(kTag, "Writing system wide flags failed. Error:[%s]", errnoText(errno).c_str());
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        m_log.Error(kTag, "Writing system wide flags failed. Error:[%s]", errnoText(errno).c_str());
    }
    if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        m_log.Error(kTag, "Move file from [%s] to [%s] is failed. Error:[%s]", temp.c_str(),
                    path.c_str(), errnoText(errno).c_str());
    }
    if (!ok)
        ::unlink(temp.c_str());
}

void EvDebugLogSettingManager::PrintImageFlags(EvDebug& log, const std::string& image) {
    static constexpr const char* kTag = "EvDebug::PrintGflags";
    std::vector<ImageValue> values;
    const DWORD rc = image.empty()
                         ? ERROR_FILE_NOT_FOUND
                         : readImageValues(std::string(kImageOptionsKey) + "\\" + image, &values);
    if (rc != ERROR_SUCCESS) {
        log.DebugLvl(kTag, 3, "Gflags are not set for the image %s. Return code:[%d]",
                     image.c_str(), static_cast<int>(rc));
        return;
    }
    if (values.empty()) {
        log.DebugLvl(kTag, 3, "No gflag settings are found for the current process:[%s].",
                     image.c_str());
        return;
    }
    for (const ImageValue& v : values) {
        log.DebugLvl(kTag, 1, "Image:%s. Flag:%s Value:%s", image.c_str(), v.name.c_str(),
                     v.text.c_str());
    }
}
