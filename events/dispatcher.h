#pragma once
// The message dispatcher: takes each message that a register sent (and that
// the receive path queued) on the control's thread, one at a time, and hands
// it to HandleMessage (message_handler.h) with a context over the message's
// port entry and this control:
//  - the register's state is the port entry's (form and multiplier of the
//    last PLU inquiry, the waste sequence, the answer slots);
//  - Mode650 and the event receiver are the control's;
//  - the driver's own replies go out through the host commands
//    OperationEnabled and SendPlu, the only way the dispatcher writes to a
//    register;
//  - log lines are the port's.
// A message whose port entry is gone is dropped; a failure while processing
// one message is logged for its port and the message counts as consumed.
#include <cstdint>
#include <string_view>

#include "commands/host_commands.h"
#include "core/driver_state.h"
#include "core/tarvo_impl.h"
#include "events/event_receiver.h"
#include "events/message_handler.h"
#include "events/message_kinds.h"

namespace tarvo::events {

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
  class EntryContext;

  core::TarvoImpl1& impl_;
  commands::HostCommands& commands_;
  EventReceiver* receiver_ = nullptr;
};

}  // namespace tarvo::events
