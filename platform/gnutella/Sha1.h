#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace kavelin::gnutella {

using Sha1Digest = std::array<std::uint8_t, 20>;

// Incremental SHA-1 (OpenSSL's, which uses the processor's SHA instructions
// where there are any), fed as a download arrives so that the finished file
// is checked without reading it back.
class Sha1 {
public:
    Sha1();
    ~Sha1();
    Sha1(Sha1&& other) noexcept;
    Sha1& operator=(Sha1&& other) noexcept;
    void Update(const void* data, std::size_t length);
    Sha1Digest Finish();

private:
    evp_md_ctx_st* m_pContext;
};

Sha1Digest Sha1Of(std::string_view data);

// RFC 4648 base32 without padding, as urn:sha1 writes a digest (32 characters).
std::string Base32(const Sha1Digest& digest);
// Reads 32 base32 characters (either case); nullopt for anything else.
std::optional<Sha1Digest> DigestFromBase32(std::string_view text);

}  // namespace kavelin::gnutella
