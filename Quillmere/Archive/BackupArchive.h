#pragma once

#include "Quillmere/Archive/ArchiveRecords.h"
#include "Quillmere/Archive/ArchiveResult.h"

#include <QByteArray>
#include <QDate>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace quillmere {

// Why a backup could not be read.
struct ClipArchiveError {
    enum class Code {
        unsupportedVersion, // written by a newer format
        corrupt,            // not a backup, or damaged
        tooLarge,           // the file, or what it expands to, is beyond what we open
        unreadable,         // the file itself could not be read
    };

    Code code = Code::corrupt;
    qint64 found = 0;     // unsupportedVersion
    qint64 supported = 0; // unsupportedVersion
    qint64 bytes = 0;     // tooLarge
    qint64 cap = 0;       // tooLarge
    QString reason;       // unreadable

    static ClipArchiveError unsupportedVersion(qint64 found, qint64 supported)
    {
        ClipArchiveError e;
        e.code = Code::unsupportedVersion;
        e.found = found;
        e.supported = supported;
        return e;
    }
    static ClipArchiveError corrupt() { return ClipArchiveError(); }
    static ClipArchiveError tooLarge(qint64 bytes, qint64 cap)
    {
        ClipArchiveError e;
        e.code = Code::tooLarge;
        e.bytes = bytes;
        e.cap = cap;
        return e;
    }
    static ClipArchiveError unreadable(const QString &reason)
    {
        ClipArchiveError e;
        e.code = Code::unreadable;
        e.reason = reason;
        return e;
    }

    // The text shown to the user.
    QString errorDescription() const;

    bool operator==(const ClipArchiveError &) const = default;
};

using ClipArchiveReadResult = ArchiveResult<ClipArchiveDocument, ClipArchiveError>;

namespace backup {

inline const QString fileExtension = QStringLiteral("quillmerebackup");
// What we are willing to read, and how far a file may expand once inflated.
inline constexpr qint64 maxFileBytes = qint64(1) << 30;
inline constexpr qint64 maxJsonBytes = qint64(1) << 30;

// "Brindlewax-Backup-2026-03-01.quillmerebackup".
QString suggestedFileName(const QDate &today);

// The compact JSON text with sorted keys that a backup compresses, written without a JSON DOM.
QByteArray jsonText(const ClipArchiveDocument &document);

// Compact JSON with sorted keys, compressed as a raw DEFLATE stream. None (with a reason) when the
// compressor fails, or when the text would pass `maxJson`: such a backup could never be restored.
std::optional<QByteArray> encoded(const ClipArchiveDocument &document, QString *errorText = nullptr,
                                  qint64 maxJson = maxJsonBytes);
// Also reads plain, uncompressed JSON. Refuses payloads that are not valid Base64. Texts longer
// than a local copy may be are cut to it as they are decoded.
ClipArchiveReadResult decode(const QByteArray &bytes, qint64 maxJson = maxJsonBytes);

ClipArchiveReadResult readFile(const QString &path, qint64 maxFile = maxFileBytes, qint64 maxJson = maxJsonBytes);
// A document the user names: it follows the umask like any other. Nothing is left behind on failure.
bool writeFile(const QString &path, const ClipArchiveDocument &document, QString *errorText = nullptr,
               qint64 maxJson = maxJsonBytes);

// The history as it is now, without reading an image or file on the store's thread: bytes already
// in memory are kept, the rest is read by `document()` from the store file, on any thread, in one
// read transaction beside the store's own connection.
struct Snapshot {
    struct Payload {
        std::optional<QByteArray> bytes; // none: read the clip's row from the store file
        qint64 row = 0;
    };
    ClipArchiveDocument withoutPayloads;
    std::vector<std::optional<Payload>> images; // one per clip, none for a clip without
    std::vector<std::optional<Payload>> files;
    QString storePath; // empty for a store in memory, whose bytes are all taken at once

    // As `ClipArchiveDocument::make` takes it.
    static Snapshot take(const std::vector<ClipRef> &clips, const std::vector<PageRef> &pages,
                         const QDateTime &exportedAt, const QString &appVersion, const QString &storePath);
    // Clips deleted from the store since `take` are left out, and the manifest counts what is left.
    ArchiveResult<ClipArchiveDocument, QString> document() &&;
};

// The same on the thread pool, for the main thread: a whole history takes seconds. `done` runs on
// the receiver's thread, not at all once the receiver is gone; the write reports none on success,
// else the reason.
void readFileInBackground(const QString &path, QObject *receiver, std::function<void(ClipArchiveReadResult)> done);
void writeFileInBackground(const QString &path, ClipArchiveDocument document, QObject *receiver,
                           std::function<void(std::optional<QString> error)> done);
// Reports the number of clips written, else the reason.
void writeFileInBackground(const QString &path, Snapshot snapshot, QObject *receiver,
                           std::function<void(ArchiveResult<qint64, QString>)> done);

// Raw DEFLATE (no zlib header or trailer). Inflating fails on anything but exactly one complete
// stream; `exceeded` tells a stream that would grow beyond `maxOutput` apart from damage. With
// `maxStringBytes` of 0 or more, every JSON string but the payloads is cut to that many bytes of
// UTF-8 as it is inflated (see `archive::JsonStringCutter`).
std::optional<QByteArray> deflateRaw(const QByteArray &input, QString *errorText = nullptr);
// `encoded` writes the stream in pieces of about this much text, each compressed on its own.
inline constexpr qsizetype defaultPieceSize = qsizetype(1) << 20;
std::optional<QByteArray> inflateRaw(const QByteArray &input, qint64 maxOutput, bool *exceeded = nullptr,
                                     qint64 maxStringBytes = -1);
// The same, in one pass on this thread.
// The pieces `encoded` wrote, side by side on the thread pool; none for a stream whose
// pieces cannot be told apart.
std::optional<QByteArray> inflateInPieces(const QByteArray &input, qint64 maxOutput, bool *exceeded = nullptr,
                                          qint64 maxStringBytes = -1);
std::optional<QByteArray> inflateSerially(const QByteArray &input, qint64 maxOutput, bool *exceeded = nullptr,
                                          qint64 maxStringBytes = -1);

} // namespace backup
} // namespace quillmere
