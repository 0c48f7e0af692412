#include "Quillmere/Archive/PageFile.h"

#include "Quillmere/Archive/BoundedFile.h"
#include "Quillmere/Archive/JsonText.h"
#include "Quillmere/Platform/Core/AtomicFile.h"
#include "Quillmere/Platform/Core/BoundedFile.h"
#include "Quillmere/Platform/Core/InBackground.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace quillmere {

QString PageArchiveError::userMessage() const
{
    switch (code) {
    case Code::unsupportedVersion:
        return QStringLiteral("This Page file uses format %1, which this version of Brindlewax can't read.")
            .arg(version);
    case Code::tooLarge:
        return QStringLiteral("This Page is too large (%1). Page files can be at most %2.")
            .arg(archive::byteCountText(bytes), archive::byteCountText(cap));
    case Code::corruptData:
        return QStringLiteral("This file isn't a valid Brindlewax Page file, or it's damaged.");
    case Code::unreadable:
        return QStringLiteral("The Page file couldn't be read: %1").arg(reason);
    case Code::unwritable:
        return QStringLiteral("The Page file couldn't be saved: %1").arg(reason);
    }
    return {};
}

namespace pagefile {

ArchiveResult<QByteArray, PageArchiveError> encoded(const PageArchive &archive, qint64 cap)
{
    if (!archive.exportedAt.isValid())
        return PageArchiveError::corruptData();
    QByteArray bytes = archive::jsonText(archive.toJson(), archive::JsonLayout::compact);
    if (bytes.size() > cap)
        return PageArchiveError::tooLarge(bytes.size(), cap);
    return bytes;
}

ArchiveResult<PageArchive, PageArchiveError> decode(const QByteArray &bytes, qint64 cap)
{
    if (bytes.size() > cap)
        return PageArchiveError::tooLarge(bytes.size(), cap);
    QJsonParseError parseError{};
    const QJsonDocument parsed = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !parsed.isObject())
        return PageArchiveError::corruptData();
    auto archive = PageArchive::fromJson(parsed.object());
    if (!archive)
        return PageArchiveError::corruptData();
    if (archive->version != PageArchive::currentVersion)
        return PageArchiveError::unsupportedVersion(archive->version);
    return std::move(*archive);
}

QString suggestedFileName(const PageArchive &archive)
{
    QString name = archive.name.trimmed();
    if (name.isEmpty())
        name = QStringLiteral("Page");
    static const QString forbidden = QStringLiteral("/\\:?%*|\"<>");
    for (QChar &c : name)
        if (forbidden.contains(c))
            c = u'-';
    return name + QLatin1Char('.') + fileExtension;
}

ArchiveResult<PageArchive, PageArchiveError> readFile(const QString &path, qint64 cap)
{
    const BoundedFileRead read = readBoundedFile(path, cap);
    if (read.status == BoundedFileRead::Status::tooLarge)
        return PageArchiveError::tooLarge(read.size, cap);
    if (!read.ok())
        return PageArchiveError::unreadable(read.errorText);
    return decode(read.bytes, cap);
}

std::optional<PageArchiveError> writeFile(const QString &path, const PageArchive &archive, qint64 cap)
{
    auto bytes = encoded(archive, cap);
    if (!bytes)
        return bytes.error();
    QString errorText;
    if (!writeFileAtomically(path, bytes.value(), &errorText, FileAccess::document))
        return PageArchiveError::unwritable(errorText);
    return std::nullopt;
}

void readFileInBackground(const QString &path, QObject *receiver,
                          std::function<void(ArchiveResult<PageArchive, PageArchiveError>)> done, qint64 cap)
{
    inBackground(
        receiver, [path, cap] { return readFile(path, cap); }, std::move(done));
}

void writeFileInBackground(const QString &path, PageArchive page, QObject *receiver,
                           std::function<void(std::optional<PageArchiveError>)> done, qint64 cap)
{
    inBackground(
        receiver, [path, page = std::move(page), cap] { return writeFile(path, page, cap); }, std::move(done));
}

} // namespace pagefile
} // namespace quillmere
