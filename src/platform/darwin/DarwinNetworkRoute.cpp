#include "platform/NetworkRoute.hpp"
#include "platform/darwin/CFPtr.hpp"

#include <CFNetwork/CFNetwork.h>
#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>
#include <SystemConfiguration/SystemConfiguration.h>

#include <cstdint>
#include <cstring>

namespace kova::platform {
namespace {

// PAC files are fetched over the network; a slow one must not hold a
// connection attempt for longer than this.
constexpr CFTimeInterval pacTimeoutSeconds = 10;

CFTypeRef lookup(CFDictionaryRef dictionary, CFStringRef key) {
    return CFDictionaryGetValue(dictionary, key);
}

bool enabled(CFDictionaryRef dictionary, CFStringRef key) {
    return fromCFNumber(lookup(dictionary, key)).value_or(0) != 0;
}

std::optional<Proxy> proxyAt(CFDictionaryRef dictionary, CFStringRef hostKey, CFStringRef portKey,
                             CFStringRef userKey = nullptr, CFStringRef passwordKey = nullptr) {
    auto host = fromCFString(lookup(dictionary, hostKey));
    if (!host || host->empty()) {
        return std::nullopt;
    }
    Proxy proxy;
    if (host->size() > 2 && host->front() == '[' && host->back() == ']') {
        *host = host->substr(1, host->size() - 2);
    }
    proxy.host = *host;
    const auto port = fromCFNumber(lookup(dictionary, portKey)).value_or(80);
    proxy.port = port > 0 && port <= 65535 ? static_cast<std::uint16_t>(port) : 80;
    if (userKey != nullptr) {
        proxy.user = fromCFString(lookup(dictionary, userKey));
    }
    if (passwordKey != nullptr) {
        proxy.password = fromCFString(lookup(dictionary, passwordKey));
    }
    return proxy;
}

ManualProxySettings manualSettings(CFDictionaryRef proxies) {
    ManualProxySettings settings;
    if (enabled(proxies, kSCPropNetProxiesHTTPEnable)) {
        settings.httpProxy = proxyAt(proxies, kSCPropNetProxiesHTTPProxy, kSCPropNetProxiesHTTPPort);
    }
    if (enabled(proxies, kSCPropNetProxiesHTTPSEnable)) {
        settings.httpsProxy = proxyAt(proxies, kSCPropNetProxiesHTTPSProxy, kSCPropNetProxiesHTTPSPort);
    }
    const auto exceptions = lookup(proxies, kSCPropNetProxiesExceptionsList);
    if (exceptions != nullptr && CFGetTypeID(exceptions) == CFArrayGetTypeID()) {
        const auto list = static_cast<CFArrayRef>(exceptions);
        for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
            if (auto entry = fromCFString(CFArrayGetValueAtIndex(list, i))) {
                settings.exceptions.push_back(std::move(*entry));
            }
        }
    }
    settings.excludeSimpleHostnames = enabled(proxies, kSCPropNetProxiesExcludeSimpleHostnames);
    return settings;
}

// What a PAC answer says: direct, a proxy, or nothing usable (only SOCKS or
// FTP entries, which the HTTP tunnels here cannot speak).
struct PacChoice {
    bool decided = false;
    std::optional<Proxy> proxy;
};

PacChoice firstUsable(CFArrayRef list) {
    for (CFIndex i = 0; list != nullptr && i < CFArrayGetCount(list); ++i) {
        const auto entry = CFArrayGetValueAtIndex(list, i);
        if (entry == nullptr || CFGetTypeID(entry) != CFDictionaryGetTypeID()) {
            continue;
        }
        const auto dictionary = static_cast<CFDictionaryRef>(entry);
        const auto type = lookup(dictionary, kCFProxyTypeKey);
        if (type == nullptr) {
            continue;
        }
        if (CFEqual(type, kCFProxyTypeNone)) {
            return {true, std::nullopt};
        }
        if (CFEqual(type, kCFProxyTypeHTTP) || CFEqual(type, kCFProxyTypeHTTPS)) {
            if (auto proxy = proxyAt(dictionary, kCFProxyHostNameKey, kCFProxyPortNumberKey,
                                     kCFProxyUsernameKey, kCFProxyPasswordKey)) {
                return {true, std::move(proxy)};
            }
        }
    }
    return {};
}

struct PacWait {
    CFArrayRef proxies = nullptr; // retained by the callback
    bool done = false;
};

void onPacResult(void* client, CFArrayRef proxies, CFErrorRef error) {
    auto* wait = static_cast<PacWait*>(client);
    if (error == nullptr && proxies != nullptr) {
        wait->proxies = static_cast<CFArrayRef>(CFRetain(proxies));
    }
    wait->done = true;
    CFRunLoopStop(CFRunLoopGetCurrent());
}

// Fetches and runs the PAC file on this thread's run loop, in a private
// mode so no other source of the thread runs meanwhile.
CFPtr<CFArrayRef> runPacFile(CFURLRef pacUrl, CFURLRef target) {
    PacWait wait;
    CFStreamClientContext context{0, &wait, nullptr, nullptr, nullptr};
    CFPtr<CFRunLoopSourceRef> source(
        CFNetworkExecuteProxyAutoConfigurationURL(pacUrl, target, onPacResult, &context));
    if (!source) {
        return nullptr;
    }
    const CFStringRef mode = CFSTR("pl.tarnvik.sekwo.proxy-auto-configuration");
    const CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, source.get(), mode);
    const CFAbsoluteTime deadline = CFAbsoluteTimeGetCurrent() + pacTimeoutSeconds;
    while (!wait.done) {
        const CFTimeInterval left = deadline - CFAbsoluteTimeGetCurrent();
        if (left <= 0 || CFRunLoopRunInMode(mode, left, false) == kCFRunLoopRunFinished) {
            break;
        }
    }
    CFRunLoopRemoveSource(loop, source.get(), mode);
    // After this the callback can no longer run with a pointer to `wait`.
    CFRunLoopSourceInvalidate(source.get());
    return CFPtr<CFArrayRef>(wait.proxies);
}

CFPtr<CFURLRef> cfUrl(const std::string& url) {
    return CFPtr<CFURLRef>(CFURLCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(url.data()),
                                                static_cast<CFIndex>(url.size()), kCFStringEncodingUTF8,
                                                nullptr));
}

// The automatic configuration's answer; undecided when there is none, the
// script fails, or it names nothing usable (then the manual settings apply).
PacChoice automaticChoice(CFDictionaryRef proxies, std::string_view url, const UrlTarget& target) {
    if (!enabled(proxies, kSCPropNetProxiesProxyAutoConfigEnable)) {
        return {};
    }
    // The proxy of a WebSocket is that of the same URL over HTTP(S).
    std::string asHttp(url);
    if (target.scheme == "wss" || target.scheme == "ws") {
        asHttp = (target.scheme == "wss" ? "https" : "http") + asHttp.substr(asHttp.find(':'));
    }
    const auto targetUrl = cfUrl(asHttp);
    if (!targetUrl) {
        return {};
    }
    const auto script = lookup(proxies, kSCPropNetProxiesProxyAutoConfigJavaScript);
    if (script != nullptr && CFGetTypeID(script) == CFStringGetTypeID()) {
        CFErrorRef errorRaw = nullptr;
        CFPtr<CFArrayRef> list(CFNetworkCopyProxiesForAutoConfigurationScript(
            static_cast<CFStringRef>(script), targetUrl.get(), &errorRaw));
        CFPtr<CFErrorRef> error(errorRaw);
        return error ? PacChoice{} : firstUsable(list.get());
    }
    const auto pacText = fromCFString(lookup(proxies, kSCPropNetProxiesProxyAutoConfigURLString));
    if (!pacText || pacText->empty()) {
        return {};
    }
    const auto pacUrl = cfUrl(*pacText);
    if (!pacUrl) {
        return {};
    }
    const auto list = runPacFile(pacUrl.get(), targetUrl.get());
    return firstUsable(list.get());
}

enum class Verdict { trusted, denied, unspecified };

// An administrator's (or a device-management profile's) trust settings for
// TLS servers: an empty list means "trusted as a root for everything".
Verdict adminVerdict(SecCertificateRef certificate) {
    CFArrayRef settingsRaw = nullptr;
    if (SecTrustSettingsCopyTrustSettings(certificate, kSecTrustSettingsDomainAdmin, &settingsRaw) !=
        errSecSuccess) {
        return Verdict::unspecified;
    }
    CFPtr<CFArrayRef> settings(settingsRaw);
    if (!settings || CFArrayGetCount(settings.get()) == 0) {
        return Verdict::trusted;
    }
    for (CFIndex i = 0; i < CFArrayGetCount(settings.get()); ++i) {
        const auto entry = CFArrayGetValueAtIndex(settings.get(), i);
        if (entry == nullptr || CFGetTypeID(entry) != CFDictionaryGetTypeID()) {
            continue;
        }
        const auto dictionary = static_cast<CFDictionaryRef>(entry);
        if (const auto policy = lookup(dictionary, kSecTrustSettingsPolicy); policy != nullptr) {
            CFPtr<CFDictionaryRef> properties(
                SecPolicyCopyProperties(static_cast<SecPolicyRef>(const_cast<void*>(policy))));
            const auto oid = properties ? lookup(properties.get(), kSecPolicyOid) : nullptr;
            if (oid == nullptr || !CFEqual(oid, kSecPolicyAppleSSL)) {
                continue;
            }
        }
        const auto result = fromCFNumber(lookup(dictionary, kSecTrustSettingsResult))
                                .value_or(kSecTrustSettingsResultTrustRoot);
        if (result == kSecTrustSettingsResultDeny) {
            return Verdict::denied;
        }
        if (result == kSecTrustSettingsResultTrustRoot || result == kSecTrustSettingsResultTrustAsRoot) {
            return Verdict::trusted;
        }
    }
    return Verdict::unspecified;
}

// The Mac's own network view: System Settings' proxies (manual, exceptions,
// automatic configuration) and the keychain's roots.
class DarwinNetworkRoute final : public NetworkRoute {
public:
    std::optional<Proxy> proxyFor(std::string_view url) const override {
        const auto target = parseUrlTarget(url);
        if (!target) {
            return std::nullopt;
        }
        CFPtr<CFDictionaryRef> proxies(SCDynamicStoreCopyProxies(nullptr));
        if (!proxies) {
            return std::nullopt;
        }
        const auto manual = manualSettings(proxies.get());
        if (bypassesManualProxy(manual, *target)) {
            return std::nullopt;
        }
        if (auto automatic = automaticChoice(proxies.get(), url, *target); automatic.decided) {
            return std::move(automatic.proxy);
        }
        return manualProxyFor(manual, *target);
    }

    // The system roots plus what an administrator or a profile trusts in the
    // admin domain, less what it denies. A failure yields no anchors at all,
    // so nothing verifies rather than something unintended.
    std::optional<std::string> trustAnchorsPem() const override {
        CFArrayRef anchorsRaw = nullptr;
        if (SecTrustCopyAnchorCertificates(&anchorsRaw) != errSecSuccess || anchorsRaw == nullptr) {
            return std::string();
        }
        CFPtr<CFArrayRef> anchors(anchorsRaw);
        CFPtr<CFMutableArrayRef> all(CFArrayCreateMutableCopy(nullptr, 0, anchors.get()));
        CFArrayRef adminRaw = nullptr;
        if (SecTrustSettingsCopyCertificates(kSecTrustSettingsDomainAdmin, &adminRaw) == errSecSuccess &&
            adminRaw != nullptr) {
            CFPtr<CFArrayRef> admin(adminRaw);
            for (CFIndex i = 0; i < CFArrayGetCount(admin.get()); ++i) {
                auto certificate =
                    static_cast<SecCertificateRef>(const_cast<void*>(CFArrayGetValueAtIndex(admin.get(), i)));
                const CFRange range = CFRangeMake(0, CFArrayGetCount(all.get()));
                const CFIndex at = CFArrayGetFirstIndexOfValue(all.get(), range, certificate);
                switch (adminVerdict(certificate)) {
                case Verdict::trusted:
                    if (at == kCFNotFound) {
                        CFArrayAppendValue(all.get(), certificate);
                    }
                    break;
                case Verdict::denied:
                    if (at != kCFNotFound) {
                        CFArrayRemoveValueAtIndex(all.get(), at);
                    }
                    break;
                case Verdict::unspecified:
                    break;
                }
            }
        }
        CFDataRef pemRaw = nullptr;
        if (SecItemExport(all.get(), kSecFormatPEMSequence, 0, nullptr, &pemRaw) != errSecSuccess ||
            pemRaw == nullptr) {
            return std::string();
        }
        CFPtr<CFDataRef> pem(pemRaw);
        return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(pem.get())),
                           static_cast<std::size_t>(CFDataGetLength(pem.get())));
    }
};

} // namespace

std::shared_ptr<const NetworkRoute> systemNetworkRoute() {
    static const auto route = std::make_shared<const DarwinNetworkRoute>();
    return route;
}

} // namespace kova::platform
