#include "Support/PagesFixture.h"

#include "Quillmere/Model/OldRecoveryFiles.h"
#include "Quillmere/Model/StoreCaretaker.h"

#include <QCryptographicHash>
#include <QFile>
#include <sys/stat.h>

using namespace quillmere;

namespace {

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? path : QString();
}

QByteArray digest(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

// One start of a session on the store, until it has named what it names.
std::vector<StoreTrouble> startOn(test::StoreFixture &f, size_t told)
{
    StoreCaretaker caretaker(*f.store, {});
    std::vector<StoreTrouble> troubles;
    QObject::connect(&caretaker, &StoreCaretaker::troubleOccurred,
                     [&](const StoreTrouble &trouble) { troubles.push_back(trouble); });
    caretaker.start();
    EXPECT_TRUE(test::waitUntil([&] { return troubles.size() >= told; }));
    return troubles;
}

// Three clips, with what a count that only looked for brackets and commas would miscount.
const QByteArray threeClips = R"({"unsavedAt":"2024-01-01T00:00:00.000Z","clipCount":2,
    "pages":[{"name":"Receipts, [old]"}],"meta":{"clips":[1,2,3,4]},
    "clips":[{"text":"a \"quoted\" ], {brace","pageName":"Receipts, [old]"},
             {"kind":"image","imageDataBase64":"aGk=","nested":[[],{}]} , {"text":"c"}]})";

} // namespace

TEST(OldRecoveryFiles, CountsTheTopLevelClipsOrSaysTheyCannotBeCounted)
{
    QTemporaryDir dir;
    const std::vector<std::pair<QByteArray, int>> cases{
        {threeClips, 3},
        {R"({"clips":[]})", 0},
        {R"( {"a":"clips","clips" : [ null , 1 ]} trailing garbage)", 2},
        {R"({"clips":7})", -1},
        {R"({"pages":[],"time":"x"})", -1},
        {R"({"clips":[{"text":"cut short"},{"text":"here)", -1},
        {R"({"clips":[1,,2]})", -1},
        {R"({"clips":[1,2,]})", -1},
        {R"({"clips":[{"text":"a"]]})", -1},
        {R"([{"clips":[1]}])", -1},
        {"{\"clips\":[" + QByteArray(100, '[') + QByteArray(100, ']') + "]}", -1},
        {QByteArray("{\"clips\":[\0\1\2]}", 16), -1},
        {"", -1},
    };
    for (const auto &[bytes, clips] : cases) {
        SCOPED_TRACE(bytes.left(60).toStdString());
        const QString path = writeFile(dir.filePath("case.json"), bytes);
        ASSERT_FALSE(path.isEmpty());
        EXPECT_EQ(OldRecoveryFiles::countClips(path), clips);
    }
}

TEST(OldRecoveryFiles, AHugeFileALinkOrAFifoIsNeverReadNorWaitedOn)
{
    QTemporaryDir dir;
    // Sparse: larger than the bound, taking no room.
    const QString huge = dir.filePath("huge.json");
    {
        QFile file(huge);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("{\"clips\":[1,2]}")
                    && file.resize(OldRecoveryFiles::maxCountedBytes + 1));
    }
    EXPECT_EQ(OldRecoveryFiles::countClips(huge), -1);
    const QString good = writeFile(dir.filePath("good.json"), threeClips);
    const QString link = dir.filePath("link.json");
    ASSERT_TRUE(QFile::link(good, link));
    EXPECT_EQ(OldRecoveryFiles::countClips(link), -1);
    const QString fifo = dir.filePath("fifo.json");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_EQ(OldRecoveryFiles::countClips(fifo), -1);
}

TEST(OldRecoveryFiles, AStartNamesEachFileOnceWithItsClipsAndLeavesItByteForByte)
{
    test::StoreFixture f(true);
    f.putText("stored");
    const QString counted = writeFile(f.path + ".unsaved-20240101-000000.json", threeClips);
    const QString broken = writeFile(f.path + ".unsaved-20240101-000001.json", R"({"clips": 7})");
    ASSERT_FALSE(counted.isEmpty() || broken.isEmpty());
    const QByteArray countedBytes = digest(counted), brokenBytes = digest(broken);

    const std::vector<StoreTrouble> first = startOn(f, 1);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(first.front().kind, StoreTrouble::Kind::oldRecoveryFiles);
    const std::vector<OldRecoveryFiles::File> &files = first.front().oldRecoveryFiles;
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].path, counted);
    EXPECT_EQ(files[0].clips, 3);
    EXPECT_EQ(files[1].path, broken);
    EXPECT_EQ(files[1].clips, -1);
    const QString message = first.front().message();
    EXPECT_TRUE(message.contains(counted + " (3 copies)")) << qPrintable(message);
    EXPECT_TRUE(message.contains(broken + " (an unknown number of copies)")) << qPrintable(message);
    EXPECT_EQ(digest(counted), countedBytes);
    EXPECT_EQ(digest(broken), brokenBytes);
    EXPECT_EQ(f.ctx().clipCount(), 1);

    // A later start names only a file it has not named before.
    const QString later = writeFile(f.path + ".unsaved-20240102-000000.json", R"({"clips":[{"text":"x"}]})");
    const std::vector<StoreTrouble> second = startOn(f, 1);
    ASSERT_EQ(second.size(), 1u);
    ASSERT_EQ(second.front().oldRecoveryFiles.size(), 1u);
    EXPECT_EQ(second.front().oldRecoveryFiles.front().path, later);
    EXPECT_EQ(second.front().message(),
              "Brindlewax no longer reads the recovery files its earlier versions wrote. " + later
                  + ", which holds 1 copy, is left as it is.");
    EXPECT_EQ(digest(counted), countedBytes);
    EXPECT_EQ(f.ctx().clipCount(), 1);
}
