#include "agent/AuditSource.hpp"
#include "core/Stop.hpp"
#include "platform/SystemFacts.hpp"

namespace kova {
namespace {

class CollectorAuditSource final : public AuditSource {
public:
    explicit CollectorAuditSource(const ViewerSettings& settings)
        : facts_(platform::systemFacts()), collector_(settings, systemProcessRunner(), facts_) {}

    Json collect(StopToken stop) override { return collector_.collect(stop); }
    Json heartbeatPayload(const ViewerState& state, StopToken stop) override {
        return collector_.heartbeatPayload(state, stop);
    }
    AuditIdentityFacts identityFacts(StopToken stop) override { return collector_.identityFacts(stop); }
    std::optional<std::string> localizedHostName() override { return facts_->localizedHostName(); }

private:
    std::shared_ptr<platform::SystemFacts> facts_;
    MacAuditCollector collector_;
};

} // namespace

std::shared_ptr<AuditSource> makeDefaultAuditSource(const ViewerSettings& settings) {
    return std::make_shared<CollectorAuditSource>(settings);
}

} // namespace kova
