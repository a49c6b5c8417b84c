#include "updatelist/size_text.h"

#include <gtest/gtest.h>

namespace vmrk {
namespace {

TEST(SizeText, EveryThresholdAndTheExamples) {
  const std::pair<std::int32_t, const char*> cases[] = {
      {0, "0b"},          {1023, "1023b"},       {1024, "1k"},         {1535, "1k"},
      {1048575, "1023k"}, {1048576, "1M"},       {1310720, "1.3M"},    {1572864, "1.5M"},
      {1153434, "1.1M"},  {10485760, "10M"},     {536870911, "512M"},  {536870912, "0.5G"},
      {1073741824, "1G"}, {2147483647, "2G"},    {-5, "-5b"},          {-2147483647 - 1, "-2147483648b"},
      {1258291, "1.2M"},  {1101004, "1M"},  // 1.05: 1075/1024 = 1.0498..., below the half
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(SizeText(bytes), text) << bytes;
}

TEST(SizeText, HalvesRoundAwayFromZero) {
  // 1.25 MiB and 1.75 MiB are exact halves of a tenth.
  EXPECT_EQ(SizeText(1280 * 1024), "1.3M");
  EXPECT_EQ(SizeText(1792 * 1024), "1.8M");
  // 0.75 GiB.
  EXPECT_EQ(SizeText(768 * 1048576), "0.8G");
}

}  // namespace
}  // namespace vmrk
