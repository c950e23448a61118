// TComPort: the settings of one serial device and the rules for changing
// them; the device work itself is done by platform::SerialDevice.
#include <mutex>
#include <utility>

#include "link/com_port.h"
#include "link/com_port_impl.h"

namespace tarvo::link {
namespace detail {

std::int32_t RateOf(const LineSettings& line) {
  switch (line.baud) {
    case TBaudRate::brCustom: return line.custom_baud;
    case TBaudRate::br110: return 110;
    case TBaudRate::br300: return 300;
    case TBaudRate::br600: return 600;
    case TBaudRate::br1200: return 1200;
    case TBaudRate::br2400: return 2400;
    case TBaudRate::br4800: return 4800;
    case TBaudRate::br9600: return 9600;
    case TBaudRate::br14400: return 14400;
    case TBaudRate::br19200: return 19200;
    case TBaudRate::br38400: return 38400;
    case TBaudRate::br56000: return 56000;
    case TBaudRate::br57600: return 57600;
    case TBaudRate::br115200: return 115200;
    case TBaudRate::br128000: return 128000;
    case TBaudRate::br256000: return 256000;
  }
  return 0;
}

platform::SerialLine SerialLineOf(const LineSettings& line) {
  using platform::SerialParity;
  using platform::SerialStopBits;
  platform::SerialLine out;
  out.rate = RateOf(line);
  switch (line.data_bits) {
    case TDataBits::dbFive: out.data_bits = 5; break;
    case TDataBits::dbSix: out.data_bits = 6; break;
    case TDataBits::dbSeven: out.data_bits = 7; break;
    case TDataBits::dbEight: out.data_bits = 8; break;
  }
  switch (line.stop_bits) {
    case TStopBits::sbOneStopBit: out.stop_bits = SerialStopBits::kOne; break;
    case TStopBits::sbOne5StopBits: out.stop_bits = SerialStopBits::kOneAndHalf; break;
    case TStopBits::sbTwoStopBits: out.stop_bits = SerialStopBits::kTwo; break;
  }
  switch (line.parity.Bits) {
    case TParityBits::prNone: out.parity = SerialParity::kNone; break;
    case TParityBits::prOdd: out.parity = SerialParity::kOdd; break;
    case TParityBits::prEven: out.parity = SerialParity::kEven; break;
    case TParityBits::prMark: out.parity = SerialParity::kMark; break;
    case TParityBits::prSpace: out.parity = SerialParity::kSpace; break;
  }
  out.parity_check = line.parity.Check;
  const TComFlowControl& flow = line.flow;
  out.cts_handshake = flow.OutCTSFlow;
  out.dsr_handshake = flow.OutDSRFlow;
  out.dtr_on = flow.ControlDTR == TDTRFlowControl::dtrEnable;
  out.dtr_handshake = flow.ControlDTR == TDTRFlowControl::dtrHandshake;
  out.rts_on = flow.ControlRTS == TRTSFlowControl::rtsEnable;
  out.rts_handshake = flow.ControlRTS == TRTSFlowControl::rtsHandshake;
  out.rts_toggle = flow.ControlRTS == TRTSFlowControl::rtsToggle;
  out.xon_xoff_out = flow.XonXoffOut;
  out.xon_xoff_in = flow.XonXoffIn;
  out.xon_char = flow.XonChar;
  out.xoff_char = flow.XoffChar;
  return out;
}

int CodeOf(platform::SerialStep step) {
  switch (step) {
    case platform::SerialStep::kOpen: return CError_OpenFailed;
    case platform::SerialStep::kSetState: return CError_SetStateFailed;
    case platform::SerialStep::kQueues: return CError_SetupComFailed;
    case platform::SerialStep::kTimeouts: return CError_TimeoutsFailed;
    case platform::SerialStep::kWrite: return CError_WriteFailed;
    case platform::SerialStep::kRead: return CError_ReadFailed;
    case platform::SerialStep::kWait: return CError_WaitFailed;
    case platform::SerialStep::kCount: return CError_ClearComFailed;
  }
  return CError_OpenFailed;
}

}  // namespace detail

namespace {

// Runs one call of the device and turns its failure into the EComPort the
// adapter reports.
template <typename Call>
auto OnDevice(Call&& call) -> decltype(call()) {
  try {
    return call();
  } catch (const platform::SerialError& e) {
    throw EComPort(detail::CodeOf(e.Step()), e.OsError(), e.Detail());
  }
}

}  // namespace

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

  platform::SerialDevice device;

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

namespace {

void ApplyLine(platform::SerialDevice& device, const detail::LineSettings& line) {
  OnDevice([&] { device.ApplyLine(detail::SerialLineOf(line)); });
}

}  // namespace

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
  ApplyLine(impl_->device, impl_->line);
}

std::int32_t TComPort::CustomBaudRate() const { return impl_->line.custom_baud; }

void TComPort::SetCustomBaudRate(std::int32_t rate) {
  if (rate == impl_->line.custom_baud) return;
  impl_->line.custom_baud = rate;
  if (impl_->line.baud == TBaudRate::brCustom) ApplyLine(impl_->device, impl_->line);
}

TDataBits TComPort::DataBits() const { return impl_->line.data_bits; }

void TComPort::SetDataBits(TDataBits bits) {
  if (bits == impl_->line.data_bits) return;
  impl_->line.data_bits = bits;
  ApplyLine(impl_->device, impl_->line);
}

TStopBits TComPort::StopBits() const { return impl_->line.stop_bits; }

void TComPort::SetStopBits(TStopBits bits) {
  if (bits == impl_->line.stop_bits) return;
  impl_->line.stop_bits = bits;
  ApplyLine(impl_->device, impl_->line);
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

// The sizes are asked of the device at the next open (a tty's queues have a
// fixed size, so there they are only kept).
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
  platform::SerialLine line = detail::SerialLineOf(impl_->line);
  line.input_queue = impl_->buffer.InputSize;
  line.output_queue = impl_->buffer.OutputSize;
  OnDevice([&] {
    impl_->device.Open(
        DevicePath(impl_->port), line, impl_->events != 0,
        (impl_->events & evRxChar) != 0,
        [this](std::int32_t count) {
          if (RxCharHandler handler = impl_->CurrentHandler()) handler(*this, count);
        },
        [this] {
          if (HangUpHandler handler = impl_->CurrentHangUpHandler()) handler(*this);
        });
  });
}

void TComPort::CloseDevice() { impl_->device.Close(); }

std::int32_t TComPort::TransmitBytes(std::string_view bytes) {
  if (bytes.empty()) return 0;
  const TComTimeouts timeouts = impl_->CurrentTimeouts();
  return OnDevice([&] {
    return impl_->device.Write(
        bytes, platform::SerialWriteTimeout{timeouts.WriteTotalConstant, timeouts.WriteTotalMultiplier});
  });
}

std::string TComPort::ReceiveBytes(std::int32_t count) {
  return OnDevice([&] { return impl_->device.Read(count); });
}

std::string TComPort::DevicePath(const std::string& port_name) {
  return platform::SerialDevicePath(port_name);
}

}  // namespace tarvo::link
