#include "platform/gnutella/Wire.h"

#include <zlib.h>

#include <charconv>
#include <random>

namespace kavelin::gnutella {
namespace {

std::uint32_t ReadLe32(const unsigned char* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}
std::uint16_t ReadLe16(const unsigned char* p) {
    return std::uint16_t(p[0] | (p[1] << 8));
}
std::uint32_t ReadBe32(const unsigned char* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

void AppendLe32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out += char((value >> (8 * i)) & 0xFF);
    }
}
void AppendLe16(std::string& out, std::uint16_t value) {
    out += char(value & 0xFF);
    out += char(value >> 8);
}
void AppendBe32(std::string& out, std::uint32_t value) {
    for (int i = 3; i >= 0; --i) {
        out += char((value >> (8 * i)) & 0xFF);
    }
}

const unsigned char* Bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z')
            a = char(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = char(b - 'A' + 'a');
        if (a != b) {
            return false;
        }
    }
    return true;
}

// COBS as GGEP uses it: each code byte n says n-1 data bytes follow, then a
// zero unless n is 0xFF or the data ends.
std::optional<std::string> CobsDecode(std::string_view in) {
    std::string out;
    std::size_t i = 0;
    while (i < in.size()) {
        const std::size_t code = static_cast<unsigned char>(in[i]);
        if (code == 0 || i + code > in.size()) {
            return std::nullopt;
        }
        out.append(in.substr(i + 1, code - 1));
        i += code;
        if (code != 0xFF && i < in.size()) {
            out += '\0';
        }
    }
    return out;
}

// The text and GGEP parts between a result's name and its closing NUL.
// Returns the offset after the closing NUL, or nullopt when there is none.
std::optional<std::size_t> ReadHitExtensions(std::string_view payload, std::size_t pos,
                                             std::size_t end, HitResult& result) {
    while (pos < end) {
        const unsigned char c = static_cast<unsigned char>(payload[pos]);
        if (c == 0) {
            return pos + 1;
        }
        if (c == 0x1C) {
            ++pos;
            continue;
        }
        if (c == 0xC3) {
            std::size_t used = 0;
            auto extensions = ParseGgep(payload.substr(pos, end - pos), used);
            if (!extensions) {
                return std::nullopt;
            }
            for (const auto& extension : *extensions) {
                // "H": a hash type byte, 1 = SHA-1, 2 = SHA-1 followed by a Tiger tree root.
                if (extension.id == "H" && !extension.compressed && extension.data.size() >= 21 &&
                    (extension.data[0] == 1 || extension.data[0] == 2) && !result.sha1) {
                    Sha1Digest digest;
                    for (std::size_t i = 0; i < 20; ++i) {
                        digest[i] = static_cast<std::uint8_t>(extension.data[1 + i]);
                    }
                    result.sha1 = digest;
                }
            }
            pos += used;
            continue;
        }
        std::size_t stop = pos;
        while (stop < end && payload[stop] != '\0' && payload[stop] != '\x1C') {
            ++stop;
        }
        if (!result.sha1) {
            result.sha1 = ParseSha1Urn(payload.substr(pos, stop - pos));
        }
        pos = stop;
    }
    return std::nullopt;
}

}  // namespace

Guid NewGuid() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    Guid guid;
    for (auto& byte : guid) {
        byte = static_cast<std::uint8_t>(generator());
    }
    guid[8] = 0xFF;
    guid[15] = 0;
    return guid;
}

std::string BuildDescriptor(const Guid& guid, std::uint8_t type, std::uint8_t ttl,
                            std::uint8_t hops, std::string_view payload) {
    std::string out(reinterpret_cast<const char*>(guid.data()), guid.size());
    out += char(type);
    out += char(ttl);
    out += char(hops);
    AppendLe32(out, std::uint32_t(payload.size()));
    out.append(payload);
    return out;
}

Frame NextDescriptor(std::string_view buffer, DescriptorHeader& header, std::string_view& payload,
                     std::size_t& consumed) {
    if (buffer.size() < kHeaderSize) {
        return Frame::NeedMore;
    }
    const unsigned char* p = Bytes(buffer);
    const std::uint32_t length = ReadLe32(p + 19);
    if (length > kMaxPayload) {
        return Frame::TooLarge;
    }
    if (buffer.size() < kHeaderSize + length) {
        return Frame::NeedMore;
    }
    for (std::size_t i = 0; i < 16; ++i) {
        header.guid[i] = p[i];
    }
    header.type = p[16];
    header.ttl = p[17];
    header.hops = p[18];
    header.length = length;
    payload = buffer.substr(kHeaderSize, length);
    consumed = kHeaderSize + length;
    return Frame::Complete;
}

std::optional<HostAddress> ParseHostAddress(std::string_view text) {
    std::uint32_t ip = 0;
    const char* p = text.data();
    const char* end = p + text.size();
    for (int part = 0; part < 4; ++part) {
        unsigned value = 0;
        auto [next, error] = std::from_chars(p, end, value);
        if (error != std::errc() || next == p || next - p > 3 || value > 255) {
            return std::nullopt;
        }
        ip = (ip << 8) | value;
        p = next;
        if (p == end || *p != (part < 3 ? '.' : ':')) {
            return std::nullopt;
        }
        ++p;
    }
    unsigned port = 0;
    auto [next, error] = std::from_chars(p, end, port);
    if (error != std::errc() || next != end || next == p || port == 0 || port > 65535) {
        return std::nullopt;
    }
    return HostAddress{ip, static_cast<std::uint16_t>(port)};
}

std::string FormatIp(std::uint32_t ip) {
    return std::to_string(ip >> 24) + '.' + std::to_string((ip >> 16) & 0xFF) + '.' +
           std::to_string((ip >> 8) & 0xFF) + '.' + std::to_string(ip & 0xFF);
}

std::string FormatHostAddress(const HostAddress& host) {
    return FormatIp(host.ip) + ':' + std::to_string(host.port);
}

std::optional<Pong> ParsePong(std::string_view payload, std::size_t maxPacked) {
    if (payload.size() < 14) {
        return std::nullopt;
    }
    const unsigned char* p = Bytes(payload);
    Pong pong;
    pong.host.port = ReadLe16(p);
    pong.host.ip = ReadBe32(p + 2);
    pong.files = ReadLe32(p + 6);
    pong.kilobytes = ReadLe32(p + 10);
    std::size_t used = 0;
    const auto extensions =
        payload.size() > 14 && maxPacked > 0 ? ParseGgep(payload.substr(14), used) : std::nullopt;
    for (const auto& extension : extensions.value_or(std::vector<GgepExtension>{})) {
        if (extension.id != "IPP" || extension.compressed) {
            continue;
        }
        // Six bytes a host: the address in network order, the port little-endian.
        const auto* packed = reinterpret_cast<const unsigned char*>(extension.data.data());
        for (std::size_t at = 0; at + 6 <= extension.data.size() && pong.packed.size() < maxPacked;
             at += 6) {
            pong.packed.push_back({ReadBe32(packed + at), ReadLe16(packed + at + 4)});
        }
    }
    return pong;
}

std::string BuildHostCachePing(const Guid& guid) {
    // GGEP: magic, flags (last extension, ID of 3 bytes), "SCP", length 1 (last length byte), data.
    const std::string ggep = std::string("\xC3\x83SCP\x41", 6) + '\0';
    return BuildDescriptor(guid, kPing, 1, 0, ggep);
}

std::string BuildRouteTableReset() {
    std::string payload(1, '\0');  // variant RESET
    AppendLe32(payload, kRouteTableSize);
    payload += char(kRouteTableInfinity);
    return BuildDescriptor(NewGuid(), kRouteTable, 1, 0, payload);
}

std::string BuildEmptyRouteTablePatch() {
    // Four bits a slot, every change 0: each slot stays at infinity. Zlib
    // squeezes the 32 KiB of zeros into a few dozen bytes.
    const std::string changes(kRouteTableSize / 2, '\0');
    uLongf length = compressBound(static_cast<uLong>(changes.size()));
    std::string packed(length, '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &length,
              reinterpret_cast<const Bytef*>(changes.data()), static_cast<uLong>(changes.size()),
              Z_BEST_COMPRESSION);
    packed.resize(length);
    // Variant PATCH, part 1 of 1, zlib-compressed, 4-bit entries.
    std::string payload("\x01\x01\x01\x01\x04", 5);
    return BuildDescriptor(NewGuid(), kRouteTable, 1, 0, payload + packed);
}

std::string BuildPongPayload(const Pong& pong) {
    std::string out;
    AppendLe16(out, pong.host.port);
    AppendBe32(out, pong.host.ip);
    AppendLe32(out, pong.files);
    AppendLe32(out, pong.kilobytes);
    return out;
}

std::string BuildQueryPayload(std::string_view text, std::uint16_t flags) {
    std::string out;
    out += char(flags >> 8);
    out += char(flags & 0xFF);
    out.append(text);
    out += '\0';
    return out;
}

std::optional<QueryRequest> ParseQuery(std::string_view payload) {
    if (payload.size() < 3) {
        return std::nullopt;
    }
    const std::size_t nul = payload.find('\0', 2);
    if (nul == std::string_view::npos) {
        return std::nullopt;
    }
    QueryRequest query;
    query.flags = std::uint16_t((Bytes(payload)[0] << 8) | Bytes(payload)[1]);
    query.text = std::string(payload.substr(2, nul - 2));
    return query;
}

std::optional<std::vector<GgepExtension>> ParseGgep(std::string_view block, std::size_t& consumed) {
    if (block.empty() || static_cast<unsigned char>(block[0]) != 0xC3) {
        return std::nullopt;
    }
    std::vector<GgepExtension> extensions;
    std::size_t pos = 1;
    constexpr std::size_t kMaxExtensions = 64;
    while (true) {
        if (pos >= block.size() || extensions.size() >= kMaxExtensions) {
            return std::nullopt;
        }
        const unsigned char flags = static_cast<unsigned char>(block[pos++]);
        const std::size_t idLength = flags & 0x0F;
        if (idLength == 0 || (flags & 0x10) != 0 || pos + idLength > block.size()) {
            return std::nullopt;
        }
        GgepExtension extension;
        extension.id = std::string(block.substr(pos, idLength));
        pos += idLength;
        // Data length: up to three bytes of six bits each; 0x80 says more
        // follow, 0x40 marks the last.
        std::size_t length = 0;
        bool last = false;
        for (int i = 0; i < 3 && !last; ++i) {
            if (pos >= block.size()) {
                return std::nullopt;
            }
            const unsigned char byte = static_cast<unsigned char>(block[pos++]);
            length = (length << 6) | (byte & 0x3F);
            last = (byte & 0x40) != 0;
            if (!last && (byte & 0x80) == 0) {
                return std::nullopt;
            }
        }
        if (!last || pos + length > block.size()) {
            return std::nullopt;
        }
        std::string_view data = block.substr(pos, length);
        pos += length;
        extension.compressed = (flags & 0x20) != 0;
        if ((flags & 0x40) != 0) {
            auto decoded = CobsDecode(data);
            if (!decoded) {
                return std::nullopt;
            }
            extension.data = std::move(*decoded);
        } else {
            extension.data = std::string(data);
        }
        extensions.push_back(std::move(extension));
        if ((flags & 0x80) != 0) {
            consumed = pos;
            return extensions;
        }
    }
}

std::optional<Sha1Digest> ParseSha1Urn(std::string_view text) {
    constexpr std::string_view kPrefix = "urn:sha1:";
    if (!StartsWithNoCase(text, kPrefix)) {
        return std::nullopt;
    }
    return DigestFromBase32(text.substr(kPrefix.size()));
}

std::optional<QueryHit> ParseQueryHit(std::string_view payload, std::size_t maxResults) {
    constexpr std::size_t kFixed = 11;
    constexpr std::size_t kGuidSize = 16;
    if (payload.size() < kFixed + kGuidSize) {
        return std::nullopt;
    }
    const unsigned char* p = Bytes(payload);
    QueryHit hit;
    const unsigned count = p[0];
    hit.host.port = ReadLe16(p + 1);
    hit.host.ip = ReadBe32(p + 3);
    const std::size_t end = payload.size() - kGuidSize;
    std::size_t pos = kFixed;
    for (unsigned i = 0; i < count; ++i) {
        if (pos + 8 > end) {
            return std::nullopt;
        }
        HitResult result;
        result.index = ReadLe32(p + pos);
        result.size = ReadLe32(p + pos + 4);
        pos += 8;
        std::size_t nul = pos;
        while (nul < end && p[nul] != 0) {
            ++nul;
        }
        if (nul >= end) {
            return std::nullopt;
        }
        result.name = std::string(payload.substr(pos, nul - pos));
        auto next = ReadHitExtensions(payload, nul + 1, end, result);
        if (!next) {
            return std::nullopt;
        }
        pos = *next;
        if (hit.results.size() < maxResults) {
            hit.results.push_back(std::move(result));
        }
    }
    // Trailer: vendor code, open-data size, open data; a flag counts when it
    // is set in both open-data bytes.
    if (pos + 5 <= end) {
        hit.vendor = std::string(payload.substr(pos, 4));
        const std::size_t openSize = p[pos + 4];
        if (openSize >= 2 && pos + 5 + openSize <= end) {
            const std::uint8_t flags = p[pos + 5] & p[pos + 6];
            hit.push = (flags & kHitFlagPush) != 0;
            hit.busy = (flags & kHitFlagBusy) != 0;
        }
    }
    for (std::size_t i = 0; i < kGuidSize; ++i) {
        hit.servent[i] = p[end + i];
    }
    return hit;
}

}  // namespace kavelin::gnutella
