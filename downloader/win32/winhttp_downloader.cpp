#include "downloader/win32/winhttp_downloader.h"

#include <winhttp.h>

#include "downloader/http_address.h"
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
const wchar_t kUserAgent[] = L"vmrkxupdate/1.0 (online updater)";
const wchar_t kWindowClass[] = L"vmrkxupdate.downloader";

}  // namespace

struct WinHttpDownloader::Transfer {
  std::uint32_t generation = 0;
  HWND target = nullptr;
  std::atomic<bool> aborted{false};
  // The watchdog on the window's thread closes a request that went quiet;
  // not every WinHTTP (Wine's among them) keeps its own receive timeouts.
  std::atomic<ULONGLONG> lastActivity{GetTickCount64()};
  std::atomic<bool> requestSent{false};
  std::atomic<bool> timedOut{false};
  std::mutex handles;
  HINTERNET connection = nullptr, request = nullptr;
  std::string finalPath;
  std::uint64_t maxBytes = kDefaultMaxBytes;
  bool computeSha256 = false;
  std::string sha256;  // of the complete body, set before kFinished is posted

  void Post(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!aborted) PostMessageW(target, message, wParam, lParam);
  }
};

namespace {

// Everything a transfer does off the window's thread. Returns a failure code,
// or 0 for a complete file at t.finalPath.
std::int32_t RunTransfer(WinHttpDownloader::Transfer& t, HINTERNET session, const HttpAddress& address,
                         const DownloadTimeouts& timeouts) {
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
    std::lock_guard<std::mutex> lock(t.handles);
    t.connection = connection;
    t.request = request;
  }
  if (request == nullptr || t.aborted) return kUnknownFailure;
  WinHttpSetTimeouts(request, timeouts.connectMs, timeouts.connectMs, timeouts.idleMs, timeouts.idleMs);
  DWORD redirects = kMaxRedirects;
  WinHttpSetOption(request, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects, sizeof redirects);
  // Files must arrive as they are on the server, never re-encoded.
  WinHttpAddRequestHeaders(request, L"Accept-Encoding: identity", static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD);

  DWORD responseTimeout = static_cast<DWORD>(timeouts.idleMs);
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof responseTimeout);
  bool sent = WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
  if (sent) {
    t.lastActivity = GetTickCount64();
    t.requestSent = true;
  }
  if (t.timedOut) return kUnknownFailure;
  if (!sent || !WinHttpReceiveResponse(request, nullptr)) {
    if (t.timedOut) return kUnknownFailure;
    switch (GetLastError()) {
      case ERROR_WINHTTP_REDIRECT_FAILED: return kTooManyRedirects;
      case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      case ERROR_WINHTTP_CONNECTION_ERROR: return kNoResponse;
      default: return kUnknownFailure;  // lookup, refused, timeouts
    }
  }
  DWORD status = 0, size = sizeof status;
  WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                      &status, &size, WINHTTP_NO_HEADER_INDEX);
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
      if (_wcsicmp(encoding, L"identity") != 0) return kCannotDownload;
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
  if (known && announced > t.maxBytes) return kCannotDownload;

  // The body goes to a temporary file beside its final name, renamed only
  // once it is complete.
  std::string temp = t.finalPath + ".part-" + std::to_string(GetCurrentProcessId()) + "-" +
                     std::to_string(t.generation);
  HANDLE file = CreateFileW(platform::Widen(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kCannotWriteLocally;
  auto dropTemp = [&] {
    CloseHandle(file);
    DeleteFileW(platform::Widen(temp).c_str());
  };
  std::uint64_t received = 0;
  std::unique_ptr<platform::Sha256> hasher;
  if (t.computeSha256) hasher = std::make_unique<platform::Sha256>();
  DWORD lastReport = 0;
  std::string buffer(64 * 1024, '\0');
  for (;;) {
    if (t.aborted) {
      dropTemp();
      return kUnknownFailure;
    }
    DWORD got = 0;
    t.lastActivity = GetTickCount64();
    if (!WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
      dropTemp();
      if (t.timedOut) return kUnknownFailure;
      return received > 0 || known ? kCannotDownload : kNoResponse;
    }
    if (got == 0) break;
    // Stopped the moment it passes its bound: an endless body must not fill
    // the disk before a length check could throw it out.
    if (received + got > t.maxBytes) {
      dropTemp();
      return kCannotDownload;
    }
    DWORD written = 0;
    if (!WriteFile(file, buffer.data(), got, &written, nullptr) || written != got) {
      dropTemp();
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
    dropTemp();
    return kCannotDownload;
  }
  CloseHandle(file);
  if (hasher) {
    platform::Sha256Digest digest = hasher->Finish();
    t.sha256.assign(reinterpret_cast<const char*>(digest.data()), digest.size());
  }
  SetFileAttributesW(platform::Widen(temp).c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!MoveFileExW(platform::Widen(temp).c_str(), platform::Widen(t.finalPath).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(platform::Widen(temp).c_str());
    return kCannotWriteLocally;
  }
  return 0;
}

// TLS 1.2 and 1.3 named explicitly: Windows 7 offers only TLS 1.0 unless
// asked. A system that does not know 1.3 refuses the pair; 1.2 alone then.
void EnableModernTls(HINTERNET session) {
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
  }
}

HINTERNET OpenSession() {
  // The system's proxy settings: automatic detection and the user's own
  // configuration (Windows 8.1 and later), else the machine's WinHTTP setting.
  HINTERNET session =
      WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (session == nullptr)
    session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
  return session;
}

}  // namespace

WinHttpDownloader::WinHttpDownloader(DownloadTimeouts timeouts) : timeouts_(timeouts) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassW(&windowClass);  // a second downloader finds it registered
  messages_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance, this);
  SetWindowLongPtrW(messages_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  session_ = OpenSession();
  if (session_ != nullptr) EnableModernTls(session_);
}

WinHttpDownloader::~WinHttpDownloader() {
  AbortDownload();
  if (session_ != nullptr) WinHttpCloseHandle(session_);
  if (messages_ != nullptr) DestroyWindow(messages_);
}

void WinHttpDownloader::Join() {
  if (worker_.joinable()) worker_.join();
}

void WinHttpDownloader::BeginDownload() {
  AbortDownload();
  savedFileName_.clear();
  savedSha256_.clear();
  auto transfer = std::make_shared<Transfer>();
  transfer->generation = ++generation_;
  transfer->target = messages_;
  current_ = transfer;

  std::optional<HttpAddress> address = ParseHttpAddress(sourceUrl_);
  std::string name = SaveNameFromAddress(sourceUrl_);
  if (!address || name.empty() || saveFolder_.empty() || session_ == nullptr) {
    transfer->Post(kFailed, transfer->generation, kUnknownFailure);
    return;
  }
  DWORD folder = GetFileAttributesW(platform::Widen(saveFolder_).c_str());
  if (folder == INVALID_FILE_ATTRIBUTES || !(folder & FILE_ATTRIBUTE_DIRECTORY)) {
    transfer->Post(kFailed, transfer->generation, kCannotWriteLocally);  // nowhere to put the file: ask nothing
    return;
  }
  transfer->finalPath = saveFolder_ + "\\" + name;
  transfer->maxBytes = maxBytes_;
  transfer->computeSha256 = computeSha256_;
  SetTimer(messages_, kWatchdogTimer, kWatchdogPeriodMs, nullptr);
  if (strip_) strip_(-1);
  HINTERNET session = session_;
  DownloadTimeouts timeouts = timeouts_;
  worker_ = std::thread([transfer, session, address = *address, timeouts] {
    std::int32_t code = RunTransfer(*transfer, session, address, timeouts);
    {
      std::lock_guard<std::mutex> lock(transfer->handles);
      if (transfer->request != nullptr) WinHttpCloseHandle(transfer->request);
      if (transfer->connection != nullptr) WinHttpCloseHandle(transfer->connection);
      transfer->request = transfer->connection = nullptr;
    }
    if (code == 0) transfer->Post(kFinished, transfer->generation, 0);
    else transfer->Post(kFailed, transfer->generation, code);
  });
}

void WinHttpDownloader::AbortDownload() {
  if (current_) {
    current_->aborted = true;
    {
      // Closing the request wakes a worker blocked in a WinHTTP call.
      std::lock_guard<std::mutex> lock(current_->handles);
      if (current_->request != nullptr) {
        WinHttpCloseHandle(current_->request);
        current_->request = nullptr;
      }
    }
    current_.reset();
  }
  Join();
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
  if (quiet <= limit || current_->timedOut) return;
  current_->timedOut = true;
  std::lock_guard<std::mutex> lock(current_->handles);
  if (current_->request != nullptr) {
    WinHttpCloseHandle(current_->request);  // the worker's call fails and it reports 99
    current_->request = nullptr;
  }
}

void WinHttpDownloader::Deliver(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!current_ || static_cast<std::uint32_t>(wParam) != current_->generation) return;  // aborted or replaced
  if (message == kProgress) {
    if (strip_) strip_(static_cast<int>(lParam));
    if (events_ != nullptr) events_->DL_Progress(static_cast<float>(lParam) / 1000.0f, 0, 0);
    return;
  }
  std::shared_ptr<Transfer> done = std::move(current_);
  Join();
  if (message == kFinished) {
    savedFileName_ = done->finalPath;
    savedSha256_ = done->sha256;
    if (strip_) strip_(1000);
    // Last: the window may start the next transfer from in here.
    if (events_ != nullptr) events_->DL_Finished(1);
  } else {
    if (strip_) strip_(0);
    if (events_ != nullptr) events_->DL_Failed(static_cast<std::int32_t>(lParam), 0);
  }
}

}  // namespace vmrk
