#include "siblings/HbUtils/FXNamedMutex.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "os/Handle.h"
#include "os/LastError.h"
#include "os/sync/Sync.h"

namespace {

std::mutex g_prefixLock;
std::string g_namePrefix;  // guarded by g_prefixLock
std::atomic<DWORD> g_timeoutCap{0};

std::string fullName(const std::string& name) {
    std::lock_guard<std::mutex> hold(g_prefixLock);
    return g_namePrefix + name;
}

DWORD cappedTimeout(DWORD timeoutMs) {
    DWORD cap = g_timeoutCap.load(std::memory_order_relaxed);
    return cap == 0 ? timeoutMs : std::min(timeoutMs, cap);
}

// Closes a handle of a failed lock() without losing the reason of the failure.
void closeKeepingLastError(HANDLE handle) {
    DWORD error = kyos::lastError();
    kyos::closeHandle(handle);
    kyos::setLastError(error);
}

}  // namespace

FXNamedMutex::FXNamedMutex(const char* name) : m_name(name != nullptr ? name : "") {}

FXNamedMutex::~FXNamedMutex() {
    unlock();
}

bool FXNamedMutex::lock(DWORD timeoutMs) {
    if (m_handle != nullptr) {
        kyos::setLastError(ERROR_SUCCESS);
        return true;
    }
    if (m_name.empty()) {
        kyos::setLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::string name = fullName(m_name);
    HANDLE handle = kyos::createMutex(FALSE, name.c_str(), kyos::ObjectSecurity::Everyone);
    if (handle == nullptr)
        return false;
    switch (kyos::waitForSingleObject(handle, cappedTimeout(timeoutMs))) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:
            m_handle = handle;
            kyos::setLastError(ERROR_SUCCESS);
            return true;
        case WAIT_TIMEOUT:
            kyos::setLastError(WAIT_TIMEOUT);
            break;
        default:
            // WAIT_FAILED left its reason; anything else would be a wait that took nothing.
            if (kyos::lastError() == ERROR_SUCCESS)
                kyos::setLastError(ERROR_INVALID_FUNCTION);
            break;
    }
    closeKeepingLastError(handle);
    return false;
}

void FXNamedMutex::unlock() {
    if (m_handle == nullptr)
        return;
    kyos::releaseMutex(m_handle);
    kyos::closeHandle(m_handle);
    m_handle = nullptr;
}

bool FXNamedMutex::isLocked() const {
    return m_handle != nullptr;
}

const std::string& FXNamedMutex::name() const {
    return m_name;
}

void FXNamedMutex::setNamePrefixForTesting(const char* prefix) {
    std::lock_guard<std::mutex> hold(g_prefixLock);
    g_namePrefix = prefix != nullptr ? prefix : "";
}

void FXNamedMutex::setTimeoutCapForTesting(DWORD ms) {
    g_timeoutCap.store(ms, std::memory_order_relaxed);
}

FXNamedMutexLock::FXNamedMutexLock(FXNamedMutex& mutex, DWORD timeoutMs)
    : m_mutex(mutex), m_owns(false), m_unlockAtEnd(false) {
    bool heldBefore = mutex.isLocked();
    m_owns = mutex.lock(timeoutMs);
    m_unlockAtEnd = m_owns && !heldBefore;
}

FXNamedMutexLock::~FXNamedMutexLock() {
    if (m_unlockAtEnd)
        m_mutex.unlock();
}

bool FXNamedMutexLock::owns() const {
    return m_owns;
}
