#pragma once

#include "Quillmere/Pages/ClipCardContent.h"

#include <QFont>
#include <QIcon>
#include <QImage>
#include <QPalette>
#include <QPixmap>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

class ClipThumbnails;
class SourceAppAppearance;

// The application a clip came from, as its card shows it.
struct SourceAppBadge {
    QIcon icon;
    QColor color;
};

// Drawn card backgrounds, plain and selected, for the palettes and pixel ratios in use.
class ClipCardBackgrounds {
public:
    QImage background(bool selected, const QPalette &palette, qreal devicePixelRatio);

private:
    struct Key {
        bool selected;
        QRgb window;
        QRgb highlight;
        qreal ratio;
        bool operator==(const Key &) const = default;
    };
    std::vector<std::pair<Key, QImage>> m_images;
};

// What every card of a strip shares.
struct ClipCardResources {
    using BadgeSource = std::function<std::optional<SourceAppBadge>(const ClipSnapshot &)>;

    // The shared thumbnail cache; none shows image clips without a picture.
    ClipThumbnails *thumbnails = nullptr;
    // The clip's application badge; none draws the kind's glyph instead.
    BadgeSource badge;
    // Made by the first card when not given.
    std::shared_ptr<ClipCardBackgrounds> backgrounds;

    // Icons and brand colours from the desktop's applications.
    static BadgeSource sourceAppBadges(SourceAppAppearance &appearance);
};

// The card of one clip in the history strip, painted. Equal inputs draw equal pixels; the
// drawing is kept until the inputs change, so a new `dataRevision` is how a caller asks for a
// fresh one. The caller decides what clicks do.
class ClipCardView : public QWidget {
    Q_OBJECT
public:
    static constexpr int cardWidth = 200;
    static constexpr int cardHeight = 140;

    explicit ClipCardView(ClipCardResources resources, QWidget *parent = nullptr);

    void setInputs(const ClipCardInputs &inputs);
    const ClipCardInputs &inputs() const { return m_inputs; }

    QSize sizeHint() const override { return {cardWidth, cardHeight}; }

    // The card exactly as the widget draws it, on the palette's window colour.
    static QImage render(const ClipCardInputs &inputs, const std::optional<QImage> &thumbnail,
                         const std::optional<SourceAppBadge> &badge, const QPalette &palette, const QFont &font,
                         qreal devicePixelRatio = 1);
    static void paintCard(QPainter &painter, const QRectF &rect, const ClipCardInputs &inputs,
                          const std::optional<QImage> &thumbnail, const std::optional<SourceAppBadge> &badge,
                          const QPalette &palette, const QFont &font);
    // paintCard in two steps: the rounded card with its border or selection ring, then what it shows.
    static void paintBackground(QPainter &painter, const QRectF &rect, bool selected, const QPalette &palette);
    static void paintContent(QPainter &painter, const QRectF &rect, const ClipCardInputs &inputs,
                             const std::optional<QImage> &thumbnail, const std::optional<SourceAppBadge> &badge,
                             const QPalette &palette, const QFont &font);
    // The card on a transparent image, as the widget keeps it.
    static QImage draw(const ClipCardInputs &inputs, const std::optional<QImage> &thumbnail,
                       const std::optional<SourceAppBadge> &badge, const QPalette &palette, const QFont &font,
                       qreal devicePixelRatio, ClipCardBackgrounds &backgrounds);

Q_SIGNALS:
    void clicked();
    void doubleClicked();
    void contextMenuRequested(const QPoint &globalPosition);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void thumbnailArrived(const QString &contentHash);
    std::optional<QImage> currentThumbnail();

    ClipCardResources m_resources;
    ClipCardInputs m_inputs;
    QPixmap m_drawn; // empty: draw again
};

} // namespace quillmere
