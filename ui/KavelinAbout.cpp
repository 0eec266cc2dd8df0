#include "ui/KavelinAbout.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/DialogUnits.h"

namespace kavelin {

CKavelinAbout::CKavelinAbout()
    : QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint) {
    setObjectName("CKavelinAbout");
    setWindowTitle(kAboutCaption);
    setFont(DialogFont());
    setAutoFillBackground(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor(245, 245, 245));
    setPalette(colours);

    auto* product = new QLabel(kProductLine, this);
    QFont bold = font();
    bold.setBold(true);
    product->setFont(bold);
    product->setObjectName("productLine");

    auto* credits = new QLabel(this);
    credits->setObjectName("credits");
    credits->setTextFormat(Qt::PlainText);
    credits->setWordWrap(true);
    credits->setText(
        "Plays your music to fit your mood, and learns from your ratings.\n\n"
        "Made with:\n"
        "  Qt 6, the application framework and text-to-speech\n"
        "  SQLite, the catalog database\n"
        "  id3lib and zlib, reading the tags of MP3 files\n"
        "  libmpv, the built-in player\n"
        "  Audacious, the external player, over D-Bus\n"
        "  DejaVu fonts\n\n"
        "Thanks to everyone who wrote and shared these.");

    auto* ok = new QPushButton("OK", this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QWidget::hide);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(product);
    layout->addWidget(credits, 1);
    layout->addWidget(ok, 0, Qt::AlignHCenter);
    setFixedSize(DialogUnits(font()).ToPixels(QSize(196, 161)));
}

}  // namespace kavelin
