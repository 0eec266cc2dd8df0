#include "platform/gnutella/Sha1.h"

#include <cstring>

namespace kavelin::gnutella {
namespace {

std::uint32_t RotateLeft(std::uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

constexpr char kBase32Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

}  // namespace

Sha1::Sha1() : m_state{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u} {}

void Sha1::Block(const std::uint8_t* block) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
        w[i] = (std::uint32_t(block[4 * i]) << 24) | (std::uint32_t(block[4 * i + 1]) << 16) |
               (std::uint32_t(block[4 * i + 2]) << 8) | std::uint32_t(block[4 * i + 3]);
    }
    for (int i = 16; i < 80; ++i) {
        w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    }
    std::uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3], e = m_state[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        const std::uint32_t next = RotateLeft(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = RotateLeft(b, 30);
        b = a;
        a = next;
    }
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
    m_state[4] += e;
}

void Sha1::Update(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    m_nTotal += length;
    if (m_nBuffered > 0) {
        const std::size_t take = std::min(length, 64 - m_nBuffered);
        std::memcpy(m_buffer.data() + m_nBuffered, bytes, take);
        m_nBuffered += take;
        bytes += take;
        length -= take;
        if (m_nBuffered < 64) {
            return;
        }
        Block(m_buffer.data());
        m_nBuffered = 0;
    }
    while (length >= 64) {
        Block(bytes);
        bytes += 64;
        length -= 64;
    }
    std::memcpy(m_buffer.data(), bytes, length);
    m_nBuffered = length;
}

Sha1Digest Sha1::Finish() {
    const std::uint64_t bits = m_nTotal * 8;
    const std::uint8_t pad = 0x80;
    Update(&pad, 1);
    const std::uint8_t zero = 0;
    while (m_nBuffered != 56) {
        Update(&zero, 1);
    }
    std::uint8_t length[8];
    for (int i = 0; i < 8; ++i) {
        length[i] = std::uint8_t(bits >> (56 - 8 * i));
    }
    Update(length, 8);
    Sha1Digest digest;
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 4; ++j) {
            digest[4 * i + j] = std::uint8_t(m_state[i] >> (24 - 8 * j));
        }
    }
    return digest;
}

Sha1Digest Sha1Of(std::string_view data) {
    Sha1 sha;
    sha.Update(data.data(), data.size());
    return sha.Finish();
}

std::string Base32(const Sha1Digest& digest) {
    std::string text;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (std::uint8_t byte : digest) {
        buffer = (buffer << 8) | byte;
        bits += 8;
        while (bits >= 5) {
            text += kBase32Alphabet[(buffer >> (bits - 5)) & 31];
            bits -= 5;
        }
    }
    return text;  // 160 bits are exactly 32 characters
}

std::optional<Sha1Digest> DigestFromBase32(std::string_view text) {
    if (text.size() != 32) {
        return std::nullopt;
    }
    Sha1Digest digest{};
    std::uint32_t buffer = 0;
    int bits = 0;
    std::size_t out = 0;
    for (char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z') {
            value = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            value = c - 'a';
        } else if (c >= '2' && c <= '7') {
            value = c - '2' + 26;
        } else {
            return std::nullopt;
        }
        buffer = (buffer << 5) | std::uint32_t(value);
        bits += 5;
        if (bits >= 8) {
            digest[out++] = std::uint8_t(buffer >> (bits - 8));
            bits -= 8;
        }
    }
    return digest;
}

}  // namespace kavelin::gnutella
