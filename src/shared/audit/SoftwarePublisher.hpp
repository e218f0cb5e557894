#pragma once

#include <optional>
#include <string>
#include <string_view>

// The rules that turn what an application says about itself (copyright
// texts, Spotlight metadata, its code signature, its bundle identifier) into
// a clean company name. All pure.
namespace kova::audit {

using OptionalText = std::optional<std::string>;

// "Copyright © 2024 Example Corp. All rights reserved." -> "Example Corp".
OptionalText companyNameFromCopyright(const OptionalText& text);
// Collapses line breaks and tabs, trims punctuation, rejects placeholders and
// keeps at most 255 characters.
OptionalText normalizedCompanyName(const OptionalText& text);
// One line of `mdls -raw` output, with its list and quoting syntax removed.
OptionalText cleanSpotlightValue(const OptionalText& line);
// "Developer ID Application: Example Corp (AB12CD34EF)" -> "Example Corp".
OptionalText companyNameFromSigningAuthority(const OptionalText& authority);
// A known vendor of the identifier, or its organisation label capitalised.
OptionalText publisherFromBundleIdentifier(const OptionalText& identifier);

// The first usable author or copyright in
// `mdls -raw -name kMDItemAuthors -name kMDItemCopyright <bundle>` output.
OptionalText parseSpotlightPublisher(std::string_view mdlsOutput);
// The first usable signing authority in `codesign -dv --verbose=4` output;
// Apple's own authorities count only for Apple's own bundles.
OptionalText parseCodeSignaturePublisher(std::string_view codesignOutput,
                                         const OptionalText& bundleIdentifier);

} // namespace kova::audit
