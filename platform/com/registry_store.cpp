// The registry stand-in: one text file in the registry-export format (its
// text and model are in registry_format.h).
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
#include "platform/com/registry_format.h"
#include "platform/com/system_registry.h"

namespace tarvo::com::registry {
namespace {

constexpr std::string_view kSource = "TarvoMDrv registry";

bool HasSubkeys(const Store& store, std::string_view path) {
  for (const Key& k : store)
    if (k.path.size() > path.size() && k.path[path.size()] == '\\' &&
        SameName(std::string_view(k.path).substr(0, path.size()), path))
      return true;
  return false;
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
  return ParseStore(content);
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
  Store store = ParseStore(content);
  bool changed = false;
  const HRESULT result = change(store, changed);
  if (FAILED(result) || !changed) return result;

  std::string temp = path + ".XXXXXX";
  Fd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (out.get() < 0) return FailErrno(errno, "cannot create a temporary file beside", path);
  struct stat st {};
  const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  if (::fchmod(out.get(), mode) != 0 || !WriteAll(out.get(), SerializeStore(store)) ||
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

HRESULT BadKey() { return detail::Fail(E_INVALIDARG, kSource, "empty registry key name"); }

// The file holds one name or value per line; a line break would cut the text
// and let the rest of it read as keys and values of its own.
HRESULT LineBreak(std::string_view what, std::string_view key) {
  return detail::Fail(E_INVALIDARG, kSource,
                      std::string(what) + " of registry key " + std::string(key) +
                          " holds a line break, which the registry file cannot store");
}


// The value `name` of the key `full` in `store`, if both exist.
bool ValueOf(Store& store, const std::string& full, const std::string& name, std::string& value) {
  Key* k = FindKey(store, full);
  if (k == nullptr) return false;
  const Value* v = FindValue(*k, name);
  if (v == nullptr) return false;
  value = v->data;
  return true;
}
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
  if (!FitsOnOneLine(full)) return LineBreak("the name", key);
  return Modify([&](Store& store, bool& changed) {
    changed = EnsureKey(store, full);
    return S_OK;
  });
}

HRESULT SetValue(const std::string& key, const std::string& name, const std::string& value) {
  const std::string full = FullPath(key);
  if (full.empty()) return BadKey();
  if (!FitsOnOneLine(full)) return LineBreak("the name", key);
  if (!FitsOnOneLine(name)) return LineBreak("a value name", key);
  if (!FitsOnOneLine(value)) return LineBreak("the value " + (name.empty() ? "@" : name), key);
  return Modify([&](Store& store, bool& changed) {
    changed = SetTextValue(store, full, name, value);
    return S_OK;
  });
}

bool GetValue(const std::string& key, const std::string& name, std::string& value) {
  const std::string full = FullPath(key);
  if (full.empty()) return false;
  Store store = Load();
  return ValueOf(store, full, name, value);
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
  const std::string prefix = std::string(kClassesRoot) + "\\";
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
  Store store = ParseStore(content);
  return ValueOf(store, full, name, value);
}

}  // namespace tarvo::com::registry
