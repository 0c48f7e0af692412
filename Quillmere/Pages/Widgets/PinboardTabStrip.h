#pragma once

#include "Quillmere/Pages/PageTabActions.h"
#include "Quillmere/Panel/PanelTypes.h"

#include <QPointer>
#include <QScrollArea>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QLineEdit;
class QMenu;
class QMessageBox;

namespace quillmere {

class ClipStore;
class PageTabRow;

// The Page tab row of the panel's header: a leading "Clipboard History" tab, one tab per Page
// with its colour and lock, and "+" for a new Page. A Page's tab is renamed in place, recoloured,
// locked or deleted from its context menu, and dragged to a new place; every change is saved
// through the store at once. Scrolls sideways when the tabs do not fit.
class PinboardTabStrip : public QScrollArea {
    Q_OBJECT
public:
    struct Callbacks {
        // The selection's setter; the history view remembers the tab.
        std::function<void(const PanelTab &)> select;
        std::function<void(const PageSnapshot &)> onLockRequest;
        std::function<void(const PageSnapshot &)> onRemoveLockRequest;
        std::function<void(const PageSnapshot &)> onLockNow;
    };

    static inline const QString historyTitle = QStringLiteral("Clipboard History");
    static constexpr int stripHeight = 30;

    PinboardTabStrip(ClipStore &store, Callbacks callbacks, QWidget *parent = nullptr);
    ~PinboardTabStrip() override;

    // A Page colour by name; see PageColors.
    static QColor color(const QString &name);

    void setPinboards(std::vector<PageSnapshot> pages);
    void setSelection(const PanelTab &tab);
    void setUnlockedBoardIDs(IdentifierSet ids);
    const std::vector<PageSnapshot> &pinboards() const { return m_pages; }
    const PanelTab &selection() const { return m_selection; }

    // Its own state: the Page being renamed and the typed name, the Page waiting for the
    // delete confirmation.
    std::optional<PersistentIdentifier> renamingPage() const { return m_renaming; }
    QString renameText() const;
    bool isRenameFieldFocused() const;
    std::optional<PersistentIdentifier> pendingDeletion() const { return m_pendingDeletion; }
    QLineEdit *renameField() const { return m_renameField; }
    QMessageBox *deleteConfirmation() const;

    // Where a tab is, in the strip's own coordinates (scrolling included); null when absent.
    QRect tabRect(const PanelTab &tab) const;
    QRect addButtonRect() const;

    // The context menu of a Page's tab, as right-clicking shows it.
    std::unique_ptr<QMenu> contextMenu(const PersistentIdentifier &page);

    void createPage();
    void beginRename(const PersistentIdentifier &page);
    void commitRename();
    void cancelRename();
    void requestDelete(const PersistentIdentifier &page);

protected:
    void wheelEvent(QWheelEvent *event) override;

private:
    friend class PageTabRow;
    const PageSnapshot *page(const PersistentIdentifier &id) const;
    void refreshFromStore();
    void relayout();
    void placeRenameField();
    void ensureVisible(const PanelTab &tab);
    void deleteConfirmed(const PersistentIdentifier &page);

    ClipStore &m_store;
    PageTabActions m_actions;
    Callbacks m_callbacks;
    std::vector<PageSnapshot> m_pages;
    PanelTab m_selection;
    IdentifierSet m_unlocked;
    std::optional<PersistentIdentifier> m_renaming;
    std::optional<PersistentIdentifier> m_pendingDeletion;
    PageTabRow *m_row = nullptr;
    QLineEdit *m_renameField = nullptr;
    QPointer<QMessageBox> m_confirmation;
};

} // namespace quillmere
