#pragma once

#include <QDialog>
#include <string>

class QTreeWidget;
class QTreeWidgetItem;

namespace kavelin {

class CADODataBase;
class PlaybackEngine;

// What a tree item of the catalog window stands for; a value above 0 is a track's ID.
inline constexpr int ItemArtistPending = -1;  // artist whose tracks were not read yet
inline constexpr int ItemArtistLoaded = -2;   // artist whose tracks are in the tree
inline constexpr int ItemPlaceholder = 0;     // "Retrieving..." under a pending artist
// The label of the node that holds the tracks without an artist.
inline constexpr const char* kNoArtistLabel = "(no artist)";

// The catalog window: artists and their tracks as a tree, rebuilt each time
// the window is shown. A double click plays a track; editing a label renames
// the artist (all its tracks) or the track in the catalog. Closing only hides it.
class CCatalogTreeView : public QDialog {
    Q_OBJECT
public:
    CCatalogTreeView(CADODataBase& database, PlaybackEngine& player);

    QTreeWidget* Tree() const { return m_pTree; }
    static int ItemValue(const QTreeWidgetItem* item);

    // Reads the artists again; their tracks follow when an artist is expanded.
    void Rebuild();
    void LoadArtistTracks(QTreeWidgetItem* artist);
    // Plays the track of the item, when it is the selected item and a track.
    void PlayItem(QTreeWidgetItem* item);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void OnItemChanged(QTreeWidgetItem* item);
    void AddItem(QTreeWidgetItem* parent, const std::string& text, int value);

    CADODataBase& m_database;
    PlaybackEngine& m_player;
    QTreeWidget* m_pTree;
};

}  // namespace kavelin
