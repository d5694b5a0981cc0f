// kybasic: the administrator's face of KyBasicLib.
#include <cstdio>
#include <cstring>

#include "tools/kybasic/Commands.h"

namespace {

struct Verb {
    const char* name;
    int (*run)(int, char**);
    const char* summary;
};

constexpr Verb kVerbs[] = {
    {"demo", kybasic::runDemo, "set up (or find) the installation instance and show it"},
    {"log", kybasic::runLog,
     "write one line into a debug log: log NAME LEVEL TEXT; show or set a temporary level: "
     "log level NAME [LEVEL [MINUTES]]; expire overrides now: log revise"},
    {"reg", kybasic::runReg, "query, add, delete, copy, export and import registry keys"},
    {"hash", kybasic::runHash, "digest or CRC of a file or stdin: hash ALGORITHM [FILE]"},
    {"crypt", kybasic::runCrypt,
     "encipher or decipher stdin: crypt enc|dec CIPHER MODE KEYHEX [IVHEX]"},
    {"password", kybasic::runPassword,
     "protect, check, hash or verify a password read without echo; upgrade stored ones"},
};

int usage(FILE* out) {
    std::fprintf(out, "usage: kybasic VERB [ARGUMENTS]\n\nverbs:\n");
    for (const Verb& v : kVerbs)
        std::fprintf(out, "  %-8s %s\n", v.name, v.summary);
    return out == stdout ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage(stderr);
    if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)
        return usage(stdout);
    for (const Verb& v : kVerbs) {
        if (std::strcmp(argv[1], v.name) == 0)
            return v.run(argc - 2, argv + 2);
    }
    std::fprintf(stderr, "kybasic: unknown verb '%s'\n", argv[1]);
    return usage(stderr);
}
