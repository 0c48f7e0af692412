#pragma once

#include <QColor>
#include <QPalette>
#include <QWidget>
#include <functional>

class QHBoxLayout;

namespace quillmere {

// The frame the settings window and the setup guide share: a sidebar with the program's mark,
// a one-pixel divider and the detail beside it, on a dark palette.

// A flat fill: sidebars, dividers and detail areas.
class Backdrop : public QWidget {
public:
    Backdrop(QColor colour, QWidget *parent) : QWidget(parent), m_colour(colour) {}

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QColor m_colour;
};

// The program's mark at the head of a sidebar: the clipboard glyph on a tile of the accent.
class IdentityTile : public QWidget {
public:
    IdentityTile(QColor accent, QWidget *parent);

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QColor m_accent;
};

namespace WindowFrame {

struct DarkColours {
    QColor window;
    QColor text;
    QColor base;
    QColor highlight;
};
QPalette darkPalette(const DarkColours &colours);

// Gives `window` its fixed size and palette, then lays out the sidebar it makes and the divider;
// the detail goes into the returned row.
QHBoxLayout *layOut(QWidget *window, QSize size, const QPalette &palette, const std::function<QWidget *()> &makeSidebar,
                    QColor divider);

} // namespace WindowFrame

} // namespace quillmere
