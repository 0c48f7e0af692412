#include "Quillmere/Settings/WindowFrame.h"

#include "Quillmere/Platform/Widgets/PaletteTools.h"
#include "Quillmere/Settings/Glyphs.h"

#include <QHBoxLayout>
#include <QPainter>

namespace quillmere {

void Backdrop::paintEvent(QPaintEvent *)
{
    QPainter(this).fillRect(rect(), m_colour);
}

IdentityTile::IdentityTile(QColor accent, QWidget *parent) : QWidget(parent), m_accent(accent)
{
    setFixedSize(38, 38);
}

void IdentityTile::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(PaletteTools::withOpacity(m_accent, 0.18));
    p.drawRoundedRect(QRectF(rect()), 10, 10);
    const qreal side = 18 * 1.2;
    Glyphs::paint(p, QStringLiteral("doc.on.clipboard"), QRectF((38 - side) / 2, (38 - side) / 2, side, side),
                  m_accent);
}

namespace WindowFrame {

QPalette darkPalette(const DarkColours &colours)
{
    QPalette palette;
    palette.setColor(QPalette::Window, colours.window);
    palette.setColor(QPalette::WindowText, colours.text);
    palette.setColor(QPalette::Base, colours.base);
    palette.setColor(QPalette::Text, colours.text);
    palette.setColor(QPalette::Button, QColor(40, 40, 43));
    palette.setColor(QPalette::ButtonText, colours.text);
    palette.setColor(QPalette::Highlight, colours.highlight);
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::ToolTipBase, colours.base);
    palette.setColor(QPalette::ToolTipText, colours.text);
    return palette;
}

QHBoxLayout *layOut(QWidget *window, QSize size, const QPalette &palette, const std::function<QWidget *()> &makeSidebar,
                    QColor divider)
{
    window->setFixedSize(size);
    window->setPalette(palette);
    window->setAutoFillBackground(true);
    auto *row = new QHBoxLayout(window);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(makeSidebar());
    auto *separator = new Backdrop(divider, window);
    separator->setFixedWidth(1);
    row->addWidget(separator);
    return row;
}

} // namespace WindowFrame

} // namespace quillmere
