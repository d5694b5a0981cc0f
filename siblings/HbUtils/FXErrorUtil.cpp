#include "siblings/HbUtils/FXErrorUtil.h"

#include <boost/make_shared.hpp>

#include "siblings/HbUtils/FXString.h"

namespace FXErrorUtil {
namespace {

constexpr std::uint32_t kLargestWin32Code = 0xFFFF;
constexpr std::uint32_t kWin32HResultMask = 0xFFFF0000;
constexpr std::uint32_t kWin32HResultBase = 0x80070000;  // severity error, FACILITY_WIN32

bool IsWin32Code(std::int32_t code) {
    return code > 0 && static_cast<std::uint32_t>(code) <= kLargestWin32Code;
}

// The Win32 code inside an HRESULT_FROM_WIN32 value, or 0.
DWORD Win32FromHResult(std::int32_t code) {
    std::uint32_t bits = static_cast<std::uint32_t>(code);
    if ((bits & kWin32HResultMask) != kWin32HResultBase)
        return 0;
    return bits & kLargestWin32Code;
}

CHbError MakeError(const FXCodeLocation& location, FXErrorItemCode::ECodeFamily family,
                   std::int32_t code, const std::string& text) {
    return CHbError(code, boost::make_shared<FXErrorItemCode>(location, family, code, text));
}

}  // namespace

CHbError ErrorWin32(const FXCodeLocation& location, DWORD code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    CHbError error = ErrorWin32V(location, code, format, args);
    va_end(args);
    return error;
}

CHbError ErrorWin32V(const FXCodeLocation& location, DWORD code, const char* format, va_list args) {
    std::string text = format != nullptr ? FXString::FormatV(format, args) : std::string();
    return MakeError(location, FXErrorItemCode::eWin32, static_cast<std::int32_t>(code), text);
}

CHbError ErrorInt(const FXCodeLocation& location, int code, const char* text) {
    return MakeError(location, FXErrorItemCode::eInt, code, text != nullptr ? text : "");
}

CHbError ErrorHResult(const FXCodeLocation& location, HRESULT code, const char* text) {
    return MakeError(location, FXErrorItemCode::eHResult, code, text != nullptr ? text : "");
}

bool IsWin32(const CHbError& error, DWORD code) {
    return error.Is(static_cast<std::int32_t>(code));
}

DWORD GetWin32(const CHbError& error) {
    std::int32_t code = error.GetErrorCode();
    if (DWORD fromHResult = Win32FromHResult(code))
        return fromHResult;
    return static_cast<DWORD>(code);
}

std::vector<std::int32_t> GetMatches(std::int32_t code) {
    std::vector<std::int32_t> matches{code};
    if (IsWin32Code(code)) {
        matches.push_back(HRESULT_FROM_WIN32(static_cast<DWORD>(code)));
    } else if (DWORD win32 = Win32FromHResult(code)) {
        matches.push_back(static_cast<std::int32_t>(win32));
    }
    return matches;
}

}  // namespace FXErrorUtil
