#include <gtest/gtest.h>

#include <string>

#include "link/com_port.h"

namespace tarvo::link {
namespace {

TEST(ComErrorTexts, EveryCodeHasItsText) {
  const char* const expected[] = {
      "Unable to open com port",
      "WriteFile function failed",
      "ReadFile function failed",
      "Invalid Async parameter",
      "PurgeComm function failed",
      "Unable to get async status",
      "SetCommState function failed",
      "SetCommTimeouts failed",
      "SetupComm function failed",
      "ClearCommError function failed",
      "GetCommModemStatus function failed",
      "EscapeCommFunction function failed",
      "TransmitCommChar function failed",
      "Cannot set property while connected",
      "EnumPorts function failed",
      "Failed to store settings",
      "Failed to load settings",
      "Link (un)registration failed",
      "Cannot change led state if ComPort is selected",
      "Cannot wait for event if event thread is created",
      "WaitForEvent method failed",
      "A component is linked to OnRxBuf event",
      "Registry error",
  };
  InitComPortTexts();
  InitComPortTexts();  // a second call changes nothing
  for (int code = 1; code <= 23; ++code) {
    EXPECT_EQ(ComErrorText(code), expected[code - 1]) << "code " << code;
  }
  EXPECT_EQ(ComErrorText(0), "");
  EXPECT_EQ(ComErrorText(24), "");
}

TEST(ComErrorTexts, MessageCarriesTheOsErrorNumberWhenThereIsOne) {
  struct Case {
    int code;
    int os_error;
    int expected_os_error;
    const char* what;
  } cases[] = {
      {1, 5, 5, "Unable to open com port (win error code: 5)"},
      {3, 0, 0, "ReadFile function failed (win error code: 0)"},
      {2, -1, -1, "WriteFile function failed"},
      {14, -1, -1, "Cannot set property while connected"},
      {14, 22, -1, "Cannot set property while connected"},
      {4, 9, -1, "Invalid Async parameter"},
  };
  for (const Case& c : cases) {
    const EComPort e(c.code, c.os_error);
    EXPECT_EQ(e.Code(), c.code);
    EXPECT_EQ(e.WinCode(), c.expected_os_error) << c.what;
    EXPECT_STREQ(e.what(), c.what);
  }
}

}  // namespace
}  // namespace tarvo::link
