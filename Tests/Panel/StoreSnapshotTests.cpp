// The snapshot adapter over a real store, and the snapshot filters against the store's own rules.
#include "ManualScheduler.h"
#include "Quillmere/Model/ClipStore.h"
#include "Quillmere/Model/SearchReader.h"
#include "Quillmere/Model/StoreSearchKeys.h"
#include "Quillmere/Panel/HistoryStore.h"
#include "Quillmere/Panel/HistoryViewModel.h"
#include "Quillmere/Panel/SnapshotSearch.h"
#include "Quillmere/Platform/Core/Notices.h"
#include "Quillmere/Platform/Core/NotificationCenter.h"
#include "Support/TestSupport.h"

#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>
#include <type_traits>

using namespace quillmere;
using namespace quillmere::test;

namespace {

struct MemoryStore {
    FakeClock clock;
    TempPreferences prefs;
    NotificationCenter center;
    std::unique_ptr<ClipStore> store;

    QTemporaryDir dir;
    QString path; // empty: in memory

    explicit MemoryStore(bool onDisk = false)
    {
        if (onDisk)
            path = dir.filePath(QStringLiteral("history.store"));
        open();
    }

    void open()
    {
        store.reset();
        QString error;
        auto container = ModelContainer::open(path, clock.clock(), &error);
        store = std::make_unique<ClipStore>(std::shared_ptr<ModelContainer>(container.release()),
                                            ClipStoreDependencies{prefs.prefs.get(), &center, clock.clock()});
    }

    ClipRef put(CapturedContent content)
    {
        clock.advance(1000);
        ClipRef clip = store->makeClip(content);
        store->context().insert(clip);
        EXPECT_TRUE(store->save());
        return clip;
    }
};

// The facts read straight off the stored record, for comparison with what the snapshot carries.
ClipFilterFacts factsOf(const ClipItem &clip)
{
    return {.kind = clip.kind(),
            .sourceAppName = &clip.sourceAppName(),
            .recognizedText = &clip.recognizedText(),
            .createdAt = clip.createdAt(),
            .isSaved = clip.isPinned() || clip.pinboard() != nullptr || clip.isSavedToPage(),
            .isPinned = clip.isPinned(),
            .hasImageData = clip.hasImageData()};
}

} // namespace

TEST(StoreSnapshot, CopiesFieldsAndPagesWithoutBytesAndFollowsSaves)
{
    MemoryStore m(true);
    auto history = std::make_unique<ClipStoreHistory>(*m.store);
    QSignalSpy changed(history.get(), &HistoryStore::changed);

    PageRef page = m.store->createPage(QStringLiteral("Work"));
    ASSERT_TRUE(m.store->setPageLock(page, QStringLiteral("secret")));
    ClipRef image = m.put(
        {.kind = ClipKind::image, .imageData = QByteArray(40, 'x'), .recognizedText = QStringLiteral(" Total 12 ")});
    ClipRef text =
        m.put({.kind = ClipKind::text, .text = QStringLiteral("hello"), .sourceAppName = QStringLiteral("Editor")});
    m.store->assignClip(text, page);
    EXPECT_GE(changed.count(), 3);

    history.reset();
    m.open();
    history = std::make_unique<ClipStoreHistory>(*m.store);
    const HistorySnapshot snap = history->snapshot();
    ASSERT_EQ(snap.clips.size(), 2u);
    EXPECT_EQ(snap.clips[0].dedupID, text->dedupID()); // newest first
    EXPECT_EQ(snap.clips[0].pageID, page->persistentModelID());
    EXPECT_EQ(snap.clips[0].primaryText, QStringLiteral("hello"));
    EXPECT_TRUE(snap.clips[1].hasImageData);
    EXPECT_EQ(snap.clips[1].primaryText, QStringLiteral("Total 12"));
    const ClipRef reloaded = m.store->context().clipWithDedupID(image->dedupID());
    EXPECT_FALSE(reloaded->isImageDataLoaded()) << "a snapshot must not read image bytes";
    ASSERT_EQ(snap.pages.size(), 1u);
    EXPECT_TRUE(snap.pages[0].isLocked);
    EXPECT_EQ(snap.pages[0].displayName(), QStringLiteral("Work"));

    EXPECT_FALSE(history->verifyPageLock(page->persistentModelID(), QStringLiteral("wrong")));
    EXPECT_TRUE(history->verifyPageLock(page->persistentModelID(), QStringLiteral("secret")));
    EXPECT_TRUE(
        history->insertManualClip({.kind = ClipKind::text, .text = QStringLiteral("note")}, page->persistentModelID()));
    EXPECT_EQ(history->snapshot().clips.front().pageID, page->persistentModelID());
}

// The panel filters snapshots with its own copy of the store's rules; both must agree.
TEST(StoreSnapshot, FiltersAgreeWithTheStoreRules)
{
    MemoryStore m;
    m.clock.set(QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::LocalTime).toUTC());
    PageRef page = m.store->createPage(QStringLiteral("P"));
    std::vector<ClipRef> clips;
    clips.push_back(
        m.put({.kind = ClipKind::text, .text = QStringLiteral("a"), .sourceAppName = QStringLiteral(" Mail ")}));
    clips.push_back(
        m.put({.kind = ClipKind::image, .imageData = QByteArray(8, 'i'), .recognizedText = QStringLiteral("  ")}));
    clips.push_back(m.put({.kind = ClipKind::file,
                           .text = QStringLiteral("/tmp/p.png"),
                           .imageData = QByteArray(8, 'i'),
                           .fileData = QByteArray(3, 'f'),
                           .fileName = QStringLiteral("p.png")}));
    clips.push_back(m.put(
        {.kind = ClipKind::url, .text = QStringLiteral("https://x.org"), .recognizedText = QStringLiteral("ocr")}));
    clips.push_back(
        m.put({.kind = ClipKind::file, .text = QStringLiteral("/tmp/a.txt"), .fileData = QByteArray(3, 'f')}));
    m.store->togglePin(clips[0]);
    m.store->assignClip(clips[3], page);
    const QDateTime created[] = {m.clock.now().addDays(-40), m.clock.now().addDays(-8), m.clock.now().addDays(-2),
                                 m.clock.now().addSecs(-3600), m.clock.now().addSecs(-60)};
    for (size_t i = 0; i < clips.size(); ++i)
        clips[i]->setCreatedAt(created[i]);
    ASSERT_TRUE(m.store->save());

    std::vector<ClipSearchFilters> filters;
    for (auto kind : {std::optional<ClipKind>(), std::optional(ClipKind::image), std::optional(ClipKind::file)})
        filters.push_back({.kind = kind});
    filters.push_back({.sourceAppName = QStringLiteral("Mail")});
    for (auto date : {ClipDateFilter::today, ClipDateFilter::last7Days, ClipDateFilter::last30Days})
        filters.push_back({.date = date});
    filters.push_back({.savedOnly = true});
    filters.push_back({.pinnedOnly = true});
    filters.push_back({.withRecognizedTextOnly = true});
    filters.push_back({.imageInboxOnly = true});

    ClipStoreHistory history(*m.store);
    const QDateTime now = m.clock.now();
    for (const ClipRef &clip : clips) {
        const ClipSnapshot snap = ClipStoreHistory::snapshotOf(*clip);
        for (size_t f = 0; f < filters.size(); ++f)
            EXPECT_EQ(matchesFilters(snap, filters[f], now),
                      ClipSearchFilters::matches(factsOf(*clip), filters[f], now))
                << "clip " << clip->kindRawValue().toStdString() << ", filter " << f;
    }
}

TEST(SnapshotSearch, KeyHoldsEverySearchedFieldInsideItsOwnLine)
{
    ClipSnapshot clip;
    clip.kindRawValue = QStringLiteral("bogus");
    clip.fileName = QStringLiteral("report-Q3.pdf");
    clip.recognizedText = QStringLiteral("Café Totals");
    clip.sourceAppName = QStringLiteral("Files");
    clip.searchKey = searchKeyOf(clip);
    EXPECT_TRUE(SearchQuery(QStringLiteral("q3 CAFE")).matches(clip.searchKey));
    EXPECT_TRUE(SearchQuery(QStringLiteral("text")).matches(clip.searchKey)) << "an unknown kind is labelled Text";
    EXPECT_TRUE(SearchQuery(QStringLiteral("fîles")).matches(clip.searchKey));
    EXPECT_FALSE(SearchQuery(QStringLiteral("q3 missing")).matches(clip.searchKey));
    EXPECT_FALSE(SearchQuery(QStringLiteral("pdfcafe")).matches(clip.searchKey)) << "a word never spans two fields";
}

TEST(SnapshotSearch, SemanticTextJoinsTrimmedFieldsAndCutsWholeCharacters)
{
    ClipSnapshot clip;
    clip.customTitle = QStringLiteral(" Title ");
    clip.text = QStringLiteral("   ");
    clip.fileName = QStringLiteral("f.txt");
    EXPECT_EQ(semanticText(clip, 1000), QStringLiteral("Title f.txt"));
    clip.text = QStringLiteral("ab😀");
    EXPECT_EQ(semanticText(clip, 9), QStringLiteral("Title ab")) << "a surrogate pair is never split";
}

namespace {

// Runs `read` on a thread of its own and joins it. A pool's future hands its result over inside Qt,
// where the thread checker cannot see it; a join it sees.
template <typename Read> std::invoke_result_t<Read &> readOnAnotherThread(Read read)
{
    std::invoke_result_t<Read &> result;
    std::thread([&] { result = read(); }).join();
    return result;
}

// Every field the lists use, the folded key aside.
void expectSameClips(const std::vector<ClipSnapshot> &read, const std::vector<ClipSnapshot> &expected)
{
    ASSERT_EQ(read.size(), expected.size());
    for (size_t i = 0; i < read.size(); ++i) {
        const ClipSnapshot &a = read[i];
        const ClipSnapshot &b = expected[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(a.id, b.id);
        EXPECT_EQ(a.dedupID, b.dedupID);
        EXPECT_EQ(a.createdAt, b.createdAt);
        EXPECT_EQ(a.kindRawValue, b.kindRawValue);
        EXPECT_EQ(a.text, b.text);
        EXPECT_EQ(a.customTitle, b.customTitle);
        EXPECT_EQ(a.fileName, b.fileName);
        EXPECT_EQ(a.linkTitle, b.linkTitle);
        EXPECT_EQ(a.recognizedText, b.recognizedText);
        EXPECT_EQ(a.sourceAppName, b.sourceAppName);
        EXPECT_EQ(a.sourceAppBundleID, b.sourceAppBundleID);
        EXPECT_EQ(a.isPinned, b.isPinned);
        EXPECT_EQ(a.isSavedToPage, b.isSavedToPage);
        EXPECT_EQ(a.pageID, b.pageID);
        EXPECT_EQ(a.hasImageData, b.hasImageData);
        EXPECT_EQ(a.contentHash, b.contentHash);
        EXPECT_EQ(a.primaryText, b.primaryText);
    }
}

} // namespace

// The worker's read of the saved store gives what the main thread's snapshot gives, in its order,
// clips that share a date included; a store in memory offers no such read.
TEST(StoreSnapshot, TheReadOffTheMainThreadMatchesTheSnapshot)
{
    MemoryStore m(true);
    ClipStoreHistory history(*m.store);
    PageRef page = m.store->createPage(QStringLiteral("Work"));
    std::vector<ClipRef> clips;
    clips.push_back(m.put({.kind = ClipKind::text,
                           .text = QStringLiteral(" hello "),
                           .sourceAppName = QStringLiteral(" Old App "),
                           .sourceAppBundleID = QStringLiteral("old.desktop")}));
    clips.push_back(m.put(
        {.kind = ClipKind::image, .imageData = QByteArray(40, 'x'), .recognizedText = QStringLiteral(" Total 12 ")}));
    clips.push_back(m.put({.kind = ClipKind::file,
                           .text = QStringLiteral("/tmp/a.txt"),
                           .fileData = QByteArray(3, 'f'),
                           .fileName = QStringLiteral("a.txt"),
                           .sourceAppName = QStringLiteral("Files")}));
    clips.push_back(m.put({.kind = ClipKind::url, .text = QStringLiteral("https://x.org")}));
    clips.push_back(m.put({.kind = ClipKind::text, .text = QStringLiteral("   ")}));
    m.store->togglePin(clips[0]);
    m.store->assignClip(clips[3], page);
    clips[1]->setCreatedAt(clips[2]->createdAt()); // same date: the row decides
    ASSERT_TRUE(m.store->save());

    const HistoryStore::SearchRead read = history.searchRead();
    ASSERT_TRUE(read);
    std::atomic<bool> stop = false;
    const HistorySearch everything{{}, {}, m.clock.now(), 100};
    const std::optional<HistorySearchAnswer> off = readOnAnotherThread([&] { return read(everything, stop); });
    ASSERT_TRUE(off);
    expectSameClips(off->clips, history.snapshot().clips);
    EXPECT_EQ(history.clipCount(), qsizetype(off->clips.size()));
    EXPECT_FALSE(off->more);
    stop = true;
    EXPECT_FALSE(read(everything, stop)) << "a stopped read gives nothing";

    const HistoryStore::NamesRead names = history.sourceAppNamesRead();
    ASSERT_TRUE(names);
    std::optional<QStringList> found = readOnAnotherThread(names);
    ASSERT_TRUE(found);
    found->sort();
    EXPECT_EQ(*found, (QStringList{QStringLiteral(" Old App "), QStringLiteral("Files")}));

    MemoryStore memory;
    EXPECT_FALSE(ClipStoreHistory(*memory.store).searchRead());
    EXPECT_FALSE(ClipStoreHistory(*memory.store).sourceAppNamesRead());
}

namespace {

// What the history found before the store kept the keys: every clip folded in memory and tested.
std::vector<qint64> searchedInMemory(ClipStoreHistory &history, const HistorySearch &search)
{
    std::vector<qint64> rows;
    const SearchQuery words(search.query);
    for (const ClipSnapshot &clip : history.snapshot().clips)
        if (words.matches(searchKeyOf(clip)) && matchesFilters(clip, search.filters, search.now))
            rows.push_back(clip.id.rowID);
    return rows;
}

std::vector<qint64> searchedInStore(ClipStoreHistory &history, const HistorySearch &search)
{
    std::atomic<bool> stop = false;
    const std::optional<HistorySearchAnswer> answer =
        readOnAnotherThread([&, read = history.searchRead()] { return read(search, stop); });
    std::vector<qint64> rows;
    EXPECT_TRUE(answer);
    if (answer)
        for (const ClipSnapshot &clip : answer->clips) {
            EXPECT_EQ(clip.searchKey, searchKeyOf(clip)) << "each found clip comes with its key";
            rows.push_back(clip.id.rowID);
        }
    return rows;
}

struct VariedHistory {
    MemoryStore m{true};
    std::vector<ClipRef> clips;

    VariedHistory()
    {
        const QStringList texts{QStringLiteral("Café au lait at noon"),    QStringLiteral("CAFE receipt 12"),
                                QStringLiteral("Überweisung an Zoë"),      QStringLiteral("ueberweisung draft"),
                                QStringLiteral("plumbing quote, kitchen"), QStringLiteral("the plumber called"),
                                QStringLiteral("ǅemal straße ﬁle"),        QStringLiteral("line one\nline two")};
        for (int i = 0; i < 40; ++i) {
            CapturedContent content{.kind = ClipKind::text, .text = texts[i % texts.size()] + QString::number(i)};
            content.sourceAppName = i % 3 ? QStringLiteral("Editor") : QStringLiteral(" Mail ");
            if (i % 7 == 0) {
                content.kind = ClipKind::url;
                content.text = QStringLiteral("https://example.org/plumb/%1").arg(i);
            }
            if (i % 11 == 0) {
                content = {.kind = ClipKind::image, .imageData = QByteArray(40, 'x')};
                content.recognizedText = QStringLiteral("Invoice Total café %1").arg(i);
            }
            clips.push_back(m.put(content));
        }
        clips[7]->setLinkTitle(QStringLiteral("Plumb Line Café"));
        clips[21]->setLinkTitle(QStringLiteral("Ǆemal's links"));
        m.store->togglePin(clips[4]);
        m.store->renameClip(clips[5], QStringLiteral("Plumber's Número"));
        EXPECT_TRUE(m.store->save());
    }
};

const std::vector<HistorySearch> &variedSearches(const QDateTime &now)
{
    static std::vector<HistorySearch> searches;
    searches.clear();
    for (const char *query : {"cafe", "CAFÉ", "zoe uber", "plumb", "plumb line", "line", "straße", "ﬁle", "dzemal", "ǆ",
                              "12 receipt", "image", "link", "mail", "  ", "nothing-like-it", "é"})
        searches.push_back({QString::fromUtf8(query), {}, now, 1000});
    ClipSearchFilters pinned;
    pinned.pinnedOnly = true;
    ClipSearchFilters mail;
    mail.sourceAppName = QStringLiteral("Mail");
    ClipSearchFilters images;
    images.kind = ClipKind::image;
    searches.push_back({QStringLiteral("plumb"), pinned, now, 1000});
    searches.push_back({QStringLiteral("cafe"), mail, now, 1000});
    searches.push_back({{}, images, now, 1000});
    return searches;
}

void expectSameAnswers(ClipStoreHistory &history, const QDateTime &now, const char *when)
{
    for (const HistorySearch &search : variedSearches(now))
        EXPECT_EQ(searchedInStore(history, search), searchedInMemory(history, search))
            << when << ": \"" << qPrintable(search.query) << "\"";
}

void expectSameAnswers(VariedHistory &h, const char *when)
{
    ClipStoreHistory history(*h.m.store);
    expectSameAnswers(history, h.m.clock.now(), when);
}

} // namespace

// The store's keys answer every search as folding each clip in memory did, and follow the clips
// as they are stored, edited and removed.
TEST(StoreSearch, FindsWhatTheInMemorySearchFoundThroughEditsAndDeletes)
{
    VariedHistory h;
    expectSameAnswers(h, "stored");

    h.clips[1]->setText(QStringLiteral("no longer about coffee"));
    h.m.store->renameClip(h.clips[2], QStringLiteral("Plumb bob"));
    h.m.store->deleteClip(h.clips[6]);
    h.m.store->deleteClip(h.clips[14]);
    ASSERT_TRUE(h.m.store->save());
    expectSameAnswers(h, "edited");

    ClipStoreHistory history(*h.m.store);
    const std::vector<qint64> all = searchedInMemory(history, {QStringLiteral("plumb"), {}, h.m.clock.now(), 1000});
    ASSERT_GT(all.size(), 3u);
    std::atomic<bool> stop = false;
    const std::optional<HistorySearchAnswer> first =
        history.searchRead()({QStringLiteral("plumb"), {}, h.m.clock.now(), 3}, stop);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->more);
    ASSERT_EQ(first->clips.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(first->clips[i].id.rowID, all[i]) << "the newest matches come first";

    QSqlQuery q(h.m.store->context().database());
    ASSERT_TRUE(q.exec(QStringLiteral("SELECT count(*) FROM clip_search WHERE clipID NOT IN (SELECT id FROM clips)")));
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.value(0).toInt(), 0) << "a removed clip's key goes with it";
    ASSERT_TRUE(q.exec(QStringLiteral("SELECT count(*) FROM clip_search_fill")));
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.value(0).toInt(), 0) << "a store made with the keys has none to fill";
}

// While the panel shows, its searches share one connection that stays open between keys: each key
// still sees every save made since, and a search under way when the panel hides still ends.
TEST(StoreSearch, TheConnectionKeptWhileShownSeesEachSaveAndOutlivesTheShowing)
{
    VariedHistory h;
    ClipStoreHistory history(*h.m.store);
    history.keepSearchReads(true);
    expectSameAnswers(history, h.m.clock.now(), "kept");

    h.clips[3]->setText(QStringLiteral("plumb café, rewritten"));
    h.m.store->deleteClip(h.clips[4]);
    ASSERT_TRUE(h.m.store->save());
    h.m.put({.kind = ClipKind::text, .text = QStringLiteral("a new plumb line")});
    expectSameAnswers(history, h.m.clock.now(), "saved while kept");

    const HistoryStore::SearchRead underWay = history.searchRead();
    history.keepSearchReads(false);
    const ClipRef later = h.m.put({.kind = ClipKind::text, .text = QStringLiteral("plumb after hiding")});
    std::atomic<bool> stop = false;
    const std::optional<HistorySearchAnswer> answer = readOnAnotherThread([&] {
        return underWay({QStringLiteral("plumb"), {}, h.m.clock.now(), 1}, stop);
    });
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->clips.size(), 1u);
    EXPECT_EQ(answer->clips[0].id, later->persistentModelID()) << "a search begun while shown ends after the hide";

    history.keepSearchReads(true);
    h.m.store->deleteClip(later);
    ASSERT_TRUE(h.m.store->save());
    expectSameAnswers(history, h.m.clock.now(), "shown again");
}

// A newer key stops the search before it: a statement looking through every key gives up part-way
// and the search gives nothing, rather than an empty answer as if no clip held the word.
TEST(StoreSearch, AStoppedSearchEndsInsideItsStatementAndAnswersNothing)
{
    VariedHistory h;
    for (int i = 0; i < 500; ++i) // enough keys that one statement outlasts a check of the stop
        h.m.store->context().insert(h.m.store->makeClip({.kind = ClipKind::text, .text = QString::number(i)}));
    ASSERT_TRUE(h.m.store->save());
    SearchReader reader(h.m.path);
    std::atomic<bool> stop = false;
    int visited = 0;
    bool walked = true;
    EXPECT_FALSE(reader.read(
        stop,
        [&](SearchReader::Read &read) {
            stop = true;
            walked =
                read.matchesNewestFirst({QByteArrayLiteral("nothing-like-it")}, [&](qint64, bool, const QByteArray &) {
                    ++visited;
                    return true;
                });
            return walked;
        },
        nullptr));
    EXPECT_FALSE(walked) << "the statement gave up part-way";
    EXPECT_EQ(visited, 0);
    stop = false;
    EXPECT_TRUE(reader.read(
        stop,
        [&](SearchReader::Read &read) {
            return read.matchesNewestFirst({QByteArrayLiteral("plumb")},
                                           [&](qint64, bool, const QByteArray &) { return ++visited < 2; });
        },
        nullptr))
        << "the stopped read leaves the connection usable";
    EXPECT_EQ(visited, 2);

    ClipStoreHistory history(*h.m.store);
    std::atomic<bool> stopped = true;
    EXPECT_FALSE(history.searchRead()({QStringLiteral("nothing-like-it"), {}, h.m.clock.now(), 10}, stopped));
}

// However often a newer key stops a search as its read ends, the read's transaction ends with it:
// the connection kept between keys pins no old state of the store and answers the next key.
TEST(StoreSearch, AStoppedReadLeavesNoTransactionOpen)
{
    VariedHistory h;
    SearchReader reader(h.m.path);
    for (int i = 0; i < 3000; ++i) {
        std::atomic<bool> stop = false;
        EXPECT_FALSE(reader.read(
            stop,
            [&](SearchReader::Read &) {
                stop = true;
                return true;
            },
            nullptr));
        stop = false;
        QString error;
        ASSERT_TRUE(reader.read(
            stop, [](SearchReader::Read &) { return true; }, &error))
            << "after " << i << " stopped reads: " << qPrintable(error);
    }
}

// The keys are read into the kept cache after the search under way; the cache once filled still
// follows the store, and a save, which empties it, has it filled again.
TEST(StoreSearch, WarmedKeysWaitForTheSearchUnderWayAndFollowLaterSaves)
{
    VariedHistory h;
    SearchReader reader(h.m.path, 1 << 20);
    const std::atomic<bool> stop = false;
    const auto plumbs = [&] {
        std::vector<qint64> rows;
        EXPECT_TRUE(reader.read(
            stop,
            [&](SearchReader::Read &read) {
                return read.matchesNewestFirst({QByteArrayLiteral("plumb")}, [&](qint64 row, bool, const QByteArray &) {
                    rows.push_back(row);
                    return true;
                });
            },
            nullptr));
        return rows;
    };
    const std::vector<qint64> before = plumbs();
    std::thread warming;
    ASSERT_TRUE(reader.read(
        stop,
        [&](SearchReader::Read &) {
            warming = std::thread([&] { EXPECT_TRUE(reader.warm()) << "warming waits for the read under way"; });
            return true;
        },
        nullptr));
    warming.join();
    EXPECT_TRUE(reader.isWarm());
    EXPECT_EQ(plumbs(), before);

    const ClipRef added = h.m.put({.kind = ClipKind::text, .text = QStringLiteral("plumb, saved after warming")});
    h.m.store->deleteClip(h.clips[5]);
    ASSERT_TRUE(h.m.store->save());
    std::vector<qint64> expected{added->persistentModelID().rowID};
    for (qint64 row : before)
        if (row != h.clips[5]->persistentModelID().rowID)
            expected.push_back(row);
    EXPECT_EQ(plumbs(), expected);
    EXPECT_FALSE(reader.isWarm()) << "a save by the store emptied the cache: the keys are to be read again";
    ASSERT_TRUE(reader.claimWarming());
    EXPECT_TRUE(reader.warm());
    EXPECT_EQ(plumbs(), expected);
    EXPECT_TRUE(reader.isWarm()) << "reads with no save between keep the cache";
}

// A store from before the keys opens at once, searches as before while its clips get their keys
// a slice at a time, and afterwards holds a key for each clip.
TEST(StoreSearch, AnOlderStoreGetsItsKeysInSlicesAndSearchesAlike)
{
    VariedHistory h;
    {
        QSqlQuery q(h.m.store->context().database());
        for (const char *sql : {"DROP TRIGGER clip_search_follows_deletes", "DROP TABLE clip_search",
                                "DROP TABLE clip_search_fill", "DROP INDEX clips_by_source", "PRAGMA user_version = 4"})
            ASSERT_TRUE(q.exec(QString::fromLatin1(sql))) << sql;
    }
    h.m.open();
    std::vector<ClipRef> clips = h.m.store->historyNewestFirst();
    h.clips.assign(clips.rbegin(), clips.rend());
    QSqlDatabase db = h.m.store->context().database();
    const auto keys = [&] {
        QSqlQuery q(db);
        return q.exec(QStringLiteral("SELECT count(*) FROM clip_search")) && q.next() ? q.value(0).toInt() : -1;
    };
    EXPECT_EQ(keys(), 0) << "opening gives no keys: they come after the start";
    expectSameAnswers(h, "no keys yet");

    bool done = false;
    QString error;
    ASSERT_TRUE(StoreSearchKeys::fillSlice(db, 16, &done, &error)) << qPrintable(error);
    EXPECT_FALSE(done);
    EXPECT_EQ(keys(), 16);
    h.m.put({.kind = ClipKind::text, .text = QStringLiteral("plumb café added meanwhile")});
    expectSameAnswers(h, "some keys");
    int slices = 1;
    while (!done && slices < 10) {
        ASSERT_TRUE(StoreSearchKeys::fillSlice(db, 16, &done, &error)) << qPrintable(error);
        ++slices;
    }
    EXPECT_TRUE(done);
    EXPECT_EQ(keys(), 41);
    expectSameAnswers(h, "all keys");
    ASSERT_TRUE(StoreSearchKeys::fillSlice(db, 16, &done, &error));
    EXPECT_TRUE(done) << "a filled store stays filled";
}

// A clip copied again leads the search as it leads the history; keys a store kept by clip row
// alone are moved beside their dates when it opens, and follow deletions as before.
TEST(StoreSearch, KeysFollowTheirClipsDatesAndAnUndatedTableIsMovedBesideThem)
{
    VariedHistory h;
    h.m.clock.advance(1000);
    h.clips[12]->setCreatedAt(h.m.clock.now());
    ASSERT_TRUE(h.m.store->save());
    expectSameAnswers(h, "copied again");
    const auto newestPlumb = [&] {
        ClipStoreHistory history(*h.m.store);
        std::atomic<bool> stop = false;
        const std::optional<HistorySearchAnswer> answer =
            history.searchRead()({QStringLiteral("plumb"), {}, h.m.clock.now(), 1}, stop);
        return answer && answer->clips.size() == 1 ? answer->clips[0].id.rowID : -1;
    };
    EXPECT_EQ(newestPlumb(), h.clips[12]->persistentModelID().rowID);

    {
        QSqlQuery q(h.m.store->context().database());
        for (const char *sql : {"CREATE TABLE undated(clipID INTEGER PRIMARY KEY, key BLOB NOT NULL)",
                                "INSERT INTO undated SELECT clipID, key FROM clip_search",
                                "DROP TRIGGER clip_search_follows_dates", "DROP TRIGGER clip_search_follows_deletes",
                                "DROP TABLE clip_search", "ALTER TABLE undated RENAME TO clip_search",
                                "CREATE TRIGGER clip_search_follows_deletes AFTER DELETE ON clips BEGIN"
                                " DELETE FROM clip_search WHERE clipID = old.id; END",
                                "PRAGMA user_version = 5"})
            ASSERT_TRUE(q.exec(QString::fromLatin1(sql))) << sql;
    }
    h.m.open();
    std::vector<ClipRef> clips = h.m.store->historyNewestFirst();
    ASSERT_EQ(clips.size(), 40u);
    const auto count = [&](const char *sql) {
        QSqlQuery q(h.m.store->context().database());
        return q.exec(QString::fromLatin1(sql)) && q.next() ? q.value(0).toInt() : -1;
    };
    EXPECT_EQ(count("SELECT count(*) FROM clip_search s JOIN clips c ON c.id = s.clipID AND c.createdAt = s.createdAt"),
              40);
    EXPECT_EQ(count("SELECT count(*) FROM clip_search_fill"), 0) << "moved keys need no folding again";
    EXPECT_EQ(newestPlumb(), clips.front()->persistentModelID().rowID);
    h.m.store->deleteClip(clips.front());
    ASSERT_TRUE(h.m.store->save());
    EXPECT_EQ(count("SELECT count(*) FROM clip_search"), 39);
    expectSameAnswers(h, "moved");
}

namespace {

// "note 0 of the week" up to "note <count - 1> of the week", a second apart, saved.
bool saveNotes(MemoryStore &m, int count)
{
    for (int i = 0; i < count; ++i) {
        m.clock.advance(1000);
        m.store->context().insert(
            m.store->makeClip({.kind = ClipKind::text, .text = QStringLiteral("note %1 of the week").arg(i)}));
    }
    return m.store->save();
}

} // namespace

// With only the newest part of a long history held, the semantic layer is still given every clip
// of the store that the words miss, and a clip it relates from beyond the part is shown.
TEST(StoreSearch, TheSemanticLayerWeighsTheWholeStoredHistory)
{
    MemoryStore m(true);
    const int total = HistoryViewModel::historyPageSize + 100;
    ASSERT_TRUE(saveNotes(m, total));
    ClipStoreHistory history(*m.store);
    ManualScheduler scheduler;
    FakeScorer engine;
    HistoryViewModel model({&history, &m.center, m.prefs.prefs.get(), &scheduler, &engine, nullptr, m.clock.clock()},
                           {});
    m.center.post(Notices::panelDidShow);
    scheduler.runPending();
    ASSERT_FALSE(model.lists().isComplete());
    model.search().expandSearch();
    model.search().setQuery(QStringLiteral("garden party plans"));
    scheduler.advance(SemanticSearch::debounce.count() + 1);
    ASSERT_TRUE(waitUntil([&] { return engine.calls.size() == 1; }));
    const std::vector<SemanticDocument> &documents = engine.calls[0].documents;
    EXPECT_EQ(int(documents.size()), total) << "every stored clip, not the part held";
    for (size_t size : engine.batchSizes)
        EXPECT_LE(qsizetype(size), SemanticSearch::batchSize);
    ASSERT_FALSE(documents.empty());
    const PersistentIdentifier oldest = documents.back().id;
    EXPECT_EQ(documents.back().text, QStringLiteral("note 0 of the week"));
    ASSERT_EQ(model.lists().clipWithRow(oldest.rowID), nullptr);

    engine.calls[0].reply({{oldest, 0.9}});
    ASSERT_TRUE(waitUntil([&] { return model.lists().relatedCount() == 1; }));
    EXPECT_EQ(model.lists().relatedAt(0).id, oldest);
    EXPECT_EQ(model.lists().visibleCount(), 0);

    EXPECT_EQ(engine.pauses, 0);
    model.panelDidHide();
    EXPECT_EQ(engine.pauses, 1) << "once hidden, the engine may let go of what speeds up the next keys";
}

namespace {

// A shown panel over `older` notes beyond the newest part, searched by two words that the literal
// search misses, waiting for the semantic layer's answer.
struct RelatedSearch {
    explicit RelatedSearch(int older, HistoryViewCallbacks callbacks = {}) : m(true)
    {
        saved = saveNotes(m, older + HistoryViewModel::historyPageSize);
        model =
            std::make_unique<HistoryViewModel>(HistoryViewDependencies{&history, &m.center, m.prefs.prefs.get(),
                                                                       &scheduler, &engine, nullptr, m.clock.clock()},
                                               std::move(callbacks));
        m.center.post(Notices::panelDidShow);
        scheduler.runPending();
        model->search().expandSearch();
        model->search().setQuery(QStringLiteral("garden party plans"));
        scheduler.advance(SemanticSearch::debounce.count() + 1);
    }
    bool asked() const
    {
        return saved && waitUntil([&] { return engine.calls.size() == 1; });
    }

    MemoryStore m;
    bool saved = false;
    ClipStoreHistory history{*m.store};
    ManualScheduler scheduler;
    FakeScorer engine;
    std::unique_ptr<HistoryViewModel> model;
};

} // namespace

// Thousands of related clips older than the part held: the lists keep their keys, the contents
// of only the cards the strip shows, and a related card pasted before its contents came still
// names its clip.
TEST(StoreSearch, ManyRelatedClipsAreHeldAsKeysWithTheContentsOfTheCardsShown)
{
    const int older = 3000;
    std::vector<ClipSnapshot> pasted;
    HistoryViewCallbacks callbacks;
    callbacks.onPaste = [&](ClipSnapshot clip) { pasted.push_back(std::move(clip)); };
    RelatedSearch search(older, callbacks);
    ASSERT_TRUE(search.asked());
    FakeScorer &engine = search.engine;
    HistoryViewModel &model = *search.model;

    // Every note beyond the part, newest best: more than are ranked in place.
    SemanticScorer::Scores scores;
    QHash<qint64, QString> texts;
    for (const SemanticDocument &d : engine.calls[0].documents) {
        texts.insert(d.id.rowID, d.text);
        if (!model.lists().clipWithRow(d.id.rowID))
            scores.push_back({d.id, 0.9 - double(scores.size()) * 1e-6});
    }
    ASSERT_EQ(int(scores.size()), older);
    ASSERT_GT(scores.size(), HistorySearchController::rankedInPlace);
    const size_t held = model.lists().items().size();
    engine.calls[0].reply(scores);
    ASSERT_TRUE(waitUntil([&] { return model.lists().relatedCount() == older; }));
    EXPECT_EQ(model.lists().items().size(), held) << "no related clip is copied into the lists";
    const auto contentsHeld = [&] {
        int n = 0;
        for (int j = 0; j < model.lists().relatedCount(); ++j)
            n += model.lists().relatedAt(j).clip != nullptr;
        return n;
    };
    EXPECT_EQ(contentsHeld(), 0);
    EXPECT_EQ(model.lists().relatedAt(0).id, scores[0].first);

    const int base = model.lists().visibleCount();
    model.showingPositions(base + 1000, base + 1011);
    ASSERT_TRUE(waitUntil([&] { return model.lists().navigableAt(base + 1011) != nullptr; }));
    EXPECT_EQ(model.lists().navigableAt(base + 1000)->text, texts.value(scores[1000].first.rowID));
    EXPECT_EQ(contentsHeld(), 12);
    model.showingPositions(base, base + 11);
    ASSERT_TRUE(waitUntil([&] { return model.lists().navigableAt(base) != nullptr; }));
    EXPECT_EQ(contentsHeld(), 12) << "the cards that left the screen let their contents go";

    model.selectAndPaste(base + 2000);
    ASSERT_EQ(pasted.size(), 1u);
    EXPECT_EQ(pasted[0].id, scores[2000].first);
}

// Copies saved while a long related answer shows: the engine is not asked again, every related clip
// beyond the part keeps its card although the clip ranked before them left the part, and the
// selection stays on its related clip.
TEST(StoreSearch, SavesWhileManyRelatedClipsShowKeepTheAnswer)
{
    const int older = 3000;
    RelatedSearch search(older);
    ASSERT_TRUE(search.asked());
    FakeScorer &engine = search.engine;
    HistoryViewModel &model = *search.model;
    MemoryStore &m = search.m;

    // Best: the oldest clip of the part, which the next save pushes out of it; then every note
    // beyond the part.
    const std::vector<SemanticDocument> &documents = engine.calls[0].documents;
    const auto oldestHeld = std::find_if(documents.rbegin(), documents.rend(), [&](const SemanticDocument &d) {
        return model.lists().clipWithRow(d.id.rowID) != nullptr;
    });
    ASSERT_NE(oldestHeld, documents.rend());
    SemanticScorer::Scores scores{{oldestHeld->id, 0.95}};
    for (const SemanticDocument &d : documents)
        if (!model.lists().clipWithRow(d.id.rowID))
            scores.push_back({d.id, 0.9 - double(scores.size()) * 1e-6});
    ASSERT_EQ(int(scores.size()), older + 1);
    engine.calls[0].reply(scores);
    ASSERT_TRUE(waitUntil([&] { return model.lists().relatedCount() == older + 1; }));
    const int base = model.lists().visibleCount();
    model.selectCard(base + 100);
    const PersistentIdentifier selected = model.lists().relatedAt(100).id;

    for (int copy = 0; copy < 3; ++copy) {
        m.clock.advance(1000);
        m.store->context().insert(
            m.store->makeClip({.kind = ClipKind::text, .text = QStringLiteral("copy %1").arg(copy)}));
        ASSERT_TRUE(m.store->save());
        search.scheduler.advance(1000);
    }
    ASSERT_TRUE(waitUntil([&] { return model.lists().clipWithRow(oldestHeld->id.rowID) == nullptr; }));
    EXPECT_EQ(engine.calls.size(), 1u) << "a save does not rank the answer again";
    ASSERT_EQ(model.lists().relatedCount(), older) << "only the clip that left the part, which has no key";
    EXPECT_EQ(model.lists().relatedAt(0).id, scores[1].first);
    EXPECT_EQ(model.lists().relatedAt(older - 1).id, scores.back().first);
    EXPECT_EQ(model.lists().relatedAt(model.state().selectedIndex - model.lists().visibleCount()).id, selected);
}

// The store hands the semantic layer its candidates a bounded batch at a time, newest first, and
// stops reading when no more are wanted.
TEST(StoreSearch, TheSemanticCandidatesComeInBoundedBatches)
{
    MemoryStore m(true);
    const int total = 150;
    ASSERT_TRUE(saveNotes(m, total));
    ClipStoreHistory history(*m.store);
    const HistoryStore::DocumentsRead read = history.semanticDocumentsRead();
    ASSERT_TRUE(read);
    HistoryStore::SemanticCandidates candidates{QStringLiteral("garden party"), {}, m.clock.now(), {}, 1000, 64};
    const std::atomic<bool> stop{false};
    std::vector<size_t> sizes;
    std::vector<SemanticDocument> documents;
    EXPECT_TRUE(read(candidates, stop, [&](std::vector<SemanticDocument> batch) {
        sizes.push_back(batch.size());
        std::move(batch.begin(), batch.end(), std::back_inserter(documents));
        return true;
    }));
    EXPECT_EQ(sizes, (std::vector<size_t>{64, 64, 22}));
    ASSERT_EQ(int(documents.size()), total);
    EXPECT_EQ(documents.front().text, QStringLiteral("note 149 of the week"));
    EXPECT_EQ(documents.back().text, QStringLiteral("note 0 of the week"));

    int batches = 0;
    EXPECT_FALSE(read(candidates, stop, [&](std::vector<SemanticDocument>) { return ++batches < 2; }))
        << "a taker that wants no more ends the read";
    EXPECT_EQ(batches, 2);
}
