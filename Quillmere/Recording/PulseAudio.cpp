#include "Quillmere/Recording/PulseAudio.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/simple.h>

#include <QDeadlineTimer>
#include <QSet>

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

} // namespace

QList<RecordingAudioDevice> RecordingAudioDevice::available()
{
    pa_mainloop *loop = pa_mainloop_new();
    pa_context *context = pa_context_new(pa_mainloop_get_api(loop), "Brindlewax");
    SourceWalk walk;
    QDeadlineTimer deadline(500);
    if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        pa_operation *operation = nullptr;
        while (!walk.done && !deadline.hasExpired()) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (!PA_CONTEXT_IS_GOOD(state))
                break;
            if (state == PA_CONTEXT_READY && !operation)
                operation = pa_context_get_source_info_list(context, &onSource, &walk);
            // Waits at most 50 ms, so the deadline holds.
            pa_mainloop_prepare(loop, 50000);
            pa_mainloop_poll(loop);
            pa_mainloop_dispatch(loop);
        }
        if (operation)
            pa_operation_unref(operation);
        pa_context_disconnect(context);
    }
    if (context)
        pa_context_unref(context);
    pa_mainloop_free(loop);
    return walk.done ? walk.devices : QList<RecordingAudioDevice>{};
}

std::unique_ptr<PulseAudioCapture> PulseAudioCapture::open(const std::optional<QString> &device,
                                                           const QString &streamName, QString *error)
{
    const pa_sample_spec spec{PA_SAMPLE_S16LE, sampleRate, channels};
    pa_buffer_attr attr{};
    attr.maxlength = uint32_t(-1);
    attr.fragsize = uint32_t(framesPerRead * channels * sizeof(int16_t));
    const QByteArray deviceName = device ? device->toUtf8() : QByteArray();
    const QByteArray name = streamName.toUtf8();
    int code = 0;
    pa_simple *stream =
        pa_simple_new(nullptr, "Brindlewax", PA_STREAM_RECORD, device ? deviceName.constData() : nullptr,
                      name.constData(), &spec, nullptr, &attr, &code);
    if (!stream) {
        if (error)
            *error = QString::fromUtf8(pa_strerror(code));
        return nullptr;
    }
    std::unique_ptr<PulseAudioCapture> capture(new PulseAudioCapture);
    capture->m_stream = stream;
    return capture;
}

PulseAudioCapture::~PulseAudioCapture()
{
    if (m_stream)
        pa_simple_free(m_stream);
}

bool PulseAudioCapture::read(int16_t *samples)
{
    int code = 0;
    return pa_simple_read(m_stream, samples, size_t(framesPerRead * channels) * sizeof(int16_t), &code) >= 0;
}

} // namespace quillmere
