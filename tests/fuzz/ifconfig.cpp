// `ifconfig -a` output.
#include "FuzzSupport.hpp"

#include "audit/SystemProbes.hpp"

#include <algorithm>
#include <cctype>

using namespace kova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto addresses = audit::parseIfconfigMacAddresses(fuzz::text(data, size));
    KOVA_FUZZ_REQUIRE(std::adjacent_find(addresses.begin(), addresses.end(),
                                         [](const auto& a, const auto& b) { return !(a < b); }) ==
                      addresses.end());
    for (const auto& address : addresses) {
        KOVA_FUZZ_REQUIRE(!address.empty() && address.find_first_of(" \n") == std::string::npos);
        KOVA_FUZZ_REQUIRE(std::none_of(address.begin(), address.end(),
                                       [](unsigned char c) { return std::islower(c) != 0; }));
    }
    return 0;
}
