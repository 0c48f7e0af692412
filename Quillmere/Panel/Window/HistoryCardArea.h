#pragma once

#include "Quillmere/Pages/Widgets/ClipCardView.h"
#include "Quillmere/Panel/PanelTypes.h"

#include <QLineEdit>
#include <QScrollArea>
#include <QStackedWidget>
#include <functional>
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
    explicit RelatedSeparator(QWidget *parent = nullptr);
    QSize sizeHint() const override { return {26, 140}; }

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

// The card area under the header: the locked-Page prompt, the empty state, or the strip of
// cards with the related clips at its end. Clicks select, double clicks paste, right clicks open
// the clip's menu through `onContextMenu`.
class HistoryCardArea : public QStackedWidget {
    Q_OBJECT
public:
    static constexpr int cardSpacing = 12;

    HistoryCardArea(HistoryViewModel &model, ClipCardResources resources, QWidget *parent = nullptr);

    std::function<void(const PersistentIdentifier &clip, const QPoint &globalPosition)> onContextMenu;

    void refresh();
    QScrollArea *scroller() const { return m_scroller; }
    const std::vector<ClipCardView *> &cards() const { return m_cards; }
    // The card at a navigable position; null when it is not rendered.
    ClipCardView *card(int position) const;
    RelatedSeparator *relatedSeparator() const { return m_separator; }
    SymbolMessageView *emptyState() const { return m_empty; }
    QWidget *lockedPrompt() const { return m_locked; }
    QLineEdit *unlockField() const { return m_unlockField; }
    QLabel *unlockError() const { return m_unlockError; }
    // Said while search by meaning has no word model.
    QLabel *noWordModelNote() const { return m_noWordModelNote; }
    static QString noWordModelText();

private:
    void rebuildStrip();
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
    std::vector<ClipCardView *> m_cards;
    std::vector<int> m_positions; // navigable position of each card
    PanelTab m_stripTab;
    int m_shownSelection = -1;
    int m_shownScrollRevision = -1;
};

} // namespace quillmere
