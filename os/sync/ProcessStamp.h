// Which process holds something, in a form that outlives pid reuse: the pid and the
// process's start time. Internal to os/sync, where objects in shared memory record their
// holders this way so that a holder killed without cleaning up can be recognised.
//
// Threads: every function may be called from any thread.
#pragma once

#include <cstdint>

namespace kyos::sync_internal {

struct ProcessStamp {
    std::int32_t pid = 0;
    // Clock ticks from boot to the process's start (/proc/<pid>/stat, field 22); 0 when it
    // could not be read.
    std::uint64_t startTicks = 0;
};

// The calling process (read again after a fork, when the pid has changed).
ProcessStamp currentProcess();

// True when the process is known to have ended: no such pid, a zombie, or a pid reused by
// a younger process. A process of another user that /proc hides counts as running.
bool processEnded(const ProcessStamp& process);

}  // namespace kyos::sync_internal
