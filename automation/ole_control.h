#pragma once
// TOleControl: what makes the control object a full in-place ActiveX control
// -- embedding (IOleObject), in-place activation with a child window
// (IOleInPlaceObject, IOleInPlaceActiveObject), IOleControl, drawing
// (IViewObject2), persistence of the design-time properties
// (IPersistStreamInit, IPersistPropertyBag), IProvideClassInfo2 and
// IQuickActivate.
//
// It is part of the control object, not an object of its own: its IUnknown
// is the control's (QueryInterface, AddRef and Release go to the control),
// the control's QueryInterface hands out its interfaces (Interface), and it
// lives exactly as long as the control. It reaches the rest of the control
// only through the control's interfaces: ITarvo for the persisted
// properties, IConnectionPointContainer for the sinks of IQuickActivate,
// IProvideClassInfo for the class information, and ITarvoWindow for the
// notifications of its window -- the same path a host toolkit uses.
//
// Activation states: loaded (no window) -> in-place active (the child window
// exists under the site's window, at the site's rectangle) -> UI active (the
// window has the focus and the frame knows the control as its active
// object), and back.
//
// Thread: the control's owner thread only (the apartment rule); calls from
// another thread return RPC_E_WRONG_THREAD, as the control's own do.
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "automation/TarvoMDrv_TLB.h"
#include "automation/ole_persist_format.h"
#include "platform/com/ole_control_abi.h"
#include "platform/control_window.h"

struct ITarvoWindow;

namespace tarvo::automation {

// Miscellaneous status of the content aspect: recompose on resize, cannot
// link inside, inside-out, activate when visible, acts like a label, simple
// frame, set client site first.
inline constexpr DWORD kMiscStatus = 0x32191;

// The default extent: the control window's 118 by 134 pixels at 96 pixels
// per inch, in HIMETRIC (0.01 mm; 2540 per inch).
inline constexpr LONG kDefaultExtentX = (118 * 2540 + 48) / 96;
inline constexpr LONG kDefaultExtentY = (134 * 2540 + 48) / 96;

class TOleControl final : public IOleObject,
                          public IOleInPlaceObject,
                          public IOleInPlaceActiveObject,
                          public IOleControl,
                          public IViewObject2,
                          public IPersistStreamInit,
                          public IPersistPropertyBag,
                          public IProvideClassInfo2,
                          public IQuickActivate,
                          private platform::ControlWindowEvents {
 public:
  // `control` is the control's identity; `window` its window notifications.
  TOleControl(ITarvo& control, ITarvoWindow& window, std::thread::id owner);
  // Destroys the window and lets the site, frame and sinks go, without
  // calling them.
  ~TOleControl();
  TOleControl(const TOleControl&) = delete;
  TOleControl& operator=(const TOleControl&) = delete;

  // The interface `riid` of this part, not yet AddRef'ed; null when it is
  // not one of its interfaces.
  void* Interface(REFIID riid);
  // True while the container has frozen the control's events.
  bool EventsFrozen() const { return freeze_count_ > 0; }

  // IUnknown (the control's)
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IOleObject
  HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* pClientSite) override;
  HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** ppClientSite) override;
  HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR szContainerApp,
                                         LPCOLESTR szContainerObj) override;
  HRESULT STDMETHODCALLTYPE Close(DWORD dwSaveOption) override;
  HRESULT STDMETHODCALLTYPE SetMoniker(DWORD dwWhichMoniker, IMoniker* pmk) override;
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker,
                                       IMoniker** ppmk) override;
  HRESULT STDMETHODCALLTYPE InitFromData(IDataObject* pDataObject, BOOL fCreation,
                                         DWORD dwReserved) override;
  HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD dwReserved,
                                             IDataObject** ppDataObject) override;
  HRESULT STDMETHODCALLTYPE DoVerb(LONG iVerb, LPMSG lpmsg, IOleClientSite* pActiveSite,
                                   LONG lindex, HWND hwndParent, LPCRECT lprcPosRect) override;
  HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) override;
  HRESULT STDMETHODCALLTYPE Update() override;
  HRESULT STDMETHODCALLTYPE IsUpToDate() override;
  HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* pClsid) override;
  HRESULT STDMETHODCALLTYPE GetUserType(DWORD dwFormOfType, LPOLESTR* pszUserType) override;
  HRESULT STDMETHODCALLTYPE SetExtent(DWORD dwDrawAspect, SIZEL* psizel) override;
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD dwDrawAspect, SIZEL* psizel) override;
  HRESULT STDMETHODCALLTYPE Advise(IAdviseSink* pAdvSink, DWORD* pdwConnection) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwConnection) override;
  HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** ppenumAdvise) override;
  HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD dwAspect, DWORD* pdwStatus) override;
  HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE* pLogpal) override;

  // IOleWindow (of IOleInPlaceObject and IOleInPlaceActiveObject)
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* phwnd) override;
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL fEnterMode) override;

  // IOleInPlaceObject
  HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override;
  HRESULT STDMETHODCALLTYPE UIDeactivate() override;
  HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT lprcPosRect, LPCRECT lprcClipRect) override;
  HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override;

  // IOleInPlaceActiveObject
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG lpmsg) override;
  HRESULT STDMETHODCALLTYPE OnFrameWindowActivate(BOOL fActivate) override;
  HRESULT STDMETHODCALLTYPE OnDocWindowActivate(BOOL fActivate) override;
  HRESULT STDMETHODCALLTYPE ResizeBorder(LPCRECT prcBorder, IOleInPlaceUIWindow* pUIWindow,
                                         BOOL fFrameWindow) override;
  HRESULT STDMETHODCALLTYPE EnableModeless(BOOL fEnable) override;

  // IOleControl
  HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO* pCI) override;
  HRESULT STDMETHODCALLTYPE OnMnemonic(MSG* pMsg) override;
  HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID dispID) override;
  HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL bFreeze) override;

  // IViewObject2
  HRESULT STDMETHODCALLTYPE Draw(DWORD dwDrawAspect, LONG lindex, void* pvAspect,
                                 DVTARGETDEVICE* ptd, HDC hdcTargetDev, HDC hdcDraw,
                                 LPCRECTL lprcBounds, LPCRECTL lprcWBounds,
                                 BOOL(STDMETHODCALLTYPE* pfnContinue)(ULONG_PTR),
                                 ULONG_PTR dwContinue) override;
  HRESULT STDMETHODCALLTYPE GetColorSet(DWORD dwDrawAspect, LONG lindex, void* pvAspect,
                                        DVTARGETDEVICE* ptd, HDC hicTargetDev,
                                        LOGPALETTE** ppColorSet) override;
  HRESULT STDMETHODCALLTYPE Freeze(DWORD dwDrawAspect, LONG lindex, void* pvAspect,
                                   DWORD* pdwFreeze) override;
  HRESULT STDMETHODCALLTYPE Unfreeze(DWORD dwFreeze) override;
  HRESULT STDMETHODCALLTYPE SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* pAdvSink) override;
  HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* pAspects, DWORD* pAdvf,
                                      IAdviseSink** ppAdvSink) override;
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD dwDrawAspect, LONG lindex, DVTARGETDEVICE* ptd,
                                      LPSIZEL lpsizel) override;

  // IPersist (of both persistence interfaces)
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  // IPersistStreamInit and IPersistPropertyBag
  HRESULT STDMETHODCALLTYPE InitNew() override;
  // IPersistStreamInit
  HRESULT STDMETHODCALLTYPE IsDirty() override;
  HRESULT STDMETHODCALLTYPE Load(LPSTREAM pStm) override;
  HRESULT STDMETHODCALLTYPE Save(LPSTREAM pStm, BOOL fClearDirty) override;
  HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* pCbSize) override;
  // IPersistPropertyBag
  HRESULT STDMETHODCALLTYPE Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) override;
  HRESULT STDMETHODCALLTYPE Save(IPropertyBag* pPropBag, BOOL fClearDirty,
                                 BOOL fSaveAllProperties) override;

  // IProvideClassInfo2
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppTI) override;
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD dwGuidKind, GUID* pGUID) override;

  // IQuickActivate
  HRESULT STDMETHODCALLTYPE QuickActivate(QACONTAINER* pQaContainer,
                                          QACONTROL* pQaControl) override;
  HRESULT STDMETHODCALLTYPE SetContentExtent(LPSIZEL pSizel) override;
  HRESULT STDMETHODCALLTYPE GetContentExtent(LPSIZEL pSizel) override;

 private:
  bool OnOwnerThread() const { return std::this_thread::get_id() == owner_; }
  // Runs `body` on the owner thread; an escaping exception becomes a failure
  // HRESULT (E_OUTOFMEMORY, the negative code of a std::system_error, or
  // E_UNEXPECTED).
  template <class Body>
  HRESULT Guarded(Body&& body);

  // Activation (ole_activation.cpp).
  HRESULT ActivateInPlace(IOleClientSite* active_site);
  // `take_focus`: false when the window got the focus already (a click).
  HRESULT ActivateUI(bool take_focus = true);
  void DeactivateUI();
  void DeactivateInPlace();
  void ReleaseSiteObjects();

  // The persisted properties as they are now, and put back into the control
  // (ole_persistence.cpp).
  PersistedState CurrentState();
  HRESULT ApplyState(const PersistedState& state);
  // Marks the state as saved (not dirty from here on).
  void MarkClean() { saved_ = CurrentState(); }
  void NotifyViewChange();

  // platform::ControlWindowEvents: the window's notifications go to the
  // control's ITarvoWindow.
  void WindowActivated() override;
  void WindowClicked() override;
  void WindowDoubleClicked() override;
  void WindowDeactivated() override;
  void WindowPainted() override;
  std::int16_t WindowKeyPressed(std::int16_t key) override;

  ITarvo& control_;
  ITarvoWindow& window_events_;
  const std::thread::id owner_;

  // Owner thread only. Each interface pointer is an owned reference.
  IOleClientSite* client_site_ = nullptr;
  IOleInPlaceSite* inplace_site_ = nullptr;  // while in-place active
  IOleInPlaceFrame* frame_ = nullptr;        // while in-place active
  IOleInPlaceUIWindow* ui_window_ = nullptr; // while in-place active (may stay null)
  std::unique_ptr<platform::ControlWindow> window_;  // while in-place active
  bool ui_active_ = false;
  bool activating_ = false;  // ActivateInPlace on the stack
  RECT pos_rect_{0, 0, 0, 0};
  SIZEL extent_{kDefaultExtentX, kDefaultExtentY};
  std::vector<std::pair<DWORD, IAdviseSink*>> advise_sinks_;
  DWORD next_advise_cookie_ = 1;
  IAdviseSink* view_sink_ = nullptr;
  DWORD view_aspects_ = 0;
  DWORD view_advf_ = 0;
  int freeze_count_ = 0;
  bool initialized_ = false;  // InitNew or a Load has run
  PersistedState saved_;      // the state of the last save, load or InitNew
};

template <class Body>
HRESULT TOleControl::Guarded(Body&& body) {
  if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::system_error& e) {
    return e.code().value() < 0 ? static_cast<HRESULT>(e.code().value()) : E_FAIL;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace tarvo::automation
