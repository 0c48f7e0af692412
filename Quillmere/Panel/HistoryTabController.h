#pragma once

#include "Quillmere/Panel/PanelTypes.h"

namespace quillmere {

class HistoryViewModel;

// Tabs, Page locks and adding files for the history view: the one path that changes the selected
// tab, the keyboard's tab ring, the tab memory and the opening tab, the locked-Page prompt, and
// the "Add File…" action. Works on its model's state.
class HistoryTabController {
public:
    explicit HistoryTabController(HistoryViewModel &model) : m_model(model) {}

    // With `remember`, the tab becomes the last used one (also when it is already selected).
    void selectTab(const PanelTab &tab, bool remember);
    // One stop along the ring: search field, history, then each Page, wrapping both ways.
    KeyPressResult moveTab(int delta);
    void chooseInitialTab();

    void setInlineUnlockPassword(const QString &password);
    void appendToInlineUnlockPassword(const QString &text);
    void removeLastInlineUnlockCharacter();
    void submitInlineUnlock();
    // Locks an opened Page again.
    void lockNow(const PersistentIdentifier &page);

    // Stores a regular file of at most 8 MiB as a clip on the Page selected now (or the history),
    // once it is read off the main thread.
    void addFile(const QString &path);

    // Observers of the model.
    void handleTabChange();
    void reconcilePages();

private:
    void rememberTab(const PanelTab &tab);

    HistoryViewModel &m_model;
};

} // namespace quillmere
