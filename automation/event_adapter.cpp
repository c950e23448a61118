#include "automation/event_adapter.h"

#include <cassert>
#include <vector>

#include "automation/type_library.h"
#include "platform/codepage.h"
#include "platform/com/com_runtime.h"

namespace tarvo::automation {
namespace {

// The arguments of one call, cleared (BSTRs freed) when the call is over.
class ArgList {
 public:
  explicit ArgList(std::size_t count) : args_(count) {
    for (VARIANTARG& arg : args_) VariantInit(&arg);
  }
  ~ArgList() {
    for (VARIANTARG& arg : args_)
      if ((arg.vt & VT_BYREF) == 0) VariantClear(&arg);
  }
  ArgList(const ArgList&) = delete;
  ArgList& operator=(const ArgList&) = delete;

  VARIANTARG& operator[](std::size_t i) { return args_[i]; }
  VARIANTARG* data() { return args_.data(); }
  UINT size() const { return static_cast<UINT>(args_.size()); }

 private:
  std::vector<VARIANTARG> args_;
};

// Fills `out` with `arg` as parameter `param` declares it. False when the
// driver's value does not fit the declared type (a definition out of step
// with the driver: the event is then not raised).
bool BuildArg(const tlb::ParamDef& param, const TEventAdapter::Arg& arg, VARIANTARG& out) {
  const VARTYPE vt = param.Vt();
  if (param.byRef) {
    if (vt != VT_I2 || arg.key == nullptr) return false;
    out.vt = VT_BYREF | VT_I2;
    out.piVal = arg.key;
    return true;
  }
  if (arg.key != nullptr) return false;
  if (vt == VT_BSTR) {
    if (arg.text == nullptr) return false;
    const std::u16string wide = platform::FromAnsi(*arg.text);
    out.bstrVal = SysAllocStringLen(com::Ole(wide.data()), static_cast<UINT>(wide.size()));
    if (out.bstrVal == nullptr) return false;
    out.vt = VT_BSTR;
    return true;
  }
  if (arg.text != nullptr) return false;
  switch (vt) {
    case VT_UI1:
      out.vt = VT_UI1;
      out.bVal = static_cast<BYTE>(arg.number);
      return true;
    case VT_I2:
      out.vt = VT_I2;
      out.iVal = static_cast<SHORT>(arg.number);
      return true;
    case VT_I4:
      out.vt = VT_I4;
      out.lVal = static_cast<LONG>(arg.number);
      return true;
    case VT_BOOL:
      out.vt = VT_BOOL;
      out.boolVal = arg.number != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      return true;
    default:
      return false;
  }
}

}  // namespace

void TEventAdapter::Raise(std::string_view event) { Raise(event, {}); }

std::int16_t TEventAdapter::RaiseKeyPress(std::int16_t key) {
  Raise("OnKeyPress", {Arg(&key)});
  return key;
}

void TEventAdapter::Raise(std::string_view event, std::initializer_list<Arg> args) {
  const tlb::FuncDef* def = tlb::FindTarvoEvent(event);
  if (def == nullptr || def->params.size() != args.size()) {
    assert(!"event not in the type library or with another parameter count");
    return;
  }
  IDispatch* sink = target_.AcquireEventSink();
  if (sink == nullptr) return;  // no sink: the event is dropped

  ArgList argv(args.size());
  bool built = true;
  std::size_t i = 0;
  for (const Arg& arg : args) {
    // Automation order: the last argument comes first.
    built = built && BuildArg(def->params[i], arg, argv[args.size() - 1 - i]);
    ++i;
  }
  assert(built && "driver value does not fit the declared event parameter");
  if (built) {
    DISPPARAMS params{argv.data(), nullptr, argv.size(), 0};
    target_.EnterEvent();
    // The handler's result does not change the driver's course.
    (void)sink->Invoke(def->dispid, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                       nullptr);
    sink->Release();
    target_.LeaveEvent();
  } else {
    sink->Release();
  }
}

void TEventAdapter::OnPluInquire(std::uint8_t port_num, const std::string& plu_code) {
  Raise("OnPluInquire", {port_num, plu_code});
}

void TEventAdapter::OnPluInquireEx(std::uint8_t port_num, const std::string& plu_code,
                                   const std::string& ap_num, bool demo_mode) {
  Raise("OnPluInquireEx", {port_num, plu_code, ap_num, demo_mode});
}

void TEventAdapter::OnPluInquire841(std::uint8_t port_num, std::int32_t multiplier,
                                    const std::string& plu_code, std::uint8_t tr_type,
                                    const std::string& clerk_code, std::int32_t opened_day,
                                    const std::string& ap_num, bool demo_mode) {
  Raise("OnPluInquire841",
        {port_num, multiplier, plu_code, tr_type, clerk_code, opened_day, ap_num, demo_mode});
}

void TEventAdapter::OnSellRequest(std::uint8_t port_num, std::int32_t multiplier,
                                  std::int32_t dept, std::uint8_t tr_type,
                                  const std::string& clerk_code, std::int32_t opened_day,
                                  const std::string& ap_num, bool demo_mode) {
  Raise("OnSellRequest",
        {port_num, multiplier, dept, tr_type, clerk_code, opened_day, ap_num, demo_mode});
}

void TEventAdapter::OnCloseWaste(std::uint8_t port_num) { Raise("OnCloseWaste", {port_num}); }

void TEventAdapter::OnCustInquire(std::uint8_t port_num, const std::string& cust_id) {
  Raise("OnCustInquire", {port_num, cust_id});
}

void TEventAdapter::OnPaidInOutRequest(std::uint8_t port_num, std::uint8_t tr_type,
                                       std::uint8_t tr_title, std::uint8_t clerk_num,
                                       std::int32_t opened_day, const std::string& ap_num) {
  Raise("OnPaidInOutRequest", {port_num, tr_type, tr_title, clerk_num, opened_day, ap_num});
}

void TEventAdapter::OnIDPress(std::uint8_t port_num, const std::string& id) {
  Raise("OnIDPress", {port_num, id});
}

void TEventAdapter::OnClerkLogin(std::uint8_t port_num, const std::string& secret_code) {
  Raise("OnClerkLogin", {port_num, secret_code});
}

void TEventAdapter::OnModifyRequest(std::uint8_t port_num, std::uint8_t m_type,
                                    std::uint8_t m_mode, bool percent, std::int32_t amount) {
  Raise("OnModifyRequest", {port_num, m_type, m_mode, percent, amount});
}

void TEventAdapter::OnConnect(std::uint8_t port_num, const std::string& ap_num, bool demo_mode) {
  Raise("OnConnect", {port_num, ap_num, demo_mode});
}

void TEventAdapter::OnDayOpen(std::uint8_t port_num, const std::string& do_date,
                              const std::string& do_time, std::uint8_t clerk_num,
                              const std::string& ap_num) {
  Raise("OnDayOpen", {port_num, do_date, do_time, clerk_num, ap_num});
}

void TEventAdapter::OnOpenReceipt(std::uint8_t port_num, const std::string& or_date,
                                  const std::string& or_time, std::uint8_t clerk_num,
                                  std::int32_t receipt_num, const std::string& ap_num) {
  Raise("OnOpenReceipt", {port_num, or_date, or_time, clerk_num, receipt_num, ap_num});
}

void TEventAdapter::OnSell(std::uint8_t port_num, std::uint8_t tr_type, std::uint8_t item_type,
                           const std::string& item_code, std::int32_t unit_price,
                           std::int32_t total_price, std::int32_t count) {
  Raise("OnSell", {port_num, tr_type, item_type, item_code, unit_price, total_price, count});
}

void TEventAdapter::OnWaste(std::uint8_t port_num, std::uint8_t tr_type, std::uint8_t item_type,
                            const std::string& item_code, std::int32_t unit_price,
                            std::int32_t total_price, std::int32_t count) {
  Raise("OnWaste", {port_num, tr_type, item_type, item_code, unit_price, total_price, count});
}

void TEventAdapter::OnModify(std::uint8_t port_num, std::uint8_t m_type, std::uint8_t m_mode,
                             std::int32_t amount) {
  Raise("OnModify", {port_num, m_type, m_mode, amount});
}

void TEventAdapter::OnTender(std::uint8_t port_num, std::uint8_t t_type, std::int32_t amount,
                             std::int32_t huf_value, std::int32_t change) {
  Raise("OnTender", {port_num, t_type, amount, huf_value, change});
}

void TEventAdapter::OnTender841(std::uint8_t port_num, std::uint8_t t_type, std::int32_t amount,
                                std::int32_t home_value, std::int32_t change,
                                std::uint8_t change_id) {
  Raise("OnTender841", {port_num, t_type, amount, home_value, change, change_id});
}

void TEventAdapter::OnCloseReceipt(std::uint8_t port_num, const std::string& cr_date,
                                   const std::string& cr_time, std::uint8_t clerk_num,
                                   std::int32_t receipt_num, const std::string& ap_num) {
  Raise("OnCloseReceipt", {port_num, cr_date, cr_time, clerk_num, receipt_num, ap_num});
}

void TEventAdapter::OnCancelReceipt(std::uint8_t port_num, const std::string& cl_date,
                                    const std::string& cl_time, std::uint8_t clerk_num,
                                    std::int32_t receipt_num, const std::string& ap_num) {
  Raise("OnCancelReceipt", {port_num, cl_date, cl_time, clerk_num, receipt_num, ap_num});
}

void TEventAdapter::OnPaidInOut(std::uint8_t port_num, std::uint8_t p_type, std::int32_t cash,
                                std::int32_t check, const std::string& pd_date,
                                const std::string& pd_time, std::uint8_t clerk_num,
                                const std::string& ap_num) {
  Raise("OnPaidInOut", {port_num, p_type, cash, check, pd_date, pd_time, clerk_num, ap_num});
}

void TEventAdapter::OnDailyReport(std::uint8_t port_num, const events::DailyReport& r) {
  Raise("OnDailyReport",
        {port_num, r.report_date, r.report_time, r.report_num, r.taxable_a, r.taxable_b,
         r.taxable_c, r.taxable_d, r.taxable_e, r.over_charge, r.storno, r.discount,
         r.return_goods, r.receipt_num, r.cancel_num, r.empties_num, r.empties, r.gt});
}

}  // namespace tarvo::automation
