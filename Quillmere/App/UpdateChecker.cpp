#include "Quillmere/App/UpdateChecker.h"

#include "Quillmere/Platform/Core/Json.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QNetworkReply>

namespace quillmere {

UpdateChecker::UpdateChecker(Preferences &prefs, QVersionNumber currentVersion, Presenter present, QObject *parent)
    : QObject(parent), m_prefs(prefs), m_current(std::move(currentVersion)), m_present(std::move(present))
{
}

std::optional<QUrl> UpdateChecker::feedUrl() const
{
    const auto text = m_prefs.string(feedKey);
    if (!text)
        return std::nullopt;
    const QUrl url(text->trimmed(), QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http"))
        || url.host().isEmpty())
        return std::nullopt;
    return url;
}

UpdateChecker::Result UpdateChecker::evaluateFeed(const QByteArray &json, const QVersionNumber &current)
{
    JsonFields fields(QJsonDocument::fromJson(json).object());
    const QVersionNumber latest = QVersionNumber::fromString(fields.string(QStringLiteral("version")));
    const QUrl url(fields.has(QStringLiteral("url")) ? fields.string(QStringLiteral("url")) : QString());
    if (!fields.ok() || latest.isNull())
        return {Result::Kind::failed, QStringLiteral("The update feed could not be read."), {}};
    if (latest <= current)
        return {
            Result::Kind::upToDate, QStringLiteral("Brindlewax %1 is the newest version.").arg(current.toString()), {}};
    const bool safeUrl =
        url.isValid() && (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"));
    return {Result::Kind::available, QStringLiteral("Brindlewax %1 is available.").arg(latest.toString()),
            safeUrl ? url : QUrl()};
}

void UpdateChecker::checkForUpdates()
{
    const auto url = feedUrl();
    if (!url) {
        m_present({Result::Kind::packageManaged,
                   QStringLiteral("Brindlewax is updated through your system's package manager."),
                   {}});
        return;
    }
    if (m_reply)
        return; // one check at a time
    QNetworkRequest request(*url);
    request.setTransferTimeout(15000);
    m_reply = m_network.get(request);
    QNetworkReply *reply = m_reply;
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64) {
        if (received > maxFeedBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        // The result may be shown in a modal dialog; a check asked for meanwhile must not be ignored.
        m_reply.clear();
        if (reply->error() != QNetworkReply::NoError) {
            m_present({Result::Kind::failed,
                       QStringLiteral("Could not check for updates: %1").arg(reply->errorString()),
                       {}});
            return;
        }
        m_present(evaluateFeed(reply->read(maxFeedBytes), m_current));
    });
}

} // namespace quillmere
