// The Python example client of the README, run against a simulated register.
#include <sys/wait.h>

#include <cstdio>
#include <future>

#include "e2e_fixture.h"
#include "tools/sim/messages.h"

namespace tarvo::test {
namespace {

TEST_F(E2ETest, TheReadmePythonClientAnswersAPluInquiry) {
  if (std::system("python3 --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
  sim::RegisterSimulator& reg = AddRegister(5);
  const std::string command = "python3 " TARVO_SOURCE_DIR "/tools/examples/pos_client.py --port 5 "
                              "--seconds 8 --program " + BinDir() + "/tarvomdrv 2>&1";
  auto client = std::async(std::launch::async, [&] { return RunCommand(command); });
  ASSERT_TRUE(WaitUntil([&] { return reg.LinkResets() > 0; }, 20s));
  sim::msg::LongInquiry q;
  q.code = "5998";
  ASSERT_TRUE(reg.Request(sim::msg::PluInquiryLong(q, reg.options().ap, 1), sim::Answer::kPlu, 10s));
  const auto plu = reg.LastPluRecord();
  ASSERT_TRUE(plu.has_value());
  EXPECT_EQ(plu->code, "5998");
  EXPECT_EQ(plu->prices[0], 100);
  const std::string out = client.get();
  EXPECT_NE(out.find("event OnPluInquire "), std::string::npos) << out;  // Mode650 by default
  EXPECT_NE(out.find("exit=0"), std::string::npos) << out;
}

}  // namespace
}  // namespace tarvo::test
