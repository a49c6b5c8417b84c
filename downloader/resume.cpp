#include "downloader/resume.h"

#include <charconv>

namespace vmrk {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool Number(std::string_view text, std::uint64_t* value) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<ContentRange> ParseContentRange(std::string_view value) {
  value = Trim(value);
  constexpr std::string_view kUnit = "bytes ";
  if (value.size() <= kUnit.size()) return std::nullopt;
  for (size_t i = 0; i < kUnit.size() - 1; ++i)
    if ((value[i] | 0x20) != kUnit[i]) return std::nullopt;
  if (value[kUnit.size() - 1] != ' ') return std::nullopt;
  value = Trim(value.substr(kUnit.size()));
  size_t dash = value.find('-');
  size_t slash = value.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) return std::nullopt;
  ContentRange range;
  if (!Number(value.substr(0, dash), &range.first) || !Number(value.substr(dash + 1, slash - dash - 1), &range.last))
    return std::nullopt;
  std::string_view total = value.substr(slash + 1);
  if (total != "*") {
    std::uint64_t whole = 0;
    if (!Number(total, &whole) || range.last >= whole) return std::nullopt;
    range.total = whole;
  }
  if (range.last < range.first) return std::nullopt;
  return range;
}

std::string ResumeValidator(std::string_view etag, std::string_view lastModified) {
  etag = Trim(etag);
  if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') return std::string(etag);
  return std::string(Trim(lastModified));
}

std::string ResumeAsk::RangeHeader() const {
  if (part) return "bytes=" + std::to_string(part->first + from) + "-" + std::to_string(part->first + part->length - 1);
  return from == 0 ? "" : "bytes=" + std::to_string(from) + "-";
}

ResumeAsk ResumeAsk::Next(std::uint64_t kept) const {
  ResumeAsk next;
  if (kept > 0) next = *this;
  next.from = kept;
  next.part = part;
  return next;
}

ResumeAnswer JudgeAnswer(const ResumeAsk& asked, int status, std::string_view contentRange,
                         std::string_view validator) {
  if (asked.part) {
    std::optional<ContentRange> range = ParseContentRange(contentRange);
    if (status != 206 || !range || range->last != asked.part->first + asked.part->length - 1)
      return ResumeAnswer::kRefuse;
    if (range->first != asked.part->first + asked.from) return ResumeAnswer::kRestart;
    if (!validator.empty() && !asked.validator.empty() && validator != asked.validator) return ResumeAnswer::kRestart;
    return asked.from == 0 ? ResumeAnswer::kWhole : ResumeAnswer::kAppend;
  }
  if (status != 206) return ResumeAnswer::kWhole;  // the server ignored the range, or the file changed
  if (asked.from == 0) return ResumeAnswer::kRefuse;
  std::optional<ContentRange> range = ParseContentRange(contentRange);
  if (!range || range->first != asked.from) return ResumeAnswer::kRestart;
  // A server that ignores If-Range still shows a change in what it sends.
  if (!validator.empty() && !asked.validator.empty() && validator != asked.validator) return ResumeAnswer::kRestart;
  if (range->total && asked.total && *range->total != *asked.total) return ResumeAnswer::kRestart;
  return ResumeAnswer::kAppend;
}

int RetryCount::AfterFailure(bool transient, std::uint64_t kept, bool restart) {
  if (!transient || (kept == 0 && !restart)) return -1;
  if (kept >= mostKept_ + kResumeProgressBytes) attempt_ = 0;
  if (kept > mostKept_) mostKept_ = kept;
  if (attempt_ >= tries()) return -1;
  return delaysMs_[static_cast<size_t>(attempt_++)];
}

bool IsTransientStatus(int status) { return status == 408 || status == 429 || (status >= 500 && status != 501); }

}  // namespace vmrk
