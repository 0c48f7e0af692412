#include "Quillmere/Clipboard/SourceAppRegistry.h"

#include "Quillmere/Clipboard/SourceAppAppearance.h"
#include "Quillmere/Model/ClipPresentation.h"
#include "Quillmere/Model/ModelContainer.h"

namespace quillmere {

SourceAppRegistry::SourceAppRegistry(SourceAppAppearance &appearance, BrandWriter writer)
    : m_appearance(appearance), m_writer(std::move(writer))
{
}

std::optional<QString> SourceAppRegistry::displayName(const std::optional<QString> &appName)
{
    return sourceDisplayName(appName);
}

void SourceAppRegistry::registerApplication(const QString &bundleID, const std::optional<QString> &appName)
{
    if (bundleID.isEmpty() || m_registeredBundleIDs.contains(bundleID))
        return;
    registerNew(bundleID, appName);
}

void SourceAppRegistry::registerNew(const QString &bundleID, const std::optional<QString> &appName)
{
    // Marked before the work, so a failure is not retried again and again in this run.
    m_registeredBundleIDs.insert(bundleID);
    const QString colorText = m_appearance.brandColorHex(bundleID, bundleID);
    const std::optional<QString> name = displayName(appName);
    const std::optional<QByteArray> icon = m_appearance.iconPNG(bundleID);
    if (m_writer)
        m_writer(bundleID, name, colorText, icon);
}

void SourceAppRegistry::backfill(const ModelContext &context)
{
    // Newest first, so an application's current name wins over one from long ago.
    QSet<QString> seen;
    for (const ClipRef &clip : context.clipsNewestFirst()) {
        const std::optional<QString> &bundleID = clip->sourceAppBundleID();
        if (!bundleID || bundleID->isEmpty() || seen.contains(*bundleID))
            continue;
        seen.insert(*bundleID);
        registerApplication(*bundleID, clip->sourceAppName());
    }
}

} // namespace quillmere
