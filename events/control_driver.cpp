#include "events/control_driver.h"

namespace tarvo::events {

ControlDriver::ControlDriver(platform::MessageLoop& loop, core::DriverState& driver)
    : impl_(loop, driver), commands_(impl_), dispatcher_(impl_, commands_) {
  impl_.SetMessageHandler(
      [this](const core::QueuedMessage& msg) { dispatcher_.ProcessQueuedMessage(msg); });
}

ControlDriver::~ControlDriver() {
  impl_.SetMessageHandler(nullptr);
  dispatcher_.SetReceiver(nullptr);
}

}  // namespace tarvo::events
