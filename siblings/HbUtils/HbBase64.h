// HbBase64: Base64 in the standard alphabet with padding (RFC 4648, section 4).
//
// Decode accepts only what Encode can produce: a length that is a multiple of four, the
// alphabet's characters, "=" only as the last one or two characters, and unused bits
// that are zero; no line breaks or blanks. Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace HbBase64 {

std::string Encode(const void* data, std::size_t size);
std::string Encode(std::string_view bytes);

// The bytes of `text` in `out`; false (and `out` empty) when `text` is malformed.
bool Decode(std::string_view text, std::string& out);

}  // namespace HbBase64
