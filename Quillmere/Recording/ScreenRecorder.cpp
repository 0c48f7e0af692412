#include "Quillmere/Recording/ScreenRecorder.h"

#include "Quillmere/Platform/Core/HandOver.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"
#include "Quillmere/Platform/ScreenGrabber.h"
#include "Quillmere/Platform/X11Desktop.h"
#include "Quillmere/Recording/MovieWriter.h"
#include "Quillmere/Recording/PulseAudio.h"
#include "Quillmere/Recording/RecordingGeometry.h"

#include <QCursor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <vector>

namespace quillmere {

namespace {

using Clock = std::chrono::steady_clock;

qint64 nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

} // namespace

// One recording's threads: capture and audio produce, the writer thread consumes in order (the
// one place the movie is touched). Frames wait in at most `queueDepth` buffers; a frame with no
// free buffer is dropped and counted, so capture never waits for the encoder.
class RecordingSession {
public:
    static constexpr int queueDepth = 6;
    static constexpr qint64 frameIntervalUs = 1000000 / 30;
    // About four seconds of audio may wait for the writer; more is dropped.
    static constexpr size_t maxQueuedAudio = 200;

    std::unique_ptr<MovieWriter> writer;
    std::unique_ptr<ScreenGrabber> grabber;
    std::array<std::unique_ptr<PulseAudioCapture>, 2> audio;
    std::function<void(StopCause)> onFault;
    std::atomic<bool> micMuted{false};

    void run()
    {
        const size_t frameBytes = size_t(grabber->stride()) * size_t(grabber->size().height());
        for (int i = 0; i < queueDepth; ++i) {
            m_buffers.emplace_back(frameBytes);
            m_free.push_back(i);
        }
        m_writerThread = std::thread([this] { writeLoop(); });
        m_captureThread = std::thread([this] { captureLoop(); });
        for (size_t i = 0; i < audio.size(); ++i)
            if (audio[i])
                m_audioThreads[i] = std::thread([this, i] { audioLoop(int(i)); });
    }

    // Joins every thread and finishes the movie; callable from any thread but the session's own.
    RecordingResult finish()
    {
        m_stopping = true;
        if (m_captureThread.joinable())
            m_captureThread.join();
        for (auto &thread : m_audioThreads)
            if (thread.joinable())
                thread.join();
        {
            std::lock_guard lock(m_mutex);
            m_producersDone = true;
        }
        m_ready.notify_all();
        if (m_writerThread.joinable())
            m_writerThread.join();
        if (const qint64 dropped = m_dropped.load(); dropped > 0)
            qCCritical(lcRecording, "Recording dropped %lld frame(s) the encoder wasn't ready for", dropped);
        RecordingResult result = writer->finish();
        return result;
    }

    qint64 dropped() const { return m_dropped.load(); }

private:
    struct Item {
        int buffer = -1; // a video frame, else audio
        int track = 0;
        qint64 timeUs = 0;
        std::vector<int16_t> samples;
    };

    void fault(StopCause cause)
    {
        if (!m_faulted.exchange(true) && onFault)
            onFault(cause);
    }

    void captureLoop()
    {
        // Frame n is due at start + n intervals; a slot that passes without its frame, because
        // the grab was slow or no buffer was free, counts as dropped.
        const qint64 start = nowUs();
        qint64 slot = 0;
        while (!m_stopping) {
            int buffer = -1;
            {
                std::lock_guard lock(m_mutex);
                if (!m_free.empty()) {
                    buffer = m_free.back();
                    m_free.pop_back();
                }
            }
            if (buffer < 0) {
                ++m_dropped;
            } else {
                const qint64 taken = nowUs();
                if (!grabber->grab()) {
                    qCCritical(lcRecording, "Screen recording stream stopped: the display went away");
                    fault(StopCause::displayGone);
                    return;
                }
                std::memcpy(m_buffers[size_t(buffer)].data(), grabber->pixels(), m_buffers[size_t(buffer)].size());
                {
                    std::lock_guard lock(m_mutex);
                    m_queue.push_back({buffer, 0, taken, {}});
                }
                m_ready.notify_one();
            }
            const qint64 due = (nowUs() - start) / frameIntervalUs;
            if (due > slot + 1)
                m_dropped += due - slot - 1;
            slot = std::max(slot + 1, due);
            std::this_thread::sleep_for(
                std::chrono::microseconds(std::max<qint64>(0, start + slot * frameIntervalUs - nowUs())));
        }
    }

    void audioLoop(int track)
    {
        std::vector<int16_t> chunk(size_t(PulseAudioCapture::framesPerRead * PulseAudioCapture::channels));
        while (!m_stopping) {
            qint64 heard = 0;
            const PulseAudioCapture::Read got = audio[size_t(track)]->read(chunk.data(), &heard);
            if (got == PulseAudioCapture::Read::waiting)
                continue;
            if (got == PulseAudioCapture::Read::gone) {
                qCCritical(lcRecording, "Screen recording stream stopped: the audio server went away");
                fault(StopCause::audioServerGone);
                return;
            }
            // Silence rather than nothing: an MPEG-4 audio track cannot hold a gap, later sound
            // would move forward and out of step with the picture.
            if (track == MovieWriter::microphone && micMuted)
                std::fill(chunk.begin(), chunk.end(), int16_t(0));
            {
                std::lock_guard lock(m_mutex);
                if (m_queuedAudio >= maxQueuedAudio)
                    continue;
                ++m_queuedAudio;
                m_queue.push_back({-1, track, heard, chunk});
            }
            m_ready.notify_one();
        }
    }

    void writeLoop()
    {
        for (;;) {
            Item item;
            {
                std::unique_lock lock(m_mutex);
                m_ready.wait(lock, [this] { return !m_queue.empty() || m_producersDone; });
                if (m_queue.empty())
                    return;
                item = std::move(m_queue.front());
                m_queue.pop_front();
                if (item.buffer < 0)
                    --m_queuedAudio;
            }
            if (item.buffer >= 0) {
                writer->appendVideo(m_buffers[size_t(item.buffer)].data(), grabber->stride(), item.timeUs);
                std::lock_guard lock(m_mutex);
                m_free.push_back(item.buffer);
            } else {
                writer->appendAudio(MovieWriter::AudioTrack(item.track), item.samples.data(),
                                    PulseAudioCapture::framesPerRead, item.timeUs);
            }
            if (writer->failed())
                fault(StopCause::writerFailed);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Item> m_queue;
    std::vector<std::vector<uint8_t>> m_buffers;
    std::vector<int> m_free;
    size_t m_queuedAudio = 0;
    bool m_producersDone = false;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_faulted{false};
    std::atomic<qint64> m_dropped{0};
    std::thread m_writerThread;
    std::thread m_captureThread;
    std::array<std::thread, 2> m_audioThreads;
};

ScreenRecorder::ScreenRecorder(QObject *parent) : QObject(parent), m_folder(defaultRecordingsFolder())
{
    removeStaleParts();
    // A monitor unplugged from a larger X screen leaves its pixels readable; Qt still notices.
    if (qGuiApp)
        connect(qGuiApp, &QGuiApplication::screenRemoved, this, [this](QScreen *screen) {
            if (screen == m_screen) {
                qCCritical(lcRecording, "Screen recording stream stopped: the display went away");
                sessionFault(StopCause::displayGone);
            }
        });
}

ScreenRecorder::~ScreenRecorder()
{
    if (m_finisher.joinable())
        m_finisher.join();
    else if (m_session)
        m_session->finish();
}

QString ScreenRecorder::defaultRecordingsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Quillmere/Recordings");
}

void ScreenRecorder::setRecordingsFolder(const QString &folder)
{
    m_folder = folder;
    removeStaleParts();
}

void ScreenRecorder::removeStaleParts() const
{
    // The hidden name MovieWriter writes under, so nothing of the user's is touched.
    const QDir folder(m_folder);
    const QFileInfoList parts =
        folder.entryInfoList({QStringLiteral(".Recording *.mp4.part")}, QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo &part : parts) {
        if (part.lastModified() >= m_sessionStart)
            continue;
        // Another running instance sharing this folder holds its part locked while writing.
        const int fd =
            ::open(QFile::encodeName(part.absoluteFilePath()).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        const bool inUse = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        if (!inUse && QFile::remove(part.absoluteFilePath()))
            qCInfo(lcRecording, "Removed a half-written recording left by an earlier session");
        ::close(fd);
    }
}

ScreenRecorder::PreparedFolder ScreenRecorder::prepareRecordingsFolder(const QString &folder)
{
    const auto unusable = [&](const QString &why) {
        return PreparedFolder{
            {},
            QStringLiteral("The Recordings folder %1 can't be used: %2.").arg(QDir::toNativeSeparators(folder), why)};
    };
    QString why;
    const QFileInfo info(folder);
    if (info.isSymLink()) {
        // A link the user made there (to a larger disk, say) is followed to a folder of their own.
        const QString target = QDir::toNativeSeparators(info.symLinkTarget());
        const QFileInfo resolved(info.symLinkTarget());
        if (!resolved.exists())
            return unusable(QStringLiteral("it is a link to %1, which does not exist").arg(target));
        if (!resolved.isDir())
            return unusable(QStringLiteral("it is a link to %1, which is not a folder").arg(target));
        const QString path = resolved.canonicalFilePath();
        // Private: a recording can show anything that was on the screen.
        if (!preparePrivateDirectory(path, /*create=*/false, /*tighten=*/true, &why))
            return unusable(QStringLiteral("it is a link to %1, and %2").arg(target, why));
        return {path, {}};
    }
    if (!makePrivatePath(info.absolutePath(), &why))
        return unusable(why);
    if (!preparePrivateDirectory(folder, /*create=*/true, /*tighten=*/true, &why))
        return unusable(why);
    return {folder, {}};
}

QString ScreenRecorder::fileName(const QDateTime &localTime)
{
    return QStringLiteral("Recording ") + localTime.toString(QStringLiteral("yyyy-MM-dd 'at' HH.mm.ss"))
        + QStringLiteral(".mp4");
}

void ScreenRecorder::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    if (onStateChange)
        onStateChange(state);
}

std::optional<RecordingError> ScreenRecorder::start(const std::optional<RegionSelection> &selection,
                                                    const RecordingAudioPreferences &audio)
{
    if (m_state != State::idle)
        return std::nullopt;
    setState(State::starting);
    const auto failed = [this](RecordingError error) {
        setState(State::idle);
        return error;
    };

    QScreen *screen = nullptr;
    if (selection) {
        for (QScreen *candidate : QGuiApplication::screens())
            if (candidate->name() == selection->screenName)
                screen = candidate;
    } else {
        screen = QGuiApplication::screenAt(QCursor::pos());
        if (!screen)
            screen = QGuiApplication::primaryScreen();
    }
    if (!screen)
        return failed(RecordingError::noDisplay);
    const qreal scale = screen->devicePixelRatio();
    const QRect logical = screen->geometry();
    const QRect native(logical.topLeft(), (QSizeF(logical.size()) * scale).toSize());
    std::optional<QRectF> rect;
    if (selection && selection->rect)
        rect = QRectF(*selection->rect);
    const recording::CaptureArea area = recording::captureArea(logical, scale, native, rect);

    const PreparedFolder folder = prepareRecordingsFolder(m_folder);
    m_folderProblem = folder.problem;
    if (folder.path.isEmpty())
        return failed(RecordingError::folderUnusable);
    const QDateTime now = QDateTime::currentDateTime();
    QString path = QDir(folder.path).filePath(fileName(now));
    for (int n = 2; QFile::exists(path); ++n)
        path =
            QDir(folder.path).filePath(fileName(now).replace(QStringLiteral(".mp4"), QStringLiteral(" %1.mp4").arg(n)));

    auto session = std::make_unique<RecordingSession>();
    QString error;
    // Both streams open side by side, each within its own bound.
    QString micError;
    std::future<std::unique_ptr<PulseAudioCapture>> mic;
    if (audio.micEnabled)
        mic = std::async(std::launch::async, [device = audio.micDeviceID, &micError] {
            return PulseAudioCapture::open(device, QStringLiteral("Microphone"), &micError);
        });
    if (audio.systemAudioEnabled) {
        session->audio[MovieWriter::systemAudio] =
            PulseAudioCapture::open(PulseAudioCapture::defaultMonitor, QStringLiteral("System audio"), &error);
        if (!session->audio[MovieWriter::systemAudio])
            qCWarning(lcRecording, "Recording without system audio: %s", qUtf8Printable(error));
    }
    if (mic.valid()) {
        session->audio[MovieWriter::microphone] = mic.get();
        if (!session->audio[MovieWriter::microphone])
            qCWarning(lcRecording, "Recording without the microphone: %s", qUtf8Printable(micError));
    }
    session->writer = MovieWriter::create({path, area.output, session->audio[MovieWriter::systemAudio] != nullptr,
                                           session->audio[MovieWriter::microphone] != nullptr},
                                          &error);
    if (!session->writer) {
        qCCritical(lcRecording, "The recording file couldn't be created: %s", qUtf8Printable(error));
        return failed(RecordingError::writerFailed);
    }
    for (int track : {MovieWriter::systemAudio, MovieWriter::microphone})
        if (!session->writer->hasAudioTrack(MovieWriter::AudioTrack(track)))
            session->audio[size_t(track)].reset();
    QStringList missingAudio;
    if (audio.systemAudioEnabled && !session->audio[MovieWriter::systemAudio])
        missingAudio << QStringLiteral("system audio");
    if (audio.micEnabled && !session->audio[MovieWriter::microphone])
        missingAudio << QStringLiteral("microphone");
    session->grabber = ScreenGrabber::open(X11Desktop::displayName(), area.source, &error);
    if (!session->grabber) {
        qCCritical(lcRecording, "Screen capture failed to start: %s", qUtf8Printable(error));
        session->writer->finish();
        return failed(RecordingError::noDisplay);
    }
    if (area.source.size() != area.output) {
        // A screen smaller than two pixels; nothing sensible to record.
        session->writer->finish();
        return failed(RecordingError::noDisplay);
    }

    QPointer<ScreenRecorder> self(this);
    session->onFault = [self](StopCause cause) {
        QMetaObject::invokeMethod(self.data(),
                                  QUILLMERE_HANDED_OVER(nullptr,
                                                        [self, cause] {
                                                            if (self)
                                                                self->sessionFault(cause);
                                                        }),
                                  Qt::QueuedConnection);
    };
    m_session = std::move(session);
    m_session->run();
    m_statistics = {};
    m_stopCause.reset();
    m_missingAudio = missingAudio;
    m_screen = screen;
    m_startedAt = QDateTime::currentDateTimeUtc();
    setState(State::recording);
    return std::nullopt;
}

bool ScreenRecorder::stop(std::function<void(const RecordingResult &)> done)
{
    if (m_state != State::recording || m_finishing)
        return false;
    finishSession(std::move(done), false);
    return true;
}

void ScreenRecorder::setMicMuted(bool muted)
{
    if (m_session)
        m_session->micMuted = muted;
}

void ScreenRecorder::sessionFault(StopCause cause)
{
    if (m_state == State::recording && !m_finishing) {
        m_stopCause = cause;
        finishSession({}, true);
    }
}

void ScreenRecorder::finishSession(std::function<void(const RecordingResult &)> done, bool unexpected)
{
    m_finishing = true;
    m_unexpected = unexpected;
    m_done = std::move(done);
    RecordingSession *session = m_session.get();
    QPointer<ScreenRecorder> self(this);
    m_finisher = std::thread([session, self] {
        RecordingResult result = session->finish();
        // The recorder joins this thread before it goes, so `self` is alive here.
        QMetaObject::invokeMethod(self.data(),
                                  QUILLMERE_HANDED_OVER(nullptr,
                                                        [self, result] {
                                                            if (self) {
                                                                self->m_finalResult = result;
                                                                self->sessionFinished();
                                                            }
                                                        }),
                                  Qt::QueuedConnection);
    });
}

void ScreenRecorder::sessionFinished()
{
    if (m_finisher.joinable())
        m_finisher.join();
    const RecordingResult result = m_finalResult;
    if (m_session) {
        m_statistics.dropped = m_session->dropped();
        m_statistics.frames = m_session->writer->frameCount();
    }
    m_session.reset();
    m_finishing = false;
    setState(State::idle);
    auto done = std::move(m_done);
    m_done = {};
    if (m_unexpected) {
        if (onUnexpectedStop)
            onUnexpectedStop(result);
    } else if (done) {
        done(result);
    }
}

} // namespace quillmere
