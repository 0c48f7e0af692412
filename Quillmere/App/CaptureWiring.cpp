#include "Quillmere/App/AppDelegate.h"

#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/App/HotKeyCenter.h"
#include "Quillmere/App/StatusItem.h"
#include "Quillmere/Capture/CaptureFeatureCoordinator.h"
#include "Quillmere/Capture/Overlay/Widgets/CaptureOverlayPresenter.h"
#include "Quillmere/Capture/Upload/ManagedCloudClient.h"
#include "Quillmere/Capture/Upload/ShareUploadConfig.h"
#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Platform/SecretStore.h"
#include "Quillmere/Platform/Widgets/DialogTitle.h"
#include "Quillmere/Platform/X11Desktop.h"
#include "Quillmere/Recording/Widgets/ScreenRecordingService.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>

namespace quillmere {
namespace {

int showCaptureAlert(const CaptureAlert &alert)
{
    QMessageBox box(alert.style == CaptureAlert::Style::warning ? QMessageBox::Warning : QMessageBox::Information,
                    QStringLiteral("Brindlewax"), alert.messageText);
    box.setInformativeText(alert.informativeText);
    QList<QAbstractButton *> buttons;
    for (qsizetype i = 0; i < alert.buttons.size(); ++i)
        buttons << box.addButton(alert.buttons[i], i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
    if (!buttons.isEmpty())
        box.setDefaultButton(qobject_cast<QPushButton *>(buttons.front()));
    DialogTitle::fit(&box);
    box.exec();
    const qsizetype index = buttons.indexOf(box.clickedButton());
    return index < 0 ? int(alert.buttons.size()) - 1 : int(index);
}

QIcon recordingIcon()
{
    QPixmap pixmap(36, 36);
    pixmap.setDevicePixelRatio(2);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0xe5, 0x39, 0x35), 1.6));
    painter.drawEllipse(QRectF(1.5, 1.5, 15, 15));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xe5, 0x39, 0x35));
    painter.drawEllipse(QRectF(5, 5, 8, 8));
    return QIcon(pixmap);
}

// What the card, the toast and the uploads after a capture share for the life of the program.
struct CaptureAnnouncements {
    QNetworkAccessManager network;
    SystemSecretStore secrets;
    // Declared after the store it reads, so it ends its calls first.
    AsyncSecretStore keyring{secrets};
    std::unique_ptr<PasteboardWriter> writer;
    std::unique_ptr<CaptureOverlayPresenter> presenter;
};

// The shell's view of the capture coordinator.
class CaptureCoordinatorAdapter : public CaptureCoordinating {
public:
    CaptureCoordinatorAdapter(std::unique_ptr<CaptureAnnouncements> announcements,
                              std::unique_ptr<CaptureFeatureCoordinator> coordinator)
        : m_announcements(std::move(announcements)), m_coordinator(std::move(coordinator))
    {
    }
    void start() override { m_coordinator->start(); }
    void stopObservers() override { m_coordinator->stop(); }
    void perform(CaptureAction action) override { m_coordinator->perform(action); }
    void clipboardDidCapture(const ClipRef &clip) override { m_coordinator->clipboardDidCapture(clip); }
    bool isRecording() const override { return m_coordinator->isRecording(); }
    bool isRecordingAvailable() const override { return m_coordinator->isRecordingAvailable(); }
    bool isCaptureHotKeyRefused(CaptureAction action) const override { return m_coordinator->isHotKeyRefused(action); }

private:
    // Declared first, so the coordinator (which holds the presenter) goes before it.
    std::unique_ptr<CaptureAnnouncements> m_announcements;
    std::unique_ptr<CaptureFeatureCoordinator> m_coordinator;
};

std::unique_ptr<CaptureAnnouncements> makeAnnouncements(ClipStore &store, Pasteboard *pasteboard,
                                                        NotificationCenter &center, Preferences &prefs,
                                                        CaptureUploadContext &uploads)
{
    auto announcements = std::make_unique<CaptureAnnouncements>();
    CaptureAnnouncements *shared = announcements.get();
    uploads.preferences = &prefs;
    uploads.environment = [shared, &prefs] {
        UploadEnvironment env;
        env.network = &shared->network;
        env.preferences = &prefs;
        return env;
    };
    uploads.readSecret = shared->keyring.fetcher(uploadSecretItem);
    uploads.readManagedToken = shared->keyring.fetcher(managedCloudTokenItem);
    CaptureOverlayController::Environment environment;
    if (pasteboard)
        announcements->writer = std::make_unique<PasteboardWriter>(*pasteboard, center);
    environment.actions.store = &store;
    environment.actions.writer = announcements->writer.get();
    environment.actions.uploads = uploads;
    environment.actions.open = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    environment.preferences = &prefs;
    announcements->presenter = std::make_unique<CaptureOverlayPresenter>(std::move(environment));
    return announcements;
}

} // namespace

void AppDelegate::buildCaptureCoordinator()
{
    if (m_platform.makeCaptureCoordinator) {
        m_captureCoordinator = m_platform.makeCaptureCoordinator(*this);
        return;
    }
    CaptureFeatureCoordinator::Dependencies deps;
    deps.services.store = &m_environment.store();
    deps.services.pasteboard = m_platform.pasteboard.get();
    deps.services.center = &m_center;
    deps.services.preferences = &m_prefs;
    deps.services.beep = [] { QApplication::beep(); };
    if (!m_platform.screenshotTool.isEmpty())
        deps.toolOptions.program = m_platform.screenshotTool;
    if (HotKeyCenter *hotKeys = m_platform.hotKeys.get()) {
        deps.registerHotKey = [hotKeys](quint32 keyCode, quint32 modifiers, std::function<void()> handler) {
            return hotKeys->registerHotKey(keyCode, modifiers, std::move(handler));
        };
        deps.unregisterHotKey = [hotKeys](quint32 id) { hotKeys->unregisterHotKey(id); };
        deps.lastHotKeyRefused = [hotKeys] { return hotKeys->lastFailure() == GrabFailure::refused; };
    }
    QPointer<AppDelegate> self(this);
    deps.revealPanel = [self] {
        if (self && self->m_panel)
            self->m_panel->show();
    };
    deps.hidePanelForExternalUI = [self] {
        if (!self || !self->m_panel || !(self->m_panel->isVisible() || self->m_panel->isHiding()))
            return false;
        self->m_panel->hideImmediately();
        return true;
    };
    deps.screenPixelsReadable = &X11Desktop::screenPixelsReadable;
    deps.showAlert = &showCaptureAlert;
    deps.waylandSession = qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    deps.showRecordingImage = [self](bool recording) {
        if (!self || !self->m_statusItem || !self->m_statusItem->trayIcon())
            return;
        if (recording)
            self->m_statusItem->trayIcon()->setIcon(recordingIcon());
        else
            self->m_statusItem->showCopiedIcon(false);
    };
    deps.setStatusToolTip = [self](const QString &tip) {
        if (self && self->m_statusItem && self->m_statusItem->trayIcon())
            self->m_statusItem->trayIcon()->setToolTip(tip);
    };
    if (m_platform.pasteboard)
        deps.recording = std::make_unique<ScreenRecordingService>(ScreenRecordingService::Dependencies{
            &m_environment.store(), m_platform.pasteboard.get(), &m_center, &m_prefs, [] { QApplication::beep(); }});
    auto announcements =
        makeAnnouncements(m_environment.store(), m_platform.pasteboard.get(), m_center, m_prefs, deps.uploads);
    deps.presenter = announcements->presenter.get();
    m_captureCoordinator = std::make_unique<CaptureCoordinatorAdapter>(
        std::move(announcements), std::make_unique<CaptureFeatureCoordinator>(std::move(deps)));
}

} // namespace quillmere
