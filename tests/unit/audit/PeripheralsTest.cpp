#include "audit/Peripherals.hpp"
#include "audit/PropertyList.hpp"
#include "unit/audit/AuditTestSupport.hpp"

#include <gtest/gtest.h>

namespace kova::audit {
namespace {

using test::macosFixture;

Json fixtureJson(const std::string& name) {
    return Json::parse(macosFixture(name));
}

std::vector<std::string> column(const Json& entries, const char* key) {
    std::vector<std::string> values;
    for (const auto& entry : entries) {
        values.push_back(entry[key].is_null() ? "<none>" : entry[key].get<std::string>());
    }
    return values;
}

// The captured system-profiler reports are XML property lists; their item tree
// is what `-json` prints under the data type's name.
Json capturedUsbItems(const std::string& name) {
    const auto root = parsePropertyList(macosFixture(name));
    EXPECT_TRUE(root && root->is_array() && !root->empty());
    return (*root)[0]["_items"];
}

TEST(UsbTree, CapturedMachinesInTreeOrder) {
    Json list = Json::array();
    collectUsbItems(capturedUsbItems("system_profiler/SPUSBDataType.xml"), "USB", list);
    ASSERT_EQ(list.size(), 15u);
    EXPECT_EQ(list[3]["path"], "USB / USBBus / BRCM2046 Hub / Bluetooth USB Host Controller");
    EXPECT_EQ(list[3]["type"], "controller");
    EXPECT_EQ(list[3]["serial_number"], "00231241D46C");
    EXPECT_EQ(list[3]["manufacturer"], "Apple Inc.");
    EXPECT_EQ(list[3]["model"], "0x820f");
    EXPECT_EQ(list[3]["vendor_id"], "apple_vendor_id");
    EXPECT_EQ(list[8]["name"], "Hub in Apple Extended USB Keyboard");
    EXPECT_EQ(list[8]["type"], "keyboard");
    EXPECT_EQ(list[9]["path"], "USB / USBBus / Hub in Apple Extended USB Keyboard / Apple Optical USB Mouse");
    EXPECT_EQ(list[9]["type"], "mouse");
    EXPECT_EQ(list[12]["serial_number"], "20150123045944");
    EXPECT_EQ(list[14]["name"], "Built-in iSight");
    EXPECT_EQ(list[14]["type"], "usb");
    // The whole item, children included, travels as details.
    EXPECT_TRUE(list[2]["details"].contains("_items"));

    Json virtualMachine = Json::array();
    collectUsbItems(capturedUsbItems("system_profiler/SPUSBDataType4.xml"), "USB", virtualMachine);
    EXPECT_EQ(column(virtualMachine, "type"), (std::vector<std::string>{"usb", "usb", "keyboard"}));
}

TEST(Peripherals, UsbThenDisplaysThenPrinters) {
    Json profiler = fixtureJson("system_profiler/usb.json");
    profiler.update(fixtureJson("system_profiler/displays.json"));
    profiler.update(fixtureJson("system_profiler/printers.json"));
    const auto list = collectPeripherals(profiler);

    EXPECT_EQ(
        column(list, "name"),
        (std::vector<std::string>{"USB31Bus", "USB2.0 Hub", "USB Optical Mouse", "Flash Disk", "Web Camera",
                                  "Color LCD", "DELL U2720Q", "Projector", "Office_LaserJet", "Label Printer",
                                  "Warehouse", "Broken queue", "Drukarka"}));
    // A bus without a name adds no level to its children's paths.
    EXPECT_EQ(list[4]["path"], "USB / Web Camera");
    EXPECT_EQ(list[2]["path"], "USB / USB31Bus / USB2.0 Hub / USB Optical Mouse");
    EXPECT_EQ(column(list, "type")[3], "storage");
    EXPECT_EQ(list[1]["manufacturer"], nullptr); // "<null>" counts as absent
    EXPECT_EQ(list[4]["model"], "2085");         // numbers are rendered as text
    EXPECT_EQ(list[4]["serial_number"], "SN-CAM-42");
    EXPECT_EQ(list[4]["type"], "camera");

    // Monitors behind a graphics card are listed, the card is not; an empty
    // "_items" adds nothing; an item without a list is itself the display.
    EXPECT_EQ(list[5]["model"], "spdisplays_built-in-liquid-retina-xdr");
    EXPECT_EQ(list[5]["connection"], "spdisplays_internal");
    EXPECT_EQ(list[6]["serial_number"], "CN0ABC123");
    EXPECT_EQ(list[6]["connection"], "display");
    EXPECT_EQ(list[6]["resolution"], "3840 x 2160 @ 60.00Hz");
    EXPECT_EQ(list[7]["manufacturer"], "Example Optics");
    EXPECT_EQ(list[7]["category"], "monitor");

    const Json& ipp = list[8];
    EXPECT_EQ(ipp["connection"], "ip");
    EXPECT_EQ(ipp["ip_address"], "192.168.1.20");
    EXPECT_EQ(ipp["port_name"], "ipp://192.168.1.20/ipp/print");
    EXPECT_EQ(ipp["model"], "Example LaserJet Pro M404");
    EXPECT_EQ(ipp["status"], "idle");
    EXPECT_EQ(list[9]["connection"], "usb");
    EXPECT_EQ(list[9]["serial_number"], "ABC123");
    EXPECT_EQ(list[9]["ip_address"], nullptr);
    EXPECT_EQ(list[10]["ip_address"], "fe80::1");
    EXPECT_EQ(list[10]["model"], "Example Zebra");
    EXPECT_EQ(list[11]["connection"], "ip");
    EXPECT_EQ(list[11]["serial_number"], "Q\xC5\xBC"
                                         "1");
    EXPECT_EQ(list[12]["connection"], "unknown");
}

TEST(Peripherals, MalformedReportsGiveNoEntries) {
    EXPECT_EQ(collectPeripherals(Json::object()), Json::array());
    EXPECT_EQ(collectPeripherals(Json{{"SPUSBDataType", "text"}, {"SPPrintersDataType", 5}}), Json::array());
    EXPECT_EQ(collectPeripherals(Json::array()), Json::array());
}

TEST(PrinterEndpoint, Table) {
    const std::pair<std::optional<std::string>, PrinterEndpoint> cases[] = {
        {std::nullopt, {"unknown", std::nullopt}},
        {"", {"unknown", std::nullopt}},
        {"usb://Example/Label?serial=1", {"usb", std::nullopt}},
        {"ipp://printer.local:631/ipp/print", {"ip", "printer.local"}},
        {"socket://10.0.0.9:9100", {"ip", "10.0.0.9"}},
        {"dnssd://Office%20Printer._ipp._tcp.local./?uuid=1", {"ip", "Office Printer._ipp._tcp.local."}},
        {"lpd:queue", {"ip", std::nullopt}},
        {"file:///dev/null", {"unknown", std::nullopt}},
        {"not a uri at all", {"unknown", std::nullopt}},
    };
    for (const auto& [uri, expected] : cases) {
        EXPECT_EQ(printerEndpoint(uri), expected) << uri.value_or("<none>");
    }
}

TEST(PrinterSerialNumber, KeysThenQueryThenLooseParameters) {
    EXPECT_EQ(printerSerialNumber(Json{{"serial", " S1 "}}, std::string("usb://x?serial=Q")), "S1");
    EXPECT_EQ(printerSerialNumber(Json::object(), std::string("usb://x/y?model=1&SerialNumber=%20Q2")), "Q2");
    EXPECT_EQ(printerSerialNumber(Json::object(), std::string("usb://x/y?sn=&usb-serial=Q3")), "Q3");
    EXPECT_EQ(printerSerialNumber(Json::object(), std::string("usb x;SN=Q%4")), "Q%4"); // undecodable stays
    EXPECT_EQ(printerSerialNumber(Json::object(), std::string("ipp://host/print")), std::nullopt);
    EXPECT_EQ(printerSerialNumber(Json::object(), std::nullopt), std::nullopt);
}

TEST(UsbType, FirstMatchingWord) {
    EXPECT_EQ(usbPeripheralType(Json{{"_name", "Magic Trackpad"}}), "mouse");
    EXPECT_EQ(usbPeripheralType(Json{{"name", "Studio Display Speakers"}}), "audio");
    EXPECT_EQ(usbPeripheralType(Json{{"_name", "Hub"}, {"manufacturer", "Storage Corp"}}), "storage");
    // bcd_device comes before the manufacturer, so the maker's name is not looked at.
    EXPECT_EQ(usbPeripheralType(Json{{"_name", "Hub"}, {"bcd_device", "1.0"}, {"manufacturer", "Storage"}}),
              "usb");
    EXPECT_EQ(usbPeripheralType(Json{{"_name", "Keyboard Mouse Combo"}}), "keyboard");
    EXPECT_EQ(usbPeripheralType(Json::object()), "usb");
}

} // namespace
} // namespace kova::audit
