#include "siblings/HbUtils/FXRegistry.h"

#include "os/registry/Registry.h"
#include "siblings/HbUtils/FXErrorUtil.h"
#include "siblings/HbUtils/FXString.h"

namespace FXRegistry {

CHbError ApiRegOpenKey(auto_reg_key& key, HKEY root, const std::wstring& path, DWORD options,
                       REGSAM access) {
    return ApiRegOpenKey(key, root, FXString::ToString(path), options, access);
}

CHbError ApiRegOpenKey(auto_reg_key& key, HKEY root, const std::string& path, DWORD options,
                       REGSAM access) {
    DWORD code = kyos::reg::openKey(root, path, options, access, key.reset());
    if (code != ERROR_SUCCESS) {
        key.reset();
        return FXErrorUtil::ErrorWin32(FX_LOCATION("FXRegistry::ApiRegOpenKey"), code,
                                       "Couldn't open registry key [%s]", path.c_str());
    }
    return CHbError::Success();
}

CHbError GetRegKeys(HKEY key, std::vector<std::wstring>& names) {
    names.clear();
    std::vector<std::wstring> found;
    std::string name;
    for (DWORD index = 0;; ++index) {
        DWORD code = kyos::reg::enumKey(key, index, &name);
        if (code == ERROR_NO_MORE_ITEMS)
            break;
        if (code != ERROR_SUCCESS) {
            return FXErrorUtil::ErrorWin32(FX_LOCATION("FXRegistry::GetRegKeys"), code,
                                           "Couldn't read subkey %lu",
                                           static_cast<unsigned long>(index));
        }
        found.push_back(FXString::ToWstring(name));
    }
    names = std::move(found);
    return CHbError::Success();
}

CHbError DeleteRegKey(HKEY root, const std::wstring& path) {
    std::string narrowPath = FXString::ToString(path);
    // The store ignores empty path parts, so a path of separators alone would name the
    // root, and deleteTree would then empty it.
    if (narrowPath.find_first_not_of("\\/") == std::string::npos) {
        return FXErrorUtil::ErrorWin32(
            FX_LOCATION("FXRegistry::DeleteRegKey"), ERROR_INVALID_PARAMETER,
            "Refusing to delete registry key [%s]: no key named", narrowPath.c_str());
    }
    DWORD code = kyos::reg::deleteTree(root, narrowPath);
    if (code != ERROR_SUCCESS) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION("FXRegistry::DeleteRegKey"), code,
                                       "Couldn't delete registry key [%s]", narrowPath.c_str());
    }
    return CHbError::Success();
}

}  // namespace FXRegistry
