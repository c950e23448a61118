#pragma once
// The message dispatcher: turns each message that a register sent (and that
// the receive path queued) into its effects on the host side, on the
// control's thread, one message at a time:
//  - the events of the message, raised synchronously through the receiver;
//  - the driver's own replies to the register (an automatic enable, a
//    refusal, or a placeholder PLU record), sent through the host commands;
//  - per-port state (the form of the last PLU inquiry and its multiplier) and
//    the control's waste flags;
//  - the answer slots in which waiting host commands find the register's
//    answers.
//
// The dispatcher writes to a register only through the host commands
// OperationEnabled and SendPlu. A message whose port entry is gone is
// dropped; a failure while processing one message is logged for its port
// and the message counts as consumed.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "commands/host_commands.h"
#include "core/driver_state.h"
#include "core/tarvo_impl.h"
#include "events/event_receiver.h"

namespace tarvo::events {

// Message kinds the registers send.
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

// The display text with which the 841 mode refuses a waste sell request.
inline constexpr std::u16string_view kRefusalText = u"Tiltott m\u0171velet!";

// "COM12" -> 12: the (at most two) decimal digits after "COM"; 0 when the
// name does not have that form.
std::uint8_t PortNumFromName(std::string_view port_name);

class Dispatcher {
 public:
  Dispatcher(core::TarvoImpl1& impl, commands::HostCommands& commands);
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Where events go; nullptr drops them (replies and state changes still
  // happen). Not owned.
  void SetReceiver(EventReceiver* receiver) { receiver_ = receiver; }
  EventReceiver* receiver() const { return receiver_; }

  // Processes one queued message: kind byte, port index digit, payload.
  // Never throws.
  void ProcessQueuedMessage(const core::QueuedMessage& msg);

 private:
  struct Context;  // the message being processed

  void Route(Context& c);

  void OnTableTransfer(Context& c);
  void OnPluInquiry(Context& c);
  void OnCustInquiry(Context& c);
  void OnPaidInOutRequest(Context& c);
  void OnIdPress(Context& c);
  void OnDailyReport(Context& c);
  void OnClerkLogin(Context& c);
  void OnModifyRequest(Context& c);
  void OnItemLine(Context& c, bool waste);
  void OnTender(Context& c);
  // Opening, closing and cancelling a receipt: one record, logged and handed
  // to the receiver's `handler`; `event` names the event and starts the line.
  using ReceiptHandler = void (EventReceiver::*)(std::uint8_t, const std::string&,
                                                 const std::string&, std::uint8_t, std::int32_t,
                                                 const std::string&);
  void OnReceipt(Context& c, std::string_view event, ReceiptHandler handler);

  bool Mode650() const { return impl_.Mode650 != 0; }
  void Log(Context& c, std::string_view text);
  // Hands one event to the receiver, if any. A receiver that throws is
  // logged and otherwise treated as if the event had been delivered.
  void Raise(Context& c, const std::function<void(EventReceiver&)>& raise);
  // The driver's own replies; their result codes and failures do not change
  // the course of the dispatcher (failures are logged).
  void AutoEnable(Context& c);
  void Refuse(Context& c);
  void SendEmptyPlu(Context& c);
  void Reply(Context& c, const std::function<void(std::int32_t& value)>& send);
  void LogFailure(Context& c, std::string_view what);

  core::TarvoImpl1& impl_;
  commands::HostCommands& commands_;
  EventReceiver* receiver_ = nullptr;
};

}  // namespace tarvo::events
