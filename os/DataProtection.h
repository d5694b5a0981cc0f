// Machine-scope data protection: small secrets sealed so that only the privileged
// processes of this machine can open them again.
//
// protectData() seals bytes with AES-256-GCM under the machine key; unprotectData() opens
// what protectData() sealed on the same machine (with the same key file). The blob is
// not secret and may be stored anywhere (the registry keeps it as hexadecimal text):
//
//     byte 0       version, 1
//     bytes 1..12  random nonce
//     then         ciphertext, as long as the data
//     last 16      authentication tag
//
// The tag also covers a fixed context label, so that AES-GCM output made for any other
// purpose never opens here, even under the same key.
//
// The machine key: 32 random bytes in a file, machineKeyPath(). The first process that
// needs the key and finds no file creates it, atomically (a complete temporary file is
// linked into place, so racing processes all end up with the one key that won). The file
// must be a regular file with no permission bits for group or others, owned by root when
// the caller runs as root, else by the caller's effective user (a user's own install or
// a test). Anything else is refused with ERROR_ACCESS_DENIED and never used: a key that
// others can read protects nothing. A key file that is damaged (wrong size, format or
// check) is refused with kMachineKeyCorrupt and left as it is; it is never replaced by a
// new key, because that would make every blob sealed before unreadable for good.
//
// Results: TRUE, or FALSE with the thread's last error set (os/LastError.h):
//   ERROR_INVALID_PARAMETER  null pointer where data is needed
//   ERROR_INVALID_DATA       blob too short, unknown version, or failed authentication
//                            (tampered, truncated, sealed under another key or label)
//   ERROR_FILE_NOT_FOUND     unprotectData() and no key file exists (it never creates one)
//   ERROR_ACCESS_DENIED      key file with loose permissions or a foreign owner, or a
//                            symbolic link
//   kMachineKeyCorrupt       key file present but damaged
//   other codes              from the file system, mapped from errno
// On failure the output is left empty.
//
// Threads: both calls may be made from any thread at once. The key is read once per key
// file and kept in memory until the process ends; every call checks (one lstat) that
// the file on disk is still the one it was read from, so that a replaced or removed key
// file is noticed instead of sealing new blobs under a key nobody else has. Secrets that pass
// through here (the key, plaintext copies) are wiped when released.
#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "os/Win32.h"

namespace kyos {

// The Windows code for "file corrupted and unreadable": a damaged machine-key file.
constexpr DWORD kMachineKeyCorrupt = ERROR_FILE_CORRUPT;

// Overwrites `len` bytes at `p` in a way the compiler may not drop.
void secureWipe(void* p, std::size_t len) noexcept;

// An allocator that wipes every block before giving it back, so that a secret held in a
// container leaves no copy behind, not even after the container grew and moved it.
template <typename T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() noexcept = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T))
            throw std::bad_array_new_length();
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        secureWipe(p, n * sizeof(T));
        ::operator delete(p);
    }

    template <typename U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const WipingAllocator<U>&) const noexcept {
        return false;
    }
};

// Bytes that are secret: wiped when the vector frees or moves its storage.
using SecureBytes = std::vector<unsigned char, WipingAllocator<unsigned char>>;

// Where the machine key lives: $KY_MACHINE_KEY when set (tests give each case its own
// file), else /var/lib/kelbrin/machine.key for root, else
// $XDG_DATA_HOME/kelbrin/machine.key (~/.local/share when unset) - beside the registry
// store. Missing folders on the way are created, readable by their owner only.
std::string machineKeyPath();

// CryptProtectData with machine scope: seals `len` bytes at `data` (null is allowed when
// `len` is 0) into `*blob`, replacing its contents. Creates the machine key when there
// is none yet.
BOOL protectData(const void* data, std::size_t len, std::vector<unsigned char>* blob);

// CryptUnprotectData: opens a blob made by protectData() into `*data`, replacing its
// contents. Never creates a machine key.
BOOL unprotectData(const void* blob, std::size_t len, SecureBytes* data);

}  // namespace kyos
