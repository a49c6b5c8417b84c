#include "downloader/downloader.h"
#include "downloader/resume.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <vector>

#include "platform/crypto.h"
#include "tests/support/event_pump.h"
#include "tests/support/platform_downloader.h"
#include "tests/support/loopback_server.h"
#include "tests/support/mute_listener.h"
#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

// Collects the downloader's events as they arrive; optionally reacts to a
// finish the way the window does.
struct EventLog : DownloaderEvents {
  std::vector<std::int32_t> finished;
  std::vector<std::int32_t> failed;
  std::vector<float> progress;
  std::vector<std::int32_t> retries;  // the attempt of each DL_Retrying
  std::function<void()> onFinished;
  bool inside = false;  // set while BeginDownload runs
  bool deliveredInside = false;

  void DL_Finished(std::int32_t value) override {
    deliveredInside |= inside;
    finished.push_back(value);
    if (onFinished) onFinished();
  }
  void DL_Failed(std::int32_t code, std::int32_t) override {
    deliveredInside |= inside;
    failed.push_back(code);
  }
  void DL_Progress(float fraction, std::int32_t, std::int32_t) override { progress.push_back(fraction); }
  void DL_Retrying(std::int32_t attempt, std::int32_t tries) override {
    deliveredInside |= inside;
    retries.push_back(attempt);
    EXPECT_LE(attempt, tries);
  }
  size_t ends() const { return finished.size() + failed.size(); }
};

// Without retries unless a test asks: what one try does.
class DownloaderTest : public testing::Test {
 protected:
  explicit DownloaderTest(std::vector<int> retryDelaysMs = {})
      : server_(root_.path()),
        owned_(test::CreatePlatformDownloader({2000, 1500, std::move(retryDelaysMs)})),
        downloader_(*owned_) {
    downloader_.SetEvents(&events_);
    downloader_.SetSaveFolder(save_.Native());
  }

  void Start(const std::string& address) {
    downloader_.SetSourceURL(address);
    events_.inside = true;
    downloader_.BeginDownload();
    events_.inside = false;
  }
  bool WaitForEnd(size_t count = 1, int ms = 15000) {
    return test::PumpUntil([&] { return events_.ends() >= count; }, ms);
  }
  size_t FilesInSaveFolder() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(test::PathOf(save_.path())), {}));
  }

  test::TempDir root_;
  test::TempDir save_;
  test::LoopbackServer server_;
  EventLog events_;
  std::unique_ptr<Downloader> owned_;
  Downloader& downloader_;
};

TEST_F(DownloaderTest, SavesTheBodyUnderTheNameBehindTheLastBackslash) {
  root_.Write("vmrkxupdate/app/plugins/a.dll", "plugin bytes");
  Start(server_.Url("/vmrkxupdate/app\\plugins\\a.dll"));
  ASSERT_TRUE(WaitForEnd());
  ASSERT_EQ(events_.finished.size(), 1u);
  EXPECT_GT(events_.finished[0], 0);
  EXPECT_FALSE(events_.deliveredInside);
  EXPECT_EQ(downloader_.SavedFileName(), save_.NativeSub("a.dll"));
  EXPECT_EQ(save_.Read("a.dll"), "plugin bytes");
  EXPECT_EQ(FilesInSaveFolder(), 1u);  // no temporary file left
  ASSERT_FALSE(server_.Requests().empty());
  EXPECT_EQ(server_.Requests().back().path, "/vmrkxupdate/app/plugins/a.dll");
}

TEST_F(DownloaderTest, TheHashRidesTheStreamWhenAsked) {
  std::string body;
  for (int i = 0; i < 300000; ++i) body += static_cast<char>(i * 7 % 251);
  root_.Write("vmrkxupdate/big.bin", body);
  Start(server_.Url("/vmrkxupdate/big.bin"));
  ASSERT_TRUE(WaitForEnd());
  EXPECT_EQ(downloader_.SavedFileSha256(), "");  // off unless a signed release asks
  downloader_.SetComputeSha256(true);
  Start(server_.Url("/vmrkxupdate/big.bin"));
  ASSERT_TRUE(WaitForEnd(2));
  platform::Sha256Digest expected = platform::Sha256Of(body);
  EXPECT_EQ(downloader_.SavedFileSha256(), std::string(reinterpret_cast<const char*>(expected.data()), 32));
  EXPECT_EQ(save_.Read("big.bin"), body);
}

// A transfer started from a request takes nothing of the one before it: not
// its part of the file, its bound, its hash or its folder.
TEST_F(DownloaderTest, ARequestLeavesNothingOfTheTransferBefore) {
  const std::string body(5000, 'w');
  root_.Write("vmrkxupdate/whole.bin", body);
  test::TempDir other;
  downloader_.SetByteRange(100, 10);
  downloader_.SetMaxBytes(20);
  downloader_.SetComputeSha256(true);
  downloader_.BeginDownload(TransferRequest{server_.Url("/vmrkxupdate/whole.bin"), other.Native()});
  ASSERT_TRUE(WaitForEnd());
  ASSERT_EQ(events_.finished.size(), 1u) << downloader_.FailureDetail();
  EXPECT_EQ(other.Read("whole.bin"), body);
  EXPECT_EQ(downloader_.SavedFileSha256(), "");
  EXPECT_EQ(FilesInSaveFolder(), 0u);
}

// A connection opened ahead is the one the next transfer takes: the server
// sees it before any request, and no other. Opening one reports nothing.
TEST_F(DownloaderTest, APreconnectedConnectionCarriesTheNextTransfer) {
  EXPECT_FALSE(downloader_.Preconnect("ftp://127.0.0.1/"));
  EXPECT_FALSE(downloader_.Preconnect("not an address"));
  root_.Write("vmrkxupdate/a.bin", "ahead");
  const bool ahead = downloader_.Preconnect(server_.Url("/vmrkxupdate/"));
  if (ahead) {
    ASSERT_TRUE(test::PumpUntil([&] { return server_.Connections().size() == 1; }, 5000));
  } else {
    test::PumpFor(300);  // connects with each request (WinHTTP)
    EXPECT_TRUE(server_.Connections().empty());
  }
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_EQ(events_.ends(), 0u);
  Start(server_.Url("/vmrkxupdate/a.bin"));
  ASSERT_TRUE(WaitForEnd());
  ASSERT_EQ(events_.finished.size(), 1u) << downloader_.FailureDetail();
  EXPECT_EQ(save_.Read("a.bin"), "ahead");
  const std::vector<test::LoggedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  // WinHTTP may take a connection an earlier transfer left open: only one
  // opened ahead is known here.
  if (ahead) EXPECT_EQ(server_.Connections(), std::vector<int>{requests[0].connection});
}

TEST_F(DownloaderTest, ChineseNamesAndSpacesArriveAsFilePaths) {
  root_.Write("vmrkxupdate/app/皮肤 蓝.dat", "skin");
  Start(server_.Url("/vmrkxupdate/app\\皮肤 蓝.dat"));
  ASSERT_TRUE(WaitForEnd());
  ASSERT_EQ(events_.finished.size(), 1u);
  EXPECT_EQ(save_.Read("皮肤 蓝.dat"), "skin");
  EXPECT_EQ(server_.Requests().back().path, "/vmrkxupdate/app/%E7%9A%AE%E8%82%A4%20%E8%93%9D.dat");
}

TEST_F(DownloaderTest, ReplacesAnOlderFileOfTheSameName) {
  save_.Write("list.txt", "old old old old");
  root_.Write("vmrkxupdate/list.txt", "new");
  Start(server_.Url("/vmrkxupdate/list.txt"));
  ASSERT_TRUE(WaitForEnd());
  ASSERT_EQ(events_.finished.size(), 1u);
  EXPECT_EQ(save_.Read("list.txt"), "new");
}

TEST_F(DownloaderTest, EmptyBodyIsAFinishedEmptyFile) {
  Start(server_.Url("/fault/empty/zero.bin"));
  ASSERT_TRUE(WaitForEnd());
  ASSERT_EQ(events_.finished.size(), 1u);
  EXPECT_EQ(save_.Read("zero.bin"), "");
}

TEST_F(DownloaderTest, UpToTenRedirectsAreFollowed) {
  Start(server_.Url("/fault/redirect/10/r.txt"));
  ASSERT_TRUE(WaitForEnd());
  ASSERT_EQ(events_.finished.size(), 1u);
  // The file keeps the name of the address it was asked for.
  EXPECT_EQ(save_.Read("r.txt"), "redirected body\n");
}

struct FailureCase {
  const char* name;
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
  std::string path;  // below the server; "" for the address itself
  std::int32_t code;
  std::uint64_t maxBytes = kDefaultMaxBytes;
};

class DownloadFailureTest : public DownloaderTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(DownloadFailureTest, EndsWithItsCodeAndLeavesNoFile) {
  downloader_.SetMaxBytes(GetParam().maxBytes);
  auto begun = std::chrono::steady_clock::now();
  Start(server_.Url(GetParam().path));
  ASSERT_TRUE(WaitForEnd());
  // Bounded bodies end at their bound, not when the server tires.
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(5));
  EXPECT_TRUE(events_.finished.empty());
  ASSERT_EQ(events_.failed.size(), 1u);
  EXPECT_EQ(events_.failed[0], GetParam().code);
  EXPECT_FALSE(events_.deliveredInside);
  EXPECT_EQ(FilesInSaveFolder(), 0u);
  // Exactly one event per transfer.
  test::PumpFor(200);
  EXPECT_EQ(events_.ends(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DownloadFailureTest,
    testing::Values(FailureCase{"notFound", "/vmrkxupdate/missing.dll", kCannotDownload},
                    FailureCase{"serverError", "/fault/status/500/a.dll", kCannotDownload},
                    FailureCase{"forbidden", "/fault/status/403/a.dll", kCannotDownload},
                    FailureCase{"cutShort", "/fault/cut/a.dll", kCannotDownload},
                    FailureCase{"elevenRedirects", "/fault/redirect/11/a.dll", kTooManyRedirects},
                    FailureCase{"hangUpBeforeResponse", "/fault/hangup/a.dll", kNoResponse},
                    FailureCase{"stallBeforeTheResponse", "/fault/stall/a.dll", kNoResponse},
                    FailureCase{"stallInTheBody", "/fault/stallbody/a.dll", kCannotDownload},
                    FailureCase{"partNobodyAskedFor", "/fault/partial/a.dll", kCannotDownload},
                    FailureCase{"encodingNobodyAskedFor", "/fault/gzip/a.dll", kCannotDownload},
                    FailureCase{"endlessPastItsBound", "/fault/endless/a.dll", kCannotDownload, 1000},
                    FailureCase{"announcedPastItsBound", "/fault/bytes/5000/a.dll", kCannotDownload, 1000},
                    FailureCase{"endlessPastTheDefault", "/fault/endless/list.txt", kCannotDownload}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

struct BadAddressCase {
  const char* name;
  friend void PrintTo(const BadAddressCase& c, std::ostream* os) { *os << c.name; }
  std::string address;
};

class UnusableAddressTest : public DownloaderTest, public testing::WithParamInterface<BadAddressCase> {};

TEST_P(UnusableAddressTest, FailsLaterWithCode99) {
  Start(GetParam().address);
  EXPECT_TRUE(events_.failed.empty());  // never from inside BeginDownload
  ASSERT_TRUE(WaitForEnd());
  ASSERT_EQ(events_.failed.size(), 1u);
  EXPECT_EQ(events_.failed[0], kUnknownFailure);
  EXPECT_FALSE(events_.deliveredInside);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, UnusableAddressTest,
    testing::Values(BadAddressCase{"emptyServer", "http:///vmrkxupdate/list.txt"},
                    BadAddressCase{"lineBreakInServer", "http://127.0.0.1\r\n/vmrkxupdate/list.txt"},
                    BadAddressCase{"noFileName", "http://127.0.0.1:1/vmrkxupdate/"},
                    BadAddressCase{"nothingListens", "http://127.0.0.1:1/vmrkxupdate/list.txt"}),
    [](const testing::TestParamInfo<BadAddressCase>& info) { return std::string(info.param.name); });

TEST_F(DownloaderTest, MissingSaveFolderFailsWithoutARequest) {
  downloader_.SetSaveFolder(save_.NativeSub("no/such/folder"));
  root_.Write("vmrkxupdate/list.txt", "x");
  Start(server_.Url("/vmrkxupdate/list.txt"));
  ASSERT_TRUE(WaitForEnd());
  ASSERT_EQ(events_.failed.size(), 1u);
  EXPECT_EQ(events_.failed[0], kCannotWriteLocally);
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(DownloaderTest, AbortInTheMiddleSilencesTheTransferAndLeavesNoFile) {
  Start(server_.Url("/fault/slow/400000/slow.bin"));
  ASSERT_TRUE(test::PumpUntil([&] { return !events_.progress.empty(); }, 10000));
  downloader_.AbortDownload();
  test::PumpFor(500);
  EXPECT_EQ(events_.ends(), 0u);
  EXPECT_EQ(FilesInSaveFolder(), 0u);
  downloader_.AbortDownload();  // harmless when nothing runs
}

// The ways a transfer can hang: in the TLS handshake, waiting for the
// response, in the middle of the body, or merely slow.
struct QuietCase {
  const char* name;
  friend void PrintTo(const QuietCase& c, std::ostream* os) { *os << c.name; }
  enum Where { kMuteHttps, kMuteHttp, kServer } where;
  std::string path;           // on the fault server
  bool waitForBody;           // abort only once bytes have come
  std::int32_t timeoutCode;   // 0: the transfer keeps moving and finishes
  const char* waited;         // what the failure says it waited ("": either bound, as the client chooses)
};

class QuietTransferTest : public DownloaderTest, public testing::WithParamInterface<QuietCase> {
 protected:
  std::string Address() {
    const QuietCase& c = GetParam();
    if (c.where == QuietCase::kServer) return server_.Url(c.path);
    return std::string(c.where == QuietCase::kMuteHttps ? "https" : "http") + "://127.0.0.1:" +
           std::to_string(mute_.port()) + "/vmrkxupdate/list.txt";
  }
  void StartAndSettle() {
    Start(Address());
    if (GetParam().waitForBody) {
      ASSERT_TRUE(test::PumpUntil([&] { return FilesInSaveFolder() > 0 || !events_.progress.empty(); }, 10000));
    }
    test::PumpFor(500);
  }
  test::MuteListener mute_;
};

TEST_P(QuietTransferTest, AbortAndTheDownloadersEndReturnAtOnceAndLeaveNothing) {
  StartAndSettle();
  ASSERT_EQ(events_.ends(), 0u);
  auto begun = std::chrono::steady_clock::now();
  downloader_.AbortDownload();
  owned_.reset();  // what closing the window does next
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(500));
  test::PumpFor(300);
  EXPECT_EQ(events_.ends(), 0u);
  EXPECT_EQ(FilesInSaveFolder(), 0u);
}

TEST_P(QuietTransferTest, SilenceEndsTheTransferWithCode3BeforeAnyByteAndCode1After) {
  auto begun = std::chrono::steady_clock::now();
  Start(Address());
  ASSERT_TRUE(WaitForEnd(1, 10000));
  if (GetParam().timeoutCode == 0) {
    // Slower in total than the silence allowed, yet never silent for long.
    EXPECT_EQ(events_.finished.size(), 1u);
    return;
  }
  // The fixture allows 2 s to connect and 1.5 s of silence.
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(4500));
  ASSERT_EQ(events_.failed.size(), 1u);
  EXPECT_EQ(events_.failed[0], GetParam().timeoutCode);
  EXPECT_NE(downloader_.FailureDetail().find(std::string("silent for ") + GetParam().waited), std::string::npos)
      << downloader_.FailureDetail();
  EXPECT_EQ(downloader_.FailureDetail().find("silent for 1 s"), std::string::npos) << "1.5 s, not 1";
  EXPECT_EQ(FilesInSaveFolder(), 0u);
  test::PumpFor(300);
  EXPECT_EQ(events_.ends(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Stalls, QuietTransferTest,
    // The fixture's bounds: 2 s until the request is out, 1.5 s of silence after.
    // WinHTTP under Wine waits out a TLS handshake by the receive bound.
    testing::Values(QuietCase{"inTheTlsHandshake", QuietCase::kMuteHttps, "", false, kNoResponse, ""},
                    QuietCase{"beforeTheConnectionIsServed", QuietCase::kMuteHttp, "", false, kNoResponse, "1.5 s"},
                    QuietCase{"waitingForTheResponse", QuietCase::kServer, "/fault/stall/a.dll", false, kNoResponse,
                              "1.5 s"},
                    QuietCase{"inTheBody", QuietCase::kServer, "/fault/stallbody/a.dll", true, kCannotDownload,
                              "1.5 s"},
                    QuietCase{"slowButMoving", QuietCase::kServer, "/fault/slow/150000/a.dll", true, 0, ""}),
    [](const testing::TestParamInfo<QuietCase>& info) { return std::string(info.param.name); });

TEST_F(DownloaderTest, AbortBeforeAnUnusableAddressFailsSilencesItToo) {
  Start("http:///x/list.txt");
  downloader_.AbortDownload();
  test::PumpFor(300);
  EXPECT_EQ(events_.ends(), 0u);
}

TEST_F(DownloaderTest, NextTransferStartsFromInsideFinishedOverTheSameConnection) {
  root_.Write("vmrkxupdate/app/one.txt", "1");
  root_.Write("vmrkxupdate/app/two.txt", "22");
  std::vector<std::string> saved;
  events_.onFinished = [&] {
    saved.push_back(downloader_.SavedFileName());
    if (saved.size() == 1) {
      downloader_.AbortDownload();
      downloader_.SetSourceURL(server_.Url("/vmrkxupdate/app\\two.txt"));
      downloader_.BeginDownload();
    }
  };
  Start(server_.Url("/vmrkxupdate/app\\one.txt"));
  ASSERT_TRUE(WaitForEnd(2));
  ASSERT_EQ(saved.size(), 2u);
  EXPECT_EQ(saved[0], save_.NativeSub("one.txt"));
  EXPECT_EQ(saved[1], save_.NativeSub("two.txt"));
  EXPECT_EQ(save_.Read("two.txt"), "22");
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].connection, requests[1].connection) << "keep-alive expected";
}

TEST_F(DownloaderTest, ProgressRisesToOneAtAboutTwentyReportsASecond) {
  auto begun = std::chrono::steady_clock::now();
  Start(server_.Url("/fault/slow/120000/slow.bin"));  // 117 pieces, 20 ms apart
  ASSERT_TRUE(WaitForEnd(1, 20000));
  auto elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begun).count();
  ASSERT_EQ(events_.finished.size(), 1u);
  ASSERT_FALSE(events_.progress.empty());
  for (size_t i = 1; i < events_.progress.size(); ++i) EXPECT_GE(events_.progress[i], events_.progress[i - 1]);
  EXPECT_FLOAT_EQ(events_.progress.back(), 1.0f);
  // Unthrottled there would be a report per piece; throttled, one per 50 ms
  // of the transfer's own duration and the final one.
  EXPECT_LE(events_.progress.size(), static_cast<size_t>(elapsedMs / 50 + 2));
  EXPECT_LT(events_.progress.size(), 117u);
  EXPECT_EQ(std::filesystem::file_size(test::PathOf(save_.Sub("slow.bin"))), 120000u);
}

// A transfer that breaks off after bytes came: the server's marker files
// (see http_server.py) cut, change or misanswer it on purpose.
struct ResumeCase {
  const char* name;
  friend void PrintTo(const ResumeCase& c, std::ostream* os) { *os << c.name; }
  std::vector<std::pair<std::string, std::string>> markers;  // extension, content
  std::vector<std::string> ranges;  // the Range of each try's request, in order
  std::vector<std::int32_t> retries;
  std::int32_t failure = 0;  // 0: finishes with the file as it is by then
  bool changes = false;      // the file is replaced after the first cut
  BytePart part = {};        // length 0: the whole file
};

class ResumeTest : public DownloaderTest, public testing::WithParamInterface<ResumeCase> {
 protected:
  ResumeTest() : DownloaderTest({50, 50, 50}) {}
  static std::string Body(int seed) {
    std::string body;
    for (int i = 0; i < 300000; ++i) body += static_cast<char>((i * 7 + seed) % 251);
    return body;
  }
};

TEST_P(ResumeTest, KeepsTheBytesThatCameAndHashesTheWholeFile) {
  const ResumeCase& c = GetParam();
  root_.Write("vmrkxupdate/r.bin", Body(0));
  for (const auto& [extension, content] : c.markers) root_.Write("vmrkxupdate/r.bin" + extension, content);
  if (c.changes) root_.Write("vmrkxupdate/r.bin.next", Body(1));
  downloader_.SetComputeSha256(true);
  downloader_.SetMaxBytes(300000);
  downloader_.SetByteRange(c.part.first, c.part.length);
  Start(server_.Url("/vmrkxupdate/r.bin"));
  ASSERT_TRUE(WaitForEnd());
  test::PumpFor(200);

  // Qt sends a GET again by itself when the connection drops before it has
  // read the answer (it may come first under load); such a repeat is no
  // try of ours, so repeats count once. Our tries are the retry events.
  std::vector<std::string> ranges, asked;
  for (const test::LoggedRequest& r : server_.Requests()) {
    if (ranges.empty() || ranges.back() != r.range) ranges.push_back(r.range);
    // Asked only for the rest of the bytes as they were when they came (a
    // part's first request has nothing to compare yet).
    if (c.part.length == 0) EXPECT_EQ(r.ifRange.empty(), r.range.empty()) << r.range;
  }
  for (const std::string& range : c.ranges)
    if (asked.empty() || asked.back() != range) asked.push_back(range);
  EXPECT_EQ(ranges, asked);
  EXPECT_EQ(events_.retries, c.retries);
  EXPECT_EQ(events_.ends(), 1u);
  EXPECT_FALSE(events_.deliveredInside);
  if (c.failure != 0) {
    ASSERT_EQ(events_.failed, std::vector<std::int32_t>{c.failure});
    EXPECT_EQ(FilesInSaveFolder(), 0u);  // nothing kept once it gives up
    return;
  }
  ASSERT_EQ(events_.finished.size(), 1u);
  std::string expected = c.changes ? Body(1) : Body(0);
  if (c.part.length > 0) expected = expected.substr(c.part.first, c.part.length);
  EXPECT_TRUE(save_.Read("r.bin") == expected);
  platform::Sha256Digest digest = platform::Sha256Of(expected);
  EXPECT_EQ(downloader_.SavedFileSha256(), std::string(reinterpret_cast<const char*>(digest.data()), 32));
  EXPECT_EQ(FilesInSaveFolder(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, ResumeTest,
    testing::Values(
        ResumeCase{"cutOnceHalfWay", {{".cutonce", "150000"}}, {"", "bytes=150000-"}, {1}},
        // The watchdog ends a silent try; what it kept is resumed.
        ResumeCase{"silentHalfWay", {{".stallonce", "150000"}}, {"", "bytes=150000-"}, {1}},
        ResumeCase{"serverWithoutRanges", {{".cutonce", "150000"}, {".norange", ""}}, {"", "bytes=150000-"}, {1}},
        ResumeCase{"changedFileSentWholeForIfRange", {{".cutonce", "150000"}}, {"", "bytes=150000-"}, {1}, 0, true},
        ResumeCase{"changedFileBehindAServerIgnoringIfRange",
                   {{".cutonce", "150000"}, {".noifrange", ""}},
                   {"", "bytes=150000-", ""},
                   {1, 2},
                   0,
                   true},
        ResumeCase{"rangeAnsweredFromElsewhere",
                   {{".cutonce", "150000"}, {".badrange", ""}},
                   {"", "bytes=150000-", ""},
                   {1, 2}},
        // Every try brings 100,000 bytes: each is progress, so the count
        // starts over and the file arrives in three pieces.
        ResumeCase{"cutEveryThirdOfTheFile", {{".cutevery", "100000"}}, {"", "bytes=100000-", "bytes=200000-"}, {1, 1}},
        ResumeCase{"cutAtTheSamePlaceEveryTime",
                   {{".cutat", "150000"}},
                   {"", "bytes=150000-", "bytes=150000-", "bytes=150000-"},
                   {1, 2, 3},
                   kCannotDownload},
        ResumeCase{"goneWhenAskedAgain", {{".cutonce", "150000"}, {".goneafter", ""}}, {"", "bytes=150000-"}, {1},
                   kCannotDownload},
        // One part of the file, as a stretch of a delta package is fetched.
        ResumeCase{"aPart", {}, {"bytes=100000-199999"}, {}, 0, false, {100000, 100000}},
        ResumeCase{"aPartCutHalfWay", {{".cutonce", "150000"}}, {"bytes=100000-199999", "bytes=150000-199999"}, {1}, 0,
                   false, {100000, 100000}},
        ResumeCase{"aPartFromAServerWithoutRanges", {{".norange", ""}}, {"bytes=100000-199999"}, {}, kCannotDownload,
                   false, {100000, 100000}}),
    [](const testing::TestParamInfo<ResumeCase>& info) { return std::string(info.param.name); });

TEST_F(DownloaderTest, NoRetryWithoutBytesKept) {
  // The same misfortunes before any byte of the file came stay failures of
  // their own, at once.
  auto retrying = test::CreatePlatformDownloader({2000, 1500, {50, 50, 50}});
  retrying->SetEvents(&events_);
  retrying->SetSaveFolder(save_.Native());
  for (const char* path : {"/fault/status/404/a.dll", "/fault/status/503/a.dll", "/fault/hangup/a.dll"}) {
    retrying->SetSourceURL(server_.Url(path));
    retrying->BeginDownload();
    ASSERT_TRUE(WaitForEnd(events_.ends() + 1)) << path;
  }
  EXPECT_EQ(events_.failed, (std::vector<std::int32_t>{kCannotDownload, kCannotDownload, kNoResponse}));
  EXPECT_TRUE(events_.retries.empty());
  for (const test::LoggedRequest& r : server_.Requests()) EXPECT_EQ(r.range, "") << r.path;
}

TEST_F(DownloaderTest, AbortWhileARetryWaitsEndsItAtOnceAndLeavesNothing) {
  auto retrying = test::CreatePlatformDownloader({2000, 1500, {60000}});
  retrying->SetEvents(&events_);
  retrying->SetSaveFolder(save_.Native());
  root_.Write("vmrkxupdate/r.bin", std::string(200000, 'r'));
  root_.Write("vmrkxupdate/r.bin.cutat", "100000");
  retrying->SetSourceURL(server_.Url("/vmrkxupdate/r.bin"));
  retrying->BeginDownload();
  ASSERT_TRUE(test::PumpUntil([&] { return !events_.retries.empty(); }, 10000));
  EXPECT_EQ(FilesInSaveFolder(), 1u);  // the kept bytes
  auto begun = std::chrono::steady_clock::now();
  retrying->AbortDownload();
  retrying.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(500));
  test::PumpFor(300);
  EXPECT_EQ(events_.ends(), 0u);
  EXPECT_EQ(FilesInSaveFolder(), 0u);
  // No retry was sent. (Qt may repeat the first GET by itself when the cut
  // comes before it read the answer: a repeat asks for no range.)
  ASSERT_FALSE(server_.Requests().empty());
  for (const test::LoggedRequest& r : server_.Requests()) EXPECT_EQ(r.range, "") << r.path;
}

}  // namespace
}  // namespace vmrk
