// Error texts of the serial port adapter and the EComPort exception.
//
// The texts are looked up once through the system's text catalogue under the
// text domain "cport" (GNU gettext on Linux, the texts as written here on
// Windows); without a catalogue for the current locale they stay as written
// here. The translated table is built exactly once (std::call_once) and is
// read-only afterwards, so any thread may read it without further locking.
#include <array>
#include <cstdio>
#include <mutex>
#include <string>

#include "link/com_port.h"
#include "platform/serial_device.h"
#include "platform/text_catalog.h"

namespace tarvo::link {
namespace {

constexpr int kFirstCode = CError_OpenFailed;
constexpr int kLastCode = CError_RegError;

constexpr std::array<const char*, kLastCode> kTexts = {
    "Unable to open com port",                            // 1
    "WriteFile function failed",                          // 2
    "ReadFile function failed",                           // 3
    "Invalid Async parameter",                            // 4
    "PurgeComm function failed",                          // 5
    "Unable to get async status",                         // 6
    "SetCommState function failed",                       // 7
    "SetCommTimeouts failed",                             // 8
    "SetupComm function failed",                          // 9
    "ClearCommError function failed",                     // 10
    "GetCommModemStatus function failed",                 // 11
    "EscapeCommFunction function failed",                 // 12
    "TransmitCommChar function failed",                   // 13
    "Cannot set property while connected",                // 14
    "EnumPorts function failed",                          // 15
    "Failed to store settings",                           // 16
    "Failed to load settings",                            // 17
    "Link (un)registration failed",                       // 18
    "Cannot change led state if ComPort is selected",     // 19
    "Cannot wait for event if event thread is created",   // 20
    "WaitForEvent method failed",                         // 21
    "A component is linked to OnRxBuf event",             // 22
    "Registry error",                                     // 23
};

// Where catalogues of the domain "cport" would be installed.
constexpr const char* kLocaleDir = "/usr/share/locale";

// The translated texts, filled once. A function-local static: the module's
// start-up code translates the texts while the module is being loaded, and a
// namespace-scope table might only be constructed (emptied) after that.
std::array<std::string, kLastCode>& Translated() {
  static std::array<std::string, kLastCode> texts;
  return texts;
}

// Codes whose errors never carry an OS error number.
bool CodeWithoutOsError(int code) {
  return code == CError_InvalidAsync || code == CError_ConnChangeProp;
}

std::string Message(int code, int os_error) {
  std::string text = ComErrorText(code);
  if (os_error != -1) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, " (win error code: %d)", os_error);
    text += suffix;
  }
  return text;
}

}  // namespace

void InitComPortTexts() {
  static std::once_flag once;
  std::call_once(once, [] {
    platform::BindTextDomain("cport", kLocaleDir);
    auto& texts = Translated();
    for (int i = 0; i < kLastCode; ++i) texts[i] = platform::TranslateText("cport", kTexts[i]);
  });
}

std::string ComErrorText(int code) {
  if (code < kFirstCode || code > kLastCode) return {};
  InitComPortTexts();
  return Translated()[code - 1];
}

std::string OpenFailureHint(const std::string& path, int os_error) {
  return platform::SerialOpenFailureHint(path, os_error);
}

bool IsOpenPermissionFailure(const std::exception& error) {
  const auto* e = dynamic_cast<const EComPort*>(&error);
  return e != nullptr && e->Code() == CError_OpenFailed && platform::IsPermissionError(e->WinCode());
}

EComPort::EComPort(int code, int os_error, const std::string& detail)
    : std::runtime_error(Message(code, CodeWithoutOsError(code) ? -1 : os_error) + detail),
      code_(code),
      os_error_(CodeWithoutOsError(code) ? -1 : os_error) {}

EComPort::EComPort(int code, int os_error)
    : std::runtime_error(Message(code, CodeWithoutOsError(code) ? -1 : os_error)),
      code_(code),
      os_error_(CodeWithoutOsError(code) ? -1 : os_error) {}

}  // namespace tarvo::link
