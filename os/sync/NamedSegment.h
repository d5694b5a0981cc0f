// Named kernel objects in POSIX shared memory: one shared memory object per name, holding
// the object's state, its full name and the table of processes that hold it open.
// Internal to os/sync.
//
// A new object is built under no name (O_TMPFILE in /dev/shm) and then linked in under its
// storage name, so that an opener never sees one half made, and a creator that dies while
// building it leaves nothing behind. Openers use shm_open().
//
// Lifetime: each process that has the object open has one entry in its holder table
// (pid, start time, references). The last process to let go removes the name. A process
// that dies without letting go is found out by the next process that opens the object or
// lets go of it: its entry is dropped, and when no live holder is left the object counts
// as gone (opening fails, creating builds a new one). The name is only removed while
// holding the object's guard and only while it still names this object, so a removal
// never takes away a successor's name.
//
// Threads: openNamedSegment() may be called from any thread; a NamedSegment's accessors
// too (its owner, a KernelObject, is shared between threads), while its destruction
// happens once, when nobody uses it any more.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "os/Win32.h"
#include "os/sync/SyncNames.h"
#include "os/sync/SyncState.h"

namespace kyos::sync_internal {

// "kysync01": marks a file of /dev/shm as one of ours in this layout.
constexpr std::uint64_t kSegmentMagic = 0x6b7973796e633031ULL;

// Processes that may hold one object open at once. The table is in the object's first
// pages; entries never used cost no memory.
constexpr std::uint32_t kMaxHolders = 1024;

struct Holder {
    std::int32_t pid;
    std::uint32_t references;
    std::uint64_t startTicks;
};

// The start of every object's file. Any process that may open the file may write it, so
// nothing read from it is taken as it stands.
struct SegmentHeader {
    std::uint64_t magic;
    std::uint32_t headerSize;  // sizeof(SegmentHeader) of the builder: layout check
    ObjectKind kind;
    std::uint64_t dataOffset;
    std::uint64_t dataSize;
    DWORD protect;
    std::uint32_t deleted;
    std::uint32_t holderEnd;  // entries from here on are unused
    std::uint32_t nameLength;
    char name[kMaxObjectNameLength + 1];
    Holder holders[kMaxHolders];
    SyncState state;
};

class NamedSegment {
public:
    ~NamedSegment();
    NamedSegment(const NamedSegment&) = delete;
    NamedSegment& operator=(const NamedSegment&) = delete;

    SyncState* state() const;
    // What the header said when it was checked at the open (another process may write to
    // the header at any time, so it is not read again).
    ObjectKind kind() const { return kind_; }
    // Sections: the descriptor to map views from, where the data starts and its size.
    int fd() const { return fd_; }
    std::uint64_t dataOffset() const { return dataOffset_; }
    std::uint64_t dataSize() const { return dataSize_; }
    DWORD protect() const { return protect_; }

    // Lets go of the object (holder entry, and the name if nobody else holds it) but
    // leaves the memory mapped; it is unmapped by lingerWhileOwned() once no thread of this
    // process owns the mutex or caches it (see mutexMemoryInUse()).
    void keepMappedWhileOwned() { keepMapped_ = true; }

private:
    friend class SegmentOpener;
    NamedSegment() = default;

    SegmentHeader* header_ = nullptr;
    std::size_t mappedBytes_ = 0;
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::string storageName_;
    ObjectKind kind_ = ObjectKind::Mutex;
    std::uint64_t dataOffset_ = 0;
    std::uint64_t dataSize_ = 0;
    DWORD protect_ = PAGE_READWRITE;
    // The process that entered itself as holder (a forked child does not own the entry).
    pid_t holderPid_ = 0;
    bool keepMapped_ = false;
};

// What a create call asks for when the name is free.
struct SegmentCreation {
    ObjectKind kind;
    mode_t mode;
    std::uint64_t dataSize;  // sections
    DWORD protect;           // sections: PAGE_READWRITE or PAGE_READONLY
    // Initialises the state of the new object; returns an errno value.
    std::function<int(SyncState*)> init;
    // Undoes what init did to the calling thread (a mutex taken for its creator) when the
    // new object loses the race for the name and is thrown away.
    std::function<void(SyncState*)> discard;
};

// Opens the object named `name`, expected to be of kind `kind`; with `creation` non-null
// builds it when nobody holds the name. `*existed` tells whether it was there before.
// Returns ERROR_SUCCESS or the Win32 code: ERROR_FILE_NOT_FOUND, ERROR_INVALID_HANDLE
// (another kind, another name whose storage collides, or storage that is not a sound
// object: damaged fields, a link, a special file), ERROR_ACCESS_DENIED,
// ERROR_NO_SYSTEM_RESOURCES (the holder table is full), or a system failure.
DWORD openNamedSegment(const ObjectName& name, ObjectKind kind, const SegmentCreation* creation,
                       std::unique_ptr<NamedSegment>* out, bool* existed);

}  // namespace kyos::sync_internal
