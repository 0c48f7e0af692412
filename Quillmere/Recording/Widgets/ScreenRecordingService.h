#pragma once

#include "Quillmere/Capture/ScreenRecording.h"
#include "Quillmere/Recording/RecordingCoordinator.h"
#include "Quillmere/Recording/ScreenRecorder.h"
#include "Quillmere/Recording/Widgets/RegionSelector.h"

#include <QPointer>
#include <memory>

namespace quillmere {

class NotificationCenter;
class Pasteboard;
class PasteboardWriter;
class RecordingControlBar;
class RecordingRegionBorder;

// The recording windows on this desktop: the selector on the screen under the pointer, the
// control bar and the border, and the alerts.
class WidgetRecordingSurfaces : public RecordingSurfaces {
public:
    explicit WidgetRecordingSurfaces(Preferences *preferences);
    ~WidgetRecordingSurfaces() override;

    bool presentSelector(std::function<void(std::optional<RegionSelection>)> completion) override;
    // A selector that has finished no longer counts, though its completion may still be on its way.
    bool isSelectorOpen() const override;
    void dismissSelector() override;
    void showControls(const RegionSelection &selection, const QDateTime &startedAt, bool micEnabled) override;
    void hideControls() override;
    int alert(const QString &message, const QString &informative, const QStringList &buttons) override;

    RegionSelector *selector() const { return m_selector; }
    RecordingControlBar *controlBar() const { return m_bar.get(); }
    RecordingRegionBorder *border() const { return m_border.get(); }
    // Replaces the modal alert (tests).
    std::function<int(const QString &, const QString &, const QStringList &)> alertOverride;

private:
    Preferences *m_preferences;
    QPointer<RegionSelector> m_selector;
    std::unique_ptr<RecordingControlBar> m_bar;
    std::unique_ptr<RecordingRegionBorder> m_border;
};

// Screen recording as the capture coordinator sees it.
class ScreenRecordingService : public ScreenRecording {
public:
    struct Dependencies {
        ClipStore *store = nullptr;
        Pasteboard *pasteboard = nullptr;
        NotificationCenter *center = nullptr;
        Preferences *preferences = nullptr;
        std::function<void()> beep;
    };

    explicit ScreenRecordingService(Dependencies deps);
    ~ScreenRecordingService() override;

    bool isAvailable() const override { return true; }
    State state() const override;
    bool isRegionSelectorOpen() const override { return m_surfaces->isSelectorOpen(); }
    void toggle() override { m_coordinator->toggle(); }

    ScreenRecorder &recorder() { return *m_recorder; }
    WidgetRecordingSurfaces &surfaces() { return *m_surfaces; }
    RecordingCoordinator &coordinator() { return *m_coordinator; }

private:
    std::unique_ptr<PasteboardWriter> m_writer;
    std::unique_ptr<ScreenRecorder> m_recorder;
    std::unique_ptr<WidgetRecordingSurfaces> m_surfaces;
    std::unique_ptr<RecordingCoordinator> m_coordinator;
};

} // namespace quillmere
