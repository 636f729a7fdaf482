// The serial ports --list shows on Linux, read from device and sysfs folders made for the test.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {
std::vector<std::pair<std::string, std::string>> Listed(const fs::path& folder) {
    std::vector<std::pair<std::string, std::string>> listed;
    for (const SerialPortEntry& port : ListSerialPorts(folder.c_str()))
        listed.emplace_back(port.path, port.description);
    return listed;
}
} // namespace

TEST(SerialPorts, PersistentNamesFirstElseTheUsbNodes) {
    fs::path dev = fs::canonical(fs::temp_directory_path()) /
                   ("karvex-serial-ports-test-" + std::to_string(getpid()));
    fs::remove_all(dev);
    fs::create_directories(dev / "serial/by-id");
    for (const char* node : {"ttyUSB1", "ttyUSB0", "ttyACM0", "ttyS0", "tty0"})
        std::ofstream(dev / node).put('\n');
    fs::create_symlink("../../ttyUSB1", dev / "serial/by-id/usb-FTDI_FT232R_A1-if00-port0");
    fs::create_symlink("../../ttyACM0", dev / "serial/by-id/usb-Maker_Modem_7-if00");
    fs::create_symlink("../../ttyUSB9", dev / "serial/by-id/usb-Gone_Adapter-if00-port0");

    using Ports = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(Listed(dev), (Ports{{(dev / "ttyUSB1").string(), "usb-FTDI_FT232R_A1-if00-port0"},
                                  {(dev / "ttyACM0").string(), "usb-Maker_Modem_7-if00"}}));
    fs::remove_all(dev / "serial");
    EXPECT_EQ(Listed(dev), (Ports{{(dev / "ttyUSB0").string(), ""},
                                  {(dev / "ttyUSB1").string(), ""},
                                  {(dev / "ttyACM0").string(), ""}}));
    fs::remove_all(dev);
    EXPECT_TRUE(Listed(dev).empty());
}

namespace {
// A USB device in the made-up sysfs with a terminal `name` below its interface, as the USB
// serial drivers place it (ttyACM* sits on the interface itself).
void AddUsbTerminal(const fs::path& sys, const std::string& name, const char* vendor,
                    const char* product, bool onInterface) {
    fs::path device = sys / "devices/usb1" / ("1-" + name);
    fs::path interface = device / "1-1:1.0";
    fs::path node = onInterface ? interface : interface / name;
    fs::create_directories(node);
    std::ofstream(device / "idVendor") << vendor << '\n';
    std::ofstream(device / "idProduct") << product << '\n';
    fs::create_directories(sys / "class/tty" / name);
    fs::create_symlink(node, sys / "class/tty" / name / "device");
}

// (path, vendor, product) of each port listed.
std::vector<std::tuple<std::string, uint16_t, uint16_t>> UsbIds(const fs::path& dev,
                                                                const fs::path& sys) {
    std::vector<std::tuple<std::string, uint16_t, uint16_t>> listed;
    for (const SerialPortEntry& port : ListSerialPorts(dev.c_str(), sys.c_str()))
        listed.emplace_back(fs::path(port.path).filename().string(), port.usbVendor,
                            port.usbProduct);
    return listed;
}
} // namespace

// --port auto picks by the USB vendor: none, one or two FTDI ports among others.
TEST(SerialPorts, UsbIdsFromSysfs) {
    fs::path root = fs::canonical(fs::temp_directory_path()) /
                    ("karvex-serial-ids-test-" + std::to_string(getpid()));
    fs::path dev = root / "dev", sys = root / "sys";
    fs::remove_all(root);
    fs::create_directories(dev);
    for (const char* node : {"ttyUSB0", "ttyUSB1", "ttyACM0"})
        std::ofstream(dev / node).put('\n');
    AddUsbTerminal(sys, "ttyACM0", "2341", "0043", true);

    using Ids = std::vector<std::tuple<std::string, uint16_t, uint16_t>>;
    // Without a sysfs entry a port's vendor is unknown, never FTDI's.
    EXPECT_EQ(UsbIds(dev, sys), (Ids{{"ttyUSB0", 0, 0}, {"ttyUSB1", 0, 0},
                                     {"ttyACM0", 0x2341, 0x0043}}));
    AddUsbTerminal(sys, "ttyUSB1", "0403", "6001", false);
    EXPECT_EQ(UsbIds(dev, sys), (Ids{{"ttyUSB0", 0, 0}, {"ttyUSB1", 0x0403, 0x6001},
                                     {"ttyACM0", 0x2341, 0x0043}}));
    AddUsbTerminal(sys, "ttyUSB0", "0403", "6015", false);
    EXPECT_EQ(UsbIds(dev, sys), (Ids{{"ttyUSB0", 0x0403, 0x6015}, {"ttyUSB1", 0x0403, 0x6001},
                                     {"ttyACM0", 0x2341, 0x0043}}));
    // The serial number beside the ids, where the device has one.
    std::ofstream(sys / "devices/usb1/1-ttyUSB1/serial") << "A50285BI\n";
    std::vector<SerialPortEntry> ports = ListSerialPorts(dev.c_str(), sys.c_str());
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].serialNumber, "");
    EXPECT_EQ(ports[1].serialNumber, "A50285BI");
    fs::remove_all(root);
}
