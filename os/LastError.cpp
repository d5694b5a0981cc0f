#include "os/LastError.h"

#include <cerrno>
#include <cstdio>

namespace kyos {
namespace {

// Set by nearly every call of the layer: initial-exec keeps it one instruction away
// (the library is loaded with the program, not opened later).
__attribute__((tls_model("initial-exec"))) thread_local DWORD t_lastError = ERROR_SUCCESS;

struct CodeText {
    DWORD code;
    const char* text;
};

// The texts Windows gives these codes in its English message table.
constexpr CodeText kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_NO_MORE_FILES, "There are no more files."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the "
     "file."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_HANDLE_DISK_FULL, "The disk is full."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_BAD_NETPATH, "The network path was not found."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_BAD_PIPE, "The pipe state is invalid."},
    {ERROR_MORE_DATA, "More data is available."},
    {WAIT_TIMEOUT, "The wait operation timed out."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_DIRECTORY, "The directory name is invalid."},
    {ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller."},
    {ERROR_TOO_MANY_POSTS, "Too many posts were made to a semaphore."},
    {ERROR_PARTIAL_COPY,
     "Only part of a ReadProcessMemory or WriteProcessMemory request was completed."},
    {ERROR_ARITHMETIC_OVERFLOW, "Arithmetic result exceeded 32 bits."},
    {ERROR_ABANDONED_WAIT_0,
     "The wait operation was abandoned because the object it waited on was abandoned."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_NOACCESS, "Invalid access to memory location."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    {ERROR_CANTREAD, "The configuration registry key could not be read."},
    {ERROR_CANTWRITE, "The configuration registry key could not be written."},
    {ERROR_REGISTRY_CORRUPT, "The configuration registry database is corrupt."},
    {ERROR_REGISTRY_IO_FAILED,
     "An I/O operation initiated by the registry failed unrecoverably. The registry could not "
     "read in, or write out, or flush, one of the files that contain the system's image of the "
     "registry."},
    {ERROR_KEY_DELETED,
     "Illegal operation attempted on a registry key that has been marked for deletion."},
    {ERROR_CHILD_MUST_BE_VOLATILE, "Cannot create a stable subkey under a volatile parent key."},
    {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running."},
    {ERROR_FILE_CORRUPT, "The file or directory is corrupted and unreadable."},
    {ERROR_NO_UNICODE_TRANSLATION,
     "No mapping for the Unicode character exists in the target multi-byte code page."},
    {ERROR_NOT_FOUND, "Element not found."},
    {ERROR_CANCELLED, "The operation was canceled by the user."},
    {ERROR_CONNECTION_REFUSED, "The remote computer refused the network connection."},
    {ERROR_PRIVILEGE_NOT_HELD, "A required privilege is not held by the client."},
    {ERROR_NO_SUCH_USER, "The specified account does not exist."},
    {ERROR_LOGON_FAILURE, "The user name or password is incorrect."},
    {ERROR_INTERNAL_ERROR, "An internal error occurred."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_INVALID_STATE,
     "The group or resource is not in the correct state to perform the requested operation."},
    {ERROR_INVALID_ADDRESS, "Attempt to access invalid address."},
    {ERROR_MAPPED_ALIGNMENT,
     "The base address or the file offset specified does not have the proper alignment."},
    {ERROR_NO_SYSTEM_RESOURCES,
     "Insufficient system resources exist to complete the requested service."},
};

}  // namespace

DWORD lastError() noexcept {
    return t_lastError;
}

void setLastError(DWORD code) noexcept {
    t_lastError = code;
}

DWORD setLastErrorFromErrno(int err) noexcept {
    DWORD code = win32FromErrno(err);
    t_lastError = code;
    return code;
}

DWORD win32FromErrno(int err) noexcept {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EBUSY:
            return ERROR_BUSY;
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case EAGAIN:
            return ERROR_LOCK_VIOLATION;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case EISDIR:
            return ERROR_DIRECTORY;
        case ENOSYS:
        case EOPNOTSUPP:
            return ERROR_NOT_SUPPORTED;
        case EFAULT:
            return ERROR_NOACCESS;
        case EIO:
            return ERROR_WRITE_FAULT;
        case EOVERFLOW:
        case ERANGE:
            return ERROR_ARITHMETIC_OVERFLOW;
        case ECONNREFUSED:
            return ERROR_CONNECTION_REFUSED;
        case EILSEQ:
            return ERROR_NO_UNICODE_TRANSLATION;
        case ECANCELED:
            return ERROR_CANCELLED;
        case ESRCH:
            return ERROR_NOT_FOUND;
        case EOWNERDEAD:
            return ERROR_ABANDONED_WAIT_0;
        case ENOTRECOVERABLE:
            return ERROR_INVALID_HANDLE;
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

std::string win32MessageText(DWORD code) {
    for (const CodeText& entry : kMessages) {
        if (entry.code == code)
            return entry.text;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "Unknown error %lu", static_cast<unsigned long>(code));
    return buf;
}

}  // namespace kyos
