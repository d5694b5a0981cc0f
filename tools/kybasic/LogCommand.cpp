// kybasic log NAME LEVEL TEXT: writes one line into a debug log of the current
// instance, through the same path as the product's processes.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kylib/diagnostics/EvDebug.h"
#include "os/LastError.h"
#include "tools/kybasic/Commands.h"

namespace kybasic {

int runLog(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kybasic log NAME LEVEL TEXT\n");
        return 1;
    }
    const char* name = argv[0];
    char* end = nullptr;
    errno = 0;
    long level = std::strtol(argv[1], &end, 10);
    if (errno != 0 || end == argv[1] || *end != '\0' || level < -1 || level > 0x7FFFFFFF) {
        std::fprintf(stderr, "kybasic log: LEVEL must be a number from -1 up, not '%s'\n", argv[1]);
        return 1;
    }
    if (EvDebug::FindLogFileInfo(name) == nullptr) {
        std::fprintf(stderr, "kybasic log: '%s' is not a known log name\n", name);
        return 1;
    }
    EvDebug log;
    if (!log.initialize(EvDebug::getLogId(name), 0, true, "")) {
        DWORD code = kyos::lastError();
        std::string folder = log.getTempLogFilePath();
        std::fprintf(stderr, "kybasic log: cannot open the log '%s' in '%s': %s\n", name,
                     folder.empty() ? "(no usable folder)" : folder.c_str(),
                     kyos::win32MessageText(code).c_str());
        return 1;
    }
    if (log.getDebugLevel() < level) {
        std::fprintf(
            stderr,
            "kybasic log: level %ld is above the log's level %d: the line was not written\n", level,
            log.getDebugLevel());
        return 1;
    }
    log.DebugLvl("kybasic::log", static_cast<int>(level), "%s", argv[2]);
    log.finalize();
    return 0;
}

}  // namespace kybasic
