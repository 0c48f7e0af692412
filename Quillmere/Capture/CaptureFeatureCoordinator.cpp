#include "Quillmere/Capture/CaptureFeatureCoordinator.h"

#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Capture/OCRAreaCaptureService.h"
#include "Quillmere/Capture/Upload/ShareLinkDelivery.h"
#include "Quillmere/Clipboard/PasteboardWriter.h"
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
    if (!services.showFailure && m_deps.showAlert)
        services.showFailure = [showAlert = m_deps.showAlert](const QString &title, const QString &reason) {
            showAlert({CaptureAlert::Style::warning, title, reason, {QStringLiteral("OK")}});
        };
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

    if (m_deps.services.pasteboard && m_deps.services.center) {
        m_writer = std::make_unique<PasteboardWriter>(*m_deps.services.pasteboard, *m_deps.services.center);
        m_linkDelivery = std::make_unique<ShareLinkDelivery>(*m_writer);
    }

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
        Notices::requestAreaCapture, this, [this](const Notification &) { perform(CaptureAction::areaScreenshot); });
    m_captureShortcutsObserver = center->addObserver(Notices::captureShortcutsChanged, this,
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
        m_deps.services.preferences->setBool(PreferenceKeys::screenCapturePermissionRequested, true);
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
void CaptureFeatureCoordinator::screenshotCaptured(const ClipRef &clip, ScreenshotClipboardOutput output,
                                                   quint64 generation)
{
    const bool shareLink = output == ScreenshotClipboardOutput::shareLink;
    std::shared_ptr<CaptureOverlayUploadProgress> progress;
    if (m_deps.presenter) {
        progress = m_deps.presenter->showCard(
            clip, shareLink ? CaptureOverlayUploadProgress::Kind::uploading : CaptureOverlayUploadProgress::Kind::idle);
        m_deps.presenter->showToast(clip);
    }
    if (m_deps.services.center)
        m_deps.services.center->post(Notices::clipCaptured);
    if (shareLink) {
        if (!progress)
            progress = std::make_shared<CaptureOverlayUploadProgress>(
                CaptureOverlayUploadProgress::State{CaptureOverlayUploadProgress::Kind::uploading, {}});
        uploadScreenshotAutomatically(clip, generation, progress);
    }
}

void CaptureFeatureCoordinator::uploadScreenshotAutomatically(
    const ClipRef &clip, quint64 generation, const std::shared_ptr<CaptureOverlayUploadProgress> &progress)
{
    // Taken now: whatever the user copies from here on, or a newer capture, keeps this outcome off
    // the clipboard.
    std::optional<ShareLinkDelivery::Claim> claim;
    if (m_linkDelivery)
        claim = m_linkDelivery->claim();
    QPointer<CaptureFeatureCoordinator> self(this);
    m_deps.uploads.upload(this, *clip, [self, clip, generation, progress, claim](UploadResult result) {
        const bool current =
            self && claim && self->m_screenshot->captureGeneration().current == generation && self->m_linkDelivery;
        if (const QUrl *link = std::get_if<QUrl>(&result)) {
            if (current)
                self->m_linkDelivery->deliverLink(*claim, *link);
            progress->setState({CaptureOverlayUploadProgress::Kind::done, {}});
            return;
        }
        const UploadError &error = std::get<UploadError>(result);
        const QString message = error.message();
        const bool copiedBack = current && self->m_linkDelivery->deliverFallback(*claim, *clip);
        progress->setState(CaptureOverlayUploadProgress::State::failed(
            copiedBack ? message + QStringLiteral(" — screenshot copied") : message, error.reason()));
    });
}

void CaptureFeatureCoordinator::ocrCaptured(const ClipRef &clip)
{
    if (m_deps.presenter)
        m_deps.presenter->showToast(clip);
    if (m_deps.services.center)
        m_deps.services.center->post(Notices::clipCaptured);
}

void CaptureFeatureCoordinator::recordingSaved(const ClipRef &clip)
{
    if (!m_deps.presenter)
        return;
    m_deps.presenter->showCard(clip, CaptureOverlayUploadProgress::Kind::idle);
    m_deps.presenter->showToast(clip);
}

void CaptureFeatureCoordinator::clipboardDidCapture(const ClipRef &clip)
{
    if (m_deps.presenter && clip && clipKindFromRaw(clip->kindRawValue()) == ClipKind::image)
        m_deps.presenter->showToast(clip);
}

} // namespace quillmere
