#include "Quillmere/Clipboard/ClipboardMonitor.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Clipboard/PasteboardAccess.h"
#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/Pasteboard.h"

#include <QElapsedTimer>

namespace quillmere {

ClipboardMonitor::ClipboardMonitor(CaptureDependencies deps, NotificationCenter &center, QObject *parent)
    : QObject(parent), m_deps(deps), m_capture(std::move(deps)), m_ownership(*m_deps.pasteboard, center)
{
    m_lastChangeCount = m_deps.pasteboard->changeCount();
    m_timer.setInterval(pollIntervalMs);
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ClipboardMonitor::checkPasteboard);
}

ClipboardMonitor::~ClipboardMonitor() = default;

const QSet<QString> &ClipboardMonitor::ignoredPasteboardTypes()
{
    return concealedPasteboardTypes();
}

void ClipboardMonitor::start()
{
    if (m_timer.isActive())
        return;
    m_timer.start();
    if (!m_connected) {
        // X11 tells us about each new owner; look at once, while the content read is still the
        // current one: a later copy must not replace it before it was seen.
        connect(m_deps.pasteboard, &Pasteboard::changed, this, &ClipboardMonitor::checkPasteboard);
        m_connected = true;
    }
}

bool ClipboardMonitor::hasIgnoredMarkerType() const
{
    const QStringList types = m_deps.pasteboard->types();
    for (const QString &type : types)
        if (ignoredPasteboardTypes().contains(type))
            return true;
    if (types.contains(passwordManagerHintMimeType)) {
        const auto hint = m_deps.pasteboard->data(passwordManagerHintMimeType);
        if (hint && hint->trimmed() == "secret")
            return true;
    }
    return false;
}

void ClipboardMonitor::checkPasteboard()
{
    const qint64 count = m_deps.pasteboard->changeCount();
    if (count == m_lastChangeCount)
        return;
    // Consumed from here on, whatever follows decides.
    m_lastChangeCount = count;

    if (m_deps.preferences->get(PreferenceKeys::capturePaused))
        return;
    if (const auto behaviour = m_deps.pasteboard->accessBehavior()) {
        if (pasteboardAccessStateFromRaw(*behaviour) == PasteboardAccessState::denied)
            return;
    }
    if (hasIgnoredMarkerType() || m_ownership.isOwnContent())
        return;
    QElapsedTimer timer;
    timer.start();
    m_capture.captureCurrentContents();
    // Read by the capture benchmark: the main thread's share of one copy.
    qCDebug(lcClipboard, "Capture took %.3f ms on the main thread", double(timer.nsecsElapsed()) / 1e6);
}

} // namespace quillmere
