#include "tools/tarvomdrv/value_check.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <string_view>

namespace tarvo::tool {

namespace {

struct Range {
  double low;
  double high;
  const char* text;
};

std::optional<Range> RangeOf(VARTYPE vt) {
  switch (vt) {
    case VT_UI1: return Range{0, 255, "an unsigned char (0 to 255)"};
    case VT_I2: return Range{-32768, 32767, "a short (-32768 to 32767)"};
    case VT_I4:
    case VT_USERDEFINED:  // the library's enumerations are 32-bit signed
      return Range{-2147483648.0, 2147483647.0, "a long (-2147483648 to 2147483647)"};
    case VT_UI4: return Range{0, 4294967295.0, "an unsigned long (0 to 4294967295)"};
    case VT_BOOL: return Range{-32768, 32767, "true, false or an integer from -32768 to 32767"};
    default: return std::nullopt;
  }
}

bool InRange(const Json& value, double low, double high) {
  if (value.is_number_unsigned()) return static_cast<double>(value.get<std::uint64_t>()) <= high;
  if (value.is_number_integer()) {
    const double v = static_cast<double>(value.get<std::int64_t>());
    return v >= low && v <= high;
  }
  const double v = value.get<double>();
  return std::isfinite(v) && v >= low && v <= high;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::optional<std::string> CheckFont(const Json& font, const std::string& label) {
  static constexpr const char* kKnown =
      "Name, Size, Bold, Italic, Underline, Strikethrough, Weight, Charset";
  for (auto it = font.begin(); it != font.end(); ++it) {
    const std::string& key = it.key();
    const Json& v = it.value();
    const std::string field = "font field '" + key + "' of " + label;
    if (key == "Name") {
      if (!v.is_string()) return field + " must be a string";
    } else if (key == "Size") {
      if (!v.is_number() || !InRange(v, 0, kMaxFontSize) || v.get<double>() <= 0)
        return field + " must be a number of points greater than 0 and at most 1638";
    } else if (key == "Bold" || key == "Italic" || key == "Underline" || key == "Strikethrough") {
      if (!v.is_boolean()) return field + " must be true or false";
    } else if (key == "Weight") {
      if (!v.is_number_integer() || !InRange(v, 0, 1000))
        return field + " must be an integer from 0 to 1000";
    } else if (key == "Charset") {
      if (!v.is_number_integer() || !InRange(v, 0, 255))
        return field + " must be an integer from 0 to 255";
    } else {
      return "unknown " + field + " (a font has " + kKnown + ")";
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> CheckValue(const ParamInfo& param, const Json& value,
                                      const std::string& label) {
  if (value.is_array()) return "'" + label + "' cannot be an array";
  if (param.vt == VT_DISPATCH) {
    if (value.is_null()) return std::nullopt;
    if (!value.is_object())
      return "'" + label + "' must be a font object such as {\"Name\":\"Arial\",\"Size\":10}";
    return CheckFont(value, "'" + label + "'");
  }
  if (value.is_object())
    return "'" + label + "' takes no object (an object is accepted only for an IFontDisp parameter)";
  if (value.is_number()) {
    if (const auto range = RangeOf(param.vt); range && !InRange(value, range->low, range->high))
      return "'" + label + "' must be " + range->text;
    if (value.is_number_float() && !std::isfinite(value.get<double>()))
      return "'" + label + "' must be a finite number";
  }
  return std::nullopt;
}

std::optional<std::string> CheckArguments(const MemberInfo& member, const Json* args,
                                          const Json* put_value) {
  if (put_value) {
    for (const ParamInfo& p : member.params)
      if (!p.retval) return CheckValue(p, *put_value, member.name);
    return "'" + member.name + "' takes no value";
  }
  if (!args) return std::nullopt;
  if (!args->is_object()) return std::string("\"args\" must be an object");
  for (auto it = args->begin(); it != args->end(); ++it) {
    const std::string key = Lower(it.key());
    const auto p = std::find_if(member.params.begin(), member.params.end(), [&](const ParamInfo& q) {
      return !q.retval && Lower(q.name) == key;
    });
    if (p == member.params.end())
      return "unknown argument '" + it.key() + "' of " + member.name;
    if (auto error = CheckValue(*p, it.value(), it.key())) return error;
  }
  return std::nullopt;
}

}  // namespace tarvo::tool
