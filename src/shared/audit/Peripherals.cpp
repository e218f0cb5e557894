#include "audit/Peripherals.hpp"

#include "core/Strings.hpp"
#include "core/Unicode.hpp"

#include <algorithm>
#include <array>
#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>
#include <vector>

namespace kova::audit {
namespace {

constexpr std::array<std::string_view, 9> serialNumberKeys = {
    "serial_num",     "serial_number",     "serial",
    "device_serial",  "USB Serial Number", "Serial Number",
    "_serial_number", "spusb_serial_num",  "spdisplays_display-serial-number"};

constexpr std::array<std::string_view, 4> serialQueryNames = {"serial", "serialnumber", "sn", "usb-serial"};

Json orNull(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
}

// The dictionaries of `value` when it is an array; other elements are skipped.
std::vector<const Json*> dictionaries(const Json& value) {
    std::vector<const Json*> items;
    if (value.is_array()) {
        for (const auto& element : value) {
            if (element.is_object()) {
                items.push_back(&element);
            }
        }
    }
    return items;
}

const Json* member(const Json& object, std::string_view key) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

bool isSerialQueryName(std::string_view name) {
    const auto lower = asciiLowercased(trimmed(name));
    return std::find(serialQueryNames.begin(), serialQueryNames.end(), lower) != serialQueryNames.end();
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Percent-decoding that fails on a malformed escape or a result that is not UTF-8.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    if (!isValidUtf8(out)) {
        return std::nullopt;
    }
    return out;
}

Json displayEntry(const Json& display) {
    Json entry = Json::object();
    entry["category"] = "monitor";
    entry["type"] = "display";
    entry["name"] =
        firstPeripheralText(display, {"_name", "spdisplays_display_type", "sppci_model"}).value_or("Monitor");
    entry["model"] = orNull(peripheralText(display, "spdisplays_display_type"));
    entry["manufacturer"] = orNull(peripheralText(display, "spdisplays_vendor"));
    entry["serial_number"] = orNull(peripheralText(display, "spdisplays_display-serial-number"));
    entry["connection"] = peripheralText(display, "spdisplays_connection_type").value_or("display");
    entry["resolution"] = orNull(peripheralText(display, "spdisplays_resolution"));
    entry["details"] = display;
    return entry;
}

Json printerEntry(const Json& printer) {
    const auto uri = firstPeripheralText(printer, {"spp_printer_uri", "printer_uri", "device_uri", "uri"});
    const auto endpoint = printerEndpoint(uri);
    Json entry = Json::object();
    entry["category"] = "printer";
    entry["type"] = "printer";
    entry["name"] = firstPeripheralText(printer, {"_name", "spp_printer_name"}).value_or("Drukarka");
    entry["model"] =
        orNull(firstPeripheralText(printer, {"spp_printer_make_and_model", "printer_make_and_model"}));
    entry["serial_number"] = orNull(printerSerialNumber(printer, uri));
    entry["connection"] = endpoint.connection;
    entry["ip_address"] = orNull(endpoint.host);
    entry["port_name"] = orNull(uri);
    entry["status"] = orNull(peripheralText(printer, "spp_printer_status"));
    entry["details"] = printer;
    return entry;
}

} // namespace

std::optional<std::string> peripheralText(const Json& item, std::string_view key) {
    const Json* value = member(item, key);
    if (value == nullptr || value->is_null()) {
        return std::nullopt;
    }
    std::string text;
    if (value->is_string()) {
        text = trimmed(value->get_ref<const std::string&>());
    } else {
        text = trimmed(value->dump(-1, ' ', false, Json::error_handler_t::replace));
    }
    if (text.empty() || text == "<null>") {
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> firstPeripheralText(const Json& item,
                                               std::initializer_list<std::string_view> keys) {
    return firstPeripheralText(item, std::span<const std::string_view>(keys.begin(), keys.size()));
}

std::optional<std::string> firstPeripheralText(const Json& item, std::span<const std::string_view> keys) {
    for (const auto key : keys) {
        if (auto text = peripheralText(item, key)) {
            return text;
        }
    }
    return std::nullopt;
}

Json collectPeripherals(const Json& systemProfiler) {
    Json peripherals = Json::array();
    if (const Json* usb = member(systemProfiler, "SPUSBDataType")) {
        collectUsbItems(*usb, "USB", peripherals);
    }
    if (const Json* displays = member(systemProfiler, "SPDisplaysDataType")) {
        for (const Json* item : dictionaries(*displays)) {
            // A graphics card lists its monitors under "spdisplays_ndrvs";
            // the card itself is not a monitor.
            const Json* nested = member(*item, "_items");
            if (nested == nullptr || !nested->is_array()) {
                nested = member(*item, "spdisplays_ndrvs");
            }
            if (nested != nullptr && nested->is_array()) {
                for (const Json* display : dictionaries(*nested)) {
                    peripherals.push_back(displayEntry(*display));
                }
            } else {
                peripherals.push_back(displayEntry(*item));
            }
        }
    }
    if (const Json* printers = member(systemProfiler, "SPPrintersDataType")) {
        for (const Json* printer : dictionaries(*printers)) {
            peripherals.push_back(printerEntry(*printer));
        }
    }
    return peripherals;
}

void collectUsbItems(const Json& items, const std::string& path, Json& into) {
    for (const Json* item : dictionaries(items)) {
        const auto name = firstPeripheralText(*item, {"_name", "name"});
        std::string entryPath = path;
        if (name) {
            entryPath = path + " / " + *name;
            Json entry = Json::object();
            entry["category"] = "usb";
            entry["type"] = usbPeripheralType(*item);
            entry["name"] = *name;
            entry["model"] = orNull(firstPeripheralText(*item, {"product_id", "device_speed"}));
            entry["manufacturer"] = orNull(peripheralText(*item, "manufacturer"));
            entry["serial_number"] = orNull(firstPeripheralText(*item, serialNumberKeys));
            entry["vendor_id"] = orNull(peripheralText(*item, "vendor_id"));
            entry["product_id"] = orNull(peripheralText(*item, "product_id"));
            entry["connection"] = "usb";
            entry["path"] = entryPath;
            entry["details"] = *item;
            into.push_back(std::move(entry));
        }
        if (const Json* children = member(*item, "_items")) {
            collectUsbItems(*children, entryPath, into);
        }
    }
}

std::string usbPeripheralType(const Json& item) {
    std::string description;
    for (const auto& part : {firstPeripheralText(item, {"_name", "name"}),
                             firstPeripheralText(item, {"bcd_device", "manufacturer"})}) {
        if (part) {
            description += description.empty() ? *part : " " + *part;
        }
    }
    description = asciiLowercased(description);
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 12> types = {{
        {"keyboard", "keyboard"},
        {"mouse", "mouse"},
        {"trackpad", "mouse"},
        {"camera", "camera"},
        {"audio", "audio"},
        {"speaker", "audio"},
        {"microphone", "audio"},
        {"disk", "storage"},
        {"storage", "storage"},
        {"flash", "storage"},
        {"controller", "controller"},
        {"gamepad", "controller"},
    }};
    for (const auto& [needle, type] : types) {
        if (description.find(needle) != std::string::npos) {
            return std::string(type);
        }
    }
    return "usb";
}

PrinterEndpoint printerEndpoint(const std::optional<std::string>& uri) {
    if (!uri || uri->empty()) {
        return {"unknown", std::nullopt};
    }
    const auto lower = asciiLowercased(*uri);
    if (lower.find("usb") != std::string::npos) {
        return {"usb", std::nullopt};
    }
    if (const auto parsed = boost::urls::parse_uri_reference(*uri); parsed && parsed->has_authority()) {
        auto host = parsed->host_address();
        if (!host.empty()) {
            return {"ip", std::move(host)};
        }
    }
    for (std::string_view scheme : {"ipp", "socket", "lpd"}) {
        if (lower.find(scheme) != std::string::npos) {
            return {"ip", std::nullopt};
        }
    }
    return {"unknown", std::nullopt};
}

std::optional<std::string> printerSerialNumber(const Json& item, const std::optional<std::string>& uri) {
    if (auto serial = firstPeripheralText(item, serialNumberKeys)) {
        return serial;
    }
    if (!uri) {
        return std::nullopt;
    }
    if (const auto parsed = boost::urls::parse_uri_reference(*uri); parsed && parsed->has_query()) {
        for (const auto& param : parsed->params(boost::urls::encoding_opts(false, false, false))) {
            if (isSerialQueryName(param.key) && param.has_value) {
                auto value = trimmed(param.value);
                if (!value.empty()) {
                    return value;
                }
            }
        }
    }
    std::string_view rest = *uri;
    std::size_t start = 0;
    while (start <= rest.size()) {
        const auto next = rest.find_first_of("?&;", start);
        const auto end = next == std::string_view::npos ? rest.size() : next;
        const auto piece = rest.substr(start, end - start);
        start = end + 1;
        const auto eq = piece.find('=');
        if (eq == std::string_view::npos || !isSerialQueryName(piece.substr(0, eq))) {
            continue;
        }
        const auto value = trimmed(piece.substr(eq + 1));
        if (!value.empty()) {
            return percentDecoded(value).value_or(value);
        }
    }
    return std::nullopt;
}

} // namespace kova::audit
