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
// In menu order; only own storage where the build has no managed service.
QList<ShareStorageProvider> allShareStorageProviders(bool managedServiceBuilt);

// The stored choice; absent or unknown text gives the managed service, which is not written back.
// Where the build has no managed service, own storage, whatever is stored: the stored text stays
// as it was for a build that has one.
ShareStorageProvider currentShareStorageProvider(const Preferences &prefs, bool managedServiceBuilt);
void storeShareStorageProvider(Preferences &prefs, ShareStorageProvider provider);

// What the destination row shows for a choice.
QString menuLabel(ShareStorageProvider provider);
QString symbolName(ShareStorageProvider provider);
QString destinationSubtitle(ShareStorageProvider provider);

} // namespace quillmere
