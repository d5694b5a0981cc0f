// Placeholder while the store is written: every call fails cleanly.
#include "os/registry/Registry.h"

#include <cstdlib>

#include "os/LastError.h"

namespace kyos::reg {
namespace {
DWORD fail() {
    setLastError(ERROR_NOT_SUPPORTED);
    return ERROR_NOT_SUPPORTED;
}
}  // namespace

std::string defaultStorePath() { return ""; }
void setStorePath(const std::string&) {}
std::string storePath() { return ""; }
DWORD openKey(HKEY, std::string_view, DWORD, REGSAM, HKEY*) { return fail(); }
DWORD createKey(HKEY, std::string_view, DWORD, REGSAM, HKEY*, DWORD*) { return fail(); }
DWORD closeKey(HKEY) { return fail(); }
DWORD queryValue(HKEY, std::string_view, DWORD*, void*, DWORD*) { return fail(); }
DWORD setValue(HKEY, std::string_view, DWORD, const void*, DWORD) { return fail(); }
DWORD deleteValue(HKEY, std::string_view) { return fail(); }
DWORD enumKey(HKEY, DWORD, std::string*) { return fail(); }
DWORD enumValue(HKEY, DWORD, std::string*, DWORD*, void*, DWORD*) { return fail(); }
DWORD queryInfoKey(HKEY, KeyInfo*) { return fail(); }
DWORD keyPath(HKEY, std::string*) { return fail(); }
DWORD deleteKey(HKEY, std::string_view) { return fail(); }
DWORD deleteTree(HKEY, std::string_view) { return fail(); }
DWORD copyTree(HKEY, std::string_view, HKEY, std::string_view, CopyMode) { return fail(); }
DWORD renameKey(HKEY, std::string_view, std::string_view) { return fail(); }
Transaction::Transaction() : status_(fail()) {}
Transaction::~Transaction() = default;
DWORD Transaction::commit() { return fail(); }
}  // namespace kyos::reg
