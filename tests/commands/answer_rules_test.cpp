// Which answers the commands accept, and the checks a table read must pass
// before anything is written back from it.
#include "commands/answer_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/records.h"
#include "link/frame.h"

namespace tarvo::commands {
namespace {

std::string Zeros(std::size_t n) { return std::string(n, '\0'); }

// A table transfer's payload (after the kind byte) with `function`.
std::string Transfer(const link::FunctionBytes& function, std::uint16_t count,
                     const std::string& data) {
  return link::TableBody(function, count, data).substr(1);
}

TEST(AnswerRules, TableReadAnswersAreKeptByTheirTable) {
  core::AnswerData d;
  StoreTableTransfer(d, Transfer(link::FnReadTable(4), 1, std::string(35, '\x44')));
  StoreTableTransfer(d, Transfer(link::kFnStatus, 1, "\x01"));
  StoreTableTransfer(d, Transfer(link::kFnIdentify, 1, Zeros(7) + "AP0000001"));

  // The response slot follows every transfer; the read answer stays.
  EXPECT_EQ(d.ResponseSlot, Zeros(7) + "AP0000001");
  ASSERT_EQ(d.TableReads.size(), 1u);
  EXPECT_EQ(d.TableReads.at(4).count, 1);
  EXPECT_EQ(d.TableReads.at(4).data, std::string(35, '\x44'));
  EXPECT_FALSE(HoldsStatusAnswer(d));

  // A write's function (02 ..) or a cut header is no read answer.
  StoreTableTransfer(d, Transfer(link::FnWriteTable(6), 1, "x"));
  StoreTableTransfer(d, std::string("\0\0\0\0\0\0\0\x03\0", 9));
  EXPECT_EQ(d.TableReads.size(), 1u);
  EXPECT_EQ(d.ResponseSlot, "");
}

TEST(AnswerRules, StatusAndCheckAnswersAreToldApart) {
  struct Case {
    const char* what;
    std::string transfer;  // empty: a check answer `check`
    std::string check;
    bool status;
    bool check_answer;
  };
  const std::vector<Case> cases = {
      {"status answer", Transfer(link::kFnStatus, 1, std::string(1, '\0')), "", true, false},
      {"status answer without data", Transfer(link::kFnStatus, 1, ""), "", false, false},
      {"table 4 answer", Transfer(link::FnReadTable(4), 1, "\x01"), "", false, false},
      {"connection message", Transfer(link::kFnIdentify, 1, "\x01"), "", false, false},
      {"check answer", "", "\x05\x00", false, true},
      {"empty check answer", "", "", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    core::AnswerData d;
    if (c.transfer.empty()) {
      StoreCheckAnswer(d, c.check);
    } else {
      StoreTableTransfer(d, c.transfer);
    }
    EXPECT_EQ(HoldsStatusAnswer(d), c.status);
    EXPECT_EQ(HoldsCheckAnswer(d), c.check_answer);
    ClearResponse(d);
    EXPECT_FALSE(HoldsStatusAnswer(d) || HoldsCheckAnswer(d));
  }
  // A slot set by hand has no known origin and satisfies neither.
  core::AnswerData d;
  d.ResponseSlot = "\x01";
  EXPECT_FALSE(HoldsStatusAnswer(d) || HoldsCheckAnswer(d));
}

TEST(AnswerRules, ReadAnswerTableNamesOnlyReads) {
  EXPECT_EQ(ReadAnswerTable(std::string("\x03\0\0\0\x07", 5)), 7);
  EXPECT_EQ(ReadAnswerTable(std::string("\x03\0\0\0\0", 5)), 0);
  EXPECT_EQ(ReadAnswerTable(std::string("\x02\0\0\0\x07", 5)), std::nullopt);
  EXPECT_EQ(ReadAnswerTable(std::string("\x03\0\x01\0\x07", 5)), std::nullopt);
  EXPECT_EQ(ReadAnswerTable(std::string("\x03\0\0\0", 4)), std::nullopt);
}

TEST(AnswerRules, CompleteTableReads) {
  struct Case {
    std::uint8_t table;
    std::uint16_t count;
    std::size_t size;
    bool complete;
  };
  const std::vector<Case> cases = {
      {6, 1, 560, true},  {6, 1, 559, false}, {6, 1, 0, false},
      {7, 2, 42, true},   {7, 2, 41, false},  {7, 3, 42, false},
      {7, 0, 0, true},    {7, 1, 30, true},  // extra bytes behind the records are not written
      {4, 1, 35, true},   {4, 1, 34, false},  {4, 1, 5, false},
      {9, 1, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "table " << int(c.table) << " count " << c.count
                                      << " size " << c.size);
    EXPECT_EQ(IsCompleteTableRead(c.table, core::TableRead{c.count, std::string(c.size, 'x')}),
              c.complete);
  }
}

TEST(AnswerRules, DecodingStaysInsideTheData) {
  // Two clerks announced, one and a half present.
  std::string data = "ANNA" + Zeros(9) + "k1" + std::string("\xD2\x04\0\0", 4) + "k2" + "BE";
  const core::ClerkTable t = DecodeClerkTable(3, data);
  EXPECT_EQ(t.count, 3);
  ASSERT_EQ(t.records.size(), 3u);
  EXPECT_EQ(t.records[0].code, 1234);
  EXPECT_EQ(t.records[0].kept2, "k2");
  EXPECT_EQ(t.records[1].name, "BE");
  EXPECT_EQ(t.records[2].name, "");

  std::string table6(500, '\0');
  table6.replace(480, 3, "HUF");
  table6[480 + 12] = 1;
  const auto curr = DecodeCurrencies(table6);
  EXPECT_EQ(curr[0].name, "HUF" + Zeros(9));
  EXPECT_EQ(curr[0].rate, 1);
  EXPECT_EQ(curr[0].nod, 0);
  EXPECT_EQ(curr[1].name, "");
  EXPECT_EQ(DecodeCurrencies("")[3].rate, 0);
}

}  // namespace
}  // namespace tarvo::commands
