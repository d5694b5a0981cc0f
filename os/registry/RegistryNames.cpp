#include "os/registry/RegistryNames.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace kyos::reg {

void appendFolded(std::string& out, std::string_view name) {
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
        // Invalid UTF-8 bytes are kept as they are: they still compare equal to
        // themselves, and nothing else folds onto them.
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

std::string folded(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    appendFolded(out, name);
    return out;
}

bool splitKeyPath(std::string_view path, std::vector<std::string_view>& parts) {
    parts.clear();
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find_first_of("\\/", i);
        if (j == std::string_view::npos)
            j = path.size();
        if (j > i) {
            if (j - i > kMaxKeyNameLength)
                return false;
            parts.push_back(path.substr(i, j - i));
        }
        i = j + 1;
    }
    return true;
}

}  // namespace kyos::reg
