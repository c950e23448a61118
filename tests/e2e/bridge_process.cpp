#include "bridge_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace tarvo::test {

std::string BinDir() {
  if (const char* env = std::getenv("TARVO_TEST_BIN_DIR"); env && *env) return env;
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string exe = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("./x");
  return exe.substr(0, exe.rfind('/'));
}

std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return "exit=-1";
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int status = ::pclose(pipe);
  return out + "\nexit=" + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

BridgeProcess::BridgeProcess(const std::vector<std::string>& env) {
  int to_child[2];
  int from_child[2];
  if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  const std::string program = BinDir() + "/tarvomdrv";
  std::vector<std::string> env_copy = env;
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(to_child[0], STDIN_FILENO);
    ::dup2(from_child[1], STDOUT_FILENO);
    for (const auto& e : env_copy) ::putenv(const_cast<char*>(e.c_str()));
    ::execl(program.c_str(), program.c_str(), "bridge", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(to_child[0]);
  ::close(from_child[1]);
  in_fd_ = to_child[1];
  out_fd_ = from_child[0];
  reader_ = std::thread([this] { ReadLoop(); });
}

BridgeProcess::~BridgeProcess() {
  if (pid_ > 0 && exit_status_ == -2) {
    if (Finish() == -1 && pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  if (reader_.joinable()) reader_.join();
  if (out_fd_ >= 0) ::close(out_fd_);
}

void BridgeProcess::ReadLoop() {
  std::string pending;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(out_fd_, buf, sizeof buf);
    if (n <= 0) break;
    pending.append(buf, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
      Json line;
      try {
        line = Json::parse(pending.substr(start, nl - start));
      } catch (const std::exception&) {
        line = Json{{"unparsable", pending.substr(start, nl - start)}};
      }
      std::lock_guard<std::mutex> lock(mu_);
      lines_.push_back(std::move(line));
      cv_.notify_all();
    }
    pending.erase(0, start);
  }
  std::lock_guard<std::mutex> lock(mu_);
  eof_ = true;
  cv_.notify_all();
}

void BridgeProcess::WriteLine(const std::string& line) {
  const std::string text = line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(in_fd_, text.data() + done, text.size() - done);
    if (n <= 0) throw std::runtime_error("bridge input closed");
    done += static_cast<std::size_t>(n);
  }
}

Json BridgeProcess::Call(Json request, std::chrono::milliseconds timeout) {
  if (!request.contains("id")) request["id"] = next_id_++;
  const Json id = request["id"];
  WriteLine(request.dump());
  std::unique_lock<std::mutex> lock(mu_);
  Json found;
  cv_.wait_for(lock, timeout, [&] {
    for (const auto& line : lines_)
      if (!line.contains("event") && line.contains("id") && line["id"] == id) {
        found = line;
        return true;
      }
    return eof_;
  });
  return found;
}

Json BridgeProcess::Method(const std::string& name, Json args, std::chrono::milliseconds timeout) {
  return Call(Json{{"method", name}, {"args", std::move(args)}}, timeout);
}

std::optional<Json> BridgeProcess::NextResponse(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  std::optional<Json> found;
  cv_.wait_for(lock, timeout, [&] {
    std::size_t seen = 0;
    for (const auto& line : lines_) {
      if (line.contains("event")) continue;
      if (seen++ == responses_taken_) {
        found = line;
        ++responses_taken_;
        return true;
      }
    }
    return eof_;
  });
  return found;
}

std::optional<Json> BridgeProcess::WaitEvent(const std::string& name, std::size_t n,
                                             std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  std::optional<Json> found;
  cv_.wait_for(lock, timeout, [&] {
    std::size_t seen = 0;
    for (const auto& line : lines_)
      if (line.contains("event") && line["event"] == name && seen++ == n) {
        found = line;
        return true;
      }
    return eof_;
  });
  return found;
}

std::vector<Json> BridgeProcess::Lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::vector<Json> BridgeProcess::Events() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Json> out;
  for (const auto& line : lines_)
    if (line.contains("event")) out.push_back(line);
  return out;
}

std::size_t BridgeProcess::CountEvents(const std::string& name) const {
  std::size_t n = 0;
  for (const auto& e : Events())
    if (e["event"] == name) ++n;
  return n;
}

int BridgeProcess::Finish(std::chrono::milliseconds timeout) {
  if (exit_status_ != -2) return exit_status_;
  if (in_fd_ >= 0) {
    ::close(in_fd_);
    in_fd_ = -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  pid_ = -1;
  if (reader_.joinable()) reader_.join();
  return exit_status_;
}

}  // namespace tarvo::test
