#pragma once
// One input line of the bridge and its answer: the part of the bridge that
// input reaches, with no I/O and no threads, so that tests and fuzz targets
// can drive it with a fake control.
//
// Every line but a blank one gets exactly one answer: the call's response
// {"id":..,"hresult":..,"result":{..}[,"error":{..}]} or an error line
// {"id":ID or null,"error":{"description":..}}. Nothing a line holds makes
// AnswerLine throw, recurse deeply or read past the line.
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

#include "tools/tarvomdrv/late_binding.h"

namespace tarvo::tool {

// A line longer than this is refused (and its rest discarded unread into
// memory by the reader).
inline constexpr std::size_t kMaxLineBytes = 1 << 20;  // 1 MiB
// Arrays and objects nested deeper than this are refused before parsing.
inline constexpr int kMaxNestingDepth = 64;

// Requests beyond method/get/put (for example a "describe" request that
// lists the members): given the parsed request object and its id, returns
// the answer, or nullopt when the request is not one of its kind. Consulted
// before the method/get/put rules.
using ExtraRequest = std::function<std::optional<Json>(const Json& request, const Json& id)>;

// The answer to one line (without its newline); nullopt for a blank line.
std::optional<Json> AnswerLine(ControlCalls& control, std::string_view line,
                               const ExtraRequest& extra = nullptr);

// The error line for a line longer than kMaxLineBytes (the line is not
// echoed).
Json OverlongLineError();

// The deepest nesting of arrays and objects in `text`, counted outside
// strings; stops counting once `limit` is passed.
int NestingDepth(std::string_view text, int limit);

}  // namespace tarvo::tool
