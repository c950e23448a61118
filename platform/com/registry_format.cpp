// The registry file's text <-> model. See registry_format.h for the format.
#include "platform/com/registry_format.h"

namespace tarvo::com::registry {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// Reads a quoted string at `pos` (at the opening quote); advances past it.
bool Unquote(std::string_view line, std::size_t& pos, std::string& out) {
  out.clear();
  if (pos >= line.size() || line[pos] != '"') return false;
  for (++pos; pos < line.size(); ++pos) {
    char c = line[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\' && pos + 1 < line.size()) c = line[++pos];
    out.push_back(c);
  }
  return false;
}

// The lines of `content` without their line ends. Every carriage return at
// the end of a line goes with the line end, so no line ends in one: the
// writer ends lines with a bare LF, and a raw value must not carry a CR that
// would be lost the next time the file is read.
std::vector<std::string_view> Lines(std::string_view content) {
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < content.size();) {
    std::size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = content.substr(start, end - start);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool FitsOnOneLine(std::string_view text) { return text.find_first_of("\r\n") == std::string_view::npos; }

std::string FullPath(std::string_view key) {
  while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  if (key.empty()) return {};
  return std::string(kClassesRoot) + "\\" + std::string(key);
}

Key* FindKey(Store& store, std::string_view path) {
  for (Key& k : store)
    if (SameName(k.path, path)) return &k;
  return nullptr;
}

const Key* FindKey(const Store& store, std::string_view path) {
  return FindKey(const_cast<Store&>(store), path);
}

Value* FindValue(Key& key, std::string_view name) {
  for (Value& v : key.values)
    if (SameName(v.name, name)) return &v;
  return nullptr;
}

const Value* FindValue(const Key& key, std::string_view name) {
  return FindValue(const_cast<Key&>(key), name);
}

Store ParseStore(std::string_view content) {
  Store store;
  Key* current = nullptr;
  const std::vector<std::string_view> lines = Lines(content);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line.empty() || line.front() == ';' || line == kRegistryHeader || line == "REGEDIT4")
      continue;
    if (line.front() == '[') {
      current = nullptr;
      if (line.back() != ']' || line.size() < 3 || line[1] == '-') continue;
      const std::string_view path = line.substr(1, line.size() - 2);
      current = FindKey(store, path);
      if (current == nullptr) current = &store.emplace_back(Key{std::string(path), {}});
      continue;
    }
    if (current == nullptr) continue;
    Value value;
    std::size_t pos = 0;
    if (line.front() == '@') {
      pos = 1;
    } else if (!Unquote(line, pos, value.name)) {
      continue;
    }
    if (pos >= line.size() || line[pos] != '=') continue;
    ++pos;
    if (pos < line.size() && line[pos] == '"') {
      if (!Unquote(line, pos, value.data)) continue;
    } else {
      // Another value type (dword:, hex:...), kept as written, with its
      // continuation lines.
      value.text = false;
      value.data = std::string(line.substr(pos));
      while (!value.data.empty() && value.data.back() == '\\' && i + 1 < lines.size()) {
        value.data += "\n";
        value.data += lines[++i];
      }
      // A continuation cut off by the end of the file: the value ends here,
      // without the backslashes (and the CRs before them) at its end. Kept,
      // a trailing backslash would join the line written after it to this
      // value the next time the file is read, and a trailing CR would be
      // taken with the line end.
      while (!value.data.empty() && (value.data.back() == '\\' || value.data.back() == '\r'))
        value.data.pop_back();
    }
    if (Value* old = FindValue(*current, value.name)) {
      *old = std::move(value);
    } else {
      current->values.push_back(std::move(value));
    }
  }
  return store;
}

std::string SerializeStore(const Store& store) {
  std::string out(kRegistryHeader);
  out += "\n\n";
  for (const Key& key : store) {
    out += "[" + key.path + "]\n";
    for (const Value& v : key.values) {
      out += v.name.empty() ? std::string("@") : Quote(v.name);
      out += "=";
      out += v.text ? Quote(v.data) : v.data;
      out += "\n";
    }
    out += "\n";
  }
  return out;
}

bool EnsureKey(Store& store, std::string_view full) {
  bool changed = false;
  for (std::size_t sep = full.find('\\');; sep = full.find('\\', sep + 1)) {
    const std::string_view prefix = full.substr(0, sep);
    if (prefix.size() > kClassesRoot.size() && FindKey(store, prefix) == nullptr) {
      store.push_back(Key{std::string(prefix), {}});
      changed = true;
    }
    if (sep == std::string_view::npos) break;
  }
  return changed;
}

bool SetTextValue(Store& store, std::string_view full, std::string_view name,
                  std::string_view value) {
  bool changed = EnsureKey(store, full);
  Key* found = FindKey(store, full);
  if (found == nullptr) {  // a path that is the root itself or shorter
    found = &store.emplace_back(Key{std::string(full), {}});
    changed = true;
  }
  Key& k = *found;
  if (Value* v = FindValue(k, name)) {
    if (!v->text || v->data != value) changed = true;
    v->text = true;
    v->data = std::string(value);
  } else if (name.empty()) {
    k.values.insert(k.values.begin(), Value{"", std::string(value), true});
    changed = true;
  } else {
    k.values.push_back(Value{std::string(name), std::string(value), true});
    changed = true;
  }
  return changed;
}

}  // namespace tarvo::com::registry
