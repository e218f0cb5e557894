#include "platform/Collation.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kova {
namespace {

std::vector<std::string> sorted(std::vector<std::string> names, const platform::NameCollator& collator) {
    std::stable_sort(names.begin(), names.end(),
                     [&](const std::string& a, const std::string& b) { return collator.compare(a, b) < 0; });
    return names;
}

TEST(Collation, NamesSortAsTheLanguageDoesIgnoringCase) {
    const auto polish = platform::localizedCaseInsensitiveCollator("pl");
    EXPECT_EQ(sorted({"zebra", "łódź", "Lampa", "mapa", "ąb", "az", "Łukasz"}, *polish),
              (std::vector<std::string>{"az", "ąb", "Lampa", "łódź", "Łukasz", "mapa", "zebra"}));
    EXPECT_EQ(polish->compare("Raport", "raport"), 0);
    EXPECT_GT(polish->compare("zdjęcie", "Zdjecie"), 0) << "accents still count";

    // Whatever the environment's language, "ł" never sorts after "z".
    const auto current = platform::localizedCaseInsensitiveCollator();
    EXPECT_LT(current->compare("łódź", "zebra"), 0);
    EXPECT_LT(current->compare("a", "B"), 0);
    EXPECT_NE(current->compare("a\xff", "b"), 0) << "invalid UTF-8 still orders";
}

} // namespace
} // namespace kova
