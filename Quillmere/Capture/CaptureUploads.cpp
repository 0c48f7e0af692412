#include "Quillmere/Capture/CaptureUploads.h"

#include "Quillmere/Capture/Upload/ShareUploadConfig.h"

namespace quillmere {

bool CaptureUploadContext::isConfigured() const
{
    return preferences && ShareUploadConfig::load(*preferences).isComplete();
}

void CaptureUploadContext::upload(QObject *owner, const ClipItem &clip, std::function<void(UploadResult)> done) const
{
    if (!isAvailable()) {
        done(UploadError::of(UploadError::Kind::notConfigured));
        return;
    }
    auto *service = new CaptureUploadService(ShareUploadConfig::load(*preferences),
                                             readSecret ? readSecret() : std::nullopt, environment(), owner);
    service->upload(clip, [service, done = std::move(done)](UploadResult result) {
        service->deleteLater();
        done(std::move(result));
    });
}

} // namespace quillmere
