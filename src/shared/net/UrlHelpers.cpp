#include "net/UrlHelpers.hpp"

#include <boost/url/encode.hpp>
#include <boost/url/grammar/lut_chars.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/rfc/pchars.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>

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

} // namespace kova::url
