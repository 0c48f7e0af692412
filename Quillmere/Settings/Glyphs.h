#pragma once

#include <QColor>
#include <QRectF>
#include <QString>
#include <QWidget>

class QPainter;

namespace quillmere {

// The program's own small symbols, drawn with the painter and keyed by the symbol names the
// settings use ("power", "lock.fill"...). An unknown name draws a plain rounded square.
namespace Glyphs {
bool has(const QString &name);
// Draws the symbol centred in `box` (square, side = the symbol's size).
void paint(QPainter &painter, const QString &name, const QRectF &box, const QColor &colour);
} // namespace Glyphs

// One symbol at a size, in a fixed frame.
class GlyphView : public QWidget {
    Q_OBJECT
public:
    GlyphView(QString name, double size, QColor colour, QSize frame, QWidget *parent = nullptr);
    void setName(const QString &name);
    void setColour(const QColor &colour);
    const QString &name() const { return m_name; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_name;
    double m_size;
    QColor m_colour;
};

} // namespace quillmere
