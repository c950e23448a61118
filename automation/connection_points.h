#pragma once
// Connection points of the control and their enumerators.
//
// A TConnectionPoint is a member of its container (the control): its AddRef
// and Release are the container's, so a host that holds a point keeps the
// control alive. A point keeps its sinks in slots; the cookie of a sink is its
// slot index + 1 and a freed slot is reused by the next Advise. A point may
// be limited to one sink (the event point of ITarvoEvents) or take any number
// (the IPropertyNotifySink point).
//
// Threading: a point lives in its control's apartment. Advise, Unadvise,
// EnumConnections, GetConnectionInterface and GetConnectionPointContainer
// called from another thread return RPC_E_WRONG_THREAD; the slots are touched
// only on the owner thread and need no lock. The enumerators hold snapshots
// (with their own references) and are free-threaded like any value object of
// one client.
#include <cstddef>
#include <thread>
#include <vector>

#include "platform/com/com_abi.h"

namespace tarvo::automation {

class TConnectionPoint;

// Told about every sink that a point connects or disconnects, on the owner
// thread, after the slot was filled (Advise) or before it is freed
// (Unadvise, with `sink` null).
class SinkChangeListener {
 public:
  virtual void SinkChanged(TConnectionPoint& point, IUnknown* sink) = 0;

 protected:
  ~SinkChangeListener() = default;
};

class TConnectionPoint final : public IConnectionPoint {
 public:
  static constexpr std::size_t kUnlimited = 0;

  // `container` supplies the reference count; `max_sinks` 1 makes a
  // single-sink point (a second Advise fails with CONNECT_E_CANNOTCONNECT).
  TConnectionPoint(IConnectionPointContainer& container, const IID& iid, std::size_t max_sinks,
                   std::thread::id owner, SinkChangeListener* listener);
  // Releases the sinks still connected.
  ~TConnectionPoint();
  TConnectionPoint(const TConnectionPoint&) = delete;
  TConnectionPoint& operator=(const TConnectionPoint&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IConnectionPoint
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override;

  const IID& iid() const { return iid_; }
  // The connected sinks (each as the interface the point was queried for),
  // in slot order, each with a reference the caller releases. Owner thread.
  std::vector<IUnknown*> Sinks() const;
  // The sink of the lowest occupied slot, with a reference, or null.
  IUnknown* FirstSink() const;
  // Disconnects every sink (the listener hears of each). Owner thread.
  void DisconnectAll();

 private:
  bool OnOwnerThread() const { return std::this_thread::get_id() == owner_; }

  IConnectionPointContainer& container_;
  const IID iid_;
  const std::size_t max_sinks_;
  const std::thread::id owner_;
  SinkChangeListener* const listener_;
  std::vector<IUnknown*> slots_;  // null = free slot; owned references
};

// Builds an IEnumConnectionPoints over `points` (each gets a reference held
// by the enumerator and its clones).
HRESULT CreateConnectionPointEnumerator(const std::vector<IConnectionPoint*>& points,
                                        IEnumConnectionPoints** ppEnum);
// Builds an IEnumConnections over `connections` (the pUnk of each gets a
// reference held by the enumerator; Next hands out further references).
HRESULT CreateConnectionEnumerator(const std::vector<CONNECTDATA>& connections,
                                   IEnumConnections** ppEnum);

}  // namespace tarvo::automation
