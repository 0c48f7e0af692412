#include "Quillmere/Archive/BackupArchive.h"

#include "Quillmere/Archive/ArchiveNames.h"
#include "Quillmere/Archive/BackupJsonReader.h"
#include "Quillmere/Archive/BoundedFile.h"
#include "Quillmere/Archive/JsonStringCutter.h"
#include "Quillmere/Archive/JsonText.h"
#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/BoundedFile.h"
#include "Quillmere/Platform/Core/HandOver.h"
#include "Quillmere/Platform/Core/InBackground.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QtConcurrent>
#include <algorithm>
#include <atomic>
#include <vector>
#include <zlib.h>

namespace quillmere {

QString ClipArchiveError::errorDescription() const
{
    switch (code) {
    case Code::unsupportedVersion:
        return QStringLiteral(
                   "This backup was made by a newer version of Brindlewax (format %1, this app understands up "
                   "to %2). Update Brindlewax and try again.")
            .arg(found)
            .arg(supported);
    case Code::corrupt:
        return QStringLiteral("This file isn't a valid Brindlewax backup, or it's damaged.");
    case Code::tooLarge:
        if (bytes > 0)
            return QStringLiteral("This backup is too large to open (%1; Brindlewax opens backups of up to %2).")
                .arg(archive::byteCountText(bytes), archive::byteCountText(cap));
        return QStringLiteral("This backup expands to more than %1, which is more than Brindlewax can open.")
            .arg(archive::byteCountText(cap));
    case Code::unreadable:
        return QStringLiteral("The backup couldn't be read: %1").arg(reason);
    }
    return {};
}

namespace backup {

QString suggestedFileName(const QDate &today)
{
    return QStringLiteral("Brindlewax-Backup-%1.%2").arg(today.toString(QStringLiteral("yyyy-MM-dd")), fileExtension);
}

std::optional<QByteArray> deflateRaw(const QByteArray &input, QString *errorText)
{
    z_stream stream{};
    // Negative window bits: a bare DEFLATE stream, no header or checksum.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        if (errorText)
            *errorText = QStringLiteral("The compressor could not start.");
        return std::nullopt;
    }
    QByteArray out;
    const char *next = input.constData();
    qint64 remaining = input.size();
    char buffer[64 * 1024];
    int status = Z_OK;
    do {
        const uInt chunk = uInt(std::min<qint64>(remaining, 1 << 30));
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(next));
        stream.avail_in = chunk;
        const int flush = remaining == chunk ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = reinterpret_cast<Bytef *>(buffer);
            stream.avail_out = sizeof buffer;
            status = deflate(&stream, flush);
            if (status == Z_STREAM_ERROR) {
                deflateEnd(&stream);
                if (errorText)
                    *errorText = QStringLiteral("The compressor failed.");
                return std::nullopt;
            }
            out.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
        } while (stream.avail_out == 0);
        next += chunk - stream.avail_in;
        remaining -= chunk - stream.avail_in;
    } while (status != Z_STREAM_END);
    deflateEnd(&stream);
    return out;
}

namespace {

// Keys in code-unit order, as the generic writer sorts them.
class JsonWriter {
public:
    explicit JsonWriter(QByteArray &out) : m_out(out) {}
    void open(char c)
    {
        m_out.append(c);
        m_first = true;
    }
    void close(char c)
    {
        m_out.append(c);
        m_first = false;
    }
    void key(QLatin1StringView name)
    {
        if (!m_first)
            m_out.append(',');
        m_first = false;
        m_out.append('"').append(name.data(), name.size()).append("\":");
    }
    // Text written before goes on: the next element needs a comma.
    void continueAfter(bool earlier) { m_first = !earlier; }
    void element()
    {
        if (!m_first)
            m_out.append(',');
        m_first = false;
    }
    void string(QLatin1StringView name, QStringView value)
    {
        key(name);
        archive::appendJsonString(m_out, value);
    }
    void optional(QLatin1StringView name, const std::optional<QString> &value)
    {
        if (value)
            string(name, QStringView(*value));
    }
    void integer(QLatin1StringView name, qint64 value)
    {
        key(name);
        m_out.append(QByteArray::number(value));
    }
    void boolean(QLatin1StringView name, bool value)
    {
        key(name);
        m_out.append(value ? "true" : "false");
    }

private:
    QByteArray &m_out;
    bool m_first = true;
};

qsizetype estimatedSize(const ClipArchiveClip &c)
{
    return 400 + c.imageDataBase64.value_or(QString()).size() + c.fileDataBase64.value_or(QString()).size()
        + 2 * (c.text.value_or(QString()).size() + c.recognizedText.value_or(QString()).size());
}

// One piece of a DEFLATE stream made of independently compressed pieces: each but the last ends
// with an empty stored block on a byte boundary without closing the stream, so the pieces join
// into one valid stream. No match reaches back into an earlier piece, so a reader may inflate the
// pieces side by side.
std::optional<QByteArray> deflatePiece(const char *data, qsizetype size, bool last, int strategy = Z_DEFAULT_STRATEGY)
{
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, strategy) != Z_OK)
        return std::nullopt;
    QByteArray out(qsizetype(deflateBound(&stream, uLong(size))) + 64, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    stream.avail_in = uInt(size);
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    const int status = deflate(&stream, last ? Z_FINISH : Z_SYNC_FLUSH);
    const bool done = last ? status == Z_STREAM_END : (status == Z_OK && stream.avail_in == 0 && stream.avail_out > 0);
    out.truncate(out.size() - qsizetype(stream.avail_out));
    deflateEnd(&stream);
    if (!done)
        return std::nullopt;
    return out;
}

std::optional<QByteArray> joined(const std::vector<std::optional<QByteArray>> &pieces, QString *errorText)
{
    qsizetype total = 0;
    for (const auto &piece : pieces) {
        if (!piece) {
            if (errorText)
                *errorText = QStringLiteral("The compressor failed.");
            return std::nullopt;
        }
        total += piece->size();
    }
    QByteArray out;
    out.reserve(total);
    for (const auto &piece : pieces)
        out.append(*piece);
    return out;
}

void writeClip(JsonWriter &w, const ClipArchiveClip &c)
{
    w.element();
    w.open('{');
    w.string(BackupNames::contentHash, QStringView(c.contentHash));
    w.string(BackupNames::createdAt, QStringView(archive::dateWithMilliseconds(c.createdAt)));
    w.optional(BackupNames::customTitle, c.customTitle);
    w.string(BackupNames::dedupID, QStringView(c.dedupID));
    w.optional(BackupNames::fileDataBase64, c.fileDataBase64);
    w.optional(BackupNames::fileName, c.fileName);
    w.optional(BackupNames::fileTypeIdentifier, c.fileTypeIdentifier);
    w.optional(BackupNames::imageDataBase64, c.imageDataBase64);
    w.boolean(BackupNames::isPinned, c.isPinned);
    w.boolean(BackupNames::isSavedToPage, c.isSavedToPage);
    w.string(BackupNames::kind, QStringView(c.kind));
    w.optional(BackupNames::linkTitle, c.linkTitle);
    w.optional(BackupNames::pageName, c.pageName);
    w.optional(BackupNames::recognizedText, c.recognizedText);
    w.optional(BackupNames::sourceAppBundleID, c.sourceAppBundleID);
    w.optional(BackupNames::sourceAppName, c.sourceAppName);
    w.optional(BackupNames::text, c.text);
    w.close('}');
}

// What follows the clips: the manifest and the Pages.
void writeTail(QByteArray &out, const ClipArchiveDocument &document)
{
    JsonWriter w(out);
    w.close(']');
    const ClipArchiveManifest &m = document.manifest;
    w.key(BackupNames::manifest);
    w.open('{');
    w.string(BackupNames::appVersion, QStringView(m.appVersion));
    w.integer(BackupNames::clipCount, m.clipCount);
    w.string(BackupNames::exportedAt, QStringView(archive::dateWithMilliseconds(m.exportedAt)));
    w.integer(BackupNames::pinboardCount, m.pinboardCount);
    w.integer(BackupNames::version, m.version);
    w.close('}');
    w.key(BackupNames::pinboards);
    w.open('[');
    for (const ClipArchivePinboard &p : document.pinboards) {
        w.element();
        w.open('{');
        w.string(BackupNames::colorName, QStringView(p.colorName));
        w.string(BackupNames::iconName, QStringView(p.iconName));
        w.string(BackupNames::name, QStringView(p.name));
        w.integer(BackupNames::sortOrder, p.sortOrder);
        w.close('}');
    }
    w.close(']');
    w.close('}');
}

// The text of clips [from, to): the head before the first clip of all, the tail after the last.
QByteArray textOfClips(const ClipArchiveDocument &document, size_t from, size_t to)
{
    QByteArray out;
    qsizetype size = 64;
    for (size_t i = from; i < to; ++i)
        size += estimatedSize(document.clips[i]);
    out.reserve(size);
    JsonWriter w(out);
    if (from == 0) {
        w.open('{');
        w.key(BackupNames::clips);
        w.open('[');
    }
    w.continueAfter(from > 0);
    for (size_t i = from; i < to; ++i)
        writeClip(w, document.clips[i]);
    if (to == document.clips.size())
        writeTail(out, document);
    return out;
}

} // namespace

QByteArray jsonText(const ClipArchiveDocument &document)
{
    return textOfClips(document, 0, document.clips.size());
}

std::optional<QByteArray> encoded(const ClipArchiveDocument &document, QString *errorText, qint64 maxJson)
{
    // Clips grouped into pieces of about the piece size, each written and compressed by a thread
    // of the pool: the whole text never exists at once.
    std::vector<std::pair<size_t, size_t>> groups;
    size_t from = 0;
    qsizetype size = 0;
    for (size_t i = 0; i < document.clips.size(); ++i) {
        size += estimatedSize(document.clips[i]);
        if (size >= defaultPieceSize) {
            groups.emplace_back(from, i + 1);
            from = i + 1;
            size = 0;
        }
    }
    if (from < document.clips.size() || groups.empty())
        groups.emplace_back(from, document.clips.size());
    std::vector<std::optional<QByteArray>> pieces(groups.size());
    // The reader refuses more text than its cap: past it, the rest is not worth compressing.
    std::atomic<qint64> textBytes = 0;
    QtConcurrent::blockingMap(QThreadPool::globalInstance(), groups,
                              QUILLMERE_HANDED_OVER(&groups, [&](const std::pair<size_t, size_t> &group) {
                                  const size_t index = size_t(&group - groups.data());
                                  const QByteArray text = textOfClips(document, group.first, group.second);
                                  if (textBytes.fetch_add(text.size()) + text.size() > maxJson)
                                      return;
                                  // Base64 of images and files has no repeats worth searching for;
                                  // coding its letters is all the compression it allows, at a
                                  // fraction of the time.
                                  qsizetype payload = 0;
                                  for (size_t i = group.first; i < group.second; ++i)
                                      payload += document.clips[i].imageDataBase64.value_or(QString()).size()
                                          + document.clips[i].fileDataBase64.value_or(QString()).size();
                                  const int strategy =
                                      payload * 10 >= text.size() * 9 ? Z_HUFFMAN_ONLY : Z_DEFAULT_STRATEGY;
                                  pieces[index] =
                                      deflatePiece(text.constData(), text.size(), index + 1 == groups.size(), strategy);
                              }));
    takeOver(&groups);
    if (textBytes > maxJson) {
        if (errorText)
            *errorText = QStringLiteral("This backup would hold more than %1, more than Brindlewax can restore. "
                                        "Delete some large images or files and try again.")
                             .arg(archive::byteCountText(maxJson));
        return std::nullopt;
    }
    auto bytes = joined(pieces, errorText);
    if (bytes && bytes->size() > maxFileBytes) {
        if (errorText)
            *errorText = QStringLiteral("This backup would be larger than %1, more than Brindlewax can restore. "
                                        "Delete some large images or files and try again.")
                             .arg(archive::byteCountText(maxFileBytes));
        return std::nullopt;
    }
    return bytes;
}

ClipArchiveReadResult decode(const QByteArray &bytes, qint64 maxJson)
{
    QByteArray json;
    if (!bytes.isEmpty()) {
        bool exceeded = false;
        if (auto inflated = inflateRaw(bytes, maxJson, &exceeded, CapturedContent::maxTextBytes)) {
            json = std::move(*inflated);
        } else if (exceeded) {
            return ClipArchiveError::tooLarge(0, maxJson);
        } else if (bytes.size() <= maxJson) {
            // Not compressed: perhaps plain JSON.
            archive::JsonStringCutter cutter(CapturedContent::maxTextBytes);
            cutter.feed(bytes.constData(), bytes.size(), &json);
        } else {
            return ClipArchiveError::tooLarge(bytes.size(), maxJson);
        }
    }
    if (json.size() > maxJson)
        return ClipArchiveError::tooLarge(json.size(), maxJson);

    auto document = archive::readBackupJson(json);
    if (!document) {
        // Whatever the quick reader was unsure of, the DOM reader judges.
        QJsonParseError parseError{};
        const QJsonDocument parsed = QJsonDocument::fromJson(json, &parseError);
        if (parseError.error != QJsonParseError::NoError || !parsed.isObject())
            return ClipArchiveError::corrupt();
        document = ClipArchiveDocument::fromJson(parsed.object());
        if (!document)
            return ClipArchiveError::corrupt();
    }
    if (document->manifest.version > ClipArchiveManifest::currentVersion)
        return ClipArchiveError::unsupportedVersion(document->manifest.version, ClipArchiveManifest::currentVersion);
    // A payload that does not decode would restore as a clip without its image or file. Checked on
    // the thread pool: the payloads are most of a backup's bytes.
    std::atomic<bool> undecodable = false;
    QtConcurrent::blockingMap(QThreadPool::globalInstance(), document->clips,
                              QUILLMERE_HANDED_OVER(&document->clips, [&](const ClipArchiveClip &clip) {
                                  if ((clip.imageDataBase64 && !archive::decodeBase64(*clip.imageDataBase64))
                                      || (clip.fileDataBase64 && !archive::decodeBase64(*clip.fileDataBase64)))
                                      undecodable = true;
                              }));
    takeOver(&document->clips);
    if (undecodable)
        return ClipArchiveError::corrupt();
    return std::move(*document);
}

ClipArchiveReadResult readFile(const QString &path, qint64 maxFile, qint64 maxJson)
{
    const BoundedFileRead read = readBoundedFile(path, maxFile);
    if (read.status == BoundedFileRead::Status::tooLarge)
        return ClipArchiveError::tooLarge(read.size, maxFile);
    if (!read.ok())
        return ClipArchiveError::unreadable(read.errorText);
    return decode(read.bytes, maxJson);
}

bool writeFile(const QString &path, const ClipArchiveDocument &document, QString *errorText, qint64 maxJson)
{
    const auto bytes = encoded(document, errorText, maxJson);
    return bytes && writeFileAtomically(path, *bytes, errorText, FileAccess::document);
}

void readFileInBackground(const QString &path, QObject *receiver, std::function<void(ClipArchiveReadResult)> done)
{
    inBackground(
        receiver, [path] { return readFile(path); }, std::move(done));
}

void writeFileInBackground(const QString &path, ClipArchiveDocument document, QObject *receiver,
                           std::function<void(std::optional<QString> error)> done)
{
    inBackground(
        receiver,
        [path, document = std::move(document)]() -> std::optional<QString> {
            QString errorText;
            if (writeFile(path, document, &errorText))
                return std::nullopt;
            return errorText;
        },
        std::move(done));
}

void writeFileInBackground(const QString &path, Snapshot snapshot, QObject *receiver,
                           std::function<void(ArchiveResult<qint64, QString>)> done)
{
    inBackground(
        receiver,
        [path, snapshot = std::move(snapshot)]() mutable -> ArchiveResult<qint64, QString> {
            auto document = std::move(snapshot).document();
            if (!document)
                return document.error();
            QString errorText;
            if (!writeFile(path, document.value(), &errorText))
                return errorText;
            return document.value().manifest.clipCount;
        },
        std::move(done));
}

} // namespace backup
} // namespace quillmere
