// Register scripts: validation, running against a host that answers like the
// driver does, and the two built-in days.
#include "tools/sim/script.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "link/frame.h"
#include "tests/sim/host_line.h"
#include "tools/sim/register_sim.h"

namespace tarvo::sim {
namespace {

using namespace std::chrono_literals;
using test::HostLine;
using test::Token;

TEST(SimScript, RejectsMalformedSteps) {
  const char* bad[] = {
      R"({"send":"sale"})",                         // not an array
      R"([42])",                                     // not an object
      R"([{"send":"sale","expect":"plu"}])",         // two actions
      R"([{"sned":"sale"}])",                        // no action
      R"([{"send":"sail"}])",                        // unknown message
      R"([{"send":"sale","colour":"red"}])",         // unknown field
      R"([{"send":"sale","unit":"100"}])",           // text for an integer
      R"([{"send":"sale","item":"PP"}])",            // a byte field of two characters
      R"([{"send":"sale","tr":256}])",               // a byte out of range
      R"([{"send":"raw","hex":"1"}])",               // odd hex
      R"([{"expect":"coffee"}])",                    // unknown answer
      R"([{"expect":"operation","enable":"yes"}])",  // text for a flag
      R"([{"fault":"explode"}])",                    // unknown fault
      R"([{"sleep_ms":-1}])",                        // negative sleep
      R"([{"sleep_ms":5,"count":1}])",               // sleep with company
      R"([{"send":"sale"},)",                        // not JSON
  };
  for (const char* text : bad) EXPECT_THROW(ParseScript(text), ScriptError) << text;
  try {
    ParseScript(R"([{"sleep_ms":1},{"send":"sail"}])");
    FAIL() << "accepted";
  } catch (const ScriptError& e) {
    EXPECT_NE(std::string(e.what()).find("step 1"), std::string::npos) << e.what();
  }
  EXPECT_EQ(ParseScript(R"([{"send":"sale","item":"P","code":"5998","unit":100,"total":200,"count":2000},
                           {"expect":"plu"},{"fault":"nak","count":2},{"sleep_ms":50}])")
                .steps.size(),
            4u);
}

TEST(SimScript, BuiltInDaysAreValidAndCoverTheirCourse) {
  auto names = [](const Script& s) {
    std::string all;
    for (const auto& step : s.steps) {
      if (step.contains("send")) all += step["send"].get<std::string>() + " ";
    }
    return all;
  };
  const Script day841 = BusinessDay841();
  const std::string n841 = names(day841);
  for (const char* want : {"day_open ", "plu_inquiry_long ", "tender ", "cancel ", "paid ", "customer_inquiry ",
                           "id_key ", "clerk_login ", "modifier_request ", "daily_report "}) {
    EXPECT_NE(n841.find(want), std::string::npos) << want;
  }
  EXPECT_EQ(n841.find("plu_inquiry "), std::string::npos) << "841 uses long inquiries only";
  bool refused_waste = false;
  for (const auto& step : day841.steps) {
    const bool dept_request = step.value("send", "") == "plu_inquiry_long" && step.value("dept", 0) != 0;
    refused_waste = refused_waste || (dept_request && step.contains("tr") && step["tr"] == "W");
  }
  EXPECT_TRUE(refused_waste);

  const std::string n650 = names(ShortDay650());
  EXPECT_NE(n650.find("plu_inquiry "), std::string::npos);
  EXPECT_EQ(n650.find("plu_inquiry_long"), std::string::npos);
  EXPECT_EQ(ShortDay650().steps.back().value("expect", ""), "operation");
}

// A host that answers like the driver with an application behind it: it
// acknowledges every frame and answers inquiries and requests; in Mode650 the
// driver enables clerk logins, paid-in/out and modifier requests itself.
class AnsweringHost {
 public:
  explicit AnsweringHost(const std::string& path, bool mode650 = false)
      : line_(path), mode650_(mode650), thread_([this] { Run(); }) {}
  ~AnsweringHost() {
    stop_ = true;
    thread_.join();
  }
  int frames() const { return frames_; }

 private:
  static std::string PluRecord(const std::string& code_field, bool long_form) {
    std::string b = "\x80";
    if (long_form) b += msg::Le32(0);
    b += code_field;
    b += msg::Field("ITEM", 24) + std::string(1, '\0');
    b += std::string("\x01\x00\x00", 3) + std::string("\x30\x00\x01\x01", 4);
    b += std::string(12, '\0') + std::string(8, '\0');
    b += msg::Le32(100) + msg::Le32(0) + msg::Le32(0);
    return b;
  }
  static std::string Operation(bool enable) {
    return "\x96" + msg::Field(enable ? "" : "Tiltott", 32) + (enable ? "1" : "0");
  }

  std::string AnswerTo(const std::string& body) {
    const auto kind = static_cast<std::uint8_t>(body[0]);
    switch (kind) {
      case 0x80: {
        if (body.size() <= 27) return PluRecord(body.substr(1, 8), false);
        if (body[6] != 0) return Operation(body[5] != 'W');  // department request
        const std::string code = body.substr(11, 30);
        const std::string digits = code.substr(0, code.find(' '));
        return PluRecord(msg::Code14(digits), true);
      }
      case 0x8D: return "\x8D" + msg::Field(body.substr(1), 30) + msg::Field("KOVACS", 16);
      case 0x9C:
        if (mode650_) return Operation(true);
        return "\x9C" + msg::Field("ANNA", 13) + std::string(2, '\0') + body.substr(1, 4) +
                        std::string("\x00\x01", 2);
      case 0x97: case 0x99: case 0x9E: case 0x9F: return Operation(true);
      default: return {};
    }
  }

  void Run() {
    while (!stop_) {
      const auto t = line_.Next(50ms);
      if (!t || t->type != Token::Type::kFrame) continue;
      line_.Write(link::kDleAck);
      ++frames_;
      const std::string reply = AnswerTo(t->body);
      if (!reply.empty()) line_.SendBody(reply);
    }
  }

  HostLine line_;
  const bool mode650_;
  std::atomic<bool> stop_{false};
  std::atomic<int> frames_{0};
  std::thread thread_;
};

TEST(SimScript, RunsAgainstAnAnsweringHost) {
  RegisterSimulator sim;
  AnsweringHost host(sim.host_path());
  const ScriptResult r = sim.RunScript(ParseScript(R"([
    {"send":"day_open"},
    {"send":"receipt_open"},
    {"send":"plu_inquiry_long","code":"5998"},
    {"expect":"plu","code":"5998"},
    {"send":"sale","code":"5998","unit":100,"total":200,"count":2000},
    {"send":"plu_inquiry_long","dept":1,"tr":"W"},
    {"expect":"operation","enable":false},
    {"send":"tender","amount":200},
    {"send":"receipt_close"}
  ])"));
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.steps_run, 9u);
  const Totals t = sim.totals();
  EXPECT_EQ(t.receipts_closed, 1);
  EXPECT_EQ(t.receipt_no, 1);
  EXPECT_EQ(t.day_sales, 200);
  EXPECT_EQ(sim.LastPluRecord()->prices[0], 100);
}

TEST(SimScript, StopsAtTheFirstFailingStep) {
  struct Case {
    const char* script;
    std::size_t failed_step;
    const char* error_part;
  };
  const Case cases[] = {
      {R"([{"send":"operation_request"},{"expect":"operation","enable":false,"timeout_ms":5000}])", 1, "disabled"},
      {R"([{"send":"plu_inquiry","code":"5998"},{"expect":"plu","code":"1"}])", 1, "PLU record for 5998"},
      {R"([{"send":"id_key"},{"expect":"customer","timeout_ms":100},{"send":"id_key"}])", 1, "no customer record"},
      {R"([{"send":"sale","code":"12x"}])", 0, "decimal"},
  };
  for (const auto& c : cases) {
    RegisterSimulator sim;
    AnsweringHost host(sim.host_path());
    const ScriptResult r = sim.RunScript(ParseScript(c.script));
    EXPECT_FALSE(r.ok) << c.script;
    EXPECT_EQ(r.failed_step, c.failed_step) << c.script;
    EXPECT_NE(r.error.find(c.error_part), std::string::npos) << r.error;
  }
}

TEST(SimScript, UnacknowledgedSendFailsTheScript) {
  SimOptions o;
  o.ack_timeout_ms = 200;
  RegisterSimulator sim(o);
  HostLine silent_host(sim.host_path());
  const ScriptResult r = sim.RunScript(ParseScript(R"([{"send":"day_open"}])"));
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("no acknowledgement"), std::string::npos) << r.error;
}

TEST(SimScript, FaultStepsReachTheRegister) {
  RegisterSimulator sim;
  HostLine host(sim.host_path());
  const ScriptResult r = sim.RunScript(ParseScript(R"([{"fault":"nak","count":1},{"fault":"silent"}])"));
  ASSERT_TRUE(r.ok) << r.error;
  host.Write(link::StatusFrame());
  EXPECT_FALSE(host.Next(300ms)) << "silent";
  ASSERT_TRUE(sim.RunScript(ParseScript(R"([{"fault":"wake"}])")).ok);
  host.Write(link::StatusFrame());
  ASSERT_EQ(host.Next()->type, Token::Type::kNak) << "the NAK fault is still pending";
}

TEST(SimScript, BuiltInDaysRunToTheEnd) {
  for (const bool mode650 : {false, true}) {
    RegisterSimulator sim;
    AnsweringHost host(sim.host_path(), mode650);
    const ScriptResult r = sim.RunScript(mode650 ? ShortDay650() : BusinessDay841());
    EXPECT_TRUE(r.ok) << (mode650 ? "650: " : "841: ") << r.error;
    const Totals t = sim.totals();
    EXPECT_EQ(t.reports, 1);
    EXPECT_FALSE(sim.day_open()) << "the daily report closes the day";
    EXPECT_EQ(t.grand_total, mode650 ? 550 : 1155);
  }
}


TEST(SimScript, RequestWaitsForTheAnswerAndRawBodiesAreSentAsGiven) {
  RegisterSimulator sim;
  AnsweringHost host(sim.host_path());
  EXPECT_TRUE(sim.Request(msg::PluInquiryShort("5998", "AP0000001"), Answer::kPlu, 5s));
  EXPECT_EQ(sim.LastPluRecord()->code, "5998");
  EXPECT_FALSE(sim.Request(msg::IdKey("X"), Answer::kAny, 100ms)) << "an ID key earns no answer";
  // A truncated sale line is sent as it is and counted as far as it goes.
  const ScriptResult r = sim.RunScript(ParseScript(R"([{"send":"raw","hex":"83 50"}])"));
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(sim.totals().plu.count("0"), 1u);
}

}  // namespace
}  // namespace tarvo::sim
