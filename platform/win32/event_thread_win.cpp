#include <windows.h>

#include <functional>
#include <memory>

#include "platform/background_work.h"

namespace vmrk::platform {
namespace {

constexpr UINT kRunPosted = WM_APP + 40;
constexpr wchar_t kWindowClass[] = L"VmrkEventThread";

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kRunPosted) {
    std::unique_ptr<std::function<void()>> call(reinterpret_cast<std::function<void()>*>(lParam));
    (*call)();
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

PostToEventThread EventThreadPoster() {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassW(&windowClass);  // fails harmlessly when this process registered it before
  // A message-only window of this thread: what is posted to it is
  // dispatched by this thread's message loop, whichever loop that is.
  HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance,
                                nullptr);
  return [window](std::function<void()> call) {
    auto* posted = new std::function<void()>(std::move(call));
    // Refused (no window, or the queue is full): the call never runs.
    if (window == nullptr || !PostMessageW(window, kRunPosted, 0, reinterpret_cast<LPARAM>(posted))) delete posted;
  };
}

}  // namespace vmrk::platform
