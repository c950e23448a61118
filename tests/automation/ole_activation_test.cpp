// The control as an in-place ActiveX control: its interfaces, misc status and
// verbs, activation in a container's window through the site, and the
// control window's notifications reaching the event sink.
#include <gtest/gtest.h>

#include "automation/ole_control.h"
#include "tests/automation/module_host_test.h"
#include "tests/automation/ole_container_fakes.h"

namespace tarvo::test {
namespace {

constexpr DISPID kOnActivate = 201, kOnClick = 202, kOnDblClick = 204, kOnDeactivate = 206,
                 kOnKeyPress = 207, kOnPaint = 208;

bool SameRect(const platform::WindowRect& w, const RECT& r) {
  return w.left == r.left && w.top == r.top && w.right == r.right && w.bottom == r.bottom;
}

class OleActivationTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_EQ(CreateControl(control_), S_OK);
    ASSERT_EQ(control_.As(IID_IOleObject, ole_), S_OK);
    ASSERT_EQ(control_.As(IID_IOleInPlaceObject, inplace_), S_OK);
    ASSERT_EQ(ole_->SetClientSite(&site_), S_OK);
  }
  void TearDown() override {
    if (ole_) {
      EXPECT_EQ(ole_->Close(OLECLOSE_NOSAVE), S_OK);
      EXPECT_EQ(ole_->SetClientSite(nullptr), S_OK);
    }
    inplace_.Reset();
    ole_.Reset();
    control_.Reset();
    EXPECT_EQ(site_.Count(), 1u) << "the control kept a reference to its site";
    EXPECT_EQ(site_.frame.Count(), 1u) << "the control kept a reference to the frame";
    EXPECT_TRUE(site_.parent.children.empty()) << "a control window outlived its control";
    ModuleTest::TearDown();
  }

  void ConnectSink() {
    Ref<IConnectionPoint> point;
    ASSERT_EQ(EventPoint(control_.get(), point), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(&sink_, &cookie), S_OK);
  }

  // Declared before the control: they outlive it.
  FakeSite site_;
  RecordingSink sink_;
  Ref<ITarvo> control_;
  Ref<IOleObject> ole_;
  Ref<IOleInPlaceObject> inplace_;
};

TEST_F(OleActivationTest, AnswersEveryControlInterfaceWithOneIdentity) {
  Ref<IUnknown> identity;
  ASSERT_EQ(control_.As(IID_IUnknown, identity), S_OK);
  const struct {
    const char* name;
    const IID& iid;
  } cases[] = {
      {"IOleObject", IID_IOleObject},
      {"IOleWindow", IID_IOleWindow},
      {"IOleInPlaceObject", IID_IOleInPlaceObject},
      {"IOleInPlaceActiveObject", IID_IOleInPlaceActiveObject},
      {"IOleControl", IID_IOleControl},
      {"IViewObject", IID_IViewObject},
      {"IViewObject2", IID_IViewObject2},
      {"IPersist", IID_IPersist},
      {"IPersistStreamInit", IID_IPersistStreamInit},
      {"IPersistPropertyBag", IID_IPersistPropertyBag},
      {"IProvideClassInfo", IID_IProvideClassInfo},
      {"IProvideClassInfo2", IID_IProvideClassInfo2},
      {"IQuickActivate", IID_IQuickActivate},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Ref<IUnknown> part;
    ASSERT_EQ(control_.As(c.iid, part), S_OK);
    Ref<IUnknown> back;
    ASSERT_EQ(part.As(IID_IUnknown, back), S_OK);
    EXPECT_EQ(back.get(), identity.get());
    Ref<ITarvo> tarvo;
    EXPECT_EQ(part.As(IID_ITarvo, tarvo), S_OK) << "the way back to the control";
  }
}

TEST_F(OleActivationTest, DescribesItselfToTheContainer) {
  DWORD status = 0;
  ASSERT_EQ(ole_->GetMiscStatus(DVASPECT_CONTENT, &status), S_OK);
  EXPECT_EQ(status, 0x32191u);
  ASSERT_EQ(ole_->GetMiscStatus(DVASPECT_ICON, &status), S_OK);
  EXPECT_EQ(status, 0u);

  Ref<IEnumOLEVERB> verbs;
  ASSERT_EQ(ole_->EnumVerbs(verbs.put()), S_OK);
  OLEVERB got[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(verbs->Next(2, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(got[0].lVerb, 0);
  EXPECT_EQ(std::u16string(got[0].lpszVerbName), u"Properties");
  EXPECT_EQ(got[0].fuFlags, 0u);
  EXPECT_EQ(got[0].grfAttribs, static_cast<DWORD>(OLEVERBATTRIB_ONCONTAINERMENU));
  CoTaskMemFree(got[0].lpszVerbName);
  EXPECT_EQ(verbs->Next(1, got, nullptr), S_FALSE) << "one verb only";

  CLSID clsid{};
  ASSERT_EQ(ole_->GetUserClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Tarvo);
  SIZEL extent{};
  ASSERT_EQ(ole_->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
  EXPECT_EQ(extent.cx, 3122) << "118 pixels at 96 per inch in HIMETRIC";
  EXPECT_EQ(extent.cy, 3545) << "134 pixels";

  Ref<IProvideClassInfo2> info;
  ASSERT_EQ(control_.As(IID_IProvideClassInfo2, info), S_OK);
  GUID events{};
  ASSERT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events), S_OK);
  EXPECT_EQ(events, DIID_ITarvoEvents);
  Ref<ITypeInfo> coclass;
  ASSERT_EQ(info->GetClassInfo(coclass.put()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->guid, CLSID_Tarvo);
  coclass->ReleaseTypeAttr(attr);

  Ref<IOleControl> control;
  ASSERT_EQ(control_.As(IID_IOleControl, control), S_OK);
  CONTROLINFO ci{};
  ASSERT_EQ(control->GetControlInfo(&ci), S_OK);
  EXPECT_EQ(ci.cAccel, 0) << "no mnemonics";
}

TEST_F(OleActivationTest, ActivatesInPlaceInTheSitesWindowAndGoesAgain) {
  ConnectSink();
  RecordingSink& sink = sink_;

  ASSERT_EQ(ole_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site_, 0, nullptr, nullptr), S_OK);
  EXPECT_EQ(site_.calls, (std::vector<std::string>{"CanInPlaceActivate", "OnInPlaceActivate",
                                                   "GetWindow", "GetWindowContext",
                                                   "ShowObject"}));
  platform::WindowRecord* child = site_.Child();
  ASSERT_NE(child, nullptr) << "the control window is a child of the site's window";
  EXPECT_EQ(site_.parent.children.size(), 1u);
  EXPECT_TRUE(SameRect(child->rect, site_.rect));
  EXPECT_TRUE(child->visible);
  EXPECT_FALSE(child->focused) << "in-place active, not UI active";
  HWND hwnd = nullptr;
  ASSERT_EQ(inplace_->GetWindow(&hwnd), S_OK);
  EXPECT_EQ(static_cast<void*>(hwnd), static_cast<void*>(child));

  const RECT moved{40, 50, 200, 300};
  ASSERT_EQ(inplace_->SetObjectRects(&moved, &moved), S_OK);
  EXPECT_TRUE(SameRect(child->rect, moved));

  // UI activation: the site hears of it, the frame gets the active object,
  // and the window's focus raises OnActivate.
  site_.calls.clear();
  ASSERT_EQ(ole_->DoVerb(OLEIVERB_UIACTIVATE, nullptr, &site_, 0, nullptr, nullptr), S_OK);
  EXPECT_EQ(site_.calls, (std::vector<std::string>{"OnUIActivate"}));
  EXPECT_NE(site_.frame.active, nullptr);
  EXPECT_TRUE(child->focused);
  EXPECT_EQ(sink.CountOf(kOnActivate), 1u);

  site_.calls.clear();
  ASSERT_EQ(inplace_->UIDeactivate(), S_OK);
  EXPECT_EQ(site_.calls, (std::vector<std::string>{"OnUIDeactivate"}));
  EXPECT_EQ(site_.frame.active, nullptr);
  EXPECT_EQ(sink.CountOf(kOnDeactivate), 1u);
  EXPECT_EQ(site_.Child(), child) << "still in-place active";

  site_.calls.clear();
  ASSERT_EQ(inplace_->InPlaceDeactivate(), S_OK);
  EXPECT_EQ(site_.calls, (std::vector<std::string>{"OnInPlaceDeactivate"}));
  EXPECT_TRUE(site_.parent.children.empty()) << "the control window is destroyed";
  EXPECT_EQ(inplace_->GetWindow(&hwnd), E_FAIL);
  EXPECT_EQ(hwnd, nullptr);
  EXPECT_EQ(site_.frame.Count(), 1u) << "the frame is let go";
}

TEST_F(OleActivationTest, EachVerbLeavesTheControlInItsState) {
  struct Case {
    const char* what;
    LONG verb;
    HRESULT result;
    bool window;  // in-place active afterwards
    bool visible;
    bool focused;  // UI active afterwards
  };
  const Case cases[] = {
      {"in-place activate", OLEIVERB_INPLACEACTIVATE, S_OK, true, true, false},
      {"UI activate", OLEIVERB_UIACTIVATE, S_OK, true, true, true},
      {"show", OLEIVERB_SHOW, S_OK, true, true, true},
      {"primary, Properties", OLEIVERB_PRIMARY, S_OK, true, true, true},
      {"unknown positive verb acts as primary", 7, OLEOBJ_S_INVALIDVERB, true, true, true},
      {"hide", OLEIVERB_HIDE, S_OK, false, false, false},
      {"open", OLEIVERB_OPEN, E_NOTIMPL, false, false, false},
      {"property pages", OLEIVERB_PROPERTIES, E_NOTIMPL, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ole_->DoVerb(c.verb, nullptr, &site_, 0, nullptr, nullptr), c.result);
    platform::WindowRecord* child = site_.Child();
    ASSERT_EQ(child != nullptr, c.window);
    if (child != nullptr) {
      EXPECT_EQ(child->visible, c.visible);
      EXPECT_EQ(child->focused, c.focused);
    }
    ASSERT_EQ(inplace_->InPlaceDeactivate(), S_OK);
  }

  // Hiding an active control keeps its window, hidden and without focus.
  ASSERT_EQ(ole_->DoVerb(OLEIVERB_UIACTIVATE, nullptr, &site_, 0, nullptr, nullptr), S_OK);
  ASSERT_EQ(ole_->DoVerb(OLEIVERB_HIDE, nullptr, &site_, 0, nullptr, nullptr), S_OK);
  ASSERT_NE(site_.Child(), nullptr);
  EXPECT_FALSE(site_.Child()->visible);
  EXPECT_FALSE(site_.Child()->focused);
  ASSERT_EQ(inplace_->InPlaceDeactivate(), S_OK);

  // A site that does not want in-place activation now gets no window.
  site_.allow_in_place = false;
  site_.calls.clear();
  EXPECT_EQ(ole_->DoVerb(OLEIVERB_SHOW, nullptr, &site_, 0, nullptr, nullptr),
            OLEOBJ_S_CANNOT_DOVERB_NOW);
  EXPECT_EQ(site_.calls, (std::vector<std::string>{"CanInPlaceActivate"}));
  EXPECT_TRUE(site_.parent.children.empty());
}

TEST_F(OleActivationTest, WindowNotificationsReachTheSinkUnlessFrozen) {
  ConnectSink();
  RecordingSink& sink = sink_;
  ASSERT_EQ(ole_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site_, 0, nullptr, nullptr), S_OK);
  platform::WindowRecord* child = site_.Child();
  ASSERT_NE(child, nullptr);
  ASSERT_NE(child->events, nullptr);

  struct Case {
    const char* what;
    void (*deliver)(platform::ControlWindowEvents&);
    DISPID event;
  };
  const Case cases[] = {
      {"click", [](platform::ControlWindowEvents& e) { e.WindowClicked(); }, kOnClick},
      {"double click", [](platform::ControlWindowEvents& e) { e.WindowDoubleClicked(); },
       kOnDblClick},
      {"paint", [](platform::ControlWindowEvents& e) { e.WindowPainted(); }, kOnPaint},
      {"focus", [](platform::ControlWindowEvents& e) { e.WindowActivated(); }, kOnActivate},
      {"focus lost", [](platform::ControlWindowEvents& e) { e.WindowDeactivated(); },
       kOnDeactivate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.deliver(*child->events);
    EXPECT_EQ(sink.CountOf(c.event), 1u);
    if (c.event == kOnActivate) {
      // The user's focus makes the in-place control UI active.
      EXPECT_EQ(site_.calls.back(), "OnUIActivate");
      EXPECT_NE(site_.frame.active, nullptr);
    }
  }

  // A typed character goes through OnKeyPress; the handler may change it.
  sink.on_invoke = [](DISPID id, DISPPARAMS& params) {
    if (id == kOnKeyPress) *params.rgvarg[0].piVal = 'b';
  };
  EXPECT_EQ(child->events->WindowKeyPressed('a'), 'b');
  ASSERT_EQ(sink.CountOf(kOnKeyPress), 1u);
  EXPECT_EQ(sink.CallsOf(kOnKeyPress)[0].numbers[0], 'a') << "the handler saw the typed key";
  sink.on_invoke = nullptr;

  // Frozen, the container ignores the control's events: they are dropped.
  Ref<IOleControl> control;
  ASSERT_EQ(control_.As(IID_IOleControl, control), S_OK);
  ASSERT_EQ(control->FreezeEvents(TRUE), S_OK);
  child->events->WindowClicked();
  EXPECT_EQ(sink.CountOf(kOnClick), 1u);
  ASSERT_EQ(control->FreezeEvents(FALSE), S_OK);
  child->events->WindowClicked();
  EXPECT_EQ(sink.CountOf(kOnClick), 2u);
}

}  // namespace
}  // namespace tarvo::test
