// Line settings, setters while closed and open, device names and opening.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "tests/serial/com_fixture.h"

namespace tarvo::link::testing {
namespace {

using namespace std::chrono_literals;

termios LineOf(const tarvo::test::PtyPair& pty) {
  termios tio{};
  if (::tcgetattr(pty.slave_fd(), &tio) != 0) throw std::runtime_error("tcgetattr");
  return tio;
}

speed_t OutSpeedOf(const tarvo::test::PtyPair& pty) {
  const termios tio = LineOf(pty);
  return ::cfgetospeed(&tio);
}

// Runs `f`, which must raise EComPort; returns it.
template <typename F>
EComPort Raised(F&& f) {
  try {
    f();
  } catch (const EComPort& e) {
    return e;
  }
  ADD_FAILURE() << "no EComPort raised";
  return EComPort(0, -1);
}

TEST(ComPortDefaults, MatchTheDocumentedValues) {
  TComPort port;
  EXPECT_EQ(port.Port(), "COM1");
  EXPECT_EQ(port.BaudRate(), TBaudRate::br9600);
  EXPECT_EQ(port.CustomBaudRate(), 9600);
  EXPECT_EQ(port.DataBits(), TDataBits::dbEight);
  EXPECT_EQ(port.StopBits(), TStopBits::sbOneStopBit);
  EXPECT_EQ(port.Parity().Bits, TParityBits::prNone);
  EXPECT_FALSE(port.Parity().Check);
  EXPECT_FALSE(port.FlowControl().OutCTSFlow);
  EXPECT_FALSE(port.FlowControl().XonXoffOut);
  EXPECT_FALSE(port.FlowControl().XonXoffIn);
  EXPECT_EQ(port.FlowControl().ControlDTR, TDTRFlowControl::dtrDisable);
  EXPECT_EQ(port.FlowControl().ControlRTS, TRTSFlowControl::rtsDisable);
  EXPECT_EQ(port.Timeouts().ReadInterval, -1);
  EXPECT_EQ(port.Timeouts().WriteTotalMultiplier, 100);
  EXPECT_EQ(port.Timeouts().WriteTotalConstant, 1000);
  EXPECT_EQ(port.Buffer().InputSize, 1024);
  EXPECT_EQ(port.Buffer().OutputSize, 1024);
  EXPECT_EQ(port.Events(), kAllComEvents);
  EXPECT_EQ(port.SyncMethod(), TSyncMethod::smThreadSync);
  EXPECT_EQ(port.EventChar(), 0);
  EXPECT_FALSE(port.DiscardNull());
  EXPECT_FALSE(port.Connected());
}

TEST(ComPortDefaults, OddBufferSizesAreLoweredByOne) {
  TComPort port;
  port.SetBuffer({1025, 7});
  EXPECT_EQ(port.Buffer().InputSize, 1024);
  EXPECT_EQ(port.Buffer().OutputSize, 6);
  port.SetBuffer({2048, 512});
  EXPECT_EQ(port.Buffer().InputSize, 2048);
  EXPECT_EQ(port.Buffer().OutputSize, 512);
}

TEST_F(ComPortTest, OpenPutsTheLineInRaw8N1WithoutFlowControl) {
  port_.OpenDevice();
  ASSERT_TRUE(port_.Connected());
  const termios tio = LineOf(*pty_);
  EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t{CS8});
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);
  EXPECT_EQ(::cfgetospeed(&tio), speed_t{B9600});
  EXPECT_EQ(::cfgetispeed(&tio), speed_t{B9600});
}

TEST_F(ComPortTest, BaudRateSetWhileClosedIsUsedAtTheNextOpen) {
  port_.SetBaudRate(TBaudRate::br19200);
  EXPECT_FALSE(port_.Connected());
  port_.OpenDevice();
  EXPECT_EQ(OutSpeedOf(*pty_), speed_t{B19200});
}

TEST_F(ComPortTest, LineSettersApplyAtOnceWhileOpen) {
  port_.OpenDevice();
  struct Case {
    TBaudRate rate;
    speed_t speed;  // B0: Linux has no such rate
  } cases[] = {
      {TBaudRate::br110, B110},       {TBaudRate::br300, B300},
      {TBaudRate::br600, B600},       {TBaudRate::br1200, B1200},
      {TBaudRate::br2400, B2400},     {TBaudRate::br4800, B4800},
      {TBaudRate::br14400, B0},       {TBaudRate::br19200, B19200},
      {TBaudRate::br38400, B38400},   {TBaudRate::br56000, B0},
      {TBaudRate::br57600, B57600},   {TBaudRate::br115200, B115200},
      {TBaudRate::br128000, B0},      {TBaudRate::br256000, B0},
      {TBaudRate::brCustom, B9600},   {TBaudRate::br9600, B9600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.rate));
    if (c.speed == B0) {
      const EComPort e = Raised([&] { port_.SetBaudRate(c.rate); });
      EXPECT_EQ(e.Code(), CError_SetStateFailed);
      EXPECT_EQ(e.WinCode(), EINVAL);
    } else {
      port_.SetBaudRate(c.rate);
      EXPECT_EQ(OutSpeedOf(*pty_), c.speed);
    }
    EXPECT_TRUE(port_.Connected());
  }

  port_.SetBaudRate(TBaudRate::brCustom);
  port_.SetCustomBaudRate(115200);
  EXPECT_EQ(OutSpeedOf(*pty_), speed_t{B115200});

  port_.SetStopBits(TStopBits::sbTwoStopBits);
  EXPECT_NE(LineOf(*pty_).c_cflag & CSTOPB, 0u);
  // One and a half stop bits exist only with five data bits.
  EXPECT_EQ(Raised([&] { port_.SetStopBits(TStopBits::sbOne5StopBits); }).Code(),
            CError_SetStateFailed);
  port_.SetStopBits(TStopBits::sbOneStopBit);
  EXPECT_EQ(LineOf(*pty_).c_cflag & CSTOPB, 0u);

  // Some kernels' pseudo-terminals carry 8-bit characters only and refuse
  // CS7 with EINVAL; either way the change reached the device at once.
  try {
    port_.SetDataBits(TDataBits::dbSeven);
    EXPECT_EQ(LineOf(*pty_).c_cflag & CSIZE, tcflag_t{CS7});
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), CError_SetStateFailed);
    EXPECT_EQ(e.WinCode(), EINVAL);
  }
  port_.SetDataBits(TDataBits::dbEight);
  EXPECT_EQ(LineOf(*pty_).c_cflag & CSIZE, tcflag_t{CS8});
  EXPECT_TRUE(port_.Connected());
}

TEST_F(ComPortTest, UnsupportedRateFailsTheOpenAndLeavesThePortClosed) {
  port_.SetBaudRate(TBaudRate::br14400);
  const EComPort e = Raised([&] { port_.OpenDevice(); });
  EXPECT_EQ(e.Code(), CError_SetStateFailed);
  EXPECT_FALSE(port_.Connected());
  // Nothing stayed locked: a corrected setting opens.
  port_.SetBaudRate(TBaudRate::br9600);
  port_.OpenDevice();
  EXPECT_TRUE(port_.Connected());
}

TEST_F(ComPortTest, SyncMethodCannotChangeWhileOpen) {
  port_.SetSyncMethod(TSyncMethod::smWindowSync);  // closed: stored
  EXPECT_EQ(port_.SyncMethod(), TSyncMethod::smWindowSync);
  port_.OpenDevice();
  port_.SetSyncMethod(TSyncMethod::smWindowSync);  // the value held: nothing happens
  const EComPort e = Raised([&] { port_.SetSyncMethod(TSyncMethod::smNone); });
  EXPECT_EQ(e.Code(), CError_ConnChangeProp);
  EXPECT_EQ(e.WinCode(), -1);
  EXPECT_STREQ(e.what(), "Cannot set property while connected");
  EXPECT_EQ(port_.SyncMethod(), TSyncMethod::smWindowSync);
  EXPECT_TRUE(port_.Connected());
}

TEST_F(ComPortTest, PortChangedWhileOpenMovesToTheNewDevice) {
  tarvo::test::PtyPair other;
  dir_.Link("COM4", other.slave_path());
  port_.OpenDevice();
  port_.SetPort("COM4");
  EXPECT_TRUE(port_.Connected());
  EXPECT_EQ(port_.Port(), "COM4");

  other.WriteMaster("hi");
  ASSERT_TRUE(rx_.WaitFor(2));
  EXPECT_EQ(port_.ReceiveBytes(10), "hi");

  // The old device was released.
  TComPort second;
  second.SetPort("COM3");
  second.SetEvents(0);
  second.OpenDevice();
  EXPECT_TRUE(second.Connected());
}

TEST(ComPortDevicePath, MapsComNToTtySUnlessTheDeviceDirectoryHasTheName) {
  tarvo::test::DeviceDir dir;
  dir.Link("COM12", "/dev/null");
  const struct {
    const char* name;
    std::string path;
  } cases[] = {
      {"COM1", "/dev/ttyS0"},   {"COM2", "/dev/ttyS1"},   {"COM10", "/dev/ttyS9"},
      {"COM16", "/dev/ttyS15"}, {"COM12", dir.path() + "/COM12"},
  };
  for (const auto& c : cases) EXPECT_EQ(TComPort::DevicePath(c.name), c.path) << c.name;
}

TEST_F(ComPortTest, PortsTenToSixteenOpenThroughTheDeviceDirectory) {
  for (int n = 10; n <= 16; ++n) {
    const std::string name = "COM" + std::to_string(n);
    SCOPED_TRACE(name);
    tarvo::test::PtyPair pty;
    dir_.Link(name, pty.slave_path());
    TComPort port;
    Configure(port, name);
    port.OpenDevice();
    ASSERT_TRUE(port.Connected());
    EXPECT_EQ(port.TransmitBytes("n"), 1);
    EXPECT_EQ(pty.ReadMasterExactly(1, 10s), "n");
  }
}

TEST_F(ComPortTest, MissingDeviceFailsWithCodeOneAndCanBeOpenedLater) {
  port_.SetPort("COM5");
  dir_.Link("COM5", dir_.path() + "/nothing-here");
  const EComPort e = Raised([&] { port_.OpenDevice(); });
  EXPECT_EQ(e.Code(), CError_OpenFailed);
  EXPECT_EQ(e.WinCode(), ENOENT);
  EXPECT_FALSE(port_.Connected());

  dir_.Link("COM5", pty_->slave_path());
  port_.OpenDevice();
  EXPECT_TRUE(port_.Connected());
}

TEST_F(ComPortTest, OpenAndCloseRepeatAndAreIdempotent) {
  for (int round = 0; round < 2; ++round) {
    port_.OpenDevice();
    port_.OpenDevice();
    EXPECT_TRUE(port_.Connected());
    pty_->WriteMaster("r");
    ASSERT_TRUE(tarvo::test::WaitUntil([&] { return rx_.Size() == std::size_t(round + 1); }));
    EXPECT_EQ(port_.ReceiveBytes(4), "r");
    port_.CloseDevice();
    port_.CloseDevice();
    EXPECT_FALSE(port_.Connected());
  }
}

TEST_F(ComPortTest, SecondOpenInThisProcessFailsWithCodeOne) {
  port_.OpenDevice();
  TComPort second;
  Configure(second, "COM3");
  const EComPort e = Raised([&] { second.OpenDevice(); });
  EXPECT_EQ(e.Code(), CError_OpenFailed);
  EXPECT_NE(e.WinCode(), -1);
  EXPECT_EQ(e.WinCode(), EBUSY);  // for root and ordinary users alike
  EXPECT_FALSE(second.Connected());

  port_.CloseDevice();
  second.OpenDevice();
  EXPECT_TRUE(second.Connected());
}

TEST_F(ComPortTest, PortHeldByAnotherProcessFailsWithCodeOne) {
  int ready[2];
  int release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The other program: holds COM3 until told to let go. No event thread,
    // and no return into the test framework.
    int status = 0;
    try {
      TComPort holder;
      holder.SetPort("COM3");
      holder.SetEvents(0);
      holder.OpenDevice();
      char c = 'y';
      status = ::write(ready[1], &c, 1) == 1 ? 0 : 2;
      if (::read(release[0], &c, 1) != 1) status = 3;
    } catch (...) {
      status = 1;
    }
    ::_exit(status);
  }
  ::close(ready[1]);
  ::close(release[0]);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1) << "the child could not open the port";

  const EComPort e = Raised([&] { port_.OpenDevice(); });
  EXPECT_EQ(e.Code(), CError_OpenFailed);
  EXPECT_EQ(e.WinCode(), EBUSY);
  EXPECT_EQ(std::string(e.what()),
            "Unable to open com port (win error code: " + std::to_string(EBUSY) + ")");
  EXPECT_FALSE(port_.Connected());

  ASSERT_EQ(::write(release[1], &c, 1), 1);
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::close(ready[0]);
  ::close(release[1]);

  port_.OpenDevice();
  EXPECT_TRUE(port_.Connected());
}

}  // namespace
}  // namespace tarvo::link::testing
