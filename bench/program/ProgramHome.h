#pragma once

// The homes the program is started in: config, data and runtime folders of its own, and a store of
// text clips made once per size.

#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/ModelContainer.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <iterator>
#include <map>
#include <memory>
#include <utility>

namespace quillmere::bench::program {

inline QString clipText(int i)
{
    QString text = QStringLiteral("Clip %1: notes on the quarterly budget and the meeting after it, ").arg(i);
    while (text.size() < 300)
        text += QStringLiteral("draft %1 of the plan, ").arg(i % 97);
    return text.left(300);
}

// A note of about 300 bytes made of one everyday vocabulary, so that thousands of notes are close
// in meaning to any two of its words.
inline QString vocabularyText(int i)
{
    static const char *const words[] = {
        "invoice", "payment",  "coffee",   "lunch",   "client",   "ticket",   "meeting",  "receipt",  "budget",
        "order",   "delivery", "refund",   "office",  "email",    "call",     "report",   "project",  "deadline",
        "account", "bank",     "transfer", "expense", "travel",   "hotel",    "flight",   "dinner",   "breakfast",
        "team",    "manager",  "contract", "price",   "discount", "customer", "supplier", "bill",     "tax",
        "salary",  "holiday",  "taxi",     "train",   "parking",  "agenda",   "review",   "schedule", "tea"};
    static const char *const joins[] = {" and ", " for the ", " after ", " with the ", ", then ", " before "};
    QRandomGenerator random(quint32(i) * 2654435761u + 17);
    QString text = QStringLiteral("Note %1: ").arg(i);
    while (text.size() < 300) {
        text += QLatin1String(words[random.bounded(int(std::size(words)))]);
        text +=
            random.bounded(4) == 0 ? QStringLiteral(". ") : QLatin1String(joins[random.bounded(int(std::size(joins)))]);
    }
    return text.left(300);
}

// A home with config, data and a private runtime folder; the store holds `clips` text clips.
struct Home {
    using Text = QString (*)(int);
    QTemporaryDir dir;
    int clips = 0;
    Text text = clipText;

    QString storePath() const { return dir.filePath(QStringLiteral("data/Quillmere/default.store")); }
    QString prefsPath() const { return dir.filePath(QStringLiteral("config/orvantide/quillmere.json")); }

    explicit Home(int count, Text makeText = clipText) : clips(count), text(makeText)
    {
        QDir(dir.path()).mkpath(QStringLiteral("data/Quillmere"));
        QDir(dir.path()).mkpath(QStringLiteral("config/orvantide"));
        QDir(dir.path()).mkdir(QStringLiteral("run"));
        QFile::setPermissions(dir.filePath(QStringLiteral("run")),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    void fill()
    {
        Preferences prefs(prefsPath());
        prefs.setBool(QStringLiteral("onboardingCompleted"), true);
        NotificationCenter center;
        QString error;
        std::shared_ptr<ModelContainer> container(ModelContainer::open(storePath(), systemClock(), &error).release());
        if (!container)
            qFatal("Cannot open the store: %s", qPrintable(error));
        ClipStore store(container, {&prefs, &center});
        store.setHistoryLimit(-1);
        for (int i = 0; i < clips; ++i) {
            CapturedContent content{.kind = ClipKind::text};
            content.text = text(i);
            content.sourceAppName = QStringLiteral("Editor");
            store.context().insert(store.makeClip(content));
            if (i % 5000 == 4999)
                store.save();
        }
        store.save();
        prefs.sync();
    }
    // Another home with the same store and preferences.
    std::unique_ptr<Home> clone() const
    {
        auto copy = std::make_unique<Home>(clips, text);
        QFile::copy(storePath(), copy->storePath());
        QFile::copy(prefsPath(), copy->prefsPath());
        return copy;
    }
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), dir.filePath(QStringLiteral("cache")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath(QStringLiteral("run")));
        env.insert(QStringLiteral("HOME"), dir.path());
        env.remove(QStringLiteral("OMP_THREAD_LIMIT"));
        env.remove(QStringLiteral("OMP_WAIT_POLICY"));
        return env;
    }
    double bytesPerClip() const
    {
        qint64 bytes = 0;
        for (const char *suffix : {"", "-wal"})
            bytes += QFileInfo(storePath() + QLatin1String(suffix)).size();
        return clips ? double(bytes) / clips : 0;
    }
};

// Stores are made once per size and text: 100,000 clips take a while.
inline const Home &storeOf(int clips, Home::Text text = clipText)
{
    static std::map<std::pair<int, Home::Text>, std::unique_ptr<Home>> homes;
    auto &home = homes[{clips, text}];
    if (!home) {
        home = std::make_unique<Home>(clips, text);
        home->fill();
    }
    return *home;
}

// How many of the clipboard setter's "bench copy <n>" the store holds, and how many of them stand
// in the order they were made.
inline int copiesKept(const Home &home, int *inOrder = nullptr)
{
    int kept = 0, ordered = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("count"));
        db.setDatabaseName(home.storePath());
        if (db.open()) {
            QSqlQuery q(db);
            q.exec(QStringLiteral("SELECT text FROM clips WHERE text LIKE 'bench copy %' ORDER BY createdAt, id"));
            while (q.next()) {
                const int n = q.value(0).toString().section(u' ', 2, 2).toInt();
                ordered += n == kept ? 1 : 0;
                ++kept;
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("count"));
    if (inOrder)
        *inOrder = ordered;
    return kept;
}

} // namespace quillmere::bench::program
