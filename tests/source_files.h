// Files of the source tree a test reads (documentation, golden documents, web assets):
// CTest names the tree in NOVEX_SOURCE_DIR.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace source_test {

// `path` relative to the source tree; relative to the working folder without CTest.
inline std::string SourceFile(const std::string& path) {
    const char* source = std::getenv("NOVEX_SOURCE_DIR");
    return std::string(source ? source : ".") + "/" + path;
}

// The whole file; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace source_test
