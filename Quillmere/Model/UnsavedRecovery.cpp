#include "Quillmere/Model/UnsavedRecovery.h"

#include "Quillmere/Platform/Core/AtomicFile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace quillmere::UnsavedRecovery {
namespace {

QString pattern(const QString &storePath)
{
    return QFileInfo(storePath).fileName() + QStringLiteral(".unsaved-");
}

void put(QJsonObject &o, const char *key, const std::optional<QString> &value)
{
    if (value)
        o.insert(QLatin1String(key), *value);
}

} // namespace

QString write(const QString &storePath, const std::vector<std::shared_ptr<PersistentModel>> &records,
              const QDateTime &now, QString *error)
{
    QJsonArray clips;
    QJsonArray pages;
    for (const auto &record : records) {
        if (const auto *clip = dynamic_cast<const ClipItem *>(record.get())) {
            QJsonObject o{{QStringLiteral("kind"), clip->kindRawValue()},
                          {QStringLiteral("createdAt"), clip->createdAt().toString(Qt::ISODateWithMs)},
                          {QStringLiteral("isPinned"), clip->isPinned()}};
            put(o, "text", clip->text());
            put(o, "customTitle", clip->customTitle());
            put(o, "fileName", clip->fileName());
            put(o, "fileTypeIdentifier", clip->fileTypeIdentifier());
            put(o, "recognizedText", clip->recognizedText());
            put(o, "sourceAppName", clip->sourceAppName());
            put(o, "sourceAppBundleID", clip->sourceAppBundleID());
            if (clip->pinboard())
                o.insert(QStringLiteral("pageName"), clip->pinboard()->name());
            if (const auto image = clip->imageData())
                o.insert(QStringLiteral("imageDataBase64"), QString::fromLatin1(image->toBase64()));
            if (const auto file = clip->fileData())
                o.insert(QStringLiteral("fileDataBase64"), QString::fromLatin1(file->toBase64()));
            clips.append(o);
        } else if (const auto *page = dynamic_cast<const Pinboard *>(record.get())) {
            pages.append(
                QJsonObject{{QStringLiteral("name"), page->name()}, {QStringLiteral("colorName"), page->colorName()}});
        }
    }
    const QJsonObject doc{{QStringLiteral("unsavedAt"), now.toString(Qt::ISODateWithMs)},
                          {QStringLiteral("pages"), pages},
                          {QStringLiteral("clips"), clips}};
    const QString path = QFileInfo(storePath).dir().filePath(
        pattern(storePath) + now.toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss")) + QStringLiteral(".json"));
    if (!writeFileAtomically(path, QJsonDocument(doc).toJson(), error))
        return {};
    return path;
}

QString newest(const QString &storePath)
{
    const QDir dir = QFileInfo(storePath).dir();
    const QStringList found =
        dir.entryList({pattern(storePath) + QStringLiteral("*.json")}, QDir::Files | QDir::NoSymLinks, QDir::Name);
    return found.isEmpty() ? QString() : dir.filePath(found.last());
}

} // namespace quillmere::UnsavedRecovery
