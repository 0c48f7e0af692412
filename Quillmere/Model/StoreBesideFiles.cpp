#include "Quillmere/Model/StoreBesideFiles.h"

#include "Quillmere/Platform/Core/InBackground.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <sqlite3.h>
#include <unordered_map>

namespace quillmere::StoreBesideFiles {
namespace {

// How long a start spends reading what an earlier session left beside the store.
constexpr qint64 besideReadMs = 10 * 1000;

// Counts stop here: a file put beside the store may be any size.
constexpr qint64 countedClips = 10'000'000;

// The same content: the stored hash is left empty where the row's own words give it back. By the
// indexed key of the hash first; a store too old to have one is read without it.
qint64 countMissing(sqlite3 *db)
{
    for (const char *key : {"c.hashKey = k.hashKey AND ", ""}) {
        const QByteArray count = QByteArrayLiteral("SELECT count(*) FROM (SELECT 1 FROM side.clips AS k WHERE NOT "
                                                   "EXISTS (SELECT 1 FROM main.clips AS c WHERE ")
            + key
            + "c.contentHash = k.contentHash AND c.kind IS k.kind AND c.text IS k.text AND c.fileName IS "
              "k.fileName) LIMIT "
            + QByteArray::number(countedClips) + ')';
        sqlite3_stmt *q = nullptr;
        if (sqlite3_prepare_v2(db, count.constData(), -1, &q, nullptr) != SQLITE_OK)
            continue;
        const qint64 missing = sqlite3_step(q) == SQLITE_ROW ? sqlite3_column_int64(q, 0) : -1;
        sqlite3_finalize(q);
        return missing;
    }
    return -1;
}

// The clips of the store kept at `side` whose content the store at `storePath` lacks; -1 when it
// cannot tell (not a store of ours, unreadable, or too slow to read by `deadline`).
qint64 clipsMissing(const QString &side, const QString &storePath, const QDeadlineTimer &deadline)
{
    // Opened to read, a FIFO would hold the thread until something writes to it.
    if (!QFileInfo(side).isFile())
        return -1;
    const QString index = side + QStringLiteral("-shm");
    const bool hasLog = QFileInfo::exists(side + QStringLiteral("-wal")), hadIndex = QFileInfo::exists(index);
    sqlite3 *db = nullptr;
    qint64 missing = -1;
    // Both read only: the store's own connection writes, nothing here does.
    if (sqlite3_open_v2(QFile::encodeName(storePath).constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr)
        == SQLITE_OK) {
        sqlite3_busy_timeout(db, 100);
        sqlite3_progress_handler(
            db, 10000, [](void *until) { return int(static_cast<const QDeadlineTimer *>(until)->hasExpired()); },
            const_cast<QDeadlineTimer *>(&deadline));
        // Read as it lies, leaving no log or index beside it, unless a log it has holds some of it.
        const QByteArray name = hasLog
            ? QFile::encodeName(side)
            : "file:" + QUrl::toPercentEncoding(QFile::encodeName(side), "/") + "?immutable=1";
        char *attach = sqlite3_mprintf("ATTACH %Q AS side", name.constData());
        if (attach && sqlite3_exec(db, attach, nullptr, nullptr, nullptr) == SQLITE_OK)
            missing = countMissing(db);
        sqlite3_free(attach);
    }
    sqlite3_close(db);
    // The index a reader of a file with its log makes goes again, so that the file lies as found.
    if (hasLog && !hadIndex)
        QFile::remove(index);
    return missing;
}

const QString lossesKey = QStringLiteral("setAsideLosses");
constexpr qsizetype lossesRemembered = 64;

QString tagged(const QFileInfo &store, const QString &tag)
{
    return store.fileName() + QLatin1Char('.') + tag + QStringLiteral("-*");
}

bool isCompanion(const QString &file)
{
    return file.endsWith(QLatin1String("-journal")) || file.endsWith(QLatin1String("-wal"))
        || file.endsWith(QLatin1String("-shm"));
}

// The kept and set-aside files beside `store`, companions too, by name.
QStringList setAsideNames(const QFileInfo &store)
{
    return store.absoluteDir().entryList({tagged(store, keptTag), tagged(store, unreadableTag)}, QDir::Files,
                                         QDir::Name);
}

// The losses noted of each file set aside, by its name: at least, at most (-1: not bounded).
std::unordered_map<QString, std::pair<int, int>> readLosses(const QString &noted)
{
    std::unordered_map<QString, std::pair<int, int>> losses;
    for (const QString &line : noted.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() == 3)
            losses[fields[0]] = {fields[1].toInt(), fields[2].toInt()};
    }
    return losses;
}

// "N copies", "at least N copies", "N to M copies" that its salvage could not read back; empty when none.
QString lostWords(const std::pair<int, int> &loss)
{
    const auto [lost, atMost] = loss;
    const auto copies = [](int n) { return n == 1 ? QStringLiteral("1 copy") : QStringLiteral("%1 copies").arg(n); };
    const QString howMany = atMost == lost ? (lost > 0 ? copies(lost) : QString())
        : atMost < 0 ? (lost > 0 ? QStringLiteral("at least ") + copies(lost) : QStringLiteral("perhaps some copies"))
                     : QStringLiteral("%1 to %2").arg(lost).arg(copies(atMost));
    return howMany.isEmpty() ? QString() : howMany + QStringLiteral(" that could not be read back");
}

// The words for the user, if any, and the signatures of the stores told of, at this start or before.
std::pair<QString, QString> find(const QString &storePath, const QString &toldBefore, const QString &notedLosses)
{
    const QStringList told = toldBefore.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const auto losses = readLosses(notedLosses);
    const QFileInfo store(storePath);
    const QDir folder = store.absoluteDir();
    QStringList removed, named, signatures;
    for (const QString &file : folder.entryList({tagged(store, unfinishedTag)}, QDir::Files))
        if (QFile::remove(folder.filePath(file)) && !isCompanion(file))
            removed << folder.filePath(file);
    const QDeadlineTimer deadline(besideReadMs);
    for (const QString &file : setAsideNames(store)) {
        if (isCompanion(file) || deadline.hasExpired() || !store.exists())
            continue;
        // The file as it is now: another file at its name, or the same one changed, is told of again.
        const QString at = folder.filePath(file);
        const QFileInfo info(at);
        const QString signature =
            QStringLiteral("%1|%2|%3").arg(at).arg(info.size()).arg(info.lastModified().toMSecsSinceEpoch());
        if (told.contains(signature)) {
            signatures << signature;
            continue;
        }
        // A damaged file is read as far as it can be; what its salvage could not read back is in it all the same.
        QStringList held;
        if (const qint64 missing = clipsMissing(at, storePath, deadline); missing > 0)
            held << QStringLiteral("%1%2").arg(missing >= countedClips ? QStringLiteral("at least ") : QString(),
                                               missing == 1 ? QStringLiteral("1 copy")
                                                            : QStringLiteral("%1 copies").arg(missing));
        if (const auto noted = losses.find(file); noted != losses.end() && !lostWords(noted->second).isEmpty())
            held << lostWords(noted->second);
        if (!held.isEmpty()) {
            signatures << signature;
            named << QStringLiteral("%1 (%2)").arg(at, held.join(QStringLiteral(", and ")));
        }
    }
    QString text;
    if (!removed.isEmpty())
        text = QStringLiteral("Brindlewax was stopped before it finished writing your clipboard history file %1 "
                              "again, after that file was deleted or replaced while Brindlewax ran. The unfinished "
                              "copy (%2) could not be used and was removed; copies not also kept in a fallback store "
                              "are lost. ")
                   .arg(storePath, removed.join(QStringLiteral(", ")));
    if (!named.isEmpty())
        text += QStringLiteral("Beside your clipboard history lie earlier histories, kept when its file was replaced "
                               "or could not be read, with copies that are not in it: %1. They were left as they are.")
                    .arg(named.join(QStringLiteral(", ")));
    return {text.trimmed(), signatures.join(QLatin1Char('\n'))};
}

} // namespace

void noteLoss(Preferences &preferences, const QString &aside, const StoreSalvage::Loss &loss)
{
    if (aside.isEmpty() || loss.lost < 0)
        return;
    // No look at the folder here, on the main thread: the newest few are remembered, each name once.
    const QString name = QFileInfo(aside).fileName();
    QStringList lines = preferences.string(lossesKey).value_or(QString()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.removeIf([&name](const QString &line) { return line.section(QLatin1Char('\t'), 0, 0) == name; });
    while (lines.size() >= lossesRemembered)
        lines.removeFirst();
    lines << QStringLiteral("%1\t%2\t%3").arg(name).arg(loss.lost).arg(loss.lostAtMost);
    preferences.setString(lossesKey, lines.join(QLatin1Char('\n')));
}

SetAside setAsideFiles(const QString &storePath)
{
    const QFileInfo store(storePath);
    const QDir folder = store.absoluteDir();
    SetAside found;
    for (const QString &file : setAsideNames(store)) {
        found.histories += isCompanion(file) ? 0 : 1;
        found.bytes += QFileInfo(folder.filePath(file)).size();
    }
    return found;
}

void look(QObject *receiver, Preferences &preferences, const QString &storePath,
          const std::function<void(const QString &)> &tell)
{
    // Those told of are told of again only when changed: each also has the clips deleted or pruned since.
    static const QString toldKey = QStringLiteral("besideHistoriesTold");
    const QString told = preferences.string(toldKey).value_or(QString());
    inBackground(
        receiver,
        [storePath, told, losses = preferences.string(lossesKey).value_or(QString())] {
            return find(storePath, told, losses);
        },
        [&preferences, told, tell](const std::pair<QString, QString> &found) {
            if (found.second != told)
                preferences.setString(toldKey, found.second);
            if (!found.first.isEmpty()) {
                qCCritical(lcPersistence, "%s", qPrintable(found.first));
                tell(found.first);
            }
        });
}

} // namespace quillmere::StoreBesideFiles
