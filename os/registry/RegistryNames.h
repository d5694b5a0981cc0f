// Key paths and names of the registry store: splitting, joining and the case folding
// under which two names are the same. Internal to os/registry.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kyos::reg {

// The longest key name part and value name the store accepts (the Windows limits,
// counted here in bytes of UTF-8).
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;

// Appends to `out` the case-folded form of `name`: two names are the same key or value
// name exactly when their folded forms are equal. ASCII takes a fast path; other text is
// folded per code point by Unicode simple case folding.
void appendFolded(std::string& out, std::string_view name);
std::string folded(std::string_view name);

// Splits a key path at "\" and "/", dropping empty parts (so doubled and trailing
// separators are ignored). Returns false when a part is longer than kMaxKeyNameLength.
bool splitKeyPath(std::string_view path, std::vector<std::string_view>& parts);

// Appends the parts of `path` to the folded path `out`, folded and joined by "\" (as
// splitting and folding each part would); false, with `out` partly extended, when a part
// is too long.
bool appendFoldedPath(std::string& out, std::string_view path);

}  // namespace kyos::reg
