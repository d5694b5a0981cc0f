#include "siblings/HbUtils/FXFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "siblings/HbUtils/FXPath.h"
#include "tests/support/TempDir.h"

namespace {

class FXFileTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir_.file(name); }

    std::set<std::string> namesIn(const std::string& folder) {
        std::set<std::string> names;
        auto_find_handle find;
        kyos::FindData entry;
        if (FXFile::KYFindFirstFile(find, FXPath::Append(folder, "*"), entry).IsError()) {
            return names;
        }
        do {
            names.insert(entry.name);
        } while (!FXFile::KYFindNextFile(find.get(), entry).IsError());
        return names;
    }

    kytest::TempDir dir_;
};

TEST_F(FXFileTest, WritesReadsMovesAndTruncates) {
    auto_handle file;
    ASSERT_FALSE(FXFile::KYCreateFile(file, path("f"), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ, CREATE_NEW)
                     .IsError());
    ASSERT_TRUE(file.valid());
    DWORD count = 0;
    ASSERT_FALSE(FXFile::KYWriteFile(file.get(), "0123456789", 10, count).IsError());
    EXPECT_EQ(count, 10u);

    LONGLONG position = -1;
    ASSERT_FALSE(FXFile::KYSetFilePointer(file.get(), 0, FILE_CURRENT, &position).IsError());
    EXPECT_EQ(position, 10);
    ASSERT_FALSE(FXFile::KYSetFilePointer(file.get(), 4, FILE_BEGIN).IsError());
    char buffer[8];
    ASSERT_FALSE(FXFile::KYReadFile(file.get(), buffer, 3, count).IsError());
    EXPECT_EQ(std::string(buffer, count), "456");

    ASSERT_FALSE(FXFile::KYTruncateFile(file.get(), 6).IsError());
    ASSERT_FALSE(FXFile::KYReadFile(file.get(), buffer, sizeof buffer, count).IsError());
    EXPECT_EQ(std::string(buffer, count), "");  // the position (7) now lies past the end

    CHbError err = FXFile::KYSetFilePointer(file.get(), -1, FILE_BEGIN);
    EXPECT_TRUE(err.Is(ERROR_INVALID_PARAMETER)) << err.AsString();
    file.reset();
    EXPECT_EQ(kytest::readFile(path("f")), "012345");
}

TEST_F(FXFileTest, FailuresCarryTheWin32CodeAndThePath) {
    auto_handle file;
    *file.reset() = INVALID_HANDLE_VALUE;
    CHbError err = FXFile::KYCreateFile(file, path("missing"), GENERIC_READ, 0, OPEN_EXISTING);
    EXPECT_TRUE(err.Is(ERROR_FILE_NOT_FOUND)) << err.AsString();
    EXPECT_NE(err.AsString().find(path("missing")), std::string::npos);
    EXPECT_FALSE(file.valid());

    err = FXFile::KYCreateFile(file, path("none/f"), GENERIC_WRITE, 0, CREATE_ALWAYS);
    EXPECT_TRUE(err.Is(ERROR_PATH_NOT_FOUND)) << err.AsString();

    DWORD count = 5;
    char buffer[4];
    err = FXFile::KYReadFile(INVALID_HANDLE_VALUE, buffer, sizeof buffer, count);
    EXPECT_TRUE(err.Is(ERROR_INVALID_HANDLE)) << err.AsString();
    EXPECT_EQ(count, 0u);
    err = FXFile::KYWriteFile(nullptr, "x", 1, count);
    EXPECT_TRUE(err.Is(ERROR_INVALID_HANDLE)) << err.AsString();

    err = FXFile::RemoveFile(path("missing"));
    EXPECT_TRUE(err.Is(ERROR_FILE_NOT_FOUND)) << err.AsString();
}

TEST_F(FXFileTest, FindWalksTheMatchesAndEndsWithNoMoreFiles) {
    for (const char* name : {"a.log", "b.log", "c.txt"})
        kytest::writeFile(path(name), "x");
    auto_find_handle find;
    kyos::FindData entry;
    ASSERT_FALSE(FXFile::KYFindFirstFile(find, path("*.log"), entry).IsError());
    std::set<std::string> names{entry.name};
    CHbError err;
    while (!(err = FXFile::KYFindNextFile(find.get(), entry)).IsError())
        names.insert(entry.name);
    EXPECT_TRUE(err.Is(ERROR_NO_MORE_FILES)) << err.AsString();
    EXPECT_EQ(names, (std::set<std::string>{"a.log", "b.log"}));

    err = FXFile::KYFindFirstFile(find, path("*.none"), entry);
    EXPECT_TRUE(err.Is(ERROR_FILE_NOT_FOUND)) << err.AsString();
    EXPECT_FALSE(find.valid());
}

TEST_F(FXFileTest, DeleteMatchingFilesLeavesEverythingElse) {
    for (const char* name : {"a.log", "b.log", "keep.txt", "alog"})
        kytest::writeFile(path(name), "x");
    ASSERT_EQ(::mkdir(path("dir.log").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(path("sub").c_str(), 0755), 0);
    kytest::writeFile(path("sub/c.log"), "x");

    CHbError err = FXFile::DeleteMatchingFiles(dir_.path(), "*.log");
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(namesIn(dir_.path()), (std::set<std::string>{"keep.txt", "alog", "dir.log", "sub"}));
    EXPECT_EQ(namesIn(path("sub")), std::set<std::string>{"c.log"});

    err = FXFile::DeleteMatchingFiles(dir_.path(), "sub/*.log");  // a pattern with a folder
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_TRUE(namesIn(path("sub")).empty());

    err = FXFile::DeleteMatchingFiles(dir_.path(), "*.none");
    EXPECT_FALSE(err.IsError()) << err.AsString();
    err = FXFile::DeleteMatchingFiles(path("missing"), "*.log");
    EXPECT_TRUE(err.Is(ERROR_PATH_NOT_FOUND)) << err.AsString();
    kytest::writeFile(path("plain"), "x");
    err = FXFile::DeleteMatchingFiles(path("plain"), "");
    EXPECT_TRUE(err.Is(ERROR_INVALID_PARAMETER)) << err.AsString();
    EXPECT_TRUE(FXPath::DoesPathExist(path("plain")));
}

// Without a folder the pattern is searched for where the process stands, as a search for
// the bare pattern is; its own folder part, if any, is then below there.
TEST_F(FXFileTest, DeleteMatchingFilesWithoutAFolderWorksInTheCurrentFolder) {
    for (const char* name : {"a.log", "keep.txt"})
        kytest::writeFile(path(name), "x");
    ASSERT_EQ(::mkdir(path("sub").c_str(), 0755), 0);
    kytest::writeFile(path("sub/c.log"), "x");
    kytest::writeFile(path("sub/keep.txt"), "x");
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    CHbError bare = FXFile::DeleteMatchingFiles("", "*.log");
    CHbError below = FXFile::DeleteMatchingFiles("", "sub/*.log");
    ASSERT_EQ(::chdir(previous), 0);
    EXPECT_FALSE(bare.IsError()) << bare.AsString();
    EXPECT_FALSE(below.IsError()) << below.AsString();
    EXPECT_EQ(namesIn(dir_.path()), (std::set<std::string>{"keep.txt", "sub"}));
    EXPECT_EQ(namesIn(path("sub")), std::set<std::string>{"keep.txt"});
}

TEST_F(FXFileTest, DeleteMatchingFilesReportsFilesItCannotDelete) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop root";
    ASSERT_EQ(::mkdir(path("locked").c_str(), 0755), 0);
    kytest::writeFile(path("locked/a.log"), "x");
    kytest::writeFile(path("locked/b.log"), "x");
    ASSERT_EQ(::chmod(path("locked").c_str(), 0555), 0);
    CHbError err = FXFile::DeleteMatchingFiles(path("locked"), "*.log");
    ::chmod(path("locked").c_str(), 0755);
    EXPECT_TRUE(err.Is(ERROR_ACCESS_DENIED)) << err.AsString();
    EXPECT_EQ(namesIn(path("locked")), (std::set<std::string>{"a.log", "b.log"}));
}

TEST_F(FXFileTest, CreateFoldersIteratively) {
    struct Case {
        std::string path;
    } cases[] = {
        {path("a/b/c")},
        {path("a/b/c")},  // again: everything exists
        {path("x//y///z/")},
        {path("a/b/d")},
    };
    for (const Case& c : cases) {
        CHbError err = FXFile::CreateFoldersIteratively(c.path);
        EXPECT_FALSE(err.IsError()) << c.path << ": " << err.AsString();
        EXPECT_NE(kyos::getFileAttributes(c.path) & FILE_ATTRIBUTE_DIRECTORY, 0u) << c.path;
    }
    kytest::writeFile(path("a/file"), "x");
    CHbError err = FXFile::CreateFoldersIteratively(path("a/file/below"));
    EXPECT_TRUE(err.Is(ERROR_DIRECTORY)) << err.AsString();
    EXPECT_NE(err.AsString().find(path("a/file")), std::string::npos);
    EXPECT_TRUE(FXFile::CreateFoldersIteratively("").Is(ERROR_INVALID_PARAMETER));
}

TEST_F(FXFileTest, CreateFoldersIterativelyFromSeveralThreadsAtOnce) {
    constexpr int kThreads = 4;
    const std::string deep = path("p/q/r/s/t/u");
    std::vector<CHbError> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] { results[i] = FXFile::CreateFoldersIteratively(deep); });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (const CHbError& result : results)
        EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_TRUE(FXPath::DoesPathExist(deep));
}

}  // namespace
