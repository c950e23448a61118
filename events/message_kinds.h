#pragma once
// The kinds of the messages the registers send (the first byte of a body).
#include <cstdint>

namespace tarvo::events {

enum MessageKind : std::uint8_t {
  kKindTable = 0x01,
  kKindPluInquiry = 0x80,
  kKindDayOpen = 0x81,
  kKindOpenReceipt = 0x82,
  kKindSell = 0x83,  // to 0x85
  kKindModifyD = 0x86,
  kKindModifyS = 0x87,
  kKindTender = 0x88,
  kKindCloseReceipt = 0x89,
  kKindPaidInOut = 0x8A,
  kKindCancelReceipt = 0x8C,
  kKindCustInquiry = 0x8D,
  kKindWaste = 0x8E,  // to 0x90
  kKindPaidInOutRequest = 0x97,
  kKindIdPress = 0x98,
  kKindDailyReport = 0x99,
  kKindClerkLogin = 0x9C,
  kKindCheckAnswer = 0x9D,
  kKindOperationRequest = 0x9E,
  kKindModifyRequest = 0x9F,
};

}  // namespace tarvo::events
