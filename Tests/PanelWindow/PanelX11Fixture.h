#pragma once

// The whole program's panel on a real X display with a window manager, driven through xdotool.
#include "Quillmere/App/AppDelegate.h"
#include "Quillmere/App/AppEnvironment.h"
#include "Quillmere/App/StatusGlyph.h"
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

// A window of another process (see Tests/Helpers): a text field or a drag source.
class HelperWindow {
public:
    explicit HelperWindow(const QStringList &arguments)
    {
        m_process.setProgram(QStringLiteral(QUILLMERE_TEST_WINDOW));
        m_process.setArguments(arguments);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { read(); });
        m_process.start();
    }
    ~HelperWindow()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    // Its window, once it said it is ready.
    quint32 waitUntilReady(int timeoutMs)
    {
        (void)QTest::qWaitFor([&] { return m_window != 0 || m_process.state() == QProcess::NotRunning; }, timeoutMs);
        return m_window;
    }
    QString text() const { return m_text; }
    QStringList lines() const { return m_lines; }

private:
    void read()
    {
        while (m_process.canReadLine()) {
            const QString line = QString::fromUtf8(m_process.readLine()).chopped(1);
            m_lines << line;
            if (line.startsWith(QLatin1String("ready ")))
                m_window = line.mid(6).toUInt();
            else if (line.startsWith(QLatin1String("text ")))
                m_text = line.section(QLatin1Char(' '), 2);
        }
    }
    QProcess m_process;
    quint32 m_window = 0;
    QString m_text;
    QStringList m_lines;
};

// The program keeps running meanwhile, as it would while a person types.
inline bool xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForStarted(patience))
        return false;
    (void)QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 60000);
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace quillmere::test

class PanelX11 : public ::testing::Test {
protected:
    using TargetWindow = quillmere::test::TargetWindow;
    static constexpr int patience = quillmere::test::patience;
    static bool xdotool(const QStringList &arguments) { return quillmere::test::xdotool(arguments); }

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

    void launch(const QStringList &extra = {}, bool hotKeys = true, bool tray = false)
    {
        using namespace quillmere;
        AppEnvironment::Options options;
        options.arguments = QStringList{QStringLiteral("quillmere"), QStringLiteral("--demo-data")} + extra;
        options.store.preferences = prefs.prefs.get();
        options.store.notificationCenter = &center;
        environment = std::make_unique<AppEnvironment>(options);
        AppDelegate::Platform platform;
        platform.glyphs = std::make_shared<StatusGlyphs>();
        platform.sounds = std::make_unique<test::QuietSounds>();
        platform.watchDrops = false;
        platform.installStatusItem = tray;
        platform.registerHotKeys = hotKeys;
        platform.windows = std::move(windowManager);
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
    bool isActive(quillmere::test::TargetWindow &w) { return isActive(w.id()); }
    // Shown, slid in and holding the keyboard.
    bool panelIsOpen() { return controller().isShown() && controller().panel().hasKeyFocus(); }
    void openWithHotKey()
    {
        ASSERT_TRUE(quillmere::test::xdotool({QStringLiteral("key"), QStringLiteral("shift+super+v")}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return panelIsOpen(); }, quillmere::test::patience))
            << "shown " << controller().isShown() << ", visible " << controller().isVisible() << ", focused "
            << controller().panel().hasKeyFocus();
    }

    quillmere::test::TempPreferences prefs;
    quillmere::NotificationCenter center;
    quillmere::X11WindowActivator windows;
    std::unique_ptr<quillmere::WindowActivator> windowManager; // the program's, when set before launch
    std::unique_ptr<quillmere::AppEnvironment> environment;
    std::unique_ptr<quillmere::AppDelegate> delegate;
};
