// The parts of SerialDevice that do not depend on the operating system.
#include <string>

#include "platform/serial_device.h"

namespace tarvo::platform {

SerialError::SerialError(SerialStep step, int os_error, std::string detail)
    : std::runtime_error("serial device: system error " + std::to_string(os_error) + detail),
      step_(step),
      os_error_(os_error),
      detail_(std::move(detail)) {}

std::chrono::milliseconds DrainBound(int queued, std::int32_t rate) {
  const std::int64_t bits = std::int64_t{queued} * 10;
  const std::int64_t ms = rate > 0 ? (bits * 1000 + rate - 1) / rate : 0;
  return std::chrono::milliseconds(ms) + kDrainMargin;
}

}  // namespace tarvo::platform
