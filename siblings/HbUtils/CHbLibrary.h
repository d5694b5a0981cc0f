// CHbLibrary: one module (shared library) loaded at run time, and the addresses of its
// functions.
//
// The object owns the module it loaded: Free() or the destructor unloads it, after which
// addresses taken from it must not be used. It cannot be copied; moving hands the module
// over. Load() and Free() change the object and must not race with other calls on it;
// GetAddress() may be called from several threads while the module stays loaded.
#pragma once

#include <string>

#include "os/Library.h"
#include "siblings/HbUtils/CHbError.h"

class CHbLibrary {
public:
    CHbLibrary() = default;
    ~CHbLibrary();
    CHbLibrary(const CHbLibrary&) = delete;
    CHbLibrary& operator=(const CHbLibrary&) = delete;
    CHbLibrary(CHbLibrary&& other) noexcept;
    CHbLibrary& operator=(CHbLibrary&& other) noexcept;

    // The file name the platform gives the module called `name`: "libKyScale.so" for
    // "KyScale".
    static std::string GetPlatformLibraryName(const std::string& name);

    // Loads the module at `path` (a module loaded before is freed first).
    // ERROR_MOD_NOT_FOUND when it cannot be loaded; the error's text says why.
    CHbError Load(const std::string& path);

    // The address of the exported symbol; null when it is missing or nothing is loaded.
    void* GetAddress(const std::string& name) const;
    // The same with the reason of a failure: ERROR_PROC_NOT_FOUND for a missing symbol,
    // ERROR_INVALID_HANDLE when nothing is loaded.
    CHbError GetAddress(const std::string& name, void*& address) const;

    // Unloads the module; nothing happens when none is loaded.
    void Free();

    bool IsLoaded() const { return m_module != nullptr; }

private:
    HMODULE m_module = nullptr;
};
