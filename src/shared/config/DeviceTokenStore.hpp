#pragma once

#include "config/ViewerState.hpp"

#include <functional>
#include <optional>
#include <string>

namespace kova {

// Where the API client keeps the device token the server issued.
class DeviceTokenStoring {
public:
    virtual ~DeviceTokenStoring() = default;
    virtual std::optional<std::string> load() = 0;
    virtual void save(const std::string& token) = 0;
    virtual void clear() = 0;
};

// The token is the `deviceToken` field of the state file: every operation is
// one read-modify-write of that file. Within a process the operations are
// serialised so a concurrent save and clear cannot lose each other's change.
class DeviceTokenStore final : public DeviceTokenStoring {
public:
    using StateLoader = std::function<ViewerState()>;
    using StateSaver = std::function<void(const ViewerState&)>;

    explicit DeviceTokenStore(StateLoader stateLoader = {}, StateSaver stateSaver = {});

    std::optional<std::string> load() override;
    void save(const std::string& token) override;
    void clear() override;

private:
    StateLoader stateLoader_;
    StateSaver stateSaver_;
};

} // namespace kova
