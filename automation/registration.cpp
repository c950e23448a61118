#include "automation/registration.h"

#include <cstdio>
#include <iostream>
#include <string_view>
#include <vector>

#include "automation/TarvoMDrv_TLB.h"
#include "automation/registration_steps.h"
#include "automation/type_library.h"
#include "platform/com/com_runtime.h"

namespace tarvo::automation {
namespace {

namespace registry = com::registry;

std::string ClassKey() { return "CLSID\\" + GuidText(CLSID_Tarvo); }

// The class's values, in order (after the type library's).
std::vector<RegistryWrite> ClassWrites(const std::string& module_path) {
  const tlb::LibraryDef& lib = tlb::Library();
  const std::string lib_id = GuidText(lib.guid);
  const std::string lib_version = VersionText(lib.major, lib.minor);
  const std::string cls = ClassKey();
  const std::string clsid = GuidText(CLSID_Tarvo);

  // InprocServer32 carries the short form of a path with a space where the
  // system has one; ToolboxBitmap32 carries the path as it is.
  return {
      {cls, "", kClassDescription},
      {cls + "\\InprocServer32", "", InprocServerPath(module_path)},
      {cls + "\\InprocServer32", "ThreadingModel", kThreadingModel},
      {kProgId, "", kClassDescription},
      {std::string(kProgId) + "\\Clsid", "", clsid},
      {cls + "\\ProgID", "", kProgId},
      {cls + "\\Version", "", lib_version},
      {cls + "\\TypeLib", "", lib_id},
      {cls + "\\MiscStatus", "", "0"},
      {cls + "\\MiscStatus\\1", "", kMiscStatus},
      {cls + "\\ToolboxBitmap32", "", module_path + ",1"},
      {cls + "\\Control", "", ""},
      {cls + "\\Verb", "", ""},
      {cls + "\\Verb\\0", "", kVerbProperties},
  };
}

// The class keys that unregistration deletes, in order (after the type
// library's).
std::vector<std::string> ClassKeys() {
  const std::string cls = ClassKey();
  const std::string prog_id = kProgId;
  return {
      cls + "\\Verb\\0",     cls + "\\Verb",          cls + "\\Control",
      cls + "\\ToolboxBitmap32", cls + "\\MiscStatus\\1", cls + "\\MiscStatus",
      cls + "\\TypeLib",     cls + "\\Version",       cls + "\\ProgID",
      prog_id + "\\Clsid",   prog_id,                 cls + "\\InprocServer32",
      cls,
  };
}

}  // namespace

std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string VersionText(unsigned major, unsigned minor) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u", major, minor);
  return text;
}

HRESULT WriteAll(const std::vector<RegistryWrite>& writes) {
  for (const RegistryWrite& write : writes) {
    const HRESULT hr = registry::SetValue(write.key, write.name, write.value);
    if (FAILED(hr)) {
      std::cerr << kRegistryWriteError << " (HKEY_CLASSES_ROOT\\" << write.key << " in "
                << registry::StorePath() << ", code 0x" << std::hex
                << static_cast<std::uint32_t>(hr) << std::dec << ")\n";
      return E_FAIL;
    }
  }
  return S_OK;
}

void DeleteAll(const std::vector<std::string>& keys) {
  for (const std::string& key : keys) {
    // A missing key (S_FALSE) or one that cannot go (it still has subkeys,
    // or the store is not writable) is passed over.
    (void)registry::DeleteKey(key);
  }
}

// First the type library with its interfaces, then the class.
HRESULT RegisterServer(const std::string& module_path) {
  if (module_path.empty()) {
    std::cerr << kRegistryWriteError << " (the module's file name is unknown)\n";
    return E_FAIL;
  }
  if (FAILED(RegisterTypeLibrary(module_path))) return E_FAIL;
  return WriteAll(ClassWrites(module_path));
}

HRESULT UnregisterServer() {
  UnregisterTypeLibrary();
  DeleteAll(ClassKeys());
  return S_OK;
}

}  // namespace tarvo::automation
