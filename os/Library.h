// Modules loaded at run time: LoadLibrary, GetProcAddress and FreeLibrary over the
// dynamic loader.
//
// An HMODULE is owned by whoever loaded it and released with freeLibrary(); loading the
// same file twice gives the same module with a reference count, as on Windows. Failures
// set the thread's last error (ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND,
// ERROR_INVALID_HANDLE); the loader's own explanation, which names the missing file or
// symbol, is kept per thread for logs. Every function may be called from any thread.
#pragma once

#include <string>

#include "os/Win32.h"

#if !defined(_WIN32)
namespace kyos {
struct Module;
}
using HMODULE = kyos::Module*;
#endif

namespace kyos {

// LoadLibrary: a path with a "/" is taken as it is; a bare name is searched for where the
// dynamic loader searches. All symbols are bound at load time, so that a module missing
// a symbol fails here and not on its first call. Null on failure.
HMODULE loadLibrary(const std::string& path);

// GetProcAddress: null on failure.
void* getProcAddress(HMODULE module, const std::string& name);

// FreeLibrary: drops one reference; the module is unloaded with the last.
BOOL freeLibrary(HMODULE module);

// The loader's text for the calling thread's last failed loadLibrary() or
// getProcAddress(); empty when there was none.
std::string lastLibraryErrorText();

}  // namespace kyos
