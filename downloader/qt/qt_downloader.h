// The Linux downloader: Qt Network on the window's thread. The body is
// streamed into a temporary file in the save folder and renamed to its final
// name only once it is complete; a try that breaks off keeps that file, and
// the next try asks for the rest of it.
#pragma once

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <cstdint>
#include <memory>
#include <string>

#include "downloader/downloader_base.h"
#include "downloader/resume.h"
#include "downloader/transfer_rules.h"
#include "platform/crypto.h"

class QNetworkReply;
class QFile;

namespace vmrk {

class QtDownloader : public QObject, public DownloaderBase {
  Q_OBJECT

 public:
  explicit QtDownloader(DownloadTimeouts timeouts = {}, QObject* parent = nullptr);
  ~QtDownloader() override;

  bool Preconnect(const std::string& address) override;
  void BeginDownload() override;
  void AbortDownload() override;

 private:
  // One request of the transfer: the whole file, or the rest of the kept
  // bytes.
  void StartTry();
  void OnReadyRead();
  void OnProgress(qint64 received, qint64 total);
  void OnFinished();
  void OnWatchdog();
  // Refuses, from the headers alone, a body that cannot be the file.
  void OnMetaData();
  // Ends the current transfer without a word to the window.
  void Drop();
  // A try ended early: tried again after a wait when it may help, failed
  // otherwise. failure.restart: the kept bytes are dropped, the next try
  // asks for the whole file.
  void FailTry(TryFailure failure);
  void StopReply();
  // Empties the staging file: what it held is not the start of this file.
  void DiscardKept();
  // Delivers a failure later, from the event loop, unless the transfer that
  // it belongs to has been aborted or replaced by then.
  void FailLater(std::int32_t code);
  // Restarts the watchdog with the bound that holds now; heard: the server
  // (or Qt, for the request) said something, so the request is out.
  void Rearm(bool heard = false);

  DownloadTimeouts timeouts_;
  std::unique_ptr<platform::Sha256> hasher_;  // only while a transfer hashes
  std::string finalPath_;

  QNetworkAccessManager network_;
  QPointer<QNetworkReply> reply_;
  std::unique_ptr<QFile> file_;
  std::string tempPath_;
  QUrl url_;
  QTimer watchdog_;
  QTimer retryTimer_;
  RetryCount retries_;
  ResumeAsk ask_;               // what the current try asked for; carries validator and length on
  bool answered_ = false;       // the current try's 2xx headers were judged
  qint64 appendBase_ = 0;       // bytes kept before the current try's body
  QElapsedTimer clock_;
  ProgressThrottle progress_;
  bool bodyFailed_ = false;
  bool requestSent_ = false;    // the request is on the wire: the idle bound holds from here
  bool responseBegun_ = false;  // the status line came
  qint64 bytesWritten_ = 0;
  std::uint64_t generation_ = 0;
};

}  // namespace vmrk
