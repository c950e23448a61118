#pragma once
// Runs `tarvomdrv bridge` as a child process and talks JSON lines to it, the
// way a point-of-sale program in any language would.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarvo::test {

using Json = nlohmann::ordered_json;

// The folder holding tarvomdrv and TarvoMDrv.so (the test's own folder).
std::string BinDir();

// Runs a shell command to its end and returns what it printed, followed by
// a last line "exit=N" with its exit status.
std::string RunCommand(const std::string& command);

class BridgeProcess {
 public:
  // Starts the bridge; extra environment entries ("NAME=value") are added.
  explicit BridgeProcess(const std::vector<std::string>& env = {});
  // Closes standard input if still open and waits for the exit.
  ~BridgeProcess();

  // Sends a request line (an "id" is added when missing) and waits for the
  // response with that id. Events that arrive meanwhile are kept.
  Json Call(Json request, std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Shorthand for {"method":name,"args":args}.
  Json Method(const std::string& name, Json args,
              std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Writes a raw line (may be malformed on purpose).
  void WriteLine(const std::string& line);
  // The next line that is not an event (a response or an error line).
  std::optional<Json> NextResponse(std::chrono::milliseconds timeout);

  // Waits until an event named `name` has arrived (counting from the start);
  // returns the n-th (0-based) such event.
  std::optional<Json> WaitEvent(const std::string& name, std::size_t n = 0,
                                std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Every line received so far, in order.
  std::vector<Json> Lines() const;
  std::vector<Json> Events() const;
  std::size_t CountEvents(const std::string& name) const;

  // Closes standard input and waits for the exit; returns the exit status
  // (or -1 on a signal or a time-out).
  int Finish(std::chrono::milliseconds timeout = std::chrono::seconds(30));

 private:
  void ReadLoop();

  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  int next_id_ = 1;
  std::thread reader_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Json> lines_;
  std::size_t responses_taken_ = 0;
  bool eof_ = false;
  int exit_status_ = -2;
};

}  // namespace tarvo::test
