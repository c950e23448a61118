// The life of a port entry: its reader, the handlers bound to it, and the
// end of both (the rule is written out in core/port_entry.h).
#include "core/port_entry.h"

#include <exception>

#include "core/read_thread.h"

namespace tarvo::core {

PortEntry::PortEntry(std::shared_ptr<link::TComPort> port, std::uint8_t port_num,
                     const void* owner)
    : Port(std::move(port)), PortNum(port_num), owner(owner) {}

PortEntry::~PortEntry() {
  std::lock_guard<std::mutex> lock(life_mutex);
  Retire();
}

void PortEntry::AttachReader(DriverState& driver) {
  reader_ = std::make_unique<TReadThread>(driver, *this);
  TReadThread* reader = reader_.get();
  // Bound once, never rebound: the reader lives until Retire, which closes
  // the port (ending its event thread) before it stops the reader.
  Port->SetOnRxChar([reader](link::TComPort&, std::int32_t count) {
    // VaComm1RxChar, on the port's event thread: no bytes are read here.
    if (count > 0) reader->PostRxNotify(count);
  });
  Port->SetOnHangUp([reader](link::TComPort&) { reader->PostHangUp(); });
}

void PortEntry::Retire() {
  if (retired_.exchange(true)) return;
  try {
    Port->CloseDevice();
  } catch (const std::exception&) {
    // The entry ends all the same; the device is released with the object.
  }
  // No event thread runs any more: the handlers can no longer reach the
  // reader, which may now go.
  Port->SetOnRxChar(nullptr);
  Port->SetOnHangUp(nullptr);
  if (reader_) reader_->Stop();
}

}  // namespace tarvo::core
