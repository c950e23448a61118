#include "core/read_thread.h"

#include <exception>
#include <string>

#include "core/diag_log.h"

namespace tarvo::core {

namespace {

// The reader's own notice that the line hung up (a = b = 0).
constexpr std::uint32_t kLineHungUp = platform::kRxNotify + 0x10;

// Binds the receive algorithm to one port entry. The read thread holds the
// entry's rx_mutex for as long as the context is in use.
class EntryContext final : public link::RxEntryContext {
 public:
  EntryContext(DriverState& driver, PortEntry& entry) : driver_(driver), entry_(entry) {}

  std::string& Buffer() override { return entry_.RxBuffer; }
  std::int32_t RxAge() override { return entry_.RxAge.load(); }
  void SetRxAge(std::int32_t age) override { entry_.RxAge.store(age); }
  void SetAcked(std::uint8_t acked) override { entry_.Acked.store(acked); }
  std::uint8_t AwaitAck() override { return entry_.AwaitAck.load(); }
  void SetAwaitAck(std::uint8_t await) override { entry_.AwaitAck.store(await); }
  std::string LastFrame() override { return entry_.LastFrame(); }
  std::string Receive(std::int32_t n) override { return entry_.Port->ReceiveBytes(n); }
  void Transmit(std::string_view bytes) override { entry_.Port->TransmitBytes(bytes); }
  void Log(char kind, std::string_view text) override {
    if (entry_.LogSize.load() > 0) DiagLog::Instance().WriteLog(kind, entry_.Name(), text);
  }
  bool QueueHasRoom() override {
    if (driver_.queue.HasRoomFor(entry_.weak_from_this())) return true;
    // The host has not taken this port's messages for a while (its loop does
    // not run, or an event handler does not return). The frame is refused.
    Log('s', "MessageQueue full: " + std::to_string(MessageQueue::kMaxPendingPerPort) +
                 " messages wait for dispatch, frame refused");
    return false;
  }
  void Enqueue(std::string message) override {
    // The message refers to its entry weakly (the reader never holds a
    // strong reference to its own entry), so a message whose entry is gone
    // is dropped by the dispatcher. Room was checked before the frame was
    // acknowledged (QueueHasRoom): Push never refuses.
    driver_.queue.Push(QueuedMessage{std::move(message), entry_.weak_from_this(), entry_.owner});
  }

 private:
  DriverState& driver_;
  PortEntry& entry_;
};

}  // namespace

TReadThread::TReadThread(DriverState& driver, PortEntry& entry)
    : driver_(driver), entry_(entry), thread_([this] { Run(); }) {}

TReadThread::~TReadThread() { Stop(); }

void TReadThread::Stop() {
  mailbox_.Quit();
  if (thread_.joinable()) thread_.join();
}

void TReadThread::PostRxNotify(std::int32_t count) {
  mailbox_.Post(platform::ThreadMessage{platform::kRxNotify, 0, count});
}

void TReadThread::PostHangUp() { mailbox_.Post(platform::ThreadMessage{kLineHungUp, 0, 0}); }

void TReadThread::Run() {
  platform::ThreadMessage msg;
  while (mailbox_.Wait(msg)) {
    if (msg.code == platform::kRxNotify) {
      HandleRx(static_cast<std::int32_t>(msg.b));
    } else if (msg.code == kLineHungUp) {
      // The port's event thread reports a hang-up once; the port stays down
      // until it is closed and opened again (or reopened by Init/PortOpen).
      if (entry_.LogSize.load() > 0) DiagLog::Instance().WriteLog('C', entry_.Name(), "Line hung up");
    }
    // Every other message is ignored.
  }
}

void TReadThread::HandleRx(std::int32_t count) {
  // The index names the port in the queued message; an entry no longer in
  // the registry (withdrawn, or its control gone) has no one to serve.
  const int index = driver_.ports.IndexOf(entry_.Port.get());
  if (index < 0) return;
  // A notification that was on its way while the port was closed: there is
  // nothing to read any more, and no error to report.
  if (!entry_.Port->Connected()) return;
  std::lock_guard<std::mutex> lock(entry_.rx_mutex);
  EntryContext context(driver_, entry_);
  try {
    rx_.HandleNotify(context, index, count);
  } catch (const std::exception& e) {
    // A read or write failed, typically because the port was closed or the
    // device went away meanwhile. The reader goes on with the next input.
    context.Log('E', std::string("ReadThread ERROR: ") + e.what());
  }
}

}  // namespace tarvo::core
