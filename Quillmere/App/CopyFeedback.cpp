#include "Quillmere/App/CopyFeedback.h"

#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/SoundPlayer.h"

#include <QPointer>

namespace quillmere {

CopyFeedback::CopyFeedback(Preferences &prefs, SoundPlayer &sounds, NotificationCenter &center, Hooks hooks,
                           QObject *parent)
    : QObject(parent), m_prefs(prefs), m_sounds(sounds), m_center(center), m_hooks(std::move(hooks))
{
}

bool CopyFeedback::copySoundIsEnabled() const
{
    // Absent, or anything that is not a flag, means on.
    return m_prefs.boolValue(QStringLiteral("copySoundEnabled"), true);
}

void CopyFeedback::handleCapturedClip(const ClipRef &clip)
{
    if (!clip)
        return;
    if (m_hooks.registerSourceApp)
        m_hooks.registerSourceApp(clip);
    if (copySoundIsEnabled())
        m_sounds.play(QStringLiteral("Pop"));
    flashCopiedIcon();
    m_center.post(clipCapturedNotification);
    if (m_hooks.captureCoordinatorDidCapture)
        m_hooks.captureCoordinatorDidCapture(clip);
    if (clip->kind() == ClipKind::url && m_hooks.fetchLinkPreview)
        m_hooks.fetchLinkPreview(clip);
}

void CopyFeedback::handleOwnPasteboardWrite(const Notification &note)
{
    const QVariant feedback = note.userInfo.value(QStringLiteral("feedback"));
    const bool upload = feedback.typeId() == QMetaType::QString && feedback.toString() == QLatin1String("uploadComplete");
    if (copySoundIsEnabled())
        m_sounds.play(upload ? QStringLiteral("Glass") : QStringLiteral("Pop"));
    flashCopiedIcon();
}

void CopyFeedback::flashCopiedIcon()
{
    // During a recording the tray shows the recording state; leave it alone.
    if (m_hooks.isRecording && m_hooks.isRecording())
        return;
    if (!m_hooks.showCopiedIcon)
        return;
    const qint64 generation = ++m_generation;
    m_hooks.showCopiedIcon(true);
    QTimer::singleShot(flashMs, this, [this, generation] {
        if (generation != m_generation)
            return;
        if (m_hooks.isRecording && m_hooks.isRecording())
            return;
        m_hooks.showCopiedIcon(false);
    });
}

} // namespace quillmere
