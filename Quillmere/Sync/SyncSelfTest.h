#pragma once

#include "Quillmere/Model/Records.h"
#include "Quillmere/Platform/Core/Clock.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <optional>
#include <vector>

namespace quillmere {

class ClipStore;
class SyncEngine;
class SyncHealthStore;

// The outcome of a round-trip check.
struct SyncVerificationResult {
    enum class Case { verified, timedOut, unavailable };
    Case kind = Case::timedOut;
    QDateTime at; // verified only
    bool operator==(const SyncVerificationResult &o) const
    {
        return kind == o.kind && (kind != Case::verified || at == o.at);
    }
    static SyncVerificationResult verified(const QDateTime &at) { return {Case::verified, at}; }
};

struct SyncDiagnostics {
    int localClipCount = 0;
    QString latestLocalClip;
    QString latestSyncProbe;
    QStringList recentSyncProbes;
};

// Sync test clips: ordinary pinned clips of a fixed form that travel like any other, so that the
// other device can answer one with its own.
namespace SyncProbes {

inline const QString title = QStringLiteral("Brindlewax Sync Check");
inline const QString legacyTitle = QStringLiteral("Quillmere Sync Check");
inline const QString platformName = QStringLiteral("Linux");
inline const QString bundleIdentifier = QStringLiteral("com.orvantide.quillmere");
// The line that marks a test clip as the answer to another one; answers are never answered.
inline const QString answerField = QStringLiteral("Answering:");
// Only test clips this young are answered, so that a device catching up on old history stays quiet.
constexpr qint64 answerWindowSeconds = 600;

// This device's origin: two Linux machines must not take each other's clips for their own, so the
// host name and the start of the device id go with the platform's name. Stable across restarts.
QString deviceOrigin(const QString &hostName, const QString &deviceID);

// `answering` names the test clip answered (its ID line); empty for a test clip of its own.
ClipRef insertSyncProbe(ClipStore &store, const QString &origin, const QString &answering = {});
std::vector<ClipRef> fetchSyncProbes(ClipStore &store, int limit);
// False when the removal could not be saved.
bool deleteSyncProbes(ClipStore &store);
QString syncProbeSummary(ClipStore &store, int limit);
SyncDiagnostics syncDiagnostics(ClipStore &store, const QDateTime &now, int limit);
QString syncProbeOrigin(const ClipItem &clip);
QString syncProbeLine(const ClipItem &clip, const QDateTime &now);
QString latestLocalClipLine(const ClipItem *clip, const QDateTime &now);
std::optional<QDateTime> newestForeignProbeDate(const std::vector<ClipRef> &clips, const QString &excludingOrigin);
// The value of a "Name:" line, trimmed; empty when there is none.
QString probeField(const ClipItem &clip, const QString &name);
// Answers each recent test clip of another origin that is no answer itself and that this origin
// has not answered yet. Returns how many answers were made.
int answerForeignProbes(ClipStore &store, const QString &origin);
// Answers after every import of the engine, for as long as it lives.
void answerImportedProbes(SyncEngine &engine, ClipStore &store, const QString &origin);

} // namespace SyncProbes

// The polling round-trip check: puts a test clip in and waits for a newer one from another
// origin. Sleeps on a timer, so the main thread stays free; the clock is the caller's.
class SyncRoundTrip : public QObject {
    Q_OBJECT
public:
    SyncRoundTrip(ClipStore &store, SyncHealthStore &health, QObject *parent = nullptr);

    // Reports through `finished`, also when the answer is immediate. One check at a time.
    void verify(const QString &origin, Clock now, double timeout, double pollInterval);
    bool isRunning() const { return m_running; }

Q_SIGNALS:
    void finished(const SyncVerificationResult &result);

private:
    void look();
    void finish(const SyncVerificationResult &result);

    ClipStore &m_store;
    SyncHealthStore &m_health;
    QTimer m_sleep;
    bool m_running = false;
    QString m_origin;
    Clock m_now;
    int m_pollMs = 0;
    QDateTime m_deadline;
    std::optional<QDateTime> m_baseline;
};

} // namespace quillmere
