#include "os/sync/NamedSegment.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "os/LastError.h"
#include "os/sync/ProcessStamp.h"

namespace kyos::sync_internal {

namespace {

// Each retry means another process removed or built the object in that instant; a few
// dozen would take a storm of them.
constexpr int kOpenAttempts = 64;

}  // namespace

namespace {

std::size_t pageSize() {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

// Where a section's data starts: the header rounded up to whole pages, so that views can
// be mapped from the file at page-aligned offsets.
std::size_t headerBytes() {
    std::size_t page = pageSize();
    return (sizeof(SegmentHeader) + page - 1) / page * page;
}

bool sameProcess(const Holder& entry, const ProcessStamp& process) {
    return entry.pid == process.pid && entry.startTicks == process.startTicks;
}

// The used length of the holder table, kept within the table whatever the file says: a
// damaged value must not lead outside it. Under the guard.
std::uint32_t usedHolders(const SegmentHeader* header) {
    std::uint32_t end = header->holderEnd;
    return end < kMaxHolders ? end : kMaxHolders;
}

void trimHolders(SegmentHeader* header) {
    std::uint32_t end = usedHolders(header);
    while (end > 0 && header->holders[end - 1].pid == 0)
        --end;
    header->holderEnd = end;
}

void clearHolder(Holder* entry) {
    entry->pid = 0;
    entry->references = 0;
    entry->startTicks = 0;
}

// Drops the entries of ended processes up to the first live one (all, with `all`), and
// tells whether a live holder is left.
bool sweepHolders(SegmentHeader* header, bool all) {
    bool live = false;
    const std::uint32_t end = usedHolders(header);
    for (std::uint32_t i = 0; i < end; ++i) {
        Holder& entry = header->holders[i];
        if (entry.pid == 0)
            continue;
        if (processEnded(ProcessStamp{entry.pid, entry.startTicks})) {
            clearHolder(&entry);
            continue;
        }
        live = true;
        if (!all)
            break;
    }
    trimHolders(header);
    return live;
}

bool addHolder(SegmentHeader* header, const ProcessStamp& self) {
    for (int pass = 0; pass < 2; ++pass) {
        Holder* freeEntry = nullptr;
        const std::uint32_t end = usedHolders(header);
        for (std::uint32_t i = 0; i < end; ++i) {
            Holder& entry = header->holders[i];
            if (sameProcess(entry, self)) {
                ++entry.references;
                return true;
            }
            // An entry with our pid but another start time is an ended process whose pid
            // we were given.
            if ((entry.pid == 0 || entry.pid == self.pid) && freeEntry == nullptr)
                freeEntry = &entry;
        }
        if (freeEntry == nullptr && end < kMaxHolders) {
            freeEntry = &header->holders[end];
            header->holderEnd = end + 1;
        }
        if (freeEntry != nullptr) {
            freeEntry->pid = self.pid;
            freeEntry->references = 1;
            freeEntry->startTicks = self.startTicks;
            return true;
        }
        sweepHolders(header, true);
    }
    return false;
}

void removeHolder(SegmentHeader* header, const ProcessStamp& self) {
    const std::uint32_t end = usedHolders(header);
    for (std::uint32_t i = 0; i < end; ++i) {
        Holder& entry = header->holders[i];
        if (sameProcess(entry, self)) {
            if (--entry.references == 0)
                clearHolder(&entry);
            break;
        }
    }
    trimHolders(header);
}

bool knownKind(ObjectKind kind) {
    switch (kind) {
        case ObjectKind::Mutex:
        case ObjectKind::Event:
        case ObjectKind::Semaphore:
        case ObjectKind::Section:
            return true;
    }
    return false;
}

// Whether the stored header (and the state behind it) is one a builder of this layout
// could have left, in a file of `fileSize` bytes. Under the guard, as the state's fields
// change under it.
bool soundHeader(const SegmentHeader* header, std::uint64_t fileSize) {
    const ObjectKind kind = header->kind;
    if (!knownKind(kind) || header->state.kind != kind)
        return false;
    if (header->holderEnd > kMaxHolders || header->nameLength > kMaxObjectNameLength)
        return false;
    if (kind == ObjectKind::Section) {
        const std::uint64_t offset = header->dataOffset;
        const std::uint64_t size = header->dataSize;
        if (offset != headerBytes() || size == 0 || offset > fileSize || size > fileSize - offset)
            return false;
        const DWORD protect = header->protect;
        return protect == PAGE_READWRITE || protect == PAGE_READONLY;
    }
    if (header->dataOffset != 0 || header->dataSize != 0)
        return false;
    const SyncState& state = header->state;
    switch (kind) {
        case ObjectKind::Event:
            return state.manualReset <= 1 && state.signaled <= 1;
        case ObjectKind::Semaphore:
            return state.maximum > 0 && state.count >= 0 && state.count <= state.maximum;
        default:
            return true;
    }
}

}  // namespace

class SegmentOpener {
public:
    enum class Outcome { Done, Retry };

    static DWORD attach(int fd, const ObjectName& name, ObjectKind kind, bool creating,
                        std::unique_ptr<NamedSegment>* out, Outcome* outcome);
    static DWORD build(const ObjectName& name, const SegmentCreation& creation,
                       std::unique_ptr<NamedSegment>* out, bool* nameTaken);
    // Removes the object's name if it still names this object. Under the guard.
    static int unlinkIfStillNamed(const NamedSegment& segment);
    static void release(NamedSegment* segment);
};

NamedSegment::~NamedSegment() {
    SegmentOpener::release(this);
}

SyncState* NamedSegment::state() const {
    return &header_->state;
}

int SegmentOpener::unlinkIfStillNamed(const NamedSegment& segment) {
    struct stat st;
    std::string path = storagePath(segment.storageName_);
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? 0 : errno;
    if (st.st_dev != segment.device_ || st.st_ino != segment.inode_)
        return 0;
    if (::shm_unlink(segment.storageName_.c_str()) != 0 && errno != ENOENT)
        return errno;
    return 0;
}

void SegmentOpener::release(NamedSegment* segment) {
    if (segment->header_ != nullptr) {
        SegmentHeader* header = segment->header_;
        if (segment->holderPid_ != 0 && segment->holderPid_ == ::getpid()) {
            GuardLock guard(&header->state);
            if (guard.locked()) {
                removeHolder(header, currentProcess());
                if (!sweepHolders(header, false)) {
                    header->deleted = 1;
                    // A leftover another user's process must remove (sticky /dev/shm) is
                    // found dead by the next opener of that user.
                    unlinkIfStillNamed(*segment);
                }
            }
        }
        std::size_t bytes = segment->mappedBytes_;
        if (segment->keepMapped_)
            lingerWhileOwned(&header->state, [header, bytes] { ::munmap(header, bytes); });
        else
            ::munmap(header, bytes);
        segment->header_ = nullptr;
    }
    if (segment->fd_ >= 0)
        ::close(segment->fd_);
    segment->fd_ = -1;
}

DWORD SegmentOpener::attach(int fd, const ObjectName& name, ObjectKind kind, bool creating,
                            std::unique_ptr<NamedSegment>* out, Outcome* outcome) {
    *outcome = Outcome::Done;
    std::unique_ptr<NamedSegment> segment(new NamedSegment);
    segment->fd_ = fd;
    segment->storageName_ = name.storageName;
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return win32FromErrno(errno);
    segment->device_ = st.st_dev;
    segment->inode_ = st.st_ino;
    // Every object is linked in complete, so anything shorter is not one of ours.
    if (static_cast<std::size_t>(st.st_size) < headerBytes())
        return ERROR_INVALID_HANDLE;
    // Planted in a directory everyone may write to, a link or a special file is no object;
    // a regular file is taken only as its contents check out below. Its owner is not
    // checked: an object is made by whichever of the product's accounts comes first, and
    // one open to everyone may be written by every account, so the owner would vouch for
    // nothing that the checks of the contents do not cover.
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1)
        return ERROR_INVALID_HANDLE;
    void* memory = ::mmap(nullptr, headerBytes(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED)
        return win32FromErrno(errno);
    segment->header_ = static_cast<SegmentHeader*>(memory);
    segment->mappedBytes_ = headerBytes();
    SegmentHeader* header = segment->header_;
    if (header->magic != kSegmentMagic || header->headerSize != sizeof(SegmentHeader))
        return ERROR_INVALID_HANDLE;

    GuardLock guard(&header->state);
    if (!guard.locked() || !soundHeader(header, static_cast<std::uint64_t>(st.st_size)))
        return ERROR_INVALID_HANDLE;
    if (header->deleted != 0 || !sweepHolders(header, false)) {
        // Every holder has closed it or died: the object is gone, whatever /dev/shm shows.
        header->deleted = 1;
        int err = unlinkIfStillNamed(*segment);
        if (err == 0) {
            *outcome = Outcome::Retry;
            return ERROR_SUCCESS;
        }
        return creating ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    }
    if (header->nameLength != name.name.size() ||
        std::memcmp(header->name, name.name.data(), name.name.size()) != 0)
        return ERROR_INVALID_HANDLE;
    if (header->kind != kind)
        return ERROR_INVALID_HANDLE;
    if (!addHolder(header, currentProcess()))
        return ERROR_NO_SYSTEM_RESOURCES;
    segment->holderPid_ = ::getpid();
    segment->kind_ = kind;
    segment->dataOffset_ = header->dataOffset;
    segment->dataSize_ = header->dataSize;
    segment->protect_ = header->protect;
    guard.unlock();
    if (kind != ObjectKind::Section) {
        ::close(segment->fd_);
        segment->fd_ = -1;
    }
    *out = std::move(segment);
    return ERROR_SUCCESS;
}

DWORD SegmentOpener::build(const ObjectName& name, const SegmentCreation& creation,
                           std::unique_ptr<NamedSegment>* out, bool* nameTaken) {
    *nameTaken = false;
    int fd = ::open(kShmDirectory, O_TMPFILE | O_RDWR | O_CLOEXEC, creation.mode);
    if (fd < 0)
        return win32FromErrno(errno);
    std::unique_ptr<NamedSegment> segment(new NamedSegment);
    segment->fd_ = fd;
    segment->storageName_ = name.storageName;
    // The mode is the caller's choice, not what the umask leaves of it.
    if (::fchmod(fd, creation.mode) != 0 || ::ftruncate(fd, static_cast<off_t>(headerBytes())) != 0)
        return win32FromErrno(errno);
    if (creation.kind == ObjectKind::Section) {
        // Committed now, as the paging file commits a section: a full /dev/shm fails here
        // instead of faulting a writer later.
        int err = ::posix_fallocate(fd, static_cast<off_t>(headerBytes()),
                                    static_cast<off_t>(creation.dataSize));
        if (err != 0)
            return err == ENOSPC || err == EFBIG ? ERROR_NOT_ENOUGH_MEMORY : win32FromErrno(err);
    }
    void* memory = ::mmap(nullptr, headerBytes(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED)
        return win32FromErrno(errno);
    segment->mappedBytes_ = headerBytes();
    SegmentHeader* header = new (memory) SegmentHeader();
    segment->header_ = header;
    header->headerSize = sizeof(SegmentHeader);
    header->kind = creation.kind;
    header->dataOffset = creation.kind == ObjectKind::Section ? headerBytes() : 0;
    header->dataSize = creation.dataSize;
    header->protect = creation.protect;
    header->nameLength = static_cast<std::uint32_t>(name.name.size());
    std::memcpy(header->name, name.name.data(), name.name.size());
    ProcessStamp self = currentProcess();
    header->holders[0] = Holder{self.pid, 1, self.startTicks};
    header->holderEnd = 1;
    int err = creation.init(&header->state);
    if (err != 0)
        return win32FromErrno(err);
    header->magic = kSegmentMagic;

    std::string procPath = "/proc/self/fd/" + std::to_string(fd);
    std::string path = storagePath(name.storageName);
    if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        err = errno;
        if (creation.discard)
            creation.discard(&header->state);
        if (err == EEXIST) {
            *nameTaken = true;
            return ERROR_SUCCESS;
        }
        return win32FromErrno(err);
    }
    struct stat st;
    if (::fstat(fd, &st) == 0) {
        segment->device_ = st.st_dev;
        segment->inode_ = st.st_ino;
    }
    segment->holderPid_ = ::getpid();
    segment->kind_ = creation.kind;
    segment->dataOffset_ = header->dataOffset;
    segment->dataSize_ = header->dataSize;
    segment->protect_ = header->protect;
    if (creation.kind != ObjectKind::Section) {
        ::close(segment->fd_);
        segment->fd_ = -1;
    }
    *out = std::move(segment);
    return ERROR_SUCCESS;
}

DWORD openNamedSegment(const ObjectName& name, ObjectKind kind, const SegmentCreation* creation,
                       std::unique_ptr<NamedSegment>* out, bool* existed) {
    const std::string path = storagePath(name.storageName);
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        // What shm_open() does, with the guards spelt out: a link is not followed out of
        // the directory, and a fifo planted under the name does not block the open.
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0 && errno == ELOOP)
            return ERROR_INVALID_HANDLE;
        if (fd >= 0) {
            SegmentOpener::Outcome outcome;
            DWORD rc = SegmentOpener::attach(fd, name, kind, creation != nullptr, out, &outcome);
            if (outcome == SegmentOpener::Outcome::Retry)
                continue;
            *existed = true;
            return rc;
        }
        if (errno != ENOENT)
            return win32FromErrno(errno);
        if (creation == nullptr)
            return ERROR_FILE_NOT_FOUND;
        bool nameTaken = false;
        DWORD rc = SegmentOpener::build(name, *creation, out, &nameTaken);
        if (nameTaken)
            continue;
        *existed = false;
        return rc;
    }
    return ERROR_BUSY;
}

}  // namespace kyos::sync_internal
