#pragma once

// The whole program's panel on a real X display with a window manager, driven through xdotool.
#include "Quillmere/App/AppDelegate.h"
#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Panel/Window/HistoryCardArea.h"
#include "Quillmere/Panel/Window/HistoryContentView.h"
#include "Quillmere/Panel/Window/HistoryPanel.h"
#include "Quillmere/Panel/Window/PanelController.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/SoundPlayer.h"
#include "Quillmere/Platform/WindowActivator.h"
#include "Support/DisplayTestSupport.h"
#include "Support/TestSupport.h"

#include <QPlainTextEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <gtest/gtest.h>

namespace quillmere::test {

inline constexpr int patience = 10000;

struct QuietSounds : SoundPlayer {
    void play(const QString &) override {}
};

// A window of this process standing in for the application the user came from.
struct TargetWindow {
    QWidget window;
    QPlainTextEdit *field = new QPlainTextEdit(&window);

    explicit TargetWindow(const QString &title)
    {
        window.setWindowTitle(title);
        (new QVBoxLayout(&window))->addWidget(field);
        window.setGeometry(300, 500, 420, 160);
        window.show();
        field->setFocus();
    }
    quint32 id() { return quint32(window.winId()); }
};

inline bool xdotool(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

} // namespace quillmere::test

class PanelX11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(quillmere::test::windowManagerRunning()) << "needs an X display with a window manager";
        ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) << "needs xdotool";
    }
    void TearDown() override
    {
        if (delegate) {
            controller().hideImmediately();
            delegate->applicationWillTerminate();
        }
    }

    void launch(const QStringList &extra = {}, bool hotKeys = true)
    {
        using namespace quillmere;
        AppEnvironment::Options options;
        options.arguments = QStringList{QStringLiteral("quillmere"), QStringLiteral("--demo-data")} + extra;
        options.store.preferences = prefs.prefs.get();
        options.store.notificationCenter = &center;
        environment = std::make_unique<AppEnvironment>(options);
        AppDelegate::Platform platform;
        platform.sounds = std::make_unique<test::QuietSounds>();
        platform.watchDrops = false;
        platform.installStatusItem = false;
        platform.registerHotKeys = hotKeys;
        delegate = std::make_unique<AppDelegate>(*environment, *prefs, center, std::move(platform));
        delegate->applicationDidFinishLaunching(options.arguments);
        ASSERT_TRUE(delegate->panelController());
        if (hotKeys) {
            ASSERT_TRUE(delegate->panelHotKeyID()) << "Shift+Super+V is held by another client";
        }
    }
    quillmere::PanelController &controller() { return *delegate->panelController(); }
    quillmere::HistoryViewModel &model() { return controller().model(); }
    quillmere::ClipStore &store() { return environment->store(); }

    void activate(quint32 window)
    {
        windows.activate(quillmere::WindowTarget{window, 0});
        ASSERT_TRUE(QTest::qWaitFor([&] { return isActive(window); }, quillmere::test::patience));
    }
    void makeActive(quillmere::test::TargetWindow &w)
    {
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w.window));
        activate(w.id());
        ASSERT_TRUE(QTest::qWaitFor([&] { return w.field->hasFocus(); }, quillmere::test::patience));
    }
    bool isActive(quint32 window)
    {
        const auto active = windows.activeWindow();
        return active && active->window == window;
    }
    // Shown, slid in and holding the keyboard.
    bool panelIsOpen() { return controller().isShown() && controller().panel().hasKeyFocus(); }
    void openWithHotKey()
    {
        ASSERT_TRUE(quillmere::test::xdotool({QStringLiteral("key"), QStringLiteral("shift+super+v")}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return panelIsOpen(); }, quillmere::test::patience));
    }

    quillmere::test::TempPreferences prefs;
    quillmere::NotificationCenter center;
    quillmere::X11WindowActivator windows;
    std::unique_ptr<quillmere::AppEnvironment> environment;
    std::unique_ptr<quillmere::AppDelegate> delegate;
};
