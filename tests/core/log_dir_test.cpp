// The log directory given to Init/PortOpen: a name with non-ASCII
// characters is found on disk (in the file system's encoding), while the
// call's log line keeps the host's code-page bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core_fixture.h"
#include "platform/codepage.h"
#include "tests/support/log_file.h"

namespace tarvo::test {
namespace {

using core::DiagLog;

TEST_F(CoreTest, ALogDirectoryWithAccentedLettersReceivesTheLog) {
  DiagLog::Instance().SetTimeSource(FixedLogTime);
  const std::string utf8 = (log_dir_ / "p\xC3\xA9nzt\xC3\xA1r").string();  // "pénztár"
  std::filesystem::create_directory(utf8);
  const std::string code_page = platform::ToAnsi(platform::Utf8ToUtf16(utf8));
  ASSERT_NE(code_page, utf8);  // one byte per accented letter

  auto& impl = MakeControl();
  AddRegister(1);
  ASSERT_EQ(impl.PortOpen(1, 9600, 100, code_page, utf8), 0);
  EXPECT_EQ(DiagLog::Instance().LogDir(), utf8);
  impl.PortClose(1);
  FlushLog();

  const std::string text = ReadWholeFile(utf8 + "/KV500M.log");
  EXPECT_EQ(text, "2009:5:7 9:3:12 COM1: PortOpen 9600 100 " + code_page +
                      "\r\n2009:5:7 9:3:12 COM1: PortClose\r\n");
  EXPECT_FALSE(std::filesystem::exists(code_page));
}

}  // namespace
}  // namespace tarvo::test
