#include "Quillmere/App/UpdateChecker.h"
#include "Support/TestSupport.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(UpdateChecker, WithoutAFeedNothingGoesToTheNetwork)
{
    test::TempPreferences prefs;
    std::vector<UpdateChecker::Result> results;
    UpdateChecker checker(*prefs, QVersionNumber(0, 1, 0), [&](const auto &r) { results.push_back(r); });
    checker.checkForUpdates();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].kind, UpdateChecker::Result::Kind::packageManaged);

    for (const QString bad : {"file:///etc/passwd", "not a url", "ftp://example.org/feed"}) {
        prefs->setString(UpdateChecker::feedKey, bad);
        EXPECT_FALSE(checker.feedUrl().has_value()) << bad.toStdString();
    }
}

TEST(UpdateChecker, FeedIsComparedByVersionAndOnlyWebLinksAreOffered)
{
    using Kind = UpdateChecker::Result::Kind;
    const QVersionNumber current(1, 4, 0);
    EXPECT_EQ(UpdateChecker::evaluateFeed(R"({"version":"1.4.0"})", current).kind, Kind::upToDate);
    EXPECT_EQ(UpdateChecker::evaluateFeed(R"({"version":"1.3.9"})", current).kind, Kind::upToDate);
    const auto newer = UpdateChecker::evaluateFeed(R"({"version":"1.10.0","url":"https://example.org/get"})", current);
    EXPECT_EQ(newer.kind, Kind::available);
    EXPECT_EQ(newer.downloadUrl, QUrl("https://example.org/get"));
    EXPECT_TRUE(UpdateChecker::evaluateFeed(R"j({"version":"2.0","url":"javascript:alert(1)"})j", current).downloadUrl.isEmpty());
    EXPECT_EQ(UpdateChecker::evaluateFeed("{}", current).kind, Kind::failed);
    EXPECT_EQ(UpdateChecker::evaluateFeed("garbage", current).kind, Kind::failed);
}
