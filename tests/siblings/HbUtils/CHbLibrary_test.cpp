#include "siblings/HbUtils/CHbLibrary.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

// Built beside the tests (tests/siblings/CMakeLists.txt).
constexpr char kModule[] = HBUTILS_TEST_MODULE;
constexpr char kExport[] = "hbutils_test_answer";
using AnswerFunction = int (*)();

int callAnswer(void* address) {
    return reinterpret_cast<AnswerFunction>(address)();
}

TEST(CHbLibrary, PlatformLibraryName) {
    EXPECT_EQ(CHbLibrary::GetPlatformLibraryName("KyScale"), "libKyScale.so");
}

TEST(CHbLibrary, LoadsAModuleAndFindsItsFunctions) {
    CHbLibrary library;
    CHbError err = library.Load(kModule);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_TRUE(library.IsLoaded());
    void* address = library.GetAddress(kExport);
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(callAnswer(address), 42);

    void* other = reinterpret_cast<void*>(1);
    err = library.GetAddress("no_such_export", other);
    EXPECT_TRUE(err.Is(ERROR_PROC_NOT_FOUND)) << err.AsString();
    EXPECT_NE(err.AsString().find("no_such_export"), std::string::npos);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(library.GetAddress("no_such_export"), nullptr);

    library.Free();
    EXPECT_FALSE(library.IsLoaded());
    EXPECT_EQ(library.GetAddress(kExport), nullptr);
    library.Free();  // twice is harmless
}

TEST(CHbLibrary, MissingModuleExplainsWhy) {
    CHbLibrary library;
    CHbError err = library.Load("/nonexistent/libKyScale.so");
    EXPECT_TRUE(err.Is(ERROR_MOD_NOT_FOUND)) << err.AsString();
    EXPECT_NE(err.AsString().find("/nonexistent/libKyScale.so"), std::string::npos);
    EXPECT_FALSE(library.IsLoaded());
    void* address = nullptr;
    err = library.GetAddress(kExport, address);
    EXPECT_TRUE(err.Is(ERROR_INVALID_HANDLE)) << err.AsString();
}

TEST(CHbLibrary, MovingHandsTheModuleOver) {
    CHbLibrary first;
    ASSERT_FALSE(first.Load(kModule).IsError());
    CHbLibrary second(std::move(first));
    EXPECT_FALSE(first.IsLoaded());
    ASSERT_TRUE(second.IsLoaded());
    EXPECT_EQ(callAnswer(second.GetAddress(kExport)), 42);
    CHbLibrary third;
    third = std::move(second);
    EXPECT_FALSE(second.IsLoaded());
    EXPECT_EQ(callAnswer(third.GetAddress(kExport)), 42);
}

}  // namespace
