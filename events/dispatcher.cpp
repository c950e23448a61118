#include "events/dispatcher.h"

#include <exception>
#include <memory>

#include "events/event_builders.h"
#include "events/field_reader.h"
#include "link/com_port.h"

namespace tarvo::events {
namespace {

// The kind-0x01 transfers told apart by their five function bytes (after
// seven zero bytes); the table data starts after the 16-bit count.
constexpr std::size_t kFunctionOffset = 7;
constexpr std::size_t kFunctionSize = 5;
constexpr std::size_t kTableCountOffset = 16;
constexpr std::size_t kTableDataOffset = 18;
constexpr std::string_view kFnIdentify{"\x05\x00\x00\x00\x00", 5};
constexpr std::string_view kFnCurrencyTable{"\x03\x00\x00\x00\x06", 5};
constexpr std::string_view kFnClerkTable{"\x03\x00\x00\x00\x07", 5};

// The currency block of the register's table 6: four records of 20 bytes at
// table data offset 480 (name 12, rate 4, decimals 1, 3 unused).
constexpr std::size_t kCurrencyBlockOffset = kTableDataOffset + 480;
constexpr std::size_t kCurrencyRecordSize = 20;

// A clerk record of the register's table 7: name 13, two bytes kept as
// received, secret code 4, two more bytes kept as received.
constexpr std::size_t kClerkRecordSize = 21;

constexpr char kEventLogKind = 's';

// The text of a failure for the log; a serial port failure also names its
// code.
std::string Describe(const std::exception& e) {
  if (const auto* com = dynamic_cast<const link::EComPort*>(&e))
    return std::string(com->what()) + " (code " + std::to_string(com->Code()) + ")";
  return e.what();
}

}  // namespace

std::uint8_t PortNumFromName(std::string_view port_name) {
  constexpr std::string_view kPrefix = "COM";
  if (port_name.substr(0, kPrefix.size()) != kPrefix) return 0;
  const std::string_view digits = port_name.substr(kPrefix.size(), 2);
  if (digits.empty()) return 0;
  unsigned value = 0;
  for (char ch : digits) {
    if (ch < '0' || ch > '9') return 0;
    value = value * 10 + static_cast<unsigned>(ch - '0');
  }
  return static_cast<std::uint8_t>(value);
}

struct Dispatcher::Context {
  std::shared_ptr<core::PortEntry> entry;
  std::uint8_t port_num = 0;
  std::uint8_t kind = 0;
  std::string payload;
};

Dispatcher::Dispatcher(core::TarvoImpl1& impl, commands::HostCommands& commands)
    : impl_(impl), commands_(commands) {}

void Dispatcher::ProcessQueuedMessage(const core::QueuedMessage& msg) {
  Context c;
  c.entry = msg.source.lock();
  // The port's entry was removed after the message was queued: nobody is
  // left to address.
  if (!c.entry || msg.bytes.empty()) return;
  c.kind = static_cast<std::uint8_t>(msg.bytes[0]);
  if (msg.bytes.size() > 2) c.payload = msg.bytes.substr(2);
  c.port_num = PortNumFromName(c.entry->Name());
  if (c.port_num == 0) c.port_num = c.entry->PortNum;
  try {
    Route(c);
  } catch (const std::exception& e) {
    LogFailure(c, Describe(e));
  } catch (...) {
    LogFailure(c, "unknown failure");
  }
}

void Dispatcher::Route(Context& c) {
  switch (c.kind) {
    case kKindTable:
      OnTableTransfer(c);
      return;
    case kKindPluInquiry:
      OnPluInquiry(c);
      return;
    case kKindDayOpen: {
      const auto e = BuildDayOpen(c.payload);
      Log(c, e.log);
      Raise(c, [&](EventReceiver& r) {
        r.OnDayOpen(c.port_num, e.do_date, e.do_time, e.clerk_num, e.ap_num);
      });
      return;
    }
    case kKindOpenReceipt:
      OnReceipt(c, "OnOpenReceipt", &EventReceiver::OnOpenReceipt);
      return;
    case kKindSell:
    case kKindSell + 1:
    case kKindSell + 2:
      OnItemLine(c, false);
      return;
    case kKindModifyD:
    case kKindModifyS: {
      const auto e = BuildModify(c.payload, c.kind == kKindModifyD ? 'D' : 'S');
      Log(c, e.log);
      Raise(c, [&](EventReceiver& r) { r.OnModify(c.port_num, e.m_type, e.m_mode, e.amount); });
      return;
    }
    case kKindTender:
      OnTender(c);
      return;
    case kKindCloseReceipt:
      OnReceipt(c, "OnCloseReceipt", &EventReceiver::OnCloseReceipt);
      return;
    case kKindPaidInOut: {
      const auto e = BuildPaidInOut(c.payload);
      Log(c, e.log);
      Raise(c, [&](EventReceiver& r) {
        r.OnPaidInOut(c.port_num, e.p_type, e.cash, e.check, e.pd_date, e.pd_time, e.clerk_num,
                      e.ap_num);
      });
      return;
    }
    case kKindCancelReceipt:
      OnReceipt(c, "OnCancelReceipt", &EventReceiver::OnCancelReceipt);
      return;
    case kKindCustInquiry:
      OnCustInquiry(c);
      return;
    case kKindWaste:
    case kKindWaste + 1:
    case kKindWaste + 2:
      OnItemLine(c, true);
      return;
    case kKindPaidInOutRequest:
      OnPaidInOutRequest(c);
      return;
    case kKindIdPress:
      OnIdPress(c);
      return;
    case kKindDailyReport:
      OnDailyReport(c);
      return;
    case kKindClerkLogin:
      OnClerkLogin(c);
      return;
    case kKindCheckAnswer:
      impl_.driver().answers.SetResponse(c.payload);
      return;
    case kKindOperationRequest:
      AutoEnable(c);
      return;
    case kKindModifyRequest:
      OnModifyRequest(c);
      return;
    default:
      // Kinds the host has no use for (0x8B, 0x91..0x96, 0x9A, 0x9B, and
      // anything unknown) are consumed without a trace.
      return;
  }
}

void Dispatcher::OnReceipt(Context& c, std::string_view event, ReceiptHandler handler) {
  const auto e = BuildReceipt(c.payload, event);
  Log(c, e.log);
  Raise(c, [&](EventReceiver& r) {
    (r.*handler)(c.port_num, e.date, e.time, e.clerk_num, e.receipt_num, e.ap_num);
  });
}

void Dispatcher::OnTableTransfer(Context& c) {
  const FieldReader f(c.payload);
  const std::string table_data = f.Text(kTableDataOffset, c.payload.size());
  const std::string function = f.Text(kFunctionOffset, kFunctionSize);
  auto& answers = impl_.driver().answers;
  answers.SetResponse(table_data);

  if (function == kFnIdentify) {
    const auto e = BuildConnect(c.payload);
    Log(c, e.log);
    Raise(c, [&](EventReceiver& r) { r.OnConnect(c.port_num, e.ap_num, false); });
  } else if (function == kFnCurrencyTable) {
    answers.Access([&](core::AnswerData& d) {
      for (std::size_t k = 0; k < d.CurrencyTable.size(); ++k) {
        const std::size_t b = kCurrencyBlockOffset + kCurrencyRecordSize * k;
        auto& curr = d.CurrencyTable[k];
        curr.name = f.Text(b, 12);
        curr.rate = f.Integer(b + 12);
        curr.nod = f.Byte(b + 16);
      }
    });
  } else if (function == kFnClerkTable) {
    const std::int32_t count = f.Short(kTableCountOffset);
    const FieldReader data(table_data);
    answers.Access([&](core::AnswerData& d) {
      d.Clerks.count = count;
      d.Clerks.records.resize(static_cast<std::size_t>(count));
      for (std::size_t i = 0; i < d.Clerks.records.size(); ++i) {
        const std::size_t r = kClerkRecordSize * i;
        auto& clerk = d.Clerks.records[i];
        clerk.name = data.Text(r, 13);
        clerk.kept1 = data.Text(r + 13, 2);
        clerk.code = data.Integer(r + 15);
        clerk.kept2 = data.Text(r + 19, 2);
      }
    });
  }
}

void Dispatcher::OnPluInquiry(Context& c) {
  const PluInquiry q = BuildPluInquiry(c.payload);
  auto& entry = *c.entry;

  // The form of the last inquiry decides the layout of the PLU reply and the
  // scaling of the counts of later sale lines of this port.
  entry.ShortInquiry = q.short_form ? 1 : 0;
  if (q.short_form) {
    Log(c, q.PluInquireLog());
    Raise(c, [&](EventReceiver& r) { r.OnPluInquire(c.port_num, q.plu_code); });
    Raise(c, [&](EventReceiver& r) { r.OnPluInquireEx(c.port_num, q.plu_code, q.ap_num, false); });
    return;
  }
  entry.Multiplier = q.multiplier;

  if (q.dept != 0) {
    // A department sell request. The 650 variant allows every one of them;
    // the 841 mode refuses waste ("W") requests itself, and the next request
    // of another type closes that waste sequence: the host hears of it as
    // OnCloseWaste, and the register gets its go-ahead from the driver.
    if (Mode650()) {
      AutoEnable(c);
    } else if (q.tr_type == kRefusedTrType) {
      Refuse(c);
      impl_.WasteRefused = true;
    } else if (impl_.WasteRefused) {
      Raise(c, [&](EventReceiver& r) { r.OnCloseWaste(c.port_num); });
      AutoEnable(c);
      impl_.WasteRefused = false;
    } else {
      const std::string clerk_code = NumberText(q.clerk_code);
      const std::int32_t multiplier = q.multiplier;
      Raise(c, [&](EventReceiver& r) {
        r.OnSellRequest(c.port_num, multiplier, q.dept, q.tr_type, clerk_code, q.opened_day,
                        q.ap_num, false);
      });
    }
    return;
  }

  if (Mode650()) {
    Log(c, q.PluInquireLog());
    Raise(c, [&](EventReceiver& r) { r.OnPluInquire(c.port_num, q.plu_code); });
    Raise(c, [&](EventReceiver& r) { r.OnPluInquireEx(c.port_num, q.plu_code, q.ap_num, false); });
    return;
  }

  // 841 mode. An inquiry with an empty code ends a waste sequence: the first
  // of a run is reported once as OnCloseWaste, and each is answered with a
  // placeholder record so that the register can go on.
  if (q.plu_code.empty()) {
    if (!impl_.CloseWasteReported) {
      Raise(c, [&](EventReceiver& r) { r.OnCloseWaste(c.port_num); });
      impl_.CloseWasteReported = true;
    }
    impl_.WasteRefused = false;
    SendEmptyPlu(c);
  } else {
    impl_.CloseWasteReported = false;
    const std::int32_t multiplier = entry.Multiplier;
    const std::string clerk_code = NumberText(q.clerk_code);
    Raise(c, [&](EventReceiver& r) {
      r.OnPluInquire841(c.port_num, multiplier, q.plu_code, q.tr_type, clerk_code, q.opened_day,
                        q.ap_num, false);
    });
  }
  Log(c, q.PluInquire841Log());
}

void Dispatcher::OnCustInquiry(Context& c) {
  const auto e = BuildCustInquiry(c.payload);
  Log(c, e.log);
  Raise(c, [&](EventReceiver& r) { r.OnCustInquire(c.port_num, e.cust_id); });
}

void Dispatcher::OnPaidInOutRequest(Context& c) {
  if (Mode650()) {
    AutoEnable(c);
    return;
  }
  const auto e = BuildPaidInOutRequest(c.payload);
  Raise(c, [&](EventReceiver& r) {
    r.OnPaidInOutRequest(c.port_num, e.tr_type, e.tr_title, e.clerk_num, e.opened_day, e.ap_num);
  });
}

void Dispatcher::OnIdPress(Context& c) {
  const std::string id = BuildIdPress(c.payload);
  Raise(c, [&](EventReceiver& r) { r.OnIDPress(c.port_num, id); });
}

void Dispatcher::OnDailyReport(Context& c) {
  if (Mode650()) {
    AutoEnable(c);
    return;
  }
  const DailyReport report = BuildDailyReport(c.payload);
  Raise(c, [&](EventReceiver& r) { r.OnDailyReport(c.port_num, report); });
}

void Dispatcher::OnClerkLogin(Context& c) {
  if (Mode650()) {
    AutoEnable(c);
    return;
  }
  const auto e = BuildClerkLogin(c.payload);
  // The host answers with SendClerk, which sends back the code kept here.
  impl_.driver().answers.Access([&](core::AnswerData& d) {
    d.Clerks.records.resize(1);
    d.Clerks.records[0].code = e.code;
  });
  Raise(c, [&](EventReceiver& r) { r.OnClerkLogin(c.port_num, e.secret_code); });
}

void Dispatcher::OnModifyRequest(Context& c) {
  if (Mode650()) {
    AutoEnable(c);
    return;
  }
  const auto e = BuildModifyRequest(c.payload);
  Raise(c, [&](EventReceiver& r) {
    r.OnModifyRequest(c.port_num, e.m_type, e.m_mode, e.percent, e.amount);
  });
}

void Dispatcher::OnItemLine(Context& c, bool waste) {
  const CountScale scale = CountScaleFor(c.entry->ShortInquiry != 0, Mode650());
  if (waste) {
    const auto e = BuildItemLine(c.payload, "OnWaste",
                                 static_cast<std::uint8_t>(c.kind - kKindWaste), scale);
    Log(c, e.log);
    Raise(c, [&](EventReceiver& r) {
      r.OnWaste(c.port_num, e.tr_type, e.item_type, e.item_code, e.unit_price, e.total_price,
                e.count);
    });
  } else {
    const auto e = BuildItemLine(c.payload, "OnSell",
                                 static_cast<std::uint8_t>(c.kind - kKindSell), scale);
    Log(c, e.log);
    Raise(c, [&](EventReceiver& r) {
      r.OnSell(c.port_num, e.tr_type, e.item_type, e.item_code, e.unit_price, e.total_price,
               e.count);
    });
  }
}

void Dispatcher::OnTender(Context& c) {
  const auto e = BuildTender(c.payload);
  Log(c, e.log);
  if (Mode650()) {
    Raise(c, [&](EventReceiver& r) {
      r.OnTender(c.port_num, e.t_type, e.amount, e.home_value, e.change);
    });
  } else {
    Raise(c, [&](EventReceiver& r) {
      r.OnTender841(c.port_num, e.t_type, e.amount, e.home_value, e.change, e.change_id);
    });
  }
}

void Dispatcher::Log(Context& c, std::string_view text) {
  if (c.entry->LogSize > 0) impl_.Log(*c.entry, kEventLogKind, text);
}

void Dispatcher::LogFailure(Context& c, std::string_view what) {
  try {
    Log(c, "Dispatch ERROR: " + std::string(what));
  } catch (...) {
    // Nothing more can be done for this message.
  }
}

void Dispatcher::Raise(Context& c, const std::function<void(EventReceiver&)>& raise) {
  if (receiver_ == nullptr) return;
  try {
    raise(*receiver_);
  } catch (const std::exception& e) {
    LogFailure(c, Describe(e));
  } catch (...) {
    LogFailure(c, "unknown failure");
  }
}

void Dispatcher::Reply(Context& c, const std::function<void(std::int32_t& value)>& send) {
  std::int32_t value = 0;
  try {
    send(value);
  } catch (const std::exception& e) {
    LogFailure(c, Describe(e));
  } catch (...) {
    LogFailure(c, "unknown failure");
  }
}

void Dispatcher::AutoEnable(Context& c) {
  Reply(c, [&](std::int32_t& value) {
    commands_.OperationEnabled(c.port_num, true, u"", value);
  });
}

void Dispatcher::Refuse(Context& c) {
  Reply(c, [&](std::int32_t& value) {
    commands_.OperationEnabled(c.port_num, false, kRefusalText, value);
  });
}

void Dispatcher::SendEmptyPlu(Context& c) {
  Reply(c, [&](std::int32_t& value) {
    commands_.SendPlu(c.port_num, u"0", u" ", 1, 0, 0, u"110000000011", u"", u"0", 0, 0, 0,
                      value);
  });
}

}  // namespace tarvo::events
