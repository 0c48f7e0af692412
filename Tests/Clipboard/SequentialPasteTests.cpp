#include "PasteFakes.h"
#include "Support/TestSupport.h"

#include "Quillmere/Clipboard/SequentialPasteController.h"
#include "Quillmere/Model/ClipStore.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace Qt::StringLiterals;
using namespace quillmere::test;

namespace {

struct StackHarness : PasteFakes {
    TempPreferences prefs;
    FakeClock clock;
    std::unique_ptr<ClipStore> store;
    std::unique_ptr<PasteService> service = std::make_unique<PasteService>(dependencies());
    std::unique_ptr<SequentialPasteController> controller;

    StackHarness()
    {
        store = std::make_unique<ClipStore>(ModelContainer::open(QString(), clock.clock(), nullptr),
                                            ClipStoreDependencies{prefs.prefs.get(), &center, clock.clock(), nullptr});
        controller = std::make_unique<SequentialPasteController>(*store, *service);
        controller->setTargetWait({2, 4, 300});
        windows.active = WindowTarget{8, 800}; // another program's window, ready for keys
    }
    QUuid addClip(const QString &text)
    {
        const ClipRef clip = textClip(text);
        store->context().insert(clip);
        EXPECT_TRUE(store->save());
        return clip->dedupID();
    }
    void deleteClip(const QUuid &id)
    {
        store->context().remove(store->context().clipWithDedupID(id));
        EXPECT_TRUE(store->save());
    }
    // Clips "a" and "b" queued, and a press made while our own window is in front: it waits.
    std::pair<QUuid, QUuid> pressWaitingWithTwoQueued()
    {
        windows.active = WindowTarget{3, 4242};
        const QUuid a = addClip(u"a"_s), b = addClip(u"b"_s);
        controller->enqueue(a);
        controller->enqueue(b);
        EXPECT_TRUE(controller->pasteNext());
        return {a, b};
    }
    // Presses paste-next and waits for its keystroke, when it sends one.
    bool pressPasteNext()
    {
        const qsizetype before = keys.sent.size();
        const bool pasted = controller->pasteNext();
        if (pasted && keys.trusted) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return keys.sent.size() > before; }, 2000));
        }
        return pasted;
    }
};

} // namespace

TEST(PasteStack, PopAndRemoveKeepOrder)
{
    const QUuid a = QUuid::createUuid(), b = QUuid::createUuid();
    const PasteStack stack{{a, b, a}};
    const auto [first, rest] = stack.popFirst();
    EXPECT_EQ(first, a);
    EXPECT_EQ(rest, (PasteStack{{b, a}}));
    EXPECT_EQ(stack.remove(a), (PasteStack{{b}}));
    const auto [none, same] = PasteStack{}.popFirst();
    EXPECT_FALSE(none);
    EXPECT_TRUE(same.isEmpty());
}

TEST(SequentialPaste, PastesInOrderSkippingDeletedAndConsumingUnwritableClips)
{
    StackHarness h;
    const QUuid a = h.addClip(u"a"_s), b = h.addClip(u"b"_s), c = h.addClip(u"c"_s), empty = h.addClip(QString()),
                d = h.addClip(u"d"_s);
    for (const QUuid &id : {a, b, c, empty, d})
        h.controller->enqueue(id);
    h.deleteClip(b);

    QStringList pasted;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(h.pressPasteNext());
        pasted << h.pasteboard.string().value_or(QString());
    }
    EXPECT_EQ(pasted, (QStringList{u"a"_s, u"c"_s})); // b skipped within one press
    EXPECT_EQ(h.beeps, 0);

    // Nothing to write: the entry is used up, with a beep and no keystroke.
    EXPECT_FALSE(h.controller->pasteNext());
    EXPECT_EQ(h.controller->stack(), (PasteStack{{d}}));
    // Nothing but deleted clips left: the stack empties itself.
    h.deleteClip(d);
    EXPECT_FALSE(h.controller->pasteNext());
    EXPECT_TRUE(h.controller->stack().isEmpty());
    EXPECT_FALSE(h.controller->pasteNext());
    QTest::qWait(20);
    EXPECT_EQ(h.keys.sent.count(u"paste"_s), 2);
    EXPECT_EQ(h.beeps, 3);
}

TEST(SequentialPaste, EnqueueAlwaysNotifiesAndRetainOnlyWhenSomethingLeaves)
{
    StackHarness h;
    QSignalSpy spy(h.controller.get(), &SequentialPasteController::stackChanged);
    const QUuid a = h.addClip(u"x"_s), b = QUuid::createUuid(), c = QUuid::createUuid();
    h.controller->enqueue(a);
    h.controller->enqueue(a);
    EXPECT_EQ(h.controller->stack(), (PasteStack{{a}}));
    EXPECT_EQ(spy.count(), 2);

    h.controller->setStack(PasteStack{{a, b, c}});
    spy.clear();
    h.controller->retainOnly({a, b, c, QUuid::createUuid()});
    EXPECT_EQ(spy.count(), 0);
    h.controller->retainOnly({c, a});
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(h.controller->stack(), (PasteStack{{a, c}}));
}

TEST(SequentialPaste, APressWaitsForAnotherProgramsWindowAndTakesAClipOffOnlyWithItsPaste)
{
    StackHarness h;
    const auto [a, b] = h.pressWaitingWithTwoQueued();
    QTest::qWait(50);
    EXPECT_TRUE(h.keys.sent.isEmpty());
    EXPECT_EQ(h.controller->stack(), (PasteStack{{a, b}}));
    // A second press while the first waits comes after it.
    ASSERT_TRUE(h.controller->pasteNext());

    h.windows.active = WindowTarget{8, 800};
    EXPECT_TRUE(QTest::qWaitFor([&] { return h.keys.sent.count(u"paste"_s) == 2; }, 2000));
    EXPECT_TRUE(h.controller->stack().isEmpty());
    EXPECT_EQ(h.pasteboard.string(), u"b"_s);
    EXPECT_EQ(h.windows.activations, 2);

    // No window of another program within the wait: nothing sent, the clip stays, a beep.
    h.windows.active.reset();
    h.controller->enqueue(a);
    ASSERT_TRUE(h.controller->pasteNext());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !h.controller->isPasting(); }, 2000));
    EXPECT_EQ(h.keys.sent.count(u"paste"_s), 2);
    EXPECT_EQ(h.controller->stack(), (PasteStack{{a}}));
    EXPECT_EQ(h.beeps, 1);

    // A chord that could not be posted leaves it there too.
    h.windows.active = WindowTarget{8, 800};
    h.keys.postFails = true;
    ASSERT_TRUE(h.controller->pasteNext());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !h.controller->isPasting(); }, 2000));
    EXPECT_EQ(h.controller->stack(), (PasteStack{{a}}));
}

// Another program's copy made while a press waits for its window must not be pasted in the
// clip's place, with the clip then taken off as if it had gone out.
TEST(SequentialPaste, ACopyMadeWhileAPressWaitsIsNotPastedInTheClipsPlace)
{
    StackHarness h;
    const auto [a, b] = h.pressWaitingWithTwoQueued();
    QTest::qWait(20);
    h.pasteboard.clearContents();
    h.pasteboard.setString(u"copied meanwhile"_s);

    h.windows.active = WindowTarget{8, 800};
    ASSERT_TRUE(QTest::qWaitFor([&] { return h.keys.sent.count(u"paste"_s) == 1; }, 2000));
    EXPECT_EQ(h.pasteboard.string(), u"a"_s);
    EXPECT_EQ(h.controller->stack(), (PasteStack{{b}}));

    // The clip deleted meanwhile too: nothing is sent, and the press ends.
    h.windows.active = WindowTarget{3, 4242};
    ASSERT_TRUE(h.controller->pasteNext());
    QTest::qWait(20);
    h.pasteboard.clearContents();
    h.pasteboard.setString(u"copied meanwhile"_s);
    h.deleteClip(b);
    h.windows.active = WindowTarget{8, 800};
    EXPECT_TRUE(QTest::qWaitFor([&] { return !h.controller->isPasting(); }, 2000));
    EXPECT_EQ(h.keys.sent.count(u"paste"_s), 1);
    EXPECT_EQ(h.pasteboard.string(), u"copied meanwhile"_s);
}

TEST(SequentialPaste, WithoutTrustTheEntryIsConsumedAndOnlyTheClipboardSet)
{
    StackHarness h;
    h.keys.trusted = false;
    h.controller->enqueue(h.addClip(u"by hand"_s));
    EXPECT_TRUE(h.pressPasteNext());
    QTest::qWait(20);
    EXPECT_EQ(h.pasteboard.string(), u"by hand"_s);
    EXPECT_TRUE(h.keys.sent.isEmpty());
    EXPECT_TRUE(h.controller->stack().isEmpty());
}
