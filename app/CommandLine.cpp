#include "app/CommandLine.h"

#include <string_view>

namespace kavelin {

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument == "--verbose") {
            options.verbose = true;
        } else if (argument.starts_with("--")) {
            options.error =
                "kavelin: unknown option '" + std::string(argument) + "'. Try 'kavelin --help'.";
            break;
        }
    }
    return options;
}

std::string UsageText() {
    return "Usage: kavelin [OPTION]...\n"
           "Plays your MP3 files to fit your mood and learns from your ratings.\n"
           "\n"
           "  --data-dir DIR  keep the catalog in DIR and run there (default:\n"
           "                  ${XDG_DATA_HOME:-~/.local/share}/kavelin); a fresh catalog\n"
           "                  is put there when none is\n"
           "  --verbose       also write the log's lines to the console\n"
           "  --help          show this help and end\n"
           "  --version       show the version and end\n"
           "\n"
           "The log is kept in ${XDG_STATE_HOME:-~/.local/state}/kavelin/kavelin.log.\n";
}

std::string VersionText() {
    return "Kavelin 1.00 beta\n";
}

}  // namespace kavelin
