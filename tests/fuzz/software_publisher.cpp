// What an application says about its maker: `mdls` and `codesign` output,
// copyright texts and bundle identifiers.
#include "FuzzSupport.hpp"

#include "audit/SoftwarePublisher.hpp"
#include "core/Unicode.hpp"

using namespace kova;

namespace {

void requireCleanName(const audit::OptionalText& name) {
    if (!name) {
        return;
    }
    KOVA_FUZZ_REQUIRE(!name->empty() && name->find_first_of("\r\n\t") == std::string::npos);
    KOVA_FUZZ_REQUIRE(graphemeCount(*name) <= 255);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(fuzz::text(data, size));
    requireCleanName(audit::parseSpotlightPublisher(text));
    requireCleanName(audit::parseCodeSignaturePublisher(text, std::nullopt));
    requireCleanName(audit::parseCodeSignaturePublisher(text, std::string("com.apple.Safari")));
    requireCleanName(audit::companyNameFromCopyright(text));
    requireCleanName(audit::normalizedCompanyName(text));
    requireCleanName(audit::cleanSpotlightValue(text));
    requireCleanName(audit::companyNameFromSigningAuthority(text));
    audit::publisherFromBundleIdentifier(text);
    return 0;
}
