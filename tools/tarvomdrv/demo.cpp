// `tarvomdrv demo`: the driver at work with no hardware.
//
// A simulated register runs on a pseudo-terminal; the demo loads the driver
// module, creates a control through its class factory and drives it
// late-bound, exactly as a point-of-sale program would: it opens the port,
// loads master data, reads the register's status, answers the register's
// inquiries from a small article list, and lets the register play a business
// day in the 841 mode and a shorter one in Mode650. At the end it checks the
// totals it gathered from the events against the register's own counters.
#include <CLI/CLI.hpp>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "automation/TarvoMDrv_TLB.h"
#include "platform/com/com_runtime.h"
#include "tools/sim/register_sim.h"
#include "tools/sim/script.h"
#include "tools/tarvomdrv/commands.h"
#include "tools/tarvomdrv/late_binding.h"
#include "tools/tarvomdrv/module_host.h"

namespace tarvo::tool {

namespace {

using Clock = std::chrono::steady_clock;

// The separator of list arguments: the character the host code page (1250)
// encodes as byte 0xFF, the dot above.
const std::string kSep = "\xCB\x99";  // U+02D9 in UTF-8

struct Article {
  const char* code;
  const char* description;
  std::int32_t price;
};
const Article kArticles[] = {
    {"5998", "Kenyér 1 kg", 100},
    {"1234567", "Tej 2,8% 1 l", 250},
    {"42", "Alma jonatán", 180},
};

struct Customer {
  const char* id;
  const char* description;
};
const Customer kCustomers[] = {{"C0001", "Kovács Kft."}, {"C0002", "Szabó Bt."}};

constexpr int kPort = 1;

std::string Format(const Json& args) {
  std::string out;
  for (auto it = args.begin(); it != args.end(); ++it) {
    if (it.key() == "port_num" || it.key() == "demo_mode") continue;
    if (!out.empty()) out += ", ";
    out += it.key() + "=" + it.value().dump(-1, ' ', false, Json::error_handler_t::replace);
  }
  return out;
}

class Demo {
 public:
  Demo(const std::string& module_path, const DemoOptions& options)
      : module_path_(module_path), options_(options) {}

  int Run();

 private:
  void Step(const std::string& title) {
    ++step_;
    step_started_ = Clock::now();
    std::cout << "\n[" << std::setw(2) << step_ << "/" << kSteps << "] " << title << std::endl;
  }
  void Note(const std::string& text) { std::cout << "        " << text << std::endl; }
  void Check(bool ok, const std::string& what) {
    checks_.emplace_back(what, ok);
    std::cout << "        " << (ok ? "ok   " : "FAIL ") << what << std::endl;
  }

  // Runs the thread's message loop (timers, the dispatcher, events) until
  // `done` holds or `limit` passed; waits in poll between events.
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      int timeout = TarvoMessageLoopTimeoutMs();
      if (timeout < 0 || timeout > 50) timeout = 50;
      pollfd fd{TarvoMessageLoopFd(), POLLIN, 0};
      ::poll(&fd, 1, timeout);
      TarvoProcessPendingMessages();
    }
    return true;
  }

  LateBoundControl::Outcome Call(const std::string& method, Json args) {
    args["port_num"] = kPort;
    return control_->CallMethod(method, args);
  }
  std::int32_t ValueOf(const LateBoundControl::Outcome& o) {
    if (o.request_error) return -1000;
    if (FAILED(o.hr)) return -1001;
    return o.result.value("Value", -1002);
  }

  void OnEvent(const std::string& name, const Json& args);
  bool PlayDay(const sim::Script& script, const std::string& label);

  static constexpr int kSteps = 11;
  std::string module_path_;
  DemoOptions options_;
  int step_ = 0;
  Clock::time_point step_started_;
  sim::RegisterSimulator* reg_ = nullptr;
  LateBoundControl* control_ = nullptr;
  std::vector<std::pair<std::string, bool>> checks_;
  std::map<std::string, int> events_;
  std::atomic<std::uint64_t> event_serial_{0};
  bool connected_ = false;
  bool destroyed_ = false;
  // Figures gathered from the events.
  std::int64_t receipt_amount_ = 0;
  std::int64_t day_sales_ = 0;
  std::int64_t all_sales_ = 0;
  int receipts_closed_ = 0;
  int cancels_ = 0;
  std::optional<Json> daily_report_;
};

void Demo::OnEvent(const std::string& name, const Json& args) {
  ++events_[name];
  ++event_serial_;
  std::cout << "        <- " << std::left << std::setw(18) << name << std::right << " "
            << Format(args) << std::endl;
  if (name == "OnConnect") connected_ = true;
  if (name == "OnDestroy") destroyed_ = true;
  if (name == "OnPluInquire841" || name == "OnPluInquire") {
    const std::string code = args.value("plu_code", "");
    for (const Article& a : kArticles) {
      if (code != a.code) continue;
      auto out = Call("SendPlu", Json{{"plu_code", a.code}, {"desc", a.description},
                                      {"group1", 1}, {"group2", 0}, {"group3", 0},
                                      {"status", "110000000011"}, {"vtsz", "0"}, {"link", "0"},
                                      {"price1", a.price}, {"price2", 0}, {"price3", 0}});
      std::cout << "        -> SendPlu " << a.code << " \"" << a.description << "\" " << a.price
                << " (Value " << ValueOf(out) << ")" << std::endl;
    }
  } else if (name == "OnCustInquire") {
    const std::string id = args.value("cust_id", "");
    for (const Customer& c : kCustomers) {
      if (id != c.id) continue;
      auto out = Call("SendCust", Json{{"cust_id", c.id}, {"cust_desc", c.description}});
      std::cout << "        -> SendCust " << c.id << " \"" << c.description << "\" (Value "
                << ValueOf(out) << ")" << std::endl;
    }
  } else if (name == "OnSellRequest" || name == "OnPaidInOutRequest" || name == "OnModifyRequest") {
    auto out = Call("OperationEnabled", Json{{"en", true}, {"disp_msg", ""}});
    std::cout << "        -> OperationEnabled true (Value " << ValueOf(out) << ")" << std::endl;
  } else if (name == "OnClerkLogin") {
    auto out = Call("SendClerk", Json{{"desc", "Anna"}, {"status", "1"}});
    std::cout << "        -> SendClerk Anna (Value " << ValueOf(out) << ")" << std::endl;
  } else if (name == "OnOpenReceipt") {
    receipt_amount_ = 0;
  } else if (name == "OnSell") {
    receipt_amount_ += args.value("total_price", 0);
  } else if (name == "OnModify") {
    receipt_amount_ += args.value("amount", 0);
  } else if (name == "OnCloseReceipt") {
    ++receipts_closed_;
    day_sales_ += receipt_amount_;
    all_sales_ += receipt_amount_;
    receipt_amount_ = 0;
  } else if (name == "OnCancelReceipt") {
    ++cancels_;
    receipt_amount_ = 0;
  } else if (name == "OnDailyReport") {
    daily_report_ = args;
  }
}

bool Demo::PlayDay(const sim::Script& script, const std::string& label) {
  std::atomic<bool> finished{false};
  sim::ScriptResult result;
  std::thread player([&] {
    result = reg_->RunScript(script);
    finished = true;
  });
  const bool done = PumpUntil([&] { return finished.load(); }, std::chrono::seconds(40));
  player.join();
  // Let the dispatcher hand over what is still queued (ten messages a second).
  std::uint64_t seen = event_serial_.load();
  for (;;) {
    PumpUntil([] { return false; }, std::chrono::milliseconds(600));
    if (event_serial_.load() == seen) break;
    seen = event_serial_.load();
  }
  Check(done && result.ok, label + ": the register played all " + std::to_string(script.steps.size()) +
                               " steps" + (result.ok ? "" : " (stopped: " + result.error + ")"));
  return result.ok;
}

int Demo::Run() {
  const auto started = Clock::now();
  std::string log_dir = options_.log_dir;
  if (log_dir.empty()) log_dir = (std::filesystem::current_path() / "tarvo-demo-log").string();
  std::filesystem::create_directories(log_dir);
  const auto device_dir = std::filesystem::temp_directory_path() /
                          ("tarvo-demo-" + std::to_string(::getpid()));
  std::filesystem::create_directories(device_dir);
  ::setenv("TARVO_DEVICE_DIR", device_dir.c_str(), 1);

  std::cout << "TarvoMDrv demo: a register simulator on a pseudo-terminal, the driver as an\n"
               "automation control driven late-bound, as a point-of-sale program would.\n";

  Step("Starting the register simulator");
  sim::SimOptions sim_options;
  sim_options.port = kPort;
  sim_options.device_dir = device_dir.string();
  sim_options.ap = "AP0000042";
  if (options_.trace)
    sim_options.trace = [](std::string_view line) { std::cout << "          | " << line << std::endl; };
  sim::RegisterSimulator reg(sim_options);
  reg_ = &reg;
  Note("COM" + std::to_string(kPort) + " -> " + reg.host_path());
  const std::int64_t grand_total_before = reg.totals().grand_total;

  Step("Loading the driver module and creating a control");
  ModuleHost module(module_path_);
  Note(module.path() + ", version " + module.Version());
  IDispatch* raw = nullptr;
  HRESULT hr = module.CreateControl(CLSID_Tarvo, &raw);
  if (FAILED(hr) || !raw) {
    std::cerr << "cannot create the control: " << HresultText(hr) << "\n";
    return 1;
  }
  LateBoundControl control(raw);
  raw->Release();
  control_ = &control;
  Note(std::to_string(control.methods().members().size()) + " members and " +
       std::to_string(control.events().members().size()) + " events read from the type information");
  hr = control.ConnectEvents([this](const std::string& name, const Json& args) { OnEvent(name, args); });
  Check(SUCCEEDED(hr) && events_["OnCreate"] == 1, "event sink connected, OnCreate received");

  Step("Opening the port: Init with the link reset and the identification request");
  auto init = Call("Init", Json{{"baudrate", 9600}, {"log_size", 100}, {"sn_path", log_dir}});
  Check(ValueOf(init) == 0, "Init returned 0");
  Check(PumpUntil([&] { return connected_; }, std::chrono::seconds(5)), "OnConnect raised by the register's answer");
  Note("diagnostic log: " + log_dir + "/KV500M.log");

  Step("Loading master data: currencies, clerks, clerk options");
  auto cur = Call("CurrencyUpload", Json{{"cur_id", "2" + kSep + "3"},
                                         {"desc", "EUR" + kSep + "USD"},
                                         {"rate", "3105" + kSep + "2850"},
                                         {"nod", "2" + kSep + "2"}});
  const auto currencies = reg.Currencies();
  Check(ValueOf(cur) == 0 && currencies.size() > 2 && currencies[1].caption == "EUR" &&
            currencies[1].rate == 3105 && currencies[2].caption == "USD",
        "CurrencyUpload: the register now holds EUR 3105 and USD 2850");
  auto clerks = Call("ClerkUpload", Json{{"clerk_id", "01" + kSep + "02"},
                                         {"desc", "Anna" + kSep + "Béla"},
                                         {"secret_code", "1111" + kSep + "2222"},
                                         {"status", "1"}});
  const auto reg_clerks = reg.Clerks();
  Check(ValueOf(clerks) == 0 && reg_clerks.size() >= 2 && reg_clerks[0].secret_code == 1111 &&
            reg_clerks[1].secret_code == 2222,
        "ClerkUpload: clerks 1 and 2 carry codes 1111 and 2222");
  auto options = Call("SetClerkOptions", Json{{"entry_code", true}, {"default_clerk", 1}, {"stay_down", false}});
  const std::string table4 = reg.Table(4);
  Check(ValueOf(options) == 0 && table4.size() >= 5 && table4[2] == 1 && table4[3] == 1 && table4[4] == 1,
        "SetClerkOptions: entry code on, default clerk 1, stay-down off");

  Step("Reading the register: GetStatus and EcrCheck");
  auto status = Call("GetStatus", Json::object());
  Check(ValueOf(status) == 0 && status.result.value("day_open", false) == reg.day_open(),
        std::string("GetStatus: day open = ") + (reg.day_open() ? "true" : "false"));
  auto check = Call("EcrCheck", Json::object());
  const auto counters = reg.Check();
  Check(ValueOf(check) == 0 && check.result.value("receipt_num", -1) == counters.receipt_no &&
            check.result.value("cancel_num", -1) == counters.cancels &&
            check.result.value("ap_num", "") == counters.ap,
        "EcrCheck: receipt " + std::to_string(counters.receipt_no) + ", cancels " +
            std::to_string(counters.cancels) + ", AP " + counters.ap);

  Step("A business day in the 841 mode");
  control.Put("Mode650", false);
  day_sales_ = 0;
  receipts_closed_ = 0;
  cancels_ = 0;
  PlayDay(sim::BusinessDay841(), "841 day");

  Step("Checking the 841 day against the register's daily report");
  Check(daily_report_.has_value(), "OnDailyReport raised");
  if (daily_report_) {
    const Json& r = *daily_report_;
    Check(r.value("receipt_num", -1) == receipts_closed_,
          "receipts closed: events " + std::to_string(receipts_closed_) + ", report " +
              std::to_string(r.value("receipt_num", -1)));
    Check(r.value("cancel_num", -1) == cancels_,
          "receipts cancelled: events " + std::to_string(cancels_) + ", report " +
              std::to_string(r.value("cancel_num", -1)));
    Check(r.value("taxable_a", "") == std::to_string(day_sales_),
          "day sales: events " + std::to_string(day_sales_) + ", report " + r.value("taxable_a", ""));
  }
  Check(events_["OnCloseWaste"] == 1, "the refused waste sale was followed by OnCloseWaste");
  const auto refusal = reg.HostBodies();
  bool refused = false;
  for (const auto& body : refusal)
    if (!body.empty() && static_cast<unsigned char>(body[0]) == 0x96 && body.size() == 34 && body[33] == '0')
      refused = true;
  Check(refused, "the driver refused the waste department sale on its own");

  Step("A shorter day in Mode650");
  control.Put("Mode650", true);
  const std::int64_t before650 = all_sales_;
  const auto closed_before = receipts_closed_;
  const auto report_events = events_["OnDailyReport"];
  PlayDay(sim::ShortDay650(), "Mode650 day");
  Check(events_["OnDailyReport"] == report_events, "no OnDailyReport in Mode650 (the driver enabled the report itself)");
  Check(receipts_closed_ - closed_before == 2, "two receipts closed in Mode650");
  Note("sales in Mode650: " + std::to_string(all_sales_ - before650));

  Step("Checking the grand total and the counters");
  const std::int64_t grand_total_after = reg.totals().grand_total;
  Check(grand_total_after - grand_total_before == all_sales_,
        "grand total moved by " + std::to_string(grand_total_after - grand_total_before) +
            ", the events add up to " + std::to_string(all_sales_));
  auto final_check = Call("EcrCheck", Json::object());
  Check(ValueOf(final_check) == 0 && final_check.result.value("receipt_num", -1) == reg.Check().receipt_no,
        "EcrCheck after the days: receipt " + std::to_string(reg.Check().receipt_no));

  Step("Closing the port and releasing the control");
  Call("PortClose", Json::object());
  control.Release();
  Check(destroyed_, "OnDestroy received");

  Step("Summary");
  std::cout << "\n        events by kind\n";
  int total_events = 0;
  for (const auto& [name, count] : events_) {
    std::cout << "          " << std::left << std::setw(20) << name << std::right << std::setw(4) << count << "\n";
    total_events += count;
  }
  std::cout << "          " << std::left << std::setw(20) << "all" << std::right << std::setw(4) << total_events << "\n";
  int failed = 0;
  for (const auto& [what, ok] : checks_)
    if (!ok) ++failed;
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::cout << "\n        " << checks_.size() - failed << " of " << checks_.size() << " checks passed in "
            << std::fixed << std::setprecision(1) << seconds << " s; diagnostic log in " << log_dir
            << "/KV500M.log\n";
  std::error_code ec;
  std::filesystem::remove_all(device_dir, ec);
  return failed == 0 ? 0 : 1;
}

}  // namespace

void AddDemoOptions(CLI::App& command, DemoOptions& options) {
  command.add_option("--log-dir", options.log_dir, "directory of the diagnostic log (default ./tarvo-demo-log)");
  command.add_flag("--trace", options.trace, "show the serial line as well");
}

int RunDemo(const std::string& module_path, const DemoOptions& options) {
  Demo demo(module_path, options);
  return demo.Run();
}

}  // namespace tarvo::tool
