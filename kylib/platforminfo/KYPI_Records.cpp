#include <algorithm>
#include <cstdio>
#include <cstring>
#include <list>

#include "kylib/platforminfo/KYPI_Components.h"
#include "kylib/platforminfo/KYPI_PlatformBase.h"
#include "siblings/HbUtils/FXNamedMutex.h"

#include "os/LastError.h"
#include "os/System.h"
#include "os/registry/Registry.h"

// =========================================================================================
// Engine records

const KYPI_EngineRecordNames KYPI_SIDBEngine::kNames{"SIDBEngines", "nPid", "nStartTimeHigh",
                                                     "nStartTimeLow", "tLastConnectRequestTime"};
const KYPI_EngineRecordNames KYPI_SILODBEngine::kNames{"SILODBEngines", "nPid", "nStartTimeHigh",
                                                       "nStartTimeLow", "tLastConnectRequestTime"};
const KYPI_EngineRecordNames KYPI_OnDemandService::kNames{"OnDemandServices", "PID", "hStartTime",
                                                          "lStartTime", "LastConnectRequestTime"};

KYPI_SIDBEngine::KYPI_SIDBEngine(const char* client, EvDebug* debug)
    : KYPI_EngineRecords(kNames, client, debug) {}
KYPI_SILODBEngine::KYPI_SILODBEngine(const char* client, EvDebug* debug)
    : KYPI_EngineRecords(kNames, client, debug) {}
KYPI_OnDemandService::KYPI_OnDemandService(const char* client, EvDebug* debug)
    : KYPI_EngineRecords(kNames, client, debug) {}

KYPI_EngineRecords::KYPI_EngineRecords(const KYPI_EngineRecordNames& names, const char* client,
                                       EvDebug* debug)
    : KYPI_StoreComponent("Machines", debug),
      m_names(&names),
      m_client(client != nullptr ? client : "") {}

bool KYPI_EngineRecords::recordSection(const char* engine, std::string& section) {
    const char* client = m_client.empty() ? clientOrFocus(nullptr) : m_client.c_str();
    if (!isKeyNamePart(client)) {
        setError(ERROR_INVALID_PARAMETER, "KYPI_EngineRecords::recordSection",
                 "Invalid client name passed as input.");
        return false;
    }
    if (!isKeyNamePart(engine)) {
        setError(ERROR_INVALID_PARAMETER, "KYPI_EngineRecords::recordSection",
                 "Invalid engine name passed as input.");
        return false;
    }
    section = std::string("Machines\\") + client + "\\" + m_names->root + "\\" + engine;
    return true;
}

int KYPI_EngineRecords::setProcess(const char* engine, std::int32_t pid) {
    KYPI_EngineProcess process;
    process.pid = pid;
    if (!kyos::processStartTime(pid, process.startTime)) {
        setError(kyos::lastError(), "KYPI_EngineRecords::setProcess",
                 ("Failed to get the start time of process " + std::to_string(pid)).c_str());
        return 0;
    }
    return setProcess(engine, process);
}

int KYPI_EngineRecords::setProcess(const char* engine, const KYPI_EngineProcess& process) {
    std::string section;
    if (!recordSection(engine, section))
        return 0;
    const char* key = section.c_str();
    return inOneTransaction(
        "KYPI_EngineRecords::setProcess", "Failed to commit the process record.", [&] {
            if (!m_store.setNumber(key, m_names->pid, static_cast<std::uint32_t>(process.pid)) ||
                !m_store.setNumber(key, m_names->startTimeHigh,
                                   static_cast<std::uint32_t>(process.startTime >> 32)) ||
                !m_store.setNumber(key, m_names->startTimeLow,
                                   static_cast<std::uint32_t>(process.startTime & 0xFFFFFFFFu))) {
                copyStoreError();
                return false;
            }
            return true;
        });
}

int KYPI_EngineRecords::getProcess(const char* engine, KYPI_EngineProcess& process) {
    process = KYPI_EngineProcess();
    std::string section;
    if (!recordSection(engine, section))
        return 0;
    const char* key = section.c_str();
    unsigned long pid = 0, high = 0, low = 0;
    {
        kyos::reg::ReadTransaction view;
        if (view.status() != ERROR_SUCCESS) {
            setError(view.status(), "KYPI_EngineRecords::getProcess",
                     "Failed to begin a store view.");
            return 0;
        }
        if (!m_store.getNumber(key, m_names->pid, &pid) ||
            !m_store.getNumber(key, m_names->startTimeHigh, &high) ||
            !m_store.getNumber(key, m_names->startTimeLow, &low)) {
            copyStoreError();
            return 0;
        }
    }
    process.pid = static_cast<std::int32_t>(static_cast<std::uint32_t>(pid));
    process.startTime = (static_cast<std::uint64_t>(high) << 32) | (low & 0xFFFFFFFFu);
    return 1;
}

bool KYPI_EngineRecords::isProcessRunning(const char* engine) {
    KYPI_EngineProcess recorded;
    if (!getProcess(engine, recorded) || recorded.pid <= 0)
        return false;
    std::uint64_t now = 0;
    if (!kyos::processStartTime(recorded.pid, now))
        return false;
    const std::uint64_t difference =
        now > recorded.startTime ? now - recorded.startTime : recorded.startTime - now;
    return difference <= kStartTimeTolerance;
}

int KYPI_EngineRecords::deleteRecord(const char* engine) {
    std::string section;
    if (!recordSection(engine, section))
        return 0;
    if (!m_store.deleteSection(section.c_str()) && m_store.getRegError() != -2) {
        copyStoreError();
        return 0;
    }
    return 1;
}

int KYPI_EngineRecords::setRecordNumber(const char* engine, const char* field,
                                        unsigned long value) {
    std::string section;
    if (!recordSection(engine, section))
        return 0;
    if (!m_store.setNumber(section.c_str(), field, value)) {
        copyStoreError();
        return 0;
    }
    return 1;
}

unsigned long KYPI_EngineRecords::getRecordNumber(const char* engine, const char* field) {
    std::string section;
    unsigned long value = 0;
    if (!recordSection(engine, section))
        return 0;
    if (!m_store.getNumber(section.c_str(), field, &value)) {
        copyStoreError();
        return 0;
    }
    return value;
}

int KYPI_EngineRecords::setLastConnectRequestTime(const char* engine,
                                                  unsigned long secondsSince1970) {
    return setRecordNumber(engine, m_names->lastConnectRequestTime, secondsSince1970);
}

unsigned long KYPI_EngineRecords::getLastConnectRequestTime(const char* engine) {
    return getRecordNumber(engine, m_names->lastConnectRequestTime);
}

int KYPI_EngineRecords::setSessionType(const char* engine, unsigned long type) {
    return setRecordNumber(engine, "SessionType", type);
}

unsigned long KYPI_EngineRecords::getSessionType(const char* engine) {
    return getRecordNumber(engine, "SessionType");
}

// =========================================================================================
// Numbered lists of the file-system agent

namespace {

struct ListNames {
    kypi::Value count;
    const char* stem;
    const char* mutex;
};

// In the order of KYPI_FileSystemAgent::KYPI_NumberedList.
constexpr ListNames kLists[] = {
    {kypi::FileSystemAgent_nNumberOfMagMountPaths, "sMagneticMountPath", "KYMAMntPathRegLock"},
    {kypi::FileSystemAgent_nNumberOfMovedMagMountPaths, "sMovedMagneticMountPath",
     "KYMAMntPathRegLock"},
    {kypi::FileSystemAgent_nNumberOfPnPDrivePaths, "sPnPDrivePath", "KYMAMntPathRegLock"},
    {kypi::FileSystemAgent_nNumberOfSIDBAccessPath, "sSIDBAccessPath", "KYPISIDBAccessPathRegLock"},
};

std::string entryName(const char* stem, unsigned long index) {
    return stem + std::to_string(index);
}

// A list longer than this is not one the product keeps: a count past it is a damaged
// store, not a reason to read four billion values.
constexpr unsigned long kMaxListEntries = 1u << 20;

}  // namespace

bool KYPI_ValueState::takeNamedLock(FXNamedMutex& mutex, const char* function) {
    if (mutex.lock(kNamedLockTimeoutMs))
        return true;
    // Going on without the mutex could lose another process's update: nothing changes.
    const std::string message = "Failed to set Named lock [" + mutex.name() + "].";
    setError(kErrNoNamedLock, function, message.c_str());
    return false;
}

int KYPI_FileSystemAgent::getListEntries(KYPI_NumberedList list,
                                         std::vector<std::string>& entries) {
    static constexpr const char* kFunction = "KYPI_FileSystemAgent::getListEntries";
    entries.clear();
    const ListNames& names = kLists[list];
    const kypi::Row& countRow = kypi::kRows[names.count];
    KYPlatformInfo& store = valueStore();
    kyos::reg::ReadTransaction view;
    unsigned long count = 0;
    if (!store.getNumber(countRow.section, countRow.name, &count)) {
        if (store.lastFoundNothing())
            return 1;  // no list yet
        copyStoreError();
        return 0;
    }
    if (count > kMaxListEntries) {
        setError(ERROR_INVALID_DATA, kFunction, "The list's count is out of range.");
        return 0;
    }
    for (unsigned long i = 0; i < count; ++i) {
        std::string entry;
        if (!store.getString(countRow.section, entryName(names.stem, i).c_str(), &entry)) {
            copyStoreError();
            entries.clear();
            return 0;
        }
        entries.push_back(entry);
    }
    return 1;
}

int KYPI_FileSystemAgent::addListEntry(KYPI_NumberedList list, const char* entry, bool lock) {
    static constexpr const char* kFunction = "KYPI_FileSystemAgent::addListEntry";
    if (entry == nullptr) {
        setError(ERROR_INVALID_PARAMETER, kFunction, "Invalid arguments.");
        return 0;
    }
    const ListNames& names = kLists[list];
    const kypi::Row& countRow = kypi::kRows[names.count];
    FXNamedMutex mutex(names.mutex);
    if (lock && !takeNamedLock(mutex, kFunction))
        return 0;
    KYPlatformInfo& store = valueStore();
    // The entry and then the count, in one transaction: a reader or a crash sees the list
    // before or after, never a count past its entries.
    return inOneTransaction(kFunction, "Failed to commit the list entry.", [&] {
        unsigned long count = 0;
        if (!store.getNumber(countRow.section, countRow.name, &count)) {
            if (!store.lastFoundNothing()) {
                copyStoreError();
                return false;
            }
            count = 0;
        }
        if (count >= kMaxListEntries) {
            setError(ERROR_INVALID_DATA, kFunction, "The list's count is out of range.");
            return false;
        }
        if (!store.setString(countRow.section, entryName(names.stem, count).c_str(), entry) ||
            !store.setNumber(countRow.section, countRow.name, count + 1)) {
            copyStoreError();
            return false;
        }
        return true;
    });
}

int KYPI_FileSystemAgent::removeListEntry(KYPI_NumberedList list, const char* entry, bool lock) {
    static constexpr const char* kFunction = "KYPI_FileSystemAgent::removeListEntry";
    if (entry == nullptr) {
        setError(ERROR_INVALID_PARAMETER, kFunction, "Invalid arguments.");
        return 0;
    }
    const ListNames& names = kLists[list];
    const kypi::Row& countRow = kypi::kRows[names.count];
    FXNamedMutex mutex(names.mutex);
    if (lock && !takeNamedLock(mutex, kFunction))
        return 0;
    KYPlatformInfo& store = valueStore();
    return inOneTransaction(kFunction, "Failed to commit the list.", [&] {
        std::vector<std::string> entries;
        if (!getListEntries(list, entries))
            return false;
        std::vector<std::string> kept;
        for (const std::string& e : entries)
            if (e != entry)
                kept.push_back(e);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::string name = entryName(names.stem, i);
            const bool done = i < kept.size()
                                  ? store.setString(countRow.section, name.c_str(), kept[i]) != 0
                                  : store.deleteField(countRow.section, name.c_str()) != 0;
            if (!done) {
                copyStoreError();
                return false;
            }
        }
        if (!store.setNumber(countRow.section, countRow.name, kept.size())) {
            copyStoreError();
            return false;
        }
        return true;
    });
}

// =========================================================================================
// Mount-path records of the media agent

namespace {

constexpr const char* kMountPathLock = "KYMAMntPathRegLock";
constexpr const char* kPruningLock = "KYPIPruningControlRegLock";
constexpr const char* k3dfsLock = "KYPI3dfsAcessListUpdateLock";

std::string mountPathSection(unsigned number) {
    return "MediaAgent\\" + std::to_string(number);
}

bool isNumber(const std::string& text) {
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

struct RecordNumber {
    const char* name;
    unsigned long KYPI_MountPathRecord::*field;
};

constexpr RecordNumber kRecordNumbers[] = {
    {"Id", &KYPI_MountPathRecord::id},
    {"MPType", &KYPI_MountPathRecord::mpType},
    {"DeviceType", &KYPI_MountPathRecord::deviceType},
    {"DeviceAccessType", &KYPI_MountPathRecord::deviceAccessType},
    {"Attributes", &KYPI_MountPathRecord::attributes},
    {"OrigMPId", &KYPI_MountPathRecord::origMPId},
    {"OrigCCId", &KYPI_MountPathRecord::origCCId},
};

}  // namespace

int KYPI_MediaAgent::getMountPathRecord(unsigned number, KYPI_MountPathRecord& record) {
    record = KYPI_MountPathRecord();
    record.number = number;
    const std::string section = mountPathSection(number);
    const char* key = section.c_str();
    KYPlatformInfo& store = valueStore();
    kyos::reg::ReadTransaction view;
    if (!store.getString(key, "Path", &record.path)) {
        copyStoreError();
        return 0;
    }
    // The other values are optional: missing ones read as empty or 0.
    if ((!store.getString(key, "User", &record.user) && !store.lastFoundNothing()) ||
        (!store.getString(key, "MPExProps", &record.exProps) && !store.lastFoundNothing())) {
        copyStoreError();
        return 0;
    }
    for (const RecordNumber& n : kRecordNumbers) {
        unsigned long value = 0;
        if (!store.getNumber(key, n.name, &value) && !store.lastFoundNothing()) {
            copyStoreError();
            return 0;
        }
        record.*n.field = value;
    }
    if (!store.getPassword(key, "Pass", &record.password) && !store.lastFoundNothing()) {
        copyStoreError();
        return 0;
    }
    return 1;
}

int KYPI_MediaAgent::getMountPathRecords(std::vector<KYPI_MountPathRecord>& records) {
    records.clear();
    KYPlatformInfo& store = valueStore();
    std::list<std::string> keys;
    if (!store.getSubKeys("MediaAgent", &keys)) {
        if (store.lastFoundNothing())
            return 1;
        copyStoreError();
        return 0;
    }
    for (const std::string& key : keys) {
        if (!isNumber(key))
            continue;
        KYPI_MountPathRecord record;
        if (!getMountPathRecord(static_cast<unsigned>(std::stoul(key)), record))
            return 0;
        records.push_back(record);
    }
    return 1;
}

int KYPI_MediaAgent::setMountPathRecord(const KYPI_MountPathRecord& record) {
    static constexpr const char* kFunction = "KYPI_MediaAgent::setMountPathRecord";
    FXNamedMutex mutex(kMountPathLock);
    if (!takeNamedLock(mutex, kFunction))
        return 0;
    const std::string section = mountPathSection(record.number);
    const char* key = section.c_str();
    KYPlatformInfo& store = valueStore();
    return inOneTransaction(kFunction, "Failed to commit the mount path.", [&] {
        bool written = store.setString(key, "Path", record.path) &&
                       store.setString(key, "User", record.user) &&
                       store.setString(key, "MPExProps", record.exProps);
        for (const RecordNumber& n : kRecordNumbers)
            written = written && store.setNumber(key, n.name, record.*n.field);
        if (written && record.password.getProtectedLength() > 0) {
            KYPassword password(record.password);
            written = store.setPassword(key, "Pass", &password) != 0;
        }
        if (!written) {
            copyStoreError();
            return false;
        }
        return true;
    });
}

int KYPI_MediaAgent::findMountPathRecord(unsigned long id, KYPI_MountPathRecord& record) {
    const bool byOriginal = getEnableMPIDLookupWithOrigMPID() != 0;
    std::vector<KYPI_MountPathRecord> records;
    if (!getMountPathRecords(records))
        return 0;
    for (const KYPI_MountPathRecord& candidate : records) {
        if ((byOriginal ? candidate.origMPId : candidate.id) == id) {
            record = candidate;
            return 1;
        }
    }
    setError(ERROR_NOT_FOUND, "KYPI_MediaAgent::findMountPathRecord",
             ("No mount path with id " + std::to_string(id) + ".").c_str());
    return 0;
}

bool KYPI_MediaAgent::SkipProcessingMagMountPath(const char* path) {
    if (path == nullptr)
        return false;
    for (const char* prefix : {"IP|", "SAN|", "FC|", "ISCSI|"})
        if (std::strncmp(path, prefix, std::strlen(prefix)) == 0)
            return true;
    return false;
}

// =========================================================================================
// Pruning control

bool KYPI_OperationWindow::parse(const char* text, KYPI_OperationWindow& window) {
    window = KYPI_OperationWindow();
    if (text == nullptr || std::strlen(text) != 19 || text[7] != '|' || text[13] != '-')
        return false;
    for (unsigned day = 0; day < 7; ++day) {
        if (text[day] == '1')
            window.days |= 1u << day;
        else if (text[day] != '0')
            return false;
    }
    auto time = [](const char* at, unsigned& minutes) {
        for (int i : {0, 1, 3, 4})
            if (at[i] < '0' || at[i] > '9')
                return false;
        if (at[2] != ':')
            return false;
        const unsigned hours = static_cast<unsigned>((at[0] - '0') * 10 + (at[1] - '0'));
        const unsigned mins = static_cast<unsigned>((at[3] - '0') * 10 + (at[4] - '0'));
        if (hours > 23 || mins > 59)
            return false;
        minutes = hours * 60 + mins;
        return true;
    };
    return time(text + 8, window.start) && time(text + 14, window.end);
}

std::string KYPI_OperationWindow::format() const {
    char text[32];
    for (unsigned day = 0; day < 7; ++day)
        text[day] = (days & (1u << day)) ? '1' : '0';
    std::snprintf(text + 7, sizeof text - 7, "|%02u:%02u-%02u:%02u", (start / 60) % 24, start % 60,
                  (end / 60) % 24, end % 60);
    return text;
}

bool KYPI_OperationWindow::contains(unsigned day, unsigned minute) const {
    const auto on = [this](unsigned d) { return (days & (1u << (d % 7))) != 0; };
    if (start < end)
        return on(day) && minute >= start && minute < end;
    // Through midnight (equal times: the whole day and night to the same time).
    return (on(day) && minute >= start) || (on(day + 6) && minute < end);
}

namespace {

bool pruningSection(const char* client, std::string& section) {
    if (!KYPlatformInfo::isKeyNamePart(client))
        return false;
    section = std::string("Machines\\") + client + "\\PruningControl";
    return true;
}

}  // namespace

int KYPI_MediaAgent::getMountPathPruningDisabled(const char* client, const char* mountPath,
                                                 bool& disabled) {
    static constexpr const char* kFunction = "KYPI_MediaAgent::getMountPathPruningDisabled";
    disabled = false;
    std::string section;
    if (!pruningSection(clientOrFocus(client), section) || !isKeyNamePart(mountPath)) {
        setError(ERROR_INVALID_PARAMETER, kFunction, "Invalid arguments.");
        return 0;
    }
    section += std::string("\\MountPathPruning\\") + mountPath;
    FXNamedMutex mutex(kPruningLock);
    if (!takeNamedLock(mutex, kFunction))
        return 0;
    KYPlatformInfo& store = valueStore();
    bool value = false;
    if (!store.getBoolean(section.c_str(), "bDisablePruning", &value)) {
        if (store.lastFoundNothing())
            return 1;
        copyStoreError();
        return 0;
    }
    disabled = value;
    return 1;
}

int KYPI_MediaAgent::setMountPathPruningDisabled(const char* client, const char* mountPath,
                                                 bool disabled) {
    static constexpr const char* kFunction = "KYPI_MediaAgent::setMountPathPruningDisabled";
    std::string section;
    if (!pruningSection(clientOrFocus(client), section) || !isKeyNamePart(mountPath)) {
        setError(ERROR_INVALID_PARAMETER, kFunction, "Invalid arguments.");
        return 0;
    }
    section += std::string("\\MountPathPruning\\") + mountPath;
    FXNamedMutex mutex(kPruningLock);
    if (!takeNamedLock(mutex, kFunction))
        return 0;
    if (!valueStore().setBoolean(section.c_str(), "bDisablePruning", disabled)) {
        copyStoreError();
        return 0;
    }
    return 1;
}

int KYPI_MediaAgent::getPruningOperationWindows(const char* client,
                                                std::vector<KYPI_OperationWindow>& windows) {
    static constexpr const char* kFunction = "KYPI_MediaAgent::getPruningOperationWindows";
    windows.clear();
    std::string section;
    if (!pruningSection(clientOrFocus(client), section)) {
        setError(ERROR_INVALID_PARAMETER, kFunction, "Invalid client name passed as input.");
        return 0;
    }
    section += "\\MediaAgentPruningOperationWindow";
    FXNamedMutex mutex(kPruningLock);
    if (!takeNamedLock(mutex, kFunction))
        return 0;
    KYPlatformInfo& store = valueStore();
    kyos::reg::ReadTransaction view;
    unsigned long count = 0;
    if (!store.getNumber(section.c_str(), "NoOfPruningSchdule", &count)) {
        if (store.lastFoundNothing())
            return 1;
        copyStoreError();
        return 0;
    }
    if (count > kMaxListEntries) {
        setError(ERROR_INVALID_DATA, kFunction,
                 "OperationWindow string format is not proper in registry.");
        return 0;
    }
    for (unsigned long i = 0; i < count; ++i) {
        std::string text;
        KYPI_OperationWindow window;
        if (!store.getString(section.c_str(), entryName("sOperationWindow", i).c_str(), &text) ||
            !KYPI_OperationWindow::parse(text.c_str(), window)) {
            setError(ERROR_INVALID_DATA, kFunction,
                     "OperationWindow string format is not proper in registry.");
            windows.clear();
            return 0;
        }
        windows.push_back(window);
    }
    return 1;
}

int KYPI_MediaAgent::setPruningOperationWindows(const char* client,
                                                const std::vector<KYPI_OperationWindow>& windows) {
    static constexpr const char* kFunction = "KYPI_MediaAgent::setPruningOperationWindows";
    std::string section;
    if (!pruningSection(clientOrFocus(client), section)) {
        setError(ERROR_INVALID_PARAMETER, kFunction, "Invalid client name passed as input.");
        return 0;
    }
    section += "\\MediaAgentPruningOperationWindow";
    FXNamedMutex mutex(kPruningLock);
    if (!takeNamedLock(mutex, kFunction))
        return 0;
    KYPlatformInfo& store = valueStore();
    return inOneTransaction(kFunction, "Failed to commit the operation windows.", [&] {
        // The old windows go with the old count: the key holds exactly the new set.
        if (!store.deleteSection(section.c_str()) && store.getRegError() != -2) {
            copyStoreError();
            return false;
        }
        for (std::size_t i = 0; i < windows.size(); ++i) {
            if (!store.setString(section.c_str(), entryName("sOperationWindow", i).c_str(),
                                 windows[i].format())) {
                copyStoreError();
                return false;
            }
        }
        if (!store.setNumber(section.c_str(), "NoOfPruningSchdule", windows.size())) {
            copyStoreError();
            return false;
        }
        return true;
    });
}

// =========================================================================================
// 3dfs storage access list

namespace {

std::vector<std::string> splitAccessList(const std::string& text) {
    std::vector<std::string> entries;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find(';', at), text.size());
        if (end > at)
            entries.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return entries;
}

std::string joinAccessList(const std::vector<std::string>& entries) {
    std::string text;
    for (const std::string& e : entries) {
        if (!text.empty())
            text += ';';
        text += e;
    }
    return text;
}

}  // namespace

int KYPI_MediaAgent::get3dfsStorageAccessList(std::vector<std::string>& entries) {
    entries.clear();
    std::string value;
    if (!text<kypi::MediaAgent_s3dfsStorageAccessList>(value)) {
        KYPlatformInfo& store = valueStore();
        return store.lastFoundNothing() ? 1 : 0;
    }
    entries = splitAccessList(value);
    return 1;
}

int KYPI_MediaAgent::add3dfsStorageAccess(const char* entry) {
    static constexpr const char* kFunction = "KYPI_MediaAgent::add3dfsStorageAccess";
    if (entry == nullptr || *entry == '\0' || std::strchr(entry, ';') != nullptr) {
        setError(ERROR_INVALID_PARAMETER, kFunction, "Invalid arguments.");
        return 0;
    }
    FXNamedMutex mutex(k3dfsLock);
    if (!takeNamedLock(mutex, kFunction))
        return 0;
    std::vector<std::string> entries;
    if (!get3dfsStorageAccessList(entries))
        return 0;
    for (const std::string& e : entries)
        if (e == entry)
            return 1;
    entries.push_back(entry);
    const kypi::Row& row = kypi::kRows[kypi::MediaAgent_s3dfsStorageAccessList];
    if (!valueStore().setString(row.section, row.name, joinAccessList(entries))) {
        copyStoreError();
        return 0;
    }
    return 1;
}

int KYPI_MediaAgent::remove3dfsStorageAccess(const char* entry) {
    static constexpr const char* kFunction = "KYPI_MediaAgent::remove3dfsStorageAccess";
    if (entry == nullptr || *entry == '\0') {
        setError(ERROR_INVALID_PARAMETER, kFunction, "Invalid arguments.");
        return 0;
    }
    FXNamedMutex mutex(k3dfsLock);
    if (!takeNamedLock(mutex, kFunction))
        return 0;
    std::vector<std::string> entries, kept;
    if (!get3dfsStorageAccessList(entries))
        return 0;
    for (const std::string& e : entries)
        if (e != entry)
            kept.push_back(e);
    const kypi::Row& row = kypi::kRows[kypi::MediaAgent_s3dfsStorageAccessList];
    if (!valueStore().setString(row.section, row.name, joinAccessList(kept))) {
        copyStoreError();
        return 0;
    }
    return 1;
}
