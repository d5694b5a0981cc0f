#include "siblings/RoDorovev/RoDorovev.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "os/Network.h"
#include "siblings/HbUtils/LogWriter.h"

namespace RoDorovev {
namespace {

// The settings are announced once per process at start-up: detail, not news.
constexpr int kSettingsLogLevel = 2;
constexpr std::size_t kMacAddressBytes = 6;

// Address family numbers as callers may give them: ours (4, 6), and the socket API's on
// this system and on Windows (AF_INET 2 everywhere, AF_INET6 10 here and 23 there).
constexpr int kFamilyAny = 0;
constexpr int kFamilyIPv4 = 4;
constexpr int kFamilyIPv6 = 6;
constexpr int kSocketFamilyIPv4 = 2;
constexpr int kSocketFamilyIPv6Linux = 10;
constexpr int kSocketFamilyIPv6Windows = 23;

std::atomic<int> g_preferredFamily{kFamilyAny};
std::atomic<bool> g_unixSocketsDisabled{false};
std::atomic<int> g_socketSetSize{0};
std::atomic<bool> g_fastLoopback{false};
std::atomic<Resolver> g_resolver{nullptr};

bool SystemResolve(const std::string& host, std::vector<std::string>* addresses) {
    Resolver resolver = g_resolver.load(std::memory_order_acquire);
    if (resolver != nullptr) {
        std::vector<std::string> found;
        bool resolved = resolver(host, found);
        if (addresses != nullptr)
            *addresses = resolved ? std::move(found) : std::vector<std::string>();
        return resolved;
    }
    return kyos::resolveHostAddresses(host, addresses) == ERROR_SUCCESS;
}

const char* FamilyName(int family) {
    switch (family) {
        case kFamilyAny:
            return "any";
        case kFamilyIPv4:
        case kSocketFamilyIPv4:
            return "IPv4";
        case kFamilyIPv6:
        case kSocketFamilyIPv6Linux:
        case kSocketFamilyIPv6Windows:
            return "IPv6";
        default:
            return "unknown";
    }
}

void LogSetting(const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void LogSetting(const char* function, int line, const char* format, ...) {
    boost::shared_ptr<CLogWriterInterface> writer = GetLogWriter();
    if (!writer->IsLevelEnabled(kSettingsLogLevel))
        return;
    va_list args;
    va_start(args, format);
    writer->LogMessageV(kSettingsLogLevel, function, line, 0, 0, 0, format, args);
    va_end(args);
}

std::string MacText(const std::vector<std::uint8_t>& address) {
    char text[3 * kMacAddressBytes] = {};
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", address[0], address[1],
                  address[2], address[3], address[4], address[5]);
    return text;
}

}  // namespace

std::string GetLocalHostName() {
    std::string name;
    return kyos::getLocalHostName(&name) ? name : std::string();
}

std::vector<std::string> GetAddressList(const std::string& host) {
    std::vector<std::string> addresses;
    GetAddressList(host, addresses);
    return addresses;
}

bool GetAddressList(const std::string& host, std::vector<std::string>& addresses) {
    return SystemResolve(host, &addresses);
}

bool ResolveFailed(const std::string& host) {
    return !SystemResolve(host, nullptr);
}

void SetResolver(Resolver resolver) {
    g_resolver.store(resolver, std::memory_order_release);
}

std::vector<std::string> GetMacAddressList() {
    std::vector<kyos::NetworkInterface> interfaces;
    std::vector<std::string> macs;
    if (!kyos::listNetworkInterfaces(&interfaces))
        return macs;
    for (const kyos::NetworkInterface& entry : interfaces) {
        const std::vector<std::uint8_t>& address = entry.hardwareAddress;
        if (entry.isLoopback || address.size() != kMacAddressBytes ||
            std::all_of(address.begin(), address.end(), [](std::uint8_t b) { return b == 0; }))
            continue;
        std::string text = MacText(address);
        if (std::find(macs.begin(), macs.end(), text) == macs.end())
            macs.push_back(std::move(text));
    }
    return macs;
}

void SetPreferredAddressFamily(int family) {
    g_preferredFamily.store(family, std::memory_order_relaxed);
    LogSetting("RoDorovev::SetPreferredAddressFamily", __LINE__,
               "Preferred IP family set to [%d] (%s)", family, FamilyName(family));
}

int GetPreferredAddressFamily() {
    return g_preferredFamily.load(std::memory_order_relaxed);
}

void DisableUnixSockets(bool disable) {
    g_unixSocketsDisabled.store(disable, std::memory_order_relaxed);
    LogSetting("RoDorovev::DisableUnixSockets", __LINE__, "Unix domain sockets %s",
               disable ? "disabled" : "enabled");
}

bool AreUnixSocketsDisabled() {
    return g_unixSocketsDisabled.load(std::memory_order_relaxed);
}

void SetFdSetSize(int size) {
    g_socketSetSize.store(size, std::memory_order_relaxed);
    LogSetting("RoDorovev::SetFdSetSize", __LINE__,
               "Socket set size set to [%d]; this system's socket sets hold [%d]", size,
               kyos::socketSetCapacity());
}

int GetFdSetSize() {
    return g_socketSetSize.load(std::memory_order_relaxed);
}

void EnableFastLoopback(bool enable) {
    g_fastLoopback.store(enable, std::memory_order_relaxed);
    LogSetting("RoDorovev::EnableFastLoopback", __LINE__, "Fast loop-back %s",
               enable ? "enabled" : "disabled");
}

bool IsFastLoopbackEnabled() {
    return g_fastLoopback.load(std::memory_order_relaxed);
}

}  // namespace RoDorovev
