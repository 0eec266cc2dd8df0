#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/gnutella/Wire.h"

// The text side of the protocol: the handshake's and HTTP's header blocks,
// read with bounds on line length, line count and block size.
namespace kavelin::gnutella {

struct HeaderLimits {
    std::size_t maxLine = 4096;
    std::size_t maxLines = 64;
    std::size_t maxBlock = 16384;
};

struct HeaderBlock {
    std::string startLine;
    std::vector<std::pair<std::string, std::string>> fields;
    // The first field of that name, compared without regard to case.
    std::optional<std::string> Field(std::string_view name) const;
};

enum class BlockParse { NeedMore, Complete, Invalid };
// Reads a start line and fields up to the empty line. Lines may end in CRLF or
// LF; a line starting with a blank continues the field before it.
BlockParse ParseHeaderBlock(std::string_view buffer, HeaderBlock& block, std::size_t& consumed,
                            const HeaderLimits& limits = {});

// The three-digit code of "GNUTELLA/0.6 200 OK" (protocol "GNUTELLA/") or
// "HTTP/1.1 206 Partial Content" (protocol "HTTP/"); -1 when it is neither.
int StatusCode(std::string_view startLine, std::string_view protocol);

// "1.2.3.4:6346, 5.6.7.8:6347" -> at most `max` addresses; unreadable entries are skipped.
std::vector<HostAddress> ParseHostList(std::string_view value, std::size_t max);
// True when the comma-separated value holds the token (without regard to case).
bool HasToken(std::string_view value, std::string_view token);
// Plain decimal digits up to `max`.
std::optional<std::uint64_t> ParseDecimal(std::string_view text, std::uint64_t max);

struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t total = 0;
};
// "bytes 100-199/200"; the older "bytes=100-199/200" is read too.
std::optional<ContentRange> ParseContentRange(std::string_view value);

// A place in a source's upload queue, from "X-Queued: position=2,length=5,
// limit=4,pollMin=45,pollMax=120" (items in any order, ',' or ';' between
// them). The request is to be repeated no sooner than pollMin and no later
// than pollMax seconds on. Nullopt without a position.
struct QueuePlace {
    std::uint64_t position = 0;
    std::uint64_t pollMin = 0;
    std::uint64_t pollMax = 0;
};
std::optional<QueuePlace> ParseQueuePlace(std::string_view value);

std::string Trim(std::string_view text);

}  // namespace kavelin::gnutella
