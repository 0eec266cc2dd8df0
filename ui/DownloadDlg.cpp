#include "ui/DownloadDlg.h"

#include <QFontMetrics>
#include <QLabel>
#include <QListWidgetItem>
#include <algorithm>

#include "acquisition/Recommender.h"
#include "ui_DownloadDlg.h"

namespace kavelin {
namespace {

constexpr int kMaxArtistCharacters = 100;

// Sorts as a sorted list box does: without regard to letter case.
class CArtistItem : public QListWidgetItem {
public:
    using QListWidgetItem::QListWidgetItem;
    bool operator<(const QListWidgetItem& other) const override {
        const int order = QString::compare(text(), other.text(), Qt::CaseInsensitive);
        return order != 0 ? order < 0 : text() < other.text();
    }
};

// The layout is drawn in dialog units: a quarter of the font's average
// character width across, an eighth of its height down.
void ApplyDialogUnits(QDialog& dialog) {
    const QFontMetrics metrics(dialog.font());
    const int averageWidth = (metrics.horizontalAdvance(QStringLiteral(
                                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                                  26 +
                              1) /
                             2;
    const int height = metrics.height();
    const auto toPixels = [&](const QRect& units) {
        return QRect(units.x() * averageWidth / 4, units.y() * height / 8,
                     units.width() * averageWidth / 4, units.height() * height / 8);
    };
    for (QWidget* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        QRect pixels = toPixels(child->geometry());
        // A font wider than the layout's keeps a one-line label whole.
        if (auto* label = qobject_cast<QLabel*>(child); label != nullptr && !label->wordWrap()) {
            pixels.setWidth(std::max(pixels.width(), label->sizeHint().width()));
        }
        child->setGeometry(pixels);
    }
    dialog.setFixedSize(toPixels(QRect(QPoint(0, 0), dialog.size())).size());
}

// At most the first kMaxArtistCharacters characters, never half a character.
QString FirstCharacters(const QString& text) {
    QString cut = text.left(kMaxArtistCharacters);
    if (!cut.isEmpty() && cut.back().isHighSurrogate()) {
        cut.chop(1);
    }
    return cut;
}

}  // namespace

CDownloadDlg::CDownloadDlg(CADODataBase& database, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_database(database),
      m_pUi(std::make_unique<Ui::CDownloadDlg>()) {
    m_pUi->setupUi(this);
    ApplyDialogUnits(*this);
    m_pUi->m_listArtists->setSortingEnabled(true);
    connect(m_pUi->m_buttonAdd, &QPushButton::clicked, this, &CDownloadDlg::OnAddArtist);
    connect(m_pUi->m_buttonOk, &QPushButton::clicked, this, &CDownloadDlg::accept);
    m_pUi->m_editArtist->setFocus();
}

CDownloadDlg::~CDownloadDlg() = default;

std::vector<std::string> CDownloadDlg::Names() const {
    std::vector<std::string> names;
    for (int row = 0; row < m_pUi->m_listArtists->count(); ++row) {
        names.push_back(m_pUi->m_listArtists->item(row)->text().toStdString());
    }
    return names;
}

void CDownloadDlg::OnAddArtist() {
    const QString name = FirstCharacters(m_pUi->m_editArtist->text());
    m_pUi->m_listArtists->addItem(new CArtistItem(name));
    // The service has no page for no artist.
    if (!name.isEmpty()) {
        StartSimilarArtistLookup(m_database, name.toStdString());
    }
}

void CDownloadDlg::accept() {
    for (const std::string& name : Names()) {
        AddRecommendedArtist(m_database, name);
    }
    QDialog::accept();
}

}  // namespace kavelin
