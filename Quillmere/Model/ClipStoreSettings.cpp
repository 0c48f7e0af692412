// The history limit's settings record and the source applications' brands.

#include "Quillmere/Model/ClipStore.h"

#include "Quillmere/Platform/Core/Logging.h"
#include "Quillmere/Platform/Core/Preferences.h"

namespace quillmere {
namespace {
const QString kHistoryLimitKey = QStringLiteral("historyLimit");
} // namespace

SettingsRef ClipStore::preferredSettings() const
{
    SettingsRef best;
    for (const SettingsRef &s : context().appSettings()) {
        // The latest write wins; on a tie the larger chosen limit, then the oldest record.
        if (!best || s->updatedAt() > best->updatedAt()
            || (s->updatedAt() == best->updatedAt() && s->historyLimitValue() > best->historyLimitValue()))
            best = s;
    }
    return best;
}

SettingsRef ClipStore::resolveSettings()
{
    const SettingsRef keep = preferredSettings();
    if (!keep)
        return nullptr;
    const auto all = context().appSettings();
    if (all.size() > 1) {
        for (const SettingsRef &s : all)
            if (s != keep)
                context().remove(s);
        saveOrRollback("Failed to resolve settings: %s");
    }
    return keep;
}

qint64 ClipStore::historyLimit()
{
    const SettingsRef settings = preferredSettings();
    const qint64 value = settings ? settings->historyLimitValue() : 0;
    return value == 0 ? defaultHistoryLimit : value;
}

void ClipStore::setHistoryLimit(qint64 limit)
{
    if (limit <= 0 && limit != -1) {
        qCWarning(lcStore, "Ignored a history limit of %lld", static_cast<long long>(limit));
        return;
    }
    SettingsRef settings = resolveSettings();
    if (!settings) {
        settings = std::make_shared<AppSettings>();
        context().insert(settings);
    }
    settings->setHistoryLimitValue(limit);
    settings->setUpdatedAt(now());
    if (!saveOrRollback("Failed to save history limit: %s"))
        return;
    // Mirrored only once the record holds it, so the two never disagree.
    preferences().setInteger(kHistoryLimitKey, limit);
    pruneOverHistoryLimit();
}

void ClipStore::upsertSourceAppBrand(const QString &bundleID, const std::optional<QString> &appName,
                                     const QString &colorText, const std::optional<QByteArray> &iconPNG)
{
    if (bundleID.isEmpty() || colorText.isEmpty())
        return;
    BrandRef brand = context().sourceAppBrand(bundleID);
    if (!brand) {
        brand = std::make_shared<SourceAppBrand>();
        brand->setBundleID(bundleID);
        brand->setAppName(appName.value_or(QString()));
        brand->setColorHex(colorText);
        brand->setIconPNG(iconPNG);
        brand->setUpdatedAt(now());
        context().insert(brand);
    } else {
        const bool same =
            (!appName || *appName == brand->appName()) && colorText == brand->colorHex() && iconPNG == brand->iconPNG();
        if (same)
            return;
        if (appName)
            brand->setAppName(*appName);
        brand->setColorHex(colorText);
        brand->setIconPNG(iconPNG);
        brand->setUpdatedAt(now());
    }
    saveOrRollback("Failed to upsert app brand: %s");
}

} // namespace quillmere
