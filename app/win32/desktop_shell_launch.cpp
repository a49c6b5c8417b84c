#include "app/win32/desktop_shell_launch.h"

#include <windows.h>
// After windows.h, which they need.
#include <exdisp.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

namespace vmrk {
namespace {

// Releases a COM interface at the end of the scope.
template <typename T>
struct Com {
  T* p = nullptr;
  ~Com() {
    if (p != nullptr) p->Release();
  }
  T** operator&() { return &p; }
  T* operator->() const { return p; }
};

struct Bstr {
  BSTR text;
  explicit Bstr(const std::wstring& s) : text(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
  ~Bstr() { SysFreeString(text); }
};

// The desktop folder view's IShellDispatch2, reached from the shell's window
// list: the desktop window, its browser, its view, the view's automation
// object, that object's application.
bool DesktopShellExecute(const std::wstring& file, const std::wstring& folder) {
  // No shell desktop, no shell to ask; and asking COM for one where none
  // runs costs seconds (3 to 10 under Wine) before it says so.
  if (GetShellWindow() == nullptr) return false;
  Com<IShellWindows> windows;
  if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                              reinterpret_cast<void**>(&windows))))
    return false;
  VARIANT desktop;
  VariantInit(&desktop);
  desktop.vt = VT_I4;
  desktop.lVal = CSIDL_DESKTOP;
  VARIANT none;
  VariantInit(&none);
  long window = 0;
  Com<IDispatch> found;
  if (windows->FindWindowSW(&desktop, &none, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, &found) != S_OK ||
      found.p == nullptr)
    return false;
  Com<IServiceProvider> services;
  Com<IShellBrowser> browser;
  Com<IShellView> view;
  Com<IDispatch> background;
  Com<IShellFolderViewDual> folderView;
  Com<IDispatch> application;
  Com<IShellDispatch2> shell;
  if (FAILED(found->QueryInterface(IID_IServiceProvider, reinterpret_cast<void**>(&services))) ||
      FAILED(services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, reinterpret_cast<void**>(&browser))) ||
      FAILED(browser->QueryActiveShellView(&view)) ||
      FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, reinterpret_cast<void**>(&background))) ||
      FAILED(background->QueryInterface(IID_IShellFolderViewDual, reinterpret_cast<void**>(&folderView))) ||
      FAILED(folderView->get_Application(&application)) ||
      FAILED(application->QueryInterface(IID_IShellDispatch2, reinterpret_cast<void**>(&shell))))
    return false;
  Bstr target(file), directory(folder);
  VARIANT arguments, workingFolder, operation, show;
  VariantInit(&arguments);
  VariantInit(&workingFolder);
  VariantInit(&operation);
  VariantInit(&show);
  workingFolder.vt = VT_BSTR;
  workingFolder.bstrVal = directory.text;
  show.vt = VT_I4;
  show.lVal = SW_SHOWNORMAL;
  return SUCCEEDED(shell->ShellExecute(target.text, arguments, workingFolder, operation, show));
}

}  // namespace

LaunchRoute LaunchAsTheDesktop(const std::wstring& fileOrAddress, const std::wstring& workingFolder) {
  HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  bool viaDesktop = DesktopShellExecute(fileOrAddress, workingFolder);
  if (SUCCEEDED(com)) CoUninitialize();
  if (viaDesktop) return LaunchRoute::kDesktopShell;
  // No desktop shell (another shell, a service session, Explorer ended):
  // this process starts it, at the updater's own level.
  auto result = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, nullptr, fileOrAddress.c_str(), nullptr,
                                                        workingFolder.empty() ? nullptr : workingFolder.c_str(),
                                                        SW_SHOWNORMAL));
  return result > 32 ? LaunchRoute::kDirect : LaunchRoute::kFailed;
}

}  // namespace vmrk
