#include "kylib/crypto/KycBucket.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/SecureString.h"
#include "kylib/diagnostics/KyException.h"
#include "os/File.h"
#include "os/LastError.h"
#include "siblings/HbUtils/AutoHandles.h"

void ky::secureWipe(void* data, std::size_t size) noexcept {
    if (data != nullptr && size != 0)
        ::explicit_bzero(data, size);
}

namespace {

// Storage grows in steps of this many bytes, so that appending a byte at a time does
// not reallocate (and wipe) on every call.
constexpr std::int64_t kCapacityStep = 64;

std::int64_t roundedCapacity(std::int64_t n) {
    if (n <= 0)
        return kCapacityStep;
    return ((n - 1) / kCapacityStep + 1) * kCapacityStep;
}

// Whether [p, p + n) lies inside [begin, begin + size): appending a bucket's own bytes
// must survive the reallocation that the append may cause.
bool overlaps(const void* p, int n, const unsigned char* begin, std::int64_t size) {
    if (n <= 0 || size <= 0)
        return false;
    auto* q = static_cast<const unsigned char*>(p);
    std::less<const unsigned char*> less;
    return !less(q, begin) && less(q, begin + size);
}

void checkSource(const char* func, const void* data, int size) {
    if (size < 0)
        KY_THROW(func, "Negative size passed as input.");
    if (data == nullptr && size > 0)
        KY_THROW(func, "Null data pointer passed with a positive size.");
}

std::string systemText(int err) {
    return kyos::win32MessageText(kyos::win32FromErrno(err));
}

}  // namespace

// ---- Storage ----------------------------------------------------------------------------

void KycBucket::Storage::resize(int newSize) {
    if (newSize > capacity) {
        std::int64_t newCapacity = roundedCapacity(newSize);
        if (newCapacity > INT32_MAX)
            KY_THROW("KycBucket::Storage::resize", "Not enough memory");
        auto* block =
            static_cast<unsigned char*>(std::calloc(static_cast<std::size_t>(newCapacity), 1));
        if (block == nullptr)
            KY_THROW("KycBucket::Storage::resize", "Not enough memory");
        if (data != nullptr) {
            std::memcpy(block, data, static_cast<std::size_t>(size));
            ky::secureWipe(data, static_cast<std::size_t>(capacity));
            std::free(data);
        }
        data = block;
        capacity = static_cast<int32_t>(newCapacity);
    } else if (newSize < size) {
        // Bytes past the size stay zero: a later growth exposes them as new bytes, and
        // they may have held a secret.
        ky::secureWipe(data + newSize, static_cast<std::size_t>(size - newSize));
    }
    size = newSize;
}

namespace {

void releaseStorage(KycBucket::Storage* storage) noexcept {
    if (storage == nullptr)
        return;
    // acq_rel: the last owner must see every other owner's accesses before it wipes, and
    // each owner's accesses must be done before its reference is seen to go.
    if (storage->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        ky::secureWipe(storage->data, static_cast<std::size_t>(storage->capacity));
        std::free(storage->data);
        delete storage;
    }
}

}  // namespace

// ---- Construction -----------------------------------------------------------------------

KycBucket::KycBucket() noexcept : m_size(0), m_storage(nullptr) {
    std::memset(m_inline, 0, sizeof m_inline);
}

KycBucket::KycBucket(int n) : KycBucket() {
    resize(n);
}

KycBucket::KycBucket(const void* data, int size) : KycBucket() {
    checkSource("KycBucket::KycBucket", data, size);
    resize(size);
    if (size > 0)
        std::memcpy(getData(), data, static_cast<std::size_t>(size));
}

KycBucket::KycBucket(const std::vector<unsigned char>& bytes) : KycBucket() {
    if (bytes.size() > static_cast<std::size_t>(INT32_MAX))
        KY_THROW("KycBucket::KycBucket", "Not enough memory");
    int n = static_cast<int>(bytes.size());
    resize(n);
    if (n > 0)
        std::memcpy(getData(), bytes.data(), bytes.size());
}

KycBucket::KycBucket(const KycBucket& other) noexcept : KycBucket() {
    *this = other;
}

KycBucket& KycBucket::operator=(const KycBucket& other) noexcept {
    if (this == &other)
        return *this;
    if (other.m_storage != nullptr)
        other.m_storage->refs.fetch_add(1, std::memory_order_relaxed);
    releaseStorage(m_storage);
    m_storage = other.m_storage;
    ky::secureWipe(m_inline, sizeof m_inline);
    if (m_storage != nullptr) {
        m_size = 0;
    } else {
        m_size = other.m_size;
        std::memcpy(m_inline, other.m_inline, static_cast<std::size_t>(m_size));
    }
    return *this;
}

KycBucket::~KycBucket() {
    releaseStorage(m_storage);
    ky::secureWipe(m_inline, sizeof m_inline);
}

// ---- Access -------------------------------------------------------------------------------

bool KycBucket::operator==(const KycBucket& other) const noexcept {
    int n = getSize();
    if (n != other.getSize())
        return false;
    // Buckets hold keys and check values: the comparison takes the same time wherever
    // the first difference lies.
    const unsigned char* a = getData();
    const unsigned char* b = other.getData();
    unsigned char diff = 0;
    for (int i = 0; i < n; ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

unsigned char KycBucket::operator[](int index) const {
    if (index < 0 || index >= getSize())
        KY_THROW("KycBucket::operator[]", "Index is out of bounds.");
    return getData()[index];
}

unsigned char& KycBucket::operator[](int index) {
    if (index < 0 || index >= getSize())
        KY_THROW("KycBucket::operator[]", "Index is out of bounds.");
    return getData()[index];
}

const unsigned char* KycBucket::getData() const noexcept {
    return m_storage != nullptr ? m_storage->data : m_inline;
}

unsigned char* KycBucket::getData() {
    detach();
    return m_storage != nullptr ? m_storage->data : m_inline;
}

int KycBucket::getSize() const noexcept {
    return m_storage != nullptr ? m_storage->size : m_size;
}

KycBucket::operator std::vector<unsigned char>() const {
    const unsigned char* p = getData();
    return std::vector<unsigned char>(p, p + getSize());
}

// ---- Mutation -----------------------------------------------------------------------------

void KycBucket::detach() {
    if (m_storage == nullptr || m_storage->refs.load(std::memory_order_acquire) == 1)
        return;
    auto* copy = new Storage;
    try {
        copy->resize(m_storage->size);
    } catch (...) {
        delete copy;
        throw;
    }
    if (m_storage->size > 0)
        std::memcpy(copy->data, m_storage->data, static_cast<std::size_t>(m_storage->size));
    releaseStorage(m_storage);
    m_storage = copy;
}

void KycBucket::resize(int size) {
    if (size < 0)
        KY_THROW("KycBucket::resize", "Negative size passed as input.");
    detach();
    if (m_storage != nullptr) {
        m_storage->resize(size);
        return;
    }
    if (size <= kInlineSize) {
        if (size < m_size)
            ky::secureWipe(m_inline + size, static_cast<std::size_t>(m_size - size));
        else
            std::memset(m_inline + m_size, 0, static_cast<std::size_t>(size - m_size));
        m_size = size;
        return;
    }
    auto* storage = new Storage;
    try {
        storage->resize(size);
    } catch (...) {
        delete storage;
        throw;
    }
    std::memcpy(storage->data, m_inline, static_cast<std::size_t>(m_size));
    ky::secureWipe(m_inline, sizeof m_inline);
    m_size = 0;
    m_storage = storage;
}

void KycBucket::append(const KycBucket& other) {
    // A copy keeps the bytes alive (shared, or inline) while this bucket grows, which
    // also covers appending a bucket to itself.
    KycBucket source(other);
    append(source.getData(), source.getSize());
}

void KycBucket::append(const void* data, int size) {
    checkSource("KycBucket::append", data, size);
    if (size == 0)
        return;
    int old = getSize();
    if (size > INT32_MAX - old)
        KY_THROW("KycBucket::append", "Not enough memory");
    std::int64_t held = m_storage != nullptr ? m_storage->capacity : kInlineSize;
    if (overlaps(data, size, getData(), held)) {
        KycBucket source(data, size);
        append(source.getData(), size);
        return;
    }
    resize(old + size);
    std::memcpy(getData() + old, data, static_cast<std::size_t>(size));
}

// ---- Files --------------------------------------------------------------------------------

void KycBucket::loadBin(const char* path) {
    if (path == nullptr)
        KY_THROW("KycBucket::loadBin", "Null file path.");
    auto_handle file(kyos::createFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    if (!file.valid()) {
        KY_THROW("KycBucket::loadBin", std::string("Cannot open file ") + path + ": " +
                                           kyos::win32MessageText(kyos::lastError()));
    }
    ULONGLONG fileSize = 0;
    if (!kyos::getFileSize(file.get(), &fileSize)) {
        KY_THROW("KycBucket::loadBin", std::string("Cannot read file ") + path + ": " +
                                           kyos::win32MessageText(kyos::lastError()));
    }
    if (fileSize > static_cast<ULONGLONG>(INT32_MAX))
        KY_THROW("KycBucket::loadBin", std::string("File is too large: ") + path);
    KycBucket loaded(static_cast<int>(fileSize));
    DWORD got = 0;
    if (fileSize > 0 &&
        !kyos::readFile(file.get(), loaded.getData(), static_cast<DWORD>(fileSize), &got)) {
        KY_THROW("KycBucket::loadBin", std::string("Cannot read file ") + path + ": " +
                                           kyos::win32MessageText(kyos::lastError()));
    }
    // The file may have shrunk since its size was read.
    loaded.resize(static_cast<int>(got));
    *this = loaded;
}

void KycBucket::saveBin(const char* path) const {
    if (path == nullptr)
        KY_THROW("KycBucket::saveBin", "Null file path.");
    // Buckets hold keys: the bytes go to a private (0600) temporary file beside the target
    // and replace it in one rename, so that a crash never leaves half a key file and no
    // other user can read it at any moment.
    std::string temp = std::string(path) + ".XXXXXX";
    int fd = ::mkstemp(&temp[0]);
    if (fd < 0) {
        int err = errno;
        KY_THROW("KycBucket::saveBin",
                 std::string("Cannot create file ") + path + ": " + systemText(err));
    }
    auto fail = [&](const char* what) {
        int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        KY_THROW("KycBucket::saveBin", std::string(what) + path + ": " + systemText(err));
    };
    const unsigned char* p = getData();
    std::size_t left = static_cast<std::size_t>(getSize());
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("Cannot write file ");
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0)
        fail("Cannot write file ");
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        KY_THROW("KycBucket::saveBin",
                 std::string("Cannot write file ") + path + ": " + systemText(err));
    }
    if (::rename(temp.c_str(), path) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        KY_THROW("KycBucket::saveBin",
                 std::string("Cannot replace file ") + path + ": " + systemText(err));
    }
}

void KycBucket::loadHex(const char* path) {
    KycBucket text;
    text.loadBin(path);
    secure_string hex(reinterpret_cast<const char*>(text.getData()),
                      static_cast<std::size_t>(text.getSize()));
    // A NUL would end the text early and silently drop the rest of the key.
    if (hex.find('\0') != secure_string::npos)
        KY_THROW("KycBucket::loadHex", "Cannot convert hex to bin: Illegal character encountered.");
    *this = Kyc::hex2bin(hex.c_str());
}

void KycBucket::saveHex(const char* path) const {
    secure_string hex = Kyc::bin2hex_s(*this);
    KycBucket text(hex.data(), static_cast<int>(hex.size()));
    text.saveBin(path);
}
