// The registry file's reader and writer (platform/com/registry_format.h).
//
// Input: the file's text, then optionally a NUL byte and a key, a NUL and a
// value name, a NUL and a value (the parts of one SetValue call).
//   - Whatever the text, what the writer makes of the parsed model reads back
//     as the same model, and writing that again gives the same text.
//   - A value the writer accepts (no line breaks in the key, the name or the
//     value) reads back unchanged after a write, the other keys and values
//     stay as they were, and the only keys added are the key and its parents.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/com/registry_format.h"

namespace reg = tarvo::com::registry;

namespace {

std::vector<std::string_view> SplitAtNul(std::string_view input) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t nul = input.find('\0');
    parts.push_back(input.substr(0, nul));
    if (nul == std::string_view::npos) return parts;
    input.remove_prefix(nul + 1);
  }
}

bool IsKeyOrParent(std::string_view path, std::string_view full) {
  if (path.size() > full.size()) return false;
  if (path.size() < full.size() && full[path.size()] != '\\') return false;
  return reg::SameName(path, full.substr(0, path.size()));
}

void CheckSetValue(const reg::Store& before, std::string_view key, std::string_view name,
                   std::string_view value) {
  const std::string full = reg::FullPath(key);
  if (full.empty() || !reg::FitsOnOneLine(full) || !reg::FitsOnOneLine(name) ||
      !reg::FitsOnOneLine(value))
    return;  // refused with an error before anything is written
  reg::Store edited = before;
  reg::SetTextValue(edited, full, name, value);
  const reg::Store after = reg::ParseStore(reg::SerializeStore(edited));
  FUZZ_CHECK(after == edited, "an edited store reads back as written");

  const reg::Key* k = reg::FindKey(after, full);
  FUZZ_CHECK(k != nullptr, "the key of a value that was set exists");
  const reg::Value* v = reg::FindValue(*k, name);
  FUZZ_CHECK(v != nullptr && v->text && v->data == value, "a value that was set reads back the same");

  for (const reg::Key& old : before) {
    const reg::Key* still = reg::FindKey(after, old.path);
    FUZZ_CHECK(still != nullptr, "no key is lost");
    for (const reg::Value& ov : old.values) {
      const reg::Value* sv = reg::FindValue(*still, ov.name);
      FUZZ_CHECK(sv != nullptr, "no value is lost");
      if (!(reg::SameName(still->path, full) && reg::SameName(ov.name, name)))
        FUZZ_CHECK(*sv == ov, "other values stay as they were");
    }
  }
  for (const reg::Key& now : after)
    FUZZ_CHECK(reg::FindKey(before, now.path) != nullptr || IsKeyOrParent(now.path, full),
               "the only keys added are the key and its parents");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string_view> parts =
      SplitAtNul(std::string_view(reinterpret_cast<const char*>(data), size));

  const reg::Store parsed = reg::ParseStore(parts[0]);
  const std::string written = reg::SerializeStore(parsed);
  const reg::Store reread = reg::ParseStore(written);
  FUZZ_CHECK(reread == parsed, "what is written reads back as the same store");
  FUZZ_CHECK(reg::SerializeStore(reread) == written, "writing it again gives the same text");

  if (parts.size() >= 4) CheckSetValue(parsed, parts[1], parts[2], parts[3]);
  return 0;
}
