#include "Quillmere/Pages/Widgets/PinboardTabStrip.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Pages/PageColors.h"
#include "Quillmere/Pages/Widgets/PagesGlyphs.h"
#include "Quillmere/Platform/Widgets/DialogTitle.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QWheelEvent>

namespace quillmere {
namespace {

constexpr qreal tabHeight = 26;
constexpr qreal tabPadding = 11;
constexpr qreal tabSpacing = 6;
constexpr qreal dotSize = 8;
constexpr qreal lockSize = 11;
constexpr int renameMinimumWidth = 120;

QFont tabFont(const QFont &base)
{
    QFont font = base;
    font.setPixelSize(13);
    font.setWeight(QFont::DemiBold);
    return font;
}

struct StripColors {
    QColor text, dim, selectedFill, marker;

    static StripColors of(const QPalette &palette)
    {
        const bool dark = palette.color(QPalette::Window).lightness() < 128;
        QColor accent = palette.color(QPalette::Highlight);
        if (!accent.isValid() || accent.saturation() < 60)
            accent = QColor(10, 132, 255);
        if (dark)
            return {QColor(255, 255, 255, 235), QColor(255, 255, 255, 150), QColor(255, 255, 255, 40), accent};
        return {QColor(0, 0, 0, 220), QColor(0, 0, 0, 140), QColor(0, 0, 0, 22), accent};
    }
};

} // namespace

// The painted row of tabs inside the strip's scroll area.
class PageTabRow : public QWidget {
public:
    explicit PageTabRow(PinboardTabStrip &strip) : QWidget(&strip), m_strip(strip) {}

    struct Tab {
        PanelTab tab;
        QRectF rect;
        QString title;
    };

    void relayout()
    {
        m_tabs.clear();
        const QFontMetricsF metrics(tabFont(font()));
        qreal x = 2;
        const qreal y = (PinboardTabStrip::stripHeight - tabHeight) / 2;
        const auto add = [&](const PanelTab &tab, const QString &title, bool dot, bool lock) {
            qreal width = tabPadding * 2 + metrics.horizontalAdvance(title);
            if (dot)
                width += dotSize + 6;
            if (lock)
                width += lockSize + 5;
            if (m_strip.m_renaming && tab.board == m_strip.m_renaming)
                width = std::max<qreal>(width, renameMinimumWidth);
            m_tabs.push_back({tab, QRectF(x, y, std::ceil(width), tabHeight), title});
            x += std::ceil(width) + tabSpacing;
        };
        add(PanelTab::history(), PinboardTabStrip::historyTitle, false, false);
        for (const PageSnapshot &page : m_strip.m_pages)
            add(PanelTab::page(page.id), page.displayName(), true, page.isLocked);
        m_add = QRectF(x, y, tabHeight, tabHeight);
        setFixedSize(int(std::ceil(m_add.right())) + 2, PinboardTabStrip::stripHeight);
        update();
    }

    const std::vector<Tab> &tabs() const { return m_tabs; }
    QRectF addRect() const { return m_add; }

    const Tab *tabAt(const QPointF &pos) const
    {
        for (const Tab &t : m_tabs)
            if (t.rect.contains(pos))
                return &t;
        return nullptr;
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const StripColors colors = StripColors::of(palette());
        const QFont font = tabFont(this->font());
        p.setFont(font);
        for (const Tab &t : m_tabs) {
            if (m_dragging && t.tab.board == m_dragged)
                continue;
            paintTab(p, t, t.rect, colors);
        }
        // "+" for a new Page.
        p.setPen(Qt::NoPen);
        p.setBrush(colors.selectedFill);
        p.drawEllipse(m_add.adjusted(2, 2, -2, -2));
        PagesGlyphs::paint(p, m_add.adjusted(8, 8, -8, -8), QStringLiteral("plus"), colors.dim);

        if (m_dragging) {
            // Where the tab will land, then the tab itself under the pointer.
            const qreal x = insertionX();
            p.setPen(QPen(colors.marker, 2, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(x, 3), QPointF(x, height() - 3));
            for (const Tab &t : m_tabs) {
                if (t.tab.board != m_dragged)
                    continue;
                QRectF moved = t.rect;
                moved.moveLeft(t.rect.left() + m_dragX - m_pressPos.x());
                p.setOpacity(0.85);
                paintTab(p, t, moved, colors, true);
                p.setOpacity(1);
            }
        }
    }

    void mousePressEvent(QMouseEvent *event) override
    {
        if (event->button() != Qt::LeftButton)
            return QWidget::mousePressEvent(event);
        m_pressPos = event->position();
        const Tab *t = tabAt(m_pressPos);
        m_pressedPage = t ? t->tab.board : std::nullopt;
        m_dragging = false;
    }

    void mouseMoveEvent(QMouseEvent *event) override
    {
        if (!(event->buttons() & Qt::LeftButton) || !m_pressedPage)
            return;
        if (!m_dragging && std::abs(event->position().x() - m_pressPos.x()) >= QApplication::startDragDistance()) {
            m_strip.commitRename();
            m_dragging = true;
            m_dragged = m_pressedPage;
        }
        if (m_dragging) {
            m_dragX = event->position().x();
            update();
        }
    }

    void mouseReleaseEvent(QMouseEvent *event) override
    {
        if (event->button() != Qt::LeftButton)
            return;
        if (m_dragging) {
            m_dragging = false;
            const int index = targetIndex();
            const PersistentIdentifier page = *m_dragged;
            m_dragged.reset();
            m_pressedPage.reset();
            update();
            if (m_strip.m_actions.moveTo(page, index))
                m_strip.refreshFromStore();
            return;
        }
        m_pressedPage.reset();
        const QPointF pos = event->position();
        if (m_add.contains(pos)) {
            m_strip.createPage();
            return;
        }
        if (const Tab *t = tabAt(pos); t && !(m_strip.m_renaming && t->tab.board == m_strip.m_renaming)) {
            m_strip.commitRename();
            if (m_strip.m_callbacks.select)
                m_strip.m_callbacks.select(t->tab);
        }
    }

    void mouseDoubleClickEvent(QMouseEvent *event) override
    {
        if (const Tab *t = tabAt(event->position()); t && t->tab.board)
            m_strip.beginRename(*t->tab.board);
    }

    void contextMenuEvent(QContextMenuEvent *event) override
    {
        const Tab *t = tabAt(event->pos());
        if (!t || !t->tab.board)
            return;
        std::unique_ptr<QMenu> menu = m_strip.contextMenu(*t->tab.board);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu.release()->popup(event->globalPos());
    }

private:
    void paintTab(QPainter &p, const Tab &t, const QRectF &rect, const StripColors &colors, bool lifted = false)
    {
        const bool selected = t.tab == m_strip.m_selection;
        const bool editing = t.tab.board && t.tab.board == m_strip.m_renaming;
        if (selected || lifted || editing) {
            p.setPen(Qt::NoPen);
            p.setBrush(colors.selectedFill);
            p.drawRoundedRect(rect, tabHeight / 2, tabHeight / 2);
        }
        qreal x = rect.left() + tabPadding;
        const PageSnapshot *page = t.tab.board ? m_strip.page(*t.tab.board) : nullptr;
        if (page) {
            p.setPen(Qt::NoPen);
            p.setBrush(PageColors::color(page->colorName));
            p.drawEllipse(QRectF(x, rect.center().y() - dotSize / 2, dotSize, dotSize));
            x += dotSize + 6;
        }
        const bool renaming = page && m_strip.m_renaming == page->id;
        if (!renaming) {
            p.setPen(selected ? colors.text : colors.dim);
            const qreal textWidth = QFontMetricsF(p.font()).horizontalAdvance(t.title);
            p.drawText(QRectF(x, rect.top(), textWidth + 1, rect.height()), Qt::AlignVCenter | Qt::AlignLeft, t.title);
            x += textWidth + 5;
        }
        if (page && page->isLocked && !renaming) {
            const bool open = m_strip.m_unlocked.contains(page->id);
            PagesGlyphs::paint(p, QRectF(x, rect.center().y() - lockSize / 2 - 0.5, lockSize, lockSize),
                               open ? QStringLiteral("lock.open.fill") : QStringLiteral("lock.fill"),
                               selected ? colors.text : colors.dim);
        }
    }

    // Pages other than the dragged one whose middle lies left of the pointer.
    int targetIndex() const
    {
        int index = 0;
        for (const Tab &t : m_tabs)
            if (t.tab.board && t.tab.board != m_dragged && t.rect.center().x() < m_dragX)
                ++index;
        return index;
    }

    qreal insertionX() const
    {
        const int index = targetIndex();
        int seen = 0;
        qreal x = m_tabs.empty() ? 0 : m_tabs.front().rect.right() + tabSpacing / 2;
        for (const Tab &t : m_tabs) {
            if (!t.tab.board || t.tab.board == m_dragged)
                continue;
            if (seen == index)
                return t.rect.left() - tabSpacing / 2;
            ++seen;
            x = t.rect.right() + tabSpacing / 2;
        }
        return x;
    }

    PinboardTabStrip &m_strip;
    std::vector<Tab> m_tabs;
    QRectF m_add;
    QPointF m_pressPos;
    std::optional<PersistentIdentifier> m_pressedPage;
    std::optional<PersistentIdentifier> m_dragged;
    bool m_dragging = false;
    qreal m_dragX = 0;
};

PinboardTabStrip::PinboardTabStrip(ClipStore &store, Callbacks callbacks, QWidget *parent)
    : QScrollArea(parent), m_store(store), m_actions(store), m_callbacks(std::move(callbacks))
{
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFixedHeight(stripHeight);
    setWidgetResizable(false);
    // The panel shows through.
    setAutoFillBackground(false);
    viewport()->setAutoFillBackground(false);
    m_row = new PageTabRow(*this);
    setWidget(m_row);
    m_renameField = new QLineEdit(m_row);
    m_renameField->hide();
    m_renameField->setFrame(false);
    connect(m_renameField, &QLineEdit::returnPressed, this, &PinboardTabStrip::commitRename);
    connect(m_renameField, &QLineEdit::editingFinished, this, [this] {
        // Focus moved away: keep what was typed.
        if (m_renaming && !m_renameField->hasFocus())
            commitRename();
    });
    auto *escape = new QAction(m_renameField);
    escape->setShortcut(Qt::Key_Escape);
    escape->setShortcutContext(Qt::WidgetShortcut);
    connect(escape, &QAction::triggered, this, &PinboardTabStrip::cancelRename);
    m_renameField->addAction(escape);
    m_pages = m_actions.pages();
    relayout();
}

PinboardTabStrip::~PinboardTabStrip() = default;

void PinboardTabStrip::wheelEvent(QWheelEvent *event)
{
    // An ordinary wheel turns the row sideways.
    const QPoint delta = event->angleDelta();
    const int step = std::abs(delta.x()) > std::abs(delta.y()) ? delta.x() : delta.y();
    horizontalScrollBar()->setValue(horizontalScrollBar()->value() - step / 2);
    event->accept();
}

QColor PinboardTabStrip::color(const QString &name)
{
    return PageColors::color(name);
}

void PinboardTabStrip::setPinboards(std::vector<PageSnapshot> pages)
{
    if (pages == m_pages)
        return;
    m_pages = std::move(pages);
    if (m_renaming && !page(*m_renaming))
        cancelRename();
    relayout();
}

void PinboardTabStrip::setSelection(const PanelTab &tab)
{
    if (tab == m_selection)
        return;
    m_selection = tab;
    m_row->update();
    ensureVisible(tab);
}

void PinboardTabStrip::setUnlockedBoardIDs(IdentifierSet ids)
{
    m_unlocked = std::move(ids);
    m_row->update();
}

QString PinboardTabStrip::renameText() const
{
    return m_renaming ? m_renameField->text() : QString();
}

QMessageBox *PinboardTabStrip::deleteConfirmation() const
{
    return m_confirmation;
}

bool PinboardTabStrip::isRenameFieldFocused() const
{
    return m_renaming && m_renameField->hasFocus();
}

QRect PinboardTabStrip::tabRect(const PanelTab &tab) const
{
    for (const PageTabRow::Tab &t : m_row->tabs())
        if (t.tab == tab)
            return QRect(m_row->mapTo(this, t.rect.topLeft().toPoint()), t.rect.size().toSize());
    return {};
}

QRect PinboardTabStrip::addButtonRect() const
{
    const QRectF r = m_row->addRect();
    return QRect(m_row->mapTo(this, r.topLeft().toPoint()), r.size().toSize());
}

const PageSnapshot *PinboardTabStrip::page(const PersistentIdentifier &id) const
{
    const auto it = std::find_if(m_pages.begin(), m_pages.end(), [&](const PageSnapshot &p) { return p.id == id; });
    return it == m_pages.end() ? nullptr : &*it;
}

void PinboardTabStrip::refreshFromStore()
{
    setPinboards(m_actions.pages());
}

void PinboardTabStrip::relayout()
{
    m_row->relayout();
    placeRenameField();
}

void PinboardTabStrip::placeRenameField()
{
    if (!m_renaming) {
        m_renameField->hide();
        return;
    }
    for (const PageTabRow::Tab &t : m_row->tabs()) {
        if (t.tab.board != m_renaming)
            continue;
        const QRectF r = t.rect.adjusted(tabPadding + dotSize + 6, 3, -tabPadding / 2, -3);
        const StripColors colors = StripColors::of(palette());
        QPalette fieldPalette = m_renameField->palette();
        fieldPalette.setColor(QPalette::Base, Qt::transparent);
        fieldPalette.setColor(QPalette::Text, colors.text);
        m_renameField->setPalette(fieldPalette);
        m_renameField->setFont(tabFont(font()));
        m_renameField->setGeometry(r.toRect());
        m_renameField->show();
        ensureVisible(t.tab);
        return;
    }
}

void PinboardTabStrip::ensureVisible(const PanelTab &tab)
{
    for (const PageTabRow::Tab &t : m_row->tabs())
        if (t.tab == tab)
            QScrollArea::ensureVisible(int(t.rect.center().x()), stripHeight / 2, int(t.rect.width() / 2) + 8, 0);
}

std::unique_ptr<QMenu> PinboardTabStrip::contextMenu(const PersistentIdentifier &id)
{
    auto menu = std::make_unique<QMenu>(this);
    const PageSnapshot *found = page(id);
    if (!found)
        return menu;
    const PageSnapshot snapshot = *found;
    menu->addAction(QStringLiteral("Rename"), this, [this, id] { beginRename(id); });

    QMenu *colors = menu->addMenu(QStringLiteral("Colour"));
    for (const QString &name : PageColors::names()) {
        QAction *entry = colors->addAction(PageColors::title(name));
        entry->setIcon(PagesGlyphs::swatch(PageColors::color(name)));
        entry->setCheckable(true);
        entry->setChecked(snapshot.colorName == name);
        connect(entry, &QAction::triggered, this, [this, id, name] {
            if (m_actions.recolor(id, name))
                refreshFromStore();
        });
    }
    menu->addSeparator();
    if (!snapshot.isLocked) {
        menu->addAction(QStringLiteral("Lock Page…"), this, [this, snapshot] {
            if (m_callbacks.onLockRequest)
                m_callbacks.onLockRequest(snapshot);
        });
    } else {
        menu->addAction(QStringLiteral("Remove Lock…"), this, [this, snapshot] {
            if (m_callbacks.onRemoveLockRequest)
                m_callbacks.onRemoveLockRequest(snapshot);
        });
        QAction *lockNow = menu->addAction(QStringLiteral("Lock Now"), this, [this, snapshot] {
            if (m_callbacks.onLockNow)
                m_callbacks.onLockNow(snapshot);
        });
        // Only a Page opened in this session can be closed again.
        lockNow->setEnabled(m_unlocked.contains(id));
    }
    menu->addSeparator();
    menu->addAction(QStringLiteral("Delete Page…"), this, [this, id] { requestDelete(id); });
    return menu;
}

void PinboardTabStrip::createPage()
{
    commitRename();
    const std::optional<PersistentIdentifier> created = m_actions.create();
    if (!created)
        return;
    refreshFromStore();
    beginRename(*created);
}

void PinboardTabStrip::beginRename(const PersistentIdentifier &id)
{
    const PageSnapshot *found = page(id);
    if (!found)
        return;
    if (m_renaming && m_renaming != id)
        commitRename();
    m_renaming = id;
    m_renameField->setText(found->name);
    m_renameField->selectAll();
    relayout();
    m_renameField->setFocus(Qt::OtherFocusReason);
}

void PinboardTabStrip::commitRename()
{
    if (!m_renaming)
        return;
    const PersistentIdentifier id = *m_renaming;
    const QString text = m_renameField->text();
    m_renaming.reset();
    m_renameField->hide();
    m_actions.rename(id, text);
    refreshFromStore();
    relayout();
}

void PinboardTabStrip::cancelRename()
{
    if (!m_renaming)
        return;
    m_renaming.reset();
    m_renameField->hide();
    relayout();
}

void PinboardTabStrip::requestDelete(const PersistentIdentifier &id)
{
    const PageSnapshot *found = page(id);
    if (!found || m_confirmation)
        return;
    commitRename();
    m_pendingDeletion = id;
    auto *box =
        new QMessageBox(QMessageBox::Warning, QStringLiteral("Delete “%1”?").arg(found->displayName()),
                        QStringLiteral("Its clips go back to the Clipboard History."), QMessageBox::NoButton, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *remove = box->addButton(QStringLiteral("Delete Page"), QMessageBox::DestructiveRole);
    box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(QMessageBox::Cancel);
    DialogTitle::fit(box);
    connect(box, &QMessageBox::finished, this, [this, box, remove, id] {
        const bool confirmed = box->clickedButton() == remove;
        m_pendingDeletion.reset();
        if (confirmed)
            deleteConfirmed(id);
    });
    m_confirmation = box;
    box->open();
}

void PinboardTabStrip::deleteConfirmed(const PersistentIdentifier &id)
{
    if (!m_actions.remove(id))
        return;
    refreshFromStore();
    if (m_selection.board == id && m_callbacks.select)
        m_callbacks.select(PanelTab::history());
}

} // namespace quillmere
