// The host's 8-bit code page: a table of 256 characters per code page, read
// once from the system (codepage_posix.cpp: iconv; codepage_win32.cpp:
// MultiByteToWideChar), and both directions through that table. Narrowing
// maps every UTF-16 unit to exactly one byte: a character the code page lacks,
// a lone surrogate or half of a surrogate pair becomes "?". A byte the code
// page leaves undefined widens to the character with the byte's own value
// (the C1 control range), and that character narrows back to the byte, so no
// byte is lost on the way through.
//
// The tables are built under one mutex and never change afterwards.
#include "platform/codepage.h"

#include <array>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/codepage_table.h"

namespace tarvo::platform {
namespace {

constexpr const char* kDefaultCodePage = "CP1250";

struct PageTable {
  std::array<char16_t, 256> wide{};
  std::unordered_map<char16_t, char> narrow;
};

// The table of `name`, or nullptr when the system does not know the code page.
std::shared_ptr<const PageTable> BuildTable(const std::string& name) {
  const std::optional<CodePageChars> chars = ReadCodePage(name);
  if (!chars) return nullptr;
  auto table = std::make_shared<PageTable>();
  for (int b = 0; b < 256; ++b) {
    const char16_t ch = (*chars)[static_cast<std::size_t>(b)];
    table->wide[static_cast<std::size_t>(b)] = ch;
    table->narrow.emplace(ch, static_cast<char>(b));  // the first byte wins
  }
  return table;
}

// The table of `name`, built on first use; nullptr for an unknown page.
std::shared_ptr<const PageTable> Table(const std::string& name) {
  static std::mutex mu;
  static auto* tables = new std::map<std::string, std::shared_ptr<const PageTable>>();
  std::lock_guard<std::mutex> lock(mu);
  auto it = tables->find(name);
  if (it == tables->end()) it = tables->emplace(name, BuildTable(name)).first;
  return it->second;
}

// The table of the host code page (the default when the named one is unknown).
std::shared_ptr<const PageTable> HostTable() {
  auto table = Table(HostCodePage());
  return table ? table : Table(kDefaultCodePage);
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

std::string HostCodePage() {
  const char* env = std::getenv("TARVO_CODEPAGE");
  if (env == nullptr || *env == '\0') return kDefaultCodePage;
  // A name the system does not know falls back to the default rather than turning
  // every character into "?".
  std::string name(env);
  return Table(name) ? name : kDefaultCodePage;
}

std::string ToAnsi(std::u16string_view text) {
  const auto table = HostTable();
  std::string out;
  out.reserve(text.size());
  for (char16_t unit : text) {
    char byte = '?';
    if (table) {
      auto it = table->narrow.find(unit);
      if (it != table->narrow.end()) byte = it->second;
    } else if (unit < 0x80) {
      byte = static_cast<char>(unit);
    }
    out.push_back(byte);
  }
  return out;
}

std::u16string FromAnsi(std::string_view bytes) {
  const auto table = HostTable();
  std::u16string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out.push_back(table ? table->wide[b] : static_cast<char16_t>(b));
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  const std::size_t n = utf8.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(utf8[i]);
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b0 < 0x80) {
      len = 1, cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
      out.push_back(static_cast<char16_t>(kReplacement));
      ++i;
      continue;
    }
    std::size_t k = 1;
    for (; k < len && i + k < n; ++k) {
      const auto b = static_cast<unsigned char>(utf8[i + k]);
      if ((b & 0xC0) != 0x80) break;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (k < len || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(static_cast<char16_t>(kReplacement));
      i += k;  // skip the lead byte and the continuation bytes that belonged to it
      continue;
    }
    AppendUtf16(out, cp);
    i += len;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

}  // namespace tarvo::platform
