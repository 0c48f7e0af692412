#include "SettingsFixture.h"

#include "Quillmere/Model/ModelContainer.h"

using namespace quillmere;
using quillmere::test::StoreFixture;

namespace {

struct Catalog {
    std::vector<ClipAchievement> list;
    bool unlocked(const QString &id) const
    {
        for (const auto &a : list)
            if (a.id == id)
                return a.isUnlocked;
        ADD_FAILURE() << qPrintable(id);
        return false;
    }
};

Catalog catalog(StoreFixture &f)
{
    return {ClipAchievement::catalog(f.ctx().allClips(), f.store->pages(), f.clock.now())};
}

ClipRef clipOf(StoreFixture &f, ClipKind kind, const QString &text, const std::optional<QString> &source = {})
{
    CapturedContent c{.kind = kind, .text = text, .sourceAppName = source};
    return f.put(c);
}

} // namespace

TEST(Achievements, EmptyStoreLocksAllEightAndOneClipRescues)
{
    StoreFixture f;
    Catalog c = catalog(f);
    ASSERT_EQ(c.list.size(), 8u);
    EXPECT_EQ(ClipAchievement::unlockedCount(c.list), 0);
    QSet<QString> ids;
    for (const auto &a : c.list)
        ids.insert(a.id);
    EXPECT_EQ(ids.size(), 8);

    f.putText("one");
    c = catalog(f);
    EXPECT_TRUE(c.unlocked("first-rescue"));
    EXPECT_FALSE(c.unlocked("time-traveler"));
    f.clock.advance(6 * 86400 * 1000LL);
    EXPECT_FALSE(catalog(f).unlocked("time-traveler"));
    f.clock.advance(86400 * 1000LL);
    EXPECT_TRUE(catalog(f).unlocked("time-traveler"));
}

TEST(Achievements, KeptTextPhoneSourcesRecognisedTextAndPromptPages)
{
    StoreFixture f;
    const PageRef page = f.store->createPage("Email");
    EXPECT_TRUE(catalog(f).unlocked("ai-memory")) << "any name with a and i in a row";
    EXPECT_TRUE(catalog(f).unlocked("first-page"));
    ASSERT_TRUE(f.store->renamePage(page, ""));
    EXPECT_FALSE(catalog(f).unlocked("ai-memory")) << "judged as Untitled";

    for (int i = 0; i < 10; ++i)
        clipOf(f, ClipKind::url, QString("https://example.org/%1").arg(i))->setIsPinned(true);
    EXPECT_FALSE(catalog(f).unlocked("prompt-library")) << "links are not text";
    for (int i = 0; i < 9; ++i)
        f.store->assignClip(clipOf(f, ClipKind::text, QString("note %1").arg(i)), page);
    EXPECT_FALSE(catalog(f).unlocked("prompt-library"));
    ClipRef odd = clipOf(f, ClipKind::text, "unknown kind");
    odd->setKindRawValue("snippet");
    odd->setIsPinned(true);
    EXPECT_TRUE(catalog(f).unlocked("prompt-library")) << "an unknown kind counts as text";
    EXPECT_FALSE(catalog(f).unlocked("clean-desk")) << "20 kept";
    for (int i = 0; i < 5; ++i)
        clipOf(f, ClipKind::text, QString("pin %1").arg(i))->setIsPinned(true);
    EXPECT_TRUE(catalog(f).unlocked("clean-desk"));

    EXPECT_FALSE(catalog(f).unlocked("screenshot-sleuth"));
    clipOf(f, ClipKind::text, "blank ocr")->setRecognizedText(QString(" \n "));
    EXPECT_FALSE(catalog(f).unlocked("screenshot-sleuth"));
    clipOf(f, ClipKind::text, "ocr")->setRecognizedText(QString("words"));
    EXPECT_TRUE(catalog(f).unlocked("screenshot-sleuth"));

    clipOf(f, ClipKind::text, "from phone", QString(" iPhone "));
    EXPECT_FALSE(catalog(f).unlocked("cross-device-relay")) << "the phone alone is one source";
    clipOf(f, ClipKind::text, "from desk", QString("Terminal"));
    EXPECT_TRUE(catalog(f).unlocked("cross-device-relay"));
}

TEST(Achievements, ComputingThemLoadsNoImageOrFileBytes)
{
    StoreFixture f(true);
    for (int i = 0; i < 3; ++i) {
        CapturedContent image{.kind = ClipKind::image, .imageData = QByteArray(4096, char(i))};
        f.put(image);
    }
    f.open(); // reopened: every blob is back on disk
    const auto clips = f.ctx().allClips();
    ASSERT_EQ(clips.size(), 3u);
    ASSERT_FALSE(clips[0]->isImageDataLoaded());
    ClipAchievement::catalog(clips, f.store->pages(), f.clock.now());
    for (const ClipRef &clip : clips)
        EXPECT_FALSE(clip->isImageDataLoaded());
}
