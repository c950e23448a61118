// The host commands. Each one runs on the control's thread:
//
//   Value := 0; look the port up (3, and nothing logged, when it is not
//   registered); log the call; check and build; frame, remember as LastFrame
//   and write; for the commands that need an answer, a pumped wait of at most
//   21 rounds (2 on time-out); an error line for any code but 0 and 3.
//
// While a command waits, the control's loop runs: Timer2 hands queued
// messages to the dispatcher, which fills the answer slots of the port the
// answer came from, and the read thread sets the port's Acked when the
// register acknowledges a frame. A command waits only for the answer it asked
// for, from its own port (see answer_rules.h). A command called from inside
// an event handler waits with Timer2 off, so only its Acked waits can come
// true: its table reads time out and nothing is written.
#include "commands/host_commands.h"

#include <optional>
#include <string>

#include "commands/answer_rules.h"
#include "commands/encodings.h"
#include "commands/records.h"
#include "link/frame.h"
#include "platform/codepage.h"

namespace tarvo::commands {
namespace {

using core::PortEntry;

constexpr char kHostLine = 'r';

std::string Num(std::int32_t v) { return std::to_string(v); }
std::string Text(std::u16string_view t) { return platform::ToAnsi(t); }
std::string TrueFalse(bool b) { return b ? "True" : "False"; }

// Writes the host-call line for the entry (the entry's LogSize decides).
void LogLine(core::TarvoImpl1& impl, const PortEntry& entry, std::string_view text) {
  impl.Log(entry, kHostLine, text);
}

// "<Cmd> ERROR: <code>" for every code other than 0 and 3.
void LogError(core::TarvoImpl1& impl, const PortEntry& entry, std::string_view command,
              std::int32_t value) {
  if (value == kOk || value == kPortNotOpen) return;
  LogLine(impl, entry, std::string(command) + " ERROR: " + Num(value));
}

void SendBody(core::TarvoImpl1& impl, PortEntry& entry, std::string_view body) {
  impl.SendFrame(entry, link::BuildFrame(body));
}

std::string PluArgsText(const PluFields& f) {
  return Text(f.plu_code) + " " + Text(f.desc) + " " + Num(f.group1) + " " + Num(f.group2) + " " +
         Num(f.group3) + " " + Text(f.status) + " " + Text(f.vtsz) + " " + Text(f.link) + " " +
         Num(f.price1) + " " + Num(f.price2) + " " + Num(f.price3);
}

// The PLU record in one layout: the long one when `multiplier` is given (the
// SendPLU841 step), else the short one. Malformed arguments surface from the
// build steps as ERosszJegy, whose message is the result code.
void SendPluRecord(core::TarvoImpl1& impl, PortEntry& entry, const PluFields& f,
                   std::optional<std::int32_t> multiplier, std::int32_t& Value) {
  LogLine(impl, entry,
          multiplier ? "SendPLU841 " + Num(*multiplier) + " " + PluArgsText(f)
                     : "SendPLU " + PluArgsText(f));
  try {
    const Bytes body = BuildPluRecord(f, multiplier);
    SendBody(impl, entry, body);
  } catch (const ERosszJegy& e) {
    Value = std::stoi(e.what());
  }
  LogError(impl, entry, "SendPlu", Value);
}

}  // namespace

bool HostCommands::AwaitAnswer(const std::function<bool()>& done) {
  return impl_.PumpWait(kAnswerRounds, done);
}

bool HostCommands::SendAwaitingAck(PortEntry& entry, const std::string& frame,
                                   std::string_view step, bool log_done) {
  entry.Acked = 0;
  impl_.SendFrame(entry, frame);
  if (!AwaitAnswer([&] { return entry.Acked.load() == 1; })) {
    LogLine(impl_, entry, std::string(step) + ":  Timeout!");
    return false;
  }
  if (log_done) LogLine(impl_, entry, std::string(step) + ":  Done!");
  return true;
}

std::optional<core::TableRead> HostCommands::ReadTable(PortEntry& entry, std::uint8_t table,
                                                     std::string_view step) {
  entry.Answers.Access([&](core::AnswerData& d) { d.TableReads.erase(table); });
  impl_.SendFrame(entry, link::ReadTableFrame(table));
  std::optional<core::TableRead> read;
  AwaitAnswer([&] {
    read = entry.Answers.Access([&](core::AnswerData& d) -> std::optional<core::TableRead> {
      const auto it = d.TableReads.find(table);
      if (it == d.TableReads.end()) return std::nullopt;
      return it->second;
    });
    return read.has_value();
  });
  if (!read) {
    LogLine(impl_, entry, std::string(step) + ":  Timeout!");
    return std::nullopt;
  }
  // An answer that lacks part of what goes back would make the register's
  // table lose that part: nothing is written from it.
  if (!IsCompleteTableRead(table, *read)) {
    LogLine(impl_, entry, std::string(step) + ":  Short answer!");
    return std::nullopt;
  }
  return read;
}

// ---------------------------------------------------------------------------

// The start every command shares: Value := 0 and the port's entry; without a
// registered port Value := 3 and no entry (nothing is logged or sent then).
std::shared_ptr<core::PortEntry> HostCommands::Begin(std::uint8_t port_num, std::int32_t& Value) {
  Value = kOk;
  const int index = impl_.FindPortEntry(port_num);
  if (index < 0) {
    Value = kPortNotOpen;
    return nullptr;
  }
  return impl_.Entry(index);
}

void HostCommands::SendPlu(std::uint8_t port_num, std::u16string_view plu_code,
                           std::u16string_view desc, std::uint8_t group1, std::uint8_t group2,
                           std::uint8_t group3, std::u16string_view status,
                           std::u16string_view vtsz, std::u16string_view link,
                           std::int32_t price1, std::int32_t price2, std::int32_t price3,
                           std::int32_t& Value) {
  const auto entry = Begin(port_num, Value);
  if (!entry) return;
  const PluFields fields{plu_code, desc, group1, group2, group3, status,
                         vtsz,     link, price1, price2, price3};
  // The layout follows the form of the port's last PLU inquiry: long until
  // the first short inquiry arrives.
  std::optional<std::int32_t> multiplier;
  if (entry->ShortInquiry.load() == 0) multiplier = entry->Multiplier.load();
  SendPluRecord(impl_, *entry, fields, multiplier, Value);
}

void HostCommands::SendCust(std::uint8_t port_num, std::u16string_view cust_id,
                            std::u16string_view cust_desc, std::int32_t& Value) {
  const auto entry = Begin(port_num, Value);
  if (!entry) return;
  LogLine(impl_, *entry, "SendCust " + Text(cust_id) + " " + Text(cust_desc));
  SendBody(impl_, *entry, BuildCustomerRecord(cust_id, cust_desc));
}

// ---------------------------------------------------------------------------

void HostCommands::CurrencyUpload(std::uint8_t port_num, std::u16string_view cur_id,
                                  std::u16string_view desc, std::u16string_view rate,
                                  std::u16string_view nod, std::int32_t& Value) {
  const auto entry = Begin(port_num, Value);
  if (!entry) return;
  auto& answers = entry->Answers;
  LogLine(impl_, *entry,
          "CurrencyUpload " + Text(cur_id) + "  " + Text(desc) + "  " + Text(rate) + "  " +
              Text(nod));
  const auto finish = [&](std::int32_t code) {
    Value = code;
    LogError(impl_, *entry, "CurrencyUpload", Value);
  };

  answers.Access([](core::AnswerData& d) { d.CurrencyTable = {}; });
  const CurrencyLists lists = SplitCurrencyLists(Text(cur_id), Text(desc), Text(rate), Text(nod),
                                                 impl_.FieldSeparator());
  if (const std::int32_t code = CheckCurrencyLists(lists); code != kOk) return finish(code);

  // Read the function-key table, merge the named currencies into its
  // currency block and write the whole table back.
  std::optional<core::TableRead> read = ReadTable(*entry, kTableFunctionKeys, "FunctionKeyDownload");
  if (!read) return finish(kTimeout);
  std::array<core::Curr, 4> currencies = DecodeCurrencies(read->data);
  MergeCurrencies(currencies, lists);
  PutCurrencyBlock(read->data, currencies);  // the block is there: the read is complete
  answers.Access([&](core::AnswerData& d) { d.CurrencyTable = currencies; });
  LogLine(impl_, *entry, "FunctionKeyDownload:  Done!");

  const Bytes body =
      link::TableBody(link::FnWriteTable(kTableFunctionKeys), kFunctionKeyWriteCount, read->data);
  if (!SendAwaitingAck(*entry, link::BuildFrame(body), "FunctionKeyUpload")) {
    return finish(kTimeout);
  }
}

void HostCommands::ClerkUpload(std::uint8_t port_num, std::u16string_view clerk_id,
                               std::u16string_view desc, std::u16string_view secret_code,
                               std::u16string_view status, std::int32_t& Value) {
  const auto entry = Begin(port_num, Value);
  if (!entry) return;
  auto& answers = entry->Answers;
  LogLine(impl_, *entry,
          "ClerkUpload " + Text(clerk_id) + "  " + Text(desc) + "  " + Text(secret_code) + "  " +
              Text(status));
  const auto finish = [&](std::int32_t code) {
    Value = code;
    LogError(impl_, *entry, "ClerkUpload", Value);
  };

  answers.Access([](core::AnswerData& d) { d.Clerks = {}; });
  const ClerkLists lists =
      SplitClerkLists(Text(clerk_id), Text(desc), Text(secret_code), impl_.FieldSeparator());
  if (const std::int32_t code = CheckClerkLists(lists); code != kOk) return finish(code);

  // Read the clerk table, merge the named clerks into it; every value is
  // merged, but one unknown clerk number stops the write. The port's clerk
  // table keeps the merged table (SendClerk then sends clerk 1's code).
  const std::optional<core::TableRead> read = ReadTable(*entry, kTableClerks, "ClerkDownload");
  if (!read) return finish(kTimeout);
  LogLine(impl_, *entry, "ClerkDownload:  Done!");
  core::ClerkTable clerks = DecodeClerkTable(read->count, read->data);
  const std::int32_t merged = MergeClerks(clerks, lists);
  answers.Access([&](core::AnswerData& d) { d.Clerks = clerks; });
  if (merged != kOk) return finish(kUnknownClerk);

  const Bytes body = link::TableBody(link::FnWriteTable(kTableClerks),
                                     static_cast<std::uint16_t>(clerks.count),
                                     ClerkTableData(clerks));
  if (!SendAwaitingAck(*entry, link::BuildFrame(body), "ClerkUpload")) return finish(kTimeout);
}

void HostCommands::SetClerkOptions(std::uint8_t port_num, bool entry_code,
                                   std::uint8_t default_clerk, bool stay_down,
                                   std::int32_t& Value) {
  const auto entry = Begin(port_num, Value);
  if (!entry) return;
  LogLine(impl_, *entry,
          "SetClerkOptions " + TrueFalse(entry_code) + "  " + Num(default_clerk) + "  " +
              TrueFalse(stay_down));
  const auto finish = [&](std::int32_t code) {
    Value = code;
    LogError(impl_, *entry, "SetClerkOptions", Value);
  };

  if (default_clerk < 1 || default_clerk > 10) return finish(kBadArgument);

  // Read the clerk options table, change its three option bytes and write
  // it back as it came otherwise.
  std::optional<core::TableRead> read = ReadTable(*entry, kTableClerkOptions, "GetClerkOptions");
  if (!read) return finish(kTimeout);
  ApplyClerkOptions(read->data, entry_code, default_clerk, stay_down);  // complete: 35 bytes
  LogLine(impl_, *entry, "GetClerkOptions:  Done!");

  const Bytes body =
      link::TableBody(link::FnWriteTable(kTableClerkOptions), kClerkOptionsWriteCount, read->data);
  if (!SendAwaitingAck(*entry, link::BuildFrame(body), "SetClerkOptions")) {
    return finish(kTimeout);
  }
}

void HostCommands::SendClerk(std::uint8_t port_num, std::u16string_view desc,
                             std::u16string_view status, std::int32_t& Value) {
  const auto entry = Begin(port_num, Value);
  if (!entry) return;
  LogLine(impl_, *entry, "SendClerk " + Text(desc) + " " + Text(status));
  // The secret code goes back as the register sent it with its login request
  // (or as the last clerk upload left it). Without any clerk record there is
  // no code to send: nothing is sent rather than a made-up code.
  const std::optional<std::int32_t> code =
      entry->Answers.Access([](core::AnswerData& d) -> std::optional<std::int32_t> {
        if (d.Clerks.records.empty()) return std::nullopt;
        return d.Clerks.records[0].code;
      });
  if (!code) {
    Value = kUnknownClerk;
    LogError(impl_, *entry, "SendClerk", Value);
    return;
  }
  SendBody(impl_, *entry, BuildClerkRecord(desc, *code));
}

// ---------------------------------------------------------------------------

void HostCommands::GetStatus(std::uint8_t port_num, bool& day_open, std::int32_t& Value) {
  const auto entry = Begin(port_num, Value);
  if (!entry) return;
  auto& answers = entry->Answers;
  day_open = true;
  answers.Access(ClearResponse);
  impl_.SendFrame(*entry, link::StatusFrame());
  // Only the status answer of this port counts; its first data byte is the
  // day status, 0 meaning that the day is closed.
  std::optional<std::uint8_t> day_status;
  AwaitAnswer([&] {
    day_status = answers.Access([](core::AnswerData& d) -> std::optional<std::uint8_t> {
      if (!HoldsStatusAnswer(d)) return std::nullopt;
      return static_cast<std::uint8_t>(d.ResponseSlot[0]);
    });
    return day_status.has_value();
  });
  if (day_status) {
    if (*day_status == 0x00) day_open = false;
    LogLine(impl_, *entry, "GetStatus: Done!");
  } else {
    Value = kTimeout;
    LogLine(impl_, *entry, "GetStatus:  Timeout!");
  }
  answers.Access(ClearResponse);
  LogError(impl_, *entry, "GetStatus", Value);
}

void HostCommands::EcrCheck(std::uint8_t port_num, EcrCheckResult& result, std::int32_t& Value) {
  const auto entry = Begin(port_num, Value);
  if (!entry) return;
  auto& answers = entry->Answers;
  LogLine(impl_, *entry, "EcrCheck");
  SendBody(impl_, *entry, BuildCheckRequest());
  answers.Access(ClearResponse);
  // Only the check answer of this port counts; the slot keeps it.
  std::string answer;
  const bool got = AwaitAnswer([&] {
    answer = answers.Access([](core::AnswerData& d) {
      return HoldsCheckAnswer(d) ? d.ResponseSlot : std::string();
    });
    return !answer.empty();
  });
  if (!got) {
    Value = kTimeout;
    LogLine(impl_, *entry, "EcrCheck:  Timeout!");
  } else {
    LogLine(impl_, *entry, "EcrCheck: Done!");
    const CheckAnswer a = DecodeCheckAnswer(answer);
    result.receipt_num = a.receipt_num;
    result.receipt_amount = a.receipt_amount;
    result.cancel_num = a.cancel_num;
    result.clerk_code = platform::FromAnsi(Num(a.clerk_code));
    result.key_pos = a.key_pos;
    result.ecr_status = a.ecr_status;
    result.ap_num = platform::FromAnsi(a.ap_num);
    result.opened_day = a.opened_day;
    result.demo_mode = false;
  }
  LogError(impl_, *entry, "EcrCheck", Value);
}

void HostCommands::OperationEnabled(std::uint8_t port_num, bool en, std::u16string_view disp_msg,
                                    std::int32_t& Value) {
  const auto entry = Begin(port_num, Value);
  if (!entry) return;
  LogLine(impl_, *entry, std::string("OperationEnabled ") + (en ? "-1" : "0") + " " +
                             Text(disp_msg));
  SendBody(impl_, *entry, BuildOperationMessage(en, disp_msg));
}

void HostCommands::SendClear(std::uint8_t port_num, std::int32_t& Value) {
  const auto entry = Begin(port_num, Value);
  if (!entry) return;
  LogLine(impl_, *entry, "SendClear");
  SendBody(impl_, *entry, BuildCheckRequest());
}

}  // namespace tarvo::commands
