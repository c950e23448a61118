#pragma once
// Helpers shared by the parts of the COM runtime; not part of its interface.
#include <string>
#include <string_view>

#include "platform/com/com_abi.h"

namespace tarvo::com::detail {

std::u16string Utf16FromUtf8(std::string_view text);
std::string Utf8FromUtf16(std::u16string_view text);

// Publishes error information for the calling thread (source and description
// as given) and returns `hr`, so that a failure reads `return Fail(hr, ...)`.
HRESULT Fail(HRESULT hr, std::string_view source, std::string_view description);

}  // namespace tarvo::com::detail
