// The launcher and the program's own options, run as the user runs them.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/CommandLine.h"

namespace kavelin {
namespace {

namespace fs = std::filesystem;

struct Result {
    int status;
    std::string output;  // standard output and standard error together
};

Result RunLauncher(const std::string& arguments) {
    const std::string command = std::string(KAVELIN_LAUNCHER) + " " + arguments + " 2>&1";
    Result result{-1, {}};
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        return result;
    }
    std::array<char, 512> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe)) {
        result.output += buffer.data();
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(Launcher, HelpAndVersionAnswerWithoutTouchingTheDataDirectory) {
    const fs::path dir = fs::temp_directory_path() / "kavelin-launcher-untouched";
    fs::remove_all(dir);
    const Result help = RunLauncher("--data-dir " + dir.string() + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("--data-dir DIR"), std::string::npos) << help.output;
    EXPECT_NE(help.output.find("--verbose"), std::string::npos);
    const Result version = RunLauncher("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output, "Kavelin 1.00 beta\n");
    EXPECT_FALSE(fs::exists(dir));
}

TEST(Launcher, DataDirectoryGetsAFreshCatalogAndBadOptionsAreRefused) {
    const fs::path dir = fs::temp_directory_path() / "kavelin-launcher-data" / "nested";
    fs::remove_all(dir.parent_path());
    // The program ends at once on the unknown option, after the launcher's work.
    const Result unknown = RunLauncher("--data-dir=" + dir.string() + " --frobnicate");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.output.find("unknown option '--frobnicate'"), std::string::npos)
        << unknown.output;
    EXPECT_TRUE(fs::is_regular_file(dir / "Kavelin.mdb"));
    EXPECT_GT(fs::file_size(dir / "Kavelin.mdb"), 0u);
    fs::remove_all(dir.parent_path());

    const Result missing = RunLauncher("--data-dir");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.output.find("--data-dir needs a folder"), std::string::npos);
}

TEST(CommandLine, ToolkitOptionsAreLeftAlone) {
    const char* const arguments[] = {"kavelin", "-platform", "offscreen", "--verbose"};
    const CommandLine options = ParseCommandLine(4, arguments);
    EXPECT_TRUE(options.error.empty());
    EXPECT_TRUE(options.verbose);
    EXPECT_FALSE(options.help);
}

}  // namespace
}  // namespace kavelin
