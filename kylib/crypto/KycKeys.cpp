// The static Kyc operations that store and move keys: key wrapping, data keys sealed to
// an RSA public key, the RSA key-pair file, pass-phrase protection of a private key,
// transit encryption under a shared password, and exported pass phrases.
//
// Everything read back from a file or a peer is untrusted: every length and offset taken
// from it is checked against the bytes actually present before it is used, and a result
// bucket is only assigned once the whole input has proved sound.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycBuiltinKeys.h"
#include "kylib/crypto/KycCipher.h"
#include "kylib/crypto/KycKeyWrap.h"
#include "kylib/crypto/KycRSA.h"
#include "kylib/crypto/SecureString.h"
#include "kylib/diagnostics/KyException.h"

namespace {

constexpr unsigned char kMethodScrambled = 0;
constexpr unsigned char kMethodAESWrap = 1;
// Random bytes appended before wrapping with method 1, so that a key never wraps to the
// same bytes twice.
constexpr int kWrapSaltSize = 8;

constexpr int kCheckSize = 4;  // the CRC-32 check value of a sealed data key

constexpr unsigned char kKeyFileVersion = 0;
constexpr int kMaxKeyRecord = 0xFFFF;  // a record's length has two bytes

constexpr unsigned char kPassPhraseVersion = 0;
constexpr int kPassPhraseHeader = 5;  // version and identifier
constexpr int kHiddenArea = 1024;     // random bytes a short pass phrase hides in
constexpr int kInnerHeader = 3;       // length (2 bytes) and offset (1 byte)

// A file read whole into memory; anything larger is not one of ours.
constexpr long kMaxFileSize = 64L * 1024 * 1024;

// The CRC-32 register started at 0xFFFFFFFF, not inverted, most significant byte first.
void checkValue(const void* data, int len, unsigned char out[kCheckSize]) {
    unsigned int crc = 0xFFFFFFFFu;
    Kyc::crc32(data, len, &crc);
    out[0] = static_cast<unsigned char>(crc >> 24);
    out[1] = static_cast<unsigned char>(crc >> 16);
    out[2] = static_cast<unsigned char>(crc >> 8);
    out[3] = static_cast<unsigned char>(crc);
}

// Compared in full whatever the first differing byte, so timing tells nothing.
bool sameBytes(const unsigned char* a, const unsigned char* b, int len) {
    unsigned char diff = 0;
    for (int i = 0; i < len; ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

KycAES& keyWrapCipher(KycAES& aes) {
    aes.setKey(ky::builtin::kKeyWrapKey, ky::builtin::kKeyWrapKeySize);
    return aes;
}

// The CRC32 record under Blowfish keyed with MD5(secret).
KycBucket encryptUnder(const KycBucket& data, const char* secret) {
    KycBlowfish cipher;
    cipher.setKey(Kyc::md5(secret, static_cast<int>(std::strlen(secret))));
    const int len = data.getSize();
    if (len > INT_MAX - 16)
        KY_THROW("Kyc::encryptTagData", "Cannot encrypt data: too long.");
    KycBucket out(len + 16);
    out.resize(Kyc::encryptTagData(data.getData(), out.getData(), len, cipher));
    return out;
}

KycBucket decryptUnder(const KycBucket& data, const char* secret) {
    KycBlowfish cipher;
    cipher.setKey(Kyc::md5(secret, static_cast<int>(std::strlen(secret))));
    KycBucket out(data.getSize());
    out.resize(Kyc::decryptTagData(data.getData(), out.getData(), data.getSize(), cipher));
    return out;
}

const char* passPhraseOrDefault(const char* passPhrase) {
    return passPhrase != nullptr && passPhrase[0] != '\0' ? passPhrase
                                                          : ky::builtin::kDefaultPassPhrase;
}

// Key and pass-phrase files are for their owner's eyes only, whoever opened them.
void makePrivate(FILE* file) {
    struct stat st {};
    const int fd = ::fileno(file);
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        ::fchmod(fd, S_IRUSR | S_IWUSR);
}

// One write of the whole buffer, flushed, so that a failure shows here and not later.
bool writeAll(FILE* file, const KycBucket& bytes) {
    const std::size_t n = static_cast<std::size_t>(bytes.getSize());
    return std::fwrite(bytes.getData(), 1, n, file) == n && std::fflush(file) == 0;
}

// The rest of the file from its current position.
KycBucket readAll(FILE* file, const char* tag, const char* prefix) {
    KycBucket bytes;
    unsigned char chunk[4096];
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, file);
        if (n > 0) {
            if (bytes.getSize() + static_cast<long>(n) > kMaxFileSize) {
                ky::secureWipe(chunk, sizeof chunk);
                KY_THROW(tag, std::string(prefix) + "File is too large.");
            }
            bytes.append(chunk, static_cast<int>(n));
        }
        if (n < sizeof chunk)
            break;
    }
    ky::secureWipe(chunk, sizeof chunk);
    if (std::ferror(file))
        KY_THROW(tag, std::string(prefix) + "Read failed.");
    return bytes;
}

struct FileCloser {
    void operator()(FILE* file) const noexcept { std::fclose(file); }
};
using OwnedFile = std::unique_ptr<FILE, FileCloser>;

// A file of a folder that others may be able to write, for reading ("rb"): a link planted
// there is not followed, and whatever is not a regular file by the time it is opened (a
// FIFO would block the first read for good) is refused. Null when refused or not opened.
OwnedFile openRegularFile(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    FILE* file = nullptr;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        file = ::fdopen(fd, "rb");
    if (file == nullptr)
        ::close(fd);
    return OwnedFile(file);
}

// Wipes a string's characters however the scope is left.
class WipeOnExit {
public:
    explicit WipeOnExit(std::string& text) : text_(text) {}
    ~WipeOnExit() { ky::secureWipe(text_.data(), text_.size()); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    std::string& text_;
};

uint32_t readBE(const unsigned char* p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | p[i];
    return v;
}

}  // namespace

// ---- Key wrapping ---------------------------------------------------------------------------

KycBucket Kyc::wrapKey(const KycBucket& key, bool scramble) {
    if (scramble)
        return scrambleToBin(key);
    KycBucket salted(key);
    salted.append(getRand(kWrapSaltSize));
    KycAES aes;
    KycKeyWrap wrapper(&keyWrapCipher(aes));
    KycBucket out(&kMethodAESWrap, 1);
    out.append(wrapper.wrap(salted));
    return out;
}

std::string Kyc::wrapKeyToHex(const KycBucket& key, bool scramble) {
    return bin2hex(wrapKey(key, scramble));
}

KycBucket Kyc::unWrapKey(const KycBucket& wrapped) {
    if (wrapped.getSize() == 0)
        return KycBucket();
    switch (wrapped[0]) {
        case kMethodScrambled:
            return descrambleFromBin(wrapped);
        case kMethodAESWrap: {
            KycAES aes;
            KycKeyWrap wrapper(&keyWrapCipher(aes));
            KycBucket salted =
                wrapper.unWrap(KycBucket(wrapped.getData() + 1, wrapped.getSize() - 1));
            if (salted.getSize() < kWrapSaltSize)
                KY_THROW("Kyc::unWrapKey", "Key unwrapping failed: corrupt data.");
            salted.resize(salted.getSize() - kWrapSaltSize);
            return salted;
        }
        default:
            KY_THROW("Kyc::unWrapKey", "Key unwrapping failed: unknown method.");
    }
}

KycBucket Kyc::unWrapKey(const std::string& wrappedHex) {
    return unWrapKey(hex2bin(wrappedHex.c_str()));
}

KycBucket Kyc::unWrapKey(const char* wrappedHex) {
    return unWrapKey(hex2bin(wrappedHex));
}

// ---- Sealed data keys -------------------------------------------------------------------

KycBucket Kyc::encryptDataKey(const KycBucket& dataKey, const KycBucket& pubKey, bool der) {
    KycRSA rsa;
    rsa.setPubKey(pubKey, der);
    if (dataKey.getSize() > INT_MAX - kCheckSize)
        KY_THROW("Kyc::encryptDataKey", "Failed to encrypt data key: too long.");
    unsigned char check[kCheckSize];
    checkValue(dataKey.getData(), dataKey.getSize(), check);
    KycBucket plain(dataKey);
    plain.append(check, kCheckSize);
    ky::secureWipe(check, sizeof check);
    return rsa.encrypt(plain);
}

KycBucket Kyc::decryptDataKey(const KycBucket& sealed, const KycBucket& priKey, bool der) {
    KycRSA rsa;
    rsa.setPriKey(priKey, der);
    // Whoever can submit sealed keys must learn nothing but "not a key of ours": a block
    // that the RSA step refuses (its PKCS #1 padding, its length) and one whose check value
    // does not match fail alike, and both take the check below, so that neither the
    // exception, its text nor the work done tells them apart (as far as this side can).
    KycBucket plain;
    bool opened = false;
    try {
        plain = rsa.decrypt(sealed);
        opened = true;
    } catch (const KyException&) {
        // A stand-in of a block's size goes through the same check, and fails it.
        plain = KycBucket(rsa.getModSize());
    }
    const int keyLen = plain.getSize() >= kCheckSize ? plain.getSize() - kCheckSize : 0;
    unsigned char check[kCheckSize];
    checkValue(plain.getData(), keyLen, check);
    const bool same =
        plain.getSize() >= kCheckSize && sameBytes(check, plain.getData() + keyLen, kCheckSize);
    ky::secureWipe(check, sizeof check);
    if (!opened || !same)
        KYC_THROW_WRONG_KEY("Kyc::decryptDataKey", "Failed to decrypt data key: wrong RSA key.");
    plain.resize(keyLen);
    return plain;
}

void Kyc::generateRSAPair(int bits, KycBucket& pub, KycBucket& pri, bool der) {
    KycRSA::genKeyPair(bits, pub, pri, der);
}

// ---- The key-pair file ------------------------------------------------------------------

void Kyc::saveRSAKeys(FILE* file, const KycBucket& pubKey, const KycBucket& priKey) {
    constexpr char tag[] = "Kyc::saveRSAKeys";
    if (pubKey.getSize() == 0 || priKey.getSize() == 0)
        KY_THROW(tag, "Cannot save RSA keys: they are empty.");
    if (file == nullptr)
        KY_THROW(tag, "Cannot save RSA keys: NULL file.");
    KycBucket out(&kKeyFileVersion, 1);
    for (const KycBucket* key : {&pubKey, &priKey}) {
        KycBucket record = scrambleToBin(*key);
        // Two length bytes: a longer record would be cut and the file unreadable.
        if (record.getSize() > kMaxKeyRecord)
            KY_THROW(tag, "Cannot save RSA keys: a key is too long for the file format.");
        const unsigned char len[2] = {static_cast<unsigned char>(record.getSize() >> 8),
                                      static_cast<unsigned char>(record.getSize())};
        out.append(len, 2);
        out.append(record);
    }
    makePrivate(file);
    if (!writeAll(file, out))
        KY_THROW(tag, "Cannot save RSA keys: Write failed.");
}

void Kyc::loadRSAKeys(FILE* file, KycBucket& pubKey, KycBucket& priKey) {
    constexpr char tag[] = "Kyc::loadRSAKeys";
    constexpr char corrupt[] = "Cannot load RSA keys: Corrupt data or unsupported file version.";
    constexpr char tooShort[] = "Cannot load RSA keys: File is too short.";
    if (file == nullptr)
        KY_THROW(tag, "Cannot load RSA keys: NULL file.");
    const KycBucket bytes = readAll(file, tag, "Cannot load RSA keys: ");
    const unsigned char* d = bytes.getData();
    const long size = bytes.getSize();
    if (size < 1)
        KY_THROW(tag, tooShort);
    if (d[0] != kKeyFileVersion)
        KY_THROW(tag, corrupt);
    KycBucket keys[2];
    long pos = 1;
    for (KycBucket& key : keys) {
        if (size - pos < 2)
            KY_THROW(tag, tooShort);
        const long len = readBE(d + pos, 2);
        pos += 2;
        if (len == 0)
            KY_THROW(tag, corrupt);
        if (size - pos < len)
            KY_THROW(tag, tooShort);
        key = unWrapKey(KycBucket(d + pos, static_cast<int>(len)));
        if (key.getSize() == 0)
            KY_THROW(tag, corrupt);
        pos += len;
    }
    if (pos != size)
        KY_THROW(tag, corrupt);
    pubKey = keys[0];
    priKey = keys[1];
}

// ---- Pass-phrase protection of a private key, and transit ------------------------------

KycBucket Kyc::encryptRSAPriKey(const KycBucket& priKey, const char* passPhrase) {
    if (priKey.getSize() == 0)
        return priKey;
    return encryptUnder(priKey, passPhraseOrDefault(passPhrase));
}

KycBucket Kyc::decryptRSAPriKey(const KycBucket& protectedKey, const char* passPhrase) {
    if (protectedKey.getSize() == 0)
        return protectedKey;
    return decryptUnder(protectedKey, passPhraseOrDefault(passPhrase));
}

bool Kyc::validatePassPhrase(const KycBucket& protectedKey, const char* passPhrase) {
    try {
        decryptRSAPriKey(protectedKey, passPhrase);
    } catch (const Kyc::WrongKey&) {
        return false;
    }
    return true;
}

KycBucket Kyc::netEncrypt(const KycBucket& data, const char* password) {
    if (data.getSize() == 0)
        return KycBucket();
    if (password == nullptr || password[0] == '\0')
        KY_THROW("Kyc::netEncrypt",
                 "Cannot encrypt data for network transit: NULL or empty password.");
    return encryptUnder(data, password);
}

KycBucket Kyc::netDecrypt(const KycBucket& data, const char* password) {
    if (data.getSize() == 0)
        return KycBucket();
    if (password == nullptr || password[0] == '\0')
        KY_THROW("Kyc::netDecrypt", "Cannot decrypt network data: NULL or empty network password.");
    return decryptUnder(data, password);
}

// ---- Exported pass phrases --------------------------------------------------------------

KycBucket Kyc::exportPassPhrase(int id, const char* passPhrase) {
    if (passPhrase == nullptr || passPhrase[0] == '\0')
        KY_THROW("Kyc::exportPassPhrase", "Cannot export pass-phrase: it's empty or NULL.");
    const std::size_t length = std::strlen(passPhrase);
    if (length > static_cast<std::size_t>(INT_MAX - kInnerHeader))
        KY_THROW("Kyc::exportPassPhrase", "Cannot export pass-phrase: it is too long.");
    const int len = static_cast<int>(length);

    KycBucket inner;
    if (len < kHiddenArea) {
        // The pass phrase sits at a random offset among random bytes; the offset is the
        // last random byte, which itself never lands in the block.
        const KycBucket random = getRand(kHiddenArea);
        const unsigned char* r = random.getData();
        int offset = r[kHiddenArea - 1];
        if (offset + len > kHiddenArea)
            offset = kHiddenArea - len;
        const unsigned char head[kInnerHeader] = {static_cast<unsigned char>(len >> 8),
                                                  static_cast<unsigned char>(len),
                                                  static_cast<unsigned char>(offset)};
        inner.append(head, kInnerHeader);
        inner.append(r, offset);
        inner.append(passPhrase, len);
        inner.append(r + offset, kHiddenArea - offset - len);
    } else {
        const unsigned char head[kInnerHeader] = {0, 0, 0};
        inner.append(head, kInnerHeader);
        inner.append(passPhrase, len);
    }

    const unsigned char header[kPassPhraseHeader] = {
        kPassPhraseVersion, static_cast<unsigned char>(static_cast<uint32_t>(id) >> 24),
        static_cast<unsigned char>(static_cast<uint32_t>(id) >> 16),
        static_cast<unsigned char>(static_cast<uint32_t>(id) >> 8),
        static_cast<unsigned char>(static_cast<uint32_t>(id))};
    KycBucket out(header, kPassPhraseHeader);
    out.append(scrambleToBin(inner));
    return out;
}

void Kyc::exportPassPhrase(FILE* file, int id, const char* passPhrase) {
    const KycBucket bytes = exportPassPhrase(id, passPhrase);
    if (file == nullptr)
        KY_THROW("Kyc::exportPassPhrase", "Failed to export pass-phrase to file: NULL file.");
    makePrivate(file);
    if (!writeAll(file, bytes))
        KY_THROW("Kyc::exportPassPhrase", "Failed to export pass-phrase to file: Write failed.");
}

void Kyc::importPassPhrase(const KycBucket& data, int* id, std::string* passPhrase) {
    constexpr char tag[] = "Kyc::importPassPhrase";
    constexpr char corrupt[] = "Cannot import pass-phrase: Unsupported version or corrupt data.";
    if (data.getSize() < kPassPhraseHeader)
        KY_THROW(tag, "Cannot import pass-phrase: data is too short.");
    const unsigned char* d = data.getData();
    if (d[0] != kPassPhraseVersion)
        KY_THROW(tag, corrupt);
    const int foundId = static_cast<int>(readBE(d + 1, 4));
    const KycBucket inner =
        unWrapKey(KycBucket(d + kPassPhraseHeader, data.getSize() - kPassPhraseHeader));
    const unsigned char* in = inner.getData();
    const int size = inner.getSize();
    if (size < kInnerHeader)
        KY_THROW(tag, corrupt);
    const int len = static_cast<int>(readBE(in, 2));
    const int offset = in[2];
    int start = kInnerHeader;
    int count = size - kInnerHeader;
    if (len != 0) {
        // A short pass phrase lies wholly inside its hidden area, the only layout written.
        if (size != kInnerHeader + kHiddenArea || offset + len > kHiddenArea)
            KY_THROW(tag, corrupt);
        start = kInnerHeader + offset;
        count = len;
    } else if (offset != 0 || count == 0) {
        KY_THROW(tag, corrupt);
    }
    // A NUL would silently cut the pass phrase short wherever it is used as text.
    if (std::memchr(in + start, '\0', static_cast<std::size_t>(count)) != nullptr)
        KY_THROW(tag, corrupt);
    if (id != nullptr)
        *id = foundId;
    if (passPhrase != nullptr)
        passPhrase->assign(reinterpret_cast<const char*>(in + start),
                           static_cast<std::size_t>(count));
}

void Kyc::importPassPhrase(FILE* file, int* id, std::string* passPhrase) {
    if (file == nullptr)
        KY_THROW("Kyc::importPassPhrase", "Cannot import pass-phrase: NULL file.");
    importPassPhrase(readAll(file, "Kyc::importPassPhrase", "Cannot import pass-phrase: "), id,
                     passPhrase);
}

bool Kyc::importPassPhrase(const char* directory, int id, std::string* passPhrase,
                           std::string* filePath) {
    constexpr char tag[] = "Kyc::importPassPhrase";
    namespace fs = std::filesystem;
    if (directory == nullptr || directory[0] == '\0')
        KY_THROW(tag, "Cannot import pass-phrase: NULL or empty directory.");
    const fs::path dir(directory);
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        std::error_code again;
        if (!fs::create_directories(dir, ec) && !fs::is_directory(dir, again))
            KY_THROW(tag, std::string("Failed to create directory \"") + directory + "\"");
        // It will hold pass phrases.
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
    }

    std::vector<fs::path> files;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->symlink_status(typeError).type() == fs::file_type::regular)
            files.push_back(it->path());
    }
    if (ec)
        KY_THROW(tag, std::string("Cannot import pass-phrase: cannot list directory \"") +
                          directory + "\": " + ec.message());
    // Name order, so that the same directory always gives the same answer.
    std::sort(files.begin(), files.end());

    for (const fs::path& path : files) {
        // Closed however this round ends: a failure other than KyException (memory) passes
        // through to the caller.
        const OwnedFile file = openRegularFile(path.c_str());
        if (file == nullptr)
            continue;
        int foundId = 0;
        std::string found;
        const WipeOnExit wipeFound(found);
        bool imported = false;
        try {
            importPassPhrase(file.get(), &foundId, &found);
            imported = true;
        } catch (const KyException&) {
            // Not an exported pass phrase (or not one we can read): look at the next file.
        }
        const bool match = imported && foundId == id;
        if (match && passPhrase != nullptr)
            passPhrase->assign(found);
        if (match) {
            if (filePath != nullptr)
                *filePath = path.string();
            return true;
        }
    }
    return false;
}
