// The bridge under bad input, with a closed output, and with requests that
// arrive while a call waits for the register.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e_fixture.h"
#include "link/com_port.h"
#include "tools/sim/messages.h"

namespace tarvo::test {
namespace {

std::string Nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST_F(E2ETest, EveryBadLineIsAnsweredAndTheNextCallWorks) {
  BridgeProcess& b = StartBridge();
  ASSERT_TRUE(b.WaitEvent("OnCreate").has_value());
  struct Case {
    const char* what;
    std::string line;
    Json id;
  };
  const Case cases[] = {
      {"font field of the wrong type", R"({"id":1,"put":"Font","value":{"Size":"big"}})", 1},
      {"font size out of range", R"({"id":2,"put":"Font","value":{"Size":1e300}})", 2},
      {"unknown font field", R"({"id":3,"put":"Font","value":{"Colour":1}})", 3},
      {"font for a string", R"({"id":4,"put":"Caption","value":{"Name":"x"}})", 4},
      {"font for a method argument", R"({"id":5,"method":"SendClear","args":{"port_num":{}}})", 5},
      {"array", R"({"id":6,"put":"Mode650","value":[1]})", 6},
      {"byte too large", R"({"id":7,"method":"SendClear","args":{"port_num":300}})", 7},
      {"byte negative", R"({"id":8,"method":"SendClear","args":{"port_num":-1}})", 8},
      {"long too large", R"({"id":9,"method":"Init","args":{"port_num":1,"baudrate":9999999999,"log_size":0,"sn_path":""}})", 9},
      {"bool too large", R"({"id":10,"put":"Visible","value":70000})", 10},
      {"unsigned beyond 64 bits", R"({"id":11,"put":"Color","value":18446744073709551615})", 11},
      {"unknown property", R"({"id":12,"put":"NoSuch","value":1})", 12},
      {"args not an object", R"({"id":13,"method":"SendClear","args":[1]})", 13},
      {"method not a string", R"({"id":14,"method":5})", 14},
      {"nested 100000 deep", R"({"id":15,"put":"Caption","value":)" + Nested(100000) + "}", nullptr},
      {"nested just too deep", Nested(65), nullptr},
      {"not JSON", "{\"id\":16,", nullptr},
      {"line over 1 MiB", R"({"id":17,"put":"Caption","value":")" + std::string(3u << 20, 'x') + "\"}",
       nullptr},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    b.WriteLine(c.line);
    const auto r = b.NextResponse(20s);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ((*r)["id"], c.id);
    ASSERT_TRUE(r->contains("error") && !r->contains("hresult")) << r->dump().substr(0, 200);
    EXPECT_TRUE((*r)["error"]["description"].is_string());
    EXPECT_LT(r->dump().size(), 400u);  // the line is never echoed back
    // A good call right after works.
    const Json good = b.Call(Json{{"id", "good" + std::to_string(++round)}, {"get", "Caption"}});
    EXPECT_EQ(good.value("result", Json::object()).value("Value", Json()), "Tarvo") << good.dump();
    b.NextResponse(5s);  // the good call's response, already seen by Call
  }
  // A font where the parameter is IFontDisp is taken over.
  EXPECT_EQ(b.Call(Json{{"id", "font"}, {"put", "Font"}, {"value", {{"Name", "Arial"}, {"Size", 12}, {"Bold", true}}}})
                .value("hresult", -1),
            0);
  const Json font = b.Call(Json{{"id", "read"}, {"get", "Font"}}).value("result", Json::object()).value("Value", Json::object());
  EXPECT_EQ(font["Name"], "Arial");
  EXPECT_EQ(font["Bold"], true);
  EXPECT_EQ(b.Finish(), 0);
}

// A bridge whose standard output the test closes itself.
struct RawBridge {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;

  explicit RawBridge(const std::string& device_dir) {
    int to[2], from[2], errs[2];
    if (::pipe2(to, O_CLOEXEC) || ::pipe2(from, O_CLOEXEC) || ::pipe2(errs, O_CLOEXEC)) return;
    const std::string program = BinDir() + "/tarvomdrv";
    const std::string env = "TARVO_DEVICE_DIR=" + device_dir;
    pid = ::fork();
    if (pid == 0) {
      ::dup2(to[0], 0);
      ::dup2(from[1], 1);
      ::dup2(errs[1], 2);
      ::putenv(const_cast<char*>(env.c_str()));
      ::execl(program.c_str(), program.c_str(), "bridge", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(to[0]);
    ::close(from[1]);
    ::close(errs[1]);
    in = to[1];
    out = from[0];
    err = errs[0];
  }
  ~RawBridge() {
    for (int fd : {in, out, err})
      if (fd >= 0) ::close(fd);
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  void Send(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(in, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Reads output until `needle` appeared (or the time is up).
  bool ReadUntil(const std::string& needle, std::chrono::milliseconds timeout) {
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{out, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(out, buf, sizeof buf);
      if (n <= 0) return false;
      seen.append(buf, static_cast<std::size_t>(n));
      if (seen.find(needle) != std::string::npos) return true;
    }
    return false;
  }
  std::string ReadErrors() {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(err, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    return text;
  }
};

TEST_F(E2ETest, AClosedOutputReleasesTheControlAndEndsTheBridge) {
  sim::RegisterSimulator& reg = AddRegister(3);
  RawBridge b(devices_.path());
  ASSERT_GT(b.pid, 0);
  ASSERT_TRUE(b.ReadUntil("OnCreate", 20s));
  b.Send(R"({"id":1,"method":"Init","args":{"port_num":3,"baudrate":9600,"log_size":0,"sn_path":""}})");
  ASSERT_TRUE(b.ReadUntil("\"id\":1", 30s));
  ::close(b.out);  // the client went away
  b.out = -1;
  b.Send(R"({"id":2,"get":"Caption"})");
  int status = 0;
  ASSERT_TRUE(WaitUntil([&] { return ::waitpid(b.pid, &status, WNOHANG) == b.pid; }, 30s));
  b.pid = -1;
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_NE(WEXITSTATUS(status), 0);
  const std::string errors = b.ReadErrors();
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
  EXPECT_NE(errors.find("standard output"), std::string::npos) << errors;
  // The port was closed: the register's line can be opened again.
  link::TComPort again;
  again.SetPort("COM3");
  EXPECT_NO_THROW(again.OpenDevice());
  (void)reg;
}

TEST_F(E2ETest, RequestsRunInsideAWaitingCallAndAnswerFirst) {
  // COM4 is a line without a register: a command there waits its full time
  // for the acknowledgement.
  PtyPair silent;
  devices_.Link("COM4", silent.slave_path());
  sim::RegisterSimulator& reg = AddRegister(3);
  BridgeProcess& b = StartBridge();
  ASSERT_EQ(Init(3)["result"]["Value"], 0);
  ASSERT_TRUE(b.WaitEvent("OnConnect").has_value());
  ASSERT_EQ(b.Method("PortOpen", Json{{"port_num", 4}, {"baudrate", 9600}, {"log_size", 0},
                                      {"sn_path", ""}})["result"]["Value"],
            0);

  b.WriteLine(R"({"id":"slow","method":"SetClerkOptions","args":{"port_num":4,"entry_code":true,)"
              R"("default_clerk":1,"stay_down":false}})");
  // The register asks for a PLU while that call waits; the client answers
  // from the event, as an in-process host would from its handler.
  std::thread inquiry([&] {
    sim::msg::LongInquiry q;
    q.code = "4711";
    reg.Request(sim::msg::PluInquiryLong(q, reg.options().ap, 1), sim::Answer::kPlu, 20s);
  });
  const auto event = b.WaitEvent("OnPluInquire", 0, 20s);
  ASSERT_TRUE(event.has_value());
  const Json answer = b.Call(Json{{"id", "answer"}, {"method", "SendPlu"},
                                  {"args", {{"port_num", 3}, {"plu_code", "4711"}, {"desc", "Tej"},
                                            {"group1", 1}, {"group2", 0}, {"group3", 0},
                                            {"status", "110000000011"}, {"vtsz", ""}, {"link", ""},
                                            {"price1", 250}, {"price2", 0}, {"price3", 0}}}},
                             20s);
  inquiry.join();
  EXPECT_EQ(answer.value("result", Json::object()).value("Value", -1), 0) << answer.dump();
  auto answered = [&] {
    for (const auto& line : b.Lines())
      if (!line.contains("event") && line["id"] == "slow") return true;
    return false;
  };
  ASSERT_TRUE(WaitUntil(answered, 30s));
  // The nested call's response came before the waiting call's.
  const auto lines = b.Lines();
  std::ptrdiff_t nested = -1, waiting = -1;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].contains("event")) continue;
    if (lines[i]["id"] == "answer" && nested < 0) nested = static_cast<std::ptrdiff_t>(i);
    if (lines[i]["id"] == "slow" && waiting < 0) waiting = static_cast<std::ptrdiff_t>(i);
  }
  std::string all;
  for (const auto& l : lines) all += l.dump() + "\n";
  ASSERT_GE(nested, 0) << all;
  ASSERT_GE(waiting, 0) << all;
  EXPECT_LT(nested, waiting) << all;
  EXPECT_EQ(lines[waiting]["hresult"], 0) << all;
  EXPECT_NE(lines[waiting]["result"]["Value"], 0) << all;  // no acknowledgement on COM4
  const auto plu = reg.LastPluRecord();
  ASSERT_TRUE(plu.has_value());
  EXPECT_EQ(plu->code, "4711");
  EXPECT_EQ(b.Finish(), 0);
}

}  // namespace
}  // namespace tarvo::test
