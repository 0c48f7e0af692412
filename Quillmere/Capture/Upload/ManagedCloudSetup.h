#pragma once

#include "Quillmere/Capture/Upload/ManagedCloudClient.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantMap>
#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace quillmere {

class PasteboardWriter;
class Preferences;

struct CloudTestState {
    enum class Kind { idle, testing, succeeded, failed };
    Kind kind = Kind::idle;
    QUrl link;       // succeeded
    QString message; // failed
    bool operator==(const CloudTestState &) const = default;
};

// State and actions of the settings block that offers the managed service: making it the share
// destination, and a test upload of a one-pixel image through the whole managed path whose link
// ends up on the pasteboard. The block's view draws statusLines() and calls the two actions.
class ManagedCloudSetup : public QObject {
    Q_OBJECT
public:
    struct Dependencies {
        QNetworkAccessManager *network = nullptr;
        Preferences *preferences = nullptr;
        PasteboardWriter *pasteboard = nullptr;
        QVariantMap bundleInfo = ManagedCloudConfiguration::mainBundleInfo();
        // Read from the keyring off the main thread.
        AsyncSecretStore::Fetch accessToken;
        // Tests only: plain http to servers on this machine.
        bool allowLoopbackHttp = false;
    };

    static inline const QString testFileName = QStringLiteral("Brindlewax-Cloud-Test.png");
    static inline const QString setupConfirmation =
        QStringLiteral("Brindlewax Cloud will now be used for screenshot links.");
    static inline const QString missingTokenMessage =
        QStringLiteral("No Brindlewax Cloud access token is stored in the keyring.");

    explicit ManagedCloudSetup(Dependencies dependencies, QObject *parent = nullptr);

    // A 1 by 1 PNG, one opaque black pixel (68 bytes).
    static const QByteArray &testImageData();

    const CloudTestState &cloudTestState() const { return m_state; }
    const std::optional<QString> &cloudSetupMessage() const { return m_setupMessage; }
    bool canStartTestUpload() const { return m_state.kind != CloudTestState::Kind::testing; }

    // "Use for Screenshot Links".
    void useForScreenshotLinks();
    // "Test Upload"; ignored while a test runs.
    void startTestUpload();

    // The block's status lines, in order: the confirmation, then the test's state.
    QStringList statusLines() const;

Q_SIGNALS:
    void changed();

private:
    void sendTestImage(const ManagedCloudClient &client, const std::optional<QString> &token);
    void fail(const QString &message);

    Dependencies m_dependencies;
    CloudTestState m_state;
    std::optional<QString> m_setupMessage;
};

} // namespace quillmere
