// The bridge's line contract as a client in another language sees it.
#include "e2e_fixture.h"
#include "link/com_port.h"

namespace tarvo::test {
namespace {

TEST_F(E2ETest, BridgeGreetsAnswersAndSaysGoodbye) {
  BridgeProcess& b = StartBridge();
  ASSERT_TRUE(b.WaitEvent("OnCreate").has_value());
  EXPECT_EQ(b.Lines().front(), (Json{{"event", "OnCreate"}, {"args", Json::object()}}));

  // Properties by name, the stored Mode650 and the window's caption.
  EXPECT_EQ(b.Call(Json{{"id", "a"}, {"get", "Mode650"}}),
            (Json{{"id", "a"}, {"hresult", 0}, {"result", {{"Value", true}}}}));
  EXPECT_EQ(b.Call(Json{{"id", 7}, {"put", "Mode650"}, {"value", false}}),
            (Json{{"id", 7}, {"hresult", 0}, {"result", Json::object()}}));
  EXPECT_EQ(b.Call(Json{{"id", 8}, {"get", "mode650"}})["result"]["Value"], false);
  EXPECT_EQ(b.Call(Json{{"get", "Caption"}})["result"]["Value"], "Tarvo");

  // A port that is not open: S_OK with the result code 3; in/out parameters
  // come back by name, untouched.
  const Json status = b.Method("GetStatus", Json{{"port_num", 5}});
  EXPECT_EQ(status["hresult"], 0);
  EXPECT_EQ(status["result"], (Json{{"Value", 3}, {"day_open", false}}));
  const Json check = b.Method("EcrCheck", Json{{"port_num", 5}, {"ap_num", "keep"}});
  EXPECT_EQ(check["result"]["Value"], 3);
  EXPECT_EQ(check["result"]["ap_num"], "keep");
  const Json closed = b.Method("PortClose", Json{{"port_num", 5}});
  EXPECT_EQ(closed["hresult"], 0);
  EXPECT_EQ(closed["result"], Json::object());
  EXPECT_EQ(b.Method("Init", Json{{"port_num", 17}, {"baudrate", 9600}, {"log_size", 0},
                                  {"sn_path", ""}})["result"]["Value"], 4);
}

TEST_F(E2ETest, BadRequestsGiveAnErrorLineAndTheBridgeGoesOn) {
  BridgeProcess& b = StartBridge();
  ASSERT_TRUE(b.WaitEvent("OnCreate").has_value());
  struct Case {
    std::string line;
    Json id;
  };
  const Case cases[] = {
      {"this is not json", nullptr},
      {R"({"id":1,"method":"NoSuchMethod","args":{}})", 1},
      {R"({"id":2,"method":"SendClear","args":{"port_num":1,"bogus":3}})", 2},
      {R"({"id":3,"method":"SendClear","args":{}})", 3},               // missing argument
      {R"({"id":4,"method":"SendClear","args":{"port_num":256}})", 4},  // out of range for a byte
      {R"({"id":5,"method":"SendClear","args":{"port_num":"x"}})", 5},  // not a number
      {R"({"id":6,"get":"NoSuchProperty"})", 6},
      {R"({"id":[1,2],"frobnicate":1})", Json::array({1, 2})},
  };
  for (const auto& c : cases) {
    b.WriteLine(c.line);
    const auto r = b.NextResponse(20s);
    ASSERT_TRUE(r.has_value()) << c.line;
    EXPECT_EQ((*r)["id"], c.id) << c.line;
    EXPECT_TRUE((*r).contains("error") && !(*r).contains("hresult")) << r->dump();
    EXPECT_TRUE((*r)["error"]["description"].is_string()) << r->dump();
  }
  // Coercion: a numeric string is a fine port number.
  b.WriteLine(R"({"id":9,"method":"SendClear","args":{"port_num":"12"}})");
  const auto ok = b.NextResponse(20s);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ((*ok)["result"]["Value"], 3);
  EXPECT_EQ(b.Finish(), 0);
}

TEST_F(E2ETest, EndOfInputReleasesTheControlAndClosesItsPorts) {
  sim::RegisterSimulator& reg = AddRegister(3);
  BridgeProcess& b = StartBridge();
  EXPECT_EQ(Init(3)["result"]["Value"], 0);
  ASSERT_TRUE(b.WaitEvent("OnConnect").has_value());
  EXPECT_EQ(b.Finish(), 0);
  const auto lines = b.Lines();
  EXPECT_EQ(lines.back(), (Json{{"event", "OnDestroy"}, {"args", Json::object()}}));
  // The port was given back: another program can open the register now.
  link::TComPort again;
  again.SetPort("COM3");
  EXPECT_NO_THROW(again.OpenDevice());
  (void)reg;
}

}  // namespace
}  // namespace tarvo::test
