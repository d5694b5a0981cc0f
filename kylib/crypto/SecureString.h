#pragma once

// A std::basic_string whose every released buffer is wiped first, for keys, passwords
// and pass phrases. Short strings live inside the string object itself (the small-string
// buffer), which the allocator never sees: secure_basic_string wipes that buffer in its
// own destructor too.

#include <cstddef>
#include <memory>
#include <string>

namespace ky {
// Overwrites [data, data + size) with zeros in a way the optimiser cannot drop.
void secureWipe(void* data, std::size_t size) noexcept;
}  // namespace ky

template <class T>
struct KySecureAllocator {
    using value_type = T;

    KySecureAllocator() noexcept = default;
    template <class U>
    KySecureAllocator(const KySecureAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        ky::secureWipe(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }

    template <class U>
    bool operator==(const KySecureAllocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const KySecureAllocator<U>&) const noexcept {
        return false;
    }
};

template <class CharT>
class secure_basic_string
    : public std::basic_string<CharT, std::char_traits<CharT>, KySecureAllocator<CharT>> {
    using Base = std::basic_string<CharT, std::char_traits<CharT>, KySecureAllocator<CharT>>;

public:
    using Base::Base;
    secure_basic_string() = default;
    secure_basic_string(const Base& other) : Base(other) {}
    secure_basic_string(Base&& other) noexcept : Base(std::move(other)) {}
    secure_basic_string(const secure_basic_string&) = default;
    secure_basic_string(secure_basic_string&&) noexcept = default;
    secure_basic_string& operator=(const secure_basic_string&) = default;
    secure_basic_string& operator=(secure_basic_string&&) noexcept = default;
    using Base::operator=;

    // Wipes everything the string held. A string that grew out of its small-string buffer
    // leaves its first characters there (the heap block's capacity overwrites only the
    // start of that buffer), so wiping the heap block is not enough: the block is handed
    // back first (the allocator wipes it), which puts the string into its small form, and
    // then the whole small buffer is wiped.
    ~secure_basic_string() {
        wipeHeld();
        Base().swap(*this);
        wipeHeld();
    }

private:
    // The characters of the buffer in use, its terminator's place included.
    void wipeHeld() noexcept {
        ky::secureWipe(this->data(), (this->capacity() + 1) * sizeof(CharT));
    }
};

using secure_string = secure_basic_string<char>;
using secure_wstring = secure_basic_string<wchar_t>;
