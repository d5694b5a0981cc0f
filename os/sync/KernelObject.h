// One mutex, event, semaphore or section as this process sees it, and the handle that
// refers to it. Internal to os/sync.
//
// A KernelObject is shared (shared_ptr) by every handle and view of the process that
// refers to the object; a named object has at most one KernelObject per process, so the
// process counts once in the object's holder table. When the last reference goes, a named
// object leaves the holder table (and disappears when nobody else holds it), an unnamed
// one is freed. Only the memory of a mutex that a thread of this process still owns stays
// until no thread owns it: glibc and the kernel write to a robust mutex when its owner
// releases it or ends. So does the memory of a mutex that a thread's cache still records
// (MutexCache.h), until the record goes.
//
// Threads: KernelObject's accessors may be used from any thread; the state they lead to is
// guarded as SyncState.h says.
#pragma once

#include <cstdint>
#include <memory>

#include "os/Handle.h"
#include "os/Win32.h"
#include "os/sync/NamedSegment.h"
#include "os/sync/SyncState.h"

namespace kyos::sync_internal {

class KernelObject {
public:
    // An unnamed object around a state this object now owns (null for a section).
    KernelObject(ObjectKind kind, std::unique_ptr<SyncState> state, int sectionFd,
                 std::uint64_t sectionSize, DWORD protect);
    // A named object.
    KernelObject(std::unique_ptr<NamedSegment> segment, const ObjectName& name);
    ~KernelObject();
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    ObjectKind kind() const { return kind_; }
    SyncState* state() const { return state_; }

    // Waits for all lock objects in this order: unnamed ones (of this process only) by
    // address, then named ones by their name's hash, the same in every process.
    bool named() const { return segment_ != nullptr; }
    std::uint64_t keyHigh() const { return keyHigh_; }
    std::uint64_t keyLow() const { return keyLow_; }

    // Sections.
    int sectionFd() const { return sectionFd_; }
    std::uint64_t dataOffset() const { return dataOffset_; }
    std::uint64_t dataSize() const { return dataSize_; }
    bool readOnly() const { return protect_ == PAGE_READONLY; }

private:
    ObjectKind kind_;
    SyncState* state_ = nullptr;
    std::unique_ptr<SyncState> localState_;
    std::unique_ptr<NamedSegment> segment_;
    int sectionFd_ = -1;
    bool ownsSectionFd_ = false;
    std::uint64_t dataOffset_ = 0;
    std::uint64_t dataSize_ = 0;
    DWORD protect_ = PAGE_READWRITE;
    std::uint64_t keyHigh_ = 0;
    std::uint64_t keyLow_ = 0;
};

class SyncHandle final : public HandleObject {
public:
    SyncHandle(std::shared_ptr<KernelObject> object, DWORD access)
        : object_(std::move(object)), access_(access) {}

    // The closing thread forgets the mutex it may have cached, so that a thread that
    // waits on, releases and closes its own handle leaves no memory behind.
    DWORD close() noexcept override;

    const std::shared_ptr<KernelObject>& object() const { return object_; }
    DWORD access() const { return access_; }

private:
    std::shared_ptr<KernelObject> object_;
    const DWORD access_;
};

// The handle when it is one of these objects; otherwise empty with ERROR_INVALID_HANDLE.
// (The handle keeps its object alive for as long as the caller holds it.)
HandleRef<SyncHandle> lookupSyncHandle(HANDLE handle);

// The same when the object is of `kind` and the handle has every right of
// `neededAccess`; otherwise empty with ERROR_INVALID_HANDLE or ERROR_ACCESS_DENIED.
HandleRef<SyncHandle> lookupObject(HANDLE handle, ObjectKind kind, DWORD neededAccess);

// The same for a wait: a mutex, event or semaphore with SYNCHRONIZE.
HandleRef<SyncHandle> lookupWaitable(HANDLE handle);

}  // namespace kyos::sync_internal
