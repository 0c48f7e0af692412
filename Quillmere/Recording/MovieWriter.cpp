#include "Quillmere/Recording/MovieWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <QFile>
#include <QFileInfo>

#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace quillmere {

namespace {

constexpr int audioRate = 48000;
constexpr AVRational videoTimeBase{1, 1000};

QString describe(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

} // namespace

struct MovieWriter::Track {
    AVCodecContext *codec = nullptr;
    AVStream *stream = nullptr;
    SwrContext *resampler = nullptr;
    AVAudioFifo *fifo = nullptr;
    AVFrame *frame = nullptr;
    qint64 nextPts = -1;

    ~Track()
    {
        av_frame_free(&frame);
        if (fifo)
            av_audio_fifo_free(fifo);
        swr_free(&resampler);
        avcodec_free_context(&codec);
    }
};

std::unique_ptr<MovieWriter> MovieWriter::create(const Options &options, QString *error)
{
    // The libraries' own chatter would otherwise fill the program's error output.
    av_log_set_level(AV_LOG_ERROR);
    std::unique_ptr<MovieWriter> writer(new MovieWriter);
    if (!writer->openFile(options, error)) {
        writer->discard();
        return nullptr;
    }
    return writer;
}

bool MovieWriter::openFile(const Options &options, QString *error)
{
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (options.size.width() < 2 || options.size.height() < 2 || options.size.width() % 2 || options.size.height() % 2)
        return fail(QStringLiteral("the movie size must be even"));
    m_path = options.path;
    const QFileInfo info(m_path);
    m_partialPath = info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".part");
    // Created here, private, so the muxer's own open keeps the mode.
    const QByteArray partial = QFile::encodeName(m_partialPath);
    m_lockFd = ::open(partial.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (m_lockFd < 0)
        return fail(QStringLiteral("cannot create %1").arg(m_partialPath));
    ::flock(m_lockFd, LOCK_EX | LOCK_NB);

    if (avformat_alloc_output_context2(&m_format, nullptr, "mp4", partial.constData()) < 0 || !m_format)
        return fail(QStringLiteral("no MPEG-4 muxer"));

    const AVCodec *h264 = avcodec_find_encoder_by_name("libx264");
    if (!h264)
        h264 = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!h264)
        return fail(QStringLiteral("no H.264 encoder"));
    m_video = std::make_unique<Track>();
    m_video->codec = avcodec_alloc_context3(h264);
    AVCodecContext *v = m_video->codec;
    v->width = options.size.width();
    v->height = options.size.height();
    v->pix_fmt = AV_PIX_FMT_YUV420P;
    v->time_base = videoTimeBase;
    v->framerate = {30, 1};
    if (m_format->oformat->flags & AVFMT_GLOBALHEADER)
        v->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The default preset cannot keep up with a large screen in real time on ordinary machines.
    av_opt_set(v->priv_data, "preset", "veryfast", 0);
    if (const int code = avcodec_open2(v, h264, nullptr); code < 0)
        return fail(QStringLiteral("H.264 encoder: %1").arg(describe(code)));
    m_video->stream = avformat_new_stream(m_format, nullptr);
    m_video->stream->time_base = v->time_base;
    avcodec_parameters_from_context(m_video->stream->codecpar, v);

    m_scaler = sws_getContext(v->width, v->height, AV_PIX_FMT_BGR0, v->width, v->height, AV_PIX_FMT_YUV420P,
                              SWS_BILINEAR, nullptr, nullptr, nullptr);
    m_videoFrame = av_frame_alloc();
    m_videoFrame->format = v->pix_fmt;
    m_videoFrame->width = v->width;
    m_videoFrame->height = v->height;
    if (!m_scaler || av_frame_get_buffer(m_videoFrame, 0) < 0)
        return fail(QStringLiteral("no video converter"));

    const bool wanted[2] = {options.systemAudio, options.microphone};
    for (int i = 0; i < 2; ++i) {
        if (!wanted[i])
            continue;
        const AVCodec *aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!aac)
            continue;
        auto track = std::make_unique<Track>();
        track->codec = avcodec_alloc_context3(aac);
        AVCodecContext *a = track->codec;
        a->sample_fmt = AV_SAMPLE_FMT_FLTP;
        a->sample_rate = audioRate;
        av_channel_layout_default(&a->ch_layout, 2);
        a->bit_rate = 160000;
        a->time_base = {1, audioRate};
        if (m_format->oformat->flags & AVFMT_GLOBALHEADER)
            a->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
        // A track the encoder cannot take is left out; the recording goes on without it.
        if (avcodec_open2(a, aac, nullptr) < 0
            || swr_alloc_set_opts2(&track->resampler, &stereo, AV_SAMPLE_FMT_FLTP, audioRate, &stereo,
                                   AV_SAMPLE_FMT_S16, audioRate, 0, nullptr)
                < 0
            || swr_init(track->resampler) < 0)
            continue;
        track->fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 2, a->frame_size * 4);
        track->frame = av_frame_alloc();
        track->frame->format = a->sample_fmt;
        track->frame->sample_rate = audioRate;
        av_channel_layout_copy(&track->frame->ch_layout, &a->ch_layout);
        track->frame->nb_samples = a->frame_size;
        if (!track->fifo || av_frame_get_buffer(track->frame, 0) < 0)
            continue;
        track->stream = avformat_new_stream(m_format, nullptr);
        track->stream->time_base = a->time_base;
        avcodec_parameters_from_context(track->stream->codecpar, a);
        m_audio[size_t(i)] = std::move(track);
    }

    if (const int code = avio_open(&m_format->pb, partial.constData(), AVIO_FLAG_WRITE); code < 0)
        return fail(QStringLiteral("cannot open %1: %2").arg(m_partialPath, describe(code)));
    if (const int code = avformat_write_header(m_format, nullptr); code < 0)
        return fail(QStringLiteral("cannot start the movie: %1").arg(describe(code)));
    m_headerWritten = true;
    return true;
}

MovieWriter::~MovieWriter()
{
    if (m_format && m_format->pb)
        avio_closep(&m_format->pb);
    avformat_free_context(m_format);
    sws_freeContext(m_scaler);
    av_frame_free(&m_videoFrame);
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

bool MovieWriter::hasAudioTrack(AudioTrack track) const
{
    return m_audio[size_t(track)] != nullptr;
}

void MovieWriter::fail(const char *context, int code)
{
    m_failed = true;
    if (m_loggedFailure)
        return;
    m_loggedFailure = true;
    qCCritical(lcRecording, "%s: %s", context,
               qUtf8Printable(code ? describe(code) : QStringLiteral("no writer error")));
}

bool MovieWriter::encode(Track &track, AVFrame *frame)
{
    if (const int code = avcodec_send_frame(track.codec, frame); code < 0 && code != AVERROR_EOF) {
        fail("Encoder failed mid-recording", code);
        return false;
    }
    AVPacket *packet = av_packet_alloc();
    bool ok = true;
    for (;;) {
        const int code = avcodec_receive_packet(track.codec, packet);
        if (code == AVERROR(EAGAIN) || code == AVERROR_EOF)
            break;
        if (code < 0) {
            fail("Encoder failed mid-recording", code);
            ok = false;
            break;
        }
        av_packet_rescale_ts(packet, track.codec->time_base, track.stream->time_base);
        packet->stream_index = track.stream->index;
        // A full disk or a vanished folder ends up here.
        if (const int written = av_interleaved_write_frame(m_format, packet); written < 0) {
            fail("Movie writer failed mid-recording", written);
            ok = false;
            break;
        }
    }
    av_packet_free(&packet);
    return ok;
}

void MovieWriter::appendVideo(const uint8_t *pixels, int stride, qint64 timeUs)
{
    if (m_failed)
        return;
    if (m_sessionStart < 0)
        m_sessionStart = timeUs;
    const qint64 pts = std::max(m_lastVideoPts + 1, (timeUs - m_sessionStart) / 1000);
    if (av_frame_make_writable(m_videoFrame) < 0)
        return;
    const uint8_t *const src[1] = {pixels};
    const int srcStride[1] = {stride};
    sws_scale(m_scaler, src, srcStride, 0, m_videoFrame->height, m_videoFrame->data, m_videoFrame->linesize);
    m_videoFrame->pts = pts;
    m_lastVideoPts = pts;
    if (encode(*m_video, m_videoFrame))
        ++m_frameCount;
}

void MovieWriter::appendAudio(AudioTrack which, const int16_t *samples, int frames, qint64 timeUs)
{
    Track *track = m_audio[size_t(which)].get();
    if (!track || m_failed || m_sessionStart < 0 || timeUs < m_sessionStart)
        return;
    const qint64 expected = (timeUs - m_sessionStart) * audioRate / 1000000;
    const qint64 queued = av_audio_fifo_size(track->fifo);
    // The first samples, and those after a gap (a muted microphone), go where they were heard.
    if (track->nextPts < 0 || expected > track->nextPts + queued + audioRate / 10) {
        // Less than a frame is left over; the encoder takes a short frame only at the end.
        av_audio_fifo_reset(track->fifo);
        track->nextPts = expected;
    } else if (expected + audioRate / 10 < track->nextPts + queued) {
        // A sound card whose clock runs fast gets ahead of the picture; let the clock catch up.
        return;
    }
    float *planes[2] = {};
    std::vector<float> left(static_cast<size_t>(frames)), right(static_cast<size_t>(frames));
    planes[0] = left.data();
    planes[1] = right.data();
    const uint8_t *in[1] = {reinterpret_cast<const uint8_t *>(samples)};
    const int converted = swr_convert(track->resampler, reinterpret_cast<uint8_t **>(planes), frames, in, frames);
    if (converted > 0)
        av_audio_fifo_write(track->fifo, reinterpret_cast<void **>(planes), converted);
    flushAudio(*track, false);
}

void MovieWriter::flushAudio(Track &track, bool final)
{
    const int frameSize = track.codec->frame_size;
    const bool smallLast = track.codec->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
    while (!m_failed) {
        const int available = av_audio_fifo_size(track.fifo);
        if (available == 0 || (available < frameSize && !(final && smallLast))) {
            if (final)
                av_audio_fifo_reset(track.fifo);
            return;
        }
        const int n = std::min(available, frameSize);
        if (av_frame_make_writable(track.frame) < 0)
            return;
        track.frame->nb_samples = n;
        av_audio_fifo_read(track.fifo, reinterpret_cast<void **>(track.frame->data), n);
        track.frame->pts = track.nextPts;
        track.nextPts += n;
        encode(track, track.frame);
    }
}

void MovieWriter::discard()
{
    if (m_format && m_format->pb)
        avio_closep(&m_format->pb);
    if (!m_partialPath.isEmpty())
        QFile::remove(m_partialPath);
}

RecordingResult MovieWriter::finish()
{
    if (m_sessionStart < 0 || m_frameCount == 0) {
        if (!m_loggedFailure)
            qCCritical(lcRecording, "Finalizing a recording that captured no frames: no writer error");
        discard();
        return RecordingError::noFramesCaptured;
    }
    if (!m_failed) {
        encode(*m_video, nullptr);
        for (auto &track : m_audio) {
            if (!track)
                continue;
            flushAudio(*track, true);
            encode(*track, nullptr);
        }
    }
    const int trailer = m_failed ? -1 : av_write_trailer(m_format);
    const int closed = m_format->pb ? avio_closep(&m_format->pb) : 0;
    if (m_failed || trailer < 0 || closed < 0) {
        fail("Movie writer did not complete", trailer < 0 && trailer != -1 ? trailer : closed);
        discard();
        return RecordingError::saveFailed;
    }
    if (QFile::exists(m_path) || !QFile::rename(m_partialPath, m_path)) {
        qCCritical(lcRecording, "Movie writer did not complete: cannot move the movie to %s", qUtf8Printable(m_path));
        discard();
        return RecordingError::saveFailed;
    }
    return m_path;
}

} // namespace quillmere
