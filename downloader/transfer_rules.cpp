#include "downloader/transfer_rules.h"

#include <algorithm>

namespace vmrk {
namespace {

TryFailure Failure(std::int32_t code, bool transient, std::string detail) {
  TryFailure failure;
  failure.code = code;
  failure.transient = transient;
  failure.detail = std::move(detail);
  return failure;
}

bool IsIdentity(std::string_view encoding) {
  while (!encoding.empty() && (encoding.front() == ' ' || encoding.front() == '\t')) encoding.remove_prefix(1);
  while (!encoding.empty() && (encoding.back() == ' ' || encoding.back() == '\t')) encoding.remove_suffix(1);
  if (encoding.empty()) return true;
  constexpr std::string_view kIdentity = "identity";
  return std::equal(encoding.begin(), encoding.end(), kIdentity.begin(), kIdentity.end(),
                    [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
}

}  // namespace

Status PlanTransfer(const std::string& sourceUrl, const std::string& saveFolder, char separator,
                    TransferTarget* target, std::string_view query) {
  std::optional<HttpAddress> address = ParseHttpAddress(sourceUrl);
  std::string name = SaveNameFromAddress(sourceUrl);
  if (!address || name.empty() || saveFolder.empty()) return Status::Error("unusable address");
  target->address = std::move(*address);
  if (!query.empty()) target->address.target += "?" + std::string(query);
  target->finalPath = saveFolder + separator + name;
  return Status::Ok();
}

HeadersVerdict JudgeHeaders(const ResumeAsk& asked, const AnswerHeaders& headers, std::uint64_t maxBytes) {
  HeadersVerdict verdict;
  const std::string http = "HTTP " + std::to_string(headers.status);
  if (headers.status >= 400) {
    verdict.failure = Failure(kCannotDownload, IsTransientStatus(headers.status), http);
    verdict.failure.httpStatus = headers.status;
    return verdict;
  }
  if (headers.status >= 300 || headers.status < 200) {
    // One the client did not follow (or no status at all): no file here.
    verdict.failure = Failure(headers.status >= 300 ? kTooManyRedirects : kCannotDownload, false, http);
    return verdict;
  }
  const std::string validator = ResumeValidator(headers.etag, headers.lastModified);
  switch (JudgeAnswer(asked, headers.status, headers.contentRange, validator)) {
    case ResumeAnswer::kRefuse:
      // A part of a file is not the file, nor is the whole file the part.
      verdict.failure = Failure(kCannotDownload, false, http + (asked.part ? ", not the part asked for" : ", a part nobody asked for"));
      return verdict;
    case ResumeAnswer::kRestart:
      verdict.failure =
          Failure(kCannotDownload, true, http + ", not the rest of the kept " + std::to_string(asked.from) + " bytes");
      verdict.failure.restart = true;
      return verdict;
    case ResumeAnswer::kWhole:
      // The server sends it all again (no ranges, or it changed).
      verdict.whole = true;
      verdict.total = asked.part ? std::optional<std::uint64_t>(asked.part->length) : headers.contentLength;
      break;
    case ResumeAnswer::kAppend: {
      verdict.whole = false;
      std::optional<ContentRange> range = ParseContentRange(headers.contentRange);
      verdict.total = asked.part   ? asked.part->length
                      : range->total ? range->total
                      : asked.total  ? asked.total
                                     : range->last + 1;
      break;
    }
  }
  // The file compressed is not the file (Accept-Encoding: identity).
  if (!IsIdentity(headers.contentEncoding)) {
    verdict.failure = Failure(kCannotDownload, false, http + ", encoded");
    return verdict;
  }
  if (verdict.total && *verdict.total > maxBytes) {
    verdict.failure = Failure(kCannotDownload, false, http + ", longer than allowed");
    return verdict;
  }
  verdict.receive = true;
  verdict.validator = validator;
  return verdict;
}

std::optional<TryFailure> PastBound(std::uint64_t kept, std::uint64_t more, std::uint64_t maxBytes) {
  if (kept + more <= maxBytes) return std::nullopt;
  return Failure(kCannotDownload, false, "longer than " + std::to_string(maxBytes) + " bytes");
}

std::optional<TryFailure> JudgeBodyEnd(std::uint64_t kept, std::optional<std::uint64_t> total) {
  if (!total || kept >= *total) return std::nullopt;
  return Failure(kCannotDownload, true,
                 "body shorter than announced, " + std::to_string(kept) + " of " + std::to_string(*total) + " bytes");
}

TryFailure LocalWriteFailure(std::string detail) { return Failure(kCannotWriteLocally, false, std::move(detail)); }

int SilenceLimitMs(bool requestSent, const DownloadTimeouts& timeouts) {
  return requestSent ? timeouts.idleMs : timeouts.connectMs;
}

std::string SecondsText(int ms) {
  // Tenths where the bound has them: the text says what was waited.
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 >= 100) text += "." + std::to_string(ms % 1000 / 100);
  return text + " s";
}

TryFailure SilenceFailure(bool responseBegun, int limitMs) {
  return Failure(responseBegun ? kCannotDownload : kNoResponse, true,
                 std::string(responseBegun ? "the body" : "no response") + " stopped: silent for " +
                     SecondsText(limitMs));
}

TryFailure TransportFailure(TransportError error, bool responseBegun, std::string detail) {
  const std::int32_t lost = responseBegun ? kCannotDownload : kNoResponse;
  switch (error) {
    case TransportError::kTimedOut: return Failure(lost, true, std::move(detail));
    case TransportError::kConnectionLost: return Failure(lost, true, std::move(detail));
    case TransportError::kCertificate: return Failure(kUnknownFailure, false, std::move(detail));
    case TransportError::kRedirect: return Failure(kTooManyRedirects, false, std::move(detail));
    case TransportError::kOther: break;
  }
  return Failure(responseBegun ? kCannotDownload : kUnknownFailure, true, std::move(detail));
}

bool ProgressThrottle::Due(std::int64_t nowMs, bool complete) {
  if (!complete && last_ && nowMs - *last_ < kIntervalMs) return false;
  last_ = nowMs;
  return true;
}

int PerMilleOf(std::uint64_t kept, std::optional<std::uint64_t> total) {
  if (!total || *total == 0) return kept == 0 ? -1 : 0;
  return static_cast<int>(std::min(kept, *total) * 1000 / *total);
}

}  // namespace vmrk
