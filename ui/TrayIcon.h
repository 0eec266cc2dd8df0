#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <memory>

class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace kavelin {

// The longest tip the notification icon shows.
inline constexpr int kMaxTrayTipLength = 63;

// The first 63 characters of the text, never splitting a character in two.
QString CutTrayTip(const QString& text);

// The icon in the desktop's notification area. Inactive, doing nothing, where
// the desktop has no notification area.
class CTrayIcon : public QObject {
    Q_OBJECT
public:
    CTrayIcon();
    ~CTrayIcon() override;

    // Shows the icon; a double click restores `window`, the right button shows `menu`.
    void Create(QWidget* window, const QString& tip, const QIcon& icon, QMenu* menu);
    void SetTip(const QString& text);
    void Destroy();

    bool IsActive() const { return m_bActive; }
    QString Tip() const;

private:
    void OnActivated(int reason);

    bool m_bActive = false;
    QWidget* m_pWindow = nullptr;
    std::unique_ptr<QSystemTrayIcon> m_pIcon;
};

}  // namespace kavelin
