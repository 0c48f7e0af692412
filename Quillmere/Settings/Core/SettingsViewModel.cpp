#include "Quillmere/Settings/Core/SettingsViewModel.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/CloudSyncStatus.h"

namespace quillmere {
namespace {

const QString kFull = QStringLiteral("full");
const QString kTwoThirds = QStringLiteral("twoThirds");
const QString kHistory = QStringLiteral("history");
const QStringList kOpenBehaviors{kHistory, QStringLiteral("lastUsed"), QStringLiteral("page")};

QString pageIDText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

bool namesPage(const QString &text, const std::vector<PageRef> &pages)
{
    const QUuid id = QUuid::fromString(text);
    if (id.isNull())
        return false;
    return std::any_of(pages.begin(), pages.end(), [&](const PageRef &page) { return page->dedupID() == id; });
}

} // namespace

SettingsViewModel::SettingsViewModel(Dependencies deps, QObject *parent)
    : QObject(parent), m_deps(std::move(deps)), m_privacy(*m_deps.preferences), m_autoPages(*m_deps.preferences)
{
    m_statusRefresh.setInterval(statusRefreshIntervalMs);
    connect(&m_statusRefresh, &QTimer::timeout, this, &SettingsViewModel::refreshSystemStatus);
    connect(m_deps.store, &ClipStore::didSave, this, &SettingsViewModel::storeDidSave);
    connect(m_deps.preferences, &Preferences::changed, this, &SettingsViewModel::preferenceChanged);
    if (m_deps.paneRequests)
        m_deps.paneRequests->center().addObserver(SettingsPaneRequests::notification, this,
                                                  [this](const Notification &) { applyPendingPaneRequest(); });
    m_knownPageIDs = pageIdentifiers();
    refreshSystemStatus();
}

SettingsViewModel::~SettingsViewModel()
{
    if (m_deps.paneRequests)
        m_deps.paneRequests->center().removeObservers(this);
}

// ---- Window ----------------------------------------------------------------------------------

void SettingsViewModel::selectPane(SettingsPane pane)
{
    if (pane == m_selectedPane)
        return;
    m_selectedPane = pane;
    Q_EMIT selectedPaneChanged(pane);
}

void SettingsViewModel::loadSettingsState()
{
    applyPendingPaneRequest();
    refreshSystemStatus();
    normalizePanelOpenSelection();
    loadPrivacyRules();
    loadAutoPageRules();
    Q_EMIT generalChanged();
}

void SettingsViewModel::applyPendingPaneRequest()
{
    if (!m_deps.paneRequests)
        return;
    if (const auto pane = m_deps.paneRequests->take())
        selectPane(*pane);
}

void SettingsViewModel::refreshSystemStatus()
{
    bool changed =
        setIfChanged(m_accessibilityTrusted, m_deps.access.pasteKeysAvailable && m_deps.access.pasteKeysAvailable());
    const auto screen = deriveScreenCaptureState();
    const auto pasteboard = m_deps.access.clipboardAccess ? m_deps.access.clipboardAccess() : std::nullopt;
    changed = changed || screen != m_screenCapture || pasteboard != m_pasteboardAccess;
    m_screenCapture = screen;
    m_pasteboardAccess = pasteboard;
    if (changed)
        Q_EMIT permissionsChanged();
    const LoginItem::Status login = m_deps.loginItem.status();
    if (login != m_loginItemStatus) {
        m_loginItemStatus = login;
        Q_EMIT generalChanged();
    }
}

void SettingsViewModel::setStatusRefreshActive(bool active)
{
    if (active)
        m_statusRefresh.start();
    else
        m_statusRefresh.stop();
}

SyncBadge SettingsViewModel::syncBadge() const
{
    const CloudSyncStatus *status = m_deps.syncStatus;
    if (status && status->hasSyncError())
        return {QStringLiteral("Sync error"), QStringLiteral("exclamationmark.icloud"), PillStyle::warning};
    switch (status ? status->state() : CloudSyncStatus::State::ephemeral) {
    case CloudSyncStatus::State::syncing:
        return {QStringLiteral("On"), QStringLiteral("checkmark.icloud"), PillStyle::success};
    case CloudSyncStatus::State::noAccount:
        return {QStringLiteral("Folder missing"), QStringLiteral("icloud.slash"), PillStyle::warning};
    case CloudSyncStatus::State::localOnly:
        return {QStringLiteral("Off"), QStringLiteral("xmark.icloud"), PillStyle::neutral};
    case CloudSyncStatus::State::ephemeral:
        break;
    }
    return {QStringLiteral("Not saved"), QStringLiteral("exclamationmark.icloud"), PillStyle::danger};
}

void SettingsViewModel::storeDidSave()
{
    const std::vector<QUuid> ids = pageIdentifiers();
    if (ids != m_knownPageIDs) {
        m_knownPageIDs = ids;
        normalizePanelOpenSelection();
        loadAutoPageRules();
        Q_EMIT generalChanged();
    }
    Q_EMIT historyChanged();
}

void SettingsViewModel::preferenceChanged(const QString &key)
{
    if (key == PreferenceKeys::panelOpenBehavior)
        normalizePanelOpenSelection();
    if (key == PreferenceKeys::capturePaused || key == PreferenceKeys::copySoundEnabled
        || key == PreferenceKeys::autoExpireSensitiveClips || key == PreferenceKeys::panelOpenBehavior
        || key == PreferenceKeys::panelOpenPageID || key == PreferenceKeys::panelWidthMode)
        Q_EMIT generalChanged();
    else if (key == PreferenceKeys::screenCapturePermissionRequested)
        refreshSystemStatus();
}

// ---- General ---------------------------------------------------------------------------------

bool SettingsViewModel::isCapturePaused() const
{
    return preferences().get(PreferenceKeys::capturePaused);
}

void SettingsViewModel::setCapturePaused(bool value)
{
    preferences().setBool(PreferenceKeys::capturePaused, value);
}

bool SettingsViewModel::isCopySoundEnabled() const
{
    return preferences().get(PreferenceKeys::copySoundEnabled);
}

void SettingsViewModel::setCopySoundEnabled(bool value)
{
    preferences().setBool(PreferenceKeys::copySoundEnabled, value);
}

bool SettingsViewModel::autoExpireSensitiveClips() const
{
    return preferences().get(PreferenceKeys::autoExpireSensitiveClips);
}

void SettingsViewModel::setAutoExpireSensitiveClips(bool value)
{
    preferences().setBool(PreferenceKeys::autoExpireSensitiveClips, value);
}

QString SettingsViewModel::panelOpenBehaviorRawValue() const
{
    return preferences().string(PreferenceKeys::panelOpenBehavior).value_or(kHistory);
}

QString SettingsViewModel::panelOpenPageID() const
{
    return preferences().string(PreferenceKeys::panelOpenPageID).value_or(QString());
}

QString SettingsViewModel::panelWidthModeRawValue() const
{
    return preferences().string(PreferenceKeys::panelWidthMode).value_or(kFull);
}

QString SettingsViewModel::panelWidthSelection() const
{
    return panelWidthModeRawValue() == kTwoThirds ? kTwoThirds : kFull;
}

QString SettingsViewModel::panelOpenSelection() const
{
    const QString raw = panelOpenBehaviorRawValue();
    return kOpenBehaviors.contains(raw) ? raw : kHistory;
}

QString SettingsViewModel::defaultPageSelection() const
{
    const std::vector<PageRef> all = pages();
    if (all.empty())
        return {};
    const QString stored = panelOpenPageID();
    return namesPage(stored, all) ? stored : pageIDText(all.front()->dedupID());
}

void SettingsViewModel::setPanelWidthMode(const QString &raw)
{
    preferences().setString(PreferenceKeys::panelWidthMode, raw == kTwoThirds ? kTwoThirds : kFull);
}

void SettingsViewModel::setPanelOpenBehavior(const QString &raw)
{
    preferences().setString(PreferenceKeys::panelOpenBehavior, kOpenBehaviors.contains(raw) ? raw : kHistory);
    normalizePanelOpenSelection();
}

void SettingsViewModel::setPanelOpenPageID(const QString &pageID)
{
    preferences().setString(PreferenceKeys::panelOpenPageID, pageID);
}

void SettingsViewModel::normalizePanelOpenSelection()
{
    Preferences &prefs = preferences();
    if (!kOpenBehaviors.contains(panelOpenBehaviorRawValue()))
        prefs.setString(PreferenceKeys::panelOpenBehavior, kHistory);
    const std::vector<PageRef> all = pages();
    if (all.empty()) {
        prefs.setString(PreferenceKeys::panelOpenPageID, QString());
        return;
    }
    const QString stored = panelOpenPageID();
    const bool valid = namesPage(stored, all);
    if (panelOpenBehaviorRawValue() == QLatin1String("page") && !valid)
        prefs.setString(PreferenceKeys::panelOpenPageID, pageIDText(all.front()->dedupID()));
    else if (!stored.isEmpty() && !valid)
        prefs.setString(PreferenceKeys::panelOpenPageID, QString());
}

std::vector<PageRef> SettingsViewModel::pages() const
{
    return store().pages();
}

qint64 SettingsViewModel::historyLimit() const
{
    return store().historyLimit();
}

void SettingsViewModel::setHistoryLimit(qint64 limit)
{
    store().setHistoryLimit(limit);
    ++m_settingsRevision;
    Q_EMIT generalChanged();
}

bool SettingsViewModel::showsPruningNote() const
{
    const SettingsRef settings = store().resolveSettings();
    return !settings || settings->historyLimitValue() == 0;
}

void SettingsViewModel::setLaunchAtLogin(bool value)
{
    const std::optional<QString> error = value ? m_deps.loginItem.registerItem() : m_deps.loginItem.unregisterItem();
    if (error)
        m_launchAtLoginError = (value ? QStringLiteral("Could not enable launch at login: ")
                                      : QStringLiteral("Could not disable launch at login: "))
            + *error;
    else
        m_launchAtLoginError.reset();
    // The switch ends on what the file says, not on what was asked.
    m_loginItemStatus = m_deps.loginItem.status();
    ++m_settingsRevision;
    Q_EMIT generalChanged();
}

// ---- Permissions -----------------------------------------------------------------------------

ScreenCapturePermissionState SettingsViewModel::deriveScreenCaptureState() const
{
    if (m_deps.access.screenPixelsReadable && m_deps.access.screenPixelsReadable())
        return ScreenCapturePermissionState::granted;
    return preferences().get(PreferenceKeys::screenCapturePermissionRequested) ? ScreenCapturePermissionState::denied
                                                                               : ScreenCapturePermissionState::firstUse;
}

bool SettingsViewModel::setIfChanged(bool &field, bool value)
{
    if (field == value)
        return false;
    field = value;
    return true;
}

void SettingsViewModel::requestScreenCaptureAccess()
{
    switch (m_screenCapture) {
    case ScreenCapturePermissionState::granted:
        return;
    case ScreenCapturePermissionState::firstUse:
        // X11 has no prompt to show: asking is checking again.
        preferences().setBool(PreferenceKeys::screenCapturePermissionRequested, true);
        m_screenCapture = deriveScreenCaptureState();
        break;
    case ScreenCapturePermissionState::denied:
        if (!m_deps.access.openScreenCaptureSettings || !m_deps.access.openScreenCaptureSettings())
            m_permissionNote = accessnotes::noScreenCaptureSetting;
        break;
    }
    Q_EMIT permissionsChanged();
}

void SettingsViewModel::requestAccessibilityTrust()
{
    if (!m_deps.access.openAccessibilitySettings || !m_deps.access.openAccessibilitySettings())
        m_permissionNote = accessnotes::noAccessibilitySetting;
    Q_EMIT permissionsChanged();
}

void SettingsViewModel::openClipboardSettings()
{
    if (!m_deps.access.openClipboardSettings || !m_deps.access.openClipboardSettings())
        m_permissionNote = accessnotes::noClipboardSetting;
    Q_EMIT permissionsChanged();
}

// ---- Privacy and Automation ------------------------------------------------------------------

void SettingsViewModel::loadPrivacyRules()
{
    m_privacy.load();
    Q_EMIT privacyRulesChanged();
}

void SettingsViewModel::savePrivacyRules()
{
    m_privacy.save();
    Q_EMIT privacyRulesChanged();
}

void SettingsViewModel::loadAutoPageRules()
{
    m_autoPages.load(pageIdentifiers());
    Q_EMIT autoPageRulesChanged();
}

void SettingsViewModel::saveAutoPageRules()
{
    m_autoPages.save(pageIdentifiers());
    Q_EMIT autoPageRulesChanged();
}

std::vector<QUuid> SettingsViewModel::pageIdentifiers() const
{
    std::vector<QUuid> ids;
    for (const PageRef &page : pages())
        ids.push_back(page->dedupID());
    return ids;
}

// ---- Confirmation and alerts -------------------------------------------------------------------

void SettingsViewModel::askToClearHistory()
{
    m_showingClearConfirmation = true;
    Q_EMIT alertsChanged();
}

void SettingsViewModel::answerClearConfirmation(bool clear)
{
    m_showingClearConfirmation = false;
    if (clear)
        store().clearHistory();
    Q_EMIT alertsChanged();
}

void SettingsViewModel::showBackupResult(const QString &message)
{
    m_backupResultMessage = message;
    m_showingBackupResult = true;
    Q_EMIT alertsChanged();
}

void SettingsViewModel::dismissBackupResult()
{
    m_showingBackupResult = false;
    Q_EMIT alertsChanged();
}

void SettingsViewModel::showBackupError(const QString &message)
{
    m_backupErrorMessage = message;
    m_showingBackupError = true;
    Q_EMIT alertsChanged();
}

void SettingsViewModel::dismissBackupError()
{
    m_showingBackupError = false;
    Q_EMIT alertsChanged();
}

// ---- Progress and About ----------------------------------------------------------------------

std::vector<ClipAchievement> SettingsViewModel::achievements() const
{
    return ClipAchievement::catalog(store().context().allClips(), pages(), store().now());
}

QString SettingsViewModel::versionText() const
{
    return versionText(m_deps.shortVersion, m_deps.buildVersion);
}

QString SettingsViewModel::versionText(const std::optional<QString> &shortVersion, const std::optional<QString> &build)
{
    return shortVersion.value_or(QStringLiteral("1.0")) + QStringLiteral(" (") + build.value_or(QStringLiteral("1"))
        + QLatin1Char(')');
}

} // namespace quillmere
