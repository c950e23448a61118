// The control's events through its connection point, while the host pumps
// messages.
#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include <chrono>
#include <string>

#include "tests/wine/client_sections.h"
#include "tests/wine/control_handle.h"
#include "tests/wine/event_sink.h"
#include "tests/wine/message_pump.h"

namespace tarvo::wine {

using namespace std::chrono_literals;

void RunEvents(Report& report) {
  // The sinks outlive the control: releasing it raises OnDestroy on a
  // connected sink.
  Ptr<ITypeInfo> events_info(RegisteredTypeInfo(DIID_ITarvoEvents));
  EventSink sink(events_info.get());
  EventSink other(events_info.get());
  Ptr<ITarvo> tarvo;
  HRESULT hr = CoCreateInstance(CLSID_Tarvo, nullptr, CLSCTX_INPROC_SERVER, IID_ITarvo, tarvo.void_out());
  if (!report.Check(hr == S_OK && tarvo, "events: CoCreateInstance", Hex(hr))) return;

  Ptr<IConnectionPointContainer> container;
  hr = tarvo->QueryInterface(IID_IConnectionPointContainer, container.void_out());
  if (!report.Check(hr == S_OK, "events: IConnectionPointContainer", Hex(hr))) return;
  Ptr<IConnectionPoint> notify;
  hr = container->FindConnectionPoint(IID_IPropertyNotifySink, notify.out());
  report.Check(hr == S_OK && notify, "events: property-change connection point exists", Hex(hr));
  Ptr<IConnectionPoint> events_point;
  hr = container->FindConnectionPoint(DIID_ITarvoEvents, events_point.out());
  IID iid{};
  if (events_point) events_point->GetConnectionInterface(&iid);
  report.Check(hr == S_OK && IsEqualIID(iid, DIID_ITarvoEvents), "events: ITarvoEvents connection point", Hex(hr));

  report.Check(static_cast<bool>(events_info), "events: ITarvoEvents in the registered type library");
  if (events_info) {
    std::string differing;
    for (const auto& [id, name] : KnownEvents()) {
      BSTR text = nullptr;
      UINT got = 0;
      if (FAILED(events_info->GetNames(id, &text, 1, &got)) || got != 1 || Narrow(text) != name)
        differing += std::string(" ") + name;
      SysFreeString(text);
    }
    report.Check(differing.empty(), "events: the registered type library names the events by their dispids",
                 differing);
  }

  DWORD cookie = Advise(tarvo.get(), &sink, &hr);
  report.Check(cookie != 0, "events: Advise", Hex(hr));
  report.Check(PumpUntil([&] { return sink.Count("OnCreate") == 1; }, 20s),
               "events: OnCreate reaches the first sink", std::to_string(sink.events().size()) + " events");

  const DWORD refused = Advise(tarvo.get(), &other, &hr);
  report.Check(refused == 0 && hr == CONNECT_E_CANNOTCONNECT, "events: a second sink is refused (one sink at a time)",
               Hex(hr));

  hr = Unadvise(tarvo.get(), cookie);
  report.Check(hr == S_OK, "events: Unadvise", Hex(hr));
  hr = Unadvise(tarvo.get(), cookie);
  report.Check(hr == CONNECT_E_NOCONNECTION, "events: Unadvise of a gone cookie fails", Hex(hr));
  cookie = Advise(tarvo.get(), &other, &hr);
  report.Check(cookie != 0, "events: Advise again after Unadvise", Hex(hr));
  // OnCreate is raised inside Advise, when the sink is set: the first sink
  // got it above, a later one never does.
  PumpPending();
  report.Check(other.Count("OnCreate") == 0 && sink.Count("OnCreate") == 1, "events: OnCreate only once per control");
  report.Check(sink.bad_calls() == 0 && other.bad_calls() == 0, "events: every event came as a method call");

  // Releasing the control with the sink connected raises OnDestroy on it and
  // lets go of the sink.
  events_point.Reset();
  notify.Reset();
  container.Reset();
  tarvo.Reset();
  PumpPending();
  report.Check(other.Count("OnDestroy") == 1, "events: OnDestroy when the control is released",
               std::to_string(other.Count("OnDestroy")));
  report.Check(other.AddRef() == 2 && other.Release() == 1 && sink.AddRef() == 2 && sink.Release() == 1,
               "events: the control released the sinks it held");
}

}  // namespace tarvo::wine
