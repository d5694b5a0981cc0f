#include "kylib/platforminfo/KYPI_Components.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "siblings/KyFocus/KYPI_Focus.h"

namespace {

// The locales value is read into a buffer of this size first, and a larger one (twice
// as large each time) while the store says the value does not fit.
constexpr int kFirstLocalesRead = 1024;
// A locale list is a few dozen names; anything past this is not one.
constexpr int kMaxLocalesRead = 16 << 20;

// The product type whose temporary folder is "dTEMP".
constexpr int kProductTypeWithTempDir = 2;

}  // namespace

// =========================================================================================
// KYPI_EventManager

int KYPI_EventManager::getEvMsgLocalesToRedirect(std::set<std::string>& locales) {
    const kypi::Row& row = kypi::kRows[kypi::EventManager_sEvMsgLocalesToRedirect];
    locales.clear();
    std::vector<char> buffer;
    for (int size = kFirstLocalesRead; size <= kMaxLocalesRead; size *= 2) {
        buffer.assign(static_cast<std::size_t>(size), '\0');
        int length = size;
        if (m_store.getMultiString(row.section, row.name, buffer.data(), &length)) {
            KYPlatformInfo::FromMultiSZStringToSet(buffer.data(), length, locales);
            return 1;
        }
        if (m_store.getRegError() != -4)
            break;
    }
    copyStoreError();
    return 0;
}

int KYPI_EventManager::setEvMsgLocalesToRedirect(const std::set<std::string>& locales) {
    const kypi::Row& row = kypi::kRows[kypi::EventManager_sEvMsgLocalesToRedirect];
    std::size_t bytes = 2;
    for (const std::string& locale : locales)
        bytes += locale.size() + 1;
    std::vector<char> buffer(bytes, '\0');
    int length = static_cast<int>(bytes);
    if (!KYPlatformInfo::FromSetToMultiSZString(locales, buffer.data(), length) ||
        !m_store.setMultiString(row.section, row.name, buffer.data(), length)) {
        copyStoreError();
        return 0;
    }
    return 1;
}

// =========================================================================================
// KYPI_Base

std::string KYPI_Base::getSarvexTempDirectory(bool refresh) {
    if (KYPI_Focus::getProductType() == kProductTypeWithTempDir)
        return text<kypi::Base_dTEMP>(refresh);
    return text<kypi::Base_dSARVEXTEMPDIR>(refresh);
}

std::string KYPI_Base::getPassPhraseDirectory(bool refresh) {
    std::string home = getHomeDirectory(refresh);
    if (home.empty())
        return home;
    // A folder of this machine's file system, so the native separator.
    if (home.back() != '/')
        home += '/';
    return home + "PF";
}

unsigned long KYPI_Base::getVersionNumber(bool refresh) {
    const std::string version = getVersion(refresh);
    static constexpr unsigned long kWeights[] = {1000000, 1000, 1};
    unsigned long number = 0;
    std::size_t at = 0;
    for (unsigned long weight : kWeights) {
        if (at >= version.size() || !std::isdigit(static_cast<unsigned char>(version[at])))
            break;
        unsigned long part = 0;
        while (at < version.size() && std::isdigit(static_cast<unsigned char>(version[at]))) {
            part = part * 10 + static_cast<unsigned long>(version[at] - '0');
            if (part > 999)
                part = 999;
            ++at;
        }
        number += part * weight;
        if (at >= version.size() || version[at] != '.')
            break;
        ++at;
    }
    return number;
}

// =========================================================================================
// KYPI_Runtime

unsigned long KYPI_Runtime::getPortNumber(const char* service) {
    unsigned long port = 0;
    if (service == nullptr || *service == '\0') {
        setError(ERROR_INVALID_PARAMETER, "KYPI_Runtime::getPortNumber", "Invalid arguments.");
        return 0;
    }
    if (!m_store.getNumber(m_section, service, &port)) {
        copyStoreError();
        return 0;
    }
    return port;
}

int KYPI_Runtime::setPortNumber(const char* service, unsigned long port) {
    if (service == nullptr || *service == '\0') {
        setError(ERROR_INVALID_PARAMETER, "KYPI_Runtime::setPortNumber", "Invalid arguments.");
        return 0;
    }
    if (!m_store.setNumber(m_section, service, port)) {
        copyStoreError();
        return 0;
    }
    return 1;
}

int KYPI_Runtime::delPortNumber(const char* service) {
    if (service == nullptr || *service == '\0') {
        setError(ERROR_INVALID_PARAMETER, "KYPI_Runtime::delPortNumber", "Invalid arguments.");
        return 0;
    }
    if (!m_store.deleteField(m_section, service) && m_store.getRegError() != -2 &&
        m_store.getRegError() != -3) {
        copyStoreError();
        return 0;
    }
    return 1;
}

// =========================================================================================
// KYPI_Production

int KYPI_Production::getProductionDataFolder(std::string& folder) {
    if (!text<kypi::Production_sPRODUCTIONDATADIR>(folder))
        return 0;
    if (folder.empty()) {
        setError(ERROR_INVALID_DATA, "KYPI_Production::getProductionDataFolder",
                 "Production Data Folder Path is empty");
        return 0;
    }
    return 1;
}

int KYPI_Production::registerMount(const char* name, const char* path) {
    if (name == nullptr || *name == '\0' || path == nullptr) {
        setError(ERROR_INVALID_PARAMETER, "KYPI_Production::registerMount", "Invalid arguments.");
        return 0;
    }
    if (!m_store.setString(m_section, name, path)) {
        copyStoreError();
        return 0;
    }
    return 1;
}

int KYPI_Production::unregisterMount(const char* name) {
    if (name == nullptr || *name == '\0') {
        setError(ERROR_INVALID_PARAMETER, "KYPI_Production::unregisterMount", "Invalid arguments.");
        return 0;
    }
    if (!m_store.deleteField(m_section, name)) {
        copyStoreError();
        return 0;
    }
    return 1;
}

int KYPI_Production::getMounts(std::map<std::string, std::string>& mounts) {
    mounts.clear();
    const std::string key = std::string("~") + m_section;
    if (!m_store.getRegValues(key.c_str(), &mounts)) {
        copyStoreError();
        return 0;
    }
    return 1;
}

// =========================================================================================
// KYPI_Library

KYPI_Library::KYPI_Library(const char* libraryField, const char* entryField, EvDebug* debug)
    : KYPI_StoreComponent("Library", debug),
      m_libraryField(libraryField != nullptr ? libraryField : ""),
      m_entryField(entryField != nullptr ? entryField : "") {}

namespace {

// The check of isTrustedLibraryFile on an open descriptor of the file.
bool isTrustedDescriptor(int fd, std::string& reason) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        reason = std::string("cannot be examined: ") + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        reason = "is not a regular file";
        return false;
    }
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        reason = "is owned by another user";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        reason = "is writable by group or others";
        return false;
    }
    return true;
}

// Opens the file itself, never a link to it.
int openLibraryFile(const std::string& path, std::string& reason) {
    if (path.empty() || path[0] != '/') {
        reason = "is not an absolute path";
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        reason = errno == ELOOP ? "is a symbolic link"
                                : std::string("cannot be opened: ") + std::strerror(errno);
    return fd;
}

}  // namespace

bool KYPI_Library::isTrustedLibraryFile(const std::string& path, std::string& reason) {
    const int fd = openLibraryFile(path, reason);
    if (fd < 0)
        return false;
    const bool trusted = isTrustedDescriptor(fd, reason);
    ::close(fd);
    return trusted;
}

void* KYPI_Library::getEntryPoint() {
    static constexpr const char* kFunction = "KYPI_Library::getEntryPoint";
    std::string entry;
    if (m_entryField.empty() || !m_store.getString(m_section, m_entryField.c_str(), &entry) ||
        entry.empty()) {
        setError(ERROR_PROC_NOT_FOUND, kFunction,
                 ("Failed to get entry name for " + m_entryField).c_str());
        return nullptr;
    }
    if (!m_library.IsLoaded()) {
        std::string path;
        if (m_libraryField.empty() ||
            !m_store.getString(m_section, m_libraryField.c_str(), &path) || path.empty()) {
            setError(ERROR_MOD_NOT_FOUND, kFunction,
                     ("Failed to get library name for " + m_libraryField).c_str());
            return nullptr;
        }
        std::string reason;
        const int fd = openLibraryFile(path, reason);
        if (fd < 0 || !isTrustedDescriptor(fd, reason)) {
            if (fd >= 0)
                ::close(fd);
            setError(ERROR_ACCESS_DENIED, kFunction,
                     ("Refused to load library " + path + ": it " + reason).c_str());
            return nullptr;
        }
        // Loaded through the descriptor that was checked, so the file cannot be replaced
        // between the check and the load.
        const CHbError loaded = m_library.Load("/proc/self/fd/" + std::to_string(fd));
        ::close(fd);
        m_libraryPath = path;
        if (!m_library.IsLoaded()) {
            setError(ERROR_MOD_NOT_FOUND, kFunction,
                     ("Failed to load library " + path + ": " + loaded.AsString()).c_str());
            return nullptr;
        }
    }
    void* address = m_library.GetAddress(entry);
    if (address == nullptr) {
        setError(
            ERROR_PROC_NOT_FOUND, kFunction,
            ("Failed to get proc address of " + entry + " in library " + m_libraryPath).c_str());
    }
    return address;
}

// =========================================================================================
// KYPI_CommNetChild

int KYPI_CommNetChild::getRegistration(std::string& registration) {
    registration.clear();
    KYPI_Library library(kLibraryField, kEntryField);
    library.getPID()->setFocus(m_store.getFocus());
    using Entry = int (*)(char*, int);
    auto entry = reinterpret_cast<Entry>(library.getEntryPoint());
    if (entry == nullptr) {
        m_lastError = library.getLastError();
        m_lastErrorMsg = library.getLastErrorMsg();
        return 0;
    }
    static constexpr int kRegistrationBuffer = 4096;
    std::vector<char> buffer(kRegistrationBuffer, '\0');
    const int length = entry(buffer.data(), kRegistrationBuffer);
    if (length < 0 || length >= kRegistrationBuffer) {
        setError(ERROR_INVALID_DATA, "KYPI_CommNetChild::getRegistration",
                 "The gateway library gave no registration.");
        return 0;
    }
    registration.assign(buffer.data(), static_cast<std::size_t>(length));
    return 1;
}
