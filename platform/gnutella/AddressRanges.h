#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// Which IPv4 addresses the leaf may be sent to by what it reads from the network.
namespace kavelin::gnutella {

struct AddressRange {
    std::uint32_t ip = 0;  // host order, already masked
    std::uint32_t mask = 0;
    bool Contains(std::uint32_t address) const { return (address & mask) == ip; }
};

// "a.b.c.d" or "a.b.c.d/prefix".
std::optional<AddressRange> ParseAddressRange(std::string_view text);
// Ranges separated by commas or blanks; unreadable entries are skipped.
std::vector<AddressRange> ParseAddressRanges(std::string_view text);
bool InRanges(const std::vector<AddressRange>& ranges, std::uint32_t ip);

// False for addresses no host on the Internet has: "this network", private,
// shared, loopback, link-local, documentation, benchmarking, multicast,
// reserved and broadcast. A peer naming one of these would have the leaf
// knock on a service of the user's own network.
bool IsRoutable(std::uint32_t ip);

}  // namespace kavelin::gnutella
