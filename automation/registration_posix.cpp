// The system-dependent steps of self-registration on Linux: the keys a
// type-library registration writes for TarvoMDrv 1.0 and its automation
// interfaces, written into the registry store; paths as they are.
#include <cstdio>
#include <string>
#include <vector>

#include "automation/registration.h"
#include "automation/registration_steps.h"
#include "automation/type_library.h"

namespace tarvo::automation {
namespace {

// The standard proxy/stub classes of automation interfaces: dual and
// oleautomation interfaces are marshalled from their type information,
// dispinterfaces through IDispatch.
constexpr char kPSOAInterface[] = "{00020424-0000-0000-C000-000000000046}";
constexpr char kPSDispatch[] = "{00020420-0000-0000-C000-000000000046}";

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string TypeLibKey() {
  const tlb::LibraryDef& lib = tlb::Library();
  return "TypeLib\\" + GuidText(lib.guid) + "\\" + VersionText(lib.major, lib.minor);
}

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

}  // namespace

HRESULT RegisterTypeLibrary(const std::string& module_path) {
  const tlb::LibraryDef& lib = tlb::Library();
  const std::string lib_id = GuidText(lib.guid);
  const std::string lib_version = VersionText(lib.major, lib.minor);
  const std::string typelib = TypeLibKey();
  const std::string win32 = typelib + "\\" + LocaleKey() + "\\win32";

  std::vector<RegistryWrite> writes = {
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
  return WriteAll(writes);
}

void UnregisterTypeLibrary() {
  // Children first.
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
  DeleteAll(keys);
}

// Linux has no short file names.
std::string InprocServerPath(const std::string& module_path) { return module_path; }

}  // namespace tarvo::automation
