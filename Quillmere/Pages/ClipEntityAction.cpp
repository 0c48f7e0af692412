#include "Quillmere/Pages/ClipEntityAction.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QUrlQuery>
#include <memory>

namespace quillmere {
namespace {

constexpr qsizetype shortLength = 36;

QString shortened(const QString &text)
{
    QString flat = text.simplified();
    if (flat.size() <= shortLength)
        return flat;
    const qsizetype head = shortLength * 2 / 3;
    return flat.left(head) + QChar(0x2026) + flat.right(shortLength - head - 1);
}

QString quoted(const QString &text)
{
    return QChar(0x201C) + shortened(text) + QChar(0x201D);
}

QUrl trackingURL(ParcelCarrier carrier, const QString &number)
{
    const QString n = QString::fromLatin1(QUrl::toPercentEncoding(number));
    switch (carrier) {
    case ParcelCarrier::ups:
        return QUrl(QStringLiteral("https://www.ups.com/track?tracknum=") + n);
    case ParcelCarrier::usps:
        return QUrl(QStringLiteral("https://tools.usps.com/go/TrackConfirmAction?tLabels=") + n);
    case ParcelCarrier::fedex:
        return QUrl(QStringLiteral("https://www.fedex.com/fedextrack/?trknbr=") + n);
    case ParcelCarrier::dhl:
        return QUrl(QStringLiteral("https://www.dhl.com/global-en/home/tracking.html?tracking-id=") + n);
    case ParcelCarrier::deutschePost:
        return QUrl(QStringLiteral("https://www.dhl.de/de/privatkunden/pakete-empfangen/verfolgen.html?piececode=")
                    + n);
    case ParcelCarrier::royalMail:
        return QUrl(QStringLiteral("https://www.royalmail.com/track-your-item#/tracking-results/") + n);
    case ParcelCarrier::canadaPost:
        return QUrl(QStringLiteral("https://www.canadapost-postescanada.ca/track-reperage/en#/search?searchFor=") + n);
    case ParcelCarrier::laPoste:
        return QUrl(QStringLiteral("https://www.laposte.fr/outils/suivre-vos-envois?code=") + n);
    case ParcelCarrier::australiaPost:
        return QUrl(QStringLiteral("https://auspost.com.au/mypost/track/details/") + n);
    case ParcelCarrier::amazon:
        return QUrl(QStringLiteral("https://track.amazon.com/tracking/") + n);
    }
    return {};
}

// The link as people read it: without the scheme.
QString readableLink(const QString &url)
{
    QString text = url;
    for (const char *scheme : {"https://", "http://"})
        if (text.startsWith(QLatin1String(scheme)))
            return text.mid(qsizetype(qstrlen(scheme)));
    return text;
}

// Whether a MIME cache or list in the XDG data and config dirs names a handler for the scheme.
bool desktopHandlesScheme(const QString &scheme)
{
    const QByteArray key = "x-scheme-handler/" + scheme.toLatin1() + '=';
    QStringList files;
    for (const QString &dir : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
        files << dir + QStringLiteral("/applications/mimeinfo.cache")
              << dir + QStringLiteral("/applications/mimeapps.list");
    for (const QString &dir : QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation))
        files << dir + QStringLiteral("/mimeapps.list");
    for (const QString &path : files) {
        QFile file(path);
        if (file.size() > 4 * 1024 * 1024 || !file.open(QIODevice::ReadOnly))
            continue;
        while (!file.atEnd()) {
            const QByteArray line = file.readLine().trimmed();
            if (line.startsWith(key) && line.size() > key.size())
                return true;
        }
    }
    return false;
}

} // namespace

std::vector<ClipEntityAction> ClipEntityAction::actions(const std::vector<DetectedEntity> &entities)
{
    std::vector<ClipEntityAction> out;
    const auto add = [&](const DetectedEntity &e, Kind kind, QString title, QString symbol, QUrl url = {},
                         QString text = {}) {
        ClipEntityAction a;
        a.id = int(out.size());
        a.kind = kind;
        a.entityKind = e.kind;
        a.title = std::move(title);
        a.symbol = std::move(symbol);
        a.url = std::move(url);
        a.text = std::move(text);
        out.push_back(std::move(a));
        return &out.back();
    };
    const QString copySymbol = QStringLiteral("doc.on.doc");
    for (const DetectedEntity &e : entities) {
        switch (e.kind) {
        case DetectedEntity::Kind::link:
            add(e, Kind::openLink, QStringLiteral("Open ") + quoted(readableLink(e.value)), QStringLiteral("safari"),
                QUrl(e.value));
            add(e, Kind::copy, QStringLiteral("Copy Link ") + quoted(readableLink(e.value)), copySymbol, {}, e.value);
            break;
        case DetectedEntity::Kind::email:
            add(e, Kind::composeMail, QStringLiteral("Compose Mail to ") + shortened(e.value),
                QStringLiteral("envelope"), QUrl(QStringLiteral("mailto:") + e.value));
            add(e, Kind::copy, QStringLiteral("Copy Email Address ") + shortened(e.value), copySymbol, {}, e.value);
            break;
        case DetectedEntity::Kind::phoneNumber:
            add(e, Kind::call, QStringLiteral("Call ") + shortened(e.text), QStringLiteral("phone"),
                QUrl(QStringLiteral("tel:") + e.value));
            add(e, Kind::copy, QStringLiteral("Copy Phone Number ") + shortened(e.text), copySymbol, {}, e.text);
            break;
        case DetectedEntity::Kind::address: {
            const QString query = QString::fromUtf8(QUrl::toPercentEncoding(e.value));
            ClipEntityAction *map =
                add(e, Kind::showOnMap, QStringLiteral("Show ") + quoted(e.value) + QStringLiteral(" in Maps"),
                    QStringLiteral("map"), QUrl(QStringLiteral("geo:0,0?q=") + query));
            map->fallbackURL = QUrl(QStringLiteral("https://www.openstreetmap.org/search?query=") + query);
            add(e, Kind::copy, QStringLiteral("Copy Address ") + quoted(e.value), copySymbol, {}, e.value);
            break;
        }
        case DetectedEntity::Kind::color: {
            const QColor color = e.color();
            add(e, Kind::copy, QStringLiteral("Copy Colour ") + shortened(e.text), QStringLiteral("paintpalette"), {},
                e.text)
                ->swatch = color;
            if (e.text.compare(e.value, Qt::CaseInsensitive) != 0)
                add(e, Kind::copy, QStringLiteral("Copy Colour as ") + e.value, QStringLiteral("paintpalette"), {},
                    e.value)
                    ->swatch = color;
            break;
        }
        case DetectedEntity::Kind::trackingNumber: {
            const ParcelCarrier carrier = e.carrier.value_or(ParcelCarrier::ups);
            add(e, Kind::trackParcel, QStringLiteral("Track %1 Parcel %2").arg(carrierName(carrier), e.value),
                QStringLiteral("shippingbox"), trackingURL(carrier, e.value));
            add(e, Kind::copy, QStringLiteral("Copy Tracking Number ") + e.value, copySymbol, {}, e.value);
            break;
        }
        }
    }
    return out;
}

EntityActionHandlers EntityActionHandlers::desktop(std::function<void(const QString &)> copyText)
{
    EntityActionHandlers h;
    h.openURL = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    auto known = std::make_shared<QHash<QString, bool>>();
    h.canOpenScheme = [known](const QString &scheme) {
        auto it = known->find(scheme);
        if (it == known->end())
            it = known->insert(scheme, desktopHandlesScheme(scheme));
        return *it;
    };
    h.copyText = std::move(copyText);
    return h;
}

bool performEntityAction(const ClipEntityAction &action, const EntityActionHandlers &handlers)
{
    if (action.kind == ClipEntityAction::Kind::copy) {
        if (!handlers.copyText)
            return false;
        handlers.copyText(action.text);
        return true;
    }
    if (!handlers.openURL)
        return false;
    if (action.fallbackURL.isValid()) {
        const bool handled = handlers.canOpenScheme && handlers.canOpenScheme(action.url.scheme());
        return (handled && handlers.openURL(action.url)) || handlers.openURL(action.fallbackURL);
    }
    return handlers.openURL(action.url);
}

} // namespace quillmere
