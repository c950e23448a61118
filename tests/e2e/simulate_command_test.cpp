// `tarvomdrv bridge` against `tarvomdrv simulate`: two programs, one line.
#include <sys/wait.h>

#include <cstdio>
#include <future>

#include "e2e_fixture.h"

namespace tarvo::test {
namespace {

TEST_F(E2ETest, BridgeAgainstTheSimulateCommandPlaysA841Day) {
  const std::string command = BinDir() + "/tarvomdrv simulate --port 11 --scenario day841 "
                              "--exit-after-script --quiet --device-dir " + devices_.path() + " 2>&1";
  auto simulator = std::async(std::launch::async, [&] { return RunCommand(command); });
  const auto link = std::filesystem::path(devices_.path()) / "COM11";
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(link); }, 20s));

  BridgeProcess& b = StartBridge();
  PosClient client(b);
  b.Call(Json{{"put", "Mode650"}, {"value", false}});
  ASSERT_EQ(Init(11)["result"]["Value"], 0);
  ASSERT_TRUE(WaitUntil([&] {
    client.Serve();
    return b.CountEvents("OnDailyReport") == 1;
  }, 60s));
  const std::string out = simulator.get();
  EXPECT_NE(out.find("script done"), std::string::npos) << out;
  EXPECT_NE(out.find("exit=0"), std::string::npos) << out;
  EXPECT_EQ(b.CountEvents("OnCloseReceipt"), 2u);
  EXPECT_EQ(b.CountEvents("OnCancelReceipt"), 1u);
  EXPECT_EQ(b.Finish(), 0);
}

}  // namespace
}  // namespace tarvo::test
