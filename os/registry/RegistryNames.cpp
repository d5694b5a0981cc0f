#include "os/registry/RegistryNames.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace kyos::reg {

namespace {

// The folded form of a code point, appended as UTF-8; bytes that are not UTF-8 are kept
// as they are: they still compare equal to themselves, and nothing else folds onto them.
void appendFoldedSlowly(std::string& out, std::string_view name) {
    size_t i = 0;
    const size_t n = name.size();
    while (i < n) {
        auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            out +=
                (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : static_cast<char>(c);
            ++i;
            continue;
        }
        UChar32 cp;
        size_t start = i;
        int32_t pos = static_cast<int32_t>(i);
        U8_NEXT(name.data(), pos, static_cast<int32_t>(n), cp);
        i = static_cast<size_t>(pos);
        if (cp < 0) {
            out.append(name.data() + start, i - start);
            continue;
        }
        UChar32 f = u_foldCase(cp, U_FOLD_CASE_DEFAULT);
        char buf[4];
        int32_t len = 0;
        U8_APPEND_UNSAFE(buf, len, f);  // a folded code point takes at most 4 bytes
        out.append(buf, static_cast<size_t>(len));
    }
}

bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

}  // namespace

void appendFolded(std::string& out, std::string_view name) {
    // Names are ASCII nearly always: fold them a byte at a time into room made at once,
    // and hand the rest, from the first other byte on, to the code-point path.
    const size_t start = out.size();
    out.resize(start + name.size());
    char* dst = out.data() + start;
    size_t i = 0;
    for (; i < name.size(); ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        if (c >= 0x80)
            break;
        dst[i] = static_cast<char>(c | (static_cast<unsigned>(c - 'A') < 26u ? 0x20 : 0));
    }
    if (i == name.size())
        return;
    out.resize(start + i);
    appendFoldedSlowly(out, name.substr(i));
}

std::string folded(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    appendFolded(out, name);
    return out;
}

bool splitKeyPath(std::string_view path, std::vector<std::string_view>& parts) {
    parts.clear();
    size_t i = 0;
    const size_t n = path.size();
    while (i < n) {
        while (i < n && isSeparator(path[i]))
            ++i;
        size_t j = i;
        while (j < n && !isSeparator(path[j]))
            ++j;
        if (j > i) {
            if (j - i > kMaxKeyNameLength)
                return false;
            parts.push_back(path.substr(i, j - i));
        }
        i = j;
    }
    return true;
}

bool appendFoldedPath(std::string& out, std::string_view path) {
    // One pass over an ASCII path, folding into room made at once: the path of every key
    // opened or read goes through here. A part with other bytes sends the whole path the
    // long way.
    const size_t start = out.size();
    out.resize(start + path.size() + 1);  // at most one separator more than the path has
    char* const first = out.data();
    char* d = first + start;
    const auto* p = reinterpret_cast<const unsigned char*>(path.data());
    const auto* const end = p + path.size();
    while (p < end) {
        unsigned char c = *p;
        if (c == '\\' || c == '/') {
            ++p;
            continue;
        }
        if (d != first)
            *d++ = '\\';
        const auto* partStart = p;
        do {
            if (c >= 0x80) {
                out.resize(start);
                std::vector<std::string_view> parts;
                if (!splitKeyPath(path, parts))
                    return false;
                for (std::string_view part : parts) {
                    if (!out.empty())
                        out += '\\';
                    appendFolded(out, part);
                }
                return true;
            }
            *d++ = static_cast<char>(c | (static_cast<unsigned>(c - 'A') < 26u ? 0x20 : 0));
            ++p;
        } while (p < end && (c = *p) != '\\' && c != '/');
        if (static_cast<size_t>(p - partStart) > kMaxKeyNameLength) {
            out.resize(static_cast<size_t>(d - first));
            return false;
        }
    }
    out.resize(static_cast<size_t>(d - first));
    return true;
}

}  // namespace kyos::reg
