// The listing of `tarvomdrv ports`: devices, their by-id names, USB details
// from sysfs, COMn names and access; and the device-directory link.
#include "tools/tarvomdrv/ports.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <system_error>

namespace tarvo::tool {
namespace {

namespace fs = std::filesystem;

constexpr int kFirstCom = 1;
constexpr int kLastCom = 16;
// The device kinds listed, in this order.
constexpr const char* kDeviceKinds[] = {"ttyS", "ttyUSB", "ttyACM"};

std::string Canonical(const std::string& path) {
  std::error_code ec;
  const fs::path p = fs::canonical(path, ec);
  return ec ? std::string() : p.string();
}

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
    line.pop_back();
  return line;
}

std::string GroupName(gid_t gid) {
  group gr{};
  group* found = nullptr;
  char buf[4096];
  if (::getgrgid_r(gid, &gr, buf, sizeof buf, &found) == 0 && found != nullptr) return gr.gr_name;
  return std::to_string(gid);
}

// USB vendor:product and names from the device's sysfs ancestors.
std::string UsbDescription(const PortsRoots& roots, const std::string& name) {
  std::error_code ec;
  fs::path dir = fs::canonical(fs::path(roots.sys_tty) / name / "device", ec);
  if (ec) return {};
  for (; !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor", ec) || !fs::exists(dir / "idProduct", ec)) continue;
    std::string text = ReadLine(dir / "idVendor") + ":" + ReadLine(dir / "idProduct");
    for (const char* field : {"manufacturer", "product"}) {
      const std::string value = ReadLine(dir / field);
      if (!value.empty()) text += " " + value;
    }
    return text;
  }
  return {};
}

// A ttyS whose UART type is 0 (unknown) has no port behind it.
bool HasNoUart(const PortsRoots& roots, const std::string& name) {
  if (name.rfind("ttyS", 0) != 0) return false;
  return ReadLine(fs::path(roots.sys_tty) / name / "type") == "0";
}

void CheckAccess(SerialDevice& device) {
  device.usable = ::access(device.path.c_str(), R_OK | W_OK) == 0;
  if (device.usable) return;
  struct stat st {};
  if (::stat(device.path.c_str(), &st) == 0) device.group = GroupName(st.st_gid);
}

int NumberAfter(const std::string& name, const std::string& kind) {
  return std::atoi(name.c_str() + kind.size());
}

}  // namespace

std::vector<SerialDevice> ListSerialDevices(const PortsRoots& roots) {
  std::vector<SerialDevice> devices;
  std::map<std::string, std::size_t> by_path;  // canonical path -> index
  auto add = [&](const std::string& path) -> SerialDevice& {
    const std::string key = Canonical(path).empty() ? path : Canonical(path);
    if (auto it = by_path.find(key); it != by_path.end()) return devices[it->second];
    by_path.emplace(key, devices.size());
    SerialDevice& d = devices.emplace_back();
    d.path = path;
    return d;
  };

  // A folder that cannot be read lists nothing: /dev/serial/by-id exists
  // only while a USB serial device is plugged in, and a container may lack
  // /sys/class/tty. `ec` takes those errors so that the listing goes on.
  std::error_code ec;
  for (const std::string kind : kDeviceKinds) {
    const std::regex pattern(kind + "[0-9]+");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(roots.dev, ec)) {
      const std::string name = entry.path().filename().string();
      if (std::regex_match(name, pattern)) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
      return NumberAfter(a, kind) < NumberAfter(b, kind);
    });
    for (const std::string& name : names) {
      SerialDevice& d = add(roots.dev + "/" + name);
      d.usb = UsbDescription(roots, name);
      d.no_uart = HasNoUart(roots, name);
    }
  }

  // Entries of the device directory win over the default COMn -> ttyS<n-1>.
  std::vector<bool> linked(kLastCom + 1, false);
  if (!roots.device_dir.empty()) {
    for (int n = kFirstCom; n <= kLastCom; ++n) {
      const fs::path entry = fs::path(roots.device_dir) / ("COM" + std::to_string(n));
      if (!fs::exists(fs::symlink_status(entry, ec))) continue;
      linked[n] = true;
      const std::string target = Canonical(entry.string());
      SerialDevice& d = add(target.empty() ? entry.string() : target);
      d.missing = target.empty();
      if (d.missing) d.target = fs::read_symlink(entry, ec).string();
      d.com.push_back("COM" + std::to_string(n) + " (" + entry.string() + ")");
    }
  }
  for (SerialDevice& d : devices) {
    const std::string name = fs::path(d.path).filename().string();
    if (d.path.rfind(roots.dev + "/ttyS", 0) != 0) continue;
    const int n = NumberAfter(name, "ttyS") + 1;
    if (n >= kFirstCom && n <= kLastCom && !linked[n]) d.com.push_back("COM" + std::to_string(n));
  }

  for (const auto& entry : fs::directory_iterator(roots.by_id, ec)) {
    const std::string target = Canonical(entry.path().string());
    if (auto it = by_path.find(target); it != by_path.end())
      devices[it->second].by_id.push_back(entry.path().string());
  }
  for (SerialDevice& d : devices) {
    std::sort(d.by_id.begin(), d.by_id.end());
    if (!d.missing) CheckAccess(d);
  }
  return devices;
}

std::string FormatSerialDevices(const std::vector<SerialDevice>& devices) {
  std::ostringstream out;
  if (devices.empty()) out << "no serial devices found\n";
  for (const SerialDevice& d : devices) {
    out << d.path << "\n";
    out << "  COM:    ";
    if (d.com.empty()) out << "-";
    for (std::size_t i = 0; i < d.com.size(); ++i) out << (i ? ", " : "") << d.com[i];
    out << "\n";
    for (const std::string& id : d.by_id) out << "  by-id:  " << id << "\n";
    if (!d.usb.empty()) out << "  USB:    " << d.usb << "\n";
    if (d.no_uart) out << "  note:   no UART behind this port\n";
    out << "  access: ";
    if (d.missing) {
      out << "no: the entry links to " << (d.target.empty() ? "?" : d.target)
          << ", which does not exist\n";
    } else if (d.usable) {
      out << "yes\n";
    } else if (!d.group.empty()) {
      out << "no (group " << d.group << "): add the user to the group " << d.group
          << " and log in again\n";
    } else {
      out << "no\n";
    }
  }
  return out.str();
}

std::string LinkComPort(const std::string& device_dir, const std::string& com,
                        const std::string& device) {
  static const std::regex kComName("COM([1-9]|1[0-6])");
  if (!std::regex_match(com, kComName)) return "the port name must be COM1 to COM16, not " + com;
  if (device_dir.empty()) return "TARVO_DEVICE_DIR names no device directory";
  std::error_code ec;
  fs::create_directories(device_dir, ec);
  if (ec) return "cannot create " + device_dir + ": " + ec.message();
  const fs::path link = fs::path(device_dir) / com;
  const fs::path temp = fs::path(device_dir) / ("." + com + ".new");
  fs::remove(temp, ec);
  fs::create_symlink(device, temp, ec);
  if (!ec) fs::rename(temp, link, ec);  // replaces an older entry in one step
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    return "cannot link " + link.string() + " to " + device + ": " + ec.message();
  }
  return {};
}

}  // namespace tarvo::tool
