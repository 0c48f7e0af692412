#include "Quillmere/Settings/Glyphs.h"

#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QtMath>
#include <functional>

namespace quillmere {
namespace {

// Every symbol is drawn on a 20 × 20 grid with a 1.7-unit line.
constexpr qreal kGrid = 20;
constexpr qreal kLine = 1.7;

struct Pen {
    QPainter &p;
    QColor c;

    void stroke(const QPainterPath &path, qreal width = kLine) const
    {
        QPen pen(c, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        p.strokePath(path, pen);
    }
    void fill(const QPainterPath &path) const { p.fillPath(path, c); }
    void line(qreal x1, qreal y1, qreal x2, qreal y2, qreal width = kLine) const
    {
        QPainterPath path(QPointF(x1, y1));
        path.lineTo(x2, y2);
        stroke(path, width);
    }
    void dot(qreal x, qreal y, qreal r) const { fill(circle(x, y, r)); }

    static QPainterPath circle(qreal x, qreal y, qreal r)
    {
        QPainterPath path;
        path.addEllipse(QPointF(x, y), r, r);
        return path;
    }
    static QPainterPath rounded(qreal x, qreal y, qreal w, qreal h, qreal r)
    {
        QPainterPath path;
        path.addRoundedRect(QRectF(x, y, w, h), r, r);
        return path;
    }
    // The area a line covers, to cut marks out of filled shapes.
    static QPainterPath outline(const QPainterPath &path, qreal width = kLine)
    {
        QPainterPathStroker stroker;
        stroker.setWidth(width);
        stroker.setCapStyle(Qt::RoundCap);
        stroker.setJoinStyle(Qt::RoundJoin);
        return stroker.createStroke(path);
    }
    static QPainterPath polyline(std::initializer_list<QPointF> points)
    {
        QPainterPath path;
        bool first = true;
        for (const QPointF &pt : points) {
            if (first)
                path.moveTo(pt);
            else
                path.lineTo(pt);
            first = false;
        }
        return path;
    }
};

QPainterPath cloud(qreal dx = 0, qreal dy = 0)
{
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    path.addEllipse(QPointF(7 + dx, 11 + dy), 4, 4);
    path.addEllipse(QPointF(11.5 + dx, 8.5 + dy), 5, 5);
    path.addEllipse(QPointF(15 + dx, 11.5 + dy), 3.5, 3.5);
    path.addRoundedRect(QRectF(3 + dx, 10 + dy, 15.5 + 0, 5), 2.5, 2.5);
    return path.simplified();
}

QPainterPath shield()
{
    QPainterPath path(QPointF(10, 2));
    path.cubicTo(12.5, 3.6, 14.5, 4.2, 17, 4.4);
    path.cubicTo(17, 11, 15, 15.5, 10, 18);
    path.cubicTo(5, 15.5, 3, 11, 3, 4.4);
    path.cubicTo(5.5, 4.2, 7.5, 3.6, 10, 2);
    path.closeSubpath();
    return path;
}

QPainterPath sparkle(qreal x, qreal y, qreal r)
{
    const qreal k = r * 0.18;
    QPainterPath path(QPointF(x, y - r));
    path.quadTo(x + k, y - k, x + r, y);
    path.quadTo(x + k, y + k, x, y + r);
    path.quadTo(x - k, y + k, x - r, y);
    path.quadTo(x - k, y - k, x, y - r);
    path.closeSubpath();
    return path;
}

QPainterPath checkMark(qreal x, qreal y, qreal s)
{
    return Pen::polyline({{x - 3.6 * s, y + 0.2 * s}, {x - 1.1 * s, y + 2.7 * s}, {x + 3.8 * s, y - 2.6 * s}});
}

using Painter = std::function<void(const Pen &)>;

void cloudWithMark(const Pen &g, const std::function<void(const Pen &)> &mark)
{
    g.stroke(cloud(0, 0.5), 1.5);
    mark(g);
}

const QHash<QString, Painter> &painters()
{
    static const QHash<QString, Painter> table = {
        {"doc.on.clipboard",
         [](const Pen &g) {
             g.stroke(Pen::rounded(4, 3.5, 12, 14.5, 2.2));
             g.fill(Pen::rounded(7, 1.6, 6, 3.6, 1.2));
             g.line(7.3, 9, 12.7, 9, 1.5);
             g.line(7.3, 12.5, 11, 12.5, 1.5);
         }},
        {"slider.horizontal.3",
         [](const Pen &g) {
             const qreal ys[] = {4.5, 10, 15.5}, xs[] = {7, 13.5, 9};
             for (int i = 0; i < 3; ++i) {
                 g.line(2.5, ys[i], 17.5, ys[i], 1.5);
                 g.dot(xs[i], ys[i], 2.4);
             }
         }},
        {"rectangle.split.3x1",
         [](const Pen &g) {
             g.stroke(Pen::rounded(2, 5, 16, 10, 2));
             g.line(7.4, 5.5, 7.4, 14.5, 1.4);
             g.line(12.6, 5.5, 12.6, 14.5, 1.4);
         }},
        {"camera.viewfinder",
         [](const Pen &g) {
             for (auto [x, y, dx, dy] :
                  {std::array<qreal, 4>{2.5, 2.5, 1, 1}, {17.5, 2.5, -1, 1}, {2.5, 17.5, 1, -1}, {17.5, 17.5, -1, -1}})
                 g.stroke(Pen::polyline({{x, y + 4 * dy}, {x, y}, {x + 4 * dx, y}}), 1.5);
             g.fill(Pen::rounded(5.5, 7.5, 9, 6.5, 1.5)
                        .united(Pen::rounded(8, 6.2, 4, 2.5, 0.8))
                        .subtracted(Pen::circle(10, 10.8, 1.9)));
         }},
        {"hand.raised.fill",
         [](const Pen &g) {
             QPainterPath hand = Pen::rounded(5, 8.5, 10.5, 9.5, 4);
             hand = hand.united(Pen::rounded(5, 4.5, 2.3, 9, 1.15));
             hand = hand.united(Pen::rounded(7.7, 2.5, 2.3, 10, 1.15));
             hand = hand.united(Pen::rounded(10.4, 3, 2.3, 9.5, 1.15));
             hand = hand.united(Pen::rounded(13.1, 5, 2.3, 8, 1.15));
             QTransform thumb;
             thumb.translate(15, 13);
             thumb.rotate(-40);
             hand = hand.united(thumb.map(Pen::rounded(-1.2, -5.5, 2.4, 6, 1.2)));
             g.fill(hand);
         }},
        {"shield.lefthalf.filled",
         [](const Pen &g) {
             g.stroke(shield(), 1.5);
             QPainterPath left;
             left.addRect(QRectF(0, 0, 10, 20));
             g.fill(shield().intersected(left));
         }},
        {"wand.and.stars",
         [](const Pen &g) {
             g.line(3, 17, 12.5, 7.5, 2.2);
             g.fill(sparkle(15.5, 4, 3));
             g.fill(sparkle(8.5, 3.5, 2));
             g.fill(sparkle(16.5, 11, 2));
         }},
        {"icloud.fill", [](const Pen &g) { g.fill(cloud()); }},
        {"rosette",
         [](const Pen &g) {
             g.stroke(Pen::circle(10, 8, 5.2), 1.6);
             g.fill(Pen::polyline({{6.5, 12}, {5, 18.5}, {7.6, 17}, {9.3, 18.8}, {10, 13.5}}));
             g.fill(Pen::polyline({{13.5, 12}, {15, 18.5}, {12.4, 17}, {10.7, 18.8}, {10, 13.5}}));
         }},
        {"externaldrive.fill",
         [](const Pen &g) { g.fill(Pen::rounded(2, 6, 16, 9, 2.5).subtracted(Pen::circle(14.5, 10.5, 1.2))); }},
        // The Data pane and the storage sheet.
        {"internaldrive",
         [](const Pen &g) {
             g.stroke(Pen::rounded(2.5, 6, 15, 8.5, 2.2));
             g.dot(14, 10.25, 1.1);
             g.line(5.5, 10.25, 9.5, 10.25, 1.4);
         }},
        {"chart.bar.doc.horizontal",
         [](const Pen &g) {
             g.stroke(Pen::rounded(3.5, 2.5, 13, 15, 2));
             g.line(6.5, 7, 13.5, 7, 1.6);
             g.line(6.5, 10.5, 10.5, 10.5, 1.6);
             g.line(6.5, 14, 12, 14, 1.6);
         }},
        {"square.and.arrow.up.on.square",
         [](const Pen &g) {
             g.stroke(Pen::polyline({{7, 8}, {4.5, 8}, {4.5, 17.5}, {15.5, 17.5}, {15.5, 8}, {13, 8}}), 1.5);
             g.line(10, 12.5, 10, 2.5, 1.5);
             g.stroke(Pen::polyline({{7, 5.5}, {10, 2.5}, {13, 5.5}}), 1.5);
         }},
        {"square.and.arrow.down.on.square",
         [](const Pen &g) {
             g.stroke(Pen::polyline({{7, 8}, {4.5, 8}, {4.5, 17.5}, {15.5, 17.5}, {15.5, 8}, {13, 8}}), 1.5);
             g.line(10, 2.5, 10, 12.5, 1.5);
             g.stroke(Pen::polyline({{7, 9.5}, {10, 12.5}, {13, 9.5}}), 1.5);
         }},
        {"square.and.arrow.up",
         [](const Pen &g) {
             g.stroke(Pen::polyline({{7, 8}, {4.5, 8}, {4.5, 17.5}, {15.5, 17.5}, {15.5, 8}, {13, 8}}), 1.5);
             g.line(10, 12, 10, 2.5, 1.5);
             g.stroke(Pen::polyline({{7, 5.5}, {10, 2.5}, {13, 5.5}}), 1.5);
         }},
        {"tray.and.arrow.down",
         [](const Pen &g) {
             g.stroke(
                 Pen::polyline(
                     {{2.5, 12}, {2.5, 17}, {17.5, 17}, {17.5, 12}, {13, 12}, {12, 14}, {8, 14}, {7, 12}, {2.5, 12}}),
                 1.5);
             g.line(10, 2.5, 10, 10, 1.5);
             g.stroke(Pen::polyline({{7, 7}, {10, 10}, {13, 7}}), 1.5);
         }},
        {"trash",
         [](const Pen &g) {
             g.line(3.5, 5, 16.5, 5, 1.5);
             g.stroke(Pen::polyline({{8, 5}, {8, 3}, {12, 3}, {12, 5}}), 1.4);
             g.stroke(Pen::polyline({{5, 5}, {6, 17.5}, {14, 17.5}, {15, 5}}), 1.5);
             g.line(8.5, 8, 8.7, 14.5, 1.3);
             g.line(11.5, 8, 11.3, 14.5, 1.3);
         }},
        {"doc.plaintext",
         [](const Pen &g) {
             g.stroke(Pen::rounded(4, 2.5, 12, 15, 2));
             for (qreal y : {6.5, 9.5, 12.5})
                 g.line(7, y, 13, y, 1.4);
         }},
        {"doc",
         [](const Pen &g) {
             g.stroke(Pen::polyline({{11.5, 2.5}, {4.5, 2.5}, {4.5, 17.5}, {15.5, 17.5}, {15.5, 6.5}, {11.5, 2.5}}));
             g.stroke(Pen::polyline({{11.5, 2.5}, {11.5, 6.5}, {15.5, 6.5}}), 1.4);
         }},
        {"link",
         [](const Pen &g) {
             QTransform turn;
             turn.translate(10, 10);
             turn.rotate(-45);
             g.stroke(turn.map(Pen::rounded(-7.5, -2.6, 8.5, 5.2, 2.6)), 1.6);
             g.stroke(turn.map(Pen::rounded(-1, -2.6, 8.5, 5.2, 2.6)), 1.6);
         }},
        {"photo",
         [](const Pen &g) {
             g.stroke(Pen::rounded(2.5, 4, 15, 12, 2));
             g.dot(7, 8, 1.4);
             g.fill(Pen::polyline({{4, 15}, {9, 10}, {12, 13}, {13.5, 11.5}, {16, 15}}));
         }},
        {"square.on.square.dashed",
         [](const Pen &g) {
             QPen dashed(g.c, 1.4, Qt::DashLine, Qt::RoundCap, Qt::RoundJoin);
             dashed.setDashPattern({1.5, 2});
             g.p.strokePath(Pen::rounded(2.5, 2.5, 10.5, 10.5, 2), dashed);
             g.stroke(Pen::rounded(7, 7, 10.5, 10.5, 2), 1.5);
         }},
        {"info.circle.fill",
         [](const Pen &g) {
             QPainterPath i = Pen::circle(10, 6, 1.3).united(Pen::rounded(9, 8.5, 2, 6.5, 0.8));
             g.fill(Pen::circle(10, 10, 8.5).subtracted(i));
         }},
        {"number",
         [](const Pen &g) {
             g.line(8, 3, 6.5, 17);
             g.line(13.5, 3, 12, 17);
             g.line(3.5, 7.5, 17, 7.5);
             g.line(3, 12.5, 16.5, 12.5);
         }},
        {"keyboard",
         [](const Pen &g) {
             g.stroke(Pen::rounded(1.5, 5, 17, 11, 2), 1.5);
             for (int row = 0; row < 2; ++row)
                 for (int col = 0; col < 5; ++col)
                     g.fill(Pen::rounded(3.6 + col * 2.8, 7.2 + row * 2.6, 1.6, 1.4, 0.3));
             g.line(6.5, 13.2, 13.5, 13.2, 1.4);
         }},
        {"power",
         [](const Pen &g) {
             QPainterPath arc;
             arc.arcMoveTo(QRectF(3, 3.5, 14, 14), 60);
             arc.arcTo(QRectF(3, 3.5, 14, 14), 60, -300);
             g.stroke(arc, 1.9);
             g.line(10, 2, 10, 9.5, 1.9);
         }},
        {"exclamationmark.triangle.fill",
         [](const Pen &g) {
             QPainterPath triangle = Pen::outline(Pen::polyline({{10, 3}, {18, 17}, {2, 17}, {10, 3}}), 2.4);
             triangle = triangle.united(Pen::polyline({{10, 3}, {18, 17}, {2, 17}, {10, 3}}));
             const QPainterPath mark = Pen::rounded(9.1, 7.5, 1.8, 5.5, 0.9).united(Pen::circle(10, 15, 1.1));
             g.fill(triangle.subtracted(mark));
         }},
        {"gear.badge",
         [](const Pen &g) {
             QPainterPath gear = Pen::circle(9, 11, 5.2);
             for (int i = 0; i < 8; ++i) {
                 QTransform t;
                 t.translate(9, 11);
                 t.rotate(i * 45);
                 gear = gear.united(t.map(Pen::rounded(-1.3, -7.3, 2.6, 3.5, 0.6)));
             }
             g.fill(gear.subtracted(Pen::circle(9, 11, 2.3)));
             g.dot(16.5, 4, 2.6);
         }},
        {"rectangle.inset.filled",
         [](const Pen &g) {
             g.stroke(Pen::rounded(2, 4, 16, 12, 2.2), 1.5);
             g.fill(Pen::rounded(4.8, 6.8, 10.4, 6.4, 1));
         }},
        {"rectangle.stack",
         [](const Pen &g) {
             g.line(5.5, 3.5, 14.5, 3.5, 1.4);
             g.line(4, 6, 16, 6, 1.4);
             g.stroke(Pen::rounded(2.5, 8.5, 15, 9, 2), 1.5);
         }},
        {"square.grid.2x2",
         [](const Pen &g) {
             for (auto [x, y] : {std::pair<qreal, qreal>{3, 3}, {11, 3}, {3, 11}, {11, 11}})
                 g.stroke(Pen::rounded(x, y, 6, 6, 1.6), 1.5);
         }},
        {"pause.circle",
         [](const Pen &g) {
             g.stroke(Pen::circle(10, 10, 8), 1.5);
             g.line(8, 7, 8, 13, 1.8);
             g.line(12, 7, 12, 13, 1.8);
         }},
        {"speaker.wave.2",
         [](const Pen &g) {
             g.fill(Pen::polyline({{2, 7.5}, {5, 7.5}, {9.5, 3.5}, {9.5, 16.5}, {5, 12.5}, {2, 12.5}}));
             QPainterPath near, far;
             near.arcMoveTo(QRectF(8, 6, 8, 8), 50);
             near.arcTo(QRectF(8, 6, 8, 8), 50, -100);
             far.arcMoveTo(QRectF(7, 3, 14, 14), 50);
             far.arcTo(QRectF(7, 3, 14, 14), 50, -100);
             g.stroke(near, 1.5);
             g.stroke(far, 1.5);
         }},
        {"clock.arrow.circlepath",
         [](const Pen &g) {
             QPainterPath arc;
             arc.arcMoveTo(QRectF(3, 3, 14, 14), 160);
             arc.arcTo(QRectF(3, 3, 14, 14), 160, -320);
             g.stroke(arc, 1.5);
             g.fill(Pen::polyline({{0.8, 8.2}, {4.2, 12.2}, {6.6, 7.7}}));
             g.stroke(Pen::polyline({{10, 6.5}, {10, 10.3}, {12.6, 11.8}}), 1.5);
         }},
        {"icloud.and.arrow.up",
         [](const Pen &g) {
             cloudWithMark(g, [](const Pen &m) {
                 m.line(10.8, 14.2, 10.8, 8.8, 1.4);
                 m.stroke(Pen::polyline({{8.6, 10.8}, {10.8, 8.6}, {13, 10.8}}), 1.4);
             });
         }},
        {"checkmark.circle.fill",
         [](const Pen &g) { g.fill(Pen::circle(10, 10, 8.5).subtracted(Pen::outline(checkMark(10, 10, 1.1), 2))); }},
        {"checkmark.shield",
         [](const Pen &g) {
             g.stroke(shield(), 1.5);
             g.stroke(checkMark(10, 9.6, 0.9), 1.6);
         }},
        {"checkmark.shield.fill",
         [](const Pen &g) { g.fill(shield().subtracted(Pen::outline(checkMark(10, 9.6, 0.9), 1.8))); }},
        {"lock.shield",
         [](const Pen &g) {
             g.stroke(shield(), 1.5);
             g.fill(Pen::rounded(7, 9.2, 6, 4.8, 1));
             QPainterPath shackle;
             shackle.arcMoveTo(QRectF(8.2, 6.2, 3.6, 5), 180);
             shackle.arcTo(QRectF(8.2, 6.2, 3.6, 5), 180, -180);
             g.stroke(shackle, 1.2);
         }},
        {"record.circle",
         [](const Pen &g) {
             g.stroke(Pen::circle(10, 10, 8), 1.5);
             g.fill(Pen::circle(10, 10, 4));
         }},
        {"lock.doc",
         [](const Pen &g) {
             g.stroke(Pen::polyline({{12, 2}, {4.5, 2}, {4.5, 18}, {15.5, 18}, {15.5, 5.5}, {12, 2}}), 1.4);
             g.fill(Pen::rounded(7, 10, 6, 4.8, 1));
             QPainterPath shackle;
             shackle.arcMoveTo(QRectF(8, 6.8, 4, 5), 180);
             shackle.arcTo(QRectF(8, 6.8, 4, 5), 180, -180);
             g.stroke(shackle, 1.3);
         }},
        {"macbook",
         [](const Pen &g) {
             g.stroke(Pen::rounded(4, 4, 12, 9, 1.2), 1.5);
             g.stroke(Pen::polyline({{1.5, 15.5}, {18.5, 15.5}}), 1.8);
         }},
        {"sparkles",
         [](const Pen &g) {
             g.fill(sparkle(8.5, 11, 6.5));
             g.fill(sparkle(15.5, 4.5, 3));
             g.fill(sparkle(16, 15.5, 2));
         }},
        {"lock.fill",
         [](const Pen &g) {
             g.fill(Pen::rounded(4, 9, 12, 9, 2));
             QPainterPath shackle;
             shackle.moveTo(6.8, 9.5);
             shackle.lineTo(6.8, 6.5);
             shackle.arcTo(QRectF(6.8, 3, 6.4, 7), 180, -180);
             shackle.lineTo(13.2, 9.5);
             g.stroke(shackle, 1.8);
         }},
        {"exclamationmark.icloud",
         [](const Pen &g) {
             cloudWithMark(g, [](const Pen &m) {
                 m.line(10.8, 8.2, 10.8, 11.6, 1.6);
                 m.dot(10.8, 14, 0.9);
             });
         }},
        {"checkmark.icloud",
         [](const Pen &g) { cloudWithMark(g, [](const Pen &m) { m.stroke(checkMark(10.8, 11.2, 0.7), 1.5); }); }},
        {"xmark.icloud",
         [](const Pen &g) {
             cloudWithMark(g, [](const Pen &m) {
                 m.line(8.8, 9.3, 12.8, 13.3, 1.5);
                 m.line(12.8, 9.3, 8.8, 13.3, 1.5);
             });
         }},
        {"server.rack",
         [](const Pen &g) {
             for (qreal y : {3.0, 8.0, 13.0}) {
                 g.stroke(Pen::rounded(3, y, 14, 4, 1.2), 1.4);
                 g.dot(6, y + 2, 0.8);
             }
         }},
        {"arrow.triangle.2.circlepath",
         [](const Pen &g) {
             QPainterPath top;
             top.arcMoveTo(QRectF(3.5, 3.5, 13, 13), 160);
             top.arcTo(QRectF(3.5, 3.5, 13, 13), 160, -130);
             QPainterPath bottom;
             bottom.arcMoveTo(QRectF(3.5, 3.5, 13, 13), -20);
             bottom.arcTo(QRectF(3.5, 3.5, 13, 13), -20, -130);
             g.stroke(top, 1.5);
             g.stroke(bottom, 1.5);
             g.fill(Pen::polyline({{13.2, 2.6}, {16.8, 5.4}, {12.6, 7}}));
             g.fill(Pen::polyline({{6.8, 17.4}, {3.2, 14.6}, {7.4, 13}}));
         }},
        {"clock",
         [](const Pen &g) {
             g.stroke(Pen::circle(10, 10, 7), 1.5);
             g.stroke(Pen::polyline({{10, 5.8}, {10, 10.3}, {13, 12}}), 1.5);
         }},
        {"waveform.path.ecg",
         [](const Pen &g) {
             g.stroke(Pen::polyline({{1.5, 10}, {5.5, 10}, {7.5, 5}, {10, 16}, {12.5, 3.5}, {14.5, 10}, {18.5, 10}}),
                      1.5);
         }},
        {"trash.circle",
         [](const Pen &g) {
             g.stroke(Pen::circle(10, 10, 8), 1.4);
             g.line(6.5, 7, 13.5, 7, 1.3);
             g.stroke(Pen::polyline({{7.5, 7}, {8, 14}, {12, 14}, {12.5, 7}}), 1.3);
             g.stroke(Pen::polyline({{8.8, 7}, {8.8, 5.6}, {11.2, 5.6}, {11.2, 7}}), 1.2);
         }},
        {"folder",
         [](const Pen &g) {
             g.stroke(Pen::polyline(
                          {{2.5, 15.5}, {2.5, 4.5}, {7.5, 4.5}, {9.5, 6.5}, {17.5, 6.5}, {17.5, 15.5}, {2.5, 15.5}}),
                      1.5);
             g.line(2.5, 9, 17.5, 9, 1.3);
         }},
        // The Capture pane.
        {"cloud.fill", [](const Pen &g) { g.fill(cloud()); }},
        {"crop",
         [](const Pen &g) {
             g.stroke(Pen::polyline({{5.5, 2.5}, {5.5, 14.5}, {17.5, 14.5}}), 1.5);
             g.stroke(Pen::polyline({{2.5, 5.5}, {14.5, 5.5}, {14.5, 17.5}}), 1.5);
         }},
        {"rectangle.dashed",
         [](const Pen &g) {
             QPen dashed(g.c, 1.5, Qt::DashLine, Qt::RoundCap, Qt::RoundJoin);
             dashed.setDashPattern({2, 2});
             g.p.strokePath(Pen::rounded(2.5, 4.5, 15, 11, 2), dashed);
         }},
        {"text.viewfinder",
         [](const Pen &g) {
             for (auto [x, y, dx, dy] :
                  {std::array<qreal, 4>{2.5, 2.5, 1, 1}, {17.5, 2.5, -1, 1}, {2.5, 17.5, 1, -1}, {17.5, 17.5, -1, -1}})
                 g.stroke(Pen::polyline({{x, y + 4 * dy}, {x, y}, {x + 4 * dx, y}}), 1.5);
             g.line(6.5, 7.5, 13.5, 7.5, 1.4);
             g.line(10, 7.5, 10, 13.5, 1.4);
         }},
        {"record.circle",
         [](const Pen &g) {
             g.stroke(Pen::circle(10, 10, 7.5), 1.5);
             g.dot(10, 10, 4);
         }},
        {"rectangle.inset.bottomleft.filled",
         [](const Pen &g) {
             g.stroke(Pen::rounded(2.5, 4, 15, 12, 2), 1.5);
             g.fill(Pen::rounded(4.8, 10.3, 5.5, 3.6, 1));
         }},
        {"bell.badge",
         [](const Pen &g) {
             QPainterPath bell;
             bell.moveTo(4, 14.5);
             bell.lineTo(5.5, 12.5);
             bell.lineTo(5.5, 9);
             bell.cubicTo(5.5, 5.5, 7.5, 4, 10, 4);
             bell.cubicTo(12.5, 4, 14.5, 5.5, 14.5, 9);
             bell.lineTo(14.5, 12.5);
             bell.lineTo(16, 14.5);
             bell.closeSubpath();
             g.stroke(bell, 1.5);
             g.line(8.5, 17, 11.5, 17, 1.5);
             g.dot(15.5, 4.5, 2.5);
         }},
        {"lock.open",
         [](const Pen &g) {
             g.stroke(Pen::rounded(4, 9, 12, 9, 2), 1.6);
             QPainterPath shackle;
             shackle.moveTo(6.8, 9);
             shackle.lineTo(6.8, 6.5);
             shackle.arcTo(QRectF(6.8, 3, 6.4, 7), 180, -180);
             g.stroke(shackle, 1.6);
         }},
        {"icloud.slash",
         [](const Pen &g) {
             g.stroke(cloud(0, 0.5), 1.5);
             g.line(3, 3, 17, 17, 1.6);
         }},
    };
    return table;
}

} // namespace

namespace Glyphs {

bool has(const QString &name)
{
    return painters().contains(name);
}

void paint(QPainter &painter, const QString &name, const QRectF &box, const QColor &colour)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(box.topLeft());
    painter.scale(box.width() / kGrid, box.height() / kGrid);
    const Pen pen{painter, colour};
    const auto it = painters().constFind(name);
    if (it != painters().cend())
        (*it)(pen);
    else
        pen.stroke(Pen::rounded(3.5, 3.5, 13, 13, 3), 1.6);
    painter.restore();
}

} // namespace Glyphs

GlyphView::GlyphView(QString name, double size, QColor colour, QSize frame, QWidget *parent)
    : QWidget(parent), m_name(std::move(name)), m_size(size), m_colour(colour)
{
    setFixedSize(frame);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void GlyphView::setName(const QString &name)
{
    if (name == m_name)
        return;
    m_name = name;
    update();
}

void GlyphView::setColour(const QColor &colour)
{
    if (colour == m_colour)
        return;
    m_colour = colour;
    update();
}

void GlyphView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    // Symbols read a little larger than the text of the same size.
    const qreal side = m_size * 1.2;
    const QRectF box(QPointF((width() - side) / 2, (height() - side) / 2), QSizeF(side, side));
    Glyphs::paint(painter, m_name, box, m_colour);
}

} // namespace quillmere
