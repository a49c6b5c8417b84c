// A release steered after it ships, with the real maintainer's tool and the
// real updater run unattended against nginx: a release key withdrawn by the
// next root, a rollout share and its halt, a pull-back to an earlier release,
// and moves between channels. Each installation is a folder of its own with
// its own settings, as on separate machines.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "platform/file_time.h"
#include "platform/ini_settings_store.h"
#include "tests/support/nginx_server.h"
#include "tests/support/process.h"
#include "tests/support/release_writer.h"
#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;

struct SteeredRelease {
  std::map<std::string, std::string> files;  // below app/
  std::int64_t time = 0;                      // of every file
};

SteeredRelease Steered(int k) {
  return {{{"a.dll", test::IncompressibleBytes(10 + k, 20000)}, {"b.dll", test::IncompressibleBytes(20 + k, 9000)}},
          1700000000 + 86400 * k};
}

void LaySteered(const test::TempDir& dir, const std::string& folder, const SteeredRelease& r) {
  for (const auto& [name, bytes] : r.files)
    ASSERT_TRUE(platform::SetFileModifiedTime(dir.Write(folder + name, bytes), r.time).ok());
}

int Listgen(const std::vector<std::string>& arguments) {
  return test::Process(VMRK_LISTGEN_EXE, arguments, {}, false, true).WaitExit(60000);
}

struct Installation {
  test::TempDir app, config, runtime, windows;
  platform::IniSettingsStore settings() const { return platform::IniSettingsStore(config.path()); }
  std::string Setting(const std::string& key) const { return settings().Read("tesk", "vmrmovie", key, ""); }
};

class SteeringTest : public testing::Test {
 protected:
  SteeringTest() {
    for (const char* name : {"r1", "a", "b"}) EXPECT_EQ(Listgen({"keygen", keys_.Sub(name)}), 0) << name;
    // Root 1 trusts release key a; root 2, signed by root 1's key, b alone.
    EXPECT_EQ(Listgen({"root", "init", keys_.Sub("1.root"), "--root-key", keys_.Sub("r1.pub"), "--threshold", "1",
                       "--release-key", keys_.Sub("a.pub")}),
              0);
    EXPECT_EQ(Listgen({"root", "sign", keys_.Sub("1.root"), "--key", keys_.Sub("r1")}), 0);
    EXPECT_EQ(Listgen({"root", "next", keys_.Sub("1.root"), keys_.Sub("2.root"), "--release-key", keys_.Sub("b.pub")}), 0);
    EXPECT_EQ(Listgen({"root", "sign", keys_.Sub("2.root"), "--key", keys_.Sub("r1")}), 0);
  }

  // Release r generated into the site's tree (below vmrkxupdate/, or a
  // channel's folder), signed by a release key, with the tool's flags.
  void Publish(const SteeredRelease& r, const std::string& key, std::vector<std::string> flags = {},
               const std::string& tree = "vmrkxupdate") {
    auto generated = std::make_unique<test::TempDir>();
    LaySteered(*generated, "app/", r);
    fs::create_directories(site_.Sub(tree));
    std::vector<std::string> arguments = {"generate", generated->path(), "-o", site_.Sub(tree + "/list.txt"),
                                          "--sign", keys_.Sub(key), "--compressed"};
    arguments.insert(arguments.end(), flags.begin(), flags.end());
    ASSERT_EQ(Listgen(arguments), 0);
    generated_.push_back(std::move(generated));
  }
  void PublishRoot2(bool published) {
    fs::create_directories(site_.Sub("vmrkxupdate/roots"));
    if (published) fs::copy_file(keys_.Sub("2.root"), site_.Sub("vmrkxupdate/roots/2.root"), fs::copy_options::overwrite_existing);
    else fs::remove(site_.Sub("vmrkxupdate/roots/2.root"));
  }
  // Serials are the generation's second: a release that must be newer than
  // the one before waits for the next.
  static void NextSecond() { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); }

  // Release 0 installed, root 1 beside the updater.
  std::unique_ptr<Installation> Install(const std::string& addressExtra = "") {
    auto i = std::make_unique<Installation>();
    LaySteered(i->app, "", Steered(0));
    fs::copy_file(VMRK_UPDATER_EXE, i->app.Sub("vmrkxupdate"));
    fs::permissions(i->app.Sub("vmrkxupdate"), fs::perms::owner_all);
    fs::copy_file(keys_.Sub("1.root"), i->app.Sub("vmrkxupdate.root"));
    i->app.Write("myip.txt", "seip:" + nginx_.HostPort() + "\r\n" + addressExtra);
    return i;
  }
  std::unique_ptr<test::Process> Start(Installation& i, const char* mode = "--silent") {
    return std::make_unique<test::Process>(
        i.app.Sub("vmrkxupdate"), std::vector<std::string>{mode},
        test::Environment{{"XDG_RUNTIME_DIR", i.runtime.path()}, {"XDG_CONFIG_HOME", i.config.path()},
                          {"DISPLAY", ""}, {"WINDIR", i.windows.path()}},
        false, true);
  }
  int Run(Installation& i, const char* mode = "--silent") { return Start(i, mode)->WaitExit(60000); }
  static std::string Log(Installation& i) { return i.app.Read("vmrkxupdate.log"); }

  // Which release the installation holds, file for file and time for time:
  // its number, or -1 for a mixture.
  static int Holds(Installation& i) {
    for (int k = 0; k <= 3; ++k) {
      const SteeredRelease r = Steered(k);
      bool all = true;
      for (const auto& [name, bytes] : r.files) {
        Result<std::int64_t> time = platform::FileModifiedTime(i.app.Sub(name));
        all = all && i.app.Read(name) == bytes && time.ok() && *time == r.time;
      }
      if (all) return k;
    }
    return -1;
  }

  test::TempDir keys_, site_;
  test::NginxServer nginx_{site_.path()};
  std::vector<std::unique_ptr<test::TempDir>> generated_;
};

TEST_F(SteeringTest, AWithdrawnReleaseKeySignsNothingOnceTheNextRootIsPublished) {
  Publish(Steered(1), "b");
  PublishRoot2(true);
  auto seen = Install();
  ASSERT_EQ(Run(*seen), 0) << Log(*seen);
  EXPECT_EQ(Holds(*seen), 1);
  EXPECT_NE(Log(*seen).find("root 2 accepted"), std::string::npos);
  EXPECT_FALSE(seen->Setting("releaseroot2").empty()) << "the newest root is kept";

  // Key a leaks: a hostile release 2 signed by it.
  NextSecond();
  Publish(Steered(2), "a");
  struct Case {
    const char* name;
    Installation& installation;
    bool root2Published;
    int status;
    int holds;
  };
  auto unseen = Install(), control = Install();
  const Case cases[] = {
      // The kept root 2 holds even where the server hides it.
      {"has seen root 2", *seen, false, 2, 1},
      {"walks to root 2 first in the same run", *unseen, true, 2, 0},
      // What the test would see if the walk were broken: root 1 trusts a.
      {"never told of root 2", *control, false, 0, 2},
  };
  for (const Case& c : cases) {
    PublishRoot2(c.root2Published);
    EXPECT_EQ(Run(c.installation), c.status) << c.name << "\n" << Log(c.installation);
    EXPECT_EQ(Holds(c.installation), c.holds) << c.name;
  }
  EXPECT_FALSE(unseen->Setting("releaseroot2").empty()) << "root 2 is kept by the run that refused";
  EXPECT_NE(Log(*unseen).find("the manifest has 0 of the 1 release key signatures it needs under root 2"),
            std::string::npos);

  // A kept root that does not follow the shipped one adds no trust: the
  // walk starts again from root 1, and finds root 2.
  PublishRoot2(true);
  auto planted = Install();
  planted->settings().Write("tesk", "vmrmovie", "releaseroot2", "dGhpcyBpcyBub3QgYSByb290").IgnoreError();
  EXPECT_EQ(Run(*planted), 2) << Log(*planted);
  EXPECT_NE(Log(*planted).find("root 2 accepted"), std::string::npos);
}

TEST_F(SteeringTest, ARolloutGivesTheReleaseToItsShareAndAHaltToNoOneMore) {
  PublishRoot2(false);
  Publish(Steered(1), "a", {"--rollout", "25"});
  // Sixteen installations whose numbers are k × 2^28: k = 0..3 fall under a
  // quarter of 2^32, and 4 (2^30 itself) is the first that does not.
  constexpr int kInstallations = 16;
  std::vector<std::unique_ptr<Installation>> fleet;
  std::vector<std::unique_ptr<test::Process>> checks;
  for (int k = 0; k < kInstallations; ++k) {
    fleet.push_back(Install());
    fleet.back()->settings().Write("tesk", "vmrmovie", "rolloutnumber", std::to_string(std::uint64_t(k) << 28)).IgnoreError();
    checks.push_back(Start(*fleet.back(), "--check"));
  }
  int offered = 0;
  for (int k = 0; k < kInstallations; ++k) {
    const int status = checks[k]->WaitExit(60000);
    EXPECT_EQ(status, k < 4 ? 10 : 0) << "installation " << k << "\n" << Log(*fleet[k]);
    offered += status == 10;
  }
  EXPECT_EQ(offered, 4);
  EXPECT_NE(Log(*fleet[4]).find("held back by the rollout: share 25 %, this installation's number 1073741824"),
            std::string::npos);

  // With no number kept, one is drawn once and kept: a check and the run
  // after it agree.
  auto drawn = Install();
  const int checked = Run(*drawn, "--check");
  const std::string number = drawn->Setting("rolloutnumber");
  ASSERT_FALSE(number.empty());
  EXPECT_EQ(checked, std::stoull(number) < (std::uint64_t{1} << 30) ? 10 : 0);
  EXPECT_EQ(Run(*drawn), 0);
  EXPECT_EQ(drawn->Setting("rolloutnumber"), number);
  EXPECT_EQ(Holds(*drawn), checked == 10 ? 1 : 0);

  // Installation 1 takes release 1; then release 2 goes out at a share of 0.
  ASSERT_EQ(Run(*fleet[1]), 0);
  ASSERT_EQ(Holds(*fleet[1]), 1);
  NextSecond();
  Publish(Steered(2), "a", {"--rollout", "0"});
  for (int k : {0, 1, 2, 4}) {
    EXPECT_EQ(Run(*fleet[k]), 0) << k << "\n" << Log(*fleet[k]);
    EXPECT_EQ(Holds(*fleet[k]), k == 1 ? 1 : 0) << "installation " << k << " after the halt";
  }
}

TEST_F(SteeringTest, AnExactReleaseTakesEveryInstallationBackAndMendsWhatDiffers) {
  PublishRoot2(false);
  Publish(Steered(1), "a");
  NextSecond();
  Publish(Steered(2), "a");
  auto damaged = Install(), plain = Install();
  for (Installation* i : {damaged.get(), plain.get()}) {
    ASSERT_EQ(Run(*i), 0) << Log(*i);
    ASSERT_EQ(Holds(*i), 2);
  }
  // A file damaged in place: newer than any list says, so dates alone never
  // offer it again.
  damaged->app.Write("b.dll", "damaged");
  ASSERT_TRUE(platform::SetFileModifiedTime(damaged->app.Sub("b.dll"), 2000000000).ok());

  // Release 1 again, without the mark: its older dates change nothing.
  NextSecond();
  Publish(Steered(1), "a");
  EXPECT_EQ(Run(*plain), 0);
  EXPECT_EQ(Holds(*plain), 2);
  // And marked exact: every file back to it, the damaged one too.
  NextSecond();
  Publish(Steered(1), "a", {"--exact"});
  for (Installation* i : {plain.get(), damaged.get()}) {
    EXPECT_EQ(Run(*i), 0) << Log(*i);
    EXPECT_EQ(Holds(*i), 1) << Log(*i);
  }
  // Once back, the same exact release offers nothing.
  EXPECT_EQ(Run(*plain, "--check"), 0);
}

TEST_F(SteeringTest, AMoveToAChannelWhoseReleaseIsOlderTakesItOnlyWhenExact) {
  PublishRoot2(false);
  const std::string beta = "vmrkxupdate/channels/beta";
  // beta's two releases of 1, then the default channel's 2: both older.
  auto betaPlain = std::make_unique<test::TempDir>(), betaExact = std::make_unique<test::TempDir>();
  Publish(Steered(1), "a", {"--channel", "beta"}, beta);
  fs::copy(site_.Sub(beta), betaPlain->path(), fs::copy_options::recursive);
  NextSecond();
  Publish(Steered(1), "a", {"--channel", "beta", "--exact"}, beta);
  fs::copy(site_.Sub(beta), betaExact->path(), fs::copy_options::recursive);
  NextSecond();
  Publish(Steered(2), "a");
  auto i = Install("channel: beta\r\n");
  i->settings().Write("tesk", "vmrmovie", "channel", "").IgnoreError();
  // First on the default channel: the same installation, no channel line.
  i->app.Write("myip.txt", "seip:" + nginx_.HostPort() + "\r\n");
  ASSERT_EQ(Run(*i), 0) << Log(*i);
  ASSERT_EQ(Holds(*i), 2);

  struct Case {
    const char* name;
    const test::TempDir* betaTree;  // what beta's folder holds
    bool defaultsManifestInBeta;    // the default channel's release3.sig passed off as beta's
    int status;
    int holds;
  };
  const Case cases[] = {
      {"older and not exact", betaPlain.get(), false, 0, 2},
      {"another channel's release", betaPlain.get(), true, 2, 2},
      {"older and exact", betaExact.get(), false, 0, 1},
  };
  i->app.Write("myip.txt", "seip:" + nginx_.HostPort() + "\r\nchannel: beta\r\n");
  for (const Case& c : cases) {
    fs::remove_all(site_.Sub(beta));
    fs::copy(c.betaTree->path(), site_.Sub(beta), fs::copy_options::recursive);
    if (c.defaultsManifestInBeta)
      fs::copy_file(site_.Sub("vmrkxupdate/release3.sig"), site_.Sub(beta + "/release3.sig"),
                    fs::copy_options::overwrite_existing);
    EXPECT_EQ(Run(*i), c.status) << c.name << "\n" << Log(*i);
    EXPECT_EQ(Holds(*i), c.holds) << c.name;
  }
  EXPECT_EQ(i->Setting("releasechannel"), "beta");
  // Back to the default channel, whose release is newer: taken as any newer one.
  i->app.Write("myip.txt", "seip:" + nginx_.HostPort() + "\r\n");
  EXPECT_EQ(Run(*i), 0) << Log(*i);
  EXPECT_EQ(Holds(*i), 2);
}

}  // namespace
}  // namespace vmrk
