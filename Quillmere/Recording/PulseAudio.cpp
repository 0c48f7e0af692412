#include "Quillmere/Recording/PulseAudio.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>

#include <QDeadlineTimer>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace quillmere {

namespace {

struct SourceWalk {
    QList<RecordingAudioDevice> devices;
    QSet<QString> seen;
    bool done = false;
};

void onSource(pa_context *, const pa_source_info *info, int eol, void *userdata)
{
    auto *walk = static_cast<SourceWalk *>(userdata);
    if (eol) {
        walk->done = true;
        return;
    }
    if (!info || info->monitor_of_sink != PA_INVALID_INDEX)
        return;
    const QString id = QString::fromUtf8(info->name);
    if (walk->seen.contains(id))
        return;
    walk->seen.insert(id);
    walk->devices.append({id, QString::fromUtf8(info->description ? info->description : info->name)});
}

// One pass of the loop, waiting at most `waitMs` for the server; false when the loop broke.
bool iterateLoop(pa_mainloop *loop, int waitMs)
{
    if (pa_mainloop_prepare(loop, std::max(0, waitMs) * 1000) < 0 || pa_mainloop_poll(loop) < 0)
        return false;
    return pa_mainloop_dispatch(loop) >= 0;
}

// Runs the loop until `done` or the deadline; false when the deadline passed first.
template <typename Done> bool runUntil(pa_mainloop *loop, const QDeadlineTimer &deadline, Done done)
{
    while (!done()) {
        if (deadline.hasExpired() || !iterateLoop(loop, std::min<int>(50, int(deadline.remainingTime()))))
            return false;
    }
    return true;
}

bool contextSettled(pa_context *context)
{
    const pa_context_state_t state = pa_context_get_state(context);
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
}

qint64 steadyNowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

QList<RecordingAudioDevice> RecordingAudioDevice::available()
{
    pa_mainloop *loop = pa_mainloop_new();
    pa_context *context = pa_context_new(pa_mainloop_get_api(loop), "Brindlewax");
    SourceWalk walk;
    const QDeadlineTimer deadline(500);
    if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        if (runUntil(loop, deadline, [context] { return contextSettled(context); })
            && pa_context_get_state(context) == PA_CONTEXT_READY) {
            if (pa_operation *operation = pa_context_get_source_info_list(context, &onSource, &walk)) {
                runUntil(loop, deadline,
                         [&] { return walk.done || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)); });
                pa_operation_unref(operation);
            }
        }
        pa_context_disconnect(context);
    }
    if (context)
        pa_context_unref(context);
    pa_mainloop_free(loop);
    return walk.done ? walk.devices : QList<RecordingAudioDevice>{};
}

std::unique_ptr<PulseAudioCapture> PulseAudioCapture::open(const std::optional<QString> &device,
                                                           const QString &streamName, QString *error, int timeoutMs)
{
    std::unique_ptr<PulseAudioCapture> capture(new PulseAudioCapture);
    const auto failed = [&](const QString &why) {
        if (error)
            *error = why;
        return nullptr;
    };
    const auto serverError = [&] {
        return QString::fromUtf8(
            pa_strerror(capture->m_context ? pa_context_errno(capture->m_context) : PA_ERR_INTERNAL));
    };
    const QDeadlineTimer deadline(timeoutMs);
    capture->m_loop = pa_mainloop_new();
    capture->m_context = capture->m_loop ? pa_context_new(pa_mainloop_get_api(capture->m_loop), "Brindlewax") : nullptr;
    if (!capture->m_context || pa_context_connect(capture->m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return failed(serverError());
    pa_context *context = capture->m_context;
    if (!runUntil(capture->m_loop, deadline, [context] { return contextSettled(context); }))
        return failed(QStringLiteral("the audio server did not answer"));
    if (pa_context_get_state(context) != PA_CONTEXT_READY)
        return failed(serverError());

    const pa_sample_spec format{PA_SAMPLE_S16LE, sampleRate, channels};
    capture->m_stream = pa_stream_new(context, streamName.toUtf8().constData(), &format, nullptr);
    if (!capture->m_stream)
        return failed(serverError());
    pa_buffer_attr attr{};
    attr.maxlength = uint32_t(-1);
    attr.fragsize = uint32_t(framesPerRead * channels * sizeof(int16_t));
    const QByteArray deviceName = device ? device->toUtf8() : QByteArray();
    // Fragments of one read, so data comes as it is heard rather than in large blocks.
    const auto flags = PA_STREAM_ADJUST_LATENCY;
    pa_stream *stream = capture->m_stream;
    if (pa_stream_connect_record(stream, device ? deviceName.constData() : nullptr, &attr, flags) < 0)
        return failed(serverError());
    const auto settled = [stream] {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    };
    if (!runUntil(capture->m_loop, deadline, settled))
        return failed(QStringLiteral("the audio server did not open the stream"));
    if (pa_stream_get_state(stream) != PA_STREAM_READY)
        return failed(serverError());
    return capture;
}

PulseAudioCapture::~PulseAudioCapture()
{
    if (m_stream) {
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
    }
    if (m_context) {
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
    }
    if (m_loop)
        pa_mainloop_free(m_loop);
}

PulseAudioCapture::Read PulseAudioCapture::read(int16_t *samples, qint64 *heardUs, int waitMs)
{
    const size_t wanted = size_t(framesPerRead * channels);
    const QDeadlineTimer deadline(waitMs);
    // Everything that has come is taken before a chunk is stamped, so the last sample taken is
    // the one heard just now and what waited since the stream opened is placed before it.
    const auto takeAll = [this] {
        for (int turn = 0; turn < 1000; ++turn) {
            if (pa_stream_get_state(m_stream) != PA_STREAM_READY)
                return false;
            const void *data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(m_stream, &data, &bytes) < 0)
                return false;
            if (bytes == 0) {
                // Nothing buffered here: read what the socket holds, without waiting.
                if (pa_mainloop_iterate(m_loop, 0, nullptr) <= 0)
                    return pa_stream_get_state(m_stream) == PA_STREAM_READY;
                continue;
            }
            const size_t count = bytes / sizeof(int16_t);
            // No data with a length is a hole in the stream: silence.
            if (data)
                m_pending.insert(m_pending.end(), static_cast<const int16_t *>(data),
                                 static_cast<const int16_t *>(data) + count);
            else
                m_pending.insert(m_pending.end(), count, int16_t(0));
            pa_stream_drop(m_stream);
        }
        return true;
    };
    if (!takeAll())
        return Read::gone;
    while (m_pending.size() < wanted) {
        if (deadline.hasExpired())
            return Read::waiting;
        if (!iterateLoop(m_loop, int(deadline.remainingTime())) || !takeAll())
            return Read::gone;
    }
    const qint64 pendingUs = qint64(m_pending.size() / channels) * 1000000 / sampleRate;
    *heardUs = steadyNowUs() - pendingUs;
    std::memcpy(samples, m_pending.data(), wanted * sizeof(int16_t));
    m_pending.erase(m_pending.begin(), m_pending.begin() + std::ptrdiff_t(wanted));
    return Read::chunk;
}

} // namespace quillmere
