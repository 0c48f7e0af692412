#include "Quillmere/Panel/HistoryKeyRouter.h"

#include "Quillmere/Panel/HistoryViewModel.h"

namespace quillmere {

using namespace PanelModifier;

void HistoryKeyRouter::handleCaptured(const PanelKey &key)
{
    if (handleGlobal(key))
        return;
    if (m_model.isSelectedPageLocked())
        handleUnlocking(key);
    else if (m_model.state().isSearchExpanded)
        handleSearching(key);
    else
        handleBrowsing(key);
}

bool HistoryKeyRouter::handleGlobal(const PanelKey &key)
{
    if ((key.modifiers & (command | option | control)) != command)
        return false;
    const NavKeyInfo nav = navKey(key);
    const bool shifted = key.modifiers & shift;
    if (nav.key == NavKey::digit && !shifted)
        m_model.quickPaste(nav.digit - 1);
    else if (nav.key == NavKey::v && shifted)
        m_model.close(); // the panel's own hot key closes it
    return true;
}

KeyPressResult HistoryKeyRouter::moveTabForTab(const PanelKey &key)
{
    return m_model.tabs().moveTab((key.modifiers & shift) || key.key == Qt::Key_Backtab ? -1 : 1);
}

// Tab, Down and Up move between the tabs whatever the panel shows.
std::optional<KeyPressResult> HistoryKeyRouter::handleTabKeys(const PanelKey &key)
{
    switch (navKey(key).key) {
    case NavKey::tab:
        return moveTabForTab(key);
    case NavKey::down:
        return m_model.tabs().moveTab(1);
    case NavKey::up:
        return m_model.tabs().moveTab(-1);
    default:
        return std::nullopt;
    }
}

// The list of clips answers the same while browsing, while searching and in the focused card area.
std::optional<KeyPressResult> HistoryKeyRouter::handleListKeys(const PanelKey &key)
{
    if (const auto result = handleTabKeys(key))
        return result;
    switch (navKey(key).key) {
    case NavKey::returnKey:
    case NavKey::keypadEnter:
        return m_model.pasteSelection();
    case NavKey::left:
        return m_model.moveSelection(-1);
    case NavKey::right:
        return m_model.moveSelection(1);
    default:
        return std::nullopt;
    }
}

void HistoryKeyRouter::handleUnlocking(const PanelKey &key)
{
    if (handleTabKeys(key))
        return;
    HistoryTabController &tabs = m_model.tabs();
    switch (navKey(key).key) {
    case NavKey::returnKey:
    case NavKey::keypadEnter:
        tabs.submitInlineUnlock();
        break;
    case NavKey::deleteBackward:
    case NavKey::deleteForward:
        if (!m_model.state().inlineUnlockPassword.isEmpty())
            tabs.removeLastInlineUnlockCharacter();
        break;
    case NavKey::escape:
        m_model.close();
        break;
    default:
        if (const auto text = typedCharacters(key))
            tabs.appendToInlineUnlockPassword(*text);
        break;
    }
}

void HistoryKeyRouter::handleSearching(const PanelKey &key)
{
    if (handleListKeys(key))
        return;
    switch (navKey(key).key) {
    case NavKey::deleteBackward:
    case NavKey::deleteForward:
        if (m_model.state().query.isEmpty())
            m_model.search().collapseSearch();
        else
            m_model.search().removeLastQueryCharacter();
        break;
    case NavKey::escape:
        m_model.search().collapseSearch();
        break;
    default:
        if (const auto text = typedCharacters(key))
            m_model.search().appendToQuery(*text);
        break;
    }
}

void HistoryKeyRouter::handleBrowsing(const PanelKey &key)
{
    if (handleListKeys(key))
        return;
    switch (navKey(key).key) {
    case NavKey::deleteBackward:
    case NavKey::deleteForward:
        break;
    case NavKey::escape:
        m_model.close();
        break;
    default:
        // The text itself goes on to the window underneath, as the panel's routing decides.
        if (typedCharacters(key))
            m_model.close();
        break;
    }
}

KeyPressResult HistoryKeyRouter::handleGrid(const PanelKey &key)
{
    if (const auto result = handleListKeys(key))
        return *result;
    if (navKey(key).key == NavKey::escape)
        return m_model.handleEscapeKeyPress();
    return handleTyped(key);
}

KeyPressResult HistoryKeyRouter::handleTyped(const PanelKey &key)
{
    if (m_model.state().isSearchExpanded || (key.modifiers & (command | control)))
        return KeyPressResult::ignored;
    switch (navKey(key).key) {
    case NavKey::escape:
    case NavKey::returnKey:
    case NavKey::tab:
    case NavKey::space:
    case NavKey::up:
    case NavKey::down:
    case NavKey::left:
    case NavKey::right:
    case NavKey::deleteBackward:
    case NavKey::deleteForward:
    case NavKey::home:
    case NavKey::end:
    case NavKey::pageUp:
    case NavKey::pageDown:
    case NavKey::clear:
        return KeyPressResult::ignored;
    default:
        break;
    }
    if (key.text.isEmpty() || containsControlOrFunctionKeyCharacter(key.text))
        return KeyPressResult::ignored;
    m_model.close();
    m_model.typeThrough(key.text);
    return KeyPressResult::handled;
}

} // namespace quillmere
