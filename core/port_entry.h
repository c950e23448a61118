#pragma once
// One registered serial port (`portlist`).
//
// Ownership and synchronisation:
//  - Port, PortNum and owner are fixed when the entry is created.
//  - RxBuffer belongs to the read thread; the host's thread empties it (on
//    open and close) only while holding rx_mutex, which the read thread holds
//    for the whole of one notification.
//  - LastFrame is written by the host's thread (every sender) and read by the
//    read thread (resend on NAK); both go through SetLastFrame/LastFrame.
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

struct PortEntry {
  PortEntry(std::shared_ptr<link::TComPort> port, std::uint8_t port_num, const void* owner)
      : Port(std::move(port)), PortNum(port_num), owner(owner) {}

  const std::shared_ptr<link::TComPort> Port;
  const std::uint8_t PortNum;  // the number after "COM"
  const void* const owner;     // the control that created the entry

  // "COM" followed by the port number.
  const std::string& Name() const { return Port->Port(); }

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
