#include <cstring>

#include "kylib/platforminfo/KYPI_AgentTypes.h"
#include "kylib/platforminfo/KYPI_PlatformBase.h"
#include "os/registry/Registry.h"

// =========================================================================================
// KYPI_ApplicationAgentBase

KYPI_ApplicationAgentBase::KYPI_ApplicationAgentBase(KYPI_ApplicationAgentType type, EvDebug* debug)
    : KYPI_CommClient(KYPI_PLATFORM_TYPE_COMMCLIENT, debug), m_agentType(type) {
    setSectionName();
}

KYPI_ApplicationAgentBase::KYPI_ApplicationAgentBase(int jobManagerType, EvDebug* debug)
    : KYPI_CommClient(KYPI_PLATFORM_TYPE_COMMCLIENT, debug),
      m_agentType(convertAMToEnumAAT(jobManagerType)) {
    setSectionName();
}

int KYPI_ApplicationAgentBase::convertAMToEnumAAT(int jobManagerType) {
    return kypi_agent::convertAMToEnumAAT(jobManagerType);
}

int KYPI_ApplicationAgentBase::convertEnumToAMAAT(int type) {
    return kypi_agent::convertEnumToAMAAT(type);
}

void KYPI_ApplicationAgentBase::setSectionName() {
    // A table look-up, no store access. Type 0 and types without a row have no section:
    // such an agent must not fall back to the instance root or the client's key.
    m_agentSection = m_agentType != 0 ? kypi_agent::sectionName(m_agentType) : nullptr;
}

const char* KYPI_ApplicationAgentBase::getAATName() const {
    const char* name = kypi_agent::displayName(m_agentType);
    return name != nullptr ? name : "";
}

bool KYPI_ApplicationAgentBase::agentSection(const char* client, std::string& section) {
    if (m_agentSection == nullptr || *m_agentSection == '\0') {
        setError(kErrWrongPlatform, "KYPI_ApplicationAgentBase::agentSection",
                 ("Agent type " + std::to_string(m_agentType) + " has no section.").c_str());
        return false;
    }
    return clientSection(client, m_agentSection, section);
}

std::string KYPI_ApplicationAgentBase::getAgentDirectory(const char* client) {
    std::string section, directory;
    if (!agentSection(client, section))
        return directory;
    if (!valueStore().getDirectory(section.c_str(), "dHOME", &directory)) {
        copyStoreError();
        directory.clear();
    }
    return directory;
}

int KYPI_ApplicationAgentBase::setAgentDirectory(const char* client, const char* directory) {
    std::string section;
    if (!agentSection(client, section))
        return 0;
    const int length = directory != nullptr ? static_cast<int>(std::strlen(directory)) + 1 : 0;
    if (!valueStore().setDirectory(section.c_str(), "dHOME", directory, length)) {
        copyStoreError();
        return 0;
    }
    return 1;
}

std::string KYPI_ApplicationAgentBase::getAgentVersion(const char* client) {
    std::string section, version;
    if (!agentSection(client, section))
        return version;
    if (!valueStore().getString(section.c_str(), "sVERSION", &version)) {
        copyStoreError();
        version.clear();
    }
    return version;
}

unsigned long KYPI_ApplicationAgentBase::getAgentInstallStatus(const char* client, bool refresh) {
    std::string section;
    if (!agentSection(client, section))
        return 0;
    return readInstallStatus(m_agentInstallStatus, section, refresh);
}

int KYPI_ApplicationAgentBase::setAgentInstallStatus(const char* client, unsigned long status) {
    std::string section;
    if (!agentSection(client, section))
        return 0;
    if (!valueStore().setNumber(section.c_str(), "nINSTALL", status)) {
        copyStoreError();
        cacheFor(m_agentInstallStatus, section, 0);
        return 0;
    }
    cacheFor(m_agentInstallStatus, section, status);
    return 1;
}

void KYPI_ApplicationAgentBase::forgetCaches() {
    KYPI_CommClient::forgetCaches();
    m_agentInstallStatus.clear();
}

// =========================================================================================
// KYPI_FileSystemAgent, KYPI_NASAgent

bool KYPI_FileSystemAgent::isUnlinkToReplace() {
    return getUNLINKTOREPLACE() == "yes";
}

int KYPI_NASAgent::configNASClient(const char* client, const char* host) {
    static constexpr const char* kFunction = "KYPI_NASAgent::configNASClient";
    if (client == nullptr || *client == '\0' || host == nullptr || *host == '\0') {
        setError(ERROR_INVALID_PARAMETER, kFunction,
                 "One or more of the input arguments is INVALID.");
        return 0;
    }
    if (!isKeyNamePart(client)) {
        setError(ERROR_INVALID_PARAMETER, kFunction, "Invalid client name passed as input.");
        return 0;
    }
    return inOneTransaction(kFunction, "Failed to commit the NAS client.", [&] {
        if (!setCLIENTNAME(client, client) || !setHOSTNAME(client, host))
            return false;
        return true;
    });
}

int KYPI_NASAgent::deConfigNASClient(const char* client) {
    static constexpr const char* kFunction = "KYPI_NASAgent::deConfigNASClient";
    if (client == nullptr || *client == '\0') {
        setError(ERROR_INVALID_PARAMETER, kFunction,
                 "One or more of the input arguments is INVALID.");
        return 0;
    }
    if (!isKeyNamePart(client)) {
        setError(ERROR_INVALID_PARAMETER, kFunction, "Invalid client name passed as input.");
        return 0;
    }
    const std::string section = std::string("NAS\\Client List\\NAS_") + client;
    KYPlatformInfo& store = valueStore();
    if (!store.deleteSection(section.c_str()) && store.getRegError() != -2) {
        copyStoreError();
        return 0;
    }
    return 1;
}
