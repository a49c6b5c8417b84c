#include "downloader/qt/qt_downloader.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QCoreApplication>
#include <QFile>
#include <cstdio>
#include <QUrl>

#include "downloader/http_address.h"
#include "platform/temp_name.h"

namespace vmrk {
namespace {

constexpr int kMaxRedirects = 10;
constexpr qint64 kReadBufferBytes = 1 << 20;
constexpr qint64 kProgressIntervalMs = 50;  // about 20 reports a second
const char kUserAgent[] = "vmrkxupdate/1.0 (online updater)";

}  // namespace

QtDownloader::QtDownloader(DownloadTimeouts timeouts, QObject* parent)
    : QObject(parent), timeouts_(timeouts), network_(this) {
  watchdog_.setSingleShot(true);
  connect(&watchdog_, &QTimer::timeout, this, &QtDownloader::OnWatchdog);
  retryTimer_.setSingleShot(true);
  connect(&retryTimer_, &QTimer::timeout, this, &QtDownloader::StartTry);
}

QtDownloader::~QtDownloader() { Drop(); }

void QtDownloader::BeginDownload() {
  Drop();
  ++generation_;
  savedFileName_.clear();
  savedSha256_.clear();
  failureDetail_.clear();
  hasher_.reset();
  if (computeSha256_) hasher_ = std::make_unique<platform::Sha256>();
  bytesWritten_ = 0;
  ask_ = {};
  retries_ = RetryCount(timeouts_.retryDelaysMs);

  std::optional<HttpAddress> address = ParseHttpAddress(sourceUrl_);
  std::string name = SaveNameFromAddress(sourceUrl_);
  if (!address || name.empty() || saveFolder_.empty()) {
    failureDetail_ = "unusable address";
    FailLater(kUnknownFailure);
    return;
  }
  url_ = QUrl::fromEncoded(QByteArray::fromStdString(address->Url()), QUrl::StrictMode);
  if (!url_.isValid()) {
    failureDetail_ = "unusable address";
    FailLater(kUnknownFailure);
    return;
  }
  finalPath_ = saveFolder_ + "/" + name;
  // Hidden and unique: a transfer cut off by a crash never leaves a file
  // that could be taken for a complete one.
  tempPath_ = saveFolder_ + "/" + platform::NextTempName(name, platform::TempKind::kPartial);
  file_ = std::make_unique<QFile>(QString::fromStdString(tempPath_));
  if (!file_->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    failureDetail_ = "cannot create " + tempPath_ + ": " + file_->errorString().toStdString();
    file_.reset();
    FailLater(kCannotWriteLocally);
    return;
  }
  StartTry();
  emit transferProgress(-1);
}

void QtDownloader::StartTry() {
  bodyFailed_ = false;
  responseBegun_ = false;
  answered_ = false;
  appendBase_ = 0;
  ask_.from = static_cast<std::uint64_t>(bytesWritten_);
  if (ask_.from == 0) ask_ = {};

  QNetworkRequest request(url_);
  request.setHeader(QNetworkRequest::UserAgentHeader, kUserAgent);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setMaximumRedirectsAllowed(kMaxRedirects);
  // Files must arrive as they are on the server, never re-encoded.
  request.setRawHeader("Accept-Encoding", "identity");
  request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
  if (ask_.from > 0) {
    request.setRawHeader("Range", QByteArray::fromStdString(ask_.RangeHeader()));
    // The server sends the whole file instead when it has changed since.
    if (!ask_.validator.empty()) request.setRawHeader("If-Range", QByteArray::fromStdString(ask_.validator));
  }
  if (url_.scheme() == QLatin1String("https")) {
    // The system's trust store and checks as they are, TLS 1.2 or later; a
    // certificate error fails the transfer (nothing here ever ignores one).
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    request.setSslConfiguration(tls);
  }

  reply_ = network_.get(request);
  reply_->setReadBufferSize(kReadBufferBytes);
  connect(reply_, &QNetworkReply::readyRead, this, &QtDownloader::OnReadyRead);
  connect(reply_, &QNetworkReply::downloadProgress, this, &QtDownloader::OnProgress);
  connect(reply_, &QNetworkReply::finished, this, &QtDownloader::OnFinished);
  connect(reply_, &QNetworkReply::requestSent, this, [this] { Rearm(timeouts_.idleMs); });
  connect(reply_, &QNetworkReply::metaDataChanged, this, &QtDownloader::OnMetaData);
  Rearm(timeouts_.connectMs);
  sinceProgress_.invalidate();
}

void QtDownloader::AbortDownload() {
  // A pending FailLater of the old transfer must not reach the window either.
  ++generation_;
  Drop();
}

void QtDownloader::StopReply() {
  watchdog_.stop();
  if (reply_) {
    QNetworkReply* reply = reply_;
    reply_ = nullptr;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
  }
}

void QtDownloader::Drop() {
  StopReply();
  retryTimer_.stop();
  if (file_) {
    file_->close();
    file_->remove();
    file_.reset();
  }
  emit transferIdle();
}

void QtDownloader::DiscardKept() {
  if (!file_->resize(0) || !file_->seek(0)) bodyFailed_ = true;
  bytesWritten_ = 0;
  appendBase_ = 0;
  if (hasher_) hasher_ = std::make_unique<platform::Sha256>();
}

void QtDownloader::Rearm(int ms) { watchdog_.start(ms); }

void QtDownloader::OnMetaData() {
  if (!reply_ || answered_) return;
  Rearm(timeouts_.idleMs);
  responseBegun_ = true;
  int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  if (status < 200 || status >= 300) return;  // redirects and errors end in OnFinished
  answered_ = true;
  std::string validator = ResumeValidator(reply_->rawHeader("ETag").toStdString(),
                                          reply_->rawHeader("Last-Modified").toStdString());
  switch (JudgeAnswer(ask_, status, reply_->rawHeader("Content-Range").toStdString(), validator)) {
    case ResumeAnswer::kRefuse:
      // A part of a file is not the file: this request asked for none.
      failureDetail_ = "HTTP 206, a part nobody asked for";
      FailTry(kCannotDownload, false);
      return;
    case ResumeAnswer::kRestart:
      failureDetail_ = "HTTP 206, not the rest of the kept " + std::to_string(bytesWritten_) + " bytes";
      DiscardKept();
      FailTry(kCannotDownload, true, true);
      return;
    case ResumeAnswer::kWhole: {
      if (bytesWritten_ > 0) DiscardKept();  // the server sends it all again (no ranges, or it changed)
      QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
      ask_.total.reset();
      if (length.isValid()) ask_.total = length.toULongLong();
      break;
    }
    case ResumeAnswer::kAppend: {
      appendBase_ = bytesWritten_;
      std::optional<ContentRange> range = ParseContentRange(reply_->rawHeader("Content-Range").toStdString());
      if (range->total) ask_.total = range->total;
      else if (!ask_.total) ask_.total = range->last + 1;
      break;
    }
  }
  if (!validator.empty()) ask_.validator = validator;
  // The file compressed is not the file (Accept-Encoding: identity).
  QByteArray encoding = reply_->rawHeader("Content-Encoding").trimmed().toLower();
  bool tooLong = ask_.total && *ask_.total > maxBytes_;
  if ((!encoding.isEmpty() && encoding != "identity") || tooLong) {
    failureDetail_ = "HTTP " + std::to_string(status) + (tooLong ? ", longer than allowed" : ", encoded");
    FailTry(kCannotDownload, false);
  }
}

void QtDownloader::OnReadyRead() {
  if (!reply_) return;
  Rearm(timeouts_.idleMs);
  if (!answered_) OnMetaData();
  if (!reply_) return;  // refused on the way
  QByteArray chunk = reply_->readAll();
  // Bodies of error pages and of redirects are not the file.
  if (!answered_ || bodyFailed_ || !file_) return;
  // Stopped the moment it passes its bound: an endless body must not fill
  // the disk before a length check could throw it out.
  if (static_cast<std::uint64_t>(bytesWritten_) + static_cast<std::uint64_t>(chunk.size()) > maxBytes_) {
    failureDetail_ = "longer than " + std::to_string(maxBytes_) + " bytes";
    FailTry(kCannotDownload, false);
    return;
  }
  if (file_->write(chunk) != chunk.size()) bodyFailed_ = true;
  if (hasher_) hasher_->Update(std::string_view(chunk.constData(), static_cast<size_t>(chunk.size())));
  bytesWritten_ += chunk.size();
}

void QtDownloader::OnProgress(qint64 received, qint64 total) {
  if (!reply_) return;
  Rearm(timeouts_.idleMs);
  if (total <= 0 || !answered_) return;
  bool done = received >= total;
  if (!done && sinceProgress_.isValid() && sinceProgress_.elapsed() < kProgressIntervalMs) return;
  sinceProgress_.start();
  // Of the whole file: a resumed body is its rest.
  double fraction = static_cast<double>(appendBase_ + received) / static_cast<double>(appendBase_ + total);
  if (fraction > 1) fraction = 1;
  emit transferProgress(static_cast<int>(fraction * 1000));
  if (events_ != nullptr) events_->DL_Progress(static_cast<float>(fraction), 0, 0);
}

void QtDownloader::OnFinished() {
  if (!reply_) return;
  OnMetaData();   // a reply too short to have announced its headers
  if (reply_) OnReadyRead();  // whatever is still buffered
  if (!reply_) return;        // refused on the way
  QNetworkReply* reply = reply_;
  QNetworkReply::NetworkError error = reply->error();
  QVariant statusValue = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  int status = statusValue.isValid() ? statusValue.toInt() : 0;

  std::int32_t code = 0;
  bool transient = false;  // worth a retry when bytes are kept
  if (error == QNetworkReply::TooManyRedirectsError || error == QNetworkReply::InsecureRedirectError) {
    code = kTooManyRedirects;
  } else if (status >= 400) {
    code = kCannotDownload;
    transient = IsTransientStatus(status);
  } else if (status == 0) {
    // Nothing came back. A peer that hung up on us is "no bytes"; everything
    // else (refused, lookup failure, our own timeout) is unknown.
    code = error == QNetworkReply::RemoteHostClosedError ? kNoResponse : kUnknownFailure;
    transient = error != QNetworkReply::SslHandshakeFailedError;  // a certificate does not mend itself
  } else if (status >= 300) {
    code = kTooManyRedirects;  // a redirect that could not be followed
  } else if (bodyFailed_ || !file_) {
    code = kCannotWriteLocally;
  } else if (error != QNetworkReply::NoError ||
             (ask_.total && static_cast<std::uint64_t>(bytesWritten_) < *ask_.total)) {
    code = kCannotDownload;  // the body broke off
    transient = true;
  }
  if (code != 0) {
    failureDetail_ = (status != 0 ? "HTTP " + std::to_string(status) + ", " : std::string()) +
                     (code == kCannotWriteLocally            ? "cannot write the file here"
                      : error != QNetworkReply::NoError ? reply->errorString().toStdString()
                                                        : "body shorter than announced") +
                     (bytesWritten_ > 0 ? ", " + std::to_string(bytesWritten_) + " bytes kept" : "");
    FailTry(code, transient);
    return;
  }

  watchdog_.stop();
  reply_ = nullptr;
  reply->disconnect(this);
  reply->deleteLater();
  // Renamed over an older file of the name in one step; not synced to disk
  // here, since the installation that follows syncs what it puts in place.
  file_->close();
  bool committed = file_->error() == QFileDevice::NoError &&
                   std::rename(tempPath_.c_str(), finalPath_.c_str()) == 0;
  if (!committed) file_->remove();
  file_.reset();
  if (!committed) {
    failureDetail_ = "cannot put " + finalPath_ + " in place";
    emit transferIdle();
    if (events_ != nullptr) events_->DL_Failed(kCannotWriteLocally, 0);
    return;
  }
  savedFileName_ = finalPath_;
  if (hasher_) {
    platform::Sha256Digest digest = hasher_->Finish();
    savedSha256_.assign(reinterpret_cast<const char*>(digest.data()), digest.size());
  }
  emit transferProgress(1000);
  // Last, because the window may start the next transfer from in here.
  if (events_ != nullptr) events_->DL_Finished(1);
}

void QtDownloader::OnWatchdog() {
  // Silence before the status line is "no response"; after it, a body that
  // broke off.
  if (!reply_) return;
  failureDetail_ = std::string(responseBegun_ ? "the body" : "no response") + " stopped: silent for " +
                   std::to_string((responseBegun_ ? timeouts_.idleMs : timeouts_.connectMs) / 1000) + " s";
  FailTry(responseBegun_ ? kCannotDownload : kNoResponse, true);
}

void QtDownloader::FailTry(std::int32_t code, bool transient, bool restart) {
  StopReply();
  int wait = file_ && !bodyFailed_ && file_->flush()
                 ? retries_.AfterFailure(transient, static_cast<std::uint64_t>(bytesWritten_), restart)
                 : -1;
  if (wait < 0) {
    Drop();
    if (events_ != nullptr) events_->DL_Failed(code, 0);
    return;
  }
  retryTimer_.start(wait);
  if (events_ != nullptr) events_->DL_Retrying(retries_.attempt(), retries_.tries());
}

void QtDownloader::FailLater(std::int32_t code) {
  std::uint64_t generation = generation_;
  QTimer::singleShot(0, this, [this, generation, code] {
    if (generation != generation_) return;
    emit transferIdle();
    if (events_ != nullptr) events_->DL_Failed(code, 0);
  });
}

}  // namespace vmrk
