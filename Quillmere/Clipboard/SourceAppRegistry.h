#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <functional>
#include <optional>

namespace quillmere {

class ModelContext;
class SourceAppAppearance;

// Writes one brand record (name, colour, icon) per application and run, when a clip from it
// is captured or dropped, and once at launch for the applications of the stored clips.
class SourceAppRegistry {
public:
    // The store's upsert of a brand record: bundle id, name, colour text, 64 x 64 PNG icon.
    using BrandWriter = std::function<void(const QString &bundleID, const std::optional<QString> &appName,
                                           const QString &colorText, const std::optional<QByteArray> &iconPNG)>;

    SourceAppRegistry(SourceAppAppearance &appearance, BrandWriter writer);

    // Once per bundle identifier and run; later calls, even with another name, do nothing.
    void registerApplication(const QString &bundleID, const std::optional<QString> &appName);
    // Registers every application the stored clips name. Reads only the clips' source fields.
    void backfill(const ModelContext &context);

    bool isRegistered(const QString &bundleID) const { return m_registeredBundleIDs.contains(bundleID); }

    // Our own source names carry the internal word; the user sees the product name.
    static std::optional<QString> displayName(const std::optional<QString> &appName);

private:
    void registerNew(const QString &bundleID, const std::optional<QString> &appName);

    SourceAppAppearance &m_appearance;
    BrandWriter m_writer;
    QSet<QString> m_registeredBundleIDs;
};

} // namespace quillmere
