// ITarvo's type information in the standard shape of a compiled dual
// interface, checked against a list written here from the rules of that
// shape (not from the library's definition), and used by a small generic
// client that knows only those rules.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "automation/type_library.h"
#include "tests/automation/typelib_fake_tarvo.h"

namespace tarvo::tlb::test {
namespace {

template <class T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
};

std::string Take(BSTR b) {
  std::string s = Narrow(b);
  SysFreeString(b);
  return s;
}

std::string NameOf(ITypeInfo* info, MEMBERID id = -1) {
  BSTR name = nullptr;
  EXPECT_EQ(info->GetDocumentation(id, &name, nullptr, nullptr, nullptr), S_OK);
  return Take(name);
}

TYPEATTR AttrOf(ITypeInfo* info) {
  TYPEATTR* a = nullptr;
  EXPECT_EQ(info->GetTypeAttr(&a), S_OK);
  TYPEATTR copy = *a;
  info->ReleaseTypeAttr(a);
  return copy;
}

Ref<ITypeInfo> Referenced(ITypeInfo* owner, HREFTYPE ref) {
  Ref<ITypeInfo> info;
  EXPECT_EQ(owner->GetRefTypeInfo(ref, &info.p), S_OK);
  return info;
}

std::string TypeText(ITypeInfo* owner, const TYPEDESC& t) {
  switch (t.vt) {
    case VT_PTR: return "*" + TypeText(owner, *t.lptdesc);
    case VT_VOID: return "void";
    case VT_I1: return "char";
    case VT_UI1: return "byte";
    case VT_I2: return "short";
    case VT_UI2: return "ushort";
    case VT_I4: return "long";
    case VT_UI4: return "ulong";
    case VT_UINT: return "uint";
    case VT_BOOL: return "bool";
    case VT_BSTR: return "BSTR";
    case VT_VARIANT: return "VARIANT";
    case VT_HRESULT: return "HRESULT";
    case VT_USERDEFINED: return NameOf(Referenced(owner, t.hreftype).p);
    default: return "vt" + std::to_string(t.vt);
  }
}

// "memid kind Name(type flags, ...) returns [hidden] [restricted]"
std::string Describe(ITypeInfo* info, UINT index) {
  FUNCDESC* f = nullptr;
  EXPECT_EQ(info->GetFuncDesc(index, &f), S_OK);
  static const char* const kinds[] = {"", "func", "get", "", "put", "", "", "", "putref"};
  char id[16];
  std::snprintf(id, sizeof id, f->memid >= 0x60000000 ? "0x%X" : "%d", static_cast<unsigned>(f->memid));
  std::string s = std::string(id) + " " + kinds[f->invkind] + " " + NameOf(info, f->memid) + "(";
  for (SHORT p = 0; p < f->cParams; ++p) {
    const ELEMDESC& e = f->lprgelemdescParam[p];
    const USHORT flags = e.paramdesc.wParamFlags;
    s += std::string(p ? ", " : "") + TypeText(info, e.tdesc) + " " +
         ((flags & PARAMFLAG_FIN) && (flags & PARAMFLAG_FOUT) ? "in,out"
          : (flags & PARAMFLAG_FOUT)                          ? "out"
                                                              : "in");
  }
  s += ") " + TypeText(info, f->elemdescFunc.tdesc);
  if (f->wFuncFlags & FUNCFLAG_FHIDDEN) s += " hidden";
  if (f->wFuncFlags & FUNCFLAG_FRESTRICTED) s += " restricted";
  EXPECT_EQ(f->funckind, FUNC_DISPATCH);
  info->ReleaseFuncDesc(f);
  return s;
}

Ref<ITypeInfo> DispatchView() {
  Ref<ITypeInfo> info;
  EXPECT_EQ(GetTarvoTypeInfo(IID_ITarvo, &info.p), S_OK);
  return info;
}

TEST(TypelibStandardForm, DispatchViewListsMembersAsACompiledDualInterface) {
  Ref<ITypeInfo> info = DispatchView();
  const TYPEATTR a = AttrOf(info.p);
  EXPECT_EQ(a.typekind, TKIND_DISPATCH);
  EXPECT_EQ(a.wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE);
  EXPECT_EQ(a.cImplTypes, 1);
  EXPECT_EQ(a.cbSizeVft, 7 * sizeof(void*));

  const std::vector<std::string> expected = {
      "0x60000000 func QueryInterface(*GUID in, **void out) void restricted",
      "0x60000001 func AddRef() ulong restricted",
      "0x60000002 func Release() ulong restricted",
      "0x60010000 func GetTypeInfoCount(*uint out) void restricted",
      "0x60010001 func GetTypeInfo(uint in, ulong in, **void out) void restricted",
      "0x60010002 func GetIDsOfNames(*GUID in, **char in, uint in, ulong in, *long out) void restricted",
      "0x60010003 func Invoke(long in, *GUID in, ulong in, ushort in, *DISPPARAMS in, *VARIANT out, "
      "*EXCEPINFO out, *uint out) void restricted",
      "201 get Visible() bool hidden",
      "201 put Visible(bool in) void hidden",
      "202 get AutoScroll() bool",
      "202 put AutoScroll(bool in) void",
      "203 get AutoSize() bool",
      "203 put AutoSize(bool in) void",
      "204 get AxBorderStyle() TxActiveFormBorderStyle",
      "204 put AxBorderStyle(TxActiveFormBorderStyle in) void",
      "-518 get Caption() BSTR",
      "-518 put Caption(BSTR in) void",
      "-501 get Color() OLE_COLOR",
      "-501 put Color(OLE_COLOR in) void",
      "-512 get Font() *IFontDisp",
      "-512 put Font(*IFontDisp in) void",
      "-512 putref Font(**IFontDisp in) void",
      "205 get KeyPreview() bool",
      "205 put KeyPreview(bool in) void",
      "206 get PixelsPerInch() long",
      "206 put PixelsPerInch(long in) void",
      "207 get PrintScale() TxPrintScale",
      "207 put PrintScale(TxPrintScale in) void",
      "208 get Scaled() bool",
      "208 put Scaled(bool in) void",
      "209 get Active() bool hidden",
      "210 get DropTarget() bool hidden",
      "210 put DropTarget(bool in) void hidden",
      "211 get HelpFile() BSTR hidden",
      "211 put HelpFile(BSTR in) void hidden",
      "212 get ScreenSnap() bool hidden",
      "212 put ScreenSnap(bool in) void hidden",
      "213 get SnapBuffer() long hidden",
      "213 put SnapBuffer(long in) void hidden",
      "214 get DoubleBuffered() bool hidden",
      "214 put DoubleBuffered(bool in) void hidden",
      "215 get AlignDisabled() bool hidden",
      "216 get VisibleDockClientCount() long hidden",
      "-514 get Enabled() bool hidden",
      "-514 put Enabled(bool in) void hidden",
      "217 func SendPlu(byte in, BSTR in, BSTR in, byte in, byte in, byte in, BSTR in, BSTR in, "
      "BSTR in, long in, long in, long in) long",
      "218 func SendCust(byte in, BSTR in, BSTR in) long",
      "219 func Init(byte in, long in, long in, BSTR in) long",
      "220 func PortClose(byte in) void",
      "221 func PortOpen(byte in, long in, long in, BSTR in) long",
      "222 func CurrencyUpload(byte in, BSTR in, BSTR in, BSTR in, BSTR in) long",
      "223 func ClerkUpload(byte in, BSTR in, BSTR in, BSTR in, BSTR in) long",
      "224 func GetStatus(byte in, *bool in,out) long",
      "225 func SetClerkOptions(byte in, bool in, byte in, bool in) long",
      "227 func OperationEnabled(byte in, bool in, BSTR in) long",
      "228 func SendClerk(byte in, BSTR in, BSTR in) long",
      "231 func EcrCheck(byte in, *long in,out, *long in,out, *long in,out, *BSTR in,out, "
      "*byte in,out, *byte in,out, *BSTR in,out, *long in,out, *bool in,out) long",
      "232 func SendClear(byte in) long",
      "230 get Mode650() bool",
      "230 put Mode650(bool in) void",
  };
  ASSERT_EQ(a.cFuncs, expected.size());
  for (UINT i = 0; i < expected.size(); ++i) EXPECT_EQ(Describe(info.p, i), expected[i]) << i;
}

TEST(TypelibStandardForm, ViewsAndBaseInterfacesAreReachedByReference) {
  Ref<ITypeInfo> dispatch = DispatchView();
  HREFTYPE ref = 0;
  // Its base: the standard IDispatch, itself derived from IUnknown.
  ASSERT_EQ(dispatch->GetRefTypeOfImplType(0, &ref), S_OK);
  Ref<ITypeInfo> idispatch = Referenced(dispatch.p, ref);
  EXPECT_EQ(NameOf(idispatch.p), "IDispatch");
  EXPECT_EQ(AttrOf(idispatch.p).typekind, TKIND_INTERFACE);
  EXPECT_EQ(AttrOf(idispatch.p).guid, IID_IDispatch);
  ASSERT_EQ(idispatch->GetRefTypeOfImplType(0, &ref), S_OK);
  EXPECT_EQ(AttrOf(Referenced(idispatch.p, ref).p).guid, IID_IUnknown);

  // -1: the function-table view.
  ASSERT_EQ(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
  Ref<ITypeInfo> vtable = Referenced(dispatch.p, ref);
  const TYPEATTR v = AttrOf(vtable.p);
  EXPECT_EQ(v.typekind, TKIND_INTERFACE);
  EXPECT_EQ(v.guid, IID_ITarvo);
  EXPECT_EQ(v.cFuncs, 53);
  EXPECT_EQ(v.cImplTypes, 1);
  EXPECT_EQ(v.cbSizeVft, (7 + 53) * sizeof(void*));
  ASSERT_EQ(vtable->GetRefTypeOfImplType(0, &ref), S_OK);
  EXPECT_EQ(NameOf(Referenced(vtable.p, ref).p), "IDispatch");
  EXPECT_EQ(vtable->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), TYPE_E_ELEMENTNOTFOUND);
  FUNCDESC* f = nullptr;
  ASSERT_EQ(vtable->GetFuncDesc(38, &f), S_OK);  // SendPlu, slot 7 + 38
  EXPECT_EQ(f->funckind, FUNC_PUREVIRTUAL);
  EXPECT_EQ(f->cParams, 13);
  EXPECT_EQ(f->oVft, static_cast<SHORT>(45 * sizeof(void*)));
  EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_HRESULT);
  EXPECT_EQ(f->lprgelemdescParam[12].paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
  vtable->ReleaseFuncDesc(f);
  // Names, ids and documentation on the function-table view as well.
  BSTR names[4] = {};
  UINT got = 0;
  ASSERT_EQ(vtable->GetNames(224, names, 4, &got), S_OK);
  ASSERT_EQ(got, 4u);
  EXPECT_EQ(Take(names[0]) + Take(names[1]) + Take(names[2]) + Take(names[3]),
            "GetStatusport_numday_openValue");
  std::u16string clear = u"sendclear";
  LPOLESTR lookup[] = {clear.data()};
  MEMBERID id = 0;
  EXPECT_EQ(vtable->GetIDsOfNames(lookup, 1, &id), S_OK);
  EXPECT_EQ(id, 232);
  EXPECT_EQ(NameOf(vtable.p), "ITarvo");
  EXPECT_EQ(NameOf(vtable.p, 232), "SendClear");

  // The class's default interface is the dispatch view, as loaders give it.
  Ref<ITypeInfo> cls;
  ASSERT_EQ(GetTarvoTypeInfo(CLSID_Tarvo, &cls.p), S_OK);
  ASSERT_EQ(cls->GetRefTypeOfImplType(0, &ref), S_OK);
  EXPECT_EQ(AttrOf(Referenced(cls.p, ref).p).typekind, TKIND_DISPATCH);
}

TEST(TypelibStandardForm, OleColorAndIFontDispAreTheStandardLibrarys) {
  Ref<ITypeInfo> dispatch = DispatchView();
  const struct {
    UINT index;  // the get entry of the property
    const char* name;
    TYPEKIND kind;
    GUID guid;
  } cases[] = {{7 + 10, "OLE_COLOR", TKIND_ALIAS, GUID_OLE_COLOR},
               {7 + 12, "IFontDisp", TKIND_DISPATCH, IID_IFontDisp}};
  for (const auto& c : cases) {
    FUNCDESC* f = nullptr;
    ASSERT_EQ(dispatch->GetFuncDesc(c.index, &f), S_OK);
    const TYPEDESC& t = f->elemdescFunc.tdesc.vt == VT_PTR ? *f->elemdescFunc.tdesc.lptdesc
                                                           : f->elemdescFunc.tdesc;
    ASSERT_EQ(t.vt, VT_USERDEFINED) << c.name;
    Ref<ITypeInfo> type = Referenced(dispatch.p, t.hreftype);
    dispatch->ReleaseFuncDesc(f);
    EXPECT_EQ(NameOf(type.p), c.name);
    const TYPEATTR a = AttrOf(type.p);
    EXPECT_EQ(a.typekind, c.kind);
    EXPECT_EQ(a.guid, c.guid);
    if (c.kind == TKIND_ALIAS) {
      EXPECT_EQ(a.tdescAlias.vt, VT_UI4);
    }
    Ref<ITypeLib> lib;
    ASSERT_EQ(type->GetContainingTypeLib(&lib.p, nullptr), S_OK);
    TLIBATTR* la = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&la), S_OK);
    EXPECT_EQ(la->guid, LIBID_STDOLE);
    EXPECT_EQ(la->wMajorVerNum, 2);
    lib->ReleaseTLibAttr(la);
  }
}

TEST(TypelibStandardForm, TypeCompBindsMembersOnBothViewsAndTheLibrary) {
  Ref<ITypeInfo> dispatch = DispatchView();
  HREFTYPE ref = 0;
  ASSERT_EQ(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
  Ref<ITypeInfo> vtable = Referenced(dispatch.p, ref);
  const struct {
    ITypeInfo* view;
    const char16_t* name;
    WORD flags;
    DESCKIND kind;
    MEMBERID memid;
    INVOKEKIND invkind;
    SHORT params;
  } cases[] = {
      {dispatch.p, u"sendplu", 0, DESCKIND_FUNCDESC, 217, INVOKE_FUNC, 12},
      {vtable.p, u"SendPlu", INVOKE_FUNC, DESCKIND_FUNCDESC, 217, INVOKE_FUNC, 13},
      {dispatch.p, u"Font", INVOKE_PROPERTYPUTREF, DESCKIND_FUNCDESC, -512, INVOKE_PROPERTYPUTREF, 1},
      {dispatch.p, u"Mode650", INVOKE_PROPERTYGET, DESCKIND_FUNCDESC, 230, INVOKE_PROPERTYGET, 0},
      {dispatch.p, u"NoSuchMember", 0, DESCKIND_NONE, 0, INVOKE_FUNC, 0},
  };
  for (const auto& c : cases) {
    Ref<ITypeComp> comp;
    ASSERT_EQ(c.view->GetTypeComp(&comp.p), S_OK);
    std::u16string name = c.name;
    ITypeInfo* bound = nullptr;
    DESCKIND kind = DESCKIND_MAX;
    BINDPTR ptr{};
    ASSERT_EQ(comp->Bind(name.data(), 0, c.flags, &bound, &kind, &ptr), S_OK);
    ASSERT_EQ(kind, c.kind) << Narrow(c.name);
    if (kind != DESCKIND_FUNCDESC) continue;
    EXPECT_EQ(ptr.lpfuncdesc->memid, c.memid);
    EXPECT_EQ(ptr.lpfuncdesc->invkind, c.invkind);
    EXPECT_EQ(ptr.lpfuncdesc->cParams, c.params);
    bound->ReleaseFuncDesc(ptr.lpfuncdesc);
    bound->Release();
  }

  Ref<ITypeLib> lib;
  ASSERT_EQ(GetTarvoTypeLib(&lib.p), S_OK);
  Ref<ITypeComp> comp;
  ASSERT_EQ(lib->GetTypeComp(&comp.p), S_OK);
  std::u16string raised = u"afbRaised";
  ITypeInfo* bound = nullptr;
  DESCKIND kind = DESCKIND_NONE;
  BINDPTR ptr{};
  ASSERT_EQ(comp->Bind(raised.data(), 0, 0, &bound, &kind, &ptr), S_OK);
  ASSERT_EQ(kind, DESCKIND_VARDESC);
  EXPECT_EQ(ptr.lpvardesc->lpvarValue->lVal, 3);
  bound->ReleaseVarDesc(ptr.lpvardesc);
  bound->Release();
  std::u16string tarvo = u"Tarvo";
  ITypeComp* inner = nullptr;
  ASSERT_EQ(comp->BindType(tarvo.data(), 0, &bound, &inner), S_OK);
  ASSERT_NE(bound, nullptr);
  EXPECT_EQ(AttrOf(bound).typekind, TKIND_COCLASS);
  bound->Release();
}

// A generic late-bound client: it knows only the standard rules. It reads
// cFuncs and each FUNCDESC, leaves out restricted functions, builds one
// argument per cParams (by reference where the type is a pointer to a plain
// value, an interface pointer by value), names the value of a property put
// DISPID_PROPERTYPUT, calls Invoke and expects a result exactly when
// elemdescFunc is not void.
class GenericClient {
 public:
  explicit GenericClient(ITypeInfo* info) : info_(info) {}

  // Calls every member once on `instance`; returns the names of those that
  // failed (with their HRESULT).
  std::vector<std::string> CallEverything(void* instance) {
    std::vector<std::string> failures;
    const TYPEATTR a = AttrOf(info_);
    for (UINT i = 0; i < a.cFuncs; ++i) {
      FUNCDESC* f = nullptr;
      if (info_->GetFuncDesc(i, &f) != S_OK) continue;
      if (!(f->wFuncFlags & FUNCFLAG_FRESTRICTED)) {
        const HRESULT hr = Call(instance, *f);
        if (hr != S_OK) {
          char text[16];
          std::snprintf(text, sizeof text, " 0x%08X", static_cast<unsigned>(hr));
          failures.push_back(NameOf(info_, f->memid) + text);
        }
        ++called;
      }
      info_->ReleaseFuncDesc(f);
    }
    return failures;
  }
  int called = 0;

 private:
  // The VARIANT type of a (non-pointer) type description.
  VARTYPE Plain(const TYPEDESC& t) {
    if (t.vt != VT_USERDEFINED) return t.vt;
    Ref<ITypeInfo> ref = Referenced(info_, t.hreftype);
    const TYPEATTR a = AttrOf(ref.p);
    if (a.typekind == TKIND_ENUM) return VT_I4;
    if (a.typekind == TKIND_ALIAS) return a.tdescAlias.vt;
    return VT_DISPATCH;
  }
  bool IsInterface(const TYPEDESC& t) { return t.vt == VT_USERDEFINED && Plain(t) == VT_DISPATCH; }

  HRESULT Call(void* instance, const FUNCDESC& f) {
    std::vector<VARIANT> args(f.cParams);
    std::vector<VARIANT> storage(f.cParams);  // what by-reference arguments point to
    for (SHORT p = 0; p < f.cParams; ++p) {
      const TYPEDESC& t = f.lprgelemdescParam[p].tdesc;
      VARIANT& arg = args[f.cParams - 1 - p];  // last first
      VariantInit(&arg);
      VariantInit(&storage[p]);
      const bool byRef = t.vt == VT_PTR && !IsInterface(*t.lptdesc);
      const TYPEDESC& base = byRef ? *t.lptdesc : (t.vt == VT_PTR ? *t.lptdesc : t);
      const VARTYPE vt = base.vt == VT_PTR ? Plain(*base.lptdesc) : Plain(base);
      VARIANT& value = byRef ? storage[p] : arg;
      value.vt = vt;
      if (vt == VT_BSTR) value.bstrVal = SysAllocString(u"");
      if (byRef) {
        arg.vt = static_cast<VARTYPE>(VT_BYREF | vt);
        arg.byref = vt == VT_BSTR ? static_cast<void*>(&storage[p].bstrVal)
                                  : static_cast<void*>(&storage[p].lVal);
      }
    }
    WORD flags = DISPATCH_METHOD;
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS dp{args.empty() ? nullptr : args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    if (f.invkind == INVOKE_PROPERTYGET) flags = DISPATCH_PROPERTYGET;
    if (f.invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF)) {
      flags = f.invkind == INVOKE_PROPERTYPUT ? DISPATCH_PROPERTYPUT : DISPATCH_PROPERTYPUTREF;
      dp.rgdispidNamedArgs = &put;
      dp.cNamedArgs = 1;
    }
    Var result;
    EXCEPINFO excep{};
    UINT argErr = 0;
    HRESULT hr = info_->Invoke(instance, f.memid, flags, &dp, &result.v, &excep, &argErr);
    if (hr == S_OK && (f.elemdescFunc.tdesc.vt == VT_VOID) != (result.v.vt == VT_EMPTY))
      hr = E_FAIL;  // a result exactly when the member returns one
    for (auto& v : args)
      if (!(v.vt & VT_BYREF)) VariantClear(&v);
    for (auto& v : storage) VariantClear(&v);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    return hr;
  }

  ITypeInfo* info_;
};

TEST(TypelibStandardForm, AGenericClientCallsEveryMemberFromTheDescriptions) {
  FakeTarvo fake;
  Ref<ITypeInfo> info = DispatchView();
  GenericClient client(info.p);
  EXPECT_EQ(client.CallEverything(static_cast<ITarvo*>(&fake)), std::vector<std::string>{});
  EXPECT_EQ(client.called, 53);
  EXPECT_EQ(fake.calls.size(), 53u);
  EXPECT_EQ(fake.calls.at(38), "SendPlu(0,\"\",\"\",0,0,0,\"\",\"\",\"\",0,0,0,&0)");
}

}  // namespace
}  // namespace tarvo::tlb::test
