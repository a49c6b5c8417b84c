// The verdicts both downloaders act on, one table per rule; the transfers
// themselves run against the loopback server in downloader_test.cpp.
#include "downloader/transfer_rules.h"

#include <gtest/gtest.h>

namespace vmrk {
namespace {

const ResumeAsk kPlain{};
const ResumeAsk kRestFrom100{100, "\"v1\"", 1000};

TEST(TransferRules, HeadersDecideWhetherTheBodyIsTheFile) {
  struct Case {
    const char* name;
    ResumeAsk asked;
    AnswerHeaders headers;
    std::uint64_t maxBytes;
    // receive, else the try's failure
    bool receive;
    bool whole;
    std::optional<std::uint64_t> total;
    std::int32_t code;
    bool transient, restart;
    const char* detailBegins;
  } cases[] = {
      {"wholeFile", kPlain, {200, "", 500, "", "\"v2\"", ""}, 1000, true, true, 500, 0, false, false, ""},
      {"wholeOfUnknownLength", kPlain, {200, "", {}, "identity", "", ""}, 1000, true, true, {}, 0, false, false, ""},
      {"theRest", kRestFrom100, {206, "bytes 100-999/1000", 900, "", "\"v1\"", ""}, 1000, true, false, 1000, 0, false,
       false, ""},
      {"theRestOfUnknownTotalKeepsTheAskedOne", kRestFrom100, {206, "bytes 100-999/*", {}, "", "", ""}, 1000, true, false,
       1000, 0, false, false, ""},
      {"wholeAgainToARange", kRestFrom100, {200, "", 1000, "", "\"v2\"", ""}, 1000, true, true, 1000, 0, false, false, ""},
      {"notFound", kPlain, {404}, 1000, false, true, {}, kCannotDownload, false, false, "HTTP 404"},
      {"busyIsWorthARetry", kPlain, {503}, 1000, false, true, {}, kCannotDownload, true, false, "HTTP 503"},
      {"notImplementedIsNot", kPlain, {501}, 1000, false, true, {}, kCannotDownload, false, false, "HTTP 501"},
      {"redirectNotFollowed", kPlain, {302}, 1000, false, true, {}, kTooManyRedirects, false, false, "HTTP 302"},
      {"noStatus", kPlain, {0}, 1000, false, true, {}, kCannotDownload, false, false, "HTTP 0"},
      {"partNobodyAskedFor", kPlain, {206, "bytes 0-9/100", 10}, 1000, false, true, {}, kCannotDownload, false, false,
       "HTTP 206, a part"},
      {"changedSinceTheKeptBytes", kRestFrom100, {206, "bytes 100-999/1000", 900, "", "\"v2\"", ""}, 1000, false, true, {},
       kCannotDownload, true, true, "HTTP 206, not the rest of the kept 100"},
      {"compressed", kPlain, {200, "", 50, "gzip", "", ""}, 1000, false, true, {}, kCannotDownload, false, false,
       "HTTP 200, encoded"},
      {"identityInCapitals", kPlain, {200, "", 50, " Identity ", "", ""}, 1000, true, true, 50, 0, false, false, ""},
      {"longerThanAllowed", kPlain, {200, "", 1001, "", "", ""}, 1000, false, true, {}, kCannotDownload, false, false,
       "HTTP 200, longer"},
      {"rangeTotalLongerThanAllowed", {100, "\"v1\"", 2000}, {206, "bytes 100-1999/2000", 1900, "", "\"v1\"", ""},
       1000, false, true, {}, kCannotDownload, false, false, "HTTP 206, longer"},
  };
  for (const Case& c : cases) {
    HeadersVerdict v = JudgeHeaders(c.asked, c.headers, c.maxBytes);
    ASSERT_EQ(v.receive, c.receive) << c.name << ": " << v.failure.detail;
    if (c.receive) {
      EXPECT_EQ(v.whole, c.whole) << c.name;
      EXPECT_EQ(v.total, c.total) << c.name;
      EXPECT_EQ(v.validator, ResumeValidator(c.headers.etag, c.headers.lastModified)) << c.name;
      continue;
    }
    EXPECT_EQ(v.failure.code, c.code) << c.name;
    EXPECT_EQ(v.failure.transient, c.transient) << c.name;
    EXPECT_EQ(v.failure.restart, c.restart) << c.name;
    EXPECT_EQ(v.failure.detail.rfind(c.detailBegins, 0), 0u) << c.name << ": " << v.failure.detail;
  }
}

TEST(TransferRules, TheBodyIsBoundedAndMustBeWhole) {
  EXPECT_FALSE(PastBound(900, 100, 1000));
  std::optional<TryFailure> past = PastBound(900, 101, 1000);
  ASSERT_TRUE(past);
  EXPECT_EQ(past->code, kCannotDownload);
  EXPECT_FALSE(past->transient);  // an endless body does not end by asking again

  EXPECT_FALSE(JudgeBodyEnd(1000, 1000));
  EXPECT_FALSE(JudgeBodyEnd(7, std::nullopt));  // no length announced: the end is the end
  std::optional<TryFailure> cut = JudgeBodyEnd(999, 1000);
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->code, kCannotDownload);
  EXPECT_TRUE(cut->transient);
  EXPECT_EQ(LocalWriteFailure("disk full").code, kCannotWriteLocally);
  EXPECT_FALSE(LocalWriteFailure("disk full").transient);
}

TEST(TransferRules, SilenceAndTransportErrorsGiveTheirCodes) {
  const DownloadTimeouts timeouts{15000, 30000, {}};
  EXPECT_EQ(SilenceLimitMs(false, timeouts), 15000);
  EXPECT_EQ(SilenceLimitMs(true, timeouts), 30000);
  EXPECT_EQ(SilenceFailure(false, 15000).code, kNoResponse);
  EXPECT_EQ(SilenceFailure(true, 30000).code, kCannotDownload);
  EXPECT_EQ(SilenceFailure(true, 30000).detail, "the body stopped: silent for 30 s");
  EXPECT_EQ(SilenceFailure(false, 1500).detail, "no response stopped: silent for 1.5 s");
  EXPECT_TRUE(SilenceFailure(false, 15000).transient);

  struct Case {
    TransportError error;
    bool begun;
    std::int32_t code;
    bool transient;
  } cases[] = {
      {TransportError::kTimedOut, false, kNoResponse, true},
      {TransportError::kTimedOut, true, kCannotDownload, true},
      {TransportError::kConnectionLost, false, kNoResponse, true},
      {TransportError::kConnectionLost, true, kCannotDownload, true},
      {TransportError::kCertificate, false, kUnknownFailure, false},
      {TransportError::kRedirect, true, kTooManyRedirects, false},
      {TransportError::kOther, false, kUnknownFailure, true},
      {TransportError::kOther, true, kCannotDownload, true},
  };
  for (const Case& c : cases) {
    TryFailure f = TransportFailure(c.error, c.begun, "why");
    EXPECT_EQ(f.code, c.code) << static_cast<int>(c.error) << " begun " << c.begun;
    EXPECT_EQ(f.transient, c.transient) << static_cast<int>(c.error) << " begun " << c.begun;
    EXPECT_FALSE(f.restart);
  }
}

TEST(TransferRules, AddressesAndProgress) {
  TransferTarget target;
  ASSERT_TRUE(PlanTransfer("http://127.0.0.1:8080/vmrkxupdate/app\\skin\\a b.dll", "/tmp/update", '/', &target).ok());
  EXPECT_EQ(target.finalPath, "/tmp/update/a b.dll");
  EXPECT_EQ(target.address.target, "/vmrkxupdate/app/skin/a%20b.dll");
  // A query goes to the server as given; the file keeps the path's name
  // (a "?" of the path itself is a name's, and encoded).
  ASSERT_TRUE(PlanTransfer("http://h/vmrkxupdate/release.sig", "/tmp/update", '/', &target, "fresh=42").ok());
  EXPECT_EQ(target.address.target, "/vmrkxupdate/release.sig?fresh=42");
  EXPECT_EQ(target.finalPath, "/tmp/update/release.sig");
  ASSERT_TRUE(PlanTransfer("http://h/vmrkxupdate/a?b.dll", "/tmp/update", '/', &target).ok());
  EXPECT_EQ(target.address.target, "/vmrkxupdate/a%3Fb.dll");
  for (const auto& [url, folder] : std::initializer_list<std::pair<const char*, const char*>>{
           {"ftp://host/a.dll", "/tmp"}, {"http://host/dir/", "/tmp"}, {"http://host/a.dll", ""}, {"a.dll", "/tmp"}})
    EXPECT_FALSE(PlanTransfer(url, folder, '/', &target).ok()) << url;

  ProgressThrottle throttle;
  EXPECT_TRUE(throttle.Due(1000, false));
  EXPECT_FALSE(throttle.Due(1049, false));
  EXPECT_TRUE(throttle.Due(1049, true));  // the last report always goes
  EXPECT_TRUE(throttle.Due(1100, false));

  EXPECT_EQ(PerMilleOf(0, std::nullopt), -1);
  EXPECT_EQ(PerMilleOf(500, 1000), 500);
  EXPECT_EQ(PerMilleOf(2000, 1000), 1000);
}

}  // namespace
}  // namespace vmrk
