#pragma once

#include "Quillmere/Panel/PanelKeys.h"

#include <optional>

namespace quillmere {

class HistoryViewModel;

// The history view's key tables. The captured road gets every key while the panel is open: the
// global shortcuts first, then the table of the mode (unlocking, searching or browsing). The
// focus road gets the keys of the focused card area.
class HistoryKeyRouter {
public:
    explicit HistoryKeyRouter(HistoryViewModel &model) : m_model(model) {}

    void handleCaptured(const PanelKey &key);
    KeyPressResult handleGrid(const PanelKey &key);
    KeyPressResult handleTyped(const PanelKey &key);

private:
    // Ctrl (without Alt or Meta) shortcuts, valid in every mode; every such key ends here.
    bool handleGlobal(const PanelKey &key);
    void handleUnlocking(const PanelKey &key);
    void handleSearching(const PanelKey &key);
    void handleBrowsing(const PanelKey &key);
    KeyPressResult moveTabForTab(const PanelKey &key);
    // The model's answer to a key of the table; none for a key the table doesn't hold.
    std::optional<KeyPressResult> handleTabKeys(const PanelKey &key);
    std::optional<KeyPressResult> handleListKeys(const PanelKey &key);

    HistoryViewModel &m_model;
};

} // namespace quillmere
