// The control window on Windows: a child window of the host's window that
// paints the control's picture stretched over its client area and reports
// focus, clicks, double-clicks, typed characters and painting.
#if defined(_WIN32)

#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include <cstring>
#include <mutex>
#include <system_error>

#include "platform/control_window.h"

namespace tarvo::platform {
namespace {

constexpr wchar_t kClassName[] = L"TarvoMDrvControlWindow";

[[noreturn]] void ThrowLastError(const char* what) {
  throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

// This module's instance: the window class belongs to it.
HINSTANCE ModuleInstance() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&WindowProc), &module);
  return module;
}

// The window class is registered while at least one control window exists:
// Windows does not remove a module's classes when the module is unloaded, and
// a class left behind would point at a window procedure that is gone.
// `windows` and the registration are guarded by `class_mutex`.
std::mutex class_mutex;
int windows = 0;

void AcquireClass() {
  std::lock_guard<std::mutex> lock(class_mutex);
  if (windows == 0) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS | CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = &WindowProc;
    wc.hInstance = ModuleInstance();
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = kClassName;
    if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
      ThrowLastError("The control window class cannot be registered");
  }
  ++windows;
}

void ReleaseClass() {
  std::lock_guard<std::mutex> lock(class_mutex);
  if (--windows == 0) UnregisterClassW(kClassName, ModuleInstance());
}

// Decodes the JPEG picture into an OLE picture object (null when it cannot).
IPicture* LoadPicture(std::span<const std::uint8_t> jpeg) {
  if (jpeg.empty()) return nullptr;
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, jpeg.size());
  if (memory == nullptr) return nullptr;
  void* bytes = GlobalLock(memory);
  if (bytes == nullptr) {
    GlobalFree(memory);
    return nullptr;
  }
  std::memcpy(bytes, jpeg.data(), jpeg.size());
  GlobalUnlock(memory);
  IStream* stream = nullptr;
  if (FAILED(CreateStreamOnHGlobal(memory, TRUE, &stream))) {
    GlobalFree(memory);
    return nullptr;
  }
  IPicture* picture = nullptr;
  if (FAILED(OleLoadPicture(stream, static_cast<LONG>(jpeg.size()), FALSE, IID_IPicture,
                            reinterpret_cast<void**>(&picture))))
    picture = nullptr;
  stream->Release();  // frees the memory too
  return picture;
}

// Stretches the whole picture over `rect`; button face where there is none.
bool Render(IPicture* picture, HDC hdc, const RECT& rect) {
  if (picture != nullptr) {
    OLE_XSIZE_HIMETRIC width = 0;
    OLE_YSIZE_HIMETRIC height = 0;
    picture->get_Width(&width);
    picture->get_Height(&height);
    // The source rectangle runs bottom-up in HIMETRIC.
    if (SUCCEEDED(picture->Render(hdc, rect.left, rect.top, rect.right - rect.left,
                                  rect.bottom - rect.top, 0, height, width, -height, nullptr)))
      return true;
  }
  FillRect(hdc, &rect, GetSysColorBrush(COLOR_BTNFACE));
  return false;
}

class NativeWindow final : public ControlWindow {
 public:
  NativeWindow(HWND parent, const WindowRect& rect, std::span<const std::uint8_t> jpeg,
               ControlWindowEvents& events)
      : events_(&events), picture_(LoadPicture(jpeg)) {
    AcquireClass();
    hwnd_ = CreateWindowExW(0, kClassName, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS,
                            rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                            parent, nullptr, ModuleInstance(), this);
    if (hwnd_ == nullptr) {
      const DWORD error = GetLastError();
      if (picture_ != nullptr) picture_->Release();
      ReleaseClass();
      throw std::system_error(static_cast<int>(error), std::system_category(),
                              "The control window cannot be created");
    }
  }

  ~NativeWindow() override {
    events_ = nullptr;  // nothing is reported while the window goes
    DestroyWindow(hwnd_);
    if (picture_ != nullptr) picture_->Release();
    ReleaseClass();
  }

  void* Handle() const override { return hwnd_; }

  void Move(const WindowRect& rect) override {
    SetWindowPos(hwnd_, nullptr, rect.left, rect.top, rect.right - rect.left,
                 rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void Show(bool visible) override { ShowWindow(hwnd_, visible ? SW_SHOWNA : SW_HIDE); }

  void Focus(bool focused) override {
    if (focused) {
      if (GetFocus() != hwnd_) SetFocus(hwnd_);  // WM_SETFOCUS reports it
    } else if (GetFocus() == hwnd_) {
      SetFocus(GetParent(hwnd_));  // WM_KILLFOCUS reports it
    }
  }

  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
      case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC hdc = BeginPaint(hwnd_, &paint);
        RECT client;
        GetClientRect(hwnd_, &client);
        Render(picture_, hdc, client);
        EndPaint(hwnd_, &paint);
        if (events_ != nullptr) events_->WindowPainted();
        return 0;
      }
      case WM_ERASEBKGND:
        return 1;  // the picture covers the whole client area
      case WM_SETFOCUS:
        if (events_ != nullptr) events_->WindowActivated();
        return 0;
      case WM_KILLFOCUS:
        if (events_ != nullptr) events_->WindowDeactivated();
        return 0;
      case WM_LBUTTONDOWN:
        pressed_ = true;
        SetCapture(hwnd_);
        if (GetFocus() != hwnd_) SetFocus(hwnd_);
        return 0;
      case WM_LBUTTONUP: {
        const bool was_pressed = pressed_;
        pressed_ = false;
        if (GetCapture() == hwnd_) ReleaseCapture();
        POINT at{static_cast<SHORT>(LOWORD(lparam)), static_cast<SHORT>(HIWORD(lparam))};
        RECT client;
        GetClientRect(hwnd_, &client);
        // A click is a press and a release inside the window.
        if (was_pressed && PtInRect(&client, at) && events_ != nullptr) events_->WindowClicked();
        return 0;
      }
      case WM_LBUTTONDBLCLK:
        if (events_ != nullptr) events_->WindowDoubleClicked();
        return 0;
      case WM_CHAR: {
        if (events_ == nullptr) break;
        const std::int16_t key = events_->WindowKeyPressed(static_cast<std::int16_t>(wparam));
        if (key == 0) return 0;  // the handler took the character
        return DefWindowProcW(hwnd_, message, static_cast<WPARAM>(key & 0xFF), lparam);
      }
      case WM_GETDLGCODE:
        return DLGC_WANTCHARS;
      default:
        break;
    }
    return DefWindowProcW(hwnd_, message, wparam, lparam);
  }

  void Attach(HWND hwnd) { hwnd_ = hwnd; }

 private:
  HWND hwnd_ = nullptr;
  ControlWindowEvents* events_;
  IPicture* picture_;
  bool pressed_ = false;
};

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    auto* window = static_cast<NativeWindow*>(create->lpCreateParams);
    window->Attach(hwnd);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
  } else if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  }
  auto* window = reinterpret_cast<NativeWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (window == nullptr) return DefWindowProcW(hwnd, message, wparam, lparam);
  return window->OnMessage(message, wparam, lparam);
}

}  // namespace

std::unique_ptr<ControlWindow> ControlWindow::Create(void* parent, const WindowRect& rect,
                                                     std::span<const std::uint8_t> picture,
                                                     ControlWindowEvents& events) {
  if (parent == nullptr)
    throw std::system_error(ERROR_INVALID_WINDOW_HANDLE, std::system_category(),
                            "A control window needs a parent window");
  return std::make_unique<NativeWindow>(static_cast<HWND>(parent), rect, picture, events);
}

bool DrawPicture(void* hdc, const WindowRect& rect, std::span<const std::uint8_t> picture) {
  IPicture* loaded = LoadPicture(picture);
  const RECT target{rect.left, rect.top, rect.right, rect.bottom};
  const bool drawn = Render(loaded, static_cast<HDC>(hdc), target);
  if (loaded != nullptr) loaded->Release();
  return drawn;
}

}  // namespace tarvo::platform

#endif  // _WIN32
