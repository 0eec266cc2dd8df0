#include "ui/StatusLine.h"

#include <QLabel>

#include "catalog/PendingWrites.h"

namespace kavelin {

CStatusLine::CStatusLine(QLabel& label, const PendingWrites& writes)
    : m_label(label), m_writes(writes), m_strText(label.text()) {
    // The retry thread stores what waits; the line follows it from here.
    connect(&m_timer, &QTimer::timeout, this, &CStatusLine::Refresh);
    m_timer.start(500);
    Refresh();
}

void CStatusLine::Show(const QString& text) {
    m_strText = text;
    Refresh();
}

void CStatusLine::Refresh() {
    const std::string waiting = m_writes.StatusText();
    const QString text = waiting.empty() ? m_strText : QString::fromStdString(waiting);
    if (m_label.text() != text) {
        m_label.setText(text);
    }
}

}  // namespace kavelin
