// Remote-desktop configuration read from other users' files and tools:
// RustDesk TOML, TeamViewer defaults, AnyDesk service.conf, dscl output.
#include "FuzzSupport.hpp"

#include "audit/RemoteAccess.hpp"
#include "core/Strings.hpp"

#include <algorithm>

using namespace kova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = fuzz::text(data, size);
    if (const auto id = audit::rustDeskIdFromToml(text)) {
        KOVA_FUZZ_REQUIRE(id->size() > 5);
    }
    for (const auto& id : {audit::configId(text, {"ClientID", "ClientId", "client_id"}),
                           audit::configId(text, {"ad.anynet.id", "client_id", "client-id"})}) {
        if (id) {
            KOVA_FUZZ_REQUIRE(id->size() > 5 && std::all_of(id->begin(), id->end(),
                                                            [](char c) { return c >= '0' && c <= '9'; }));
        }
    }
    if (const auto home = audit::parseDsclHomeDirectory(text)) {
        KOVA_FUZZ_REQUIRE(!home->empty() && trimmed(*home) == *home);
    }
    return 0;
}
