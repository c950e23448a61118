// The host's 8-bit code page through iconv.
//
// Narrowing goes one UTF-16 unit at a time so that every character becomes
// exactly one byte: a character the code page lacks (iconv fails with
// EILSEQ), a lone surrogate, or a conversion that would not give a single
// byte becomes "?". Widening goes one byte at a time; a byte the code page
// leaves undefined becomes the character with the byte's own value (as the
// C1 control range of Latin-1), so no byte is lost.
//
// iconv descriptors carry shift state and must not be used by two threads at
// once: they are opened once per (code page, direction) and used only under
// one mutex. They stay open for the life of the process.
#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

namespace tarvo::platform {
namespace {

constexpr const char* kDefaultCodePage = "CP1250";
constexpr const char* kWide = "UTF-16LE";

class IconvCache {
 public:
  // Runs f(cd) with the descriptor for from -> to under the cache's lock; the
  // descriptor is (iconv_t)-1 when iconv does not know the pair.
  template <class F>
  auto With(const std::string& from, const std::string& to, F&& f) {
    std::lock_guard<std::mutex> lock(mu_);
    auto key = std::make_pair(from, to);
    auto it = cds_.find(key);
    if (it == cds_.end()) {
      it = cds_.emplace(key, iconv_open(to.c_str(), from.c_str())).first;
    }
    return f(it->second);
  }

 private:
  std::mutex mu_;
  std::map<std::pair<std::string, std::string>, iconv_t> cds_;
};

IconvCache& Cache() {
  static auto* cache = new IconvCache();  // never destroyed: used until exit
  return *cache;
}

bool Usable(iconv_t cd) { return cd != reinterpret_cast<iconv_t>(-1); }

// One conversion of a short input; false unless iconv took all of it.
bool ConvertOnce(iconv_t cd, const char* in, std::size_t in_len, char* out, std::size_t& out_len) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
  char* in_ptr = const_cast<char*>(in);
  std::size_t in_left = in_len;
  char* out_ptr = out;
  std::size_t out_left = out_len;
  const std::size_t rc = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
  out_len -= out_left;
  return rc != static_cast<std::size_t>(-1) && in_left == 0;
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
  std::string name(env);
  // A name iconv does not know falls back to the default rather than turning
  // every character into "?".
  const bool known = Cache().With(name, kWide, [](iconv_t cd) { return Usable(cd); });
  return known ? name : kDefaultCodePage;
}

std::string ToAnsi(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  const std::string page = HostCodePage();
  Cache().With(kWide, page, [&](iconv_t cd) {
    for (char16_t unit : text) {
      if (unit < 0x80) {  // every 8-bit host code page keeps ASCII as it is
        out.push_back(static_cast<char>(unit));
        continue;
      }
      char result = '?';
      if (Usable(cd) && (unit < 0xD800 || unit > 0xDFFF)) {
        const char in[2] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
        char buf[8];
        std::size_t len = sizeof buf;
        if (ConvertOnce(cd, in, sizeof in, buf, len) && len == 1) result = buf[0];
      }
      out.push_back(result);
    }
  });
  return out;
}

std::u16string FromAnsi(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  const std::string page = HostCodePage();
  Cache().With(page, kWide, [&](iconv_t cd) {
    for (char c : bytes) {
      const auto byte = static_cast<unsigned char>(c);
      char16_t result = byte;
      if (byte >= 0x80 && Usable(cd)) {
        char buf[8];
        std::size_t len = sizeof buf;
        if (ConvertOnce(cd, &c, 1, buf, len) && len == 2) {
          result = static_cast<char16_t>(static_cast<unsigned char>(buf[0]) |
                                         (static_cast<unsigned char>(buf[1]) << 8));
        }
      }
      out.push_back(result);
    }
  });
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
