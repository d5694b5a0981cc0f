// KYPlatformInfo's password values: protected texts of KYPassword kept as REG_SZ values,
// the network password of each role, and the walk that brings stored passwords to the
// current protection format. The plain text of a password never passes through here
// except on its way into KYPassword (setPasswordAsV8), and no message carries a text.
#include <cstring>
#include <new>
#include <string>

#include "kylib/crypto/KYPassword.h"
#include "kylib/platforminfo/KYPlatformInfo.h"
#include "os/Win32.h"
#include "siblings/HbUtils/FXString.h"

namespace {

const char* textOrEmpty(const char* text) {
    return text ? text : "";
}

// A section in the instance notation, as the section accessors read it.
std::string instanceKey(const char* section) {
    if (section == nullptr || *section == '\0')
        return "~";
    if (section[0] == '~')
        return section;
    return std::string("~") + section;
}

std::string errorText(DWORD code) {
    return FXString::Format("0x%08lX", static_cast<unsigned long>(code));
}

// Where a role keeps its own network password; every role falls back to, and writes when
// its own value does not exist, the common value.
struct NetworkPasswordPlace {
    unsigned long role;
    const char* section;
    const char* field;
};

constexpr NetworkPasswordPlace kNetworkPasswordPlaces[] = {
    {KYPlatformInfo::kPlatformTypeZentra, "Session", "pZSNETPWD"},
    {KYPlatformInfo::kPlatformTypeMediaAgent, "MediaAgent", "pZSNETPWD"},
    {KYPlatformInfo::kPlatformTypeClient, "zOvivEruva", "pZSNETPWD"},
};
constexpr const char* kCommonNetworkSection = "Session";
constexpr const char* kCommonNetworkField = "pCntInfo";

const NetworkPasswordPlace* placeOf(unsigned long role) {
    for (const NetworkPasswordPlace& place : kNetworkPasswordPlaces) {
        if (place.role == role)
            return &place;
    }
    return nullptr;
}

struct SavedPassword {
    const char* section;
    const char* field;
};

// The stored passwords an installation may hold, in the order they are brought up to
// date. "Database"/"pCLOUDACCESS" is named once: a second visit could only find it done.
constexpr SavedPassword kSavedPasswords[] = {
    {"Database", "pACCESS"},
    {"Database", "pEXECACCESS"},
    {"Database", "pDM2ACCESS"},
    {"Database", "pDM2EXECACCESS"},
    {"Database", "pWFACCESS"},
    {"Database", "pWFEXECACCESS"},
    {"Database", "pCLOUDACCESS"},
    {"Database", "pCLOUDEXECACCESS"},
    {"Database", "pMETRICSAccess"},
    {"Database", "pLGACCESS"},
    {"Database", "pLGEXECACCESS"},
    {"Database", "pGraphAccess"},
    {"Database", "pPostgreSQLAccess"},
    {"Database", "pMongoAccess"},
    {"Database", "pCNSACCESS"},
    {"Database", "pREADREPLICAACCESS"},
    {"Database", "sSQLAccess"},
    {"__Cache", "pMongoAccess"},
    {"Session", "pCntInfo"},
    {"Session", "pZSNETPWD"},
    {"MediaAgent", "pZSNETPWD"},
    {"zOvivEruva", "pZSNETPWD"},
    {"zOvivEruva", "pMongoDb3dfsSharePassword"},
    {"zOvivEruva", "pMongoSSLClientPEMKeyPassword"},
    {"zOvivEruva", "Lukspassphrase"},
    {"FileSystemAgent", "sRegisterLocaluser"},
    {"FileSystemAgent", "sREGISTERMEUSER"},
};
constexpr const char* kClientsSection = "Machines";
constexpr const char* kClientJobResultsPassword = "dJOBRESULTSDIR_Password";

}  // namespace

// =========================================================================================
// Single values.

int KYPlatformInfo::setPassword(const char* section, const char* field, KYPassword* password) {
    static constexpr const char* kFunction = "KYPlatformInfo::setPassword";
    resetStatus();
    if (password == nullptr || password->getProtectedLength() <= 0)
        return fail(kFunction, "NULL or empty password object passed as input",
                    ERROR_INVALID_PARAMETER);
    kypassword_string text;
    try {
        text.assign(password->getProtectedText(),
                    static_cast<std::size_t>(password->getProtectedLength()));
    } catch (const std::bad_alloc&) {
        return fail(kFunction, "Failed to extract encrypted password from the KYPassword object.",
                    ERROR_NOT_ENOUGH_MEMORY);
    }
    const std::string key = instanceKey(section);
    return setRegString(key.c_str(), field, text.c_str()) ? 1 : 0;
}

int KYPlatformInfo::getPassword(const char* section, const char* field, KYPassword* password) {
    static constexpr const char* kFunction = "KYPlatformInfo::getPassword";
    resetStatus();
    if (password == nullptr)
        return fail(kFunction, "NULL password pointer passed as input.", ERROR_INVALID_PARAMETER);
    std::string text;
    if (!getString(section, field, &text))
        return 0;
    if (password->putEncPwd(text.c_str()))
        return 1;
    const std::string key = instanceKey(section);
    return fail(kFunction,
                "Failed to decrypt password " + expandKeyName(key.c_str()) + " stored as field " +
                    textOrEmpty(field) + " under section " + textOrEmpty(section) + "]. Error[" +
                    errorText(password->getLastError()) + "].",
                password->getLastError());
}

bool KYPlatformInfo::getPassword(const char* section, const char* field,
                                 kypassword_string& protectedText) {
    KYPassword password;
    if (!getPassword(section, field, &password))
        return false;
    protectedText.assign(password.getProtectedText(),
                         static_cast<std::size_t>(password.getProtectedLength()));
    return true;
}

bool KYPlatformInfo::getPasswordAsV3(const char* section, const char* field, std::string& out) {
    static constexpr const char* kFunction = "KYPlatformInfo::getPasswordAsV3";
    std::string stored;
    if (!getString(section, field, &stored))
        return false;
    KYPassword password;
    const kypassword_string in(stored);
    kypassword_string converted;
    if (!password.ConvertToV3(in, converted)) {
        return fail(kFunction,
                    std::string("Failed to decrypt password stored in field [") +
                        textOrEmpty(field) + "] under section[" + textOrEmpty(section) +
                        "]. Error[" + errorText(password.getLastError()) + "].",
                    password.getLastError());
    }
    out.assign(converted.data(), converted.size());
    return true;
}

int KYPlatformInfo::setPasswordAsV8(const char* section, const char* field, const char* plainText) {
    static constexpr const char* kFunction = "KYPlatformInfo::setPasswordAsV8";
    resetStatus();
    KYPassword password;
    kypassword_string protectedText;
    // A null text is refused like any other unusable input, with KYPassword's own code.
    const int ok =
        plainText != nullptr && password.encryptV8(kypassword_string(plainText), protectedText);
    if (!ok) {
        const DWORD code = plainText == nullptr ? KYPassword::kErrNullArg : password.getLastError();
        return fail(kFunction,
                    std::string("Failed to encrypt password to be stored in field [") +
                        textOrEmpty(field) + "] under section[" + textOrEmpty(section) +
                        "]. Error[" + errorText(code) + "].",
                    code);
    }
    return setString(section, field, protectedText.c_str());
}

int KYPlatformInfo::setEncryptedPasswordAsV8(const char* section, const char* field,
                                             const char* protectedText) {
    static constexpr const char* kFunction = "KYPlatformInfo::setEncryptedPasswordAsV8";
    resetStatus();
    KYPassword password;
    kypassword_string converted;
    const int ok = protectedText != nullptr &&
                   password.ConvertToV8(kypassword_string(protectedText), converted);
    if (!ok) {
        const DWORD code =
            protectedText == nullptr ? KYPassword::kErrNullArg : password.getLastError();
        return fail(kFunction,
                    std::string("Failed to encrypt password to be stored in field [") +
                        textOrEmpty(field) + "] under section[" + textOrEmpty(section) +
                        "]. Error[" + errorText(code) + "].",
                    code);
    }
    return setString(section, field, converted.c_str());
}

int KYPlatformInfo::getValue(const std::string& section, const std::string& field,
                             KYPassword& password) {
    return getPassword(section.c_str(), field.c_str(), &password);
}

int KYPlatformInfo::setValue(const std::string& section, const std::string& field,
                             KYPassword& password) {
    return setPassword(section.c_str(), field.c_str(), &password);
}

// =========================================================================================
// Network passwords.

bool KYPlatformInfo::passwordValueExists(const char* section, const char* field) {
    const std::string key = instanceKey(section);
    char probe[1];
    unsigned long type = REG_NONE;
    int size = sizeof probe;
    const bool exists = getRegValue(key.c_str(), field, &type, probe, size) || m_regError == -4;
    resetStatus();
    return exists;
}

int KYPlatformInfo::getNetworkPassword(const char* function, unsigned long role,
                                       KYPassword* password) {
    const unsigned long type = getKYPlatformType();
    if (type == 0)
        return 0;  // no role recorded: nothing to say about it
    if ((type & role) == 0)
        return fail(function, "Invalid platform type.", ERROR_INVALID_DATA);
    if (password == nullptr)
        return fail(function, "Invalid buffer passed as input.", ERROR_INVALID_PARAMETER);
    const NetworkPasswordPlace* place = placeOf(role);
    // The common value stands in only for a role value that is not there: one that is
    // there but unreadable is an error to report, not a reason to present another password.
    std::string own;
    if (getString(place->section, place->field, &own) && !own.empty())
        return getPassword(place->section, place->field, password);
    if (m_regError != 0 && m_regError != -2 && m_regError != -3)
        return 0;
    return getPassword(kCommonNetworkSection, kCommonNetworkField, password);
}

int KYPlatformInfo::setNetworkPassword(const char* function, unsigned long role,
                                       KYPassword* password) {
    const unsigned long type = getKYPlatformType();
    if (type == 0)
        return 0;
    if ((type & role) == 0)
        return fail(function, "Invalid platform type.", ERROR_INVALID_DATA);
    if (password == nullptr)
        return fail(function, "Invalid buffer passed as input.", ERROR_INVALID_PARAMETER);
    const NetworkPasswordPlace* place = placeOf(role);
    // The central server, too, writes its own value when it has one: reads prefer that
    // value, so a new password written only to the common value would never be read back.
    if (passwordValueExists(place->section, place->field))
        return setPassword(place->section, place->field, password);
    return setPassword(kCommonNetworkSection, kCommonNetworkField, password);
}

int KYPlatformInfo::getZentraNetworkPassword(KYPassword* password) {
    return getNetworkPassword("KYPlatformInfo::getZentraNetworkPassword", kPlatformTypeZentra,
                              password);
}

int KYPlatformInfo::getMediaAgentNetworkPassword(KYPassword* password) {
    return getNetworkPassword("KYPlatformInfo::getMediaAgentNetworkPassword",
                              kPlatformTypeMediaAgent, password);
}

int KYPlatformInfo::getCommClientNetworkPassword(KYPassword* password) {
    return getNetworkPassword("KYPlatformInfo::getCommClientNetworkPassword", kPlatformTypeClient,
                              password);
}

int KYPlatformInfo::setZentraNetworkPassword(KYPassword* password) {
    return setNetworkPassword("KYPlatformInfo::setZentraNetworkPassword", kPlatformTypeZentra,
                              password);
}

int KYPlatformInfo::setMediaAgentNetworkPassword(KYPassword* password) {
    return setNetworkPassword("KYPlatformInfo::setMediaAgentNetworkPassword",
                              kPlatformTypeMediaAgent, password);
}

int KYPlatformInfo::setCommClientNetworkPassword(KYPassword* password) {
    return setNetworkPassword("KYPlatformInfo::setCommClientNetworkPassword", kPlatformTypeClient,
                              password);
}

int KYPlatformInfo::findNetworkPassword(KYPassword* password) {
    static constexpr const char* kFunction = "KYPlatformInfo::findNetworkPassword";
    resetStatus();
    if (password == nullptr)
        return fail(kFunction, "Invalid KYPassword pointer passed as input.",
                    ERROR_INVALID_PARAMETER);
    const unsigned long type = getKYPlatformType();
    for (const NetworkPasswordPlace& place : kNetworkPasswordPlaces) {
        if (type & place.role)
            return getNetworkPassword(kFunction, place.role, password);
    }
    return fail(kFunction, "Invalid platform type.", ERROR_INVALID_DATA);
}

int KYPlatformInfo::gatewayPassword(const char* function, const char* parentOrChild,
                                    const char* name, const char* field, KYPassword* password,
                                    bool write) {
    resetStatus();
    // A separator would make the name a path that reaches another gateway's key or
    // another section altogether.
    if (!isKeyNamePart(name))
        return fail(function, "Invalid gateway name.", ERROR_INVALID_PARAMETER);
    if (password == nullptr)
        return fail(function, "Invalid buffer passed as input.", ERROR_INVALID_PARAMETER);
    const std::string section = std::string("Gateway\\") + parentOrChild + "\\" + name;
    return write ? setPassword(section.c_str(), field, password)
                 : getPassword(section.c_str(), field, password);
}

int KYPlatformInfo::cnGetNetworkPasswordOnChild(const char* name, KYPassword* password) {
    return gatewayPassword("KYPlatformInfo::cnGetNetworkPasswordOnChild", "Children", name,
                           "pZSNETPWD", password, false);
}

int KYPlatformInfo::cnSetNetworkPasswordOnChild(const char* name, KYPassword* password) {
    return gatewayPassword("KYPlatformInfo::cnSetNetworkPasswordOnChild", "Children", name,
                           "pZSNETPWD", password, true);
}

int KYPlatformInfo::cnGetNetworkPasswordOnParent(const char* name, KYPassword* password) {
    return gatewayPassword("KYPlatformInfo::cnGetNetworkPasswordOnParent", "Parents", name,
                           "pZSNETPWD", password, false);
}

int KYPlatformInfo::cnSetNetworkPasswordOnParent(const char* name, KYPassword* password) {
    return gatewayPassword("KYPlatformInfo::cnSetNetworkPasswordOnParent", "Parents", name,
                           "pZSNETPWD", password, true);
}

int KYPlatformInfo::cnGetSelfNetworkPasswordOnParent(const char* name, KYPassword* password) {
    return gatewayPassword("KYPlatformInfo::cnGetSelfNetworkPasswordOnParent", "Parents", name,
                           "pSelfNETPWD", password, false);
}

int KYPlatformInfo::cnSetSelfNetworkPasswordOnParent(const char* name, KYPassword* password) {
    return gatewayPassword("KYPlatformInfo::cnSetSelfNetworkPasswordOnParent", "Parents", name,
                           "pSelfNETPWD", password, true);
}

// =========================================================================================
// Bringing stored passwords up to date.

void KYPlatformInfo::upgradeSavedPassword(const char* section, const char* field,
                                          KYPI_PasswordUpgradeCounts& counts) {
    std::string text;
    if (!getString(section, field, &text)) {
        if (m_regError == -2 || m_regError == -3)
            ++counts.absent;
        else
            ++counts.failed;
        return;
    }
    if (text.empty()) {
        ++counts.absent;
        return;
    }
    // Only a move towards format '8' is an upgrade. With V8 off there is no newer form to
    // move to (the readers still read '8'), and a hash is not a protected text at all:
    // rewriting either would only race other writers for nothing.
    if (!KYPassword::isV8EncryptionEnabled() || KYPassword::isV8Password(text.c_str()) ||
        KYPassword::isHashPassword(text.c_str())) {
        ++counts.current;
        return;
    }
    if (setEncryptedPasswordAsV8(section, field, text.c_str()))
        ++counts.rewritten;
    else
        ++counts.failed;
}

int KYPlatformInfo::UpdateSavedPasswordsToLatestVersion(KYPI_PasswordUpgradeCounts* counts) {
    KYPI_PasswordUpgradeCounts local;
    KYPI_PasswordUpgradeCounts& seen = counts != nullptr ? *counts : local;
    seen = KYPI_PasswordUpgradeCounts();
    for (const SavedPassword& value : kSavedPasswords)
        upgradeSavedPassword(value.section, value.field, seen);
    std::list<std::string> clients;
    if (getSubKeys(kClientsSection, &clients)) {
        for (const std::string& client : clients) {
            const std::string section = std::string(kClientsSection) + "\\" + client;
            upgradeSavedPassword(section.c_str(), kClientJobResultsPassword, seen);
        }
    } else if (m_regError != -2) {
        ++seen.failed;  // the client list itself could not be read (logged)
    }
    resetStatus();
    return seen.failed == 0 ? 1 : 0;
}
