#include "kylib/platforminfo/KYPI_PlatformBase.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kylib/platforminfo/KYPI_AgentTypes.h"
#include "siblings/HbUtils/FXNamedMutex.h"
#include "tests/kylib/platforminfo/KYPI_TestSupport.h"

namespace {

using kypitest::ComponentTest;
using kypitest::Raw;
using Agent = KYPI_ApplicationAgentBase;

constexpr unsigned long kWrongPlatform = KYPI_PlatformBase::kErrWrongPlatform;

// Named mutexes of their own per test, and a short time-out.
class PlatformTest : public ComponentTest {
protected:
    void SetUp() override {
        ComponentTest::SetUp();
        static std::atomic<int> counter{0};
        const std::string prefix =
            "kypitest." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".";
        FXNamedMutex::setNamePrefixForTesting(prefix.c_str());
    }
    void TearDown() override {
        FXNamedMutex::setNamePrefixForTesting(nullptr);
        FXNamedMutex::setTimeoutCapForTesting(0);
        ComponentTest::TearDown();
    }
};

// ---- Platform types ----------------------------------------------------------------------

struct TypeCase {
    DWORD plattype;
    unsigned long classType;
};

class TypeFromInstallationTest : public PlatformTest,
                                 public ::testing::WithParamInterface<TypeCase> {};

TEST_P(TypeFromInstallationTest, TypeZeroTakesTheInstallationsRole) {
    Raw::dword("Base", "nPLATTYPE", GetParam().plattype);
    KYPI_PlatformBase platform(0);
    EXPECT_EQ(platform.getClassPIDPlatformType(), GetParam().classType);
}

INSTANTIATE_TEST_SUITE_P(Types, TypeFromInstallationTest,
                         ::testing::Values(TypeCase{6, 4}, TypeCase{3, 1}, TypeCase{2, 2},
                                           TypeCase{16, 0}, TypeCase{0, 0}));

TEST_F(PlatformTest, NumericTypesOutsideTheRolesAreZero) {
    for (int type : {1, 2, 4, 8, 16, 128, 256})
        EXPECT_EQ(KYPI_PlatformBase::validatePIDPlatformType(type),
                  static_cast<unsigned long>(type));
    for (int type : {3, 32, 64, 512, -1})
        EXPECT_EQ(KYPI_PlatformBase::validatePIDPlatformType(static_cast<unsigned long>(type)), 0u);
}

TEST_F(PlatformTest, VerifyCurrentPlatformType) {
    Raw::dword("Base", "nPLATTYPE", 6);
    struct Case {
        unsigned long type;
        bool holds;
    };
    for (const Case& c : {Case{0, false}, Case{4, true}, Case{6, true}, Case{1, false}}) {
        KYPI_CommClient client;
        EXPECT_EQ(client.verifyCurrentPlatformType(c.type), c.holds) << c.type;
        if (!c.holds) {
            EXPECT_EQ(client.getLastError(), kWrongPlatform) << c.type;
        }
    }
}

// ---- Sections that a type does not have ----------------------------------------------------

TEST_F(PlatformTest, HomeDirectoryOfTypesWithoutASectionFails) {
    // Where a missing section used to lead: the instance root and the client's key.
    Raw::string("", "dHOME", "/root-home");
    Raw::string("Machines\\pc1", "dHOME", "/client-home");
    Raw::string("MediaAgent", "dHOME", "/ma-home");
    for (int type : {8, 128, 256}) {
        KYPI_PlatformBase platform(type);
        EXPECT_EQ(platform.getHomeDirectory(), "") << type;
        EXPECT_EQ(platform.getLastError(), kWrongPlatform) << type;
    }
    EXPECT_EQ(KYPI_HalvaneSDK().getHomeDirectory(), "");
    EXPECT_EQ(KYPI_MediaAgent().getHomeDirectory(), "/ma-home");
}

// A type the agent tables give no section, if there is one.
int typeWithoutSection() {
    for (int type = 1; type <= 116; ++type)
        if (kypi_agent::sectionName(type) == nullptr)
            return type;
    return 0;
}

TEST_F(PlatformTest, AgentsWithoutASectionLeaveTheStoreUntouched) {
    Raw::string("", "dHOME", "/root-home");
    Raw::dword("", "nINSTALL", 1);
    Raw::string("Machines\\pc1", "dHOME", "/client-home");
    Raw::dword("Machines\\pc1", "nINSTALL", 1);
    std::vector<std::unique_ptr<Agent>> agents;
    agents.push_back(std::make_unique<Agent>(Agent::KYPI_AAT_UNKNOWN));
    agents.push_back(std::make_unique<Agent>(static_cast<Agent::KYPI_ApplicationAgentType>(118)));
    if (const int type = typeWithoutSection())
        agents.push_back(
            std::make_unique<Agent>(static_cast<Agent::KYPI_ApplicationAgentType>(type)));
    const std::string before = kypitest::dumpStore();
    for (auto& agent : agents) {
        SCOPED_TRACE(agent->getApplicationAgentType());
        EXPECT_TRUE(agent->invalidApplicationAgentType());
        EXPECT_EQ(agent->setAgentInstallStatus(nullptr, 2), 0);
        EXPECT_EQ(agent->getLastError(), kWrongPlatform);
        EXPECT_EQ(agent->setAgentDirectory("pc1", "/elsewhere"), 0);
        EXPECT_EQ(agent->getAgentDirectory("pc1"), "");
        EXPECT_EQ(agent->getAgentInstallStatus("pc1"), 0u);
        EXPECT_EQ(agent->getAgentVersion(), "");
    }
    EXPECT_EQ(kypitest::dumpStore(), before);
}

TEST_F(PlatformTest, AgentSettersRefuseBadClientNames) {
    const std::string before = kypitest::dumpStore();
    KYPI_FileSystemAgent agent;
    for (const char* client : {"a/b", "a\\b", ""}) {
        EXPECT_EQ(agent.setAgentInstallStatus(client, 1), 0) << client;
        EXPECT_EQ(agent.getLastError(), static_cast<unsigned long>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(agent.setAgentDirectory(client, "/x"), 0) << client;
        EXPECT_EQ(agent.setJobResultsDirectory(client, "/x"), 0) << client;
    }
    EXPECT_EQ(kypitest::dumpStore(), before);
}

TEST_F(PlatformTest, AgentValuesLiveInTheClientsAgentSection) {
    KYPI_FileSystemAgent agent;
    ASSERT_EQ(agent.setAgentDirectory(nullptr, "/opt/fs"), 1);
    ASSERT_EQ(agent.setAgentInstallStatus("pc2", KYPI_PlatformBase::kInstallFailed), 1);
    EXPECT_EQ(Raw::getString("Machines\\pc1\\FileSystemAgent", "dHOME"), "/opt/fs");
    DWORD status = 0;
    ASSERT_TRUE(Raw::getDword("Machines\\pc2\\FileSystemAgent", "nINSTALL", status));
    EXPECT_EQ(status, 3u);
    EXPECT_EQ(KYPI_FileSystemAgent().getAgentDirectory(), "/opt/fs");
    EXPECT_TRUE(KYPI_FileSystemAgent().isAgentInstallFailed("pc2"));
}

// ---- Install status: one per client --------------------------------------------------------

TEST_F(PlatformTest, InstallStatusIsCachedPerClient) {
    Raw::dword("Machines\\a\\MediaAgent", "nINSTALL", 1);
    Raw::dword("Machines\\b\\MediaAgent", "nINSTALL", 2);
    Raw::dword("Machines\\a\\FileSystemAgent", "nINSTALL", 3);
    Raw::dword("Machines\\b\\FileSystemAgent", "nINSTALL", 1);
    KYPI_MediaAgent ma;
    EXPECT_EQ(ma.getInstallStatus("a"), 1u);
    EXPECT_EQ(ma.getInstallStatus("b"), 2u);
    EXPECT_TRUE(ma.isInstallActive("a"));
    EXPECT_TRUE(ma.isInstallInactive("b"));
    KYPI_FileSystemAgent fs;
    EXPECT_EQ(fs.getAgentInstallStatus("a"), 3u);
    EXPECT_EQ(fs.getAgentInstallStatus("b"), 1u);
    EXPECT_TRUE(fs.isAgentInstallFailed("a"));
    // Cached: a change shows after a refresh only.
    Raw::dword("Machines\\a\\MediaAgent", "nINSTALL", 3);
    EXPECT_EQ(ma.getInstallStatus("a"), 1u);
    EXPECT_EQ(ma.getInstallStatus("a", true), 3u);
}

TEST_F(PlatformTest, ZentraOverride) {
    KYPI_MediaAgent ma;
    EXPECT_EQ(ma.getZentraOverride(), 0);
    Raw::string("MediaAgent", "sZSHOSTNAME", "zs.example");
    EXPECT_EQ(ma.getZentraOverride(), 0) << "cached";
    EXPECT_EQ(ma.getZentraOverride(true), 1);
    EXPECT_EQ(KYPI_Zentra().getZentraOverride(), 0);
    EXPECT_EQ(KYPI_CommClient().getZentraOverride(), 0);
    EXPECT_EQ(KYPI_HalvaneSDK().getZentraOverride(), -1);
}

TEST_F(PlatformTest, CopyOutlivesOriginal) {
    Raw::dword("FileSystemAgent", "UpdateJobManagerIntervalInSeconds", 60);
    auto original = std::make_unique<KYPI_FileSystemAgent>();
    EXPECT_EQ(original->getUpdateJobManagerIntervalInSeconds(), 60u);
    KYPI_FileSystemAgent copy(*original);
    EXPECT_NE(copy.getPID(), original->getPID());
    original.reset();
    EXPECT_EQ(copy.getUpdateJobManagerIntervalInSeconds(), 60u);
    EXPECT_STREQ(copy.getPID()->getFocus(), "Instance001");
}

TEST_F(PlatformTest, RamDrivesAreNotSupported) {
    KYPI_CommClient client;
    std::string drive = "stale";
    EXPECT_EQ(client.GetRamDrive(nullptr, drive), 0);
    EXPECT_EQ(client.getLastError(), static_cast<unsigned long>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(drive, "");
    EXPECT_EQ(client.DropRamDrive(nullptr), 0);
    EXPECT_EQ(client.dropRamDriveIfStale(nullptr), 0);
    EXPECT_EQ(client.getLastError(), static_cast<unsigned long>(ERROR_NOT_SUPPORTED));
}

TEST_F(PlatformTest, NetworkPasswordOfAMediaAgentGoesToTheCommonValue) {
    Raw::dword("Base", "nPLATTYPE", 2);
    KYPI_MediaAgent ma;
    ASSERT_EQ(ma.setNetworkPassword("secret", false), 1) << ma.getLastErrorMsg();
    EXPECT_NE(Raw::getString("Session", "pCntInfo"), "<missing>");
    EXPECT_EQ(Raw::getString("MediaAgent", "pZSNETPWD"), "<missing>");
    KYPI_MediaAgent reader;
    KYPassword* password = reader.getNetworkPassword();
    ASSERT_NE(password, nullptr);
    char plain[64] = {};
    unsigned int length = sizeof plain;
    ASSERT_EQ(password->decrypt(plain, &length), 1);
    EXPECT_STREQ(plain, "secret");
    EXPECT_EQ(KYPI_Zentra().getNetworkPassword(), nullptr) << "not a central server";
}

TEST_F(PlatformTest, AgentTypeOfTheJobManagersNumbering) {
    KYPI_MSExchangePubFolderDMAgent agent;
    EXPECT_EQ(agent.getApplicationAgentType(), kypi_agent::convertAMToEnumAAT(82));
    EXPECT_STREQ(KYPI_FileSystemAgent().getAgentSectionName(), "FileSystemAgent");
    EXPECT_STREQ(KYPI_WinXPFileSystemAgent().getAgentSectionName(), "FileSystemAgent");
    EXPECT_STREQ(KYPI_MSSqlAgent().getAgentSectionName(), "MSSQLAgent");
}

// ---- Numbered lists ------------------------------------------------------------------------

using List = KYPI_FileSystemAgent::KYPI_NumberedList;

std::vector<std::string> entriesOf(List list) {
    std::vector<std::string> entries;
    EXPECT_EQ(KYPI_FileSystemAgent().getListEntries(list, entries), 1);
    return entries;
}

DWORD countOf(const char* name) {
    DWORD count = 0;
    Raw::getDword("FileSystemAgent", name, count);
    return count;
}

TEST_F(PlatformTest, ListAddAndRemove) {
    KYPI_FileSystemAgent fs;
    EXPECT_TRUE(entriesOf(List::KYPI_LIST_MAG_MOUNT_PATHS).empty());
    for (const char* path : {"/mp/a", "/mp/b", "/mp/c"})
        ASSERT_EQ(fs.addMagMountPath(path), 1);
    EXPECT_EQ(entriesOf(List::KYPI_LIST_MAG_MOUNT_PATHS),
              (std::vector<std::string>{"/mp/a", "/mp/b", "/mp/c"}));
    EXPECT_EQ(Raw::getString("FileSystemAgent", "sMagneticMountPath1"), "/mp/b");
    ASSERT_EQ(fs.removeListEntry(List::KYPI_LIST_MAG_MOUNT_PATHS, "/mp/b"), 1);
    EXPECT_EQ(entriesOf(List::KYPI_LIST_MAG_MOUNT_PATHS),
              (std::vector<std::string>{"/mp/a", "/mp/c"}));
    EXPECT_EQ(countOf("nNumberOfMagMountPaths"), 2u);
    EXPECT_EQ(Raw::getString("FileSystemAgent", "sMagneticMountPath2"), "<missing>");
    EXPECT_TRUE(entriesOf(List::KYPI_LIST_SIDB_ACCESS_PATHS).empty()) << "lists are apart";
}

TEST_F(PlatformTest, CountPastTheEntriesFailsTheRead) {
    Raw::dword("FileSystemAgent", "nNumberOfPnPDrivePaths", 2);
    Raw::string("FileSystemAgent", "sPnPDrivePath0", "/dev/a");
    std::vector<std::string> entries;
    KYPI_FileSystemAgent fs;
    EXPECT_EQ(fs.getPnPDrivePaths(entries), 0);
    EXPECT_TRUE(entries.empty());
}

// Runs `body` in a child process; returns its pid. The child ends with _exit(body()).
template <typename Body>
pid_t inChild(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    return pid;
}

int exitCodeOf(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(PlatformTest, ChildrenAddingAtOnceKeepEveryEntry) {
    constexpr int kChildren = 6;
    constexpr int kEachAdds = 5;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        children.push_back(inChild([c] {
            KYPI_FileSystemAgent fs;
            for (int i = 0; i < kEachAdds; ++i) {
                const std::string entry = "/sidb/" + std::to_string(c) + "." + std::to_string(i);
                if (!fs.addSIDBAccessPath(entry.c_str()))
                    return 1;
            }
            return 0;
        }));
    }
    for (pid_t child : children)
        EXPECT_EQ(exitCodeOf(child), 0);
    const std::vector<std::string> entries = entriesOf(List::KYPI_LIST_SIDB_ACCESS_PATHS);
    EXPECT_EQ(entries.size(), static_cast<std::size_t>(kChildren * kEachAdds));
    EXPECT_EQ(countOf("nNumberOfSIDBAccessPath"), static_cast<DWORD>(kChildren * kEachAdds));
    std::set<std::string> distinct(entries.begin(), entries.end());
    for (int c = 0; c < kChildren; ++c)
        for (int i = 0; i < kEachAdds; ++i)
            EXPECT_EQ(distinct.count("/sidb/" + std::to_string(c) + "." + std::to_string(i)), 1u);
}

// A child that holds the named mutex `name` until the parent closes `release`.
class Holder {
public:
    explicit Holder(const char* name) {
        int ready[2], release[2];
        EXPECT_EQ(::pipe(ready), 0);
        EXPECT_EQ(::pipe(release), 0);
        pid_ = inChild([&] {
            ::close(ready[0]);
            ::close(release[1]);
            FXNamedMutex mutex(name);
            if (!mutex.lock(5000))
                return 2;
            char c = 1;
            if (::write(ready[1], &c, 1) != 1)
                return 3;
            (void)::read(release[0], &c, 1);
            mutex.unlock();
            return 0;
        });
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char c = 0;
        EXPECT_EQ(::read(ready[0], &c, 1), 1) << "the holder took the mutex";
        ::close(ready[0]);
    }
    ~Holder() {
        ::close(release_);
        EXPECT_EQ(exitCodeOf(pid_), 0);
    }

private:
    pid_t pid_ = -1;
    int release_ = -1;
};

TEST_F(PlatformTest, HolderPastTheTimeOutLeavesTheListUnchanged) {
    KYPI_FileSystemAgent fs;
    ASSERT_EQ(fs.addSIDBAccessPath("/sidb/first"), 1);
    ASSERT_EQ(fs.addMagMountPath("/mp/first"), 1);
    FXNamedMutex::setTimeoutCapForTesting(200);
    {
        Holder holder("KYPISIDBAccessPathRegLock");
        EXPECT_EQ(fs.addSIDBAccessPath("/sidb/second"), 0);
        EXPECT_EQ(fs.getLastError(), KYPI_ValueState::kErrNoNamedLock);
        EXPECT_EQ(fs.removeSIDBAccessPath("/sidb/first"), 0);
        EXPECT_EQ(countOf("nNumberOfSIDBAccessPath"), 1u);
        EXPECT_EQ(entriesOf(List::KYPI_LIST_SIDB_ACCESS_PATHS),
                  std::vector<std::string>{"/sidb/first"});
        // Another list has a mutex of its own.
        EXPECT_EQ(fs.addMagMountPath("/mp/second"), 1);
        // A caller that serialises the update itself may go on.
        EXPECT_EQ(fs.addSIDBAccessPath("/sidb/unlocked", false), 1);
    }
    {
        Holder holder("KYMAMntPathRegLock");
        EXPECT_EQ(fs.addMagMountPath("/mp/third"), 0);
        EXPECT_EQ(fs.getLastError(), KYPI_ValueState::kErrNoNamedLock);
        EXPECT_EQ(fs.getLastErrorMsg(), "Failed to set Named lock [KYMAMntPathRegLock].");
        EXPECT_EQ(countOf("nNumberOfMagMountPaths"), 2u);
    }
    EXPECT_EQ(fs.addSIDBAccessPath("/sidb/second"), 1) << "free again";
}

// The step of its store commit at which a child adding an entry is killed, holding the
// mutex: 0 before its update is committed, 1 just after.
class KilledHolderTest : public PlatformTest, public ::testing::WithParamInterface<int> {};

TEST_P(KilledHolderTest, LeavesTheListWhole) {
    KYPI_FileSystemAgent fs;
    ASSERT_EQ(fs.addSIDBAccessPath("/sidb/0"), 1);
    ASSERT_EQ(fs.addSIDBAccessPath("/sidb/1"), 1);
    static int killAt;
    killAt = GetParam();
    const pid_t child = inChild([] {
        kyos::reg::setAnnounceHookForTesting([](int step) {
            if (step == killAt)
                ::raise(SIGKILL);
        });
        KYPI_FileSystemAgent(nullptr).addSIDBAccessPath("/sidb/added");
        return 0;
    });
    EXPECT_EQ(exitCodeOf(child), 128 + SIGKILL);
    std::vector<std::string> expected{"/sidb/0", "/sidb/1"};
    if (GetParam() == 1)
        expected.push_back("/sidb/added");
    EXPECT_EQ(entriesOf(List::KYPI_LIST_SIDB_ACCESS_PATHS), expected);
    EXPECT_EQ(countOf("nNumberOfSIDBAccessPath"), expected.size());
    // The dead holder's mutex is taken over.
    ASSERT_EQ(fs.addSIDBAccessPath("/sidb/2"), 1);
    expected.push_back("/sidb/2");
    EXPECT_EQ(entriesOf(List::KYPI_LIST_SIDB_ACCESS_PATHS), expected);
}

INSTANTIATE_TEST_SUITE_P(Steps, KilledHolderTest, ::testing::Values(0, 1));

// ---- Mount paths, pruning, access list -------------------------------------------------

TEST_F(PlatformTest, MountPathRecordsRoundTripAndAreFoundById) {
    KYPI_MediaAgent ma;
    KYPI_MountPathRecord record;
    record.number = 7;
    record.path = "/mnt/mp7";
    record.user = "backup";
    record.id = 70;
    record.origMPId = 700;
    record.deviceType = 3;
    ASSERT_EQ(record.password.encrypt("mp-secret"), 1);
    ASSERT_EQ(ma.setMountPathRecord(record), 1) << ma.getLastErrorMsg();
    KYPI_MountPathRecord other;
    other.number = 8;
    other.path = "SAN|lun8";
    other.id = 80;
    ASSERT_EQ(ma.setMountPathRecord(other), 1);
    Raw::string("MediaAgent\\notanumber", "Path", "/ignored");

    KYPI_MountPathRecord read;
    ASSERT_EQ(KYPI_MediaAgent().getMountPathRecord(7, read), 1);
    EXPECT_EQ(read.path, "/mnt/mp7");
    EXPECT_EQ(read.user, "backup");
    EXPECT_EQ(read.deviceType, 3u);
    char plain[64] = {};
    unsigned int length = sizeof plain;
    ASSERT_EQ(read.password.decrypt(plain, &length), 1);
    EXPECT_STREQ(plain, "mp-secret");

    std::vector<KYPI_MountPathRecord> all;
    ASSERT_EQ(ma.getMountPathRecords(all), 1);
    EXPECT_EQ(all.size(), 2u);
    ASSERT_EQ(ma.findMountPathRecord(80, read), 1);
    EXPECT_EQ(read.number, 8u);
    EXPECT_EQ(ma.findMountPathRecord(700, read), 0);
    Raw::dword("MediaAgent", "nEnableMPIDLookupWithOrigMPID", 1);
    ASSERT_EQ(ma.findMountPathRecord(700, read), 1);
    EXPECT_EQ(read.number, 7u);
}

TEST_F(PlatformTest, SkipProcessingMagMountPath) {
    for (const char* path : {"IP|10.0.0.1", "SAN|x", "FC|y", "ISCSI|z"})
        EXPECT_TRUE(KYPI_MediaAgent::SkipProcessingMagMountPath(path)) << path;
    for (const char* path : {"/mnt/IP|x", "ip|x", "SAN", "", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(KYPI_MediaAgent::SkipProcessingMagMountPath(path));
}

TEST_F(PlatformTest, OperationWindowFormat) {
    struct Case {
        const char* text;
        bool valid;
    };
    for (const Case& c : {Case{"0111110|22:00-06:00", true}, Case{"1111111|00:00-23:59", true},
                          Case{"0111110|24:00-06:00", false}, Case{"0111110|22:60-06:00", false},
                          Case{"0121110|22:00-06:00", false}, Case{"011111|22:00-06:00", false},
                          Case{"0111110 22:00-06:00", false}, Case{"", false}}) {
        KYPI_OperationWindow window;
        EXPECT_EQ(KYPI_OperationWindow::parse(c.text, window), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(window.format(), c.text);
        }
    }
    KYPI_OperationWindow night;
    ASSERT_TRUE(KYPI_OperationWindow::parse("0100000|22:00-06:00", night));  // Monday night
    EXPECT_TRUE(night.contains(1, 22 * 60));
    EXPECT_TRUE(night.contains(2, 5 * 60 + 59)) << "the morning after belongs to Monday's window";
    EXPECT_FALSE(night.contains(2, 6 * 60));
    EXPECT_FALSE(night.contains(1, 5 * 60));
    EXPECT_FALSE(night.contains(2, 22 * 60));
}

TEST_F(PlatformTest, PruningControlRoundTrip) {
    KYPI_MediaAgent ma;
    bool disabled = true;
    ASSERT_EQ(ma.getMountPathPruningDisabled(nullptr, "12", disabled), 1);
    EXPECT_FALSE(disabled);
    ASSERT_EQ(ma.setMountPathPruningDisabled(nullptr, "12", true), 1);
    ASSERT_EQ(ma.getMountPathPruningDisabled("pc1", "12", disabled), 1);
    EXPECT_TRUE(disabled);
    EXPECT_EQ(ma.setMountPathPruningDisabled("pc1", "a/b", true), 0);

    std::vector<KYPI_OperationWindow> windows(2);
    ASSERT_TRUE(KYPI_OperationWindow::parse("1000001|08:00-18:00", windows[0]));
    ASSERT_TRUE(KYPI_OperationWindow::parse("0111110|22:00-06:00", windows[1]));
    ASSERT_EQ(ma.setPruningOperationWindows(nullptr, windows), 1);
    std::vector<KYPI_OperationWindow> read;
    ASSERT_EQ(ma.getPruningOperationWindows(nullptr, read), 1);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[1].format(), "0111110|22:00-06:00");

    Raw::string("Machines\\pc1\\PruningControl\\MediaAgentPruningOperationWindow",
                "sOperationWindow1", "weekdays");
    EXPECT_EQ(ma.getPruningOperationWindows(nullptr, read), 0);
    EXPECT_EQ(ma.getLastErrorMsg(), "OperationWindow string format is not proper in registry.");
    EXPECT_TRUE(read.empty());
}

TEST_F(PlatformTest, PruningControlWaitsForItsMutex) {
    FXNamedMutex::setTimeoutCapForTesting(200);
    Holder holder("KYPIPruningControlRegLock");
    KYPI_MediaAgent ma;
    bool disabled = false;
    EXPECT_EQ(ma.getMountPathPruningDisabled(nullptr, "12", disabled), 0);
    EXPECT_EQ(ma.getLastError(), KYPI_ValueState::kErrNoNamedLock);
}

TEST_F(PlatformTest, StorageAccessList) {
    KYPI_MediaAgent ma;
    ASSERT_EQ(ma.add3dfsStorageAccess("hostA"), 1);
    ASSERT_EQ(ma.add3dfsStorageAccess("hostB"), 1);
    ASSERT_EQ(ma.add3dfsStorageAccess("hostA"), 1);
    EXPECT_EQ(Raw::getString("MediaAgent", "s3dfsStorageAccessList"), "hostA;hostB");
    ASSERT_EQ(ma.remove3dfsStorageAccess("hostA"), 1);
    std::vector<std::string> entries;
    ASSERT_EQ(ma.get3dfsStorageAccessList(entries), 1);
    EXPECT_EQ(entries, std::vector<std::string>{"hostB"});
    EXPECT_EQ(ma.add3dfsStorageAccess("a;b"), 0);
}

// ---- NAS clients -------------------------------------------------------------------------

TEST_F(PlatformTest, NasClients) {
    KYPI_NASAgent nas;
    ASSERT_EQ(nas.configNASClient("filer1", "filer1.example"), 1);
    EXPECT_EQ(Raw::getString("NAS\\Client List\\NAS_filer1", "sHOSTNAME"), "filer1.example");
    EXPECT_EQ(nas.getHOSTNAME("filer1"), "filer1.example");
    EXPECT_EQ(nas.configNASClient("", "h"), 0);
    EXPECT_EQ(nas.getLastErrorMsg(), "One or more of the input arguments is INVALID.");
    EXPECT_EQ(nas.configNASClient("a/b", "h"), 0);
    EXPECT_EQ(nas.getLastErrorMsg(), "Invalid client name passed as input.");
    ASSERT_EQ(nas.deConfigNASClient("filer1"), 1);
    EXPECT_EQ(Raw::getString("NAS\\Client List\\NAS_filer1", "sHOSTNAME"), "<missing>");
}

// ---- Engine process records ----------------------------------------------------------------

TEST_F(PlatformTest, ProcessRecordOfThisProcess) {
    KYPI_SIDBEngine engines;
    ASSERT_EQ(engines.setProcess("engine1", static_cast<std::int32_t>(::getpid())), 1)
        << engines.getLastErrorMsg();
    EXPECT_TRUE(engines.isProcessRunning("engine1"));
    KYPI_EngineProcess record;
    ASSERT_EQ(KYPI_SIDBEngine("pc1").getProcess("engine1", record), 1);
    EXPECT_EQ(record.pid, static_cast<std::int32_t>(::getpid()));
    // The same pid with another start time is another process.
    record.startTime += 3600ull * 10000000ull;
    ASSERT_EQ(engines.setProcess("engine1", record), 1);
    EXPECT_FALSE(engines.isProcessRunning("engine1"));
    EXPECT_FALSE(engines.isProcessRunning("absent"));
}

TEST_F(PlatformTest, ProcessRecordsUseTheirKindsNames) {
    KYPI_EngineProcess record{1234, (std::uint64_t{7} << 32) | 9};
    ASSERT_EQ(KYPI_OnDemandService().setProcess("svc", record), 1);
    DWORD pid = 0, high = 0, low = 0;
    ASSERT_TRUE(Raw::getDword("Machines\\pc1\\OnDemandServices\\svc", "PID", pid));
    ASSERT_TRUE(Raw::getDword("Machines\\pc1\\OnDemandServices\\svc", "hStartTime", high));
    ASSERT_TRUE(Raw::getDword("Machines\\pc1\\OnDemandServices\\svc", "lStartTime", low));
    EXPECT_EQ(pid, 1234u);
    EXPECT_EQ(high, 7u);
    EXPECT_EQ(low, 9u);
    ASSERT_EQ(KYPI_SILODBEngine().setLastConnectRequestTime("e", 1700000000), 1);
    EXPECT_EQ(KYPI_SILODBEngine().getLastConnectRequestTime("e"), 1700000000u);
    DWORD stored = 0;
    ASSERT_TRUE(
        Raw::getDword("Machines\\pc1\\SILODBEngines\\e", "tLastConnectRequestTime", stored));
}

TEST_F(PlatformTest, ProcessRecordsRefuseBadNames) {
    const std::string before = kypitest::dumpStore();
    KYPI_EngineProcess record{1, 1};
    EXPECT_EQ(KYPI_SIDBEngine().setProcess("a/b", record), 0);
    EXPECT_EQ(KYPI_SIDBEngine("x\\y").setProcess("e", record), 0);
    EXPECT_EQ(KYPI_SIDBEngine().setProcess("", record), 0);
    EXPECT_EQ(kypitest::dumpStore(), before);
}

TEST_F(PlatformTest, ProcessRecordReaderNeverPairsTwoProcesses) {
    const KYPI_EngineProcess first{1111, (std::uint64_t{0x11} << 32) | 0x11};
    const KYPI_EngineProcess second{2222, (std::uint64_t{0x22} << 32) | 0x22};
    ASSERT_EQ(KYPI_SIDBEngine().setProcess("e", first), 1);
    std::atomic<bool> done{false};
    std::atomic<int> mixed{0}, reads{0};
    std::thread reader([&] {
        KYPI_SIDBEngine engines;
        while (!done.load()) {
            KYPI_EngineProcess seen;
            if (!engines.getProcess("e", seen))
                continue;
            ++reads;
            const bool whole = (seen.pid == first.pid && seen.startTime == first.startTime) ||
                               (seen.pid == second.pid && seen.startTime == second.startTime);
            if (!whole)
                ++mixed;
        }
    });
    KYPI_SIDBEngine writer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int i = 0; i < 400 && std::chrono::steady_clock::now() < deadline; ++i)
        ASSERT_EQ(writer.setProcess("e", i % 2 ? first : second), 1);
    done = true;
    reader.join();
    EXPECT_EQ(mixed.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

}  // namespace
