#include "automation/connection_points.h"

#include <atomic>
#include <memory>
#include <new>

#include "automation/module_state.h"

namespace tarvo::automation {

// --- TConnectionPoint ---------------------------------------------------------

TConnectionPoint::TConnectionPoint(IConnectionPointContainer& container, const IID& iid,
                                   std::size_t max_sinks, std::thread::id owner,
                                   SinkChangeListener* listener)
    : container_(container), iid_(iid), max_sinks_(max_sinks), owner_(owner),
      listener_(listener) {}

TConnectionPoint::~TConnectionPoint() {
  for (IUnknown*& sink : slots_) {
    if (sink != nullptr) sink->Release();
    sink = nullptr;
  }
}

HRESULT STDMETHODCALLTYPE TConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE TConnectionPoint::AddRef() { return container_.AddRef(); }
ULONG STDMETHODCALLTYPE TConnectionPoint::Release() { return container_.Release(); }

HRESULT STDMETHODCALLTYPE TConnectionPoint::GetConnectionInterface(IID* pIID) {
  if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
  if (pIID == nullptr) return E_POINTER;
  *pIID = iid_;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE
TConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
  if (ppCPC == nullptr) return E_POINTER;
  container_.AddRef();
  *ppCPC = &container_;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE TConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
  if (pdwCookie == nullptr) return E_POINTER;
  *pdwCookie = 0;
  if (pUnkSink == nullptr) return E_POINTER;
  std::size_t connected = 0;
  for (IUnknown* sink : slots_) connected += sink != nullptr ? 1 : 0;
  if (max_sinks_ != kUnlimited && connected >= max_sinks_) return CONNECT_E_CANNOTCONNECT;

  void* typed = nullptr;
  const HRESULT hr = pUnkSink->QueryInterface(iid_, &typed);
  if (FAILED(hr)) return hr;
  if (typed == nullptr) return E_NOINTERFACE;
  IUnknown* sink = static_cast<IUnknown*>(typed);

  std::size_t slot = 0;
  while (slot < slots_.size() && slots_[slot] != nullptr) ++slot;
  if (slot == slots_.size()) slots_.push_back(nullptr);
  slots_[slot] = sink;
  *pdwCookie = static_cast<DWORD>(slot + 1);
  if (listener_ != nullptr) listener_->SinkChanged(*this, sink);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE TConnectionPoint::Unadvise(DWORD dwCookie) {
  if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
  if (dwCookie == 0 || dwCookie > slots_.size() || slots_[dwCookie - 1] == nullptr)
    return CONNECT_E_NOCONNECTION;
  if (listener_ != nullptr) listener_->SinkChanged(*this, nullptr);
  IUnknown* sink = slots_[dwCookie - 1];
  slots_[dwCookie - 1] = nullptr;
  sink->Release();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE TConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
  if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
  if (ppEnum == nullptr) return E_POINTER;
  std::vector<CONNECTDATA> connections;
  for (std::size_t i = 0; i < slots_.size(); ++i)
    if (slots_[i] != nullptr) connections.push_back({slots_[i], static_cast<DWORD>(i + 1)});
  return CreateConnectionEnumerator(connections, ppEnum);
}

std::vector<IUnknown*> TConnectionPoint::Sinks() const {
  std::vector<IUnknown*> sinks;
  for (IUnknown* sink : slots_) {
    if (sink == nullptr) continue;
    sink->AddRef();
    sinks.push_back(sink);
  }
  return sinks;
}

IUnknown* TConnectionPoint::FirstSink() const {
  for (IUnknown* sink : slots_) {
    if (sink == nullptr) continue;
    sink->AddRef();
    return sink;
  }
  return nullptr;
}

void TConnectionPoint::DisconnectAll() {
  for (std::size_t i = 0; i < slots_.size(); ++i)
    if (slots_[i] != nullptr) Unadvise(static_cast<DWORD>(i + 1));
}

// --- Enumerators ----------------------------------------------------------------
namespace {

// How an enumerated item is referenced, handed out and released.
struct PointItem {
  using Item = IConnectionPoint*;
  static void Hold(Item item) { item->AddRef(); }
  static void Drop(Item item) { item->Release(); }
};
struct ConnectionItem {
  using Item = CONNECTDATA;
  static void Hold(const Item& item) { item.pUnk->AddRef(); }
  static void Drop(const Item& item) { item.pUnk->Release(); }
};

// The items of an enumerator and its clones, with one reference each.
template <class Traits>
class ItemList {
 public:
  explicit ItemList(std::vector<typename Traits::Item> items) : items_(std::move(items)) {
    for (const auto& item : items_) Traits::Hold(item);
  }
  ~ItemList() {
    for (const auto& item : items_) Traits::Drop(item);
  }
  ItemList(const ItemList&) = delete;
  ItemList& operator=(const ItemList&) = delete;
  const std::vector<typename Traits::Item>& items() const { return items_; }

 private:
  std::vector<typename Traits::Item> items_;
};

// A standard enumerator (Next/Skip/Reset/Clone) over a shared snapshot. Each
// enumerator object belongs to one client at a time; only its reference
// count is atomic.
template <class Interface, class Traits, const IID& kIid>
class TEnumerator final : public Interface {
 public:
  using Item = typename Traits::Item;
  using List = ItemList<Traits>;

  TEnumerator(std::shared_ptr<const List> list, std::size_t position)
      : list_(std::move(list)), position_(position) {
    ObjectCreated();
  }
  ~TEnumerator() { ObjectDestroyed(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == kIid) {
      *ppv = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* out, ULONG* fetched) override {
    if (out == nullptr || (fetched == nullptr && count != 1)) return E_POINTER;
    const auto& items = list_->items();
    ULONG got = 0;
    while (got < count && position_ < items.size()) {
      out[got] = items[position_++];
      Traits::Hold(out[got]);
      ++got;
    }
    if (fetched != nullptr) *fetched = got;
    return got == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const std::size_t size = list_->items().size();
    const bool enough = size - position_ >= count;
    position_ = enough ? position_ + count : size;
    return enough ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(Interface** ppEnum) override {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = new (std::nothrow) TEnumerator(list_, position_);
    return *ppEnum != nullptr ? S_OK : E_OUTOFMEMORY;
  }

 private:
  std::atomic<ULONG> refs_{1};
  std::shared_ptr<const List> list_;
  std::size_t position_;
};

template <class Interface, class Traits, const IID& kIid>
HRESULT MakeEnumerator(const std::vector<typename Traits::Item>& items, Interface** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = nullptr;
  try {
    auto list = std::make_shared<const ItemList<Traits>>(items);
    *ppEnum = new TEnumerator<Interface, Traits, kIid>(std::move(list), 0);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace

HRESULT CreateConnectionPointEnumerator(const std::vector<IConnectionPoint*>& points,
                                        IEnumConnectionPoints** ppEnum) {
  return MakeEnumerator<IEnumConnectionPoints, PointItem, IID_IEnumConnectionPoints>(points,
                                                                                      ppEnum);
}

HRESULT CreateConnectionEnumerator(const std::vector<CONNECTDATA>& connections,
                                   IEnumConnections** ppEnum) {
  return MakeEnumerator<IEnumConnections, ConnectionItem, IID_IEnumConnections>(connections,
                                                                               ppEnum);
}

}  // namespace tarvo::automation
