#include "updatelist/release_objects.h"

#include <optional>

#include "updatelist/hex_base64.h"
#include "updatelist/record_fields.h"

namespace vmrk {
namespace {

constexpr std::string_view kIndexFormatLine = "vmrkxupdate-objects 1";

std::string Content(const ContentId& id) { return ToHex(id.sha256) + " " + std::to_string(id.length); }

bool ParseHash(std::string_view text, std::string* hash) {
  std::optional<std::string> bytes = FromHex(text);
  if (!bytes || bytes->size() != 32) return false;
  *hash = std::move(*bytes);
  return true;
}

bool ParseContent(std::string_view hash, std::string_view length, ContentId* id) {
  return ParseHash(hash, &id->sha256) && ParseRecordNumber(length, &id->length);
}

}  // namespace

std::string CopyObjectPath(const CompressedCopy& copy) { return "objects/" + ToHex(copy.sha256) + ".zst"; }

std::string PackageObjectPath(const DeltaPackage& package) { return "objects/" + ToHex(package.sha256) + ".pack"; }

std::string ListObjectPath(std::string_view sha256) { return "objects/" + ToHex(sha256) + ".list"; }

std::string IndexObjectPath(std::string_view sha256) { return "objects/" + ToHex(sha256) + ".idx"; }

std::string FileObjectPath(std::string_view sha256) { return "objects/" + ToHex(sha256) + ".file"; }

const CompressedCopy* CopyOf(const ObjectIndex& index, const ContentId& file) {
  for (const CompressedCopy& copy : index.copies)
    if (copy.frame.file == file) return &copy;
  return nullptr;
}

bool PublishedAsItself(const ObjectIndex* index, const ContentId& file) {
  const CompressedCopy* copy = index != nullptr ? CopyOf(*index, file) : nullptr;
  return copy == nullptr || copy->frame.length >= file.length;
}

std::uint64_t FrameBound(std::uint64_t length) {
  // ZSTD_COMPRESSBOUND, spelled out so that the reader needs no codec; above
  // 2^62 nothing is a real file.
  if (length > (1ull << 62)) return 0;
  return length + (length >> 8) + (length < (128 << 10) ? ((128 << 10) - length) >> 11 : 0) + 64;
}

std::string WriteObjectIndex(const ObjectIndex& index) {
  std::string text(kIndexFormatLine);
  text += "\nlist " + ToHex(index.listSha256) + " " + std::to_string(index.listLength) + "\n";
  for (const CompressedCopy& copy : index.copies)
    text += "copy " + ToHex(copy.sha256) + " " + std::to_string(copy.frame.length) + " " + Content(copy.frame.file) + "\n";
  for (const DeltaPackage& package : index.packages) {
    text += "package " + ToHex(package.sha256) + " " + std::to_string(package.length) + "\n";
    for (const ObjectFrame& frame : package.frames) {
      if (frame.patch)
        text += "patch " + std::to_string(frame.length) + " " + Content(frame.base) + " " + Content(frame.file) + "\n";
      else
        text += "whole " + std::to_string(frame.length) + " " + Content(frame.file) + "\n";
    }
  }
  return text;
}

Result<ObjectIndex> ParseObjectIndex(std::string_view text) {
  auto refuse = [](std::string why) { return Status::Error(Status::Kind::kInvalid, std::move(why)); };
  if (text.size() > kObjectIndexMaxBytes) return refuse("the object index is larger than 8 MiB");
  if (text.empty() || text.back() != '\n') return refuse("the object index does not end with a line break");
  if (text.find('\r') != std::string_view::npos) return refuse("the object index holds a carriage return");
  ObjectIndex index;
  std::vector<std::string_view> f;
  size_t lineNumber = 0, position = 0;
  // 0 format, 1 list, 2 copies, 3 packages
  int expected = 0;
  std::uint64_t packed = 0;  // frames' bytes so far in the last package
  auto packageClosed = [&] { return index.packages.empty() || packed == index.packages.back().length; };
  while (position < text.size()) {
    size_t end = text.find('\n', position);
    std::string_view line = text.substr(position, end - position);
    position = end + 1;
    ++lineNumber;
    auto bad = [&](const std::string& why) {
      return refuse("object index line " + std::to_string(lineNumber) + ": " + why);
    };
    std::string_view record = line.substr(0, line.find(' '));
    if (expected == 0) {
      if (line != kIndexFormatLine) return bad("not an object index of format 1");
      expected = 1;
    } else if (record == "list" && expected == 1) {
      if (!SplitRecord(line, 3, &f) || !ParseHash(f[1], &index.listSha256) ||
          !ParseRecordNumber(f[2], &index.listLength))
        return bad("bad list record");
      expected = 2;
    } else if (record == "copy" && expected == 2) {
      CompressedCopy copy;
      if (!SplitRecord(line, 5, &f) || !ParseHash(f[1], &copy.sha256) || !ParseRecordNumber(f[2], &copy.frame.length) ||
          !ParseContent(f[3], f[4], &copy.frame.file))
        return bad("bad copy record");
      if (copy.frame.length > FrameBound(copy.frame.file.length)) return bad("a copy larger than its file could need");
      index.copies.push_back(std::move(copy));
    } else if (record == "package" && expected >= 2) {
      if (!packageClosed()) return bad("the package before ends short of its length");
      DeltaPackage package;
      if (!SplitRecord(line, 3, &f) || !ParseHash(f[1], &package.sha256) || !ParseRecordNumber(f[2], &package.length))
        return bad("bad package record");
      index.packages.push_back(std::move(package));
      packed = 0;
      expected = 3;
    } else if ((record == "patch" || record == "whole") && expected == 3) {
      ObjectFrame frame;
      frame.patch = record == "patch";
      const bool read = frame.patch ? SplitRecord(line, 6, &f) && ParseRecordNumber(f[1], &frame.length) &&
                                          ParseContent(f[2], f[3], &frame.base) && ParseContent(f[4], f[5], &frame.file)
                                    : SplitRecord(line, 4, &f) && ParseRecordNumber(f[1], &frame.length) &&
                                          ParseContent(f[2], f[3], &frame.file);
      if (!read) return bad("bad " + std::string(record) + " record");
      if (frame.length == 0 || frame.length > FrameBound(frame.file.length))
        return bad("a frame larger than its file could need");
      DeltaPackage& package = index.packages.back();
      frame.offset = packed;
      if (frame.length > package.length - packed) return bad("a frame past the end of its package");
      packed += frame.length;
      package.frames.push_back(std::move(frame));
    } else {
      return bad("unknown or misplaced record \"" + std::string(record) + "\"");
    }
  }
  const char* unfinished = expected < 2 ? "the object index names no list"
                           : !packageClosed() ? "the last package ends short of its length"
                                              : nullptr;
  if (unfinished != nullptr) return refuse(unfinished);
  return index;
}

}  // namespace vmrk
