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
    const bool flooding = qint64(s.recent.size()) > floodRate;
    if (!flooding) {
        // A pause long enough ends it; the copies it kept stay.
        s.flooding = false;
        s.lastCopy.reset();
        s.lastSlot = -1;
        return verdict;
    }
    verdict.announce = !s.flooding;
    s.flooding = true;
    const qint64 slot = now / slotMs;
    if (slot == s.lastSlot && s.lastCopy)
        verdict.replaced = s.lastCopy;
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
