#include "Quillmere/Panel/Menus/MenuModel.h"

namespace quillmere {

MenuEntry MenuEntry::action(QString title, std::function<void()> trigger)
{
    MenuEntry entry;
    entry.title = std::move(title);
    entry.trigger = std::move(trigger);
    return entry;
}

MenuEntry MenuEntry::toggle(QString title, bool checked, std::function<void()> trigger)
{
    MenuEntry entry = action(std::move(title), std::move(trigger));
    entry.checked = checked;
    return entry;
}

MenuEntry MenuEntry::divider()
{
    MenuEntry entry;
    entry.kind = Kind::divider;
    return entry;
}

MenuEntry MenuEntry::label(QString title)
{
    MenuEntry entry;
    entry.kind = Kind::label;
    entry.title = std::move(title);
    entry.enabled = false;
    return entry;
}

MenuEntry MenuEntry::submenu(QString title, std::vector<MenuEntry> children)
{
    MenuEntry entry;
    entry.kind = Kind::submenu;
    entry.title = std::move(title);
    entry.children = std::move(children);
    return entry;
}

QStringList menuTitles(const MenuModel &menu)
{
    QStringList titles;
    for (const MenuEntry &entry : menu)
        titles << (entry.kind == MenuEntry::Kind::divider ? QStringLiteral("-") : entry.title);
    return titles;
}

const MenuEntry *findMenuEntry(const MenuModel &menu, const QString &title)
{
    for (const MenuEntry &entry : menu) {
        if (entry.kind != MenuEntry::Kind::divider && entry.title == title)
            return &entry;
        if (const MenuEntry *inner = findMenuEntry(entry.children, title))
            return inner;
    }
    return nullptr;
}

bool triggerMenuEntry(const MenuModel &menu, const QString &title)
{
    const MenuEntry *entry = findMenuEntry(menu, title);
    if (!entry || !entry->enabled || !entry->trigger)
        return false;
    entry->trigger();
    return true;
}

} // namespace quillmere
