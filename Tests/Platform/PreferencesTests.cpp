#include "Support/BoundByPermissions.h"
#include "Support/SmallDisk.h"
#include "Support/TestSupport.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;

namespace {

struct Shortcut {
    QString name;
    int keyCode = 0;
    bool enabled = false;

    QJsonValue toJson() const { return QJsonObject{{"name", name}, {"keyCode", keyCode}, {"enabled", enabled}}; }
    static std::optional<Shortcut> fromJson(const QJsonValue &json)
    {
        JsonFields f(json);
        Shortcut s{f.string("name"), int(f.integer("keyCode")), f.boolean("enabled")};
        return f.ok() ? std::optional(s) : std::nullopt;
    }
    bool operator==(const Shortcut &) const = default;
};

const QString shortcutJson = R"({"name":"panel","keyCode":9,"enabled":true})";

} // namespace

TEST(Preferences, TypedReadsFallBackOnWrongTypeAndSurviveReopening)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("prefs.json");
    {
        Preferences prefs(path);
        prefs.setBool("flag", true);
        prefs.setInteger("limit", 9007199254740991LL);
        prefs.setDouble("start", 1772366400.25);
        prefs.setString("text", "12");
        prefs.setData("blob", QByteArray("\x00\x01\xff", 3));
        prefs.setJSON(Shortcut{"panel", 9, true}, "shortcutV1");
        prefs.setString("plain", shortcutJson);
    }
    Preferences prefs(path);
    EXPECT_TRUE(prefs.boolValue("flag"));
    EXPECT_EQ(prefs.integer("limit"), 9007199254740991LL);
    EXPECT_DOUBLE_EQ(prefs.doubleValue("start"), 1772366400.25);
    EXPECT_EQ(prefs.string("text"), QString("12"));
    EXPECT_EQ(prefs.data("blob"), QByteArray("\x00\x01\xff", 3));
    // Data stays data, and text that happens to be JSON stays text.
    EXPECT_EQ(prefs.decodeJSON<Shortcut>("shortcutV1"), (Shortcut{"panel", 9, true}));
    EXPECT_FALSE(prefs.decodeJSON<Shortcut>("plain").has_value());

    // Values of another type are not coerced.
    EXPECT_EQ(prefs.integer("text", -1), -1);
    EXPECT_FALSE(prefs.boolValue("limit", false));
    EXPECT_FALSE(prefs.data("text").has_value());
    EXPECT_FALSE(prefs.string("blob").has_value());
    EXPECT_TRUE(prefs.boolValue("missing", true));
}

TEST(Preferences, DamagedFileIsKeptAsideAndNotOverwritten)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("prefs.json");
    const QByteArray damaged = R"({"onboardingCompleted": true, "limit": 3,,,)";
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(damaged);
    }
    {
        Preferences prefs(path);
        EXPECT_FALSE(prefs.contains("onboardingCompleted"));
        prefs.setBool("fresh", true);
    }
    // The new settings are written, and the unreadable ones are still there for the user.
    EXPECT_TRUE(Preferences(path).boolValue("fresh"));
    const QStringList aside = QDir(dir.path()).entryList({"prefs.json.damaged-*"}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    QFile kept(dir.filePath(aside.front()));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), damaged);
}

TEST(Preferences, ChangedSignalNamesTheKey)
{
    test::TempPreferences prefs;
    QSignalSpy spy(prefs.prefs.get(), &Preferences::changed);
    prefs->setBool("capturePaused", true);
    prefs->remove("capturePaused");
    prefs->remove("neverSet");
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.at(0).at(0).toString(), "capturePaused");
}

TEST(PreferenceCodec, OverwritesAndReadsBadValuesAsNone)
{
    test::TempPreferences prefs;
    EXPECT_FALSE(prefs->decodeJSON<Shortcut>("shortcutV1").has_value());
    prefs->setJSON(Shortcut{"panel", 9, true}, "shortcutV1");
    prefs->setJSON(Shortcut{"paste", 7, false}, "shortcutV1");
    EXPECT_EQ(prefs->decodeJSON<Shortcut>("shortcutV1"), (Shortcut{"paste", 7, false}));

    prefs->setString("textV1", shortcutJson);
    EXPECT_FALSE(prefs->decodeJSON<Shortcut>("textV1").has_value());
    // Valid JSON missing a field reads as none and is left as it was.
    const QByteArray partial = R"({"name":"x","keyCode":1})";
    prefs->setData("partialV1", partial);
    EXPECT_FALSE(prefs->decodeJSON<Shortcut>("partialV1").has_value());
    EXPECT_EQ(prefs->data("partialV1"), partial);
    prefs->setData("brokenV1", "{not json");
    EXPECT_FALSE(prefs->decodeJSON<Shortcut>("brokenV1").has_value());
}

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QFile::Permissions permissionsOf(const QString &path)
{
    return QFileInfo(path).permissions()
        & (QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::WriteGroup
           | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther);
}

} // namespace

TEST(Preferences, ValuesItCannotUseAreKeptAsWrittenAndAnUnchangedStartWritesNothing)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("prefs.json");
    // Written by hand or by another version: spacing, escapes and number forms of its own.
    const QList<QByteArray> foreign = {
        R"("clipCaptureRulesV1" : {"blockedAppPatterns": ["Vault"] ,"blockedTextPatterns":[]})",
        R"("copySoundEnabled": null)",
        R"("avatarV1": {"$data": "***not base64***"})",
        R"("futureSetting": [1, {"a": "\u00e9\/"}, 2.50e0])",
        R"("historyLimit": "200")",
    };
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("{\n  " + foreign.join(",\n  ") + ",\n  \"onboardingCompleted\": true\n}\n");
    }
    const QByteArray original = readAll(path);
    const QDateTime longAgo = QDateTime::currentDateTimeUtc().addDays(-3);
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(longAgo, QFileDevice::FileModificationTime));
    }

    {
        Preferences prefs(path);
        // Wrong types read as the caller's default; setting a value to what it is changes nothing.
        EXPECT_TRUE(prefs.boolValue("copySoundEnabled", true));
        EXPECT_FALSE(prefs.data("clipCaptureRulesV1").has_value());
        EXPECT_EQ(prefs.integer("historyLimit", 100), 100);
        EXPECT_TRUE(prefs.contains("futureSetting"));
        prefs.setBool("onboardingCompleted", true);
        prefs.sync();
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(readAll(path), original);
    EXPECT_EQ(QFileInfo(path).lastModified().toUTC(), longAgo);

    {
        Preferences prefs(path);
        prefs.setBool("onboardingCompleted", false);
        prefs.setInteger("newKey", 7);
    }
    const QByteArray rewritten = readAll(path);
    for (const QByteArray &member : foreign)
        EXPECT_TRUE(rewritten.contains(member)) << member.toStdString() << "\n" << rewritten.toStdString();
    Preferences reread(path);
    EXPECT_FALSE(reread.boolValue("onboardingCompleted", true));
    EXPECT_EQ(reread.integer("newKey"), 7);
    EXPECT_EQ(reread.string("historyLimit"), QString("200"));
}

TEST(Preferences, FolderAndFileAreTheUsersOnly)
{
    QTemporaryDir dir;
    const QString fresh = dir.filePath("new/orvantide/prefs.json");
    Preferences(fresh).setBool("flag", true);
    EXPECT_EQ(permissionsOf(QFileInfo(fresh).absolutePath()), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(permissionsOf(fresh), QFile::ReadOwner | QFile::WriteOwner);

    // Left open by an earlier version: narrowed at the next start, even with nothing to write.
    const QString folder = dir.filePath("old");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString existing = folder + "/prefs.json";
    {
        QFile file(existing);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("{}");
    }
    const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    ASSERT_TRUE(QFile::setPermissions(existing, open));
    ASSERT_TRUE(QFile::setPermissions(folder, open | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther));
    Preferences prefs(existing);
    EXPECT_EQ(permissionsOf(folder), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(permissionsOf(existing), QFile::ReadOwner | QFile::WriteOwner);
}

TEST(Preferences, WhatIsNotAPreferencesFileIsLeftAsItIsAndTheSettingsStayInMemory)
{
    QTemporaryDir dir;
    // A folder the user keeps where the file should be: its mode, its contents and its kind stay.
    const QString folder = dir.filePath("prefs.json");
    ASSERT_TRUE(QDir().mkpath(folder + "/notes"));
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
    {
        Preferences prefs(folder);
        EXPECT_TRUE(prefs.unusableReason().contains("is a folder")) << qPrintable(prefs.unusableReason());
        prefs.setString("device", "kept");
        EXPECT_FALSE(prefs.sync());
        EXPECT_EQ(prefs.string("device"), "kept") << "the change lives on in memory";
        EXPECT_TRUE(prefs.lastWriteError().contains(folder)) << qPrintable(prefs.lastWriteError());
    }
    EXPECT_EQ(test::permissionBits(folder), 0755u);
    EXPECT_TRUE(QFileInfo(folder + "/notes").isDir());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"prefs.json"})
        << "no file written beside it";

    // A FIFO is neither waited on nor replaced.
    const QString fifo = dir.filePath("fifo.json");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    auto opened = std::async(std::launch::async, [&] {
        Preferences prefs(fifo);
        prefs.setBool("flag", true);
        prefs.sync();
        return prefs.lastWriteError();
    });
    if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // A writer that comes and goes lets the waiting read end.
        ::close(::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK));
        opened.wait();
        FAIL() << "the start waited on a FIFO";
    }
    EXPECT_TRUE(opened.get().contains("is not a file"));
    struct stat info {};
    ASSERT_EQ(::lstat(QFile::encodeName(fifo).constData(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

namespace {

int preferenceWarnings = 0;

} // namespace

TEST(Preferences, AFailedWriteKeepsTheFileSaysWhyOnceAndIsTriedAgain)
{
    test::SmallDisk disk;
    QUILLMERE_SKIP_WITHOUT(disk.missing());
    const QString path = disk.filePath("prefs.json");
    Preferences prefs(path);
    prefs.setString("device", "first");
    ASSERT_TRUE(prefs.sync());
    QFile original(path);
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    const QByteArray saved = original.readAll();
    ASSERT_TRUE(disk.fill());

    preferenceWarnings = 0;
    const auto previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &) {
        preferenceWarnings += type == QtWarningMsg;
    });
    prefs.setString("device", "second");
    EXPECT_FALSE(prefs.sync());
    prefs.setBool("flag", true);
    EXPECT_FALSE(prefs.sync());
    // Only the retry is left to write them once there is room.
    QCoreApplication::processEvents();
    qInstallMessageHandler(previous);
    EXPECT_EQ(preferenceWarnings, 1);
    EXPECT_TRUE(prefs.lastWriteError().contains("No space left")) << qPrintable(prefs.lastWriteError());
    QFile kept(path);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), saved);
    EXPECT_EQ(prefs.string("device"), "second") << "the change stays in memory";

    disk.release();
    EXPECT_TRUE(test::waitUntil([&] { return prefs.lastWriteError().isEmpty(); }, Preferences::kFirstRetryMs * 3));
    EXPECT_EQ(Preferences(path).string("device"), "second");
    EXPECT_TRUE(Preferences(path).boolValue("flag"));
}

TEST(Preferences, AChangeAFolderThatTakesNoWritesCannotKeepIsSaidAtOnceAndOnce)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("config");
    const QString path = folder + "/prefs.json";
    Preferences prefs(path);
    prefs.setString("device", "first");
    ASSERT_TRUE(prefs.sync());
    QSignalSpy failed(&prefs, &Preferences::writeFailed);
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0555), 0);
    {
        test::BoundByPermissions bound;
        prefs.setString("device", "second");
        // The change's own save, on the next turn of the event loop, finds out.
        QCoreApplication::processEvents();
        ASSERT_EQ(failed.size(), 1) << "the change was lost without a word";
        const QString notice = failed.front().front().toString();
        EXPECT_TRUE(notice.contains(path) && notice.contains("Permission denied")) << qPrintable(notice);
        EXPECT_TRUE(notice.contains("lost")) << qPrintable(notice);
        EXPECT_EQ(prefs.writeFailureNotice(), notice) << "a start that comes later says it too";
        prefs.setBool("flag", true);
        EXPECT_FALSE(prefs.sync());
        EXPECT_EQ(failed.size(), 1) << "said once, not at every change";
    }
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0700), 0);
    EXPECT_TRUE(prefs.sync());
    EXPECT_TRUE(prefs.writeFailureNotice().isEmpty());
    EXPECT_EQ(Preferences(path).string("device"), "second");

    // What is no preferences file is said at the start instead, not once more at each change.
    const QString taken = dir.filePath("taken.json");
    ASSERT_TRUE(QDir().mkpath(taken));
    Preferences elsewhere(taken);
    QSignalSpy notSaid(&elsewhere, &Preferences::writeFailed);
    elsewhere.setBool("flag", true);
    QCoreApplication::processEvents();
    EXPECT_TRUE(notSaid.isEmpty());
    EXPECT_TRUE(elsewhere.writeFailureNotice().isEmpty());
}
