#include "platform/Collation.hpp"
#include "platform/darwin/CFPtr.hpp"

#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <string>

namespace kova::platform {
namespace {

class CFNameCollator final : public NameCollator {
public:
    explicit CFNameCollator(CFPtr<CFLocaleRef> locale) : locale_(std::move(locale)) {}

    int compare(std::string_view a, std::string_view b) const override {
        const auto x = cfString(a);
        const auto y = cfString(b);
        if (!x || !y) {
            return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
        }
        const auto result = CFStringCompareWithOptionsAndLocale(
            x.get(), y.get(), CFRangeMake(0, CFStringGetLength(x.get())),
            kCFCompareCaseInsensitive | kCFCompareLocalized, locale_.get());
        return result == kCFCompareLessThan ? -1 : (result == kCFCompareGreaterThan ? 1 : 0);
    }

private:
    CFPtr<CFLocaleRef> locale_;
};

} // namespace

std::unique_ptr<NameCollator> localizedCaseInsensitiveCollator() {
    return std::make_unique<CFNameCollator>(CFPtr<CFLocaleRef>(CFLocaleCopyCurrent()));
}

std::unique_ptr<NameCollator> localizedCaseInsensitiveCollator(std::string_view localeName) {
    const auto identifier = cfString(localeName);
    return std::make_unique<CFNameCollator>(
        CFPtr<CFLocaleRef>(identifier ? CFLocaleCreate(nullptr, identifier.get()) : CFLocaleCopyCurrent()));
}

} // namespace kova::platform
