// KYPI_ component classes of the second family: components of one platform type (central
// server, media agent, client, gateway, SDK), down to the application agents.
//
// A KYPI_PlatformBase reads through the store of its KYPI_Base (getBase(), getPID()); the
// platform type it was made for decides its sections. Values come from the value table
// (KYPI_Values.h: the getter pattern and the naming rule). Install statuses are cached per
// key they were read from, so each client keeps its own. An operation that the object's
// platform type (or agent type) has no section for fails with kErrWrongPlatform and does
// not touch the store. A component is a plain value made per use, used by one thread at a
// time; copies are independent. Nothing is read or written at construction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kylib/crypto/KYPassword.h"
#include "kylib/crypto/SecureString.h"
#include "kylib/platforminfo/KYPI_Components.h"
#include "kylib/platforminfo/KYPI_Values.h"

class EvDebug;

class KYPI_PlatformBase : public KYPI_ValueState {
public:
    enum KYPI_PlatformType {
        KYPI_PLATFORM_TYPE_UNKNOWN = 0,
        KYPI_PLATFORM_TYPE_ZENTRA = 1,
        KYPI_PLATFORM_TYPE_MEDIAAGENT = 2,
        KYPI_PLATFORM_TYPE_COMMCLIENT = 4,
        KYPI_PLATFORM_TYPE_ZENTRA_COMPANION = 8,
        KYPI_PLATFORM_TYPE_COMMNET = 16,
        KYPI_PLATFORM_TYPE_SDK = 128,
        KYPI_PLATFORM_TYPE_256 = 256,
    };

    // The last error of an operation the platform type has no part in.
    static constexpr unsigned long kErrWrongPlatform = 0x1400000b;

    // "nINSTALL" values.
    static constexpr unsigned long kInstallActive = 1;
    static constexpr unsigned long kInstallInactive = 2;
    static constexpr unsigned long kInstallFailed = 3;

    // Type 0 (the default) takes the installation's type when first needed: the central
    // server when its bit is set, else the client, else the media agent.
    KYPI_PlatformBase() : KYPI_PlatformBase(KYPI_PLATFORM_TYPE_UNKNOWN, nullptr) {}
    explicit KYPI_PlatformBase(EvDebug* debug)
        : KYPI_PlatformBase(KYPI_PLATFORM_TYPE_UNKNOWN, debug) {}
    explicit KYPI_PlatformBase(KYPI_PlatformType type, EvDebug* debug = nullptr);
    // A numeric type (1, 2, 4, 8, 16, 128, 256; anything else is 0).
    explicit KYPI_PlatformBase(int type, EvDebug* debug = nullptr);

    void initialize(unsigned long type);

    static unsigned long convertEnumToPIDPlatformType(KYPI_PlatformType type);
    static KYPI_PlatformType convertPIDToEnumPlatformType(unsigned long type);
    static unsigned long validatePIDPlatformType(unsigned long type);

    unsigned long getClassPIDPlatformType();
    KYPI_PlatformType getClassEnumPlatformType();
    // The class's platform type (one role).
    unsigned long getKYPlatformType() { return getClassPIDPlatformType(); }
    // The installation's role bits.
    unsigned long getSystemKYPlatformType() { return valueStore().getKYPlatformType(); }
    const char* getPlatformTypeName() {
        return KYPlatformInfo::getPlatformTypeName(getClassPIDPlatformType());
    }
    // True when the installation has every bit of `type`; type 0 has none.
    bool verifyCurrentPlatformType(unsigned long type);

    // "nINSTALL" of the class's platform: "Zentra", Machines\<client>\MediaAgent or
    // "zOvivEruva" (null client: the focus's). 0 on failure.
    unsigned long getInstallStatus(const char* client = nullptr, bool refresh = false);
    bool isInstallActive(const char* client = nullptr) {
        return getInstallStatus(client) == kInstallActive;
    }
    bool isInstallInactive(const char* client = nullptr) {
        return getInstallStatus(client) == kInstallInactive;
    }
    bool isInstallFailed(const char* client = nullptr) {
        return getInstallStatus(client) == kInstallFailed;
    }

    // "dHOME" of the class's section ("Zentra", "MediaAgent", "zOvivEruva", "CommNet");
    // empty on failure.
    std::string getHomeDirectory(bool refresh = false);
    // "dCONFIGDIR" of "MediaAgent" or "zOvivEruva"; the central server has none.
    std::string getConfigDirectoryBase(bool refresh = false);
    // 1 when the media agent's or client's own section names its central server
    // ("sZSHOSTNAME"), 0 when it does not or for the central server, -1 on another failure.
    int getZentraOverride(bool refresh = false);
    // The central server's names as the class's role knows them. 1 on success.
    int getZentraHostName(std::string& name, const std::string& remoteDomain = std::string());
    int getZentraClientName(std::string& name, const std::string& remoteDomain = std::string());

    std::string getBaseHomeDirectory(bool refresh = false) {
        return m_base.getHomeDirectory(refresh);
    }
    std::string getBaseVersion(bool refresh = false) { return m_base.getVersion(refresh); }
    // The event manager's log directory ("EventManager"/"dEVLOGDIR").
    std::string getLogFilesDirectory(bool refresh = false) {
        return text<kypi::EventManager_dEVLOGDIR>(refresh);
    }

    KYPI_Base& getBase() { return m_base; }
    // The store of getBase(), found anew at each call (copies never share one).
    KYPlatformInfo* getPID() { return m_base.getPID(); }

    // The network password of the class's role (the store's network password calls);
    // null on failure. The object stays the caller's to use until this object changes.
    KYPassword* getNetworkPassword();
    // Stores `password` as the role's network password: a protected text when
    // `isProtected`, else a plain text that is protected first.
    int setNetworkPassword(const char* password, bool isProtected);
    int cnGetNetworkPasswordOnChild(const char* name, KYPassword* password);
    int cnSetNetworkPasswordOnChild(const char* name, KYPassword* password);
    int cnGetNetworkPasswordOnParent(const char* name, KYPassword* password);
    int cnGetSelfNetworkPasswordOnParent(const char* name, KYPassword* password);
    // Protects a wide text / recovers it from its protected form.
    int wideEncrypt(const wchar_t* plainText, std::string& protectedText);
    int wideDecrypt(const char* protectedText, secure_basic_string<wchar_t>& plainText);

    void forgetCaches() override;

protected:
    KYPlatformInfo& valueStore() override { return *m_base.getPID(); }
    // The key of a client's part of the class's role, or false (logged) for a bad name.
    bool clientSection(const char* client, const char* below, std::string& section);
    // A cached per-key number; 0 when none is cached.
    static unsigned long cachedFor(const std::vector<std::pair<std::string, unsigned long>>& cache,
                                   const std::string& key);
    static void cacheFor(std::vector<std::pair<std::string, unsigned long>>& cache,
                         const std::string& key, unsigned long value);
    // Reads "nINSTALL" of `section` into the cache; 0 on failure.
    unsigned long readInstallStatus(std::vector<std::pair<std::string, unsigned long>>& cache,
                                    const std::string& section, bool refresh);

private:
    // The role's own section, null when the class's type has none.
    const char* roleSection();
    // The central server's host or client name as the class's role knows it, through the
    // store's getter of that role; `cache` keeps the answer for the local domain.
    using ServerNameGetter = int (KYPlatformInfo::*)(char*, int, std::string);
    struct ServerNameGetters {
        ServerNameGetter zentra, mediaAgent, commClient;
    };
    int readServerName(std::string& name, const std::string& remoteDomain, std::string& cache,
                       const ServerNameGetters& getters, const char* function);

    int m_zentraOverride = -1;  // -1: not yet known
    KYPI_Base m_base;
    std::optional<KYPassword> m_password;                                // made when first needed
    std::vector<std::pair<std::string, unsigned long>> m_installStatus;  // by key
    unsigned long m_platformType = 0;
    bool m_platformTypeKnown = false;
    std::string m_homeDirectory, m_configDirectory, m_zentraHostName, m_zentraClientName;
};

class KYPI_Zentra : public KYPI_PlatformBase {
public:
    explicit KYPI_Zentra(EvDebug* debug = nullptr)
        : KYPI_PlatformBase(KYPI_PLATFORM_TYPE_ZENTRA, debug) {}

    std::string getZSHOSTNAME() { return text<kypi::Zentra_sZSHOSTNAME>(); }
    int setZSHOSTNAME(const char* value) { return setText<kypi::Zentra_sZSHOSTNAME>(value); }
    std::string getZSCLIENTNAME() { return text<kypi::Zentra_sZSCLIENTNAME>(); }
    int setZSCLIENTNAME(const char* value) { return setText<kypi::Zentra_sZSCLIENTNAME>(value); }
    std::string getZSDISPLAYNAME() { return text<kypi::Zentra_sZSDISPLAYNAME>(); }
    int setZSDISPLAYNAME(const char* value) { return setText<kypi::Zentra_sZSDISPLAYNAME>(value); }
    std::string getZSGUID() { return text<kypi::Zentra_sZSGUID>(); }
    unsigned long getTESSELID() { return number<kypi::Zentra_nTESSELID>(); }
    unsigned long getINSTALL() { return number<kypi::Zentra_nINSTALL>(); }
    unsigned long getZSConnectivityAvailable() {
        return number<kypi::Zentra_bZSConnectivityAvailable>();
    }
    int setZSConnectivityAvailable(unsigned long value) {
        return setNumber<kypi::Zentra_bZSConnectivityAvailable>(value);
    }
    std::string getEVMGRSADSOCKADDR() { return text<kypi::Zentra_sEVMGRSADSOCKADDR>(); }
    unsigned long getRestrictedViewEnabled() {
        return number<kypi::Zentra_nRestrictedViewEnabled>();
    }
    unsigned long getIFindAcceptTimeoutTime() {
        return number<kypi::Zentra_nIFindAcceptTimeoutTime>();
    }
    unsigned long getStaleCredsCheckHeartBeat() {
        return number<kypi::Zentra_nStaleCredsCheckHeartBeat>();
    }
    unsigned long getStaleCredsCheckMaxCount() {
        return number<kypi::Zentra_nStaleCredsCheckMaxCount>();
    }
    unsigned long getAlertDetectorHeartBeat() {
        return number<kypi::Zentra_nAlertDetectorHeartBeat>();
    }
    unsigned long getBlockAlerts() { return number<kypi::Zentra_bBlockAlerts>(); }
    unsigned long getTraceAlerts() { return number<kypi::Zentra_bTraceAlerts>(); }
    unsigned long getSkipSynthFullAnomalyAlert() {
        return number<kypi::Zentra_bSkipSynthFullAnomalyAlert>();
    }
    unsigned long getUseCommonSSOUser() { return number<kypi::Zentra_nUseCommonSSOUser>(); }
    unsigned long getDeprecatedKYClientNetHostName() {
        return number<kypi::Zentra_nDeprecatedKYClientNetHostName>();
    }
    unsigned long getSchedDebug() { return number<kypi::Zentra_schedDebug>(); }
    unsigned long getSchedDeleteDelay() { return number<kypi::Zentra_schedDeleteDelay>(); }
    unsigned long getSchedLatency() { return number<kypi::Zentra_schedLatency>(); }
    unsigned long getSchedWindow() { return number<kypi::Zentra_schedWindow>(); }
    std::string getAlertAttachmentPath() { return text<kypi::Zentra_dAlertAttachmentPath>(); }
    std::string getERStagingDirectory() { return text<kypi::Zentra_ERStagingDirectory>(); }
    std::string getInvalidERDestinationAllowed() {
        return text<kypi::Zentra_InvalidERDestinationAllowed>();
    }
    std::string getCslRelConf() { return text<kypi::Zentra_sCslRelConf>(); }
    std::string getIncludeAgedData() { return text<kypi::Zentra_dIncludeAgedData>(); }
    std::string getSarvexAlias() { return text<kypi::Zentra_sSarvexAlias>(); }
};

// A media agent's mount path: the key "MediaAgent\<number>".
struct KYPI_MountPathRecord {
    unsigned number = 0;
    std::string path, user, exProps;
    KYPassword password;  // "Pass"; no protected text when none is stored
    unsigned long id = 0, mpType = 0, deviceType = 0, deviceAccessType = 0, attributes = 0,
                  origMPId = 0, origCCId = 0;
};

// A time of the week during which the media agent may prune: the days (bit 0 Sunday ..
// bit 6 Saturday) and minutes of the day from `start` up to `end` (past midnight when end
// <= start; the part after midnight belongs to the next day).
//
// Stored as text "DDDDDDD|HH:MM-HH:MM": seven '0'/'1' characters for Sunday to Saturday,
// then the start and end times, 24-hour clock ("0111110|22:00-06:00").
struct KYPI_OperationWindow {
    unsigned days = 0;
    unsigned start = 0, end = 0;  // minutes since midnight, 0..1439
    static bool parse(const char* text, KYPI_OperationWindow& window);
    std::string format() const;
    // Whether the moment (day 0 Sunday .. 6, minute of the day) lies in the window.
    bool contains(unsigned day, unsigned minute) const;
};

class KYPI_MediaAgent : public KYPI_PlatformBase {
public:
    explicit KYPI_MediaAgent(EvDebug* debug = nullptr)
        : KYPI_PlatformBase(KYPI_PLATFORM_TYPE_MEDIAAGENT, debug) {}

    unsigned long getRolesBitMask() { return number<kypi::MediaAgent_nRolesBitMask>(); }
    unsigned long getLaptopBackupMode() { return number<kypi::MediaAgent_LaptopBackupMode>(); }
    unsigned long getLaptopBackupSuspend() {
        return number<kypi::MediaAgent_LaptopBackupSuspend>();
    }
    int setLaptopBackupSuspend(unsigned long value) {
        return setNumber<kypi::MediaAgent_LaptopBackupSuspend>(value);
    }
    unsigned long getCloseChunkTimeoutSeconds() {
        return number<kypi::MediaAgent_nCloseChunkTimeoutSeconds>();
    }
    unsigned long getDataMoverMaxMountRetryValue() {
        return number<kypi::MediaAgent_DataMoverMaxMountRetryValue>();
    }
    unsigned long getDataMoverMaxMountRetrySleepTime() {
        return number<kypi::MediaAgent_DataMoverMaxMountRetrySleepTime>();
    }
    unsigned long getDataMoverMaxReadRetryValue() {
        return number<kypi::MediaAgent_DataMoverMaxReadRetryValue>();
    }
    unsigned long getDataMoverWaitTimeBeforeChunkCloseInSec() {
        return number<kypi::MediaAgent_DataMoverWaitTimeBeforeChunkCloseInSec>();
    }
    unsigned long getDataMoverCloseChunkImmediately() {
        return number<kypi::MediaAgent_DataMoverCloseChunkImmediately>();
    }
    unsigned long getDataMoverDoNotWriteToMedia() {
        return number<kypi::MediaAgent_DataMoverDoNotWriteToMedia>();
    }
    unsigned long getDataPathUpdateIntervalMinutes() {
        return number<kypi::MediaAgent_DataPathUpdateIntervalMinutes>();
    }
    unsigned long getICLCheckIntervalMinutes() {
        return number<kypi::MediaAgent_ICLCheckIntervalMinutes>();
    }
    unsigned long getScsiUpdateIntervalSec() {
        return number<kypi::MediaAgent_ScsiUpdateIntervalSec>();
    }
    unsigned long getStandAloneMountThreshold() {
        return number<kypi::MediaAgent_StandAloneMountThreshold>();
    }
    unsigned long getUpdateJobManagerIntervalInSeconds() {
        return number<kypi::MediaAgent_UpdateJobManagerIntervalInSeconds>();
    }
    unsigned long getKYMAResyncTime() { return number<kypi::MediaAgent_nKYMAResyncTime>(); }
    unsigned long getDisableTapeAlert() { return number<kypi::MediaAgent_DisableTapeAlert>(); }
    unsigned long getDoNotCheckForEndOfTapeAfterSeek() {
        return number<kypi::MediaAgent_DoNotCheckForEndOfTapeAfterSeek>();
    }
    unsigned long getDoNotCheckICLValidility() {
        return number<kypi::MediaAgent_DoNotCheckICLValidility>();
    }
    unsigned long getDoNotFailCleaningReq() {
        return number<kypi::MediaAgent_DoNotFailCleaningReq>();
    }
    unsigned long getSarvexCalculatedSpace() {
        return number<kypi::MediaAgent_SarvexCalculatedSpace>();
    }
    unsigned long getSarvexFileMarkCaching() {
        return number<kypi::MediaAgent_SarvexFileMarkCaching>();
    }
    unsigned long getSyncWriteFileMark() { return number<kypi::MediaAgent_SyncWriteFileMark>(); }
    unsigned long getEnableLogonNewCredentials() {
        return number<kypi::MediaAgent_EnableLogonNewCredentials>();
    }
    std::string getCONFIGDIR() { return text<kypi::MediaAgent_dCONFIGDIR>(); }
    std::string getRUNDRIVEPREPOSTCMD() { return text<kypi::MediaAgent_dRUNDRIVEPREPOSTCMD>(); }
    std::string getS3dfsStorageAccessList() {
        return text<kypi::MediaAgent_s3dfsStorageAccessList>();
    }
    unsigned long getEnableMPIDLookupWithOrigMPID() {
        return number<kypi::MediaAgent_nEnableMPIDLookupWithOrigMPID>();
    }
    std::string getFSINDEXCACHE(const char* client = nullptr) {
        return text<kypi::MediaAgent_dFSINDEXCACHE>(false, client);
    }
    int setFSINDEXCACHE(const char* client, const char* value) {
        return setText<kypi::MediaAgent_dFSINDEXCACHE>(value, client);
    }
    std::string getINDEXINGUSER(const char* client = nullptr) {
        return text<kypi::MediaAgent_sINDEXINGUSER>(false, client);
    }
    int setINDEXINGUSER(const char* client, const char* value) {
        return setText<kypi::MediaAgent_sINDEXINGUSER>(value, client);
    }
    int getINDEXINGPASSWORD(const char* client, KYPassword* out) {
        return password<kypi::MediaAgent_sINDEXINGPASSWORD>(out, client);
    }
    int setINDEXINGPASSWORD(const char* client, KYPassword* value) {
        return setPassword<kypi::MediaAgent_sINDEXINGPASSWORD>(value, client);
    }

    // Mount-path records. Reads see one moment of the store; a record is written in one
    // transaction under "KYMAMntPathRegLock".
    int getMountPathRecord(unsigned number, KYPI_MountPathRecord& record);
    int getMountPathRecords(std::vector<KYPI_MountPathRecord>& records);
    int setMountPathRecord(const KYPI_MountPathRecord& record);
    // The record whose "Id" is `id` ("OrigMPId" when "nEnableMPIDLookupWithOrigMPID" is set).
    int findMountPathRecord(unsigned long id, KYPI_MountPathRecord& record);
    // True for paths that begin with "IP|", "SAN|", "FC|" or "ISCSI|".
    static bool SkipProcessingMagMountPath(const char* path);

    // Pruning control below Machines\<client>\PruningControl, under
    // "KYPIPruningControlRegLock" (-1 as the last error when it cannot be had).
    int getMountPathPruningDisabled(const char* client, const char* mountPath, bool& disabled);
    int setMountPathPruningDisabled(const char* client, const char* mountPath, bool disabled);
    // "NoOfPruningSchdule" windows, "sOperationWindow0".., in the format above.
    int getPruningOperationWindows(const char* client, std::vector<KYPI_OperationWindow>& windows);
    int setPruningOperationWindows(const char* client,
                                   const std::vector<KYPI_OperationWindow>& windows);

    // "s3dfsStorageAccessList": entries separated by ";", changed under
    // "KYPI3dfsAcessListUpdateLock". Adding an entry already there changes nothing.
    int get3dfsStorageAccessList(std::vector<std::string>& entries);
    int add3dfsStorageAccess(const char* entry);
    int remove3dfsStorageAccess(const char* entry);
};

class KYPI_CommClient : public KYPI_PlatformBase {
public:
    explicit KYPI_CommClient(EvDebug* debug = nullptr)
        : KYPI_PlatformBase(KYPI_PLATFORM_TYPE_COMMCLIENT, debug) {}

    std::string getZSHOSTNAME() { return text<kypi::CommClient_sZSHOSTNAME>(); }
    int setZSHOSTNAME(const char* value) { return setText<kypi::CommClient_sZSHOSTNAME>(value); }
    std::string getZSCLIENTNAME() { return text<kypi::CommClient_sZSCLIENTNAME>(); }
    int setZSCLIENTNAME(const char* value) {
        return setText<kypi::CommClient_sZSCLIENTNAME>(value);
    }
    std::string getSQLIDANAMECHECK() { return text<kypi::CommClient_sSQLIDANAMECHECK>(); }
    std::string getPRODUCTIONDATADIR() { return text<kypi::CommClient_sPRODUCTIONDATADIR>(); }
    int setPRODUCTIONDATADIR(const char* value) {
        return setText<kypi::CommClient_sPRODUCTIONDATADIR>(value);
    }
    std::string getCacheDBRootFolder() { return text<kypi::CommClient_CacheDBRootFolder>(); }
    int setCacheDBRootFolder(const char* value) {
        return setText<kypi::CommClient_CacheDBRootFolder>(value);
    }
    std::string getSmtpMailboxPath() { return text<kypi::CommClient_strSmtpMailboxPath>(); }
    unsigned long getMailServerRole() { return number<kypi::CommClient_nMailServerRole>(); }
    std::string getJobResultsDirectory(const char* client = nullptr) {
        return text<kypi::CommClient_dJOBRESULTSDIR>(false, client);
    }
    int setJobResultsDirectory(const char* client, const char* value) {
        return setText<kypi::CommClient_dJOBRESULTSDIR>(value, client);
    }
    std::string getJOBRESULTSDIR_Username(const char* client = nullptr) {
        return text<kypi::CommClient_dJOBRESULTSDIR_Username>(false, client);
    }
    int setJOBRESULTSDIR_Username(const char* client, const char* value) {
        return setText<kypi::CommClient_dJOBRESULTSDIR_Username>(value, client);
    }
    int getJOBRESULTSDIR_Password(const char* client, KYPassword* out) {
        return password<kypi::CommClient_dJOBRESULTSDIR_Password>(out, client);
    }
    int setJOBRESULTSDIR_Password(const char* client, KYPassword* value) {
        return setPassword<kypi::CommClient_dJOBRESULTSDIR_Password>(value, client);
    }
    unsigned long getEnableramdisksizeinMB(const char* client = nullptr) {
        return number<kypi::CommClient_enableramdisksizeinMB>(false, client);
    }

    // Machines\<client>/"dJOBRESULTSDIR"; false (the store's error copied) when it cannot
    // be read or the class's platform type is not valid.
    bool getJobResultsDirectory(const char* client, std::string& directory);

    // RAM drives ("enableramdisksizeinMB") do not exist on this platform: these fail with
    // ERROR_NOT_SUPPORTED, logged.
    int GetRamDrive(const char* client, std::string& drive);
    int DropRamDrive(const char* client);
    int dropRamDriveIfStale(const char* client);

protected:
    KYPI_CommClient(KYPI_PlatformType type, EvDebug* debug) : KYPI_PlatformBase(type, debug) {}
};

class KYPI_ApplicationAgentBase : public KYPI_CommClient {
public:
    // The agent types of this library's classes (the enumeration's numbers); any number the
    // agent tables know may be given.
    enum KYPI_ApplicationAgentType {
        KYPI_AAT_UNKNOWN = 0,
        KYPI_AAT_FILESYSTEM = 1,
        KYPI_AAT_LOTUSNOTES_DOC = 2,
        KYPI_AAT_LOTUSNOTES_DB = 3,
        KYPI_AAT_MSSQL = 4,
        KYPI_AAT_MSEXCHANGE_DB = 5,
        KYPI_AAT_MSEXCHANGE_MB = 6,
        KYPI_AAT_NDS = 10,
        KYPI_AAT_NAS = 13,
        KYPI_AAT_PROXYHOST = 25,
        KYPI_AAT_SWIFTEL_EXDB = 26,
        KYPI_AAT_SWIFTEL_EXMB = 27,
        KYPI_AAT_SWIFTEL_EX2KDB = 28,
        KYPI_AAT_SWIFTEL_EX2KMB = 29,
        KYPI_AAT_SWIFTEL_FS = 30,
        KYPI_AAT_MSSHAREPOINT = 31,
        KYPI_AAT_SANVOLBKP = 32,
        KYPI_AAT_WINXP64_FILESYSTEM = 34,
        KYPI_AAT_MSEXCHANGE_MBPUBFOLDER = 35,
        KYPI_AAT_GRANULAR_AD = 39,
        KYPI_AAT_WINDOTNET32_FILESYSTEM = 43,
        KYPI_AAT_WINDOTNET64_FILESYSTEM = 44,
        KYPI_AAT_MSEXCHANGE2K_PUBFOLDER = 45,
        KYPI_AAT_MSEXCHANGE2K_DATAMIGRATOR = 46,
        KYPI_AAT_MSSHAREPOINT_DOC = 47,
        KYPI_AAT_UNIX_LOTUSNOTES_DB = 51,
        KYPI_AAT_UNIX_LOTUSNOTES_DOC = 53,
        KYPI_AAT_MSWINFS_DATAMIGRATOR = 64,
        KYPI_AAT_FSIMAGE = 73,
        KYPI_AAT_ONLINE_CONTENTINDEXING = 74,
        KYPI_AAT_MSEXCHANGE2K_DATAARCHIVER = 79,
        KYPI_AAT_UNIX_LOTUSNOTES6_DB = 102,
        KYPI_AAT_MSSHAREPOINT_SRM = 113,
        KYPI_AAT_MSEXCHANGE_ONLINECI = 114,
        KYPI_AAT_VIRTUALSERVER = 117,
    };

    explicit KYPI_ApplicationAgentBase(KYPI_ApplicationAgentType type, EvDebug* debug = nullptr);
    // A type in the job manager's numbering.
    explicit KYPI_ApplicationAgentBase(int jobManagerType, EvDebug* debug = nullptr);

    static int convertAMToEnumAAT(int jobManagerType);
    static int convertEnumToAMAAT(int type);

    int getApplicationAgentType() const { return m_agentType; }
    // The agent's display name; "" when the type has none.
    const char* getAATName() const;
    // The agent's section; null when its type has none.
    const char* getAgentSectionName() const { return m_agentSection; }
    // True when the type names no agent this library has a section for.
    bool invalidApplicationAgentType() const { return m_agentSection == nullptr; }

    // Machines\<client>\<agent section> (null client: the focus's).
    std::string getAgentDirectory(const char* client = nullptr);
    int setAgentDirectory(const char* client, const char* directory);
    std::string getAgentVersion(const char* client = nullptr);
    unsigned long getAgentInstallStatus(const char* client = nullptr, bool refresh = false);
    int setAgentInstallStatus(const char* client, unsigned long status);
    bool isAgentInstallActive(const char* client = nullptr) {
        return getAgentInstallStatus(client) == kInstallActive;
    }
    bool isAgentInstallInactive(const char* client = nullptr) {
        return getAgentInstallStatus(client) == kInstallInactive;
    }
    bool isAgentInstallFailed(const char* client = nullptr) {
        return getAgentInstallStatus(client) == kInstallFailed;
    }

    void forgetCaches() override;

private:
    void setSectionName();
    // Machines\<client>\<agent section>, or false (logged, the store untouched).
    bool agentSection(const char* client, std::string& section);

    int m_agentType = 0;
    const char* m_agentSection = nullptr;
    std::vector<std::pair<std::string, unsigned long>> m_agentInstallStatus;  // by key
};

class KYPI_FileSystemAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_FileSystemAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_FILESYSTEM, debug) {}

    unsigned long getUpdateJobManagerIntervalInSeconds() {
        return number<kypi::FileSystemAgent_UpdateJobManagerIntervalInSeconds>();
    }
    unsigned long getMaxFileSizeToContentIdx() {
        return number<kypi::FileSystemAgent_sMaxFileSizeToContentIdx>();
    }
    unsigned long getPreserveFileTimes() {
        return number<kypi::FileSystemAgent_nPreserveFileTimes>();
    }
    unsigned long getSkipDirErrors() { return number<kypi::FileSystemAgent_nSkipDirErrors>(); }
    unsigned long getFailForProxy() { return number<kypi::FileSystemAgent_nFailForProxy>(); }
    unsigned long getFailForSeekFailure() {
        return number<kypi::FileSystemAgent_nFailForSeekFailure>();
    }
    unsigned long getUseOnDiskCaching() {
        return number<kypi::FileSystemAgent_nUseOnDiskCaching>();
    }
    unsigned long getDisableSarvexMerge() {
        return number<kypi::FileSystemAgent_nDisableSarvexMerge>();
    }
    unsigned long getFilterSarvexDirectories() {
        return number<kypi::FileSystemAgent_nFilterSarvexDirectories>();
    }
    unsigned long getDoNotFilterSarvexMagneticMountPaths() {
        return number<kypi::FileSystemAgent_nDoNotFilterSarvexMagneticMountPaths>();
    }
    unsigned long getEnableUserShellFolderLookup() {
        return number<kypi::FileSystemAgent_nEnableUserShellFolderLookup>();
    }
    unsigned long getLaptopAgent() { return number<kypi::FileSystemAgent_nLaptopAgent>(); }
    std::string getUDDIDatabasePath() { return text<kypi::FileSystemAgent_sUDDIDatabasePath>(); }
    std::string getUNLINKTOREPLACE() { return text<kypi::FileSystemAgent_sUNLINKTOREPLACE>(); }
    unsigned long getNumberOfMagMountPaths() {
        return number<kypi::FileSystemAgent_nNumberOfMagMountPaths>();
    }
    unsigned long getNumberOfMovedMagMountPaths() {
        return number<kypi::FileSystemAgent_nNumberOfMovedMagMountPaths>();
    }
    unsigned long getNumberOfPnPDrivePaths() {
        return number<kypi::FileSystemAgent_nNumberOfPnPDrivePaths>();
    }
    unsigned long getNumberOfSIDBAccessPath() {
        return number<kypi::FileSystemAgent_nNumberOfSIDBAccessPath>();
    }

    // "sUNLINKTOREPLACE" is "yes": remove a file before opening it to replace it.
    bool isUnlinkToReplace();

    // Lists kept as numbered values of the section: a count and one value per entry,
    // named by a stem and the entry's index from 0.
    enum KYPI_NumberedList {
        KYPI_LIST_MAG_MOUNT_PATHS,        // "nNumberOfMagMountPaths", "sMagneticMountPath%d"
        KYPI_LIST_MOVED_MAG_MOUNT_PATHS,  // "nNumberOfMovedMagMountPaths",
                                          // "sMovedMagneticMountPath%d"
        KYPI_LIST_PNP_DRIVE_PATHS,        // "nNumberOfPnPDrivePaths", "sPnPDrivePath%d"
        KYPI_LIST_SIDB_ACCESS_PATHS,      // "nNumberOfSIDBAccessPath", "sSIDBAccessPath%d"
    };
    // Every entry, read in one moment of the store. A count past the entries is a fault
    // of the store and fails the read.
    int getListEntries(KYPI_NumberedList list, std::vector<std::string>& entries);
    // Adds an entry at the end: under the list's named mutex ("KYPISIDBAccessPathRegLock"
    // for the access paths, "KYMAMntPathRegLock" for the others; 10 s), the entry and
    // then the count in one transaction. Without the mutex nothing changes and the last
    // error is -1. `lock` false: the caller serialises the update itself.
    int addListEntry(KYPI_NumberedList list, const char* entry, bool lock = true);
    // Removes every entry equal to `entry`, moving the later ones down; same lock.
    int removeListEntry(KYPI_NumberedList list, const char* entry, bool lock = true);

    int getMagMountPaths(std::vector<std::string>& paths) {
        return getListEntries(KYPI_LIST_MAG_MOUNT_PATHS, paths);
    }
    int addMagMountPath(const char* path) { return addListEntry(KYPI_LIST_MAG_MOUNT_PATHS, path); }
    int getMovedMagMountPaths(std::vector<std::string>& paths) {
        return getListEntries(KYPI_LIST_MOVED_MAG_MOUNT_PATHS, paths);
    }
    int addMovedMagMountPath(const char* path) {
        return addListEntry(KYPI_LIST_MOVED_MAG_MOUNT_PATHS, path);
    }
    int getPnPDrivePaths(std::vector<std::string>& paths) {
        return getListEntries(KYPI_LIST_PNP_DRIVE_PATHS, paths);
    }
    int addPnPDrivePath(const char* path) { return addListEntry(KYPI_LIST_PNP_DRIVE_PATHS, path); }
    int getSIDBAccessPaths(std::vector<std::string>& paths) {
        return getListEntries(KYPI_LIST_SIDB_ACCESS_PATHS, paths);
    }
    int addSIDBAccessPath(const char* path, bool lock = true) {
        return addListEntry(KYPI_LIST_SIDB_ACCESS_PATHS, path, lock);
    }
    int removeSIDBAccessPath(const char* path, bool lock = true) {
        return removeListEntry(KYPI_LIST_SIDB_ACCESS_PATHS, path, lock);
    }
};

// Agents whose classes add nothing but their type.
class KYPI_LotusNotesDOCAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_LotusNotesDOCAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_LOTUSNOTES_DOC, debug) {}
};
class KYPI_LotusNotesDBAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_LotusNotesDBAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_LOTUSNOTES_DB, debug) {}
};
class KYPI_MSSqlAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_MSSqlAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_MSSQL, debug) {}

    unsigned long getSQLTIMER() { return number<kypi::MSSqlAgent_nSQLTIMER>(); }
    unsigned long getVDIBLOCKSIZE() { return number<kypi::MSSqlAgent_nVDIBLOCKSIZE>(); }
    unsigned long getVDIBUFFERCOUNT() { return number<kypi::MSSqlAgent_nVDIBUFFERCOUNT>(); }
    unsigned long getVDIGETCMDTIMEOUT() { return number<kypi::MSSqlAgent_nVDIGETCMDTIMEOUT>(); }
    unsigned long getVDIMAXTRANSFERSIZE() { return number<kypi::MSSqlAgent_nVDIMAXTRANSFERSIZE>(); }
    unsigned long getSQLSMOFLAGS() { return number<kypi::MSSqlAgent_nSQLSMOFLAGS>(); }
    unsigned long getLogLevel() { return number<kypi::MSSqlAgent_nLogLevel>(); }
    unsigned long getCOLLECTFILEPERSIST() { return number<kypi::MSSqlAgent_nCOLLECTFILEPERSIST>(); }
    unsigned long getIgnoreNonExistentDB() {
        return number<kypi::MSSqlAgent_nIgnoreNonExistentDB>();
    }
    unsigned long getEnableVSSDiff() { return number<kypi::MSSqlAgent_bEnableVSSDiff>(); }
    unsigned long getStopAutoDiscovery() { return number<kypi::MSSqlAgent_bStopAutoDiscovery>(); }
    unsigned long getStopBackupOnFirstDbError() {
        return number<kypi::MSSqlAgent_bStopBackupOnFirstDbError>();
    }
};
class KYPI_MSExchangeDBAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_MSExchangeDBAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_MSEXCHANGE_DB, debug) {}
};
class KYPI_MSExchangeMBAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_MSExchangeMBAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_MSEXCHANGE_MB, debug) {}

    unsigned long getSingleInstanceTimeDifference() {
        return number<kypi::MSExchangeMBAgent_nSingleInstanceTimeDifference>();
    }
};
class KYPI_NDSAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_NDSAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_NDS, debug) {}
};
// NAS clients configured below "NAS\Client List\NAS_<client>".
class KYPI_NASAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_NASAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_NAS, debug) {}

    std::string getCLIENTNAME(const char* client = nullptr) {
        return text<kypi::NASAgent_sCLIENTNAME>(false, client);
    }
    int setCLIENTNAME(const char* client, const char* value) {
        return setText<kypi::NASAgent_sCLIENTNAME>(value, client);
    }
    std::string getHOSTNAME(const char* client = nullptr) {
        return text<kypi::NASAgent_sHOSTNAME>(false, client);
    }
    int setHOSTNAME(const char* client, const char* value) {
        return setText<kypi::NASAgent_sHOSTNAME>(value, client);
    }

    // Writes the client's name and host in one transaction; deConfigNASClient removes the
    // client's key. Null or empty input, or a client name that is not one key name, fails.
    int configNASClient(const char* client, const char* host);
    int deConfigNASClient(const char* client);
};
class KYPI_ProxyHostAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_ProxyHostAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_PROXYHOST, debug) {}
};
class KYPI_SwiftelEXDBAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_SwiftelEXDBAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_SWIFTEL_EXDB, debug) {}
};
class KYPI_SwiftelEXMBAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_SwiftelEXMBAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_SWIFTEL_EXMB, debug) {}
};
class KYPI_SwiftelEX2KDBAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_SwiftelEX2KDBAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_SWIFTEL_EX2KDB, debug) {}
};
class KYPI_SwiftelEX2KMBAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_SwiftelEX2KMBAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_SWIFTEL_EX2KMB, debug) {}
};
class KYPI_SwiftelFSAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_SwiftelFSAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_SWIFTEL_FS, debug) {}
};
class KYPI_MSSharePointAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_MSSharePointAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_MSSHAREPOINT, debug) {}

    unsigned long getKEEPSTAGEDFILES() {
        return number<kypi::MSSharePointAgent_bKEEPSTAGEDFILES>();
    }
};
class KYPI_SANVolBkp : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_SANVolBkp(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_SANVOLBKP, debug) {}
};
class KYPI_WinXP64FileSystemAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_WinXP64FileSystemAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_WINXP64_FILESYSTEM, debug) {}
};
class KYPI_MSExchangeMBPubFolderAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_MSExchangeMBPubFolderAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_MSEXCHANGE_MBPUBFOLDER, debug) {}
};
class KYPI_GranularADAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_GranularADAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_GRANULAR_AD, debug) {}
};
class KYPI_WinDOTNET32FileSystemAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_WinDOTNET32FileSystemAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_WINDOTNET32_FILESYSTEM, debug) {}
};
class KYPI_WinDOTNET64FileSystemAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_WinDOTNET64FileSystemAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_WINDOTNET64_FILESYSTEM, debug) {}
};
class KYPI_MSExchange2KPubFolderAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_MSExchange2KPubFolderAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_MSEXCHANGE2K_PUBFOLDER, debug) {}
};
class KYPI_MSExchange2KDataMigratorAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_MSExchange2KDataMigratorAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_MSEXCHANGE2K_DATAMIGRATOR, debug) {}
};
class KYPI_MSSharePointDocAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_MSSharePointDocAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_MSSHAREPOINT_DOC, debug) {}

    unsigned long getKEEPSTAGEDFILES() {
        return number<kypi::MSSharePointDocAgent_bKEEPSTAGEDFILES>();
    }
};
class KYPI_UnixLotusNotesDBAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_UnixLotusNotesDBAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_UNIX_LOTUSNOTES_DB, debug) {}
};
class KYPI_UnixLotusNotesDOCAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_UnixLotusNotesDOCAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_UNIX_LOTUSNOTES_DOC, debug) {}
};
class KYPI_MSWinFSDataMigratorAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_MSWinFSDataMigratorAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_MSWINFS_DATAMIGRATOR, debug) {}
};
class KYPI_FSImage : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_FSImage(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_FSIMAGE, debug) {}
};
class KYPI_OnlineContentIndexingAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_OnlineContentIndexingAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_ONLINE_CONTENTINDEXING, debug) {}
};
class KYPI_MSExchange2KDataArchiverAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_MSExchange2KDataArchiverAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_MSEXCHANGE2K_DATAARCHIVER, debug) {}
};
class KYPI_UnixLotusNotes6DBAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_UnixLotusNotes6DBAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_UNIX_LOTUSNOTES6_DB, debug) {}
};
class KYPI_MSSharePointSRMAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_MSSharePointSRMAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_MSSHAREPOINT_SRM, debug) {}
};
class KYPI_MSExchangeOnlineCIAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_MSExchangeOnlineCIAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_MSEXCHANGE_ONLINECI, debug) {}
};
class KYPI_VirtualServerAgent : public KYPI_ApplicationAgentBase {
public:
    explicit KYPI_VirtualServerAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(KYPI_AAT_VIRTUALSERVER, debug) {}
};
// Given in the job manager's numbering.
class KYPI_MSExchangePubFolderDMAgent : public KYPI_ApplicationAgentBase {
public:
    static constexpr int kJobManagerType = 82;
    explicit KYPI_MSExchangePubFolderDMAgent(EvDebug* debug = nullptr)
        : KYPI_ApplicationAgentBase(kJobManagerType, debug) {}
};

// File-system agents of older systems.
class KYPI_WinXPFileSystemAgent : public KYPI_FileSystemAgent {
public:
    explicit KYPI_WinXPFileSystemAgent(EvDebug* debug = nullptr) : KYPI_FileSystemAgent(debug) {}
};
class KYPI_Win2KFileSystemAgent : public KYPI_FileSystemAgent {
public:
    explicit KYPI_Win2KFileSystemAgent(EvDebug* debug = nullptr) : KYPI_FileSystemAgent(debug) {}
};

// The software development kit's platform.
class KYPI_HalvaneSDK : public KYPI_PlatformBase {
public:
    explicit KYPI_HalvaneSDK(EvDebug* debug = nullptr)
        : KYPI_PlatformBase(KYPI_PLATFORM_TYPE_SDK, debug) {}
};
