// The writer's file and its cross-process state: opening (and creating, header first), the
// lock file and its shared mapping, rollover and the backups, the periodic check that the
// path still names our file, and letting go of all of it.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <shared_mutex>

#include "siblings/HbUtils/CHbLoggerState.h"
#include "siblings/HbUtils/FXFile.h"

using namespace hblog;

namespace {

// A file that could not be opened is tried again at most this often (with retry on); a
// rollover that failed (a rename refused) likewise, so that a stuck file does not take the
// cross-process lock at every line.
constexpr std::int64_t kOpenRetryIntervalMs = 1000;
constexpr std::int64_t kRolloverRetryIntervalMs = 1000;
// The log cleanup deletes stray files in the log folder that have not been written for a
// week; refreshing the lock file's time hourly keeps it from being taken for one.
constexpr std::int64_t kLockTouchIntervalSeconds = 3600;
// Opening races with rollovers of other processes; each retry means the file was rolled
// in between, so a handful is plenty.
constexpr int kOpenAttempts = 4;
// Numbered files beyond the backup count are removed at rollover (the count may have
// shrunk); the walk stops at the first gap, or here.
constexpr std::uint32_t kMaxStrayBackups = 1000;

// Log and lock files are shared by the product's processes, which may run as different
// users; permissions follow the process umask, as for any file a program creates.
constexpr mode_t kNewFileMode = 0666;
// Every file of a log is opened without following a link at its name: a log folder may be
// writable by others, and a planted link must not make the writer append to, grow or
// truncate the file it points at.
constexpr int kNoFollow = O_NOFOLLOW | O_CLOEXEC;
// Names tried for the hidden file a new log's header is written into, should another
// file hold the first.
constexpr int kTempNameAttempts = 8;

constexpr std::uint32_t kSharedMagic = 0x4B594C47;  // "KYLG"
constexpr std::uint32_t kSharedLayout = 2;

constexpr char kLineLayout[] = "pid tid date time level job source text";

// --- file system ------------------------------------------------------------------------

int CreateForAppend(const std::string& path, int extraFlags) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | kNoFollow | extraFlags,
                    kNewFileMode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool IdOfFd(int fd, FileId* id, std::uint64_t* size = nullptr) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    *id = FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    if (size != nullptr)
        *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

// The file a name stands for, the name itself when it is a link (which the writer never
// opens through).
bool IdOfPath(const std::string& path, FileId* id) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    *id = FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    return true;
}

// After a file is created or renamed in it, a folder must reach the disk too, or a power
// cut can lose the new name (and every line written under it).
void SyncFolder(const std::string& directory) {
    int fd;
    do {
        fd =
            ::open(directory.empty() ? "/" : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return;
    while (::fsync(fd) != 0 && errno == EINTR) {
    }
    ::close(fd);
}

// Holds the advisory lock of a lock file for a scope; no lock file, no lock.
class AdvisoryLock {
public:
    explicit AdvisoryLock(int fd) : m_fd(fd) {
        if (m_fd < 0)
            return;
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                m_fd = -1;
                return;
            }
        }
    }
    ~AdvisoryLock() {
        if (m_fd >= 0)
            ::flock(m_fd, LOCK_UN);
    }
    AdvisoryLock(const AdvisoryLock&) = delete;
    AdvisoryLock& operator=(const AdvisoryLock&) = delete;

private:
    int m_fd;
};

std::string TrimSeparators(std::string directory) {
    // The debug log hands its folder over with a trailing back-slash, the Windows way.
    while (directory.size() > 1 && (directory.back() == '/' || directory.back() == '\\'))
        directory.pop_back();
    return directory;
}

std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

}  // namespace

namespace hblog {

int OpenForAppend(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | kNoFollow);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void CloseFd(int fd) {
    if (fd >= 0)
        ::close(fd);  // Linux frees the descriptor even when close reports EINTR
}

std::string CanonicalDirectory(const std::string& directory) {
    std::string dir = TrimSeparators(directory.empty() ? std::string(".") : directory);
    if (dir[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) != nullptr)
            dir = std::string(cwd) + "/" + dir;
    }
    std::string clean;
    std::size_t pos = 0;
    while (pos < dir.size()) {
        std::size_t next = dir.find('/', pos);
        if (next == std::string::npos)
            next = dir.size();
        std::string part = dir.substr(pos, next - pos);
        if (part == "..") {
            std::size_t slash = clean.find_last_of('/');
            clean.erase(slash == std::string::npos ? 0 : slash);
        } else if (!part.empty() && part != ".") {
            clean += "/" + part;
        }
        pos = next + 1;
    }
    return clean.empty() ? std::string("/") : clean;
}

std::string FolderOf(const std::string& directory) {
    return directory == "/" ? std::string() : directory;
}

bool CanOpen(const std::string& path, const std::string& directory, int* error) {
    int probe = OpenForAppend(path);
    if (probe >= 0) {
        CloseFd(probe);
        return true;
    }
    *error = errno;
    if (*error != ENOENT)
        return false;
    if (FXFile::CreateFoldersIteratively(directory).IsError()) {
        *error = errno != 0 ? errno : ENOENT;
        return false;
    }
    if (::faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        *error = errno;
        return false;
    }
    *error = 0;
    return true;
}

}  // namespace hblog

// --- opening, the lock file, rollover (coldMutex held unless said otherwise) ----------------

bool CHbLogger::State::MayTryOpen() {
    if (!openFailed.load(std::memory_order_acquire))
        return true;
    if (!retryOnOpenFail.load(std::memory_order_relaxed))
        return false;
    std::int64_t now = Now();
    std::int64_t last = lastOpenAttemptMs.load(std::memory_order_relaxed);
    if (now - last < kOpenRetryIntervalMs)
        return false;
    // One thread makes the attempt; the others keep dropping until it is done.
    return lastOpenAttemptMs.compare_exchange_strong(last, now, std::memory_order_relaxed);
}

void CHbLogger::State::NoteOpenFailure(int error) {
    lastOpenError.store(error != 0 ? error : EIO, std::memory_order_relaxed);
    lastOpenAttemptMs.store(Now(), std::memory_order_relaxed);
    openFailed.store(true, std::memory_order_release);
}

bool CHbLogger::State::EnsureOpenLocked() {
    if (shutdown.load(std::memory_order_relaxed) || !ready.load(std::memory_order_relaxed))
        return false;
    if (fd >= 0 && fdGeneration == shared->Generation())
        return true;  // another thread reopened meanwhile
    int newFd = -1;
    std::uint64_t generation = 0;
    FileId id;
    if (!OpenCurrentLocked(&newFd, &generation, &id)) {
        NoteOpenFailure(errno);
        return false;
    }
    openFailed.store(false, std::memory_order_release);
    SwapFdLocked(newFd, generation, id);
    return true;
}

// Opens the file the path names now and brings the shared state up to date with it.
bool CHbLogger::State::OpenCurrentLocked(int* fdOut, std::uint64_t* generationOut, FileId* idOut) {
    AttachLockLocked(false);
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        // Read before opening, so that a rollover between the two shows as a newer
        // generation at the next line rather than going unseen.
        std::uint64_t generation = shared->Generation();
        int newFd = OpenForAppend(path);
        if (newFd < 0 && errno == ENOENT) {
            FXFile::CreateFoldersIteratively(directory);
            if (!lockAttached.load(std::memory_order_relaxed))
                AttachLockLocked(false);
            AdvisoryLock lock(lockFd);
            bool created = false;
            newFd = CreateFileLocked(&created);
            if (newFd < 0)
                return false;
            FileId id;
            std::uint64_t size = 0;
            if (!IdOfFd(newFd, &id, &size)) {
                CloseFd(newFd);
                return false;
            }
            if (created || id != FileId{shared->device.load(), shared->inode.load()}) {
                shared->device.store(id.device);
                shared->inode.store(id.inode);
                shared->Advance(size);
            }
            *fdOut = newFd;
            *generationOut = shared->Generation();
            *idOut = id;
            return true;
        }
        if (newFd < 0)
            return false;
        FileId id;
        if (!IdOfFd(newFd, &id)) {
            CloseFd(newFd);
            return false;
        }
        if (id == FileId{shared->device.load(), shared->inode.load()}) {
            *fdOut = newFd;
            *generationOut = generation;
            *idOut = id;
            return true;
        }
        // The shared state describes another file: it is stale (a lock file older than
        // the log, a file replaced from outside) or the file was rolled just now. Sort it
        // out under the lock.
        AdvisoryLock lock(lockFd);
        FileId named;
        if (!IdOfPath(path, &named) || named != id) {
            CloseFd(newFd);  // rolled between open and lock: take the new one
            continue;
        }
        if (id != FileId{shared->device.load(), shared->inode.load()}) {
            std::uint64_t size = 0;
            IdOfFd(newFd, &id, &size);
            shared->device.store(id.device);
            shared->inode.store(id.inode);
            shared->Advance(size);
        }
        *fdOut = newFd;
        *generationOut = shared->Generation();
        *idOut = id;
        return true;
    }
    return false;
}

// Creates the log file with its header in place before any other writer can append: the
// header goes into a hidden file that is then linked to the log's name. Called with the
// advisory lock held. `created` tells whether this call made the file. In durable mode the
// folder is synced after the new name appears.
int CHbLogger::State::CreateFileLocked(bool* created) {
    *created = false;
    int newFd = OpenForAppend(path);
    if (newFd >= 0 || errno != ENOENT)
        return newFd;  // created by another writer while we waited for the lock
    if (!writeHeader) {
        newFd = CreateForAppend(path, O_EXCL);
        if (newFd >= 0) {
            *created = true;
            if (Durable())
                SyncFolder(directory);
            return newFd;
        }
        return errno == EEXIST ? OpenForAppend(path) : -1;
    }
    // The temporary is made new (O_EXCL): whatever stands under its name already, a
    // stale file or a planted link, is passed over for the next name.
    static std::atomic<unsigned> s_tempCounter{0};
    std::string temp;
    const std::string stem =
        FolderOf(directory) + "/." + appName + "." + std::to_string(CurrentProcessId());
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        temp = attempt == 0 ? stem + ".new"
                            : stem + "." + std::to_string(s_tempCounter.fetch_add(1)) + ".new";
        newFd = CreateForAppend(temp, O_EXCL);
        if (newFd >= 0 || errno != EEXIST)
            break;
    }
    if (newFd < 0)
        return -1;
    std::string header = HeaderLocked();
    iovec iov{header.data(), header.size()};
    if (!WriteAll(newFd, &iov, 1)) {
        int error = errno;
        CloseFd(newFd);
        ::unlink(temp.c_str());
        errno = error;
        return -1;
    }
    if (::link(temp.c_str(), path.c_str()) == 0) {
        ::unlink(temp.c_str());
        *created = true;
        if (Durable())
            SyncFolder(directory);
        return newFd;
    }
    int linkError = errno;
    if (linkError == EEXIST) {
        CloseFd(newFd);
        ::unlink(temp.c_str());
        return OpenForAppend(path);
    }
    // A file system without hard links: rename, under the lock, is the next best thing.
    if (::rename(temp.c_str(), path.c_str()) == 0) {
        *created = true;
        if (Durable())
            SyncFolder(directory);
        return newFd;
    }
    int error = errno;
    CloseFd(newFd);
    ::unlink(temp.c_str());
    errno = error;
    return -1;
}

// Opens the lock file and maps its shared state. Without a lock file (a folder the process
// may append to but not create in, say) the writer still works, with its state kept in
// process memory: rollover is then serialised within the process only.
void CHbLogger::State::AttachLockLocked(bool force) {
    if (lockFd >= 0 && !force)
        return;
    int newFd;
    do {
        newFd = ::open(lockName.c_str(), O_RDWR | O_CREAT | kNoFollow, kNewFileMode);
    } while (newFd < 0 && errno == EINTR);
    if (newFd < 0)
        return;
    struct stat lockStat;
    if (::fstat(newFd, &lockStat) != 0 || !S_ISREG(lockStat.st_mode)) {
        CloseFd(newFd);  // not a file we can map: work without the lock file
        return;
    }
    FileId id{static_cast<std::uint64_t>(lockStat.st_dev),
              static_cast<std::uint64_t>(lockStat.st_ino)};
    if (mapping != nullptr && id == lockId) {
        // Same lock file as mapped (after fork): only a descriptor of our own was missing.
        CloseFd(lockFd);
        lockFd = newFd;
        lockAttached.store(true, std::memory_order_release);
        return;
    }
    void* newMapping = MAP_FAILED;
    {
        AdvisoryLock lock(newFd);
        struct stat st;
        if (::fstat(newFd, &st) == 0 &&
            (static_cast<std::size_t>(st.st_size) >= kSharedMappingBytes ||
             ::ftruncate(newFd, static_cast<off_t>(kSharedMappingBytes)) == 0)) {
            newMapping =
                ::mmap(nullptr, kSharedMappingBytes, PROT_READ | PROT_WRITE, MAP_SHARED, newFd, 0);
        }
        if (newMapping != MAP_FAILED) {
            // The page starts as zeros, which is a valid state; only a foreign layout is
            // reset.
            auto* state = static_cast<SharedState*>(newMapping);
            if (state->magic.load() != kSharedMagic || state->layout.load() != kSharedLayout) {
                state->device.store(0);
                state->inode.store(0);
                state->counter.store(0);
                state->touchedAt.store(0);
                state->layout.store(kSharedLayout);
                state->magic.store(kSharedMagic);
            }
            ::futimens(newFd, nullptr);
            state->touchedAt.store(static_cast<std::int64_t>(std::time(nullptr)));
        }
    }
    if (newMapping == MAP_FAILED) {
        CloseFd(newFd);
        return;
    }
    int oldFd = -1;
    void* oldMapping = nullptr;
    {
        std::unique_lock<std::shared_mutex> file(fileLock);
        oldMapping = mapping;
        mapping = newMapping;
        shared = static_cast<SharedState*>(newMapping);
        // The descriptor's generation belonged to the old state: reopen at the next line.
        oldFd = fd;
        fd = -1;
    }
    PublishLineTargetLocked();
    if (oldMapping != nullptr)
        ::munmap(oldMapping, kSharedMappingBytes);
    CloseFd(oldFd);
    CloseFd(lockFd);
    lockFd = newFd;
    lockId = id;
    lockAttached.store(true, std::memory_order_release);
}

void CHbLogger::State::SwapFdLocked(int newFd, std::uint64_t generation, FileId id) {
    int oldFd;
    {
        std::unique_lock<std::shared_mutex> file(fileLock);
        oldFd = fd;
        fd = newFd;
        fdGeneration = generation;
        fdId = id;
    }
    PublishLineTargetLocked();
    CloseFd(oldFd);
}

// Rolls the file over once it has reached its limit: name.log.(N-1) -> name.log.N, ...,
// name.log -> name.log.1, then a new name.log with its header. `generation` is the one the
// caller's line was written under: if the shared generation moved on, another thread or
// process has rolled already and nothing is done here (the keep-open path reopens at its
// next line). Processes holding the old file keep appending to it, now name.log.1, until
// they notice: their lines land there, whole.
void CHbLogger::State::RollOver(std::uint64_t generation) {
    if (rolloverFailed.load(std::memory_order_relaxed) &&
        Now() - lastRolloverFailureMs.load(std::memory_order_relaxed) < kRolloverRetryIntervalMs)
        return;
    std::lock_guard<std::mutex> cold(coldMutex);
    if (shared->Generation() != generation)
        return;
    if (lockFd < 0 && mapping != nullptr)
        AttachLockLocked(false);  // a child of fork() takes a lock description of its own
    if (shared->Generation() != generation)
        return;
    AdvisoryLock lock(lockFd);
    SharedState* state = shared;
    if (state->Generation() != generation ||
        state->Size() < limitBytes.load(std::memory_order_relaxed))
        return;
    FileId named;
    bool exists = IdOfPath(path, &named);
    if (exists && named != FileId{state->device.load(), state->inode.load()}) {
        // The path names a file we have no count for (replaced from outside): start
        // counting it instead of rolling it unseen.
        int newFd = OpenForAppend(path);
        std::uint64_t size = 0;
        if (newFd >= 0 && IdOfFd(newFd, &named, &size)) {
            state->device.store(named.device);
            state->inode.store(named.inode);
        }
        CloseFd(newFd);
        state->Advance(size);
        return;
    }
    if (exists && !ShiftBackupsLocked()) {
        rolloverFailed.store(true, std::memory_order_relaxed);
        lastRolloverFailureMs.store(Now(), std::memory_order_relaxed);
        return;
    }
    rolloverFailed.store(false, std::memory_order_relaxed);
    bool created = false;
    int newFd = CreateFileLocked(&created);
    FileId id;
    std::uint64_t size = 0;
    if (newFd >= 0 && IdOfFd(newFd, &id, &size)) {
        state->device.store(id.device);
        state->inode.store(id.inode);
    } else {
        // Could not create the new file: every writer reopens (and creates) it itself.
        CloseFd(newFd);
        newFd = -1;
        size = 0;
        state->device.store(0);
        state->inode.store(0);
    }
    std::uint64_t next = state->Advance(size);
    ::futimens(lockFd, nullptr);
    state->touchedAt.store(static_cast<std::int64_t>(std::time(nullptr)));
    if (newFd < 0)
        return;
    if (accessMethod.load(std::memory_order_relaxed) == kAccessKeepOpen)
        SwapFdLocked(newFd, next, id);
    else
        CloseFd(newFd);
}

bool CHbLogger::State::ShiftBackupsLocked() {
    std::uint32_t versions = maxVersions.load(std::memory_order_relaxed);
    if (versions == 0)
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    // Files numbered beyond the count (left by a larger count earlier) go first.
    for (std::uint32_t stray = versions + 1; stray <= versions + kMaxStrayBackups; ++stray) {
        std::string name = path + "." + std::to_string(stray);
        if (::unlink(name.c_str()) != 0 && errno == ENOENT)
            break;
    }
    // The oldest kept version goes before the renames rather than by one of them: a
    // rename over an existing file makes the file system write out the renamed file's
    // data first (ext4 does, to spare "replace by rename" a crash), and the file renamed
    // then is a log just written, megabytes of it, with the lock held. Each rename below
    // now finds its name free.
    std::string oldest = path + "." + std::to_string(versions);
    ::unlink(oldest.c_str());  // missing, or a rename over it will do
    for (std::uint32_t version = versions - 1; version >= 1; --version) {
        std::string from = path + "." + std::to_string(version);
        std::string to = path + "." + std::to_string(version + 1);
        ::rename(from.c_str(), to.c_str());  // a gap (ENOENT) is fine
    }
    std::string first = path + ".1";
    return ::rename(path.c_str(), first.c_str()) == 0 || errno == ENOENT;
}

// Once a second, for writers that keep their file open: does the path still name our
// file, and the lock name our lock file? Someone may have moved or deleted either outside
// the rollover protocol. Also keeps the lock file's time fresh.
void CHbLogger::State::CheckIdentity() {
    std::unique_lock<std::mutex> cold(coldMutex, std::try_to_lock);
    if (!cold.owns_lock() || fd < 0 || shutdown.load(std::memory_order_relaxed))
        return;
    FileId lockNamed;
    if (lockFd >= 0 && (!IdOfPath(lockName, &lockNamed) || lockNamed != lockId)) {
        AttachLockLocked(true);  // also drops the descriptor: the next line reopens
        return;
    }
    FileId named;
    if (!IdOfPath(path, &named) || named != fdId) {
        int newFd = -1;
        std::uint64_t generation = 0;
        FileId id;
        if (OpenCurrentLocked(&newFd, &generation, &id))
            SwapFdLocked(newFd, generation, id);
        return;
    }
    std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    std::int64_t touched = shared->touchedAt.load(std::memory_order_relaxed);
    if (lockFd >= 0 && now - touched >= kLockTouchIntervalSeconds &&
        shared->touchedAt.compare_exchange_strong(touched, now, std::memory_order_relaxed))
        ::futimens(lockFd, nullptr);
}

std::string CHbLogger::State::HeaderLocked() const {
    auto now = std::chrono::system_clock::now();
    std::time_t second = std::chrono::system_clock::to_time_t(now);
    long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm local{};
    char when[64] = "unknown time";
    if (::localtime_r(&second, &local) != nullptr) {
        char date[32];
        char zone[16];
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
        std::strftime(zone, sizeof zone, "%z", &local);
        std::snprintf(when, sizeof when, "%s.%03ld %s", date, millis, zone);
    }
    std::string name =
        processName.empty() ? std::string(program_invocation_short_name) : processName;
    long pid = processId != 0 ? processId : CurrentProcessId();

    std::string header;
    auto field = [&header](const char* key, const std::string& value) {
        if (!value.empty())
            header += std::string("# ") + key + ": " + OneLine(value) + "\n";
    };
    field("Log file", path);
    field("Created", std::string(when) + " by " + name + " (process " + std::to_string(pid) +
                         ", thread " + std::to_string(CurrentThreadId()) + ")");
    std::string host = hostName;
    if (!hostName2.empty() && hostName2 != hostName)
        host += host.empty() ? hostName2 : " (" + hostName2 + ")";
    field("Host", host);
    field("Client", clientName);
    std::string server = zsHostName;
    if (!zsClientName.empty())
        server += server.empty() ? zsClientName : " (" + zsClientName + ")";
    field("Central server", server);
    field("Operating system", osInfo);
    field("Addresses", addresses);
    field("Product version", version);
    field("Instance", instance);
    if (!processor.empty() || processors != 0 || !productType.empty()) {
        std::string cpu = processor;
        if (processors != 0)
            cpu += (cpu.empty() ? "" : ", ") + std::to_string(processors) + " processor(s)";
        if (!productType.empty())
            cpu += (cpu.empty() ? "" : ", ") + std::string("product type ") + productType;
        field("Processor", cpu);
    }
    field("Line layout", kLineLayout);
    return header;
}

// Lets go of everything the writer holds of its log: the file, the lock file and its
// mapping. A later line attaches again.
void CHbLogger::State::CloseAllLocked() {
    int oldFd;
    void* oldMapping;
    {
        std::unique_lock<std::shared_mutex> file(fileLock);
        oldFd = fd;
        fd = -1;
        fdGeneration = 0;
        fdId = FileId{};
        oldMapping = mapping;
        mapping = nullptr;
        shared = &localShared;
    }
    PublishLineTargetLocked();
    CloseFd(oldFd);
    if (oldMapping != nullptr)
        ::munmap(oldMapping, kSharedMappingBytes);
    CloseFd(lockFd);
    lockFd = -1;
    lockId = FileId{};
    lockAttached.store(false, std::memory_order_release);
    lastLockAttemptMs.store(INT64_MIN / 2, std::memory_order_relaxed);
}
