#include "Quillmere/Panel/Window/HistoryHeaderBar.h"

#include "Quillmere/Pages/Widgets/PinboardTabStrip.h"
#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Panel/Window/PanelGlyphs.h"
#include "Quillmere/Platform/Core/KeyNotation.h"

#include <QHBoxLayout>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>

namespace quillmere {
namespace {

const QColor headerBlue(10, 132, 255);
constexpr int maxMenuTextWidth = 360;

QColor white(double opacity)
{
    QColor c(Qt::white);
    c.setAlphaF(float(opacity));
    return c;
}

QFont pixelFont(const QFont &base, int pixels, QFont::Weight weight)
{
    QFont font(base);
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}

} // namespace

void fillMenu(QMenu &menu, const MenuModel &model)
{
    for (const MenuEntry &entry : model) {
        switch (entry.kind) {
        case MenuEntry::Kind::divider:
            menu.addSeparator();
            break;
        case MenuEntry::Kind::label:
            menu.addAction(entry.title)->setEnabled(false);
            break;
        case MenuEntry::Kind::submenu:
            fillMenu(*menu.addMenu(entry.title), entry.children);
            break;
        case MenuEntry::Kind::action: {
            // Clip texts can be long: one line, cut to a menu's width; the whole text in the tip.
            const QString line = entry.title.simplified();
            QAction *action = menu.addAction(menu.fontMetrics().elidedText(line, Qt::ElideRight, maxMenuTextWidth));
            if (action->text() != entry.title)
                action->setToolTip(entry.title);
            action->setEnabled(entry.enabled);
            if (!entry.symbol.isEmpty())
                action->setIcon(PanelGlyphs::icon(entry.symbol,
                                                  entry.destructive ? Qt::red : menu.palette().color(QPalette::Text)));
            if (entry.checked) {
                action->setCheckable(true);
                action->setChecked(*entry.checked);
            }
            if (entry.trigger)
                QObject::connect(action, &QAction::triggered, &menu, [trigger = entry.trigger] { trigger(); });
            break;
        }
        }
    }
}

// ---- HeaderIconButton -------------------------------------------------------------------------

HeaderIconButton::HeaderIconButton(QWidget *parent) : QAbstractButton(parent)
{
    setFixedSize(side, side);
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
}

void HeaderIconButton::setGlyph(const QString &symbol, const QColor &color)
{
    if (symbol == m_symbol && color == m_color)
        return;
    m_symbol = symbol;
    m_color = color;
    update();
}

void HeaderIconButton::setBadgeCount(int count)
{
    if (count != m_badge) {
        m_badge = count;
        update();
    }
}

void HeaderIconButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor color = m_color;
    if (!isEnabled())
        color.setAlphaF(color.alphaF() * 0.35f);
    PanelGlyphs::paint(p, QRectF(6, 6, 14, 14), m_symbol, color);
    if (m_badge > 0) {
        // Top-trailing corner, 3 right and 3 up, at least 12 × 12.
        const QString text = QString::number(m_badge);
        p.setFont(pixelFont(font(), 8, QFont::Bold));
        const int w = std::max(12, p.fontMetrics().horizontalAdvance(text) + 4);
        const QRectF badge(side - w + 3 - 1, -3 + 2, w, 12);
        p.setPen(Qt::NoPen);
        p.setBrush(headerBlue);
        p.drawRoundedRect(badge, 6, 6);
        p.setPen(Qt::white);
        p.drawText(badge, Qt::AlignCenter, text);
    }
}

// ---- SearchCapsule ----------------------------------------------------------------------------

SearchCapsule::SearchCapsule(QWidget *parent) : QAbstractButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
    setToolTip(QStringLiteral("Search clips (%1 from Clipboard History)")
                   .arg(shortcutText(CarbonKey::tab, CarbonModifier::shift)));
    setFont(pixelFont(font(), 13, QFont::Medium));
}

void SearchCapsule::setState(bool expanded, const QString &query)
{
    if (expanded == m_expanded && query == m_query)
        return;
    m_expanded = expanded;
    m_query = query;
    updateGeometry();
    update();
}

QString SearchCapsule::shownText() const
{
    return m_expanded && !m_query.isEmpty() ? m_query : QStringLiteral("Search");
}

QSize SearchCapsule::sizeHint() const
{
    const int textWidth = m_expanded ? 150 : fontMetrics().horizontalAdvance(shownText());
    return {11 + 12 + 6 + textWidth + 11, fontMetrics().height() + 12};
}

void SearchCapsule::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect();
    if (m_expanded) {
        p.setPen(Qt::NoPen);
        p.setBrush(white(0.12));
        p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    }
    const QColor row = m_expanded ? white(1) : white(0.62);
    PanelGlyphs::paint(p, QRectF(11, (r.height() - 12) / 2, 12, 12), QStringLiteral("magnifyingglass"), row);
    QColor textColor = row;
    if (m_expanded && m_query.isEmpty())
        textColor = white(0.42);
    p.setPen(textColor);
    const QRectF textRect(11 + 12 + 6, 0, r.width() - (11 + 12 + 6) - 11, r.height());
    p.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
               fontMetrics().elidedText(shownText(), Qt::ElideRight, int(textRect.width())));
}

// ---- SyncBadgeView ----------------------------------------------------------------------------

SyncBadgeView::SyncBadgeView(QWidget *parent) : QWidget(parent)
{
    setFont(pixelFont(font(), 11, QFont::Normal));
}

QColor SyncBadgeView::color(PanelSyncBadge::Tone tone)
{
    switch (tone) {
    case PanelSyncBadge::Tone::orange:
        return QColor(255, 159, 10);
    case PanelSyncBadge::Tone::green:
        return QColor(48, 209, 88);
    case PanelSyncBadge::Tone::red:
        return QColor(255, 69, 58);
    case PanelSyncBadge::Tone::dim:
        return white(0.6);
    }
    return white(0.6);
}

void SyncBadgeView::setBadge(const PanelSyncBadge &badge, const QString &statusText)
{
    setToolTip(statusText);
    if (badge == m_badge)
        return;
    m_badge = badge;
    updateGeometry();
    update();
}

QSize SyncBadgeView::sizeHint() const
{
    return {8 + 11 + 5 + fontMetrics().horizontalAdvance(m_badge.label) + 8, std::max(fontMetrics().height(), 11) + 8};
}

void SyncBadgeView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QSize size = sizeHint().boundedTo(this->size());
    const QRectF r(0, (height() - size.height()) / 2.0, size.width(), size.height());
    p.setPen(Qt::NoPen);
    p.setBrush(white(0.08));
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    const QColor c = color(m_badge.tone);
    PanelGlyphs::paint(p, QRectF(r.left() + 8, r.center().y() - 5.5, 11, 11), m_badge.symbol, c);
    p.setPen(c);
    p.drawText(r.adjusted(8 + 11 + 5, 0, -8, 0), Qt::AlignLeft | Qt::AlignVCenter, m_badge.label);
}

// ---- HistoryHeaderBar -------------------------------------------------------------------------

HistoryHeaderBar::HistoryHeaderBar(HistoryViewModel &model, HistoryMenus &menus, ClipStore &store, SyncSource sync,
                                   QWidget *parent)
    : QWidget(parent), m_model(model), m_menus(menus), m_sync(std::move(sync)), m_badge(new SyncBadgeView),
      m_search(new SearchCapsule), m_filters(new HeaderIconButton), m_updates(new HeaderIconButton),
      m_add(new HeaderIconButton), m_stack(new HeaderIconButton), m_more(new HeaderIconButton)
{
    PinboardTabStrip::Callbacks callbacks;
    callbacks.select = [this](const PanelTab &tab) { m_model.tabs().selectTab(tab, true); };
    callbacks.onLockRequest = [this](const PageSnapshot &page) { m_model.setLockSetupBoard(page.id); };
    callbacks.onRemoveLockRequest = [this](const PageSnapshot &page) { m_model.setRemoveLockBoard(page.id); };
    callbacks.onLockNow = [this](const PageSnapshot &page) { m_model.tabs().lockNow(page.id); };
    m_tabs = new PinboardTabStrip(store, std::move(callbacks));

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(16, 0, 16, 0);
    row->setSpacing(10);

    auto *left = new QWidget;
    left->setFixedWidth(leftSlotWidth);
    auto *leftRow = new QHBoxLayout(left);
    leftRow->setContentsMargins(0, 0, 0, 0);
    leftRow->addWidget(m_badge, 0, Qt::AlignVCenter);
    leftRow->addStretch(1);

    auto *middle = new QWidget;
    auto *middleRow = new QHBoxLayout(middle);
    middleRow->setContentsMargins(0, 0, 0, 0);
    middleRow->setSpacing(10);
    middleRow->addWidget(m_search, 0, Qt::AlignVCenter);
    middleRow->addWidget(m_tabs, 1, Qt::AlignVCenter);

    auto *right = new QWidget;
    right->setFixedWidth(rightSlotWidth);
    auto *rightRow = new QHBoxLayout(right);
    rightRow->setContentsMargins(0, 0, 0, 0);
    rightRow->setSpacing(8);
    rightRow->addStretch(1);
    for (HeaderIconButton *b : {m_filters, m_updates, m_add, m_stack, m_more})
        rightRow->addWidget(b, 0, Qt::AlignVCenter);

    row->addWidget(left);
    row->addWidget(middle, 1);
    row->addWidget(right);

    m_filters->setToolTip(QStringLiteral("Search filters"));
    m_updates->setToolTip(QStringLiteral("Check for updates"));
    m_add->setToolTip(QStringLiteral("Add saved item"));
    m_more->setToolTip(QStringLiteral("More"));
    m_updates->setGlyph(QStringLiteral("arrow.triangle.2.circlepath"), white(0.7));
    m_add->setGlyph(QStringLiteral("plus"), white(0.7));
    m_more->setGlyph(QStringLiteral("ellipsis"), white(0.7));

    connect(m_search, &QAbstractButton::clicked, this, [this] { m_model.search().expandSearch(); });
    connect(m_updates, &QAbstractButton::clicked, this, [this] { m_model.checkForUpdates(); });
    connect(m_filters, &QAbstractButton::clicked, this, [this] { openMenu(Menu::filters); });
    connect(m_add, &QAbstractButton::clicked, this, [this] { openMenu(Menu::add); });
    connect(m_stack, &QAbstractButton::clicked, this, [this] { openMenu(Menu::pasteStack); });
    connect(m_more, &QAbstractButton::clicked, this, [this] { openMenu(Menu::more); });
    if (m_sync.observe)
        m_sync.observe(this, [this] { refreshSyncBadge(); });
    refresh();
}

HistoryHeaderBar::~HistoryHeaderBar() = default;

HeaderIconButton *HistoryHeaderBar::button(Menu which) const
{
    switch (which) {
    case Menu::filters:
        return m_filters;
    case Menu::add:
        return m_add;
    case Menu::pasteStack:
        return m_stack;
    case Menu::more:
        return m_more;
    }
    return nullptr;
}

QMenu *HistoryHeaderBar::openMenu(Menu which)
{
    HeaderIconButton *anchor = button(which);
    if (!anchor->isEnabled())
        return nullptr;
    MenuModel model;
    switch (which) {
    case Menu::filters:
        model = m_menus.filtersMenu();
        break;
    case Menu::add:
        model = m_menus.addMenu();
        break;
    case Menu::pasteStack:
        model = m_menus.pasteStackMenu();
        break;
    case Menu::more:
        model = m_menus.moreMenu();
        break;
    }
    if (m_openMenu)
        m_openMenu->close();
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    fillMenu(*menu, model);
    // Guarded rather than told of its end: a menu still open when the bar goes is destroyed
    // after the bar has stopped being one.
    m_openMenu = menu;
    menu->popup(anchor->mapToGlobal(QPoint(0, anchor->height() + 4)));
    return menu;
}

void HistoryHeaderBar::refreshSyncBadge()
{
    if (m_sync.inputs)
        m_badge->setBadge(PanelSyncBadge::of(m_sync.inputs()), m_sync.statusText ? m_sync.statusText() : QString());
}

void HistoryHeaderBar::refresh()
{
    const HistoryViewState &state = m_model.state();
    refreshSyncBadge();
    m_search->setState(state.isSearchExpanded, state.query);

    m_tabs->setPinboards(m_model.lists().pages());
    m_tabs->setSelection(state.selectedTab);
    m_tabs->setUnlockedBoardIDs(state.unlockedBoardIDs);

    const bool active = m_menus.filtersActive();
    m_filters->setGlyph(active ? QStringLiteral("line.3.horizontal.decrease.circle.fill")
                               : QStringLiteral("line.3.horizontal.decrease.circle"),
                        active ? headerBlue : white(0.65));
    const int count = m_menus.pasteStackCount();
    m_stack->setGlyph(count > 0 ? QStringLiteral("rectangle.stack.fill") : QStringLiteral("rectangle.stack"),
                      count > 0 ? headerBlue : white(0.7));
    m_stack->setBadgeCount(count);
    m_stack->setToolTip(m_menus.pasteStackHelp());
    m_add->setEnabled(m_menus.addMenuEnabled());
    m_stack->setEnabled(m_menus.pasteStackMenuEnabled());
}

} // namespace quillmere
