#include "platform/Collation.hpp"
#include "platform/linux/EnvironmentLocale.hpp"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace kova::platform {
namespace {

int compareFoldingAscii(std::string_view a, std::string_view b) {
    const auto n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int x = std::tolower(static_cast<unsigned char>(a[i]));
        const int y = std::tolower(static_cast<unsigned char>(b[i]));
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

class IcuNameCollator final : public NameCollator {
public:
    explicit IcuNameCollator(const std::string& localeName) {
        UErrorCode status = U_ZERO_ERROR;
        collator_.reset(icu::Collator::createInstance(icu::Locale(localeName.c_str()), status));
        if (U_FAILURE(status)) {
            collator_.reset();
            return;
        }
        // Secondary strength: accents count, letter case does not.
        collator_->setStrength(icu::Collator::SECONDARY);
    }

    int compare(std::string_view a, std::string_view b) const override {
        if (collator_) {
            UErrorCode status = U_ZERO_ERROR;
            const auto result =
                collator_->compareUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
                                       icu::StringPiece(b.data(), static_cast<int32_t>(b.size())), status);
            if (U_SUCCESS(status)) {
                return result == UCOL_LESS ? -1 : (result == UCOL_GREATER ? 1 : 0);
            }
        }
        return compareFoldingAscii(a, b);
    }

private:
    std::unique_ptr<icu::Collator> collator_;
};

} // namespace

std::unique_ptr<NameCollator> localizedCaseInsensitiveCollator() {
    // A session that names no language gets the root order.
    return std::make_unique<IcuNameCollator>(environmentLocale("LC_COLLATE").value_or(""));
}

std::unique_ptr<NameCollator> localizedCaseInsensitiveCollator(std::string_view localeName) {
    return std::make_unique<IcuNameCollator>(std::string(localeName));
}

} // namespace kova::platform
