#include "Support/TestSupport.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

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
