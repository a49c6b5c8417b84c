// Deltas, compressed copies and transfers side by side, through the real
// window, downloaders and server. Whatever is wrong with an object, the
// update falls back by itself and the release that goes in is exactly the
// signed one.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <algorithm>
#include <set>

#include "app/texts.h"
#include "install/update_names.h"
#include "listgen/release_objects_writer.h"
#include "listgen/release_signing.h"
#include "platform/crypto.h"
#include "tests/app/window_fixture.h"
#include "tests/support/test_keys.h"
#include "updatelist/document_loader.h"
#include "updatelist/hex_base64.h"
#include "updatelist/zstd_frames.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A program's resource file as two releases ship it: mostly the same lines,
// some edited.
std::string Resource(const std::string& name, int release) {
  std::string text;
  for (int i = 0; i < 3000; ++i) {
    text += name + " entry " + std::to_string(i * 7919 % 10007) + " = ";
    text += (i % 97 == 0 && release > 0) ? "changed in release " + std::to_string(release) : "the same as before";
    text += "\n";
  }
  return text;
}

// The old release is installed; the new one is published with its objects
// made from the old, as the maintainer's tool makes them.
class ObjectsFlowTest : public test::WindowFixture {
 public:
  using test::WindowFixture::app_;
  using test::WindowFixture::release_;

  ObjectsFlowTest() {
    sideBySide_ = true;
    threaded_ = true;
    app_.Write("vmrkxupdate.keys", ToBase64(test::MaintainerKey().publicKey) + "\n");
  }

  // Locations below app\ only; the old release is also what is installed.
  void PublishWithObjects(const std::vector<test::ReleaseFile>& old, const std::vector<test::ReleaseFile>& fresh) {
    for (const test::ReleaseFile& f : old) {
      const std::string name = f.location.substr(4);
      oldRoot_.Write("app/" + name, f.content);
      const std::string installed = app_.Write(name, f.content);
      ASSERT_TRUE(platform::SetFileModifiedTime(installed, 946684800).ok());  // older than the list's
    }
    Publish(fresh);
    const std::string list = release_.Read("vmrkxupdate/list.txt");
    std::string manifestText;
    Result<std::string> text = DocumentTextOf(list);
    ASSERT_TRUE(text.ok()) << text.status().message();
    ReleaseManifest manifest;
    ASSERT_TRUE(BuildSignedManifest(release_.Sub("vmrkxupdate"), list, *text, {test::MaintainerKey().privateKey}, Now(),
                                    Now() + 86400, &manifestText, &manifest)
                    .ok());
    release_.Write("vmrkxupdate/list.txt.sig", manifestText);
    ObjectsReport report;
    ASSERT_TRUE(WriteReleaseObjects(release_.Sub("vmrkxupdate"), manifest, {oldRoot_.path()},
                                    release_.Sub("vmrkxupdate/objects"), 19, {}, &index_, &report)
                    .ok());
    WriteIndex();
  }
  // An installed file changed by hand, still older than the list.
  void EditInstalled(const std::string& name, const std::string& content) {
    ASSERT_TRUE(platform::SetFileModifiedTime(app_.Write(name, content), 946684800).ok());
  }
  void WriteIndex() { release_.Write("vmrkxupdate/list.txt.objects", WriteObjectIndex(index_)); }
  std::string PackagePath() { return "vmrkxupdate/" + PackageObjectPath(index_.packages.at(0)); }
  // The package rebuilt with the frame of `file` replaced, under its new
  // content name, and the index saying so.
  void ReplaceFrame(const std::string& file, const std::string& bytes) {
    DeltaPackage& package = index_.packages.at(0);
    const std::string old = release_.Read(PackagePath());
    fs::remove(release_.Sub(PackagePath()));
    std::string rebuilt;
    for (ObjectFrame& f : package.frames) {
      const std::string frame = f.file.sha256 == platform::Sha256Bytes(file) ? bytes : old.substr(f.offset, f.length);
      f.offset = rebuilt.size();
      f.length = frame.size();
      rebuilt += frame;
    }
    package.sha256 = platform::Sha256Bytes(rebuilt);
    package.length = rebuilt.size();
    release_.Write(PackagePath(), rebuilt);
    WriteIndex();
  }
  CompressedCopy& CopyOf(const std::string& content) {
    for (CompressedCopy& c : index_.copies)
      if (c.frame.file.sha256 == platform::Sha256Bytes(content)) return c;
    ADD_FAILURE() << "no copy";
    return index_.copies.at(0);
  }

  void Update() {
    PointAtServer();
    ASSERT_EQ(Window().Form_Load(), UpdaterWindow::LoadOutcome::kShowWindow);
    ASSERT_TRUE(test::PumpUntil([&] { return State().cmdBegin.enabled; }, 15000));
    ASSERT_EQ(State().cmdBegin.caption, texts::kNext) << State().statusText;
    RunUpdate();
  }
  // A path, or any path below a folder ending in "/".
  bool Requested(const std::string& path) {
    for (const test::LoggedRequest& r : server_.Requests())
      if (path.back() == '/' ? r.path.rfind("/" + path, 0) == 0 : r.path == "/" + path) return true;
    return false;
  }
  std::string Log() { return app_.Read(kUpdateLogFile); }

  test::TempDir oldRoot_;
  ObjectIndex index_;
};

const std::string kA0 = Resource("a", 0), kA1 = Resource("a", 1), kB0 = Resource("b", 0), kB1 = Resource("b", 1);
const std::string kSame = Resource("same", 0), kNew = Resource("new", 1);
const std::vector<test::ReleaseFile> kOld = {{"app\\a.dll", kA0}, {"app\\b.dll", kB0}, {"app\\same.dat", kSame}};
const std::vector<test::ReleaseFile> kFresh = {
    {"app\\a.dll", kA1}, {"app\\b.dll", kB1}, {"app\\same.dat", kSame}, {"app\\new.dll", kNew}};

struct Fault {
  const char* name;
  friend void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }
  std::function<void(ObjectsFlowTest&)> inject;
  std::string logged;                 // a line of the log that says how it went
  std::vector<std::string> fetched;   // paths below vmrkxupdate/ that must have been asked for
  std::vector<std::string> notFetched;
};

class ObjectFaultTest : public ObjectsFlowTest, public testing::WithParamInterface<Fault> {};

// Every fault costs only bytes: the release that goes in is the signed one.
TEST_P(ObjectFaultTest, FallsBackToTheNextSourceAndInstallsTheSignedRelease) {
  const Fault& fault = GetParam();
  PublishWithObjects(kOld, kFresh);
  fault.inject(*this);
  Update();
  EXPECT_EQ(State().statusText, texts::kStatusCompleted) << Log();
  EXPECT_EQ(app_.Read("a.dll"), kA1);
  EXPECT_EQ(app_.Read("b.dll"), kB1);
  EXPECT_EQ(app_.Read("same.dat"), kSame);
  EXPECT_EQ(app_.Read("new.dll"), kNew);
  EXPECT_EQ(LocalTimeOf(app_.Sub("a.dll")), *platform::LocalToUnixSeconds({2008, 5, 12, 14, 30, 5}));
  EXPECT_TRUE(fs::is_empty(app_.Sub("update")));
  EXPECT_NE(Log().find(fault.logged), std::string::npos) << fault.logged << "\n" << Log();
  for (const std::string& path : fault.fetched) EXPECT_TRUE(Requested("vmrkxupdate/" + path)) << path;
  for (const std::string& path : fault.notFetched) EXPECT_FALSE(Requested("vmrkxupdate/" + path)) << path;
  EXPECT_FALSE(Requested("vmrkxupdate/app/same.dat")) << "identical files are never fetched";
}

void Corrupt(const std::string& path, size_t at) {
  std::string bytes = test::ReadFileBytes(path);
  bytes[at % bytes.size()] ^= 0x5a;
  std::filesystem::remove(path);
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

INSTANTIATE_TEST_SUITE_P(
    Objects, ObjectFaultTest,
    testing::Values(
        Fault{"none", [](ObjectsFlowTest&) {}, "staged 1/4 app\\a.dll, from the delta package, patched",
              {"objects/"}, {"app/a.dll", "app/b.dll", "app/new.dll"}},
        Fault{"aCorruptPackage",
              [](ObjectsFlowTest& t) { Corrupt(t.release_.Sub(t.PackagePath()), 20); },
              "the delta package: ", {}, {}},
        Fault{"aMissingPackage",
              [](ObjectsFlowTest& t) { fs::remove(t.release_.Sub(t.PackagePath())); },
              "the delta package could not be fetched (code 1, HTTP 404); now its compressed copy", {}, {"app/a.dll"}},
        Fault{"aPatchForAnotherBase",
              [](ObjectsFlowTest& t) {
                // The index says the patch applies to the installed b.dll;
                // it was made from another.
                Result<std::string> other = EncodeFrame(kB1, Resource("other", 0), 19);
                ASSERT_TRUE(other.ok()) << other.status().message();
                t.ReplaceFrame(kB1, *other);
              },
              "2/4 app\\b.dll: the delta package: ", {}, {}},
        Fault{"aTruncatedCopy",
              [](ObjectsFlowTest& t) {
                t.EditInstalled("a.dll", "edited by hand");  // no patch applies: its copy is the way
                const std::string copy = t.release_.Sub("vmrkxupdate/" + CopyObjectPath(t.CopyOf(kA1)));
                fs::resize_file(copy, fs::file_size(copy) / 2);
              },
              "its compressed copy: the copy is not the length the index names; now the plain file", {"app/a.dll"}, {}},
        Fault{"aDecompressionBomb",
              [](ObjectsFlowTest& t) {
                t.EditInstalled("a.dll", "edited by hand");
                Result<std::string> encoded = EncodeFrame(std::string(64 << 20, 'A'), {}, 3);
                ASSERT_TRUE(encoded.ok()) << encoded.status().message();
                const std::string& bomb = *encoded;
                CompressedCopy& copy = t.CopyOf(kA1);
                ASSERT_LE(bomb.size(), FrameBound(copy.frame.file.length));
                copy.frame.length = bomb.size();
                t.WriteIndex();
                t.release_.Write("vmrkxupdate/" + CopyObjectPath(copy), bomb);
              },
              "more than the", {"app/a.dll"}, {}},
        Fault{"anIndexOfAnotherList",
              [](ObjectsFlowTest& t) {
                t.index_.listLength += 1;
                t.WriteIndex();
              },
              "object index not used, plain files only: it belongs to another list",
              {"app/a.dll", "app/b.dll", "app/new.dll"}, {"objects/"}},
        Fault{"noIndex", [](ObjectsFlowTest& t) { fs::remove(t.release_.Sub("vmrkxupdate/list.txt.objects")); },
              "object index not used, plain files only: code 1, HTTP 404", {"app/a.dll", "app/b.dll"}, {}}),
    [](const testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });


TEST_F(ObjectsFlowTest, OnlyTheFramesNeededAreFetchedAsRangesOfThePackage) {
  const std::string big0 = test::IncompressibleBytes(1, 300 << 10), big1 = test::IncompressibleBytes(2, 300 << 10);
  PublishWithObjects({{"app\\a.dll", kA0}, {"app\\big.dll", big0}},
                     {{"app\\a.dll", kA1}, {"app\\big.dll", big1}, {"app\\new.dll", kNew}});
  EditInstalled("big.dll", big1);  // already the new one: its large patch lies between the two wanted
  Update();
  EXPECT_EQ(State().statusText, texts::kStatusCompleted) << Log();
  EXPECT_EQ(app_.Read("a.dll"), kA1);
  EXPECT_EQ(app_.Read("big.dll"), big1);
  EXPECT_EQ(app_.Read("new.dll"), kNew);
  std::vector<std::string> ranges;
  for (const test::LoggedRequest& r : server_.Requests())
    if (r.path == "/" + PackagePath()) ranges.push_back(r.range);
  const DeltaPackage& package = index_.packages[0];
  ASSERT_EQ(package.frames.size(), 3u);
  std::vector<std::string> expected;
  for (size_t f : {0, 2})
    expected.push_back("bytes=" + std::to_string(package.frames[f].offset) + "-" +
                       std::to_string(package.frames[f].offset + package.frames[f].length - 1));
  std::sort(ranges.begin(), ranges.end());
  EXPECT_EQ(ranges, expected) << "two requests, and the patch nobody needs is not among them";
}

// Nothing installed, so no patch applies: the ten files come from the
// release's full package, in one request, not as ten copies; and a full
// package that cannot be had sends each file to its own copy.
TEST_F(ObjectsFlowTest, AFreshInstallationTakesTheFullPackageInOneRequest) {
  std::vector<test::ReleaseFile> fresh = kFresh;
  for (int i = 0; i < 6; ++i) fresh.push_back({"app\\more" + std::to_string(i) + ".dat", Resource("more", i)});
  PublishWithObjects(kOld, fresh);
  for (const test::ReleaseFile& f : kOld) fs::remove(app_.Sub(f.location.substr(4)));
  ASSERT_EQ(index_.packages.size(), 2u);  // the delta package from kOld, then the full one
  const std::string full = "vmrkxupdate/" + PackageObjectPath(index_.packages[1]);
  // The files changed since kOld lead the full package, back to back.
  const std::vector<ObjectFrame>& changed = index_.packages[0].frames;
  ASSERT_EQ(changed.size() + 1, index_.packages[1].frames.size());  // all but same.dat
  for (size_t f = 0; f < index_.packages[1].frames.size(); ++f)
    EXPECT_EQ(f < changed.size(), std::any_of(changed.begin(), changed.end(), [&](const ObjectFrame& c) {
                return c.file == index_.packages[1].frames[f].file;
              })) << "frame " << f;
  Update();
  EXPECT_EQ(State().statusText, texts::kStatusCompleted) << Log();
  for (const test::ReleaseFile& f : fresh) EXPECT_EQ(app_.Read(f.location.substr(4)), f.content) << f.location;
  size_t packageRequests = 0, otherObjects = 0;
  for (const test::LoggedRequest& r : server_.Requests()) {
    packageRequests += r.path == "/" + full;
    otherObjects += r.path.rfind("/vmrkxupdate/objects/", 0) == 0 && r.path != "/" + full;
  }
  EXPECT_EQ(packageRequests, 1u) << Log();
  EXPECT_EQ(otherObjects, 0u) << Log();
  EXPECT_NE(Log().find("full package " + PackageObjectPath(index_.packages[1]) + ": whole"), std::string::npos) << Log();
}

// A file longer than a sixth of what is fetched is cut between ranges on
// connections of their own, and stages once every part of it arrived; a
// part that does not decode sends the files of its parts to their copies.
class CutFrameTest : public ObjectsFlowTest, public testing::WithParamInterface<bool> {};

TEST_P(CutFrameTest, AFileLongerThanItsShareComesInRangesThatCutItsFrame) {
  const std::string big = test::IncompressibleBytes(7, 3 << 20);
  {
    const bool corrupt = GetParam();
    std::vector<test::ReleaseFile> fresh = kFresh;
    for (int i = 0; i < 6; ++i) fresh.push_back({"app\\more" + std::to_string(i) + ".dat", Resource("more", i)});
    fresh.push_back({"app\\big.dll", big});
    PublishWithObjects(kOld, fresh);
    for (const test::ReleaseFile& f : kOld) fs::remove(app_.Sub(f.location.substr(4)));
    const DeltaPackage& full = index_.packages.at(1);
    const std::string path = "vmrkxupdate/" + PackageObjectPath(full);
    if (corrupt) {
      // A byte of the big frame's middle, the package's name kept: only
      // decoding can tell.
      const ObjectFrame& frame =
          *std::find_if(full.frames.begin(), full.frames.end(),
                        [&](const ObjectFrame& f) { return f.file.sha256 == platform::Sha256Bytes(big); });
      std::string bytes = release_.Read(path);
      bytes[frame.offset + frame.length / 2] ^= 1;
      release_.Write(path, bytes);
    }
    Update();
    EXPECT_EQ(State().statusText, texts::kStatusCompleted) << Log();
    for (const test::ReleaseFile& f : fresh) EXPECT_EQ(app_.Read(f.location.substr(4)), f.content) << f.location;
    size_t ranges = 0;
    for (const test::LoggedRequest& r : server_.Requests()) ranges += r.path == "/" + path && !r.range.empty();
    EXPECT_GT(ranges, 2u) << Log();
    EXPECT_LE(ranges, kMaxRanges) << Log();
    EXPECT_EQ(Requested("vmrkxupdate/" + CopyObjectPath(CopyOf(big))), corrupt) << Log();
    EXPECT_EQ(Log().find("app\\big.dll: the full package: the frame does not decode") != std::string::npos, corrupt) << Log();
  }
}
INSTANTIATE_TEST_SUITE_P(AsPublishedAndAPartCorrupt, CutFrameTest, testing::Bool());

TEST_F(ObjectsFlowTest, AFullPackageThatCannotBeHadSendsEachFileToItsCopy) {
  std::vector<test::ReleaseFile> fresh = kFresh;
  for (int i = 0; i < 6; ++i) fresh.push_back({"app\\more" + std::to_string(i) + ".dat", Resource("more", i)});
  PublishWithObjects(kOld, fresh);
  for (const test::ReleaseFile& f : kOld) fs::remove(app_.Sub(f.location.substr(4)));
  fs::remove(release_.Sub("vmrkxupdate/" + PackageObjectPath(index_.packages[1])));
  Update();
  EXPECT_EQ(State().statusText, texts::kStatusCompleted) << Log();
  for (const test::ReleaseFile& f : fresh) EXPECT_EQ(app_.Read(f.location.substr(4)), f.content) << f.location;
  EXPECT_NE(Log().find("the full package could not be fetched"), std::string::npos) << Log();
  for (const CompressedCopy& copy : index_.copies) EXPECT_TRUE(Requested("vmrkxupdate/" + CopyObjectPath(copy)));
}

TEST_F(ObjectsFlowTest, APackageCutHalfWayIsResumed) {
  PublishWithObjects(kOld, kFresh);
  const std::uint64_t half = index_.packages[0].length / 2;
  release_.Write(PackagePath() + ".cutonce", std::to_string(half));
  Update();
  EXPECT_EQ(State().statusText, texts::kStatusCompleted) << Log();
  EXPECT_EQ(app_.Read("a.dll"), kA1);
  EXPECT_EQ(app_.Read("new.dll"), kNew);
  std::vector<std::string> ranges;
  for (const test::LoggedRequest& r : server_.Requests())
    if (r.path == "/" + PackagePath()) ranges.push_back(r.range);
  EXPECT_EQ(ranges, (std::vector<std::string>{"", "bytes=" + std::to_string(half) + "-"}));
  EXPECT_FALSE(Requested("vmrkxupdate/app/a.dll"));
}

// Unsigned: plain files only, six at a time over six kept-alive connections.
class SideBySideTest : public test::WindowFixture {
 protected:
  SideBySideTest() {
    sideBySide_ = true;
    threaded_ = true;
    for (int i = 1; i <= 12; ++i)
      files_.push_back({"app\\f" + std::to_string(i) + ".slow.dll", std::string(24 << 10, static_cast<char>('a' + i))});
    Publish(files_);
    // One breaks off half way once, and is resumed.
    release_.Write("vmrkxupdate/app/f3.slow.dll.cutonce", std::to_string(12 << 10));
    PointAtServer();
  }
  size_t RowsInProgress() {
    size_t n = 0;
    for (const FileRow& row : State().rows) n += !row.status.empty() && row.status.back() == '%';
    return n;
  }
  std::vector<test::ReleaseFile> files_;
};

TEST_F(SideBySideTest, SixTransfersRunAtOnceAndACutOneResumes) {
  ASSERT_EQ(Window().Form_Load(), UpdaterWindow::LoadOutcome::kShowWindow);
  ASSERT_TRUE(test::PumpUntil([&] { return State().cmdBegin.enabled; }, 15000));
  Window().cmdBegin_Click();
  size_t mostAtOnce = 0;
  std::set<std::string> statusLines;
  int misselected = 0;  // draws where the selection is not the first row still to come
  ASSERT_TRUE(test::PumpUntil(
      [&] {
        mostAtOnce = std::max(mostAtOnce, RowsInProgress());
        statusLines.insert(State().statusText);
        const auto& rows = State().rows;
        auto waiting = std::find_if(rows.begin(), rows.end(), [](const FileRow& r) { return r.status != "√"; });
        if (!State().cmdBegin.enabled && waiting != rows.end())
          misselected += State().selectedRow != static_cast<int>(waiting - rows.begin()) + 1;
        return State().cmdBegin.enabled;
      },
      20000));
  EXPECT_EQ(misselected, 0);
  EXPECT_EQ(State().statusText, texts::kStatusCompleted);
  for (const test::ReleaseFile& f : files_) EXPECT_EQ(app_.Read(f.location.substr(4)), f.content) << f.location;
  EXPECT_GE(mostAtOnce, 2u) << "several rows show their percentage at once";
  EXPECT_TRUE(statusLines.count(texts::StatusDownloading(12, 12)));
  std::set<int> connections;
  bool resumed = false;
  for (const test::LoggedRequest& r : server_.Requests()) {
    if (r.path.find(".slow.dll") == std::string::npos) continue;
    connections.insert(r.connection);
    resumed = resumed || (r.path == "/vmrkxupdate/app/f3.slow.dll" && r.range == "bytes=12288-");
  }
  // Six side by side, each kept alive from file to file, and one more made
  // by the transfer that resumed after its connection was cut.
  EXPECT_EQ(connections.size(), kMaxTransfers + 1);
  EXPECT_TRUE(resumed);
}

// Cancel, or the window closed by its title bar, during six transfers.
class StopDuringSixTest : public SideBySideTest, public testing::WithParamInterface<std::string> {};

TEST_P(StopDuringSixTest, EndsEveryTransferAtOnceAndLeavesNothingStaged) {
  ASSERT_EQ(Window().Form_Load(), UpdaterWindow::LoadOutcome::kShowWindow);
  ASSERT_TRUE(test::PumpUntil([&] { return State().cmdBegin.enabled; }, 15000));
  Window().cmdBegin_Click();
  ASSERT_TRUE(test::PumpUntil([&] { return RowsInProgress() >= 3; }, 20000));
  if (GetParam() == "cancel") Window().cmdCancel_Click();
  else Window().Closing();
  // Synchronous: every transfer is stopped before the click returns.
  EXPECT_EQ(Window().run().outcome(), UpdateRun::Outcome::kCancelled);
  const size_t requests = server_.Requests().size();
  test::PumpFor(500);
  EXPECT_EQ(server_.Requests().size(), requests) << "nothing asked for after Cancel";
  for (const auto& entry : fs::recursive_directory_iterator(app_.Sub("update")))
    ADD_FAILURE() << "left in staging: " << entry.path();
  for (const test::ReleaseFile& f : files_) EXPECT_FALSE(fs::exists(app_.Sub(f.location.substr(4)))) << f.location;
}

INSTANTIATE_TEST_SUITE_P(Ways, StopDuringSixTest, testing::Values("cancel", "close"));

}  // namespace
}  // namespace vmrk
