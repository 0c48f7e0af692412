#include "HeapOverrunGuard.h"
#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Recording/MovieThumbnail.h"
#include "Quillmere/Recording/PulseAudio.h"
#include "Quillmere/Recording/Widgets/RecordingWindows.h"
#include "Quillmere/Recording/Widgets/ScreenRecordingService.h"
#include "Support/DisplayTestSupport.h"
#include "Support/MemoryPasteboard.h"
#include "Support/TestSupport.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QToolButton>
#include <QWidget>
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <xcb/xcb.h>

#include <sys/resource.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

bool xdotool(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

// A PulseAudio server of the test's own with one null sink (the default sink; its monitor is
// also the default source). Every client of this process talks to it.
class PulseServer {
public:
    PulseServer()
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("home"));
        QDir(m_dir.path()).mkpath(QStringLiteral("run"));
        QFile::setPermissions(m_dir.filePath(QStringLiteral("run")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_dir.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.filePath(QStringLiteral("run")));
        env.remove(QStringLiteral("PULSE_SERVER"));
        m_server.setProcessEnvironment(env);
        m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_server.start(QStringLiteral("pulseaudio"),
                       {QStringLiteral("-n"), QStringLiteral("--daemonize=no"), QStringLiteral("--exit-idle-time=-1"),
                        QStringLiteral("--log-level=error"), QStringLiteral("--disable-shm"),
                        QStringLiteral("--load=module-native-protocol-unix"),
                        QStringLiteral("--load=module-null-sink sink_name=recording_test")});
        m_socket = m_dir.filePath(QStringLiteral("run/pulse/native"));
        qputenv("PULSE_SERVER", ("unix:" + m_socket).toUtf8());
        m_ready =
            m_server.waitForStarted(5000)
            && waitUntil(
                [this] { return m_server.state() != QProcess::Running || (QFileInfo::exists(m_socket) && probe()); },
                10000)
            && m_server.state() == QProcess::Running;
    }
    ~PulseServer()
    {
        qunsetenv("PULSE_SERVER");
        m_server.kill();
        m_server.waitForFinished(5000);
    }
    bool ready() const { return m_ready; }
    void kill()
    {
        m_server.kill();
        m_server.waitForFinished(5000);
    }
    // A server that stops answering, as a source that goes idle does: no data, no error.
    void freeze(bool frozen) { ::kill(pid_t(m_server.processId()), frozen ? SIGSTOP : SIGCONT); }

    // Plays a 1 kHz tone into the default sink until the process ends.
    void playTone(QProcess &player, int seconds)
    {
        player.start(QStringLiteral("pacat"),
                     {QStringLiteral("--playback"), QStringLiteral("--format=s16le"), QStringLiteral("--rate=48000"),
                      QStringLiteral("--channels=2")});
        player.waitForStarted(5000);
        QByteArray tone(48000 * seconds * 4, Qt::Uninitialized);
        auto *samples = reinterpret_cast<qint16 *>(tone.data());
        for (int i = 0; i < 48000 * seconds; ++i)
            samples[2 * i] = samples[2 * i + 1] = qint16(12000 * std::sin(2 * M_PI * 1000 * i / 48000.0));
        player.write(tone);
        player.closeWriteChannel();
    }

private:
    bool probe()
    {
        QString error;
        return PulseAudioCapture::open(PulseAudioCapture::defaultMonitor, QStringLiteral("probe"), &error) != nullptr;
    }

    QTemporaryDir m_dir;
    QProcess m_server;
    QString m_socket;
    bool m_ready = false;
};

// A picture that changes twenty times a second; noise when it must not compress.
class Ticker : public QWidget {
public:
    explicit Ticker(bool noisy = false)
        : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::BypassWindowManagerHint),
          m_noisy(noisy)
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            ++m_count;
            update();
        });
        m_timer.start(50);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        if (m_noisy) {
            QImage noise(size(), QImage::Format_RGB32);
            for (int y = 0; y < noise.height(); ++y) {
                auto *line = reinterpret_cast<quint32 *>(noise.scanLine(y));
                for (int x = 0; x < noise.width(); ++x)
                    line[x] = m_random.generate();
            }
            p.drawImage(0, 0, noise);
            return;
        }
        p.fillRect(rect(), QColor::fromHsv((m_count * 17) % 360, 200, 220));
        p.fillRect(QRect((m_count * 7) % width(), 0, 20, height()), Qt::black);
    }

private:
    QTimer m_timer;
    int m_count = 0;
    bool m_noisy = false;
    QRandomGenerator m_random{7};
};

// ffmpeg's loudness of one audio track, in dB; -inf for silence or a track with nothing in it.
double meanVolume(const QString &movie, int audioTrack)
{
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::MergedChannels);
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"), QStringLiteral("-i"), movie,
                  QStringLiteral("-map"), QStringLiteral("0:a:%1").arg(audioTrack), QStringLiteral("-af"),
                  QStringLiteral("volumedetect"), QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")});
    ffmpeg.waitForFinished(30000);
    const QString output = QString::fromUtf8(ffmpeg.readAll());
    const auto match = QRegularExpression(QStringLiteral("mean_volume: (-?[0-9.]+) dB")).match(output);
    return match.hasMatch() ? match.captured(1).toDouble() : -std::numeric_limits<double>::infinity();
}

QJsonObject probeMovie(const QString &movie)
{
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"),
                  {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-of"), QStringLiteral("json"),
                   QStringLiteral("-show_streams"), QStringLiteral("-show_format"), movie});
    ffprobe.waitForFinished(30000);
    return QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object();
}

class RecordingX11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!onX11())
            FAIL() << "needs an X display";
        // These are installed wherever the suite runs; without them the test fails, never skips.
        for (const char *tool : {"xdotool", "pulseaudio", "pacat", "ffprobe", "ffmpeg"})
            ASSERT_FALSE(QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) << tool << " is missing";
        pulse = std::make_unique<PulseServer>();
        ASSERT_TRUE(pulse->ready()) << "the test's PulseAudio server did not start";
        store = std::make_unique<ClipStore>(ModelContainer::open(QString(), systemClock(), nullptr),
                                            ClipStoreDependencies{prefs.prefs.get(), &center});
        service = std::make_unique<ScreenRecordingService>(ScreenRecordingService::Dependencies{
            store.get(), &pasteboard, &center, prefs.prefs.get(), [this] { ++beeps; }});
        service->recorder().setRecordingsFolder(folder.filePath(QStringLiteral("Quillmere/Recordings")));
        service->surfaces().alertOverride = [this](const QString &message, const QString &text, const QStringList &) {
            alerts << message + QStringLiteral(": ") + text;
            return 0;
        };
        service->onRecordingSaved = [this](const ClipRef &clip) { saved = clip; };
        xdotool({QStringLiteral("mousemove"), QStringLiteral("5"), QStringLiteral("5")});
    }
    void TearDown() override { xdotool({QStringLiteral("mouseup"), QStringLiteral("1")}); }

    RegionSelectionView *openSelector()
    {
        service->toggle();
        RegionSelector *selector = service->surfaces().selector();
        if (!selector)
            return nullptr;
        RegionSelectionView *view = selector->view();
        const bool grabbed = waitUntil([view] { return view && view->isGrabbing(); });
        return grabbed ? view : nullptr;
    }

    void drag(QPoint from, QPoint to)
    {
        const auto pos = [](QPoint p) { return QStringList{QString::number(p.x()), QString::number(p.y())}; };
        xdotool(QStringList{QStringLiteral("mousemove")} + pos(from));
        xdotool({QStringLiteral("mousedown"), QStringLiteral("1")});
        for (int step = 1; step <= 4; ++step)
            xdotool(QStringList{QStringLiteral("mousemove")} + pos(from + (to - from) * step / 4));
        xdotool({QStringLiteral("mouseup"), QStringLiteral("1")});
    }

    TempPreferences prefs;
    NotificationCenter center;
    MemoryPasteboard pasteboard;
    QTemporaryDir folder;
    std::unique_ptr<PulseServer> pulse;
    std::unique_ptr<ClipStore> store;
    std::unique_ptr<ScreenRecordingService> service;
    QStringList alerts;
    ClipRef saved;
    int beeps = 0;
};

TEST_F(RecordingX11, SelectorClosesWithEscapeOrTheToggleAndStartsNothing)
{
    RegionSelectionView *view = openSelector();
    ASSERT_TRUE(view);
    EXPECT_TRUE(service->isRegionSelectorOpen());
    xdotool({QStringLiteral("key"), QStringLiteral("Escape")});
    ASSERT_TRUE(waitUntil([this] { return !service->isRegionSelectorOpen(); }));

    view = openSelector();
    ASSERT_TRUE(view);
    // A click that moves less than 3 points selects nothing.
    drag({300, 300}, {301, 301});
    ASSERT_TRUE(waitUntil([view] { return view->phase() == RegionSelectionView::Phase::idle; }));
    EXPECT_FALSE(view->selection());
    // Return commits only a confirmed rectangle.
    xdotool({QStringLiteral("key"), QStringLiteral("Return")});
    QTest::qWait(100);
    EXPECT_TRUE(service->isRegionSelectorOpen());
    service->toggle();
    ASSERT_TRUE(waitUntil([this] { return !service->isRegionSelectorOpen() && !service->surfaces().selector(); }));
    QTest::qWait(50);
    EXPECT_EQ(service->state(), ScreenRecording::State::idle);

    // Closed and opened again before the first one's completion comes: the new one stays.
    ASSERT_TRUE(openSelector());
    service->toggle();
    service->toggle();
    QPointer<RegionSelector> second = service->surfaces().selector();
    ASSERT_TRUE(second);
    QTest::qWait(100);
    EXPECT_EQ(service->surfaces().selector(), second.data());
    EXPECT_TRUE(service->isRegionSelectorOpen());
    service->toggle();
    ASSERT_TRUE(waitUntil([this] { return !service->isRegionSelectorOpen() && !service->surfaces().selector(); }));
    EXPECT_TRUE(alerts.isEmpty());
}

// Another client holds the keyboard, as a screen locker does: the selector must not stay on top
// with no way to leave it.
TEST_F(RecordingX11, SelectorGivesUpWithoutTheGrabs)
{
    xcb_connection_t *other = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(other));
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
    std::unique_ptr<xcb_grab_keyboard_reply_t, decltype(&std::free)> grab(
        xcb_grab_keyboard_reply(
            other, xcb_grab_keyboard(other, 0, root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
            nullptr),
        &std::free);
    ASSERT_TRUE(grab && grab->status == XCB_GRAB_STATUS_SUCCESS);
    service->toggle();
    ASSERT_TRUE(service->isRegionSelectorOpen());
    const bool closed = waitUntil([this] { return !service->isRegionSelectorOpen(); }, 10000);
    xcb_disconnect(other);
    EXPECT_TRUE(closed);
    EXPECT_EQ(service->state(), ScreenRecording::State::idle);
}

TEST_F(RecordingX11, RegionRecordingBecomesAClipWithSoundOnTheClipboard)
{
    Ticker ticker;
    ticker.setGeometry(100, 100, 400, 300);
    ticker.show();
    ASSERT_TRUE(waitUntil([&] { return ticker.windowHandle() && ticker.windowHandle()->isExposed(); }));
    RecordingAudioPreferences{true, std::nullopt, true}.save(*prefs);

    RegionSelectionView *view = openSelector();
    ASSERT_TRUE(view);
    drag({150, 150}, {310, 250});
    ASSERT_TRUE(waitUntil([view] { return view->phase() == RegionSelectionView::Phase::confirmed && view->hud(); }));
    EXPECT_EQ(*view->selection(), QRectF(150, 150, 160, 100));
    // The HUD shows what is stored and stays clear of the selection.
    EXPECT_TRUE(view->hud()->audio().micEnabled);
    EXPECT_FALSE(view->hud()->geometry().intersects(view->selection()->toRect()));
    // The HUD's button, under the selector's pointer grab.
    const QPoint record = view->hud()->recordButton()->mapToGlobal(view->hud()->recordButton()->rect().center());
    xdotool({QStringLiteral("mousemove"), QString::number(record.x()), QString::number(record.y())});
    xdotool({QStringLiteral("click"), QStringLiteral("1")});
    ASSERT_TRUE(waitUntil([this] { return service->state() == ScreenRecording::State::recording; }));
    QElapsedTimer recorded;
    recorded.start();
    EXPECT_TRUE(alerts.isEmpty()) << qPrintable(alerts.join(QLatin1Char('\n')));

    RecordingControlBar *bar = service->surfaces().controlBar();
    ASSERT_TRUE(bar && service->surfaces().border());
    ASSERT_TRUE(bar->muteButton());
    EXPECT_TRUE(waitUntil([&] { return bar->isVisible() && service->surfaces().border()->isVisible(); }));
    EXPECT_EQ(service->surfaces().border()->geometry(), QRect(147, 147, 166, 106));
    EXPECT_FALSE(bar->geometry().intersects(QRect(147, 147, 166, 106)));
    bar->muteButton()->click();
    EXPECT_TRUE(bar->micMuted());
    QProcess tone;
    pulse->playTone(tone, 4);

    QTest::qWait(2000);
    const double seconds = double(recorded.elapsed()) / 1000;
    service->toggle();
    // The bar and border go at once, before the movie is finished.
    EXPECT_FALSE(service->surfaces().controlBar());
    EXPECT_FALSE(service->surfaces().border()->isVisible());
    ASSERT_TRUE(waitUntil([this] { return service->state() == ScreenRecording::State::idle; }, 10000));
    ASSERT_TRUE(waitUntil([this] { return saved != nullptr; }, 10000)) << qPrintable(alerts.join(QLatin1Char('\n')));
    tone.kill();
    tone.waitForFinished();

    const QString movie = *saved->text();
    EXPECT_EQ(saved->kind(), ClipKind::file);
    EXPECT_EQ(saved->fileName(), QFileInfo(movie).fileName());
    EXPECT_EQ(saved->sourceAppName(), QStringLiteral("Quillmere Recording"));
    EXPECT_TRUE(QFileInfo(movie).fileName().startsWith(QStringLiteral("Recording ")));
    EXPECT_EQ(QFileInfo(movie).permissions() & 0x0077, 0);
    EXPECT_EQ(QFileInfo(QFileInfo(movie).absolutePath()).permissions() & 0x0077, 0);
    EXPECT_EQ(QDir(QFileInfo(movie).absolutePath()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    const QImage thumbnail = QImage::fromData(*saved->imageData(), "PNG");
    EXPECT_EQ(thumbnail.size(), QSize(160, 100));
    EXPECT_EQ(pasteboard.readFileURLs(), QList<QUrl>{QUrl::fromLocalFile(movie)});
    EXPECT_TRUE(alerts.isEmpty()) << qPrintable(alerts.join(QLatin1Char('\n')));

    const QJsonObject probe = probeMovie(movie);
    const QJsonArray streams = probe.value(QStringLiteral("streams")).toArray();
    ASSERT_EQ(streams.size(), 3);
    const QJsonObject video = streams[0].toObject();
    EXPECT_EQ(video.value(QStringLiteral("codec_name")).toString(), QStringLiteral("h264"));
    EXPECT_EQ(video.value(QStringLiteral("width")).toInt(), 160);
    EXPECT_EQ(video.value(QStringLiteral("height")).toInt(), 100);
    const double duration = video.value(QStringLiteral("duration")).toString().toDouble();
    EXPECT_NEAR(duration, seconds, 0.3);
    for (int i : {1, 2}) {
        const QJsonObject audio = streams[i].toObject();
        EXPECT_EQ(audio.value(QStringLiteral("codec_name")).toString(), QStringLiteral("aac"));
        EXPECT_EQ(audio.value(QStringLiteral("sample_rate")).toString(), QStringLiteral("48000"));
        EXPECT_EQ(audio.value(QStringLiteral("channels")).toInt(), 2);
    }
    EXPECT_NE(recording::movieFrame(movie, 0.2), recording::movieFrame(movie, 1.6));
    EXPECT_GT(meanVolume(movie, 0), -30.0);
    EXPECT_LT(meanVolume(movie, 1), -80.0);
}

// The user's road: a dragged region whose width is no multiple of 8 (as about 700 × 400 is),
// started with Return, several seconds of frames, stopped with the bar's button. Its thumbnail
// once overran the heap, which crashed the program after the movie was written.
TEST_F(RecordingX11, AnUnalignedRegionStoppedFromTheBarBecomesAClip)
{
    HeapOverrunGuard guard;
    Ticker ticker;
    ticker.setGeometry(100, 100, 800, 500);
    ticker.show();
    ASSERT_TRUE(waitUntil([&] { return ticker.windowHandle() && ticker.windowHandle()->isExposed(); }));

    RegionSelectionView *view = openSelector();
    ASSERT_TRUE(view);
    drag({150, 150}, {848, 548});
    ASSERT_TRUE(waitUntil([view] { return view->phase() == RegionSelectionView::Phase::confirmed; }));
    ASSERT_EQ(*view->selection(), QRectF(150, 150, 698, 398));
    xdotool({QStringLiteral("key"), QStringLiteral("Return")});
    ASSERT_TRUE(waitUntil([this] { return service->state() == ScreenRecording::State::recording; }));
    RecordingControlBar *bar = service->surfaces().controlBar();
    ASSERT_TRUE(bar && bar->stopButton());
    ASSERT_TRUE(waitUntil([bar] { return bar->isVisible(); }));
    // Three seconds of movie, whatever the frame rate a loaded machine allows.
    QTest::qWait(3000);

    const QPoint stop = bar->stopButton()->mapToGlobal(bar->stopButton()->rect().center());
    xdotool({QStringLiteral("mousemove"), QString::number(stop.x()), QString::number(stop.y())});
    xdotool({QStringLiteral("click"), QStringLiteral("1")});
    ASSERT_TRUE(waitUntil([this] { return service->state() == ScreenRecording::State::idle; }, 10000));
    ASSERT_TRUE(waitUntil([this] { return saved != nullptr; }, 10000)) << qPrintable(alerts.join(QLatin1Char('\n')));
    EXPECT_EQ(HeapOverrunGuard::overruns(), 0)
        << "a block of " << HeapOverrunGuard::lastOverrunSize() << " bytes was written past its end";

    // Frames came in all along; how many depends on the machine's load, not on the mend.
    EXPECT_GE(service->recorder().lastStatistics().frames, 10);
    EXPECT_EQ(QImage::fromData(*saved->imageData(), "PNG").size(), QSize(698, 398));
    const QJsonObject video = probeMovie(*saved->text()).value(QStringLiteral("streams")).toArray().at(0).toObject();
    EXPECT_EQ(video.value(QStringLiteral("width")).toInt(), 698);
    EXPECT_EQ(video.value(QStringLiteral("height")).toInt(), 398);
    // Frames of the same size taken straight from the movie, the way previews read it.
    for (double at : {0.0, 1.0, 2.5})
        EXPECT_EQ(recording::movieFrame(*saved->text(), at).size(), QSize(698, 398)) << at;
    EXPECT_EQ(HeapOverrunGuard::overruns(), 0);
    EXPECT_TRUE(alerts.isEmpty()) << qPrintable(alerts.join(QLatin1Char('\n')));
}

TEST_F(RecordingX11, AudioServerLossEndsTheRecordingAndKeepsWhatWasRecorded)
{
    QScreen *screen = QGuiApplication::primaryScreen();
    const RegionSelection selection{screen->name(), screen->geometry(), screen->devicePixelRatio(),
                                    QRect(0, 0, 64, 64)};
    ASSERT_FALSE(service->recorder().start(selection, {false, std::nullopt, true}));
    ASSERT_EQ(service->state(), ScreenRecording::State::recording);
    QTest::qWait(500);
    pulse->kill();
    ASSERT_TRUE(waitUntil([this] { return saved != nullptr; }, 10000)) << qPrintable(alerts.join(QLatin1Char('\n')));
    EXPECT_EQ(service->state(), ScreenRecording::State::idle);
    EXPECT_TRUE(QFileInfo::exists(*saved->text()));
    EXPECT_EQ(alerts,
              QStringList{QStringLiteral("Recording stopped: The audio server stopped. What was recorded until "
                                         "then is saved.")});
    EXPECT_EQ(pasteboard.readFileURLs(), QList<QUrl>{QUrl::fromLocalFile(*saved->text())});
}

// The null sink's monitor sends nothing while nothing plays, as an idle source does; then the
// server stops answering altogether.
TEST_F(RecordingX11, AStalledSourceNeverHoldsTheStopAndAMissingTrackIsTold)
{
    QScreen *screen = QGuiApplication::primaryScreen();
    const RegionSelection selection{screen->name(), screen->geometry(), screen->devicePixelRatio(),
                                    QRect(0, 0, 64, 64)};
    ASSERT_FALSE(service->recorder().start(selection, {true, QStringLiteral("no-such-source"), true}));
    ASSERT_EQ(service->state(), ScreenRecording::State::recording);
    QTest::qWait(300);
    pulse->freeze(true);
    service->toggle();
    const bool stopped = waitUntil([this] { return service->state() == ScreenRecording::State::idle; }, 5000);
    pulse->freeze(false);
    ASSERT_TRUE(stopped);
    ASSERT_TRUE(waitUntil([this] { return saved != nullptr && !alerts.isEmpty(); }, 10000));
    EXPECT_EQ(alerts,
              QStringList{QStringLiteral("Recording saved without sound: The microphone couldn't be "
                                         "recorded, so the movie has no microphone track.")});
}

TEST(RecordingFolder, HalfWrittenMoviesOfEarlierSessionsAreRemoved)
{
    QTemporaryDir folder;
    const auto make = [&](const QString &name, const QDateTime &modified) {
        QFile file(folder.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.setFileTime(modified, QFileDevice::FileModificationTime));
    };
    const QDateTime now = QDateTime::currentDateTimeUtc();
    make(QStringLiteral(".Recording 2026-01-01 at 10.00.00.mp4.part"), now.addSecs(-3600));
    make(QStringLiteral("Recording 2026-01-01 at 09.00.00.mp4"), now.addSecs(-3600));
    make(QStringLiteral(".notes.part"), now.addSecs(-3600));
    // This session's own, being written.
    make(QStringLiteral(".Recording 2026-01-01 at 11.00.00.mp4.part"), now.addSecs(60));
    // Another instance's, still being written though not touched for a while: it holds a lock.
    const QString held = QStringLiteral(".Recording 2026-01-01 at 08.00.00.mp4.part");
    make(held, now.addSecs(-3600));
    const int lock = ::open(QFile::encodeName(folder.filePath(held)).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    const auto unlock = qScopeGuard([lock] { ::close(lock); });
    ScreenRecorder recorder;
    recorder.setRecordingsFolder(folder.path());
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
              (QStringList{held, QStringLiteral(".Recording 2026-01-01 at 11.00.00.mp4.part"),
                           QStringLiteral(".notes.part"), QStringLiteral("Recording 2026-01-01 at 09.00.00.mp4")}));
}

// A full disk, played by a file-size limit on this process.
TEST_F(RecordingX11, AFullDiskLeavesNoMovieAndNoClip)
{
    Ticker ticker(true);
    ticker.setGeometry(0, 0, 400, 300);
    ticker.show();
    ASSERT_TRUE(waitUntil([&] { return ticker.windowHandle() && ticker.windowHandle()->isExposed(); }));
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    auto *previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = limit;
    tiny.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &tiny);

    QScreen *screen = QGuiApplication::primaryScreen();
    const RegionSelection selection{screen->name(), screen->geometry(), screen->devicePixelRatio(),
                                    QRect(0, 0, 400, 300)};
    const bool started = !service->recorder().start(selection, {});
    // The recording ends by itself once the limit is met.
    const bool stoppedByItself =
        started && waitUntil([this] { return service->state() == ScreenRecording::State::idle; }, 10000);
    const bool ended = waitUntil([this] { return !alerts.isEmpty(); }, 10000);
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous);

    ASSERT_TRUE(started);
    ASSERT_TRUE(stoppedByItself);
    ASSERT_TRUE(ended);
    EXPECT_EQ(alerts,
              QStringList{QStringLiteral("Recording wasn't saved: The recording file couldn't be finalized. "
                                         "Check free disk space and try again.")});
    EXPECT_EQ(beeps, 1);
    EXPECT_FALSE(saved);
    EXPECT_TRUE(QDir(service->recorder().recordingsFolder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

// The test screen split into two monitors side by side, as RandR describes them; put back after.
class SplitScreen {
public:
    SplitScreen()
    {
        m_ok = xrandr({QStringLiteral("--setmonitor"), QStringLiteral("RecordingLeft"),
                       QStringLiteral("800/211x1000/264+0+0"), QStringLiteral("screen")})
            && xrandr({QStringLiteral("--setmonitor"), QStringLiteral("RecordingRight"),
                       QStringLiteral("800/211x1000/264+800+0"), QStringLiteral("none")})
            && waitUntil([] { return QGuiApplication::screens().size() == 2; });
    }
    ~SplitScreen()
    {
        removeRight();
        xrandr({QStringLiteral("--delmonitor"), QStringLiteral("RecordingLeft")});
        waitUntil([] { return QGuiApplication::screens().size() == 1; });
    }
    bool ok() const { return m_ok; }
    void removeRight() { xrandr({QStringLiteral("--delmonitor"), QStringLiteral("RecordingRight")}); }

private:
    static bool xrandr(const QStringList &arguments)
    {
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(QStringLiteral("xrandr"), arguments);
        return process.waitForFinished(10000) && process.exitCode() == 0;
    }

    bool m_ok = false;
};

TEST_F(RecordingX11, ARegionOnTheSecondMonitorUntilItIsUnplugged)
{
    if (QStandardPaths::findExecutable(QStringLiteral("xrandr")).isEmpty()
        || QGuiApplication::primaryScreen()->size() != QSize(1600, 1000))
        FAIL() << "needs xrandr and the 1600x1000 test screen";
    QWidget red(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::BypassWindowManagerHint);
    red.setStyleSheet(QStringLiteral("background: #ff0000;"));
    red.setGeometry(800, 0, 200, 200);
    red.show();
    ASSERT_TRUE(waitUntil([&] { return red.windowHandle() && red.windowHandle()->isExposed(); }));
    SplitScreen split;
    ASSERT_TRUE(split.ok());
    QScreen *right = QGuiApplication::screenAt(QPoint(1200, 500));
    ASSERT_TRUE(right && right->geometry() == QRect(800, 0, 800, 1000));

    const RegionSelection selection{right->name(), right->geometry(), right->devicePixelRatio(),
                                    QRect(800, 0, 100, 80)};
    ASSERT_FALSE(service->recorder().start(selection, {}));
    QTest::qWait(500);
    split.removeRight();
    ASSERT_TRUE(waitUntil([this] { return saved != nullptr; }, 10000)) << qPrintable(alerts.join(QLatin1Char('\n')));
    EXPECT_EQ(alerts,
              QStringList{QStringLiteral("Recording stopped: The display you selected is no longer available. "
                                         "What was recorded until then is saved.")});
    const QImage thumbnail = QImage::fromData(*saved->imageData(), "PNG");
    ASSERT_EQ(thumbnail.size(), QSize(100, 80));
    // What lies at the second monitor's corner, not at the first one's.
    const QColor seen = thumbnail.pixelColor(50, 40);
    EXPECT_GT(seen.red(), 200);
    EXPECT_LT(seen.green(), 60);
}

} // namespace

// A Recordings folder the user replaced by a link: to a folder of their own it just works; a
// link that leads nowhere says so rather than blaming the disk.
TEST_F(RecordingX11, ARecordingsFolderThatIsALinkIsFollowedOrRefusedWithItsReason)
{
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("Movies"));
    ASSERT_TRUE(QDir().mkpath(target));
    const QString link = folder.filePath(QStringLiteral("Recordings link"));
    ASSERT_TRUE(QFile::link(target, link));
    ScreenRecorder &recorder = service->recorder();
    recorder.setRecordingsFolder(link);
    const RecordingAudioPreferences silent;
    ASSERT_EQ(recorder.start(std::nullopt, silent), std::nullopt) << qPrintable(recorder.folderProblem());
    QTest::qWait(500);
    std::optional<RecordingResult> result;
    ASSERT_TRUE(recorder.stop([&](const RecordingResult &r) { result = r; }));
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }, 10000));
    ASSERT_TRUE(std::holds_alternative<QString>(*result));
    EXPECT_EQ(QFileInfo(std::get<QString>(*result)).absolutePath(), QFileInfo(target).canonicalFilePath());
    EXPECT_EQ(QFileInfo(target).permissions() & 0x0077, 0) << "made private, as the folder it stands for";

    const QString dangling = folder.filePath(QStringLiteral("dangling"));
    ASSERT_TRUE(QFile::link(elsewhere.filePath(QStringLiteral("gone")), dangling));
    recorder.setRecordingsFolder(dangling);
    RegionSelectionView *view = openSelector();
    ASSERT_TRUE(view);
    drag({150, 150}, {400, 300});
    ASSERT_TRUE(waitUntil([view] { return view->phase() == RegionSelectionView::Phase::confirmed; }));
    xdotool({QStringLiteral("key"), QStringLiteral("Return")});
    ASSERT_TRUE(waitUntil([this] { return !alerts.isEmpty(); }));
    EXPECT_EQ(service->state(), ScreenRecording::State::idle);
    ASSERT_EQ(alerts.size(), 1);
    EXPECT_TRUE(alerts[0].startsWith(QStringLiteral("Couldn't start recording: The Recordings folder ")));
    EXPECT_TRUE(alerts[0].contains(QStringLiteral("which does not exist"))) << qPrintable(alerts[0]);
    EXPECT_FALSE(alerts[0].contains(QStringLiteral("disk space")));

    // A link to a file is no folder either.
    QFile file(elsewhere.filePath(QStringLiteral("file")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const QString toFile = folder.filePath(QStringLiteral("to a file"));
    ASSERT_TRUE(QFile::link(file.fileName(), toFile));
    recorder.setRecordingsFolder(toFile);
    EXPECT_EQ(recorder.start(std::nullopt, silent), RecordingError::folderUnusable);
    EXPECT_TRUE(recorder.folderProblem().contains(QStringLiteral("which is not a folder")));
}
