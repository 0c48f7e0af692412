#pragma once

#include <QColor>
#include <QString>
#include <optional>
#include <vector>

namespace quillmere {

// Carriers whose parcel numbers are recognised, each with its own tracking page.
enum class ParcelCarrier { ups, usps, fedex, dhl, deutschePost, royalMail, canadaPost, laPoste, australiaPost, amazon };

// "UPS", "USPS", "FedEx", ...: the carrier's own name.
QString carrierName(ParcelCarrier carrier);

// Something in a clip's text that can be acted on.
struct DetectedEntity {
    enum class Kind { link, email, phoneNumber, address, color, trackingNumber };

    // Only the start of a long text is looked at.
    static constexpr qsizetype maxScannedCharacters = 20000;
    // A context menu longer than the screen helps nobody.
    static constexpr int maxEntities = 24;

    Kind kind = Kind::link;
    // Where it stands in the scanned text, in UTF-16 units.
    qsizetype start = 0;
    qsizetype length = 0;
    // As written.
    QString text;
    // What actions use: the full URL, the e-mail address, the number to dial ("+" and digits),
    // the address's lines joined by ", ", the colour as "#RRGGBB" or "#RRGGBBAA", or the parcel
    // number in upper case without spaces.
    QString value;
    std::optional<ParcelCarrier> carrier;

    // The entities in reading order; equal ones (same kind and value) once. Only the first
    // 20,000 characters are scanned, in time linear in their length.
    static std::vector<DetectedEntity> detect(const std::optional<QString> &text);

    // The colour of a colour entity.
    QColor color() const;

    bool operator==(const DetectedEntity &) const = default;
};

// "link", "email", "phoneNumber", "address", "color", "trackingNumber".
QString rawValue(DetectedEntity::Kind kind);

} // namespace quillmere
