#include "tools/tarvomdrv/bridge.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>

#include "automation/TarvoMDrv_TLB.h"
#include "platform/com/com_runtime.h"
#include "tools/tarvomdrv/bridge_describe.h"
#include "tools/tarvomdrv/late_binding.h"
#include "tools/tarvomdrv/module_host.h"

namespace tarvo::tool {

namespace {

void WriteLine(const Json& line) {
  const std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void WriteRequestError(const Json& id, const std::string& description) {
  WriteLine(Json{{"id", id}, {"error", Json{{"description", description}}}});
}

void HandleLine(LateBoundControl& control, const std::string& line) {
  if (line.find_first_not_of(" \t\r") == std::string::npos) return;  // blank line
  Json request;
  try {
    request = Json::parse(line);
  } catch (const Json::parse_error& e) {
    WriteRequestError(nullptr, std::string("malformed line: ") + e.what());
    return;
  }
  if (!request.is_object()) {
    WriteRequestError(nullptr, "a request must be a JSON object");
    return;
  }
  const Json id = request.contains("id") ? request["id"] : Json(nullptr);
  if (request.contains("describe")) {
    WriteLine(DescribeResponse(id, control));
    return;
  }
  LateBoundControl::Outcome outcome;
  if (request.contains("method") && request["method"].is_string()) {
    const Json args = request.contains("args") ? request["args"] : Json::object();
    outcome = control.CallMethod(request["method"].get<std::string>(), args);
  } else if (request.contains("get") && request["get"].is_string()) {
    outcome = control.Get(request["get"].get<std::string>());
  } else if (request.contains("put") && request["put"].is_string()) {
    if (!request.contains("value")) {
      WriteRequestError(id, "\"put\" needs a \"value\"");
      return;
    }
    outcome = control.Put(request["put"].get<std::string>(), request["value"]);
  } else {
    WriteRequestError(id, "a request needs \"method\", \"get\" or \"put\"");
    return;
  }
  if (outcome.request_error) {
    WriteRequestError(id, *outcome.request_error);
    return;
  }
  Json response{{"id", id}, {"hresult", outcome.hr}, {"result", outcome.result}};
  if (outcome.error) response["error"] = *outcome.error;
  WriteLine(response);
}

}  // namespace

int RunBridge(const std::string& module_path) {
  ModuleHost module(module_path);
  IDispatch* raw = nullptr;
  HRESULT hr = module.CreateControl(CLSID_Tarvo, &raw);
  if (FAILED(hr) || !raw) {
    std::cerr << "tarvomdrv bridge: cannot create the control: " << HresultText(hr) << "\n";
    return 1;
  }
  LateBoundControl control(raw);
  raw->Release();
  hr = control.ConnectEvents([](const std::string& name, const Json& args) {
    WriteLine(Json{{"event", name}, {"args", args}});
  });
  if (FAILED(hr)) {
    std::cerr << "tarvomdrv bridge: cannot connect the event sink: " << HresultText(hr) << "\n";
    return 1;
  }

  std::string pending;
  bool input_open = true;
  while (input_open) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {TarvoMessageLoopFd(), POLLIN, 0}};
    const int timeout = TarvoMessageLoopTimeoutMs();
    const int ready = ::poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) break;
    TarvoProcessPendingMessages();
    if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[65536];
      const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n > 0) {
        pending.append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        input_open = false;
      }
      std::size_t start = 0;
      for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
        HandleLine(control, pending.substr(start, nl - start));
        TarvoProcessPendingMessages();
      }
      pending.erase(0, start);
    }
  }
  if (!pending.empty()) HandleLine(control, pending);
  // End of input: the control goes, saying goodbye to the sink and closing
  // its ports.
  control.Release();
  return 0;
}

}  // namespace tarvo::tool
