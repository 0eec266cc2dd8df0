#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/log/ProgramLog.h"

namespace kavelin {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class ProgramLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir =
            fs::temp_directory_path() /
            ("kavelin-log-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        fs::remove_all(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    fs::path m_dir;
};

TEST_F(ProgramLogTest, LinesCarryLevelAndSourceAndCannotForgeMoreLines) {
    ProgramLog log(m_dir / "state" / "kavelin.log");
    log.Write(LogLevel::Warning, "scan", "bad tag in /m/a.mp3\n2026-01-01 00:00:00 error fake");
    const std::string text = Read(m_dir / "state" / "kavelin.log");
    EXPECT_NE(text.find(" warning scan: bad tag in /m/a.mp3 2026-01-01"), std::string::npos)
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST_F(ProgramLogTest, StaysBoundedByRotatingIntoAFewOlderFiles) {
    const fs::path file = m_dir / "kavelin.log";
    ProgramLog log(file, 1000, 2);
    const std::string text(80, 'x');
    for (int i = 0; i < 200; ++i) {
        log.Write(LogLevel::Info, "player", std::to_string(i) + " " + text);
    }
    EXPECT_LE(fs::file_size(file), 1000u);
    EXPECT_LE(fs::file_size(file.string() + ".1"), 1000u);
    EXPECT_LE(fs::file_size(file.string() + ".2"), 1000u);
    EXPECT_FALSE(fs::exists(file.string() + ".3"));
    EXPECT_NE(Read(file).find("player: 199 "), std::string::npos) << "the newest line is kept";
    EXPECT_EQ(Read(file.string() + ".2").find("player: 0 "), std::string::npos)
        << "the oldest lines are gone";
}

TEST_F(ProgramLogTest, FileFollowsTheStateDirectoryAndLinesWithoutALogAreDropped) {
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("XDG_STATE_HOME", "/srv/state", 1);
    EXPECT_EQ(DefaultLogFile(), fs::path("/srv/state/kavelin/kavelin.log"));
    setenv("XDG_STATE_HOME", "", 1);
    setenv("HOME", "/home/ann", 1);
    EXPECT_EQ(DefaultLogFile(), fs::path("/home/ann/.local/state/kavelin/kavelin.log"));
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_STATE_HOME");

    auto installed = std::make_shared<ProgramLog>(m_dir / "k.log");
    auto previous = InstallLog(installed);
    Log(LogLevel::Error, "catalog", "disk full");
    InstallLog(nullptr);
    Log(LogLevel::Error, "catalog", "not written");
    InstallLog(previous);
    const std::string text = Read(m_dir / "k.log");
    EXPECT_NE(text.find(" error catalog: disk full"), std::string::npos);
    EXPECT_EQ(text.find("not written"), std::string::npos);
}

}  // namespace
}  // namespace kavelin
