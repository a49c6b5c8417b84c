#include <windows.h>

#include <functional>
#include <memory>

#include "platform/background_work.h"

namespace vmrk::platform {
namespace {

constexpr UINT kWake = WM_APP + 40;
constexpr wchar_t kWindowClass[] = L"VmrkEventThreadWaker";

// A message-only window of the event thread: what is posted to it is
// dispatched by that thread's message loop, whichever loop that is.
class Win32Waker : public EventThreadWaker {
 public:
  explicit Win32Waker(std::function<void()> onWake) : onWake_(std::move(onWake)) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);  // fails harmlessly once this process registered it
    window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance,
                              nullptr);
    if (window_ != nullptr) SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  // Its pending messages are discarded with it.
  ~Win32Waker() override {
    if (window_ != nullptr) DestroyWindow(window_);
  }
  void Wake() override {
    if (window_ != nullptr) PostMessageW(window_, kWake, 0, 0);
  }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kWake) {
      if (auto* self = reinterpret_cast<Win32Waker*>(GetWindowLongPtrW(window, GWLP_USERDATA))) self->onWake_();
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

  const std::function<void()> onWake_;
  HWND window_ = nullptr;
};

}  // namespace

std::unique_ptr<EventThreadWaker> NewEventThreadWaker(std::function<void()> onWake) {
  return std::make_unique<Win32Waker>(std::move(onWake));
}

}  // namespace vmrk::platform
