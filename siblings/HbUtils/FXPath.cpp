#include "siblings/HbUtils/FXPath.h"

#include "os/File.h"

namespace FXPath {

std::string Append(std::string_view base, std::string_view part) {
    if (base.empty())
        return std::string(part);
    if (part.empty())
        return std::string(base);
    std::string_view::size_type baseEnd = base.find_last_not_of(kSeparator);
    std::string_view::size_type partStart = part.find_first_not_of(kSeparator);
    std::string joined(baseEnd == std::string_view::npos ? std::string_view()
                                                         : base.substr(0, baseEnd + 1));
    joined += kSeparator;
    if (partStart != std::string_view::npos)
        joined.append(part.substr(partStart));
    return joined;
}

bool DoesPathExist(const std::string& path) {
    return kyos::getFileAttributes(path) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace FXPath
