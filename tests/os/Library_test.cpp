#include "os/Library.h"

#include <gtest/gtest.h>

#include "os/LastError.h"

namespace {

// The C library's maths module is on every system this builds on.
constexpr char kSystemModule[] = "libm.so.6";

TEST(Library, LoadsAndFindsFunctions) {
    HMODULE module = kyos::loadLibrary(kSystemModule);
    ASSERT_NE(module, nullptr) << kyos::lastLibraryErrorText();
    using Cosine = double (*)(double);
    auto cosine = reinterpret_cast<Cosine>(kyos::getProcAddress(module, "cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_EQ(cosine(0.0), 1.0);

    EXPECT_EQ(kyos::getProcAddress(module, "no_such_function_here"), nullptr);
    EXPECT_EQ(kyos::lastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_NE(kyos::lastLibraryErrorText().find("no_such_function_here"), std::string::npos);
    EXPECT_TRUE(kyos::freeLibrary(module));
}

TEST(Library, MissingModuleIsReportedWithItsName) {
    EXPECT_EQ(kyos::loadLibrary("/nonexistent/libnothing.so"), nullptr);
    EXPECT_EQ(kyos::lastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_NE(kyos::lastLibraryErrorText().find("/nonexistent/libnothing.so"), std::string::npos);
    EXPECT_EQ(kyos::loadLibrary(""), nullptr);
    EXPECT_EQ(kyos::lastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Library, NullModuleIsAnInvalidHandle) {
    EXPECT_FALSE(kyos::freeLibrary(nullptr));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(kyos::getProcAddress(nullptr, "cos"), nullptr);
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
