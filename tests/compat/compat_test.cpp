// Releases and updaters of before and after release objects, against each
// other through nginx, and through an edge cache in front of it: an updater
// already in users' hands still updates from a release published with
// deltas and release.sig (it asks for neither), and today's updater updates
// from a release published without them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
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

constexpr std::int64_t kListed = 1210602605;    // 2008-05-12: the release's files
constexpr std::int64_t kInstalled = 946684800;  // 2000-01-01: older, so offered

struct Pairing {
  const char* name;
  friend void PrintTo(const Pairing& p, std::ostream* os) { *os << p.name; }
  const char* updater;
  const char* listgen;
  bool deltas;          // the release is published with --delta-from
  bool asksForObjects;  // the updater asks for the index (and, when there, the package)
  bool byContent;       // both of today: only release.sig at a fixed name, the rest by content
  bool throughAnEdge = false;  // through Varnish in front of nginx, as a CDN serves the tree
};

class CompatTest : public testing::TestWithParam<Pairing> {};

TEST_P(CompatTest, TheReleaseGoesInWhole) {
  const Pairing& p = GetParam();
  test::TempDir release, old, app, config, runtime, windows, keys;
  std::string a0 = test::IncompressibleBytes(1, 100 << 10), a1 = a0;
  a1.replace(5000, 6, "edited");
  const std::string root = release.Sub("vmrkxupdate");
  for (const auto& [name, content] : {std::pair{"app/a.dll", a1}, std::pair{"app/new.dll", test::IncompressibleBytes(2, 4096)}})
    ASSERT_TRUE(platform::SetFileModifiedTime(release.Write(std::string("vmrkxupdate/") + name, content), kListed).ok());
  old.Write("app/a.dll", a0);
  ASSERT_TRUE(platform::SetFileModifiedTime(app.Write("a.dll", a0), kInstalled).ok());

  ASSERT_EQ(test::Process(p.listgen, {"keygen", keys.Sub("maintainer.key")}, {}, false, true).WaitExit(30000), 0);
  std::vector<std::string> generate = {"generate", root, "-o", root + "/list.txt", "--sign", keys.Sub("maintainer.key")};
  if (p.deltas) generate.insert(generate.end(), {"--delta-from", old.path()});
  ASSERT_EQ(test::Process(p.listgen, generate, {}, false, true).WaitExit(60000), 0);
  ASSERT_EQ(fs::exists(root + "/list.txt.objects"), p.deltas);

  fs::copy_file(p.updater, app.Sub("vmrkxupdate"));
  fs::permissions(app.Sub("vmrkxupdate"), fs::perms::owner_all);
  fs::copy_file(keys.Sub("maintainer.key.pub"), app.Sub("vmrkxupdate.keys"));
  test::NginxServer nginx(release.path());
  std::unique_ptr<test::VarnishServer> edge;
  if (p.throughAnEdge) edge = std::make_unique<test::VarnishServer>(nginx.port(), 1);
  app.Write("myip.txt", "seip:" + (edge ? edge->HostPort(0) : nginx.HostPort()) + "\r\n");
  test::Process run(app.Sub("vmrkxupdate"), {"--silent"},
                    {{"XDG_RUNTIME_DIR", runtime.path()}, {"XDG_CONFIG_HOME", config.path()}, {"DISPLAY", ""},
                     {"WINDIR", windows.path()}},
                    false, true);
  ASSERT_EQ(run.WaitExit(60000), 0) << app.Read("vmrkxupdate.log");
  EXPECT_TRUE(app.Read("a.dll") == a1);
  EXPECT_TRUE(app.Read("new.dll") == test::IncompressibleBytes(2, 4096));

  bool askedIndex = false, askedPackage = false, askedPlain = false, askedFixedList = false;
  for (const std::string& request : nginx.Requests()) {
    const bool object = request.rfind("GET /vmrkxupdate/objects/", 0) == 0;
    askedIndex = askedIndex || request == "GET /vmrkxupdate/list.txt.objects" || (object && request.ends_with(".idx"));
    askedPackage = askedPackage || (object && request.ends_with(".pack"));
    askedPlain = askedPlain || request == "GET /vmrkxupdate/app/a.dll";
    askedFixedList = askedFixedList || request == "GET /vmrkxupdate/list.txt";
  }
  EXPECT_EQ(askedIndex, p.asksForObjects);
  EXPECT_EQ(askedPackage, p.asksForObjects && p.deltas);
  EXPECT_EQ(askedFixedList, !p.byContent);
  EXPECT_EQ(askedPlain, !(p.asksForObjects && p.deltas)) << "the changed file comes whole only without a delta";
}

INSTANTIATE_TEST_SUITE_P(
    Builds, CompatTest,
    testing::Values(Pairing{"anOldUpdaterAndANewRelease", VMRK_OLD_UPDATER, VMRK_NEW_LISTGEN, true, false, false},
                    Pairing{"aNewUpdaterAndAnOldRelease", VMRK_NEW_UPDATER, VMRK_OLD_LISTGEN, false, true, false},
                    Pairing{"aNewUpdaterAndANewRelease", VMRK_NEW_UPDATER, VMRK_NEW_LISTGEN, true, true, true},
                    Pairing{"anOldUpdaterThroughAnEdge", VMRK_OLD_UPDATER, VMRK_NEW_LISTGEN, true, false, false, true},
                    Pairing{"aNewUpdaterThroughAnEdge", VMRK_NEW_UPDATER, VMRK_NEW_LISTGEN, true, true, true, true}),
    [](const testing::TestParamInfo<Pairing>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vmrk
