#include "automation/tarvo_control.h"

#include <cstdio>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <vector>

#include "automation/dispatch_invoke.h"
#include "automation/module_font.h"
#include "automation/module_state.h"
#include "automation/type_library.h"
#include "platform/codepage.h"
#include "platform/com/com_runtime.h"

namespace tarvo::automation {
namespace {

constexpr VARIANT_BOOL AsVariantBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

std::u16string_view Text(BSTR bstr) { return com::U16View(bstr, SysStringLen(bstr)); }

// Replaces the text of an in/out BSTR when it changed (the old string is the
// caller's and is freed first).
void WriteBack(BSTR* target, const std::u16string& text) {
  if (Text(*target) == text) return;
  SysFreeString(*target);
  *target = com::AllocBstr(text);
}

// Replaces an in/out VARIANT_BOOL when its truth changed.
void WriteBack(VARIANT_BOOL* target, bool value) {
  if ((*target != 0) != value) *target = AsVariantBool(value);
}

// Publishes error information for the calling thread.
void PublishErrorInfo(const std::u16string& description) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create)) || create == nullptr) return;
  std::u16string source = kErrorSource;
  std::u16string text = description;
  create->SetGUID(IID_ITarvo);
  create->SetSource(com::Ole(source.data()));
  create->SetDescription(com::Ole(text.data()));
  create->SetHelpContext(0);
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info))) &&
      info != nullptr) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

// A member's refusal of an argument: the HRESULT and the description the
// caller finds in the error information.
class Refusal : public std::runtime_error {
 public:
  Refusal(HRESULT hr, const std::string& text) : std::runtime_error(text), hr_(hr) {}
  HRESULT hr() const { return hr_; }

 private:
  HRESULT hr_;
};

// Text of a failure HRESULT that a member returns without a description.
std::u16string DescribeFailure(HRESULT hr) {
  char text[64];
  switch (hr) {
    case E_POINTER: return u"A required pointer argument is null";
    case E_INVALIDARG: return u"An argument is out of range";
    default:
      std::snprintf(text, sizeof text, "The call failed with 0x%08X", static_cast<unsigned>(hr));
      return platform::Utf8ToUtf16(text);
  }
}

// The failure HRESULT of the exception being handled, with its error
// information published. Only called from inside a catch block.
HRESULT FailureOfCurrentException() {
  HRESULT hr = E_UNEXPECTED;
  std::string text;
  try {
    throw;
  } catch (const Refusal& e) {
    hr = e.hr();
    text = e.what();
  } catch (const std::system_error& e) {
    if (e.code().value() < 0) hr = e.code().value();
    text = e.what();
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
    text = "Unexpected failure inside the driver";
  }
  PublishErrorInfo(platform::Utf8ToUtf16(text));
  return hr;
}

// Property getters and setters of plain values.
template <class T>
HRESULT Get(const T& field, T* out) {
  if (out == nullptr) return E_POINTER;
  *out = field;
  return S_OK;
}

}  // namespace

TTarvo::LiveObject::LiveObject() { ObjectCreated(); }
TTarvo::LiveObject::~LiveObject() { ObjectDestroyed(); }

// --- Creation and destruction ----------------------------------------------------

HRESULT TTarvo::Create(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  TTarvo* control = nullptr;
  try {
    control = new TTarvo();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return FailureOfCurrentException();
  }
  const HRESULT hr = control->QueryInterface(riid, ppv);
  control->Release();  // the caller's reference, or none when the query failed
  return hr;
}

// The owner thread of controls, as their releasers on other threads see it.
//
// The owner's loop lives as long as its thread (a thread_local of the
// runtime), so a release on another thread reaches it only through this
// record: `loop` is the owner's loop while the thread runs, and null from the
// moment the thread ends. Every field (and the flags destroy_posted_ and
// owner_gone_ of the controls listed) is guarded by `mu`.
//
// EndOfThread runs from a thread_local that is created after the loop and is
// therefore destroyed before it: with the loop still there, every control
// of the thread has its driver stopped on its own thread, and a control whose
// destruction was handed to the loop and has not run yet is destroyed. A
// last Release that comes later on another thread finds `loop` null and frees
// the control on the calling thread; nothing of the owner is left to touch.
struct TTarvo::OwnerThread {
  std::mutex mu;
  platform::MessageLoop* loop = nullptr;
  std::vector<TTarvo*> controls;

  // The record of the calling thread, whose loop is `loop`.
  static std::shared_ptr<OwnerThread> OfThisThread(platform::MessageLoop& loop) {
    struct Holder {
      std::shared_ptr<OwnerThread> record;
      ~Holder() {
        if (record) record->EndOfThread();
      }
    };
    thread_local Holder holder;
    if (!holder.record) {
      holder.record = std::make_shared<OwnerThread>();
      holder.record->loop = &loop;
    }
    return holder.record;
  }

  void EndOfThread() {
    std::vector<TTarvo*> abandoned;
    {
      std::lock_guard<std::mutex> lock(mu);
      loop = nullptr;
      for (TTarvo* control : controls) {
        control->StopForEndOfThread();
        // Released on another thread, its destruction waits in the loop that
        // is about to go: nobody else will free it.
        if (control->destroy_posted_) abandoned.push_back(control);
      }
    }
    for (TTarvo* control : abandoned) delete control;
  }
};

TTarvo::TTarvo()
    : owner_(std::this_thread::get_id()),
      loop_(ThreadLoop()),
      owner_thread_(OwnerThread::OfThisThread(loop_)),
      event_point_(*this, DIID_ITarvoEvents, 1, owner_, this),
      notify_point_(*this, IID_IPropertyNotifySink, TConnectionPoint::kUnlimited, owner_,
                    nullptr),
      adapter_(*this),
      caption_(platform::ToAnsi(kInitialCaption)) {
  // The window font: "MS Sans Serif" of height -11 at 96 pixels per inch,
  // i.e. 8 points (MulDiv(11, 72, 96) rounded), normal weight.
  std::u16string font_name = kInitialFontName;
  FONTDESC desc{};
  desc.cbSizeofstruct = sizeof(FONTDESC);
  desc.lpstrName = com::Ole(font_name.data());
  desc.cySize.int64 = static_cast<LONGLONG>(
      (-kInitialFontHeight * 72 + kInitialPixelsPerInch / 2) / kInitialPixelsPerInch) * 10000;
  desc.sWeight = 400;
  desc.sCharset = 1;  // DEFAULT_CHARSET
  const HRESULT hr = CreateModuleFont(&desc, &font_);
  if (FAILED(hr) || font_ == nullptr)
    throw std::system_error(hr, std::system_category(), "The window font cannot be created");

  // The window with its timers and the driver's creation handler; from here
  // on the driver's events go to the sink, and Mode650 is true.
  try {
    driver_ = std::make_unique<events::ControlDriver>(loop_);
  } catch (...) {
    font_->Release();
    throw;
  }
  driver_->SetReceiver(&adapter_);
  driver_->impl().Mode650 = VARIANT_TRUE;
  std::lock_guard<std::mutex> lock(owner_thread_->mu);
  owner_thread_->controls.push_back(this);
}

TTarvo::~TTarvo() {
  destroying_ = true;
  {
    std::lock_guard<std::mutex> lock(owner_thread_->mu);
    std::erase(owner_thread_->controls, this);
  }
  // The window's destroy notification, then the driver's clean-up (ports of
  // this control closed, timers removed, readers ended). After the owner
  // thread has ended both are done already: its sink is not called from here.
  if (!owner_gone_) adapter_.Raise("OnDestroy");
  if (driver_) {
    driver_->SetReceiver(nullptr);
    driver_.reset();
  }
  if (font_ != nullptr) font_->Release();
  // The connection points release their sinks as members go.
}

void TTarvo::StopForEndOfThread() {
  owner_gone_ = true;
  if (!driver_) return;
  driver_->SetReceiver(nullptr);
  driver_.reset();
}

ULONG STDMETHODCALLTYPE TTarvo::AddRef() {
  return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG STDMETHODCALLTYPE TTarvo::Release() {
  const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left != 0) return left;
  if (!OnOwnerThread()) {
    std::unique_lock<std::mutex> lock(owner_thread_->mu);
    if (owner_thread_->loop != nullptr) {
      // The window belongs to its thread: it is destroyed there.
      destroy_posted_ = true;
      owner_thread_->loop->Post([this] { DestroyOnOwnerThread(); });
      return 0;
    }
    // The owner thread has ended, and its loop with it; the driver was
    // stopped then. What is left is freed here.
    lock.unlock();
    delete this;
    return 0;
  }
  DestroyOnOwnerThread();
  return 0;
}

void TTarvo::DestroyOnOwnerThread() {
  if (destroying_) return;  // a handler of OnDestroy let a reference go
  if (busy_ > 0) {
    // Released from inside a call or an event handler: the method, the
    // dispatcher or the window notification is still on the stack.
    release_pending_ = true;
    return;
  }
  delete this;
}

void TTarvo::EnterEvent() { ++busy_; }

void TTarvo::LeaveEvent() {
  if (--busy_ == 0 && release_pending_ && !destroying_) {
    release_pending_ = false;
    // Back in the loop, with nothing of this control on the stack.
    loop_.Post([this] { DestroyOnOwnerThread(); });
  }
}

HRESULT STDMETHODCALLTYPE TTarvo::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  void* found = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ITarvo)
    found = static_cast<ITarvo*>(this);
  else if (riid == IID_IConnectionPointContainer)
    found = static_cast<IConnectionPointContainer*>(this);
  else if (riid == IID_IProvideClassInfo)
    found = static_cast<IProvideClassInfo*>(this);
  else if (riid == IID_ISupportErrorInfo)
    found = static_cast<ISupportErrorInfo*>(this);
  else if (riid == IID_ITarvoWindow)
    found = static_cast<ITarvoWindow*>(this);
  *ppv = found;
  if (found == nullptr) return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

// --- Call rules --------------------------------------------------------------------

template <class Body>
HRESULT TTarvo::Guarded(Body&& body) {
  if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
  // A method that waits for the register pumps the loop, so events (and a
  // handler that releases the control) can run inside it.
  struct Busy {
    TTarvo& self;
    explicit Busy(TTarvo& t) : self(t) { self.EnterEvent(); }
    ~Busy() { self.LeaveEvent(); }
  } busy{*this};
  try {
    return body();
  } catch (...) {
    return FailureOfCurrentException();
  }
}

template <class Body>
HRESULT TTarvo::Member(Body&& body) {
  return Guarded([&]() -> HRESULT {
    const HRESULT hr = body();
    // A failure that did not come with its own description.
    if (FAILED(hr)) PublishErrorInfo(DescribeFailure(hr));
    return hr;
  });
}

template <class Body>
HRESULT TTarvo::Method(LONG* Value, Body&& body) {
  return Member([&]() -> HRESULT {
    if (Value == nullptr) return E_POINTER;
    *Value = 0;
    body(com::Int32(*Value));  // the outcome travels in Value
    return S_OK;
  });
}

// --- IDispatch -----------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE TTarvo::GetTypeInfoCount(UINT* pctinfo) {
  return Guarded([&]() -> HRESULT { return Get<UINT>(1, pctinfo); });
}

HRESULT STDMETHODCALLTYPE TTarvo::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
  return Guarded([&]() -> HRESULT {
    if (ppTInfo == nullptr) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
    return GetTarvoTypeInfo(IID_ITarvo, ppTInfo);
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                                                LCID lcid, DISPID* rgDispId) {
  return Guarded(
      [&]() -> HRESULT { return GetIDsOfNamesITarvo(riid, rgszNames, cNames, lcid, rgDispId); });
}

HRESULT STDMETHODCALLTYPE TTarvo::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                                         DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                         EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  return Guarded([&]() -> HRESULT {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    return InvokeITarvo(this, dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo,
                        puArgErr);
  });
}

// --- Standard window properties ----------------------------------------------------------

#define TARVO_BOOL_PROPERTY(Name, field)                                                \
  HRESULT TTarvo::get_##Name(VARIANT_BOOL* Value) {                                     \
    return Member([&]() -> HRESULT { return Get(field, Value); });                     \
  }                                                                                     \
  HRESULT TTarvo::put_##Name(VARIANT_BOOL Value) {                                      \
    return Member([&]() -> HRESULT {                                                   \
      field = AsVariantBool(Value != 0);                                                \
      return S_OK;                                                                      \
    });                                                                                 \
  }
TARVO_BOOL_PROPERTY(Visible, visible_)
TARVO_BOOL_PROPERTY(AutoScroll, auto_scroll_)
TARVO_BOOL_PROPERTY(AutoSize, auto_size_)
TARVO_BOOL_PROPERTY(KeyPreview, key_preview_)
TARVO_BOOL_PROPERTY(Scaled, scaled_)
TARVO_BOOL_PROPERTY(DropTarget, drop_target_)
TARVO_BOOL_PROPERTY(ScreenSnap, screen_snap_)
TARVO_BOOL_PROPERTY(DoubleBuffered, double_buffered_)
TARVO_BOOL_PROPERTY(Enabled, enabled_)
#undef TARVO_BOOL_PROPERTY

HRESULT STDMETHODCALLTYPE TTarvo::get_AxBorderStyle(TxActiveFormBorderStyle* Value) {
  return Member([&]() -> HRESULT { return Get(border_style_, Value); });
}

HRESULT STDMETHODCALLTYPE TTarvo::put_AxBorderStyle(TxActiveFormBorderStyle Value) {
  return Member([&]() -> HRESULT {
    if (Value < afbNone || Value > afbRaised)
      throw Refusal(E_INVALIDARG, "AxBorderStyle must be afbNone, afbSingle, afbSunken or afbRaised "
                                  "(0 to 3), not " + std::to_string(static_cast<long>(Value)));
    border_style_ = Value;
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::get_Caption(BSTR* Value) {
  return Member([&]() -> HRESULT {
    if (Value == nullptr) return E_POINTER;
    *Value = com::AllocBstr(platform::FromAnsi(caption_));
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::put_Caption(BSTR Value) {
  return Member([&]() -> HRESULT {
    caption_ = platform::ToAnsi(Text(Value));
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::get_Color(OLE_COLOR* Value) {
  return Member([&]() -> HRESULT { return Get(color_, Value); });
}

HRESULT STDMETHODCALLTYPE TTarvo::put_Color(OLE_COLOR Value) {
  return Member([&]() -> HRESULT {
    color_ = Value;
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::get_Font(IFontDisp** Value) {
  return Member([&]() -> HRESULT {
    if (Value == nullptr) return E_POINTER;
    font_->AddRef();
    *Value = font_;
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::put_Font(IFontDisp* Value) {
  return Member([&]() -> HRESULT { return TakeOverFont(Value); });
}

HRESULT STDMETHODCALLTYPE TTarvo::putref_Font(IFontDisp** Value) {
  return Member([&]() -> HRESULT {
    if (Value == nullptr) return E_POINTER;
    return TakeOverFont(*Value);
  });
}

// The window keeps its own font object and takes over the attributes of the
// given one (a null font changes nothing). Attributes the given object does
// not have stay as they are.
HRESULT TTarvo::TakeOverFont(IDispatch* source) {
  if (source == nullptr || source == font_) return S_OK;
  static constexpr DISPID kAttributes[] = {
      DISPID_FONT_NAME,   DISPID_FONT_SIZE,   DISPID_FONT_BOLD,   DISPID_FONT_ITALIC,
      DISPID_FONT_UNDER,  DISPID_FONT_STRIKE, DISPID_FONT_WEIGHT, DISPID_FONT_CHARSET,
  };
  for (DISPID attribute : kAttributes) {
    VARIANT value;
    VariantInit(&value);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (SUCCEEDED(source->Invoke(attribute, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value,
                                 nullptr, nullptr))) {
      DISPID put_id = DISPID_PROPERTYPUT;
      DISPPARAMS put{&value, &put_id, 1, 1};
      const HRESULT hr = font_->Invoke(attribute, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put,
                                       nullptr, nullptr, nullptr);
      if (FAILED(hr)) {
        VariantClear(&value);
        return hr;
      }
    }
    VariantClear(&value);
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE TTarvo::get_PixelsPerInch(LONG* Value) {
  return Member([&]() -> HRESULT { return Get(pixels_per_inch_, Value); });
}

HRESULT STDMETHODCALLTYPE TTarvo::put_PixelsPerInch(LONG Value) {
  return Member([&]() -> HRESULT {
    pixels_per_inch_ = Value;
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::get_PrintScale(TxPrintScale* Value) {
  return Member([&]() -> HRESULT { return Get(print_scale_, Value); });
}

HRESULT STDMETHODCALLTYPE TTarvo::put_PrintScale(TxPrintScale Value) {
  return Member([&]() -> HRESULT {
    if (Value < poNone || Value > poPrintToFit)
      throw Refusal(E_INVALIDARG, "PrintScale must be poNone, poProportional or poPrintToFit "
                                  "(0 to 2), not " + std::to_string(static_cast<long>(Value)));
    print_scale_ = Value;
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::get_Active(VARIANT_BOOL* Value) {
  return Member([&]() -> HRESULT { return Get(active_, Value); });
}

HRESULT STDMETHODCALLTYPE TTarvo::get_HelpFile(BSTR* Value) {
  return Member([&]() -> HRESULT {
    if (Value == nullptr) return E_POINTER;
    *Value = com::AllocBstr(help_file_);
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::put_HelpFile(BSTR Value) {
  return Member([&]() -> HRESULT {
    help_file_ = Text(Value);
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::get_SnapBuffer(LONG* Value) {
  return Member([&]() -> HRESULT { return Get(snap_buffer_, Value); });
}

HRESULT STDMETHODCALLTYPE TTarvo::put_SnapBuffer(LONG Value) {
  return Member([&]() -> HRESULT {
    snap_buffer_ = Value;
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::get_AlignDisabled(VARIANT_BOOL* Value) {
  return Member([&]() -> HRESULT { return Get<VARIANT_BOOL>(VARIANT_FALSE, Value); });
}

HRESULT STDMETHODCALLTYPE TTarvo::get_VisibleDockClientCount(LONG* Value) {
  return Member([&]() -> HRESULT { return Get<LONG>(0, Value); });
}

// --- Driver methods ------------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE TTarvo::SendPlu(BYTE port_num, BSTR plu_code, BSTR desc, BYTE group1,
                                          BYTE group2, BYTE group3, BSTR status, BSTR vtsz,
                                          BSTR link, LONG price1, LONG price2, LONG price3,
                                          LONG* Value) {
  return Method(Value, [&](std::int32_t& value) {
    driver_->commands().SendPlu(port_num, Text(plu_code), Text(desc), group1, group2, group3,
                                Text(status), Text(vtsz), Text(link), price1, price2, price3,
                                value);
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::SendCust(BYTE port_num, BSTR cust_id, BSTR cust_desc,
                                           LONG* Value) {
  return Method(Value, [&](std::int32_t& value) {
    driver_->commands().SendCust(port_num, Text(cust_id), Text(cust_desc), value);
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::Init(BYTE port_num, LONG baudrate, LONG log_size, BSTR sn_path,
                                       LONG* Value) {
  return Method(Value, [&](std::int32_t& value) {
    value = driver_->impl().Init(port_num, baudrate, log_size, platform::ToAnsi(Text(sn_path)),
                                 platform::Utf16ToUtf8(Text(sn_path)));
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::PortClose(BYTE port_num) {
  return Member([&]() -> HRESULT {
    driver_->impl().PortClose(port_num);
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::PortOpen(BYTE port_num, LONG baudrate, LONG log_size,
                                           BSTR sn_path, LONG* Value) {
  return Method(Value, [&](std::int32_t& value) {
    value = driver_->impl().PortOpen(port_num, baudrate, log_size,
                                     platform::ToAnsi(Text(sn_path)),
                                     platform::Utf16ToUtf8(Text(sn_path)));
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::CurrencyUpload(BYTE port_num, BSTR cur_id, BSTR desc, BSTR rate,
                                                 BSTR nod, LONG* Value) {
  return Method(Value, [&](std::int32_t& value) {
    driver_->commands().CurrencyUpload(port_num, Text(cur_id), Text(desc), Text(rate), Text(nod),
                                       value);
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::ClerkUpload(BYTE port_num, BSTR clerk_id, BSTR desc,
                                              BSTR secret_code, BSTR status, LONG* Value) {
  return Method(Value, [&](std::int32_t& value) {
    driver_->commands().ClerkUpload(port_num, Text(clerk_id), Text(desc), Text(secret_code),
                                    Text(status), value);
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::GetStatus(BYTE port_num, VARIANT_BOOL* day_open, LONG* Value) {
  if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
  if (day_open == nullptr) return E_POINTER;
  return Method(Value, [&](std::int32_t& value) {
    bool open = *day_open != 0;
    // The parameter is written back however the command ends: what it set
    // before a failure escaped is what the caller sees.
    struct Finally {
      VARIANT_BOOL* target;
      bool& open;
      ~Finally() { WriteBack(target, open); }
    } write_back{day_open, open};
    driver_->commands().GetStatus(port_num, open, value);
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::SetClerkOptions(BYTE port_num, VARIANT_BOOL entry_code,
                                                  BYTE default_clerk, VARIANT_BOOL stay_down,
                                                  LONG* Value) {
  return Method(Value, [&](std::int32_t& value) {
    driver_->commands().SetClerkOptions(port_num, entry_code != 0, default_clerk,
                                        stay_down != 0, value);
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::OperationEnabled(BYTE port_num, VARIANT_BOOL en, BSTR disp_msg,
                                                   LONG* Value) {
  return Method(Value, [&](std::int32_t& value) {
    driver_->commands().OperationEnabled(port_num, en != 0, Text(disp_msg), value);
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::SendClerk(BYTE port_num, BSTR desc, BSTR status, LONG* Value) {
  return Method(Value, [&](std::int32_t& value) {
    driver_->commands().SendClerk(port_num, Text(desc), Text(status), value);
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::EcrCheck(BYTE port_num, LONG* receipt_num, LONG* receipt_amount,
                                           LONG* cancel_num, BSTR* clerk_code, BYTE* key_pos,
                                           BYTE* ecr_status, BSTR* ap_num, LONG* opened_day,
                                           VARIANT_BOOL* demo_mode, LONG* Value) {
  if (!OnOwnerThread()) return RPC_E_WRONG_THREAD;
  if (receipt_num == nullptr || receipt_amount == nullptr || cancel_num == nullptr ||
      clerk_code == nullptr || key_pos == nullptr || ecr_status == nullptr || ap_num == nullptr ||
      opened_day == nullptr || demo_mode == nullptr)
    return E_POINTER;
  return Method(Value, [&](std::int32_t& value) {
    commands::EcrCheckResult result;
    result.receipt_num = *receipt_num;
    result.receipt_amount = *receipt_amount;
    result.cancel_num = *cancel_num;
    result.clerk_code = Text(*clerk_code);
    result.key_pos = *key_pos;
    result.ecr_status = *ecr_status;
    result.ap_num = Text(*ap_num);
    result.opened_day = *opened_day;
    result.demo_mode = *demo_mode != 0;
    struct Finally {
      const commands::EcrCheckResult& r;
      LONG *receipt_num, *receipt_amount, *cancel_num;
      BSTR* clerk_code;
      BYTE *key_pos, *ecr_status;
      BSTR* ap_num;
      LONG* opened_day;
      VARIANT_BOOL* demo_mode;
      ~Finally() {
        *receipt_num = r.receipt_num;
        *receipt_amount = r.receipt_amount;
        *cancel_num = r.cancel_num;
        WriteBack(clerk_code, r.clerk_code);
        *key_pos = r.key_pos;
        *ecr_status = r.ecr_status;
        WriteBack(ap_num, r.ap_num);
        *opened_day = r.opened_day;
        WriteBack(demo_mode, r.demo_mode);
      }
    } write_back{result,     receipt_num, receipt_amount, cancel_num, clerk_code,
                 key_pos,    ecr_status,  ap_num,         opened_day, demo_mode};
    driver_->commands().EcrCheck(port_num, result, value);
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::SendClear(BYTE port_num, LONG* Value) {
  return Method(Value,
                [&](std::int32_t& value) { driver_->commands().SendClear(port_num, value); });
}

HRESULT STDMETHODCALLTYPE TTarvo::get_Mode650(VARIANT_BOOL* Value) {
  return Member([&]() -> HRESULT { return Get(driver_->impl().Mode650, Value); });
}

HRESULT STDMETHODCALLTYPE TTarvo::put_Mode650(VARIANT_BOOL Value) {
  return Member([&]() -> HRESULT {
    driver_->impl().Mode650 = Value;  // stored as given; non-zero counts as true
    return S_OK;
  });
}

// --- Connection points -----------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE TTarvo::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  return Guarded([&]() -> HRESULT {
    return CreateConnectionPointEnumerator({&event_point_, &notify_point_}, ppEnum);
  });
}

HRESULT STDMETHODCALLTYPE TTarvo::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  return Guarded([&]() -> HRESULT {
    if (ppCP == nullptr) return E_POINTER;
    *ppCP = nullptr;
    TConnectionPoint* point = nullptr;
    if (riid == DIID_ITarvoEvents)
      point = &event_point_;
    else if (riid == IID_IPropertyNotifySink)
      point = &notify_point_;
    if (point == nullptr) return CONNECT_E_NOCONNECTION;
    point->AddRef();
    *ppCP = point;
    return S_OK;
  });
}

// The sink-change step: the first sink ever connected hears OnCreate, once.
void TTarvo::SinkChanged(TConnectionPoint& point, IUnknown* sink) {
  if (&point != &event_point_) return;
  if (sink_changes_ == 0 && sink != nullptr) adapter_.Raise("OnCreate");
  ++sink_changes_;
}

IDispatch* TTarvo::AcquireEventSink() {
  // The event point keeps each sink as the interface it was queried for,
  // ITarvoEvents: a dispinterface, i.e. an IDispatch.
  return static_cast<IDispatch*>(event_point_.FirstSink());
}

// --- Class information and error information --------------------------------------------

HRESULT STDMETHODCALLTYPE TTarvo::GetClassInfo(ITypeInfo** ppTI) {
  if (ppTI == nullptr) return E_POINTER;
  *ppTI = nullptr;
  return GetTarvoTypeInfo(CLSID_Tarvo, ppTI);
}

HRESULT STDMETHODCALLTYPE TTarvo::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_ITarvo ? S_OK : S_FALSE;
}

// --- Window notifications ----------------------------------------------------------------------

void STDMETHODCALLTYPE TTarvo::FireActivate() {
  if (!OnOwnerThread()) return;
  active_ = VARIANT_TRUE;
  adapter_.Raise("OnActivate");
}

void STDMETHODCALLTYPE TTarvo::FireClick() {
  if (OnOwnerThread()) adapter_.Raise("OnClick");
}

void STDMETHODCALLTYPE TTarvo::FireDblClick() {
  if (OnOwnerThread()) adapter_.Raise("OnDblClick");
}

void STDMETHODCALLTYPE TTarvo::FireDeactivate() {
  if (!OnOwnerThread()) return;
  active_ = VARIANT_FALSE;
  adapter_.Raise("OnDeactivate");
}

void STDMETHODCALLTYPE TTarvo::FirePaint() {
  if (OnOwnerThread()) adapter_.Raise("OnPaint");
}

std::int16_t STDMETHODCALLTYPE TTarvo::FireKeyPress(std::int16_t key) {
  if (OnOwnerThread()) key = adapter_.RaiseKeyPress(key);
  return static_cast<std::int16_t>(key & 0xFF);
}

// --- Driver access -----------------------------------------------------------------------------

platform::MessageLoop::TimerId TTarvo::Timer1() const { return driver_->impl().timer1(); }
platform::MessageLoop::TimerId TTarvo::Timer2() const { return driver_->impl().timer2(); }

}  // namespace tarvo::automation
