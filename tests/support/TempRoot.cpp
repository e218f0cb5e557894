#include "support/TempRoot.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kova::test {

TempRoot::TempRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kova-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
    override_.emplace(path_);
}

TempRoot::~TempRoot() {
    override_.reset();
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ec);
    std::filesystem::remove_all(path_, ec);
}

void TempRoot::write(const std::filesystem::path& file, std::string_view content) const {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string TempRoot::read(const std::filesystem::path& file) const {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace kova::test
