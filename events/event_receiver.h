#pragma once
// The narrow interface through which the dispatcher hands driver events to
// whoever hosts the driver (the automation control, a test, a tool).
//
// Arguments are plain typed values: unsigned bytes, signed 32-bit integers,
// booleans and 8-bit texts in the host's code page (the automation layer
// widens them). Events are delivered synchronously on the control's thread,
// in the order the register's messages were queued. A receiver may call
// driver commands from inside a handler.
#include <cstdint>
#include <string>

namespace tarvo::events {

struct DailyReport {
  std::string report_date;
  std::string report_time;
  std::int32_t report_num = 0;
  std::string taxable_a, taxable_b, taxable_c, taxable_d, taxable_e;
  std::string over_charge, storno, discount, return_goods;
  std::int32_t receipt_num = 0;
  std::int32_t cancel_num = 0;
  std::int32_t empties_num = 0;
  std::string empties;
  std::string gt;
};

class EventReceiver {
 public:
  virtual ~EventReceiver() = default;

  // Inquiries and requests.
  virtual void OnPluInquire(std::uint8_t port_num, const std::string& plu_code) = 0;
  virtual void OnPluInquireEx(std::uint8_t port_num, const std::string& plu_code,
                              const std::string& ap_num, bool demo_mode) = 0;
  virtual void OnPluInquire841(std::uint8_t port_num, std::int32_t multiplier,
                               const std::string& plu_code, std::uint8_t tr_type,
                               const std::string& clerk_code, std::int32_t opened_day,
                               const std::string& ap_num, bool demo_mode) = 0;
  virtual void OnSellRequest(std::uint8_t port_num, std::int32_t multiplier, std::int32_t dept,
                             std::uint8_t tr_type, const std::string& clerk_code,
                             std::int32_t opened_day, const std::string& ap_num,
                             bool demo_mode) = 0;
  virtual void OnCloseWaste(std::uint8_t port_num) = 0;
  virtual void OnCustInquire(std::uint8_t port_num, const std::string& cust_id) = 0;
  virtual void OnPaidInOutRequest(std::uint8_t port_num, std::uint8_t tr_type,
                                  std::uint8_t tr_title, std::uint8_t clerk_num,
                                  std::int32_t opened_day, const std::string& ap_num) = 0;
  virtual void OnIDPress(std::uint8_t port_num, const std::string& id) = 0;
  virtual void OnClerkLogin(std::uint8_t port_num, const std::string& secret_code) = 0;
  virtual void OnModifyRequest(std::uint8_t port_num, std::uint8_t m_type, std::uint8_t m_mode,
                               bool percent, std::int32_t amount) = 0;
  virtual void OnConnect(std::uint8_t port_num, const std::string& ap_num, bool demo_mode) = 0;

  // The course of the day and of each receipt.
  virtual void OnDayOpen(std::uint8_t port_num, const std::string& do_date,
                         const std::string& do_time, std::uint8_t clerk_num,
                         const std::string& ap_num) = 0;
  virtual void OnOpenReceipt(std::uint8_t port_num, const std::string& or_date,
                             const std::string& or_time, std::uint8_t clerk_num,
                             std::int32_t receipt_num, const std::string& ap_num) = 0;
  virtual void OnSell(std::uint8_t port_num, std::uint8_t tr_type, std::uint8_t item_type,
                      const std::string& item_code, std::int32_t unit_price,
                      std::int32_t total_price, std::int32_t count) = 0;
  virtual void OnWaste(std::uint8_t port_num, std::uint8_t tr_type, std::uint8_t item_type,
                       const std::string& item_code, std::int32_t unit_price,
                       std::int32_t total_price, std::int32_t count) = 0;
  virtual void OnModify(std::uint8_t port_num, std::uint8_t m_type, std::uint8_t m_mode,
                        std::int32_t amount) = 0;
  virtual void OnTender(std::uint8_t port_num, std::uint8_t t_type, std::int32_t amount,
                        std::int32_t huf_value, std::int32_t change) = 0;
  virtual void OnTender841(std::uint8_t port_num, std::uint8_t t_type, std::int32_t amount,
                           std::int32_t home_value, std::int32_t change,
                           std::uint8_t change_id) = 0;
  virtual void OnCloseReceipt(std::uint8_t port_num, const std::string& cr_date,
                              const std::string& cr_time, std::uint8_t clerk_num,
                              std::int32_t receipt_num, const std::string& ap_num) = 0;
  virtual void OnCancelReceipt(std::uint8_t port_num, const std::string& cl_date,
                               const std::string& cl_time, std::uint8_t clerk_num,
                               std::int32_t receipt_num, const std::string& ap_num) = 0;
  virtual void OnPaidInOut(std::uint8_t port_num, std::uint8_t p_type, std::int32_t cash,
                           std::int32_t check, const std::string& pd_date,
                           const std::string& pd_time, std::uint8_t clerk_num,
                           const std::string& ap_num) = 0;
  virtual void OnDailyReport(std::uint8_t port_num, const DailyReport& report) = 0;
};

}  // namespace tarvo::events
