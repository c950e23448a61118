#include "tools/tarvomdrv/bridge_request.h"

#include <exception>
#include <string>

#include "tools/tarvomdrv/value_check.h"

namespace tarvo::tool {

namespace {

Json ErrorLine(const Json& id, const std::string& description) {
  return Json{{"id", id}, {"error", Json{{"description", description}}}};
}

Json Answer(const Json& id, const CallOutcome& outcome) {
  if (outcome.request_error) return ErrorLine(id, *outcome.request_error);
  Json response{{"id", id}, {"hresult", outcome.hr}, {"result", outcome.result}};
  if (outcome.error) response["error"] = *outcome.error;
  return response;
}

// The request's member looked up and its values checked, then the call.
Json Dispatch(ControlCalls& control, const Json& request, const Json& id) {
  const TypeModel& methods = control.methods();
  if (request.contains("method")) {
    if (!request["method"].is_string()) return ErrorLine(id, "\"method\" must be a string");
    const std::string name = request["method"].get<std::string>();
    const Json args = request.contains("args") ? request["args"] : Json::object();
    const MemberInfo* member = methods.Find(name, INVOKE_FUNC);
    if (!member) return ErrorLine(id, "unknown method '" + name + "'");
    if (auto refused = CheckArguments(*member, &args, nullptr)) return ErrorLine(id, *refused);
    return Answer(id, control.CallMethod(name, args));
  }
  if (request.contains("get")) {
    if (!request["get"].is_string()) return ErrorLine(id, "\"get\" must be a string");
    const std::string name = request["get"].get<std::string>();
    if (!methods.Find(name, INVOKE_PROPERTYGET))
      return ErrorLine(id, "unknown property '" + name + "'");
    return Answer(id, control.Get(name));
  }
  if (request.contains("put")) {
    if (!request["put"].is_string()) return ErrorLine(id, "\"put\" must be a string");
    if (!request.contains("value")) return ErrorLine(id, "\"put\" needs a \"value\"");
    const std::string name = request["put"].get<std::string>();
    const MemberInfo* member = methods.Find(name, INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF);
    if (!member) return ErrorLine(id, "unknown or read-only property '" + name + "'");
    if (auto refused = CheckArguments(*member, nullptr, &request["value"]))
      return ErrorLine(id, *refused);
    return Answer(id, control.Put(name, request["value"]));
  }
  return ErrorLine(id, "a request needs \"method\", \"get\" or \"put\"");
}

}  // namespace

int NestingDepth(std::string_view text, int limit) {
  int depth = 0;
  int deepest = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        in_string = false;
      continue;
    }
    switch (c) {
      case '"': in_string = true; break;
      case '[':
      case '{':
        if (++depth > deepest) deepest = depth;
        if (deepest > limit) return deepest;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default: break;
    }
  }
  return deepest;
}

Json OverlongLineError() {
  return ErrorLine(nullptr, "line longer than " + std::to_string(kMaxLineBytes) +
                                " bytes; it was discarded");
}

std::optional<Json> AnswerLine(ControlCalls& control, std::string_view line,
                               const ExtraRequest& extra) {
  if (line.find_first_not_of(" \t\r") == std::string_view::npos) return std::nullopt;
  if (line.size() > kMaxLineBytes) return OverlongLineError();
  // Checked before parsing, so that no parser or destructor recurses deeply.
  if (NestingDepth(line, kMaxNestingDepth) > kMaxNestingDepth)
    return ErrorLine(nullptr, "a request may nest arrays and objects at most " +
                                  std::to_string(kMaxNestingDepth) + " levels deep");
  Json request = Json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
  if (request.is_discarded()) return ErrorLine(nullptr, "malformed line: not a JSON value");
  if (!request.is_object()) return ErrorLine(nullptr, "a request must be a JSON object");
  const Json id = request.contains("id") ? request["id"] : Json(nullptr);
  try {
    if (extra)
      if (auto answer = extra(request, id)) return answer;
    return Dispatch(control, request, id);
  } catch (const std::exception& e) {
    // Nothing above should throw; if something does, the line still gets
    // its answer and the bridge goes on.
    return ErrorLine(id, std::string("the request failed: ") + e.what());
  }
}

}  // namespace tarvo::tool
