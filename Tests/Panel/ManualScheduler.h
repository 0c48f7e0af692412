#pragma once

// A scheduler whose time moves only when the test says so.

#include "Quillmere/Panel/SemanticSearch.h"
#include "Quillmere/Panel/TaskScheduler.h"

#include <algorithm>
#include <map>
#include <utility>

namespace quillmere::test {

class ManualScheduler : public TaskScheduler {
public:
    TaskId schedule(std::chrono::milliseconds delay, std::function<void()> work) override
    {
        const TaskId id = m_next++;
        m_tasks.emplace(std::pair(m_now + delay.count(), id), std::move(work));
        return id;
    }
    void cancel(TaskId id) override
    {
        std::erase_if(m_tasks, [id](const auto &entry) { return entry.first.second == id; });
    }
    // Runs, in order, everything due within `ms` from now, also work scheduled meanwhile.
    void advance(qint64 ms)
    {
        const qint64 until = m_now + ms;
        while (!m_tasks.empty() && m_tasks.begin()->first.first <= until) {
            auto node = m_tasks.extract(m_tasks.begin());
            m_now = node.key().first;
            node.mapped()();
        }
        m_now = until;
    }
    void runPending() { advance(0); }
    size_t pending() const { return m_tasks.size(); }

private:
    std::map<std::pair<qint64, TaskId>, std::function<void()>> m_tasks;
    qint64 m_now = 0;
    TaskId m_next = 1;
};

// Remembers every request and answers only when told to.
class FakeScorer : public SemanticScorer {
public:
    struct Call {
        QString query;
        std::vector<SemanticDocument> documents;
        Reply reply;
    };
    void scores(const QString &query, std::vector<SemanticDocument> documents, double, Reply reply) override
    {
        calls.push_back({query, std::move(documents), std::move(reply)});
    }
    // Reads the whole stream at once, here, and remembers each batch's size.
    void scoresOf(const QString &query, DocumentStream stream, double, Reply reply) override
    {
        Call call{query, {}, std::move(reply)};
        stream([&](std::vector<SemanticDocument> batch) {
            batchSizes.push_back(batch.size());
            std::move(batch.begin(), batch.end(), std::back_inserter(call.documents));
            return true;
        });
        calls.push_back(std::move(call));
    }
    bool hasNoModel() const override { return noModel; }
    void searchesPaused() override { ++pauses; }
    std::vector<Call> calls;
    int pauses = 0;
    std::vector<size_t> batchSizes;
    bool noModel = false;
};

} // namespace quillmere::test
