// tarvo_wine_container: a minimal OLE container for the Tarvo control, run
// under Wine.
//
//   tarvo_wine_container.exe LOG
//
// It embeds the control in a frame window (client site, in-place site and
// in-place frame below), in-place activates it, checks its child window,
// drawing and class information, then saves its properties through
// IPersistStreamInit and loads them into a second control. One line per
// check goes to LOG; the exit code is 0 when every check passed.
#include <windows.h>
#include <ole2.h>
#include <olectl.h>
#include <ocidl.h>

#include <chrono>
#include <string>

#include "tests/wine/control_handle.h"
#include "tests/wine/event_sink.h"
#include "tests/wine/message_pump.h"
#include "tests/wine/wine_check.h"

namespace tarvo::wine {
namespace {

using namespace std::chrono_literals;

constexpr DWORD kMiscStatus = 0x32191;  // the value registered under MiscStatus\1 (205201)

// The container's side of one embedded object: client site, in-place site
// (with its IOleWindow) and the in-place frame, all on one object.
class Site final : public IOleClientSite, public IOleInPlaceSite, public IOleInPlaceFrame {
 public:
  explicit Site(HWND frame) : frame_(frame) {}

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite))
      *out = static_cast<IOleClientSite*>(this);
    else if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceSite))
      *out = static_cast<IOleInPlaceSite*>(this);
    else if (IsEqualIID(iid, IID_IOleInPlaceUIWindow) || IsEqualIID(iid, IID_IOleInPlaceFrame))
      *out = static_cast<IOleInPlaceFrame*>(this);
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // lives on the stack

  // IOleClientSite
  HRESULT STDMETHODCALLTYPE SaveObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** m) override {
    if (m) *m = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** c) override {
    if (c) *c = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleWindow (shared by the in-place site and the frame: both are the frame window)
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* hwnd) override {
    if (!hwnd) return E_POINTER;
    *hwnd = frame_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IOleInPlaceSite
  HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override {
    ++inplace_activations;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnUIActivate() override {
    ++ui_activations;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos,
                                             LPRECT clip, LPOLEINPLACEFRAMEINFO info) override {
    if (frame) {
      *frame = static_cast<IOleInPlaceFrame*>(this);
      AddRef();
    }
    if (doc) *doc = nullptr;
    if (pos) *pos = rect;
    if (clip) *clip = rect;
    if (info) {
      info->fMDIApp = FALSE;
      info->hwndFrame = frame_;
      info->haccel = nullptr;
      info->cAccelEntries = 0;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override {
    ++inplace_deactivations;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT r) override {
    if (r) rect = *r;
    return S_OK;
  }

  // IOleInPlaceUIWindow / IOleInPlaceFrame: no tool space, no menus.
  HRESULT STDMETHODCALLTYPE GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
  HRESULT STDMETHODCALLTYPE RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
  HRESULT STDMETHODCALLTYPE SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RemoveMenus(HMENU) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetStatusText(LPCOLESTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE EnableModeless(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

  RECT rect{10, 10, 128, 144};  // 118 by 134, the control's own size
  int inplace_activations = 0;
  int ui_activations = 0;
  int inplace_deactivations = 0;
  ULONG refs() const { return refs_; }

 private:
  HWND frame_;
  ULONG refs_ = 1;
};

HWND CreateFrame() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"TarvoTestFrame";
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  RegisterClassW(&wc);
  return CreateWindowExW(0, wc.lpszClassName, L"Tarvo container", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0, 400,
                         300, nullptr, nullptr, wc.hInstance, nullptr);
}

// Draws the object through IViewObject2 into a 118x134 bitmap filled with
// one colour first; returns the number of pixels that changed.
int DrawnPixels(IUnknown* object, HRESULT* hr) {
  Ptr<IViewObject2> view;
  *hr = object->QueryInterface(IID_IViewObject2, view.void_out());
  if (FAILED(*hr)) return -1;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, 118, 134);
  HGDIOBJ old = SelectObject(dc, bitmap);
  RECT all{0, 0, 118, 134};
  HBRUSH magenta = CreateSolidBrush(RGB(255, 0, 255));
  FillRect(dc, &all, magenta);
  RECTL bounds{0, 0, 118, 134};
  *hr = view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr, 0);
  int changed = 0;
  for (int y = 0; y < 134; y += 3)
    for (int x = 0; x < 118; x += 3) changed += GetPixel(dc, x, y) != RGB(255, 0, 255);
  SelectObject(dc, old);
  DeleteObject(magenta);
  DeleteObject(bitmap);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  return changed;
}

void Embedding(Report& report, HWND frame) {
  Ptr<IOleObject> ole;
  HRESULT hr = CoCreateInstance(CLSID_Tarvo, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject, ole.void_out());
  if (!report.Check(hr == S_OK && ole, "container: CoCreateInstance of IOleObject", Hex(hr))) return;
  DWORD misc = 0;
  hr = ole->GetMiscStatus(DVASPECT_CONTENT, &misc);
  report.Check(hr == S_OK && misc == kMiscStatus, "container: GetMiscStatus 0x32191", Hex(hr) + " " + Hex(misc));

  Site site(frame);
  hr = ole->SetClientSite(&site);
  report.Check(hr == S_OK, "container: SetClientSite (set first, as the status asks)", Hex(hr));
  Ptr<IPersistStreamInit> persist;
  hr = ole->QueryInterface(IID_IPersistStreamInit, persist.void_out());
  if (persist) hr = persist->InitNew();
  report.Check(hr == S_OK, "container: IPersistStreamInit::InitNew", Hex(hr));
  ole->SetHostNames(L"Tarvo container", L"test");

  hr = ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, frame, &site.rect);
  report.Check(hr == S_OK && site.inplace_activations == 1, "container: DoVerb(INPLACEACTIVATE)",
               Hex(hr) + " activations " + std::to_string(site.inplace_activations));
  Ptr<IOleInPlaceObject> inplace;
  hr = ole->QueryInterface(IID_IOleInPlaceObject, inplace.void_out());
  HWND window = nullptr;
  if (inplace) hr = inplace->GetWindow(&window);
  report.Check(hr == S_OK && window && IsWindow(window) && GetParent(window) == frame,
               "container: the control's window is a child of the frame", Hex(hr));
  if (window && inplace) {
    RECT moved{20, 30, 220, 130};
    hr = inplace->SetObjectRects(&moved, &moved);
    RECT now{};
    GetWindowRect(window, &now);
    report.Check(hr == S_OK && now.right - now.left == 200 && now.bottom - now.top == 100,
                 "container: SetObjectRects moves and sizes the window",
                 std::to_string(now.right - now.left) + "x" + std::to_string(now.bottom - now.top));
  }
  PumpPending();  // dispatch what activation posted

  int changed = DrawnPixels(ole.get(), &hr);
  report.Check(hr == S_OK && changed > 0, "container: IViewObject2::Draw paints the control's picture",
               Hex(hr) + " " + std::to_string(changed) + " sample pixels changed");

  Ptr<IProvideClassInfo2> class_info;
  hr = ole->QueryInterface(IID_IProvideClassInfo2, class_info.void_out());
  GUID source{};
  if (class_info) hr = class_info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source);
  report.Check(hr == S_OK && IsEqualGUID(source, DIID_ITarvoEvents),
               "container: IProvideClassInfo2 names ITarvoEvents as the source", Hex(hr));
  Ptr<ITypeInfo> coclass;
  if (class_info) hr = class_info->GetClassInfo(coclass.out());
  TYPEATTR* attr = nullptr;
  if (coclass) coclass->GetTypeAttr(&attr);
  report.Check(attr && attr->typekind == TKIND_COCLASS && IsEqualGUID(attr->guid, CLSID_Tarvo),
               "container: GetClassInfo is the Tarvo coclass", Hex(hr));
  if (attr) coclass->ReleaseTypeAttr(attr);

  Ptr<IOleControl> control;
  hr = ole->QueryInterface(IID_IOleControl, control.void_out());
  CONTROLINFO info{};
  info.cb = sizeof info;
  if (control) hr = control->GetControlInfo(&info);
  report.Check(hr == S_OK || hr == E_NOTIMPL, "container: IOleControl::GetControlInfo", Hex(hr));
  Ptr<IQuickActivate> quick;
  hr = ole->QueryInterface(IID_IQuickActivate, quick.void_out());
  report.Check(hr == S_OK && quick, "container: IQuickActivate is offered", Hex(hr));

  hr = inplace ? inplace->InPlaceDeactivate() : E_NOINTERFACE;
  report.Check(hr == S_OK && site.inplace_deactivations == 1, "container: InPlaceDeactivate", Hex(hr));
  hr = ole->Close(OLECLOSE_NOSAVE);
  report.Check(hr == S_OK, "container: Close", Hex(hr));
  ole->SetClientSite(nullptr);
  inplace.Reset();
  persist.Reset();
  class_info.Reset();
  coclass.Reset();
  control.Reset();
  quick.Reset();
  ole.Reset();
  report.Check(site.refs() == 1, "container: the control let go of the site",
               std::to_string(site.refs() - 1) + " references kept");
}

void Persistence(Report& report) {
  Ptr<ITarvo> first;
  HRESULT hr = CoCreateInstance(CLSID_Tarvo, nullptr, CLSCTX_INPROC_SERVER, IID_ITarvo, first.void_out());
  Ptr<IPersistStreamInit> save;
  if (first) hr = first->QueryInterface(IID_IPersistStreamInit, save.void_out());
  if (!report.Check(hr == S_OK && save, "persist: IPersistStreamInit", Hex(hr))) return;
  CLSID clsid{};
  save->GetClassID(&clsid);
  report.Check(IsEqualCLSID(clsid, CLSID_Tarvo), "persist: GetClassID is Tarvo");
  save->InitNew();
  Bstr caption(L"P\u00e9nzt\u00e1r 3");
  first->put_Caption(caption.get());
  first->put_Color(0x00804020);
  first->put_Mode650(VARIANT_FALSE);
  report.Check(save->IsDirty() == S_OK, "persist: dirty after property changes");

  Ptr<IStream> stream;
  hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.out());
  ULARGE_INTEGER max{};
  save->GetSizeMax(&max);
  if (stream) hr = save->Save(stream.get(), TRUE);
  STATSTG stat{};
  if (stream) stream->Stat(&stat, STATFLAG_NONAME);
  report.Check(hr == S_OK && stat.cbSize.QuadPart > 0 && stat.cbSize.QuadPart <= max.QuadPart,
               "persist: Save writes no more than GetSizeMax", Hex(hr) + " " + std::to_string(stat.cbSize.QuadPart) +
                                                                   " of " + std::to_string(max.QuadPart) + " bytes");
  report.Check(save->IsDirty() == S_FALSE, "persist: clean after Save(clear dirty)");

  Ptr<ITarvo> second;
  hr = CoCreateInstance(CLSID_Tarvo, nullptr, CLSCTX_INPROC_SERVER, IID_ITarvo, second.void_out());
  Ptr<IPersistStreamInit> load;
  if (second) hr = second->QueryInterface(IID_IPersistStreamInit, load.void_out());
  LARGE_INTEGER start{};
  if (stream) stream->Seek(start, STREAM_SEEK_SET, nullptr);
  if (load) hr = load->Load(stream.get());
  Bstr caption_back;
  OLE_COLOR color = 0;
  VARIANT_BOOL mode = VARIANT_TRUE;
  if (second) {
    second->get_Caption(caption_back.out());
    second->get_Color(&color);
    second->get_Mode650(&mode);
  }
  report.Check(hr == S_OK && caption_back.get() && wcscmp(caption_back.get(), caption.get()) == 0 &&
                   color == 0x00804020 && mode == VARIANT_FALSE,
               "persist: Load into a new control restores Caption, Color and Mode650",
               Hex(hr) + " caption " + Narrow(caption_back.get()) + " color " + Hex(static_cast<long>(color)));

  // A stream that ends early is refused and leaves the control as it was.
  Ptr<IStream> cut;
  CreateStreamOnHGlobal(nullptr, TRUE, cut.out());
  const BYTE two[2] = {1, 0};
  if (cut) {
    cut->Write(two, sizeof two, nullptr);
    cut->Seek(start, STREAM_SEEK_SET, nullptr);
  }
  Ptr<ITarvo> third;
  CoCreateInstance(CLSID_Tarvo, nullptr, CLSCTX_INPROC_SERVER, IID_ITarvo, third.void_out());
  Ptr<IPersistStreamInit> refuse;
  if (third) third->QueryInterface(IID_IPersistStreamInit, refuse.void_out());
  hr = refuse ? refuse->Load(cut.get()) : E_NOINTERFACE;
  mode = VARIANT_FALSE;
  if (third) third->get_Mode650(&mode);
  report.Check(FAILED(hr) && mode == VARIANT_TRUE, "persist: a cut stream is refused, the control keeps its defaults",
               Hex(hr));
}

}  // namespace
}  // namespace tarvo::wine

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s LOG\n", argv[0]);
    return 2;
  }
  tarvo::wine::Report report(argv[1]);
  const HRESULT init = OleInitialize(nullptr);
  if (!report.Check(SUCCEEDED(init), "container: OleInitialize", tarvo::wine::Hex(init))) return report.ExitCode();
  HWND frame = tarvo::wine::CreateFrame();
  if (report.Check(frame != nullptr, "container: frame window (Wine's null display driver)",
                   std::to_string(GetLastError()))) {
    tarvo::wine::Embedding(report, frame);
    DestroyWindow(frame);
  }
  tarvo::wine::Persistence(report);
  OleUninitialize();
  return report.ExitCode();
}
