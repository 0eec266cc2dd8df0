#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kavelin {

// The zlib stream `compressed` inflated, at most `maxOutput` bytes of it: a
// longer result is cut there (the reader needs only its start). Nothing when
// the data is not a zlib stream or is corrupt before the cut.
std::optional<std::string> InflateBounded(std::string_view compressed, std::size_t maxOutput);

}  // namespace kavelin
