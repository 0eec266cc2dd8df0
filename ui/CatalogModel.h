#pragma once

#include <QAbstractItemModel>
#include <QString>
#include <string>
#include <vector>

namespace kavelin {

class CADODataBase;

// What an item of the catalog window stands for; a value above 0 is a track's ID.
inline constexpr int ItemArtistPending = -1;  // artist whose tracks were not read yet
inline constexpr int ItemArtistLoaded = -2;   // artist whose tracks are in the tree
inline constexpr int ItemPlaceholder = 0;     // "Retrieving..." under a pending artist
// The label of the artist item that holds the tracks without an artist.
inline constexpr const char* kNoArtistLabel = "(no artist)";

// The catalog as artists and their tracks. Artist names are read a batch at a
// time, as the view scrolls towards them; an artist's tracks are read when it
// is expanded, so a catalog of hundreds of thousands of tracks opens at once.
// Editing a name renames the artist (all its tracks) or the track in the catalog.
class CatalogModel : public QAbstractItemModel {
    Q_OBJECT
public:
    static constexpr int ValueRole = Qt::UserRole;

    explicit CatalogModel(CADODataBase& database, QObject* parent = nullptr,
                          int artistsPerRead = 500);

    // Reads the first artists again; their tracks wait behind a placeholder.
    void Reload();
    // Reads the tracks of a pending artist in place of its placeholder.
    void LoadTracks(const QModelIndex& artist);
    static int Value(const QModelIndex& index);

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

private:
    struct Entry {
        QString name;  // as the catalog has it
        int value;
        bool noArtist = false;  // the tracks whose artist is null or empty
    };
    struct Artist {
        Entry entry;
        std::vector<Entry> tracks;  // the placeholder alone while pending
        std::string order;          // the artist's sort key in hexadecimal; empty for no artist
    };

    // The artist whose child the index is, or null for an artist's own index.
    const Artist* ParentArtist(const QModelIndex& index) const;
    Entry* EntryAt(const QModelIndex& index);
    const Entry* EntryAt(const QModelIndex& index) const;
    bool Rename(const Entry& entry, const QString& newName);
    // The next artists in name order after those already read.
    std::vector<Artist> ReadArtists();

    CADODataBase& m_database;
    const int m_nArtistsPerRead;
    std::vector<Artist> m_artists;
    bool m_bAllArtistsRead = true;
};

}  // namespace kavelin
