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
// information. Each line is answered by AnswerLine (bridge_request.h).
//
// Threads: a reader thread takes standard input apart into lines (at most
// kMaxLineBytes each; the rest of a longer line is skipped unbuffered) and
// posts each one to the control's thread through its message loop. The
// control's thread runs the lines in their order whenever it pumps the loop
// -- between calls, and inside a call that waits for the register, just as an
// in-process host's event handler calls the control from inside a waiting
// call. Only the control's thread writes to standard output.
//
// The end of input releases the control (OnDestroy, ports closed) and the
// bridge exits 0. A closed or failing standard output releases the control
// as well; the bridge then exits with kOutputClosedExit and one line on
// standard error. SIGPIPE is ignored.
#include <string>

namespace tarvo::tool {

inline constexpr int kOutputClosedExit = 3;

// Runs until standard input ends (or output fails); returns the exit code.
int RunBridge(const std::string& module_path);

}  // namespace tarvo::tool
