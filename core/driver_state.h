#pragma once
// State that belongs to the loaded driver and is shared by every control of
// the process: the port registry and the message queue. (The diagnostic log
// is DiagLog::Instance(); the answer slots belong to each port entry.)
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/port_entry.h"

namespace tarvo::core {

// The port registry (`PortList`): at most four entries with stable indices
// 0..3. The index is what the receive path and the message queue use to name
// a port. All methods are thread-safe; entries are handed out as shared
// pointers so that the read thread can keep working on an entry while the
// host's thread changes the registry.
class PortRegistry {
 public:
  static constexpr int kMaxEntries = 4;

  std::shared_ptr<PortEntry> At(int index) const;
  // Index of the entry named "COM" + port_num, or -1 (`FindPortEntry`).
  int Find(std::uint8_t port_num) const;
  // Index of the entry whose serial port is `port`, or -1.
  int IndexOf(const link::TComPort* port) const;
  // Stores the entry in the first free slot; -1 when four entries exist.
  int Append(std::shared_ptr<PortEntry> entry);
  void Remove(int index);
  int Count() const;
  // The occupied slots in index order.
  std::vector<std::pair<int, std::shared_ptr<PortEntry>>> Entries() const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::array<std::shared_ptr<PortEntry>, kMaxEntries> slots_;
};

// A received message: kind, entry index digit, undoubled body. `source` is
// the entry it came from; a message whose entry is gone is dropped. `owner`
// is the control that opened that entry (filled in by Push).
struct QueuedMessage {
  std::string bytes;
  std::weak_ptr<PortEntry> source;
  // The control that opened the port; Push looks it up when left null.
  const void* owner = nullptr;
};

// The received messages between the read threads (producers) and the
// controls' dispatchers (consumers, one message per Timer2 tick each).
//
// One queue serves every control of the process, but a message belongs to
// the control that opened its port: each control takes only its own
// messages, the oldest first, so every port's messages reach their control
// in arrival order, whichever control's timer happens to fire. A message
// whose entry is gone (or that has no entry) belongs to nobody; whichever
// control meets it first takes it, and its dispatcher drops it. That is
// what becomes of the undispatched messages of a destroyed control: its
// entries go with it.
//
// Bound: a port may have at most kMaxPendingPerPort messages waiting. The
// read thread asks HasRoomFor before it acknowledges a frame and refuses the
// frame with NAK when there is no room, so the register keeps it and sends
// it again later; Push itself never refuses (nothing acknowledged is ever
// lost). Each port has one read thread, so the check and the push that
// follows cannot race with another producer for the same port. With at most
// four entries, at most 4 x 64 = 256 messages wait in all. A port's bound is
// its own, so a control whose host stops pumping does not stall the ports
// of another control.
//
// The ten-slot ring of the original design survives as the indices that
// describe the queue: QueueRead counts taken messages modulo 10, the first
// nine waiting messages are "in the ring" (QueueWrite = QueueRead + their
// number, modulo 10) and the rest wait behind it (OverflowSize).
class MessageQueue {
 public:
  static constexpr int kSlots = 10;
  static constexpr std::size_t kMaxPendingPerPort = 64;

  // Appends the message. Returns false when it waits behind the ring (more
  // than nine messages are waiting), true otherwise.
  bool Push(QueuedMessage message);
  // Whether `entry` has fewer than kMaxPendingPerPort messages waiting.
  bool HasRoomFor(const std::weak_ptr<PortEntry>& entry) const;
  // Messages of `entry` waiting.
  std::size_t PendingFor(const std::weak_ptr<PortEntry>& entry) const;
  bool Empty() const;
  // A copy of the oldest message, if any.
  std::optional<QueuedMessage> Front() const;
  // Consumes the oldest message.
  void Pop();
  // Front and Pop in one step.
  std::optional<QueuedMessage> Take();
  // Takes the oldest message that belongs to the control `owner` or to
  // nobody (see above). With controls on several threads, each message is
  // taken by exactly one of them.
  std::optional<QueuedMessage> TakeFor(const void* owner);
  int QueueRead() const;
  int QueueWrite() const;
  std::size_t OverflowSize() const;
  std::size_t Size() const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::deque<QueuedMessage> pending_;  // oldest first
  int taken_ = 0;                      // messages taken, modulo kSlots

  void EraseLocked(std::deque<QueuedMessage>::iterator at);  // caller holds mu_
};

class DriverState {
 public:
  static DriverState& Instance();

  PortRegistry ports;
  MessageQueue queue;

  // Back to the state of a freshly loaded driver. For tests.
  void ResetForTest();
};

}  // namespace tarvo::core
