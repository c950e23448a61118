#pragma once
// The receive path of one port entry as a pure state machine.
//
// The read thread calls RxPath::HandleNotify once per arrival notification
// (entry index, byte count). Everything the algorithm touches of the port
// entry -- its input buffer, age counter, acknowledgement flags, last frame,
// the serial port itself, the log and the message queue -- is reached through
// RxEntryContext, so tests drive the algorithm byte by byte with a fake.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo::link {

class RxEntryContext {
 public:
  // Input received and not yet consumed (RxBuffer). Only the read thread
  // touches it while HandleNotify runs.
  virtual std::string& Buffer() = 0;
  virtual std::int32_t RxAge() = 0;
  virtual void SetRxAge(std::int32_t age) = 0;
  virtual void SetAcked(std::uint8_t acked) = 0;
  virtual std::uint8_t AwaitAck() = 0;
  virtual void SetAwaitAck(std::uint8_t await) = 0;
  // A copy of the last frame the host sent on this port.
  virtual std::string LastFrame() = 0;
  // Reads at most n waiting bytes without waiting. May throw (port closed).
  virtual std::string Receive(std::int32_t n) = 0;
  // Writes one complete byte string. May throw (port closed).
  virtual void Transmit(std::string_view bytes) = 0;
  // A diagnostic line of kind 'C', 'R' or 'W'; the context drops it when the
  // entry does not log.
  virtual void Log(char kind, std::string_view text) = 0;
  // Whether one more message of this entry can be queued. Asked before a good
  // frame is acknowledged: a frame that could not be queued is refused with
  // NAK instead, so that the register keeps it and sends it again later. The
  // context logs why it has no room. A context without a bounded queue always
  // has room.
  virtual bool QueueHasRoom() { return true; }
  // A complete good message: kind, entry index digit, undoubled body.
  virtual void Enqueue(std::string message) = 0;

 protected:
  ~RxEntryContext() = default;
};

class RxPath {
 public:
  // A frame start whose end never comes is discarded (logged 'C') once the
  // buffer passes this many bytes.
  static constexpr std::size_t kMaxBuffer = 64 * 1024;

  // Handles one notification for entry `index` that reported `count` bytes.
  // Exceptions from Receive/Transmit propagate to the caller.
  void HandleNotify(RxEntryContext& entry, int index, std::int32_t count);
};

}  // namespace tarvo::link
