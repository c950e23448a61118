#pragma once
// The two places where the driver's portable types and the COM types of the
// system differ in name but not in shape:
// - OLECHAR is UTF-16 everywhere, but it is wchar_t on Windows and char16_t
//   elsewhere; the driver keeps its texts as char16_t (std::u16string).
// - LONG is 32-bit everywhere, but it is `long` on Windows and int32_t
//   elsewhere; the driver's commands take std::int32_t.
// These casts change only the name of the type; both sides have the same
// size, alignment and representation (checked below).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com/com_abi.h"

namespace tarvo::com {

static_assert(sizeof(OLECHAR) == sizeof(char16_t) && alignof(OLECHAR) == alignof(char16_t));
static_assert(sizeof(LONG) == sizeof(std::int32_t) && alignof(LONG) == alignof(std::int32_t));

// char16_t text as OLECHAR text, for the COM calls that take it.
inline OLECHAR* Ole(char16_t* text) { return reinterpret_cast<OLECHAR*>(text); }
inline const OLECHAR* Ole(const char16_t* text) { return reinterpret_cast<const OLECHAR*>(text); }

// OLECHAR text as char16_t text.
inline const char16_t* U16(const OLECHAR* text) { return reinterpret_cast<const char16_t*>(text); }
// The first `length` characters of OLECHAR text; empty for a null pointer.
inline std::u16string_view U16View(const OLECHAR* text, std::size_t length) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(U16(text), length);
}

// A LONG that the driver fills as a std::int32_t.
inline std::int32_t& Int32(LONG& value) { return reinterpret_cast<std::int32_t&>(value); }

}  // namespace tarvo::com
