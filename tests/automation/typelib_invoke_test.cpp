// Late-bound calls of ITarvo through InvokeITarvo against the fake: member
// lookup, argument matching and conversion, by-reference results, retvals
// and failures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "automation/dispatch_invoke.h"
#include "automation/type_library.h"
#include "tests/automation/typelib_fake_tarvo.h"

namespace tarvo::tlb::test {
namespace {

// Arguments in natural order; Invoke receives them last first.
class Args {
 public:
  explicit Args(std::vector<VARIANT> natural) : vars_(natural.rbegin(), natural.rend()) {}
  Args(const Args&) = delete;
  ~Args() {
    for (VARIANT& v : vars_) VariantClear(&v);
  }
  DISPPARAMS* Positional() {
    params_ = {vars_.data(), nullptr, static_cast<UINT>(vars_.size()), 0};
    return &params_;
  }
  // All arguments named: ids in natural order of the arguments.
  DISPPARAMS* Named(std::vector<DISPID> ids) {
    named_.assign(ids.rbegin(), ids.rend());
    params_ = {vars_.data(), named_.data(), static_cast<UINT>(vars_.size()),
               static_cast<UINT>(named_.size())};
    return &params_;
  }
  // A property put: the single value named DISPID_PROPERTYPUT.
  DISPPARAMS* Put() { return Named({DISPID_PROPERTYPUT}); }

 private:
  std::vector<VARIANT> vars_;
  std::vector<DISPID> named_;
  DISPPARAMS params_{};
};

VARIANT Ui1(BYTE x) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UI1;
  v.bVal = x;
  return v;
}
VARIANT Bool(VARIANT_BOOL x) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BOOL;
  v.boolVal = x;
  return v;
}
VARIANT R8(double x) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_R8;
  v.dblVal = x;
  return v;
}
template <class T>
VARIANT Ref(VARTYPE vt, T* target) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BYREF | vt;
  v.byref = target;
  return v;
}
VARIANT Disp(IDispatch* d) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DISPATCH;
  v.pdispVal = d;
  d->AddRef();
  return v;
}

// A sample argument of the declared type of `p`.
VARIANT Sample(const ParamDef& p) {
  switch (p.Vt()) {
    case VT_BSTR: return Str("s");
    case VT_BOOL: return Bool(VARIANT_TRUE);
    case VT_DISPATCH: {
      VARIANT v;
      VariantInit(&v);
      v.vt = VT_DISPATCH;
      return v;
    }
    default: return I4(1);
  }
}

TEST(TypelibInvoke, EveryMemberIsReachedLateBound) {
  FakeTarvo fake;
  const auto funcs = ITarvoFuncs();
  for (std::size_t i = 0; i < funcs.size(); ++i) {
    const FuncDef& f = funcs[i];
    std::vector<VARIANT> natural;
    for (std::size_t p = 0; p < f.ArgCount(); ++p) natural.push_back(Sample(f.params[p]));
    Args args(std::move(natural));
    const bool put = f.kind == INVOKE_PROPERTYPUT || f.kind == INVOKE_PROPERTYPUTREF;
    const WORD flags = f.kind == INVOKE_FUNC ? DISPATCH_METHOD | DISPATCH_PROPERTYGET
                                             : static_cast<WORD>(f.kind);
    // A putref of Font ends at the first assignment entry of Font, its put.
    std::string expected(f.cxxName);
    if (f.kind == INVOKE_PROPERTYPUTREF) expected = funcs[i - 1].cxxName;
    fake.calls.clear();
    Var result;
    UINT argErr = 99;
    ASSERT_EQ(InvokeITarvo(&fake, f.dispid, flags, put ? args.Put() : args.Positional(), &result.v,
                           nullptr, &argErr),
              S_OK)
        << f.cxxName;
    ASSERT_EQ(fake.calls.size(), 1u) << f.cxxName;
    EXPECT_EQ(fake.calls[0].substr(0, fake.calls[0].find('(')), expected);
    if (const ParamDef* r = f.Retval())
      EXPECT_EQ(result.v.vt, r->Vt()) << f.cxxName;
    else
      EXPECT_EQ(result.v.vt, VT_EMPTY) << f.cxxName;
  }
}

struct ConversionCase {
  const char* what;
  DISPID member;
  std::vector<VARIANT> (*args)();
  HRESULT hr;
  UINT argErr;      // index in rgvarg (last argument first)
  const char* call;  // recorded by the fake, "" if not called
};

const ConversionCase kConversions[] = {
    {"-1 is no port number", tarvo::dispid::PortClose, [] { return std::vector{I4(-1)}; },
     DISP_E_OVERFLOW, 0, ""},
    {"256 is no port number", tarvo::dispid::PortClose, [] { return std::vector{I4(256)}; },
     DISP_E_OVERFLOW, 0, ""},
    {"255 is", tarvo::dispid::PortClose, [] { return std::vector{I4(255)}; }, S_OK, 0,
     "PortClose(255)"},
    {"text to long", tarvo::dispid::Init,
     [] { return std::vector{Ui1(1), Str("12"), I4(0), Str("/tmp")}; }, S_OK, 0,
     "Init(1,12,0,\"/tmp\",&0)"},
    {"text that is no number", tarvo::dispid::Init,
     [] { return std::vector{Ui1(1), Str("fast"), I4(0), Str("/tmp")}; }, DISP_E_TYPEMISMATCH,
     2, ""},
    {"number to text", tarvo::dispid::SendCust, [] { return std::vector{I4(2), I4(77), R8(1.5)}; },
     S_OK, 0, "SendCust(2,\"77\",\"1.5\",&0)"},
    {"non-zero to VARIANT_BOOL", tarvo::dispid::OperationEnabled,
     [] { return std::vector{Ui1(1), I4(5), Str("Hi")}; }, S_OK, 0,
     "OperationEnabled(1,-1,\"Hi\",&0)"},
    {"zero to VARIANT_BOOL", tarvo::dispid::SetClerkOptions,
     [] { return std::vector{Ui1(1), I4(0), Str("3"), Bool(VARIANT_TRUE)}; }, S_OK, 0,
     "SetClerkOptions(1,0,3,-1,&0)"},
    {"overflow in the middle", tarvo::dispid::SetClerkOptions,
     [] { return std::vector{Ui1(1), I4(0), I4(300), Bool(VARIANT_TRUE)}; }, DISP_E_OVERFLOW, 1,
     ""},
};

TEST(TypelibInvoke, ArgumentsAreConvertedToTheDeclaredTypes) {
  for (const ConversionCase& c : kConversions) {
    FakeTarvo fake;
    Args args(c.args());
    Var result;
    UINT argErr = 99;
    EXPECT_EQ(InvokeITarvo(&fake, c.member, DISPATCH_METHOD, args.Positional(), &result.v, nullptr,
                           &argErr),
              c.hr)
        << c.what;
    if (FAILED(c.hr)) {
      EXPECT_EQ(argErr, c.argErr) << c.what;
      EXPECT_TRUE(fake.calls.empty()) << c.what;
    } else {
      ASSERT_EQ(fake.calls.size(), 1u) << c.what;
      EXPECT_EQ(fake.calls[0], c.call) << c.what;
    }
  }
}

TEST(TypelibInvoke, ByRefVariantArgumentsAreReadThroughTheReference) {
  FakeTarvo fake;
  VARIANT inner = I4(7);
  Args args({Ref(VT_VARIANT, &inner)});
  EXPECT_EQ(InvokeITarvo(&fake, tarvo::dispid::SendClear, DISPATCH_METHOD, args.Positional(),
                         nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(fake.calls.at(0), "SendClear(7,&0)");
}

TEST(TypelibInvoke, GetStatusWritesDayOpenBackAndReturnsValue) {
  FakeTarvo fake;
  // Typed reference.
  VARIANT_BOOL dayOpen = VARIANT_FALSE;
  {
    Args args({Ui1(4), Ref(VT_BOOL, &dayOpen)});
    Var result;
    ASSERT_EQ(InvokeITarvo(&fake, tarvo::dispid::GetStatus, DISPATCH_METHOD, args.Positional(),
                           &result.v, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(fake.calls.at(0), "GetStatus(4,&0,&0)");
    EXPECT_EQ(dayOpen, VARIANT_TRUE);
    EXPECT_EQ(result.v.vt, VT_I4);
    EXPECT_EQ(result.v.lVal, 42);
  }
  // Reference to a VARIANT holding another type: converted on the way in,
  // replaced by the declared type on the way out.
  VARIANT holder = I4(1);
  {
    Args args({Ui1(4), Ref(VT_VARIANT, &holder)});
    ASSERT_EQ(InvokeITarvo(&fake, tarvo::dispid::GetStatus, DISPATCH_METHOD, args.Positional(),
                           nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(fake.calls.at(1), "GetStatus(4,&-1,&0)");
    EXPECT_EQ(holder.vt, VT_BOOL);
    EXPECT_EQ(holder.boolVal, VARIANT_FALSE);
  }
  // A reference of another type is refused.
  LONG wrong = 0;
  Args args({Ui1(4), Ref(VT_I4, &wrong)});
  UINT argErr = 99;
  EXPECT_EQ(InvokeITarvo(&fake, tarvo::dispid::GetStatus, DISPATCH_METHOD, args.Positional(),
                         nullptr, nullptr, &argErr),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);
}

TEST(TypelibInvoke, EcrCheckFillsEveryReference) {
  FakeTarvo fake;
  LONG receiptNum = 10, receiptAmount = 20, cancelNum = 30, openedDay = 40;
  BSTR clerk = MakeBstr("C1");
  BYTE keyPos = 5;
  VARIANT ecrStatus = Ui1(6);
  VARIANT apNum = Str("AP");
  VARIANT_BOOL demo = VARIANT_TRUE;
  Args args({Ui1(2), Ref(VT_I4, &receiptNum), Ref(VT_I4, &receiptAmount), Ref(VT_I4, &cancelNum),
             Ref(VT_BSTR, &clerk), Ref(VT_UI1, &keyPos), Ref(VT_VARIANT, &ecrStatus),
             Ref(VT_VARIANT, &apNum), Ref(VT_I4, &openedDay), Ref(VT_BOOL, &demo)});
  Var result;
  ASSERT_EQ(InvokeITarvo(&fake, tarvo::dispid::EcrCheck, DISPATCH_METHOD, args.Positional(),
                         &result.v, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(fake.calls.at(0),
            "EcrCheck(2,&10,&20,&30,&\"C1\",&5,&6,&\"AP\",&40,&-1,&0)");
  EXPECT_EQ(receiptNum, 11);
  EXPECT_EQ(receiptAmount, 21);
  EXPECT_EQ(cancelNum, 31);
  EXPECT_EQ(Narrow(clerk), "C1+");
  EXPECT_EQ(keyPos, 6);
  EXPECT_EQ(ecrStatus.vt, VT_UI1);
  EXPECT_EQ(ecrStatus.bVal, 7);
  EXPECT_EQ(apNum.vt, VT_BSTR);
  EXPECT_EQ(Narrow(apNum.bstrVal), "AP+");
  EXPECT_EQ(openedDay, 41);
  EXPECT_EQ(demo, VARIANT_FALSE);
  EXPECT_EQ(result.v.lVal, 42);
  SysFreeString(clerk);
  VariantClear(&apNum);
}

TEST(TypelibInvoke, PortCloseLeavesAnEmptyResult) {
  FakeTarvo fake;
  Args args({Ui1(3)});
  Var result;
  result.v.vt = VT_I4;
  result.v.lVal = 5;
  ASSERT_EQ(InvokeITarvo(&fake, tarvo::dispid::PortClose, DISPATCH_METHOD, args.Positional(),
                         &result.v, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(result.v.vt, VT_EMPTY);
  EXPECT_EQ(fake.calls.at(0), "PortClose(3)");
}

TEST(TypelibInvoke, FontIsAssignedByPutAndByPutRefAndReadBack) {
  CountedFont font;
  FakeTarvo fake;
  fake.font = &font;
  for (WORD flags : {DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUTREF}) {
    Args args({Disp(&font)});
    EXPECT_EQ(InvokeITarvo(&fake, tarvo::dispid::Font, flags, args.Put(), nullptr, nullptr, nullptr),
              S_OK);
  }
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"put_Font(font)", "put_Font(font)"}));
  EXPECT_EQ(font.refs.load(), 1u);

  Var result;
  ASSERT_EQ(InvokeITarvo(&fake, tarvo::dispid::Font, DISPATCH_PROPERTYGET, nullptr, &result.v,
                         nullptr, nullptr),
            S_OK);
  EXPECT_EQ(result.v.vt, VT_DISPATCH);
  EXPECT_EQ(result.v.pdispVal, static_cast<IDispatch*>(&font));
  VariantClear(&result.v);
  EXPECT_EQ(font.refs.load(), 1u);
}

TEST(TypelibInvoke, PutrefEntryPassesTheReferenceDirectly) {
  CountedFont font;
  FakeTarvo fake;
  IFontDisp* handed = &font;
  ASSERT_EQ(static_cast<ITarvo&>(fake).putref_Font(&handed), S_OK);
  EXPECT_EQ(fake.calls.at(0), "putref_Font(&font)");
}

struct MissCase {
  const char* what;
  DISPID member;
  WORD flags;
  UINT args;
  HRESULT hr;
};

const MissCase kMisses[] = {
    {"DISPID 226 is unused", 226, DISPATCH_METHOD, 0, DISP_E_MEMBERNOTFOUND},
    {"DISPID 229 is unused", 229, DISPATCH_METHOD | DISPATCH_PROPERTYGET, 0, DISP_E_MEMBERNOTFOUND},
    {"unknown DISPID", 4711, DISPATCH_PROPERTYGET, 0, DISP_E_MEMBERNOTFOUND},
    {"Active has no put", tarvo::dispid::Active, DISPATCH_PROPERTYPUT, 1, DISP_E_MEMBERNOTFOUND},
    {"a method is no property", tarvo::dispid::SendClear, DISPATCH_PROPERTYGET, 1,
     DISP_E_MEMBERNOTFOUND},
    {"SendClear with no argument", tarvo::dispid::SendClear, DISPATCH_METHOD, 0,
     DISP_E_BADPARAMCOUNT},
    {"SendClear with two", tarvo::dispid::SendClear, DISPATCH_METHOD, 2, DISP_E_BADPARAMCOUNT},
    {"a getter with an argument", tarvo::dispid::Mode650, DISPATCH_PROPERTYGET, 1,
     DISP_E_BADPARAMCOUNT},
    {"SendPlu short of one", tarvo::dispid::SendPlu, DISPATCH_METHOD, 11, DISP_E_BADPARAMCOUNT},
};

TEST(TypelibInvoke, UnknownMembersAndWrongArgumentCountsAreRefused) {
  for (const MissCase& c : kMisses) {
    FakeTarvo fake;
    std::vector<VARIANT> natural;
    for (UINT i = 0; i < c.args; ++i) natural.push_back(I4(1));
    Args args(std::move(natural));
    Var result;
    EXPECT_EQ(InvokeITarvo(&fake, c.member, c.flags, args.Positional(), &result.v, nullptr, nullptr),
              c.hr)
        << c.what;
    EXPECT_TRUE(fake.calls.empty()) << c.what;
  }
}

TEST(TypelibInvoke, NamedArgumentsGoByParameterPosition) {
  FakeTarvo fake;
  // SendCust(cust_desc := "D", port_num := 1, cust_id := "7"), ids from the names.
  std::u16string n0 = u"SendCust", n1 = u"CUST_DESC", n2 = u"port_num", n3 = u"Cust_Id";
  LPOLESTR names[] = {n0.data(), n1.data(), n2.data(), n3.data()};
  DISPID ids[4];
  ASSERT_EQ(GetIDsOfNamesITarvo(IID_NULL, names, 4, 0, ids), S_OK);
  Args args({Str("D"), Ui1(1), Str("7")});
  ASSERT_EQ(InvokeITarvo(&fake, ids[0], DISPATCH_METHOD, args.Named({ids[1], ids[2], ids[3]}),
                         nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(fake.calls.at(0), "SendCust(1,\"7\",\"D\",&0)");

  Args bad({Str("D"), Ui1(1), Str("7")});
  UINT argErr = 99;
  EXPECT_EQ(InvokeITarvo(&fake, ids[0], DISPATCH_METHOD, bad.Named({ids[1], ids[2], 9}), nullptr,
                         nullptr, &argErr),
            DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(argErr, 0u);  // the first in rgvarg is the last named
}

TEST(TypelibInvoke, FailingMemberBecomesAnExceptionWithItsErrorInformation) {
  FakeTarvo fake;
  fake.next = E_UNEXPECTED;
  fake.errorDescription = "Access violation";
  Args args({Ui1(1)});
  Var result;
  EXCEPINFO excep;
  std::memset(&excep, 0xAB, sizeof excep);
  ASSERT_EQ(InvokeITarvo(&fake, tarvo::dispid::SendClear, DISPATCH_METHOD, args.Positional(),
                         &result.v, &excep, nullptr),
            DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, E_UNEXPECTED);
  EXPECT_EQ(Narrow(excep.bstrSource), "TarvoMDrv.Tarvo");
  EXPECT_EQ(Narrow(excep.bstrDescription), "Access violation");
  EXPECT_EQ(result.v.vt, VT_EMPTY);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  IErrorInfo* left = nullptr;
  EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE);  // taken over into the EXCEPINFO

  // Without error information the description still names the failure.
  fake.errorDescription.clear();
  fake.next = E_OUTOFMEMORY;
  Args again({Ui1(1)});
  ASSERT_EQ(InvokeITarvo(&fake, tarvo::dispid::SendClear, DISPATCH_METHOD, again.Positional(),
                         nullptr, &excep, nullptr),
            DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, E_OUTOFMEMORY);
  EXPECT_EQ(Narrow(excep.bstrDescription), "SendClear failed with 0x8007000E");
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
}

struct NamesCase {
  std::vector<std::u16string> names;
  HRESULT hr;
  std::vector<DISPID> ids;
};

TEST(TypelibInvoke, NamesMapToDispidsAndPositionsWhateverTheirCase) {
  const NamesCase cases[] = {
      {{u"VISIBLE"}, S_OK, {201}},
      {{u"caption"}, S_OK, {-518}},
      {{u"sendplu", u"PLU_CODE", u"price3", u"Value"}, S_OK, {217, 1, 11, 12}},
      {{u"EcrCheck", u"key_pos", u"DEMO_MODE"}, S_OK, {231, 5, 9}},
      {{u"Mode650", u"value"}, S_OK, {230, 0}},
      {{u"OnSell"}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
      {{u"SendPlu", u"nope", u"desc"}, DISP_E_UNKNOWNNAME, {217, DISPID_UNKNOWN, 2}},
  };
  for (const NamesCase& c : cases) {
    std::vector<std::u16string> copy = c.names;
    std::vector<LPOLESTR> names;
    for (auto& n : copy) names.push_back(n.data());
    std::vector<DISPID> ids(names.size(), 12345);
    EXPECT_EQ(GetIDsOfNamesITarvo(IID_NULL, names.data(), static_cast<UINT>(names.size()), 0x409,
                                  ids.data()),
              c.hr)
        << Narrow(c.names[0].c_str());
    EXPECT_EQ(ids, c.ids) << Narrow(c.names[0].c_str());
  }
  std::u16string n = u"Init";
  LPOLESTR one = n.data();
  DISPID id;
  EXPECT_EQ(GetIDsOfNamesITarvo(IID_ITarvo, &one, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
}

}  // namespace
}  // namespace tarvo::tlb::test
