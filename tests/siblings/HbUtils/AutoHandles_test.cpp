#include "siblings/HbUtils/AutoHandles.h"

#include <gtest/gtest.h>

#include <utility>

#include "tests/support/TempDir.h"

namespace {

class AutoHandleTest : public ::testing::Test {
protected:
    HANDLE openFile() {
        HANDLE handle = kyos::createFile(dir_.file("f"), GENERIC_READ, 0, OPEN_ALWAYS);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        return handle;
    }

    // Whether the handle is still open: a call on a closed one fails.
    static bool stillOpen(HANDLE handle) {
        ULONGLONG size;
        return kyos::getFileSize(handle, &size) != FALSE;
    }

    kytest::TempDir dir_;
};

TEST_F(AutoHandleTest, ClosesWhenItGoes) {
    HANDLE raw;
    {
        auto_handle owner(openFile());
        raw = owner.get();
        EXPECT_TRUE(owner.valid());
        EXPECT_TRUE(stillOpen(raw));
    }
    EXPECT_FALSE(stillOpen(raw));
}

TEST_F(AutoHandleTest, ResetClosesAndYieldsTheSlot) {
    auto_handle owner(openFile());
    HANDLE first = owner.get();
    HANDLE* slot = owner.reset();
    EXPECT_FALSE(stillOpen(first));
    EXPECT_EQ(*slot, nullptr);
    *slot = openFile();
    EXPECT_TRUE(owner.valid());
    EXPECT_EQ(owner.get(), *slot);

    HANDLE second = owner.get();
    owner.reset(openFile());
    EXPECT_FALSE(stillOpen(second));
    EXPECT_TRUE(stillOpen(owner.get()));

    // A failed call leaves INVALID_HANDLE_VALUE in the slot: that counts as empty.
    *owner.reset() = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(owner.valid());
    EXPECT_FALSE(static_cast<bool>(owner));
}

TEST_F(AutoHandleTest, MovingHandsTheHandleOver) {
    auto_handle first(openFile());
    HANDLE raw = first.get();
    auto_handle second(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.get(), raw);

    auto_handle third(openFile());
    HANDLE replaced = third.get();
    third = std::move(second);
    EXPECT_FALSE(stillOpen(replaced));
    EXPECT_EQ(third.get(), raw);
    EXPECT_TRUE(stillOpen(raw));
}

TEST_F(AutoHandleTest, ReleaseGivesTheHandleUp) {
    HANDLE raw;
    {
        auto_handle owner(openFile());
        raw = owner.release();
        EXPECT_FALSE(owner.valid());
    }
    EXPECT_TRUE(stillOpen(raw));
    EXPECT_TRUE(kyos::closeHandle(raw));
}

TEST_F(AutoHandleTest, ClosingKeepsTheLastError) {
    {
        auto_handle owner(openFile());
        kyos::setLastError(ERROR_SHARING_VIOLATION);
    }
    EXPECT_EQ(kyos::lastError(), ERROR_SHARING_VIOLATION);
}

TEST_F(AutoHandleTest, FindHandleClosesTheSearch) {
    kytest::writeFile(dir_.file("f"), "x");
    kyos::FindData entry;
    HANDLE raw;
    {
        auto_find_handle find(kyos::findFirstFile(dir_.file("*"), &entry));
        raw = find.get();
        ASSERT_TRUE(find.valid());
    }
    EXPECT_FALSE(kyos::findNextFile(raw, &entry));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
}

class AutoRegKeyTest : public kytest::StoreTest {};

TEST_F(AutoRegKeyTest, OwnsAKeyAndKeepsTheLastError) {
    auto_reg_key key;
    ASSERT_EQ(kyos::reg::createKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\AutoKey", 0, KEY_ALL_ACCESS,
                                   key.reset(), nullptr),
              ERROR_SUCCESS);
    ASSERT_TRUE(key.valid());
    const DWORD value = 7;
    EXPECT_EQ(kyos::reg::setValue(key.get(), "v", REG_DWORD, &value, sizeof value), ERROR_SUCCESS);

    auto_reg_key moved(std::move(key));
    EXPECT_FALSE(key.valid());
    kyos::setLastError(ERROR_MORE_DATA);
    moved.reset();  // the store's close would leave 0 as the last error
    EXPECT_EQ(kyos::lastError(), ERROR_MORE_DATA);
    EXPECT_FALSE(moved.valid());
}

}  // namespace
