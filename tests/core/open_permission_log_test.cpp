// A logging port whose device the user may not open: Init/PortOpen return 1
// and the log says why and what to do.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "core_fixture.h"
#include "tests/support/log_file.h"

namespace tarvo::test {
namespace {

TEST_F(CoreTest, AnOpenRefusedForPermissionLogsTheReasonAndWhatToDo) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const group* dialout = ::getgrnam("dialout");
  if (dialout == nullptr) GTEST_SKIP() << "no group dialout on this machine";
  // A device of the group dialout, reached as COM5; the user "nobody" may
  // reach the folders but not the device.
  const std::string device = (log_dir_ / "ttyUSB0").string();
  ::close(::open(device.c_str(), O_CREAT | O_WRONLY, 0660));
  ASSERT_EQ(::chown(device.c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(::chmod(device.c_str(), 0660), 0);
  devices_.Link("COM5", device);
  ASSERT_EQ(::chmod(devices_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(log_dir_.c_str(), 0777), 0);

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int status = 2;
    if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
      core::DiagLog::Instance().SetTimeSource(FixedLogTime);
      auto& impl = MakeControl();
      status = impl.PortOpen(5, 9600, 10, log_dir_.string()) == 1 ? 0 : 3;
      core::DiagLog::Instance().StopWriter(/*flush_first=*/true);
    }
    ::_exit(status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadWholeFile(LogPath()),
            "2009:5:7 9:3:12 COM5: PortOpen ERROR: Unable to open com port (win error code: " +
                std::to_string(EACCES) + "): permission denied on " + devices_.path() +
                "/COM5, which belongs to the group dialout; add the user to the group dialout "
                "and log in again\r\n");
}

}  // namespace
}  // namespace tarvo::test
