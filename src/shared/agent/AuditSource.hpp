#pragma once

#include "audit/MacAuditCollector.hpp"
#include "config/ViewerSettings.hpp"
#include "config/ViewerState.hpp"
#include "core/Json.hpp"
#include "core/Stop.hpp"

#include <memory>
#include <optional>
#include <string>

namespace kova {

// What the agent service needs from the audit collector; tests substitute it.
class AuditSource {
public:
    virtual ~AuditSource() = default;
    virtual Json collect(StopToken stop) = 0;
    virtual Json heartbeatPayload(const ViewerState& state, StopToken stop) = 0;
    // Cheap: must not run the full audit.
    virtual AuditIdentityFacts identityFacts(StopToken stop) = 0;
    // The operating system's localised host name, if it has one.
    virtual std::optional<std::string> localizedHostName() = 0;
};

// The product's source: MacAuditCollector over the system's tools and facts.
std::shared_ptr<AuditSource> makeDefaultAuditSource(const ViewerSettings& settings);

} // namespace kova
