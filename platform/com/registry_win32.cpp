// The registry functions on Windows: the system registry below
// HKEY_CLASSES_ROOT. Keys and text values are REG_SZ in UTF-16; the driver
// passes them as UTF-8.
//
// A write goes to HKEY_CLASSES_ROOT, which the system maps to the machine's
// classes (HKLM\Software\Classes) for an administrator and to the user's
// classes otherwise.
#include <windows.h>

#include <string>
#include <string_view>

#include "platform/com/com_internal.h"
#include "platform/com/com_runtime.h"

namespace tarvo::com::registry {
namespace {

constexpr std::string_view kSource = "TarvoMDrv registry";

// "\CLSID\{x}\" -> "CLSID\{x}", as the registry functions take a subkey.
std::wstring SubKey(std::string_view key) {
  while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  const std::u16string wide = detail::Utf16FromUtf8(key);
  return std::wstring(wide.begin(), wide.end());
}

std::wstring Wide(std::string_view text) {
  const std::u16string wide = detail::Utf16FromUtf8(text);
  return std::wstring(wide.begin(), wide.end());
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int count =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return {};
  std::string text(static_cast<std::size_t>(count), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, text.data(), count, nullptr, nullptr);
  return text;
}

// The system's text of a registry error code.
std::string SystemMessage(LSTATUS status) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(status), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length > 0 && buffer != nullptr ? std::wstring(buffer, length) : L"";
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
    text.pop_back();
  if (text.empty()) return "error " + std::to_string(status);
  return Utf8(text);
}

HRESULT Failure(LSTATUS status, const std::string& what, std::string_view key) {
  return detail::Fail(
      HRESULT_FROM_WIN32(static_cast<DWORD>(status)), kSource,
      what + " HKEY_CLASSES_ROOT\\" + std::string(key) + ": " + SystemMessage(status));
}

HRESULT BadKey() { return detail::Fail(E_INVALIDARG, kSource, "empty registry key name"); }

// An open key that closes itself.
class OpenKey {
 public:
  OpenKey() = default;
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  ~OpenKey() {
    if (key_ != nullptr) ::RegCloseKey(key_);
  }
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

LSTATUS Create(const std::wstring& sub, OpenKey& key) {
  return ::RegCreateKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_WRITE, nullptr, key.out(), nullptr);
}

}  // namespace

std::string StorePath() { return "HKEY_CLASSES_ROOT"; }

HRESULT CreateKey(const std::string& key) {
  const std::wstring sub = SubKey(key);
  if (sub.empty()) return BadKey();
  OpenKey open;
  const LSTATUS status = Create(sub, open);
  return status == ERROR_SUCCESS ? S_OK : Failure(status, "cannot create", key);
}

HRESULT SetValue(const std::string& key, const std::string& name, const std::string& value) {
  const std::wstring sub = SubKey(key);
  if (sub.empty()) return BadKey();
  OpenKey open;
  LSTATUS status = Create(sub, open);
  if (status != ERROR_SUCCESS) return Failure(status, "cannot create", key);
  const std::wstring wide_name = Wide(name);
  const std::wstring data = Wide(value);
  // REG_SZ data counts its terminating zero.
  status = ::RegSetValueExW(open.get(), wide_name.empty() ? nullptr : wide_name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  return status == ERROR_SUCCESS ? S_OK : Failure(status, "cannot write a value of", key);
}

bool GetValue(const std::string& key, const std::string& name, std::string& value) {
  const std::wstring sub = SubKey(key);
  if (sub.empty()) return false;
  OpenKey open;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_QUERY_VALUE, open.out()) !=
      ERROR_SUCCESS)
    return false;
  const std::wstring wide_name = Wide(name);
  const wchar_t* value_name = wide_name.empty() ? nullptr : wide_name.c_str();
  DWORD type = 0;
  DWORD bytes = 0;
  if (::RegQueryValueExW(open.get(), value_name, nullptr, &type, nullptr, &bytes) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
  if (::RegQueryValueExW(open.get(), value_name, nullptr, &type,
                         reinterpret_cast<BYTE*>(data.data()), &bytes) != ERROR_SUCCESS)
    return false;
  // The stored data may or may not end in a zero.
  data.resize(bytes / sizeof(wchar_t));
  while (!data.empty() && data.back() == L'\0') data.pop_back();
  value = Utf8(data);
  return true;
}

bool KeyExists(const std::string& key) {
  const std::wstring sub = SubKey(key);
  if (sub.empty()) return false;
  OpenKey open;
  return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, open.out()) == ERROR_SUCCESS;
}

HRESULT DeleteKey(const std::string& key) {
  const std::wstring sub = SubKey(key);
  if (sub.empty()) return BadKey();
  {
    // A key with subkeys stays, as with the registry file: asked first
    // because the system's answer to deleting one is not the same everywhere.
    OpenKey open;
    const LSTATUS status = ::RegOpenKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, open.out());
    if (status == ERROR_FILE_NOT_FOUND) return S_FALSE;
    if (status != ERROR_SUCCESS) return Failure(status, "cannot open", key);
    DWORD subkeys = 0;
    if (::RegQueryInfoKeyW(open.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        subkeys > 0)
      return detail::Fail(E_ACCESSDENIED, kSource, "registry key " + key + " has subkeys");
  }
  const LSTATUS status = ::RegDeleteKeyW(HKEY_CLASSES_ROOT, sub.c_str());
  if (status == ERROR_FILE_NOT_FOUND) return S_FALSE;
  return status == ERROR_SUCCESS ? S_OK : Failure(status, "cannot delete", key);
}

}  // namespace tarvo::com::registry
