#include "Model/OldRecoveryFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace quillmere::test {

QString writeOldRecoveryFile(const QString &storePath, const std::vector<std::shared_ptr<PersistentModel>> &records,
                             const QDateTime &now)
{
    std::vector<const ClipItem *> clips;
    QByteArray pages;
    for (const auto &record : records) {
        if (const auto *clip = dynamic_cast<const ClipItem *>(record.get()); clip && !clip->expiresAt())
            clips.push_back(clip);
        else if (const auto *page = dynamic_cast<const Pinboard *>(record.get()))
            pages += (pages.isEmpty() ? "" : ",")
                + QJsonDocument(QJsonObject{{"name", page->name()}, {"colorName", page->colorName()}})
                      .toJson(QJsonDocument::Compact);
    }
    std::stable_sort(clips.begin(), clips.end(),
                     [](const ClipItem *a, const ClipItem *b) { return a->createdAt() > b->createdAt(); });
    qint64 lowest = 0;
    QByteArray texts;
    for (const ClipItem *clip : clips) {
        if (clip->captureOrder() > 0 && (lowest == 0 || clip->captureOrder() < lowest))
            lowest = clip->captureOrder();
        QJsonObject o{{"kind", clip->kindRawValue()},
                      {"createdAt", clip->createdAt().toString(Qt::ISODateWithMs)},
                      {"isPinned", clip->isPinned()}};
        if (clip->captureOrder() > 0)
            o.insert("captureOrder", clip->captureOrder());
        for (const auto &[key, value] : {std::pair{"text", clip->text()},
                                         {"customTitle", clip->customTitle()},
                                         {"fileName", clip->fileName()},
                                         {"fileTypeIdentifier", clip->fileTypeIdentifier()},
                                         {"recognizedText", clip->recognizedText()},
                                         {"sourceAppName", clip->sourceAppName()},
                                         {"sourceAppBundleID", clip->sourceAppBundleID()}})
            if (value)
                o.insert(QLatin1String(key), *value);
        if (clip->pinboard())
            o.insert("pageName", clip->pinboard()->name());
        if (const auto image = clip->imageData())
            o.insert("imageDataBase64", QString::fromLatin1(image->toBase64()));
        if (const auto file = clip->fileData())
            o.insert("fileDataBase64", QString::fromLatin1(file->toBase64()));
        texts += (texts.isEmpty() ? "" : ",") + QJsonDocument(o).toJson(QJsonDocument::Compact);
    }
    QByteArray json = "{\"unsavedAt\":\"" + now.toString(Qt::ISODateWithMs).toLatin1() + "\",";
    if (lowest > 0)
        json += "\"lowestCaptureOrder\":" + QByteArray::number(lowest) + ',';
    json += "\"clipCount\":" + QByteArray::number(qulonglong(clips.size())) + ",\"pages\":[" + pages + "],\"clips\":["
        + texts + "]}\n";
    const QString path = storePath + QStringLiteral(".unsaved-")
        + now.toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss")) + QStringLiteral(".json");
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::NewOnly) && file.write(json) == json.size() ? path : QString();
}

} // namespace quillmere::test
