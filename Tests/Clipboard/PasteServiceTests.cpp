#include "PasteFakes.h"

#include "Quillmere/Clipboard/PasteChordRule.h"
#include "Quillmere/Clipboard/SequentialPasteController.h"
#include "Support/DisplayTestSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quillmere;
using namespace Qt::StringLiterals;
using namespace quillmere::test;

namespace {

constexpr int settle = 2000; // upper bound for the shortened waits to run their course

struct PasteHarness : PasteFakes {
    QTemporaryDir temp;
    QList<QVariantMap> notices;
    std::unique_ptr<PasteService> service;

    explicit PasteHarness(PasteTimings timings = quickTimings())
    {
        center.addObserver(ownPasteboardWriteNotification, nullptr, [this](const Notification &n) {
            // Observers run inside the post, before the content is written.
            EXPECT_EQ(n.userInfo.value(ownPasteboardWriteChangeCountKey).toLongLong(), pasteboard.changeCount());
            EXPECT_TRUE(pasteboard.contents().isEmpty());
            notices << n.userInfo;
        });
        auto deps = dependencies(timings);
        deps.clock = [] { return QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC); };
        deps.temporaryRoot = temp.path();
        service = std::make_unique<PasteService>(std::move(deps));
    }
    void copyFromElsewhere(const QString &text)
    {
        PasteboardContents c;
        c.setString(text);
        pasteboard.simulateExternalCopy(c);
    }
};

const PasteService::PasteTarget target{{7, 700}};

} // namespace

TEST(PasteService, TemplatesKeepFieldsLiteralAndCountCaretBackOnlyWhenTrusted)
{
    PasteHarness h;
    h.copyFromElsewhere(u"Ann"_s);
    const auto clip = textClip(u"Dear {clipboard},{cursor} regards"_s);
    EXPECT_EQ(h.service->writeToPasteboard(*clip), 8);
    EXPECT_EQ(h.pasteboard.string(), u"Dear Ann, regards"_s);
    EXPECT_EQ(h.service->writeToPasteboard(*textClip(u"{field:Name} and {date:yyyy}"_s)), 0);
    EXPECT_EQ(h.pasteboard.string(), u"{field:Name} and 2026"_s);
    // No placeholder: the escape stays as typed.
    h.service->writeToPasteboard(*textClip(u"a \\{b}"_s));
    EXPECT_EQ(h.pasteboard.string(), u"a \\{b}"_s);
    // Stored rich text is not pasted; it would not match the expanded string.
    auto rich = textClip(u"Hi {cursor}"_s);
    rich->setFileData(QByteArray("<b>Hi {cursor}</b>"));
    rich->setFileTypeIdentifier(PasteboardType::html);
    h.service->writeToPasteboard(*rich);
    EXPECT_EQ(h.pasteboard.contents().types(), QStringList{PasteboardType::string});
    EXPECT_EQ(h.pasteboard.string(), u"Hi "_s);

    h.keys.trusted = false;
    EXPECT_EQ(h.service->writeToPasteboard(*clip), 0);
    h.service->deliverPaste(target, 0);
    QTest::qWait(50);
    EXPECT_TRUE(h.keys.sent.isEmpty());
    EXPECT_EQ(h.windows.activations, 0);
}

TEST(PasteService, EveryWriteIsAnnouncedWithItsCountAndNoFeedback)
{
    PasteHarness h;
    h.service->writeToPasteboard(*textClip(u"one"_s));
    h.service->writeText(QString());
    ASSERT_EQ(h.notices.size(), 2);
    for (const QVariantMap &info : h.notices)
        EXPECT_EQ(info.keys(), QStringList{ownPasteboardWriteChangeCountKey});
    EXPECT_EQ(h.notices.back().value(ownPasteboardWriteChangeCountKey).toLongLong(), h.pasteboard.changeCount());
    EXPECT_EQ(h.pasteboard.string(), QString()); // an empty plain text is still written
}

TEST(PasteService, NothingToWriteLeavesClipboardAloneAndBeeps)
{
    PasteHarness h;
    h.copyFromElsewhere(u"keep me"_s);
    ClipItem emptyURL, bareImage, lostFile, emptyText;
    emptyURL.setKind(ClipKind::url);
    emptyURL.setText(QString());
    bareImage.setKind(ClipKind::image);
    lostFile.setKind(ClipKind::file);
    lostFile.setText(u"/nonexistent/quillmere/report.pdf"_s);
    for (const ClipItem *clip : {&emptyURL, &bareImage, &lostFile, &emptyText})
        EXPECT_FALSE(h.service->writeToPasteboard(*clip)) << qPrintable(clip->kindRawValue());
    EXPECT_EQ(h.beeps, 4);
    EXPECT_EQ(h.pasteboard.clearCount(), 0);
    EXPECT_EQ(h.pasteboard.string(), u"keep me"_s);
    EXPECT_TRUE(h.notices.isEmpty());

    // An image carries its caption along.
    bareImage.setText(u"caption"_s);
    bareImage.setImageData(png(4, 4));
    EXPECT_EQ(h.service->writeToPasteboard(bareImage), 0);
    EXPECT_EQ(h.pasteboard.string(), u"caption"_s);
    EXPECT_TRUE(h.pasteboard.contents().hasType(PasteboardType::png));
    EXPECT_TRUE(h.pasteboard.contents().hasType(PasteboardType::tiff));
}

TEST(PasteService, TheTargetIsBroughtBackBeforeTheChordAndCaretBack)
{
    struct Case {
        const char *name;
        std::optional<PasteService::PasteTarget> pasteTo;
        int requestsBeforeActivation; // -1: never
        bool closed;
        int activations;
    };
    const int never = 1 + PasteTimings().activationAttempts;
    for (const Case &c : {Case{"in front", target, 0, false, 1}, Case{"comes back", target, 3, false, 4},
                          Case{"never comes back", target, -1, false, never}, Case{"closed", target, 0, true, 0},
                          Case{"none recorded", std::nullopt, 0, false, 0}}) {
        PasteHarness h;
        h.windows.active = c.requestsBeforeActivation == 0 ? target.app : WindowTarget{9, 900};
        h.windows.requestsBeforeActivation = c.requestsBeforeActivation;
        if (c.closed)
            h.windows.closed.insert(target.app.window);
        h.service->deliverPaste(c.pasteTo, 3);
        EXPECT_EVENTUALLY_EQ(h.keys.sent, (QStringList{u"paste"_s, u"left 3"_s}), settle);
        EXPECT_EQ(h.windows.activations, c.activations) << c.name;
    }
}

TEST(PasteService, ChordWaitsForHeldModifiersButNotForever)
{
    PasteTimings timings = PasteFakes::quickTimings();
    timings.modifierWaitLimit = 60 * 1000;
    PasteHarness h(timings);
    h.keys.holdModifiers = true;
    h.service->deliverPaste(std::nullopt, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return h.keys.modifierPolls >= 3; }, settle));
    EXPECT_TRUE(h.keys.sent.isEmpty());
    h.keys.holdModifiers = false;
    EXPECT_EVENTUALLY_EQ(h.keys.sent, QStringList{u"paste"_s}, settle);

    timings.modifierWaitLimit = 10;
    PasteHarness stuck(timings);
    stuck.keys.holdModifiers = true;
    stuck.service->deliverPaste(std::nullopt, 0);
    EXPECT_EVENTUALLY_EQ(stuck.keys.sent, QStringList{u"paste"_s}, settle);
}

TEST(PasteService, PendingKeystrokeDiesWithTheService)
{
    PasteHarness h;
    h.service->deliverPaste(std::nullopt, 1);
    h.service.reset();
    QTest::qWait(50);
    EXPECT_TRUE(h.keys.sent.isEmpty());
}

TEST(PasteService, FrontmostTargetExcludesOurOwnAndVanishedWindows)
{
    PasteHarness h;
    EXPECT_FALSE(h.service->frontmostTarget());
    h.windows.active = WindowTarget{5, 4242};
    EXPECT_FALSE(h.service->frontmostTarget());
    EXPECT_TRUE(h.service->activeTarget());
    h.windows.active = WindowTarget{6, 600};
    EXPECT_EQ(h.service->frontmostTarget(), (PasteService::PasteTarget{{6, 600}}));
    h.windows.closed.insert(6);
    EXPECT_FALSE(h.service->frontmostTarget());
}

TEST(PasteChordRule, TerminalsGetTheirOwnChordByWindowClass)
{
    struct Case {
        const char *instance, *className;
        PasteChord chord;
    };
    for (const Case &c :
         {Case{"xterm", "XTerm", PasteChord::shiftInsert}, Case{"urxvt", "URxvt", PasteChord::shiftInsert},
          Case{"rxvt-unicode", "URxvt", PasteChord::shiftInsert},
          Case{"gnome-terminal-server", "Gnome-terminal", PasteChord::controlShiftV},
          Case{"mate-terminal", "Mate-terminal", PasteChord::controlShiftV},
          Case{"konsole", "konsole", PasteChord::controlShiftV},
          Case{"xfce4-terminal", "Xfce4-terminal", PasteChord::controlShiftV},
          Case{"Alacritty", "Alacritty", PasteChord::controlShiftV}, Case{"kitty", "kitty", PasteChord::controlShiftV},
          Case{"org.wezfurlong.wezterm", "org.wezfurlong.wezterm", PasteChord::controlShiftV},
          Case{"terminator", "Terminator", PasteChord::controlShiftV},
          Case{"tilix", "Tilix", PasteChord::controlShiftV},
          // Editors and browsers, and names that only contain a terminal's.
          Case{"gedit", "Gedit", PasteChord::controlV}, Case{"Navigator", "firefox", PasteChord::controlV},
          Case{"xtermination", "Game", PasteChord::controlV}, Case{"", "", PasteChord::controlV}}) {
        EXPECT_EQ(PasteChordRule::chordFor(QString::fromLatin1(c.instance), QString::fromLatin1(c.className)), c.chord)
            << c.instance;
    }
    EXPECT_TRUE(PasteChordRule::pastesPrimary(PasteChord::shiftInsert));
    EXPECT_FALSE(PasteChordRule::pastesPrimary(PasteChord::controlShiftV));
}

TEST(PasteService, TheChordAndPrimaryFollowTheTargetWindowAndThePasteStackToo)
{
    PasteHarness h;
    const PasteService::PasteTarget xterm{{11, 1100}}, konsole{{12, 1200}}, editor{{13, 1300}};
    h.windows.classes[11] = {u"xterm"_s, u"XTerm"_s};
    h.windows.classes[12] = {u"konsole"_s, u"konsole"_s};
    h.windows.classes[13] = {u"gedit"_s, u"Gedit"_s};
    for (const auto &t : {xterm, konsole, editor}) {
        h.windows.active = t.app;
        h.service->writeToPasteboard(*textClip(u"clip for %1"_s.arg(t.app.window)));
        h.service->deliverPaste(t, 0);
    }
    EXPECT_EVENTUALLY_EQ(h.keys.sent, (QStringList{u"paste shift+insert"_s, u"paste ctrl+shift+v"_s, u"paste"_s}),
                         settle);
    EXPECT_EQ(h.pasteboard.primary, u"clip for 11"_s) << "xterm pastes PRIMARY, which holds the clip";

    // The paste stack's chord goes to whatever is in front.
    SequentialPasteController stack([](const QUuid &) { return textClip(u"queued"_s); }, *h.service);
    stack.setStack(PasteStack{{QUuid::createUuid()}});
    h.windows.active = xterm.app;
    h.keys.sent.clear();
    h.pasteboard.primary.reset();
    ASSERT_TRUE(stack.pasteNext());
    EXPECT_EVENTUALLY_EQ(h.keys.sent, QStringList{u"paste shift+insert"_s}, settle);
    EXPECT_EQ(h.pasteboard.primary, u"queued"_s);
}
