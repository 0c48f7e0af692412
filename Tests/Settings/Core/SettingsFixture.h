#pragma once

// A settings view-model over a store and preferences of its own, with the desktop's answers
// under the test's control.

#include "Quillmere/Settings/Core/SettingsViewModel.h"
#include "Support/PagesFixture.h"

#include <QDir>
#include <memory>

namespace quillmere::test {

struct SettingsFixture : StoreFixture {
    SettingsFixture() : StoreFixture(true) { rebuild(); }

    void rebuild()
    {
        model.reset();
        SettingsViewModel::Dependencies deps;
        deps.preferences = prefs.prefs.get();
        deps.store = store.get();
        deps.paneRequests = &requests;
        deps.loginItem = LoginItem(autostartDir(), QStringLiteral("/opt/Brindle wax/quillmere"));
        deps.access.screenPixelsReadable = [this] { return screenReadable; };
        deps.access.pasteKeysAvailable = [this] { return xtest; };
        deps.access.clipboardAccess = [] { return std::optional(PasteboardAccessState::granted); };
        deps.access.openScreenCaptureSettings = [] { return false; };
        deps.access.openAccessibilitySettings = [] { return false; };
        deps.access.openClipboardSettings = [] { return false; };
        deps.shortVersion = QStringLiteral("0.1.0");
        model = std::make_unique<SettingsViewModel>(std::move(deps));
    }

    QString autostartDir() const { return dir.filePath(QStringLiteral("autostart")); }
    QString prefsPath() const { return prefs.dir.filePath(QStringLiteral("prefs.json")); }

    // From now on the preferences file cannot be replaced, even by root.
    void breakPreferenceWrites()
    {
        prefs->sync();
        QFile::remove(prefsPath());
        QDir().mkdir(prefsPath());
    }

    bool screenReadable = true;
    bool xtest = true;
    SettingsPaneRequests requests{center};
    std::unique_ptr<SettingsViewModel> model;
};

} // namespace quillmere::test
