#include "siblings/HbUtils/FXRegistry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/registry/Registry.h"
#include "siblings/HbUtils/FXErrorUtil.h"
#include "tests/support/TempDir.h"

namespace {

class FXRegistryTest : public kytest::StoreTest {
protected:
    void createKey(const std::string& path) {
        auto_reg_key key;
        ASSERT_EQ(
            kyos::reg::createKey(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, key.reset(), nullptr),
            ERROR_SUCCESS)
            << path;
    }

    bool keyExists(const std::string& path) {
        auto_reg_key key;
        return kyos::reg::openKey(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.reset()) ==
               ERROR_SUCCESS;
    }
};

TEST_F(FXRegistryTest, OpensAnExistingKey) {
    createKey("SOFTWARE\\Vendor\\Product");
    auto_reg_key key;
    CHbError err = FXRegistry::ApiRegOpenKey(key, HKEY_LOCAL_MACHINE, L"software\\VENDOR\\Product",
                                             0, KEY_READ);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    ASSERT_TRUE(key.valid());
    std::string path;
    EXPECT_EQ(kyos::reg::keyPath(key.get(), &path), ERROR_SUCCESS);
    EXPECT_EQ(path, "SOFTWARE\\Vendor\\Product");
}

// The narrow form hands the bytes on as they are; through UTF-16 a byte that is not
// UTF-8 would turn into U+FFFD and name another key.
TEST_F(FXRegistryTest, NarrowPathOpensAKeyWhoseNameIsNotUtf8) {
    createKey("SOFTWARE\\caf\xE9");
    auto_reg_key key;
    CHbError err = FXRegistry::ApiRegOpenKey(key, HKEY_LOCAL_MACHINE,
                                             std::string("SOFTWARE\\caf\xE9"), 0, KEY_READ);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    std::string path;
    EXPECT_EQ(kyos::reg::keyPath(key.get(), &path), ERROR_SUCCESS);
    EXPECT_EQ(path, "SOFTWARE\\caf\xE9");
    err = FXRegistry::ApiRegOpenKey(key, HKEY_LOCAL_MACHINE, std::string("SOFTWARE\\caf"), 0,
                                    KEY_READ);
    EXPECT_TRUE(err.Is(ERROR_FILE_NOT_FOUND)) << err.AsString();
    EXPECT_FALSE(key.valid());
}

TEST_F(FXRegistryTest, MissingKeyIsNotFound) {
    createKey("SOFTWARE\\Vendor");
    auto_reg_key key;
    CHbError err =
        FXRegistry::ApiRegOpenKey(key, HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor\\None", 0, KEY_READ);
    EXPECT_TRUE(err.Is(ERROR_FILE_NOT_FOUND)) << err.AsString();
    EXPECT_EQ(FXErrorUtil::GetWin32(err), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(err.AsString().find("SOFTWARE\\Vendor\\None"), std::string::npos);
    EXPECT_FALSE(key.valid());
}

TEST_F(FXRegistryTest, ListsSubkeysWithTheirLetterCase) {
    createKey("SOFTWARE\\List\\beta");
    createKey("SOFTWARE\\List\\Alpha\\Deeper");
    createKey(
        "SOFTWARE\\List\\\xC3\x9C"
        "ber");
    createKey("SOFTWARE\\Empty");
    auto_reg_key key;
    ASSERT_FALSE(FXRegistry::ApiRegOpenKey(key, HKEY_LOCAL_MACHINE, L"SOFTWARE\\List", 0, KEY_READ)
                     .IsError());
    std::vector<std::wstring> names{L"stale"};
    CHbError err = FXRegistry::GetRegKeys(key.get(), names);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Alpha", L"beta", L"\u00DCber"}));

    ASSERT_FALSE(FXRegistry::ApiRegOpenKey(key, HKEY_LOCAL_MACHINE, L"SOFTWARE\\Empty", 0, KEY_READ)
                     .IsError());
    err = FXRegistry::GetRegKeys(key.get(), names);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_TRUE(names.empty());
}

TEST_F(FXRegistryTest, DeletesAWholeTree) {
    createKey("SOFTWARE\\Tree\\A\\B\\C");
    createKey("SOFTWARE\\Tree\\D");
    createKey("SOFTWARE\\Sibling");
    CHbError err = FXRegistry::DeleteRegKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\tree");
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_FALSE(keyExists("SOFTWARE\\Tree"));
    EXPECT_TRUE(keyExists("SOFTWARE\\Sibling"));

    err = FXRegistry::DeleteRegKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree");
    EXPECT_TRUE(err.Is(ERROR_FILE_NOT_FOUND)) << err.AsString();
}

TEST_F(FXRegistryTest, RefusesToDeleteTheRoot) {
    createKey("SOFTWARE\\Precious");
    for (const wchar_t* path : {L"", L"\\", L"/\\/"}) {
        CHbError err = FXRegistry::DeleteRegKey(HKEY_LOCAL_MACHINE, path);
        EXPECT_TRUE(err.Is(ERROR_INVALID_PARAMETER)) << err.AsString();
    }
    EXPECT_TRUE(keyExists("SOFTWARE\\Precious"));
}

}  // namespace
