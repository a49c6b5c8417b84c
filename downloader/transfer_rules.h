// What a transfer's events mean, decided once for every downloader: the
// address, the answer's headers, the body's bound and end, silence, what a
// transport error is, and when progress is worth reporting. Pure functions
// of what the downloader saw; the downloaders only do the I/O and act on the
// verdicts, so that they fail, resume and report alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "downloader/downloader.h"
#include "downloader/http_address.h"
#include "downloader/resume.h"
#include "platform/status.h"

namespace vmrk {

// Why one try ended early, and whether another may help.
struct TryFailure {
  std::int32_t code = kUnknownFailure;  // the DL_Failed code if no retry follows
  bool transient = false;  // may pass: worth a retry when bytes are kept
  bool restart = false;    // the kept bytes are not the file's start: the next try asks for it whole
  std::string detail;      // for FailureDetail and the log
  int httpStatus = 0;      // for FailureHttpStatus: the answer's status when it was 400 or above
};

// Where a transfer goes and lands: fails (code 99, "unusable address") for
// an address that is not http(s), one without a file name, or no folder. A
// query goes after "?" as given; the file's name is the address's.
struct TransferTarget {
  HttpAddress address;
  std::string finalPath;  // saveFolder + separator + the address's file name
};
Status PlanTransfer(const std::string& sourceUrl, const std::string& saveFolder, char separator,
                    TransferTarget* target, std::string_view query = {});

// The answer's headers as the downloader read them ("" when absent).
struct AnswerHeaders {
  int status = 0;
  std::string contentRange;
  std::optional<std::uint64_t> contentLength;
  std::string contentEncoding;
  std::string etag;
  std::string lastModified;
};

// What to do with a body whose headers just came.
struct HeadersVerdict {
  bool receive = false;  // false: the try ends with `failure`
  TryFailure failure;
  bool whole = true;     // receive: the body is the file from byte 0 (anything kept goes); else it appends
  std::optional<std::uint64_t> total;  // receive: the whole file's length, when known
  std::string validator;               // receive: what the next If-Range carries, "" when none came
};
// An error status, a redirect that was not followed, a part nobody asked
// for, a changed file, an encoding nobody asked for (Accept-Encoding:
// identity) or a file longer than maxBytes all end the try.
HeadersVerdict JudgeHeaders(const ResumeAsk& asked, const AnswerHeaders& headers, std::uint64_t maxBytes);

// A body that would pass maxBytes with `more` bytes after `kept`: it is
// stopped at once, before an endless body fills the disk. nullopt: go on.
std::optional<TryFailure> PastBound(std::uint64_t kept, std::uint64_t more, std::uint64_t maxBytes);

// The body ended cleanly with `kept` bytes of the file: short of a known
// total it is a break worth a retry. nullopt: the file is complete.
std::optional<TryFailure> JudgeBodyEnd(std::uint64_t kept, std::optional<std::uint64_t> total);

// The bytes could not be written or put in place here: not the network's
// fault, and no retry mends it.
TryFailure LocalWriteFailure(std::string detail);

// How long a try may stay silent: until the request is on the wire the
// connect bound, then the idle bound.
int SilenceLimitMs(bool requestSent, const DownloadTimeouts& timeouts);
// A bound as the failure texts say it: "30 s", "1.5 s".
std::string SecondsText(int ms);
// The try went silent for its limit: code 3 before the status line came,
// code 1 after; worth a retry either way.
TryFailure SilenceFailure(bool responseBegun, int limitMs);

// A transport error as every HTTP client knows it.
enum class TransportError {
  kTimedOut,        // the client's own timeout fired
  kConnectionLost,  // reset or closed by the peer, or an answer that is not HTTP
  kCertificate,     // TLS refused the peer: it does not mend itself
  kRedirect,        // too many redirects, or one that may not be followed
  kOther,           // name lookup, refused connection, anything else
};
// Before the status line a lost connection is "no response" (3), after it a
// broken body (1); detail is the client's own words.
TryFailure TransportFailure(TransportError error, bool responseBegun, std::string detail);

// About twenty reports a second, and always the last one.
class ProgressThrottle {
 public:
  static constexpr std::int64_t kIntervalMs = 50;
  // nowMs from any steady clock.
  bool Due(std::int64_t nowMs, bool complete);

 private:
  std::optional<std::int64_t> last_;
};

// Per mille of the whole file kept: -1 while its length is unknown.
int PerMilleOf(std::uint64_t kept, std::optional<std::uint64_t> total);

}  // namespace vmrk
