#include "Quillmere/Capture/CaptureUploads.h"

#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include "Quillmere/Capture/Upload/ShareUploadConfig.h"
#include "Quillmere/Model/Records.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QPointer>

namespace quillmere {

bool CaptureUploadContext::isConfigured() const
{
    return preferences && ShareUploadConfig::load(*preferences).isComplete();
}

namespace {

using Fetch = AsyncSecretStore::Fetch;

// The keyring answers later, by when the card's clip may be gone: what an upload reads of it.
std::shared_ptr<ClipItem> uploadCopy(const ClipItem &clip)
{
    auto copy = std::make_shared<ClipItem>();
    copy->setKind(clip.kind());
    if (clip.text())
        copy->setText(*clip.text());
    if (clip.hasImageData())
        if (std::optional<QByteArray> bytes = clip.imageData())
            copy->setImageData(*bytes);
    return copy;
}

void fetchOrNothing(const Fetch &fetch, QObject *context, std::function<void(std::optional<QString>)> done)
{
    if (fetch)
        fetch(context, std::move(done));
    else
        done(std::nullopt);
}

} // namespace

void CaptureUploadContext::upload(QObject *owner, const ClipItem &clip, std::function<void(UploadResult)> done) const
{
    auto finish = [done = std::move(done)](UploadResult result) {
        if (const auto *error = std::get_if<UploadError>(&result); error && !error->isCancelled())
            qCWarning(lcCapture, "Upload failed: %s", qPrintable(error->reason()));
        done(std::move(result));
    };
    if (!isAvailable()) {
        finish(UploadError::of(UploadError::Kind::notConfigured));
        return;
    }
    const bool managed = currentShareStorageProvider(
                             *preferences, ManagedCloudConfiguration::fromBundle(environment().bundleInfo).has_value())
        == ShareStorageProvider::quillmereCloud;
    std::shared_ptr<ClipItem> copy = uploadCopy(clip);
    QPointer<QObject> guard(owner);
    auto start = [guard, copy, context = *this, finish](std::optional<QString> secret,
                                                        std::optional<std::optional<QString>> token) {
        if (!guard)
            return;
        UploadEnvironment env = context.environment();
        if (token)
            env.managedAccessToken = [token = *token] { return token; };
        auto *service = new CaptureUploadService(ShareUploadConfig::load(*context.preferences), std::move(secret),
                                                 std::move(env), guard.data());
        service->upload(*copy, [service, finish](UploadResult result) {
            service->deleteLater();
            finish(std::move(result));
        });
    };
    if (managed && readManagedToken)
        return readManagedToken(owner,
                                [start](std::optional<QString> token) { start(std::nullopt, std::move(token)); });
    fetchOrNothing(readSecret, owner,
                   [start](std::optional<QString> secret) { start(std::move(secret), std::nullopt); });
}

} // namespace quillmere
