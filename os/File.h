// Files and directories in the shape of the Win32 file calls.
//
// Paths are UTF-8 with the native separator "/". A file handle is a kyos HANDLE (see
// os/Handle.h): the caller owns it and closes it with closeHandle(). A search handle from
// findFirstFile() is closed with findClose(). Every failing call returns its failure
// value (FALSE, INVALID_HANDLE_VALUE, INVALID_FILE_ATTRIBUTES) and sets the thread's last
// error; calls that succeed leave the last error alone unless stated.
//
// Threads: every function may be called from any thread. A file handle may be used by
// several threads at once (each read and write is one system call on one shared file
// position, as on Windows); a search handle may be shared too, each findNextFile() call
// then yields a different entry.
#pragma once

#include <string>

#include "os/Win32.h"

namespace kyos {

// CreateFile. `access` combines GENERIC_READ and GENERIC_WRITE (GENERIC_ALL is both, 0
// is taken as GENERIC_READ); CREATE_ALWAYS and TRUNCATE_EXISTING need GENERIC_WRITE
// (ERROR_INVALID_PARAMETER without it). `disposition` is CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING,
// OPEN_ALWAYS or TRUNCATE_EXISTING with their Windows meaning, including the results Windows gives:
// CREATE_NEW on an existing file fails with ERROR_FILE_EXISTS; CREATE_ALWAYS and
// OPEN_ALWAYS succeed on an existing file with last error ERROR_ALREADY_EXISTS (else 0);
// a missing file is ERROR_FILE_NOT_FOUND, a missing folder above it ERROR_PATH_NOT_FOUND;
// a directory is ERROR_ACCESS_DENIED. POSIX has no mandatory sharing, so `share` is
// accepted and not enforced. The descriptor is not inherited by child processes.
HANDLE createFile(const std::string& path, DWORD access, DWORD share, DWORD disposition);

// ReadFile: reads until `size` bytes are in or the file ends; `*bytesRead` (may be null)
// receives the count, 0 at the end of the file (which is success).
BOOL readFile(HANDLE file, void* buffer, DWORD size, DWORD* bytesRead);

// WriteFile: writes all `size` bytes or fails; `*bytesWritten` (may be null) receives
// the count written, also on failure.
BOOL writeFile(HANDLE file, const void* buffer, DWORD size, DWORD* bytesWritten);

// SetFilePointerEx: moves the file position by `distance` from FILE_BEGIN, FILE_CURRENT
// or FILE_END; `*newPosition` (may be null) receives the new position. A position before
// the start is ERROR_INVALID_PARAMETER.
BOOL setFilePointer(HANDLE file, LONGLONG distance, LONGLONG* newPosition, DWORD moveMethod);

// GetFileSizeEx.
BOOL getFileSize(HANDLE file, ULONGLONG* size);

// Sets the file's size (cutting or extending it with zeros); the file position stays.
BOOL setFileSize(HANDLE file, ULONGLONG size);

// FlushFileBuffers: the file's data and size reach the disk.
BOOL flushFile(HANDLE file);

// DeleteFile: a directory is ERROR_ACCESS_DENIED.
BOOL deleteFile(const std::string& path);

// CreateDirectory: ERROR_ALREADY_EXISTS when the name exists (as anything),
// ERROR_PATH_NOT_FOUND when the folder above is missing.
BOOL createDirectory(const std::string& path);

// Gives the open file `file` the permission bits of the file at `model` (not followed
// when a link), so that a replacement made for it shows its data to nobody the original
// hid it from. A model that is not a plain file (a link, a folder) is ERROR_ACCESS_DENIED.
BOOL copyFileMode(const std::string& model, HANDLE file);

// RemoveDirectory: the folder must be empty (ERROR_DIR_NOT_EMPTY otherwise).
BOOL removeDirectory(const std::string& path);

// Replaces `to` with `from` in one step (rename(2)), so that a reader of `to` finds the
// old file or the new one, never none. When `to` exists, `from` first takes its
// permission bits. The folder's entry reaches the disk before the call returns. Both
// paths must be in one folder or file system (ERROR_NOT_SAME_DEVICE otherwise).
BOOL renameOver(const std::string& from, const std::string& to);

// The calling user's folder `relative` (say "kelbrin/LogFiles") below their state folder:
// $XDG_STATE_HOME when it is an absolute path, else ~/.local/state. Missing folders are
// created with mode 0700; every folder below the state folder's parent must be a real
// folder (not a link) owned by the calling user, or the call fails with
// ERROR_ACCESS_DENIED, so that nobody else can see or swap what is kept there. The home
// folder is $HOME, else the account's.
BOOL userStateDirectory(const std::string& relative, std::string* path);

// GetFileAttributes: FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_READONLY (no write
// permission for the owner), FILE_ATTRIBUTE_REPARSE_POINT (a symbolic link), or
// FILE_ATTRIBUTE_NORMAL when none applies; INVALID_FILE_ATTRIBUTES when the path does not
// exist. Links are followed for everything but the reparse-point bit.
DWORD getFileAttributes(const std::string& path);

// One directory entry, as WIN32_FIND_DATA gives it. Times are FILETIME values: 100-ns
// units since 1601-01-01 UTC. The creation time is the file's birth time where the file
// system records it, else its last write time.
struct FindData {
    std::string name;  // the entry's own name, without its folder
    DWORD attributes = 0;
    ULONGLONG size = 0;
    ULONGLONG creationTime = 0;
    ULONGLONG lastAccessTime = 0;
    ULONGLONG lastWriteTime = 0;
};

// FindFirstFile / FindNextFile / FindClose. The pattern is a folder and a name pattern
// ("/var/log/app/*.log"); in the name pattern "*" matches any run of characters
// (including none) and "?" any one character, letter case counts (file names on this
// platform are case-sensitive), and a trailing ".*" also matches names without a dot, so
// that "*.*" matches every name as it does on Windows.
// Unlike Windows, "." and ".." are never reported. Entries come in no particular order.
// No match: ERROR_FILE_NOT_FOUND; a missing folder: ERROR_PATH_NOT_FOUND; after the last
// match findNextFile() fails with ERROR_NO_MORE_FILES.
HANDLE findFirstFile(const std::string& pattern, FindData* data);
BOOL findNextFile(HANDLE find, FindData* data);
BOOL findClose(HANDLE find);

// Whether a name matches a search pattern by the rules above.
bool matchesFilePattern(const std::string& pattern, const std::string& name);

}  // namespace kyos
