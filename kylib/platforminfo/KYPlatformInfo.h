// KYPlatformInfo: the installation's configuration in the machine's registry store, one
// key per installation instance below HKEY_LOCAL_MACHINE\SOFTWARE\Kelbrin Systems\<product>.
//
// A key written with a leading "~" lies below the current instance root (the "focus");
// any other key is a path below HKEY_LOCAL_MACHINE. Section operations take a section
// name ("Base", "Machines/PC1") and read it as "~" + section; a null or empty section is
// the instance root. "/" and "\" both separate path parts.
//
// No operation throws. Each returns success (non-zero / true) or failure and leaves a
// registry status (getRegError): 0 success, -1 a failure that was logged, -2 the key does
// not exist, -3 the value does not exist, -4 the caller's buffer is too small (the last
// three are not logged). Logged failures also become the last error message and go to the
// debug log (the store's EvDebug, or the process's default log when none is set).
//
// A store is a small value: callers make one per operation on the stack. It holds no
// registry handle between calls; copies are independent. One object is used by one
// thread at a time; any number of objects may work on any threads and processes at once.
// The process-wide settings and caches below are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kylib/crypto/SecureString.h"
#include "os/Win32.h"

class EvDebug;
class KYPassword;

// A protected password text, held in a string that wipes itself when released.
using kypassword_string = secure_basic_string<char>;

// What UpdateSavedPasswordsToLatestVersion did with the values it visited.
struct KYPI_PasswordUpgradeCounts {
    int rewritten = 0;  // stored again in the wanted form
    int current = 0;    // already in the wanted form (or not a protected text): untouched
    int absent = 0;     // missing or empty: untouched
    int failed = 0;     // could not be read or converted (logged)
};

enum KYPI_LaptopBackupMode {
    KYPI_LAPTOP_BACKUP_NONE = 0,
    KYPI_LAPTOP_BACKUP_CLASSIC = 1,
    KYPI_LAPTOP_BACKUP_CLOUD = 2,
};

// "Unsigned 64-bit" values are `unsigned long long` here rather than uint64_t: on LP64
// uint64_t is `unsigned long`, which would make the 64-bit getValue/setValue overloads
// collide with the 32-bit (DWORD) ones that take `unsigned long`.
class KYPlatformInfo {
public:
    // Roles in "Base"/"nPLATTYPE".
    static constexpr unsigned long kPlatformTypeZentra = 0x1;
    static constexpr unsigned long kPlatformTypeMediaAgent = 0x2;
    static constexpr unsigned long kPlatformTypeClient = 0x4;
    static constexpr unsigned long kPlatformTypeZentraCompanion = 0x8;  // set with 0x1
    static constexpr unsigned long kPlatformTypeGateway = 0x10;
    static constexpr unsigned long kPlatformTypeValidMask = 0x1bf;

    // OR-ed into the access mask of every registry open, so that a process can choose
    // the registry view (KEY_WOW64_64KEY, ...) once for all stores. Starts at 0.
    static std::atomic<int> Reg_Additional_Flags;
    // IsCloudLaptopClient's answer for the process: -1 not yet known, else 0 or 1.
    static std::atomic<int> m_iCloudLaptopClient;
    // Set when getLaptopBackupMode first finds a mode, cleared by setLaptopBackupMode.
    static std::atomic<bool> m_bScheduleLoaded;

    // ---- Construction and identity. The focus comes from KYPI_Focus unless given.
    KYPlatformInfo();
    explicit KYPlatformInfo(EvDebug* debug);
    KYPlatformInfo(int printErrors, int logErrors);
    // An empty focus stays empty: every "~" key then fails (and ends the process).
    explicit KYPlatformInfo(const std::string& focus);

    // Null or empty is refused (0).
    int setFocus(const char* focus);
    const char* getFocus() const { return m_focus.c_str(); }
    void setToDefaultFocus();
    const char* getProductName() const { return m_productName.c_str(); }
    // Not owned; must outlive the store's use of it. Null: the process's default log.
    void setEvent(EvDebug* debug) { m_pEvDebug = debug; }

    int getRegError() const { return m_regError; }
    // Whether the last operation failed only because its key or value does not exist
    // (status -2 or -3): a read that found nothing, not a store failure.
    bool lastFoundNothing() const { return m_regError == -2 || m_regError == -3; }
    // The Win32 code behind the last failure of a registry operation (0 after a success).
    unsigned long getLastError() const { return m_lastError; }
    std::string getLastErrorMsg() const { return m_lastErrorMsg; }

    // The instance names ("Instance..." subkeys of the product root); 1 when any.
    int GetAllInInstances(std::vector<std::string>& instances);
    // The key named by the bare product name, directly below HKEY_LOCAL_MACHINE. Deleting
    // an absent key succeeds.
    int createPlatformInfo();
    int deletePlatformInfo();

    // ---- Section and field accessors; non-zero on success.
    // `*len` is the buffer size in, the string length plus one out.
    int getString(const char* section, const char* field, char* buf, int* len);
    int getString(const char* section, const char* field, char* buf, int len);
    int getString(const char* section, const char* field, std::string* out);
    int getStringTrim(const char* section, const char* field, std::string* out);
    // Splits the value by every separator in turn (default ",", ";", " ", ":", "|").
    int getStringList(const char* section, const char* field, std::vector<std::string>& out,
                      std::vector<std::string>* separators = nullptr);
    int setString(const char* section, const char* field, const char* value);
    // The length is not used: the text is stored to its terminator.
    int setString(const char* section, const char* field, const char* value, int len);
    int setString(const char* section, const char* field, const std::string& value);

    // DWORD values. The signed forms read the 32 bits as a signed 32-bit number.
    int getNumber(const char* section, const char* field, unsigned long* value);
    int getNumber(const char* section, const char* field, unsigned int* value);
    int getNumber(const char* section, const char* field, long* value);
    int getNumber(const char* section, const char* field, int* value);
    // Stores the low 32 bits.
    int setNumber(const char* section, const char* field, unsigned long value);
    int getBoolean(const char* section, const char* field, bool* value);
    int setBoolean(const char* section, const char* field, bool value);
    // Decimal text (REG_SZ). A text that is not one decimal number in range (white space
    // around it aside) is a value of the wrong kind: failure, status -1, logged.
    int getLongLong(const char* section, const char* field, unsigned long long* value);
    int setLongLong(const char* section, const char* field, unsigned long long value);

    // `*len`: buffer size in, bytes read out. A `len` of 0 stores the list up to its
    // terminating empty text.
    int getMultiString(const char* section, const char* field, char* buf, int* len);
    int setMultiString(const char* section, const char* field, const char* buf, int len);
    // REG_EXPAND_SZ on write; no expansion on read.
    int getDirectory(const char* section, const char* field, char* buf, int* len);
    int getDirectory(const char* section, const char* field, std::string* out);
    // Stores the text up to its terminator or `len` bytes, whichever comes first.
    int setDirectory(const char* section, const char* field, const char* value, int len);

    int deleteField(const char* section, const char* field);
    // Recursive. The instance root itself is refused: delete it with delRegKey.
    int deleteSection(const char* section);

    int getValue(const std::string& section, const std::string& field, unsigned long& value);
    int getValue(const std::string& section, const std::string& field, unsigned long long& value);
    int getValue(const std::string& section, const std::string& field, std::string& value);
    // A missing value (or key) with a default given: the default is written and returned.
    int getValue(const std::string& section, const std::string& field, std::string& value,
                 const char* defaultValue);
    int getValue(const std::string& section, const std::string& field, char* buf, int len);
    // The subkey names of the section.
    int getValue(const std::string& section, std::list<std::string>& subKeys);
    int getValue(const std::string& section, std::vector<std::string>& subKeys);
    int setValue(const std::string& section, const std::string& field, unsigned long value);
    int setValue(const std::string& section, const std::string& field, unsigned long long value);
    int setValue(const std::string& section, const std::string& field, const std::string& value);
    int setValue(const std::string& section, const std::string& field, const char* value, int len);

    bool getSubKeys(const char* section, std::list<std::string>* subKeys);

    // Adds the texts of a REG_MULTI_SZ buffer (up to its empty terminator, never past
    // `len`) to `out`.
    static int FromMultiSZStringToSet(const char* buf, int len, std::set<std::string>& out);
    // Writes the texts (empty ones cannot be represented and are left out) and the final
    // NUL, zero-filling the buffer to `len`; `len` becomes the bytes used. Fails (0) when
    // they do not fit, with `len` set to the size needed.
    static int FromSetToMultiSZString(const std::set<std::string>& texts, char* buf, int& len);

    // ---- Absolute-key primitives (key in the instance notation or absolute).
    // `size`: buffer size in, bytes read (or needed, with status -4) out.
    bool getRegValue(const char* key, const char* field, unsigned long* type, void* data,
                     int& size);
    bool getRegValue(const char* key, const char16_t* field, unsigned long* type, void* data,
                     int& size);
    // A `size` of 0 is worked out for the string types; other types need a size.
    bool setRegValue(const char* key, const char* field, unsigned long type, const void* data,
                     int size);
    bool getRegInt(const char* key, const char* field, unsigned long* value);
    bool setRegInt(const char* key, const char* field, unsigned long value);
    bool setRegString(const char* key, const char* field, const char* value);
    bool getRegStringFromAbsPath(const char* key, const char* field, char* buf, int len);
    bool getRegStringFromAbsPath(const char* key, const char* field, std::string* out);
    bool getRegSubKeysFromAbsPath(const char* key, std::list<std::string>* subKeys);
    // Every string, DWORD and QWORD value of the key as text.
    bool getRegValues(const char* key, std::map<std::string, std::string>* values);

    bool createRegKey(const char* key);
    // Recursive, in one step.
    bool delRegKey(const char* key);
    bool delRegField(const char* key, const char* field);
    // Copies the tree to a new key, in one step; an existing destination, or one inside
    // the source, is refused and nothing changes.
    bool copyRegKey(const char* from, const char* to);
    bool copyRegKey(const char* fromSection, const char* fromSubKey, const char* toSection,
                    const char* toSubKey);
    bool copyRegKey(const std::string& from, const std::string& to);
    bool copyRegKeyValues(HKEY from, HKEY to);
    // Moves the tree, in one step (a change of letter case only, too); an existing
    // destination, or one below the source, is refused.
    bool renameRegKey(const char* from, const char* to);
    bool renameRegKey(const std::string& from, const std::string& to);

    // The registry path below HKEY_LOCAL_MACHINE; "" on failure.
    std::string expandKeyName(const char* key);
    // The same into `out` (false for a null key).
    bool expandKeyNameInto(const char* key, std::string& out);

    // ---- Derived queries.
    // The role bits; 0 when missing or invalid.
    unsigned long getKYPlatformType();
    int isPlatformTypeZS();
    int isPlatformTypeMA();
    int isPlatformTypeCC();
    // "Zentra", "MediaAgent", "zOvivEruva" for the single roles, else "UnKnown".
    static const char* getPlatformTypeName(unsigned long type);
    int GetLanguageID();
    int getBinarySetId() { return 1; }
    int getProductVersion(std::string& version);
    std::string getComputeID();
    bool isScaleCompute();
    static bool IsAVXEnabled();
    // Cached for the object's life; "" when unknown.
    const char* getPhysicalMachine();

    // Central-server names; `buf` holds at least 256 bytes.
    int getZentraHostName(char* buf, int len);
    int getZentraHostName(char* buf, int len, std::string remoteDomain);
    int getZentraClientName(char* buf, int len);
    int getZentraClientName(char* buf, int len, std::string remoteDomain);
    int getZentraDisplayName(char* buf, int len);
    int getZentraDisplayName(char* buf, int len, std::string remoteDomain);
    int getCommClientZSHostName(char* buf, int len);
    int getCommClientZSHostName(char* buf, int len, std::string remoteDomain);
    int getCommClientZSClientName(char* buf, int len);
    int getCommClientZSClientName(char* buf, int len, std::string remoteDomain);
    int getMediaAgentZSHostName(char* buf, int len);
    int getMediaAgentZSHostName(char* buf, int len, std::string remoteDomain);
    int getMediaAgentZSClientName(char* buf, int len);
    int getMediaAgentZSClientName(char* buf, int len, std::string remoteDomain);
    int findZentraHostName(char* buf, int len);
    int findZentraHostName(char* buf, int len, std::string remoteDomain);
    int findZentraClientName(char* buf, int len);
    int findZentraClientName(char* buf, int len, std::string remoteDomain);
    // "host*client", as mangled host names are written.
    int findZentraHostNameMangled(char* buf, int len);
    int findZentraGUID(std::string& guid);

    // Clients hosted by this instance ("Machines" subkeys). A client name given to the
    // calls below is one key name: empty names and names with "\" or "/" are refused
    // ("Invalid arguments.", status -1; isClusterGroupClientActive answers 0).
    int getClientList(std::list<std::string>& clients);
    int getActiveClientList(std::list<std::string>& clients);
    int getClientHostName(const char* client, char* buf, int len);
    int getClientHostName(const char* client, std::string& host);
    int getClientHostNameMangled(const char* client, std::string& mangled);
    int setClientHostName(const char* client, const char* host);
    int getClientGUID(const char* client, std::string& guid);
    // The client whose host name is `host` (ignoring case).
    int getClientNameFromHostName(const char* host, std::string& client);
    int renameClientName(const char* oldName, const char* newName);
    // 1 when the client is not this machine's physical node (a cluster group client).
    int isClusterGroupClient(const char* client);
    // A cluster group client is active while its group runs on this node; other clients
    // always are.
    int isClusterGroupClientActive(const char* client);

    int IsFeatureEnabled(const char* name);
    // "EventManager"/"<app>_DEBUGLEVEL" (white space in the name as "_"); -1 when missing
    // or zero.
    int getAppDebugLevel(const char* app);

    KYPI_LaptopBackupMode getLaptopBackupMode();
    int setLaptopBackupMode(KYPI_LaptopBackupMode mode);
    bool IsClassicLaptopJobAllowed();
    bool IsCloudLaptopJobAllowed();
    bool IsCloudLaptopClient();
    bool RefreshIsCloudLaptopClient();

    bool IsThisPackageInstalled(int package);
    bool IsCoreMAInstalled();
    bool IsFullMAInstalled();
    bool IsAppMgrLiteNode();
    int GetListOfInstalledPackages(std::vector<int>& packages);
    // The packages of the instance that the host `vm` belongs to (this instance's for a
    // null or empty name).
    int GetListOfInstalledPackagesOnVM(const char* vm, std::vector<int>& packages);

    // The one instance of this machine to which a host belongs; 1 and the name, or 0
    // with the reason as the last error message.
    int GetInstanceNameFromHostName(const char* host, char* instance, int len);
    int GetInstanceNameFromHostNameForSarvex(const char* host, char* instance, int len);
    int GetInstanceNameFromClinetAndZSHostNameForSarvex(const char* client, const char* zentraHost,
                                                        char* instance, int len);

    std::string getVMName(const char*) { return std::string(); }

    // The client's cache database folder: "zOvivEruva"/"CacheDBRootFolder" (an empty one
    // counts as absent), else the client's job results directory, followed by "KY_CLDB"
    // in it. 0 with `out` set, or -1 (logged) when neither can be read. Null client: the
    // focus's.
    int GetCLDBRootFolder(const char* client, std::string& out);

    // ---- Password values. Only KYPassword's protected text is ever stored or read here;
    // failures name the section and field, never the password. Non-zero / true on success.
    // Stores the object's protected text (REG_SZ).
    int setPassword(const char* section, const char* field, KYPassword* password);
    // Reads the protected text and hands it to the object, which must accept it.
    int getPassword(const char* section, const char* field, KYPassword* password);
    // The stored protected text, once a KYPassword has accepted it.
    bool getPassword(const char* section, const char* field, kypassword_string& protectedText);
    // The stored password converted to format '3'.
    bool getPasswordAsV3(const char* section, const char* field, std::string& out);
    // Protects `plainText` (resp. converts `protectedText`) to format '8' and stores it.
    int setPasswordAsV8(const char* section, const char* field, const char* plainText);
    int setEncryptedPasswordAsV8(const char* section, const char* field, const char* protectedText);
    int getValue(const std::string& section, const std::string& field, KYPassword& password);
    int setValue(const std::string& section, const std::string& field, KYPassword& password);

    // The network password of one role ("Invalid platform type." when the installation
    // does not have that role). A role's own value is read first, "Session"/"pCntInfo"
    // when that is missing or empty; a role writes its own value when that already exists,
    // else the common one, so that what is written is what is read back.
    int getZentraNetworkPassword(KYPassword* password);
    int getMediaAgentNetworkPassword(KYPassword* password);
    int getCommClientNetworkPassword(KYPassword* password);
    int setZentraNetworkPassword(KYPassword* password);
    int setMediaAgentNetworkPassword(KYPassword* password);
    int setCommClientNetworkPassword(KYPassword* password);
    // The network password of the installation's own role (central server first, then
    // media agent, then client).
    int findNetworkPassword(KYPassword* password);

    // Gateway registrations: the network password of the gateway child `name`
    // ("Gateway\Children\<name>"/"pZSNETPWD"), the one the parent gateway `name` uses with
    // this installation ("Gateway\Parents\<name>"/"pZSNETPWD"), and this installation's
    // own password registered at that parent ("Gateway\Parents\<name>"/"pSelfNETPWD").
    // A name that is empty or holds "\" or "/" (it would reach another key) fails with
    // "Invalid gateway name."; a null object with "Invalid buffer passed as input.".
    int cnGetNetworkPasswordOnChild(const char* name, KYPassword* password);
    int cnSetNetworkPasswordOnChild(const char* name, KYPassword* password);
    int cnGetNetworkPasswordOnParent(const char* name, KYPassword* password);
    int cnSetNetworkPasswordOnParent(const char* name, KYPassword* password);
    int cnGetSelfNetworkPasswordOnParent(const char* name, KYPassword* password);
    int cnSetSelfNetworkPasswordOnParent(const char* name, KYPassword* password);

    // Rewrites every known stored password that is not yet in format '8' while V8
    // protection is on; values already in that form, missing or empty are left alone.
    // Each failure is logged and the walk goes on; 1 when none failed.
    int UpdateSavedPasswordsToLatestVersion(KYPI_PasswordUpgradeCounts* counts = nullptr);

    // Sets the last error message and writes it to the debug log (log-errors flag) and to
    // standard output (print-errors flag). Null or empty messages are ignored.
    void logError(const char* function, const char* message);

    // Whether a caller's name (a client, a host, a gateway) can become one part of a key
    // path: not null or empty, and without "\" or "/", which would make the path reach
    // another key than the one the name stands for. The one check for every such name.
    static bool isKeyNamePart(const char* name);

private:
    // The registry status and code of a failure that is logged; returns false.
    bool fail(const char* function, const std::string& message, DWORD code);
    void resetStatus() {
        m_regError = 0;
        m_lastError = 0;
    }

    bool getRegStringImpl(const char* function, const char* key, const char* field, char* buf,
                          int len, int* outLen);
    bool getRegStringImpl(const char* key, const char* field, std::string* out);
    bool getRegSubKeysImpl(const char* key, std::list<std::string>* subKeys);
    int getIdentifiedSystemName(unsigned long role, char* buf, int len, const char* section,
                                const char* field, const char* fallbackSection,
                                const char* fallbackField, const std::string& remoteDomain);
    int findZentraName(const char* function, const char* field, char* buf, int len,
                       const std::string& remoteDomain);
    bool listInstances(const std::string& productRoot, std::vector<std::string>& instances);
    int getNetworkPassword(const char* function, unsigned long role, KYPassword* password);
    int setNetworkPassword(const char* function, unsigned long role, KYPassword* password);
    int gatewayPassword(const char* function, const char* parentOrChild, const char* name,
                        const char* field, KYPassword* password, bool write);
    // Whether the value exists, of any type; the status is left clear.
    bool passwordValueExists(const char* section, const char* field);
    void upgradeSavedPassword(const char* section, const char* field,
                              KYPI_PasswordUpgradeCounts& counts);
    int chooseInstance(const char* function, const std::string& match, char* instance, int len);

    int m_printErrors = 0;
    int m_logErrors = 1;
    int m_regError = 0;
    std::string m_lastErrorMsg;
    DWORD m_lastError = 0;
    std::string m_productName;
    std::string m_physicalMachine;
    std::string m_focus;
    EvDebug* m_pEvDebug = nullptr;
};
