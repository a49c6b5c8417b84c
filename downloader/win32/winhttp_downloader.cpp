#include "downloader/win32/winhttp_downloader.h"

#include <winhttp.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <thread>

#include "downloader/http_address.h"
#include "downloader/resume.h"
#include "downloader/win32/user_proxy.h"
#include "downloader/win32/winhttp_sessions.h"
#include "platform/crypto.h"
#include "platform/temp_name.h"
#include "platform/win32/utf16_win.h"

namespace vmrk {
namespace {

constexpr UINT kFinished = WM_APP + 1;
constexpr UINT kFailed = WM_APP + 2;
constexpr UINT kProgress = WM_APP + 3;
constexpr int kMaxRedirects = 10;
constexpr DWORD kProgressIntervalMs = 50;
constexpr UINT_PTR kWatchdogTimer = 1;
constexpr UINT_PTR kRetryTimer = 2;
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
  bool transient = false;  // the failure may pass: worth a retry when bytes are kept
  bool restart = false;    // the kept bytes were dropped: the next try asks for the whole file
  // Read by the watchdog on the window's thread: not every WinHTTP (Wine's
  // among them) keeps its own timeouts, and a closed handle does not always
  // wake a call that waits.
  std::atomic<ULONGLONG> lastActivity{GetTickCount64()};
  std::atomic<bool> requestSent{false};
  std::atomic<bool> responseBegun{false};  // the status line came

  // Whoever holds `guard` owns what follows. Once `abandoned` is set (by
  // AbortDownload or the watchdog, on the window's thread) the worker never
  // writes, renames or posts again. The staging file, its length and its
  // hash move together, so that a later try can take them over as they are.
  std::mutex guard;
  bool abandoned = false;
  HINTERNET connection = nullptr, request = nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  std::wstring tempPath;  // "" until the first try makes one
  std::uint64_t written = 0;
  std::unique_ptr<platform::Sha256> hasher;  // of exactly the `written` bytes
  ResumeAsk ask;  // what this try asked for; the answer's validator and length update it

  void Post(UINT message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> lock(guard);
    if (!abandoned) PostMessageW(target, message, wParam, lParam);
  }
  // Closes the request, and the staging file (removed unless kept for a
  // retry); waits at most for one local write of the worker, never for the
  // network.
  void Abandon(bool keepFile) {
    std::lock_guard<std::mutex> lock(guard);
    if (abandoned) return;
    abandoned = true;
    CloseFileLocked();
    if (!keepFile) RemoveFileLocked();
    if (request != nullptr) {
      WinHttpCloseHandle(request);  // wakes the worker where WinHTTP can
      request = nullptr;
    }
  }
  void CloseFileLocked() {
    if (file == INVALID_HANDLE_VALUE) return;
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }
  void RemoveFileLocked() {
    if (!tempPath.empty()) DeleteFileW(tempPath.c_str());
    written = 0;
  }
  // Worker side. Each returns false once the transfer is abandoned.
  //
  // whole: the body is the file from byte 0 (anything kept goes); else it
  // continues the kept bytes, which must still be there as they were.
  bool OpenFile(bool whole, const std::wstring& newPath, bool& opened) {
    std::lock_guard<std::mutex> lock(guard);
    if (abandoned) return false;
    if (tempPath.empty()) tempPath = newPath;
    file = CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, whole ? CREATE_ALWAYS : OPEN_EXISTING,
                       FILE_ATTRIBUTE_HIDDEN, nullptr);
    opened = file != INVALID_HANDLE_VALUE;
    if (whole) {
      written = 0;
      hasher.reset();
      if (computeSha256) hasher = std::make_unique<platform::Sha256>();
      return true;
    }
    LARGE_INTEGER end{};
    if (opened && (!SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_END) ||
                   static_cast<std::uint64_t>(end.QuadPart) != written || (computeSha256 && !hasher))) {
      CloseFileLocked();
      opened = false;
    }
    return true;
  }
  bool Write(const char* data, DWORD size, bool& ok) {
    std::lock_guard<std::mutex> lock(guard);
    if (abandoned || file == INVALID_HANDLE_VALUE) return false;
    DWORD count = 0;
    ok = WriteFile(file, data, size, &count, nullptr) && count == size;
    if (ok) {
      if (hasher) hasher->Update(std::string_view(data, size));
      written += size;
    }
    return true;
  }
  bool Commit(bool& moved) {
    std::lock_guard<std::mutex> lock(guard);
    if (abandoned || file == INVALID_HANDLE_VALUE) return false;
    if (hasher) {
      platform::Sha256Digest digest = hasher->Finish();
      sha256.assign(reinterpret_cast<const char*>(digest.data()), digest.size());
    }
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
    CloseFileLocked();
    if (request != nullptr) WinHttpCloseHandle(request);
    if (connection != nullptr) WinHttpCloseHandle(connection);
    request = connection = nullptr;
  }
  // A later try continues from what this one kept (window's thread, once
  // this one has ended or been abandoned).
  void HandOver(Transfer& next) {
    std::lock_guard<std::mutex> lock(guard);
    next.tempPath = tempPath;
    next.written = restart ? 0 : written;
    next.hasher = std::move(hasher);
    next.ask = restart ? ResumeAsk{} : ask;
    next.ask.from = next.written;
  }
};

namespace {

// A response header as text, "" when absent (or absurdly long).
std::string HeaderText(HINTERNET request, DWORD info) {
  wchar_t text[512];
  DWORD bytes = sizeof text;
  if (!WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, text, &bytes, WINHTTP_NO_HEADER_INDEX))
    return {};
  return platform::Narrow(std::wstring(text, bytes / sizeof(wchar_t)));
}

// For the strip: how much of the file is kept, -1 while its length is unknown.
int KeptPerMille(WinHttpDownloader::Transfer& t) {
  std::lock_guard<std::mutex> lock(t.guard);
  if (!t.ask.total || *t.ask.total == 0) return t.written == 0 ? -1 : 0;
  return static_cast<int>(std::min<std::uint64_t>(t.written, *t.ask.total) * 1000 / *t.ask.total);
}

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
  t.transient = true;
  if (timedOut) {
    t.detail += ", silent for " + std::to_string(limit / 1000) + " s";
    return t.responseBegun ? kCannotDownload : kNoResponse;
  }
  switch (error) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
      t.transient = false;  // a certificate does not mend itself
      return kUnknownFailure;
    case ERROR_WINHTTP_REDIRECT_FAILED:
      t.transient = false;
      return kTooManyRedirects;
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
  const ResumeAsk asked = t.ask;  // set before the worker started; only the worker changes it
  if (asked.from > 0) {
    std::wstring headers = platform::Widen("Range: " + asked.RangeHeader());
    // The server sends the whole file instead when it has changed since.
    if (!asked.validator.empty()) headers += platform::Widen("\r\nIf-Range: " + asked.validator);
    WinHttpAddRequestHeaders(request, headers.c_str(), static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD);
  }

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
  if (status >= 400) {
    t.transient = IsTransientStatus(static_cast<int>(status));
    return kCannotDownload;
  }
  if (status >= 300) return kTooManyRedirects;  // one that could not be followed
  const std::string validator = ResumeValidator(HeaderText(request, WINHTTP_QUERY_ETAG),
                                                HeaderText(request, WINHTTP_QUERY_LAST_MODIFIED));
  const std::string contentRange = HeaderText(request, WINHTTP_QUERY_CONTENT_RANGE);
  std::optional<std::uint64_t> total;
  bool whole = true;
  switch (JudgeAnswer(asked, static_cast<int>(status), contentRange, validator)) {
    case ResumeAnswer::kRefuse:
      t.detail += ", a part nobody asked for";
      return kCannotDownload;
    case ResumeAnswer::kRestart:
      t.detail += ", not the rest of the kept " + std::to_string(asked.from) + " bytes";
      t.restart = true;
      t.transient = true;
      return kCannotDownload;
    case ResumeAnswer::kWhole: {
      std::string length = HeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH);
      if (!length.empty()) total = std::strtoull(length.c_str(), nullptr, 10);
      break;
    }
    case ResumeAnswer::kAppend: {
      whole = false;
      std::optional<ContentRange> range = ParseContentRange(contentRange);
      total = range->total ? *range->total : asked.total ? *asked.total : range->last + 1;
      break;
    }
  }
  // The file compressed is not the file (Accept-Encoding: identity).
  std::string encoding = HeaderText(request, WINHTTP_QUERY_CONTENT_ENCODING);
  if (!encoding.empty() && _stricmp(encoding.c_str(), "identity") != 0) {
    t.detail += ", encoded";
    return kCannotDownload;
  }
  if (total && *total > t.maxBytes) {
    t.detail += ", longer than allowed";
    return kCannotDownload;
  }
  {
    std::lock_guard<std::mutex> lock(t.guard);
    if (!validator.empty()) t.ask.validator = validator;
    t.ask.total = total;
  }

  // The body goes to a temporary file beside its final name, renamed only
  // once it is complete.
  bool opened = false;
  if (!t.OpenFile(whole,
                  platform::WidePath(platform::NextTempPathBeside(t.finalPath, platform::TempKind::kPartial)),
                  opened))
    return kUnknownFailure;
  if (!opened) {
    t.detail = "cannot open the file here, system error " + std::to_string(GetLastError());
    if (whole) return kCannotWriteLocally;
    // The kept bytes are gone or not as they were: start over.
    t.restart = true;
    t.transient = true;
    return kCannotDownload;
  }
  const std::uint64_t base = whole ? 0 : asked.from;  // bytes of the file before this try's body
  std::uint64_t received = 0;                         // by this try
  DWORD lastReport = 0;
  std::string buffer(64 * 1024, '\0');
  for (;;) {
    // Asked for what is there rather than for a full buffer: a slow server
    // trickling bytes is moving, and must not look quiet to the watchdog.
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) {
      std::int32_t code = RequestFailure(t, timeouts);
      t.detail += " after " + std::to_string(received) + " bytes";
      return received > 0 || total ? kCannotDownload : code;
    }
    if (available == 0) break;
    DWORD got = 0;
    if (!WinHttpReadData(request, buffer.data(), std::min<DWORD>(available, static_cast<DWORD>(buffer.size())),
                         &got)) {
      RequestFailure(t, timeouts);
      return kCannotDownload;
    }
    if (got == 0) break;
    t.lastActivity = GetTickCount64();
    // Stopped the moment it passes its bound: an endless body must not fill
    // the disk before a length check could throw it out.
    std::uint64_t before = base + received;
    if (before + got > t.maxBytes) {
      t.detail = "longer than " + std::to_string(t.maxBytes) + " bytes";
      t.transient = false;
      return kCannotDownload;
    }
    bool ok = false;
    if (!t.Write(buffer.data(), got, ok)) return kUnknownFailure;
    if (!ok) {
      t.detail = "cannot write the file here, system error " + std::to_string(GetLastError());
      t.transient = false;
      return kCannotWriteLocally;
    }
    received += got;
    DWORD now = GetTickCount();
    if (total && *total > 0 && (now - lastReport >= kProgressIntervalMs || before + got >= *total)) {
      lastReport = now;
      t.Post(kProgress, t.generation, static_cast<LPARAM>((before + got) * 1000 / *total));
    }
  }
  if (total && base + received < *total) {
    t.detail = "body shorter than announced, after " + std::to_string(received) + " bytes";
    t.transient = true;
    return kCannotDownload;
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
  retries_ = RetryCount(timeouts_.retryDelaysMs);
  auto transfer = std::make_shared<Transfer>();
  transfer->generation = ++generation_;
  transfer->target = messages_;
  current_ = transfer;

  std::optional<HttpAddress> address = ParseHttpAddress(sourceUrl_);
  std::string name = SaveNameFromAddress(sourceUrl_);
  if (!address || name.empty() || saveFolder_.empty() || sessions_->System() == nullptr) {
    transfer->detail = "unusable address";
    transfer->Post(kFailed, transfer->generation, kUnknownFailure);
    return;
  }
  DWORD folder = GetFileAttributesW(platform::WidePath(saveFolder_).c_str());
  if (folder == INVALID_FILE_ATTRIBUTES || !(folder & FILE_ATTRIBUTE_DIRECTORY)) {
    transfer->detail = "no folder " + saveFolder_;
    transfer->Post(kFailed, transfer->generation, kCannotWriteLocally);  // nowhere to put the file: ask nothing
    return;
  }
  address_ = *address;
  finalPath_ = saveFolder_ + "\\" + name;
  StartTry(std::move(transfer));
}

void WinHttpDownloader::StartTry(std::shared_ptr<Transfer> transfer) {
  transfer->finalPath = finalPath_;
  transfer->maxBytes = maxBytes_;
  transfer->computeSha256 = computeSha256_;
  current_ = transfer;
  if (SetTimer(messages_, kWatchdogTimer, kWatchdogPeriodMs, nullptr) == 0) {
    // Without its watchdog a quiet server could hold the window for ever.
    transfer->Post(kFailed, transfer->generation, kUnknownFailure);
    return;
  }
  if (strip_) strip_(KeptPerMille(*transfer));
  DownloadTimeouts timeouts = timeouts_;
  try {
    std::thread([transfer, sessions = sessions_, address = address_, timeouts] {
      std::int32_t code = RunTransfer(*transfer, *sessions, address, timeouts);
      transfer->CloseHandles();
      if (code == 0) transfer->Post(kFinished, transfer->generation, 0);
      else transfer->Post(kFailed, transfer->generation, code);
    }).detach();
  } catch (const std::system_error&) {
    transfer->Post(kFailed, transfer->generation, kUnknownFailure);
  }
}

void WinHttpDownloader::TryEnded(std::shared_ptr<Transfer> done, std::int32_t code, bool transient,
                                 bool restart) {
  std::uint64_t kept = 0;
  {
    std::lock_guard<std::mutex> lock(done->guard);
    done->CloseFileLocked();
    kept = done->written;
  }
  int wait = retries_.AfterFailure(transient, restart ? 0 : kept, restart);
  if (wait < 0 || SetTimer(messages_, kRetryTimer, static_cast<UINT>(wait), nullptr) == 0) {
    {
      std::lock_guard<std::mutex> lock(done->guard);
      done->RemoveFileLocked();
    }
    if (strip_) strip_(0);
    if (events_ != nullptr) events_->DL_Failed(code, 0);
    return;
  }
  if (strip_) strip_(restart ? 0 : KeptPerMille(*done));
  waiting_ = std::move(done);
  if (events_ != nullptr) events_->DL_Retrying(retries_.attempt(), retries_.tries());
}

void WinHttpDownloader::Retry() {
  KillTimer(messages_, kRetryTimer);
  if (!waiting_) return;
  auto next = std::make_shared<Transfer>();
  next->generation = ++generation_;
  next->target = messages_;
  waiting_->HandOver(*next);
  waiting_.reset();
  StartTry(std::move(next));
}

void WinHttpDownloader::AbortDownload() {
  if (current_) {
    current_->Abandon(false);
    current_.reset();
  }
  if (waiting_) {
    KillTimer(messages_, kRetryTimer);
    std::lock_guard<std::mutex> lock(waiting_->guard);
    waiting_->RemoveFileLocked();
  }
  waiting_.reset();
  ++generation_;  // anything already posted for the old transfer is stale now
  if (strip_) strip_(0);
}

LRESULT CALLBACK WinHttpDownloader::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<WinHttpDownloader*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr && message == WM_TIMER && wParam == kWatchdogTimer) {
    self->Watch();
    return 0;
  }
  if (self != nullptr && message == WM_TIMER && wParam == kRetryTimer) {
    self->Retry();
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
  // Ended here rather than by the worker, whose call may never return; the
  // bytes it wrote stay for a retry.
  std::int32_t code = current_->responseBegun ? kCannotDownload : kNoResponse;
  std::shared_ptr<Transfer> silent = std::move(current_);
  silent->Abandon(true);
  ++generation_;
  failureDetail_ = std::string(code == kNoResponse ? "no response" : "the body") + " stopped: silent for " +
                   std::to_string(limit / 1000) + " s";
  TryEnded(std::move(silent), code, true, false);
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
    bool transient = false, restart = false;
    {
      std::lock_guard<std::mutex> lock(done->guard);
      failureDetail_ = done->detail;
      transient = done->transient;
      restart = done->restart;
    }
    TryEnded(std::move(done), static_cast<std::int32_t>(lParam), transient, restart);
  }
}

}  // namespace vmrk
