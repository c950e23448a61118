// The log directory as a host passes it to PortOpen: a wide string with
// accented letters names the directory on disk, while the log line of the
// call keeps the text in the host's code page.
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "tests/automation/module_host_test.h"
#include "tests/support/log_file.h"
#include "tests/support/pty_pair.h"

namespace tarvo::test {
namespace {

TEST_F(ModuleTest, PortOpenLogsIntoADirectoryWithAccentedLetters) {
  const std::filesystem::path base = std::filesystem::temp_directory_path() /
                                     ("tarvo-logdir-" + std::to_string(::getpid()));
  const std::string utf8 = (base / "p\xC3\xA9nzt\xC3\xA1r").string();  // "pénztár"
  std::filesystem::create_directories(utf8);
  DeviceDir devices;
  PtyPair reg;
  devices.Link("COM3", reg.slave_path());

  Ref<ITarvo> control;
  ASSERT_EQ(CreateControl(control), S_OK);
  const std::u16string wide = platform::Utf8ToUtf16(utf8);
  BSTR path = SysAllocString(wide.c_str());
  LONG value = 77;
  ASSERT_EQ(control->PortOpen(3, 9600, 10, path, &value), S_OK);
  SysFreeString(path);
  EXPECT_EQ(value, 0);
  ASSERT_EQ(control->PortClose(3), S_OK);  // the last logging port: flushed

  const std::string file = utf8 + "/KV500M.log";
  std::string text;
  EXPECT_TRUE(WaitUntil([&] {
    text = ReadWholeFile(file);
    return text.find("PortClose") != std::string::npos;
  })) << "nothing in " << file;
  const std::string code_page = platform::ToAnsi(wide);
  EXPECT_NE(text.find("COM3: PortOpen 9600 10 " + code_page + "\r\n"), std::string::npos) << text;
  control.Reset();
  std::error_code ec;
  std::filesystem::remove_all(base, ec);
}

}  // namespace
}  // namespace tarvo::test
