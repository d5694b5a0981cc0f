// Kernel-object handles: what a Win32 HANDLE stands for on this platform.
//
// A HANDLE is a pointer to a kyos::HandleObject. Each kind of object (open file,
// directory search, and later named events, mutexes, processes) derives from
// HandleObject and releases its operating-system resource in close(). makeHandle() hands
// the object to a process-wide table of live handles and returns the HANDLE; whoever
// receives it owns that handle and releases it with closeHandle() (or with the close
// call of its kind, such as findClose()). A handle never closed stays open until the
// process ends, as on Windows.
//
// Looking a handle up yields a shared reference that keeps the object alive while the
// caller uses it, so a handle closed by one thread while another is still inside a call
// on it never frees memory under that call: the object is released when the last user
// lets go, as Windows keeps an object until its last reference goes. A handle that is
// not in the table (null, INVALID_HANDLE_VALUE, already closed) fails with
// ERROR_INVALID_HANDLE instead of touching freed memory. After a close, the same pointer
// value may name a new object later, as a recycled Windows handle value can.
//
// Threads: every function may be called from any thread.
#pragma once

#include <memory>

#include "os/Win32.h"

namespace kyos {

class HandleObject {
public:
    HandleObject() = default;
    virtual ~HandleObject();
    HandleObject(const HandleObject&) = delete;
    HandleObject& operator=(const HandleObject&) = delete;

    // Releases the operating-system resource and returns a Win32 code. Called exactly
    // once, when the handle has been closed and nobody uses the object any more; the
    // object is destroyed right after.
    virtual DWORD close() noexcept { return ERROR_SUCCESS; }
};

// Enters the object in the table of live handles and returns its HANDLE
// (INVALID_HANDLE_VALUE with ERROR_INVALID_PARAMETER for null).
HANDLE makeHandle(std::unique_ptr<HandleObject> object);

// The object behind a live handle, or null with last error ERROR_INVALID_HANDLE.
std::shared_ptr<HandleObject> lookupHandle(HANDLE handle);

// The object behind a live handle when it is a T; otherwise null with last error
// ERROR_INVALID_HANDLE (a file call given a search handle fails as Windows does).
template <class T>
std::shared_ptr<T> lookupHandleAs(HANDLE handle);

// CloseHandle: removes the handle from the table and releases the object once nobody
// uses it. FALSE with ERROR_INVALID_HANDLE for null, INVALID_HANDLE_VALUE or a handle
// that is not open; FALSE with the object's code when releasing it fails at once.
BOOL closeHandle(HANDLE handle) noexcept;

namespace detail {
void setInvalidHandle() noexcept;
}

template <class T>
std::shared_ptr<T> lookupHandleAs(HANDLE handle) {
    std::shared_ptr<T> object = std::dynamic_pointer_cast<T>(lookupHandle(handle));
    if (!object)
        detail::setInvalidHandle();
    return object;
}

}  // namespace kyos
