#include "Quillmere/Sync/SyncSelfTest.h"

#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"
#include "Quillmere/Sync/RelativeDate.h"
#include "Quillmere/Sync/SyncEngine.h"
#include "Quillmere/Sync/SyncHealthStore.h"

#include <QSet>
#include <QUuid>

namespace quillmere {
namespace SyncProbes {
namespace {

bool isProbe(const ClipItem &clip)
{
    const auto &app = clip.sourceAppName();
    if (app && (*app == title || *app == legacyTitle))
        return true;
    const auto &text = clip.text();
    return text && (text->startsWith(title) || text->startsWith(legacyTitle));
}

ClipQuery probeQuery(int limit)
{
    // substr, not LIKE: the comparison is exact and case-sensitive.
    return {
        QStringLiteral("(sourceAppName = ? OR sourceAppName = ? OR substr(text, 1, ?) = ? OR substr(text, 1, ?) = ?)"),
        {title, legacyTitle, title.size(), title, legacyTitle.size(), legacyTitle},
        isProbe,
        ClipQuery::Order::newestFirst,
        limit};
}

} // namespace

QString deviceOrigin(const QString &hostName, const QString &deviceID)
{
    const QString host = hostName.trimmed();
    const QString id = deviceID.left(6);
    if (host.isEmpty())
        return platformName + QLatin1Char(' ') + id;
    return QStringLiteral("%1 %2 (%3)").arg(platformName, host, id);
}

ClipRef insertSyncProbe(ClipStore &store, const QString &origin, const QString &answering)
{
    const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QString created = store.now().toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + QLatin1Char('Z');
    CapturedContent content;
    content.kind = ClipKind::text;
    content.text = CapturedContent::capText(
        title + QStringLiteral("\nOrigin: ") + origin + QStringLiteral("\nCreated: ") + created
        + QStringLiteral("\nID: ") + uuid
        + (answering.isEmpty() ? QString() : QLatin1Char('\n') + answerField + QLatin1Char(' ') + answering));
    content.sourceAppName = title;
    content.sourceAppBundleID = bundleIdentifier;
    return store.insertManualClip(content, nullptr, std::nullopt);
}

std::vector<ClipRef> fetchSyncProbes(ClipStore &store, int limit)
{
    return store.context().fetchClips(probeQuery(limit));
}

bool deleteSyncProbes(ClipStore &store)
{
    for (const ClipRef &clip : store.context().fetchClips(probeQuery(-1)))
        store.context().remove(clip);
    QString error;
    if (store.context().save(&error))
        return true;
    qCCritical(lcStore, "Failed to delete sync probes: %s", qPrintable(error));
    return false;
}

QString syncProbeSummary(ClipStore &store, int limit)
{
    const std::vector<ClipRef> probes = fetchSyncProbes(store, limit);
    if (probes.empty())
        return QStringLiteral("No sync test clips yet.");
    const QString when = relativeNamedDate(probes.front()->createdAt(), store.now());
    if (probes.size() == 1)
        return QStringLiteral("Latest test clip: ") + when + QLatin1Char('.');
    return QStringLiteral("%1 recent test clips. Latest: %2.").arg(probes.size()).arg(when);
}

QString probeField(const ClipItem &clip, const QString &name)
{
    if (!clip.text())
        return {};
    static const QRegularExpression newlines(QStringLiteral("[\\n\\r\\x{0B}\\x{0C}\\x{85}\\x{2028}\\x{2029}]"));
    for (const QString &piece : clip.text()->split(newlines)) {
        const QString line = piece.trimmed();
        if (line.startsWith(name))
            return line.mid(name.size()).trimmed();
    }
    return {};
}

QString syncProbeOrigin(const ClipItem &clip)
{
    const QString origin = probeField(clip, QStringLiteral("Origin:"));
    return origin.isEmpty() ? QStringLiteral("Unknown device") : origin;
}

QString syncProbeLine(const ClipItem &clip, const QDateTime &now)
{
    return syncProbeOrigin(clip) + QStringLiteral(" - ") + relativeNamedDate(clip.createdAt(), now);
}

QString latestLocalClipLine(const ClipItem *clip, const QDateTime &now)
{
    if (!clip)
        return QStringLiteral("No local clips yet.");
    QString label = QStringLiteral("Text");
    const QString &kind = clip->kindRawValue();
    if (kind == QLatin1String("url"))
        label = QStringLiteral("Link");
    else if (kind == QLatin1String("image"))
        label = QStringLiteral("Image");
    else if (kind == QLatin1String("file"))
        label = QStringLiteral("File");
    const SafePresentation safe = safePresentation(*clip);
    QString name = safe.displayName.value_or(safe.safePreview);
    name.replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (name.size() >= 49)
        name = name.left(45) + QStringLiteral("...");
    return label + QStringLiteral(" - ") + name + QStringLiteral(" - ") + relativeNamedDate(clip->createdAt(), now);
}

SyncDiagnostics syncDiagnostics(ClipStore &store, const QDateTime &now, int limit)
{
    SyncDiagnostics d;
    d.localClipCount = int(store.context().clipCount());
    const ClipRef newest = store.context().newestClip();
    d.latestLocalClip = latestLocalClipLine(newest.get(), now);
    const std::vector<ClipRef> probes = fetchSyncProbes(store, limit);
    d.latestSyncProbe =
        probes.empty() ? QStringLiteral("No sync test clips yet.") : syncProbeLine(*probes.front(), now);
    for (const ClipRef &probe : probes)
        d.recentSyncProbes << syncProbeLine(*probe, now);
    return d;
}

std::optional<QDateTime> newestForeignProbeDate(const std::vector<ClipRef> &clips, const QString &excludingOrigin)
{
    std::optional<QDateTime> newest;
    for (const ClipRef &clip : clips)
        if (syncProbeOrigin(*clip) != excludingOrigin && (!newest || clip->createdAt() > *newest))
            newest = clip->createdAt();
    return newest;
}

int answerForeignProbes(ClipStore &store, const QString &origin)
{
    const std::vector<ClipRef> probes = fetchSyncProbes(store, 24);
    const QDateTime oldest = store.now().addSecs(-answerWindowSeconds);
    QSet<QString> answered;
    for (const ClipRef &probe : probes)
        if (syncProbeOrigin(*probe) == origin)
            answered.insert(probeField(*probe, answerField));
    int made = 0;
    for (const ClipRef &probe : probes) {
        if (syncProbeOrigin(*probe) == origin || !probeField(*probe, answerField).isEmpty()
            || probe->createdAt() < oldest)
            continue;
        // A test clip without an ID line is known by its date.
        QString key = probeField(*probe, QStringLiteral("ID:"));
        if (key.isEmpty())
            key = probe->createdAt().toUTC().toString(Qt::ISODateWithMs);
        if (answered.contains(key))
            continue;
        answered.insert(key);
        if (insertSyncProbe(store, origin, key))
            ++made;
    }
    return made;
}

void answerImportedProbes(SyncEngine &engine, ClipStore &store, const QString &origin)
{
    QObject::connect(&engine, &SyncEngine::imported, &engine, [&store, origin] { answerForeignProbes(store, origin); });
}

} // namespace SyncProbes

SyncRoundTrip::SyncRoundTrip(ClipStore &store, SyncHealthStore &health, QObject *parent)
    : QObject(parent), m_store(store), m_health(health)
{
    m_sleep.setSingleShot(true);
    connect(&m_sleep, &QTimer::timeout, this, &SyncRoundTrip::look);
}

void SyncRoundTrip::verify(const QString &origin, Clock now, double timeout, double pollInterval)
{
    if (m_running)
        return;
    if (!m_health.facts().cloudKitActive) {
        QTimer::singleShot(0, this, [this] { Q_EMIT finished({SyncVerificationResult::Case::unavailable, {}}); });
        return;
    }
    m_running = true;
    m_origin = origin;
    m_now = std::move(now);
    m_pollMs = int(std::max(pollInterval, 0.0) * 1000);
    m_baseline = SyncProbes::newestForeignProbeDate(SyncProbes::fetchSyncProbes(m_store, 12), origin);
    SyncProbes::insertSyncProbe(m_store, origin);
    m_deadline = m_now().addMSecs(qint64(timeout * 1000));
    // The first look follows the insert at once, still delivered from the event loop.
    m_sleep.start(0);
}

void SyncRoundTrip::look()
{
    if (m_now() >= m_deadline) {
        finish({SyncVerificationResult::Case::timedOut, {}});
        return;
    }
    const auto latest = SyncProbes::newestForeignProbeDate(SyncProbes::fetchSyncProbes(m_store, 12), m_origin);
    if (latest && (!m_baseline || *latest > *m_baseline)) {
        m_health.defaults().setDouble(QStringLiteral("syncHealth.lastVerifiedAt"),
                                      m_now().toMSecsSinceEpoch() / 1000.0);
        finish(SyncVerificationResult::verified(m_now()));
        return;
    }
    m_sleep.start(m_pollMs);
}

void SyncRoundTrip::finish(const SyncVerificationResult &result)
{
    m_running = false;
    Q_EMIT finished(result);
}

} // namespace quillmere
