#pragma once
// `tarvomdrv bridge`: the driver for any language, as JSON lines on standard
// input and output.
//
//   in : {"id":ID,"method":NAME,"args":{PARAM:VALUE,...}}
//        {"id":ID,"get":NAME}   {"id":ID,"put":NAME,"value":VALUE}
//   out: {"id":ID,"hresult":H,"result":{...}[,"error":{"description":..,"source":..}]}
//        {"event":NAME,"args":{PARAM:VALUE,...}}
//        {"id":ID or null,"error":{"description":...}}   (a request that could not be made)
//
// The bridge knows no member by name: it reads the control's type
// information. Requests are handled one at a time; between them the thread's
// message loop runs, so timers, the dispatcher and events go on.
#include <string>

namespace tarvo::tool {

// Runs until standard input ends; returns the process exit code.
int RunBridge(const std::string& module_path);

}  // namespace tarvo::tool
