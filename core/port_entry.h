#pragma once
// One registered serial port (`portlist`).
//
// Ownership and synchronisation -- the one rule for the port object, the
// entry and the arrival handler:
//  - The entry owns its serial port object (Port) and the port's reader
//    (TReadThread, attached with AttachReader right after creation). Port,
//    PortNum and owner are fixed when the entry is created.
//  - The port's arrival and hang-up handlers are bound once, by AttachReader,
//    before the port is first opened, to this entry's reader. They are never
//    rebound and never refer to a control, so whichever control opens or
//    closes the port, an arrival reaches a reader that exists.
//  - The port object is opened, closed and reconfigured only while
//    life_mutex is held, by any control's thread (a second control on
//    another thread may reuse the entry). Retire -- the end of the entry,
//    when the control that created it goes or when the open that created it
//    failed -- closes the port, marks the entry retired and stops the reader,
//    all under life_mutex. A retired entry is never opened again; an open
//    that meets one treats the port as unregistered. The caller removes a
//    retired entry from the registry while still holding life_mutex.
//  - Closing the port returns only after its event thread has ended, so no
//    handler runs after a close until the next open, and none after Retire.
//    The destructor retires an entry that was not retired yet.
//  - RxBuffer belongs to the reader; the host's thread empties it (on open
//    and close) only while holding rx_mutex, which the reader holds for the
//    whole of one notification.
//  - LastFrame and Acked: a sender stores the frame, clears Acked and writes
//    the frame in one step under rx_mutex (see TarvoImpl1::SendFrame), so the
//    reader sees either the old frame before the step or the new one after
//    it was written: a NAK never makes it send a frame twice, and only an
//    acknowledgement read after the write counts for the new frame.
//  - The flags and counters are single values written by one side and polled
//    by the other: atomics.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/answer_slots.h"
#include "link/com_port.h"

namespace tarvo::core {

class DriverState;
class TReadThread;

struct PortEntry : std::enable_shared_from_this<PortEntry> {
  PortEntry(std::shared_ptr<link::TComPort> port, std::uint8_t port_num, const void* owner);
  ~PortEntry();
  PortEntry(const PortEntry&) = delete;
  PortEntry& operator=(const PortEntry&) = delete;

  const std::shared_ptr<link::TComPort> Port;
  const std::uint8_t PortNum;  // the number after "COM"
  const void* const owner;     // the control that created the entry

  // "COM" followed by the port number.
  const std::string& Name() const { return Port->Port(); }

  // Starts the port's reader and binds the port's handlers to it. Called
  // once, before the port is first opened.
  void AttachReader(DriverState& driver);
  // The caller holds life_mutex: closes the port, stops the reader and marks
  // the entry retired. Idempotent.
  void Retire();
  bool Retired() const { return retired_.load(); }

  // Serialises opening, closing, reconfiguring and retiring the port.
  std::mutex life_mutex;

  std::mutex rx_mutex;
  std::string RxBuffer;  // guarded by rx_mutex

  void SetLastFrame(std::string frame) {
    std::lock_guard<std::mutex> lock(frame_mutex_);
    last_frame_ = std::move(frame);
  }
  std::string LastFrame() const {
    std::lock_guard<std::mutex> lock(frame_mutex_);
    return last_frame_;
  }

  std::atomic<std::int32_t> RxAge{0};
  std::atomic<std::int32_t> LogSize{0};
  std::atomic<std::int32_t> Multiplier{0};
  std::atomic<std::uint8_t> Acked{0};
  std::atomic<std::uint8_t> AwaitAck{0};
  std::atomic<std::uint8_t> ShortInquiry{0};

 private:
  mutable std::mutex frame_mutex_;
  std::string last_frame_;
  // Written under life_mutex, read anywhere.
  std::atomic<bool> retired_{false};
  // Set by AttachReader, ended by Retire (under life_mutex).
  std::unique_ptr<TReadThread> reader_;

 public:
  // ---- Per-register state of the dispatcher and the commands -------------
  // What one register's messages and answers leave behind belongs to that
  // register, never to the control or the driver: an answer from one port
  // must not satisfy a command waiting on another, and one register's waste
  // sequence must not change how another register's requests are handled.
  //
  // Answers: the register's answers to host commands (ResponseSlot, the
  // table reads, CurrencyTable, ClerkTable with the code of the last clerk
  // login). Filled by the dispatcher, read by the commands; own lock.
  AnswerSlots Answers;
  // The 841 mode's waste sequence of this register: a refused waste sell
  // request waits for the next request of another type, and a run of
  // empty-code inquiries is reported once. Written and read by the
  // dispatcher of the control that dispatches this port's messages; atomics
  // so that a look from any other thread is race-free.
  std::atomic<bool> WasteRefused{false};
  std::atomic<bool> CloseWasteReported{false};
};

}  // namespace tarvo::core
