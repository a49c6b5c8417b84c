// The rules every downloader resumes by; the transfers themselves are tried
// against the loopback server in downloader_test.cpp.
#include "downloader/resume.h"

#include <gtest/gtest.h>

namespace vmrk {
namespace {

struct AnswerCase {
  const char* name;
  friend void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }
  ResumeAsk asked;
  int status;
  std::string contentRange, validator;
  ResumeAnswer answer;
};

class JudgeAnswerTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(JudgeAnswerTest, AppendsOnlyTheContinuationAsked) {
  const AnswerCase& c = GetParam();
  EXPECT_EQ(JudgeAnswer(c.asked, c.status, c.contentRange, c.validator), c.answer);
}

const ResumeAsk kFrom100{100, "\"v1\"", 1000};
// Bytes 5000-5999 of a package, fresh and with 100 of them kept.
const ResumeAsk kPart{0, "", std::nullopt, BytePart{5000, 1000}};
const ResumeAsk kPartFrom100{100, "\"v1\"", 1000, BytePart{5000, 1000}};

INSTANTIATE_TEST_SUITE_P(
    Answers, JudgeAnswerTest,
    testing::Values(
        AnswerCase{"wholeToAPlainRequest", {}, 200, "", "\"v1\"", ResumeAnswer::kWhole},
        AnswerCase{"partToAPlainRequest", {}, 206, "bytes 0-9/100", "", ResumeAnswer::kRefuse},
        AnswerCase{"theRest", kFrom100, 206, "bytes 100-999/1000", "\"v1\"", ResumeAnswer::kAppend},
        AnswerCase{"theRestWithUnknownTotal", kFrom100, 206, "bytes 100-999/*", "", ResumeAnswer::kAppend},
        AnswerCase{"unitInCapitals", kFrom100, 206, "BYTES 100-999/1000", "\"v1\"", ResumeAnswer::kAppend},
        AnswerCase{"rangesIgnored", kFrom100, 200, "", "\"v1\"", ResumeAnswer::kWhole},
        AnswerCase{"startsElsewhere", kFrom100, 206, "bytes 0-999/1000", "\"v1\"", ResumeAnswer::kRestart},
        AnswerCase{"noContentRange", kFrom100, 206, "", "\"v1\"", ResumeAnswer::kRestart},
        AnswerCase{"garbledContentRange", kFrom100, 206, "bytes 100-99/1000", "\"v1\"", ResumeAnswer::kRestart},
        AnswerCase{"pastItsTotal", kFrom100, 206, "bytes 100-1000/1000", "\"v1\"", ResumeAnswer::kRestart},
        AnswerCase{"otherValidator", kFrom100, 206, "bytes 100-999/1000", "\"v2\"", ResumeAnswer::kRestart},
        AnswerCase{"otherTotal", kFrom100, 206, "bytes 100-1099/1100", "\"v1\"", ResumeAnswer::kRestart},
        AnswerCase{"thePart", kPart, 206, "bytes 5000-5999/90000", "\"v1\"", ResumeAnswer::kWhole},
        AnswerCase{"theWholeFileForAPart", kPart, 200, "", "\"v1\"", ResumeAnswer::kRefuse},
        AnswerCase{"aPartEndingElsewhere", kPart, 206, "bytes 5000-89999/90000", "", ResumeAnswer::kRefuse},
        AnswerCase{"aPartStartingElsewhere", kPart, 206, "bytes 4000-5999/90000", "", ResumeAnswer::kRestart},
        AnswerCase{"theRestOfThePart", kPartFrom100, 206, "bytes 5100-5999/90000", "\"v1\"", ResumeAnswer::kAppend},
        AnswerCase{"thePartAgainWhenItsRestWasAsked", kPartFrom100, 206, "bytes 5000-5999/90000", "\"v1\"",
                   ResumeAnswer::kRestart},
        AnswerCase{"thePartChanged", kPartFrom100, 206, "bytes 5100-5999/90000", "\"v2\"", ResumeAnswer::kRestart}),
    [](const testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

TEST(ResumeValidator, IfRangeCarriesOnlyAStrongTagOrTheDate) {
  const std::string date = "Tue, 08 Dec 2026 00:00:00 GMT";
  EXPECT_EQ(ResumeValidator("\"abc\"", date), "\"abc\"");
  EXPECT_EQ(ResumeValidator("W/\"abc\"", date), date);
  EXPECT_EQ(ResumeValidator("", ""), "");
  EXPECT_EQ((ResumeAsk{0}.RangeHeader()), "");
  EXPECT_EQ((ResumeAsk{150000}.RangeHeader()), "bytes=150000-");
  EXPECT_EQ(kPart.RangeHeader(), "bytes=5000-5999");
  EXPECT_EQ(kPartFrom100.RangeHeader(), "bytes=5100-5999");
  // A try after one that kept nothing asks for the part afresh, never the file.
  EXPECT_EQ(kPartFrom100.Next(0).RangeHeader(), "bytes=5000-5999");
  EXPECT_EQ(kPartFrom100.Next(0).validator, "");
  EXPECT_EQ(kPartFrom100.Next(700).RangeHeader(), "bytes=5700-5999");
}

TEST(RetryCount, WaitsLongerEachTimeAndStartsOverAfterProgress) {
  RetryCount count({1000, 3000, 9000});
  EXPECT_EQ(count.AfterFailure(true, 0, false), -1);      // nothing kept: the failure stands
  EXPECT_EQ(count.AfterFailure(false, 5000, false), -1);  // a 404 or a full disk is not passing
  EXPECT_EQ(count.AfterFailure(true, 5000, false), 1000);
  EXPECT_EQ(count.AfterFailure(true, 5000, false), 3000);  // nothing new came
  EXPECT_EQ(count.attempt(), 2);
  // A few bytes more are no progress; a restart from byte 0 is none either.
  EXPECT_EQ(count.AfterFailure(true, 6000, false), 9000);
  EXPECT_EQ(count.AfterFailure(true, 6000, false), -1);
  RetryCount onward({1000, 3000, 9000});
  EXPECT_EQ(onward.AfterFailure(true, 100000, false), 1000);
  EXPECT_EQ(onward.AfterFailure(true, 0, true), 3000);
  EXPECT_EQ(onward.AfterFailure(true, 100000, false), 9000);
  EXPECT_EQ(onward.AfterFailure(true, 100000 + kResumeProgressBytes, false), 1000);
  EXPECT_EQ(onward.attempt(), 1);
  EXPECT_EQ(RetryCount().AfterFailure(true, 5000, false), -1);  // retries off
}

TEST(IsTransientStatus, OnlyWhatMayPass) {
  for (int status : {408, 429, 500, 502, 503, 504}) EXPECT_TRUE(IsTransientStatus(status)) << status;
  for (int status : {400, 401, 403, 404, 410, 416, 501}) EXPECT_FALSE(IsTransientStatus(status)) << status;
}

}  // namespace
}  // namespace vmrk
