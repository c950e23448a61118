#include "core/driver_state.h"

#include <algorithm>
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

namespace {

bool SameEntry(const std::weak_ptr<PortEntry>& source, const std::weak_ptr<PortEntry>& entry) {
  return !source.owner_before(entry) && !entry.owner_before(source);
}

// The control a message belongs to; nullptr when its entry is gone. expired()
// only reads the count: the queue never holds the last reference to an
// entry, so no entry is ever destroyed under the queue's lock.
const void* OwnerOf(const QueuedMessage& m) { return m.source.expired() ? nullptr : m.owner; }

}  // namespace

bool MessageQueue::Push(QueuedMessage message) {
  // The producer names the owner (a port's reader holds no strong reference
  // to its own entry: the last one must never be dropped on the reader's
  // thread); others may leave it to be looked up here.
  if (message.owner == nullptr)
    if (const std::shared_ptr<PortEntry> entry = message.source.lock()) message.owner = entry->owner;
  std::lock_guard<std::mutex> lock(mu_);
  pending_.push_back(std::move(message));
  return pending_.size() < static_cast<std::size_t>(kSlots);
}

std::size_t MessageQueue::PendingFor(const std::weak_ptr<PortEntry>& entry) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::size_t n = 0;
  for (const QueuedMessage& m : pending_)
    if (SameEntry(m.source, entry)) ++n;
  return n;
}

bool MessageQueue::HasRoomFor(const std::weak_ptr<PortEntry>& entry) const {
  return PendingFor(entry) < kMaxPendingPerPort;
}

bool MessageQueue::Empty() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pending_.empty();
}

std::optional<QueuedMessage> MessageQueue::Front() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (pending_.empty()) return std::nullopt;
  return pending_.front();
}

void MessageQueue::Pop() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!pending_.empty()) EraseLocked(pending_.begin());
}

std::optional<QueuedMessage> MessageQueue::Take() {
  std::lock_guard<std::mutex> lock(mu_);
  if (pending_.empty()) return std::nullopt;
  std::optional<QueuedMessage> message(std::move(pending_.front()));
  EraseLocked(pending_.begin());
  return message;
}

std::optional<QueuedMessage> MessageQueue::TakeFor(const void* owner) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    const void* belongs_to = OwnerOf(*it);
    if (belongs_to != owner && belongs_to != nullptr) continue;
    std::optional<QueuedMessage> message(std::move(*it));
    EraseLocked(it);
    return message;
  }
  return std::nullopt;
}

void MessageQueue::EraseLocked(std::deque<QueuedMessage>::iterator at) {
  pending_.erase(at);
  taken_ = (taken_ + 1) % kSlots;
}

int MessageQueue::QueueRead() const {
  std::lock_guard<std::mutex> lock(mu_);
  return taken_;
}

int MessageQueue::QueueWrite() const {
  std::lock_guard<std::mutex> lock(mu_);
  const std::size_t in_ring = std::min<std::size_t>(pending_.size(), kSlots - 1);
  return static_cast<int>((static_cast<std::size_t>(taken_) + in_ring) % kSlots);
}

std::size_t MessageQueue::OverflowSize() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pending_.size() - std::min<std::size_t>(pending_.size(), kSlots - 1);
}

std::size_t MessageQueue::Size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pending_.size();
}

void MessageQueue::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  pending_.clear();
  taken_ = 0;
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
