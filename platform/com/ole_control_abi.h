#pragma once
// The binary shapes of the OLE control interfaces: embedding (IOleObject and
// its client site), in-place activation (IOleInPlaceObject, ...ActiveObject,
// ...Site, ...Frame, ...UIWindow), IOleControl, drawing (IViewObject2 with
// its advise sink), persistence (IPersistStreamInit over an IStream,
// IPersistPropertyBag over an IPropertyBag with its error log),
// IProvideClassInfo2 and IQuickActivate.
//
// On Windows these come from the system's own headers. Elsewhere they are
// declared here in the same way com_abi.h declares IUnknown and IDispatch:
// structs of pure virtual functions in the system's declaration order, every
// method with STDMETHODCALLTYPE, 32-bit integers for LONG/ULONG/DWORD, and
// window-system handles (HWND, HDC, HMENU, HACCEL, ...) as opaque pointers.
#if defined(_WIN32)

#include <ole2.h>
#include <ocidl.h>
#include <olectl.h>
#include <oleidl.h>

#else

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/com/com_abi.h"

// --- Handles and plain structures ---------------------------------------------
struct HWND__;
struct HDC__;
struct HMENU__;
struct HACCEL__;
struct HPALETTE__;
using HWND = HWND__*;
using HDC = HDC__*;
using HMENU = HMENU__*;
using HACCEL = HACCEL__*;
using HPALETTE = HPALETTE__*;
using HOLEMENU = void*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
using LPRECT = RECT*;
using LPCRECT = const RECT*;
using RECTL = RECT;
using LPRECTL = RECTL*;
using LPCRECTL = const RECTL*;
using BORDERWIDTHS = RECT;
using LPBORDERWIDTHS = RECT*;
using LPCBORDERWIDTHS = const RECT*;

struct SIZE {
  LONG cx;
  LONG cy;
};
using SIZEL = SIZE;
using LPSIZEL = SIZEL*;

struct POINT {
  LONG x;
  LONG y;
};
using POINTL = POINT;
struct POINTF {
  float x;
  float y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
using LPMSG = MSG*;

struct PALETTEENTRY {
  BYTE peRed;
  BYTE peGreen;
  BYTE peBlue;
  BYTE peFlags;
};
struct LOGPALETTE {
  WORD palVersion;
  WORD palNumEntries;
  PALETTEENTRY palPalEntry[1];
};

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
};

struct OLEVERB {
  LONG lVerb;
  LPOLESTR lpszVerbName;
  DWORD fuFlags;
  DWORD grfAttribs;
};
using LPOLEVERB = OLEVERB*;

struct OLEINPLACEFRAMEINFO {
  UINT cb;
  BOOL fMDIApp;
  HWND hwndFrame;
  HACCEL haccel;
  UINT cAccelEntries;
};
using LPOLEINPLACEFRAMEINFO = OLEINPLACEFRAMEINFO*;

struct OLEMENUGROUPWIDTHS {
  LONG width[6];
};
using LPOLEMENUGROUPWIDTHS = OLEMENUGROUPWIDTHS*;

struct CONTROLINFO {
  ULONG cb;
  HACCEL hAccel;
  USHORT cAccel;
  DWORD dwFlags;
};

// Only passed through by pointer.
struct DVTARGETDEVICE;
struct FORMATETC;
struct STGMEDIUM;
struct STATSTG;
struct IMoniker;
struct IDataObject;
struct IEnumSTATDATA;
struct IOleContainer;
struct IOleUndoManager;
struct IBindHost;
struct IServiceProvider;
struct IFont;

// --- Constants ------------------------------------------------------------------
inline constexpr LONG OLEIVERB_PRIMARY = 0;
inline constexpr LONG OLEIVERB_SHOW = -1;
inline constexpr LONG OLEIVERB_OPEN = -2;
inline constexpr LONG OLEIVERB_HIDE = -3;
inline constexpr LONG OLEIVERB_UIACTIVATE = -4;
inline constexpr LONG OLEIVERB_INPLACEACTIVATE = -5;
inline constexpr LONG OLEIVERB_DISCARDUNDOSTATE = -6;
inline constexpr LONG OLEIVERB_PROPERTIES = -7;

enum DVASPECT : std::int32_t {
  DVASPECT_CONTENT = 1, DVASPECT_THUMBNAIL = 2, DVASPECT_ICON = 4, DVASPECT_DOCPRINT = 8
};
enum OLECLOSE : std::int32_t {
  OLECLOSE_SAVEIFDIRTY = 0, OLECLOSE_NOSAVE = 1, OLECLOSE_PROMPTSAVE = 2
};
enum OLEVERBATTRIB : std::int32_t {
  OLEVERBATTRIB_NEVERDIRTIES = 1, OLEVERBATTRIB_ONCONTAINERMENU = 2
};
enum GUIDKIND : std::int32_t { GUIDKIND_DEFAULT_SOURCE_DISP_IID = 1 };
enum VIEWSTATUS : std::int32_t {
  VIEWSTATUS_OPAQUE = 1, VIEWSTATUS_SOLIDBKGND = 2, VIEWSTATUS_DVASPECTOPAQUE = 4,
  VIEWSTATUS_DVASPECTTRANSPARENT = 8
};
enum STREAM_SEEK : std::int32_t { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };
inline constexpr UINT MF_STRING = 0;
inline constexpr BOOL FALSE = 0;
inline constexpr BOOL TRUE = 1;

inline constexpr HRESULT OLE_S_USEREG = 0x00040000;
inline constexpr HRESULT OLEOBJ_S_INVALIDVERB = 0x00040180;
inline constexpr HRESULT OLEOBJ_S_CANNOT_DOVERB_NOW = 0x00040181;
inline constexpr HRESULT OLE_E_ADVISENOTSUPPORTED = static_cast<HRESULT>(0x80040003u);
inline constexpr HRESULT OLE_E_NOCONNECTION = static_cast<HRESULT>(0x80040004u);
inline constexpr HRESULT OLE_E_NOT_INPLACEACTIVE = static_cast<HRESULT>(0x80040010u);
inline constexpr HRESULT DV_E_DVASPECT = static_cast<HRESULT>(0x8004006Bu);
inline constexpr HRESULT INPLACE_E_NOTUNDOABLE = static_cast<HRESULT>(0x800401A0u);
inline constexpr HRESULT STG_E_WRITEFAULT = static_cast<HRESULT>(0x8003001Du);
inline constexpr HRESULT STG_E_READFAULT = static_cast<HRESULT>(0x8003001Eu);
inline constexpr HRESULT STG_E_INVALIDHEADER = static_cast<HRESULT>(0x800300FBu);
inline constexpr HRESULT STG_E_OLDFORMAT = static_cast<HRESULT>(0x80030104u);

#define OLESTR(str) u##str

// Task memory: what a callee hands out and the caller frees (verb names).
inline void* CoTaskMemAlloc(std::size_t size) { return std::malloc(size); }
inline void CoTaskMemFree(void* p) { std::free(p); }

// --- Interfaces -------------------------------------------------------------------
struct IOleInPlaceActiveObject;

struct IOleWindow : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetWindow(HWND* phwnd) = 0;
  virtual HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL fEnterMode) = 0;
};

struct IOleClientSite : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SaveObject() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker,
                                               IMoniker** ppmk) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** ppContainer) = 0;
  virtual HRESULT STDMETHODCALLTYPE ShowObject() = 0;
  virtual HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL fShow) = 0;
  virtual HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() = 0;
};

struct IAdviseSink : IUnknown {
  virtual void STDMETHODCALLTYPE OnDataChange(FORMATETC* pFormatetc, STGMEDIUM* pStgmed) = 0;
  virtual void STDMETHODCALLTYPE OnViewChange(DWORD dwAspect, LONG lindex) = 0;
  virtual void STDMETHODCALLTYPE OnRename(IMoniker* pmk) = 0;
  virtual void STDMETHODCALLTYPE OnSave() = 0;
  virtual void STDMETHODCALLTYPE OnClose() = 0;
};

struct IAdviseSinkEx : IAdviseSink {
  virtual void STDMETHODCALLTYPE OnViewStatusChange(DWORD dwViewStatus) = 0;
};

struct IEnumOLEVERB : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLEVERB rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumOLEVERB** ppenum) = 0;
};

struct IOleObject : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* pClientSite) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** ppClientSite) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR szContainerApp,
                                                 LPCOLESTR szContainerObj) = 0;
  virtual HRESULT STDMETHODCALLTYPE Close(DWORD dwSaveOption) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetMoniker(DWORD dwWhichMoniker, IMoniker* pmk) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker,
                                               IMoniker** ppmk) = 0;
  virtual HRESULT STDMETHODCALLTYPE InitFromData(IDataObject* pDataObject, BOOL fCreation,
                                                 DWORD dwReserved) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD dwReserved,
                                                     IDataObject** ppDataObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE DoVerb(LONG iVerb, LPMSG lpmsg, IOleClientSite* pActiveSite,
                                           LONG lindex, HWND hwndParent, LPCRECT lprcPosRect) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) = 0;
  virtual HRESULT STDMETHODCALLTYPE Update() = 0;
  virtual HRESULT STDMETHODCALLTYPE IsUpToDate() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* pClsid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetUserType(DWORD dwFormOfType, LPOLESTR* pszUserType) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetExtent(DWORD dwDrawAspect, SIZEL* psizel) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetExtent(DWORD dwDrawAspect, SIZEL* psizel) = 0;
  virtual HRESULT STDMETHODCALLTYPE Advise(IAdviseSink* pAdvSink, DWORD* pdwConnection) = 0;
  virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwConnection) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** ppenumAdvise) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD dwAspect, DWORD* pdwStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE* pLogpal) = 0;
};

struct IOleInPlaceObject : IOleWindow {
  virtual HRESULT STDMETHODCALLTYPE InPlaceDeactivate() = 0;
  virtual HRESULT STDMETHODCALLTYPE UIDeactivate() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT lprcPosRect, LPCRECT lprcClipRect) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReactivateAndUndo() = 0;
};

struct IOleInPlaceUIWindow : IOleWindow {
  virtual HRESULT STDMETHODCALLTYPE GetBorder(LPRECT lprectBorder) = 0;
  virtual HRESULT STDMETHODCALLTYPE RequestBorderSpace(LPCBORDERWIDTHS pborderwidths) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetBorderSpace(LPCBORDERWIDTHS pborderwidths) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetActiveObject(IOleInPlaceActiveObject* pActiveObject,
                                                    LPCOLESTR pszObjName) = 0;
};

struct IOleInPlaceActiveObject : IOleWindow {
  virtual HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG lpmsg) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnFrameWindowActivate(BOOL fActivate) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDocWindowActivate(BOOL fActivate) = 0;
  virtual HRESULT STDMETHODCALLTYPE ResizeBorder(LPCRECT prcBorder,
                                                 IOleInPlaceUIWindow* pUIWindow,
                                                 BOOL fFrameWindow) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnableModeless(BOOL fEnable) = 0;
};

struct IOleInPlaceFrame : IOleInPlaceUIWindow {
  virtual HRESULT STDMETHODCALLTYPE InsertMenus(HMENU hmenuShared,
                                                LPOLEMENUGROUPWIDTHS lpMenuWidths) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetMenu(HMENU hmenuShared, HOLEMENU holemenu,
                                            HWND hwndActiveObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveMenus(HMENU hmenuShared) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetStatusText(LPCOLESTR pszStatusText) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnableModeless(BOOL fEnable) = 0;
  virtual HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG lpmsg, WORD wID) = 0;
};

struct IOleInPlaceSite : IOleWindow {
  virtual HRESULT STDMETHODCALLTYPE CanInPlaceActivate() = 0;
  virtual HRESULT STDMETHODCALLTYPE OnInPlaceActivate() = 0;
  virtual HRESULT STDMETHODCALLTYPE OnUIActivate() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** ppFrame,
                                                     IOleInPlaceUIWindow** ppDoc,
                                                     LPRECT lprcPosRect, LPRECT lprcClipRect,
                                                     LPOLEINPLACEFRAMEINFO lpFrameInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE Scroll(SIZE scrollExtant) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL fUndoable) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() = 0;
  virtual HRESULT STDMETHODCALLTYPE DiscardUndoState() = 0;
  virtual HRESULT STDMETHODCALLTYPE DeactivateAndUndo() = 0;
  virtual HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT lprcPosRect) = 0;
};

struct IOleControl : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO* pCI) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnMnemonic(MSG* pMsg) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID dispID) = 0;
  virtual HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL bFreeze) = 0;
};

struct IOleControlSite : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnControlInfoChanged() = 0;
  virtual HRESULT STDMETHODCALLTYPE LockInPlaceActive(BOOL fLock) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetExtendedControl(IDispatch** ppDisp) = 0;
  virtual HRESULT STDMETHODCALLTYPE TransformCoords(POINTL* pPtlHimetric, POINTF* pPtfContainer,
                                                    DWORD dwFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG* pMsg, DWORD grfModifiers) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnFocus(BOOL fGotFocus) = 0;
  virtual HRESULT STDMETHODCALLTYPE ShowPropertyFrame() = 0;
};

struct IViewObject : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Draw(DWORD dwDrawAspect, LONG lindex, void* pvAspect,
                                         DVTARGETDEVICE* ptd, HDC hdcTargetDev, HDC hdcDraw,
                                         LPCRECTL lprcBounds, LPCRECTL lprcWBounds,
                                         BOOL(STDMETHODCALLTYPE* pfnContinue)(ULONG_PTR),
                                         ULONG_PTR dwContinue) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetColorSet(DWORD dwDrawAspect, LONG lindex, void* pvAspect,
                                                DVTARGETDEVICE* ptd, HDC hicTargetDev,
                                                LOGPALETTE** ppColorSet) = 0;
  virtual HRESULT STDMETHODCALLTYPE Freeze(DWORD dwDrawAspect, LONG lindex, void* pvAspect,
                                           DWORD* pdwFreeze) = 0;
  virtual HRESULT STDMETHODCALLTYPE Unfreeze(DWORD dwFreeze) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetAdvise(DWORD aspects, DWORD advf,
                                              IAdviseSink* pAdvSink) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* pAspects, DWORD* pAdvf,
                                              IAdviseSink** ppAdvSink) = 0;
};

struct IViewObject2 : IViewObject {
  virtual HRESULT STDMETHODCALLTYPE GetExtent(DWORD dwDrawAspect, LONG lindex,
                                              DVTARGETDEVICE* ptd, LPSIZEL lpsizel) = 0;
};

struct ISequentialStream : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;
};

struct IStream : ISequentialStream {
  virtual HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                         ULARGE_INTEGER* plibNewPosition) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb,
                                           ULARGE_INTEGER* pcbRead,
                                           ULARGE_INTEGER* pcbWritten) = 0;
  virtual HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Revert() = 0;
  virtual HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                               DWORD dwLockType) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                                 DWORD dwLockType) = 0;
  virtual HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) = 0;
};
using LPSTREAM = IStream*;

struct IPersist : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) = 0;
};

struct IPersistStreamInit : IPersist {
  virtual HRESULT STDMETHODCALLTYPE IsDirty() = 0;
  virtual HRESULT STDMETHODCALLTYPE Load(LPSTREAM pStm) = 0;
  virtual HRESULT STDMETHODCALLTYPE Save(LPSTREAM pStm, BOOL fClearDirty) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* pCbSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE InitNew() = 0;
};

struct IErrorLog : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddError(LPCOLESTR pszPropName, EXCEPINFO* pExcepInfo) = 0;
};

struct IPropertyBag : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(LPCOLESTR pszPropName, VARIANT* pVar,
                                         IErrorLog* pErrorLog) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(LPCOLESTR pszPropName, VARIANT* pVar) = 0;
};

struct IPersistPropertyBag : IPersist {
  virtual HRESULT STDMETHODCALLTYPE InitNew() = 0;
  virtual HRESULT STDMETHODCALLTYPE Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) = 0;
  virtual HRESULT STDMETHODCALLTYPE Save(IPropertyBag* pPropBag, BOOL fClearDirty,
                                         BOOL fSaveAllProperties) = 0;
};

struct IProvideClassInfo2 : IProvideClassInfo {
  virtual HRESULT STDMETHODCALLTYPE GetGUID(DWORD dwGuidKind, GUID* pGUID) = 0;
};

struct QACONTAINER {
  ULONG cbSize;
  IOleClientSite* pClientSite;
  IAdviseSinkEx* pAdviseSink;
  IPropertyNotifySink* pPropertyNotifySink;
  IUnknown* pUnkEventSink;
  DWORD dwAmbientFlags;
  OLE_COLOR colorFore;
  OLE_COLOR colorBack;
  IFont* pFont;
  IOleUndoManager* pUndoMgr;
  DWORD dwAppearance;
  LONG lcid;
  HPALETTE hpal;
  IBindHost* pBindHost;
  IOleControlSite* pOleControlSite;
  IServiceProvider* pServiceProvider;
};

struct QACONTROL {
  ULONG cbSize;
  DWORD dwMiscStatus;
  DWORD dwViewStatus;
  DWORD dwEventCookie;
  DWORD dwPropNotifyCookie;
  DWORD dwPointerActivationPolicy;
};

struct IQuickActivate : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QuickActivate(QACONTAINER* pQaContainer,
                                                  QACONTROL* pQaControl) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetContentExtent(LPSIZEL pSizel) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetContentExtent(LPSIZEL pSizel) = 0;
};

// --- Interface identifiers (fixed public values) -----------------------------------
inline constexpr IID IID_IOleWindow = {0x00000114, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleClientSite = {0x00000118, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IAdviseSink = {0x0000010F, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IAdviseSinkEx = {0x3AF24290, 0x0C96, 0x11CE, {0xA0, 0xCF, 0x00, 0xAA, 0x00, 0x60, 0x0A, 0xB8}};
inline constexpr IID IID_IEnumOLEVERB = {0x00000104, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleObject = {0x00000112, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleInPlaceObject = {0x00000113, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleInPlaceUIWindow = {0x00000115, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleInPlaceFrame = {0x00000116, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleInPlaceActiveObject = {0x00000117, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleInPlaceSite = {0x00000119, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleControl = {0xB196B288, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IOleControlSite = {0xB196B289, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IViewObject = {0x0000010D, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IViewObject2 = {0x00000127, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_ISequentialStream = {0x0C733A30, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr IID IID_IStream = {0x0000000C, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IPersist = {0x0000010C, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IPersistStreamInit = {0x7FD52380, 0x4E07, 0x101B, {0xAE, 0x2D, 0x08, 0x00, 0x2B, 0x2E, 0xC7, 0x13}};
inline constexpr IID IID_IErrorLog = {0x3127CA40, 0x446E, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
inline constexpr IID IID_IPropertyBag = {0x55272A00, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
inline constexpr IID IID_IPersistPropertyBag = {0x37D84F60, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
inline constexpr IID IID_IProvideClassInfo2 = {0xA6BC3AC0, 0xDBAA, 0x11CE, {0x9D, 0xE3, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
inline constexpr IID IID_IQuickActivate = {0xCF51ED10, 0x62FE, 0x11CF, {0xBF, 0x86, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0x36}};

#endif  // !_WIN32
