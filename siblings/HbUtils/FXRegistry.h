// FXRegistry: registry calls with CHbError results, over the store of
// os/registry/Registry.h.
//
// Paths and names are wide strings here and UTF-8 in the store; ApiRegOpenKey also takes
// the store's own narrow form. A failure is
// FXErrorUtil::ErrorWin32 with the store's Win32 code, so a caller tells a missing key
// (err.Is(ERROR_FILE_NOT_FOUND), code 2) from other failures. Opened keys come back in
// an auto_reg_key that closes them. Every function may be called from any thread.
#pragma once

#include <string>
#include <vector>

#include "os/Win32.h"
#include "siblings/HbUtils/AutoHandles.h"
#include "siblings/HbUtils/CHbError.h"

namespace FXRegistry {

// Opens the existing key `path` below `root` (RegOpenKeyEx). On success `key` holds it;
// on failure `key` is empty.
CHbError ApiRegOpenKey(auto_reg_key& key, HKEY root, const std::wstring& path, DWORD options,
                       REGSAM access);
// The same with the path as the store keeps it: its bytes reach the store unchanged, also
// where they are not UTF-8 (which the wide form cannot carry).
CHbError ApiRegOpenKey(auto_reg_key& key, HKEY root, const std::string& path, DWORD options,
                       REGSAM access);

// The names of the key's direct subkeys, in the store's order (names compared without
// letter case). `names` is replaced, and left empty on failure.
CHbError GetRegKeys(HKEY key, std::vector<std::wstring>& names);

// Deletes the key `path` below `root` with everything below it, in one step that never
// leaves half a tree. A path with no key name in it (empty, or only separators) is
// refused with ERROR_INVALID_PARAMETER: it would name `root` itself.
CHbError DeleteRegKey(HKEY root, const std::wstring& path);

}  // namespace FXRegistry
