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
// the entry it came from; a message whose entry is gone is dropped.
struct QueuedMessage {
  std::string bytes;
  std::weak_ptr<PortEntry> source;
};

// The ring of ten received messages between the read thread (producer) and
// the dispatcher (consumer, one message per Timer2 tick). When the ring is
// full, further messages wait in an overflow list behind it, in order, and
// move into the ring as it drains: no message is ever lost.
class MessageQueue {
 public:
  static constexpr int kSlots = 10;

  // Returns false when the message had to go to the overflow list.
  bool Push(QueuedMessage message);
  bool Empty() const;
  // A copy of the message in slot QueueRead, if any.
  std::optional<QueuedMessage> Front() const;
  // Consumes slot QueueRead and refills the ring from the overflow list.
  void Pop();
  // Front and Pop in one step: with controls on several threads, each
  // message is taken by exactly one of them.
  std::optional<QueuedMessage> Take();
  int QueueRead() const;
  int QueueWrite() const;
  std::size_t OverflowSize() const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::array<QueuedMessage, kSlots> ring_;
  int read_ = 0;
  int write_ = 0;
  std::deque<QueuedMessage> overflow_;

  void PopLocked();  // caller holds mu_; the ring is not empty
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
