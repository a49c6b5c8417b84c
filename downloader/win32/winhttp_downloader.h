// The Windows downloader: WinHTTP on a worker thread per transfer, its events
// posted to a message-only window so that they arrive on the window's thread,
// after BeginDownload has returned, and never for an aborted transfer.
//
// The window's thread never waits for a worker. A synchronous WinHTTP call
// does not always wake when its handle is closed (Wine's does not), so an
// aborted or timed-out transfer is abandoned instead: its partial file is
// removed on the window's thread (or kept for a retry, which a new worker
// makes), and from then on the worker touches neither the disk nor the
// window; it ends whenever its call returns, or with the process.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "downloader/downloader_base.h"
#include "downloader/http_address.h"
#include "downloader/resume.h"
#include "downloader/transfer_rules.h"
#include "downloader/win32/winhttp_sessions.h"

namespace vmrk {

struct KeptBytes;  // what one try hands to the next

class WinHttpDownloader : public DownloaderBase {
 public:
  explicit WinHttpDownloader(DownloadTimeouts timeouts = {});
  ~WinHttpDownloader() override;

  void BeginDownload() override;
  void AbortDownload() override;

  // False when the window that carries the events to the window's thread
  // could not be made: no transfer could ever report its end.
  bool Ready() const { return messages_ != nullptr; }

  struct Transfer;  // one try, shared with its worker thread

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Deliver(UINT message, WPARAM wParam, LPARAM lParam);
  void Watch();
  // One request of the transfer, on a new worker: the whole file, or the
  // rest of what an earlier try kept (handed over in `kept`).
  void StartTry(KeptBytes kept);
  // A try failed: wait and retry when it may help, else the transfer fails.
  void TryEnded(std::shared_ptr<Transfer> done, TryFailure failure);
  void Retry();

  DownloadTimeouts timeouts_;
  HWND messages_ = nullptr;
  std::shared_ptr<WinHttpSessions> sessions_ = std::make_shared<WinHttpSessions>();
  std::shared_ptr<Transfer> current_;
  std::shared_ptr<Transfer> waiting_;  // ended, its kept bytes waiting for the retry timer
  TransferTarget target_;
  RetryCount retries_;
  std::uint32_t generation_ = 0;
};

}  // namespace vmrk
