#pragma once

#include "Quillmere/Capture/Upload/CaptureUploadService.h"

#include <QObject>
#include <functional>
#include <optional>

namespace quillmere {

class ClipItem;
class Preferences;

// What an upload after a capture reads when it starts: the stored record, the keyring's secret
// and the shared network.
struct CaptureUploadContext {
    const Preferences *preferences = nullptr;
    std::function<UploadEnvironment()> environment;
    std::function<std::optional<QString>()> readSecret;

    bool isAvailable() const { return preferences && environment; }
    // The own-storage record is complete, whatever destination an upload would use.
    bool isConfigured() const;
    // Uploads `clip` with a fresh record and secret. The service lives under `owner`, so closing
    // a card does not end it; `done` runs once on the main thread unless `owner` goes first.
    void upload(QObject *owner, const ClipItem &clip, std::function<void(UploadResult)> done) const;
};

} // namespace quillmere
