#include "Quillmere/App/CopyFeedback.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Platform/SoundPlayer.h"

#include <QPointer>

namespace quillmere {

CopyFeedback::CopyFeedback(Preferences &prefs, SoundPlayer &sounds, Hooks hooks, QObject *parent)
    : QObject(parent), m_prefs(prefs), m_sounds(std::make_unique<SoundThread>(sounds)), m_hooks(std::move(hooks))
{
}

CopyFeedback::~CopyFeedback() = default;

bool CopyFeedback::copySoundIsEnabled() const
{
    // Absent, or anything that is not a flag, means on.
    return m_prefs.get(PreferenceKeys::copySoundEnabled);
}

void CopyFeedback::confirmCopy()
{
    if (copySoundIsEnabled())
        m_sounds->play(QStringLiteral("Pop"));
    flashCopiedIcon();
}

void CopyFeedback::handleOwnPasteboardWrite(const Notification &note)
{
    const QVariant feedback = note.userInfo.value(QStringLiteral("feedback"));
    const bool upload =
        feedback.typeId() == QMetaType::QString && feedback.toString() == QLatin1String("uploadComplete");
    if (copySoundIsEnabled())
        m_sounds->play(upload ? QStringLiteral("Glass") : QStringLiteral("Pop"));
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
