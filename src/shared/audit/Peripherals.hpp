#pragma once

#include "core/Json.hpp"

#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The monitors, printers and USB devices of the inventory, read from one
// `system_profiler -json` object. All pure.
namespace kova::audit {

// The value under `key` as trimmed text (numbers and booleans in their usual
// form); absent when missing, null, empty or "<null>".
std::optional<std::string> peripheralText(const Json& item, std::string_view key);
// The first of `keys` whose text is present.
std::optional<std::string> firstPeripheralText(const Json& item, std::span<const std::string_view> keys);
std::optional<std::string> firstPeripheralText(const Json& item,
                                               std::initializer_list<std::string_view> keys);

// USB devices in tree order, then displays, then printers.
Json collectPeripherals(const Json& systemProfiler);

// Appends one entry per named item below `items` (depth first) to `into`;
// unnamed buses and hubs are walked through without an entry of their own.
void collectUsbItems(const Json& items, const std::string& path, Json& into);
std::string usbPeripheralType(const Json& item);

struct PrinterEndpoint {
    std::string connection; // "usb", "ip" or "unknown"
    std::optional<std::string> host;

    bool operator==(const PrinterEndpoint&) const = default;
};
PrinterEndpoint printerEndpoint(const std::optional<std::string>& uri);
std::optional<std::string> printerSerialNumber(const Json& item, const std::optional<std::string>& uri);

} // namespace kova::audit
