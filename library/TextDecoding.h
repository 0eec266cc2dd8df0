#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kavelin {

// Text encodings that a tag's text frames declare in their first byte.
enum class TextEncoding : std::uint8_t { Latin1 = 0, Utf16 = 1, Utf16BigEndian = 2, Utf8 = 3 };

// Appends one code point as UTF-8; anything outside Unicode becomes U+FFFD.
void AppendUtf8(std::string& out, char32_t codePoint);

std::string Latin1ToUtf8(std::string_view bytes);

// UTF-16 that may start with a byte order mark; without one, `bigEndianByDefault`
// decides. Unpaired surrogates and a trailing odd byte become U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndianByDefault);

// Keeps valid UTF-8 as it is and replaces every invalid sequence by U+FFFD.
std::string SanitiseUtf8(std::string_view bytes);

// Keeps valid UTF-8 as it is and reads every other byte as Latin-1: file
// names are mostly UTF-8, but older ones were written in a legacy code page.
std::string Utf8OrLatin1(std::string_view bytes);

// The first string of a text frame body in the given encoding, as UTF-8: the
// text up to its terminator (a zero byte, or a zero pair for UTF-16).
std::string DecodeFirstString(TextEncoding encoding, std::string_view bytes);

}  // namespace kavelin
