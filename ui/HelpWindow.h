#pragma once

#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>
#include <memory>

class QListWidget;
class QTextBrowser;

namespace kavelin {

// Help topics, as paths inside the help pages.
inline constexpr const char* kOverviewTopic = "html/Overview.htm";
// The note shown the first times the main window is closed to the notification area.
inline constexpr int kClosedToTrayPopup = 1000;

// The topic that explains the main window's control with this identifier;
// the overview for any control without a topic of its own.
QString HelpTopicForControl(int controlId);

// Where a window of the wanted size goes on a screen with this free area:
// centred, and made smaller where it would not fit whole.
QRect PlaceOnScreen(const QSize& wanted, const QRect& available);

// What the windows ask of the help: the index, a topic, a context pop-up.
class HelpSystem {
public:
    virtual ~HelpSystem() = default;
    virtual void ShowIndex() = 0;
    virtual void ShowTopic(const QString& topic) = 0;
    virtual void ShowContextPopup(int context, const QPoint& position) = 0;
};

// The help window: the index of topics on the left, the chosen topic on the right.
class CHelpWindow : public QWidget {
    Q_OBJECT
public:
    CHelpWindow();

    // `near` is the window the help is asked from: the help opens on its screen.
    void ShowIndex(const QWidget* near = nullptr);
    void ShowTopic(const QString& topic, const QWidget* near = nullptr);
    QString CurrentTopic() const { return m_strTopic; }

private:
    void Open(const QString& topic);
    void Present(const QWidget* near);

    QSize m_wanted;
    QListWidget* m_pIndex;
    QTextBrowser* m_pPage;
    QString m_strTopic;
};

// The desktop's help: one help window, made at the first request.
class DesktopHelp : public HelpSystem {
public:
    DesktopHelp();
    ~DesktopHelp() override;
    void ShowIndex() override;
    void ShowTopic(const QString& topic) override;
    void ShowContextPopup(int context, const QPoint& position) override;
    // The help window opens on this window's screen.
    void SetMainWindow(const QWidget* window) { m_pMainWindow = window; }

private:
    CHelpWindow& Window();
    const QWidget* m_pMainWindow = nullptr;
    std::unique_ptr<CHelpWindow> m_pWindow;
};

// The text of a context pop-up; the note on closing depends on whether the
// desktop has a notification area to keep Kavelin in.
QString ContextPopupText(int context, bool notificationArea);

}  // namespace kavelin
