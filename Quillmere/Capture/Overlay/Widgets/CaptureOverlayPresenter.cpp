#include "Quillmere/Capture/Overlay/Widgets/CaptureOverlayPresenter.h"

namespace quillmere {

CaptureOverlayPresenter::CaptureOverlayPresenter(CaptureOverlayController::Environment environment)
{
    if (!environment.motion) {
        m_ownMotion = std::make_unique<XSettingsMotion>();
        environment.motion = m_ownMotion.get();
    }
    const Preferences *preferences = environment.preferences;
    const DesktopMotion *motion = environment.motion;
    Clock clock = environment.actions.clock ? environment.actions.clock : systemClock();
    m_card = std::make_unique<CaptureOverlayController>(std::move(environment));
    m_toast = std::make_unique<NotchCaptureToastController>(preferences, motion, clock);
}

CaptureOverlayPresenter::~CaptureOverlayPresenter() = default;

std::shared_ptr<CaptureOverlayUploadProgress>
CaptureOverlayPresenter::showCard(const ClipRef &clip, CaptureOverlayUploadProgress::Kind uploadState)
{
    return m_card->showCard(clip, uploadState);
}

void CaptureOverlayPresenter::showToast(const ClipRef &clip)
{
    m_toast->showFor(clip);
}

} // namespace quillmere
