#include "os/Handle.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <utility>

#include "os/LastError.h"

namespace kyos {
namespace {

// What the last release on this thread returned: closeHandle() reads it to report the
// failure of a release that happened within it.
thread_local DWORD t_releaseResult = ERROR_SUCCESS;

// Runs when the last reference to a closed handle's object goes: in closeHandle() itself
// when nobody else is inside a call on it, else in the thread that finishes last.
struct ReleaseObject {
    void operator()(HandleObject* object) const noexcept {
        if (object == nullptr)
            return;
        DWORD result = object->close();
        delete object;
        t_releaseResult = result;
    }
};

class HandleTable {
public:
    HANDLE insert(std::shared_ptr<HandleObject> object) {
        HandleObject* raw = object.get();
        std::unique_lock<std::shared_mutex> lock(mutex_);
        live_.emplace(raw, std::move(object));
        return static_cast<HANDLE>(raw);
    }

    std::shared_ptr<HandleObject> find(HANDLE handle) const {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        auto it = live_.find(static_cast<HandleObject*>(handle));
        return it == live_.end() ? nullptr : it->second;
    }

    std::shared_ptr<HandleObject> remove(HANDLE handle) {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        auto it = live_.find(static_cast<HandleObject*>(handle));
        if (it == live_.end())
            return nullptr;
        std::shared_ptr<HandleObject> object = std::move(it->second);
        live_.erase(it);
        return object;
    }

private:
    mutable std::shared_mutex mutex_;
    std::unordered_map<HandleObject*, std::shared_ptr<HandleObject>> live_;
};

// Never destroyed: handles closed by other objects' static destructors must still find it.
HandleTable& table() {
    static HandleTable* instance = new HandleTable;
    return *instance;
}

bool isNullHandle(HANDLE handle) {
    return handle == nullptr || handle == INVALID_HANDLE_VALUE;
}

}  // namespace

HandleObject::~HandleObject() = default;

namespace detail {
void setInvalidHandle() noexcept {
    setLastError(ERROR_INVALID_HANDLE);
}
}  // namespace detail

HANDLE makeHandle(std::unique_ptr<HandleObject> object) {
    if (!object) {
        setLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<HandleObject> owned(object.release(), ReleaseObject());
    return table().insert(std::move(owned));
}

std::shared_ptr<HandleObject> lookupHandle(HANDLE handle) {
    std::shared_ptr<HandleObject> object = isNullHandle(handle) ? nullptr : table().find(handle);
    if (!object)
        detail::setInvalidHandle();
    return object;
}

BOOL closeHandle(HANDLE handle) noexcept {
    std::shared_ptr<HandleObject> object = isNullHandle(handle) ? nullptr : table().remove(handle);
    if (!object) {
        detail::setInvalidHandle();
        return FALSE;
    }
    // Out of the table, the object gains no new user; dropping this reference releases it
    // now unless another thread is still inside a call on it, and then reports the result.
    t_releaseResult = ERROR_SUCCESS;
    object.reset();
    if (t_releaseResult != ERROR_SUCCESS) {
        setLastError(t_releaseResult);
        return FALSE;
    }
    return TRUE;
}

}  // namespace kyos
