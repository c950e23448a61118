#pragma once
// TEventAdapter: raises the events of ITarvoEvents on the control's sink.
//
// It receives the driver's events (events::EventReceiver) and the control
// window's notifications, and calls the sink's IDispatch::Invoke with the
// event's DISPID, IID_NULL, locale 0, DISPATCH_METHOD, positional arguments
// last-first and no result. DISPIDs and argument types come from the type
// library's event definitions, looked up by event name: VT_UI1, VT_I4,
// VT_BOOL, VT_BSTR (8-bit texts widened from the host code page; each BSTR is
// allocated for the call and freed after it), and VT_BYREF|VT_I2 for the Key
// of OnKeyPress. The sink's HRESULT is discarded. Without a sink the event
// is dropped.
//
// Threading: the control's thread only (the dispatcher runs in its Timer2,
// window notifications come from the host on that thread). The sink is
// called with no driver lock held.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "events/event_receiver.h"
#include "platform/com/com_abi.h"

namespace tarvo::automation {

class TEventAdapter final : public events::EventReceiver {
 public:
  // What the adapter needs from its control.
  class Target {
   public:
    // The connected event sink with a reference the adapter releases, or
    // null when none is connected.
    virtual IDispatch* AcquireEventSink() = 0;
    // Bracket every call into the sink (the control stays whole meanwhile,
    // even when the host releases it from its handler).
    virtual void EnterEvent() = 0;
    virtual void LeaveEvent() = 0;

   protected:
    ~Target() = default;
  };

  explicit TEventAdapter(Target& target) : target_(target) {}

  // An event without parameters (OnActivate, OnClick, OnCreate, OnDblClick,
  // OnDestroy, OnDeactivate, OnPaint).
  void Raise(std::string_view event);
  // OnKeyPress: Key goes by reference; returns what the handler left in it
  // (the key itself when no sink is connected).
  std::int16_t RaiseKeyPress(std::int16_t key);

  // events::EventReceiver
  void OnPluInquire(std::uint8_t port_num, const std::string& plu_code) override;
  void OnPluInquireEx(std::uint8_t port_num, const std::string& plu_code,
                      const std::string& ap_num, bool demo_mode) override;
  void OnPluInquire841(std::uint8_t port_num, std::int32_t multiplier,
                       const std::string& plu_code, std::uint8_t tr_type,
                       const std::string& clerk_code, std::int32_t opened_day,
                       const std::string& ap_num, bool demo_mode) override;
  void OnSellRequest(std::uint8_t port_num, std::int32_t multiplier, std::int32_t dept,
                     std::uint8_t tr_type, const std::string& clerk_code,
                     std::int32_t opened_day, const std::string& ap_num,
                     bool demo_mode) override;
  void OnCloseWaste(std::uint8_t port_num) override;
  void OnCustInquire(std::uint8_t port_num, const std::string& cust_id) override;
  void OnPaidInOutRequest(std::uint8_t port_num, std::uint8_t tr_type, std::uint8_t tr_title,
                          std::uint8_t clerk_num, std::int32_t opened_day,
                          const std::string& ap_num) override;
  void OnIDPress(std::uint8_t port_num, const std::string& id) override;
  void OnClerkLogin(std::uint8_t port_num, const std::string& secret_code) override;
  void OnModifyRequest(std::uint8_t port_num, std::uint8_t m_type, std::uint8_t m_mode,
                       bool percent, std::int32_t amount) override;
  void OnConnect(std::uint8_t port_num, const std::string& ap_num, bool demo_mode) override;
  void OnDayOpen(std::uint8_t port_num, const std::string& do_date, const std::string& do_time,
                 std::uint8_t clerk_num, const std::string& ap_num) override;
  void OnOpenReceipt(std::uint8_t port_num, const std::string& or_date,
                     const std::string& or_time, std::uint8_t clerk_num,
                     std::int32_t receipt_num, const std::string& ap_num) override;
  void OnSell(std::uint8_t port_num, std::uint8_t tr_type, std::uint8_t item_type,
              const std::string& item_code, std::int32_t unit_price, std::int32_t total_price,
              std::int32_t count) override;
  void OnWaste(std::uint8_t port_num, std::uint8_t tr_type, std::uint8_t item_type,
               const std::string& item_code, std::int32_t unit_price, std::int32_t total_price,
               std::int32_t count) override;
  void OnModify(std::uint8_t port_num, std::uint8_t m_type, std::uint8_t m_mode,
                std::int32_t amount) override;
  void OnTender(std::uint8_t port_num, std::uint8_t t_type, std::int32_t amount,
                std::int32_t huf_value, std::int32_t change) override;
  void OnTender841(std::uint8_t port_num, std::uint8_t t_type, std::int32_t amount,
                   std::int32_t home_value, std::int32_t change, std::uint8_t change_id) override;
  void OnCloseReceipt(std::uint8_t port_num, const std::string& cr_date,
                      const std::string& cr_time, std::uint8_t clerk_num,
                      std::int32_t receipt_num, const std::string& ap_num) override;
  void OnCancelReceipt(std::uint8_t port_num, const std::string& cl_date,
                       const std::string& cl_time, std::uint8_t clerk_num,
                       std::int32_t receipt_num, const std::string& ap_num) override;
  void OnPaidInOut(std::uint8_t port_num, std::uint8_t p_type, std::int32_t cash,
                   std::int32_t check, const std::string& pd_date, const std::string& pd_time,
                   std::uint8_t clerk_num, const std::string& ap_num) override;
  void OnDailyReport(std::uint8_t port_num, const events::DailyReport& report) override;

  // One argument as the driver has it; the event definition decides the
  // variant type it travels as.
  struct Arg {
    Arg(std::uint8_t v) : number(v) {}
    Arg(std::int32_t v) : number(v) {}
    Arg(bool v) : number(v ? 1 : 0), is_bool(true) {}
    Arg(const std::string& v) : text(&v) {}
    Arg(std::int16_t* v) : key(v) {}

    std::int64_t number = 0;
    bool is_bool = false;
    const std::string* text = nullptr;
    std::int16_t* key = nullptr;
  };

 private:
  void Raise(std::string_view event, std::initializer_list<Arg> args);

  Target& target_;
};

}  // namespace tarvo::automation
