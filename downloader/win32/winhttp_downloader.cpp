#include "downloader/win32/winhttp_downloader.h"

#include <winhttp.h>

#include <algorithm>
#include <system_error>
#include <thread>

#include "downloader/http_address.h"
#include "downloader/win32/user_proxy.h"
#include "downloader/win32/winhttp_sessions.h"
#include "platform/crypto.h"
#include "platform/win32/utf16_win.h"

namespace vmrk {
namespace {

constexpr UINT kFinished = WM_APP + 1;
constexpr UINT kFailed = WM_APP + 2;
constexpr UINT kProgress = WM_APP + 3;
constexpr int kMaxRedirects = 10;
constexpr DWORD kProgressIntervalMs = 50;
constexpr UINT_PTR kWatchdogTimer = 1;
constexpr UINT kWatchdogPeriodMs = 200;
constexpr ULONGLONG kTimerSlackMs = 50;  // a timeout may fire this early by the tick count
const wchar_t kWindowClass[] = L"vmrkxupdate.downloader";

}  // namespace

struct WinHttpDownloader::Transfer {
  std::uint32_t generation = 0;
  HWND target = nullptr;
  std::string finalPath;
  std::uint64_t maxBytes = kDefaultMaxBytes;
  bool computeSha256 = false;
  std::string sha256;  // of the complete body, set before kFinished is posted
  std::string detail;  // why it failed, set before kFailed is posted
  // Read by the watchdog on the window's thread: not every WinHTTP (Wine's
  // among them) keeps its own timeouts, and a closed handle does not always
  // wake a call that waits.
  std::atomic<ULONGLONG> lastActivity{GetTickCount64()};
  std::atomic<bool> requestSent{false};
  std::atomic<bool> responseBegun{false};  // the status line came

  // Whoever holds `guard` owns what follows. Once `abandoned` is set (by
  // AbortDownload or the watchdog, on the window's thread) the worker never
  // writes, renames or posts again.
  std::mutex guard;
  bool abandoned = false;
  HINTERNET connection = nullptr, request = nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  std::wstring tempPath;

  void Post(UINT message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> lock(guard);
    if (!abandoned) PostMessageW(target, message, wParam, lParam);
  }
  // Removes the partial file and closes the request; waits at most for one
  // local write of the worker, never for the network.
  void Abandon() {
    std::lock_guard<std::mutex> lock(guard);
    if (abandoned) return;
    abandoned = true;
    DropFileLocked();
    if (request != nullptr) {
      WinHttpCloseHandle(request);  // wakes the worker where WinHTTP can
      request = nullptr;
    }
  }
  void DropFileLocked() {
    if (file == INVALID_HANDLE_VALUE) return;
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    DeleteFileW(tempPath.c_str());
  }
  void DropFile() {
    std::lock_guard<std::mutex> lock(guard);
    DropFileLocked();
  }
  // Worker side. Each returns false once the transfer is abandoned.
  bool CreateTemp(const std::wstring& path, bool& created) {
    std::lock_guard<std::mutex> lock(guard);
    if (abandoned) return false;
    tempPath = path;
    file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
    created = file != INVALID_HANDLE_VALUE;
    return true;
  }
  bool Write(const char* data, DWORD size, bool& written) {
    std::lock_guard<std::mutex> lock(guard);
    if (abandoned || file == INVALID_HANDLE_VALUE) return false;
    DWORD count = 0;
    written = WriteFile(file, data, size, &count, nullptr) && count == size;
    return true;
  }
  bool Commit(bool& moved) {
    std::lock_guard<std::mutex> lock(guard);
    if (abandoned || file == INVALID_HANDLE_VALUE) return false;
    bool closed = CloseHandle(file) != 0;
    file = INVALID_HANDLE_VALUE;
    SetFileAttributesW(tempPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    moved = closed && MoveFileExW(tempPath.c_str(), platform::WidePath(finalPath).c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!moved) DeleteFileW(tempPath.c_str());
    return true;
  }
  void CloseHandles() {
    std::lock_guard<std::mutex> lock(guard);
    if (request != nullptr) WinHttpCloseHandle(request);
    if (connection != nullptr) WinHttpCloseHandle(connection);
    request = connection = nullptr;
  }
};

namespace {

// What a failed WinHTTP call means. Silence as long as the bound is a
// timeout whatever the error says: Wine reports one in the TLS handshake as
// a secure-channel error, and one in the response as WSAETIMEDOUT.
std::int32_t RequestFailure(WinHttpDownloader::Transfer& t, const DownloadTimeouts& timeouts) {
  DWORD error = GetLastError();
  t.detail = "WinHTTP error " + std::to_string(error);
  ULONGLONG quiet = GetTickCount64() - t.lastActivity;
  // Before the request is out, WinHTTP may apply either bound (Wine's TLS
  // handshake waits by the receive timeout).
  ULONGLONG limit = static_cast<ULONGLONG>(t.requestSent ? timeouts.idleMs
                                                          : std::min(timeouts.connectMs, timeouts.idleMs));
  bool timedOut = error == ERROR_WINHTTP_TIMEOUT || error == WSAETIMEDOUT || error == ERROR_TIMEOUT ||
                  quiet + kTimerSlackMs >= limit;
  if (timedOut) {
    t.detail += ", silent for " + std::to_string(limit / 1000) + " s";
    return t.responseBegun ? kCannotDownload : kNoResponse;
  }
  switch (error) {
    case ERROR_WINHTTP_REDIRECT_FAILED: return kTooManyRedirects;
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
    case ERROR_WINHTTP_CONNECTION_ERROR: return t.responseBegun ? kCannotDownload : kNoResponse;
    default: return kUnknownFailure;  // lookup, refused, certificates
  }
}

// Everything a transfer does off the window's thread. Returns a failure code,
// or 0 for a complete file at t.finalPath. Any code returned after the
// transfer was abandoned goes nowhere.
std::int32_t RunTransfer(WinHttpDownloader::Transfer& t, WinHttpSessions& sessions, const HttpAddress& address,
                         const DownloadTimeouts& timeouts) {
  std::wstring origin = platform::Widen((address.secure ? "https://" : "http://") + address.host + ":" +
                                        std::to_string(address.port));
  HINTERNET session = sessions.For(sessions.ChoiceFor(origin, platform::Widen(address.Url())));
  if (session == nullptr) return kUnknownFailure;
  std::wstring host = platform::Widen(address.host);
  if (host.size() > 2 && host.front() == L'[') host = host.substr(1, host.size() - 2);
  HINTERNET connection = WinHttpConnect(session, host.c_str(), address.port, 0);
  if (connection == nullptr) return kUnknownFailure;
  // https: TLS with the system's own certificate checks; a certificate
  // error fails the send, and nothing here ever ignores one.
  HINTERNET request = WinHttpOpenRequest(connection, L"GET", platform::Widen(address.target).c_str(), nullptr,
                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                         WINHTTP_FLAG_ESCAPE_DISABLE | (address.secure ? WINHTTP_FLAG_SECURE : 0));
  {
    std::lock_guard<std::mutex> lock(t.guard);
    t.connection = connection;
    if (t.abandoned) {
      if (request != nullptr) WinHttpCloseHandle(request);
      return kUnknownFailure;
    }
    t.request = request;
  }
  if (request == nullptr) return kUnknownFailure;
  WinHttpSetTimeouts(request, timeouts.connectMs, timeouts.connectMs, timeouts.idleMs, timeouts.idleMs);
  DWORD responseTimeout = static_cast<DWORD>(timeouts.idleMs);
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof responseTimeout);
  DWORD redirects = kMaxRedirects;
  WinHttpSetOption(request, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects, sizeof redirects);
  // Files must arrive as they are on the server, never re-encoded.
  WinHttpAddRequestHeaders(request, L"Accept-Encoding: identity", static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD);

  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
    return RequestFailure(t, timeouts);
  t.lastActivity = GetTickCount64();
  t.requestSent = true;
  if (!WinHttpReceiveResponse(request, nullptr)) return RequestFailure(t, timeouts);
  t.lastActivity = GetTickCount64();
  t.responseBegun = true;

  DWORD status = 0, size = sizeof status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
    return kCannotDownload;  // a response without a status is no file
  t.detail = "HTTP " + std::to_string(status);
  if (status >= 400) return kCannotDownload;
  if (status >= 300) return kTooManyRedirects;  // one that could not be followed
  // A part of a file, or the file compressed, is not the file: this request
  // asked for neither (no Range, Accept-Encoding: identity).
  if (status == 206) return kCannotDownload;
  {
    wchar_t encoding[64];
    DWORD bytes = sizeof encoding;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX, encoding, &bytes,
                            WINHTTP_NO_HEADER_INDEX)) {
      if (_wcsicmp(encoding, L"identity") != 0) {
        t.detail += ", encoded";
        return kCannotDownload;
      }
    } else if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
      return kCannotDownload;  // longer than any encoding we could accept
    }
  }
  std::uint64_t announced = 0;
  bool known = false;
  {
    wchar_t text[32];
    DWORD bytes = sizeof text;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &bytes,
                            WINHTTP_NO_HEADER_INDEX)) {
      announced = _wcstoui64(text, nullptr, 10);
      known = true;
    }
  }
  if (known && announced > t.maxBytes) {
    t.detail += ", longer than allowed";
    return kCannotDownload;
  }

  // The body goes to a temporary file beside its final name, renamed only
  // once it is complete.
  bool created = false;
  if (!t.CreateTemp(platform::WidePath(t.finalPath + ".part-" + std::to_string(GetCurrentProcessId()) + "-" +
                                    std::to_string(t.generation)),
                    created))
    return kUnknownFailure;
  if (!created) {
    t.detail = "cannot create the file here, system error " + std::to_string(GetLastError());
    return kCannotWriteLocally;
  }
  std::uint64_t received = 0;
  std::unique_ptr<platform::Sha256> hasher;
  if (t.computeSha256) hasher = std::make_unique<platform::Sha256>();
  DWORD lastReport = 0;
  std::string buffer(64 * 1024, '\0');
  for (;;) {
    // Asked for what is there rather than for a full buffer: a slow server
    // trickling bytes is moving, and must not look quiet to the watchdog.
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) {
      t.DropFile();
      std::int32_t code = RequestFailure(t, timeouts);
      t.detail += " after " + std::to_string(received) + " bytes";
      return received > 0 || known ? kCannotDownload : code;
    }
    if (available == 0) break;
    DWORD got = 0;
    if (!WinHttpReadData(request, buffer.data(), std::min<DWORD>(available, static_cast<DWORD>(buffer.size())),
                         &got)) {
      t.DropFile();
      return kCannotDownload;
    }
    if (got == 0) break;
    t.lastActivity = GetTickCount64();
    // Stopped the moment it passes its bound: an endless body must not fill
    // the disk before a length check could throw it out.
    if (received + got > t.maxBytes) {
      t.detail = "longer than " + std::to_string(t.maxBytes) + " bytes";
      t.DropFile();
      return kCannotDownload;
    }
    bool written = false;
    if (!t.Write(buffer.data(), got, written)) return kUnknownFailure;
    if (!written) {
      t.detail = "cannot write the file here, system error " + std::to_string(GetLastError());
      t.DropFile();
      return kCannotWriteLocally;
    }
    if (hasher) hasher->Update(std::string_view(buffer.data(), got));
    received += got;
    DWORD now = GetTickCount();
    if (known && announced > 0 && (now - lastReport >= kProgressIntervalMs || received >= announced)) {
      lastReport = now;
      t.Post(kProgress, t.generation, static_cast<LPARAM>(received * 1000 / announced));
    }
  }
  if (known && received < announced) {
    t.detail = "body shorter than announced";
    t.DropFile();
    return kCannotDownload;
  }
  if (hasher) {
    platform::Sha256Digest digest = hasher->Finish();
    t.sha256.assign(reinterpret_cast<const char*>(digest.data()), digest.size());
  }
  bool moved = false;
  if (!t.Commit(moved)) return kUnknownFailure;
  if (!moved) t.detail = "cannot put the file in place, system error " + std::to_string(GetLastError());
  return moved ? 0 : kCannotWriteLocally;
}

}  // namespace

WinHttpDownloader::WinHttpDownloader(DownloadTimeouts timeouts) : timeouts_(timeouts) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kWindowClass;
  // A second downloader finds the class registered; any other failure shows
  // in the window not being made, and Ready() says so.
  RegisterClassW(&windowClass);
  messages_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance, this);
  if (messages_ != nullptr) SetWindowLongPtrW(messages_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

WinHttpDownloader::~WinHttpDownloader() {
  AbortDownload();
  if (messages_ != nullptr) DestroyWindow(messages_);
}

void WinHttpDownloader::BeginDownload() {
  AbortDownload();
  savedFileName_.clear();
  savedSha256_.clear();
  failureDetail_.clear();
  auto transfer = std::make_shared<Transfer>();
  transfer->generation = ++generation_;
  transfer->target = messages_;
  current_ = transfer;

  std::optional<HttpAddress> address = ParseHttpAddress(sourceUrl_);
  std::string name = SaveNameFromAddress(sourceUrl_);
  if (!address || name.empty() || saveFolder_.empty() || sessions_->System() == nullptr) {
    transfer->Post(kFailed, transfer->generation, kUnknownFailure);
    return;
  }
  DWORD folder = GetFileAttributesW(platform::WidePath(saveFolder_).c_str());
  if (folder == INVALID_FILE_ATTRIBUTES || !(folder & FILE_ATTRIBUTE_DIRECTORY)) {
    transfer->Post(kFailed, transfer->generation, kCannotWriteLocally);  // nowhere to put the file: ask nothing
    return;
  }
  transfer->finalPath = saveFolder_ + "\\" + name;
  transfer->maxBytes = maxBytes_;
  transfer->computeSha256 = computeSha256_;
  if (SetTimer(messages_, kWatchdogTimer, kWatchdogPeriodMs, nullptr) == 0) {
    // Without its watchdog a quiet server could hold the window for ever.
    transfer->Post(kFailed, transfer->generation, kUnknownFailure);
    return;
  }
  if (strip_) strip_(-1);
  DownloadTimeouts timeouts = timeouts_;
  try {
    std::thread([transfer, sessions = sessions_, address = *address, timeouts] {
      std::int32_t code = RunTransfer(*transfer, *sessions, address, timeouts);
      transfer->CloseHandles();
      if (code == 0) transfer->Post(kFinished, transfer->generation, 0);
      else transfer->Post(kFailed, transfer->generation, code);
    }).detach();
  } catch (const std::system_error&) {
    transfer->Post(kFailed, transfer->generation, kUnknownFailure);
  }
}

void WinHttpDownloader::AbortDownload() {
  if (current_) {
    current_->Abandon();
    current_.reset();
  }
  ++generation_;  // anything already posted for the old transfer is stale now
  if (strip_) strip_(0);
}

LRESULT CALLBACK WinHttpDownloader::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<WinHttpDownloader*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr && message == WM_TIMER && wParam == kWatchdogTimer) {
    self->Watch();
    return 0;
  }
  if (self != nullptr && message >= kFinished && message <= kProgress) {
    self->Deliver(message, wParam, lParam);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void WinHttpDownloader::Watch() {
  if (!current_) {
    KillTimer(messages_, kWatchdogTimer);
    return;
  }
  ULONGLONG quiet = GetTickCount64() - current_->lastActivity;
  ULONGLONG limit = static_cast<ULONGLONG>(current_->requestSent ? timeouts_.idleMs : timeouts_.connectMs);
  if (quiet <= limit) return;
  // Ended here rather than by the worker, whose call may never return.
  std::int32_t code = current_->responseBegun ? kCannotDownload : kNoResponse;
  AbortDownload();
  failureDetail_ = std::string(code == kNoResponse ? "no response" : "the body") + " stopped: silent for " +
                   std::to_string(limit / 1000) + " s";
  if (events_ != nullptr) events_->DL_Failed(code, 0);
}

void WinHttpDownloader::Deliver(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!current_ || static_cast<std::uint32_t>(wParam) != current_->generation) return;  // aborted or replaced
  if (message == kProgress) {
    if (strip_) strip_(static_cast<int>(lParam));
    if (events_ != nullptr) events_->DL_Progress(static_cast<float>(lParam) / 1000.0f, 0, 0);
    return;
  }
  std::shared_ptr<Transfer> done = std::move(current_);
  if (message == kFinished) {
    savedFileName_ = done->finalPath;
    savedSha256_ = done->sha256;
    if (strip_) strip_(1000);
    // Last: the window may start the next transfer from in here.
    if (events_ != nullptr) events_->DL_Finished(1);
  } else {
    failureDetail_ = done->detail;
    if (strip_) strip_(0);
    if (events_ != nullptr) events_->DL_Failed(static_cast<std::int32_t>(lParam), 0);
  }
}

}  // namespace vmrk
