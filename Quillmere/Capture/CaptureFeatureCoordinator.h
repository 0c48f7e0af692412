#pragma once

#include "Quillmere/Capture/CapturePresentation.h"
#include "Quillmere/Capture/CaptureServiceContext.h"
#include "Quillmere/Capture/CaptureShortcuts.h"
#include "Quillmere/Capture/CaptureUploads.h"
#include "Quillmere/Capture/ScreenCapturePermission.h"
#include "Quillmere/Capture/ScreenRecording.h"
#include "Quillmere/Capture/ScreenshotCaptureService.h"
#include "Quillmere/Capture/ScreenshotToolRunner.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Platform/Core/Notices.h"

#include <QList>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

class OCRAreaCaptureService;
class PasteboardWriter;
class ShareLinkDelivery;

// The one entry of every capture: the tray's items, the capture hot keys and the area-capture
// request. It checks that the screen can be read, moves the history panel out of the way and
// starts the screenshot, text or recording service, which it owns.
class CaptureFeatureCoordinator : public QObject {
    Q_OBJECT
public:
    static constexpr int hiddenPanelDelayMs = 180;

    struct Dependencies {
        // The tool is made by the coordinator from `toolOptions`; leave `services.tool` empty.
        CaptureServiceContext services;
        ScreenshotToolRunner::Options toolOptions;
        std::function<std::optional<quint32>(quint32 keyCode, quint32 modifiers, std::function<void()> handler)>
            registerHotKey;
        std::function<void(quint32 identifier)> unregisterHotKey;
        // Asked right after a registration failed: whether the X server refused the combination.
        std::function<bool()> lastHotKeyRefused;
        std::function<void()> revealPanel;
        // Closes the history panel at once; true when it was open.
        std::function<bool()> hidePanelForExternalUI;
        std::function<bool()> screenPixelsReadable;
        // Shows a modal alert; gives the index of the button pressed.
        std::function<int(const CaptureAlert &)> showAlert;
        bool waylandSession = false;
        // The status icon while recording, and its tooltip.
        std::function<void(bool recording)> showRecordingImage;
        std::function<void(const QString &)> setStatusToolTip;
        std::unique_ptr<ScreenRecording> recording;
        // The card and the toast after a capture; nothing is shown without one.
        CapturePresenter *presenter = nullptr;
        // What the automatic upload of a screenshot reads when it starts.
        CaptureUploadContext uploads;
    };

    static inline const QString defaultStatusToolTip =
        QStringLiteral("Brindlewax — clipboard history (%1)").arg(panelShortcutText());
    // "Recording screen — 1:05"; minutes are not wrapped into hours.
    static QString recordingToolTip(qint64 elapsedSeconds);

    explicit CaptureFeatureCoordinator(Dependencies deps, QObject *parent = nullptr);
    ~CaptureFeatureCoordinator() override;

    void start();
    void stop();
    void perform(CaptureAction action);
    void clipboardDidCapture(const ClipRef &clip);

    bool isRecording() const;
    bool isRecordingAvailable() const;
    const QList<quint32> &captureHotKeyIDs() const { return m_captureHotKeyIDs; }
    // The action's shortcut is held by another program, as of the latest registration.
    bool isHotKeyRefused(CaptureAction action) const { return m_refusedHotKeys.contains(action); }
    ScreenshotCaptureService *screenshotCaptureService() const { return m_screenshot.get(); }
    OCRAreaCaptureService *ocrCaptureService() const { return m_ocr.get(); }
    ScreenshotToolRunner &tool() const { return *m_tool; }

    // The screenshot and recording hooks, reachable for tests that have no screenshot tool.
    void announceScreenshot(const ClipRef &clip, ScreenshotClipboardOutput output, quint64 generation)
    {
        screenshotCaptured(clip, output, generation);
    }
    void announceOcrCapture(const ClipRef &clip) { ocrCaptured(clip); }
    void announceRecording(const ClipRef &clip) { recordingSaved(clip); }

private:
    void registerCaptureHotKeys();
    void unregisterCaptureHotKeys();
    void run(CaptureAction action);
    void startCapture(CaptureAction action);
    void requestScreenCapturePermission(CaptureAction action);
    void showScreenCaptureAccessNeeded(CaptureAction action);
    void recorderStateChanged(ScreenRecording::State state, const QDateTime &startedAt);
    void showRecordingIndicator(const QDateTime &startedAt);
    void updateRecordingTooltip(const QDateTime &startedAt);
    void clearRecordingIndicator();
    void screenshotCaptured(const ClipRef &clip, ScreenshotClipboardOutput output, quint64 generation);
    void ocrCaptured(const ClipRef &clip);
    void recordingSaved(const ClipRef &clip);
    void uploadScreenshotAutomatically(const ClipRef &clip, quint64 generation,
                                       const std::shared_ptr<CaptureOverlayUploadProgress> &progress);

    Dependencies m_deps;
    std::unique_ptr<ScreenshotToolRunner> m_tool;
    QThreadPool m_recognitionPool;
    std::unique_ptr<ScreenRecording> m_recording;
    std::unique_ptr<OCRAreaCaptureService> m_ocr;
    std::unique_ptr<ScreenshotCaptureService> m_screenshot;
    std::unique_ptr<PasteboardWriter> m_writer;
    std::unique_ptr<ShareLinkDelivery> m_linkDelivery;
    QTimer m_recordingElapsedTimer;
    QList<quint32> m_captureHotKeyIDs;
    QList<CaptureAction> m_refusedHotKeys;
    std::optional<quint64> m_captureShortcutsObserver;
    std::optional<quint64> m_requestAreaCaptureObserver;
    bool m_isPresentingScreenCapturePermission = false;
    bool m_waylandNoticeShown = false;
};

} // namespace quillmere
