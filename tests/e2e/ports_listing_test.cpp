// The listing of `tarvomdrv ports` on a made-up /dev, /dev/serial/by-id and
// /sys/class/tty: kinds and order, by-id names, USB details, ttyS ports
// without a UART, COMn names (device directory first) and access.
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tools/tarvomdrv/ports.h"

namespace tarvo::tool {
namespace {

namespace fs = std::filesystem;

class PortsListingTest : public ::testing::Test {
 protected:
  PortsListingTest() : root_(fs::temp_directory_path() / ("tarvo-ports-" + std::to_string(::getpid()))) {
    roots_.dev = (root_ / "dev").string();
    roots_.by_id = (root_ / "dev/serial/by-id").string();
    roots_.sys_tty = (root_ / "sys/class/tty").string();
    roots_.device_dir = (root_ / "tarvo-dev").string();
    for (const char* d : {"dev/serial/by-id", "sys/class/tty", "tarvo-dev", "sys/devices"})
      fs::create_directories(root_ / d);
  }
  ~PortsListingTest() override { fs::remove_all(root_); }

  void Write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  }
  // A device node stand-in, readable and writable.
  void Device(const std::string& name) { Write(root_ / "dev" / name, ""); }

  fs::path root_;
  PortsRoots roots_;
};

TEST_F(PortsListingTest, ListsKindsInOrderWithByIdUsbDetailsNoUartAndComNames) {
  for (const char* name : {"ttyS1", "ttyS0", "ttyUSB0", "ttyACM0", "ttyS10", "tty0", "ttyprintk"})
    Device(name);
  Write(root_ / "sys/class/tty/ttyS0/type", "4");
  Write(root_ / "sys/class/tty/ttyS1/type", "0");
  // The adapter: interface folder below the USB device with its ids.
  const fs::path usb = root_ / "sys/devices/usb1/1-1";
  Write(usb / "idVendor", "0403");
  Write(usb / "idProduct", "6001");
  Write(usb / "manufacturer", "FTDI");
  Write(usb / "product", "FT232R USB UART");
  fs::create_directories(usb / "1-1:1.0/ttyUSB0");
  fs::create_directories(root_ / "sys/class/tty/ttyUSB0");
  fs::create_directory_symlink(usb / "1-1:1.0", root_ / "sys/class/tty/ttyUSB0/device");
  fs::create_symlink("../../ttyUSB0", root_ / "dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0");
  // COM2 is the adapter by the device directory, so ttyS1 keeps no COM2.
  fs::create_symlink(root_ / "dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0",
                     root_ / "tarvo-dev/COM2");

  const auto devices = ListSerialDevices(roots_);
  ASSERT_EQ(devices.size(), 5u);
  const std::string dev = roots_.dev + "/";
  EXPECT_EQ(devices[0].path, dev + "ttyS0");
  EXPECT_EQ(devices[1].path, dev + "ttyS1");
  EXPECT_EQ(devices[2].path, dev + "ttyS10");
  EXPECT_EQ(devices[3].path, dev + "ttyUSB0");
  EXPECT_EQ(devices[4].path, dev + "ttyACM0");

  EXPECT_EQ(devices[0].com, std::vector<std::string>{"COM1"});
  EXPECT_FALSE(devices[0].no_uart);
  EXPECT_TRUE(devices[1].com.empty());
  EXPECT_TRUE(devices[1].no_uart);
  EXPECT_EQ(devices[2].com, std::vector<std::string>{"COM11"});
  EXPECT_EQ(devices[3].com,
            std::vector<std::string>{"COM2 (" + roots_.device_dir + "/COM2)"});
  EXPECT_EQ(devices[3].by_id,
            std::vector<std::string>{roots_.by_id + "/usb-FTDI_FT232R_A50285BI-if00-port0"});
  EXPECT_EQ(devices[3].usb, "0403:6001 FTDI FT232R USB UART");
  EXPECT_TRUE(devices[4].com.empty());
  for (const auto& d : devices) EXPECT_TRUE(d.usable) << d.path;

  const std::string text = FormatSerialDevices(devices);
  EXPECT_NE(text.find(dev + "ttyS1\n  COM:    -\n  note:   no UART behind this port\n  access: yes\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  USB:    0403:6001 FTDI FT232R USB UART\n"), std::string::npos) << text;
}

TEST_F(PortsListingTest, AnUnusableDeviceNamesItsGroupAndWhatToDo) {
  SerialDevice d;
  d.path = "/dev/ttyUSB0";
  d.com = {"COM1"};
  d.group = "dialout";
  EXPECT_EQ(FormatSerialDevices({d}),
            "/dev/ttyUSB0\n  COM:    COM1\n  access: no (group dialout): add the user to the "
            "group dialout and log in again\n");
  EXPECT_EQ(FormatSerialDevices({}), "no serial devices found\n");
}

}  // namespace
}  // namespace tarvo::tool
