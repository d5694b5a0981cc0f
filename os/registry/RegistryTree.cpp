// The registry store's tree operations: deleting a key or a whole subtree, copying a
// subtree, renaming (moving) a key. Each is one write transaction, so a crash leaves the
// old tree or the new one, never half, and each touches the cache buckets of every key
// whose location or values it changes.
#include <sqlite3.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "os/registry/RegistryInternal.h"
#include "os/registry/RegistryNames.h"

namespace kyos::reg {

using namespace detail;

namespace {

// Bounds of the subtree of `path` for the range statements: ?2 path, ?3 "path\", ?4
// "path]" (NULL for a root's subtree, which has no upper bound).
struct Range {
    std::string lower, upper;
    bool unbounded;
    explicit Range(std::string_view path)
        : lower(std::string(path) + (path.empty() ? "" : "\\")),
          upper(std::string(path) + "]"),
          unbounded(path.empty()) {}
    void bind(sqlite3_stmt* s, int root, std::string_view path) const {
        sqlite3_bind_int(s, 1, root);
        bindText(s, 2, path);
        bindText(s, 3, lower);
        if (unbounded)
            sqlite3_bind_null(s, 4);
        else
            bindText(s, 4, upper);
    }
};

bool within(std::string_view path, std::string_view ancestor) {
    if (ancestor.empty())
        return true;
    return path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
           path[ancestor.size()] == '\\';
}

// Deletes a key's subtree (or only what lies below it), inside a write transaction.
DWORD deleteSubtree(Connection& c, int root, std::string_view path, bool includeSelf) {
    Range range(path);
    if (includeSelf && range.unbounded)
        return ERROR_ACCESS_DENIED;  // a root stays
    Sql vals = includeSelf ? kDeleteSubtreeValues : kDeleteChildrenValues;
    Sql keys = includeSelf ? kDeleteSubtreeKeys : kDeleteChildrenKeys;
    for (Sql which : {vals, keys}) {
        sqlite3_stmt* s = c.stmt(which);
        if (s == nullptr)
            return ERROR_OUTOFMEMORY;
        range.bind(s, root, path);
        DWORD rc = stepAll(s);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    return ERROR_SUCCESS;
}

struct Row {
    int64_t id;
    std::string path;
    std::string name;
    bool isVolatile;
};

DWORD subtreeRows(Connection& c, int root, std::string_view path, std::vector<Row>& rows) {
    sqlite3_stmt* s = c.stmt(kSubtreeRows);
    if (s == nullptr)
        return ERROR_OUTOFMEMORY;
    Reset reset(s);
    Range range(path);
    range.bind(s, root, path);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        rows.push_back(Row{sqlite3_column_int64(s, 0), std::string(columnText(s, 1)),
                           std::string(columnText(s, 2)), sqlite3_column_int(s, 3) != 0});
    }
    return rc == SQLITE_DONE ? ERROR_SUCCESS : fromSqlite(rc);
}

// The folded parent path of a folded path ("" for a top-level key).
std::string_view parentOf(std::string_view path) {
    size_t slash = path.rfind('\\');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}
// Touches the buckets of every key of a subtree: its location and its values change.
DWORD touchSubtree(Connection& c, int root, std::string_view path) {
    std::vector<Row> rows;
    DWORD rc = subtreeRows(c, root, path, rows);
    for (const Row& r : rows) {
        c.touch(ChangeCounters::keyBucket(root, r.path));
        c.touch(ChangeCounters::valueBucket(r.id));
    }
    return rc;
}

}  // namespace

DWORD deleteKey(HKEY parent, std::string_view subKey) {
    Call call;
    DWORD rc = call.start(parent);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (!(call.ref.access & kTreeAccess))
        return done(ERROR_ACCESS_DENIED);
    Connection& c = *call.c;
    std::string path;
    if (!joinPath(call.ref.path, subKey, path))
        return done(ERROR_INVALID_PARAMETER);
    if (path.empty())
        return done(ERROR_ACCESS_DENIED);  // a root
    WriteScope txn(c);
    if ((rc = txn.status()) != ERROR_SUCCESS)
        return done(rc);
    int64_t id;
    bool isVolatile;
    rc = lookup(c, call.ref.root, path, id, isVolatile);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    sqlite3_stmt* s = c.stmt(kHasSubKeys);
    if (s == nullptr)
        return done(ERROR_OUTOFMEMORY);
    {
        Reset reset(s);
        sqlite3_bind_int64(s, 1, id);
        int step = sqlite3_step(s);
        if (step == SQLITE_ROW)
            return done(ERROR_ACCESS_DENIED);  // as Windows: subkeys first
        if (step != SQLITE_DONE)
            return done(fromSqlite(step));
    }
    c.touch(ChangeCounters::keyBucket(call.ref.root, path));
    c.touch(ChangeCounters::valueBucket(id));
    for (Sql which : {kDeleteKeyValues, kDeleteKeyRow}) {
        s = c.stmt(which);
        if (s == nullptr)
            return done(ERROR_OUTOFMEMORY);
        sqlite3_bind_int64(s, 1, id);
        if ((rc = stepAll(s)) != ERROR_SUCCESS)
            return done(rc);
    }
    return done(txn.commit());
}

DWORD deleteTree(HKEY key, std::string_view subKey) {
    Call call;
    DWORD rc = call.start(key);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    Connection& c = *call.c;
    std::string path;
    if (!joinPath(call.ref.path, subKey, path))
        return done(ERROR_INVALID_PARAMETER);
    bool childrenOnly = path == call.ref.path;
    // Below the key itself its values go too.
    if (!(call.ref.access & kTreeAccess) || (childrenOnly && !(call.ref.access & KEY_SET_VALUE)))
        return done(ERROR_ACCESS_DENIED);
    WriteScope txn(c);
    if ((rc = txn.status()) != ERROR_SUCCESS)
        return done(rc);
    int64_t id;
    bool isVolatile;
    rc = lookup(c, call.ref.root, path, id, isVolatile);
    if (rc != ERROR_SUCCESS)
        return done(call.ref.handle && childrenOnly ? keyGone(c, call.ref) : rc);
    if ((rc = touchSubtree(c, call.ref.root, path)) != ERROR_SUCCESS)
        return done(rc);
    if ((rc = deleteSubtree(c, call.ref.root, path, !childrenOnly)) != ERROR_SUCCESS)
        return done(rc);
    if (childrenOnly) {  // the key itself stays, without its values
        sqlite3_stmt* s = c.stmt(kDeleteKeyValues);
        if (s == nullptr)
            return done(ERROR_OUTOFMEMORY);
        sqlite3_bind_int64(s, 1, id);
        if ((rc = stepAll(s)) != ERROR_SUCCESS)
            return done(rc);
    }
    return done(txn.commit());
}

DWORD copyTree(HKEY source, std::string_view sourceSubKey, HKEY dest, std::string_view destSubKey,
               CopyMode mode) {
    Call from;
    DWORD rc = from.start(source);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    Connection& c = *from.c;
    Ref to;
    if ((rc = resolve(c, dest, to)) != ERROR_SUCCESS)
        return done(rc);
    if ((from.ref.access & kTreeReadAccess) != kTreeReadAccess ||
        !(to.access & KEY_CREATE_SUB_KEY)) {
        return done(ERROR_ACCESS_DENIED);
    }
    std::string fromPath, toPath;
    std::vector<std::string_view> toParts;
    if (!joinPath(from.ref.path, sourceSubKey, fromPath) ||
        !joinPath(to.path, destSubKey, toPath, &toParts)) {
        return done(ERROR_INVALID_PARAMETER);
    }
    if (from.ref.root == to.root && (toPath == fromPath || within(toPath, fromPath))) {
        // Onto itself or into its own subtree: the copy would feed on itself.
        return done(toPath == fromPath && mode == CopyMode::kNewDestination
                        ? ERROR_ALREADY_EXISTS
                        : ERROR_INVALID_PARAMETER);
    }
    WriteScope txn(c);
    if ((rc = txn.status()) != ERROR_SUCCESS)
        return done(rc);
    std::vector<Row> rows;
    if ((rc = subtreeRows(c, from.ref.root, fromPath, rows)) != ERROR_SUCCESS)
        return done(rc);
    if (rows.empty())
        return done(ERROR_FILE_NOT_FOUND);
    if ((rc = materialise(c, to)) != ERROR_SUCCESS)
        return done(rc);
    int64_t destId;
    bool destVolatile, created;
    rc = createPath(c, to.root, to.id, to.isVolatile, to.path, toParts, rows.front().isVolatile,
                    destId, destVolatile, created);
    if (rc == ERROR_CHILD_MUST_BE_VOLATILE)
        return done(rc);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (!created && mode == CopyMode::kNewDestination)
        return done(ERROR_ALREADY_EXISTS);

    // Rows come parents first (a path sorts before its extensions), so each new key's
    // parent is already in the map.
    std::unordered_map<int64_t, int64_t> newId;
    std::unordered_map<int64_t, bool> newVolatile;
    newId[rows.front().id] = destId;
    newVolatile[rows.front().id] = destVolatile;
    std::unordered_map<std::string, int64_t> byPath;  // source path -> source row
    for (const Row& r : rows)
        byPath[r.path] = r.id;
    sqlite3_stmt* copy = c.stmt(kCopyValues);
    if (copy == nullptr)
        return done(ERROR_OUTOFMEMORY);
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        if (i > 0) {
            int64_t parentId = newId.at(byPath.at(std::string(parentOf(r.path))));
            bool parentVolatile = newVolatile.at(byPath.at(std::string(parentOf(r.path))));
            std::string_view rel =
                std::string_view(r.path).substr(fromPath.empty() ? 0 : fromPath.size() + 1);
            std::string target =
                toPath.empty() ? std::string(rel) : toPath + "\\" + std::string(rel);
            std::vector<std::string_view> one{r.name};
            int64_t id;
            bool v, made;
            rc = createPath(c, to.root, parentId, parentVolatile, parentOf(target), one,
                            r.isVolatile || parentVolatile, id, v, made);
            if (rc != ERROR_SUCCESS)
                return done(rc);
            newId[r.id] = id;
            newVolatile[r.id] = v;
        }
        c.touch(ChangeCounters::valueBucket(newId[r.id]));
        sqlite3_bind_int64(copy, 1, newId[r.id]);
        sqlite3_bind_int64(copy, 2, r.id);
        if ((rc = stepAll(copy)) != ERROR_SUCCESS)
            return done(rc);
    }
    return done(txn.commit());
}

DWORD renameKey(HKEY key, std::string_view from, std::string_view to) {
    Call call;
    DWORD rc = call.start(key);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (!(call.ref.access & kTreeAccess))
        return done(ERROR_ACCESS_DENIED);
    Connection& c = *call.c;
    std::string fromPath, toPath;
    std::vector<std::string_view> toParts;
    if (!joinPath(call.ref.path, from, fromPath) ||
        !joinPath(call.ref.path, to, toPath, &toParts)) {
        return done(ERROR_INVALID_PARAMETER);
    }
    if (fromPath.empty() || toPath.empty() || fromPath == call.ref.path || toParts.empty()) {
        return done(ERROR_ACCESS_DENIED);  // a root, or the handle's own key
    }
    if (within(toPath, fromPath))
        return done(ERROR_INVALID_PARAMETER);
    const int root = call.ref.root;
    WriteScope txn(c);
    if ((rc = txn.status()) != ERROR_SUCCESS)
        return done(rc);
    int64_t id;
    bool isVolatile;
    if ((rc = lookup(c, root, fromPath, id, isVolatile)) != ERROR_SUCCESS)
        return done(rc);
    if (toPath != fromPath) {
        int64_t other;
        bool v;
        rc = lookup(c, root, toPath, other, v);
        if (rc == ERROR_SUCCESS)
            return done(ERROR_ALREADY_EXISTS);
        if (rc != ERROR_FILE_NOT_FOUND)
            return done(rc);
    }
    // Every key of the subtree leaves its path for a new one.
    {
        std::vector<Row> moved;
        if ((rc = subtreeRows(c, root, fromPath, moved)) != ERROR_SUCCESS)
            return done(rc);
        for (const Row& r : moved) {
            c.touch(ChangeCounters::keyBucket(root, r.path));
            c.touch(ChangeCounters::keyBucket(root, toPath + r.path.substr(fromPath.size())));
        }
    }
    // The new parent, created when missing.
    std::vector<std::string_view> parentParts(toParts.begin(), toParts.end() - 1);
    if ((rc = materialise(c, call.ref)) != ERROR_SUCCESS)
        return done(rc);
    int64_t parentId;
    bool parentVolatile, created;
    rc = createPath(c, root, call.ref.id, call.ref.isVolatile, call.ref.path, parentParts,
                    isVolatile, parentId, parentVolatile, created);
    if (rc != ERROR_SUCCESS)
        return done(rc);
    if (parentVolatile && !isVolatile)
        return done(ERROR_CHILD_MUST_BE_VOLATILE);
    if (toPath != fromPath) {
        Range range(fromPath);
        sqlite3_stmt* s = c.stmt(kMoveSubtree);
        if (s == nullptr)
            return done(ERROR_OUTOFMEMORY);
        range.bind(s, root, fromPath);
        bindText(s, 5, toPath);
        sqlite3_bind_int64(s, 6, static_cast<int64_t>(fromPath.size()) + 1);
        if ((rc = stepAll(s)) != ERROR_SUCCESS)
            return done(rc);
    }
    sqlite3_stmt* s = c.stmt(kMoveTop);
    if (s == nullptr)
        return done(ERROR_OUTOFMEMORY);
    std::string_view name = toParts.back();
    std::string fold = folded(name);
    sqlite3_bind_int64(s, 1, id);
    bindText(s, 2, toPath);
    sqlite3_bind_int64(s, 3, parentId);
    bindText(s, 4, name);
    bindText(s, 5, fold);
    if ((rc = stepAll(s)) != ERROR_SUCCESS)
        return done(rc);
    return done(txn.commit());
}

}  // namespace kyos::reg
