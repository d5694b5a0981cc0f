// FXFile: the file calls of os/File.h with CHbError results.
//
// A failure is FXErrorUtil::ErrorWin32 with the Win32 code the call set (so a caller
// tests, say, err.Is(ERROR_FILE_NOT_FOUND)) and a text naming the path. Handles come back
// in owners (auto_handle, auto_find_handle) that close them; the calls taking a plain
// HANDLE only borrow it. Paths are UTF-8 with "/". Every function may be called from any
// thread; see os/File.h for sharing one handle between threads.
#pragma once

#include <string>

#include "os/File.h"
#include "os/Win32.h"
#include "siblings/HbUtils/AutoHandles.h"
#include "siblings/HbUtils/CHbError.h"

namespace FXFile {

// Opens or creates the file (see kyos::createFile for access, share and disposition).
// On success `file` holds the new handle; on failure it is empty.
CHbError KYCreateFile(auto_handle& file, const std::string& path, DWORD access, DWORD share,
                      DWORD disposition);

// Reads up to `size` bytes; `bytesRead` is 0 at the end of the file, which is success.
CHbError KYReadFile(HANDLE file, void* buffer, DWORD size, DWORD& bytesRead);

// Writes all `size` bytes; `bytesWritten` tells how many went out, also on failure.
CHbError KYWriteFile(HANDLE file, const void* buffer, DWORD size, DWORD& bytesWritten);

// Moves the file position (FILE_BEGIN, FILE_CURRENT, FILE_END); `newPosition` may be null.
// A zero move from FILE_CURRENT tells the position.
CHbError KYSetFilePointer(HANDLE file, LONGLONG distance, DWORD moveMethod,
                          LONGLONG* newPosition = nullptr);

// Cuts (or extends with zeros) the file to `size` bytes; the position stays.
CHbError KYTruncateFile(HANDLE file, ULONGLONG size);

// Starts a search ("/folder/*.log", see kyos::findFirstFile): `find` holds the search
// and `data` the first entry. No match is ERROR_FILE_NOT_FOUND.
CHbError KYFindFirstFile(auto_find_handle& find, const std::string& pattern, kyos::FindData& data);

// The next entry; ERROR_NO_MORE_FILES after the last.
CHbError KYFindNextFile(HANDLE find, kyos::FindData& data);

// Deletes one file; a missing file is ERROR_FILE_NOT_FOUND.
CHbError RemoveFile(const std::string& path);

// Deletes the files (not folders) in `folder` whose names match `pattern` ("*.log"); an
// empty `folder` is the current folder.
// No match is success, and so is a file that someone else deleted meanwhile. A file that
// cannot be deleted does not stop the others: the result is the first such failure. A
// missing folder is ERROR_PATH_NOT_FOUND; an empty pattern ERROR_INVALID_PARAMETER.
CHbError DeleteMatchingFiles(const std::string& folder, const std::string& pattern);

// Creates the folder and every missing folder above it; folders that exist are fine
// (also when another process creates them at the same moment). A file standing where a
// folder should be is ERROR_DIRECTORY.
CHbError CreateFoldersIteratively(const std::string& path);

}  // namespace FXFile
