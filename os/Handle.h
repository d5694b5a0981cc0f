// Kernel-object handles: what a Win32 HANDLE stands for on this platform.
//
// A HANDLE names a kyos::HandleObject. Each kind of object (open file, directory search,
// named event, mutex, thread) derives from HandleObject and releases its operating-system
// resource in close(). makeHandle() hands the object to a process-wide table of live
// handles and returns the HANDLE; whoever receives it owns that handle and releases it
// with closeHandle() (or with the close call of its kind, such as findClose()). A handle
// never closed stays open until the process ends, as on Windows.
//
// A HANDLE is not the object's address: it is a slot of the table and that slot's
// generation, so that a value is checked against the table before anything is read
// through it. A handle that is not open (null, INVALID_HANDLE_VALUE, already closed) and
// a value that was never a handle fail with ERROR_INVALID_HANDLE instead of touching
// freed memory; only a value equal to a live handle's names it, which a damaged or
// guessed value almost never is. A closed handle stays invalid after its slot holds a new
// handle: the slot's generation moves on, and a value comes back only after 2^32 reuses
// of one slot.
// Every value has a non-zero top byte, so none is null, INVALID_HANDLE_VALUE, a small
// integer or a predefined registry key, and on x86-64 none is an address one can read.
//
// Looking a handle up takes a use of the object that lasts until the caller lets go, so a
// handle closed by one thread while another is still inside a call on it never frees the
// object under that call: the object is released when the last user lets go, as Windows
// keeps an object until its last reference goes. lookupHandleRef() gives that use as a
// HandleRef, which costs two atomic operations and nothing else; lookupHandle() and
// lookupHandleAs() give it as a std::shared_ptr (one allocation more), for callers that
// keep the object beyond a scope.
//
// Threads: every function may be called from any thread, on the same handle at once. The
// table takes no lock, so a fork() while other threads use it leaves the child a usable
// table: handles open at the fork stay open in the child (an object that a thread of the
// parent was using at that moment is never released in the child).
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <typeinfo>
#include <utility>

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
// (INVALID_HANDLE_VALUE with ERROR_INVALID_PARAMETER for null, with
// ERROR_NOT_ENOUGH_MEMORY when the table is full). Throws std::bad_alloc as new does.
HANDLE makeHandle(std::unique_ptr<HandleObject> object);

// CloseHandle: closes the handle at once (every later lookup fails) and releases the
// object once nobody uses it. FALSE with ERROR_INVALID_HANDLE for null,
// INVALID_HANDLE_VALUE or a handle that is not open; FALSE with the object's code when
// releasing it fails at once.
BOOL closeHandle(HANDLE handle) noexcept;

// Whether `handle` is open at this moment, without taking a use of its object: for a
// caller that keeps what the handle led to alive by other means and only asks whether the
// value still names that handle (a closed handle never comes back, see above). Sets no
// last error.
bool isHandleOpen(HANDLE handle) noexcept;

namespace detail {

// One entry of the table; its layout is Handle.cpp's business.
struct HandleSlot;

// A use of the object behind a live handle, with `*slot` to give it back by; null with
// last error ERROR_INVALID_HANDLE when the handle is not open.
HandleObject* acquireHandle(HANDLE handle, HandleSlot** slot) noexcept;

// Gives a use back; the last one after a close releases the object, in this thread.
void releaseHandle(HandleSlot* slot) noexcept;

void setInvalidHandle() noexcept;

// For tests that need a full table without opening millions of handles: with `full`, the
// table hands out no slot it has not handed out before, so once the closed handles' slots
// are taken again makeHandle() fails as on a full table; without, the whole table is
// available again.
void limitHandleTableForTesting(bool full) noexcept;

// A final class is told by its type alone, which costs less than a dynamic_cast; every
// file, search and kernel-object handle is one.
template <class T>
T* handleObjectAs(HandleObject* object) noexcept {
    if constexpr (std::is_same_v<T, HandleObject>) {
        return object;
    } else if constexpr (std::is_final_v<T>) {
        const HandleObject& dynamic = *object;
        return typeid(dynamic) == typeid(T) ? static_cast<T*>(object) : nullptr;
    } else {
        return dynamic_cast<T*>(object);
    }
}

}  // namespace detail

template <class T>
class HandleRef;

// The object behind a live handle when it is a T (a file call given a search handle
// fails as Windows does); otherwise empty with last error ERROR_INVALID_HANDLE.
template <class T = HandleObject>
HandleRef<T> lookupHandleRef(HANDLE handle) noexcept;

// A use of the object behind a live handle, given back when the HandleRef goes. Move-only.
// Empty when the lookup failed.
template <class T>
class HandleRef {
public:
    HandleRef() noexcept = default;
    HandleRef(std::nullptr_t) noexcept {}  // empty, as a null smart pointer is
    ~HandleRef() { reset(); }
    HandleRef(HandleRef&& other) noexcept
        : object_(std::exchange(other.object_, nullptr)),
          slot_(std::exchange(other.slot_, nullptr)) {}
    HandleRef& operator=(HandleRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
            slot_ = std::exchange(other.slot_, nullptr);
        }
        return *this;
    }
    HandleRef(const HandleRef&) = delete;
    HandleRef& operator=(const HandleRef&) = delete;

    explicit operator bool() const noexcept { return object_ != nullptr; }
    T* get() const noexcept { return object_; }
    T* operator->() const noexcept { return object_; }
    T& operator*() const noexcept { return *object_; }

    void reset() noexcept {
        detail::HandleSlot* slot = std::exchange(slot_, nullptr);
        object_ = nullptr;
        if (slot != nullptr)
            detail::releaseHandle(slot);
    }

    // The same use as a std::shared_ptr, for a caller that keeps the object beyond a
    // scope; this HandleRef is left empty.
    std::shared_ptr<T> share() && {
        if (object_ == nullptr)
            return nullptr;
        T* object = std::exchange(object_, nullptr);
        detail::HandleSlot* slot = std::exchange(slot_, nullptr);
        // Should the control block fail to allocate, shared_ptr calls the deleter.
        return std::shared_ptr<T>(object, [slot](T*) noexcept { detail::releaseHandle(slot); });
    }

private:
    template <class U>
    friend HandleRef<U> lookupHandleRef(HANDLE handle) noexcept;

    HandleRef(T* object, detail::HandleSlot* slot) noexcept : object_(object), slot_(slot) {}

    T* object_ = nullptr;
    detail::HandleSlot* slot_ = nullptr;
};

template <class T>
HandleRef<T> lookupHandleRef(HANDLE handle) noexcept {
    detail::HandleSlot* slot = nullptr;
    HandleObject* object = detail::acquireHandle(handle, &slot);
    if (object == nullptr)
        return HandleRef<T>();
    T* typed = detail::handleObjectAs<T>(object);
    if (typed == nullptr) {
        detail::releaseHandle(slot);
        detail::setInvalidHandle();
        return HandleRef<T>();
    }
    return HandleRef<T>(typed, slot);
}

// The same as a shared reference: the object behind a live handle, or null with last
// error ERROR_INVALID_HANDLE.
inline std::shared_ptr<HandleObject> lookupHandle(HANDLE handle) {
    return lookupHandleRef(handle).share();
}

// The same when the object is a T; otherwise null with last error ERROR_INVALID_HANDLE.
template <class T>
std::shared_ptr<T> lookupHandleAs(HANDLE handle) {
    return lookupHandleRef<T>(handle).share();
}

}  // namespace kyos
