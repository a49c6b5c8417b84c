// HTTPS against nginx with TLS on loopback and a test CA that only this test
// process trusts: a valid certificate works end to end, and an expired one,
// one for another host and one from an unknown CA each fail the transfer.
#include <gtest/gtest.h>

#include <QSslCertificate>
#include <QSslConfiguration>
#include <filesystem>

#include "app/texts.h"
#include "downloader/qt/qt_downloader.h"
#include "tests/app/window_fixture.h"
#include "tests/support/event_pump.h"
#include "tests/support/nginx_server.h"
#include "tests/support/test_certificates.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;

const test::TestCertificates& Certificates() {
  static test::TempDir folder;
  static test::TestCertificates certificates = [] {
    test::TestCertificates made = test::MakeTestCertificates(folder.path());
    // Trusted from the test side only: the program has no switch for it.
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificates(QSslCertificate::fromPath(QString::fromStdString(made.caFile)));
    QSslConfiguration::setDefaultConfiguration(config);
    return made;
  }();
  return certificates;
}

struct Outcome : DownloaderEvents {
  int finished = 0, failed = 0, code = 0;
  void DL_Finished(std::int32_t) override { ++finished; }
  void DL_Failed(std::int32_t c, std::int32_t) override {
    ++failed;
    code = c;
  }
  void DL_Progress(float, std::int32_t, std::int32_t) override {}
};

struct TlsCase {
  const char* name;
  test::TlsFiles test::TestCertificates::*files;
  bool works;
  friend void PrintTo(const TlsCase& c, std::ostream* os) { *os << c.name; }
};

class HttpsTest : public testing::TestWithParam<TlsCase> {};

TEST_P(HttpsTest, OnlyAValidCertificateFromATrustedCaCarriesAFile) {
  test::TempDir root, save;
  root.Write("vmrkxupdate/list.txt", "over TLS");
  test::NginxServer nginx(root.path(), Certificates().*GetParam().files);
  QtDownloader downloader;
  Outcome outcome;
  downloader.SetEvents(&outcome);
  downloader.SetSaveFolder(save.path());
  downloader.SetSourceURL("https://" + nginx.HostPort() + "/vmrkxupdate/list.txt");
  downloader.BeginDownload();
  ASSERT_TRUE(test::PumpUntil([&] { return outcome.finished + outcome.failed > 0; }, 15000));
  EXPECT_EQ(outcome.finished, GetParam().works ? 1 : 0);
  if (GetParam().works) EXPECT_EQ(save.Read("list.txt"), "over TLS");
  else EXPECT_TRUE(fs::is_empty(save.path()));
  EXPECT_EQ(nginx.Requests().size(), GetParam().works ? 1u : 0u);  // a refused server never sees the request
}

INSTANTIATE_TEST_SUITE_P(Certificates, HttpsTest,
                         testing::Values(TlsCase{"valid", &test::TestCertificates::good, true},
                                         TlsCase{"expired", &test::TestCertificates::expired, false},
                                         TlsCase{"anotherHost", &test::TestCertificates::otherHost, false},
                                         TlsCase{"unknownCa", &test::TestCertificates::unknownCa, false}),
                         [](const testing::TestParamInfo<TlsCase>& info) { return std::string(info.param.name); });

class HttpsUpdateTest : public test::WindowFixture {};

TEST_F(HttpsUpdateTest, AWholeUpdateOverHttps) {
  Publish({{"app\\a.dll", "over TLS"}, {"win\\system32\\b.dll", "component"}});
  test::NginxServer nginx(release_.path(), Certificates().good);
  WriteAddressFile("seip:https://" + nginx.HostPort() + "\r\n");
  ASSERT_EQ(Window().Form_Load(), UpdaterWindow::LoadOutcome::kShowWindow);
  ASSERT_TRUE(test::PumpUntil([&] { return State().cmdBegin.enabled; }, 15000));
  EXPECT_EQ(State().ServerBase, "https://" + nginx.HostPort() + "/");
  RunUpdate();
  EXPECT_EQ(State().statusText, texts::kStatusCompleted);
  EXPECT_EQ(app_.Read("a.dll"), "over TLS");
  EXPECT_EQ(windows_.Read("system32/b.dll"), "component");
}

}  // namespace
}  // namespace vmrk
