#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

namespace kavelin {

// The windows' font: Verdana 8 where it is installed, else a close sans font.
QFont DialogFont();

// Dialog units measure layouts in the font's average character: a quarter of
// its width horizontally, an eighth of its height vertically.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    int X(int units) const;
    int Y(int units) const;
    QRect ToPixels(const QRect& units) const;
    QSize ToPixels(const QSize& units) const;

    // Converts the size of `container` and the geometry of the controls placed
    // on it, which the layout files give in dialog units.
    void ConvertLayout(QWidget* container) const;

private:
    int m_nBaseX;
    int m_nBaseY;
};

}  // namespace kavelin
