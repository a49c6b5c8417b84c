// What a transfer keeps between tries when the connection drops, and how it
// judges the answer to a resumed request. Shared by every downloader so that
// they resume, restart and give up alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vmrk {

// A try that brought at least this much beyond anything kept before counts
// as progress: the tries left start over. Less does not, so a server that
// drips a few bytes and hangs up cannot hold a transfer for ever.
inline constexpr std::uint64_t kResumeProgressBytes = 64 * 1024;

struct ContentRange {
  std::uint64_t first = 0, last = 0;
  std::optional<std::uint64_t> total;  // "*" on the wire
};
// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*"); nullopt for anything else,
// a range running backwards or past its total among them.
std::optional<ContentRange> ParseContentRange(std::string_view value);

// What If-Range may carry: a strong entity tag, else the Last-Modified date,
// else "" (a weak tag never matches in If-Range, so it is no use there).
std::string ResumeValidator(std::string_view etag, std::string_view lastModified);

// A part of a file: its first byte and its length (at least 1).
struct BytePart {
  std::uint64_t first = 0, length = 0;
};

// What one try asked for: from = 0 asks for the whole file, or the whole
// part. With a part, "the file" below is that part: from, total and the kept
// bytes count within it.
struct ResumeAsk {
  std::uint64_t from = 0;
  std::string validator;               // of the kept bytes, "" when unknown
  std::optional<std::uint64_t> total;  // the whole file's length, when known
  std::optional<BytePart> part;

  // "bytes=FROM-", "" when from = 0; with a part always
  // "bytes=FIRST+FROM-FIRST+LENGTH-1".
  std::string RangeHeader() const;
  // What the next try asks for when `kept` bytes are kept: the same part,
  // the same validator and total while anything is kept.
  ResumeAsk Next(std::uint64_t kept) const;
};

enum class ResumeAnswer {
  kWhole,    // the body is the file from byte 0: anything kept is dropped
  kAppend,   // the body continues the kept bytes
  kRestart,  // not the continuation asked for: drop the kept bytes, ask again
  kRefuse,   // a part of the file nobody asked for: the transfer fails
};
// For a 2xx answer. Restarts when a 206 starts anywhere but where asked,
// or its validator or total shows that the file changed since the kept
// bytes came. A part is only ever a 206 of exactly the bytes asked for: a
// 200 (a server that does not serve ranges) or another end refuses it.
ResumeAnswer JudgeAnswer(const ResumeAsk& asked, int status, std::string_view contentRange,
                         std::string_view validator);

// The tries of one transfer, counted on the window's thread.
class RetryCount {
 public:
  explicit RetryCount(std::vector<int> delaysMs = {}) : delaysMs_(std::move(delaysMs)) {}
  // A try ended early with `kept` bytes staged. Returns the wait before the
  // next try in milliseconds, or -1: give up. Only a transient failure is
  // tried again, and only with bytes kept, or when the kept bytes were
  // dropped for a restart.
  int AfterFailure(bool transient, std::uint64_t kept, bool restart);
  int attempt() const { return attempt_; }  // 1 for the first retry
  int tries() const { return static_cast<int>(delaysMs_.size()); }

 private:
  std::vector<int> delaysMs_;
  int attempt_ = 0;
  std::uint64_t mostKept_ = 0;
};

// HTTP statuses worth asking again for after a while.
bool IsTransientStatus(int status);

}  // namespace vmrk
