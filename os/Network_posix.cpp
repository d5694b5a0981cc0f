#include "os/Network.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netpacket/packet.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>

#include "os/LastError.h"

namespace kyos {
namespace {

// HOST_NAME_MAX is 64 on Linux; a little more costs nothing and survives other systems.
constexpr std::size_t kHostNameBufferBytes = 256;

DWORD wsaCodeFromAddrInfo(int code) {
    switch (code) {
        case EAI_AGAIN:
            return WSATRY_AGAIN;
        case EAI_FAIL:
            return WSANO_RECOVERY;
#if defined(EAI_NODATA)
        case EAI_NODATA:
#endif
        case EAI_ADDRFAMILY:
            return WSANO_DATA;
        case EAI_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EAI_SYSTEM:
            return win32FromErrno(errno);
        case EAI_NONAME:
        default:
            return WSAHOST_NOT_FOUND;
    }
}

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

struct IfAddrsDeleter {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

}  // namespace

BOOL getLocalHostName(std::string* name) {
    char buffer[kHostNameBufferBytes + 1] = {};
    if (::gethostname(buffer, kHostNameBufferBytes) != 0) {
        setLastErrorFromErrno(errno);
        return FALSE;
    }
    if (name != nullptr)
        *name = buffer;
    return TRUE;
}

DWORD resolveHostAddresses(const std::string& host, std::vector<std::string>* addresses) {
    if (addresses != nullptr)
        addresses->clear();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    // One entry per address, not one per socket type.
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &raw);
    if (rc != 0) {
        DWORD code = wsaCodeFromAddrInfo(rc);
        setLastError(code);
        return code;
    }
    std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
    std::vector<std::string> found;
    for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        char text[NI_MAXHOST] = {};
        std::string rendered;
        if (::getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0,
                          NI_NUMERICHOST) == 0)
            rendered = text;
        if (rendered.empty() || std::find(found.begin(), found.end(), rendered) == found.end())
            found.push_back(rendered);
    }
    if (addresses != nullptr)
        *addresses = std::move(found);
    return ERROR_SUCCESS;
}

BOOL listNetworkInterfaces(std::vector<NetworkInterface>* interfaces) {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) {
        setLastErrorFromErrno(errno);
        return FALSE;
    }
    std::unique_ptr<ifaddrs, IfAddrsDeleter> list(raw);
    std::vector<NetworkInterface> result;
    // getifaddrs gives one entry per interface and address family; the link-layer
    // (AF_PACKET) entry carries the hardware address.
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        std::string name = entry->ifa_name != nullptr ? entry->ifa_name : "";
        auto it = std::find_if(result.begin(), result.end(),
                               [&name](const NetworkInterface& i) { return i.name == name; });
        if (it == result.end()) {
            NetworkInterface added;
            added.name = name;
            added.isLoopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
            added.isUp = (entry->ifa_flags & IFF_UP) != 0;
            result.push_back(std::move(added));
            it = result.end() - 1;
        }
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_PACKET) {
            const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
            std::size_t length = std::min<std::size_t>(link->sll_halen, sizeof link->sll_addr);
            it->hardwareAddress.assign(link->sll_addr, link->sll_addr + length);
        }
    }
    if (interfaces != nullptr)
        *interfaces = std::move(result);
    return TRUE;
}

int socketSetCapacity() {
    return FD_SETSIZE;
}

}  // namespace kyos
