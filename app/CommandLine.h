#pragma once

#include <string>

namespace kavelin {

// What the user asked for on the command line. The data directory option is
// the launcher's; the program only explains it in its help.
struct CommandLine {
    bool help = false;
    bool version = false;
    bool verbose = false;  // the log's lines also go to the console
    std::string error;     // a message for the user; the program then ends
};

// Reads the long options; single-dash options are the toolkit's and are left to it.
CommandLine ParseCommandLine(int argc, const char* const* argv);

std::string UsageText();
std::string VersionText();

}  // namespace kavelin
