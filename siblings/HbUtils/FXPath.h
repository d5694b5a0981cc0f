// FXPath: file-system paths, in UTF-8 with the native separator "/".
//
// Pure functions but DoesPathExist, which asks the file system; all are safe from any
// thread.
#pragma once

#include <string>
#include <string_view>

namespace FXPath {

constexpr char kSeparator = '/';

// Joins two parts with exactly one separator between them: trailing separators of
// `base` and leading ones of `part` are dropped, what lies elsewhere stays. An empty part
// gives the other unchanged, so that a relative part never becomes absolute and a root
// stays a root ("/" + "x" gives "/x").
std::string Append(std::string_view base, std::string_view part);

// Whether anything (file, folder, link) exists at the path.
bool DoesPathExist(const std::string& path);

}  // namespace FXPath
