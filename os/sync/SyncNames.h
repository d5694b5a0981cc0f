// How the name of a kernel object becomes the name of the shared memory object that holds
// it. Internal to os/sync.
//
// The namespace prefix ("Global\" or "Local\") is dropped: the machine has one namespace.
// The rest is hashed (SHA-256, the first 128 bits in hex) into a fixed-length storage
// name, so that names of any length and any characters fit the file-name rules of
// /dev/shm, and one cannot choose a name whose storage collides with another's. The full
// name is also kept inside the object, so a collision would be seen and refused, never
// shared.
//
// Threads: the functions keep no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "os/Win32.h"

namespace kyos::sync_internal {

constexpr std::size_t kMaxObjectNameLength = 1023;

// Layout generation of the objects in /dev/shm: a change of layout changes this, so that
// programs of two generations never read each other's objects.
constexpr const char kStoragePrefix[] = "/ky.sync.v1.";

// The directory in which shm_open() keeps its objects on Linux.
constexpr const char kShmDirectory[] = "/dev/shm";

struct ObjectName {
    std::string name;         // without the namespace prefix
    std::string storageName;  // for shm_open(): kStoragePrefix + 32 hex digits
    // The hash as two numbers: objects are locked in this order by waits for all.
    std::uint64_t keyHigh = 0;
    std::uint64_t keyLow = 0;
};

// Checks a given name and fills `out`: ERROR_SUCCESS, ERROR_INVALID_NAME (nothing after
// the prefix), ERROR_PATH_NOT_FOUND (a "\" after the prefix), ERROR_FILENAME_EXCED_RANGE
// (longer than kMaxObjectNameLength) or ERROR_INTERNAL_ERROR (no hash available).
DWORD parseObjectName(const char* given, ObjectName* out);

// The storage name as a path in the file system.
std::string storagePath(const std::string& storageName);

}  // namespace kyos::sync_internal
