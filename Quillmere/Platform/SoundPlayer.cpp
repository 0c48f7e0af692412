#include "Quillmere/Platform/SoundPlayer.h"

#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/PrivateDirectory.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtEndian>
#include <alsa/asoundlib.h>
#include <canberra.h>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

namespace quillmere {
namespace {

constexpr int kRate = 44100;

struct Tone {
    double frequency;
    double start;    // seconds
    double duration; // seconds
    double decay;    // per second
    double gain;
};

QByteArray renderWav(const std::vector<Tone> &tones, double length)
{
    const int frames = int(length * kRate);
    QByteArray pcm(frames * 2, Qt::Uninitialized);
    for (int i = 0; i < frames; ++i) {
        const double t = double(i) / kRate;
        double v = 0;
        for (const Tone &tone : tones) {
            const double local = t - tone.start;
            if (local < 0 || local > tone.duration)
                continue;
            const double attack = std::min(1.0, local / 0.004); // no click at the start
            v += tone.gain * attack * std::exp(-tone.decay * local) * std::sin(2 * M_PI * tone.frequency * local);
        }
        const qint16 sample = qint16(std::clamp(v, -1.0, 1.0) * 32000);
        qToLittleEndian<qint16>(sample, pcm.data() + 2 * i);
    }
    QByteArray wav;
    auto u32 = [&](quint32 x) {
        char b[4];
        qToLittleEndian(x, b);
        wav.append(b, 4);
    };
    auto u16 = [&](quint16 x) {
        char b[2];
        qToLittleEndian(x, b);
        wav.append(b, 2);
    };
    wav.append("RIFF");
    u32(36 + quint32(pcm.size()));
    wav.append("WAVEfmt ");
    u32(16);
    u16(1);
    u16(1);
    u32(kRate);
    u32(kRate * 2);
    u16(2);
    u16(16);
    wav.append("data");
    u32(quint32(pcm.size()));
    wav.append(pcm);
    return wav;
}

// libasound reports a machine without a sound card on stderr, several lines per attempt; the
// failure itself reaches us through libcanberra's result, so the lines are for developers only.
void alsaErrorToDebugLog(const char *file, int line, const char *function, int err, const char *format, ...)
{
    if (!lcApp().isDebugEnabled())
        return;
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    qCDebug(lcApp, "ALSA %s:%d (%s): %s", file, line, function, text);
}

} // namespace

SoundThread::SoundThread(SoundPlayer &player) : m_player(player), m_thread([this] { run(); })
{
}

SoundThread::~SoundThread()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
        m_waiting.clear();
    }
    m_wake.notify_one();
    m_thread.join();
}

void SoundThread::play(const QString &name)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_waiting.size() >= maxWaiting)
            return; // a burst of copies needs no queue of sounds
        m_waiting.push_back(name);
    }
    m_wake.notify_one();
}

void SoundThread::run()
{
    for (;;) {
        QString name;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_quit || !m_waiting.empty(); });
            if (m_quit)
                return;
            name = std::move(m_waiting.front());
            m_waiting.pop_front();
        }
        m_player.play(name);
    }
}

bool RetryBackoff::failed(qint64 nowMs)
{
    const bool first = m_delayMs == 0;
    m_delayMs = first ? firstDelayMs : std::min(m_delayMs * 2, maxDelayMs);
    m_nextTryMs = nowMs + m_delayMs;
    return first;
}

QByteArray CanberraSoundPlayer::synthesize(const QString &name)
{
    if (name == QLatin1String("Pop"))
        return renderWav({{620, 0, 0.09, 38, 0.55}, {1240, 0, 0.05, 60, 0.15}}, 0.1);
    if (name == QLatin1String("Glass"))
        return renderWav({{1568, 0, 0.45, 7, 0.35}, {2093, 0.07, 0.4, 8, 0.3}, {3136, 0.07, 0.25, 14, 0.08}}, 0.5);
    return {};
}

CanberraSoundPlayer::CanberraSoundPlayer(const QString &soundDirectory)
    : m_directory(soundDirectory.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
                          + QStringLiteral("/Quillmere/sounds")
                                           : soundDirectory)
{
    m_clock.start();
}

CanberraSoundPlayer::CanberraSoundPlayer(InMemory)
{
    m_clock.start();
}

FileDescriptor::~FileDescriptor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

CanberraSoundPlayer::~CanberraSoundPlayer()
{
    closeContext();
}

QString CanberraSoundPlayer::soundFile(const QString &name)
{
    const QByteArray wav = synthesize(name);
    if (wav.isEmpty())
        return {};
    if (m_directory.isEmpty()) {
        // The player reads the file by name, in this process.
        auto it = m_inMemory.find(name);
        if (it == m_inMemory.end()) {
            FileDescriptor file(::memfd_create(name.toUtf8().constData(), MFD_CLOEXEC));
            if (file.get() < 0 || ::write(file.get(), wav.constData(), size_t(wav.size())) != wav.size())
                return {};
            it = m_inMemory.emplace(name, std::move(file)).first;
        }
        return QStringLiteral("/proc/self/fd/%1").arg(it->second.get());
    }
    const QString path = m_directory + QLatin1Char('/') + name + QStringLiteral(".wav");
    if (QFileInfo(path).size() == wav.size())
        return path;
    if (!makePrivatePath(m_directory) || !writeFileAtomically(path, wav, nullptr))
        return {};
    return path;
}

bool CanberraSoundPlayer::openContext()
{
    if (m_context)
        return true;
    snd_lib_error_set_handler(alsaErrorToDebugLog);
    if (ca_context_create(&m_context) != CA_SUCCESS) {
        m_context = nullptr;
        return false;
    }
    // The desktop's sound server first: the raw ALSA fallback only complains on machines
    // without a sound card.
    if (ca_context_set_driver(m_context, "pulse") != CA_SUCCESS || ca_context_open(m_context) != CA_SUCCESS) {
        closeContext();
        if (ca_context_create(&m_context) != CA_SUCCESS) {
            m_context = nullptr;
            return false;
        }
    }
    return true;
}

void CanberraSoundPlayer::closeContext()
{
    if (m_context)
        ca_context_destroy(m_context);
    m_context = nullptr;
}

void CanberraSoundPlayer::fail(const char *reason)
{
    // A sound server may start or a device appear later: the next attempt starts afresh.
    closeContext();
    if (m_backoff.failed(m_clock.elapsed()))
        qCInfo(lcApp, "Feedback sound failed (%s); trying again later, less often while it keeps failing", reason);
}

void CanberraSoundPlayer::play(const QString &name)
{
    if (!m_backoff.mayTry(m_clock.elapsed()))
        return;
    const QString path = soundFile(name);
    if (path.isEmpty())
        return;
    if (!openContext())
        return fail("no sound context");
    const int result = ca_context_play(m_context, 0, CA_PROP_MEDIA_FILENAME, QFile::encodeName(path).constData(),
                                       CA_PROP_EVENT_DESCRIPTION, name.toUtf8().constData(), nullptr);
    if (result != CA_SUCCESS)
        return fail(ca_strerror(result));
    m_backoff.succeeded();
}

} // namespace quillmere
