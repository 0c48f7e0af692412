#pragma once

#include "Quillmere/Capture/CapturePresentation.h"
#include "Quillmere/Capture/Overlay/Widgets/CaptureOverlayController.h"
#include "Quillmere/Capture/Overlay/Widgets/NotchCaptureToastController.h"
#include "Quillmere/Platform/DesktopMotion.h"

#include <memory>

namespace quillmere {

// The card and the toast, made once at start-up and kept for the life of the program.
class CaptureOverlayPresenter : public CapturePresenter {
public:
    // `environment.motion` may be left empty: the desktop's XSETTINGS are asked then.
    explicit CaptureOverlayPresenter(CaptureOverlayController::Environment environment);
    ~CaptureOverlayPresenter() override;

    std::shared_ptr<CaptureOverlayUploadProgress> showCard(const ClipRef &clip,
                                                           CaptureOverlayUploadProgress::Kind uploadState) override;
    void showToast(const ClipRef &clip) override;

    CaptureOverlayController &card() { return *m_card; }
    NotchCaptureToastController &toast() { return *m_toast; }

private:
    std::unique_ptr<DesktopMotion> m_ownMotion;
    std::unique_ptr<CaptureOverlayController> m_card;
    std::unique_ptr<NotchCaptureToastController> m_toast;
};

} // namespace quillmere
