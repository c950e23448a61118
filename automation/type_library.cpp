// Type library TarvoMDrv: the tables expanded from tarvo_tlb.def and the
// ITypeLib / ITypeInfo objects that serve them.
#include "automation/type_library.h"

#include <array>
#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "automation/dispatch_invoke.h"
#include "platform/com/com_runtime.h"

namespace tarvo::tlb {
namespace {

#define TARVO_TLB_STR2(x) #x
#define TARVO_TLB_STR(x) TARVO_TLB_STR2(x)
#define TARVO_TLB_CAT2(a, b) a##b
#define TARVO_TLB_CAT(a, b) TARVO_TLB_CAT2(a, b)

// --- Tables --------------------------------------------------------------------
namespace vtype {
#define TARVO_TLB_TYPE(token, cxx, vt, coerce_vt, idl) \
  constexpr TypeDef token{vt, coerce_vt, idl, (vt) == VT_USERDEFINED ? #cxx : ""};
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
char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

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

BSTR Bstr(std::string_view text) {
  std::u16string wide(text.begin(), text.end());
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

}  // namespace

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

namespace {

// --- ITypeInfo ------------------------------------------------------------------------
constexpr MEMBERID kMemberNil = -1;
constexpr std::size_t kMaxParams = 32;

// A FUNCDESC with the storage its pointers refer to; handed out whole and
// freed by ReleaseFuncDesc.
struct FuncDescBlock {
  FUNCDESC desc;
  ELEMDESC params[kMaxParams];
  TYPEDESC pointee[kMaxParams + 1];
};
static_assert(offsetof(FuncDescBlock, desc) == 0);

struct VarDescBlock {
  VARDESC desc;
  VARIANT value;
};
static_assert(offsetof(VarDescBlock, desc) == 0);

class TypeLibrary;
TypeLibrary& TheLibrary();

class TypeInfo final : public ITypeInfo {
 public:
  TypeInfo() = default;
  void Bind(UINT index) {
    index_ = index;
    def_ = &kTypeInfos[index];
  }
  const TypeInfoDef& Def() const { return *def_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITypeInfo) {
      *ppv = static_cast<ITypeInfo*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

  HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** out) override {
    if (!out) return E_POINTER;
    auto* a = new (std::nothrow) TYPEATTR{};
    if (!a) return E_OUTOFMEMORY;
    a->guid = def_->guid;
    a->lcid = kLibrary.lcid;
    a->memidConstructor = kMemberNil;
    a->memidDestructor = kMemberNil;
    a->typekind = def_->kind;
    a->cFuncs = static_cast<WORD>(def_->funcs.size());
    a->cVars = static_cast<WORD>(def_->values.size());
    a->cImplTypes = def_->kind == TKIND_COCLASS ? 2 : 0;
    a->wTypeFlags = def_->typeFlags;
    a->wMajorVerNum = 1;
    a->wMinorVerNum = 0;
    a->cbAlignment = sizeof(void*);
    switch (def_->kind) {
      case TKIND_DISPATCH:
        // The dual interface's table holds IUnknown, IDispatch and its members;
        // a dispinterface only the first seven.
        a->cbSizeVft = static_cast<WORD>(
            (kITarvoFirstMemberSlot + ((def_->typeFlags & TYPEFLAG_FDUAL) ? def_->funcs.size() : 0)) *
            sizeof(void*));
        a->cbSizeInstance = sizeof(void*);
        break;
      case TKIND_ENUM:
        a->cbSizeInstance = 4;
        a->cbAlignment = 4;
        break;
      default:
        a->cbSizeInstance = sizeof(void*);
        break;
    }
    *out = a;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index >= def_->funcs.size()) return TYPE_E_ELEMENTNOTFOUND;
    const FuncDef& f = def_->funcs[index];
    if (f.params.size() > kMaxParams) return E_UNEXPECTED;
    auto* b = new (std::nothrow) FuncDescBlock{};
    if (!b) return E_OUTOFMEMORY;
    const bool dual = (def_->typeFlags & TYPEFLAG_FDUAL) != 0;
    FUNCDESC& d = b->desc;
    d.memid = f.dispid;
    d.funckind = FUNC_DISPATCH;
    d.invkind = f.kind;
    d.callconv = CC_STDCALL;
    d.cParams = static_cast<SHORT>(f.params.size());
    d.cParamsOpt = 0;
    d.oVft = dual ? static_cast<SHORT>((kITarvoFirstMemberSlot + index) * sizeof(void*)) : 0;
    d.cScodes = 0;
    d.elemdescFunc.tdesc.vt = dual ? VT_HRESULT : VT_VOID;
    d.wFuncFlags = f.funcFlags;
    d.lprgelemdescParam = f.params.empty() ? nullptr : b->params;
    for (std::size_t i = 0; i < f.params.size(); ++i) {
      const ParamDef& p = f.params[i];
      TYPEDESC base{};
      base.vt = p.type->vt;
      if (p.type->vt == VT_USERDEFINED)
        base.hreftype = static_cast<HREFTYPE>(TypeIndex(p.type->userType));
      ELEMDESC& e = b->params[i];
      if (p.byRef) {
        b->pointee[i] = base;
        e.tdesc.vt = VT_PTR;
        e.tdesc.lptdesc = &b->pointee[i];
      } else {
        e.tdesc = base;
      }
      e.paramdesc.pparamdescex = nullptr;
      e.paramdesc.wParamFlags = p.flags;
    }
    *out = &b->desc;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetVarDesc(UINT index, VARDESC** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index >= def_->values.size()) return TYPE_E_ELEMENTNOTFOUND;
    auto* b = new (std::nothrow) VarDescBlock{};
    if (!b) return E_OUTOFMEMORY;
    VariantInit(&b->value);
    b->value.vt = VT_I4;
    b->value.lVal = def_->values[index].value;
    b->desc.memid = EnumValueMemberId(index);
    b->desc.lpvarValue = &b->value;
    b->desc.elemdescVar.tdesc.vt = VT_I4;
    b->desc.varkind = VAR_CONST;
    *out = &b->desc;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR* names, UINT max, UINT* count) override {
    if (!names || !count) return E_POINTER;
    *count = 0;
    for (const FuncDef& f : def_->funcs) {
      if (f.dispid != memid) continue;
      if (max > 0) names[(*count)++] = Bstr(f.name);
      for (const ParamDef& p : f.params)
        if (!p.name.empty() && *count < max) names[(*count)++] = Bstr(p.name);
      return S_OK;
    }
    for (std::size_t i = 0; i < def_->values.size(); ++i)
      if (EnumValueMemberId(i) == memid) {
        if (max > 0) names[(*count)++] = Bstr(def_->values[i].name);
        return S_OK;
      }
    return TYPE_E_ELEMENTNOTFOUND;
  }

  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* out) override {
    if (!out) return E_POINTER;
    if (def_->kind != TKIND_COCLASS || index > 1) return TYPE_E_ELEMENTNOTFOUND;
    *out = static_cast<HREFTYPE>(index == 0 ? def_->defaultIface : def_->defaultSource);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* out) override {
    if (!out) return E_POINTER;
    if (def_->kind != TKIND_COCLASS || index > 1) return TYPE_E_ELEMENTNOTFOUND;
    *out = index == 0 ? IMPLTYPEFLAG_FDEFAULT : (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    if (count > 0 && (!names || !ids)) return E_POINTER;
    if (!def_->funcs.empty()) return IdsOfNames(def_->funcs, names, count, ids);
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    if (count == 0) return S_OK;
    for (std::size_t i = 0; i < def_->values.size(); ++i)
      if (SameName(names[0], def_->values[i].name)) {
        ids[0] = EnumValueMemberId(i);
        return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
      }
    return DISP_E_UNKNOWNNAME;
  }

  HRESULT STDMETHODCALLTYPE Invoke(void* instance, MEMBERID memid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* argErr) override {
    if (!instance) return E_INVALIDARG;
    if (def_->guid == IID_ITarvo)
      return InvokeITarvo(static_cast<ITarvo*>(instance), memid, flags, params, result, excep,
                          argErr);
    if (def_->kind == TKIND_DISPATCH)
      return static_cast<IDispatch*>(instance)->Invoke(memid, IID_NULL, 0, flags, params, result,
                                                       excep, argErr);
    return E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* context,
                                             BSTR* helpFile) override {
    std::string_view n;
    std::string_view d;
    if (memid == kMemberNil) {
      n = def_->name;
      d = def_->help;
    } else if (const FuncDef* f = FindFunc(memid)) {
      n = f->name;
    } else if (const EnumValueDef* v = FindValue(memid)) {
      n = v->name;
    } else {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    if (name) *name = Bstr(n);
    if (doc) *doc = d.empty() ? nullptr : Bstr(d);
    if (context) *context = 0;
    if (helpFile) *helpFile = nullptr;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR* dll, BSTR* name,
                                        WORD* ordinal) override {
    if (dll) *dll = nullptr;
    if (name) *name = nullptr;
    if (ordinal) *ordinal = 0;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE ref, ITypeInfo** out) override;
  HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR* mops) override {
    if (mops) *mops = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** lib, UINT* index) override;
  void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* attr) override { delete attr; }
  void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* desc) override {
    delete reinterpret_cast<FuncDescBlock*>(desc);
  }
  void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC* desc) override {
    delete reinterpret_cast<VarDescBlock*>(desc);
  }

 private:
  const FuncDef* FindFunc(MEMBERID memid) const {
    for (const FuncDef& f : def_->funcs)
      if (f.dispid == memid) return &f;
    return nullptr;
  }
  const EnumValueDef* FindValue(MEMBERID memid) const {
    for (std::size_t i = 0; i < def_->values.size(); ++i)
      if (EnumValueMemberId(i) == memid) return &def_->values[i];
    return nullptr;
  }

  UINT index_ = 0;
  const TypeInfoDef* def_ = nullptr;
  std::atomic<ULONG> refs_{1};
};

// --- ITypeLib -----------------------------------------------------------------------------
class TypeLibrary final : public ITypeLib {
 public:
  TypeLibrary() {
    for (UINT i = 0; i < kTypeCount; ++i) infos_[i].Bind(i);
  }
  TypeInfo* Info(UINT i) { return i < kTypeCount ? &infos_[i] : nullptr; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITypeLib) {
      *ppv = static_cast<ITypeLib*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

  UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return kTypeCount; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    TypeInfo* info = Info(index);
    if (!info) return TYPE_E_ELEMENTNOTFOUND;
    info->AddRef();
    *out = info;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* out) override {
    if (!out) return E_POINTER;
    if (index >= kTypeCount) return TYPE_E_ELEMENTNOTFOUND;
    *out = kTypeInfos[index].kind;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    for (UINT i = 0; i < kTypeCount; ++i)
      if (kTypeInfos[i].guid == guid) return GetTypeInfo(i, out);
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** out) override {
    if (!out) return E_POINTER;
    auto* a = new (std::nothrow) TLIBATTR{};
    if (!a) return E_OUTOFMEMORY;
    a->guid = kLibrary.guid;
    a->lcid = kLibrary.lcid;
    a->syskind = SYS_WIN32;
    a->wMajorVerNum = kLibrary.major;
    a->wMinorVerNum = kLibrary.minor;
    a->wLibFlags = kLibrary.libFlags;
    *out = a;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* context,
                                             BSTR* helpFile) override {
    std::string_view n;
    std::string_view d;
    if (index == -1) {
      n = kLibrary.name;
      d = kLibrary.help;
    } else if (index >= 0 && index < kTypeCount) {
      n = kTypeInfos[index].name;
      d = kTypeInfos[index].help;
    } else {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    if (name) *name = Bstr(n);
    if (doc) *doc = d.empty() ? nullptr : Bstr(d);
    if (context) *context = 0;
    if (helpFile) *helpFile = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsName(LPOLESTR name, ULONG, BOOL* found) override {
    if (!name || !found) return E_POINTER;
    *found = 0;
    ForEachName(name, [&](std::string_view match, UINT, MEMBERID) {
      // The buffer receives the name as the library spells it.
      for (std::size_t i = 0; i < match.size(); ++i) name[i] = static_cast<OLECHAR>(match[i]);
      *found = 1;
      return false;
    });
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE FindName(LPOLESTR name, ULONG, ITypeInfo** infos, MEMBERID* ids,
                                     USHORT* found) override {
    if (!name || !infos || !ids || !found) return E_POINTER;
    const USHORT max = *found;
    USHORT n = 0;
    ForEachName(name, [&](std::string_view, UINT type, MEMBERID id) {
      if (n >= max) return false;
      GetTypeInfo(type, &infos[n]);
      ids[n] = id;
      ++n;
      return true;
    });
    *found = n;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* attr) override { delete attr; }

 private:
  // Calls visit(name, type index, member id) for every type and member
  // whose name matches, until visit returns false.
  template <class Visit>
  void ForEachName(const OLECHAR* name, Visit visit) {
    for (UINT t = 0; t < kTypeCount; ++t) {
      const TypeInfoDef& d = kTypeInfos[t];
      if (SameName(name, d.name) && !visit(d.name, t, kMemberNil)) return;
      DISPID last = DISPID_UNKNOWN;
      for (const FuncDef& f : d.funcs) {
        if (f.dispid == last) continue;  // a property's entries share one name
        last = f.dispid;
        if (SameName(name, f.name) && !visit(f.name, t, f.dispid)) return;
      }
      for (std::size_t i = 0; i < d.values.size(); ++i)
        if (SameName(name, d.values[i].name) && !visit(d.values[i].name, t, EnumValueMemberId(i)))
          return;
    }
  }

  TypeInfo infos_[kTypeCount];
  std::atomic<ULONG> refs_{1};
};

TypeLibrary& TheLibrary() {
  static TypeLibrary library;
  return library;
}

HRESULT TypeInfo::GetRefTypeInfo(HREFTYPE ref, ITypeInfo** out) {
  if (!out) return E_POINTER;
  return TheLibrary().GetTypeInfo(ref, out);
}

HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** lib, UINT* index) {
  if (lib) {
    *lib = &TheLibrary();
    (*lib)->AddRef();
  }
  if (index) *index = index_;
  return S_OK;
}

}  // namespace
}  // namespace tarvo::tlb

HRESULT GetTarvoTypeLib(ITypeLib** lib) {
  if (!lib) return E_POINTER;
  *lib = &tarvo::tlb::TheLibrary();
  (*lib)->AddRef();
  return S_OK;
}

HRESULT GetTarvoTypeInfo(const IID& guid, ITypeInfo** info) {
  if (!info) return E_POINTER;
  return tarvo::tlb::TheLibrary().GetTypeInfoOfGuid(guid, info);
}
