#pragma once
// TReadThread: the reader of one port. It does all protocol work on the
// port's input: the port's event thread only posts (byte count)
// notifications into its mailbox; this thread reads the bytes, assembles and
// checks frames, answers DLE ACK / NAK, resends the last frame on the
// register's NAK, keeps the entry's Acked flag and queues every good message
// for the dispatcher. The algorithm itself is link::RxPath; this is the thin
// shell that binds it to the port entry.
//
// One reader per port: a register that stops reading stalls only the writes
// of its own port (each bounded by the write time-out); the acknowledgements
// and reads of the other ports go on in their own readers.
//
// Lifetime: the entry creates its reader (PortEntry::AttachReader) and stops
// it when it retires, after the port is closed (see core/port_entry.h). The
// reader refers to its entry, never to a control.
#include <cstdint>
#include <thread>

#include "core/driver_state.h"
#include "link/rx_path.h"
#include "platform/mailbox.h"

namespace tarvo::core {

class TReadThread {
 public:
  TReadThread(DriverState& driver, PortEntry& entry);
  // Stops the thread (Stop).
  ~TReadThread();
  TReadThread(const TReadThread&) = delete;
  TReadThread& operator=(const TReadThread&) = delete;

  // Posts RxNotify (0x8190) with the reported count. Any thread.
  void PostRxNotify(std::int32_t count);
  // Posts the news that the line hung up; the reader logs it once. Any
  // thread.
  void PostHangUp();
  // Tells the thread to quit and waits for it. Idempotent; not on the reader
  // itself.
  void Stop();

 private:
  void Run();
  void HandleRx(std::int32_t count);

  DriverState& driver_;
  PortEntry& entry_;
  link::RxPath rx_;
  platform::Mailbox<platform::ThreadMessage> mailbox_;
  std::thread thread_;
};

}  // namespace tarvo::core
