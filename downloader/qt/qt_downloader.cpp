#include "downloader/qt/qt_downloader.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QCoreApplication>
#include <QFile>
#include <cstdio>
#include <QUrl>

#include "downloader/http_address.h"

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
  bodyFailed_ = false;
  responseBegun_ = false;
  bytesWritten_ = 0;

  std::optional<HttpAddress> address = ParseHttpAddress(sourceUrl_);
  std::string name = SaveNameFromAddress(sourceUrl_);
  if (!address || name.empty() || saveFolder_.empty()) {
    failureDetail_ = "unusable address";
    FailLater(kUnknownFailure);
    return;
  }
  finalPath_ = saveFolder_ + "/" + name;
  // Hidden and unique: a transfer cut off by a crash never leaves a file
  // that could be taken for a complete one.
  tempPath_ = saveFolder_ + "/." + name + ".part-" + std::to_string(QCoreApplication::applicationPid()) + "-" +
              std::to_string(generation_);
  file_ = std::make_unique<QFile>(QString::fromStdString(tempPath_));
  if (!file_->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    failureDetail_ = "cannot create " + tempPath_ + ": " + file_->errorString().toStdString();
    file_.reset();
    FailLater(kCannotWriteLocally);
    return;
  }

  QUrl url = QUrl::fromEncoded(QByteArray::fromStdString(address->Url()), QUrl::StrictMode);
  if (!url.isValid()) {
    file_.reset();
    FailLater(kUnknownFailure);
    return;
  }
  QNetworkRequest request(url);
  request.setHeader(QNetworkRequest::UserAgentHeader, kUserAgent);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setMaximumRedirectsAllowed(kMaxRedirects);
  // Files must arrive as they are on the server, never re-encoded.
  request.setRawHeader("Accept-Encoding", "identity");
  request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
  if (address->secure) {
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
  emit transferProgress(-1);
}

void QtDownloader::AbortDownload() {
  // A pending FailLater of the old transfer must not reach the window either.
  ++generation_;
  Drop();
}

void QtDownloader::Drop() {
  watchdog_.stop();
  if (reply_) {
    QNetworkReply* reply = reply_;
    reply_ = nullptr;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
  }
  if (file_) {
    file_->close();
    file_->remove();
    file_.reset();
  }
  emit transferIdle();
}

void QtDownloader::Rearm(int ms) { watchdog_.start(ms); }

void QtDownloader::OnMetaData() {
  if (!reply_) return;
  Rearm(timeouts_.idleMs);
  responseBegun_ = true;
  int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  if (status < 200 || status >= 300) return;  // redirects and errors end in OnFinished
  // A part of a file, or the file compressed, is not the file: this request
  // asked for neither (no Range, Accept-Encoding: identity).
  QByteArray encoding = reply_->rawHeader("Content-Encoding").trimmed().toLower();
  bool announcedTooLong = reply_->header(QNetworkRequest::ContentLengthHeader).isValid() &&
                          reply_->header(QNetworkRequest::ContentLengthHeader).toULongLong() > maxBytes_;
  if (status == 206 || (!encoding.isEmpty() && encoding != "identity") || announcedTooLong) {
    failureDetail_ = "HTTP " + std::to_string(status) +
                     (announcedTooLong ? ", longer than allowed" : status == 206 ? ", a part" : ", encoded");
    Fail(kCannotDownload);
  }
}

void QtDownloader::OnReadyRead() {
  if (!reply_) return;
  Rearm(timeouts_.idleMs);
  QByteArray chunk = reply_->readAll();
  int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  // Bodies of error pages and of redirects are not the file.
  if (status < 200 || status >= 300 || bodyFailed_ || !file_) return;
  // Stopped the moment it passes its bound: an endless body must not fill
  // the disk before a length check could throw it out.
  if (static_cast<std::uint64_t>(bytesWritten_) + static_cast<std::uint64_t>(chunk.size()) > maxBytes_) {
    failureDetail_ = "longer than " + std::to_string(maxBytes_) + " bytes";
    Fail(kCannotDownload);
    return;
  }
  if (file_->write(chunk) != chunk.size()) bodyFailed_ = true;
  if (hasher_) hasher_->Update(std::string_view(chunk.constData(), static_cast<size_t>(chunk.size())));
  bytesWritten_ += chunk.size();
}

void QtDownloader::OnProgress(qint64 received, qint64 total) {
  if (!reply_) return;
  Rearm(timeouts_.idleMs);
  if (total <= 0) return;
  bool done = received >= total;
  if (!done && sinceProgress_.isValid() && sinceProgress_.elapsed() < kProgressIntervalMs) return;
  sinceProgress_.start();
  double fraction = static_cast<double>(received) / static_cast<double>(total);
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
  qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).isValid()
                         ? reply->header(QNetworkRequest::ContentLengthHeader).toLongLong()
                         : -1;

  std::int32_t code = 0;
  if (error == QNetworkReply::TooManyRedirectsError || error == QNetworkReply::InsecureRedirectError) {
    code = kTooManyRedirects;
  } else if (status >= 400) {
    code = kCannotDownload;
  } else if (status == 0) {
    // Nothing came back. A peer that hung up on us is "no bytes"; everything
    // else (refused, lookup failure, our own timeout) is unknown.
    code = error == QNetworkReply::RemoteHostClosedError ? kNoResponse : kUnknownFailure;
  } else if (status >= 300) {
    code = kTooManyRedirects;  // a redirect that could not be followed
  } else if (error != QNetworkReply::NoError) {
    code = kCannotDownload;  // the body broke off
  } else if (announced >= 0 && bytesWritten_ < announced) {
    code = kCannotDownload;
  } else if (bodyFailed_ || !file_) {
    code = kCannotWriteLocally;
  }
  if (code != 0) {
    failureDetail_ = (status != 0 ? "HTTP " + std::to_string(status) + ", " : std::string()) +
                     (error != QNetworkReply::NoError ? reply->errorString().toStdString()
                      : bodyFailed_                   ? "cannot write the file here"
                                                      : "body shorter than announced");
    Fail(code);
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
  Fail(responseBegun_ ? kCannotDownload : kNoResponse);
}

void QtDownloader::Fail(std::int32_t code) {
  Drop();
  if (events_ != nullptr) events_->DL_Failed(code, 0);
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
