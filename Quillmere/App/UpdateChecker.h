#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QVersionNumber>
#include <functional>
#include <optional>

namespace quillmere {

class Preferences;

// Updates normally come from the package manager. Only when a feed address is configured
// ("updateFeedURL", http or https) does a check go to the network; the feed is a small JSON
// object {"version": "1.2.3", "url": "https://..."}.
class UpdateChecker : public QObject {
    Q_OBJECT
public:
    static inline const QString feedKey = QStringLiteral("updateFeedURL");
    static constexpr qint64 maxFeedBytes = 64 * 1024;

    struct Result {
        enum class Kind { packageManaged, upToDate, available, failed } kind;
        QString message;
        QUrl downloadUrl;
    };
    using Presenter = std::function<void(const Result &)>;

    UpdateChecker(Preferences &prefs, QVersionNumber currentVersion, Presenter present, QObject *parent = nullptr);

    std::optional<QUrl> feedUrl() const;
    void checkForUpdates();
    // The feed's answer against our version; pure, for tests.
    static Result evaluateFeed(const QByteArray &json, const QVersionNumber &current);

private:
    Preferences &m_prefs;
    QVersionNumber m_current;
    Presenter m_present;
    QNetworkAccessManager m_network;
    QPointer<QNetworkReply> m_reply;
};

} // namespace quillmere
