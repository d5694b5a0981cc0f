#include "os/LastError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace {

TEST(LastError, IsPerThread) {
    kyos::setLastError(ERROR_ACCESS_DENIED);
    DWORD seenByOther = 12345;
    std::thread t([&] { seenByOther = kyos::lastError(); });
    t.join();
    EXPECT_EQ(seenByOther, ERROR_SUCCESS);
    EXPECT_EQ(kyos::lastError(), ERROR_ACCESS_DENIED);
}

TEST(LastError, MapsErrno) {
    struct Case {
        int err;
        DWORD code;
    } cases[] = {
        {0, ERROR_SUCCESS},          {ENOENT, ERROR_FILE_NOT_FOUND}, {EACCES, ERROR_ACCESS_DENIED},
        {EPERM, ERROR_ACCESS_DENIED}, {EEXIST, ERROR_ALREADY_EXISTS}, {ENOSPC, ERROR_DISK_FULL},
        {EBADF, ERROR_INVALID_HANDLE}, {EINVAL, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kyos::setLastErrorFromErrno(c.err), c.code) << c.err;
        EXPECT_EQ(kyos::lastError(), c.code);
    }
}

TEST(LastError, MessageTexts) {
    EXPECT_EQ(kyos::win32MessageText(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.");
    EXPECT_EQ(kyos::win32MessageText(ERROR_MORE_DATA), "More data is available.");
    EXPECT_EQ(kyos::win32MessageText(ERROR_NO_MORE_ITEMS), "No more data is available.");
    EXPECT_EQ(kyos::win32MessageText(4000000000u), "Unknown error 4000000000");
}

}  // namespace
