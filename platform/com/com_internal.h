#pragma once
// Helpers shared by the parts of the COM runtime; not part of its interface.
#include <string>
#include <string_view>

#include "platform/com/com_abi.h"

namespace tarvo::com::detail {

// UTF-8 -> UTF-16 for the runtime's own texts. It differs from
// platform::Utf8ToUtf16 on malformed input: an overlong form is decoded, and
// a bad sequence turns its lead byte alone into U+FFFD, so each of its
// continuation bytes becomes one more U+FFFD. (The other direction is
// platform::Utf16ToUtf8.)
std::u16string Utf16FromUtf8(std::string_view text);

// Publishes error information for the calling thread (source and description
// as given) and returns `hr`, so that a failure reads `return Fail(hr, ...)`.
HRESULT Fail(HRESULT hr, std::string_view source, std::string_view description);

}  // namespace tarvo::com::detail
