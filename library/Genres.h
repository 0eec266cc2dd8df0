#pragma once

#include <cstdint>
#include <string_view>

namespace kavelin {

inline constexpr std::int32_t kNoGenre = 255;

// The genre number of a content-type text as taggers write it: "(17)" and
// "(17)Rock" give 17, as does the plain number "17"; a name of the genre list
// ("Rock", "heavy metal", "Psybient") gives its number, whatever its letter
// case. Anything else gives 255, and numbers are capped at 255.
std::int32_t GenreNumber(std::string_view contentType);

}  // namespace kavelin
