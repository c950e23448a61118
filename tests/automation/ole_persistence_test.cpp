// The control's design-time properties saved by a container and loaded into
// a new control: through a stream and through a property bag, with the dirty
// state, malformed streams, and IQuickActivate handing over the container's
// sinks.
#include <gtest/gtest.h>

#include "automation/ole_persist_format.h"
#include "tests/automation/module_host_test.h"
#include "tests/automation/ole_container_fakes.h"

namespace tarvo::test {
namespace {

constexpr DISPID kOnCreate = 203, kOnClick = 202;

// The persisted properties of a control as the container sees them.
struct Properties {
  SIZEL extent{};
  VARIANT_BOOL mode650 = 0;
  VARIANT_BOOL enabled = 0;
  OLE_COLOR color = 0;
  std::u16string caption;
};

Properties Read(ITarvo* control) {
  Properties p;
  Ref<IOleObject> ole;
  EXPECT_EQ(control->QueryInterface(IID_IOleObject, ole.out()), S_OK);
  EXPECT_EQ(ole->GetExtent(DVASPECT_CONTENT, &p.extent), S_OK);
  EXPECT_EQ(control->get_Mode650(&p.mode650), S_OK);
  EXPECT_EQ(control->get_Enabled(&p.enabled), S_OK);
  EXPECT_EQ(control->get_Color(&p.color), S_OK);
  BSTR caption = nullptr;
  EXPECT_EQ(control->get_Caption(&caption), S_OK);
  p.caption = com::BstrText(caption);
  SysFreeString(caption);
  return p;
}

void Write(ITarvo* control, const Properties& p) {
  Ref<IOleObject> ole;
  ASSERT_EQ(control->QueryInterface(IID_IOleObject, ole.out()), S_OK);
  SIZEL extent = p.extent;
  ASSERT_EQ(ole->SetExtent(DVASPECT_CONTENT, &extent), S_OK);
  ASSERT_EQ(control->put_Mode650(p.mode650), S_OK);
  ASSERT_EQ(control->put_Enabled(p.enabled), S_OK);
  ASSERT_EQ(control->put_Color(p.color), S_OK);
  BSTR caption = com::AllocBstr(p.caption);
  ASSERT_EQ(control->put_Caption(caption), S_OK);
  SysFreeString(caption);
}

void ExpectSame(const Properties& got, const Properties& want) {
  EXPECT_EQ(got.extent.cx, want.extent.cx);
  EXPECT_EQ(got.extent.cy, want.extent.cy);
  EXPECT_EQ(got.mode650, want.mode650);
  EXPECT_EQ(got.enabled, want.enabled);
  EXPECT_EQ(got.color, want.color);
  EXPECT_EQ(got.caption, want.caption);
}

// Differs from the creation values in every persisted property; the caption
// has accented letters of the host's code page.
const Properties kDesigned{{5000, 6000}, VARIANT_FALSE, VARIANT_FALSE, 0x00123456,
                           u"P\u00e9nzt\u00e1r 2"};

using OlePersistenceTest = ModuleTest;

TEST_F(OlePersistenceTest, StreamSaveAndLoadCarryThePropertiesAndTheDirtyState) {
  MemoryStream stream;
  Properties created;
  {
    Ref<ITarvo> control;
    ASSERT_EQ(CreateControl(control), S_OK);
    Ref<IPersistStreamInit> persist;
    ASSERT_EQ(control.As(IID_IPersistStreamInit, persist), S_OK);
    created = Read(control.get());
    ASSERT_EQ(persist->InitNew(), S_OK);
    EXPECT_EQ(persist->InitNew(), E_UNEXPECTED) << "initialised once";
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    Write(control.get(), kDesigned);
    EXPECT_EQ(persist->IsDirty(), S_OK);

    ASSERT_EQ(persist->Save(&stream, FALSE), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_OK) << "saved without clearing";
    ULARGE_INTEGER size{};
    ASSERT_EQ(persist->GetSizeMax(&size), S_OK);
    EXPECT_EQ(size.QuadPart, stream.bytes.size());
    EXPECT_EQ(stream.bytes.size(), 22u + 2 * kDesigned.caption.size());
    EXPECT_EQ(stream.bytes[0], 1) << "version word";
    EXPECT_EQ(stream.bytes[1], 0);

    MemoryStream again;
    ASSERT_EQ(persist->Save(&again, TRUE), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    EXPECT_EQ(again.bytes, stream.bytes);
  }
  EXPECT_EQ(created.extent.cx, 3122);
  EXPECT_EQ(created.mode650, VARIANT_TRUE);

  Ref<ITarvo> loaded;
  ASSERT_EQ(CreateControl(loaded), S_OK);
  Ref<IPersistStreamInit> persist;
  ASSERT_EQ(loaded.As(IID_IPersistStreamInit, persist), S_OK);
  stream.position = 0;  // read from the start
  ASSERT_EQ(persist->Load(&stream), S_OK);
  ExpectSame(Read(loaded.get()), kDesigned);
  EXPECT_EQ(persist->IsDirty(), S_FALSE);
  EXPECT_EQ(persist->InitNew(), E_UNEXPECTED) << "a loaded control is initialised";
  CLSID clsid{};
  ASSERT_EQ(persist->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Tarvo);
}

TEST_F(OlePersistenceTest, MalformedStreamsAreRefusedAndChangeNothing) {
  automation::PersistedState state;
  state.extent = {100, 200};
  state.mode650 = VARIANT_FALSE;
  state.caption.assign(3, OLECHAR{'a'});
  const std::vector<std::uint8_t> good = automation::EncodeState(state);

  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    HRESULT result;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", {}, STG_E_READFAULT});
  cases.push_back({"cut in the header", {good.begin(), good.begin() + 10}, STG_E_READFAULT});
  cases.push_back({"cut in the caption", {good.begin(), good.end() - 1}, STG_E_READFAULT});
  Case version{"another version", good, STG_E_OLDFORMAT};
  version.bytes[0] = 2;
  cases.push_back(version);
  Case too_long{"caption longer than 32767", good, STG_E_INVALIDHEADER};
  too_long.bytes[18] = 0x00;
  too_long.bytes[19] = 0x80;  // 32768 code units
  cases.push_back(too_long);

  Ref<ITarvo> control;
  ASSERT_EQ(CreateControl(control), S_OK);
  Ref<IPersistStreamInit> persist;
  ASSERT_EQ(control.As(IID_IPersistStreamInit, persist), S_OK);
  const Properties before = Read(control.get());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryStream stream;
    stream.bytes = c.bytes;
    EXPECT_EQ(persist->Load(&stream), c.result);
    ExpectSame(Read(control.get()), before);
    Ref<IErrorInfo> error;
    ASSERT_EQ(GetErrorInfo(0, error.put()), S_OK);
    BSTR text = nullptr;
    ASSERT_EQ(error->GetDescription(&text), S_OK);
    EXPECT_FALSE(com::BstrText(text).empty());
    SysFreeString(text);
  }

  MemoryStream stream;
  stream.bytes = good;
  EXPECT_EQ(persist->Load(&stream), S_OK) << "a failed load leaves the control uninitialised";
  VARIANT_BOOL mode650 = VARIANT_TRUE;
  ASSERT_EQ(control->get_Mode650(&mode650), S_OK);
  EXPECT_EQ(mode650, VARIANT_FALSE);
}

TEST_F(OlePersistenceTest, PropertyBagSaveAndLoadCarryTheProperties) {
  FakePropertyBag bag;
  {
    Ref<ITarvo> control;
    ASSERT_EQ(CreateControl(control), S_OK);
    Ref<IPersistPropertyBag> persist;
    ASSERT_EQ(control.As(IID_IPersistPropertyBag, persist), S_OK);
    ASSERT_EQ(persist->InitNew(), S_OK);
    Write(control.get(), kDesigned);
    ASSERT_EQ(persist->Save(&bag, TRUE, FALSE), S_OK);
  }
  const struct {
    std::u16string name;
    VARTYPE vt;
  } saved[] = {{u"_ExtentX", VT_I4}, {u"_ExtentY", VT_I4}, {u"Mode650", VT_BOOL},
               {u"Enabled", VT_BOOL}, {u"Color", VT_I4},  {u"Caption", VT_BSTR}};
  EXPECT_EQ(bag.values.size(), std::size(saved));
  for (const auto& s : saved) {
    ASSERT_EQ(bag.values.count(s.name), 1u);
    EXPECT_EQ(bag.values[s.name].vt, s.vt);
  }

  Ref<ITarvo> loaded;
  ASSERT_EQ(CreateControl(loaded), S_OK);
  Ref<IPersistPropertyBag> persist;
  ASSERT_EQ(loaded.As(IID_IPersistPropertyBag, persist), S_OK);
  FakeErrorLog log;
  ASSERT_EQ(persist->Load(&bag, &log), S_OK);
  ExpectSame(Read(loaded.get()), kDesigned);
  EXPECT_TRUE(log.properties.empty());
  Ref<IPersistStreamInit> stream_persist;
  ASSERT_EQ(loaded.As(IID_IPersistStreamInit, stream_persist), S_OK);
  EXPECT_EQ(stream_persist->IsDirty(), S_FALSE);
}

TEST_F(OlePersistenceTest, PropertyBagLoadKeepsMissingAndUnreadableValues) {
  FakePropertyBag bag;
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = com::AllocBstr(u"not a truth value");
  ASSERT_EQ(bag.Write(u"Mode650", &value), S_OK);
  VariantClear(&value);
  value.vt = VT_BSTR;  // text that reads as a number is taken
  value.bstrVal = com::AllocBstr(u"4000");
  ASSERT_EQ(bag.Write(u"_ExtentX", &value), S_OK);
  VariantClear(&value);

  Ref<ITarvo> control;
  ASSERT_EQ(CreateControl(control), S_OK);
  const Properties before = Read(control.get());
  Ref<IPersistPropertyBag> persist;
  ASSERT_EQ(control.As(IID_IPersistPropertyBag, persist), S_OK);
  FakeErrorLog log;
  ASSERT_EQ(persist->Load(&bag, &log), S_OK);

  Properties want = before;
  want.extent.cx = 4000;
  ExpectSame(Read(control.get()), want);
  ASSERT_EQ(log.properties, (std::vector<std::u16string>{u"Mode650"}));
  EXPECT_NE(log.descriptions[0].find(u"Mode650"), std::u16string::npos);
}

TEST_F(OlePersistenceTest, QuickActivateHandsOverSiteAndSinks) {
  FakeSite site;  // the container's objects outlive the control
  FakeAdviseSink view_sink;
  RecordingSink events;
  Ref<ITarvo> control;
  ASSERT_EQ(CreateControl(control), S_OK);
  Ref<IQuickActivate> quick;
  ASSERT_EQ(control.As(IID_IQuickActivate, quick), S_OK);

  QACONTAINER container{};
  container.cbSize = sizeof container;
  container.pClientSite = &site;
  container.pAdviseSink = &view_sink;
  container.pUnkEventSink = &events;
  QACONTROL answer{};
  answer.cbSize = sizeof answer;
  ASSERT_EQ(quick->QuickActivate(&container, &answer), S_OK);
  EXPECT_EQ(answer.dwMiscStatus, 0x32191u);
  EXPECT_EQ(answer.dwViewStatus, static_cast<DWORD>(VIEWSTATUS_OPAQUE));
  EXPECT_NE(answer.dwEventCookie, 0u);
  EXPECT_EQ(answer.dwPropNotifyCookie, 0u) << "no property-change sink was given";

  // The event sink is connected: it hears OnCreate and the window's events.
  EXPECT_EQ(events.CountOf(kOnCreate), 1u);
  Ref<ITarvoWindow> window;
  ASSERT_EQ(control.As(IID_ITarvoWindow, window), S_OK);
  window->FireClick();
  EXPECT_EQ(events.CountOf(kOnClick), 1u);

  // The site is the client site, the advise sink the view's.
  Ref<IOleObject> ole;
  ASSERT_EQ(control.As(IID_IOleObject, ole), S_OK);
  Ref<IOleClientSite> got_site;
  ASSERT_EQ(ole->GetClientSite(got_site.put()), S_OK);
  EXPECT_EQ(got_site.get(), static_cast<IOleClientSite*>(&site));
  SIZEL extent{2000, 1000};
  ASSERT_EQ(quick->SetContentExtent(&extent), S_OK);
  EXPECT_EQ(view_sink.view_changes, 1);
  SIZEL got{};
  ASSERT_EQ(quick->GetContentExtent(&got), S_OK);
  EXPECT_EQ(got.cx, 2000);
  EXPECT_EQ(got.cy, 1000);

  container.cbSize = 8;  // older than any container that has the sinks
  EXPECT_EQ(quick->QuickActivate(&container, &answer), E_INVALIDARG);

  got_site.Reset();
  ASSERT_EQ(ole->SetClientSite(nullptr), S_OK);
  ole.Reset();
  window.Reset();
  quick.Reset();
  control.Reset();
  EXPECT_EQ(site.Count(), 1u);
  EXPECT_EQ(view_sink.Count(), 1u);
  EXPECT_EQ(events.refs(), 1u);
}

}  // namespace
}  // namespace tarvo::test
