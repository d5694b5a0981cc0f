// Owners of operating-system handles, closing what they hold when they go:
//   auto_reg_key      an HKEY, closed with kyos::reg::closeKey
//   auto_handle       a kernel-object HANDLE (file, ...), closed with kyos::closeHandle
//   auto_find_handle  a search HANDLE from FindFirstFile, closed with kyos::findClose
//
// Each owns one handle: it cannot be copied, and moving hands the handle over. get()
// lends the handle without giving it up; release() gives it up to the caller, who then
// closes it; reset() closes the current handle and returns the slot to fill, for calls
// that return a handle through a pointer:
//     auto_reg_key key;
//     kyos::reg::openKey(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, key.reset());
// An empty owner holds the empty value (null; INVALID_HANDLE_VALUE counts as empty too
// for the two HANDLE owners). Closing leaves the thread's last error as it was, so that a
// handle going out of scope on an error path never hides the error's code.
//
// One owner is used by one thread at a time.
#pragma once

#include "os/File.h"
#include "os/Handle.h"
#include "os/LastError.h"
#include "os/Win32.h"
#include "os/registry/Registry.h"

namespace hbutils_detail {

template <class Traits>
class AutoHandle {
public:
    using value_type = typename Traits::value_type;

    AutoHandle() noexcept : m_handle(Traits::Empty()) {}
    explicit AutoHandle(value_type handle) noexcept : m_handle(handle) {}
    ~AutoHandle() { Close(); }

    AutoHandle(const AutoHandle&) = delete;
    AutoHandle& operator=(const AutoHandle&) = delete;

    AutoHandle(AutoHandle&& other) noexcept : m_handle(other.release()) {}
    AutoHandle& operator=(AutoHandle&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    value_type get() const noexcept { return m_handle; }
    bool valid() const noexcept { return Traits::IsValid(m_handle); }
    explicit operator bool() const noexcept { return valid(); }

    // Closes the current handle and returns the slot for a new one.
    value_type* reset() noexcept {
        Close();
        return &m_handle;
    }

    // Closes the current handle and takes `handle` over.
    void reset(value_type handle) noexcept {
        if (handle == m_handle)
            return;
        Close();
        m_handle = handle;
    }

    value_type release() noexcept {
        value_type handle = m_handle;
        m_handle = Traits::Empty();
        return handle;
    }

private:
    void Close() noexcept {
        if (Traits::IsValid(m_handle)) {
            DWORD lastError = kyos::lastError();
            Traits::Close(m_handle);
            kyos::setLastError(lastError);
        }
        m_handle = Traits::Empty();
    }

    value_type m_handle;
};

struct RegKeyTraits {
    using value_type = HKEY;
    static HKEY Empty() noexcept { return nullptr; }
    static bool IsValid(HKEY key) noexcept { return key != nullptr; }
    static void Close(HKEY key) noexcept { kyos::reg::closeKey(key); }
};

struct HandleTraits {
    using value_type = HANDLE;
    static HANDLE Empty() noexcept { return nullptr; }
    static bool IsValid(HANDLE handle) noexcept {
        return handle != nullptr && handle != INVALID_HANDLE_VALUE;
    }
    static void Close(HANDLE handle) noexcept { kyos::closeHandle(handle); }
};

struct FindHandleTraits : HandleTraits {
    static void Close(HANDLE handle) noexcept { kyos::findClose(handle); }
};

}  // namespace hbutils_detail

using auto_reg_key = hbutils_detail::AutoHandle<hbutils_detail::RegKeyTraits>;
using auto_handle = hbutils_detail::AutoHandle<hbutils_detail::HandleTraits>;
using auto_find_handle = hbutils_detail::AutoHandle<hbutils_detail::FindHandleTraits>;
