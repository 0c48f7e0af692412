#include "Quillmere/Clipboard/LinkMetadataService.h"
#include "Quillmere/Model/ModelContainer.h"

#include "Support/TestSupport.h"

#include <QBuffer>
#include <QImage>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThreadPool>
#include <QTimer>
#include <QtEndian>
#include <gtest/gtest.h>

using namespace quillmere;

namespace {

// A small HTTP/1.1 server on 127.0.0.1 serving fixed answers by path and query.
class TestServer : public QObject {
public:
    struct Answer {
        int status = 200;
        QByteArray type = "text/html";
        QByteArray body;
        bool sendLength = true;
        int dripMs = 0; // the body one byte at a time, this far apart, without end
    };

    TestServer()
    {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            }
        });
    }
    QString url(const QString &pathAndQuery) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(pathAndQuery);
    }
    void route(const QString &pathAndQuery, Answer answer) { answers[pathAndQuery] = std::move(answer); }
    int count(const QString &pathAndQuery) const { return int(requests.count(pathAndQuery)); }

    QStringList requests;
    QMap<QString, QByteArray> userAgents;

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &buffered = pending[socket];
        buffered += socket->readAll();
        const qsizetype end = buffered.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QList<QByteArray> lines = buffered.left(end).split('\n');
        const QString target = QString::fromLatin1(lines.value(0).split(' ').value(1));
        buffered.clear();
        requests << target;
        for (const QByteArray &line : lines)
            if (line.toLower().startsWith("user-agent:"))
                userAgents[target] = line.mid(11).trimmed();

        const Answer answer = answers.value(target, Answer{404, "text/plain", "not here"});
        QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " X\r\nContent-Type: " + answer.type
            + "\r\nConnection: close\r\n";
        if (answer.sendLength)
            head += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n";
        socket->write(head + "\r\n");
        if (answer.dripMs > 0) {
            auto *timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket, [socket] { socket->write(" "); });
            timer->start(answer.dripMs);
            return;
        }
        socket->write(answer.body);
        socket->disconnectFromHost();
    }

    QTcpServer server;
    QMap<QString, Answer> answers;
    QHash<QTcpSocket *, QByteArray> pending;
};

QByteArray png(int w, int h, QColor colour = Qt::darkCyan)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(colour);
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "PNG");
    return out;
}

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char ch : data) {
        crc ^= quint8(ch);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A PNG whose header claims a size the rest of the file does not back up.
QByteArray pngClaiming(quint32 w, quint32 h)
{
    auto chunk = [](const QByteArray &type, const QByteArray &data) {
        QByteArray out(4, 0);
        qToBigEndian(quint32(data.size()), out.data());
        QByteArray crc(4, 0);
        qToBigEndian(crc32(type + data), crc.data());
        return out + type + data + crc;
    };
    QByteArray ihdr(13, 0);
    qToBigEndian(w, ihdr.data());
    qToBigEndian(h, ihdr.data() + 4);
    ihdr[8] = 8;  // bit depth
    ihdr[9] = 6;  // RGBA
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", QByteArray::fromHex("789c030000000001"))
        + chunk("IEND", {});
}

QByteArray page(const QByteArray &head, const QByteArray &body = "<p>hello</p>")
{
    return "<!doctype html><html><head>" + head + "</head><body>" + body + "</body></html>";
}

struct Written {
    std::optional<QString> title;
    std::optional<QByteArray> picture;
};

struct Fixture {
    TestServer server;
    std::vector<Written> writes;
    std::unique_ptr<LinkMetadataService> service = std::make_unique<LinkMetadataService>(
        [this](const ClipRef &, const std::optional<QString> &title, const std::optional<QByteArray> &picture) {
            writes.push_back({title, picture});
        });

    static ClipRef linkClip(const QString &text)
    {
        auto clip = std::make_shared<ClipItem>();
        clip->setKind(ClipKind::url);
        clip->setText(text);
        return clip;
    }
    bool settle() { return QTest::qWaitFor([&] { return !service->hasFetchesInFlight(); }, 20000); }
    // Runs one fetch for the page at `path` to its end.
    std::optional<Written> run(const QString &path)
    {
        const size_t before = writes.size();
        service->fetchIfNeeded(linkClip(server.url(path)));
        EXPECT_TRUE(settle());
        if (writes.size() == before)
            return std::nullopt;
        return writes.back();
    }
};

QSize sizeOf(const std::optional<QByteArray> &picture)
{
    return picture ? QImage::fromData(*picture, "PNG").size() : QSize();
}

} // namespace

TEST(LinkPreviewParsing, CardImageAddresses)
{
    const QUrl base(QStringLiteral("https://example.com/articles/one.html"));
    auto card = [&](const QString &html) {
        const auto url = LinkMetadataService::openGraphImageURL(html, base);
        return url ? url->toString() : QStringLiteral("<none>");
    };
    EXPECT_EQ(card(QStringLiteral(R"(<meta property="og:image" content="https://cdn.example.com/a.png">)")),
              QStringLiteral("https://cdn.example.com/a.png"));
    EXPECT_EQ(card(QStringLiteral(R"(<META NAME='twitter:image:src' CONTENT='../img/b.png'>)")),
              QStringLiteral("https://example.com/img/b.png"));
    EXPECT_EQ(card(QStringLiteral(R"(<meta content="/img/card.png" property="og:image">)")),
              QStringLiteral("https://example.com/img/card.png"));
    EXPECT_EQ(card(QStringLiteral(R"(<meta property="og:image:secure_url" content="  a.png?x=1&amp;y=2 ">)")),
              QStringLiteral("https://example.com/articles/a.png?x=1&y=2"));
    // The property-first form wins even when the content-first one comes earlier in the page.
    EXPECT_EQ(card(QStringLiteral(R"(<meta content="/first.png" name="og:image"><meta property="og:image" content="/second.png">)")),
              QStringLiteral("https://example.com/second.png"));
    EXPECT_EQ(card(QStringLiteral(R"(<meta property="og:title" content="/x.png"><link rel="image_src" href="/y.png">)")),
              QStringLiteral("<none>"));
    EXPECT_EQ(card(QStringLiteral(R"(<meta property="og:image" content="   ">)")), QStringLiteral("<none>"));
}

TEST(LinkPreviewParsing, UnclosedTagsNeitherHideLaterTagsNorStall)
{
    // A page cut at the size cap, or written to make the search backtrack, still gives what a
    // well-formed tag after the junk says.
    const QString junk = QStringLiteral("<meta property='og:image' ").repeated(20000)
        + QStringLiteral("<meta property='og:title' ").repeated(20000) + QStringLiteral("<title>").repeated(20000);
    const QUrl base(QStringLiteral("https://example.com/"));
    EXPECT_FALSE(LinkMetadataService::pageTitle(junk));
    EXPECT_FALSE(LinkMetadataService::openGraphImageURL(junk, base));
    const QString tail = QStringLiteral(R"(><meta content="/c.png" name="twitter:image"><meta property="og:title" content="Card">)");
    EXPECT_EQ(LinkMetadataService::pageTitle(junk + tail), QStringLiteral("Card"));
    EXPECT_EQ(LinkMetadataService::openGraphImageURL(junk + tail, base), QUrl(QStringLiteral("https://example.com/c.png")));

    // The title element: the first opening tag that is closed, whatever the case and blanks.
    EXPECT_EQ(LinkMetadataService::pageTitle(QStringLiteral("<titlebar>x</titlebar><TITLE lang=en>Real</title >")),
              QStringLiteral("Real"));
    EXPECT_EQ(LinkMetadataService::pageTitle(QStringLiteral("<title>A</title x><b></TITLE>")), QStringLiteral("A</title x><b>"));
    EXPECT_FALSE(LinkMetadataService::pageTitle(QStringLiteral("<title>never closed")));
    // An empty card title gives way to the element.
    EXPECT_EQ(LinkMetadataService::pageTitle(QStringLiteral(R"(<meta property="og:title" content=" "><title>T</title>)")),
              QStringLiteral("T"));
}

TEST(LinkPreviewParsing, TitlesIconsAndPageDecoding)
{
    EXPECT_EQ(LinkMetadataService::pageTitle(QStringLiteral("<title>\n  Tom &amp; Jerry &#8211; &#x1F600;\n</title>")),
              QString::fromUtf8("Tom & Jerry \u2013 \U0001F600"));
    EXPECT_EQ(LinkMetadataService::pageTitle(QStringLiteral(R"(<title>Plain</title><meta property="og:title" content="Card">)")),
              QStringLiteral("Card"));
    EXPECT_EQ(LinkMetadataService::pageTitle(QStringLiteral("<title>AT&T &bogus; &#0;</title>")),
              QStringLiteral("AT&T &bogus; &#0;"));
    EXPECT_FALSE(LinkMetadataService::pageTitle(QStringLiteral("<title>   </title>")));
    // Capped, and never in the middle of a surrogate pair.
    const QString longTitle = QString(LinkMetadataService::maxTitleLength - 1, u'a') + QString::fromUtf8("\U0001F600tail");
    const auto capped = LinkMetadataService::pageTitle(QStringLiteral("<title>") + longTitle + QStringLiteral("</title>"));
    ASSERT_TRUE(capped);
    EXPECT_EQ(capped->size(), LinkMetadataService::maxTitleLength - 1);

    const QUrl base(QStringLiteral("http://example.com/a/b"));
    EXPECT_EQ(LinkMetadataService::iconURL(
                  QStringLiteral(R"(<link rel="stylesheet" href="s.css"><link rel="icon" href="/fav.png"><link href="touch.png" rel="apple-touch-icon">)"),
                  base),
              QUrl(QStringLiteral("http://example.com/a/touch.png")));
    EXPECT_EQ(LinkMetadataService::iconURL(QStringLiteral("<link rel='shortcut icon' href=/i.ico>"), base),
              QUrl(QStringLiteral("http://example.com/i.ico")));
    EXPECT_FALSE(LinkMetadataService::iconURL(QStringLiteral("<link rel=\"mask-icon\" href=\"m.svg\">"), base));

    // A cut through a character loses that character only; a broken page is read as Latin-1.
    const QByteArray cafe = QByteArray("Caf\xc3\xa9 \xc3", 7);
    EXPECT_EQ(LinkMetadataService::decodePage(cafe, true), QString::fromUtf8("Caf\u00e9 "));
    EXPECT_EQ(LinkMetadataService::decodePage(QByteArray("\xe2\x82\xac", 3).left(2), true), QString());
    EXPECT_EQ(LinkMetadataService::decodePage(cafe, false).size(), 7);
    EXPECT_EQ(LinkMetadataService::decodePage(QByteArray("Gr\xfc\xdf", 4), false), QString::fromUtf8("Gr\u00fc\u00df"));
}

TEST(LinkPreviewParsing, PicturesAreCheckedBeforeDecodingAndScaled)
{
    EXPECT_EQ(sizeOf(LinkMetadataService::pictureFromImageData(png(300, 200))), QSize(300, 200));
    EXPECT_EQ(sizeOf(LinkMetadataService::pictureFromImageData(png(3000, 1500))), QSize(1200, 600));
    EXPECT_EQ(sizeOf(LinkMetadataService::pictureFromImageData(png(500, 2400))), QSize(250, 1200));
    EXPECT_FALSE(LinkMetadataService::pictureFromImageData(pngClaiming(40000, 40000)));
    EXPECT_FALSE(LinkMetadataService::pictureFromImageData(pngClaiming(20000, 10)));
    EXPECT_FALSE(LinkMetadataService::pictureFromImageData(pngClaiming(0, 0)));
    EXPECT_FALSE(LinkMetadataService::pictureFromImageData("not an image"));
    EXPECT_FALSE(LinkMetadataService::pictureFromImageData({}));
}

TEST(LinkPreviewFetch, TitleAndCardPictureFromThePage)
{
    Fixture f;
    f.server.route(QStringLiteral("/article"),
                   {200, "text/html; charset=utf-8",
                    page(R"(<title>Tom &amp; Jerry</title><meta content="/img/card.png" property="og:image">)")});
    f.server.route(QStringLiteral("/img/card.png"), {200, "image/png", png(640, 320)});
    const auto w = f.run(QStringLiteral("/article"));
    ASSERT_TRUE(w);
    EXPECT_EQ(w->title, QStringLiteral("Tom & Jerry"));
    EXPECT_EQ(sizeOf(w->picture), QSize(640, 320));
    EXPECT_EQ(f.server.userAgents.value(QStringLiteral("/article")), LinkMetadataService::userAgent);
    EXPECT_EQ(f.server.count(QStringLiteral("/favicon.ico")), 0); // the card was enough

    f.server.route(QStringLiteral("/query"), {200, "text/html", page(R"(<meta property="og:image" content="a.png?x=1&amp;y=2">)")});
    f.server.route(QStringLiteral("/a.png?x=1&y=2"), {200, "image/png", png(10, 10)});
    const auto q = f.run(QStringLiteral("/query"));
    ASSERT_TRUE(q);
    EXPECT_EQ(f.server.count(QStringLiteral("/a.png?x=1&y=2")), 1);
    EXPECT_FALSE(q->title);
    EXPECT_EQ(sizeOf(q->picture), QSize(10, 10));
}

TEST(LinkPreviewFetch, FallsBackToTheSiteIcon)
{
    Fixture f;
    f.server.route(QStringLiteral("/favicon.ico"), {200, "image/png", png(32, 32)});
    // An error page: no title and no card, but the site's icon.
    f.server.route(QStringLiteral("/missing"), {404, "text/html", page("<title>Not Found</title><meta property=\"og:image\" content=\"/c.png\">")});
    f.server.route(QStringLiteral("/c.png"), {200, "image/png", png(50, 50)});
    const auto missing = f.run(QStringLiteral("/missing"));
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->title);
    EXPECT_EQ(sizeOf(missing->picture), QSize(32, 32));
    EXPECT_EQ(f.server.count(QStringLiteral("/c.png")), 0);

    // A card picture that fails gives way to the page's declared icon.
    f.server.route(QStringLiteral("/broken-card"),
                   {200, "text/html", page(R"(<title>B</title><meta property="og:image" content="/gone.png"><link rel="icon" href="/static/i.png">)")});
    f.server.route(QStringLiteral("/static/i.png"), {200, "image/png", png(48, 48)});
    const auto broken = f.run(QStringLiteral("/broken-card"));
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->title, QStringLiteral("B"));
    EXPECT_EQ(sizeOf(broken->picture), QSize(48, 48));

    // Nothing at all: nothing is written.
    TestServer empty;
    Fixture g;
    g.service->fetchIfNeeded(Fixture::linkClip(empty.url(QStringLiteral("/nothing"))));
    EXPECT_TRUE(g.settle());
    EXPECT_TRUE(g.writes.empty());
}

TEST(LinkPreviewFetch, StaysWithinTheCaps)
{
    Fixture f;
    // 2 MiB of page: the card image after the first 512 KiB is never seen, and the title
    // survives a character cut at the limit.
    QByteArray big = "<html><head><title>Caf\xc3\xa9 Menu</title></head><body>";
    big += QByteArray(LinkMetadataService::maxPageBytes - big.size() - 1, ' ');
    big += "\xc3\xa9";
    big += QByteArray(600 * 1024, 'x') + "<meta property=\"og:image\" content=\"/late.png\">" + QByteArray(900 * 1024, 'y');
    f.server.route(QStringLiteral("/big"), {200, "text/html", big, false});
    f.server.route(QStringLiteral("/late.png"), {200, "image/png", png(20, 20)});
    const auto w = f.run(QStringLiteral("/big"));
    ASSERT_TRUE(w);
    EXPECT_EQ(w->title, QString::fromUtf8("Caf\u00e9 Menu"));
    EXPECT_FALSE(w->picture);
    EXPECT_EQ(f.server.count(QStringLiteral("/late.png")), 0);

    // A picture claiming 40000 x 40000 pixels, one over 8 MiB without a length, and one that
    // is large but sane and comes back at 1200 px.
    f.server.route(QStringLiteral("/huge"), {200, "text/html", page(R"(<title>H</title><meta property="og:image" content="/huge.png">)")});
    f.server.route(QStringLiteral("/huge.png"), {200, "image/png", pngClaiming(40000, 40000)});
    EXPECT_FALSE(f.run(QStringLiteral("/huge"))->picture);
    QByteArray heavy = png(16, 16) + QByteArray(LinkMetadataService::maxImageBytes, 'z');
    f.server.route(QStringLiteral("/heavy"), {200, "text/html", page(R"(<title>W</title><meta property="og:image" content="/heavy.png">)")});
    f.server.route(QStringLiteral("/heavy.png"), {200, "image/png", heavy, false});
    EXPECT_FALSE(f.run(QStringLiteral("/heavy"))->picture);
    f.server.route(QStringLiteral("/wide"), {200, "text/html", page(R"(<meta property="og:image" content="/wide.png">)")});
    f.server.route(QStringLiteral("/wide.png"), {200, "image/png", png(2400, 1000)});
    EXPECT_EQ(sizeOf(f.run(QStringLiteral("/wide"))->picture), QSize(1200, 500));
}

TEST(LinkPreviewFetch, ATrickleOfBytesDoesNotHoldAFetchOpen)
{
    Fixture f;
    f.service->setDownloadDeadline(400);
    f.server.route(QStringLiteral("/slow"), {200, "text/html", {}, false, 50});
    f.server.route(QStringLiteral("/slow-card"), {200, "text/html", page(R"(<title>S</title><meta property="og:image" content="/slow.png">)")});
    f.server.route(QStringLiteral("/slow.png"), {200, "image/png", {}, false, 50});
    // The page never finishes: given up, then the site icon is tried.
    EXPECT_FALSE(f.run(QStringLiteral("/slow")));
    EXPECT_EQ(f.server.count(QStringLiteral("/favicon.ico")), 1);
    // A picture that never finishes leaves the title.
    const auto w = f.run(QStringLiteral("/slow-card"));
    ASSERT_TRUE(w);
    EXPECT_EQ(w->title, QStringLiteral("S"));
    EXPECT_FALSE(w->picture);
}

TEST(LinkPreviewFetch, AdmissionRules)
{
    Fixture f;
    f.server.route(QStringLiteral("/p"), {200, "text/html", page("<title>P</title>")});
    auto fetched = [&](const ClipRef &clip) {
        const int before = f.server.count(QStringLiteral("/p"));
        f.service->fetchIfNeeded(clip);
        const bool started = f.service->isInFlight(clip);
        EXPECT_TRUE(f.settle());
        return started && f.server.count(QStringLiteral("/p")) == before + 1;
    };
    const QString address = f.server.url(QStringLiteral("/p"));

    EXPECT_TRUE(fetched(Fixture::linkClip(address)));
    EXPECT_TRUE(fetched(Fixture::linkClip(QStringLiteral("HTTP") + address.mid(4))));
    EXPECT_FALSE(fetched(Fixture::linkClip(QStringLiteral("ftp://127.0.0.1/p"))));
    EXPECT_FALSE(fetched(Fixture::linkClip(QStringLiteral("mailto:someone@example.com"))));
    EXPECT_FALSE(fetched(Fixture::linkClip(QStringLiteral("file:///etc/passwd"))));
    auto text = Fixture::linkClip(address);
    text->setKind(ClipKind::text);
    EXPECT_FALSE(fetched(text));

    auto complete = Fixture::linkClip(address);
    complete->setLinkTitle(QString());
    complete->setImageData(png(4, 4));
    EXPECT_FALSE(fetched(complete));
    auto titled = Fixture::linkClip(address);
    titled->setLinkTitle(QStringLiteral("Known"));
    EXPECT_TRUE(fetched(titled));

    // Two captures in a row: one fetch; once it ended, the clip may be fetched again.
    auto twice = Fixture::linkClip(address);
    const int before = f.server.count(QStringLiteral("/p"));
    f.service->fetchIfNeeded(twice);
    f.service->fetchIfNeeded(twice);
    EXPECT_TRUE(f.settle());
    EXPECT_EQ(f.server.count(QStringLiteral("/p")), before + 1);
    EXPECT_TRUE(fetched(twice));
}

TEST(LinkPreviewFetch, DeletedClipsAndAGoneServiceWriteNothing)
{
    test::FakeClock clock;
    QString error;
    auto container = ModelContainerFactory::makeInMemoryContainer(clock.clock(), &error);
    ASSERT_TRUE(container);
    Fixture f;
    f.server.route(QStringLiteral("/p"), {200, "text/html", page(R"(<title>P</title><meta property="og:image" content="/i.png">)")});
    f.server.route(QStringLiteral("/i.png"), {200, "image/png", png(8, 8)});

    auto clip = Fixture::linkClip(f.server.url(QStringLiteral("/p")));
    clip->setCreatedAt(clock.now());
    container->mainContext().insert(clip);
    ASSERT_TRUE(container->mainContext().save(&error));
    f.service->fetchIfNeeded(clip);
    container->mainContext().remove(clip);
    EXPECT_TRUE(f.settle());
    EXPECT_TRUE(f.writes.empty());

    f.service->fetchIfNeeded(Fixture::linkClip(f.server.url(QStringLiteral("/p"))));
    f.service.reset();
    QTest::qWait(300);
    EXPECT_TRUE(f.writes.empty());

    // Gone while a large picture is being decoded off the main thread.
    f.service = std::make_unique<LinkMetadataService>(nullptr);
    f.server.route(QStringLiteral("/large"), {200, "text/html", page(R"(<meta property="og:image" content="/large.png">)")});
    f.server.route(QStringLiteral("/large.png"), {200, "image/png", png(5000, 4800)});
    f.service->fetchIfNeeded(Fixture::linkClip(f.server.url(QStringLiteral("/large"))));
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.server.count(QStringLiteral("/large.png")) == 1; }, 10000));
    QTest::qWait(100);
    f.service.reset();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
}
