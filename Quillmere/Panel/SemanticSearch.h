#pragma once

#include "Quillmere/Panel/ClipLists.h"
#include "Quillmere/Panel/TaskScheduler.h"

#include <QObject>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

struct SemanticDocument {
    PersistentIdentifier id;
    QString text;
};

// The engine that scores clips by meaning; it comes with its own issue.
class SemanticScorer {
public:
    using Scores = ClipLists::Scores;
    using Reply = std::function<void(Scores)>;
    // Documents handed over a batch at a time, so that only a batch of texts is alive at once.
    // `batch` answers false when no more are wanted; a stream gives false when its read failed.
    using DocumentBatch = std::function<bool(std::vector<SemanticDocument>)>;
    using DocumentStream = std::function<bool(const DocumentBatch &batch)>;
    virtual ~SemanticScorer() = default;
    // Scores at or above `threshold`. `reply` runs on the main thread, at once or later; an
    // engine without a model answers with no scores.
    virtual void scores(const QString &query, std::vector<SemanticDocument> documents, double threshold,
                        Reply reply) = 0;
    // The same over the documents `stream` reads, which it does off the main thread; a failed read
    // scores nothing.
    virtual void scoresOf(const QString &query, DocumentStream stream, double threshold, Reply reply) = 0;
    // True once the engine has tried to load its model and could not; asked on the main thread
    // when an answer comes.
    virtual bool hasNoModel() const { return false; }
    // No search is expected for a while (the panel went): what only speeds up a search's next keys
    // may go.
    virtual void searchesPaused() {}
};

// The semantic layer of the history search: waits for typing to pause, then hands the candidate
// clips to the engine. Each start cancels what was waiting or scoring; a cancelled search never
// answers.
class SemanticSearch {
public:
    static constexpr std::chrono::milliseconds debounce{200};
    static constexpr double threshold = 0.6;
    static constexpr qsizetype documentLength = 1000;
    // Documents read from the store at once: a few megabytes of text at most.
    static constexpr qsizetype batchSize = 2048;

    // Gives false when the read failed or was stopped.
    using DocumentsJob = std::function<bool(const std::atomic<bool> &stop, const SemanticScorer::DocumentBatch &batch)>;
    struct Request {
        QString query;
        std::shared_ptr<const ClipLists::ClipVector> clips;
        std::vector<int> candidateRows;
        // The literal matches on screen when the search started, by row id.
        std::vector<qint64> excludedRows;
        // Set for a history held only in part: the documents are read from the store on a worker
        // instead of taken from `candidateRows`.
        DocumentsJob documents = {};
    };
    // Asked when the pause ends: whether a candidate may still be sent (a Page locked meanwhile).
    using StillAllowed = std::function<bool(const ClipSnapshot &)>;
    using Answer = std::function<void(const QString &query, const std::vector<qint64> &excludedRows,
                                      const SemanticScorer::Scores &scores)>;

    SemanticSearch(TaskScheduler &scheduler, SemanticScorer *engine);
    ~SemanticSearch();
    SemanticSearch(const SemanticSearch &) = delete;
    SemanticSearch &operator=(const SemanticSearch &) = delete;

    void start(Request request, StillAllowed allowed, Answer answer);
    void cancel();
    bool isWaiting() const { return m_waiting != 0; }
    bool engineHasNoModel() const { return m_engine && m_engine->hasNoModel(); }

private:
    void fire(quint64 generation, const Request &request, const StillAllowed &allowed, const Answer &answer);
    SemanticScorer::Reply replyFor(quint64 generation, const Request &request, const Answer &answer) const;

    TaskScheduler &m_scheduler;
    SemanticScorer *m_engine;
    TaskScheduler::TaskId m_waiting = 0;
    // Shared with the engine's replies so that a reply after cancellation or destruction is dropped.
    std::shared_ptr<quint64> m_generation = std::make_shared<quint64>(0);
    // Stops the store read under way.
    std::shared_ptr<std::atomic<bool>> m_readStop;
};

} // namespace quillmere
