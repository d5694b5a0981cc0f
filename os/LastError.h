// The calling thread's last error, as Win32 code, and the texts of those codes.
//
// Every os/ call that fails sets the thread's last error before it returns, as the
// Windows calls it stands in for do; callers above os/ read it with lastError(). The
// value is thread-local: threads never see each other's errors.
#pragma once

#include <string>

#include "os/Win32.h"

namespace kyos {

DWORD lastError() noexcept;
void setLastError(DWORD code) noexcept;

// Sets the last error from an errno value and returns the Win32 code it maps to.
DWORD setLastErrorFromErrno(int err) noexcept;

// The Win32 code closest in meaning to an errno value (ERROR_INVALID_FUNCTION when
// nothing fits better).
DWORD win32FromErrno(int err) noexcept;

// The system text of a Win32 code, without a trailing line break; "Unknown error %lu"
// filled with the code when there is none.
std::string win32MessageText(DWORD code);

}  // namespace kyos
