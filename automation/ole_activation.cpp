// TOleControl: embedding (IOleObject), in-place and UI activation with the
// control window (IOleInPlaceObject, IOleInPlaceActiveObject), IOleControl,
// and the window's notifications.
#include <utility>

#include "automation/ole_control.h"
#include "automation/ole_verbs.h"
#include "automation/tarvo_control.h"

namespace tarvo::automation {
namespace {

platform::WindowRect ToWindowRect(const RECT& r) {
  return platform::WindowRect{r.left, r.top, r.right, r.bottom};
}

template <class T>
void ReleaseAndClear(T*& p) {
  if (p == nullptr) return;
  T* old = p;
  p = nullptr;
  old->Release();
}

}  // namespace

TOleControl::TOleControl(ITarvo& control, ITarvoWindow& window, std::thread::id owner)
    : control_(control), window_events_(window), owner_(owner) {
  MarkClean();
}

TOleControl::~TOleControl() {
  window_.reset();
  ReleaseSiteObjects();
  ReleaseAndClear(client_site_);
  ReleaseAndClear(view_sink_);
  for (auto& [cookie, sink] : advise_sinks_) sink->Release();
}

void* TOleControl::Interface(REFIID riid) {
  if (riid == IID_IOleObject) return static_cast<IOleObject*>(this);
  if (riid == IID_IOleWindow || riid == IID_IOleInPlaceObject)
    return static_cast<IOleInPlaceObject*>(this);
  if (riid == IID_IOleInPlaceActiveObject) return static_cast<IOleInPlaceActiveObject*>(this);
  if (riid == IID_IOleControl) return static_cast<IOleControl*>(this);
  if (riid == IID_IViewObject || riid == IID_IViewObject2) return static_cast<IViewObject2*>(this);
  if (riid == IID_IPersist || riid == IID_IPersistStreamInit)
    return static_cast<IPersistStreamInit*>(this);
  if (riid == IID_IPersistPropertyBag) return static_cast<IPersistPropertyBag*>(this);
  if (riid == IID_IProvideClassInfo2) return static_cast<IProvideClassInfo2*>(this);
  if (riid == IID_IQuickActivate) return static_cast<IQuickActivate*>(this);
  return nullptr;
}

HRESULT TOleControl::QueryInterface(REFIID riid, void** ppv) {
  return control_.QueryInterface(riid, ppv);
}
ULONG TOleControl::AddRef() { return control_.AddRef(); }
ULONG TOleControl::Release() { return control_.Release(); }

// --- IOleObject ------------------------------------------------------------------

HRESULT TOleControl::SetClientSite(IOleClientSite* pClientSite) {
  return Guarded([&]() -> HRESULT {
    if (pClientSite == client_site_) return S_OK;
    if (pClientSite != nullptr) pClientSite->AddRef();
    ReleaseAndClear(client_site_);
    client_site_ = pClientSite;
    return S_OK;
  });
}

HRESULT TOleControl::GetClientSite(IOleClientSite** ppClientSite) {
  return Guarded([&]() -> HRESULT {
    if (ppClientSite == nullptr) return E_POINTER;
    if (client_site_ != nullptr) client_site_->AddRef();
    *ppClientSite = client_site_;
    return S_OK;
  });
}

HRESULT TOleControl::SetHostNames(LPCOLESTR, LPCOLESTR) { return S_OK; }

HRESULT TOleControl::Close(DWORD dwSaveOption) {
  return Guarded([&]() -> HRESULT {
    DeactivateInPlace();
    if (dwSaveOption != OLECLOSE_NOSAVE && client_site_ != nullptr && !(CurrentState() == saved_))
      client_site_->SaveObject();
    // A sink may unadvise itself from OnClose.
    auto sinks = advise_sinks_;
    for (auto& [cookie, sink] : sinks) sink->AddRef();
    for (auto& [cookie, sink] : sinks) {
      sink->OnClose();
      sink->Release();
    }
    return S_OK;
  });
}

HRESULT TOleControl::SetMoniker(DWORD, IMoniker*) { return E_NOTIMPL; }

HRESULT TOleControl::GetMoniker(DWORD, DWORD, IMoniker** ppmk) {
  if (ppmk != nullptr) *ppmk = nullptr;
  return E_NOTIMPL;
}

HRESULT TOleControl::InitFromData(IDataObject*, BOOL, DWORD) { return E_NOTIMPL; }

HRESULT TOleControl::GetClipboardData(DWORD, IDataObject** ppDataObject) {
  if (ppDataObject != nullptr) *ppDataObject = nullptr;
  return E_NOTIMPL;
}

// Verb 0, "Properties", is also the primary verb. The control has no
// property pages, so like every verb that shows the control it activates the
// control in place and gives it the focus.
HRESULT TOleControl::DoVerb(LONG iVerb, LPMSG, IOleClientSite* pActiveSite, LONG, HWND,
                            LPCRECT) {
  return Guarded([&]() -> HRESULT {
    switch (iVerb) {
      case OLEIVERB_INPLACEACTIVATE:
        return ActivateInPlace(pActiveSite);
      case OLEIVERB_PRIMARY:
      case OLEIVERB_SHOW:
      case OLEIVERB_UIACTIVATE: {
        const HRESULT hr = ActivateInPlace(pActiveSite);
        return hr == S_OK ? ActivateUI() : hr;
      }
      case OLEIVERB_HIDE:
        DeactivateUI();
        if (window_) window_->Show(false);
        return S_OK;
      case OLEIVERB_DISCARDUNDOSTATE:
        return S_OK;  // no undo state is kept
      default:
        break;
    }
    if (iVerb < 0) return E_NOTIMPL;  // opening in a window of its own, property pages
    // An unknown positive verb is carried out as the primary one.
    HRESULT hr = ActivateInPlace(pActiveSite);
    if (hr == S_OK) hr = ActivateUI();
    return FAILED(hr) ? hr : OLEOBJ_S_INVALIDVERB;
  });
}

HRESULT TOleControl::EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) {
  return Guarded([&]() -> HRESULT { return CreateVerbEnumerator(ppEnumOleVerb); });
}

HRESULT TOleControl::Update() { return S_OK; }
HRESULT TOleControl::IsUpToDate() { return S_OK; }

HRESULT TOleControl::GetUserClassID(CLSID* pClsid) {
  if (pClsid == nullptr) return E_POINTER;
  *pClsid = CLSID_Tarvo;
  return S_OK;
}

// The user type names are those of the registry.
HRESULT TOleControl::GetUserType(DWORD, LPOLESTR* pszUserType) {
  if (pszUserType != nullptr) *pszUserType = nullptr;
  return OLE_S_USEREG;
}

HRESULT TOleControl::SetExtent(DWORD dwDrawAspect, SIZEL* psizel) {
  return Guarded([&]() -> HRESULT {
    if (dwDrawAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (psizel == nullptr) return E_POINTER;
    if (psizel->cx < 0 || psizel->cy < 0) return E_INVALIDARG;
    extent_ = *psizel;
    NotifyViewChange();
    return S_OK;
  });
}

HRESULT TOleControl::GetExtent(DWORD dwDrawAspect, SIZEL* psizel) {
  return Guarded([&]() -> HRESULT {
    if (psizel == nullptr) return E_POINTER;
    if (dwDrawAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    *psizel = extent_;
    return S_OK;
  });
}

HRESULT TOleControl::Advise(IAdviseSink* pAdvSink, DWORD* pdwConnection) {
  return Guarded([&]() -> HRESULT {
    if (pdwConnection == nullptr) return E_POINTER;
    *pdwConnection = 0;
    if (pAdvSink == nullptr) return E_INVALIDARG;
    advise_sinks_.emplace_back(next_advise_cookie_, pAdvSink);
    pAdvSink->AddRef();
    *pdwConnection = next_advise_cookie_++;
    return S_OK;
  });
}

HRESULT TOleControl::Unadvise(DWORD dwConnection) {
  return Guarded([&]() -> HRESULT {
    for (auto it = advise_sinks_.begin(); it != advise_sinks_.end(); ++it) {
      if (it->first != dwConnection) continue;
      IAdviseSink* sink = it->second;
      advise_sinks_.erase(it);
      sink->Release();
      return S_OK;
    }
    return OLE_E_NOCONNECTION;
  });
}

HRESULT TOleControl::EnumAdvise(IEnumSTATDATA** ppenumAdvise) {
  if (ppenumAdvise != nullptr) *ppenumAdvise = nullptr;
  return E_NOTIMPL;
}

HRESULT TOleControl::GetMiscStatus(DWORD dwAspect, DWORD* pdwStatus) {
  if (pdwStatus == nullptr) return E_POINTER;
  *pdwStatus = dwAspect == DVASPECT_CONTENT ? kMiscStatus : 0;
  return S_OK;
}

HRESULT TOleControl::SetColorScheme(LOGPALETTE*) { return E_NOTIMPL; }

// --- Activation ------------------------------------------------------------------

HRESULT TOleControl::ActivateInPlace(IOleClientSite* active_site) {
  if (window_) {
    window_->Show(true);
    return S_OK;
  }
  if (activating_) return E_UNEXPECTED;  // a site callback asked again
  struct Activating {
    bool& flag;
    explicit Activating(bool& f) : flag(f) { flag = true; }
    ~Activating() { flag = false; }
  } activating{activating_};

  IOleClientSite* site = client_site_ != nullptr ? client_site_ : active_site;
  if (site == nullptr) return E_UNEXPECTED;
  IOleInPlaceSite* inplace_site = nullptr;
  HRESULT hr = site->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&inplace_site));
  if (FAILED(hr) || inplace_site == nullptr) return E_NOINTERFACE;
  if (inplace_site->CanInPlaceActivate() != S_OK) {
    inplace_site->Release();
    return OLEOBJ_S_CANNOT_DOVERB_NOW;  // the site does not want it now
  }
  hr = inplace_site->OnInPlaceActivate();
  if (FAILED(hr)) {
    inplace_site->Release();
    return hr;
  }
  inplace_site_ = inplace_site;

  HWND parent = nullptr;
  hr = inplace_site_->GetWindow(&parent);
  RECT clip{0, 0, 0, 0};
  if (SUCCEEDED(hr)) {
    OLEINPLACEFRAMEINFO frame_info{};
    frame_info.cb = sizeof frame_info;
    hr = inplace_site_->GetWindowContext(&frame_, &ui_window_, &pos_rect_, &clip, &frame_info);
  }
  if (SUCCEEDED(hr)) {
    try {
      window_ = platform::ControlWindow::Create(parent, ToWindowRect(pos_rect_), Image1Jpeg(),
                                                *this);
    } catch (const std::bad_alloc&) {
      hr = E_OUTOFMEMORY;
    } catch (const std::system_error&) {
      hr = E_FAIL;  // the window system refused the window
    }
  }
  if (FAILED(hr)) {
    DeactivateInPlace();
    return hr;
  }
  if (client_site_ != nullptr) client_site_->ShowObject();
  return S_OK;
}

HRESULT TOleControl::ActivateUI(bool take_focus) {
  if (!window_) return OLE_E_NOT_INPLACEACTIVE;
  if (!ui_active_) {
    ui_active_ = true;
    inplace_site_->OnUIActivate();
    IOleInPlaceActiveObject* active = this;
    if (frame_ != nullptr) {
      frame_->SetActiveObject(active, OLESTR("Tarvo"));
      frame_->SetBorderSpace(nullptr);  // no tools of its own
    }
    if (ui_window_ != nullptr) {
      ui_window_->SetActiveObject(active, OLESTR("Tarvo"));
      ui_window_->SetBorderSpace(nullptr);
    }
  }
  if (window_ && take_focus) window_->Focus(true);
  return S_OK;
}

void TOleControl::DeactivateUI() {
  if (!ui_active_) return;
  ui_active_ = false;
  if (ui_window_ != nullptr) ui_window_->SetActiveObject(nullptr, nullptr);
  if (frame_ != nullptr) frame_->SetActiveObject(nullptr, nullptr);
  if (window_) window_->Focus(false);
  if (inplace_site_ != nullptr) inplace_site_->OnUIDeactivate(FALSE);
}

void TOleControl::DeactivateInPlace() {
  DeactivateUI();
  window_.reset();
  IOleInPlaceSite* site = inplace_site_;
  inplace_site_ = nullptr;
  ReleaseSiteObjects();
  if (site != nullptr) {
    site->OnInPlaceDeactivate();
    site->Release();
  }
}

void TOleControl::ReleaseSiteObjects() {
  ReleaseAndClear(frame_);
  ReleaseAndClear(ui_window_);
  ReleaseAndClear(inplace_site_);
  ui_active_ = false;
}

// --- IOleInPlaceObject --------------------------------------------------------------

HRESULT TOleControl::GetWindow(HWND* phwnd) {
  return Guarded([&]() -> HRESULT {
    if (phwnd == nullptr) return E_POINTER;
    *phwnd = window_ ? static_cast<HWND>(window_->Handle()) : nullptr;
    return window_ ? S_OK : E_FAIL;
  });
}

HRESULT TOleControl::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

HRESULT TOleControl::InPlaceDeactivate() {
  return Guarded([&]() -> HRESULT {
    DeactivateInPlace();
    return S_OK;
  });
}

HRESULT TOleControl::UIDeactivate() {
  return Guarded([&]() -> HRESULT {
    DeactivateUI();
    return S_OK;
  });
}

HRESULT TOleControl::SetObjectRects(LPCRECT lprcPosRect, LPCRECT) {
  return Guarded([&]() -> HRESULT {
    if (lprcPosRect == nullptr) return E_INVALIDARG;
    pos_rect_ = *lprcPosRect;
    if (window_) window_->Move(ToWindowRect(pos_rect_));
    return S_OK;
  });
}

HRESULT TOleControl::ReactivateAndUndo() { return INPLACE_E_NOTUNDOABLE; }

// --- IOleInPlaceActiveObject ------------------------------------------------------------

HRESULT TOleControl::TranslateAccelerator(LPMSG) { return S_FALSE; }  // no accelerators
HRESULT TOleControl::OnFrameWindowActivate(BOOL) { return S_OK; }
HRESULT TOleControl::OnDocWindowActivate(BOOL) { return S_OK; }
HRESULT TOleControl::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return S_OK; }
HRESULT TOleControl::EnableModeless(BOOL) { return S_OK; }

// --- IOleControl -------------------------------------------------------------------------

HRESULT TOleControl::GetControlInfo(CONTROLINFO* pCI) {
  if (pCI == nullptr) return E_POINTER;
  // No mnemonics: no accelerator table.
  pCI->cb = sizeof(CONTROLINFO);
  pCI->hAccel = nullptr;
  pCI->cAccel = 0;
  pCI->dwFlags = 0;
  return S_OK;
}

HRESULT TOleControl::OnMnemonic(MSG*) { return E_NOTIMPL; }

// No ambient property changes how the control looks or works.
HRESULT TOleControl::OnAmbientPropertyChange(DISPID) { return S_OK; }

// While frozen the container ignores events: they are dropped, not queued.
HRESULT TOleControl::FreezeEvents(BOOL bFreeze) {
  return Guarded([&]() -> HRESULT {
    if (bFreeze)
      ++freeze_count_;
    else if (freeze_count_ > 0)
      --freeze_count_;
    return S_OK;
  });
}

// --- The window's notifications -------------------------------------------------------------

// The user gave the in-place window the focus (clicked it, tabbed to it): the
// control becomes UI active, as a container expects of it.
void TOleControl::WindowActivated() {
  if (window_ && !ui_active_) ActivateUI(false);
  window_events_.FireActivate();
}
void TOleControl::WindowClicked() { window_events_.FireClick(); }
void TOleControl::WindowDoubleClicked() { window_events_.FireDblClick(); }
void TOleControl::WindowDeactivated() { window_events_.FireDeactivate(); }
void TOleControl::WindowPainted() { window_events_.FirePaint(); }
std::int16_t TOleControl::WindowKeyPressed(std::int16_t key) {
  return window_events_.FireKeyPress(key);
}

}  // namespace tarvo::automation
