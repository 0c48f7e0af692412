// Backups built to blow up memory, made here as streams rather than kept as files, and texts that
// must come back exactly as they went in.
#include "Quillmere/Archive/BackupArchive.h"

#include <QFile>
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

// A raw deflate stream of `total` bytes of `fill`, compressed as it is produced.
QByteArray deflated(qint64 total, char fill)
{
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY), Z_OK);
    const QByteArray chunk(1 << 20, fill);
    QByteArray out;
    char buffer[64 * 1024];
    for (qint64 left = total; left >= 0;) {
        const qint64 take = std::min<qint64>(left, chunk.size());
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(chunk.constData()));
        stream.avail_in = uInt(take);
        left -= take;
        const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = reinterpret_cast<Bytef *>(buffer);
            stream.avail_out = sizeof buffer;
            deflate(&stream, flush);
            out.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
        } while (stream.avail_out == 0);
        if (flush == Z_FINISH)
            break;
    }
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
