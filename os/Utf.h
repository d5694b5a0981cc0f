// Conversions between UTF-8 (the library's narrow text), UTF-16 (what Windows files,
// hashed bytes and the registry's wide names hold) and wchar_t strings (UTF-32 here).
//
// The lenient forms replace each invalid sequence with U+FFFD, as the Windows
// conversions do; the strict forms report the first invalid sequence instead. All of
// them are pure functions, safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kyos {

std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);
std::wstring utf8ToWide(std::string_view text);
std::string wideToUtf8(std::wstring_view text);

// Strict forms: nullopt when the input holds an invalid sequence (a stray or truncated
// UTF-8 byte, an unpaired surrogate, a code point above U+10FFFF).
std::optional<std::u16string> utf8ToUtf16Strict(std::string_view text);
std::optional<std::string> utf16ToUtf8Strict(std::u16string_view text);

bool isValidUtf8(std::string_view text);

// UTF-16 code units from little-endian bytes (a trailing odd byte is ignored) and back.
std::u16string utf16FromLittleEndian(std::string_view bytes);
std::string utf16ToLittleEndian(std::u16string_view text);

}  // namespace kyos
