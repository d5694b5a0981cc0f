// The store's read cache: coherent with writes of other threads and processes, never
// torn, bounded, and safe against a writer killed in the middle of announcing a change.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "os/registry/Registry.h"
#include "tests/support/TempDir.h"

using namespace kyos::reg;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr const char* kKey = "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\Cached";

DWORD readDword(const char* name, DWORD* value) {
    DWORD size = sizeof *value;
    DWORD type = 0;
    DWORD rc = getValue(HKEY_LOCAL_MACHINE, kKey, name, &type, value, &size);
    return rc == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof *value) ? ERROR_INVALID_DATA
                                                                               : rc;
}

DWORD writeDword(const char* name, DWORD value) {
    HKEY key = nullptr;
    DWORD rc = createKey(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = setValue(key, name, REG_DWORD, &value, sizeof value);
    closeKey(key);
    return rc;
}

int waitExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class ValueCacheTest : public kytest::StoreTest {
protected:
    void SetUp() override {
        kytest::StoreTest::SetUp();
        setCacheLimit(16u << 20);
        ASSERT_EQ(writeDword("x", 0), ERROR_SUCCESS);
    }
    void TearDown() override {
        setAnnounceHookForTesting(nullptr);
        setCacheLimit(16u << 20);
        kytest::StoreTest::TearDown();
    }
};

// Keeps other threads of a process reading a key as fast as they can while it lives, so
// that the values under test are cached, evicted and refilled all the time.
class Hammer {
public:
    // `varied`: each read names another (absent) value, so that nearly every read misses
    // the thread's front cache and goes to the shared one, taking its locks. They are all
    // read once first, so that the threads then find them in the cache.
    explicit Hammer(int threads, bool varied = false) {
        for (int i = 0; varied && i < threads; ++i) {
            for (unsigned n = 0; n < kVariedNames; ++n) {
                DWORD v = 0;
                readDword(variedName(i, n).c_str(), &v);
            }
        }
        for (int i = 0; i < threads; ++i) {
            threads_.emplace_back([this, varied, i] {
                DWORD v = 0;
                std::string name = "x";
                for (unsigned n = 0; !stop_.load(std::memory_order_relaxed); ++n) {
                    if (varied)
                        name = variedName(i, n % kVariedNames);
                    readDword(name.c_str(), &v);
                }
            });
        }
    }
    ~Hammer() {
        stop_ = true;
        for (std::thread& t : threads_)
            t.join();
    }

private:
    static constexpr unsigned kVariedNames = 2000;
    static std::string variedName(int thread, unsigned n) {
        return "v" + std::to_string(thread) + "." + std::to_string(n);
    }

    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// Once a write has returned in one process, a read that starts afterwards in another
// sees it: A writes i and tells B over a pipe, B must read i. Both processes keep other
// threads reading the same value hard, so that B's cache holds it all along.
TEST_F(ValueCacheTest, AReadAfterAnotherProcessesWriteSeesIt) {
    const int rounds = kSanitized ? 5'000 : 100'000;
    signal(SIGPIPE, SIG_IGN);  // a reader that stops fails the test, not the process
    int toReader[2], toWriter[2];
    ASSERT_EQ(pipe(toReader), 0);
    ASSERT_EQ(pipe(toWriter), 0);
    std::fflush(nullptr);
    pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        close(toReader[1]);
        close(toWriter[0]);
        Hammer hammer(1);
        for (int i = 1; i <= rounds; ++i) {
            int told = 0;
            if (read(toReader[0], &told, sizeof told) != sizeof told)
                _exit(2);
            DWORD seen = 0;
            if (readDword("x", &seen) != ERROR_SUCCESS)
                _exit(3);
            if (seen != static_cast<DWORD>(told)) {
                std::fprintf(stderr, "round %d: read %u\n", told, seen);
                _exit(4);
            }
            if (write(toWriter[1], &told, sizeof told) != sizeof told)
                _exit(5);
        }
        _exit(0);
    }
    // Only the reader holds these ends: should it stop, the reads here end too.
    close(toReader[0]);
    close(toWriter[1]);
    {
        Hammer hammer(1);
        for (int i = 1; i <= rounds; ++i) {
            ASSERT_EQ(writeDword("x", static_cast<DWORD>(i)), ERROR_SUCCESS);
            ASSERT_EQ(write(toReader[1], &i, sizeof i), static_cast<ssize_t>(sizeof i))
                << "the reader stopped before round " << i;
            int back = 0;
            ASSERT_EQ(read(toWriter[0], &back, sizeof back), static_cast<ssize_t>(sizeof back))
                << "the reader stopped at round " << i;
            DWORD mine = 0;
            ASSERT_EQ(readDword("x", &mine), ERROR_SUCCESS);
            ASSERT_EQ(mine, static_cast<DWORD>(i));
        }
    }
    close(toReader[1]);
    close(toWriter[0]);
    EXPECT_EQ(waitExit(reader), 0);
}

// A large value changing under readers: each read is the old bytes or the new, whole.
TEST_F(ValueCacheTest, ALargeValueIsNeverTorn) {
    constexpr std::size_t kSize = 64 * 1024;
    const int writes = kSanitized ? 200 : 2'000;
    HKEY key = nullptr;
    ASSERT_EQ(createKey(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key, nullptr), ERROR_SUCCESS);
    std::string pattern(kSize, 'a');
    ASSERT_EQ(setValue(key, "blob", REG_BINARY, pattern.data(), kSize), ERROR_SUCCESS);
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
        readers.emplace_back([&] {
            std::string buffer(kSize, '\0');
            while (!stop.load(std::memory_order_relaxed)) {
                DWORD size = kSize;
                if (getValue(HKEY_LOCAL_MACHINE, kKey, "blob", nullptr, buffer.data(), &size) !=
                        ERROR_SUCCESS ||
                    size != kSize || buffer.find_first_not_of(buffer[0]) != std::string::npos)
                    ++torn;
            }
        });
    }
    for (int i = 0; i < writes; ++i) {
        std::fill(pattern.begin(), pattern.end(), static_cast<char>('a' + i % 26));
        ASSERT_EQ(setValue(key, "blob", REG_BINARY, pattern.data(), kSize), ERROR_SUCCESS);
    }
    stop = true;
    for (std::thread& t : readers)
        t.join();
    closeKey(key);
    EXPECT_EQ(torn.load(), 0);
}

// A writer killed while it announces its commit (after marking its buckets, before or
// after committing): readers elsewhere never serve what they cached before it, the store
// opens cleanly, and the next write repairs the buckets.
class ValueCacheKilledWriterTest : public ValueCacheTest,
                                   public ::testing::WithParamInterface<int> {};

int g_hookStep = -1;
int g_hookPipe = -1;

void StopHere(int step) {
    if (step != g_hookStep)
        return;
    char c = 's';
    (void)!write(g_hookPipe, &c, 1);
    for (;;)
        pause();
}

TEST_P(ValueCacheKilledWriterTest, ReadersNeverTrustWhatTheyCachedBefore) {
    const int step = GetParam();  // 0: killed before committing; 1: after
    ASSERT_EQ(writeDword("x", 1), ERROR_SUCCESS);
    DWORD seen = 0;
    ASSERT_EQ(readDword("x", &seen), ERROR_SUCCESS);
    ASSERT_EQ(seen, 1u);  // cached here now
    int stopped[2];
    ASSERT_EQ(pipe(stopped), 0);
    std::fflush(nullptr);
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        g_hookStep = step;
        g_hookPipe = stopped[1];
        setAnnounceHookForTesting(&StopHere);
        writeDword("x", 2);
        _exit(1);  // the hook never returns
    }
    char c = 0;
    ASSERT_EQ(read(stopped[0], &c, 1), 1);
    kill(writer, SIGKILL);
    EXPECT_EQ(waitExit(writer), 128 + SIGKILL);

    const DWORD expected = step == 0 ? 1 : 2;  // what the store holds
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(readDword("x", &seen), ERROR_SUCCESS);
        EXPECT_EQ(seen, expected) << "read " << i;
    }
    // The store opens cleanly, and the next writer (through the dead one's mutex) moves
    // the bucket on: the value is cached and served again, and fresh.
    ASSERT_EQ(writeDword("x", 3), ERROR_SUCCESS);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(readDword("x", &seen), ERROR_SUCCESS);
        EXPECT_EQ(seen, 3u);
    }
    std::fflush(nullptr);
    pid_t other = fork();
    if (other == 0) {
        DWORD v = 0;
        _exit(writeDword("x", 4) == ERROR_SUCCESS && readDword("x", &v) == ERROR_SUCCESS && v == 4
                  ? 0
                  : 1);
    }
    EXPECT_EQ(waitExit(other), 0);
    ASSERT_EQ(readDword("x", &seen), ERROR_SUCCESS);
    EXPECT_EQ(seen, 4u);
}

INSTANTIATE_TEST_SUITE_P(Steps, ValueCacheKilledWriterTest, ::testing::Values(0, 1));

// Answers about one key do not outlive it: deleted and made again under the same path, it
// is a new key, without the old one's values; an old handle reports the deletion.
TEST_F(ValueCacheTest, AKeyMadeAgainIsANewKey) {
    HKEY old = nullptr;
    ASSERT_EQ(openKey(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &old), ERROR_SUCCESS);
    DWORD v = 0, size = sizeof v;
    ASSERT_EQ(queryValue(old, "x", nullptr, &v, &size), ERROR_SUCCESS);
    ASSERT_EQ(readDword("absent", &v), ERROR_FILE_NOT_FOUND);  // cached as absent
    ASSERT_EQ(deleteTree(HKEY_LOCAL_MACHINE, kKey), ERROR_SUCCESS);
    EXPECT_EQ(readDword("x", &v), ERROR_FILE_NOT_FOUND);
    HKEY fresh = nullptr;
    ASSERT_EQ(createKey(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &fresh, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(readDword("x", &v), ERROR_FILE_NOT_FOUND);
    size = sizeof v;
    EXPECT_EQ(queryValue(old, "x", nullptr, &v, &size), ERROR_KEY_DELETED);
    DWORD one = 1;
    ASSERT_EQ(setValue(fresh, "absent", REG_DWORD, &one, sizeof one), ERROR_SUCCESS);
    EXPECT_EQ(readDword("absent", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 1u);
    closeKey(old);
    closeKey(fresh);
}

// A key that did not exist is cached as absent; creating it, or moving another key to
// its path, makes it present to every later read.
TEST_F(ValueCacheTest, AbsentKeysAppearWhenMadeOrMovedThere) {
    const std::string made = std::string(kKey) + "\\Later";
    const std::string moved = std::string(kKey) + "\\Moved";
    for (const std::string& path : {made, moved}) {
        HKEY h = nullptr;
        ASSERT_EQ(openKey(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
        ASSERT_EQ(openKey(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
    }
    HKEY h = nullptr;
    ASSERT_EQ(createKey(HKEY_LOCAL_MACHINE, made, 0, KEY_ALL_ACCESS, &h, nullptr), ERROR_SUCCESS);
    closeKey(h);
    ASSERT_EQ(createKey(HKEY_LOCAL_MACHINE, std::string(kKey) + "\\Source\\Child", 0,
                        KEY_ALL_ACCESS, &h, nullptr),
              ERROR_SUCCESS);
    closeKey(h);
    HKEY parent = nullptr;
    ASSERT_EQ(openKey(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &parent), ERROR_SUCCESS);
    ASSERT_EQ(renameKey(parent, "Source", "Moved"), ERROR_SUCCESS);
    closeKey(parent);
    for (const std::string& path : {made, moved, moved + "\\Child"}) {
        ASSERT_EQ(openKey(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &h), ERROR_SUCCESS) << path;
        closeKey(h);
    }
    EXPECT_EQ(openKey(HKEY_LOCAL_MACHINE, std::string(kKey) + "\\Source", 0, KEY_READ, &h),
              ERROR_FILE_NOT_FOUND);
}

// The same value through spellings of its key that differ in letter case and separators:
// each reading is cached on its own, and a write through any of them reaches all.
TEST_F(ValueCacheTest, EverySpellingOfAKeySeesAWrite) {
    const std::vector<std::string> spellings = {
        kKey, "software\\kelbrin systems\\sarvex\\instance001\\cached",
        "SOFTWARE/Kelbrin Systems//Sarvex/Instance001/CACHED/",
        "\\SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\Cached"};
    auto readAll = [&](DWORD expected) {
        for (const std::string& spelling : spellings) {
            for (const char* name : {"x", "X"}) {
                DWORD v = 0, size = sizeof v;
                ASSERT_EQ(getValue(HKEY_LOCAL_MACHINE, spelling, name, nullptr, &v, &size),
                          ERROR_SUCCESS)
                    << spelling;
                EXPECT_EQ(v, expected) << spelling << " " << name;
            }
        }
    };
    for (DWORD round = 1; round <= 3; ++round) {
        HKEY key = nullptr;
        ASSERT_EQ(openKey(HKEY_LOCAL_MACHINE, spellings[round], 0, KEY_ALL_ACCESS, &key),
                  ERROR_SUCCESS);
        ASSERT_EQ(setValue(key, "X", REG_DWORD, &round, sizeof round), ERROR_SUCCESS);
        closeKey(key);
        readAll(round);
        readAll(round);  // from the cache now
    }
}

// A fork while other threads use the store, through the cache and through SQLite (reads
// it misses, writes): the child is left with no lock a parent thread held, the cache's or
// SQLite's own, and reads and writes at once.
TEST_F(ValueCacheTest, AForkWhileThreadsUseTheStoreLeavesTheChildWorking) {
#if defined(__SANITIZE_ADDRESS__)
    // This compiler's AddressSanitizer takes no lock of its allocator around fork(): a
    // child forked while another thread allocates can inherit a held allocator lock and
    // hang in its first malloc, which the C library's own allocator rules out. The plain
    // and thread-sanitized builds run it.
    GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe under threads";
#endif
    Hammer hammer(1, true);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        for (DWORD n = 0; !stop.load(std::memory_order_relaxed); ++n) {
            DWORD v = 0;
            writeDword("busy", n);
            readDword(("fresh" + std::to_string(n)).c_str(), &v);
        }
    });
    for (int i = 0; i < 20; ++i) {
        std::fflush(nullptr);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            alarm(20);  // a deadlock ends the child instead of the test run
            DWORD v = 0;
            _exit(readDword("x", &v) == ERROR_SUCCESS && writeDword("y", 1) == ERROR_SUCCESS ? 0
                                                                                             : 1);
        }
        EXPECT_EQ(waitExit(child), 0) << "child " << i;
    }
    stop = true;
    busy.join();
}

// A thread inside a transaction reads its own writes; other threads keep the committed
// value until the commit, and see the new one once it is done.
TEST_F(ValueCacheTest, ATransactionReadsItsOwnWrites) {
    DWORD v = 0;
    ASSERT_EQ(writeDword("x", 1), ERROR_SUCCESS);
    ASSERT_EQ(readDword("x", &v), ERROR_SUCCESS);
    {
        Transaction txn;
        ASSERT_EQ(txn.status(), ERROR_SUCCESS);
        ASSERT_EQ(writeDword("x", 2), ERROR_SUCCESS);
        ASSERT_EQ(readDword("x", &v), ERROR_SUCCESS);
        EXPECT_EQ(v, 2u);
        std::thread other([] {
            DWORD seen = 0;
            EXPECT_EQ(readDword("x", &seen), ERROR_SUCCESS);
            EXPECT_EQ(seen, 1u);
        });
        other.join();
        ASSERT_EQ(txn.commit(), ERROR_SUCCESS);
    }
    std::thread after([] {
        DWORD seen = 0;
        EXPECT_EQ(readDword("x", &seen), ERROR_SUCCESS);
        EXPECT_EQ(seen, 2u);
    });
    after.join();
    {
        Transaction rolledBack;
        ASSERT_EQ(writeDword("x", 3), ERROR_SUCCESS);
    }
    ASSERT_EQ(readDword("x", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 2u);
}

// Reading a million different (absent) values keeps the cache within its bound.
TEST_F(ValueCacheTest, MemoryStaysWithinTheBound) {
    constexpr std::size_t kLimit = 1u << 20;
    setCacheLimit(kLimit);
    const int reads = kSanitized ? 100'000 : 1'000'000;
    std::size_t most = 0;
    DWORD v = 0;
    for (int i = 0; i < reads; ++i) {
        ASSERT_EQ(readDword(("missing" + std::to_string(i)).c_str(), &v), ERROR_FILE_NOT_FOUND);
        if (i % 1000 == 0)
            most = std::max(most, cacheMemoryUsed());
    }
    EXPECT_LE(most, kLimit);
    EXPECT_GT(most, kLimit / 2) << "the cache should fill up to its bound";
    setCacheLimit(0);
    ASSERT_EQ(writeDword("x", 9), ERROR_SUCCESS);
    ASSERT_EQ(readDword("x", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 9u);
}

// Eight threads read while two write: every read is a value some writer wrote, and no
// reader ever sees a key's value go back (writers count up).
TEST_F(ValueCacheTest, ManyReadersAndWritersAgree) {
    const DWORD writes = kSanitized ? 300 : 3'000;
    ASSERT_EQ(writeDword("w0", 0), ERROR_SUCCESS);
    ASSERT_EQ(writeDword("w1", 0), ERROR_SUCCESS);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int r = 0; r < 8; ++r) {
        threads.emplace_back([&] {
            DWORD last[2] = {0, 0};
            while (!stop.load(std::memory_order_relaxed)) {
                for (int w = 0; w < 2; ++w) {
                    DWORD v = 0;
                    if (readDword(w == 0 ? "w0" : "w1", &v) != ERROR_SUCCESS || v < last[w] ||
                        v > writes)
                        ++wrong;
                    last[w] = v;
                }
            }
        });
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            for (DWORD i = 1; i <= writes; ++i)
                if (writeDword(w == 0 ? "w0" : "w1", i) != ERROR_SUCCESS)
                    ++wrong;
        });
    }
    for (std::thread& t : writers)
        t.join();
    stop = true;
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    DWORD v = 0;
    ASSERT_EQ(readDword("w1", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, writes);
}

}  // namespace
