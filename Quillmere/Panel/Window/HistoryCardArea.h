#pragma once

#include "Quillmere/Pages/Widgets/ClipCardView.h"
#include "Quillmere/Panel/PanelTypes.h"

#include <QLineEdit>
#include <QScrollArea>
#include <QStackedWidget>
#include <functional>
#include <utility>
#include <vector>

class QLabel;

namespace quillmere {

class HistoryViewModel;

// Hands the horizontal distance of every wheel event over `target` to `onScroll`, in points: a
// sideways scroll as it comes, and a plain vertical wheel turned sideways (down goes right), one
// notch being one card.
class HorizontalWheelScrollMonitor : public QObject {
    Q_OBJECT
public:
    static constexpr double pointsPerNotch = 42;

    HorizontalWheelScrollMonitor(QWidget *target, std::function<void(double)> onScroll);
    // The distance a wheel event stands for; 0 when it has none.
    static double delta(const QPoint &pixelDelta, const QPoint &angleDelta);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    std::function<void(double)> m_onScroll;
};

// The "Related" label set upright between the visible and the related cards.
class RelatedSeparator : public QWidget {
    Q_OBJECT
public:
    static constexpr int fixedWidth = 26;

    explicit RelatedSeparator(QWidget *parent = nullptr);
    QSize sizeHint() const override { return {fixedWidth, 140}; }

protected:
    void paintEvent(QPaintEvent *event) override;
};

// Symbol, title and subtitle centred in the card area: the empty state and the locked prompt's top.
class SymbolMessageView : public QWidget {
    Q_OBJECT
public:
    explicit SymbolMessageView(QWidget *parent = nullptr);
    void setContent(const QString &symbol, const QString &title, const QString &subtitle, double symbolOpacity,
                    const QColor &subtitleColor);
    QString title() const { return m_title; }
    QString subtitle() const { return m_subtitle; }
    QString symbol() const { return m_symbol; }
    QSize sizeHint() const override { return {360, 110}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_symbol, m_title, m_subtitle;
    double m_symbolOpacity = 0.25;
    QColor m_subtitleColor;
};

// Where the strip's pieces sit: the rendered visible cards, the "Related" label when related
// cards follow, the related cards, then the note. Worked out, never laid out, so the strip costs
// the same whatever its length.
struct CardStripGeometry {
    static constexpr int sideMargin = 14;
    static constexpr int topMargin = 16;
    static constexpr int spacing = 12;
    static constexpr int pitch = ClipCardView::cardWidth + spacing;

    int visible = 0;
    int related = 0;
    QSize note; // empty: no note

    int slotCount() const { return visible + related; }
    int slotX(int slot) const;
    int separatorX() const { return sideMargin + visible * pitch; }
    int noteX() const;
    int rowHeight() const;
    // Top of a piece `height` high, centred in the row.
    int top(int height) const { return topMargin + (rowHeight() - height) / 2; }
    QSize size() const;
    // The first and last slot that reach into [left, right); first > last when none does.
    std::pair<int, int> slotsIn(int left, int right) const;
};

// The card area under the header: the locked-Page prompt, the empty state, or the strip of
// cards with the related clips at its end. Card widgets exist only for the slots in view and a
// margin either side, and are handed on to other slots as the strip scrolls. Clicks select,
// double clicks paste, right clicks open the clip's menu through `onContextMenu`.
class HistoryCardArea : public QStackedWidget {
    Q_OBJECT
public:
    static constexpr int cardSpacing = CardStripGeometry::spacing;
    // Cards made beyond each side of the view, so that a step of the selection finds one ready.
    static constexpr int boundMargin = 2 * CardStripGeometry::pitch;

    HistoryCardArea(HistoryViewModel &model, ClipCardResources resources, QWidget *parent = nullptr);

    std::function<void(const PersistentIdentifier &clip, const QPoint &globalPosition)> onContextMenu;

    void refresh();
    QScrollArea *scroller() const { return m_scroller; }
    // Every card widget made so far, showing a clip or waiting for one.
    const std::vector<ClipCardView *> &cards() const { return m_cards; }
    // The card at a navigable position; null when no widget shows it.
    ClipCardView *card(int position) const;
    RelatedSeparator *relatedSeparator() const { return m_separator; }
    SymbolMessageView *emptyState() const { return m_empty; }
    QWidget *lockedPrompt() const { return m_locked; }
    QLineEdit *unlockField() const { return m_unlockField; }
    QLabel *unlockError() const { return m_unlockError; }
    // Said while search by meaning has no word model.
    QLabel *noWordModelNote() const { return m_noWordModelNote; }
    static QString noWordModelText();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void layoutStrip();
    // Gives the slots in view (and the margin) a card each, from those that left it first.
    void placeCards();
    ClipCardView *makeCard();
    ClipCardInputs inputsAt(int position) const;
    int positionOfSlot(int slot) const;
    int slotOfPosition(int position) const;
    void scrollToSelection();

    HistoryViewModel &m_model;
    ClipCardResources m_resources;
    QScrollArea *m_scroller;
    QWidget *m_strip;
    RelatedSeparator *m_separator;
    SymbolMessageView *m_empty;
    QWidget *m_locked;
    SymbolMessageView *m_lockedTitle;
    QLineEdit *m_unlockField;
    QLabel *m_unlockError;
    QLabel *m_noWordModelNote;
    CardStripGeometry m_geometry;
    std::vector<ClipCardView *> m_cards;
    std::vector<int> m_positions; // navigable position each card shows; -1 while it waits
    PanelTab m_stripTab;
    int m_shownSelection = -1;
    int m_shownScrollRevision = -1;
};

} // namespace quillmere
