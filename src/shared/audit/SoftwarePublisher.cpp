#include "audit/SoftwarePublisher.hpp"

#include "core/Strings.hpp"
#include "core/Unicode.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>
#include <vector>

namespace kova::audit {
namespace {

constexpr std::size_t maximumPublisherLength = 255;

void removeAll(std::string& text, std::string_view needle, bool ignoringCase) {
    if (needle.empty()) {
        return;
    }
    const std::string lowerNeedle = asciiLowercased(needle);
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::string_view rest = std::string_view(text).substr(i, needle.size());
        const bool match = rest.size() == needle.size() &&
                           (ignoringCase ? asciiLowercased(rest) == lowerNeedle : rest == needle);
        if (match) {
            i += needle.size();
        } else {
            out.push_back(text[i]);
            ++i;
        }
    }
    text = std::move(out);
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (std::string_view(text).substr(i).starts_with(from)) {
            out += to;
            i += from.size();
        } else {
            out.push_back(text[i]);
            ++i;
        }
    }
    text = std::move(out);
}

std::string_view trimCharacters(std::string_view text, std::string_view characters) {
    const auto begin = text.find_first_not_of(characters);
    if (begin == std::string_view::npos) {
        return {};
    }
    return text.substr(begin, text.find_last_not_of(characters) - begin + 1);
}

std::vector<std::string_view> split(std::string_view text, std::string_view separators) {
    std::vector<std::string_view> pieces;
    std::size_t i = 0;
    while (i <= text.size()) {
        const auto next = text.find_first_of(separators, i);
        const auto end = next == std::string_view::npos ? text.size() : next;
        if (end > i) {
            pieces.push_back(text.substr(i, end - i));
        }
        i = end + 1;
    }
    return pieces;
}

bool isYear(std::string_view word) {
    const auto core = trimCharacters(word, ".,;:-/()[]{}");
    if (core.size() != 4) {
        return false;
    }
    for (char c : core) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// mdls -raw separates the requested attributes with NUL characters.
constexpr std::string_view lineBreaks{"\n\r\0", 3};

} // namespace

OptionalText companyNameFromCopyright(const OptionalText& text) {
    if (!text || trimmed(*text).empty()) {
        return std::nullopt;
    }
    std::string cleaned = *text;
    removeAll(cleaned, "Copyright", true);
    removeAll(cleaned, "All rights reserved", true);
    for (std::string_view mark : {"\xC2\xA9", "\xC2\xAE", "\xE2\x84\xA2"}) { // © ® ™
        removeAll(cleaned, mark, false);
    }
    removeAll(cleaned, "(c)", true);
    std::string kept;
    for (const auto word : split(cleaned, " ")) {
        if (isYear(word)) {
            continue;
        }
        if (!kept.empty()) {
            kept += ' ';
        }
        kept += word;
    }
    return normalizedCompanyName(kept);
}

OptionalText normalizedCompanyName(const OptionalText& text) {
    if (!text || trimmed(*text).empty()) {
        return std::nullopt;
    }
    std::string name = *text;
    for (auto& c : name) {
        if (c == '\n' || c == '\r' || c == '\t') {
            c = ' ';
        }
    }
    replaceAll(name, "  ", " ");
    std::string result(trimCharacters(name, " .,:;-_\"'()[]{}"));
    // The trim above has already stripped the parentheses of "(null)".
    if (result.empty() || result == "(null)" || result == "<null>" || equalsIgnoringCase(result, "null") ||
        equalsIgnoringCase(result, "unknown")) {
        return std::nullopt;
    }
    if (graphemeCount(result) > maximumPublisherLength) {
        result.resize(graphemePrefixLength(result, maximumPublisherLength));
    }
    return result;
}

OptionalText cleanSpotlightValue(const OptionalText& line) {
    if (!line) {
        return std::nullopt;
    }
    std::string value = trimmed(*line);
    if (value.empty() || value == "(null)" || value == "null" || value == "<null>") {
        return std::nullopt;
    }
    replaceAll(value, "\\n", " ");
    replaceAll(value, "\\\"", "\"");
    constexpr std::string_view listSyntax = "\"()[]{} ";
    std::string candidate(trimCharacters(value, listSyntax));
    if (candidate.find(',') != std::string::npos) {
        for (const auto piece : split(candidate, ",")) {
            const auto cleanPiece = trimCharacters(piece, listSyntax);
            if (!cleanPiece.empty()) {
                candidate = std::string(cleanPiece);
                break;
            }
        }
    }
    if (auto company = companyNameFromCopyright(candidate)) {
        return company;
    }
    return normalizedCompanyName(candidate);
}

OptionalText companyNameFromSigningAuthority(const OptionalText& authority) {
    if (!authority) {
        return std::nullopt;
    }
    static constexpr std::array<std::string_view, 5> prefixes = {
        "Developer ID Application:", "3rd Party Mac Developer Application:", "Apple Distribution:",
        "Developer ID Installer:", "Mac Developer:"};
    std::string_view text = *authority;
    for (const auto prefix : prefixes) {
        if (text.starts_with(prefix)) {
            text.remove_prefix(prefix.size());
            break;
        }
    }
    if (const auto team = text.rfind(" ("); team != std::string_view::npos) {
        text = text.substr(0, team);
    }
    return normalizedCompanyName(std::string(text));
}

OptionalText publisherFromBundleIdentifier(const OptionalText& identifier) {
    if (!identifier) {
        return std::nullopt;
    }
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 18> vendors = {{
        {"com.apple.", "Apple Inc."},
        {"com.microsoft.", "Microsoft Corporation"},
        {"com.google.", "Google LLC"},
        {"com.adobe.", "Adobe Inc."},
        {"org.mozilla.", "Mozilla"},
        {"com.teamviewer.", "TeamViewer Germany GmbH"},
        {"com.synology.", "Synology Inc."},
        {"com.elgato.", "Elgato"},
        {"com.parallels.", "Parallels International GmbH"},
        {"com.vmware.", "VMware"},
        {"com.jetbrains.", "JetBrains"},
        {"com.docker.", "Docker Inc."},
        {"com.spotify.", "Spotify"},
        {"us.zoom.", "Zoom Video Communications"},
        {"com.rustdesk.", "RustDesk"},
        {"com.figma.", "Figma"},
        {"com.getdropbox.", "Dropbox"},
        {"com.valvesoftware.", "Valve Corporation"},
    }};
    static constexpr std::array<std::string_view, 10> genericLabels = {"com", "org", "net", "io", "pl",
                                                                       "de",  "fr",  "es",  "jp", "uk"};
    const std::string lower = asciiLowercased(*identifier);
    for (const auto& [prefix, vendor] : vendors) {
        if (lower.starts_with(prefix)) {
            return std::string(vendor);
        }
    }
    const auto labels = split(lower, ".");
    if (labels.size() < 2) {
        return std::nullopt;
    }
    const bool generic =
        std::find(genericLabels.begin(), genericLabels.end(), labels[0]) != genericLabels.end();
    const auto candidate = generic ? labels[1] : labels[0];
    if (candidate == "apple") {
        return "Apple Inc.";
    }
    if (graphemeCount(candidate) <= 2) {
        return std::nullopt;
    }
    std::string name;
    for (const auto piece : split(candidate, "-")) {
        if (!name.empty()) {
            name += ' ';
        }
        std::string word(piece);
        word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
        name += word;
    }
    return name.empty() ? std::nullopt : OptionalText(name);
}

OptionalText parseSpotlightPublisher(std::string_view mdlsOutput) {
    for (const auto line : split(mdlsOutput, lineBreaks)) {
        if (auto value = cleanSpotlightValue(std::string(line))) {
            return value;
        }
    }
    return std::nullopt;
}

OptionalText parseCodeSignaturePublisher(std::string_view codesignOutput,
                                         const OptionalText& bundleIdentifier) {
    constexpr std::string_view marker = "Authority=";
    for (const auto rawLine : split(codesignOutput, lineBreaks)) {
        const std::string line = trimmed(rawLine);
        if (!line.starts_with(marker)) {
            continue;
        }
        const std::string authority = line.substr(marker.size());
        if (authority.starts_with("Apple ")) {
            if (bundleIdentifier && bundleIdentifier->starts_with("com.apple.")) {
                return "Apple Inc.";
            }
            continue;
        }
        if (auto company = companyNameFromSigningAuthority(authority)) {
            return company;
        }
    }
    return std::nullopt;
}

} // namespace kova::audit
