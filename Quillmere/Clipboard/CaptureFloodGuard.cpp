#include "Quillmere/Clipboard/CaptureFloodGuard.h"

#include <algorithm>

namespace quillmere {

CaptureFloodGuard::Verdict CaptureFloodGuard::admit(const QString &source, const QUuid &clip,
                                                    std::optional<QDateTime> madeAt)
{
    const qint64 now = (madeAt ? *madeAt : m_clock()).toMSecsSinceEpoch();
    Source &s = m_sources[source];
    while (!s.recent.empty() && s.recent.front() <= now - windowMs)
        s.recent.pop_front();
    // Stamps from different threads need not arrive in order; the window stays sorted.
    s.recent.insert(std::upper_bound(s.recent.begin(), s.recent.end(), now), now);
    Verdict verdict;
    if (qint64(s.recent.size()) <= floodRate) {
        // A pause long enough ends it; the copies it kept stay.
        s.flooding = false;
        s.overSince.reset();
        s.held.clear();
        s.lastCopy.reset();
        s.lastSlot = -1;
        return verdict;
    }
    if (!s.overSince)
        s.overSince = now;
    if (!s.flooding) {
        s.held.emplace_back(now, clip);
        if (now - *s.overSince < windowMs)
            return verdict;
        // Over the rate for a whole second: the copies of that second are thinned too.
        verdict.announce = true;
        s.flooding = true;
        std::stable_sort(s.held.begin(), s.held.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        for (size_t i = 0; i + 1 < s.held.size(); ++i)
            if (s.held[i].first / slotMs == s.held[i + 1].first / slotMs)
                verdict.replaced.push_back(s.held[i].second);
        s.lastSlot = s.held.back().first / slotMs;
        s.lastCopy = s.held.back().second;
        s.held.clear();
        return verdict;
    }
    const qint64 slot = now / slotMs;
    if (slot == s.lastSlot && s.lastCopy)
        verdict.replaced.push_back(*s.lastCopy);
    s.lastSlot = slot;
    s.lastCopy = clip;
    // Only the recent stamps matter; a flood of thousands keeps a bounded list.
    while (qint64(s.recent.size()) > 4 * floodRate * (windowMs / slotMs))
        s.recent.pop_front();
    return verdict;
}

bool CaptureFloodGuard::isFlooding(const QString &source) const
{
    const auto it = m_sources.constFind(source);
    return it != m_sources.constEnd() && it->flooding;
}

} // namespace quillmere
