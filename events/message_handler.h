#pragma once
// The handling of one register message: the events it raises, the replies
// the driver sends by itself, the state of the register it changes, the
// answers it stores for waiting commands and its log lines.
//
// Everything outside the payload is reached through DispatchContext, so the
// handling can be driven directly (tests, fuzz targets). A message shorter
// than its kind's layout is handled with what its bytes give (missing
// numbers read 0, texts stop early) and, besides, recorded in the log as
// "Short message <kind>: <n> of <size> bytes: <hex dump>" (kind 'C').
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "events/dispatch_context.h"
#include "events/message_kinds.h"

namespace tarvo::events {

// The display text with which the 841 mode refuses a waste sell request.
inline constexpr std::u16string_view kRefusalText = u"Tiltott m\u0171velet!";

// Handles one message of `kind` with `payload` (the body after the kind
// byte). A receiver that throws is logged ("Dispatch ERROR: ...") and the
// handling goes on as if the event had been delivered; failures of the
// context itself propagate.
void HandleMessage(DispatchContext& context, std::uint8_t kind, std::string_view payload);

// The text of a failure for the log; a serial port failure also names its
// code.
std::string DescribeFailure(const std::exception& e);

}  // namespace tarvo::events
