#pragma once

#include <QDialog>

#include "ui/CatalogModel.h"

class QTreeView;

namespace kavelin {

class CADODataBase;
class PlaybackEngine;

// The catalog window: artists and their tracks as a tree, read again each time
// the window is shown. A double click plays a track; editing a label renames
// the artist (all its tracks) or the track in the catalog. Closing only hides it.
class CCatalogTreeView : public QDialog {
    Q_OBJECT
public:
    CCatalogTreeView(CADODataBase& database, PlaybackEngine& player);

    QTreeView* Tree() const { return m_pTree; }
    CatalogModel* Model() const { return m_pModel; }

    // Reads the artists again; their tracks follow when an artist is expanded.
    void Rebuild();
    // Plays the track of the item, when it is the selected item and a track.
    void PlayItem(const QModelIndex& item);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    PlaybackEngine& m_player;
    CatalogModel* m_pModel;
    QTreeView* m_pTree;
};

}  // namespace kavelin
