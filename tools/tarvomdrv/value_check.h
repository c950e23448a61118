#pragma once
// Checks of JSON values against the automation parameters they are meant for,
// made before anything is converted: a value that does not fit its
// parameter's type is refused with a description instead of being coerced,
// wrapped around or handed to a conversion with undefined results.
//
//   unsigned char      0 to 255               short   -32768 to 32767
//   long, enumerations -2^31 to 2^31-1        OLE_COLOR (unsigned long) 0 to 2^32-1
//   VARIANT_BOOL       true/false, or an integer -32768 to 32767
//   numbers            finite; a fraction is rounded by the conversion
//   strings            accepted for any scalar type (converted as a VARIANT would be)
//   BSTR               any scalar (string, number, boolean, null)
//   IFontDisp*         a font object or null, and only there
//   arrays             never
//
// A font object: {"Name": string, "Size": number greater than 0 and at most
// kMaxFontSize points, "Bold"/"Italic"/"Underline"/"Strikethrough": booleans,
// "Weight": 0 to 1000, "Charset": 0 to 255}; every field optional, no other
// field.
#include <optional>
#include <string>

#include "tools/tarvomdrv/late_binding.h"

namespace tarvo::tool {

inline constexpr double kMaxFontSize = 1638.0;

// nullopt when `value` fits `param`; else why not. `label` names the value in
// the text (a parameter name, or the property of a put).
std::optional<std::string> CheckValue(const ParamInfo& param, const Json& value,
                                      const std::string& label);

// Checks a request of `member`: `args` (a method's named arguments; must be
// an object naming only parameters of the member that are not the retval)
// or `put_value` (a property put's value). Missing arguments are not checked
// here.
std::optional<std::string> CheckArguments(const MemberInfo& member, const Json* args,
                                          const Json* put_value);

}  // namespace tarvo::tool
