#include "Quillmere/Clipboard/PasteService.h"

#include "Quillmere/Clipboard/PasteChordRule.h"
#include "Quillmere/Clipboard/SnippetExpander.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/KeyInjector.h"
#include "Quillmere/Platform/Pasteboard.h"

#include <QDir>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <unistd.h>

namespace quillmere {
namespace {

bool usesClipboardText(const QString &text)
{
    for (const SnippetExpander::Token &token : SnippetExpander::tokenize(text)) {
        if (token.kind == SnippetExpander::Token::Kind::value && token.text == QLatin1String("clipboard"))
            return true;
    }
    return false;
}

} // namespace

PasteService::PasteService(PasteServiceDependencies deps, QObject *parent)
    : QObject(parent), m_deps(std::move(deps)),
      m_writer(*m_deps.pasteboard, *m_deps.notificationCenter,
               m_deps.temporaryRoot.isEmpty() ? QDir::tempPath() : m_deps.temporaryRoot)
{
    Q_ASSERT(m_deps.keys && m_deps.windows);
    if (m_deps.ownProcessId == 0)
        m_deps.ownProcessId = qint64(::getpid());
}

PasteService::~PasteService() = default;

bool PasteService::isTrusted() const
{
    return m_deps.keys->isTrusted();
}

std::optional<PasteService::PasteTarget> PasteService::activeTarget() const
{
    if (const auto window = m_deps.windows->activeWindow())
        return PasteTarget{*window};
    return std::nullopt;
}

std::optional<PasteService::PasteTarget> PasteService::frontmostTarget() const
{
    const auto target = activeTarget();
    if (!target || target->app.pid == m_deps.ownProcessId || m_deps.windows->isTerminated(target->app))
        return std::nullopt;
    return target;
}

bool PasteService::isFrontmost(const PasteTarget &target) const
{
    return m_deps.windows->isFrontmost(target.app);
}

bool PasteService::isReadyForKeys(const PasteTarget &target) const
{
    return isFrontmost(target) && m_deps.windows->hasKeyboardFocus(target.app);
}

bool PasteService::clipboardHoldsLastWrite() const
{
    return m_lastWriteCount && m_deps.pasteboard->changeCount() == *m_lastWriteCount;
}

std::optional<PasteboardContents> PasteService::contentsForPaste(const ClipItem &clip, int *caretBack) const
{
    *caretBack = 0;
    PasteboardContents contents;
    const QString text = clip.text().value_or(QString());
    switch (clip.kind()) {
    case ClipKind::text: {
        if (text.isEmpty())
            return std::nullopt;
        // Only the plain string goes out; stored rich text would carry the unexpanded template.
        if (!SnippetExpander::containsPlaceholders(text)) {
            contents.setString(text);
            return contents;
        }
        // Nobody fills fields at paste time: they arrive as written.
        QString source = text;
        source.replace(QLatin1String("{field:"), QLatin1String("\\{field:"));
        // Another program's clipboard is read only when the template asks for it: the owner may
        // be slow or hung, or hold a huge text, and this runs on the main thread.
        std::optional<QString> previous;
        if (usesClipboardText(source))
            previous = m_deps.pasteboard->string();
        const auto expansion = SnippetExpander::expand(source, SnippetContext::current(m_deps.clock(), previous));
        contents.setString(expansion.text);
        if (isTrusted())
            *caretBack = expansion.caretBack;
        return contents;
    }
    case ClipKind::url:
        if (text.isEmpty())
            return std::nullopt;
        contents.setString(text);
        return contents;
    case ClipKind::image: {
        if (!text.isEmpty())
            contents.setString(text);
        if (clip.hasImageData()) {
            if (const auto image = clip.imageData(); image && !image->isEmpty())
                PasteboardWriter::addImageData(contents, *image);
        }
        if (contents.isEmpty())
            return std::nullopt;
        return contents;
    }
    case ClipKind::file:
        return m_writer.fileClipContents(clip, PasteboardWriter::MissingFileFallback::nothing);
    }
    return std::nullopt;
}

std::optional<qint64> PasteService::write(const PasteboardContents &contents)
{
    // The paste's notice names no feedback kind, so it gets the standard copy sound and check mark.
    const auto count = m_writer.writeContents(contents, std::nullopt);
    m_lastWriteCount = count;
    if (contents.string()) {
        m_lastText = *contents.string();
    } else {
        QStringList paths;
        for (const QUrl &url : contents.fileURLs())
            paths << (url.isLocalFile() ? url.toLocalFile() : url.toString());
        m_lastText = paths.join(QLatin1Char('\n'));
    }
    return count;
}

std::optional<int> PasteService::writeToPasteboard(const ClipItem &clip)
{
    int caretBack = 0;
    const auto contents = contentsForPaste(clip, &caretBack);
    if (!contents || !write(*contents)) {
        // Sending Ctrl+V now would paste whatever happened to be on the clipboard.
        qCInfo(lcPaste) << "Nothing to paste for clip" << clip.dedupID();
        beep();
        return std::nullopt;
    }
    return caretBack;
}

void PasteService::writeText(const QString &text)
{
    PasteboardContents contents;
    contents.setString(text);
    write(contents);
}

void PasteService::deliverPaste(const std::optional<PasteTarget> &target, int caretBack, OnSent onSent)
{
    if (!isTrusted()) {
        if (onSent)
            onSent(false);
        return;
    }
    if (!target || m_deps.windows->isTerminated(target->app)) {
        schedulePasteKeystroke(caretBack, std::move(onSent));
        return;
    }
    m_deps.windows->activate(target->app);
    pasteWhenFrontmost(*target, 0, caretBack, 0, std::move(onSent));
}

void PasteService::pasteWhenFrontmost(const PasteTarget &target, int attempt, int caretBack, int sinceRequestMs,
                                      OnSent onSent)
{
    // The chord goes the moment the target has the focus: nothing else waits for it.
    if (isFrontmost(target)) {
        sendWhenModifiersReleased(target, caretBack, 0, std::move(onSent));
        return;
    }
    if (attempt >= m_deps.timings.activationAttempts) {
        schedulePasteKeystroke(caretBack, std::move(onSent));
        return;
    }
    const int step = std::clamp(m_deps.timings.focusPollInterval, 1, std::max(1, m_deps.timings.activationInterval));
    QTimer::singleShot(step, this,
                       [this, target, attempt, caretBack, since = sinceRequestMs + step, onSent = std::move(onSent)] {
                           if (since < m_deps.timings.activationInterval) {
                               pasteWhenFrontmost(target, attempt, caretBack, since, onSent);
                               return;
                           }
                           if (!m_deps.windows->isTerminated(target.app))
                               m_deps.windows->activate(target.app);
                           pasteWhenFrontmost(target, attempt + 1, caretBack, 0, onSent);
                       });
}

void PasteService::schedulePasteKeystroke(int caretBack, OnSent onSent)
{
    QTimer::singleShot(m_deps.timings.keystrokeDelay, this, [this, caretBack, onSent = std::move(onSent)] {
        sendWhenModifiersReleased(std::nullopt, caretBack, 0, onSent);
    });
}

PasteChord PasteService::chordFor(const std::optional<PasteTarget> &target) const
{
    const std::optional<WindowTarget> window =
        target ? std::optional<WindowTarget>(target->app) : m_deps.windows->activeWindow();
    if (!window)
        return PasteChord::controlV;
    const WindowClass wmClass = m_deps.windows->windowClass(*window);
    return PasteChordRule::chordFor(wmClass.instance, wmClass.className);
}

void PasteService::sendWhenModifiersReleased(const std::optional<PasteTarget> &target, int caretBack, int waitedMs,
                                             OnSent onSent)
{
    // The hot key's own modifiers may still be down; Ctrl+V would arrive as Ctrl+Alt+Super+V.
    if (waitedMs < m_deps.timings.modifierWaitLimit && m_deps.keys->modifiersHeld()) {
        const int step = std::max(1, m_deps.timings.modifierPollInterval);
        QTimer::singleShot(step, this, [this, target, caretBack, waitedMs, step, onSent = std::move(onSent)] {
            sendWhenModifiersReleased(target, caretBack, waitedMs + step, onSent);
        });
        return;
    }
    const PasteChord chord = chordFor(target);
    if (PasteChordRule::pastesPrimary(chord))
        m_deps.pasteboard->setPrimaryText(m_lastText);
    const bool posted = m_deps.keys->postPasteChord(chord);
    if (!posted)
        qCWarning(lcPaste) << "Could not post the paste keystroke";
    if (caretBack > 0) {
        QTimer::singleShot(m_deps.timings.caretBackDelay, this,
                           [this, caretBack] { m_deps.keys->postCaretLeft(caretBack); });
    }
    Q_EMIT pasteKeystrokeSent(posted, caretBack);
    if (onSent)
        onSent(posted);
}

void PasteService::beep()
{
    if (m_deps.beep)
        m_deps.beep();
}

} // namespace quillmere
