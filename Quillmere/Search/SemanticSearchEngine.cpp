#include "Quillmere/Search/SemanticSearchEngine.h"

#include "Quillmere/Platform/Core/HandOver.h"
#include "Quillmere/Search/SearchLogging.h"
#include "Quillmere/Search/WordVectorEmbedding.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStandardPaths>

namespace quillmere {

class SemanticWorker : public QObject {
public:
    SemanticWorker(SemanticScoring::Loader loader, QString scratchFolder)
        : scoring(std::move(loader), SemanticScoring::defaultCacheCapacity, ScratchFolder(std::move(scratchFolder)))
    {
    }
    SemanticScoring scoring;
};

SemanticSearchEngine::SemanticSearchEngine(SemanticScoring::Loader loader, QString scratchFolder, QObject *parent)
    : QObject(parent), m_worker(std::make_unique<SemanticWorker>(std::move(loader), std::move(scratchFolder)))
{
    m_thread.setObjectName(QStringLiteral("SemanticSearchEngine"));
    m_worker->moveToThread(&m_thread);
    m_thread.start(QThread::LowPriority);
}

SemanticSearchEngine::~SemanticSearchEngine()
{
    // Whatever is queued is abandoned; a request being scored stops at its next check.
    m_latest->fetch_add(1);
    m_thread.quit();
    m_thread.wait();
    // What the worker's runs wrote is this thread's to destroy now.
    takeOver(m_worker.get());
}

void SemanticSearchEngine::scores(const QString &query, std::vector<SemanticDocument> documents, double threshold,
                                  Reply reply)
{
    post([query, documents = std::move(documents),
          threshold](SemanticScoring &scoring,
                     const std::function<bool()> &stop) { return scoring.scores(query, documents, threshold, stop); },
         std::move(reply));
}

void SemanticSearchEngine::scoresOf(const QString &query, DocumentStream stream, double threshold, Reply reply)
{
    post(
        [query, stream = std::move(stream), threshold](SemanticScoring &scoring, const std::function<bool()> &stop) {
            std::optional<Scores> scores = scoring.scores(query, stream, threshold, stop);
            // The batches' texts came and went in pieces the allocator would otherwise keep, and the
            // word model's pages are needed again only for texts not yet known.
            scoring.releaseMemory();
            return scores;
        },
        std::move(reply));
}

void SemanticSearchEngine::searchesPaused()
{
    SemanticWorker *worker = m_worker.get();
    QMetaObject::invokeMethod(worker, QUILLMERE_HANDED_OVER(worker, [worker] { worker->scoring.releaseWeighed(); }),
                              Qt::QueuedConnection);
}

void SemanticSearchEngine::post(Work work, Reply reply)
{
    const quint64 request = m_latest->fetch_add(1) + 1;
    SemanticWorker *worker = m_worker.get();
    // The engine outlives every run of this on the worker (its destructor waits for the thread),
    // and an answer still queued when it goes is discarded with it.
    QMetaObject::invokeMethod(
        worker,
        QUILLMERE_HANDED_OVER(
            worker,
            [this, worker, latest = m_latest, request, work = std::move(work), reply = std::move(reply)]() mutable {
                const auto overtaken = [&] { return latest->load() != request; };
                if (overtaken())
                    return;
                std::optional<Scores> scores = work(worker->scoring, overtaken);
                if (!scores)
                    return;
                if (!worker->scoring.hasModel())
                    m_noModel.store(true);
                QMetaObject::invokeMethod(
                    this,
                    QUILLMERE_HANDED_OVER(nullptr,
                                          [reply = std::move(reply), scores = std::move(*scores)]() mutable {
                                              reply(std::move(scores));
                                          }),
                    Qt::QueuedConnection);
            }),
        Qt::QueuedConnection);
}

QStringList wordModelCandidates(const QString &applicationDir)
{
    const QString name = QStringLiteral("quillmere/word-vectors.qwv");
    const QDir dir(applicationDir);
    QStringList candidates{QDir::cleanPath(dir.filePath(QStringLiteral("../share/") + name)),
                           QDir::cleanPath(dir.filePath(QStringLiteral("share/") + name))};
    for (const QString &data : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
        candidates << QDir(data).filePath(name);
    candidates.removeDuplicates();
    return candidates;
}

QString defaultWordModelPath()
{
    const QStringList candidates = wordModelCandidates(QCoreApplication::applicationDirPath());
    for (const QString &candidate : candidates)
        if (QFileInfo(candidate).isFile())
            return candidate;
    return candidates.value(0);
}

std::unique_ptr<EmbeddingProvider> loadWordVectorEmbedding(const QString &path)
{
    QElapsedTimer timer;
    timer.start();
    QString error;
    std::unique_ptr<WordVectorModel> model = WordVectorModel::open(path, &error);
    if (!model) {
        qCWarning(lcSemanticSearch, "No word model, semantic search is off: %s (%s)", qPrintable(path),
                  qPrintable(error));
        return nullptr;
    }
    qCInfo(lcSemanticSearch, "Word model loaded: %lld words in %lld ms", qlonglong(model->wordCount()),
           qlonglong(timer.elapsed()));
    return std::make_unique<WordVectorEmbedding>(std::move(model));
}

std::unique_ptr<SemanticSearchEngine> makeSemanticSearchEngine(bool scratchOnDisk)
{
    // The program's own cache folder; made, and looked at, on the engine's thread.
    return std::make_unique<SemanticSearchEngine>(
        [] { return loadWordVectorEmbedding(defaultWordModelPath()); },
        scratchOnDisk ? QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
                + QStringLiteral("/Quillmere/scratch")
                      : QString());
}

} // namespace quillmere
