// Copies made faster than a person would, each fetched by us before the next one is made, against
// a long history and a busy main thread: every one of them must become a clip, in the order it
// was made.

#include "CaptureHarness.h"

#include <QProcess>
#include <QThread>

using namespace quillmere;
using namespace Qt::StringLiterals;
using namespace quillmere::test;

namespace {

void fillHistory(ClipStore &store, int count)
{
    store.setHistoryLimit(-1);
    for (int i = 0; i < count; ++i) {
        CapturedContent content{.kind = ClipKind::text};
        content.text = u"stored clip %1 with some words of a note"_s.arg(i);
        store.context().insert(store.makeClip(content));
    }
    ASSERT_TRUE(store.save());
}

} // namespace

TEST(X11CaptureFlow, EveryFetchedCopyIsKeptInOrderWithALongHistory)
{
    ASSERT_TRUE(onX11()) << "needs an X display";
    SystemPasteboard pasteboard;
    pasteboard.clearContents(); // late notices about earlier owners are no one's copy
    CaptureHarness h(pasteboard);
    fillHistory(*h.store, 10000);
    // A main thread slower than the copies come: each read waits its turn, none is dropped.
    h.monitor->setOnItemCaptured([&h](const ClipRef &clip) {
        h.captured.push_back(clip);
        QThread::msleep(150);
    });

    constexpr int copies = 100;
    QProcess setter;
    setter.start(QStringLiteral(QUILLMERE_CLIPBOARD_SETTER), {u"100"_s, u"100"_s, u"flow"_s, u"300"_s});
    ASSERT_TRUE(setter.waitForStarted(5000));
    ASSERT_TRUE(waitUntil([&] { return setter.state() == QProcess::NotRunning; }, 120000));
    EXPECT_EQ(setter.exitCode(), 0) << setter.readAll().constData();
    ASSERT_TRUE(h.waitForCaptures(copies)) << h.captured.size();

    QStringList expected, kept;
    for (int i = 0; i < copies; ++i)
        expected << u"flow %1"_s.arg(i);
    for (const ClipRef &clip : h.captured)
        kept << clip->text().value_or(QString()).section(u' ', 0, 1);
    EXPECT_EQ(kept, expected);
    EXPECT_EQ(h.history().size(), size_t(10000 + copies));
}
