// The module's own path: the file that holds the platform code, here the
// test program itself (the code is linked in statically).
#include "platform/module_path.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <string>

namespace tarvo::platform {
namespace {

TEST(ModulePath, IsTheAbsolutePathOfTheFileHoldingTheCodeAndItsDirectory) {
  char exe[PATH_MAX];
  ASSERT_NE(::realpath("/proc/self/exe", exe), nullptr);
  const std::string path = ModulePath();
  EXPECT_EQ(path, exe);
  const std::string dir = ModuleDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(path.substr(0, dir.size() + 1), dir + "/");
  EXPECT_EQ(path.find('/', dir.size() + 1), std::string::npos);
}

}  // namespace
}  // namespace tarvo::platform
