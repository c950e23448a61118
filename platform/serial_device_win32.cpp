// SerialDevice on Windows: a COM device opened for overlapped I/O.
//
// Open: CreateFileW("\\.\COMn", exclusive, FILE_FLAG_OVERLAPPED), SetupComm
// with the queue sizes, a DCB built from the line settings, and time-outs
// that make a read return at once with whatever is waiting
// (ReadIntervalTimeout = MAXDWORD, no totals). The write time-out is the
// device's own (WriteTotalTimeoutConstant/Multiplier), applied before a write
// whenever it changed; a write that runs out of time completes with fewer
// bytes.
//
// Arrival detection: the event thread waits in WaitCommEvent(EV_RXCHAR |
// EV_ERR) together with a stop event. Each EV_RXCHAR is one notification
// carrying the count of all bytes waiting (ClearCommError's cbInQue), so two
// notifications in a row may overlap, as on Linux. Bytes that were already
// waiting when the port opened are reported at once (WaitCommEvent only
// reports arrivals after the mask was set). Line errors (EV_ERR: framing,
// parity, overrun) are cleared with ClearCommError and otherwise passed over,
// as a tty passes them over.
//
// Hang-up: a wait that fails (a USB adapter pulled, the device gone) records
// the error, reports the hang-up once, and the thread then waits for the stop
// event alone. Reads and writes fail with the recorded error until the port
// is closed and opened again.
//
// Closing: the stop event ends the thread (its pending wait is cancelled with
// CancelIo, which cancels the calling thread's own I/O). The output drains,
// bounded by the bytes queued and the line speed (a helper thread runs
// FlushFileBuffers on a duplicate handle; when the bound passes PurgeComm
// aborts the output), and then only the input is discarded.
//
// Error numbers are Windows error codes (GetLastError).
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <thread>

#include "platform/codepage.h"
#include "platform/serial_device.h"

namespace tarvo::platform {

struct SerialDevice::Impl {
  void RunEventThread(HANDLE device, HANDLE stop, bool notify_rx, Notify notify,
                      HangUpNotify hangup);
  void NoteHangUp(DWORD error);
  bool ReportWaiting(HANDLE device, const Notify& notify);
  void SetWriteTimeout(const SerialWriteTimeout& timeout);

  // The device. Changed only by Open/Close under an exclusive lock of h_mu;
  // Read and Write hold it shared for as long as they use the handle.
  std::shared_mutex h_mu;
  HANDLE h = INVALID_HANDLE_VALUE;
  std::atomic<bool> open{false};

  // Serialises writers (their bytes never interleave) and guards
  // write_timeout, the write time-out the device has now.
  std::mutex tx_mu;
  SerialWriteTimeout write_timeout{-1, -1};

  // The Windows error of a hang-up (0: none). Set by the event thread or by a
  // read or write that meets it; cleared by Open while nothing else runs.
  std::atomic<DWORD> hangup_error{0};
  // Why the event thread ended on its own (error 0: it did not). Kept for
  // inspection in a debugger or crash dump.
  std::atomic<SerialStep> thread_fault_step{SerialStep::kWait};
  std::atomic<DWORD> thread_fault_error{0};

  // The line speed of the open device, for the drain bound at close. Only the
  // owner's calls (Open, ApplyLine, Close) touch it.
  std::int32_t rate = 9600;

  // Event thread and its stop event; owner's thread only.
  std::thread thread;
  HANDLE stop_event = nullptr;
};

namespace {

std::wstring Wide(const std::string& utf8) {
  const std::u16string text = Utf8ToUtf16(utf8);
  return std::wstring(text.begin(), text.end());
}

int Err(DWORD error) { return static_cast<int>(error); }

// Errors by which a device says it is gone.
bool IsGoneError(DWORD error) {
  return error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_REMOVED ||
         error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_GEN_FAILURE ||
         error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE;
}

void BuildDcb(const SerialLine& line, DCB& dcb) {
  if (line.rate <= 0 || line.data_bits < 5 || line.data_bits > 8)
    throw SerialError(SerialStep::kSetState, ERROR_INVALID_PARAMETER);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = static_cast<DWORD>(line.rate);
  dcb.fBinary = TRUE;
  dcb.fParity = line.parity_check ? TRUE : FALSE;
  dcb.fOutxCtsFlow = line.cts_handshake ? TRUE : FALSE;
  dcb.fOutxDsrFlow = line.dsr_handshake ? TRUE : FALSE;
  dcb.fDtrControl = line.dtr_handshake ? DTR_CONTROL_HANDSHAKE
                    : line.dtr_on      ? DTR_CONTROL_ENABLE
                                       : DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = line.xon_xoff_out ? TRUE : FALSE;
  dcb.fInX = line.xon_xoff_in ? TRUE : FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = line.rts_handshake ? RTS_CONTROL_HANDSHAKE
                    : line.rts_toggle  ? RTS_CONTROL_TOGGLE
                    : line.rts_on      ? RTS_CONTROL_ENABLE
                                       : RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;  // a line error must not abort later reads and writes
  dcb.ByteSize = static_cast<BYTE>(line.data_bits);
  switch (line.parity) {
    case SerialParity::kNone: dcb.Parity = NOPARITY; break;
    case SerialParity::kOdd: dcb.Parity = ODDPARITY; break;
    case SerialParity::kEven: dcb.Parity = EVENPARITY; break;
    case SerialParity::kMark: dcb.Parity = MARKPARITY; break;
    case SerialParity::kSpace: dcb.Parity = SPACEPARITY; break;
  }
  // A UART sends 1.5 stop bits only with 5 data bits.
  switch (line.stop_bits) {
    case SerialStopBits::kOne: dcb.StopBits = ONESTOPBIT; break;
    case SerialStopBits::kOneAndHalf:
      if (line.data_bits != 5) throw SerialError(SerialStep::kSetState, ERROR_INVALID_PARAMETER);
      dcb.StopBits = ONE5STOPBITS;
      break;
    case SerialStopBits::kTwo: dcb.StopBits = TWOSTOPBITS; break;
  }
  dcb.XonChar = static_cast<char>(line.xon_char);
  dcb.XoffChar = static_cast<char>(line.xoff_char);
}

void SetLine(HANDLE h, const SerialLine& line) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(h, &dcb)) throw SerialError(SerialStep::kSetState, Err(::GetLastError()));
  BuildDcb(line, dcb);
  if (!::SetCommState(h, &dcb)) throw SerialError(SerialStep::kSetState, Err(::GetLastError()));
}

// One overlapped operation's OVERLAPPED with an event of its own.
// How long the event thread waits for a cancelled WaitCommEvent to end.
constexpr DWORD kCancelBoundMs = 2000;

// An OVERLAPPED with its own event, on the heap so that one whose call could
// not be ended can be abandoned (left allocated) instead of freed while the
// system may still complete it.
class Overlapped {
 public:
  Overlapped() : ov_(new OVERLAPPED{}) { ov_->hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() {
    if (ov_ == nullptr) return;
    if (ov_->hEvent != nullptr) ::CloseHandle(ov_->hEvent);
    delete ov_;
  }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
  bool ok() const { return ov_->hEvent != nullptr; }
  OVERLAPPED* get() { return ov_; }
  HANDLE event() const { return ov_->hEvent; }
  // Leaves the OVERLAPPED and its event allocated for good.
  void Abandon() { ov_ = nullptr; }

 private:
  OVERLAPPED* ov_;
};

// Runs one overlapped call to its end: `started` is the call's result. True
// when it succeeded; `done` holds the bytes moved. False with GetLastError set
// otherwise.
bool Finish(HANDLE h, Overlapped& ov, BOOL started, DWORD& done) {
  if (!started && ::GetLastError() != ERROR_IO_PENDING) return false;
  return ::GetOverlappedResult(h, ov.get(), &done, TRUE) != FALSE;
}

// Bytes waiting in the input queue (or the output queue); -1 with
// GetLastError set when the device cannot tell.
long long Queued(HANDLE h, bool output) {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(h, &errors, &stat)) return -1;
  return output ? stat.cbOutQue : stat.cbInQue;
}

// Waits until the output queue is on the line, for at most the time the
// queued bytes need. FlushFileBuffers has no time limit, so it runs on a
// helper thread with a duplicate handle; when the bound passes the output is
// aborted, which ends the flush. Should the flush not end even then, the
// helper is left to finish on its own with its own handle.
void DrainOutput(HANDLE h, std::int32_t rate) {
  const long long queued = Queued(h, true);
  if (queued <= 0) return;  // nothing (or no count) to wait for
  HANDLE own = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &own, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    return;  // cannot wait safely: close as before
  }
  struct Drain {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
  };
  auto state = std::make_shared<Drain>();
  std::thread helper;
  try {
    helper = std::thread([own, state] {
      ::FlushFileBuffers(own);
      ::CloseHandle(own);
      {
        std::lock_guard lock(state->mu);
        state->done = true;
      }
      state->cv.notify_all();
    });
  } catch (const std::system_error&) {
    ::CloseHandle(own);
    return;  // no thread to wait with: close as before
  }
  const int count = queued > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(queued);
  std::unique_lock lock(state->mu);
  if (!state->cv.wait_for(lock, DrainBound(count, rate), [&] { return state->done; })) {
    ::PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);  // the line is stalled: give the rest up
    state->cv.wait_for(lock, kDrainMargin, [&] { return state->done; });
  }
  const bool finished = state->done;
  lock.unlock();
  if (finished)
    helper.join();
  else
    helper.detach();
}

// Releases the device: unread input is discarded, events are no longer
// watched, the handle is closed. The purge fails on a device that is gone,
// which must not keep the port from closing.
void ReleaseDevice(HANDLE h) {
  ::PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR);
  ::SetCommMask(h, 0);
  ::CloseHandle(h);
}

}  // namespace

std::string SerialDevicePath(const std::string& port_name) {
  // "COMn" is the device \\.\COMn: the device namespace reaches every port
  // number (COM10 and above have no plain DOS name). A name already in the
  // device namespace, a path, or anything else is used as it is.
  if (port_name.size() > 3 && port_name.compare(0, 3, "COM") == 0 &&
      port_name.find_first_not_of("0123456789", 3) == std::string::npos) {
    return "\\\\.\\" + port_name;
  }
  return port_name;
}

// Windows has no device groups to join: a COM port that refuses access is
// held by another program (COM devices open exclusively), which is no
// question of rights, and the hint has nothing to add.
bool IsPermissionError(int) { return false; }

std::string SerialOpenFailureHint(const std::string&, int) { return {}; }

SerialDevice::SerialDevice() : impl_(std::make_unique<Impl>()) {}

SerialDevice::~SerialDevice() { Close(); }

bool SerialDevice::IsOpen() const { return impl_->open.load(std::memory_order_acquire); }

void SerialDevice::Open(const std::string& path, const SerialLine& line, bool watch_events,
                        bool notify_rx, Notify notify, HangUpNotify hangup) {
  if (IsOpen()) return;
  Impl& d = *impl_;
  std::unique_lock lock(d.h_mu);

  // Share mode 0: a COM device is always opened exclusively.
  const HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    throw SerialError(SerialStep::kOpen, Err(error), SerialOpenFailureHint(path, Err(error)));
  }

  try {
    if (!::SetupComm(h, static_cast<DWORD>(line.input_queue > 0 ? line.input_queue : 1024),
                     static_cast<DWORD>(line.output_queue > 0 ? line.output_queue : 1024))) {
      throw SerialError(SerialStep::kQueues, Err(::GetLastError()));
    }
    SetLine(h, line);
    // Reads return at once with what is waiting; writes get their time-out
    // before each write.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!::SetCommTimeouts(h, &timeouts))
      throw SerialError(SerialStep::kTimeouts, Err(::GetLastError()));
    if (watch_events && !::SetCommMask(h, EV_RXCHAR | EV_ERR))
      throw SerialError(SerialStep::kOpen, Err(::GetLastError()));
  } catch (...) {
    ::CloseHandle(h);
    throw;
  }

  d.hangup_error.store(0);
  d.thread_fault_error.store(0);
  d.rate = line.rate;
  {
    std::lock_guard tx(d.tx_mu);
    d.write_timeout = SerialWriteTimeout{0, 0};  // as just set: no write time-out
  }

  // Open before the event thread starts, so the reader that an arrival is
  // handed to finds the port open.
  d.h = h;
  d.open.store(true, std::memory_order_release);

  if (watch_events) {
    DWORD err = 0;
    d.stop_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (d.stop_event == nullptr) err = ::GetLastError();
    if (err == 0) {
      try {
        d.thread = std::thread(&Impl::RunEventThread, &d, h, d.stop_event, notify_rx,
                               std::move(notify), std::move(hangup));
      } catch (const std::system_error& e) {
        err = e.code().value() ? static_cast<DWORD>(e.code().value())
                               : static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
      }
    }
    if (err != 0) {
      if (d.stop_event != nullptr) ::CloseHandle(d.stop_event);
      d.stop_event = nullptr;
      d.h = INVALID_HANDLE_VALUE;
      d.open.store(false, std::memory_order_release);
      ReleaseDevice(h);
      throw SerialError(SerialStep::kOpen, Err(err));
    }
  }
}

void SerialDevice::Close() {
  if (!IsOpen()) return;
  Impl& d = *impl_;
  if (d.thread.joinable()) {
    ::SetEvent(d.stop_event);
    d.thread.join();
  }
  if (d.stop_event != nullptr) ::CloseHandle(d.stop_event);
  d.stop_event = nullptr;

  // Writes in progress end first (each within its own time-out); then what
  // they left in the output queue goes out before the handle is closed.
  std::unique_lock lock(d.h_mu);
  if (d.hangup_error.load() == 0) DrainOutput(d.h, d.rate);
  ReleaseDevice(d.h);
  d.h = INVALID_HANDLE_VALUE;
  d.open.store(false, std::memory_order_release);
}

bool SerialDevice::LineDown() {
  Impl& d = *impl_;
  if (d.hangup_error.load() != 0) return true;
  std::shared_lock lock(d.h_mu);
  if (d.h == INVALID_HANDLE_VALUE) return false;
  if (Queued(d.h, false) < 0) {
    const DWORD error = ::GetLastError();
    if (IsGoneError(error)) {
      d.NoteHangUp(error);
      return true;
    }
  }
  return false;
}

void SerialDevice::ApplyLine(const SerialLine& line) {
  Impl& d = *impl_;
  std::shared_lock lock(d.h_mu);
  if (d.h == INVALID_HANDLE_VALUE) return;
  SetLine(d.h, line);
  d.rate = line.rate;
}

void SerialDevice::Impl::NoteHangUp(DWORD error) {
  DWORD none = 0;
  hangup_error.compare_exchange_strong(none, error != 0 ? error : ERROR_DEVICE_NOT_CONNECTED);
}

// Called with tx_mu held.
void SerialDevice::Impl::SetWriteTimeout(const SerialWriteTimeout& timeout) {
  if (timeout.constant_ms == write_timeout.constant_ms &&
      timeout.per_byte_ms == write_timeout.per_byte_ms) {
    return;
  }
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.WriteTotalTimeoutConstant = static_cast<DWORD>(timeout.constant_ms > 0 ? timeout.constant_ms : 0);
  t.WriteTotalTimeoutMultiplier =
      static_cast<DWORD>(timeout.per_byte_ms > 0 ? timeout.per_byte_ms : 0);
  // A negative total (both parts negative) would be no time-out at all on
  // Windows: the shortest wait is meant, so give it one millisecond.
  if (t.WriteTotalTimeoutConstant == 0 && t.WriteTotalTimeoutMultiplier == 0 &&
      !(timeout.constant_ms == 0 && timeout.per_byte_ms == 0)) {
    t.WriteTotalTimeoutConstant = 1;
  }
  if (!::SetCommTimeouts(h, &t)) throw SerialError(SerialStep::kTimeouts, Err(::GetLastError()));
  write_timeout = timeout;
}

std::int32_t SerialDevice::Write(std::string_view bytes, const SerialWriteTimeout& timeout) {
  if (bytes.empty()) return 0;
  Impl& d = *impl_;
  std::shared_lock lock(d.h_mu);
  if (d.h == INVALID_HANDLE_VALUE) throw SerialError(SerialStep::kWrite, ERROR_INVALID_HANDLE);
  std::lock_guard tx(d.tx_mu);
  if (const DWORD err = d.hangup_error.load()) throw SerialError(SerialStep::kWrite, Err(err));
  d.SetWriteTimeout(timeout);

  Overlapped ov;
  if (!ov.ok()) throw SerialError(SerialStep::kWrite, Err(::GetLastError()));
  DWORD done = 0;
  const auto size = static_cast<DWORD>(bytes.size());
  const BOOL started = ::WriteFile(d.h, bytes.data(), size, nullptr, ov.get());
  if (!Finish(d.h, ov, started, done)) {
    const DWORD error = ::GetLastError();
    // Some drivers end a write that ran out of time with an error rather
    // than a short count; it is a short write all the same.
    if (error == ERROR_SEM_TIMEOUT || error == WAIT_TIMEOUT) return static_cast<std::int32_t>(done);
    if (IsGoneError(error)) d.NoteHangUp(error);
    throw SerialError(SerialStep::kWrite, Err(error));
  }
  return static_cast<std::int32_t>(done);
}

std::string SerialDevice::Read(std::int32_t count) {
  if (count <= 0) return {};
  Impl& d = *impl_;
  std::shared_lock lock(d.h_mu);
  if (d.h == INVALID_HANDLE_VALUE) throw SerialError(SerialStep::kRead, ERROR_INVALID_HANDLE);
  if (const DWORD err = d.hangup_error.load()) throw SerialError(SerialStep::kRead, Err(err));

  // Only what the driver reports waiting is read, and nothing when nothing
  // waits: the device's time-outs already make a read return at once, but
  // Wine fails a read of a pseudo-terminal that has nothing waiting with
  // ERROR_BROKEN_PIPE.
  const long long waiting = Queued(d.h, false);
  if (waiting < 0) {
    const DWORD error = ::GetLastError();
    if (IsGoneError(error)) d.NoteHangUp(error);
    throw SerialError(SerialStep::kRead, Err(error));
  }
  if (waiting == 0) return {};
  const DWORD ask = waiting < count ? static_cast<DWORD>(waiting) : static_cast<DWORD>(count);

  Overlapped ov;
  if (!ov.ok()) throw SerialError(SerialStep::kRead, Err(::GetLastError()));
  std::string out(ask, '\0');
  DWORD done = 0;
  const BOOL started = ::ReadFile(d.h, out.data(), ask, nullptr, ov.get());
  if (!Finish(d.h, ov, started, done)) {
    const DWORD error = ::GetLastError();
    if (IsGoneError(error)) d.NoteHangUp(error);
    throw SerialError(SerialStep::kRead, Err(error));
  }
  out.resize(done);
  return out;
}

// Reports the bytes waiting now, if any. False when they cannot be counted.
bool SerialDevice::Impl::ReportWaiting(HANDLE device, const Notify& notify) {
  const long long count = Queued(device, false);
  if (count < 0) {
    thread_fault_step.store(SerialStep::kCount);
    thread_fault_error.store(::GetLastError());
    return false;
  }
  if (count > 0 && notify) {
    // A throwing handler must not end the process from this thread; the
    // driver's handler does not throw.
    try {
      notify(static_cast<std::int32_t>(count > 0x7FFFFFFF ? 0x7FFFFFFF : count));
    } catch (...) {
    }
  }
  return true;
}

// The event thread. Runs from Open until Close sets the stop event. The
// handlers are called here, on this thread.
void SerialDevice::Impl::RunEventThread(HANDLE device, HANDLE stop, bool notify_rx, Notify notify,
                                        HangUpNotify hangup) {
  Overlapped ov;
  if (!ov.ok()) {
    thread_fault_step.store(SerialStep::kWait);
    thread_fault_error.store(::GetLastError());
    ::WaitForSingleObject(stop, INFINITE);
    return;
  }
  // Counting failed: no further notifications until the port reopens; the
  // thread only waits to be stopped.
  const auto stop_notifying = [&] { ::WaitForSingleObject(stop, INFINITE); };

  // Bytes that arrived before the mask was set raise no event of their own.
  if (notify_rx && !ReportWaiting(device, notify)) return stop_notifying();

  for (;;) {
    DWORD mask = 0;
    ::ResetEvent(ov.event());
    const BOOL started = ::WaitCommEvent(device, &mask, ov.get());
    DWORD error = 0;
    if (!started) {
      error = ::GetLastError();
      if (error == ERROR_IO_PENDING) {
        const HANDLE waits[2] = {stop, ov.event()};
        const DWORD which = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (which != WAIT_OBJECT_0 + 1) {
          // Stopping (or the wait itself failed): end the pending wait and
          // let it finish before its OVERLAPPED goes away. A new event mask
          // completes a pending WaitCommEvent; CancelIo is the fallback.
          // Should neither end it within kCancelBoundMs, the OVERLAPPED
          // (and its event) is left to the system rather than freed under a
          // wait that may still write to it: the port must close.
          ::SetCommMask(device, 0);
          ::CancelIo(device);
          if (::WaitForSingleObject(ov.event(), kCancelBoundMs) != WAIT_OBJECT_0) ov.Abandon();
          if (which != WAIT_OBJECT_0) {
            thread_fault_step.store(SerialStep::kWait);
            thread_fault_error.store(::GetLastError());
            ::WaitForSingleObject(stop, INFINITE);
          }
          return;
        }
        DWORD ignored = 0;
        error = ::GetOverlappedResult(device, ov.get(), &ignored, FALSE) ? 0 : ::GetLastError();
      }
    }
    if (::WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return;
    if (error != 0) {
      // The device is gone (or can no longer be waited on). Report it once
      // and wait for Close alone.
      NoteHangUp(error);
      if (hangup) {
        try {
          hangup();
        } catch (...) {
          // As for arrivals: nothing may escape this thread.
        }
      }
      ::WaitForSingleObject(stop, INFINITE);
      return;
    }
    if (mask & EV_ERR) {
      DWORD errors = 0;
      ::ClearCommError(device, &errors, nullptr);  // framing/parity/overrun: cleared, passed over
    }
    if ((mask & EV_RXCHAR) && notify_rx && !ReportWaiting(device, notify)) return stop_notifying();
  }
}

}  // namespace tarvo::platform
