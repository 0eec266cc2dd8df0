#include "platform/addresses/ServiceAddresses.h"

#include <cstdlib>

namespace kavelin {
namespace {

std::string FromEnvironment(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

std::string MdacDownloadPage() {
    return FromEnvironment("KAVELIN_MDAC_DOWNLOAD_PAGE", "https://www.sqlite.org/download.html");
}

std::string MdacHelpPage() {
    return FromEnvironment("KAVELIN_MDAC_HELP_PAGE",
                           "https://packages.debian.org/bookworm/libsqlite3-0");
}

}  // namespace kavelin
