// The debug log: handles, instances, the process writer list, opening a log and the
// message path.
#include "kylib/diagnostics/EvDebug.h"

#include <pthread.h>
#include <strings.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <unordered_map>

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
constexpr std::uint64_t kSecondsPerDay = 86400;
// The affinity mask has a bit per processor for the first 64.
constexpr unsigned kMaxAffinityCpu = 63;

// Process-wide state. Never destroyed: threads may log while static objects are torn
// down at exit.
struct LogProcess {
    // Guards the writer list, the bindings of instances to writers and the retired list.
    // Never held across a registry read, a name lookup or a file being opened.
    std::recursive_mutex lock;
    std::vector<CHbLogger*> writers;  // owned; a cleared slot is null and is used again
    // How many instances are bound to each writer. A writer whose last instance is
    // destroyed is freed: nothing can reach it any more.
    std::unordered_map<const CHbLogger*, unsigned> bindings;
    // Writers taken out of service while instances still point at them: shut down, their
    // memory kept so that a thread that loaded the pointer just before never touches freed
    // memory (freed when the last of those instances is destroyed).
    std::vector<CHbLogger*> retired;

    EvDebugFileInstance defaultInstance;

    // Guards the list of silenced modules.
    std::mutex logListLock;
    std::vector<std::string> logList;

    std::atomic<std::int64_t> refreshInterval{0};
    // The refresh's clock. Called through the pointer always, the system's one too: a
    // test for a replacement would cost every message a branch.
    std::atomic<std::int64_t (*)()> clock{&kyos::unixTime};
    std::atomic<bool> turnOffAllLogs{false};
    std::atomic<bool> logToStdout{false};
    // Guards every thread's stack of thread-level instances (not their tops, which the
    // message path loads without it) and orders changes of the count below.
    std::mutex threadLevelLock;
    // How many thread-level instances are pushed in all threads: while 0, no handle
    // looks at its thread's stack.
    std::atomic<int> threadLevelInstances{0};

    // Once-per-process steps of initialize.
    std::atomic<bool> flagsPrinted{false};
    std::atomic<bool> affinityDone{false};

    // Identity: gathered once, by the first initialize, under `identityLock` (which only
    // first initializes wait on), and published by `identityReady`. Never re-read.
    std::mutex identityLock;
    std::atomic<bool> identityReady{false};
    long processId = 0;
    std::string processName, hostName, clientName, hostIP, nicMac;
    std::string zsHostName, zsClientName, version, addressText, osDescription;
    int servicePackVersion = 0;
    int fdSetSize = 0;
    std::atomic<bool> fdSetLogged{false};
    std::atomic<bool> fastLoopback{false};
};

LogProcess& process() {
    static LogProcess* p = new LogProcess;
    return *p;
}

std::int64_t nowSeconds(LogProcess& p = process()) {
    return p.clock.load(std::memory_order_relaxed)();
}

}  // namespace

// The thread-level instances one thread pushed, innermost last. The thread and every
// guard that pushed on it hold it: a guard may end after its thread.
struct EvDebugThreadLevelStack {
    struct Entry {
        const ThLvlEvDebugFileInstance* guard;
        EvDebugFileInstance* instance;
    };
    std::vector<Entry> entries;  // under LogProcess::threadLevelLock
    // The innermost instance, or null: what the thread's messages load, without a lock.
    std::atomic<EvDebugFileInstance*> top{nullptr};
};

namespace {

// What the message path keeps per thread, side by side so that it is reached in one
// step: the thread's id, asked of the system once (the path records it in every handle
// that follows the thread, and asking costs a system call), and the thread's stack of
// thread-level instances (null until its first push), read without the lock.
struct ThreadLogState {
    std::uint64_t id;
    EvDebugThreadLevelStack* stack;
};
// Initial-exec: reached with one load instead of a call per message. The library is
// linked into its processes, and a late dlopen still finds room for these 16 bytes in
// the static TLS reserve the C library keeps for such modules.
__attribute__((tls_model("initial-exec"))) thread_local ThreadLogState t_log = {0, nullptr};

std::uint64_t callingThreadId(ThreadLogState& state) {
    if (state.id == 0)
        state.id = kyos::threadId();
    return state.id;
}
// A forked child's one thread has an id of its own: it asks again.
void forgetThreadIdInChild() {
    t_log.id = 0;
}
const int g_threadIdForkHandler = pthread_atfork(nullptr, nullptr, &forgetThreadIdInChild);

// The thread's own hold on its stack, let go when the thread ends.
struct ThreadStackHold {
    std::shared_ptr<EvDebugThreadLevelStack> stack;
    ~ThreadStackHold() { t_log.stack = nullptr; }
};
thread_local ThreadStackHold t_threadStackHold;

// The per-module settings of "EventManager", each read by one reader for opening and
// for the refresh alike. The names are the module name followed by these.
constexpr const char* kEventManager = "EventManager";
enum class ModuleSetting {
    DebugLevel,
    MaxLogFileSize,
    MaxLogFileBackups,
    RetainLogsInDays,
    RetainLogsInDaysDefault,
    DebugRefreshTime,
    AppendJob,
    LoggingMode,
    TurnOffLogging,
    DebugWaitTime,
};
constexpr const char* kModuleSettingSuffix[] = {
    "_DEBUGLEVEL",
    "_MAXLOGFILESIZE",
    "_MAXLOGFILEBACKUPS",
    "_RetainLogsInDays",
    "_RetainLogsInDays_Default",
    "_DEBUG_REFRESH_TIME",
    "_AppendJob",
    "_LoggingMode",
    "_TurnOffLogging",
    "_DEBUGWAITTIME",
};
static_assert(sizeof kModuleSettingSuffix / sizeof kModuleSettingSuffix[0] ==
                  static_cast<size_t>(ModuleSetting::DebugWaitTime) + 1,
              "a module setting without its name");

std::string settingName(const std::string& module, ModuleSetting setting) {
    return module + kModuleSettingSuffix[static_cast<size_t>(setting)];
}

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

// A module setting as stored (0 included): false when it cannot be read.
bool readSetting(KYPlatformInfo& store, const std::string& module, ModuleSetting setting,
                 unsigned long* out) {
    return readNumber(store, kEventManager, settingName(module, setting), out);
}

// A module setting that counts as set (present and not 0), else `fallback`.
unsigned long settingOr(KYPlatformInfo& store, const std::string& module, ModuleSetting setting,
                        unsigned long fallback) {
    return numberOr(store, kEventManager, settingName(module, setting), fallback);
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

// A destroyed instance is used by nobody: the writer it held goes too once no other
// instance holds it, so that a process opening a log per job does not keep them all.
EvDebugFileInstance::~EvDebugFileInstance() {
    EvDebug::releaseInstance(this);
}

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
      m_threadId(other.m_threadId.load(std::memory_order_relaxed)),
      m_spare(0) {}

EvDebug& EvDebug::operator=(const EvDebug& other) {
    m_pFileInst = other.m_pFileInst;
    m_flags = other.m_flags;
    m_threadId.store(other.m_threadId.load(std::memory_order_relaxed), std::memory_order_relaxed);
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

namespace {
// The calling thread's innermost pushed instance, or null; records the thread in the
// handle (`handleThread`). Takes no lock: the message path comes here. Kept out of line
// so that the common case, nothing pushed anywhere, stays a load and a test.
__attribute__((noinline)) EvDebugFileInstance* resolveThread(
    std::atomic<std::uint64_t>& handleThread) {
    ThreadLogState& state = t_log;
    const std::uint64_t tid = callingThreadId(state);
    if (handleThread.load(std::memory_order_relaxed) != tid)
        handleThread.store(tid, std::memory_order_relaxed);
    EvDebugThreadLevelStack* stack = state.stack;
    return stack != nullptr ? stack->top.load(std::memory_order_acquire) : nullptr;
}
}  // namespace

EvDebugFileInstance* EvDebug::RefreshInstance() {
    EvDebugFileInstance* top = resolveThread(m_threadId);
    return top != nullptr ? top : &process().defaultInstance;
}

// =========================================================================================
// Thread-level instances.

void EvDebug::ThLvlInst_Init() {}

EvDebugFileInstance* EvDebug::ThLvlInst_PeekTOS() {
    EvDebugThreadLevelStack* stack = t_log.stack;
    return stack != nullptr ? stack->top.load(std::memory_order_acquire) : nullptr;
}

ThLvlEvDebugFileInstance::ThLvlEvDebugFileInstance(EvDebugFileInstance* instance) {
    if (instance != nullptr)
        ThLvlInst_Push(instance);
}

ThLvlEvDebugFileInstance::~ThLvlEvDebugFileInstance() {
    ThLvlInst_Pop();
}

void ThLvlEvDebugFileInstance::ThLvlInst_Push(EvDebugFileInstance* instance) {
    LogProcess& p = process();
    std::lock_guard<std::mutex> lock(p.threadLevelLock);
    ThreadStackHold& hold = t_threadStackHold;
    if (!hold.stack) {
        hold.stack = std::make_shared<EvDebugThreadLevelStack>();
        t_log.stack = hold.stack.get();
    }
    m_stack = hold.stack;
    m_stack->entries.push_back({this, instance});
    m_stack->top.store(instance, std::memory_order_release);
    p.threadLevelInstances.fetch_add(1, std::memory_order_relaxed);
}

// Removes this guard's own entry, wherever it stands and on whatever thread the guard
// ends: a guard that ends out of order leaves the others' entries, and the top, as
// they should be.
void ThLvlEvDebugFileInstance::ThLvlInst_Pop() {
    if (!m_stack)
        return;  // a null guard pushed nothing
    LogProcess& p = process();
    std::shared_ptr<EvDebugThreadLevelStack> stack;
    {
        std::lock_guard<std::mutex> lock(p.threadLevelLock);
        stack = std::move(m_stack);
        std::vector<EvDebugThreadLevelStack::Entry>& entries = stack->entries;
        auto own = std::find_if(
            entries.begin(), entries.end(),
            [this](const EvDebugThreadLevelStack::Entry& e) { return e.guard == this; });
        if (own != entries.end()) {
            entries.erase(own);
            p.threadLevelInstances.fetch_sub(1, std::memory_order_relaxed);
        }
        stack->top.store(entries.empty() ? nullptr : entries.back().instance,
                         std::memory_order_release);
        if (entries.empty())
            entries.shrink_to_fit();
    }
    // `stack` goes here, outside the lock: when the thread has ended, this frees it.
}

EvDebugFileInstance* EvDebug::selectInstance() {
    LogProcess& p = process();
    if (__builtin_expect(p.threadLevelInstances.load(std::memory_order_relaxed) > 0, 0) &&
        (m_flags & kFollowsThread) &&
        p.defaultInstance.m_state.load(std::memory_order_relaxed) ==
            EvDebugFileInstance::kStateReady) {
        EvDebugFileInstance* top = resolveThread(m_threadId);
        return top != nullptr ? top : &p.defaultInstance;
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
    std::int64_t now = nowSeconds(p);
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

// Everything opening a log reads from the store and the system, gathered before the
// process lock is taken, so that a slow store never holds up the other logs' opening,
// closing and clean-up.
struct EvDebugOpenPlan {
    const KYLogFileInfo* row = nullptr;
    std::string focus;
    std::string module;
    std::string directory;
    std::string fileName;
    std::string lockName;
    std::int64_t refreshSeconds = kDefaultRefreshSeconds;
    bool showLevel = false;
    unsigned long sizeMegabytes = 0;
    unsigned long backups = 0;
    std::uint64_t retainSeconds = 0;
    unsigned long loggingMode = 0;
    bool processorInformation = false;
};

namespace {

// The process identity that log headers carry: once per process, before the first log
// opens. The host's addresses are resolved here, once, and never under the process lock.
void gatherIdentity(KYPlatformInfo& store, const std::string& focus, const std::string& module) {
    LogProcess& p = process();
    if (p.identityReady.load(std::memory_order_acquire))
        return;
    std::lock_guard<std::mutex> guard(p.identityLock);
    if (p.identityReady.load(std::memory_order_relaxed))
        return;
    if (KYPI_Focus::getProductType() != KELBRIN_PRODUCT_TYPE_NO_INSTANCE) {
        unsigned long family = 0, disableUnix = 0, fdset = 0, fastLoop = 0;
        if (readNumber(store, "Session", "nPreferredIPFamily", &family))
            RoDorovev::SetPreferredAddressFamily(static_cast<int>(family));
        if (readNumber(store, "Session", "nDisableUnixSock", &disableUnix) && disableUnix != 0)
            RoDorovev::DisableUnixSockets();
        if (!readNumber(store, "Session", module + "_FDSETSZ", &fdset) || fdset == 0)
            readNumber(store, "Session", "default_FDSETSZ", &fdset);
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
        p.clientName = client.substr(0, 259);
        p.hostName = host.substr(0, 259);
        p.fdSetSize = static_cast<int>(fdset);
        std::vector<std::string> macs = RoDorovev::GetMacAddressList();
        p.nicMac = macs.empty() ? "" : macs.front();
        p.servicePackVersion = servicePackFrom(textOf(store, "", "sProductVersion"));
        p.zsHostName = textOf(store, "Zentra", "sZSHOSTNAME");
        p.zsClientName = textOf(store, "Zentra", "sZSCLIENTNAME");
        p.version = textOf(store, "Base", "sVERSION");
    }
    std::vector<std::string> addresses;
    if (!RoDorovev::GetAddressList(p.hostName, addresses)) {
        p.addressText = "Not found";
    } else if (addresses.empty()) {
        p.addressText = "None";
    } else {
        for (const std::string& a : addresses)
            p.addressText +=
                (p.addressText.empty() ? "" : " ") + (a.empty() ? "Can not display" : a);
    }
    p.hostIP = addresses.empty() || addresses.front().empty() ? p.hostName : addresses.front();
    p.processId = kyos::processId();
    p.processName = kyos::processName().substr(0, 255);
    p.osDescription = kyos::osDescription();
    p.identityReady.store(true, std::memory_order_release);
}

// The writer of a plan's file, made outside the process lock (it creates the log folder).
// Null, with the thread's last error set, when the file cannot be opened and the
// instance does not ask for retries.
CHbLogger* makeWriter(const EvDebugOpenPlan& plan, bool flag, bool retry) {
    LogProcess& p = process();
    auto writer = std::make_unique<CHbLogger>();
    writer->SetRetryOnLogOpenFail(retry);
    bool opened = writer->Initialize(plan.directory, plan.fileName,
                                     static_cast<int>(plan.row->defaultLevel), flag, false);
    if (!opened && !retry) {
        int error = writer->GetLastOpenError();
        DWORD code = kyos::win32FromErrno(error != 0 ? error : ENOENT);
        std::string text =
            FXString::Format("Couldn't open the log file [%s%s.log]: %s", plan.directory.c_str(),
                             plan.fileName.c_str(), kyos::win32MessageText(code).c_str());
        CHbLogger::SyslogToSystemLog(text.c_str());
        kyos::setLastError(code);
        return nullptr;
    }
    writer->SetDebugLevel(kWriterLevelAll);
    writer->SetLogFileSize(plan.sizeMegabytes);
    writer->SetDefaultLogFileSize(plan.row->defaultSize);
    writer->SetMaxVersions(static_cast<std::uint32_t>(plan.backups));
    writer->SetRetainLogsTill(plan.retainSeconds);
    writer->SetDefaultMaxVersions(plan.row->defaultBackups);
    writer->SetPlatformInformation(
        p.hostName, p.hostName, p.clientName, p.zsHostName, p.zsClientName, p.osDescription,
        p.addressText, EvDebug::GetProductVersion(), plan.focus, p.processName, p.processId);
    if (plan.processorInformation) {
        writer->SetProcessorInformation(std::to_string(KYPI_Focus::getProductType()),
                                        kyos::processorDescription(), kyos::processorCount());
    }
    writer->SetSyslogCallback(CHbLogger::SyslogToSystemLog);
    // The description's modes: 1 writes each line at once (as our default does), 2
    // buffers. The busiest log, "kyd", is never buffered: its 2 is taken as 1.
    unsigned long mode = plan.loggingMode;
    if (mode == 2 && strcasecmp(plan.row->name, "kyd") == 0)
        mode = 1;
    if (mode == 2)
        writer->SetLoggingMode(CHbLogger::eLoggingModeBuffered);
    return writer.release();
}

}  // namespace

bool EvDebug::planOpen(unsigned logId, __int64 jobId, const char* logDir, const std::string& suffix,
                       EvDebugOpenPlan* plan) {
    plan->row = FindLogFileInfo(logId);
    if (plan->row == nullptr) {
        CHbError err = FXErrorUtil::ErrorWin32(FX_LOCATION("EvDebug::initialize"), kLogNameNotFound,
                                               "Couldn't find the log name for id:[%u]", logId);
        ReportToSysLog(err.AsString().c_str());
        kyos::setLastError(kLogNameNotFound);
        return false;
    }
    std::string baseName = plan->row->name;
    if (!suffix.empty())
        baseName += "-" + suffix;

    const char* focusText = KYPI_Focus::getFocus();
    if (focusText != nullptr && *focusText == '\0') {
        KYPI_Focus::doCrashThisProcess(true, nullptr);
        return false;
    }
    plan->focus = focusText ? focusText : "";
    KYPlatformInfo store = quietStore(plan->focus);

    // Module name, with the client prefix when the installation asks for one.
    plan->module = baseName;
    unsigned long prefixMode = 0;
    readNumber(store, "EventManager", "PrefixLogFileNameWithClientName", &prefixMode);
    if (prefixMode != 0) {
        const char* client = KYPI_Focus::getFocusPseudoClientName();
        if ((client == nullptr || *client == '\0') && prefixMode == 2)
            client = KYPI_Focus::getFocusClientName(false);
        if (client != nullptr && *client != '\0')
            plan->module = std::string("cl_") + client + "_" + baseName;
    }
    const std::string& module = plan->module;
    gatherIdentity(store, plan->focus, module);

    std::string dir = logDir ? logDir : "";
    if (dir.empty())
        store.getDirectory("EventManager", "dEVLOGDIR", &dir);
    if (dir.empty())
        dir = getTempLogFilePath();
    if (dir.empty()) {
        ReportToSysLog("Couldn't find a log folder this user may write to.");
        kyos::setLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    plan->directory = ensureTrailingSeparator(dir);

    const unsigned long appendJob = settingOr(store, module, ModuleSetting::AppendJob, 0);
    // The file name carries the job when job logs get files of their own; writers are
    // shared by the file they write, so the lock name comes from the whole file name.
    plan->fileName = module;
    if (appendJob != 0 && jobId > 0)
        plan->fileName = FXString::Format("%s_Job%lld", module.c_str(), (long long)jobId);
    CHbLogger::GetLockName(plan->fileName, plan->directory, plan->lockName);

    plan->refreshSeconds = static_cast<std::int64_t>(
        settingOr(store, module, ModuleSetting::DebugRefreshTime, kDefaultRefreshSeconds));
    unsigned long showLevel = 0;
    readNumber(store, "EventManager", "ShowLogLevelInLogs", &showLevel);
    plan->showLevel = showLevel != 0;
    const KYLogFileInfo& row = *plan->row;
    plan->sizeMegabytes = settingOr(store, module, ModuleSetting::MaxLogFileSize, row.defaultSize);
    plan->backups = settingOr(store, module, ModuleSetting::MaxLogFileBackups, row.defaultBackups);
    plan->retainSeconds =
        static_cast<std::uint64_t>(settingOr(store, module, ModuleSetting::RetainLogsInDays, 0)) *
        kSecondsPerDay;
    unsigned long mode = 0;
    if (readSetting(store, module, ModuleSetting::LoggingMode, &mode) && (mode == 1 || mode == 2))
        plan->loggingMode = mode;
    unsigned long productAndProcessor = 0;
    plan->processorInformation =
        readNumber(store, "EventManager", "nPROCESSORANDPRODUCTTYPE", &productAndProcessor);
    return true;
}

bool EvDebug::initialize(unsigned logId, __int64 jobId, const char* logDir, bool flag,
                         const std::string& suffix) {
    LogProcess& p = process();
    EvDebugFileInstance* inst = m_pFileInst;
    if (inst->IsReady())
        return true;
    EvDebugOpenPlan plan;
    if (!planOpen(logId, jobId, logDir, suffix, &plan))
        return false;

    // Bind to the writer of this file when the process has one; else make one outside the
    // lock and bind to it, unless another thread made one meanwhile.
    std::unique_ptr<CHbLogger> made;
    bool createdHere = false;
    for (;;) {
        {
            std::lock_guard<std::recursive_mutex> lock(p.lock);
            if (inst->IsReady())
                return true;
            if (p.refreshInterval.load() == 0)
                p.refreshInterval = plan.refreshSeconds;
            CHbLogger::SetShowLogLevel(plan.showLevel);
            CHbLogger* writer = nullptr;
            for (CHbLogger* w : p.writers) {
                if (w != nullptr && w->GetLockName() == plan.lockName) {
                    writer = w;
                    break;
                }
            }
            if (writer == nullptr && made) {
                writer = made.release();
                createdHere = true;
                auto slot = std::find(p.writers.begin(), p.writers.end(), nullptr);
                if (slot == p.writers.end())
                    slot = p.writers.insert(slot, nullptr);
                *slot = writer;
            }
            if (writer != nullptr) {
                bindLocked(inst, writer, plan, jobId);
                break;
            }
        }
        CHbLogger* writer = makeWriter(plan, flag, inst->m_retryOnOpenFail.load());
        if (writer == nullptr)
            return false;
        made.reset(writer);
    }
    made.reset();  // another thread's writer won: ours was never used

    // The rest may wait (for a debugger) or take time: never under the process lock. It
    // acts on the instance just opened, even where this handle follows a thread that has
    // an instance of its own pushed.
    EvDebug opened(inst);
    const std::string& module = plan.module;
    if (createdHere && plan.loggingMode != 0) {
        opened.DebugLvl("EvDebug", 0, "[%s] LoggingMode - [%u]", module.c_str(),
                        static_cast<unsigned>(plan.loggingMode));
    }
    if (createdHere && p.fdSetSize != 0 && !p.fdSetLogged.exchange(true)) {
        opened.DebugLvl("EvDebug::initialize", 2, "max fdset for app [%s] set to [%d]",
                        module.c_str(), p.fdSetSize);
    }
    opened.debugWait(module.c_str());
    opened.refreshLoggingSwitch();
    opened.refreshDebugLevel(nullptr);
    if (!p.flagsPrinted.exchange(true)) {
        opened.PrintGflags();
    }
    if (!p.affinityDone.exchange(true))
        opened.applyAffinity();
    opened.DebugLvl("EvDebug::initialize", 2, "FastLoopBack is %s.",
                    p.fastLoopback.load() ? "enabled" : "disabled");
    const KYLogFileInfo* r = plan.row;
    opened.DebugLvl("EvDebug::initialize", 2, "KYLogFileInfo - (%u, '%s', %u, %u, %u, %u)", r->id,
                    r->name, r->reserved, r->defaultLevel, r->defaultSize, r->defaultBackups);
    return true;
}

void EvDebug::applyAffinity() {
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    std::string name = getProcessName();
    name = name.substr(0, name.find('.'));
    std::string text = textOf(store, "Session", (name + "_AffinityMask").c_str());
    if (text.empty())
        text = textOf(store, "Session", "All_AffinityMask");
    std::uint64_t mask = affinityMaskFrom(text);
    if (mask == 0)
        return;
    std::uint64_t current = 0, system = 0;
    if (!kyos::getProcessAffinity(&current, &system)) {
        Error("EvDebug::initialize", "Failed to get Process and System Affinity mask, error %d",
              static_cast<int>(kyos::lastError()));
    } else if ((mask &= system) != 0 && mask != current) {
        if (kyos::setProcessAffinity(mask)) {
            DebugLvl("EvDebug::initialize", 1, "CPU Affinity mask set to [%d]",
                     static_cast<int>(mask));
        } else {
            Error("EvDebug::initialize", "Failed to set CPU Affinity mask to [%d], error %d",
                  static_cast<int>(mask), static_cast<int>(kyos::lastError()));
        }
    }
}

// Binds an instance to a writer (process lock held). An instance bound to a writer that
// was taken out of service keeps it in the retired list: other threads may still be
// logging through the old pointer.
void EvDebug::bindLocked(EvDebugFileInstance* inst, CHbLogger* writer, const EvDebugOpenPlan& plan,
                         __int64 jobId) {
    LogProcess& p = process();
    unbindLocked(inst, false);
    inst->m_state.store(EvDebugFileInstance::kStateBuilding, std::memory_order_release);
    {
        std::lock_guard<std::mutex> lock(inst->m_textMutex);
        inst->m_moduleName = plan.module;
    }
    if (jobId != 0)
        inst->m_jobId = jobId;
    inst->m_defaultLevel = static_cast<int>(plan.row->defaultLevel);
    inst->m_level = static_cast<int>(plan.row->defaultLevel);
    ++p.bindings[writer];
    auto slot = std::find(p.writers.begin(), p.writers.end(), writer);
    inst->m_index = static_cast<std::uint32_t>(slot - p.writers.begin());
    inst->m_writer.store(writer, std::memory_order_release);
    inst->m_state.store(EvDebugFileInstance::kStateReady, std::memory_order_release);
}

// Drops an instance's hold on its writer (process lock held). Returns the writer to free
// once nothing can reach it: only when the instance is going away (`destroying`), since a
// live instance may be in use on other threads.
CHbLogger* EvDebug::unbindLocked(EvDebugFileInstance* inst, bool destroying) {
    LogProcess& p = process();
    CHbLogger* writer = inst->m_writer.load(std::memory_order_relaxed);
    if (writer == nullptr)
        return nullptr;
    auto found = p.bindings.find(writer);
    if (found == p.bindings.end() || --found->second != 0)
        return nullptr;
    p.bindings.erase(found);
    if (!destroying)
        return nullptr;  // it stays where it is, listed or retired
    auto slot = std::find(p.writers.begin(), p.writers.end(), writer);
    if (slot != p.writers.end())
        *slot = nullptr;
    p.retired.erase(std::remove(p.retired.begin(), p.retired.end(), writer), p.retired.end());
    return writer;
}

void EvDebug::releaseInstance(EvDebugFileInstance* inst) {
    CHbLogger* unused = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(process().lock);
        unused = unbindLocked(inst, true);
        inst->m_writer.store(nullptr, std::memory_order_release);
        inst->m_state.store(EvDebugFileInstance::kStateNew, std::memory_order_release);
    }
    delete unused;  // flushes and closes: not under the process lock
}

bool EvDebug::IsInitialized() {
    return selectInstance()->IsReady();
}

bool EvDebug::canILogDebugMsgs() {
    return m_pFileInst != nullptr && m_pFileInst->IsReady();
}

void EvDebug::CloseLogFile(bool final) {
    // No process lock: the writer cannot go while this instance holds it, and a flush
    // must not hold up every other log's opening.
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
    p.writers[slot] = nullptr;
    if (p.bindings.count(w) == 0) {
        delete w;  // no instance holds it
        return;
    }
    w->Shutdown();
    p.retired.push_back(w);
}
}  // namespace

void EvDebug::CleanupDefaultFileHandle() {
    LogProcess& p = process();
    std::lock_guard<std::recursive_mutex> lock(p.lock);
    // The writer the default instance holds, whatever other writers of the same name in
    // other folders the list has.
    CHbLogger* own = p.defaultInstance.m_writer.load();
    if (own == nullptr)
        return;
    for (size_t i = 0; i < p.writers.size(); ++i) {
        if (p.writers[i] == own) {
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
        if (w != nullptr && p.bindings.count(w) != 0)
            p.retired.push_back(w);
        else
            delete w;
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
    // Kept by the instance too, so that a caller can ask before initialize: a log whose
    // folder is missing then opens (and is tried again later) instead of failing.
    selectInstance()->m_retryOnOpenFail.store(retry);
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

std::size_t EvDebug::WriterCount() {
    LogProcess& p = process();
    std::lock_guard<std::recursive_mutex> lock(p.lock);
    return p.retired.size() +
           static_cast<std::size_t>(std::count_if(p.writers.begin(), p.writers.end(),
                                                  [](CHbLogger* w) { return w != nullptr; }));
}

std::int64_t EvDebug::GetRefreshInterval() {
    return process().refreshInterval.load();
}
void EvDebug::SetRefreshInterval(std::int64_t seconds) {
    process().refreshInterval = seconds;
}
void EvDebug::SetClock(std::int64_t (*now)()) {
    process().clock.store(now != nullptr ? now : &kyos::unixTime, std::memory_order_relaxed);
}

// =========================================================================================
// Settings re-read from the registry.

void EvDebug::refreshAllParams() {
    refreshDebugLevel(nullptr);
    refreshLogFileSize();
    refreshMaxVersion();
}

std::string EvDebug::moduleNameOf(EvDebugFileInstance* inst) {
    std::lock_guard<std::mutex> lock(inst->m_textMutex);
    return inst->m_moduleName;
}

void EvDebug::refreshDebugLevel(const char* name) {
    EvDebugFileInstance* inst = selectInstance();
    if (!inst->IsReady())
        return;
    inst->m_lastRefresh = nowSeconds();
    const std::string module = name ? std::string(name) : moduleNameOf(inst);
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    const unsigned long level = settingOr(store, module, ModuleSetting::DebugLevel,
                                          static_cast<unsigned long>(inst->m_defaultLevel.load()));
    const int current = inst->m_level.load();
    if (static_cast<long>(level) != current) {
        EvDebug(inst).Debug("EvDebug::refreshDebugLevel", "Changing Debug level from %d to %u",
                            current, static_cast<unsigned>(level));
        inst->m_level = static_cast<int>(level);
    }
}

void EvDebug::refreshLogFileSize() {
    EvDebugFileInstance* inst = selectInstance();
    if (!inst->IsReady())
        return;
    CHbLogger* w = inst->m_writer.load(std::memory_order_acquire);
    if (w == nullptr)
        return;
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    const unsigned long size = settingOr(store, moduleNameOf(inst), ModuleSetting::MaxLogFileSize,
                                         static_cast<unsigned long>(w->GetDefaultLogFileSize()));
    const unsigned long long current = w->GetLogFileSize();
    if (size != current) {
        EvDebug(inst).DebugLvl("EvDebug::refreshLogFileSize", 7,
                               "Changing log file size from %llu MB to %lu MB", current, size);
        w->SetLogFileSize(size);
    }
}

void EvDebug::refreshMaxVersion() {
    EvDebugFileInstance* inst = selectInstance();
    if (!inst->IsReady())
        return;
    CHbLogger* w = inst->m_writer.load(std::memory_order_acquire);
    if (w == nullptr)
        return;
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    const unsigned long count =
        settingOr(store, moduleNameOf(inst), ModuleSetting::MaxLogFileBackups,
                  static_cast<unsigned long>(w->GetDefaultMaxVersions()));
    const int current = static_cast<int>(w->GetMaxVersions());
    if (static_cast<long>(count) != current) {
        EvDebug(inst).DebugLvl("EvDebug::refreshMaxVersion", 7,
                               "Changing log file count from %d to %lu ", current, count);
        w->SetMaxVersions(static_cast<std::uint32_t>(count));
    }
}

void EvDebug::refreshLoggingSwitch() {
    EvDebugFileInstance* inst = selectInstance();
    if (!inst->IsReady())
        return;
    EvDebug log(inst);
    LogProcess& p = process();
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    unsigned long all = 0;
    if (readNumber(store, kEventManager, "ALL_TurnOffLogging", &all) && all != 0) {
        log.Error("EvDebug::refreshLoggingSwitch",
                  "Disable all logging switch is enabled. Hence not logging");
        p.turnOffAllLogs = true;
        return;
    }
    p.turnOffAllLogs = false;

    // A module once silenced stays silenced in every instance opened for it later (in
    // another folder, or a job's own file), without reading its switch again. The list's
    // lock is never held across the store read or the log line.
    const std::string module = moduleNameOf(inst);
    auto listed = [&p, &module] {
        return std::find(p.logList.begin(), p.logList.end(), module) != p.logList.end();
    };
    bool silenced = false;
    {
        std::lock_guard<std::mutex> lock(p.logListLock);
        silenced = listed();
    }
    if (!silenced && settingOr(store, module, ModuleSetting::TurnOffLogging, 0) != 0) {
        log.Error("EvDebug::refreshLoggingSwitch",
                  "Disable module logging switch is enabled. Hence not logging");
        silenced = true;
        std::lock_guard<std::mutex> lock(p.logListLock);
        if (!listed())
            p.logList.push_back(module);
    }
    inst->m_loggingOff = silenced;
}

namespace {
constexpr const char* kRetainTag = "EvDebug::DefaultRetainLogsTill";
}  // namespace

bool EvDebug::setDefaultRetainLogsTill(unsigned days) {
    if (days == 0)
        return resetDefaultRetainLogsTill();
    EvDebugFileInstance* inst = selectInstance();
    if (!inst->IsReady())
        return false;
    EvDebug log(inst);
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    const std::string field =
        settingName(moduleNameOf(inst), ModuleSetting::RetainLogsInDaysDefault);
    if (!store.setNumber(kEventManager, field.c_str(), days)) {
        log.DebugLvl(kRetainTag, 7, "Failed to set [%s\\%s] to %u", kEventManager, field.c_str(),
                     days);
        return false;
    }
    log.DebugLvl(kRetainTag, 7, "Set [%s\\%s] to %u", kEventManager, field.c_str(), days);
    return true;
}

bool EvDebug::getDefaultRetainLogsTill(unsigned& days) {
    EvDebugFileInstance* inst = selectInstance();
    if (!inst->IsReady())
        return false;
    EvDebug log(inst);
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    const std::string module = moduleNameOf(inst);
    const std::string field = settingName(module, ModuleSetting::RetainLogsInDaysDefault);
    unsigned long value = 0;
    if (!readSetting(store, module, ModuleSetting::RetainLogsInDaysDefault, &value)) {
        log.DebugLvl(kRetainTag, 10, "Failed to get [%s\\%s]", kEventManager, field.c_str());
        return false;
    }
    days = static_cast<unsigned>(value);
    log.DebugLvl(kRetainTag, 7, "Get [%s\\%s] to %u", kEventManager, field.c_str(), days);
    return true;
}

bool EvDebug::resetDefaultRetainLogsTill() {
    EvDebugFileInstance* inst = selectInstance();
    if (!inst->IsReady())
        return false;
    EvDebug log(inst);
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    const std::string field =
        settingName(moduleNameOf(inst), ModuleSetting::RetainLogsInDaysDefault);
    if (store.deleteField(kEventManager, field.c_str())) {
        log.DebugLvl(kRetainTag, 7, "Deleted [%s\\%s]", kEventManager, field.c_str());
        return true;
    }
    // Not there (value or key) is what a reset asks for.
    if (store.lastFoundNothing())
        return true;
    log.DebugLvl(kRetainTag, 7, "Failed to delete [%s\\%s]", kEventManager, field.c_str());
    return false;
}

int EvDebug::getAppDebugLevel(const char* app) {
    KYPlatformInfo store = quietStore(KYPI_Focus::getFocus());
    return store.getAppDebugLevel(app);
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
    // The machine-wide log folder when this user may write there (root always may), else
    // a folder of the user's own: a shared temporary folder would let another account
    // plant files and links among the logs.
    const std::string shared = "/var/log/kelbrin";
    if (canUserWriteToPath(shared.c_str()))
        return shared;
    std::string own;
    return kyos::userStateDirectory("kelbrin/LogFiles", &own) ? own : std::string();
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
    const std::string field = settingName(module, ModuleSetting::DebugWaitTime);
    unsigned long seconds = 0;
    if (readSetting(store, module, ModuleSetting::DebugWaitTime, &seconds) && seconds != 0) {
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
    const std::string field = settingName(module, ModuleSetting::DebugWaitTime);
    unsigned long seconds = 0;
    if (!readSetting(store, module, ModuleSetting::DebugWaitTime, &seconds))
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
    // Made new, never opened through what stands under the name: the folder may be
    // shared, and a link planted there must not have its target truncated. A resume file
    // that is there already (a wait asked for by someone else) is waited on all the same.
    HANDLE h = kyos::createFile(resume, GENERIC_WRITE, 0, CREATE_NEW);
    if (h == INVALID_HANDLE_VALUE && kyos::lastError() != ERROR_FILE_EXISTS) {
        DebugLvl("EvDebug::DebugWaitOnFile", 0, "Failed to create .resume file [%s], err=[%s]",
                 resume.c_str(), kyos::win32MessageText(kyos::lastError()).c_str());
        return;
    }
    if (h != INVALID_HANDLE_VALUE)
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
