#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace quillmere {

class Preferences;

// Where share links come from: the managed upload service or the user's own bucket.
enum class ShareStorageProvider { quillmereCloud, ownStorage };

QString rawValue(ShareStorageProvider provider);
// Exact text only.
std::optional<ShareStorageProvider> shareStorageProviderFromRaw(const QString &raw);
// In menu order.
const QList<ShareStorageProvider> &allShareStorageProviders();

// The stored choice; absent or unknown text gives the managed service, which is not written back.
ShareStorageProvider currentShareStorageProvider(const Preferences &prefs);
void storeShareStorageProvider(Preferences &prefs, ShareStorageProvider provider);

// What the destination row shows for a choice.
QString menuLabel(ShareStorageProvider provider);
QString symbolName(ShareStorageProvider provider);
QString destinationSubtitle(ShareStorageProvider provider);

} // namespace quillmere
