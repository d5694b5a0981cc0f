#include "os/sync/SyncNames.h"

#include <openssl/evp.h>

#include <cstring>

namespace kyos::sync_internal {
namespace {

constexpr const char kGlobalPrefix[] = "Global\\";
constexpr const char kLocalPrefix[] = "Local\\";

// 128 bits of the digest: far beyond any chance collision among the names one machine
// uses, and short enough for a readable /dev/shm listing.
constexpr std::size_t kStorageHashBytes = 16;

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

DWORD parseObjectName(const char* given, ObjectName* out) {
    const char* rest = given;
    if (startsWith(rest, kGlobalPrefix))
        rest += std::strlen(kGlobalPrefix);
    else if (startsWith(rest, kLocalPrefix))
        rest += std::strlen(kLocalPrefix);
    std::size_t length = std::strlen(rest);
    if (length == 0)
        return ERROR_INVALID_NAME;
    if (length > kMaxObjectNameLength)
        return ERROR_FILENAME_EXCED_RANGE;
    // Windows reads a further "\" as a directory of the object namespace, which does not
    // exist for the names the library makes.
    if (std::strchr(rest, '\\') != nullptr)
        return ERROR_PATH_NOT_FOUND;

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(rest, length, digest, &digestLength, EVP_sha256(), nullptr) != 1 ||
        digestLength < kStorageHashBytes)
        return ERROR_INTERNAL_ERROR;

    static const char kHex[] = "0123456789abcdef";
    std::string storage = kStoragePrefix;
    std::uint64_t high = 0, low = 0;
    for (std::size_t i = 0; i < kStorageHashBytes; ++i) {
        storage += kHex[digest[i] >> 4];
        storage += kHex[digest[i] & 0xF];
        std::uint64_t& part = i < kStorageHashBytes / 2 ? high : low;
        part = (part << 8) | digest[i];
    }
    out->name.assign(rest, length);
    out->storageName = std::move(storage);
    out->keyHigh = high;
    out->keyLow = low;
    return ERROR_SUCCESS;
}

std::string storagePath(const std::string& storageName) {
    return std::string(kShmDirectory) + storageName;
}

}  // namespace kyos::sync_internal
