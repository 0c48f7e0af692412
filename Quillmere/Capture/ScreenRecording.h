#pragma once

#include "Quillmere/Model/Records.h"

#include <QDateTime>
#include <functional>

namespace quillmere {

// What the capture coordinator needs of screen recording: its state, whether a region selector
// is open, and the one toggle that starts, stops or closes.
class ScreenRecording {
public:
    enum class State { idle, starting, recording };

    virtual ~ScreenRecording() = default;
    virtual bool isAvailable() const = 0;
    virtual State state() const = 0;
    virtual bool isRegionSelectorOpen() const = 0;
    virtual void toggle() = 0;

    // Called with the new state and, while recording, its start.
    std::function<void(State, QDateTime)> onStateChange;
    // The stored clip of a finished recording, once it is on the clipboard.
    std::function<void(const ClipRef &)> onRecordingSaved;
};

// Stands in until recording exists: always idle, and the toggle says it is not available.
class UnavailableScreenRecording : public ScreenRecording {
public:
    bool isAvailable() const override { return false; }
    State state() const override { return State::idle; }
    bool isRegionSelectorOpen() const override { return false; }
    void toggle() override;
};

} // namespace quillmere
