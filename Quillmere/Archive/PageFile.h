#pragma once

#include "Quillmere/Archive/ArchiveRecords.h"
#include "Quillmere/Archive/ArchiveResult.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace quillmere {

struct PageArchiveError {
    enum class Code {
        unsupportedVersion, // a format other than 1
        tooLarge,           // beyond the cap, on writing or reading
        corruptData,        // not a Page file, damaged, or could not be encoded
        unreadable,         // the file itself could not be read
        unwritable,         // the file could not be saved
    };

    Code code = Code::corruptData;
    qint64 version = 0; // unsupportedVersion
    qint64 bytes = 0;   // tooLarge
    qint64 cap = 0;     // tooLarge
    QString reason;     // unreadable, unwritable

    static PageArchiveError unsupportedVersion(qint64 version)
    {
        PageArchiveError e;
        e.code = Code::unsupportedVersion;
        e.version = version;
        return e;
    }
    static PageArchiveError tooLarge(qint64 bytes, qint64 cap)
    {
        PageArchiveError e;
        e.code = Code::tooLarge;
        e.bytes = bytes;
        e.cap = cap;
        return e;
    }
    static PageArchiveError corruptData() { return PageArchiveError(); }
    static PageArchiveError unreadable(const QString &reason) { return withReason(Code::unreadable, reason); }
    static PageArchiveError unwritable(const QString &reason) { return withReason(Code::unwritable, reason); }

    // The text shown to the user, for sharing and importing alike.
    QString userMessage() const;

    bool operator==(const PageArchiveError &) const = default;

private:
    static PageArchiveError withReason(Code code, const QString &reason)
    {
        PageArchiveError e;
        e.code = code;
        e.reason = reason;
        return e;
    }
};

namespace pagefile {

inline const QString fileExtension = QStringLiteral("quillmerepage");
inline constexpr qint64 maxBytes = 0x2800000; // 40 MiB, on writing and on reading

// Compact JSON; a size equal to the cap passes.
ArchiveResult<QByteArray, PageArchiveError> encoded(const PageArchive &archive, qint64 cap = maxBytes);
// Size first, then structure, then version.
ArchiveResult<PageArchive, PageArchiveError> decode(const QByteArray &bytes, qint64 cap = maxBytes);

// The trimmed name ("Page" when blank) with each of / \ : ? % * | " < > turned into "-".
QString suggestedFileName(const PageArchive &archive);

ArchiveResult<PageArchive, PageArchiveError> readFile(const QString &path, qint64 cap = maxBytes);
// Nothing is written when encoding fails.
std::optional<PageArchiveError> writeFile(const QString &path, const PageArchive &archive, qint64 cap = maxBytes);

// The same on the thread pool, for the main thread: a Page near the cap takes about a second.
// `done` runs on the receiver's thread, not at all once the receiver is gone.
void readFileInBackground(const QString &path, QObject *receiver,
                          std::function<void(ArchiveResult<PageArchive, PageArchiveError>)> done,
                          qint64 cap = maxBytes);
void writeFileInBackground(const QString &path, PageArchive page, QObject *receiver,
                           std::function<void(std::optional<PageArchiveError>)> done, qint64 cap = maxBytes);

} // namespace pagefile
} // namespace quillmere
