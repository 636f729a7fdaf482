// The serial ports --list shows on Linux, read from a device folder made for the test.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

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
