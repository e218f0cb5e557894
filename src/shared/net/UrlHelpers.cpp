#include "net/UrlHelpers.hpp"

#include <boost/url/encode.hpp>
#include <boost/url/grammar/lut_chars.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/rfc/pchars.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>
#include <boost/url/url.hpp>

namespace kova::url {
namespace {

namespace bu = boost::urls;

constexpr bu::grammar::lut_chars pathChars = bu::pchars + '/';
constexpr bu::grammar::lut_chars segmentChars = bu::pchars;
constexpr bu::grammar::lut_chars queryValueChars = (bu::pchars + '/' + '?') - '&' - '=' - '+';

std::string encodeWith(std::string_view text, const bu::grammar::lut_chars& allowed) {
    return bu::encode(text, allowed);
}

} // namespace

std::string encodePath(std::string_view text) {
    return encodeWith(text, pathChars);
}
std::string encodeQueryValue(std::string_view text) {
    return encodeWith(text, queryValueChars);
}
std::string encodePathSegment(std::string_view text) {
    return encodeWith(text, segmentChars);
}

bool isValidAbsoluteUrl(std::string_view text) {
    auto parsed = bu::parse_uri(text);
    return parsed.has_value();
}

std::string forLog(std::string_view text) {
    constexpr std::string_view hidden = "***";
    const auto parsed = bu::parse_uri_reference(text);
    if (!parsed) {
        return std::string(text.substr(0, text.find_first_of("?#")));
    }
    bu::url u(*parsed);
    if (u.has_password()) {
        u.set_encoded_password(hidden);
    }
    if (u.has_query()) {
        std::string query;
        for (const auto param : u.encoded_params()) {
            if (!query.empty()) {
                query += '&';
            }
            if (param.has_value) {
                query.append(param.key.data(), param.key.size());
                query += '=';
            }
            query += hidden;
        }
        u.set_encoded_query(query);
    }
    u.remove_fragment();
    return std::string(u.buffer());
}

} // namespace kova::url
