// The host code page and the field encodings of message bodies.
#include "commands/encodings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepage.h"
#include "tests/commands/hex.h"

namespace tarvo::commands {
namespace {

using test::Hex;
using test::ToHex;

// Sets TARVO_CODEPAGE for the lifetime of the object.
class ScopedCodePage {
 public:
  explicit ScopedCodePage(const char* name) {
    if (const char* old = std::getenv("TARVO_CODEPAGE")) previous_ = old;
    setenv("TARVO_CODEPAGE", name, 1);
  }
  ~ScopedCodePage() {
    if (previous_) {
      setenv("TARVO_CODEPAGE", previous_->c_str(), 1);
    } else {
      unsetenv("TARVO_CODEPAGE");
    }
  }

 private:
  std::optional<std::string> previous_;
};

// ---------------------------------------------------------------------------
// Host code page

TEST(CodePage, NarrowsOneBytePerCharacterWithQuestionMarkForTheUnrepresentable) {
  EXPECT_EQ(platform::HostCodePage(), "CP1250");
  struct Case {
    std::u16string text;
    const char* bytes;
  };
  const std::vector<Case> cases = {
      {u"árvíztűrő", "E1 72 76 ED 7A 74 FB 72 F5"},
      {u"A\u02D9B", "41 FF 42"},      // the field separator of code page 1250
      {u"x\u4E2Dy", "78 3F 79"},      // not in the code page
      {u"\U0001F600", "3F 3F"},       // a surrogate pair is two characters
      {u"\xD800z", "3F 7A"},          // a lone surrogate
      {u"\u20AC", "80"},              // the euro sign
      {u"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToHex(platform::ToAnsi(c.text)), c.bytes) << platform::Utf16ToUtf8(c.text);
  }
}

TEST(CodePage, WidensEveryByteToOneCharacterAndRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::u16string wide = platform::FromAnsi(all);
  ASSERT_EQ(wide.size(), 256u);
  EXPECT_EQ(wide[0xE1], u'á');
  EXPECT_EQ(wide[0xFB], u'ű');
  EXPECT_EQ(wide[0x81], u'\u0081');  // undefined in code page 1250: kept by value
  EXPECT_EQ(platform::ToAnsi(wide), all);
}

TEST(CodePage, EnvironmentChoosesTheCodePage) {
  {
    ScopedCodePage cp("CP1252");
    EXPECT_EQ(platform::HostCodePage(), "CP1252");
    EXPECT_EQ(ToHex(platform::ToAnsi(u"\u00FF\u0151")), "FF 3F");  // ÿ yes, ő no
    EXPECT_EQ(platform::FromAnsi("\xFF"), u"\u00FF");
  }
  {
    ScopedCodePage cp("NO-SUCH-PAGE");
    EXPECT_EQ(platform::HostCodePage(), "CP1250");
  }
}

TEST(CodePage, ConvertsFromManyThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures, t] {
      for (int i = 0; i < 200; ++i) {
        if (platform::ToAnsi(u"őű€") != "\xF5\xFB\x80") ++failures[t];
        if (platform::FromAnsi("\xF5\xFB") != u"őű") ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(CodePage, Utf8Helpers) {
  EXPECT_EQ(platform::Utf8ToUtf16("árvíz \xF0\x9F\x98\x80"), u"árvíz \U0001F600");
  EXPECT_EQ(platform::Utf16ToUtf8(u"árvíz \U0001F600"), "árvíz \xF0\x9F\x98\x80");
  // Invalid input: a stray continuation byte, a cut sequence, an overlong form.
  EXPECT_EQ(platform::Utf8ToUtf16("a\x80" "b"), u"a\uFFFDb");
  EXPECT_EQ(platform::Utf8ToUtf16("a\xC3"), u"a\uFFFD");
  EXPECT_EQ(platform::Utf8ToUtf16("\xC0\xAF"), u"\uFFFD");
  EXPECT_EQ(platform::Utf16ToUtf8(u"\xDC00"), "\xEF\xBF\xBD");
}

// ---------------------------------------------------------------------------
// Register text

TEST(RegisterText, MapsTheEighteenAccentedLettersAndNothingElse) {
  EXPECT_EQ(ToHex(ToRegisterText(u"árvíztűrő")), "0F 72 76 11 7A 74 17 72 14");
  EXPECT_EQ(ToHex(ToRegisterText(u"ÁÉÍÓÖŐÚÜŰáéíóöőúüű")),
            "06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17");
  // Every other byte passes unchanged, including other letters with accents.
  std::string others;
  for (int b = 0; b < 256; ++b) {
    bool accented = false;
    for (const AccentEntry& e : AccentTable) accented |= (e.host == b);
    if (!accented) others.push_back(static_cast<char>(b));
  }
  EXPECT_EQ(others.size(), 256u - 18u);
  EXPECT_EQ(MapAccents(others), others);
}

// ---------------------------------------------------------------------------
// Little-endian integers

TEST(LittleEndian, EncodesTheLowBytesOfTheTwosComplement) {
  struct Case {
    std::int32_t value;
    std::size_t width;
    const char* bytes;
  };
  for (const Case& c : std::vector<Case>{{-1, 4, "FF FF FF FF"},
                                          {2, 2, "02 00"},
                                          {3105, 4, "21 0C 00 00"},
                                          {65535, 2, "FF FF"},
                                          {INT32_MIN, 4, "00 00 00 80"}}) {
    EXPECT_EQ(ToHex(EncodeLE(c.value, c.width)), c.bytes) << c.value;
  }
}

TEST(LittleEndian, DecodesUpToFourBytes) {
  struct Case {
    const char* bytes;
    std::int32_t value;
  };
  for (const Case& c : std::vector<Case>{{"", 0},
                                          {"7B", 123},
                                          {"10 27", 10000},
                                          {"FF FF", 65535},
                                          {"FF FF FF", 0xFFFFFF},
                                          {"FF FF FF FF", -1},
                                          {"2A 00 00 00 99", 42}}) {
    EXPECT_EQ(DecodeLE(Hex(c.bytes)), c.value) << c.bytes;
  }
}

// ---------------------------------------------------------------------------
// 14-digit codes

TEST(Code14, EncodesHighAndLowParts) {
  struct Case {
    const char* text;
    std::optional<const char*> bytes;
  };
  const std::vector<Case> cases = {
      {"123", "00 00 00 00 7B 00 00 00"},
      {"12345678901234", "40 E2 01 00 F2 EF B3 04"},
      {"", "00 00 00 00 00 00 00 00"},
      {"99999999999999", "3F 42 0F 00 FF E0 F5 05"},
      {"123456789012345", std::nullopt},  // 15 characters
      {"1234567890123a", std::nullopt},   // low part not a number
      {"a2345678901234", std::nullopt},   // high part not a number
      {"-1", std::nullopt},
      {"12 4", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto code = EncodeCode14(c.text);
    if (c.bytes) {
      ASSERT_TRUE(code.has_value()) << c.text;
      EXPECT_EQ(ToHex(*code), *c.bytes) << c.text;
    } else {
      EXPECT_FALSE(code.has_value()) << c.text;
    }
  }
}

TEST(Code14, DecodesAndToleratesShortInput) {
  struct Case {
    const char* bytes;
    const char* text;
  };
  for (const Case& c : std::vector<Case>{{"00 00 00 00 7B 00 00 00", "123"},
                                          {"01 00 00 00 7B 00 00 00", "100000123"},
                                          {"40 E2 01 00 F2 EF B3 04", "12345678901234"},
                                          {"00 00 00 00 00 00 00 00", "0"},
                                          {"01 00 00 00 7B", "100000123"},
                                          {"01", "100000000"},
                                          {"", "0"}}) {
    EXPECT_EQ(DecodeCode14(Hex(c.bytes)), c.text) << c.bytes;
  }
}

// ---------------------------------------------------------------------------
// Field lists

TEST(SplitFields, PadsEachValueAndKeepsLongValuesWhole) {
  struct Case {
    const char* list;
    std::size_t width;
    char pad;
    bool map_accents;
    bool pad_left;
    const char* fields;
  };
  const std::vector<Case> cases = {
      {"31 FF 32", 2, '0', false, true, "30 31 30 32"},
      {"61 FF 62 FF", 3, '\0', false, false, "61 00 00 62 00 00"},  // trailing separator
      {"61 62 63 64", 3, '\0', false, false, "61 62 63 64"},        // too long: kept whole
      {"61 FF FF 62", 3, '\0', false, false, "61 00 00 00 00 00 62 00 00"},
      {"FF 61", 2, '0', false, true, "30 30 30 61"},
      {"E1 FF 45", 2, '\0', true, false, "0F 00 45 00"},
      {"E1 FF 45", 2, '\0', false, false, "E1 00 45 00"},
      {"", 3, '\0', false, false, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToHex(SplitFields(Hex(c.list), c.width, c.pad, c.map_accents, c.pad_left)),
              c.fields)
        << c.list;
  }
  // Another separator byte splits the same way.
  EXPECT_EQ(SplitFields("1;2", 2, '0', false, true, ';'), "0102");
}

}  // namespace
}  // namespace tarvo::commands
