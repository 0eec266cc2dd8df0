#pragma once

#include <QPoint>
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

    void ShowIndex();
    void ShowTopic(const QString& topic);
    QString CurrentTopic() const { return m_strTopic; }

private:
    void Open(const QString& topic);

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

private:
    CHelpWindow& Window();
    std::unique_ptr<CHelpWindow> m_pWindow;
};

// The text of a context pop-up; the note on closing depends on whether the
// desktop has a notification area to keep Kavelin in.
QString ContextPopupText(int context, bool notificationArea);

}  // namespace kavelin
