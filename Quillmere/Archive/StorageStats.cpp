#include "Quillmere/Archive/StorageStats.h"

#include <QHash>
#include <algorithm>
#include <array>
#include <cmath>

namespace quillmere {

StorageStats StorageStats::from(const std::vector<ClipFact> &facts)
{
    StorageStats stats;
    if (facts.empty())
        return stats;

    std::array<KindTotal, 4> kinds{};
    QHash<QString, PageTotal> pages;
    QHash<QString, int> hashes;
    for (const ClipFact &fact : facts) {
        ++stats.totalClips;
        stats.totalBytes += fact.byteCount;
        KindTotal &kind = kinds[size_t(fact.kind)];
        kind.kind = fact.kind;
        ++kind.count;
        kind.byteCount += fact.byteCount;
        if (fact.pageName) {
            PageTotal &page = pages[*fact.pageName];
            page.name = *fact.pageName;
            ++page.count;
            page.byteCount += fact.byteCount;
        }
        ++hashes[fact.contentHash];
        if (!stats.oldest || fact.createdAt < *stats.oldest)
            stats.oldest = fact.createdAt;
        if (!stats.newest || fact.createdAt > *stats.newest)
            stats.newest = fact.createdAt;
    }

    for (const KindTotal &kind : kinds)
        if (kind.count > 0)
            stats.kindTotals.push_back(kind);
    std::stable_sort(stats.kindTotals.begin(), stats.kindTotals.end(),
                     [](const KindTotal &a, const KindTotal &b) { return a.byteCount > b.byteCount; });

    // Indices keep the sort cheap; a stable sort keeps equal sizes newest first.
    std::vector<size_t> order(facts.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    const size_t kept = std::min<size_t>(order.size(), largestClipLimit);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return facts[a].byteCount > facts[b].byteCount; });
    for (size_t i = 0; i < kept; ++i)
        stats.largestClips.push_back(facts[order[i]]);

    for (const PageTotal &page : std::as_const(pages))
        stats.pageTotals.push_back(page);
    std::sort(stats.pageTotals.begin(), stats.pageTotals.end(), [](const PageTotal &a, const PageTotal &b) {
        if (a.count != b.count)
            return a.count > b.count;
        // UTF-8 bytes compare in code-point order; UTF-16 units would not past U+FFFF.
        return a.name.normalized(QString::NormalizationForm_C).toUtf8()
            < b.name.normalized(QString::NormalizationForm_C).toUtf8();
    });

    for (int size : std::as_const(hashes))
        stats.duplicateCandidateCount += size - 1;
    return stats;
}

QString storageByteText(qint64 bytes)
{
    if (bytes <= 0)
        return QStringLiteral("Zero KB");
    if (bytes == 1)
        return QStringLiteral("1 byte");
    if (bytes < 1000)
        return QStringLiteral("%1 bytes").arg(bytes);
    struct Unit {
        double size;
        const char *name;
        int decimals;
    };
    static constexpr Unit units[] = {{1e3, "KB", 0}, {1e6, "MB", 1}, {1e9, "GB", 2}};
    int u = bytes < 1000000 ? 0 : bytes < 1000000000 ? 1 : 2;
    // 999,999 bytes rounds to "1 MB", not "1000 KB".
    if (u < 2 && QString::number(double(bytes) / units[u].size, 'f', units[u].decimals).toDouble() >= 1000)
        ++u;
    const Unit *unit = &units[u];
    QString number = QString::number(double(bytes) / unit->size, 'f', unit->decimals);
    if (number.contains(QLatin1Char('.'))) {
        while (number.endsWith(QLatin1Char('0')))
            number.chop(1);
        if (number.endsWith(QLatin1Char('.')))
            number.chop(1);
    }
    return number + QLatin1Char(' ') + QLatin1String(unit->name);
}

} // namespace quillmere
