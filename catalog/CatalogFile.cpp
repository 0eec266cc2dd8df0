#include "catalog/CatalogFile.h"

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace kavelin {

CatalogFileState CheckCatalogFile(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        return CatalogFileState::Missing;
    }
    std::ifstream file(path, std::ios::binary);
    std::array<unsigned char, 100> header{};
    if (!file.read(reinterpret_cast<char*>(header.data()), header.size())) {
        return CatalogFileState::Foreign;
    }
    static constexpr char kMagic[] = "SQLite format 3";  // 16 bytes with its NUL
    if (std::memcmp(header.data(), kMagic, sizeof kMagic) != 0) {
        return CatalogFileState::Foreign;
    }
    // The application id is a big-endian integer at offset 68 of the header.
    const std::uint32_t applicationId = (std::uint32_t{header[68]} << 24) |
                                        (std::uint32_t{header[69]} << 16) |
                                        (std::uint32_t{header[70]} << 8) | header[71];
    return applicationId == kCatalogApplicationId ? CatalogFileState::Present
                                                  : CatalogFileState::Foreign;
}

}  // namespace kavelin
