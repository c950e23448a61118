// TOleControl: drawing (IViewObject2), persistence (IPersistStreamInit,
// IPersistPropertyBag), class information (IProvideClassInfo2) and
// IQuickActivate.
#include <cstddef>
#include <string_view>

#include "automation/ole_control.h"
#include "automation/tarvo_control.h"
#include "platform/com/com_runtime.h"

namespace tarvo::automation {
namespace {

// Property bag names.
constexpr const OLECHAR* kExtentXName = OLESTR("_ExtentX");
constexpr const OLECHAR* kExtentYName = OLESTR("_ExtentY");
constexpr const OLECHAR* kMode650Name = OLESTR("Mode650");
constexpr const OLECHAR* kEnabledName = OLESTR("Enabled");
constexpr const OLECHAR* kColorName = OLESTR("Color");
constexpr const OLECHAR* kCaptionName = OLESTR("Caption");

OleText ToOleText(std::string_view text) { return OleText(text.begin(), text.end()); }

// Error information for the calling thread (ASCII descriptions).
void PublishError(std::string_view description) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create)) || create == nullptr) return;
  OleText source = ToOleText("TarvoMDrv.Tarvo");
  OleText text = ToOleText(description);
  create->SetSource(source.data());
  create->SetDescription(text.data());
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info))) &&
      info != nullptr) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

HRESULT Fail(HRESULT hr, std::string_view description) {
  PublishError(description);
  return hr;
}

// Reads exactly `size` bytes; a stream that ends first is a read fault.
HRESULT ReadExactly(IStream* stream, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ULONG got = 0;
    const HRESULT hr = stream->Read(data, static_cast<ULONG>(size), &got);
    if (FAILED(hr)) return hr;
    if (got == 0) return STG_E_READFAULT;
    data += got;
    size -= got;
  }
  return S_OK;
}

HRESULT WriteAll(IStream* stream, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ULONG written = 0;
    const HRESULT hr = stream->Write(data, static_cast<ULONG>(size), &written);
    if (FAILED(hr)) return hr;
    if (written == 0) return STG_E_WRITEFAULT;
    data += written;
    size -= written;
  }
  return S_OK;
}

// Reads one property of the bag as `vt` into `out`. False when the bag does
// not have it (the property keeps its value) or when its value cannot be
// taken as `vt`; the latter is reported to the error log.
bool ReadProperty(IPropertyBag* bag, IErrorLog* log, const OLECHAR* name, VARTYPE vt,
                  VARIANT& out) {
  VARIANT value;
  VariantInit(&value);
  value.vt = vt;
  if (FAILED(bag->Read(name, &value, log))) {
    VariantClear(&value);
    return false;
  }
  VariantInit(&out);
  const HRESULT hr = VariantChangeType(&out, &value, 0, vt);
  VariantClear(&value);
  if (SUCCEEDED(hr)) return true;
  if (log != nullptr) {
    OleText text = ToOleText("The saved value of a property has the wrong type: ") + name;
    EXCEPINFO error{};
    error.bstrSource = SysAllocString(OLESTR("TarvoMDrv.Tarvo"));
    error.bstrDescription = SysAllocString(text.c_str());
    error.scode = hr;
    log->AddError(name, &error);
    SysFreeString(error.bstrSource);
    SysFreeString(error.bstrDescription);
  }
  return false;
}

HRESULT WriteProperty(IPropertyBag* bag, const OLECHAR* name, VARIANT& value) {
  const HRESULT hr = bag->Write(name, &value);
  VariantClear(&value);
  return hr;
}

VARIANT LongValue(LONG v) {
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_I4;
  value.lVal = v;
  return value;
}

VARIANT BoolValue(VARIANT_BOOL v) {
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BOOL;
  value.boolVal = v != 0 ? VARIANT_TRUE : VARIANT_FALSE;
  return value;
}

}  // namespace

// --- The persisted state ----------------------------------------------------------

PersistedState TOleControl::CurrentState() {
  PersistedState state;
  state.extent = extent_;
  control_.get_Mode650(&state.mode650);
  control_.get_Enabled(&state.enabled);
  control_.get_Color(&state.color);
  BSTR caption = nullptr;
  if (SUCCEEDED(control_.get_Caption(&caption)) && caption != nullptr) {
    state.caption.assign(caption, SysStringLen(caption));
    SysFreeString(caption);
  }
  return state;
}

HRESULT TOleControl::ApplyState(const PersistedState& state) {
  extent_ = state.extent;
  HRESULT hr = control_.put_Mode650(state.mode650);
  if (SUCCEEDED(hr)) hr = control_.put_Enabled(state.enabled);
  if (SUCCEEDED(hr)) hr = control_.put_Color(state.color);
  if (SUCCEEDED(hr)) {
    BSTR caption = SysAllocStringLen(state.caption.data(), static_cast<UINT>(state.caption.size()));
    if (caption == nullptr && !state.caption.empty()) return E_OUTOFMEMORY;
    hr = control_.put_Caption(caption);
    SysFreeString(caption);
  }
  NotifyViewChange();
  return hr;
}

void TOleControl::NotifyViewChange() {
  if (view_sink_ != nullptr) view_sink_->OnViewChange(DVASPECT_CONTENT, -1);
}

// --- IPersist, IPersistStreamInit, IPersistPropertyBag ---------------------------------------

HRESULT TOleControl::GetClassID(CLSID* pClassID) {
  if (pClassID == nullptr) return E_POINTER;
  *pClassID = CLSID_Tarvo;
  return S_OK;
}

// A new control starts with its creation values; InitNew only records that
// the container chose them. The control is initialised once: by InitNew or
// by a Load.
HRESULT TOleControl::InitNew() {
  return Guarded([&]() -> HRESULT {
    if (initialized_) return E_UNEXPECTED;
    initialized_ = true;
    MarkClean();
    return S_OK;
  });
}

// Dirty: the persisted properties differ from what was last saved, loaded or
// initialised.
HRESULT TOleControl::IsDirty() {
  return Guarded([&]() -> HRESULT { return CurrentState() == saved_ ? S_FALSE : S_OK; });
}

HRESULT TOleControl::Load(LPSTREAM pStm) {
  return Guarded([&]() -> HRESULT {
    if (pStm == nullptr) return E_POINTER;
    if (initialized_) return E_UNEXPECTED;
    std::vector<std::uint8_t> bytes(kStreamHeaderSize);
    HRESULT hr = ReadExactly(pStm, bytes.data(), bytes.size());
    if (FAILED(hr)) return Fail(hr, "The saved control ends before its header");
    std::uint32_t units = 0;
    hr = DecodeHeader(std::span<const std::uint8_t, kStreamHeaderSize>(bytes.data(),
                                                                       kStreamHeaderSize),
                      units);
    if (hr == STG_E_OLDFORMAT) return Fail(hr, "The saved control has an unknown version");
    if (FAILED(hr)) return Fail(hr, "The saved control's caption is longer than 32767 characters");
    bytes.resize(kStreamHeaderSize + 2 * std::size_t{units});
    hr = ReadExactly(pStm, bytes.data() + kStreamHeaderSize, 2 * std::size_t{units});
    if (FAILED(hr)) return Fail(hr, "The saved control ends inside its caption");
    PersistedState state;
    hr = DecodeState(bytes, state);
    if (FAILED(hr)) return Fail(hr, "The saved control cannot be read");
    hr = ApplyState(state);
    if (FAILED(hr)) return hr;
    initialized_ = true;
    MarkClean();
    return S_OK;
  });
}

HRESULT TOleControl::Save(LPSTREAM pStm, BOOL fClearDirty) {
  return Guarded([&]() -> HRESULT {
    if (pStm == nullptr) return E_POINTER;
    const PersistedState state = CurrentState();
    const std::vector<std::uint8_t> bytes = EncodeState(state);
    const HRESULT hr = WriteAll(pStm, bytes.data(), bytes.size());
    if (FAILED(hr)) return hr;
    if (fClearDirty) saved_ = state;
    return S_OK;
  });
}

HRESULT TOleControl::GetSizeMax(ULARGE_INTEGER* pCbSize) {
  return Guarded([&]() -> HRESULT {
    if (pCbSize == nullptr) return E_POINTER;
    pCbSize->QuadPart = EncodeState(CurrentState()).size();
    return S_OK;
  });
}

// Properties missing from the bag keep their values; a value of the wrong
// type is reported to the error log and the property keeps its value too.
HRESULT TOleControl::Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) {
  return Guarded([&]() -> HRESULT {
    if (pPropBag == nullptr) return E_POINTER;
    if (initialized_) return E_UNEXPECTED;
    PersistedState state = CurrentState();
    VARIANT value;
    if (ReadProperty(pPropBag, pErrorLog, kExtentXName, VT_I4, value)) state.extent.cx = value.lVal;
    if (ReadProperty(pPropBag, pErrorLog, kExtentYName, VT_I4, value)) state.extent.cy = value.lVal;
    if (ReadProperty(pPropBag, pErrorLog, kMode650Name, VT_BOOL, value))
      state.mode650 = value.boolVal;
    if (ReadProperty(pPropBag, pErrorLog, kEnabledName, VT_BOOL, value))
      state.enabled = value.boolVal;
    if (ReadProperty(pPropBag, pErrorLog, kColorName, VT_I4, value))
      state.color = static_cast<OLE_COLOR>(value.lVal);
    if (ReadProperty(pPropBag, pErrorLog, kCaptionName, VT_BSTR, value)) {
      state.caption.assign(value.bstrVal, SysStringLen(value.bstrVal));
      VariantClear(&value);
    }
    const HRESULT hr = ApplyState(state);
    if (FAILED(hr)) return hr;
    initialized_ = true;
    MarkClean();
    return S_OK;
  });
}

// Every persisted property is written, whether or not it differs from its
// creation value.
HRESULT TOleControl::Save(IPropertyBag* pPropBag, BOOL fClearDirty, BOOL) {
  return Guarded([&]() -> HRESULT {
    if (pPropBag == nullptr) return E_POINTER;
    const PersistedState state = CurrentState();
    VARIANT value = LongValue(state.extent.cx);
    HRESULT hr = WriteProperty(pPropBag, kExtentXName, value);
    if (SUCCEEDED(hr)) {
      value = LongValue(state.extent.cy);
      hr = WriteProperty(pPropBag, kExtentYName, value);
    }
    if (SUCCEEDED(hr)) {
      value = BoolValue(state.mode650);
      hr = WriteProperty(pPropBag, kMode650Name, value);
    }
    if (SUCCEEDED(hr)) {
      value = BoolValue(state.enabled);
      hr = WriteProperty(pPropBag, kEnabledName, value);
    }
    if (SUCCEEDED(hr)) {
      value = LongValue(static_cast<LONG>(state.color));
      hr = WriteProperty(pPropBag, kColorName, value);
    }
    if (SUCCEEDED(hr)) {
      VariantInit(&value);
      value.vt = VT_BSTR;
      value.bstrVal =
          SysAllocStringLen(state.caption.data(), static_cast<UINT>(state.caption.size()));
      if (value.bstrVal == nullptr) return E_OUTOFMEMORY;
      hr = WriteProperty(pPropBag, kCaptionName, value);
    }
    if (FAILED(hr)) return hr;
    if (fClearDirty) saved_ = state;
    return S_OK;
  });
}

// --- IViewObject2 --------------------------------------------------------------------------

HRESULT TOleControl::Draw(DWORD dwDrawAspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC hdcDraw,
                          LPCRECTL lprcBounds, LPCRECTL,
                          BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) {
  return Guarded([&]() -> HRESULT {
    if (dwDrawAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (hdcDraw == nullptr || lprcBounds == nullptr) return E_INVALIDARG;
    const platform::WindowRect bounds{lprcBounds->left, lprcBounds->top, lprcBounds->right,
                                      lprcBounds->bottom};
    return platform::DrawPicture(hdcDraw, bounds, Image1Jpeg()) ? S_OK : E_FAIL;
  });
}

// The picture needs no palette of its own.
HRESULT TOleControl::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC,
                                 LOGPALETTE** ppColorSet) {
  if (ppColorSet == nullptr) return E_POINTER;
  *ppColorSet = nullptr;
  return S_FALSE;
}

HRESULT TOleControl::Freeze(DWORD, LONG, void*, DWORD* pdwFreeze) {
  if (pdwFreeze != nullptr) *pdwFreeze = 0;
  return E_NOTIMPL;
}

HRESULT TOleControl::Unfreeze(DWORD) { return E_NOTIMPL; }

HRESULT TOleControl::SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* pAdvSink) {
  return Guarded([&]() -> HRESULT {
    if (pAdvSink != nullptr) pAdvSink->AddRef();
    IAdviseSink* old = view_sink_;
    view_sink_ = pAdvSink;
    view_aspects_ = aspects;
    view_advf_ = advf;
    if (old != nullptr) old->Release();
    return S_OK;
  });
}

HRESULT TOleControl::GetAdvise(DWORD* pAspects, DWORD* pAdvf, IAdviseSink** ppAdvSink) {
  return Guarded([&]() -> HRESULT {
    if (pAspects != nullptr) *pAspects = view_aspects_;
    if (pAdvf != nullptr) *pAdvf = view_advf_;
    if (ppAdvSink != nullptr) {
      if (view_sink_ != nullptr) view_sink_->AddRef();
      *ppAdvSink = view_sink_;
    }
    return S_OK;
  });
}

HRESULT TOleControl::GetExtent(DWORD dwDrawAspect, LONG, DVTARGETDEVICE*, LPSIZEL lpsizel) {
  return GetExtent(dwDrawAspect, lpsizel);
}

// --- IProvideClassInfo2 -----------------------------------------------------------------------

HRESULT TOleControl::GetClassInfo(ITypeInfo** ppTI) {
  if (ppTI == nullptr) return E_POINTER;
  *ppTI = nullptr;
  IProvideClassInfo* info = nullptr;
  HRESULT hr = control_.QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&info));
  if (FAILED(hr)) return hr;
  hr = info->GetClassInfo(ppTI);
  info->Release();
  return hr;
}

HRESULT TOleControl::GetGUID(DWORD dwGuidKind, GUID* pGUID) {
  if (pGUID == nullptr) return E_POINTER;
  if (dwGuidKind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *pGUID = IID_NULL;
    return E_INVALIDARG;
  }
  *pGUID = DIID_ITarvoEvents;
  return S_OK;
}

// --- IQuickActivate ---------------------------------------------------------------------------

namespace {

// Connects `sink` to the control's connection point `iid`.
HRESULT Connect(ITarvo& control, REFIID iid, IUnknown* sink, DWORD* cookie) {
  IConnectionPointContainer* container = nullptr;
  HRESULT hr = control.QueryInterface(IID_IConnectionPointContainer,
                                      reinterpret_cast<void**>(&container));
  if (FAILED(hr)) return hr;
  IConnectionPoint* point = nullptr;
  hr = container->FindConnectionPoint(iid, &point);
  container->Release();
  if (FAILED(hr)) return hr;
  hr = point->Advise(sink, cookie);
  point->Release();
  return hr;
}

}  // namespace

// One call in place of SetClientSite, IViewObject::SetAdvise and the
// connection of the event and property-change sinks.
HRESULT TOleControl::QuickActivate(QACONTAINER* pQaContainer, QACONTROL* pQaControl) {
  return Guarded([&]() -> HRESULT {
    if (pQaContainer == nullptr || pQaControl == nullptr) return E_POINTER;
    if (pQaContainer->cbSize < offsetof(QACONTAINER, dwAmbientFlags) ||
        pQaControl->cbSize < offsetof(QACONTROL, dwPointerActivationPolicy))
      return E_INVALIDARG;
    HRESULT hr = SetClientSite(pQaContainer->pClientSite);
    if (FAILED(hr)) return hr;
    if (pQaContainer->pAdviseSink != nullptr) {
      hr = SetAdvise(DVASPECT_CONTENT, 0, pQaContainer->pAdviseSink);
      if (FAILED(hr)) return hr;
    }
    pQaControl->dwMiscStatus = kMiscStatus;
    pQaControl->dwViewStatus = VIEWSTATUS_OPAQUE;  // the picture covers the whole control
    pQaControl->dwEventCookie = 0;
    pQaControl->dwPropNotifyCookie = 0;
    if (pQaControl->cbSize >= sizeof(QACONTROL)) pQaControl->dwPointerActivationPolicy = 0;
    if (pQaContainer->pUnkEventSink != nullptr) {
      hr = Connect(control_, DIID_ITarvoEvents, pQaContainer->pUnkEventSink,
                   &pQaControl->dwEventCookie);
      if (FAILED(hr)) return hr;
    }
    if (pQaContainer->pPropertyNotifySink != nullptr) {
      hr = Connect(control_, IID_IPropertyNotifySink, pQaContainer->pPropertyNotifySink,
                   &pQaControl->dwPropNotifyCookie);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  });
}

HRESULT TOleControl::SetContentExtent(LPSIZEL pSizel) {
  return SetExtent(DVASPECT_CONTENT, pSizel);
}

HRESULT TOleControl::GetContentExtent(LPSIZEL pSizel) {
  return GetExtent(DVASPECT_CONTENT, pSizel);
}

}  // namespace tarvo::automation
