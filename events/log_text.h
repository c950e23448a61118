#pragma once
// Register texts made safe for the diagnostic log.
//
// Texts that come from a register (AP numbers, codes, identifiers, single
// bytes) may hold line breaks and other control bytes; written raw, they
// would break the log's lines or forge new ones. In the log they appear
// escaped: every control byte (0x00-0x1F and 0x7F) as \xHH with two
// upper-case hex digits, the backslash itself as \\, so that the form reads
// back without ambiguity. Bytes from 0x80 up are code-page text and stay.
// Only log lines use this; event parameters carry the bytes as received.
#include <string>
#include <string_view>

namespace tarvo::events {

std::string LogSafe(std::string_view text);

}  // namespace tarvo::events
