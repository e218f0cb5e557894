#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kova::test {

// A captured or hand-written tool output below tests/fixtures/macos.
inline std::string macosFixture(const std::string& relative) {
    const auto path = std::filesystem::path(KOVA_SOURCE_DIR) / "tests/fixtures/macos" / relative;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("missing fixture " + path.string());
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace kova::test
