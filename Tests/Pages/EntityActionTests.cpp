#include "Quillmere/Pages/ClipEntityAction.h"

#include "QStringPrinting.h"

#include <QDesktopServices>
#include <QObject>
#include <QStringList>
#include <gtest/gtest.h>

using namespace quillmere;
using Kind = ClipEntityAction::Kind;

namespace {

class UrlSink : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl &url) { opened << url; }
};

std::vector<ClipEntityAction> actionsFor(const QString &text)
{
    return ClipEntityAction::actions(DetectedEntity::detect(text));
}

} // namespace

TEST(EntityActions, EachEntityOpensThenCopiesNumberedFromZero)
{
    const auto actions = actionsFor(
        QStringLiteral("Mail ana@example.org or call +1 415-555-0132. Site: https://example.org/a?b=1. Accent #FF6600, "
                       "rgb(0, 128, 255). Parcel 1Z999AA10123456784. Office: 10 Rue de Rivoli, 75001 Paris"));
    QStringList summary;
    for (size_t i = 0; i < actions.size(); ++i) {
        EXPECT_EQ(actions[i].id, int(i));
        summary << actions[i].title + QStringLiteral(" | ")
                + (actions[i].kind == Kind::copy ? actions[i].text : actions[i].url.toString(QUrl::FullyEncoded));
    }
    EXPECT_EQ(
        summary,
        (QStringList{
            QStringLiteral("Compose Mail to ana@example.org | mailto:ana@example.org"),
            QStringLiteral("Copy Email Address ana@example.org | ana@example.org"),
            QStringLiteral("Call +1 415-555-0132 | tel:+14155550132"),
            QStringLiteral("Copy Phone Number +1 415-555-0132 | +1 415-555-0132"),
            QStringLiteral("Open “example.org/a?b=1” | https://example.org/a?b=1"),
            QStringLiteral("Copy Link “example.org/a?b=1” | https://example.org/a?b=1"),
            QStringLiteral("Copy Colour #FF6600 | #FF6600"),
            QStringLiteral("Copy Colour rgb(0, 128, 255) | rgb(0, 128, 255)"),
            QStringLiteral("Copy Colour as #0080FF | #0080FF"),
            QStringLiteral(
                "Track UPS Parcel 1Z999AA10123456784 | https://www.ups.com/track?tracknum=1Z999AA10123456784"),
            QStringLiteral("Copy Tracking Number 1Z999AA10123456784 | 1Z999AA10123456784"),
            QStringLiteral(
                "Show “10 Rue de Rivoli, 75001 Paris” in Maps | geo:0,0?q=10%20Rue%20de%20Rivoli%2C%2075001%20Paris"),
            QStringLiteral("Copy Address “10 Rue de Rivoli, 75001 Paris” | 10 Rue de Rivoli, 75001 Paris"),
        }));
    EXPECT_EQ(actions[6].swatch, QColor(0xFF, 0x66, 0x00));
    EXPECT_TRUE(ClipEntityAction::actions({}).empty());
}

TEST(EntityActions, PerformingGoesToTheDesktopOrTheClipboard)
{
    const auto actions = actionsFor(QStringLiteral("Call 020 7946 0958 at 221B Baker Street, London NW1 6XE"));
    ASSERT_EQ(actions.size(), 4u);
    UrlSink sink;
    QDesktopServices::setUrlHandler(QStringLiteral("tel"), &sink, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("geo"), &sink, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &sink, "open");
    QStringList copied;
    EntityActionHandlers handlers = EntityActionHandlers::desktop([&](const QString &text) { copied << text; });

    EXPECT_TRUE(performEntityAction(actions[0], handlers));
    EXPECT_TRUE(performEntityAction(actions[1], handlers));
    EXPECT_EQ(copied, QStringList{QStringLiteral("020 7946 0958")});

    // A map goes to geo: where the desktop has a map application, else to a map on the web.
    handlers.canOpenScheme = [](const QString &scheme) { return scheme == QLatin1String("geo"); };
    EXPECT_TRUE(performEntityAction(actions[2], handlers));
    handlers.canOpenScheme = [](const QString &) { return false; };
    EXPECT_TRUE(performEntityAction(actions[2], handlers));
    QDesktopServices::unsetUrlHandler(QStringLiteral("tel"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("geo"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    ASSERT_EQ(sink.opened.size(), 3);
    EXPECT_EQ(sink.opened[0], QUrl(QStringLiteral("tel:02079460958")));
    EXPECT_EQ(sink.opened[1].scheme(), QStringLiteral("geo"));
    EXPECT_EQ(
        sink.opened[2].toString(QUrl::FullyEncoded),
        QStringLiteral("https://www.openstreetmap.org/search?query=221B%20Baker%20Street%2C%20London%20NW1%206XE"));

    // Without a clipboard writer a copy does nothing and says so.
    EXPECT_FALSE(performEntityAction(actions[1], EntityActionHandlers{}));
}

#include "EntityActionTests.moc"
