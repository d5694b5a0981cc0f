#include "os/registry/Registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "os/LastError.h"
#include "tests/support/TempDir.h"

using namespace kyos::reg;

namespace {

// An open key that closes itself.
class Key {
public:
    Key() = default;
    explicit Key(HKEY h) : h_(h) {}
    ~Key() {
        if (h_)
            closeKey(h_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return h_; }
    HKEY* out() { return &h_; }

private:
    HKEY h_ = nullptr;
};

class RegistryTest : public kytest::StoreTest {
protected:
    // Creates (or opens) a key below HKLM with full access.
    HKEY create(const std::string& path, DWORD options = 0) {
        HKEY h = nullptr;
        EXPECT_EQ(createKey(HKEY_LOCAL_MACHINE, path, options, KEY_ALL_ACCESS, &h, nullptr),
                  ERROR_SUCCESS)
            << path;
        return h;
    }
    DWORD open(const std::string& path, HKEY* h, REGSAM access = KEY_READ) {
        return openKey(HKEY_LOCAL_MACHINE, path, 0, access, h);
    }
    void setDword(HKEY h, const std::string& name, DWORD v) {
        ASSERT_EQ(setValue(h, name, REG_DWORD, &v, sizeof v), ERROR_SUCCESS);
    }
    void setString(HKEY h, const std::string& name, const std::string& v) {
        ASSERT_EQ(setValue(h, name, REG_SZ, v.c_str(), static_cast<DWORD>(v.size() + 1)),
                  ERROR_SUCCESS);
    }
    // The value's data as bytes, or the error code as text.
    std::string get(const std::string& keyPath, const std::string& name, DWORD* type = nullptr) {
        Key k;
        DWORD rc = open(keyPath, k.out());
        if (rc != ERROR_SUCCESS)
            return "key error " + std::to_string(rc);
        char buf[4096];
        DWORD size = sizeof buf;
        rc = queryValue(k.get(), name, type, buf, &size);
        if (rc != ERROR_SUCCESS)
            return "value error " + std::to_string(rc);
        return std::string(buf, size);
    }
    std::vector<std::string> subKeys(HKEY h) {
        std::vector<std::string> names;
        std::string name;
        for (DWORD i = 0; enumKey(h, i, &name) == ERROR_SUCCESS; ++i)
            names.push_back(name);
        return names;
    }
    std::vector<std::string> subKeys(const std::string& path) {
        Key k;
        if (open(path, k.out()) != ERROR_SUCCESS)
            return {"<missing>"};
        return subKeys(k.get());
    }
    bool exists(const std::string& path) {
        Key k;
        return open(path, k.out()) == ERROR_SUCCESS;
    }
};

std::string dwordBytes(DWORD v) {
    return std::string(reinterpret_cast<const char*>(&v), 4);
}
std::string sz(const std::string& s) {
    return s + std::string(1, '\0');
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepIt) {
    Key k(create("SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\Base"));
    setString(k.get(), "dBASEHOME", "/opt/kelbrin");

    struct Case {
        const char* key;
        const char* value;
    } cases[] = {
        {"SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\Base", "dBASEHOME"},
        {"software\\KELBRIN SYSTEMS\\sarvex\\instance001\\BASE", "dbasehome"},
        {"SOFTWARE/Kelbrin Systems/Sarvex/Instance001/Base", "DBASEHOME"},
        {"\\\\SOFTWARE\\\\Kelbrin Systems\\\\\\Sarvex\\Instance001\\Base\\", "dBaseHome"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(get(c.key, c.value), sz("/opt/kelbrin")) << c.key;

    EXPECT_EQ(subKeys("software\\kelbrin systems\\sarvex"),
              std::vector<std::string>{"Instance001"});
    std::string name;
    DWORD type = 0;
    ASSERT_EQ(enumValue(k.get(), 0, &name, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(name, "dBASEHOME");
    std::string path;
    ASSERT_EQ(keyPath(k.get(), &path), ERROR_SUCCESS);
    EXPECT_EQ(path, "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001\\Base");

    // Creating again under another case opens the same key and keeps the first spelling.
    DWORD disposition = 0;
    Key again;
    ASSERT_EQ(createKey(HKEY_LOCAL_MACHINE, "software\\kelbrin systems", 0, KEY_READ, again.out(),
                        &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(subKeys("SOFTWARE"), std::vector<std::string>{"Kelbrin Systems"});
}

TEST_F(RegistryTest, NonAsciiNamesFoldToo) {
    Key k(create("SOFTWARE\\\xC3\x89t\xC3\xA9"));  // Été
    setDword(k.get(), "\xC3\x84nderung", 7);       // Änderung
    EXPECT_EQ(get("software\\\xC3\xA9t\xC3\xA9", "\xC3\xA4nderung"), dwordBytes(7));
}

TEST_F(RegistryTest, MissingKeyAndMissingValueAreToldApart) {
    Key k(create("SOFTWARE\\A"));
    Key missing;
    EXPECT_EQ(open("SOFTWARE\\B", missing.out()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(kyos::lastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing.get(), nullptr);
    DWORD size = 4;
    DWORD v;
    EXPECT_EQ(queryValue(k.get(), "nothing", nullptr, &v, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(deleteValue(k.get(), "nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(deleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\B"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, QueryReportsSizesAndMoreData) {
    Key k(create("SOFTWARE\\A"));
    setString(k.get(), "s", "hello");
    DWORD type = 0, size = 0;
    // Size only.
    ASSERT_EQ(queryValue(k.get(), "s", &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 6u);
    // Too small: ERROR_MORE_DATA with the size needed, buffer untouched.
    char buf[8] = "xxxxxxx";
    size = 3;
    EXPECT_EQ(queryValue(k.get(), "s", &type, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_STREQ(buf, "xxxxxxx");
    // Exactly enough.
    size = 6;
    ASSERT_EQ(queryValue(k.get(), "s", &type, buf, &size), ERROR_SUCCESS);
    EXPECT_STREQ(buf, "hello");
    // Empty data is a value too.
    ASSERT_EQ(setValue(k.get(), "empty", REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    size = 8;
    ASSERT_EQ(queryValue(k.get(), "empty", &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
}

TEST_F(RegistryTest, TypesAndBytesAreKept) {
    Key k(create("SOFTWARE\\Types"));
    struct Case {
        const char* name;
        DWORD type;
        std::string data;
    } cases[] = {
        {"sz", REG_SZ, sz("text")},
        {"expand", REG_EXPAND_SZ, sz("%TEMP%\\x")},
        {"binary", REG_BINARY, std::string("\x00\x01\xFF", 3)},
        {"dword", REG_DWORD, dwordBytes(0xDEADBEEF)},
        {"multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6)},
        {"qword", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
        {"", REG_SZ, sz("default")},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(
            setValue(k.get(), c.name, c.type, c.data.data(), static_cast<DWORD>(c.data.size())),
            ERROR_SUCCESS);
    }
    for (const Case& c : cases) {
        DWORD type = 0;
        EXPECT_EQ(get("SOFTWARE\\Types", c.name, &type), c.data) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
    }
    // Overwriting replaces type and data and keeps one value.
    setDword(k.get(), "SZ", 5);
    DWORD type = 0;
    EXPECT_EQ(get("SOFTWARE\\Types", "sz", &type), dwordBytes(5));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    KeyInfo info;
    ASSERT_EQ(queryInfoKey(k.get(), &info), ERROR_SUCCESS);
    EXPECT_EQ(info.values, 7u);
    EXPECT_EQ(info.subKeys, 0u);
}

// Data larger than the store holds is refused before any of it is read, whatever the
// size's bits would mean as a signed number, and changes nothing.
TEST_F(RegistryTest, ValuesOverTheStoresLimitAreRefused) {
    Key k(create("SOFTWARE\\Big"));
    setString(k.get(), "kept", "before");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    const auto limit = static_cast<DWORD>(sqlite3_limit(db, SQLITE_LIMIT_LENGTH, -1));
    sqlite3_close(db);
    // Pages that read as zeros and cost nothing until touched: a guard that failed would
    // read them rather than run off the end of a small buffer.
    constexpr size_t kSpan = size_t{1} << 32;
    void* zeros =
        mmap(nullptr, kSpan, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(zeros, MAP_FAILED);
    for (DWORD size : {limit + 1, DWORD{0x80000000}, DWORD{0xFFFFFFFF}}) {
        EXPECT_EQ(setValue(k.get(), "big", REG_BINARY, zeros, size), ERROR_INVALID_PARAMETER)
            << size;
        EXPECT_EQ(setValue(k.get(), "kept", REG_BINARY, zeros, size), ERROR_INVALID_PARAMETER)
            << size;
    }
    munmap(zeros, kSpan);
    EXPECT_EQ(get("SOFTWARE\\Big", "big"), "value error 2");
    EXPECT_EQ(get("SOFTWARE\\Big", "kept"), sz("before"));
}

TEST_F(RegistryTest, EnumerationIsStableAndSequentialOrRandom) {
    Key k(create("SOFTWARE\\Many"));
    const int n = 300;
    for (int i = n - 1; i >= 0; --i) {
        char name[16];
        std::snprintf(name, sizeof name, "V%04d", i);
        setDword(k.get(), name, static_cast<DWORD>(i));
        Key child(create(std::string("SOFTWARE\\Many\\k") + name));
    }
    // Sequential walk: every name once, in folded order, the same every time.
    std::vector<std::string> first;
    std::string name;
    DWORD i = 0;
    for (; enumValue(k.get(), i, &name, nullptr, nullptr, nullptr) == ERROR_SUCCESS; ++i)
        first.push_back(name);
    EXPECT_EQ(kyos::lastError(), ERROR_NO_MORE_ITEMS);
    ASSERT_EQ(first.size(), static_cast<size_t>(n));
    EXPECT_TRUE(std::is_sorted(first.begin(), first.end()));
    // Random access (other handle, jumps backwards) gives the same answers.
    Key other;
    ASSERT_EQ(open("SOFTWARE\\Many", other.out()), ERROR_SUCCESS);
    for (DWORD j : {250u, 3u, 4u, 5u, 299u, 0u, 1u}) {
        ASSERT_EQ(enumValue(other.get(), j, &name, nullptr, nullptr, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(name, first[j]);
    }
    EXPECT_EQ(enumValue(other.get(), n, &name, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(subKeys(k.get()).size(), static_cast<size_t>(n));
    // Data of an enumerated value, with the more-data rule.
    DWORD type = 0, v = 0, size = 2;
    EXPECT_EQ(enumValue(k.get(), 7, &name, &type, &v, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(name, "V0007");
    ASSERT_EQ(enumValue(k.get(), 7, &name, &type, &v, &size), ERROR_SUCCESS);
    EXPECT_EQ(v, 7u);
}

TEST_F(RegistryTest, DeleteKeyNeedsNoSubkeysDeleteTreeTakesAll) {
    Key a(create("SOFTWARE\\T\\A\\B"));
    setDword(a.get(), "x", 1);
    EXPECT_EQ(deleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\A"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(deleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\A\\B"), ERROR_SUCCESS);
    EXPECT_FALSE(exists("SOFTWARE\\T\\A\\B"));
    // The open handle of a deleted key reports it.
    DWORD v = 0, size = 4;
    EXPECT_EQ(queryValue(a.get(), "x", nullptr, &v, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(setValue(a.get(), "x", REG_DWORD, &v, 4), ERROR_KEY_DELETED);

    Key t(create("SOFTWARE\\T"));
    setDword(t.get(), "kept", 1);
    Key deep(create("SOFTWARE\\T\\A\\B\\C\\D"));
    Key sibling(create("SOFTWARE\\T2"));                // shares a prefix, must survive
    EXPECT_EQ(deleteTree(t.get(), ""), ERROR_SUCCESS);  // below T only
    EXPECT_TRUE(exists("SOFTWARE\\T"));
    EXPECT_FALSE(exists("SOFTWARE\\T\\A"));
    EXPECT_EQ(get("SOFTWARE\\T", "kept"), "value error 2");
    Key again(create("SOFTWARE\\T\\X\\Y"));
    EXPECT_EQ(deleteTree(HKEY_LOCAL_MACHINE, "software\\t"), ERROR_SUCCESS);
    EXPECT_FALSE(exists("SOFTWARE\\T"));
    EXPECT_TRUE(exists("SOFTWARE\\T2"));
    EXPECT_EQ(deleteKey(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, CopyTree) {
    Key src(create("SOFTWARE\\Src\\Sub\\Leaf"));
    setDword(src.get(), "leaf", 3);
    Key top;
    ASSERT_EQ(open("SOFTWARE\\Src", top.out(), KEY_ALL_ACCESS), ERROR_SUCCESS);
    setString(top.get(), "name", "src");

    ASSERT_EQ(copyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Src", HKEY_LOCAL_MACHINE,
                       "SOFTWARE\\Dst\\Deep", CopyMode::kNewDestination),
              ERROR_SUCCESS);
    EXPECT_EQ(get("SOFTWARE\\Dst\\Deep", "name"), sz("src"));
    EXPECT_EQ(get("SOFTWARE\\Dst\\Deep\\Sub\\Leaf", "leaf"), dwordBytes(3));
    EXPECT_EQ(subKeys("SOFTWARE\\Dst\\Deep\\Sub"), std::vector<std::string>{"Leaf"});

    // A new destination must not exist, and nothing is changed when it does.
    Key existing(create("SOFTWARE\\Other"));
    setDword(existing.get(), "mine", 9);
    EXPECT_EQ(copyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Src", HKEY_LOCAL_MACHINE, "SOFTWARE\\Other",
                       CopyMode::kNewDestination),
              ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(subKeys("SOFTWARE\\Other").empty());
    // Merging overwrites values and keeps the rest.
    setString(existing.get(), "name", "old");
    ASSERT_EQ(copyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Src", HKEY_LOCAL_MACHINE, "SOFTWARE\\Other",
                       CopyMode::kMerge),
              ERROR_SUCCESS);
    EXPECT_EQ(get("SOFTWARE\\Other", "name"), sz("src"));
    EXPECT_EQ(get("SOFTWARE\\Other", "mine"), dwordBytes(9));
    EXPECT_EQ(get("SOFTWARE\\Other\\Sub\\Leaf", "leaf"), dwordBytes(3));

    // Into its own subtree: refused, nothing created.
    EXPECT_EQ(copyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Src", HKEY_LOCAL_MACHINE,
                       "SOFTWARE\\Src\\Sub\\Copy", CopyMode::kNewDestination),
              ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(exists("SOFTWARE\\Src\\Sub\\Copy"));
    EXPECT_EQ(copyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nope", HKEY_LOCAL_MACHINE, "SOFTWARE\\N2",
                       CopyMode::kNewDestination),
              ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(exists("SOFTWARE\\N2"));
}

TEST_F(RegistryTest, RenameKey) {
    Key a(create("SOFTWARE\\Ren\\A\\Child"));
    setDword(a.get(), "v", 1);

    // Case only: same key, new spelling, children kept.
    ASSERT_EQ(renameKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ren\\A", "SOFTWARE\\Ren\\a"), ERROR_SUCCESS);
    EXPECT_EQ(subKeys("SOFTWARE\\Ren"), std::vector<std::string>{"a"});
    EXPECT_EQ(get("SOFTWARE\\Ren\\a\\Child", "v"), dwordBytes(1));

    // Moves anywhere below the root, creating parents; open handles follow the key.
    ASSERT_EQ(renameKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ren\\a", "SOFTWARE\\Moved\\Here\\B"),
              ERROR_SUCCESS);
    EXPECT_FALSE(exists("SOFTWARE\\Ren\\a"));
    EXPECT_EQ(get("SOFTWARE\\Moved\\Here\\B\\Child", "v"), dwordBytes(1));
    DWORD v = 0, size = 4;
    EXPECT_EQ(queryValue(a.get(), "v", nullptr, &v, &size), ERROR_SUCCESS);

    Key c(create("SOFTWARE\\Ren\\C"));
    EXPECT_EQ(renameKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ren\\C", "SOFTWARE\\Moved\\Here\\b"),
              ERROR_ALREADY_EXISTS);
    EXPECT_EQ(renameKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Moved", "SOFTWARE\\Moved\\Here\\In"),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(renameKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Gone", "SOFTWARE\\X"), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(exists("SOFTWARE\\Moved\\Here\\B\\Child"));
}

TEST_F(RegistryTest, AccessMaskIsEnforced) {
    Key w(create("SOFTWARE\\Acl"));
    Key r;
    ASSERT_EQ(open("SOFTWARE\\Acl", r.out(), KEY_READ | KEY_WOW64_64KEY), ERROR_SUCCESS);
    DWORD v = 1;
    EXPECT_EQ(setValue(r.get(), "x", REG_DWORD, &v, 4), ERROR_ACCESS_DENIED);
    EXPECT_EQ(deleteValue(r.get(), "x"), ERROR_ACCESS_DENIED);
    Key child;
    EXPECT_EQ(createKey(r.get(), "New", 0, KEY_ALL_ACCESS, child.out(), nullptr),
              ERROR_ACCESS_DENIED);
    Key q;
    ASSERT_EQ(open("SOFTWARE\\Acl", q.out(), KEY_SET_VALUE), ERROR_SUCCESS);
    DWORD size = 4;
    EXPECT_EQ(queryValue(q.get(), "x", nullptr, &v, &size), ERROR_ACCESS_DENIED);
    EXPECT_EQ(queryValue(reinterpret_cast<HKEY>(&v), "x", nullptr, &v, &size),
              ERROR_INVALID_HANDLE);
}

// Every call that changes the tree below a handle asks the handle for the right to, as
// the value calls do; refused calls change nothing.
TEST_F(RegistryTest, TreeChangesNeedTheRightToChangeTheTree) {
    // The same small tree before every case.
    auto build = [&] {
        deleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Copy");
        deleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Acl");
        Key leaf(create("SOFTWARE\\Acl\\Child\\Leaf"));
        setDword(leaf.get(), "x", 1);
        Key top(create("SOFTWARE\\Acl"));
        setDword(top.get(), "own", 2);
    };
    struct Case {
        const char* name;
        REGSAM access;
        std::function<DWORD(HKEY)> call;
    };
    const std::vector<Case> cases = {
        {"deleteKey", KEY_READ, [](HKEY k) { return deleteKey(k, "Child\\Leaf"); }},
        {"deleteTree of a subkey", KEY_READ, [](HKEY k) { return deleteTree(k, "Child"); }},
        {"deleteTree below the key", KEY_READ, [](HKEY k) { return deleteTree(k, ""); }},
        {"deleteTree below the key without KEY_SET_VALUE", KEY_READ | KEY_CREATE_SUB_KEY,
         [](HKEY k) { return deleteTree(k, ""); }},
        {"deleteTree with only KEY_SET_VALUE", KEY_READ | KEY_SET_VALUE,
         [](HKEY k) { return deleteTree(k, "Child"); }},
        {"renameKey", KEY_READ, [](HKEY k) { return renameKey(k, "Child", "Moved"); }},
        {"renameKey out of the key", KEY_READ,
         [](HKEY k) { return renameKey(k, "Child\\Leaf", "Leaf"); }},
        {"copyTree into the key", KEY_READ,
         [](HKEY k) {
             return copyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Acl\\Child", k, "Copy",
                             CopyMode::kNewDestination);
         }},
        {"copyTree out of a key that cannot be read", KEY_WRITE,
         [](HKEY k) {
             return copyTree(k, "Child", HKEY_LOCAL_MACHINE, "SOFTWARE\\Copy",
                             CopyMode::kNewDestination);
         }},
    };
    for (const Case& c : cases) {
        build();
        Key h;
        ASSERT_EQ(open("SOFTWARE\\Acl", h.out(), c.access), ERROR_SUCCESS) << c.name;
        EXPECT_EQ(c.call(h.get()), ERROR_ACCESS_DENIED) << c.name;
        EXPECT_EQ(subKeys("SOFTWARE\\Acl"), std::vector<std::string>{"Child"}) << c.name;
        EXPECT_EQ(get("SOFTWARE\\Acl\\Child\\Leaf", "x"), dwordBytes(1)) << c.name;
        EXPECT_EQ(get("SOFTWARE\\Acl", "own"), dwordBytes(2)) << c.name;
        EXPECT_FALSE(exists("SOFTWARE\\Copy")) << c.name;
    }
    // The rights that KEY_WRITE and KEY_ALL_ACCESS give are enough.
    build();
    Key top, writer;
    ASSERT_EQ(open("SOFTWARE\\Acl", top.out(), KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(open("SOFTWARE\\Acl", writer.out(), KEY_WRITE), ERROR_SUCCESS);
    EXPECT_EQ(renameKey(writer.get(), "Child", "Moved"), ERROR_SUCCESS);
    EXPECT_EQ(deleteKey(writer.get(), "Moved\\Leaf"), ERROR_SUCCESS);
    EXPECT_EQ(deleteTree(writer.get(), "Moved"), ERROR_SUCCESS);
    EXPECT_EQ(deleteTree(top.get(), ""), ERROR_SUCCESS);
    EXPECT_EQ(get("SOFTWARE\\Acl", "own"), "value error 2");
}

TEST_F(RegistryTest, CurrentUserIsTheCallersHive) {
    Key k;
    ASSERT_EQ(createKey(HKEY_CURRENT_USER, "Software\\Mine", 0, KEY_ALL_ACCESS, k.out(), nullptr),
              ERROR_SUCCESS);
    setDword(k.get(), "x", 4);
    Key viaUsers;
    std::string hive = "S-1-22-1-" + std::to_string(geteuid());
    ASSERT_EQ(openKey(HKEY_USERS, hive + "\\software\\mine", 0, KEY_READ, viaUsers.out()),
              ERROR_SUCCESS);
    DWORD v = 0, size = 4;
    ASSERT_EQ(queryValue(viaUsers.get(), "x", nullptr, &v, &size), ERROR_SUCCESS);
    EXPECT_EQ(v, 4u);
}

TEST_F(RegistryTest, TransactionCommitsAllOrNothing) {
    {
        Transaction txn;
        ASSERT_EQ(txn.status(), ERROR_SUCCESS);
        Key k(create("SOFTWARE\\Txn\\A"));
        setDword(k.get(), "x", 1);
        ASSERT_EQ(deleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Txn\\A"), ERROR_SUCCESS);
        Key b(create("SOFTWARE\\Txn\\B"));
        // no commit: rolled back
    }
    EXPECT_FALSE(exists("SOFTWARE\\Txn"));
    {
        Transaction txn;
        Key b(create("SOFTWARE\\Txn\\B"));
        {
            Transaction inner;
            Key c(create("SOFTWARE\\Txn\\C"));
        }  // inner rolled back, outer goes on
        ASSERT_EQ(txn.commit(), ERROR_SUCCESS);
    }
    EXPECT_TRUE(exists("SOFTWARE\\Txn\\B"));
    EXPECT_FALSE(exists("SOFTWARE\\Txn\\C"));
}

// A read view keeps one moment for its thread while another thread writes, without
// making the writer wait, and leaves no trace of that moment behind it.
TEST_F(RegistryTest, ReadTransactionSeesOneMomentAndHoldsNoWriterUp) {
    Key k(create("SOFTWARE\\Snap"));
    setDword(k.get(), "x", 1);
    Key(create("SOFTWARE\\Snap\\Gone"));
    std::atomic<bool> wrote{false};
    std::vector<DWORD> results;
    std::thread writer;
    {
        ReadTransaction view;
        ASSERT_EQ(view.status(), ERROR_SUCCESS);
        writer = std::thread([&] {
            DWORD v = 2;
            results.push_back(setValue(k.get(), "x", REG_DWORD, &v, sizeof v));
            Key made;
            results.push_back(createKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Snap\\New", 0,
                                        KEY_ALL_ACCESS, made.out(), nullptr));
            results.push_back(deleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Snap\\Gone"));
            Key again;
            results.push_back(createKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Snap\\Gone\\Other", 0,
                                        KEY_ALL_ACCESS, again.out(), nullptr));
            wrote = true;
        });
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!wrote && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(wrote) << "the writer waited for the view";

        EXPECT_EQ(get("SOFTWARE\\Snap", "x"), dwordBytes(1));
        EXPECT_EQ(subKeys("SOFTWARE\\Snap"), std::vector<std::string>{"Gone"});
        EXPECT_TRUE(subKeys("SOFTWARE\\Snap\\Gone").empty());
        KeyInfo info;
        EXPECT_EQ(queryInfoKey(k.get(), &info), ERROR_SUCCESS);
        EXPECT_EQ(info.subKeys, 1u);
        {
            ReadTransaction inner;  // views nest
            EXPECT_EQ(inner.status(), ERROR_SUCCESS);
        }
        EXPECT_EQ(get("SOFTWARE\\Snap", "x"), dwordBytes(1));

        // The view's own thread cannot write meanwhile, by any road.
        DWORD v = 3;
        EXPECT_EQ(setValue(k.get(), "x", REG_DWORD, &v, sizeof v), ERROR_ACCESS_DENIED);
        EXPECT_EQ(deleteValue(k.get(), "x"), ERROR_ACCESS_DENIED);
        Key refused;
        EXPECT_EQ(createKey(k.get(), "Mine", 0, KEY_ALL_ACCESS, refused.out(), nullptr),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(deleteTree(k.get(), "Gone"), ERROR_ACCESS_DENIED);
        Transaction txn;
        EXPECT_EQ(txn.status(), ERROR_ACCESS_DENIED);
    }
    writer.join();
    EXPECT_EQ(results, std::vector<DWORD>(4, ERROR_SUCCESS));
    // After the view: the writer's store, not the view's moment.
    EXPECT_EQ(get("SOFTWARE\\Snap", "x"), dwordBytes(2));
    EXPECT_EQ(subKeys("SOFTWARE\\Snap"), (std::vector<std::string>{"Gone", "New"}));
    EXPECT_EQ(subKeys("SOFTWARE\\Snap\\Gone"), std::vector<std::string>{"Other"});

    // Inside a write transaction a view changes nothing: the writes go on.
    {
        Transaction txn;
        ASSERT_EQ(txn.status(), ERROR_SUCCESS);
        ReadTransaction view;
        EXPECT_EQ(view.status(), ERROR_SUCCESS);
        setDword(k.get(), "x", 4);
        EXPECT_EQ(txn.commit(), ERROR_SUCCESS);
    }
    EXPECT_EQ(get("SOFTWARE\\Snap", "x"), dwordBytes(4));
}

TEST_F(RegistryTest, VolatileKeysVanishAfterReboot) {
    Key stable(create("SOFTWARE\\Stable"));  // before: missing parents take the child's options
    Key v(create("SOFTWARE\\Vol", REG_OPTION_VOLATILE));
    Key vc(create("SOFTWARE\\Vol\\Child", REG_OPTION_VOLATILE));
    HKEY bad = nullptr;
    EXPECT_EQ(createKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vol\\NotVolatile", 0, KEY_ALL_ACCESS, &bad,
                        nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(bad, nullptr);

    // Same boot: a fresh process view keeps them.
    setStorePath(store_);
    EXPECT_TRUE(exists("SOFTWARE\\Vol\\Child"));

    // Pretend the machine rebooted since the store last saw it.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(store_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE meta SET value='earlier-boot' WHERE name='boot_id'", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    setStorePath(store_);
    EXPECT_FALSE(exists("SOFTWARE\\Vol"));
    EXPECT_FALSE(exists("SOFTWARE\\Vol\\Child"));
    EXPECT_TRUE(exists("SOFTWARE\\Stable"));
}

TEST_F(RegistryTest, StoreFileIsPrivate) {
    Key k(create("SOFTWARE\\X"));
    struct stat st;
    ASSERT_EQ(stat(store_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, geteuid() == 0 ? 0600u : 0660u);
    ASSERT_EQ(stat((store_ + "-wal").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077 & ~0060u, 0u);
}

TEST_F(RegistryTest, HandlesDieWithTheirStore) {
    Key k(create("SOFTWARE\\X"));
    setStorePath(dir_.file("other.db"));
    DWORD v = 0, size = 4;
    EXPECT_EQ(queryValue(k.get(), "x", nullptr, &v, &size), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(exists("SOFTWARE\\X"));
    setStorePath(store_);
}

TEST_F(RegistryTest, ThreadsShareTheStore) {
    Key k(create("SOFTWARE\\Threads"));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                DWORD v = static_cast<DWORD>(i);
                ASSERT_EQ(setValue(k.get(), "t" + std::to_string(t) + "_" + std::to_string(i),
                                   REG_DWORD, &v, 4),
                          ERROR_SUCCESS);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    KeyInfo info;
    ASSERT_EQ(queryInfoKey(k.get(), &info), ERROR_SUCCESS);
    EXPECT_EQ(info.values, 400u);
}

// ---- Several processes -------------------------------------------------------------

// Runs `body` in a child process; returns its exit status (0 when body returned true).
template <typename F>
pid_t spawn(F body) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(body() ? 0 : 1);
    return pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(RegistryTest, TwoProcessesWriteOneKeyAtOnce) {
    Key k(create("SOFTWARE\\Shared"));  // the parent has a connection before fork
    constexpr int kEach = 2000;
    auto writer = [&](const char* prefix) {
        return [=] {
            HKEY h = nullptr;
            if (createKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", 0, KEY_ALL_ACCESS, &h, nullptr))
                return false;
            for (int i = 0; i < kEach; ++i) {
                DWORD v = static_cast<DWORD>(i);
                if (setValue(h, prefix + std::to_string(i), REG_DWORD, &v, 4) != ERROR_SUCCESS)
                    return false;
            }
            return closeKey(h) == ERROR_SUCCESS;
        };
    };
    pid_t a = spawn(writer("a"));
    pid_t b = spawn(writer("b"));
    EXPECT_EQ(waitExit(a), 0);
    EXPECT_EQ(waitExit(b), 0);
    KeyInfo info;
    ASSERT_EQ(queryInfoKey(k.get(), &info), ERROR_SUCCESS);
    EXPECT_EQ(info.values, static_cast<DWORD>(2 * kEach));
    for (int i : {0, 1234, kEach - 1}) {
        EXPECT_EQ(get("SOFTWARE\\Shared", "a" + std::to_string(i)), dwordBytes(i));
        EXPECT_EQ(get("SOFTWARE\\Shared", "b" + std::to_string(i)), dwordBytes(i));
    }
}

TEST_F(RegistryTest, KeyCacheSeesOtherProcessesDeletes) {
    Key k(create("SOFTWARE\\Cached"));
    setDword(k.get(), "x", 1);
    EXPECT_EQ(get("SOFTWARE\\Cached", "x"), dwordBytes(1));  // now cached in this process
    pid_t pid = spawn([] {
        if (deleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Cached") != ERROR_SUCCESS)
            return false;
        HKEY h = nullptr;
        if (createKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Cached", 0, KEY_ALL_ACCESS, &h, nullptr))
            return false;
        DWORD v = 2;
        bool ok = setValue(h, "x", REG_DWORD, &v, 4) == ERROR_SUCCESS;
        closeKey(h);
        return ok;
    });
    ASSERT_EQ(waitExit(pid), 0);
    EXPECT_EQ(get("SOFTWARE\\Cached", "x"), dwordBytes(2));  // the new key, not the old row
    DWORD v = 0, size = 4;
    EXPECT_EQ(queryValue(k.get(), "x", nullptr, &v, &size), ERROR_KEY_DELETED);
}

TEST_F(RegistryTest, BusyStoreMakesWritersWaitNotFail) {
    Key k(create("SOFTWARE\\Busy"));
    setDword(k.get(), "x", 1);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = spawn([&] {
        Transaction txn;  // holds the write lock
        HKEY h = nullptr;
        if (createKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Busy\\Child", 0, KEY_ALL_ACCESS, &h, nullptr))
            return false;
        closeKey(h);
        char c = 1;
        if (write(ready[1], &c, 1) != 1)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        return txn.commit() == ERROR_SUCCESS;
    });
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    // Readers are not blocked by the writer, and do not see its uncommitted key.
    EXPECT_EQ(get("SOFTWARE\\Busy", "x"), dwordBytes(1));
    EXPECT_FALSE(exists("SOFTWARE\\Busy\\Child"));
    // A writer waits for the lock instead of failing or reporting "not found".
    Key other;
    EXPECT_EQ(createKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Busy\\Mine", 0, KEY_ALL_ACCESS, other.out(),
                        nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(waitExit(pid), 0);
    EXPECT_TRUE(exists("SOFTWARE\\Busy\\Child"));
    close(ready[0]);
    close(ready[1]);
}

// A child killed in the middle of a tree operation leaves the whole tree or none of it.
TEST_F(RegistryTest, KilledMidTreeOperationLeavesOldTreeOrNewNeverHalf) {
    constexpr int kKeys = 60, kValues = 40;
    {
        Transaction txn;
        for (int i = 0; i < kKeys; ++i) {
            Key k(create("SOFTWARE\\Big\\K" + std::to_string(i)));
            for (int j = 0; j < kValues; ++j)
                setDword(k.get(), "v" + std::to_string(j), static_cast<DWORD>(j));
        }
        ASSERT_EQ(txn.commit(), ERROR_SUCCESS);
    }
    int started[2];
    ASSERT_EQ(pipe(started), 0);
    pid_t pid = fork();
    if (pid == 0) {
        char c = 1;
        if (write(started[1], &c, 1) != 1)
            _exit(2);
        // Copies and deletes over and over, so that the kill lands inside one of them.
        for (int round = 0;; ++round) {
            std::string copy = "SOFTWARE\\Copy" + std::to_string(round);
            if (copyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Big", HKEY_LOCAL_MACHINE, copy,
                         CopyMode::kNewDestination) ||
                deleteTree(HKEY_LOCAL_MACHINE, copy)) {
                _exit(3);
            }
        }
    }
    char c;
    ASSERT_EQ(read(started[0], &c, 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    kill(pid, SIGKILL);
    EXPECT_EQ(waitExit(pid), 128 + SIGKILL);
    close(started[0]);
    close(started[1]);

    // Check from a fresh connection, as the next process would.
    setStorePath(store_);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(store_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "ok");
    sqlite3_finalize(s);
    sqlite3_close(db);

    std::vector<std::string> trees{"SOFTWARE\\Big"};
    for (const std::string& name : subKeys("SOFTWARE")) {
        if (name.rfind("Copy", 0) == 0)
            trees.push_back("SOFTWARE\\" + name);
    }
    EXPECT_LE(trees.size(), 2u);  // at most the copy under way survives, whole
    for (const std::string& tree : trees) {
        Key k;
        ASSERT_EQ(open(tree, k.out()), ERROR_SUCCESS);
        KeyInfo info;
        ASSERT_EQ(queryInfoKey(k.get(), &info), ERROR_SUCCESS);
        EXPECT_EQ(info.subKeys, static_cast<DWORD>(kKeys)) << tree;
        for (int i : {0, kKeys - 1}) {
            Key leaf;
            ASSERT_EQ(open(tree + "\\K" + std::to_string(i), leaf.out()), ERROR_SUCCESS) << tree;
            ASSERT_EQ(queryInfoKey(leaf.get(), &info), ERROR_SUCCESS);
            EXPECT_EQ(info.values, static_cast<DWORD>(kValues)) << tree;
        }
    }
    // And the store takes writes again.
    Key after(create("SOFTWARE\\After"));
    EXPECT_NE(after.get(), nullptr);
}

}  // namespace
