#include "core/read_thread.h"

#include <exception>
#include <string>

#include "core/diag_log.h"

namespace tarvo::core {

namespace {

// Binds the receive algorithm to one port entry. The read thread holds the
// entry's rx_mutex for as long as the context is in use.
class EntryContext final : public link::RxEntryContext {
 public:
  EntryContext(DriverState& driver, const std::shared_ptr<PortEntry>& entry)
      : driver_(driver), entry_(entry) {}

  std::string& Buffer() override { return entry_->RxBuffer; }
  std::int32_t RxAge() override { return entry_->RxAge.load(); }
  void SetRxAge(std::int32_t age) override { entry_->RxAge.store(age); }
  void SetAcked(std::uint8_t acked) override { entry_->Acked.store(acked); }
  std::uint8_t AwaitAck() override { return entry_->AwaitAck.load(); }
  void SetAwaitAck(std::uint8_t await) override { entry_->AwaitAck.store(await); }
  std::string LastFrame() override { return entry_->LastFrame(); }
  std::string Receive(std::int32_t n) override { return entry_->Port->ReceiveBytes(n); }
  void Transmit(std::string_view bytes) override { entry_->Port->TransmitBytes(bytes); }
  void Log(char kind, std::string_view text) override {
    if (entry_->LogSize.load() > 0) DiagLog::Instance().WriteLog(kind, entry_->Name(), text);
  }
  bool QueueHasRoom() override {
    if (driver_.queue.HasRoomFor(entry_)) return true;
    // The host has not taken this port's messages for a while (its loop does
    // not run, or an event handler does not return). The frame is refused.
    Log('s', "MessageQueue full: " + std::to_string(MessageQueue::kMaxPendingPerPort) +
                 " messages wait for dispatch, frame refused");
    return false;
  }
  void Enqueue(std::string message) override {
    driver_.queue.Push(QueuedMessage{std::move(message), entry_});
  }

 private:
  DriverState& driver_;
  const std::shared_ptr<PortEntry>& entry_;
};

}  // namespace

TReadThread::TReadThread(DriverState& driver) : driver_(driver), thread_([this] { Run(); }) {}

TReadThread::~TReadThread() {
  mailbox_.Quit();
  if (thread_.joinable()) thread_.join();
}

void TReadThread::PostRxNotify(int index, std::int32_t count) {
  mailbox_.Post(platform::ThreadMessage{platform::kRxNotify, index, count});
}

void TReadThread::Run() {
  platform::ThreadMessage msg;
  while (mailbox_.Wait(msg)) {
    if (msg.code != platform::kRxNotify) continue;  // every other message is ignored
    Handle(msg);
  }
}

void TReadThread::Handle(const platform::ThreadMessage& msg) {
  const int index = static_cast<int>(msg.a);
  std::shared_ptr<PortEntry> entry = driver_.ports.At(index);
  if (!entry) return;  // the entry went away with its control
  // A notification that was on its way while the port was closed: there is
  // nothing to read any more, and no error to report.
  if (!entry->Port->Connected()) return;
  std::lock_guard<std::mutex> lock(entry->rx_mutex);
  EntryContext context(driver_, entry);
  try {
    rx_.HandleNotify(context, index, static_cast<std::int32_t>(msg.b));
  } catch (const std::exception& e) {
    // A read or write failed, typically because the port was closed or the
    // device went away meanwhile. The thread serves the other ports on.
    context.Log('E', std::string("ReadThread ERROR: ") + e.what());
  }
}

}  // namespace tarvo::core
