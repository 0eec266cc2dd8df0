#include "acquisition/Recommender.h"

#include <QByteArray>
#include <QCoreApplication>
#include <algorithm>

#include "catalog/ADODataBase.h"
#include "catalog/CatalogOperations.h"
#include "platform/addresses/ServiceAddresses.h"

namespace kavelin {
namespace {

constexpr std::string_view kArtistLinkMarker = "<td><a href=\"/music/";
constexpr std::size_t kLongestIgnoredBlock = 6;

std::size_t CharacterCount(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// The next position of a character at or after `from`. Remembers its last
// answer, so that a block with many links and few such characters is still
// read only once.
class ForwardSearch {
public:
    ForwardSearch(std::string_view text, char wanted) : m_text(text), m_wanted(wanted) {}

    std::size_t From(std::size_t from) {
        if (!m_bSearched || (m_nFound != std::string_view::npos && m_nFound < from)) {
            m_nFound = m_text.find(m_wanted, from);
            m_bSearched = true;
        }
        return m_nFound;
    }

private:
    std::string_view m_text;
    char m_wanted;
    bool m_bSearched = false;
    std::size_t m_nFound = std::string_view::npos;
};

// Holds the lookups under way; dies with the application object, so that a
// lookup still running at the end of the program is not left behind.
QObject* LookupOwner() {
    static QPointer<QObject> owner;
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr) {
        return nullptr;
    }
    if (owner == nullptr) {
        owner = new QObject(application);
    }
    return owner;
}

}  // namespace

namespace {

void InsertArtist(CADODataBase& database, const std::string& name) {
    if (name.empty() || CharacterCount(name) > kMaxNameLength) {
        return;
    }
    const std::string quoted = QuoteForSql(name);
    // "Björk" is listed already when "BJÖRK" is.
    database.ExecuteStatement("INSERT INTO tRecommender(Name) SELECT TOP 1 '" + quoted +
                              "' FROM tCounter WHERE NOT EXISTS (SELECT * From tRecommender "
                              "WHERE FoldCase(Name)=FoldCase('" +
                              quoted + "'))");
}

// Keeps the newest kMaxRecommendedArtists names: pages that name new artists
// without end must not grow the list (and the downloader's turns) without end.
void DropOldestArtists(CADODataBase& database) {
    database.ExecuteStatement("DELETE FROM tRecommender WHERE ID NOT IN (SELECT TOP " +
                              std::to_string(kMaxRecommendedArtists) +
                              " tRecommender.ID FROM tRecommender ORDER BY tRecommender.ID DESC)");
}

}  // namespace

void AddRecommendedArtist(CADODataBase& database, const std::string& name) {
    AddRecommendedArtists(database, {name});
}

void AddRecommendedArtists(CADODataBase& database, const std::vector<std::string>& names) {
    if (names.empty()) {
        return;
    }
    // One transaction for the lot: one write for the catalog, and other
    // writers wait once rather than once a name.
    CADOTransaction transaction(database);
    for (const auto& name : names) {
        InsertArtist(database, name);
    }
    DropOldestArtists(database);
    transaction.Commit();
}

std::vector<std::string> SimilarArtistNames(std::string_view block) {
    std::vector<std::string> names;
    if (block.size() <= kLongestIgnoredBlock) {
        return names;
    }
    ForwardSearch tagEnd(block, '>');
    ForwardSearch tagStart(block, '<');
    std::size_t position = 0;
    while (true) {
        const std::size_t marker = block.find(kArtistLinkMarker, position);
        if (marker == std::string_view::npos) {
            return names;
        }
        position = marker + kArtistLinkMarker.size();
        // The link text follows the end of the link's opening tag.
        const std::size_t openingEnd = tagEnd.From(position);
        if (openingEnd != std::string_view::npos) {
            position = openingEnd + 1;
        }
        const std::size_t textEnd = tagStart.From(position);
        if (textEnd != std::string_view::npos) {
            names.emplace_back(block.substr(position, textEnd - position));
        }
    }
}

void ScanSimilarArtistsBlock(CADODataBase& database, std::string_view block) {
    AddRecommendedArtists(database, SimilarArtistNames(block));
}

std::string SimilarArtistsAddress(const std::string& artist) {
    const QByteArray name(artist.data(), static_cast<qsizetype>(artist.size()));
    return SimilarArtistsHost() + "/similar/" + name.toPercentEncoding().toStdString();
}

QPointer<CUrlRequest> StartSimilarArtistLookup(CADODataBase& database, const std::string& artist) {
    QObject* owner = LookupOwner();
    if (owner == nullptr) {
        return nullptr;
    }
    auto* request = new CUrlRequest(owner);
    QObject::connect(request, &CUrlRequest::TransferEnded, request, &QObject::deleteLater);
    const bool started =
        request->Start(SimilarArtistsAddress(artist), "", RequestMethod::Get,
                       [&database](const char* data, std::size_t length) {
                           ScanSimilarArtistsBlock(database, std::string_view(data, length));
                       });
    if (!started) {
        delete request;
        return nullptr;
    }
    return request;
}

int SimilarArtistLookupsUnderWay() {
    QObject* owner = LookupOwner();
    return owner == nullptr
               ? 0
               : static_cast<int>(
                     owner->findChildren<CUrlRequest*>(Qt::FindDirectChildrenOnly).size());
}

void EndSimilarArtistLookups() {
    QObject* owner = LookupOwner();
    if (owner != nullptr) {
        qDeleteAll(owner->findChildren<CUrlRequest*>(Qt::FindDirectChildrenOnly));
    }
}

}  // namespace kavelin
