#include "kylib/platforminfo/KYPI_PlatformBase.h"

#include <cstring>

#include "os/registry/Registry.h"

namespace {

// Central-server names are host names; the store wants buffers of at least 256 bytes.
constexpr int kNameBuffer = 1024;

}  // namespace

// =========================================================================================
// KYPI_PlatformBase

KYPI_PlatformBase::KYPI_PlatformBase(KYPI_PlatformType type, EvDebug* debug) : m_base(debug) {
    initialize(static_cast<unsigned long>(type));
}

KYPI_PlatformBase::KYPI_PlatformBase(int type, EvDebug* debug) : m_base(debug) {
    initialize(validatePIDPlatformType(static_cast<unsigned long>(type)));
}

void KYPI_PlatformBase::initialize(unsigned long type) {
    // Type 0 is the installation's: read when first needed, so that construction stays
    // free of store reads.
    m_platformType = validatePIDPlatformType(type);
    m_platformTypeKnown = m_platformType != 0;
}

unsigned long KYPI_PlatformBase::validatePIDPlatformType(unsigned long type) {
    switch (type) {
        case 1:
        case 2:
        case 4:
        case 8:
        case 16:
        case 128:
        case 256:
            return type;
        default:
            return 0;
    }
}

unsigned long KYPI_PlatformBase::convertEnumToPIDPlatformType(KYPI_PlatformType type) {
    return validatePIDPlatformType(static_cast<unsigned long>(type));
}

KYPI_PlatformBase::KYPI_PlatformType KYPI_PlatformBase::convertPIDToEnumPlatformType(
    unsigned long type) {
    return static_cast<KYPI_PlatformType>(validatePIDPlatformType(type));
}

unsigned long KYPI_PlatformBase::getClassPIDPlatformType() {
    if (!m_platformTypeKnown) {
        const unsigned long bits = valueStore().getKYPlatformType();
        if (bits & KYPI_PLATFORM_TYPE_ZENTRA)
            m_platformType = KYPI_PLATFORM_TYPE_ZENTRA;
        else if (bits & KYPI_PLATFORM_TYPE_COMMCLIENT)
            m_platformType = KYPI_PLATFORM_TYPE_COMMCLIENT;
        else if (bits & KYPI_PLATFORM_TYPE_MEDIAAGENT)
            m_platformType = KYPI_PLATFORM_TYPE_MEDIAAGENT;
        else
            m_platformType = 0;
        // An installation without a role may get one later: ask again next time.
        m_platformTypeKnown = m_platformType != 0;
        if (bits == 0)
            copyStoreError();
    }
    return m_platformType;
}

KYPI_PlatformBase::KYPI_PlatformType KYPI_PlatformBase::getClassEnumPlatformType() {
    return convertPIDToEnumPlatformType(getClassPIDPlatformType());
}

bool KYPI_PlatformBase::verifyCurrentPlatformType(unsigned long type) {
    KYPlatformInfo& store = valueStore();
    const unsigned long bits = store.getKYPlatformType();
    if (bits == 0 && store.getRegError() != 0) {
        copyStoreError();
        return false;
    }
    // Type 0 names no role, so no installation "has" it.
    if (type == 0 || (bits & type) != type) {
        m_lastError = kErrWrongPlatform;
        return false;
    }
    return true;
}

const char* KYPI_PlatformBase::roleSection() {
    switch (getClassPIDPlatformType()) {
        case KYPI_PLATFORM_TYPE_ZENTRA:
            return "Zentra";
        case KYPI_PLATFORM_TYPE_MEDIAAGENT:
            return "MediaAgent";
        case KYPI_PLATFORM_TYPE_COMMCLIENT:
            return "zOvivEruva";
        case KYPI_PLATFORM_TYPE_COMMNET:
            return "CommNet";
        default:
            return nullptr;
    }
}

bool KYPI_PlatformBase::clientSection(const char* client, const char* below, std::string& section) {
    const char* name = clientOrFocus(client);
    if (!isKeyNamePart(name)) {
        setError(ERROR_INVALID_PARAMETER, "KYPI_PlatformBase::clientSection",
                 "Invalid client name passed as input.");
        return false;
    }
    section = std::string("Machines\\") + name;
    if (below != nullptr) {
        section += '\\';
        section += below;
    }
    return true;
}

unsigned long KYPI_PlatformBase::cachedFor(
    const std::vector<std::pair<std::string, unsigned long>>& cache, const std::string& key) {
    for (const auto& entry : cache)
        if (entry.first == key)
            return entry.second;
    return 0;
}

void KYPI_PlatformBase::cacheFor(std::vector<std::pair<std::string, unsigned long>>& cache,
                                 const std::string& key, unsigned long value) {
    for (auto& entry : cache) {
        if (entry.first == key) {
            entry.second = value;
            return;
        }
    }
    cache.emplace_back(key, value);
}

unsigned long KYPI_PlatformBase::readInstallStatus(
    std::vector<std::pair<std::string, unsigned long>>& cache, const std::string& section,
    bool refresh) {
    if (!refresh) {
        const unsigned long cached = cachedFor(cache, section);
        if (cached != 0)
            return cached;
    }
    unsigned long status = 0;
    if (!valueStore().getNumber(section.c_str(), "nINSTALL", &status)) {
        copyStoreError();
        status = 0;
    }
    cacheFor(cache, section, status);
    return status;
}

unsigned long KYPI_PlatformBase::getInstallStatus(const char* client, bool refresh) {
    std::string section;
    // Checked whichever section the role reads: a bad name is a caller's fault either way.
    if (client != nullptr && !isKeyNamePart(client)) {
        setError(ERROR_INVALID_PARAMETER, "KYPI_PlatformBase::getInstallStatus",
                 "Invalid client name passed as input.");
        return 0;
    }
    switch (getClassPIDPlatformType()) {
        case KYPI_PLATFORM_TYPE_ZENTRA:
            section = "Zentra";
            break;
        case KYPI_PLATFORM_TYPE_MEDIAAGENT:
            if (!clientSection(client, "MediaAgent", section))
                return 0;
            break;
        case KYPI_PLATFORM_TYPE_COMMCLIENT:
            section = "zOvivEruva";
            break;
        default:
            setError(kErrWrongPlatform, "KYPI_PlatformBase::getInstallStatus",
                     "Invalid platform type.");
            return 0;
    }
    return readInstallStatus(m_installStatus, section, refresh);
}

std::string KYPI_PlatformBase::getHomeDirectory(bool refresh) {
    if (!refresh && !m_homeDirectory.empty())
        return m_homeDirectory;
    const char* section = roleSection();
    if (section == nullptr) {
        setError(kErrWrongPlatform, "KYPI_PlatformBase::getHomeDirectory",
                 "Invalid platform type.");
        return std::string();
    }
    std::string home;
    if (!valueStore().getDirectory(section, "dHOME", &home)) {
        copyStoreError();
        home.clear();
    }
    m_homeDirectory = home;
    return home;
}

std::string KYPI_PlatformBase::getConfigDirectoryBase(bool refresh) {
    if (!refresh && !m_configDirectory.empty())
        return m_configDirectory;
    const unsigned long type = getClassPIDPlatformType();
    if (type != KYPI_PLATFORM_TYPE_MEDIAAGENT && type != KYPI_PLATFORM_TYPE_COMMCLIENT) {
        setError(kErrWrongPlatform, "KYPI_PlatformBase::getConfigDirectoryBase",
                 "Invalid platform type.");
        return std::string();
    }
    std::string directory;
    if (!valueStore().getDirectory(roleSection(), "dCONFIGDIR", &directory)) {
        copyStoreError();
        directory.clear();
    }
    m_configDirectory = directory;
    return directory;
}

int KYPI_PlatformBase::getZentraOverride(bool refresh) {
    if (!refresh && m_zentraOverride != -1)
        return m_zentraOverride;
    const unsigned long type = getClassPIDPlatformType();
    if (type == KYPI_PLATFORM_TYPE_ZENTRA) {
        m_zentraOverride = 0;
        return 0;
    }
    if (type != KYPI_PLATFORM_TYPE_MEDIAAGENT && type != KYPI_PLATFORM_TYPE_COMMCLIENT) {
        setError(kErrWrongPlatform, "KYPI_PlatformBase::getZentraOverride",
                 "Invalid platform type.");
        return -1;
    }
    KYPlatformInfo& store = valueStore();
    std::string host;
    if (store.getString(roleSection(), "sZSHOSTNAME", &host)) {
        m_zentraOverride = 1;
    } else if (store.lastFoundNothing()) {
        m_zentraOverride = 0;
    } else {
        copyStoreError();
        return -1;
    }
    return m_zentraOverride;
}

int KYPI_PlatformBase::readServerName(std::string& name, const std::string& remoteDomain,
                                      std::string& cache, const ServerNameGetters& getters,
                                      const char* function) {
    name.clear();
    if (remoteDomain.empty() && !cache.empty()) {
        name = cache;
        return 1;
    }
    ServerNameGetter getter = nullptr;
    switch (getClassPIDPlatformType()) {
        case KYPI_PLATFORM_TYPE_ZENTRA:
            getter = getters.zentra;
            break;
        case KYPI_PLATFORM_TYPE_MEDIAAGENT:
            getter = getters.mediaAgent;
            break;
        case KYPI_PLATFORM_TYPE_COMMCLIENT:
            getter = getters.commClient;
            break;
        default:
            setError(kErrWrongPlatform, function, "Invalid platform type.");
            return 0;
    }
    char buffer[kNameBuffer] = {};
    if (!(valueStore().*getter)(buffer, kNameBuffer, remoteDomain)) {
        copyStoreError();
        return 0;
    }
    name = buffer;
    if (remoteDomain.empty())
        cache = name;
    return 1;
}

int KYPI_PlatformBase::getZentraHostName(std::string& name, const std::string& remoteDomain) {
    static constexpr ServerNameGetters kGetters{&KYPlatformInfo::getZentraHostName,
                                                &KYPlatformInfo::getMediaAgentZSHostName,
                                                &KYPlatformInfo::getCommClientZSHostName};
    return readServerName(name, remoteDomain, m_zentraHostName, kGetters,
                          "KYPI_PlatformBase::getZentraHostName");
}

int KYPI_PlatformBase::getZentraClientName(std::string& name, const std::string& remoteDomain) {
    static constexpr ServerNameGetters kGetters{&KYPlatformInfo::getZentraClientName,
                                                &KYPlatformInfo::getMediaAgentZSClientName,
                                                &KYPlatformInfo::getCommClientZSClientName};
    return readServerName(name, remoteDomain, m_zentraClientName, kGetters,
                          "KYPI_PlatformBase::getZentraClientName");
}

KYPassword* KYPI_PlatformBase::getNetworkPassword() {
    if (!m_password)
        m_password.emplace();
    KYPlatformInfo& store = valueStore();
    int read = 0;
    switch (getClassPIDPlatformType()) {
        case KYPI_PLATFORM_TYPE_ZENTRA:
            read = store.getZentraNetworkPassword(&*m_password);
            break;
        case KYPI_PLATFORM_TYPE_MEDIAAGENT:
            read = store.getMediaAgentNetworkPassword(&*m_password);
            break;
        case KYPI_PLATFORM_TYPE_COMMCLIENT:
            read = store.getCommClientNetworkPassword(&*m_password);
            break;
        default:
            setError(kErrWrongPlatform, "KYPI_PlatformBase::getNetworkPassword",
                     "Invalid platform type.");
            return nullptr;
    }
    if (!read) {
        copyStoreError();
        return nullptr;
    }
    return &*m_password;
}

int KYPI_PlatformBase::setNetworkPassword(const char* password, bool isProtected) {
    static constexpr const char* kFunction = "KYPI_PlatformBase::setNetworkPassword";
    if (password == nullptr) {
        setError(ERROR_INVALID_PARAMETER, kFunction, "Invalid buffer passed as input.");
        return 0;
    }
    KYPassword protectedPassword;
    int made;
    if (isProtected) {
        made = protectedPassword.putEncPwd(password);
    } else if (KYPassword::isV8EncryptionEnabled()) {
        secure_basic_string<char> out;
        made = protectedPassword.encryptV8(secure_basic_string<char>(password), out);
    } else {
        made = protectedPassword.encrypt(password);
    }
    if (!made) {
        setError(protectedPassword.getLastError(), kFunction,
                 "Failed to protect the network password.");
        return 0;
    }
    KYPlatformInfo& store = valueStore();
    int written = 0;
    switch (getClassPIDPlatformType()) {
        case KYPI_PLATFORM_TYPE_ZENTRA:
            written = store.setZentraNetworkPassword(&protectedPassword);
            break;
        case KYPI_PLATFORM_TYPE_MEDIAAGENT:
            written = store.setMediaAgentNetworkPassword(&protectedPassword);
            break;
        case KYPI_PLATFORM_TYPE_COMMCLIENT:
            written = store.setCommClientNetworkPassword(&protectedPassword);
            break;
        default:
            setError(kErrWrongPlatform, kFunction, "Invalid platform type.");
            return 0;
    }
    if (!written)
        copyStoreError();
    return written;
}

int KYPI_PlatformBase::cnGetNetworkPasswordOnChild(const char* name, KYPassword* password) {
    const int done = valueStore().cnGetNetworkPasswordOnChild(name, password);
    if (!done)
        copyStoreError();
    return done;
}

int KYPI_PlatformBase::cnSetNetworkPasswordOnChild(const char* name, KYPassword* password) {
    const int done = valueStore().cnSetNetworkPasswordOnChild(name, password);
    if (!done)
        copyStoreError();
    return done;
}

int KYPI_PlatformBase::cnGetNetworkPasswordOnParent(const char* name, KYPassword* password) {
    const int done = valueStore().cnGetNetworkPasswordOnParent(name, password);
    if (!done)
        copyStoreError();
    return done;
}

int KYPI_PlatformBase::cnGetSelfNetworkPasswordOnParent(const char* name, KYPassword* password) {
    const int done = valueStore().cnGetSelfNetworkPasswordOnParent(name, password);
    if (!done)
        copyStoreError();
    return done;
}

int KYPI_PlatformBase::wideEncrypt(const wchar_t* plainText, std::string& protectedText) {
    protectedText.clear();
    KYPassword password;
    if (plainText == nullptr || !password.encrypt(plainText)) {
        setError(plainText == nullptr ? ERROR_INVALID_PARAMETER : password.getLastError(),
                 "KYPI_PlatformBase::wideEncrypt", "Failed to encrypt the text.");
        return 0;
    }
    protectedText = password.getProtectedText();
    return 1;
}

int KYPI_PlatformBase::wideDecrypt(const char* protectedText,
                                   secure_basic_string<wchar_t>& plainText) {
    plainText.clear();
    KYPassword password;
    if (protectedText == nullptr ||
        !password.decrypt(secure_basic_string<char>(protectedText), plainText)) {
        setError(protectedText == nullptr ? ERROR_INVALID_PARAMETER : password.getLastError(),
                 "KYPI_PlatformBase::wideDecrypt", "Failed to decrypt the text.");
        return 0;
    }
    return 1;
}

void KYPI_PlatformBase::forgetCaches() {
    KYPI_ValueState::forgetCaches();
    m_base.forgetCaches();
    m_installStatus.clear();
    m_homeDirectory.clear();
    m_configDirectory.clear();
    m_zentraHostName.clear();
    m_zentraClientName.clear();
    m_zentraOverride = -1;
    if (m_platformType == 0)
        m_platformTypeKnown = false;
}

// =========================================================================================
// KYPI_CommClient

bool KYPI_CommClient::getJobResultsDirectory(const char* client, std::string& directory) {
    directory.clear();
    if (validatePIDPlatformType(getClassPIDPlatformType()) == 0) {
        setError(kErrWrongPlatform, "KYPI_CommClient::getJobResultsDirectory",
                 "Invalid platform type.");
        return false;
    }
    return text<kypi::CommClient_dJOBRESULTSDIR>(directory, false, client);
}

int KYPI_CommClient::GetRamDrive(const char*, std::string& drive) {
    drive.clear();
    setError(ERROR_NOT_SUPPORTED, "KYPI_CommClient::GetRamDrive",
             "RAM drives are not supported on this platform.");
    return 0;
}

int KYPI_CommClient::DropRamDrive(const char*) {
    setError(ERROR_NOT_SUPPORTED, "KYPI_CommClient::DropRamDrive",
             "RAM drives are not supported on this platform.");
    return 0;
}

int KYPI_CommClient::dropRamDriveIfStale(const char*) {
    setError(ERROR_NOT_SUPPORTED, "KYPI_CommClient::dropRamDriveIfStale",
             "RAM drives are not supported on this platform.");
    return 0;
}
