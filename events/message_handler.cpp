#include "events/message_handler.h"

#include <functional>

#include "commands/answer_rules.h"
#include "commands/records.h"
#include "events/event_builders.h"
#include "events/field_reader.h"
#include "link/com_port.h"
#include "link/frame.h"

namespace tarvo::events {
namespace {

constexpr char kEventLine = 's';
constexpr char kIrregularLine = 'C';

std::string HexByte(std::uint8_t b) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return {kHex[b >> 4], kHex[b & 0x0F]};
}

// One message being handled.
class Handling {
 public:
  Handling(DispatchContext& context, std::uint8_t kind, std::string_view payload)
      : c_(context), kind_(kind), payload_(payload), port_(context.PortNum()) {}

  void Run();

 private:
  // Records a message shorter than its layout (it is handled all the same).
  void NoteSize(std::size_t expected) {
    if (payload_.size() >= expected) return;
    c_.Log(kIrregularLine, "Short message " + HexByte(kind_) + ": " +
                               std::to_string(payload_.size()) + " of " +
                               std::to_string(expected) + " bytes: " + link::HexDump(payload_));
  }
  void Log(std::string_view text) { c_.Log(kEventLine, text); }
  void Raise(const std::function<void(EventReceiver&)>& raise);

  void OnTableTransfer();
  void OnCheckAnswer();
  void OnPluInquiry();
  void OnDepartmentRequest(const PluInquiry& q);
  void OnReceipt(std::string_view event,
                 void (EventReceiver::*handler)(std::uint8_t, const std::string&,
                                                const std::string&, std::uint8_t, std::int32_t,
                                                const std::string&));
  void OnItemLine(bool waste);
  void OnTender();
  void OnCustInquiry();
  void OnPaidInOutRequest();
  void OnIdPress();
  void OnDailyReport();
  void OnClerkLogin();
  void OnModifyRequest();

  DispatchContext& c_;
  const std::uint8_t kind_;
  const std::string_view payload_;
  const std::uint8_t port_;
};

void Handling::Raise(const std::function<void(EventReceiver&)>& raise) {
  EventReceiver* receiver = c_.Receiver();
  if (receiver == nullptr) return;
  try {
    raise(*receiver);
  } catch (const std::exception& e) {
    Log("Dispatch ERROR: " + DescribeFailure(e));
  } catch (...) {
    Log("Dispatch ERROR: unknown failure");
  }
}

void Handling::Run() {
  switch (kind_) {
    case kKindTable:
      return OnTableTransfer();
    case kKindPluInquiry:
      return OnPluInquiry();
    case kKindDayOpen: {
      NoteSize(DayOpenEvent::kSize);
      const auto e = BuildDayOpen(payload_);
      Log(e.log);
      return Raise([&](EventReceiver& r) {
        r.OnDayOpen(port_, e.do_date, e.do_time, e.clerk_num, e.ap_num);
      });
    }
    case kKindOpenReceipt:
      return OnReceipt("OnOpenReceipt", &EventReceiver::OnOpenReceipt);
    case kKindSell:
    case kKindSell + 1:
    case kKindSell + 2:
      return OnItemLine(false);
    case kKindModifyD:
    case kKindModifyS: {
      NoteSize(ModifyEvent::kSize);
      const auto e = BuildModify(payload_, kind_ == kKindModifyD ? 'D' : 'S');
      Log(e.log);
      return Raise([&](EventReceiver& r) { r.OnModify(port_, e.m_type, e.m_mode, e.amount); });
    }
    case kKindTender:
      return OnTender();
    case kKindCloseReceipt:
      return OnReceipt("OnCloseReceipt", &EventReceiver::OnCloseReceipt);
    case kKindPaidInOut: {
      NoteSize(PaidInOutEvent::kSize);
      const auto e = BuildPaidInOut(payload_);
      Log(e.log);
      return Raise([&](EventReceiver& r) {
        r.OnPaidInOut(port_, e.p_type, e.cash, e.check, e.pd_date, e.pd_time, e.clerk_num,
                      e.ap_num);
      });
    }
    case kKindCancelReceipt:
      return OnReceipt("OnCancelReceipt", &EventReceiver::OnCancelReceipt);
    case kKindCustInquiry:
      return OnCustInquiry();
    case kKindWaste:
    case kKindWaste + 1:
    case kKindWaste + 2:
      return OnItemLine(true);
    case kKindPaidInOutRequest:
      return OnPaidInOutRequest();
    case kKindIdPress:
      return OnIdPress();
    case kKindDailyReport:
      return OnDailyReport();
    case kKindClerkLogin:
      return OnClerkLogin();
    case kKindCheckAnswer:
      return OnCheckAnswer();
    case kKindOperationRequest:
      return c_.AutoEnable();
    case kKindModifyRequest:
      return OnModifyRequest();
    default:
      // Kinds the host has no use for (0x8B, 0x91..0x96, 0x9A, 0x9B, and
      // anything unknown) are consumed without a trace.
      return;
  }
}

void Handling::OnTableTransfer() {
  NoteSize(commands::kTransferHeaderSize);
  // The answers to host commands land in this register's slots, before
  // anything else happens.
  c_.Answers().Access([&](core::AnswerData& d) { commands::StoreTableTransfer(d, payload_); });
  const FieldReader f(payload_);
  const std::string function =
      f.Text(commands::kTransferFunctionOffset, commands::kTransferFunctionSize);
  const auto identify = link::kFnIdentify;
  if (function != std::string(identify.begin(), identify.end())) return;
  // The register's connection message, its answer to the identification
  // request of the opening handshake.
  NoteSize(ConnectEvent::kSize);
  const auto e = BuildConnect(payload_);
  Log(e.log);
  Raise([&](EventReceiver& r) { r.OnConnect(port_, e.ap_num, false); });
}

void Handling::OnCheckAnswer() {
  NoteSize(commands::kCheckAnswerSize);
  c_.Answers().Access([&](core::AnswerData& d) { commands::StoreCheckAnswer(d, payload_); });
}

void Handling::OnReceipt(std::string_view event,
                         void (EventReceiver::*handler)(std::uint8_t, const std::string&,
                                                        const std::string&, std::uint8_t,
                                                        std::int32_t, const std::string&)) {
  NoteSize(ReceiptEvent::kSize);
  const auto e = BuildReceipt(payload_, event);
  Log(e.log);
  Raise([&](EventReceiver& r) {
    (r.*handler)(port_, e.date, e.time, e.clerk_num, e.receipt_num, e.ap_num);
  });
}

void Handling::OnPluInquiry() {
  NoteSize(PluInquiry::ExpectedSize(payload_.size()));
  const PluInquiry q = BuildPluInquiry(payload_);

  // The form of the last inquiry decides the layout of the PLU reply and the
  // scaling of the counts of later sale lines of this register.
  c_.SetShortInquiry(q.short_form);
  if (q.short_form) {
    Log(q.PluInquireLog());
    Raise([&](EventReceiver& r) { r.OnPluInquire(port_, q.plu_code); });
    Raise([&](EventReceiver& r) { r.OnPluInquireEx(port_, q.plu_code, q.ap_num, false); });
    return;
  }
  c_.SetMultiplier(q.multiplier);

  if (q.dept != 0) return OnDepartmentRequest(q);

  if (c_.Mode650()) {
    Log(q.PluInquireLog());
    Raise([&](EventReceiver& r) { r.OnPluInquire(port_, q.plu_code); });
    Raise([&](EventReceiver& r) { r.OnPluInquireEx(port_, q.plu_code, q.ap_num, false); });
    return;
  }

  // 841 mode. An inquiry with an empty code ends a waste sequence: the first
  // of a run is reported once as OnCloseWaste, and each is answered with a
  // placeholder record so that the register can go on.
  if (q.plu_code.empty()) {
    if (!c_.CloseWasteReported()) {
      Raise([&](EventReceiver& r) { r.OnCloseWaste(port_); });
      c_.SetCloseWasteReported(true);
    }
    c_.SetWasteRefused(false);
    c_.SendPlaceholderPlu();
  } else {
    c_.SetCloseWasteReported(false);
    const std::string clerk_code = NumberText(q.clerk_code);
    Raise([&](EventReceiver& r) {
      r.OnPluInquire841(port_, q.multiplier, q.plu_code, q.tr_type, clerk_code, q.opened_day,
                        q.ap_num, false);
    });
  }
  Log(q.PluInquire841Log());
}

void Handling::OnDepartmentRequest(const PluInquiry& q) {
  // The 650 variant allows every department sell request; the 841 mode
  // refuses waste ("W") requests itself, and the register's next request of
  // another type closes that waste sequence: the host hears of it as
  // OnCloseWaste, and the register gets its go-ahead from the driver.
  if (c_.Mode650()) {
    c_.AutoEnable();
  } else if (q.tr_type == kRefusedTrType) {
    c_.Refuse();
    c_.SetWasteRefused(true);
  } else if (c_.WasteRefused()) {
    Raise([&](EventReceiver& r) { r.OnCloseWaste(port_); });
    c_.AutoEnable();
    c_.SetWasteRefused(false);
  } else {
    const std::string clerk_code = NumberText(q.clerk_code);
    Raise([&](EventReceiver& r) {
      r.OnSellRequest(port_, q.multiplier, q.dept, q.tr_type, clerk_code, q.opened_day, q.ap_num,
                      false);
    });
  }
}

void Handling::OnItemLine(bool waste) {
  NoteSize(ItemLineEvent::kSize);
  const CountScale scale = CountScaleFor(c_.ShortInquiry(), c_.Mode650());
  const std::uint8_t first = waste ? kKindWaste : kKindSell;
  const auto e = BuildItemLine(payload_, waste ? "OnWaste" : "OnSell",
                               static_cast<std::uint8_t>(kind_ - first), scale);
  Log(e.log);
  Raise([&](EventReceiver& r) {
    if (waste) {
      r.OnWaste(port_, e.tr_type, e.item_type, e.item_code, e.unit_price, e.total_price, e.count);
    } else {
      r.OnSell(port_, e.tr_type, e.item_type, e.item_code, e.unit_price, e.total_price, e.count);
    }
  });
}

void Handling::OnTender() {
  NoteSize(TenderEvent::kSize);
  const auto e = BuildTender(payload_);
  Log(e.log);
  if (c_.Mode650()) {
    Raise([&](EventReceiver& r) { r.OnTender(port_, e.t_type, e.amount, e.home_value, e.change); });
  } else {
    Raise([&](EventReceiver& r) {
      r.OnTender841(port_, e.t_type, e.amount, e.home_value, e.change, e.change_id);
    });
  }
}

void Handling::OnCustInquiry() {
  const auto e = BuildCustInquiry(payload_);
  Log(e.log);
  Raise([&](EventReceiver& r) { r.OnCustInquire(port_, e.cust_id); });
}

void Handling::OnPaidInOutRequest() {
  if (c_.Mode650()) return c_.AutoEnable();
  NoteSize(PaidInOutRequestEvent::kSize);
  const auto e = BuildPaidInOutRequest(payload_);
  Raise([&](EventReceiver& r) {
    r.OnPaidInOutRequest(port_, e.tr_type, e.tr_title, e.clerk_num, e.opened_day, e.ap_num);
  });
}

void Handling::OnIdPress() {
  NoteSize(kIdPressSize);
  const std::string id = BuildIdPress(payload_);
  Raise([&](EventReceiver& r) { r.OnIDPress(port_, id); });
}

void Handling::OnDailyReport() {
  if (c_.Mode650()) return c_.AutoEnable();
  NoteSize(kDailyReportSize);
  const DailyReport report = BuildDailyReport(payload_);
  Raise([&](EventReceiver& r) { r.OnDailyReport(port_, report); });
}

void Handling::OnClerkLogin() {
  if (c_.Mode650()) return c_.AutoEnable();
  NoteSize(ClerkLoginEvent::kSize);
  const auto e = BuildClerkLogin(payload_);
  // The host answers with SendClerk, which sends this register's code back.
  c_.Answers().Access([&](core::AnswerData& d) {
    d.Clerks.records.resize(1);
    d.Clerks.records[0].code = e.code;
  });
  Raise([&](EventReceiver& r) { r.OnClerkLogin(port_, e.secret_code); });
}

void Handling::OnModifyRequest() {
  if (c_.Mode650()) return c_.AutoEnable();
  NoteSize(ModifyRequestEvent::kSize);
  const auto e = BuildModifyRequest(payload_);
  Raise([&](EventReceiver& r) {
    r.OnModifyRequest(port_, e.m_type, e.m_mode, e.percent, e.amount);
  });
}

}  // namespace

void HandleMessage(DispatchContext& context, std::uint8_t kind, std::string_view payload) {
  Handling(context, kind, payload).Run();
}

std::string DescribeFailure(const std::exception& e) {
  if (const auto* com = dynamic_cast<const link::EComPort*>(&e))
    return std::string(com->what()) + " (code " + std::to_string(com->Code()) + ")";
  return e.what();
}

}  // namespace tarvo::events
