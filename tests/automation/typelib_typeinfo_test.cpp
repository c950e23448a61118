// The type library as a host sees it through ITypeLib and ITypeInfo:
// library attributes, entry order, members with DISPIDs, kinds, flags and
// parameter types, names and documentation, the class and the enumerations.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "automation/type_library.h"
#include "tests/automation/typelib_fake_tarvo.h"

namespace tarvo::tlb::test {
namespace {

// Releases an interface at scope end.
template <class T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
};

std::string TakeText(BSTR b) {
  std::string s = Narrow(b);
  SysFreeString(b);
  return s;
}

Ref<ITypeInfo> InfoOf(const GUID& guid) {
  Ref<ITypeInfo> info;
  EXPECT_EQ(GetTarvoTypeInfo(guid, &info.p), S_OK);
  return info;
}

TYPEATTR AttrOf(ITypeInfo* info) {
  TYPEATTR* a = nullptr;
  EXPECT_EQ(info->GetTypeAttr(&a), S_OK);
  TYPEATTR copy = *a;
  info->ReleaseTypeAttr(a);
  return copy;
}

std::vector<std::string> NamesOf(ITypeInfo* info, MEMBERID id) {
  BSTR names[20] = {};
  UINT n = 0;
  EXPECT_EQ(info->GetNames(id, names, 20, &n), S_OK);
  std::vector<std::string> out;
  for (UINT i = 0; i < n; ++i) out.push_back(TakeText(names[i]));
  return out;
}

// A parameter's type description as text: "bool", "*long", "*BSTR",
// "TxPrintScale" (resolved through GetRefTypeInfo) ...
std::string TypeText(ITypeInfo* owner, const TYPEDESC& t) {
  switch (t.vt) {
    case VT_PTR: return "*" + TypeText(owner, *t.lptdesc);
    case VT_UI1: return "byte";
    case VT_I2: return "short";
    case VT_I4: return "long";
    case VT_UI4: return "ulong";
    case VT_BOOL: return "bool";
    case VT_BSTR: return "BSTR";
    case VT_DISPATCH: return "dispatch";
    case VT_USERDEFINED: {
      Ref<ITypeInfo> ref;
      if (owner->GetRefTypeInfo(t.hreftype, &ref.p) != S_OK) return "?";
      BSTR name = nullptr;
      ref->GetDocumentation(-1, &name, nullptr, nullptr, nullptr);
      return TakeText(name);
    }
    default: return "vt" + std::to_string(t.vt);
  }
}

std::string FlagText(USHORT f) {
  std::string s;
  if (f & PARAMFLAG_FIN) s += "in";
  if (f & PARAMFLAG_FOUT) s += s.empty() ? "out" : ",out";
  if (f & PARAMFLAG_FRETVAL) s += ",retval";
  return s;
}

// One member as "memid kind name(type flags, ...)", e.g.
// "217 func SendPlu(byte in, BSTR in, ...)"; with " hidden" when hidden.
std::string Describe(ITypeInfo* info, UINT index) {
  FUNCDESC* f = nullptr;
  EXPECT_EQ(info->GetFuncDesc(index, &f), S_OK);
  static const char* const kinds[] = {"", "func", "get", "", "put", "", "", "", "putref"};
  std::string s = std::to_string(f->memid) + " " + kinds[f->invkind] + " " +
                  NamesOf(info, f->memid).at(0) + "(";
  for (SHORT p = 0; p < f->cParams; ++p) {
    if (p) s += ", ";
    s += TypeText(info, f->lprgelemdescParam[p].tdesc) + " " +
         FlagText(f->lprgelemdescParam[p].paramdesc.wParamFlags);
  }
  s += ")";
  if (f->wFuncFlags & FUNCFLAG_FHIDDEN) s += " hidden";
  info->ReleaseFuncDesc(f);
  return s;
}

TEST(TypelibInfo, LibraryAttributesAndEntryOrder) {
  Ref<ITypeLib> lib;
  ASSERT_EQ(GetTarvoTypeLib(&lib.p), S_OK);
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
  EXPECT_EQ(attr->guid, LIBID_TarvoMDrv);
  EXPECT_EQ(attr->lcid, 0x0409u);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  EXPECT_EQ(attr->wLibFlags, LIBFLAG_FCONTROL);
  EXPECT_EQ(attr->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  lib->ReleaseTLibAttr(attr);

  BSTR name = nullptr, doc = nullptr;
  ASSERT_EQ(lib->GetDocumentation(-1, &name, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(TakeText(name), "TarvoMDrv");
  EXPECT_EQ(TakeText(doc), "TarvoMDrv Library");

  struct Entry {
    const char* name;
    TYPEKIND kind;
    GUID guid;
    const char* help;
  };
  const Entry expected[] = {
      {"ITarvo", TKIND_DISPATCH, IID_ITarvo, "Dispatch interface for Tarvo Control"},
      {"ITarvoEvents", TKIND_DISPATCH, DIID_ITarvoEvents, "Events interface for Tarvo Control"},
      {"Tarvo", TKIND_COCLASS, CLSID_Tarvo, "Tarvo Control"},
      {"TxActiveFormBorderStyle", TKIND_ENUM, GUID_TxActiveFormBorderStyle, ""},
      {"TxPrintScale", TKIND_ENUM, GUID_TxPrintScale, ""},
      {"TxMouseButton", TKIND_ENUM, GUID_TxMouseButton, ""},
  };
  ASSERT_EQ(lib->GetTypeInfoCount(), std::size(expected));
  for (UINT i = 0; i < std::size(expected); ++i) {
    Ref<ITypeInfo> info;
    ASSERT_EQ(lib->GetTypeInfo(i, &info.p), S_OK);
    BSTR n = nullptr, d = nullptr;
    ASSERT_EQ(info->GetDocumentation(-1, &n, &d, nullptr, nullptr), S_OK);
    EXPECT_EQ(TakeText(n), expected[i].name);
    EXPECT_EQ(TakeText(d), expected[i].help);
    const TYPEATTR a = AttrOf(info.p);
    EXPECT_EQ(a.typekind, expected[i].kind) << expected[i].name;
    EXPECT_EQ(a.guid, expected[i].guid) << expected[i].name;
    EXPECT_EQ(a.wMajorVerNum, 1);
    EXPECT_EQ(a.wMinorVerNum, 0);
    Ref<ITypeLib> owner;
    UINT index = 99;
    ASSERT_EQ(info->GetContainingTypeLib(&owner.p, &index), S_OK);
    EXPECT_EQ(owner.p, lib.p);
    EXPECT_EQ(index, i);
  }
  // All GUIDs distinct.
  std::set<std::string> guids;
  for (const Entry& e : expected) guids.insert(std::string(reinterpret_cast<const char*>(&e.guid), 16));
  guids.insert(std::string(reinterpret_cast<const char*>(&LIBID_TarvoMDrv), 16));
  EXPECT_EQ(guids.size(), 7u);
}

// The function-table view of the dual interface, behind the dispatch view.
Ref<ITypeInfo> InterfaceViewOfITarvo() {
  Ref<ITypeInfo> dispatch = InfoOf(IID_ITarvo);
  HREFTYPE ref = 0;
  EXPECT_EQ(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
  Ref<ITypeInfo> info;
  EXPECT_EQ(dispatch->GetRefTypeInfo(ref, &info.p), S_OK);
  return info;
}

TEST(TypelibInfo, ITarvoListsItsMembersWithDispidsKindsAndParameters) {
  Ref<ITypeInfo> info = InterfaceViewOfITarvo();
  const TYPEATTR a = AttrOf(info.p);
  EXPECT_EQ(a.typekind, TKIND_INTERFACE);
  EXPECT_EQ(a.cFuncs, 53);
  EXPECT_EQ(a.wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);

  const std::vector<std::string> expected = {
      "201 get Visible(*bool out,retval) hidden",
      "201 put Visible(bool in) hidden",
      "202 get AutoScroll(*bool out,retval)",
      "202 put AutoScroll(bool in)",
      "203 get AutoSize(*bool out,retval)",
      "203 put AutoSize(bool in)",
      "204 get AxBorderStyle(*TxActiveFormBorderStyle out,retval)",
      "204 put AxBorderStyle(TxActiveFormBorderStyle in)",
      "-518 get Caption(*BSTR out,retval)",
      "-518 put Caption(BSTR in)",
      "-501 get Color(*OLE_COLOR out,retval)",
      "-501 put Color(OLE_COLOR in)",
      "-512 get Font(**IFontDisp out,retval)",
      "-512 put Font(*IFontDisp in)",
      "-512 putref Font(**IFontDisp in)",
      "205 get KeyPreview(*bool out,retval)",
      "205 put KeyPreview(bool in)",
      "206 get PixelsPerInch(*long out,retval)",
      "206 put PixelsPerInch(long in)",
      "207 get PrintScale(*TxPrintScale out,retval)",
      "207 put PrintScale(TxPrintScale in)",
      "208 get Scaled(*bool out,retval)",
      "208 put Scaled(bool in)",
      "209 get Active(*bool out,retval) hidden",
      "210 get DropTarget(*bool out,retval) hidden",
      "210 put DropTarget(bool in) hidden",
      "211 get HelpFile(*BSTR out,retval) hidden",
      "211 put HelpFile(BSTR in) hidden",
      "212 get ScreenSnap(*bool out,retval) hidden",
      "212 put ScreenSnap(bool in) hidden",
      "213 get SnapBuffer(*long out,retval) hidden",
      "213 put SnapBuffer(long in) hidden",
      "214 get DoubleBuffered(*bool out,retval) hidden",
      "214 put DoubleBuffered(bool in) hidden",
      "215 get AlignDisabled(*bool out,retval) hidden",
      "216 get VisibleDockClientCount(*long out,retval) hidden",
      "-514 get Enabled(*bool out,retval) hidden",
      "-514 put Enabled(bool in) hidden",
      "217 func SendPlu(byte in, BSTR in, BSTR in, byte in, byte in, byte in, BSTR in, BSTR in, "
      "BSTR in, long in, long in, long in, *long out,retval)",
      "218 func SendCust(byte in, BSTR in, BSTR in, *long out,retval)",
      "219 func Init(byte in, long in, long in, BSTR in, *long out,retval)",
      "220 func PortClose(byte in)",
      "221 func PortOpen(byte in, long in, long in, BSTR in, *long out,retval)",
      "222 func CurrencyUpload(byte in, BSTR in, BSTR in, BSTR in, BSTR in, *long out,retval)",
      "223 func ClerkUpload(byte in, BSTR in, BSTR in, BSTR in, BSTR in, *long out,retval)",
      "224 func GetStatus(byte in, *bool in,out, *long out,retval)",
      "225 func SetClerkOptions(byte in, bool in, byte in, bool in, *long out,retval)",
      "227 func OperationEnabled(byte in, bool in, BSTR in, *long out,retval)",
      "228 func SendClerk(byte in, BSTR in, BSTR in, *long out,retval)",
      "231 func EcrCheck(byte in, *long in,out, *long in,out, *long in,out, *BSTR in,out, "
      "*byte in,out, *byte in,out, *BSTR in,out, *long in,out, *bool in,out, *long out,retval)",
      "232 func SendClear(byte in, *long out,retval)",
      "230 get Mode650(*bool out,retval)",
      "230 put Mode650(bool in)",
  };
  ASSERT_EQ(expected.size(), 53u);
  for (UINT i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(Describe(info.p, i), expected[i]) << "entry " << i;
    FUNCDESC* f = nullptr;
    ASSERT_EQ(info->GetFuncDesc(i, &f), S_OK);
    EXPECT_EQ(f->oVft, static_cast<SHORT>((7 + i) * sizeof(void*)));
    EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_HRESULT);
    info->ReleaseFuncDesc(f);
  }
  FUNCDESC* none = nullptr;
  EXPECT_EQ(info->GetFuncDesc(53, &none), TYPE_E_ELEMENTNOTFOUND);
}

TEST(TypelibInfo, NamesAndIdsOfNamesThroughTheTypeInfo) {
  Ref<ITypeInfo> info = InfoOf(IID_ITarvo);
  EXPECT_EQ(NamesOf(info.p, 201), (std::vector<std::string>{"Visible", "Value"}));
  EXPECT_EQ(NamesOf(info.p, 220), (std::vector<std::string>{"PortClose", "port_num"}));
  EXPECT_EQ(NamesOf(info.p, 224), (std::vector<std::string>{"GetStatus", "port_num", "day_open", "Value"}));
  BSTR cut[2] = {};
  UINT n = 0;
  ASSERT_EQ(info->GetNames(217, cut, 2, &n), S_OK);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(TakeText(cut[0]), "SendPlu");
  EXPECT_EQ(TakeText(cut[1]), "port_num");
  EXPECT_EQ(info->GetNames(226, cut, 2, &n), TYPE_E_ELEMENTNOTFOUND);

  std::u16string a = u"ecrcheck", b = u"AP_NUM";
  LPOLESTR names[] = {a.data(), b.data()};
  MEMBERID ids[2];
  ASSERT_EQ(info->GetIDsOfNames(names, 2, ids), S_OK);
  EXPECT_EQ(ids[0], 231);
  EXPECT_EQ(ids[1], 7);
}

TEST(TypelibInfo, EventsInTypeInformationOrder) {
  Ref<ITypeInfo> info = InfoOf(DIID_ITarvoEvents);
  const TYPEATTR a = AttrOf(info.p);
  EXPECT_EQ(a.cFuncs, 30);
  EXPECT_EQ(a.wTypeFlags & TYPEFLAG_FDUAL, 0);
  const std::vector<std::string> expected = {
      "201 func OnActivate()",
      "202 func OnClick()",
      "203 func OnCreate()",
      "204 func OnDblClick()",
      "205 func OnDestroy()",
      "206 func OnDeactivate()",
      "207 func OnKeyPress(*short in,out)",
      "208 func OnPaint()",
      "209 func OnPluInquire(byte in, BSTR in)",
      "210 func OnCustInquire(byte in, BSTR in)",
      "211 func OnDayOpen(byte in, BSTR in, BSTR in, byte in, BSTR in)",
      "213 func OnSell(byte in, byte in, byte in, BSTR in, long in, long in, long in)",
      "214 func OnModify(byte in, byte in, byte in, long in)",
      "215 func OnTender(byte in, byte in, long in, long in, long in)",
      "212 func OnOpenReceipt(byte in, BSTR in, BSTR in, byte in, long in, BSTR in)",
      "216 func OnCloseReceipt(byte in, BSTR in, BSTR in, byte in, long in, BSTR in)",
      "217 func OnPaidInOut(byte in, byte in, long in, long in, BSTR in, BSTR in, byte in, BSTR in)",
      "218 func OnCancelReceipt(byte in, BSTR in, BSTR in, byte in, long in, BSTR in)",
      "219 func OnConnect(byte in, BSTR in, bool in)",
      "220 func OnPluInquireEx(byte in, BSTR in, BSTR in, bool in)",
      "221 func OnWaste(byte in, byte in, byte in, BSTR in, long in, long in, long in)",
      "222 func OnPluInquire841(byte in, long in, BSTR in, byte in, BSTR in, long in, BSTR in, bool in)",
      "223 func OnPaidInOutRequest(byte in, byte in, byte in, byte in, long in, BSTR in)",
      "224 func OnClerkLogin(byte in, BSTR in)",
      "227 func OnModifyRequest(byte in, byte in, byte in, bool in, long in)",
      "229 func OnDailyReport(byte in, BSTR in, BSTR in, long in, BSTR in, BSTR in, BSTR in, BSTR in, "
      "BSTR in, BSTR in, BSTR in, BSTR in, BSTR in, long in, long in, long in, BSTR in, BSTR in)",
      "230 func OnIDPress(byte in, BSTR in)",
      "228 func OnSellRequest(byte in, long in, long in, byte in, BSTR in, long in, BSTR in, bool in)",
      "225 func OnTender841(byte in, byte in, long in, long in, long in, byte in)",
      "226 func OnCloseWaste(byte in)",
  };
  ASSERT_EQ(expected.size(), 30u);
  for (UINT i = 0; i < expected.size(); ++i) EXPECT_EQ(Describe(info.p, i), expected[i]);
  EXPECT_EQ(NamesOf(info.p, 207), (std::vector<std::string>{"OnKeyPress", "Key"}));
  EXPECT_EQ(NamesOf(info.p, 219),
            (std::vector<std::string>{"OnConnect", "port_num", "ap_num", "demo_mode"}));
}

TEST(TypelibInfo, EventViewForRaisingByName) {
  const FuncDef* e = FindTarvoEvent("OnPluInquire841");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->dispid, tarvo::dispid::OnPluInquire841);
  ASSERT_EQ(e->params.size(), 8u);
  EXPECT_EQ(e->params[1].name, "multiplier");
  EXPECT_EQ(e->params[1].Vt(), VT_I4);
  EXPECT_EQ(e->params[7].Vt(), VT_BOOL);
  const FuncDef* key = FindTarvoEvent(tarvo::dispid::OnKeyPress);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->name, "OnKeyPress");
  EXPECT_TRUE(key->params[0].byRef);
  EXPECT_EQ(key->params[0].Vt(), VT_I2);
  EXPECT_EQ(FindTarvoEvent("OnNothing"), nullptr);
  EXPECT_EQ(FindTarvoEvent(DISPID{231}), nullptr);
}

TEST(TypelibInfo, ClassNamesItsDefaultAndSourceInterfaces) {
  Ref<ITypeInfo> info = InfoOf(CLSID_Tarvo);
  const TYPEATTR a = AttrOf(info.p);
  EXPECT_EQ(a.cImplTypes, 2);
  EXPECT_EQ(a.wTypeFlags, TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL);
  const struct {
    GUID guid;
    INT flags;
  } expected[] = {{IID_ITarvo, IMPLTYPEFLAG_FDEFAULT},
                  {DIID_ITarvoEvents, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}};
  for (UINT i = 0; i < 2; ++i) {
    HREFTYPE ref = 0;
    ASSERT_EQ(info->GetRefTypeOfImplType(i, &ref), S_OK);
    Ref<ITypeInfo> impl;
    ASSERT_EQ(info->GetRefTypeInfo(ref, &impl.p), S_OK);
    EXPECT_EQ(AttrOf(impl.p).guid, expected[i].guid);
    INT flags = 0;
    ASSERT_EQ(info->GetImplTypeFlags(i, &flags), S_OK);
    EXPECT_EQ(flags, expected[i].flags);
  }
  HREFTYPE ref = 0;
  EXPECT_EQ(info->GetRefTypeOfImplType(2, &ref), TYPE_E_ELEMENTNOTFOUND);
}

TEST(TypelibInfo, EnumerationsCarryTheirValues) {
  const struct {
    GUID guid;
    std::vector<std::string> names;
  } cases[] = {
      {GUID_TxActiveFormBorderStyle, {"afbNone", "afbSingle", "afbSunken", "afbRaised"}},
      {GUID_TxPrintScale, {"poNone", "poProportional", "poPrintToFit"}},
      {GUID_TxMouseButton, {"mbLeft", "mbRight", "mbMiddle"}},
  };
  for (const auto& c : cases) {
    Ref<ITypeInfo> info = InfoOf(c.guid);
    ASSERT_EQ(AttrOf(info.p).cVars, c.names.size());
    for (UINT i = 0; i < c.names.size(); ++i) {
      VARDESC* v = nullptr;
      ASSERT_EQ(info->GetVarDesc(i, &v), S_OK);
      EXPECT_EQ(v->varkind, VAR_CONST);
      EXPECT_EQ(v->lpvarValue->vt, VT_I4);
      EXPECT_EQ(v->lpvarValue->lVal, static_cast<LONG>(i));  // values count up from 0
      EXPECT_EQ(NamesOf(info.p, v->memid), std::vector<std::string>{c.names[i]});
      info->ReleaseVarDesc(v);
    }
  }
  EXPECT_EQ(afbRaised, 3);
  EXPECT_EQ(poPrintToFit, 2);
  EXPECT_EQ(mbMiddle, 2);
  EXPECT_EQ(sizeof(TxActiveFormBorderStyle), 4u);
}

TEST(TypelibInfo, LibraryFindsNamesAndTypesByGuid) {
  Ref<ITypeLib> lib;
  ASSERT_EQ(GetTarvoTypeLib(&lib.p), S_OK);
  std::u16string name = u"sendplu";
  BOOL found = 0;
  ASSERT_EQ(lib->IsName(name.data(), 0, &found), S_OK);
  EXPECT_TRUE(found);
  EXPECT_EQ(Narrow(name.c_str()), "SendPlu");

  std::u16string visible = u"Visible";
  ITypeInfo* infos[4] = {};
  MEMBERID ids[4] = {};
  USHORT count = 4;
  ASSERT_EQ(lib->FindName(visible.data(), 0, infos, ids, &count), S_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(AttrOf(infos[0]).guid, IID_ITarvo);
  EXPECT_EQ(ids[0], 201);
  infos[0]->Release();

  ITypeInfo* none = nullptr;
  EXPECT_EQ(lib->GetTypeInfoOfGuid(IID_IDispatch, &none), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(GetTarvoTypeInfo(IID_IUnknown, &none), TYPE_E_ELEMENTNOTFOUND);
}

TEST(TypelibInfo, TypeInfoInvokeReachesTheControl) {
  // A host may dispatch through ITypeInfo::Invoke with the object itself.
  FakeTarvo fake;
  Ref<ITypeInfo> info = InfoOf(IID_ITarvo);
  Var result;
  ASSERT_EQ(info->Invoke(static_cast<ITarvo*>(&fake), tarvo::dispid::Mode650, DISPATCH_PROPERTYGET,
                         nullptr, &result.v, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(result.v.vt, VT_BOOL);
  EXPECT_EQ(fake.calls.at(0), "get_Mode650(&0)");
}

TEST(TypelibInfo, ObjectsServeSeveralThreads) {
  auto worker = [] {
    for (int i = 0; i < 200; ++i) {
      Ref<ITypeInfo> info = InfoOf(IID_ITarvo);
      FUNCDESC* f = nullptr;
      ASSERT_EQ(info->GetFuncDesc(static_cast<UINT>(i % 53), &f), S_OK);
      info->ReleaseFuncDesc(f);
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
}

}  // namespace
}  // namespace tarvo::tlb::test
