#include "Quillmere/Clipboard/LinkMetadataService.h"
#include "Quillmere/Model/ModelContainer.h"

#include "Support/DisplayTestSupport.h"
#include "Support/TestSupport.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QThreadPool>
#include <QTimer>
#include <QtEndian>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace Qt::StringLiterals;
using test::png;
using L = LinkMetadataService;

namespace {

// A small HTTP/1.1 server on 127.0.0.1 serving fixed answers by path and query.
class TestServer : public QObject {
public:
    struct Answer {
        int status = 200;
        QByteArray type = "text/html";
        QByteArray body;
        bool sendLength = true;
        int dripMs = 0; // a space this often, without end, instead of the body
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
        return u"http://127.0.0.1:%1%2"_s.arg(server.serverPort()).arg(pathAndQuery);
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

// A PNG whose header claims a size the rest of the file does not back up; its checksums are
// right, so only a size check can refuse it.
QByteArray pngClaiming(quint32 w, quint32 h)
{
    auto chunk = [](const QByteArray &type, const QByteArray &data) {
        quint32 crc = 0xFFFFFFFFu;
        for (char ch : type + data) {
            crc ^= quint8(ch);
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        QByteArray out(4, 0), sum(4, 0);
        qToBigEndian(quint32(data.size()), out.data());
        qToBigEndian(~crc, sum.data());
        return out + type + data + sum;
    };
    QByteArray ihdr(13, 0);
    qToBigEndian(w, ihdr.data());
    qToBigEndian(h, ihdr.data() + 4);
    ihdr[8] = 8; // bit depth
    ihdr[9] = 6; // RGBA
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr)
        + chunk("IDAT", QByteArray::fromHex("789c030000000001")) + chunk("IEND", {});
}

QByteArray page(const QByteArray &head)
{
    return "<!doctype html><html><head>" + head + "</head><body><p>hello</p></body></html>";
}

QByteArray cardPage(const QByteArray &title, const QByteArray &image)
{
    return page((title.isEmpty() ? "" : "<title>" + title + "</title>") + R"(<meta property="og:image" content=")"
                + image + "\">");
}

struct Written {
    std::optional<QString> title;
    std::optional<QByteArray> picture;
};

struct Fixture {
    TestServer server;
    std::vector<Written> writes;
    std::unique_ptr<L> service = std::make_unique<L>(
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
    bool settle()
    {
        return QTest::qWaitFor([&] { return !service->hasFetchesInFlight(); }, 20000);
    }
    // Runs one fetch for the page at `path` to its end.
    std::optional<Written> run(const QString &path)
    {
        const size_t before = writes.size();
        service->fetchIfNeeded(linkClip(server.url(path)));
        EXPECT_TRUE(settle());
        return writes.size() == before ? std::nullopt : std::optional(writes.back());
    }
};

QSize sizeOf(const std::optional<QByteArray> &picture)
{
    return picture ? QImage::fromData(*picture, "PNG").size() : QSize();
}

} // namespace

TEST(LinkPreviewParsing, CardImagesTitlesAndIcons)
{
    const QUrl base(u"https://example.com/articles/one.html"_s);
    auto card = [&](const QString &html) {
        const auto url = L::openGraphImageURL(html, base);
        return url ? url->toString() : u"<none>"_s;
    };
    EXPECT_EQ(card(uR"(<meta property="og:image" content="https://cdn.example.com/a.png">)"_s),
              u"https://cdn.example.com/a.png"_s);
    EXPECT_EQ(card(uR"(<META NAME='twitter:image:src' CONTENT='../img/b.png'>)"_s), u"https://example.com/img/b.png"_s);
    EXPECT_EQ(card(uR"(<meta property="og:image:secure_url" content="  a.png?x=1&amp;y=2 ">)"_s),
              u"https://example.com/articles/a.png?x=1&y=2"_s);
    // The property-first form wins even when the content-first one comes earlier in the page.
    EXPECT_EQ(card(uR"(<meta content="/first.png" name="og:image"><meta property="og:image" content="/second.png">)"_s),
              u"https://example.com/second.png"_s);
    EXPECT_EQ(card(uR"(<meta property="og:title" content="/x.png"><link rel="image_src" href="/y.png">)"_s),
              u"<none>"_s);
    EXPECT_EQ(card(uR"(<meta property="og:image" content="   ">)"_s), u"<none>"_s);

    EXPECT_EQ(L::pageTitle(u"<title>\n  Tom &amp; Jerry &#8211; &#x1F600;\n</title>"_s),
              u"Tom & Jerry \u2013 \U0001F600"_s);
    EXPECT_EQ(L::pageTitle(uR"(<title>Plain</title><meta property="og:title" content="Card">)"_s), u"Card"_s);
    EXPECT_EQ(L::pageTitle(uR"(<meta property="og:title" content=" "><title>T</title>)"_s), u"T"_s);
    EXPECT_EQ(L::pageTitle(u"<title>AT&T &bogus; &#0;</title>"_s), u"AT&T &bogus; &#0;"_s);
    EXPECT_FALSE(L::pageTitle(u"<title>   </title>"_s));
    // Capped, and never in the middle of a surrogate pair.
    const QString longTitle = QString(L::maxTitleLength - 1, u'a') + u"\U0001F600tail"_s;
    EXPECT_EQ(L::pageTitle(u"<title>"_s + longTitle + u"</title>"_s), longTitle.left(L::maxTitleLength - 1));

    const QUrl page(u"http://example.com/a/b"_s);
    EXPECT_EQ(L::iconURL(uR"(<link rel="icon" href="/fav.png"><link href="touch.png" rel="apple-touch-icon">)"_s, page),
              QUrl(u"http://example.com/a/touch.png"_s));
    EXPECT_EQ(L::iconURL(u"<link rel='stylesheet' href=s.css><link rel='shortcut icon' href=/i.ico>"_s, page),
              QUrl(u"http://example.com/i.ico"_s));
    EXPECT_FALSE(L::iconURL(u"<link rel=\"mask-icon\" href=\"m.svg\">"_s, page));
}

TEST(LinkPreviewParsing, UnclosedTagsNeitherHideLaterTagsNorStall)
{
    // A page cut at the size cap, or written to make the search backtrack, still gives what a
    // well-formed tag after the junk says.
    const QString junk = u"<meta property='og:image' "_s.repeated(20000)
        + u"<meta property='og:title' "_s.repeated(20000) + u"<title>"_s.repeated(20000);
    const QUrl base(u"https://example.com/"_s);
    EXPECT_FALSE(L::pageTitle(junk));
    EXPECT_FALSE(L::openGraphImageURL(junk, base));
    const QString tail = uR"(><meta content="/c.png" name="twitter:image"><meta property="og:title" content="Card">)"_s;
    EXPECT_EQ(L::pageTitle(junk + tail), u"Card"_s);
    EXPECT_EQ(L::openGraphImageURL(junk + tail, base), QUrl(u"https://example.com/c.png"_s));

    // The title element: the first opening tag that is closed, whatever the case and blanks.
    EXPECT_EQ(L::pageTitle(u"<titlebar>x</titlebar><TITLE lang=en>Real</title >"_s), u"Real"_s);
    EXPECT_EQ(L::pageTitle(u"<title>A</title x><b></TITLE>"_s), u"A</title x><b>"_s);
    EXPECT_FALSE(L::pageTitle(u"<title>never closed"_s));
}

TEST(LinkPreviewParsing, PagesDecodeAndPicturesAreCheckedBeforeDecoding)
{
    // A cut through a character loses that character only; a broken page is read as Latin-1.
    const QByteArray cafe("Caf\xc3\xa9 \xc3", 7);
    EXPECT_EQ(L::decodePage(cafe, true), u"Caf\u00e9 "_s);
    EXPECT_EQ(L::decodePage(QByteArray("\xe2\x82", 2), true), QString());
    EXPECT_EQ(L::decodePage(cafe, false).size(), 7);
    EXPECT_EQ(L::decodePage(QByteArray("Gr\xfc\xdf", 4), false), u"Gr\u00fc\u00df"_s);

    EXPECT_EQ(sizeOf(L::pictureFromImageData(png(300, 200))), QSize(300, 200));
    EXPECT_EQ(sizeOf(L::pictureFromImageData(png(3000, 1500))), QSize(1200, 600));
    EXPECT_EQ(sizeOf(L::pictureFromImageData(png(500, 2400))), QSize(250, 1200));
    for (const QByteArray &bad : {pngClaiming(40000, 40000), pngClaiming(20000, 10), pngClaiming(0, 0),
                                  QByteArray("not an image"), QByteArray()})
        EXPECT_FALSE(L::pictureFromImageData(bad));
}

TEST(LinkPreviewFetch, TitleAndCardPictureFromThePage)
{
    Fixture f;
    f.server.route(u"/article"_s, {200, "text/html; charset=utf-8", cardPage("Tom &amp; Jerry", "/img/card.png")});
    f.server.route(u"/img/card.png"_s, {200, "image/png", png(640, 320)});
    const auto w = f.run(u"/article"_s);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->title, u"Tom & Jerry"_s);
    EXPECT_EQ(sizeOf(w->picture), QSize(640, 320));
    EXPECT_EQ(f.server.userAgents.value(u"/article"_s), L::userAgent);
    EXPECT_EQ(f.server.count(u"/favicon.ico"_s), 0); // the card was enough

    f.server.route(u"/query"_s, {200, "text/html", cardPage({}, "a.png?x=1&amp;y=2")});
    f.server.route(u"/a.png?x=1&y=2"_s, {200, "image/png", png(10, 10)});
    const auto q = f.run(u"/query"_s);
    ASSERT_TRUE(q);
    EXPECT_FALSE(q->title);
    EXPECT_EQ(sizeOf(q->picture), QSize(10, 10));
}

TEST(LinkPreviewFetch, FallsBackToTheSiteIcon)
{
    Fixture f;
    f.server.route(u"/favicon.ico"_s, {200, "image/png", png(32, 32)});
    // An error page: no title and no card, but the site's icon.
    f.server.route(u"/missing"_s, {404, "text/html", cardPage("Not Found", "/c.png")});
    f.server.route(u"/c.png"_s, {200, "image/png", png(50, 50)});
    const auto missing = f.run(u"/missing"_s);
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->title);
    EXPECT_EQ(sizeOf(missing->picture), QSize(32, 32));
    EXPECT_EQ(f.server.count(u"/c.png"_s), 0);

    // A card picture that fails gives way to the page's declared icon.
    f.server.route(u"/broken-card"_s,
                   {200, "text/html", cardPage("B", "/gone.png") + R"(<link rel="icon" href="/static/i.png">)"});
    f.server.route(u"/static/i.png"_s, {200, "image/png", png(48, 48)});
    const auto broken = f.run(u"/broken-card"_s);
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->title, u"B"_s);
    EXPECT_EQ(sizeOf(broken->picture), QSize(48, 48));

    // Nothing at all: nothing is written.
    Fixture g;
    EXPECT_FALSE(g.run(u"/nothing"_s));
}

TEST(LinkPreviewFetch, StaysWithinTheCaps)
{
    Fixture f;
    // 2 MiB of page: the card image after the first 512 KiB is never seen, and the title
    // survives a character cut at the limit.
    QByteArray big = "<html><head><title>Caf\xc3\xa9 Menu</title></head><body>";
    big += QByteArray(L::maxPageBytes - big.size() - 1, ' ') + "\xc3\xa9";
    big += QByteArray(600 * 1024, 'x') + "<meta property=\"og:image\" content=\"/late.png\">"
        + QByteArray(900 * 1024, 'y');
    f.server.route(u"/big"_s, {200, "text/html", big, false});
    f.server.route(u"/late.png"_s, {200, "image/png", png(20, 20)});
    const auto w = f.run(u"/big"_s);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->title, u"Caf\u00e9 Menu"_s);
    EXPECT_FALSE(w->picture);
    EXPECT_EQ(f.server.count(u"/late.png"_s), 0);

    // A picture claiming 40000 x 40000 pixels, and one over 8 MiB sent without a length.
    f.server.route(u"/huge"_s, {200, "text/html", cardPage("H", "/huge.png")});
    f.server.route(u"/huge.png"_s, {200, "image/png", pngClaiming(40000, 40000)});
    EXPECT_FALSE(f.run(u"/huge"_s)->picture);
    f.server.route(u"/heavy"_s, {200, "text/html", cardPage("W", "/heavy.png")});
    f.server.route(u"/heavy.png"_s, {200, "image/png", png(16, 16) + QByteArray(L::maxImageBytes, 'z'), false});
    EXPECT_FALSE(f.run(u"/heavy"_s)->picture);
}

TEST(LinkPreviewFetch, ATrickleOfBytesDoesNotHoldAFetchOpen)
{
    Fixture f;
    f.service->setDownloadDeadline(400);
    f.server.route(u"/slow"_s, {200, "text/html", {}, false, 50});
    f.server.route(u"/slow-card"_s, {200, "text/html", cardPage("S", "/slow.png")});
    f.server.route(u"/slow.png"_s, {200, "image/png", {}, false, 50});
    // The page never finishes: given up, then the site icon is tried.
    EXPECT_FALSE(f.run(u"/slow"_s));
    EXPECT_EQ(f.server.count(u"/favicon.ico"_s), 1);
    // A picture that never finishes leaves the title.
    const auto w = f.run(u"/slow-card"_s);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->title, u"S"_s);
    EXPECT_FALSE(w->picture);
}

TEST(LinkPreviewFetch, AdmissionRules)
{
    Fixture f;
    f.server.route(u"/p"_s, {200, "text/html", page("<title>P</title>")});
    auto fetched = [&](const ClipRef &clip) {
        const int before = f.server.count(u"/p"_s);
        f.service->fetchIfNeeded(clip);
        const bool started = f.service->isInFlight(clip);
        EXPECT_TRUE(f.settle());
        return started && f.server.count(u"/p"_s) == before + 1;
    };
    const QString address = f.server.url(u"/p"_s);
    EXPECT_TRUE(fetched(Fixture::linkClip(address)));
    EXPECT_TRUE(fetched(Fixture::linkClip(u"HTTP"_s + address.mid(4))));
    for (const QString &other : {u"ftp://127.0.0.1/p"_s, u"mailto:someone@example.com"_s, u"file:///etc/passwd"_s})
        EXPECT_FALSE(fetched(Fixture::linkClip(other))) << other.toStdString();
    auto text = Fixture::linkClip(address);
    text->setKind(ClipKind::text);
    EXPECT_FALSE(fetched(text));

    // Only a clip that already has both a title and a picture is left alone.
    auto complete = Fixture::linkClip(address);
    complete->setLinkTitle(QString());
    complete->setImageData(png(4, 4));
    EXPECT_FALSE(fetched(complete));
    auto titled = Fixture::linkClip(address);
    titled->setLinkTitle(u"Known"_s);
    EXPECT_TRUE(fetched(titled));

    // Two captures in a row: one fetch; once it ended, the clip may be fetched again.
    auto twice = Fixture::linkClip(address);
    const int before = f.server.count(u"/p"_s);
    f.service->fetchIfNeeded(twice);
    f.service->fetchIfNeeded(twice);
    EXPECT_TRUE(f.settle());
    EXPECT_EQ(f.server.count(u"/p"_s), before + 1);
    EXPECT_TRUE(fetched(twice));
}

TEST(LinkPreviewFetch, DeletedClipsAndAGoneServiceWriteNothing)
{
    test::FakeClock clock;
    auto container = ModelContainerFactory::makeInMemoryContainer(clock.clock(), nullptr);
    ASSERT_TRUE(container);
    Fixture f;
    f.server.route(u"/p"_s, {200, "text/html", cardPage("P", "/i.png")});
    f.server.route(u"/i.png"_s, {200, "image/png", png(8, 8)});

    auto clip = Fixture::linkClip(f.server.url(u"/p"_s));
    clip->setCreatedAt(clock.now());
    container->mainContext().insert(clip);
    ASSERT_TRUE(container->mainContext().save(nullptr));
    f.service->fetchIfNeeded(clip);
    container->mainContext().remove(clip);
    EXPECT_TRUE(f.settle());
    EXPECT_TRUE(f.writes.empty());

    f.service->fetchIfNeeded(Fixture::linkClip(f.server.url(u"/p"_s)));
    f.service.reset();
    QTest::qWait(300);
    EXPECT_TRUE(f.writes.empty());

    // Gone while a large picture is being decoded off the main thread.
    f.service = std::make_unique<L>(nullptr);
    f.server.route(u"/large"_s, {200, "text/html", cardPage({}, "/large.png")});
    f.server.route(u"/large.png"_s, {200, "image/png", png(5000, 4800)});
    f.service->fetchIfNeeded(Fixture::linkClip(f.server.url(u"/large"_s)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.server.count(u"/large.png"_s) == 1; }, 10000));
    QTest::qWait(100);
    f.service.reset();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
}
