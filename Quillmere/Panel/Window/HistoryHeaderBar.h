#pragma once

#include "Quillmere/Panel/Menus/HistoryMenus.h"

#include <QAbstractButton>
#include <QMenu>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

class QMenu;

namespace quillmere {

class ClipStore;
class HistoryViewModel;
class PinboardTabStrip;

// Builds a QMenu from a menu model; each action runs its entry when chosen.
void fillMenu(QMenu &menu, const MenuModel &model);

// A 26 × 26 header button that draws a glyph and, when given, a count badge.
class HeaderIconButton : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int side = 26;

    explicit HeaderIconButton(QWidget *parent = nullptr);
    void setGlyph(const QString &symbol, const QColor &color);
    void setBadgeCount(int count);
    QString symbol() const { return m_symbol; }
    int badgeCount() const { return m_badge; }
    QSize sizeHint() const override { return {side, side}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_symbol;
    QColor m_color;
    int m_badge = 0;
};

// The search control: a capsule showing "Search" or the query; a click opens the search.
class SearchCapsule : public QAbstractButton {
    Q_OBJECT
public:
    explicit SearchCapsule(QWidget *parent = nullptr);
    void setState(bool expanded, const QString &query);
    QString shownText() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_expanded = false;
    QString m_query;
};

// The sync badge of the left slot.
class SyncBadgeView : public QWidget {
    Q_OBJECT
public:
    explicit SyncBadgeView(QWidget *parent = nullptr);
    void setBadge(const PanelSyncBadge &badge, const QString &statusText);
    const PanelSyncBadge &badge() const { return m_badge; }
    QSize sizeHint() const override;
    static QColor color(PanelSyncBadge::Tone tone);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    PanelSyncBadge m_badge;
};

// The header row: sync badge (118), search capsule and Page tabs (flexible), then filters,
// check for updates, add, paste stack and More (166). Renders the model; menus are built from
// HistoryMenus when they open.
class HistoryHeaderBar : public QWidget {
    Q_OBJECT
public:
    enum class Menu { filters, add, pasteStack, more };
    struct SyncSource {
        std::function<PanelSyncBadge::Inputs()> inputs;
        std::function<QString()> statusText;
        // Calls `onChange`, for as long as `context` lives, whenever the inputs may have changed.
        std::function<void(QObject *context, std::function<void()> onChange)> observe;
    };

    static constexpr int leftSlotWidth = 118;
    static constexpr int rightSlotWidth = 166;

    HistoryHeaderBar(HistoryViewModel &model, HistoryMenus &menus, ClipStore &store, SyncSource sync,
                     QWidget *parent = nullptr);
    ~HistoryHeaderBar() override;

    void refresh();
    void refreshSyncBadge();
    // Opens the menu under its button, as a click does; the menu stays until closed.
    QMenu *openMenu(Menu which);
    QMenu *openedMenu() const { return m_openMenu; }
    HeaderIconButton *button(Menu which) const;
    HeaderIconButton *updatesButton() const { return m_updates; }
    SearchCapsule *searchCapsule() const { return m_search; }
    SyncBadgeView *syncBadge() const { return m_badge; }
    PinboardTabStrip *tabStrip() const { return m_tabs; }

private:
    HistoryViewModel &m_model;
    HistoryMenus &m_menus;
    SyncSource m_sync;
    SyncBadgeView *m_badge;
    SearchCapsule *m_search;
    PinboardTabStrip *m_tabs;
    HeaderIconButton *m_filters;
    HeaderIconButton *m_updates;
    HeaderIconButton *m_add;
    HeaderIconButton *m_stack;
    HeaderIconButton *m_more;
    QPointer<QMenu> m_openMenu;
};

} // namespace quillmere
