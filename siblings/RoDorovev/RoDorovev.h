// RoDorovev: the part of the network library that the debug log uses when a process opens
// its log: the local host name, a host's addresses and the machine's MAC addresses, and
// four process-wide socket settings.
//
// The settings (preferred address family, Unix-domain sockets switched off, socket-set
// size, fast loop-back) are remembered and written to the process log writer
// (GetLogWriter(), level 2); on this platform they change nothing else: sockets choose
// their family from the addresses they are given, fd_set has a size fixed by the system,
// and loop-back traffic needs no fast path.
//
// Results are plain values the caller owns. Every function may be called from any
// thread; the settings are single words read and written atomically.
#pragma once

#include <string>
#include <vector>

namespace RoDorovev {

// The machine's host name; empty when the system cannot give it.
std::string GetLocalHostName();

// The addresses of `host` (a name, or an address in numeric form) as numeric texts
// ("192.0.2.7", "2001:db8::1"), each once, in the resolver's order. An address that
// cannot be rendered is an empty text in its place. Empty when there are none or the
// name does not resolve.
std::vector<std::string> GetAddressList(const std::string& host);
// The same in one lookup that also tells the two empty cases apart: false (with an empty
// list) when the name does not resolve.
bool GetAddressList(const std::string& host, std::vector<std::string>& addresses);
// Whether `host` does not resolve (a lookup of its own).
bool ResolveFailed(const std::string& host);

// The lookup behind the two functions above: the system's resolver unless one is
// installed here (tests stand in a slow or counting one); null restores the system's.
using Resolver = bool (*)(const std::string& host, std::vector<std::string>& addresses);
void SetResolver(Resolver resolver);

// The MAC addresses ("xx:xx:xx:xx:xx:xx", lower case) of the machine's interfaces, each
// once, in the system's order. Loopback interfaces, interfaces whose hardware address is
// not six bytes and all-zero addresses are left out. Empty when there are none or the
// interfaces cannot be listed.
std::vector<std::string> GetMacAddressList();

// Preferred address family for new connections: 0 for any, 4 (or AF_INET) for IPv4, 6 (or
// AF_INET6) for IPv6. Other values are kept and logged as unknown.
void SetPreferredAddressFamily(int family);
int GetPreferredAddressFamily();

// Unix-domain sockets for local connections, on by default.
void DisableUnixSockets(bool disable = true);
bool AreUnixSocketsDisabled();

// The socket-set (fd_set) size a process asks for (0: the system's own).
void SetFdSetSize(int size);
int GetFdSetSize();

// Fast loop-back for local connections, off by default.
void EnableFastLoopback(bool enable = true);
bool IsFastLoopbackEnabled();

}  // namespace RoDorovev
