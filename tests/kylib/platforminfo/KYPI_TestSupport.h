// What the component class tests share: a private store with a known focus, direct
// reads and writes of the store that do not go through the classes under test, and a
// dump of the whole store to compare before and after an operation that must not touch it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "os/registry/Registry.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "tests/support/TempDir.h"

namespace kypitest {

constexpr const char* kRoot = "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001";
constexpr const char* kClient = "pc1";

inline std::string inRoot(const std::string& rest) {
    return std::string(kRoot) + "\\" + rest;
}

struct Raw {
    static void set(const std::string& path, const std::string& name, DWORD type, const void* data,
                    DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(kyos::reg::createKey(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key, nullptr),
                  ERROR_SUCCESS)
            << path;
        ASSERT_EQ(kyos::reg::setValue(key, name, type, data, size), ERROR_SUCCESS);
        kyos::reg::closeKey(key);
    }
    // `rest` below the instance root.
    static void dword(const std::string& rest, const std::string& name, DWORD value) {
        set(inRoot(rest), name, REG_DWORD, &value, sizeof value);
    }
    static void string(const std::string& rest, const std::string& name, const std::string& v) {
        set(inRoot(rest), name, REG_SZ, v.c_str(), static_cast<DWORD>(v.size() + 1));
    }
    static bool getDword(const std::string& rest, const std::string& name, DWORD& value) {
        DWORD type = 0, size = sizeof value;
        return kyos::reg::getValue(HKEY_LOCAL_MACHINE, inRoot(rest), name, &type, &value, &size,
                                   nullptr) == ERROR_SUCCESS &&
               type == REG_DWORD;
    }
    static std::string getString(const std::string& rest, const std::string& name) {
        char buf[8192] = {};
        DWORD type = 0, size = sizeof buf - 1;
        if (kyos::reg::getValue(HKEY_LOCAL_MACHINE, inRoot(rest), name, &type, buf, &size,
                                nullptr) != ERROR_SUCCESS)
            return "<missing>";
        return std::string(buf);
    }
};

// Every key and value below `path`, in one text (keys and values in store order).
inline void dumpInto(HKEY parent, const std::string& path, std::string& out) {
    HKEY key = nullptr;
    if (kyos::reg::openKey(parent, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    out += "[" + path + "]\n";
    std::string name;
    for (DWORD i = 0;; ++i) {
        char data[4096];
        DWORD type = 0, size = sizeof data;
        if (kyos::reg::enumValue(key, i, &name, &type, data, &size) != ERROR_SUCCESS)
            break;
        out += name + "=" + std::to_string(type) + ":" + std::string(data, size) + "\n";
    }
    std::vector<std::string> children;
    for (DWORD i = 0; kyos::reg::enumKey(key, i, &name) == ERROR_SUCCESS; ++i)
        children.push_back(name);
    kyos::reg::closeKey(key);
    for (const std::string& child : children)
        dumpInto(parent, path.empty() ? child : path + "\\" + child, out);
}

inline std::string dumpStore() {
    std::string out;
    dumpInto(HKEY_LOCAL_MACHINE, "SOFTWARE", out);
    return out;
}

// Each test has its own store file, the instance "Instance001" and the client "pc1".
class ComponentTest : public kytest::StoreTest {
protected:
    void SetUp() override {
        kytest::StoreTest::SetUp();
        KYPI_Focus::setFocus("Instance001");
        KYPI_Focus::setProductName("Sarvex");
        KYPI_Focus::setProductType(KELBRIN_PRODUCT_TYPE_DEFAULT);
        KYPI_Focus::setRemoteTesselFocus("");
        KYPI_Focus::setFocusClientName(kClient);
        // Something in the store, so that "unchanged" compares more than nothing.
        Raw::string("Base", "sVERSION", "11.40.2");
    }
    void TearDown() override {
        KYPI_Focus::reload();
        kytest::StoreTest::TearDown();
    }
};

}  // namespace kypitest
