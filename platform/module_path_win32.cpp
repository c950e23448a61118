// The module's own path on Windows: the module that holds this function
// (GetModuleHandleExW with an address in it, so a control loaded into a host
// finds its own .ocx, not the host's program), its file name through
// GetModuleFileNameW, returned as UTF-8.
#include <windows.h>

#include <string>

#include "platform/codepage.h"
#include "platform/module_path.h"

namespace tarvo::platform {

std::string ModulePath() {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ModulePath)), &module)) {
    return {};
  }
  // Long paths: grow the buffer while the name does not fit.
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) return {};
    if (n < name.size()) {
      name.resize(n);
      break;
    }
    if (name.size() >= 32768) return {};
    name.resize(name.size() * 2);
  }
  return Utf16ToUtf8(std::u16string(name.begin(), name.end()));
}

std::string ModuleDirectory() {
  const std::string path = ModulePath();
  const auto sep = path.find_last_of("\\/");
  if (sep == std::string::npos) return {};
  return path.substr(0, sep);
}

}  // namespace tarvo::platform
