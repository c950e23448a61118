#include "events/dispatcher.h"

#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace tarvo::events {

std::uint8_t PortNumFromName(std::string_view port_name) {
  constexpr std::string_view kPrefix = "COM";
  if (port_name.substr(0, kPrefix.size()) != kPrefix) return 0;
  const std::string_view digits = port_name.substr(kPrefix.size(), 2);
  if (digits.empty()) return 0;
  unsigned value = 0;
  for (char ch : digits) {
    if (ch < '0' || ch > '9') return 0;
    value = value * 10 + static_cast<unsigned>(ch - '0');
  }
  return static_cast<std::uint8_t>(value);
}

// The context of one message: its port entry and this control.
class Dispatcher::EntryContext final : public DispatchContext {
 public:
  EntryContext(Dispatcher& d, core::PortEntry& entry, std::uint8_t port_num)
      : d_(d), entry_(entry), port_num_(port_num) {}

  std::uint8_t PortNum() override { return port_num_; }
  bool Mode650() override { return d_.impl_.Mode650 != 0; }

  bool ShortInquiry() override { return entry_.ShortInquiry.load() != 0; }
  void SetShortInquiry(bool short_form) override { entry_.ShortInquiry = short_form ? 1 : 0; }
  void SetMultiplier(std::int32_t multiplier) override { entry_.Multiplier = multiplier; }
  bool WasteRefused() override { return entry_.WasteRefused.load(); }
  void SetWasteRefused(bool refused) override { entry_.WasteRefused = refused; }
  bool CloseWasteReported() override { return entry_.CloseWasteReported.load(); }
  void SetCloseWasteReported(bool reported) override { entry_.CloseWasteReported = reported; }
  core::AnswerSlots& Answers() override { return entry_.Answers; }

  EventReceiver* Receiver() override { return d_.receiver_; }

  void AutoEnable() override {
    Reply([&](std::int32_t& value) { d_.commands_.OperationEnabled(port_num_, true, u"", value); });
  }
  void Refuse() override {
    Reply([&](std::int32_t& value) {
      d_.commands_.OperationEnabled(port_num_, false, kRefusalText, value);
    });
  }
  void SendPlaceholderPlu() override {
    Reply([&](std::int32_t& value) {
      d_.commands_.SendPlu(port_num_, u"0", u" ", 1, 0, 0, u"110000000011", u"", u"0", 0, 0, 0,
                           value);
    });
  }

  void Log(char kind, std::string_view text) override {
    if (entry_.LogSize > 0) d_.impl_.Log(entry_, kind, text);
  }

  // A failure while handling the message; nothing more can be done for it.
  void LogFailure(std::string_view what) {
    try {
      Log('s', "Dispatch ERROR: " + std::string(what));
    } catch (...) {
      // The log itself failed: the message is consumed all the same.
    }
  }

 private:
  // The result codes of the driver's own replies are ignored (a closed port
  // gives 3); a failure of the port is logged and does not stop the handling.
  void Reply(const std::function<void(std::int32_t& value)>& send) {
    std::int32_t value = 0;
    try {
      send(value);
    } catch (const std::exception& e) {
      LogFailure(DescribeFailure(e));
    } catch (...) {
      LogFailure("unknown failure");
    }
  }

  Dispatcher& d_;
  core::PortEntry& entry_;
  const std::uint8_t port_num_;
};

Dispatcher::Dispatcher(core::TarvoImpl1& impl, commands::HostCommands& commands)
    : impl_(impl), commands_(commands) {}

void Dispatcher::ProcessQueuedMessage(const core::QueuedMessage& msg) {
  const std::shared_ptr<core::PortEntry> entry = msg.source.lock();
  // The port's entry was removed after the message was queued: nobody is
  // left to address.
  if (!entry || msg.bytes.empty()) return;
  const auto kind = static_cast<std::uint8_t>(msg.bytes[0]);
  const std::string_view payload =
      msg.bytes.size() > 2 ? std::string_view(msg.bytes).substr(2) : std::string_view();
  std::uint8_t port_num = PortNumFromName(entry->Name());
  if (port_num == 0) port_num = entry->PortNum;
  EntryContext context(*this, *entry, port_num);
  try {
    HandleMessage(context, kind, payload);
  } catch (const std::exception& e) {
    context.LogFailure(DescribeFailure(e));
  } catch (...) {
    context.LogFailure("unknown failure");
  }
}

}  // namespace tarvo::events
