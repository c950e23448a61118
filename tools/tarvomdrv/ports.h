#pragma once
// `tarvomdrv ports`: the serial devices of this machine, the COMn names the
// driver reaches each by, and whether the current user may open them.
// `tarvomdrv ports --link COMn DEVICE` links a device into the device
// directory ($TARVO_DEVICE_DIR) as COMn.
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace tarvo::tool {

struct PortsOptions {
  std::vector<std::string> link;  // {"COMn", "DEVICE"} for --link
};
void AddPortsOptions(CLI::App& command, PortsOptions& options);
int RunPorts(const PortsOptions& options);

// Where the listing looks; the defaults are the machine's own folders.
struct PortsRoots {
  std::string dev = "/dev";
  std::string by_id = "/dev/serial/by-id";
  std::string sys_tty = "/sys/class/tty";
  std::string device_dir;  // $TARVO_DEVICE_DIR, "" for none
};

struct SerialDevice {
  std::string path;                  // /dev/ttyUSB0 (or a link's target)
  std::vector<std::string> by_id;    // stable names in /dev/serial/by-id
  std::vector<std::string> com;      // "COM3 (device directory)", "COM1"
  std::string usb;                   // "0403:6001 FTDI FT232R USB UART", "" if none
  bool no_uart = false;              // a ttyS with no UART behind it
  bool missing = false;              // a device-directory entry whose target is gone
  std::string target;                // what such an entry links to
  bool usable = false;               // the user may read and write it
  std::string group;                 // owning group when !usable
};

// The devices in the order /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM* (by
// number), then other targets of device-directory entries.
std::vector<SerialDevice> ListSerialDevices(const PortsRoots& roots);
// The listing as printed.
std::string FormatSerialDevices(const std::vector<SerialDevice>& devices);

// Links `device` as `com` ("COM1".."COM16") in `device_dir` (created when
// missing), replacing an older entry of that name. Returns "" or the error.
std::string LinkComPort(const std::string& device_dir, const std::string& com,
                        const std::string& device);

}  // namespace tarvo::tool
