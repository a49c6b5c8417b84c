#include "downloader/qt/qt_downloader.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QFile>
#include <cstdio>
#include <QUrl>

#include "downloader/http_address.h"
#include "platform/temp_name.h"

namespace vmrk {
namespace {

constexpr int kMaxRedirects = 10;
constexpr qint64 kReadBufferBytes = 1 << 20;
const char kUserAgent[] = "vmrkxupdate/1.0 (online updater)";

std::string Header(QNetworkReply* reply, const char* name) { return reply->rawHeader(name).toStdString(); }

// The system's trust store and checks as they are, TLS 1.2 or later; a
// certificate error fails the transfer (nothing here ever ignores one). A
// connection opened ahead is reused only under the same configuration.
QSslConfiguration TlsConfiguration() {
  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  tls.setProtocol(QSsl::TlsV1_2OrLater);
  tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
  return tls;
}

}  // namespace

QtDownloader::QtDownloader(DownloadTimeouts timeouts, QObject* parent)
    : QObject(parent), timeouts_(timeouts), network_(this) {
  clock_.start();
  watchdog_.setSingleShot(true);
  connect(&watchdog_, &QTimer::timeout, this, &QtDownloader::OnWatchdog);
  retryTimer_.setSingleShot(true);
  connect(&retryTimer_, &QTimer::timeout, this, &QtDownloader::StartTry);
}

QtDownloader::~QtDownloader() { Drop(); }

void QtDownloader::BeginDownload() {
  Drop();
  ++generation_;
  ForgetResults();
  hasher_.reset();
  if (computeSha256_) hasher_ = std::make_unique<platform::Sha256>();
  bytesWritten_ = 0;
  ask_ = {};
  ask_.part = part_;
  retries_ = RetryCount(timeouts_.retryDelaysMs);

  TransferTarget target;
  Status planned = PlanTransfer(sourceUrl_, saveFolder_, '/', &target, query_);
  if (planned.ok())
    url_ = QUrl::fromEncoded(QByteArray::fromStdString(target.address.Url()), QUrl::StrictMode);
  if (!planned.ok() || !url_.isValid()) {
    failureDetail_ = "unusable address";
    FailLater(kUnknownFailure);
    return;
  }
  finalPath_ = target.finalPath;
  // Hidden and unique: a transfer cut off by a crash never leaves a file
  // that could be taken for a complete one.
  tempPath_ = platform::NextTempPathBeside(finalPath_, platform::TempKind::kPartial);
  file_ = std::make_unique<QFile>(QString::fromStdString(tempPath_));
  if (!file_->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    failureDetail_ = "cannot create " + tempPath_ + ": " + file_->errorString().toStdString();
    file_.reset();
    FailLater(kCannotWriteLocally);
    return;
  }
  StartTry();
}

bool QtDownloader::Preconnect(const std::string& address) {
  const QUrl url = QUrl::fromEncoded(QByteArray::fromStdString(address), QUrl::StrictMode);
  if (!url.isValid() || url.host().isEmpty()) return false;
  if (url.scheme() == QLatin1String("https")) {
    network_.connectToHostEncrypted(url.host(), static_cast<quint16>(url.port(443)), TlsConfiguration());
    return true;
  }
  if (url.scheme() != QLatin1String("http")) return false;
  network_.connectToHost(url.host(), static_cast<quint16>(url.port(80)));
  return true;
}

void QtDownloader::StartTry() {
  bodyFailed_ = false;
  requestSent_ = false;
  responseBegun_ = false;
  answered_ = false;
  appendBase_ = 0;
  ask_ = ask_.Next(static_cast<std::uint64_t>(bytesWritten_));

  QNetworkRequest request(url_);
  request.setHeader(QNetworkRequest::UserAgentHeader, kUserAgent);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setMaximumRedirectsAllowed(kMaxRedirects);
  // Files must arrive as they are on the server, never re-encoded.
  request.setRawHeader("Accept-Encoding", "identity");
  if (revalidate_) {
    request.setRawHeader("Cache-Control", "no-cache");
    request.setRawHeader("Pragma", "no-cache");  // caches of HTTP/1.0
  }
  if (const std::string range = ask_.RangeHeader(); !range.empty()) {
    request.setRawHeader("Range", QByteArray::fromStdString(range));
    // The server sends the whole file instead when it has changed since.
    if (!ask_.validator.empty()) request.setRawHeader("If-Range", QByteArray::fromStdString(ask_.validator));
  }
  if (url_.scheme() == QLatin1String("https")) {
    // HTTP/1.1, as WinHTTP speaks it: six connections of their own. Over
    // plain http Qt never tries HTTP/2 (no h2c unless asked), and the
    // attribute left as it is keeps the request on a connection
    // Preconnect opened, which Qt files under the default.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setSslConfiguration(TlsConfiguration());
  }

  reply_ = network_.get(request);
  reply_->setReadBufferSize(kReadBufferBytes);
  connect(reply_, &QNetworkReply::readyRead, this, &QtDownloader::OnReadyRead);
  connect(reply_, &QNetworkReply::downloadProgress, this, &QtDownloader::OnProgress);
  connect(reply_, &QNetworkReply::finished, this, &QtDownloader::OnFinished);
  connect(reply_, &QNetworkReply::requestSent, this, [this] { Rearm(true); });
  connect(reply_, &QNetworkReply::metaDataChanged, this, &QtDownloader::OnMetaData);
  Rearm();
  progress_ = {};
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
}

void QtDownloader::DiscardKept() {
  if (!file_->resize(0) || !file_->seek(0)) bodyFailed_ = true;
  bytesWritten_ = 0;
  appendBase_ = 0;
  if (hasher_) hasher_ = std::make_unique<platform::Sha256>();
}

// Anything heard from the server means the request went out, whether or not
// Qt said so first.
void QtDownloader::Rearm(bool heard) {
  if (heard) requestSent_ = true;
  watchdog_.start(SilenceLimitMs(requestSent_, timeouts_));
}

void QtDownloader::OnMetaData() {
  if (!reply_ || answered_) return;
  Rearm(true);
  responseBegun_ = true;
  AnswerHeaders headers;
  headers.status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  // Redirects are followed and errors judged once the reply ends.
  if (headers.status < 200 || headers.status >= 300) return;
  answered_ = true;
  headers.contentRange = Header(reply_, "Content-Range");
  headers.contentEncoding = Header(reply_, "Content-Encoding");
  headers.etag = Header(reply_, "ETag");
  headers.lastModified = Header(reply_, "Last-Modified");
  QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
  if (length.isValid()) headers.contentLength = length.toULongLong();
  HeadersVerdict verdict = JudgeHeaders(ask_, headers, maxBytes_);
  if (verdict.failure.restart) DiscardKept();
  if (!verdict.receive) {
    FailTry(std::move(verdict.failure));
    return;
  }
  if (verdict.whole && bytesWritten_ > 0) DiscardKept();
  appendBase_ = bytesWritten_;
  ask_.total = verdict.total;
  if (!verdict.validator.empty()) ask_.validator = verdict.validator;
}

void QtDownloader::OnReadyRead() {
  if (!reply_) return;
  Rearm(true);
  if (!answered_) OnMetaData();
  if (!reply_) return;  // refused on the way
  QByteArray chunk = reply_->readAll();
  // Bodies of error pages and of redirects are not the file.
  if (!answered_ || bodyFailed_ || !file_) return;
  if (std::optional<TryFailure> past =
          PastBound(static_cast<std::uint64_t>(bytesWritten_), static_cast<std::uint64_t>(chunk.size()), maxBytes_)) {
    FailTry(std::move(*past));
    return;
  }
  if (file_->write(chunk) != chunk.size()) bodyFailed_ = true;
  if (hasher_) hasher_->Update(std::string_view(chunk.constData(), static_cast<size_t>(chunk.size())));
  bytesWritten_ += chunk.size();
}

void QtDownloader::OnProgress(qint64 received, qint64 total) {
  if (!reply_) return;
  Rearm(true);
  if (total <= 0 || !answered_) return;
  if (!progress_.Due(clock_.elapsed(), received >= total)) return;
  // Of the whole file: a resumed body is its rest.
  const int perMille = PerMilleOf(static_cast<std::uint64_t>(appendBase_ + received),
                                  static_cast<std::uint64_t>(appendBase_ + total));
  if (events_ != nullptr) events_->DL_Progress(static_cast<float>(perMille) / 1000.0f, 0, 0);
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

  std::optional<TryFailure> failure;
  const std::string says = reply->errorString().toStdString();
  if (error == QNetworkReply::TooManyRedirectsError || error == QNetworkReply::InsecureRedirectError) {
    failure = TransportFailure(TransportError::kRedirect, responseBegun_, says);
  } else if (status == 0) {
    // Nothing came back: a peer that hung up on us, a certificate, or
    // anything else (refused, lookup failure).
    failure = TransportFailure(error == QNetworkReply::RemoteHostClosedError  ? TransportError::kConnectionLost
                               : error == QNetworkReply::SslHandshakeFailedError ? TransportError::kCertificate
                                                                                 : TransportError::kOther,
                               false, says);
  } else if (status < 200 || status >= 300) {
    failure = JudgeHeaders(ask_, {status}, maxBytes_).failure;
  } else if (bodyFailed_ || !file_) {
    failure = LocalWriteFailure("HTTP " + std::to_string(status) + ", cannot write the file here");
  } else if (error != QNetworkReply::NoError) {
    failure = TransportFailure(TransportError::kConnectionLost, true, "HTTP " + std::to_string(status) + ", " + says);
  } else {
    failure = JudgeBodyEnd(static_cast<std::uint64_t>(bytesWritten_), ask_.total);
  }
  if (failure) {
    if (bytesWritten_ > 0) failure->detail += ", " + std::to_string(bytesWritten_) + " bytes kept";
    FailTry(std::move(*failure));
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
    failureDetail_ = LocalWriteFailure("cannot put " + finalPath_ + " in place").detail;
    if (events_ != nullptr) events_->DL_Failed(kCannotWriteLocally, 0);
    return;
  }
  savedFileName_ = finalPath_;
  if (hasher_) {
    platform::Sha256Digest digest = hasher_->Finish();
    savedSha256_.assign(reinterpret_cast<const char*>(digest.data()), digest.size());
  }
  // Last, because the window may start the next transfer from in here.
  if (events_ != nullptr) events_->DL_Finished(1);
}

void QtDownloader::OnWatchdog() {
  // Silence before the status line is "no response"; after it, a body that
  // broke off.
  if (!reply_) return;
  FailTry(SilenceFailure(responseBegun_, SilenceLimitMs(requestSent_, timeouts_)));
}

void QtDownloader::FailTry(TryFailure failure) {
  StopReply();
  failureDetail_ = std::move(failure.detail);
  failureHttpStatus_ = failure.httpStatus;
  int wait = file_ && !bodyFailed_ && file_->flush()
                 ? retries_.AfterFailure(failure.transient, static_cast<std::uint64_t>(bytesWritten_), failure.restart)
                 : -1;
  if (wait < 0) {
    Drop();
    if (events_ != nullptr) events_->DL_Failed(failure.code, 0);
    return;
  }
  retryTimer_.start(wait);
  if (events_ != nullptr) events_->DL_Retrying(retries_.attempt(), retries_.tries());
}

void QtDownloader::FailLater(std::int32_t code) {
  std::uint64_t generation = generation_;
  QTimer::singleShot(0, this, [this, generation, code] {
    if (generation != generation_) return;
    if (events_ != nullptr) events_->DL_Failed(code, 0);
  });
}

}  // namespace vmrk
