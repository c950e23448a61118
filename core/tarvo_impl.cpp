#include "core/tarvo_impl.h"

#include <atomic>
#include <climits>
#include <string>

#include "core/diag_log.h"
#include "core/read_thread.h"
#include "link/frame.h"

namespace tarvo::core {

namespace {

// Controls alive in this process. The log writer is shared by all of them and
// stops with the last one.
std::atomic<int> g_live_controls{0};

std::string PortName(std::uint8_t port_num) { return "COM" + std::to_string(port_num); }

}  // namespace

TarvoImpl1::TarvoImpl1(platform::MessageLoop& loop, DriverState& driver)
    : loop_(loop), driver_(driver) {
  // ActiveFormCreate: RxLock exists with the object; start the read thread;
  // FieldSeparator is 0xFF. The queue indices belong to the driver.
  read_thread_ = std::make_unique<TReadThread>(driver_);
  timer1_ = loop_.AddTimer("Timer1", kTimer1IntervalMs, [this] { Timer1Timer(); });
  timer2_ = loop_.AddTimer("Timer2", kTimer2IntervalMs, [this] { Timer2Timer(); });
  ++g_live_controls;
}

TarvoImpl1::~TarvoImpl1() {
  // ActiveFormDestroy.
  loop_.RemoveTimer(timer1_);
  loop_.RemoveTimer(timer2_);
  // 1. Close the ports of this control's entries, in registry order. Their
  //    serial port objects belong to this control, so the entries leave the
  //    shared registry with it (another control must never reach a port object
  //    that is gone); the other entries keep their indices.
  auto entries = driver_.ports.Entries();
  for (auto& [index, entry] : entries) {
    if (entry->owner != this) continue;
    try {
      entry->Port->CloseDevice();
    } catch (const std::exception&) {
      // Destruction goes on: the device is released with the object anyway.
    }
  }
  // 2. + 3. Stop the read thread (no event thread can post any more).
  read_thread_.reset();
  for (auto& [index, entry] : entries)
    if (entry->owner == this) driver_.ports.Remove(index);
  // 4. The last control stops the log writer; what was logged so far still
  //    reaches the file.
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
  int index = driver_.ports.Find(port_num);
  std::shared_ptr<PortEntry> entry;
  bool appended = false;
  if (index >= 0) {
    entry = driver_.ports.At(index);
    entry->LogSize = log_size;
    log.RaiseMaxLogSize(log_size);
    log.SetLogDir(dir);
    entry->Acked = 0;
    entry->AwaitAck = 0;
    if (!entry->Port->Connected()) entry->Port->SetBaudRate(rate);  // an open port keeps its rate
  } else {
    if (driver_.ports.Count() >= PortRegistry::kMaxEntries) return kOpenRegistryFull;
    auto port = std::make_shared<link::TComPort>();
    port->SetEvents(link::evRxChar);
    port->SetPort(PortName(port_num));
    port->SetBaudRate(rate);
    port->SetOnRxChar([this](link::TComPort& sender, std::int32_t count) { OnRxChar(sender, count); });
    port->SetDataBits(link::TDataBits::dbEight);
    port->SetStopBits(link::TStopBits::sbOneStopBit);
    port->SetSyncMethod(link::TSyncMethod::smNone);
    entry = std::make_shared<PortEntry>(std::move(port), port_num, this);
    entry->LogSize = log_size;
    log.RaiseMaxLogSize(log_size);
    log.SetLogDir(dir);
    index = driver_.ports.Append(entry);
    if (index < 0) return kOpenRegistryFull;
    appended = true;
  }

  if (entry->LogSize > 0 && !log.WriterRunning()) log.StartWriter();

  try {
    entry->Port->OpenDevice();
    Log(*entry, 'r',
        std::string(handshake ? "Init " : "PortOpen ") + std::to_string(baudrate) + " " +
            std::to_string(log_size) + " " + std::string(sn_path));
    if (handshake) Handshake(*entry);
  } catch (const std::exception& e) {
    result = kOpenFailed;
    // A device the user may not open gets a line saying what to do about it.
    if (link::IsOpenPermissionFailure(e))
      Log(*entry, 'r', std::string(handshake ? "Init" : "PortOpen") + " ERROR: " + e.what());
    if (appended) {
      try {
        entry->Port->CloseDevice();
      } catch (const std::exception&) {
      }
      driver_.ports.Remove(index);
    }
  }
  return result;
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
    entry->Port->CloseDevice();
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
  // The frame is stored first so that the read thread can repeat it on NAK.
  entry.SetLastFrame(frame);
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

void TarvoImpl1::OnRxChar(link::TComPort& sender, std::int32_t count) {
  // VaComm1RxChar, on the port's event thread: no bytes are read here.
  std::lock_guard<std::mutex> lock(rx_lock_);
  if (count <= 0) return;
  const int index = driver_.ports.IndexOf(&sender);
  if (index < 0) return;  // not (or no longer) registered: nobody to serve it
  read_thread_->PostRxNotify(index, count);
}

}  // namespace tarvo::core
