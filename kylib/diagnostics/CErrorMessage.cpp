#include "kylib/diagnostics/CErrorMessage.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>

#include "kylib/diagnostics/EvDebug.h"
#include "siblings/HbUtils/CHbLibrary.h"

namespace {

constexpr const char* kCatalogueModule = "EvMsgLoc_C";
constexpr const char* kCatalogueOverride = "KY_MESSAGE_CATALOG";
constexpr const char* kTextFunction = "EvGetLocTextVAArgs";

// Both are read without the lock on every call after the first (the double-checked fast
// path), so they are atomics: a reader that sees a pointer also sees what was stored
// before it was published. They change only under g_catalogueMutex.
std::atomic<CHbLibrary*> g_catalogue{nullptr};
std::atomic<EvGetLocTextVAArgsFn> g_textFunction{nullptr};
// Constant-initialised, so usable from any static constructor.
std::mutex g_catalogueMutex;

// Where to load the catalogue from; false when the override cannot be used.
bool cataloguePath(std::string& path) {
    const char* named = std::getenv(kCatalogueOverride);
    if (named == nullptr || named[0] == '\0') {
        // A bare name: the dynamic loader never looks in the current directory for it
        // (LoadLibrary would).
        path = CHbLibrary::GetPlatformLibraryName(kCatalogueModule);
        return true;
    }
    if (named[0] != '/') {
        EvDebug().DebugLvl("getLocaleMessagesSingleton", 3,
                           "%s=[%s] is not an absolute path; the message catalogue is not loaded",
                           kCatalogueOverride, named);
        return false;
    }
    path = named;
    return true;
}

CHbLibrary* loadCatalogueLocked() {
    CHbLibrary* catalogue = g_catalogue.load(std::memory_order_relaxed);
    if (catalogue != nullptr)
        return catalogue;
    std::string path;
    if (!cataloguePath(path))
        return nullptr;
    CHbLibrary* loaded = new (std::nothrow) CHbLibrary;
    if (loaded == nullptr)
        return nullptr;
    CHbError error = loaded->Load(path);
    if (error.IsError()) {
        delete loaded;
        EvDebug().DebugLvl("getLocaleMessagesSingleton", 5, "No message catalogue: %s",
                           error.AsString().c_str());
        return nullptr;
    }
    g_catalogue.store(loaded, std::memory_order_release);
    return loaded;
}

}  // namespace

const CHbLibrary* getLocaleMessagesSingleton() {
    CHbLibrary* catalogue = g_catalogue.load(std::memory_order_acquire);
    if (catalogue != nullptr)
        return catalogue;
    std::lock_guard<std::mutex> lock(g_catalogueMutex);
    return loadCatalogueLocked();
}

EvGetLocTextVAArgsFn getEvGetLocTextVAArgs() {
    EvGetLocTextVAArgsFn function = g_textFunction.load(std::memory_order_acquire);
    if (function != nullptr)
        return function;
    std::lock_guard<std::mutex> lock(g_catalogueMutex);
    function = g_textFunction.load(std::memory_order_relaxed);
    if (function != nullptr)
        return function;
    CHbLibrary* catalogue = loadCatalogueLocked();
    if (catalogue == nullptr)
        return nullptr;
    void* address = nullptr;
    CHbError error = catalogue->GetAddress(kTextFunction, address);
    if (error.IsError()) {
        EvDebug().DebugLvl("getEvGetLocTextVAArgs", 3, "%s", error.AsString().c_str());
        return nullptr;
    }
    function = reinterpret_cast<EvGetLocTextVAArgsFn>(address);
    g_textFunction.store(function, std::memory_order_release);
    return function;
}

void deleteLocaleMessagesSingleton() {
    std::lock_guard<std::mutex> lock(g_catalogueMutex);
    // The cached function points into the library: it must go with it, or the next
    // caller would get an address in unloaded code.
    g_textFunction.store(nullptr, std::memory_order_relaxed);
    delete g_catalogue.exchange(nullptr, std::memory_order_relaxed);
}
