// Backups built to blow up memory, made here as streams rather than kept as files, and texts that
// must come back exactly as they went in.
#include "Quillmere/Archive/BackupArchive.h"
#include "Quillmere/Archive/JsonStringCutter.h"
#include "Quillmere/Model/CapturedContent.h"

#include <QFile>
#include <QUuid>
#include <gtest/gtest.h>
#include <zlib.h>

using namespace quillmere;

namespace {

// Peak resident memory since the last reset, KiB.
qint64 peakKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

void resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    ASSERT_TRUE(refs.open(QIODevice::WriteOnly));
    refs.write("5");
}

// A raw deflate stream of `before`, `total` bytes of `fill` and `after`, compressed as it is
// produced.
QByteArray deflated(qint64 total, char fill, const QByteArray &before = {}, const QByteArray &after = {})
{
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY), Z_OK);
    const QByteArray chunk(1 << 20, fill);
    QByteArray out;
    char buffer[64 * 1024];
    auto put = [&](const char *data, qint64 size, int flush) {
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        stream.avail_in = uInt(size);
        do {
            stream.next_out = reinterpret_cast<Bytef *>(buffer);
            stream.avail_out = sizeof buffer;
            deflate(&stream, flush);
            out.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
        } while (stream.avail_out == 0);
    };
    put(before.constData(), before.size(), Z_NO_FLUSH);
    for (qint64 left = total; left > 0;) {
        const qint64 take = std::min<qint64>(left, chunk.size());
        put(chunk.constData(), take, Z_NO_FLUSH);
        left -= take;
    }
    put(after.constData(), after.size(), Z_FINISH);
    deflateEnd(&stream);
    return out;
}

TEST(BackupBombs, AStreamInflatingPastTheLimitIsRefusedWhileInflating)
{
    const QByteArray bomb = deflated(backup::maxJsonBytes + (1 << 20), '\0');
    ASSERT_LT(bomb.size(), 4 << 20);
    resetPeak();
    const qint64 before = peakKiB();
    const ClipArchiveReadResult read = backup::decode(bomb);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().code, ClipArchiveError::tooLarge(0, 0).code);
    // Refused holding about what the file holds, not the gigabyte it would have become.
    EXPECT_LT(peakKiB() - before, 100 * 1024);
}

TEST(BackupBombs, AStreamUnderTheLimitIsInflatedOnceIntoItsOwnSize)
{
    // One long text a compressor packs into a few kilobytes: the inflated copy is made once, at
    // its size, rather than doubled on the way.
    const qint64 size = 200 << 20;
    const QByteArray stream = deflated(size, ' ');
    resetPeak();
    const qint64 before = peakKiB();
    bool exceeded = false;
    const auto json = backup::inflateSerially(stream, backup::maxJsonBytes, &exceeded);
    ASSERT_TRUE(json);
    EXPECT_EQ(json->size(), size);
    EXPECT_LT(peakKiB() - before, 3 * size / 2 / 1024);
}

TEST(BackupBombs, AHugeTextIsCutToTheLocalCapWhileItIsInflated)
{
    // One text of 256 MiB in a valid backup of a few hundred kilobytes.
    const QByteArray before = QByteArrayLiteral(
        "{\"manifest\":{\"version\":1,\"pinboardCount\":0,\"clipCount\":1,\"exportedAt\":\"2026-03-01T13:00:00Z\","
        "\"appVersion\":\"0.1.0\"},\"pinboards\":[],\"clips\":[{\"dedupID\":\"6F9619FF-8B86-D011-B42D-00C04FC964FF\","
        "\"createdAt\":\"2026-02-28T09:15:30.125Z\",\"kind\":\"text\",\"text\":\"");
    const QByteArray after =
        QByteArrayLiteral("\",\"isPinned\":false,\"contentHash\":\"x\",\"isSavedToPage\":false}]}");
    const QByteArray bomb = deflated(qint64(256) << 20, 'a', before, after);
    ASSERT_LT(bomb.size(), 1 << 20);
    resetPeak();
    const qint64 start = peakKiB();
    const ClipArchiveReadResult read = backup::decode(bomb);
    const qint64 grew = peakKiB() - start;
    ASSERT_TRUE(read.ok());
    ASSERT_EQ(read.value().clips.size(), 1u);
    EXPECT_EQ(read.value().clips[0].text->size(), CapturedContent::maxTextBytes);
    // The text was never held whole, neither inflated nor decoded.
    EXPECT_LT(grew, 32 * 1024);
}

TEST(BackupBombs, StringsAreCutBetweenCharactersAndPayloadsNeverWhicheverWayTheBytesArrive)
{
    const QByteArray json =
        QByteArrayLiteral("{\"text\":\"0123456789abcdefgh\\u00e9xyz\",\"imageDataBase64\":"
                          "\"QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo\\/QUJDREVGR0hJSktM\",\"name\":"
                          "\"\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"
                          "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\",\"s\":\"01234567890123456\\ud83d\\ude00\"}");
    const QByteArray expected = QByteArrayLiteral("{\"text\":\"0123456789abcdefgh\\u00e9\",\"imageDataBase64\":"
                                                  "\"QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo\\/QUJDREVGR0hJSktM\",\"name\":"
                                                  "\"\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"
                                                  "\xe2\x82\xac\",\"s\":\"01234567890123456\"}");
    for (const qsizetype step : {qsizetype(1), qsizetype(3), json.size()}) {
        archive::JsonStringCutter cutter(20);
        QByteArray out;
        for (qsizetype at = 0; at < json.size(); at += step)
            cutter.feed(json.constData() + at, std::min(step, json.size() - at), &out);
        EXPECT_EQ(out, expected) << "in steps of " << step;
        EXPECT_TRUE(cutter.atRest());
    }

    // A backup of ours, read piece by piece or in one go, comes out cut the same way.
    ClipArchiveDocument doc;
    doc.manifest.exportedAt = QDateTime::fromMSecsSinceEpoch(0, Qt::UTC);
    ClipArchiveClip clip;
    clip.createdAt = doc.manifest.exportedAt;
    clip.contentHash = QStringLiteral("x");
    for (int i = 0; i < 6; ++i) {
        clip.dedupID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        clip.text = QString(700000, QChar(u'a' + i));
        doc.clips.push_back(clip);
    }
    doc.manifest.clipCount = qint64(doc.clips.size());
    const QByteArray file = *backup::encoded(doc);
    const auto pieces = backup::inflateInPieces(file, 1 << 30, nullptr, CapturedContent::maxTextBytes);
    ASSERT_TRUE(pieces);
    EXPECT_EQ(pieces, backup::inflateSerially(file, 1 << 30, nullptr, CapturedContent::maxTextBytes));
    const ClipArchiveReadResult read = backup::decode(file);
    ASSERT_TRUE(read.ok());
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(*read.value().clips[size_t(i)].text, QString(CapturedContent::maxTextBytes, QChar(u'a' + i)));
}

TEST(BackupRoundTrip, EveryTextComesBackExactlyLoneSurrogatesIncluded)
{
    const QByteArray json = QByteArrayLiteral(
        "{\"manifest\":{\"version\":1,\"pinboardCount\":0,\"clipCount\":1,\"exportedAt\":\"2026-03-01T13:00:00Z\","
        "\"appVersion\":\"0.1.0\"},\"pinboards\":[],\"clips\":[{\"dedupID\":\"6F9619FF-8B86-D011-B42D-00C04FC964FF\","
        "\"createdAt\":\"2026-02-28T09:15:30.125Z\",\"kind\":\"text\",\"text\":\"a\\udf31b\\ud83d\\ude00c\\ud800\","
        "\"customTitle\":\"\\udbff\",\"isPinned\":false,\"contentHash\":\"x\",\"isSavedToPage\":false}]}");
    const ClipArchiveReadResult first = backup::decode(json);
    ASSERT_TRUE(first.ok());
    const QString text = *first.value().clips.at(0).text;
    EXPECT_EQ(text, QStringLiteral("a") + QChar(0xDF31) + QString::fromUtf8("b\U0001F600c") + QChar(0xD800));
    const auto written = backup::encoded(first.value());
    ASSERT_TRUE(written);
    const ClipArchiveReadResult second = backup::decode(*written);
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(second.value(), first.value());
    EXPECT_EQ(*second.value().clips.at(0).text, text);
    EXPECT_EQ(*second.value().clips.at(0).customTitle, QString(QChar(0xDBFF)));
}

} // namespace
