#include "Quillmere/App/CaptureFollowUps.h"

#include "Quillmere/Platform/Core/Notices.h"

#include "Quillmere/App/CopyFeedback.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"

namespace quillmere {

CaptureFollowUps::CaptureFollowUps(CopyFeedback &feedback, NotificationCenter &center, Hooks hooks)
    : m_feedback(feedback), m_center(center), m_hooks(std::move(hooks))
{
}

void CaptureFollowUps::clipCaptured(const ClipRef &clip)
{
    if (!clip)
        return;
    if (m_hooks.registerSourceApp)
        m_hooks.registerSourceApp(clip);
    m_feedback.confirmCopy();
    m_center.post(Notices::clipCaptured);
    if (m_hooks.captureCoordinatorDidCapture)
        m_hooks.captureCoordinatorDidCapture(clip);
    if (clip->kind() == ClipKind::url && m_hooks.fetchLinkPreview)
        m_hooks.fetchLinkPreview(clip);
}

} // namespace quillmere
