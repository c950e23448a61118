// The log's file services on this system: writing at offsets, cutting, sizes
// and the error numbers of files that cannot be opened.
#include "platform/log_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace tarvo::platform {
namespace {

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/log_file_test.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/file.log";
  }
  void TearDown() override {
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
  }
  std::string Contents() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string dir_;
  std::string path_;
};

TEST_F(LogFileTest, WritesAtOffsetsCutsAndTellsItsSize) {
  LogFile file;
  ASSERT_EQ(file.Create(path_), 0);
  std::int64_t written = -1;
  EXPECT_EQ(file.WriteAt("hello world", 0, written), 0);
  EXPECT_EQ(written, 11);
  EXPECT_EQ(file.WriteAt("HELLO", 0, written), 0);  // over the oldest text
  EXPECT_EQ(file.Size(), 11);
  EXPECT_EQ(Contents(), "HELLO world");
  EXPECT_TRUE(file.Truncate());
  EXPECT_EQ(file.Size(), 0);
  EXPECT_EQ(file.WriteAt("abc", 0, written), 0);
  file.Close();
  EXPECT_EQ(FileSizeOf(path_), 3);

  LogFile again;  // an existing file keeps its text
  ASSERT_EQ(again.OpenExisting(path_), 0);
  EXPECT_EQ(again.Size(), 3);
  EXPECT_EQ(Contents(), "abc");
}

TEST_F(LogFileTest, FilesThatCannotBeOpenedGiveTheSystemsErrorNumber) {
  LogFile file;
  EXPECT_EQ(file.OpenExisting(path_), ENOENT);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Create(dir_ + "/missing/file.log"), ENOENT);
  EXPECT_EQ(FileSizeOf(dir_ + "/missing/file.log"), 0);
  std::int64_t written = -1;
  EXPECT_EQ(file.WriteAt("x", 0, written), EBADF);
  EXPECT_EQ(written, 0);
  EXPECT_FALSE(SystemErrorText(ENOENT).empty());
}

}  // namespace
}  // namespace tarvo::platform
