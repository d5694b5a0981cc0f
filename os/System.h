// Facts about the running process and machine: identity, processors and affinity, the
// operating system's description, and whether a debugger is attached.
//
// Pure queries unless said otherwise; every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "os/Win32.h"

namespace kyos {

long processId();
// The calling thread's id, as the system numbers threads.
std::uint64_t threadId();
// The executable's file name without its folder (at most 255 bytes).
std::string processName();
// The executable's full path ("" when it cannot be read).
std::string processPath();

// Processors the system has online (at least 1).
unsigned processorCount();

// GetProcessAffinityMask: the processors the process may run on, and those the system
// has (bit n = processor n, the first 64 only). FALSE with the last error set on failure.
BOOL getProcessAffinity(std::uint64_t* processMask, std::uint64_t* systemMask);
// SetProcessAffinityMask: applies the mask to every thread of the process and to the
// threads it starts later. A mask with no processor the system has is refused with
// ERROR_INVALID_PARAMETER.
BOOL setProcessAffinity(std::uint64_t mask);

// "Linux 6.1.0 x86_64" and the like.
std::string osDescription();
// The processor's model name ("" when unknown).
std::string processorDescription();

bool isDebuggerAttached();
// Stops in the attached debugger (no effect without one).
void breakIntoDebugger();

// Seconds since 1970 (UTC), 64 bits.
std::int64_t unixTime();

// The start time of process `pid` as 100-ns units since 1601-01-01 UTC (a FILETIME's
// value): the boot time of /proc/stat ("btime") plus the process's start in clock ticks
// since boot (/proc/<pid>/stat, field 22). False, with the last error set, when there is
// no such process (ERROR_INVALID_PARAMETER, also for pid <= 0), when its line cannot be
// read (ERROR_ACCESS_DENIED) or /proc/stat gives no boot time. A zombie still has its
// start time.
//
// The boot time is the wall clock minus the time since boot, read anew at every call, so
// it moves when the wall clock is stepped; it also has whole seconds only. Two readings
// of one process taken at different times can thus differ: compare start times with a
// tolerance of a few seconds (and expect a step of the clock to exceed it), never for
// equality, when telling a process from a later one under a reused pid.
bool processStartTime(std::int32_t pid, std::uint64_t& fileTime100ns);

}  // namespace kyos
