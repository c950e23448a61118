// TComPort: the settings of one serial device and the rules for changing
// them; the device work itself is done by ComDevice (com_port_posix.cpp).
#include <sys/stat.h>

#include <cstdlib>
#include <mutex>

#include "link/com_port.h"
#include "link/com_port_impl.h"

namespace tarvo::link {

// Threads: the setters, OpenDevice and CloseDevice are called by the owner,
// one thread at a time, which alone reads and writes the plain settings
// below. Two settings are also read elsewhere -- the time-outs by writers on
// other threads, the handler by the event thread -- and are guarded by
// `shared_mu`.
struct TComPort::Impl {
  std::string port = "COM1";
  detail::LineSettings line;
  TComBuffer buffer;
  TComEvents events = kAllComEvents;
  TSyncMethod sync = TSyncMethod::smThreadSync;
  std::uint8_t event_char = 0;
  bool discard_null = false;

  mutable std::mutex shared_mu;
  TComTimeouts timeouts;   // guarded by shared_mu
  RxCharHandler on_rx_char;  // guarded by shared_mu
  HangUpHandler on_hang_up;  // guarded by shared_mu

  detail::ComDevice device;

  TComTimeouts CurrentTimeouts() const {
    std::lock_guard lock(shared_mu);
    return timeouts;
  }
  RxCharHandler CurrentHandler() const {
    std::lock_guard lock(shared_mu);
    return on_rx_char;
  }
  HangUpHandler CurrentHangUpHandler() const {
    std::lock_guard lock(shared_mu);
    return on_hang_up;
  }
};

TComPort::TComPort() : impl_(std::make_unique<Impl>()) {}

TComPort::~TComPort() { CloseDevice(); }

const std::string& TComPort::Port() const { return impl_->port; }

void TComPort::SetPort(const std::string& name) {
  if (name == impl_->port) return;
  impl_->port = name;
  if (Connected()) {
    CloseDevice();
    OpenDevice();
  }
}

TBaudRate TComPort::BaudRate() const { return impl_->line.baud; }

void TComPort::SetBaudRate(TBaudRate rate) {
  if (rate == impl_->line.baud) return;
  impl_->line.baud = rate;
  impl_->device.ApplyLineSettings(impl_->line);
}

std::int32_t TComPort::CustomBaudRate() const { return impl_->line.custom_baud; }

void TComPort::SetCustomBaudRate(std::int32_t rate) {
  if (rate == impl_->line.custom_baud) return;
  impl_->line.custom_baud = rate;
  if (impl_->line.baud == TBaudRate::brCustom) impl_->device.ApplyLineSettings(impl_->line);
}

TDataBits TComPort::DataBits() const { return impl_->line.data_bits; }

void TComPort::SetDataBits(TDataBits bits) {
  if (bits == impl_->line.data_bits) return;
  impl_->line.data_bits = bits;
  impl_->device.ApplyLineSettings(impl_->line);
}

TStopBits TComPort::StopBits() const { return impl_->line.stop_bits; }

void TComPort::SetStopBits(TStopBits bits) {
  if (bits == impl_->line.stop_bits) return;
  impl_->line.stop_bits = bits;
  impl_->device.ApplyLineSettings(impl_->line);
}

// Parity and flow control are stored and take effect at the next open.
const TComParity& TComPort::Parity() const { return impl_->line.parity; }
void TComPort::SetParity(const TComParity& parity) { impl_->line.parity = parity; }

const TComFlowControl& TComPort::FlowControl() const { return impl_->line.flow; }
void TComPort::SetFlowControl(const TComFlowControl& flow) { impl_->line.flow = flow; }

// The owner's thread is the only writer, so it may read without the lock.
const TComTimeouts& TComPort::Timeouts() const { return impl_->timeouts; }

void TComPort::SetTimeouts(const TComTimeouts& timeouts) {
  std::lock_guard lock(impl_->shared_mu);
  impl_->timeouts = timeouts;
}

const TComBuffer& TComPort::Buffer() const { return impl_->buffer; }

// A tty's queues have a fixed size on Linux, so the sizes are only kept.
void TComPort::SetBuffer(const TComBuffer& buffer) {
  impl_->buffer.InputSize = buffer.InputSize & ~1;
  impl_->buffer.OutputSize = buffer.OutputSize & ~1;
}

TComEvents TComPort::Events() const { return impl_->events; }
void TComPort::SetEvents(TComEvents events) { impl_->events = events; }

TSyncMethod TComPort::SyncMethod() const { return impl_->sync; }

void TComPort::SetSyncMethod(TSyncMethod method) {
  if (method == impl_->sync) return;
  if (Connected()) throw EComPort(CError_ConnChangeProp, -1);
  impl_->sync = method;
}

void TComPort::SetOnRxChar(RxCharHandler handler) {
  std::lock_guard lock(impl_->shared_mu);
  impl_->on_rx_char = std::move(handler);
}

void TComPort::SetOnHangUp(HangUpHandler handler) {
  std::lock_guard lock(impl_->shared_mu);
  impl_->on_hang_up = std::move(handler);
}

std::uint8_t TComPort::EventChar() const { return impl_->event_char; }
void TComPort::SetEventChar(std::uint8_t c) { impl_->event_char = c; }

bool TComPort::DiscardNull() const { return impl_->discard_null; }
void TComPort::SetDiscardNull(bool discard) { impl_->discard_null = discard; }

bool TComPort::Connected() const { return impl_->device.IsOpen(); }

bool TComPort::LineDown() const { return impl_->device.IsOpen() && impl_->device.LineDown(); }

void TComPort::OpenDevice() {
  if (Connected()) return;
  // The handler is looked up at each arrival, so a handler set while the
  // port is open is used from the next arrival on.
  impl_->device.Open(
      DevicePath(impl_->port), impl_->line, impl_->events,
      [this](std::int32_t count) {
        if (RxCharHandler handler = impl_->CurrentHandler()) handler(*this, count);
      },
      [this] {
        if (HangUpHandler handler = impl_->CurrentHangUpHandler()) handler(*this);
      });
}

void TComPort::CloseDevice() { impl_->device.Close(); }

std::int32_t TComPort::TransmitBytes(std::string_view bytes) {
  if (bytes.empty()) return 0;
  return impl_->device.Write(bytes, impl_->CurrentTimeouts());
}

std::string TComPort::ReceiveBytes(std::int32_t count) { return impl_->device.Read(count); }

std::string TComPort::DevicePath(const std::string& port_name) {
  if (const char* dir = std::getenv("TARVO_DEVICE_DIR"); dir != nullptr && *dir != '\0') {
    const std::string entry = std::string(dir) + "/" + port_name;
    struct stat st {};
    if (!port_name.empty() && port_name.find('/') == std::string::npos &&
        ::lstat(entry.c_str(), &st) == 0) {
      return entry;
    }
  }
  // "COMn" is the n-th serial port, /dev/ttyS<n-1>.
  if (port_name.size() > 3 && port_name.compare(0, 3, "COM") == 0) {
    int number = 0;
    bool digits = true;
    for (std::size_t i = 3; i < port_name.size() && digits; ++i) {
      const char c = port_name[i];
      digits = c >= '0' && c <= '9' && number < 100000;
      number = number * 10 + (c - '0');
    }
    if (digits && number >= 1) return "/dev/ttyS" + std::to_string(number - 1);
  }
  // Anything else is taken as a path (absolute) or a name under /dev.
  if (!port_name.empty() && port_name.front() == '/') return port_name;
  return "/dev/" + port_name;
}

}  // namespace tarvo::link
