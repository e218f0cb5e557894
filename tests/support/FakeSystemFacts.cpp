#include "support/FakeSystemFacts.hpp"

namespace kova::test {

void FakeSystemFacts::loadSysctlText(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const auto line = text.substr(start, end - start);
        start = end + 1;
        const auto colon = line.find(": ");
        if (colon != std::string_view::npos) {
            sysctls[std::string(line.substr(0, colon))] = std::string(line.substr(colon + 2));
        }
    }
}

FakeSystemFacts FakeSystemFacts::empty() {
    FakeSystemFacts facts;
    facts.localizedName.reset();
    facts.hostName.clear();
    facts.console.reset();
    facts.consoleUid.reset();
    facts.processUser = "root";
    facts.processHome.reset();
    facts.version = {};
    facts.versionString.clear();
    facts.processors = 1;
    facts.activeProcessors = 1;
    facts.memoryBytes = 0;
    facts.uptime = 0;
    facts.loads.clear();
    facts.volumes.reset();
    facts.addresses.reset();
    return facts;
}

std::optional<std::string> FakeSystemFacts::sysctlString(std::string_view name) const {
    const auto it = sysctls.find(name);
    if (it == sysctls.end()) {
        return std::nullopt;
    }
    return it->second;
}

} // namespace kova::test
