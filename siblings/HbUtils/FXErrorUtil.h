// FXErrorUtil: makes CHbError values from Win32 codes, plain integers and HRESULTs, and
// reads Win32 codes back. Other libraries add their own code families to this namespace.
//
// How codes are carried: a Win32 code is the error code itself (ErrorWin32(loc, 2, ...)
// has GetErrorCode() 2). Two codes count as equal when GetMatches() of one lists the
// other: a Win32 code w (1..0xFFFF) and its HRESULT form HRESULT_FROM_WIN32(w), that is
// 0x8007xxxx, match each other; every other code matches only itself. So Is(2) and
// IsWin32(err, 2) both hold for ErrorWin32(loc, 2, ...) and for
// ErrorHResult(loc, HRESULT_FROM_WIN32(2), ...) alike. Since a plain integer is carried the
// same way, ErrorInt(loc, 2) also counts as Win32 code 2; nothing tells them apart but the
// error's first item.
//
// A code of 0 given to a maker becomes E_FAIL (see CHbError). All functions are pure and
// safe from any thread.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <vector>

#include "os/Win32.h"
#include "siblings/HbUtils/CHbError.h"
#include "siblings/HbUtils/FXCodeLocation.h"

namespace FXErrorUtil {

// An error with the Win32 code and an item holding the formatted text (none when `format`
// is null); the item's long form also gives the system's text of the code.
CHbError ErrorWin32(const FXCodeLocation& location, DWORD code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
CHbError ErrorWin32V(const FXCodeLocation& location, DWORD code, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

// An error with a plain integer code and an optional text (null for none).
CHbError ErrorInt(const FXCodeLocation& location, int code, const char* text = nullptr);

// An error with an HRESULT and a text (null for none).
CHbError ErrorHResult(const FXCodeLocation& location, HRESULT code, const char* text);

// Whether the error's code counts as the Win32 code.
bool IsWin32(const CHbError& error, DWORD code);

// The Win32 code the error carries: 0 for success; the code itself when it is a Win32
// code (1..0xFFFF); w for HRESULT_FROM_WIN32(w); any other code as it stands, as Windows
// code passes an HRESULT on where a Win32 code is expected.
DWORD GetWin32(const CHbError& error);

// The codes that count as equal to `code`, `code` itself first.
std::vector<std::int32_t> GetMatches(std::int32_t code);

}  // namespace FXErrorUtil
