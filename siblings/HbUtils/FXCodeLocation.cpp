#include "siblings/HbUtils/FXCodeLocation.h"

FXCodeLocation::FXCodeLocation(const char* file, const char* function, int line)
    : m_file(file != nullptr ? file : ""),
      m_function(function != nullptr ? function : ""),
      m_line(line) {}

std::string FXCodeLocation::AsString() const {
    std::string::size_type slash = m_file.find_last_of('/');
    std::string text = slash == std::string::npos ? m_file : m_file.substr(slash + 1);
    text += '(';
    text += std::to_string(m_line);
    text += ") ";
    text += m_function;
    return text;
}
