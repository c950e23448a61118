// Creating the control by its ProgID and calling it early- and late-bound.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/wine/client_sections.h"
#include "tests/wine/control_handle.h"
#include "tests/wine/event_sink.h"

namespace tarvo::wine {
namespace {

// Result codes of Init/PortOpen and of the commands, as the host sees them.
constexpr LONG kOpenArgumentsRefused = 4;  // port not in 1..16 or baud rate not 9600/19200
constexpr LONG kPortNotOpen = 3;

void EarlyBinding(Report& report, ITarvo* tarvo) {
  VARIANT_BOOL mode = VARIANT_FALSE;
  HRESULT hr = tarvo->get_Mode650(&mode);
  report.Check(hr == S_OK && mode == VARIANT_TRUE, "early: Mode650 starts true",
               Hex(hr) + " value " + std::to_string(mode));
  hr = tarvo->put_Mode650(VARIANT_FALSE);
  mode = VARIANT_TRUE;
  const HRESULT got = tarvo->get_Mode650(&mode);
  report.Check(hr == S_OK && got == S_OK && mode == VARIANT_FALSE, "early: Mode650 put false reads back");

  Bstr caption(L"Kassza \u0151\u0171");  // two Hungarian letters outside Latin-1
  hr = tarvo->put_Caption(caption.get());
  Bstr back;
  const HRESULT read = tarvo->get_Caption(back.out());
  report.Check(hr == S_OK && read == S_OK && back.get() && wcscmp(back.get(), caption.get()) == 0,
               "early: Caption round trip keeps wide text", Narrow(back.get()));

  // Calls that must fail in Value, not in the HRESULT.
  Bstr empty(L"");
  struct Case {
    const char* name;
    std::function<HRESULT(LONG*)> call;
    LONG expected;
  };
  const std::vector<Case> cases = {
      {"Init port 0", [&](LONG* v) { return tarvo->Init(0, 9600, 0, empty.get(), v); }, kOpenArgumentsRefused},
      {"Init port 17", [&](LONG* v) { return tarvo->Init(17, 9600, 0, empty.get(), v); }, kOpenArgumentsRefused},
      {"PortOpen at 1200 baud", [&](LONG* v) { return tarvo->PortOpen(1, 1200, 0, empty.get(), v); }, kOpenArgumentsRefused},
      {"SendClear on a closed port", [&](LONG* v) { return tarvo->SendClear(7, v); }, kPortNotOpen},
      {"GetStatus on a closed port",
       [&](LONG* v) {
         VARIANT_BOOL day_open = VARIANT_TRUE;
         const HRESULT r = tarvo->GetStatus(7, &day_open, v);
         return day_open == VARIANT_TRUE ? r : E_UNEXPECTED;  // out-parameter untouched
       },
       kPortNotOpen},
  };
  for (const Case& c : cases) {
    LONG value = -1;
    hr = c.call(&value);
    report.Check(hr == S_OK && value == c.expected, std::string("early: ") + c.name + " -> " + std::to_string(c.expected),
                 Hex(hr) + " Value " + std::to_string(value));
  }
  tarvo->PortClose(7);  // nothing open: no effect, no failure
}

HRESULT InvokeNamed(IDispatch* dispatch, DISPID id, WORD flags, std::vector<VARIANT> args_first_first,
                    VARIANT* result) {
  std::vector<VARIANT> reversed(args_first_first.rbegin(), args_first_first.rend());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &put;
    params.cNamedArgs = 1;
  }
  EXCEPINFO excep{};
  UINT arg_error = 0;
  const HRESULT hr = dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &excep, &arg_error);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  return hr;
}

VARIANT I4(LONG v) {
  VARIANT x;
  VariantInit(&x);
  V_VT(&x) = VT_I4;
  V_I4(&x) = v;
  return x;
}

VARIANT Bool(bool v) {
  VARIANT x;
  VariantInit(&x);
  V_VT(&x) = VT_BOOL;
  V_BOOL(&x) = v ? VARIANT_TRUE : VARIANT_FALSE;
  return x;
}

void LateBinding(Report& report, ITarvo* tarvo) {
  Ptr<IDispatch> dispatch;
  HRESULT hr = tarvo->QueryInterface(IID_IDispatch, dispatch.void_out());
  if (!report.Check(hr == S_OK && dispatch, "late: QueryInterface IDispatch", Hex(hr))) return;

  struct Name {
    const wchar_t* name;
    DISPID id;
  };
  const Name names[] = {{L"Init", 0xDB}, {L"GetStatus", 0xE0}, {L"SendPlu", 0xD9},
                        {L"Mode650", 0xE6}, {L"Caption", -518}, {L"mode650", 0xE6}};
  for (const Name& n : names) {
    LPOLESTR name = const_cast<LPOLESTR>(n.name);
    DISPID id = 0;
    hr = dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
    report.Check(hr == S_OK && id == n.id, "late: GetIDsOfNames " + Narrow(n.name), Hex(hr) + " id " + Hex(id));
  }
  LPOLESTR unknown = const_cast<LPOLESTR>(L"NoSuchMember");
  DISPID id = 0;
  hr = dispatch->GetIDsOfNames(IID_NULL, &unknown, 1, LOCALE_USER_DEFAULT, &id);
  report.Check(hr == DISP_E_UNKNOWNNAME, "late: GetIDsOfNames of an unknown name fails", Hex(hr));

  // Property put and get, seen by the early-bound interface too.
  hr = InvokeNamed(dispatch.get(), 0xE6, DISPATCH_PROPERTYPUT, {Bool(true)}, nullptr);
  VARIANT result;
  VariantInit(&result);
  const HRESULT get = InvokeNamed(dispatch.get(), 0xE6, DISPATCH_PROPERTYGET, {}, &result);
  VARIANT_BOOL early = VARIANT_FALSE;
  tarvo->get_Mode650(&early);
  report.Check(hr == S_OK && get == S_OK && V_VT(&result) == VT_BOOL && V_BOOL(&result) == VARIANT_TRUE &&
                   early == VARIANT_TRUE,
               "late: Mode650 put true, get true, early binding agrees", Hex(hr) + " " + Hex(get));
  VariantClear(&result);

  // A method with a converted argument (the port as a string) and a
  // by-reference in/out parameter.
  VARIANT port_text;
  VariantInit(&port_text);
  V_VT(&port_text) = VT_BSTR;
  V_BSTR(&port_text) = SysAllocString(L"0");
  VARIANT dir;
  VariantInit(&dir);
  V_VT(&dir) = VT_BSTR;
  V_BSTR(&dir) = SysAllocString(L"");
  hr = InvokeNamed(dispatch.get(), 0xDB, DISPATCH_METHOD, {port_text, I4(9600), I4(0), dir}, &result);
  report.Check(hr == S_OK && V_VT(&result) == VT_I4 && V_I4(&result) == kOpenArgumentsRefused,
               "late: Init port \"0\" -> Value 4", Hex(hr) + " " + ArgText(result));
  VariantClear(&result);
  VariantClear(&port_text);
  VariantClear(&dir);

  VARIANT_BOOL day_open = VARIANT_TRUE;
  VARIANT by_ref;
  VariantInit(&by_ref);
  V_VT(&by_ref) = VT_BOOL | VT_BYREF;
  V_BOOLREF(&by_ref) = &day_open;
  hr = InvokeNamed(dispatch.get(), 0xE0, DISPATCH_METHOD, {I4(7), by_ref}, &result);
  report.Check(hr == S_OK && V_VT(&result) == VT_I4 && V_I4(&result) == kPortNotOpen && day_open == VARIANT_TRUE,
               "late: GetStatus on a closed port -> Value 3, day_open untouched", Hex(hr) + " " + ArgText(result));
  VariantClear(&result);

  hr = InvokeNamed(dispatch.get(), 0x7777, DISPATCH_METHOD, {}, &result);
  report.Check(hr == DISP_E_MEMBERNOTFOUND, "late: Invoke of an unknown dispid fails", Hex(hr));
  hr = InvokeNamed(dispatch.get(), 0xDB, DISPATCH_METHOD, {I4(1)}, &result);
  report.Check(hr == DISP_E_BADPARAMCOUNT, "late: Init with one argument fails with a bad count", Hex(hr));

  // The type information the control serves describes the same interface as
  // the registered type library: same kind, same members, same dispids.
  UINT count = 0;
  dispatch->GetTypeInfoCount(&count);
  Ptr<ITypeInfo> served;
  hr = dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, served.out());
  Ptr<ITypeInfo> registered(RegisteredTypeInfo(IID_ITarvo));
  if (!report.Check(count == 1 && hr == S_OK && served && registered,
                    "late: GetTypeInfo(0) and the registered type library's ITarvo", Hex(hr)))
    return;
  TYPEATTR* a = nullptr;
  TYPEATTR* b = nullptr;
  served->GetTypeAttr(&a);
  registered->GetTypeAttr(&b);
  if (a && b) {
    report.Check(IsEqualGUID(a->guid, IID_ITarvo) && a->typekind == b->typekind && a->cFuncs == b->cFuncs &&
                     a->typekind == TKIND_DISPATCH,
                 "late: served type information matches the registered one",
                 "kinds " + std::to_string(a->typekind) + "/" + std::to_string(b->typekind) + " funcs " +
                     std::to_string(a->cFuncs) + "/" + std::to_string(b->cFuncs));
    int differing = 0;
    for (WORD i = 0; i < a->cFuncs && i < b->cFuncs; ++i) {
      FUNCDESC* fa = nullptr;
      FUNCDESC* fb = nullptr;
      if (FAILED(served->GetFuncDesc(i, &fa)) || FAILED(registered->GetFuncDesc(i, &fb))) {
        ++differing;
      } else if (fa->memid != fb->memid || fa->invkind != fb->invkind || fa->cParams != fb->cParams) {
        ++differing;
      }
      if (fa) served->ReleaseFuncDesc(fa);
      if (fb) registered->ReleaseFuncDesc(fb);
    }
    report.Check(differing == 0, "late: every member has the registered dispid, kind and parameter count",
                 std::to_string(differing) + " differ");
  }
  if (a) served->ReleaseTypeAttr(a);
  if (b) registered->ReleaseTypeAttr(b);
}

}  // namespace

void RunBinding(Report& report) {
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(L"TarvoMDrv.Tarvo", &clsid);
  if (!report.Check(hr == S_OK && IsEqualCLSID(clsid, CLSID_Tarvo), "CLSIDFromProgID(TarvoMDrv.Tarvo)", Hex(hr)))
    return;
  Ptr<ITarvo> tarvo;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITarvo, tarvo.void_out());
  if (!report.Check(hr == S_OK && tarvo, "CoCreateInstance(CLSCTX_INPROC_SERVER) of ITarvo", Hex(hr))) return;
  Ptr<ITarvo> second;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITarvo, second.void_out());
  report.Check(hr == S_OK && second && second.get() != tarvo.get(), "a second CoCreateInstance makes a new control");
  second.Reset();

  EarlyBinding(report, tarvo.get());
  LateBinding(report, tarvo.get());
  const ULONG left = tarvo.Detach()->Release();
  report.Check(left == 0, "the last Release frees the control", std::to_string(left) + " references left");
}

}  // namespace tarvo::wine
