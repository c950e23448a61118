// Register scripts: validation, the runner and the two built-in days.
#include "tools/sim/script.h"

#include <cctype>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "tools/sim/register_sim.h"

namespace tarvo::sim {

using nlohmann::json;

namespace {

// Field types: i integer, s text, b byte (0..255 or one character),
// f boolean, h hex text.
using FieldTypes = std::map<std::string, char>;

const std::map<std::string, FieldTypes>& SendFields() {
  static const std::map<std::string, FieldTypes> fields = {
      {"day_open", {{"date", 'i'}, {"time", 'i'}, {"clerk", 'b'}}},
      {"receipt_open", {{"date", 'i'}, {"time", 'i'}, {"clerk", 'b'}, {"receipt", 'i'}}},
      {"receipt_close", {{"date", 'i'}, {"time", 'i'}, {"clerk", 'b'}, {"receipt", 'i'}}},
      {"cancel", {{"date", 'i'}, {"time", 'i'}, {"clerk", 'b'}, {"receipt", 'i'}}},
      {"sale", {{"tr", 'b'}, {"item", 'b'}, {"code", 's'}, {"unit", 'i'}, {"total", 'i'}, {"count", 'i'}}},
      {"waste", {{"tr", 'b'}, {"item", 'b'}, {"code", 's'}, {"unit", 'i'}, {"total", 'i'}, {"count", 'i'}}},
      {"modifier", {{"type", 's'}, {"mode", 'b'}, {"amount", 'i'}}},
      {"tender", {{"type", 'b'}, {"amount", 'i'}, {"home", 'i'}, {"change", 'i'}, {"change_id", 'b'}}},
      {"paid", {{"type", 'b'}, {"cash", 'i'}, {"check", 'i'}, {"date", 'i'}, {"time", 'i'}, {"clerk", 'b'}}},
      {"customer_inquiry", {{"id", 's'}}},
      {"plu_inquiry", {{"code", 's'}, {"with_ap", 'f'}}},
      {"plu_inquiry_long", {{"code", 's'}, {"clerk", 'i'}, {"tr", 'b'}, {"dept", 'b'}, {"multiplier", 'i'}}},
      {"paid_request", {{"tr", 'b'}, {"title", 'b'}, {"clerk", 'b'}}},
      {"id_key", {{"id", 's'}}},
      {"clerk_login", {{"code", 'i'}}},
      {"operation_request", {}},
      {"modifier_request", {{"type", 'b'}, {"mode", 'b'}, {"percent", 'f'}, {"amount", 'i'}}},
      {"daily_report", {{"date", 'i'}, {"time", 'i'}}},
      {"raw", {{"hex", 'h'}}},
  };
  return fields;
}

const std::map<std::string, Answer>& ExpectNames() {
  static const std::map<std::string, Answer> names = {
      {"plu", Answer::kPlu}, {"operation", Answer::kOperation}, {"clerk", Answer::kClerk},
      {"customer", Answer::kCustomer}, {"any", Answer::kAny}};
  return names;
}

const std::map<std::string, FieldTypes>& FaultFields() {
  static const std::map<std::string, FieldTypes> fields = {
      {"nak", {{"count", 'i'}}}, {"withhold_ack", {{"count", 'i'}}}, {"garbage", {{"hex", 'h'}}},
      {"partial", {{"hex", 'h'}}}, {"silent", {}}, {"wake", {}}, {"hangup", {}}};
  return fields;
}

bool IsHex(const std::string& s) {
  std::size_t digits = 0;
  for (const char c : s) {
    if (c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    ++digits;
  }
  return digits % 2 == 0;
}

std::string FromHex(const std::string& s) {
  std::string out;
  std::string pair;
  for (const char c : s) {
    if (c == ' ') continue;
    pair.push_back(c);
    if (pair.size() == 2) {
      out.push_back(static_cast<char>(std::stoi(pair, nullptr, 16)));
      pair.clear();
    }
  }
  return out;
}

bool TypeOk(const json& v, char type) {
  switch (type) {
    case 'i': return v.is_number_integer() && v.get<std::int64_t>() >= INT32_MIN && v.get<std::int64_t>() <= INT32_MAX;
    case 's': return v.is_string();
    case 'b':
      return (v.is_number_integer() && v.get<std::int64_t>() >= 0 && v.get<std::int64_t>() <= 255) ||
             (v.is_string() && v.get<std::string>().size() == 1);
    case 'f': return v.is_boolean();
    case 'h': return v.is_string() && IsHex(v.get<std::string>());
  }
  return false;
}

void CheckFields(const json& step, std::size_t index, const char* action_key, const FieldTypes& types,
                 const std::vector<std::string>& extra) {
  for (const auto& [key, value] : step.items()) {
    if (key == action_key) continue;
    bool allowed = false;
    for (const auto& e : extra) allowed = allowed || key == e;
    if (allowed) continue;
    const auto it = types.find(key);
    if (it == types.end()) {
      throw ScriptError("step " + std::to_string(index) + ": unknown field \"" + key + "\"");
    }
    if (!TypeOk(value, it->second)) {
      throw ScriptError("step " + std::to_string(index) + ": bad value for \"" + key + "\"");
    }
  }
}

void CheckStep(const json& step, std::size_t index) {
  const std::string where = "step " + std::to_string(index) + ": ";
  if (!step.is_object()) throw ScriptError(where + "not an object");
  int actions = 0;
  for (const char* key : {"send", "expect", "fault", "sleep_ms"}) actions += step.contains(key) ? 1 : 0;
  if (actions != 1) throw ScriptError(where + "needs exactly one of send, expect, fault, sleep_ms");
  if (step.contains("sleep_ms")) {
    const json& v = step["sleep_ms"];
    if (!v.is_number_integer() || v.get<std::int64_t>() < 0 || step.size() != 1) {
      throw ScriptError(where + "sleep_ms needs a non-negative integer alone");
    }
    return;
  }
  const char* key = step.contains("send") ? "send" : step.contains("expect") ? "expect" : "fault";
  if (!step[key].is_string()) throw ScriptError(where + key + " needs a name");
  const std::string name = step[key].get<std::string>();
  if (std::string(key) == "send") {
    const auto it = SendFields().find(name);
    if (it == SendFields().end()) throw ScriptError(where + "unknown message \"" + name + "\"");
    CheckFields(step, index, key, it->second, {});
  } else if (std::string(key) == "expect") {
    if (!ExpectNames().count(name)) throw ScriptError(where + "unknown answer \"" + name + "\"");
    CheckFields(step, index, key, {{"timeout_ms", 'i'}, {"code", 's'}, {"enable", 'f'}}, {});
  } else {
    const auto it = FaultFields().find(name);
    if (it == FaultFields().end()) throw ScriptError(where + "unknown fault \"" + name + "\"");
    CheckFields(step, index, key, it->second, {});
  }
}

// Field readers with defaults; the shapes were checked by CheckStep.
std::int32_t Int(const json& step, const char* key, std::int32_t def) {
  return step.contains(key) ? step[key].get<std::int32_t>() : def;
}
std::uint8_t Byte(const json& step, const char* key, std::uint8_t def) {
  if (!step.contains(key)) return def;
  const json& v = step[key];
  if (v.is_string()) return static_cast<std::uint8_t>(v.get<std::string>()[0]);
  return static_cast<std::uint8_t>(v.get<int>());
}
std::string Text(const json& step, const char* key, const std::string& def) {
  return step.contains(key) ? step[key].get<std::string>() : def;
}
bool Flag(const json& step, const char* key, bool def) {
  return step.contains(key) ? step[key].get<bool>() : def;
}

}  // namespace

Script ScriptFromJson(const json& steps) {
  if (!steps.is_array()) throw ScriptError("a script is an array of steps");
  for (std::size_t i = 0; i < steps.size(); ++i) CheckStep(steps[i], i);
  Script s;
  s.steps = steps;
  return s;
}

Script ParseScript(std::string_view json_text) {
  json steps;
  try {
    steps = json::parse(json_text);
  } catch (const json::parse_error& e) {
    throw ScriptError(std::string("not JSON: ") + e.what());
  }
  return ScriptFromJson(steps);
}

ScriptResult RegisterSimulator::RunScript(const Script& script) {
  ScriptResult result;
  std::uint64_t mark = Mark();
  auto fail = [&](std::size_t i, std::string error) {
    result.ok = false;
    result.failed_step = i;
    result.error = "step " + std::to_string(i) + ": " + std::move(error);
    return result;
  };
  for (std::size_t i = 0; i < script.steps.size(); ++i) {
    const json& step = script.steps[i];
    if (step.contains("sleep_ms")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(step["sleep_ms"].get<std::int64_t>()));
    } else if (step.contains("fault")) {
      const std::string name = step["fault"].get<std::string>();
      if (name == "nak") NakNext(Int(step, "count", 1));
      else if (name == "withhold_ack") WithholdAckNext(Int(step, "count", 1));
      else if (name == "garbage") SendGarbage(FromHex(Text(step, "hex", "FF")));
      else if (name == "partial") SendPartialFrame(FromHex(Text(step, "hex", "")));
      else if (name == "silent") FallSilent();
      else if (name == "wake") WakeUp();
      else if (name == "hangup") HangUp();
    } else if (step.contains("expect")) {
      const Answer what = ExpectNames().at(step["expect"].get<std::string>());
      const auto timeout = std::chrono::milliseconds(Int(step, "timeout_ms", 5000));
      if (!WaitFor(what, mark, timeout)) return fail(i, std::string("no ") + ToString(what));
      if (step.contains("code")) {
        const auto plu = LastPluRecord();
        const std::string want = step["code"].get<std::string>();
        if (!plu || plu->code != want) {
          return fail(i, "PLU record for " + (plu ? plu->code : std::string("nothing")) + ", not " + want);
        }
      }
      if (step.contains("enable")) {
        const auto op = LastOperation();
        const bool want = step["enable"].get<bool>();
        if (!op || op->enable != want) {
          return fail(i, std::string("operation ") + (op && op->enable ? "enabled" : "disabled") +
                             ", expected " + (want ? "enabled" : "disabled"));
        }
      }
    } else {
      const std::string name = step["send"].get<std::string>();
      const Totals t = totals();
      const msg::Stamp now = Now();
      msg::Stamp at{Int(step, "date", now.date), Int(step, "time", now.time), Byte(step, "clerk", 1)};
      const std::string& ap = options_.ap;
      std::string body;
      try {
        if (name == "day_open") {
          body = msg::DayOpen(at, ap);
        } else if (name == "receipt_open") {
          body = msg::ReceiptOpen(at, Int(step, "receipt", t.receipt_no + 1), ap);
        } else if (name == "receipt_close") {
          body = msg::ReceiptClose(at, Int(step, "receipt", t.receipt_no), ap);
        } else if (name == "cancel") {
          body = msg::ReceiptCancel(at, Int(step, "receipt", t.receipt_no), ap);
        } else if (name == "sale" || name == "waste") {
          msg::SaleLine line{Byte(step, "tr", 0), Byte(step, "item", 'P'), Text(step, "code", "1"),
                             Int(step, "unit", 0), Int(step, "total", 0), Int(step, "count", 1000)};
          body = name == "sale" ? msg::Sale(line) : msg::Waste(line);
        } else if (name == "modifier") {
          const std::string type = Text(step, "type", "D");
          body = msg::Modifier(type.empty() ? '?' : type[0], Byte(step, "mode", 0), Int(step, "amount", 0));
        } else if (name == "tender") {
          msg::TenderLine tl{Byte(step, "type", 0), Int(step, "amount", 0), 0, Int(step, "change", 0), std::nullopt};
          tl.home_value = Int(step, "home", tl.amount);
          if (step.contains("change_id")) tl.change_id = Byte(step, "change_id", 0);
          body = msg::Tender(tl);
        } else if (name == "paid") {
          body = msg::PaidInOut({Byte(step, "type", 0), Int(step, "cash", 0), Int(step, "check", 0)}, at, ap);
        } else if (name == "customer_inquiry") {
          body = msg::CustomerInquiry(Text(step, "id", ""));
        } else if (name == "plu_inquiry") {
          body = msg::PluInquiryShort(Text(step, "code", "1"), Flag(step, "with_ap", true) ? ap : "");
        } else if (name == "plu_inquiry_long") {
          msg::LongInquiry q{Int(step, "clerk", t.clerk_code), Byte(step, "tr", 0), Byte(step, "dept", 0),
                             Int(step, "multiplier", 1000), Text(step, "code", "")};
          body = msg::PluInquiryLong(q, ap, opened_day());
        } else if (name == "paid_request") {
          body = msg::PaidRequest({Byte(step, "tr", 0), Byte(step, "title", 0), Byte(step, "clerk", 1)}, ap,
                                  opened_day());
        } else if (name == "id_key") {
          body = msg::IdKey(Text(step, "id", ""));
        } else if (name == "clerk_login") {
          body = msg::ClerkLogin(Int(step, "code", t.clerk_code));
        } else if (name == "operation_request") {
          body = msg::OperationRequest();
        } else if (name == "modifier_request") {
          body = msg::ModifierRequest({Byte(step, "type", 'D'), Byte(step, "mode", 0), Flag(step, "percent", false),
                                       Int(step, "amount", 0)});
        } else if (name == "daily_report") {
          msg::DailyReportData r = Report();
          r.date = Int(step, "date", r.date);
          r.time = static_cast<std::uint16_t>(Int(step, "time", r.time));
          body = msg::DailyReport(r);
        } else if (name == "raw") {
          body = FromHex(Text(step, "hex", ""));
        }
      } catch (const std::invalid_argument& e) {
        return fail(i, name + ": " + e.what());
      }
      if (body.empty()) return fail(i, name + ": empty body");
      mark = Mark();
      const SendStatus st = Send(body);
      if (st != SendStatus::kAcked) return fail(i, name + ": " + ToString(st));
    }
    result.steps_run = i + 1;
  }
  return result;
}

Script BusinessDay841() {
  return ScriptFromJson(json::parse(R"([
    {"send":"day_open","clerk":1},
    {"send":"clerk_login","code":1111},
    {"expect":"clerk"},
    {"send":"receipt_open"},
    {"send":"plu_inquiry_long","code":"5998"},
    {"expect":"plu","code":"5998"},
    {"send":"sale","item":"P","code":"5998","unit":100,"total":200,"count":2000},
    {"send":"plu_inquiry_long","code":"1234567"},
    {"expect":"plu","code":"1234567"},
    {"send":"sale","item":"P","code":"1234567","unit":250,"total":250,"count":1000},
    {"send":"plu_inquiry_long","dept":1,"tr":"W"},
    {"expect":"operation","enable":false},
    {"send":"plu_inquiry_long","dept":1,"tr":0},
    {"expect":"operation","enable":true},
    {"send":"sale","item":"D","code":"1","unit":500,"total":500,"count":1000},
    {"send":"modifier_request","type":"D","mode":1,"percent":false,"amount":-95},
    {"expect":"operation"},
    {"send":"modifier","type":"D","mode":1,"amount":-95},
    {"send":"tender","type":0,"amount":1000,"home":1000,"change":145,"change_id":1},
    {"send":"receipt_close"},
    {"send":"receipt_open"},
    {"send":"plu_inquiry_long","code":"5998"},
    {"expect":"plu","code":"5998"},
    {"send":"sale","item":"P","code":"5998","unit":100,"total":100,"count":1000},
    {"send":"cancel"},
    {"send":"receipt_open"},
    {"send":"plu_inquiry_long","code":"5998","multiplier":3000},
    {"expect":"plu","code":"5998"},
    {"send":"sale","item":"P","code":"5998","unit":100,"total":300,"count":3000},
    {"send":"tender","type":1,"amount":10,"home":3900,"change":3600,"change_id":0},
    {"send":"receipt_close"},
    {"send":"paid_request","tr":"O","title":1,"clerk":1},
    {"expect":"operation"},
    {"send":"paid","type":"O","cash":-5000,"check":0,"clerk":1},
    {"send":"customer_inquiry","id":"C0001"},
    {"expect":"customer"},
    {"send":"id_key","id":"ID0000042"},
    {"send":"daily_report"}
  ])"));
}

Script ShortDay650() {
  return ScriptFromJson(json::parse(R"([
    {"send":"day_open","clerk":1},
    {"send":"clerk_login","code":1111},
    {"expect":"operation","enable":true},
    {"send":"receipt_open"},
    {"send":"plu_inquiry","code":"5998"},
    {"expect":"plu","code":"5998"},
    {"send":"sale","item":"P","code":"5998","unit":100,"total":200,"count":2000},
    {"send":"plu_inquiry","code":"1234567"},
    {"expect":"plu","code":"1234567"},
    {"send":"sale","item":"P","code":"1234567","unit":250,"total":250,"count":1000},
    {"send":"tender","type":0,"amount":500,"home":500,"change":50},
    {"send":"receipt_close"},
    {"send":"receipt_open"},
    {"send":"plu_inquiry","code":"5998"},
    {"expect":"plu","code":"5998"},
    {"send":"sale","item":"P","code":"5998","unit":100,"total":100,"count":1000},
    {"send":"tender","type":0,"amount":100,"home":100,"change":0},
    {"send":"receipt_close"},
    {"send":"paid_request","tr":"I","title":1,"clerk":1},
    {"expect":"operation","enable":true},
    {"send":"paid","type":"I","cash":2000,"check":0,"clerk":1},
    {"send":"daily_report"},
    {"expect":"operation","enable":true}
  ])"));
}

}  // namespace tarvo::sim
