// Commands through the bridge, checked byte for byte where the register
// receives them; several registers at once; faults on the line.
#include "e2e_fixture.h"
#include "link/frame.h"

namespace tarvo::test {
namespace {

std::string Hex(const std::string& bytes) { return link::HexDump(bytes); }

TEST_F(E2ETest, CommandsArriveByteForByte) {
  sim::RegisterSimulator& reg = AddRegister(7);
  BridgeProcess& b = StartBridge();
  ASSERT_EQ(Init(7)["result"]["Value"], 0);
  ASSERT_TRUE(b.WaitEvent("OnConnect").has_value());

  // No PLU inquiry yet: the long layout, with the port's multiplier (0).
  ASSERT_EQ(b.Method("SendPlu", Json{{"port_num", 7}, {"plu_code", "123"}, {"desc", "árvíztűrő"},
                                     {"group1", 99}, {"group2", 0}, {"group3", 5},
                                     {"status", "111111111159"}, {"vtsz", "0"}, {"link", ""},
                                     {"price1", 1}, {"price2", 0}, {"price3", 70000}})["result"]["Value"], 0);
  ASSERT_TRUE(WaitUntil([&] { return reg.LastPluRecord().has_value(); }));
  std::string expected_plu = std::string("\x80") + std::string(4, '\0') +      // multiplier
                             std::string("\0\0\0\0\x7B\0\0\0", 8) +           // code 123
                             std::string("\x0F\x72\x76\x11\x7A\x74\x17\x72\x14") + std::string(15, '\0') +
                             std::string(1, '\0') + "\x63" + std::string(1, '\0') + "\x05" +
                             std::string("\xF0\x7E\x05\x09") + std::string(11, '\0') +
                             std::string(1, '\0') + std::string(8, '\0') +
                             std::string("\x01\0\0\0", 4) + std::string(4, '\0') + std::string("\x70\x11\x01\0", 4);
  EXPECT_EQ(Hex(reg.HostBodies().back()), Hex(expected_plu));

  ASSERT_EQ(b.Method("SendCust", Json{{"port_num", 7}, {"cust_id", "C1"}, {"cust_desc", "kovács"}})["result"]["Value"], 0);
  ASSERT_TRUE(WaitUntil([&] { return reg.LastCustomerRecord().has_value(); }));
  EXPECT_EQ(Hex(reg.HostBodies().back()),
            Hex(std::string("\x8D") + "C1" + std::string(28, '\0') + "KOV\x0F" "CS" + std::string(10, '\0')));

  ASSERT_EQ(b.Method("OperationEnabled", Json{{"port_num", 7}, {"en", true}, {"disp_msg", ""}})["result"]["Value"], 0);
  ASSERT_TRUE(WaitUntil([&] { return reg.LastOperation().has_value(); }));
  EXPECT_EQ(Hex(reg.HostBodies().back()), Hex(std::string("\x96") + std::string(32, '\0') + "1"));

  // Read-modify-write of the function-key table: only currency 2 changes.
  const std::string before = reg.Table(6);
  ASSERT_EQ(b.Method("CurrencyUpload", Json{{"port_num", 7}, {"cur_id", "2"}, {"desc", "EUR"},
                                            {"rate", "3105"}, {"nod", "2"}})["result"]["Value"], 0);
  std::string expected_table = before;
  expected_table.replace(500, 20, std::string("EUR") + std::string(9, '\0') +
                                      std::string("\x21\x0C\0\0", 4) + std::string("\x02\0\0\0", 4));
  EXPECT_EQ(Hex(reg.Table(6)), Hex(expected_table));

  // Status and check answers reach the in/out parameters.
  const Json status = b.Method("GetStatus", Json{{"port_num", 7}});
  EXPECT_EQ(status["result"], (Json{{"Value", 0}, {"day_open", reg.day_open()}}));
  const Json check = b.Method("EcrCheck", Json{{"port_num", 7}});
  EXPECT_EQ(check["result"]["Value"], 0);
  EXPECT_EQ(check["result"]["ap_num"], "AP0000007");
  EXPECT_EQ(check["result"]["demo_mode"], false);
  EXPECT_EQ(check["result"]["key_pos"], reg.Check().key_position);
}

TEST_F(E2ETest, FourRegistersAtOnceAndNoFifth) {
  const int ports[] = {1, 2, 12, 16};
  for (int p : ports) AddRegister(p);
  AddRegister(5);
  BridgeProcess& b = StartBridge();
  for (int p : ports) EXPECT_EQ(Init(p)["result"]["Value"], 0) << p;
  EXPECT_EQ(Init(5)["result"]["Value"], 9);
  for (std::size_t i = 0; i < 4; ++i) ASSERT_TRUE(b.WaitEvent("OnConnect", i).has_value());
  // Each register presses its ID key; every event names its own port.
  std::vector<std::thread> presses;
  for (std::size_t i = 0; i < 4; ++i)
    presses.emplace_back([&, i] {
      registers_[i]->Send(sim::msg::IdKey("ID-COM" + std::to_string(ports[i])));
    });
  for (auto& t : presses) t.join();
  for (std::size_t i = 0; i < 4; ++i) ASSERT_TRUE(b.WaitEvent("OnIDPress", i).has_value());
  std::set<int> seen;
  for (const auto& e : b.Events()) {
    if (e["event"] != "OnIDPress") continue;
    const int port = e["args"]["port_num"];
    seen.insert(port);
    const std::string id = e["args"]["ID"];
    EXPECT_EQ(id.substr(0, id.find(' ')), "ID-COM" + std::to_string(port));
  }
  EXPECT_EQ(seen, (std::set<int>{1, 2, 12, 16}));
}

TEST_F(E2ETest, RegisterNaksAreAnsweredWithTheSameFrameAgain) {
  sim::RegisterSimulator& reg = AddRegister(3);
  BridgeProcess& b = StartBridge();
  ASSERT_EQ(Init(3, 20)["result"]["Value"], 0);
  // The identification request has been answered: the NAKs hit the record.
  ASSERT_TRUE(b.WaitEvent("OnConnect").has_value());
  reg.NakNext(2);
  ASSERT_EQ(b.Method("SendCust", Json{{"port_num", 3}, {"cust_id", "C9"}, {"cust_desc", "x"}})["result"]["Value"], 0);
  ASSERT_TRUE(WaitUntil([&] { return reg.LastCustomerRecord().has_value(); }));
  EXPECT_EQ(reg.LastCustomerRecord()->id, "C9");
  b.Method("PortClose", Json{{"port_num", 3}});  // flushes the log
  ASSERT_TRUE(WaitUntil([&] { return LogText().find("PortClose") != std::string::npos; }));
  const std::string log = LogText();
  std::size_t naks = 0;
  for (std::size_t at = 0; (at = log.find("READ:  COM3: NAK\r\n", at)) != std::string::npos; ++at) ++naks;
  EXPECT_EQ(naks, 2u) << log;
  EXPECT_NE(log.find("WRITE: COM3: 10 02 8D 43 39 "), std::string::npos);
}

TEST_F(E2ETest, ASilentRegisterGivesTimeoutsAndTheDriverGoesOn) {
  sim::RegisterSimulator& reg = AddRegister(6);
  BridgeProcess& b = StartBridge();
  ASSERT_EQ(Init(6)["result"]["Value"], 0);
  reg.FallSilent();
  const Json status = b.Method("GetStatus", Json{{"port_num", 6}});
  EXPECT_EQ(status["hresult"], 0);
  EXPECT_EQ(status["result"], (Json{{"Value", 2}, {"day_open", true}}));
  EXPECT_EQ(b.Method("SendClear", Json{{"port_num", 6}})["result"]["Value"], 0);
  reg.WakeUp();
  EXPECT_EQ(b.Method("GetStatus", Json{{"port_num", 6}})["result"]["Value"], 0);
}

TEST_F(E2ETest, AHangUpFailsTheWriteWithoutACrash) {
  sim::RegisterSimulator& reg = AddRegister(8);
  BridgeProcess& b = StartBridge();
  ASSERT_EQ(Init(8)["result"]["Value"], 0);
  ASSERT_TRUE(b.WaitEvent("OnConnect").has_value());
  reg.HangUp();
  const Json r = b.Method("SendClear", Json{{"port_num", 8}});
  EXPECT_LT(r.value("hresult", 0), 0) << r.dump();
  ASSERT_TRUE(r.contains("error")) << r.dump();
  EXPECT_EQ(r["error"]["source"], "TarvoMDrv.Tarvo");
  EXPECT_NE(r["error"]["description"].get<std::string>().find("WriteFile function failed"), std::string::npos)
      << r.dump();
  // The bridge and the control live on.
  EXPECT_EQ(b.Call(Json{{"get", "Mode650"}})["hresult"], 0);
  b.Method("PortClose", Json{{"port_num", 8}});
  EXPECT_EQ(b.Finish(), 0);
}

TEST_F(E2ETest, NoMessageIsLostWhenTheRegisterOutpacesTheDispatcher) {
  sim::RegisterSimulator& reg = AddRegister(9);
  BridgeProcess& b = StartBridge();
  ASSERT_EQ(Init(9)["result"]["Value"], 0);
  constexpr int kPresses = 25;
  for (int i = 0; i < kPresses; ++i)
    ASSERT_EQ(reg.Send(sim::msg::IdKey("KEY" + std::to_string(100 + i))), sim::SendStatus::kAcked);
  ASSERT_TRUE(b.WaitEvent("OnIDPress", kPresses - 1, 30s).has_value());
  int i = 0;
  for (const auto& e : b.Events())
    if (e["event"] == "OnIDPress") EXPECT_EQ(e["args"]["ID"].get<std::string>().substr(0, 6), "KEY" + std::to_string(100 + i++));
  EXPECT_EQ(i, kPresses);
}

}  // namespace
}  // namespace tarvo::test
