#include "os/sync/Sync.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "os/LastError.h"
#include "os/sync/KernelObject.h"
#include "os/sync/MutexCache.h"
#include "os/sync/SyncNames.h"

namespace kyos {

using sync_internal::KernelObject;
using sync_internal::NamedSegment;
using sync_internal::ObjectKind;
using sync_internal::ObjectName;
using sync_internal::SegmentCreation;
using sync_internal::SyncHandle;
using sync_internal::SyncState;

namespace sync_internal {

KernelObject::KernelObject(ObjectKind kind, std::unique_ptr<SyncState> state, int sectionFd,
                           std::uint64_t sectionSize, DWORD protect)
    : kind_(kind),
      state_(state.get()),
      localState_(std::move(state)),
      sectionFd_(sectionFd),
      ownsSectionFd_(sectionFd >= 0),
      dataSize_(sectionSize),
      protect_(protect) {}

KernelObject::KernelObject(std::unique_ptr<NamedSegment> segment, const ObjectName& name)
    : kind_(segment->kind()),
      state_(segment->kind() == ObjectKind::Section ? nullptr : segment->state()),
      segment_(std::move(segment)),
      sectionFd_(segment_->fd()),
      dataOffset_(segment_->dataOffset()),
      dataSize_(segment_->dataSize()),
      protect_(segment_->protect()),
      keyHigh_(name.keyHigh),
      keyLow_(name.keyLow) {}

KernelObject::~KernelObject() {
    if (kind_ == ObjectKind::Mutex && mutexMemoryInUse(state_)) {
        // Closing the last handle of a mutex one still owns is allowed (the name goes, as
        // on Windows), but the memory must stay while the owner may still write to it, and
        // while another thread may still follow its cache record into it.
        if (segment_) {
            segment_->keepMappedWhileOwned();
        } else {
            SyncState* state = localState_.release();
            lingerWhileOwned(state, [state] { delete state; });
        }
    } else {
        releaseUnownedLingering();
    }
    if (ownsSectionFd_)
        ::close(sectionFd_);
}

DWORD SyncHandle::close() noexcept {
    if (object_->kind() == ObjectKind::Mutex)
        forgetCachedMutex(object_->state());
    return ERROR_SUCCESS;
}

HandleRef<SyncHandle> lookupSyncHandle(HANDLE handle) {
    return lookupHandleRef<SyncHandle>(handle);
}

HandleRef<SyncHandle> lookupObject(HANDLE handle, ObjectKind kind, DWORD neededAccess) {
    HandleRef<SyncHandle> found = lookupSyncHandle(handle);
    if (!found)
        return nullptr;
    if (found->object()->kind() != kind) {
        setLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((found->access() & neededAccess) != neededAccess) {
        setLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return found;
}

HandleRef<SyncHandle> lookupWaitable(HANDLE handle) {
    HandleRef<SyncHandle> found = lookupSyncHandle(handle);
    if (!found)
        return nullptr;
    if (found->object()->kind() == ObjectKind::Section) {
        setLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((found->access() & SYNCHRONIZE) == 0) {
        setLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return found;
}

}  // namespace sync_internal

namespace {

using sync_internal::lookupObject;

// Before the registry grows past this many entries it drops those of closed objects.
constexpr std::size_t kRegistrySweepMinimum = 64;

constexpr mode_t kOwnerOnlyMode = 0600;
constexpr mode_t kEveryoneMode = 0666;

// The named objects this process has open, by storage name, so that the process holds
// each at most once and all its handles share one mapping.
class NamedRegistry {
public:
    static NamedRegistry& instance() {
        // Never destroyed: handles closed by other objects' static destructors still use it.
        static NamedRegistry* registry = [] {
            auto* created = new NamedRegistry;
            pthread_atfork(&NamedRegistry::beforeFork, &NamedRegistry::afterForkInParent,
                           &NamedRegistry::afterForkInChild);
            return created;
        }();
        return *registry;
    }

    DWORD open(const ObjectName& name, ObjectKind kind, const SegmentCreation* creation,
               std::shared_ptr<KernelObject>* out, bool* existed) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = objects_.find(name.storageName);
        if (it != objects_.end()) {
            if (std::shared_ptr<KernelObject> object = it->second.lock()) {
                if (object->kind() != kind)
                    return ERROR_INVALID_HANDLE;
                *out = std::move(object);
                *existed = true;
                return ERROR_SUCCESS;
            }
        }
        std::unique_ptr<NamedSegment> segment;
        DWORD rc = sync_internal::openNamedSegment(name, kind, creation, &segment, existed);
        if (rc != ERROR_SUCCESS)
            return rc;
        auto object = std::make_shared<KernelObject>(std::move(segment), name);
        if (objects_.size() >= sweepAt_) {
            for (auto entry = objects_.begin(); entry != objects_.end();) {
                if (entry->second.expired())
                    entry = objects_.erase(entry);
                else
                    ++entry;
            }
            sweepAt_ = std::max(kRegistrySweepMinimum, objects_.size() * 2);
        }
        objects_[name.storageName] = object;
        *out = std::move(object);
        return ERROR_SUCCESS;
    }

private:
    static void beforeFork() { instance().mutex_.lock(); }
    static void afterForkInParent() { instance().mutex_.unlock(); }
    static void afterForkInChild() {
        // The child is no holder of its parent's objects: it opens its own.
        NamedRegistry& registry = instance();
        registry.objects_.clear();
        registry.mutex_.unlock();
    }

    std::mutex mutex_;
    std::unordered_map<std::string, std::weak_ptr<KernelObject>> objects_;
    std::size_t sweepAt_ = kRegistrySweepMinimum;
};

// The views mapViewOfFile() handed out, each keeping its section.
class ViewTable {
public:
    static ViewTable& instance() {
        static ViewTable* table = [] {
            auto* created = new ViewTable;
            pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                           [] { instance().mutex_.unlock(); });
            return created;
        }();
        return *table;
    }

    void add(void* base, std::size_t length, std::shared_ptr<KernelObject> section) {
        std::lock_guard<std::mutex> lock(mutex_);
        views_[base] = View{length, std::move(section)};
    }

    // Unmaps a view; false when `base` is not one.
    bool remove(const void* base) {
        std::shared_ptr<KernelObject> section;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = views_.find(base);
            if (it == views_.end())
                return false;
            ::munmap(const_cast<void*>(base), it->second.length);
            section = std::move(it->second.section);
            views_.erase(it);
        }
        return true;  // the section is let go outside the lock
    }

private:
    struct View {
        std::size_t length;
        std::shared_ptr<KernelObject> section;
    };
    std::mutex mutex_;
    std::map<const void*, View> views_;
};

DWORD allAccess(ObjectKind kind) {
    switch (kind) {
        case ObjectKind::Mutex:
            return MUTEX_ALL_ACCESS;
        case ObjectKind::Event:
            return EVENT_ALL_ACCESS;
        case ObjectKind::Semaphore:
            return SEMAPHORE_ALL_ACCESS;
        case ObjectKind::Section:
            return FILE_MAP_ALL_ACCESS;
    }
    return 0;
}

// The rights a handle opened with `desired` has, generic rights mapped as Windows maps
// them for each kind.
DWORD grantedAccess(ObjectKind kind, DWORD desired) {
    DWORD all = allAccess(kind);
    if ((desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) != 0)
        return all;
    DWORD granted = desired & all;
    bool section = kind == ObjectKind::Section;
    if ((desired & GENERIC_READ) != 0 && section)
        granted |= FILE_MAP_READ;
    if ((desired & GENERIC_WRITE) != 0)
        granted |= section ? FILE_MAP_WRITE : (all & (EVENT_MODIFY_STATE | MUTEX_MODIFY_STATE));
    if ((desired & GENERIC_EXECUTE) != 0 && !section)
        granted |= SYNCHRONIZE;
    return granted;
}

mode_t modeFor(ObjectSecurity security) {
    return security == ObjectSecurity::Everyone ? kEveryoneMode : kOwnerOnlyMode;
}

HANDLE handleFor(std::shared_ptr<KernelObject> object, DWORD access) {
    HANDLE handle = makeHandle(std::make_unique<SyncHandle>(std::move(object), access));
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

// Create calls: an unnamed object from `makeState`, or the named one, built with
// `creation` when the name is free. Sets ERROR_ALREADY_EXISTS or 0.
HANDLE createObject(const char* name, const SegmentCreation& creation, DWORD access) {
    if (name == nullptr || name[0] == '\0') {
        auto state = std::make_unique<SyncState>();
        int err = creation.init(state.get());
        if (err != 0) {
            setLastErrorFromErrno(err);
            return nullptr;
        }
        HANDLE handle = handleFor(
            std::make_shared<KernelObject>(creation.kind, std::move(state), -1, 0, PAGE_READWRITE),
            access);
        if (handle != nullptr)
            setLastError(ERROR_SUCCESS);
        return handle;
    }
    ObjectName parsed;
    DWORD rc = sync_internal::parseObjectName(name, &parsed);
    std::shared_ptr<KernelObject> object;
    bool existed = false;
    if (rc == ERROR_SUCCESS)
        rc = NamedRegistry::instance().open(parsed, creation.kind, &creation, &object, &existed);
    if (rc != ERROR_SUCCESS) {
        setLastError(rc);
        return nullptr;
    }
    HANDLE handle = handleFor(std::move(object), access);
    if (handle != nullptr)
        setLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

HANDLE openObject(ObjectKind kind, DWORD desiredAccess, const char* name) {
    if (name == nullptr || name[0] == '\0') {
        setLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ObjectName parsed;
    DWORD rc = sync_internal::parseObjectName(name, &parsed);
    std::shared_ptr<KernelObject> object;
    bool existed = false;
    if (rc == ERROR_SUCCESS)
        rc = NamedRegistry::instance().open(parsed, kind, nullptr, &object, &existed);
    if (rc != ERROR_SUCCESS) {
        setLastError(rc);
        return nullptr;
    }
    return handleFor(std::move(object), grantedAccess(kind, desiredAccess));
}

SegmentCreation syncCreation(ObjectKind kind, ObjectSecurity security,
                             std::function<int(SyncState*)> init) {
    SegmentCreation creation;
    creation.kind = kind;
    creation.mode = modeFor(security);
    creation.dataSize = 0;
    creation.protect = PAGE_READWRITE;
    creation.init = std::move(init);
    return creation;
}

}  // namespace

namespace {

// Without it a mutex would neither exclude nor report abandonment reliably.
bool mutexesWork() {
    if (sync_internal::lockWordLayoutHolds())
        return true;
    setLastError(ERROR_NOT_SUPPORTED);
    return false;
}

}  // namespace

HANDLE createMutex(BOOL initialOwner, const char* name, ObjectSecurity security) {
    if (!mutexesWork())
        return nullptr;
    SegmentCreation creation =
        syncCreation(ObjectKind::Mutex, security, [initialOwner](SyncState* state) {
            int err = sync_internal::initMutexState(state);
            if (err == 0 && initialOwner)
                err = pthread_mutex_trylock(&state->token);
            return err;
        });
    if (initialOwner) {
        creation.discard = [](SyncState* state) { pthread_mutex_unlock(&state->token); };
    }
    return createObject(name, creation, MUTEX_ALL_ACCESS);
}

HANDLE openMutex(DWORD desiredAccess, const char* name) {
    if (!mutexesWork())
        return nullptr;
    return openObject(ObjectKind::Mutex, desiredAccess, name);
}

namespace {

BOOL releaseMutexState(SyncState* state, bool asAbandoned) {
    // Checked here rather than left to the unlock's EPERM: only the owner may touch the
    // lock's state, and the thread sanitizer rightly reports anyone else's unlock.
    const std::uint32_t self = sync_internal::callerThreadId();
    std::uint32_t word = sync_internal::loadTokenWord(state);
    if (!sync_internal::tokenHeldByLiveOwner(word) ||
        sync_internal::tokenOwnerThread(word) != self) {
        setLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    // Written while the token is held, as a wait for all that gives a token back does.
    if (asAbandoned)
        state->abandonedPending.store(1);
    int rc = pthread_mutex_unlock(&state->token);
    if (asAbandoned) {
        word = sync_internal::loadTokenWord(state);
        if (rc != 0 || (sync_internal::tokenHeldByLiveOwner(word) &&
                        sync_internal::tokenOwnerThread(word) == self))
            state->abandonedPending.store(0);  // still ours: nobody else is to be told
    }
    if (rc != 0) {
        setLastError(rc == EPERM ? ERROR_NOT_OWNER : win32FromErrno(rc));
        return FALSE;
    }
    sync_internal::wakeAfterTokenRelease(state);
    return TRUE;
}

BOOL releaseOwnedMutex(HANDLE mutex, bool asAbandoned) {
    HandleRef<SyncHandle> handle = lookupObject(mutex, ObjectKind::Mutex, 0);
    if (!handle)
        return FALSE;
    return releaseMutexState(handle->object()->state(), asAbandoned);
}

}  // namespace

BOOL releaseMutex(HANDLE mutex) {
    // A mutex this thread has waited on through this handle: its memory stays while the
    // record does, so the handle needs no use (see MutexCache.h).
    if (SyncState* state = sync_internal::cachedMutex(mutex))
        return releaseMutexState(state, false);
    return releaseOwnedMutex(mutex, false);
}

BOOL releaseMutexAsAbandoned(HANDLE mutex) {
    return releaseOwnedMutex(mutex, true);
}

HANDLE createEvent(BOOL manualReset, BOOL initialState, const char* name, ObjectSecurity security) {
    SegmentCreation creation =
        syncCreation(ObjectKind::Event, security, [manualReset, initialState](SyncState* state) {
            return sync_internal::initEventState(state, manualReset != FALSE,
                                                 initialState != FALSE);
        });
    return createObject(name, creation, EVENT_ALL_ACCESS);
}

HANDLE openEvent(DWORD desiredAccess, const char* name) {
    return openObject(ObjectKind::Event, desiredAccess, name);
}

namespace {

enum class EventChange { Set, Reset, Pulse };

BOOL changeEvent(HANDLE event, EventChange change) {
    HandleRef<SyncHandle> handle = lookupObject(event, ObjectKind::Event, EVENT_MODIFY_STATE);
    if (!handle)
        return FALSE;
    SyncState* state = handle->object()->state();
    sync_internal::PendingWakes wakes;
    {
        sync_internal::GuardLock guard(state);
        if (!guard.locked()) {
            setLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        bool manual = state->manualReset != 0;
        switch (change) {
            case EventChange::Set:
                state->signaled = 1;
                wakes.announce(state);
                break;
            case EventChange::Reset:
                state->signaled = 0;
                break;
            case EventChange::Pulse: {
                state->signaled = 0;
                std::uint32_t present =
                    state->sequenceSleepers + sync_internal::slotWaitersIn(state->waiters.load());
                if (present == 0)
                    break;
                ++state->pulseGeneration;
                if (!manual && state->pulseGrants < present)
                    ++state->pulseGrants;
                wakes.announce(state);
                break;
            }
        }
    }
    wakes.send();
    return TRUE;
}

}  // namespace

BOOL setEvent(HANDLE event) {
    return changeEvent(event, EventChange::Set);
}

BOOL resetEvent(HANDLE event) {
    return changeEvent(event, EventChange::Reset);
}

BOOL pulseEvent(HANDLE event) {
    return changeEvent(event, EventChange::Pulse);
}

HANDLE createSemaphore(LONG initialCount, LONG maximumCount, const char* name,
                       ObjectSecurity security) {
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
        setLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SegmentCreation creation = syncCreation(
        ObjectKind::Semaphore, security, [initialCount, maximumCount](SyncState* state) {
            return sync_internal::initSemaphoreState(state, initialCount, maximumCount);
        });
    return createObject(name, creation, SEMAPHORE_ALL_ACCESS);
}

HANDLE openSemaphore(DWORD desiredAccess, const char* name) {
    return openObject(ObjectKind::Semaphore, desiredAccess, name);
}

BOOL releaseSemaphore(HANDLE semaphore, LONG releaseCount, LONG* previousCount) {
    HandleRef<SyncHandle> handle =
        lookupObject(semaphore, ObjectKind::Semaphore, SEMAPHORE_MODIFY_STATE);
    if (!handle)
        return FALSE;
    if (releaseCount <= 0) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SyncState* state = handle->object()->state();
    sync_internal::PendingWakes wakes;
    {
        sync_internal::GuardLock guard(state);
        if (!guard.locked()) {
            setLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        // In 64 bits: the counts lie in memory other processes write.
        if (std::int64_t{state->count} + releaseCount > state->maximum) {
            setLastError(ERROR_TOO_MANY_POSTS);
            return FALSE;
        }
        if (previousCount != nullptr)
            *previousCount = state->count;
        state->count += releaseCount;
        wakes.announce(state);
    }
    wakes.send();
    return TRUE;
}

HANDLE createFileMapping(DWORD protect, ULONGLONG size, const char* name, ObjectSecurity security) {
    DWORD pageProtection = protect & ~SEC_COMMIT;
    if ((pageProtection != PAGE_READWRITE && pageProtection != PAGE_READONLY) || size == 0 ||
        size > static_cast<ULONGLONG>(LLONG_MAX / 2)) {
        setLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD access = pageProtection == PAGE_READONLY ? FILE_MAP_READ : FILE_MAP_ALL_ACCESS;
    if (name == nullptr || name[0] == '\0') {
        int fd = ::memfd_create("ky.section", MFD_CLOEXEC);
        int err = fd < 0 ? errno : ::posix_fallocate(fd, 0, static_cast<off_t>(size));
        if (err != 0) {
            if (fd >= 0)
                ::close(fd);
            setLastError(err == ENOSPC || err == EFBIG ? ERROR_NOT_ENOUGH_MEMORY
                                                       : win32FromErrno(err));
            return nullptr;
        }
        HANDLE handle = handleFor(
            std::make_shared<KernelObject>(ObjectKind::Section, nullptr, fd, size, pageProtection),
            access);
        if (handle != nullptr)
            setLastError(ERROR_SUCCESS);
        return handle;
    }
    SegmentCreation creation;
    creation.kind = ObjectKind::Section;
    creation.mode = modeFor(security);
    creation.dataSize = size;
    creation.protect = pageProtection;
    creation.init = [](SyncState* state) { return sync_internal::initSectionState(state); };
    return createObject(name, creation, access);
}

HANDLE openFileMapping(DWORD desiredAccess, const char* name) {
    return openObject(ObjectKind::Section, desiredAccess, name);
}

void* mapViewOfFile(HANDLE section, DWORD desiredAccess, ULONGLONG offset, std::size_t bytes) {
    bool write = (desiredAccess & FILE_MAP_WRITE) != 0;
    bool copy = !write && (desiredAccess & FILE_MAP_COPY) != 0;
    // A copy-on-write view only reads the section.
    DWORD needed = write ? FILE_MAP_WRITE : FILE_MAP_READ;
    HandleRef<SyncHandle> handle = sync_internal::lookupSyncHandle(section);
    if (!handle)
        return nullptr;
    std::shared_ptr<KernelObject> object = handle->object();
    if (object->kind() != ObjectKind::Section) {
        setLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((handle->access() & needed) != needed || (write && object->readOnly())) {
        setLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    static const ULONGLONG page = static_cast<ULONGLONG>(::sysconf(_SC_PAGESIZE));
    if (offset % page != 0) {
        setLastError(ERROR_MAPPED_ALIGNMENT);
        return nullptr;
    }
    if (offset >= object->dataSize() || bytes > object->dataSize() - offset) {
        setLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::size_t length = bytes != 0 ? bytes : static_cast<std::size_t>(object->dataSize() - offset);
    int protection = write || copy ? PROT_READ | PROT_WRITE : PROT_READ;
    void* base = ::mmap(nullptr, length, protection, copy ? MAP_PRIVATE : MAP_SHARED,
                        object->sectionFd(), static_cast<off_t>(object->dataOffset() + offset));
    if (base == MAP_FAILED) {
        setLastErrorFromErrno(errno);
        return nullptr;
    }
    ViewTable::instance().add(base, length, std::move(object));
    return base;
}

BOOL unmapViewOfFile(const void* base) {
    if (!ViewTable::instance().remove(base)) {
        setLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    return TRUE;
}

BOOL duplicateHandle(HANDLE source, HANDLE* target, DWORD desiredAccess, DWORD options) {
    HandleRef<SyncHandle> handle = sync_internal::lookupSyncHandle(source);
    if (!handle)
        return FALSE;
    if (target == nullptr) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD access = (options & DUPLICATE_SAME_ACCESS) != 0
                       ? handle->access()
                       : grantedAccess(handle->object()->kind(), desiredAccess);
    HANDLE duplicate = handleFor(handle->object(), access);
    if (duplicate == nullptr)
        return FALSE;
    *target = duplicate;
    if ((options & DUPLICATE_CLOSE_SOURCE) != 0)
        closeHandle(source);
    return TRUE;
}

std::string namedObjectPath(const char* name) {
    ObjectName parsed;
    DWORD rc =
        name == nullptr ? ERROR_INVALID_PARAMETER : sync_internal::parseObjectName(name, &parsed);
    if (rc != ERROR_SUCCESS) {
        setLastError(rc);
        return std::string();
    }
    return sync_internal::storagePath(parsed.storageName);
}

}  // namespace kyos
