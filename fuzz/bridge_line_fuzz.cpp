// The bridge's handling of one request line (tools/tarvomdrv/bridge_request.h)
// over a fake control: the line is parsed, its member looked up in the fake's
// type model, its values checked and only then handed to the fake. The
// fake's members:
//   method Send(port_num UI1, amount I4, text BSTR, flag BOOL, [retval] I4),
//   property Caption (get, put; BSTR), property Font (put; IFontDisp),
//   property Visible (put; BOOL).
// A put of Caption whose text starts with "!" makes the fake throw, on
// purpose, a failure the bridge has to answer all the same.
// The input is one line (no newline, at most kMaxLineBytes: the bridge's
// reader refuses a longer one itself). Invariants:
//   - AnswerLine never throws;
//   - a blank line gets no answer, every other line exactly one JSON object
//     with "id" (the request's id when the line is an object that has one,
//     else null) and "hresult" or an "error" with a description;
//   - the fake is called only with values that passed the checks: named
//     arguments of the member's own parameters, an unsigned char 0 to 255, a
//     long within 32 bits, a boolean as true/false or a short, scalars for
//     strings, a font object only for the font, never an array.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "tools/tarvomdrv/bridge_request.h"
#include "tools/tarvomdrv/late_binding.h"

namespace tool = tarvo::tool;
using tool::Json;

namespace {

tool::ParamInfo Param(std::string name, VARTYPE vt, bool retval = false) {
  tool::ParamInfo p;
  p.name = std::move(name);
  p.vt = vt;
  p.retval = retval;
  p.out = retval;
  p.by_ref = retval;
  if (vt == VT_DISPATCH) p.type_name = "IFontDisp";
  return p;
}

tool::MemberInfo Member(std::string name, DISPID id, INVOKEKIND kind,
                        std::vector<tool::ParamInfo> params) {
  return tool::MemberInfo{std::move(name), id, kind, std::move(params)};
}

tool::TypeModel Model() {
  return tool::TypeModel(
      GUID{}, {Member("Send", 1, INVOKE_FUNC,
                      {Param("port_num", VT_UI1), Param("amount", VT_I4), Param("text", VT_BSTR),
                       Param("flag", VT_BOOL), Param("Value", VT_I4, /*retval=*/true)}),
               Member("Caption", 2, INVOKE_PROPERTYGET, {Param("Value", VT_BSTR, true)}),
               Member("Caption", 2, INVOKE_PROPERTYPUT, {Param("Value", VT_BSTR)}),
               Member("Font", 3, INVOKE_PROPERTYPUTREF, {Param("Value", VT_DISPATCH)}),
               Member("Visible", 4, INVOKE_PROPERTYPUT, {Param("Value", VT_BOOL)})});
}

bool Within(const Json& v, double low, double high) {
  if (v.is_number_unsigned()) return static_cast<double>(v.get<std::uint64_t>()) <= high;
  if (v.is_number_integer()) {
    const auto i = v.get<std::int64_t>();
    return static_cast<double>(i) >= low && static_cast<double>(i) <= high;
  }
  const double d = v.get<double>();
  return std::isfinite(d) && d >= low && d <= high;
}

// What a value must be to reach the control as a parameter of type vt.
void CheckPassed(VARTYPE vt, const Json& v) {
  FUZZ_CHECK(!v.is_array(), "no array reaches the control");
  if (vt == VT_DISPATCH) {
    FUZZ_CHECK(v.is_null() || v.is_object(), "a font is an object or null");
    if (v.is_object()) {
      for (auto it = v.begin(); it != v.end(); ++it) {
        const std::string& k = it.key();
        FUZZ_CHECK(k == "Name" || k == "Size" || k == "Bold" || k == "Italic" ||
                       k == "Underline" || k == "Strikethrough" || k == "Weight" ||
                       k == "Charset",
                   "a font has only its known fields");
        if (k == "Size") FUZZ_CHECK(it->is_number() && Within(*it, 0, 1638) && it->get<double>() > 0,
                                    "a font size is within its range");
      }
    }
    return;
  }
  FUZZ_CHECK(!v.is_object(), "an object reaches only a font");
  if (!v.is_number()) return;
  if (v.is_number_float()) FUZZ_CHECK(std::isfinite(v.get<double>()), "numbers are finite");
  switch (vt) {
    case VT_UI1: FUZZ_CHECK(Within(v, 0, 255), "an unsigned char is 0 to 255"); break;
    case VT_I4: FUZZ_CHECK(Within(v, -2147483648.0, 2147483647.0), "a long is 32 bits"); break;
    case VT_BOOL: FUZZ_CHECK(Within(v, -32768, 32767), "a boolean number is a short"); break;
    default: break;
  }
}

class FakeControl final : public tool::ControlCalls {
 public:
  FakeControl() : model_(Model()) {}
  const tool::TypeModel& methods() const override { return model_; }

  tool::CallOutcome CallMethod(const std::string& name, const Json& args) override {
    FUZZ_CHECK(model_.Find(name, INVOKE_FUNC) != nullptr, "only a known method is called");
    FUZZ_CHECK(args.is_object(), "a method's arguments are an object");
    for (auto it = args.begin(); it != args.end(); ++it) {
      const tool::ParamInfo* p = nullptr;
      for (const tool::ParamInfo& q : model_.Find(name, INVOKE_FUNC)->params) {
        if (!q.retval && Lower(q.name) == Lower(it.key())) p = &q;
      }
      FUZZ_CHECK(p != nullptr, "only the method's own parameters are passed");
      CheckPassed(p->vt, it.value());
    }
    tool::CallOutcome out;
    out.result = Json{{"Value", 1}};
    if (args.size() % 2 == 1) {  // a failure HRESULT with its description now and then
      out.hr = static_cast<HRESULT>(0x80004005);
      out.error = Json{{"description", "failed on purpose"}};
    }
    return out;
  }
  tool::CallOutcome Get(const std::string& name) override {
    FUZZ_CHECK(model_.Find(name, INVOKE_PROPERTYGET) != nullptr, "only a known property is read");
    tool::CallOutcome out;
    out.result = Json{{"Value", "Tarvo"}};
    return out;
  }
  tool::CallOutcome Put(const std::string& name, const Json& value) override {
    const tool::MemberInfo* m = model_.Find(name, INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF);
    FUZZ_CHECK(m != nullptr, "only a writable property is written");
    CheckPassed(m->params.front().vt, value);
    if (value.is_string() && value.get<std::string>().rfind('!', 0) == 0)
      throw std::runtime_error("put failed on purpose");
    return {};
  }

 private:
  static std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }
  tool::TypeModel model_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > tool::kMaxLineBytes) return 0;
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  if (line.find('\n') != std::string_view::npos) return 0;  // the reader splits lines there
  FakeControl control;
  std::optional<Json> answer;
  try {
    answer = tool::AnswerLine(control, line);
  } catch (...) {
    FUZZ_CHECK(false, "AnswerLine never throws");
  }
  const bool blank = line.find_first_not_of(" \t\r") == std::string_view::npos;
  FUZZ_CHECK(answer.has_value() == !blank, "every non-blank line gets an answer, a blank none");
  if (blank) return 0;
  FUZZ_CHECK(answer->is_object(), "an answer is a JSON object");
  FUZZ_CHECK(answer->contains("id"), "an answer carries the request's id");
  FUZZ_CHECK(answer->contains("hresult") || answer->contains("error"), "an answer has a result or an error");
  if (!answer->contains("hresult")) {
    FUZZ_CHECK((*answer)["error"].is_object() && (*answer)["error"]["description"].is_string(),
               "an error describes itself");
  }
  // The id: the request's own when the line is an object that has one.
  Json id = nullptr;
  if (tool::NestingDepth(line, tool::kMaxNestingDepth) <= tool::kMaxNestingDepth) {
    const Json request = Json::parse(line.begin(), line.end(), nullptr, false);
    if (!request.is_discarded() && request.is_object() && request.contains("id")) id = request["id"];
  }
  FUZZ_CHECK((*answer)["id"] == id, "the answer's id is the request's or null");
  // The answer serializes (the bridge writes it as one line).
  const std::string text = answer->dump(-1, ' ', false, Json::error_handler_t::replace);
  FUZZ_CHECK(text.find('\n') == std::string::npos, "an answer is one line");
  return 0;
}
