#include "core/tarvo_impl.h"

#include <atomic>
#include <climits>
#include <string>

#include "core/diag_log.h"
#include "link/frame.h"

namespace tarvo::core {

namespace {

// Controls alive in this process. The log writer is shared by all of them and
// stops with the last one.
std::atomic<int> g_live_controls{0};

// Changes of the registry are serialised across all controls: finding a
// port's entry and appending a new one is one step, so two controls on two
// threads opening the same new port never register it twice, and an entry is
// retired and removed as one step, so an entry found is never a retired one.
// Held for those steps only, never across a handshake. Taken before an
// entry's life_mutex, never after it.
std::mutex g_registry_change;

std::string PortName(std::uint8_t port_num) { return "COM" + std::to_string(port_num); }

}  // namespace

TarvoImpl1::TarvoImpl1(platform::MessageLoop& loop, DriverState& driver)
    : loop_(loop), driver_(driver) {
  // ActiveFormCreate: FieldSeparator is 0xFF; the queue indices belong to the
  // driver, and the readers to the port entries.
  timer1_ = loop_.AddTimer("Timer1", kTimer1IntervalMs, [this] { Timer1Timer(); });
  timer2_ = loop_.AddTimer("Timer2", kTimer2IntervalMs, [this] { Timer2Timer(); });
  ++g_live_controls;
}

TarvoImpl1::~TarvoImpl1() {
  // ActiveFormDestroy.
  loop_.RemoveTimer(timer1_);
  loop_.RemoveTimer(timer2_);
  // Close the ports of this control's entries, in registry order, and stop
  // their readers. The entries leave the shared registry with the control
  // that created them; another control that reused one and still holds it
  // finds it retired (its writes fail, an open treats the port as new). The
  // other entries keep their indices.
  std::lock_guard<std::mutex> registry_change(g_registry_change);
  for (auto& [index, entry] : driver_.ports.Entries()) {
    if (entry->owner != this) continue;
    std::lock_guard<std::mutex> life(entry->life_mutex);
    if (entry->Retired()) continue;
    entry->Retire();
    driver_.ports.Remove(index);
  }
  // The last control stops the log writer; what was logged so far still
  // reaches the file.
  if (--g_live_controls == 0) DiagLog::Instance().StopWriter(/*flush_first=*/true);
}

std::int32_t TarvoImpl1::Init(std::uint8_t port_num, std::int32_t baudrate,
                              std::int32_t log_size, std::string_view sn_path,
                              std::string_view sn_path_utf8) {
  return OpenPort(port_num, baudrate, log_size, sn_path, sn_path_utf8, /*handshake=*/true);
}

std::int32_t TarvoImpl1::PortOpen(std::uint8_t port_num, std::int32_t baudrate,
                                  std::int32_t log_size, std::string_view sn_path,
                                  std::string_view sn_path_utf8) {
  return OpenPort(port_num, baudrate, log_size, sn_path, sn_path_utf8, /*handshake=*/false);
}

std::int32_t TarvoImpl1::OpenPort(std::uint8_t port_num, std::int32_t baudrate,
                                  std::int32_t log_size, std::string_view sn_path,
                                  std::string_view sn_path_utf8, bool handshake) {
  std::int32_t result = kOpenOk;
  if (port_num < 1 || port_num > 16) result = kOpenBadArgument;
  link::TBaudRate rate = link::TBaudRate::br9600;
  if (baudrate == 9600)
    rate = link::TBaudRate::br9600;
  else if (baudrate == 19200)
    rate = link::TBaudRate::br19200;
  else
    result = kOpenBadArgument;
  if (log_size > 500) log_size = 500;
  // The directory is a path of the file system, hence in its encoding; the
  // code-page form of sn_path would name a directory that does not exist as
  // soon as the path holds a non-ASCII character.
  std::string dir(sn_path_utf8);
  if (dir.empty())
    dir = ".";
  else if (dir.size() > 1 && dir.back() == '/')
    dir.pop_back();
  if (result != kOpenOk) return result;

  DiagLog& log = DiagLog::Instance();
  std::unique_lock<std::mutex> registry_change(g_registry_change);
  const int index = driver_.ports.Find(port_num);
  if (index >= 0) {
    std::shared_ptr<PortEntry> entry = driver_.ports.At(index);
    std::unique_lock<std::mutex> life(entry->life_mutex);
    // Entries are retired and removed under registry_change: the entry found
    // here is live.
    registry_change.unlock();
    entry->LogSize = log_size;
    log.RaiseMaxLogSize(log_size);
    log.SetLogDir(dir);
    entry->Acked = 0;
    entry->AwaitAck = 0;
    // A line that hung up is down until its port is opened afresh: the dead
    // device is let go here and opened again below, which fails (1) until
    // the device is back.
    if (entry->Port->LineDown()) entry->Port->CloseDevice();
    if (!entry->Port->Connected()) entry->Port->SetBaudRate(rate);  // an open port keeps its rate
    return OpenEntry(entry, index, /*appended=*/false, life, baudrate, log_size, sn_path,
                     handshake);
  }

  if (driver_.ports.Count() >= PortRegistry::kMaxEntries) return kOpenRegistryFull;
  auto port = std::make_shared<link::TComPort>();
  port->SetEvents(link::evRxChar);
  port->SetPort(PortName(port_num));
  port->SetBaudRate(rate);
  auto entry = std::make_shared<PortEntry>(port, port_num, this);
  // The arrival handler: bound to the entry's own reader, once.
  entry->AttachReader(driver_);
  port->SetDataBits(link::TDataBits::dbEight);
  port->SetStopBits(link::TStopBits::sbOneStopBit);
  port->SetSyncMethod(link::TSyncMethod::smNone);
  entry->LogSize = log_size;
  log.RaiseMaxLogSize(log_size);
  log.SetLogDir(dir);
  std::unique_lock<std::mutex> life(entry->life_mutex);
  const int appended_at = driver_.ports.Append(entry);
  registry_change.unlock();
  if (appended_at < 0) {
    entry->Retire();
    return kOpenRegistryFull;
  }
  return OpenEntry(entry, appended_at, /*appended=*/true, life, baudrate, log_size, sn_path,
                   handshake);
}

std::int32_t TarvoImpl1::OpenEntry(const std::shared_ptr<PortEntry>& entry, int index,
                                   bool appended, std::unique_lock<std::mutex>& life,
                                   std::int32_t baudrate, std::int32_t log_size,
                                   std::string_view sn_path, bool handshake) {
  DiagLog& log = DiagLog::Instance();
  if (entry->LogSize > 0 && !log.WriterRunning()) log.StartWriter();

  bool failed = false;
  try {
    entry->Port->OpenDevice();
    Log(*entry, 'r',
        std::string(handshake ? "Init " : "PortOpen ") + std::to_string(baudrate) + " " +
            std::to_string(log_size) + " " + std::string(sn_path));
  } catch (const std::exception& e) {
    failed = true;
    // A device the user may not open gets a line saying what to do about it.
    if (link::IsOpenPermissionFailure(e))
      Log(*entry, 'r', std::string(handshake ? "Init" : "PortOpen") + " ERROR: " + e.what());
  }
  // The handshake pumps the loop, where an event handler may close this very
  // port: it runs without the entry's lock.
  life.unlock();
  if (!failed && handshake) {
    try {
      Handshake(*entry);
    } catch (const std::exception&) {
      failed = true;
    }
  }
  if (!failed) return kOpenOk;
  if (appended) {
    // The entry this call appended goes again.
    std::lock_guard<std::mutex> registry_change(g_registry_change);
    life.lock();
    if (!entry->Retired()) {
      entry->Retire();
      driver_.ports.Remove(index);
    }
  }
  return kOpenFailed;
}

void TarvoImpl1::Handshake(PortEntry& entry) {
  // Both flags first, so that an acknowledgement arriving at once is not lost.
  entry.Acked = 0;
  entry.AwaitAck = 1;
  {
    // A bare ACK counts only while this wait lasts, also when the write or
    // the wait ends in an error.
    struct StopAwaiting {
      PortEntry& entry;
      ~StopAwaiting() { entry.AwaitAck = 0; }
    } stop{entry};
    SendFrame(entry, link::LinkResetFrame());
    PumpWait(kHandshakeRounds, [&] { return entry.Acked.load() == 1; });
  }
  // A register that stays silent is not an error: no identification request,
  // hence no connection event.
  if (entry.Acked.load() == 0) return;
  // The register's answer comes later as a table transfer (function 05) that
  // the dispatcher turns into the connection event.
  SendFrame(entry, link::IdentifyFrame());
}

void TarvoImpl1::PortClose(std::uint8_t port_num) {
  const std::string name = PortName(port_num);
  for (auto& [index, entry] : driver_.ports.Entries()) {
    if (entry->Name() != name) continue;
    Log(*entry, 'r', "PortClose");
    {
      std::lock_guard<std::mutex> life(entry->life_mutex);
      entry->Port->CloseDevice();
    }
    {
      std::lock_guard<std::mutex> lock(entry->rx_mutex);
      entry->RxBuffer.clear();
    }
    entry->SetLastFrame({});
    entry->RxAge = 0;
    entry->LogSize = 0;
    entry->Acked = 0;
    entry->AwaitAck = 0;
    entry->Multiplier = 0;
  }
  DiagLog& log = DiagLog::Instance();
  if (!log.WriterRunning()) return;
  for (auto& [index, entry] : driver_.ports.Entries())
    if (entry->LogSize.load() > 0) return;
  log.RequestFinalFlush();
}

int TarvoImpl1::FindPortEntry(std::uint8_t port_num) const { return driver_.ports.Find(port_num); }

std::shared_ptr<PortEntry> TarvoImpl1::Entry(int index) const { return driver_.ports.At(index); }

void TarvoImpl1::Log(const PortEntry& entry, char kind, std::string_view text) {
  if (entry.LogSize.load() > 0) DiagLog::Instance().WriteLog(kind, entry.Name(), text);
}

void TarvoImpl1::SendFrame(PortEntry& entry, const std::string& frame) {
  // The reader handles each notification under rx_mutex, so it sees the
  // whole step or none of it.
  std::lock_guard<std::mutex> step(entry.rx_mutex);
  entry.SetLastFrame(frame);
  entry.Acked = 0;
  entry.Port->TransmitBytes(frame);
}

bool TarvoImpl1::PumpWait(int rounds, const std::function<bool()>& done) {
  for (int round = 0; round < rounds; ++round) {
    loop_.clock().SleepMs(kPumpRoundMs);
    loop_.ProcessPendingMessages();
    if (done()) return true;
  }
  return false;
}

void TarvoImpl1::Timer1Timer() {
  // Ages partial input: RxAge counts seconds since the last input while a
  // frame is being collected. Each control ages the entries it opened, so
  // that input ages at one tick a second however many controls there are.
  // The read thread writes RxAge too, hence the CAS.
  for (auto& [index, entry] : driver_.ports.Entries()) {
    if (entry->owner != this) continue;
    std::int32_t age = entry->RxAge.load();
    while (age != 0 && age < INT32_MAX && !entry->RxAge.compare_exchange_weak(age, age + 1)) {
    }
  }
}

void TarvoImpl1::Timer2Timer() {
  // Only this control's messages: its dispatcher decodes them under its own
  // mode and raises the events to its own host. The message is taken off the
  // queue before it is processed: another control on this thread may tick
  // inside this dispatch (a handler that waits pumps the loop). Taking it is
  // one step, so controls on other threads never get the same message.
  std::optional<QueuedMessage> message = driver_.queue.TakeFor(this);
  if (!message) return;
  loop_.SetTimerEnabled(timer2_, false);
  if (message_handler_) {
    try {
      message_handler_(*message);
    } catch (...) {
      // The dispatcher reports its own failures; the message is consumed and
      // the timer must never stay off.
    }
  }
  loop_.SetTimerEnabled(timer2_, true);
}

void TarvoImpl1::SetMessageHandler(std::function<void(const QueuedMessage&)> handler) {
  message_handler_ = std::move(handler);
}

}  // namespace tarvo::core
