#pragma once
// The host's end of the line in the simulator tests: opens the simulator's
// path raw, writes bytes and reads what the register sends as a stream of
// tokens (frames with their checksum verdict, DLE ACK, NAK, other bytes).
// One thread uses it at a time.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "link/frame.h"

namespace tarvo::sim::test {

inline std::string H(std::string_view text) {
  std::string out;
  std::string pair;
  for (const char c : text) {
    if (c == ' ') continue;
    pair.push_back(c);
    if (pair.size() == 2) {
      out.push_back(static_cast<char>(std::stoi(pair, nullptr, 16)));
      pair.clear();
    }
  }
  return out;
}

struct Token {
  enum class Type { kFrame, kAck, kNak, kDleNak, kEnq, kOther, kHangUp };
  Type type = Type::kOther;
  std::string body;        // kFrame: undoubled body; kOther: the byte
  bool checksum_ok = true; // kFrame
};

class HostLine {
 public:
  explicit HostLine(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    termios tio{};
    if (::tcgetattr(fd_, &tio) == 0) {
      ::cfmakeraw(&tio);
      tio.c_cflag |= CLOCAL | CREAD;
      tio.c_cc[VMIN] = 0;
      tio.c_cc[VTIME] = 0;
      ::cfsetispeed(&tio, B9600);
      ::cfsetospeed(&tio, B9600);
      ::tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~HostLine() {
    if (fd_ >= 0) ::close(fd_);
  }
  HostLine(const HostLine&) = delete;
  HostLine& operator=(const HostLine&) = delete;

  void Write(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 1000);
      } else if (!(n < 0 && errno == EINTR)) {
        throw std::runtime_error("host write failed");
      }
    }
  }
  void SendBody(std::string_view body) { Write(link::BuildFrame(body)); }

  // The next token within `timeout`; nothing when the line stayed quiet.
  std::optional<Token> Next(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (auto t = Parse()) return t;
      if (hung_up_) return Token{Token::Type::kHangUp, {}, true};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{fd_, POLLIN, 0};
      const int r = ::poll(&p, 1, static_cast<int>(left.count()));
      if (r <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n > 0) {
        pending_.append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        hung_up_ = true;
      }
    }
  }

  // The next frame, acknowledging it with DLE ACK when `ack` is set.
  std::optional<std::string> NextFrame(bool ack = true,
                                       std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    auto t = Next(timeout);
    if (!t || t->type != Token::Type::kFrame || !t->checksum_ok) return std::nullopt;
    if (ack) Write(link::kDleAck);
    return t->body;
  }

  // Sends a frame and reads the register's verdict on it.
  std::optional<Token::Type> Exchange(std::string_view body) {
    SendBody(body);
    auto t = Next();
    if (!t) return std::nullopt;
    return t->type;
  }

 private:
  // One token from the head of `pending_`, when complete.
  std::optional<Token> Parse() {
    if (pending_.empty()) return std::nullopt;
    const auto b0 = static_cast<std::uint8_t>(pending_[0]);
    auto take = [&](std::size_t n, Token::Type type) {
      Token t{type, pending_.substr(0, n), true};
      pending_.erase(0, n);
      return t;
    };
    if (b0 == link::kNak) return take(1, Token::Type::kNak);
    if (b0 == link::kEnq) return take(1, Token::Type::kEnq);
    if (b0 != link::kDle) return take(1, Token::Type::kOther);
    if (pending_.size() < 2) return std::nullopt;
    const auto b1 = static_cast<std::uint8_t>(pending_[1]);
    if (b1 == link::kAck) return take(2, Token::Type::kAck);
    if (b1 == link::kNak) return take(2, Token::Type::kDleNak);
    if (b1 != link::kStx) return take(1, Token::Type::kOther);
    std::string body;
    for (std::size_t i = 2; i + 1 < pending_.size(); ++i) {
      const auto b = static_cast<std::uint8_t>(pending_[i]);
      if (b != link::kDle) {
        body.push_back(pending_[i]);
        continue;
      }
      const auto next = static_cast<std::uint8_t>(pending_[i + 1]);
      if (next == link::kDle) {
        body.push_back(pending_[i]);
        ++i;
      } else if (next == link::kEtx) {
        if (i + 2 >= pending_.size()) return std::nullopt;  // checksum not here yet
        const auto sum = static_cast<std::uint8_t>(pending_[i + 2]);
        // BuildFrame ends with the checksum the body should have.
        const bool ok = link::BuildFrame(body).back() == static_cast<char>(sum);
        Token t{Token::Type::kFrame, body, ok};
        pending_.erase(0, i + 3);
        return t;
      } else {
        body.push_back(pending_[i]);  // a lone DLE inside a body: kept, checksum will tell
      }
    }
    return std::nullopt;
  }

  int fd_ = -1;
  bool hung_up_ = false;
  std::string pending_;
};

}  // namespace tarvo::sim::test
