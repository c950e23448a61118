// A device the user may not open: the open error says which group owns the
// device and what to do, after the standard text and its error number.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "link/com_port.h"
#include "tests/support/pty_pair.h"

namespace tarvo::link::testing {
namespace {

// A stand-in device file: mode 0660, owned by `gid`.
class DeviceFile {
 public:
  explicit DeviceFile(gid_t gid) {
    char name[] = "/tmp/tarvo-device-XXXXXX";
    const int fd = ::mkstemp(name);
    path_ = name;
    if (fd >= 0) ::close(fd);
    ok_ = fd >= 0 && ::chmod(name, 0660) == 0 && ::chown(name, ::getuid(), gid) == 0;
  }
  ~DeviceFile() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_ = false;
};

std::string GroupName(gid_t gid) {
  const group* gr = ::getgrgid(gid);
  return gr != nullptr ? gr->gr_name : std::to_string(gid);
}

TEST(OpenFailureHint, NamesTheOwningGroupForAPermissionError) {
  DeviceFile device(::getgid() != 0 ? ::getgid() : 20 /* dialout */);
  ASSERT_TRUE(device.ok());
  struct stat st {};
  ASSERT_EQ(::stat(device.path().c_str(), &st), 0);
  const std::string group = GroupName(st.st_gid);
  const std::string expected = ": permission denied on " + device.path() +
                               ", which belongs to the group " + group +
                               "; add the user to the group " + group + " and log in again";
  EXPECT_EQ(OpenFailureHint(device.path(), EACCES), expected);
  EXPECT_EQ(OpenFailureHint(device.path(), EPERM), expected);
}

TEST(OpenFailureHint, OtherErrorsHaveNoHint) {
  for (int err : {ENOENT, EBUSY, EIO, ENXIO}) EXPECT_EQ(OpenFailureHint("/dev/ttyS0", err), "");
}

TEST(OpenFailureHint, ADeviceNoGroupMayOpenAsksForTheAdministrator) {
  DeviceFile device(::getgid());
  ASSERT_TRUE(device.ok());
  ASSERT_EQ(::chmod(device.path().c_str(), 0600), 0);
  EXPECT_EQ(OpenFailureHint(device.path(), EACCES),
            ": permission denied on " + device.path() +
                "; ask the administrator for read and write access to it");
}

// An ordinary user (nobody) opening a dialout device through a COMn link:
// code 1, the standard text with the error number, then the hint.
TEST(OpenFailureHint, AnOrdinaryUserOpeningADialoutDeviceIsToldWhatToDo) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const group* dialout = ::getgrnam("dialout");
  if (dialout == nullptr) GTEST_SKIP() << "no group dialout on this machine";
  DeviceFile device(dialout->gr_gid);
  ASSERT_TRUE(device.ok());
  tarvo::test::DeviceDir dir;
  dir.Link("COM5", device.path());
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);

  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(out[0]);
    std::string report = "no error";
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
      report = "cannot become nobody";
    } else {
      try {
        TComPort port;
        port.SetPort("COM5");
        port.SetEvents(0);
        port.OpenDevice();
      } catch (const EComPort& e) {
        report = std::to_string(e.Code()) + "|" + e.what();
      }
    }
    const ssize_t written = ::write(out[1], report.data(), report.size());
    ::_exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
  }
  ::close(out[1]);
  std::string report;
  char buf[512];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) report.append(buf, n);
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(report, "1|Unable to open com port (win error code: " + std::to_string(EACCES) +
                        "): permission denied on " + dir.path() + "/COM5" +
                        ", which belongs to the group dialout; add the user to the group "
                        "dialout and log in again");
}

}  // namespace
}  // namespace tarvo::link::testing
