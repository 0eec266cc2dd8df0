#pragma once

#include <QPointer>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/UrlRequest.h"
#include "catalog/ADODataBase.h"

namespace kavelin {

// The recommender list keeps this many names; the oldest go first.
inline constexpr int kMaxRecommendedArtists = 2000;

// Adds an artist to the recommender list (tRecommender) unless a row with
// that name is there already. Empty names and names longer than a catalog
// name column holds are not artists and add nothing.
void AddRecommendedArtist(CADODataBase& database, const std::string& name);
// The same for several names, in one transaction.
void AddRecommendedArtists(CADODataBase& database, const std::vector<std::string>& names);

// The link texts of the artist links in one block of a similar-artists page,
// in page order. Blocks of 6 bytes or less hold none.
std::vector<std::string> SimilarArtistNames(std::string_view block);

// Scans one block of a similar-artists page and adds the artist of every
// artist link in it, in one transaction. Each block is scanned by itself: an entry that a block
// boundary cuts is lost or cut short. Blocks of 6 bytes or less are ignored.
void ScanSimilarArtistsBlock(CADODataBase& database, std::string_view block);

// The similar-artists page of an artist; the name is percent-encoded (UTF-8,
// everything but letters, digits and "-._~"), so that blanks, "&", "/", "?"
// and "#" reach the service as part of the name.
std::string SimilarArtistsAddress(const std::string& artist);

// Fetches the similar-artists page of an artist in the background and adds
// the artists it names. Returns at once with the lookup's request, which
// releases itself when its transfer ends (null when none could be started).
// The database must outlive the lookup (see EndSimilarArtistLookups).
QPointer<CUrlRequest> StartSimilarArtistLookup(CADODataBase& database, const std::string& artist);

int SimilarArtistLookupsUnderWay();
// Ends every lookup still under way, before the catalog they write to closes.
void EndSimilarArtistLookups();

}  // namespace kavelin
