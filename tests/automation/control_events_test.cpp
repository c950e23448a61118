// Events of the control: its connection points, the window notifications,
// driver events from a register on a pseudo-terminal, and what the control
// does with its ports and its sink when it goes.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "link/frame.h"
#include "tests/automation/module_host_test.h"
#include "tests/support/pty_pair.h"
#include "tools/sim/messages.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;

constexpr DISPID kOnActivate = 201, kOnClick = 202, kOnCreate = 203, kOnDblClick = 204,
                 kOnDestroy = 205, kOnDeactivate = 206, kOnKeyPress = 207, kOnPaint = 208,
                 kOnIDPress = 230;

// A property-change sink (the multi-sink point).
class NotifySink final : public IPropertyNotifySink {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IPropertyNotifySink) {
      *ppv = static_cast<IPropertyNotifySink*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }
  HRESULT OnChanged(DISPID) override { return S_OK; }
  HRESULT OnRequestEdit(DISPID) override { return S_OK; }
  ULONG refs() const { return refs_; }

 private:
  std::atomic<ULONG> refs_{1};
};

class ControlEventsTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_EQ(CreateControl(control_), S_OK);
    ASSERT_EQ(EventPoint(control_.get(), point_), S_OK);
  }
  void TearDown() override {
    point_.Reset();
    control_.Reset();
    ModuleTest::TearDown();
  }

  Ref<ITarvo> control_;
  Ref<IConnectionPoint> point_;
};

// Every event call has the same shape: IID_NULL, locale 0, a method call
// without result and without named arguments.
void ExpectEventShape(const SinkCall& call) {
  EXPECT_EQ(call.riid, IID_NULL);
  EXPECT_EQ(call.lcid, 0u);
  EXPECT_EQ(call.flags, DISPATCH_METHOD);
  EXPECT_FALSE(call.wanted_result);
  EXPECT_EQ(call.named_args, 0u);
}

TEST_F(ControlEventsTest, OffersTheEventAndPropertyNotificationPoints) {
  Ref<IConnectionPointContainer> container;
  ASSERT_EQ(control_.As(IID_IConnectionPointContainer, container), S_OK);
  struct Case {
    const char* what;
    IID iid;
    HRESULT expected;
  };
  for (const Case& c : {Case{"events", DIID_ITarvoEvents, S_OK},
                        Case{"property changes", IID_IPropertyNotifySink, S_OK},
                        Case{"anything else", IID_IDispatch, CONNECT_E_NOCONNECTION}}) {
    SCOPED_TRACE(c.what);
    Ref<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(c.iid, point.put()),
              c.expected);
    if (!point) continue;
    IID iid{};
    ASSERT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, c.iid);
    Ref<IConnectionPointContainer> back;
    ASSERT_EQ(point->GetConnectionPointContainer(
                  back.put()),
              S_OK);
    EXPECT_EQ(back.get(), container.get());
  }

  Ref<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(points.put()),
            S_OK);
  IConnectionPoint* got[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(points->Next(3, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  IID first{}, second{};
  got[0]->GetConnectionInterface(&first);
  got[1]->GetConnectionInterface(&second);
  EXPECT_EQ(first, DIID_ITarvoEvents);
  EXPECT_EQ(second, IID_IPropertyNotifySink);
  got[0]->Release();
  got[1]->Release();
}

TEST_F(ControlEventsTest, OnCreateReachesOnlyTheFirstSinkEverAndOnce) {
  RecordingSink sink;
  DWORD cookie = 0;
  ASSERT_EQ(point_->Advise(&sink, &cookie), S_OK);
  EXPECT_EQ(cookie, 1u);
  ASSERT_EQ(sink.CountOf(kOnCreate), 1u);
  ExpectEventShape(sink.CallsOf(kOnCreate)[0]);
  EXPECT_TRUE(sink.CallsOf(kOnCreate)[0].types.empty());

  ASSERT_EQ(point_->Unadvise(cookie), S_OK);
  EXPECT_EQ(sink.refs(), 1u);
  RecordingSink later;
  ASSERT_EQ(point_->Advise(&later, &cookie), S_OK);
  EXPECT_EQ(cookie, 1u) << "the freed slot is reused";
  EXPECT_EQ(later.CountOf(kOnCreate), 0u);
  EXPECT_EQ(sink.CountOf(kOnCreate), 1u);

  for (DWORD unknown : {DWORD{0}, DWORD{2}, DWORD{7}})
    EXPECT_EQ(point_->Unadvise(unknown), CONNECT_E_NOCONNECTION) << unknown;
  ASSERT_EQ(point_->Unadvise(cookie), S_OK);
  EXPECT_EQ(point_->Unadvise(cookie), CONNECT_E_NOCONNECTION);
}

TEST_F(ControlEventsTest, ASecondSinkIsRefusedAndTheFirstKeepsTheEvents) {
  RecordingSink first, second;
  DWORD cookie = 0, refused = 99;
  ASSERT_EQ(point_->Advise(&first, &cookie), S_OK);
  EXPECT_EQ(point_->Advise(&second, &refused), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(static_cast<std::uint32_t>(CONNECT_E_CANNOTCONNECT), 0x80040202u);

  Ref<ITarvoWindow> window;
  ASSERT_EQ(control_.As(IID_ITarvoWindow, window), S_OK);
  window->FireClick();
  EXPECT_EQ(first.CountOf(kOnClick), 1u);
  EXPECT_TRUE(second.Calls().empty());
  EXPECT_EQ(second.refs(), 1u) << "the refused sink is not kept";

  Ref<IEnumConnections> connections;
  ASSERT_EQ(point_->EnumConnections(connections.put()),
            S_OK);
  CONNECTDATA data[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(connections->Next(2, data, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(data[0].dwCookie, cookie);
  data[0].pUnk->Release();
  connections.Reset();
  ASSERT_EQ(point_->Unadvise(cookie), S_OK);
}

TEST_F(ControlEventsTest, ASinkWithoutTheEventInterfaceIsRefusedWithItsAnswer) {
  RecordingSink plain_dispatch(/*answers_events_iid=*/false);
  DWORD cookie = 99;
  EXPECT_EQ(point_->Advise(&plain_dispatch, &cookie), E_NOINTERFACE);
  EXPECT_EQ(plain_dispatch.refs(), 1u);
  // The refusal was no sink change: the first real sink still hears OnCreate.
  RecordingSink sink;
  ASSERT_EQ(point_->Advise(&sink, &cookie), S_OK);
  EXPECT_EQ(sink.CountOf(kOnCreate), 1u);
  ASSERT_EQ(point_->Unadvise(cookie), S_OK);
}

TEST_F(ControlEventsTest, PropertyNotificationPointTakesManySinks) {
  Ref<IConnectionPointContainer> container;
  ASSERT_EQ(control_.As(IID_IConnectionPointContainer, container), S_OK);
  Ref<IConnectionPoint> point;
  ASSERT_EQ(container->FindConnectionPoint(IID_IPropertyNotifySink,
                                           point.put()),
            S_OK);
  NotifySink a, b, c;
  DWORD ca = 0, cb = 0, cc = 0;
  ASSERT_EQ(point->Advise(&a, &ca), S_OK);
  ASSERT_EQ(point->Advise(&b, &cb), S_OK);
  EXPECT_EQ(ca, 1u);
  EXPECT_EQ(cb, 2u);
  ASSERT_EQ(point->Unadvise(ca), S_OK);
  ASSERT_EQ(point->Advise(&c, &cc), S_OK);
  EXPECT_EQ(cc, 1u);
  RecordingSink not_a_notify_sink;
  EXPECT_EQ(point->Advise(&not_a_notify_sink, &ca), E_NOINTERFACE);
  point.Reset();
  container.Reset();
  point_.Reset();
  control_.Reset();  // the sinks still connected are let go with the control
  EXPECT_EQ(a.refs() + b.refs() + c.refs(), 3u);
}

TEST_F(ControlEventsTest, WindowNotificationsRaiseTheirEvents) {
  RecordingSink sink;
  DWORD cookie = 0;
  ASSERT_EQ(point_->Advise(&sink, &cookie), S_OK);
  Ref<ITarvoWindow> window;
  ASSERT_EQ(control_.As(IID_ITarvoWindow, window), S_OK);

  struct Case {
    const char* what;
    void (ITarvoWindow::*fire)();
    DISPID dispid;
    VARIANT_BOOL active_after;
  };
  const Case cases[] = {
      {"activate", &ITarvoWindow::FireActivate, kOnActivate, VARIANT_TRUE},
      {"click", &ITarvoWindow::FireClick, kOnClick, VARIANT_TRUE},
      {"double click", &ITarvoWindow::FireDblClick, kOnDblClick, VARIANT_TRUE},
      {"paint", &ITarvoWindow::FirePaint, kOnPaint, VARIANT_TRUE},
      {"deactivate", &ITarvoWindow::FireDeactivate, kOnDeactivate, VARIANT_FALSE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    (window.get()->*c.fire)();
    ASSERT_EQ(sink.CountOf(c.dispid), 1u);
    const SinkCall call = sink.CallsOf(c.dispid)[0];
    ExpectEventShape(call);
    EXPECT_TRUE(call.types.empty());
    VARIANT_BOOL active = 0;
    ASSERT_EQ(control_->get_Active(&active), S_OK);
    EXPECT_EQ(active, c.active_after);
  }
  ASSERT_EQ(point_->Unadvise(cookie), S_OK);
}

TEST_F(ControlEventsTest, KeyPressHandsTheKeyByReferenceAndReturnsItsLowByte) {
  Ref<ITarvoWindow> window;
  ASSERT_EQ(control_.As(IID_ITarvoWindow, window), S_OK);
  EXPECT_EQ(window->FireKeyPress(0x141), 0x41) << "without a sink the key goes on as typed";

  RecordingSink sink;
  DWORD cookie = 0;
  ASSERT_EQ(point_->Advise(&sink, &cookie), S_OK);
  struct Case {
    std::int16_t typed;
    std::optional<std::int16_t> handler_sets;
    std::int16_t window_gets;
  };
  const Case cases[] = {{'a', std::nullopt, 'a'}, {'a', 0, 0}, {'a', 0x142, 0x42}, {'z', -1, 0xFF}};
  for (const Case& c : cases) {
    sink.on_invoke = [&](DISPID id, DISPPARAMS& params) {
      if (id == kOnKeyPress && c.handler_sets) *params.rgvarg[0].piVal = *c.handler_sets;
    };
    EXPECT_EQ(window->FireKeyPress(c.typed), c.window_gets);
  }
  sink.on_invoke = nullptr;
  const auto calls = sink.CallsOf(kOnKeyPress);
  ASSERT_EQ(calls.size(), std::size(cases));
  ExpectEventShape(calls[0]);
  ASSERT_EQ(calls[0].types.size(), 1u);
  EXPECT_EQ(calls[0].types[0], VT_BYREF | VT_I2);
  EXPECT_EQ(calls[0].numbers[0], 'a');
  ASSERT_EQ(point_->Unadvise(cookie), S_OK);
}

TEST_F(ControlEventsTest, ReleasingTheControlRaisesOnDestroyAndLetsTheSinkGo) {
  RecordingSink sink;
  DWORD cookie = 0;
  ASSERT_EQ(point_->Advise(&sink, &cookie), S_OK);
  point_.Reset();
  control_.Reset();
  ASSERT_EQ(sink.CountOf(kOnDestroy), 1u);
  ExpectEventShape(sink.CallsOf(kOnDestroy)[0]);
  EXPECT_EQ(sink.Calls().back().id, kOnDestroy);
  EXPECT_EQ(sink.refs(), 1u);
}

TEST_F(ControlEventsTest, ReleaseFromInsideAnEventHandlerWaitsForTheEventToReturn) {
  RecordingSink sink;
  DWORD cookie = 0;
  ASSERT_EQ(point_->Advise(&sink, &cookie), S_OK);
  point_.Reset();
  Ref<ITarvoWindow> window;
  ASSERT_EQ(control_.As(IID_ITarvoWindow, window), S_OK);
  ITarvo* control = control_.Detach();
  sink.on_invoke = [&](DISPID id, DISPPARAMS&) {
    if (id == kOnClick) control->Release();
  };
  ITarvoWindow* raw = window.Detach();
  raw->FireClick();  // the handler lets the host's last control reference go
  sink.on_invoke = nullptr;
  EXPECT_EQ(sink.CountOf(kOnDestroy), 0u) << "still inside the event";
  raw->Release();
  EXPECT_TRUE(PumpUntil([&] { return sink.CountOf(kOnDestroy) == 1; }));
}

// --- Driver events through a register on a pseudo-terminal -------------------------

class ControlRegisterTest : public ControlEventsTest {
 protected:
  void SetUp() override {
    ControlEventsTest::SetUp();
    devices_.Link("COM3", pty_.slave_path());
    BSTR path = SysAllocString(u"");
    LONG value = 77;
    ASSERT_EQ(control_->PortOpen(3, 9600, 0, path, &value), S_OK);
    SysFreeString(path);
    ASSERT_EQ(value, 0);
  }

  // The register presses its ID key and sees the driver's DLE ACK.
  void PressIdKey(std::string_view id) {
    pty_.WriteMaster(link::BuildFrame(sim::msg::IdKey(id)));
    EXPECT_EQ(pty_.ReadMasterExactly(2, 10s), link::kDleAck);
  }

  DeviceDir devices_;
  PtyPair pty_;
};

TEST_F(ControlRegisterTest, DriverEventsReachTheSinkWithTypedArgumentsLastFirst) {
  RecordingSink sink;
  DWORD cookie = 0;
  ASSERT_EQ(point_->Advise(&sink, &cookie), S_OK);
  PressIdKey("4711");
  ASSERT_TRUE(PumpUntil([&] { return sink.CountOf(kOnIDPress) == 1; }));
  const SinkCall call = sink.CallsOf(kOnIDPress)[0];
  ExpectEventShape(call);
  ASSERT_EQ(call.types.size(), 2u);
  EXPECT_EQ(call.types[0], VT_BSTR);  // ID, the last parameter, comes first
  EXPECT_EQ(call.texts[0], u"4711" + std::u16string(26, u' '));
  EXPECT_EQ(call.types[1], VT_UI1);  // port_num
  EXPECT_EQ(call.numbers[1], 3);
  ASSERT_EQ(point_->Unadvise(cookie), S_OK);
}

TEST_F(ControlRegisterTest, AFailingSinkDoesNotStopTheDriver) {
  RecordingSink failing(/*answers_events_iid=*/true, E_FAIL);
  DWORD cookie = 0;
  ASSERT_EQ(point_->Advise(&failing, &cookie), S_OK);
  PressIdKey("1");
  PressIdKey("2");
  ASSERT_TRUE(PumpUntil([&] { return failing.CountOf(kOnIDPress) == 2; }));
  EXPECT_EQ(failing.CallsOf(kOnIDPress)[1].texts[0].substr(0, 1), u"2");
  ASSERT_EQ(point_->Unadvise(cookie), S_OK);
}

TEST_F(ControlRegisterTest, EventsWithoutASinkAreDroppedAndTheRestGoesOn) {
  // An ID key press, then an operation request that the driver allows by
  // itself: its reply on the line shows that the press before it was taken
  // from the queue, with no sink to hear it.
  PressIdKey("dropped");
  pty_.WriteMaster(link::BuildFrame(sim::msg::OperationRequest()));
  std::string line;
  ASSERT_TRUE(PumpUntil([&] {
    line += pty_.ReadMaster(256, 0ms);
    return line.find("\x10\x02") != std::string::npos;
  }));

  RecordingSink sink;
  DWORD cookie = 0;
  ASSERT_EQ(point_->Advise(&sink, &cookie), S_OK);
  PressIdKey("kept");
  ASSERT_TRUE(PumpUntil([&] { return sink.CountOf(kOnIDPress) == 1; }));
  EXPECT_EQ(sink.CallsOf(kOnIDPress)[0].texts[0].substr(0, 4), u"kept");
  ASSERT_EQ(point_->Unadvise(cookie), S_OK);
}

// True when the device can be opened and locked for exclusive use.
bool DeviceIsFree(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return locked;
}

TEST_F(ControlRegisterTest, ReleasingTheControlClosesItsPorts) {
  EXPECT_FALSE(DeviceIsFree(pty_.slave_path())) << "the open port holds the device";
  point_.Reset();
  control_.Reset();
  EXPECT_TRUE(DeviceIsFree(pty_.slave_path()));
}

TEST_F(ControlRegisterTest, TwoControlsKeepTheirOwnStateAndShareTheRegistry) {
  Ref<ITarvo> other;
  ASSERT_EQ(CreateControl(other), S_OK);
  Ref<IConnectionPoint> other_point;
  ASSERT_EQ(EventPoint(other.get(), other_point), S_OK);
  RecordingSink sink, other_sink;
  DWORD cookie = 0, other_cookie = 0;
  ASSERT_EQ(point_->Advise(&sink, &cookie), S_OK);
  ASSERT_EQ(other_point->Advise(&other_sink, &other_cookie), S_OK);
  EXPECT_EQ(other_sink.CountOf(kOnCreate), 1u) << "each control has its own first sink";

  ASSERT_EQ(other->put_Mode650(VARIANT_FALSE), S_OK);
  VARIANT_BOOL mode650 = 0;
  ASSERT_EQ(control_->get_Mode650(&mode650), S_OK);
  EXPECT_EQ(mode650, VARIANT_TRUE);

  Ref<ITarvoWindow> other_window;
  ASSERT_EQ(other.As(IID_ITarvoWindow, other_window), S_OK);
  other_window->FireClick();
  EXPECT_EQ(sink.CountOf(kOnClick), 0u);
  EXPECT_EQ(other_sink.CountOf(kOnClick), 1u);

  // The other control goes; the port this one opened still works.
  other_window.Reset();
  other_point.Reset();
  other.Reset();
  EXPECT_EQ(other_sink.CountOf(kOnDestroy), 1u);
  EXPECT_EQ(other_sink.refs(), 1u);
  PressIdKey("after");
  ASSERT_TRUE(PumpUntil([&] { return sink.CountOf(kOnIDPress) == 1; }));
  ASSERT_EQ(point_->Unadvise(cookie), S_OK);
}

TEST_F(ControlRegisterTest, ASerialFailureBecomesAFailureWithErrorInformation) {
  pty_.CloseMaster();  // the register's line is gone: writes fail
  LONG value = 77;
  EXPECT_EQ(control_->SendClear(3, &value), E_UNEXPECTED);
  EXPECT_EQ(value, 0) << "Value keeps what it held when the failure escaped";

  Ref<ISupportErrorInfo> support;
  ASSERT_EQ(control_.As(IID_ISupportErrorInfo, support), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_ITarvo), S_OK);
  Ref<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
  BSTR source = nullptr, description = nullptr;
  ASSERT_EQ(info->GetSource(&source), S_OK);
  ASSERT_EQ(info->GetDescription(&description), S_OK);
  EXPECT_EQ(BstrString(source), u"TarvoMDrv.Tarvo");
  EXPECT_FALSE(BstrString(description).empty());
  SysFreeString(source);
  SysFreeString(description);
}

}  // namespace
}  // namespace tarvo::test
