// The catalog file before it is opened: damaged files, moving them aside,
// and catalogs the program cannot write.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "catalog/CatalogFile.h"
#include "catalog/CatalogOperations.h"
#include "tests/support/TestCatalog.h"

namespace kavelin {
namespace {

namespace fs = std::filesystem;

std::string Contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(CatalogFile, EmptyZeroedOrCutShortFilesAreDamagedNotForeign) {
    test::TestCatalog catalog;
    const fs::path path = catalog.CatalogPath();
    const std::string fresh = Contents(path);
    ASSERT_GT(fresh.size(), 4096u);
    EXPECT_EQ(CheckCatalogFile(path), CatalogFileState::Present);

    const std::pair<std::string, CatalogFileState> cases[] = {
        {"", CatalogFileState::Damaged},
        {std::string(8192, '\0'), CatalogFileState::Damaged},  // space taken, never written
        {fresh.substr(0, 10), CatalogFileState::Damaged},
        {fresh.substr(0, 100), CatalogFileState::Damaged},
        {fresh.substr(0, fresh.size() / 2), CatalogFileState::Damaged},
        {fresh.substr(0, fresh.size() - 1), CatalogFileState::Damaged},
        {std::string("\x00\x01\x00\x00Standard Jet DB\x00", 20) + std::string(200, 'x'),
         CatalogFileState::Foreign},
        {"plain text", CatalogFileState::Foreign},
        {std::string("SQLite format 3\0", 16) + std::string(84, '\0'), CatalogFileState::Foreign},
    };
    for (const auto& [bytes, state] : cases) {
        Write(path, bytes);
        EXPECT_EQ(CheckCatalogFile(path), state) << bytes.size() << " bytes";
    }
    // Pages not yet copied from the log are not missing.
    Write(path, fresh.substr(0, fresh.size() / 2));
    Write(path.string() + "-wal", "log");
    EXPECT_EQ(CheckCatalogFile(path), CatalogFileState::Present);
}

TEST(CatalogFile, ADamagedCatalogIsMovedAsideWithItsLogNeverDeleted) {
    test::TestCatalog catalog;
    const fs::path path = catalog.CatalogPath();
    const std::string damaged = Contents(path).substr(0, 1000);
    Write(path, damaged);
    Write(path.string() + "-wal", "its log");
    std::string error;
    const std::string aside =
        ReplaceDamagedCatalog(path, KAVELIN_FRESH_CATALOG, "2026-12-08", error);
    EXPECT_EQ(aside, (catalog.Directory() / "Kavelin-damaged-2026-12-08.mdb").string()) << error;
    EXPECT_EQ(Contents(aside), damaged);
    EXPECT_EQ(Contents(aside + "-wal"), "its log");
    EXPECT_FALSE(fs::exists(path.string() + "-wal"))
        << "a stale log would be played into the new file";
    EXPECT_EQ(Contents(path), Contents(KAVELIN_FRESH_CATALOG));
    EXPECT_EQ(CheckCatalogFile(path), CatalogFileState::Present);

    // The same day again: the first one stays where it is.
    Write(path, "");
    EXPECT_EQ(ReplaceDamagedCatalog(path, KAVELIN_FRESH_CATALOG, "2026-12-08", error),
              (catalog.Directory() / "Kavelin-damaged-2026-12-08-2.mdb").string());
    EXPECT_EQ(Contents(aside), damaged);

    // Without a fresh catalog nothing moves.
    Write(path, "");
    EXPECT_EQ(ReplaceDamagedCatalog(path, (catalog.Directory() / "none.mdb").string(), "2026-12-09",
                                    error),
              "");
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(fs::exists(path));
    EXPECT_FALSE(fs::exists(catalog.Directory() / "Kavelin-damaged-2026-12-09.mdb"));
}

// Runs `body` in a child process as a user without special rights: the
// superuser writes where permissions say no.
int AsPlainUser(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(100);
        }
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

enum Seen {
    kFileReadOnly = 1,
    kFolderReadOnly = 2,
    kConnected = 4,
    kOpenedReadOnly = 8,
    kRated = 16
};

int LookAtCatalog(const fs::path& path, const std::string& connection) {
    int seen = 0;
    const CatalogAccess access = CheckCatalogAccess(path);
    seen |= access == CatalogAccess::ReadOnlyFile ? kFileReadOnly : 0;
    seen |= access == CatalogAccess::ReadOnlyFolder ? kFolderReadOnly : 0;
    CADODataBase db;
    if (db.Connect(connection, "", "")) {
        seen |= kConnected;
        seen |= db.IsReadOnly() ? kOpenedReadOnly : 0;
        seen |= SetRating(db, 1, 1, kRatingGood) ? kRated : 0;
    }
    return seen;
}

TEST(CatalogAccess, AReadOnlyFileAndAReadOnlyFolderAreToldApart) {
    test::TestCatalog catalog;
    const fs::path path = catalog.CatalogPath();
    const fs::path folder = catalog.Directory();
    fs::permissions(folder, fs::perms::all);
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(AsPlainUser([&] { return LookAtCatalog(path, catalog.ConnectionString()); }),
              kFileReadOnly | kConnected | kOpenedReadOnly);

    fs::permissions(path, fs::perms::all);
    // As after a clean end: no working files left beside the catalog.
    fs::remove(path.string() + "-wal");
    fs::remove(path.string() + "-shm");
    const auto readAndEnter = fs::perms::owner_read | fs::perms::owner_exec |
                              fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(folder, readAndEnter);
    // The working files cannot be made beside the catalog: it cannot be opened at all.
    EXPECT_EQ(AsPlainUser([&] { return LookAtCatalog(path, catalog.ConnectionString()); }),
              kFolderReadOnly);
    fs::permissions(folder, fs::perms::owner_all);
}

}  // namespace
}  // namespace kavelin
