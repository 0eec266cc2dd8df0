#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/gnutella/Sha1.h"

// The binary side of the Gnutella 0.6 protocol: descriptor framing and the
// payloads this leaf sends or reads. Every parser takes bytes from a hostile
// peer: it checks each length against the bytes present and returns nullopt
// rather than reading past them.
namespace kavelin::gnutella {

using Guid = std::array<std::uint8_t, 16>;

enum DescriptorType : std::uint8_t {
    kPing = 0x00,
    kPong = 0x01,
    kBye = 0x02,
    kRouteTable = 0x30,
    kVendor = 0x31,
    kStandardVendor = 0x32,
    kPush = 0x40,
    kQuery = 0x80,
    kQueryHit = 0x81,
};

inline constexpr std::size_t kHeaderSize = 23;
// A peer announcing a longer payload is dropped.
inline constexpr std::uint32_t kMaxPayload = 64 * 1024;

// Query flags (the old minimum-speed field, read big-endian).
inline constexpr std::uint16_t kQueryFlagsInUse = 0x8000;
inline constexpr std::uint16_t kQueryFirewalled = 0x4000;
inline constexpr std::uint16_t kQueryWantsGgepH = 0x0800;

// Open-data flag bits of a query hit's trailer.
inline constexpr std::uint8_t kHitFlagPush = 0x01;
inline constexpr std::uint8_t kHitFlagBusy = 0x04;

struct DescriptorHeader {
    Guid guid{};
    std::uint8_t type = 0;
    std::uint8_t ttl = 0;
    std::uint8_t hops = 0;
    std::uint32_t length = 0;
};

// A fresh random GUID marked as a modern servent's (byte 8 0xFF, byte 15 0).
Guid NewGuid();

std::string BuildDescriptor(const Guid& guid, std::uint8_t type, std::uint8_t ttl,
                            std::uint8_t hops, std::string_view payload);

enum class Frame { NeedMore, Complete, TooLarge };
// Looks for one whole descriptor at the start of `buffer`. On Complete, fills
// the header and payload and says how many bytes it spans.
Frame NextDescriptor(std::string_view buffer, DescriptorHeader& header, std::string_view& payload,
                     std::size_t& consumed);

// IPv4 addresses are kept in host order; the wire carries them in network order.
struct HostAddress {
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    bool operator==(const HostAddress&) const = default;
    bool operator<(const HostAddress& other) const {
        return ip != other.ip ? ip < other.ip : port < other.port;
    }
};
// "a.b.c.d:port" with a port from 1 to 65535, nothing else.
std::optional<HostAddress> ParseHostAddress(std::string_view text);
std::string FormatHostAddress(const HostAddress& host);
std::string FormatIp(std::uint32_t ip);

struct Pong {
    HostAddress host;
    std::uint32_t files = 0;
    std::uint32_t kilobytes = 0;
    // Further hosts packed into the pong's GGEP "IPP" extension (host caches send these).
    std::vector<HostAddress> packed;
};
// Reads at most `maxPacked` packed hosts.
std::optional<Pong> ParsePong(std::string_view payload, std::size_t maxPacked = 0);
std::string BuildPongPayload(const Pong& pong);

// The ping a UDP host cache answers with packed hosts: TTL 1, and a GGEP
// "SCP" extension saying a leaf asks (cached pongs of hosts with leaf slots).
std::string BuildHostCachePing(const Guid& guid);

// Query routing for a leaf that shares nothing: a RESET to a table of
// kRouteTableSize slots, then one PATCH that leaves every slot unreachable.
inline constexpr std::uint32_t kRouteTableSize = 65536;
inline constexpr std::uint8_t kRouteTableInfinity = 7;
std::string BuildRouteTableReset();
std::string BuildEmptyRouteTablePatch();

struct QueryRequest {
    std::uint16_t flags = 0;
    std::string text;
};
std::string BuildQueryPayload(std::string_view text, std::uint16_t flags);
std::optional<QueryRequest> ParseQuery(std::string_view payload);

struct GgepExtension {
    std::string id;
    std::string data;  // decoded when it was COBS-encoded; raw when compressed
    bool compressed = false;
};
// Reads a GGEP block starting with its magic byte 0xC3; `consumed` is the
// block's length. Bounded by the bytes given.
std::optional<std::vector<GgepExtension>> ParseGgep(std::string_view block, std::size_t& consumed);

struct HitResult {
    std::uint32_t index = 0;
    std::uint32_t size = 0;
    std::string name;
    std::optional<Sha1Digest> sha1;
};

struct QueryHit {
    HostAddress host;  // the speed field after it is not kept
    std::vector<HitResult> results;
    std::string vendor;
    bool push = false;
    bool busy = false;
    Guid servent{};
};
// A query hit's payload. Results beyond `maxResults` are not kept; a hit whose
// announced results do not fit the payload is refused whole.
std::optional<QueryHit> ParseQueryHit(std::string_view payload, std::size_t maxResults);

// "urn:sha1:<base32>" (prefix in any case); nullopt for anything else.
std::optional<Sha1Digest> ParseSha1Urn(std::string_view text);

}  // namespace kavelin::gnutella
