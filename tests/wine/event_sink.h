#pragma once
// EventSink: the host's side of ITarvoEvents. It implements IDispatch (the
// events interface is a dispinterface, so events arrive through Invoke),
// records every event with its arguments in call order, and can run a
// handler for each event while the control waits in the Invoke call.
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tarvo::wine {

struct Event {
  DISPID dispid = 0;
  std::string name;            // EventName(), else from the type library, else "#<dispid>"
  std::vector<VARIANT> args;   // first parameter first (copies, owned)
};

class EventSink final : public IDispatch {
 public:
  // `events_info`: the type information of ITarvoEvents (may be null), used to
  // name events that are not among KnownEvents().
  explicit EventSink(ITypeInfo* events_info);
  ~EventSink();

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                   UINT* arg_error) override;

  // Runs after an event has been recorded, inside the control's Invoke call.
  std::function<void(const Event&)> on_event;

  const std::vector<Event>& events() const { return events_; }
  int Count(const std::string& name) const;
  const Event* Last(const std::string& name) const;
  // Events that were not invoked as methods with valid parameters.
  int bad_calls() const { return bad_calls_; }

 private:
  ULONG refs_ = 1;
  ITypeInfo* events_info_;
  std::vector<Event> events_;
  int bad_calls_ = 0;
};

// The events these tests look at, by dispatch identifier (ITarvoEvents).
const std::vector<std::pair<DISPID, const char*>>& KnownEvents();
// The name of a known event; "" for others.
std::string EventName(DISPID id);

// Connects `sink` to the control's ITarvoEvents connection point; 0 on failure
// (the HRESULT goes to *hr).
DWORD Advise(IUnknown* control, IDispatch* sink, HRESULT* hr);
HRESULT Unadvise(IUnknown* control, DWORD cookie);

// UTF-8 text of a wide string / BSTR; empty for null.
std::string Narrow(const wchar_t* text);
// The value of an event argument as text (numbers in decimal, booleans as
// "true"/"false", strings as UTF-8), for comparisons in checks.
std::string ArgText(const VARIANT& value);

}  // namespace tarvo::wine
