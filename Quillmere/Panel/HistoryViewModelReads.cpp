// The history view model: what it reads of the store on a worker thread.

#include "Quillmere/Panel/HistoryViewModel.h"

#include "Quillmere/Panel/SnapshotSearch.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>
#include <algorithm>

namespace quillmere {

template <typename Result>
void HistoryViewModel::inBackground(std::function<Result()> job, std::function<void(Result)> done)
{
    QPointer<HistoryViewModel> self(this);
    QThreadPool::globalInstance()->start([job = std::move(job), done = std::move(done), self] {
        auto result = std::make_shared<Result>(job());
        // The application object outlives any model; `self` is read only on the main thread.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [done, self, result] {
                if (self)
                    done(std::move(*result));
            },
            Qt::QueuedConnection);
    });
}

bool HistoryViewModel::wantsWholeHistory() const
{
    return m_shown && !m_lists.isComplete() && (m_state.filters.isActive() || !SearchQuery(m_state.query).isEmpty());
}

void HistoryViewModel::startWholeRead(HistoryStore::ClipsRead read)
{
    using Clips = std::optional<std::vector<ClipSnapshot>>;
    m_wholeReadRunning = true;
    const quint64 generation = m_storeGeneration;
    inBackground<Clips>(
        [read = std::move(read)]() -> Clips {
            Clips clips = read();
            // Folding the texts is most of a search's first cost; it is done here, not on the main thread.
            if (clips)
                for (ClipSnapshot &clip : *clips)
                    clip.searchKey = searchKeyOf(clip);
            return clips;
        },
        [this, generation](Clips clips) { wholeReadFinished(generation, std::move(clips)); });
}

void HistoryViewModel::wholeReadFinished(quint64 generation, std::optional<std::vector<ClipSnapshot>> clips)
{
    m_wholeReadRunning = false;
    if (!wantsWholeHistory())
        return;
    if (generation != m_storeGeneration) {
        // The store changed while it was read: read it again.
        if (HistoryStore::ClipsRead read = m_deps.store->wholeHistoryRead())
            startWholeRead(std::move(read));
        return;
    }
    Batch batch(*this);
    if (!clips) {
        widenSnapshot(true);
        reconcileVisibleItems(true, false);
        return;
    }
    // The newest part as held (it has any clip a failed save kept only in memory), then every
    // saved clip older than it.
    const auto &held = m_lists.items();
    std::vector<ClipSnapshot> whole(held.begin(), held.begin() + m_lists.newestCount());
    auto older = clips->begin();
    if (!whole.empty()) {
        const ClipSnapshot &last = whole.back();
        older = std::partition_point(clips->begin(), clips->end(), [&](const ClipSnapshot &c) {
            return c.createdAt != last.createdAt ? c.createdAt > last.createdAt : c.id.rowID >= last.id.rowID;
        });
    }
    whole.reserve(whole.size() + size_t(clips->end() - older));
    for (auto it = older; it != clips->end(); ++it) {
        if (it->pageID && !m_lists.findPage(*it->pageID))
            it->pageID.reset();
        whole.push_back(std::move(*it));
    }
    m_lists.setSnapshot({std::move(whole), m_lists.pages(), -1});
    reconcileVisibleItems(true, false);
}

void HistoryViewModel::startSourceNamesRead()
{
    if (m_sourceNamesReadRunning)
        return;
    HistoryStore::NamesRead read = m_deps.store->sourceAppNamesRead();
    if (!read)
        return;
    m_sourceNamesReadRunning = true;
    inBackground<std::optional<QStringList>>(std::move(read), [this](std::optional<QStringList> names) {
        m_sourceNamesReadRunning = false;
        if (!names)
            return;
        Batch batch(*this);
        m_storedSourceNames = std::move(*names);
        refreshSourceAppNames();
    });
}

} // namespace quillmere
