#include "Quillmere/Capture/CaptureFeatureCoordinator.h"

#include "Quillmere/Capture/OCRAreaCaptureService.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QPointer>

namespace quillmere {

void UnavailableScreenRecording::toggle()
{
    qCInfo(lcCapture, "Screen recording is not available in this version yet");
}

QString CaptureFeatureCoordinator::recordingToolTip(qint64 elapsedSeconds)
{
    const qint64 seconds = std::max<qint64>(0, elapsedSeconds);
    return QStringLiteral("Recording screen — %1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

CaptureFeatureCoordinator::CaptureFeatureCoordinator(Dependencies deps, QObject *parent)
    : QObject(parent), m_deps(std::move(deps))
{
    m_tool = std::make_unique<ScreenshotToolRunner>(m_deps.toolOptions);
    m_recording = m_deps.recording ? std::move(m_deps.recording) : std::make_unique<UnavailableScreenRecording>();
    QPointer<CaptureFeatureCoordinator> self(this);
    m_recording->onStateChange = [self](ScreenRecording::State state, const QDateTime &startedAt) {
        if (self)
            self->recorderStateChanged(state, startedAt);
    };
    m_recording->onRecordingSaved = [self](const ClipRef &clip) {
        if (self)
            self->recordingSaved(clip);
    };

    m_recognitionPool.setMaxThreadCount(1);
    CaptureServiceContext services = m_deps.services;
    services.tool = m_tool.get();
    if (!services.recognitionPool)
        services.recognitionPool = &m_recognitionPool;
    m_ocr = std::make_unique<OCRAreaCaptureService>(services);
    m_ocr->setOnCaptured([self](const ClipRef &clip) {
        if (self)
            self->ocrCaptured(clip);
    });
    m_screenshot = std::make_unique<ScreenshotCaptureService>(services);
    m_screenshot->setOnCaptured([self](const ClipRef &clip, ScreenshotClipboardOutput output, quint64 generation) {
        if (self)
            self->screenshotCaptured(clip, output, generation);
    });

    m_recordingElapsedTimer.setInterval(1000);
    m_recordingElapsedTimer.setTimerType(Qt::CoarseTimer);
}

CaptureFeatureCoordinator::~CaptureFeatureCoordinator()
{
    // A recognition under way is waited for; those not started yet are dropped.
    m_recognitionPool.clear();
    m_recordingElapsedTimer.stop();
    stop();
    unregisterCaptureHotKeys();
}

void CaptureFeatureCoordinator::start()
{
    registerCaptureHotKeys();
    NotificationCenter *center = m_deps.services.center;
    if (!center)
        return;
    stop();
    m_requestAreaCaptureObserver = center->addObserver(
        requestAreaCaptureNotification, this, [this](const Notification &) { perform(CaptureAction::areaScreenshot); });
    m_captureShortcutsObserver = center->addObserver(captureShortcutsChangedNotification, this,
                                                     [this](const Notification &) { registerCaptureHotKeys(); });
}

void CaptureFeatureCoordinator::stop()
{
    NotificationCenter *center = m_deps.services.center;
    for (auto *token : {&m_requestAreaCaptureObserver, &m_captureShortcutsObserver}) {
        if (*token && center)
            center->removeObserver(**token);
        token->reset();
    }
}

void CaptureFeatureCoordinator::unregisterCaptureHotKeys()
{
    if (m_deps.unregisterHotKey)
        for (quint32 id : std::as_const(m_captureHotKeyIDs))
            m_deps.unregisterHotKey(id);
    m_captureHotKeyIDs.clear();
    m_refusedHotKeys.clear();
}

void CaptureFeatureCoordinator::registerCaptureHotKeys()
{
    unregisterCaptureHotKeys();
    if (!m_deps.registerHotKey || !m_deps.services.preferences)
        return;
    const CaptureShortcutPreferences table = CaptureShortcutPreferences::load(*m_deps.services.preferences);
    QPointer<CaptureFeatureCoordinator> self(this);
    for (CaptureAction action : allCaptureActions()) {
        const auto it = table.shortcuts.constFind(action);
        if (it == table.shortcuts.cend())
            continue;
        const auto id = m_deps.registerHotKey(it->keyCode, it->modifiers, [self, action] {
            if (self)
                self->perform(action);
        });
        if (id)
            m_captureHotKeyIDs.append(*id);
        else {
            qCCritical(lcCapture, "Failed to register capture hotkey for %s", qPrintable(rawValue(action)));
            if (m_deps.lastHotKeyRefused && m_deps.lastHotKeyRefused())
                m_refusedHotKeys.append(action);
        }
    }
}

bool CaptureFeatureCoordinator::isRecording() const
{
    return m_recording->state() != ScreenRecording::State::idle;
}

bool CaptureFeatureCoordinator::isRecordingAvailable() const
{
    return m_recording->isAvailable();
}

void CaptureFeatureCoordinator::perform(CaptureAction action)
{
    const bool isStopRequest = action == CaptureAction::screenRecording
        && (m_recording->state() != ScreenRecording::State::idle || m_recording->isRegionSelectorOpen());
    const bool readable = m_deps.screenPixelsReadable && m_deps.screenPixelsReadable();
    const ScreenCapturePermissionState state = ScreenCapturePermission::effective(
        action, ScreenCapturePermission::current(readable, *m_deps.services.preferences), isStopRequest);
    switch (state) {
    case ScreenCapturePermissionState::granted:
        run(action);
        break;
    case ScreenCapturePermissionState::firstUse:
        requestScreenCapturePermission(action);
        break;
    case ScreenCapturePermissionState::denied: {
        if (m_isPresentingScreenCapturePermission)
            return;
        m_isPresentingScreenCapturePermission = true;
        if (m_deps.hidePanelForExternalUI)
            m_deps.hidePanelForExternalUI();
        QPointer<CaptureFeatureCoordinator> self(this);
        showScreenCaptureAccessNeeded(action);
        if (self)
            m_isPresentingScreenCapturePermission = false;
        break;
    }
    }
}

void CaptureFeatureCoordinator::requestScreenCapturePermission(CaptureAction action)
{
    if (m_isPresentingScreenCapturePermission || !m_deps.showAlert)
        return;
    m_isPresentingScreenCapturePermission = true;
    if (m_deps.hidePanelForExternalUI)
        m_deps.hidePanelForExternalUI();
    QPointer<CaptureFeatureCoordinator> self(this);
    const int answer = m_deps.showAlert(ScreenCapturePermission::explanationAlert(action));
    if (!self)
        return;
    if (answer == 0) {
        m_deps.services.preferences->setBool(screenCapturePermissionRequestedKey, true);
        // X11 has nothing to ask: the request is a second look at whether the screen reads.
        if (m_deps.screenPixelsReadable && m_deps.screenPixelsReadable())
            run(action);
    }
    m_isPresentingScreenCapturePermission = false;
}

void CaptureFeatureCoordinator::showScreenCaptureAccessNeeded(CaptureAction action)
{
    if (!m_deps.showAlert)
        return;
    // X11 has no permission page to send the user to: the alert says what to do.
    m_deps.showAlert(ScreenCapturePermission::accessNeededAlert(action));
}

void CaptureFeatureCoordinator::run(CaptureAction action)
{
    if (action == CaptureAction::screenRecording) {
        if (m_recording->state() == ScreenRecording::State::idle && m_deps.hidePanelForExternalUI)
            m_deps.hidePanelForExternalUI();
        m_recording->toggle();
        return;
    }
    if (m_deps.waylandSession && !m_waylandNoticeShown && m_deps.showAlert) {
        m_waylandNoticeShown = true;
        QPointer<CaptureFeatureCoordinator> self(this);
        m_deps.showAlert(ScreenCapturePermission::waylandNotice());
        if (!self)
            return;
    }
    const bool panelWasOpen = m_deps.hidePanelForExternalUI && m_deps.hidePanelForExternalUI();
    QTimer::singleShot(panelWasOpen ? hiddenPanelDelayMs : 0, this, [this, action] { startCapture(action); });
}

void CaptureFeatureCoordinator::startCapture(CaptureAction action)
{
    LatestCaptureGeneration &generation = m_screenshot->captureGeneration();
    switch (action) {
    case CaptureAction::areaScreenshot:
        m_screenshot->startAreaCapture(++generation.next);
        break;
    case CaptureAction::fullScreenScreenshot:
        m_screenshot->startFullScreenCapture(++generation.next);
        break;
    case CaptureAction::ocrArea:
        m_ocr->start();
        break;
    case CaptureAction::screenRecording:
        break;
    }
}

void CaptureFeatureCoordinator::recorderStateChanged(ScreenRecording::State state, const QDateTime &startedAt)
{
    if (state == ScreenRecording::State::recording)
        showRecordingIndicator(startedAt);
    else
        clearRecordingIndicator();
}

void CaptureFeatureCoordinator::showRecordingIndicator(const QDateTime &startedAt)
{
    if (m_deps.showRecordingImage)
        m_deps.showRecordingImage(true);
    updateRecordingTooltip(startedAt);
    m_recordingElapsedTimer.disconnect(this);
    connect(&m_recordingElapsedTimer, &QTimer::timeout, this, [this, startedAt] { updateRecordingTooltip(startedAt); });
    m_recordingElapsedTimer.start();
}

void CaptureFeatureCoordinator::updateRecordingTooltip(const QDateTime &startedAt)
{
    if (m_deps.setStatusToolTip)
        m_deps.setStatusToolTip(recordingToolTip(startedAt.secsTo(QDateTime::currentDateTimeUtc())));
}

void CaptureFeatureCoordinator::clearRecordingIndicator()
{
    m_recordingElapsedTimer.stop();
    if (m_deps.setStatusToolTip)
        m_deps.setStatusToolTip(defaultStatusToolTip);
    if (m_deps.showRecordingImage)
        m_deps.showRecordingImage(false);
}

// The card, the toast and the capture announcement come with the post-capture overlay; until
// then a capture ends with the stored clip and what the service put on the clipboard.
void CaptureFeatureCoordinator::screenshotCaptured(const ClipRef &, ScreenshotClipboardOutput, quint64)
{
}

void CaptureFeatureCoordinator::ocrCaptured(const ClipRef &)
{
}

void CaptureFeatureCoordinator::recordingSaved(const ClipRef &)
{
}

void CaptureFeatureCoordinator::clipboardDidCapture(const ClipRef &)
{
}

} // namespace quillmere
