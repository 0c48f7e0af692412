#include "Quillmere/Settings/Core/Achievements.h"

#include <QSet>
#include <algorithm>

namespace quillmere {
namespace {

bool isBlank(const std::optional<QString> &text)
{
    if (!text)
        return true;
    for (QChar c : *text)
        if (!c.isSpace())
            return false;
    return true;
}

bool isPromptPageName(const QString &displayName)
{
    const QString name = displayName.toLower();
    for (const char *word : {"ai", "prompt", "coding", "snippet"})
        if (name.contains(QLatin1String(word)))
            return true;
    return false;
}

} // namespace

int calendarDaysBetween(const QDateTime &start, const QDateTime &end)
{
    const QDateTime a = start.toLocalTime(), b = end.toLocalTime();
    qint64 days = a.date().daysTo(b.date());
    // A day counts once its clock time has come round again.
    if (days > 0 && b.time() < a.time())
        --days;
    return int(std::max<qint64>(0, days));
}

AchievementStats AchievementStats::compute(const std::vector<ClipRef> &items, const std::vector<PageRef> &pages,
                                           const QDateTime &now)
{
    AchievementStats stats;
    stats.totalClipCount = int(items.size());
    stats.pageCount = int(pages.size());
    QSet<QString> sources;
    std::optional<QDateTime> earliest;
    for (const ClipRef &clip : items) {
        const bool kept = clip->isPinned() || clip->pinboard();
        if (kept)
            ++stats.savedClips;
        const std::optional<ClipKind> kind = clipKindFromRaw(clip->kindRawValue());
        if (kept && (!kind || *kind == ClipKind::text))
            ++stats.keptTextClips;
        if (!isBlank(clip->recognizedText()))
            ++stats.recognizedTextClips;
        if (const auto &source = clip->sourceAppName()) {
            if (!stats.hasPhoneSource && source->contains(QLatin1String("iphone"), Qt::CaseInsensitive))
                stats.hasPhoneSource = true;
            const QString trimmed = source->trimmed();
            if (!trimmed.isEmpty())
                sources.insert(trimmed);
        }
        if (!earliest || clip->createdAt() < *earliest)
            earliest = clip->createdAt();
    }
    stats.distinctSourceCount = int(sources.size());
    if (earliest)
        stats.historySpanDays = calendarDaysBetween(*earliest, now);
    stats.hasPromptPage = std::any_of(pages.begin(), pages.end(),
                                      [](const PageRef &page) { return isPromptPageName(page->displayName()); });
    return stats;
}

std::vector<ClipAchievement> ClipAchievement::catalog(const AchievementStats &s)
{
    return {
        {"first-rescue", "First Rescue", "Save your first clip.", "tray.and.arrow.down.fill", s.totalClipCount > 0},
        {"time-traveler", "Time Traveler", "Keep history for at least a week.", "clock.arrow.circlepath",
         s.historySpanDays && *s.historySpanDays >= 7},
        {"first-page", "Page Maker", "Create your first saved Page.", "square.grid.2x2", s.pageCount > 0},
        {"prompt-library", "Prompt Library", "Save 10 text clips or notes.", "text.book.closed", s.keptTextClips >= 10},
        {"screenshot-sleuth", "Screenshot Sleuth", "Index text from a screenshot or image.", "text.viewfinder",
         s.recognizedTextClips > 0},
        {"cross-device-relay", "Cross-Device Relay", "Sync clips between iPhone and another source.",
         "iphone.gen3.radiowaves.left.and.right", s.hasPhoneSource && s.distinctSourceCount >= 2},
        {"clean-desk", "Clean Desk", "Save at least 25 clips worth keeping.", "archivebox.fill", s.savedClips >= 25},
        {"ai-memory", "AI Memory", "Build a Page for reusable coding or AI snippets.", "sparkles", s.hasPromptPage},
    };
}

std::vector<ClipAchievement> ClipAchievement::catalog(const std::vector<ClipRef> &items,
                                                      const std::vector<PageRef> &pages, const QDateTime &now)
{
    return catalog(AchievementStats::compute(items, pages, now));
}

int ClipAchievement::unlockedCount(const std::vector<ClipAchievement> &achievements)
{
    return int(
        std::count_if(achievements.begin(), achievements.end(), [](const ClipAchievement &a) { return a.isUnlocked; }));
}

} // namespace quillmere
