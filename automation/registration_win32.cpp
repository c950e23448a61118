// The system-dependent steps of self-registration on Windows: the system
// registers the library that the module carries as TYPELIB 1 (its TypeLib
// keys and the Interface keys of its automation interfaces) and removes them
// again, from the library's own attributes; a path with a space is
// registered in its short form.
#include <iostream>
#include <string>

#include "automation/registration.h"
#include "automation/registration_steps.h"
#include "automation/type_library.h"
#include "platform/codepage.h"
#include "platform/com/com_runtime.h"

namespace tarvo::automation {
namespace {

std::wstring Wide(const std::string& utf8) {
  const std::u16string wide = platform::Utf8ToUtf16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

std::wstring DirectoryOf(const std::wstring& path) {
  const auto separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return L".";
  return path.substr(0, separator);
}

void ReportFailure(const char* what, HRESULT hr) {
  std::cerr << kRegistryWriteError << " (" << what << ", code 0x" << std::hex
            << static_cast<std::uint32_t>(hr) << std::dec << ")\n";
}

}  // namespace

HRESULT RegisterTypeLibrary(const std::string& module_path) {
  std::wstring path = Wide(module_path);
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib);
  if (FAILED(hr)) {
    ReportFailure("the module's type library cannot be loaded", hr);
    return E_FAIL;
  }
  std::wstring directory = DirectoryOf(path);
  hr = RegisterTypeLib(lib, path.data(), directory.data());
  lib->Release();
  if (FAILED(hr)) {
    ReportFailure("the type library cannot be registered", hr);
    return E_FAIL;
  }
  return S_OK;
}

void UnregisterTypeLibrary() {
  // The library's identity as the module carries it (its GUID, version,
  // locale and the system kind it was compiled for).
  ITypeLib* lib = nullptr;
  if (FAILED(GetTarvoTypeLib(&lib))) return;  // nothing to tell the system
  TLIBATTR* attr = nullptr;
  if (SUCCEEDED(lib->GetLibAttr(&attr))) {
    // A library that is not registered is passed over like a missing key.
    (void)UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                            attr->syskind);
    lib->ReleaseTLibAttr(attr);
  }
  lib->Release();
}

std::string InprocServerPath(const std::string& module_path) {
  if (module_path.find(' ') == std::string::npos) return module_path;
  const std::wstring path = Wide(module_path);
  const DWORD size = ::GetShortPathNameW(path.c_str(), nullptr, 0);
  if (size == 0) return module_path;  // no short name (the volume has none): as it is
  std::wstring short_path(size, L'\0');
  const DWORD length = ::GetShortPathNameW(path.c_str(), short_path.data(), size);
  if (length == 0 || length >= size) return module_path;
  short_path.resize(length);
  return platform::Utf16ToUtf8(std::u16string(short_path.begin(), short_path.end()));
}

}  // namespace tarvo::automation
