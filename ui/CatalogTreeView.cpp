#include "ui/CatalogTreeView.h"

#include <QResizeEvent>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <cstdio>

#include "catalog/ADORecordset.h"
#include "catalog/CatalogOperations.h"
#include "ui/DialogUnits.h"
#include "ui/WorkerLinks.h"

namespace kavelin {
namespace {

constexpr int kValueRole = Qt::UserRole;
// The label as the catalog has it, to tell the old name of a renamed artist.
constexpr int kStoredNameRole = Qt::UserRole + 1;
// Set on the item of the tracks without an artist, whose label is not a name.
constexpr int kNoArtistRole = Qt::UserRole + 2;
constexpr int kMargin = 10;

bool IsNoArtist(const QTreeWidgetItem* item) {
    return item->data(0, kNoArtistRole).toBool();
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
    const int size = std::snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<std::size_t>(size), '\0');
    std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

}  // namespace

CCatalogTreeView::CCatalogTreeView(CADODataBase& database, PlaybackEngine& player)
    : QDialog(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
      m_database(database),
      m_player(player),
      m_pTree(new QTreeWidget(this)) {
    setObjectName("CCatalogTreeView");
    setWindowTitle("Catalog");
    setFont(DialogFont());
    const DialogUnits units(font());
    resize(units.ToPixels(QSize(304, 210)));
    m_pTree->setObjectName("catalogTree");
    m_pTree->setGeometry(units.ToPixels(QRect(7, 7, 290, 196)));
    m_pTree->setHeaderHidden(true);
    m_pTree->setRootIsDecorated(true);
    m_pTree->setEditTriggers(QAbstractItemView::SelectedClicked |
                             QAbstractItemView::EditKeyPressed);
    m_pTree->setUniformRowHeights(true);

    connect(m_pTree, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* item) { LoadArtistTracks(item); });
    connect(m_pTree, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item) { PlayItem(item); });
    connect(m_pTree, &QTreeWidget::itemChanged, this,
            [this](QTreeWidgetItem* item) { OnItemChanged(item); });
}

int CCatalogTreeView::ItemValue(const QTreeWidgetItem* item) {
    return item->data(0, kValueRole).toInt();
}

void CCatalogTreeView::AddItem(QTreeWidgetItem* parent, const std::string& text, int value) {
    auto* item = new QTreeWidgetItem(parent);
    const QString label = QString::fromStdString(text);
    item->setText(0, label);
    item->setData(0, kValueRole, value);
    item->setData(0, kStoredNameRole, label);
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    if (value == ItemArtistPending) {
        AddItem(item, "Retrieving...", ItemPlaceholder);
    }
}

void CCatalogTreeView::Rebuild() {
    setWindowIcon(QIcon(":/icons/kavelin.png"));
    const QSignalBlocker quiet(m_pTree);
    m_pTree->clear();
    auto* root = m_pTree->invisibleRootItem();
    try {
        CADORecordset artists(m_database);
        if (!artists.OpenSource(
                "SELECT Artist FROM tTrack WHERE Deleted=0 GROUP BY Artist ORDER BY Artist",
                CADORecordset::SourceQuery)) {
            return;
        }
        bool noArtistShown = false;
        while (!artists.AtEnd()) {
            std::string name;
            artists.ReadField(0, name);
            artists.MoveNext();
            if (!name.empty()) {
                AddItem(root, name, ItemArtistPending);
            } else if (!noArtistShown) {
                // Tracks without an artist (null or empty) share one visible node.
                noArtistShown = true;
                AddItem(root, kNoArtistLabel, ItemArtistPending);
                QTreeWidgetItem* item = root->child(root->childCount() - 1);
                item->setData(0, kNoArtistRole, true);
                item->setData(0, kStoredNameRole, QString());
            }
        }
        artists.CloseSource();
    } catch (const CADOException&) {
        // A listing that cannot be read shows as an empty tree.
    }
}

void CCatalogTreeView::LoadArtistTracks(QTreeWidgetItem* artist) {
    if (ItemValue(artist) != ItemArtistPending) {
        return;
    }
    const QSignalBlocker quiet(m_pTree);
    artist->setData(0, kValueRole, ItemArtistLoaded);
    delete artist->takeChild(0);
    const std::string name = artist->data(0, kStoredNameRole).toString().toStdString();
    const std::string statement =
        IsNoArtist(artist)
            ? std::string(
                  "SELECT ID, Trackname FROM tTrack WHERE Deleted=0 AND (Artist IS "
                  "NULL OR Artist='') ORDER BY TrackName")
            : Format(
                  "SELECT ID, Trackname FROM tTrack WHERE Deleted=0 AND Artist='%s' ORDER BY "
                  "TrackName",
                  QuoteForSql(name).c_str());
    try {
        CADORecordset tracks(m_database);
        if (!tracks.OpenSource(statement, CADORecordset::SourceQuery)) {
            return;
        }
        while (!tracks.AtEnd()) {
            long id = 0;
            std::string title;
            tracks.ReadField(0, id);
            tracks.ReadField(1, title);
            AddItem(artist, title, static_cast<int>(id));
            tracks.MoveNext();
        }
        tracks.CloseSource();
    } catch (const CADOException&) {
        // An artist whose tracks cannot be read shows none.
    }
}

void CCatalogTreeView::PlayItem(QTreeWidgetItem* item) {
    if (item && item == m_pTree->currentItem() && ItemValue(item) > 0) {
        m_player.PlayTrack(ItemValue(item));
    }
}

void CCatalogTreeView::OnItemChanged(QTreeWidgetItem* item) {
    const QString oldName = item->data(0, kStoredNameRole).toString();
    const QString newName = item->text(0);
    const QSignalBlocker quiet(m_pTree);
    if (newName.isEmpty()) {
        // An empty name would leave the artist or track without one: keep the old.
        item->setText(0, IsNoArtist(item) ? QString(kNoArtistLabel) : oldName);
        return;
    }
    if (newName == oldName || (IsNoArtist(item) && newName == kNoArtistLabel)) {
        return;
    }
    const int value = ItemValue(item);
    const std::string newText = QuoteForSql(newName.toStdString());
    if (IsNoArtist(item)) {
        // Naming the tracks without an artist gives them all that artist.
        m_database.ExecuteStatement(Format(
            "UPDATE tTrack SET Artist='%s' WHERE Artist IS NULL OR Artist=''", newText.c_str()));
        item->setData(0, kNoArtistRole, false);
    } else if (value == ItemArtistPending || value == ItemArtistLoaded) {
        m_database.ExecuteStatement(Format("UPDATE tTrack SET Artist='%s' WHERE Artist='%s'",
                                           newText.c_str(),
                                           QuoteForSql(oldName.toStdString()).c_str()));
    } else {
        m_database.ExecuteStatement(
            Format("UPDATE tTrack SET TrackName='%s' WHERE ID=%d", newText.c_str(), value));
    }
    item->setData(0, kStoredNameRole, newName);
}

void CCatalogTreeView::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        Rebuild();
    }
}

void CCatalogTreeView::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    m_pTree->setGeometry(kMargin, kMargin, event->size().width() - 2 * kMargin,
                         event->size().height() - 2 * kMargin);
}

}  // namespace kavelin
