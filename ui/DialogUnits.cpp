#include "ui/DialogUnits.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QWidget>

namespace kavelin {

QFont DialogFont() {
    // DejaVu Sans comes from the same design family as Verdana and has close metrics.
    for (const char* family : {"Verdana", "DejaVu Sans", "Bitstream Vera Sans"}) {
        if (QFontDatabase::hasFamily(family)) {
            QFont font(family);
            font.setPointSize(8);
            return font;
        }
    }
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(8);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int alphabetWidth =
        metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_nBaseX = (alphabetWidth / 26 + 1) / 2;
    m_nBaseY = metrics.height();
}

int DialogUnits::X(int units) const {
    return (units * m_nBaseX + 2) / 4;
}

int DialogUnits::Y(int units) const {
    return (units * m_nBaseY + 4) / 8;
}

QRect DialogUnits::ToPixels(const QRect& units) const {
    return QRect(X(units.x()), Y(units.y()), X(units.width()), Y(units.height()));
}

QSize DialogUnits::ToPixels(const QSize& units) const {
    return QSize(X(units.width()), Y(units.height()));
}

void DialogUnits::ConvertLayout(QWidget* container) const {
    container->resize(ToPixels(container->size()));
    for (QWidget* control : container->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        control->setGeometry(ToPixels(control->geometry()));
    }
}

}  // namespace kavelin
