#include "platform/gnutella/Sha1.h"

#include <openssl/evp.h>

#include <new>
#include <utility>

namespace kavelin::gnutella {
namespace {

constexpr char kBase32Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

}  // namespace

Sha1::Sha1() : m_pContext(EVP_MD_CTX_new()) {
    if (m_pContext == nullptr || EVP_DigestInit_ex(m_pContext, EVP_sha1(), nullptr) != 1) {
        throw std::bad_alloc();
    }
}

Sha1::~Sha1() {
    EVP_MD_CTX_free(m_pContext);
}

Sha1::Sha1(Sha1&& other) noexcept : m_pContext(std::exchange(other.m_pContext, nullptr)) {}

Sha1& Sha1::operator=(Sha1&& other) noexcept {
    std::swap(m_pContext, other.m_pContext);
    return *this;
}

void Sha1::Update(const void* data, std::size_t length) {
    EVP_DigestUpdate(m_pContext, data, length);
}

Sha1Digest Sha1::Finish() {
    Sha1Digest digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_pContext, digest.data(), &length);
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
