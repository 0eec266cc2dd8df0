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
    Damaged,  // empty, or a catalog that was not written to its end
};

// Looks at the file's header and size only; never opens or changes the file.
CatalogFileState CheckCatalogFile(const std::string& path);

// Whether the program can write the catalog and the working files that the
// catalog keeps beside it (its write-ahead log and shared-memory index).
enum class CatalogAccess {
    Writable,
    ReadOnlyFile,    // the file itself cannot be written
    ReadOnlyFolder,  // its folder cannot be written: no working files can be made there
};
CatalogAccess CheckCatalogAccess(const std::string& path);

// The name a damaged catalog is moved to: "<stem>-damaged-<YYYY-MM-DD><ext>"
// in its folder, with "-2", "-3"... added when that name is taken.
std::string DamagedCatalogName(const std::string& path, const std::string& date);

// Moves a damaged catalog (and the working files beside it, which belong to
// it) aside under DamagedCatalogName and puts a copy of `freshCatalog` in its
// place. Nothing is deleted. Returns the damaged file's new name, or "" with
// `error` set when nothing could be done; the damaged file then stays.
std::string ReplaceDamagedCatalog(const std::string& path, const std::string& freshCatalog,
                                  const std::string& date, std::string& error);

}  // namespace kavelin
