// The short size text of the file table's "大小" column: 1023b, 1k, 1.3M, 0.5G.
#pragma once

#include <cstdint>
#include <string>

namespace vmrk {
std::string SizeText(std::int32_t bytes);
}
