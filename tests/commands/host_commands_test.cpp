// The host commands against a scripted register on a pseudo-terminal.
#include "commands/host_commands.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "commands/records.h"
#include "tests/commands/commands_harness.h"

namespace tarvo::test {
namespace {

using commands::EcrCheckResult;
using Lines = std::vector<std::string>;

std::string Zeros(std::size_t n) { return std::string(n, '\0'); }

// ---------------------------------------------------------------------------
// Common course

TEST_F(CommandsTest, APortThatIsNotOpenGivesThreeAndLeavesEverythingAlone) {
  entry_->Answers.SetResponse("kept");
  bool day_open = false;
  EcrCheckResult check;
  check.receipt_num = 77;
  const std::vector<std::pair<const char*, std::function<void(std::int32_t&)>>> calls = {
      {"SendPlu",
       [&](std::int32_t& v) {
         cmd_->SendPlu(5, u"1", u"x", 0, 0, 0, u"11", u"", u"", 0, 0, 0, v);
       }},
      {"SendCust", [&](std::int32_t& v) { cmd_->SendCust(5, u"1", u"x", v); }},
      {"CurrencyUpload",
       [&](std::int32_t& v) { cmd_->CurrencyUpload(5, u"2", u"EUR", u"3105", u"2", v); }},
      {"ClerkUpload",
       [&](std::int32_t& v) { cmd_->ClerkUpload(5, u"1", u"Anna", u"1", u"x", v); }},
      {"SetClerkOptions", [&](std::int32_t& v) { cmd_->SetClerkOptions(5, true, 3, true, v); }},
      {"OperationEnabled", [&](std::int32_t& v) { cmd_->OperationEnabled(5, true, u"", v); }},
      {"SendClerk", [&](std::int32_t& v) { cmd_->SendClerk(5, u"x", u"1", v); }},
      {"EcrCheck", [&](std::int32_t& v) { cmd_->EcrCheck(5, check, v); }},
      {"SendClear", [&](std::int32_t& v) { cmd_->SendClear(5, v); }},
  };
  for (const auto& [name, call] : calls) {
    std::int32_t value = -1;
    call(value);
    EXPECT_EQ(value, commands::kPortNotOpen) << name;
  }
  EXPECT_EQ(entry_->Answers.Response(), "kept");

  std::int32_t value = -1;
  cmd_->GetStatus(5, day_open, value);
  EXPECT_EQ(value, commands::kPortNotOpen);
  EXPECT_FALSE(day_open);
  EXPECT_EQ(check.receipt_num, 77);
  EXPECT_EQ(clock_.sleeps(), 0);
  EXPECT_EQ(HostLines(), Lines{});
  ExpectSilence();
}

// ---------------------------------------------------------------------------
// Commands that do not wait

struct SentCase {
  const char* name;
  std::function<void(commands::HostCommands&, core::PortEntry&, core::DriverState&,
                     std::int32_t&)>
      call;
  std::int32_t value;
  std::string body;  // empty: nothing sent
  Lines lines;
};

std::string PluTail() {
  return test::Hex("00 00 00 00 7B 00 00 00") + "Keny\x10r" + Zeros(18) + Zeros(1) +
         test::Hex("01 02 03 30 00 01 01") + Zeros(12) + Zeros(8) +
         test::Hex("64 00 00 00 00 00 00 00 4E 61 BC 00");
}

void Bread(commands::HostCommands& c, std::uint8_t group1, std::int32_t& v) {
  c.SendPlu(3, u"123", u"Kenyér", group1, 2, 3, u"110000000011", u"0", u"", 100, 0, 12345678, v);
}

const std::vector<SentCase>& SentCases() {
  static const std::vector<SentCase> cases = {
      {"short PLU after a short inquiry",
       [](auto& c, auto& e, auto&, auto& v) {
         e.ShortInquiry = 1;
         Bread(c, 1, v);
       },
       0, "\x80" + PluTail(),
       {"SendPLU 123 Keny\xE9r 1 2 3 110000000011 0  100 0 12345678"}},
      {"long PLU with the port's multiplier",
       [](auto& c, auto& e, auto&, auto& v) {
         e.Multiplier = 2000;
         Bread(c, 1, v);
       },
       0, "\x80" + test::Hex("D0 07 00 00") + PluTail(),
       {"SendPLU841 2000 123 Keny\xE9r 1 2 3 110000000011 0  100 0 12345678"}},
      {"long PLU, multiplier 1000 sent as 0",
       [](auto& c, auto& e, auto&, auto& v) {
         e.Multiplier = 1000;
         Bread(c, 1, v);
       },
       0, "\x80" + Zeros(4) + PluTail(),
       {"SendPLU841 1000 123 Keny\xE9r 1 2 3 110000000011 0  100 0 12345678"}},
      {"short PLU with a bad group",
       [](auto& c, auto& e, auto&, auto& v) {
         e.ShortInquiry = 1;
         Bread(c, 100, v);
       },
       4, "",
       {"SendPLU 123 Keny\xE9r 100 2 3 110000000011 0  100 0 12345678", "SendPlu ERROR: 4"}},
      {"long PLU with a bad group",
       [](auto& c, auto&, auto&, auto& v) { Bread(c, 100, v); },
       4, "",
       {"SendPLU841 0 123 Keny\xE9r 100 2 3 110000000011 0  100 0 12345678",
        "SendPlu ERROR: 4"}},
      {"customer",
       [](auto& c, auto&, auto&, auto& v) { c.SendCust(3, u"C-001", u"kovács", v); },
       0, "\x8D" "C-001" + Zeros(25) + test::Hex("4B 4F 56 0F 43 53") + Zeros(10),
       {"SendCust C-001 kov\xE1" "cs"}},
      {"enable with an empty message",
       [](auto& c, auto&, auto&, auto& v) { c.OperationEnabled(3, true, u"", v); },
       0, "\x96" + Zeros(32) + "1", {"OperationEnabled -1 "}},
      {"disable with a message",
       [](auto& c, auto&, auto&, auto& v) { c.OperationEnabled(3, false, u"Tilos", v); },
       0, "\x96" "Tilos" + Zeros(27) + "0", {"OperationEnabled 0 Tilos"}},
      {"clerk record with the code of the login request",
       [](auto& c, auto& e, core::DriverState&, auto& v) {
         e.Answers.Access([](core::AnswerData& d) {
           d.Clerks.count = 4;
           d.Clerks.records = {{"", "", 0x01020304, ""}};
         });
         c.SendClerk(3, u"Éva", u"1", v);
       },
       0, "\x9C" "\x07" "va" + Zeros(10) + test::Hex("00 00 04 03 02 01 00 01"),
       {"SendClerk \xC9va 1"}},
      {"clerk record without any clerk",
       [](auto& c, auto&, auto&, auto& v) { c.SendClerk(3, u"Éva", u"1", v); },
       8, "", {"SendClerk \xC9va 1", "SendClerk ERROR: 8"}},
      {"clear",
       [](auto& c, auto&, auto&, auto& v) { c.SendClear(3, v); },
       0, "\x9B", {"SendClear"}},
  };
  return cases;
}

class SentCommand : public CommandsTest, public ::testing::WithParamInterface<SentCase> {};

TEST_P(SentCommand, WritesItsFrameAndReturnsAtOnce) {
  const SentCase& c = GetParam();
  entry_->Answers.SetResponse("kept");
  std::int32_t value = -1;
  c.call(*cmd_, *entry_, state_, value);
  EXPECT_EQ(value, c.value);
  EXPECT_EQ(clock_.sleeps(), 0);
  if (c.body.empty()) {
    ExpectSilence();
  } else {
    Expect(c.body);
    EXPECT_EQ(entry_->LastFrame(), link::BuildFrame(c.body));
  }
  EXPECT_EQ(entry_->Answers.Response(), "kept");
  EXPECT_EQ(HostLines(), c.lines);
}

INSTANTIATE_TEST_SUITE_P(Bodies, SentCommand, ::testing::ValuesIn(SentCases()),
                         [](const auto& info) {
                           std::string name;
                           for (char ch : std::string(info.param.name)) {
                             if (std::isalnum(static_cast<unsigned char>(ch))) name += ch;
                           }
                           return name;
                         });

// ---------------------------------------------------------------------------
// Status and check

TEST_F(CommandsTest, GetStatusReadsTheDayStatusOrTimesOut) {
  struct Case {
    std::optional<std::string> data;  // nullopt: silent register
    bool day_open;
    std::int32_t value;
    int rounds;
    Lines lines;
  };
  const std::vector<Case> cases = {
      {std::string("\x00\x05", 2), false, 0, 1, {"GetStatus: Done!"}},
      {std::string("\x01", 1), true, 0, 1, {"GetStatus: Done!"}},
      {std::nullopt, true, 2, 21, {"GetStatus:  Timeout!", "GetStatus ERROR: 2"}},
  };
  std::size_t logged = 0;
  for (const Case& c : cases) {
    const int sleeps = clock_.sleeps();
    const platform::Millis start = clock_.NowMs();
    const std::string status_query = link::TableBody(link::kFnStatus, 1);
    clock_.Script({c.data ? Answers(status_query, link::TableBody(link::kFnStatus, 1, *c.data))
                          : Ignores(status_query)});
    bool day_open = !c.day_open;
    std::int32_t value = -1;
    cmd_->GetStatus(kPort, day_open, value);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(day_open, c.day_open);
    EXPECT_EQ(clock_.sleeps() - sleeps, c.rounds);
    EXPECT_EQ(clock_.NowMs() - start, 300 * c.rounds);
    EXPECT_TRUE(entry_->Answers.ResponseEmpty());
    const Lines all = HostLines();
    EXPECT_EQ(Lines(all.begin() + static_cast<long>(logged), all.end()), c.lines);
    logged = all.size();
  }
  ExpectSilence();
}

std::string CheckAnswer() {
  return "\x9D" + test::Hex("05 00 00 00 10 27 00 00 01 00 00 00 03 00 00 00 02 31") +
         "123456789" + test::Hex("2A 00 00 00");
}

TEST_F(CommandsTest, EcrCheckUnpacksTheCheckAnswer) {
  entry_->Answers.SetResponse("stale");
  clock_.Script({Answers("\x9B", CheckAnswer())});
  EcrCheckResult r;
  r.demo_mode = true;
  std::int32_t value = -1;
  cmd_->EcrCheck(kPort, r, value);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(clock_.sleeps(), 1);
  EXPECT_EQ(r.receipt_num, 5);
  EXPECT_EQ(r.receipt_amount, 10000);
  EXPECT_EQ(r.cancel_num, 1);
  EXPECT_EQ(r.clerk_code, u"3");
  EXPECT_EQ(r.key_pos, 2);
  EXPECT_EQ(r.ecr_status, 1);
  EXPECT_EQ(r.ap_num, u"123456789");
  EXPECT_EQ(r.opened_day, 42);
  EXPECT_FALSE(r.demo_mode);
  EXPECT_EQ(entry_->Answers.Response(), CheckAnswer().substr(1));
  EXPECT_EQ(HostLines(), (Lines{"EcrCheck", "EcrCheck: Done!"}));
}

TEST_F(CommandsTest, EcrCheckOnAShortAnswerOrASilentRegister) {
  // A short answer: the fields its bytes give; the AP number stops early.
  clock_.Script({Answers("\x9B", CheckAnswer().substr(0, 22) )});
  EcrCheckResult r;
  std::int32_t value = -1;
  cmd_->EcrCheck(kPort, r, value);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(r.receipt_num, 5);
  EXPECT_EQ(r.ecr_status, 1);
  EXPECT_EQ(r.ap_num, u"123");
  EXPECT_EQ(r.opened_day, 0);

  // Silence: 2 after 21 rounds, the out-parameters as they were.
  clock_.Script({Ignores("\x9B")});
  EcrCheckResult untouched;
  untouched.receipt_num = 99;
  untouched.ap_num = u"keep";
  const int sleeps = clock_.sleeps();
  cmd_->EcrCheck(kPort, untouched, value);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(clock_.sleeps() - sleeps, 21);
  EXPECT_EQ(untouched.receipt_num, 99);
  EXPECT_EQ(untouched.ap_num, u"keep");
  EXPECT_EQ(HostLines(), (Lines{"EcrCheck", "EcrCheck: Done!", "EcrCheck", "EcrCheck:  Timeout!",
                                "EcrCheck ERROR: 2"}));
}

// ---------------------------------------------------------------------------
// Currency upload

// Function-key table data with recognisable bytes and the currency block
// at 480 (nod values of one byte).
std::string FunctionKeys(std::size_t size = 600) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  for (std::size_t k = 0; k < 4 && 480 + 20 * k + 19 < size; ++k) {
    const std::size_t nod = 480 + 20 * k + 16;
    data[nod] = static_cast<char>(k + 1);
    data[nod + 1] = data[nod + 2] = data[nod + 3] = '\0';
  }
  return data;
}

const std::string kReadFunctionKeys = link::TableBody(link::FnReadTable(6), 1);

std::string EuroWrite() {
  std::string data = FunctionKeys();
  data.replace(500, 20, "EUR" + Zeros(9) + test::Hex("21 0C 00 00 02 00 00 00"));
  return link::TableBody(link::FnWriteTable(6), 100, data);
}

TEST_F(CommandsTest, CurrencyUploadRewritesOnlyTheNamedCurrency) {
  clock_.Script({Answers(kReadFunctionKeys, TableAnswer(6, FunctionKeys())), Acks(EuroWrite())});
  std::int32_t value = -1;
  cmd_->CurrencyUpload(kPort, u"2", u"EUR", u"3105", u"2", value);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(clock_.sleeps(), 2);
  EXPECT_EQ(HostLines(), (Lines{"CurrencyUpload 2  EUR  3105  2", "FunctionKeyDownload:  Done!",
                                "FunctionKeyUpload:  Done!"}));
  ExpectSilence();
}

TEST_F(CommandsTest, CurrencyUploadPhaseFailures) {
  struct Case {
    const char* what;
    std::vector<std::function<void()>> script;
    int rounds;
    const char* phase_line;
  };
  const std::vector<Case> cases = {
      {"silent read", {Ignores(kReadFunctionKeys)}, 21, "FunctionKeyDownload:  Timeout!"},
      {"answer too short for the currency block",
       {Answers(kReadFunctionKeys, TableAnswer(6, FunctionKeys(559)))}, 1,
       "FunctionKeyDownload:  Short answer!"},
      {"unacknowledged write",
       {Answers(kReadFunctionKeys, TableAnswer(6, FunctionKeys())), Ignores(EuroWrite())}, 22,
       "FunctionKeyUpload:  Timeout!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    clock_.Script(c.script);
    const int sleeps = clock_.sleeps();
    const std::size_t logged = HostLines().size();
    std::int32_t value = -1;
    cmd_->CurrencyUpload(kPort, u"2", u"EUR", u"3105", u"2", value);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(clock_.sleeps() - sleeps, c.rounds);
    const Lines all = HostLines();
    ASSERT_GE(all.size(), logged + 2);
    EXPECT_EQ(all[all.size() - 2], c.phase_line);
    EXPECT_EQ(all.back(), "CurrencyUpload ERROR: 2");
    ExpectSilence();
  }
}

TEST_F(CommandsTest, CurrencyUploadChecksBeforeSending) {
  entry_->Answers.Access([](core::AnswerData& d) { d.CurrencyTable[0].name = "HUF"; });
  std::int32_t value = -1;
  cmd_->CurrencyUpload(kPort, u"5", u"EUR", u"3105", u"2", value);
  EXPECT_EQ(value, 4);
  // The table is emptied before the checks, as the command's first step.
  EXPECT_TRUE(entry_->Answers.Access([](core::AnswerData& d) { return d.CurrencyTable[0].name; })
                  .empty());
  cmd_->CurrencyUpload(kPort, u"2", u"EUR\u02D9USD", u"3105", u"2\u02D93", value);
  EXPECT_EQ(value, 6);
  EXPECT_EQ(clock_.sleeps(), 0);
  ExpectSilence();
  EXPECT_EQ(HostLines(), (Lines{"CurrencyUpload 5  EUR  3105  2", "CurrencyUpload ERROR: 4",
                                "CurrencyUpload 2  EUR\xFFUSD  3105  2\xFF" "3",
                                "CurrencyUpload ERROR: 6"}));
}

// ---------------------------------------------------------------------------
// Clerk upload

std::string TwoClerks() {
  return "Anna" + Zeros(9) + "\x01\x02" + test::Hex("57 04 00 00") + "\x03\x04" +  // 1111
         "Bela" + Zeros(9) + "\x05\x06" + test::Hex("AE 08 00 00") + "\x07\x08";   // 2222
}

const std::string kReadClerks = link::TableBody(link::FnReadTable(7), 1);

TEST_F(CommandsTest, ClerkUploadMergesIntoTheRegistersTable) {
  std::string written = TwoClerks();
  written.replace(21, 13, "B\x10la" + Zeros(9));
  written.replace(36, 4, test::Hex("87 D6 12 00"));  // 1234567
  clock_.Script({Answers(kReadClerks, link::TableBody(link::FnReadTable(7), 2, TwoClerks())),
                 Acks(link::TableBody(link::FnWriteTable(7), 2, written))});
  std::int32_t value = -1;
  cmd_->ClerkUpload(kPort, u"2", u"Béla", u"1234567", u"x", value);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(clock_.sleeps(), 2);
  EXPECT_EQ(HostLines(), (Lines{"ClerkUpload 2  B\xE9la  1234567  x", "ClerkDownload:  Done!",
                                "ClerkUpload:  Done!"}));

  // The table keeps what was written: SendClerk sends clerk 1's code.
  cmd_->SendClerk(kPort, u"Anna", u"1", value);
  EXPECT_EQ(value, 0);
  Expect("\x9C" "Anna" + Zeros(11) + test::Hex("57 04 00 00 00 01"));
  ExpectSilence();
}

TEST_F(CommandsTest, ClerkUploadWithAnUnknownClerkWritesNothing) {
  clock_.Script({Answers(kReadClerks, link::TableBody(link::FnReadTable(7), 2, TwoClerks()))});
  std::int32_t value = -1;
  cmd_->ClerkUpload(kPort, u"3", u"Cecil", u"1", u"x", value);
  EXPECT_EQ(value, 8);
  EXPECT_EQ(clock_.sleeps(), 1);
  ExpectSilence();
  EXPECT_EQ(HostLines(),
            (Lines{"ClerkUpload 3  Cecil  1  x", "ClerkDownload:  Done!", "ClerkUpload ERROR: 8"}));
}

// ---------------------------------------------------------------------------
// Clerk options

const std::string kReadOptions = link::TableBody(link::FnReadTable(4), 1);

TEST_F(CommandsTest, SetClerkOptionsChangesThreeBytes) {
  const std::string options(35, '\x55');
  std::string written = options;
  written.replace(2, 3, test::Hex("01 03 00"));
  clock_.Script({Answers(kReadOptions, TableAnswer(4, options)),
                 Acks(link::TableBody(link::FnWriteTable(4), 35, written))});
  std::int32_t value = -1;
  cmd_->SetClerkOptions(kPort, true, 3, true, value);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(HostLines(), (Lines{"SetClerkOptions True  3  True", "GetClerkOptions:  Done!",
                                "SetClerkOptions:  Done!"}));
  ExpectSilence();
}

TEST_F(CommandsTest, SetClerkOptionsFailures) {
  struct Case {
    std::uint8_t default_clerk;
    std::vector<std::function<void()>> script;
    std::int32_t value;
    Lines lines;
  };
  const std::vector<Case> cases = {
      {0, {}, 4, {"SetClerkOptions False  0  False", "SetClerkOptions ERROR: 4"}},
      {11, {}, 4, {"SetClerkOptions False  11  False", "SetClerkOptions ERROR: 4"}},
      {10,
       {Ignores(kReadOptions)},
       2,
       {"SetClerkOptions False  10  False", "GetClerkOptions:  Timeout!",
        "SetClerkOptions ERROR: 2"}},
      {10,
       {Answers(kReadOptions, TableAnswer(4, "\x01\x02\x03\x04"))},
       2,
       {"SetClerkOptions False  10  False", "GetClerkOptions:  Short answer!",
        "SetClerkOptions ERROR: 2"}},
  };
  std::size_t logged = 0;
  for (const Case& c : cases) {
    clock_.Script(c.script);
    std::int32_t value = -1;
    cmd_->SetClerkOptions(kPort, false, c.default_clerk, false, value);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(clock_.pending_steps(), 0u);
    const Lines all = HostLines();
    EXPECT_EQ(Lines(all.begin() + static_cast<long>(logged), all.end()), c.lines);
    logged = all.size();
  }
  ExpectSilence();
}

// ---------------------------------------------------------------------------
// A command called from inside a message handler

TEST_F(CommandsTest, NestedCommandsGetNoTableOrStatusAnswers) {
  // The port's slots hold the clerk options from an earlier read.
  entry_->Answers.Access([](core::AnswerData& d) {
    StoreAnswer(d, "\x01" "0" + TableAnswer(4, std::string(35, '\x11')).substr(1));
  });
  std::int32_t options_value = -1;
  std::int32_t status_value = -1;
  bool day_open = false;
  on_message_ = [&](const core::QueuedMessage& m) {
    if (m.bytes[0] != '\x98') return;
    // Timer2 is off while this message is handled: the register's answers
    // are queued but not stored, so neither the table read nor the status
    // query gets its answer, and nothing is written back from the earlier
    // table.
    cmd_->SetClerkOptions(kPort, false, 2, false, options_value);
    cmd_->GetStatus(kPort, day_open, status_value);
  };
  std::vector<std::function<void()>> script{Answers(kReadOptions, TableAnswer(4, std::string(35, '\x22')))};
  script.resize(commands::HostCommands::kAnswerRounds, [] {});
  script.push_back(Answers(link::TableBody(link::kFnStatus, 1),
                           link::TableBody(link::kFnStatus, 1, "\x01")));
  clock_.Script(script);
  state_.queue.Push({"\x98" "0", entry_});
  clock_.Advance(100);
  loop_.ProcessPendingMessages();

  EXPECT_EQ(options_value, 2);
  EXPECT_EQ(status_value, 2);
  EXPECT_TRUE(day_open);
  EXPECT_EQ(clock_.sleeps(), 21 + 21);
  EXPECT_EQ(QueuedCount(), 2u);  // the table-4 and status answers wait for Timer2
  ExpectSilence();
}

}  // namespace
}  // namespace tarvo::test
