#pragma once

#include <cstdint>
#include <string>

namespace kavelin {

// The application id that the shipped catalog carries in its SQLite header ("KVLN").
inline constexpr std::uint32_t kCatalogApplicationId = 0x4B564C4E;

enum class CatalogFileState {
    Present,  // an SQLite file marked as a Kavelin catalog
    Missing,  // no such file
    Foreign,  // a file of another kind (for example a desktop database of another system)
};

// Looks at the file's header only; never opens or changes the file.
CatalogFileState CheckCatalogFile(const std::string& path);

}  // namespace kavelin
