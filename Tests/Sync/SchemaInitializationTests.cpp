#include "Quillmere/Sync/SchemaInitialization.h"
#include "Quillmere/Sync/SyncFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

struct Captured {
    std::optional<int> status;
    QString out;
    QString err;
    QString storePath;
};

Captured runWith(const QStringList &arguments, const SchemaInitialization::Environment &environment)
{
    std::FILE *out = std::tmpfile();
    std::FILE *err = std::tmpfile();
    Captured c;
    c.status = SchemaInitialization::run(arguments, environment, out, err, &c.storePath);
    for (auto [file, text] : {std::pair{out, &c.out}, std::pair{err, &c.err}}) {
        std::rewind(file);
        char buffer[4096];
        const size_t n = std::fread(buffer, 1, sizeof buffer, file);
        *text = QString::fromUtf8(buffer, qsizetype(n));
        std::fclose(file);
    }
    return c;
}

TEST(SchemaInitializationTest, RefusesInStepOrderWithTheFixedTexts)
{
    QTemporaryDir tmp;
    const QStringList args{QStringLiteral("quillmere"), QStringLiteral("--init-cloudkit-schema")};
    const Captured none = runWith({QStringLiteral("quillmere")}, {std::nullopt, false, tmp.path()});
    EXPECT_FALSE(none.status);
    EXPECT_TRUE(none.out.isEmpty() && none.err.isEmpty());

    const Captured unknown = runWith(args, {std::nullopt, false, tmp.path()});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err,
              QStringLiteral("error: --init-cloudkit-schema needs a Debug build (CloudKit Development "
                             "environment); this build targets unknown.\n"));
    const Captured production = runWith(args, {QStringLiteral("Production"), true, tmp.path()});
    EXPECT_TRUE(production.err.endsWith(QStringLiteral("this build targets Production.\n")));
    const Captured unsigned_ = runWith(args, {QStringLiteral("Development"), false, tmp.path()});
    EXPECT_EQ(unsigned_.status, 1);
    EXPECT_EQ(unsigned_.err,
              QStringLiteral("error: No sync folder is set; give one with --sync-folder or in "
                             "Settings \u2192 Sync first.\n"));
    EXPECT_TRUE(QDir(tmp.path()).isEmpty());
}

TEST(SchemaInitializationTest, WritesTheRecordTypesIntoAFreshContainerEachRun)
{
    QTemporaryDir tmp;
    const QStringList args{QStringLiteral("quillmere"), QStringLiteral("--init-cloudkit-schema")};
    const SchemaInitialization::Environment env{QStringLiteral("Development"), true, tmp.path()};
    const Captured first = runWith(args, env);
    const QString firstStore = first.storePath;
    ASSERT_EQ(first.status, 0) << qPrintable(first.err);
    EXPECT_EQ(first.out,
              QStringLiteral("Development schema of iCloud.com.orvantide.quillmere written to %1.\n")
                  .arg(QFileInfo(first.storePath).absolutePath() + QLatin1Char('/')
                       + QFileInfo(first.storePath).completeBaseName()));
    const Captured second = runWith(args, env);
    ASSERT_EQ(second.status, 0);
    EXPECT_NE(second.storePath, firstStore);
    EXPECT_TRUE(QFileInfo(firstStore).fileName().startsWith(QStringLiteral("quillmere-schema-init-")));

    QFile schema(QFileInfo(firstStore).absolutePath() + QLatin1Char('/') + QFileInfo(firstStore).completeBaseName()
                 + QLatin1Char('/') + SyncFolder::containerName + QStringLiteral("/schema.json"));
    ASSERT_TRUE(schema.open(QIODevice::ReadOnly));
    const QByteArray text = schema.readAll();
    for (const char *expected : {"\"ClipItem\"", "\"Pinboard\"", "\"AppSettings\"", "\"SourceAppBrand\"",
                                 "\"contentHash\"", "\"historyLimitValue\""})
        EXPECT_TRUE(text.contains(expected)) << expected;
}

} // namespace
