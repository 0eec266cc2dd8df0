#include "ui/TrayIcon.h"

#include <QSystemTrayIcon>
#include <QWidget>

namespace kavelin {

QString CutTrayTip(const QString& text) {
    if (text.size() <= kMaxTrayTipLength) {
        return text;
    }
    int length = kMaxTrayTipLength;
    if (text.at(length - 1).isHighSurrogate()) {
        --length;
    }
    return text.left(length);
}

CTrayIcon::CTrayIcon() = default;

CTrayIcon::~CTrayIcon() {
    Destroy();
}

void CTrayIcon::Create(QWidget* window, const QString& tip, const QIcon& icon, QMenu* menu) {
    m_bActive = QSystemTrayIcon::isSystemTrayAvailable();
    if (!m_bActive) {
        return;
    }
    m_pWindow = window;
    m_pIcon = std::make_unique<QSystemTrayIcon>(icon);
    m_pIcon->setToolTip(CutTrayTip(tip));
    m_pIcon->setContextMenu(menu);
    connect(m_pIcon.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { OnActivated(reason); });
    m_pIcon->show();
}

void CTrayIcon::SetTip(const QString& text) {
    if (m_bActive && m_pIcon) {
        m_pIcon->setToolTip(CutTrayTip(text));
    }
}

void CTrayIcon::Destroy() {
    if (m_bActive && m_pIcon) {
        m_pIcon->hide();
        m_pIcon.reset();
    }
}

QString CTrayIcon::Tip() const {
    return m_pIcon ? m_pIcon->toolTip() : QString();
}

void CTrayIcon::OnActivated(int reason) {
    if (reason == QSystemTrayIcon::DoubleClick && m_pWindow) {
        m_pWindow->showNormal();
        m_pWindow->raise();
        m_pWindow->activateWindow();
    }
}

}  // namespace kavelin
