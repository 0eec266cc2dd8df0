#include "ui/HelpWindow.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QListWidget>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTextBrowser>
#include <QUrl>
#include <QWhatsThis>
#include <array>

#include "ui/DialogUnits.h"

namespace kavelin {
namespace {

struct Topic {
    const char* path;
    const char* title;
};

// The index, in the order a reader meets the window.
constexpr std::array<Topic, 11> kTopics{{
    {"html/Overview.htm", "Overview"},
    {"html/MoodSelector.htm", "Mood selector"},
    {"html/RateAwesome.htm", "Awesome! button"},
    {"html/RateGood.htm", "Good button"},
    {"html/RateNormal.htm", "Normal button"},
    {"html/RateBad.htm", "Bad button"},
    {"html/ExcludeButton.htm", "Exclude button"},
    {"html/SkipButton.htm", "Skip button"},
    {"html/PauseButton.htm", "Pause button"},
    {"html/SongSlider.htm", "Song position slider"},
    {"html/VolumeSlider.htm", "Volume slider"},
}};

constexpr const char* kHelpRoot = "qrc:/help/";

}  // namespace

QString HelpTopicForControl(int controlId) {
    switch (controlId) {
        case 1001:
            return "html/SkipButton.htm";
        case 1006:
            return "html/MoodSelector.htm";
        case 1008:
            return "html/SongSlider.htm";
        case 1009:
            return "html/RateAwesome.htm";
        case 1010:
            return "html/RateGood.htm";
        case 1011:
            return "html/RateNormal.htm";
        case 1012:
            return "html/RateBad.htm";
        case 1013:
            return "html/PauseButton.htm";
        case 1014:
            return "html/ExcludeButton.htm";
        case 1017:
            return "html/VolumeSlider.htm";
        default:
            return kOverviewTopic;
    }
}

QString ContextPopupText(int context, bool notificationArea) {
    if (context != kClosedToTrayPopup) {
        return QString();
    }
    if (notificationArea) {
        return "Kavelin keeps playing in the notification area.\n"
               "Double-click its icon there to get the window back, or right-click it "
               "to rate, skip or exit.";
    }
    return "Kavelin keeps playing with its window minimised.\n"
           "Bring the window back from the task bar; choose Catalog > Exit to end Kavelin.";
}

CHelpWindow::CHelpWindow() : m_pIndex(new QListWidget(this)), m_pPage(new QTextBrowser(this)) {
    setWindowTitle("Kavelin Help");
    setFont(DialogFont());
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_pIndex, 1);
    layout->addWidget(m_pPage, 3);
    for (const Topic& topic : kTopics) {
        auto* item = new QListWidgetItem(topic.title, m_pIndex);
        item->setData(Qt::UserRole, QString(topic.path));
    }
    m_pPage->setOpenLinks(true);
    m_pPage->setOpenExternalLinks(false);
    connect(m_pIndex, &QListWidget::itemActivated, this,
            [this](QListWidgetItem* item) { Open(item->data(Qt::UserRole).toString()); });
    connect(m_pIndex, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { Open(item->data(Qt::UserRole).toString()); });
    m_wanted = DialogUnits(font()).ToPixels(QSize(320, 220));
    resize(m_wanted);
}

QRect PlaceOnScreen(const QSize& wanted, const QRect& available) {
    const QSize size = wanted.boundedTo(available.size());
    QRect placed(QPoint(0, 0), size);
    placed.moveCenter(available.center());
    return placed;
}

void CHelpWindow::ShowIndex(const QWidget* near) {
    Open(kOverviewTopic);
    m_pIndex->setFocus();
    Present(near);
}

void CHelpWindow::ShowTopic(const QString& topic, const QWidget* near) {
    Open(topic);
    Present(near);
}

void CHelpWindow::Present(const QWidget* near) {
    // Opened over the window that asked, whole on that window's screen; a
    // window the user has already placed stays where it is.
    if (!isVisible()) {
        QScreen* screen = near ? near->screen() : QGuiApplication::primaryScreen();
        if (screen) {
            setScreen(screen);
            const QRect available = screen->availableGeometry();
            const QSize frame = frameGeometry().size() - geometry().size();
            const QRect inside = PlaceOnScreen(m_wanted + frame, available);
            resize(inside.size() - frame);
            move(inside.topLeft());
        }
    }
    showNormal();
    raise();
    activateWindow();
}

void CHelpWindow::Open(const QString& topic) {
    m_strTopic = topic;
    m_pPage->setSource(QUrl(kHelpRoot + topic));
    for (int row = 0; row < m_pIndex->count(); ++row) {
        if (m_pIndex->item(row)->data(Qt::UserRole).toString() == topic) {
            m_pIndex->setCurrentRow(row);
        }
    }
}

DesktopHelp::DesktopHelp() = default;
DesktopHelp::~DesktopHelp() = default;

CHelpWindow& DesktopHelp::Window() {
    if (!m_pWindow) {
        m_pWindow = std::make_unique<CHelpWindow>();
    }
    return *m_pWindow;
}

void DesktopHelp::ShowIndex() {
    Window().ShowIndex(m_pMainWindow);
}

void DesktopHelp::ShowTopic(const QString& topic) {
    Window().ShowTopic(topic, m_pMainWindow);
}

void DesktopHelp::ShowContextPopup(int context, const QPoint& position) {
    QWhatsThis::showText(position,
                         ContextPopupText(context, QSystemTrayIcon::isSystemTrayAvailable()));
}

}  // namespace kavelin
