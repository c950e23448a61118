#pragma once
// What the handling of one register message reaches besides its payload.
//
// HandleMessage (message_handler.h) decides everything about a message --
// events, automatic replies, state changes, answer slots, log lines -- and
// does it through this interface: the state of the message's register, the
// control's protocol variant, the event receiver, the driver's own replies
// and the log. The driver implements it over a port entry and its control
// (Dispatcher); tests and fuzz targets implement it with plain fields, with
// no threads and no ports.
#include <cstdint>
#include <string_view>

#include "core/answer_slots.h"
#include "events/event_receiver.h"

namespace tarvo::events {

class DispatchContext {
 public:
  // The port_num of the message's register (events and replies carry it).
  virtual std::uint8_t PortNum() = 0;
  // The control's protocol variant: true for the 650 variant, false for 841.
  virtual bool Mode650() = 0;

  // State of the message's register.
  virtual bool ShortInquiry() = 0;  // the form of its last PLU inquiry
  virtual void SetShortInquiry(bool short_form) = 0;
  virtual void SetMultiplier(std::int32_t multiplier) = 0;
  virtual bool WasteRefused() = 0;
  virtual void SetWasteRefused(bool refused) = 0;
  virtual bool CloseWasteReported() = 0;
  virtual void SetCloseWasteReported(bool reported) = 0;
  virtual core::AnswerSlots& Answers() = 0;

  // Where events go; nullptr drops them.
  virtual EventReceiver* Receiver() = 0;

  // The driver's own replies to the register. Their outcome does not change
  // the handling; an implementation reports its failures itself and does
  // not throw.
  virtual void AutoEnable() = 0;          // enable, empty display message
  virtual void Refuse() = 0;              // disable with the refusal text
  virtual void SendPlaceholderPlu() = 0;  // the empty-code PLU record

  // One log line of the given kind for this register ('s' for event lines,
  // 'C' for irregular messages); dropped when the register does not log.
  virtual void Log(char kind, std::string_view text) = 0;

 protected:
  ~DispatchContext() = default;
};

}  // namespace tarvo::events
