#include "install/transaction_records.h"

#include <iterator>

namespace vmrk {
namespace {

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '%') out += "%25";
    else if (c == '\t') out += "%09";
    else if (c == '\n') out += "%0A";
    else if (c == '\r') out += "%0D";
    else out += c;
  }
  return out;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      std::string_view code = text.substr(i + 1, 2);
      char c = code == "25" ? '%' : code == "09" ? '\t' : code == "0A" ? '\n' : code == "0D" ? '\r' : 0;
      if (c != 0) {
        out += c;
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// Both texts begin with a header line; a crash may have torn it, or left
// nothing at all.
Status NoHeader(const std::vector<Record>& records, const char* header) {
  if (records.empty()) return Status::Error(Status::Kind::kInvalid, "no whole line");
  return Status::Error(Status::Kind::kInvalid, "line 1 is not the header \"" + std::string(header) + "\"");
}

}  // namespace

const std::string& Record::at(size_t i) const {
  static const std::string kNone;
  return i < fields.size() ? fields[i] : kNone;
}

std::string RecordLine(std::string_view verb, std::initializer_list<std::string> fields) {
  std::string line(verb);
  for (const std::string& field : fields) line += "\t" + Escape(field);
  return line + "\n";
}

std::vector<Record> ParseRecords(std::string_view text) {
  std::vector<Record> records;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
    std::string_view line = text.substr(start, end - start);
    Record record;
    size_t tab = line.find('\t');
    record.verb = std::string(line.substr(0, tab));
    while (tab != std::string_view::npos) {
      size_t next = line.find('\t', tab + 1);
      record.fields.push_back(Unescape(line.substr(tab + 1, next == std::string_view::npos ? next : next - tab - 1)));
      tab = next;
    }
    records.push_back(std::move(record));
  }
  return records;
}

Result<JournalText> ParseJournal(std::string_view text) {
  std::vector<Record> records = ParseRecords(text);
  if (records.empty() || records[0].verb != kJournalHeader) return NoHeader(records, kJournalHeader);
  JournalText journal;
  journal.kind = records[0].at(0);
  journal.records.assign(std::make_move_iterator(records.begin() + 1), std::make_move_iterator(records.end()));
  return journal;
}

Result<PreviousRelease> ParsePreviousRelease(std::string_view text) {
  std::vector<Record> records = ParseRecords(text);
  if (records.empty() || records[0].verb != kPreviousHeader) return NoHeader(records, kPreviousHeader);
  PreviousRelease previous;
  for (const Record& r : records) {
    if (r.verb == "replaced" && !r.at(0).empty() && !r.at(1).empty())
      previous.replaced.push_back({r.at(0), r.at(1), r.at(2) == "1"});
    else if (r.verb == "added" && !r.at(0).empty()) previous.added.push_back(r.at(0));
    else if (r.verb == "made" && !r.at(0).empty()) previous.made.push_back(r.at(0));
    else if (r.verb == "drop" && !r.at(0).empty()) previous.dropped.push_back(r.at(0));
  }
  return previous;
}

std::string PreviousReleaseText(const PreviousRelease& previous) {
  std::string text = std::string(kPreviousHeader) + "\n";
  for (const PreviousRelease::Replaced& r : previous.replaced)
    text += RecordLine("replaced", {r.target, r.backup, r.registers ? "1" : "0"});
  for (const std::string& folder : previous.made) text += RecordLine("made", {folder});
  for (const std::string& target : previous.added) text += RecordLine("added", {target});
  for (const std::string& copy : previous.dropped) text += RecordLine("drop", {copy});
  return text;
}

}  // namespace vmrk
