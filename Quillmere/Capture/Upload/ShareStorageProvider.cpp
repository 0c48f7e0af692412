#include "Quillmere/Capture/Upload/ShareStorageProvider.h"
#include "Quillmere/Platform/Core/PreferenceKeys.h"

#include "Quillmere/Platform/Core/Preferences.h"

namespace quillmere {

QString rawValue(ShareStorageProvider provider)
{
    switch (provider) {
    case ShareStorageProvider::quillmereCloud:
        return QStringLiteral("quillmereCloud");
    case ShareStorageProvider::ownStorage:
        return QStringLiteral("ownStorage");
    }
    return QStringLiteral("quillmereCloud");
}

std::optional<ShareStorageProvider> shareStorageProviderFromRaw(const QString &raw)
{
    for (ShareStorageProvider provider : allShareStorageProviders(true))
        if (rawValue(provider) == raw)
            return provider;
    return std::nullopt;
}

QList<ShareStorageProvider> allShareStorageProviders(bool managedServiceBuilt)
{
    if (!managedServiceBuilt)
        return {ShareStorageProvider::ownStorage};
    return {ShareStorageProvider::quillmereCloud, ShareStorageProvider::ownStorage};
}

ShareStorageProvider currentShareStorageProvider(const Preferences &prefs, bool managedServiceBuilt)
{
    if (!managedServiceBuilt)
        return ShareStorageProvider::ownStorage;
    return shareStorageProviderFromRaw(prefs.string(PreferenceKeys::shareStorageProvider).value_or(QString()))
        .value_or(ShareStorageProvider::quillmereCloud);
}

void storeShareStorageProvider(Preferences &prefs, ShareStorageProvider provider)
{
    prefs.setString(PreferenceKeys::shareStorageProvider, rawValue(provider));
}

QString menuLabel(ShareStorageProvider provider)
{
    switch (provider) {
    case ShareStorageProvider::quillmereCloud:
        return QStringLiteral("Brindlewax Cloud");
    case ShareStorageProvider::ownStorage:
        return QStringLiteral("My own R2/S3");
    }
    return {};
}

QString symbolName(ShareStorageProvider provider)
{
    switch (provider) {
    case ShareStorageProvider::quillmereCloud:
        return QStringLiteral("cloud.fill");
    case ShareStorageProvider::ownStorage:
        return QStringLiteral("externaldrive.fill");
    }
    return {};
}

QString destinationSubtitle(ShareStorageProvider provider)
{
    switch (provider) {
    case ShareStorageProvider::quillmereCloud:
        return QStringLiteral("Private storage, managed for you by Brindlewax Cloud.");
    case ShareStorageProvider::ownStorage:
        return QStringLiteral("Use credentials for storage you control.");
    }
    return {};
}

} // namespace quillmere
