#include "siblings/HbUtils/FXFile.h"

#include "os/LastError.h"
#include "siblings/HbUtils/FXErrorUtil.h"
#include "siblings/HbUtils/FXPath.h"

namespace FXFile {

CHbError KYCreateFile(auto_handle& file, const std::string& path, DWORD access, DWORD share,
                      DWORD disposition) {
    HANDLE handle = kyos::createFile(path, access, share, disposition);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD code = kyos::lastError();
        file.reset();
        return FXErrorUtil::ErrorWin32(FX_LOCATION("FXFile::KYCreateFile"), code,
                                       "Couldn't open [%s]", path.c_str());
    }
    file.reset(handle);
    return CHbError::Success();
}

CHbError KYReadFile(HANDLE file, void* buffer, DWORD size, DWORD& bytesRead) {
    if (!kyos::readFile(file, buffer, size, &bytesRead)) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION("FXFile::KYReadFile"), kyos::lastError(),
                                       "Couldn't read %lu bytes", static_cast<unsigned long>(size));
    }
    return CHbError::Success();
}

CHbError KYWriteFile(HANDLE file, const void* buffer, DWORD size, DWORD& bytesWritten) {
    if (!kyos::writeFile(file, buffer, size, &bytesWritten)) {
        return FXErrorUtil::ErrorWin32(
            FX_LOCATION("FXFile::KYWriteFile"), kyos::lastError(), "Wrote %lu of %lu bytes",
            static_cast<unsigned long>(bytesWritten), static_cast<unsigned long>(size));
    }
    return CHbError::Success();
}

CHbError KYSetFilePointer(HANDLE file, LONGLONG distance, DWORD moveMethod, LONGLONG* newPosition) {
    if (!kyos::setFilePointer(file, distance, newPosition, moveMethod)) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION("FXFile::KYSetFilePointer"), kyos::lastError(),
                                       "Couldn't move by %lld from %lu",
                                       static_cast<long long>(distance),
                                       static_cast<unsigned long>(moveMethod));
    }
    return CHbError::Success();
}

CHbError KYTruncateFile(HANDLE file, ULONGLONG size) {
    if (!kyos::setFileSize(file, size)) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION("FXFile::KYTruncateFile"), kyos::lastError(),
                                       "Couldn't set the size to %llu",
                                       static_cast<unsigned long long>(size));
    }
    return CHbError::Success();
}

CHbError KYFindFirstFile(auto_find_handle& find, const std::string& pattern, kyos::FindData& data) {
    HANDLE handle = kyos::findFirstFile(pattern, &data);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD code = kyos::lastError();
        find.reset();
        return FXErrorUtil::ErrorWin32(FX_LOCATION("FXFile::KYFindFirstFile"), code,
                                       "Nothing found for [%s]", pattern.c_str());
    }
    find.reset(handle);
    return CHbError::Success();
}

CHbError KYFindNextFile(HANDLE find, kyos::FindData& data) {
    if (!kyos::findNextFile(find, &data)) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION("FXFile::KYFindNextFile"), kyos::lastError(),
                                       nullptr);
    }
    return CHbError::Success();
}

CHbError RemoveFile(const std::string& path) {
    if (!kyos::deleteFile(path)) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION("FXFile::RemoveFile"), kyos::lastError(),
                                       "Couldn't delete [%s]", path.c_str());
    }
    return CHbError::Success();
}

CHbError DeleteMatchingFiles(const std::string& folder, const std::string& pattern) {
    // Without a name pattern the search would name the folder itself, in its parent.
    if (pattern.empty()) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION("FXFile::DeleteMatchingFiles"),
                                       ERROR_INVALID_PARAMETER, "Empty pattern for [%s]",
                                       folder.c_str());
    }
    std::string search = FXPath::Append(folder, pattern);
    // The pattern may name a subfolder of its own ("logs/*.old"). A search without any
    // folder runs in the current one, and its entries are named as they are found.
    const std::string::size_type slash = search.find_last_of(FXPath::kSeparator);
    const std::string searchFolder = slash == std::string::npos ? std::string()
                                     : slash == 0               ? std::string(1, FXPath::kSeparator)
                                                                : search.substr(0, slash);
    auto_find_handle find;
    kyos::FindData entry;
    CHbError err = KYFindFirstFile(find, search, entry);
    if (err.Is(ERROR_FILE_NOT_FOUND))
        return CHbError::Success();
    if (err.IsError())
        return err.Push(FX_LOCATION("FXFile::DeleteMatchingFiles"));
    CHbError firstFailure;
    do {
        if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            continue;
        CHbError removed = RemoveFile(FXPath::Append(searchFolder, entry.name));
        if (removed.IsError() && removed.IsNot(ERROR_FILE_NOT_FOUND) && !firstFailure.IsError()) {
            firstFailure = removed;
        }
    } while (!(err = KYFindNextFile(find.get(), entry)).IsError());
    if (err.IsNot(ERROR_NO_MORE_FILES) && !firstFailure.IsError())
        firstFailure = err;
    return firstFailure.Push(FX_LOCATION("FXFile::DeleteMatchingFiles"));
}

CHbError CreateFoldersIteratively(const std::string& path) {
    if (path.empty()) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION("FXFile::CreateFoldersIteratively"),
                                       ERROR_INVALID_PARAMETER, "Empty path");
    }
    // Walk down from the top so that each folder is created below one that exists.
    std::string::size_type end = path.find_first_not_of(FXPath::kSeparator);
    while (end != std::string::npos) {
        end = path.find(FXPath::kSeparator, end);
        std::string folder = path.substr(0, end);
        if (end != std::string::npos)
            end = path.find_first_not_of(FXPath::kSeparator, end);
        if (kyos::createDirectory(folder))
            continue;
        DWORD code = kyos::lastError();
        DWORD attributes = kyos::getFileAttributes(folder);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            continue;
        }
        if (attributes != INVALID_FILE_ATTRIBUTES)
            code = ERROR_DIRECTORY;
        return FXErrorUtil::ErrorWin32(FX_LOCATION("FXFile::CreateFoldersIteratively"), code,
                                       "Couldn't create [%s]", folder.c_str());
    }
    return CHbError::Success();
}

}  // namespace FXFile
