// The registry stand-in: one text file in the registry-export format.
//
//   Windows Registry Editor Version 5.00
//   <blank line>
//   [HKEY_CLASSES_ROOT\Some\Key]
//   @="default value"
//   "Name"="value"
//   <blank line>
//
// Each change takes an exclusive lock on "<store>.lock", reads the store,
// changes it, writes a temporary file in the same directory, syncs it and
// renames it over the store, so that readers (who take no lock) see either
// the old or the new file and concurrent writers never lose each other's
// changes.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/com/com_internal.h"
#include "platform/com/com_runtime.h"
#include "platform/com/system_registry.h"

namespace tarvo::com::registry {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRoot = "HKEY_CLASSES_ROOT";
constexpr std::string_view kSource = "TarvoMDrv registry";

struct Value {
  std::string name;  // "" is the default value
  std::string data;  // the text, or the raw right-hand side when !text
  bool text = true;
};

struct Key {
  std::string path;  // as between the brackets, e.g. "HKEY_CLASSES_ROOT\CLSID"
  std::vector<Value> values;
};

using Store = std::vector<Key>;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// "CLSID\{x}\" -> "HKEY_CLASSES_ROOT\CLSID\{x}"; empty when there is no key.
std::string FullPath(std::string_view key) {
  while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  if (key.empty()) return {};
  return std::string(kRoot) + "\\" + std::string(key);
}

Key* FindKey(Store& store, std::string_view path) {
  for (Key& k : store)
    if (SameName(k.path, path)) return &k;
  return nullptr;
}

Value* FindValue(Key& key, std::string_view name) {
  for (Value& v : key.values)
    if (SameName(v.name, name)) return &v;
  return nullptr;
}

bool HasSubkeys(const Store& store, std::string_view path) {
  for (const Key& k : store)
    if (k.path.size() > path.size() && k.path[path.size()] == '\\' &&
        SameName(std::string_view(k.path).substr(0, path.size()), path))
      return true;
  return false;
}

// --- text format -----------------------------------------------------------------

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

Store Parse(std::string_view content) {
  Store store;
  Key* current = nullptr;
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < content.size();) {
    std::size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line.empty() || line.front() == ';' || line == kHeader || line == "REGEDIT4") continue;
    if (line.front() == '[') {
      current = nullptr;
      if (line.back() != ']' || line.size() < 3 || line[1] == '-') continue;
      const std::string path(line.substr(1, line.size() - 2));
      current = FindKey(store, path);
      if (current == nullptr) current = &store.emplace_back(Key{path, {}});
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
    }
    if (Value* old = FindValue(*current, value.name)) {
      *old = std::move(value);
    } else {
      current->values.push_back(std::move(value));
    }
  }
  return store;
}

std::string Serialize(const Store& store) {
  std::string out(kHeader);
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

// --- file access -------------------------------------------------------------------

HRESULT FailErrno(int err, const std::string& what, const std::string& path) {
  const HRESULT hr =
      (err == EACCES || err == EPERM || err == EROFS) ? E_ACCESSDENIED : E_FAIL;
  return detail::Fail(hr, kSource,
                      what + " " + path + ": " + std::generic_category().message(err));
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

std::string Directory(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Creates `dir` and its parents; errno describes a failure.
bool MakeDirectories(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  if (errno != ENOENT) return false;
  const std::string parent = Directory(dir);
  if (parent != dir && !MakeDirectories(parent)) return false;
  return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

// Reads the whole store; a missing file is an empty store.
bool ReadFile(const std::string& path, std::string& content, int& err) {
  content.clear();
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    err = errno;
    return err == ENOENT;
  }
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    content.append(buf, static_cast<std::size_t>(n));
  }
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

Store Load() {
  std::string content;
  int err = 0;
  ReadFile(StorePath(), content, err);
  return Parse(content);
}

// One locked read-modify-write. `change` returns S_OK/S_FALSE for "applied"
// (and whether anything changed through `changed`) or a failure.
HRESULT Modify(const std::function<HRESULT(Store&, bool& changed)>& change) {
  const std::string path = StorePath();
  const std::string dir = Directory(path);
  if (!MakeDirectories(dir)) return FailErrno(errno, "cannot create the directory of", path);

  const std::string lock_path = path + ".lock";
  Fd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (lock.get() < 0) return FailErrno(errno, "cannot open the lock file", lock_path);
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return FailErrno(errno, "cannot lock", lock_path);
  }

  std::string content;
  int err = 0;
  if (!ReadFile(path, content, err)) return FailErrno(err, "cannot read", path);
  Store store = Parse(content);
  bool changed = false;
  const HRESULT result = change(store, changed);
  if (FAILED(result) || !changed) return result;

  std::string temp = path + ".XXXXXX";
  Fd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (out.get() < 0) return FailErrno(errno, "cannot create a temporary file beside", path);
  struct stat st {};
  const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  if (::fchmod(out.get(), mode) != 0 || !WriteAll(out.get(), Serialize(store)) ||
      ::fsync(out.get()) != 0 || ::close(out.release()) != 0 ||
      ::rename(temp.c_str(), path.c_str()) != 0) {
    const int e = errno;
    ::unlink(temp.c_str());
    return FailErrno(e, "cannot write", path);
  }
  Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.get() >= 0) ::fsync(d.get());
  return result;
}

HRESULT EnsureKey(Store& store, const std::string& full, bool& changed) {
  // Parents first, so that the file reads top-down.
  for (std::size_t sep = full.find('\\'); ; sep = full.find('\\', sep + 1)) {
    const std::string prefix = full.substr(0, sep);
    if (prefix.size() > kRoot.size() && FindKey(store, prefix) == nullptr) {
      store.push_back(Key{prefix, {}});
      changed = true;
    }
    if (sep == std::string::npos) break;
  }
  return S_OK;
}

HRESULT BadKey() { return detail::Fail(E_INVALIDARG, kSource, "empty registry key name"); }

}  // namespace

std::string StorePath() {
  if (const char* p = std::getenv("TARVO_REGISTRY"); p != nullptr && *p != '\0') return p;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x != nullptr && *x == '/')
    return std::string(x) + "/tarvomdrv/registry.reg";
  std::string home;
  if (const char* h = std::getenv("HOME"); h != nullptr && *h != '\0') {
    home = h;
  } else {
    struct passwd pw {};
    struct passwd* found = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr)
      home = found->pw_dir;
  }
  return home + "/.config/tarvomdrv/registry.reg";
}

HRESULT CreateKey(const std::string& key) {
  const std::string full = FullPath(key);
  if (full.empty()) return BadKey();
  return Modify([&](Store& store, bool& changed) { return EnsureKey(store, full, changed); });
}

HRESULT SetValue(const std::string& key, const std::string& name, const std::string& value) {
  const std::string full = FullPath(key);
  if (full.empty()) return BadKey();
  return Modify([&](Store& store, bool& changed) {
    EnsureKey(store, full, changed);
    Key& k = *FindKey(store, full);
    if (Value* v = FindValue(k, name)) {
      if (!v->text || v->data != value) changed = true;
      v->text = true;
      v->data = value;
    } else if (name.empty()) {
      k.values.insert(k.values.begin(), Value{"", value, true});  // the default comes first
      changed = true;
    } else {
      k.values.push_back(Value{name, value, true});
      changed = true;
    }
    return S_OK;
  });
}

bool GetValue(const std::string& key, const std::string& name, std::string& value) {
  const std::string full = FullPath(key);
  if (full.empty()) return false;
  Store store = Load();
  Key* k = FindKey(store, full);
  if (k == nullptr) return false;
  const Value* v = FindValue(*k, name);
  if (v == nullptr) return false;
  value = v->data;
  return true;
}

bool KeyExists(const std::string& key) {
  const std::string full = FullPath(key);
  if (full.empty()) return false;
  Store store = Load();
  return FindKey(store, full) != nullptr;
}

HRESULT DeleteKey(const std::string& key) {
  const std::string full = FullPath(key);
  if (full.empty()) return BadKey();
  return Modify([&](Store& store, bool& changed) -> HRESULT {
    Key* k = FindKey(store, full);
    if (k == nullptr) return S_FALSE;
    if (HasSubkeys(store, k->path))
      return detail::Fail(E_ACCESSDENIED, kSource, "registry key " + key + " has subkeys");
    store.erase(store.begin() + (k - store.data()));
    changed = true;
    return S_OK;
  });
}

std::vector<std::string> Keys() {
  std::vector<std::string> out;
  const std::string prefix = std::string(kRoot) + "\\";
  for (const Key& k : Load())
    if (k.path.size() > prefix.size() &&
        SameName(std::string_view(k.path).substr(0, prefix.size()), prefix))
      out.push_back(k.path.substr(prefix.size()));
  return out;
}

// A value of another store file (the system registry file).
bool GetValueIn(const std::string& store_path, const std::string& key, const std::string& name,
                std::string& value) {
  const std::string full = FullPath(key);
  if (full.empty()) return false;
  std::string content;
  int err = 0;
  ReadFile(store_path, content, err);  // an unreadable file has no values
  Store store = Parse(content);
  Key* k = FindKey(store, full);
  if (k == nullptr) return false;
  const Value* v = FindValue(*k, name);
  if (v == nullptr) return false;
  value = v->data;
  return true;
}

}  // namespace tarvo::com::registry
