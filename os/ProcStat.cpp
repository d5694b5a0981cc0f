#include "os/ProcStat.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kyos::proc_internal {
namespace {

// Position of the start time in /proc/<pid>/stat counted from the state field, which
// follows the command name's closing parenthesis (fields 3 and 22 of proc(5)).
constexpr int kStartTimeFieldAfterState = 19;

// The line holds 52 short fields after a command name of at most 64 bytes.
constexpr std::size_t kStatLineBytes = 1024;

}  // namespace

StatResult readProcessStat(std::int32_t pid, char* state, std::uint64_t* startTicks) {
    if (pid <= 0)
        return StatResult::Missing;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ESRCH ? StatResult::Missing : StatResult::Unreadable;
    char buffer[kStatLineBytes];
    ssize_t length;
    do {
        length = ::read(fd, buffer, sizeof buffer - 1);
    } while (length < 0 && errno == EINTR);
    int readError = errno;
    ::close(fd);
    if (length <= 0)
        return length < 0 && readError == ESRCH ? StatResult::Missing : StatResult::Unreadable;
    buffer[length] = '\0';
    // The command name may hold spaces and parentheses; the last ')' ends it.
    char* cursor = std::strrchr(buffer, ')');
    if (cursor == nullptr || cursor[1] != ' ' || cursor[2] == '\0')
        return StatResult::Unreadable;
    cursor += 2;
    const char stateLetter = *cursor;
    for (int field = 0; field < kStartTimeFieldAfterState; ++field) {
        cursor = std::strchr(cursor, ' ');
        if (cursor == nullptr)
            return StatResult::Unreadable;
        ++cursor;
    }
    if (*cursor < '0' || *cursor > '9')
        return StatResult::Unreadable;
    char* end = nullptr;
    errno = 0;
    unsigned long long ticks = std::strtoull(cursor, &end, 10);
    if (errno != 0 || (*end != ' ' && *end != '\n' && *end != '\0'))
        return StatResult::Unreadable;
    *state = stateLetter;
    *startTicks = ticks;
    return StatResult::Read;
}

}  // namespace kyos::proc_internal
