#pragma once

#include "core/Paths.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace kova::test {

// A fresh temporary directory that stands in for "/" while the object lives.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view absolute) const { return paths::fixed(absolute); }
    void write(const std::filesystem::path& file, std::string_view content) const;
    std::string read(const std::filesystem::path& file) const;

private:
    std::filesystem::path path_;
    std::optional<paths::ScopedRootOverride> override_;
};

} // namespace kova::test
