#pragma once

#include "Quillmere/Model/Records.h"

#include <QDateTime>
#include <QString>
#include <optional>
#include <vector>

namespace quillmere {

// Counters over the whole history, computed afresh each time and never stored. They read only
// plain fields: no image or file bytes are loaded for them.
struct AchievementStats {
    int totalClipCount = 0;
    int savedClips = 0; // pinned or on a Page
    int pageCount = 0;
    int recognizedTextClips = 0;
    int distinctSourceCount = 0;
    std::optional<int> historySpanDays;
    // The further passes of the catalogue, folded into the same walk.
    int keptTextClips = 0;       // text (or unknown kind) clips that are pinned or on a Page
    bool hasPhoneSource = false; // some source name, as stored, contains "iphone"
    bool hasPromptPage = false;  // some Page name reads as a place for prompts or snippets

    static AchievementStats compute(const std::vector<ClipRef> &items, const std::vector<PageRef> &pages,
                                    const QDateTime &now);
};

// Whole days from `start` to `end` in the local calendar; never negative.
int calendarDaysBetween(const QDateTime &start, const QDateTime &end);

struct ClipAchievement {
    QString id;
    QString title;
    QString subtitle;
    QString systemImageName;
    bool isUnlocked = false;

    bool operator==(const ClipAchievement &) const = default;

    // The eight achievements in catalogue order.
    static std::vector<ClipAchievement> catalog(const AchievementStats &stats);
    static std::vector<ClipAchievement> catalog(const std::vector<ClipRef> &items, const std::vector<PageRef> &pages,
                                                const QDateTime &now);
    static int unlockedCount(const std::vector<ClipAchievement> &achievements);
};

} // namespace quillmere
