#include "os/File.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "os/Handle.h"
#include "os/LastError.h"

namespace kyos {
namespace {

// Seconds between 1601-01-01 (the FILETIME epoch) and 1970-01-01.
constexpr std::int64_t kFileTimeEpochOffsetSeconds = 11644473600LL;
constexpr std::int64_t kFileTimeTicksPerSecond = 10000000;

// How often CREATE_ALWAYS / OPEN_ALWAYS retry when another process deletes or creates the
// file between the exclusive create and the plain open; each retry means someone else
// changed the file in that instant, so a handful is plenty.
constexpr int kOpenAlwaysAttempts = 8;

// New files and folders get everything the umask allows, as open(2) and mkdir(2) callers
// usually ask.
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kNewDirectoryMode = 0777;

ULONGLONG fileTimeFrom(std::int64_t seconds, long nanoseconds) {
    std::int64_t sinceFileEpoch = seconds + kFileTimeEpochOffsetSeconds;
    if (sinceFileEpoch < 0)
        return 0;
    return static_cast<ULONGLONG>(sinceFileEpoch) * kFileTimeTicksPerSecond +
           static_cast<ULONGLONG>(nanoseconds / 100);
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parentOf(const std::string& path) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// Windows tells a missing file from a missing folder above it; ENOENT does not.
DWORD setLastErrorForMissing(const std::string& path, int err) {
    if (err == ENOENT && !isDirectory(parentOf(path))) {
        setLastError(ERROR_PATH_NOT_FOUND);
        return ERROR_PATH_NOT_FOUND;
    }
    return setLastErrorFromErrno(err);
}

DWORD attributesFrom(const struct stat& st, bool isLink) {
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if ((st.st_mode & S_IWUSR) == 0)
        attributes |= FILE_ATTRIBUTE_READONLY;
    if (isLink)
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

class FileObject final : public HandleObject {
public:
    FileObject(int fd, bool canRead, bool canWrite, bool isRegular)
        : fd_(fd), canRead_(canRead), canWrite_(canWrite), isRegular_(isRegular) {}
    ~FileObject() override {
        if (fd_ >= 0)
            ::close(fd_);
    }

    DWORD close() noexcept override {
        int fd = fd_;
        fd_ = -1;
        // Linux releases the descriptor even when close() reports EINTR; retrying could
        // close a descriptor another thread has just been given.
        if (::close(fd) != 0 && errno != EINTR)
            return win32FromErrno(errno);
        return ERROR_SUCCESS;
    }

    int fd() const { return fd_; }
    bool canRead() const { return canRead_; }
    bool canWrite() const { return canWrite_; }
    bool isRegular() const { return isRegular_; }

private:
    int fd_;
    const bool canRead_;
    const bool canWrite_;
    const bool isRegular_;
};

int openRetryingInterrupts(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags, kNewFileMode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens for OPEN_ALWAYS / CREATE_ALWAYS and tells whether the file was already there,
// which a single open(O_CREAT) cannot.
int openAlways(const std::string& path, int flags, bool* existed) {
    for (int attempt = 0; attempt < kOpenAlwaysAttempts; ++attempt) {
        int fd = openRetryingInterrupts(path, flags | O_CREAT | O_EXCL);
        if (fd >= 0 || errno != EEXIST) {
            *existed = false;
            return fd;
        }
        fd = openRetryingInterrupts(path, flags);
        if (fd >= 0 || errno != ENOENT) {
            *existed = true;
            return fd;
        }
    }
    errno = ENOENT;
    return -1;
}

// Matches with backtracking to the last "*" only, which is enough for "*" and "?" and
// keeps the cost at O(pattern * name).
bool wildcardMatch(const char* pattern, const char* name) {
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            starPattern = ++pattern;
            starName = name;
        } else if (*pattern == '?' || *pattern == *name) {
            ++pattern;
            ++name;
        } else if (starPattern != nullptr) {
            pattern = starPattern;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == '\0';
}

class FindObject final : public HandleObject {
public:
    FindObject(DIR* dir, std::string namePattern)
        : dir_(dir), namePattern_(std::move(namePattern)) {}
    ~FindObject() override {
        if (dir_ != nullptr)
            ::closedir(dir_);
    }

    DWORD close() noexcept override {
        DIR* dir = dir_;
        dir_ = nullptr;
        return ::closedir(dir) == 0 ? ERROR_SUCCESS : win32FromErrno(errno);
    }

    // The next matching entry; ERROR_NO_MORE_FILES after the last.
    DWORD next(FindData* data) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (;;) {
            errno = 0;
            struct dirent* entry = ::readdir(dir_);
            if (entry == nullptr)
                return errno == 0 ? ERROR_NO_MORE_FILES : win32FromErrno(errno);
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            if (!matchesFilePattern(namePattern_, name))
                continue;
            // An entry removed since readdir() saw it is no longer there to report.
            if (describe(name, data))
                return ERROR_SUCCESS;
        }
    }

private:
    bool describe(const char* name, FindData* data) {
        int dirFd = ::dirfd(dir_);
        struct stat own;
        if (::fstatat(dirFd, name, &own, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        bool isLink = S_ISLNK(own.st_mode);
        struct stat target;
        const struct stat& st = isLink && ::fstatat(dirFd, name, &target, 0) == 0 ? target : own;
        FindData found;
        found.name = name;
        found.attributes = attributesFrom(st, isLink);
        found.size = S_ISDIR(st.st_mode) ? 0 : static_cast<ULONGLONG>(st.st_size);
        found.lastWriteTime = fileTimeFrom(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
        found.lastAccessTime = fileTimeFrom(st.st_atim.tv_sec, st.st_atim.tv_nsec);
        found.creationTime = found.lastWriteTime;
#if defined(__linux__) && defined(STATX_BTIME)
        struct statx sx;
        if (::statx(dirFd, name, 0, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME) != 0) {
            found.creationTime = fileTimeFrom(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
        }
#endif
        if (data != nullptr)
            *data = std::move(found);
        return true;
    }

    std::mutex mutex_;
    DIR* dir_;
    const std::string namePattern_;
};

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return found->pw_dir;
    return std::string();
}

// One folder of a private tree: made 0700 when missing, and in any case a folder of the
// calling user's own, reached without a link.
bool ensurePrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        setLastErrorFromErrno(errno);
        return false;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        setLastErrorFromErrno(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        setLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

}  // namespace

HANDLE createFile(const std::string& path, DWORD access, DWORD /*share*/, DWORD disposition) {
    bool canRead = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
    bool canWrite = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    if (!canRead && !canWrite)
        canRead = true;
    if (!canWrite && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)) {
        setLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC | (canRead && canWrite ? O_RDWR : canWrite ? O_WRONLY : O_RDONLY);
    bool existed = false;
    int fd = -1;
    switch (disposition) {
        case CREATE_NEW:
            fd = openRetryingInterrupts(path, flags | O_CREAT | O_EXCL);
            break;
        case CREATE_ALWAYS:
            fd = openAlways(path, flags | O_TRUNC, &existed);
            break;
        case OPEN_EXISTING:
            fd = openRetryingInterrupts(path, flags);
            break;
        case OPEN_ALWAYS:
            fd = openAlways(path, flags, &existed);
            break;
        case TRUNCATE_EXISTING:
            fd = openRetryingInterrupts(path, flags | O_TRUNC);
            break;
        default:
            setLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    if (fd < 0) {
        int err = errno;
        if (err == EEXIST && disposition == CREATE_NEW) {
            setLastError(ERROR_FILE_EXISTS);
        } else if (err == EISDIR) {
            setLastError(ERROR_ACCESS_DENIED);
        } else {
            setLastErrorForMissing(path, err);
        }
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        setLastErrorFromErrno(err);
        return INVALID_HANDLE_VALUE;
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        setLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle =
        makeHandle(std::make_unique<FileObject>(fd, canRead, canWrite, S_ISREG(st.st_mode)));
    setLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL readFile(HANDLE file, void* buffer, DWORD size, DWORD* bytesRead) {
    if (bytesRead != nullptr)
        *bytesRead = 0;
    HandleRef<FileObject> object = lookupHandleRef<FileObject>(file);
    if (!object)
        return FALSE;
    if (buffer == nullptr && size != 0) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!object->canRead()) {
        setLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    char* out = static_cast<char*>(buffer);
    DWORD total = 0;
    while (total < size) {
        ssize_t n = ::read(object->fd(), out + total, size - total);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            setLastErrorFromErrno(errno);
            if (bytesRead != nullptr)
                *bytesRead = total;
            return FALSE;
        }
        if (n == 0)
            break;
        total += static_cast<DWORD>(n);
        // Only a regular file promises more bytes right away; a device or pipe returns
        // what it has, as ReadFile does on them.
        if (!object->isRegular())
            break;
    }
    if (bytesRead != nullptr)
        *bytesRead = total;
    return TRUE;
}

BOOL writeFile(HANDLE file, const void* buffer, DWORD size, DWORD* bytesWritten) {
    if (bytesWritten != nullptr)
        *bytesWritten = 0;
    HandleRef<FileObject> object = lookupHandleRef<FileObject>(file);
    if (!object)
        return FALSE;
    if (buffer == nullptr && size != 0) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!object->canWrite()) {
        setLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const char* in = static_cast<const char*>(buffer);
    DWORD total = 0;
    while (total < size) {
        ssize_t n = ::write(object->fd(), in + total, size - total);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            setLastErrorFromErrno(errno);
            break;
        }
        total += static_cast<DWORD>(n);
    }
    if (bytesWritten != nullptr)
        *bytesWritten = total;
    return total == size ? TRUE : FALSE;
}

BOOL setFilePointer(HANDLE file, LONGLONG distance, LONGLONG* newPosition, DWORD moveMethod) {
    HandleRef<FileObject> object = lookupHandleRef<FileObject>(file);
    if (!object)
        return FALSE;
    int whence;
    switch (moveMethod) {
        case FILE_BEGIN:
            whence = SEEK_SET;
            break;
        case FILE_CURRENT:
            whence = SEEK_CUR;
            break;
        case FILE_END:
            whence = SEEK_END;
            break;
        default:
            setLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
    off_t position = ::lseek(object->fd(), static_cast<off_t>(distance), whence);
    if (position < 0) {
        setLastErrorFromErrno(errno);
        return FALSE;
    }
    if (newPosition != nullptr)
        *newPosition = static_cast<LONGLONG>(position);
    return TRUE;
}

BOOL getFileSize(HANDLE file, ULONGLONG* size) {
    HandleRef<FileObject> object = lookupHandleRef<FileObject>(file);
    if (!object)
        return FALSE;
    struct stat st;
    if (::fstat(object->fd(), &st) != 0) {
        setLastErrorFromErrno(errno);
        return FALSE;
    }
    if (size != nullptr)
        *size = static_cast<ULONGLONG>(st.st_size);
    return TRUE;
}

BOOL setFileSize(HANDLE file, ULONGLONG size) {
    HandleRef<FileObject> object = lookupHandleRef<FileObject>(file);
    if (!object)
        return FALSE;
    if (!object->canWrite()) {
        setLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (size > static_cast<ULONGLONG>(INT64_MAX)) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int rc;
    do {
        rc = ::ftruncate(object->fd(), static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        setLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL flushFile(HANDLE file) {
    HandleRef<FileObject> object = lookupHandleRef<FileObject>(file);
    if (!object)
        return FALSE;
    if (::fsync(object->fd()) != 0) {
        setLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL copyFileMode(const std::string& model, HANDLE file) {
    struct stat st;
    if (::lstat(model.c_str(), &st) != 0) {
        setLastErrorForMissing(model, errno);
        return FALSE;
    }
    // A link's own bits are 0777: copied, they would open the file to everyone.
    if (!S_ISREG(st.st_mode)) {
        setLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    HandleRef<FileObject> object = lookupHandleRef<FileObject>(file);
    if (!object)
        return FALSE;
    if (::fchmod(object->fd(), st.st_mode & 07777) != 0) {
        setLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL deleteFile(const std::string& path) {
    if (::unlink(path.c_str()) == 0)
        return TRUE;
    int err = errno;
    if (err == EISDIR) {
        setLastError(ERROR_ACCESS_DENIED);
    } else {
        setLastErrorForMissing(path, err);
    }
    return FALSE;
}

BOOL createDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), kNewDirectoryMode) == 0)
        return TRUE;
    int err = errno;
    if (err == ENOENT) {
        setLastError(ERROR_PATH_NOT_FOUND);
    } else {
        setLastErrorFromErrno(err);
    }
    return FALSE;
}

BOOL removeDirectory(const std::string& path) {
    if (::rmdir(path.c_str()) == 0)
        return TRUE;
    int err = errno;
    if (err == ENOTEMPTY || err == EEXIST) {
        setLastError(ERROR_DIR_NOT_EMPTY);
    } else if (err == ENOENT) {
        setLastErrorForMissing(path, err);
    } else {
        setLastErrorFromErrno(err);
    }
    return FALSE;
}

BOOL renameOver(const std::string& from, const std::string& to) {
    struct stat target;
    if (::lstat(to.c_str(), &target) == 0 && S_ISREG(target.st_mode)) {
        if (::chmod(from.c_str(), target.st_mode & 07777) != 0) {
            setLastErrorFromErrno(errno);
            return FALSE;
        }
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
        int err = errno;
        if (err == EXDEV) {
            setLastError(ERROR_NOT_SAME_DEVICE);
        } else if (err == ENOENT) {
            setLastErrorForMissing(from, err);
        } else {
            setLastErrorFromErrno(err);
        }
        return FALSE;
    }
    // Without this a crash soon after could bring back the old entry, or neither.
    int dir = ::open(parentOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        setLastErrorFromErrno(errno);
        return FALSE;
    }
    int rc = ::fsync(dir);
    int err = errno;
    ::close(dir);
    if (rc != 0) {
        setLastErrorFromErrno(err);
        return FALSE;
    }
    return TRUE;
}

BOOL userStateDirectory(const std::string& relative, std::string* path) {
    std::string base;
    std::string below;
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else {
        base = homeDirectory();
        below = ".local/state/";
    }
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (base.empty() || !isDirectory(base)) {
        setLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    below += relative;
    std::string current = base == "/" ? std::string() : base;
    std::string::size_type pos = 0;
    while (pos < below.size()) {
        std::string::size_type next = below.find('/', pos);
        if (next == std::string::npos)
            next = below.size();
        std::string part = below.substr(pos, next - pos);
        pos = next + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            setLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        current += "/" + part;
        if (!ensurePrivateFolder(current))
            return FALSE;
    }
    *path = current;
    return TRUE;
}

DWORD getFileAttributes(const std::string& path) {
    struct stat own;
    if (::lstat(path.c_str(), &own) != 0) {
        setLastErrorForMissing(path, errno);
        return INVALID_FILE_ATTRIBUTES;
    }
    bool isLink = S_ISLNK(own.st_mode);
    struct stat target;
    // A dangling link still exists as a link, as Windows reports a link to nowhere.
    const struct stat& st = isLink && ::stat(path.c_str(), &target) == 0 ? target : own;
    return attributesFrom(st, isLink);
}

bool matchesFilePattern(const std::string& pattern, const std::string& name) {
    if (wildcardMatch(pattern.c_str(), name.c_str()))
        return true;
    constexpr char kAnyExtension[] = ".*";
    constexpr std::string::size_type kAnyExtensionLength = sizeof kAnyExtension - 1;
    if (pattern.size() >= kAnyExtensionLength &&
        pattern.compare(pattern.size() - kAnyExtensionLength, kAnyExtensionLength, kAnyExtension) ==
            0 &&
        name.find('.') == std::string::npos) {
        std::string stem = pattern.substr(0, pattern.size() - kAnyExtensionLength);
        return wildcardMatch(stem.c_str(), name.c_str());
    }
    return false;
}

HANDLE findFirstFile(const std::string& pattern, FindData* data) {
    std::string::size_type slash = pattern.find_last_of('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : pattern.substr(0, slash);
    std::string namePattern = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    if (namePattern.empty()) {
        setLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DIR* dir = ::opendir(folder.c_str());  // glibc opens it close-on-exec
    if (dir == nullptr) {
        int err = errno;
        setLastError(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND : win32FromErrno(err));
        return INVALID_HANDLE_VALUE;
    }
    auto find = std::make_unique<FindObject>(dir, namePattern);
    DWORD code = find->next(data);
    if (code != ERROR_SUCCESS) {
        setLastError(code == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : code);
        return INVALID_HANDLE_VALUE;
    }
    return makeHandle(std::move(find));
}

BOOL findNextFile(HANDLE find, FindData* data) {
    HandleRef<FindObject> object = lookupHandleRef<FindObject>(find);
    if (!object)
        return FALSE;
    DWORD code = object->next(data);
    if (code != ERROR_SUCCESS) {
        setLastError(code);
        return FALSE;
    }
    return TRUE;
}

BOOL findClose(HANDLE find) {
    if (!lookupHandleRef<FindObject>(find))
        return FALSE;
    return closeHandle(find);
}

}  // namespace kyos
