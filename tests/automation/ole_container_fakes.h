#pragma once
// A container's side of the in-place control protocol, for the control
// tests: a client and in-place site over a window of its own, an in-place
// frame, an advise sink, a memory stream and a property bag with its error
// log. Each records what the control asked of it. They live on the test's
// stack: AddRef/Release only count.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/com/com_runtime.h"
#include "platform/com/ole_control_abi.h"
#include "platform/control_window_posix.h"

namespace tarvo::test {

// IUnknown of an object that lives on the stack and answers `Ids...`.
template <class Self>
class StackObject {
 public:
  ULONG Count() const { return refs_; }

 protected:
  ULONG Up() { return ++refs_; }
  ULONG Down() { return --refs_; }

 private:
  std::atomic<ULONG> refs_{1};
};

#define TARVO_TEST_STACK_IUNKNOWN(Primary, ...)                                      \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {       \
    void* found = Find(riid);                                                        \
    *ppv = found;                                                                    \
    if (found == nullptr) return E_NOINTERFACE;                                      \
    Up();                                                                            \
    return S_OK;                                                                     \
  }                                                                                  \
  ULONG STDMETHODCALLTYPE AddRef() override { return Up(); }                         \
  ULONG STDMETHODCALLTYPE Release() override { return Down(); }

class FakeFrame final : public IOleInPlaceFrame, public StackObject<FakeFrame> {
 public:
  TARVO_TEST_STACK_IUNKNOWN(IOleInPlaceFrame)
  void* Find(REFIID riid) {
    if (riid == IID_IUnknown || riid == IID_IOleWindow || riid == IID_IOleInPlaceUIWindow ||
        riid == IID_IOleInPlaceFrame)
      return static_cast<IOleInPlaceFrame*>(this);
    return nullptr;
  }
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* phwnd) override {
    *phwnd = nullptr;
    return E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetBorder(LPRECT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RequestBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetActiveObject(IOleInPlaceActiveObject* object,
                                            LPCOLESTR) override {
    if (active != nullptr) active->Release();
    active = object;
    if (active != nullptr) active->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetMenu(HMENU, HOLEMENU, HWND) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RemoveMenus(HMENU) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetStatusText(LPCOLESTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE EnableModeless(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

  IOleInPlaceActiveObject* active = nullptr;  // owned reference
};

// The client site and in-place site of one control, over the container's
// window `parent`, offering the control the rectangle `rect`.
class FakeSite final : public IOleClientSite,
                       public IOleInPlaceSite,
                       public StackObject<FakeSite> {
 public:
  TARVO_TEST_STACK_IUNKNOWN(IOleClientSite)
  void* Find(REFIID riid) {
    if (riid == IID_IUnknown || riid == IID_IOleClientSite)
      return static_cast<IOleClientSite*>(this);
    if (riid == IID_IOleWindow || riid == IID_IOleInPlaceSite)
      return static_cast<IOleInPlaceSite*>(this);
    return nullptr;
  }

  // IOleClientSite
  HRESULT STDMETHODCALLTYPE SaveObject() override { return Log("SaveObject"); }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** ppmk) override {
    *ppmk = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** ppContainer) override {
    *ppContainer = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return Log("ShowObject"); }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return Log("OnShowWindow"); }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleInPlaceSite
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* phwnd) override {
    Log("GetWindow");
    *phwnd = reinterpret_cast<HWND>(&parent);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override {
    Log("CanInPlaceActivate");
    return allow_in_place ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override { return Log("OnInPlaceActivate"); }
  HRESULT STDMETHODCALLTYPE OnUIActivate() override { return Log("OnUIActivate"); }
  HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** ppFrame,
                                             IOleInPlaceUIWindow** ppDoc, LPRECT lprcPosRect,
                                             LPRECT lprcClipRect,
                                             LPOLEINPLACEFRAMEINFO info) override {
    Log("GetWindowContext");
    frame.AddRef();
    *ppFrame = &frame;
    *ppDoc = nullptr;  // the document window is the frame
    *lprcPosRect = rect;
    *lprcClipRect = rect;
    info->fMDIApp = FALSE;
    info->hwndFrame = reinterpret_cast<HWND>(&parent);
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return Log("OnUIDeactivate"); }
  HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override { return Log("OnInPlaceDeactivate"); }
  HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT) override { return S_OK; }

  // The control window the container's window holds (null for none).
  platform::WindowRecord* Child() const {
    return parent.children.empty() ? nullptr : parent.children.front();
  }

  platform::WindowRecord parent;
  RECT rect{10, 20, 128, 154};
  bool allow_in_place = true;
  FakeFrame frame;
  std::vector<std::string> calls;

 private:
  HRESULT Log(const char* what) {
    calls.emplace_back(what);
    return S_OK;
  }
};

class FakeAdviseSink final : public IAdviseSinkEx, public StackObject<FakeAdviseSink> {
 public:
  TARVO_TEST_STACK_IUNKNOWN(IAdviseSinkEx)
  void* Find(REFIID riid) {
    if (riid == IID_IUnknown || riid == IID_IAdviseSink || riid == IID_IAdviseSinkEx)
      return static_cast<IAdviseSinkEx*>(this);
    return nullptr;
  }
  void STDMETHODCALLTYPE OnDataChange(FORMATETC*, STGMEDIUM*) override {}
  void STDMETHODCALLTYPE OnViewChange(DWORD aspect, LONG) override {
    if (aspect == DVASPECT_CONTENT) ++view_changes;
  }
  void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
  void STDMETHODCALLTYPE OnSave() override {}
  void STDMETHODCALLTYPE OnClose() override { ++closes; }
  void STDMETHODCALLTYPE OnViewStatusChange(DWORD) override {}

  int view_changes = 0;
  int closes = 0;
};

// A stream over memory; reads stop at the end of what was written.
class MemoryStream final : public IStream, public StackObject<MemoryStream> {
 public:
  TARVO_TEST_STACK_IUNKNOWN(IStream)
  void* Find(REFIID riid) {
    if (riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream)
      return static_cast<IStream*>(this);
    return nullptr;
  }
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    const std::size_t n = std::min<std::size_t>(cb, bytes.size() - position);
    if (n > 0) std::memcpy(pv, bytes.data() + position, n);
    position += n;
    if (pcbRead != nullptr) *pcbRead = static_cast<ULONG>(n);
    return n == cb ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    const auto* p = static_cast<const std::uint8_t*>(pv);
    if (bytes.size() < position + cb) bytes.resize(position + cb);
    std::copy(p, p + cb, bytes.begin() + static_cast<std::ptrdiff_t>(position));
    position += cb;
    if (pcbWritten != nullptr) *pcbWritten = cb;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                   ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

  std::vector<std::uint8_t> bytes;
  std::size_t position = 0;
};

// A property bag of named VARIANTs, and the error log a load reports to.
class FakePropertyBag final : public IPropertyBag, public StackObject<FakePropertyBag> {
 public:
  TARVO_TEST_STACK_IUNKNOWN(IPropertyBag)
  ~FakePropertyBag() {
    for (auto& [name, value] : values) VariantClear(&value);
  }
  void* Find(REFIID riid) {
    if (riid == IID_IUnknown || riid == IID_IPropertyBag) return static_cast<IPropertyBag*>(this);
    return nullptr;
  }
  HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT* pVar, IErrorLog*) override {
    auto it = values.find(name);
    if (it == values.end()) return E_INVALIDARG;
    VariantInit(pVar);
    return VariantCopy(pVar, &it->second);
  }
  HRESULT STDMETHODCALLTYPE Write(LPCOLESTR name, VARIANT* pVar) override {
    VARIANT& slot = values[name];
    VariantClear(&slot);
    VariantInit(&slot);
    return VariantCopy(&slot, pVar);
  }

  std::map<std::u16string, VARIANT> values;
};

class FakeErrorLog final : public IErrorLog, public StackObject<FakeErrorLog> {
 public:
  TARVO_TEST_STACK_IUNKNOWN(IErrorLog)
  void* Find(REFIID riid) {
    if (riid == IID_IUnknown || riid == IID_IErrorLog) return static_cast<IErrorLog*>(this);
    return nullptr;
  }
  HRESULT STDMETHODCALLTYPE AddError(LPCOLESTR name, EXCEPINFO* info) override {
    properties.emplace_back(name);
    descriptions.push_back(com::BstrText(info->bstrDescription));
    return S_OK;
  }

  std::vector<std::u16string> properties;
  std::vector<std::u16string> descriptions;
};

#undef TARVO_TEST_STACK_IUNKNOWN

}  // namespace tarvo::test
