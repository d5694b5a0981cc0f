// kybasic crypt: enciphers or deciphers standard input to standard output with one of
// the library's block ciphers, in the library's own modes, so that an administrator can
// produce or check the bytes the product writes.
#include <cctype>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycBlockCipher.h"
#include "kylib/crypto/KycBucket.h"
#include "kylib/crypto/KycCipher.h"
#include "kylib/crypto/SecureString.h"
#include "kylib/diagnostics/KyException.h"
#include "tools/kybasic/Commands.h"

namespace kybasic {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// OFB streams its input in pieces of this size.
constexpr std::size_t kChunkSize = 64 * 1024;

constexpr char kUsage[] =
    "usage: kybasic crypt enc|dec CIPHER MODE KEYHEX [IVHEX]\n"
    "\n"
    "Enciphers (enc) or deciphers (dec) standard input to standard output.\n"
    "CIPHER is blowfish, aes, serpent, twofish, 3des, des or gost (any letter case).\n"
    "MODE is one of:\n"
    "  ecb  zero-pads a partial last block (deciphering keeps the padding);\n"
    "  cbc  ciphertext stealing for a partial last block; input shorter than one block\n"
    "       enciphers to one whole block, which deciphers to a whole block;\n"
    "  ofb  a stream: output has the length of the input.\n"
    "KEYHEX is the key in hexadecimal; its length is the cipher's to accept.\n"
    "IVHEX (cbc and ofb only, required there) is one block in hexadecimal.\n"
    "ecb and cbc read the whole of standard input before writing (the last blocks\n"
    "depend on its length); ofb streams.\n"
    "Exit codes: 0 done, 1 the cipher failed, 2 usage error.\n";

// Plaintext, ciphertext and keys pass through these; the allocator wipes every buffer it
// gives back.
using SecureBytes = std::vector<unsigned char, KySecureAllocator<unsigned char>>;

enum class Mode { kECB, kCBC, kOFB };

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int usageError(std::ostream& err, const std::string& detail) {
    err << "kybasic crypt: " << detail << "\n" << kUsage;
    return kExitUsage;
}

// The cipher named `name` (the library's cipher names, any letter case, or "des"); null
// for an unknown name.
std::unique_ptr<KycBlockCipher> makeCipher(const std::string& name) {
    const std::string wanted = lower(name);
    if (wanted == "des")
        return std::make_unique<KycDES>();
    for (int type = Kyc::OldBlowfish; type <= Kyc::GOST; ++type) {
        const auto cipherType = static_cast<Kyc::CIPHER>(type);
        if (cipherType == Kyc::DES)
            continue;
        if (lower(Kyc::getCipherName(cipherType)) == wanted)
            return std::unique_ptr<KycBlockCipher>(Kyc::createCipher(cipherType));
    }
    return nullptr;
}

bool isCipherName(const std::string& name) {
    const std::string wanted = lower(name);
    for (const char* known :
         {"blowfish", "old blowfish", "aes", "serpent", "twofish", "3des", "des", "gost"}) {
        if (wanted == known)
            return true;
    }
    return false;
}

bool parseHex(const std::string& text, KycBucket* bytes) {
    try {
        *bytes = Kyc::hex2bin(text.c_str());
        return true;
    } catch (const KyException&) {
        return false;
    }
}

bool readAll(std::istream& in, SecureBytes* data) {
    SecureBytes chunk(kChunkSize);
    while (in) {
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
        const std::streamsize got = in.gcount();
        data->insert(data->end(), chunk.begin(), chunk.begin() + got);
    }
    return in.eof() && !in.bad();
}

bool write(std::ostream& out, const unsigned char* data, std::size_t len) {
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(len));
    return static_cast<bool>(out);
}

int runWhole(KycBlockCipher& cipher, bool encrypt, Mode mode, std::istream& in, std::ostream& out,
             std::ostream& err) {
    SecureBytes data;
    if (!readAll(in, &data)) {
        err << "kybasic crypt: error reading standard input\n";
        return kExitFailure;
    }
    const std::size_t block = static_cast<std::size_t>(cipher.getBlockSize());
    if (data.size() > static_cast<std::size_t>(INT32_MAX) - block) {
        err << "kybasic crypt: input too large\n";
        return kExitFailure;
    }
    const int len = static_cast<int>(data.size());
    // Room for a padded (ECB) or one-block (short CBC) result.
    SecureBytes result(data.size() + block);
    int written = 0;
    if (mode == Mode::kECB)
        written = encrypt ? cipher.encECB(data.data(), result.data(), len)
                          : cipher.decECB(data.data(), result.data(), len);
    else
        written = encrypt ? cipher.encCBC(data.data(), result.data(), len)
                          : cipher.decCBC(data.data(), result.data(), len);
    if (!write(out, result.data(), static_cast<std::size_t>(written))) {
        err << "kybasic crypt: error writing standard output\n";
        return kExitFailure;
    }
    return kExitSuccess;
}

int runStream(KycBlockCipher& cipher, std::istream& in, std::ostream& out, std::ostream& err) {
    SecureBytes chunk(kChunkSize);
    while (in) {
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
        const std::streamsize got = in.gcount();
        if (got <= 0)
            continue;
        cipher.encOFB(chunk.data(), static_cast<int>(got));
        if (!write(out, chunk.data(), static_cast<std::size_t>(got))) {
            err << "kybasic crypt: error writing standard output\n";
            return kExitFailure;
        }
    }
    if (in.bad()) {
        err << "kybasic crypt: error reading standard input\n";
        return kExitFailure;
    }
    return kExitSuccess;
}

}  // namespace

int runCrypt(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
             std::ostream& err) {
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
        out << kUsage;
        return kExitSuccess;
    }
    if (args.size() < 4 || args.size() > 5)
        return usageError(err, "wrong number of arguments");

    const std::string direction = lower(args[0]);
    if (direction != "enc" && direction != "dec")
        return usageError(err, "the first argument must be enc or dec");
    const bool encrypt = direction == "enc";
    if (!isCipherName(args[1]))
        return usageError(err, "unknown cipher '" + args[1] + "'");
    const std::string modeName = lower(args[2]);
    Mode mode;
    if (modeName == "ecb")
        mode = Mode::kECB;
    else if (modeName == "cbc")
        mode = Mode::kCBC;
    else if (modeName == "ofb")
        mode = Mode::kOFB;
    else
        return usageError(err, "unknown mode '" + args[2] + "'");
    const bool hasIV = args.size() == 5;
    if (mode == Mode::kECB && hasIV)
        return usageError(err, "ecb takes no IV");
    if (mode != Mode::kECB && !hasIV)
        return usageError(err, modeName + " needs an IV");

    // The key is never repeated in a message: it may be the only copy of a secret.
    KycBucket key, iv;
    if (!parseHex(args[3], &key))
        return usageError(err, "KEYHEX is not an even number of hexadecimal digits");
    if (key.getSize() == 0)
        return usageError(err, "KEYHEX is empty");
    if (hasIV && !parseHex(args[4], &iv))
        return usageError(err, "IVHEX is not an even number of hexadecimal digits");

    try {
        std::unique_ptr<KycBlockCipher> cipher = makeCipher(args[1]);
        if (hasIV && iv.getSize() != cipher->getBlockSize())
            return usageError(err, "IVHEX must be one block (" +
                                       std::to_string(cipher->getBlockSize()) + " bytes) long");
        cipher->setKey(key);
        if (hasIV)
            cipher->setIV(iv);
        if (mode == Mode::kOFB)
            return runStream(*cipher, in, out, err);
        return runWhole(*cipher, encrypt, mode, in, out, err);
    } catch (const KyException& e) {
        err << "kybasic crypt: " << e.getMessage() << '\n';
        return kExitFailure;
    }
}

int runCrypt(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    return runCrypt(args, std::cin, std::cout, std::cerr);
}

}  // namespace kybasic
