#include "automation/registration.h"

#include <cstdio>
#include <iostream>
#include <string_view>
#include <vector>

#include "automation/TarvoMDrv_TLB.h"
#include "automation/type_library.h"
#include "platform/com/com_runtime.h"

namespace tarvo::automation {
namespace {

namespace registry = com::registry;

// The standard proxy/stub classes of automation interfaces: dual and
// oleautomation interfaces are marshalled from their type information,
// dispinterfaces through IDispatch.
constexpr char kPSOAInterface[] = "{00020424-0000-0000-C000-000000000046}";
constexpr char kPSDispatch[] = "{00020420-0000-0000-C000-000000000046}";

// One text value to write; an empty name is the key's default value.
struct Write {
  std::string key;
  std::string name;
  std::string value;
};

std::string VersionText(unsigned major, unsigned minor) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u", major, minor);
  return text;
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string TypeLibKey() {
  const tlb::LibraryDef& lib = tlb::Library();
  return "TypeLib\\" + GuidText(lib.guid) + "\\" + VersionText(lib.major, lib.minor);
}

std::string ClassKey() { return "CLSID\\" + GuidText(CLSID_Tarvo); }

// The automation interfaces of the library, each with its proxy/stub class.
struct InterfaceEntry {
  std::string key;
  std::string name;
  const char* proxy_stub;
};

std::vector<InterfaceEntry> AutomationInterfaces() {
  std::vector<InterfaceEntry> result;
  for (const tlb::TypeInfoDef& type : tlb::TypeInfos()) {
    const bool dual = (type.typeFlags & TYPEFLAG_FDUAL) != 0;
    const bool oleautomation = (type.typeFlags & TYPEFLAG_FOLEAUTOMATION) != 0;
    if (type.kind == TKIND_DISPATCH) {
      result.push_back({"Interface\\" + GuidText(type.guid), std::string(type.name),
                        dual ? kPSOAInterface : kPSDispatch});
    } else if (type.kind == TKIND_INTERFACE && (dual || oleautomation)) {
      result.push_back(
          {"Interface\\" + GuidText(type.guid), std::string(type.name), kPSOAInterface});
    }
  }
  return result;
}

// The locale part of the type library's key: its LCID in hexadecimal
// ("409"), as a type-library registration writes it.
std::string LocaleKey() {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(tlb::Library().lcid));
  return buf;
}

// Everything registration writes, in order: first the type library with its
// interfaces (as a type-library registration does), then the class.
std::vector<Write> RegistrationWrites(const std::string& module_path) {
  const tlb::LibraryDef& lib = tlb::Library();
  const std::string lib_id = GuidText(lib.guid);
  const std::string lib_version = VersionText(lib.major, lib.minor);
  const std::string typelib = TypeLibKey();
  const std::string win32 = typelib + "\\" + LocaleKey() + "\\win32";
  const std::string cls = ClassKey();
  const std::string clsid = GuidText(CLSID_Tarvo);

  std::vector<Write> writes = {
      {typelib, "", std::string(lib.help)},
      {win32, "", module_path},
      {typelib + "\\FLAGS", "", std::to_string(lib.libFlags)},
      {typelib + "\\HELPDIR", "", DirectoryOf(module_path)},
  };
  for (const InterfaceEntry& iface : AutomationInterfaces()) {
    writes.push_back({iface.key, "", iface.name});
    writes.push_back({iface.key + "\\ProxyStubClsid", "", iface.proxy_stub});
    writes.push_back({iface.key + "\\ProxyStubClsid32", "", iface.proxy_stub});
    writes.push_back({iface.key + "\\TypeLib", "", lib_id});
    writes.push_back({iface.key + "\\TypeLib", "Version", lib_version});
  }

  // The class. A path cannot be shortened here (no short names on this
  // system), so InprocServer32 carries the full path like ToolboxBitmap32.
  const std::vector<Write> class_writes = {
      {cls, "", kClassDescription},
      {cls + "\\InprocServer32", "", module_path},
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
  writes.insert(writes.end(), class_writes.begin(), class_writes.end());
  return writes;
}

// The keys that unregistration deletes, in order: the type library's keys
// (children first), then the class keys in their fixed order.
std::vector<std::string> UnregistrationKeys() {
  const std::string typelib = TypeLibKey();
  std::vector<std::string> keys;
  for (const InterfaceEntry& iface : AutomationInterfaces()) {
    keys.push_back(iface.key + "\\ProxyStubClsid");
    keys.push_back(iface.key + "\\ProxyStubClsid32");
    keys.push_back(iface.key + "\\TypeLib");
    keys.push_back(iface.key);
  }
  keys.push_back(typelib + "\\" + LocaleKey() + "\\win32");
  keys.push_back(typelib + "\\" + LocaleKey());
  keys.push_back(typelib + "\\FLAGS");
  keys.push_back(typelib + "\\HELPDIR");
  keys.push_back(typelib);
  // The library key itself goes only when no other version is registered
  // (a key with subkeys is not deleted).
  keys.push_back("TypeLib\\" + GuidText(tlb::Library().guid));

  const std::string cls = ClassKey();
  const std::string prog_id = kProgId;
  const std::vector<std::string> class_keys = {
      cls + "\\Verb\\0",     cls + "\\Verb",          cls + "\\Control",
      cls + "\\ToolboxBitmap32", cls + "\\MiscStatus\\1", cls + "\\MiscStatus",
      cls + "\\TypeLib",     cls + "\\Version",       cls + "\\ProgID",
      prog_id + "\\Clsid",   prog_id,                 cls + "\\InprocServer32",
      cls,
  };
  keys.insert(keys.end(), class_keys.begin(), class_keys.end());
  return keys;
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

HRESULT RegisterServer(const std::string& module_path) {
  if (module_path.empty()) {
    std::cerr << kRegistryWriteError << " (the module's file name is unknown)\n";
    return E_FAIL;
  }
  for (const Write& write : RegistrationWrites(module_path)) {
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

HRESULT UnregisterServer() {
  for (const std::string& key : UnregistrationKeys()) {
    // A missing key (S_FALSE) or one that cannot go (it still has subkeys,
    // or the store is not writable) is passed over.
    (void)registry::DeleteKey(key);
  }
  return S_OK;
}

}  // namespace tarvo::automation
