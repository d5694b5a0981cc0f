#include "kylib/concurrency/KyKernelSync.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "kylib/diagnostics/CError.h"
#include "kylib/diagnostics/EvDebug.h"
#include "kylib/diagnostics/KyException.h"
#include "os/Handle.h"
#include "os/LastError.h"
#include "os/System.h"
#include "os/Win32.h"
#include "os/registry/Registry.h"
#include "os/sync/Sync.h"
#include "siblings/KyFocus/KYPI_Focus.h"

namespace {

// The system's text for a refusal is cut to what the original's message buffer held.
constexpr std::size_t kMaxSystemMessage = 1023;

[[noreturn]] void throwSystemError(const char* func, int line) {
    std::string text = kyos::win32MessageText(kyos::lastError());
    if (text.size() > kMaxSystemMessage)
        text.resize(kMaxSystemMessage);
    throw KyException(func, text, __FILE__, line, -1);
}

// Windows waits take a DWORD; a longer wait than 0xFFFFFFFF ms is no limit, as that is.
DWORD waitTime(unsigned long milliseconds) {
    return milliseconds >= INFINITE ? INFINITE : static_cast<DWORD>(milliseconds);
}

// The product's processes run as different accounts and must all reach these objects:
// they are open to every local user, and made with default security only when that is
// refused.
HANDLE createSharedSemaphore(LONG initial, LONG maximum, const char* name) {
    if (name == nullptr || *name == '\0')
        return kyos::createSemaphore(initial, maximum, nullptr);
    HANDLE handle = kyos::createSemaphore(initial, maximum, name, kyos::ObjectSecurity::Everyone);
    if (handle == nullptr)
        handle = kyos::createSemaphore(initial, maximum, name, kyos::ObjectSecurity::Default);
    return handle;
}

HANDLE createSharedEvent(BOOL manualReset, BOOL initialState, const char* name) {
    if (name == nullptr || *name == '\0')
        return kyos::createEvent(manualReset, initialState, nullptr);
    HANDLE handle =
        kyos::createEvent(manualReset, initialState, name, kyos::ObjectSecurity::Everyone);
    if (handle == nullptr)
        handle = kyos::createEvent(manualReset, initialState, name, kyos::ObjectSecurity::Default);
    return handle;
}

HANDLE createSharedMutex(const char* name) {
    if (name == nullptr || *name == '\0')
        return kyos::createMutex(FALSE, nullptr);
    HANDLE handle = kyos::createMutex(FALSE, name, kyos::ObjectSecurity::Everyone);
    if (handle == nullptr)
        handle = kyos::createMutex(FALSE, name, kyos::ObjectSecurity::Default);
    return handle;
}

// A wait of KySemaphore or KyEvent: true when taken, false on a time-out; a wait that
// could not be made throws, so that it never passes for either.
bool waitOrThrow(HANDLE handle, DWORD milliseconds, const char* func, int line) {
    switch (kyos::waitForSingleObject(handle, milliseconds)) {
        case WAIT_OBJECT_0:
            return true;
        case WAIT_TIMEOUT:
            return false;
        default:
            throwSystemError(func, line);
    }
}

void closeIfOpen(HANDLE handle) {
    if (handle != nullptr)
        kyos::closeHandle(handle);
}

// ---- Lock tracing.

constexpr const char* kProductKey = "Software\\Kelbrin Systems\\Sarvex";
constexpr const char* kLogLocksValue = "LogLocks";
constexpr const char* kLocksKey = "Software\\Kelbrin Systems\\Sarvex\\Locks";
// ctime's text: "Wed Jun 30 21:49:08 1993", before its line feed.
constexpr std::size_t kCtimeLength = 24;
constexpr std::size_t kCtimeBufferSize = 26;

struct LockTrace {
    HKEY locks;
    std::string executable;
};

std::mutex g_traceMutex;
std::atomic<bool> g_traceRead{false};
std::atomic<const LockTrace*> g_trace{nullptr};

// Traces replaced by a reload stay allocated (and their keys open): another thread may
// still be writing through one. Reloads are rare, so this costs next to nothing.
std::vector<const LockTrace*>& retiredTraces() {
    static auto* retired = new std::vector<const LockTrace*>;
    return *retired;
}

// Null when tracing is off.
const LockTrace* openLockTrace() {
    HKEY product = nullptr;
    if (kyos::reg::openKey(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &product) != ERROR_SUCCESS)
        return nullptr;
    DWORD on = 0;
    DWORD type = 0;
    DWORD size = sizeof on;
    const bool wanted =
        kyos::reg::queryValue(product, kLogLocksValue, &type, &on, &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof on && on != 0;
    kyos::reg::closeKey(product);
    HKEY locks = nullptr;
    if (!wanted || kyos::reg::createKey(HKEY_LOCAL_MACHINE, kLocksKey, REG_OPTION_VOLATILE,
                                        KEY_ALL_ACCESS, &locks, nullptr) != ERROR_SUCCESS)
        return nullptr;
    return new LockTrace{locks, kyos::processPath()};
}

void ensureLockTracing() {
    if (g_traceRead.load(std::memory_order_acquire))
        return;
    std::lock_guard<std::mutex> lock(g_traceMutex);
    if (g_traceRead.load(std::memory_order_relaxed))
        return;
    g_trace.store(openLockTrace(), std::memory_order_release);
    g_traceRead.store(true, std::memory_order_release);
}

void traceAcquired(const char* name, long when) {
    const LockTrace* trace = g_trace.load(std::memory_order_acquire);
    if (trace == nullptr || *name == '\0')
        return;
    std::time_t time = static_cast<std::time_t>(when);
    char timeText[kCtimeBufferSize] = {};
    if (ctime_r(&time, timeText) == nullptr)
        timeText[0] = '\0';
    timeText[std::min(std::strlen(timeText), kCtimeLength)] = '\0';
    const int pid = static_cast<int>(kyos::processId());
    const int tid = static_cast<int>(kyos::threadId());
    const char* format = "%d:%d:%s:%s";
    int length = std::snprintf(nullptr, 0, format, pid, tid, trace->executable.c_str(), timeText);
    if (length < 0)
        return;
    std::string data(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(data.data(), data.size(), format, pid, tid, trace->executable.c_str(), timeText);
    kyos::reg::setValue(trace->locks, name, REG_SZ, data.data(), static_cast<DWORD>(data.size()));
}

void traceReleased(const char* name) {
    const LockTrace* trace = g_trace.load(std::memory_order_acquire);
    if (trace == nullptr || *name == '\0')
        return;
    kyos::reg::deleteValue(trace->locks, name);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// KySemaphore

KySemaphore::KySemaphore() : KySemaphore(0, kDefaultMaximum, nullptr) {}

KySemaphore::KySemaphore(int initial) : KySemaphore(initial, kDefaultMaximum, nullptr) {}

KySemaphore::KySemaphore(int initial, int maximum, const char* name) {
    if (initial < 0)
        KY_THROW("KySemaphore", "Init value may not be negative.");
    if (maximum < 0)
        KY_THROW("KySemaphore", "Max value may not be negative.");
    m_handle = createSharedSemaphore(initial, maximum, name);
    if (m_handle == nullptr)
        throwSystemError("KySemaphore", __LINE__);
}

KySemaphore::~KySemaphore() {
    closeIfOpen(m_handle);
}

void KySemaphore::release(int n) {
    if (n < 1)
        KY_THROW("KySemaphore::release", "Increment must be positive.");
    if (!kyos::releaseSemaphore(m_handle, n, nullptr))
        throwSystemError("KySemaphore::release", __LINE__);
}

void KySemaphore::wait() {
    waitOrThrow(m_handle, INFINITE, "KySemaphore::wait", __LINE__);
}

bool KySemaphore::wait(unsigned long milliseconds) {
    return waitOrThrow(m_handle, waitTime(milliseconds), "KySemaphore::wait", __LINE__);
}

// ---------------------------------------------------------------------------------------
// KyEvent

KyEvent::KyEvent(bool manualReset, const char* name) {
    m_handle = createSharedEvent(manualReset ? TRUE : FALSE, FALSE, name);
    if (m_handle == nullptr)
        throwSystemError("KyEvent", __LINE__);
}

KyEvent::~KyEvent() {
    closeIfOpen(m_handle);
}

void KyEvent::set() {
    if (!kyos::setEvent(m_handle))
        throwSystemError("KyEvent::set", __LINE__);
}

void KyEvent::reset() {
    if (!kyos::resetEvent(m_handle))
        throwSystemError("KyEvent::reset", __LINE__);
}

void KyEvent::wait() {
    waitOrThrow(m_handle, INFINITE, "KyEvent::wait", __LINE__);
}

bool KyEvent::wait(unsigned long milliseconds) {
    return waitOrThrow(m_handle, waitTime(milliseconds), "KyEvent::wait", __LINE__);
}

// ---------------------------------------------------------------------------------------
// KySharedLock

KySharedLock::KySharedLock(int slots, const char* name)
    : m_slots(slots), m_name(name), m_freeSlots(slots), m_semaphore(slots, slots, name) {}

KySharedLock::~KySharedLock() = default;

// A timed std::mutex would do, but its steady-clock wait is a call ThreadSanitizer does
// not follow; a condition variable's is.
bool KySharedLock::enterAcquirers(bool unlimited, Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_acquirersMutex);
    auto free = [this] { return !m_acquirerInside; };
    if (unlimited)
        m_acquirersFree.wait(lock, free);
    else if (!m_acquirersFree.wait_until(lock, deadline, free))
        return false;
    m_acquirerInside = true;
    return true;
}

void KySharedLock::leaveAcquirers() {
    {
        std::lock_guard<std::mutex> lock(m_acquirersMutex);
        m_acquirerInside = false;
    }
    m_acquirersFree.notify_all();
}

bool KySharedLock::getSharedLock(unsigned long milliseconds) {
    const DWORD limit = waitTime(milliseconds);
    const bool unlimited = limit == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit);
    if (!enterAcquirers(unlimited, deadline))
        return false;
    DWORD left = INFINITE;
    if (!unlimited) {
        auto remaining =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        left = static_cast<DWORD>(std::max<decltype(remaining)>(remaining, 0));
    }
    const bool taken = kyos::waitForSingleObject(m_semaphore.getHandle(), left) == WAIT_OBJECT_0;
    if (taken)
        m_freeSlots.fetch_sub(1);
    leaveAcquirers();
    return taken;
}

bool KySharedLock::getExclusiveLock() {
    enterAcquirers(true, Clock::time_point());
    bool complete = true;
    int taken = 0;
    for (; taken < m_slots; ++taken) {
        if (kyos::waitForSingleObject(m_semaphore.getHandle(), INFINITE) != WAIT_OBJECT_0) {
            complete = false;
            break;
        }
        m_freeSlots.fetch_sub(1);
    }
    if (complete) {
        m_freeSlots.fetch_sub(1);
    } else if (taken > 0 && kyos::releaseSemaphore(m_semaphore.getHandle(), taken, nullptr)) {
        // Given back, so that a failed attempt blocks nobody.
        m_freeSlots.fetch_add(taken);
    }
    leaveAcquirers();
    return complete;
}

// The count goes up before the slots are given back: an acquirer that gets a slot at
// once then never sees the count dip to -1, which would look like an exclusive hold. A
// release the semaphore refuses (nothing was held) takes the count back down.
void KySharedLock::release() {
    HANDLE semaphore = m_semaphore.getHandle();
    int exclusive = -1;
    if (m_freeSlots.compare_exchange_strong(exclusive, m_slots)) {
        if (!kyos::releaseSemaphore(semaphore, m_slots, nullptr))
            m_freeSlots.store(-1);
        return;
    }
    m_freeSlots.fetch_add(1);
    if (!kyos::releaseSemaphore(semaphore, 1, nullptr))
        m_freeSlots.fetch_sub(1);
}

// ---------------------------------------------------------------------------------------
// KySharedLockHelper

KySharedLockHelper::KySharedLockHelper(KySharedLock* lock, bool exclusive) {
    take(lock, exclusive);
}

KySharedLockHelper::~KySharedLockHelper() {
    forceUnlock();
}

void KySharedLockHelper::forceUnlock() {
    if (m_lock != nullptr)
        m_lock->release();
    m_lock = nullptr;
}

void KySharedLockHelper::reset(KySharedLock* lock, bool exclusive) {
    forceUnlock();
    take(lock, exclusive);
}

void KySharedLockHelper::take(KySharedLock* lock, bool exclusive) {
    if (lock == nullptr)
        return;
    bool held = exclusive ? lock->getExclusiveLock() : lock->getSharedLock(INFINITE);
    m_lock = held ? lock : nullptr;
}

// ---------------------------------------------------------------------------------------
// MDNamedObject

MDNamedObject::MDNamedObject() {
    ensureLockTracing();
}

MDNamedObject::MDNamedObject(const char* name, bool prefixWithFocus) {
    ensureLockTracing();
    if (name == nullptr || *name == '\0')
        return;
    if (!prefixWithFocus) {
        std::strncpy(m_name, name, kNameSize - 1);
        return;
    }
    const char* focus = KYPI_Focus::getFocus();
    if (focus == nullptr)
        KYPI_Focus::doCrashThisProcess(true, nullptr);
    const std::size_t focusLength = std::strlen(focus);
    const std::size_t nameLength = std::strlen(name);
    if (focusLength + nameLength >= kNameSize)
        KYPI_Focus::doCrashThisProcess(true, nullptr);
    std::memcpy(m_name, focus, focusLength);
    std::memcpy(m_name + focusLength, name, nameLength + 1);
}

MDNamedObject::~MDNamedObject() {
    closeIfOpen(m_handle.load());
}

void MDNamedObject::reloadLockTracing() {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    const LockTrace* old = g_trace.exchange(openLockTrace(), std::memory_order_acq_rel);
    if (old != nullptr)
        retiredTraces().push_back(old);
    g_traceRead.store(true, std::memory_order_release);
}

void MDNamedObject::recordAcquired() {
    const long now = static_cast<long>(kyos::unixTime());
    m_threadId.store(static_cast<unsigned long>(kyos::threadId()));
    m_timeAcquired.store(now);
    traceAcquired(m_name, now);
}

void MDNamedObject::recordReleased() {
    m_threadId.store(0);
    m_timeAcquired.store(0);
    traceReleased(m_name);
}

void MDNamedObject::copyFrom(const MDNamedObject& other) {
    HANDLE duplicate = nullptr;
    HANDLE source = other.m_handle.load();
    if (source != nullptr && !kyos::duplicateHandle(source, &duplicate, 0, DUPLICATE_SAME_ACCESS))
        duplicate = nullptr;
    // Duplicated before the old handle goes, so that a failure leaves nothing half done.
    closeIfOpen(m_handle.exchange(duplicate));
    m_threadId.store(other.m_threadId.load());
    m_timeAcquired.store(other.m_timeAcquired.load());
    std::memcpy(m_name, other.m_name, kNameSize);
}

// ---------------------------------------------------------------------------------------
// MDLock

MDLock::MDLock() {
    create();
}

MDLock::MDLock(const char* name, bool prefixWithFocus) : MDNamedObject(name, prefixWithFocus) {
    create();
}

MDLock::MDLock(const MDLock& other) : MDNamedObject() {
    std::lock_guard<std::mutex> lock(other.m_useMutex);
    copyFrom(other);
    m_holds = other.m_holds;
}

// What this object held was on the object it lets go of; the other's holds come along
// with its object.
MDLock& MDLock::operator=(const MDLock& other) {
    if (this != &other) {
        std::scoped_lock lock(m_useMutex, other.m_useMutex);
        copyFrom(other);
        m_holds = other.m_holds;
    }
    return *this;
}

MDLock::~MDLock() = default;

HANDLE MDLock::makeSemaphore(const char* name) {
    return createSharedSemaphore(1, 1, name);
}

void MDLock::create() {
    m_handle.store(makeSemaphore(objectName()));
    if (m_handle.load() == nullptr)
        EvDebug().Error("MDLock::MDLock", "Cannot create the semaphore [%s]: error %u", m_name,
                        kyos::lastError());
}

HANDLE MDLock::beginUse() {
    std::lock_guard<std::mutex> lock(m_useMutex);
    ++m_users;
    return m_handle.load();
}

void MDLock::endUse(bool acquired) {
    std::lock_guard<std::mutex> lock(m_useMutex);
    --m_users;
    if (acquired)
        ++m_holds;
}

MDLock::Wait MDLock::waitOn(HANDLE handle, unsigned long milliseconds) {
    switch (kyos::waitForSingleObject(handle, waitTime(milliseconds))) {
        case WAIT_OBJECT_0:
            return Wait::Acquired;
        case WAIT_TIMEOUT:
            return Wait::TimedOut;
        default:
            return Wait::Failed;
    }
}

// Closing the handle lets the object go only when no handle is left anywhere: then no
// live party can hold it, and a fresh one is free. A use or a hold of this object is the
// exception: a closed handle would take the object from under it (the handle may be the
// process's last), so the handle stays. Done under the use lock, so that no call starts to
// use the old handle meanwhile; it is a step's end after a time-out, not the path of a
// free lock.
void MDLock::endUseAndRenew(HANDLE seen) {
    DWORD error = ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(m_useMutex);
        --m_users;
        if (m_users != 0 || m_holds != 0 || m_handle.load() != seen)
            return;
        closeIfOpen(seen);
        m_handle.store(makeSemaphore(objectName()));
        if (m_handle.load() == nullptr)
            error = kyos::lastError();
    }
    if (error != ERROR_SUCCESS)
        EvDebug().Error("MDLock::set", "Cannot create the semaphore [%s]: error %u", m_name, error);
}

bool MDLock::set(unsigned long milliseconds) {
    HANDLE handle = beginUse();
    const bool acquired = waitOn(handle, milliseconds) == Wait::Acquired;
    endUse(acquired);
    if (acquired)
        recordAcquired();
    return acquired;
}

// The steps add up to the total and no more; a step of 0 would never add up, so it
// counts as 1 ms.
bool MDLock::set(unsigned long totalMilliseconds, unsigned long stepMilliseconds, const char*) {
    const unsigned long step = std::max(stepMilliseconds, 1UL);
    unsigned long waited = 0;
    for (;;) {
        const unsigned long slice = std::min(step, totalMilliseconds - waited);
        HANDLE handle = beginUse();
        const Wait result = waitOn(handle, slice);
        if (result != Wait::TimedOut) {
            endUse(result == Wait::Acquired);
            if (result == Wait::Acquired)
                recordAcquired();
            return result == Wait::Acquired;
        }
        waited += slice;
        // An unnamed lock cannot be found again: a new object would not exclude anyone.
        if (waited >= totalMilliseconds || objectName() == nullptr)
            endUse(false);
        else
            endUseAndRenew(handle);
        if (waited >= totalMilliseconds)
            return false;
    }
}

// The count goes back before the hold is forgotten, so that the object is not made
// afresh in between.
void MDLock::unset() {
    recordReleased();
    HANDLE handle = beginUse();
    kyos::releaseSemaphore(handle, 1, nullptr);
    std::lock_guard<std::mutex> lock(m_useMutex);
    --m_users;
    if (m_holds > 0)
        --m_holds;
}

// A poll that could not be made answers "held": a lock nobody could look at is not free.
bool MDLock::isSet() {
    HANDLE handle = beginUse();
    const bool free = waitOn(handle, 0) == Wait::Acquired;
    if (free)
        kyos::releaseSemaphore(handle, 1, nullptr);
    endUse(false);
    return !free;
}

// ---------------------------------------------------------------------------------------
// MDEvent

MDEvent::MDEvent() {
    create();
}

MDEvent::MDEvent(const char* name, bool prefixWithFocus) : MDNamedObject(name, prefixWithFocus) {
    create();
}

MDEvent::~MDEvent() = default;

void MDEvent::create() {
    m_handle.store(createSharedEvent(TRUE, TRUE, objectName()));
    if (m_handle.load() == nullptr)
        EvDebug().Error("MDEvent::MDEvent", "Cannot create the event [%s]: error %u", m_name,
                        kyos::lastError());
}

bool MDEvent::set(unsigned long) {
    if (!kyos::resetEvent(m_handle.load()))
        return false;
    recordAcquired();
    return true;
}

void MDEvent::unset() {
    recordReleased();
    kyos::setEvent(m_handle.load());
}

bool MDEvent::isSet() {
    return kyos::waitForSingleObject(m_handle.load(), 0) != WAIT_OBJECT_0;
}

// ---------------------------------------------------------------------------------------
// MDMutex

MDMutex::MDMutex() {
    create();
}

MDMutex::MDMutex(const char* name, bool prefixWithFocus) : MDNamedObject(name, prefixWithFocus) {
    create();
}

MDMutex::~MDMutex() = default;

void MDMutex::create() {
    m_handle.store(createSharedMutex(objectName()));
    if (m_handle.load() == nullptr)
        EvDebug().Error("MDMutex::MDMutex", "Cannot create the mutex [%s]: error %u", m_name,
                        kyos::lastError());
}

bool MDMutex::set(unsigned long milliseconds) {
    switch (kyos::waitForSingleObject(m_handle.load(), waitTime(milliseconds))) {
        case WAIT_OBJECT_0:
            m_abandoned.store(false);
            break;
        case WAIT_ABANDONED:
            m_abandoned.store(true);
            EvDebug().Error("MDMutex::set", "Mutex [%s] was abandoned by its owner", m_name);
            break;
        default:
            return false;
    }
    recordAcquired();
    return true;
}

void MDMutex::unset() {
    recordReleased();
    kyos::releaseMutex(m_handle.load());
}

bool MDMutex::isSet() {
    HANDLE handle = m_handle.load();
    switch (kyos::waitForSingleObject(handle, 0)) {
        case WAIT_OBJECT_0:
            kyos::releaseMutex(handle);
            return false;
        case WAIT_ABANDONED:
            // Only a look: the next set() is the one that takes over from the dead owner.
            kyos::releaseMutexAsAbandoned(handle);
            return false;
        default:
            return true;
    }
}

// ---------------------------------------------------------------------------------------
// CNamedMutex

CNamedMutex::CNamedMutex(const char* name, CError* error, bool openToAll) {
    if (error != nullptr) {
        m_error = error;
    } else {
        m_error = new (std::nothrow) CError;
        m_ownsError = m_error != nullptr;
    }
    // A null access list is only a file mode here: there is no descriptor to fail to build.
    const kyos::ObjectSecurity security =
        openToAll ? kyos::ObjectSecurity::Everyone : kyos::ObjectSecurity::Default;
    m_hMutex = kyos::createMutex(FALSE, name, security);
    if (m_hMutex == nullptr) {
        setSystemError("CNamedMutex(): Mutex handle was not created or opened");
    } else if (kyos::lastError() == ERROR_ALREADY_EXISTS) {
        setError(0, "CNamedMutex(): Mutex was opened. lockCount = %lu", m_lockCount.load());
    } else {
        setError(0, "CNamedMutex(): Mutex was created. lockCount = %lu", m_lockCount.load());
    }
}

CNamedMutex::~CNamedMutex() {
    while (m_lockCount.load() != 0) {
        if (unlock() < 0)
            break;
    }
    if (m_hMutex != nullptr) {
        if (kyos::closeHandle(m_hMutex))
            setError(0, "~CNamedMutex(): Handle to Named Mutex was closed successfully.");
        else
            setSystemError("~CNamedMutex(): CloseHandle() failed.");
    }
    if (m_ownsError)
        delete m_error;
}

int CNamedMutex::lock(int milliseconds, bool acceptAbandoned) {
    if (m_hMutex == nullptr) {
        setError(-1, "lock(): Internal CNamedMutex error: m_hMutex = NULL");
        return -1;
    }
    const DWORD limit = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    const DWORD result = kyos::waitForSingleObject(m_hMutex, limit);
    switch (result) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:
            break;
        case WAIT_TIMEOUT:
            setError(-2, "lock(): Timeout(%ld) expired", static_cast<long>(milliseconds));
            return -1;
        case WAIT_FAILED:
            setSystemError("lock(): WaitForSingleObject(): faild.");
            return -1;
        default:
            setError(-4, "lock(): WaitForSingleObject returned unknown value");
            return -1;
    }
    if (result == WAIT_ABANDONED && !acceptAbandoned) {
        // Kept, the mutex would lock every other process out until this object ends.
        kyos::releaseMutex(m_hMutex);
        setError(-3, "lock(): Acquired mutex is ABANDONED");
        return -1;
    }
    m_lockerId.store(static_cast<unsigned long>(kyos::threadId()));
    const unsigned long count = m_lockCount.fetch_add(1) + 1;
    if (count == 0) {
        setError(-1, "lock(): internal CNamedMutex error: m_lockCount = 0 after increment");
        return -1;
    }
    setError(0, "lock(): mutex acquired successfully.");
    return static_cast<int>(count);
}

int CNamedMutex::unlock() {
    if (m_hMutex == nullptr) {
        setError(-1, "unlock(): Internal CNamedMutex error: m_hMutex = NULL");
        return -1;
    }
    const unsigned long self = static_cast<unsigned long>(kyos::threadId());
    const unsigned long count = m_lockCount.load();
    const unsigned long locker = m_lockerId.load();
    if (count == 0 || locker != self) {
        EvDebug().Debug("CNamedMutex::unlock()",
                        "Unlocking mutex which was not locked or acquired by this thread "
                        "(lockCount=%lu; lockerId=%lu; Current-TID=%lu",
                        count, locker, self);
        setError(-2,
                 "unlock(): Unlocking mutex which was not locked or acquired by this thread "
                 "(lockCount=%lu; lockerId=%lu; our Current-TID=%lu",
                 count, locker, self);
        return -1;
    }
    // Counted down before the release: once released, another thread of this process may
    // lock through this object and count up.
    const unsigned long left = m_lockCount.fetch_sub(1) - 1;
    if (left == 0)
        m_lockerId.store(0);
    if (!kyos::releaseMutex(m_hMutex)) {
        setSystemError("unlock(): ReleaseMutex(): failed.");
        return -1;
    }
    setError(0, "unlock(): mutex released successfully.");
    return static_cast<int>(left);
}

long CNamedMutex::getErrorCode() {
    std::lock_guard<std::mutex> lock(m_errorMutex);
    return m_error != nullptr ? m_error->getCode() : 0;
}

const char* CNamedMutex::getErrorText() {
    std::lock_guard<std::mutex> lock(m_errorMutex);
    return m_error != nullptr ? m_error->getText() : nullptr;
}

void CNamedMutex::setError(long code, const char* format, ...) {
    if (m_error == nullptr)
        return;
    char text[CError::kMaxTextLength + 1];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(m_errorMutex);
    m_error->set(code, "%s", text);
}

void CNamedMutex::setSystemError(const char* format, ...) {
    if (m_error == nullptr)
        return;
    char text[CError::kMaxTextLength + 1];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(m_errorMutex);
    m_error->setSystem("%s", text);
}
