// Names and addresses of this machine and of other hosts: the host name, name resolution
// and the network interfaces, as the Winsock and IP Helper calls give them.
//
// Results are plain values the caller owns. Failures return their failure value and set
// the thread's last error: a Win32 code for the host name and the interface list, the
// Winsock code (WSAHOST_NOT_FOUND, ...) that getaddrinfo gives on Windows for name
// resolution. Every function may be called from any thread; none keeps state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/Win32.h"

#if !defined(_WIN32)
// Winsock's name-resolution codes (winerror.h values).
constexpr DWORD WSAHOST_NOT_FOUND = 11001;
constexpr DWORD WSATRY_AGAIN = 11002;
constexpr DWORD WSANO_RECOVERY = 11003;
constexpr DWORD WSANO_DATA = 11004;
#endif

namespace kyos {

// gethostname: TRUE with the machine's name, or FALSE with the last error set.
BOOL getLocalHostName(std::string* name);

// getaddrinfo for `host` (a name, or an address in numeric form): each address once, in
// the resolver's order, as numeric text ("192.0.2.7", "2001:db8::1"; IPv6 scopes as
// "fe80::1%eth0"). An address that cannot be rendered is an empty text in its place.
// ERROR_SUCCESS, or a WSA* code when the name does not resolve (WSAHOST_NOT_FOUND for a
// name that does not exist), which is also set as the last error; `addresses` is then
// empty.
DWORD resolveHostAddresses(const std::string& host, std::vector<std::string>* addresses);

// One network interface and its link-layer (hardware) address; the address is empty for
// interfaces that have none.
struct NetworkInterface {
    std::string name;
    bool isLoopback = false;
    bool isUp = false;
    std::vector<std::uint8_t> hardwareAddress;
};

// The machine's network interfaces, each once, in the system's order. FALSE with the
// last error set when the system cannot list them.
BOOL listNetworkInterfaces(std::vector<NetworkInterface>* interfaces);

// How many descriptors a socket set (fd_set) can hold here. Fixed when the system was
// built; Winsock lets a program choose it instead.
int socketSetCapacity();

}  // namespace kyos
