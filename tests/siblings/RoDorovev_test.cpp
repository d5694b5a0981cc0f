#include "siblings/RoDorovev/RoDorovev.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <boost/make_shared.hpp>
#include <filesystem>
#include <functional>
#include <mutex>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "os/LastError.h"
#include "os/Network.h"
#include "siblings/HbUtils/FXString.h"
#include "siblings/HbUtils/LogWriter.h"
#include "tests/support/TempDir.h"

namespace {

TEST(RoDorovevTest, LocalHostNameIsTheSystems) {
    char expected[256] = {};
    ASSERT_EQ(::gethostname(expected, sizeof expected - 1), 0);
    EXPECT_EQ(RoDorovev::GetLocalHostName(), expected);
}

struct AddressCase {
    const char* host;
    bool resolves;
    std::vector<std::string> expected;  // all of them, in order
};

void PrintTo(const AddressCase& c, std::ostream* os) {
    *os << '"' << c.host << '"';
}

class RoDorovevAddressTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(RoDorovevAddressTest, ResolvesToNumericTexts) {
    const AddressCase& c = GetParam();
    std::vector<std::string> addresses{"stale"};
    EXPECT_EQ(RoDorovev::GetAddressList(c.host, addresses), c.resolves);
    EXPECT_EQ(addresses, c.expected);
    EXPECT_EQ(RoDorovev::GetAddressList(c.host), c.expected);
    EXPECT_EQ(RoDorovev::ResolveFailed(c.host), !c.resolves);
}

// Numeric forms resolve to themselves without a name service; a name with a blank and a
// "!" is refused by the resolver before it asks anyone, so the cases need no network.
INSTANTIATE_TEST_SUITE_P(
    Hosts, RoDorovevAddressTest,
    ::testing::Values(AddressCase{"192.0.2.7", true, {"192.0.2.7"}},
                      AddressCase{"2001:db8::1", true, {"2001:db8::1"}},
                      AddressCase{"::ffff:192.0.2.7", true, {"::ffff:192.0.2.7"}},
                      AddressCase{"not a host!", false, {}}, AddressCase{"", false, {}}));

TEST(RoDorovevTest, LocalhostResolvesToALoopbackAddress) {
    std::vector<std::string> addresses;
    ASSERT_TRUE(RoDorovev::GetAddressList("localhost", addresses));
    ASSERT_FALSE(addresses.empty());
    EXPECT_TRUE(std::find(addresses.begin(), addresses.end(), "127.0.0.1") != addresses.end() ||
                std::find(addresses.begin(), addresses.end(), "::1") != addresses.end());
    std::set<std::string> unique(addresses.begin(), addresses.end());
    EXPECT_EQ(unique.size(), addresses.size()) << "each address once";
}

TEST(RoDorovevTest, AnUnknownNameIsReportedAsWinsockDoes) {
    std::vector<std::string> addresses;
    EXPECT_EQ(kyos::resolveHostAddresses("not a host!", &addresses), WSAHOST_NOT_FOUND);
    EXPECT_EQ(kyos::lastError(), WSAHOST_NOT_FOUND);
}

// The kernel's own account of the interfaces, read from sysfs: the MACs of six-byte
// hardware addresses that are neither loopback nor all zeros.
std::set<std::string> MacsFromSysfs() {
    constexpr unsigned long kLoopbackFlag = 0x8;  // IFF_LOOPBACK
    std::set<std::string> macs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net", ec)) {
        std::string dir = entry.path().string();
        std::string address = FXString::Trim(kytest::readFile(dir + "/address"), " \n");
        std::string length = FXString::Trim(kytest::readFile(dir + "/addr_len"), " \n");
        unsigned long flags =
            std::stoul(FXString::Trim(kytest::readFile(dir + "/flags"), " \n"), nullptr, 16);
        if (length == "6" && (flags & kLoopbackFlag) == 0 && address != "00:00:00:00:00:00")
            macs.insert(address);
    }
    return macs;
}

TEST(RoDorovevTest, MacAddressesAreThoseOfTheRealInterfaces) {
    if (!std::filesystem::exists("/sys/class/net"))
        GTEST_SKIP() << "no sysfs to compare with";
    std::vector<std::string> macs = RoDorovev::GetMacAddressList();
    std::regex shape("^([0-9a-f]{2}:){5}[0-9a-f]{2}$");
    for (const std::string& mac : macs)
        EXPECT_TRUE(std::regex_match(mac, shape)) << mac;
    std::set<std::string> unique(macs.begin(), macs.end());
    EXPECT_EQ(unique.size(), macs.size()) << "each address once";
    EXPECT_EQ(unique, MacsFromSysfs());
    EXPECT_EQ(unique.count("00:00:00:00:00:00"), 0u);
}

// --- settings --------------------------------------------------------------------------------

class RecordingWriter : public CLogWriterInterface {
public:
    int GetLevel() const override { return 2; }
    void LogMessageV(int level, const char* function, int, std::uint32_t, std::uint32_t,
                     std::uint32_t, const char* format, va_list args) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(std::to_string(level) + " " + function + ": " +
                          FXString::FormatV(format, args));
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

struct SettingCase {
    const char* name;
    std::function<void()> apply;
    std::function<bool()> holds;
    std::string logged;
};

void PrintTo(const SettingCase& c, std::ostream* os) {
    *os << c.name;
}

class RoDorovevSettingTest : public ::testing::TestWithParam<SettingCase> {
protected:
    void TearDown() override {
        SetLogWriter(nullptr);
        // The settings are process-wide: leave them as a new process has them.
        RoDorovev::SetPreferredAddressFamily(0);
        RoDorovev::DisableUnixSockets(false);
        RoDorovev::SetFdSetSize(0);
        RoDorovev::EnableFastLoopback(false);
    }
};

TEST_P(RoDorovevSettingTest, IsRememberedAndLogged) {
    auto recorder = boost::make_shared<RecordingWriter>();
    SetLogWriter(recorder);
    GetParam().apply();
    EXPECT_TRUE(GetParam().holds());
    EXPECT_EQ(recorder->Lines(), std::vector<std::string>{GetParam().logged});
}

INSTANTIATE_TEST_SUITE_P(
    Settings, RoDorovevSettingTest,
    ::testing::Values(
        SettingCase{"IPv6", [] { RoDorovev::SetPreferredAddressFamily(6); },
                    [] { return RoDorovev::GetPreferredAddressFamily() == 6; },
                    "2 RoDorovev::SetPreferredAddressFamily: Preferred IP family set to [6] "
                    "(IPv6)"},
        SettingCase{"SocketApiIPv4", [] { RoDorovev::SetPreferredAddressFamily(2); },
                    [] { return RoDorovev::GetPreferredAddressFamily() == 2; },
                    "2 RoDorovev::SetPreferredAddressFamily: Preferred IP family set to [2] "
                    "(IPv4)"},
        SettingCase{"UnknownFamily", [] { RoDorovev::SetPreferredAddressFamily(99); },
                    [] { return RoDorovev::GetPreferredAddressFamily() == 99; },
                    "2 RoDorovev::SetPreferredAddressFamily: Preferred IP family set to [99] "
                    "(unknown)"},
        SettingCase{"NoUnixSockets", [] { RoDorovev::DisableUnixSockets(); },
                    [] { return RoDorovev::AreUnixSocketsDisabled(); },
                    "2 RoDorovev::DisableUnixSockets: Unix domain sockets disabled"},
        SettingCase{"FdSetSize", [] { RoDorovev::SetFdSetSize(4096); },
                    [] { return RoDorovev::GetFdSetSize() == 4096; },
                    "2 RoDorovev::SetFdSetSize: Socket set size set to [4096]; this "
                    "system's socket sets hold [" +
                        std::to_string(kyos::socketSetCapacity()) + "]"},
        SettingCase{"FastLoopback", [] { RoDorovev::EnableFastLoopback(); },
                    [] { return RoDorovev::IsFastLoopbackEnabled(); },
                    "2 RoDorovev::EnableFastLoopback: Fast loop-back enabled"}),
    [](const ::testing::TestParamInfo<SettingCase>& info) { return info.param.name; });

TEST(RoDorovevTest, SettingsStartOffAndNeedNoLogWriter) {
    EXPECT_EQ(RoDorovev::GetPreferredAddressFamily(), 0);
    EXPECT_FALSE(RoDorovev::AreUnixSocketsDisabled());
    EXPECT_EQ(RoDorovev::GetFdSetSize(), 0);
    EXPECT_FALSE(RoDorovev::IsFastLoopbackEnabled());
    RoDorovev::EnableFastLoopback();  // the null writer takes nothing
    EXPECT_TRUE(RoDorovev::IsFastLoopbackEnabled());
    RoDorovev::EnableFastLoopback(false);
}

}  // namespace
