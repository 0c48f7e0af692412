#pragma once

#include "Quillmere/Panel/Window/PanelKeyboardTap.h"

#include <memory>

typedef struct _XDisplay Display;

namespace quillmere {

// Replays keys with XTest on a connection of its own: each key code goes out with the modifiers
// of its recorded state that are not already down, so the receiving window sees the same
// characters the user typed, whatever the layout.
class XTestKeyReplayer : public KeyReplaying {
public:
    XTestKeyReplayer();
    ~XTestKeyReplayer() override;
    XTestKeyReplayer(const XTestKeyReplayer &) = delete;
    XTestKeyReplayer &operator=(const XTestKeyReplayer &) = delete;

    void replay(const std::vector<CapturedKey> &keys) override;

private:
    Display *display();
    struct DisplayCloser {
        void operator()(Display *d) const;
    };
    std::unique_ptr<Display, DisplayCloser> m_display;
    bool m_opened = false;
};

} // namespace quillmere
