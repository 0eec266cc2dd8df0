#pragma once

#include <string>

namespace kavelin {

// Addresses of the outside services the program talks to or shows. Each can be
// replaced by an environment variable, so that tests point them at loopback.

// KAVELIN_MDAC_DOWNLOAD_PAGE: where the database engine the catalog needs can be had.
std::string MdacDownloadPage();
// KAVELIN_MDAC_HELP_PAGE: the help page opened when the catalog engine is unusable.
std::string MdacHelpPage();

// KAVELIN_UPDATE_HOST: scheme, host and port of the maker's web site, asked at
// every start whether a newer version exists.
std::string UpdateHost();
// The update page on that host.
std::string UpdatePage();
// KAVELIN_SIMILAR_ARTISTS_HOST: scheme, host and port of the similar-artists
// web service; its pages live under "/similar/".
std::string SimilarArtistsHost();

}  // namespace kavelin
