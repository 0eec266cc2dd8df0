#include "ui/CatalogTreeView.h"

#include <QResizeEvent>
#include <QShowEvent>
#include <QTreeView>

#include "ui/DialogUnits.h"
#include "ui/WorkerLinks.h"

namespace kavelin {
namespace {

constexpr int kMargin = 10;

}  // namespace

CCatalogTreeView::CCatalogTreeView(CADODataBase& database, PlaybackEngine& player)
    : QDialog(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
      m_player(player),
      m_pModel(new CatalogModel(database, this)),
      m_pTree(new QTreeView(this)) {
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
    // Equal rows let the view place tens of thousands of artists without measuring each.
    m_pTree->setUniformRowHeights(true);
    m_pTree->setModel(m_pModel);

    connect(m_pTree, &QTreeView::expanded, m_pModel, &CatalogModel::LoadTracks);
    connect(m_pTree, &QTreeView::doubleClicked, this,
            [this](const QModelIndex& item) { PlayItem(item); });
}

void CCatalogTreeView::Rebuild() {
    setWindowIcon(QIcon(":/icons/kavelin.png"));
    m_pModel->Reload();
}

void CCatalogTreeView::PlayItem(const QModelIndex& item) {
    if (item.isValid() && item == m_pTree->currentIndex() && CatalogModel::Value(item) > 0) {
        m_player.PlayTrack(CatalogModel::Value(item));
    }
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
