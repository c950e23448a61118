#pragma once
// TReadThread: the one thread per control that does all protocol work on
// received input. The serial ports' event threads only post (entry index,
// byte count) notifications into its mailbox; this thread reads the bytes,
// assembles and checks frames, answers DLE ACK / NAK, resends the last frame
// on the register's NAK, keeps the entries' Acked flags and queues every good
// message for the dispatcher. The algorithm itself is link::RxPath; this is
// the thin shell that binds it to the port entries.
#include <cstdint>
#include <thread>

#include "core/driver_state.h"
#include "link/rx_path.h"
#include "platform/mailbox.h"

namespace tarvo::core {

class TReadThread {
 public:
  explicit TReadThread(DriverState& driver);
  // Tells the thread to quit and waits for it.
  ~TReadThread();
  TReadThread(const TReadThread&) = delete;
  TReadThread& operator=(const TReadThread&) = delete;

  // Posts RxNotify (0x8190) with the entry index and the reported count.
  void PostRxNotify(int index, std::int32_t count);

 private:
  void Run();
  void Handle(const platform::ThreadMessage& msg);

  DriverState& driver_;
  link::RxPath rx_;
  platform::Mailbox<platform::ThreadMessage> mailbox_;
  std::thread thread_;
};

}  // namespace tarvo::core
