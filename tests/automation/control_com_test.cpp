// The control as a COM object: its interfaces, its initial state, the call
// rules of its methods and the apartment it lives in.
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/automation/module_host_test.h"

namespace tarvo::test {
namespace {

class ControlComTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_EQ(CreateControl(control_), S_OK);
  }
  void TearDown() override {
    control_.Reset();
    ModuleTest::TearDown();
  }

  Ref<ITarvo> control_;
};

TEST_F(ControlComTest, AnswersItsInterfacesWithOneIdentity) {
  struct Case {
    const char* what;
    IID iid;
    HRESULT expected;
  };
  const Case cases[] = {
      {"IUnknown", IID_IUnknown, S_OK},
      {"IDispatch", IID_IDispatch, S_OK},
      {"ITarvo", IID_ITarvo, S_OK},
      {"IConnectionPointContainer", IID_IConnectionPointContainer, S_OK},
      {"IProvideClassInfo", IID_IProvideClassInfo, S_OK},
      {"ISupportErrorInfo", IID_ISupportErrorInfo, S_OK},
      {"ITarvoWindow", IID_ITarvoWindow, S_OK},
      {"IClassFactory", IID_IClassFactory, E_NOINTERFACE},
      {"IConnectionPoint", IID_IConnectionPoint, E_NOINTERFACE},
      {"the event interface", DIID_ITarvoEvents, E_NOINTERFACE},
  };
  Ref<IUnknown> identity;
  ASSERT_EQ(control_.As(IID_IUnknown, identity), S_OK);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Ref<IUnknown> object;
    ASSERT_EQ(control_.As(c.iid, object), c.expected);
    if (!object) continue;
    Ref<IUnknown> back;
    ASSERT_EQ(object.As(IID_IUnknown, back), S_OK);
    EXPECT_EQ(back.get(), identity.get());
  }
}

TEST_F(ControlComTest, StartsWithTheWindowLayoutAndMode650True) {
  VARIANT_BOOL flag = 0;
  LONG number = 0;
  ASSERT_EQ(control_->get_Mode650(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_TRUE);

  const std::pair<HRESULT (ITarvo::*)(VARIANT_BOOL*), VARIANT_BOOL> flags[] = {
      {&ITarvo::get_Visible, VARIANT_TRUE},   {&ITarvo::get_Enabled, VARIANT_TRUE},
      {&ITarvo::get_Scaled, VARIANT_TRUE},    {&ITarvo::get_AutoScroll, VARIANT_FALSE},
      {&ITarvo::get_AutoSize, VARIANT_FALSE}, {&ITarvo::get_KeyPreview, VARIANT_FALSE},
  };
  for (const auto& [getter, expected] : flags) {
    ASSERT_EQ((control_.get()->*getter)(&flag), S_OK);
    EXPECT_EQ(flag, expected);
  }
  TxActiveFormBorderStyle border{};
  ASSERT_EQ(control_->get_AxBorderStyle(&border), S_OK);
  EXPECT_EQ(border, afbSingle);
  OLE_COLOR color = 0;
  ASSERT_EQ(control_->get_Color(&color), S_OK);
  EXPECT_EQ(color, 0x8000000Fu);
  ASSERT_EQ(control_->get_PixelsPerInch(&number), S_OK);
  EXPECT_EQ(number, 96);
  BSTR caption = nullptr;
  ASSERT_EQ(control_->get_Caption(&caption), S_OK);
  EXPECT_EQ(BstrString(caption), u"Tarvo");
  SysFreeString(caption);

  Ref<IFontDisp> font;
  ASSERT_EQ(control_->get_Font(font.put()), S_OK);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT name, size;
  VariantInit(&name);
  VariantInit(&size);
  ASSERT_EQ(font->Invoke(DISPID_FONT_NAME, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &name,
                         nullptr, nullptr),
            S_OK);
  ASSERT_EQ(font->Invoke(DISPID_FONT_SIZE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &size,
                         nullptr, nullptr),
            S_OK);
  EXPECT_EQ(BstrString(name.bstrVal), u"MS Sans Serif");
  EXPECT_EQ(size.cyVal.int64, 80000) << "height -11 at 96 pixels per inch is 8 points";
  VariantClear(&name);
}

TEST_F(ControlComTest, Mode650KeepsTheValueAssigned) {
  for (VARIANT_BOOL assigned : {VARIANT_BOOL{1}, VARIANT_FALSE, VARIANT_TRUE}) {
    ASSERT_EQ(control_->put_Mode650(assigned), S_OK);
    VARIANT_BOOL read = 0x55;
    ASSERT_EQ(control_->get_Mode650(&read), S_OK);
    EXPECT_EQ(read, assigned);
  }
}

TEST_F(ControlComTest, RefusedPropertyPutsPublishErrorInformation) {
  struct Case {
    const char* what;
    std::function<HRESULT(ITarvo*)> put;
    const char16_t* mentions;
  };
  const Case cases[] = {
      {"AxBorderStyle 7", [](ITarvo* c) { return c->put_AxBorderStyle(static_cast<TxActiveFormBorderStyle>(7)); },
       u"AxBorderStyle"},
      {"PrintScale -1", [](ITarvo* c) { return c->put_PrintScale(static_cast<TxPrintScale>(-1)); },
       u"PrintScale"},
      {"putref Font null", [](ITarvo* c) { return c->putref_Font(nullptr); }, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetErrorInfo(0, nullptr);
    EXPECT_TRUE(FAILED(c.put(control_.get())));
    Ref<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
    ASSERT_TRUE(info);
    BSTR source = nullptr;
    BSTR description = nullptr;
    info->GetSource(&source);
    info->GetDescription(&description);
    EXPECT_EQ(BstrString(source), u"TarvoMDrv.Tarvo");
    EXPECT_NE(BstrString(description).find(c.mentions), std::u16string::npos);
    EXPECT_FALSE(BstrString(description).empty());
    SysFreeString(source);
    SysFreeString(description);
  }
  // Late-bound, the description arrives in the exception information.
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_I4;
  value.lVal = 9;
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{&value, &put, 1, 1};
  EXCEPINFO excep{};
  EXPECT_EQ(control_->Invoke(tarvo::dispid::AxBorderStyle, IID_NULL, 0, DISPATCH_PROPERTYPUT,
                             &params, nullptr, &excep, nullptr),
            DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, E_INVALIDARG);
  EXPECT_EQ(BstrString(excep.bstrSource), u"TarvoMDrv.Tarvo");
  EXPECT_NE(BstrString(excep.bstrDescription).find(u"not 9"), std::u16string::npos);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
}

// A font of the host's making, "Arial" 12 pt bold.
Ref<IDispatch> MakeArial() {
  std::u16string name = u"Arial";
  FONTDESC desc{};
  desc.cbSizeofstruct = sizeof desc;
  desc.lpstrName = name.data();
  desc.cySize.int64 = 120000;
  desc.sWeight = 700;
  desc.sCharset = 1;
  Ref<IDispatch> font;
  EXPECT_EQ(OleCreateFontIndirect(&desc, IID_IFontDisp, font.out()), S_OK);
  return font;
}

TEST_F(ControlComTest, FontAssignmentTakesOverTheAttributesEitherWay) {
  for (WORD how : {DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUTREF}) {
    SCOPED_TRACE(how == DISPATCH_PROPERTYPUT ? "put" : "putref");
    Ref<ITarvo> control;
    ASSERT_EQ(CreateControl(control), S_OK);
    Ref<IDispatch> arial = MakeArial();
    VARIANT value;
    value.vt = VT_DISPATCH;
    value.pdispVal = arial.get();
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &put, 1, 1};
    ASSERT_EQ(control->Invoke(-512, IID_NULL, 0, how, &params, nullptr, nullptr, nullptr), S_OK);

    Ref<IFontDisp> font;
    ASSERT_EQ(control->get_Font(font.put()), S_OK);
    EXPECT_NE(static_cast<IDispatch*>(font.get()), arial.get()) << "the window keeps its font";
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT name, size, bold;
    for (VARIANT* v : {&name, &size, &bold}) VariantInit(v);
    font->Invoke(DISPID_FONT_NAME, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &name, nullptr,
                 nullptr);
    font->Invoke(DISPID_FONT_SIZE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &size, nullptr,
                 nullptr);
    font->Invoke(DISPID_FONT_BOLD, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &bold, nullptr,
                 nullptr);
    EXPECT_EQ(BstrString(name.bstrVal), u"Arial");
    EXPECT_EQ(size.cyVal.int64, 120000);
    EXPECT_EQ(bold.boolVal, VARIANT_TRUE);
    VariantClear(&name);
  }
}

TEST_F(ControlComTest, MethodsOnAPortThatIsNotOpenReportCode3InValue) {
  BSTR text = SysAllocString(u"1");
  const std::pair<const char*, std::function<HRESULT(LONG*)>> methods[] = {
      {"SendPlu",
       [&](LONG* v) {
         return control_->SendPlu(14, text, text, 1, 1, 1, text, text, text, 1, 1, 1, v);
       }},
      {"SendCust", [&](LONG* v) { return control_->SendCust(14, text, text, v); }},
      {"CurrencyUpload",
       [&](LONG* v) { return control_->CurrencyUpload(14, text, text, text, text, v); }},
      {"ClerkUpload",
       [&](LONG* v) { return control_->ClerkUpload(14, text, text, text, text, v); }},
      {"SetClerkOptions",
       [&](LONG* v) { return control_->SetClerkOptions(14, VARIANT_TRUE, 1, VARIANT_TRUE, v); }},
      {"OperationEnabled",
       [&](LONG* v) { return control_->OperationEnabled(14, VARIANT_TRUE, text, v); }},
      {"SendClerk", [&](LONG* v) { return control_->SendClerk(14, text, text, v); }},
      {"SendClear", [&](LONG* v) { return control_->SendClear(14, v); }},
  };
  for (const auto& [name, call] : methods) {
    SCOPED_TRACE(name);
    LONG value = 77;
    EXPECT_EQ(call(&value), S_OK);
    EXPECT_EQ(value, 3);
  }
  SysFreeString(text);
}

TEST_F(ControlComTest, InOutParametersStayWhenThePortIsNotOpen) {
  VARIANT_BOOL day_open = 5;
  LONG value = 77;
  EXPECT_EQ(control_->GetStatus(14, &day_open, &value), S_OK);
  EXPECT_EQ(value, 3);
  EXPECT_EQ(day_open, 5);

  LONG receipt = 1, amount = 2, cancel = 3, day = 4;
  BYTE key = 5, status = 6;
  BSTR clerk = SysAllocString(u"clerk"), ap = SysAllocString(u"ap");
  const BSTR clerk_before = clerk;
  VARIANT_BOOL demo = VARIANT_TRUE;
  EXPECT_EQ(control_->EcrCheck(14, &receipt, &amount, &cancel, &clerk, &key, &status, &ap, &day,
                               &demo, &value),
            S_OK);
  EXPECT_EQ(value, 3);
  EXPECT_EQ(clerk, clerk_before);
  EXPECT_EQ(BstrString(ap), u"ap");
  EXPECT_EQ(receipt + amount + cancel + day + key + status, 1 + 2 + 3 + 4 + 5 + 6);
  EXPECT_EQ(demo, VARIANT_TRUE);
  SysFreeString(clerk);
  SysFreeString(ap);
}

TEST_F(ControlComTest, OpenArgumentsAreCheckedBeforeAnyDevice) {
  BSTR path = SysAllocString(u"");
  struct Case {
    BYTE port;
    LONG baud;
    LONG expected;
  };
  for (const Case& c : {Case{0, 9600, 4}, Case{17, 9600, 4}, Case{1, 4800, 4}}) {
    LONG value = 77;
    EXPECT_EQ(control_->Init(c.port, c.baud, 0, path, &value), S_OK);
    EXPECT_EQ(value, c.expected);
    value = 77;
    EXPECT_EQ(control_->PortOpen(c.port, c.baud, 0, path, &value), S_OK);
    EXPECT_EQ(value, c.expected);
  }
  EXPECT_EQ(control_->PortClose(14), S_OK) << "closing a port never opened does nothing";
  SysFreeString(path);
}

TEST_F(ControlComTest, LateBoundCallsReachTheMembers) {
  Ref<IDispatch> dispatch;
  ASSERT_EQ(control_.As(IID_IDispatch, dispatch), S_OK);
  UINT count = 0;
  ASSERT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  Ref<ITypeInfo> info;
  ASSERT_EQ(dispatch->GetTypeInfo(0, 0, info.put()), S_OK);

  std::u16string name = u"Mode650";
  LPOLESTR names[] = {name.data()};
  DISPID id = 0;
  ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  EXPECT_EQ(id, 230);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(dispatch->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                             nullptr),
            S_OK);
  EXPECT_EQ(result.vt, VT_BOOL);
  EXPECT_EQ(result.boolVal, VARIANT_TRUE);

  Ref<IProvideClassInfo> class_info;
  ASSERT_EQ(control_.As(IID_IProvideClassInfo, class_info), S_OK);
  Ref<ITypeInfo> coclass;
  ASSERT_EQ(class_info->GetClassInfo(coclass.put()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->guid, CLSID_Tarvo);
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  coclass->ReleaseTypeAttr(attr);
}

TEST_F(ControlComTest, CallsFromAnotherThreadAreRefused) {
  Ref<IConnectionPoint> point;
  ASSERT_EQ(EventPoint(control_.get(), point), S_OK);
  Ref<IConnectionPointContainer> container;
  ASSERT_EQ(control_.As(IID_IConnectionPointContainer, container), S_OK);
  RecordingSink sink;

  std::vector<std::pair<const char*, HRESULT>> results;
  std::thread other([&] {
    VARIANT_BOOL flag = 0;
    LONG value = 0;
    BSTR path = SysAllocString(u"");
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    std::u16string name = u"Mode650";
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    IConnectionPoint* found = nullptr;
    DWORD cookie = 0;
    results = {
        {"get_Mode650", control_->get_Mode650(&flag)},
        {"put_Visible", control_->put_Visible(VARIANT_FALSE)},
        {"PortOpen", control_->PortOpen(1, 9600, 0, path, &value)},
        {"PortClose", control_->PortClose(1)},
        {"GetIDsOfNames", control_->GetIDsOfNames(IID_NULL, names, 1, 0, &id)},
        {"Invoke",
         control_->Invoke(230, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                          nullptr)},
        {"FindConnectionPoint", container->FindConnectionPoint(DIID_ITarvoEvents, &found)},
        {"Advise", point->Advise(&sink, &cookie)},
        {"Unadvise", point->Unadvise(1)},
    };
    // Reference counting and QueryInterface are free-threaded.
    control_->AddRef();
    IUnknown* unknown = nullptr;
    results.push_back({"QueryInterface", control_->QueryInterface(IID_IUnknown,
                                                                  reinterpret_cast<void**>(&unknown))});
    if (unknown != nullptr) unknown->Release();
    control_->Release();
    SysFreeString(path);
  });
  other.join();
  for (const auto& [what, hr] : results) {
    SCOPED_TRACE(what);
    EXPECT_EQ(hr, std::string(what) == "QueryInterface" ? S_OK : RPC_E_WRONG_THREAD);
  }
  VARIANT_BOOL visible = 0;
  ASSERT_EQ(control_->get_Visible(&visible), S_OK);
  EXPECT_EQ(visible, VARIANT_TRUE) << "the refused put changed nothing";
  EXPECT_EQ(sink.refs(), 1u);
}

TEST_F(ControlComTest, LastReleaseOnAnotherThreadDestroysOnTheOwnerThread) {
  control_.Reset();
  ASSERT_EQ(Module().CanUnloadNow(), S_OK);
  Ref<ITarvo> control;
  ASSERT_EQ(CreateControl(control), S_OK);
  ITarvo* raw = control.Detach();
  std::thread([raw] { raw->Release(); }).join();
  EXPECT_EQ(Module().CanUnloadNow(), S_FALSE) << "the window is destroyed on its own thread";
  EXPECT_TRUE(PumpUntil([] { return Module().CanUnloadNow() == S_OK; }));
}

}  // namespace
}  // namespace tarvo::test
