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

std::string UpdateHost() {
    return FromEnvironment("KAVELIN_UPDATE_HOST", "https://www.kavelin.org");
}

std::string UpdatePage() {
    return UpdateHost() + "/Updates.asp";
}

std::string SimilarArtistsHost() {
    return FromEnvironment("KAVELIN_SIMILAR_ARTISTS_HOST", "https://music.kavelin.org");
}

}  // namespace kavelin
