#include "ui/CatalogModel.h"

#include <cstdio>
#include <iterator>
#include <string>
#include <utility>

#include "catalog/ADORecordset.h"
#include "catalog/CatalogOperations.h"

namespace kavelin {
namespace {

// Internal id of an artist's own index; a track's index carries its artist's row + 1.
constexpr quintptr kArtistLevel = 0;

}  // namespace

CatalogModel::CatalogModel(CADODataBase& database, QObject* parent, int artistsPerRead)
    : QAbstractItemModel(parent), m_database(database), m_nArtistsPerRead(artistsPerRead) {}

int CatalogModel::Value(const QModelIndex& index) {
    return index.data(ValueRole).toInt();
}

void CatalogModel::Reload() {
    beginResetModel();
    m_artists.clear();
    m_bAllArtistsRead = false;
    m_artists = ReadArtists();
    endResetModel();
}

bool CatalogModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && !m_bAllArtistsRead;
}

void CatalogModel::fetchMore(const QModelIndex& parent) {
    if (!canFetchMore(parent)) {
        return;
    }
    std::vector<Artist> more = ReadArtists();
    if (more.empty()) {
        return;
    }
    const int first = static_cast<int>(m_artists.size());
    beginInsertRows({}, first, first + static_cast<int>(more.size()) - 1);
    std::move(more.begin(), more.end(), std::back_inserter(m_artists));
    endInsertRows();
}

std::vector<CatalogModel::Artist> CatalogModel::ReadArtists() {
    // Artists come in the order of the user's language, one item for every
    // spelling that differs only in case. Each batch starts after the sort
    // key of the last artist read, so the index on the key answers it without
    // counting off the artists before.
    std::string after;
    if (!m_artists.empty()) {
        const std::string& last = m_artists.back().order;
        after = last.empty() ? " AND ArtistOrder IS NOT NULL" : " AND ArtistOrder>X'" + last + "'";
    }
    std::vector<Artist> artists;
    int rowsRead = 0;
    try {
        CADORecordset rows(m_database);
        if (rows.OpenSource(FormatStatement("SELECT TOP %d min(Artist), hex(ArtistOrder) FROM "
                                            "tTrack WHERE Deleted=0%s GROUP BY ArtistOrder "
                                            "ORDER BY ArtistOrder",
                                            m_nArtistsPerRead, after.c_str()),
                            CADORecordset::SourceQuery)) {
            artists.reserve(static_cast<std::size_t>(rows.CountRows()));
            while (!rows.AtEnd()) {
                std::string name;
                std::string order;
                rows.ReadField(0, name);
                rows.ReadField(1, order);
                rows.MoveNext();
                ++rowsRead;
                // Null and empty artists have no sort key and share one item.
                artists.push_back({{QString::fromStdString(name), ItemArtistPending, order.empty()},
                                   {{QStringLiteral("Retrieving..."), ItemPlaceholder}},
                                   std::move(order)});
            }
        }
    } catch (const CADOException&) {
        // A listing that cannot be read shows no (further) artists.
        artists.clear();
    }
    m_bAllArtistsRead = rowsRead < m_nArtistsPerRead;
    return artists;
}

void CatalogModel::LoadTracks(const QModelIndex& index) {
    if (!index.isValid() || index.internalId() != kArtistLevel) {
        return;
    }
    Artist& artist = m_artists[static_cast<std::size_t>(index.row())];
    if (artist.entry.value != ItemArtistPending) {
        return;
    }
    artist.entry.value = ItemArtistLoaded;
    beginRemoveRows(index, 0, 0);
    artist.tracks.clear();
    endRemoveRows();

    std::vector<Entry> tracks;
    try {
        CADORecordset rows(m_database);
        const std::string statement =
            artist.entry.noArtist
                ? std::string(
                      "SELECT ID, Trackname FROM tTrack WHERE Deleted=0 AND (Artist IS "
                      "NULL OR Artist='') ORDER BY NameOrder(Trackname)")
                : FormatStatement(
                      "SELECT ID, Trackname FROM tTrack WHERE Deleted=0 AND "
                      "ArtistKey=FoldCase('%s') ORDER BY NameOrder(Trackname)",
                      QuoteForSql(artist.entry.name.toStdString()).c_str());
        if (rows.OpenSource(statement, CADORecordset::SourceQuery)) {
            while (!rows.AtEnd()) {
                long id = 0;
                std::string title;
                rows.ReadField(0, id);
                rows.ReadField(1, title);
                tracks.push_back({QString::fromStdString(title), static_cast<int>(id)});
                rows.MoveNext();
            }
        }
    } catch (const CADOException&) {
        // An artist whose tracks cannot be read shows none.
        tracks.clear();
    }
    emit dataChanged(index, index, {ValueRole});
    if (tracks.empty()) {
        return;
    }
    beginInsertRows(index, 0, static_cast<int>(tracks.size()) - 1);
    artist.tracks = std::move(tracks);
    endInsertRows();
}

QModelIndex CatalogModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0 || row >= rowCount(parent)) {
        return {};
    }
    if (!parent.isValid()) {
        return createIndex(row, 0, kArtistLevel);
    }
    return createIndex(row, 0, static_cast<quintptr>(parent.row()) + 1);
}

QModelIndex CatalogModel::parent(const QModelIndex& child) const {
    if (!child.isValid() || child.internalId() == kArtistLevel) {
        return {};
    }
    return createIndex(static_cast<int>(child.internalId() - 1), 0, kArtistLevel);
}

int CatalogModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) {
        return static_cast<int>(m_artists.size());
    }
    if (parent.internalId() != kArtistLevel) {
        return 0;
    }
    return static_cast<int>(m_artists[static_cast<std::size_t>(parent.row())].tracks.size());
}

int CatalogModel::columnCount(const QModelIndex&) const {
    return 1;
}

const CatalogModel::Artist* CatalogModel::ParentArtist(const QModelIndex& index) const {
    if (index.internalId() == kArtistLevel) {
        return nullptr;
    }
    return &m_artists[static_cast<std::size_t>(index.internalId() - 1)];
}

const CatalogModel::Entry* CatalogModel::EntryAt(const QModelIndex& index) const {
    if (!index.isValid()) {
        return nullptr;
    }
    const auto row = static_cast<std::size_t>(index.row());
    if (const Artist* artist = ParentArtist(index)) {
        return &artist->tracks[row];
    }
    return &m_artists[row].entry;
}

CatalogModel::Entry* CatalogModel::EntryAt(const QModelIndex& index) {
    return const_cast<Entry*>(std::as_const(*this).EntryAt(index));
}

QVariant CatalogModel::data(const QModelIndex& index, int role) const {
    const Entry* entry = EntryAt(index);
    if (!entry) {
        return {};
    }
    switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            return entry->noArtist ? QString(kNoArtistLabel) : entry->name;
        case ValueRole:
            return entry->value;
        default:
            return {};
    }
}

Qt::ItemFlags CatalogModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (Value(index) != ItemPlaceholder) {
        flags |= Qt::ItemIsEditable;
    }
    if (index.internalId() != kArtistLevel) {
        flags |= Qt::ItemNeverHasChildren;
    }
    return flags;
}

bool CatalogModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    Entry* entry = EntryAt(index);
    if (!entry || role != Qt::EditRole || entry->value == ItemPlaceholder) {
        return false;
    }
    const QString newName = value.toString();
    if (newName.isEmpty()) {
        // An empty name would leave the artist or track without one: keep the old.
        return false;
    }
    if (newName == data(index, Qt::EditRole).toString()) {
        return true;
    }
    if (!Rename(*entry, newName)) {
        // The catalog kept the old name; so does the label.
        return false;
    }
    entry->name = newName;
    entry->noArtist = false;
    emit dataChanged(index, index, {Qt::DisplayRole, Qt::EditRole});
    return true;
}

bool CatalogModel::Rename(const Entry& entry, const QString& newName) {
    const std::string newText = QuoteForSql(newName.toStdString());
    if (entry.noArtist) {
        // Naming the tracks without an artist gives them all that artist.
        return m_database.ExecuteStatement(FormatStatement(
            "UPDATE tTrack SET Artist='%s' WHERE Artist IS NULL OR Artist=''", newText.c_str()));
    }
    if (entry.value == ItemArtistPending || entry.value == ItemArtistLoaded) {
        return m_database.ExecuteStatement(
            FormatStatement("UPDATE tTrack SET Artist='%s' WHERE ArtistKey=FoldCase('%s')",
                            newText.c_str(), QuoteForSql(entry.name.toStdString()).c_str()));
    }
    return m_database.ExecuteStatement(FormatStatement(
        "UPDATE tTrack SET TrackName='%s' WHERE ID=%d", newText.c_str(), entry.value));
}

}  // namespace kavelin
