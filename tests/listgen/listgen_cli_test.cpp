// vmrkxupdate-listgen as a pipeline runs it: exit codes, outputs, files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/civil_time.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"
#include "updatelist/document_loader.h"
#include "updatelist/root_of_trust.h"
#include "updatelist/rtf_writer.h"

namespace vmrk {
namespace {

struct Result {
  int status;
  std::string out, err;
};

Result RunListgen(const std::string& arguments, const test::TempDir& dir) {
  std::string out = dir.Sub("stdout.txt"), err = dir.Sub("stderr.txt");
  std::string command = std::string("'") + VMRK_LISTGEN_EXE + "' " + arguments + " >'" + out + "' 2>'" + err + "'";
  int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, test::ReadFileBytes(out), test::ReadFileBytes(err)};
}

class ListgenCliTest : public testing::Test {
 protected:
  ListgenCliTest() {
    for (auto [relative, content] : {std::pair{"release/app/a.exe", "aaaa"}, {"release/win/system32/皮肤.dll", "bb"}}) {
      std::string path = dir_.Write(relative, content);
      EXPECT_TRUE(platform::SetFileModifiedTime(path, *platform::LocalToUnixSeconds({2008, 5, 12, 14, 30, 5})).ok());
    }
  }
  test::TempDir dir_;
};

TEST_F(ListgenCliTest, GenerateWritesTheListTheButtonWrites) {
  Result r = RunListgen("generate '" + dir_.Sub("release") + "' -o '" + dir_.Sub("out.txt") + "'", dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  vmrk::Result<std::string> text = LoadDocumentText(dir_.Sub("out.txt"));
  ASSERT_TRUE(text.ok()) << text.status().message();
  EXPECT_EQ(*text, "app\\a.exe?4*2008-05-12 14:30:05\r\nwin\\system32\\皮肤.dll?2*2008-05-12 14:30:05\r\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.find('\r'), std::string::npos);  // no progress line when stderr is no terminal
}

TEST_F(ListgenCliTest, ShowPrintsThePlainTextAndTheEntries) {
  RunListgen("generate '" + dir_.Sub("release") + "/' -o '" + dir_.Sub("list.txt") + "'", dir_);
  Result plain = RunListgen("show '" + dir_.Sub("list.txt") + "'", dir_);
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.out, "app\\a.exe?4*2008-05-12 14:30:05\r\nwin\\system32\\皮肤.dll?2*2008-05-12 14:30:05\r\n");
  Result entries = RunListgen("show --entries '" + dir_.Sub("list.txt") + "'", dir_);
  EXPECT_EQ(entries.status, 0);
  EXPECT_EQ(entries.out, "app\\a.exe\t4\t2008-05-12 14:30:05\nwin\\system32\\皮肤.dll\t2\t2008-05-12 14:30:05\n");
}

TEST_F(ListgenCliTest, ShowNamesTheFirstMalformedLine) {
  dir_.Write("bad.txt", PlainTextToRtf("app\\a?1*2008-5-12\r\napp\\b?x*2008-5-12\r\n"));
  Result r = RunListgen("show --entries '" + dir_.Sub("bad.txt") + "'", dir_);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "app\\a\t1\t2008-5-12\n");
  EXPECT_NE(r.err.find("line 2"), std::string::npos) << r.err;
}

struct ExitCase {
  const char* name;
  std::string arguments;
  int status;
  friend void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }
};

class ListgenExitTest : public ListgenCliTest, public testing::WithParamInterface<ExitCase> {};

TEST_P(ListgenExitTest, ExitsWithItsStatus) {
  std::string arguments = GetParam().arguments;
  for (size_t at; (at = arguments.find("@")) != std::string::npos;) arguments.replace(at, 1, dir_.path());
  Result r = RunListgen(arguments, dir_);
  EXPECT_EQ(r.status, GetParam().status) << r.err;
  if (r.status != 0) EXPECT_FALSE(r.err.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ListgenExitTest,
    testing::Values(ExitCase{"help", "--help", 0}, ExitCase{"version", "--version", 0},
                    ExitCase{"noCommand", "", 2}, ExitCase{"unknownCommand", "frobnicate", 2},
                    ExitCase{"generateWithoutRoot", "generate", 2}, ExitCase{"unknownOption", "generate @ --fast", 2},
                    ExitCase{"outputWithoutName", "generate @/release -o", 2},
                    ExitCase{"missingRoot", "generate @/none -o @/x.txt", 1},
                    ExitCase{"unwritableOutput", "generate @/release -o @/no/such/folder/list.txt", 1},
                    ExitCase{"showMissing", "show @/none.txt", 1}, ExitCase{"showWithoutList", "show", 2},
                    ExitCase{"mirrorWithoutSign", "generate @/release --mirror http://mirror.example/", 2},
                    ExitCase{"mirrorNotAnAddress", "generate @/release --sign @/k --mirror mirror.example", 2},
                    ExitCase{"mirrorWithoutTrailingSlash", "generate @/release --sign @/k --mirror http://m.example/x", 2}),
    [](const testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });

TEST_F(ListgenCliTest, ARefusedFileWritesNoList) {
  dir_.Write("release/app/a*b", "x");
  dir_.Write("old.txt", "older list");
  Result r = RunListgen("generate '" + dir_.Sub("release") + "' -o '" + dir_.Sub("old.txt") + "'", dir_);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("app\\a*b"), std::string::npos) << r.err;
  EXPECT_EQ(dir_.Read("old.txt"), "older list");
}

}  // namespace
}  // namespace vmrk

namespace vmrk {
namespace {

// The maintainer's three commands, and what verify says about each fault.
TEST_F(ListgenCliTest, KeygenSignAndVerifyARelease) {
  const std::string key = dir_.Sub("maintainer.key"), key2 = dir_.Sub("next.key");
  Result made = RunListgen("keygen '" + key + "'", dir_);
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out, test::ReadFileBytes(key + ".pub"));  // the public key, printed too
  EXPECT_EQ(std::filesystem::status(key).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  const std::string before = test::ReadFileBytes(key);
  EXPECT_EQ(RunListgen("keygen '" + key + "'", dir_).status, 1);  // never overwritten
  EXPECT_EQ(test::ReadFileBytes(key), before);
  ASSERT_EQ(RunListgen("keygen '" + key2 + "'", dir_).status, 0);

  const std::string list = dir_.Sub("list.txt"), release = dir_.Sub("release");
  Result signedRun = RunListgen("generate '" + release + "' -o '" + list + "' --sign '" + key + "' --sign '" + key2 +
                                    "' --expires 30 --mirror https://mirror.example/pub/ --mirror http://second.example/",
                                dir_);
  ASSERT_EQ(signedRun.status, 0) << signedRun.err;
  EXPECT_NE(test::ReadFileBytes(dir_.Sub("release.sig"))
                .find("\nmirror https://mirror.example/pub/\nmirror http://second.example/\n"),
            std::string::npos);
  const std::string manifest = test::ReadFileBytes(list + ".sig");
  EXPECT_NE(manifest.find("signature ", manifest.find("signature ") + 1), std::string::npos);  // one line per key
  for (const std::string& pub : {key + ".pub", key2 + ".pub"}) {
    Result ok = RunListgen("verify '" + list + "' --key '" + pub + "' --files '" + release + "'", dir_);
    EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
  }

  // One object of the release by content, by its kind; Swap puts bytes in a
  // file's place and gives back what was there.
  auto ObjectOf = [&](const std::string& suffix) {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Sub("objects")))
      if (entry.path().extension() == suffix) return entry.path().string();
    return std::string();
  };
  auto Swap = [&](const std::string& path, const std::string& bytes) {
    std::string was = test::ReadFileBytes(path);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return was;
  };
  std::string kept;
  ASSERT_TRUE(std::filesystem::exists(dir_.Sub("release.sig")));
  struct Fault {
    const char* name;
    std::function<void()> make, undo;
    const char* printed;
  } faults[] = {
      {"aChangedFile", [&] { dir_.Write("release/app/a.exe", "AAAA"); }, [&] { dir_.Write("release/app/a.exe", "aaaa"); },
       "file app\\a.exe: its SHA-256 differs"},
      {"aChangedList", [&] { dir_.Write("list.txt", test::ReadFileBytes(list) + " "); }, [] {}, "manifest: the list"},
      // release.sig and the objects it names, as today's updaters read them.
      {"releaseSigResigned", [&] { kept = Swap(dir_.Sub("release.sig"), "vmrkxupdate-manifest 2\n"); },
       [&] { Swap(dir_.Sub("release.sig"), kept); }, "release.sig: "},
      {"aFileObjectEmptied", [&] { kept = Swap(ObjectOf(".file"), ""); }, [&] { Swap(ObjectOf(".file"), kept); },
       "is not what release.sig names"},
      {"aListObjectChanged", [&] { kept = Swap(ObjectOf(".list"), "{\\rtf1 }"); },
       [&] { Swap(ObjectOf(".list"), kept); }, "list: objects/"},
  };
  for (const Fault& f : faults) {
    const std::string listBytes = test::ReadFileBytes(list);
    f.make();
    Result bad = RunListgen("verify '" + list + "' --key '" + key + ".pub' --files '" + release + "'", dir_);
    EXPECT_EQ(bad.status, 1) << f.name;
    EXPECT_NE(bad.out.find(f.printed), std::string::npos) << f.name << ": " << bad.out;
    f.undo();
    dir_.Write("list.txt", listBytes);
  }
  Result stranger = RunListgen("verify '" + list + "' --key '" + dir_.Sub("release/app/a.exe") + "'", dir_);
  EXPECT_EQ(stranger.status, 1);
  EXPECT_EQ(RunListgen("generate '" + release + "' --expires 30", dir_).status, 2);  // --expires without --sign
}

// The root of trust made as a release script makes it: one key a run, the
// next root carrying what it does not name, show's status telling when a
// root is ready to publish.
TEST_F(ListgenCliTest, RootsAreMadeAndSignedOneKeyARun) {
  for (const char* name : {"r1", "r2", "r3", "a", "b"})
    ASSERT_EQ(RunListgen("keygen '" + dir_.Sub(name) + "'", dir_).status, 0) << name;
  auto key = [&](const char* name) { return "'" + dir_.Sub(name) + "'"; };
  auto pub = [&](const char* name) { return "'" + dir_.Sub(name) + ".pub'"; };
  const std::string one = dir_.Sub("1.root"), two = dir_.Sub("2.root");
  Result made = RunListgen("root init '" + one + "' --root-key " + pub("r1") + " --root-key " + pub("r2") +
                               " --root-key " + pub("r3") + " --threshold 2 --release-key " + pub("a"),
                           dir_);
  ASSERT_EQ(made.status, 0) << made.err;
  // Each step: the command, its exit status, what its output must hold.
  struct Step {
    std::string arguments;
    int status;
    const char* says;
  };
  const Step steps[] = {
      {"root show '" + one + "'", 1, "its own root keys: 0 of 2 signatures: not met"},
      {"root sign '" + one + "' --key " + key("r1"), 0, "signed by"},
      {"root show '" + one + "'", 1, "its own root keys: 1 of 2 signatures: not met"},
      {"root sign '" + one + "' --key " + key("r1"), 1, "this key has signed the root already"},
      {"root sign '" + one + "' --key " + key("r3"), 0, "signed by"},
      {"root show '" + one + "'", 0, "its own root keys: 2 of 2 signatures: met"},
      {"root init '" + one + "' --root-key " + pub("r1") + " --threshold 1 --release-key " + pub("a"), 1, "exists"},
      {"root next '" + one + "' '" + two + "' --release-key " + pub("b"), 0, "root 2 written"},
      {"root sign '" + two + "' --key " + key("r2"), 0, "signed by"},
      {"root show '" + two + "' --after '" + one + "'", 1, "root 1's root keys: 1 of 2 signatures: not met"},
      {"root sign '" + two + "' --key " + key("a"), 0, "signed by"},  // a key of neither: counts for nothing
      {"root show '" + two + "' --after '" + one + "'", 1, "root 1's root keys: 1 of 2 signatures: not met"},
      {"root sign '" + two + "' --key " + key("r3"), 0, "signed by"},
      {"root show '" + two + "' --after '" + one + "'", 0, "root 1's root keys: 2 of 2 signatures: met"},
      {"root init '" + dir_.Sub("x.root") + "' --root-key " + pub("r1") + " --threshold 2 --release-key " + pub("a"), 1,
       "the root threshold is above its number of root keys"},
      {"root init '" + dir_.Sub("x.root") + "' --root-key " + pub("r1") + " --root-key " + pub("r1") +
           " --threshold 1 --release-key " + pub("a"),
       1, "bad or repeated root key"},
      {"root init '" + dir_.Sub("x.root") + "' --root-key " + pub("r1") + " --release-key " + pub("a"), 2,
       "root init needs --root-key, --threshold and --release-key"},
      {"root next '" + one + "' '" + dir_.Sub("x.root") + "' --threshold 0", 2, "--threshold takes 1 to 16"},
      {"root sign '" + two + "' --key " + pub("r1"), 1, "is not a vmrkxupdate private key file"},
      {"root rotate '" + one + "'", 2, "root takes init, next, sign or show"},
  };
  for (const Step& step : steps) {
    Result r = RunListgen(step.arguments, dir_);
    EXPECT_EQ(r.status, step.status) << step.arguments << "\n" << r.err;
    EXPECT_NE((r.out + r.err).find(step.says), std::string::npos) << step.arguments << "\n" << r.out << r.err;
  }
  // What an updater makes of them: root 2 follows root 1, and only b signs
  // releases under it.
  vmrk::Result<RootDocument> first = AcceptFirstRoot(test::ReadFileBytes(one));
  ASSERT_TRUE(first.ok()) << first.status().message();
  vmrk::Result<RootDocument> second = AcceptNextRoot(*first, test::ReadFileBytes(two));
  ASSERT_TRUE(second.ok()) << second.status().message();
  EXPECT_EQ(second->rootKeys, first->rootKeys);
  EXPECT_EQ(second->releaseKeys, PublicKeysOfText(test::ReadFileBytes(dir_.Sub("b.pub"))));
  EXPECT_FALSE(platform::PathExists(dir_.Sub("x.root")));
}

}  // namespace
}  // namespace vmrk
