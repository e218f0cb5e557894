#include "audit/MacAuditCollector.hpp"

namespace kova {

// Kept in its own file so that code built with injected collaborators (tests,
// benchmarks) does not need the system process runner linked in.
MacAuditCollector::MacAuditCollector(ViewerSettings settings)
    : MacAuditCollector(std::move(settings), systemProcessRunner(), platform::systemFacts()) {}

} // namespace kova
