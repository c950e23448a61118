// Writes the seed corpus of the fuzz targets:
//   fuzz_corpus_gen <folder>      (normally fuzz/corpus)
// The register's messages are those of the simulator's business days
// (tools/sim/messages.h, the steps of BusinessDay841 and ShortDay650); the
// rest are the link's fixed frames and control sequences, the cases of the
// unit tests, and the inputs of faults found so far, kept as regression
// cases. Each seed is one file named after what it holds.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/frame.h"
#include "tools/sim/messages.h"

namespace fs = std::filesystem;
namespace msg = tarvo::sim::msg;
namespace link = tarvo::link;

namespace {

using Seeds = std::vector<std::pair<std::string, std::string>>;

std::string Bytes(std::initializer_list<unsigned> bytes) {
  std::string out;
  for (unsigned b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

std::string Utf16(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

// The register's messages of a business day, kind first.
Seeds RegisterMessages() {
  const std::string ap = "AP1234567";
  const msg::Stamp at{261210, 1405, 1};
  msg::DailyReportData report;
  report.date = 261210;
  report.time = 2200;
  report.report_no = 17;
  report.taxable = {12345, 0, 500, 0, 123456789012LL};
  report.receipts = 3;
  report.cancels = 1;
  report.grand_total = 98765432101234LL;
  msg::CheckData check{3, 1245, 1, 1111, 2, '1', ap, 261210};
  return {
      {"day_open", msg::DayOpen(at, ap)},
      {"receipt_open", msg::ReceiptOpen(at, 1, ap)},
      {"receipt_close", msg::ReceiptClose(at, 1, ap)},
      {"receipt_cancel", msg::ReceiptCancel(at, 2, ap)},
      {"sale_plu", msg::Sale({0, 'P', "5998", 100, 200, 2000})},
      {"sale_long_code", msg::Sale({1, 'P', "1234567", 250, 250, 1000})},
      {"sale_department", msg::Sale({2, 'D', "1", 500, 500, 1000})},
      {"waste_plu", msg::Waste({0, 'P', "5998", 100, 100, 1000})},
      {"modifier_d", msg::Modifier('D', 1, -95)},
      {"modifier_s", msg::Modifier('S', 0, 50)},
      {"tender_841", msg::Tender({0, 1000, 1000, 145, 1})},
      {"tender_650", msg::Tender({0, 500, 500, 50, std::nullopt})},
      {"paid_out", msg::PaidInOut({'O', -5000, 0}, at, ap)},
      {"customer_inquiry", msg::CustomerInquiry("C0001")},
      {"plu_inquiry_short", msg::PluInquiryShort("5998", ap)},
      {"plu_inquiry_short_no_ap", msg::PluInquiryShort("1234567")},
      {"plu_inquiry_long", msg::PluInquiryLong({1111, 0, 0, 1000, "5998"}, ap, 261210)},
      {"sell_request_waste", msg::PluInquiryLong({1111, 'W', 1, 1000, ""}, ap, 261210)},
      {"paid_request", msg::PaidRequest({'O', 1, 1}, ap, 261210)},
      {"id_key", msg::IdKey("ID0000042")},
      {"clerk_login", msg::ClerkLogin(1111)},
      {"operation_request", msg::OperationRequest()},
      {"modifier_request", msg::ModifierRequest({'D', 1, false, -95})},
      {"daily_report", msg::DailyReport(report)},
      {"check_answer", msg::CheckAnswer(check)},
      {"connection_message", msg::ConnectionMessage(ap)},
      {"status_answer", msg::StatusAnswer(true)},
      {"table6_answer", msg::TableAnswer(6, 100, std::string(2000, '\0'))},
      {"table7_answer", msg::TableAnswer(7, 2, std::string("Anna\0\0\0\0\0\0\0\0\0\x01\x00\x57\x04\0\0\x01\x00"
                                                           "Bela\0\0\0\0\0\0\0\0\0\x01\x00\xAE\x08\0\0\x01\x00",
                                                           42))},
  };
}

// Bodies the host sends (table transfers as the fixed frames carry them).
Seeds HostBodies() {
  return {
      {"host_link_reset", link::TableBody(link::kFnLinkReset, 0, {})},
      {"host_identify", link::TableBody(link::kFnIdentify, 1)},
      {"host_status", link::TableBody(link::kFnStatus, 1)},
      {"host_read_table6", link::TableBody(link::FnReadTable(6), 1)},
      {"host_check_request", Bytes({0x9B})},
      {"body_empty", ""},
      {"body_dle", Bytes({0x10})},
      {"body_dle_etx", Bytes({0x9B, 0x10, 0x03})},
      {"body_checksum_is_dle", Bytes({0xCA})},
  };
}

// Line input for the receive machine: byte 0 = read-plan length and flags,
// then the plan, then the bytes on the line (see rx_path_fuzz.cpp).
std::string OneRead(std::string_view line) { return std::string(1, '\0') + std::string(line); }
std::string Reads(std::initializer_list<unsigned> sizes, std::string_view line) {
  std::string out(1, static_cast<char>(sizes.size()));
  for (unsigned s : sizes) out.push_back(static_cast<char>(s - 1));
  return out + std::string(line);
}

Seeds LineInputs(const Seeds& messages) {
  Seeds seeds;
  // Every message but the long table answer, which would make every input
  // that long and the machine's rescans of it slow.
  for (const auto& [name, body] : messages)
    if (body.size() < 256) seeds.emplace_back("frame_" + name, OneRead(link::BuildFrame(body)));
  const std::string frame = Bytes({0x10, 0x02, 0x9D, 0x41, 0x10, 0x03, 0xFC});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"frame_in_three_reads", Reads({2, 3, 2}, frame)},
      {"frame_byte_by_byte", Reads({1}, frame)},
      {"escaped_dle_etx_in_body", OneRead(Bytes({0x10, 0x02, 0x9D, 0x10, 0x10, 0x03, 0x41, 0x10, 0x03, 0xE9}))},
      {"bad_checksum", OneRead(Bytes({0x10, 0x02, 0x9D, 0x41, 0x10, 0x03, 0xFD}))},
      {"empty_body", OneRead(Bytes({0x10, 0x02, 0x10, 0x03, 0xDA}))},
      {"enq", OneRead(Bytes({0x05}))},
      {"nak", OneRead(Bytes({0x15}))},
      {"dle_ack", OneRead(Bytes({0x10, 0x06}))},
      {"dle_ack_enq", OneRead(Bytes({0x10, 0x06, 0x05}))},
      {"dle_nak", OneRead(Bytes({0x10, 0x15}))},
      {"dle_then_ack", Reads({1, 1}, Bytes({0x10, 0x06}))},
      {"ack_in_handshake", std::string(1, '\x10') + Bytes({0x06})},
      {"dle_ack_then_frame", OneRead(Bytes({0x10, 0x06}) + frame)},
      {"stale_partial_frame", Reads({3, 0x40 | 7}, Bytes({0x10, 0x02, 0x9D}) + frame)},
      {"garbage_then_frame", Reads({2, 7}, Bytes({0xFF, 0x41}) + frame)},
      {"flood_unterminated_frame", std::string(1, '\x21') + Bytes({0x03, 0x10, 0x02, 0x41})},
      // Regression: a body that begins with DLE keeps only one DLE of its pair.
      {"regression_body_starts_with_dle", OneRead(Bytes({0x10, 0x02, 0x10, 0x10, 0x41, 0x10, 0x03, 0x89}))},
      // Regression: a DLE followed by neither DLE nor ETX is a framing error.
      {"regression_lone_dle_in_body",
       OneRead(Bytes({0x10, 0x02, 0x81, 0x10, 0x41, 0x10, 0x42, 0x10, 0x03, 0xC6}))},
  };
  seeds.insert(seeds.end(), cases.begin(), cases.end());
  return seeds;
}

Seeds EncodingInputs() {
  return {
      {"le_minus_one", Bytes({0xFF, 0xFF, 0xFF, 0xFF})},
      {"code14_123", Bytes({0, 0, 0, 0, 0x7B, 0, 0, 0})},
      {"code14_high_part", Bytes({0x40, 0xE2, 0x01, 0x00, 0xF2, 0xEF, 0xB3, 0x04})},
      {"code14_digits", "12345678901234"},
      {"split_two_values", Bytes({2, 0x02, '1', 0xFF, '2'})},
      {"split_trailing_separator", Bytes({3, 0x04, 'a', 0xFF, 'b', 0xFF})},
      {"split_accents", Bytes({13, 0x01}) + "\xC1rv\xEDzt\xFBr\xF5\xFF\xE9"},
      {"register_text_arvizturo", Utf16(u"árvíztűrő tükörfúrógép")},
      {"register_text_outside_code_page", Utf16(u"€ ÿ ˙ 漢 \U0001F600")},
  };
}

// Registry files as registration writes them and as other tools write them;
// after the text, NUL-separated key, value name and value to set.
Seeds RegistryInputs() {
  const std::string registered =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_CLASSES_ROOT\\CLSID]\n\n"
      "[HKEY_CLASSES_ROOT\\CLSID\\{1}]\n@=\"Tarvo Control\"\n\n"
      "[HKEY_CLASSES_ROOT\\CLSID\\{1}\\InprocServer32]\n@=\"/opt/a \\\"b\\\"\\\\c.so\"\n"
      "\"ThreadingModel\"=\"Apartment\"\n\n"
      "[HKEY_CLASSES_ROOT\\CLSID\\{1}\\Control]\n\n";
  const std::string others =
      "Windows Registry Editor Version 5.00\r\n\r\n; a comment\r\n"
      "[HKEY_CLASSES_ROOT\\TarvoMDrv.Tarvo\\Clsid]\r\n"
      "@=\"{5B2A5F71-0C3E-4B8A-9D21-7E4F1A6C3B90}\"\r\n"
      "\"Flags\"=dword:00000001\r\n\"Blob\"=hex:01,02,\\\r\n  03\r\n[-HKEY_CLASSES_ROOT\\Gone]\r\n";
  const std::string nul(1, '\0');
  return {
      {"registered", registered + nul + "CLSID\\{1}\\Verb\\0" + nul + nul + "Properties,0,2"},
      {"written_by_others", others + nul + "TARVOMDRV.TARVO\\CLSID" + nul + "Extra" + nul + "1"},
      // Regression: a value with a line break must not add a key.
      {"regression_value_with_line_break",
       registered + nul + "CLSID\\{1}" + nul + nul + "x\"\n[HKEY_CLASSES_ROOT\\Injected]\n@=\"y"},
      // Regression: a raw value cut off by the end of the file.
      {"regression_raw_value_cut_off",
       "[HKEY_CLASSES_ROOT\\K]\n\"Blob\"=hex:01,02,\\" + nul + "K" + nul + "Next" + nul + "1"},
      // Regression: cut off after several backslashes.
      {"regression_raw_value_cut_off_after_backslashes", "[HKEY_CLASSES_ROOT\\K]\n\"B\"=hex:01,\\\\\\"},
      // Regression: cut off after a CR and a backslash.
      {"regression_raw_value_cut_off_after_cr", "[HKEY_CLASSES_ROOT\\K]\n\"B\"=hex:01,\r\\"},
      {"raw_value_with_stray_cr", "[HKEY_CLASSES_ROOT\\K]\r\n\"N\"=dword:1\r\r\n"},
  };
}

Seeds VariantInputs() {
  return {
      {"whole", Utf16(u"12")},
      {"blanks_and_sign", Utf16(u" -7 ")},
      {"fraction", Utf16(u"12.5")},
      {"exponent", Utf16(u"1e3")},
      {"too_large_real", Utf16(u"1e999")},
      {"true", Utf16(u"True")},
      {"currency_max", Utf16(u"922337203685477")},
      {"ui8_max", Utf16(u"18446744073709551615")},
      // Regression: 35 digits overflowed the scaling to currency.
      {"regression_35_digits_to_currency", Utf16(u"34028236692093846346337460743176822")},
  };
}

void Write(const fs::path& dir, const Seeds& seeds) {
  fs::create_directories(dir);
  for (const auto& [name, bytes] : seeds) std::ofstream(dir / name, std::ios::binary) << bytes;
  std::cout << dir.string() << ": " << seeds.size() << " seeds\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: fuzz_corpus_gen <corpus folder>\n";
    return 2;
  }
  const fs::path root = argv[1];
  const Seeds messages = RegisterMessages();
  Seeds bodies = messages;
  const Seeds host = HostBodies();
  bodies.insert(bodies.end(), host.begin(), host.end());

  Write(root / "rx_path", LineInputs(messages));
  Write(root / "frame", bodies);
  Write(root / "event_builders", messages);
  Write(root / "encodings", EncodingInputs());
  Write(root / "registry_format", RegistryInputs());
  Write(root / "variant", VariantInputs());
  return 0;
}
