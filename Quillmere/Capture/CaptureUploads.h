#pragma once

#include "Quillmere/Capture/Upload/CaptureUploadService.h"
#include "Quillmere/Platform/SecretStore.h"

#include <QObject>
#include <functional>
#include <optional>

namespace quillmere {

class ClipItem;
class Preferences;

// What an upload after a capture reads when it starts: the stored record, the keyring's secret
// and the shared network. The keyring is read off the main thread, as it may wait on a prompt.
struct CaptureUploadContext {
    const Preferences *preferences = nullptr;
    std::function<UploadEnvironment()> environment;
    AsyncSecretStore::Fetch readSecret;
    // The managed service's token, read only when that service is the destination.
    AsyncSecretStore::Fetch readManagedToken;

    bool isAvailable() const { return preferences && environment; }
    // The own-storage record is complete, whatever destination an upload would use.
    bool isConfigured() const;
    // Uploads `clip` with a fresh record and secret. The service lives under `owner`, so closing
    // a card does not end it; `done` runs once on the main thread unless `owner` goes first. A
    // failure is logged here, once, with its reason.
    void upload(QObject *owner, const ClipItem &clip, std::function<void(UploadResult)> done) const;
};

} // namespace quillmere
