#include "Quillmere/Panel/Menus/HistoryMenus.h"

#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Model/ClipPreview.h"
#include "Quillmere/Pages/ClipCardContent.h"
#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Panel/Menus/HistoryActions.h"
#include "Quillmere/Platform/Core/KeyNotation.h"

namespace quillmere {
namespace {

const QString ellipsis = QString(QChar(0x2026));

QString withEllipsis(const char *title)
{
    return QString::fromUtf8(title) + ellipsis;
}

} // namespace

PanelSyncBadge PanelSyncBadge::of(const Inputs &in)
{
    if (in.hasSyncError)
        return {QStringLiteral("exclamationmark.icloud"), QStringLiteral("Sync error"), Tone::orange};
    PanelSyncBadge badge;
    switch (in.state) {
    case State::syncing:
        badge = {QStringLiteral("checkmark.icloud"), QStringLiteral("Sync On"), Tone::green};
        break;
    case State::noAccount:
        badge = {QStringLiteral("icloud.slash"), QStringLiteral("Folder missing"), Tone::orange};
        break;
    case State::localOnly:
        badge = {QStringLiteral("xmark.icloud"), QStringLiteral("Local only"), Tone::dim};
        break;
    case State::ephemeral:
        badge = {QStringLiteral("exclamationmark.icloud"), QStringLiteral("Not saved"), Tone::red};
        break;
    }
    if (in.isImporting)
        badge.label = QStringLiteral("Receiving") + ellipsis;
    else if (in.isExporting)
        badge.label = QStringLiteral("Syncing") + ellipsis;
    return badge;
}

QString HistoryMenus::sourceTitle(const QString &name)
{
    return sourceDisplayName(name);
}

bool HistoryMenus::filtersActive() const
{
    return m_actions.model().state().filters.isActive();
}

MenuModel HistoryMenus::filtersMenu() const
{
    HistoryViewModel &model = m_actions.model();
    const ClipSearchFilters current = model.state().filters;
    auto set = [&model](auto change) {
        return [&model, change] {
            ClipSearchFilters filters = model.state().filters;
            change(filters);
            model.search().setFilters(filters);
        };
    };

    MenuModel kinds{MenuEntry::toggle(QStringLiteral("Any Kind"), !current.kind,
                                      set([](ClipSearchFilters &f) { f.kind.reset(); }))};
    for (ClipKind kind : {ClipKind::text, ClipKind::url, ClipKind::image, ClipKind::file})
        kinds.push_back(MenuEntry::toggle(kindName(kind), current.kind == kind,
                                          set([kind](ClipSearchFilters &f) { f.kind = kind; })));
    MenuModel menu{MenuEntry::submenu(QStringLiteral("Kind"), std::move(kinds))};

    const QStringList sources = model.state().sourceAppNames;
    if (!sources.isEmpty()) {
        MenuModel options{MenuEntry::toggle(QStringLiteral("Any Source"), !current.sourceAppName,
                                            set([](ClipSearchFilters &f) { f.sourceAppName.reset(); }))};
        for (const QString &name : sources)
            options.push_back(MenuEntry::toggle(sourceTitle(name), current.sourceAppName == name,
                                                set([name](ClipSearchFilters &f) { f.sourceAppName = name; })));
        menu.push_back(MenuEntry::submenu(QStringLiteral("Source"), std::move(options)));
    }

    MenuModel dates;
    for (ClipDateFilter date :
         {ClipDateFilter::any, ClipDateFilter::today, ClipDateFilter::last7Days, ClipDateFilter::last30Days})
        dates.push_back(
            MenuEntry::toggle(title(date), current.date == date, set([date](ClipSearchFilters &f) { f.date = date; })));
    menu.push_back(MenuEntry::submenu(QStringLiteral("Date"), std::move(dates)));

    menu.push_back(MenuEntry::toggle(QStringLiteral("Saved Only"), current.savedOnly,
                                     set([](ClipSearchFilters &f) { f.savedOnly = !f.savedOnly; })));
    menu.push_back(MenuEntry::toggle(QStringLiteral("Pinned Only"), current.pinnedOnly,
                                     set([](ClipSearchFilters &f) { f.pinnedOnly = !f.pinnedOnly; })));
    menu.push_back(
        MenuEntry::toggle(QStringLiteral("OCR Text Only"), current.withRecognizedTextOnly,
                          set([](ClipSearchFilters &f) { f.withRecognizedTextOnly = !f.withRecognizedTextOnly; })));
    menu.push_back(MenuEntry::toggle(QStringLiteral("Screenshot Inbox"), current.imageInboxOnly,
                                     set([](ClipSearchFilters &f) { f.imageInboxOnly = !f.imageInboxOnly; })));
    if (current.isActive()) {
        menu.push_back(MenuEntry::divider());
        menu.push_back(MenuEntry::action(QStringLiteral("Clear Filters"),
                                         set([](ClipSearchFilters &f) { f = ClipSearchFilters{}; })));
    }
    return menu;
}

MenuModel HistoryMenus::addMenu() const
{
    HistoryActions &a = m_actions;
    return {
        MenuEntry::action(withEllipsis("Capture Screenshot"), [&a] { a.captureScreenshot(); }),
        MenuEntry::divider(),
        MenuEntry::action(withEllipsis("New Note"), [&a] { a.showNewNoteSheet(); }),
        MenuEntry::action(withEllipsis("Add File"), [&a] { a.chooseFileToAdd(); }),
    };
}

bool HistoryMenus::addMenuEnabled() const
{
    return !m_actions.model().isSelectedPageLocked();
}

int HistoryMenus::pasteStackCount() const
{
    return int(m_actions.model().pasteStackItems().size());
}

QString HistoryMenus::pasteStackHelp() const
{
    const int count = pasteStackCount();
    return count == 0 ? QStringLiteral("Paste Stack") : QStringLiteral("Paste Stack (%1 clips)").arg(count);
}

MenuModel HistoryMenus::pasteStackMenu() const
{
    HistoryActions &a = m_actions;
    const std::vector<const ClipSnapshot *> items = a.model().pasteStackItems();
    if (items.empty())
        return {MenuEntry::label(QStringLiteral("No clips in stack"))};
    MenuModel menu{
        MenuEntry::label(
            QStringLiteral("%1 queued \u00b7 %2 pastes next").arg(items.size()).arg(pasteNextShortcutText())),
        MenuEntry::divider(),
        MenuEntry::action(QStringLiteral("Paste Stack as Text"), [&a] { a.model().pasteStackAsText(); }),
        MenuEntry::action(QStringLiteral("Copy Stack as Text"), [&a] { a.copyStackAsText(); }),
        MenuEntry::divider(),
    };
    for (const ClipSnapshot *clip : items) {
        const SafePresentation shown = safePresentation(*clip);
        MenuEntry entry = MenuEntry::action(shown.displayName.value_or(shown.safePreview),
                                            [&a, id = clip->dedupID] { a.removeFromPasteStack(id); });
        entry.symbol = QStringLiteral("minus.circle");
        menu.push_back(std::move(entry));
    }
    menu.push_back(MenuEntry::divider());
    MenuEntry clear = MenuEntry::action(QStringLiteral("Clear Stack"), [&a] { a.clearPasteStack(); });
    clear.destructive = true;
    menu.push_back(std::move(clear));
    return menu;
}

MenuModel HistoryMenus::moreMenu() const
{
    HistoryActions &a = m_actions;
    HistoryViewModel &model = a.model();
    MenuModel menu;
    // A locked Page that is not open is not offered: sharing it would hand out its clips.
    if (const PageSnapshot *page = model.selectedPage(); page && !model.isSelectedPageLocked()) {
        menu.push_back(MenuEntry::action(withEllipsis("Share Page"), [&a, id = page->id] { a.sharePage(id); }));
        menu.push_back(MenuEntry::divider());
    }
    menu.push_back(
        MenuEntry::action(model.isCapturePaused() ? QStringLiteral("Resume Capture") : QStringLiteral("Pause Capture"),
                          [&a] { a.toggleCapturePaused(); }));
    menu.push_back(MenuEntry::action(withEllipsis("Check for Updates"), [&a] { a.model().checkForUpdates(); }));
    menu.push_back(MenuEntry::action(withEllipsis("Clear Unsaved History"), [&a] { a.confirmClearHistory(); }));
    menu.push_back(MenuEntry::divider());
    menu.push_back(MenuEntry::action(withEllipsis("Settings"), [&a] { a.openSettings(); }));
    menu.push_back(MenuEntry::divider());
    menu.push_back(MenuEntry::action(QStringLiteral("Quit Brindlewax"), [&a] { a.quit(); }));
    return menu;
}

MenuModel HistoryMenus::clipContextMenu(const PersistentIdentifier &id) const
{
    HistoryActions &a = m_actions;
    const ClipRef clip = a.clip(id);
    if (!clip)
        return {};
    const std::vector<ClipTextTransform::Case> transforms = ClipTextTransform::available(*clip);
    const bool hasText = primaryText(*clip).has_value();
    const std::vector<ClipEntityAction> entities =
        ClipEntityAction::actions(DetectedEntity::detect(entityScanText(*clip)));

    MenuModel menu{
        MenuEntry::action(QStringLiteral("Paste"), [&a, id] { a.paste(id); }),
        MenuEntry::action(QStringLiteral("Copy"), [&a, id] { a.copy(id); }),
        MenuEntry::action(clip->isPinned() ? QStringLiteral("Unpin") : QStringLiteral("Pin"),
                          [&a, id] { a.togglePin(id); }),
    };
    if (!entities.empty()) {
        menu.push_back(MenuEntry::divider());
        for (const ClipEntityAction &action : entities) {
            MenuEntry entry = MenuEntry::action(
                action.title, [&a, action] { performEntityAction(action, a.services().entityHandlers); });
            entry.symbol = action.symbol;
            menu.push_back(std::move(entry));
        }
    }
    if (!transforms.empty()) {
        for (bool paste : {true, false}) {
            MenuModel options;
            for (ClipTextTransform::Case t : transforms)
                options.push_back(MenuEntry::action(ClipTextTransform::title(t),
                                                    [&a, id, t, paste] { a.applyTransform(id, t, paste); }));
            menu.push_back(
                MenuEntry::submenu(paste ? withEllipsis("Paste as") : withEllipsis("Copy as"), std::move(options)));
        }
    }
    if (hasText) {
        ClipSnapshot snapshot;
        snapshot.dedupID = clip->dedupID();
        menu.push_back(MenuEntry::action(a.isInPasteStack(snapshot) ? QStringLiteral("Remove from Paste Stack")
                                                                    : QStringLiteral("Add to Paste Stack"),
                                         [&a, id] { a.togglePasteStack(id); }));
    }
    if (canPreviewClip(*clip))
        menu.push_back(MenuEntry::action(QStringLiteral("Preview"), [&a, id] { a.preview(id); }));
    menu.push_back(MenuEntry::action(withEllipsis("Rename"), [&a, id] { a.startRename(id); }));
    if (clip->kind() == ClipKind::text || clip->kind() == ClipKind::url)
        menu.push_back(MenuEntry::action(withEllipsis("Edit Text"), [&a, id] { a.startEdit(id); }));
    menu.push_back(MenuEntry::divider());

    MenuModel chooser;
    const std::vector<PageSnapshot> &pages = a.model().lists().pages();
    const std::optional<PersistentIdentifier> current =
        clip->pinboard() ? std::optional(clip->pinboard()->persistentModelID()) : std::nullopt;
    for (const PageSnapshot &page : pages) {
        MenuEntry row =
            MenuEntry::action(page.displayName(), [&a, id, pageID = page.id] { a.assignToPage(id, pageID); });
        row.symbol = page.isLocked ? QStringLiteral("lock.fill") : page.iconName;
        row.enabled = current != page.id;
        chooser.push_back(std::move(row));
    }
    if (!pages.empty())
        chooser.push_back(MenuEntry::divider());
    chooser.push_back(MenuEntry::action(withEllipsis("New Page"), [&a, id] { a.assignToNewPage(id); }));
    menu.push_back(MenuEntry::submenu(QStringLiteral("Add to Page"), std::move(chooser)));
    if (current)
        menu.push_back(
            MenuEntry::action(QStringLiteral("Remove from Page"), [&a, id] { a.assignToPage(id, std::nullopt); }));
    menu.push_back(MenuEntry::divider());
    MenuEntry remove = MenuEntry::action(QStringLiteral("Delete"), [&a, id] { a.deleteClip(id); });
    remove.destructive = true;
    menu.push_back(std::move(remove));
    return menu;
}

} // namespace quillmere
