// Property lists (XML or binary) from application bundles and preferences.
#include "FuzzSupport.hpp"

#include "audit/InstalledSoftware.hpp"
#include "audit/PropertyList.hpp"

using namespace kova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto plist = audit::parsePropertyList(fuzz::text(data, size));
    if (!plist) {
        return 0;
    }
    // As JSON it writes and reads back like any other report value. Bytes
    // that are not UTF-8 are replaced on the first write (which may reorder
    // keys), so from the second write on the text is stable.
    const auto written = compactJson(parseJson(compactJson(sanitizeJson(*plist)), "property list"));
    KOVA_FUZZ_REQUIRE(compactJson(parseJson(written, "property list")) == written);
    // An Info.plist names the bundle's publisher.
    std::optional<std::string> identifier;
    if (const auto it = plist->find("CFBundleIdentifier");
        plist->is_object() && it != plist->end() && it->is_string()) {
        identifier = it->get<std::string>();
    }
    audit::localSoftwarePublisher("/Applications/Fuzz.app", *plist, identifier);
    return 0;
}
