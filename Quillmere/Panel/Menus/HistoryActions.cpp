#include "Quillmere/Panel/Menus/HistoryActions.h"

#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/HandOver.h"
#include "Quillmere/Platform/Core/Notices.h"

#include "Quillmere/Archive/ArchiveImport.h"
#include "Quillmere/Archive/PageFile.h"
#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Model/ClipPreview.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

namespace quillmere {
namespace {

const QString ownSourceName = QStringLiteral("Quillmere");
const QString ownBundleID = QStringLiteral("com.orvantide.quillmere");

// Written whole or not at all: a failed write leaves what was there before.
std::optional<QString> writeAtomically(const QString &path, const QByteArray &bytes)
{
    QString error;
    if (!writeFileAtomically(path, bytes, &error, FileAccess::document))
        return error;
    return std::nullopt;
}

} // namespace

HistoryActions::HistoryActions(HistoryActionServices services, QObject *parent)
    : QObject(parent), m_s(std::move(services))
{
    Q_ASSERT(m_s.store && m_s.model && m_s.notificationCenter);
}

ClipRef HistoryActions::clip(const PersistentIdentifier &id) const
{
    ClipRef clip = m_s.store->context().clip(id);
    return clip && !clip->isDeleted() ? clip : ClipRef();
}

PageRef HistoryActions::page(const PersistentIdentifier &id) const
{
    for (const PageRef &page : m_s.store->pages()) {
        if (page->persistentModelID() == id)
            return page;
    }
    return {};
}

bool HistoryActions::isInPasteStack(const ClipSnapshot &clip) const
{
    if (!m_s.pasteStack)
        return false;
    const std::vector<QUuid> stack = m_s.pasteStack->stack();
    return std::find(stack.begin(), stack.end(), clip.dedupID) != stack.end();
}

void HistoryActions::beep()
{
    if (m_s.beep)
        m_s.beep();
}

// ---- Clip context menu ------------------------------------------------------------------------

void HistoryActions::paste(const PersistentIdentifier &id)
{
    if (const ClipRef c = clip(id); c && m_s.paste)
        m_s.paste(c);
}

void HistoryActions::copy(const PersistentIdentifier &id)
{
    const ClipRef c = clip(id);
    if (!c)
        return;
    if (m_s.copyClip)
        m_s.copyClip(c);
    m_s.store->bumpToTop(c, m_s.store->now());
}

void HistoryActions::togglePin(const PersistentIdentifier &id)
{
    if (const ClipRef c = clip(id))
        m_s.store->togglePin(c);
}

void HistoryActions::applyTransform(const PersistentIdentifier &id, ClipTextTransform::Case transform, bool pasteIt)
{
    const ClipRef c = clip(id);
    if (!c)
        return;
    const std::optional<QString> source = ClipTextTransform::sourceText(*c);
    const std::optional<QString> result = source ? ClipTextTransform::apply(transform, *source) : std::nullopt;
    if (!result) {
        beep();
        return;
    }
    if (pasteIt) {
        if (m_s.model)
            m_s.model->pasteText(*result);
    } else if (m_s.copyText) {
        m_s.copyText(*result);
    }
    m_s.store->bumpToTop(c, m_s.store->now());
}

void HistoryActions::togglePasteStack(const PersistentIdentifier &id)
{
    const ClipRef c = clip(id);
    if (!c || !m_s.pasteStack)
        return;
    std::vector<QUuid> stack = m_s.pasteStack->stack();
    const QUuid dedup = c->dedupID();
    if (std::find(stack.begin(), stack.end(), dedup) != stack.end()) {
        std::erase(stack, dedup);
    } else if (!quillmere::primaryText(*c)) {
        beep();
        return;
    } else {
        stack.push_back(dedup);
    }
    m_s.pasteStack->setStack(stack);
    m_s.model->pasteStackChanged();
}

void HistoryActions::preview(const PersistentIdentifier &id)
{
    const ClipRef c = clip(id);
    if (!c || !m_s.openPreview)
        return;
    const std::optional<QUrl> target = clipPreviewTarget(*c);
    if (!target)
        return;
    QPointer<HistoryActions> self(this);
    m_s.openPreview(*target, [self](bool opened) {
        if (self && !opened)
            self->m_s.model->showManualAddError(previewFailedMessage, previewFailedTitle);
    });
}

void HistoryActions::startRename(const PersistentIdentifier &id)
{
    const ClipRef c = clip(id);
    if (!c)
        return;
    QString text;
    if (const auto title = distinctCustomTitle(*c))
        text = *title;
    else if (const auto match = sensitiveMatch(*c))
        text = match->label;
    m_s.model->setRenamingItem(id, text);
}

void HistoryActions::startEdit(const PersistentIdentifier &id)
{
    if (const ClipRef c = clip(id))
        m_s.model->setEditingTextItem(id, c->text().value_or(QString()));
}

void HistoryActions::assignToPage(const PersistentIdentifier &id, const std::optional<PersistentIdentifier> &pageID)
{
    const ClipRef c = clip(id);
    if (!c)
        return;
    const PageRef target = pageID ? page(*pageID) : PageRef();
    if (pageID && !target)
        return;
    m_s.store->assignClip(c, target);
}

void HistoryActions::assignToNewPage(const PersistentIdentifier &id)
{
    const ClipRef c = clip(id);
    if (!c)
        return;
    if (const PageRef created = m_s.store->createPage(QStringLiteral("Untitled")))
        m_s.store->assignClip(c, created);
}

void HistoryActions::deleteClip(const PersistentIdentifier &id)
{
    if (const ClipRef c = clip(id))
        m_s.store->deleteClip(c);
}

// ---- Add menu ---------------------------------------------------------------------------------

void HistoryActions::captureScreenshot()
{
    m_s.model->close();
    // The centre outlives the panel, so the request still goes out when the panel is gone.
    QPointer<NotificationCenter> center(m_s.notificationCenter);
    QTimer::singleShot(areaCaptureDelayMs, center, [center] {
        if (center)
            center->post(Notices::requestAreaCapture);
    });
}

void HistoryActions::showNewNoteSheet()
{
    m_s.model->setShowingManualNoteSheet(true);
}

void HistoryActions::chooseFileToAdd()
{
    if (!m_s.chooseFile)
        return;
    FileChoice choice;
    choice.prompt = QStringLiteral("Add");
    if (const std::optional<QString> path = m_s.chooseFile(choice))
        m_s.model->tabs().addFile(*path);
}

// ---- Paste-stack menu -------------------------------------------------------------------------

std::optional<QString> HistoryActions::joinedStackText() const
{
    QStringList parts;
    for (const ClipSnapshot *c : m_s.model->pasteStackItems()) {
        if (c->primaryText)
            parts << *c->primaryText;
    }
    if (parts.isEmpty())
        return std::nullopt;
    return parts.join(QStringLiteral("\n\n"));
}

void HistoryActions::copyStackAsText()
{
    const std::optional<QString> text = joinedStackText();
    if (!text) {
        beep();
        return;
    }
    if (m_s.copyText)
        m_s.copyText(*text);
}

void HistoryActions::removeFromPasteStack(const QUuid &dedupID)
{
    if (!m_s.pasteStack)
        return;
    std::vector<QUuid> stack = m_s.pasteStack->stack();
    std::erase(stack, dedupID);
    m_s.pasteStack->setStack(stack);
    m_s.model->pasteStackChanged();
}

void HistoryActions::clearPasteStack()
{
    if (!m_s.pasteStack)
        return;
    m_s.pasteStack->setStack({});
    m_s.model->pasteStackChanged();
}

// ---- More menu --------------------------------------------------------------------------------

void HistoryActions::sharePage(const PersistentIdentifier &pageID)
{
    const PageRef p = page(pageID);
    if (!p)
        return;
    const PageArchive archive = archive::makePageArchive(*m_s.store, p);
    auto encoded = pagefile::encoded(archive);
    if (!encoded) {
        m_s.model->showManualAddError(QStringLiteral("This page could not be exported: ")
                                      + encoded.error().userMessage());
        return;
    }
    if (!m_s.chooseFile)
        return;
    FileChoice choice;
    choice.mode = FileChoice::Mode::save;
    choice.title = QStringLiteral("Share Page");
    choice.prompt = QStringLiteral("Share");
    choice.suggestedName = pagefile::suggestedFileName(archive);
    choice.extension = pagefile::fileExtension;
    const std::optional<QString> path = m_s.chooseFile(choice);
    if (!path)
        return;

    QPointer<HistoryActions> self(this);
    QThreadPool::globalInstance()->start(
        QUILLMERE_HANDED_OVER(nullptr, [self, path = *path, bytes = std::move(encoded).value()] {
            const std::optional<QString> error = writeAtomically(path, bytes);
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                QUILLMERE_HANDED_OVER(nullptr,
                                      [self, error] {
                                          if (!self)
                                              return;
                                          if (error)
                                              self->m_s.model->showManualAddError(
                                                  QStringLiteral("The page file could not be written: ") + *error);
                                          Q_EMIT self->shareFinished(!error);
                                      }),
                Qt::QueuedConnection);
        }));
}

void HistoryActions::toggleCapturePaused()
{
    m_s.model->setCapturePaused(!m_s.model->isCapturePaused());
}

void HistoryActions::confirmClearHistory()
{
    m_s.model->setShowingClearConfirmation(true);
}

void HistoryActions::openSettings()
{
    // The model's settings road closes the panel before the window comes forward.
    m_s.model->openSettings();
}

void HistoryActions::quit()
{
    if (m_s.quit)
        m_s.quit();
}

// ---- Sheets -----------------------------------------------------------------------------------

bool HistoryActions::saveManualNote(const QString &title, const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        m_s.model->showManualAddError(QStringLiteral("Write something before saving the note."));
        return false;
    }
    CapturedContent content;
    content.kind = ClipKind::text;
    content.text = CapturedContent::capText(trimmed, CapturedContent::maxTextBytes);
    content.sourceAppName = ownSourceName;
    content.sourceAppBundleID = ownBundleID;
    const PageSnapshot *selected = m_s.model->selectedPage();
    const PageRef target = selected ? page(selected->id) : PageRef();
    if (!m_s.store->insertManualClip(content, target, title)) {
        m_s.model->showManualAddError(QStringLiteral("The note could not be saved."));
        return false;
    }
    m_s.model->setShowingManualNoteSheet(false);
    return true;
}

QString HistoryActions::lockPage(const QString &password)
{
    const auto id = m_s.model->state().lockSetupBoard;
    const PageRef p = id ? page(*id) : PageRef();
    if (!p) {
        m_s.model->setLockSetupBoard(std::nullopt);
        return {};
    }
    if (password.size() < ClipStore::minimumLockPasswordLength)
        return QStringLiteral("Use at least 4 characters.");
    if (!m_s.store->setPageLock(p, password))
        return QStringLiteral("The lock could not be saved.");
    m_s.model->unlockPage(*id);
    m_s.model->setLockSetupBoard(std::nullopt);
    return {};
}

bool HistoryActions::removePageLock(const QString &password)
{
    const auto id = m_s.model->state().removeLockBoard;
    const PageRef p = id ? page(*id) : PageRef();
    if (!p || !m_s.store->verifyPageLock(p, password))
        return false;
    p->setLockSalt(QString());
    p->setLockHash(QString());
    m_s.store->save();
    m_s.model->tabs().lockNow(*id);
    m_s.model->setRemoveLockBoard(std::nullopt);
    return true;
}

bool HistoryActions::commitRename()
{
    const auto id = m_s.model->state().renamingItem;
    if (!id)
        return true;
    const ClipRef c = clip(*id);
    if (c) {
        const QString text = m_s.model->state().renameText.trimmed();
        m_s.store->renameClip(c, text);
        // A save the store rolled back leaves the old title: keep the sheet and its text.
        if (c->customTitle().value_or(QString()) != text)
            return false;
    }
    m_s.model->setRenamingItem(std::nullopt, m_s.model->state().renameText);
    return true;
}

bool HistoryActions::commitTextEdit()
{
    const auto id = m_s.model->state().editingTextItem;
    if (!id)
        return true;
    const ClipRef c = clip(*id);
    if (c) {
        const QString text = CapturedContent::capText(m_s.model->state().editText, CapturedContent::maxTextBytes);
        m_s.store->editClipText(c, text);
        if (c->text().value_or(QString()) != text)
            return false;
    }
    m_s.model->setEditingTextItem(std::nullopt, m_s.model->state().editText);
    return true;
}

void HistoryActions::clearHistory()
{
    m_s.store->clearHistory();
    m_s.model->setShowingClearConfirmation(false);
}

} // namespace quillmere
