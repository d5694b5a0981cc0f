#include "os/DataProtection.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "os/LastError.h"
#include "tests/os/sync/SyncTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t kOverhead = 1 + 12 + 16;  // version, nonce, tag

Bytes pattern(size_t len, unsigned seed = 1) {
    Bytes out(len);
    for (size_t i = 0; i < len; ++i)
        out[i] = static_cast<unsigned char>(i * 31 + seed * 7 + 3);
    return out;
}

std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (struct dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

// Each case has its own key file, in a folder that does not exist yet.
class DataProtectionTest : public ::testing::Test {
protected:
    void SetUp() override { useKey(keyPath_); }
    void TearDown() override { ::unsetenv("KY_MACHINE_KEY"); }

    static void useKey(const std::string& path) { ::setenv("KY_MACHINE_KEY", path.c_str(), 1); }

    static Bytes seal(const Bytes& data) {
        Bytes blob;
        EXPECT_TRUE(kyos::protectData(data.data(), data.size(), &blob)) << kyos::lastError();
        return blob;
    }

    // TRUE/FALSE of unprotectData, with the last error after it and what came out.
    struct Opened {
        BOOL ok;
        DWORD error;
        Bytes data;
    };
    static Opened open(const Bytes& blob) {
        kyos::SecureBytes out = {0xAA};  // must not survive a failure
        kyos::setLastError(0);
        BOOL ok = kyos::unprotectData(blob.data(), blob.size(), &out);
        return {ok, kyos::lastError(), Bytes(out.begin(), out.end())};
    }

    kytest::TempDir dir_;
    std::string keyDir_ = dir_.file("keys");
    std::string keyPath_ = keyDir_ + "/machine.key";
};

TEST_F(DataProtectionTest, SealedDataOpensAgainUnchanged) {
    for (size_t len : {0, 1, 32, 1000, 70000}) {
        SCOPED_TRACE(len);
        Bytes data = pattern(len);
        Bytes blob = seal(data);
        ASSERT_EQ(blob.size(), len + kOverhead);
        EXPECT_EQ(blob[0], 1);
        Opened opened = open(blob);
        ASSERT_TRUE(opened.ok) << opened.error;
        EXPECT_EQ(opened.data, data);
    }
}

TEST_F(DataProtectionTest, KeyFileIsCreatedPrivateAndAlone) {
    seal(pattern(8));
    struct stat st;
    ASSERT_EQ(::lstat(keyPath_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    // No temporary file of the creation is left behind.
    EXPECT_EQ(entriesOf(keyDir_), std::vector<std::string>{"machine.key"});
}

TEST_F(DataProtectionTest, SameDataSealsDifferentlyEachTime) {
    Bytes data = pattern(32);
    Bytes first = seal(data);
    Bytes second = seal(data);
    EXPECT_NE(first, second);
    EXPECT_EQ(open(first).data, data);
    EXPECT_EQ(open(second).data, data);
}

TEST_F(DataProtectionTest, AnyChangedByteIsRejected) {
    for (size_t len : {0, 32}) {
        Bytes blob = seal(pattern(len));
        for (size_t pos = 0; pos < blob.size(); ++pos) {
            for (unsigned char flip : {0x01, 0x80}) {
                SCOPED_TRACE(testing::Message()
                             << "len " << len << " byte " << pos << " ^ " << int(flip));
                Bytes bad = blob;
                bad[pos] ^= flip;
                Opened opened = open(bad);
                EXPECT_FALSE(opened.ok);
                EXPECT_EQ(opened.error, ERROR_INVALID_DATA);
                EXPECT_TRUE(opened.data.empty());
            }
        }
    }
}

TEST_F(DataProtectionTest, MalformedBlobsAreInvalidData) {
    Bytes good = seal(pattern(32));
    auto withVersion = [&](unsigned char v) {
        Bytes b = good;
        b[0] = v;
        return b;
    };
    struct Case {
        const char* what;
        Bytes blob;
    } cases[] = {
        {"empty", {}},
        {"version byte only", {1}},
        {"one byte short of the smallest blob", Bytes(kOverhead - 1, 1)},
        {"smallest size, zero tag",
         [] {
             Bytes b(kOverhead, 0);
             b[0] = 1;
             return b;
         }()},
        {"version 0", withVersion(0)},
        {"version 2", withVersion(2)},
        {"last byte cut off", Bytes(good.begin(), good.end() - 1)},
        {"tag cut off", Bytes(good.begin(), good.end() - 16)},
        {"byte appended",
         [&] {
             Bytes b = good;
             b.push_back(0);
             return b;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Opened opened = open(c.blob);
        EXPECT_FALSE(opened.ok);
        EXPECT_EQ(opened.error, ERROR_INVALID_DATA);
        EXPECT_TRUE(opened.data.empty());
    }
}

TEST_F(DataProtectionTest, NullArgumentsAreInvalidParameters) {
    Bytes blob = seal(pattern(4));
    Bytes out;
    kyos::SecureBytes plain;
    struct Case {
        const char* what;
        BOOL (*call)(Bytes*, kyos::SecureBytes*, const Bytes&);
    } cases[] = {
        {"protect null data with a length",
         [](Bytes* o, kyos::SecureBytes*, const Bytes&) {
             return kyos::protectData(nullptr, 5, o);
         }},
        {"protect into null", [](Bytes*, kyos::SecureBytes*,
                                 const Bytes&) { return kyos::protectData("x", 1, nullptr); }},
        {"unprotect null blob with a length",
         [](Bytes*, kyos::SecureBytes* p, const Bytes&) {
             return kyos::unprotectData(nullptr, 40, p);
         }},
        {"unprotect into null",
         [](Bytes*, kyos::SecureBytes*, const Bytes& b) {
             return kyos::unprotectData(b.data(), b.size(), nullptr);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kyos::setLastError(0);
        EXPECT_FALSE(c.call(&out, &plain, blob));
        EXPECT_EQ(kyos::lastError(), ERROR_INVALID_PARAMETER);
    }
    // Null with no length is simply empty data.
    ASSERT_TRUE(kyos::protectData(nullptr, 0, &out));
    EXPECT_TRUE(open(out).ok);
}

TEST_F(DataProtectionTest, AnotherMachineKeyCannotOpenTheBlob) {
    Bytes data = pattern(32);
    Bytes blob = seal(data);
    useKey(dir_.file("other/machine.key"));
    Bytes otherBlob = seal(data);
    Opened opened = open(blob);
    EXPECT_FALSE(opened.ok);
    EXPECT_EQ(opened.error, ERROR_INVALID_DATA);
    EXPECT_TRUE(opened.data.empty());
    // Going back to the first key file opens the first blob and not the other's.
    useKey(keyPath_);
    EXPECT_EQ(open(blob).data, data);
    EXPECT_FALSE(open(otherBlob).ok);
}

TEST_F(DataProtectionTest, UnprotectWithoutKeyFailsAndCreatesNone) {
    Bytes blob(kOverhead + 4, 0);
    blob[0] = 1;
    Opened opened = open(blob);
    EXPECT_FALSE(opened.ok);
    EXPECT_EQ(opened.error, ERROR_FILE_NOT_FOUND);
    struct stat st;
    EXPECT_NE(::lstat(keyPath_.c_str(), &st), 0);
}

// A key file removed after it was read must not keep sealing under the remembered key:
// nobody else could open those blobs.
TEST_F(DataProtectionTest, RemovedKeyFileIsNotUsedFromMemory) {
    Bytes oldBlob = seal(pattern(16));
    std::string oldKey = kytest::readFile(keyPath_);
    ASSERT_EQ(::unlink(keyPath_.c_str()), 0);
    Bytes newBlob = seal(pattern(16));
    ASSERT_NE(kytest::readFile(keyPath_), oldKey);
    EXPECT_TRUE(open(newBlob).ok);
    EXPECT_FALSE(open(oldBlob).ok);
}

// Refusals hold even when the key was already read into memory while the file was sound.
TEST_F(DataProtectionTest, KeyFileOthersCouldReadOrReplaceIsRefused) {
    struct Case {
        const char* what;
        void (*spoil)(const std::string& path);
        bool needsRoot;
    } cases[] = {
        {"mode 0644", [](const std::string& p) { ::chmod(p.c_str(), 0644); }, false},
        {"mode 0640", [](const std::string& p) { ::chmod(p.c_str(), 0640); }, false},
        {"mode 0604", [](const std::string& p) { ::chmod(p.c_str(), 0604); }, false},
        {"mode 0620", [](const std::string& p) { ::chmod(p.c_str(), 0620); }, false},
        {"symbolic link to a private copy",
         [](const std::string& p) {
             ::rename(p.c_str(), (p + ".real").c_str());
             ::symlink((p + ".real").c_str(), p.c_str());
         },
         false},
        {"owned by another user",
         [](const std::string& p) { ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && ::geteuid() != 0)
            continue;
        std::string path = dir_.file(std::string("refused-") + c.what + "/machine.key");
        useKey(path);
        Bytes blob = seal(pattern(8));
        c.spoil(path);
        std::string before = kytest::readFile(path);

        Bytes out;
        kyos::setLastError(0);
        EXPECT_FALSE(kyos::protectData("x", 1, &out));
        EXPECT_EQ(kyos::lastError(), ERROR_ACCESS_DENIED);
        Opened opened = open(blob);
        EXPECT_FALSE(opened.ok);
        EXPECT_EQ(opened.error, ERROR_ACCESS_DENIED);
        EXPECT_EQ(kytest::readFile(path), before);
    }
}

TEST_F(DataProtectionTest, DamagedKeyFileIsRefusedAndKept) {
    seal(pattern(1));
    const std::string sound = kytest::readFile(keyPath_);
    auto changed = [&](size_t pos) {
        std::string s = sound;
        s[pos] = static_cast<char>(s[pos] ^ 0x40);
        return s;
    };
    struct Case {
        const char* what;
        std::string content;
    } cases[] = {
        {"empty", ""},
        {"truncated to 32 bytes", sound.substr(0, 32)},
        {"one byte short", sound.substr(0, sound.size() - 1)},
        {"one byte more", sound + "x"},
        {"key byte changed", changed(10)},
        {"check byte changed", changed(sound.size() - 1)},
        {"format marker changed", changed(0)},
        {"format version changed", changed(4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = dir_.file(std::string("damaged-") + c.what);
        kytest::writeFile(path, c.content);
        ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
        useKey(path);

        Bytes out;
        kyos::setLastError(0);
        EXPECT_FALSE(kyos::protectData("x", 1, &out));
        EXPECT_EQ(kyos::lastError(), kyos::kMachineKeyCorrupt);
        Bytes blob(kOverhead, 0);
        blob[0] = 1;
        EXPECT_EQ(open(blob).error, kyos::kMachineKeyCorrupt);
        EXPECT_EQ(kytest::readFile(path), c.content);
    }
}

// Processes that need the key at the same moment on a machine without one all end with
// the same key: whatever each sealed, the others open.
TEST_F(DataProtectionTest, ProcessesRacingToCreateTheKeyShareOne) {
    constexpr int kRounds = 3;
    constexpr int kChildren = 6;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        std::string keyDir = dir_.file("race" + std::to_string(round));
        useKey(keyDir + "/machine.key");
        std::vector<std::unique_ptr<kytest::Child>> children;
        for (int i = 0; i < kChildren; ++i) {
            std::string blobPath =
                dir_.file("blob" + std::to_string(round) + "-" + std::to_string(i));
            children.push_back(std::make_unique<kytest::Child>([blobPath, i] {
                kytest::Child::receiveFromParent();
                Bytes data = pattern(32, i);
                Bytes blob;
                if (!kyos::protectData(data.data(), data.size(), &blob))
                    return 1;
                kytest::writeFile(blobPath, std::string(blob.begin(), blob.end()));
                return 0;
            }));
        }
        for (auto& child : children)
            child->send('g');
        for (auto& child : children)
            EXPECT_EQ(child->wait(), 0);

        EXPECT_EQ(entriesOf(keyDir), std::vector<std::string>{"machine.key"});
        for (int i = 0; i < kChildren; ++i) {
            std::string raw = kytest::readFile(
                dir_.file("blob" + std::to_string(round) + "-" + std::to_string(i)));
            Opened opened = open(Bytes(raw.begin(), raw.end()));
            EXPECT_TRUE(opened.ok) << "child " << i << ": " << opened.error;
            EXPECT_EQ(opened.data, pattern(32, i)) << "child " << i;
        }
    }
}

TEST_F(DataProtectionTest, ThreadsSealAndOpenAtOnce) {
    constexpr int kThreads = 6;
    std::vector<Bytes> blobs(kThreads);
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                Bytes data = pattern(40, t);
                Bytes blob;
                kyos::SecureBytes back;
                if (!kyos::protectData(data.data(), data.size(), &blob) ||
                    !kyos::unprotectData(blob.data(), blob.size(), &back) ||
                    Bytes(back.begin(), back.end()) != data)
                    ++failures[t];
                blobs[t] = blob;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
        EXPECT_EQ(open(blobs[t]).data, pattern(40, t)) << "thread " << t;
    }
}

TEST(DataProtectionPath, EnvironmentChoosesTheKeyFile) {
    ::setenv("KY_MACHINE_KEY", "/some/where/key", 1);
    EXPECT_EQ(kyos::machineKeyPath(), "/some/where/key");
    ::unsetenv("KY_MACHINE_KEY");
    if (::geteuid() == 0)
        EXPECT_EQ(kyos::machineKeyPath(), "/var/lib/kelbrin/machine.key");
    else
        EXPECT_NE(kyos::machineKeyPath().find("/kelbrin/machine.key"), std::string::npos);
}

}  // namespace
