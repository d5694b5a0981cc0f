#include "siblings/HbUtils/CHbLibrary.h"

#include <utility>

#include "os/LastError.h"
#include "siblings/HbUtils/FXErrorUtil.h"

CHbLibrary::~CHbLibrary() {
    Free();
}

CHbLibrary::CHbLibrary(CHbLibrary&& other) noexcept
    : m_module(std::exchange(other.m_module, nullptr)) {}

CHbLibrary& CHbLibrary::operator=(CHbLibrary&& other) noexcept {
    if (this != &other) {
        Free();
        m_module = std::exchange(other.m_module, nullptr);
    }
    return *this;
}

std::string CHbLibrary::GetPlatformLibraryName(const std::string& name) {
    return "lib" + name + ".so";
}

CHbError CHbLibrary::Load(const std::string& path) {
    Free();
    m_module = kyos::loadLibrary(path);
    if (m_module == nullptr) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION("CHbLibrary::Load"), kyos::lastError(),
                                       "Couldn't load [%s]: %s", path.c_str(),
                                       kyos::lastLibraryErrorText().c_str());
    }
    return CHbError::Success();
}

void* CHbLibrary::GetAddress(const std::string& name) const {
    void* address = nullptr;
    GetAddress(name, address);
    return address;
}

CHbError CHbLibrary::GetAddress(const std::string& name, void*& address) const {
    address = nullptr;
    if (m_module == nullptr) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION("CHbLibrary::GetAddress"), ERROR_INVALID_HANDLE,
                                       "No module loaded to find [%s] in", name.c_str());
    }
    address = kyos::getProcAddress(m_module, name);
    if (address == nullptr) {
        return FXErrorUtil::ErrorWin32(FX_LOCATION("CHbLibrary::GetAddress"), kyos::lastError(),
                                       "Couldn't find [%s]: %s", name.c_str(),
                                       kyos::lastLibraryErrorText().c_str());
    }
    return CHbError::Success();
}

void CHbLibrary::Free() {
    if (m_module == nullptr)
        return;
    kyos::freeLibrary(m_module);
    m_module = nullptr;
}
