#pragma once

#include <QFile>
#include <QFileInfo>
#include <QString>
#include <gtest/gtest.h>

namespace quillmere::test {

inline QString goldenPath(const QString &name)
{
    return QFileInfo(QStringLiteral(__FILE__)).absolutePath() + QStringLiteral("/golden/") + name;
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

} // namespace quillmere::test
