#include "os/File.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "os/Handle.h"
#include "os/LastError.h"
#include "tests/support/TempDir.h"

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::set<int> openDescriptors() {
    std::set<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
        return fds;
    while (struct dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            fds.insert(std::atoi(entry->d_name));
    }
    ::closedir(dir);
    return fds;
}

class FileTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir_.file(name); }

    kytest::TempDir dir_;
};

TEST_F(FileTest, DispositionsBehaveAsOnWindows) {
    struct Case {
        const char* what;
        bool present;
        DWORD disposition;
        bool opens;
        DWORD lastError;
        const char* contentAfter;  // null: no file afterwards
    } cases[] = {
        {"create new", false, CREATE_NEW, true, ERROR_SUCCESS, ""},
        {"create new over a file", true, CREATE_NEW, false, ERROR_FILE_EXISTS, "old"},
        {"create always", false, CREATE_ALWAYS, true, ERROR_SUCCESS, ""},
        {"create always over a file", true, CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},
        {"open existing, none", false, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr},
        {"open existing", true, OPEN_EXISTING, true, ERROR_SUCCESS, "old"},
        {"open always", false, OPEN_ALWAYS, true, ERROR_SUCCESS, ""},
        {"open always over a file", true, OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, "old"},
        {"truncate existing, none", false, TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr},
        {"truncate existing", true, TRUNCATE_EXISTING, true, ERROR_SUCCESS, ""},
        {"unknown disposition", true, 0, false, ERROR_INVALID_PARAMETER, "old"},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string file = path("case" + std::to_string(n++));
        if (c.present)
            kytest::writeFile(file, "old");
        kyos::setLastError(ERROR_INVALID_FUNCTION);
        HANDLE handle =
            kyos::createFile(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, c.disposition);
        EXPECT_EQ(handle != INVALID_HANDLE_VALUE, c.opens) << c.what;
        EXPECT_EQ(kyos::lastError(), c.lastError) << c.what;
        if (handle != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(kyos::closeHandle(handle));
        }
        EXPECT_EQ(exists(file), c.contentAfter != nullptr) << c.what;
        if (c.contentAfter != nullptr) {
            EXPECT_EQ(kytest::readFile(file), c.contentAfter) << c.what;
        }
    }
}

TEST_F(FileTest, OpenFailuresTellWhatIsMissing) {
    struct Case {
        std::string path;
        DWORD access;
        DWORD disposition;
        DWORD lastError;
    } cases[] = {
        {path("missing/file"), GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        {path("missing/file"), GENERIC_WRITE, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
        {dir_.path(), GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {dir_.path(), GENERIC_WRITE, OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {path("f"), GENERIC_READ, CREATE_ALWAYS, ERROR_INVALID_PARAMETER},
        {path("f"), GENERIC_READ, TRUNCATE_EXISTING, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kyos::createFile(c.path, c.access, 0, c.disposition), INVALID_HANDLE_VALUE)
            << c.path;
        EXPECT_EQ(kyos::lastError(), c.lastError) << c.path << " " << c.disposition;
    }
    EXPECT_FALSE(exists(path("f")));
}

TEST_F(FileTest, DescriptorIsNotInheritedByChildren) {
    std::set<int> before = openDescriptors();
    HANDLE handle = kyos::createFile(path("f"), GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::set<int> after = openDescriptors();
    int checked = 0;
    for (int fd : after) {
        if (before.count(fd) != 0)
            continue;
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << fd;
        ++checked;
    }
    EXPECT_GE(checked, 1);
    kyos::closeHandle(handle);
}

TEST_F(FileTest, WritesReadsAndMoves) {
    HANDLE handle = kyos::createFile(path("f"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD count = 99;
    ASSERT_TRUE(kyos::writeFile(handle, "hello world", 11, &count));
    EXPECT_EQ(count, 11u);
    ULONGLONG size = 0;
    ASSERT_TRUE(kyos::getFileSize(handle, &size));
    EXPECT_EQ(size, 11u);

    LONGLONG position = -1;
    ASSERT_TRUE(kyos::setFilePointer(handle, -5, &position, FILE_END));
    EXPECT_EQ(position, 6);
    char buffer[16] = {};
    ASSERT_TRUE(kyos::readFile(handle, buffer, sizeof buffer, &count));
    EXPECT_EQ(std::string(buffer, count), "world");
    // At the end a read succeeds with nothing, as ReadFile does.
    ASSERT_TRUE(kyos::readFile(handle, buffer, sizeof buffer, &count));
    EXPECT_EQ(count, 0u);

    ASSERT_TRUE(kyos::setFilePointer(handle, 0, nullptr, FILE_BEGIN));
    ASSERT_TRUE(kyos::setFilePointer(handle, 2, &position, FILE_CURRENT));
    EXPECT_EQ(position, 2);
    EXPECT_FALSE(kyos::setFilePointer(handle, -3, &position, FILE_CURRENT));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(kyos::setFilePointer(handle, 0, &position, 7));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(kyos::flushFile(handle));
    EXPECT_TRUE(kyos::closeHandle(handle));
    EXPECT_EQ(kytest::readFile(path("f")), "hello world");
}

TEST_F(FileTest, SetFileSizeCutsAndExtendsAndKeepsThePosition) {
    HANDLE handle = kyos::createFile(path("f"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(kyos::writeFile(handle, "abcdef", 6, nullptr));
    ASSERT_TRUE(kyos::setFileSize(handle, 3));
    ASSERT_TRUE(kyos::setFileSize(handle, 5));
    LONGLONG position = 0;
    ASSERT_TRUE(kyos::setFilePointer(handle, 0, &position, FILE_CURRENT));
    EXPECT_EQ(position, 6);
    kyos::closeHandle(handle);
    EXPECT_EQ(kytest::readFile(path("f")), std::string("abc\0\0", 5));
}

TEST_F(FileTest, CallsCheckAccessArgumentsAndHandles) {
    kytest::writeFile(path("f"), "data");
    HANDLE reader = kyos::createFile(path("f"), GENERIC_READ, 0, OPEN_EXISTING);
    HANDLE writer = kyos::createFile(path("f"), GENERIC_WRITE, 0, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    char buffer[4];
    DWORD count = 7;
    EXPECT_FALSE(kyos::writeFile(reader, "x", 1, &count));
    EXPECT_EQ(kyos::lastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(kyos::setFileSize(reader, 0));
    EXPECT_EQ(kyos::lastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(kyos::readFile(writer, buffer, sizeof buffer, &count));
    EXPECT_EQ(kyos::lastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(kyos::readFile(reader, nullptr, 4, &count));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_PARAMETER);

    kyos::FindData entry;
    HANDLE find = kyos::findFirstFile(path("*"), &entry);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(kyos::readFile(find, buffer, sizeof buffer, &count));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(kyos::findClose(reader));  // a file is not a search
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(kyos::findClose(find));

    EXPECT_TRUE(kyos::closeHandle(reader));
    EXPECT_FALSE(kyos::readFile(reader, buffer, sizeof buffer, &count));
    EXPECT_EQ(kyos::lastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(kyos::closeHandle(writer));
}

TEST_F(FileTest, DeleteAndCreateDirectoryFailures) {
    kytest::writeFile(path("f"), "x");
    ASSERT_TRUE(kyos::createDirectory(path("d")));
    struct Case {
        const char* what;
        std::function<BOOL()> call;
        DWORD lastError;
    } cases[] = {
        {"existing directory", [&] { return kyos::createDirectory(path("d")); },
         ERROR_ALREADY_EXISTS},
        {"directory over a file", [&] { return kyos::createDirectory(path("f")); },
         ERROR_ALREADY_EXISTS},
        {"directory below a missing one", [&] { return kyos::createDirectory(path("x/y")); },
         ERROR_PATH_NOT_FOUND},
        {"delete a directory", [&] { return kyos::deleteFile(path("d")); }, ERROR_ACCESS_DENIED},
        {"delete a missing file", [&] { return kyos::deleteFile(path("none")); },
         ERROR_FILE_NOT_FOUND},
        {"delete below a missing folder", [&] { return kyos::deleteFile(path("none/f")); },
         ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        kyos::setLastError(ERROR_SUCCESS);
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(kyos::lastError(), c.lastError) << c.what;
    }
    EXPECT_TRUE(kyos::deleteFile(path("f")));
    EXPECT_FALSE(exists(path("f")));
}

TEST_F(FileTest, RemoveDirectoryAndItsFailures) {
    ASSERT_TRUE(kyos::createDirectory(path("d")));
    kytest::writeFile(path("d/f"), "x");
    struct Case {
        const char* what;
        std::string dir;
        DWORD lastError;
    } cases[] = {
        {"not empty", path("d"), ERROR_DIR_NOT_EMPTY},
        {"missing", path("none"), ERROR_FILE_NOT_FOUND},
        {"below a missing folder", path("none/d"), ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        kyos::setLastError(ERROR_SUCCESS);
        EXPECT_FALSE(kyos::removeDirectory(c.dir)) << c.what;
        EXPECT_EQ(kyos::lastError(), c.lastError) << c.what;
    }
    ASSERT_TRUE(kyos::deleteFile(path("d/f")));
    EXPECT_TRUE(kyos::removeDirectory(path("d")));
    EXPECT_FALSE(exists(path("d")));
}

TEST_F(FileTest, RenameOverReplacesInOneStepWithTheTargetsMode) {
    kytest::writeFile(path("old"), "old");
    ASSERT_EQ(::chmod(path("old").c_str(), 0640), 0);
    kytest::writeFile(path("new"), "new");
    ASSERT_EQ(::chmod(path("new").c_str(), 0604), 0);
    ASSERT_TRUE(kyos::renameOver(path("new"), path("old")));
    EXPECT_EQ(kytest::readFile(path("old")), "new");
    EXPECT_FALSE(exists(path("new")));
    struct stat st;
    ASSERT_EQ(::stat(path("old").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // A new name keeps the source's own mode.
    ASSERT_TRUE(kyos::renameOver(path("old"), path("fresh")));
    ASSERT_EQ(::stat(path("fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    kyos::setLastError(ERROR_SUCCESS);
    EXPECT_FALSE(kyos::renameOver(path("none"), path("fresh")));
    EXPECT_EQ(kyos::lastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(kytest::readFile(path("fresh")), "new");
}

TEST_F(FileTest, CopyFileModeGivesAnOpenFileTheModelsBits) {
    kytest::writeFile(path("model"), "m");
    ASSERT_EQ(::chmod(path("model").c_str(), 0600), 0);
    HANDLE file = kyos::createFile(path("copy"), GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(kyos::copyFileMode(path("model"), file));
    struct stat st;
    ASSERT_EQ(::stat(path("copy").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    kyos::setLastError(ERROR_SUCCESS);
    EXPECT_FALSE(kyos::copyFileMode(path("none"), file));
    EXPECT_EQ(kyos::lastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(kyos::copyFileMode(path("model"), INVALID_HANDLE_VALUE));
    ASSERT_EQ(::symlink(path("model").c_str(), path("link").c_str()), 0);
    kyos::setLastError(ERROR_SUCCESS);
    EXPECT_FALSE(kyos::copyFileMode(path("link"), file));
    EXPECT_EQ(kyos::lastError(), ERROR_ACCESS_DENIED);
    ASSERT_EQ(::stat(path("copy").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    kyos::closeHandle(file);
}

TEST_F(FileTest, Attributes) {
    kytest::writeFile(path("file"), "x");
    kytest::writeFile(path("readonly"), "x");
    ASSERT_EQ(::chmod(path("readonly").c_str(), 0444), 0);
    ASSERT_TRUE(kyos::createDirectory(path("dir")));
    ASSERT_EQ(::symlink(path("nowhere").c_str(), path("dangling").c_str()), 0);
    ASSERT_EQ(::symlink(path("dir").c_str(), path("link").c_str()), 0);
    EXPECT_EQ(kyos::getFileAttributes(path("file")), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(kyos::getFileAttributes(path("readonly")), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(kyos::getFileAttributes(path("dir")), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(kyos::getFileAttributes(path("dangling")), FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(kyos::getFileAttributes(path("link")),
              FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(kyos::getFileAttributes(path("none")), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(kyos::lastError(), ERROR_FILE_NOT_FOUND);
}

TEST(FilePattern, MatchesLikeWindowsWildcards) {
    struct Case {
        const char* pattern;
        const char* name;
        bool matches;
    } cases[] = {
        {"*", "anything", true},
        {"*", ".hidden", true},
        {"*.log", "a.log", true},
        {"*.log", "a.log.1", false},
        {"*.log", ".log", true},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYbZ", false},
        {"*.*", "noextension", true},
        {"log*.*", "log1", true},
        {"log*.*", "log1.txt", true},
        {"log*.*", "other", false},
        {"*.LOG", "a.log", false},
        {"[ab]", "a", false},
        {"[ab]", "[ab]", true},
        {"exact.txt", "exact.txt", true},
        {"exact.txt", "exact.txt2", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kyos::matchesFilePattern(c.pattern, c.name), c.matches)
            << c.pattern << " vs " << c.name;
    }
}

TEST_F(FileTest, FindsMatchingEntriesOnce) {
    kytest::writeFile(path("a.log"), "12345");
    kytest::writeFile(path("b.log"), "");
    kytest::writeFile(path("c.txt"), "x");
    ASSERT_TRUE(kyos::createDirectory(path("d.log")));
    std::map<std::string, kyos::FindData> found;
    kyos::FindData entry;
    HANDLE find = kyos::findFirstFile(path("*.log"), &entry);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    do {
        EXPECT_TRUE(found.emplace(entry.name, entry).second) << entry.name;
    } while (kyos::findNextFile(find, &entry));
    EXPECT_EQ(kyos::lastError(), ERROR_NO_MORE_FILES);
    EXPECT_FALSE(kyos::findNextFile(find, &entry));
    EXPECT_EQ(kyos::lastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(kyos::findClose(find));

    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found["a.log"].size, 5u);
    EXPECT_EQ(found["a.log"].attributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(found["b.log"].size, 0u);
    EXPECT_EQ(found["d.log"].attributes, FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(FileTest, FindReportsTimesOnTheFileTimeScale) {
    kytest::writeFile(path("f"), "x");
    // 2001-09-09 01:46:40 UTC, one billion seconds after 1970.
    constexpr time_t kMoment = 1000000000;
    struct timespec times[2] = {{kMoment, 500}, {kMoment, 123456700}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path("f").c_str(), times, 0), 0);
    kyos::FindData entry;
    HANDLE find = kyos::findFirstFile(path("f"), &entry);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    kyos::findClose(find);
    constexpr ULONGLONG kMomentAsFileTime = (1000000000ULL + 11644473600ULL) * 10000000ULL;
    EXPECT_EQ(entry.lastAccessTime, kMomentAsFileTime + 5);
    EXPECT_EQ(entry.lastWriteTime, kMomentAsFileTime + 1234567);
    EXPECT_GT(entry.creationTime, 0u);
}

TEST_F(FileTest, FindFailures) {
    kyos::FindData entry;
    kytest::writeFile(path("f"), "x");
    struct Case {
        std::string pattern;
        DWORD lastError;
    } cases[] = {
        {path("*.none"), ERROR_FILE_NOT_FOUND},
        {path("missing/*"), ERROR_PATH_NOT_FOUND},
        {path("f/*"), ERROR_PATH_NOT_FOUND},
        {dir_.path() + "/", ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kyos::findFirstFile(c.pattern, &entry), INVALID_HANDLE_VALUE) << c.pattern;
        EXPECT_EQ(kyos::lastError(), c.lastError) << c.pattern;
    }
}

}  // namespace

namespace {

// Sets an environment variable for a scope (null unsets it), and puts it back after.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : m_name(name) {
        const char* old = std::getenv(name);
        m_had = old != nullptr;
        if (m_had)
            m_old = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnvironment() {
        if (m_had)
            setenv(m_name, m_old.c_str(), 1);
        else
            unsetenv(m_name);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* m_name;
    bool m_had = false;
    std::string m_old;
};

}  // namespace

TEST_F(FileTest, UserStateFolderIsMadePrivate) {
    struct Case {
        const char* what;
        bool stateSet;       // XDG_STATE_HOME names the scratch folder
        bool stateRelative;  // a relative XDG_STATE_HOME is not to be trusted
        const char* relative;
        const char* expected;  // below the scratch folder; null: refused
    } cases[] = {
        {"state home", true, false, "kelbrin/LogFiles", "/state/kelbrin/LogFiles"},
        {"home", false, false, "kelbrin/LogFiles", "/home/.local/state/kelbrin/LogFiles"},
        {"relative state home", false, true, "kelbrin/LogFiles",
         "/home/.local/state/kelbrin/LogFiles"},
        {"climbing out", true, false, "kelbrin/../../x", nullptr},
    };
    for (const Case& c : cases) {
        kytest::TempDir scratch;
        const std::string state = scratch.file("state"), home = scratch.file("home");
        ASSERT_EQ(mkdir(state.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
        ScopedEnvironment xdg("XDG_STATE_HOME", c.stateSet        ? state.c_str()
                                                : c.stateRelative ? "state"
                                                                  : nullptr);
        ScopedEnvironment homeVariable("HOME", home.c_str());
        std::string path;
        BOOL made = kyos::userStateDirectory(c.relative, &path);
        if (c.expected == nullptr) {
            EXPECT_FALSE(made) << c.what;
            continue;
        }
        ASSERT_TRUE(made) << c.what << ": " << kyos::lastError();
        EXPECT_EQ(path, scratch.path() + c.expected) << c.what;
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << c.what;
        EXPECT_EQ(st.st_uid, geteuid());
        std::string again;
        EXPECT_TRUE(kyos::userStateDirectory(c.relative, &again)) << "an existing one is used";
        EXPECT_EQ(again, path);
    }
}

TEST_F(FileTest, UserStateFolderRefusesALinkOnTheWay) {
    const std::string state = dir_.file("state"), elsewhere = dir_.file("elsewhere");
    ASSERT_EQ(mkdir(state.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), (state + "/kelbrin").c_str()), 0);
    ScopedEnvironment xdg("XDG_STATE_HOME", state.c_str());
    std::string path;
    EXPECT_FALSE(kyos::userStateDirectory("kelbrin/LogFiles", &path));
    EXPECT_EQ(kyos::lastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_NE(access((elsewhere + "/LogFiles").c_str(), F_OK), 0) << "made through the link";
}
