// Reading a process's line of /proc/<pid>/stat: its state letter and start time. Internal
// to os/, shared by the holder stamps of os/sync and the public start-time query of
// os/System.h, so that the line is parsed in one place.
//
// Threads: may be called from any thread.
#pragma once

#include <cstdint>

namespace kyos::proc_internal {

enum class StatResult {
    Read,        // both fields filled
    Missing,     // no such process (or it ended while being read)
    Unreadable,  // there, but the file could not be read or parsed
};

// The state letter (field 3 of proc(5)) and the start time as clock ticks since boot
// (field 22) of process `pid`. Neither output changes unless the result is Read.
StatResult readProcessStat(std::int32_t pid, char* state, std::uint64_t* startTicks);

}  // namespace kyos::proc_internal
