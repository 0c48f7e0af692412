#pragma once

#include "Quillmere/Panel/SemanticSearch.h"
#include "Quillmere/Search/SemanticScoring.h"

#include <QObject>
#include <QStringList>
#include <QThread>
#include <atomic>

namespace quillmere {

class SemanticWorker;

// Scores clips by meaning on a thread of its own; answers come back to the thread that built the
// engine (the main thread) through its event loop. Requests are served one at a time, oldest
// first; one that a newer request overtakes before it finishes gets no answer, since the history
// view would drop it anyway.
class SemanticSearchEngine : public QObject, public SemanticScorer {
    Q_OBJECT
public:
    // Known texts' packed vectors are kept in files of `scratchFolder` when it gives them (see ScratchFolder).
    explicit SemanticSearchEngine(SemanticScoring::Loader loader, QString scratchFolder = {},
                                  QObject *parent = nullptr);
    ~SemanticSearchEngine() override;

    void scores(const QString &query, std::vector<SemanticDocument> documents, double threshold, Reply reply) override;
    // The stream is read on the engine's thread, and what its batches took is handed back to the
    // system once the request is done.
    void scoresOf(const QString &query, DocumentStream stream, double threshold, Reply reply) override;
    bool hasNoModel() const override { return m_noModel.load(); }
    // Done on the engine's thread after what is queued before it.
    void searchesPaused() override;

private:
    using Work = std::function<std::optional<Scores>(SemanticScoring &scoring, const std::function<bool()> &stop)>;
    void post(Work work, Reply reply);

    QThread m_thread;
    std::unique_ptr<SemanticWorker> m_worker; // lives on m_thread until it stops
    std::shared_ptr<std::atomic<quint64>> m_latest = std::make_shared<std::atomic<quint64>>(0);
    std::atomic<bool> m_noModel{false};
};

// Where the word-vector file may lie for a program in `applicationDir`, most specific first: the
// installed layout (bin/../share/quillmere), the build tree's copy beside the binary, then the
// shared data folders.
QStringList wordModelCandidates(const QString &applicationDir);

// The first of those candidates that exists, or the first candidate when none does (so the log
// names a place where the file was looked for).
QString defaultWordModelPath();

// Loads the word vectors at `path`; when they cannot be used, says why in the log and gives null.
std::unique_ptr<EmbeddingProvider> loadWordVectorEmbedding(const QString &path);

// The engine over the shipped word vectors, loaded on its thread at the first search; with
// `scratchOnDisk`, its scratch files go in the program's cache folder.
std::unique_ptr<SemanticSearchEngine> makeSemanticSearchEngine(bool scratchOnDisk);

} // namespace quillmere
