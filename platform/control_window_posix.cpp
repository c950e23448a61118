// The control window without a window system: a WindowRecord entered in its
// parent's list of children (see control_window_posix.h).
#if !defined(_WIN32)

#include <algorithm>
#include <system_error>

#include "platform/control_window_posix.h"

namespace tarvo::platform {
namespace {

class RecordedWindow final : public ControlWindow {
 public:
  RecordedWindow(WindowRecord& parent, const WindowRect& rect, ControlWindowEvents& events) {
    record_.parent = &parent;
    record_.rect = rect;
    record_.visible = true;
    record_.events = &events;
    parent.children.push_back(&record_);
  }
  ~RecordedWindow() override { std::erase(record_.parent->children, &record_); }

  void* Handle() const override { return const_cast<WindowRecord*>(&record_); }
  void Move(const WindowRect& rect) override { record_.rect = rect; }
  void Show(bool visible) override { record_.visible = visible; }
  void Focus(bool focused) override {
    if (record_.focused == focused) return;
    record_.focused = focused;
    if (focused)
      record_.events->WindowActivated();
    else
      record_.events->WindowDeactivated();
  }

 private:
  WindowRecord record_;
};

}  // namespace

std::unique_ptr<ControlWindow> ControlWindow::Create(void* parent, const WindowRect& rect,
                                                     std::span<const std::uint8_t>,
                                                     ControlWindowEvents& events) {
  if (parent == nullptr)
    throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                            "A control window needs a parent window");
  return std::make_unique<RecordedWindow>(*RecordOf(parent), rect, events);
}

bool DrawPicture(void*, const WindowRect&, std::span<const std::uint8_t>) { return true; }

}  // namespace tarvo::platform

#endif  // !_WIN32
