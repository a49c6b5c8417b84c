// The Linux downloader: Qt Network on the window's thread. The body is
// streamed into a temporary file in the save folder and renamed to its final
// name only once it is complete.
#pragma once

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <string>

#include "downloader/downloader.h"
#include "platform/crypto.h"

class QNetworkReply;
class QFile;

namespace vmrk {

class QtDownloader : public QObject, public Downloader {
  Q_OBJECT

 public:
  explicit QtDownloader(DownloadTimeouts timeouts = {}, QObject* parent = nullptr);
  ~QtDownloader() override;

  void SetEvents(DownloaderEvents* events) override { events_ = events; }
  void SetSourceURL(const std::string& address) override { sourceUrl_ = address; }
  void SetSaveFolder(const std::string& folder) override { saveFolder_ = folder; }
  void SetMaxBytes(std::uint64_t maxBytes) override { maxBytes_ = maxBytes; }
  std::string SavedFileName() const override { return savedFileName_; }
  std::string SavedFileSha256() const override { return savedSha256_; }
  void SetComputeSha256(bool on) override { computeSha256_ = on; }
  std::string FailureDetail() const override { return failureDetail_; }
  void BeginDownload() override;
  void AbortDownload() override;

 signals:
  // For the window's download strip: per mille done, -1 while the length is
  // unknown; transferIdle when no transfer runs.
  void transferProgress(int perMille);
  void transferIdle();

 private:
  void OnReadyRead();
  void OnProgress(qint64 received, qint64 total);
  void OnFinished();
  void OnWatchdog();
  // Refuses, from the headers alone, a body that cannot be the file.
  void OnMetaData();
  // Ends the current transfer without a word to the window.
  void Drop();
  void Fail(std::int32_t code);
  // Delivers a failure later, from the event loop, unless the transfer that
  // it belongs to has been aborted or replaced by then.
  void FailLater(std::int32_t code);
  void Rearm(int ms);

  DownloadTimeouts timeouts_;
  DownloaderEvents* events_ = nullptr;
  std::string sourceUrl_;
  std::string saveFolder_;
  std::string savedFileName_;
  std::string savedSha256_;
  std::string failureDetail_;
  std::unique_ptr<platform::Sha256> hasher_;  // only while a transfer hashes
  bool computeSha256_ = false;
  std::string finalPath_;
  std::uint64_t maxBytes_ = kDefaultMaxBytes;

  QNetworkAccessManager network_;
  QPointer<QNetworkReply> reply_;
  std::unique_ptr<QFile> file_;
  std::string tempPath_;
  QTimer watchdog_;
  QElapsedTimer sinceProgress_;
  bool bodyFailed_ = false;
  bool responseBegun_ = false;  // the status line came
  qint64 bytesWritten_ = 0;
  std::uint64_t generation_ = 0;
};

}  // namespace vmrk
