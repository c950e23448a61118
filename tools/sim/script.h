#pragma once
// Scripts for the simulated register: a JSON array of steps, run in order by
// RegisterSimulator::RunScript. Each step is an object with exactly one of
// the keys "send", "expect", "fault" or "sleep_ms":
//
//   {"send":"sale","item":"P","code":"5998","unit":100,"total":200,"count":2000}
//   {"expect":"plu","code":"5998","timeout_ms":5000}
//   {"fault":"nak","count":2}
//   {"sleep_ms":50}
//
// "send" names one of the register's messages; fields that a step leaves out
// come from the register (AP number, clerk, opened day, the current receipt
// number, the clock). Single-byte fields (types, modes, item kind) take a
// number or a one-character string. A send fails when the host does not
// acknowledge the frame.
//
// "expect" waits for the host's answer to the last message sent: "plu",
// "operation", "clerk", "customer" or "any", optionally checking the PLU code
// ("code") or the enable flag ("enable").
//
// "fault": "nak" and "withhold_ack" (with "count"), "garbage" (with "hex"),
// "partial" (optional "hex" body), "silent", "wake", "hangup".
//
// Send names and their fields:
//   day_open          date time clerk
//   receipt_open, receipt_close, cancel
//                     date time clerk receipt
//   sale, waste       tr item code unit total count
//   modifier          type ("D"/"S") mode amount
//   tender            type amount home change change_id
//   paid              type cash check date time clerk
//   customer_inquiry  id
//   plu_inquiry       code with_ap            (short form)
//   plu_inquiry_long  code clerk tr dept multiplier
//   paid_request      tr title clerk
//   id_key            id
//   clerk_login       code
//   operation_request
//   modifier_request  type mode percent amount
//   daily_report      date time
//   raw               hex                     (any body, kind first)
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tarvo::sim {

class ScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Script {
  nlohmann::json steps = nlohmann::json::array();  // validated array of step objects
};

struct ScriptResult {
  bool ok = true;
  std::size_t steps_run = 0;    // steps that completed
  std::size_t failed_step = 0;  // index of the failing step when !ok
  std::string error;
};

// Checks the shape of every step (known keys, names and field types);
// throws ScriptError naming the step index on the first problem.
Script ScriptFromJson(const nlohmann::json& steps);
Script ParseScript(std::string_view json_text);

// A business day in the 841 mode: day open, clerk login, receipts with long
// PLU inquiries, a refused waste department request followed by another
// department request, a modifier request, tenders with change id, a cancelled
// receipt, a paid-out, customer inquiry, ID key and the daily report.
Script BusinessDay841();
// A shorter day for Mode650: short PLU inquiries, tenders, requests the host
// enables by itself and the daily report answered with an automatic enable.
Script ShortDay650();

}  // namespace tarvo::sim
