#include "platform/NetworkRoute.hpp"

#include <boost/url/ipv4_address.hpp>
#include <boost/url/ipv6_address.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace kova::platform {
namespace {

constexpr std::string_view blank = " \t\r\n\v\f";
constexpr std::uint16_t defaultProxyPort = 1080;

std::string trimmed(std::string_view text) {
    const auto begin = text.find_first_not_of(blank);
    if (begin == std::string_view::npos) {
        return {};
    }
    return std::string(text.substr(begin, text.find_last_not_of(blank) - begin + 1));
}

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::optional<std::uint16_t> portNumber(std::string_view text) {
    unsigned value = 0;
    const auto* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || at != end || value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// 4 or 16 bytes of an address literal; empty when the text is none.
std::vector<unsigned char> addressBytes(std::string_view text) {
    if (const auto v4 = boost::urls::parse_ipv4_address(text)) {
        const auto bytes = v4->to_bytes();
        return {bytes.begin(), bytes.end()};
    }
    if (const auto v6 = boost::urls::parse_ipv6_address(text)) {
        const auto bytes = v6->to_bytes();
        return {bytes.begin(), bytes.end()};
    }
    return {};
}

bool prefixMatches(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b, unsigned bits) {
    if (a.size() != b.size() || bits > a.size() * 8) {
        return false;
    }
    for (std::size_t i = 0; bits > 0; ++i) {
        const unsigned take = std::min(bits, 8u);
        const auto mask = static_cast<unsigned char>(0xFF << (8 - take));
        if ((a[i] & mask) != (b[i] & mask)) {
            return false;
        }
        bits -= take;
    }
    return true;
}

// "169.254" -> "169.254.0.0": the Mac's exceptions shorten IPv4 blocks so.
std::string paddedIpv4(std::string_view text) {
    std::string out(text);
    if (out.find(':') != std::string::npos || out.empty() || !std::all_of(out.begin(), out.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) || c == '.';
        })) {
        return out;
    }
    for (auto dots = std::count(out.begin(), out.end(), '.'); dots < 3; ++dots) {
        out += ".0";
    }
    return out;
}

bool entryMatches(std::string entry, const UrlTarget& target) {
    if (entry == "*") {
        return true;
    }
    // An optional port: "host:port", "[v6]:port"; a bare IPv6 address has
    // more than one colon and no port.
    std::optional<std::uint16_t> port;
    if (entry.starts_with('[')) {
        const auto close = entry.find(']');
        if (close == std::string::npos) {
            return false;
        }
        const std::string rest = entry.substr(close + 1);
        if (!rest.empty() &&
            (!rest.starts_with(':') || !(port = portNumber(std::string_view(rest).substr(1))))) {
            return false;
        }
        entry = entry.substr(1, close - 1);
    } else if (std::count(entry.begin(), entry.end(), ':') == 1) {
        const auto colon = entry.find(':');
        if (!(port = portNumber(std::string_view(entry).substr(colon + 1)))) {
            return false;
        }
        entry.resize(colon);
    }
    if (port && *port != target.port) {
        return false;
    }
    const auto targetAddress = addressBytes(target.host);
    if (const auto slash = entry.find('/'); slash != std::string::npos) {
        const auto block = addressBytes(paddedIpv4(std::string_view(entry).substr(0, slash)));
        unsigned bits = 0;
        const auto bitsText = std::string_view(entry).substr(slash + 1);
        const auto [at, ec] = std::from_chars(bitsText.data(), bitsText.data() + bitsText.size(), bits);
        if (block.empty() || ec != std::errc() || at != bitsText.data() + bitsText.size()) {
            return false;
        }
        return prefixMatches(targetAddress, block, bits);
    }
    if (const auto address = addressBytes(entry); !address.empty()) {
        return address == targetAddress;
    }
    if (entry.starts_with("*.")) {
        entry.erase(0, 2);
    } else if (entry.starts_with('.')) {
        entry.erase(0, 1);
    }
    while (entry.ends_with('.')) {
        entry.pop_back();
    }
    if (entry.empty() || !targetAddress.empty()) {
        return false;
    }
    return target.host == entry || (target.host.size() > entry.size() && target.host.ends_with(entry) &&
                                    target.host[target.host.size() - entry.size() - 1] == '.');
}

std::string percentEncodedCredential(std::string_view text) {
    boost::urls::url scratch;
    scratch.set_user(text);
    return std::string(scratch.encoded_user());
}

} // namespace

std::string endpointText(std::string_view host, std::uint16_t port) {
    const bool v6 = host.find(':') != std::string_view::npos;
    return (v6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + std::to_string(port);
}

std::string Proxy::endpoint() const {
    return endpointText(host, port);
}

std::string Proxy::url() const {
    return "http://" + endpoint();
}

std::string Proxy::urlWithCredentials() const {
    if (!user && !password) {
        return url();
    }
    std::string userinfo = percentEncodedCredential(user.value_or(""));
    if (password) {
        userinfo += ":" + percentEncodedCredential(*password);
    }
    return "http://" + userinfo + "@" + endpoint();
}

std::optional<UrlTarget> parseUrlTarget(std::string_view text) {
    const auto value = trimmed(text); // the parsed view points into it
    const auto parsed = boost::urls::parse_uri(value);
    if (!parsed || parsed->host_address().empty()) {
        return std::nullopt;
    }
    UrlTarget target;
    target.scheme = lowered(parsed->scheme());
    target.host = lowered(parsed->host_address());
    while (target.host.ends_with('.')) {
        target.host.pop_back();
    }
    if (parsed->has_port() && !parsed->port().empty()) {
        if (parsed->port_number() == 0) {
            return std::nullopt;
        }
        target.port = parsed->port_number();
    } else if (target.scheme == "https" || target.scheme == "wss") {
        target.port = 443;
    } else if (target.scheme == "http" || target.scheme == "ws") {
        target.port = 80;
    } else {
        return std::nullopt;
    }
    return target;
}

Proxy parseProxyUrl(std::string_view text, std::string_view settingName) {
    auto value = trimmed(text);
    if (value.find("://") == std::string::npos) {
        value = "http://" + value;
    }
    const auto invalid = [&] {
        return ProxySettingError("The proxy setting " + std::string(settingName) +
                                 " is not a valid proxy URL.");
    };
    const auto parsed = boost::urls::parse_uri(value);
    if (!parsed) {
        throw invalid();
    }
    const auto scheme = lowered(parsed->scheme());
    if (scheme != "http") {
        // Only the scheme is repeated: it carries no secret.
        throw ProxySettingError("The proxy setting " + std::string(settingName) + " names a " + scheme +
                                " proxy; only HTTP proxies are supported.");
    }
    Proxy proxy;
    switch (parsed->host_type()) {
    case boost::urls::host_type::name:
    case boost::urls::host_type::ipv4:
    case boost::urls::host_type::ipv6:
        proxy.host = lowered(parsed->host_address());
        break;
    default:
        throw invalid();
    }
    if (proxy.host.empty() || !std::all_of(proxy.host.begin(), proxy.host.end(), [](unsigned char c) {
            return std::isalnum(c) != 0 || c == '.' || c == '-' || c == '_' || c == ':';
        })) {
        throw invalid();
    }
    proxy.port = defaultProxyPort;
    if (parsed->has_port() && !parsed->port().empty()) {
        if (parsed->port_number() == 0) {
            throw invalid();
        }
        proxy.port = parsed->port_number();
    }
    if (parsed->has_userinfo()) {
        auto user = parsed->user();
        if (!user.empty() || parsed->has_password()) {
            proxy.user = std::move(user);
        }
        if (parsed->has_password()) {
            proxy.password = parsed->password();
        }
    }
    return proxy;
}

bool bypassListMatches(std::string_view list, const UrlTarget& target) {
    std::size_t at = 0;
    while (at < list.size()) {
        const auto end = list.find_first_of(std::string_view(", \t\r\n"), at);
        const auto entry = lowered(trimmed(list.substr(at, end == std::string_view::npos ? end : end - at)));
        if (!entry.empty() && entryMatches(entry, target)) {
            return true;
        }
        if (end == std::string_view::npos) {
            break;
        }
        at = end + 1;
    }
    return false;
}

EnvironmentNetworkRoute::EnvironmentNetworkRoute(Lookup lookup) : lookup_(std::move(lookup)) {}

std::optional<Proxy> EnvironmentNetworkRoute::proxyFor(std::string_view url) const {
    const auto target = parseUrlTarget(url);
    if (!target) {
        return std::nullopt;
    }
    const bool secure = target->scheme == "https" || target->scheme == "wss";
    const bool plain = target->scheme == "http" || target->scheme == "ws";
    if (!secure && !plain) {
        return std::nullopt;
    }
    auto noProxy = lookup_("no_proxy");
    if (!noProxy) {
        noProxy = lookup_("NO_PROXY");
    }
    if (noProxy && bypassListMatches(*noProxy, *target)) {
        return std::nullopt;
    }
    static constexpr std::array<const char*, 4> secureNames{"https_proxy", "HTTPS_PROXY", "all_proxy",
                                                            "ALL_PROXY"};
    static constexpr std::array<const char*, 3> plainNames{"http_proxy", "all_proxy", "ALL_PROXY"};
    const auto tryNames = [&](const auto& names) -> std::optional<Proxy> {
        for (const char* name : names) {
            if (const auto value = lookup_(name); value && !trimmed(*value).empty()) {
                return parseProxyUrl(*value, name);
            }
        }
        return std::nullopt;
    };
    return secure ? tryNames(secureNames) : tryNames(plainNames);
}

bool bypassesManualProxy(const ManualProxySettings& settings, const UrlTarget& target) {
    if (settings.excludeSimpleHostnames && target.host.find('.') == std::string::npos &&
        target.host.find(':') == std::string::npos) {
        return true;
    }
    return std::any_of(settings.exceptions.begin(), settings.exceptions.end(),
                       [&](const std::string& entry) { return bypassListMatches(entry, target); });
}

std::optional<Proxy> manualProxyFor(const ManualProxySettings& settings, const UrlTarget& target) {
    if (bypassesManualProxy(settings, target)) {
        return std::nullopt;
    }
    if (target.scheme == "https" || target.scheme == "wss") {
        return settings.httpsProxy;
    }
    if (target.scheme == "http" || target.scheme == "ws") {
        return settings.httpProxy;
    }
    return std::nullopt;
}

} // namespace kova::platform
