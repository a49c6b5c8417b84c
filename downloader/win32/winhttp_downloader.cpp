#include "downloader/win32/winhttp_downloader.h"

#include <winhttp.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <thread>

#include "downloader/win32/user_proxy.h"
#include "downloader/win32/winhttp_sessions.h"
#include "platform/crypto.h"
#include "platform/temp_name.h"
#include "platform/thread_annotations.h"
#include "platform/win32/utf16_win.h"

namespace vmrk {
namespace {

constexpr UINT kFinished = WM_APP + 1;
constexpr UINT kFailed = WM_APP + 2;
constexpr UINT kProgress = WM_APP + 3;
constexpr int kMaxRedirects = 10;
constexpr UINT_PTR kWatchdogTimer = 1;
constexpr UINT_PTR kRetryTimer = 2;
constexpr UINT kWatchdogPeriodMs = 200;
constexpr ULONGLONG kTimerSlackMs = 50;  // a timeout may fire this early by the tick count
const wchar_t kWindowClass[] = L"vmrkxupdate.downloader";

}  // namespace

// The staging file, its length, its hash and what the server said of it:
// one try works on them, then hands them to the next as a whole.
struct KeptBytes {
  std::wstring path;  // "" until a try makes one
  HANDLE file = INVALID_HANDLE_VALUE;
  std::uint64_t written = 0;
  std::unique_ptr<platform::Sha256> hasher;  // of exactly the `written` bytes, when hashing
  ResumeAsk ask;                             // from = written; validator and total as last answered

  void Close() {
    if (file == INVALID_HANDLE_VALUE) return;
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }
  void Remove() {
    Close();
    if (!path.empty()) DeleteFileW(path.c_str());
    written = 0;
  }
  // What the next try starts from.
  KeptBytes HandedOver() {
    Close();
    KeptBytes next;
    next.path = path;
    next.written = written;
    next.hasher = std::move(hasher);
    next.ask = ask.Next(written);
    return next;
  }
};

// One try. What is fixed before its worker starts is const; what the worker
// and the window's thread both touch is under `guard`, and once `abandoned`
// is set (AbortDownload or the watchdog, on the window's thread) the worker
// never writes, renames or posts again. The worker's own verdict lives on
// its stack and is published under the guard, so a worker abandoned in a
// blocked call shares nothing that a later try reads.
struct WinHttpDownloader::Transfer {
  Transfer(std::uint32_t generation, HWND target, const TransferTarget& where, std::uint64_t maxBytes,
           bool computeSha256, bool revalidate, const DownloadTimeouts& timeouts, KeptBytes keptBefore)
      : generation(generation),
        target(target),
        where(where),
        maxBytes(maxBytes),
        computeSha256(computeSha256),
        revalidate(revalidate),
        timeouts(timeouts),
        asked(keptBefore.ask),
        kept(std::move(keptBefore)) {}

  const std::uint32_t generation;
  const HWND target;
  const TransferTarget where;
  const std::uint64_t maxBytes;
  const bool computeSha256;
  const bool revalidate;
  const DownloadTimeouts timeouts;
  const ResumeAsk asked;  // what this try asks for

  // Read by the watchdog on the window's thread: not every WinHTTP (Wine's
  // among them) keeps its own timeouts, and a closed handle does not always
  // wake a call that waits.
  std::atomic<ULONGLONG> lastActivity{GetTickCount64()};
  std::atomic<bool> requestSent{false};
  std::atomic<bool> responseBegun{false};  // the status line came

  Mutex guard;
  bool abandoned GUARDED_BY(guard) = false;
  HINTERNET request GUARDED_BY(guard) = nullptr;
  KeptBytes kept GUARDED_BY(guard);
  // Published by the worker when it ends, read by the window's thread on
  // the posted message.
  TryFailure failure GUARDED_BY(guard);
  std::string sha256 GUARDED_BY(guard);  // of the complete body

  // Window's thread. Closes the request and the staging file (removed unless
  // kept for a retry); waits at most for one local write of the worker,
  // never for the network.
  void Abandon(bool keepFile) {
    MutexLock lock(guard);
    if (abandoned) return;
    abandoned = true;
    if (keepFile) kept.Close();
    else kept.Remove();
    if (request != nullptr) {
      WinHttpCloseHandle(request);  // wakes the worker where WinHTTP can
      request = nullptr;
    }
  }
  // Window's thread, once the try has ended or been abandoned.
  KeptBytes HandOver() {
    MutexLock lock(guard);
    return kept.HandedOver();
  }
  std::uint64_t Written() {
    MutexLock lock(guard);
    return kept.written;
  }
};

namespace {

using Transfer = WinHttpDownloader::Transfer;

// A response header as text, "" when absent (or absurdly long).
std::string HeaderText(HINTERNET request, DWORD info) {
  wchar_t text[512];
  DWORD bytes = sizeof text;
  if (!WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, text, &bytes, WINHTTP_NO_HEADER_INDEX))
    return {};
  return platform::Narrow(std::wstring(text, bytes / sizeof(wchar_t)));
}

// What a failed WinHTTP call means. Silence as long as the bound is a
// timeout whatever the error says: Wine reports one in the TLS handshake as
// a secure-channel error, and one in the response as WSAETIMEDOUT.
TryFailure CallFailure(Transfer& t) {
  DWORD error = GetLastError();
  std::string detail = "WinHTTP error " + std::to_string(error);
  ULONGLONG quiet = GetTickCount64() - t.lastActivity;
  // Before the request is out, WinHTTP may apply either bound (Wine's TLS
  // handshake waits by the receive timeout).
  int limit = t.requestSent ? t.timeouts.idleMs : std::min(t.timeouts.connectMs, t.timeouts.idleMs);
  if (error == ERROR_WINHTTP_TIMEOUT || error == WSAETIMEDOUT || error == ERROR_TIMEOUT ||
      quiet + kTimerSlackMs >= static_cast<ULONGLONG>(limit))
    return TransportFailure(TransportError::kTimedOut, t.responseBegun,
                            detail + ", silent for " + SecondsText(limit));
  switch (error) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
      return TransportFailure(TransportError::kCertificate, t.responseBegun, detail);
    case ERROR_WINHTTP_REDIRECT_FAILED: return TransportFailure(TransportError::kRedirect, t.responseBegun, detail);
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
    case ERROR_WINHTTP_CONNECTION_ERROR:
      return TransportFailure(TransportError::kConnectionLost, t.responseBegun, detail);
    default: return TransportFailure(TransportError::kOther, t.responseBegun, detail);  // lookup, refused
  }
}

// The request, on the session of the user's proxy choice. nullptr with
// *failure set, or once the try is abandoned.
HINTERNET OpenRequest(Transfer& t, WinHttpSessions& sessions, HINTERNET* connection, TryFailure* failure) {
  const HttpAddress& address = t.where.address;
  *failure = TransportFailure(TransportError::kOther, false, "cannot open a connection");
  std::wstring origin = platform::Widen((address.secure ? "https://" : "http://") + address.host + ":" +
                                        std::to_string(address.port));
  HINTERNET session = sessions.For(sessions.ChoiceFor(origin, platform::Widen(address.Url())));
  if (session == nullptr) return nullptr;
  std::wstring host = platform::Widen(address.host);
  if (host.size() > 2 && host.front() == L'[') host = host.substr(1, host.size() - 2);
  *connection = WinHttpConnect(session, host.c_str(), address.port, 0);
  if (*connection == nullptr) return nullptr;
  // https: TLS with the system's own certificate checks; a certificate
  // error fails the send, and nothing here ever ignores one.
  HINTERNET request = WinHttpOpenRequest(*connection, L"GET", platform::Widen(address.target).c_str(), nullptr,
                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                         WINHTTP_FLAG_ESCAPE_DISABLE | (address.secure ? WINHTTP_FLAG_SECURE : 0));
  if (request == nullptr) return nullptr;
  {
    MutexLock lock(t.guard);
    if (t.abandoned) {
      WinHttpCloseHandle(request);
      return nullptr;
    }
    t.request = request;
  }
  const DownloadTimeouts& timeouts = t.timeouts;
  WinHttpSetTimeouts(request, timeouts.connectMs, timeouts.connectMs, timeouts.idleMs, timeouts.idleMs);
  DWORD responseTimeout = static_cast<DWORD>(timeouts.idleMs);
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof responseTimeout);
  DWORD redirects = kMaxRedirects;
  WinHttpSetOption(request, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects, sizeof redirects);
  // Files must arrive as they are on the server, never re-encoded.
  WinHttpAddRequestHeaders(request, L"Accept-Encoding: identity", static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD);
  if (t.revalidate)  // Pragma for caches of HTTP/1.0
    WinHttpAddRequestHeaders(request, L"Cache-Control: no-cache\r\nPragma: no-cache", static_cast<DWORD>(-1L),
                             WINHTTP_ADDREQ_FLAG_ADD);
  if (const std::string range = t.asked.RangeHeader(); !range.empty()) {
    std::wstring headers = platform::Widen("Range: " + range);
    // The server sends the whole file instead when it has changed since.
    if (!t.asked.validator.empty()) headers += platform::Widen("\r\nIf-Range: " + t.asked.validator);
    WinHttpAddRequestHeaders(request, headers.c_str(), static_cast<DWORD>(-1L), WINHTTP_ADDREQ_FLAG_ADD);
  }
  return request;
}

// Sends the request and reads the answer's headers.
std::optional<TryFailure> Exchange(Transfer& t, HINTERNET request, AnswerHeaders* headers) {
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
    return CallFailure(t);
  t.lastActivity = GetTickCount64();
  t.requestSent = true;
  if (!WinHttpReceiveResponse(request, nullptr)) return CallFailure(t);
  t.lastActivity = GetTickCount64();
  t.responseBegun = true;
  DWORD status = 0, size = sizeof status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                           &status, &size, WINHTTP_NO_HEADER_INDEX))
    return TransportFailure(TransportError::kConnectionLost, true, "a response without a status");
  headers->status = static_cast<int>(status);
  headers->contentRange = HeaderText(request, WINHTTP_QUERY_CONTENT_RANGE);
  headers->contentEncoding = HeaderText(request, WINHTTP_QUERY_CONTENT_ENCODING);
  headers->etag = HeaderText(request, WINHTTP_QUERY_ETAG);
  headers->lastModified = HeaderText(request, WINHTTP_QUERY_LAST_MODIFIED);
  std::string length = HeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH);
  if (!length.empty()) headers->contentLength = std::strtoull(length.c_str(), nullptr, 10);
  return std::nullopt;
}

// The staging file for the body: new for a whole body, the kept one for the
// rest, which must still be there as it was. false once abandoned.
bool OpenStaging(Transfer& t, const HeadersVerdict& verdict, std::optional<TryFailure>* failure) {
  MutexLock lock(t.guard);
  if (t.abandoned) return false;
  KeptBytes& kept = t.kept;
  if (!verdict.validator.empty()) kept.ask.validator = verdict.validator;
  kept.ask.total = verdict.total;
  if (kept.path.empty()) kept.path = platform::WidePath(platform::NextTempPathBeside(t.where.finalPath,
                                                                                      platform::TempKind::kPartial));
  kept.file = CreateFileW(kept.path.c_str(), GENERIC_WRITE, 0, nullptr, verdict.whole ? CREATE_ALWAYS : OPEN_EXISTING,
                          FILE_ATTRIBUTE_HIDDEN, nullptr);
  const DWORD error = GetLastError();
  if (verdict.whole) {
    kept.written = 0;
    kept.hasher.reset();
    if (t.computeSha256) kept.hasher = std::make_unique<platform::Sha256>();
    if (kept.file == INVALID_HANDLE_VALUE)
      *failure = LocalWriteFailure("cannot open the file here, system error " + std::to_string(error));
    return true;
  }
  LARGE_INTEGER end{};
  if (kept.file == INVALID_HANDLE_VALUE || !SetFilePointerEx(kept.file, LARGE_INTEGER{}, &end, FILE_END) ||
      static_cast<std::uint64_t>(end.QuadPart) != kept.written || (t.computeSha256 && !kept.hasher)) {
    // The kept bytes are gone or not as they were: start over.
    kept.Close();
    kept.written = 0;
    TryFailure restart = TransportFailure(TransportError::kConnectionLost, true, "the kept bytes are not as they were");
    restart.restart = true;
    *failure = restart;
  }
  return true;
}

// Appends and hashes one piece in one locked step. false once abandoned.
bool Append(Transfer& t, const char* data, DWORD size, bool* written) {
  MutexLock lock(t.guard);
  if (t.abandoned || t.kept.file == INVALID_HANDLE_VALUE) return false;
  DWORD count = 0;
  *written = WriteFile(t.kept.file, data, size, &count, nullptr) && count == size;
  if (*written) {
    if (t.kept.hasher) t.kept.hasher->Update(std::string_view(data, size));
    t.kept.written += size;
  }
  return true;
}

// Streams the body into the staging file.
std::optional<TryFailure> ReceiveBody(Transfer& t, HINTERNET request, std::uint64_t base,
                                      std::optional<std::uint64_t> total) {
  std::uint64_t received = 0;  // by this try
  ProgressThrottle throttle;
  std::string buffer(64 * 1024, '\0');
  for (;;) {
    // Asked for what is there rather than for a full buffer: a slow server
    // trickling bytes is moving, and must not look quiet to the watchdog.
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) {
      TryFailure failure = CallFailure(t);
      failure.detail += " after " + std::to_string(received) + " bytes";
      if (received > 0 || total) failure.code = kCannotDownload;
      return failure;
    }
    if (available == 0) break;
    DWORD got = 0;
    if (!WinHttpReadData(request, buffer.data(), std::min<DWORD>(available, static_cast<DWORD>(buffer.size())), &got)) {
      TryFailure failure = CallFailure(t);
      failure.code = kCannotDownload;
      return failure;
    }
    if (got == 0) break;
    t.lastActivity = GetTickCount64();
    const std::uint64_t before = base + received;
    if (std::optional<TryFailure> past = PastBound(before, got, t.maxBytes)) return past;
    bool written = false;
    if (!Append(t, buffer.data(), got, &written)) return std::nullopt;  // abandoned: nobody listens
    if (!written) return LocalWriteFailure("cannot write the file here, system error " + std::to_string(GetLastError()));
    received += got;
    const std::uint64_t now = before + got;
    if (total && *total > 0 && throttle.Due(static_cast<std::int64_t>(GetTickCount64()), now >= *total)) {
      MutexLock lock(t.guard);
      if (!t.abandoned) PostMessageW(t.target, kProgress, t.generation, static_cast<LPARAM>(PerMilleOf(now, total)));
    }
  }
  return JudgeBodyEnd(base + received, total);
}

// The complete body renamed to its final name. false once abandoned.
bool Commit(Transfer& t, std::optional<TryFailure>* failure) {
  MutexLock lock(t.guard);
  if (t.abandoned || t.kept.file == INVALID_HANDLE_VALUE) return false;
  KeptBytes& kept = t.kept;
  if (kept.hasher) {
    platform::Sha256Digest digest = kept.hasher->Finish();
    t.sha256.assign(reinterpret_cast<const char*>(digest.data()), digest.size());
  }
  bool closed = CloseHandle(kept.file) != 0;
  kept.file = INVALID_HANDLE_VALUE;
  SetFileAttributesW(kept.path.c_str(), FILE_ATTRIBUTE_NORMAL);
  bool moved = closed && MoveFileExW(kept.path.c_str(), platform::WidePath(t.where.finalPath).c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!moved) {
    *failure = LocalWriteFailure("cannot put the file in place, system error " + std::to_string(GetLastError()));
    kept.Remove();
  }
  return true;
}

// Everything one try does off the window's thread: nullopt for a complete
// file at its final path, else why not. Whatever it returns after the try
// was abandoned goes nowhere.
std::optional<TryFailure> RunTry(Transfer& t, WinHttpSessions& sessions, HINTERNET* connection) {
  TryFailure opened;
  HINTERNET request = OpenRequest(t, sessions, connection, &opened);
  if (request == nullptr) return opened;
  AnswerHeaders headers;
  if (std::optional<TryFailure> failed = Exchange(t, request, &headers)) return failed;
  HeadersVerdict verdict = JudgeHeaders(t.asked, headers, t.maxBytes);
  if (!verdict.receive) {
    if (verdict.failure.restart) {
      MutexLock lock(t.guard);
      if (!t.abandoned) t.kept.written = 0;  // the next try asks for the whole file
    }
    return verdict.failure;
  }
  std::optional<TryFailure> failure;
  if (!OpenStaging(t, verdict, &failure)) return std::nullopt;
  if (failure) return failure;
  if ((failure = ReceiveBody(t, request, verdict.whole ? 0 : t.asked.from, verdict.total))) return failure;
  if (!Commit(t, &failure)) return std::nullopt;
  return failure;
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
  ForgetResults();
  retries_ = RetryCount(timeouts_.retryDelaysMs);
  const std::uint32_t generation = ++generation_;
  auto fail = [&](std::int32_t code, std::string detail) {
    failureDetail_ = std::move(detail);
    // Posted, not called: no event ever comes from inside BeginDownload.
    PostMessageW(messages_, kFailed, generation, code);
    current_ =
        std::make_shared<Transfer>(generation, messages_, TransferTarget{}, 0, false, false, timeouts_, KeptBytes{});
  };
  if (!PlanTransfer(sourceUrl_, saveFolder_, '\\', &target_, query_).ok() || sessions_->System() == nullptr) {
    fail(kUnknownFailure, "unusable address");
    return;
  }
  DWORD folder = GetFileAttributesW(platform::WidePath(saveFolder_).c_str());
  if (folder == INVALID_FILE_ATTRIBUTES || !(folder & FILE_ATTRIBUTE_DIRECTORY)) {
    fail(kCannotWriteLocally, "no folder " + saveFolder_);  // nowhere to put the file: ask nothing
    return;
  }
  KeptBytes fresh;
  fresh.ask.part = part_;
  if (computeSha256_) fresh.hasher = std::make_unique<platform::Sha256>();
  StartTry(std::move(fresh));
}

void WinHttpDownloader::StartTry(KeptBytes kept) {
  auto transfer = std::make_shared<Transfer>(++generation_, messages_, target_, maxBytes_, computeSha256_, revalidate_,
                                             timeouts_, std::move(kept));
  current_ = transfer;
  auto failNow = [&](const char* why) {
    MutexLock lock(transfer->guard);
    transfer->failure = TransportFailure(TransportError::kOther, false, why);
    transfer->failure.transient = false;
    PostMessageW(messages_, kFailed, transfer->generation, kUnknownFailure);
  };
  // Without its watchdog a quiet server could hold the window for ever.
  if (SetTimer(messages_, kWatchdogTimer, kWatchdogPeriodMs, nullptr) == 0) {
    failNow("no timer for the watchdog");
    return;
  }
  try {
    std::thread([transfer, sessions = sessions_] {
      HINTERNET connection = nullptr;
      std::optional<TryFailure> failure = RunTry(*transfer, *sessions, &connection);
      MutexLock lock(transfer->guard);
      transfer->kept.Close();
      if (transfer->request != nullptr) WinHttpCloseHandle(transfer->request);
      transfer->request = nullptr;
      if (connection != nullptr) WinHttpCloseHandle(connection);
      if (transfer->abandoned) return;
      if (failure) transfer->failure = std::move(*failure);
      PostMessageW(transfer->target, failure ? kFailed : kFinished, transfer->generation,
                   failure ? transfer->failure.code : 0);
    }).detach();
  } catch (const std::system_error&) {
    failNow("no thread for the transfer");
  }
}

void WinHttpDownloader::TryEnded(std::shared_ptr<Transfer> done, TryFailure failure) {
  failureDetail_ = failure.detail;
  failureHttpStatus_ = failure.httpStatus;
  int wait = retries_.AfterFailure(failure.transient, done->Written(), failure.restart);
  if (wait < 0 || SetTimer(messages_, kRetryTimer, static_cast<UINT>(wait), nullptr) == 0) {
    KeptBytes kept = done->HandOver();
    kept.Remove();
    if (events_ != nullptr) events_->DL_Failed(failure.code, 0);
    return;
  }
  waiting_ = std::move(done);
  if (events_ != nullptr) events_->DL_Retrying(retries_.attempt(), retries_.tries());
}

void WinHttpDownloader::Retry() {
  KillTimer(messages_, kRetryTimer);
  if (!waiting_) return;
  std::shared_ptr<Transfer> ended = std::move(waiting_);
  StartTry(ended->HandOver());
}

void WinHttpDownloader::AbortDownload() {
  if (current_) {
    current_->Abandon(false);
    current_.reset();
  }
  if (waiting_) {
    KillTimer(messages_, kRetryTimer);
    KeptBytes kept = waiting_->HandOver();
    kept.Remove();
    waiting_.reset();
  }
  ++generation_;  // anything already posted for the old transfer is stale now
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
  int limit = SilenceLimitMs(current_->requestSent, timeouts_);
  if (quiet <= static_cast<ULONGLONG>(limit)) return;
  // Ended here rather than by the worker, whose call may never return; the
  // bytes it wrote stay for a retry.
  std::shared_ptr<Transfer> silent = std::move(current_);
  silent->Abandon(true);
  ++generation_;
  TryFailure failure = SilenceFailure(silent->responseBegun, limit);
  TryEnded(std::move(silent), std::move(failure));
}

void WinHttpDownloader::Deliver(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!current_ || static_cast<std::uint32_t>(wParam) != current_->generation) return;  // aborted or replaced
  if (message == kProgress) {
    if (events_ != nullptr) events_->DL_Progress(static_cast<float>(lParam) / 1000.0f, 0, 0);
    return;
  }
  std::shared_ptr<Transfer> done = std::move(current_);
  if (message == kFailed && done->where.finalPath.empty()) {
    // Refused before any try began: failureDetail_ already says why.
    if (events_ != nullptr) events_->DL_Failed(static_cast<std::int32_t>(lParam), 0);
    return;
  }
  TryFailure failure;
  {
    MutexLock lock(done->guard);
    if (message == kFinished) {
      savedFileName_ = done->where.finalPath;
      savedSha256_ = done->sha256;
    } else {
      failure = done->failure;
    }
  }
  if (message == kFinished) {
    // Last: the window may start the next transfer from in here.
    if (events_ != nullptr) events_->DL_Finished(1);
    return;
  }
  TryEnded(std::move(done), std::move(failure));
}

}  // namespace vmrk
