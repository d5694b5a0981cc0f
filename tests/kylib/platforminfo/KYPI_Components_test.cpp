#include "kylib/platforminfo/KYPI_Components.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "kylib/platforminfo/KYPI_PlatformBase.h"
#include "tests/kylib/platforminfo/KYPI_TestSupport.h"

namespace {

using kypitest::ComponentTest;
using kypitest::Raw;

constexpr DWORD kMissing = 0xFFFFFFFF;

// ---- The getter pattern: defaults and clamps -------------------------------------------

struct GetterCase {
    const char* name;
    const char* section;
    const char* field;
    DWORD stored;  // kMissing: no value
    std::function<unsigned long()> get;
    unsigned long expected;
};

void PrintTo(const GetterCase& c, std::ostream* os) {
    *os << c.name;
}

class GetterTest : public ComponentTest, public ::testing::WithParamInterface<GetterCase> {};

TEST_P(GetterTest, ReadsDefaultsAndClamps) {
    const GetterCase& c = GetParam();
    if (c.stored != kMissing)
        Raw::dword(c.section, c.field, c.stored);
    EXPECT_EQ(c.get(), c.expected);
}

unsigned long retryCount() {
    return KYPI_Session().getRetryCount();
}
unsigned long logFileCount() {
    return KYPI_EventManager().getMaxLogFileCount();
}
unsigned long logFileSize() {
    return KYPI_EventManager().getMaxLogFileSize();
}
unsigned long kydPort() {
    return KYPI_Session().getKYDPort();
}
unsigned long retryInterval() {
    return KYPI_Session().getRetryInterval();
}

INSTANTIATE_TEST_SUITE_P(
    Values, GetterTest,
    ::testing::Values(
        GetterCase{"RetryCountMissing", "Session", "nRetryCount", kMissing, retryCount, 40},
        GetterCase{"RetryCountZero", "Session", "nRetryCount", 0, retryCount, 1},
        GetterCase{"RetryCountAboveBound", "Session", "nRetryCount", 250, retryCount, 100},
        GetterCase{"RetryCountInRange", "Session", "nRetryCount", 7, retryCount, 7},
        GetterCase{"RetryIntervalAboveBound", "Session", "nRetryInterval", 101, retryInterval, 100},
        GetterCase{"LogFileCount1", "EventManager", "nMaxLogFileCount", 1, logFileCount, 1},
        GetterCase{"LogFileCount2", "EventManager", "nMaxLogFileCount", 2, logFileCount, 2},
        GetterCase{"LogFileCount10", "EventManager", "nMaxLogFileCount", 10, logFileCount, 10},
        GetterCase{"LogFileCount11", "EventManager", "nMaxLogFileCount", 11, logFileCount, 1},
        GetterCase{"LogFileCountMissing", "EventManager", "nMaxLogFileCount", kMissing,
                   logFileCount, 1},
        GetterCase{"LogFileSize4", "EventManager", "nMaxLogFileSize", 4, logFileSize, 5},
        GetterCase{"LogFileSize50", "EventManager", "nMaxLogFileSize", 50, logFileSize, 50},
        GetterCase{"LogFileSize51", "EventManager", "nMaxLogFileSize", 51, logFileSize, 5},
        GetterCase{"LogFileSizeMissing", "EventManager", "nMaxLogFileSize", kMissing, logFileSize,
                   5},
        GetterCase{"KydPortMissing", "Session", "nKYDPORT", kMissing, kydPort, 8400},
        GetterCase{"KydPortStored", "Session", "nKYDPORT", 8600, kydPort, 8600}),
    [](const ::testing::TestParamInfo<GetterCase>& info) { return std::string(info.param.name); });

TEST_F(ComponentTest, MissingValueSetsLastErrorFromStore) {
    KYPI_Session session;
    EXPECT_EQ(session.getRetryCount(), 40u);
    EXPECT_EQ(session.getLastError(), static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
}

// ---- Cached values ---------------------------------------------------------------------

TEST_F(ComponentTest, CachedValueStaysUntilRefresh) {
    Raw::dword("Session", "nKYDPORT", 9000);
    KYPI_Session session;
    EXPECT_EQ(session.getKYDPort(), 9000u);
    Raw::dword("Session", "nKYDPORT", 9100);
    EXPECT_EQ(session.getKYDPort(), 9000u);
    EXPECT_EQ(session.getKYDPort(true), 9100u);
    EXPECT_EQ(session.getKYDPort(), 9100u);
}

TEST_F(ComponentTest, SetterUpdatesCacheAndFailedSetterClearsIt) {
    KYPI_Session session;
    ASSERT_EQ(session.setKYDPort(9400), 1);
    Raw::dword("Session", "nKYDPORT", 9500);
    EXPECT_EQ(session.getKYDPort(), 9400u) << "a successful setter caches what it wrote";

    {
        // Inside a read view every write of the thread is refused.
        kyos::reg::ReadTransaction view;
        ASSERT_EQ(view.status(), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(session.setKYDPort(9600), 0);
    }
    EXPECT_EQ(session.getLastError(), static_cast<unsigned long>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(session.getKYDPort(), 9500u)
        << "after a failed setter the next read goes to the store";
}

TEST_F(ComponentTest, ChangeOfFocusForgetsCachedValues) {
    Raw::dword("Session", "nKYDPORT", 9000);
    DWORD other = 9200;
    Raw::set("SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance002\\Session", "nKYDPORT", REG_DWORD,
             &other, sizeof other);
    KYPI_Session session;
    EXPECT_EQ(session.getKYDPort(), 9000u);
    ASSERT_EQ(session.setFocus("Instance002"), 1);
    EXPECT_EQ(session.getKYDPort(), 9200u);
}

// ---- Copies ---------------------------------------------------------------------------

TEST_F(ComponentTest, CopyOutlivesOriginalAndHasItsOwnStore) {
    Raw::dword("Session", "nKYDPORT", 9000);
    auto original = std::make_unique<KYPI_Session>();
    EXPECT_EQ(original->getKYDPort(), 9000u);
    KYPI_Session copy(*original);
    EXPECT_NE(copy.getPID(), original->getPID());
    original.reset();
    // Reads through the copy's own store (a pointer to the original's would be freed).
    EXPECT_EQ(copy.getKYDPort(true), 9000u);
    EXPECT_STREQ(copy.getPID()->getFocus(), "Instance001");
    KYPI_Session second(copy);
    ASSERT_EQ(second.setFocus("Instance002"), 1);
    EXPECT_STREQ(copy.getFocus(), "Instance001");
}

// ---- Names that become key parts ----------------------------------------------------

TEST_F(ComponentTest, BadClientNamesAreRefusedAndTheStoreIsUntouched) {
    const std::string before = kypitest::dumpStore();
    for (const char* client : {"a/b", "a\\b", "", "\\", "/"}) {
        KYPI_SILODBClientKey key;
        EXPECT_EQ(key.setEnableSilodbServerAPI(client, 1), 0) << client;
        EXPECT_EQ(key.getLastError(), static_cast<unsigned long>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(key.getEnableSilodbServerAPI(client), 0u);
    }
    EXPECT_EQ(kypitest::dumpStore(), before);
}

TEST_F(ComponentTest, NullClientIsTheFocusClient) {
    KYPI_SILODBClientKey key;
    ASSERT_EQ(key.setEnableSilodbServerAPI(nullptr, 1), 1);
    DWORD value = 0;
    ASSERT_TRUE(Raw::getDword("Machines\\pc1\\SILODBDebugKeys", "EnableSilodbServerAPI", value));
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(key.getEnableSilodbServerAPI("pc1"), 1u);
}

TEST_F(ComponentTest, ValueNamedByCallerDefaultsToDefault) {
    Raw::dword("Session", "default_FDSETSZ", 64);
    Raw::dword("Session", "kyd_FDSETSZ", 128);
    KYPI_Session session;
    EXPECT_EQ(session.getFDSetSize(), 64u);
    EXPECT_EQ(session.getFDSetSize("kyd"), 128u);
}

// ---- Base: platform type and derived answers ------------------------------------------

struct RolesCase {
    DWORD plattype;
    bool zs, ma, cc, zsma, macc;
};

class BaseRolesTest : public ComponentTest, public ::testing::WithParamInterface<RolesCase> {};

TEST_P(BaseRolesTest, RolesNeedEveryBit) {
    const RolesCase& c = GetParam();
    Raw::dword("Base", "nPLATTYPE", c.plattype);
    KYPI_Base base;
    EXPECT_EQ(base.isPlatformTypeZS(), c.zs);
    EXPECT_EQ(base.isPlatformTypeMA(), c.ma);
    EXPECT_EQ(base.isPlatformTypeCC(), c.cc);
    EXPECT_EQ(base.isPlatformTypeZSMA(), c.zsma);
    EXPECT_EQ(base.isPlatformTypeMACC(), c.macc);
}

INSTANTIATE_TEST_SUITE_P(Types, BaseRolesTest,
                         ::testing::Values(RolesCase{11, true, true, false, true, false},
                                           RolesCase{2, false, true, false, false, false},
                                           RolesCase{6, false, true, true, false, true},
                                           RolesCase{0, false, false, false, false, false}));

TEST_F(ComponentTest, VersionNumber) {
    struct Case {
        const char* text;
        unsigned long number;
    };
    for (const Case& c :
         {Case{"11.40.2", 11040002}, Case{"11", 11000000}, Case{"11.40.2.7", 11040002},
          Case{"11.x", 11000000}, Case{"B", 0}, Case{"", 0}}) {
        Raw::string("Base", "sVERSION", c.text);
        EXPECT_EQ(KYPI_Base().getVersionNumber(), c.number) << c.text;
    }
}

TEST_F(ComponentTest, TempDirectoryDependsOnProductType) {
    Raw::string("Base", "dSARVEXTEMPDIR", "/opt/tmp");
    Raw::string("Base", "dTEMP", "/var/tmp");
    EXPECT_EQ(KYPI_Base().getSarvexTempDirectory(), "/opt/tmp");
    KYPI_Focus::setProductType(static_cast<KELBRIN_PRODUCT_TYPE>(2));
    EXPECT_EQ(KYPI_Base().getSarvexTempDirectory(), "/var/tmp");
}

// ---- Event locales ----------------------------------------------------------------------

TEST_F(ComponentTest, LocalesLongerThanTheOldBufferRoundTrip) {
    std::set<std::string> locales;
    for (int i = 0; i < 120; ++i)
        locales.insert("locale_name_number_" + std::to_string(i));
    KYPI_EventManager manager;
    ASSERT_EQ(manager.setEvMsgLocalesToRedirect(locales), 1);
    std::set<std::string> read{"stale"};
    ASSERT_EQ(KYPI_EventManager().getEvMsgLocalesToRedirect(read), 1);
    EXPECT_EQ(read, locales);
}

TEST_F(ComponentTest, UnreadableLocalesAreAnErrorNotAnEmptySet) {
    std::set<std::string> read{"stale"};
    KYPI_EventManager manager;
    EXPECT_EQ(manager.getEvMsgLocalesToRedirect(read), 0) << "missing";
    EXPECT_EQ(manager.getLastError(), static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
    Raw::string("EventManager", "sEvMsgLocalesToRedirect", "en-US");
    EXPECT_EQ(manager.getEvMsgLocalesToRedirect(read), 0) << "of the wrong type";
    EXPECT_TRUE(read.empty());
}

// ---- Cache database root ------------------------------------------------------------------

struct CldbCase {
    const char* name;
    const char* cacheRoot;   // null: absent
    const char* jobResults;  // null: absent
    int result;
    const char* folder;
};

class CldbRootTest : public ComponentTest, public ::testing::WithParamInterface<CldbCase> {};

TEST_P(CldbRootTest, Folder) {
    const CldbCase& c = GetParam();
    if (c.cacheRoot != nullptr)
        Raw::string("zOvivEruva", "CacheDBRootFolder", c.cacheRoot);
    if (c.jobResults != nullptr)
        Raw::string("Machines\\pc1", "dJOBRESULTSDIR", c.jobResults);
    KYPlatformInfo store(0, 0);
    std::string out = "stale";
    EXPECT_EQ(store.GetCLDBRootFolder("pc1", out), c.result);
    EXPECT_EQ(out, c.folder);
}

INSTANTIATE_TEST_SUITE_P(
    Values, CldbRootTest,
    ::testing::Values(CldbCase{"TrailingSeparator", "/data/", nullptr, 0, "/data/KY_CLDB"},
                      CldbCase{"NoTrailingSeparator", "/data", "/jr", 0, "/data/KY_CLDB"},
                      CldbCase{"EmptyCountsAsAbsent", "", "/jr", 0, "/jr/KY_CLDB"},
                      CldbCase{"Absent", nullptr, "/jr/", 0, "/jr/KY_CLDB"},
                      CldbCase{"BothAbsent", nullptr, nullptr, -1, ""}),
    [](const ::testing::TestParamInfo<CldbCase>& info) { return std::string(info.param.name); });

TEST_F(ComponentTest, CldbRootRefusesBadClient) {
    Raw::string("Machines\\pc1", "dJOBRESULTSDIR", "/jr");
    KYPlatformInfo store(0, 0);
    std::string out;
    EXPECT_EQ(store.GetCLDBRootFolder("../pc1", out), -1);
    EXPECT_EQ(store.GetCLDBRootFolder("pc1/x", out), -1);
    EXPECT_EQ(out, "");
}

// ---- Runtime ports, production data ----------------------------------------------------

TEST_F(ComponentTest, RuntimePorts) {
    KYPI_Runtime runtime;
    EXPECT_EQ(runtime.getPortNumber("svc"), 0u);
    ASSERT_EQ(runtime.setPortNumber("svc", 8401), 1);
    EXPECT_EQ(KYPI_Runtime().getPortNumber("svc"), 8401u);
    ASSERT_EQ(runtime.delPortNumber("svc"), 1);
    EXPECT_EQ(runtime.delPortNumber("svc"), 1) << "deleting an absent port succeeds";
    EXPECT_EQ(runtime.getPortNumber("svc"), 0u);
    EXPECT_EQ(runtime.setPortNumber("", 1), 0);
}

TEST_F(ComponentTest, ProductionFolderMustNotBeEmpty) {
    KYPI_Production production;
    std::string folder;
    Raw::string("zOvivEruva", "sPRODUCTIONDATADIR", "");
    EXPECT_EQ(production.getProductionDataFolder(folder), 0);
    EXPECT_EQ(production.getLastErrorMsg(), "Production Data Folder Path is empty");
    Raw::string("zOvivEruva", "sPRODUCTIONDATADIR", "/prod");
    EXPECT_EQ(production.getProductionDataFolder(folder), 1);
    EXPECT_EQ(folder, "/prod");
}

// ---- Libraries named in the store --------------------------------------------------------

class LibraryTest : public ComponentTest {
protected:
    // A copy of the test library in the test's folder, with `mode`.
    std::string copyOfLibrary(const std::string& name, mode_t mode) {
        const std::string path = dir_.file(name);
        kytest::writeFile(path, kytest::readFile(KYPI_TEST_LIBRARY));
        EXPECT_EQ(::chmod(path.c_str(), mode), 0);
        return path;
    }
    void name(const std::string& path, const char* entry) {
        Raw::string("Library", "sLNCNDYNAMIC", path);
        Raw::string("Library", "sLPCNDYNAMIC", entry);
    }
};

TEST_F(LibraryTest, LoadsAnOwnedLibraryAndResolvesTheEntry) {
    name(copyOfLibrary("good.so", 0755), "kypi_test_registration");
    KYPI_CommNetChild child;
    std::string registration;
    ASSERT_EQ(child.getRegistration(registration), 1) << child.getLastErrorMsg();
    EXPECT_EQ(registration, "gateway-registration");
}

TEST_F(LibraryTest, RefusesLibrariesOthersControl) {
    struct Case {
        const char* why;
        std::string path;
        const char* reason;
    };
    const std::string good = copyOfLibrary("good.so", 0755);
    const std::string link = dir_.file("link.so");
    ASSERT_EQ(::symlink(good.c_str(), link.c_str()), 0);
    const Case cases[] = {
        {"relative", "good.so", "not an absolute path"},
        {"group-writable", copyOfLibrary("group.so", 0775), "writable by group or others"},
        {"world-writable", copyOfLibrary("world.so", 0757), "writable by group or others"},
        {"a link", link, "symbolic link"},
        {"a directory", dir_.path(), "not a regular file"},
    };
    for (const Case& c : cases) {
        name(c.path, "kypi_test_registration");
        KYPI_Library library("sLNCNDYNAMIC", "sLPCNDYNAMIC");
        EXPECT_EQ(library.getEntryPoint(), nullptr) << c.why;
        EXPECT_FALSE(library.isLoaded()) << c.why;
        EXPECT_NE(library.getLastErrorMsg().find(c.reason), std::string::npos)
            << c.why << ": " << library.getLastErrorMsg();
    }
}

TEST_F(LibraryTest, MissingEntryNames) {
    name(copyOfLibrary("good.so", 0755), "no_such_entry");
    KYPI_Library library("sLNCNDYNAMIC", "sLPCNDYNAMIC");
    EXPECT_EQ(library.getEntryPoint(), nullptr);
    EXPECT_NE(library.getLastErrorMsg().find("Failed to get proc address of no_such_entry"),
              std::string::npos);
    KYPI_Library unnamed("sLNCNDYNAMIC", "sNoSuchField");
    EXPECT_EQ(unnamed.getEntryPoint(), nullptr);
    EXPECT_NE(unnamed.getLastErrorMsg().find("Failed to get entry name for sNoSuchField"),
              std::string::npos);
}

}  // namespace
