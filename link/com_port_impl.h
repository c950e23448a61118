#pragma once
// Internal to the serial port adapter: the line settings TComPort keeps, how
// they become the device's plain line configuration, and how a failure of the
// device becomes an EComPort.
//
// TComPort (com_port.cpp) keeps the settings and their rules; the device work
// (the open handle, its exclusive lock, the event thread, reading and
// writing) is platform::SerialDevice's.
#include <chrono>
#include <cstdint>

#include "link/com_port.h"
#include "platform/serial_device.h"

namespace tarvo::link::detail {

// The settings that make up the line configuration of an open device.
struct LineSettings {
  TBaudRate baud = TBaudRate::br9600;
  std::int32_t custom_baud = 9600;
  TDataBits data_bits = TDataBits::dbEight;
  TStopBits stop_bits = TStopBits::sbOneStopBit;
  TComParity parity;
  TComFlowControl flow;
};

// The line speed of the settings in bits per second.
std::int32_t RateOf(const LineSettings& line);
// The device's line configuration of the settings.
platform::SerialLine SerialLineOf(const LineSettings& line);
// The library code of a failed device step (1, 2, 3, 7, 8, 9, 10 or 21).
int CodeOf(platform::SerialStep step);

using platform::DrainBound;
using platform::kDrainMargin;

}  // namespace tarvo::link::detail
