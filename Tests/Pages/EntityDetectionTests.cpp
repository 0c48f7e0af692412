#include "Quillmere/Pages/DetectedEntity.h"

#include "QStringPrinting.h"

#include <QStringList>
#include <gtest/gtest.h>

using namespace quillmere;
using Kind = DetectedEntity::Kind;

namespace {

// "kind=value" of every entity, in order.
QStringList found(const QString &text)
{
    QStringList out;
    for (const DetectedEntity &e : DetectedEntity::detect(text))
        out << rawValue(e.kind) + QLatin1Char('=') + e.value;
    return out;
}

QStringList valuesOf(Kind kind, const QString &text)
{
    QStringList out;
    for (const DetectedEntity &e : DetectedEntity::detect(text))
        if (e.kind == kind)
            out << e.value;
    return out;
}

} // namespace

TEST(EntityDetection, SignaturesGiveTheirLinksAddressesAndNumbers)
{
    const QString us = QStringLiteral("Thanks,\n"
                                      "Dana Whitfield | Head of Partnerships\n"
                                      "Larkspur Analytics\n"
                                      "1600 Amphitheatre Parkway\n"
                                      "Mountain View, CA 94043\n"
                                      "Office: (650) 253-0142 · Mobile +1 415-555-0132\n"
                                      "dana.whitfield@larkspur-analytics.com | https://larkspur-analytics.com/team.");
    EXPECT_EQ(found(us),
              (QStringList{
                  QStringLiteral("address=1600 Amphitheatre Parkway, Mountain View, CA 94043"),
                  QStringLiteral("phoneNumber=6502530142"),
                  QStringLiteral("phoneNumber=+14155550132"),
                  QStringLiteral("email=dana.whitfield@larkspur-analytics.com"),
                  QStringLiteral("link=https://larkspur-analytics.com/team"),
              }));

    const QString uk = QStringLiteral("Kind regards\nOliver Pembroke\n221B Baker Street\nLondon NW1 6XE\n"
                                      "T: +44 (0)20 7946 0958\nM: 07700 900123\nwww.pembroke-law.co.uk");
    EXPECT_EQ(found(uk),
              (QStringList{
                  QStringLiteral("address=221B Baker Street, London NW1 6XE"),
                  QStringLiteral("phoneNumber=+442079460958"),
                  QStringLiteral("phoneNumber=07700900123"),
                  QStringLiteral("link=https://www.pembroke-law.co.uk"),
              }));

    const QString de = QStringLiteral("Mit freundlichen Grüßen\nJonas Keller\nKeller & Brandt GmbH\n"
                                      "Friedrichstraße 123\n10117 Berlin\nTel.: 030/12345678\n"
                                      "Fax: +49 30 1234 5679\nE-Mail: j.keller@keller-brandt.de");
    EXPECT_EQ(found(de),
              (QStringList{
                  QStringLiteral("address=Friedrichstraße 123, 10117 Berlin"),
                  QStringLiteral("phoneNumber=03012345678"),
                  QStringLiteral("phoneNumber=+493012345679"),
                  QStringLiteral("email=j.keller@keller-brandt.de"),
              }));
}

TEST(EntityDetection, AddressesOfSeveralCountries)
{
    const QStringList expectedAddresses{
        QStringLiteral("10 Rue de Rivoli, 75001 Paris, France"),
        QStringLiteral("Keizersgracht 123, 1015 CJ Amsterdam"),
        QStringLiteral("100 Queen St W, Suite 1200, Toronto, ON M5H 2N2"),
        QStringLiteral("1 Macquarie St, Sydney NSW 2000"),
        QStringLiteral("350 Fifth Avenue, New York, NY 10118-0110, USA"),
        QStringLiteral("Via Roma 10, 00184 Roma"),
    };
    const QString letters = QStringLiteral("Please ship to:\n10 Rue de Rivoli\n75001 Paris\nFrance\n\n"
                                           "Office NL: Keizersgracht 123, 1015 CJ Amsterdam\n\n"
                                           "Canada: 100 Queen St W, Suite 1200, Toronto, ON M5H 2N2\n"
                                           "AU branch — 1 Macquarie St, Sydney NSW 2000\n"
                                           "{\"hq\": \"350 Fifth Avenue, New York, NY 10118-0110, USA\"}\n"
                                           "Via Roma 10\n00184 Roma");
    EXPECT_EQ(valuesOf(Kind::address, letters), expectedAddresses);

    // A town and postcode alone are no address; nor are numbered lines before a year.
    EXPECT_TRUE(valuesOf(Kind::address, QStringLiteral("Meet me in Mountain View, CA 94043 tomorrow.")).isEmpty());
    EXPECT_TRUE(valuesOf(Kind::address, QStringLiteral("Chapter 12\n2024 Results")).isEmpty());
    EXPECT_TRUE(valuesOf(Kind::address, QStringLiteral("Release 3\n10117 Berlin")).isEmpty());
}

TEST(EntityDetection, PhoneNumbersOfCommonShapes)
{
    EXPECT_EQ(valuesOf(Kind::phoneNumber,
                       QStringLiteral("US (212) 555-0198, 1-800-555-0199, 212.555.0197; UK 020 7946 0958; "
                                      "FR 01 23 45 67 89 or +33 1 23 45 67 89; DE +49 (0)89 123456-78; "
                                      "JP 03-1234-5678; call 555-0100 tomorrow")),
              (QStringList{QStringLiteral("2125550198"), QStringLiteral("18005550199"), QStringLiteral("2125550197"),
                           QStringLiteral("02079460958"), QStringLiteral("0123456789"), QStringLiteral("+33123456789"),
                           QStringLiteral("+498912345678"), QStringLiteral("0312345678"), QStringLiteral("5550100")}));
    // A number glued to a time stays apart from it.
    EXPECT_EQ(valuesOf(Kind::phoneNumber, QStringLiteral("Standup 09:30 (415) 555-0132")),
              QStringList{QStringLiteral("4155550132")});
}

TEST(EntityDetection, NumbersThatAreNoPhoneNumbers)
{
    const QStringList notPhones{
        QStringLiteral("Due 2024-03-15, shipped 15.03.2024, invoiced 03/15/2024 14:30"),
        QStringLiteral("2024-03-15T14:30:00Z request took 12:30:45"),
        QStringLiteral("Upgraded to 10.0.19045.2364 (was v1.2.3 and 2.14.0.1)"),
        QStringLiteral("Host 192.168.100.200 and 10.20.30.40 refused"),
        QStringLiteral("ISBN 978-3-16-148410-0, also 978-0-306-40615-7 and 0-306-40615-2"),
        QStringLiteral("order INV20240315123 and build abc12345678901def"),
        QStringLiteral("epoch 1700000000123 pid 4096 port 8080"),
        QStringLiteral("card 4111 1111 1111 1111 and IBAN DE89 3704 0044 0532 0130 00"),
        QStringLiteral("uuid 550e8400-e29b-41d4-a716-446655440000 sha 3f786850e387550fdab836ed7e6dc881de23001b"),
        QStringLiteral("Total: $1,234,567.89 — 12.5% up, 1 000 000 visitors, version 2023.10.1"),
        QStringLiteral("Zip 94043-1351 and issue #4155550132"),
    };
    for (const QString &text : notPhones)
        EXPECT_TRUE(valuesOf(Kind::phoneNumber, text).isEmpty())
            << qPrintable(text) << " gave " << qPrintable(valuesOf(Kind::phoneNumber, text).join(u','));
}

TEST(EntityDetection, ParcelNumbersNeedTheirCarriersCheckDigits)
{
    const auto carrierOf = [](const QString &text) -> QString {
        for (const DetectedEntity &e : DetectedEntity::detect(text))
            if (e.kind == Kind::trackingNumber)
                return carrierName(*e.carrier) + QLatin1Char(' ') + e.value;
        return {};
    };
    EXPECT_EQ(carrierOf(QStringLiteral("Your parcel: 1Z999AA10123456784")), QStringLiteral("UPS 1Z999AA10123456784"));
    EXPECT_EQ(carrierOf(QStringLiteral("1Z 5R8 939 03 5756 7127 is on its way")),
              QStringLiteral("UPS 1Z5R89390357567127"));
    EXPECT_EQ(carrierOf(QStringLiteral("USPS 9205 5901 6491 7312 7510 89")),
              QStringLiteral("USPS 9205590164917312751089"));
    EXPECT_EQ(carrierOf(QStringLiteral("Registered letter RR123456785DE")),
              QStringLiteral("Deutsche Post RR123456785DE"));
    EXPECT_EQ(carrierOf(QStringLiteral("Royal Mail RB123456785GB")), QStringLiteral("Royal Mail RB123456785GB"));
    EXPECT_EQ(carrierOf(QStringLiteral("FedEx tracking number: 986578788855")), QStringLiteral("FedEx 986578788855"));
    EXPECT_EQ(carrierOf(QStringLiteral("FedEx Ground 0414 4176 0228 964")), QStringLiteral("FedEx 041441760228964"));
    EXPECT_EQ(carrierOf(QStringLiteral("DHL Express waybill 3318810025")), QStringLiteral("DHL 3318810025"));
    EXPECT_EQ(carrierOf(QStringLiteral("Amazon TBA487064622000")), QStringLiteral("Amazon TBA487064622000"));

    // One digit off, or plain digits where nothing speaks of a parcel.
    for (const char *text :
         {"Your parcel: 1Z999AA10123456785", "Registered letter RR123456784DE", "USPS 9205 5901 6491 7312 7510 88",
          "FedEx tracking number: 986578788856", "invoice 986578788855", "DHL Express waybill 3318810026",
          "row id 3318810025", "sample rr123456785de"})
        EXPECT_TRUE(carrierOf(QString::fromUtf8(text)).isEmpty()) << text;
}

TEST(EntityDetection, ColoursInStylesAndProse)
{
    const QString css = QStringLiteral(".button { color: #333; background: #1E90FF; border-color: #fff8; }\n"
                                       ".x { fill: rgb(255, 99, 71); stroke: rgba(0 128 0 / 50%); }\n"
                                       "h1 { color: hsl(210, 100%, 50%) }");
    EXPECT_EQ(valuesOf(Kind::color, css),
              (QStringList{QStringLiteral("#333333"), QStringLiteral("#1E90FF"), QStringLiteral("#FFFFFF88"),
                           QStringLiteral("#FF6347"), QStringLiteral("#00800080"), QStringLiteral("#0080FF")}));
    // Issue numbers, headings, preprocessor lines, anchors and entities are no colours.
    EXPECT_TRUE(valuesOf(Kind::color,
                         QStringLiteral("Fixes #123 and #4567; see #define BUF 8, &#123; ## fab\n"
                                        "# Heading\nrgb(300, 0, 0) and hsl(10, 20, 30)"))
                    .isEmpty());
}

TEST(EntityDetection, LinksAndAddressesInCodeLogsAndJson)
{
    const QString log = QStringLiteral(
        "2024-03-15 14:30:12.345 INFO  [worker-7] GET https://api.example.com/v2/items?id=42&sort=desc -> 200 (12 ms)\n"
        "2024-03-15 14:30:13.001 WARN  [worker-3] retry 3/5 for 10.0.0.12:5432 pid=48213\n"
        "2024-03-15 14:30:14.777 ERROR [mailer] bounce from postmaster@mail.example.org: 550 5.1.1");
    EXPECT_EQ(found(log),
              (QStringList{QStringLiteral("link=https://api.example.com/v2/items?id=42&sort=desc"),
                           QStringLiteral("email=postmaster@mail.example.org")}));

    const QString code = QStringLiteral("// See https://en.wikipedia.org/wiki/Set_(mathematics) (background).\n"
                                        "git clone git@github.com:larkspur/tools.git\n"
                                        "const icon = require('./icon@2x.png'); const version = '4.12.3';\n"
                                        "@Override public int hashCode() { return 31 * id + 17; }\n"
                                        "url = \"http://localhost:8080/health\"");
    EXPECT_EQ(found(code),
              (QStringList{QStringLiteral("link=https://en.wikipedia.org/wiki/Set_(mathematics)"),
                           QStringLiteral("link=http://localhost:8080/health")}));

    const QString json = QStringLiteral(
        "{\"id\": 90210, \"created\": \"2024-03-15T14:30:00Z\", \"ip\": \"192.168.1.20\", \"version\": \"1.2.3\",\n"
        " \"contact\": {\"email\": \"ops@example.com\", \"phone\": \"+1-202-555-0143\"},\n"
        " \"theme\": {\"accent\": \"#FF6600\"}, \"homepage\": \"https://example.com\"}");
    EXPECT_EQ(found(json),
              (QStringList{QStringLiteral("email=ops@example.com"), QStringLiteral("phoneNumber=+12025550143"),
                           QStringLiteral("color=#FF6600"), QStringLiteral("link=https://example.com")}));
}

TEST(EntityDetection, ScanIsBoundedAndRepeatsCollapse)
{
    EXPECT_TRUE(DetectedEntity::detect(std::nullopt).empty());
    EXPECT_TRUE(DetectedEntity::detect(QString()).empty());

    // Only the first 20,000 characters are read.
    const QString filler(DetectedEntity::maxScannedCharacters - 30, QLatin1Char('x'));
    const QString text =
        QStringLiteral("https://a.example.com ") + filler + QStringLiteral(" https://b.example.com/long");
    EXPECT_EQ(valuesOf(Kind::link, text), QStringList{QStringLiteral("https://a.example.com")});

    // The same link twice is offered once; kinds never overlap.
    const auto entities = DetectedEntity::detect(
        QStringLiteral("https://x.example.com/a and again https://x.example.com/a, mail me: me@x.example.com"));
    ASSERT_EQ(entities.size(), 2u);
    EXPECT_EQ(entities[0].start, 0);
    EXPECT_EQ(entities[0].text, QStringLiteral("https://x.example.com/a"));
    EXPECT_EQ(entities[1].kind, Kind::email);

    // Hostile inputs end with nothing or a bounded list.
    for (const QString &hostile :
         {QString(30000, QLatin1Char('1')), QStringLiteral("a@").repeated(15000), QStringLiteral("(1) ").repeated(8000),
          QStringLiteral("rgb(1,").repeated(5000), QStringLiteral("http://x.y/").repeated(4000)}) {
        EXPECT_LE(DetectedEntity::detect(hostile).size(), size_t(DetectedEntity::maxEntities));
    }
}
