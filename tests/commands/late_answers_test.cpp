// Read-modify-write commands against late, stale, foreign and short
// answers: a register table is written back only from the complete answer
// to the read the command itself sent on that port.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "commands/host_commands.h"
#include "tests/commands/commands_harness.h"

namespace tarvo::test {
namespace {

using Lines = std::vector<std::string>;

std::string Zeros(std::size_t n) { return std::string(n, '\0'); }

const std::string kReadOptions = link::TableBody(link::FnReadTable(4), 1);
const std::string kReadClerks = link::TableBody(link::FnReadTable(7), 1);
const std::string kReadFunctionKeys = link::TableBody(link::FnReadTable(6), 1);
const std::string kStatusQuery = link::TableBody(link::kFnStatus, 1);

// Register table 4 and what goes back for SetClerkOptions(true, 3, true).
const std::string kOptions(35, '\x55');
std::string OptionsWrite() {
  std::string written = kOptions;
  written.replace(2, 3, Hex("01 03 00"));
  return link::TableBody(link::FnWriteTable(4), 35, written);
}

// Two clerks (codes 1111 and 2222) and the table after clerk 2 became "B"
// with the code 1.
std::string TwoClerks() {
  return "Anna" + Zeros(9) + "\x01\x02" + Hex("57 04 00 00") + "\x03\x04" +
         "Bela" + Zeros(9) + "\x05\x06" + Hex("AE 08 00 00") + "\x07\x08";
}
std::string ClerksWrite() {
  std::string written = TwoClerks();
  written.replace(21, 13, "B" + Zeros(12));
  written.replace(36, 4, Hex("01 00 00 00"));
  return link::TableBody(link::FnWriteTable(7), 2, written);
}

class LateAnswerTest : public CommandsTest {
 protected:
  // A step in which the register sends `answer` on its own.
  std::function<void()> Sends(const std::string& answer) {
    return [this, answer] { Send(answer); };
  }
  // Puts a message into the port's slots as the dispatcher would.
  void Stored(const std::string& body) {
    entry_->Answers.Access([&](core::AnswerData& d) { StoreAnswer(d, body.substr(0, 1) + "0" + body.substr(1)); });
  }
  std::vector<std::string> NewLines(std::size_t& logged) {
    const Lines all = HostLines();
    Lines fresh(all.begin() + static_cast<long>(logged), all.end());
    logged = all.size();
    return fresh;
  }
};

TEST_F(LateAnswerTest, TableAnswersThatComeRoundsAfterTheAcknowledgementAreWaitedFor) {
  // The register acknowledges each read at once and answers a round later;
  // an unrelated status answer comes first.
  const std::string status = link::TableBody(link::kFnStatus, 1, std::string(40, '\x01'));
  clock_.Script({Acks(kReadOptions), Sends(status), Sends(TableAnswer(4, kOptions)),
                 Acks(OptionsWrite()),
                 Acks(kReadClerks), Sends(link::TableBody(link::FnReadTable(7), 2, TwoClerks())),
                 Acks(ClerksWrite())});
  std::size_t logged = 0;
  std::int32_t value = -1;
  cmd_->SetClerkOptions(kPort, true, 3, true, value);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(clock_.sleeps(), 4);
  EXPECT_EQ(NewLines(logged), (Lines{"SetClerkOptions True  3  True", "GetClerkOptions:  Done!",
                                     "SetClerkOptions:  Done!"}));

  cmd_->ClerkUpload(kPort, u"2", u"B", u"1", u"x", value);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(clock_.sleeps(), 4 + 3);
  EXPECT_EQ(NewLines(logged), (Lines{"ClerkUpload 2  B  1  x", "ClerkDownload:  Done!",
                                     "ClerkUpload:  Done!"}));
  ExpectSilence();
}

TEST_F(LateAnswerTest, WhatTheSlotsHeldBeforeIsNeverWrittenBack) {
  // The register acknowledges the read but its answer never comes; the slots
  // still hold answers from before the command.
  std::string check = "\x9D" + std::string(40, '\x11');
  struct Case {
    const char* what;
    std::string stored;
    std::string read;
    std::function<void(std::int32_t&)> call;
    Lines lines;
  };
  const std::vector<Case> cases = {
      {"a check answer, SetClerkOptions", check, kReadOptions,
       [&](std::int32_t& v) { cmd_->SetClerkOptions(kPort, true, 3, true, v); },
       {"SetClerkOptions True  3  True", "GetClerkOptions:  Timeout!", "SetClerkOptions ERROR: 2"}},
      {"an earlier table 4 answer", TableAnswer(4, kOptions), kReadOptions,
       [&](std::int32_t& v) { cmd_->SetClerkOptions(kPort, true, 3, true, v); },
       {"SetClerkOptions True  3  True", "GetClerkOptions:  Timeout!", "SetClerkOptions ERROR: 2"}},
      {"an earlier clerk table", link::TableBody(link::FnReadTable(7), 2, TwoClerks()), kReadClerks,
       [&](std::int32_t& v) { cmd_->ClerkUpload(kPort, u"2", u"B", u"1", u"x", v); },
       {"ClerkUpload 2  B  1  x", "ClerkDownload:  Timeout!", "ClerkUpload ERROR: 2"}},
      {"an earlier function-key table", TableAnswer(6, std::string(600, '\x66')), kReadFunctionKeys,
       [&](std::int32_t& v) { cmd_->CurrencyUpload(kPort, u"2", u"EUR", u"3105", u"2", v); },
       {"CurrencyUpload 2  EUR  3105  2", "FunctionKeyDownload:  Timeout!",
        "CurrencyUpload ERROR: 2"}},
  };
  std::size_t logged = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Stored(c.stored);
    clock_.Script({Acks(c.read)});
    const int sleeps = clock_.sleeps();
    std::int32_t value = -1;
    c.call(value);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(clock_.sleeps() - sleeps, commands::HostCommands::kAnswerRounds);
    EXPECT_EQ(NewLines(logged), c.lines);
    ExpectSilence();
  }
}

TEST_F(LateAnswerTest, IncompleteTableAnswersAreNotWrittenBack) {
  struct Case {
    const char* what;
    std::string read;
    std::string answer;
    std::function<void(std::int32_t&)> call;
    Lines lines;
  };
  const std::vector<Case> cases = {
      {"three clerks announced, two sent", kReadClerks,
       link::TableBody(link::FnReadTable(7), 3, TwoClerks()),
       [&](std::int32_t& v) { cmd_->ClerkUpload(kPort, u"2", u"B", u"1", u"x", v); },
       {"ClerkUpload 2  B  1  x", "ClerkDownload:  Short answer!", "ClerkUpload ERROR: 2"}},
      {"clerk options of 34 bytes", kReadOptions, TableAnswer(4, std::string(34, '\x55')),
       [&](std::int32_t& v) { cmd_->SetClerkOptions(kPort, true, 3, true, v); },
       {"SetClerkOptions True  3  True", "GetClerkOptions:  Short answer!",
        "SetClerkOptions ERROR: 2"}},
  };
  std::size_t logged = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    clock_.Script({Answers(c.read, c.answer)});
    std::int32_t value = -1;
    c.call(value);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(NewLines(logged), c.lines);
    ExpectSilence();
  }
}

TEST_F(LateAnswerTest, StatusAndCheckTakeOnlyTheirOwnKindOfAnswer) {
  // A late table 4 answer (first data byte 0x00) arrives before the status
  // answer (day open), a status answer before the check answer.
  std::string check = "\x9D" + Hex("05 00 00 00 10 27 00 00 01 00 00 00 03 00 00 00 02 31") +
                      "123456789" + Hex("2A 00 00 00");
  clock_.Script({[this] {
                   Expect(kStatusQuery);
                   Ack();
                   Send(TableAnswer(4, Zeros(35)));
                 },
                 Sends(link::TableBody(link::kFnStatus, 1, "\x01")),
                 [this] {
                   Expect("\x9B");
                   Ack();
                   Send(link::TableBody(link::kFnStatus, 1, "\x01"));
                 },
                 Sends(check)});
  bool day_open = false;
  std::int32_t value = -1;
  cmd_->GetStatus(kPort, day_open, value);
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(day_open);
  commands::EcrCheckResult r;
  cmd_->EcrCheck(kPort, r, value);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(r.receipt_num, 5);
  EXPECT_EQ(r.ap_num, u"123456789");
  EXPECT_EQ(clock_.sleeps(), 4);
}

}  // namespace
}  // namespace tarvo::test
