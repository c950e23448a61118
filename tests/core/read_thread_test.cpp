// The port readers on their own: a reader whose port fails, is closed or is
// not registered does not keep the reader of another port from serving it.
#include "core/read_thread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "core/diag_log.h"
#include "core/driver_state.h"
#include "link/frame.h"
#include "tests/link/hex.h"
#include "tests/support/log_file.h"
#include "tests/support/pty_pair.h"
#include "tests/support/wait.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using core::DiagLog;
using link::test::H;

class ReadThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DiagLog::Instance().ResetForTest();
    dir_ = std::filesystem::temp_directory_path() /
           ("tarvo-read-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    DiagLog::Instance().SetLogDir(dir_.string());
    DiagLog::Instance().SetTimeSource(FixedLogTime);
    DiagLog::Instance().RaiseMaxLogSize(5);
    ASSERT_TRUE(DiagLog::Instance().StartWriter());
  }
  void TearDown() override {
    DiagLog::Instance().ResetForTest();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string FlushedLog() {
    FlushLog();
    return ReadWholeFile((dir_ / "KV500M.log").string());
  }

  std::filesystem::path dir_;
};

TEST_F(ReadThreadTest, AFailingPortIsLoggedAndTheOtherPortsAreServedOn) {
  core::DriverState driver;
  PtyPair gone;
  PtyPair reg;
  DeviceDir devices;
  devices.Link("COM1", gone.slave_path());
  devices.Link("COM2", reg.slave_path());

  // Entry 0: a logging port whose line hangs up, so reading it fails.
  auto broken = std::make_shared<link::TComPort>();
  broken->SetPort("COM1");
  broken->SetEvents(0);
  auto failing = std::make_shared<core::PortEntry>(broken, 1, nullptr);
  failing->LogSize = 5;
  ASSERT_EQ(driver.ports.Append(failing), 0);
  auto failing_reader = std::make_unique<core::TReadThread>(driver, *failing);
  broken->OpenDevice();

  // Entry 1: an open port whose arrivals reach its reader.
  auto open = std::make_shared<link::TComPort>();
  open->SetPort("COM2");
  open->SetEvents(link::evRxChar);
  auto working = std::make_shared<core::PortEntry>(open, 2, nullptr);
  ASSERT_EQ(driver.ports.Append(working), 1);
  working->AttachReader(driver);
  open->OpenDevice();

  // Entry 2: a logging port that is closed; a late notification for it is
  // dropped without a word.
  auto closed = std::make_shared<link::TComPort>();
  closed->SetPort("COM3");
  auto quiet = std::make_shared<core::PortEntry>(closed, 3, nullptr);
  quiet->LogSize = 5;
  ASSERT_EQ(driver.ports.Append(quiet), 2);
  auto quiet_reader = std::make_unique<core::TReadThread>(driver, *quiet);

  // An entry that is not (or no longer) registered: its reader serves nobody.
  auto loose_port = std::make_shared<link::TComPort>();
  loose_port->SetPort("COM4");
  auto loose = std::make_shared<core::PortEntry>(loose_port, 4, nullptr);
  loose->LogSize = 5;
  auto loose_reader = std::make_unique<core::TReadThread>(driver, *loose);

  gone.CloseMaster();
  failing_reader->PostRxNotify(5);  // the read fails: logged, nothing else
  quiet_reader->PostRxNotify(5);    // port closed meanwhile: nothing to do
  loose_reader->PostRxNotify(5);    // no entry in the registry: ignored
  reg.WriteMaster(H("10 02 9D 41 10 03 FC"));
  EXPECT_EQ(reg.ReadMasterExactly(2, 10s), link::kDleAck);
  ASSERT_TRUE(WaitUntil([&] { return !driver.queue.Empty(); }));
  EXPECT_EQ(driver.queue.Front()->bytes, H("9D 31 41"));

  ASSERT_TRUE(WaitUntil([&] { return FlushedLog().find("ReadThread ERROR") != std::string::npos; }));
  failing_reader.reset();
  quiet_reader.reset();
  loose_reader.reset();
  {
    std::lock_guard<std::mutex> lock(failing->rx_mutex);
    EXPECT_EQ(failing->RxBuffer, "");
  }
  working->Retire();
  broken->CloseDevice();
  const std::string text = FlushedLog();
  EXPECT_EQ(text.find("2009:5:7 9:3:12 COM1: ReadThread ERROR: ReadFile function failed"), 0u)
      << text;
  EXPECT_EQ(text.find("\r\n"), text.size() - 2) << text;  // that one line only
}

}  // namespace
}  // namespace tarvo::test
