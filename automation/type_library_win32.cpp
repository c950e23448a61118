// The type library on Windows: the compiled library that the module carries
// as its resource TYPELIB 1, loaded by the system from the module file. Its
// type information is what hosts see through the registered library as well,
// so IDispatch::GetTypeInfo and IProvideClassInfo hand out the same objects.
// (On Linux the objects are built from the tables: type_library_objects.cpp.)
#include <mutex>
#include <string>

#include "automation/module_state.h"
#include "automation/type_library.h"
#include "platform/codepage.h"
#include "platform/com/com_runtime.h"

namespace {

std::wstring WidePath(const std::string& utf8) {
  const std::u16string wide = tarvo::platform::Utf8ToUtf16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

// Loaded once, on first use, and kept for the life of the module: the
// library object of oleaut32 may be used from any thread.
struct LoadedLibrary {
  ITypeLib* lib = nullptr;
  HRESULT hr = E_UNEXPECTED;
};

const LoadedLibrary& Loaded() {
  static const LoadedLibrary loaded = [] {
    LoadedLibrary result;
    const std::string path = tarvo::automation::ModulePath();
    if (path.empty()) {
      result.hr = E_UNEXPECTED;
      return result;
    }
    const std::wstring wide = WidePath(path);
    result.hr = LoadTypeLibEx(wide.c_str(), REGKIND_NONE, &result.lib);
    return result;
  }();
  return loaded;
}

}  // namespace

HRESULT GetTarvoTypeLib(ITypeLib** lib) {
  if (!lib) return E_POINTER;
  *lib = nullptr;
  const LoadedLibrary& loaded = Loaded();
  if (FAILED(loaded.hr)) return loaded.hr;
  *lib = loaded.lib;
  (*lib)->AddRef();
  return S_OK;
}

HRESULT GetTarvoTypeInfo(const IID& guid, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  const LoadedLibrary& loaded = Loaded();
  if (FAILED(loaded.hr)) return loaded.hr;
  return loaded.lib->GetTypeInfoOfGuid(guid, info);
}

HRESULT GetStdOleTypeLib(ITypeLib** lib) {
  if (!lib) return E_POINTER;
  *lib = nullptr;
  return LoadRegTypeLib(LIBID_STDOLE, 2, 0, 0, lib);
}
