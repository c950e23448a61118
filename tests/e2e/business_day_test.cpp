// A register's business day in each protocol variant, every event kind
// checked as a point-of-sale program receives it through the bridge.
#include "e2e_fixture.h"
#include "tools/sim/messages.h"

namespace tarvo::test {
namespace {

namespace msg = sim::msg;

Json Args(const BridgeProcess& b, const std::string& name, std::size_t n = 0) {
  std::size_t seen = 0;
  for (const auto& e : b.Events())
    if (e["event"] == name && seen++ == n) return e["args"];
  return nullptr;
}

TEST_F(E2ETest, BusinessDayIn841Mode) {
  sim::RegisterSimulator& reg = AddRegister(2);
  BridgeProcess& b = StartBridge();
  PosClient client(b);
  EXPECT_EQ(b.Call(Json{{"put", "Mode650"}, {"value", false}})["hresult"], 0);
  EXPECT_EQ(Init(2, 50)["result"]["Value"], 0);
  ASSERT_TRUE(b.WaitEvent("OnConnect").has_value());
  EXPECT_EQ(Args(b, "OnConnect"), (Json{{"port_num", 2}, {"ap_num", "AP0000002"}, {"demo_mode", false}}));

  const sim::ScriptResult played = Play(reg, sim::BusinessDay841(), client);
  ASSERT_TRUE(played.ok) << played.error << " at step " << played.failed_step;

  // What the built-in day does not send: waste lines, an 'S' modifier, a
  // plain department sell request, an empty PLU code and an operation request.
  const auto more = sim::ParseScript(R"([
    {"send":"waste","tr":2,"item":"P","code":"5998","unit":100,"total":100,"count":1000},
    {"send":"modifier","type":"S","mode":2,"amount":40},
    {"send":"plu_inquiry_long","dept":3,"tr":1},
    {"expect":"operation","enable":true},
    {"send":"plu_inquiry_long","code":"  "},
    {"expect":"plu","code":"0"},
    {"send":"operation_request"},
    {"expect":"operation","enable":true},
    {"send":"modifier_request","type":1,"mode":2,"percent":true,"amount":10}
  ])");
  const sim::ScriptResult extra = Play(reg, more, client);
  ASSERT_TRUE(extra.ok) << extra.error << " at step " << extra.failed_step;
  ASSERT_TRUE(b.WaitEvent("OnModifyRequest", 1).has_value());

  struct Expect {
    const char* event;
    std::size_t count;
  };
  const Expect counts[] = {
      {"OnDayOpen", 1}, {"OnClerkLogin", 1}, {"OnOpenReceipt", 3}, {"OnPluInquire841", 4},
      {"OnSell", 5}, {"OnWaste", 1}, {"OnCloseWaste", 2}, {"OnSellRequest", 1},
      {"OnModifyRequest", 2}, {"OnModify", 2}, {"OnTender841", 2}, {"OnCloseReceipt", 2},
      {"OnCancelReceipt", 1}, {"OnPaidInOutRequest", 1}, {"OnPaidInOut", 1},
      {"OnCustInquire", 1}, {"OnIDPress", 1}, {"OnDailyReport", 1},
      {"OnPluInquire", 0}, {"OnTender", 0},
  };
  for (const auto& c : counts) EXPECT_EQ(b.CountEvents(c.event), c.count) << c.event;

  EXPECT_EQ(Args(b, "OnPluInquire841"),
            (Json{{"port_num", 2}, {"multiplier", 1000}, {"plu_code", "5998"}, {"tr_type", 0},
                  {"clerk_code", "1111"}, {"opened_day", 1}, {"ap_num", "AP0000002"},
                  {"demo_mode", false}}));
  EXPECT_EQ(Args(b, "OnSell"), (Json{{"port_num", 2}, {"tr_type", 0}, {"item_type", 0},
                                     {"item_code", "5998"}, {"unit_price", 100},
                                     {"total_price", 200}, {"count", 2000}}));
  EXPECT_EQ(Args(b, "OnSell", 2)["item_type"], 1);  // a department line
  EXPECT_EQ(Args(b, "OnWaste"), (Json{{"port_num", 2}, {"tr_type", 2}, {"item_type", 0},
                                      {"item_code", "5998"}, {"unit_price", 100},
                                      {"total_price", 100}, {"count", 1000}}));
  EXPECT_EQ(Args(b, "OnTender841"), (Json{{"port_num", 2}, {"t_type", 0}, {"amount", 1000},
                                          {"home_value", 1000}, {"change", 145}, {"change_id", 1}}));
  EXPECT_EQ(Args(b, "OnPaidInOut")["cash"], 5000);
  EXPECT_EQ(Args(b, "OnModify", 1), (Json{{"port_num", 2}, {"m_type", 83}, {"m_mode", 2}, {"amount", 40}}));
  EXPECT_EQ(Args(b, "OnModifyRequest", 1)["percent"], true);
  EXPECT_EQ(Args(b, "OnIDPress")["ID"], "ID0000042                     ");
  EXPECT_EQ(Args(b, "OnCustInquire")["cust_id"], "C0001");
  const Json report = Args(b, "OnDailyReport");
  EXPECT_EQ(report["receipt_num"], 2);
  EXPECT_EQ(report["cancel_num"], 1);
  EXPECT_EQ(report["taxable_a"], "1155");
  EXPECT_EQ(report["discount"], "95");

  // The refusal of the waste department sale and the automatic reply to the
  // empty PLU code went out without the host.
  const auto bodies = reg.HostBodies();
  int refusals = 0;
  for (const auto& body : bodies)
    if (body.size() == 34 && static_cast<unsigned char>(body[0]) == 0x96 && body[33] == '0') {
      ++refusals;
      EXPECT_EQ(body.substr(1, 16), std::string("Tiltott m\x17velet!"));
    }
  EXPECT_EQ(refusals, 1);

  // The log of a logging port has the events and the calls.
  const std::string log = LogText();
  EXPECT_NE(log.find("COM2: Init 9600 50 " + log_dir_.string() + "\r\n"), std::string::npos);
  EXPECT_NE(log.find("COM2: OnConnect AP0000002 false\r\n"), std::string::npos) << log.substr(0, 400);
}

TEST_F(E2ETest, ShortDayInMode650) {
  sim::RegisterSimulator& reg = AddRegister(4);
  BridgeProcess& b = StartBridge();
  PosClient client(b);
  EXPECT_EQ(Init(4)["result"]["Value"], 0);
  ASSERT_TRUE(b.WaitEvent("OnConnect").has_value());
  const sim::ScriptResult played = Play(reg, sim::ShortDay650(), client);
  ASSERT_TRUE(played.ok) << played.error << " at step " << played.failed_step;
  ASSERT_TRUE(b.WaitEvent("OnPaidInOut").has_value());

  const std::pair<const char*, std::size_t> counts[] = {
      {"OnDayOpen", 1}, {"OnPluInquire", 3}, {"OnPluInquireEx", 3}, {"OnSell", 3},
      {"OnTender", 2}, {"OnCloseReceipt", 2}, {"OnPaidInOut", 1},
      // Requests the driver answers by itself in this mode raise nothing.
      {"OnClerkLogin", 0}, {"OnPaidInOutRequest", 0}, {"OnDailyReport", 0}, {"OnTender841", 0},
      {"OnPluInquire841", 0},
  };
  for (const auto& [event, n] : counts) EXPECT_EQ(b.CountEvents(event), n) << event;
  EXPECT_EQ(Args(b, "OnPluInquireEx"),
            (Json{{"port_num", 4}, {"plu_code", "5998"}, {"ap_num", "AP0000004"}, {"demo_mode", false}}));
  EXPECT_EQ(Args(b, "OnTender"), (Json{{"port_num", 4}, {"t_type", 0}, {"amount", 500},
                                       {"huf_value", 500}, {"change", 50}}));
  // After a short inquiry the count goes as the register sent it.
  EXPECT_EQ(Args(b, "OnSell")["count"], 2000);
  // The PLU answers went out in the short layout.
  const auto plu = reg.LastPluRecord();
  ASSERT_TRUE(plu.has_value());
  EXPECT_FALSE(plu->multiplier.has_value());
  EXPECT_EQ(plu->code, "5998");
}

}  // namespace
}  // namespace tarvo::test
