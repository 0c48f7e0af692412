#include "Quillmere/App/HotKeyCenter.h"
#include "Quillmere/Settings/ShortcutRecorderView.h"
#include "Support/DisplayTestSupport.h"
#include "Support/TestSupport.h"

#include <QDir>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QProcess>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::CarbonModifier;

namespace {

// A recorder in a window of its own, owned the way the capture pane owns one: it stores what
// the recorder reports and hands it back.
struct RecorderFixture {
    RecorderFixture()
    {
        auto *row = new QHBoxLayout(&window);
        other = new QLineEdit(&window);
        recorder = new ShortcutRecorderView(
            CaptureShortcut{21, control | shift},
            [this](std::optional<CaptureShortcut> s) {
                reports.push_back(s);
                recorder->setShortcut(s);
            },
            &HotKeyCenter::keysymForKeyCode, &window);
        recorder->setBeep([this] { ++beeps; });
        row->addWidget(recorder);
        row->addWidget(other);
        window.setStyleSheet("background: black;");
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    void startRecording()
    {
        QTest::mouseClick(recorder, Qt::LeftButton);
        ASSERT_TRUE(recorder->isRecording());
    }

    QWidget window;
    ShortcutRecorderView *recorder = nullptr;
    QLineEdit *other = nullptr;
    std::vector<std::optional<CaptureShortcut>> reports;
    int beeps = 0;
};

} // namespace

TEST(ShortcutRecorderView, RecordsRefusesClearsAndCancelsFromKeysTypedInAnyOfOurWindows)
{
    RecorderFixture f;
    EXPECT_EQ(f.recorder->displayText(), "Ctrl+Shift+4");
    f.startRecording();
    EXPECT_EQ(f.recorder->displayText(), "Type shortcut…");

    // Keys typed into another control reach the recorder first and go no further.
    QTest::keyClick(f.other, Qt::Key_A, Qt::ShiftModifier);
    QTest::keyClick(f.other, Qt::Key_A);
    QTest::keyClick(f.other, Qt::Key_V, Qt::ShiftModifier | Qt::MetaModifier);
    QTest::keyClick(f.other, Qt::Key_V, Qt::AltModifier | Qt::MetaModifier);
    QTest::keyClick(f.other, Qt::Key_Shift, Qt::ShiftModifier);
    EXPECT_EQ(f.beeps, 4) << "a lone modifier is part of a combination, not a refusal";
    EXPECT_TRUE(f.recorder->isRecording());
    EXPECT_EQ(f.other->text(), "");
    EXPECT_TRUE(f.reports.empty());

    QTest::keyClick(f.other, Qt::Key_2, Qt::ShiftModifier | Qt::MetaModifier);
    ASSERT_EQ(f.reports.size(), 1u);
    EXPECT_EQ(f.reports[0], (CaptureShortcut{19, 0x300}));
    EXPECT_FALSE(f.recorder->isRecording());
    EXPECT_EQ(f.recorder->displayText(), "Shift+Super+2");

    f.startRecording();
    QTest::keyClick(f.recorder, Qt::Key_Escape, Qt::ControlModifier);
    EXPECT_FALSE(f.recorder->isRecording());
    EXPECT_EQ(f.reports.size(), 1u) << "Escape cancels without a report";

    f.startRecording();
    QTest::mouseClick(f.recorder, Qt::LeftButton);
    EXPECT_FALSE(f.recorder->isRecording());
    EXPECT_EQ(f.reports.size(), 1u) << "a second click stops without a report";

    f.startRecording();
    QTest::keyClick(f.recorder, Qt::Key_Backspace, Qt::AltModifier);
    ASSERT_EQ(f.reports.size(), 2u);
    EXPECT_FALSE(f.reports[1]);
    EXPECT_EQ(f.recorder->displayText(), "Click to record");

    const QString dir = QDir::currentPath() + "/artifacts";
    QDir().mkpath(dir);
    f.startRecording();
    QTest::qWait(50);
    EXPECT_TRUE(f.window.grab().save(dir + "/settings-shortcut-recorder.png"));

    // Leaving the screen stops listening: later keys are typed as usual.
    f.window.hide();
    EXPECT_FALSE(f.recorder->isRecording());
    f.window.show();
    QTest::keyClick(f.other, Qt::Key_B);
    EXPECT_EQ(f.other->text(), "b");
}

TEST(ShortcutRecorderView, RealKeysAreReadByTheirPositionNotTheirShiftedSymbol)
{
    if (!test::onX11() || !test::windowManagerRunning())
        FAIL() << "needs an X11 display with a window manager";
    RecorderFixture f;
    f.window.activateWindow();
    if (!test::waitUntil([&] { return QGuiApplication::focusWindow() == f.window.windowHandle(); }, 3000))
        FAIL() << "the window manager did not give us the keyboard";
    f.startRecording();
    // With Shift held the 4 key types "$"; the shortcut is still Ctrl+Shift+4.
    QProcess::execute("xdotool", {"key", "--clearmodifiers", "ctrl+shift+4"});
    ASSERT_TRUE(test::waitUntil([&] { return !f.reports.empty(); }));
    EXPECT_EQ(f.reports[0], (CaptureShortcut{21, control | shift}));
}

// A second field clicked while the first still waits: the first would keep the program's hot keys
// let go after the second was done.
TEST(ShortcutRecorderView, OneFieldWaitsAtATimeSoTheHotKeysComeBackWhenItIsDone)
{
    int suspended = 0;
    const ShortcutRecording::HotKeySuspension suspend = [&suspended]() -> std::shared_ptr<void> {
        ++suspended;
        return std::shared_ptr<void>(nullptr, [&suspended](void *) { --suspended; });
    };
    std::vector<std::optional<CaptureShortcut>> reports;
    QWidget window;
    auto *row = new QHBoxLayout(&window);
    std::vector<ShortcutRecorderView *> fields;
    for (int i = 0; i < 2; ++i) {
        fields.push_back(new ShortcutRecorderView(
            std::nullopt, [&](std::optional<CaptureShortcut> s) { reports.push_back(s); },
            &HotKeyCenter::keysymForKeyCode, &window, suspend));
        fields.back()->setBeep({});
        row->addWidget(fields.back());
    }
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    QTest::mouseClick(fields[0], Qt::LeftButton);
    ASSERT_TRUE(fields[0]->isRecording());
    QTest::mouseClick(fields[1], Qt::LeftButton);
    ASSERT_TRUE(fields[1]->isRecording());
    EXPECT_FALSE(fields[0]->isRecording());
    EXPECT_EQ(suspended, 1);

    QTest::keyClick(fields[1], Qt::Key_2, Qt::ShiftModifier | Qt::MetaModifier);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], (CaptureShortcut{19, 0x300}));
    EXPECT_FALSE(fields[0]->isRecording() || fields[1]->isRecording());
    EXPECT_EQ(suspended, 0) << "the hot keys are back once the field is done";
}
