// kybasic hash: the digest or CRC of a file or of standard input, printed as the usual
// checksum tools print it ("<hex>  <name>"), so that their output can be compared.
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycChecksum.h"
#include "kylib/crypto/KycHash.h"
#include "kylib/diagnostics/KyException.h"
#include "tools/kybasic/Commands.h"

namespace kybasic {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Files are read in pieces of this size, so that a file of any size hashes in little
// memory.
constexpr std::size_t kChunkSize = 64 * 1024;

constexpr char kUsage[] =
    "usage: kybasic hash ALGORITHM [FILE]\n"
    "\n"
    "Prints the lowercase hexadecimal digest of FILE (standard input when FILE is\n"
    "missing or -), two spaces and the file name (- for standard input).\n"
    "ALGORITHM is md5, sha1, sha256, sha512, crc32 or crc32c (the standard CRC values,\n"
    "8 hex digits).\n";

// One running digest, whatever its algorithm.
class Digest {
public:
    virtual ~Digest() = default;
    virtual void add(const char* data, std::size_t len) = 0;
    virtual std::string hexResult() = 0;
};

class HashDigest : public Digest {
public:
    explicit HashDigest(std::unique_ptr<KycHash> hash) : hash_(std::move(hash)) {}
    void add(const char* data, std::size_t len) override {
        hash_->addData(data, static_cast<int>(len));
    }
    std::string hexResult() override { return Kyc::bin2hex(hash_->finish()); }

private:
    std::unique_ptr<KycHash> hash_;
};

class CrcDigest : public Digest {
public:
    using Function = void (*)(const void*, unsigned int, unsigned int*);
    explicit CrcDigest(Function function) : function_(function) {}
    void add(const char* data, std::size_t len) override {
        function_(data, static_cast<unsigned int>(len), &register_);
    }
    std::string hexResult() override {
        char text[9];
        std::snprintf(text, sizeof text, "%08x", ~register_);
        return text;
    }

private:
    Function function_;
    unsigned int register_ = 0xFFFFFFFFu;
};

std::unique_ptr<Digest> makeDigest(const std::string& name) {
    if (name == "md5")
        return std::make_unique<HashDigest>(std::make_unique<KycMD5>());
    if (name == "sha1")
        return std::make_unique<HashDigest>(std::make_unique<KycSHA1>());
    if (name == "sha256")
        return std::make_unique<HashDigest>(std::make_unique<KycSHA256>());
    if (name == "sha512")
        return std::make_unique<HashDigest>(std::make_unique<KycSHA512>());
    if (name == "crc32")
        return std::make_unique<CrcDigest>(ky_crc32);
    if (name == "crc32c")
        return std::make_unique<CrcDigest>(ky_crc32c);
    return nullptr;
}

bool isKnownAlgorithm(const std::string& name) {
    for (const char* known : {"md5", "sha1", "sha256", "sha512", "crc32", "crc32c"}) {
        if (name == known)
            return true;
    }
    return false;
}

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Feeds the whole stream to `digest`; false when reading failed before the end.
bool feed(std::istream& in, Digest& digest) {
    std::vector<char> buffer(kChunkSize);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize got = in.gcount();
        if (got > 0)
            digest.add(buffer.data(), static_cast<std::size_t>(got));
    }
    return in.eof() && !in.bad();
}

}  // namespace

int runHash(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
            std::ostream& err) {
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
        out << kUsage;
        return kExitSuccess;
    }
    if (args.empty() || args.size() > 2) {
        err << kUsage;
        return kExitUsage;
    }
    const std::string algorithm = lower(args[0]);
    if (!isKnownAlgorithm(algorithm)) {
        err << "kybasic hash: unknown algorithm '" << args[0] << "'\n" << kUsage;
        return kExitUsage;
    }
    const bool fromStdin = args.size() == 1 || args[1] == "-";
    const std::string name = fromStdin ? "-" : args[1];

    std::ifstream file;
    if (!fromStdin) {
        std::error_code ec;
        if (std::filesystem::is_directory(name, ec)) {
            err << "kybasic hash: '" << name << "' is a directory\n";
            return kExitFailure;
        }
        file.open(name, std::ios::binary);
        if (!file) {
            err << "kybasic hash: cannot open '" << name << "'\n";
            return kExitFailure;
        }
    }
    try {
        std::unique_ptr<Digest> digest = makeDigest(algorithm);
        if (!feed(fromStdin ? in : file, *digest)) {
            err << "kybasic hash: error reading '" << name << "'\n";
            return kExitFailure;
        }
        out << digest->hexResult() << "  " << name << '\n';
    } catch (const KyException& e) {
        err << "kybasic hash: " << e.getMessage() << '\n';
        return kExitFailure;
    }
    return out ? kExitSuccess : kExitFailure;
}

int runHash(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    return runHash(args, std::cin, std::cout, std::cerr);
}

}  // namespace kybasic
