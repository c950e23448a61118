// Two simulated registers on two pseudo-terminals at once, served by one
// control or by two: each register's answers satisfy only the commands
// waiting on its own port, and one register's waste sequence does not change
// how the other register's requests are handled. The controls' loops run on
// the test's thread with the real clock.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "events/control_driver.h"
#include "tests/events/events_harness.h"
#include "tools/sim/register_sim.h"

namespace tarvo::events {
namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kComA = 3;
constexpr std::uint8_t kComB = 4;
// How much later than usual register B answers reads and status queries:
// rounds after its acknowledgement, when register A's messages are in.
constexpr int kLateMs = 900;

sim::SimOptions RegisterA(const std::string& dir) {
  sim::SimOptions o;
  o.port = kComA;
  o.device_dir = dir;
  o.day_open = false;
  o.clerks = {{"XAVER", 9, {0, 0}, {0, 1}}, {"YVES", 8, {0, 0}, {0, 1}}};
  return o;
}

sim::SimOptions RegisterB(const std::string& dir) {
  sim::SimOptions o;
  o.port = kComB;
  o.device_dir = dir;
  o.day_open = true;
  o.answer_delay_ms = {{0x03, kLateMs}, {0x06, kLateMs}};
  return o;
}

// Runs `send` on its own thread as soon as `reg` has received a host frame
// that starts with `request` (the register-side "meanwhile").
class Meanwhile {
 public:
  Meanwhile(sim::RegisterSimulator& reg, std::string request, std::function<void()> send)
      : thread_([&reg, request = std::move(request), send = std::move(send)] {
          tarvo::test::WaitUntil([&] {
            for (const auto& body : reg.HostBodies())
              if (body.rfind(request, 0) == 0) return true;
            return false;
          });
          send();
        }) {}
  ~Meanwhile() { thread_.join(); }

 private:
  std::thread thread_;
};

const std::string kStatusQuery = link::TableBody(link::kFnStatus, 1);
const std::string kReadClerks = link::TableBody(link::FnReadTable(7), 1);

class TwoRegistersTest : public ::testing::Test {
 protected:
  test::LogCapture log_;
  tarvo::test::DeviceDir dir_;
  sim::RegisterSimulator a_{RegisterA(dir_.path())};
  sim::RegisterSimulator b_{RegisterB(dir_.path())};
  core::DriverState state_;
};

TEST_F(TwoRegistersTest, OneControlTakesEachAnswerFromItsOwnPort) {
  platform::MessageLoop loop;
  ControlDriver control(loop, state_);
  test::RecordingReceiver receiver;
  control.SetReceiver(&receiver);
  ASSERT_EQ(control.impl().PortOpen(kComA, 9600, 0, log_.dir()), 0);
  ASSERT_EQ(control.impl().PortOpen(kComB, 9600, 0, log_.dir()), 0);
  auto& commands = control.commands();

  // While the status query waits on B, register A reports its closed day.
  bool day_open = false;
  std::int32_t value = -1;
  {
    Meanwhile a_answers(b_, kStatusQuery, [&] { a_.Send(sim::msg::StatusAnswer(false)); });
    commands.GetStatus(kComB, day_open, value);
  }
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(day_open);

  // While the clerk upload waits for B's clerk table, A sends its own.
  {
    Meanwhile a_answers(b_, kReadClerks, [&] {
      a_.Send(sim::msg::TableAnswer(7, 2, sim::BuildTable7(RegisterA("").clerks)));
    });
    commands.ClerkUpload(kComB, u"2", u"ZOLI", u"4242", u"1", value);
  }
  EXPECT_EQ(value, 0);
  const auto clerks = b_.Clerks();
  ASSERT_EQ(clerks.size(), 3u);
  EXPECT_EQ(clerks[0].name, "ANNA");
  EXPECT_EQ(clerks[0].secret_code, 1111);
  EXPECT_EQ(clerks[1].name, "ZOLI");
  EXPECT_EQ(clerks[1].secret_code, 4242);
  EXPECT_EQ(clerks[2].name, "CSABA");
  EXPECT_EQ(a_.Clerks().size(), 2u);  // A's table was never written
  EXPECT_TRUE(receiver.calls.empty());
}

TEST_F(TwoRegistersTest, OneRegistersRefusedWasteDoesNotLeakIntoTheOther) {
  platform::MessageLoop loop;
  ControlDriver control(loop, state_);
  control.impl().Mode650 = 0;  // the 841 mode
  test::RecordingReceiver receiver;
  control.SetReceiver(&receiver);
  ASSERT_EQ(control.impl().PortOpen(kComA, 9600, 0, log_.dir()), 0);
  ASSERT_EQ(control.impl().PortOpen(kComB, 9600, 0, log_.dir()), 0);
  auto pump_until = [&](const std::function<bool()>& done) {
    return tarvo::test::WaitUntil([&] {
      loop.ProcessPendingMessages();
      return done();
    });
  };
  const auto request = [](char tr_type) {
    sim::msg::LongInquiry q;
    q.clerk_code = 7;
    q.tr_type = static_cast<std::uint8_t>(tr_type);
    q.department = 3;
    return sim::msg::PluInquiryLong(q, "AP0000001", 42);
  };

  // A's waste request is refused by the driver.
  const std::uint64_t mark_a = a_.Mark();
  ASSERT_EQ(a_.Send(request('W')), sim::SendStatus::kAcked);
  ASSERT_TRUE(pump_until([&] { return a_.WaitFor(sim::Answer::kOperation, mark_a, 0ms); }));
  ASSERT_TRUE(a_.LastOperation());
  EXPECT_FALSE(a_.LastOperation()->enable);

  // B's ordinary department request goes to the host; B hears nothing from
  // the driver.
  const std::uint64_t mark_b = b_.Mark();
  ASSERT_EQ(b_.Send(request('S')), sim::SendStatus::kAcked);
  ASSERT_TRUE(pump_until([&] { return !receiver.calls.empty(); }));
  EXPECT_EQ(receiver.calls,
            std::vector<std::string>{R"(OnSellRequest(4, 1000, 3, 83, "7", 42, "AP0000001", false))"});
  EXPECT_FALSE(b_.WaitFor(sim::Answer::kOperation, mark_b, 300ms));

  // A's own next request still closes its waste sequence.
  ASSERT_EQ(a_.Send(request('S')), sim::SendStatus::kAcked);
  ASSERT_TRUE(pump_until([&] { return receiver.calls.size() >= 2; }));
  EXPECT_EQ(receiver.calls.back(), "OnCloseWaste(3)");
}

TEST_F(TwoRegistersTest, TwoControlsTakeEachAnswerFromItsOwnPort) {
  platform::MessageLoop loop_a;
  platform::MessageLoop loop_b;
  ControlDriver control_a(loop_a, state_);
  ControlDriver control_b(loop_b, state_);
  ASSERT_EQ(control_a.impl().PortOpen(kComA, 9600, 0, log_.dir()), 0);
  ASSERT_EQ(control_b.impl().PortOpen(kComB, 9600, 0, log_.dir()), 0);

  // Control B waits for B's late status answer while A reports its closed
  // day to control A.
  bool day_open = false;
  std::int32_t value = -1;
  {
    Meanwhile a_answers(b_, kStatusQuery, [&] { a_.Send(sim::msg::StatusAnswer(false)); });
    control_b.commands().GetStatus(kComB, day_open, value);
  }
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(day_open);

  // Control A's own query gets A's own answer.
  control_a.commands().GetStatus(kComA, day_open, value);
  EXPECT_EQ(value, 0);
  EXPECT_FALSE(day_open);
}

}  // namespace
}  // namespace tarvo::events
