#include "config/DeviceTokenStore.hpp"

#include "core/Strings.hpp"

#include <mutex>

namespace kova {
DeviceTokenStore::DeviceTokenStore(StateLoader stateLoader, StateSaver stateSaver)
    : stateLoader_(stateLoader ? std::move(stateLoader) : StateLoader([] { return ViewerState::load(); })),
      stateSaver_(stateSaver ? std::move(stateSaver) : StateSaver([](const ViewerState& s) { s.save(); })) {}

std::optional<std::string> DeviceTokenStore::load() {
    std::lock_guard lock(stateFileMutex());
    const auto state = stateLoader_();
    if (!state.deviceToken) {
        return std::nullopt;
    }
    auto token = trimmed(*state.deviceToken);
    if (token.empty() || containsControlCharacters(token)) {
        return std::nullopt;
    }
    return token;
}

void DeviceTokenStore::save(const std::string& token) {
    auto value = trimmed(token);
    if (value.empty() || containsControlCharacters(value)) {
        return;
    }
    std::lock_guard lock(stateFileMutex());
    auto state = stateLoader_();
    state.deviceToken = std::move(value);
    stateSaver_(state);
}

void DeviceTokenStore::clear() {
    std::lock_guard lock(stateFileMutex());
    auto state = stateLoader_();
    state.deviceToken.reset();
    stateSaver_(state);
}

} // namespace kova
