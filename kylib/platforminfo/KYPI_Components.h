// KYPI_ component classes of the first family: each names one section of the instance
// (a key below the instance root, "~") and reads its values through a KYPlatformInfo of
// its own.
//
// The getters and setters come from the value table (KYPI_Values.h explains the pattern
// and the naming rule); the few members that are more than one value are declared with
// their contract. A component is a plain value made per use, used by one thread at a
// time; copies are independent. Nothing is read or written at construction.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "kylib/platforminfo/KYPI_Values.h"
#include "siblings/HbUtils/CHbLibrary.h"

class EvDebug;

// The root of the family: the object's store and its section.
class KYPI_StoreComponent : public KYPI_ValueState {
public:
    // The object's own store, found anew at each call: a copy answers with its own store,
    // never with the one of the object it was copied from.
    KYPlatformInfo* getPID() { return &m_store; }
    const char* getSectionName() const { return m_section; }

protected:
    explicit KYPI_StoreComponent(const char* section) : m_section(section) {}
    KYPI_StoreComponent(const char* section, EvDebug* debug) : m_store(debug), m_section(section) {}
    KYPI_StoreComponent(const char* section, int printErrors, int logErrors)
        : m_store(printErrors, logErrors), m_section(section) {}

    KYPlatformInfo& valueStore() override { return m_store; }

    KYPlatformInfo m_store;
    const char* m_section;
};

class KYPI_EventManager : public KYPI_StoreComponent {
public:
    KYPI_EventManager() : KYPI_StoreComponent("EventManager") {}
    explicit KYPI_EventManager(EvDebug* debug) : KYPI_StoreComponent("EventManager", debug) {}
    KYPI_EventManager(int printErrors, int logErrors)
        : KYPI_StoreComponent("EventManager", printErrors, logErrors) {}

    unsigned long getDEBUG() { return number<kypi::EventManager_nDEBUG>(); }
    int setDEBUG(unsigned long value) { return setNumber<kypi::EventManager_nDEBUG>(value); }
    std::string getEVLOGDIR(bool refresh = false) {
        return text<kypi::EventManager_dEVLOGDIR>(refresh);
    }
    unsigned long getMaxLogFileCount() { return number<kypi::EventManager_nMaxLogFileCount>(); }
    unsigned long getMaxLogFileSize() { return number<kypi::EventManager_nMaxLogFileSize>(); }
    unsigned long getEventSocketTimeout() {
        return number<kypi::EventManager_nEventSocketTimeout>();
    }
    unsigned long getSocketInactivityTimeout() {
        return number<kypi::EventManager_nSocketInactivityTimeout>();
    }
    unsigned long getCreateAlertsLog() { return number<kypi::EventManager_CreateAlertsLog>(); }
    unsigned long getRedirectEventsToLog() {
        return number<kypi::EventManager_bRedirectEventsToLog>();
    }

    // The locales whose event messages are redirected ("sEvMsgLocalesToRedirect"), read
    // whatever its size. 1 when the value was read; 0 (with the store's error: 2 when it is
    // missing) when not, so that a caller never writes back a set it did not read.
    int getEvMsgLocalesToRedirect(std::set<std::string>& locales);
    int setEvMsgLocalesToRedirect(const std::set<std::string>& locales);

protected:
    KYPI_EventManager(const char* section, EvDebug* debug) : KYPI_StoreComponent(section, debug) {}
    KYPI_EventManager(const char* section, int printErrors, int logErrors)
        : KYPI_StoreComponent(section, printErrors, logErrors) {}
};

class KYPI_Base : public KYPI_EventManager {
public:
    KYPI_Base() : KYPI_EventManager("Base", nullptr) {}
    explicit KYPI_Base(EvDebug* debug) : KYPI_EventManager("Base", debug) {}
    KYPI_Base(int printErrors, int logErrors) : KYPI_EventManager("Base", printErrors, logErrors) {}

    unsigned long getPlatformType(bool refresh = false) {
        return number<kypi::Base_nPLATTYPE>(refresh);
    }
    unsigned long getArchiveTimeoutMinutes() { return number<kypi::Base_nArchiveTimeoutMinutes>(); }
    int setArchiveTimeoutMinutes(unsigned long value) {
        return setNumber<kypi::Base_nArchiveTimeoutMinutes>(value);
    }
    unsigned long getMaxCountSessionPoolToAppMan() {
        return number<kypi::Base_nMaxCountSessionPoolToAppMan>();
    }
    unsigned long getMaxCountSessionPoolToJM() {
        return number<kypi::Base_nMaxCountSessionPoolToJM>();
    }
    std::string getHomeDirectory(bool refresh = false) {
        return text<kypi::Base_dBASEHOME>(refresh);
    }
    std::string getSarvexDirectory(bool refresh = false) {
        return text<kypi::Base_dSARVEXHOME>(refresh);
    }
    std::string getJobControlDirectory(bool refresh = false) {
        return text<kypi::Base_dJOBCONTROLDIR>(refresh);
    }
    std::string getVersion(bool refresh = false) { return text<kypi::Base_sVERSION>(refresh); }
    std::string getSarvexDBPath(bool refresh = false) {
        return text<kypi::Base_Zentra_DB_Path>(refresh);
    }

    // True when every role bit asked for is in "nPLATTYPE".
    bool isPlatformTypeZS() { return hasRoles(0x1); }
    bool isPlatformTypeMA() { return hasRoles(0x2); }
    bool isPlatformTypeCC() { return hasRoles(0x4); }
    bool isPlatformTypeZSMA() { return hasRoles(0x3); }
    bool isPlatformTypeZSCC() { return hasRoles(0x5); }
    bool isPlatformTypeMACC() { return hasRoles(0x6); }
    bool isPlatformTypeZSMACC() { return hasRoles(0x7); }

    // "dTEMP" for product type 2, else "dSARVEXTEMPDIR".
    std::string getSarvexTempDirectory(bool refresh = false);
    // The installation directory's "PF" folder.
    std::string getPassPhraseDirectory(bool refresh = false);
    // "sVERSION" as one number: its first three dot-separated parts, each the decimal
    // digits it begins with, as major * 1000000 + minor * 1000 + build ("11.40.2" ->
    // 11040002); 0 when the version cannot be read or begins with no digit.
    unsigned long getVersionNumber(bool refresh = false);
    // "nLanguageID"; -1 when missing.
    int getLanguageID() { return static_cast<int>(number<kypi::Base_nLanguageID>()); }

private:
    bool hasRoles(unsigned long roles) { return (getPlatformType() & roles) == roles; }
};

class KYPI_Session : public KYPI_StoreComponent {
public:
    KYPI_Session() : KYPI_StoreComponent("Session") {}
    explicit KYPI_Session(EvDebug* debug) : KYPI_StoreComponent("Session", debug) {}
    KYPI_Session(int printErrors, int logErrors)
        : KYPI_StoreComponent("Session", printErrors, logErrors) {}

    unsigned long getKYDPort(bool refresh = false) {
        return number<kypi::Session_nKYDPORT>(refresh);
    }
    int setKYDPort(unsigned long value) { return setNumber<kypi::Session_nKYDPORT>(value); }
    unsigned long getATTACH_TIMEOUT() { return number<kypi::Session_nATTACH_TIMEOUT>(); }
    int setATTACH_TIMEOUT(unsigned long value) {
        return setNumber<kypi::Session_nATTACH_TIMEOUT>(value);
    }
    unsigned long getDisconnectTimeOut() { return number<kypi::Session_nDISCONNECT_TIMEOUT>(); }
    int setDisconnectTimeOut(unsigned long value) {
        return setNumber<kypi::Session_nDISCONNECT_TIMEOUT>(value);
    }
    unsigned long getRetryCount() { return number<kypi::Session_nRetryCount>(); }
    unsigned long getRetryInterval() { return number<kypi::Session_nRetryInterval>(); }
    unsigned long getEnablePortCaching() { return number<kypi::Session_nEnablePortCaching>(); }
    unsigned long getSessionBlacklistExpirationTimeout() {
        return number<kypi::Session_nSessionBlacklistExpirationTimeout>();
    }
    unsigned long getSessionBlacklistGraceAttempts() {
        return number<kypi::Session_nSessionBlacklistGraceAttempts>();
    }
    unsigned long getSessionInterfacePairMapExpirationTimeout() {
        return number<kypi::Session_nSessionInterfacePairMapExpirationTimeout>();
    }
    unsigned long getPreferredIPFamily() { return number<kypi::Session_nPreferredIPFamily>(); }
    unsigned long getChatterFlag() { return number<kypi::Session_nChatterFlag>(); }
    unsigned long getEnableSendMessageRetry() {
        return number<kypi::Session_nEnableSendMessageRetry>();
    }
    unsigned long getEnableSessionBlacklist() {
        return number<kypi::Session_nEnableSessionBlacklist>();
    }
    unsigned long getEnableSessionBlacklistLogging() {
        return number<kypi::Session_nEnableSessionBlacklistLogging>();
    }
    unsigned long getEnableSessionInterfaceOverride() {
        return number<kypi::Session_nEnableSessionInterfaceOverride>();
    }
    unsigned long getSessionLoggingDisabled() {
        return number<kypi::Session_nSessionLoggingDisabled>();
    }
    unsigned long getSessionPoolDisabled() { return number<kypi::Session_nSessionPoolDisabled>(); }
    unsigned long getJMPORT(bool refresh = false) { return number<kypi::Session_nJMPORT>(refresh); }
    int setJMPORT(unsigned long value) { return setNumber<kypi::Session_nJMPORT>(value); }
    unsigned long getEVMGRCPORT(bool refresh = false) {
        return number<kypi::Session_nEVMGRCPORT>(refresh);
    }
    int setEVMGRCPORT(unsigned long value) { return setNumber<kypi::Session_nEVMGRCPORT>(value); }
    unsigned long getEMSPORT(bool refresh = false) {
        return number<kypi::Session_nEMSPORT>(refresh);
    }
    int setEMSPORT(unsigned long value) { return setNumber<kypi::Session_nEMSPORT>(value); }
    unsigned long getKYMLMPORT(bool refresh = false) {
        return number<kypi::Session_nKYMLMPORT>(refresh);
    }
    int setKYMLMPORT(unsigned long value) { return setNumber<kypi::Session_nKYMLMPORT>(value); }
    unsigned long getSMMLMPORT(bool refresh = false) {
        return number<kypi::Session_nSMMLMPORT>(refresh);
    }
    int setSMMLMPORT(unsigned long value) { return setNumber<kypi::Session_nSMMLMPORT>(value); }
    unsigned long getFDSetSize(const char* name = nullptr) {
        return number<kypi::Session_FDSETSZ>(false, name);
    }
    int setFDSetSize(const char* name, unsigned long value) {
        return setNumber<kypi::Session_FDSETSZ>(value, name);
    }
    std::string getFILEXFERDIR() { return text<kypi::Session_dFILEXFERDIR>(); }
    unsigned long getFILEXFER_RSYNC_THRESH() {
        return number<kypi::Session_nFILEXFER_RSYNC_THRESH>();
    }
    unsigned long getFILEXFER_SHA_THRESH() { return number<kypi::Session_nFILEXFER_SHA_THRESH>(); }
    unsigned long getZSAuthenticationExpiration() {
        return number<kypi::Session_nZSAuthenticationExpiration>();
    }
};

class KYPI_Kyd : public KYPI_StoreComponent {
public:
    KYPI_Kyd() : KYPI_StoreComponent("Kyd") {}
    explicit KYPI_Kyd(EvDebug* debug) : KYPI_StoreComponent("Kyd", debug) {}
    KYPI_Kyd(int printErrors, int logErrors) : KYPI_StoreComponent("Kyd", printErrors, logErrors) {}

    unsigned long getInitialKYDMessageHandlerThreads() {
        return number<kypi::Kyd_nInitialKYDMessageHandlerThreads>();
    }
    unsigned long getMinKYDMessageHandlerThreads() {
        return number<kypi::Kyd_nMinKYDMessageHandlerThreads>();
    }
    unsigned long getMaxKYDMessageHandlerThreads() {
        return number<kypi::Kyd_nMaxKYDMessageHandlerThreads>();
    }
    unsigned long getKYDMessageHandlerThreadTimeoutMinutes() {
        return number<kypi::Kyd_nKYDMessageHandlerThreadTimeoutMinutes>();
    }
    unsigned long getKYDMessageHandlerStatsDisplayIntervalMinutes() {
        return number<kypi::Kyd_nKYDMessageHandlerStatsDisplayIntervalMinutes>();
    }
    unsigned long getKYDMessageHandlerSockRecvIntervalSeconds() {
        return number<kypi::Kyd_nKYDMessageHandlerSockRecvIntervalSeconds>();
    }
    unsigned long getDisableKYDMonitoring() { return number<kypi::Kyd_nDisableKYDMonitoring>(); }
    unsigned long getINDEXDEBUG() { return number<kypi::Kyd_nINDEXDEBUG>(); }
    unsigned long getSQL() { return number<kypi::Kyd_nSQL>(); }
};

class KYPI_CommNetParent : public KYPI_StoreComponent {
public:
    KYPI_CommNetParent() : KYPI_StoreComponent("CommNet") {}
    explicit KYPI_CommNetParent(EvDebug* debug) : KYPI_StoreComponent("CommNet", debug) {}
    KYPI_CommNetParent(int printErrors, int logErrors)
        : KYPI_StoreComponent("CommNet", printErrors, logErrors) {}

    std::string getHNETNAME() { return text<kypi::CommNetParent_sHNETNAME>(); }
    std::string getHNETHOSTNAME() { return text<kypi::CommNetParent_sHNETHOSTNAME>(); }
    std::string getVERSION() { return text<kypi::CommNetParent_sVERSION>(); }
};

class KYPI_MediaManager : public KYPI_StoreComponent {
public:
    KYPI_MediaManager() : KYPI_StoreComponent("MediaManager") {}
    explicit KYPI_MediaManager(EvDebug* debug) : KYPI_StoreComponent("MediaManager", debug) {}
    KYPI_MediaManager(int printErrors, int logErrors)
        : KYPI_StoreComponent("MediaManager", printErrors, logErrors) {}

    unsigned long getGRCSharedMAUpdateIntervalMin() {
        return number<kypi::MediaManager_nGRCSharedMAUpdateIntervalMin>();
    }
    unsigned long getReleaseScsi2ReservationsIntervalMin() {
        return number<kypi::MediaManager_nReleaseScsi2ReservationsIntervalMin>();
    }
    unsigned long getAutoStuckTapeRecoveryIntervalMin() {
        return number<kypi::MediaManager_nAutoStuckTapeRecoveryIntervalMin>();
    }
    unsigned long getAutoStuckSnapShotRecoveryIntervalMin() {
        return number<kypi::MediaManager_nAutoStuckSnapShotRecoveryIntervalMin>();
    }
    unsigned long getBlindInventoryNoOfDrivesToBeUsed() {
        return number<kypi::MediaManager_nBlindInventoryNoOfDrivesToBeUsed>();
    }
    unsigned long getBlindReserveRetryTime() {
        return number<kypi::MediaManager_nBlindReserveRetryTime>();
    }
    unsigned long getDriveCleanIntervalMin() {
        return number<kypi::MediaManager_nDriveCleanIntervalMin>();
    }
    unsigned long getMaxAttemptsForDriveRecovery() {
        return number<kypi::MediaManager_nMaxAttemptsForDriveRecovery>();
    }
    unsigned long getMMSMDanglingArraysCleanupInterval() {
        return number<kypi::MediaManager_nMMSMDanglingArraysCleanupInterval>();
    }
    unsigned long getVTMaintainanceIntervalMin() {
        return number<kypi::MediaManager_nVTMaintainanceIntervalMin>();
    }
    unsigned long getLastMagneticVolumeMarkFullTime() {
        return number<kypi::MediaManager_nLastMagneticVolumeMarkFullTime>();
    }
    int setLastMagneticVolumeMarkFullTime(unsigned long value) {
        return setNumber<kypi::MediaManager_nLastMagneticVolumeMarkFullTime>(value);
    }
    unsigned long getArrayDeleteAdminThreadDisabled() {
        return number<kypi::MediaManager_bArrayDeleteAdminThreadDisabled>();
    }
    unsigned long getGetSharedMAAdminThreadDisabled() {
        return number<kypi::MediaManager_bGetSharedMAAdminThreadDisabled>();
    }
    unsigned long getSnapCleanupAdminThreadDisabled() {
        return number<kypi::MediaManager_bSnapCleanupAdminThreadDisabled>();
    }
    unsigned long getSnapDeleteAdminThreadDisabled() {
        return number<kypi::MediaManager_bSnapDeleteAdminThreadDisabled>();
    }
    unsigned long getAllowOlderMAPastExpirationDate() {
        return number<kypi::MediaManager_bAllowOlderMAPastExpirationDate>();
    }
    unsigned long getLockDRUMountPathBetweenJobs() {
        return number<kypi::MediaManager_bLockDRUMountPathBetweenJobs>();
    }
    unsigned long getLogMemoryForDBInterface() {
        return number<kypi::MediaManager_bLogMemoryForDBInterface>();
    }
    unsigned long getHostStatus(const char* host) {
        return number<kypi::MediaManager_HostStatus>(false, host);
    }
    int setHostStatus(const char* host, unsigned long value) {
        return setNumber<kypi::MediaManager_HostStatus>(value, host);
    }
    unsigned long getHostLastRetry(const char* host) {
        return number<kypi::MediaManager_HostLastRetry>(false, host);
    }
    int setHostLastRetry(const char* host, unsigned long value) {
        return setNumber<kypi::MediaManager_HostLastRetry>(value, host);
    }
    unsigned long getMountPathStatus(const char* mountPath) {
        return number<kypi::MediaManager_MountPathStatus>(false, mountPath);
    }
    int setMountPathStatus(const char* mountPath, unsigned long value) {
        return setNumber<kypi::MediaManager_MountPathStatus>(value, mountPath);
    }
    unsigned long getMountPathLastRetry(const char* mountPath) {
        return number<kypi::MediaManager_MountPathLastRetry>(false, mountPath);
    }
    int setMountPathLastRetry(const char* mountPath, unsigned long value) {
        return setNumber<kypi::MediaManager_MountPathLastRetry>(value, mountPath);
    }
};

class KYPI_ResourceManager : public KYPI_StoreComponent {
public:
    KYPI_ResourceManager() : KYPI_StoreComponent("ResourceManager") {}
    explicit KYPI_ResourceManager(EvDebug* debug) : KYPI_StoreComponent("ResourceManager", debug) {}
    KYPI_ResourceManager(int printErrors, int logErrors)
        : KYPI_StoreComponent("ResourceManager", printErrors, logErrors) {}

    unsigned long getInterruptDelayInterval() {
        return number<kypi::ResourceManager_nInterruptDelayInterval>();
    }
    unsigned long getResourceReleaseIntervalMin() {
        return number<kypi::ResourceManager_nResourceReleaseIntervalMin>();
    }
    unsigned long getDisableBackupCaching() {
        return number<kypi::ResourceManager_bDisableBackupCaching>();
    }
    unsigned long getDisableRestoreCaching() {
        return number<kypi::ResourceManager_bDisableRestoreCaching>();
    }
    unsigned long getForceMultiplex() { return number<kypi::ResourceManager_bForceMultiplex>(); }
    unsigned long getIgnoreAuxCopyVersionCheck() {
        return number<kypi::ResourceManager_bIgnoreAuxCopyVersionCheck>();
    }
    unsigned long getIgnoreBackupVersionCheck() {
        return number<kypi::ResourceManager_bIgnoreBackupVersionCheck>();
    }
    unsigned long getIgnoreRestoreVersionCheck() {
        return number<kypi::ResourceManager_bIgnoreRestoreVersionCheck>();
    }
    unsigned long getTurnOffBestcaseReservation() {
        return number<kypi::ResourceManager_bTurnOffBestcaseReservation>();
    }
};

class KYPI_Srm : public KYPI_StoreComponent {
public:
    KYPI_Srm() : KYPI_StoreComponent("SRM") {}
    explicit KYPI_Srm(EvDebug* debug) : KYPI_StoreComponent("SRM", debug) {}
    KYPI_Srm(int printErrors, int logErrors) : KYPI_StoreComponent("SRM", printErrors, logErrors) {}

    std::string getExchangeDomainName() { return text<kypi::Srm_wExchangeDomainName>(); }
    unsigned long getExchangeRemotingPort() { return number<kypi::Srm_nExchangeRemotingPort>(); }
    unsigned long getExchangeRemotingRetryCount() {
        return number<kypi::Srm_nExchangeRemotingRetryCount>();
    }
    unsigned long getSPRemotingPort() { return number<kypi::Srm_nSPRemotingPort>(); }
    unsigned long getNASCLIRetryCount() { return number<kypi::Srm_nNASCLIRetryCount>(); }
    unsigned long getNASCLITimeoutSeconds() { return number<kypi::Srm_nNASCLITimeoutSeconds>(); }
    unsigned long getWinFSDXDCRetryCount() { return number<kypi::Srm_nWinFSDXDCRetryCount>(); }
    unsigned long getWinFSDXDCRetryWaitTime() {
        return number<kypi::Srm_nWinFSDXDCRetryWaitTime>();
    }
};

class KYPI_Alert : public KYPI_StoreComponent {
public:
    KYPI_Alert() : KYPI_StoreComponent("Alert") {}
    explicit KYPI_Alert(EvDebug* debug) : KYPI_StoreComponent("Alert", debug) {}
    KYPI_Alert(int printErrors, int logErrors)
        : KYPI_StoreComponent("Alert", printErrors, logErrors) {}

    unsigned long getOptions() { return number<kypi::Alert_Options>(); }
    unsigned long getHighWaterMark() { return number<kypi::Alert_HighWaterMark>(); }
    unsigned long getLowWaterMark() { return number<kypi::Alert_LowWaterMark>(); }
};

class KYPI_NDMPAPI : public KYPI_StoreComponent {
public:
    KYPI_NDMPAPI() : KYPI_StoreComponent("NDMP_API") {}
    explicit KYPI_NDMPAPI(EvDebug* debug) : KYPI_StoreComponent("NDMP_API", debug) {}
    KYPI_NDMPAPI(int printErrors, int logErrors)
        : KYPI_StoreComponent("NDMP_API", printErrors, logErrors) {}

    unsigned long getDATATASKTERMINATIONTIMEOUT() {
        return number<kypi::NDMPAPI_nDATATASKTERMINATIONTIMEOUT>();
    }
    unsigned long getLOGSEVERITY() { return number<kypi::NDMPAPI_nLOGSEVERITY>(); }
    unsigned long getNDMPSESSIONTIMEOUT() { return number<kypi::NDMPAPI_nNDMPSESSIONTIMEOUT>(); }
    unsigned long getREADSOCKETTIMEOUT() { return number<kypi::NDMPAPI_nREADSOCKETTIMEOUT>(); }
    unsigned long getTRACECOMPONENTS() { return number<kypi::NDMPAPI_nTRACECOMPONENTS>(); }
    unsigned long getTRACEDETAIL() { return number<kypi::NDMPAPI_nTRACEDETAIL>(); }
};

// The port numbers of named services: "Runtime"/<service>.
class KYPI_Runtime : public KYPI_StoreComponent {
public:
    KYPI_Runtime() : KYPI_StoreComponent("Runtime") {}
    explicit KYPI_Runtime(EvDebug* debug) : KYPI_StoreComponent("Runtime", debug) {}

    // 0 when the service has none (or the name is null or empty).
    unsigned long getPortNumber(const char* service);
    int setPortNumber(const char* service, unsigned long port);
    // Deleting a port that is not there succeeds.
    int delPortNumber(const char* service);
};

// Production data: the folder ("zOvivEruva"/"sPRODUCTIONDATADIR") and the mount
// registrations below "ProductionData", one string value per mount (its name) holding the
// mounted path.
class KYPI_Production : public KYPI_StoreComponent {
public:
    KYPI_Production() : KYPI_StoreComponent("ProductionData") {}
    explicit KYPI_Production(EvDebug* debug) : KYPI_StoreComponent("ProductionData", debug) {}

    // Fails (logged) when the folder is not set or empty.
    int getProductionDataFolder(std::string& folder);
    int registerMount(const char* name, const char* path);
    int unregisterMount(const char* name);
    int getMounts(std::map<std::string, std::string>& mounts);
};

// A library named in the "Library" section and one entry point of it: the value
// `libraryField` holds the library's path, `entryField` the entry point's name.
//
// Only a library the installation's owner controls is loaded: an absolute path to a
// regular file (not a link) owned by root or by the process's user, and writable by
// nobody else (no group or world write bit). The file is checked and loaded through one
// open descriptor, so that it cannot be swapped in between. Every refusal is logged with
// its reason. The object owns the loaded library, so it cannot be copied.
class KYPI_Library : public KYPI_StoreComponent {
public:
    KYPI_Library(const char* libraryField, const char* entryField, EvDebug* debug = nullptr);
    KYPI_Library(const KYPI_Library&) = delete;
    KYPI_Library& operator=(const KYPI_Library&) = delete;

    // Loads the library (once) and resolves the entry point; null on failure (logged).
    void* getEntryPoint();
    bool isLoaded() const { return m_library.IsLoaded(); }

    // The check above, for a path: true when it may be loaded, else false with the reason.
    static bool isTrustedLibraryFile(const std::string& path, std::string& reason);

private:
    std::string m_libraryField, m_entryField;
    std::string m_libraryPath;  // of the library loaded
    CHbLibrary m_library;
};

// The gateway registration, read through the gateway's library: "Library"/"sLNCNDYNAMIC"
// names the library and "Library"/"sLPCNDYNAMIC" its entry point, a function
// `int entry(char* buffer, int size)` that writes the registration text (NUL-terminated)
// and returns its length, or a negative number when it has none.
class KYPI_CommNetChild : public KYPI_StoreComponent {
public:
    KYPI_CommNetChild() : KYPI_StoreComponent("CommNet") {}
    explicit KYPI_CommNetChild(EvDebug* debug) : KYPI_StoreComponent("CommNet", debug) {}

    int getRegistration(std::string& registration);

    static constexpr const char* kLibraryField = "sLNCNDYNAMIC";
    static constexpr const char* kEntryField = "sLPCNDYNAMIC";
};

// "EnableSilodbServerAPI" of a client's "SILODBDebugKeys" (null client: the focus's).
class KYPI_SILODBClientKey : public KYPI_StoreComponent {
public:
    KYPI_SILODBClientKey() : KYPI_StoreComponent("Machines") {}
    explicit KYPI_SILODBClientKey(EvDebug* debug) : KYPI_StoreComponent("Machines", debug) {}

    unsigned long getEnableSilodbServerAPI(const char* client = nullptr) {
        return number<kypi::SILODBClientKey_EnableSilodbServerAPI>(false, client);
    }
    int setEnableSilodbServerAPI(const char* client, unsigned long value) {
        return setNumber<kypi::SILODBClientKey_EnableSilodbServerAPI>(value, client);
    }
};

// The process that serves an engine, as recorded for the client's engines: its pid and
// its start time (so that a later process under a reused pid is not taken for it).
struct KYPI_EngineProcess {
    std::int32_t pid = 0;
    // 100-ns units since 1601 (kyos::processStartTime).
    std::uint64_t startTime = 0;
};

// The value names of one kind of engine record; the record of engine E of client C is
// the key Machines\C\<root>\E.
struct KYPI_EngineRecordNames {
    const char* root;
    const char* pid;
    const char* startTimeHigh;
    const char* startTimeLow;
    const char* lastConnectRequestTime;
};

// The records of one kind of engine. The pid and the two halves of the start time are
// written in one store transaction and read in one consistent view, so that a reader
// never pairs one process's pid with another's start time. Engine names are one key name
// (empty names and names with "\" or "/" are refused, the store untouched).
class KYPI_EngineRecords : public KYPI_StoreComponent {
public:
    // The process `pid`, with its start time as the system reports it now.
    int setProcess(const char* engine, std::int32_t pid);
    int setProcess(const char* engine, const KYPI_EngineProcess& process);
    int getProcess(const char* engine, KYPI_EngineProcess& process);
    // Whether the recorded process still runs: its pid is alive and started when recorded
    // (within kStartTimeTolerance, since the system's boot time moves with the clock).
    bool isProcessRunning(const char* engine);
    int deleteRecord(const char* engine);

    // Seconds since 1970.
    int setLastConnectRequestTime(const char* engine, unsigned long secondsSince1970);
    unsigned long getLastConnectRequestTime(const char* engine);
    int setSessionType(const char* engine, unsigned long type);
    unsigned long getSessionType(const char* engine);

    // Two seconds in 100-ns units.
    static constexpr std::uint64_t kStartTimeTolerance = 20000000ull;

protected:
    KYPI_EngineRecords(const KYPI_EngineRecordNames& names, const char* client, EvDebug* debug);

private:
    // The record's section, or false (logged, ERROR_INVALID_PARAMETER) for a bad name.
    bool recordSection(const char* engine, std::string& section);
    int setRecordNumber(const char* engine, const char* field, unsigned long value);
    unsigned long getRecordNumber(const char* engine, const char* field);

    const KYPI_EngineRecordNames* m_names;
    std::string m_client;  // empty: the focus's client
};

// Engines of the deduplication database: Machines\<client>\SIDBEngines.
class KYPI_SIDBEngine : public KYPI_EngineRecords {
public:
    explicit KYPI_SIDBEngine(const char* client = nullptr, EvDebug* debug = nullptr);
    static const KYPI_EngineRecordNames kNames;
};

// Engines of the local deduplication database: Machines\<client>\SILODBEngines.
class KYPI_SILODBEngine : public KYPI_EngineRecords {
public:
    explicit KYPI_SILODBEngine(const char* client = nullptr, EvDebug* debug = nullptr);
    static const KYPI_EngineRecordNames kNames;
};

// On-demand services: Machines\<client>\OnDemandServices, with the service's own value
// names ("PID", "hStartTime", "lStartTime", "LastConnectRequestTime").
class KYPI_OnDemandService : public KYPI_EngineRecords {
public:
    explicit KYPI_OnDemandService(const char* client = nullptr, EvDebug* debug = nullptr);
    static const KYPI_EngineRecordNames kNames;
};
