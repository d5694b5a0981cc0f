#include "tests/kylib/crypto/FailingAllocations.h"

#include <cstdlib>
#include <new>

namespace {

// Allocations left before the one that fails; negative while nothing is armed.
thread_local long t_countdown = -1;
thread_local std::size_t t_minimumSize = 0;
thread_local bool t_failed = false;

void* allocate(std::size_t size) {
    if (t_countdown >= 0 && size >= t_minimumSize && t_countdown-- == 0) {
        t_failed = true;
        throw std::bad_alloc();
    }
    void* p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

void* allocateNoThrow(std::size_t size) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

namespace kytest {

FailAllocation::FailAllocation(long index, std::size_t minimumSize) {
    t_failed = false;
    t_minimumSize = minimumSize;
    t_countdown = index;
}

FailAllocation::~FailAllocation() {
    t_countdown = -1;
}

bool FailAllocation::failed() const {
    return t_failed;
}

}  // namespace kytest

// Every unaligned form, so that whatever new gave, the matching delete returns to free().
void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocateNoThrow(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocateNoThrow(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
