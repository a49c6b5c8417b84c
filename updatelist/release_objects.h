// The release's objects (list.txt.objects beside the list): compressed
// copies of its files and delta packages from earlier releases, each named
// by the SHA-256 of its own bytes so that its name never changes meaning.
// docs/release-manifest.md defines the format; this is its one reader and
// writer.
//
// The index is not signed and needs no signature: it names the exact list it
// belongs to, every object it names is bounded before a byte of it is
// fetched, and nothing decoded from an object counts until it has the SHA-256
// and length of the signed manifest. A forged index can cost bytes, never
// the installation; an updater that cannot read it fetches plain files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace vmrk {

inline constexpr size_t kObjectIndexMaxBytes = 8 << 20;

// A file's content as the manifest names it.
struct ContentId {
  std::string sha256;  // 32 bytes
  std::uint64_t length = 0;
  friend bool operator==(const ContentId&, const ContentId&) = default;
};

// One zstd frame that decodes to `file`: on its own (a compressed copy), or
// with `base` as its prefix (a patch made by zstd's patch-from mode).
struct ObjectFrame {
  std::uint64_t offset = 0;  // within its package; 0 for a copy
  std::uint64_t length = 0;  // bytes of the frame
  bool patch = false;
  ContentId base;  // patch only
  ContentId file;
};

// objects/<hex of sha256>.zst: one frame, a compressed copy.
struct CompressedCopy {
  std::string sha256;  // of the object's own bytes
  ObjectFrame frame;
};

// objects/<hex of sha256>.pack: frames back to back, in the index's order,
// from offset 0 to the package's length with no gap.
struct DeltaPackage {
  std::string sha256;
  std::uint64_t length = 0;
  std::vector<ObjectFrame> frames;
};

struct ObjectIndex {
  std::string listSha256;  // of list.txt's exact bytes
  std::uint64_t listLength = 0;
  std::vector<CompressedCopy> copies;
  std::vector<DeltaPackage> packages;
};

// Where an object lives below the server's vmrkxupdate/ folder.
inline constexpr std::string_view kObjectsFolder = "objects/";
std::string CopyObjectPath(const CompressedCopy& copy);     // "objects/<hex>.zst"
std::string PackageObjectPath(const DeltaPackage& package);  // "objects/<hex>.pack"
// What a release manifest of format 2 names by its SHA-256 (32 bytes): the
// list, the object index, and a release file as it is.
std::string ListObjectPath(std::string_view sha256);   // "objects/<hex>.list"
std::string IndexObjectPath(std::string_view sha256);  // "objects/<hex>.idx"
std::string FileObjectPath(std::string_view sha256);   // "objects/<hex>.file"

// The compressed copy of a content, if the index has one.
const CompressedCopy* CopyOf(const ObjectIndex& index, const ContentId& file);
// A release of format 2 publishes a file as itself (FileObjectPath) unless
// its compressed copy is smaller, which then serves in its place: the rule
// the maintainer's tool writes by and the updater fetches by. No index: as
// itself.
bool PublishedAsItself(const ObjectIndex* index, const ContentId& file);

// The most a frame may take for a file of `length` bytes: zstd's bound for
// input that does not compress at all. An index claiming more is refused.
std::uint64_t FrameBound(std::uint64_t length);

std::string WriteObjectIndex(const ObjectIndex& index);

// Strict, like the manifest: an unknown or misplaced record, a package whose
// frames do not tile it, a frame above FrameBound, bad hex or a missing
// final line break refuse the whole index, with a failure of kind kInvalid
// that names the line; nothing of a refused index is given.
Result<ObjectIndex> ParseObjectIndex(std::string_view text);

}  // namespace vmrk
