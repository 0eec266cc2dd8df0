#include "platform/gnutella/AddressRanges.h"

#include <array>

#include "platform/gnutella/HeaderBlock.h"

namespace kavelin::gnutella {

std::optional<AddressRange> ParseAddressRange(std::string_view text) {
    const std::size_t slash = text.find('/');
    auto host = ParseHostAddress(std::string(text.substr(0, slash)) + ":1");
    if (!host) {
        return std::nullopt;
    }
    int prefix = 32;
    if (slash != std::string_view::npos) {
        auto bits = ParseDecimal(text.substr(slash + 1), 32);
        if (!bits) {
            return std::nullopt;
        }
        prefix = static_cast<int>(*bits);
    }
    const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t(0) << (32 - prefix);
    return AddressRange{host->ip & mask, mask};
}

std::vector<AddressRange> ParseAddressRanges(std::string_view text) {
    std::vector<AddressRange> ranges;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find_first_of(", \t", pos);
        const auto item = text.substr(pos, end == std::string_view::npos ? end : end - pos);
        if (auto range = ParseAddressRange(item)) {
            ranges.push_back(*range);
        }
        if (end == std::string_view::npos) {
            break;
        }
        pos = end + 1;
    }
    return ranges;
}

bool InRanges(const std::vector<AddressRange>& ranges, std::uint32_t ip) {
    for (const auto& range : ranges) {
        if (range.Contains(ip)) {
            return true;
        }
    }
    return false;
}

bool IsRoutable(std::uint32_t ip) {
    static const std::array<AddressRange, 14> kSpecial = {{
        {0x00000000, 0xFF000000},  // 0.0.0.0/8
        {0x0A000000, 0xFF000000},  // 10.0.0.0/8
        {0x64400000, 0xFFC00000},  // 100.64.0.0/10
        {0x7F000000, 0xFF000000},  // 127.0.0.0/8
        {0xA9FE0000, 0xFFFF0000},  // 169.254.0.0/16
        {0xAC100000, 0xFFF00000},  // 172.16.0.0/12
        {0xC0000000, 0xFFFFFF00},  // 192.0.0.0/24
        {0xC0000200, 0xFFFFFF00},  // 192.0.2.0/24
        {0xC0A80000, 0xFFFF0000},  // 192.168.0.0/16
        {0xC6120000, 0xFFFE0000},  // 198.18.0.0/15
        {0xC6336400, 0xFFFFFF00},  // 198.51.100.0/24
        {0xCB007100, 0xFFFFFF00},  // 203.0.113.0/24
        {0xE0000000, 0xF0000000},  // 224.0.0.0/4
        {0xF0000000, 0xF0000000},  // 240.0.0.0/4, with the broadcast address
    }};
    for (const auto& range : kSpecial) {
        if (range.Contains(ip)) {
            return false;
        }
    }
    return true;
}

}  // namespace kavelin::gnutella
