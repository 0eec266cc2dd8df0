#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kavelin::gnutella {

using Sha1Digest = std::array<std::uint8_t, 20>;

// Incremental SHA-1, fed as a download arrives so that the finished file is
// checked without reading it back.
class Sha1 {
public:
    Sha1();
    void Update(const void* data, std::size_t length);
    Sha1Digest Finish();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 5> m_state;
    std::array<std::uint8_t, 64> m_buffer{};
    std::size_t m_nBuffered = 0;
    std::uint64_t m_nTotal = 0;
};

Sha1Digest Sha1Of(std::string_view data);

// RFC 4648 base32 without padding, as urn:sha1 writes a digest (32 characters).
std::string Base32(const Sha1Digest& digest);
// Reads 32 base32 characters (either case); nullopt for anything else.
std::optional<Sha1Digest> DigestFromBase32(std::string_view text);

}  // namespace kavelin::gnutella
