// The debug log: handles, instances, the process writer list, opening a log and the
// message path.
#include "kylib/diagnostics/EvDebug.h"

#include <strings.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <thread>

#include "kylib/platforminfo/KYPlatformInfo.h"
#include "os/File.h"
#include "os/Handle.h"
#include "os/LastError.h"
#include "os/System.h"
#include "siblings/HbUtils/FXErrorUtil.h"
#include "siblings/HbUtils/FXPath.h"
#include "siblings/HbUtils/FXString.h"
#include "siblings/HbUtils/HbSleep.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "siblings/RoDorovev/RoDorovev.h"

namespace {

constexpr std::uint32_t kFollowsThread = 1;
// The writer filters nothing itself: all filtering is done here, before formatting.
constexpr int kWriterLevelAll = 0x7FFFFFFF;
constexpr std::int64_t kDefaultRefreshSeconds = 30;
constexpr int kLogNameNotFound = 774;
// The affinity mask has a bit per processor for the first 64.
constexpr unsigned kMaxAffinityCpu = 63;

// Process-wide state. Never destroyed: threads may log while static objects are torn
// down at exit.
struct LogProcess {
    // Guards initialize, the writer list, CloseLogFile, finalize and the clean-ups.
    std::recursive_mutex lock;
    std::vector<CHbLogger*> writers;  // owned; a cleared slot is null
    // Writers taken out of service: shut down, but their memory is kept so that a thread
    // that loaded the pointer just before never touches freed memory.
    std::vector<CHbLogger*> retired;

    EvDebugFileInstance defaultInstance;

    // Guards the list of silenced modules.
    std::mutex logListLock;
    std::vector<std::string> logList;

    std::atomic<std::int64_t> refreshInterval{0};
    std::atomic<bool> turnOffAllLogs{false};
    std::atomic<bool> logToStdout{false};
    std::atomic<int> threadLevelInstances{0};

    // Once-per-process steps of initialize.
    std::atomic<bool> networkDone{false};
    std::atomic<bool> flagsPrinted{false};
    std::atomic<bool> affinityDone{false};

    // Identity, written once under `lock` and published by `identityReady`.
    std::atomic<bool> identityReady{false};
    long processId = 0;
    std::string processName, hostName, clientName, hostIP, nicMac;
    std::string zsHostName, zsClientName, version;
    int servicePackVersion = 0;
    std::atomic<bool> fastLoopback{false};
};

LogProcess& process() {
    static LogProcess* p = new LogProcess;
    return *p;
}

// The calling thread's stack of thread-level instances.
thread_local std::deque<EvDebugFileInstance*>* t_threadLevel = nullptr;

// A store object that writes nothing to the log it serves: the log's own registry reads
// must not log through the log being opened.
KYPlatformInfo quietStore(const std::string& focus) {
    KYPlatformInfo store(0, 0);
    if (!focus.empty())
        store.setFocus(focus.c_str());
    return store;
}

bool readNumber(KYPlatformInfo& store, const char* section, const std::string& field,
                unsigned long* out) {
    unsigned long v = 0;
    if (!store.getNumber(section, field.c_str(), &v))
        return false;
    *out = v;
    return true;
}

// A registry number that counts as set: present and not 0.
unsigned long numberOr(KYPlatformInfo& store, const char* section, const std::string& field,
                       unsigned long fallback) {
    unsigned long v = 0;
    return readNumber(store, section, field, &v) && v != 0 ? v : fallback;
}

std::string textOf(KYPlatformInfo& store, const char* section, const char* field) {
    std::string v;
    return store.getString(section, field, &v) ? v : std::string();
}

// c_ServicePackVer from the product version "a.b.c": b below 101 or at least 1000 scaled
// as the product numbers its service packs.
int servicePackFrom(const std::string& version) {
    std::vector<std::string> fields = FXString::Split(version, ".");
    if (fields.size() != 3)
        return 0;
    long n = std::strtol(fields[1].c_str(), nullptr, 10);
    if (n >= 1000)
        return static_cast<int>(n / 100);
    if (n >= 101)
        return static_cast<int>(n / 10);
    return static_cast<int>(n);
}

// The comma-separated processor list of an affinity value as a mask. Numbers at or above
// the machine's processor count (or above 63) are ignored: shifting by them is undefined.
std::uint64_t affinityMaskFrom(const std::string& text) {
    std::uint64_t mask = 0;
    const unsigned cpus = kyos::processorCount();
    for (const std::string& part : FXString::Split(text, ",")) {
        std::string t = FXString::Trim(part);
        if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos)
            continue;
        unsigned long n = std::strtoul(t.c_str(), nullptr, 10);
        if (n >= cpus || n > kMaxAffinityCpu)
            continue;
        mask |= std::uint64_t{1} << n;
    }
    return mask;
}

std::string ensureTrailingSeparator(std::string dir) {
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir;
}

bool pathExists(const std::string& path) {
    return FXPath::DoesPathExist(path);
}

}  // namespace

// =========================================================================================
// Instances and handles.

EvDebugFileInstance::EvDebugFileInstance() = default;
EvDebugFileInstance::~EvDebugFileInstance() = default;

bool EvDebugFileInstance::IsReady() const {
    if (m_state.load(std::memory_order_acquire) != kStateReady)
        return false;
    CHbLogger* w = m_writer.load(std::memory_order_acquire);
    return w != nullptr && !w->IsShutdown();
}

EvDebug::EvDebug() : EvDebug(nullptr) {}

EvDebug::EvDebug(EvDebugFileInstance* instance) : m_threadId(0), m_spare(0) {
    if (instance == nullptr) {
        m_pFileInst = &process().defaultInstance;
        m_flags = kFollowsThread;
    } else {
        m_pFileInst = instance;
        m_flags = 0;
    }
}

EvDebug::EvDebug(const EvDebug& other)
    : m_pFileInst(other.m_pFileInst),
      m_flags(other.m_flags),
      m_threadId(other.m_threadId),
      m_spare(0) {}

EvDebug& EvDebug::operator=(const EvDebug& other) {
    m_pFileInst = other.m_pFileInst;
    m_flags = other.m_flags;
    m_threadId = other.m_threadId;
    m_spare = 0;
    return *this;
}

EvDebug::~EvDebug() = default;

EvDebugFileInstance* EvDebug::GetFileInstance() const {
    return (m_flags & kFollowsThread) ? nullptr : m_pFileInst;
}

void EvDebug::FileInst_Set(EvDebugFileInstance* instance) {
    if (instance == nullptr) {
        m_pFileInst = &process().defaultInstance;
        m_flags |= kFollowsThread;
    } else {
        m_pFileInst = instance;
        m_flags &= ~kFollowsThread;
    }
}

EvDebugFileInstance* EvDebug::RefreshInstance() {
    m_threadId = kyos::threadId();
    if (t_threadLevel != nullptr && !t_threadLevel->empty())
        return t_threadLevel->back();
    return &process().defaultInstance;
}

EvDebugFileInstance* EvDebug::selectInstance() {
    LogProcess& p = process();
    if (p.threadLevelInstances.load(std::memory_order_relaxed) > 0 && (m_flags & kFollowsThread) &&
        p.defaultInstance.m_state.load(std::memory_order_relaxed) ==
            EvDebugFileInstance::kStateReady) {
        return RefreshInstance();
    }
    return m_pFileInst;
}

// =========================================================================================
// The message path.

void EvDebug::handleMsgEventDebug_NEW(int level, long value, const char* tag, unsigned long line,
                                      int, __int64 jobId, const char* prefix, const char* fmt,
                                      va_list args) {
    EvDebugFileInstance* inst = selectInstance();
    if (inst->m_state.load(std::memory_order_acquire) != EvDebugFileInstance::kStateReady)
        return;
    LogProcess& p = process();

    // Settings are pulled, at most once per interval, by whichever thread logs first.
    std::int64_t now = kyos::unixTime();
    std::int64_t last = inst->m_lastRefresh.load(std::memory_order_relaxed);
    if (now - last > p.refreshInterval.load(std::memory_order_relaxed) &&
        inst->m_lastRefresh.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
        EvDebug(inst).refreshAllParams();
    }

    if (p.turnOffAllLogs.load(std::memory_order_relaxed) ||
        inst->m_loggingOff.load(std::memory_order_relaxed) ||
        inst->m_level.load(std::memory_order_relaxed) < level) {
        return;
    }
    CHbLogger* writer = inst->m_writer.load(std::memory_order_acquire);
    if (writer == nullptr || writer->IsShutdown())
        return;
    if (jobId == 0)
        jobId = inst->m_jobId.load(std::memory_order_relaxed);
    std::string prefixCopy;
    if (prefix == nullptr && inst->m_hasPrefix.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(inst->m_textMutex);
        prefixCopy = inst->m_prefixMessage;
        if (!prefixCopy.empty())
            prefix = prefixCopy.c_str();
    }
    if (p.logToStdout.load(std::memory_order_relaxed)) {
        va_list copy;
        va_copy(copy, args);
        std::vprintf(fmt, copy);
        std::putchar('\n');
        va_end(copy);
    }
    writer->LogMessageV(level, value, tag, line, jobId, prefix, fmt, args);
}

void EvDebug::handleMsgEventDebug_NEW(int level, const char* tag, unsigned long line, __int64 jobId,
                                      const char* prefix, const char* fmt, va_list args) {
    handleMsgEventDebug_NEW(level, 0, tag, line, 0, jobId, prefix, fmt, args);
}

void EvDebug::handleMsgEventDebug_NEW(int level, const char* fmt, va_list args) {
    handleMsgEventDebug_NEW(level, 0, nullptr, 0, 0, 0, nullptr, fmt, args);
}

#define KY_FORWARD(level, value, tag, line, jobId, prefix)                         \
    va_list args;                                                                  \
    va_start(args, fmt);                                                           \
    handleMsgEventDebug_NEW(level, value, tag, line, 0, jobId, prefix, fmt, args); \
    va_end(args)

void EvDebug::Debug(const char* tag, const char* fmt, ...) {
    KY_FORWARD(0, 0, tag, 0, 0, nullptr);
}
void EvDebug::DebugLvl(const char* tag, int level, const char* fmt, ...) {
    KY_FORWARD(level, 0, tag, 0, 0, nullptr);
}
void EvDebug::DebugLvl(const char* tag, int level, __int64 jobId, const char* fmt, ...) {
    KY_FORWARD(level, 0, tag, 0, jobId, nullptr);
}
void EvDebug::DebugLvl(const char* tag, long value, int level, __int64 jobId, const char* fmt,
                       ...) {
    KY_FORWARD(level, value, tag, 0, jobId, nullptr);
}
void EvDebug::DebugJob(int level, const char* prefix, __int64 jobId, const char* fmt, ...) {
    KY_FORWARD(level, 0, nullptr, 0, jobId, prefix);
}
void EvDebug::DebugJob(const char* prefix, __int64 jobId, const char* fmt, ...) {
    KY_FORWARD(0, 0, nullptr, 0, jobId, prefix);
}
void EvDebug::DebugFLDJ(const char* tag, unsigned long line, int level, __int64 jobId,
                        const char* fmt, ...) {
    KY_FORWARD(level, 0, tag, line, jobId, nullptr);
}
void EvDebug::LogMessage(int level, const char* tag, unsigned long line, __int64 jobId,
                         const char* prefix, const char* fmt, ...) {
    KY_FORWARD(level, 0, tag, line, jobId, prefix);
}
void EvDebug::Error(const char* tag, const char* fmt, ...) {
    KY_FORWARD(-1, 0, tag, 0, 0, nullptr);
}
void EvDebug::debug(const char* fmt, ...) {
    KY_FORWARD(0, 0, nullptr, 0, 0, nullptr);
}
void EvDebug::debug(int, const char* fmt, ...) {
    KY_FORWARD(0, 0, nullptr, 0, 0, nullptr);
}
void EvDebug::debugLvl(int level, const char* fmt, ...) {
    KY_FORWARD(level, 0, nullptr, 0, 0, nullptr);
}
void EvDebug::debugLvl(int level, __int64 jobId, const char* fmt, ...) {
    KY_FORWARD(level, 0, nullptr, 0, jobId, nullptr);
}
void EvDebug::error(const char* fmt, ...) {
    KY_FORWARD(-1, 0, nullptr, 0, 0, nullptr);
}

#undef KY_FORWARD

void EvDebug::debug_args(const char* fmt, va_list args) {
    handleMsgEventDebug_NEW(0, 0, nullptr, 0, 0, 0, nullptr, fmt, args);
}

void EvDebug::traceIn(const char* name, int line) {
    if (line == 0)
        Debug(nullptr, "Entering [%s]", name);
    else
        Debug(nullptr, "Entering [%s] Line [%d]", name, line);
}

void EvDebug::traceOut(const char* name, int line) {
    if (line == 0)
        Debug(nullptr, "Exiting [%s]", name);
    else
        Debug(nullptr, "Exiting [%s] Line [%d]", name, line);
}

void EvDebug::logMessage(char* text) {
    EvDebugFileInstance* inst = selectInstance();
    if (!inst->IsReady() || text == nullptr)
        return;
    inst->m_writer.load(std::memory_order_acquire)->LogMessage(text);
}

// =========================================================================================
// Opening a log.

bool EvDebug::initialize(unsigned logId, __int64 jobId, bool flag, const std::string& suffix) {
    return initialize(logId, jobId, nullptr, flag, suffix);
}

bool EvDebug::initialize(EvDebugFileInstance* instance, unsigned logId, __int64 jobId, bool flag,
                         const std::string& suffix) {
    FileInst_Set(instance);
    return initialize(logId, jobId, nullptr, flag, suffix);
}

bool EvDebug::initialize(unsigned logId, __int64 jobId, const char* logDir, bool flag,
                         const std::string& suffix) {
    LogProcess& p = process();
    bool opened;
    {
        std::lock_guard<std::recursive_mutex> lock(p.lock);
        if (m_pFileInst->IsReady())
            return true;
        opened = initializeLocked(logId, jobId, logDir, flag, suffix);
    }
    if (!opened)
        return false;

    // The rest may wait (for a debugger) or take time: never under the process lock.
    const std::string module = getModuleName();
    debugWait(module.c_str());
    refreshLoggingSwitch();
    refreshDebugLevel(nullptr);
    if (!p.flagsPrinted.exchange(true)) {
        // Windows image flags have no counterpart here; say so once, as the flag print
        // would have said that none are set.
        DebugLvl("EvDebug::PrintGflags", 3,
                 "No gflag settings are found for the current process:[%s].", getProcessName());
    }
    if (!p.affinityDone.exchange(true)) {
        KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
        std::string name = getProcessName();
        name = name.substr(0, name.find('.'));
        std::string text = textOf(store, "Session", (name + "_AffinityMask").c_str());
        if (text.empty())
            text = textOf(store, "Session", "All_AffinityMask");
        std::uint64_t mask = affinityMaskFrom(text);
        if (mask != 0) {
            std::uint64_t current = 0, system = 0;
            if (!kyos::getProcessAffinity(&current, &system)) {
                Error("EvDebug::initialize",
                      "Failed to get Process and System Affinity mask, error %d",
                      static_cast<int>(kyos::lastError()));
            } else if ((mask &= system) != 0 && mask != current) {
                if (kyos::setProcessAffinity(mask)) {
                    DebugLvl("EvDebug::initialize", 1, "CPU Affinity mask set to [%d]",
                             static_cast<int>(mask));
                } else {
                    Error("EvDebug::initialize",
                          "Failed to set CPU Affinity mask to [%d], error %d",
                          static_cast<int>(mask), static_cast<int>(kyos::lastError()));
                }
            }
        }
    }
    DebugLvl("EvDebug::initialize", 2, "FastLoopBack is %s.",
             p.fastLoopback.load() ? "enabled" : "disabled");
    if (const KYLogFileInfo* r = FindLogFileInfo(logId)) {
        DebugLvl("EvDebug::initialize", 2, "KYLogFileInfo - (%u, '%s', %u, %u, %u, %u)", r->id,
                 r->name, r->reserved, r->defaultLevel, r->defaultSize, r->defaultBackups);
    }
    return true;
}

bool EvDebug::initializeLocked(unsigned logId, __int64 jobId, const char* logDir, bool flag,
                               const std::string& suffix) {
    LogProcess& p = process();
    EvDebugFileInstance* inst = m_pFileInst;

    const KYLogFileInfo* row = FindLogFileInfo(logId);
    if (row == nullptr) {
        CHbError err = FXErrorUtil::ErrorWin32(FX_LOCATION("EvDebug::initialize"), kLogNameNotFound,
                                               "Couldn't find the log name for id:[%u]", logId);
        ReportToSysLog(err.AsString().c_str());
        return false;
    }
    std::string baseName = row->name;
    if (!suffix.empty())
        baseName += "-" + suffix;

    const char* focusText = KYPI_Focus::getFocus();
    if (focusText != nullptr && *focusText == '\0') {
        KYPI_Focus::doCrashThisProcess(true, nullptr);
        return false;
    }
    const std::string focus = focusText ? focusText : "";
    KYPlatformInfo store = quietStore(focus);

    // Module name, with the client prefix when the installation asks for one.
    std::string module = baseName;
    unsigned long prefixMode = 0;
    readNumber(store, "EventManager", "PrefixLogFileNameWithClientName", &prefixMode);
    if (prefixMode != 0) {
        const char* client = KYPI_Focus::getFocusPseudoClientName();
        if ((client == nullptr || *client == '\0') && prefixMode == 2)
            client = KYPI_Focus::getFocusClientName(false);
        if (client != nullptr && *client != '\0')
            module = std::string("cl_") + client + "_" + baseName;
    }

    // Once per process: the identity the log header carries. It is set once and never
    // re-read, so readers on other threads see it settled.
    if (!p.networkDone.load() && KYPI_Focus::getProductType() != KELBRIN_PRODUCT_TYPE_NO_INSTANCE) {
        unsigned long family = 0, disableUnix = 0, fdset = 0, fastLoop = 0;
        if (readNumber(store, "Session", "nPreferredIPFamily", &family)) {
            RoDorovev::SetPreferredAddressFamily(static_cast<int>(family));
        }
        if (readNumber(store, "Session", "nDisableUnixSock", &disableUnix) && disableUnix != 0) {
            RoDorovev::DisableUnixSockets();
        }
        if (!readNumber(store, "Session", module + "_FDSETSZ", &fdset) || fdset == 0) {
            readNumber(store, "Session", "default_FDSETSZ", &fdset);
        }
        if (fdset != 0)
            RoDorovev::SetFdSetSize(static_cast<int>(fdset));
        if (readNumber(store, "Session", "nEnableFastLoopBack", &fastLoop) && fastLoop != 0) {
            RoDorovev::EnableFastLoopback(true);
            p.fastLoopback = true;
        }

        // The client name: the physical machine, or for a central server the name it
        // registered itself under. Where the installation has not recorded it, the
        // process's own client name stands in rather than leaving it without a log.
        std::string client;
        if (!(store.getKYPlatformType() & 1)) {
            const char* physical = store.getPhysicalMachine();
            client = physical ? physical : "";
        } else {
            client = textOf(store, "Zentra", "sZSCLIENTNAME");
        }
        if (client.empty()) {
            const char* own = KYPI_Focus::getFocusClientName(false);
            client = own ? own : RoDorovev::GetLocalHostName();
        }
        std::string host;
        if (!focus.empty())
            host = textOf(store, ("Machines/" + client).c_str(), "sHOSTNAME");
        if (host.empty())
            host = RoDorovev::GetLocalHostName();
        if (host.empty())
            host = "NO CLIENT";
        std::vector<std::string> addresses = RoDorovev::GetAddressList(host);
        std::vector<std::string> macs = RoDorovev::GetMacAddressList();

        p.clientName = client.substr(0, 259);
        p.hostName = host.substr(0, 259);
        p.hostIP = addresses.empty() || addresses.front().empty() ? p.hostName : addresses.front();
        p.nicMac = macs.empty() ? "" : macs.front();
        p.servicePackVersion = servicePackFrom(textOf(store, "", "sProductVersion"));
        p.zsHostName = textOf(store, "Zentra", "sZSHOSTNAME");
        p.zsClientName = textOf(store, "Zentra", "sZSCLIENTNAME");
        p.version = textOf(store, "Base", "sVERSION");
        p.networkDone = true;
        if (fdset != 0) {
            DebugLvl("EvDebug::initialize", 2, "max fdset for app [%s] set to [%d]", module.c_str(),
                     static_cast<int>(fdset));
        }
    }

    std::string dir = logDir ? logDir : "";
    if (dir.empty())
        store.getDirectory("EventManager", "dEVLOGDIR", &dir);
    if (dir.empty())
        dir = getTempLogFilePath();
    dir = ensureTrailingSeparator(dir);

    unsigned long appendJob = 0;
    readNumber(store, "EventManager", module + "_AppendJob", &appendJob);
    // The file name carries the job when job logs get files of their own; writers are
    // shared by the file they write, so the lock name comes from the whole file name.
    std::string fileName = module;
    if (appendJob != 0 && jobId > 0)
        fileName = FXString::Format("%s_Job%lld", module.c_str(), (long long)jobId);
    std::string lockName;
    CHbLogger::GetLockName(fileName, dir, lockName);

    inst->m_state = EvDebugFileInstance::kStateBuilding;
    {
        std::lock_guard<std::mutex> lock(inst->m_textMutex);
        inst->m_moduleName = module;
    }
    if (jobId != 0)
        inst->m_jobId = jobId;
    if (p.refreshInterval.load() == 0) {
        p.refreshInterval = static_cast<std::int64_t>(numberOr(
            store, "EventManager", module + "_DEBUG_REFRESH_TIME", kDefaultRefreshSeconds));
    }
    unsigned long showLevel = 0;
    readNumber(store, "EventManager", "ShowLogLevelInLogs", &showLevel);
    CHbLogger::SetShowLogLevel(showLevel != 0);

    inst->m_defaultLevel = static_cast<int>(row->defaultLevel);
    for (size_t i = 0; i < p.writers.size(); ++i) {
        CHbLogger* w = p.writers[i];
        if (w != nullptr && w->GetLockName() == lockName) {
            inst->m_index = static_cast<std::uint32_t>(i);
            inst->m_writer.store(w, std::memory_order_release);
            inst->m_state.store(EvDebugFileInstance::kStateReady, std::memory_order_release);
            return true;
        }
    }

    inst->m_level = static_cast<int>(row->defaultLevel);
    auto* writer = new CHbLogger;
    writer->Initialize(dir, fileName, static_cast<int>(row->defaultLevel), flag, false);
    writer->SetDebugLevel(kWriterLevelAll);
    writer->SetLogFileSize(
        numberOr(store, "EventManager", module + "_MAXLOGFILESIZE", row->defaultSize));
    writer->SetDefaultLogFileSize(row->defaultSize);
    writer->SetMaxVersions(static_cast<std::uint32_t>(
        numberOr(store, "EventManager", module + "_MAXLOGFILEBACKUPS", row->defaultBackups)));
    writer->SetRetainLogsTill(static_cast<std::uint64_t>(numberOr(
                                  store, "EventManager", module + "_RetainLogsInDays", 0)) *
                              86400);
    writer->SetDefaultMaxVersions(row->defaultBackups);

    if (!p.identityReady.load(std::memory_order_acquire)) {
        p.processId = kyos::processId();
        p.processName = kyos::processName();
        p.identityReady.store(true, std::memory_order_release);
    }
    std::string addressText;
    {
        std::vector<std::string> all;
        if (!RoDorovev::GetAddressList(p.hostName, all)) {
            addressText = "Not found";
        } else if (all.empty()) {
            addressText = "None";
        } else {
            for (const std::string& a : all)
                addressText +=
                    (addressText.empty() ? "" : " ") + (a.empty() ? "Can not display" : a);
        }
    }
    writer->SetPlatformInformation(p.hostName, p.hostName, p.clientName, p.zsHostName,
                                   p.zsClientName, kyos::osDescription(), addressText,
                                   GetProductVersion(), focus, p.processName, p.processId);
    unsigned long productAndProcessor = 0;
    if (readNumber(store, "EventManager", "nPROCESSORANDPRODUCTTYPE", &productAndProcessor)) {
        writer->SetProcessorInformation(std::to_string(KYPI_Focus::getProductType()),
                                        kyos::processorDescription(), kyos::processorCount());
    }
    writer->SetSyslogCallback(CHbLogger::SyslogToSystemLog);

    p.writers.push_back(writer);
    inst->m_index = static_cast<std::uint32_t>(p.writers.size() - 1);
    inst->m_writer.store(writer, std::memory_order_release);
    inst->m_state.store(EvDebugFileInstance::kStateReady, std::memory_order_release);

    unsigned long mode = 0;
    if (readNumber(store, "EventManager", module + "_LoggingMode", &mode) &&
        (mode == 1 || mode == 2)) {
        DebugLvl("EvDebug", 0, "[%s] LoggingMode - [%u]", module.c_str(),
                 static_cast<unsigned>(mode));
        if (mode == 2 && strcasecmp(row->name, "kyd") == 0)
            mode = 1;
        writer->SetLoggingMode(static_cast<CHbLogger::modeOfLogging>(mode));
    }
    return true;
}

bool EvDebug::IsInitialized() {
    return selectInstance()->IsReady();
}

bool EvDebug::canILogDebugMsgs() {
    return m_pFileInst != nullptr && m_pFileInst->IsReady();
}

void EvDebug::CloseLogFile(bool final) {
    std::lock_guard<std::recursive_mutex> lock(process().lock);
    if (CHbLogger* w = GetWriter())
        w->CloseLogFile(final);
}

void EvDebug::finalize() {
    LogProcess& p = process();
    std::lock_guard<std::recursive_mutex> lock(p.lock);
    for (CHbLogger* w : p.writers) {
        if (w != nullptr)
            w->CloseLogFile(true);
    }
}

namespace {
// Takes a writer out of service: its instances stop being ready and drop messages.
void retireLocked(LogProcess& p, size_t slot) {
    CHbLogger* w = p.writers[slot];
    if (w == nullptr)
        return;
    w->Shutdown();
    p.retired.push_back(w);
    p.writers[slot] = nullptr;
}
}  // namespace

void EvDebug::CleanupDefaultFileHandle() {
    LogProcess& p = process();
    std::lock_guard<std::recursive_mutex> lock(p.lock);
    CHbLogger* own = p.defaultInstance.m_writer.load();
    if (own == nullptr)
        return;
    for (size_t i = 0; i < p.writers.size(); ++i) {
        if (p.writers[i] != nullptr && p.writers[i]->GetAppName() == own->GetAppName()) {
            retireLocked(p, i);
            break;
        }
    }
}

void EvDebug::CleanupFileHandleList() {
    LogProcess& p = process();
    std::lock_guard<std::recursive_mutex> lock(p.lock);
    for (size_t i = 0; i < p.writers.size(); ++i)
        retireLocked(p, i);
}

void EvDebug::ResetFileHandleList() {
    LogProcess& p = process();
    std::lock_guard<std::recursive_mutex> lock(p.lock);
    // The writers stay in service for the instances bound to them; the list forgets them.
    for (CHbLogger* w : p.writers) {
        if (w != nullptr)
            p.retired.push_back(w);
    }
    p.writers.clear();
}

// =========================================================================================
// Settings and queries.

CHbLogger* EvDebug::GetWriter() {
    EvDebugFileInstance* inst = selectInstance();
    return inst->IsReady() ? inst->m_writer.load(std::memory_order_acquire) : nullptr;
}

void EvDebug::setDebugLevel(int level) {
    EvDebugFileInstance* inst = selectInstance();
    if (inst->IsReady())
        inst->m_level = level;
}

int EvDebug::getDebugLevel() {
    EvDebugFileInstance* inst = selectInstance();
    return inst->IsReady() ? inst->m_level.load() : 0;
}

int EvDebug::GetDebugLevel() {
    EvDebugFileInstance* inst = selectInstance();
    if (inst == nullptr)
        inst = &process().defaultInstance;
    return inst->IsReady() ? inst->m_level.load() : 0;
}

int EvDebug::getDefaultDebugLevel() {
    EvDebugFileInstance* inst = selectInstance();
    return inst->IsReady() ? inst->m_defaultLevel.load() : -2;
}

void EvDebug::setDefaultDebugLevel(int level) {
    EvDebugFileInstance* inst = selectInstance();
    if (inst->IsReady())
        inst->m_defaultLevel = level;
}

void EvDebug::setLogFileSize(std::uint64_t megabytes) {
    if (CHbLogger* w = GetWriter())
        w->SetLogFileSize(megabytes);
}
std::uint64_t EvDebug::getLogFileSize() {
    CHbLogger* w = GetWriter();
    return w ? w->GetLogFileSize() : 0;
}
std::uint64_t EvDebug::getDefaultLogFileSize() {
    CHbLogger* w = GetWriter();
    return w ? w->GetDefaultLogFileSize() : 0;
}
void EvDebug::setDefaultLogFileSize(std::uint64_t megabytes) {
    if (CHbLogger* w = GetWriter())
        w->SetDefaultLogFileSize(megabytes);
}
std::uint32_t EvDebug::getMaxVersion() {
    CHbLogger* w = GetWriter();
    return w ? w->GetMaxVersions() : 0;
}
std::uint32_t EvDebug::getDefaultMaxVersion() {
    CHbLogger* w = GetWriter();
    return w ? w->GetDefaultMaxVersions() : 0;
}

void EvDebug::setJobId(__int64 jobId) {
    EvDebugFileInstance* inst = selectInstance();
    if (!inst->IsReady())
        return;
    if (inst == &process().defaultInstance && KYPI_Focus::AmIAService()) {
        DebugLvl("EvDebug::setJobId", 7,
                 "Trying to set a global job id for the process that is marked as service.");
        return;
    }
    inst->m_jobId = jobId;
}

__int64 EvDebug::getJobId() {
    EvDebugFileInstance* inst = selectInstance();
    return inst->IsReady() ? inst->m_jobId.load() : 0;
}

void EvDebug::setModuleName(const char* name) {
    EvDebugFileInstance* inst = selectInstance();
    if (!inst->IsReady() || name == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(inst->m_textMutex);
        inst->m_moduleName = name;
    }
    refreshDebugLevel(nullptr);
}

std::string EvDebug::getModuleName() {
    EvDebugFileInstance* inst = selectInstance();
    std::lock_guard<std::mutex> lock(inst->m_textMutex);
    return inst->m_moduleName;
}

std::string EvDebug::getApplicationName() {
    EvDebugFileInstance* inst = selectInstance();
    return inst->IsReady() ? getModuleName() : std::string();
}

void EvDebug::setPrefixMessage(const char* prefix) {
    EvDebugFileInstance* inst = selectInstance();
    if (!inst->IsReady())
        return;
    {
        std::lock_guard<std::mutex> lock(inst->m_textMutex);
        inst->m_prefixMessage = prefix ? prefix : "";
        inst->m_hasPrefix.store(!inst->m_prefixMessage.empty(), std::memory_order_release);
    }
    refreshDebugLevel(nullptr);
}

void EvDebug::setLogToSTDOUT(bool on) {
    process().logToStdout = on;
}

void EvDebug::SetLoggingMode(CHbLogger::modeOfLogging mode) {
    if (CHbLogger* w = GetWriter())
        w->SetLoggingMode(mode);
}

CHbLogger::modeOfLogging EvDebug::GetLoggingMode() {
    CHbLogger* w = GetWriter();
    return w ? w->GetLoggingMode() : CHbLogger::eLoggingModeDefault;
}

void EvDebug::SetRetryOnLogOpenFail(bool retry) {
    if (CHbLogger* w = GetWriter())
        w->SetRetryOnLogOpenFail(retry);
}

bool EvDebug::canUserWriteToLog() {
    CHbLogger* w = GetWriter();
    return w != nullptr && w->CanUserWriteToLog();
}

int EvDebug::getAccessMethod() {
    CHbLogger* w = GetWriter();
    return w ? w->GetAccessMethod() : 0;
}

void EvDebug::setAccessMethod(int method) {
    if (CHbLogger* w = GetWriter()) {
        w->SetAccessMethod(method == CHbLogger::kAccessReopenPerLine
                               ? CHbLogger::kAccessReopenPerLine
                               : CHbLogger::kAccessKeepOpen);
    }
}

void EvDebug::IncStatsCounter(const std::string&) {}
void EvDebug::LogStats(const std::string&) {}

std::string EvDebug::getLogFilePath() {
    CHbLogger* w = GetWriter();
    return w ? w->GetLogFilePath() : std::string();
}

std::int64_t EvDebug::GetRefreshInterval() {
    return process().refreshInterval.load();
}
void EvDebug::SetRefreshInterval(std::int64_t seconds) {
    process().refreshInterval = seconds;
}

// =========================================================================================
// Settings re-read from the registry.

void EvDebug::refreshAllParams() {
    refreshDebugLevel(nullptr);
    refreshLogFileSize();
    refreshMaxVersion();
}

void EvDebug::refreshDebugLevel(const char* name) {
    EvDebugFileInstance* inst = selectInstance();
    if (!inst->IsReady())
        return;
    inst->m_lastRefresh = kyos::unixTime();
    std::string module = name ? std::string(name) : getModuleName();
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    unsigned long level = 0;
    if (!readNumber(store, "EventManager", module + "_DEBUGLEVEL", &level) || level == 0) {
        level = static_cast<unsigned long>(inst->m_defaultLevel.load());
    }
    int current = inst->m_level.load();
    if (static_cast<long>(level) != current) {
        Debug("EvDebug::refreshDebugLevel", "Changing Debug level from %d to %u", current,
              static_cast<unsigned>(level));
        inst->m_level = static_cast<int>(level);
    }
}

void EvDebug::refreshLogFileSize() {
    CHbLogger* w = GetWriter();
    if (w == nullptr)
        return;
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    unsigned long size = numberOr(store, "EventManager", getModuleName() + "_MAXLOGFILESIZE",
                                  static_cast<unsigned long>(w->GetDefaultLogFileSize()));
    unsigned long long current = w->GetLogFileSize();
    if (size != current) {
        DebugLvl("EvDebug::refreshLogFileSize", 7, "Changing log file size from %llu MB to %lu MB",
                 current, size);
        w->SetLogFileSize(size);
    }
}

void EvDebug::refreshMaxVersion() {
    CHbLogger* w = GetWriter();
    if (w == nullptr)
        return;
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    unsigned long count = numberOr(store, "EventManager", getModuleName() + "_MAXLOGFILEBACKUPS",
                                   static_cast<unsigned long>(w->GetDefaultMaxVersions()));
    int current = static_cast<int>(w->GetMaxVersions());
    if (static_cast<long>(count) != current) {
        DebugLvl("EvDebug::refreshMaxVersion", 7, "Changing log file count from %d to %lu ",
                 current, count);
        w->SetMaxVersions(static_cast<std::uint32_t>(count));
    }
}

void EvDebug::refreshLoggingSwitch() {
    EvDebugFileInstance* inst = selectInstance();
    if (!inst->IsReady())
        return;
    LogProcess& p = process();
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    unsigned long all = 0;
    if (readNumber(store, "EventManager", "ALL_TurnOffLogging", &all) && all != 0) {
        Error("EvDebug::refreshLoggingSwitch",
              "Disable all logging switch is enabled. Hence not logging");
        p.turnOffAllLogs = true;
        return;
    }
    p.turnOffAllLogs = false;
    const std::string module = getModuleName();
    std::lock_guard<std::mutex> lock(p.logListLock);
    if (std::find(p.logList.begin(), p.logList.end(), module) != p.logList.end())
        return;
    unsigned long off = 0;
    if (readNumber(store, "EventManager", module + "_TurnOffLogging", &off) && off != 0) {
        Error("EvDebug::refreshLoggingSwitch",
              "Disable module logging switch is enabled. Hence not logging");
        inst->m_loggingOff = true;
        p.logList.push_back(module);
    } else {
        inst->m_loggingOff = false;
    }
}

// =========================================================================================
// Identity.

long EvDebug::getProcessId() {
    LogProcess& p = process();
    return p.identityReady.load(std::memory_order_acquire) ? p.processId : kyos::processId();
}

namespace {
const char* identityText(const std::string LogProcess::*field) {
    LogProcess& p = process();
    return p.identityReady.load(std::memory_order_acquire) ? (p.*field).c_str() : "";
}
}  // namespace

const char* EvDebug::getProcessName() {
    return identityText(&LogProcess::processName);
}
const char* EvDebug::getHostName() {
    return identityText(&LogProcess::hostName);
}
const char* EvDebug::getClientName() {
    return identityText(&LogProcess::clientName);
}
const char* EvDebug::getIPString() {
    return identityText(&LogProcess::hostIP);
}
const char* EvDebug::getMACAddress() {
    return identityText(&LogProcess::nicMac);
}

int EvDebug::getServicePackVersion() {
    LogProcess& p = process();
    return p.identityReady.load(std::memory_order_acquire) ? p.servicePackVersion : 0;
}

std::string EvDebug::GetProductVersion() {
    static const std::string version = [] {
        KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
        std::string v;
        if (!store.getString("", "sProductVersion", &v)) {
            EvDebug().Error("EvDebug::GetProductVersion", "Failed to get [%s] value!",
                            "sProductVersion");
            return std::string();
        }
        return v;
    }();
    return version;
}

// =========================================================================================
// Log names and folders.

CHbError EvDebug::GetLogName(unsigned id, const std::string& suffix, std::string& name) {
    const KYLogFileInfo* r = FindLogFileInfo(id);
    if (r == nullptr) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION("EvDebug::GetLogName"), kLogNameNotFound,
                                       "Couldn't find the log name for id:[%u]", id);
    }
    name = r->name;
    if (!suffix.empty())
        name += "-" + suffix;
    return CHbError::Success();
}

std::string EvDebug::getTempLogFilePath() {
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    std::string dir;
    if (store.getDirectory("EventManager", "dEVLOGDIR", &dir) && !dir.empty())
        return dir;
    // The machine-wide log folder when this user may write there, else the temporary one.
    const std::string shared = "/var/log/kelbrin";
    if (canUserWriteToPath(shared.c_str()))
        return shared;
    const char* tmp = std::getenv("TMPDIR");
    return FXPath::Append(tmp && *tmp ? tmp : "/tmp", "kelbrin/LogFiles");
}

bool EvDebug::canUserWriteToPath(const char* dir) {
    if (dir == nullptr || *dir == '\0')
        return false;
    CHbLogger probe;
    if (!probe.Initialize(dir, "EvDebugTestFile", 1, false, false))
        return false;
    return probe.CanUserWriteToLog();
}

// =========================================================================================
// Other.

void EvDebug::ReportToSysLog(const char* text) {
    if (text == nullptr)
        return;
    if (CHbLogger* w = GetWriter()) {
        w->LogMessageSyslog(text);
        return;
    }
    CHbLogger::SyslogToSystemLog(text);
}

char* EvDebug::printStringFormatted(const MsgEventFormatted* event, char* out,
                                    size_t outSize) const {
    if (out == nullptr || outSize == 0)
        return out;
    if (event == nullptr) {
        out[0] = '\0';
        return out;
    }
    char timeText[sizeof event->timeText + 1];
    std::snprintf(timeText, sizeof timeText, "%.18s ", event->timeText);
    std::snprintf(out, outSize, "%ld %4lx %s %s", kyos::processId(),
                  static_cast<unsigned long>(kyos::threadId()), timeText,
                  event->message ? event->message : "");
    return out;
}

namespace {
// Waits up to `seconds` for a debugger to attach, and stops in it when one does.
void waitForDebugger(EvDebug& log, const char* tag, const std::string& field,
                     unsigned long seconds) {
    if (kyos::isDebuggerAttached())
        return;
    log.DebugLvl(tag, 0,
                 "*** Waiting for the debugger to attach, since the registry key [%s], value [%lu] "
                 "is present",
                 field.c_str(), seconds);
    for (unsigned long i = 0; i < seconds; ++i) {
        HBSLEEP(1000);
        if (kyos::isDebuggerAttached()) {
            log.DebugLvl(tag, 0, "** Ending sleep because debugger has been attached.");
            kyos::breakIntoDebugger();
            return;
        }
    }
}
}  // namespace

void EvDebug::debugWait(const char* name) {
    std::string module = name ? std::string(name) : getModuleName();
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    const std::string field = module + "_DEBUGWAITTIME";
    unsigned long seconds = 0;
    if (readNumber(store, "EventManager", field, &seconds) && seconds != 0) {
        waitForDebugger(*this, "EvDebug::DebugWait", field, seconds);
    }
}

void EvDebug::debugWait(const char* name, int level) {
    if (getDebugLevel() >= level)
        debugWait(name);
}

void EvDebug::debugWait() {
    std::string module = getModuleName();
    debugWait(module.c_str());
}

void EvDebug::debugWaitOnFile(const char* name) {
    std::string module = name ? std::string(name) : getModuleName();
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    const std::string field = module + "_DEBUGWAITTIME";
    unsigned long seconds = 0;
    if (!readNumber(store, "EventManager", field, &seconds))
        return;
    if (seconds != 0) {
        waitForDebugger(*this, "EvDebug::DebugWaitOnFile", field, seconds);
        return;
    }
    // Present and 0: wait until an administrator removes the resume file.
    std::string temp;
    const char* tempValue = KYPI_Focus::getProductType() == KELBRIN_PRODUCT_TYPE_NETWORK_GATEWAY
                                ? "dTEMP"
                                : "dSARVEXTEMPDIR";
    if (!store.getDirectory("Base", tempValue, &temp) || temp.empty())
        temp = "/tmp";
    const std::string resume = FXPath::Append(temp, module + ".resume");
    HANDLE h = kyos::createFile(resume, GENERIC_WRITE, 0, CREATE_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) {
        DebugLvl("EvDebug::DebugWaitOnFile", 0, "Failed to create .resume file [%s], err=[%s]",
                 resume.c_str(), kyos::win32MessageText(kyos::lastError()).c_str());
        return;
    }
    kyos::closeHandle(h);
    DebugLvl("EvDebug::DebugWaitOnFile", 0,
             "Additional setting [%s] with value 0 is present. Creating file [%s], please remove "
             "it to continue.",
             field.c_str(), resume.c_str());
    while (pathExists(resume))
        HBSLEEP(1000);
}

void EvDebug::debugWaitOnFile(const char* name, int level) {
    if (getDebugLevel() >= level)
        debugWaitOnFile(name);
}

void EvDebug::debugBreak(const char* name, const char* source, int line, int level, bool) {
    if (name == nullptr || getDebugLevel() < level)
        return;
    for (const std::string& marker : {std::string(name), std::string(name) + ".go"}) {
        while (pathExists(marker)) {
            Debug("EvDebug::debugBreak",
                  "EvDebug::debugBreak(2171): -Debug-: Waiting because file %s exists. [%s:%d]",
                  marker.c_str(), source ? source : "", line);
            HBSLEEP(1000);
        }
    }
}
