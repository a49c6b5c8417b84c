#include "updatelist/size_text.h"

namespace vmrk {
namespace {

// value / 1024 with one decimal, halves rounded away from zero, a ".0"
// dropped. Done in integers so that a half (1.25) is never a hair below one.
std::string OneDecimalOf1024ths(std::int64_t value) {
  std::int64_t tenths = (value * 10 * 2 + 1024) / (1024 * 2);  // round half up (value is positive)
  std::string text = std::to_string(tenths / 10);
  if (tenths % 10 != 0) text += "." + std::to_string(tenths % 10);
  return text;
}

}  // namespace

std::string SizeText(std::int32_t bytes) {
  const std::int64_t n = bytes;
  if (n < 1024) return std::to_string(n) + "b";
  if (n < 1048576) return std::to_string(n / 1024) + "k";
  if (n < 536870912) return OneDecimalOf1024ths(n / 1024) + "M";
  return OneDecimalOf1024ths(n / 1048576) + "G";
}

}  // namespace vmrk
