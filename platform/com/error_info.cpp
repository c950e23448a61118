// Error information objects and the per-thread error slot.
#include <atomic>
#include <new>
#include <string>

#include "platform/com/com_internal.h"
#include "platform/com/com_runtime.h"

namespace {

std::u16string TextOf(LPCOLESTR text) {
  if (text == nullptr) return {};
  std::u16string out;
  while (*text != 0) out.push_back(*text++);
  return out;
}

HRESULT HandOut(const std::u16string& text, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = tarvo::com::AllocBstr(text);
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

// One object answers both sides: the writer fills it through
// ICreateErrorInfo, the reader queries IErrorInfo from it.
class ErrorInfo final : public IErrorInfo, public ICreateErrorInfo {
 public:
  // IUnknown (shared by both interfaces through the overrides below).
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
      *ppv = static_cast<IErrorInfo*>(this);
    } else if (riid == IID_ICreateErrorInfo) {
      *ppv = static_cast<ICreateErrorInfo*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // IErrorInfo
  HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) override {
    if (pGUID == nullptr) return E_POINTER;
    *pGUID = guid_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR* out) override { return HandOut(source_, out); }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) override {
    return HandOut(description_, out);
  }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* out) override { return HandOut(help_file_, out); }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* out) override {
    if (out == nullptr) return E_POINTER;
    *out = help_context_;
    return S_OK;
  }

  // ICreateErrorInfo
  HRESULT STDMETHODCALLTYPE SetGUID(REFGUID rguid) override {
    guid_ = rguid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR text) override {
    source_ = TextOf(text);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR text) override {
    description_ = TextOf(text);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR text) override {
    help_file_ = TextOf(text);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD context) override {
    help_context_ = context;
    return S_OK;
  }

 private:
  ~ErrorInfo() = default;

  std::atomic<ULONG> refs_{1};
  GUID guid_ = IID_NULL;
  std::u16string source_;
  std::u16string description_;
  std::u16string help_file_;
  DWORD help_context_ = 0;
};

// The calling thread's current error; released when the thread ends.
struct ErrorSlot {
  IErrorInfo* info = nullptr;
  ~ErrorSlot() {
    if (info != nullptr) info->Release();
  }
};
thread_local ErrorSlot t_error;

}  // namespace

extern "C" {

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  if (pperrinfo == nullptr) return E_POINTER;
  auto* info = new (std::nothrow) ErrorInfo;
  *pperrinfo = info;
  return info == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT SetErrorInfo(ULONG /*dwReserved*/, IErrorInfo* perrinfo) {
  if (perrinfo != nullptr) perrinfo->AddRef();
  IErrorInfo* old = t_error.info;
  t_error.info = perrinfo;
  if (old != nullptr) old->Release();
  return S_OK;
}

HRESULT GetErrorInfo(ULONG /*dwReserved*/, IErrorInfo** pperrinfo) {
  if (pperrinfo == nullptr) return E_POINTER;
  *pperrinfo = t_error.info;
  t_error.info = nullptr;
  return *pperrinfo == nullptr ? S_FALSE : S_OK;
}

}  // extern "C"

namespace tarvo::com::detail {

HRESULT Fail(HRESULT hr, std::string_view source, std::string_view description) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    std::u16string src = Utf16FromUtf8(source);
    std::u16string desc = Utf16FromUtf8(description);
    create->SetSource(src.data());
    create->SetDescription(desc.data());
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return hr;
}

}  // namespace tarvo::com::detail
