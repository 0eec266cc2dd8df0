#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QLabel;

namespace kavelin {

class PendingWrites;

// The main window's status line. While ratings or plays wait to be saved it
// says so, whatever else would be shown; the last other text returns once
// they are stored.
class CStatusLine : public QObject {
    Q_OBJECT
public:
    CStatusLine(QLabel& label, const PendingWrites& writes);

    // Shows a text unless waiting writes take the line.
    void Show(const QString& text);
    // Looks again at the waiting writes; also done twice a second.
    void Refresh();
    // The last text shown, whether or not waiting writes cover it now.
    const QString& Text() const { return m_strText; }

private:
    QLabel& m_label;
    const PendingWrites& m_writes;
    QString m_strText;  // what the line says when no writes wait
    QTimer m_timer;
};

}  // namespace kavelin
