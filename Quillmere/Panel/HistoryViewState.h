#pragma once

#include "Quillmere/Model/ClipSearch.h"
#include "Quillmere/Panel/PanelTypes.h"

#include <QStringList>
#include <optional>
#include <vector>

namespace quillmere {

// The history view's own state, as the widgets read it. Derived lists live in ClipLists; the
// persisted values in the preferences; focus is plain state the widgets follow.
struct HistoryViewState {
    QString query;
    // Distinct source-application names of every clip, for the source filter menu.
    QStringList sourceAppNames;
    bool isSearchExpanded = false;
    ClipSearchFilters filters;
    PanelTab selectedTab;
    // A position in the navigable list (visible clips, then related ones).
    int selectedIndex = 0;
    // The next selection change does not scroll the strip.
    bool suppressSelectionScroll = false;
    // Wheel distance gathered towards the next one-card step.
    double wheelAccumulator = 0;

    bool isShowingClearConfirmation = false;
    bool isShowingManualNoteSheet = false;
    std::optional<PersistentIdentifier> lockSetupBoard;
    std::optional<PersistentIdentifier> removeLockBoard;
    // Locked Pages opened since the panel was last shown.
    IdentifierSet unlockedBoardIDs;
    QString inlineUnlockPassword;
    QString inlineUnlockError;
    std::optional<PersistentIdentifier> renamingItem;
    QString renameText;
    std::optional<PersistentIdentifier> editingTextItem;
    QString editText;
    QString manualAddErrorTitle;
    QString manualAddErrorMessage;
    bool isShowingManualAddError = false;
    // The next tab change is not remembered as the last used tab.
    bool suppressNextTabMemory = false;

    // Semantic results, best first.
    std::vector<PersistentIdentifier> relatedItemIDs;
    // Search by meaning found no word model; said during the first search that meets it only.
    bool isShowingNoWordModelNote = false;
    // Raised to make the strip scroll to the selection although the index did not change.
    int selectionScrollRevision = 0;

    bool isSearchFocused = false;
    bool isGridFocused = false;
    bool isInlineUnlockFocused = false;
};

} // namespace quillmere
