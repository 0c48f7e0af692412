#include "Quillmere/Onboarding/OnboardingContent.h"

#include "Quillmere/Onboarding/OnboardingFlow.h"
#include "Quillmere/Onboarding/OnboardingPalette.h"
#include "Quillmere/Settings/Core/ShortcutRecording.h"
#include "Quillmere/Sync/CloudSyncStatus.h"

namespace quillmere::OnboardingContent {

namespace P = OnboardingPalette;

namespace {

const QString kGranted = QStringLiteral("Granted");
const QString kGrantedSymbol = QStringLiteral("checkmark.circle.fill");
const QString kCheckAgain = QStringLiteral("Check Again");

Accessory pill(const QString &title, const QString &symbol, const QColor &colour)
{
    return {Accessory::Kind::pill, title, symbol, colour};
}

Accessory button(const QString &title)
{
    return {Accessory::Kind::button, title, {}, {}};
}

} // namespace

QString panelHotKeyText()
{
    return ShortcutRecording::displayText(CaptureShortcut{9, CarbonModifier::shift | CarbonModifier::command}, false);
}

Header header(OnboardingStep step)
{
    switch (step) {
    case OnboardingStep::privacy:
        return {QStringLiteral("Clipboard capture"), QStringLiteral("Choose when Brindlewax starts saving history"),
                QStringLiteral("Brindlewax records clipboard changes on this computer. If sync is set up, "
                               "those clips also go to your sync folder.")};
    case OnboardingStep::permissions:
        return {QStringLiteral("Permissions"), QStringLiteral("Allow the Brindlewax actions you want to use"),
                QStringLiteral("Screen capture enables screenshots, area OCR, and recordings. Automatic paste is "
                               "separate and pastes the chosen clip for you.")};
    case OnboardingStep::sync:
        return {
            QStringLiteral("Sync"), QStringLiteral("Check where your history can sync"),
            QStringLiteral("Sync is optional. Brindlewax keeps working locally if the sync folder is unavailable.")};
    case OnboardingStep::hotkey:
        return {QStringLiteral("Hotkey"), QStringLiteral("Pick what %1 opens first").arg(panelHotKeyText()),
                QStringLiteral("Clipboard History is the default. You can switch this later in Settings.")};
    case OnboardingStep::ready:
        break;
    }
    return {QStringLiteral("Ready"), QStringLiteral("Brindlewax is ready to live in the tray"),
            QStringLiteral("Use the tray icon or %1 whenever you need an older clip.").arg(panelHotKeyText())};
}

Row captureRow(const OnboardingFlow &flow)
{
    if (flow.isCapturePaused())
        return {QStringLiteral("Clipboard Capture"),
                QStringLiteral("Paused. Nothing new is saved until you turn this on."),
                QStringLiteral("pause.circle"),
                P::orange(),
                {}};
    return {QStringLiteral("Clipboard Capture"),
            QStringLiteral("On. New copied items are saved into Clipboard History."),
            QStringLiteral("record.circle"),
            P::green(),
            {}};
}

Row privateByDefaultRow()
{
    return {QStringLiteral("Private by default"),
            QStringLiteral("Clipboard history stays on this computer and, when enabled, in your sync folder. "
                           "Screenshots leave it only when you upload them to storage you set up."),
            QStringLiteral("lock.shield"),
            P::blue(),
            {}};
}

Row screenCaptureRow(const OnboardingFlow &flow)
{
    const QString title = QStringLiteral("Screen capture");
    switch (flow.screenCapturePermissionState()) {
    case ScreenCapturePermissionState::granted:
        return {title, QStringLiteral("Granted. Screenshots, area OCR, and recordings are available."),
                QStringLiteral("checkmark.shield.fill"), P::green(), pill(kGranted, kGrantedSymbol, P::green())};
    case ScreenCapturePermissionState::firstUse:
        return {title, QStringLiteral("Needed for screenshots, area OCR, and screen recordings."),
                QStringLiteral("camera.viewfinder"), P::orange(), button(QStringLiteral("Grant"))};
    case ScreenCapturePermissionState::denied:
        break;
    }
    if (flow.hasScreenCaptureSettings())
        return {title, QStringLiteral("Not granted. Allow screen recording for Brindlewax in the desktop's settings."),
                QStringLiteral("camera.viewfinder"), P::orange(), button(QStringLiteral("Open Settings"))};
    // X11 has no page for it: the X server itself refuses this connection the screen.
    return {title,
            QStringLiteral("Not granted. The X server does not let Brindlewax read the screen. Start Brindlewax "
                           "from within your own desktop session, then check again."),
            QStringLiteral("camera.viewfinder"), P::orange(), button(kCheckAgain)};
}

Row accessibilityRow(const OnboardingFlow &flow)
{
    const QString title = QStringLiteral("Automatic paste");
    if (flow.isAccessibilityTrusted())
        return {title, QStringLiteral("Granted. Return can paste the selected clip into the active app."),
                QStringLiteral("checkmark.shield.fill"), P::green(), pill(kGranted, kGrantedSymbol, P::green())};
    if (flow.hasAccessibilitySettings())
        return {title, QStringLiteral("Needed for automatic paste into other apps."),
                QStringLiteral("hand.raised.fill"), P::orange(), button(QStringLiteral("Grant"))};
    // Nothing to grant on X11: paste-back needs the display's XTest extension.
    return {title,
            QStringLiteral("Not available. This display has no XTest extension, so clips cannot be pasted for you. "
                           "Press Ctrl+V after choosing a clip, or use a display with XTest, then check again."),
            QStringLiteral("hand.raised.fill"), P::orange(), button(kCheckAgain)};
}

Row purposeRow()
{
    return {QStringLiteral("Private and purpose-specific"),
            QStringLiteral("Brindlewax captures only after you start an action, and text recognition runs locally on "
                           "this computer. Automatic paste is not used for screenshots or OCR."),
            QStringLiteral("lock.shield"),
            P::blue(),
            {}};
}

Row cloudRow(const OnboardingFlow &flow)
{
    const CloudSyncStatus &status = flow.syncStatus();
    QString symbol = QStringLiteral("exclamationmark.icloud");
    QColor tint = P::red();
    QString pillTitle = QStringLiteral("Not saved");
    if (status.hasSyncError()) {
        tint = P::orange();
        pillTitle = QStringLiteral("Error");
    } else {
        switch (status.state()) {
        case CloudSyncStatus::State::syncing:
            symbol = QStringLiteral("checkmark.icloud");
            tint = P::green();
            pillTitle = QStringLiteral("On");
            break;
        case CloudSyncStatus::State::noAccount:
            // The sync folder is chosen but cannot be reached or written.
            symbol = QStringLiteral("icloud.slash");
            tint = P::orange();
            pillTitle = QStringLiteral("No folder");
            break;
        case CloudSyncStatus::State::localOnly:
            symbol = QStringLiteral("xmark.icloud");
            tint = P::secondaryText();
            pillTitle = QStringLiteral("Off");
            break;
        case CloudSyncStatus::State::ephemeral:
            break;
        }
    }
    return {QStringLiteral("Sync"), status.statusText(), symbol, tint, pill(pillTitle, symbol, tint)};
}

Row freshnessRow(const OnboardingFlow &flow)
{
    return {QStringLiteral("Freshness"), flow.syncStatus().lastCheckedText(),
            QStringLiteral("arrow.triangle.2.circlepath"), P::blue(), button(QStringLiteral("Refresh"))};
}

Row openHotkeyRow()
{
    return {QStringLiteral("Open hotkey to"),
            QStringLiteral("Choose the first view shown when the panel opens."),
            QStringLiteral("rectangle.stack"),
            P::blue(),
            {}};
}

Row coreLoopRow()
{
    return {QStringLiteral("Core loop"),
            QStringLiteral("Copy normally. Press %1 anywhere. Press Return on a clip to paste it back.")
                .arg(panelHotKeyText()),
            QStringLiteral("keyboard"),
            P::green(),
            {}};
}

std::vector<std::pair<QString, QString>> firstViewChoices()
{
    return {{QStringLiteral("Clipboard History"), QStringLiteral("history")},
            {QStringLiteral("Last Used"), QStringLiteral("lastUsed")},
            {QStringLiteral("Page"), QStringLiteral("page")}};
}

std::vector<SummaryLine> summary(const OnboardingFlow &flow)
{
    const bool paused = flow.isCapturePaused();
    const bool screen = flow.screenCapturePermissionState() == ScreenCapturePermissionState::granted;
    const bool paste = flow.isAccessibilityTrusted();
    QString firstView;
    for (const auto &[title, value] : firstViewChoices())
        if (value == flow.panelOpenSelection())
            firstView = title;
    const QString notGranted = QStringLiteral("Not granted");
    return {
        {QStringLiteral("Capture"), paused ? QStringLiteral("Paused") : QStringLiteral("On"),
         paused ? QStringLiteral("pause.circle") : QStringLiteral("record.circle"), paused ? P::orange() : P::green()},
        {QStringLiteral("Screen capture"), screen ? kGranted : notGranted,
         screen ? QStringLiteral("checkmark.shield.fill") : QStringLiteral("camera.viewfinder"),
         screen ? P::green() : P::orange()},
        {QStringLiteral("Automatic paste"), paste ? kGranted : notGranted,
         paste ? QStringLiteral("checkmark.shield.fill") : QStringLiteral("hand.raised.fill"),
         paste ? P::green() : P::orange()},
        {QStringLiteral("First view"), firstView, QStringLiteral("rectangle.stack"), P::blue()},
    };
}

} // namespace quillmere::OnboardingContent
