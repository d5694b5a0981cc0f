#include "os/DataProtection.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "os/LastError.h"

namespace kyos {

namespace {

constexpr unsigned char kBlobVersion = 1;
constexpr size_t kKeySize = 32;    // AES-256
constexpr size_t kNonceSize = 12;  // the size GCM is defined for; others cost a GHASH
constexpr size_t kTagSize = 16;    // full tag: truncated tags weaken forgery resistance
constexpr size_t kBlobOverhead = 1 + kNonceSize + kTagSize;

// Authenticated with every blob, so that GCM output of another purpose never opens here.
constexpr char kContextLabel[] = "ky.machine-data.v1";

// Key file: magic, format version, the key, and the first bytes of SHA-256 over all that.
// The check catches a damaged file before it silently seals data under a wrong key.
constexpr unsigned char kKeyMagic[4] = {'K', 'Y', 'M', 'K'};
constexpr unsigned char kKeyFileVersion = 1;
constexpr size_t kKeyCheckSize = 4;
constexpr size_t kKeyBodySize = sizeof(kKeyMagic) + 1 + kKeySize;
constexpr size_t kKeyFileSize = kKeyBodySize + kKeyCheckSize;

// EVP takes int lengths; feed large inputs in pieces well below that.
constexpr size_t kCipherChunk = size_t{1} << 30;

// Wipes a stack buffer on every way out of a scope.
class WipeOnExit {
public:
    WipeOnExit(void* p, size_t len) : p_(p), len_(len) {}
    ~WipeOnExit() { secureWipe(p_, len_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    void* p_;
    size_t len_;
};

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

BOOL fail(DWORD code) {
    setLastError(code);
    return FALSE;
}

BOOL failFromErrno(int err) {
    setLastErrorFromErrno(err);
    return FALSE;
}

std::string homeDataDir() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && *xdg == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share";
}

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates the missing folders above the key file. New ones are private: the folder
// holds the key's temporary files while it is being created.
bool makeFolders(const std::string& dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        errno = ENOTDIR;
        return false;
    }
    if (errno != ENOENT)
        return false;
    std::string parent = folderOf(dir);
    if (parent != dir && !makeFolders(parent))
        return false;
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// The rule every key file must meet before a byte of it is used.
DWORD checkKeyFileStat(const struct stat& st) {
    if (!S_ISREG(st.st_mode))
        return ERROR_ACCESS_DENIED;
    if (st.st_uid != ::geteuid())
        return ERROR_ACCESS_DENIED;
    if ((st.st_mode & 077) != 0)
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

void keyCheck(const unsigned char* body, unsigned char* check) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
    EVP_Digest(body, kKeyBodySize, digest, &digestLen, EVP_sha256(), nullptr);
    std::memcpy(check, digest, kKeyCheckSize);
    secureWipe(digest, sizeof(digest));
}

// The process's copy of the machine key, with what identifies the file it came from.
struct KeyCache {
    std::mutex mutex;
    bool valid = false;  // the fields below are guarded by mutex
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec ctime = {};
    unsigned char key[kKeySize] = {};
};

KeyCache* g_keyCache = nullptr;

KeyCache& keyCache() {
    // Never destroyed: a thread still sealing data while the process exits must not find
    // the lock gone. fork() waits for a thread inside the lock to leave it, so the child
    // never inherits the lock held by a thread it does not have. (OpenSSL's own locks
    // have no such handlers: a child forked while another thread is inside OpenSSL should
    // exec before it protects anything.)
    static KeyCache* cache = [] {
        g_keyCache = new KeyCache;
        ::pthread_atfork([] { g_keyCache->mutex.lock(); }, [] { g_keyCache->mutex.unlock(); },
                         [] { g_keyCache->mutex.unlock(); });
        return g_keyCache;
    }();
    return *cache;
}

bool sameFile(const KeyCache& cache, const std::string& path, const struct stat& st) {
    return cache.valid && cache.path == path && cache.dev == st.st_dev && cache.ino == st.st_ino &&
           cache.size == st.st_size && cache.ctime.tv_sec == st.st_ctim.tv_sec &&
           cache.ctime.tv_nsec == st.st_ctim.tv_nsec;
}

// Reads and checks the key file; on success the cache holds its key.
BOOL loadKey(KeyCache& cache, const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0)
        return errno == ELOOP ? fail(ERROR_ACCESS_DENIED) : failFromErrno(errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        return failFromErrno(errno);
    if (DWORD refused = checkKeyFileStat(st))
        return fail(refused);

    // One byte more than the format, so that a longer file is seen as damaged too.
    unsigned char record[kKeyFileSize + 1];
    WipeOnExit wipeRecord(record, sizeof(record));
    size_t got = 0;
    while (got < sizeof(record)) {
        ssize_t n = ::read(fd.get(), record + got, sizeof(record) - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failFromErrno(errno);
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got != kKeyFileSize)
        return fail(kMachineKeyCorrupt);
    unsigned char check[kKeyCheckSize];
    keyCheck(record, check);
    if (std::memcmp(record, kKeyMagic, sizeof(kKeyMagic)) != 0 ||
        record[sizeof(kKeyMagic)] != kKeyFileVersion ||
        CRYPTO_memcmp(check, record + kKeyBodySize, kKeyCheckSize) != 0)
        return fail(kMachineKeyCorrupt);

    std::memcpy(cache.key, record + sizeof(kKeyMagic) + 1, kKeySize);
    cache.path = path;
    cache.dev = st.st_dev;
    cache.ino = st.st_ino;
    cache.size = st.st_size;
    cache.ctime = st.st_ctim;
    cache.valid = true;
    return TRUE;
}

bool writeAll(int fd, const unsigned char* p, size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Creates the key file unless another process gets there first. The key is written in
// full to a private temporary file and only then linked into place: a reader never sees a
// half-written key, and link() (unlike rename()) fails when the name exists, so the first
// key to land stays and every racer reads that one afterwards.
BOOL createKeyFile(const std::string& path) {
    std::string dir = folderOf(path);
    if (!makeFolders(dir))
        return failFromErrno(errno);

    unsigned char record[kKeyFileSize];
    WipeOnExit wipeRecord(record, sizeof(record));
    std::memcpy(record, kKeyMagic, sizeof(kKeyMagic));
    record[sizeof(kKeyMagic)] = kKeyFileVersion;
    unsigned char suffix[8];
    if (RAND_bytes(record + sizeof(kKeyMagic) + 1, kKeySize) != 1 ||
        RAND_bytes(suffix, sizeof(suffix)) != 1)
        return fail(ERROR_INTERNAL_ERROR);
    keyCheck(record, record + kKeyBodySize);

    static const char kHex[] = "0123456789abcdef";
    std::string temp = path + ".tmp." + std::to_string(::getpid()) + ".";
    for (unsigned char b : suffix) {
        temp += kHex[b >> 4];
        temp += kHex[b & 15];
    }

    int err = 0;
    {
        Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.get() < 0)
            return failFromErrno(errno);
        // The umask may only take bits away, but be explicit: this is the key.
        if (::fchmod(fd.get(), 0600) != 0 || !writeAll(fd.get(), record, sizeof(record)) ||
            ::fsync(fd.get()) != 0)
            err = errno;
    }
    if (err == 0 && ::link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST)
        err = errno;
    ::unlink(temp.c_str());
    if (err != 0)
        return failFromErrno(err);

    // The new name must survive a crash as well as the data behind it.
    Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() >= 0)
        ::fsync(dirFd.get());
    return TRUE;
}

// Copies the machine key into `key`, reading (and with `create`, creating) the key file
// when the cache does not hold its current contents.
BOOL machineKey(bool create, unsigned char* key) {
    std::string path = machineKeyPath();
    KeyCache& cache = keyCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    for (int attempt = 0;; ++attempt) {
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0) {
            if (DWORD refused = checkKeyFileStat(st))
                return fail(refused);
            if (!sameFile(cache, path, st) && !loadKey(cache, path))
                return FALSE;
            std::memcpy(key, cache.key, kKeySize);
            return TRUE;
        }
        if (errno != ENOENT)
            return failFromErrno(errno);
        // Only a file that was there and vanished between lstat and open sends us round
        // again; one more try is enough to read what the winner of a race wrote.
        if (!create || attempt > 1)
            return fail(ERROR_FILE_NOT_FOUND);
        if (!createKeyFile(path))
            return FALSE;
    }
}

bool feed(EVP_CIPHER_CTX* ctx, bool encrypt, const unsigned char* in, size_t len,
          unsigned char* out) {
    while (len > 0) {
        int piece = static_cast<int>(len < kCipherChunk ? len : kCipherChunk);
        int outLen = 0;
        int ok = encrypt ? EVP_EncryptUpdate(ctx, out, &outLen, in, piece)
                         : EVP_DecryptUpdate(ctx, out, &outLen, in, piece);
        if (ok != 1 || outLen != piece)
            return false;
        in += piece;
        out += piece;
        len -= static_cast<size_t>(piece);
    }
    return true;
}

bool addLabel(EVP_CIPHER_CTX* ctx, bool encrypt) {
    int outLen = 0;
    const auto* label = reinterpret_cast<const unsigned char*>(kContextLabel);
    int labelLen = static_cast<int>(sizeof(kContextLabel) - 1);
    return (encrypt ? EVP_EncryptUpdate(ctx, nullptr, &outLen, label, labelLen)
                    : EVP_DecryptUpdate(ctx, nullptr, &outLen, label, labelLen)) == 1;
}

}  // namespace

void secureWipe(void* p, std::size_t len) noexcept {
    if (p != nullptr && len > 0)
        OPENSSL_cleanse(p, len);
}

std::string machineKeyPath() {
    const char* env = std::getenv("KY_MACHINE_KEY");
    if (env != nullptr && *env != '\0')
        return env;
    if (::geteuid() == 0)
        return "/var/lib/kelbrin/machine.key";
    return homeDataDir() + "/kelbrin/machine.key";
}

BOOL protectData(const void* data, std::size_t len, std::vector<unsigned char>* blob) {
    if (blob == nullptr || (data == nullptr && len > 0))
        return fail(ERROR_INVALID_PARAMETER);
    blob->clear();
    if (len > std::numeric_limits<std::size_t>::max() - kBlobOverhead)
        return fail(ERROR_ARITHMETIC_OVERFLOW);

    unsigned char key[kKeySize];
    WipeOnExit wipeKey(key, sizeof(key));
    if (!machineKey(true, key))
        return FALSE;

    std::vector<unsigned char> out(kBlobOverhead + len);
    out[0] = kBlobVersion;
    unsigned char* nonce = out.data() + 1;
    unsigned char* body = nonce + kNonceSize;
    unsigned char* tag = body + len;
    // A nonce must never repeat under one key; 96 random bits keep that likely enough for
    // the few secrets a machine seals.
    if (RAND_bytes(nonce, kNonceSize) != 1)
        return fail(ERROR_INTERNAL_ERROR);

    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int finalLen = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, nonce) != 1 ||
        !addLabel(ctx.get(), true) ||
        !feed(ctx.get(), true, static_cast<const unsigned char*>(data), len, body) ||
        EVP_EncryptFinal_ex(ctx.get(), tag, &finalLen) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, tag) != 1)
        return fail(ERROR_INTERNAL_ERROR);

    blob->swap(out);
    return TRUE;
}

BOOL unprotectData(const void* blob, std::size_t len, SecureBytes* data) {
    if (data == nullptr || (blob == nullptr && len > 0))
        return fail(ERROR_INVALID_PARAMETER);
    secureWipe(data->data(), data->size());
    data->clear();
    const auto* in = static_cast<const unsigned char*>(blob);
    // The blob's shape is judged before the key is touched: garbage needs no key file.
    if (len < kBlobOverhead || in[0] != kBlobVersion)
        return fail(ERROR_INVALID_DATA);

    unsigned char key[kKeySize];
    WipeOnExit wipeKey(key, sizeof(key));
    if (!machineKey(false, key))
        return FALSE;

    const unsigned char* nonce = in + 1;
    const unsigned char* body = nonce + kNonceSize;
    size_t bodyLen = len - kBlobOverhead;
    unsigned char tag[kTagSize];
    std::memcpy(tag, body + bodyLen, kTagSize);

    SecureBytes out(bodyLen);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, nonce) != 1 ||
        !addLabel(ctx.get(), false) || !feed(ctx.get(), false, body, bodyLen, out.data()) ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag) != 1)
        return fail(ERROR_INTERNAL_ERROR);
    // The plaintext is not to be trusted (nor handed out) until the tag checks.
    int finalLen = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), out.data() + bodyLen, &finalLen) != 1)
        return fail(ERROR_INVALID_DATA);

    data->swap(out);
    return TRUE;
}

}  // namespace kyos
