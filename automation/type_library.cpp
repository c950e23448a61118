// Type library TarvoMDrv: the tables expanded from tarvo_tlb.def (the objects
// that serve them on Linux are in type_library_objects.cpp).
#include "automation/type_library.h"

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "automation/dispatch_invoke.h"
#include "automation/module_state.h"
#include "platform/com/com_runtime.h"

namespace tarvo::tlb {
namespace {

#define TARVO_TLB_STR2(x) #x
#define TARVO_TLB_STR(x) TARVO_TLB_STR2(x)
#define TARVO_TLB_CAT2(a, b) a##b
#define TARVO_TLB_CAT(a, b) TARVO_TLB_CAT2(a, b)

// --- Tables --------------------------------------------------------------------
namespace vtype {
// The library's enumerations are its own user-defined types; OLE_COLOR and
// the interface pointer IFontDisp* are the standard OLE library's.
constexpr TypeDef MakeType(VARTYPE vt, VARTYPE coerce, std::string_view idl, std::string_view cxx) {
  if (vt == VT_USERDEFINED) return {vt, coerce, idl, cxx};
  if (idl == "OLE_COLOR") return {VT_USERDEFINED, coerce, idl, "OLE_COLOR"};
  if (vt == VT_DISPATCH && idl.ends_with("*"))
    return {VT_USERDEFINED, coerce, idl, idl.substr(0, idl.size() - 1), 1};
  return {vt, coerce, idl, ""};
}
#define TARVO_TLB_TYPE(token, cxx, vt, coerce_vt, idl) \
  constexpr TypeDef token = MakeType(vt, coerce_vt, idl, #cxx);
#include "automation/tarvo_tlb.def"
}  // namespace vtype

namespace invkind {
constexpr INVOKEKIND GET = INVOKE_PROPERTYGET;
constexpr INVOKEKIND PUT = INVOKE_PROPERTYPUT;
constexpr INVOKEKIND PUTREF = INVOKE_PROPERTYPUTREF;
constexpr INVOKEKIND METHOD = INVOKE_FUNC;
}  // namespace invkind
namespace funcflag {
constexpr WORD NONE = 0;
constexpr WORD HIDDEN = FUNCFLAG_FHIDDEN;
}  // namespace funcflag

template <class... P>
constexpr std::array<ParamDef, sizeof...(P)> MakeParams(P... p) {
  return {p...};
}

#define TARVO_TLB_IN(type, name) ParamDef{#name, &vtype::type, PARAMFLAG_FIN, false}
#define TARVO_TLB_INOUT(type, name) \
  ParamDef{#name, &vtype::type, static_cast<USHORT>(PARAMFLAG_FIN | PARAMFLAG_FOUT), true}
#define TARVO_TLB_RETVAL(type, name) \
  ParamDef{#name, &vtype::type, static_cast<USHORT>(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL), true}
#define TARVO_TLB_PUTVAL(type) ParamDef{"", &vtype::type, PARAMFLAG_FIN, false}
#define TARVO_TLB_PUTREFVAL(type) ParamDef{"", &vtype::type, PARAMFLAG_FIN, true}

namespace params {
#define TARVO_TLB_FUNC(iface, kind, name, dispid, flag, ...) \
  constexpr auto TARVO_TLB_CAT(iface##_, TARVO_TLB_CXXNAME(kind, name)) = MakeParams(__VA_ARGS__);
#define TARVO_TLB_EVENT(iface, name, dispid, ...) constexpr auto iface##_##name = MakeParams(__VA_ARGS__);
#include "automation/tarvo_tlb.def"
}  // namespace params

constexpr FuncDef kITarvoFuncs[] = {
#define TARVO_TLB_FUNC(iface, kind, name, dispid, flag, ...)                             \
  FuncDef{#name, TARVO_TLB_STR(TARVO_TLB_CXXNAME(kind, name)), invkind::kind, dispid, \
          funcflag::flag, params::TARVO_TLB_CAT(iface##_, TARVO_TLB_CXXNAME(kind, name))},
#include "automation/tarvo_tlb.def"
};

constexpr FuncDef kTarvoEvents[] = {
#define TARVO_TLB_EVENT(iface, name, dispid, ...) \
  FuncDef{#name, #name, INVOKE_FUNC, dispid, 0, params::iface##_##name},
#include "automation/tarvo_tlb.def"
};

namespace enums {
#define TARVO_TLB_ENUM_BEGIN(name, symbol, guid) constexpr EnumValueDef name[] = {
#define TARVO_TLB_ENUM_VALUE(enum_name, name, value) EnumValueDef{#name, value},
#define TARVO_TLB_ENUM_END(name) };
#include "automation/tarvo_tlb.def"
}  // namespace enums

constexpr LibraryDef kLibrary = {
#define TARVO_TLB_LIBRARY(name, symbol, guid, major, minor, lcid, help) \
  #name, symbol, major, minor, lcid, help, LIBFLAG_FCONTROL
#include "automation/tarvo_tlb.def"
};

// Index of a type-information entry, counted in definition order.
enum TypeIndexTag : int {
#define TARVO_TLB_DUAL_BEGIN(name, symbol, guid, help) kIndex_##name,
#define TARVO_TLB_DISP_BEGIN(name, symbol, guid, help) kIndex_##name,
#define TARVO_TLB_COCLASS(name, symbol, guid, help, iface, source) kIndex_##name,
#define TARVO_TLB_ENUM_BEGIN(name, symbol, guid) kIndex_##name,
#include "automation/tarvo_tlb.def"
  kTypeCount
};

constexpr TypeInfoDef kTypeInfos[] = {
#define TARVO_TLB_DUAL_BEGIN(name, symbol, guid, help)                                             \
  TypeInfoDef{#name, TKIND_DISPATCH, symbol, help,                                                  \
              static_cast<WORD>(TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE), \
              kITarvoFuncs, {}, -1, -1},
#define TARVO_TLB_DISP_BEGIN(name, symbol, guid, help) \
  TypeInfoDef{#name, TKIND_DISPATCH, symbol, help, TYPEFLAG_FDISPATCHABLE, kTarvoEvents, {}, -1, -1},
#define TARVO_TLB_COCLASS(name, symbol, guid, help, iface, source)                                 \
  TypeInfoDef{#name, TKIND_COCLASS, symbol, help,                                                   \
              static_cast<WORD>(TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL), {}, {}, kIndex_##iface, \
              kIndex_##source},
#define TARVO_TLB_ENUM_BEGIN(name, symbol, guid) \
  TypeInfoDef{#name, TKIND_ENUM, symbol, "", 0, {}, enums::name, -1, -1},
#include "automation/tarvo_tlb.def"
};
static_assert(std::size(kTypeInfos) == kTypeCount);
static_assert(std::size(kITarvoFuncs) == 53, "ITarvo has 53 function-table entries");
static_assert(std::size(kTarvoEvents) == 30, "ITarvoEvents has 30 events");

// --- Helpers ---------------------------------------------------------------------

}  // namespace

namespace {
char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

}  // namespace

bool SameName(const OLECHAR* wide, std::string_view name) {
  if (!wide) return false;
  std::size_t i = 0;
  for (; wide[i] != 0; ++i) {
    if (i >= name.size()) return false;
    if (Fold(wide[i]) != Fold(static_cast<char16_t>(static_cast<unsigned char>(name[i]))))
      return false;
  }
  return i == name.size();
}

// --- Table access ------------------------------------------------------------------
const LibraryDef& Library() { return kLibrary; }
std::span<const TypeInfoDef> TypeInfos() { return kTypeInfos; }
std::span<const FuncDef> ITarvoFuncs() { return kITarvoFuncs; }
std::span<const FuncDef> TarvoEvents() { return kTarvoEvents; }

int TypeIndex(std::string_view name) {
  for (std::size_t i = 0; i < std::size(kTypeInfos); ++i)
    if (kTypeInfos[i].name == name) return static_cast<int>(i);
  return -1;
}

const FuncDef* FindTarvoEvent(std::string_view name) {
  for (const FuncDef& e : kTarvoEvents)
    if (e.name == name) return &e;
  return nullptr;
}

const FuncDef* FindTarvoEvent(DISPID dispid) {
  for (const FuncDef& e : kTarvoEvents)
    if (e.dispid == dispid) return &e;
  return nullptr;
}

HRESULT IdsOfNames(std::span<const FuncDef> funcs, const LPOLESTR* names, UINT count,
                   DISPID* ids) {
  if (count == 0) return S_OK;
  if (!names || !ids) return E_POINTER;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  const FuncDef* member = nullptr;
  for (const FuncDef& f : funcs)
    if (SameName(names[0], f.name)) {
      member = &f;
      break;
    }
  if (!member) return DISP_E_UNKNOWNNAME;
  ids[0] = member->dispid;
  HRESULT hr = S_OK;
  for (UINT i = 1; i < count; ++i) {
    // A property's parameter names are those of its entries taken together
    // (the getter's `Value`; a put's value is unnamed).
    for (const FuncDef& f : funcs) {
      if (f.dispid != member->dispid) continue;
      for (std::size_t p = 0; p < f.params.size() && ids[i] == DISPID_UNKNOWN; ++p)
        if (!f.params[p].name.empty() && SameName(names[i], f.params[p].name))
          ids[i] = static_cast<DISPID>(p);
      if (ids[i] != DISPID_UNKNOWN) break;
    }
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

}  // namespace tarvo::tlb
