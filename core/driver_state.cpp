#include "core/driver_state.h"

#include <string>

namespace tarvo::core {

namespace {
std::string PortName(std::uint8_t port_num) { return "COM" + std::to_string(port_num); }
}  // namespace

// --- PortRegistry --------------------------------------------------------------

std::shared_ptr<PortEntry> PortRegistry::At(int index) const {
  if (index < 0 || index >= kMaxEntries) return nullptr;
  std::lock_guard<std::mutex> lock(mu_);
  return slots_[index];
}

int PortRegistry::Find(std::uint8_t port_num) const {
  const std::string name = PortName(port_num);
  std::lock_guard<std::mutex> lock(mu_);
  int found = -1;
  // Every entry is compared; were there several matches, the last would win.
  for (int i = 0; i < kMaxEntries; ++i)
    if (slots_[i] && slots_[i]->Name() == name) found = i;
  return found;
}

int PortRegistry::IndexOf(const link::TComPort* port) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (int i = 0; i < kMaxEntries; ++i)
    if (slots_[i] && slots_[i]->Port.get() == port) return i;
  return -1;
}

int PortRegistry::Append(std::shared_ptr<PortEntry> entry) {
  std::lock_guard<std::mutex> lock(mu_);
  for (int i = 0; i < kMaxEntries; ++i) {
    if (!slots_[i]) {
      slots_[i] = std::move(entry);
      return i;
    }
  }
  return -1;
}

void PortRegistry::Remove(int index) {
  if (index < 0 || index >= kMaxEntries) return;
  std::lock_guard<std::mutex> lock(mu_);
  slots_[index].reset();
}

int PortRegistry::Count() const {
  std::lock_guard<std::mutex> lock(mu_);
  int n = 0;
  for (const auto& s : slots_)
    if (s) ++n;
  return n;
}

std::vector<std::pair<int, std::shared_ptr<PortEntry>>> PortRegistry::Entries() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::pair<int, std::shared_ptr<PortEntry>>> out;
  for (int i = 0; i < kMaxEntries; ++i)
    if (slots_[i]) out.emplace_back(i, slots_[i]);
  return out;
}

void PortRegistry::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& s : slots_) s.reset();
}

// --- MessageQueue --------------------------------------------------------------

bool MessageQueue::Push(QueuedMessage message) {
  std::lock_guard<std::mutex> lock(mu_);
  const int next = (write_ + 1) % kSlots;
  // The ring keeps one slot free (equal indices mean empty). Once anything
  // waits in the overflow list, newer messages queue behind it to keep order.
  if (!overflow_.empty() || next == read_) {
    overflow_.push_back(std::move(message));
    return false;
  }
  ring_[write_] = std::move(message);
  write_ = next;
  return true;
}

bool MessageQueue::Empty() const {
  std::lock_guard<std::mutex> lock(mu_);
  return read_ == write_;
}

std::optional<QueuedMessage> MessageQueue::Front() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (read_ == write_) return std::nullopt;
  return ring_[read_];
}

void MessageQueue::Pop() {
  std::lock_guard<std::mutex> lock(mu_);
  if (read_ == write_) return;
  PopLocked();
}

std::optional<QueuedMessage> MessageQueue::Take() {
  std::lock_guard<std::mutex> lock(mu_);
  if (read_ == write_) return std::nullopt;
  std::optional<QueuedMessage> message(std::move(ring_[read_]));
  PopLocked();
  return message;
}

void MessageQueue::PopLocked() {
  ring_[read_] = QueuedMessage{};
  read_ = (read_ + 1) % kSlots;
  while (!overflow_.empty() && (write_ + 1) % kSlots != read_) {
    ring_[write_] = std::move(overflow_.front());
    overflow_.pop_front();
    write_ = (write_ + 1) % kSlots;
  }
}

int MessageQueue::QueueRead() const {
  std::lock_guard<std::mutex> lock(mu_);
  return read_;
}

int MessageQueue::QueueWrite() const {
  std::lock_guard<std::mutex> lock(mu_);
  return write_;
}

std::size_t MessageQueue::OverflowSize() const {
  std::lock_guard<std::mutex> lock(mu_);
  return overflow_.size();
}

void MessageQueue::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& s : ring_) s = QueuedMessage{};
  overflow_.clear();
  read_ = write_ = 0;
}

// --- DriverState ---------------------------------------------------------------

DriverState& DriverState::Instance() {
  static DriverState state;
  return state;
}

void DriverState::ResetForTest() {
  ports.Clear();
  queue.Clear();
}

}  // namespace tarvo::core
