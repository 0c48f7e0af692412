#pragma once

#include "Quillmere/Model/Records.h"

#include <functional>

namespace quillmere {

class CopyFeedback;
class NotificationCenter;

// Everything that happens after the monitor stored a copy, in this order: the source application
// is registered, the copy is confirmed, "quillmere.clipCaptured" is posted, the capture coordinator
// hears of it, and a link starts its preview.
class CaptureFollowUps {
public:
    struct Hooks {
        std::function<void(const ClipRef &)> registerSourceApp;
        std::function<void(const ClipRef &)> captureCoordinatorDidCapture;
        std::function<void(const ClipRef &)> fetchLinkPreview;
    };

    CaptureFollowUps(CopyFeedback &feedback, NotificationCenter &center, Hooks hooks);

    void clipCaptured(const ClipRef &clip);

private:
    CopyFeedback &m_feedback;
    NotificationCenter &m_center;
    Hooks m_hooks;
};

} // namespace quillmere
