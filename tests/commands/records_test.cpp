// Message bodies and table merges, byte for byte.
#include "commands/records.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/commands/hex.h"

namespace tarvo::commands {
namespace {

using test::Hex;
using test::ToHex;

std::string Zeros(std::size_t n) { return std::string(n, '\0'); }

// ---------------------------------------------------------------------------
// PLU record

PluFields BreadPlu() {
  PluFields f;
  f.plu_code = u"123";
  f.desc = u"Kenyér";
  f.group1 = 1;
  f.group2 = 2;
  f.group3 = 3;
  f.status = u"110000000011";
  f.vtsz = u"0";
  f.link = u"";
  f.price1 = 100;
  f.price2 = 0;
  f.price3 = 12345678;
  return f;
}

// The record of BreadPlu() from the PLU code on.
std::string BreadPluTail() {
  return Hex("00 00 00 00 7B 00 00 00") +              // PLU code 123
         Hex("4B 65 6E 79 10 72") + Zeros(18) +        // "Kenyér", é as 10
         Zeros(1) +                                    // terminator
         Hex("01 02 03") +                             // groups
         Hex("30 00 01 01") +                          // status 110000000011
         Zeros(11) + Zeros(1) +                        // vtsz 0, terminator
         Zeros(8) +                                    // no link
         Hex("64 00 00 00 00 00 00 00 4E 61 BC 00");   // prices
}

TEST(PluRecord, ShortAndLongLayouts) {
  const std::string shrt = BuildPluRecord(BreadPlu(), std::nullopt);
  EXPECT_EQ(shrt.size(), kShortPluSize);
  EXPECT_EQ(ToHex(shrt), ToHex(Hex("80") + BreadPluTail()));

  struct Case {
    std::int32_t multiplier;
    const char* prefix;
  };
  for (const Case& c : std::vector<Case>{{1000, "00 00 00 00"},
                                          {2000, "D0 07 00 00"},
                                          {0, "00 00 00 00"},
                                          {1, "01 00 00 00"}}) {
    const std::string lng = BuildPluRecord(BreadPlu(), c.multiplier);
    EXPECT_EQ(lng.size(), kLongPluSize);
    EXPECT_EQ(ToHex(lng), ToHex(Hex("80") + Hex(c.prefix) + BreadPluTail())) << c.multiplier;
  }
}

TEST(PluRecord, StatusBytes) {
  struct Case {
    const char* status;
    std::optional<const char*> bytes;  // nullopt: rejected with 4
  };
  const std::vector<Case> cases = {
      {"11", "00 00 01 01"},
      {"110000000011", "30 00 01 01"},
      {"111111111159", "F0 7E 05 09"},
      {"000100000011", "80 00 01 01"},
      {"000010000011", "00 02 01 01"},
      {"000000000111", "00 40 01 01"},
      {"1100000000119999", "30 00 01 01"},  // after the twelfth: ignored
      {"000000000001", std::nullopt},       // character 11 is 0
      {"000000000060", std::nullopt},       // character 11 above 5, 12 is 0
      {"000000000010", std::nullopt},       // character 12 is 0
      {"200000000011", std::nullopt},       // a flag that is neither 0 nor 1
      {"1", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    if (c.bytes) {
      EXPECT_EQ(ToHex(PluStatusBytes(c.status)), *c.bytes) << c.status;
    } else {
      EXPECT_THROW(PluStatusBytes(c.status), ERosszJegy) << c.status;
    }
  }
}

TEST(PluRecord, EveryBuildCheckRaisesCodeFour) {
  struct Case {
    const char* what;
    void (*change)(PluFields&);
  };
  const std::vector<Case> cases = {
      {"empty code", [](PluFields& f) { f.plu_code = u""; }},
      {"15-digit code", [](PluFields& f) { f.plu_code = u"123456789012345"; }},
      {"code not a number", [](PluFields& f) { f.plu_code = u"12a"; }},
      {"group1 100", [](PluFields& f) { f.group1 = 100; }},
      {"group2 100", [](PluFields& f) { f.group2 = 100; }},
      {"group3 255", [](PluFields& f) { f.group3 = 255; }},
      {"status of one character", [](PluFields& f) { f.status = u"1"; }},
      {"status character 11 zero", [](PluFields& f) { f.status = u"000000000001"; }},
      {"15-character link", [](PluFields& f) { f.link = u"123456789012345"; }},
      {"link not a number", [](PluFields& f) { f.link = u"x"; }},
      {"negative price1", [](PluFields& f) { f.price1 = -1; }},
      {"negative price2", [](PluFields& f) { f.price2 = -1; }},
      {"negative price3", [](PluFields& f) { f.price3 = INT32_MIN; }},
  };
  for (const Case& c : cases) {
    PluFields f = BreadPlu();
    c.change(f);
    try {
      BuildPluRecord(f, std::nullopt);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const ERosszJegy& e) {
      EXPECT_STREQ(e.what(), "4") << c.what;
    }
  }
}

TEST(PluRecord, FieldEdges) {
  // Boundaries that pass: 14-digit code, group 99, prices 0 and the maximum.
  PluFields f = BreadPlu();
  f.plu_code = u"12345678901234";
  f.group1 = 99;
  f.price1 = 0;
  f.price3 = INT32_MAX;
  const std::string rec = BuildPluRecord(f, std::nullopt);
  EXPECT_EQ(ToHex(rec.substr(1, 8)), "40 E2 01 00 F2 EF B3 04");
  EXPECT_EQ(static_cast<std::uint8_t>(rec[34]), 99);
  EXPECT_EQ(ToHex(rec.substr(61)), "00 00 00 00 00 00 00 00 FF FF FF 7F");

  // Description: cut to 24, accent-mapped; vtsz: cut to 11, not mapped,
  // zero means none; link: encoded like the code.
  struct VtszCase {
    std::u16string vtsz;
    std::string field;  // 11 bytes
  };
  const std::vector<VtszCase> vtsz_cases = {
      {u"0", Zeros(11)},
      {u"", Zeros(11)},
      {u"000", Zeros(11)},
      {u"ABC", "ABC" + Zeros(8)},
      {u"123456789012", "12345678901"},
      {u"ő1", "\xF5" "1" + Zeros(9)},
  };
  for (const VtszCase& c : vtsz_cases) {
    f = BreadPlu();
    f.vtsz = c.vtsz;
    const std::string r = BuildPluRecord(f, std::nullopt);
    ASSERT_EQ(r.size(), kShortPluSize);
    EXPECT_EQ(ToHex(r.substr(41, 12)), ToHex(c.field + Zeros(1)));
  }

  f = BreadPlu();
  f.desc = u"abcdefghijklmnopqrstuvwxyz0123";  // 30 characters
  f.link = u"123";
  const std::string r = BuildPluRecord(f, 7);
  ASSERT_EQ(r.size(), kLongPluSize);
  EXPECT_EQ(r.substr(13, 25), "abcdefghijklmnopqrstuvwx" + Zeros(1));
  EXPECT_EQ(ToHex(r.substr(57, 8)), "00 00 00 00 7B 00 00 00");
}

// ---------------------------------------------------------------------------
// Customer, clerk and operation messages

TEST(Messages, CustomerRecord) {
  const std::string rec = BuildCustomerRecord(u"C-001", u"kovács");
  EXPECT_EQ(ToHex(rec), ToHex(Hex("8D 43 2D 30 30 31") + Zeros(25) +
                              Hex("4B 4F 56 0F 43 53") + Zeros(10)));
  // Cut to 30 and 16; ASCII upper-cased after the accent map, so accented
  // letters keep their own (lower-case) codes.
  const std::string longer =
      BuildCustomerRecord(u"0123456789012345678901234567890123", u"ő árvíztűrő tükörfúrógép");
  ASSERT_EQ(longer.size(), kCustomerRecordSize);
  EXPECT_EQ(longer.substr(1, 30), "012345678901234567890123456789");
  EXPECT_EQ(ToHex(longer.substr(31)),
            "14 20 0F 52 56 11 5A 54 17 52 14 20 54 16 4B 13");
}

TEST(Messages, ClerkRecord) {
  EXPECT_EQ(ToHex(BuildClerkRecord(u"Éva", 0x01020304)),
            ToHex(Hex("9C 07 76 61") + Zeros(10) + Hex("00 00 04 03 02 01 00 01")));
  const std::string rec = BuildClerkRecord(u"Szabó Zsuzsanna", -1);
  ASSERT_EQ(rec.size(), kClerkRecordSize);
  EXPECT_EQ(ToHex(rec.substr(1, 13)), ToHex("Szab\x12 Zsuzsan"));
  EXPECT_EQ(ToHex(rec.substr(14)), "00 00 FF FF FF FF 00 01");
}

TEST(Messages, OperationMessageAndCheckRequest) {
  EXPECT_EQ(ToHex(BuildOperationMessage(true, u"")), ToHex(Hex("96") + Zeros(32) + "1"));
  EXPECT_EQ(ToHex(BuildOperationMessage(false, u"Tilos")),
            ToHex(Hex("96") + "Tilos" + Zeros(27) + "0"));
  const std::u16string forty = u"0123456789012345678901234567890123456789";
  EXPECT_EQ(BuildOperationMessage(true, forty), "\x96" "01234567890123456789012345678901" "1");
  EXPECT_EQ(ToHex(BuildOperationMessage(true, u"Kész")),
            ToHex(Hex("96 4B 10 73 7A") + Zeros(28) + "1"));
  EXPECT_EQ(ToHex(BuildCheckRequest()), "9B");
}

// ---------------------------------------------------------------------------
// Currencies

// Function-key table data as a register sends it: recognisable bytes
// everywhere, the currency block at 480 with nod values of one byte.
std::string FunctionKeyData(std::size_t size = 600) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  for (std::size_t k = 0; k < 4; ++k) {
    const std::size_t nod = kCurrencyBlockOffset + 20 * k + 16;
    data[nod] = static_cast<char>(k);
    data[nod + 1] = data[nod + 2] = data[nod + 3] = '\0';
  }
  return data;
}

// The currency records as the dispatcher reads them from the table data.
std::array<core::Curr, 4> CurrenciesOf(const std::string& data) {
  std::array<core::Curr, 4> t;
  for (std::size_t k = 0; k < 4; ++k) {
    const std::size_t b = kCurrencyBlockOffset + 20 * k;
    t[k].name = data.substr(b, 12);
    t[k].rate = DecodeLE(data.substr(b + 12, 4));
    t[k].nod = static_cast<std::uint8_t>(data[b + 16]);
  }
  return t;
}

CurrencyLists Currencies(std::string_view id, std::string_view desc, std::string_view rate,
                         std::string_view nod) {
  return SplitCurrencyLists(id, desc, rate, nod);
}

TEST(CurrencyTable, EuroChangesOnlyItsRecord) {
  const std::string original = FunctionKeyData();
  std::string data = original;
  auto table = CurrenciesOf(data);
  const CurrencyLists lists = Currencies("2", "EUR", "3105", "2");
  ASSERT_EQ(CheckCurrencyLists(lists), 0);
  MergeCurrencies(table, lists);
  ASSERT_TRUE(PutCurrencyBlock(data, table));

  std::string expected = original;
  expected.replace(500, 20, Hex("45 55 52") + Zeros(9) + Hex("21 0C 00 00 02 00 00 00"));
  EXPECT_EQ(ToHex(data), ToHex(expected));
}

TEST(CurrencyTable, MergeOrderPaddingAndShortData) {
  std::array<core::Curr, 4> table;
  // A caption of two characters is padded with 0x00; a later value for the
  // same currency wins; accented captions are mapped.
  MergeCurrencies(table, Currencies("1\xFF" "4\xFF" "1\xFF" "3",
                                    "XYZ\xFF\xE1\xE9x\xFF" "HUF\xFF" "Ft",
                                    "1\xFF" "999999\xFF" "000100\xFF" "5",
                                    "0\xFF" "7\xFF" "2\xFF" "3"));
  EXPECT_EQ(table[0].name, "HUF" + Zeros(9));
  EXPECT_EQ(table[0].rate, 100);
  EXPECT_EQ(table[0].nod, 2);
  EXPECT_EQ(ToHex(table[3].name), ToHex(Hex("0F 10 78") + Zeros(9)));
  EXPECT_EQ(table[3].rate, 999999);
  EXPECT_EQ(table[3].nod, 7);
  EXPECT_EQ(ToHex(table[2].name), ToHex("Ft" + Zeros(10)));
  EXPECT_EQ(table[2].rate, 5);
  EXPECT_EQ(table[2].nod, 3);
  EXPECT_TRUE(table[1].name.empty());
  EXPECT_EQ(ToHex(CurrencyBlock(table).substr(20, 20)), ToHex(Zeros(20)));

  std::string exact = FunctionKeyData(560);
  EXPECT_TRUE(PutCurrencyBlock(exact, table));
  std::string shrt = FunctionKeyData(559);
  const std::string before = shrt;
  EXPECT_FALSE(PutCurrencyBlock(shrt, table));
  EXPECT_EQ(shrt, before);
}

TEST(CurrencyTable, CheckOrder) {
  struct Case {
    const char* what;
    const char* id;
    const char* desc;
    const char* rate;
    const char* nod;
    std::int32_t code;
  };
  const std::vector<Case> cases = {
      {"valid", "2", "EUR", "3105", "2", 0},
      {"two-character caption", "2", "EU", "3105", "2", 0},
      {"caption of four characters", "2", "EURO", "3105", "2", 7},
      {"no caption", "2", "", "3105", "2", 6},
      {"no caption beats a bad rate", "2", "", "1234567", "2", 6},
      {"rate of seven digits", "2", "EUR", "1234567", "2", 7},
      {"two captions, one rate", "1\xFF" "2", "EUR\xFFUSD", "3105", "2\xFF" "3", 6},
      {"rate count before nod count", "1", "EUR\xFFUSD", "3105", "2", 6},
      {"two nods for one currency", "2", "EUR", "3105", "23", 7},
      {"no nod", "2", "EUR", "3105", "", 7},
      {"two ids for one currency", "12", "EUR", "3105", "2", 7},
      {"counts before bytes", "5", "EUR", "1234567", "2", 7},
      {"currency 5", "5", "EUR", "3105", "2", 4},
      {"currency 0", "0", "EUR", "3105", "2", 4},
      {"nod 8", "2", "EUR", "3105", "8", 4},
      {"rate not a number", "2", "EUR", "31a5", "2", 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckCurrencyLists(Currencies(c.id, c.desc, c.rate, c.nod)), c.code) << c.what;
  }
}

// ---------------------------------------------------------------------------
// Clerks

core::ClerkTable TwoClerks() {
  core::ClerkTable t;
  t.count = 2;
  t.records = {{"Anna" + Zeros(9), "\x01\x02", 1111, "\x03\x04"},
               {"Bela" + Zeros(9), "\x05\x06", 2222, "\x07\x08"}};
  return t;
}

TEST(ClerkTable, CheckOrder) {
  struct Case {
    const char* what;
    const char* id;
    const char* desc;
    const char* secret;
    std::int32_t code;
  };
  const std::vector<Case> cases = {
      {"valid", "1", "Anna", "1234", 0},
      {"clerk 00 passes the checks", "00", "Anna", "1234", 0},
      {"name of 13 characters", "1", "ABCDEFGHIJKLM", "1234", 7},
      {"no name", "1", "", "1234", 6},
      {"no name beats a long code", "1", "", "12345678", 6},
      {"code of eight digits", "1", "Anna", "12345678", 7},
      {"two names, one code", "1\xFF" "2", "Anna\xFF" "Bela", "1234", 6},
      {"three ids, two names", "1\xFF" "2\xFF" "3", "Anna\xFF" "Bela", "1\xFF" "2", 6},
      {"id of three digits", "123", "Anna", "1234", 7},
      {"counts before bytes", "a", "Anna", "12345678", 7},
      {"id not a number", "a", "Anna", "1234", 4},
      {"code not a number", "1", "Anna", "12a4", 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckClerkLists(SplitClerkLists(c.id, c.desc, c.secret)), c.code) << c.what;
  }
}

TEST(ClerkTable, MergeAndRecords) {
  core::ClerkTable t = TwoClerks();
  EXPECT_EQ(MergeClerks(t, SplitClerkLists("2", "B\xE9la", "1234567")), 0);
  EXPECT_EQ(ToHex(t.records[1].name), ToHex(Hex("42 10 6C 61") + Zeros(9)));
  EXPECT_EQ(t.records[1].code, 1234567);
  EXPECT_EQ(t.records[1].kept1, "\x05\x06");
  EXPECT_EQ(t.records[0].code, 1111);

  EXPECT_EQ(ToHex(ClerkTableData(t)),
            ToHex("Anna" + Zeros(9) + Hex("01 02 57 04 00 00 03 04") +  // 1111
                  Hex("42 10 6C 61") + Zeros(9) + Hex("05 06 87 D6 12 00 07 08")));

  // Unknown numbers give 8; the known ones are merged all the same.
  struct Case {
    const char* ids;
    const char* names;
    const char* secrets;
    std::int32_t code;
  };
  for (const Case& c : std::vector<Case>{{"3", "Zoe", "5", 8},
                                          {"00", "Zoe", "5", 8},
                                          {"1\xFF" "3", "Zoe\xFFZed", "5\xFF" "6", 8},
                                          {"02", "Zoe", "5", 0}}) {
    core::ClerkTable u = TwoClerks();
    EXPECT_EQ(MergeClerks(u, SplitClerkLists(c.ids, c.names, c.secrets)), c.code) << c.ids;
  }
  core::ClerkTable u = TwoClerks();
  MergeClerks(u, SplitClerkLists("1\xFF" "3", "Zoe\xFFZed", "5\xFF" "6"));
  EXPECT_EQ(u.records[0].code, 5);

  // A record array shorter than the count (cut by a login request) and short
  // fields from a short answer.
  core::ClerkTable cut;
  cut.count = 3;
  cut.records = {{"X", "", 9, ""}};
  EXPECT_EQ(MergeClerks(cut, SplitClerkLists("2", "Y", "1")), 8);
  EXPECT_EQ(ToHex(ClerkTableData(cut)),
            ToHex("X" + Zeros(12) + Hex("00 00 09 00 00 00 00 00")));
}

// ---------------------------------------------------------------------------
// Clerk options

TEST(ClerkOptions, SetsBytesTwoToFour) {
  struct Case {
    bool entry_code;
    std::uint8_t default_clerk;
    bool stay_down;
    const char* bytes;
  };
  for (const Case& c : std::vector<Case>{{true, 3, true, "01 03 00"}, {false, 10, false, "00 0A 01"}}) {
    std::string data(35, '\x55');
    ASSERT_TRUE(ApplyClerkOptions(data, c.entry_code, c.default_clerk, c.stay_down));
    EXPECT_EQ(ToHex(data), ToHex("\x55\x55" + Hex(c.bytes) + std::string(30, '\x55')));
  }
  std::string shrt(4, '\x55');
  EXPECT_FALSE(ApplyClerkOptions(shrt, true, 3, true));
  EXPECT_EQ(shrt, std::string(4, '\x55'));
  std::string five(5, '\x55');
  EXPECT_TRUE(ApplyClerkOptions(five, true, 3, true));
  EXPECT_EQ(ToHex(five), "55 55 01 03 00");
}

// ---------------------------------------------------------------------------
// Check answer

std::string CheckAnswerBytes() {
  return Hex("05 00 00 00 10 27 00 00 01 00 00 00 03 00 00 00 02 31") + "123456789" +
         Hex("2A 00 00 00");
}

TEST(CheckAnswer, DecodesTheFixedPositions) {
  const CheckAnswer a = DecodeCheckAnswer(CheckAnswerBytes());
  EXPECT_EQ(a.receipt_num, 5);
  EXPECT_EQ(a.receipt_amount, 10000);
  EXPECT_EQ(a.cancel_num, 1);
  EXPECT_EQ(a.clerk_code, 3);
  EXPECT_EQ(a.key_pos, 2);
  EXPECT_EQ(a.ecr_status, 1);
  EXPECT_EQ(a.ap_num, "123456789");
  EXPECT_EQ(a.opened_day, 42);

  std::string wrap = CheckAnswerBytes();
  wrap[17] = '\x2F';
  EXPECT_EQ(DecodeCheckAnswer(wrap).ecr_status, 255);
}

TEST(CheckAnswer, ShortAnswersGiveWhatTheirBytesAllow) {
  struct Case {
    std::size_t length;
    std::int32_t receipt_amount;
    std::uint8_t ecr_status;
    const char* ap_num;
    std::int32_t opened_day;
  };
  const std::vector<Case> cases = {
      {0, 0, 208, "", 0},            // no status byte reads as 0, minus 0x30
      {6, 0x2710, 208, "", 0},        // two bytes of the amount
      {18, 10000, 1, "", 0},
      {20, 10000, 1, "12", 0},
      {28, 10000, 1, "123456789", 42},  // one byte of the day
      {31, 10000, 1, "123456789", 42},
  };
  for (const Case& c : cases) {
    const CheckAnswer a = DecodeCheckAnswer(CheckAnswerBytes().substr(0, c.length));
    EXPECT_EQ(a.receipt_amount, c.receipt_amount) << c.length;
    EXPECT_EQ(a.ecr_status, c.ecr_status) << c.length;
    EXPECT_EQ(a.ap_num, c.ap_num) << c.length;
    EXPECT_EQ(a.opened_day, c.opened_day) << c.length;
  }
}

}  // namespace
}  // namespace tarvo::commands
