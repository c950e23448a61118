#pragma once
// The registry file's text and the model it stands for, as pure functions.
//
//   Windows Registry Editor Version 5.00
//   <blank line>
//   [HKEY_CLASSES_ROOT\Some\Key]
//   @="default value"
//   "Name"="value"
//   "Other"=dword:00000001
//   <blank line>
//
// Names and text values are quoted with backslash and quote escaped. Values
// of other types (dword:, hex:...) are kept as the raw text after "=", with
// their continuation lines (a line ending in a backslash goes on in the next
// line). Key and value names compare case-insensitively; the first spelling
// of a key is kept.
//
// The file has no way to write a line break inside a name or a text value
// (regedit's string values cannot hold one), so the writer refuses such text
// (FitsOnOneLine); everything it accepts reads back unchanged. The file-level
// functions in com_runtime.h (registry::SetValue ...) do the reading, locking
// and writing around these.
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::com::registry {

inline constexpr std::string_view kRegistryHeader = "Windows Registry Editor Version 5.00";
inline constexpr std::string_view kClassesRoot = "HKEY_CLASSES_ROOT";

struct Value {
  std::string name;  // "" is the default value
  std::string data;  // the text, or the raw right-hand side when !text
  bool text = true;
  bool operator==(const Value&) const = default;
};

struct Key {
  std::string path;  // as between the brackets, e.g. "HKEY_CLASSES_ROOT\CLSID"
  std::vector<Value> values;
  bool operator==(const Key&) const = default;
};

// The keys in file order; no two paths are the same name.
using Store = std::vector<Key>;

// Reads the file's text. Lines that are not understood are passed over.
Store ParseStore(std::string_view text);
// The file's text for `store`: ParseStore(SerializeStore(s)) == s for every
// store that ParseStore returns or that the edits below produce from it.
std::string SerializeStore(const Store& store);

// True when `text` holds no line break (CR or LF) and can therefore stand as a
// key path, a value name or a text value of the file.
bool FitsOnOneLine(std::string_view text);

// ASCII case-insensitive comparison of key paths and value names.
bool SameName(std::string_view a, std::string_view b);

// "CLSID\{x}\" -> "HKEY_CLASSES_ROOT\CLSID\{x}"; empty when there is no key.
std::string FullPath(std::string_view key);

Key* FindKey(Store& store, std::string_view path);
const Key* FindKey(const Store& store, std::string_view path);
Value* FindValue(Key& key, std::string_view name);
const Value* FindValue(const Key& key, std::string_view name);

// Adds `full` and its missing parents below the root (parents first, so that
// the file reads top-down). True when anything was added.
bool EnsureKey(Store& store, std::string_view full);
// Sets a text value of `full` (created with its parents when missing); the
// default value goes first among the key's values. True when anything changed.
// The caller checks FitsOnOneLine on the path, the name and the value first.
bool SetTextValue(Store& store, std::string_view full, std::string_view name,
                  std::string_view value);

}  // namespace tarvo::com::registry
