// `tarvomdrv ports`: the serial devices and the COMn names they are reached
// as, and `ports --link` making such a name.
#include <filesystem>
#include <string>

#include "e2e_fixture.h"
#include "tests/support/pty_pair.h"

namespace tarvo::test {
namespace {

namespace fs = std::filesystem;

std::string Ports(const std::string& device_dir, const std::string& args = "") {
  return RunCommand("TARVO_DEVICE_DIR='" + device_dir + "' " + BinDir() + "/tarvomdrv ports " +
                    args + " 2>&1");
}

TEST(PortsCommand, APseudoTerminalLinkedAsCom3IsListedWithItsNameAndAccess) {
  PtyPair pty;
  DeviceDir dir;
  dir.Link("COM3", pty.slave_path());
  const std::string out = Ports(dir.path());
  EXPECT_NE(out.find(pty.slave_path() + "\n  COM:    COM3 (" + dir.path() + "/COM3)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("exit=0"), std::string::npos) << out;
}

TEST(PortsCommand, AnEntryWhoseDeviceIsGoneSaysWhereItPoints) {
  DeviceDir dir;
  dir.Link("COM9", "/dev/ttyUSB99-not-here");
  const std::string out = Ports(dir.path());
  EXPECT_NE(out.find("COM9 (" + dir.path() + "/COM9)"), std::string::npos) << out;
  EXPECT_NE(out.find("no: the entry links to /dev/ttyUSB99-not-here, which does not exist"),
            std::string::npos)
      << out;
}

TEST(PortsCommand, LinkCreatesTheDeviceDirectoryAndReplacesAnOlderEntry) {
  PtyPair first;
  PtyPair second;
  DeviceDir parent;
  const std::string dir = parent.path() + "/devices";
  EXPECT_NE(Ports(dir, "--link COM4 " + first.slave_path()).find("exit=0"), std::string::npos);
  EXPECT_EQ(fs::read_symlink(dir + "/COM4").string(), first.slave_path());
  EXPECT_NE(Ports(dir, "--link COM4 " + second.slave_path()).find("exit=0"), std::string::npos);
  EXPECT_EQ(fs::read_symlink(dir + "/COM4").string(), second.slave_path());

  const std::string refused = Ports(dir, "--link COM17 " + first.slave_path());
  EXPECT_NE(refused.find("COM1 to COM16"), std::string::npos) << refused;
  EXPECT_NE(refused.find("exit=1"), std::string::npos) << refused;
}

}  // namespace
}  // namespace tarvo::test
