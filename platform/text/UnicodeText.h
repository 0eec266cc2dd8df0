#pragma once

#include <string>
#include <string_view>

namespace kavelin {

// Unicode case folding of UTF-8 text, for comparing and grouping names
// without regard to letter case in any script: "BJÖRK" and "Björk" fold alike.
// Invalid UTF-8 comes back as U+FFFD.
std::string FoldCase(std::string_view utf8);

// The letters of UTF-8 text in their order, upper-cased, with Latin letters
// reduced to their base letters ("É" and "Ø" give "E" and "O"); letters of
// other scripts are kept. Digits, blanks, punctuation and marks are dropped.
std::string BaseLetters(std::string_view utf8);

}  // namespace kavelin
