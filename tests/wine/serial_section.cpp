// The control against a register on a serial line: under Wine the COM port
// is a pseudo-terminal whose far end is the project's register simulator,
// running natively and playing a script of online messages (day841.json or
// day650.json beside this file). The simulator checks the bytes of the
// host's answers it waits for; wine-test.sh checks its trace and result.
#include <windows.h>
#include <ole2.h>

#include <chrono>
#include <string>

#include "tests/wine/client_sections.h"
#include "tests/wine/control_handle.h"
#include "tests/wine/event_sink.h"
#include "tests/wine/message_pump.h"

namespace tarvo::wine {

using namespace std::chrono_literals;

namespace {

constexpr const char* kAp = "AP0000001";  // the simulator's AP number

std::string Arg(const Event* e, size_t i) { return e && i < e->args.size() ? ArgText(e->args[i]) : "<none>"; }

std::string Args(const Event* e) {
  if (!e) return "<no event>";
  std::string out = e->name + "(";
  for (size_t i = 0; i < e->args.size(); ++i) out += (i ? ", " : "") + ArgText(e->args[i]);
  return out + ")";
}

}  // namespace

void RunSerial(Report& report, int port, bool mode650) {
  const std::string tag = std::string("serial ") + (mode650 ? "Mode650" : "841") + " COM" + std::to_string(port) + ": ";
  const BYTE port_num = static_cast<BYTE>(port);
  // The sink outlives the control: releasing the control raises OnDestroy
  // on it, also when a section ends early.
  Ptr<ITypeInfo> events_info(RegisteredTypeInfo(DIID_ITarvoEvents));
  EventSink sink(events_info.get());
  Ptr<ITarvo> tarvo;
  HRESULT hr = CoCreateInstance(CLSID_Tarvo, nullptr, CLSCTX_INPROC_SERVER, IID_ITarvo, tarvo.void_out());
  if (!report.Check(hr == S_OK && tarvo, tag + "CoCreateInstance", Hex(hr))) return;
  hr = tarvo->put_Mode650(mode650 ? VARIANT_TRUE : VARIANT_FALSE);
  report.Check(hr == S_OK, tag + "Mode650 set", Hex(hr));

  // The register waits for the host's answers to its inquiries: give them
  // from inside the event, as a point-of-sale program does.
  int answers = 0;
  int answers_refused = 0;
  sink.on_event = [&](const Event& e) {
    LONG value = -1;
    HRESULT r = S_OK;
    if (e.name == "OnPluInquire841" || e.name == "OnPluInquire") {
      const std::string code = ArgText(e.args[e.name == "OnPluInquire" ? 1 : 2]);
      const std::wstring wide(code.begin(), code.end());
      Bstr plu(wide.c_str()), desc(L"Keny\u00e9r"), status(L"110000000011"), vtsz(L"0"), link(L"0");
      r = tarvo->SendPlu(port_num, plu.get(), desc.get(), 1, 0, 0, status.get(), vtsz.get(), link.get(), 100, 0, 0,
                         &value);
    } else if (e.name == "OnSellRequest") {
      Bstr message(L"");
      r = tarvo->OperationEnabled(port_num, VARIANT_TRUE, message.get(), &value);
    } else {
      return;
    }
    ++answers;
    if (r != S_OK || value != 0) ++answers_refused;
  };
  const DWORD cookie = Advise(tarvo.get(), &sink, &hr);
  report.Check(cookie != 0, tag + "Advise", Hex(hr));

  Bstr no_log_dir(L"");
  LONG value = -1;
  hr = tarvo->Init(port_num, 9600, 0, no_log_dir.get(), &value);
  if (!report.Check(hr == S_OK && value == 0, tag + "Init opens the port (Value 0)",
                    Hex(hr) + " Value " + std::to_string(value)))
    return;
  const bool connected = PumpUntil([&] { return sink.Count("OnConnect") > 0; }, 30s);
  const Event* connect = sink.Last("OnConnect");
  report.Check(connected && Arg(connect, 0) == std::to_string(port) && Arg(connect, 1) == kAp &&
                   Arg(connect, 2) == "false",
               tag + "handshake done: OnConnect(port, AP number, no demo mode)", Args(connect));

  VARIANT_BOOL day_open = VARIANT_FALSE;
  value = -1;
  hr = tarvo->GetStatus(port_num, &day_open, &value);
  // The Mode650 day starts with a daily report, which may close the day
  // before this call: only the 841 day is sure to be open.
  report.Check(hr == S_OK && value == 0 && (mode650 || day_open == VARIANT_TRUE),
               tag + "GetStatus: Value 0" + (mode650 ? "" : ", day open"), Hex(hr) + " Value " + std::to_string(value));

  // The simulator's script: a receipt with a PLU inquiry the host answers, a
  // sale, a department request (answered by the host in the 841 mode, by the
  // driver itself in Mode650), a tender and the receipt's close.
  const bool closed = PumpUntil([&] { return sink.Count("OnCloseReceipt") > 0; }, 90s);
  if (!report.Check(closed, tag + "the script's receipt arrives while the host pumps",
                    std::to_string(sink.events().size()) + " events, last " +
                        (sink.events().empty() ? "" : sink.events().back().name)))
    return;
  const Event* open = sink.Last("OnOpenReceipt");
  const Event* close = sink.Last("OnCloseReceipt");
  report.Check(open && Arg(open, 0) == std::to_string(port) && Arg(open, 5) == kAp &&
                   Arg(open, 4) == Arg(close, 4),
               tag + "OnOpenReceipt and OnCloseReceipt name the same receipt", Args(open) + " " + Args(close));
  const Event* inquiry = sink.Last(mode650 ? "OnPluInquire" : "OnPluInquire841");
  report.Check(inquiry && Arg(inquiry, mode650 ? 1 : 2) == "5998", tag + "PLU inquiry for 5998", Args(inquiry));
  if (mode650) {
    const Event* ex = sink.Last("OnPluInquireEx");
    report.Check(ex && Arg(ex, 1) == "5998", tag + "OnPluInquireEx follows OnPluInquire", Args(ex));
  }
  report.Check(answers >= 1 && answers_refused == 0, tag + "the host's answers were taken (Value 0)",
               std::to_string(answers) + " answers, " + std::to_string(answers_refused) + " refused");
  const Event* sell = sink.Last("OnSell");
  report.Check(sell && Arg(sell, 3) == "5998" && Arg(sell, 4) == "100" && Arg(sell, 5) == "200",
               tag + "OnSell: item 5998, unit price 100, total 200", Args(sell));
  report.Check(sink.Count("OnSellRequest") == (mode650 ? 0 : 1),
               tag + (mode650 ? "department request enabled by the driver" : "department request reaches the host"),
               std::to_string(sink.Count("OnSellRequest")));
  if (mode650) {
    const Event* tender = sink.Last("OnTender");
    report.Check(tender && Arg(tender, 2) == "500" && Arg(tender, 4) == "300", tag + "OnTender: 500 paid, 300 change",
                 Args(tender));
    report.Check(sink.Count("OnDailyReport") == 0, tag + "daily report answered by the driver, no event");
  } else {
    const Event* tender = sink.Last("OnTender841");
    report.Check(tender && Arg(tender, 2) == "1000" && Arg(tender, 4) == "800" && Arg(tender, 5) == "1",
                 tag + "OnTender841: 1000 paid, 800 change, change id 1", Args(tender));
  }

  // The register's counters after the receipt.
  LONG receipt_num = 0, receipt_amount = 0, cancel_num = 0, opened_day = 0;
  Bstr clerk_code, ap_num;
  BYTE key_pos = 0, ecr_status = 0;
  VARIANT_BOOL demo = VARIANT_TRUE;
  value = -1;
  hr = tarvo->EcrCheck(port_num, &receipt_num, &receipt_amount, &cancel_num, clerk_code.out(), &key_pos, &ecr_status,
                       ap_num.out(), &opened_day, &demo, &value);
  report.Check(hr == S_OK && value == 0 && std::to_string(receipt_num) == Arg(close, 4) &&
                   Narrow(ap_num.get()) == kAp && demo == VARIANT_FALSE,
               tag + "EcrCheck: the closed receipt's number and the AP number",
               Hex(hr) + " Value " + std::to_string(value) + " receipt " + std::to_string(receipt_num) + " ap " +
                   Narrow(ap_num.get()));

  tarvo->PortClose(port_num);
  value = -1;
  hr = tarvo->SendClear(port_num, &value);
  // The entry stays after PortClose with its device closed: a command fails
  // on the write (the same failure the Linux build gives), and does not hang.
  report.Check(FAILED(hr), tag + "PortClose returns; a command on the closed port fails",
               Hex(hr) + " Value " + std::to_string(value));
  report.Check(sink.bad_calls() == 0, tag + "every event came as a method call");
  tarvo.Reset();
  PumpPending();
  report.Check(sink.Count("OnDestroy") == 1, tag + "OnDestroy when released");
}

}  // namespace tarvo::wine
