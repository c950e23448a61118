#pragma once
// TComPort: one serial device, as the driver uses it.
//
// The object holds the line settings, opens and closes the device, writes
// byte strings (waiting until they are out, bounded by the write time-out),
// reads whatever has arrived without waiting, and reports arrivals from an
// event thread of its own (one per open port) through OnRxChar(Sender, Count),
// Count being the number of bytes waiting and not yet read.
//
// Device names: the port name is "COMn". If the environment variable
// TARVO_DEVICE_DIR names a directory holding an entry called exactly like the
// port (usually a symbolic link to /dev/ttyUSB0 or a pseudo-terminal), that
// entry is opened; otherwise COMn maps to /dev/ttyS<n-1>.
//
// Every failure raises EComPort with a library code (1..23), the OS error
// number (or -1) and a message text.
//
// Threads and lifetime: the object has one owner at a time, which alone opens
// and closes it and changes its settings (the driver's port entry does so
// under its lifecycle lock, see core/port_entry.h). Writes and reads may come
// from any thread. The handlers run on the event thread; CloseDevice (and the
// destructor) return only after that thread has ended, so once the port is
// closed no handler runs until it is opened again. A handler may be set at any
// time and is looked up at each report.
//
// Closing lets the output drain (bounded by the bytes queued and the line
// speed) and discards only unread input. A line that hung up stays open but
// down (LineDown) until it is closed and opened again.
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarvo::link {

enum class TBaudRate {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
  br19200, br38400, br56000, br57600, br115200, br128000, br256000
};
enum class TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum class TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum class TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum class TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum class TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum class TSyncMethod { smThreadSync, smWindowSync, smNone };

enum TComEvent : std::uint32_t {
  evRxChar = 1u << 0, evTxEmpty = 1u << 1, evRxFlag = 1u << 2, evRing = 1u << 3,
  evBreak = 1u << 4, evCTS = 1u << 5, evDSR = 1u << 6, evError = 1u << 7,
  evRLSD = 1u << 8, evRx80Full = 1u << 9,
};
using TComEvents = std::uint32_t;
inline constexpr TComEvents kAllComEvents = 0x3FF;

struct TComParity {
  TParityBits Bits = TParityBits::prNone;
  bool Check = false;
  bool Replace = false;
  std::uint8_t ReplaceChar = 0;
};

struct TComFlowControl {
  bool OutCTSFlow = false;
  bool OutDSRFlow = false;
  TDTRFlowControl ControlDTR = TDTRFlowControl::dtrDisable;
  TRTSFlowControl ControlRTS = TRTSFlowControl::rtsDisable;
  bool XonXoffOut = false;
  bool XonXoffIn = false;
  bool DSRSensitivity = false;
  bool TxContinueOnXoff = false;
  std::uint8_t XonChar = 0x11;
  std::uint8_t XoffChar = 0x13;
};

struct TComTimeouts {
  std::int32_t ReadInterval = -1;
  std::int32_t ReadTotalMultiplier = 0;
  std::int32_t ReadTotalConstant = 0;
  std::int32_t WriteTotalMultiplier = 100;
  std::int32_t WriteTotalConstant = 1000;
};

struct TComBuffer {
  std::int32_t InputSize = 1024;
  std::int32_t OutputSize = 1024;
};

// Error codes of EComPort.
enum ComErrorCode : int {
  CError_OpenFailed = 1, CError_WriteFailed = 2, CError_ReadFailed = 3,
  CError_InvalidAsync = 4, CError_PurgeFailed = 5, CError_AsyncCheck = 6,
  CError_SetStateFailed = 7, CError_TimeoutsFailed = 8, CError_SetupComFailed = 9,
  CError_ClearComFailed = 10, CError_ModemStatFailed = 11, CError_EscapeComFailed = 12,
  CError_TransmitFailed = 13, CError_ConnChangeProp = 14, CError_EnumPortsFailed = 15,
  CError_StoreFailed = 16, CError_LoadFailed = 17, CError_RegFailed = 18,
  CError_LedStateFailed = 19, CError_ThreadCreated = 20, CError_WaitFailed = 21,
  CError_HasLink = 22, CError_RegError = 23,
};

// The message text of a code (after translation under the text domain
// "cport"), or "" for an unknown code.
std::string ComErrorText(int code);
// What to do when opening `path` failed with `os_error`: for a device the
// user may not open, ": permission denied on <path>, which belongs to the
// group <g>; add the user to the group <g> and log in again"; "" for other
// errors.
std::string OpenFailureHint(const std::string& path, int os_error);
// True for an open that failed because the user may not open the device.
bool IsOpenPermissionFailure(const std::exception& error);
// Binds the text domain "cport" and translates the texts once; called at
// module start-up. Safe to call more than once.
void InitComPortTexts();

class EComPort : public std::runtime_error {
 public:
  // os_error -1 means "no OS error number"; the message is the text of the
  // code, followed by " (win error code: %d)" when there is a number.
  EComPort(int code, int os_error);
  // The same message followed by `detail` (what the user can do about it).
  EComPort(int code, int os_error, const std::string& detail);
  int Code() const { return code_; }
  int WinCode() const { return os_error_; }

 private:
  int code_;
  int os_error_;
};

class TComPort {
 public:
  using RxCharHandler = std::function<void(TComPort& sender, std::int32_t count)>;
  using HangUpHandler = std::function<void(TComPort& sender)>;

  TComPort();
  ~TComPort();  // closes an open device
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  // Settings. Setting a value already held does nothing. While closed a
  // value is only stored; while open BaudRate/DataBits/StopBits re-apply the
  // line settings at once, Port closes and opens the new device, and
  // SyncMethod raises code 14.
  const std::string& Port() const;
  void SetPort(const std::string& name);
  TBaudRate BaudRate() const;
  void SetBaudRate(TBaudRate rate);
  std::int32_t CustomBaudRate() const;
  void SetCustomBaudRate(std::int32_t rate);
  TDataBits DataBits() const;
  void SetDataBits(TDataBits bits);
  TStopBits StopBits() const;
  void SetStopBits(TStopBits bits);
  const TComParity& Parity() const;
  void SetParity(const TComParity& parity);
  const TComFlowControl& FlowControl() const;
  void SetFlowControl(const TComFlowControl& flow);
  const TComTimeouts& Timeouts() const;
  void SetTimeouts(const TComTimeouts& timeouts);
  const TComBuffer& Buffer() const;
  void SetBuffer(const TComBuffer& buffer);  // odd sizes are lowered by 1
  TComEvents Events() const;
  void SetEvents(TComEvents events);
  TSyncMethod SyncMethod() const;
  void SetSyncMethod(TSyncMethod method);
  void SetOnRxChar(RxCharHandler handler);
  // Called once on the event thread when the far end hangs up (the device
  // went away); reads and writes fail from then on.
  void SetOnHangUp(HangUpHandler handler);
  std::uint8_t EventChar() const;
  void SetEventChar(std::uint8_t c);
  bool DiscardNull() const;
  void SetDiscardNull(bool discard);

  bool Connected() const;
  // True while the port is open but its line has hung up.
  bool LineDown() const;

  // Opens the device and starts the event thread; does nothing when open.
  void OpenDevice();
  // Stops the event thread, drains the output (bounded), discards the input
  // and closes; no-op if closed.
  void CloseDevice();
  // Writes all bytes, waiting at most WriteTotalConstant + WriteTotalMultiplier
  // per byte; returns the count written (short on time-out, no error).
  std::int32_t TransmitBytes(std::string_view bytes);
  // Returns at most `count` waiting bytes at once (possibly none).
  std::string ReceiveBytes(std::int32_t count);

  // The file system path that OpenDevice uses for a port name.
  static std::string DevicePath(const std::string& port_name);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarvo::link
