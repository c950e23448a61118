#pragma once
// The control window where there is no window system: the native handle of a
// window is a pointer to its WindowRecord. A host (or a test playing one)
// makes a WindowRecord for its own window and passes its address as the
// parent handle; a control window enters itself in its parent's `children`
// while it exists. A host delivers the user's input by calling the window's
// `events`, as a window system would.
#include <vector>

#include "platform/control_window.h"

namespace tarvo::platform {

struct WindowRecord {
  WindowRecord* parent = nullptr;
  std::vector<WindowRecord*> children;
  WindowRect rect;
  bool visible = false;
  bool focused = false;
  ControlWindowEvents* events = nullptr;  // null for a host's own window
};

inline WindowRecord* RecordOf(void* handle) { return static_cast<WindowRecord*>(handle); }

}  // namespace tarvo::platform
