// The release objects as an updater meets them: an index it reads strictly,
// frames it decodes within bounds whatever they claim, and a plan that
// takes the cheapest source each installed file allows.
#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "install/fetch_plan.h"
#include "platform/crypto.h"
#include "updatelist/release_objects.h"
#include "updatelist/zstd_frames.h"

namespace vmrk {
namespace {

ContentId Id(std::string_view bytes) { return {platform::Sha256Bytes(bytes), bytes.size()}; }

// Text that compresses like a program's resources do, and a next version
// of it with a few edits.
std::string Version(int edits) {
  std::string text;
  for (int i = 0; i < 4000; ++i) text += "entry " + std::to_string(i * 7919 % 10007) + " = value of line\n";
  for (int e = 0; e < edits; ++e) text.replace(static_cast<size_t>(e) * 9001 % text.size(), 4, "EDIT");
  return text;
}

ObjectIndex SampleIndex() {
  ObjectIndex index;
  index.listSha256 = platform::Sha256Bytes("list");
  index.listLength = 4;
  index.copies.push_back({platform::Sha256Bytes("c1"), {0, 50, false, {}, Id("file one")}});
  DeltaPackage package{platform::Sha256Bytes("p"), 130, {}};
  package.frames.push_back({0, 30, true, Id("old one"), Id("file one")});
  package.frames.push_back({30, 100, false, {}, Id("a new file")});
  index.packages.push_back(package);
  return index;
}

TEST(ObjectIndex, WrittenIndexReadsBackAndEveryFlawRefusesTheWhole) {
  const std::string good = WriteObjectIndex(SampleIndex());
  Result<ObjectIndex> read = ParseObjectIndex(good);
  ASSERT_TRUE(read.ok()) << read.status().message();
  EXPECT_EQ(WriteObjectIndex(*read), good);
  ASSERT_EQ(read->packages.size(), 1u);
  EXPECT_EQ(read->packages[0].frames[1].offset, 30u);
  EXPECT_EQ(CopyObjectPath(read->copies[0]).substr(0, 8), "objects/");

  struct Flaw {
    const char* name;
    std::function<std::string(std::string)> edit;
  };
  auto replace = [](std::string from, std::string to) {
    return [=](std::string text) {
      size_t at = text.find(from);
      EXPECT_NE(at, std::string::npos) << from;
      return text.replace(at, from.size(), to);
    };
  };
  const Flaw flaws[] = {
      {"another format", replace("vmrkxupdate-objects 1", "vmrkxupdate-objects 2")},
      {"an unknown record", [](std::string t) { return t + "delta 1 2\n"; }},
      {"no final line break", [](std::string t) { return t.substr(0, t.size() - 1); }},
      {"a carriage return", replace("\npackage", "\r\npackage")},
      {"a frame past its package", replace("whole 100", "whole 101")},
      {"a package shorter than its frames", replace(" 130\n", " 129\n")},
      {"a package longer than its frames", replace(" 130\n", " 131\n")},
      {"a copy larger than its file could need", replace(" 50 ", " 99999 ")},
      {"a copy after a package", [](std::string t) {
         size_t copy = t.find("copy ");
         std::string line = t.substr(copy, t.find('\n', copy) - copy + 1);
         t.erase(copy, line.size());
         return t + line;
       }},
      {"a number with a leading zero", replace(" 130\n", " 0130\n")},
      {"upper-case hex", [](std::string t) {
         size_t at = t.find("list ") + 5;
         for (size_t i = at; i < at + 64; ++i) t[i] = static_cast<char>(std::toupper(t[i]));
         return t;
       }},
      {"no list record", [](std::string) { return std::string("vmrkxupdate-objects 1\n"); }},
  };
  for (const Flaw& flaw : flaws) {
    const std::string text = flaw.edit(good);
    Result<ObjectIndex> index = ParseObjectIndex(text);
    EXPECT_FALSE(index.ok()) << flaw.name;
    EXPECT_EQ(index.status().kind(), Status::Kind::kInvalid) << flaw.name << ": " << index.status().message();
  }
}

// A frame made without its length in the header, as a hostile server would
// make one: only the decoder's own bound stops it.
std::string FrameWithoutLength(std::string_view content) {
  ZSTD_CCtx* c = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
  std::string frame(ZSTD_compressBound(content.size()), '\0');
  ZSTD_inBuffer in{content.data(), content.size(), 0};
  ZSTD_outBuffer out{frame.data(), frame.size(), 0};
  while (ZSTD_compressStream2(c, &out, &in, ZSTD_e_end) != 0) {
  }
  ZSTD_freeCCtx(c);
  frame.resize(out.pos);
  return frame;
}

TEST(ZstdFrames, DecodingGivesTheFileOrARefusalNeverMore) {
  const std::string old = Version(0), current = Version(12);
  Result<std::string> copied = EncodeFrame(current, {}, 19), patched = EncodeFrame(current, old, 19);
  ASSERT_TRUE(copied.ok() && patched.ok());
  const std::string copy = *copied, patch = *patched;
  EXPECT_LT(patch.size() * 20, copy.size()) << "a patch of a few edits is far smaller than the copy";

  Result<std::string> bombed = EncodeFrame(std::string(64 << 20, '\0'), {}, 3);
  ASSERT_TRUE(bombed.ok());
  const std::string bomb = *bombed;
  const std::string bombWithoutLength = FrameWithoutLength(std::string(64 << 20, '\0'));
  std::string truncated = copy.substr(0, copy.size() / 2);
  std::string corrupt = copy;
  corrupt[corrupt.size() / 2] ^= 0x55;
  // The magic number of zstd 0.7's frames, which libzstd may still decode.
  std::string legacy = copy;
  legacy[0] = 0x27;

  struct Case {
    const char* name;
    std::string frame, base;
    std::uint64_t maxLength;
    bool decodes;
  };
  const Case cases[] = {
      {"a copy", copy, "", current.size(), true},
      {"a patch on its base", patch, old, current.size(), true},
      {"a patch on another base", patch, std::string(old.size(), 'x'), current.size(), false},
      {"a patch without its base", patch, "", current.size(), false},
      {"a copy cut in half", truncated, "", current.size(), false},
      {"a copy with a flipped byte", corrupt, "", current.size(), false},
      {"bytes after the frame", copy + "x", "", current.size(), false},
      {"a bomb that says so", bomb, "", 1 << 20, false},
      {"a bomb that does not say so", bombWithoutLength, "", 1 << 20, false},
      {"a file longer than the manifest's", copy, "", current.size() - 1, false},
      {"not zstd at all", "not a frame", "", 100, false},
      {"a frame of a format before 1.0", legacy, "", current.size(), false},
      {"a header claiming 64 MiB and no block", bomb.substr(0, 13), "", 64 << 20, false},
  };
  for (const Case& c : cases) {
    Result<std::string> decoded = DecodeFrame(c.frame, c.base, c.maxLength);
    EXPECT_EQ(decoded.ok(), c.decodes) << c.name << ": " << decoded.status().message();
    if (c.decodes) EXPECT_EQ(*decoded, current) << c.name;
    else EXPECT_EQ(decoded.status().kind(), Status::Kind::kInvalid) << c.name;
    // As it streams: the same verdict whatever the pieces (the header split
    // across them too), into a buffer of the whole file or a piece at a time.
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}}) {
      for (bool whole : {false, true}) {
        std::string into = whole ? std::string(c.maxLength, '\0') : std::string();
        std::unique_ptr<FrameDecoder> decoder =
            whole ? std::make_unique<FrameDecoder>(c.base, c.maxLength, into.data())
                  : std::make_unique<FrameDecoder>(c.base, c.maxLength, [&into](std::string_view bytes) {
                      into.append(bytes);
                      return Status::Ok();
                    });
        Status fed = Status::Ok();
        for (size_t at = 0; at < c.frame.size() && fed.ok(); at += piece)
          fed = decoder->Feed(std::string_view(c.frame).substr(at, piece));
        Result<std::uint64_t> ended = fed.ok() ? decoder->Finish() : Result<std::uint64_t>(fed);
        const std::string how = std::string(c.name) + (whole ? ", into the whole" : ", in pieces") + " of " +
                                std::to_string(piece) + ": " + ended.status().message();
        ASSERT_EQ(ended.ok(), c.decodes) << how;
        if (!c.decodes) {
          EXPECT_EQ(ended.status().kind(), Status::Kind::kInvalid) << how;
          continue;
        }
        EXPECT_EQ(*ended, current.size()) << how;
        EXPECT_EQ(into.substr(0, *ended), current) << how;
      }
    }
  }
}

// Random bytes edited in three pages: what a patch of any length must find
// is the rest, wherever the encoder's tables would not reach.
TEST(ZstdFrames, APatchOfALongFileFindsItsBase) {
  struct Size {
    std::uint64_t mib;
    int level;
  };
  for (Size size : {Size{1, 19}, Size{64, 19}, Size{256, 19}}) {
    std::string base(size.mib << 20, '\0');
    std::uint64_t state = size.mib;
    for (size_t i = 0; i + 8 <= base.size(); i += 8) {
      state = state * 6364136223846793005u + 1442695040888963407u;
      std::memcpy(&base[i], &state, 8);
    }
    std::string file = base;
    for (int k = 1; k <= 3; ++k)
      for (size_t i = 0; i < 4096; ++i) file[base.size() / 4 * k + i] ^= 0x5a;
    Result<std::string> patch = EncodeFrame(file, base, size.level);
    ASSERT_TRUE(patch.ok()) << patch.status().message();
    EXPECT_LT(patch->size(), 64u << 10) << size.mib << " MiB: three changed pages make a patch of a few pages";
    std::string decoded(file.size(), '\0');
    FrameDecoder decoder(base, file.size(), decoded.data());
    ASSERT_TRUE(decoder.Feed(*patch).ok()) << size.mib;
    Result<std::uint64_t> ended = decoder.Finish();
    ASSERT_TRUE(ended.ok()) << size.mib << " MiB: " << ended.status().message();
    EXPECT_TRUE(decoded == file) << size.mib;
  }
  struct Limit {
    std::uint64_t base, file;
    bool patched;
  };
  const Limit limits[] = {{kLongestPatchedFile, kLongestPatchedFile, true},
                          {kLongestPatchedFile + 1, 1, false},
                          {1, kLongestPatchedFile + 1, false},
                          {0, 0, true}};
  for (const Limit& l : limits) {
    EXPECT_EQ(PatchAllowed(l.base, l.file), l.patched) << l.base << " " << l.file;
    // Every patch the tool may make stays within the window a 32-bit
    // updater decodes.
    if (l.patched) EXPECT_LE(PatchWindowLog(l.base, l.file), kFrameWindowLogMax);
  }
}

TEST(FetchPlan, EachRowTakesTheCheapestSourceItsInstalledFileAllows) {
  // Package 0 patches from release A, package 1 from release B; frames of B
  // lie far apart so that only some are worth a request each.
  const ContentId a1 = Id("a1"), a2 = Id("a2"), b1 = Id("b1"), b2 = Id("b2"), b3 = Id("b3");
  const ContentId n1 = Id("n1"), n2 = Id("n2"), n3 = Id("n3"), fresh = Id("fresh");
  const ContentId big = Id("a file that its copy makes smaller");
  ObjectIndex index;
  index.copies = {{"", {0, 10, false, {}, n1}},
                  {"", {0, 10, false, {}, n2}},
                  {"", {0, 10, false, {}, fresh}},
                  {"", {0, 10, false, {}, big}}};
  DeltaPackage fromA{"", 0, {}};
  for (auto [base, file] : {std::pair{a1, n1}, std::pair{a2, n2}}) fromA.frames.push_back({0, 100, true, base, file});
  fromA.frames.push_back({0, 100, false, {}, fresh});
  DeltaPackage fromB{"", 0, {}};
  for (auto [base, file] : {std::pair{b1, n1}, std::pair{b2, n2}, std::pair{b3, n3}}) {
    fromB.frames.push_back({0, 100, true, base, file});
    fromB.frames.push_back({0, 200 << 10, false, {}, Id("filler")});  // not wanted
  }
  for (DeltaPackage* p : {&fromA, &fromB}) {
    for (ObjectFrame& f : p->frames) {
      f.offset = p->length;
      p->length += f.length;
    }
  }
  index.packages = {fromA, fromB};

  using S = Source;
  struct Case {
    const char* name;
    std::vector<WantedFile> wanted;
    std::vector<size_t> packages;
    std::vector<std::vector<Source>> chains;
    bool whole;
    size_t ranges;
    // By release.sig: each file as itself, or as its copy where that is
    // smaller (the copies of the two-byte n1 and n2 are not).
    bool contentNamed = false;
  };
  const Case cases[] = {
      {"at release A: the whole package",
       {{0, n1, a1}, {1, n2, a2}, {2, fresh, std::nullopt}},
       {0},
       {{S::kPackage, S::kCopy, S::kPlain}, {S::kPackage, S::kCopy, S::kPlain}, {S::kPackage, S::kCopy, S::kPlain}},
       true,
       1},
      {"at release B, one file edited by hand",
       {{0, n1, b1}, {1, n2, Id("edited")}, {2, n3, b3}},
       {1},
       {{S::kPackage, S::kCopy, S::kPlain}, {S::kCopy, S::kPlain}, {S::kPackage, S::kPlain}},
       false,
       2},
      {"at no known release", {{0, n1, Id("x")}, {1, n3, std::nullopt}}, {}, {{S::kCopy, S::kPlain}, {S::kPlain}}, false, 0},
      {"mostly at B, one at A: B wins, A's falls to its copy",
       {{0, n1, a1}, {1, n2, b2}, {2, n3, b3}},
       {1},
       {{S::kCopy, S::kPlain}, {S::kPackage, S::kCopy, S::kPlain}, {S::kPackage, S::kPlain}},
       false,
       2},
      {"by content at release A",
       {{0, n1, a1}, {1, big, std::nullopt}, {2, n3, std::nullopt}},
       {0},
       {{S::kPackage, S::kItself, S::kPlain}, {S::kCopy, S::kPlain}, {S::kItself, S::kPlain}},
       false,
       1,
       true},
  };
  for (const Case& c : cases) {
    FetchPlan plan = PlanFetch(c.wanted, index, c.contentNamed);
    EXPECT_EQ(plan.packages, c.packages) << c.name;
    ASSERT_EQ(plan.rows.size(), c.chains.size()) << c.name;
    for (size_t r = 0; r < c.chains.size(); ++r) EXPECT_EQ(plan.rows[r].chain, c.chains[r]) << c.name << " row " << r;
    EXPECT_EQ(plan.ranges.size() == 1 && plan.ranges[0].whole, c.whole) << c.name;
    EXPECT_EQ(plan.ranges.size(), c.ranges) << c.name;
    for (const RowPlan& row : plan.rows) {
      if (row.chain.front() != Source::kPackage) continue;
      const ObjectFrame& frame = index.packages[plan.packages[row.pack]].frames[row.frame];
      EXPECT_EQ(frame.file, c.wanted[row.row].target) << c.name;
      EXPECT_TRUE(std::any_of(plan.ranges.begin(), plan.ranges.end(), [&](const PackageRange& r) {
        return frame.offset >= r.first && frame.offset + frame.length <= r.first + r.length;
      })) << c.name << ": row " << row.row << "'s frame lies in a range fetched";
    }
  }
  // A release by content without objects: each file as itself, then plain.
  FetchPlan bare = PlanFetch({{0, n1, std::nullopt}}, ObjectIndex{}, true);
  ASSERT_EQ(bare.rows.size(), 1u);
  EXPECT_EQ(bare.rows[0].chain, (std::vector<Source>{S::kItself, S::kPlain}));
}

TEST(FetchPlan, NeverMoreRangesThanTransfersAndNearFramesShareOne) {
  ObjectIndex index;
  DeltaPackage package{"", 0, {}};
  std::vector<WantedFile> wanted;
  for (size_t i = 0; i < 20; ++i) {
    const ContentId base = Id("base" + std::to_string(i)), file = Id("file" + std::to_string(i));
    package.frames.push_back({package.length, 1000, true, base, file});
    package.length += 1000;
    // Every other frame wanted; the gaps between groups of five are wide.
    package.frames.push_back({package.length, i % 5 == 4 ? 1u << 20 : 10u, false, {}, Id("skip")});
    package.length += package.frames.back().length;
    wanted.push_back({i, file, base});
  }
  index.packages = {package};
  FetchPlan plan = PlanFetch(wanted, index);
  EXPECT_EQ(plan.ranges.size(), 4u) << "four groups, each joined across its small gaps";
  wanted.resize(19);  // the last group's frames, apart by 1 MiB each, stay apart
  for (size_t i = 0; i < 20; ++i) index.packages[0].frames[2 * i + 1].length = 1u << 20;
  std::uint64_t offset = 0;
  for (ObjectFrame& f : index.packages[0].frames) {
    f.offset = offset;
    offset += f.length;
  }
  index.packages[0].length = offset;
  plan = PlanFetch(wanted, index);
  EXPECT_LE(plan.ranges.size(), kMaxRanges);
  EXPECT_GT(plan.ranges.size(), 1u);
  EXPECT_FALSE(plan.ranges.front().whole);
}

// More files without a patch than there are transfers come from the full
// package (whole frames only) in a few stretches, not one request each.
TEST(FetchPlan, ManyFilesWithoutAPatchComeFromTheFullPackage) {
  ObjectIndex index;
  DeltaPackage full{"", 0, {}}, fromA{"", 0, {}};
  std::vector<ContentId> files, bases;
  for (size_t i = 0; i < 20; ++i) {
    files.push_back(Id("file" + std::to_string(i)));
    bases.push_back(Id("base" + std::to_string(i)));
    full.frames.push_back({full.length, 1000, false, {}, files[i]});
    full.length += 1000;
    index.copies.push_back({"", {0, 1000, false, {}, files[i]}});
  }
  for (size_t i = 0; i < 2; ++i) {
    fromA.frames.push_back({fromA.length, 100, true, bases[i], files[i]});
    fromA.length += 100;
  }
  index.packages = {fromA, full};
  using S = Source;
  const std::vector<S> fromAPackage{S::kPackage, S::kCopy, S::kPlain}, copy{S::kCopy, S::kPlain};
  struct FullCase {
    const char* name;
    size_t first, count;  // rows of files first..first+count-1, the first two at their delta base
    std::vector<size_t> packages;
    size_t ranges;
    bool whole;  // the full package's one stretch is all of it
  };
  const FullCase cases[] = {
      {"six without a base: a copy each, as many requests as transfers", 2, 6, {}, 0, false},
      {"seven without a base: one stretch of the full package", 2, 7, {1}, 1, false},
      {"a fresh installation: the full package whole", 0, 20, {1}, 1, true},
      {"at release A: patches, and the other eight from the full package", 0, 10, {0, 1}, 2, false},
  };
  for (const FullCase& c : cases) {
    std::vector<WantedFile> wanted;
    const bool atA = c.packages.size() == 2;
    for (size_t i = c.first; i < c.first + c.count; ++i)
      wanted.push_back({i - c.first, files[i], atA && i < 2 ? std::optional<ContentId>(bases[i]) : std::nullopt});
    FetchPlan plan = PlanFetch(wanted, index);
    EXPECT_EQ(plan.packages, c.packages) << c.name;
    EXPECT_EQ(plan.ranges.size(), c.ranges) << c.name;
    EXPECT_EQ(!plan.ranges.empty() && plan.ranges.back().whole, c.whole) << c.name;
    for (const RowPlan& row : plan.rows) {
      EXPECT_EQ(row.chain, c.packages.empty() ? copy : fromAPackage) << c.name << " row " << row.row;
      if (row.chain.front() != S::kPackage) continue;
      const ObjectFrame& frame = index.packages[plan.packages[row.pack]].frames[row.frame];
      EXPECT_EQ(frame.file, wanted[row.row].target) << c.name << " row " << row.row;
      EXPECT_EQ(frame.patch, atA && row.row < 2) << c.name << " row " << row.row;
    }
  }
}

// The ranges of one package run on connections of their own, the slowest
// is the fetch's time: the bytes are shared out as evenly as six ranges
// allow, at frame boundaries where one lies near, else inside a frame that
// the next range continues; never in pieces not worth a request.
TEST(FetchPlan, LongStretchesAreSharedAmongTheTransfers) {
  struct Split {
    const char* name;
    std::vector<std::uint64_t> frames;  // lengths, back to back
    std::vector<size_t> wanted;         // frames wanted; empty: all
    size_t ranges;
    bool whole;
    size_t joined;  // ranges that end inside a frame
  };
  const std::uint64_t k100 = 100 << 10;
  const Split cases[] = {
      {"24 frames of 100 KiB: six ranges of four", std::vector<std::uint64_t>(24, k100), {}, 6, false, 0},
      {"400 KiB in all: one request", std::vector<std::uint64_t>(8, 50 << 10), {}, 1, true, 0},
      {"one long frame and small ones: the long one cut among all six",
       [] {
         std::vector<std::uint64_t> f{3 << 20};
         f.insert(f.end(), 20, 10 << 10);
         return f;
       }(),
       {}, 6, false, 5},
      {"every other frame: six ranges across the gaps", std::vector<std::uint64_t>(24, k100),
       {0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22}, 6, false, 0},
      {"a long run and a short one far from it: the gap never fetched", std::vector<std::uint64_t>(40, k100),
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 30, 31}, 4, false, 2},
      // The changed files of a real point release, as its full package
      // leads with them: the cut nearest the end leaves a tail shorter
      // than a piece, which must not land whole on one range.
      {"a real release's changed files",
       {4813,  9505,  13000, 4961,  21453, 2434078, 2677036, 3602,  4573,  14941, 6929,    23323, 8739,
        122510, 19131, 18605, 9528, 14275, 5854,    58556,   20030, 4599,  21653, 24020, 2202606, 9641},
       {}, 6, false, 4},
  };
  for (const Split& c : cases) {
    ObjectIndex index;
    DeltaPackage full{"", 0, {}};
    std::vector<WantedFile> wanted;
    std::uint64_t wantedBytes = 0;
    for (size_t i = 0; i < c.frames.size(); ++i) {
      const ContentId file = Id("split file " + std::to_string(i));
      full.frames.push_back({full.length, c.frames[i], false, {}, file});
      full.length += c.frames[i];
      index.copies.push_back({"", {0, c.frames[i], false, {}, file}});
      if (c.wanted.empty() || std::find(c.wanted.begin(), c.wanted.end(), i) != c.wanted.end()) {
        wanted.push_back({wanted.size(), file, std::nullopt});
        wantedBytes += c.frames[i];
      }
    }
    index.packages = {full};
    const FetchPlan plan = PlanFetch(wanted, index);
    ASSERT_EQ(plan.packages, std::vector<size_t>{0}) << c.name;
    EXPECT_EQ(plan.ranges.size(), c.ranges) << c.name;
    EXPECT_EQ(plan.ranges.front().whole, c.whole) << c.name;
    // In order, not overlapping; a range ends inside a frame exactly when
    // it says the next continues it, from that very byte.
    std::uint64_t end = 0, longest = 0;
    size_t joined = 0;
    for (size_t k = 0; k < plan.ranges.size(); ++k) {
      const PackageRange& r = plan.ranges[k];
      EXPECT_GE(r.first, end) << c.name;
      const ObjectFrame& last = full.frames[r.endFrame - 1];
      const bool inside = r.first + r.length < last.offset + last.length;
      EXPECT_EQ(r.joinsNext, inside) << c.name << " range " << k;
      if (r.joinsNext) {
        ASSERT_LT(k + 1, plan.ranges.size()) << c.name;
        EXPECT_EQ(plan.ranges[k + 1].first, r.first + r.length) << c.name;
        EXPECT_EQ(plan.ranges[k + 1].firstFrame, r.endFrame - 1) << c.name;
      }
      joined += r.joinsNext;
      longest = std::max(longest, r.length);
      // A piece of a cut frame is worth its request; a short run stays whole.
      if (r.joinsNext || (k > 0 && plan.ranges[k - 1].joinsNext))
        EXPECT_GE(r.length, kLeastSplitStretch) << c.name << " range " << k;
      end = r.first + r.length;
    }
    EXPECT_EQ(joined, c.joined) << c.name;
    // Even: no range longer than a sixth of the wanted bytes by more than
    // the least piece (a frame boundary taken, a short tail kept).
    EXPECT_LE(longest, std::max(wantedBytes / kMaxRanges, kLeastSplitStretch) + kLeastSplitStretch) << c.name;
    // Back to back, the frames share out to within a tenth of a sixth:
    // the slowest connection is the fetch's time.
    if (c.wanted.empty() && plan.ranges.size() == kMaxRanges)
      EXPECT_LE(longest, wantedBytes / kMaxRanges + wantedBytes / kMaxRanges / 10) << c.name;
    // Every wanted frame's bytes lie in the ranges.
    for (const RowPlan& row : plan.rows) {
      const ObjectFrame& f = full.frames[row.frame];
      std::uint64_t covered = 0;
      for (const PackageRange& r : plan.ranges) {
        const std::uint64_t from = std::max(r.first, f.offset), to = std::min(r.first + r.length, f.offset + f.length);
        if (to > from) covered += to - from;
      }
      EXPECT_EQ(covered, f.length) << c.name << " row " << row.row;
    }
  }
  // Shared evenly: the 24 equal frames come four to a stretch.
  ObjectIndex even;
  DeltaPackage p{"", 0, {}};
  std::vector<WantedFile> all;
  for (size_t i = 0; i < 24; ++i) {
    const ContentId file = Id("even " + std::to_string(i));
    p.frames.push_back({p.length, k100, false, {}, file});
    p.length += k100;
    even.copies.push_back({"", {0, k100, false, {}, file}});
    all.push_back({i, file, std::nullopt});
  }
  even.packages = {p};
  for (const PackageRange& r : PlanFetch(all, even).ranges) EXPECT_EQ(r.endFrame - r.firstFrame, 4u);
}

}  // namespace
}  // namespace vmrk
