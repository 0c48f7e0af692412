#include "Quillmere/Platform/DesktopOpener.h"

#include "Support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <optional>

using namespace quillmere;

namespace {

// A stand-in for xdg-open: writes what it was asked to open, then exits with `status`.
QString fakeOpener(const QTemporaryDir &dir, int status)
{
    const QString path = dir.filePath(QStringLiteral("opener-%1").arg(status));
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly))
        return {};
    script.write(
        QStringLiteral("#!/bin/sh\nprintf '%s' \"$1\" > \"%1.asked\"\nexit %2\n").arg(path).arg(status).toUtf8());
    script.close();
    script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    return path;
}

std::optional<bool> openWith(const QString &program, const QUrl &url)
{
    QObject context;
    std::optional<bool> result;
    DesktopOpener(program).open(url, &context, [&](bool opened) { result = opened; });
    test::waitUntil([&] { return result.has_value(); }, 20000);
    return result;
}

} // namespace

TEST(DesktopOpener, TellsWhetherTheOpenerOpenedIt)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QUrl file = QUrl::fromLocalFile(dir.filePath(QStringLiteral("clip preview.txt")));

    const QString works = fakeOpener(dir, 0);
    EXPECT_EQ(openWith(works, file), std::optional<bool>(true));
    QFile asked(works + QStringLiteral(".asked"));
    ASSERT_TRUE(asked.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(asked.readAll()), file.toLocalFile()) << "a local path, not a file: URL";

    // xdg-open's "no program for this type" and the opener missing altogether are failures.
    EXPECT_EQ(openWith(fakeOpener(dir, 3), file), std::optional<bool>(false));
    EXPECT_EQ(openWith(dir.filePath(QStringLiteral("no-such-opener")), file), std::optional<bool>(false));
}

TEST(DesktopOpener, AContextThatGoesFirstHearsNothing)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile slow(dir.filePath(QStringLiteral("slow-opener")));
    ASSERT_TRUE(slow.open(QIODevice::WriteOnly));
    slow.write("#!/bin/sh\nsleep 30\nexit 3\n");
    slow.close();
    slow.setPermissions(slow.permissions() | QFileDevice::ExeOwner);
    bool called = false;
    for (const QString &program : {slow.fileName(), dir.filePath(QStringLiteral("no-such-opener"))}) {
        QObject context;
        DesktopOpener(program).open(QUrl(QStringLiteral("https://example.com")), &context,
                                    [&](bool) { called = true; });
        if (program == slow.fileName()) {
            ASSERT_TRUE(test::waitUntil([&] {
                return !context.findChildren<QProcess *>().isEmpty()
                    && context.findChild<QProcess *>()->state() == QProcess::Running;
            }));
        }
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(called);
}
