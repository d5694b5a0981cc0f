#include "os/Library.h"

#include <dlfcn.h>

#include "os/LastError.h"

namespace kyos {
namespace {

thread_local std::string t_lastLibraryError;

void fail(DWORD code, const char* loaderText) {
    t_lastLibraryError = loaderText != nullptr ? loaderText : "";
    setLastError(code);
}

}  // namespace

HMODULE loadLibrary(const std::string& path) {
    if (path.empty()) {
        fail(ERROR_MOD_NOT_FOUND, "empty module path");
        return nullptr;
    }
    // RTLD_LOCAL keeps a module's symbols from resolving another module's references,
    // as each Windows module keeps its own imports.
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        fail(ERROR_MOD_NOT_FOUND, ::dlerror());
        return nullptr;
    }
    return static_cast<HMODULE>(module);
}

void* getProcAddress(HMODULE module, const std::string& name) {
    if (module == nullptr) {
        fail(ERROR_INVALID_HANDLE, "null module");
        return nullptr;
    }
    ::dlerror();  // clears an earlier text so that a null below is told from a failure
    void* address = ::dlsym(static_cast<void*>(module), name.c_str());
    if (address == nullptr) {
        const char* text = ::dlerror();
        fail(ERROR_PROC_NOT_FOUND, text != nullptr ? text : "symbol has a null address");
        return nullptr;
    }
    return address;
}

BOOL freeLibrary(HMODULE module) {
    if (module == nullptr) {
        fail(ERROR_INVALID_HANDLE, "null module");
        return FALSE;
    }
    if (::dlclose(static_cast<void*>(module)) != 0) {
        fail(ERROR_INVALID_HANDLE, ::dlerror());
        return FALSE;
    }
    return TRUE;
}

std::string lastLibraryErrorText() {
    return t_lastLibraryError;
}

}  // namespace kyos
