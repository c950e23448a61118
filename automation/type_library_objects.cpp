// The ITypeLib / ITypeInfo objects that serve the type library's tables, in
// the shape a type-library loader gives a compiled library (Linux; Windows
// loads the compiled library from the module).
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "automation/dispatch_invoke.h"
#include "automation/module_state.h"
#include "automation/type_library.h"
#include "platform/com/com_runtime.h"

namespace tarvo::tlb {

namespace {

BSTR Bstr(std::string_view text) {
  std::u16string wide(text.begin(), text.end());
  return SysAllocStringLen(com::Ole(wide.data()), static_cast<UINT>(wide.size()));
}

// --- Shared pieces of the library objects ----------------------------------------------
constexpr MEMBERID kMemberNil = -1;
constexpr std::size_t kMaxParams = 32;
constexpr std::size_t kMaxPointers = 3;             // void** passed by reference
constexpr std::size_t kInheritedDispatchFuncs = 7;  // IUnknown's 3 and IDispatch's 4

// A type reference (HREFTYPE) names a type information relative to the
// library of the one that holds it: the index of an entry of the same
// library; with kImportedHref the index of an entry of the standard OLE
// library; with kInterfaceViewHref the function-table view of the dual
// interface at that index.
constexpr HREFTYPE kImportedHref = 0x10000;
constexpr HREFTYPE kInterfaceViewHref = 0x20000;
constexpr HREFTYPE kHrefIndexMask = 0xFFFF;

// A FUNCDESC with the storage its pointers refer to; handed out whole and
// freed by ReleaseFuncDesc.
struct FuncDescBlock {
  FUNCDESC desc;
  ELEMDESC params[kMaxParams];
  TYPEDESC pointees[kMaxParams + 1][kMaxPointers];  // the last row: the return type
};
static_assert(offsetof(FuncDescBlock, desc) == 0);

struct VarDescBlock {
  VARDESC desc;
  VARIANT value;
};
static_assert(offsetof(VarDescBlock, desc) == 0);

// The reference count of an object that lives as long as the module: it is
// never freed, but while callers hold references beyond its own one it
// counts as a live object of the module (DllCanUnloadNow).
class ModuleObjectRefs {
 public:
  ULONG Add() {
    const ULONG before = refs_.fetch_add(1, std::memory_order_acq_rel);
    if (before == 1) automation::ObjectCreated();
    return before + 1;
  }
  ULONG Drop() {
    ULONG current = refs_.load(std::memory_order_acquire);
    do {
      if (current <= 1) return 1;  // a surplus Release: the object's own reference stays
    } while (!refs_.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel));
    if (current == 2) automation::ObjectDestroyed();
    return current - 1;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

// How a function is shown: as a dispatch member (FUNC_DISPATCH, the retval
// as the return type) or as a function-table entry (HRESULT, oVft, every
// parameter).
enum class Form { kDispatch, kVtable };
// Which of the two type informations of a dual interface.
enum class View { kPrimary, kInterface };

const TypeInfoDef* FindDef(std::span<const TypeInfoDef> defs, std::string_view name, UINT* index) {
  for (std::size_t i = 0; i < defs.size(); ++i)
    if (defs[i].name == name) {
      if (index) *index = static_cast<UINT>(i);
      return &defs[i];
    }
  return nullptr;
}

// The interface a type derives from: dispinterfaces and duals from IDispatch.
std::string_view BaseName(const TypeInfoDef& def) {
  if (!def.base.empty()) return def.base;
  return def.kind == TKIND_DISPATCH ? std::string_view("IDispatch") : std::string_view();
}

// Number of function-table slots the base interfaces of `def` take.
std::size_t BaseSlots(const TypeInfoDef& def) {
  const std::string_view base = BaseName(def);
  if (base.empty()) return 0;
  const TypeInfoDef* b = FindDef(StdOleTypeInfos(), base, nullptr);
  return b ? b->funcs.size() + BaseSlots(*b) : 0;
}

bool IsDual(const TypeInfoDef& def) {
  return def.kind == TKIND_DISPATCH && (def.typeFlags & TYPEFLAG_FDUAL) != 0;
}

class TypeLibrary;
class TypeInfo;
TypeLibrary& TheLibrary();
TypeLibrary& StdOle();

// ITypeComp of one type information: binds member names to descriptions.
class TypeComp final : public ITypeComp {
 public:
  explicit TypeComp(TypeInfo* info);
  ~TypeComp();
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITypeComp) {
      *ppv = static_cast<ITypeComp*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Bind(LPOLESTR name, ULONG, WORD flags, ITypeInfo** info, DESCKIND* kind,
                                 BINDPTR* bound) override;
  HRESULT STDMETHODCALLTYPE BindType(LPOLESTR, ULONG, ITypeInfo** info, ITypeComp** comp) override {
    // A type information holds no nested types.
    if (info) *info = nullptr;
    if (comp) *comp = nullptr;
    return (info && comp) ? S_OK : E_POINTER;
  }

 private:
  TypeInfo* info_;
  std::atomic<ULONG> refs_{1};
};

class TypeInfo final : public ITypeInfo {
 public:
  void Bind(TypeLibrary* lib, const TypeInfoDef* def, UINT index, View view) {
    lib_ = lib;
    def_ = def;
    index_ = index;
    view_ = view;
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
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Add(); }
  ULONG STDMETHODCALLTYPE Release() override { return refs_.Drop(); }

  HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** out) override;
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** out) override {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) TypeComp(this);
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** out) override;
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
    if (const FuncDef* f = FindFunc(memid)) {
      // The function's name, then its parameters' (the retval's included).
      if (max > 0) names[(*count)++] = Bstr(f->name);
      for (const ParamDef& p : f->params)
        if (!p.name.empty() && *count < max) names[(*count)++] = Bstr(p.name);
      return S_OK;
    }
    if (const EnumValueDef* v = FindValue(memid)) {
      if (max > 0) names[(*count)++] = Bstr(v->name);
      return S_OK;
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* out) override;
  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* out) override {
    if (!out) return E_POINTER;
    *out = 0;
    if (def_->kind == TKIND_COCLASS) {
      if (index > 1) return TYPE_E_ELEMENTNOTFOUND;
      *out = index == 0 ? IMPLTYPEFLAG_FDEFAULT : (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
      return S_OK;
    }
    return (index == 0 && !BaseName(*def_).empty()) ? S_OK : TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    if (count == 0) return S_OK;
    if (!names || !ids) return E_POINTER;
    if (!def_->funcs.empty()) {
      const HRESULT hr = IdsOfNames(def_->funcs, names, count, ids);
      if (hr != DISP_E_UNKNOWNNAME || ids[0] != DISPID_UNKNOWN || !IsDualDispatchView()) return hr;
      // The IUnknown and IDispatch functions the dispatch view lists too.
      for (UINT i = 0; i < kInheritedDispatchFuncs; ++i) {
        const FuncDef& f = *Inherited(i);
        if (SameName(names[0], f.name)) {
          ids[0] = f.dispid;
          return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
        }
      }
      return hr;
    }
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
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
    // Both views of ITarvo call through its function table.
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

  // ITypeComp::Bind of this type information.
  HRESULT BindName(const OLECHAR* name, WORD flags, ITypeInfo** info, DESCKIND* kind,
                   BINDPTR* bound) {
    for (UINT i = 0; i < FuncCount(); ++i) {
      const FuncDef& f = *FuncAt(i).func;
      if (!SameName(name, f.name) || (flags != 0 && (f.kind & flags) == 0)) continue;
      const HRESULT hr = GetFuncDesc(i, &bound->lpfuncdesc);
      if (FAILED(hr)) return hr;
      *kind = DESCKIND_FUNCDESC;
      AddRef();
      *info = this;
      return S_OK;
    }
    for (UINT i = 0; i < def_->values.size(); ++i) {
      if (!SameName(name, def_->values[i].name)) continue;
      const HRESULT hr = GetVarDesc(i, &bound->lpvardesc);
      if (FAILED(hr)) return hr;
      *kind = DESCKIND_VARDESC;
      AddRef();
      *info = this;
      return S_OK;
    }
    return S_OK;  // DESCKIND_NONE: no such member
  }

 private:
  struct FuncRef {
    const FuncDef* func;
    Form form;
    std::size_t slot;  // function-table slot (kVtable)
  };
  bool IsDualDispatchView() const { return view_ == View::kPrimary && IsDual(*def_); }
  static const FuncDef* Inherited(std::size_t i) {
    const auto defs = StdOleTypeInfos();
    const auto unknown = FindDef(defs, "IUnknown", nullptr)->funcs;
    const auto dispatch = FindDef(defs, "IDispatch", nullptr)->funcs;
    return i < unknown.size() ? &unknown[i] : &dispatch[i - unknown.size()];
  }
  UINT FuncCount() const {
    return static_cast<UINT>((IsDualDispatchView() ? kInheritedDispatchFuncs : 0) +
                             def_->funcs.size());
  }
  // The i-th function as this view lists it (i < FuncCount()).
  FuncRef FuncAt(UINT i) const {
    if (IsDualDispatchView()) {
      if (i < kInheritedDispatchFuncs) return {Inherited(i), Form::kDispatch, 0};
      return {&def_->funcs[i - kInheritedDispatchFuncs], Form::kDispatch, 0};
    }
    const Form form = (view_ == View::kInterface || def_->kind == TKIND_INTERFACE)
                          ? Form::kVtable
                          : Form::kDispatch;
    return {&def_->funcs[i], form, BaseSlots(*def_) + i};
  }
  const FuncDef* FindFunc(MEMBERID memid) const {
    for (UINT i = 0; i < FuncCount(); ++i)
      if (FuncAt(i).func->dispid == memid) return FuncAt(i).func;
    return nullptr;
  }
  const EnumValueDef* FindValue(MEMBERID memid) const {
    for (std::size_t i = 0; i < def_->values.size(); ++i)
      if (EnumValueMemberId(i) == memid) return &def_->values[i];
    return nullptr;
  }
  // Fills `out` with `type` behind `pointers` levels of VT_PTR; the deeper
  // levels go to `chain`.
  void DescribeType(const TypeDef& type, std::size_t pointers, TYPEDESC* chain,
                    TYPEDESC& out) const;

  TypeLibrary* lib_ = nullptr;
  const TypeInfoDef* def_ = nullptr;
  UINT index_ = 0;
  View view_ = View::kPrimary;
  ModuleObjectRefs refs_;
};

TypeComp::TypeComp(TypeInfo* info) : info_(info) {
  info_->AddRef();
  automation::ObjectCreated();
}

TypeComp::~TypeComp() {
  info_->Release();
  automation::ObjectDestroyed();
}

HRESULT STDMETHODCALLTYPE TypeComp::Bind(LPOLESTR name, ULONG, WORD flags, ITypeInfo** info,
                                         DESCKIND* kind, BINDPTR* bound) {
  if (!name || !info || !kind || !bound) return E_POINTER;
  *info = nullptr;
  *kind = DESCKIND_NONE;
  bound->lpfuncdesc = nullptr;
  return info_->BindName(name, flags, info, kind, bound);
}

// --- ITypeLib -----------------------------------------------------------------------------
class TypeLibrary final : public ITypeLib {
 public:
  TypeLibrary(const LibraryDef& lib, std::span<const TypeInfoDef> defs, bool importsStdOle)
      : lib_(lib), defs_(defs), importsStdOle_(importsStdOle) {
    for (UINT i = 0; i < defs_.size(); ++i) {
      infos_.push_back(std::make_unique<TypeInfo>());
      infos_.back()->Bind(this, &defs_[i], i, View::kPrimary);
      views_.push_back(nullptr);
      if (IsDual(defs_[i])) {
        views_.back() = std::make_unique<TypeInfo>();
        views_.back()->Bind(this, &defs_[i], i, View::kInterface);
      }
    }
  }
  UINT Count() const { return static_cast<UINT>(defs_.size()); }
  TypeInfo* Info(UINT i) { return i < Count() ? infos_[i].get() : nullptr; }
  TypeInfo* InterfaceView(UINT i) { return i < Count() ? views_[i].get() : nullptr; }
  // The reference by which a type of this library names the type `name`.
  HREFTYPE HrefOf(std::string_view name) const {
    UINT index = 0;
    if (FindDef(defs_, name, &index)) return index;
    if (importsStdOle_ && FindDef(StdOleTypeInfos(), name, &index)) return kImportedHref | index;
    return kHrefIndexMask;  // resolves to nothing
  }
  bool ImportsStdOle() const { return importsStdOle_; }

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
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Add(); }
  ULONG STDMETHODCALLTYPE Release() override { return refs_.Drop(); }

  UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return Count(); }
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
    if (index >= Count()) return TYPE_E_ELEMENTNOTFOUND;
    *out = defs_[index].kind;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    for (UINT i = 0; i < Count(); ++i)
      if (defs_[i].guid == guid && defs_[i].kind != TKIND_RECORD) return GetTypeInfo(i, out);
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** out) override {
    if (!out) return E_POINTER;
    auto* a = new (std::nothrow) TLIBATTR{};
    if (!a) return E_OUTOFMEMORY;
    a->guid = lib_.guid;
    a->lcid = lib_.lcid;
    // The pointer size of the code the library describes.
    a->syskind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
    a->wMajorVerNum = lib_.major;
    a->wMinorVerNum = lib_.minor;
    a->wLibFlags = lib_.libFlags;
    *out = a;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** out) override;
  HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* context,
                                             BSTR* helpFile) override {
    std::string_view n;
    std::string_view d;
    if (index == -1) {
      n = lib_.name;
      d = lib_.help;
    } else if (index >= 0 && static_cast<UINT>(index) < Count()) {
      n = defs_[index].name;
      d = defs_[index].help;
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

  // Calls visit(name, type index, member id) for every type and member
  // whose name matches, until visit returns false.
  template <class Visit>
  void ForEachName(const OLECHAR* name, Visit visit) {
    for (UINT t = 0; t < Count(); ++t) {
      const TypeInfoDef& d = defs_[t];
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

 private:
  const LibraryDef& lib_;
  std::span<const TypeInfoDef> defs_;
  bool importsStdOle_;
  std::vector<std::unique_ptr<TypeInfo>> infos_;
  std::vector<std::unique_ptr<TypeInfo>> views_;  // function-table views of duals
  ModuleObjectRefs refs_;
};

// ITypeComp of a library: its enumeration constants by name, its types by
// name (BindType).
class LibraryComp final : public ITypeComp {
 public:
  explicit LibraryComp(TypeLibrary* lib) : lib_(lib) {
    lib_->AddRef();
    automation::ObjectCreated();
  }
  ~LibraryComp() {
    lib_->Release();
    automation::ObjectDestroyed();
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITypeComp) {
      *ppv = static_cast<ITypeComp*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Bind(LPOLESTR name, ULONG, WORD, ITypeInfo** info, DESCKIND* kind,
                                 BINDPTR* bound) override {
    if (!name || !info || !kind || !bound) return E_POINTER;
    *info = nullptr;
    *kind = DESCKIND_NONE;
    bound->lpfuncdesc = nullptr;
    for (UINT t = 0; t < lib_->Count(); ++t) {
      TypeInfo* type = lib_->Info(t);
      if (type->Def().kind != TKIND_ENUM) continue;
      const HRESULT hr = type->BindName(name, 0, info, kind, bound);
      if (FAILED(hr) || *kind != DESCKIND_NONE) return hr;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE BindType(LPOLESTR name, ULONG, ITypeInfo** info,
                                     ITypeComp** comp) override {
    if (!name || !info || !comp) return E_POINTER;
    *info = nullptr;
    *comp = nullptr;
    for (UINT t = 0; t < lib_->Count(); ++t)
      if (SameName(name, lib_->Info(t)->Def().name)) return lib_->GetTypeInfo(t, info);
    return S_OK;
  }

 private:
  TypeLibrary* lib_;
  std::atomic<ULONG> refs_{1};
};

HRESULT STDMETHODCALLTYPE TypeLibrary::GetTypeComp(ITypeComp** out) {
  if (!out) return E_POINTER;
  *out = new (std::nothrow) LibraryComp(this);
  return *out ? S_OK : E_OUTOFMEMORY;
}

TypeLibrary& TheLibrary() {
  static TypeLibrary library(Library(), TypeInfos(), true);
  return library;
}

TypeLibrary& StdOle() {
  static TypeLibrary library(StdOleLibrary(), StdOleTypeInfos(), false);
  return library;
}

// --- TypeInfo members that need the libraries ------------------------------------------------
void TypeInfo::DescribeType(const TypeDef& type, std::size_t pointers, TYPEDESC* chain,
                            TYPEDESC& out) const {
  TYPEDESC base{};
  base.vt = type.vt;
  if (type.vt == VT_USERDEFINED) base.hreftype = lib_->HrefOf(type.userType);
  if (pointers == 0) {
    out = base;
    return;
  }
  chain[pointers - 1] = base;
  for (std::size_t k = pointers - 1; k > 0; --k) {
    chain[k - 1] = TYPEDESC{};
    chain[k - 1].vt = VT_PTR;
    chain[k - 1].lptdesc = &chain[k];
  }
  out = TYPEDESC{};
  out.vt = VT_PTR;
  out.lptdesc = &chain[0];
}

HRESULT STDMETHODCALLTYPE TypeInfo::GetTypeAttr(TYPEATTR** out) {
  if (!out) return E_POINTER;
  auto* a = new (std::nothrow) TYPEATTR{};
  if (!a) return E_OUTOFMEMORY;
  const TYPEKIND kind = view_ == View::kInterface ? TKIND_INTERFACE : def_->kind;
  a->guid = def_->guid;
  a->lcid = lib_ == &TheLibrary() ? Library().lcid : 0;
  a->memidConstructor = kMemberNil;
  a->memidDestructor = kMemberNil;
  a->typekind = kind;
  a->cFuncs = static_cast<WORD>(FuncCount());
  a->cVars = static_cast<WORD>(def_->values.size());
  a->cImplTypes = def_->kind == TKIND_COCLASS ? 2 : (BaseName(*def_).empty() ? 0 : 1);
  a->wTypeFlags = def_->typeFlags;
  // A dispatch view is not itself an automation function table.
  if (IsDualDispatchView()) a->wTypeFlags &= static_cast<WORD>(~TYPEFLAG_FOLEAUTOMATION);
  a->wMajorVerNum = def_->major;
  a->wMinorVerNum = def_->minor;
  a->cbAlignment = sizeof(void*);
  a->cbSizeInstance = sizeof(void*);
  switch (kind) {
    case TKIND_DISPATCH:
      // Dispatch views are called through IDispatch's seven entries.
      a->cbSizeVft = static_cast<WORD>(kInheritedDispatchFuncs * sizeof(void*));
      break;
    case TKIND_INTERFACE:
      a->cbSizeVft = static_cast<WORD>((BaseSlots(*def_) + def_->funcs.size()) * sizeof(void*));
      break;
    case TKIND_ENUM:
      a->cbSizeInstance = 4;
      a->cbAlignment = 4;
      break;
    case TKIND_ALIAS:
      a->tdescAlias.vt = def_->aliasVt;
      a->cbSizeInstance = def_->instanceSize;
      a->cbAlignment = 4;
      break;
    case TKIND_RECORD:
      a->cbSizeInstance = def_->instanceSize;
      break;
    default:
      break;
  }
  *out = a;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE TypeInfo::GetFuncDesc(UINT index, FUNCDESC** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (index >= FuncCount()) return TYPE_E_ELEMENTNOTFOUND;
  const FuncRef ref = FuncAt(index);
  const FuncDef& f = *ref.func;
  if (f.params.size() > kMaxParams) return E_UNEXPECTED;
  auto* b = new (std::nothrow) FuncDescBlock{};
  if (!b) return E_OUTOFMEMORY;
  FUNCDESC& d = b->desc;
  d.memid = f.dispid;
  d.invkind = f.kind;
  d.callconv = CC_STDCALL;
  d.cParamsOpt = 0;
  d.cScodes = 0;
  d.wFuncFlags = f.funcFlags;
  std::size_t count = f.params.size();
  TYPEDESC* returnChain = b->pointees[kMaxParams];
  if (ref.form == Form::kDispatch) {
    // The retval becomes what the member returns and leaves the parameters;
    // a function that returns only an HRESULT returns nothing.
    d.funckind = FUNC_DISPATCH;
    d.oVft = 0;
    if (const ParamDef* r = f.Retval()) {
      --count;
      DescribeType(*r->type, r->type->indirection, returnChain, d.elemdescFunc.tdesc);
    } else if (f.returns) {
      DescribeType(*f.returns, f.returns->indirection, returnChain, d.elemdescFunc.tdesc);
    } else {
      d.elemdescFunc.tdesc.vt = VT_VOID;
    }
  } else {
    d.funckind = FUNC_PUREVIRTUAL;
    d.oVft = static_cast<SHORT>(ref.slot * sizeof(void*));
    if (f.returns)
      DescribeType(*f.returns, f.returns->indirection, returnChain, d.elemdescFunc.tdesc);
    else
      d.elemdescFunc.tdesc.vt = VT_HRESULT;
  }
  d.cParams = static_cast<SHORT>(count);
  d.lprgelemdescParam = count == 0 ? nullptr : b->params;
  for (std::size_t i = 0; i < count; ++i) {
    const ParamDef& p = f.params[i];
    ELEMDESC& e = b->params[i];
    DescribeType(*p.type, p.type->indirection + (p.byRef ? 1 : 0), b->pointees[i], e.tdesc);
    e.paramdesc.pparamdescex = nullptr;
    e.paramdesc.wParamFlags = p.flags;
  }
  *out = &b->desc;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE TypeInfo::GetRefTypeOfImplType(UINT index, HREFTYPE* out) {
  if (!out) return E_POINTER;
  if (def_->kind == TKIND_COCLASS) {
    if (index > 1) return TYPE_E_ELEMENTNOTFOUND;
    *out = static_cast<HREFTYPE>(index == 0 ? def_->defaultIface : def_->defaultSource);
    return S_OK;
  }
  // -1 on the dispatch view of a dual interface: its function-table view.
  if (index == static_cast<UINT>(-1) && IsDualDispatchView()) {
    *out = kInterfaceViewHref | index_;
    return S_OK;
  }
  const std::string_view base = BaseName(*def_);
  if (index != 0 || base.empty()) return TYPE_E_ELEMENTNOTFOUND;
  *out = lib_->HrefOf(base);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE TypeInfo::GetRefTypeInfo(HREFTYPE ref, ITypeInfo** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  const UINT index = ref & kHrefIndexMask;
  if (ref == (kInterfaceViewHref | index)) {
    TypeInfo* view = lib_->InterfaceView(index);
    if (!view) return TYPE_E_ELEMENTNOTFOUND;
    view->AddRef();
    *out = view;
    return S_OK;
  }
  if (ref == (kImportedHref | index))
    return lib_->ImportsStdOle() ? StdOle().GetTypeInfo(index, out) : TYPE_E_ELEMENTNOTFOUND;
  if (ref != index) return TYPE_E_ELEMENTNOTFOUND;
  return lib_->GetTypeInfo(index, out);
}

HRESULT STDMETHODCALLTYPE TypeInfo::GetContainingTypeLib(ITypeLib** lib, UINT* index) {
  if (lib) {
    *lib = lib_;
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

HRESULT GetStdOleTypeLib(ITypeLib** lib) {
  if (!lib) return E_POINTER;
  *lib = &tarvo::tlb::StdOle();
  (*lib)->AddRef();
  return S_OK;
}
