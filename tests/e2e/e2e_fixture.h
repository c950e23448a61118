#pragma once
// End-to-end: `tarvomdrv bridge` (a child process, the driver behind its
// automation interface) against simulated registers on pseudo-terminals.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <thread>

#include "bridge_process.h"
#include "tests/support/pty_pair.h"
#include "tests/support/wait.h"
#include "tools/sim/register_sim.h"
#include "tools/sim/script.h"

namespace tarvo::test {

using namespace std::chrono_literals;

// Plays the point-of-sale program's part: answers the register's requests
// that reach it as events, like a real host does from its event handlers.
class PosClient {
 public:
  explicit PosClient(BridgeProcess& bridge) : bridge_(bridge) {}

  // Handles every event that arrived since the last call.
  void Serve() {
    const auto events = bridge_.Events();
    for (; served_ < events.size(); ++served_) Handle(events[served_]);
  }

  int answers() const { return answers_; }

 private:
  void Handle(const Json& e) {
    const std::string name = e["event"];
    const Json& a = e["args"];
    if (name == "OnPluInquire841" || name == "OnPluInquire") {
      Answer("SendPlu", Json{{"port_num", a["port_num"]}, {"plu_code", a["plu_code"]},
                             {"desc", "Kenyér"}, {"group1", 1}, {"group2", 0}, {"group3", 0},
                             {"status", "110000000011"}, {"vtsz", ""}, {"link", ""},
                             {"price1", 100}, {"price2", 0}, {"price3", 0}});
    } else if (name == "OnCustInquire") {
      Answer("SendCust", Json{{"port_num", a["port_num"]}, {"cust_id", a["cust_id"]},
                              {"cust_desc", "kovács"}});
    } else if (name == "OnSellRequest" || name == "OnPaidInOutRequest" || name == "OnModifyRequest") {
      Answer("OperationEnabled", Json{{"port_num", a["port_num"]}, {"en", true}, {"disp_msg", ""}});
    } else if (name == "OnClerkLogin") {
      Answer("SendClerk", Json{{"port_num", a["port_num"]}, {"desc", "Anna"}, {"status", "1"}});
    }
  }
  void Answer(const std::string& method, Json args) {
    const Json r = bridge_.Method(method, std::move(args));
    EXPECT_EQ(r.value("hresult", -1), 0) << method << ": " << r.dump();
    EXPECT_EQ(r["result"].value("Value", -1), 0) << method << ": " << r.dump();
    ++answers_;
  }

  BridgeProcess& bridge_;
  std::size_t served_ = 0;
  int answers_ = 0;
};

class E2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_dir_ = std::filesystem::path(devices_.path()) / "log";
    std::filesystem::create_directories(log_dir_);
  }

  sim::RegisterSimulator& AddRegister(int port) {
    sim::SimOptions o;
    o.port = port;
    o.ap = "AP000000" + std::to_string(port % 10);
    o.device_dir = devices_.path();
    registers_.push_back(std::make_unique<sim::RegisterSimulator>(o));
    return *registers_.back();
  }

  BridgeProcess& StartBridge() {
    bridge_ = std::make_unique<BridgeProcess>(
        std::vector<std::string>{"TARVO_DEVICE_DIR=" + devices_.path()});
    return *bridge_;
  }

  Json Init(int port, int log_size = 0) {
    return bridge_->Method("Init", Json{{"port_num", port}, {"baudrate", 9600},
                                        {"log_size", log_size}, {"sn_path", log_dir_.string()}});
  }

  // Plays a script on the register while the client answers the requests.
  sim::ScriptResult Play(sim::RegisterSimulator& reg, const sim::Script& script, PosClient& client) {
    std::atomic<bool> done{false};
    sim::ScriptResult result;
    std::thread player([&] {
      result = reg.RunScript(script);
      done = true;
    });
    WaitUntil([&] {
      client.Serve();
      return done.load();
    }, 90s);
    player.join();
    return result;
  }

  std::string LogText() const {
    std::ifstream in(log_dir_ / "KV500M.log", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  DeviceDir devices_;
  std::filesystem::path log_dir_;
  std::vector<std::unique_ptr<sim::RegisterSimulator>> registers_;
  std::unique_ptr<BridgeProcess> bridge_;
};

}  // namespace tarvo::test
