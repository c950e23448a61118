#pragma once
// ControlDriver: the driver as one control uses it -- its driver state
// (ports, timers, read thread), the host commands and the dispatcher, wired
// so that every message Timer2 takes from the queue reaches the dispatcher.
// The automation control, the tools and the tests build on it.
//
// Everything runs on the thread that owns `loop`.
#include <memory>

#include "commands/host_commands.h"
#include "core/driver_state.h"
#include "core/tarvo_impl.h"
#include "events/dispatcher.h"
#include "events/event_receiver.h"
#include "platform/message_loop.h"

namespace tarvo::events {

class ControlDriver {
 public:
  explicit ControlDriver(platform::MessageLoop& loop,
                         core::DriverState& driver = core::DriverState::Instance());
  // Detaches the dispatcher from the timer before anything is torn down.
  ~ControlDriver();
  ControlDriver(const ControlDriver&) = delete;
  ControlDriver& operator=(const ControlDriver&) = delete;

  core::TarvoImpl1& impl() { return impl_; }
  commands::HostCommands& commands() { return commands_; }
  Dispatcher& dispatcher() { return dispatcher_; }

  // Where events go (not owned); nullptr drops them.
  void SetReceiver(EventReceiver* receiver) { dispatcher_.SetReceiver(receiver); }

 private:
  core::TarvoImpl1 impl_;
  commands::HostCommands commands_;
  Dispatcher dispatcher_;
};

}  // namespace tarvo::events
