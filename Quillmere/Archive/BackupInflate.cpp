// Inflating backups: our own files piece by piece on the thread pool, anything else serially,
// both bounded by what the stream inflates to, their texts cut as they come out.
#include "Quillmere/Archive/BackupArchive.h"
#include "Quillmere/Archive/JsonStringCutter.h"
#include "Quillmere/Platform/Core/HandOver.h"

#include <QThreadPool>
#include <QtConcurrent>
#include <algorithm>
#include <atomic>
#include <vector>
#include <zlib.h>

namespace quillmere::backup {

namespace {

enum class PieceEnd { open, final };

struct Piece {
    QByteArray bytes;
    bool atRest = true; // ends outside every string, as the next piece assumes it starts
};

// Inflates one stretch from a fresh state, its strings cut to `maxString` as they come. Holds only
// when it decodes without reaching back before its start and stops exactly where it should: at a
// block boundary with no bits left over (an open piece), or at the end of the stream.
std::optional<Piece> inflatePiece(const char *data, qsizetype size, PieceEnd end, qint64 maxOutput, qint64 maxString,
                                  std::atomic<qint64> &produced, std::atomic<bool> &exceeded)
{
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return std::nullopt;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    stream.avail_in = uInt(size);
    archive::JsonStringCutter cutter(maxString);
    Piece piece;
    piece.bytes.reserve(std::max<qsizetype>(size * 2, 64 * 1024));
    std::vector<char> scratch(256 * 1024);
    int status = Z_OK;
    bool atBoundary = false;
    for (;;) {
        stream.next_out = reinterpret_cast<Bytef *>(scratch.data());
        stream.avail_out = uInt(scratch.size());
        status = inflate(&stream, Z_BLOCK);
        const qsizetype got = qsizetype(scratch.size() - stream.avail_out);
        if (got > 0) {
            if (produced.fetch_add(got) + got > maxOutput) {
                exceeded = true;
                break;
            }
            cutter.feed(scratch.data(), got, &piece.bytes);
        }
        // Z_BUF_ERROR: no progress is possible, the input is used up.
        if (status != Z_OK || exceeded)
            break;
        // Input used up between two blocks, and not in the last one: a clean end of an open piece.
        atBoundary = stream.avail_in == 0 && (stream.data_type & (128 | 64 | 7)) == 128;
        if (atBoundary && end == PieceEnd::open)
            break;
    }
    const bool holds = stream.avail_in == 0 && !exceeded
        && (end == PieceEnd::final ? status == Z_STREAM_END : (status != Z_STREAM_END && atBoundary));
    inflateEnd(&stream);
    if (!holds)
        return std::nullopt;
    piece.atRest = cutter.atRest();
    return piece;
}

// Where a piece of ours may start: after the four bytes that end an empty stored block. A match
// by chance fails the check of `inflatePiece`.
std::vector<qsizetype> pieceStarts(const QByteArray &input)
{
    std::vector<qsizetype> starts{0};
    static const char marker[] = {'\0', '\0', '\xff', '\xff'};
    const QByteArrayView needle(marker, 4);
    constexpr qsizetype minimumPiece = 4096;
    qsizetype from = minimumPiece;
    while (from < input.size()) {
        const qsizetype at = QByteArrayView(input).indexOf(needle, from);
        if (at < 0 || at + 4 >= input.size())
            break;
        starts.push_back(at + 4);
        from = at + 4 + minimumPiece;
    }
    return starts;
}

} // namespace

std::optional<QByteArray> inflateInPieces(const QByteArray &input, qint64 maxOutput, bool *exceeded,
                                          qint64 maxStringBytes)
{
    const std::vector<qsizetype> starts = pieceStarts(input);
    if (starts.size() < 2)
        return std::nullopt;
    std::vector<std::optional<Piece>> pieces(starts.size());
    std::atomic<qint64> produced = 0;
    std::atomic<bool> tooLarge = false;
    std::vector<size_t> indices(starts.size());
    for (size_t i = 0; i < indices.size(); ++i)
        indices[i] = i;
    QtConcurrent::blockingMap(QThreadPool::globalInstance(), indices, QUILLMERE_HANDED_OVER(&indices, [&](size_t i) {
                                  const bool last = i + 1 == starts.size();
                                  const qsizetype end = last ? input.size() : starts[i + 1];
                                  pieces[i] = inflatePiece(input.constData() + starts[i], end - starts[i],
                                                           last ? PieceEnd::final : PieceEnd::open, maxOutput,
                                                           maxStringBytes, produced, tooLarge);
                              }));
    takeOver(&indices);
    if (tooLarge) {
        if (exceeded)
            *exceeded = true;
        return std::nullopt;
    }
    qsizetype total = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        // A piece that ends inside a string was cut as if it did not: the serial pass decides.
        if (!pieces[i] || (i + 1 < pieces.size() && !pieces[i]->atRest))
            return std::nullopt;
        total += pieces[i]->bytes.size();
    }
    if (total > maxOutput) {
        if (exceeded)
            *exceeded = true;
        return std::nullopt;
    }
    QByteArray out;
    out.reserve(total);
    for (auto &piece : pieces) {
        out.append(piece->bytes);
        piece.reset();
    }
    return out;
}

std::optional<QByteArray> inflateRaw(const QByteArray &input, qint64 maxOutput, bool *exceeded, qint64 maxStringBytes)
{
    // Our own files inflate piece by piece on the thread pool; anything else, or a file whose
    // pieces do not check out, the one way that always works.
    // A stretch that only looked like a piece may have run long before failing: only the serial
    // pass says for certain that a stream is too large.
    if (auto whole = inflateInPieces(input, maxOutput, nullptr, maxStringBytes))
        return whole;
    return inflateSerially(input, maxOutput, exceeded, maxStringBytes);
}

namespace {

// How many bytes the stream inflates to with its strings cut, counted as it inflates into a
// scratch buffer and given up past `maxOutput` inflated: a bomb is refused having held no more
// than the buffer.
std::optional<qint64> inflatedSize(const QByteArray &input, qint64 maxOutput, bool *exceeded, qint64 maxString)
{
    archive::JsonStringCutter cutter(maxString);
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return std::nullopt;
    const char *next = input.constData();
    qint64 remaining = input.size();
    std::vector<char> buffer(256 * 1024);
    qint64 total = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (stream.avail_in == 0) {
            if (remaining == 0)
                break;
            const uInt chunk = uInt(std::min<qint64>(remaining, 1 << 30));
            stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(next));
            stream.avail_in = chunk;
            next += chunk;
            remaining -= chunk;
        }
        stream.next_out = reinterpret_cast<Bytef *>(buffer.data());
        stream.avail_out = uInt(buffer.size());
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
            break;
        const qint64 got = qint64(buffer.size() - stream.avail_out);
        cutter.feed(buffer.data(), got, nullptr);
        total += got;
        if (total > maxOutput) {
            if (exceeded)
                *exceeded = true;
            inflateEnd(&stream);
            return std::nullopt;
        }
        if (status == Z_BUF_ERROR && stream.avail_in == 0 && remaining == 0)
            break;
    }
    const bool complete = status == Z_STREAM_END && stream.avail_in == 0 && remaining == 0;
    inflateEnd(&stream);
    return complete ? std::optional(cutter.keptBytes()) : std::nullopt;
}

} // namespace

std::optional<QByteArray> inflateSerially(const QByteArray &input, qint64 maxOutput, bool *exceeded,
                                          qint64 maxStringBytes)
{
    if (exceeded)
        *exceeded = false;
    const auto size = inflatedSize(input, maxOutput, exceeded, maxStringBytes);
    if (!size)
        return std::nullopt;
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return std::nullopt;
    QByteArray out;
    out.reserve(qsizetype(*size));
    const char *next = input.constData();
    qint64 remaining = input.size();
    char buffer[64 * 1024];
    archive::JsonStringCutter cutter(maxStringBytes);
    qint64 inflated = 0;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (stream.avail_in == 0) {
            if (remaining == 0)
                break; // the stream stops short
            const uInt chunk = uInt(std::min<qint64>(remaining, 1 << 30));
            stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(next));
            stream.avail_in = chunk;
            next += chunk;
            remaining -= chunk;
        }
        stream.next_out = reinterpret_cast<Bytef *>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            inflateEnd(&stream);
            return std::nullopt;
        }
        const qint64 produced = qint64(sizeof buffer - stream.avail_out);
        inflated += produced;
        if (inflated > maxOutput) {
            inflateEnd(&stream);
            if (exceeded)
                *exceeded = true;
            return std::nullopt;
        }
        cutter.feed(buffer, qsizetype(produced), &out);
        if (status == Z_BUF_ERROR && stream.avail_in == 0 && remaining == 0)
            break;
    }
    const bool complete = status == Z_STREAM_END && stream.avail_in == 0 && remaining == 0;
    inflateEnd(&stream);
    if (!complete)
        return std::nullopt;
    return out;
}

} // namespace quillmere::backup
