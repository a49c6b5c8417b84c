// Releases published through an edge cache (Varnish in front of nginx) that
// keeps for minutes what it was asked before the next release went up.
// Whatever it holds of the release before, today's updater ends with exit 0
// and exactly one of the two releases in place, file for file and time for
// time: release N when the edge still holds N's release.sig, else N+1.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>

#include "platform/file_time.h"
#include "tests/support/nginx_server.h"
#include "tests/support/process.h"
#include "tests/support/release_writer.h"
#include "tests/support/temp_dir.h"
#include "tests/support/varnish_server.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;

struct Release {
  std::map<std::string, std::string> files;  // below app/
  std::map<std::string, std::int64_t> times;
};

// Release k: a program that changes every time, one that N and N+1 share, a
// text whose compressed copy is what is published of it, and a file new in
// N+1.
Release ReleaseNumber(int k) {
  const std::int64_t day = 1700000000 + 86400 * k;
  Release r;
  r.files["a.dll"] = test::IncompressibleBytes(10 + k, 20000);
  r.times["a.dll"] = day;
  r.files["b.dll"] = test::IncompressibleBytes(k == 0 ? 4 : 5, 30000);
  r.times["b.dll"] = k == 0 ? day : 1700000000 + 86400;
  r.files["readme.txt"] = std::string(60000, 'x') + std::to_string(k);
  r.times["readme.txt"] = day;
  if (k >= 2) {
    r.files["new.dll"] = test::IncompressibleBytes(40 + k, 5000);
    r.times["new.dll"] = day;
  }
  return r;
}

// The release's files below `folder` of dir ("" for dir itself).
void Lay(const test::TempDir& dir, const std::string& folder, const Release& r) {
  for (const auto& [name, bytes] : r.files) {
    const std::string path = dir.Write(folder + name, bytes);
    ASSERT_TRUE(platform::SetFileModifiedTime(path, r.times.at(name)).ok());
  }
}

// Each file as an upload puts it: whole under its name at once.
void Upload(const std::string& from, const std::string& to) {
  fs::create_directories(fs::path(to).parent_path());
  fs::copy_file(from, to + ".upload", fs::copy_options::overwrite_existing);
  fs::rename(to + ".upload", to);
}

// How far a publish of a generated release gets, in README's order.
enum class Publish { kWhole, kUpToTheList };

void PublishInOrder(const std::string& generated, const std::string& site, Publish how) {
  for (const auto& object : fs::directory_iterator(generated + "/objects"))
    if (!fs::exists(site + "/objects/" + object.path().filename().string()))
      Upload(object.path(), site + "/objects/" + object.path().filename().string());
  for (const auto& file : fs::recursive_directory_iterator(generated + "/app"))
    if (file.is_regular_file())
      Upload(file.path(), site + "/app/" + fs::relative(file.path(), generated + "/app").string());
  Upload(generated + "/list.txt", site + "/list.txt");
  if (how == Publish::kUpToTheList) return;
  for (const char* name : {"list.txt.sig", "list.txt.objects", "release.sig"})
    Upload(generated + "/" + name, site + "/" + name);
}

// What of release N an edge may hold when N+1 goes up: each subset of these.
const std::vector<std::vector<std::string>> kHeldFiles = {
    {"/vmrkxupdate/release.sig"},
    {"/vmrkxupdate/list.txt"},
    {"/vmrkxupdate/list.txt.sig"},
    {"/vmrkxupdate/list.txt.objects"},
    {"/vmrkxupdate/app/a.dll", "/vmrkxupdate/app/b.dll", "/vmrkxupdate/app/readme.txt"},
};

class CacheTest : public testing::Test {
 protected:
  CacheTest() {
    EXPECT_EQ(test::Process(VMRK_LISTGEN_EXE, {"keygen", keys_.Sub("maintainer.key")}, {}, false, true).WaitExit(30000), 0);
    for (int k = 0; k <= 3; ++k) {
      releases_.push_back(ReleaseNumber(k));
      generated_.push_back(std::make_unique<test::TempDir>());
      const std::string root = generated_.back()->path();
      Lay(*generated_.back(), "app/", releases_.back());
      EXPECT_EQ(test::Process(VMRK_LISTGEN_EXE,
                              {"generate", root, "-o", root + "/list.txt", "--sign", keys_.Sub("maintainer.key"),
                               "--compressed"},
                              {}, false, true)
                    .WaitExit(60000),
                0);
    }
  }

  // An installation of release 0, pointed at `hostPort`, updated with /silent.
  struct Installation {
    test::TempDir app, config, runtime, windows;
    std::unique_ptr<test::Process> run;
  };
  std::unique_ptr<Installation> StartUpdate(const std::string& hostPort) {
    auto i = std::make_unique<Installation>();
    Lay(i->app, "", releases_[0]);
    fs::copy_file(VMRK_UPDATER_EXE, i->app.Sub("vmrkxupdate"));
    fs::permissions(i->app.Sub("vmrkxupdate"), fs::perms::owner_all);
    fs::copy_file(keys_.Sub("maintainer.key.pub"), i->app.Sub("vmrkxupdate.keys"));
    i->app.Write("myip.txt", "seip:" + hostPort + "\r\n");
    i->run = std::make_unique<test::Process>(
        i->app.Sub("vmrkxupdate"), std::vector<std::string>{"--silent"},
        test::Environment{{"XDG_RUNTIME_DIR", i->runtime.path()}, {"XDG_CONFIG_HOME", i->config.path()},
                          {"DISPLAY", ""}, {"WINDIR", i->windows.path()}},
        false, true);
    return i;
  }

  // Exit 0, and the release's files in place with their times, none of
  // another's beside them.
  void ExpectRelease(Installation& i, int k, const std::string& what) {
    ASSERT_EQ(i.run->WaitExit(60000), 0) << what << "\n" << i.app.Read("vmrkxupdate.log");
    const Release& r = releases_[k];
    for (const auto& [name, bytes] : r.files) {
      EXPECT_TRUE(i.app.Read(name) == bytes) << what << ": " << name << " is not release " << k << "'s";
      Result<std::int64_t> time = platform::FileModifiedTime(i.app.Sub(name));
      EXPECT_TRUE(time.ok() && *time == r.times.at(name)) << what << ": " << name << "'s time";
    }
    EXPECT_EQ(fs::exists(i.app.Sub("new.dll")), r.files.count("new.dll") == 1) << what;
  }

  test::TempDir keys_, site_;
  std::vector<Release> releases_;
  std::vector<std::unique_ptr<test::TempDir>> generated_;
};

TEST_F(CacheTest, WhateverTheEdgeHoldsOfTheReleaseBeforeExactlyOneReleaseGoesIn) {
  const std::string site = site_.Sub("vmrkxupdate");
  test::NginxServer nginx(site_.path());
  const size_t subsets = size_t{1} << kHeldFiles.size();
  test::VarnishServer edge(nginx.port(), subsets + 1);

  PublishInOrder(generated_[1]->path(), site, Publish::kWhole);
  // The origin sends what docs/nginx-cache-headers.conf says; this edge
  // ignores it, as some do.
  const std::string origin = "http://" + nginx.HostPort() + "/vmrkxupdate/";
  EXPECT_NE(test::RunAndCapture({"curl", "-sI", origin + "release.sig"}).find("Cache-Control: no-cache"), std::string::npos);
  const std::string object = fs::directory_iterator(site + "/objects")->path().filename().string();
  EXPECT_NE(test::RunAndCapture({"curl", "-sI", origin + "objects/" + object}).find("max-age=31536000, immutable"),
            std::string::npos);
  for (size_t mask = 0; mask < subsets; ++mask)
    for (size_t f = 0; f < kHeldFiles.size(); ++f)
      if (mask & (size_t{1} << f))
        for (const std::string& path : kHeldFiles[f]) ASSERT_EQ(edge.Warm(mask, path), 200) << path;
  PublishInOrder(generated_[2]->path(), site, Publish::kWhole);

  // Four installations at a time.
  for (size_t first = 0; first < subsets; first += 4) {
    std::vector<std::unique_ptr<Installation>> running;
    for (size_t mask = first; mask < first + 4 && mask < subsets; ++mask) running.push_back(StartUpdate(edge.HostPort(mask)));
    for (size_t n = 0; n < running.size(); ++n) {
      const size_t mask = first + n;
      std::string held = "the edge holds:";
      for (size_t f = 0; f < kHeldFiles.size(); ++f)
        if (mask & (size_t{1} << f)) held += " " + kHeldFiles[f][0];
      ExpectRelease(*running[n], (mask & 1) ? 1 : 2, held);
    }
  }

  // A publish of release 3 that stopped after the list: release.sig still
  // names 2, whose files are all still there.
  PublishInOrder(generated_[3]->path(), site, Publish::kUpToTheList);
  std::unique_ptr<Installation> interrupted = StartUpdate(edge.HostPort(subsets));
  ExpectRelease(*interrupted, 2, "a publish interrupted after the list");
}

}  // namespace
}  // namespace vmrk
