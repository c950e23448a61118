#pragma once
// TTarvo: the control object of the class Tarvo.
//
// It implements IUnknown, the dual interface ITarvo (its IDispatch part is
// served from the type library), IConnectionPointContainer with the
// single-sink point of ITarvoEvents and the multi-sink point of
// IPropertyNotifySink, IProvideClassInfo, ISupportErrorInfo, and
// ITarvoWindow, through which a host toolkit forwards the control window's
// notifications.
//
// Creation (TTarvo::Create, called by the class factory): the object and its
// connection points; the window state with the standard properties (caption
// "Tarvo", button-face colour, the "MS Sans Serif" font, Image1) and the
// driver (events::ControlDriver) on the creating thread's loop, whose Timer1
// and Timer2 run from this moment and whose creation handler starts the read
// thread; then the driver's events are routed to the event adapter and
// Mode650 is set to true. OnCreate reaches the host when it connects its
// sink.
//
// Destruction (the last Release): OnDestroy to a sink that is still
// connected; the driver goes (every port this control opened is closed, its
// timers stop, its read thread ends); then the connection points with their
// sinks and the object itself.
//
// Apartment: the creating thread owns the control. ITarvo, IDispatch,
// IConnectionPointContainer and connection-point calls from another thread
// return RPC_E_WRONG_THREAD. QueryInterface, AddRef and Release are
// free-threaded; a last Release on another thread hands the destruction to
// the owner thread's loop, and one made while a call into the control or an
// event is still on the stack (a handler that lets the control go) is carried
// out by the loop once that call has returned.
//
// The owner thread may end while its controls are still referenced (a host
// that breaks the apartment rule). Its loop ends with it, so the controls'
// driver is stopped as the thread ends, on that thread (timers removed,
// ports closed, readers stopped, no events raised), and a last Release that
// comes later on another thread frees the control there and then.
//
// Failures: a driver method reports its outcome in Value and returns S_OK;
// an exception escaping the driver becomes E_UNEXPECTED (or the negative
// code a std::system_error carries) with error information published for the
// thread (source "TarvoMDrv.Tarvo", description = the exception's text).
// Every other failure HRESULT of an ITarvo member (a property put refusing
// an out-of-range value, a null pointer) publishes error information too.
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <thread>

#include "automation/TarvoMDrv_TLB.h"
#include "automation/connection_points.h"
#include "automation/event_adapter.h"
#include "events/control_driver.h"
#include "platform/com/com_abi.h"
#include "platform/message_loop.h"

// The control window's notifications, forwarded by a host toolkit on the
// control's thread. Each raises the ITarvoEvents event of the same name when
// a sink is connected. FireKeyPress passes the typed character in Key (by
// reference) and returns the low 8 bits of what the handler left there: the
// character the window goes on to process.
// {6B0C2E51-3D7A-4F0E-9C41-2A5D8E7F1B93}
inline constexpr IID IID_ITarvoWindow = {
    0x6B0C2E51, 0x3D7A, 0x4F0E, {0x9C, 0x41, 0x2A, 0x5D, 0x8E, 0x7F, 0x1B, 0x93}};
struct ITarvoWindow : IUnknown {
  virtual void STDMETHODCALLTYPE FireActivate() = 0;
  virtual void STDMETHODCALLTYPE FireClick() = 0;
  virtual void STDMETHODCALLTYPE FireDblClick() = 0;
  virtual void STDMETHODCALLTYPE FireDeactivate() = 0;
  virtual void STDMETHODCALLTYPE FirePaint() = 0;
  virtual std::int16_t STDMETHODCALLTYPE FireKeyPress(std::int16_t key) = 0;
};

namespace tarvo::automation {

// The picture of Image1: a 75 by 75 pixel baseline JPEG, three components.
std::span<const std::uint8_t> Image1Jpeg();
inline constexpr int kImage1Width = 75;
inline constexpr int kImage1Height = 75;

// Initial state of the control window.
inline constexpr char16_t kInitialCaption[] = u"Tarvo";
inline constexpr OLE_COLOR kButtonFaceColor = 0x8000000F;  // system colour COLOR_BTNFACE
inline constexpr char16_t kInitialFontName[] = u"MS Sans Serif";
inline constexpr int kInitialFontHeight = -11;  // pixels at 96 pixels per inch
inline constexpr LONG kInitialPixelsPerInch = 96;
inline constexpr int kWindowWidth = 118;
inline constexpr int kWindowHeight = 134;
inline constexpr char16_t kErrorSource[] = u"TarvoMDrv.Tarvo";

class TTarvo final : public ITarvo,
                     public IConnectionPointContainer,
                     public IProvideClassInfo,
                     public ISupportErrorInfo,
                     public ITarvoWindow,
                     private SinkChangeListener,
                     private TEventAdapter::Target {
 public:
  // Creates a control on the calling thread and queries it for `riid`.
  static HRESULT Create(REFIID riid, void** ppv);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                   EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

  // ITarvo: the standard window properties
  HRESULT STDMETHODCALLTYPE get_Visible(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_Visible(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_AutoScroll(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_AutoScroll(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_AutoSize(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_AutoSize(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_AxBorderStyle(TxActiveFormBorderStyle* Value) override;
  HRESULT STDMETHODCALLTYPE put_AxBorderStyle(TxActiveFormBorderStyle Value) override;
  HRESULT STDMETHODCALLTYPE get_Caption(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_Caption(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_Color(OLE_COLOR* Value) override;
  HRESULT STDMETHODCALLTYPE put_Color(OLE_COLOR Value) override;
  HRESULT STDMETHODCALLTYPE get_Font(IFontDisp** Value) override;
  HRESULT STDMETHODCALLTYPE put_Font(IFontDisp* Value) override;
  HRESULT STDMETHODCALLTYPE putref_Font(IFontDisp** Value) override;
  HRESULT STDMETHODCALLTYPE get_KeyPreview(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_KeyPreview(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_PixelsPerInch(LONG* Value) override;
  HRESULT STDMETHODCALLTYPE put_PixelsPerInch(LONG Value) override;
  HRESULT STDMETHODCALLTYPE get_PrintScale(TxPrintScale* Value) override;
  HRESULT STDMETHODCALLTYPE put_PrintScale(TxPrintScale Value) override;
  HRESULT STDMETHODCALLTYPE get_Scaled(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_Scaled(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_Active(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE get_DropTarget(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_DropTarget(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_HelpFile(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_HelpFile(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_ScreenSnap(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_ScreenSnap(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_SnapBuffer(LONG* Value) override;
  HRESULT STDMETHODCALLTYPE put_SnapBuffer(LONG Value) override;
  HRESULT STDMETHODCALLTYPE get_DoubleBuffered(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_DoubleBuffered(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_AlignDisabled(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE get_VisibleDockClientCount(LONG* Value) override;
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL Value) override;

  // ITarvo: the driver
  HRESULT STDMETHODCALLTYPE SendPlu(BYTE port_num, BSTR plu_code, BSTR desc, BYTE group1,
                                    BYTE group2, BYTE group3, BSTR status, BSTR vtsz, BSTR link,
                                    LONG price1, LONG price2, LONG price3, LONG* Value) override;
  HRESULT STDMETHODCALLTYPE SendCust(BYTE port_num, BSTR cust_id, BSTR cust_desc,
                                     LONG* Value) override;
  HRESULT STDMETHODCALLTYPE Init(BYTE port_num, LONG baudrate, LONG log_size, BSTR sn_path,
                                 LONG* Value) override;
  HRESULT STDMETHODCALLTYPE PortClose(BYTE port_num) override;
  HRESULT STDMETHODCALLTYPE PortOpen(BYTE port_num, LONG baudrate, LONG log_size, BSTR sn_path,
                                     LONG* Value) override;
  HRESULT STDMETHODCALLTYPE CurrencyUpload(BYTE port_num, BSTR cur_id, BSTR desc, BSTR rate,
                                           BSTR nod, LONG* Value) override;
  HRESULT STDMETHODCALLTYPE ClerkUpload(BYTE port_num, BSTR clerk_id, BSTR desc, BSTR secret_code,
                                        BSTR status, LONG* Value) override;
  HRESULT STDMETHODCALLTYPE GetStatus(BYTE port_num, VARIANT_BOOL* day_open, LONG* Value) override;
  HRESULT STDMETHODCALLTYPE SetClerkOptions(BYTE port_num, VARIANT_BOOL entry_code,
                                            BYTE default_clerk, VARIANT_BOOL stay_down,
                                            LONG* Value) override;
  HRESULT STDMETHODCALLTYPE OperationEnabled(BYTE port_num, VARIANT_BOOL en, BSTR disp_msg,
                                             LONG* Value) override;
  HRESULT STDMETHODCALLTYPE SendClerk(BYTE port_num, BSTR desc, BSTR status, LONG* Value) override;
  HRESULT STDMETHODCALLTYPE EcrCheck(BYTE port_num, LONG* receipt_num, LONG* receipt_amount,
                                     LONG* cancel_num, BSTR* clerk_code, BYTE* key_pos,
                                     BYTE* ecr_status, BSTR* ap_num, LONG* opened_day,
                                     VARIANT_BOOL* demo_mode, LONG* Value) override;
  HRESULT STDMETHODCALLTYPE SendClear(BYTE port_num, LONG* Value) override;
  HRESULT STDMETHODCALLTYPE get_Mode650(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_Mode650(VARIANT_BOOL Value) override;

  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

  // IProvideClassInfo
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppTI) override;

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

  // ITarvoWindow
  void STDMETHODCALLTYPE FireActivate() override;
  void STDMETHODCALLTYPE FireClick() override;
  void STDMETHODCALLTYPE FireDblClick() override;
  void STDMETHODCALLTYPE FireDeactivate() override;
  void STDMETHODCALLTYPE FirePaint() override;
  std::int16_t STDMETHODCALLTYPE FireKeyPress(std::int16_t key) override;

  // The driver of this control and its form timers.
  events::ControlDriver& driver() { return *driver_; }
  platform::MessageLoop::TimerId Timer1() const;
  platform::MessageLoop::TimerId Timer2() const;
  std::thread::id owner() const { return owner_; }

 private:
  TTarvo();
  ~TTarvo();
  TTarvo(const TTarvo&) = delete;
  TTarvo& operator=(const TTarvo&) = delete;

  bool OnOwnerThread() const { return std::this_thread::get_id() == owner_; }
  IUnknown* Identity() { return static_cast<ITarvo*>(this); }
  // Runs `body` on the owner thread, turning an escaping exception into a
  // failure HRESULT with error information.
  template <class Body>
  HRESULT Guarded(Body&& body);
  // Guarded, for the members of ITarvo: every failure HRESULT comes with
  // error information (its own description, or one made from the HRESULT).
  template <class Body>
  HRESULT Member(Body&& body);
  // A method with a Value: Value := 0, then `body`.
  template <class Body>
  HRESULT Method(LONG* Value, Body&& body);
  HRESULT TakeOverFont(IDispatch* source);
  void DestroyOnOwnerThread();

  // The owner thread as its controls' releasers see it (tarvo_control.cpp).
  struct OwnerThread;
  // At the end of the owner thread, on it: the driver goes, no event raised.
  void StopForEndOfThread();

  // SinkChangeListener: the sink-change step of the event point.
  void SinkChanged(TConnectionPoint& point, IUnknown* sink) override;
  // TEventAdapter::Target
  IDispatch* AcquireEventSink() override;
  void EnterEvent() override;
  void LeaveEvent() override;

  // Counts the control as a live object of the module from the first to the
  // last moment of its life (declared first: constructed first, gone last).
  struct LiveObject {
    LiveObject();
    ~LiveObject();
  } live_;

  // Any thread.
  std::atomic<ULONG> refs_{1};

  // Everything below, but owner_thread_ and its flags: the owner thread only
  // (the apartment rule).
  const std::thread::id owner_;
  platform::MessageLoop& loop_;
  // Any thread. Shared by the controls of the owner thread (created after
  // the thread's loop, see OwnerThread); its fields and the two flags below
  // are guarded by its mutex.
  std::shared_ptr<OwnerThread> owner_thread_;
  bool destroy_posted_ = false;  // a last Release handed the destruction to the loop
  bool owner_gone_ = false;      // the owner thread has ended
  TConnectionPoint event_point_;   // ITarvoEvents, one sink
  TConnectionPoint notify_point_;  // IPropertyNotifySink, any number
  std::int32_t sink_changes_ = 0;  // times the event sink was set or cleared
  TEventAdapter adapter_;
  int busy_ = 0;                   // calls into the control and sink calls in progress
  bool release_pending_ = false;   // last reference gone while busy
  bool destroying_ = false;

  // The control window's standard properties.
  VARIANT_BOOL visible_ = VARIANT_TRUE;
  VARIANT_BOOL auto_scroll_ = VARIANT_FALSE;
  VARIANT_BOOL auto_size_ = VARIANT_FALSE;
  TxActiveFormBorderStyle border_style_ = afbSingle;
  std::string caption_;  // window text, host 8-bit code page
  OLE_COLOR color_ = kButtonFaceColor;
  IFontDisp* font_ = nullptr;  // owned reference
  VARIANT_BOOL key_preview_ = VARIANT_FALSE;
  LONG pixels_per_inch_ = kInitialPixelsPerInch;
  TxPrintScale print_scale_ = poProportional;
  VARIANT_BOOL scaled_ = VARIANT_TRUE;
  VARIANT_BOOL active_ = VARIANT_FALSE;
  VARIANT_BOOL drop_target_ = VARIANT_FALSE;
  std::u16string help_file_;
  VARIANT_BOOL screen_snap_ = VARIANT_FALSE;
  LONG snap_buffer_ = 10;
  VARIANT_BOOL double_buffered_ = VARIANT_FALSE;
  VARIANT_BOOL enabled_ = VARIANT_TRUE;

  std::unique_ptr<events::ControlDriver> driver_;
};

}  // namespace tarvo::automation
