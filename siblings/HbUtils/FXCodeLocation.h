// Where in the source an error was made or passed on: file, function ("Class::method")
// and line. FX_LOCATION("Class::method") makes one at the call site.
//
// A plain value that keeps its own copies of the texts, so that a location built from a
// temporary string stays valid in the error items that hold it. Safe to copy between
// threads; one object is not changed by two threads at once.
#pragma once

#include <string>

class FXCodeLocation {
public:
    FXCodeLocation(const char* file, const char* function, int line);

    const std::string& GetFile() const { return m_file; }
    const std::string& GetFunction() const { return m_function; }
    int GetLine() const { return m_line; }

    // "File.cpp(42) Class::method": the file without its folders, which are the build
    // machine's and say nothing to the reader of a log.
    std::string AsString() const;

private:
    std::string m_file;
    std::string m_function;
    int m_line;
};

#define FX_LOCATION(function) FXCodeLocation(__FILE__, (function), __LINE__)
