#include "ui/KavelinAbout.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/DialogUnits.h"

namespace kavelin {

CKavelinAbout::CKavelinAbout() : QDialog(nullptr, Qt::Dialog | Qt::FramelessWindowHint) {
    setObjectName("CKavelinAbout");
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

    // Without a caption the box draws its own edge.
    auto* edge = new QFrame(this);
    edge->setFrameShape(QFrame::Box);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(edge);
    auto* layout = new QVBoxLayout(edge);
    layout->addWidget(product);
    layout->addWidget(credits, 1);
    layout->addWidget(ok, 0, Qt::AlignHCenter);
    setFixedSize(DialogUnits(font()).ToPixels(QSize(196, 161)));
}

}  // namespace kavelin
