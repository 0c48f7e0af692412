#pragma once

#include "Quillmere/Clipboard/ClipTextTransform.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Pages/ClipEntityAction.h"

#include <QObject>
#include <functional>
#include <optional>

namespace quillmere {

class ClipStore;
class HistoryViewModel;
class NotificationCenter;
class PasteStackAccess;
struct ClipSnapshot;

// A file chooser the actions ask for; the widgets show a dialog, tests answer directly.
struct FileChoice {
    enum class Mode { open, save };
    Mode mode = Mode::open;
    QString title;
    QString prompt;
    QString suggestedName;
    // Without the dot; empty: any file.
    QString extension;
};

struct HistoryActionServices {
    ClipStore *store = nullptr;
    HistoryViewModel *model = nullptr;
    NotificationCenter *notificationCenter = nullptr;
    PasteStackAccess *pasteStack = nullptr; // none: the paste-stack entries do nothing
    std::function<void(const ClipRef &)> paste;
    // Puts the clip on the clipboard; false when it had nothing to write.
    std::function<bool(const ClipRef &)> copyClip;
    std::function<void(const QString &)> copyText;
    std::function<void()> beep;
    // Opens a clip's preview target with the desktop's opener; `done(false)` when nothing opened it.
    std::function<void(const QUrl &target, std::function<void(bool opened)> done)> openPreview;
    std::function<void()> quit;
    // The chosen path, none when cancelled.
    std::function<std::optional<QString>(const FileChoice &)> chooseFile;
    EntityActionHandlers entityHandlers;
};

// What the history view's menus and sheets do to the store, the clipboard and the view state.
// Clips and Pages are named by persistent identifier; a missing one makes an action do nothing.
// Main thread only.
class HistoryActions : public QObject {
    Q_OBJECT
public:
    static constexpr int areaCaptureDelayMs = 240;
    static inline const QString previewFailedTitle = QStringLiteral("Could Not Open Preview");
    static inline const QString previewFailedMessage =
        QStringLiteral("No program on this desktop opened it. Check that xdg-open (package xdg-utils) is "
                       "installed and that a program is set to open this kind of file.");

    explicit HistoryActions(HistoryActionServices services, QObject *parent = nullptr);

    HistoryViewModel &model() const { return *m_s.model; }
    ClipStore &store() const { return *m_s.store; }
    const HistoryActionServices &services() const { return m_s; }
    ClipRef clip(const PersistentIdentifier &id) const;
    PageRef page(const PersistentIdentifier &id) const;
    bool isInPasteStack(const ClipSnapshot &clip) const;

    // Clip context menu.
    void paste(const PersistentIdentifier &clip);
    void copy(const PersistentIdentifier &clip);
    void togglePin(const PersistentIdentifier &clip);
    void applyTransform(const PersistentIdentifier &clip, ClipTextTransform::Case transform, bool paste);
    void togglePasteStack(const PersistentIdentifier &clip);
    // A failure to open is told in the panel, never only in the log.
    void preview(const PersistentIdentifier &clip);
    void startRename(const PersistentIdentifier &clip);
    void startEdit(const PersistentIdentifier &clip);
    void assignToPage(const PersistentIdentifier &clip, const std::optional<PersistentIdentifier> &page);
    void assignToNewPage(const PersistentIdentifier &clip);
    void deleteClip(const PersistentIdentifier &clip);

    // Add menu.
    void captureScreenshot();
    void showNewNoteSheet();
    void chooseFileToAdd();

    // Paste-stack menu.
    void copyStackAsText();
    void removeFromPasteStack(const QUuid &dedupID);
    void clearPasteStack();

    // More menu.
    void sharePage(const PersistentIdentifier &page);
    void toggleCapturePaused();
    void confirmClearHistory();
    void openSettings();
    void quit();

    // Sheets and the clear confirmation. Each returns whether its sheet may close.
    bool saveManualNote(const QString &title, const QString &text);
    // The error to show in the sheet, empty when the lock was set.
    QString lockPage(const QString &password);
    bool removePageLock(const QString &password);
    bool commitRename();
    bool commitTextEdit();
    void clearHistory();

Q_SIGNALS:
    // A shared Page file was written, or the write failed (the error is then being shown).
    void shareFinished(bool written);

private:
    std::optional<QString> joinedStackText() const;
    void beep();

    HistoryActionServices m_s;
};

} // namespace quillmere
