// FXString: text helpers over std::string (UTF-8) and std::wstring (UTF-32 here).
//
// Every function returns a new string that the caller owns and leaves its arguments
// alone; all are pure and safe from any thread.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

namespace FXString {

// printf-style formatting of any length; an empty string when the format is null or
// cannot be applied (an invalid wide character for %ls, say).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// UTF-8 <-> wide text. An invalid sequence becomes U+FFFD, as the Windows conversions do.
std::string ToString(std::wstring_view text);
std::string ToString(std::u16string_view text);
std::wstring ToWstring(std::string_view text);

// Letter case of the ASCII letters; every other byte stays, so UTF-8 text stays valid.
std::string ToUpper(std::string_view text);
std::string ToLower(std::string_view text);

// Removes the leading and trailing characters that appear in `characters` (by default
// blanks and tabs).
std::string Trim(std::string_view text, std::string_view characters = " \t");

// Replaces every occurrence of `from`, left to right, without looking again at what was
// put in; an empty `from` leaves the text as it is.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

// Cuts the text at every occurrence of the separator and keeps every part as it is,
// empty ones included ("a,,b" gives "a", "", "b"). An empty text gives no parts; an
// empty separator gives the text as the one part.
std::vector<std::string> Split(std::string_view text, std::string_view separator);

// Splits a list of arguments as people write them into settings:
// - the text is cut at every occurrence of the separator that lies outside double
//   quotes, so that "\"a,b\",c" gives "\"a,b\"" and "c" for ",";
// - each part loses its leading and trailing blanks and tabs, and empty parts are
//   dropped, so that "a , ,b," gives "a" and "b" and runs of blanks split as one;
// - the quotes stay in the parts, so that a list can be split again by further
//   separators (as a settings list is split by ",", ";", " ", ":" and "|" in turn)
//   without breaking a quoted run apart; an unclosed quote runs to the end of the text.
// An empty separator gives the trimmed text as the one part (none when it is empty).
std::vector<std::string> SplitArguments(std::string_view text, std::string_view separator);

}  // namespace FXString
