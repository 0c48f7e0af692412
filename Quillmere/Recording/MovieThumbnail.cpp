#include "Quillmere/Recording/MovieThumbnail.h"

#include "Quillmere/Recording/RecordingGeometry.h"
#include "Quillmere/Recording/RecordingTypes.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <QBuffer>
#include <QFile>

namespace quillmere::recording {

namespace {

// Room the pixel converter may write beyond a row.
constexpr int scalerSlackPixels = 16;

struct Input {
    AVFormatContext *format = nullptr;
    AVCodecContext *codec = nullptr;
    int stream = -1;

    explicit Input(const QString &path)
    {
        const QByteArray name = QFile::encodeName(path);
        if (avformat_open_input(&format, name.constData(), nullptr, nullptr) < 0)
            return;
        if (avformat_find_stream_info(format, nullptr) < 0)
            return;
        const AVCodec *decoder = nullptr;
        stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
        if (stream < 0 || !decoder)
            return;
        codec = avcodec_alloc_context3(decoder);
        if (avcodec_parameters_to_context(codec, format->streams[stream]->codecpar) < 0
            || avcodec_open2(codec, decoder, nullptr) < 0)
            avcodec_free_context(&codec);
    }
    ~Input()
    {
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
};

QImage toImage(const AVFrame *frame)
{
    QSize size(frame->width, frame->height);
    size.scale(size.boundedTo(QSize(1200, 1200)), Qt::KeepAspectRatio);
    SwsContext *scaler = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), size.width(),
                                        size.height(), AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!scaler)
        return {};
    // The converter stores whole vectors of pixels: a row whose width is not a multiple of 8 is
    // written up to 32 bytes past its end, and past the end of an image of exactly that size.
    const int paddedWidth = (size.width() + scalerSlackPixels + 15) & ~15;
    QImage padded(paddedWidth, size.height() + 1, QImage::Format_RGB32);
    if (padded.isNull()) {
        sws_freeContext(scaler);
        return {};
    }
    uint8_t *dst[1] = {padded.bits()};
    const int dstStride[1] = {int(padded.bytesPerLine())};
    sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
    sws_freeContext(scaler);
    return padded.copy(0, 0, size.width(), size.height());
}

} // namespace

std::optional<double> movieDuration(const QString &path)
{
    Input input(path);
    if (!input.format || input.format->duration == AV_NOPTS_VALUE)
        return std::nullopt;
    return double(input.format->duration) / AV_TIME_BASE;
}

QImage movieFrame(const QString &path, double seconds)
{
    Input input(path);
    if (!input.codec)
        return {};
    const AVStream *stream = input.format->streams[input.stream];
    const double timeBase = av_q2d(stream->time_base);
    const double start = stream->start_time == AV_NOPTS_VALUE ? 0 : double(stream->start_time) * timeBase;
    const double wanted = start + seconds - 0.5;
    av_seek_frame(input.format, input.stream, qint64((start + seconds) / timeBase), AVSEEK_FLAG_BACKWARD);
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    QImage image;
    QImage last;
    bool draining = false;
    while (image.isNull()) {
        if (!draining) {
            const int read = av_read_frame(input.format, packet);
            if (read < 0) {
                draining = true;
                avcodec_send_packet(input.codec, nullptr);
            } else {
                if (packet->stream_index == input.stream)
                    avcodec_send_packet(input.codec, packet);
                av_packet_unref(packet);
            }
        }
        int code = 0;
        while ((code = avcodec_receive_frame(input.codec, frame)) == 0) {
            const qint64 pts = frame->best_effort_timestamp;
            if (pts == AV_NOPTS_VALUE || double(pts) * timeBase >= wanted) {
                image = toImage(frame);
                break;
            }
            last = toImage(frame);
        }
        if (draining && code != 0 && image.isNull()) {
            image = last;
            break;
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    return image;
}

std::optional<QByteArray> movieThumbnailPNG(const QString &path)
{
    const QImage image = movieFrame(path, thumbnailTime(movieDuration(path)));
    if (image.isNull()) {
        qCCritical(lcRecording, "Failed to generate recording thumbnail: %s", qUtf8Printable(path));
        return std::nullopt;
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG"))
        return std::nullopt;
    return png;
}

} // namespace quillmere::recording
