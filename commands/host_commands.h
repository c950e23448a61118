#pragma once
// The host commands that talk to a register. Each follows one course:
// Value := 0; port look-up (3 when the port is not registered, nothing
// logged); the command's log line; argument checks (4, 6, 7, 8); the body
// framed, stored as the port's LastFrame and written; for the commands that
// need an answer a bounded, pumped wait (2 on time-out); an error line for any
// code other than 0 and 3.
//
// Texts arrive as UTF-16 (as the automation boundary hands them over) and are
// converted to the host's 8-bit code page here. `Value` is an out-parameter
// so that it keeps what was set when a serial-port error (EComPort) escapes.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/tarvo_impl.h"

namespace tarvo::commands {

// Result codes of the commands.
enum : std::int32_t {
  kOk = 0,
  kTimeout = 2,
  kPortNotOpen = 3,
  kBadArgument = 4,
  kEmptyOrCountMismatch = 6,
  kBadLength = 7,
  kUnknownClerk = 8,
};

// The in/out parameters of EcrCheck.
struct EcrCheckResult {
  std::int32_t receipt_num = 0;
  std::int32_t receipt_amount = 0;
  std::int32_t cancel_num = 0;
  std::u16string clerk_code;
  std::uint8_t key_pos = 0;
  std::uint8_t ecr_status = 0;
  std::u16string ap_num;
  std::int32_t opened_day = 0;
  bool demo_mode = false;
};

class HostCommands {
 public:
  explicit HostCommands(core::TarvoImpl1& impl) : impl_(impl) {}

  void SendPlu(std::uint8_t port_num, std::u16string_view plu_code, std::u16string_view desc,
               std::uint8_t group1, std::uint8_t group2, std::uint8_t group3,
               std::u16string_view status, std::u16string_view vtsz, std::u16string_view link,
               std::int32_t price1, std::int32_t price2, std::int32_t price3,
               std::int32_t& Value);
  void SendCust(std::uint8_t port_num, std::u16string_view cust_id,
                std::u16string_view cust_desc, std::int32_t& Value);
  void CurrencyUpload(std::uint8_t port_num, std::u16string_view cur_id, std::u16string_view desc,
                      std::u16string_view rate, std::u16string_view nod, std::int32_t& Value);
  void ClerkUpload(std::uint8_t port_num, std::u16string_view clerk_id, std::u16string_view desc,
                   std::u16string_view secret_code, std::u16string_view status,
                   std::int32_t& Value);
  void GetStatus(std::uint8_t port_num, bool& day_open, std::int32_t& Value);
  void SetClerkOptions(std::uint8_t port_num, bool entry_code, std::uint8_t default_clerk,
                       bool stay_down, std::int32_t& Value);
  void OperationEnabled(std::uint8_t port_num, bool en, std::u16string_view disp_msg,
                        std::int32_t& Value);
  void SendClerk(std::uint8_t port_num, std::u16string_view desc, std::u16string_view status,
                 std::int32_t& Value);
  void EcrCheck(std::uint8_t port_num, EcrCheckResult& result, std::int32_t& Value);
  void SendClear(std::uint8_t port_num, std::int32_t& Value);

  // The 21-round pumped wait of the commands (300 ms sleep, pump, test).
  bool AwaitAnswer(const std::function<bool()>& done);
  static constexpr int kAnswerRounds = 21;

 private:
  // Value := 0 and the port's entry, or Value := 3 and none.
  std::shared_ptr<core::PortEntry> Begin(std::uint8_t port_num, std::int32_t& Value);
  // One table step that ends on the register's acknowledgement: Acked
  // cleared, `frame` written, the answer wait; "<step>:  Timeout!" when it
  // runs out, else "<step>:  Done!" (unless `log_done` is false). False on
  // time-out.
  bool SendAwaitingAck(core::PortEntry& entry, const std::string& frame, std::string_view step,
                       bool log_done = true);
  // The read step of a read-modify-write: the port's earlier answer for
  // `table` forgotten, the read request written, and the wait until this
  // very table's answer has arrived from this port. Then the answer must hold
  // everything that will be written back. "<step>:  Timeout!" or
  // "<step>:  Short answer!" and nothing when not; the answer otherwise
  // ("<step>:  Done!" is the caller's, once it has used the answer).
  std::optional<core::TableRead> ReadTable(core::PortEntry& entry, std::uint8_t table,
                                           std::string_view step);

  core::TarvoImpl1& impl_;
};

}  // namespace tarvo::commands
