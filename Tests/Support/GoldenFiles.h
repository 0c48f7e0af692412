#pragma once

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <gtest/gtest.h>

namespace quillmere::test {

inline QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

inline QString goldenPath(const QString &name)
{
    // Not by __FILE__, which some generators give relative to the build folder.
    return QStringLiteral(QT_TESTCASE_SOURCEDIR "/Archive/golden/") + name;
}

inline QByteArray golden(const QString &name)
{
    QFile file(goldenPath(name));
    if (!file.open(QIODevice::ReadOnly))
        ADD_FAILURE() << "missing golden file " << qPrintable(name);
    return file.readAll();
}

inline void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// `root` as compact JSON with one field set, or removed when `value` is undefined; with `inFirstClip`
// the field is one of the first clip's.
inline QByteArray withField(QJsonObject root, const QString &key, const QJsonValue &value, bool inFirstClip = false)
{
    QJsonArray clips = root[QStringLiteral("clips")].toArray();
    QJsonObject first = clips[0].toObject();
    QJsonObject &target = inFirstClip ? first : root;
    if (value.isUndefined())
        target.remove(key);
    else
        target.insert(key, value);
    if (inFirstClip) {
        clips[0] = first;
        root[QStringLiteral("clips")] = clips;
    }
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

} // namespace quillmere::test
