// The registry editor's text format (.reg files) and the key names an administrator
// types, without any access to the store.
//
// parseRegFile() turns a file's bytes into the operations it asks for, or into the first
// fault and its line; formatRegFile() turns a snapshot of keys into a file's bytes. Both
// are pure functions, safe from any thread, and work on the store's form of the data
// (UTF-8 strings with their NUL, little-endian numbers): the file's UTF-16 forms are
// converted here, in both directions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "os/Win32.h"

namespace kybasic {

enum class RegRoot { kLocalMachine, kUsers, kCurrentUser, kClassesRoot };

// A key as ROOT\path; `path` has its parts joined by "\" with no empty part.
struct RegKeyName {
    RegRoot root = RegRoot::kLocalMachine;
    std::string path;
};

// The root's long name ("HKEY_LOCAL_MACHINE") and its predefined handle.
const char* rootName(RegRoot root);
HKEY rootKey(RegRoot root);

// The long form "HKEY_LOCAL_MACHINE\path" (the root alone for an empty path).
std::string fullKeyName(const RegKeyName& key);

// Reads "HKLM\Software\X" (short or long root names, any letter case, "\" or "/"
// between parts). False with a reason in `error` for an unknown root, a remote
// "\\machine\" name or a part longer than the store accepts.
bool parseKeyName(std::string_view text, RegKeyName* key, std::string* error);

struct RegValue {
    std::string name;  // empty for the key's default value
    DWORD type = REG_NONE;
    std::string data;  // as the store keeps it
};

// One key of a snapshot: its long full name and its values in the store's order.
struct RegKey {
    std::string name;
    std::vector<RegValue> values;
};

// One step of an import, in file order.
struct RegOperation {
    enum class Kind {
        kCreateKey,    // [KEY]: create the key (the following values go to it)
        kDeleteKey,    // [-KEY]: delete the key and everything below it
        kSetValue,     // "name"=data
        kDeleteValue,  // "name"=-
    };
    Kind kind = Kind::kCreateKey;
    int line = 0;  // where the file asks for it
    RegKeyName key;
    RegValue value;  // name for kSetValue and kDeleteValue; type and data for kSetValue
};

struct RegParseError {
    int line = 0;
    std::string message;
};

// Parses a whole file: UTF-16LE with a byte-order mark, or UTF-8 with or without one;
// "Windows Registry Editor Version 5.00" or "REGEDIT4" on the first line. Nothing of a
// faulty file is returned: false with the first fault's line in `error`.
bool parseRegFile(std::string_view bytes, std::vector<RegOperation>* operations,
                  RegParseError* error);

// Writes keys (parents before children, as given) in the editor's version 5 format:
// UTF-16LE with a byte-order mark and CRLF line ends. False with a reason when a name
// holds a line break, which the format cannot carry.
bool formatRegFile(const std::vector<RegKey>& keys, std::string* bytes, std::string* error);

}  // namespace kybasic
