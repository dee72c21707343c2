#pragma once
// The byte-string type used for every wire buffer in the kit.

#include <cstdint>
#include <vector>

namespace cvl {

using Bytes = std::vector<uint8_t>;

}  // namespace cvl
