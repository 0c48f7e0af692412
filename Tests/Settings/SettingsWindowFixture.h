#pragma once

// The settings window over a store, preferences and autostart folder of its own, with the
// desktop's answers under the test's control.

#include "Quillmere/App/HotKeyCenter.h"
#include "Quillmere/Platform/SecretStore.h"
#include "Quillmere/Settings/SettingsKit.h"
#include "Quillmere/Settings/SettingsWindow.h"
#include "Quillmere/Sync/SyncHealthStore.h"
#include "Support/DisplayTestSupport.h"
#include "Support/HeldSecretStore.h"
#include "Support/MemoryPasteboard.h"
#include "Support/PagesFixture.h"

#include <QDir>
#include <QTest>
#include <memory>

namespace quillmere::test {

struct SettingsWindowFixture : StoreFixture {
    SettingsWindowFixture() : StoreFixture(true) {}

    SettingsWindow &open()
    {
        SettingsWindow::Dependencies deps;
        deps.preferences = prefs.prefs.get();
        deps.store = store.get();
        deps.paneRequests = &requests;
        deps.keysyms = &HotKeyCenter::keysymForKeyCode;
        deps.shortVersion = QStringLiteral("0.1.0");
        deps.loginItem = LoginItem(autostartDir(), QStringLiteral("/usr/bin/quillmere"));
        SystemAccess access;
        access.screenPixelsReadable = [this] { return screenReadable; };
        access.pasteKeysAvailable = [this] { return xtest; };
        access.clipboardAccess = [] { return std::optional(PasteboardAccessState::granted); };
        access.openScreenCaptureSettings = [] { return false; };
        access.openAccessibilitySettings = [] { return false; };
        access.openClipboardSettings = [] { return false; };
        deps.access = access;
        deps.dataInteraction = dataInteraction;
        deps.syncStatus = syncStatus;
        deps.sync = sync;
        if (!deps.sync.health)
            deps.sync.health = &syncHealth;
        deps.center = &center;
        deps.pasteboard = &pasteboard;
        deps.secrets = &secrets;
        deps.isCaptureShortcutRefused = isCaptureShortcutRefused;
        deps.suspendHotKeys = suspendHotKeys;
        deps.cloudInfo = cloudInfo;
        deps.cloudOverLoopbackHttp = true;
        window = std::make_unique<SettingsWindow>(std::move(deps));
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        return *window;
    }

    void select(SettingsPane pane)
    {
        SidebarItemButton *button = window->sidebarButton(pane);
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(button->width() - 8, button->height() / 2));
        QCoreApplication::processEvents();
    }

    template <typename Pane> Pane *pane() const { return qobject_cast<Pane *>(window->detail()); }

    // Kept beside the other test artefacts, to be looked at.
    void screenshot(const QString &name)
    {
        QTest::qWait(50); // layouts settle over a few posted requests
        EXPECT_TRUE(
            window->grab().save(test::artifactPath(QStringLiteral("settings-") + name + QStringLiteral(".png"))));
    }

    QString autostartDir() const { return dir.filePath(QStringLiteral("autostart")); }

    bool screenReadable = true;
    bool xtest = true;
    std::optional<DataActions::Interaction> dataInteraction;
    CloudSyncStatus *syncStatus = nullptr;
    SyncActions::Dependencies sync;
    SyncHealthStore syncHealth{*prefs.prefs, clock.clock()};
    // The Capture pane's keyring, clipboard and managed service.
    HeldSecretStore secrets;
    MemoryPasteboard pasteboard;
    std::function<bool(CaptureAction)> isCaptureShortcutRefused;
    ShortcutRecording::HotKeySuspension suspendHotKeys;
    QVariantMap cloudInfo;
    SettingsPaneRequests requests{center};
    std::unique_ptr<SettingsWindow> window;
};

} // namespace quillmere::test
