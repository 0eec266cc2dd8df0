#include "catalog/CatalogFile.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

namespace kavelin {
namespace {

namespace fs = std::filesystem;

constexpr char kMagic[] = "SQLite format 3";  // 16 bytes with its NUL
constexpr std::size_t kHeaderSize = 100;

// The working files SQLite keeps beside a catalog; they belong to that file.
constexpr const char* kCompanionSuffixes[] = {"-wal", "-shm", "-journal"};

std::uint32_t BigEndian32(const unsigned char* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

// A catalog cut short: the header tells how many pages the file holds. Pages
// still in the write-ahead log are not in the file yet, so the size says
// nothing while a log is there.
bool CutShort(const std::string& path, const std::array<unsigned char, kHeaderSize>& header,
              std::uintmax_t size) {
    std::error_code error;
    if (fs::exists(path + "-wal", error)) {
        return false;
    }
    const std::uint32_t pageSizeField = (std::uint32_t{header[16]} << 8) | header[17];
    const std::uintmax_t pageSize = pageSizeField == 1 ? 65536 : pageSizeField;
    const std::uint32_t pages = BigEndian32(&header[28]);
    // The page count is valid only when written by the change that the counter names.
    const bool countValid = BigEndian32(&header[92]) == BigEndian32(&header[24]);
    return countValid && pages > 0 && size < pageSize * pages;
}

}  // namespace

CatalogFileState CheckCatalogFile(const std::string& path) {
    std::error_code error;
    if (!fs::exists(path, error)) {
        return CatalogFileState::Missing;
    }
    const std::uintmax_t size = fs::file_size(path, error);
    std::ifstream file(path, std::ios::binary);
    std::array<unsigned char, kHeaderSize> header{};
    file.read(reinterpret_cast<char*>(header.data()), header.size());
    const auto got = static_cast<std::size_t>(file.gcount());
    const auto start = header.begin();
    // Written only in part: nothing, zeros (space taken but never filled), or
    // the first bytes of a catalog.
    if (got == 0 || std::all_of(start, start + got, [](unsigned char c) { return c == 0; })) {
        return CatalogFileState::Damaged;
    }
    if (got < kHeaderSize) {
        const std::size_t compared = std::min(got, sizeof kMagic);
        return std::memcmp(header.data(), kMagic, compared) == 0 ? CatalogFileState::Damaged
                                                                 : CatalogFileState::Foreign;
    }
    if (std::memcmp(header.data(), kMagic, sizeof kMagic) != 0) {
        return CatalogFileState::Foreign;
    }
    // The application id is a big-endian integer at offset 68 of the header.
    if (BigEndian32(&header[68]) != kCatalogApplicationId) {
        return CatalogFileState::Foreign;
    }
    return CutShort(path, header, size) ? CatalogFileState::Damaged : CatalogFileState::Present;
}

CatalogAccess CheckCatalogAccess(const std::string& path) {
    std::error_code error;
    fs::path folder = fs::absolute(path, error).parent_path();
    if (::access(folder.c_str(), W_OK) != 0) {
        return CatalogAccess::ReadOnlyFolder;
    }
    if (::access(path.c_str(), W_OK) != 0) {
        return CatalogAccess::ReadOnlyFile;
    }
    return CatalogAccess::Writable;
}

std::string DamagedCatalogName(const std::string& path, const std::string& date) {
    const fs::path original(path);
    const std::string base = original.stem().string() + "-damaged-" + date;
    const std::string extension = original.extension().string();
    std::error_code error;
    for (int number = 1;; ++number) {
        const std::string suffix = number == 1 ? "" : "-" + std::to_string(number);
        const fs::path candidate = original.parent_path() / (base + suffix + extension);
        if (!fs::exists(candidate, error)) {
            return candidate.string();
        }
    }
}

std::string ReplaceDamagedCatalog(const std::string& path, const std::string& freshCatalog,
                                  const std::string& date, std::string& error) {
    // The fresh copy is made first, so that a failure leaves everything as it was.
    const std::string fresh = path + ".fresh";
    std::error_code failure;
    if (!fs::copy_file(freshCatalog, fresh, fs::copy_options::overwrite_existing, failure)) {
        error = "cannot copy the fresh catalog '" + freshCatalog + "': " + failure.message();
        fs::remove(fresh, failure);
        return {};
    }
    const std::string aside = DamagedCatalogName(path, date);
    std::vector<std::pair<std::string, std::string>> moved;
    const auto undo = [&] {
        std::error_code ignored;
        for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
            fs::rename(it->second, it->first, ignored);
        }
        fs::remove(fresh, ignored);
    };
    std::vector<std::pair<std::string, std::string>> moves = {{path, aside}};
    for (const char* suffix : kCompanionSuffixes) {
        // A log left beside the fresh catalog would be played into it.
        if (fs::exists(path + suffix, failure)) {
            moves.emplace_back(path + suffix, aside + suffix);
        }
    }
    for (const auto& [from, to] : moves) {
        fs::rename(from, to, failure);
        if (failure) {
            error = "cannot rename '" + from + "' to '" + to + "': " + failure.message();
            undo();
            return {};
        }
        moved.emplace_back(from, to);
    }
    fs::rename(fresh, path, failure);
    if (failure) {
        error = "cannot put the fresh catalog in place: " + failure.message();
        undo();
        return {};
    }
    return aside;
}

}  // namespace kavelin
