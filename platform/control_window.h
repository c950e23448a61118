#pragma once
// The control's own window inside its host: a child window of the window the
// host gives it, showing the control's picture stretched over its whole
// client area, and reporting the user's activate, click, double-click,
// deactivate, key-press and paint to the control.
//
// Windows: a real child window (control_window_win32.cpp). Elsewhere there is
// no window system; the window is a record of its parent, place, visibility
// and focus (control_window_posix.h), so the embedding protocol can be
// followed and tested all the same.
//
// Thread: a window belongs to the thread that created it; every call, and
// every notification it makes, happens on that thread.
#include <cstdint>
#include <memory>
#include <span>

namespace tarvo::platform {

// A rectangle in the parent's client coordinates (pixels).
struct WindowRect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
  friend bool operator==(const WindowRect&, const WindowRect&) = default;
};

// What the window reports, on its thread, while it exists.
class ControlWindowEvents {
 public:
  virtual void WindowActivated() = 0;    // the window received the input focus
  virtual void WindowClicked() = 0;      // left button pressed and released
  virtual void WindowDoubleClicked() = 0;
  virtual void WindowDeactivated() = 0;  // the window lost the input focus
  virtual void WindowPainted() = 0;      // after the picture was drawn
  // A typed character; returns the character the window goes on with (0:
  // none).
  virtual std::int16_t WindowKeyPressed(std::int16_t key) = 0;

 protected:
  ~ControlWindowEvents() = default;
};

class ControlWindow {
 public:
  // Creates the window as a visible child of `parent` (the host's native
  // window handle) at `rect`. `picture` (a JPEG image) must outlive the
  // window. Throws std::system_error when the window cannot be created
  // (a null parent included).
  static std::unique_ptr<ControlWindow> Create(void* parent, const WindowRect& rect,
                                               std::span<const std::uint8_t> picture,
                                               ControlWindowEvents& events);
  // Destroys the window without reporting anything more.
  virtual ~ControlWindow() = default;

  // The native window handle.
  virtual void* Handle() const = 0;
  virtual void Move(const WindowRect& rect) = 0;
  virtual void Show(bool visible) = 0;
  // Takes the input focus (reports WindowActivated when it did not have it)
  // or gives it back to the parent (reports WindowDeactivated when it had
  // it).
  virtual void Focus(bool focused) = 0;
};

// Draws `picture` (a JPEG image) stretched into `rect` of the native device
// context `hdc`. False when it could not be drawn; where there is no window
// system nothing is drawn and the result is true.
bool DrawPicture(void* hdc, const WindowRect& rect, std::span<const std::uint8_t> picture);

}  // namespace tarvo::platform
