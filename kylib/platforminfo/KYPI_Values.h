// The component values and the one getter pattern every KYPI_ class uses for them.
//
// kypi::kRows (from KYPI_ValueTable.h) lists every value a component class reads: its
// class, section, name, type, default, clamp, whether it is cached and whether it has a
// setter. KYPI_ValueState implements the getter pattern once:
//   - a cached value is returned while it is non-zero (non-empty for texts) and no
//     refresh is asked; otherwise the value is read, the default taken when the read
//     fails, the clamp applied to what was read, and the result cached;
//   - a failed read or write copies the store's last error into the object (a refused
//     name part: ERROR_INVALID_PARAMETER, the store untouched);
//   - a setter's success updates the cache, its failure clears it.
// The named getters and setters of the classes are one line each over the helpers below,
// which check at compile time that the row has the type (and the setter) they use.
//
// Getter names: the ones the product's callers know (getKYDPort, getRetryCount,
// getDisconnectTimeOut, ...) are kept; every other value's getter is "get" followed by the
// value name without its type prefix ("n", "s", "b", "d", "w", "str"), the letter case of
// the rest as stored: "nSessionPoolDisabled" -> getSessionPoolDisabled, "schedDebug" ->
// getSchedDebug, "Options" -> getOptions. Setters are named the same way with "set".
//
// A component object belongs to one thread at a time; copies are independent (each has its
// own store and caches). Nothing is read or written at construction.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "kylib/platforminfo/KYPlatformInfo.h"
#include "os/Win32.h"
#include "os/registry/Registry.h"

class EvDebug;
class FXNamedMutex;
class KYPassword;

namespace kypi {

enum class Type : unsigned char { D, S, Q, M, P };

struct Clamp {
    enum Kind : unsigned char { Any, Saturate, Only };
    Kind kind;
    unsigned long lo, hi, other;
};

struct Row {
    const char* className;
    const char* section;
    const char* key;  // the section in the store's instance notation ("~" + section)
    const char* name;
    bool hasPart;  // the section or the name holds "%s"
    Type type;
    bool hasDefault;
    unsigned long defaultNumber;
    Clamp clamp;
    bool cached;
    bool setter;
};

enum Value : unsigned short {
#define KYPI_ROW(id, ...) id,
#include "kylib/platforminfo/KYPI_ValueTable.h"
#undef KYPI_ROW
    kValueCount
};

// Whether a text holds "%s" (a row whose key or name the caller completes).
constexpr bool hasPart(const char* text) {
    for (; *text != '\0'; ++text)
        if (text[0] == '%' && text[1] == 's')
            return true;
    return false;
}

namespace row_detail {
constexpr unsigned CACHED = 1, SETTER = 2;
constexpr Type D = Type::D, S = Type::S, Q = Type::Q, M = Type::M, P = Type::P;
struct Default {
    bool has;
    unsigned long value;
};
constexpr Default NONE{false, 0};
constexpr Default DEF(unsigned long v) {
    return Default{true, v};
}
constexpr Clamp ANY{Clamp::Any, 0, 0, 0};
constexpr Clamp SAT(unsigned long lo, unsigned long hi) {
    return Clamp{Clamp::Saturate, lo, hi, 0};
}
constexpr Clamp ONLY(unsigned long lo, unsigned long hi, unsigned long other) {
    return Clamp{Clamp::Only, lo, hi, other};
}
constexpr Row row(const char* cls, const char* section, const char* key, const char* name,
                  Type type, Default d, Clamp clamp, unsigned flags) {
    return Row{cls,
               section,
               key,
               name,
               hasPart(section) || hasPart(name),
               type,
               d.has,
               d.value,
               clamp,
               (flags & CACHED) != 0,
               (flags & SETTER) != 0};
}

// Inside row_detail, so that the table's words (D, NONE, SAT, CACHED, ...) need no prefix.
inline constexpr Row kTable[kValueCount] = {
#define KYPI_ROW(id, cls, section, name, type, def, clamp, flags) \
    row(cls, section, "~" section, name, type, def, clamp, flags),
#include "kylib/platforminfo/KYPI_ValueTable.h"
#undef KYPI_ROW
};
}  // namespace row_detail

inline constexpr const Row (&kRows)[kValueCount] = row_detail::kTable;

// A cache keyed by the row alone would answer one client with another's value.
constexpr bool rowsAreSound() {
    for (const Row& r : kRows) {
        if (r.cached && (hasPart(r.section) || hasPart(r.name)))
            return false;
        if (hasPart(r.section) && hasPart(r.name))
            return false;
    }
    return true;
}
static_assert(rowsAreSound(), "a cached row names a part, or a row names two");

// Where an object keeps each cached DWORD row: slot numbers given in table order, -1 for
// the other rows. A fixed array, so that an object made per read allocates nothing.
struct Slots {
    signed char number[kValueCount];
    int numbers;
};
constexpr Slots makeSlots() {
    Slots slots{};
    int next = 0;
    for (int i = 0; i < kValueCount; ++i)
        slots.number[i] = kRows[i].cached && kRows[i].type == Type::D
                              ? static_cast<signed char>(next++)
                              : static_cast<signed char>(-1);
    slots.numbers = next;
    return slots;
}
inline constexpr Slots kSlots = makeSlots();
static_assert(kSlots.numbers < 127, "too many cached DWORD rows for the slot numbers");

// The values an object has read and keeps: DWORDs by slot (0 = not cached), texts by row
// (empty until the first cached text read).
struct Cache {
    unsigned long numbers[kSlots.numbers] = {};
    std::vector<std::pair<Value, std::string>> texts;
    void clear() {
        for (unsigned long& n : numbers)
            n = 0;
        texts.clear();
    }
};

}  // namespace kypi

// Last error, last error message and value cache of a component object, and the getter
// pattern over them. The store the values live in is the derived class's.
class KYPI_ValueState {
public:
    // The store's last error, copied after the object's last failed operation (0 before).
    unsigned long getLastError() const { return m_lastError; }
    // The last error of an update whose named mutex could not be had (-1 as a DWORD).
    static constexpr unsigned long kErrNoNamedLock = 0xFFFFFFFFul;
    std::string getLastErrorMsg() const { return m_lastErrorMsg; }

    const char* getFocus() { return valueStore().getFocus(); }
    // The caches belong to the instance: a change of focus forgets them.
    int setFocus(const char* focus);
    void setToDefaultFocus();

    // Whether `name` can be one key name part: not null or empty, no "\" or "/".
    static bool isKeyNamePart(const char* name) { return KYPlatformInfo::isKeyNamePart(name); }

    // Forgets every cached value (the derived classes' own caches too), so that the next
    // read of each goes to the store.
    virtual void forgetCaches() { m_cache.clear(); }

protected:
    KYPI_ValueState() = default;
    KYPI_ValueState(const KYPI_ValueState&) = default;
    KYPI_ValueState& operator=(const KYPI_ValueState&) = default;
    virtual ~KYPI_ValueState() = default;

    virtual KYPlatformInfo& valueStore() = 0;

    template <kypi::Value V>
    unsigned long number(bool refresh = false, const char* part = nullptr) {
        static_assert(kypi::kRows[V].type == kypi::Type::D, "not a DWORD row");
        return numberAt(V, refresh, part);
    }
    template <kypi::Value V>
    int setNumber(unsigned long value, const char* part = nullptr) {
        static_assert(kypi::kRows[V].type == kypi::Type::D && kypi::kRows[V].setter,
                      "not a DWORD row with a setter");
        return setNumberAt(V, value, part);
    }
    template <kypi::Value V>
    std::string text(bool refresh = false, const char* part = nullptr) {
        static_assert(kypi::kRows[V].type == kypi::Type::S, "not a string row");
        std::string out;
        textAt(V, refresh, part, out);
        return out;
    }
    // The same, telling whether the value was read.
    template <kypi::Value V>
    bool text(std::string& out, bool refresh = false, const char* part = nullptr) {
        static_assert(kypi::kRows[V].type == kypi::Type::S, "not a string row");
        return textAt(V, refresh, part, out);
    }
    template <kypi::Value V>
    int setText(const char* value, const char* part = nullptr) {
        static_assert(kypi::kRows[V].type == kypi::Type::S && kypi::kRows[V].setter,
                      "not a string row with a setter");
        return setTextAt(V, value, part);
    }
    template <kypi::Value V>
    int password(KYPassword* out, const char* part = nullptr) {
        static_assert(kypi::kRows[V].type == kypi::Type::P, "not a password row");
        return passwordAt(V, out, part, false);
    }
    template <kypi::Value V>
    int setPassword(KYPassword* value, const char* part = nullptr) {
        static_assert(kypi::kRows[V].type == kypi::Type::P && kypi::kRows[V].setter,
                      "not a password row with a setter");
        return passwordAt(V, value, part, true);
    }

    unsigned long numberAt(kypi::Value v, bool refresh, const char* part);
    int setNumberAt(kypi::Value v, unsigned long value, const char* part);
    bool textAt(kypi::Value v, bool refresh, const char* part, std::string& out);
    int setTextAt(kypi::Value v, const char* value, const char* part);
    int passwordAt(kypi::Value v, KYPassword* password, const char* part, bool write);

    // The row's section and value name with the caller's part filled in. False (with the
    // last error ERROR_INVALID_PARAMETER, logged) when the part cannot be one key name.
    bool resolve(const kypi::Row& row, const char* part, std::string& section, std::string& name);

    // Copies the store's last error and message into the object.
    void copyStoreError();
    // Records a failure of the object's own (the store is not involved), logged.
    void setError(unsigned long code, const char* function, const char* message);
    // Takes a named mutex for a read-modify-write shared with other processes; false, with
    // the last error kErrNoNamedLock and "Failed to set Named lock [<name>]." logged, when
    // it cannot be had within kNamedLockTimeoutMs.
    bool takeNamedLock(FXNamedMutex& mutex, const char* function);
    static constexpr unsigned long kNamedLockTimeoutMs = 10000;

    // Runs `changes` (false: it failed and recorded why) in one store transaction, so that
    // readers and a crash see all of it or none: 1 when it ran and the commit held, else 0
    // with the failure recorded (`commitFailure` when the commit itself failed).
    template <class Changes>
    int inOneTransaction(const char* function, const char* commitFailure, Changes&& changes) {
        kyos::reg::Transaction transaction;
        if (transaction.status() != ERROR_SUCCESS) {
            setError(transaction.status(), function, "Failed to begin a store transaction.");
            return 0;
        }
        if (!changes())
            return 0;
        const DWORD committed = transaction.commit();
        if (committed != ERROR_SUCCESS) {
            setError(committed, function, commitFailure);
            return 0;
        }
        return 1;
    }

    // The client a null client name stands for: the focus's client.
    static const char* clientOrFocus(const char* client);

    unsigned long m_lastError = 0;
    std::string m_lastErrorMsg;
    kypi::Cache m_cache;
};
