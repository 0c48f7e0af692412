#include "Quillmere/Capture/Upload/ManagedCloudSetup.h"

#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include "Quillmere/Clipboard/PasteboardWriter.h"
#include "Quillmere/Platform/Core/Preferences.h"

#include <QPointer>
#include <QTimer>

namespace quillmere {

ManagedCloudSetup::ManagedCloudSetup(Dependencies dependencies, QObject *parent)
    : QObject(parent), m_dependencies(std::move(dependencies))
{
}

const QByteArray &ManagedCloudSetup::testImageData()
{
    static const QByteArray png = QByteArray::fromBase64(
        "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAQAAAC1HAwCAAAAC0lEQVR42mNk+A8AAQUBAScY42YAAAAASUVORK5CYII=");
    return png;
}

void ManagedCloudSetup::useForScreenshotLinks()
{
    storeShareStorageProvider(*m_dependencies.preferences, ShareStorageProvider::quillmereCloud);
    m_setupMessage = setupConfirmation;
    Q_EMIT changed();
}

void ManagedCloudSetup::startTestUpload()
{
    if (!canStartTestUpload())
        return;
    m_state = {CloudTestState::Kind::testing};
    Q_EMIT changed();

    const ManagedCloudClient client(ManagedCloudConfiguration::fromBundle(m_dependencies.bundleInfo),
                                    *m_dependencies.network, m_dependencies.allowLoopbackHttp);
    if (!client.configuration()) {
        // Failures are reported from the event loop, like every other outcome of the test.
        QTimer::singleShot(0, this, [this] { fail(ManagedCloudError::notConfigured().description()); });
        return;
    }
    if (!m_dependencies.accessToken) {
        QTimer::singleShot(0, this, [this] { fail(missingTokenMessage); });
        return;
    }
    m_dependencies.accessToken(this, [this, client](std::optional<QString> token) { sendTestImage(client, token); });
}

void ManagedCloudSetup::sendTestImage(const ManagedCloudClient &client, const std::optional<QString> &token)
{
    if (!token || token->isEmpty())
        return fail(missingTokenMessage);

    QPointer<ManagedCloudSetup> self(this);
    client.uploadObject(
        testImageData(), testFileName, *token, this, [self, client, token](ManagedCloudClient::ObjectResult stored) {
            if (const auto *failure = std::get_if<ManagedCloudFailure>(&stored))
                return self->fail(describe(*failure));
            client.share(std::get<QString>(stored), *token, self, [self](ManagedCloudClient::ShareResult shared) {
                if (const auto *failure = std::get_if<ManagedCloudFailure>(&shared))
                    return self->fail(describe(*failure));
                const QUrl link = std::get<QUrl>(shared);
                PasteboardContents contents;
                contents.setString(link.toString(QUrl::FullyEncoded));
                self->m_dependencies.pasteboard->writeContents(contents, CopyFeedbackKind::uploadComplete);
                self->m_state = {CloudTestState::Kind::succeeded, link};
                Q_EMIT self->changed();
            });
        });
}

void ManagedCloudSetup::fail(const QString &message)
{
    m_state = {CloudTestState::Kind::failed, {}, message};
    Q_EMIT changed();
}

QStringList ManagedCloudSetup::statusLines() const
{
    QStringList lines;
    if (m_setupMessage)
        lines << *m_setupMessage;
    switch (m_state.kind) {
    case CloudTestState::Kind::idle:
        break;
    case CloudTestState::Kind::testing:
        lines << QStringLiteral("Uploading a tiny test image…");
        break;
    case CloudTestState::Kind::succeeded:
        lines << QStringLiteral("Test upload worked. Its link is on your clipboard: ")
                + m_state.link.toString(QUrl::FullyEncoded);
        break;
    case CloudTestState::Kind::failed:
        lines << m_state.message;
        break;
    }
    return lines;
}

} // namespace quillmere
