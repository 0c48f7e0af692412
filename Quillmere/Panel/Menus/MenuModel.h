#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

namespace quillmere {

// One entry of a menu as the history view builds it; a widget turns it into a QMenu and tests
// read it directly.
struct MenuEntry {
    enum class Kind { action, divider, label, submenu };

    Kind kind = Kind::action;
    QString title;
    // A glyph name (PagesGlyphs); empty: none.
    QString symbol;
    bool enabled = true;
    // Set for options and toggles: shown with a check mark when true.
    std::optional<bool> checked;
    bool destructive = false;
    std::function<void()> trigger;
    std::vector<MenuEntry> children;

    static MenuEntry action(QString title, std::function<void()> trigger);
    static MenuEntry toggle(QString title, bool checked, std::function<void()> trigger);
    static MenuEntry divider();
    static MenuEntry label(QString title);
    static MenuEntry submenu(QString title, std::vector<MenuEntry> children);
};

using MenuModel = std::vector<MenuEntry>;

// Titles in order, dividers as "-", submenus' entries not included.
QStringList menuTitles(const MenuModel &menu);
// The first entry with that title, searching submenus too; null when none.
const MenuEntry *findMenuEntry(const MenuModel &menu, const QString &title);
// Runs the entry's action when it is there and enabled; false otherwise.
bool triggerMenuEntry(const MenuModel &menu, const QString &title);

} // namespace quillmere
